"""Builds the recording fake runtimes (and other test libraries) with the C++ compiler.

Results are cached under build/test-libs (``KIV_TEST_LIBS_DIR`` names another
directory) by a hash of the sources, the compiler's name and the flags, so a
test run compiles each variant once, and libraries built beforehand with the
same ``CXX`` (a cross compiler, for tests run under emulation where there is
none) are taken as they are. ``KIV_TEST_CXXFLAGS`` adds flags (for example
sanitizers) to every test library.
"""

from __future__ import annotations

import hashlib
import os
import shlex
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
FAKES = ROOT / "tests" / "fakes"
CACHE = Path(os.environ.get("KIV_TEST_LIBS_DIR", ROOT / "build" / "test-libs"))


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
        try:
            subprocess.run([cxx, *flags, "-I", str(FAKES), *map(str, sources), "-o", str(tmp)], check=True)
        except FileNotFoundError:
            raise RuntimeError(f"{out.name} is not in {CACHE} and there is no compiler {cxx} to build it") from None
        tmp.replace(out)
    return out


def build_fake_quellan(*defines: str) -> Path:
    """The recording fake recogniser runtime, in the variant the defines select."""
    suffix = "".join("-" + d.lower() for d in defines)
    return build_shared("fake_quellan" + suffix, [FAKES / "fake_quellan.cpp"], defines)
