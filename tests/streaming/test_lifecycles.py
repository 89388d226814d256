"""The pool's own lifecycles as deployments drive them, each in a fresh
interpreter with a deadline (a hang is the failure): Ctrl+C while waiting for
a context, fork, a thread that cannot start, the program ending mid-stream,
and an event loop stopped while one of its tasks waits."""

from __future__ import annotations

import asyncio
import json
import threading
import time

import pytest

from support.subprocess_run import run_python

from tessel_openai_server.kiv_velkor.streaming.errors import NoRunThread

from .conftest import MODEL, user

HELLO = MODEL["replies"][0]["reply"]

# A pool of `contexts` contexts of the reference runtime in a fresh interpreter.
PREAMBLE = """
import asyncio, json, os, shutil, signal, sys, tempfile, threading, time, random
from pathlib import Path
from tessel_openai_server.kiv_velkor import _velkor
from tessel_openai_server.kiv_velkor.streaming.pool import ModelPool
from tessel_openai_server.kiv_velkor.streaming.errors import PoolError
_dir = Path(tempfile.mkdtemp())
shutil.copy({library!r}, _dir / "libvelkor.so")
_velkor.__file__ = str(_dir / "_velkor.so")
(_dir / "model.json").write_text({model!r})
pool = ModelPool(str(_dir / "model.json"), contexts={contexts}, acquire_timeout=10)
STORY = [{{"role": "user", "content": "Tell me a long story"}}]
HELLO = [{{"role": "user", "content": "Hello"}}]
"""


def run_pool(runtimes, body: str, contexts: int = 2, delay_ms: int = 5, timeout: float = 60, check: bool = True,
             before: str = ""):
    code = before + PREAMBLE.format(library=str(runtimes["velkor"]), model=json.dumps(MODEL), contexts=contexts) + body
    return run_python(code, env={"KIV_REFERENCE_DELAY_MS": str(delay_ms)}, timeout=timeout, check=check)


def test_ctrl_c_at_random_moments_of_waits_never_loses_a_context(runtimes):
    # Two threads keep both contexts busy; the main thread waits for one, 300
    # times, and SIGINT lands at a random moment of each wait.
    out = run_pool(runtimes, """
stop = threading.Event()
def keep_busy():
    while not stop.is_set():
        pool.chat(HELLO).collect()
busy = [threading.Thread(target=keep_busy) for _ in range(2)]
for t in busy: t.start()
landed = {"start": 0, "wait": 0, "held": 0, "after": 0}
for i in range(300):
    timer = threading.Timer(random.uniform(0, 0.02), signal.pthread_kill, (threading.main_thread().ident,
                                                                              signal.SIGINT))
    phase = "start"
    try:
        timer.start()
        phase = "wait"
        with pool.acquire(timeout=5):
            phase = "held"
        phase = "after"
        timer.join()
        time.sleep(0.001)          # a signal that came at the end of the join lands here
    except KeyboardInterrupt:
        landed[phase] += 1
    timer.join()
stop.set()
for t in busy: t.join()
print(landed["wait"], landed["held"], pool.available, len(pool._waiters))
assert pool.close(timeout=5)
""", delay_ms=1, timeout=120)
    in_wait, in_hold, available, waiters = map(int, out.stdout.split())
    assert in_wait > 30 and (available, waiters) == (2, 0), (in_wait, in_hold)


def test_a_pool_used_before_fork_refuses_clearly_in_the_child_and_keeps_serving_the_parent(runtimes):
    out = run_pool(runtimes, """
from starlette.testclient import TestClient
from tessel_openai_server.kiv_velkor.server.app import ServerSettings, create_app
assert pool.chat(HELLO).collect().text
gen = pool.chat(STORY); gen.start()        # a run in progress at the fork
pid = os.fork()
if pid == 0:
    started = time.monotonic()
    try:
        pool.chat(HELLO).collect()
        code = 1
    except PoolError as exc:
        code = 0 if exc.code == "pool_forked" and "make one in each worker process" in str(exc) else 2
    # A preforked server worker answers at once, in OpenAI's shape.
    answer = TestClient(create_app(pool, ServerSettings("ref"))).post(
        "/v1/chat/completions", json={"model": "ref", "messages": HELLO})
    code = code or (0 if answer.status_code == 503 and answer.json()["error"]["code"] == "pool_forked" else 3)
    code = code or (0 if pool.close(timeout=1) and time.monotonic() - started < 2 else 4)
    os._exit(code)
_, status = os.waitpid(pid, 0)
gen.close()
print(os.waitstatus_to_exitcode(status), pool.chat(HELLO).collect().text == __import__("json").loads({model!r})["replies"][0]["reply"], pool.available)
assert pool.close(timeout=5)
""".replace("{model!r}", repr(json.dumps(MODEL))), delay_ms=20)
    assert out.stdout.split() == ["0", "True", "2"], out.stderr


def test_a_thread_that_cannot_start_fails_the_request_and_leaves_the_pool_whole(make_pool, monkeypatch):
    pool = make_pool(contexts=2)
    real_start = threading.Thread.start

    def out_of_threads(thread):
        if thread.name.startswith("kiv-run"):
            raise RuntimeError("can't start new thread")
        real_start(thread)

    monkeypatch.setattr(threading.Thread, "start", out_of_threads)
    with pytest.raises(NoRunThread, match="can't start new thread") as info:
        pool.chat(user("Hello")).collect()
    assert info.value.http_status == 503 and pool.available == 2
    monkeypatch.setattr(threading.Thread, "start", real_start)
    # Nothing was queued behind the failure: the contexts serve, one request each.
    first, second = pool.chat(user("Hello")), pool.chat(user("Hello"))
    first.start(), second.start()
    assert first.collect().text == second.collect().text == HELLO and pool.available == 2


@pytest.mark.parametrize("close_at_exit", [False, True, "before-import"],
                         ids=["left-open", "atexit-close", "atexit-close-registered-before-import"])
def test_a_program_ending_mid_stream_exits_within_a_piece(runtimes, close_at_exit):
    # 200 ms per piece: the story would take 40 s to finish by itself. An exit hook registered before
    # the package was imported runs after the package's own; a daemon thread starts the run there.
    before = "import atexit\natexit.register(lambda: pool.close())\n" if close_at_exit == "before-import" else ""
    out = run_pool(runtimes, """
import atexit
if {close_at_exit}:
    atexit.register(pool.close)
reader = threading.Thread(target=lambda: pool.chat(STORY).collect(), daemon={daemon})
reader.start()
time.sleep(0.5)
print(time.time(), flush=True)
""".format(close_at_exit=close_at_exit is True, daemon=close_at_exit == "before-import"), delay_ms=200, timeout=30,
                   before=before)
    ended = time.time()
    assert ended - float(out.stdout.split()[-1]) < 1.5, out.stderr


def test_a_waiter_on_a_stopped_event_loop_is_passed_over(make_pool):
    pool = make_pool(contexts=1)
    held = pool.acquire()
    loop = asyncio.new_event_loop()
    waiting = loop.create_task(pool.acquire_async(timeout=30))
    loop.call_later(0.05, loop.stop)
    loop.run_forever()                       # the task now waits, and its loop is stopped
    held.release()
    assert pool.available == 1               # the context did not go to the task that cannot run
    with pool.acquire(timeout=1):
        pass
    waiting.cancel()
    loop.run_until_complete(asyncio.gather(waiting, return_exceptions=True))
    loop.close()
    assert pool.available == 1 and pool.chat(user("Hello")).collect().text == HELLO


def test_a_recogniser_used_before_fork_refuses_clearly_in_the_child(fake_quellan_path, tmp_path):
    out = run_python(f"""
import asyncio, io, os, time, wave
from tessel_openai_server.kiv_velkor.streaming.errors import PoolForked
from tessel_openai_server.kiv_velkor.streaming.speech.recogniser import SpeechRecogniser
buffer = io.BytesIO()
with wave.open(buffer, "wb") as w:
    w.setnchannels(1), w.setsampwidth(2), w.setframerate(16000), w.writeframes(bytes(3200))
asr = SpeechRecogniser("whisper", "m", "t", lib_path={str(fake_quellan_path)!r})
assert asyncio.run(asr.atranscribe(buffer.getvalue())).text == "hello"
pid = os.fork()
if pid == 0:
    started = time.monotonic()
    try:
        asyncio.run(asyncio.wait_for(asr.atranscribe(buffer.getvalue()), 5))
        code = 1
    except PoolForked:
        code = 0
    asr.close()
    os._exit(code if time.monotonic() - started < 2 else 3)
_, status = os.waitpid(pid, 0)
print(os.waitstatus_to_exitcode(status), asr.transcribe(buffer.getvalue()).text)
asr.close()
""", timeout=60)
    assert out.stdout.split() == ["0", "hello"], out.stderr
