"""Speech recognition for a server: blocking and awaitable transcription of a
WAV file given by path or as the bytes of an upload.

    asr = SpeechRecogniser("whisper", "/models/asr.bin", "/models/tokenizer.json")
    text = asr.transcribe(upload_bytes).text           # blocking
    text = (await asr.atranscribe("/tmp/a.wav")).text  # from asyncio

``Quellan`` releases the interpreter lock while the runtime decodes, so other
threads and the event loop run on; the runtime itself takes one call at a
time, and the recogniser queues its calls on one thread of its own. The queue
is bounded: :meth:`SpeechRecogniser.admitted` holds one of its ``max_queue``
places (a server takes it before it reads an upload), and an awaited
transcription that waits longer than its ``wait_timeout`` for its turn, or
whose caller is cancelled meanwhile, leaves the queue without running.
"""

from __future__ import annotations

import asyncio
import contextlib
import os
import struct
import tempfile
import threading
import time
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any

from .errors import InvalidRequest, PoolClosed, RecogniserBusy, TranscriptionError
from .waking import Waker

__all__ = ["SpeechRecogniser", "Transcription", "looks_like_wav", "wav_problem"]

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


def wav_problem(data: bytes | bytearray | memoryview) -> str | None:
    """What makes ``data`` no WAV file the runtime can decode (None when its chunks look sound)."""
    if not looks_like_wav(data):
        return "it is not a WAV file (RIFF/WAVE)"
    if bytes(data[:4]) == b"RF64":
        return None   # sizes live in the ds64 chunk; the runtime checks the rest
    offset, fmt = 12, None
    while offset + 8 <= len(data):
        chunk, size = struct.unpack_from("<4sI", data, offset)
        if chunk == b"fmt ":
            if size < 16 or offset + 24 > len(data):
                return "its fmt chunk is cut short"
            fmt = struct.unpack_from("<HHIIHH", data, offset + 8)
        elif chunk == b"data":
            if fmt is None:
                return "its data chunk comes before any fmt chunk"
            channels, rate, bits = fmt[1], fmt[2], fmt[5]
            if not (channels and rate and bits in (8, 16, 24, 32, 64)):
                return f"its format is unusable ({channels} channels, {rate} Hz, {bits} bits)"
            return None
        offset += 8 + size + (size & 1)
    return "it has no data chunk"


class _Job:
    """One awaited transcription in the queue: "queued", then "started" or "abandoned"."""

    __slots__ = ("state", "waker")

    def __init__(self) -> None:
        self.state = "queued"
        self.waker = Waker()


class SpeechRecogniser:
    """One recogniser of the speech runtime; the arguments are those of ``Quellan.init``.

    ``max_queue`` bounds the transcriptions admitted at once (waiting or
    running). Raises :class:`TranscriptionError` when the runtime refuses the
    model files.
    """

    def __init__(self, backend: str, model_path: str, tokenizer_path: str, decoder_path: str | None = None,
                 extra_json: str | None = None, *, lib_path: str | None = None, max_queue: int = 4) -> None:
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
        self._queue_lock = threading.Lock()   # the places, the jobs' states, the count waiting
        self._max_queue = max_queue
        self._admitted = 0
        self._waiting = 0

    @property
    def waiting(self) -> int:
        """Awaited transcriptions waiting for their turn."""
        return self._waiting

    @contextlib.contextmanager
    def admitted(self) -> Iterator[None]:
        """Holds a place in the queue; :class:`RecogniserBusy` (503) at once when every place is taken."""
        with self._queue_lock:
            if self._closed:
                raise PoolClosed("the speech recogniser is closed")
            if self._admitted >= self._max_queue:
                raise RecogniserBusy(f"the speech recogniser has {self._admitted} transcriptions queued already")
            self._admitted += 1
        try:
            yield
        finally:
            with self._queue_lock:
                self._admitted -= 1

    def transcribe(self, audio: AudioSource, *, language: str = "auto", task: str = "transcribe") -> Transcription:
        """Transcribes a WAV file: a path, or the bytes of one (written to a temporary file)."""
        if "\0" in language or "\0" in task:
            raise InvalidRequest("language and task must not hold a NUL character", param="language")
        if isinstance(audio, (bytes, bytearray, memoryview)):
            problem = wav_problem(audio)
            if problem is not None:
                raise InvalidRequest(f"the audio is not a WAV file the runtime can decode: {problem}", param="file")
            fd, path = tempfile.mkstemp(suffix=".wav", prefix="kiv-upload-")
            try:
                with os.fdopen(fd, "wb") as f:
                    f.write(audio)
                return self._transcribe_path(path, language, task)
            finally:
                os.unlink(path)
        return self._transcribe_path(os.fspath(audio), language, task)

    async def atranscribe(self, audio: AudioSource, *, language: str = "auto", task: str = "transcribe",
                          wait_timeout: float | None = None) -> Transcription:
        """:meth:`transcribe` on the recogniser's thread; the event loop runs on meanwhile.

        :class:`RecogniserBusy` when it waited ``wait_timeout`` seconds for its
        turn; cancelled while it waits, it never runs."""
        job = _Job()
        started = job.waker.arm_task()
        with self._queue_lock:
            self._waiting += 1
        future = asyncio.get_running_loop().run_in_executor(
            self._executor, lambda: self._run_job(job, lambda: self.transcribe(audio, language=language, task=task)))
        try:
            await asyncio.wait((started, future), timeout=wait_timeout, return_when=asyncio.FIRST_COMPLETED)
        except asyncio.CancelledError:
            self._abandon(job)
            raise
        if self._abandon(job):
            raise RecogniserBusy(f"the transcription waited {wait_timeout:g} s for the speech recogniser")
        result = await future
        assert result is not None   # it was not abandoned: it ran
        return result

    def _run_job(self, job: _Job, work: Callable[[], Transcription]) -> Transcription | None:
        with self._queue_lock:
            if job.state == "abandoned":
                return None
            job.state = "started"
            self._waiting -= 1
            closed = self._closed
        job.waker.wake()
        if closed:
            raise PoolClosed("the speech recogniser is closed")
        return work()

    def _abandon(self, job: _Job) -> bool:
        """Takes a job that has not started out of the queue; True when it was still waiting."""
        with self._queue_lock:
            if job.state != "queued":
                return False
            job.state = "abandoned"
            self._waiting -= 1
            return True

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

    def refuse_queued(self) -> None:
        """Takes no more transcriptions: the ones still waiting for their turn fail with :class:`PoolClosed`."""
        with self._queue_lock:
            self._closed = True

    def close(self) -> None:
        """Waits for a transcription in progress (the queued ones fail with :class:`PoolClosed`), then
        releases the recogniser."""
        self.refuse_queued()
        self._executor.shutdown(wait=True)
        with self._lock:
            self._recogniser.close()

    def __enter__(self) -> SpeechRecogniser:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()
