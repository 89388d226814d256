"""Process measurements that tell a leak from a cache."""

from __future__ import annotations

import ctypes


def rss_kib() -> int:
    """Resident memory of this process, in KiB."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                 "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = _MallInfo2


def c_heap_in_use() -> int:
    """Bytes of the C heap handed out and not yet freed (glibc)."""
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd
