"""The streaming layer on the reference LLM runtime (and the recording fake):
events, limits, cancellation in every form, the pool's waiting and closing,
errors, images and speech."""

from __future__ import annotations

import asyncio
import base64
import ctypes
import io
import signal
import threading
import time
import wave

import numpy as np
import pytest

from tessel_openai_server.kiv_velkor.streaming.errors import (InvalidRequest, ModelLoadError, PoolClosed, PoolExhausted,
                                                    RequestRejected, TranscriptionError)
from tessel_openai_server.kiv_velkor.streaming.events import Finished, PieceKind, TextPiece, ToolCall
from tessel_openai_server.kiv_velkor.streaming.pool import ModelPool
from tessel_openai_server.kiv_velkor.streaming.speech.recogniser import SpeechRecogniser

from .conftest import MODEL, WEATHER_TOOL, user

HELLO = MODEL["replies"][0]["reply"]


def events_sync(gen):
    return list(gen)


def events_async(gen):
    async def collect():
        return [e async for e in gen]
    return asyncio.run(collect())


@pytest.mark.parametrize("consume", [events_sync, events_async], ids=["sync", "async"])
def test_pieces_join_to_the_final_text_in_both_worlds(make_pool, consume):
    handler = signal.getsignal(signal.SIGINT)
    pool = make_pool(contexts=2)
    assert signal.getsignal(signal.SIGINT) is handler   # the program keeps its signals
    events = consume(pool.chat(user("What is the weather in Paris?"), tools=[WEATHER_TOOL], enable_think=True))
    final = events[-1]
    assert isinstance(final, Finished) and final.finish_reason == "tool_calls"
    pieces = [e for e in events if isinstance(e, TextPiece)]
    assert "".join(p.text for p in pieces if p.kind is PieceKind.ANSWER) == final.text == "Let me look that up."
    assert "".join(p.text for p in pieces if p.kind is PieceKind.REASONING) == final.reasoning != ""
    calls = [e for e in events if isinstance(e, ToolCall)]
    assert calls == list(final.tool_calls) and calls[0].name == "get_weather" and calls[0].id.startswith("call_")
    assert final.usage.completion_tokens == len(pieces) and final.timings.time_to_first_piece is not None
    # The tool's answer goes back; the model replies without calling again.
    conversation = user("What is the weather in Paris?") + [
        {"role": "assistant", "content": final.text, "tool_calls": [
            {"id": calls[0].id, "type": "function", "function": {"name": "get_weather", "arguments": "{}"}}]},
        {"role": "tool", "tool_call_id": calls[0].id, "content": "sunny"}]
    again = pool.chat(conversation, tools=[WEATHER_TOOL]).collect()
    assert (again.text, again.finish_reason) == ("It is sunny in Paris.", "stop")
    assert pool.available == 2


def test_characters_split_across_pieces_come_out_whole(fake_pool):
    pool, fake = fake_pool
    for piece, kind in ((b"Gr\xc3", 0), (b"\xbc\xc3", 0), (b"\x9fe \xe2\x98", 0), (b"\x80", 0), (b"\xe2\x80", 1),
                        (b"\xa6\xff", 1)):
        fake.result(piece, token_id=7, content_type=kind)
    fake.result(b"", state=2)
    events = list(pool.chat(user("x")))
    assert [e.text for e in events if isinstance(e, TextPiece)] == ["Gr", "ü", "ße ", "☀", "…\ufffd"]
    assert (events[-1].text, events[-1].reasoning, events[-1].usage.completion_tokens) == ("Grüße ☀", "…\ufffd", 6)


@pytest.mark.parametrize("options, text, reason, tokens", [
    ({"max_tokens": 3}, "Hello there, this", "length", 3),
    ({"max_tokens": 3, "stop": ["this!"]}, "Hello there, this", "length", 3),   # held-back text still goes out
    ({"stop": ["few words"]}, "Hello there, this reply comes in pieces of a ", "stop", 11),
    ({"stop": ["each. never", "pieces x"]}, HELLO, "stop", 12),   # partial matches are released at the end
    ({"stop": "Hello"}, "", "stop", 1),
])
def test_max_tokens_and_stop_end_the_run_and_trim_the_text(make_pool, options, text, reason, tokens):
    final = make_pool().chat(user("Hello"), **options).collect()
    assert (final.text, final.finish_reason, final.usage.completion_tokens) == (text, reason, tokens)


def _cancel_from_thread(gen):
    gen.start()
    threading.Thread(target=gen.cancel).start()
    return gen.collect()


def _leave_loop(gen):
    for event in gen:
        if isinstance(event, TextPiece):
            break
    return None


def _close_after_one(gen):
    next(gen)
    gen.close()


def _task_cancelled(gen):
    async def consume():
        async for _ in gen:
            pass

    async def main():
        task = asyncio.create_task(consume())
        await asyncio.sleep(0.2)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        await gen.aclose()
    asyncio.run(main())


def _async_with(gen):
    async def main():
        async with gen:
            await gen.__anext__()
    asyncio.run(main())


@pytest.mark.parametrize("stop", [lambda g: (g.cancel(), g.collect()), _cancel_from_thread, _leave_loop,
                                  _close_after_one, _task_cancelled, _async_with],
                         ids=["before-start", "from-thread", "leaving-loop", "close", "task-cancel", "async-with"])
def test_cancelling_stops_the_request_within_one_piece_and_returns_its_context(make_pool, monkeypatch, stop):
    monkeypatch.setenv("KIV_REFERENCE_DELAY_MS", "20")
    pool = make_pool(contexts=2)
    other = pool.chat(user("Hello"))
    other.start()
    gen = pool.chat(user("Tell me a long story"))
    started = time.perf_counter()
    stop(gen)
    deadline = time.monotonic() + 2
    while pool.available < 1 and time.monotonic() < deadline:
        time.sleep(0.005)
    # The long story (200 pieces, 4 s) was cut short and its context is back.
    assert pool.available >= 1 and time.perf_counter() - started < 1.5
    if gen.finished is not None:
        assert gen.finished.finish_reason == "cancelled" and gen.finished.usage.completion_tokens < 15
    # The other request is untouched.
    assert other.collect().text == HELLO


def test_a_cancel_racing_the_start_is_never_lost_nor_carried_over(make_pool, monkeypatch):
    monkeypatch.setenv("KIV_REFERENCE_DELAY_MS", "2")
    pool = make_pool()
    for i in range(100):
        gen = pool.chat(user("Tell me a long story"))
        gen.start()
        if i % 2:
            time.sleep(0.001 * (i % 5))
        gen.cancel()
        final = gen.collect()
        assert final.finish_reason == "cancelled" and final.usage.completion_tokens <= 6
    # No stale interrupt cuts the next request.
    assert pool.chat(user("Hello")).collect().text == HELLO


def test_waiting_for_a_context_is_bounded_and_a_closed_pool_refuses(make_pool, monkeypatch):
    monkeypatch.setenv("KIV_REFERENCE_DELAY_MS", "20")
    pool = make_pool(acquire_timeout=0.2)
    busy = pool.chat(user("Tell me a long story"))
    busy.start()
    with pytest.raises(PoolExhausted) as info:
        pool.chat(user("Hello")).collect()
    assert info.value.http_status == 503 and isinstance(info.value, RuntimeError)

    async def waits():
        # A waiting task that is cancelled leaves nothing behind; another gets the context.
        waiter = asyncio.create_task(pool.acquire_async(timeout=5))
        await asyncio.sleep(0.05)
        waiter.cancel()
        second = asyncio.create_task(pool.chat(user("Hello"), acquire_timeout=5).acollect())
        await asyncio.sleep(0.05)
        busy.cancel()
        return await second
    assert asyncio.run(waits()).text == HELLO
    assert pool.available == 1
    late = pool.chat(user("Hello"))
    assert pool.close(timeout=5)
    with pytest.raises(PoolClosed):
        late.collect()


def test_closing_from_elsewhere_or_cancelling_a_wait_never_strands_anyone(make_pool, monkeypatch):
    """aclose() from another task while one iterates, and a cancel while the
    request still waits for a context: both end at once, with their events."""
    monkeypatch.setenv("KIV_REFERENCE_DELAY_MS", "20")
    pool = make_pool(acquire_timeout=5)

    async def scenario():
        streaming = pool.chat(user("Tell me a long story"))
        reader = asyncio.create_task(streaming.acollect())
        await asyncio.sleep(0.2)
        waiting = pool.chat(user("Hello"))
        waiter = asyncio.create_task(waiting.acollect())
        await asyncio.sleep(0.05)
        started = time.monotonic()
        waiting.cancel()
        cancelled = await asyncio.wait_for(waiter, 2)
        assert time.monotonic() - started < 1
        await asyncio.wait_for(streaming.aclose(), 5)
        return cancelled, await asyncio.wait_for(reader, 5)

    cancelled, finished = asyncio.run(scenario())
    assert (cancelled.finish_reason, finished.finish_reason) == ("cancelled", "cancelled")
    assert pool.available == 1


def test_errors_map_to_statuses_and_keep_the_old_base_classes(make_pool, tmp_path):
    bad_model = tmp_path / "bad.json"
    bad_model.write_text("{not json")
    pool = make_pool()
    with pytest.raises(ModelLoadError) as loading:
        ModelPool(str(bad_model), contexts=2)
    assert isinstance(loading.value, RuntimeError)
    for messages, options in [("hi", {}), ([{"role": "robot", "content": "x"}], {}), (user("x"), {"temperature": "hot"}),
                              (user("x"), {"max_tokens": 0}), (user("x"), {"stop": [""]}),
                              ([{"role": "user", "content": [{"type": "image_url",
                                                              "image_url": {"url": "http://x/y.png"}}]}], {})]:
        with pytest.raises(InvalidRequest) as info:
            pool.chat(messages, **options)
        assert info.value.http_status == 400 and isinstance(info.value, ValueError)


def test_a_runtime_error_rejects_the_request_or_ends_the_stream(fake_pool):
    pool, fake = fake_pool
    fake.result(b"the prompt is too long", state=3)
    with pytest.raises(RequestRejected, match="^the prompt is too long$") as info:
        pool.chat(user("x")).collect()
    assert info.value.http_status == 400 and isinstance(info.value, RuntimeError)
    fake.result(b"partial", token_id=3)
    fake.result(b"out of memory", state=3)
    final = pool.chat(user("x")).collect()
    assert (final.text, final.finish_reason, final.error) == ("partial", "error", "out of memory")


def _png(width: int, height: int) -> str:
    from PIL import Image
    buffer = io.BytesIO()
    Image.new("RGB", (width, height), (200, 30, 30)).save(buffer, format="PNG")
    return "data:image/png;base64," + base64.b64encode(buffer.getvalue()).decode()


def test_images_stand_where_they_are_in_the_conversation(make_pool, tmp_path):
    projector = tmp_path / "projector.bin"
    projector.write_bytes(b"\0")
    pool = make_pool(mmproj_path=str(projector))
    conversation = [
        {"role": "user", "content": [{"type": "text", "text": "First"},
                                     {"type": "image_url", "image_url": {"url": _png(64, 48)}}]},
        {"role": "assistant", "content": "Seen."},
        {"role": "user", "content": [{"type": "image", "image": np.zeros((16, 32, 3), np.uint8)},
                                     {"type": "text", "text": "Hello"}]}]
    final = pool.chat(conversation, images=[np.ones((3, 8, 10), np.float32)]).collect()
    assert final.text == ("I see 2 images (32x16, 10x8), and 1 earlier in the conversation (64x48). " + HELLO)
    with pytest.raises(InvalidRequest, match="cannot be decoded"):
        pool.chat([{"role": "user", "content": [{"type": "image_url",
                                                 "image_url": {"url": "data:image/png;base64,AAAA"}}]}])


def _wav(seconds: float = 0.5) -> bytes:
    buffer = io.BytesIO()
    with wave.open(buffer, "wb") as w:
        w.setnchannels(1), w.setsampwidth(2), w.setframerate(16000)
        w.writeframes(b"\0\0" * int(16000 * seconds))
    return buffer.getvalue()


def test_speech_blocking_and_awaitable_from_path_or_bytes(fake_quellan_path, tmp_path):
    fake = ctypes.CDLL(str(fake_quellan_path))
    fake.fake_quellan_reset()
    audio = tmp_path / "a.wav"
    audio.write_bytes(_wav())
    with SpeechRecogniser("whisper", str(tmp_path / "m"), str(tmp_path / "t"), lib_path=str(fake_quellan_path)) as asr:
        assert asr.transcribe(audio).text == "hello"
        fake.fake_quellan_set_delay_ms(300)

        async def main():
            # The event loop keeps turning while the runtime decodes the upload.
            ticks = 0
            task = asyncio.ensure_future(asr.atranscribe(_wav()))
            while not task.done():
                await asyncio.sleep(0.01)
                ticks += 1
            return await task, ticks
        result, ticks = asyncio.run(main())
        assert result.language == "en" and result.seconds >= 0.3 and ticks >= 10
        with pytest.raises(InvalidRequest, match="cannot be decoded as mp3"):
            asr.transcribe(b"ID3 mp3 data")
        fake.fake_quellan_script_transcribe(3, None, None)
        with pytest.raises(TranscriptionError):
            asr.transcribe(audio)
    fake.fake_quellan_reset()
