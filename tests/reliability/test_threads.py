"""Foreign threads and races: the runtime calling the bridges from native
threads the interpreter has never seen, interrupt() racing the end of a run,
objects made and dropped on worker threads while another thread runs, and the
library count shared by many objects under threads."""

from __future__ import annotations

import ctypes
import random
import threading
import time

import pytest

from tessel_openai_server.kiv_velkor import _velkor
from tessel_openai_server.kiv_velkor.types import RunStatus

from .conftest import assert_flat, scaled

# The module's own shared object, for its exported loader shims.
MODULE = ctypes.CDLL(_velkor.__spec__.origin)
MODULE.kiv_llm_reset.argtypes = [ctypes.c_void_p]
MODULE.kiv_llm_reset.restype = ctypes.c_uint32

KEYS = ["text", "reasoning", "tool_text", "token_ids", "status", "token_count", "tool_calls"]


def assert_well_formed(out: dict) -> None:
    assert list(out) == KEYS
    assert all(isinstance(out[k], str) for k in ("text", "reasoning", "tool_text"))
    assert isinstance(out["token_ids"], list) and all(type(t) is int for t in out["token_ids"])
    assert out["token_count"] == len(out["token_ids"])
    assert isinstance(out["status"], RunStatus)
    assert all(set(call) == {"name", "arguments"} for call in out["tool_calls"])


# ------------------------------------------------------------ foreign threads

def test_every_callback_on_a_new_native_thread(fake):
    """One run, 40 callbacks, each from a thread that starts and ends around
    it: every piece arrives in order, and the threads' interpreter states do
    not pile up over many runs."""
    fake.set_thread_mode("thread-per-callback")
    for i in range(30):
        fake.result(b"p%d" % i, token_id=i, content_type=i % 3)
        if i % 10 == 0:
            fake.tool(b"tool%d" % i, b"{}")
    fake.result(None, token_id=30, state=RunStatus.FINISH)
    seen = []

    def on_token(result, userdata, status):
        seen.append((result.token_id, threading.get_native_id()))

    obj = _velkor.VELKOR()
    obj.init("m", on_token=on_token, on_tool_call=lambda *a: None)

    def run(i):
        seen.clear()
        out = obj.run("x", userdata=i)
        assert_well_formed(out)
        assert out["token_ids"] == list(range(31)) and [t for t, _ in seen] == list(range(31))
        assert len(out["tool_calls"]) == 3 and out["status"] is RunStatus.FINISH
        assert len({ident for _, ident in seen}) == 31       # each on a thread of its own

    assert_flat(run, window=scaled(60), watched=(obj, on_token), between=fake.lib.fake_clear_log)
    obj.uninit()


def test_a_callback_asking_for_its_thread_leaves_nothing_behind(fake):
    """A callback that looks at threading.current_thread() on a foreign thread
    gets a dummy thread object; those go with their threads."""
    fake.set_thread_mode("thread-per-callback")
    for i in range(5):
        fake.result(b"x", token_id=i)
    obj = _velkor.VELKOR()
    obj.init("m", on_token=lambda *a: threading.current_thread().name)

    def run(i):
        obj.run("x")

    assert_flat(run, window=scaled(100), watched=(obj,), between=fake.lib.fake_clear_log)
    assert len(threading.enumerate()) <= 2, threading.enumerate()
    obj.uninit()


# ------------------------------------------------------------------- races

def test_interrupt_races_the_end_of_a_run(fake):
    """interrupt() from a worker at random moments around the end of short
    runs: each run returns its dict (never KeyboardInterrupt), with every piece
    up to where it stopped, and the object stays usable."""
    fake.stream(b"x", max_pieces=20, sleep_us=50, final_state=RunStatus.FINISH)
    obj = _velkor.VELKOR()
    obj.init("m")
    rng = random.Random(7)
    started = time.perf_counter()
    for _ in range(20):
        assert obj.run("x")["token_count"] == 21
    duration = (time.perf_counter() - started) / 20
    stopped_early = 0
    runs = scaled(400)
    for i in range(runs):
        delay = rng.uniform(0, 2 * duration)   # about half the interrupts come after the end
        racer = threading.Timer(delay, obj.interrupt)
        racer.start()
        out = obj.run("x")
        racer.join()
        assert_well_formed(out)
        count = out["token_count"]
        assert out["text"] == "x" * (count - 1) and out["token_ids"][:-1] == list(range(count - 1))
        assert out["status"] is RunStatus.FINISH
        stopped_early += count - 1 < 20
    # Both sides of the race were taken.
    assert 0 < stopped_early < runs
    fake.lib.fake_clear_log()
    assert obj.run("x")["token_count"] == 21
    obj.uninit()


def test_interrupt_and_uninit_race_the_end_of_a_run(fake):
    """A worker interrupts and then releases the context while the run ends:
    uninit() is refused while the run is in progress, a run that starts while
    uninit() releases the context is refused, and once uninit() has run,
    interrupt() reports that there is no context."""
    fake.stream(b"x", max_pieces=10, sleep_us=50, final_state=RunStatus.FINISH)
    obj = _velkor.VELKOR()
    rng = random.Random(3)
    outcomes = {"refused": 0, "released": 0}

    def racer(delay):
        time.sleep(delay)
        try:
            obj.interrupt()
        except RuntimeError:
            pass                                 # the context is already gone
        while True:
            try:
                obj.uninit()
                outcomes["released"] += 1
                return
            except RuntimeError as exc:
                assert "in progress" in str(exc)
                outcomes["refused"] += 1
                time.sleep(0)

    obj.init("m")
    started = time.perf_counter()
    for _ in range(20):
        obj.run("x")
    duration = (time.perf_counter() - started) / 20
    runs = scaled(200)
    for i in range(runs):
        obj.init("m")
        worker = threading.Thread(target=racer, args=(rng.uniform(0, 2 * duration),))
        worker.start()
        try:
            out = obj.run("x")
            assert_well_formed(out)
        except RuntimeError as exc:              # released before the run began, or being released
            assert ("not been initialized" in str(exc)
                    or "VELKOR.uninit() is in progress on this object" in str(exc)), exc
        finally:
            worker.join()
        assert obj.context is None
        fake.lib.fake_clear_log()
    assert outcomes["released"] == runs and outcomes["refused"] > 0


# --------------------------------------------------- objects on worker threads

class Handles:
    """Gives every context its own handle from the fake (its default hands out
    the same one, and uninit of one context would unregister the others'
    callbacks)."""

    def __init__(self, fake):
        self.fake = fake
        self.lock = threading.Lock()
        self.next = 0x10000

    def init(self, obj, **kwargs):
        with self.lock:
            self.next += 0x10
            self.fake.set_init_handle(self.next)
            assert obj.init("m", **kwargs) == 0


def test_objects_made_and_dropped_on_workers_while_the_main_thread_runs(fake):
    fake.stream(b"x", max_pieces=30, sleep_us=100, final_state=RunStatus.FINISH)
    handles = Handles(fake)
    main_obj = _velkor.VELKOR()
    handles.init(main_obj)
    failures = []
    stop = threading.Event()
    cycles = [0]

    def worker():
        try:
            while not stop.is_set():
                obj = _velkor.VELKOR()
                handles.init(obj, on_token=lambda *a: None)
                out = obj.run("y")
                assert out["token_count"] == 31 and out["text"] == "x" * 30, out
                obj.uninit()
                del obj
                cycles[0] += 1
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append(exc)

    workers = [threading.Thread(target=worker) for _ in range(3)]
    for w in workers:
        w.start()
    try:
        for i in range(scaled(60)):
            out = main_obj.run("x")
            assert out["token_count"] == 31 and out["text"] == "x" * 30, out
    finally:
        stop.set()
        for w in workers:
            w.join()
    assert not failures, failures
    assert cycles[0] > 0
    main_obj.uninit()


def test_many_objects_share_the_library_count_under_threads(fake):
    """Threads make, run and drop objects in random order; the library stays
    loaded while any object lives, and is closed with the last one."""
    fake.stream(b"x", max_pieces=3, sleep_us=0, final_state=RunStatus.FINISH)
    handles = Handles(fake)
    failures = []

    def worker(seed):
        rng = random.Random(seed)
        try:
            for _ in range(scaled(40)):
                objs = [_velkor.VELKOR() for _ in range(rng.randint(1, 4))]
                for obj in objs:
                    handles.init(obj)
                rng.shuffle(objs)
                while objs:
                    obj = objs.pop()
                    assert obj.run("x")["token_count"] == 4
                    if rng.random() < 0.5:
                        obj.uninit()
                    del obj                   # the rest release their context on destruction
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append(exc)

    for round_ in range(3):
        threads = [threading.Thread(target=worker, args=(round_ * 10 + k,)) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not failures, failures
        # Every object is gone: the library was closed (its shims answer 1
        # without calling anything), and the next object opens it again.
        fake.lib.fake_clear_log()
        assert MODULE.kiv_llm_reset(None) == 1 and fake.names() == []


@pytest.mark.parametrize("thread_mode", ["thread", "thread-per-callback"])
def test_runs_on_several_python_threads_with_foreign_callback_threads(fake, thread_mode):
    """Several Python threads each run their own object while the runtime
    answers every one of them from native threads of its own."""
    fake.set_thread_mode(thread_mode)
    fake.stream(b"z", max_pieces=15, sleep_us=20, final_state=RunStatus.FINISH)
    handles = Handles(fake)
    failures = []

    def worker():
        try:
            obj = _velkor.VELKOR()
            got = []
            handles.init(obj, on_token=lambda r, u, s: got.append(u))
            for i in range(scaled(30)):
                got.clear()
                out = obj.run("x", userdata=i)
                assert out["token_count"] == 16 and got == [i] * 16, (out, got)
            obj.uninit()
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append(exc)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures
