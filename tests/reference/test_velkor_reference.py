"""The reference LLM runtime, called through ctypes as the module calls it."""

from __future__ import annotations

import ctypes
import subprocess
import threading
import time
from ctypes import byref, c_void_p

import pytest

from .refrt import (ANSWER, ERROR, FINISH, NORMAL, REASONING, TOOL, TOOL_CB, Llm, VisionInfo,
                    run_refused_from_a_callback, tool)

# An assertion that fails inside a callback must fail the test.
pytestmark = pytest.mark.filterwarnings("error::pytest.PytestUnraisableExceptionWarning")

WEATHER_ARGS = '{"city":"Paris"}'
MODEL = {
    "description": "test model",
    "replies": [
        {"match": "Hello there", "reply": "General greetings to you, traveller."},
        {"match": "weather?", "reasoning": "Need the tool.", "reply": "Checking.",
         "tool_calls": [{"name": "get_weather", "arguments": {"city": "Paris"}}], "after_tool": "Sunny."},
        {"match": "only tool", "tool_calls": [{"name": "lookup", "arguments": '{"q": "x"}'}]},
        {"match": "grüße", "reply": "Grüße 👋 aus Köln, ganz herzlich"},
    ],
}
LONG = " ".join(f"word{i}" for i in range(60))


@pytest.fixture
def llm(velkor, model_file):
    ctx = Llm(velkor, model_file(MODEL))
    assert ctx.rc == 0 and ctx.handle
    yield ctx
    ctx.close()


@pytest.fixture
def vision_llm(velkor, model_file, tmp_path):
    (tmp_path / "mmproj.bin").write_bytes(b"\0")
    ctx = Llm(velkor, model_file(MODEL), mmproj=tmp_path / "mmproj.bin")
    yield ctx
    ctx.close()


# --- initialisation ------------------------------------------------------------

@pytest.mark.parametrize("content", [
    None,                                   # no path at all
    "missing",                              # a path that does not exist
    "directory",
    b"not json",
    b'{"replies": [{"match": "a", "reply": "b", "tool_call": []}]}',      # misspelt key
    b'{"replies": [{"match": "a", "tool_calls": [{"name": "f", "arguments": "{oops"}]}]}',
    b'{"delay_ms": -5}',
    b'\xff\xfe{}',
])
def test_init_fails_without_a_usable_model(velkor, tmp_path, content):
    if content is None:
        path = None
    elif content == "missing":
        path = tmp_path / "nope.json"
    elif content == "directory":
        path = tmp_path
    else:
        path = tmp_path / "model.json"
        path.write_bytes(content)
    ctx = Llm(velkor, path)
    assert ctx.rc == 1
    assert not ctx.handle


def test_init_fails_for_a_missing_projector(velkor, model_file, tmp_path):
    ctx = Llm(velkor, model_file(MODEL), mmproj=tmp_path / "absent.gguf")
    assert (ctx.rc, ctx.handle.value) == (1, None)


def test_init_accepts_the_example_model(velkor, model_file):
    ctx = Llm(velkor, model_file())
    assert ctx.rc == 0
    assert ctx.run("hello").text.startswith("Hello! I am the reference runtime.")
    ctx.close()


@pytest.mark.parametrize("call", [
    lambda lib, h: lib.kiv_llm_uninit(h),
    lambda lib, h: lib.kiv_llm_run(h, None, None, None),
    lambda lib, h: lib.kiv_llm_reset(h),
    lambda lib, h: lib.kiv_llm_break(h),
    lambda lib, h: lib.kiv_llm_set_chat_template(h, b"a", b"b", b"c"),
    lambda lib, h: lib.kiv_llm_set_chat_template_jinja(h, b"{{x}}"),
    lambda lib, h: lib.kiv_llm_set_toolcall_callback(h, TOOL_CB(), 0),
    lambda lib, h: lib.kiv_llm_get_vision_info(h, byref(VisionInfo())),
])
@pytest.mark.parametrize("handle", ["null", "released"])
def test_entry_points_refuse_a_null_or_released_handle(velkor, model_file, call, handle):
    if handle == "null":
        h = c_void_p()
    else:
        ctx = Llm(velkor, model_file(MODEL))
        h = c_void_p(ctx.handle.value)
        assert velkor.kiv_llm_uninit(h) == 0
    assert call(velkor, h) == 1


# --- streaming -----------------------------------------------------------------

@pytest.mark.parametrize("prompt, reply", [
    ("Hello there", "General greetings to you, traveller."),
    ("  hello \n  THERE ", "General greetings to you, traveller."),     # normalised match
    ("GRÜSSE", None),                                                   # only ASCII letters fold
    ("grüße", "Grüße 👋 aus Köln, ganz herzlich"),
])
def test_canned_reply_streams_piece_by_piece(llm, prompt, reply):
    run = llm.run(prompt)
    expected = reply if reply is not None else f"You said: {prompt}"
    assert run.rc == 0
    assert run.text == expected
    assert len(run.pieces) >= 3
    assert all(e.content_type == ANSWER and e.token_id > 0 for e in run.pieces)
    for e in run.pieces:
        e.text.decode()  # no piece ends inside a character
    assert [e.state for e in run.events] == [NORMAL] * len(run.pieces) + [FINISH]
    assert (run.final.text, run.final.token_id) == (b"", 0)
    assert len({e.userdata for e in run.events}) == 1
    assert [e.token_id for e in llm.run(prompt).pieces] == [e.token_id for e in run.pieces]


@pytest.mark.parametrize("prompt, reply", [
    ("What is 2+2?", "You said: What is 2+2?"),
    ("  padded\n", "You said: padded"),
    ("", "I received an empty prompt."),
    (None, "I received an empty prompt."),
])
def test_fallback_rule(llm, prompt, reply):
    assert llm.run(prompt).text == reply


def test_chat_template_wraps_plain_prompts(llm):
    assert llm.lib.kiv_llm_set_chat_template(llm.handle, b"SYS ", b"<u>", b"</u>") == 0
    assert llm.run("hi").text == "You said: SYS <u>hi</u>"
    # the system prompt opens a conversation only once
    assert llm.run("one", retain=1).text == "You said: SYS <u>one</u> (turn 1)"
    assert llm.run("two", retain=1).text == "You said: <u>two</u> (turn 2)"
    # canned replies match the user's text, and messages do not use the template
    assert llm.run("Hello there").text == "General greetings to you, traveller."
    assert llm.run([{"role": "user", "content": "hi"}]).text == "You said: hi"
    assert llm.lib.kiv_llm_set_chat_template(llm.handle, None, None, None) == 0
    assert llm.run("hi").text == "You said: hi"


@pytest.mark.parametrize("messages, reply", [
    ([{"role": "system", "content": "Be brief."}, {"role": "user", "content": "Hello there"}],
     "General greetings to you, traveller."),
    ([{"role": "user", "content": [{"type": "text", "text": "What"}, {"type": "image_url", "image_url": {}},
                                   {"type": "text", "text": "now?"}]}], "You said: What now?"),
    ([{"role": "user", "content": "first"}, {"role": "assistant", "content": "ok"}], "You said: first"),
    ([{"role": "assistant", "content": None}], "I received an empty prompt."),
    ({"messages": [{"role": "user", "content": "wrapped"}]}, "You said: wrapped"),
])
def test_messages_use_the_last_user_message(llm, messages, reply):
    import json
    run = llm.run(json.dumps(messages), kind=3)
    assert (run.rc, run.text) == (0, reply)


@pytest.mark.parametrize("question, result, reply", [
    ("weather?", "18 degrees", "Sunny."),
    ("anything", " 18 degrees ", "The tool returned: 18 degrees"),
])
def test_a_tool_result_is_answered_without_calling_again(llm, question, result, reply):
    llm.set_tool_callback(stop_output=0)
    run = llm.run([{"role": "user", "content": question},
                   {"role": "assistant", "content": None, "tool_calls": []},
                   {"role": "tool", "content": result}], tools=[tool("get_weather")])
    assert run.text == reply
    assert run.tool_calls == [] and run.joined(TOOL) == ""


@pytest.mark.parametrize("kwargs, reason", [
    ({"prompt": "hi", "kind": 7}, "input type 7"),
    ({"prompt": "not json", "kind": 3}, "not valid JSON"),
    ({"prompt": '{"role": "user"}', "kind": 3}, "JSON array"),
    ({"prompt": '[{"content": "x"}]', "kind": 3}, "role"),
    ({"prompt": '[{"role": "user", "content": 5}]', "kind": 3}, "content"),
    ({"prompt": "hi", "run_mode": 1}, "run mode 1"),
    ({"prompt": "hi", "tools": "[oops"}, "tool schemas"),
    ({"prompt": "hi", "tools": '{"a": 1}'}, "tool schemas"),
    ({"prompt": "hi", "images": [(4, 4)]}, "vision projector"),
    ({"prompt": b"caf\xe9"}, "UTF-8"),
])
def test_bad_input_ends_with_one_error(llm, kwargs, reason):
    run = llm.run(**kwargs)
    assert run.rc == 1
    assert [e.state for e in run.events] == [ERROR]
    assert reason in run.final.text.decode()
    assert llm.run("Hello there").final.state == FINISH  # the context is still usable


# --- reasoning and tools -------------------------------------------------------

def test_reasoning_only_when_thinking(llm):
    run = llm.run("weather?", think=1)
    assert run.joined(REASONING) == "Need the tool."
    assert run.text == "Checking."
    types = [e.content_type for e in run.pieces]
    assert types == sorted(types, key=lambda t: t != REASONING)  # reasoning comes first
    assert llm.run("weather?", think=0).joined(REASONING) == ""
    assert llm.run("Hello there", think=1).joined(REASONING) == ""  # the entry has none
    assert llm.run("three little words", think=1).joined(REASONING) == "The last user message has 3 words."


MARKUP = '<tool_call>\n{"name": "get_weather", "arguments": ' + WEATHER_ARGS + '}\n</tool_call>'


@pytest.mark.parametrize("callback, stop_output, markup, calls", [
    (True, 0, MARKUP, [("get_weather", WEATHER_ARGS)]),
    (True, 1, "", [("get_weather", WEATHER_ARGS)]),
    (True, 2, "", [("get_weather", WEATHER_ARGS)]),
    (False, 1, MARKUP, []),                       # without a callback the markup always stays
])
def test_tool_call_paths(llm, callback, stop_output, markup, calls):
    assert llm.set_tool_callback(callback, stop_output) == 0
    run = llm.run([{"role": "user", "content": "weather?"}], tools=[tool("other"), tool("get_weather")])
    assert run.text == "Checking."
    assert run.joined(TOOL) == markup
    assert run.tool_calls == calls
    if markup and calls:
        assert run.order.index("call") > max(i for i, o in enumerate(run.order) if o == f"piece:{TOOL}")
    assert run.final.state == FINISH


@pytest.mark.parametrize("tools", [None, [tool("other")], [{"name": "get_weather_v2"}]])
def test_no_tool_call_unless_the_tool_is_offered(llm, tools):
    llm.set_tool_callback(stop_output=0)
    run = llm.run("weather?", tools=tools)
    assert (run.text, run.joined(TOOL), run.tool_calls) == ("Checking.", "", [])


def test_a_reply_that_is_only_a_tool_call(llm):
    llm.set_tool_callback(stop_output=1)
    run = llm.run("only tool", tools=[{"name": "lookup"}])          # a bare {"name"} tool counts too
    assert (run.text, run.tool_calls) == ("", [("lookup", '{"q": "x"}')])
    assert llm.run("only tool").text == "You said: only tool"        # nothing to call: the fallback rule


# --- break, history, concurrency -----------------------------------------------

def test_break_from_the_callback_stops_after_that_piece(llm):
    seen = []

    def on_event(ev):
        seen.append(ev)
        if len(seen) == 2:
            assert llm.lib.kiv_llm_break(llm.handle) == 0
    run = llm.run(LONG, on_event=on_event)
    assert len(run.pieces) == 2
    assert run.final.state == FINISH and run.rc == 0


def test_break_from_another_thread_during_a_delay(llm, monkeypatch):
    monkeypatch.setenv("KIV_REFERENCE_DELAY_MS", "200")
    first = threading.Event()
    broke = threading.Thread(target=lambda: (first.wait(10), llm.lib.kiv_llm_break(llm.handle)))
    broke.start()
    start = time.monotonic()
    run = llm.run(LONG, on_event=lambda ev: first.set())
    broke.join()
    assert time.monotonic() - start < 2.0                  # 61 pieces would take 12 s
    assert len(run.pieces) <= 2 and run.final.state == FINISH


def test_a_break_between_runs_is_dropped(llm):
    assert llm.lib.kiv_llm_break(llm.handle) == 0
    assert llm.run(LONG).text == f"You said: {LONG}"


def test_history_is_kept_until_reset(llm):
    assert llm.run("a", retain=1).text == "You said: a (turn 1)"
    assert llm.run("b", retain=1).text == "You said: b (turn 2)"
    assert llm.lib.kiv_llm_reset(llm.handle) == 0
    assert llm.run("c", retain=1).text == "You said: c (turn 1)"
    assert llm.run("d", retain=0).text == "You said: d"       # a run without history starts afresh
    assert llm.run("e", retain=1).text == "You said: e (turn 1)"


def test_busy_context_refuses_a_second_run_and_uninit_ends_the_first(velkor, model_file, monkeypatch):
    monkeypatch.setenv("KIV_REFERENCE_DELAY_MS", "50")
    ctx = Llm(velkor, model_file(MODEL))
    started, results = threading.Event(), {}
    t = threading.Thread(target=lambda: results.update(run=ctx.run(LONG, on_event=lambda ev: started.set())))
    t.start()
    assert started.wait(10)
    second = ctx.run("hi")
    assert second.rc == 1 and [e.state for e in second.events] == [ERROR]
    assert velkor.kiv_llm_uninit(ctx.handle) == 0           # the run holds the context until it returns
    t.join(5)
    assert not t.is_alive() and results["run"].final.state == FINISH


def test_a_refused_run_calls_back_without_holding_the_context(llm):
    refused, codes = run_refused_from_a_callback(llm, LONG)
    assert refused.rc == 1 and [e.state for e in refused.events] == [ERROR]
    assert refused.final.text == b"another run is in progress on this context"
    assert codes == [0, 0, 0]


def test_delay_from_the_environment_overrides_the_model(velkor, model_file, monkeypatch):
    ctx = Llm(velkor, model_file({"delay_ms": 2000}))
    for env, low, high in (("0", 0, 1.0), ("30", 0.03 * 3, 10)):     # "one two three": three pieces
        monkeypatch.setenv("KIV_REFERENCE_DELAY_MS", env)
        start = time.monotonic()
        ctx.run("one two three")
        assert low <= time.monotonic() - start < high
    ctx.close()


# --- images and vision ---------------------------------------------------------

@pytest.mark.parametrize("kwargs, reply", [
    ({"prompt": "Describe <s><img><e> this", "kind": 3, "markers": ("<s>", "<e>", "<img>"),
      "images": [(640, 480)]}, "I see 1 image (640x480). You said: Describe this"),
    ({"prompt": [{"role": "user", "content": "Hello there"}], "images": [(640, 480), (32, 16)]},
     "I see 2 images (640x480, 32x16). General greetings to you, traveller."),
    ({"prompt": "", "kind": 3, "images": [(1, 1)]}, "I see 1 image (1x1). I received an empty prompt."),
])
def test_images_are_acknowledged(vision_llm, kwargs, reply):
    assert vision_llm.run(**kwargs).text == reply


def test_vision_info_with_and_without_projector(vision_llm, llm):
    info = VisionInfo()
    ctypes.memset(byref(info), 0x55, ctypes.sizeof(info))
    assert vision_llm.lib.kiv_llm_get_vision_info(vision_llm.handle, byref(info)) == 0
    assert (info.has_metadata, info.n_inputs, info.patch_size, info.spatial_merge_size) == (1, 1, 14, 2)
    assert info.projector_type == b"reference"
    assert all(0 < v < 1 for v in [*info.image_mean, *info.image_std])
    height = ctypes.c_int32.from_address(info.inputs + 136).value
    width = ctypes.c_int32.from_address(info.inputs + 140).value
    assert (height, width) == (448, 448)
    assert llm.lib.kiv_llm_get_vision_info(llm.handle, byref(VisionInfo())) == 1
    assert vision_llm.lib.kiv_llm_get_vision_info(vision_llm.handle, None) == 1


# --- the libraries' interface --------------------------------------------------

@pytest.mark.parametrize("name, prefix, count", [("velkor", "kiv_llm_", 9), ("quellan", "kiv_asr_", 4)])
def test_only_the_entry_points_are_exported(runtimes, name, prefix, count):
    out = subprocess.run(["nm", "-D", "--defined-only", str(runtimes[name])], capture_output=True, text=True,
                         check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert len(symbols) == count and all(s.startswith(prefix) for s in symbols), symbols
