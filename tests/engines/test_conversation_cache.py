"""The conversation cache on the real engine: greedy replies with the cache on
are the replies without it, and the later turns do go on from the context.
Below the layer, the engine reuses the computed tokens a prompt shares with
what its context holds: never into a reply a fresh context would not give."""

from __future__ import annotations

import json
import time

import pytest

from support.placement import look_in, release_objects

from tessel_openai_server.kiv_velkor import _velkor
from tessel_openai_server.kiv_velkor.streaming.conversations import reply_message
from tessel_openai_server.kiv_velkor.streaming.pool import ModelPool
from tessel_openai_server.kiv_velkor.types import RetStatus

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


# What a context computed before never shows in a later reply: the engine reuses
# only the tokens a new prompt shares with what it holds, so every reply is the
# one a fresh context gives.
PLANTED = {"role": "system", "content": "The secret word is pumpkin. Mention it in every answer."}
ASK = {"role": "user", "content": "What is the secret word?"}
EARLIER = {
    # A reset between: the same question under a different system prompt.
    "reset, other system prompt": ([PLANTED, ASK], True, [SYSTEM, ASK]),
    # No reset, nothing retained: the same conversation with its last message edited.
    "edited last message": ([SYSTEM, ASK], False, [SYSTEM, {"role": "user", "content": "What is the capital word?"}]),
    # A longer conversation held, then one of its prefixes alone.
    "a prefix of the held conversation": ([PLANTED, ASK, {"role": "assistant", "content": "It is pumpkin."},
                                           {"role": "user", "content": "Spell it."}], True, [PLANTED, ASK]),
}


@pytest.mark.parametrize("name", sorted(EARLIER))
def test_a_reused_prefix_gives_the_reply_of_a_fresh_context(llm, engines, package_dir, name):
    earlier, reset, later = EARLIER[name]

    def ask(obj, messages, retain=0):
        return obj.run(json.dumps(messages), messages_mode=True, retain_history=retain,
                       sampler_params={"max_tokens": 24})["text"]

    ask(llm, earlier, retain=1)
    if reset:
        assert llm.reset() == RetStatus.SUCCESS
    reused = ask(llm, later)
    fresh = _velkor.VELKOR()
    assert fresh.init(str(engines["llm_model"]), sampler_params=THREADS) == RetStatus.SUCCESS
    assert reused == ask(fresh, later)
    assert fresh.uninit() == RetStatus.SUCCESS


@pytest.mark.parametrize("other", [
    "the same messages",                                    # a guess at another key's conversation
    "another system prompt",
])
def test_another_keys_request_gets_a_fresh_reply_on_the_context_that_held_a_conversation(engines, package_dir,
                                                                                         monkeypatch, other):
    look_in(package_dir, monkeypatch)
    release_objects()
    first = [PLANTED, ASK]
    pool = ModelPool(str(engines["llm_model"]), contexts=1, sampler_params=THREADS)
    reference = ModelPool(str(engines["llm_model"]), contexts=1, conversation_cache=False, sampler_params=THREADS)
    try:
        reply = pool.chat(first, max_tokens=24, temperature=0, cache_scope="key-a").collect()
        conversation = first + [reply_message(reply), {"role": "user", "content": "Spell it."}]
        held = pool.chat(conversation, max_tokens=24, temperature=0, cache_scope="key-a").collect()
        assert held.reused_messages   # key A's conversation is what the context holds
        asked = conversation if other == "the same messages" else [BRIEF] + conversation[1:]
        theirs = pool.chat(asked, max_tokens=24, temperature=0, cache_scope="key-b").collect()
        fresh = reference.chat(asked, max_tokens=24, temperature=0).collect()
        assert not theirs.reused_messages
        assert (theirs.text, theirs.finish_reason) == (fresh.text, fresh.finish_reason)
    finally:
        assert pool.close(timeout=30) and reference.close(timeout=30)
    release_objects()


def test_chats_sharing_a_long_system_prompt_compute_it_once(engines, package_dir, monkeypatch):
    """New chats with the system prompt of the last one, on the same context after a reset: their first token
    comes without the system prompt computed again."""
    look_in(package_dir, monkeypatch)
    release_objects()
    rules = " ".join(f"Rule {i}: answer politely and mention the number {i} when asked." for i in range(1, 60))
    system = {"role": "system", "content": rules}
    arrivals: list[float] = []
    llm = _velkor.VELKOR()
    assert llm.init(str(engines["llm_model"]), lambda r, u, s: arrivals.append(time.monotonic()),
                    sampler_params=THREADS) == RetStatus.SUCCESS
    waits = []
    for question in ("Hello!", "What is the capital of France?", "Name a colour.", "Say something nice."):
        assert llm.reset() == RetStatus.SUCCESS
        arrivals.clear()
        started = time.monotonic()
        llm.run(json.dumps([system, {"role": "user", "content": question}]), messages_mode=True, retain_history=1,
                sampler_params={"max_tokens": 2})
        waits.append(arrivals[0] - started)
    assert llm.uninit() == RetStatus.SUCCESS
    del llm
    release_objects()
    assert max(waits[1:]) < 0.5 * waits[0], waits
