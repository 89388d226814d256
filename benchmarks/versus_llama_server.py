"""``serve`` on the real engine against llama.cpp's own server (``llama-server``,
built by benchmarks/llama_server.sh from the same llama.cpp sources and flags),
both with the same model, contexts (slots), context size and threads, both
driven through the official ``openai`` client with the same prompts, greedy:

(a) a cold single stream: first token and decode tokens/s (every round a new
    prompt; llama-server with ``cache_prompt: false``);
(b) one prompt repeated: its first token the first time and when repeated;
(c) 4 and 8 concurrent streams: aggregate tokens/s and the median first token;
(d) an 8-turn chat whose replies are cut at ``max_tokens``: turn 8's first
    token against turn 1's;
(e) four chats that share a system prompt of about 1,000 tokens, on one
    context: the first token of chats 2 to 4 against chat 1's;
(f) resident memory (VmRSS of the process and its children) after load with
    the contexts of (a), (c) and (d), and again after their runs.

(a), (c), (d) and (f) run on one pair of servers with ``--contexts`` contexts;
(b) and (e) on a pair with one context each, so that what a request can reuse
is on the context it gets. Rounds interleave the servers (serve, llama-server,
serve, ...); the table gives medians and, in brackets, the lowest and highest
round. llama-server gets ``-np N -t T -c N*C`` (its -c is the total that its
slots share) and its defaults otherwise.

    benchmarks/versus_llama_server.sh [--rounds 5] [--contexts 4] [--ctx-size 2048] [--threads 2]
        [--tokens 128] [--stream-tokens 64] [--chat-tokens 24] [--llama-server PATH]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import openai

ROOT = Path(__file__).resolve().parents[1]
HERE = ROOT / "benchmarks"
sys.path.insert(0, str(HERE))

from conversations import deploy, engines  # noqa: E402
from run import machine  # noqa: E402

STORY = "Tell me a long story about a dragon and a lighthouse."
# Questions whose greedy replies run past a small max_tokens, so that every turn of (d) is cut.
TOPICS = ("a dragon", "a lighthouse", "a ship", "a storm", "a village", "a king", "a forest", "a river")
# About 1,000 tokens of instructions that four chats share (e).
RULES = " ".join(f"Rule {i}: answer politely and mention the number {i} when asked." for i in range(1, 64))
# A question after about 400 tokens of text: the prompt that (b) repeats.
PASSAGE = (" ".join(f"Line {i}: the lighthouse keeper counted {i} ships passing in the night." for i in range(1, 26))
           + "\nHow many ships passed on line 7?")


def say(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port: int = s.getsockname()[1]
        return port


def resident_mib(pid: int) -> float:
    """VmRSS of a process and all its descendants, in MiB."""
    children: dict[int, list[int]] = {}
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            parent = int(stat.read_text().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            continue
        children.setdefault(parent, []).append(int(stat.parent.name))
    total, todo = 0, [pid]
    while todo:
        p = todo.pop()
        todo += children.get(p, [])
        try:
            for line in Path(f"/proc/{p}/status").read_text().splitlines():
                if line.startswith("VmRSS:"):
                    total += int(line.split()[1])
        except OSError:
            pass
    return total / 1024


class Server:
    """One server process on a free loopback port, its output in a log file, ready once /health answers 200."""

    def __init__(self, name: str, cmd: list[str], port: int, log: Path, env: dict[str, str] | None = None,
                 cold: dict[str, Any] | None = None) -> None:
        self.name, self.log, self.cold = name, log, cold or {}
        started = time.perf_counter()
        with log.open("w") as out:
            self.proc = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, env=env)
        url = f"http://127.0.0.1:{port}"
        while True:
            if self.proc.poll() is not None:
                raise RuntimeError(f"{name} ended with {self.proc.returncode}:\n" + log.read_text()[-3000:])
            try:
                with urllib.request.urlopen(url + "/health", timeout=5) as reply:
                    if reply.status == 200:
                        break
            except (urllib.error.URLError, OSError):
                pass
            if time.perf_counter() - started > 300:
                self.stop()
                raise RuntimeError(f"{name} not ready after 300 s:\n" + log.read_text()[-3000:])
            time.sleep(0.1)
        self.load_seconds = time.perf_counter() - started
        self.client = openai.OpenAI(base_url=url + "/v1", api_key="none", max_retries=0, timeout=600)

    def resident(self) -> float:
        return resident_mib(self.proc.pid)

    def stop(self) -> None:
        self.proc.send_signal(signal.SIGINT)
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


@dataclass
class Stream:
    first: float    # seconds from the request to the first content piece
    tokens: int     # completion tokens, as the server counts them
    decode: float   # seconds from the first piece to the last
    total: float
    text: str
    reason: str

    @property
    def rate(self) -> float:
        return (self.tokens - 1) / self.decode if self.decode > 0 else 0.0


def stream(server: Server, messages: list[dict[str, str]], max_tokens: int, cold: bool = False) -> Stream:
    """One streamed, greedy chat completion."""
    started = time.perf_counter()
    times: list[float] = []
    parts: list[str] = []
    tokens, reason = 0, ""
    for chunk in server.client.chat.completions.create(
            model="bench", messages=messages, stream=True, max_tokens=max_tokens, temperature=0,  # type: ignore
            stream_options={"include_usage": True}, extra_body=(server.cold if cold else None)):
        if chunk.choices:
            if chunk.choices[0].delta.content:
                times.append(time.perf_counter())
                parts.append(chunk.choices[0].delta.content)
            reason = chunk.choices[0].finish_reason or reason
        if chunk.usage:
            tokens = chunk.usage.completion_tokens
    end = time.perf_counter()
    if not times:
        raise RuntimeError(f"{server.name} streamed no content (finish reason {reason!r})")
    return Stream(times[0] - started, tokens or len(times), times[-1] - times[0], end - started, "".join(parts),
                  reason)


def story(nonce: str) -> list[dict[str, str]]:
    # The nonce comes first, so nothing but the template's first tokens is shared with another round.
    return [{"role": "system", "content": f"{nonce} is the number of the day. You are a helpful assistant."},
            {"role": "user", "content": STORY}]


def concurrent(server: Server, prompts: list[list[dict[str, str]]], max_tokens: int) -> tuple[float, float]:
    """All prompts streamed at once: aggregate completion tokens/s over the wall time, and the median first token."""
    started = time.perf_counter()
    with ThreadPoolExecutor(len(prompts)) as pool:
        results = list(pool.map(lambda m: stream(server, m, max_tokens), prompts))
    wall = time.perf_counter() - started
    return sum(r.tokens for r in results) / wall, statistics.median(r.first for r in results)


def chat(server: Server, nonce: str, turns: int, max_tokens: int) -> tuple[list[float], int]:
    """A chat of several turns, each reply kept as streamed: the first token of each turn, and the replies cut."""
    messages = [{"role": "system", "content": f"{nonce} is the number of the day. You are a helpful assistant."}]
    firsts, cut = [], 0
    for turn in range(turns):
        messages.append({"role": "user", "content": f"Now tell me a long story about {TOPICS[turn % len(TOPICS)]}."})
        result = stream(server, messages, max_tokens)
        firsts.append(result.first)
        cut += result.reason == "length"
        messages.append({"role": "assistant", "content": result.text})
    return firsts, cut


def shared_prefix(server: Server, nonce: str) -> list[float]:
    """Four chats with the same long system prompt, one after another: the first token of each."""
    system = f"{nonce} is the number of the day. {RULES}"
    questions = ("Hello!", "What is the capital of France?", "Name a colour.", "Say something nice.")
    return [stream(server, [{"role": "system", "content": system}, {"role": "user", "content": q}], 8).first
            for q in questions]


def llama_server_binary() -> str:
    out = subprocess.run([str(HERE / "llama_server.sh")], check=True, stdout=subprocess.PIPE, text=True).stdout
    return out.strip().splitlines()[-1]


def token_count(tokenizer: str | None, text: str) -> str:
    """The number of tokens of a text by the model's tokenizer ("about N" from its characters without one)."""
    if tokenizer:
        try:
            from tokenizers import Tokenizer
            return f"{len(Tokenizer.from_file(tokenizer).encode(text).ids):,}"
        except Exception:  # noqa: BLE001 - an estimate serves the table's label as well
            pass
    return f"about {len(text) // 4:,}"


class Pair:
    """serve and llama-server with the same model, contexts, context size and threads."""

    def __init__(self, site: Path, paths: dict[str, str], binary: str, contexts: int, ctx_size: int, threads: int,
                 logs: Path) -> None:
        tokenizer = ["--tokenizer", paths["tokenizer"]] if paths.get("tokenizer") else []
        port = free_port()
        self.ours = Server("serve", [
            sys.executable, "-m", "tessel_openai_server.kiv_velkor", "serve", "--host", "127.0.0.1", "--port",
            str(port), "--model", paths["llm_model"], "--model-name", "bench", "--contexts", str(contexts),
            "--threads", str(threads), "--ctx-size", str(ctx_size), "--temperature", "0", *tokenizer],
            port, logs / f"serve-{contexts}.log", env={**os.environ, "PYTHONPATH": str(site)})
        port = free_port()
        try:
            self.peer = Server("llama-server", [
                binary, "-m", paths["llm_model"], "--host", "127.0.0.1", "--port", str(port), "--alias", "bench",
                "-np", str(contexts), "-t", str(threads), "-c", str(contexts * ctx_size)],
                port, logs / f"llama-server-{contexts}.log", cold={"cache_prompt": False})
        except BaseException:
            self.ours.stop()
            raise
        self.both = (self.ours, self.peer)

    def stop(self) -> None:
        for server in self.both:
            server.stop()


def spread(values: list[float], scale: float = 1.0, digits: int = 0) -> str:
    """The median, and the lowest and highest value in brackets when there are several."""
    med = f"{statistics.median(values) * scale:,.{digits}f}"
    if len(values) < 2:
        return med
    return f"{med} [{min(values) * scale:,.{digits}f}-{max(values) * scale:,.{digits}f}]"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds of each measure")
    parser.add_argument("--contexts", type=int, default=4, help="contexts (llama-server's slots) of the main pair")
    parser.add_argument("--ctx-size", type=int, default=2048, help="tokens per context")
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1, help="compute threads of each server")
    parser.add_argument("--tokens", type=int, default=128, help="tokens of the single stream (a)")
    parser.add_argument("--stream-tokens", type=int, default=64, help="tokens of each concurrent stream (c)")
    parser.add_argument("--chat-tokens", type=int, default=24, help="max_tokens of each chat turn (d)")
    parser.add_argument("--turns", type=int, default=8, help="turns of the chat (d)")
    parser.add_argument("--llama-server", help="the llama-server binary (default: benchmarks/llama_server.sh's)")
    args = parser.parse_args()

    paths = engines()
    binary = args.llama_server or llama_server_binary()
    site = deploy(paths["libvelkor"])
    logs = Path(tempfile.mkdtemp(prefix="kiv-versus-"))
    names = ("serve", "llama-server")
    figures: dict[str, dict[str, list[float]]] = {n: {} for n in names}
    load_before = os.getloadavg()[0]
    begun = time.perf_counter()

    def add(name: str, key: str, value: float) -> None:
        figures[name].setdefault(key, []).append(value)

    texts: dict[str, str] = {}
    try:
        say(f"[versus] starting both servers with {args.contexts} contexts")
        pair = Pair(site, paths, binary, args.contexts, args.ctx_size, args.threads, logs)
        try:
            for name, server in zip(names, pair.both):
                add(name, "load", server.load_seconds)
                add(name, "rss_load", server.resident())
                stream(server, story("warm-up"), 4)
            for r in range(args.rounds):
                say(f"[versus] (a) cold single stream, round {r + 1} of {args.rounds}")
                for name, server in zip(names, pair.both):
                    result = stream(server, story(f"{1000 + r}"), args.tokens, cold=True)
                    add(name, "a_first", result.first)
                    add(name, "a_rate", result.rate)
                    add(name, "a_tokens", result.tokens)
                    texts[name] = result.text
            for k in (4, 8):
                for r in range(args.rounds):
                    say(f"[versus] (c) {k} concurrent streams, round {r + 1} of {args.rounds}")
                    for name, server in zip(names, pair.both):
                        rate, first = concurrent(server, [story(f"{2000 + 100 * r + k * 10 + j}") for j in range(k)],
                                                 args.stream_tokens)
                        add(name, f"c{k}_rate", rate)
                        add(name, f"c{k}_first", first)
            for r in range(args.rounds):
                say(f"[versus] (d) {args.turns}-turn chat, round {r + 1} of {args.rounds}")
                for name, server in zip(names, pair.both):
                    firsts, cut = chat(server, f"{3000 + r}", args.turns, args.chat_tokens)
                    add(name, "d_first", firsts[0])
                    add(name, "d_last", firsts[-1])
                    add(name, "d_ratio", firsts[-1] / firsts[0])
                    add(name, "d_cut", cut)
            for name, server in zip(names, pair.both):
                add(name, "rss_end", server.resident())
        finally:
            pair.stop()

        say("[versus] starting both servers with one context")
        single = Pair(site, paths, binary, 1, args.ctx_size, args.threads, logs)
        try:
            repeated = [{"role": "system", "content": "You are a helpful assistant."},
                        {"role": "user", "content": PASSAGE}]
            # The repeats run back to back (a chat in between would take the one context), then the chats.
            for name, server in zip(names, single.both):
                add(name, "b_cold", stream(server, repeated, 8).first)
            for r in range(args.rounds):
                say(f"[versus] (b) repeated prompt, round {r + 1} of {args.rounds}")
                for name, server in zip(names, single.both):
                    add(name, "b_first", stream(server, repeated, 8).first)
            for r in range(args.rounds):
                say(f"[versus] (e) chats sharing a system prompt, round {r + 1} of {args.rounds}")
                for name, server in zip(names, single.both):
                    firsts = shared_prefix(server, f"{4000 + r}")
                    add(name, "e_first", firsts[0])
                    add(name, "e_later", statistics.median(firsts[1:]))
                    add(name, "e_ratio", statistics.median(firsts[1:]) / firsts[0])
        finally:
            single.stop()
    except BaseException:
        say(f"[versus] the servers' logs are in {logs}")
        raise
    shutil.rmtree(site, ignore_errors=True)
    shutil.rmtree(logs, ignore_errors=True)

    ours, peer = figures["serve"], figures["llama-server"]
    c = args.contexts
    print(f"serve against llama-server: {machine()}")
    print(f"model {Path(paths['llm_model']).name}, greedy; {c} contexts of {args.ctx_size} tokens "
          f"(llama-server -np {c} -c {c * args.ctx_size}), {args.threads} threads; load average "
          f"{load_before:.2f} before, {os.getloadavg()[0]:.2f} after; {(time.perf_counter() - begun) / 60:.1f} min")
    print(f"medians of {args.rounds} interleaved rounds [lowest-highest]; times in ms")
    print()
    # label, key, scale, digits, higher is better (None: no comparison)
    rows: list[tuple[str, str, float, int, bool | None]] = [
        (f"(a) cold single stream, {statistics.median(ours['a_tokens']):.0f} tokens: first token", "a_first", 1000, 0,
         False),
        ("    decode tokens/s", "a_rate", 1, 1, True),
        (f"(b) a prompt of {token_count(paths.get('tokenizer'), PASSAGE)} tokens, 1 context: first time", "b_cold",
         1000, 0, None),
        ("    repeated: first token", "b_first", 1000, 0, False),
        (f"(c) 4 streams of {args.stream_tokens} tokens, {c} contexts: tokens/s", "c4_rate", 1, 1, True),
        ("    first token, p50", "c4_first", 1000, 0, False),
        (f"    8 streams, {c} contexts: tokens/s", "c8_rate", 1, 1, True),
        ("    first token, p50", "c8_first", 1000, 0, False),
        (f"(d) {args.turns}-turn chat, replies cut at {args.chat_tokens}: turn 1 first token", "d_first", 1000, 0,
         None),
        (f"    turn {args.turns} first token", "d_last", 1000, 0, False),
        (f"    turn {args.turns} / turn 1", "d_ratio", 1, 2, None),
        (f"(e) 4 chats, {token_count(paths.get('tokenizer'), RULES)} system tokens shared, 1 context: chat 1",
         "e_first", 1000, 0, None),
        ("    chats 2-4 (median)", "e_later", 1000, 0, False),
        ("    chats 2-4 / chat 1", "e_ratio", 1, 2, None),
        (f"(f) resident MiB after load, {c} contexts", "rss_load", 1, 0, False),
        ("    after the runs above", "rss_end", 1, 0, None),
        ("load until /health answers 200 (s)", "load", 1, 2, None),
    ]
    width = max(len(label) for label, *_ in rows) + 2
    print(f"{'':{width}}{'serve':>22}{'llama-server':>22}{'serve/peer':>12}")
    reached, missed = [], []
    for label, key, scale, digits, higher in rows:
        ratio = round(statistics.median(ours[key]) / statistics.median(peer[key]), 2)
        print(f"{label:{width}}{spread(ours[key], scale, digits):>22}{spread(peer[key], scale, digits):>22}"
              f"{ratio:12.2f}")
        if higher is not None:
            (reached if (ratio >= 1 if higher else ratio <= 1) else missed).append(f"{key} {ratio:.2f}")
    same = os.path.commonprefix([texts["serve"], texts["llama-server"]])
    print()
    print(f"replies cut at the cap in (d): serve {statistics.median(ours['d_cut']):.0f}, llama-server "
          f"{statistics.median(peer['d_cut']):.0f} of {args.turns} (median); the last cold story is the same for "
          f"{len(same)} of {len(texts['serve'])} characters")
    print(f"serve/peer at least as good: {', '.join(reached) or 'none'} | worse: {', '.join(missed) or 'none'}")


if __name__ == "__main__":
    main()
