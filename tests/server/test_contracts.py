"""OpenAI's contracts: what each request field does, and every body, stream
chunk, event and error of the chat, completions, responses and models
endpoints validated against the pinned OpenAPI description."""

from __future__ import annotations

import json
import urllib.request

import openai
import pytest
from pydantic import BaseModel

from support.openapi import validate

from tessel_openai_server.kiv_velkor.streaming.events import Finished

from .conftest import MODEL, WEATHER_TOOL, Server, user

HELLO = MODEL["replies"][0]["reply"]
CITY = {"type": "object", "properties": {"city": {"type": "string"}}, "required": ["city"],
        "additionalProperties": False}
CITY_FORMAT = {"type": "json_schema", "json_schema": {"name": "city", "schema": CITY, "strict": True}}
PARIS = "What is the weather in Paris?"


@pytest.mark.parametrize("options, reply, tools, expected", [
    # A runtime that ignores the demands answers prose: the layer refuses to call that a completion.
    ({"response_format": CITY_FORMAT}, b"It is sunny.", (), "not JSON"),
    ({"response_format": CITY_FORMAT}, b'{"town": "Paris"}', (), "schema at (top)"),
    ({"response_format": {"type": "json_object"}}, b"[1, 2]", (), "JSON object"),
    ({"response_format": CITY_FORMAT}, b'{"city": "Paris"}', (), None),
    ({"tools": [WEATHER_TOOL], "tool_choice": "required"}, b"I will not.", (), "without one"),
    ({"tools": [WEATHER_TOOL, {"type": "function", "function": {"name": "get_time"}}],
      "tool_choice": {"type": "function", "function": {"name": "get_weather"}}, "parallel_tool_calls": False},
     b"", ("get_time",), "called another tool"),
    ({"tools": [WEATHER_TOOL], "tool_choice": "required", "parallel_tool_calls": False}, b"",
     ("get_weather", "get_weather"), "several calls"),
    ({"tools": [WEATHER_TOOL], "tool_choice": "required"}, b"", ("get_weather",), None),
])
def test_demands_reach_the_runtime_and_an_answer_that_breaks_them_is_an_error(fake_pool, options, reply, tools,
                                                                             expected):
    pool, fake = fake_pool
    if reply:
        fake.result(reply, token_id=1)
    for name in tools:
        fake.result(b"<tool_call>{}</tool_call>", token_id=2, content_type=2)   # the markup, as tool-call text
        fake.tool(name.encode(), b'{"city": "Paris"}')
    final = pool.chat(user(PARIS), **options).collect()

    sent = json.loads(fake.last("kiv_llm_run").capture("extra_template_params"))
    assert sent == {k: v for k, v in options.items() if k != "tools"}
    assert final.usage.completion_tokens == (1 if reply else 0) + len(tools)   # the markup counts too
    assert final.finish_reason == ("error" if expected else "tool_calls" if tools else "stop")
    assert (final.error is None) if expected is None else (expected in final.error)


@pytest.fixture(scope="module")
def server(site):
    s = Server(site, "--contexts", "2")
    yield s
    assert s.stop()[0] == 0


def _sse(server: Server, path: str, body: dict) -> list[dict]:
    """The data of every event of a stream, read raw (the client's models would hide extra or missing keys)."""
    request = urllib.request.Request(server.url + path, data=json.dumps(body).encode(),
                                     headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=30) as response:
        lines = response.read().decode().splitlines()
    return [json.loads(line[6:]) for line in lines if line.startswith("data: ") and line != "data: [DONE]"]


def test_chat_bodies_and_chunks_follow_the_schema(server):
    for body in ({"model": "ref", "messages": user("Hello")},
                 {"model": "ref", "messages": user(PARIS), "tools": [WEATHER_TOOL], "tool_choice": "auto"}):
        code, answer = server.post("/v1/chat/completions", json.dumps(body).encode())
        assert code == 200, answer
        validate("CreateChatCompletionResponse", answer)
        usage = answer["usage"]
        assert usage["total_tokens"] == usage["prompt_tokens"] + usage["completion_tokens"] > 0
        chunks = _sse(server, "/v1/chat/completions", {**body, "stream": True, "stream_options": {"include_usage": True}})
        for chunk in chunks:
            validate("CreateChatCompletionStreamResponse", chunk)
        assert len({(c["id"], c["created"]) for c in chunks}) == 1
        assert chunks[-1]["usage"] == usage and answer["choices"][0]["message"]["refusal"] is None
    assert answer["choices"][0]["finish_reason"] == "tool_calls"
    # The pieces of the call's markup count beside the 4 of the answer's text.
    assert usage["completion_tokens"] > 4


def test_completions_follow_the_schema_and_echo_the_prompt(server):
    body = {"model": "ref", "prompt": ["Hello"], "max_tokens": 3, "echo": True}
    code, answer = server.post("/v1/completions", json.dumps(body).encode())
    assert code == 200, answer
    validate("CreateCompletionResponse", answer)
    assert answer["choices"][0]["text"] == "Hello" + " ".join(HELLO.split(" ")[:3])   # a piece per word
    assert answer["choices"][0]["finish_reason"] == "length" and answer["usage"]["completion_tokens"] == 3
    chunks = _sse(server, "/v1/completions", {**body, "stream": True, "stream_options": {"include_usage": True}})
    for chunk in chunks[:-2]:
        # The schema has no null finish reason, which OpenAI's own streams send until the last chunk.
        assert chunk["choices"][0]["finish_reason"] is None
        validate("CreateCompletionResponse", {**chunk, "choices": [{**chunk["choices"][0], "finish_reason": "stop"}]})
    for chunk in chunks[-2:]:
        validate("CreateCompletionResponse", chunk)
    assert "".join(c["choices"][0]["text"] for c in chunks if c["choices"]) == answer["choices"][0]["text"]
    assert chunks[-1]["usage"] == answer["usage"]
    # max_tokens defaults to 16, as OpenAI's: the 12 pieces of the reply fit.
    assert server.client.completions.create(model="ref", prompt="Hello").choices[0].text == HELLO


@pytest.mark.parametrize("request_body, kinds", [
    ({"input": "Hello", "instructions": "Be brief."}, ["message"]),
    ({"input": [{"role": "user", "content": [{"type": "input_text", "text": PARIS}]}],
      "tools": [{"type": "function", "name": "get_weather", "parameters": CITY, "strict": True}]},
     ["message", "function_call"]),
    ({"input": [{"role": "user", "content": PARIS},
                {"type": "function_call", "call_id": "call_1", "name": "get_weather", "arguments": '{"city":"Paris"}'},
                {"type": "function_call_output", "call_id": "call_1", "output": "sunny"}],
      "tools": [{"type": "function", "name": "get_weather", "parameters": CITY, "strict": True}]}, ["message"]),
])
def test_responses_bodies_and_events_follow_the_schema(server, request_body, kinds):
    body = {"model": "ref", **request_body}
    code, answer = server.post("/v1/responses", json.dumps(body).encode())
    assert code == 200, answer
    validate("Response", answer)
    assert [item["type"] for item in answer["output"]] == kinds and answer["status"] == "completed"
    events = _sse(server, "/v1/responses", {**body, "stream": True})
    for event in events:
        validate("ResponseStreamEvent", event)
    assert [e["sequence_number"] for e in events] == list(range(len(events)))
    assert events[0]["type"] == "response.created" and events[-1]["type"] == "response.completed"
    final = events[-1]["response"]
    assert [(i["type"], i.get("content"), i.get("arguments")) for i in final["output"]] == \
           [(i["type"], i.get("content"), i.get("arguments")) for i in answer["output"]]
    assert final["usage"] == answer["usage"]
    texts = "".join(e["delta"] for e in events if e["type"] == "response.output_text.delta")
    assert texts == "".join(p["text"] for i in answer["output"] if i["type"] == "message" for p in i["content"])
    assert server.client.responses.create(**body).output_text == texts


def test_models_and_errors_follow_the_schema(server):
    with urllib.request.urlopen(server.url + "/v1/models", timeout=5) as response:
        validate("ListModelsResponse", json.load(response))
    for model_id in ("ref", "whisper-1"):
        card = server.client.models.retrieve(model_id)
        validate("Model", card.model_dump(exclude_none=True))
        assert card.id == model_id
    with pytest.raises(openai.NotFoundError) as missing:
        server.client.models.retrieve("gpt-x")
    validate("ErrorResponse", {"error": missing.value.body})


class Place(BaseModel):
    city: str
    population: int


def test_the_reference_runtime_meets_the_demands_as_a_constraining_runtime_would(server):
    client = server.client
    parsed = client.chat.completions.parse(model="ref", messages=user("Hello"), response_format=Place)
    assert parsed.choices[0].message.parsed == Place(city="", population=0)   # the smallest valid answer
    forced = client.chat.completions.create(model="ref", messages=user("Hello"), tools=[
        {"type": "function", "function": {"name": "get_time"}}, {"type": "function", "function": {
            "name": "get_weather", "parameters": CITY}}], tool_choice={"type": "function", "function": {
                "name": "get_weather"}})
    (call,) = forced.choices[0].message.tool_calls
    assert (call.function.name, json.loads(call.function.arguments), forced.choices[0].message.content) == \
        ("get_weather", {"city": ""}, None)
    typed = client.responses.parse(model="ref", input="Hello", text_format=Place)
    assert typed.output_parsed == Place(city="", population=0)


@pytest.mark.parametrize("path, extra, param", [
    ("/v1/chat/completions", {"logprobs": True}, "logprobs"),
    ("/v1/chat/completions", {"n": 2}, "n"),
    ("/v1/chat/completions", {"logit_bias": {"1": 5}}, "logit_bias"),
    ("/v1/chat/completions", {"functions": [{"name": "f"}]}, "functions"),
    ("/v1/chat/completions", {"tool_choice": "required"}, "tool_choice"),   # no tools to call
    ("/v1/chat/completions", {"tools": [WEATHER_TOOL], "tool_choice": {"type": "function",
                                                                       "function": {"name": "nope"}}}, "tool_choice"),
    ("/v1/chat/completions", {"response_format": {"type": "json_schema", "json_schema": {
        "name": "x", "schema": {"type": "no such type"}}}}, "response_format"),
    ("/v1/chat/completions", {"stream": True, "stream_options": {"include_obfuscation": True}}, "stream_options"),
    ("/v1/completions", {"suffix": "end"}, "suffix"),
    ("/v1/responses", {"previous_response_id": "resp_1"}, "previous_response_id"),
    ("/v1/responses", {"store": True}, "store"),
    ("/v1/responses", {"tools": [{"type": "web_search"}]}, "tools[0]"),
    # The schema llama.cpp's clients send beside json_object is a schema, or refused.
    ("/v1/chat/completions", {"response_format": {"type": "json_object", "schema": 123}}, "response_format"),
    # A pattern the linear-time engine cannot take is refused, never matched by backtracking.
    ("/v1/chat/completions", {"response_format": {"type": "json_schema", "json_schema": {
        "name": "x", "schema": {"type": "string", "pattern": "(?=a)a"}}}}, "response_format"),
    # Responses errors name the Responses fields.
    ("/v1/responses", {"max_output_tokens": 0}, "max_output_tokens"),
    ("/v1/responses", {"text": {"format": {"type": "json_schema", "name": "x", "schema": 5}}}, "text.format"),
])
def test_fields_that_cannot_be_carried_out_are_refused_by_name(server, path, extra, param):
    body = {"model": "ref", **({"messages": user("Hello")} if "chat" in path else
                               {"prompt": "Hello"} if path == "/v1/completions" else {"input": "Hello"}), **extra}
    code, answer = server.post(path, json.dumps(body).encode())
    assert code == 400, answer
    validate("ErrorResponse", answer)
    assert answer["error"]["param"] == param


def test_the_final_chunk_of_a_run_that_could_not_finish_is_an_error_event():
    from tessel_openai_server.kiv_velkor.server.openai import shapes
    from tessel_openai_server.kiv_velkor.streaming.events import Timings, Usage
    for reason, code in (("error", "generation_failed"), ("cancelled", "cancelled")):
        finished = Finished("partial", "", "", (), reason, Usage(3), Timings(0.1, 0.2, 10.0), "boom")
        (event,) = shapes.final_chunks(finished, "chatcmpl-1", 1, "ref", include_usage=True)
        validate("ErrorResponse", event)
        assert event["error"]["code"] == code


def test_a_schema_beside_json_object_and_a_null_max_completion_tokens_are_honoured(server):
    code, answer = server.post("/v1/chat/completions", json.dumps({
        "model": "ref", "messages": user("Hello"), "response_format": {"type": "json_object", "schema": CITY}}).encode())
    assert code == 200 and json.loads(answer["choices"][0]["message"]["content"]) == {"city": ""}, answer
    # A null field counts as absent: max_tokens stays in force.
    code, answer = server.post("/v1/chat/completions", json.dumps({
        "model": "ref", "messages": user("Tell me a long story"), "max_tokens": 5,
        "max_completion_tokens": None}).encode())
    assert (answer["choices"][0]["finish_reason"], answer["usage"]["completion_tokens"]) == ("length", 5), answer


@pytest.fixture(scope="module")
def small_context(site):
    s = Server(site, "--ctx-size", "64", delay_ms=0)
    yield s
    assert s.stop()[0] == 0


ROUTES = {"/v1/chat/completions": ("messages", lambda text: {"messages": user(text)}),
          "/v1/completions": ("prompt", lambda text: {"prompt": text, "max_tokens": 500}),
          "/v1/responses": ("input", lambda text: {"input": text})}


@pytest.mark.parametrize("stream", [False, True], ids=["whole", "streamed"])
@pytest.mark.parametrize("path", ROUTES)
def test_the_context_size_shows_as_openai_shows_it(small_context, path, stream):
    param, body = ROUTES[path]
    # A prompt the context cannot hold: OpenAI's overflow error, before any stream starts.
    code, answer = small_context.post(path, json.dumps({"model": "ref", "stream": stream,
                                                         **body("word " * 100)}).encode())
    assert code == 400, answer
    validate("ErrorResponse", answer)
    error = answer["error"]
    assert (error["code"], error["param"]) == ("context_length_exceeded", param)
    assert error["message"].startswith("This model's maximum context length is 64 tokens. However, your ")
    # A reply the context cut is not finished: "length", or an incomplete response.
    request = {"model": "ref", "stream": stream, **body("Tell me a long story")}
    if stream:
        events = _sse(small_context, path, request)
        answer = next((e["response"] for e in events if e.get("type") == "response.incomplete"), {}) \
            if "responses" in path else {"choices": [c for e in events for c in e["choices"] if c["finish_reason"]]}
    else:
        answer = small_context.post(path, json.dumps(request).encode())[1]
    if "responses" in path:
        assert (answer["status"], answer["incomplete_details"]["reason"]) == ("incomplete", "max_output_tokens")
    else:
        assert [c["finish_reason"] for c in answer["choices"]] == ["length"]
