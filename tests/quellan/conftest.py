"""Fixtures for the speech-recognition module: the recording fake runtime,
read back through its control API, and fresh interpreters for what depends
on the process-wide loader state."""

from __future__ import annotations

import ctypes
import gc
import os
import subprocess
import sys
import textwrap
from dataclasses import dataclass
from pathlib import Path

import pytest

from support.emulation import deadline
from support.native_build import build_fake_quellan as fake_library

MODULE = "tessel_openai_server.kiv_velkor._quellan"
INIT_STRING_OFFSETS = (4, 12, 20, 28)     # model, decoder, tokenizer, extra JSON
INPUT_STRING_OFFSETS = (4, 28, 36)        # wav path, language, task


@dataclass
class Call:
    name: str
    record: bytes | None
    result_record: bytes | None
    strings: dict[int, bytes | None]
    handle: int
    address: int
    result_address: int


class Fake:
    """The control API of a loaded fake runtime."""

    def __init__(self, path: Path) -> None:
        self.path = path
        lib = self.lib = ctypes.CDLL(str(path))
        u64, p = ctypes.c_uint64, ctypes.POINTER(ctypes.c_ubyte)
        lib.fake_quellan_script_init.argtypes = [ctypes.c_int32, u64]
        lib.fake_quellan_script_transcribe.argtypes = [ctypes.c_int32, ctypes.c_char_p, ctypes.c_char_p]
        lib.fake_quellan_call_name.restype = ctypes.c_char_p
        lib.fake_quellan_call_record.restype = p
        lib.fake_quellan_call_result_record.restype = p
        lib.fake_quellan_call_string.restype = ctypes.c_char_p
        lib.fake_quellan_call_string.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.POINTER(ctypes.c_int)]
        for name in ("handle", "address", "result_address"):
            getattr(lib, f"fake_quellan_call_{name}").restype = u64

    def reset(self) -> None:
        self.lib.fake_quellan_reset()

    def script_init(self, rc: int, handle: int) -> None:
        self.lib.fake_quellan_script_init(rc, handle)

    def script_transcribe(self, rc: int, text: bytes | None = b"hello", language: bytes | None = b"en") -> None:
        self.lib.fake_quellan_script_transcribe(rc, text, language)

    def script_uninit(self, rc: int) -> None:
        self.lib.fake_quellan_script_uninit(rc)

    def calls(self) -> list[Call]:
        out = []
        for i in range(self.lib.fake_quellan_call_count()):
            strings = {}
            for offset in INIT_STRING_OFFSETS + INPUT_STRING_OFFSETS:
                found = ctypes.c_int()
                value = self.lib.fake_quellan_call_string(i, offset, ctypes.byref(found))
                if found.value:
                    strings[offset] = value

            def raw(pointer):
                return bytes(pointer[:1024]) if pointer else None

            out.append(Call(self.lib.fake_quellan_call_name(i).decode(), raw(self.lib.fake_quellan_call_record(i)),
                            raw(self.lib.fake_quellan_call_result_record(i)), strings,
                            self.lib.fake_quellan_call_handle(i), self.lib.fake_quellan_call_address(i),
                            self.lib.fake_quellan_call_result_address(i)))
        return out

    def names(self) -> list[str]:
        return [c.name for c in self.calls()]

    def counts(self) -> dict[str, int]:
        return {name: getattr(self.lib, f"fake_quellan_{name}")()
                for name in ("free_result_count", "uninit_count", "live_handles", "outstanding_results",
                             "max_in_flight", "released_under_call")}

    def set_delay_ms(self, ms: int) -> None:
        """Makes init and transcribe sleep inside the runtime."""
        self.lib.fake_quellan_set_delay_ms(ms)


@pytest.fixture(scope="session")
def quellan():
    import importlib
    return importlib.import_module(MODULE)


@pytest.fixture(scope="session")
def fake_path() -> Path:
    return fake_library()


@pytest.fixture(scope="session")
def _loaded(quellan, fake_path) -> Fake:
    # The first construction of the process loads the fake for every test here.
    quellan.Quellan(str(fake_path))
    return Fake(fake_path)


@pytest.fixture
def fake(_loaded: Fake) -> Fake:
    gc.collect()        # objects left by earlier tests release their handles now
    _loaded.reset()
    yield _loaded
    _loaded.reset()


@pytest.fixture
def recogniser(quellan, fake: Fake):
    """An initialised recogniser; the fake's log starts after its init."""
    q = quellan.Quellan()
    q.init("whisper", "model.bin", "tokenizer.json")
    fake.reset()
    yield q
    q.close()


def run_python(code: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter, without KIV_QUELLAN_PATH unless given."""
    full_env = {k: v for k, v in os.environ.items() if k != "KIV_QUELLAN_PATH"}
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=full_env,
                          capture_output=True, text=True, timeout=deadline(120))
