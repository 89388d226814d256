"""The entry shims called directly: argument checks, the handle handed out
only on real success, result copies and the runtime's result released once."""

from __future__ import annotations

import ctypes
import json
import os

import pytest

from .conftest import fake_library, run_python

SENTINEL = 0x7777


@pytest.fixture
def shims(quellan, fake):
    lib = ctypes.CDLL(quellan.__file__)
    lib.quellan_init.argtypes = [ctypes.c_void_p, ctypes.c_int32] + [ctypes.c_char_p] * 4
    lib.quellan_transcribe_file.argtypes = [ctypes.c_void_p] + [ctypes.c_char_p] * 3 + [ctypes.c_void_p] * 2
    lib.quellan_uninit.argtypes = [ctypes.c_void_p]
    lib.quellan_free_cstr.argtypes = [ctypes.c_void_p]
    return lib


def init(shims, handle):
    return shims.quellan_init(handle, 0, b"/m", None, b"/t", None)


@pytest.mark.parametrize("rc, written", [(0, 0), (3, 0x4242)], ids=["success-without-handle", "refusal"])
def test_init_failure_leaves_the_callers_handle(shims, fake, rc, written):
    fake.script_init(rc, written)
    handle = ctypes.c_void_p(SENTINEL)
    assert init(shims, ctypes.byref(handle)) == 1
    assert handle.value == SENTINEL
    assert fake.calls()[0].handle == 0        # the runtime writes into a fresh local


def outputs():
    return ctypes.c_void_p(SENTINEL), ctypes.c_void_p(SENTINEL)


@pytest.mark.parametrize("handle, wav, with_text, with_language", [
    (None, b"/a.wav", True, True),
    (0x5100, None, True, True),
    (0x5100, b"/a.wav", False, True),
    (0x5100, b"/a.wav", True, False),
])
def test_transcribe_with_a_missing_argument_touches_nothing(shims, fake, handle, wav, with_text, with_language):
    text, language = outputs()
    rc = shims.quellan_transcribe_file(handle, wav, None, None,
                                       ctypes.byref(text) if with_text else None,
                                       ctypes.byref(language) if with_language else None)
    assert rc == 1
    assert (text.value, language.value) == (SENTINEL, SENTINEL)
    assert fake.names() == []


def test_failed_transcribe_releases_the_same_result_once_and_clears_outputs(shims, fake):
    fake.script_transcribe(9, b"partial", b"xx")
    text, language = outputs()
    assert shims.quellan_transcribe_file(0x5100, b"/a.wav", None, None, ctypes.byref(text), ctypes.byref(language)) == 1
    assert (text.value, language.value) == (None, None)
    transcribe, free = fake.calls()
    assert free.name == "kiv_asr_free_result" and free.result_address == transcribe.result_address
    assert fake.counts()["outstanding_results"] == 0


def test_uninit_hands_back_the_runtimes_code(shims, fake):
    fake.script_uninit(7)
    assert shims.quellan_uninit(0x5100) == 7
    assert fake.calls()[0].handle == 0x5100


COPY_FAILURE = """
import ctypes, json
from tessel_openai_server.kiv_velkor._quellan import Quellan
fake = ctypes.CDLL({path!r})
q = Quellan({path!r})
q.init("whisper", "m", "t")
fake.fake_quellan_fail_copy({n})
try:
    q.transcribe("a.wav")
    error = None
except RuntimeError as exc:
    error = str(exc)
print(json.dumps([error, fake.fake_quellan_live_copies_at_free(), fake.fake_quellan_free_result_count(),
                  fake.fake_quellan_outstanding_results(), q.transcribe("b.wav")]))
"""


@pytest.mark.skipif("LD_PRELOAD" in os.environ or "sanitize" in os.environ.get("KIV_TEST_CXXFLAGS", ""),
                    reason="the allocation hook needs to be the only preloaded library")
@pytest.mark.parametrize("n", [1, 2], ids=["text-copy-fails", "language-copy-fails"])
def test_copy_failure_frees_both_copies_then_the_result(n):
    path = str(fake_library("FAKE_QUELLAN_MALLOC_HOOK"))
    proc = run_python(COPY_FAILURE.format(path=path, n=n), env={"LD_PRELOAD": path})
    assert proc.returncode == 0, proc.stderr
    error, live_copies, freed, outstanding, later = json.loads(proc.stdout)
    assert error == "kiv_asr_transcribe failed (rc=1)"
    assert (live_copies, freed, outstanding) == (0, 1, 0)
    assert later == {"text": "hello", "language": "en"}
