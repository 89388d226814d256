"""The server as an attacker on its port would try it: every unbounded piece of
work is refused early, slow and idle connections are dropped, a hang-up frees
its context at once, only keyed clients from allowed hosts and origins get in,
and the metrics tell what happened. Each scenario starts its own server on a
loopback port with the reference runtimes."""

from __future__ import annotations

import base64
import concurrent.futures
import http.client
import json
import re
import resource
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import zlib
from pathlib import Path

import openai
import pytest

from tessel_openai_server.kiv_velkor.streaming.errors import InvalidRequest, LimitExceeded
from tessel_openai_server.kiv_velkor.streaming.pool import ModelPool

from support.openapi import validate

from .conftest import MODEL, user
from .conftest import _env
from .test_server import _wav

BIG = " ".join(f"w{i}" for i in range(150_000))   # about 1 MB in 150,000 pieces
NET_MODEL = {"replies": [*MODEL["replies"], {"match": "Tell me everything", "reply": BIG}]}


@pytest.fixture(scope="module")
def net_site(site) -> Path:
    (site / "net_model.json").write_text(json.dumps(NET_MODEL), encoding="utf-8")
    return site


class Net:
    """A server started with ``args`` (the reference runtimes, ``delay_ms`` per piece)."""

    def __init__(self, site: Path, *args: str, delay_ms: int = 0, env: dict[str, str] | None = None,
                 fd_limit: int | None = None) -> None:
        limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (fd_limit, fd_limit))) if fd_limit else None
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "tessel_openai_server.kiv_velkor", "serve", "--port", "0", "--model",
             str(site / "net_model.json"), "--model-name", "ref", "--asr-model", str(site / "asr.bin"),
             "--asr-tokenizer", str(site / "tokenizer.json"), "--no-access-log", "--ctx-size", "1000000",
             # The big reply must not be cut by the default bound on generated tokens.
             "--max-tokens", "1000000", "--default-max-tokens", "1000000", *args],
            env=_env(site, KIV_REFERENCE_DELAY_MS=str(delay_ms), **(env or {})), stderr=subprocess.PIPE,
            stdout=subprocess.DEVNULL, text=True, preexec_fn=limit)
        assert self.proc.stderr is not None
        self.head = self.proc.stderr.readline()
        while "Serving" not in self.head and self.proc.poll() is None:
            self.head += self.proc.stderr.readline()
        self.port = int(re.search(r"http://[\d.]+:(\d+)/v1", self.head)[1])
        self.client = openai.OpenAI(base_url=f"http://127.0.0.1:{self.port}/v1", api_key="none", max_retries=0,
                                    timeout=30)

    def request(self, method: str, path: str, body: bytes = b"", headers: dict[str, str] | None = None,
                timeout: float = 10) -> tuple[int, dict[str, str], bytes]:
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            conn.request(method, path, body, {"Content-Type": "application/json", **(headers or {})})
            response = conn.getresponse()
            return response.status, {k.lower(): v for k, v in response.getheaders()}, response.read()
        finally:
            conn.close()

    def health(self) -> dict:
        return json.loads(self.request("GET", "/health")[2])

    def connect(self) -> socket.socket:
        return socket.create_connection(("127.0.0.1", self.port), timeout=10)

    def stop(self, sig: int | None = signal.SIGTERM) -> tuple[int, str]:
        """Signals the server (``None``: it was signalled already) and waits for its end."""
        if sig is not None and self.proc.poll() is None:
            self.proc.send_signal(sig)
        if not hasattr(self, "ended"):
            _, err = self.proc.communicate(timeout=30)
            self.ended = (self.proc.returncode, self.head + err)
        return self.ended


@pytest.fixture
def start(net_site):
    servers: list[Net] = []

    def make(*args: str, **options) -> Net:
        servers.append(Net(net_site, *args, **options))
        return servers[-1]

    yield make
    for s in servers:
        rc, err = s.stop()
        assert rc == 0 and "Traceback" not in err, err


def _png_header(width: int, height: int) -> str:
    """A PNG that claims ``width`` x ``height`` pixels but holds no pixel data: decoding it fails."""
    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(b"\0" * 16)) + chunk(b"IEND", b""))
    return "data:image/png;base64," + base64.b64encode(png).decode()


def _image_message(*urls: str) -> list[dict]:
    return [{"role": "user", "content": [{"type": "image_url", "image_url": {"url": u}} for u in urls]}]


def test_images_are_counted_from_their_headers_and_never_decoded_without_a_projector(make_pool, tmp_path):
    blind = make_pool()
    with pytest.raises(InvalidRequest, match="without a vision projector"):
        blind.chat(_image_message(_png_header(60000, 60000)))
    projector = tmp_path / "projector.bin"
    projector.write_bytes(b"\0")
    pool = make_pool(mmproj_path=str(projector))
    started = time.perf_counter()
    # 8 images of 6300 x 6300 would take 950 MB decoded: the second header is already over the budget.
    with pytest.raises(LimitExceeded, match="pixels together") as too_many:
        pool.chat(_image_message(*[_png_header(2900, 2900)] * 8))
    assert too_many.value.param == "messages[0].content[1]" and time.perf_counter() - started < 1
    with pytest.raises(LimitExceeded, match="more than 8 images"):
        pool.chat(_image_message(*[_png_header(4, 4)] * 9))
    with pytest.raises(InvalidRequest, match="cannot be decoded") as broken:
        pool.chat(_image_message(_png_header(4, 4)))
    assert "0x" not in broken.value.message   # Pillow's own text (heap addresses) stays out


def test_a_consumer_that_falls_behind_holds_its_run_up(place_library, runtimes, tmp_path):
    place_library(runtimes["velkor"])
    model = tmp_path / "long.json"
    model.write_text(json.dumps({"replies": [{"match": "go", "reply": " ".join(f"w{i}" for i in range(20_000))}]}))
    with ModelPool(str(model), context_size=100_000) as pool:
        reading = pool.chat(user("go"))
        reading.start()
        time.sleep(0.5)
        assert 4096 <= reading.queued < 4200   # the run waits for its consumer instead of queuing 20,000 events
        assert reading.collect().text.count(" ") == 19_999   # and goes on as the events are taken
        left = pool.chat(user("go"))
        left.start()
        time.sleep(0.3)
        started = time.perf_counter()
        left.close()   # a cancel wakes the waiting run
        assert time.perf_counter() - started < 0.5 and pool.available == 1


ATTACKS = [
    ("200,000 stop strings", "/v1/chat/completions",
     {"model": "ref", "messages": user("Hello"), "stop": [f"s{i}" for i in range(200_000)]}, 400, "limit_exceeded"),
    ("5,000 messages", "/v1/chat/completions", {"model": "ref", "messages": user("Hello") * 5000}, 400,
     "limit_exceeded"),
    ("200,000 stop strings to completions", "/v1/completions",
     {"model": "ref", "prompt": "Hello", "stop": [f"s{i}" for i in range(200_000)]}, 400, "limit_exceeded"),
    ("5,000 input items to responses", "/v1/responses", {"model": "ref", "input": user("Hello") * 5000}, 400,
     "limit_exceeded"),
    ("200 tools", "/v1/chat/completions", {"model": "ref", "messages": user("Hello"), "tools": [
        {"type": "function", "function": {"name": f"f{i}"}} for i in range(200)]}, 400, "limit_exceeded"),
    ("100,000-deep JSON", "/v1/chat/completions", "[" * 100_000 + "]" * 100_000, 400, None),
    ("a lone surrogate as the model", "/v1/chat/completions", '{"model": "\\ud800", "messages": []}', 404,
     "model_not_found"),
]


@pytest.fixture(scope="module")
def shared(net_site):
    s = Net(net_site)
    yield s
    rc, err = s.stop()
    assert rc == 0 and "Traceback" not in err, err


@pytest.mark.parametrize("name, path, body, status, code", ATTACKS, ids=[a[0] for a in ATTACKS])
def test_hostile_bodies_get_a_4xx_in_openai_shape(shared, name, path, body, status, code):
    s = shared
    raw = body if isinstance(body, str) else json.dumps(body)
    got, headers, answer = s.request("POST", path, raw.encode())
    validate("ErrorResponse", json.loads(answer))
    error = json.loads(answer)["error"]
    assert (got, error["code"]) == (status, code) and error["message"] and headers["x-request-id"]


def test_oversized_slow_and_idle_requests_are_cut_off_and_the_server_keeps_serving(start):
    s = start("--header-timeout", "1", "--body-timeout", "1", "--max-body-mb", "1")
    # A 200 MB body is refused from its declared length, before any of it is read.
    big = s.connect()
    big.sendall(b"POST /v1/chat/completions HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
                b"Content-Length: 200000000\r\n\r\n")
    assert big.recv(4096).startswith(b"HTTP/1.1 413")
    half_heads, half_bodies = [s.connect() for _ in range(30)], [s.connect() for _ in range(30)]
    for c in half_heads:
        c.sendall(b"GET /health HTTP/1.1\r\nHost: loc")
    for c in half_bodies:
        c.sendall(b"POST /v1/chat/completions HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
                  b"Content-Length: 100\r\n\r\n{\"mod")
    assert s.health()["status"] == "ok"
    time.sleep(1.5)
    assert all(c.recv(4096) == b"" for c in half_heads)
    assert all(c.recv(4096).startswith(b"HTTP/1.1 408") for c in half_bodies)
    for c in [big, *half_heads, *half_bodies]:
        c.close()


def test_idle_connections_cannot_take_every_descriptor(start):
    s = start("--max-connections", "512", fd_limit=256)
    idle = [s.connect() for _ in range(300)]
    started = time.perf_counter()
    assert s.client.chat.completions.create(model="ref", messages=user("Hello")).choices[0].message.content
    assert time.perf_counter() - started < 2
    for c in idle:
        c.close()
    rc, err = s.stop()
    assert rc == 0 and "connections, not --max-connections 512" in err and len(err) < 2000, err


def _silent_stream(s) -> socket.socket:
    """A client that asks for a long stream and reads none of it (its receive buffer kept small)."""
    client = socket.socket()
    client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
    client.connect(("127.0.0.1", s.port))
    body = json.dumps({"model": "ref", "messages": user("Tell me everything"), "stream": True}).encode()
    client.sendall(b"POST /v1/chat/completions HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
                   b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
    time.sleep(0.5)
    return client


def test_a_hang_up_frees_its_context_at_once_whatever_the_backlog(start):
    s = start("--contexts", "1")
    client = _silent_stream(s)   # reads nothing: the backlog stays queued
    assert s.health()["available"] == 0
    client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    client.close()
    hung_up, slowest = time.perf_counter(), 0.0
    while s.health()["available"] == 0 and time.perf_counter() - hung_up < 5:
        before = time.perf_counter()
        s.health()
        slowest = max(slowest, time.perf_counter() - before)
    assert time.perf_counter() - hung_up < 0.5 and slowest < 0.25


def test_a_client_that_leaves_while_queued_never_runs(start):
    s = start("--contexts", "1", delay_ms=10)
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        first = pool.submit(s.client.chat.completions.create, model="ref", messages=user("Tell me a long story"))
        time.sleep(0.3)
        with pytest.raises(openai.APITimeoutError):   # waits for the context, then hangs up
            s.client.with_options(timeout=0.5).chat.completions.create(model="ref", messages=user("Hello"))
        assert first.result().choices[0].finish_reason == "stop"
    families = _metrics(s)
    assert families["kiv_generations"][("finish_reason", "stop")] == 1
    assert families["kiv_generations"].get(("finish_reason", "cancelled"), 0) == 1


def _metrics(s: Net, headers: dict[str, str] | None = None) -> dict[str, dict[tuple[str, ...], float]]:
    from prometheus_client.parser import text_string_to_metric_families
    status, headers, text = s.request("GET", "/metrics", headers=headers)
    assert status == 200 and headers["content-type"].startswith("text/plain")
    out: dict[str, dict[tuple[str, ...], float]] = {}
    for family in text_string_to_metric_families(text.decode()):
        for sample in family.samples:
            out.setdefault(sample.name.removesuffix("_total"), {})[tuple(x for kv in sorted(
                sample.labels.items()) for x in kv)] = sample.value
    return out


def test_keys_hosts_and_origins_keep_other_clients_and_pages_out(start, tmp_path):
    key_file = tmp_path / "keys"
    key_file.write_text("# the team's key\nfile-key\n")
    s = start("--api-key", "option-key", "--api-key-file", str(key_file), "--cors-origins", "https://app.example",
              env={"KIV_API_KEYS": "env-key, other"})
    hello = json.dumps({"model": "ref", "messages": user("Hello")}).encode()
    cases = [
        ({}, 401), ({"Authorization": "Bearer wrong"}, 401), ({"Authorization": "Bearer option-key"}, 200),
        ({"x-api-key": "file-key"}, 200), ({"Authorization": "Bearer env-key"}, 200),
        ({"Authorization": "Bearer env-key", "Host": "evil.example"}, 400),
        ({"Authorization": "Bearer env-key", "Origin": "https://evil.example"}, 403),
        ({"Authorization": "Bearer env-key", "Content-Type": "text/plain"}, 415),
        ({"Authorization": "Bearer env-key", "Origin": "https://app.example"}, 200),
    ]
    for headers, status in cases:
        got, answer_headers, _ = s.request("POST", "/v1/chat/completions", hello, headers)
        assert got == status, (headers, got)
    assert answer_headers["access-control-allow-origin"] == "https://app.example"
    preflight = {"Origin": "https://app.example", "Access-Control-Request-Method": "POST",
                 "Access-Control-Request-Headers": "authorization, content-type"}
    got, answer_headers, _ = s.request("OPTIONS", "/v1/chat/completions", headers=preflight)
    assert got == 200 and "POST" in answer_headers["access-control-allow-methods"]
    assert s.request("OPTIONS", "/v1/chat/completions", headers={**preflight, "Origin": "https://evil.example"}
                     )[0] >= 400
    assert s.request("GET", "/health")[0] == s.request("GET", "/health/ready")[0] == 200   # open: no key
    assert s.request("GET", "/v1/models")[0] == 401


def test_metrics_request_ids_and_readiness(start):
    s = start()
    _, headers, _ = s.request("GET", "/health", headers={"x-request-id": "trace-42"})
    assert headers["x-request-id"] == "trace-42"
    assert len(s.request("GET", "/health", headers={"x-request-id": "bad id\x7f"})[1]["x-request-id"]) == 16
    assert s.client.chat.completions.create(model="ref", messages=user("Hello")).choices[0].message.content
    s.request("POST", "/v1/chat/completions", b"{}", {"Content-Type": "text/plain"})
    families = _metrics(s)
    assert families["kiv_http_requests"][("method", "POST", "route", "/v1/chat/completions", "status", "200")] == 1
    assert families["kiv_requests_rejected"][("reason", "unsupported_media_type")] == 1
    assert families["kiv_tokens_generated"][()] == 12 and families["kiv_contexts_busy"][()] == 0
    assert families["kiv_time_to_first_piece_seconds_count"][()] == 1
    ready = json.loads(s.request("GET", "/health/ready")[2])
    assert ready["status"] == "ready" and ready["models"]["ref"]["value"] == "loaded"


def test_transcriptions_wait_in_a_bounded_queue_for_a_bounded_time(start):
    s = start("--max-speech-queue", "3", "--wait-timeout", "1.2", env={"KIV_REFERENCE_ASR_DELAY_MS": "800"})
    audio = ("a.wav", _wav(0.5), "audio/wav")

    def one(_: int) -> int:
        try:
            s.client.audio.transcriptions.create(model="whisper-1", file=audio)
            return 200
        except openai.APIStatusError as exc:
            assert exc.response.headers["retry-after"] and exc.body["code"] == "recogniser_busy"
            return exc.status_code

    with concurrent.futures.ThreadPoolExecutor(6) as pool:
        codes = sorted(pool.map(one, range(6)))
    # Three are refused before their upload is read; of the three queued, the third waits past 1.2 s.
    assert codes == [200, 200, 503, 503, 503, 503]
    for language, wav, status in (("en\0", _wav(0.1), 400), ("en", b"RIFF\x10\0\0\0WAVEjunk" * 8, 400)):
        with pytest.raises(openai.APIStatusError) as refused:
            s.client.audio.transcriptions.create(model="whisper-1", file=("a.wav", wav), language=language)
        assert refused.value.status_code == status


@pytest.mark.parametrize("timeout, signals", [("1", 1), ("30", 2)], ids=["timeout", "second signal"])
def test_finish_mode_answers_the_queue_then_cuts_what_outlives_the_timeout_with_an_error_event(start, timeout,
                                                                                                signals):
    s = start("--contexts", "1", "--on-shutdown", "finish", "--shutdown-timeout", timeout, delay_ms=20)
    stream = s.client.chat.completions.create(model="ref", messages=user("Tell me a long story"), stream=True)
    chunks = [next(iter(stream))]
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        queued = pool.submit(s.request, "POST", "/v1/chat/completions",
                             json.dumps({"model": "ref", "messages": user("Hello")}).encode())
        time.sleep(0.3)
        s.proc.send_signal(signal.SIGTERM)
        status, headers, _ = queued.result()
    assert (status, headers.get("retry-after")) == (503, "1")
    if signals == 2:
        time.sleep(0.7)
        s.proc.send_signal(signal.SIGTERM)   # finish turns into cancel
    with pytest.raises(openai.APIError, match="the server is stopping") as cut:
        for chunk in stream:
            chunks.append(chunk)
    validate("ErrorResponse", {"error": cut.value.body})   # OpenAI's stream-error event
    assert 20 < len(chunks) < 150   # about 1 s of a 4 s story
    # It exits by itself; a signal from the teardown could land after its handlers are gone.
    assert s.proc.wait(timeout=30) == 0


def test_a_conversation_goes_on_only_for_the_key_that_held_it(start):
    s = start("--api-key", "alice-key", "--api-key", "bob-key")

    def chat(key: str, messages: list) -> dict:
        status, _, body = s.request("POST", "/v1/chat/completions",
                                    json.dumps({"model": "ref", "messages": messages}).encode(),
                                    {"Authorization": f"Bearer {key}"})
        assert status == 200, body
        return json.loads(body)["choices"][0]["message"]

    first = user("one")
    second = first + [chat("alice-key", first)] + user("two")
    chat("alice-key", second)      # goes on from alice's first turn
    chat("bob-key", second)        # the same messages from another key run afresh
    outcomes = _metrics(s, {"x-api-key": "alice-key"})["kiv_conversation_cache"]
    assert (outcomes[("outcome", "hit")], outcomes[("outcome", "miss")]) == (1, 2)


def test_a_client_that_stops_reading_loses_its_stream_after_the_send_timeout(start):
    s = start("--contexts", "1", "--send-timeout", "1", "--wait-timeout", "10")
    stalled = _silent_stream(s)   # connected, reading nothing
    assert s.health()["available"] == 0
    started = time.perf_counter()
    answer = s.client.chat.completions.create(model="ref", messages=user("Hello"))   # waits for the one context
    assert answer.choices[0].finish_reason == "stop" and time.perf_counter() - started < 4
    assert _metrics(s)["kiv_requests_rejected"][("reason", "send_timeout")] == 1
    stalled.close()


def test_http_1_0_without_a_host_header_is_answered(shared):
    with shared.connect() as c:
        c.sendall(b"GET /health HTTP/1.0\r\n\r\n")
        assert c.recv(4096).startswith(b"HTTP/1.1 200")
    with shared.connect() as c:   # HTTP/1.1 must name its host
        c.sendall(b"GET /health HTTP/1.1\r\n\r\n")
        assert c.recv(4096).startswith(b"HTTP/1.1 400")


@pytest.mark.parametrize("options, problem", [(["--api-key", ""], "--api-key is empty"),
                                              (["--api-key", "k", "--api-key", " "], "--api-key is empty"),
                                              (["--api-key-file", "{empty}"], "holds no key")])
def test_an_empty_api_key_refuses_to_start_an_open_server(net_site, tmp_path, options, problem):
    empty = tmp_path / "keys"
    empty.write_text("# keys go here\n\n")
    done = subprocess.run([sys.executable, "-m", "tessel_openai_server.kiv_velkor", "serve", "--port", "0", "--model",
                           str(net_site / "net_model.json"), *(o.format(empty=empty) for o in options)],
                          env=_env(net_site), capture_output=True, text=True, timeout=30)
    assert done.returncode == 2 and problem in done.stderr and "Serving" not in done.stderr, done.stderr


def test_hostile_methods_and_paths_neither_grow_the_metrics_nor_forge_log_lines(caplog):
    import logging
    from starlette.testclient import TestClient
    from tessel_openai_server.kiv_velkor.server.app import create_app
    from tessel_openai_server.kiv_velkor.server.http.guard import GuardSettings
    from tessel_openai_server.kiv_velkor.server.state import ServerSettings

    guard = GuardSettings(api_keys=("k",), cors_origins=("https://App.example/",), access_log=True)
    app = create_app(None, ServerSettings("ref", guard=guard))
    with TestClient(app, base_url="http://localhost") as client, caplog.at_level(logging.INFO, "kiv.access"):
        for i in range(50):
            assert client.request(f"METHOD{i}", "/v1/models").status_code == 401
        client.get("/v1/models%0a127.0.0.1 \"GET /admin HTTP/1.1\" 200%0d%1b[2J%e2%80%a8")
        # An origin given with a trailing slash or in capitals is the origin browsers send.
        cors = client.get("/health", headers={"Origin": "https://app.example"})
        metrics = client.get("/metrics", headers={"Authorization": "Bearer k"}).text
    assert cors.status_code == 200 and cors.headers["access-control-allow-origin"] == "https://app.example"
    methods = set(re.findall(r'kiv_http_requests_total\{[^}]*method="([^"]+)"', metrics))
    assert methods == {"GET", "other"}
    lines = [r.getMessage() for r in caplog.records if r.name == "kiv.access"]
    assert len(lines) == 53
    forged = next(line for line in lines if "admin" in line)
    assert not any(c in forged for c in "\n\r\x1b\u2028") and "\\x0a" in forged and "\\x22GET" in forged
