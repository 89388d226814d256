"""Runs a Python snippet in a fresh interpreter (for loader states, signals and
anything else that must start from a clean process)."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap


def run_python(code: str, env: dict[str, str] | None = None, timeout: float = 60,
               check: bool = True) -> subprocess.CompletedProcess[str]:
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=full_env, timeout=timeout)
    if check and proc.returncode != 0:
        raise AssertionError(f"snippet failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc
