"""The conversation cache on the real engine: greedy replies with the cache on
are the replies without it, and the later turns do go on from the context."""

from __future__ import annotations

import pytest

from support.placement import look_in, release_objects

from tessel_openai_server.kiv_velkor.streaming.conversations import reply_message
from tessel_openai_server.kiv_velkor.streaming.pool import ModelPool

from .conftest import SYSTEM, THREADS

WEATHER = {"type": "function", "function": {"name": "get_weather", "description": "The weather in a city",
                                            "parameters": {"type": "object",
                                                           "properties": {"city": {"type": "string"}}}}}
BRIEF = {"role": "system", "content": "You are a helpful assistant. Answer in one short sentence."}
# A tool round trip already in the conversation: the call, then the tool's answer.
TOOL_ROUND_TRIP = [
    {"role": "user", "content": "What is the weather in Paris?"},
    {"role": "assistant", "content": None, "tool_calls": [
        {"id": "call_1", "type": "function", "function": {"name": "get_weather", "arguments": '{"city": "Paris"}'}}]},
    {"role": "tool", "tool_call_id": "call_1", "content": "sunny, 21 degrees"}]

CONVERSATIONS = {
    "plain-turns": ([SYSTEM], ["What is the capital of France?", "And of Germany?", "Which of the two is larger?",
                               "Name a river in each.", "Thanks! Summarise in one line."], {}),
    "system-message": ([BRIEF], ["Name a colour.", "Name another one.", "Which of them is darker?"], {}),
    "tool-round-trip": ([SYSTEM] + TOOL_ROUND_TRIP, ["Should I take an umbrella?", "And sunglasses?"],
                        {"tools": [WEATHER]}),
}


def replies(model: str, cache: bool, start: list, questions: list[str], options: dict) -> list:
    pool = ModelPool(model, contexts=1, conversation_cache=cache, sampler_params=THREADS)
    try:
        conversation = list(start)
        out = []
        for question in questions:
            conversation.append({"role": "user", "content": question})
            final = pool.chat(conversation, max_tokens=60, temperature=0, **options).collect()
            out.append((final.text, final.finish_reason, final.reused_messages))
            conversation.append(reply_message(final))
        return out
    finally:
        assert pool.close(timeout=30)


@pytest.mark.parametrize("name", sorted(CONVERSATIONS))
def test_replies_with_the_cache_are_the_replies_without_it(engines, package_dir, monkeypatch, name):
    look_in(package_dir, monkeypatch)
    release_objects()
    start, questions, options = CONVERSATIONS[name]
    cached = replies(str(engines["llm_model"]), True, start, questions, options)
    fresh = replies(str(engines["llm_model"]), False, start, questions, options)
    assert [r[:2] for r in cached] == [r[:2] for r in fresh]
    # Every turn after a reply that ended by itself went on from the context.
    for before, after in zip(cached, cached[1:]):
        assert (after[2] > 0) == (before[1] == "stop"), cached
    assert any(r[2] for r in cached), cached
    release_objects()
