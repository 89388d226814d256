"""Guards of the fast paths (not timed): as_rgb888 hands a packed image through
without copying it; what the result bridge keeps between tokens (RunStatus
members, module globals) and how it builds Result never changes a result; the
byte-buffer collectors give what lists of pieces would; and a runtime that
calls back from new native threads leaves no thread state, thread or memory
behind, at run time or at interpreter exit."""

from __future__ import annotations

import abc
import ctypes
import enum
import gc
import os
import struct
import sys
import threading
import tracemalloc
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support.emulation import EMULATED
from support.subprocess_run import run_python

from tessel_openai_server.kiv_velkor import _velkor
from tessel_openai_server.kiv_velkor.types import Result, RunStatus

SANITIZED = "sanitize" in os.environ.get("KIV_TEST_CXXFLAGS", "")

# ------------------------------------------------------------ as_rgb888

def test_packed_uint8_image_is_returned_as_it_is():
    image = np.random.default_rng(0).integers(0, 256, size=(1080, 1920, 3), dtype=np.uint8)
    tracemalloc.start()
    try:
        out = _velkor.as_rgb888(image)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert out is image
    assert peak < 64 * 1024, f"{peak} bytes allocated for a {image.nbytes}-byte image"
    rows = image[100:200]  # a contiguous view is packed as well
    assert _velkor.as_rgb888(rows) is rows


def test_run_gives_the_runtime_the_arrays_own_pixels(fake):
    obj = _velkor.VELKOR()
    obj.init("m", mmproj_path="proj.gguf")
    image = np.random.default_rng(1).integers(0, 256, size=(48, 64, 3), dtype=np.uint8)
    obj.run("<|image_pad|>", images=[image])
    record = fake.last("kiv_llm_run").capture("image[0]")
    assert struct.unpack_from("<Q", record, 8)[0] == image.ctypes.data
    obj.uninit()


# -------------------------------------------- kept answers change no result

@pytest.fixture
def statuses(fake):
    """A VELKOR whose on_token records (result, status) pairs."""
    seen = []
    obj = _velkor.VELKOR()
    obj.init("m", on_token=lambda result, userdata, status: seen.append((result, status)))
    yield obj, seen
    obj.uninit()


def status_of_one_piece(obj, fake, state: int):
    fake.lib.fake_script_clear()
    fake.result(b"x", state=state)
    return obj.run()["status"]


def test_runstatus_follows_every_change_to_the_enum(statuses, fake, monkeypatch):
    obj, seen = statuses
    for _ in range(3):  # answers are kept from here on
        assert status_of_one_piece(obj, fake, 0) is RunStatus.NORMAL
    assert seen[-1][1] is RunStatus.NORMAL

    # The value-to-member map edited in place.
    monkeypatch.setitem(RunStatus._value2member_map_, 0, RunStatus.WAITING)
    assert RunStatus(0) is RunStatus.WAITING
    assert status_of_one_piece(obj, fake, 0) is RunStatus.WAITING and seen[-1][1] is RunStatus.WAITING
    monkeypatch.undo()
    assert status_of_one_piece(obj, fake, 0) is RunStatus.NORMAL

    # The class changed (its own __new__ now answers every value).
    monkeypatch.setattr(RunStatus, "__new__", lambda cls, value: RunStatus.FINISH)
    assert RunStatus(0) is RunStatus.FINISH
    assert status_of_one_piece(obj, fake, 0) is RunStatus.FINISH
    monkeypatch.undo()
    assert status_of_one_piece(obj, fake, 0) is RunStatus.NORMAL

    # The metaclass changed (every enum now answers 0 with its member for 2).
    calls = []
    original_call = enum.EnumType.__call__

    def shifted_call(cls, value, *args, **kwargs):
        calls.append(value)
        return original_call(cls, 2 if value == 0 else value, *args, **kwargs)

    monkeypatch.setattr(enum.EnumType, "__call__", shifted_call)
    for _ in range(2):
        assert status_of_one_piece(obj, fake, 0) is RunStatus.FINISH
    monkeypatch.undo()
    assert calls == [0, 0]  # not the member registered for 0, so never kept
    assert status_of_one_piece(obj, fake, 0) is RunStatus.NORMAL

    # The module's RunStatus rebound to another enum with the same values.
    class Other(enum.IntEnum):
        NORMAL = 0
        FINISH = 2

    monkeypatch.setattr(_velkor, "RunStatus", Other)
    assert status_of_one_piece(obj, fake, 0) is Other.NORMAL
    monkeypatch.undo()
    assert status_of_one_piece(obj, fake, 0) is RunStatus.NORMAL


def test_unknown_state_gives_the_same_pseudo_member_as_a_direct_call(statuses, fake):
    obj, seen = statuses
    first = status_of_one_piece(obj, fake, 4711)
    again = status_of_one_piece(obj, fake, 4711)
    assert first is again is RunStatus(4711) and first.name == "UNKNOWN_4711"


def test_enum_of_its_own_metaclass_is_called_for_every_piece(statuses, fake, monkeypatch):
    obj, seen = statuses
    calls = []

    class CountingMeta(enum.EnumType):
        def __call__(cls, *args, **kwargs):
            calls.append(args)
            return super().__call__(*args, **kwargs)

    class Counted(enum.IntEnum, metaclass=CountingMeta):
        NORMAL = 0
        FINISH = 2

    monkeypatch.setattr(_velkor, "RunStatus", Counted)
    fake.result(b"a", state=0)
    fake.result(b"b", state=0)
    fake.result(b"c", state=2)
    out = obj.run()
    assert calls == [(0,), (0,), (2,)] and out["status"] is Counted.FINISH


def test_result_is_what_calling_the_class_gives(statuses, fake):
    obj, seen = statuses
    fake.result(b"piece", token_id=-7, content_type=1)
    fake.result(None, token_id=2**31 - 1, content_type=2**32 - 1)
    obj.run()
    (first, _), (second, _) = seen
    assert type(first) is Result and first == Result(text=b"piece", token_id=-7, content_type=1)
    assert type(second) is Result and second == Result(text=b"", token_id=2**31 - 1, content_type=2**32 - 1)
    assert repr(first) == "Result(text=b'piece', token_id=-7, content_type=1)"


class _Recorded(Result):
    __slots__ = ("calls",)

    def __init__(self, **kwargs):
        self.calls = list(kwargs)
        super().__init__(**kwargs)


class _Tuple(tuple):
    def __new__(cls, *, text, token_id, content_type):
        return super().__new__(cls, (text, token_id, content_type))


class _Abstract(abc.ABC):
    def __init__(self, **kwargs):
        pass

    @abc.abstractmethod
    def method(self):
        ...


class _ReturnsValue:
    def __init__(self, **kwargs):
        return 1  # noqa: PLE0101


@pytest.mark.parametrize("factory", [_Recorded, _Tuple, _Abstract, _ReturnsValue, dict])
def test_any_result_type_is_called_as_python_would_call_it(fake, monkeypatch, factory):
    """The bridge's Result must behave exactly like Result(text=..., token_id=...,
    content_type=...) written in Python, for classes it builds itself and for
    those it leaves to the interpreter."""
    kwargs = {"text": b"t", "token_id": 5, "content_type": 0}
    try:
        expected = factory(**kwargs)
    except TypeError as exc:
        expected = exc
    reports, seen = [], []
    monkeypatch.setattr(sys, "unraisablehook", lambda args: reports.append(args.exc_value))
    monkeypatch.setattr(_velkor, "Result", factory)
    obj = _velkor.VELKOR()
    obj.init("m", on_token=lambda result, userdata, status: seen.append(result))
    fake.result(b"t", token_id=5)
    assert obj.run()["text"] == "t"
    obj.uninit()
    if isinstance(expected, TypeError):
        assert seen == [] and len(reports) == 1
        assert type(reports[0]) is TypeError and str(reports[0]) == str(expected)
    else:
        assert reports == [] and len(seen) == 1
        assert type(seen[0]) is type(expected) and seen[0] == expected
        if factory is _Recorded:
            assert seen[0].calls == ["text", "token_id", "content_type"]


def test_a_replaced_init_is_the_one_that_runs(statuses, fake, monkeypatch):
    obj, seen = statuses
    original = Result.__init__

    def shouting(self, **kwargs):
        original(self, **kwargs)
        self.text = self.text.upper()

    monkeypatch.setattr(Result, "__init__", shouting)
    fake.result(b"abc")
    obj.run()
    monkeypatch.undo()
    fake.lib.fake_script_clear()
    fake.result(b"abc")
    obj.run()
    assert [r.text for r, _ in seen] == [b"ABC", b"abc"]


# Pieces as a runtime may cut them: any bytes but NUL (the record's text ends
# at the first one), split multi-byte characters and invalid sequences included.
PIECES = st.one_of(st.none(), st.binary(max_size=8), st.text(max_size=3).map(lambda t: t.encode()[:3])).map(
    lambda piece: piece if piece is None else piece.replace(b"\0", b""))
STEPS = st.lists(st.tuples(PIECES, st.integers(-2**31, 2**31 - 1), st.sampled_from([0, 1, 2, 3, 7]),
                           st.sampled_from([0, 1, 2]), st.booleans()), max_size=25)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(steps=STEPS)
def test_collected_result_is_what_lists_of_pieces_give(llm, fake, steps):
    fake.lib.fake_script_clear()
    expected = {0: [], 1: [], 2: []}
    ids, status = [], RunStatus.ERROR
    for text, token_id, content_type, state, null_record in steps:
        fake.result(text, token_id=token_id, content_type=content_type, state=state, null_record=null_record)
        if null_record:
            text, token_id, content_type = b"", 0, 0
        expected[content_type if content_type in (1, 2) else 0].append(text or b"")
        ids.append(token_id)
        status = RunStatus(state)
    out = llm.run()
    assert out == {
        "text": b"".join(expected[0]).decode("utf-8", "replace"),
        "reasoning": b"".join(expected[1]).decode("utf-8", "replace"),
        "tool_text": b"".join(expected[2]).decode("utf-8", "replace"),
        "token_ids": ids, "status": status, "token_count": len(ids), "tool_calls": [],
    }
    assert out["status"] is status


# ------------------------------------------------------ foreign thread states

def thread_states() -> int:
    """The interpreter's thread states, counted through its C API."""
    api = ctypes.pythonapi
    api.PyInterpreterState_Get.restype = ctypes.c_void_p
    api.PyInterpreterState_ThreadHead.argtypes = [ctypes.c_void_p]
    api.PyInterpreterState_ThreadHead.restype = ctypes.c_void_p
    api.PyThreadState_Next.argtypes = [ctypes.c_void_p]
    api.PyThreadState_Next.restype = ctypes.c_void_p
    count, state = 0, api.PyInterpreterState_ThreadHead(api.PyInterpreterState_Get())
    while state:
        count += 1
        state = api.PyThreadState_Next(state)
    return count


def process_status(key: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1])
    raise KeyError(key)


@pytest.mark.parametrize("mode", ["thread", "thread-per-callback"])
def test_a_new_native_thread_in_every_run_leaves_nothing_behind(fake, mode):
    fake.set_thread_mode(mode)
    for i in range(3):
        fake.result(b"piece", token_id=i)
    seen = []
    obj = _velkor.VELKOR()
    obj.init("m", on_token=lambda result, userdata, status: seen.append(result.token_id))

    def runs(n: int) -> None:
        for _ in range(n):
            assert obj.run()["token_ids"] == [0, 1, 2]
            fake.lib.fake_clear_log()
        seen.clear()

    runs(30)
    gc.collect()
    states, os_threads, py_threads = thread_states(), process_status("Threads"), threading.active_count()
    rss = process_status("VmRSS")
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        runs(500)
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    # A thread state left behind per run would be a few KiB traced and more
    # than 16 KiB resident (its frame stack) each: 500 runs would show.
    assert thread_states() == states
    assert process_status("Threads") == os_threads and threading.active_count() == py_threads
    assert traced < 64 * 1024, traced
    # A sanitizer build keeps freed memory in quarantine; an emulator keeps some
    # of every thread that has ended.
    if not SANITIZED and not EMULATED:
        assert process_status("VmRSS") - rss < 4096, "KiB resident growth"
    obj.uninit()


EXIT_SNIPPET = """
import atexit, ctypes, shutil, sys, tempfile
from pathlib import Path
sys.path.insert(0, {tests!r})
from support.fake_velkor import FakeVelkor
from tessel_openai_server.kiv_velkor import _velkor
d = Path(tempfile.mkdtemp())
shutil.copy({fake!r}, d / "libvelkor.so")
_velkor.__file__ = str(d / "_velkor.so")
fake = FakeVelkor(d / "libvelkor.so")   # keeps the library mapped to the end
obj = _velkor.VELKOR()
obj.init("m", on_token=lambda result, userdata, status: result.text.decode())
fake.set_thread_mode("lingering-thread")
fake.result(b"piece", state=2)
for _ in range(3):
    assert obj.run()["text"] == "piece"
{after}
print("ran", flush=True)
"""


@pytest.mark.parametrize("after", [
    # The threads are still alive when the process exits.
    "",
    # They exit after the interpreter has been finalised.
    "fake.lib.fake_release_lingering_at_exit()",
    # They start exiting while the interpreter shuts down: released from an
    # exit function that then keeps the interpreter lock for a while (a C
    # sleep called through PyDLL), so each is caught waiting for the lock.
    "fake.lib.fake_release_lingering_at_exit()\n"
    "atexit.register(lambda: (fake.lib.fake_release_lingering(0), ctypes.PyDLL(None).usleep(50000)))",
], ids=["alive-past-exit", "exit-after-finalize", "exit-during-shutdown"])
def test_native_threads_that_called_back_alive_at_interpreter_exit(fake_velkor_path, after):
    code = EXIT_SNIPPET.format(tests=str(Path(__file__).resolve().parents[1]), fake=str(fake_velkor_path),
                               after=after)
    for _ in range(3):
        proc = run_python(code, timeout=60, check=False)
        assert (proc.returncode, proc.stdout, proc.stderr) == (0, "ran\n", "")
