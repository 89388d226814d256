"""Module set-up, find_quellan_path and loading the runtime on construction.
Loader outcomes and a module reached through a symbolic link need a fresh
interpreter each."""

from __future__ import annotations

import json
import shutil

import pytest

from .conftest import MODULE, fake_library, run_python


def test_module_surface(quellan):
    assert quellan.__doc__ == "Binds the kiv_asr_* entry points of libquellan.so, loaded with dlopen."
    assert [n for n in vars(quellan) if not n.startswith("__")] == ["os", "Path", "find_quellan_path", "Quellan"]
    assert quellan.find_quellan_path.__annotations__ == {"return": "str"}
    with pytest.raises(TypeError):
        quellan.find_quellan_path("x")


@pytest.mark.parametrize("value", ["/does/not/exist/libquellan.so", "relative-name.so"])
def test_environment_variable_is_read_at_call_time_and_taken_unchanged(quellan, monkeypatch, value):
    monkeypatch.setenv("KIV_QUELLAN_PATH", value)
    assert quellan.find_quellan_path() == value
    monkeypatch.setenv("KIV_QUELLAN_PATH", "")
    assert quellan.find_quellan_path() != ""


def test_later_constructions_ignore_the_path(quellan, fake):
    quellan.Quellan("/does/not/exist.so").init("whisper", "m", "t")
    assert fake.names() == ["kiv_asr_init", "kiv_asr_uninit"]   # the temporary is released


LOCATE = """
import importlib.util, json
module_spec = importlib.util.spec_from_file_location({name!r}, {module!r})
m = importlib.util.module_from_spec(module_spec)
module_spec.loader.exec_module(m)
print(json.dumps(m.find_quellan_path()))
"""


@pytest.mark.parametrize("beside_real, env, expected", [
    ("file", None, "REAL/libquellan.so"),
    ("dir", None, "libquellan.so"),
    (None, None, "libquellan.so"),
    ("file", "", "REAL/libquellan.so"),
    ("file", "/elsewhere/lib.so", "/elsewhere/lib.so"),
])
def test_library_location(quellan, tmp_path, beside_real, env, expected):
    real, link = tmp_path / "real", tmp_path / "link"
    real.mkdir()
    link.mkdir()
    module_file = real / "_quellan.so"
    shutil.copy(quellan.__file__, module_file)
    (link / "_quellan.so").symlink_to(module_file)
    (link / "libquellan.so").write_bytes(b"")        # beside the link: must not count
    if beside_real == "file":
        (real / "libquellan.so").write_bytes(b"")
    elif beside_real == "dir":
        (real / "libquellan.so").mkdir()
    proc = run_python(LOCATE.format(name=MODULE, module=str(link / "_quellan.so")),
                      env=None if env is None else {"KIV_QUELLAN_PATH": env})
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == expected.replace("REAL", str(real.resolve()))


CONSTRUCT = """
import json, pathlib
from {module} import Quellan
out = []
for arg in {args}:
    try:
        Quellan(*arg)
        out.append("ok")
    except Exception as exc:
        out.append(f"{{type(exc).__name__}}: {{exc}}")
print(json.dumps(out))
"""


@pytest.mark.parametrize("env, args, expected, stderr", [
    (None, "[()]", ["RuntimeError: Cannot load libquellan.so (libquellan.so)"], ['dlopen("libquellan.so") failed']),
    ({"KIV_QUELLAN_PATH": "/nope/q.so"}, "[()]", ["RuntimeError: Cannot load libquellan.so (/nope/q.so)"],
     ['dlopen("/nope/q.so") failed']),
    (None, "[(pathlib.Path('/nope/p.so'),), (NO_UNINIT,), (5,), (GOOD,), ('/nope',), (5,)]",
     ["RuntimeError: Cannot load libquellan.so (/nope/p.so)", "RuntimeError: Cannot load libquellan.so (NO_UNINIT)",
      "TypeError: expected str, bytes or os.PathLike object, not int", "ok", "ok",
      "TypeError: expected str, bytes or os.PathLike object, not int"],
     ['dlopen("/nope/p.so") failed', "dlsym failed"]),
], ids=["bare-name", "environment", "retry-then-loaded-once"])
def test_construction_loads_once_per_process(env, args, expected, stderr):
    good, no_uninit = str(fake_library()), str(fake_library("FAKE_QUELLAN_NO_UNINIT"))
    code = CONSTRUCT.format(module=MODULE, args=args.replace("NO_UNINIT", repr(no_uninit)).replace("GOOD", repr(good)))
    proc = run_python(code, env=env)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == [e.replace("NO_UNINIT", no_uninit) for e in expected]
    lines = proc.stderr.splitlines()
    assert len(lines) == len(stderr)
    for line, fragment in zip(lines, stderr):
        assert line.startswith("[QUELLAN_FUNC] ") and fragment in line
