"""Anthropic's Messages API on a loopback port with the reference runtime:
driven by the pinned ``anthropic`` SDK and read raw, every answer, event and
error checked strictly against the SDK's types (tests/support/anthropic_shapes.py)."""

from __future__ import annotations

import json
import signal
import time
import urllib.error
import urllib.request
from pathlib import Path

import anthropic
import pytest
from starlette.testclient import TestClient

from support.anthropic_shapes import accumulated, sse_events, strict_count, strict_error, strict_event, \
    strict_message

from tessel_openai_server.kiv_velkor.server.app import ServerSettings, create_app

from .conftest import MODEL, Server, user

KEY = "sk-messages"
HELLO = MODEL["replies"][0]["reply"]
PARIS = "What is the weather in Paris?"
TOOL = {"name": "get_weather", "description": "Current weather in a city",
        "input_schema": {"type": "object", "properties": {"city": {"type": "string"}}, "required": ["city"]}}
# A chat template that renders everything a request can carry, so that a count shows what was dropped.
TEMPLATE = ("{% for m in messages %}<|im_start|>{{ m.role }}\n"
            "{% if m.reasoning_content %}<think>{{ m.reasoning_content }}</think>{% endif %}{{ m.content }}"
            "{% for c in m.tool_calls or [] %}<tool_call>{{ c.function.name }} {{ c.function.arguments }}"
            "</tool_call>{% endfor %}<|im_end|>\n{% endfor %}"
            "{% if tools %}<|im_start|>tools {{ tools | tojson }}<|im_end|>\n{% endif %}"
            "{% if add_generation_prompt %}<|im_start|>assistant\n{% endif %}")


@pytest.fixture(scope="module")
def tokenizer(site) -> Path:
    """A word-level tokenizer (one token per word or run of punctuation) with :data:`TEMPLATE`."""
    from tokenizers import Tokenizer, models, pre_tokenizers

    directory = site / "llm-tokenizer"
    directory.mkdir(exist_ok=True)
    words = Tokenizer(models.WordLevel({"[UNK]": 0}, unk_token="[UNK]"))
    words.pre_tokenizer = pre_tokenizers.Whitespace()
    words.save(str(directory / "tokenizer.json"))
    (directory / "tokenizer_config.json").write_text(json.dumps({"chat_template": TEMPLATE}), encoding="utf-8")
    return directory / "tokenizer.json"


@pytest.fixture(scope="module")
def server(site, tokenizer):
    s = Server(site, "--contexts", "2", "--tokenizer", str(tokenizer), "--api-key", KEY)
    yield s
    assert s.stop()[0] == 0


def _client(server: Server) -> anthropic.Anthropic:
    return anthropic.Anthropic(base_url=server.url, api_key=KEY, max_retries=0, timeout=30)


def _post(server: Server, path: str, body: object, method: str = "POST", key: str = KEY) -> tuple[int, str]:
    request = urllib.request.Request(server.url + path, data=json.dumps(body).encode(), method=method, headers={
        "Content-Type": "application/json", "x-api-key": key, "anthropic-version": "2023-06-01"})
    try:
        with urllib.request.urlopen(request, timeout=30) as response:
            return response.status, response.read().decode()
    except urllib.error.HTTPError as exc:
        return exc.code, exc.read().decode()


def _without_ids(message: anthropic.types.Message) -> dict:
    shown = message.model_dump(exclude={"id"})
    for block in shown["content"]:
        block.pop("id", None)   # each run names its tool calls afresh
    return shown


@pytest.mark.parametrize("fields, stop_reason, blocks", [
    ({"messages": user("Hello")}, "end_turn", ["text"]),
    ({"system": "Be brief.", "messages": user("Hello"), "stop_sequences": ["pieces", "zzz"]}, "stop_sequence",
     ["text"]),
    ({"messages": user("Hello"), "max_tokens": 3}, "max_tokens", ["text"]),
    ({"messages": user(PARIS), "tools": [TOOL], "thinking": {"type": "enabled", "budget_tokens": 1024}},
     "tool_use", ["thinking", "text", "tool_use"]),
])
def test_whole_and_streamed_answers_agree_and_count_tokens_counts_their_prompt(server, fields, stop_reason, blocks):
    body = {"model": "ref", "max_tokens": 200, **fields}
    code, whole = _post(server, "/v1/messages", body)
    assert code == 200, whole
    message = strict_message(json.loads(whole))
    assert (message.stop_reason, [b.type for b in message.content]) == (stop_reason, blocks)
    code, text = _post(server, "/v1/messages", {**body, "stream": True})
    events = [strict_event(e) for e in sse_events(text)]
    assert [e.type for e in events][:1] + [e.type for e in events][-2:] == ["message_start", "message_delta",
                                                                             "message_stop"]
    assert _without_ids(accumulated(events)) == _without_ids(message)
    asked = {k: v for k, v in body.items() if k in ("model", "system", "messages", "tools", "thinking")}
    code, counted = _post(server, "/v1/messages/count_tokens", asked)
    assert strict_count(json.loads(counted)).input_tokens == message.usage.input_tokens > 0


def test_the_sdk_round_trips_a_forced_tool_call_and_goes_on_from_the_cached_turn(server):
    client = _client(server)
    asked = [{"role": "user", "content": PARIS}]
    called = client.messages.create(model="ref", max_tokens=100, messages=asked, tools=[TOOL],
                                    tool_choice={"type": "tool", "name": "get_weather"})
    call = called.content[-1]
    assert called.stop_reason == "tool_use" and (call.name, call.input) == ("get_weather", {"city": "Paris"})
    answered = client.messages.create(model="ref", max_tokens=100, tools=[TOOL], messages=[
        *asked, called.to_param(),
        {"role": "user", "content": [{"type": "tool_result", "tool_use_id": call.id, "content": "sunny"}]}])
    assert answered.content[0].text == "It is sunny in Paris." and answered.stop_reason == "end_turn"

    with client.messages.stream(model="ref", max_tokens=100, system="Be brief.", messages=user("Hello")) as stream:
        streamed = "".join(stream.text_stream)
        first = stream.get_final_message()
    assert streamed == first.content[0].text == HELLO
    turns = [*user("Hello"), first.to_param(), *user("Hello")]
    second = client.messages.create(model="ref", max_tokens=100, system="Be brief.", messages=turns)
    whole = client.messages.count_tokens(model="ref", system="Be brief.", messages=turns).input_tokens
    assert first.usage.cache_read_input_tokens == 0
    assert 0 < second.usage.cache_read_input_tokens < whole
    assert second.usage.input_tokens + second.usage.cache_read_input_tokens == whole


@pytest.mark.parametrize("path, body, method, key, status, error_type, says", [
    ("/v1/messages", "{not json", "POST", KEY, 400, "invalid_request_error", "JSON"),
    ("/v1/messages", {"model": "gpt-x", "max_tokens": 5, "messages": user("x")}, "POST", KEY, 404,
     "not_found_error", "gpt-x"),
    ("/v1/messages", {"model": "ref", "messages": user("x")}, "POST", KEY, 400, "invalid_request_error",
     "max_tokens"),
    ("/v1/messages", {"model": "ref", "max_tokens": 5, "messages": user("x")}, "POST", "wrong", 401,
     "authentication_error", "API key"),
    ("/v1/messages", {}, "GET", KEY, 405, "invalid_request_error", "Method"),
    ("/v1/messages/count_tokens", {"model": "ref", "max_tokens": 5, "messages": user("x")}, "POST", KEY, 400,
     "invalid_request_error", "max_tokens"),
    ("/v1/messages", {"model": "ref", "max_tokens": 5, "messages": [{"role": "user", "content": [{
        "type": "image", "source": {"type": "base64", "media_type": "image/png", "data": "bm90IGFuIGltYWdl"}}]}]},
     "POST", KEY, 400, "invalid_request_error", "cannot be decoded"),
])
def test_errors_take_anthropics_shape_and_status(server, path, body, method, key, status, error_type, says):
    request = urllib.request.Request(server.url + path, method=method, headers={
        "Content-Type": "application/json", "x-api-key": key},
        data=None if method == "GET" else body.encode() if isinstance(body, str) else json.dumps(body).encode())
    with pytest.raises(urllib.error.HTTPError) as failed:
        urllib.request.urlopen(request, timeout=30)
    error = strict_error(json.loads(failed.value.read()))
    assert (failed.value.code, error.error.type) == (status, error_type) and says in error.error.message


def test_a_busy_server_is_overloaded_a_hang_up_frees_the_context_and_a_shutdown_ends_the_stream(site, tokenizer):
    server = Server(site, "--contexts", "1", "--wait-timeout", "0.3", "--tokenizer", str(tokenizer))
    signalled = False
    try:
        client = anthropic.Anthropic(base_url=server.url, api_key="none", max_retries=0, timeout=30)
        story = {"model": "ref", "max_tokens": 1000, "messages": user("Tell me a long story")}
        with client.messages.stream(**story) as stream:
            next(iter(stream.text_stream))
            with pytest.raises(anthropic.APIStatusError) as busy:
                client.messages.create(model="ref", max_tokens=5, messages=user("Hello"))
            assert busy.value.status_code == 529 and strict_error(busy.value.body).error.type == "overloaded_error"
        left = time.monotonic()   # the 200-piece story would hold the context for 4 s
        while server.health()["available"] < 1 and time.monotonic() - left < 3:
            time.sleep(0.01)
        assert server.health()["available"] == 1 and time.monotonic() - left < 1.0

        with client.messages.stream(**story) as stream:
            pieces = [next(iter(stream.text_stream))]
            server.proc.send_signal(signal.SIGTERM)
            signalled = True
            with pytest.raises(anthropic.APIStatusError) as cut:
                pieces += list(stream.text_stream)
        assert strict_error(cut.value.body).error.type == "overloaded_error" and "cancelled" in cut.value.message
    finally:
        assert (server.wait() if signalled else server.stop())[0] == 0


def test_a_slow_first_token_is_preceded_by_pings(make_pool, monkeypatch):
    monkeypatch.setenv("KIV_REFERENCE_DELAY_MS", "150")
    app = create_app(make_pool(), ServerSettings("ref", ping_interval=0.04))
    with TestClient(app) as client:
        answer = client.post("/v1/messages", json={"model": "ref", "max_tokens": 2, "stream": True,
                                                   "messages": user("Hello")})
    events = [strict_event(e) for e in sse_events(answer.text)]
    kinds = [e["type"] if isinstance(e, dict) else e.type for e in events]
    pings = kinds.index("content_block_start") - 1
    assert kinds[0] == "message_start" and pings >= 2 and set(kinds[1:1 + pings]) == {"ping"}
    assert kinds[-2:] == ["message_delta", "message_stop"] and events[-2].delta.stop_reason == "max_tokens"
