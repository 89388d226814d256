"""What Open WebUI sends, replayed without a browser (tests/frontends has the
browser): its recorded requests of a three-turn chat on its default settings,
sent as it sends them, and every parameter of its Advanced Params panel at
the value the panel sends.

The recording (open_webui_requests.json) holds each chat request with
Open WebUI's 36 built-in tools, the title task sent beside the first turn,
and the follow-up and tag tasks sent after each reply; a replay puts the
replies of this server into the later turns, as Open WebUI does."""

from __future__ import annotations

import concurrent.futures
import copy
import json
import re
import time
import urllib.request
from pathlib import Path
from typing import Any

import pytest

from .conftest import Server, user

RECORDED = json.loads((Path(__file__).with_name("open_webui_requests.json")).read_text(encoding="utf-8"))
HIT = 'kiv_conversation_cache_total{outcome="hit"}'


@pytest.fixture(scope="module")
def server(site):
    # Two contexts, as serve's default; a reply of N words takes N x 5 ms.
    s = Server(site, "--contexts", "2", delay_ms=5)
    yield s
    assert s.stop()[0] == 0


def _metric(server: Server, name: str) -> float:
    with urllib.request.urlopen(server.url + "/metrics", timeout=5) as response:
        for line in response.read().decode().splitlines():
            if line.startswith(name + " "):
                return float(line.rpartition(" ")[2])
    return 0.0


def _post(server: Server, body: dict[str, Any]) -> tuple[int, str]:
    """Sends ``body`` as it is; the status and the reply's text (joined from the stream when streamed)."""
    body = {**body, "model": "ref"}   # the recording's model was another
    request = urllib.request.Request(server.url + "/v1/chat/completions", data=json.dumps(body).encode(),
                                     headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(request, timeout=60) as response:
            raw = response.read().decode()
    except urllib.error.HTTPError as exc:
        return exc.code, exc.read().decode()
    if not body.get("stream"):
        return 200, json.loads(raw)["choices"][0]["message"]["content"] or ""
    chunks = [json.loads(line[6:]) for line in raw.splitlines() if line.startswith("data: {")]
    assert all("error" not in c for c in chunks), chunks
    return 200, "".join(c["choices"][0]["delta"].get("content") or "" for c in chunks if c.get("choices"))


def _chat_body(recorded: dict[str, Any], replies: list[str]) -> dict[str, Any]:
    """A recorded chat request with the tools in place and this server's replies as the assistant's turns."""
    body = copy.deepcopy(recorded)
    body["tools"] = RECORDED["tools"]
    said = iter(replies)
    for message in body["messages"]:
        if message["role"] == "assistant":
            message["content"] = next(said)
    return body


def test_an_open_webui_chat_replayed_goes_on_from_its_context_while_the_tasks_run(server):
    requests = RECORDED["requests"]

    def sent(turn: int, *tasks: str) -> list[dict[str, Any]]:
        return [r["body"] for r in requests if r["turn"] == turn and r["task"] in tasks]

    def one_after_another(bodies: list[dict[str, Any]]) -> list[int]:
        return [_post(server, body)[0] for body in bodies]

    replies: list[str] = []
    answered: list[int] = []
    running: list[concurrent.futures.Future[list[int]]] = []
    with concurrent.futures.ThreadPoolExecutor(4) as workers:
        for turn in (1, 2, 3):
            hits = _metric(server, HIT)
            # The title task goes beside the chat; the follow-up and tag tasks of the turn before are still
            # running, as when the user answers at once.
            running.append(workers.submit(one_after_another, sent(turn, "title")))
            (chat,) = sent(turn, "chat")
            status, reply = _post(server, _chat_body(chat, replies))
            answered.append(status)
            replies.append(reply)
            assert _metric(server, HIT) == hits + (turn > 1), f"turn {turn} ran afresh"
            running.append(workers.submit(one_after_another, sent(turn, "follow_ups", "tags")))
        answered += [status for future in running for status in future.result()]
    assert len(answered) == len(requests) and set(answered) == {200}, answered


# Open WebUI's Advanced Params, each at the value the panel sends when set to
# "Custom" (recorded), and what the server does with it; then values the
# runtime cannot carry out.
ADVANCED = {"seed": 0, "temperature": 0.8, "reasoning_effort": "medium", "logit_bias": "", "max_tokens": 128,
            "top_k": 40, "top_p": 0.9, "min_p": 0, "frequency_penalty": 1.1, "presence_penalty": 0, "mirostat": 0,
            "mirostat_eta": 0.1, "mirostat_tau": 5, "repeat_last_n": 64, "tfs_z": 1, "repeat_penalty": 1.1,
            "use_mmap": True, "use_mlock": True, "think": True, "format": "json", "keep_alive": "5m",
            "num_keep": 24, "num_ctx": 2048, "num_batch": 512, "num_thread": 2, "num_gpu": 0}
REFUSED = {"use_mlock", "num_keep", "num_ctx", "num_batch", "num_thread", "num_gpu"}


@pytest.mark.parametrize("name, value, refused", [
    *((name, value, name in REFUSED) for name, value in ADVANCED.items()),
    ("use_mlock", False, False), ("keep_alive", -1, False), ("num_ctx", 8192, False),
    ("logit_bias", {"50256": -100}, True), ("mirostat", 2, True), ("tfs_z", 0.95, True), ("typical_p", 1.0, False),
    ("typical_p", 0.5, True), ("reasoning_effort", "high", True), ("think", "high", True),
    ("chat_template_kwargs", {"enable_thinking": False}, False),
])
def test_each_advanced_param_works_or_is_refused_by_name(server, name, value, refused):
    code, answer = _post(server, {"model": "ref", "messages": user("Hello"), name: value})
    if refused:
        assert code == 400 and json.loads(answer)["error"]["param"] == name, answer
    else:
        assert code == 200, answer
        if name == "format":
            assert isinstance(json.loads(answer), dict)   # the reply is held to a JSON object
        elif name == "max_tokens":
            assert len(re.findall(r"\S+", answer)) <= value
