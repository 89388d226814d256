"""The real modules against the reference runtimes.

The runtimes are built once per session by the reference tests' builder. The
LLM runtime is deployed per test into a directory that ``_velkor`` takes for
its own (its ``__file__`` is pointed there), so each test opens and closes the
library afresh. The speech module loads its runtime once per process and never
lets it go; as other tests may have loaded a fake one already, the speech tests
run in fresh interpreters.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pytest

from support.placement import place_velkor, release_objects
from support.serving import runtimes, write_model  # noqa: F401

from tessel_openai_server.kiv_velkor import _velkor
from tessel_openai_server.kiv_velkor.types import Result, RetStatus, RunStatus


WEATHER_TOOL = {"type": "function", "function": {
    "name": "get_weather", "parameters": {"type": "object", "properties": {"city": {"type": "string"}}}}}
WEATHER_ARGUMENTS = {"city": "Paris", "unit": "celsius"}
LONG_REPLY = " ".join(f"word{i}" for i in range(300))

MODEL = {
    "replies": [
        {"match": "Hello", "reply": "Hello there, this reply comes in pieces of a few words each."},
        {"match": "Grüße", "reply": "Grüße zurück – schön, dich zu sehen! ☀"},
        {"match": "What is the weather in Paris?", "reasoning": "The get_weather tool can tell.",
         "reply": "Let me look that up.", "tool_calls": [{"name": "get_weather", "arguments": WEATHER_ARGUMENTS}],
         "after_tool": "It is sunny in Paris."},
        {"match": "Tell me a long story", "reply": LONG_REPLY},
    ],
}


@pytest.fixture
def model_path(tmp_path: Path) -> Path:
    return write_model(tmp_path, MODEL)


@pytest.fixture
def deployed(tmp_path: Path, runtimes: dict[str, Path], monkeypatch: pytest.MonkeyPatch) -> Iterator[Path]:
    """A package directory holding the reference libvelkor.so, as _velkor sees its own."""
    place_velkor(runtimes["velkor"], tmp_path / "pkg", monkeypatch)
    release_objects()
    yield tmp_path / "pkg"
    release_objects()


@dataclass
class Recorder:
    """What on_token and on_tool_call received."""

    pieces: list[tuple[Result, Any, RunStatus]] = field(default_factory=list)
    tool_calls: list[tuple[str, str, Any]] = field(default_factory=list)
    text_at_tool_call: list[bytes] = field(default_factory=list)
    hook: Callable[[Result], None] | None = None

    def on_token(self, result: Result, userdata: Any, status: RunStatus) -> None:
        self.pieces.append((result, userdata, status))
        if self.hook is not None:
            self.hook(result)

    def on_tool_call(self, name: str, arguments: str, userdata: Any) -> None:
        self.tool_calls.append((name, arguments, userdata))
        self.text_at_tool_call.append(self.streamed(0))

    def streamed(self, content_type: int = 0) -> bytes:
        return b"".join(r.text for r, _, _ in self.pieces if r.content_type == content_type)

    def clear(self) -> None:
        self.pieces.clear()
        self.tool_calls.clear()
        self.text_at_tool_call.clear()


@pytest.fixture
def recorder() -> Recorder:
    return Recorder()


@pytest.fixture
def llm(deployed: Path, model_path: Path, recorder: Recorder) -> Iterator[_velkor.VELKOR]:
    """A VELKOR with a context of the reference runtime, reporting to `recorder`."""
    obj = _velkor.VELKOR()
    assert obj.init(str(model_path), recorder.on_token, recorder.on_tool_call) == RetStatus.SUCCESS
    yield obj
    assert obj.uninit() == RetStatus.SUCCESS
