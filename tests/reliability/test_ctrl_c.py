"""Ctrl+C at random moments of a run loop, in a fresh interpreter: every run
either returns a well-formed dict or raises KeyboardInterrupt, and the run
after it is clean."""

from __future__ import annotations

import json

from support.subprocess_run import run_python

from .conftest import scaled

LOOP = r"""
import json, os, random, shutil, signal, sys, tempfile, threading, time
from pathlib import Path
sys.path.insert(0, {tests!r})
from support.fake_velkor import FakeVelkor
from tessel_openai_server.kiv_velkor import _velkor
from tessel_openai_server.kiv_velkor.types import RunStatus

directory = Path(tempfile.mkdtemp())
shutil.copy({library!r}, directory / "libvelkor.so")
_velkor.__file__ = str(directory / "_velkor.so")
fake = FakeVelkor(directory / "libvelkor.so")
PIECES = 20
fake.stream(b"x", max_pieces=PIECES, sleep_us=50, final_state=RunStatus.FINISH)
KEYS = ["text", "reasoning", "tool_text", "token_ids", "status", "token_count", "tool_calls"]

# A failing callback or a Ctrl+C inside one is reported, not raised: count them.
unraisable = []
sys.unraisablehook = lambda u: unraisable.append(type(u.exc_value).__name__)
sys.stderr = open(os.devnull, "w")

obj = _velkor.VELKOR()
assert obj.init("m", on_token=lambda *a: None) == 0
assert signal.getsignal(signal.SIGINT) == obj.signal_handler

def well_formed(out, complete):
    assert list(out) == KEYS, out
    assert out["token_count"] == len(out["token_ids"])
    assert isinstance(out["status"], RunStatus) and out["status"] is RunStatus.FINISH
    assert out["text"] == "x" * (out["token_count"] - 1), out
    if complete:
        assert out["token_count"] == PIECES + 1, out

def settle():
    # Lets a signal still pending run its handler now, outside any run.
    late = 0
    while True:
        try:
            for _ in range(1000):
                pass
            time.sleep(0.0005)
            return late
        except KeyboardInterrupt:
            late += 1

start = time.perf_counter()
for _ in range(10):
    obj.run("x")
duration = (time.perf_counter() - start) / 10
rng = random.Random({seed})
counts = {{"returned": 0, "interrupted": 0, "late": 0, "clean_after": 0}}
for i in range({runs}):
    sender = threading.Timer(rng.uniform(0, 1.5 * duration), os.kill, (os.getpid(), signal.SIGINT))
    out = None
    try:
        try:
            sender.start()
            out = obj.run("x")
        finally:
            sender.join()
    except KeyboardInterrupt:
        # From the run, or from the handler right after it returned.
        counts["late" if out is not None else "interrupted"] += 1
    if out is not None:
        well_formed(out, complete=False)
        counts["returned"] += 1
    counts["late"] += settle()
    # The next run is clean: not flagged, and complete.
    out = obj.run("x")
    well_formed(out, complete=True)
    counts["clean_after"] += 1
    fake.lib.fake_clear_log()
counts["unraisable"] = sorted(set(unraisable))
print(json.dumps(counts))
"""


def test_ctrl_c_at_random_moments_of_a_run_loop(fake_velkor_library):
    from pathlib import Path
    runs = scaled(300)
    tests = str(Path(__file__).resolve().parents[1])
    proc = run_python(LOOP.format(tests=tests, library=str(fake_velkor_library), seed=11, runs=runs), timeout=300)
    counts = json.loads(proc.stdout.strip().splitlines()[-1])
    assert counts["returned"] + counts["interrupted"] == runs
    assert counts["clean_after"] == runs
    # Ctrl+C landed inside runs and outside them.
    assert counts["interrupted"] > 0 and counts["returned"] > 0, counts
    assert set(counts["unraisable"]) <= {"KeyboardInterrupt"}, counts
