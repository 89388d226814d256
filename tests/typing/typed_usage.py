"""A typed use of the package, checked with ``mypy --strict`` against the
installed stubs and never run. Lines that must be refused carry
``# type: ignore[code]``: strict mode reports an ignore that is not needed, so
each one proves the stubs reject that mistake."""

from __future__ import annotations

import json
import threading
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from tessel_openai_server.kiv_velkor._quellan import Quellan, find_quellan_path
from tessel_openai_server.kiv_velkor._velkor import VELKOR, as_rgb888
from tessel_openai_server.kiv_velkor.types import Result, RetStatus, RunMode, RunStatus, SamplingMode

if TYPE_CHECKING:
    from tessel_openai_server.kiv_velkor._quellan import Transcript
    from tessel_openai_server.kiv_velkor._velkor import RunResult, ToolCall


class Request:
    def __init__(self) -> None:
        self.pieces: list[bytes] = []
        self.calls: list[tuple[str, dict[str, Any]]] = []


def on_token(result: Result, userdata: Any, status: RunStatus) -> None:
    request: Request = userdata
    if not result.is_reasoning and status is RunStatus.NORMAL:
        request.pieces.append(result.text)


def on_tool_call(name: str, arguments: str, userdata: Any) -> None:
    request: Request = userdata
    request.calls.append((name, json.loads(arguments)))


def chat(llm: VELKOR, messages: list[dict[str, Any]], tools: list[dict[str, Any]]) -> tuple[str, list[ToolCall]]:
    request = Request()
    result: RunResult = llm.run(json.dumps(messages), userdata=request, tool_schemas=tools, messages_mode=True,
                                sampling_mode="top_p", top_p=0.9, temperature=0.7, enable_think=1)
    text: str = result["text"]
    ids: list[int] = result["token_ids"]
    status: RunStatus = result["status"]
    assert result["token_count"] == len(ids) and status in (RunStatus.FINISH, RunStatus.ERROR)
    return text, result["tool_calls"]


def serve(model: Path, projector: Path | None) -> None:
    llm = VELKOR()
    rc: RetStatus = llm.init(str(model), on_token, on_tool_call, SamplingMode.TOP_K, {"top_k": 40},
                             mmproj_path=str(projector) if projector else None)
    if rc != RetStatus.SUCCESS:
        return
    llm.set_chat_template("You are terse.", None, "")
    llm.set_toolcall_callback(True, stop_output=0)
    text, calls = chat(llm, [{"role": "user", "content": "Hi"}], [{"type": "function", "function": {"name": "f"}}])
    name: str = calls[0]["name"] if calls else text
    print(name)

    image = as_rgb888(np.zeros((3, 32, 32), dtype=np.float32))
    width: int = image.shape[1]
    frames = [image, np.ones((8, 8, 3))]
    llm.run("Look <|image_pad|>", images=frames, run_mode=RunMode.GENERATE, retain_history=True)
    meta: dict[str, Any] = llm.vision_metadata
    handle: int | None = llm.context
    print(width, meta, handle, llm.mmproj_model)

    worker = threading.Timer(1.0, llm.interrupt)
    worker.start()
    llm.run("a long one")
    llm.reset()
    llm.uninit()
    llm._restore_sigint_handler()

    # Mistakes the stubs refuse.
    llm.run(b"bytes are no prompt")  # type: ignore[arg-type]
    llm.run("x", images=(image,))  # type: ignore[arg-type]
    llm.run("x", run_mode=0)  # type: ignore[arg-type]
    llm.init(model)  # type: ignore[arg-type]
    llm.init("m", on_token=on_tool_call)  # type: ignore[arg-type]
    llm.run("x")["txt"]  # type: ignore[typeddict-item]
    llm.run("x")["status"].upper()  # type: ignore[attr-defined]
    llm.context = 5  # type: ignore[misc]
    VELKOR(1)  # type: ignore[call-arg]


def transcribe(wav: Path, model: Path) -> str:
    print(find_quellan_path().upper())
    recogniser = Quellan(find_quellan_path())
    recogniser.init("whisper", model, str(model), decoder_path=None, extra_json=b'{"beam": 2}')
    result: Transcript = recogniser.transcribe(wav, language="de")
    recogniser.transcribe(str(wav), b"en", task=None)
    recogniser.close()

    recogniser.init("whisper", model, model, extra_json={"beam": 2})  # type: ignore[arg-type]
    recogniser.transcribe(wav)["lang"]  # type: ignore[typeddict-item]
    recogniser.transcribe(wav, language=1)  # type: ignore[arg-type]
    Quellan(3)  # type: ignore[arg-type]
    return result["text"] + result["language"]
