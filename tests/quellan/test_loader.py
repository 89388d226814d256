"""The process-wide loader, driven through its exported functions in fresh
interpreters: all-or-nothing loading, the stderr lines, retry after failure,
the first library serving for good, and unloading."""

from __future__ import annotations

import json

import pytest

from .conftest import fake_library, run_python

SCENARIO = """
import ctypes, json, sys
import {module} as m
lib = ctypes.CDLL(m.__file__)
lib.load_quellan_func.argtypes = [ctypes.c_char_p]
lib.quellan_init.argtypes = [ctypes.c_void_p, ctypes.c_int32] + [ctypes.c_char_p] * 4
lib.quellan_transcribe_file.argtypes = [ctypes.c_void_p] + [ctypes.c_char_p] * 3 + [ctypes.c_void_p] * 2
lib.quellan_uninit.argtypes = [ctypes.c_void_p]
results = {{}}

def shims():
    h, t, l = ctypes.c_void_p(), ctypes.c_char_p(), ctypes.c_char_p()
    return [lib.quellan_init(ctypes.byref(h), 0, b"m", None, b"t", None),
            lib.quellan_transcribe_file(1, b"a.wav", None, None, ctypes.byref(t), ctypes.byref(l)),
            lib.quellan_uninit(None)]

def step(name, path):
    print("@" + name, file=sys.stderr, flush=True)
    rc = lib.load_quellan_func(path.encode() if path else None)
    mapped = [p for p in {paths!r} if p in open("/proc/self/maps").read()]
    results[name] = dict(rc=rc, shims=shims(), mapped=mapped)

step("missing", "/nonexistent/libquellan.so")
step("null", None)
step("no_uninit", {no_uninit!r})
step("good", {good!r})
step("second", "/nonexistent/other.so")
print("@unload", file=sys.stderr, flush=True)
lib.unload_quellan_func()
results["unloaded"] = dict(shims=shims())
step("after_unload", "/nonexistent/libquellan.so")
print(json.dumps(results))
"""


@pytest.fixture(scope="module")
def scenario():
    good, no_uninit = str(fake_library()), str(fake_library("FAKE_QUELLAN_NO_UNINIT"))
    proc = run_python(SCENARIO.format(module="tessel_openai_server.kiv_velkor._quellan",
                                      good=good, no_uninit=no_uninit, paths=[good, no_uninit]))
    assert proc.returncode == 0, proc.stderr
    lines: dict[str, list[str]] = {}
    current = None
    for line in proc.stderr.splitlines():
        if line.startswith("@"):
            current = lines.setdefault(line[1:], [])
        else:
            current.append(line)
    return json.loads(proc.stdout), lines, good, no_uninit


@pytest.mark.parametrize("step, rc, line_start", [
    ("missing", -1, '[QUELLAN_FUNC] dlopen("/nonexistent/libquellan.so") failed: '),
    ("null", -1, '[QUELLAN_FUNC] dlopen("NULL") failed: '),
    ("no_uninit", -1, "[QUELLAN_FUNC] dlsym failed: "),
    ("good", 0, None),
    ("second", 0, None),
    ("after_unload", -1, '[QUELLAN_FUNC] dlopen("/nonexistent/libquellan.so") failed: '),
])
def test_load_result_and_single_stderr_line(scenario, step, rc, line_start):
    results, lines, _, _ = scenario
    assert results[step]["rc"] == rc
    if line_start is None:
        assert lines[step] == []
    else:
        assert len(lines[step]) == 1 and lines[step][0].startswith(line_start)


def test_missing_entry_point_names_it_and_closes_the_library(scenario):
    results, lines, good, no_uninit = scenario
    assert "kiv_asr_uninit" in lines["no_uninit"][0]
    assert results["no_uninit"]["mapped"] == []


@pytest.mark.parametrize("step, expected", [
    ("missing", [1, 1, 1]),
    ("no_uninit", [1, 1, 1]),      # nothing of a half-loaded library is kept
    ("good", [0, 0, 0]),
    ("second", [0, 0, 0]),         # the first library keeps serving
])
def test_shims_work_only_while_loaded(scenario, step, expected):
    assert scenario[0][step]["shims"] == expected


def test_unload_empties_the_table_and_allows_a_new_attempt(scenario):
    results, lines, good, _ = scenario
    assert results["unloaded"]["shims"] == [1, 1, 1]
    assert lines["unload"] == []
    assert results["after_unload"]["shims"] == [1, 1, 1]
