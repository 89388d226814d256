"""The real-engine runtimes and their models, as scripts/engines.sh reports them.

The engines stage of scripts/test.sh builds them (or finds them cached) and
exports its output as KIV_ENGINE_<KEY> variables; without them, or under the
sanitizer run (the engines are not built with the sanitizers), every test here
skips. The LLM runtime is deployed once into a directory that ``_velkor``
takes for its own (its ``__file__`` is pointed there per test).
"""

from __future__ import annotations

import os
import shutil
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pytest

from support.placement import look_in, release_objects

from tessel_openai_server.kiv_velkor import _velkor
from tessel_openai_server.kiv_velkor.types import Result, RetStatus, RunStatus

KEYS = ("libvelkor", "libquellan", "llm_model", "asr_model", "asr_dict", "asr_lm")
SANITIZED = "sanitize" in os.environ.get("KIV_TEST_CXXFLAGS", "")
# One compute thread: on a small shared machine more threads than free cores
# slow a decode down by orders of magnitude.
THREADS = {"n_threads": 1}
SYSTEM = {"role": "system", "content": "You are a helpful assistant."}


@pytest.fixture(scope="session")
def engines() -> dict[str, Path]:
    if SANITIZED:
        pytest.skip("the real engines are not built with the sanitizers")
    paths = {key: os.environ.get(f"KIV_ENGINE_{key.upper()}", "") for key in KEYS}
    missing = [key for key, path in paths.items() if not path or not Path(path).exists()]
    if missing:
        pytest.skip(f"real engines not given ({', '.join(missing)}): the engines stage of scripts/test.sh "
                    "runs these tests; by hand: eval \"$(scripts/engines.sh --env)\"")
    return {key: Path(path) for key, path in paths.items()}


@pytest.fixture(scope="session")
def package_dir(engines: dict[str, Path], tmp_path_factory: pytest.TempPathFactory) -> Path:
    directory = tmp_path_factory.mktemp("engine-pkg")
    shutil.copy(engines["libvelkor"], directory / "libvelkor.so")
    return directory


@dataclass
class Recorder:
    """What on_token and on_tool_call received."""

    pieces: list[tuple[Result, RunStatus]] = field(default_factory=list)
    tool_calls: list[tuple[str, str]] = field(default_factory=list)

    def on_token(self, result: Result, userdata: Any, status: RunStatus) -> None:
        self.pieces.append((result, status))

    def on_tool_call(self, name: str, arguments: str, userdata: Any) -> None:
        self.tool_calls.append((name, arguments))

    def streamed(self, content_type: int) -> bytes:
        return b"".join(r.text for r, s in self.pieces if s == RunStatus.NORMAL and r.content_type == content_type)

    def clear(self) -> None:
        self.pieces.clear()
        self.tool_calls.clear()


@pytest.fixture
def recorder() -> Recorder:
    return Recorder()


@pytest.fixture
def llm(package_dir: Path, engines: dict[str, Path], recorder: Recorder,
        monkeypatch: pytest.MonkeyPatch) -> Iterator[_velkor.VELKOR]:
    """A VELKOR with a context of the real LLM runtime (greedy, one thread), reporting to `recorder`."""
    look_in(package_dir, monkeypatch)
    release_objects()
    obj = _velkor.VELKOR()
    assert obj.init(str(engines["llm_model"]), recorder.on_token, recorder.on_tool_call,
                    sampler_params=THREADS) == RetStatus.SUCCESS
    yield obj
    assert obj.uninit() == RetStatus.SUCCESS
    del obj
    release_objects()
