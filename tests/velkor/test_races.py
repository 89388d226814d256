"""Python code that runs between a method's check and its runtime call, two
threads on one object, and interrupt() racing the start of a run: the runtime
never receives a released or NULL handle, no context leaks, and a break asked
for while a run is prepared stops that run (and only that run)."""

from __future__ import annotations

import sys
import threading

import pytest

from tessel_openai_server.kiv_velkor import _velkor
from tessel_openai_server.kiv_velkor.types import RetStatus


@pytest.fixture
def unraisable(monkeypatch):
    seen: list[BaseException] = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_value))
    return seen


class CallsBack:
    """Runs `action(obj)` when it is dropped or tested for truth."""

    def __init__(self, obj, action):
        self.obj, self.action = obj, action

    def __del__(self):
        self.action(self.obj)

    def __bool__(self):
        self.action(self.obj)
        return True


@pytest.mark.parametrize("action", [lambda o: o.uninit(), lambda o: o.init("other"), lambda o: o.run("again")],
                         ids=["uninit", "init", "run"])
def test_a_del_that_calls_back_while_run_prepares_is_refused(fake, llm, unraisable, action):
    """run(userdata=...) drops the last run's userdata after its checks; its
    __del__ calling back into the object is refused, and the run goes to the
    live context."""
    fake.result(b"a", state=2)
    llm.run("x", userdata=CallsBack(llm, action))
    context = llm.context
    assert llm.run("y")["text"] == "a"
    assert [type(e) for e in unraisable] == [RuntimeError]
    assert "VELKOR.run() is in progress" in str(unraisable[0])
    assert llm.context == context and fake.stale_calls == 0 and fake.live_contexts == 1


def test_init_refuses_calls_from_the_dels_of_the_earlier_callbacks(fake, unraisable):
    obj = _velkor.VELKOR()
    obj.init("m", on_token=CallsBack(obj, lambda o: o.run("x")))
    assert obj.init("m2") == RetStatus.SUCCESS
    assert [str(e) for e in unraisable] == [
        "VELKOR.init() is in progress on this object; wait for it to return"]
    assert fake.live_contexts == 1 and fake.names().count("kiv_llm_run") == 0
    obj.uninit()
    assert fake.live_contexts == 0 and fake.stale_calls == 0


def test_set_toolcall_callback_checks_the_context_after_enabled_is_tested(fake, llm):
    """enabled.__bool__ releases the context: the runtime is not called."""
    with pytest.raises(RuntimeError, match="has not been initialized"):
        llm.set_toolcall_callback(CallsBack(llm, lambda o: o.uninit()))
    calls = fake.calls("kiv_llm_set_toolcall_callback")
    assert len(calls) == 1 and fake.stale_calls == 0    # only the one init made


def test_two_threads_initialising_one_object(fake):
    """The second init, and every other call but the properties, is refused
    while the first runs; exactly one context is made and it is released."""
    fake.set_init_delay(0.3)
    obj = _velkor.VELKOR()
    results = []
    first = threading.Thread(target=lambda: results.append(obj.init("m")))
    first.start()
    while first.is_alive():      # until the first init is in progress
        try:
            obj.uninit()
        except RuntimeError:
            break
    refused = []
    for call in (lambda: obj.init("m"), obj.run, obj.uninit, obj.reset, obj.interrupt,
                 lambda: obj.set_chat_template("", "", ""), lambda: obj.set_chat_template_jinja(""),
                 obj.set_toolcall_callback):
        with pytest.raises(RuntimeError) as raised:
            call()
        refused.append(str(raised.value))
    first.join()
    assert results == [RetStatus.SUCCESS]
    assert set(refused) == {"VELKOR.init() is in progress on this object; wait for it to return"}
    assert fake.names().count("kiv_llm_init") == 1 and fake.live_contexts == 1
    obj.uninit()
    assert fake.live_contexts == 0


class StallingTools(list):
    """tool_schemas whose len() lets another thread act while run() prepares."""

    def __init__(self, entered, proceed):
        super().__init__([{"type": "function", "function": {"name": "f"}}])
        self.entered, self.proceed = entered, proceed

    def __len__(self):
        self.entered.set()
        self.proceed.wait(10)
        return super().__len__()


@pytest.mark.parametrize("model", ["caller", "worker-per-context"])
def test_interrupt_while_run_prepares_stops_that_run(fake, model):
    """The runtime forgets a break that comes before its run starts; the
    module repeats it once the run has, so the run stops at its first piece."""
    fake.set_thread_mode(model)
    fake.stream(b"x", max_pieces=500, sleep_us=500)
    obj = _velkor.VELKOR()
    obj.init("m")
    entered, proceed = threading.Event(), threading.Event()
    statuses = []

    def cancel():
        entered.wait(10)
        statuses.append(obj.interrupt())
        proceed.set()

    canceller = threading.Thread(target=cancel)
    canceller.start()
    out = obj.run("x", tool_schemas=StallingTools(entered, proceed))
    canceller.join()
    assert statuses == [RetStatus.SUCCESS]
    assert out["token_count"] <= 1 and fake.pieces_streamed <= 1

    # Nothing of it is left for the next run, nor of an interrupt() made
    # between runs.
    assert obj.run("x")["token_count"] == 500
    obj.interrupt()
    assert obj.run("x")["token_count"] == 500
    obj.uninit()
