"""One chat request on a :class:`ModelPool`: an iterator and an async iterator of events.

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
"""

from __future__ import annotations

import asyncio
import codecs
import collections
import secrets
import threading
import time
from collections.abc import AsyncIterator, Iterator
from typing import TYPE_CHECKING, Any

from .chat_input import prepare_chat
from .errors import InvalidRequest, PoolClosed, RequestRejected, ServingError
from .events import Event, Finished, FinishReason, PieceKind, TextPiece, Timings, ToolCall, Usage
from .pool import WaitCancelled, _resolve
from .types import Result, RunStatus

if TYPE_CHECKING:
    from ._velkor import RunResult, VELKOR
    from .pool import Lease, ModelPool

__all__ = ["Generation"]

_ERROR = int(RunStatus.ERROR)
_FINISH = int(RunStatus.FINISH)
_ANSWER, _REASONING, _TOOL_TEXT = PieceKind.ANSWER, PieceKind.REASONING, PieceKind.TOOL_TEXT


def _decoder() -> codecs.IncrementalDecoder:
    return codecs.getincrementaldecoder("utf-8")(errors="replace")


class Generation:
    """A chat request on a pool; made by :meth:`ModelPool.chat`.

    Options (OpenAI's names): ``tools``, ``tool_choice``, ``max_tokens`` and
    ``stop`` (enforced here: the run is interrupted and the text ends before
    the stop sequence), ``temperature``, ``top_p``, ``top_k``,
    ``repeat_penalty``, ``seed``, ``frequency_penalty``, ``presence_penalty``,
    ``enable_think``, ``images`` (arrays that stand at the end of the last
    user message), ``sampler_params``; and ``acquire_timeout`` for the wait
    for a context.
    """

    def __init__(self, pool: ModelPool, messages: Any, *, acquire_timeout: float | None = None,
                 **options: Any) -> None:
        prepared = prepare_chat(messages, **options)
        if prepared.images and not pool.vision:
            raise InvalidRequest("this model was loaded without a vision projector (mmproj): it takes no images",
                                 param="messages")
        self._pool = pool
        self._run_kwargs = prepared.run_kwargs
        self._max_tokens = prepared.max_tokens
        self._stops = prepared.stop
        self._acquire_timeout = acquire_timeout
        self._lock = threading.Lock()          # start, cancel and the run's begin and end
        self._started = False
        self._cancelled = False
        self._run_over = False
        self._halt: FinishReason | None = None  # why the layer stopped the run
        self._halt_repeated = False            # the stop said again at the first piece after it
        self._context: VELKOR | None = None    # set while the run may be in progress
        self._done = threading.Event()         # set once the run (if any) returned and its end was posted
        # The events, from the run's thread to the consumer. The deque and the
        # flags are only touched under the interpreter lock, which orders them.
        self._items: collections.deque[Event | BaseException] = collections.deque()
        self._waiting = False
        self._event = threading.Event()
        self._wake_loop: asyncio.AbstractEventLoop | None = None
        self._wake_future: asyncio.Future[None] | None = None
        self._end_delivered = False
        # What the run produced.
        self._decoders = {_ANSWER: _decoder(), _REASONING: _decoder(), _TOOL_TEXT: _decoder()}
        self._texts: dict[PieceKind, list[str]] = {_ANSWER: [], _REASONING: [], _TOOL_TEXT: []}
        self._held = ""                        # answer text that may be the start of a stop sequence
        self._tool_calls: list[ToolCall] = []
        self._tokens = 0
        self._error_text: str | None = None
        self._t_start = time.perf_counter()
        self._t_first: float | None = None
        self._t_last: float | None = None
        self.finished: Finished | None = None

    # ----------------------------------------------------------- cancelling

    def cancel(self) -> None:
        """Stops this request: before its run (it never starts) or during it (within one piece)."""
        with self._lock:
            self._cancelled = True
            if self._halt is None and not self._run_over:
                self._halt = "cancelled"
            context = self._context
            if context is not None:
                context.interrupt()
        if context is None:
            self._pool.cancel_wait(self)   # a wait for a context in progress ends at once

    @property
    def cancelled(self) -> bool:
        return self._cancelled

    # -------------------------------------------------------------- starting

    def start(self, timeout: float | None = None) -> None:
        """Waits for a context on this thread and starts the run; raises PoolExhausted or PoolClosed."""
        if not self._begin():
            return
        try:
            lease = self._pool.acquire(self._timeout(timeout), owner=self)
        except WaitCancelled:
            self._end(None)
            return
        except BaseException:
            self._end_delivered = True
            self._done.set()
            raise
        self._launch(lease)

    async def astart(self, timeout: float | None = None) -> None:
        """:meth:`start` for asyncio: the event loop runs on while it waits for a context."""
        if not self._begin():
            return
        try:
            lease = await self._pool.acquire_async(self._timeout(timeout), owner=self)
        except WaitCancelled:
            self._end(None)
            return
        except BaseException:
            self._end_delivered = True
            self._done.set()
            raise
        self._launch(lease)

    def _timeout(self, timeout: float | None) -> float | None:
        return timeout if timeout is not None else self._acquire_timeout

    def _begin(self) -> bool:
        with self._lock:
            if self._started:
                return False
            self._started = True
            cancelled = self._cancelled
        self._t_start = time.perf_counter()
        if cancelled:
            self._end(None)
            return False
        return True

    def _launch(self, lease: Lease) -> None:
        # A cancel that came meanwhile is seen by _run, under the lock.
        if self._pool._track(self, True):
            try:
                self._pool._submit(lambda: self._run(lease))
                return
            except RuntimeError:   # the pool's threads were shut down meanwhile
                self._pool._track(self, False)
        lease.release()
        self._end(PoolClosed("the model pool is closed"))

    def _run(self, lease: Lease) -> None:
        """On a pool thread: the native run, then the context back, then the final event."""
        context = lease.context
        with self._lock:
            go = not self._cancelled
            if go:
                self._context = context
        result: RunResult | None = None
        failure: BaseException | None = None
        try:
            if go:
                # A cancel from now on interrupts the run; one that lands before
                # the native run has begun is repeated by the first piece.
                result = context.run(userdata=self, **self._run_kwargs)
        except (TypeError, ValueError, OverflowError, IndexError) as exc:
            failure = InvalidRequest(str(exc))
        except Exception as exc:
            failure = ServingError(f"the run failed: {exc}")
        finally:
            with self._lock:
                self._context = None
                self._run_over = True
            lease.release()
            self._pool._track(self, False)
        self._end(failure, result)

    def _end(self, failure: BaseException | None, result: RunResult | None = None) -> None:
        """Posts the final event (or the failure) and marks the generation done."""
        try:
            if failure is None:
                try:
                    self._complete(result)
                    return
                except Exception as exc:   # the consumer must never wait for an end that does not come
                    failure = ServingError(f"the result could not be built: {exc}")
            self._post(failure)
        finally:
            self._done.set()

    # -------------------------------------------------- the run's callbacks

    def _on_piece(self, result: Result, status: RunStatus) -> None:
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
        if status == _ERROR:
            self._error_text = result.text.decode("utf-8", "replace")
            return
        raw = result.text
        if status == _FINISH and not raw:
            return
        self._tokens += 1
        now = time.perf_counter()
        if self._t_first is None:
            self._t_first = now
        self._t_last = now
        if raw:
            kind = PieceKind.of(result.content_type)
            text = self._decoders[kind].decode(raw)
            if text:
                self._emit(kind, text)
        if self._max_tokens is not None and self._tokens >= self._max_tokens and self._halt is None:
            self._stop_run("length")

    def _on_tool_call(self, name: str, arguments: str) -> None:
        if self._halt is not None:
            return
        call = ToolCall(f"call_{secrets.token_hex(12)}", name, arguments, len(self._tool_calls))
        self._tool_calls.append(call)
        self._post(call)

    def _stop_run(self, reason: FinishReason) -> None:
        self._halt = reason
        context = self._context
        if context is not None:
            context.interrupt()

    def _emit(self, kind: PieceKind, text: str) -> None:
        if kind is _ANSWER and self._stops:
            text = self._cut_at_stop(text)
            if not text:
                return
        self._texts[kind].append(text)
        self._post(TextPiece(kind, text))

    def _cut_at_stop(self, text: str) -> str:
        """The answer text that can go out now; holds back what may begin a stop sequence."""
        pending = self._held + text
        found = min((i for i in (pending.find(s) for s in self._stops) if i >= 0), default=-1)
        if found >= 0:
            self._held = ""
            self._stop_run("stop")
            return pending[:found]
        keep = 0
        for stop in self._stops:
            for k in range(min(len(stop) - 1, len(pending)), keep, -1):
                if pending.endswith(stop[:k]):
                    keep = k
                    break
        self._held = pending[len(pending) - keep:] if keep else ""
        return pending[:len(pending) - keep]

    # ---------------------------------------------------------------- ending

    def _complete(self, result: RunResult | None) -> None:
        # All that was taken goes out (what a stop sequence cut off was dropped already).
        if self._halt != "stop":
            for kind, decoder in self._decoders.items():
                tail = decoder.decode(b"", True)
                if tail:
                    self._emit(kind, tail)
            if self._held:
                held, self._held = self._held, ""
                self._texts[_ANSWER].append(held)
                self._post(TextPiece(_ANSWER, held))
        failed = self._error_text is not None or (result is not None and result["status"] == RunStatus.ERROR)
        reason: FinishReason
        if self._halt is not None:
            reason = self._halt
        elif failed:
            if self._tokens == 0 and not self._tool_calls:
                self._post(RequestRejected(self._error_text or "the runtime failed without giving a reason"))
                return
            reason = "error"
        elif self._tool_calls:
            reason = "tool_calls"
        else:
            reason = "stop"
        end = time.perf_counter()
        rate = None
        if self._tokens > 1 and self._t_first is not None and self._t_last is not None and self._t_last > self._t_first:
            rate = (self._tokens - 1) / (self._t_last - self._t_first)
        first = None if self._t_first is None else self._t_first - self._t_start
        self.finished = Finished(
            "".join(self._texts[_ANSWER]), "".join(self._texts[_REASONING]), "".join(self._texts[_TOOL_TEXT]),
            tuple(self._tool_calls), reason, Usage(self._tokens), Timings(first, end - self._t_start, rate),
            self._error_text if reason == "error" else None)
        self._post(self.finished)

    # ------------------------------------------------------- the event queue

    def _post(self, item: Event | BaseException) -> None:
        self._items.append(item)
        if self._waiting:
            self._waiting = False
            loop = self._wake_loop
            if loop is None:
                self._event.set()
            else:
                try:
                    loop.call_soon_threadsafe(_resolve, self._wake_future)   # type: ignore[arg-type]
                except RuntimeError:   # the consumer's loop is closed
                    pass

    def _deliver(self, item: Event | BaseException) -> Event:
        if isinstance(item, BaseException):
            self._end_delivered = True
            raise item
        if isinstance(item, Finished):
            self._end_delivered = True
        return item

    def __next__(self) -> Event:
        if self._end_delivered:
            raise StopIteration
        if not self._started:
            self.start()
            if self._end_delivered:
                raise StopIteration
        items = self._items
        while not items:
            self._event.clear()
            self._wake_loop = None
            self._waiting = True
            if items:
                self._waiting = False
                break
            self._event.wait()
        return self._deliver(items.popleft())

    async def __anext__(self) -> Event:
        if self._end_delivered:
            raise StopAsyncIteration
        try:
            if not self._started:
                await self.astart()
                if self._end_delivered:
                    raise StopAsyncIteration
            items = self._items
            while not items:
                loop = asyncio.get_running_loop()
                future = loop.create_future()
                self._wake_loop, self._wake_future = loop, future
                self._waiting = True
                if items:
                    self._waiting = False
                    break
                await future
        except asyncio.CancelledError:
            self.cancel()
            raise
        return self._deliver(items.popleft())

    def __iter__(self) -> Iterator[Event]:
        try:
            while True:
                try:
                    event = self.__next__()
                except StopIteration:
                    return
                yield event
        finally:
            if not self._end_delivered:
                self.cancel()

    async def _aiterate(self) -> AsyncIterator[Event]:
        try:
            while True:
                try:
                    event = await self.__anext__()
                except StopAsyncIteration:
                    return
                yield event
        finally:
            if not self._end_delivered:
                self.cancel()

    def __aiter__(self) -> AsyncIterator[Event]:
        return self._aiterate()

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
        if self._started:
            self._done.wait()
        self._end_delivered = True

    async def aclose(self) -> None:
        """:meth:`close` for asyncio."""
        self.cancel()
        if self._started and not self._done.is_set():
            await asyncio.to_thread(self._done.wait)
        self._end_delivered = True

    def __enter__(self) -> Generation:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    async def __aenter__(self) -> Generation:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()
