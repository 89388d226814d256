from __future__ import annotations

import gc
import shutil
import signal
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from support.fake_velkor import FakeVelkor, build_fake_velkor  # noqa: E402

from tessel_openai_server.kiv_velkor import _velkor  # noqa: E402
from tessel_openai_server.kiv_velkor.types import RetStatus, RunStatus  # noqa: E402


@pytest.fixture(scope="session")
def fake_velkor_path() -> Path:
    return build_fake_velkor()


@pytest.fixture(scope="session")
def fake_velkor_no_vision_path() -> Path:
    return build_fake_velkor(omit_vision=True)


def _release_objects() -> None:
    # Objects created on the main thread stay referenced by the SIGINT machinery
    # until the handler is replaced; give it back to Python so they can go.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    gc.collect()


_closed_fakes: list[Path] = []


@pytest.fixture
def deploy(tmp_path, monkeypatch):
    """Places a copy of a runtime library next to the module (as the module sees
    its own directory) and returns a controller of that copy."""
    fakes: list[FakeVelkor] = []

    def place(library: Path | None) -> FakeVelkor | None:
        directory = tmp_path / f"pkg{len(fakes)}"
        directory.mkdir()
        monkeypatch.setattr(_velkor, "__file__", str(directory / Path(_velkor.__file__).name))
        if library is None:
            return None
        target = directory / "libvelkor.so"
        shutil.copy(library, target)
        fake = FakeVelkor(target)
        fakes.append(fake)
        return fake

    _release_objects()
    # Every object of the earlier tests is gone, so the module has closed their
    # libraries: a reference leaked anywhere would keep one mapped.
    maps = Path("/proc/self/maps").read_text()
    leaked = [str(p) for p in _closed_fakes if str(p) in maps]
    _closed_fakes.clear()
    assert not leaked, f"a VELKOR object outlived its test: {leaked}"
    yield place
    _release_objects()
    for fake in fakes:
        fake.close()
    _closed_fakes.extend(f.path for f in fakes)


@pytest.fixture
def fake(deploy, fake_velkor_path) -> FakeVelkor:
    return deploy(fake_velkor_path)


@pytest.fixture
def llm(fake):
    """A VELKOR with a context from the fake runtime."""
    obj = _velkor.VELKOR()
    assert obj.init("model.gguf") == RetStatus.SUCCESS
    yield obj
    obj.uninit()
