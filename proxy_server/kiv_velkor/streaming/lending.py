"""Lending model contexts: N ``VELKOR`` objects initialised once, each lent to
one request at a time, and the threads their runs execute on.

The lender knows a request only through :class:`RunHandler`: the runtime's
pieces and tool calls go to the handler named as the run's ``userdata``, and
closing the lender cancels the handlers of the runs in progress.

Waiting for a context is bounded in time and in the number of waiters, and
works from threads (:meth:`acquire`) and from asyncio (:meth:`acquire_async`,
which never blocks the event loop); both share one waiting list, in order of
arrival, and one hand-over.

Which context a request gets: the one that holds what it can go on from
(:attr:`Lease.held`) when there is one; otherwise a free one that holds
nothing, else the one used least recently. The context a lease marked with
:meth:`Lease.keep` (the conversation a person is having) is left to its next
turn: while another context is busy, a request that cannot go on from it
waits up to ``hold`` seconds for another before it takes that one. A
returned context goes to a waiter that goes on from what it holds before
the others. The objects put the SIGINT handler
back at once: the program (a server) owns its signals.

A lender serves the process that made it: in a child made by ``fork()`` it
refuses with :class:`PoolForked` and never calls the runtime with the
parent's contexts (they stay alive until the child ends). Runs execute
on :class:`WorkerThreads`, which the interpreter's exit stops after the runs
in progress are cancelled.
"""

from __future__ import annotations

import asyncio
import collections
import contextlib
import os
import queue
import threading
import weakref
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any, Protocol, Self

from ..types import Result, RetStatus, RunStatus
from .errors import ModelLoadError, NoRunThread, PoolClosed, PoolExhausted, PoolForked, QueueFull
from .forking import keep_native_objects_in_children, made_before_fork
from .waking import Waker
from .workers import WorkersUnavailable, WorkerThreads

if TYPE_CHECKING:
    from .._velkor import VELKOR

__all__ = ["ContextLender", "Lease", "RunHandler", "WaitCancelled", "DEFAULT_ACQUIRE_TIMEOUT"]

DEFAULT_ACQUIRE_TIMEOUT = 30.0


class RunHandler(Protocol):
    """What the lender needs of a request: where its run's output goes, and how to stop it."""

    def on_piece(self, result: Result, status: RunStatus) -> None: ...

    def on_tool_call(self, name: str, arguments: str) -> None: ...

    def cancel(self) -> None: ...


def _route_piece(result: Result, handler: RunHandler | None, status: RunStatus) -> None:
    if handler is not None:
        handler.on_piece(result, status)


def _route_tool_call(name: str, arguments: str, handler: RunHandler | None) -> None:
    if handler is not None:
        handler.on_tool_call(name, arguments)


class WaitCancelled(Exception):
    """The request that waited for a context was cancelled meanwhile (see :meth:`ContextLender.cancel_wait`)."""


class _Waiter:
    """One caller waiting for a context; its fields are guarded by the lender's lock."""

    __slots__ = ("owner", "prefer", "wants", "avoid", "waker", "context", "outcome", "lease")

    def __init__(self, owner: object, prefer: Callable[[object], bool] | None) -> None:
        self.owner = owner
        self.prefer = prefer                # which held states the request can go on from
        self.wants: VELKOR | None = None    # the busy context it waits for first, briefly
        self.avoid: VELKOR | None = None    # the kept context it leaves alone first, for a while
        self.waker = Waker()
        self.context: VELKOR | None = None
        # "waiting" while queued; "served"; "cancelled", "closed" or "abandoned": no context will come
        self.outcome: str | None = None
        self.lease: Lease | None = None   # the lease made for the waiter, until the caller has it


class Lease:
    """One context lent to one request; :meth:`release` gives it back (once).

    A lease dropped without being released (an exception that came between
    two steps of the hand-over, Ctrl+C among them) gives its context back
    when it is collected.
    """

    __slots__ = ("_lender", "context", "handler", "__weakref__")

    def __init__(self, lender: ContextLender, context: VELKOR) -> None:
        self._lender: ContextLender | None = lender
        self.context = context
        self.handler: RunHandler | None = None   # the request whose run is in progress on it

    def submit(self, handler: RunHandler, job: Callable[[], None]) -> None:
        """Runs ``job`` on the lender's threads for ``handler``.

        Raises :class:`PoolClosed` or :class:`NoRunThread` (nothing runs, the lease is still held)."""
        lender = self._lender
        if lender is None:
            raise PoolClosed("the lease was released")
        lender._submit(self, handler, job)

    @property
    def held(self) -> object:
        """What the context holds for the lender's users (None: nothing); set it while the lease is held."""
        lender = self._lender
        return None if lender is None else lender._held.get(id(self.context))

    @held.setter
    def held(self, value: object) -> None:
        lender = self._lender
        if lender is not None:
            lender._held[id(self.context)] = value

    def keep(self) -> None:
        """Marks what the context holds now as the conversation to keep for its next turn (the last one
        marked is kept; see the module's docstring)."""
        lender = self._lender
        if lender is not None:
            with lender._lock:
                lender._kept = self.context

    def release(self) -> None:
        lender, self._lender = self._lender, None
        if lender is not None:
            lender._give_back(self)

    def __del__(self) -> None:
        lender = self._lender
        if lender is not None:
            lender._orphans.put(self.context)   # a SimpleQueue: safe from a finaliser

    def __enter__(self) -> Lease:
        return self

    def __exit__(self, *exc: object) -> None:
        self.release()


class ContextLender:
    """``contexts`` contexts of one model; the keyword options go to every ``VELKOR.init``.

    ``context_size``: the tokens each context holds, handed to the runtime at
    init as ``sampler_params`` ``n_ctx`` (None: the runtime's own default,
    which the layer then does not know). ``threads``: the runtime's compute
    threads, handed to it at init as ``sampler_params`` ``n_threads`` (None:
    its own default). ``max_queue``: requests waiting for
    a context at most (None: no bound); one more gets :class:`QueueFull`.
    Raises :class:`ModelLoadError` when the runtime refuses the model (the
    contexts made so far are released).
    """

    def __init__(self, model_path: str, contexts: int = 1, *, acquire_timeout: float = DEFAULT_ACQUIRE_TIMEOUT,
                 context_size: int | None = None, threads: int | None = None, max_queue: int | None = None,
                 **init_options: Any) -> None:
        if isinstance(contexts, bool) or not isinstance(contexts, int) or contexts < 1:
            raise ValueError("contexts must be a positive integer")
        if acquire_timeout < 0:
            raise ValueError("acquire_timeout must not be negative")
        if max_queue is not None and (isinstance(max_queue, bool) or not isinstance(max_queue, int)
                                      or max_queue < 0):
            raise ValueError("max_queue must be a non-negative integer")
        self.max_queue = max_queue
        if context_size is not None:
            if isinstance(context_size, bool) or not isinstance(context_size, int) or context_size < 1:
                raise ValueError("context_size must be a positive integer")
            init_options["sampler_params"] = {**(init_options.get("sampler_params") or {}), "n_ctx": context_size}
        if threads is not None:
            if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
                raise ValueError("threads must be a positive integer")
            init_options["sampler_params"] = {**(init_options.get("sampler_params") or {}), "n_threads": threads}
        self.context_size = context_size
        self.model_path = model_path
        self.acquire_timeout = acquire_timeout
        self.vision = bool(init_options.get("mmproj_path"))
        self._lock = threading.Lock()
        self._returned = threading.Condition(self._lock)
        self._free: collections.deque[VELKOR] = collections.deque()   # least recently used first
        self._held: dict[int, object] = {}                              # by id of the context
        self._leased: set[int] = set()
        self._waiters: collections.deque[_Waiter] = collections.deque()
        self._kept: VELKOR | None = None   # the context whose conversation is kept for its next turn
        # The leases whose run is submitted; weak, so that a lease whose job never
        # got queued (an exception in between) is still collected and given back.
        self._running: weakref.WeakSet[Lease] = weakref.WeakSet()
        self._orphans: queue.SimpleQueue[VELKOR] = queue.SimpleQueue()   # contexts of dropped leases
        self._closed = False
        self._pid = os.getpid()
        self._all = _initialise(model_path, contexts, init_options)
        self._free.extend(self._all)
        self.size = contexts
        self._workers = WorkerThreads(contexts, "kiv-run", on_exit=self._cancel_runs)
        keep_native_objects_in_children(self)

    def native_objects(self) -> list[VELKOR]:
        return self._all

    @property
    def available(self) -> int:
        """Contexts free right now."""
        if made_before_fork(self._pid):
            return 0
        self._take_back_orphans()
        return len(self._free)

    @property
    def waiting(self) -> int:
        """Requests waiting for a context right now."""
        return len(self._waiters)

    @property
    def in_use(self) -> bool:
        """Whether a context is lent or a request waits for one (a registry never unloads it then)."""
        if made_before_fork(self._pid):
            return False
        self._take_back_orphans()
        return bool(self._leased or self._waiters)

    def _check_process(self) -> None:
        if made_before_fork(self._pid):
            raise PoolForked(f"this model pool was made in process {self._pid} before a fork; a pool serves only "
                             "the process that made it: make one in each worker process, after the fork")

    def _take_back_orphans(self) -> None:
        while True:
            try:
                context = self._orphans.get_nowait()
            except queue.Empty:
                return
            self._return(context)

    @property
    def closed(self) -> bool:
        return self._closed

    # --------------------------------------------------------- acquisition

    def acquire(self, timeout: float | None = None, *, owner: object = None,
                prefer: Callable[[object], bool] | None = None, prefer_wait: float = 0.0,
                hold: float = 0.0) -> Lease:
        """Waits up to ``timeout`` seconds (default ``acquire_timeout``) for a context, on this thread.

        ``owner`` names the request that waits: :meth:`cancel_wait` with it ends the
        wait at once with :class:`WaitCancelled`. ``prefer`` picks, from what the
        contexts hold (see :attr:`Lease.held`), the ones the request would rather
        have: a free one of them is taken first; when all of them are busy, the
        wait is for them alone for up to ``prefer_wait`` seconds, then for any.
        A request that prefers none leaves the kept context (:meth:`Lease.keep`)
        alone for up to ``hold`` seconds while another is busy. Raises
        :class:`QueueFull` when ``max_queue`` requests wait already,
        :class:`PoolExhausted` after the timeout and :class:`PoolClosed` once
        the lender is closed."""
        timeout = self.acquire_timeout if timeout is None else timeout
        waiter = self._new_waiter(owner, prefer)
        with self._given_back_on_error(waiter):
            ready = waiter.waker.arm_thread()
            if self._take_or_queue(waiter, prefer_wait > 0, hold > 0):
                for limit in self._waits(waiter, timeout, prefer_wait, hold):
                    ready.wait(limit)
            return self._lease(waiter, timeout)

    async def acquire_async(self, timeout: float | None = None, *, owner: object = None,
                            prefer: Callable[[object], bool] | None = None, prefer_wait: float = 0.0,
                            hold: float = 0.0) -> Lease:
        """Like :meth:`acquire`, awaited: the event loop runs on while it waits. Cancelling the
        waiting task gives back a context handed over meanwhile."""
        timeout = self.acquire_timeout if timeout is None else timeout
        waiter = self._new_waiter(owner, prefer)
        with self._given_back_on_error(waiter):
            ready = waiter.waker.arm_task()
            if self._take_or_queue(waiter, prefer_wait > 0, hold > 0):
                for limit in self._waits(waiter, timeout, prefer_wait, hold):
                    await asyncio.wait((ready,), timeout=limit)
            return self._lease(waiter, timeout)

    def _new_waiter(self, owner: object, prefer: Callable[[object], bool] | None) -> _Waiter:
        self._check_process()
        self._take_back_orphans()
        return _Waiter(owner, prefer)

    def _waits(self, waiter: _Waiter, timeout: float, prefer_wait: float, hold: float) -> Iterator[float]:
        """How long to wait, in turn: for the wanted context (or for another than the kept one), then
        (if still waiting) for any."""
        if waiter.wants is not None or waiter.avoid is not None:
            first = prefer_wait if waiter.wants is not None else hold
            yield min(first, timeout)
            if not self._want_any(waiter):
                return
            timeout = max(0.0, timeout - first)
        yield timeout

    def _want_any(self, waiter: _Waiter) -> bool:
        """The first wait is over: any context will do now. True when the waiter must still wait."""
        with self._lock:
            if waiter.outcome != "waiting":
                return False
            waiter.wants = waiter.avoid = None
            context = self._spare(None)
            if context is None:
                return True
            self._waiters.remove(waiter)
            self._serve(waiter, context)
            return False

    def _take_or_queue(self, waiter: _Waiter, may_wait_for_preferred: bool, may_hold: bool) -> bool:
        """Hands the (armed) waiter a free context at once, or queues it: True when it must wait."""
        with self._lock:
            if self._closed:
                raise PoolClosed("the model pool is closed")
            context = self._preferred(waiter.prefer)
            if context is None and waiter.prefer is not None and may_wait_for_preferred:
                waiter.wants = self._busy_preferred(waiter.prefer)
            if context is None and waiter.wants is None:
                if may_hold and self._kept is not None and self.size > 1:
                    waiter.avoid = self._kept   # taken only if no other comes within the hold
                context = self._spare(waiter.avoid)
            if context is not None:
                self._serve(waiter, context)
                return False
            if self.max_queue is not None and len(self._waiters) >= self.max_queue:
                raise QueueFull(f"{len(self._waiters)} requests wait for a context already, the most this "
                                "server queues")
            waiter.outcome = "waiting"
            self._waiters.append(waiter)
            return True

    def _serve(self, waiter: _Waiter, context: VELKOR) -> None:
        """Hands ``context`` (off the free list) to ``waiter`` (lock held)."""
        self._leased.add(id(context))
        waiter.context, waiter.outcome = context, "served"
        if context is self._kept:
            self._kept = None

    def _spare(self, avoid: VELKOR | None) -> VELKOR | None:
        """For a request that goes on from nothing here: a free context that holds nothing, else the one
        used least recently; the kept one only when no other is free, and never ``avoid``. Taken off the
        free list (lock held)."""
        free = [context for context in self._free if context is not avoid]
        others = [context for context in free if context is not self._kept] or free
        if not others:
            return None
        context = next((c for c in others if self._held.get(id(c)) is None), others[0])
        self._free.remove(context)
        return context

    def _preferred(self, prefer: Callable[[object], bool] | None) -> VELKOR | None:
        """A free context the request prefers, taken off the free list (lock held)."""
        if prefer is not None:
            for context in self._free:
                if prefer(self._held.get(id(context))):
                    self._free.remove(context)
                    return context
        return None

    def _busy_preferred(self, prefer: Callable[[object], bool]) -> VELKOR | None:
        """A lent context the request prefers (lock held)."""
        for context in self._all:
            if id(context) in self._leased and prefer(self._held.get(id(context))):
                return context
        return None

    def _stop_waiting(self, waiter: _Waiter) -> VELKOR | None:
        """Ends a wait: the context handed over, if any; the waiter is out of the queue."""
        with self._lock:
            context, waiter.context = waiter.context, None
            if waiter.outcome == "waiting":
                waiter.outcome = "abandoned"
                self._waiters.remove(waiter)
        return context

    @contextlib.contextmanager
    def _given_back_on_error(self, waiter: _Waiter) -> Iterator[None]:
        """A wait that ends by an exception (a cancelled task, Ctrl+C), wherever it lands, leaves the
        waiter out of the queue and gives back a context handed over meanwhile (or its lease)."""
        try:
            yield
        except BaseException:
            context = self._stop_waiting(waiter)
            lease, waiter.lease = waiter.lease, None
            if lease is not None:
                lease.release()
            elif context is not None:
                self._return(context)
            raise

    def _lease(self, waiter: _Waiter, timeout: float) -> Lease:
        """After a wait: the context handed over, or the reason there is none."""
        context = self._stop_waiting(waiter)
        if context is not None:
            waiter.lease = Lease(self, context)
            return waiter.lease
        if waiter.outcome == "cancelled":
            raise WaitCancelled()
        if waiter.outcome == "closed" or self._closed:
            raise PoolClosed("the model pool is closed")
        raise PoolExhausted(f"all {self.size} contexts stayed busy for {timeout:g} s")

    def cancel_wait(self, owner: object) -> None:
        """Ends the waits for a context made for ``owner`` (they raise :class:`WaitCancelled`)."""
        self._end_waits("cancelled", lambda w: w.owner is owner)

    def _end_waits(self, outcome: str, which: Callable[[_Waiter], bool]) -> None:
        with self._lock:
            for waiter in [w for w in self._waiters if which(w)]:
                self._waiters.remove(waiter)
                waiter.outcome = outcome
                waiter.waker.wake()

    def _give_back(self, lease: Lease) -> None:
        with self._lock:
            self._running.discard(lease)
        self._return(lease.context)
        self._take_back_orphans()

    def _return(self, context: VELKOR) -> None:
        """A context back from a request: to the first waiter that goes on from what it holds, else to the
        first that can take it, else free."""
        with self._lock:
            if not self._closed:
                able = [w for w in self._waiters
                        if (w.wants is None or w.wants is context) and w.avoid is not context]
                for waiter in [w for w in able if w.wants is context] + [w for w in able if w.wants is None]:
                    self._waiters.remove(waiter)
                    waiter.context = context
                    waiter.outcome = "served"
                    if waiter.waker.can_wake() and waiter.waker.wake():
                        if context is self._kept:
                            self._kept = None
                        return
                    waiter.context, waiter.outcome = None, "abandoned"
                self._free.append(context)
                self._leased.discard(id(context))
                return
            self._leased.discard(id(context))
            self._returned.notify_all()
        context.uninit()

    # ---------------------------------------------------------------- runs

    def _submit(self, lease: Lease, handler: RunHandler, job: Callable[[], None]) -> None:
        with self._lock:
            if self._closed:
                raise PoolClosed("the model pool is closed")
            lease.handler = handler
            self._running.add(lease)
        try:
            self._workers.submit(job)
        except WorkersUnavailable as exc:
            with self._lock:
                self._running.discard(lease)
                lease.handler = None
            if self._closed:
                raise PoolClosed("the model pool is closed") from None
            raise NoRunThread(f"the run cannot start: {exc}") from None

    def _cancel_runs(self) -> None:
        with self._lock:
            handlers = [lease.handler for lease in self._running if lease.handler is not None]
        for handler in handlers:
            handler.cancel()

    # ---------------------------------------------------------------- close

    def close(self, *, cancel: bool = True, timeout: float | None = None) -> bool:
        """Stops lending contexts and releases every one once its run has returned.

        ``cancel`` cancels the runs in progress (else they finish first).
        Waits up to ``timeout`` seconds (None: as long as it takes) for the
        lent contexts; True when all were released. Safe to call again. In a
        child made by ``fork()`` it only stops lending: the contexts are the
        parent's.
        """
        if made_before_fork(self._pid):
            self._closed = True
            return True
        with self._lock:
            self._closed = True
            free, self._free = list(self._free), collections.deque()
            self._kept = None
        self._end_waits("closed", lambda w: True)
        if cancel:
            self._cancel_runs()
        for context in free:
            context.uninit()
        self._take_back_orphans()
        with self._lock:
            done = self._returned.wait_for(lambda: not self._leased, timeout)
        if done:
            self._workers.shutdown(wait=True)
            self._all.clear()
        return done

    async def aclose(self, *, cancel: bool = True, timeout: float | None = None) -> bool:
        """:meth:`close` without blocking the event loop."""
        return await asyncio.to_thread(self.close, cancel=cancel, timeout=timeout)

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()


def _initialise(model_path: str, contexts: int, init_options: dict[str, Any]) -> list[VELKOR]:
    """``contexts`` initialised objects; on any failure, the ones made so far are released."""
    from .._velkor import VELKOR

    made: list[VELKOR] = []
    try:
        for _ in range(contexts):
            context = VELKOR()
            context._restore_sigint_handler()
            made.append(context)
            status = context.init(model_path, _route_piece, _route_tool_call, **init_options)
            if status != RetStatus.SUCCESS:
                raise ModelLoadError(f"the runtime could not load the model {model_path!r} "
                                     f"(init returned {status.name}); its reason is on stderr")
            # The tool-call markup stays in the stream (as tool-call text, which
            # no client sees), so its tokens count as completion tokens.
            context.set_toolcall_callback(True, 0)
    except BaseException:
        for context in made:
            context.uninit()
        raise
    return made
