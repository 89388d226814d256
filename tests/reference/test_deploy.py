"""The deployment command, always on a temporary copy of the package directory."""

from __future__ import annotations

import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from support.native_build import build_shared

from .refrt import ROOT

PACKAGE_SOURCE = ROOT / "proxy_server" / "kiv_velkor"


@pytest.fixture
def pkg(tmp_path):
    """A package directory holding a copy of the command; returns (directory, command-line module)."""
    root = tmp_path / "site" / "tessel_openai_server"
    directory = root / "kiv_velkor"
    directory.mkdir(parents=True)
    (root / "__init__.py").write_text("")
    (directory / "server").mkdir()
    for name in ("__init__.py", "__main__.py", "cli.py", "deploy.py", "server/__init__.py", "server/options.py"):
        shutil.copy(PACKAGE_SOURCE / name, directory / name)
    # The copy imported as a package of its own name, beside the installed one.
    name = "kiv_deploy_under_test"
    package_spec = importlib.util.spec_from_file_location(name, directory / "__init__.py",
                                                          submodule_search_locations=[str(directory)])
    package = importlib.util.module_from_spec(package_spec)
    sys.modules[name] = package   # dataclasses look their module up
    package_spec.loader.exec_module(package)
    module = importlib.import_module(f"{name}.cli")
    assert module.deploy.PACKAGE_DIR == directory
    yield directory, module
    for loaded in [n for n in sys.modules if n == name or n.startswith(name + ".")]:
        del sys.modules[loaded]


@pytest.fixture(scope="session")
def partial_velkor(tmp_path_factory) -> Path:
    src = tmp_path_factory.mktemp("partial") / "partial.cpp"
    src.write_text('extern "C" int kiv_llm_init() { return 1; }\nextern "C" int kiv_llm_run() { return 1; }\n')
    return build_shared("partial_velkor", [src])


def deploy(module, capsys, *argv):
    rc = module.main(list(argv))
    out, err = capsys.readouterr()
    return rc, out, err


@pytest.mark.parametrize("in_process", [False, True])
def test_status_of_a_package_with_and_without_runtimes(pkg, runtimes, capsys, in_process):
    directory, module = pkg
    flags = ["--in-process"] if in_process else []
    rc, out, _ = deploy(module, capsys, "status", *flags)
    assert rc == 0 and out.count("present:      no") == 2 and str(directory) in out

    (directory / "_velkor.cpython-313-x86_64-linux-gnu.so").write_bytes(b"")
    shutil.copy(runtimes["velkor"], directory / "libvelkor.so")
    rc, out, _ = deploy(module, capsys, "status", *flags)
    assert rc == 0
    assert "_velkor.cpython-313-x86_64-linux-gnu.so" in out
    assert "loads:        yes" in out and "entry points: 9 of 9 resolve" in out
    assert ("in this process" if in_process else "in a subprocess") in out


@pytest.mark.parametrize("content, expected", [
    ("garbage", "loads:        no"),
    ("partial", "missing:      kiv_llm_uninit, kiv_llm_reset"),
    ("dangling", "(broken symlink)"),
])
def test_status_fails_for_an_unusable_library(pkg, capsys, partial_velkor, content, expected):
    directory, module = pkg
    target = directory / "libvelkor.so"
    if content == "garbage":
        target.write_bytes(b"\x7fELF not really")
    elif content == "partial":
        shutil.copy(partial_velkor, target)
    else:
        target.symlink_to(directory / "gone.so")
    rc, out, _ = deploy(module, capsys, "status")
    assert rc == 1 and expected in out


def test_status_follows_the_speech_runtime_override(pkg, runtimes, capsys, monkeypatch):
    directory, module = pkg
    monkeypatch.setenv("KIV_QUELLAN_PATH", str(runtimes["quellan"]))
    rc, out, _ = deploy(module, capsys, "status")
    assert rc == 0 and "entry points: 4 of 4 resolve" in out and "KIV_QUELLAN_PATH is set" in out
    monkeypatch.setenv("KIV_QUELLAN_PATH", str(directory / "nowhere.so"))
    assert deploy(module, capsys, "status")[0] == 1


@pytest.mark.parametrize("symlink", [False, True])
def test_install_refuses_to_overwrite_without_force(pkg, runtimes, capsys, symlink):
    directory, module = pkg
    mode = ["--symlink"] if symlink else []
    target = directory / "libvelkor.so"
    rc, out, _ = deploy(module, capsys, "install-runtime", "velkor", str(runtimes["velkor"]), *mode)
    assert rc == 0 and "Installed" in out
    assert target.is_symlink() == symlink
    assert target.read_bytes() == runtimes["velkor"].read_bytes()
    if symlink:
        assert os.readlink(target) == str(runtimes["velkor"].absolute())

    other = directory.parent / "other-libvelkor.so"
    shutil.copy(runtimes["velkor"], other)
    with open(other, "ab") as f:
        f.write(b"\0")                               # still loads, differs by one byte
    rc, _, err = deploy(module, capsys, "install-runtime", "velkor", str(other))
    assert rc == 1 and "already exists; use --force" in err
    assert target.read_bytes() == runtimes["velkor"].read_bytes()

    rc, _, _ = deploy(module, capsys, "install-runtime", "velkor", str(other), "--force")
    assert rc == 0 and not target.is_symlink() and target.read_bytes() == other.read_bytes()
    assert [p.name for p in directory.iterdir() if p.name.endswith(".tmp")] == []


def test_install_the_packaged_reference_build(pkg, runtimes, capsys):
    directory, module = pkg
    rc, _, err = deploy(module, capsys, "install-runtime", "quellan", "--reference")
    assert rc == 1 and "-DKIV_BUILD_REFERENCE_RUNTIMES=ON" in err
    (directory / "reference_runtimes").mkdir()
    shutil.copy(runtimes["quellan"], directory / "reference_runtimes" / "libquellan.so")
    rc, _, _ = deploy(module, capsys, "install-runtime", "quellan", "--reference", "--symlink")
    assert rc == 0
    assert (directory / "libquellan.so").resolve() == (directory / "reference_runtimes" / "libquellan.so")


@pytest.mark.parametrize("source, message", [
    ("missing", "no such file"),
    ("directory", "not a regular file"),
    ("text", "no ELF header"),
    ("other-runtime", "lacks the entry points kiv_llm_init"),
    ("partial", "lacks the entry points kiv_llm_uninit"),
    ("itself", "the installed library itself"),
])
def test_install_refuses_unusable_sources(pkg, runtimes, capsys, partial_velkor, source, message):
    directory, module = pkg
    path = {"missing": directory / "nope.so", "directory": directory, "other-runtime": runtimes["quellan"],
            "partial": partial_velkor, "itself": directory / "libvelkor.so"}.get(source)
    if source == "text":
        path = directory.parent / "notes.so"
        path.write_text("hello")
    if source == "itself":
        shutil.copy(runtimes["velkor"], path)
    before = sorted(p.name for p in directory.iterdir())
    rc, _, err = deploy(module, capsys, "install-runtime", "velkor", str(path), "--force")
    assert rc == 1 and message in err
    assert sorted(p.name for p in directory.iterdir()) == before


def test_no_check_installs_a_library_the_check_refuses(pkg, capsys, partial_velkor):
    directory, module = pkg
    assert deploy(module, capsys, "install-runtime", "velkor", str(partial_velkor), "--no-check")[0] == 0
    assert deploy(module, capsys, "status")[0] == 1


@pytest.mark.parametrize("argv, rc", [
    (["status"], 0),
    (["install-runtime", "velkor"], 2),                       # neither a path nor --reference
])
def test_python_dash_m_entry(pkg, argv, rc):
    directory, _ = pkg
    proc = subprocess.run([sys.executable, "-m", "tessel_openai_server.kiv_velkor", *argv],
                          cwd=directory.parent.parent, capture_output=True, text=True, timeout=60,
                          env={**os.environ, "PYTHONPATH": str(directory.parent.parent)})
    assert proc.returncode == rc, proc.stderr
    if rc == 0:
        assert f"Package directory: {directory}" in proc.stdout


def test_status_without_runtimes_says_what_to_do_next(pkg, capsys):
    directory, module = pkg
    rc, out, _ = deploy(module, capsys, "status")
    assert rc == 0 and "Next steps" in out
    assert "install-runtime velkor /path/to/libvelkor.so" in out and "scripts/deploy_reference.sh" in out
