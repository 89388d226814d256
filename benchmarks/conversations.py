"""Benchmark of the conversation cache on the real engine, through ``serve``
and the official ``openai`` client: the time to the first piece of each turn
of an 8-turn chat (greedy, answers capped at 160 tokens, one context), with
the cache on and off; then several chats interleaved on 2 contexts, counting
the turns that went on from their context.

    benchmarks/conversations.sh [--turns 8] [--chats 2]

The last line gives the ratios with the targets in brackets.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import openai

ROOT = Path(__file__).resolve().parents[1]
QUESTIONS = ["What is the capital of France?", "Tell me about its history.", "What are its famous landmarks?",
             "Which river flows through it?", "What food is it known for?", "How big is its population?",
             "What is the weather like there?", "Summarise our conversation in two sentences."]
# Short replies end by themselves within the cap (the 135M model asked nothing
# about length runs to the cap), and only such replies are kept.
SYSTEM = "You are a helpful assistant. Keep every answer short."


def engines() -> dict[str, str]:
    out = subprocess.run([str(ROOT / "scripts" / "engines.sh")], check=True, capture_output=True, text=True).stdout
    return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)


class Server:
    """``serve`` on a free loopback port with the real-engine runtime deployed into a copy of the package."""

    def __init__(self, site: Path, model: str, contexts: int, cache: str) -> None:
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "tessel_openai_server.kiv_velkor", "serve", "--port", "0", "--model", model,
             "--model-name", "smol", "--contexts", str(contexts), "--conversation-cache", cache],
            env={**os.environ, "PYTHONPATH": str(site)}, stderr=subprocess.PIPE, text=True)
        assert self.proc.stderr is not None
        line = self.proc.stderr.readline()
        match = re.search(r"http://[\d.]+:(\d+)/v1", line)
        if not match:
            raise RuntimeError(line + self.proc.stderr.read())
        self.client = openai.OpenAI(base_url=f"http://127.0.0.1:{match[1]}/v1", api_key="none", timeout=300)

    def stop(self) -> None:
        self.proc.terminate()
        self.proc.communicate(timeout=60)


def deploy(library: str) -> Path:
    import tessel_openai_server
    site = Path(tempfile.mkdtemp(prefix="kiv-bench-"))
    shutil.copytree(Path(tessel_openai_server.__file__).parent, site / "tessel_openai_server")
    shutil.copy(library, site / "tessel_openai_server" / "kiv_velkor" / "libvelkor.so")
    return site


def deployed_engine() -> tuple[Path, str]:
    """The real LLM runtime deployed into a copy of the package, and the model: (site, model path)."""
    found = engines()
    return deploy(found["libvelkor"]), found["llm_model"]


def turn(client: Any, messages: list[dict[str, Any]]) -> tuple[float, str, str]:
    """One streamed turn: seconds to the first content piece, the whole reply and why it ended."""
    started = time.perf_counter()
    first = None
    parts = []
    reason = ""
    for chunk in client.chat.completions.create(model="smol", messages=messages, stream=True, max_tokens=160,
                                                temperature=0):
        text = chunk.choices[0].delta.content if chunk.choices else None
        if text:
            first = first or time.perf_counter() - started
            parts.append(text)
        if chunk.choices and chunk.choices[0].finish_reason:
            reason = chunk.choices[0].finish_reason
    return first or time.perf_counter() - started, "".join(parts), reason


def chat(server: Server, turns: int) -> tuple[list[float], list[str]]:
    """The first pieces of each turn, and why each reply ended."""
    messages: list[dict[str, Any]] = [{"role": "system", "content": SYSTEM}]
    firsts, reasons = [], []
    for question in QUESTIONS[:turns]:
        messages.append({"role": "user", "content": question})
        seconds, reply, reason = turn(server.client, messages)
        firsts.append(seconds)
        reasons.append(reason)
        messages.append({"role": "assistant", "content": reply})
    return firsts, reasons


def interleaved(site: Path, model: str, chats: int, turns: int) -> tuple[list[float], list[float]]:
    """Turn k of every chat, then turn k+1 of every chat...: the first pieces of the first and last turns."""
    server = Server(site, model, 2, "on")
    try:
        conversations = [[{"role": "system", "content": f"{SYSTEM} You are assistant number {i}."}]
                         for i in range(chats)]
        firsts: list[list[float]] = [[] for _ in range(chats)]
        for question in QUESTIONS[:turns]:
            for i, messages in enumerate(conversations):
                messages.append({"role": "user", "content": question})
                seconds, reply, _ = turn(server.client, messages)
                firsts[i].append(seconds)
                messages.append({"role": "assistant", "content": reply})
    finally:
        server.stop()
    return [f[0] for f in firsts], [f[-1] for f in firsts]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--turns", type=int, default=8)
    parser.add_argument("--chats", type=int, default=2)
    args = parser.parse_args()
    site, model = deployed_engine()
    print(f"conversation cache benchmark: {Path(model).name}, greedy, answers of at most 160 tokens, "
          f"{args.turns} turns; time to the first piece (ms) through serve and the official client\n")
    results, reasons = {}, []
    for cache in ("off", "on"):
        server = Server(site, model, 1, cache)
        try:
            results[cache], reasons = chat(server, args.turns)
        finally:
            server.stop()
    print("turn   " + "".join(f"{n:>8}" for n in range(1, args.turns + 1)))
    for cache in ("off", "on"):
        print(f"{cache:<7}" + "".join(f"{s * 1000:8.0f}" for s in results[cache]))
    # A reply cut at the cap is not kept: the turn after it runs afresh.
    print("ended  " + "".join(f"{r:>8}" for r in reasons))
    first, last = interleaved(site, model, args.chats, min(args.turns, 4))
    print(f"\n{args.chats} chats interleaved on 2 contexts, 4 turns each: first piece of turn 1 "
          f"{', '.join(f'{s * 1000:.0f}' for s in first)} ms; of turn 4 {', '.join(f'{s * 1000:.0f}' for s in last)} ms")
    on, off = results["on"], results["off"]
    print(f"\nratios: turn {args.turns}/turn 1 with the cache {on[-1] / on[0]:.2f}x [<=1.5], "
          f"without {off[-1] / off[0]:.2f}x | interleaved turn 4/turn 1 "
          f"{max(last) / max(min(first), 1e-9):.2f}x (worst chat)")
    shutil.rmtree(site, ignore_errors=True)


if __name__ == "__main__":
    main()
