"""The connection level, below ASGI, where uvicorn has no setting of its own:
a deadline for each request's head, and a cap on open connections.

- A connection must send a whole request head within ``header_timeout``
  seconds of opening, or of its previous response (half-sent headers are
  not held forever).
- Beyond ``max_connections`` open connections, a new one closes the oldest
  idle connection (no request in progress: idle keep-alive, or headers not
  yet complete); when every connection has a request in progress, the new
  one is closed at once. So idle connections can never take every descriptor
  and lock the clients out.

uvicorn's ``limit_concurrency`` is not used for this: it counts idle
connections too, and answers the requests beyond it with a plain-text 503.
"""

from __future__ import annotations

import asyncio
import time
from collections.abc import Callable

from uvicorn.protocols.http.h11_impl import H11Protocol

__all__ = ["guarded_protocol"]


class _GuardedH11(H11Protocol):
    header_timeout = 10.0
    max_connections = 512
    on_drop: Callable[[str], None] = staticmethod(lambda reason: None)

    _head_timer: asyncio.TimerHandle | None = None
    _idle_since = 0.0

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        super().connection_made(transport)
        self._expect_head()
        if len(self.connections) > self.max_connections:
            self._make_room()

    def connection_lost(self, exc: Exception | None) -> None:
        self._stop_head_timer()
        super().connection_lost(exc)

    def handle_events(self) -> None:
        super().handle_events()
        if not self._idle():
            self._stop_head_timer()   # a whole head arrived: its request is in progress

    def on_response_complete(self) -> None:
        super().on_response_complete()
        if not self.transport.is_closing():
            self._expect_head()

    def _idle(self) -> bool:
        return self.cycle is None or self.cycle.response_complete

    def _expect_head(self) -> None:
        self._stop_head_timer()
        self._idle_since = time.monotonic()
        self._head_timer = self.loop.call_later(self.header_timeout, self._head_overdue)

    def _stop_head_timer(self) -> None:
        if self._head_timer is not None:
            self._head_timer.cancel()
            self._head_timer = None

    def _head_overdue(self) -> None:
        self._head_timer = None
        if self._idle() and not self.transport.is_closing():
            self._drop("header_timeout")

    def _make_room(self) -> None:
        idle = [c for c in self.connections
                if isinstance(c, _GuardedH11) and c is not self and c._idle() and not c.transport.is_closing()]
        if idle:
            min(idle, key=lambda c: c._idle_since)._drop("connection_evicted")
        else:
            self._drop("too_many_connections")

    def _drop(self, reason: str) -> None:
        self.on_drop(reason)
        self.transport.close()


def guarded_protocol(header_timeout: float, max_connections: int,
                     on_drop: Callable[[str], None] | None = None) -> type[H11Protocol]:
    """uvicorn's h11 protocol with these bounds (pass it as ``uvicorn.Config(http=...)``)."""
    attributes: dict[str, object] = {"header_timeout": header_timeout, "max_connections": max_connections}
    if on_drop is not None:
        attributes["on_drop"] = staticmethod(on_drop)
    return type("GuardedH11", (_GuardedH11,), attributes)
