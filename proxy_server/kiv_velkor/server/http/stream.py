"""A request's life over HTTP once its body is read: the client's hang-up
cancels the work at once (while it waits for a context, before the first
piece, in the middle of a stream), and the event-stream writer stops the
moment the client is gone.

uvicorn's ``send`` does not suspend while the socket takes the data, so a
writer that only sends would notice nothing; the hang-up is watched by a task
of its own, which the loop runs because the layer's iteration yields every
few events.

A client that stops reading without hanging up fills the socket, and then
``send`` waits for room: each send is bounded by ``send_timeout``, past which
the stream is cancelled as if the client had gone (its context is freed) and
the connection closed.
"""

from __future__ import annotations

import asyncio
from collections.abc import AsyncIterator, Callable, Mapping
from types import TracebackType

from starlette.responses import Response
from starlette.types import Message, Receive, Scope, Send

__all__ = ["HangupWatch", "EventStream"]

_BATCH = 32   # lines sent in one write at most


class HangupWatch:
    """``async with HangupWatch(receive, on_gone):`` calls ``on_gone`` once if the client hangs up meanwhile.

    Use it once the request body has been read (it takes the next messages)."""

    def __init__(self, receive: Receive, on_gone: Callable[[], object]) -> None:
        self._receive = receive
        self._on_gone = on_gone
        self._task: asyncio.Task[None] | None = None
        self.gone = False

    async def _watch(self) -> None:
        while (await self._receive())["type"] != "http.disconnect":
            pass
        self.gone = True
        self._on_gone()

    async def __aenter__(self) -> HangupWatch:
        self._task = asyncio.create_task(self._watch())
        return self

    async def __aexit__(self, kind: type[BaseException] | None, exc: BaseException | None,
                        tb: TracebackType | None) -> None:
        if self._task is not None:
            self._task.cancel()


class EventStream(Response):
    """Server-sent events from ``lines``; ``on_gone`` (the generation's cancel) runs the moment the client
    hangs up, or leaves data unread for ``send_timeout`` seconds (None: no bound), and nothing more is
    written then. ``lines`` is closed at the end whatever happens."""

    media_type = "text/event-stream"

    def __init__(self, lines: AsyncIterator[str], on_gone: Callable[[], None],
                 more_ready: Callable[[], bool] = lambda: False, headers: Mapping[str, str] | None = None,
                 send_timeout: float | None = None) -> None:
        self.status_code = 200
        self.background = None
        self.init_headers({"Cache-Control": "no-cache", **(headers or {})})
        self._lines = lines
        self._on_gone = on_gone
        self._more_ready = more_ready   # lines are sent together while more are ready at once
        self._send_timeout = send_timeout

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        async def bounded_send(message: Message) -> None:
            async with asyncio.timeout(self._send_timeout):
                await send(message)

        async with HangupWatch(receive, self._on_gone) as watch:
            try:
                await bounded_send({"type": "http.response.start", "status": self.status_code,
                                    "headers": self.raw_headers})
                batch: list[str] = []
                async for line in self._lines:
                    if watch.gone:
                        return
                    batch.append(line)
                    if len(batch) < _BATCH and self._more_ready():
                        continue
                    await bounded_send({"type": "http.response.body", "body": "".join(batch).encode(),
                                        "more_body": True})
                    batch.clear()
                if not watch.gone:
                    await bounded_send({"type": "http.response.body", "body": "".join(batch).encode(),
                                        "more_body": False})
            except TimeoutError:
                # The client stopped reading: its stream ends here, and uvicorn closes the connection.
                scope.setdefault("state", {})["error_code"] = "send_timeout"
                self._on_gone()
            finally:
                aclose = getattr(self._lines, "aclose", None)
                if aclose is not None:
                    await aclose()
