"""Two servers behind Debian's nginx on loopback, configured as the README's
"Running it on a network" shows: requests spread over both, a saturated
server's 503 is retried on the other, and SIGTERM on one server during load
loses no plain request while every cut stream ends with an error the client
sees. ``scripts/test.sh`` provides nginx (``KIV_NGINX``); without it the test
skips."""

from __future__ import annotations

import concurrent.futures
import os
import shutil
import signal
import socket
import subprocess
import threading
import time
from pathlib import Path

import openai
import pytest

from .conftest import MODEL, user
from .test_network import Net, _metrics, net_site  # noqa: F401  (fixtures)

STORY = MODEL["replies"][3]["reply"]
CONTEXTS = 4   # each server alone can carry the whole load below
HELLO = MODEL["replies"][0]["reply"]

# The part of the configuration that matters; the README shows it whole.
UPSTREAM = """
upstream kiv {{
    server 127.0.0.1:{a} max_fails=0;
    server 127.0.0.1:{b} max_fails=0;
    keepalive 16;
}}
server {{
    listen 127.0.0.1:{port};
    client_max_body_size 32m;
    location / {{
        proxy_pass http://kiv;
        proxy_http_version 1.1;
        proxy_set_header Connection "";
        proxy_set_header Host $host;
        proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
        proxy_buffering off;
        proxy_read_timeout 300s;
        proxy_next_upstream error timeout http_502 http_503 non_idempotent;
        proxy_next_upstream_tries 2;
    }}
}}
"""


def _nginx_binary() -> str:
    binary = os.environ.get("KIV_NGINX") or shutil.which("nginx")
    if not binary:
        pytest.skip("nginx is not available (scripts/test.sh fetches Debian's)")
    return binary


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


@pytest.fixture
def router(net_site, tmp_path: Path):
    binary = _nginx_binary()
    a, b = (Net(net_site, "--contexts", str(CONTEXTS), "--wait-timeout", "0", delay_ms=10) for _ in range(2))
    port = _free_port()
    temp = "\n".join(f"{kind}_temp_path {tmp_path}/{kind};" for kind in ("client_body", "proxy", "fastcgi", "uwsgi",
                                                                         "scgi"))
    (tmp_path / "nginx.conf").write_text(
        f"worker_processes 1;\npid {tmp_path}/nginx.pid;\ndaemon off;\nevents {{ worker_connections 256; }}\n"
        f"http {{\naccess_log off;\n{temp}\n{UPSTREAM.format(a=a.port, b=b.port, port=port)}}}\n")
    nginx = subprocess.Popen([binary, "-p", str(tmp_path), "-c", str(tmp_path / "nginx.conf"), "-e", "stderr"],
                             stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            assert nginx.poll() is None, nginx.stderr.read() if nginx.stderr else ""
            time.sleep(0.05)
    client = openai.OpenAI(base_url=f"http://127.0.0.1:{port}/v1", api_key="none", max_retries=0, timeout=30)
    yield client, a, b
    nginx.send_signal(signal.SIGQUIT)
    nginx.wait(10)
    for s in (a, b):
        rc, err = s.stop()
        assert rc == 0 and "Traceback" not in err, err


def _served(server: Net) -> float:
    return _metrics(server)["kiv_http_requests"].get(
        ("method", "POST", "route", "/v1/chat/completions", "status", "200"), 0)


def test_two_servers_behind_nginx_spread_retry_and_stop_without_losing_a_request(router):
    client, a, b = router
    for _ in range(6):
        assert client.chat.completions.create(model="ref", messages=user("Hello")).choices[0].message.content == HELLO
    assert _served(a) >= 2 and _served(b) >= 2

    # a's contexts are all busy: what nginx sends there gets a 503 at once and goes to b instead.
    held = [a.client.chat.completions.create(model="ref", messages=user("Tell me a long story"), stream=True)
            for _ in range(CONTEXTS)]
    for stream in held:
        next(iter(stream))
    for _ in range(4):
        assert client.chat.completions.create(model="ref", messages=user("Hello")).choices[0].message.content == HELLO
    assert _metrics(a)["kiv_requests_rejected"][("reason", "pool_exhausted")] >= 1
    for stream in held:
        stream.close()


    def stream(started: threading.Event) -> str:
        """"complete", or "error" when the stream ended with an error event; anything else fails the test."""
        text, finish = [], None
        try:
            for chunk in client.chat.completions.create(model="ref", messages=user("Tell me a long story"),
                                                        stream=True):
                started.set()
                if chunk.choices:
                    text.append(chunk.choices[0].delta.content or "")
                    finish = chunk.choices[0].finish_reason or finish
        except openai.APIError as exc:
            assert "the server is stopping" in exc.message, exc
            return "error"
        assert (finish, "".join(text)) == ("stop", STORY)   # never a silent truncation
        return "complete"

    stop = threading.Event()

    def plain() -> int:
        done = 0
        while not stop.is_set():
            assert client.chat.completions.create(model="ref", messages=user("Hello")).choices[0].message.content \
                == HELLO
            done += 1
        return done

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        streams = []
        for _ in range(2):   # one after the other: nginx sends one to each server
            started = threading.Event()
            streams.append(pool.submit(stream, started))
            assert started.wait(10)
        plains = [pool.submit(plain) for _ in range(2)]
        time.sleep(0.5)
        a.proc.send_signal(signal.SIGTERM)
        outcomes = sorted(f.result() for f in streams)
        time.sleep(0.5)
        stop.set()
        answered = sum(f.result() for f in plains)
    rc, err = a.stop(None)   # signalled above: another signal could land after its handlers are gone
    assert rc == 0 and "Traceback" not in err, err
    assert answered > 5 and outcomes == ["complete", "error"]
