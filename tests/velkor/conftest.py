from __future__ import annotations

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from support.fake_velkor import FakeVelkor, build_fake_velkor  # noqa: E402
from support.placement import look_in, place_velkor, release_objects, still_mapped  # noqa: E402

from tessel_openai_server.kiv_velkor import _velkor  # noqa: E402
from tessel_openai_server.kiv_velkor.types import RetStatus, RunStatus  # noqa: E402


@pytest.fixture(scope="session")
def fake_velkor_path() -> Path:
    return build_fake_velkor()


@pytest.fixture(scope="session")
def fake_velkor_no_vision_path() -> Path:
    return build_fake_velkor(omit_vision=True)


_closed_fakes: list[Path] = []


@pytest.fixture
def deploy(tmp_path, monkeypatch):
    """Places a copy of a runtime library next to the module (as the module sees
    its own directory) and returns a controller of that copy."""
    fakes: list[FakeVelkor] = []

    def place(library: Path | None) -> FakeVelkor | None:
        directory = tmp_path / f"pkg{len(fakes)}"
        if library is None:
            directory.mkdir()
            look_in(directory, monkeypatch)
            return None
        fake = FakeVelkor(place_velkor(library, directory, monkeypatch))
        fakes.append(fake)
        return fake

    release_objects()
    # Every object of the earlier tests is gone, so the module has closed their
    # libraries: a reference leaked anywhere would keep one mapped.
    leaked = still_mapped(_closed_fakes)
    _closed_fakes.clear()
    assert not leaked, f"a VELKOR object outlived its test: {leaked}"
    yield place
    release_objects()
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
