"""The model registry on the reference LLM runtime: several pools in one
process, loaded when first held, the least recently used idle one unloaded to
make room (never one with a run in progress), callers during a load sharing
it, a failed load answered with its reason while the other models serve, and
fork. Idle unloads and unloads asked for: tests/server/test_models.py."""

from __future__ import annotations

import asyncio
import threading
import time

import pytest

from tessel_openai_server.kiv_velkor.streaming.errors import ModelLoadError, ModelNotFound, ModelUnavailable
from tessel_openai_server.kiv_velkor.streaming.models import ModelRegistry, ModelSource, ModelState
from tessel_openai_server.kiv_velkor.streaming.pool import ModelPool

from .conftest import MODEL, user
from .test_lifecycles import run_pool

HELLO = MODEL["replies"][0]["reply"]


@pytest.fixture
def registry(place_library, runtimes, model_path, monkeypatch):
    """Registries of pools on the reference runtime (``loaders`` maps names to loaders, default: a pool of
    the test model; a piece every 10 ms), closed after the test."""
    made: list[ModelRegistry] = []
    place_library(runtimes["velkor"])
    monkeypatch.setenv("KIV_REFERENCE_DELAY_MS", "10")

    def make(*names: str, loaders=None, **options) -> ModelRegistry:
        loaders = loaders or {}
        sources = [ModelSource(n, loaders.get(n, lambda: ModelPool(str(model_path)))) for n in names]
        made.append(ModelRegistry(sources, **options))
        return made[-1]

    yield make
    for r in made:
        r.close()


def states(registry: ModelRegistry) -> dict[str, str]:
    return {s.name: s.state.value for s in registry.statuses()}


def ask(registry: ModelRegistry, name: str) -> str:
    with registry.hold(name) as held:
        return held.model.chat(user("Hello")).collect().text


def test_a_full_registry_makes_room_from_the_least_recently_used_idle_model_never_a_running_one(registry):
    models = registry("a", "b", "c", max_loaded=2, load_timeout=10)
    assert states(models) == {"a": "unloaded", "b": "unloaded", "c": "unloaded"}
    assert ask(models, "a") == ask(models, "b") == HELLO
    with models.hold("a") as held:
        pool_a = held.model
    # b is the least recently used, but its run is in progress: a makes room for c instead.
    with models.hold("b") as held:
        story = held.model.chat(user("Tell me a long story"))
        story.start()
    assert ask(models, "c") == HELLO
    assert states(models) == {"a": "unloaded", "b": "loaded", "c": "loaded"} and pool_a.closed
    # Every loaded model busy: a caller waits its bounded time, then learns why.
    with models.hold("c"):
        with pytest.raises(ModelUnavailable) as full:
            models.hold("a", timeout=0.3)
    assert full.value.code == "models_busy" and full.value.http_status == 503
    # Once b's run has ended it is idle, and the least recently used: it goes for a.
    assert story.collect().finish_reason == "stop"
    assert ask(models, "a") == HELLO
    assert states(models) == {"a": "loaded", "b": "unloaded", "c": "loaded"}
    counts = {s.name: (s.loads, s.evictions, s.unloads) for s in models.statuses()}
    assert counts == {"a": (2, 1, 1), "b": (1, 1, 1), "c": (1, 0, 0)}
    with pytest.raises(ModelNotFound):
        models.hold("d")


def test_callers_during_a_load_share_it_and_a_failed_load_answers_with_its_reason(registry, model_path, tmp_path):
    gate, loading = threading.Event(), threading.Event()

    def slow() -> ModelPool:
        loading.set()
        assert gate.wait(10)
        return ModelPool(str(model_path))

    broken = tmp_path / "broken.json"
    broken.write_text("{ not a model")
    models = registry("slow", "broken", "plain", loaders={"slow": slow, "broken": lambda: ModelPool(str(broken))},
                      retry_after=1.0)

    async def scenario() -> list[ModelPool]:
        waiting = [asyncio.ensure_future(models.ahold("slow")) for _ in range(3)]
        await asyncio.to_thread(loading.wait, 10)
        await asyncio.sleep(0.05)
        assert models.status("slow").state is ModelState.LOADING and models.waiting == 3
        assert not any(w.done() for w in waiting)   # the event loop ran on meanwhile
        gate.set()
        holds = await asyncio.gather(*waiting)
        for h in holds:
            h.release()
        return [h.model for h in holds]

    pools = asyncio.run(scenario())
    assert pools[0] is pools[1] is pools[2] and models.status("slow").loads == 1

    with pytest.raises(ModelLoadError) as failed:
        models.hold("broken")
    assert "'broken' could not be loaded" in failed.value.message and failed.value.http_status == 500
    with pytest.raises(ModelLoadError):
        models.hold("broken")                # answered at once: no new attempt yet
    status = models.status("broken")
    assert (status.state, status.failures) == (ModelState.FAILED, 1) and "init returned FAILED" in status.error
    assert ask(models, "plain") == HELLO   # the others serve on
    time.sleep(1.1)
    with pytest.raises(ModelLoadError):
        models.hold("broken")                # tried again
    assert models.status("broken").failures == 2


def test_a_registry_used_before_fork_refuses_in_the_child_and_serves_the_parent(runtimes):
    out = run_pool(runtimes, """
from tessel_openai_server.kiv_velkor.streaming.models import ModelRegistry, ModelSource
registry = ModelRegistry([ModelSource("b", lambda: ModelPool(str(_dir / "model.json")))], keep_alive=60)
with registry.hold("b") as held:
    assert held.model.chat(HELLO).collect().text
pid = os.fork()
if pid == 0:
    started = time.monotonic()
    try:
        registry.hold("b")
        code = 1
    except PoolError as exc:
        code = 0 if exc.code == "pool_forked" else 2
    registry.close()
    os._exit(code or (0 if time.monotonic() - started < 2 else 3))
_, status = os.waitpid(pid, 0)
with registry.hold("b") as held:
    print(os.waitstatus_to_exitcode(status), bool(held.model.chat(HELLO).collect().text))
registry.close()
pool.close()
""")
    assert out.stdout.split() == ["0", "True"], out.stderr
