"""Binds the kiv_asr_* entry points of libquellan.so, loaded with dlopen."""

import os
from typing import Self, TypedDict, final, type_check_only

from typing_extensions import disjoint_base

# What the path parameters accept: made absolute, then encoded with os.fsencode.
_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]

@type_check_only
@final
class Transcript(TypedDict):
    """What transcribe() returns."""

    text: str
    language: str

def find_quellan_path() -> str:
    """The runtime library a Quellan() without lib_path loads.

    $KIV_QUELLAN_PATH when set and not empty (taken as it is), else
    libquellan.so in this module's directory when it is a file, else the bare
    name "libquellan.so" for the dynamic linker's search path.
    """

@disjoint_base
class Quellan:
    """One recogniser of the on-device speech runtime.

    The first Quellan of the process loads the runtime library, from lib_path
    or else from find_quellan_path(); it stays loaded for the life of the
    process and serves every later object, whatever lib_path they give.
    Raises RuntimeError "Cannot load libquellan.so (<path>)" when it cannot be
    loaded. init() creates the recogniser from its model files, transcribe()
    turns a WAV file into text, close() releases the recogniser.
    """

    def __new__(cls, lib_path: _Path | None = None) -> Self: ...
    def init(
        self,
        backend: str,
        model_path: _Path,
        tokenizer_path: _Path,
        decoder_path: _Path | None = None,
        extra_json: str | bytes | None = None,
    ) -> None:
        """Create the recogniser (kiv_asr_init) from its model files.

        backend "whisper" selects the whisper model type, any other value the
        runtime's second type. extra_json is runtime options as JSON text, not
        a dict. Raises RuntimeError "kiv_asr_init failed (rc=1)" when the
        runtime refuses the files.
        """

    def transcribe(
        self, wav_path: _Path, language: str | bytes | None = "auto", task: str | bytes | None = "transcribe"
    ) -> Transcript:
        """Transcribe one WAV file and return {"text": ..., "language": ...}.

        Raises RuntimeError "kiv_asr_transcribe failed (rc=1)" when the runtime
        fails (a missing or unreadable file) or init() has not succeeded.
        Other threads run meanwhile (the interpreter lock is released); calls
        into the runtime are serialised, and a call on this object from
        another thread while this one runs raises RuntimeError.
        """

    def close(self) -> None:
        """Release the recogniser (kiv_asr_uninit); safe to call twice."""
