"""typed_usage.py passes ``mypy --strict`` against the installed stubs."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

EXAMPLE = Path(__file__).with_name("typed_usage.py")


def test_strict_mypy_accepts_the_example_and_refuses_its_mistakes(tmp_path):
    # Outside the repository, so that only the installed package is seen; mypy
    # reads the stubs and loads no module, so a preloaded sanitizer stays out.
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH", "LD_PRELOAD")}
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", os.devnull, str(EXAMPLE)],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_strict_mypy_accepts_the_whole_installed_package(tmp_path):
    # The serving layer and the server are typed as strictly as the stubs.
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", os.devnull, "-p",
                           "tessel_openai_server.kiv_velkor"], capture_output=True, text=True, cwd=tmp_path,
                          timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
