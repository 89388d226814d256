"""Whether the suite runs under emulation: scripts/aarch64_suite.sh runs it in an
aarch64 interpreter under qemu-user and sets KIV_EMULATED=1 for it.

Everything there is several times slower, and the emulator keeps about 250 KiB
of resident memory for every thread that has ended, so the process's resident
size says nothing about leaks of code that starts threads.
"""

from __future__ import annotations

import os

EMULATED = os.environ.get("KIV_EMULATED") == "1"

# How much longer a wait that only a hang would exhaust may take under emulation.
_DEADLINE_FACTOR = 5 if EMULATED else 1


def deadline(seconds: float) -> float:
    """`seconds` as the bound on a wait that only a hang reaches: stretched under emulation."""
    return seconds * _DEADLINE_FACTOR
