"""Benchmark of the hot paths of ``_velkor``: the per-token result bridge, the
fixed cost of ``run`` and ``as_rgb888``.

Everything runs in one process against a minimal runtime built here
(bench_runtime.cpp) that emits pieces as fast as it can, on the calling
thread or on a native thread of its own. The floors come from the same
emission loop in the same library, the comparison point from a ctypes binding
of the same text path (peer.py). All measurements are interleaved round by
round and the table shows medians over the rounds. Prints the table and, last,
one line of ratios with the targets in brackets.

    benchmarks/run.sh [--rounds 9] [--tokens 100000]
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import hashlib
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path
from typing import Callable

ROOT = Path(__file__).resolve().parents[1]
HERE = ROOT / "benchmarks"
RECORDS = ROOT / "proxy_server" / "kiv_velkor" / "native" / "velkor" / "velkor_records.h"

sys.path.insert(0, str(HERE))
# numpy's BLAS threads would otherwise spin on the two cores the figures share;
# nothing measured here uses BLAS.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

from tessel_openai_server.kiv_velkor import _velkor  # noqa: E402

from peer import PeerLLM  # noqa: E402

perf_ns = time.perf_counter_ns


def compile_once(source: Path, flags: list[str], name: str, inputs: tuple[Path, ...] = ()) -> Path:
    """Compiles `source` (linked with -ldl) into build/bench-runtime once per version of it, of
    `inputs` (headers it includes) and of the compiler and flags."""
    cxx = os.environ.get("CXX", "g++")
    digest = hashlib.sha256(b"".join(p.read_bytes() for p in (source, *inputs)) + " ".join([cxx, *flags]).encode())
    out = ROOT / "build" / "bench-runtime" / name.format(digest=digest.hexdigest()[:16])
    if not out.exists():
        out.parent.mkdir(parents=True, exist_ok=True)
        tmp = out.with_suffix(f".{os.getpid()}.tmp")
        subprocess.run([cxx, *flags, str(source), "-ldl", "-o", str(tmp)], check=True)
        tmp.replace(out)
    return out


def build_runtime() -> Path:
    """Compiles the benchmark runtime once per source version."""
    return compile_once(HERE / "bench_runtime.cpp", ["-std=c++20", "-O2", "-fPIC", "-shared", "-pthread", "-Wall"],
                        "libbench-{digest}.so", (RECORDS,))


def noop(result, userdata, status):
    pass


class Runtime:
    """The benchmark runtime placed where ``_velkor`` looks for its library."""

    def __init__(self, library: Path, directory: Path) -> None:
        # _velkor opens libvelkor.so from the directory of its own file; pointing
        # the module's __file__ at a scratch directory leaves the installed
        # package untouched. The peer opens the same file, so both drive one
        # copy of the library and one set of controls.
        self.path = directory / "libvelkor.so"
        shutil.copy(library, self.path)
        _velkor.__file__ = str(directory / Path(_velkor.__file__).name)
        lib = self.lib = ctypes.CDLL(str(self.path))
        lib.bench_configure.argtypes = [ctypes.c_longlong, ctypes.c_int]
        lib.bench_floor_noop.argtypes = [ctypes.c_longlong, ctypes.c_int]
        lib.bench_floor_noop.restype = None
        lib.bench_floor_gil.argtypes = [ctypes.c_longlong, ctypes.c_int]
        lib.bench_floor_gil_kept.argtypes = [ctypes.c_longlong]

    def configure(self, pieces: int, threaded: bool) -> None:
        self.lib.bench_configure(pieces, int(threaded))

    def velkor(self, on_token=None):
        obj = _velkor.VELKOR()
        assert obj.init("bench", on_token=on_token) == 0
        return obj

    def peer(self, on_token=None) -> PeerLLM:
        peer = PeerLLM(str(self.path))
        assert peer.init("bench", on_token=on_token) == 0
        return peer


def per_token(runtime: Runtime, obj, n: int, threaded: bool, runs: int = 1) -> Callable[[], float]:
    """ns per token of `runs` back-to-back runs of `n` tokens each."""
    def sample() -> float:
        runtime.configure(n, threaded)
        run = obj.run
        start = perf_ns()
        for _ in range(runs):
            out = run()
        elapsed = perf_ns() - start
        assert out["token_count"] == n, out["token_count"]
        return elapsed / (n * runs)
    return sample


def floor(function, *args) -> Callable[[], float]:
    n = args[0]

    def sample() -> float:
        start = perf_ns()
        rc = function(*args)
        elapsed = perf_ns() - start
        assert rc in (None, 0), "the interpreter's GIL-state calls were not found"
        return elapsed / n
    return sample


def fixed_cost(runtime: Runtime, obj, runs: int) -> Callable[[], float]:
    def sample() -> float:
        runtime.configure(0, False)
        run = obj.run
        start = perf_ns()
        for _ in range(runs):
            run()
        return (perf_ns() - start) / runs
    return sample


def timed(function: Callable[[], object], calls: int) -> Callable[[], float]:
    def sample() -> float:
        start = perf_ns()
        for _ in range(calls):
            function()
        return (perf_ns() - start) / calls
    return sample


def memory_per_token(runtime: Runtime, n: int) -> tuple[float, float]:
    """Bytes the collectors hold per token after a run, and the returned dict's share."""
    obj = runtime.velkor()
    runtime.configure(n, False)
    obj.run()  # warm: the first run's allocations are not all per token
    runtime.configure(0, False)
    obj.run()
    gc.collect()
    runtime.configure(n, False)
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    out = obj.run()
    with_dict = tracemalloc.get_traced_memory()[0] - before
    del out
    collectors = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    obj.uninit()
    return collectors / n, (with_dict - collectors) / n


def machine() -> str:
    model = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return (f"{os.cpu_count()}-core {platform.machine()} ({model}), {platform.system()} {platform.release()}, "
            f"Python {platform.python_version()}, numpy {np.__version__}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=9, help="interleaved rounds (medians are reported)")
    parser.add_argument("--tokens", type=int, default=100_000, help="tokens per run for the per-token figures")
    args = parser.parse_args()
    n = args.tokens
    # Callbacks on a native thread make a thread state each (so that a runtime
    # thread's exit never needs the interpreter lock): microseconds per token.
    n_slow = max(1, n // 20)

    scratch = Path(tempfile.mkdtemp(prefix="velkor-bench-"))
    try:
        runtime = Runtime(build_runtime(), scratch)
        lib = runtime.lib
        v_none, v_noop = runtime.velkor(), runtime.velkor(noop)
        p_none, p_noop = runtime.peer(), runtime.peer(noop)
        v_fixed, p_fixed = runtime.velkor(), runtime.peer()
        lengths = [1_000, 10_000, 100_000, 1_000_000]
        by_length = {k: runtime.velkor() for k in lengths}

        rng = np.random.default_rng(1)
        hwc = rng.integers(0, 256, size=(1080, 1920, 3), dtype=np.uint8)
        chw = rng.random((3, 1080, 1920), dtype=np.float32)
        converted = _velkor.as_rgb888(chw)
        assert _velkor.as_rgb888(hwc) is hwc, "as_rgb888 copied a packed uint8 HWC array"
        assert converted.shape == (1080, 1920, 3) and converted.dtype == np.uint8
        as_rgb888 = _velkor.as_rgb888

        cases: dict[str, Callable[[], float]] = {
            "floor_c": floor(lib.bench_floor_noop, n * 10, 0),
            "floor_c_thread": floor(lib.bench_floor_noop, n * 10, 1),
            "floor_gil": floor(lib.bench_floor_gil, n, 0),
            "floor_gil_kept": floor(lib.bench_floor_gil_kept, n),
            "floor_gil_fresh": floor(lib.bench_floor_gil, n_slow, 1),
            "v_none": per_token(runtime, v_none, n, False),
            "v_noop": per_token(runtime, v_noop, n, False),
            "v_none_thread": per_token(runtime, v_none, n_slow, True),
            "v_noop_thread": per_token(runtime, v_noop, n_slow, True),
            "p_none": per_token(runtime, p_none, n, False),
            "p_noop": per_token(runtime, p_noop, n, False),
            "p_none_thread": per_token(runtime, p_none, n_slow, True),
            "p_noop_thread": per_token(runtime, p_noop, n_slow, True),
            "v_fixed": fixed_cost(runtime, v_fixed, 2000),
            "p_fixed": fixed_cost(runtime, p_fixed, 2000),
            "rgb_u8": timed(lambda: as_rgb888(hwc), 2000),
            "rgb_f32": timed(lambda: as_rgb888(chw), 3),
            "rgb_copy": timed(converted.copy, 20),
        }
        for k in lengths:  # short runs are repeated, so each sample covers at least `n` tokens
            cases[f"len_{k}"] = per_token(runtime, by_length[k], k, False, runs=max(1, n // k))

        for sample in cases.values():  # warm-up: caches, allocator arenas, first thread states
            sample()
        samples: dict[str, list[float]] = {name: [] for name in cases}
        for _ in range(args.rounds):
            for name, sample in cases.items():
                samples[name].append(sample())
        m = {name: statistics.median(values) for name, values in samples.items()}
        bytes_collected, bytes_dict = memory_per_token(runtime, n)

        for obj in (v_none, v_noop, v_fixed, *by_length.values()):
            obj.uninit()
        for peer in (p_none, p_noop, p_fixed):
            peer.uninit()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    print(f"_velkor benchmark: {machine()}")
    print(f"medians of {args.rounds} interleaved rounds; {n:,} tokens per run "
          f"({n_slow:,} where each callback creates a thread state: every native-thread column)")
    print()
    def cells(same: float | None, thread: float | None) -> str:
        return "".join(f"{value:>{width},.1f}" if value is not None else " " * width
                       for value, width in ((same, 14), (thread, 15)))

    print(f"{'ns per token':<52}{'same thread':>14}{'native thread':>15}")
    rows = [
        ("floor: emission loop, C no-op callback", m["floor_c"], m["floor_c_thread"]),
        ("floor: PyGILState_Ensure/Release around a C no-op", m["floor_gil"], None),
        ("  on a native thread, thread state kept", None, m["floor_gil_kept"]),
        ("  on a native thread, a thread state per callback", None, m["floor_gil_fresh"]),
        ("VELKOR.run, on_token=None", m["v_none"], m["v_none_thread"]),
        ("VELKOR.run, no-op on_token", m["v_noop"], m["v_noop_thread"]),
        ("ctypes peer, on_token=None", m["p_none"], m["p_none_thread"]),
        ("ctypes peer, no-op on_token", m["p_noop"], m["p_noop_thread"]),
    ]
    for label, same, thread in rows:
        print(f"{label:<52}{cells(same, thread)}".rstrip())
    print()
    print(f"{'run() delivering no token (µs per run)':<52}{'VELKOR':>14}{'ctypes peer':>15}")
    print(f"{'':<52}{m['v_fixed'] / 1000:>14,.2f}{m['p_fixed'] / 1000:>15,.2f}")
    print()
    print("VELKOR.run, on_token=None, ns per token by run length")
    print("  " + "   ".join(f"{k:>9,}: {m[f'len_{k}']:.1f}" for k in lengths))
    print(f"memory per collected token: {bytes_collected:.1f} bytes in the collectors, "
          f"{bytes_dict:.1f} more in the returned dict")
    print()
    print("as_rgb888, 1920x1080 (µs per call)")
    print(f"{'  uint8 HWC (returned as the same array)':<52}{m['rgb_u8'] / 1000:>14,.2f}")
    print(f"{'  float32 CHW in 0..1':<52}{m['rgb_f32'] / 1000:>14,.1f}")
    print(f"{'  numpy copy of the same output bytes':<52}{m['rgb_copy'] / 1000:>14,.1f}")
    print()

    flat = max(m[f"len_{k}"] for k in lengths) / min(m[f"len_{k}"] for k in lengths)
    ratios = [
        f"none/GIL floor {m['v_none'] / m['floor_gil']:.2f}x [<=3]",
        f"peer/none {m['p_none'] / m['v_none']:.2f}x [>=4]",
        f"peer/no-op {m['p_noop'] / m['v_noop']:.2f}x [>=2.5]",
        f"native thread none/its floor {m['v_none_thread'] / m['floor_gil_fresh']:.2f}x, "
        f"native/same thread none {m['v_none_thread'] / m['v_none']:.1f}x, no-op {m['v_noop_thread'] / m['v_noop']:.1f}x",
        f"no-token run VELKOR/peer {m['v_fixed'] / m['p_fixed']:.2f}x [<=1]",
        f"per token 1e3..1e6 max/min {flat:.2f}x [flat]",
        f"as_rgb888 float32 CHW/copy {m['rgb_f32'] / m['rgb_copy']:.0f}x",
    ]
    print("ratios: " + " | ".join(ratios))


if __name__ == "__main__":
    main()
