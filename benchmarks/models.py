"""Benchmark of several models in one ``serve`` on the real engine, through the
official ``openai`` client: SmolLM2 under two names ("smol" with the whole
context, "tiny" with 256 tokens), one place (``--models-max 1``), so that each
request for the other model unloads one and loads the other. Per model: the
load's time, a request that loads its model first against one that finds it
loaded (a one-token reply), and the server's resident memory with no model,
with each model, and after an unload.

    benchmarks/models.sh [--rounds 5] [--contexts 1]
"""

from __future__ import annotations

import argparse
import json
import re
import statistics
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import openai

sys.path.insert(0, str(Path(__file__).resolve().parent))
from conversations import deployed_engine  # noqa: E402

CONFIG = ('[models.smol]\nsampling = { temperature = 0 }\n'
          '[models.tiny]\nctx_size = 256\nsampling = { temperature = 0 }\n')
QUESTION = [{"role": "user", "content": "Hi"}]


class Server:
    def __init__(self, site: Path, model: str, contexts: int) -> None:
        config = site / "models.toml"
        config.write_text(CONFIG)
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "tessel_openai_server.kiv_velkor", "serve", "--port", "0", "--model",
             f"smol={model}", "--model", f"tiny={model}", "--models-config", str(config), "--models-max", "1",
             "--contexts", str(contexts), "--no-access-log", "--threads", "1"],
            env={"PYTHONPATH": str(site), "PATH": "/usr/bin:/bin"},
            stderr=subprocess.PIPE, text=True)
        assert self.proc.stderr is not None
        line = self.proc.stderr.readline()
        match = re.search(r"(http://[\d.]+:\d+)/v1", line)
        if not match:
            raise RuntimeError(line + self.proc.stderr.read())
        self.base = match[1]
        self.client = openai.OpenAI(base_url=self.base + "/v1", api_key="none", timeout=300, max_retries=0)

    def ask(self, model: str) -> float:
        started = time.perf_counter()
        self.client.chat.completions.create(model=model, messages=QUESTION, max_tokens=1)
        return time.perf_counter() - started

    def unload(self, model: str) -> None:
        request = urllib.request.Request(self.base + "/models/unload", data=json.dumps({"model": model}).encode(),
                                         headers={"Content-Type": "application/json"})
        urllib.request.urlopen(request, timeout=60).read()

    def load_seconds(self, model: str) -> float:
        return float(self.client.models.retrieve(model).model_dump()["status"]["load_seconds"])

    def rss_mib(self) -> float:
        status = Path(f"/proc/{self.proc.pid}/status").read_text()
        return int(re.search(r"VmRSS:\s+(\d+)", status)[1]) / 1024   # type: ignore[index]

    def stop(self) -> None:
        self.proc.terminate()
        self.proc.communicate(timeout=60)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--contexts", type=int, default=1)
    args = parser.parse_args()
    site, model_file = deployed_engine()
    server = Server(site, model_file, args.contexts)
    try:
        for model in ("smol", "tiny"):   # each model once: libraries, threads and caches in place
            server.ask(model)
        server.unload("tiny")
        empty = server.rss_mib()
        cold: dict[str, list[float]] = {"smol": [], "tiny": []}
        warm: dict[str, list[float]] = {"smol": [], "tiny": []}
        loads: dict[str, list[float]] = {"smol": [], "tiny": []}
        loaded: dict[str, list[float]] = {"smol": [], "tiny": []}
        for _ in range(args.rounds):
            for model in ("smol", "tiny"):
                cold[model].append(server.ask(model))   # evicts the other, loads this one
                loads[model].append(server.load_seconds(model))
                warm[model].append(server.ask(model))
                loaded[model].append(server.rss_mib())
        server.unload("tiny")
        after = server.rss_mib()
    finally:
        server.stop()
    print(f"several models benchmark: {Path(model_file).name} as smol (whole context) and tiny (256 "
          f"tokens), {args.contexts} context(s) each, one place; medians of {args.rounds} rounds\n")
    print("model    load (s)   loads first (s)   loaded (s)   resident (MiB)")
    for model in ("smol", "tiny"):
        print(f"{model:6} {statistics.median(loads[model]):10.3f} {statistics.median(cold[model]):17.3f} "
              f"{statistics.median(warm[model]):12.3f} {statistics.median(loaded[model]):16.0f}")
    print(f"\nresident memory: {empty:.0f} MiB with no model loaded, {after:.0f} MiB after the last unload "
          f"({after / empty:.3f}x [<=1.10])")


if __name__ == "__main__":
    main()
