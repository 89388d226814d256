"""ctypes controller of the recording fake LLM runtime (tests/fakes/fake_velkor.cpp)."""

from __future__ import annotations

import ctypes
import struct
from dataclasses import dataclass
from pathlib import Path

from .native_build import FAKES, build_shared

INIT_PARAM_SIZE = 1056
RUN_PARAM_SIZE = 1036
INPUT_SIZE = 72
IMAGE_SIZE = 32


# Where the fake runtime's callbacks come from (tests/fakes/fake_velkor.cpp).
THREAD_MODES = {"caller": 0, "thread": 1, "thread-per-callback": 2, "lingering-thread": 3,
                "worker-per-context": 4, "shared-pool": 5, "late-callback": 6}


def build_fake_velkor(omit_vision: bool = False) -> Path:
    defines = ("FAKE_OMIT_GET_VISION_INFO",) if omit_vision else ()
    name = "fake_velkor_no_vision" if omit_vision else "fake_velkor"
    return build_shared(name, [FAKES / "fake_velkor.cpp"], defines)


@dataclass
class Call:
    index: int
    name: str
    handle: int
    thread: int
    fake: "FakeVelkor"

    def capture(self, key: str) -> bytes | None:
        """The bytes captured under `key`; None when the pointer was NULL."""
        data = ctypes.c_char_p()
        length = ctypes.c_size_t()
        found = self.fake.lib.fake_capture(self.index, key.encode(), ctypes.byref(data), ctypes.byref(length))
        if found < 0:
            raise KeyError(key)
        if found == 0:
            return None
        return ctypes.string_at(data, length.value)

    def u32(self, key: str, offset: int) -> int:
        return struct.unpack_from("<I", self.capture(key), offset)[0]

    def i32(self, key: str, offset: int) -> int:
        return struct.unpack_from("<i", self.capture(key), offset)[0]

    def u64(self, key: str, offset: int) -> int:
        return struct.unpack_from("<Q", self.capture(key), offset)[0]

    def f32(self, key: str, offset: int) -> float:
        return struct.unpack_from("<f", self.capture(key), offset)[0]


def _counter(symbol: str) -> property:
    return property(lambda fake: int(getattr(fake.lib, symbol)()))


class FakeVelkor:
    """Drives one loaded copy of the fake runtime."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.lib = ctypes.CDLL(str(path))
        lib = self.lib
        lib.fake_call_name.restype = ctypes.c_char_p
        lib.fake_call_handle.restype = ctypes.c_size_t
        lib.fake_call_thread.restype = ctypes.c_ulonglong
        lib.fake_capture.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.POINTER(ctypes.c_char_p),
                                     ctypes.POINTER(ctypes.c_size_t)]
        lib.fake_set_rc.argtypes = [ctypes.c_char_p, ctypes.c_uint32]
        lib.fake_set_init_handle.argtypes = [ctypes.c_size_t]
        lib.fake_script_result.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int,
                                           ctypes.c_int32, ctypes.c_uint32, ctypes.c_uint32, ctypes.c_int]
        lib.fake_script_tool.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_char_p,
                                         ctypes.c_size_t, ctypes.c_int, ctypes.c_int]
        lib.fake_set_stream.argtypes = [ctypes.c_char_p, ctypes.c_uint32, ctypes.c_int, ctypes.c_int,
                                        ctypes.c_int64]
        lib.fake_set_vision.argtypes = [ctypes.c_char_p, ctypes.c_uint32, ctypes.c_int, ctypes.c_int32,
                                        ctypes.c_int32]
        lib.fake_reset()

    # -- configuration --
    def set_rc(self, entry: str, rc: int) -> None:
        self.lib.fake_set_rc(entry.encode(), rc)

    def set_init_handle(self, handle: int) -> None:
        self.lib.fake_set_init_handle(handle)

    def set_thread_mode(self, mode: str) -> None:
        self.lib.fake_set_thread_mode(THREAD_MODES[mode])

    def set_init_delay(self, seconds: float) -> None:
        self.lib.fake_set_init_delay(int(seconds * 1e6))

    def set_late_delay(self, seconds: float) -> None:
        self.lib.fake_set_late_delay(int(seconds * 1e6))

    # The fake's counters, read afresh each time.
    live_contexts = _counter("fake_live_contexts")  # contexts handed out and not released
    stale_calls = _counter("fake_stale_calls")      # calls naming a handle not handed out, or released
    pieces_streamed = _counter("fake_pieces_streamed")
    break_count = _counter("fake_break_count")

    def result(self, text: bytes | None = b"", token_id: int = 0, content_type: int = 0, state: int = 0,
               null_record: bool = False, null_userdata: bool = False) -> None:
        self.lib.fake_script_result(int(null_record), text or b"", len(text or b""), int(text is None),
                                    token_id, content_type, state, int(null_userdata))

    def tool(self, name: bytes | None, args: bytes | None, null_userdata: bool = False) -> None:
        self.lib.fake_script_tool(name or b"", len(name or b""), int(name is None), args or b"",
                                  len(args or b""), int(args is None), int(null_userdata))

    def stream(self, piece: bytes = b"x", state: int = 0, max_pieces: int = 0, sleep_us: int = 1000,
               final_state: int = -1) -> None:
        """After the script, emit `piece` until kiv_llm_break (or max_pieces)."""
        self.lib.fake_set_stream(piece, state, max_pieces, sleep_us, final_state)

    def set_vision(self, record: bytes | None, rc: int = 0, inputs: bool = False, height: int = 0,
                   width: int = 0) -> None:
        self.lib.fake_set_vision(record, rc, int(inputs), height, width)

    # -- the call log --
    def calls(self, name: str | None = None) -> list[Call]:
        out = []
        for i in range(self.lib.fake_call_count()):
            call = Call(i, self.lib.fake_call_name(i).decode(), self.lib.fake_call_handle(i),
                        self.lib.fake_call_thread(i), self)
            if name is None or call.name == name:
                out.append(call)
        return out

    def names(self) -> list[str]:
        return [c.name for c in self.calls()]

    def last(self, name: str) -> Call:
        calls = self.calls(name)
        assert calls, f"{name} was not called; calls: {self.names()}"
        return calls[-1]

    def close(self) -> None:
        import _ctypes
        _ctypes.dlclose(self.lib._handle)
