"""Benchmark of the real engines: what the binding costs in a real generation,
how it compares with a peer on the same engine, and how fast speech decodes.

- Binding share: tokens per second of a greedy generation through
  ``VELKOR.run`` with an ``on_token`` callable, against engine_driver.cpp
  calling the same libvelkor.so with a native callback; same model, prompt,
  settings and threads (prompt mode).
- Peer (``--peer``): llama-cpp-python built from the same source distribution
  as the runtime (the first time takes minutes; it is cached beside the
  engines), its streaming chat completion against ``VELKOR.run`` in messages
  mode: time to the first piece and tokens per second, same messages, greedy
  sampling and threads.
- Serving: the same messages streamed through ``serve`` (a process of its
  own, on the same runtime and model) with the official ``openai`` client,
  against ``VELKOR.run`` in messages mode: time to the first piece and
  tokens per second as the client sees them.
- Speech: decoding time of flite-synthesised speech against its length.

The native driver and the peer run in processes of their own that make one
run per request, so the rounds interleave run by run; the table shows
medians, of wall-clock figures and of the CPU time each run took (which
other busy processes on a shared machine change less). The last line gives
the ratios with the targets in brackets.

    benchmarks/engines.sh [--rounds 15] [--tokens 128] [--threads 1] [--peer]
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import wave
from dataclasses import dataclass
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[1]
HERE = ROOT / "benchmarks"
NATIVE = ROOT / "proxy_server" / "kiv_velkor" / "native"
CACHE = Path(os.environ.get("KIV_ENGINES_CACHE") or Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache")
             / "kiv" / "engines")
# The peer is built like the runtime's engine: portable code, no OpenMP; no vision library.
PEER_CMAKE_ARGS = "-DGGML_NATIVE=OFF -DGGML_OPENMP=OFF -DGGML_LLAMAFILE=OFF -DLLAVA_BUILD=OFF"

sys.path.insert(0, str(HERE))

from run import compile_once, machine  # noqa: E402

from tessel_openai_server.kiv_velkor import _velkor  # noqa: E402
from tessel_openai_server.kiv_velkor._quellan import Quellan  # noqa: E402
from tessel_openai_server.kiv_velkor.types import Result, RunStatus  # noqa: E402

PROMPT = "Once upon a time, in a small village by the sea,"
MESSAGES = [{"role": "system", "content": "You are a helpful assistant."},
            {"role": "user", "content": "Tell me a long story about a dragon and a lighthouse."}]
SPEECH = [
    "The quick brown fox jumps over the lazy dog.",
    "Please call me when you get home tonight. The weather will be sunny and warm tomorrow, "
    "so we can walk to the market in the morning.",
    "I would like a cup of coffee with milk. After breakfast we will read the news, answer a few letters "
    "and then take the train to the city. The museum opens at ten and closes at six, so there is plenty "
    "of time to see the paintings before we meet our friends for dinner.",
]


def say(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def engine_paths() -> dict[str, str]:
    out = subprocess.run([str(ROOT / "scripts" / "engines.sh")], check=True, capture_output=False,
                         stdout=subprocess.PIPE, text=True).stdout
    return dict(line.split("=", 1) for line in out.splitlines())


def build_driver() -> Path:
    return compile_once(HERE / "engine_driver.cpp", ["-std=c++20", "-O2", "-Wall", f"-I{NATIVE}"],
                        "engine-driver-{digest}", (NATIVE / "velkor" / "velkor_records.h",))


def peer_python() -> Path:
    """A virtual environment with llama-cpp-python built from the runtime's own sdist (cached)."""
    sdist = subprocess.run([str(ROOT / "scripts" / "engines.sh"), "--sdist"], check=True, stdout=subprocess.PIPE,
                           text=True).stdout.strip()
    key = hashlib.sha256((Path(sdist).name + PEER_CMAKE_ARGS + sys.version).encode()).hexdigest()[:16]
    venv = CACHE / f"peer-{key}"
    python = venv / "bin" / "python"
    if not (venv / ".ok").exists():
        say(f"[bench] building llama-cpp-python from {Path(sdist).name} into {venv} (several minutes, once)")
        shutil.rmtree(venv, ignore_errors=True)
        subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
        env = dict(os.environ, CMAKE_ARGS=PEER_CMAKE_ARGS, CMAKE_BUILD_PARALLEL_LEVEL="2")
        subprocess.run([str(python), "-m", "pip", "install", "-q", "--disable-pip-version-check", sdist], check=True,
                       env=env)
        (venv / ".ok").touch()
    return python


@dataclass
class Timing:
    pieces: int
    first: float  # seconds from the call to the first piece
    last: float
    total: float
    cpu: float    # CPU seconds of the process during the run

    @property
    def rate(self) -> float:
        """Tokens per second from the first piece to the last."""
        return (self.pieces - 1) / (self.last - self.first)


class Ours:
    """VELKOR on the real runtime, deployed where _velkor looks for it."""

    def __init__(self, paths: dict[str, str], scratch: Path, tokens: int, threads: int) -> None:
        shutil.copy(paths["libvelkor"], scratch / "libvelkor.so")
        _velkor.__file__ = str(scratch / Path(_velkor.__file__).name)
        self.times: list[float] = []
        self.llm = _velkor.VELKOR()
        rc = self.llm.init(paths["llm_model"], self.on_token,
                           sampler_params={"n_threads": threads, "max_tokens": tokens})
        assert rc == 0, rc

    def on_token(self, result: Result, userdata: object, status: RunStatus) -> None:
        if status == 0:
            self.times.append(time.perf_counter())

    def run(self, prompt: str, messages: bool) -> tuple[Timing, str]:
        self.times = []
        cpu = time.process_time()
        start = time.perf_counter()
        out = self.llm.run(prompt, messages_mode=messages)
        total = time.perf_counter() - start
        cpu = time.process_time() - cpu
        return Timing(len(self.times), self.times[0] - start, self.times[-1] - start, total, cpu), out["text"]


class Server:
    """A measuring process that makes one run per request, so runs interleave one by one."""

    def __init__(self, cmd: list[str]) -> None:
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def run(self) -> dict[str, Any]:
        assert self.proc.stdin is not None and self.proc.stdout is not None
        self.proc.stdin.write("run\n")
        self.proc.stdin.flush()
        record: dict[str, Any] = json.loads(self.proc.stdout.readline())
        return record

    def close(self) -> None:
        assert self.proc.stdin is not None
        self.proc.stdin.close()
        self.proc.wait()


class Served:
    """``serve`` on the real runtime (deployed into a copy of the installed package), streamed with the official
    client; the CPU time is the server process's."""

    def __init__(self, paths: dict[str, str], scratch: Path, tokens: int, threads: int) -> None:
        import openai
        import tessel_openai_server
        site = scratch / "site"
        shutil.copytree(Path(tessel_openai_server.__file__).parent, site / "tessel_openai_server")
        shutil.copy(paths["libvelkor"], site / "tessel_openai_server" / "kiv_velkor" / "libvelkor.so")
        tokenizer = ["--tokenizer", paths["tokenizer"]] if paths.get("tokenizer") else []
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "tessel_openai_server.kiv_velkor", "serve", "--port", "0", "--model",
             paths["llm_model"], "--model-name", "bench", "--threads", str(threads), *tokenizer],
            stderr=subprocess.PIPE, text=True, env={**os.environ, "PYTHONPATH": str(site)})
        assert self.proc.stderr is not None
        line = self.proc.stderr.readline()
        url = line.split(" on ", 1)[1].split(" ", 1)[0]
        self.client = openai.OpenAI(base_url=url, api_key="none", max_retries=0, timeout=300)
        self.tokens = tokens

    def _cpu(self) -> float:
        fields = Path(f"/proc/{self.proc.pid}/stat").read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def run(self) -> tuple[Timing, str]:
        times: list[float] = []
        pieces: list[str] = []
        cpu = self._cpu()
        start = time.perf_counter()
        for chunk in self.client.chat.completions.create(model="bench", messages=MESSAGES, stream=True,
                                                         max_tokens=self.tokens):
            if chunk.choices and chunk.choices[0].delta.content:
                times.append(time.perf_counter())
                pieces.append(chunk.choices[0].delta.content)
        total = time.perf_counter() - start
        return Timing(len(times), times[0] - start, times[-1] - start, total, self._cpu() - cpu), "".join(pieces)

    def close(self) -> None:
        self.proc.send_signal(2)
        self.proc.communicate(timeout=30)


def timing(record: dict[str, Any]) -> Timing:
    return Timing(record["pieces"], record["first"], record["last"], record["total"], record["cpu"])


def speech_figures(paths: dict[str, str], scratch: Path) -> list[tuple[float, float, str]]:
    flite = shutil.which("flite")
    if flite is None:
        say("[bench] flite is missing (apt-get install flite): no speech figures")
        return []
    recogniser = Quellan(paths["libquellan"])
    recogniser.init("pocketsphinx", paths["asr_model"], paths["asr_dict"], paths["asr_lm"])
    rows = []
    for i, text in enumerate(SPEECH):
        wav = scratch / f"speech{i}.wav"
        subprocess.run([flite, "-voice", "slt", "-t", text, "-o", str(wav)], check=True)
        with wave.open(str(wav)) as w:
            seconds = w.getnframes() / w.getframerate()
        runs = []
        for _ in range(3):
            start = time.perf_counter()
            result = recogniser.transcribe(wav)
            runs.append(time.perf_counter() - start)
        rows.append((seconds, statistics.median(runs), result["text"]))
    recogniser.close()
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=15, help="interleaved rounds (medians are reported)")
    parser.add_argument("--tokens", type=int, default=128, help="tokens generated per run")
    parser.add_argument("--threads", type=int, default=1, help="compute threads of every engine")
    parser.add_argument("--peer", action="store_true", help="also measure llama-cpp-python (built once, minutes)")
    args = parser.parse_args()

    paths = engine_paths()
    driver = build_driver()
    load_before = os.getloadavg()
    peer = peer_python() if args.peer else None
    scratch = Path(tempfile.mkdtemp(prefix="engines-bench-"))
    try:
        ours = Ours(paths, scratch, args.tokens, args.threads)
        native_server = Server([str(driver), paths["libvelkor"], paths["llm_model"], PROMPT, str(args.tokens),
                                str(args.threads), "0", "0"])
        served = Served(paths, scratch, args.tokens, args.threads)
        peer_server = Server([str(peer), str(HERE / "engines_peer.py"), json.dumps(
            {"model": paths["llm_model"], "messages": MESSAGES, "tokens": args.tokens,
             "threads": args.threads})]) if peer else None
        # One warm-up run each, then the rounds, one run of each kind per round.
        ours.run(PROMPT, False)
        ours.run(json.dumps(MESSAGES), True)
        native_server.run()
        served.run()
        if peer_server:
            peer_server.run()
        binding, native, chat, peer_chat, serving = [], [], [], [], []
        texts = {}
        for r in range(args.rounds):
            say(f"[bench] round {r + 1} of {args.rounds}")
            binding.append(ours.run(PROMPT, False)[0])
            native.append(timing(native_server.run()))
            result, texts["ours"] = ours.run(json.dumps(MESSAGES), True)
            chat.append(result)
            result, texts["served"] = served.run()
            serving.append(result)
            if peer_server:
                record = peer_server.run()
                texts["peer"] = record["text"]
                peer_chat.append(timing(record))
        ours.llm.uninit()
        native_server.close()
        served.close()
        if peer_server:
            peer_server.close()
        speech = speech_figures(paths, scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    def med(values: list[Timing], field: str) -> float:
        return float(statistics.median(getattr(t, field) for t in values))

    print(f"real-engine benchmark: {machine()}")
    print(f"load average {load_before[0]:.2f} before, {os.getloadavg()[0]:.2f} after (every other busy process slows "
          "a one-thread engine down; the CPU seconds per run vary less)")
    print(f"model {Path(paths['llm_model']).name}, greedy, {args.threads} thread(s), {args.tokens} tokens per run; "
          f"medians of {args.rounds} interleaved rounds")
    print()
    print(f"{'':46}{'tokens':>8}{'first piece (ms)':>18}{'tokens/s':>10}{'CPU s/run':>11}")
    rows = [("VELKOR.run + on_token, prompt mode", binding), ("native driver + C callback, same prompt", native),
            ("VELKOR.run + on_token, messages mode", chat),
            ("serve + official client, streamed (server CPU)", serving)]
    if peer_chat:
        rows.append(("llama-cpp-python streaming chat completion", peer_chat))
    for label, values in rows:
        print(f"{label:46}{med(values, 'pieces'):8.0f}{1000 * med(values, 'first'):18.1f}{med(values, 'rate'):10.1f}"
              f"{med(values, 'cpu'):11.3f}")
    if speech:
        print()
        print(f"{'speech (flite, voice slt)':46}{'audio s':>8}{'decode s':>18}{'x real time':>12}")
        for seconds, decode, _ in speech:
            print(f"{'':46}{seconds:8.2f}{decode:18.3f}{decode / seconds:12.3f}")
    share = med(binding, "rate") / med(native, "rate")
    line = (f"ratios: binding/native tokens/s {share:.3f} [>=0.99], CPU per run "
            f"{med(binding, 'cpu') / med(native, 'cpu'):.3f}")
    line += (f" | serve/VELKOR.run messages mode: tokens/s {med(serving, 'rate') / med(chat, 'rate'):.3f} [>=0.97], "
             f"first piece +{1000 * (med(serving, 'first') - med(chat, 'first')):.1f} ms [<=15]; same text "
             f"{texts['served'] == texts['ours']}")
    if peer_chat:
        same = os.path.commonprefix([texts["ours"], texts["peer"]])
        line += (f" | ours/peer: first piece {med(chat, 'first') / med(peer_chat, 'first'):.2f} [<=1], tokens/s "
                 f"{med(chat, 'rate') / med(peer_chat, 'rate'):.3f} [>=1], CPU per run "
                 f"{med(chat, 'cpu') / med(peer_chat, 'cpu'):.3f}; same text for {len(same)} of "
                 f"{len(texts['ours'])} characters")
    if speech:
        line += f" | speech decode/audio {max(d / s for s, d, _ in speech):.3f} (worst)"
    print()
    print(line)


if __name__ == "__main__":
    main()
