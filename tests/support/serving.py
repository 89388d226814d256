"""What the streaming layer's and the server's tests share: pools on the
reference LLM runtime (or the recording fake), deployed as ``_velkor`` sees
its own directory, the speech layer on the recording fake recogniser, and a
server process on a copy of the installed package. The fixtures are taken
into tests/streaming and tests/server by their conftest.py."""

from __future__ import annotations

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import urllib.error
import urllib.request
from collections.abc import Callable, Iterator
from pathlib import Path

import openai
import pytest

import tessel_openai_server

from reference.refrt import build_runtimes_or_skip
from support.emulation import deadline
from support.fake_velkor import FakeVelkor, build_fake_velkor
from support.native_build import FAKES, build_shared
from support.placement import place_velkor, release_objects, still_mapped

from tessel_openai_server.kiv_velkor.streaming.pool import ModelPool

WEATHER_TOOL = {"type": "function", "function": {"name": "get_weather", "parameters": {"type": "object"}}}
MODEL = {"replies": [
    {"match": "Hello", "reply": "Hello there, this reply comes in pieces of a few words each."},
    {"match": "Grüße", "reply": "Grüße zurück – schön, dich zu sehen! ☀"},
    {"match": "What is the weather in Paris?", "reasoning": "The get_weather tool can tell.",
     "reply": "Let me look that up.", "tool_calls": [{"name": "get_weather", "arguments": {"city": "Paris"}}],
     "after_tool": "It is sunny in Paris."},
    {"match": "Tell me a long story", "reply": " ".join(f"word{i}" for i in range(200))},
]}


def user(text: str) -> list[dict[str, str]]:
    return [{"role": "user", "content": text}]


@pytest.fixture(scope="session")
def runtimes() -> dict[str, Path]:
    return build_runtimes_or_skip()


def write_model(tmp_path: Path, model: dict[str, object]) -> Path:
    """The reference runtime's scripted model, as the file init takes."""
    path = tmp_path / "model.json"
    path.write_text(json.dumps(model, ensure_ascii=False), encoding="utf-8")
    return path


@pytest.fixture
def model_path(tmp_path: Path) -> Path:
    return write_model(tmp_path, MODEL)


@pytest.fixture
def place_library(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Iterator[Callable[[Path], Path]]:
    """Places an LLM runtime where _velkor looks; afterwards checks that no context outlived the test."""
    placed: list[Path] = []

    def place(library: Path) -> Path:
        placed.append(place_velkor(library, tmp_path / f"pkg{len(placed)}", monkeypatch))
        return placed[-1]

    release_objects()
    yield place
    release_objects()
    assert not still_mapped(placed), "a context of the pool outlived its test"


@pytest.fixture
def make_pool(place_library, runtimes, model_path) -> Iterator[Callable[..., ModelPool]]:
    """Pools on the reference runtime, closed after the test."""
    pools: list[ModelPool] = []

    def make(contexts: int = 1, **options) -> ModelPool:
        if not pools:
            place_library(runtimes["velkor"])
        pool = ModelPool(str(model_path), contexts=contexts, **options)
        pools.append(pool)
        return pool

    yield make
    for pool in pools:
        assert pool.close(timeout=10)


@pytest.fixture
def fake_pool(place_library) -> Iterator[tuple[ModelPool, FakeVelkor]]:
    """A one-context pool on the recording fake LLM runtime, which replays scripted pieces."""
    fake = FakeVelkor(place_library(build_fake_velkor()))
    pool = ModelPool("model.gguf")
    yield pool, fake
    assert pool.close(timeout=10)
    release_objects()
    fake.close()


@pytest.fixture(scope="session")
def fake_quellan_path() -> Path:
    return build_shared("fake_quellan", [FAKES / "fake_quellan.cpp"])


@pytest.fixture(scope="module")
def site(runtimes, tmp_path_factory) -> Path:
    """A copy of the installed package with both reference runtimes deployed."""
    root = tmp_path_factory.mktemp("site")
    shutil.copytree(Path(tessel_openai_server.__file__).parent, root / "tessel_openai_server")
    for name in ("velkor", "quellan"):
        subprocess.run([sys.executable, "-m", "tessel_openai_server.kiv_velkor", "install-runtime", name,
                        str(runtimes[name]), "--package-dir", str(root / "tessel_openai_server" / "kiv_velkor")],
                       check=True, capture_output=True, env=_env(root))
    (root / "model.json").write_text(json.dumps(MODEL, ensure_ascii=False), encoding="utf-8")
    for name in ("projector.bin", "asr.bin", "tokenizer.json"):
        (root / name).write_bytes(b"\0")
    return root


def _env(site: Path, **extra: str) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k != "KIV_QUELLAN_PATH"}
    env.update(PYTHONPATH=str(site), **extra)
    return env


class Server:
    """``serve`` on the reference runtimes: the test model as "ref" with a projector and the speech model,
    or the models ``models`` names (serve's model options) instead."""

    def __init__(self, site: Path, *args: str, delay_ms: int = 20, models: list[str] | None = None) -> None:
        if models is None:
            models = ["--model", str(site / "model.json"), "--model-name", "ref", "--mmproj",
                      str(site / "projector.bin"), "--asr-model", str(site / "asr.bin"), "--asr-tokenizer",
                      str(site / "tokenizer.json")]
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "tessel_openai_server.kiv_velkor", "serve", "--port", "0", *models, *args],
            env=_env(site, KIV_REFERENCE_DELAY_MS=str(delay_ms)), stderr=subprocess.PIPE, text=True)
        assert self.proc.stderr is not None
        lines = [self.proc.stderr.readline()]
        while lines[-1] and not lines[-1].startswith("Serving "):   # warnings may come first
            lines.append(self.proc.stderr.readline())
        match = re.search(r"http://[\d.]+:(\d+)/v1", lines[-1])
        assert match, "".join(lines) + self.proc.stderr.read()
        self.url = f"http://127.0.0.1:{match[1]}"
        self.client = openai.OpenAI(base_url=self.url + "/v1", api_key="none", max_retries=0, timeout=30)

    def health(self) -> dict:
        with urllib.request.urlopen(self.url + "/health", timeout=5) as response:
            return json.load(response)

    def get(self, path: str) -> tuple[int, dict]:
        try:
            with urllib.request.urlopen(self.url + path, timeout=10) as response:
                return response.status, json.load(response)
        except urllib.error.HTTPError as exc:
            return exc.code, json.load(exc)

    def post(self, path: str, body: bytes, content_type: str = "application/json",
             headers: dict[str, str] | None = None) -> tuple[int, dict]:
        request = urllib.request.Request(self.url + path, data=body,
                                         headers={"Content-Type": content_type, **(headers or {})})
        try:
            with urllib.request.urlopen(request, timeout=10) as response:
                return response.status, json.load(response)
        except urllib.error.HTTPError as exc:
            return exc.code, json.load(exc)

    def stop(self, sig: int = signal.SIGTERM) -> tuple[int, str]:
        self.proc.send_signal(sig)
        return self.wait()

    def wait(self) -> tuple[int, str]:
        _, err = self.proc.communicate(timeout=deadline(30))
        return self.proc.returncode, err


