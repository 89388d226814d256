"""Speech recognition for a server: blocking and awaitable transcription of a
WAV file given by path, or of an upload's bytes in any format
:mod:`.audio_input` decodes.

    asr = SpeechRecogniser("whisper", "/models/asr.bin", "/models/tokenizer.json")
    text = asr.transcribe(upload_bytes).text           # blocking
    text = (await asr.atranscribe("/tmp/a.wav")).text  # from asyncio

``Quellan`` releases the interpreter lock while the runtime decodes, so other
threads and the event loop run on; the runtime itself takes one call at a
time. The recogniser runs its work on two threads of its own: while one
waits for or holds the runtime, the other converts the next upload. Like a
pool, a recogniser serves the process that made it: in a child made by
``fork()`` it refuses with :class:`PoolForked` and never calls the runtime.
"""

from __future__ import annotations

import asyncio
import os
import threading
import time
from dataclasses import dataclass, replace
from typing import Any

from .audio_input import AudioSettings, looks_like_wav, prepared_wav
from .errors import NoRunThread, PoolForked, TranscriptionError
from .forking import keep_native_objects_in_children, made_before_fork
from .workers import WorkerThreads, WorkersUnavailable

__all__ = ["SpeechRecogniser", "Transcription", "AudioSettings", "looks_like_wav"]

AudioSource = str | bytes | bytearray | memoryview | os.PathLike[str]


@dataclass(frozen=True, slots=True)
class Transcription:
    text: str
    language: str
    seconds: float                        # how long the runtime took
    audio_seconds: float | None = None    # the audio's duration, for an upload given as bytes


class SpeechRecogniser:
    """One recogniser of the speech runtime; the arguments are those of ``Quellan.init``.

    ``audio`` gives the sample rate uploads are converted to and the longest
    audio taken. Raises :class:`TranscriptionError` when the runtime refuses the model files.
    """

    def __init__(self, backend: str, model_path: str, tokenizer_path: str, decoder_path: str | None = None,
                 extra_json: str | None = None, *, lib_path: str | None = None,
                 audio: AudioSettings = AudioSettings()) -> None:
        from ._quellan import Quellan

        self._recogniser = Quellan(lib_path)
        try:
            self._recogniser.init(backend, model_path, tokenizer_path, decoder_path, extra_json)
        except RuntimeError as exc:
            self._recogniser.close()
            raise TranscriptionError(f"the speech runtime could not load {model_path!r}: {exc}") from None
        self._audio = audio
        self._lock = threading.Lock()   # one call at a time on the object
        # Two threads: one upload is converted while another is recognised.
        self._workers = WorkerThreads(2, "kiv-asr")
        self._closed = False
        self._pid = os.getpid()
        keep_native_objects_in_children(self)

    def native_objects(self) -> list[object]:
        return [self._recogniser]

    def _check_process(self) -> None:
        if made_before_fork(self._pid):
            raise PoolForked(f"this speech recogniser was made in process {self._pid} before a fork; it serves only "
                             "the process that made it: make one in each worker process, after the fork")

    def transcribe(self, audio: AudioSource, *, language: str = "auto", task: str = "transcribe") -> Transcription:
        """Transcribes a WAV file given by path, or the bytes of an audio file, converted to a
        temporary WAV file first (:func:`.audio_input.prepared_wav`; :class:`InvalidRequest` when
        they cannot be)."""
        self._check_process()
        if isinstance(audio, (bytes, bytearray, memoryview)):
            if self._closed:
                raise TranscriptionError("the speech recogniser is closed")
            with prepared_wav(audio, self._audio) as prepared:
                result = self._transcribe_path(prepared.path, language, task)
            return replace(result, audio_seconds=prepared.seconds)
        return self._transcribe_path(os.fspath(audio), language, task)

    async def atranscribe(self, audio: AudioSource, *, language: str = "auto",
                          task: str = "transcribe") -> Transcription:
        """:meth:`transcribe` on the recogniser's threads (the conversion of an upload too); the
        event loop runs on meanwhile."""
        self._check_process()
        loop = asyncio.get_running_loop()
        done: asyncio.Future[Transcription] = loop.create_future()

        def job() -> None:
            try:
                outcome: Transcription | BaseException = self.transcribe(audio, language=language, task=task)
            except BaseException as exc:
                outcome = exc
            try:
                loop.call_soon_threadsafe(_settle, done, outcome)
            except RuntimeError:   # the caller's loop is closed: nobody waits for it
                pass

        try:
            self._workers.submit(job)
        except WorkersUnavailable as exc:
            if self._closed:
                raise TranscriptionError("the speech recogniser is closed") from None
            raise NoRunThread(f"the transcription cannot start: {exc}") from None
        return await done

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
        """Waits for a transcription in progress, then releases the recogniser (in a child made by
        ``fork()``, it only stops taking work: the recogniser is the parent's)."""
        if made_before_fork(self._pid):
            self._closed = True
            return
        self._workers.shutdown(wait=True)
        with self._lock:
            self._closed = True
            self._recogniser.close()

    def __enter__(self) -> SpeechRecogniser:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


def _settle(done: asyncio.Future[Transcription], outcome: Transcription | BaseException) -> None:
    if done.done():
        return
    if isinstance(outcome, BaseException):
        done.set_exception(outcome)
    else:
        done.set_result(outcome)
