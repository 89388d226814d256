"""The threads the layer runs native calls on (generations, transcriptions).

:class:`WorkerThreads` starts a thread only when no idle one can take a job,
never more than its limit, and a job is queued only for a thread that exists:
when a thread cannot be started, :meth:`WorkerThreads.submit` raises
:class:`WorkersUnavailable` and nothing runs later. Its callers hold at most
``limit`` jobs at once (one per context, or one transcription).

At interpreter exit, before the interpreter joins its threads, every live set
of workers is told to stop, after its ``on_exit`` (which cancels the runs in
progress) has run: the process ends within one piece of the longest run,
instead of waiting for every run to finish by itself.

In a child made by ``fork()`` the parent's threads do not exist: workers made
before the fork refuse every job there (:class:`WorkersUnavailable`), without
touching the locks the fork may have copied in a held state.
"""

from __future__ import annotations

import collections
import os
import threading
import weakref
from collections.abc import Callable

from .forking import made_before_fork

__all__ = ["WorkerThreads", "WorkersUnavailable"]


class WorkersUnavailable(RuntimeError):
    """No thread can take the job: the workers are stopped, were made before a fork, or a thread cannot start."""


class WorkerThreads:
    """Up to ``limit`` threads named ``name``; ``on_exit`` runs at interpreter exit before they are told to stop."""

    def __init__(self, limit: int, name: str, on_exit: Callable[[], None] | None = None) -> None:
        self._limit = limit
        self._name = name
        self._on_exit = on_exit
        self._pid = os.getpid()
        self._lock = threading.Lock()
        self._job_ready = threading.Condition(self._lock)
        self._jobs: collections.deque[Callable[[], None]] = collections.deque()
        self._threads: list[threading.Thread] = []
        self._idle = 0
        self._stopping = False
        _live.add(self)

    def submit(self, job: Callable[[], None]) -> None:
        """Runs ``job`` on a worker thread; raises :class:`WorkersUnavailable` (and queues nothing) when none can."""
        if made_before_fork(self._pid):
            raise WorkersUnavailable("these threads belong to the process that forked this one")
        with self._lock:
            if self._stopping:
                raise WorkersUnavailable("the worker threads are stopped")
            # At the limit every thread exists: one of them is idle or finishing
            # a job whose caller has what it needed (callers hold at most
            # ``limit`` jobs at once), so the job is taken at once.
            if self._idle > len(self._jobs) or len(self._threads) >= self._limit:
                self._jobs.append(job)
                self._job_ready.notify()
                return
            # Never a daemon, whoever submits (a thread made by a daemon thread would be one): the
            # interpreter's exit cancels the runs and then joins these threads, before any exit hook
            # runs that could wait for a run (a close) or stop native callbacks from reaching Python.
            thread = threading.Thread(target=self._serve, args=(job,), name=f"{self._name}-{len(self._threads)}",
                                      daemon=False)
            self._threads.append(thread)
            try:
                thread.start()
            except RuntimeError as exc:   # out of threads or memory for their stacks
                self._threads.remove(thread)
                raise WorkersUnavailable(f"a worker thread cannot be started: {exc}") from None

    def _serve(self, job: Callable[[], None] | None) -> None:
        try:
            while job is not None:
                job()
                job = self._next_job()
        finally:
            with self._lock:
                self._threads.remove(threading.current_thread())

    def _next_job(self) -> Callable[[], None] | None:
        with self._lock:
            self._idle += 1
            try:
                self._job_ready.wait_for(lambda: self._jobs or self._stopping)
            finally:
                self._idle -= 1
            return self._jobs.popleft() if self._jobs else None

    def shutdown(self, wait: bool = True) -> None:
        """Lets the queued jobs finish, then ends the threads; with ``wait``, joins them."""
        if made_before_fork(self._pid):
            return
        with self._lock:
            self._stopping = True
            self._job_ready.notify_all()
            threads = list(self._threads)
        if wait:
            for thread in threads:
                if thread is not threading.current_thread():
                    thread.join()

    def _at_exit(self) -> None:
        if made_before_fork(self._pid):
            return
        if self._on_exit is not None:
            self._on_exit()
        self.shutdown(wait=False)


_live: weakref.WeakSet[WorkerThreads] = weakref.WeakSet()


def _stop_all_at_exit() -> None:
    for workers in list(_live):
        workers._at_exit()


# Run by threading's shutdown before it joins the non-daemon threads (the hook
# concurrent.futures uses for its own workers); atexit functions run later.
try:
    threading._register_atexit(_stop_all_at_exit)   # type: ignore[attr-defined]
except RuntimeError:   # imported while the interpreter already shuts down
    pass
