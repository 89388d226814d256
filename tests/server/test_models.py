"""Several models in one server on the reference runtimes, through the official
client and plain HTTP: models picked by name, loaded on the first request and
evicted least recently used first, per-model options, a broken model answered
with its reason while the others serve, idle unloads, the admin endpoints, and
the configuration refused at start."""

from __future__ import annotations

import concurrent.futures
import json
import shutil
import time
import urllib.request
from pathlib import Path

import openai
import pytest

from support.emulation import deadline as stretched

from tessel_openai_server.kiv_velkor import cli
from tessel_openai_server.kiv_velkor.server.catalogue import catalogue
from tessel_openai_server.kiv_velkor.server.config import ServeConfig

from .conftest import MODEL, Server, user

HELLO = MODEL["replies"][0]["reply"]
CONFIG = """
suffixes = [".json"]

[models.short]                  # a second name for a.json, with a default of its own
path = "a.json"
contexts = 2
sampling = { max_tokens = 3 }

[models.whisper-1]
kind = "speech"
path = "asr.bin"
tokenizer = "asr-tokenizer.bin"

[models.whisper-2]              # two speech models: an upload's form says which
kind = "speech"
path = "asr.bin"
tokenizer = "asr-tokenizer.bin"
"""


@pytest.fixture(scope="module")
def models_dir(site, tmp_path_factory) -> Path:
    """a.json (the test model), broken.json (no model), and the config file naming two more models."""
    directory = tmp_path_factory.mktemp("models")
    shutil.copy(site / "model.json", directory / "a.json")
    (directory / "broken.json").write_text("{ not a model")
    (directory / "notes.txt").write_text("not a model either: its suffix is not listed")
    shutil.copy(site / "asr.bin", directory / "asr.bin")
    shutil.copy(site / "tokenizer.json", directory / "asr-tokenizer.bin")
    (directory / "models.toml").write_text(CONFIG)
    return directory


def states(server: Server) -> dict[str, str]:
    return {m["id"]: m["status"]["value"] for m in server.get("/v1/models")[1]["data"]}


def metric(server: Server, name: str, **labels: str) -> float:
    from prometheus_client.parser import text_string_to_metric_families
    with urllib.request.urlopen(server.url + "/metrics", timeout=10) as response:
        text = response.read().decode()
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            if sample.name.removesuffix("_total") == name and sample.labels == labels:
                return sample.value
    raise AssertionError(f"no {name} {labels}")


def wait_for(check, seconds: float = 10) -> bool:
    """Whether ``check()`` comes true within ``seconds`` (stretched under emulation)."""
    deadline = time.monotonic() + stretched(seconds)
    while not check():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def test_requests_pick_their_model_and_one_place_is_shared_least_recently_used_first(site, models_dir):
    s = Server(site, "--models-max", "1", delay_ms=5, models=["--models-dir", str(models_dir)])
    try:
        client = s.client
        assert [m.id for m in client.models.list()] == ["a", "broken", "short", "whisper-1", "whisper-2"]
        assert set(states(s).values()) == {"unloaded"}

        assert client.chat.completions.create(model="a", messages=user("Hello")).choices[0].message.content == HELLO
        short = client.chat.completions.create(model="short", messages=user("Hello"))
        assert (short.choices[0].finish_reason, short.usage.completion_tokens) == ("length", 3)   # its own default
        assert states(s) == {"a": "unloaded", "broken": "unloaded", "short": "loaded", "whisper-1": "unloaded",
                             "whisper-2": "unloaded"}
        ready, body = s.get("/health/ready?model=a")
        assert (ready, body["status"]) == (503, "unloaded") and s.get("/health/ready?model=short")[0] == 200

        # Streams, speech and plain completions, each loading its model in the one place.
        chunks = list(client.chat.completions.create(model="a", messages=user("Hello"), stream=True))
        assert "".join(c.choices[0].delta.content or "" for c in chunks if c.choices) == HELLO
        for speech in ("whisper-1", "whisper-2"):
            text = client.audio.transcriptions.create(model=speech, file=("a.wav", _wav(), "audio/wav")).text
            assert text.startswith("0.50 seconds of audio")
        assert client.completions.create(model="short", prompt="Hello", max_tokens=2).usage.completion_tokens == 2

        # The broken model answers with its reason, and the others serve on.
        with pytest.raises(openai.InternalServerError) as failed:
            openai.OpenAI(base_url=s.url + "/v1", api_key="none", max_retries=0).chat.completions.create(
                model="broken", messages=user("Hello"))
        assert "'broken' could not be loaded" in failed.value.message
        card = s.get("/v1/models/broken")[1]["status"]
        assert card["value"] == "failed" and "init returned FAILED" in card["error"]
        assert client.chat.completions.create(model="a", messages=user("Hello")).choices[0].message.content == HELLO
        with pytest.raises(openai.NotFoundError):
            client.chat.completions.create(model="whisper-1", messages=user("Hello"))

        assert (metric(s, "kiv_model_loads", model="a"), metric(s, "kiv_model_evictions", model="a")) == (3, 2)
        assert metric(s, "kiv_model_evictions", model="whisper-1") == 1
        assert metric(s, "kiv_model_load_failures", model="broken") == 1
        assert metric(s, "kiv_model_state", model="a", state="loaded") == 1
        assert metric(s, "kiv_model_load_seconds", model="a") > 0
        ready = s.get("/health/ready")[1]["models"]
        assert ready["short"]["evictions"] == 2 and ready["whisper-1"]["loads"] == 1
    finally:
        assert s.stop()[0] == 0


def test_idle_unloads_concurrent_first_requests_and_the_admin_endpoints(site):
    model = str(site / "model.json")
    s = Server(site, "--keep-alive", "1s", "--preload", "a", "--api-key", "k", "--contexts", "4", "--wait-timeout",
               "0.5", delay_ms=10,
               models=["--model", f"a={model}", "--model", f"b={model}"])
    client = openai.OpenAI(base_url=s.url + "/v1", api_key="k", max_retries=0, timeout=30)
    key = {"Authorization": "Bearer k"}
    try:
        assert s.get("/health/ready")[1]["models"]["a"]["value"] == "loaded"   # preloaded: ready at start

        # Four first requests at once: they wait for the one load and are all answered.
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            replies = list(pool.map(lambda _: client.chat.completions.create(
                model="b", messages=user("Hello"), extra_body={"keep_alive": -1}).choices[0].message.content,
                range(4)))
        assert replies == [HELLO] * 4
        models = {m["id"]: m["status"] for m in client.models.list().model_dump()["data"]}
        assert models["b"]["loads"] == 1
        # a stays idle past --keep-alive and goes; b asked to stay (-1) stays.
        assert wait_for(lambda: json.loads(client.models.retrieve("a").model_dump_json())["status"]["value"]
                        == "unloaded")
        assert client.models.retrieve("b").model_dump()["status"]["value"] == "loaded"
        # keep_alive 0: unloaded as soon as its request has been answered.
        client.chat.completions.create(model="b", messages=user("Hello"), extra_body={"keep_alive": "0"})
        assert wait_for(lambda: client.models.retrieve("b").model_dump()["status"]["value"] == "unloaded", 5)
        with pytest.raises(openai.BadRequestError) as bad:
            client.chat.completions.create(model="b", messages=user("Hello"), extra_body={"keep_alive": "soon"})
        assert bad.value.body["param"] == "keep_alive"

        body = json.dumps({"model": "a"}).encode()
        assert s.post("/models/load", body)[0] == 401   # behind the key
        code, loaded = s.post("/models/load", body, headers=key)
        assert (code, loaded["status"]["value"]) == (200, "loaded")
        # Asked to unload during a stream: it unloads once the stream has ended.
        stream = client.chat.completions.create(model="a", messages=user("Tell me a long story"), stream=True)
        next(iter(stream))
        code, busy = s.post("/models/unload", body, headers=key)
        assert (code, busy["status"]["value"]) == (202, "loaded")
        assert "".join(c.choices[0].delta.content or "" for c in stream if c.choices).endswith("word199")
        assert wait_for(lambda: client.models.retrieve("a").model_dump()["status"]["value"] == "unloaded", 5)
        assert s.post("/models/unload", json.dumps({"model": "c"}).encode(), headers=key)[0] == 404
    finally:
        assert s.stop()[0] == 0


@pytest.mark.parametrize("args, config, message", [
    (["--model", "a=m.json", "--model-name", "x"], None, "--model-name belongs to a bare --model PATH"),
    (["--model", "a=m.json", "--model", "a=n.json"], None, "'a' is given twice"),
    (["--model", "a=m.json", "--preload", "b"], None, "--preload b: no model is called so"),
    (["--model", "a=m.json", "--models-config", "{config}"], "[models.a]\ncontext = 2\n", "unknown option 'context'"),
    (["--model", "a=m.json", "--models-config", "{config}"], "[models.a]\nsampling = { temperature = 9 }\n",
     "temperature"),
    (["--models-dir", "{dir}"], None, "holds no file ending in .gguf"),
])
def test_a_wrong_configuration_is_refused_with_its_reason_before_anything_is_loaded(tmp_path, args, config, message):
    # serve prints the reason and exits with status 2 for any of them, before it binds its port.
    if config is not None:
        (tmp_path / "models.toml").write_text(config)
    parsed = cli.build_parser().parse_args(["serve", *(a.format(config=tmp_path / "models.toml", dir=tmp_path)
                                                       for a in args)])
    with pytest.raises(ValueError) as refused:
        catalogue(ServeConfig.from_args(parsed))
    assert message in str(refused.value)


def _wav() -> bytes:
    import io
    import wave
    buffer = io.BytesIO()
    with wave.open(buffer, "wb") as w:
        w.setnchannels(1), w.setsampwidth(2), w.setframerate(16000)
        w.writeframes(b"\0\0" * 8000)
    return buffer.getvalue()
