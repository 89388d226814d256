"""The layer across ``fork()``: what a child inherits is the parent's.

A pool, a recogniser or worker threads made before a fork refuse to serve in
the child (their runtime state, threads included, belongs to the parent). The
native objects they hold are never released there either: releasing a
context may wait for a runtime thread that does not exist in the child. So
in the child each such object gets one reference that is never dropped.
"""

from __future__ import annotations

import ctypes
import os
import weakref
from collections.abc import Iterable
from typing import Protocol

__all__ = ["made_before_fork", "NativeHolder", "keep_native_objects_in_children"]


def made_before_fork(pid: int) -> bool:
    """Whether something made in process ``pid`` is now in a child of it."""
    return pid != os.getpid()


class NativeHolder(Protocol):
    def native_objects(self) -> Iterable[object]: ...


_holders: weakref.WeakSet[NativeHolder] = weakref.WeakSet()


def keep_native_objects_in_children(holder: NativeHolder) -> None:
    """In a child made by fork(), ``holder.native_objects()`` stay alive until the process ends."""
    _holders.add(holder)


def _pin_inherited() -> None:
    for holder in list(_holders):
        for native in holder.native_objects():
            ctypes.pythonapi.Py_IncRef(ctypes.py_object(native))


os.register_at_fork(after_in_child=_pin_inherited)
