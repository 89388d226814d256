"""llama.cpp's own tests of its Anthropic Messages API
(tools/server/tests/unit/test_compat_anthropic.py in the llama.cpp source that
scripts/engines.sh caches, ``KIV_ENGINE_LLAMA_SERVER_TESTS``), run as they are
against ``serve`` on the real engine. Only how the server is reached changes:
their fixture's external-server mode (``DEBUG_EXTERNAL``, ``PORT``), and
``serve`` names its model "test", as their requests do. Nothing of theirs is
copied into this tree; the tests that cannot apply here are listed with the
reason (the docs list them too)."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from .conftest import EngineServer, start_server

SUITE = "unit/test_compat_anthropic.py"
NOT_RUN = {
    "test_anthropic_tool_result_with_image": "asserts llama.cpp's own answer to an image sent to a model without "
    "vision (a 500 and its wording); serve answers 400 invalid_request_error",
    "test_anthropic_vision_format_accepted": "the same",
    "test_anthropic_vision_base64_with_multimodal_model": "fetches an image and a vision model from the internet",
    "test_anthropic_thinking_history_in_template": "calls llama.cpp's own /apply-template endpoint",
    "test_anthropic_thinking_with_reasoning_model": "fetches a 7B reasoning model from the internet",
}
# A test that starts its server with a chat template of the llama.cpp source: serve counts with that template
# (the model's tokenizer beside it), on a server of its own.
WITH_TEMPLATE = {"test_anthropic_thinking_history_in_count_tokens": "models/templates/Qwen-Qwen3-0.6B.jinja"}


def _run(tests: Path, server: EngineServer, selection: list[str]) -> tuple[int, str, str]:
    """Their tests (``selection``: pytest's arguments) against ``server``: the status, summary line and output."""
    port = server.base_url.rsplit(":", 1)[1].split("/")[0]
    env = {**os.environ, "DEBUG_EXTERNAL": "1", "PORT": port, "PYTHONDONTWRITEBYTECODE": "1"}
    proc = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *selection],
                          cwd=tests, env=env, capture_output=True, text=True, timeout=1800)
    lines = proc.stdout.strip().splitlines()
    return proc.returncode, lines[-1] if lines else "", proc.stdout[-4000:] + proc.stderr[-2000:]


def _template_tokenizer(tmp: Path, template: Path) -> str:
    """The model's tokenizer with ``template`` as its chat template."""
    given = Path(os.environ["KIV_ENGINE_TOKENIZER"])
    directory = tmp / template.stem
    directory.mkdir()
    (directory / "tokenizer.json").write_bytes(given.read_bytes())
    config = json.loads((given.parent / "tokenizer_config.json").read_text("utf-8"))
    config["chat_template"] = template.read_text("utf-8")
    (directory / "tokenizer_config.json").write_text(json.dumps(config), encoding="utf-8")
    return str(directory / "tokenizer.json")


def test_llama_cpp_anthropic_suite_passes_against_serve(tmp_path):
    tests = Path(os.environ.get("KIV_ENGINE_LLAMA_SERVER_TESTS", "/nonexistent"))
    if not (tests / SUITE).is_file():
        pytest.skip("not given: KIV_ENGINE_LLAMA_SERVER_TESTS (scripts/clients_test.sh sets it)")
    server = start_server(tmp_path, "--contexts", "1", "--wait-timeout", "120", model_name="test")
    try:
        code, summary, out = _run(tests, server, [SUITE, *(f"--deselect={SUITE}::{name}"
                                                           for name in (*NOT_RUN, *WITH_TEMPLATE))])
    finally:
        assert server.stop() == 0
    # Every test selected passed: none failed, was skipped or was expected to fail.
    assert code == 0 and re.fullmatch(r"\d+ passed, \d+ deselected in .*", summary), out

    for name, template in WITH_TEMPLATE.items():
        tokenizer = _template_tokenizer(tmp_path, tests.parents[2] / template)
        server = start_server(tmp_path, "--contexts", "1", model_name="test", tokenizer=tokenizer)
        try:
            code, summary, out = _run(tests, server, [f"{SUITE}::{name}"])
        finally:
            assert server.stop() == 0
        assert code == 0 and summary.startswith("1 passed in "), out
