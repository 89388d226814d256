"""Builds the recording fake runtimes (and other test libraries) with the C++ compiler.

Results are cached under build/test-libs by a hash of the sources and flags, so
a test run compiles each variant once. ``KIV_TEST_CXXFLAGS`` adds flags (for
example sanitizers) to every test library.
"""

from __future__ import annotations

import hashlib
import os
import shlex
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
FAKES = ROOT / "tests" / "fakes"
CACHE = ROOT / "build" / "test-libs"


def build_shared(name: str, sources: list[Path], defines: tuple[str, ...] = (),
                 extra: tuple[str, ...] = ()) -> Path:
    cxx = os.environ.get("CXX", "g++")
    flags = ["-std=c++20", "-O1", "-g", "-fPIC", "-shared", "-pthread", "-Wall", "-fno-gnu-unique",
             *shlex.split(os.environ.get("KIV_TEST_CXXFLAGS", "")),
             *(f"-D{d}" for d in defines), *extra]
    digest = hashlib.sha256()
    for src in sources:
        digest.update(src.read_bytes())
    digest.update(" ".join([cxx, *flags]).encode())
    out = CACHE / f"{name}-{digest.hexdigest()[:16]}.so"
    if not out.exists():
        CACHE.mkdir(parents=True, exist_ok=True)
        tmp = out.with_suffix(f".{os.getpid()}.tmp")
        subprocess.run([cxx, *flags, "-I", str(FAKES), *map(str, sources), "-o", str(tmp)], check=True)
        tmp.replace(out)
    return out
