"""One chat request on a pool: an iterator and an async iterator of events.

    gen = pool.chat(messages, max_tokens=200, stop=["\\n\\n"])
    for event in gen:                      # or: async for event in gen
        if isinstance(event, TextPiece): print(event.text, end="")
        elif isinstance(event, ToolCall): ...
        elif isinstance(event, Finished): print(event.finish_reason, event.usage)

The generation is its own cancellation handle from the moment it exists:
:meth:`Generation.cancel` (from any thread), leaving the iteration early,
:meth:`close` / :meth:`aclose`, ``with`` / ``async with``, or cancelling the
asyncio task that iterates it all stop that request, within one piece,
whether its native run has started or not, and never touch another request.
The context goes back to the pool only once its run has returned.

Nothing runs until the first event is asked for, or :meth:`start` /
:meth:`astart` is called: that is where the wait for a context happens, and
where :class:`PoolExhausted` or :class:`PoolClosed` is raised.

Here live the request's lifecycle (:class:`Stage`) and its event queue; the
pieces become events in :mod:`.pieces`, and contexts are lent by
:mod:`.lending`. Each sync/async pair is a thin shell over shared steps.
"""

from __future__ import annotations

import asyncio
import collections
import enum
import threading
import time
from collections.abc import AsyncIterator, Callable, Iterator
from dataclasses import replace
from typing import TYPE_CHECKING, Any

from ..types import Result, RetStatus, RunStatus
from .request.chat_input import PreparedChat
from .conversations import Conversation
from .errors import ContextResetFailed, InvalidRequest, PoolError, ServingError
from .events import Event, Finished, FinishReason, TextPiece
from .lending import WaitCancelled
from .pieces import PieceReader
from .waking import Waker

if TYPE_CHECKING:
    from .._velkor import VELKOR, RunResult
    from .lending import ContextLender, Lease

__all__ = ["Generation", "Stage"]

_FAILED = (RunStatus.ERROR, RunStatus.CONTEXT_EXCEEDED)


class Stage(enum.IntEnum):
    """Where a request is; it only moves forward."""

    NEW = 0         # made; nothing runs until it is started
    WAITING = 1     # waiting for a context
    RUNNING = 2     # its run is queued or in progress on a context
    RETURNED = 3    # the run returned (or never ran) and its context is back
    ENDED = 4       # the final event (or the failure) is queued
    DELIVERED = 5   # the consumer took the end, or closed the generation


_NEW, _DELIVERED = Stage.NEW, Stage.DELIVERED
_YIELD_EVERY = 8   # queued events an async consumer takes before it lets the event loop run
# A consumer that falls this far behind (a client reading slowly, or not at
# all) holds its run up until it has taken all but _LOW_WATER events: the
# memory a request takes stays bounded, and its run takes no CPU time from
# the others meanwhile.
_HIGH_WATER = 4096
_LOW_WATER = 1024


class _EventQueue:
    """Events from the run's thread to the one consumer. The deque and the
    waker's flag are only touched under the interpreter lock, which orders them."""

    __slots__ = ("items", "waker", "room", "producer_waits")

    def __init__(self) -> None:
        self.items: collections.deque[Event | BaseException] = collections.deque()
        self.waker = Waker()
        self.room = threading.Condition(threading.Lock())
        self.producer_waits = False

    def wait_for_room(self, stop: Callable[[], bool]) -> None:
        """On the run's thread: waits until the consumer has taken all but _LOW_WATER events, or ``stop()``."""
        with self.room:
            self.producer_waits = True
            try:
                while len(self.items) > _LOW_WATER and not stop():
                    self.room.wait(0.05)
            finally:
                self.producer_waits = False

    def made_room(self, always: bool = False) -> None:
        """After the consumer took events (``always``: a cancel): wakes a waiting producer once there is room."""
        if always or len(self.items) <= _LOW_WATER:
            with self.room:
                self.room.notify()

    def put(self, item: Event | BaseException) -> None:
        self.items.append(item)
        if self.waker.armed:
            self.waker.wake()

    def get(self) -> Event | BaseException:
        while not self.items:
            ready = self.waker.arm_thread()
            if self._still_empty():
                ready.wait()
        return self.items.popleft()

    async def aget(self) -> Event | BaseException:
        while not self.items:
            ready = self.waker.arm_task()
            if self._still_empty():
                await ready
        return self.items.popleft()

    def _still_empty(self) -> bool:
        """After arming: True when the consumer must wait (an item that came meanwhile disarms it)."""
        if self.items:
            self.waker.disarm()
            return False
        return True


class Generation:
    """A chat request on a pool; made by :meth:`ModelPool.chat` from a checked request.

    ``acquire_timeout`` bounds the wait for a context (default: the pool's).
    With a ``conversation``, the request goes on from a context that holds its
    beginning, waiting up to ``conversation_wait`` seconds for it when it is
    busy; otherwise it runs afresh, and the context keeps what it produced.
    """

    def __init__(self, lender: ContextLender, prepared: PreparedChat, *, acquire_timeout: float | None = None,
                 conversation: Conversation | None = None, conversation_wait: float = 0.0,
                 interactive: bool = False, hold: float = 0.0) -> None:
        self._lender = lender
        self.request = prepared                    # the checked request
        self._run_kwargs = prepared.run_kwargs
        self._acquire_timeout = acquire_timeout
        self._conversation = conversation           # set when the context may keep the conversation
        self._conversation_wait = conversation_wait  # how long to wait for a busy context holding it
        self._interactive = interactive              # a person follows it: its conversation is kept
        self._hold = hold                            # how long it leaves a kept conversation alone
        self._lock = threading.Lock()              # the stage, the halt and the context
        self._changed = threading.Condition(self._lock)
        self._stage = Stage.NEW
        self._halt: FinishReason | None = None     # why the layer stopped the run
        self._halt_repeated = False                # the stop said again at the first piece after it
        self._context: VELKOR | None = None        # set while the run may be in progress
        self._queue = _EventQueue()
        self._taken = 0                            # events taken in a row without waiting (async)
        self._reader = PieceReader(self._queue.put, max_tokens=prepared.max_tokens, stops=prepared.stop,
                                   rules=prepared.rules, context_size=lender.context_size,
                                   prompt_kind="messages" if prepared.run_kwargs.get("messages_mode") else "prompt")
        self._t_start = time.perf_counter()
        self.finished: Finished | None = None
        # Messages of the request its context holds already: set on the run's thread before the run begins
        # (so known once the first event is out); None until then, and for a request with no conversation.
        self.reused_messages: int | None = None

    @property
    def stage(self) -> Stage:
        return self._stage

    @property
    def queued(self) -> int:
        """Events made and not yet taken by the consumer."""
        return len(self._queue.items)

    @property
    def cancelled(self) -> bool:
        """True when the request was cancelled before its run finished."""
        return self._halt == "cancelled"

    # ----------------------------------------------------------- cancelling

    def cancel(self) -> None:
        """Stops this request: before its run (it never starts) or during it (within one piece)."""
        with self._lock:
            if self._halt is None and self._stage < Stage.RETURNED:
                self._halt = "cancelled"
            context = self._context
            if context is not None:
                context.interrupt()
            waiting = self._stage <= Stage.WAITING
        if waiting:
            self._lender.cancel_wait(self)   # a wait for a context in progress ends at once
        elif self._queue.producer_waits:
            self._queue.made_room(always=True)

    # -------------------------------------------------------------- starting

    def start(self, timeout: float | None = None) -> None:
        """Waits for a context on this thread and starts the run; raises PoolExhausted or PoolClosed."""
        lease: Lease | None = None
        try:
            if self._begin():
                lease = self._lender.acquire(self._wait_limit(timeout), owner=self, **self._preference())
                self._launch(lease)
        except BaseException as exc:
            if not self._start_failed(exc, lease):
                raise

    async def astart(self, timeout: float | None = None) -> None:
        """:meth:`start` for asyncio: the event loop runs on while it waits for a context."""
        lease: Lease | None = None
        try:
            if self._begin():
                lease = await self._lender.acquire_async(self._wait_limit(timeout), owner=self,
                                                         **self._preference())
                self._launch(lease)
        except BaseException as exc:
            if not self._start_failed(exc, lease):
                raise

    def _wait_limit(self, timeout: float | None) -> float | None:
        return timeout if timeout is not None else self._acquire_timeout

    def _preference(self) -> dict[str, Any]:
        if self._conversation is None:
            return {"hold": self._hold}
        return {"prefer": self._conversation.extends, "prefer_wait": self._conversation_wait, "hold": self._hold}

    def _begin(self) -> bool:
        """Moves a new request to its wait for a context; False when there is nothing to wait for."""
        with self._lock:
            if self._stage is not Stage.NEW:
                return False
            self._stage = Stage.WAITING
            cancelled = self._halt == "cancelled"
        self._t_start = time.perf_counter()
        if cancelled:
            self._end(None)
            return False
        return True

    def _launch(self, lease: Lease) -> None:
        # A cancel that came meanwhile is seen by _run, under the lock.
        lease.submit(self, lambda: self._run(lease))
        self._advance(Stage.RUNNING)

    def _start_failed(self, exc: BaseException, lease: Lease | None) -> bool:
        """After a start that raised, wherever it raised: the lease back unless its run was submitted,
        and the generation ended. True when the caller gets a normal end instead of the exception."""
        if lease is not None and lease.handler is None:
            lease.release()
        if lease is not None and lease.handler is not None:
            self._advance(Stage.RUNNING)   # the run owns the lease and ends the generation
        elif isinstance(exc, WaitCancelled):
            self._end(None)
            return True
        elif isinstance(exc, PoolError) and lease is not None:
            self._end(exc)   # the run could not start: its error is the generation's end
            return True
        else:
            self._advance(Stage.DELIVERED)   # the caller gets the exception instead of an end
        return False

    def _run(self, lease: Lease) -> None:
        """On a run thread: the native run, then the context back, then the final event."""
        context = lease.context
        result: RunResult | None = None
        failure: BaseException | None = None
        reused = 0
        try:
            kwargs, reused = self._arguments_on(lease)
            if self._enter_run(context):
                # A cancel from now on interrupts the run; one that lands before
                # the native run has begun is repeated by the first piece.
                result = context.run(userdata=self, **kwargs)
        except ServingError as exc:
            failure = exc
        except (TypeError, ValueError, OverflowError, IndexError) as exc:
            failure = InvalidRequest(str(exc))
        except Exception as exc:
            failure = ServingError(f"the run failed: {exc}")
        finally:
            with self._lock:
                self._context = None
                self._stage = max(self._stage, Stage.RETURNED)
        try:
            ending = self._ending(failure, result, reused)
            if self._conversation is not None and isinstance(ending, Finished):
                lease.held = self._conversation.held_after(ending, halted=self._halt is not None)
                if self._interactive and lease.held is not None:
                    lease.keep()
        finally:
            lease.release()
        self._post_end(ending)

    def _arguments_on(self, lease: Lease) -> tuple[dict[str, Any], int]:
        """The run's arguments on this context, and how many messages of the request it holds already.

        Whatever this run does, the context holds something else after it: what
        it was known to hold is forgotten first (a run that keeps no history
        leaves nothing a later request could go on from)."""
        held, lease.held = lease.held, None
        if self._conversation is None:
            return self._run_kwargs, 0
        kwargs, reused = self._conversation.run_arguments(held)
        self.reused_messages = reused
        if not reused and self._halt is None and lease.context.reset() != RetStatus.SUCCESS:
            # Afresh, what the context kept must go first: a context that cannot drop it
            # would answer this request from another conversation.
            raise ContextResetFailed("the runtime could not reset the context for a new conversation")
        return kwargs, reused

    def _enter_run(self, context: VELKOR) -> bool:
        with self._lock:
            if self._halt is not None:
                return False
            self._context = context
            return True

    def _advance(self, stage: Stage) -> None:
        with self._lock:
            if stage > self._stage:
                self._stage = stage
                self._changed.notify_all()

    def _ending(self, failure: BaseException | None, result: RunResult | None = None,
                reused: int | None = None) -> Finished | BaseException:
        """The generation's end: its final event, or the failure the consumer gets."""
        if failure is not None:
            return failure
        try:
            failed = result is not None and result["status"] in _FAILED
            finished = self._reader.finish(self._halt, failed, self._t_start)
            if self._conversation is not None:
                finished = replace(finished, reused_messages=reused or 0)
            return finished
        except ServingError as exc:
            return exc
        except Exception as exc:   # the consumer must never wait for an end that does not come
            return ServingError(f"the result could not be built: {exc}")

    def _post_end(self, ending: Finished | BaseException) -> None:
        """Queues the end and marks the generation ended."""
        try:
            if isinstance(ending, Finished):
                self.finished = ending
            self._queue.put(ending)
        finally:
            self._advance(Stage.ENDED)

    def _end(self, failure: BaseException | None) -> None:
        """Ends a generation whose run never started."""
        self._post_end(self._ending(failure))

    # -------------------------------------------------- the run's callbacks

    def on_piece(self, result: Result, status: RunStatus) -> None:
        if self._halt is not None:
            # Cancelled or stopped: take nothing more, and say it once more (a
            # break that came before run() marked the context busy reached the
            # runtime before its run; the module repeats the later ones).
            if not self._halt_repeated:
                self._halt_repeated = True
                context = self._context
                if context is not None:
                    context.interrupt()
            return
        stop = self._reader.piece(result.text, result.content_type, status, result.token_id)
        if stop is not None:
            self._halt = stop
            context = self._context
            if context is not None:
                context.interrupt()
        elif len(self._queue.items) > _HIGH_WATER:
            self._queue.wait_for_room(lambda: self._halt is not None)

    def on_tool_call(self, name: str, arguments: str) -> None:
        if self._halt is None:
            self._reader.tool_call(name, arguments)

    # ---------------------------------------------------------- iterating

    def _deliver(self, item: Event | BaseException) -> Event:
        if isinstance(item, BaseException):
            self._advance(Stage.DELIVERED)
            raise item
        if isinstance(item, Finished):
            self._advance(Stage.DELIVERED)
        return item

    def __next__(self) -> Event:
        if self._stage is _NEW:
            self.start()
        if self._stage is _DELIVERED:
            raise StopIteration
        queue = self._queue
        item = queue.items.popleft() if queue.items else queue.get()
        if queue.producer_waits:
            queue.made_room()
        return item if item.__class__ is TextPiece else self._deliver(item)

    async def __anext__(self) -> Event:
        try:
            if self._stage is _NEW:
                await self.astart()
            if self._stage is _DELIVERED:
                raise StopAsyncIteration
            items = self._queue.items
            if items:
                # Queued events are taken without waiting; every few of them the
                # loop gets a turn, so a backlog never starves other requests.
                self._taken += 1
                if self._taken >= _YIELD_EVERY:
                    self._taken = 0
                    if self._queue.producer_waits:
                        self._queue.made_room()
                    await asyncio.sleep(0)
                item = items.popleft()
            else:
                self._taken = 0
                item = await self._queue.aget()
        except asyncio.CancelledError:
            self.cancel()
            raise
        return item if item.__class__ is TextPiece else self._deliver(item)

    def __iter__(self) -> Iterator[Event]:
        try:
            while True:
                try:
                    event = self.__next__()
                except StopIteration:
                    return
                yield event
        finally:
            self._left_early()

    async def _aiterate(self) -> AsyncIterator[Event]:
        try:
            while True:
                try:
                    event = await self.__anext__()
                except StopAsyncIteration:
                    return
                yield event
        finally:
            self._left_early()

    def __aiter__(self) -> AsyncIterator[Event]:
        return self._aiterate()

    def _left_early(self) -> None:
        if self._stage is not Stage.DELIVERED:
            self.cancel()

    # -------------------------------------------------- whole results, closing

    def collect(self) -> Finished:
        """Runs to the end and returns the final event (its text is every piece joined)."""
        for _ in self:
            pass
        assert self.finished is not None
        return self.finished

    async def acollect(self) -> Finished:
        async for _ in self:
            pass
        assert self.finished is not None
        return self.finished

    def close(self) -> None:
        """Cancels the request and waits until its run has returned (its context is back).

        It does not read the events, so another thread iterating meanwhile still gets its end."""
        self.cancel()
        self._wait_ended()
        self._advance(Stage.DELIVERED)

    async def aclose(self) -> None:
        """:meth:`close` for asyncio."""
        self.cancel()
        if Stage.NEW < self._stage < Stage.ENDED:
            await asyncio.to_thread(self._wait_ended)
        self._advance(Stage.DELIVERED)

    def _wait_ended(self) -> None:
        with self._lock:
            if self._stage is not Stage.NEW:
                self._changed.wait_for(lambda: self._stage >= Stage.ENDED)

    def __enter__(self) -> Generation:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    async def __aenter__(self) -> Generation:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()

    def __repr__(self) -> str:
        return f"<Generation {self._stage.name.lower()}{' cancelled' if self.cancelled else ''}>"
