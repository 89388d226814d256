"""Waking one waiter from any thread, whether it is a thread or an asyncio task.

A thread waits on a :class:`threading.Event`; a task awaits a future of its
own loop, which another thread may only resolve through
``call_soon_threadsafe``. :class:`Waker` hides that difference, so the code
that decides *when* to wake is written once for both worlds.
"""

from __future__ import annotations

import asyncio
import threading

__all__ = ["Waker"]


def _resolve(future: asyncio.Future[None]) -> None:
    if not future.done():
        future.set_result(None)


class Waker:
    """Wakes the one thread or task that armed it.

    The waiting side arms it (:meth:`arm_thread` or :meth:`arm_task`), looks
    at its condition once more, and then waits on what arming returned; the
    other side changes the condition and then calls :meth:`wake` when
    :attr:`armed`. Either the waiter sees the change, or the waker sees the
    waiter. ``armed`` is read and written under the interpreter lock or under
    the caller's own lock, never both for one waker.
    """

    __slots__ = ("armed", "_event", "_loop", "_future")

    def __init__(self) -> None:
        self.armed = False
        self._event: threading.Event | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._future: asyncio.Future[None] | None = None

    def arm_thread(self) -> threading.Event:
        """Arms it for the calling thread; wait on the returned event."""
        event = self._event
        if event is None:
            event = self._event = threading.Event()
        else:
            event.clear()
        self._loop = None
        self.armed = True
        return event

    def arm_task(self) -> asyncio.Future[None]:
        """Arms it for the running task; await the returned future."""
        loop = asyncio.get_running_loop()
        future: asyncio.Future[None] = loop.create_future()
        self._loop, self._future = loop, future
        self.armed = True
        return future

    def can_wake(self) -> bool:
        """Whether the waiter can still run when woken: a thread can; a task only while its loop runs."""
        loop = self._loop
        return loop is None or (loop.is_running() and not loop.is_closed())

    def disarm(self) -> None:
        self.armed = False

    def wake(self) -> bool:
        """Wakes the waiter; False when it can no longer be woken (its event loop is closed)."""
        self.armed = False
        loop, future = self._loop, self._future
        if loop is None or future is None:
            if self._event is not None:
                self._event.set()
            return True
        try:
            loop.call_soon_threadsafe(_resolve, future)
        except RuntimeError:   # the loop is closed: its task is gone
            return False
        return True
