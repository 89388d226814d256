"""Threads and the recogniser: init and transcribe release the interpreter lock
around the runtime call, the runtime still sees one call at a time, and an
object refuses a call while another thread is inside one on it."""

from __future__ import annotations

import textwrap
import threading
import time

import pytest

from .conftest import run_python

DELAY_MS = 300
BUSY = r"^a Quellan call \(init, transcribe or close\) is in progress on this object in another thread"


def in_thread(fn, *args):
    """Starts fn(*args) on a thread; the returned dict gets 'result' or 'error'."""
    outcome: dict = {}

    def body():
        try:
            outcome["result"] = fn(*args)
        except BaseException as exc:  # noqa: BLE001 - handed to the test
            outcome["error"] = exc

    thread = threading.Thread(target=body)
    thread.start()
    return thread, outcome


def wait_until_inside(fake, name: str, before: int) -> None:
    """Waits until the runtime has logged a call `name` beyond the first `before` calls."""
    deadline = time.monotonic() + 5
    while name not in fake.names()[before:] and time.monotonic() < deadline:
        time.sleep(0.002)


@pytest.mark.parametrize("call", ["init", "transcribe"])
def test_other_threads_keep_running_during_a_runtime_call(quellan, fake, call):
    q = quellan.Quellan()
    q.init("whisper", "m", "t")
    fake.set_delay_ms(DELAY_MS)
    target = (lambda: q.init("whisper", "m2", "t2")) if call == "init" else (lambda: q.transcribe("a.wav"))
    thread, outcome = in_thread(target)
    # This thread's loop keeps turning while the other one is inside the runtime.
    ticks, longest, last = 0, 0.0, time.perf_counter()
    while thread.is_alive():
        now = time.perf_counter()
        longest, last = max(longest, now - last), now
        ticks += 1
    thread.join()
    assert "error" not in outcome
    # Before, the interpreter lock was held for the whole call: one pause of DELAY_MS.
    assert ticks > 1000 and longest < DELAY_MS / 1000 / 2
    assert fake.counts()["released_under_call"] == 0


def slow_recogniser(quellan, fake):
    """A recogniser whose runtime now takes DELAY_MS a call, and its three calls by name."""
    q = quellan.Quellan()
    q.init("whisper", "m", "t")
    fake.set_delay_ms(DELAY_MS)
    return q, {"init": lambda: q.init("whisper", "m2", "t2"), "transcribe": lambda: q.transcribe("b.wav"),
               "close": q.close}


@pytest.mark.parametrize("second", ["init", "transcribe", "close"])
def test_close_is_busy_while_the_runtime_releases_the_recogniser(quellan, fake, second):
    q, calls = slow_recogniser(quellan, fake)
    before = len(fake.names())
    thread, outcome = in_thread(q.close)
    wait_until_inside(fake, "kiv_asr_uninit", before)
    with pytest.raises(RuntimeError, match=BUSY):
        calls[second]()
    thread.join()
    assert "error" not in outcome and fake.names()[before:] == ["kiv_asr_uninit"]
    assert fake.counts()["live_handles"] == 0


@pytest.mark.parametrize("running", ["init", "transcribe"])
@pytest.mark.parametrize("second", ["init", "transcribe", "close"])
def test_a_call_on_a_busy_object_is_refused_before_the_runtime(quellan, fake, running, second):
    q, calls = slow_recogniser(quellan, fake)
    before = len(fake.names())
    thread, outcome = in_thread(calls[running])
    wait_until_inside(fake, "kiv_asr_init" if running == "init" else "kiv_asr_transcribe", before)
    names_before = fake.names()
    with pytest.raises(RuntimeError, match=BUSY):
        calls[second]()
    assert fake.names() == names_before
    thread.join()
    assert "error" not in outcome
    # The refused call left the object as it was: the running call's handle lives on.
    assert q.transcribe("c.wav") == {"text": "hello", "language": "en"}
    counts = fake.counts()
    assert counts["released_under_call"] == 0 and counts["live_handles"] == 1


def test_calls_on_different_objects_are_serialised(quellan, fake):
    objects = [quellan.Quellan() for _ in range(3)]
    for q in objects:
        q.init("whisper", "m", "t")
    fake.set_delay_ms(50)
    started = time.perf_counter()
    workers = [in_thread(q.transcribe, "a.wav") for q in objects for _ in range(1)]
    closer, _ = in_thread(objects[0].close)   # may wait for the runtime, never races it
    for thread, outcome in workers:
        thread.join()
        assert outcome.get("result", {}).get("text") == "hello" or isinstance(outcome.get("error"), RuntimeError)
    closer.join()
    assert time.perf_counter() - started >= 0.1
    assert fake.counts()["max_in_flight"] == 1 and fake.counts()["released_under_call"] == 0


def test_dropping_the_last_reference_during_a_transcription_releases_after_it(quellan, fake):
    q = quellan.Quellan()
    q.init("whisper", "m", "t")
    fake.set_delay_ms(DELAY_MS)
    before = len(fake.names())
    thread, outcome = in_thread(q.transcribe, "a.wav")
    wait_until_inside(fake, "kiv_asr_transcribe", before)
    del q   # the running call holds the object: the handle outlives the call
    thread.join()
    outcome.pop("result")
    import gc
    gc.collect()
    assert fake.names()[-3:] == ["kiv_asr_transcribe", "kiv_asr_free_result", "kiv_asr_uninit"]
    assert fake.counts()["released_under_call"] == 0


def test_interpreter_exit_during_a_transcription_on_a_daemon_thread(fake_path):
    # The daemon thread comes back from the runtime after the main thread has
    # ended: it never re-enters Python, and the process exits with its status.
    proc = run_python(f"""
        import ctypes, os, threading, time
        from tessel_openai_server.kiv_velkor._quellan import Quellan
        fake = ctypes.CDLL({str(fake_path)!r})
        q = Quellan({str(fake_path)!r})
        q.init("whisper", "m", "t")
        fake.fake_quellan_set_delay_ms(300)
        def transcribe():
            q.transcribe("a.wav")
            print("returned to Python after the interpreter ended", flush=True)
        threading.Thread(target=transcribe, daemon=True).start()
        time.sleep(0.1)
        class SlowTeardown:   # keeps the ending interpreter busy until the call is back
            def __del__(self):
                time.sleep(0.5)
        slow = SlowTeardown()
        os.sys.exit(7)
    """)
    assert proc.returncode == 7, proc.stderr
    assert "returned to Python" not in proc.stdout
    assert "terminate" not in proc.stderr and "Fatal" not in proc.stderr


# For the fork tests: reap(pid) waits up to 10 s for a forked child, then
# prints its exit status, or "hung" after killing it.
REAP_CHILD = """
import os, signal, time
def reap(pid):
    deadline = time.monotonic() + 10
    while (ended := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    if ended[0] == 0:
        os.kill(pid, signal.SIGKILL)
    print("child status", os.waitstatus_to_exitcode(ended[1]) if ended[0] else "hung", flush=True)
"""


def test_fork_during_a_transcription_leaves_the_child_a_usable_module(fake_path):
    # At the fork the parent's transcription holds the runtime lock and its
    # object's busy mark. In the child the lock is free: a new recogniser and
    # an idle inherited one work. The busy one refuses, and its close() and
    # release reach nothing in the runtime (its handle is the parent's call's).
    proc = run_python(REAP_CHILD + textwrap.dedent(f"""
        import ctypes, gc, sys, threading
        from tessel_openai_server.kiv_velkor._quellan import Quellan
        fake = ctypes.CDLL({str(fake_path)!r})
        fake.fake_quellan_call_name.restype = ctypes.c_char_p
        def names(since):
            return [fake.fake_quellan_call_name(i).decode() for i in range(since, fake.fake_quellan_call_count())]
        busy, idle = Quellan({str(fake_path)!r}), Quellan()
        busy.init("whisper", "m", "t")
        idle.init("whisper", "m", "t")
        fake.fake_quellan_set_delay_ms(1000)
        start, parent = fake.fake_quellan_call_count(), []
        transcription = threading.Thread(target=lambda: parent.append(busy.transcribe("a.wav")["text"]))
        transcription.start()
        while "kiv_asr_transcribe" not in names(start):
            time.sleep(0.002)
        pid = os.fork()
        fake.fake_quellan_set_delay_ms(0)   # the transcription in progress keeps its pause
        if pid == 0:
            start, refused = fake.fake_quellan_call_count(), []
            for call in (lambda: busy.transcribe("b.wav"), lambda: busy.init("whisper", "m", "t")):
                try:
                    call()
                except RuntimeError as exc:
                    refused.append("in progress on this object when the process forked" in str(exc))
            began = time.monotonic()
            busy.close(), busy.close()
            del busy
            gc.collect()
            at_once = time.monotonic() - began < 0.1
            fresh = Quellan()
            fresh.init("whisper", "m", "t")
            print("child", refused, at_once, fresh.transcribe("c.wav")["text"], idle.transcribe("d.wav")["text"])
            fresh.close(), idle.close()
            print("child calls", names(start), flush=True)
            sys.exit(0)
        reap(pid)
        transcription.join()
        print("parent", parent, flush=True)
    """))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "child [True, True] True hello hello",
        "child calls ['kiv_asr_init', 'kiv_asr_transcribe', 'kiv_asr_free_result', 'kiv_asr_transcribe', "
        "'kiv_asr_free_result', 'kiv_asr_uninit', 'kiv_asr_uninit']",
        "child status 0",
        "parent ['hello']",
    ]


def test_a_child_forked_by_a_thread_while_the_interpreter_ends_may_call_the_runtime(fake_path):
    # The module's exit function has closed the gate for every thread but the
    # one finalising. A thread that forks now is the child's only thread, and
    # the child's interpreter is not ending: its calls come back into Python.
    proc = run_python(REAP_CHILD + textwrap.dedent(f"""
        import atexit, threading
        go, done = threading.Event(), threading.Event()
        atexit.register(lambda: (go.set(), done.wait(20)))   # runs after the module's own
        from tessel_openai_server.kiv_velkor._quellan import Quellan
        q = Quellan({str(fake_path)!r})
        q.init("whisper", "m", "t")

        def fork_at_exit():
            go.wait()
            pid = os.fork()
            if pid == 0:
                print("child", q.transcribe("a.wav")["text"], flush=True)
                os._exit(0)
            reap(pid)
            done.set()
        threading.Thread(target=fork_at_exit, daemon=True).start()
    """))
    assert (proc.returncode, proc.stdout) == (0, "child hello\nchild status 0\n"), proc.stderr
