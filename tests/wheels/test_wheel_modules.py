"""The device wheels (scripts/wheels.sh): what their modules need of the system.

Runs on the wheels in the directory $KIV_WHEELS, which scripts/check_wheels.sh
sets; skipped without it. The x86_64 modules' exact exports and libraries are
also checked by the module suites, which that script runs against the
installed x86_64 wheel; the aarch64 modules are held to the same here."""

from __future__ import annotations

import os
import re
import subprocess
import zipfile
from pathlib import Path

import pytest

GLIBC_FLOOR = (2, 28)
ARCHITECTURES = {"x86_64": "X86-64", "aarch64": "AArch64"}     # as readelf names the machine
ALLOWED_NEEDED = re.compile(r"(libc|libm|libdl|libpthread)\.so\.\d+|ld-linux[-\w.]*\.so\.\d+")

if not os.environ.get("KIV_WHEELS"):
    pytest.skip("no wheels to check: scripts/check_wheels.sh builds them and sets KIV_WHEELS",
                allow_module_level=True)
WHEELS = sorted(Path(os.environ["KIV_WHEELS"]).glob("*.whl"))


def architecture(wheel: Path) -> str:
    platform = wheel.name.removesuffix(".whl").split("-")[-1]
    return next((arch for arch in ARCHITECTURES if platform.endswith("_" + arch)), platform)


MODULES = [(wheel, member) for wheel in WHEELS
           for member in zipfile.ZipFile(wheel).namelist() if member.endswith(".so")]


def tool(*args: str) -> str:
    return subprocess.run(args, capture_output=True, text=True, check=True).stdout


@pytest.fixture(scope="module")
def unpacked(tmp_path_factory) -> dict[tuple[str, str], Path]:
    """(architecture, module name) -> the module file taken out of its wheel."""
    files = {}
    for wheel, member in MODULES:
        out = tmp_path_factory.mktemp(architecture(wheel)) / Path(member).name
        out.write_bytes(zipfile.ZipFile(wheel).read(member))
        files[architecture(wheel), out.name.split(".")[0]] = out
    return files


def test_one_wheel_per_architecture_tagged_with_the_floor():
    floor = "manylinux_{}_{}".format(*GLIBC_FLOOR)
    assert sorted(w.name.split("-", 2)[2] for w in WHEELS) == sorted(
        f"cp313-cp313-{floor}_{arch}.whl" for arch in ARCHITECTURES)
    for wheel in WHEELS:
        names = {Path(m).name for w, m in MODULES if w == wheel}
        assert names == {f"{module}.cpython-313-{architecture(wheel)}-linux-gnu.so"
                         for module in ("_velkor", "_quellan")}


@pytest.mark.parametrize("wheel, member", MODULES, ids=[f"{architecture(w)}/{Path(m).name}" for w, m in MODULES])
def test_module_needs_only_libc_and_nothing_newer_than_the_floor(unpacked, wheel, member):
    path = unpacked[architecture(wheel), Path(member).name.split(".")[0]]
    machine = re.search(r"Machine:\s+(.+)", tool("readelf", "-h", str(path)))
    assert machine and machine.group(1).endswith(ARCHITECTURES[architecture(wheel)])
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", tool("readelf", "-d", str(path)))
    assert needed and all(ALLOWED_NEEDED.fullmatch(n) for n in needed), needed
    # Every symbol version the module asks for: the C library's only (a C++
    # runtime's, GLIBCXX_ or CXXABI_, would mean it is not linked in), none
    # newer than the floor.
    versions = set(re.findall(r"Name: (\S+)\s+Flags:", tool("readelf", "-V", "-W", str(path))))
    assert versions and all(re.fullmatch(r"GLIBC_[\d.]+", v) for v in versions), versions
    newest = max(tuple(map(int, v.removeprefix("GLIBC_").split("."))) for v in versions)
    assert newest <= GLIBC_FLOOR, f"{path.name} needs GLIBC_{'.'.join(map(str, newest))}"


@pytest.mark.parametrize("module", ["_velkor", "_quellan"])
def test_both_architectures_export_the_same_c_entry_points(unpacked, module):
    def exports(arch: str) -> set[str]:
        out = tool("nm", "-D", "--defined-only", str(unpacked[arch, module]))
        return {line.split()[-1] for line in out.splitlines() if line.strip()} - {"_init", "_fini"}

    assert exports("aarch64") == exports("x86_64")
    assert f"PyInit_{module}" in exports("aarch64")
    assert not any(name.startswith("_Z") for name in exports("aarch64"))   # no C++ runtime symbol
