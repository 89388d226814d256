"""run(): the result dict, interruption from another thread, and refusal of
concurrent use of one object."""

from __future__ import annotations

import gc
import sys
import threading
import time
import weakref

import numpy as np
import pytest

from tessel_openai_server.kiv_velkor import _velkor
from tessel_openai_server.kiv_velkor.types import RetStatus, RunStatus

KEYS = ["text", "reasoning", "tool_text", "token_ids", "status", "token_count", "tool_calls"]


def test_nothing_delivered(llm, fake):
    out = llm.run("x")
    assert list(out) == KEYS
    assert out == {"text": "", "reasoning": "", "tool_text": "", "token_ids": [], "status": RunStatus.ERROR,
                   "token_count": 0, "tool_calls": []}


def test_split_utf8_is_joined_and_invalid_bytes_replaced(llm, fake):
    euro = "€".encode()
    fake.result(euro[:1], token_id=1)
    fake.result(euro[1:], token_id=2)
    fake.result(b"\xff!", token_id=3, state=2)
    fake.result("é".encode()[:1], content_type=1)
    fake.result("é".encode()[1:], content_type=1)
    out = llm.run()
    assert out["text"] == "€\ufffd!" and out["reasoning"] == "é"
    assert out["status"] is RunStatus.NORMAL  # the state of the last callback


def test_status_of_the_last_callback_and_fresh_lists(llm, fake):
    fake.result(b"a", state=2)
    fake.result(b"b", state=0)
    out = llm.run()
    assert out["status"] is RunStatus.NORMAL
    ids = out["token_ids"]
    ids.append(99)
    again = llm.run()
    assert again["token_ids"] == [0, 0] and ids == [0, 0, 99]


def test_userdata_is_kept_until_the_next_run(llm, fake):
    class Data:
        pass
    data = Data()
    ref = weakref.ref(data)
    llm.run(userdata=data)
    del data
    gc.collect()
    assert ref() is not None
    llm.run()
    gc.collect()
    assert ref() is None


def test_userdata_released_by_uninit(fake):
    class Data:
        pass
    obj = _velkor.VELKOR()
    obj.init("m")
    data = Data()
    ref = weakref.ref(data)
    obj.run(userdata=data)
    del data
    obj.uninit()
    gc.collect()
    assert ref() is None


def start_streaming_run(obj, fake, **run_kwargs):
    """Starts a run on a worker thread that streams until broken off."""
    fake.stream(b"tok ", state=0, sleep_us=2000, final_state=2)
    box = {}

    def worker():
        try:
            box["result"] = obj.run("go", **run_kwargs)
        except BaseException as exc:  # noqa: BLE001
            box["error"] = exc

    thread = threading.Thread(target=worker)
    thread.start()
    deadline = time.monotonic() + 10
    while fake.pieces_streamed < 2:
        assert time.monotonic() < deadline, "the run did not start"
        time.sleep(0.001)
    return thread, box


def test_interrupt_from_another_thread_returns_a_normal_dict(llm, fake):
    thread, box = start_streaming_run(llm, fake)
    assert llm.interrupt() is RetStatus.SUCCESS
    thread.join(10)
    assert not thread.is_alive()
    out = box["result"]
    assert out["status"] is RunStatus.FINISH
    assert out["text"].startswith("tok tok ")
    assert out["token_count"] == fake.pieces_streamed + 1


CONCURRENT_CALLS = [
    ("run", lambda o: o.run("again")),
    ("init", lambda o: o.init("other")),
    ("uninit", lambda o: o.uninit()),
    ("reset", lambda o: o.reset()),
    ("set_chat_template", lambda o: o.set_chat_template("a", "b", "c")),
    ("set_chat_template_jinja", lambda o: o.set_chat_template_jinja("t")),
    ("set_toolcall_callback", lambda o: o.set_toolcall_callback(True, 1)),
]


@pytest.mark.parametrize("name, call", CONCURRENT_CALLS, ids=[c[0] for c in CONCURRENT_CALLS])
def test_concurrent_use_of_one_object_is_refused(llm, fake, name, call):
    thread, box = start_streaming_run(llm, fake)
    try:
        calls_before = len(fake.calls())
        with pytest.raises(RuntimeError, match="in progress"):
            call(llm)
        refused_reached_runtime = [c.name for c in fake.calls()[calls_before:]
                                   if c.name not in ("kiv_llm_break",)]
        assert refused_reached_runtime == []
    finally:
        llm.interrupt()
        thread.join(10)
    assert "result" in box
    assert llm.context is not None
    fake.lib.fake_script_clear()
    assert llm.run()["status"] is RunStatus.ERROR  # usable again afterwards


def test_other_objects_are_independent_during_a_run(llm, fake):
    other = _velkor.VELKOR()
    other.init("m2")
    thread, box = start_streaming_run(llm, fake)
    try:
        assert other.reset() is RetStatus.SUCCESS
    finally:
        llm.interrupt()
        thread.join(10)
    other.uninit()


def test_callback_cannot_reenter_its_own_object(fake):
    errors = []
    obj = _velkor.VELKOR()

    def on_token(result, userdata, status):
        try:
            obj.uninit()
        except RuntimeError as exc:
            errors.append(str(exc))

    obj.init("m", on_token=on_token)
    fake.result(b"x")
    obj.run()
    assert len(errors) == 1 and "in progress" in errors[0]
    assert obj.context is not None
    obj.uninit()


def test_image_request_result_and_keepalive(fake):
    obj = _velkor.VELKOR()
    obj.init("m", mmproj_path="p")
    fake.result(b"seen", state=2)
    img = np.zeros((2, 2, 3), np.uint8)
    before = sys.getrefcount(img)
    out = obj.run("<|image_pad|>", images=[img])
    assert out["text"] == "seen"
    assert sys.getrefcount(img) == before  # no reference kept after the run

