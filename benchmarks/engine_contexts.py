"""Several contexts of the real engine in one process: two streams at once
with two threads per context against one stream alone, the resident memory
of one context and of four, and the first token of four chats that share a
long system prompt on one context (a reset between them).

    benchmarks/engine_contexts.sh [--rounds 3] [--libvelkor PATH]

Each measure runs in a fresh interpreter, rounds interleaved; medians are
printed. ``--libvelkor`` measures another build of the runtime (for a
before/after); by default the one scripts/engines.sh builds.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

# One measure, in a fresh interpreter: argv = library, model, what; prints one JSON line.
PROBE = r"""
import json, shutil, statistics, sys, tempfile, threading, time
from pathlib import Path
from tessel_openai_server.kiv_velkor import _velkor
library, model, what = sys.argv[1:4]
directory = Path(tempfile.mkdtemp())
shutil.copy(library, directory / "libvelkor.so")
_velkor.__file__ = str(directory / "_velkor.so")
COUNTING = ", ".join(str(i) for i in range(1, 30)) + ","

def resident():
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024

def context(threads, n_ctx=512, on_token=None):
    obj = _velkor.VELKOR()
    assert obj.init(model, on_token, sampler_params={"n_threads": threads, "n_ctx": n_ctx}) == 0
    obj.run(COUNTING, sampler_params={"max_tokens": 4})
    return obj

if what in ("alone", "pair"):
    objs = [context(1)] if what == "alone" else [context(2), context(2)]
    rates = []
    def stream(obj):
        started = time.monotonic()
        result = obj.run(COUNTING, sampler_params={"max_tokens": 64})
        rates.append((result["token_count"] - 1) / (time.monotonic() - started))
    workers = [threading.Thread(target=stream, args=(o,)) for o in objs]
    cpu, wall = time.process_time(), time.monotonic()
    for w in workers: w.start()
    for w in workers: w.join()
    print(json.dumps({"slowest": min(rates), "aggregate": 64 * len(objs) / (time.monotonic() - wall),
                      "cpu_ms": (time.process_time() - cpu) / (64 * len(objs)) * 1000}))
elif what == "memory":
    objs = [context(1, 4096)]
    one = resident()
    objs += [context(1, 4096) for _ in range(3)]
    print(json.dumps({"one": one, "four": resident()}))
else:
    arrivals = []
    obj = context(1, 4096, lambda r, u, s: arrivals.append(time.monotonic()))
    rules = " ".join(f"Rule {i}: answer politely and mention the number {i} when asked." for i in range(1, 60))
    waits = []
    for question in ("Hello!", "What is the capital of France?", "Name a colour.", "Say something nice."):
        obj.reset()
        arrivals.clear()
        started = time.monotonic()
        obj.run(json.dumps([{"role": "system", "content": rules}, {"role": "user", "content": question}]),
                messages_mode=True, retain_history=1, sampler_params={"max_tokens": 2})
        waits.append((arrivals[0] - started) * 1000)
    print(json.dumps({"first": waits[0], "later": statistics.median(waits[1:])}))
"""


def engines() -> dict[str, str]:
    out = subprocess.run([str(ROOT / "scripts" / "engines.sh")], check=True, capture_output=True, text=True).stdout
    return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)


def probe(library: str, model: str, what: str) -> dict[str, float]:
    out = subprocess.run([sys.executable, "-c", PROBE, library, model, what], check=True, capture_output=True,
                         text=True, timeout=900).stdout
    return json.loads(out.splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--libvelkor", help="the runtime to measure (default: scripts/engines.sh's)")
    args = parser.parse_args()
    paths = engines()
    library = args.libvelkor or paths["libvelkor"]
    results: dict[str, list[dict[str, float]]] = {w: [] for w in ("alone", "pair", "memory", "prefix")}
    for _ in range(args.rounds):
        for what in results:
            results[what].append(probe(library, paths["llm_model"], what))

    def median(what: str, key: str) -> float:
        return statistics.median(r[key] for r in results[what])

    print(f"engine contexts benchmark: {Path(paths['llm_model']).name}, greedy, 64 tokens a stream; "
          f"medians of {args.rounds} rounds; load average {os.getloadavg()[0]:.2f} at the end")
    print(f"  one stream, one thread:              {median('alone', 'slowest'):6.1f} tokens/s, "
          f"{median('alone', 'cpu_ms'):6.1f} ms CPU a token")
    print(f"  two at once, two threads a context:  {median('pair', 'slowest'):6.1f} tokens/s the slower, "
          f"{median('pair', 'aggregate'):6.1f} together, {median('pair', 'cpu_ms'):6.1f} ms CPU a token")
    print(f"  resident memory, n_ctx 4096:         {median('memory', 'one'):6.0f} MiB one context, "
          f"{median('memory', 'four'):6.0f} MiB four")
    print(f"  4 chats sharing a system prompt of about 1,000 tokens, a reset between: first token "
          f"{median('prefix', 'first'):6.0f} ms, later chats {median('prefix', 'later'):6.0f} ms")


if __name__ == "__main__":
    main()
