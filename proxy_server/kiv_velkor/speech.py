"""Speech recognition for a server: blocking and awaitable transcription of a
WAV file given by path or as the bytes of an upload.

    asr = SpeechRecogniser("whisper", "/models/asr.bin", "/models/tokenizer.json")
    text = asr.transcribe(upload_bytes).text           # blocking
    text = (await asr.atranscribe("/tmp/a.wav")).text  # from asyncio

``Quellan`` releases the interpreter lock while the runtime decodes, so other
threads and the event loop run on; the runtime itself takes one call at a
time, and the recogniser queues its calls on one thread of its own.
"""

from __future__ import annotations

import asyncio
import os
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any

from .errors import InvalidRequest, TranscriptionError

__all__ = ["SpeechRecogniser", "Transcription", "looks_like_wav"]

AudioSource = str | bytes | bytearray | memoryview | os.PathLike[str]


@dataclass(frozen=True, slots=True)
class Transcription:
    text: str
    language: str
    seconds: float   # how long the runtime took


def looks_like_wav(data: bytes | bytearray | memoryview) -> bool:
    """A RIFF/RF64 container of WAVE data (what the runtime decodes)."""
    head = bytes(data[:12])
    return len(head) == 12 and head[:4] in (b"RIFF", b"RF64") and head[8:12] == b"WAVE"


class SpeechRecogniser:
    """One recogniser of the speech runtime; the arguments are those of ``Quellan.init``.

    Raises :class:`TranscriptionError` when the runtime refuses the model files.
    """

    def __init__(self, backend: str, model_path: str, tokenizer_path: str, decoder_path: str | None = None,
                 extra_json: str | None = None, *, lib_path: str | None = None) -> None:
        from ._quellan import Quellan

        self._recogniser = Quellan(lib_path)
        try:
            self._recogniser.init(backend, model_path, tokenizer_path, decoder_path, extra_json)
        except RuntimeError as exc:
            self._recogniser.close()
            raise TranscriptionError(f"the speech runtime could not load {model_path!r}: {exc}") from None
        self._lock = threading.Lock()   # one call at a time on the object
        self._executor = ThreadPoolExecutor(max_workers=1, thread_name_prefix="kiv-asr")
        self._closed = False

    def transcribe(self, audio: AudioSource, *, language: str = "auto", task: str = "transcribe") -> Transcription:
        """Transcribes a WAV file: a path, or the bytes of one (written to a temporary file)."""
        if isinstance(audio, (bytes, bytearray, memoryview)):
            if not looks_like_wav(audio):
                raise InvalidRequest("the audio is not a WAV file (RIFF/WAVE)", param="file")
            fd, path = tempfile.mkstemp(suffix=".wav", prefix="kiv-upload-")
            try:
                with os.fdopen(fd, "wb") as f:
                    f.write(audio)
                return self._transcribe_path(path, language, task)
            finally:
                os.unlink(path)
        return self._transcribe_path(os.fspath(audio), language, task)

    async def atranscribe(self, audio: AudioSource, *, language: str = "auto",
                          task: str = "transcribe") -> Transcription:
        """:meth:`transcribe` on the recogniser's thread; the event loop runs on meanwhile."""
        loop = asyncio.get_running_loop()
        return await loop.run_in_executor(self._executor, lambda: self.transcribe(audio, language=language,
                                                                                  task=task))

    def _transcribe_path(self, path: str, language: str, task: str) -> Transcription:
        with self._lock:
            if self._closed:
                raise TranscriptionError("the speech recogniser is closed")
            started = time.perf_counter()
            try:
                result = self._recogniser.transcribe(path, language, task)
            except (RuntimeError, UnicodeDecodeError) as exc:
                raise TranscriptionError(f"the speech runtime could not transcribe the audio: {exc}") from None
        return Transcription(result["text"], result["language"], time.perf_counter() - started)

    def close(self) -> None:
        """Waits for a transcription in progress, then releases the recogniser."""
        self._executor.shutdown(wait=True)
        with self._lock:
            self._closed = True
            self._recogniser.close()

    def __enter__(self) -> SpeechRecogniser:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()
