"""Several models in one server on the real engine: the packaged SmolLM2 under
two names with different options ("smol": greedy, the whole context; "tiny":
a 256-token context, 8 tokens a reply), driven over HTTP by the official
client. With one place they load and evict in turn and the server's resident
memory falls back after an unload; requests that come during a load wait for
it; a broken model file is answered with its reason while the others serve;
streams, cancellation and the conversation cache work per model; an idle
model goes after --keep-alive."""

from __future__ import annotations

import concurrent.futures
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

import openai
import pytest

import tessel_openai_server

SYSTEM = {"role": "system", "content": "Answer in one short sentence."}
CONFIG = """
[models.smol]
sampling = {{ temperature = 0 }}
{tokenizer}
[models.tiny]
ctx_size = 256
sampling = {{ temperature = 0, max_tokens = 8 }}
{tokenizer}
"""


class EngineServer:
    def __init__(self, site: Path, tmp: Path, engines: dict[str, Path], *args: str) -> None:
        model = str(engines["llm_model"])
        tokenizer = os.environ.get("KIV_ENGINE_TOKENIZER", "")
        config = tmp / "models.toml"
        if not Path(tokenizer).is_file():
            pytest.skip("KIV_ENGINE_TOKENIZER is not given (scripts/engines_test.sh sets it)")
        config.write_text(CONFIG.format(tokenizer=f'tokenizer = "{tokenizer}"'))
        (tmp / "broken.gguf").write_bytes(b"GGUF" + b"\0" * 64)
        self.log = tmp / "server.log"
        with self.log.open("w") as err:
            self.proc = subprocess.Popen(
                [sys.executable, "-m", "tessel_openai_server.kiv_velkor", "serve", "--port", "0", "--model",
                 f"smol={model}", "--model", f"tiny={model}", "--model", f"broken={tmp / 'broken.gguf'}",
                 "--models-config", str(config), "--no-access-log", "--threads", "1", *args],
                env={**os.environ, "PYTHONPATH": str(site)}, stderr=err, text=True)
        for _ in range(600):
            match = re.search(r"Serving \S+ on (http://\S+/v1)", self.log.read_text(errors="replace"))
            if match or self.proc.poll() is not None:
                break
            time.sleep(0.05)
        assert match, self.log.read_text(errors="replace")
        self.client = openai.OpenAI(base_url=match[1], api_key="none", max_retries=0, timeout=120)
        self.base = match[1].removesuffix("/v1")

    def state(self, name: str) -> dict:
        return self.client.models.retrieve(name).model_dump()["status"]

    def rss_mib(self) -> float:
        status = Path(f"/proc/{self.proc.pid}/status").read_text()
        return int(re.search(r"VmRSS:\s+(\d+)", status)[1]) / 1024

    def unload(self, name: str) -> None:
        self.client.post(f"{self.base}/models/unload", body={"model": name}, cast_to=object)

    def health(self) -> dict:
        return self.client.get(f"{self.base}/health", cast_to=object)

    def stop(self) -> None:
        self.proc.send_signal(signal.SIGINT)
        assert self.proc.wait(60) == 0, self.log.read_text(errors="replace")[-3000:]


@pytest.fixture(scope="module")
def site(engines, tmp_path_factory) -> Path:
    """A copy of the installed package with the real-engine LLM runtime deployed."""
    root = tmp_path_factory.mktemp("engine-site")
    shutil.copytree(Path(tessel_openai_server.__file__).parent, root / "tessel_openai_server")
    shutil.copy(engines["libvelkor"], root / "tessel_openai_server" / "kiv_velkor" / "libvelkor.so")
    return root


@pytest.fixture
def start(site, engines, tmp_path) -> Iterator:
    servers: list[EngineServer] = []

    def make(*args: str) -> EngineServer:
        servers.append(EngineServer(site, tmp_path, engines, *args))
        return servers[-1]

    yield make
    for s in servers:
        s.stop()


def ask(client: openai.OpenAI, model: str, text: str = "What is the capital of France?", **options):
    return client.chat.completions.create(model=model, messages=[SYSTEM, {"role": "user", "content": text}],
                                          **options)


def test_one_place_alternates_the_models_and_gives_their_memory_back(start):
    s = start("--models-max", "1", "--contexts", "2")
    assert "Paris" in ask(s.client, "smol").choices[0].message.content
    # Requests that come during a load wait for it and are answered, with the model's own options.
    with concurrent.futures.ThreadPoolExecutor(3) as pool:
        replies = list(pool.map(lambda _: ask(s.client, "tiny", "Tell me a long story about a dragon."), range(3)))
    assert {(r.choices[0].finish_reason, r.usage.completion_tokens) for r in replies} == {("length", 8)}
    assert s.state("tiny")["loads"] == 1 and s.state("smol")["evictions"] == 1
    # The broken file is answered with the engine's reason; the other models serve on.
    with pytest.raises(openai.InternalServerError) as failed:
        ask(s.client, "broken")
    assert "'broken' could not be loaded" in failed.value.message and s.state("broken")["value"] == "failed"
    assert {s.state(n)["value"] for n in ("smol", "tiny")} == {"unloaded"}
    before = s.rss_mib()   # each model has been used once: the libraries, threads and caches are in place

    rss = []
    for turn in range(4):   # with one place, each request evicts the other model
        name, other = ("smol", "tiny") if turn % 2 == 0 else ("tiny", "smol")
        assert ask(s.client, name).choices[0].message.content
        assert (s.state(name)["value"], s.state(other)["value"]) == ("loaded", "unloaded")
        rss.append(s.rss_mib())
    assert (s.state("smol")["evictions"], s.state("tiny")["evictions"]) == (3, 2)
    s.unload("tiny")
    after = s.rss_mib()
    print(f"resident memory: {before:.0f} MiB before the loads, {after:.0f} after the unload; loaded in turn: "
          f"{', '.join(f'{r:.0f}' for r in rss)}")
    assert min(rss) - before > 50               # each model and its contexts show
    assert after <= before * 1.10               # and go again
    assert max(rss[2:]) <= max(rss[:2]) * 1.05  # loading again and again keeps nothing


def test_streams_cancellation_and_the_conversation_cache_per_model_and_the_idle_unload(start):
    # Long enough that neither model goes idle between its turns on a loaded machine.
    s = start("--models-max", "2", "--keep-alive", "8s")
    # A stream of each model, one cut short: its context is back at once and the model serves on.
    story = s.client.chat.completions.create(
        model="smol", messages=[{"role": "user", "content": "Tell me a long story about a dragon."}], stream=True,
        max_tokens=400)
    pieces = [next(iter(story)) for _ in range(3)]
    story.close()
    assert pieces
    streamed = list(ask(s.client, "tiny", "Tell me a long story about a dragon.", stream=True))
    assert streamed[-1].choices[0].finish_reason == "length"
    deadline = time.monotonic() + 10
    while s.health()["available"] < 2 and time.monotonic() < deadline:
        time.sleep(0.05)

    # Two conversations, one on each model, turns interleaved: each model's context goes on from its own.
    chats = {"smol": [SYSTEM, {"role": "user", "content": "What is the capital of France?"}],
             "tiny": [SYSTEM, {"role": "user", "content": "Name a colour."}]}
    firsts = {name: s.client.chat.completions.create(model=name, messages=m, max_tokens=30)
              for name, m in chats.items()}
    for name, first in firsts.items():
        chats[name] += [{"role": "assistant", "content": first.choices[0].message.content},
                        {"role": "user", "content": "And another?"}]
    ended = [name for name, first in firsts.items() if first.choices[0].finish_reason == "stop"]
    assert ended   # a reply cut at max_tokens is not kept: its next turn runs afresh
    for name in ended:
        second = s.client.chat.completions.create(model=name, messages=chats[name], max_tokens=30)
        assert second.usage.prompt_tokens_details.cached_tokens > 0, name

    # tiny's context is 256 tokens: a longer prompt is refused there and answered by smol.
    long = " ".join(["lighthouse"] * 300)
    with pytest.raises(openai.BadRequestError):
        ask(s.client, "tiny", long)
    assert ask(s.client, "smol", long, max_tokens=4).choices[0].message.content

    # Idle for --keep-alive, both go.
    deadline = time.monotonic() + 30
    while {s.state(n)["value"] for n in ("smol", "tiny")} != {"unloaded"} and time.monotonic() < deadline:
        time.sleep(0.2)
    assert s.state("smol")["value"] == s.state("tiny")["value"] == "unloaded"
    assert s.state("smol")["evictions"] == 0 and s.state("smol")["unloads"] == 1
