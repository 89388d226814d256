"""Benchmark of the serving layer: its own cost per piece (sync and async)
against a plain ``on_token`` callback, concurrent streams on a pool, the
event loop's timer lateness while streams run, and how long a second
thread's Python loop pauses while one thread transcribes.

    benchmarks/serving.sh [--pieces 200000] [--rounds 5]

The layer's cost uses the benchmark runtime (bench_runtime.cpp, pieces as
fast as it can emit them); the rest uses the reference runtimes with their
per-piece delay and a speech delay standing in for the device's decoding.
Then the server itself (serving_server.py): /health latency under load, the
time a hang-up takes to free its context, and each attack of an open network.
The last line gives the ratios with the targets in brackets.

    benchmarks/serving.sh --server-only    # the server's part alone
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "benchmarks"))
sys.path.insert(0, str(ROOT / "tests"))

from run import Runtime, build_runtime  # noqa: E402  (the benchmark runtime, placed and configured)

from reference.refrt import build_runtimes  # noqa: E402
from serving_server import attacks, fairness, make_site  # noqa: E402

STORY = " ".join(f"w{i}" for i in range(60))


def place(library: Path, directory: Path) -> None:
    """Makes ``_velkor`` open ``library`` (its directory is where it looks)."""
    from tessel_openai_server.kiv_velkor import _velkor
    directory.mkdir(parents=True, exist_ok=True)
    shutil.copy(library, directory / "libvelkor.so")
    _velkor.__file__ = str(directory / Path(_velkor.__file__).name)


def layer_cost(bench: Path, work: Path, pieces: int, rounds: int) -> dict[str, float]:
    from tessel_openai_server.kiv_velkor import ModelPool
    (work / "bench").mkdir(parents=True, exist_ok=True)
    runtime = Runtime(bench, work / "bench")
    runtime.configure(pieces, False)
    plain = runtime.velkor(lambda result, userdata, status: None)
    plain._restore_sigint_handler()
    pool = ModelPool("bench")
    messages = [{"role": "user", "content": "go"}]

    def run_plain() -> None:
        plain.run("go")

    def run_sync() -> None:
        for _ in pool.chat(messages):
            pass

    def run_async() -> None:
        async def consume() -> None:
            async for _ in pool.chat(messages):
                pass
        asyncio.run(consume())

    samples: dict[str, list[float]] = {"plain": [], "sync": [], "async": []}
    for _ in range(rounds):
        for name, fn in (("plain", run_plain), ("sync", run_sync), ("async", run_async)):
            started = time.perf_counter_ns()
            fn()
            samples[name].append((time.perf_counter_ns() - started) / pieces)
    pool.close()
    plain.uninit()
    return {name: statistics.median(values) for name, values in samples.items()}


async def streams(pool, count: int) -> tuple[float, int]:
    messages = [{"role": "user", "content": "Tell me the story"}]
    started = time.perf_counter()
    finals = await asyncio.gather(*(pool.chat(messages).acollect() for _ in range(count)))
    return time.perf_counter() - started, sum(f.usage.completion_tokens for f in finals)


def concurrency(velkor: Path, work: Path) -> dict[str, float]:
    from tessel_openai_server.kiv_velkor import ModelPool
    place(velkor, work / "ref")
    model = work / "model.json"
    model.write_text(json.dumps({"replies": [{"match": "Tell me the story", "reply": STORY}]}))
    out: dict[str, float] = {}
    os.environ["KIV_REFERENCE_DELAY_MS"] = "35"
    with ModelPool(str(model), contexts=8) as pool:
        one_time, one_pieces = asyncio.run(streams(pool, 1))
        eight_time, eight_pieces = asyncio.run(streams(pool, 8))
        out["one"] = one_pieces / one_time
        out["eight"] = eight_pieces / eight_time
        os.environ["KIV_REFERENCE_DELAY_MS"] = "1"

        async def lateness(busy: bool) -> list[float]:
            late: list[float] = []
            work_task = asyncio.ensure_future(streams(pool, 8)) if busy else None
            deadline = time.perf_counter() + 2.0
            while time.perf_counter() < deadline:
                before = time.perf_counter()
                await asyncio.sleep(0.010)
                late.append(time.perf_counter() - before - 0.010)
                if work_task is not None and work_task.done():
                    work_task = asyncio.ensure_future(streams(pool, 8))
            if work_task is not None:
                await work_task
            return late

        for name, busy in (("idle", False), ("busy", True)):
            values = sorted(asyncio.run(lateness(busy)))
            out[f"p50_{name}"] = values[len(values) // 2] * 1000
            out[f"p99_{name}"] = values[int(len(values) * 0.99)] * 1000
            out[f"max_{name}"] = values[-1] * 1000
    return out


SPEECH = """
import threading, time, wave, sys
from tessel_openai_server.kiv_velkor import SpeechRecogniser
work = sys.argv[1]
with wave.open(work + "/speech.wav", "wb") as w:
    w.setnchannels(1); w.setsampwidth(2); w.setframerate(16000); w.writeframes(b"\\0\\0" * 16000 * 60)
open(work + "/asr.bin", "wb").close(); open(work + "/tok.json", "wb").close()
asr = SpeechRecogniser("whisper", work + "/asr.bin", work + "/tok.json", lib_path=sys.argv[2])
done = threading.Event()
def other():
    longest, last = 0.0, time.perf_counter()
    while not done.is_set():
        now = time.perf_counter(); longest = max(longest, now - last); last = now
    print(longest * 1000)
t = threading.Thread(target=other); t.start()
time.sleep(0.05)
result = asr.transcribe(work + "/speech.wav")
done.set(); t.join()
print(result.seconds * 1000)
"""


def speech(quellan: Path, work: Path) -> tuple[float, float]:
    env = dict(os.environ, KIV_REFERENCE_ASR_DELAY_MS="500")
    proc = subprocess.run([sys.executable, "-c", SPEECH, str(work), str(quellan)], env=env, check=True,
                          capture_output=True, text=True)
    pause, duration = (float(x) for x in proc.stdout.split())
    return pause, duration


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--pieces", type=int, default=200_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--server-only", action="store_true")
    args = parser.parse_args()
    refs = build_runtimes()
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        site = make_site(refs, work)
        fair, attacked = fairness(site), attacks(site)
        if args.server_only:
            print_server(fair, attacked)
            return
        cost = layer_cost(build_runtime(), work, args.pieces, args.rounds)
        conc = concurrency(refs["velkor"], work)
        pause, duration = speech(refs["quellan"], work)
    print(f"serving layer benchmark: {platform.machine()}, {platform.system()} {platform.release()}, "
          f"Python {platform.python_version()}")
    print(f"medians of {args.rounds} rounds of {args.pieces:,} pieces (benchmark runtime, calling thread)\n")
    print(f"{'ns per piece':<52}{'':>10}{'pieces/s':>14}")
    for name, label in (("plain", "VELKOR.run, plain no-op on_token"), ("sync", "layer, sync iteration (for)"),
                        ("async", "layer, async iteration (async for)")):
        print(f"  {label:<50}{cost[name]:>10,.1f}{1e9 / cost[name]:>14,.0f}")
    print(f"  layer's own cost: sync {cost['sync'] - cost['plain']:,.0f} ns, "
          f"async {cost['async'] - cost['plain']:,.0f} ns per piece\n")
    print("reference runtime, 35 ms per piece, 60-piece replies, 8 contexts (async)")
    print(f"  1 stream:  {conc['one']:8.1f} pieces/s\n  8 streams: {conc['eight']:8.1f} pieces/s\n")
    print("a 10 ms asyncio timer's lateness (ms), 2 s each; busy: 8 streams at 1 ms per piece")
    for name in ("idle", "busy"):
        print(f"  {name}: p50 {conc['p50_' + name]:.2f}  p99 {conc['p99_' + name]:.2f}  "
              f"max {conc['max_' + name]:.2f}")
    print(f"\ntranscription of 60 s of audio (reference runtime, 500 ms decoding pause): {duration:.0f} ms; "
          f"longest pause of a second thread's loop meanwhile: {pause:.1f} ms\n")
    print_server(fair, attacked)
    ratio = conc["eight"] / conc["one"]
    print(f"ratios: async pieces/s {1e9 / cost['async']:,.0f} [>=100,000] | 8 streams / 1 stream {ratio:.2f}x "
          f"[>=7.5] | timer p99 busy {conc['p99_busy']:.2f} ms [<5], idle {conc['p99_idle']:.2f} ms | "
          f"second thread's longest pause / transcription {pause / duration:.3f} [far below 1]")


def print_server(fair: dict[str, float], attacked: list[tuple[str, str, float, float]]) -> None:
    print("the server on a loopback port (reference runtimes); GET /health probed every 10 ms (ms)")
    for key, label in (("8_streams", "8 streams at 1 ms per piece"), ("slow_reader", "a 4 MB reply read at 2 MB/s"),
                       ("fast_reader", "a 4 MB reply read at full speed")):
        print(f"  {label:<44} p99 {fair['p99_' + key]:7.1f}  max {fair['max_' + key]:7.1f}")
    print(f"  a client that reads nothing of a 4 MB reply: the server's memory grows {fair['run_memory']:.1f} MB in "
          f"0.5 s (the run), then {fair['backlog_memory']:.1f} MB in 2 s;"
          f"\n  then it hangs up: its context is free after {fair['free_after_hangup']:.1f} ms; longest /health "
          f"meanwhile {fair['max_after_hangup']:.1f} ms\n")
    print(f"{'attack':<44}{'what the attacker got':<58}{'peak MB':>8}{'/health max ms':>16}")
    for name, answer, memory, stall in attacked:
        print(f"  {name:<42}{answer:<58}{memory:>8.1f}{stall:>16.1f}")
    print(f"\nserver ratios: /health p99 with 8 streams {fair['p99_8_streams']:.1f} ms [<50], with a slow reader "
          f"{fair['p99_slow_reader']:.1f} ms [<50] | a hang-up frees its context in {fair['free_after_hangup']:.1f} ms "
          "[<100]\n")


if __name__ == "__main__":
    main()
