"""Waiting for a context: requests queue in order of arrival up to a bound;
a request that goes on from no conversation takes a context that holds
nothing, and leaves the conversation a person is having (an interactive
request's) to its next turn while another context is busy; a returned
context goes to the request that goes on from it first."""

from __future__ import annotations

import threading
import time

import pytest

from tessel_openai_server.kiv_velkor.streaming.conversations import reply_message
from tessel_openai_server.kiv_velkor.streaming.errors import QueueFull

from .conftest import user

STORY = user("Tell me a long story")   # 200 pieces: 4 s at 20 ms a piece


@pytest.fixture(autouse=True)
def slow_pieces(monkeypatch):
    monkeypatch.setenv("KIV_REFERENCE_DELAY_MS", "20")


def test_requests_wait_in_order_of_arrival_up_to_the_bound(make_pool):
    pool = make_pool(contexts=1, max_queue=2)
    running = pool.chat(STORY)
    running.start()
    order: list[str] = []

    def wait_then_run(name: str) -> None:
        generation = pool.chat(user(name), max_tokens=1)
        generation.start()   # returns once it has its context
        order.append(name)
        generation.collect()

    waiters = [threading.Thread(target=wait_then_run, args=(name,)) for name in ("first", "second")]
    for waiter in waiters:
        waiter.start()
        time.sleep(0.1)
    assert pool.waiting == 2
    with pytest.raises(QueueFull):   # at once, not after the wait
        pool.chat(user("third")).start(timeout=30)
    running.cancel()
    for waiter in waiters:
        waiter.join(10)
    assert order == ["first", "second"]


def test_tasks_leave_the_conversation_a_person_is_having_to_its_next_turn(make_pool):
    """The pattern of a chat front-end: each reply is followed by one-shot tasks (a title, follow-ups) on the
    same pool, and the person's next turn comes while they run."""
    pool = make_pool(contexts=2, conversation_hold=10)
    chat = user("What is the capital of France?")
    turn = pool.chat(chat, interactive=True).collect()
    chat += [reply_message(turn), *user("And of Germany?")]
    ended: list[str] = []

    def task(n: int) -> None:
        ended.append(pool.chat(user(f"Task {n}: {'word ' * 150}"), max_tokens=100).collect().finish_reason)

    tasks = [threading.Thread(target=task, args=(n,)) for n in range(2)]
    for thread in tasks:
        thread.start()
        time.sleep(0.1)
    # The first task took the other context; the second waits rather than take the chat's.
    assert pool.waiting == 1
    started = time.monotonic()
    second = pool.chat(chat, interactive=True).collect()
    assert second.reused_messages == 2 and time.monotonic() - started < 1.5
    for thread in tasks:
        thread.join(20)
    assert ended == ["length", "length"]


def test_the_kept_conversation_is_taken_after_the_hold(make_pool):
    pool = make_pool(contexts=2, conversation_hold=0.3)
    chat = user("one")
    turn = pool.chat(chat, interactive=True).collect()
    busy = pool.chat(STORY)
    busy.start()
    started = time.monotonic()
    task = pool.chat(user("a task"))
    task.start()   # waits for the busy context, then takes the kept one
    assert 0.3 <= time.monotonic() - started < 2
    task.collect()
    busy.cancel()
    again = pool.chat(chat + [reply_message(turn), *user("two")], interactive=True).collect()
    assert again.reused_messages == 0


def test_one_shot_requests_one_after_another_leave_the_kept_conversation(make_pool):
    # Both contexts free each time: the first task takes the one that holds nothing, the second the first's.
    pool = make_pool(contexts=2)
    chat = user("one")
    turn = pool.chat(chat, interactive=True).collect()
    for n in range(2):
        pool.chat(user(f"a one-shot request {n}")).collect()
    again = pool.chat(chat + [reply_message(turn), *user("two")], interactive=True).collect()
    assert again.reused_messages == 2
