"""A pool of model contexts: N ``VELKOR`` objects initialised once, each lent
to one request at a time.

    pool = ModelPool("/models/model.gguf", contexts=4, mmproj_path="/models/mmproj.gguf")
    for event in pool.chat([{"role": "user", "content": "Hello"}]):
        ...
    pool.close()

Waiting for a context is bounded (``acquire_timeout``, :class:`PoolExhausted`
after it) and works from threads (:meth:`ModelPool.acquire`) and from asyncio
(:meth:`ModelPool.acquire_async`, which never blocks the event loop). Runs
execute on the pool's own threads, one per context, so they never queue
behind other work. The objects the pool makes put the SIGINT handler back at
once: the program (a server) owns its signals.
"""

from __future__ import annotations

import asyncio
import collections
import threading
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING, Any

from .errors import ModelLoadError, PoolClosed, PoolExhausted
from .types import Result, RetStatus, RunStatus

if TYPE_CHECKING:
    from ._velkor import VELKOR
    from .generation import Generation

__all__ = ["ModelPool", "Lease", "WaitCancelled"]

DEFAULT_ACQUIRE_TIMEOUT = 30.0


def _route_piece(result: Result, generation: Generation | None, status: RunStatus) -> None:
    if generation is not None:
        generation._on_piece(result, status)


def _route_tool_call(name: str, arguments: str, generation: Generation | None) -> None:
    if generation is not None:
        generation._on_tool_call(name, arguments)


class WaitCancelled(Exception):
    """The request that waited for a context was cancelled meanwhile (see :meth:`ModelPool.acquire`)."""


class _Waiter:
    """One caller waiting for a context: a thread (an Event) or a task (a future on its loop)."""

    __slots__ = ("context", "closed", "cancelled", "abandoned", "owner", "event", "loop", "future")

    def __init__(self, owner: object, event: threading.Event | None = None,
                 loop: asyncio.AbstractEventLoop | None = None, future: asyncio.Future[None] | None = None) -> None:
        self.context: VELKOR | None = None
        self.closed = False
        self.cancelled = False
        self.abandoned = False
        self.owner = owner
        self.event = event
        self.loop = loop
        self.future = future

    def wake(self) -> bool:
        """Called with the pool's lock held, after `context` or `closed` was set; False when nobody is there."""
        if self.event is not None:
            self.event.set()
            return True
        assert self.loop is not None and self.future is not None
        try:
            self.loop.call_soon_threadsafe(_resolve, self.future)
        except RuntimeError:   # the loop is closed: its task is gone
            return False
        return True


def _resolve(future: asyncio.Future[None]) -> None:
    if not future.done():
        future.set_result(None)


class Lease:
    """One context lent to one request; :meth:`release` gives it back (once)."""

    __slots__ = ("_pool", "context")

    def __init__(self, pool: ModelPool, context: VELKOR) -> None:
        self._pool: ModelPool | None = pool
        self.context = context

    def release(self) -> None:
        pool, self._pool = self._pool, None
        if pool is not None:
            pool._give_back(self.context)

    def __enter__(self) -> Lease:
        return self

    def __exit__(self, *exc: object) -> None:
        self.release()


class ModelPool:
    """``contexts`` contexts of one model; the keyword options go to every ``VELKOR.init``.

    Raises :class:`ModelLoadError` when the runtime refuses the model (the
    contexts made so far are released). Close it with :meth:`close` (or use it
    as a context manager): running generations are cancelled (or, with
    ``cancel=False``, finished), waiting callers get :class:`PoolClosed`, and
    every context is released once its run has returned.
    """

    def __init__(self, model_path: str, contexts: int = 1, *, acquire_timeout: float = DEFAULT_ACQUIRE_TIMEOUT,
                 **init_options: Any) -> None:
        from ._velkor import VELKOR

        if isinstance(contexts, bool) or not isinstance(contexts, int) or contexts < 1:
            raise ValueError("contexts must be a positive integer")
        if acquire_timeout < 0:
            raise ValueError("acquire_timeout must not be negative")
        self.model_path = model_path
        self.acquire_timeout = acquire_timeout
        self.vision = bool(init_options.get("mmproj_path"))
        self._lock = threading.Lock()
        self._returned = threading.Condition(self._lock)
        self._free: collections.deque[VELKOR] = collections.deque()
        self._leased: set[int] = set()
        self._waiters: collections.deque[_Waiter] = collections.deque()
        self._active: set[Generation] = set()
        self._closed = False
        self._all: list[VELKOR] = []
        try:
            for _ in range(contexts):
                context = VELKOR()
                context._restore_sigint_handler()
                self._all.append(context)
                status = context.init(model_path, _route_piece, _route_tool_call, **init_options)
                if status != RetStatus.SUCCESS:
                    raise ModelLoadError(f"the runtime could not load the model {model_path!r} "
                                         f"(init returned {status.name}); its reason is on stderr")
                self._free.append(context)
        except BaseException:
            for context in self._all:
                context.uninit()
            self._all.clear()
            self._free.clear()
            raise
        self.size = contexts
        self._executor = ThreadPoolExecutor(max_workers=contexts, thread_name_prefix="kiv-run")

    # ------------------------------------------------------------ requests

    def chat(self, messages: Any, **options: Any) -> Generation:
        """A new generation for OpenAI-format ``messages`` (see :class:`Generation` for the options).

        Nothing runs until it is iterated or started; it can be cancelled at once.
        Raises :class:`InvalidRequest` for a malformed request.
        """
        from .generation import Generation
        return Generation(self, messages, **options)

    @property
    def available(self) -> int:
        """Contexts free right now."""
        return len(self._free)

    @property
    def closed(self) -> bool:
        return self._closed

    # --------------------------------------------------------- acquisition

    def _take_or_wait(self, waiter: _Waiter) -> VELKOR | None:
        with self._lock:
            if self._closed:
                raise PoolClosed("the model pool is closed")
            if self._free:
                context = self._free.popleft()
                self._leased.add(id(context))
                return context
            self._waiters.append(waiter)
            return None

    def _settle(self, waiter: _Waiter, timeout: float) -> VELKOR:
        """After a wait: the context handed over, or the reason there is none."""
        with self._lock:
            waiter.abandoned = True
            context = waiter.context
            if context is None:
                try:
                    self._waiters.remove(waiter)
                except ValueError:
                    pass
        if context is not None:
            return context
        if waiter.cancelled:
            raise WaitCancelled()
        if waiter.closed or self._closed:
            raise PoolClosed("the model pool is closed")
        raise PoolExhausted(f"all {self.size} contexts stayed busy for {timeout:g} s")

    def acquire(self, timeout: float | None = None, *, owner: object = None) -> Lease:
        """Waits up to ``timeout`` seconds (default ``acquire_timeout``) for a context, on this thread.

        ``owner`` names the request that waits: :meth:`cancel_wait` with it ends the
        wait at once with :class:`WaitCancelled`."""
        timeout = self.acquire_timeout if timeout is None else timeout
        waiter = _Waiter(owner, event=threading.Event())
        context = self._take_or_wait(waiter)
        if context is None:
            assert waiter.event is not None
            waiter.event.wait(timeout)
            context = self._settle(waiter, timeout)
        return Lease(self, context)

    async def acquire_async(self, timeout: float | None = None, *, owner: object = None) -> Lease:
        """Like :meth:`acquire`, awaited: the event loop runs on while it waits. Cancelling the
        waiting task gives back a context handed over meanwhile."""
        timeout = self.acquire_timeout if timeout is None else timeout
        loop = asyncio.get_running_loop()
        waiter = _Waiter(owner, loop=loop, future=loop.create_future())
        context = self._take_or_wait(waiter)
        if context is None:
            assert waiter.future is not None
            try:
                await asyncio.wait((waiter.future,), timeout=timeout)
            except asyncio.CancelledError:
                with self._lock:
                    waiter.abandoned = True
                    handed, waiter.context = waiter.context, None
                    if handed is None and waiter in self._waiters:
                        self._waiters.remove(waiter)
                if handed is not None:
                    self._give_back(handed)
                raise
            context = self._settle(waiter, timeout)
        return Lease(self, context)

    def cancel_wait(self, owner: object) -> None:
        """Ends the waits for a context made for ``owner`` (they raise :class:`WaitCancelled`)."""
        with self._lock:
            for waiter in [w for w in self._waiters if w.owner is owner]:
                self._waiters.remove(waiter)
                waiter.cancelled = True
                waiter.wake()

    def _give_back(self, context: VELKOR) -> None:
        with self._lock:
            if not self._closed:
                while self._waiters:
                    waiter = self._waiters.popleft()
                    if waiter.abandoned:
                        continue
                    waiter.context = context
                    if waiter.wake():
                        return
                    waiter.context = None
                self._free.append(context)
                self._leased.discard(id(context))
                return
            self._leased.discard(id(context))
            self._returned.notify_all()
        context.uninit()

    # ------------------------------------------------ generations and runs

    def _track(self, generation: Generation, active: bool) -> bool:
        """Counts a generation as running (False, and not counted, once the pool is closed) or done."""
        with self._lock:
            if not active:
                self._active.discard(generation)
            elif self._closed:
                return False
            else:
                self._active.add(generation)
            return True

    def _submit(self, job: Callable[[], None]) -> None:
        self._executor.submit(job)

    # ---------------------------------------------------------------- close

    def close(self, *, cancel: bool = True, timeout: float | None = None) -> bool:
        """Stops lending contexts and releases every one once its run has returned.

        ``cancel`` cancels the running generations (else they finish first).
        Waits up to ``timeout`` seconds (None: as long as it takes) for the
        lent contexts; True when all were released. Safe to call again.
        """
        with self._lock:
            self._closed = True
            waiters, self._waiters = list(self._waiters), collections.deque()
            free, self._free = list(self._free), collections.deque()
            active = list(self._active)
            for waiter in waiters:
                waiter.closed = True
                waiter.wake()
        if cancel:
            for generation in active:
                generation.cancel()
        for context in free:
            context.uninit()
        with self._lock:
            done = self._returned.wait_for(lambda: not self._leased, timeout)
        if done:
            self._executor.shutdown(wait=True)
            self._all.clear()
        return done

    async def aclose(self, *, cancel: bool = True, timeout: float | None = None) -> bool:
        """:meth:`close` without blocking the event loop."""
        return await asyncio.to_thread(self.close, cancel=cancel, timeout=timeout)

    def __enter__(self) -> ModelPool:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    async def __aenter__(self) -> ModelPool:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()

