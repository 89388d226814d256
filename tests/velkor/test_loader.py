"""The runtime loader and its shims, exercised through the module's exported symbols."""

from __future__ import annotations

import ctypes
import os
import re
import shutil
import subprocess

import pytest

from support.subprocess_run import run_python
from tessel_openai_server.kiv_velkor import _velkor

ENTRY_POINTS = ["kiv_llm_init", "kiv_llm_uninit", "kiv_llm_run", "kiv_llm_reset", "kiv_llm_break",
                "kiv_llm_set_chat_template", "kiv_llm_set_chat_template_jinja",
                "kiv_llm_set_toolcall_callback", "kiv_llm_get_vision_info"]
MODULE = _velkor.__file__


def dynamic_symbols(path: str) -> set[str]:
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    return {line.split()[-1] for line in out.splitlines() if line.strip()}


def test_loader_unloader_and_shims_are_exported():
    symbols = dynamic_symbols(MODULE)
    assert {"PyInit__velkor", "load_velkor_func", "unload_velkor_func", *ENTRY_POINTS} <= symbols
    # Nothing else (the statically linked C++ runtime included) is exported.
    assert symbols - {"_init", "_fini"} == {"PyInit__velkor", "load_velkor_func", "unload_velkor_func",
                                            *ENTRY_POINTS}


@pytest.mark.skipif("sanitize" in os.environ.get("KIV_TEST_CXXFLAGS", ""),
                    reason="a sanitizer build links the sanitizer runtimes")
def test_module_depends_only_on_libc_and_the_interpreter():
    out = subprocess.run(["readelf", "-d", MODULE], capture_output=True, text=True, check=True).stdout
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", out))
    allowed = re.compile(r"^(libc|libm|libdl|libpthread|ld-linux[-\w]*)\.so(\.\d+)*$")
    assert all(allowed.match(lib) for lib in needed), needed


LOADER_SCRIPT = """
import ctypes, sys
lib = ctypes.CDLL({module!r})
lib.load_velkor_func.argtypes = [ctypes.c_char_p]
lib.kiv_llm_reset.argtypes = [ctypes.c_void_p]
lib.kiv_llm_reset.restype = ctypes.c_uint32
def load(path):
    rc = lib.load_velkor_func(path)
    sys.stderr.flush()
    return rc
"""


def loader_snippet(body: str) -> str:
    return LOADER_SCRIPT.format(module=MODULE) + body


def test_missing_library_reports_dlopen_line(tmp_path):
    missing = str(tmp_path / "nowhere" / "libvelkor.so")
    proc = run_python(loader_snippet(f"print(load({missing.encode()!r}), lib.kiv_llm_reset(None))"))
    assert proc.stdout.split() == ["-1", "1"]
    lines = proc.stderr.splitlines()
    assert len(lines) == 1
    assert lines[0].startswith(f'[VELKOR_FUNC] dlopen("{missing}") failed: ')
    assert "No such file" in lines[0]


def test_null_path_is_refused_with_null_in_the_line():
    proc = run_python(loader_snippet("print(load(None))"))
    assert proc.stdout.split() == ["-1"]
    assert proc.stderr.splitlines() == ['[VELKOR_FUNC] dlopen("NULL") failed: no library path given']


def test_library_missing_an_entry_point_loads_nothing(tmp_path, fake_velkor_no_vision_path):
    proc = run_python(loader_snippet(f"""
print(load({str(fake_velkor_no_vision_path).encode()!r}))
print(lib.kiv_llm_reset(None))
# The handle was closed: the library is no longer mapped.
import os
print(any({fake_velkor_no_vision_path.name!r} in line for line in open('/proc/self/maps')))
"""))
    assert proc.stdout.split() == ["-1", "1", "False"]
    lines = proc.stderr.splitlines()
    assert len(lines) == 1
    assert lines[0].startswith("[VELKOR_FUNC] dlsym failed: ")
    assert "kiv_llm_get_vision_info" in lines[0]


def test_second_load_ignores_the_path_and_unload_empties_the_table(fake_velkor_path):
    proc = run_python(loader_snippet(f"""
print(load({str(fake_velkor_path).encode()!r}))
print(load(b"/does/not/exist.so"))
print(lib.kiv_llm_reset(None))      # forwarded to the fake: 0
lib.unload_velkor_func()
lib.unload_velkor_func()            # harmless twice
print(lib.kiv_llm_reset(None))      # empty table: 1
"""))
    assert proc.stdout.split() == ["0", "0", "0", "1"]
    assert proc.stderr == ""


def test_shims_return_one_before_any_load():
    proc = run_python(loader_snippet("""
for name in %r:
    fn = getattr(lib, name)
    fn.restype = ctypes.c_uint32
    print(fn(None, None, None, None))
""" % ENTRY_POINTS))
    assert proc.stdout.split() == ["1"] * len(ENTRY_POINTS)
