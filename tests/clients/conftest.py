"""The server on the real engine (SmolLM2 through llama.cpp, greedy), driven by
the libraries application developers use; run by scripts/clients_test.sh from
its own environment (.venv-clients), which has those libraries and not this
package. The server runs from the package's environment (``KIV_SERVER_PYTHON``)
with the real-engine runtime deployed into a copy of the installed package,
the model's tokenizer given (``KIV_ENGINE_TOKENIZER``) and the engine's log on,
so that its own prompt count can be read. Without them every test skips."""

from __future__ import annotations

import os
import re
import shutil
import signal
import subprocess
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

import pytest

# litellm would fetch its model price list from the network at import.
os.environ.setdefault("LITELLM_LOCAL_MODEL_COST_MAP", "True")

KEYS = ("KIV_SERVER_PYTHON", "KIV_ENGINE_LIBVELKOR", "KIV_ENGINE_LLM_MODEL", "KIV_ENGINE_TOKENIZER")
MODEL = "smollm2"


@dataclass
class EngineServer:
    proc: subprocess.Popen[str]
    base_url: str    # ends in /v1
    log: Path        # the server's stderr, the engine's log included

    def prompt_counts(self) -> list[int]:
        """The prompt tokens of every run so far, as the engine counted them."""
        return [int(n) for n in re.findall(r"prompt of (\d+) tokens", self.log.read_text(errors="replace"))]

    def stop(self) -> int:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        return self.proc.wait(30)


def start_server(tmp: Path, *args: str, models: list[str] | None = None, model_name: str = MODEL,
                 tokenizer: str | None = None) -> EngineServer:
    """``serve`` on the real engine with ``args``: the model named ``model_name``, counting with the model's
    tokenizer (or ``tokenizer``), or the models ``models`` names (serve's model options, with {model} and
    {tokenizer} standing for the paths). Sampling is greedy unless ``args`` say otherwise, so that the
    tests can compare answers (serve's own default samples)."""
    env_paths = {key: os.environ.get(key, "") for key in KEYS}
    missing = [key for key, value in env_paths.items() if not value or not Path(value).exists()]
    if missing:
        pytest.skip(f"not given: {', '.join(missing)} (scripts/clients_test.sh sets them)")
    python = env_paths["KIV_SERVER_PYTHON"]
    found = subprocess.run([python, "-c", "import tessel_openai_server, os; "
                            "print(os.path.dirname(tessel_openai_server.__file__))"],
                           check=True, capture_output=True, text=True).stdout.strip()
    site = tmp / "site"
    if not site.exists():
        shutil.copytree(found, site / "tessel_openai_server")
        shutil.copy(env_paths["KIV_ENGINE_LIBVELKOR"], site / "tessel_openai_server" / "kiv_velkor" / "libvelkor.so")
    log = tmp / f"server-{len(list(tmp.glob('server-*.log')))}.log"
    env = {**os.environ, "PYTHONPATH": str(site), "KIV_ENGINE_LOG": "1"}
    err = log.open("w")
    given = ["--model", "{model}", "--model-name", model_name, "--tokenizer", "{tokenizer}"] if models is None \
        else models
    given = [a.format(model=env_paths["KIV_ENGINE_LLM_MODEL"],
                      tokenizer=tokenizer or env_paths["KIV_ENGINE_TOKENIZER"]) for a in given]
    # One compute thread: the clients and the test share the machine's cores with the server.
    command = [python, "-m", "tessel_openai_server.kiv_velkor", "serve", "--port", "0", "--temperature", "0",
               "--threads", "1"]
    proc = subprocess.Popen([*command, *given, *args],
                            env=env, stderr=err, text=True)
    err.close()
    for _ in range(600):
        match = re.search(r"Serving \S+ on (http://\S+/v1)", log.read_text(errors="replace"))
        if match:
            return EngineServer(proc, match[1], log)
        if proc.poll() is not None:
            break
        time.sleep(0.05)
    proc.kill()
    raise RuntimeError(f"the server did not start:\n{log.read_text(errors='replace')[-3000:]}")


@pytest.fixture(scope="session")
def server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[EngineServer]:
    s = start_server(tmp_path_factory.mktemp("clients"), "--contexts", "1", "--wait-timeout", "120")
    yield s
    assert s.stop() == 0, s.log.read_text(errors="replace")[-3000:]
