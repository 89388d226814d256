"""Tool calls and structured output through each client library, on the real
engine with a 135M model: the runtime's grammar, not the model, guarantees
the shape, so each scenario must succeed every time."""

from __future__ import annotations

import asyncio
import json
import os
import signal
import time

import openai
import pytest
from pydantic import BaseModel

from .conftest import MODEL, EngineServer, start_server

QUESTION = "What is the weather in Paris?"


class City(BaseModel):
    city: str
    country: str


def get_weather(city: str) -> str:
    """Current weather in a city."""
    return f"sunny in {city}"


def langchain_tool_round_trip(llm):
    """LangChain's chat model forced to call get_weather, then answering from its result: (first, answer)."""
    from langchain_core.messages import HumanMessage, ToolMessage

    asked = HumanMessage(QUESTION)
    first = llm.bind_tools([get_weather], tool_choice="get_weather").invoke([asked])
    call = first.tool_calls[0]
    assert call["name"] == "get_weather" and isinstance(call["args"]["city"], str)
    answer = llm.bind_tools([get_weather]).invoke(
        [asked, first, ToolMessage(get_weather(**call["args"]), tool_call_id=call["id"])])
    return first, answer


WEATHER_TOOL = {"type": "function", "function": {
    "name": "get_weather", "description": "Current weather in a city",
    "parameters": {"type": "object", "properties": {"city": {"type": "string"}}, "required": ["city"]}}}


def _client(server: EngineServer) -> openai.OpenAI:
    return openai.OpenAI(base_url=server.base_url, api_key="none", max_retries=0, timeout=120)


def test_official_client_helpers_and_exact_prompt_counts(server):
    client = _client(server)
    before = len(server.prompt_counts())
    parsed = client.chat.completions.parse(model=MODEL, messages=[{"role": "user", "content": "Where is Paris?"}],
                                           response_format=City, max_tokens=60)
    assert isinstance(parsed.choices[0].message.parsed, City)
    called = client.chat.completions.create(model=MODEL, messages=[{"role": "user", "content": QUESTION}],
                                            tools=[WEATHER_TOOL], tool_choice="required")
    call = called.choices[0].message.tool_calls[0]
    assert call.function.name == "get_weather" and "city" in json.loads(call.function.arguments)
    assert called.usage.completion_tokens > 0   # a reply that is only a tool call still has its tokens
    text = client.completions.create(model=MODEL, prompt="Once upon a time", max_tokens=8)
    assert text.choices[0].text and text.usage.completion_tokens == 8
    time.sleep(0.2)   # the engine's log line of the last run
    counts = server.prompt_counts()[before:]
    assert [parsed.usage.prompt_tokens, called.usage.prompt_tokens, text.usage.prompt_tokens] == counts


def test_a_second_turn_reports_the_part_of_its_prompt_the_context_held(server):
    client = _client(server)
    messages = [{"role": "system", "content": "Answer in one short sentence."},
                {"role": "user", "content": "What is the capital of France?"}]
    first = client.chat.completions.create(model=MODEL, messages=messages, max_tokens=120, temperature=0)
    assert first.choices[0].finish_reason == "stop"
    messages += [{"role": "assistant", "content": first.choices[0].message.content},
                 {"role": "user", "content": "And of Germany?"}]
    second = client.chat.completions.create(model=MODEL, messages=messages, max_tokens=120, temperature=0)
    assert first.usage.prompt_tokens_details.cached_tokens == 0
    assert first.usage.prompt_tokens < second.usage.prompt_tokens_details.cached_tokens < second.usage.prompt_tokens


def test_langchain_tools_structured_output_and_responses_api(server):
    from langchain_openai import ChatOpenAI

    llm = ChatOpenAI(model=MODEL, base_url=server.base_url, api_key="none", max_retries=0, max_tokens=80)
    _, answer = langchain_tool_round_trip(llm)
    assert answer.response_metadata["finish_reason"] in ("stop", "length", "tool_calls")
    assert isinstance(llm.with_structured_output(City).invoke("Where is Paris?"), City)
    assert isinstance(llm.with_structured_output(City, method="function_calling").invoke("Where is Paris?"), City)
    responses = ChatOpenAI(model=MODEL, base_url=server.base_url, api_key="none", max_retries=0,
                           use_responses_api=True, max_tokens=80)
    via_responses = responses.bind_tools([get_weather], tool_choice="get_weather").invoke(QUESTION)
    assert via_responses.tool_calls[0]["name"] == "get_weather"


def test_litellm_tools_structured_output_and_text_completion(server):
    import litellm

    common = {"model": f"openai/{MODEL}", "api_base": server.base_url, "api_key": "none", "max_tokens": 80}
    called = litellm.completion(messages=[{"role": "user", "content": QUESTION}], tools=[WEATHER_TOOL],
                                tool_choice={"type": "function", "function": {"name": "get_weather"}}, **common)
    assert called.choices[0].message.tool_calls[0].function.name == "get_weather"
    structured = litellm.completion(messages=[{"role": "user", "content": "Where is Paris?"}], response_format=City,
                                   **common)
    City.model_validate_json(structured.choices[0].message.content)
    text = litellm.text_completion(prompt="Once upon a time", **{**common, "max_tokens": 8})
    assert text.choices[0].text and text.usage.completion_tokens == 8


def test_agents_sdk_on_chat_completions_and_on_responses(server):
    import agents
    from agents import Agent, ModelSettings, Runner, function_tool

    agents.set_tracing_disabled(True)
    tool = function_tool(get_weather)

    async def scenario() -> None:
        client = openai.AsyncOpenAI(base_url=server.base_url, api_key="none", max_retries=0, timeout=120)
        for model in (agents.OpenAIChatCompletionsModel(model=MODEL, openai_client=client),
                      agents.OpenAIResponsesModel(model=MODEL, openai_client=client)):
            caller = Agent(name="weather", instructions="Answer with the weather tool.", model=model, tools=[tool],
                           model_settings=ModelSettings(tool_choice="get_weather", max_tokens=80),
                           tool_use_behavior="stop_on_first_tool")
            assert (await Runner.run(caller, QUESTION)).final_output.startswith("sunny in ")
            typed = Agent(name="geo", instructions="Say where the city is.", model=model, output_type=City,
                          model_settings=ModelSettings(max_tokens=80))
            assert isinstance((await Runner.run(typed, "Where is Paris?")).final_output, City)
        # The SDK's default model, named by its id: the Responses API, streamed.
        agents.set_default_openai_client(client)
        run = Runner.run_streamed(Agent(name="geo", output_type=City, model=MODEL), "Where is Paris?")
        async for _ in run.stream_events():
            pass
        assert isinstance(run.final_output, City)

    asyncio.run(scenario())


@pytest.mark.parametrize("mode", ["TOOLS", "JSON_SCHEMA"])
def test_instructor_modes(server, mode):
    import instructor

    client = instructor.from_openai(_client(server), mode=getattr(instructor.Mode, mode))
    city = client.chat.completions.create(model=MODEL, response_model=City, max_retries=0, max_tokens=80,
                                          messages=[{"role": "user", "content": "Where is Paris?"}])
    assert isinstance(city, City)


def test_a_stream_cut_by_the_shutdown_is_an_error_for_litellm(tmp_path):
    server = start_server(tmp_path, "--contexts", "1")   # skips outside the client-library stage
    import litellm

    try:
        stream = litellm.completion(model=f"openai/{MODEL}", api_base=server.base_url, api_key="none", stream=True,
                                    messages=[{"role": "user", "content": "Tell me a long story about a dragon."}],
                                    max_tokens=2000)
        pieces = [next(iter(stream))]
        server.proc.send_signal(signal.SIGTERM)
        with pytest.raises(Exception) as failure:   # litellm wraps the client's APIError in its own
            for piece in stream:
                pieces.append(piece)
        assert "cancelled" in str(failure.value)
        assert not any(p.choices and p.choices[0].finish_reason for p in pieces)
    finally:
        assert server.stop() == 0


def test_each_library_picks_a_model_by_name_from_one_server(tmp_path):
    config = tmp_path / "models.toml"   # the same model file under two names, with other options
    config.write_text(f'[models.smollm2]\ntokenizer = "{os.environ.get("KIV_ENGINE_TOKENIZER", "")}"\n'
                      "[models.smol-short]\nsampling = { max_tokens = 4 }\n")
    server = start_server(tmp_path, "--models-config", str(config), "--models-max", "1", "--contexts", "1",
                          models=["--model", "smollm2={model}", "--model", "smol-short={model}"])
    import litellm
    from langchain_openai import ChatOpenAI

    try:
        client = _client(server)
        assert {m.id for m in client.models.list()} == {"smollm2", "smol-short"}
        question = [{"role": "system", "content": "Answer in one short sentence."},
                    {"role": "user", "content": "What is the capital of France?"}]

        def official(model: str, **cap) -> tuple[str, str]:
            reply = client.chat.completions.create(model=model, messages=question, temperature=0, **cap)
            return reply.choices[0].finish_reason, reply.choices[0].message.content

        def langchain(model: str, **cap) -> tuple[str, str]:
            reply = ChatOpenAI(model=model, base_url=server.base_url, api_key="none", max_retries=0,
                               temperature=0, **cap).invoke(question)
            return reply.response_metadata["finish_reason"], str(reply.content)

        def via_litellm(model: str, **cap) -> tuple[str, str]:
            reply = litellm.completion(model=f"openai/{model}", api_base=server.base_url, api_key="none",
                                       messages=question, temperature=0, **cap)
            return reply.choices[0].finish_reason, reply.choices[0].message.content

        for ask in (official, langchain, via_litellm):   # alternating: each request loads its model in turn
            assert ask("smol-short")[0] == "length", ask.__name__   # its own default: 4 tokens
            finish, text = ask("smollm2", max_tokens=60)
            assert finish == "stop" and "Paris" in text, ask.__name__
        assert client.models.retrieve("smollm2").model_dump()["status"]["evictions"] == 2
    finally:
        assert server.stop() == 0
