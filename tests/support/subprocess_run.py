"""Runs a Python snippet in a fresh interpreter (for loader states, signals and
anything else that must start from a clean process)."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

from .emulation import deadline


def run_python(code: str, env: dict[str, str] | None = None, timeout: float = 60,
               check: bool = True) -> subprocess.CompletedProcess[str]:
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=full_env, timeout=deadline(timeout))
    if check and proc.returncode != 0:
        raise AssertionError(f"snippet failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


# The start of a snippet that runs against a copy of the fake LLM runtime
# (placed where the module looks for its library): `fake` controls it and keeps
# it mapped, `make()` builds a VELKOR that leaves SIGINT alone (so dropping it
# frees it).
FAKE_PREAMBLE = """
import gc, os, shutil, signal, sys, tempfile, threading, time
from pathlib import Path
sys.path.insert(0, {tests!r})
from support.fake_velkor import FakeVelkor
from tessel_openai_server.kiv_velkor import _velkor
from tessel_openai_server.kiv_velkor.types import RetStatus, RunStatus
_dir = Path(tempfile.mkdtemp())
shutil.copy({library!r}, _dir / "libvelkor.so")
_velkor.__file__ = str(_dir / "_velkor.so")
fake = FakeVelkor(_dir / "libvelkor.so")

def make():
    obj = _velkor.VELKOR()
    obj._restore_sigint_handler()
    return obj
"""


def run_with_fake(library, body: str, timeout: float = 60, env: dict[str, str] | None = None,
                  check: bool = True) -> subprocess.CompletedProcess[str]:
    """Runs `body` after FAKE_PREAMBLE in a fresh interpreter; a hang fails by timeout."""
    from pathlib import Path

    tests = str(Path(__file__).resolve().parents[1])
    code = FAKE_PREAMBLE.format(tests=tests, library=str(library)) + textwrap.dedent(body)
    return run_python(code, env=env, timeout=timeout, check=check)
