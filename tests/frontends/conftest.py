"""Open WebUI in front of ``serve`` on the real engine, driven by Playwright in
Debian's chromium; run by scripts/frontends_test.sh from the environment it
makes (Open WebUI and Playwright, Python 3.11 or 3.12), which does not have
this package. The server runs from the package's environment
(``KIV_SERVER_PYTHON``) with both real-engine runtimes deployed into a copy of
the installed package, on its default options. Open WebUI runs offline: no
model is fetched at start, and it has no account to log in to. Without the
variables the stage sets, every test skips.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.request
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pytest

KEYS = ("KIV_SERVER_PYTHON", "KIV_CHROMIUM", "KIV_ENGINE_LIBVELKOR", "KIV_ENGINE_LIBQUELLAN", "KIV_ENGINE_LLM_MODEL",
        "KIV_ENGINE_TOKENIZER", "KIV_ENGINE_ASR_MODEL", "KIV_ENGINE_ASR_DICT", "KIV_ENGINE_ASR_LM")
MODEL = "smollm2"


def _given() -> dict[str, str]:
    paths = {key: os.environ.get(key, "") for key in KEYS}
    missing = [key for key, value in paths.items() if not value or not Path(value).exists()]
    if missing:
        pytest.skip(f"not given: {', '.join(missing)} (scripts/frontends_test.sh sets them)")
    return paths


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def _get(url: str, timeout: float = 5) -> bytes:
    with urllib.request.urlopen(url, timeout=timeout) as response:
        return bytes(response.read())


@dataclass
class Serve:
    proc: subprocess.Popen[str]
    url: str      # without /v1
    log: Path

    def metrics(self) -> dict[str, float]:
        """Every sample of /metrics, by its name and labels as the text shows them."""
        samples: dict[str, float] = {}
        for line in _get(self.url + "/metrics").decode().splitlines():
            if line and not line.startswith("#"):
                name, _, value = line.rpartition(" ")
                samples[name] = float(value)
        return samples

    def metric(self, name: str) -> float:
        return self.metrics().get(name, 0.0)

    def requests_answered(self, route: str) -> dict[str, float]:
        """How many requests to ``route`` got each status."""
        pattern = re.compile(r'kiv_http_requests_total\{.*route="' + re.escape(route) + r'".*status="(\d+)"')
        counts: dict[str, float] = {}
        for name, value in self.metrics().items():
            match = pattern.match(name)
            if match:
                counts[match[1]] = counts.get(match[1], 0) + value
        return counts

    def stop(self) -> int:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        return self.proc.wait(30)


@pytest.fixture(scope="session")
def serve(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Serve]:
    given = _given()
    tmp = tmp_path_factory.mktemp("serve")
    python = given["KIV_SERVER_PYTHON"]
    found = subprocess.run([python, "-c", "import tessel_openai_server, os; "
                            "print(os.path.dirname(tessel_openai_server.__file__))"],
                           check=True, capture_output=True, text=True).stdout.strip()
    package = tmp / "site" / "tessel_openai_server"
    shutil.copytree(found, package)
    shutil.copy(given["KIV_ENGINE_LIBVELKOR"], package / "kiv_velkor" / "libvelkor.so")
    shutil.copy(given["KIV_ENGINE_LIBQUELLAN"], package / "kiv_velkor" / "libquellan.so")
    log = tmp / "serve.log"
    env = {k: v for k, v in os.environ.items() if k != "KIV_QUELLAN_PATH"}
    env["PYTHONPATH"] = str(tmp / "site")
    with log.open("w") as err:
        proc = subprocess.Popen(
            [python, "-m", "tessel_openai_server.kiv_velkor", "serve", "--port", "0", "--model",
             given["KIV_ENGINE_LLM_MODEL"], "--model-name", MODEL, "--tokenizer", given["KIV_ENGINE_TOKENIZER"],
             "--asr-backend", "pocketsphinx", "--asr-model", given["KIV_ENGINE_ASR_MODEL"],
             "--asr-tokenizer", given["KIV_ENGINE_ASR_DICT"], "--asr-decoder", given["KIV_ENGINE_ASR_LM"],
             "--threads", "1"],   # the browser shares the machine's cores with the server
            env=env, stdout=err, stderr=subprocess.STDOUT, text=True)
    for _ in range(1200):
        match = re.search(r"Serving \S+ on (http://\S+)/v1", log.read_text(errors="replace"))
        if match or proc.poll() is not None:
            break
        time.sleep(0.05)
    if not match:
        proc.kill()
        raise RuntimeError(f"serve did not start:\n{log.read_text(errors='replace')[-3000:]}")
    server = Serve(proc, match[1], log)
    yield server
    assert server.stop() == 0, log.read_text(errors="replace")[-3000:]


@dataclass
class OpenWebUI:
    proc: subprocess.Popen[str]
    url: str
    log: Path


@pytest.fixture(scope="session")
def open_webui(serve: Serve, tmp_path_factory: pytest.TempPathFactory) -> Iterator[OpenWebUI]:
    command = Path(sys.executable).with_name("open-webui")
    if not command.exists():
        pytest.skip("Open WebUI is not installed in this environment (scripts/frontends_test.sh makes it)")
    data = tmp_path_factory.mktemp("open-webui")
    port = _free_port()
    env = {**os.environ,
           # Offline: no model fetched at start, no version check; one user and no login.
           "DATA_DIR": str(data), "OFFLINE_MODE": "true", "WEBUI_AUTH": "False", "WEBUI_SECRET_KEY": "frontends",
           "ENABLE_VERSION_UPDATE_CHECK": "false", "SCARF_NO_ANALYTICS": "true", "DO_NOT_TRACK": "true",
           "ANONYMIZED_TELEMETRY": "false",
           # The server as its one OpenAI connection, and as its speech-to-text engine.
           "ENABLE_OLLAMA_API": "false", "OPENAI_API_BASE_URL": serve.url + "/v1", "OPENAI_API_KEY": "none",
           "AUDIO_STT_ENGINE": "openai", "AUDIO_STT_OPENAI_API_BASE_URL": serve.url + "/v1",
           "AUDIO_STT_OPENAI_API_KEY": "none", "AUDIO_STT_MODEL": "whisper-1"}
    log = data / "open-webui.log"
    with log.open("w") as out:
        proc = subprocess.Popen([str(command), "serve", "--host", "127.0.0.1", "--port", str(port)], env=env,
                                stdout=out, stderr=subprocess.STDOUT, text=True, cwd=data)
    url = f"http://127.0.0.1:{port}"
    deadline = time.monotonic() + 240
    while time.monotonic() < deadline and proc.poll() is None:
        try:
            _get(url + "/health", timeout=2)
            break
        except OSError:
            time.sleep(0.5)
    else:
        proc.kill()
        raise RuntimeError(f"Open WebUI did not start:\n{log.read_text(errors='replace')[-3000:]}")
    yield OpenWebUI(proc, url, log)
    proc.send_signal(signal.SIGINT)
    try:
        proc.wait(30)
    except subprocess.TimeoutExpired:
        proc.kill()


@pytest.fixture(scope="session")
def speech(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, str]:
    """A sentence spoken by flite (its 16 kHz voice) into a mono WAV file, and its words."""
    flite = shutil.which("flite")
    if flite is None:
        pytest.skip("flite is missing (scripts/frontends_test.sh installs it)")
    words = "the weather will be sunny and warm tomorrow"
    path = tmp_path_factory.mktemp("speech") / "speech.wav"
    subprocess.run([flite, "-voice", "slt", "-t", words, "-o", str(path)], check=True, capture_output=True)
    return path, words


@pytest.fixture(scope="session")
def browser(speech: tuple[Path, str]) -> Iterator[Any]:
    """Debian's chromium, headless, with a fake microphone that plays the speech file once."""
    from playwright.sync_api import sync_playwright

    with sync_playwright() as playwright:
        browser = playwright.chromium.launch(
            executable_path=os.environ["KIV_CHROMIUM"], headless=True,
            args=["--use-fake-ui-for-media-stream", "--use-fake-device-for-media-stream",
                  f"--use-file-for-fake-audio-capture={speech[0]}%noloop"])
        yield browser
        browser.close()


@pytest.fixture(scope="session")
def shots() -> Path:
    """Where the screenshots go (kept as the stage's artefacts)."""
    directory = Path(os.environ.get("KIV_FRONTEND_SHOTS", "build/frontends"))
    directory.mkdir(parents=True, exist_ok=True)
    return directory


def dump(path: Path, value: Any) -> None:
    path.write_text(json.dumps(value, indent=1, ensure_ascii=False), encoding="utf-8")
