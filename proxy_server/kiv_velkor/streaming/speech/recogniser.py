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

The queue is bounded: :meth:`SpeechRecogniser.admitted` holds one of its
``max_queue`` places (a server takes it before it reads an upload); an
awaited transcription that waits longer than its ``wait_timeout`` for the
runtime fails with :class:`RecogniserBusy`, and one whose caller is cancelled
meanwhile never reaches the runtime.
"""

from __future__ import annotations

import asyncio
import contextlib
import os
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass, replace
from typing import Any

from ..errors import InvalidRequest, NoRunThread, PoolClosed, PoolForked, RecogniserBusy, TranscriptionError
from ..forking import keep_native_objects_in_children, made_before_fork
from ..workers import WorkersUnavailable, WorkerThreads
from .audio_input import AudioSettings, looks_like_wav, prepared_wav

__all__ = ["SpeechRecogniser", "Transcription", "AudioSettings", "looks_like_wav"]

AudioSource = str | bytes | bytearray | memoryview | os.PathLike[str]


class _Turn:
    """One awaited transcription: its audio until a worker takes it, its deadline for the wait (in the
    workers' queue, then for the runtime), and whether its caller left."""

    __slots__ = ("deadline", "wait_timeout", "left", "counted", "audio", "started", "_lock")

    def __init__(self, wait_timeout: float | None, audio: AudioSource) -> None:
        self.counted = False   # no longer counted as waiting
        self.wait_timeout = wait_timeout
        self.deadline = None if wait_timeout is None else time.monotonic() + wait_timeout
        self.left = threading.Event()
        self.audio: AudioSource | None = audio
        self.started = False   # a worker took it
        self._lock = threading.Lock()

    def remaining(self) -> float:
        return -1 if self.deadline is None else max(0.0, self.deadline - time.monotonic())

    def take(self) -> AudioSource | None:
        """On the worker: the audio to work on, or None when the caller left before the job began."""
        with self._lock:
            if self.left.is_set():
                return None
            self.started = True
            audio, self.audio = self.audio, None
            return audio

    def leave(self, only_if_queued: bool = False) -> bool:
        """The caller goes: a job still queued will not begin (its audio is dropped now); one in progress
        stops at its next checkpoint (unless ``only_if_queued``). True when the job had not begun."""
        with self._lock:
            if only_if_queued and self.started:
                return False
            self.left.set()
            self.audio = None
            return not self.started

    def checkpoint(self) -> None:
        """Between steps of the job's own work: raises once the caller left."""
        if self.left.is_set():
            raise RecogniserBusy("the caller left")


@dataclass(frozen=True, slots=True)
class Transcription:
    text: str
    language: str
    seconds: float                        # how long the runtime took
    audio_seconds: float | None = None    # the audio's duration, for an upload given as bytes


class SpeechRecogniser:
    """One recogniser of the speech runtime; the arguments are those of ``Quellan.init``.

    ``audio`` gives the sample rate uploads are converted to and the longest
    audio taken; ``max_queue`` bounds the transcriptions admitted at once
    (waiting or running). Raises :class:`TranscriptionError` when the runtime
    refuses the model files.
    """

    def __init__(self, backend: str, model_path: str, tokenizer_path: str, decoder_path: str | None = None,
                 extra_json: str | None = None, *, lib_path: str | None = None,
                 audio: AudioSettings = AudioSettings(), max_queue: int = 4) -> None:
        from ..._quellan import Quellan

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
        self._queue_lock = threading.Lock()   # the places taken and the count waiting
        self._max_queue = max_queue
        self._admitted = 0
        self._waiting = 0
        keep_native_objects_in_children(self)

    @property
    def waiting(self) -> int:
        """Awaited transcriptions waiting for the runtime."""
        return self._waiting

    @property
    def in_use(self) -> bool:
        """Whether a transcription is admitted, waiting or running (a registry never unloads it then)."""
        return bool(self._admitted or self._waiting or self._lock.locked())

    @contextlib.contextmanager
    def admitted(self) -> Iterator[None]:
        """Holds a place in the queue; :class:`RecogniserBusy` (503) at once when every place is taken,
        :class:`PoolClosed` once the recogniser stops taking work."""
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
        return self._transcribe(audio, language, task, None)

    def _transcribe(self, audio: AudioSource, language: str, task: str, turn: _Turn | None) -> Transcription:
        self._check_process()
        if "\0" in language or "\0" in task:
            raise InvalidRequest("language and task must not hold a NUL character", param="language")
        if isinstance(audio, (bytes, bytearray, memoryview)):
            if self._closed:
                raise TranscriptionError("the speech recogniser is closed")
            with prepared_wav(audio, self._audio, turn.checkpoint if turn is not None else None) as prepared:
                result = self._transcribe_path(prepared.path, language, task, turn)
            return replace(result, audio_seconds=prepared.seconds)
        return self._transcribe_path(os.fspath(audio), language, task, turn)

    async def atranscribe(self, audio: AudioSource, *, language: str = "auto", task: str = "transcribe",
                          wait_timeout: float | None = None) -> Transcription:
        """:meth:`transcribe` on the recogniser's threads (the conversion of an upload too); the
        event loop runs on meanwhile. :class:`RecogniserBusy` when it waited ``wait_timeout``
        seconds, for a worker thread and then for the runtime; cancelled meanwhile, a job still
        queued never begins (its bytes are dropped at once), a conversion stops within a frame,
        and it never reaches the runtime."""
        self._check_process()
        loop = asyncio.get_running_loop()
        done: asyncio.Future[Transcription] = loop.create_future()
        turn = _Turn(wait_timeout, audio)
        del audio   # the turn holds it until a worker takes it, and drops it when the caller leaves

        def job() -> None:
            try:
                taken = turn.take()
                if taken is None:
                    raise RecogniserBusy("the caller left")
                outcome: Transcription | BaseException = self._transcribe(taken, language, task, turn)
                del taken
            except BaseException as exc:
                outcome = exc
            finally:
                self._stop_waiting(turn)
            try:
                loop.call_soon_threadsafe(_settle, done, outcome)
            except RuntimeError:   # the caller's loop is closed: nobody waits for it
                pass

        with self._queue_lock:
            self._waiting += 1
        try:
            self._workers.submit(job)
        except WorkersUnavailable as exc:
            self._stop_waiting(turn)
            if self._closed:
                raise TranscriptionError("the speech recogniser is closed") from None
            raise NoRunThread(f"the transcription cannot start: {exc}") from None
        try:
            if turn.deadline is not None:
                # The wait for a worker counts against the bound: a job still queued at the
                # deadline is given up (its own conversion, once begun, is bounded by its cost).
                await asyncio.wait((done,), timeout=turn.remaining())
                if not done.done() and turn.leave(only_if_queued=True):
                    self._stop_waiting(turn)
                    raise RecogniserBusy(f"the transcription waited {wait_timeout:g} s for the speech recogniser")
            return await done
        except asyncio.CancelledError:
            turn.leave()   # it goes no further than where it is now
            raise

    def _stop_waiting(self, turn: _Turn) -> None:
        with self._queue_lock:
            if not turn.counted:
                turn.counted = True
                self._waiting -= 1

    def _take_runtime(self, turn: _Turn | None) -> None:
        """Takes the runtime's lock within the turn's wait (the caller releases it)."""
        if turn is None:
            self._lock.acquire()
            return
        try:
            if turn.left.is_set() or not self._lock.acquire(timeout=turn.remaining()):
                raise RecogniserBusy("the caller left" if turn.left.is_set() else
                                     f"the transcription waited {turn.wait_timeout:g} s for the speech recogniser")
        finally:
            self._stop_waiting(turn)
        if turn.left.is_set():
            self._lock.release()
            raise RecogniserBusy("the caller left")

    def _transcribe_path(self, path: str, language: str, task: str, turn: _Turn | None = None) -> Transcription:
        self._take_runtime(turn)
        try:
            if self._closed:
                raise PoolClosed("the speech recogniser is closed")
            started = time.perf_counter()
            try:
                result = self._recogniser.transcribe(path, language, task)
            except (RuntimeError, UnicodeDecodeError) as exc:
                raise TranscriptionError(f"the speech runtime could not transcribe the audio: {exc}") from None
        finally:
            self._lock.release()
        return Transcription(result["text"], result["language"], time.perf_counter() - started)

    def refuse_queued(self) -> None:
        """Takes no more transcriptions: the ones still waiting for the runtime fail with :class:`PoolClosed`."""
        with self._queue_lock:
            self._closed = True

    def close(self) -> None:
        """Waits for a transcription in progress, then releases the recogniser (in a child made by
        ``fork()``, it only stops taking work: the recogniser is the parent's)."""
        if made_before_fork(self._pid):
            self._closed = True
            return
        self.refuse_queued()   # the transcriptions still waiting for the runtime fail with PoolClosed
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
