"""Fixtures of the reliability tests: the recording fakes of both runtimes and
the measurements that tell a leak from a cache."""

from __future__ import annotations

import ctypes
import gc
import os
import sys
import tracemalloc
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import pytest

from support.emulation import EMULATED
from support.fake_velkor import FakeVelkor, build_fake_velkor
from support.measure import c_heap_in_use, rss_kib
from support.native_build import FAKES, build_shared
from support.placement import place_velkor, release_objects, still_mapped

from tessel_openai_server.kiv_velkor import _quellan

# The sanitizer run (scripts/sanitize.sh) builds every test library with
# sanitizer flags; the recogniser's build tests key on the same marker.
SANITIZED = "sanitize" in os.environ.get("KIV_TEST_CXXFLAGS", "")
# Loops are shorter under the sanitizers, which slow every allocation down, and
# under emulation, which slows everything down.
SCALE = 0.2 if SANITIZED or EMULATED else 1.0


def scaled(n: int) -> int:
    return max(1, int(n * SCALE))


@pytest.fixture(scope="session")
def fake_velkor_library() -> Path:
    return build_fake_velkor()


@pytest.fixture
def fake(tmp_path, monkeypatch, fake_velkor_library) -> FakeVelkor:
    """A copy of the fake LLM runtime placed where the module looks for its
    library. Afterwards every object must be gone, so the copy is unmapped."""
    release_objects()
    controller = FakeVelkor(place_velkor(fake_velkor_library, tmp_path / "pkg", monkeypatch))
    yield controller
    release_objects()
    controller.close()
    assert not still_mapped([controller.path]), "a VELKOR object outlived its test (the runtime is still loaded)"


class QuellanFake:
    """The control API of the fake recogniser runtime that the module loaded."""

    def __init__(self, path: Path) -> None:
        self.path = path
        lib = self.lib = ctypes.CDLL(str(path))
        lib.fake_quellan_script_init.argtypes = [ctypes.c_int32, ctypes.c_uint64]
        lib.fake_quellan_script_transcribe.argtypes = [ctypes.c_int32, ctypes.c_char_p, ctypes.c_char_p]
        lib.fake_quellan_call_string.restype = ctypes.c_char_p
        lib.fake_quellan_call_string.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.POINTER(ctypes.c_int)]
        lib.fake_quellan_call_name.restype = ctypes.c_char_p

    def reset(self) -> None:
        self.lib.fake_quellan_reset()

    def transcribe_result(self, rc: int, text: bytes | None, language: bytes | None) -> None:
        self.lib.fake_quellan_script_transcribe(rc, text, language)

    def counts(self) -> dict[str, int]:
        return {name: getattr(self.lib, f"fake_quellan_{name}")()
                for name in ("free_result_count", "uninit_count", "live_handles", "outstanding_results")}

    def strings(self, call: int, offset: int) -> bytes | None:
        found = ctypes.c_int()
        value = self.lib.fake_quellan_call_string(call, offset, ctypes.byref(found))
        assert found.value, (call, offset)
        return value

    def names(self) -> list[str]:
        return [self.lib.fake_quellan_call_name(i).decode() for i in range(self.lib.fake_quellan_call_count())]


@pytest.fixture(scope="session")
def _quellan_loaded() -> QuellanFake:
    # The process loads one recogniser runtime for good; the recogniser tests
    # load this same file, so whichever runs first serves both.
    path = build_shared("fake_quellan", [FAKES / "fake_quellan.cpp"])
    _quellan.Quellan(str(path))
    return QuellanFake(path)


@pytest.fixture
def quellan_fake(_quellan_loaded: QuellanFake) -> QuellanFake:
    gc.collect()
    _quellan_loaded.reset()
    yield _quellan_loaded
    gc.collect()
    _quellan_loaded.reset()


# ------------------------------------------------------------------ measuring


@dataclass
class Sample:
    python_heap: int
    c_heap: int
    rss_kib: int
    gc_objects: int


def sample() -> Sample:
    gc.collect()
    return Sample(tracemalloc.get_traced_memory()[0], c_heap_in_use(), rss_kib(), len(gc.get_objects()))


def _growth_failures(first: Sample, second: Sample, window: int) -> dict[str, str]:
    failures = {}
    if second.gc_objects - first.gc_objects > 2:
        failures["gc"] = f"{second.gc_objects - first.gc_objects} more tracked objects"
    py_growth = second.python_heap - first.python_heap
    # Short windows under the sanitizers: the floor covers the interpreter's
    # own settling; per-call leaks there are the leak check's business.
    floor = (32 if SANITIZED else 16) * 1024
    if py_growth >= max(16 * window, floor):
        failures["python"] = f"Python heap grew by {py_growth} bytes"
    if not SANITIZED:
        # The sanitizer's allocator keeps freed memory in quarantine; these
        # measure the release build's heap only.
        c_growth = second.c_heap - first.c_heap
        if c_growth >= max(16 * window, 24 * 1024):
            failures["c"] = f"C heap grew by {c_growth} bytes"
        # Under emulation the resident size also holds the emulator's memory.
        if not EMULATED and second.rss_kib - first.rss_kib >= 2048:
            failures["rss"] = f"resident memory grew by {second.rss_kib - first.rss_kib} KiB"
    return failures


def assert_flat(step: Callable[[int], None], *, window: int, watched: tuple[object, ...] = (),
                between: Callable[[], None] | None = None) -> None:
    """Runs step(i) for a warm-up and then measured windows of `window` calls
    each, and asserts that a window after the first left nothing behind.

    Caches and free lists fill during the warm-up and the first window (traced,
    so they count there); a leak grows by the same amount in every window. The
    bounds sit at half of the smallest object per call: one object lost per
    call exceeds them, noise does not. A window over a bound is measured once
    more, and only growth in both counts (a leak repeats, a one-off does not).
    `watched` objects must keep their reference counts from the end of the
    warm-up on (an object may keep the arguments of its last call); `between`
    runs after each window (outside the measurement), for example to clear a
    fake's call log.
    """
    refcounts: list[int] = []
    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    i = 0

    def measured_window() -> Sample:
        nonlocal i
        for _ in range(window):
            step(i)
            i += 1
        if between:
            between()
        return sample()

    try:
        measured_window()                                   # warm-up
        refcounts = [sys.getrefcount(o) for o in watched]
        first = measured_window()
        second = measured_window()
        failures = _growth_failures(first, second, window)
        if failures:
            again = _growth_failures(second, measured_window(), window)
            failures = {key: f"{failures[key]}, then {again[key]}" for key in failures.keys() & again.keys()}
    finally:
        if started:
            tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == refcounts, "reference counts of the objects involved changed"
    assert not failures, f"in each of two windows of {window} calls: {'; '.join(failures.values())}"
