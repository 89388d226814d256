"""The server on a loopback port, driven by the official openai client, with
the reference runtimes deployed into a copy of the installed package (the
``site`` and ``Server`` of conftest.py)."""

from __future__ import annotations

import base64
import concurrent.futures
import io
import json
import signal
import subprocess
import sys
import time
import urllib.request
import wave

import openai
import pytest

from support.audio import encode, tone
from support.openapi import validate

from .conftest import MODEL, WEATHER_TOOL, Server, _env, user

HELLO = MODEL["replies"][0]["reply"]
CONTEXTS = 8


@pytest.fixture(scope="module")
def server(site):
    s = Server(site, "--contexts", str(CONTEXTS), "--wait-timeout", "1", "--max-upload-mb", "0.1")
    yield s
    assert s.stop()[0] == 0


def _wav(seconds: float) -> bytes:
    buffer = io.BytesIO()
    with wave.open(buffer, "wb") as w:
        w.setnchannels(1), w.setsampwidth(2), w.setframerate(16000)
        w.writeframes(b"\0\0" * int(16000 * seconds))
    return buffer.getvalue()


def test_streamed_chat_joins_to_the_plain_reply_and_tools_round_trip(server):
    client = server.client
    assert [m.id for m in client.models.list()] == ["ref", "whisper-1"]
    plain = client.chat.completions.create(model="ref", messages=user("Hello"))
    chunks = list(client.chat.completions.create(model="ref", messages=user("Hello"), stream=True,
                                                 stream_options={"include_usage": True}))
    streamed = "".join(c.choices[0].delta.content or "" for c in chunks if c.choices)
    assert streamed == plain.choices[0].message.content == HELLO
    assert chunks[-2].choices[0].finish_reason == "stop" and chunks[-1].usage.completion_tokens == 12

    messages = user("What is the weather in Paris?")
    first = client.chat.completions.create(model="ref", messages=messages, tools=[WEATHER_TOOL])
    call = first.choices[0].message.tool_calls[0]
    assert first.choices[0].finish_reason == "tool_calls"
    assert (call.function.name, json.loads(call.function.arguments)) == ("get_weather", {"city": "Paris"})
    messages += [first.choices[0].message.model_dump(exclude_none=True),
                 {"role": "tool", "tool_call_id": call.id, "content": "sunny"}]
    second = client.chat.completions.create(model="ref", messages=messages, tools=[WEATHER_TOOL], max_tokens=50,
                                            temperature=0.2, top_p=0.9, seed=3)
    assert second.choices[0].message.content == "It is sunny in Paris."


def test_an_image_and_a_transcription(server):
    from PIL import Image
    png = io.BytesIO()
    Image.new("RGB", (40, 30)).save(png, format="PNG")
    url = "data:image/png;base64," + base64.b64encode(png.getvalue()).decode()
    reply = server.client.chat.completions.create(model="ref", messages=[{"role": "user", "content": [
        {"type": "text", "text": "Hello"}, {"type": "image_url", "image_url": {"url": url}}]}])
    assert reply.choices[0].message.content == "I see 1 image (40x30). " + HELLO
    audio = ("speech.wav", _wav(1.5), "audio/wav")
    text = server.client.audio.transcriptions.create(model="whisper-1", file=audio)
    assert text.text == "1.50 seconds of audio, 16000 Hz, 1 channel."
    assert server.client.audio.transcriptions.create(model="whisper-1", file=audio, response_format="text") \
        .strip() == text.text


@pytest.mark.filterwarnings("ignore:deprecated:DeprecationWarning")   # the client's mark on translations
def test_speech_in_every_answer_shape_streamed_and_translated(server):
    pytest.importorskip("av")
    # A browser's recording: Opus, 48 kHz stereo; the runtime is given 16 kHz mono.
    audio = ("speech.ogg", encode(tone(1.5, 48000, 2), 48000, "ogg-opus"), "audio/ogg")
    described = "1.50 seconds of audio, 16000 Hz, 1 channel."
    transcriptions, translations = server.client.audio.transcriptions, server.client.audio.translations

    def raw(endpoint, **options) -> dict:
        with endpoint.with_streaming_response.create(model="whisper-1", file=audio, **options) as response:
            return response.json()

    assert transcriptions.create(model="whisper-1", file=audio).text == described
    verbose = raw(transcriptions, response_format="verbose_json", timestamp_granularities=["segment"],
                  language="fr", prompt="unused", temperature=0.2)
    validate("CreateTranscriptionResponseVerboseJson", verbose)
    assert (verbose["language"], verbose["duration"], verbose["text"]) == ("fr", 1.5, described)
    assert [(s["start"], s["end"], s["text"]) for s in verbose["segments"]] == [(0.0, 1.5, described)]
    assert transcriptions.create(model="whisper-1", file=audio, response_format="srt") == \
        f"1\n00:00:00,000 --> 00:00:01,500\n{described}\n\n"
    assert transcriptions.create(model="whisper-1", file=audio, response_format="vtt") == \
        f"WEBVTT\n\n00:00:00.000 --> 00:00:01.500\n{described}\n\n"

    events = [e.model_dump(exclude_unset=True) for e in transcriptions.create(model="whisper-1", file=audio,
                                                                                stream=True)]
    for event in events:
        validate("CreateTranscriptionResponseStreamEvent", event)
    assert events == [{"type": "transcript.text.delta", "delta": described},
                      {"type": "transcript.text.done", "text": described}]

    # The deterministic runtime marks the task it was given.
    translated = raw(translations, response_format="verbose_json")
    validate("CreateTranslationResponseVerboseJson", translated)
    assert translated["text"] == "[translate] " + described and translated["duration"] == 1.5
    validate("CreateTranslationResponseJson", raw(translations))
    with pytest.raises(openai.BadRequestError, match="no word timings"):
        transcriptions.create(model="whisper-1", file=audio, response_format="verbose_json",
                              timestamp_granularities=["word"])


def _upload(data: bytes, **fields: str) -> bytes:
    parts = [f'--b\r\nContent-Disposition: form-data; name="{name}"\r\n\r\n{value}\r\n'.encode()
             for name, value in {"model": "whisper-1", **fields}.items()]
    return b"".join(parts) + b'--b\r\nContent-Disposition: form-data; name="file"; filename="a.wav"\r\n\r\n' + \
        data + b"\r\n--b--\r\n"


@pytest.mark.parametrize("streamed", [True, False], ids=["stream", "plain"])
def test_a_client_that_goes_away_stops_its_generation(server, streamed):
    if streamed:
        stream = server.client.chat.completions.create(model="ref", messages=user("Tell me a long story"),
                                                       stream=True)
        for i, _ in enumerate(stream):
            if i == 3:
                break
        stream.close()
    else:
        with pytest.raises(openai.APITimeoutError):
            server.client.with_options(timeout=0.5).chat.completions.create(model="ref",
                                                                            messages=user("Tell me a long story"))
    left = time.monotonic()
    while server.health()["available"] < CONTEXTS and time.monotonic() - left < 3:
        time.sleep(0.01)
    # One piece takes 20 ms; the 200-piece story would hold its context for 4 s.
    assert server.health()["available"] == CONTEXTS and time.monotonic() - left < 1.0


def test_eight_concurrent_streams_on_eight_contexts_then_a_503(server):
    def one(text: str) -> str:
        stream = server.client.chat.completions.create(model="ref", messages=user(text), stream=True)
        return "".join(c.choices[0].delta.content or "" for c in stream if c.choices)

    with concurrent.futures.ThreadPoolExecutor(CONTEXTS + 1) as workers:
        started = time.perf_counter()
        stories = [workers.submit(one, "Tell me a long story") for _ in range(CONTEXTS)]
        time.sleep(0.3)
        with pytest.raises(openai.APIStatusError) as busy:
            one("Hello")
        assert busy.value.status_code == 503 and busy.value.body["code"] == "pool_exhausted"
        texts = [f.result() for f in stories]
        elapsed = time.perf_counter() - started
    assert texts == [MODEL["replies"][3]["reply"]] * CONTEXTS
    assert elapsed < 2 * 200 * 0.020   # side by side, not one after another


@pytest.mark.parametrize("path, body, content_type, status", [
    ("/v1/chat/completions", b"{not json", "application/json", 400),
    ("/v1/chat/completions", json.dumps({"model": "gpt-x", "messages": user("x")}).encode(), "application/json", 404),
    ("/v1/chat/completions", json.dumps({"model": "ref", "messages": "x"}).encode(), "application/json", 400),
    ("/v1/chat/completions", json.dumps({"model": "ref", "messages": user("x"), "temperature": "hot"}).encode(),
     "application/json", 400),
    ("/v1/chat/completions", json.dumps({"model": "ref", "messages": user("x"), "stream": "yes"}).encode(),
     "application/json", 400),
    ("/v1/chat/completions", json.dumps({"model": "ref", "messages": user("x"), "max_tokens": -1}).encode(),
     "application/json", 400),
    ("/v1/audio/transcriptions", b"x" * 200_000, "multipart/form-data; boundary=b", 413),
    ("/v1/audio/transcriptions", b"--b\r\nContent-Disposition: form-data; name=\"model\"\r\n\r\nwhisper-1\r\n--b\r\n"
     b"Content-Disposition: form-data; name=\"file\"; filename=\"a.mp3\"\r\n\r\nID3 not a wave\r\n--b--\r\n",
     "multipart/form-data; boundary=b", 400),
    # A WAV header on data that is no audio (the runtime failed on it: a 500 the client retried).
    ("/v1/audio/transcriptions", _upload(b"RIFF\x24\x00\x00\x00WAVEnot audio at all"),
     "multipart/form-data; boundary=b", 400),
    ("/v1/audio/transcriptions", _upload(_wav(0.1), response_format="diarized_json"),
     "multipart/form-data; boundary=b", 400),
    ("/v1/audio/transcriptions", _upload(_wav(0.1), chunking_strategy="auto"), "multipart/form-data; boundary=b", 400),
    ("/v1/audio/translations", _upload(_wav(0.1), language="fr"), "multipart/form-data; boundary=b", 400),
    ("/v1/nothing", b"{}", "application/json", 404),
])
def test_bad_requests_get_a_clear_4xx_and_the_server_keeps_serving(server, path, body, content_type, status):
    code, answer = server.post(path, body, content_type)
    assert code == status and answer["error"]["message"]
    assert server.client.chat.completions.create(model="ref", messages=user("Hello")).choices[0].message.content == HELLO


def test_a_second_server_on_a_port_in_use_says_so_in_one_line_before_loading_anything(server, site):
    port = server.url.rsplit(":", 1)[1]
    proc = subprocess.run([sys.executable, "-m", "tessel_openai_server.kiv_velkor", "serve", "--port", port,
                           "--model", str(site / "missing-model.json")], env=_env(site), capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 1 and proc.stderr.strip().splitlines() == [
        f"error: cannot listen on 127.0.0.1:{port}: Address already in use"]


@pytest.mark.parametrize("mode, sig, reason", [("cancel", signal.SIGTERM, None), ("finish", signal.SIGINT, "stop")])
def test_a_signal_stops_the_server_cleanly(site, mode, sig, reason):
    # A stream the server cancels ends with an error event the client raises, never a silent end.
    s = Server(site, "--on-shutdown", mode, delay_ms=10)
    stream = s.client.chat.completions.create(model="ref", messages=user("Tell me a long story"), stream=True)
    chunks = [next(iter(stream))]
    s.proc.send_signal(sig)
    try:
        chunks += list(stream)
        error = None
    except openai.APIError as exc:
        error = exc.message
    # The one signal stops it: another one could land after it has put the
    # default handlers back, on its way out.
    rc, err = s.wait()
    assert rc == 0, err
    finished = [c.choices[0].finish_reason for c in chunks if c.choices and c.choices[0].finish_reason]
    assert (finished, error) == (([reason], None) if reason else ([], "the generation was cancelled (the server is "
                                                                       "stopping)"))
    assert "every context released" in err and "Traceback" not in err


def test_a_full_queue_is_a_503_at_once_and_the_queue_shows_in_the_metrics(site):
    s = Server(site, "--contexts", "1", "--max-queue", "1")
    try:
        with concurrent.futures.ThreadPoolExecutor(2) as workers:
            story = workers.submit(lambda: s.client.chat.completions.create(
                model="ref", messages=user("Tell me a long story"), max_tokens=60))
            time.sleep(0.3)
            waiting = workers.submit(lambda: s.client.chat.completions.create(model="ref", messages=user("Hello")))
            time.sleep(0.3)
            started = time.monotonic()
            with pytest.raises(openai.APIStatusError) as full:
                s.client.chat.completions.create(model="ref", messages=user("Hello"))
            assert time.monotonic() - started < 1.0
            assert full.value.status_code == 503 and full.value.body["code"] == "queue_full"
            assert full.value.response.headers["Retry-After"] == "1"
            with urllib.request.urlopen(s.url + "/metrics", timeout=5) as response:
                scraped = response.read().decode()
            assert 'kiv_requests_queued{kind="chat"} 1.0' in scraped and "kiv_queue_limit 1.0" in scraped
            assert story.result().choices[0].finish_reason == "length" and waiting.result().choices[0].message.content
    finally:
        assert s.stop()[0] == 0
