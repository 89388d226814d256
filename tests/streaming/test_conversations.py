"""The conversation cache: a request that goes on from what a context holds runs
there with its new messages only; everything else runs afresh. The reference
runtime shows what it kept: its fallback reply ends with "(turn N)"."""

from __future__ import annotations

import threading
import time

import numpy as np
import pytest

from tessel_openai_server.kiv_velkor.streaming.conversations import reply_message
from tessel_openai_server.kiv_velkor.streaming.errors import ContextResetFailed

from .conftest import WEATHER_TOOL, user


def say(pool, conversation, **options):
    """One turn: the reply, and the conversation with the reply appended as a client sends it back."""
    final = pool.chat(conversation, **options).collect()
    return final, conversation + [reply_message(final)]


def test_each_turn_goes_on_from_the_context_and_keeps_the_reply(make_pool):
    pool = make_pool(contexts=2)
    conversation = [{"role": "system", "content": "Be brief."}] + user("one")
    for turn in range(1, 5):
        final, conversation = say(pool, conversation)
        assert final.text.endswith(f"(turn {turn})")
        assert final.reused_messages == (0 if turn == 1 else 2 * turn - 1)
        conversation += user(f"next {turn}")


@pytest.mark.parametrize("change", ["edited-earlier", "system", "tools", "think", "scope", "cut-by-max-tokens",
                                    "stop-sequence", "tool-call"])
def test_anything_that_changes_the_prompt_runs_afresh(make_pool, change):
    pool = make_pool()
    first = [{"role": "system", "content": "Be brief."}] + user("What is the weather in Paris?" if change == "tool-call"
                                                                else "one")
    options = {"max_tokens": 2} if change == "cut-by-max-tokens" else {"stop": ["said"]} \
        if change == "stop-sequence" else {"tools": [WEATHER_TOOL]} if change == "tool-call" else {}
    _, conversation = say(pool, first, **options)
    conversation += user("two")
    later: dict = {}
    if change == "edited-earlier":
        conversation[1] = {"role": "user", "content": "uno"}
    elif change == "system":
        conversation[0] = {"role": "system", "content": "Be long."}
    elif change == "tools":
        later["tools"] = [WEATHER_TOOL]
    elif change == "think":
        later["enable_think"] = True
    elif change == "scope":
        later["cache_scope"] = "another key"
    final, _ = say(pool, conversation, **later)
    assert final.reused_messages == 0


def test_interleaved_conversations_on_two_contexts_keep_their_hits(make_pool):
    pool = make_pool(contexts=2)
    chats = {name: user(f"hello from {name}") for name in ("a", "b")}
    hits = 0
    for turn in range(4):
        for name in ("a", "b"):
            final, chats[name] = say(pool, chats[name], cache_scope=name)
            hits += final.reused_messages > 0
            chats[name] += user(f"{name} again {turn}")
    assert hits == 6   # every turn but the first of each


def test_a_busy_context_holding_the_conversation_is_waited_for_briefly(make_pool, monkeypatch):
    monkeypatch.setenv("KIV_REFERENCE_DELAY_MS", "20")
    pool = make_pool(contexts=2, conversation_wait=0.1)
    _, conversation = say(pool, user("one"))
    holder = next(iter(pool._held))
    # The same conversation goes on twice at once: the second finds its context busy.
    first = pool.chat(conversation + user("Tell me a long story"))
    first.start()
    started = time.monotonic()
    second = pool.chat(conversation + user("two")).collect()
    assert second.reused_messages == 0 and 0.1 <= time.monotonic() - started < 2
    first.cancel()
    assert first.collect().reused_messages == 2 and holder in pool._held


def test_off_means_every_request_runs_afresh(make_pool):
    pool = make_pool(conversation_cache=False)
    final, conversation = say(pool, user("one"))
    final, _ = say(pool, conversation + user("two"))
    assert final.reused_messages is None and "(turn" not in final.text


def test_a_conversation_given_whole_counts_its_turns_like_one_gone_on_from(make_pool):
    # Three user turns given at once to a fresh context: the reference runtime
    # counts them all, as it does for turns given one by one.
    pool = make_pool()
    conversation = user("one") + [{"role": "assistant", "content": "a"}] + user("two") + \
        [{"role": "assistant", "content": "b"}] + user("three")
    final, conversation = say(pool, conversation)
    assert final.text.endswith("(turn 3)") and final.reused_messages == 0
    final, _ = say(pool, conversation + user("four"))
    assert final.text.endswith("(turn 4)") and final.reused_messages == 6


@pytest.mark.parametrize("between", ["completion", "chat-with-image"])
def test_a_run_that_keeps_no_history_leaves_nothing_to_go_on_from(make_pool, tmp_path, between):
    # One context: the run in between takes the context that holds the conversation.
    projector = tmp_path / "projector.bin"
    projector.write_bytes(b"\0")
    pool = make_pool(mmproj_path=str(projector))
    _, conversation = say(pool, user("one"))
    if between == "completion":
        pool.complete("Hello").collect()
    else:
        image = {"type": "image", "image": np.zeros((16, 32, 3), dtype=np.uint8)}
        pool.chat([{"role": "user", "content": [{"type": "text", "text": "look"}, image]}]).collect()
    final, _ = say(pool, conversation + user("two"))
    assert final.reused_messages == 0 and final.text.endswith("(turn 2)")


def test_a_context_that_cannot_be_reset_runs_nothing(fake_pool):
    pool, fake = fake_pool
    fake.set_rc("kiv_llm_reset", 1)
    with pytest.raises(ContextResetFailed) as info:
        pool.chat(user("Hello")).collect()
    assert info.value.http_status == 500 and not fake.calls("kiv_llm_run")
    fake.set_rc("kiv_llm_reset", 0)   # the context serves again once the runtime resets it
    fake.result(b"hi", token_id=1)
    assert pool.chat(user("Hello")).collect().text == "hi"
