"""The result and tool-call bridges, driven by the fake runtime from the
calling thread and from native threads the interpreter has never seen."""

from __future__ import annotations

import sys
import threading

import pytest

from tessel_openai_server.kiv_velkor import _velkor
from tessel_openai_server.kiv_velkor.types import Result, RunStatus

THREAD_MODES = ["caller", "thread", "thread-per-callback"]


@pytest.fixture
def recorder(fake):
    events = []
    obj = _velkor.VELKOR()
    obj.init("m", on_token=lambda *a: events.append(("token", a)),
             on_tool_call=lambda *a: events.append(("tool", a)))
    yield obj, events
    obj.uninit()


@pytest.mark.parametrize("mode", THREAD_MODES)
def test_collects_in_arrival_order_on_any_thread(recorder, fake, mode):
    obj, events = recorder
    fake.set_thread_mode(mode)
    fake.result(b"Hel", token_id=1, state=0)
    fake.tool(b"get_weather", b'{"city": "Oslo"}')
    fake.result(b"lo", token_id=2, content_type=0, state=0)
    fake.result(b"why", token_id=3, content_type=1, state=0)
    fake.result(b"<tool>", token_id=4, content_type=2, state=0)
    fake.result(b"!", token_id=5, content_type=7, state=2)
    out = obj.run(userdata=["ud"])
    assert out["text"] == "Hello!" and out["reasoning"] == "why" and out["tool_text"] == "<tool>"
    assert out["token_ids"] == [1, 2, 3, 4, 5] and out["token_count"] == 5
    assert out["status"] is RunStatus.FINISH
    assert out["tool_calls"] == [{"name": "get_weather", "arguments": '{"city": "Oslo"}'}]
    kinds = [e[0] for e in events]
    assert kinds == ["token", "tool", "token", "token", "token", "token"]
    result, userdata, status = events[0][1]
    assert type(result) is Result and result == Result(text=b"Hel", token_id=1, content_type=0)
    assert userdata == ["ud"] and userdata is events[-1][1][1]
    assert status is RunStatus.NORMAL
    assert events[1][1] == ("get_weather", '{"city": "Oslo"}', ["ud"])
    assert events[-1][1][0].content_type == 7


@pytest.mark.parametrize("mode", THREAD_MODES)
def test_null_record_null_text_and_null_userdata(recorder, fake, mode):
    obj, events = recorder
    fake.set_thread_mode(mode)
    fake.result(null_record=True, state=1)
    fake.result(None, token_id=9, content_type=1, state=0)
    fake.result(b"lost", token_id=3, null_userdata=True)
    fake.tool(b"x", b"{}", null_userdata=True)
    fake.tool(None, None)
    out = obj.run()
    assert out["token_ids"] == [0, 9] and out["text"] == "" and out["reasoning"] == ""
    assert out["status"] is RunStatus.NORMAL
    assert out["tool_calls"] == [{"name": "", "arguments": ""}]
    assert events[0][1][0] == Result(text=b"", token_id=0, content_type=0)
    assert events[1][1][0] == Result(text=b"", token_id=9, content_type=1)
    assert events[2] == ("tool", ("", "", None))


def test_invalid_utf8_tool_name_is_kept_raw_and_replaced_for_the_callable(recorder, fake):
    obj, events = recorder
    fake.tool(b"na\xffme", b'{"k": "\xc3"}')
    out = obj.run()
    assert events[0][1][:2] == ("na\ufffdme", '{"k": "\ufffd"}')
    assert out["tool_calls"] == [{"name": "na\ufffdme", "arguments": '{"k": "\ufffd"}'}]


def test_without_callables_everything_is_still_collected(llm, fake):
    fake.set_thread_mode("thread")
    fake.result(b"a", token_id=1)
    fake.tool(b"t", b"{}")
    out = llm.run()
    assert out["text"] == "a" and out["tool_calls"] == [{"name": "t", "arguments": "{}"}]


@pytest.mark.parametrize("mode", THREAD_MODES)
def test_exceptions_in_callbacks_are_printed_and_reported(fake, mode, capfd):
    reports = []
    old_hook = sys.unraisablehook
    # Keep summaries only: the hook's arguments would tie this frame into a cycle.
    sys.unraisablehook = lambda args: reports.append((type(args.exc_value), args.object))
    try:
        def boom(*args):
            raise ValueError("on_token failed")

        def tool_boom(*args):
            raise KeyError("tool failed")

        obj = _velkor.VELKOR()
        obj.init("m", on_token=boom, on_tool_call=tool_boom)
        fake.set_thread_mode(mode)
        for i in range(3):
            fake.result(b"p%d" % i, token_id=i, state=2 if i == 2 else 0)
        fake.tool(b"t", b"{}")
        out = obj.run()
    finally:
        sys.unraisablehook = old_hook
    assert out["text"] == "p0p1p2" and out["token_count"] == 3
    assert out["tool_calls"] == [{"name": "t", "arguments": "{}"}]
    assert reports == [(ValueError, "tessel_openai_server.kiv_velkor._velkor._callback_bridge")] * 3 + [
        (KeyError, "tessel_openai_server.kiv_velkor._velkor._tool_callback_bridge")]
    err = capfd.readouterr().err
    assert err.count("Traceback (most recent call last)") == 4
    assert err.count("ValueError: on_token failed") == 3


def test_rejected_state_loses_only_that_piece(fake, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda args: reports.append(type(args.exc_value)))

    def strict(state):
        if state == 5:
            raise ValueError("unknown state")
        return RunStatus(state)

    monkeypatch.setattr(_velkor, "RunStatus", strict)
    obj = _velkor.VELKOR()
    obj.init("m")
    fake.result(b"a", token_id=1, state=0)
    fake.result(b"b", token_id=2, state=5)
    fake.result(b"c", token_id=3, state=2)
    out = obj.run()
    assert out["text"] == "ac" and out["token_ids"] == [1, 3]
    assert len(reports) == 1


def test_unknown_state_is_a_pseudo_member_not_a_loss(llm, fake):
    fake.result(b"a", state=42)
    out = llm.run()
    assert out["text"] == "a" and out["status"] == 42 and isinstance(out["status"], RunStatus)


def test_replaced_runstatus_is_called_for_every_piece(llm, fake, monkeypatch):
    seen = []
    monkeypatch.setattr(_velkor, "RunStatus", lambda s: seen.append(s) or f"state{s}")
    for _ in range(3):
        fake.result(b"x", state=0)
    out = llm.run()
    assert seen == [0, 0, 0] and out["status"] == "state0"


def test_replaced_result_type_is_used(fake, monkeypatch):
    built = []
    monkeypatch.setattr(_velkor, "Result", lambda **kw: built.append(kw) or kw)
    obj = _velkor.VELKOR()
    got = []
    obj.init("m", on_token=lambda r, u, s: got.append(r))
    fake.result(b"z", token_id=4, content_type=1)
    obj.run()
    assert built == [{"text": b"z", "token_id": 4, "content_type": 1}] and got == built


def test_foreign_threads_leave_no_thread_states_behind(llm, fake):
    import gc
    fake.set_thread_mode("thread-per-callback")
    for _ in range(5):
        fake.result(b"x")
    before = threading.active_count()
    for _ in range(50):
        llm.run()
    gc.collect()
    assert threading.active_count() == before
    assert llm.run()["token_count"] == 5
