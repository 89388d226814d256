"""Fixtures: the reference runtimes, built once per session with cmake."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from .refrt import ROOT, bind_quellan, bind_velkor, build_runtimes_or_skip



@pytest.fixture(scope="session")
def runtimes() -> dict[str, Path]:
    return build_runtimes_or_skip()


@pytest.fixture(scope="session")
def velkor(runtimes):
    return bind_velkor(runtimes["velkor"])


@pytest.fixture(scope="session")
def quellan(runtimes):
    return bind_quellan(runtimes["quellan"])


@pytest.fixture
def model_file(tmp_path):
    """Writes a model file from a dict (or the example model when called without one)."""
    def write(doc: dict | None = None, name: str = "model.json") -> Path:
        path = tmp_path / name
        if doc is None:
            path.write_text((ROOT / "reference_runtimes" / "example_model.json").read_text())
        else:
            path.write_text(json.dumps(doc))
        return path
    return write
