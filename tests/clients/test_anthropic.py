"""Anthropic's Messages API on the real engine, through the official
``anthropic`` SDK and LangChain's ``ChatAnthropic``: answers, stops, streams,
forced tool calls and their results, and token counts equal to what the
engine itself counted. Raw answers and events are held strictly to the
SDK's types (tests/support/anthropic_shapes.py)."""

from __future__ import annotations

import json
import time
import urllib.request

import anthropic

from support.anthropic_shapes import accumulated, sse_events, strict_event, strict_message

from .conftest import MODEL, EngineServer
from .test_clients import QUESTION, City, get_weather, langchain_tool_round_trip

TOOL = {"name": "get_weather", "description": "Current weather in a city",
        "input_schema": {"type": "object", "properties": {"city": {"type": "string"}}, "required": ["city"]}}
CAPITAL = {"model": MODEL, "max_tokens": 60, "system": "Answer in one short sentence.",
           "messages": [{"role": "user", "content": "What is the capital of France?"}]}


def _root(server: EngineServer) -> str:
    return server.base_url.removesuffix("/v1")


def _client(server: EngineServer) -> anthropic.Anthropic:
    return anthropic.Anthropic(base_url=_root(server), api_key="none", max_retries=0, timeout=120)


def _raw_stream(server: EngineServer, body: dict) -> list:
    request = urllib.request.Request(_root(server) + "/v1/messages",
                                     data=json.dumps({**body, "stream": True}).encode(),
                                     headers={"Content-Type": "application/json", "anthropic-version": "2023-06-01"})
    with urllib.request.urlopen(request, timeout=120) as response:
        return [strict_event(e) for e in sse_events(response.read().decode())]


def test_sdk_answers_stops_streams_calls_tools_and_counts_as_the_engine_does(server):
    client = _client(server)
    before = len(server.prompt_counts())
    whole = strict_message(client.messages.with_raw_response.create(**CAPITAL).http_response.json())
    assert whole.stop_reason == "end_turn" and whole.content[0].text
    stopped = client.messages.create(model=MODEL, max_tokens=60, stop_sequences=["5"], messages=[
        {"role": "user", "content": "Count from 1 to 10, separated by commas."}])
    assert (stopped.stop_reason, stopped.stop_sequence) == ("stop_sequence", "5")
    assert "5" not in stopped.content[0].text
    capped = client.messages.create(model=MODEL, max_tokens=5,
                                    messages=[{"role": "user", "content": "Tell me a story."}])
    assert capped.stop_reason == "max_tokens" and capped.usage.output_tokens == 5
    time.sleep(0.2)   # the engine's log line of the last run
    engine = server.prompt_counts()[before:]
    counted = [client.messages.count_tokens(**{k: v for k, v in CAPITAL.items() if k != "max_tokens"}).input_tokens]
    assert [m.usage.input_tokens + m.usage.cache_read_input_tokens for m in (whole, stopped, capped)] == engine
    assert counted == engine[:1]

    # The same request streamed: the SDK's text stream and final message, and the raw events, give the answer.
    with client.messages.stream(**CAPITAL) as stream:
        text = "".join(stream.text_stream)
        final = stream.get_final_message()
    events = _raw_stream(server, CAPITAL)
    assert text == final.content[0].text == whole.content[0].text
    assert accumulated(events).content == whole.content and events[-2].usage.output_tokens == whole.usage.output_tokens

    asked = [{"role": "user", "content": QUESTION}]
    called = client.messages.create(model=MODEL, max_tokens=80, messages=asked, tools=[TOOL],
                                    tool_choice={"type": "tool", "name": "get_weather"})
    call = called.content[-1]
    assert called.stop_reason == "tool_use" and call.name == "get_weather" and isinstance(call.input["city"], str)
    answered = client.messages.create(model=MODEL, max_tokens=80, tools=[TOOL], messages=[
        *asked, called.to_param(),
        {"role": "user", "content": [{"type": "tool_result", "tool_use_id": call.id,
                                      "content": get_weather(call.input["city"])}]}])
    assert answered.stop_reason in ("end_turn", "max_tokens", "tool_use") and answered.content


def test_langchain_chat_anthropic_tools_structured_output_stream_and_count(server):
    from langchain_anthropic import ChatAnthropic
    from langchain_core.messages import HumanMessage

    llm = ChatAnthropic(model=MODEL, base_url=_root(server), api_key="none", max_retries=0, max_tokens=80,
                        default_request_timeout=120)
    _, answer = langchain_tool_round_trip(llm)
    assert answer.response_metadata["stop_reason"] in ("end_turn", "max_tokens", "tool_use")
    assert isinstance(llm.with_structured_output(City).invoke("Where is Paris?"), City)
    chunks = list(llm.stream("Say hello"))
    streamed = sum(chunks[1:], chunks[0])
    assert streamed.text and streamed.usage_metadata["input_tokens"] == llm.get_num_tokens_from_messages(
        [HumanMessage("Say hello")])

