"""VELKOR against the reference LLM runtime: streaming, tool calls, interruption, history, images."""

from __future__ import annotations

import json
import threading
import time

import numpy as np
import pytest

from tessel_openai_server.kiv_velkor import _velkor
from tessel_openai_server.kiv_velkor.types import RetStatus, RunStatus

from .conftest import LONG_REPLY, WEATHER_ARGUMENTS, WEATHER_TOOL

WEATHER = "What is the weather in Paris?"
MARKUP = ('<tool_call>\n{"name": "get_weather", "arguments": ' + json.dumps(WEATHER_ARGUMENTS, separators=(",", ":"))
          + "}\n</tool_call>")


def messages(*contents: str) -> str:
    return json.dumps([{"role": "user", "content": c} for c in contents])


@pytest.mark.parametrize("prompt, options, text", [
    ("Hello", {}, "Hello there, this reply comes in pieces of a few words each."),
    ("Grüße", {}, "Grüße zurück – schön, dich zu sehen! ☀"),
    ("anything else", {}, "You said: anything else"),
    (messages("first", "Hello"), {"messages_mode": True}, "Hello there, this reply comes in pieces of a few words each."),
    ("anything else", {"enable_think": 1}, "You said: anything else"),
])
def test_streamed_reply_equals_the_result(llm, recorder, prompt, options, text):
    userdata = object()
    result = llm.run(prompt, userdata=userdata, **options)

    assert result["text"] == text
    assert recorder.streamed(0).decode() == result["text"]
    assert recorder.streamed(1).decode() == result["reasoning"]
    assert bool(result["reasoning"]) == bool(options.get("enable_think"))
    assert [r.token_id for r, _, _ in recorder.pieces] == result["token_ids"]
    assert result["token_count"] == len(recorder.pieces) > 2
    assert all(u is userdata for _, u, _ in recorder.pieces)
    statuses = [s for _, _, s in recorder.pieces]
    assert statuses[:-1] == [RunStatus.NORMAL] * (len(statuses) - 1)
    assert statuses[-1] is RunStatus.FINISH is result["status"]
    assert result["tool_calls"] == [] and result["tool_text"] == ""


def test_tool_call_arrives_through_the_callback_and_in_the_result(llm, recorder):
    result = llm.run(messages(WEATHER), userdata="request-7", tool_schemas=[WEATHER_TOOL], messages_mode=True)

    assert [(n, json.loads(a), u) for n, a, u in recorder.tool_calls] == [("get_weather", WEATHER_ARGUMENTS,
                                                                           "request-7")]
    assert result["tool_calls"] == [{"name": n, "arguments": a} for n, a, _ in recorder.tool_calls]
    # The answer text is streamed before the runtime reports the call.
    assert recorder.text_at_tool_call == [b"Let me look that up."] and result["text"] == "Let me look that up."

    # The agent loop: the tool's answer goes back and the model replies without calling again.
    conversation = json.loads(messages(WEATHER)) + [
        {"role": "assistant", "content": result["text"], "tool_calls": [
            {"id": "c1", "type": "function", "function": result["tool_calls"][0]}]},
        {"role": "tool", "tool_call_id": "c1", "content": '{"sky": "sunny"}'},
    ]
    recorder.clear()
    final = llm.run(json.dumps(conversation), tool_schemas=[WEATHER_TOOL], messages_mode=True)
    assert final["text"] == "It is sunny in Paris." and final["tool_calls"] == [] and recorder.tool_calls == []


@pytest.mark.parametrize("configure, markup, calls", [
    (None, "", 1),                      # init() registers the callback with stop_output 1
    ((True, 1), "", 1),
    ((True, 0), MARKUP, 1),
    ((False, 0), MARKUP, 0),            # no callback: the markup is the only trace of the call
])
def test_stop_output_decides_whether_the_markup_is_streamed(llm, recorder, configure, markup, calls):
    if configure is not None:
        assert llm.set_toolcall_callback(*configure) == RetStatus.SUCCESS
    result = llm.run(messages(WEATHER), tool_schemas=[WEATHER_TOOL], messages_mode=True)

    assert result["tool_text"] == markup
    assert recorder.streamed(2).decode() == markup
    assert result["text"] == "Let me look that up."
    assert len(result["tool_calls"]) == len(recorder.tool_calls) == calls


def test_interrupt_from_a_worker_thread(deployed, tmp_path, recorder, monkeypatch):
    model = tmp_path / "slow.json"
    model.write_text(json.dumps({"delay_ms": 20, "replies": [{"match": "Tell me a long story", "reply": LONG_REPLY}]}))
    monkeypatch.delenv("KIV_REFERENCE_DELAY_MS", raising=False)
    llm = _velkor.VELKOR()
    assert llm.init(str(model), recorder.on_token) == RetStatus.SUCCESS
    first_piece = threading.Event()
    recorder.hook = lambda result: first_piece.set()
    interrupted: dict[str, object] = {}

    def worker():
        assert first_piece.wait(10)
        time.sleep(0.1)
        interrupted["pieces"] = len(recorder.pieces)
        interrupted["rc"] = llm.interrupt()

    thread = threading.Thread(target=worker)
    thread.start()
    started = time.monotonic()
    result = llm.run("Tell me a long story")     # returns normally: no KeyboardInterrupt
    elapsed = time.monotonic() - started
    thread.join()

    assert interrupted["rc"] == RetStatus.SUCCESS
    assert result["status"] == RunStatus.FINISH
    assert result["text"] and LONG_REPLY.startswith(result["text"]) and len(result["text"]) < len(LONG_REPLY) / 2
    # The runtime stops within one piece; the last callback is the closing FINISH.
    assert result["token_count"] <= interrupted["pieces"] + 2
    assert elapsed < 5
    # The next run is not affected by the break.
    recorder.hook = None
    monkeypatch.setenv("KIV_REFERENCE_DELAY_MS", "0")
    assert llm.run("Tell me a long story")["text"] == LONG_REPLY
    llm.uninit()


@pytest.mark.parametrize("forget", [
    lambda llm: llm.reset() == RetStatus.SUCCESS,
    lambda llm: llm.run("in between", retain_history=0)["text"] == "You said: in between",
], ids=["reset", "run-without-history"])
def test_history_kept_until_dropped(llm, forget):
    assert llm.run("one", retain_history=1)["text"] == "You said: one (turn 1)"
    assert llm.run("two", retain_history=1)["text"] == "You said: two (turn 2)"
    assert forget(llm)
    assert llm.run("three", retain_history=1)["text"] == "You said: three (turn 1)"


def test_images_reach_the_runtime(deployed, model_path, tmp_path, recorder):
    projector = tmp_path / "projector.bin"
    projector.write_bytes(b"\0")
    llm = _velkor.VELKOR()
    assert llm.init(str(model_path), recorder.on_token, mmproj_path=str(projector)) == RetStatus.SUCCESS
    assert llm.mmproj_model and llm.vision_metadata["projector_type"] == "reference"
    assert (llm.vision_metadata["model_width"], llm.vision_metadata["model_height"]) == (448, 448)

    gradient = np.linspace(0.0, 1.0, 3 * 24 * 40, dtype=np.float32).reshape(3, 24, 40)    # CHW floats
    packed = _velkor.as_rgb888(np.zeros((16, 32, 4), dtype=np.uint8))                      # RGBA
    result = llm.run("Hello <|image_pad|>", images=[gradient, packed])
    assert result["text"].startswith("I see 2 images (40x24, 32x16).")
    assert recorder.streamed(0).decode() == result["text"]
    llm.uninit()


def test_images_need_a_projector(llm):
    with pytest.raises(RuntimeError, match="mmproj not initialized"):
        llm.run("Hello", images=[np.zeros((8, 8, 3), dtype=np.uint8)])


def test_init_reports_a_missing_model(deployed, tmp_path):
    llm = _velkor.VELKOR()
    assert llm.init(str(tmp_path / "missing.json")) == RetStatus.FAILED
    assert llm.context is None
    with pytest.raises(RuntimeError, match="not been initialized"):
        llm.run("Hello")
