"""Several models in one process, loaded when first asked for: a registry of
named models, each with its lifecycle (:class:`ModelState`).

    registry = ModelRegistry([ModelSource("chat", lambda: ModelPool("/models/chat.gguf")),
                              ModelSource("small", lambda: ModelPool("/models/small.gguf"))],
                             max_loaded=1, keep_alive=300)
    with registry.hold("small") as held:           # loads it (waits, bounded), keeps it loaded meanwhile
        print(held.model.chat(messages).collect().text)
    registry.close()

A model is loaded by the first :meth:`~ModelRegistry.hold` (or
:meth:`~ModelRegistry.load`) that asks for it; the callers that ask
meanwhile wait for that one load. At most ``max_loaded`` models are loaded
at once: to make room, the least recently used idle model is unloaded first
(idle: no hold on it, and nothing of it in use: no context lent or waited
for, no transcription queued); a model with a run in progress is never
unloaded to make room, the caller waits for one to become idle instead. An
idle model is unloaded ``keep_alive`` seconds after its last use (a hold may
set that time for its model, as Ollama's ``keep_alive``); ``0`` unloads it
as soon as it is idle, None keeps it loaded. A load that fails leaves the
model ``FAILED`` with its reason: the callers get :class:`ModelLoadError`,
a later caller tries again after ``retry_after`` seconds, and the other
models serve on.

Loads and unloads run on the registry's own threads, never on a caller's
event loop; after an unload the C heap's free pages go back to the system,
so that the process's resident memory falls (in full once
:func:`map_large_blocks` has been called). The models live in this
process, one pool (or recogniser) per model; like them, a registry serves
only the process that made it: in a child made by ``fork()`` it refuses
with :class:`PoolForked`.
"""

from __future__ import annotations

import asyncio
import ctypes
import enum
import logging
import os
import queue
import threading
import time
from collections.abc import Callable, Iterable, Iterator, Mapping
from dataclasses import dataclass
from typing import Any, Literal, Protocol

from .errors import ModelLoadError, ModelNotFound, ModelUnavailable, PoolClosed, PoolForked
from .forking import made_before_fork
from .waking import Waker
from .workers import WorkersUnavailable, WorkerThreads

__all__ = ["ModelRegistry", "ModelSource", "ModelState", "ModelStatus", "ModelHold", "Servable", "ModelKind",
           "DEFAULT_LOAD_TIMEOUT", "DEFAULT_RETRY_AFTER", "DEFAULT_KEEP_ALIVE", "map_large_blocks"]

DEFAULT_LOAD_TIMEOUT = 60.0   # seconds a caller waits for its model to be loaded
DEFAULT_RETRY_AFTER = 10.0    # seconds a failed load is answered at once before it is tried again
_RECHECK = 0.5                # waits are cut into slices: use outside a hold ends unseen
_errors = logging.getLogger("kiv.error")

ModelKind = Literal["chat", "speech"]


class Servable(Protocol):
    """What a registry holds of a loaded model: a :class:`ModelPool` or a :class:`SpeechRecogniser`."""

    @property
    def in_use(self) -> bool: ...

    def close(self) -> Any: ...


class ModelState(enum.Enum):
    """Where a model is; its value is what a server reports."""

    UNLOADED = "unloaded"
    LOADING = "loading"
    LOADED = "loaded"
    UNLOADING = "unloading"
    FAILED = "failed"        # the last load failed; ``error`` says why


_IN_MEMORY = (ModelState.LOADING, ModelState.LOADED, ModelState.UNLOADING)   # each takes a place


@dataclass(frozen=True)
class ModelSource:
    """A model by name: ``load`` makes it (a pool or a recogniser), on a registry thread. Without ``load``
    the model must be given loaded to the registry, and stays loaded for its life."""

    name: str
    load: Callable[[], Servable] | None
    kind: ModelKind = "chat"


@dataclass(frozen=True)
class ModelStatus:
    """One model as the registry sees it now."""

    name: str
    kind: ModelKind
    state: ModelState
    loads: int                    # loads that succeeded
    failures: int                 # loads that failed
    evictions: int                # unloads to make room for another model
    unloads: int                  # every unload (evictions, idle time, asked for)
    load_seconds: float | None    # how long its last successful load took
    error: str | None             # why its last load failed, while it is FAILED
    holds: int                    # callers holding it now


class _Entry:
    """One model's lifecycle; every field is guarded by the registry's lock."""

    __slots__ = ("source", "state", "model", "holds", "last_used", "keep_alive", "loads", "failures", "evictions",
                 "unloads", "load_seconds", "error", "failed_at")

    def __init__(self, source: ModelSource, keep_alive: float | None) -> None:
        self.source = source
        self.state = ModelState.UNLOADED
        self.model: Servable | None = None
        self.holds = 0
        self.last_used = time.monotonic()
        self.keep_alive = keep_alive     # after the last use; None: as long as there is room
        self.loads = self.failures = self.evictions = self.unloads = 0
        self.load_seconds: float | None = None
        self.error: str | None = None
        self.failed_at = 0.0

    def idle(self) -> bool:
        """Loaded, unloadable, and nothing of it in use."""
        return (self.state is ModelState.LOADED and self.holds == 0 and self.source.load is not None
                and self.model is not None and not self.model.in_use)

    def status(self) -> ModelStatus:
        return ModelStatus(self.source.name, self.source.kind, self.state, self.loads, self.failures, self.evictions,
                           self.unloads, self.load_seconds, self.error if self.state is ModelState.FAILED else None,
                           self.holds)


class ModelHold:
    """A loaded model lent to one caller: it stays loaded until :meth:`release` (once; a hold dropped
    unreleased is released when it is collected)."""

    __slots__ = ("name", "model", "_registry", "__weakref__")

    def __init__(self, registry: ModelRegistry, name: str, model: Servable) -> None:
        self.name = name
        self.model = model
        self._registry: ModelRegistry | None = registry

    def release(self) -> None:
        registry, self._registry = self._registry, None
        if registry is not None:
            registry._release(self.name)

    def __del__(self) -> None:
        registry = self._registry
        if registry is not None:
            registry._dropped.put(self.name)   # a SimpleQueue: safe from a finaliser

    def __enter__(self) -> ModelHold:
        return self

    def __exit__(self, *exc: object) -> None:
        self.release()


DEFAULT_KEEP_ALIVE: Any = object()   # a hold's keep_alive when the caller leaves it to the registry


class ModelRegistry:
    """Named models loaded on demand, at most ``max_loaded`` at once (None: no bound), each unloaded
    ``keep_alive`` seconds after its last use (None: never for that reason).

    ``loaded`` gives models already made, by name (their sources may lack a loader); they count as loaded.
    ``load_timeout`` is the default bound of a caller's wait for its model.
    """

    def __init__(self, sources: Iterable[ModelSource], *, max_loaded: int | None = None,
                 keep_alive: float | None = None, load_timeout: float = DEFAULT_LOAD_TIMEOUT,
                 retry_after: float = DEFAULT_RETRY_AFTER, loaded: Mapping[str, Servable] | None = None) -> None:
        if max_loaded is not None and max_loaded < 1:
            raise ValueError("max_loaded must be at least 1 (or None)")
        self.max_loaded = max_loaded
        self.keep_alive = _keep_alive(keep_alive)
        self.load_timeout = load_timeout
        self.retry_after = retry_after
        self._entries: dict[str, _Entry] = {}
        for source in sources:
            if source.name in self._entries:
                raise ValueError(f"the model name {source.name!r} is given twice")
            self._entries[source.name] = _Entry(source, self.keep_alive)
        for name, model in (loaded or {}).items():
            entry = self._entries[name]
            entry.state, entry.model, entry.loads = ModelState.LOADED, model, 1
        for entry in self._entries.values():
            if entry.source.load is None and entry.model is None:
                raise ValueError(f"the model {entry.source.name!r} has no loader and was not given loaded")
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)   # the reaper waits on it
        self._waiting: set[Waker] = set()                  # callers waiting for a change
        self._dropped: queue.SimpleQueue[str] = queue.SimpleQueue()   # holds collected unreleased
        self._workers = WorkerThreads(len(self._entries) + 1, "kiv-models")
        self._reaper: threading.Thread | None = None
        self._closed = False
        self._pid = os.getpid()

    # ------------------------------------------------------------ looking

    def names(self, kind: ModelKind | None = None) -> list[str]:
        """The models' names, in the order given (only those of ``kind`` when given)."""
        return [name for name, e in self._entries.items() if kind is None or e.source.kind == kind]

    def kind(self, name: str) -> ModelKind:
        """The kind of the model ``name``; :class:`ModelNotFound` for a name the registry does not have."""
        return self._entry(name).source.kind

    def status(self, name: str) -> ModelStatus:
        with self._lock:
            return self._entry(name).status()

    def statuses(self) -> list[ModelStatus]:
        with self._lock:
            return [e.status() for e in self._entries.values()]

    def loaded(self, kind: ModelKind | None = None) -> list[Servable]:
        """The models loaded now (of ``kind`` when given)."""
        with self._lock:
            return [e.model for e in self._entries.values() if e.model is not None
                    and e.state is ModelState.LOADED and (kind is None or e.source.kind == kind)]

    @property
    def waiting(self) -> int:
        """Callers waiting for a model to be loaded (or for room to load it) right now."""
        return len(self._waiting)

    @property
    def closed(self) -> bool:
        return self._closed

    def _entry(self, name: str) -> _Entry:
        entry = self._entries.get(name)
        if entry is None:
            raise ModelNotFound(f"The model '{name}' does not exist; the models are "
                                f"{', '.join(repr(n) for n in self._entries)}", param="model")
        return entry

    # ------------------------------------------------------------ holding

    def hold(self, name: str, timeout: float | None = None, *,
             keep_alive: float | None = DEFAULT_KEEP_ALIVE) -> ModelHold:
        """The model ``name``, loaded and held until the hold is released; waits up to ``timeout``
        seconds (default ``load_timeout``) on this thread for its load, or for room to load it.

        ``keep_alive`` sets how long the model stays loaded once idle after this use (None: as long as
        there is room; default: the registry's). Raises :class:`ModelNotFound`, :class:`ModelLoadError`
        when its load failed, :class:`ModelUnavailable` after the wait, :class:`PoolClosed` once the
        registry is closed."""
        entry, deadline = self._start_wait(name, timeout)
        waker = Waker()
        try:
            while True:
                ready = waker.arm_thread()
                held = self._try_hold(entry, keep_alive, waker)
                if held is not None:
                    return held
                ready.wait(self._slice(entry, deadline, timeout))
        finally:
            self._stop_wait(waker)

    async def ahold(self, name: str, timeout: float | None = None, *,
                    keep_alive: float | None = DEFAULT_KEEP_ALIVE) -> ModelHold:
        """:meth:`hold` awaited: the event loop runs on while the model loads."""
        entry, deadline = self._start_wait(name, timeout)
        waker = Waker()
        try:
            while True:
                ready = waker.arm_task()
                held = self._try_hold(entry, keep_alive, waker)
                if held is not None:
                    return held
                await asyncio.wait((ready,), timeout=self._slice(entry, deadline, timeout))
        finally:
            self._stop_wait(waker)

    def load(self, name: str, timeout: float | None = None) -> ModelStatus:
        """Loads the model ``name`` (if it is not loaded) and leaves it loaded; errors as :meth:`hold`."""
        self.hold(name, timeout).release()
        return self.status(name)

    async def aload(self, name: str, timeout: float | None = None) -> ModelStatus:
        (await self.ahold(name, timeout)).release()
        return self.status(name)

    def _start_wait(self, name: str, timeout: float | None) -> tuple[_Entry, float]:
        self._check_process()
        self._take_back_dropped()
        return self._entry(name), time.monotonic() + (self.load_timeout if timeout is None else timeout)

    def _slice(self, entry: _Entry, deadline: float, timeout: float | None) -> float:
        """How long to wait before looking again; :class:`ModelUnavailable` once the deadline has passed."""
        left = deadline - time.monotonic()
        if left > 0:
            return min(left, _RECHECK)
        waited = self.load_timeout if timeout is None else timeout
        with self._lock:
            loading = entry.state is ModelState.LOADING
        if loading:
            raise ModelUnavailable(f"the model '{entry.source.name}' is still loading after {waited:g} s; "
                                   "try again shortly", code="model_loading")
        raise ModelUnavailable(f"no room to load the model '{entry.source.name}': at most {self.max_loaded} models "
                               f"are loaded at once, and every one stayed busy for {waited:g} s",
                               code="models_busy")

    def _stop_wait(self, waker: Waker) -> None:
        with self._lock:
            self._waiting.discard(waker)

    def _try_hold(self, entry: _Entry, keep_alive: float | None, waker: Waker) -> ModelHold | None:
        """The hold when the model is loaded; else starts its load if it can and registers ``waker`` for
        the next change (None: wait). Raises when no waiting can help."""
        with self._lock:
            if self._closed:
                raise PoolClosed("the model registry is closed")
            state = entry.state
            if state is ModelState.LOADED and entry.model is not None:
                entry.holds += 1
                entry.last_used = time.monotonic()
                if keep_alive is not DEFAULT_KEEP_ALIVE:
                    entry.keep_alive = _keep_alive(keep_alive)
                elif entry.source.load is not None:
                    entry.keep_alive = self.keep_alive
                waker.disarm()
                return ModelHold(self, entry.source.name, entry.model)
            if state is ModelState.FAILED and time.monotonic() - entry.failed_at < self.retry_after:
                raise ModelLoadError(f"the model '{entry.source.name}' could not be loaded: {entry.error}",
                                     param="model")
            if state in (ModelState.UNLOADED, ModelState.FAILED):
                self._start_load(entry)
            self._waiting.add(waker)
            return None

    def _release(self, name: str) -> None:
        with self._lock:
            entry = self._entries[name]
            entry.holds -= 1
            entry.last_used = time.monotonic()
            if entry.holds == 0 and entry.keep_alive == 0 and entry.idle():
                self._start_unload(entry)
            self._notify()

    def _take_back_dropped(self) -> None:
        while True:
            try:
                name = self._dropped.get_nowait()
            except queue.Empty:
                return
            self._release(name)

    # ------------------------------------------------ loading and unloading

    def _start_load(self, entry: _Entry) -> None:
        """Starts loading ``entry`` when there is room, or room can be made (lock held)."""
        victim = None
        if self.max_loaded is not None:
            taken = [e for e in self._entries.values() if e.state in _IN_MEMORY]
            if len(taken) >= self.max_loaded:
                idle = [e for e in taken if e.idle()]
                if not idle:
                    return   # the caller waits for a model to become idle
                victim = min(idle, key=lambda e: e.last_used)
                victim.state = ModelState.UNLOADING
        entry.state = ModelState.LOADING
        try:
            self._workers.submit(lambda: self._load(entry, victim))
        except WorkersUnavailable as exc:
            entry.state = ModelState.FAILED
            entry.error, entry.failed_at = f"no thread could be started to load it ({exc})", time.monotonic()
            if victim is not None:
                victim.state = ModelState.LOADED
            self._notify()

    def _start_unload(self, entry: _Entry) -> None:
        """Starts unloading the idle ``entry`` (lock held)."""
        entry.state = ModelState.UNLOADING
        try:
            self._workers.submit(lambda: self._unload(entry, evicted=False))
        except WorkersUnavailable:
            entry.state = ModelState.LOADED   # the reaper tries again
        self._notify()

    def _load(self, entry: _Entry, victim: _Entry | None) -> None:
        """On a registry thread: makes room (unloading ``victim``), then loads ``entry``."""
        if victim is not None:
            self._unload(victim, evicted=True)
        started = time.perf_counter()
        model: Servable | None = None
        error: str | None = None
        try:
            assert entry.source.load is not None
            model = entry.source.load()
        except BaseException as exc:   # any failure of a loader is the model's, never the registry's
            error = getattr(exc, "message", None) or str(exc) or type(exc).__name__
        seconds = time.perf_counter() - started
        with self._lock:
            if model is not None and not self._closed:
                entry.state, entry.model = ModelState.LOADED, model
                entry.loads += 1
                entry.load_seconds = seconds
                entry.last_used = time.monotonic()
                model = None
            elif model is None:
                entry.state, entry.error, entry.failed_at = ModelState.FAILED, error, time.monotonic()
                entry.failures += 1
            else:
                entry.state = ModelState.UNLOADED
            self._notify()
        if model is not None:   # the registry closed meanwhile
            _close(entry.source.name, model)
        if error is not None:
            _errors.error("the model %r could not be loaded: %s", entry.source.name, error)
            _give_back_memory()   # what a failed load left on the heap

    def _unload(self, entry: _Entry, *, evicted: bool) -> None:
        """On a registry thread: closes the model of ``entry`` (state UNLOADING) and gives its memory back."""
        model = entry.model
        if model is not None:
            _close(entry.source.name, model)
        _give_back_memory()
        with self._lock:
            entry.model = None
            entry.state = ModelState.UNLOADED
            entry.unloads += 1
            entry.evictions += evicted
            self._notify()

    def unload(self, name: str, timeout: float | None = None) -> ModelStatus:
        """Unloads the model ``name`` as soon as it is idle (at once when it is): its requests in
        progress end first, and a later use loads it again. Waits up to ``timeout`` seconds (default:
        none) for it to be unloaded, and returns its status then. ``ValueError`` for a model that was
        given loaded."""
        entry = self._ask_unload(name)
        if timeout:
            with self._lock:
                self._changed.wait_for(lambda: not _unloading(entry), timeout)
        return self.status(name)

    async def aunload(self, name: str, timeout: float | None = None) -> ModelStatus:
        """:meth:`unload` awaited."""
        entry = self._ask_unload(name)
        deadline = time.monotonic() + (timeout or 0)
        waker = Waker()
        try:
            while True:
                ready = waker.arm_task()
                with self._lock:
                    if not _unloading(entry) or time.monotonic() >= deadline:
                        return entry.status()
                    self._waiting.add(waker)
                await asyncio.wait((ready,), timeout=min(_RECHECK, max(0.0, deadline - time.monotonic())))
        finally:
            self._stop_wait(waker)

    def _ask_unload(self, name: str) -> _Entry:
        self._check_process()
        self._take_back_dropped()
        entry = self._entry(name)
        with self._lock:
            if entry.source.load is None:
                raise ValueError(f"the model '{name}' was given loaded: it cannot be unloaded")
            entry.keep_alive = 0
            if entry.idle():
                self._start_unload(entry)
            elif entry.state is ModelState.LOADED:
                self._ensure_reaper()
        return entry

    def _notify(self) -> None:
        """Wakes everyone waiting for a change (lock held)."""
        self._changed.notify_all()
        for waker in self._waiting:
            if waker.armed:
                waker.wake()
        if any(e.keep_alive is not None and e.state is ModelState.LOADED and e.source.load is not None
               for e in self._entries.values()):
            self._ensure_reaper()

    # ------------------------------------------------------------ idle time

    def _ensure_reaper(self) -> None:
        if self._reaper is None and not self._closed:
            self._reaper = threading.Thread(target=self._reap, name="kiv-models-idle", daemon=True)
            self._reaper.start()

    def _reap(self) -> None:
        """Unloads each idle model once its keep-alive time has passed."""
        with self._lock:
            while not self._closed:
                now = time.monotonic()
                next_at: float | None = None
                for entry in self._entries.values():
                    if entry.state is not ModelState.LOADED or entry.keep_alive is None or entry.holds:
                        continue
                    due = entry.last_used + entry.keep_alive
                    if due <= now and entry.idle():
                        self._start_unload(entry)
                        continue
                    due = max(due, now + _RECHECK) if due <= now else due   # in use without a hold: look again
                    next_at = due if next_at is None else min(next_at, due)
                self._changed.wait(None if next_at is None else next_at - now)

    # ------------------------------------------------------------ closing

    def close(self) -> None:
        """Refuses new holds (the waiting callers get :class:`PoolClosed`) and closes every model once its
        load in progress, if any, has ended (a pool's runs are cancelled; a recogniser finishes its
        transcription). Safe to call again. In a child made by ``fork()`` it only refuses: the models are
        the parent's."""
        if made_before_fork(self._pid):
            self._closed = True
            return
        self.stop()
        self._workers.shutdown(wait=True)   # loads and unloads in progress end first
        with self._lock:
            models = [(e.source.name, e.model) for e in self._entries.values() if e.model is not None]
            for entry in self._entries.values():
                entry.model = None
                if entry.state is not ModelState.FAILED:
                    entry.state = ModelState.UNLOADED
        for name, model in models:
            _close(name, model)

    def stop(self) -> None:
        """Refuses new holds from now on, at once; the waiting callers get :class:`PoolClosed`. The loaded
        models stay until :meth:`close`."""
        with self._lock:
            self._closed = True
            self._notify()

    async def aclose(self) -> None:
        await asyncio.to_thread(self.close)

    def _check_process(self) -> None:
        if made_before_fork(self._pid):
            raise PoolForked(f"this model registry was made in process {self._pid} before a fork; it serves only "
                             "the process that made it: make one in each worker process, after the fork")

    def __enter__(self) -> ModelRegistry:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __iter__(self) -> Iterator[str]:
        return iter(self._entries)


def _unloading(entry: _Entry) -> bool:
    """Whether an unload asked for is still to come (lock held): a new use keeps the model loaded."""
    return entry.state is ModelState.UNLOADING or (entry.state is ModelState.LOADED and entry.keep_alive == 0)


def _keep_alive(seconds: float | None) -> float | None:
    """None or a negative time: no idle unload."""
    return None if seconds is None or seconds < 0 else float(seconds)


def _close(name: str, model: Servable) -> None:
    try:
        model.close()
    except Exception:
        _errors.exception("closing the model %r failed", name)


def _glibc(name: str) -> Any:
    try:
        return getattr(ctypes.CDLL(None), name)
    except (OSError, AttributeError):   # not glibc: its allocator returns memory its own way
        return None


def _trimmer() -> Callable[[], None] | None:
    trim = _glibc("malloc_trim")
    if trim is None:
        return None
    trim.argtypes, trim.restype = [ctypes.c_size_t], ctypes.c_int
    return lambda: trim(0)


_trim = _trimmer()
_M_MMAP_THRESHOLD = -3


def map_large_blocks(threshold: int = 128 * 1024) -> bool:
    """Makes every heap block of ``threshold`` bytes or more a mapping of its own, for the whole process
    (glibc; False elsewhere). glibc raises that threshold each time a large block is freed, so a model
    loaded after another one was unloaded gets its buffers from the heap, where some of them stay after
    its own unload; with the threshold fixed, an unloaded model's memory goes back in full. A server that
    loads and unloads models calls this once at start."""
    mallopt = _glibc("mallopt")
    if mallopt is None:
        return False
    mallopt.argtypes, mallopt.restype = [ctypes.c_int, ctypes.c_int], ctypes.c_int
    return bool(mallopt(_M_MMAP_THRESHOLD, threshold))


def _give_back_memory() -> None:
    """Hands the C heap's free pages back to the system: glibc keeps freed memory for reuse otherwise,
    and an unloaded model would still count in the process's resident memory."""
    if _trim is not None:
        _trim()
