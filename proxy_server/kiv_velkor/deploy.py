"""Deployment of the runtime libraries next to the native modules.

``_velkor`` opens ``libvelkor.so`` and ``_quellan`` opens ``libquellan.so``
from the package directory. This module shows what is there and puts a
library there::

    python -m tessel_openai_server.kiv_velkor status
    python -m tessel_openai_server.kiv_velkor install-runtime velkor /path/to/libvelkor.so
    python -m tessel_openai_server.kiv_velkor install-runtime quellan --reference --symlink

(:mod:`.cli` parses those commands.) It never imports the native modules, so
it works when they cannot load.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import TextIO

PACKAGE_DIR = Path(__file__).resolve().parent
REFERENCE_DIR_NAME = "reference_runtimes"


@dataclass(frozen=True)
class Runtime:
    key: str
    title: str
    file_name: str
    module: str
    entry_points: tuple[str, ...]


RUNTIMES = {
    "velkor": Runtime("velkor", "LLM runtime", "libvelkor.so", "_velkor", (
        "kiv_llm_init", "kiv_llm_uninit", "kiv_llm_run", "kiv_llm_reset", "kiv_llm_break",
        "kiv_llm_set_chat_template", "kiv_llm_set_chat_template_jinja", "kiv_llm_set_toolcall_callback",
        "kiv_llm_get_vision_info")),
    "quellan": Runtime("quellan", "speech runtime", "libquellan.so", "_quellan", (
        "kiv_asr_init", "kiv_asr_transcribe", "kiv_asr_free_result", "kiv_asr_uninit")),
}

# Run by a fresh, isolated interpreter (-I: no current directory on the path,
# where a file such as types.py could shadow the standard library): a library
# that crashes while loading must not take the command down with it.
_PROBE = """
import ctypes, json, sys
path, names = sys.argv[1], sys.argv[2:]
try:
    lib = ctypes.CDLL(path)
except OSError as exc:
    print(json.dumps({"error": str(exc)}))
    raise SystemExit(0)
print(json.dumps({"resolved": [n for n in names if hasattr(lib, n)]}))
"""


@dataclass
class Probe:
    """Whether a library loads and which entry points it resolves."""

    path: Path
    error: str | None = None
    resolved: list[str] = field(default_factory=list)
    missing: list[str] = field(default_factory=list)

    @property
    def ok(self) -> bool:
        return self.error is None and not self.missing


def probe(path: Path, runtime: Runtime, *, in_process: bool = False) -> Probe:
    """Loads ``path`` with ctypes, in a subprocess unless ``in_process``."""
    names = list(runtime.entry_points)
    if in_process:
        import ctypes
        try:
            lib = ctypes.CDLL(str(path))
        except OSError as exc:
            return Probe(path, error=str(exc), missing=names)
        resolved = [n for n in names if hasattr(lib, n)]
    else:
        try:
            proc = subprocess.run([sys.executable, "-I", "-c", _PROBE, str(path), *names],
                                  capture_output=True, text=True, timeout=60)
        except subprocess.TimeoutExpired:
            return Probe(path, error="loading took longer than 60 s", missing=names)
        if proc.returncode != 0:
            reason = f"signal {-proc.returncode}" if proc.returncode < 0 else f"exit code {proc.returncode}"
            detail = proc.stderr.strip().splitlines()[-1:] or [""]
            return Probe(path, error=f"the probe process died ({reason}) {detail[0]}".strip(), missing=names)
        answer = json.loads(proc.stdout.strip().splitlines()[-1])
        if "error" in answer:
            return Probe(path, error=answer["error"], missing=names)
        resolved = answer["resolved"]
    return Probe(path, resolved=resolved, missing=[n for n in names if n not in resolved])


class DeployError(Exception):
    """A refused or failed deployment step; the message is for the user."""


def _is_elf(path: Path) -> bool:
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def reference_library(runtime: Runtime, package_dir: Path) -> Path:
    path = package_dir / REFERENCE_DIR_NAME / runtime.file_name
    if not path.is_file():
        raise DeployError(
            f"no reference build of {runtime.file_name} in {path.parent}: build the package with "
            "-DKIV_BUILD_REFERENCE_RUNTIMES=ON (for example "
            "KIV_CMAKE_ARGS=-DKIV_BUILD_REFERENCE_RUNTIMES=ON scripts/setup.sh), "
            "or build reference_runtimes/ with cmake and give the library's path")
    return path


def install_runtime(runtime: Runtime, source: Path, package_dir: Path, *, symlink: bool = False,
                    force: bool = False, check: bool = True) -> Path:
    """Places ``source`` in ``package_dir`` under the runtime's file name.

    The new file is made beside the target and renamed over it, so a process
    that has the old library mapped keeps running on it.
    """
    if not source.exists():
        raise DeployError(f"{source}: no such file")
    if not source.is_file():
        raise DeployError(f"{source}: not a regular file")
    if not _is_elf(source):
        raise DeployError(f"{source}: not a shared library (no ELF header)")
    if check:
        result = probe(source, runtime)
        if result.error:
            raise DeployError(f"{source} does not load: {result.error} (--no-check installs it anyway)")
        if result.missing:
            raise DeployError(f"{source} lacks the entry points {', '.join(result.missing)} of the "
                              f"{runtime.title}; {runtime.module} would refuse it (--no-check installs it anyway)")
    if not package_dir.is_dir():
        raise DeployError(f"{package_dir}: no such directory")
    target = package_dir / runtime.file_name
    source_abs = Path(os.path.abspath(source))
    if source_abs == Path(os.path.abspath(target)):
        raise DeployError(f"{source} is the installed library itself")
    if os.path.lexists(target) and not force:
        raise DeployError(f"{target} already exists; use --force to replace it")

    temp = package_dir / f".{runtime.file_name}.{os.getpid()}.tmp"
    try:
        if os.path.lexists(temp):
            temp.unlink()
        if symlink:
            os.symlink(source_abs, temp)
        else:
            shutil.copy2(source, temp)
        os.replace(temp, target)
    except OSError as exc:
        if os.path.lexists(temp):
            temp.unlink()
        raise DeployError(f"cannot write {target}: {exc.strerror or exc}") from exc
    return target


def _describe(result: Probe, runtime: Runtime, how: str) -> list[str]:
    if result.error:
        return [f"  loads:        no ({how}): {result.error}"]
    lines = [f"  loads:        yes ({how})",
             f"  entry points: {len(result.resolved)} of {len(runtime.entry_points)} resolve"]
    if result.missing:
        lines.append(f"  missing:      {', '.join(result.missing)}")
    return lines


def status(package_dir: Path, *, in_process: bool = False, out: TextIO | None = None) -> int:
    """Prints what sits next to the modules; 1 when a present library is unusable."""
    out = out or sys.stdout
    how = "ctypes, in this process" if in_process else "ctypes, in a subprocess"
    healthy = True
    missing: list[Runtime] = []
    print(f"Package directory: {package_dir}", file=out)
    for runtime in RUNTIMES.values():
        modules = sorted(p.name for p in package_dir.glob(f"{runtime.module}.*so"))
        print(f"\n{runtime.title[:1].upper()}{runtime.title[1:]} {runtime.file_name} (for {runtime.module}: "
              f"{', '.join(modules) if modules else 'module not built here'})", file=out)
        target = package_dir / runtime.file_name
        paths = [target]
        if runtime.key == "quellan" and os.environ.get("KIV_QUELLAN_PATH"):
            override = Path(os.environ["KIV_QUELLAN_PATH"])
            print(f"  note:         KIV_QUELLAN_PATH is set; {runtime.module} loads {override} instead", file=out)
            paths.append(override)
        for path in paths:
            print(f"  path:         {path}", file=out)
            if path.is_symlink():
                print(f"  symlink to:   {os.readlink(path)}", file=out)
            if not path.exists():
                broken = path.is_symlink()
                print("  present:      no" + (" (broken symlink)" if broken else ""), file=out)
                if path == target:
                    missing.append(runtime)
                # Nothing installed is a valid state; a dangling link or override is not.
                healthy = healthy and path == target and not broken
                continue
            result = probe(path, runtime, in_process=in_process)
            for line in _describe(result, runtime, how):
                print(line, file=out)
            healthy = healthy and result.ok
        reference = package_dir / REFERENCE_DIR_NAME / runtime.file_name
        if reference.is_file():
            print(f"  reference:    {reference} (install-runtime {runtime.key} --reference)", file=out)
    if missing:
        _print_next_steps(missing, package_dir, out)
    return 0 if healthy else 1


def _print_next_steps(missing: list[Runtime], package_dir: Path, out: TextIO) -> None:
    print("\nNext steps: nothing can run without the missing libraries. Place them with", file=out)
    for runtime in missing:
        print(f"  python -m tessel_openai_server.kiv_velkor install-runtime {runtime.key} "
              f"/path/to/{runtime.file_name}", file=out)
    print("(the device's libraries). On a machine without the device, a clone of the repository makes an "
          "environment\nwith the reference runtimes deployed (.venv-reference) with\n  scripts/deploy_reference.sh",
          file=out)
    if package_dir != PACKAGE_DIR:
        print(f"(add --package-dir {package_dir} to install-runtime)", file=out)


def install_command(runtime_key: str, path: Path | None, package_dir: Path, *, reference: bool = False,
                    symlink: bool = False, force: bool = False, check: bool = True) -> int:
    """``install-runtime``: places the library and says what it did; 1 (with the reason on stderr) when refused."""
    runtime = RUNTIMES[runtime_key]
    try:
        source = reference_library(runtime, package_dir) if reference else path
        if source is None:
            raise DeployError("give the library's path or --reference")
        target = install_runtime(runtime, source, package_dir, symlink=symlink, force=force, check=check)
    except DeployError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    print(f"Installed {source} as {target} ({'symlink' if symlink else 'copy'}).")
    return 0
