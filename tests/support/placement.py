"""Placing a runtime library where _velkor looks for its own (the directory of
its module file), and checking that the objects of a test are gone."""

from __future__ import annotations

import gc
import shutil
import signal
from collections.abc import Iterable
from pathlib import Path

import pytest

from tessel_openai_server.kiv_velkor import _velkor


def release_objects() -> None:
    """Lets the objects made on the main thread go: each is kept alive by its
    SIGINT handler until the handler is replaced; the last one closes the library."""
    signal.signal(signal.SIGINT, signal.default_int_handler)
    gc.collect()


def look_in(directory: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    """Makes _velkor look for libvelkor.so in `directory` for the rest of the test."""
    monkeypatch.setattr(_velkor, "__file__", str(directory / Path(_velkor.__file__).name))


def place_velkor(library: Path, directory: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """Copies `library` into `directory` (made here) as libvelkor.so and makes _velkor look there."""
    directory.mkdir()
    target = directory / "libvelkor.so"
    shutil.copy(library, target)
    look_in(directory, monkeypatch)
    return target


def still_mapped(libraries: Iterable[Path]) -> list[str]:
    """The libraries of `libraries` that this process still has mapped."""
    maps = Path("/proc/self/maps").read_text()
    return [str(p) for p in libraries if str(p) in maps]
