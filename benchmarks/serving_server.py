"""The server under load and under attack, for benchmarks/serving.sh: each
scenario starts ``serve`` on a loopback port with the reference runtimes
(deployed into a copy of the installed package) and measures, from outside,
the latency of ``GET /health`` probes (the event loop's fairness), the server
process's peak resident memory above its idle level, and what each hostile
client got.
"""

from __future__ import annotations

import base64
import concurrent.futures
import http.client
import io
import json
import re
import resource
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

BIG = " ".join(f"w{i}" for i in range(600_000))   # a 4 MB reply, in 600,000 pieces
MODEL = {"replies": [{"match": "Hello", "reply": "Hello there, this reply comes in pieces of a few words each."},
                     {"match": "Tell me the story", "reply": " ".join(f"w{i}" for i in range(2000))},
                     {"match": "Tell me everything", "reply": BIG}]}


def make_site(refs: dict[str, Path], work: Path) -> Path:
    """A copy of the installed package with both reference runtimes deployed, and the model."""
    import tessel_openai_server
    site = work / "site"
    shutil.copytree(Path(tessel_openai_server.__file__).parent, site / "tessel_openai_server")
    for name in ("velkor", "quellan"):
        subprocess.run([sys.executable, "-m", "tessel_openai_server.kiv_velkor", "install-runtime", name,
                        str(refs[name]), "--package-dir", str(site / "tessel_openai_server" / "kiv_velkor")],
                       check=True, capture_output=True, env={"PYTHONPATH": str(site), "PATH": "/usr/bin:/bin"})
    (site / "model.json").write_text(json.dumps(MODEL))
    for name in ("projector.bin", "asr.bin", "tokenizer.json"):
        (site / name).write_bytes(b"\0")
    return site


class Server:
    def __init__(self, site: Path, *args: str, delay_ms: int = 0, env: dict[str, str] | None = None,
                 fd_limit: int | None = None) -> None:
        limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (fd_limit, fd_limit))) if fd_limit else None
        self.stderr = site / f"stderr-{time.monotonic_ns()}.txt"
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "tessel_openai_server.kiv_velkor", "serve", "--port", "0", "--model",
             str(site / "model.json"), "--model-name", "ref", "--mmproj", str(site / "projector.bin"),
             "--asr-model", str(site / "asr.bin"), "--asr-tokenizer", str(site / "tokenizer.json"),
             "--no-access-log", *args],
            env={"PYTHONPATH": str(site), "PATH": "/usr/bin:/bin", "KIV_REFERENCE_DELAY_MS": str(delay_ms),
                 **(env or {})}, stderr=self.stderr.open("w"), stdout=subprocess.DEVNULL, preexec_fn=limit)
        deadline = time.monotonic() + 60
        while (match := re.search(r"http://[\d.]+:(\d+)/v1", self.stderr.read_text())) is None:
            assert self.proc.poll() is None and time.monotonic() < deadline, self.stderr.read_text()
            time.sleep(0.05)
        self.port = int(match[1])

    def rss(self) -> int:
        status = Path(f"/proc/{self.proc.pid}/status").read_text()
        return int(re.search(r"VmRSS:\s+(\d+)", status)[1]) * 1024   # type: ignore[index]

    def request(self, method: str, path: str, body: bytes = b"", headers: dict[str, str] | None = None,
                timeout: float = 60) -> tuple[int, bytes]:
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            conn.request(method, path, body, {"Content-Type": "application/json", **(headers or {})})
            response = conn.getresponse()
            return response.status, response.read()
        except OSError:
            return 0, b""
        finally:
            conn.close()

    def chat(self, text: str, **extra: Any) -> tuple[int, bytes]:
        return self.request("POST", "/v1/chat/completions",
                            json.dumps({"model": "ref", "messages": [{"role": "user", "content": text}], **extra}
                                       ).encode())

    def available(self) -> int:
        return int(json.loads(self.request("GET", "/health")[1])["available"])

    def stop(self) -> int:
        self.proc.send_signal(signal.SIGTERM)
        return self.proc.wait(60)


PROBE = """
import http.client, sys, time
port, out = int(sys.argv[1]), []
while not out or time.perf_counter() < float(open(sys.argv[2]).read() or "inf"):
    started = time.perf_counter()
    try:
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
        conn.request("GET", "/health")
        conn.getresponse().read()
        conn.close()
    except OSError:
        pass
    out.append(time.perf_counter() - started)
    time.sleep(0.01)
print(" ".join(f"{x:.6f}" for x in out))
"""


@contextmanager
def watching(server: Server) -> Iterator[dict[str, float]]:
    """/health probed every 10 ms from a process of its own and the resident memory sampled meanwhile:
    p99 and longest probe (ms), peak memory above the level before (MB)."""
    out: dict[str, float] = {}
    base, peak = server.rss(), 0
    stop = threading.Event()
    until = server.stderr.with_suffix(".until")
    until.write_text("")
    probe = subprocess.Popen([sys.executable, "-c", PROBE, str(server.port), str(until)], stdout=subprocess.PIPE,
                             text=True)

    def sample() -> None:
        nonlocal peak
        while not stop.is_set():
            peak = max(peak, server.rss())
            time.sleep(0.005)

    thread = threading.Thread(target=sample)
    thread.start()
    try:
        yield out
    finally:
        stop.set()
        thread.join()
        until.write_text(str(time.perf_counter()))
        latencies = sorted(float(x) for x in probe.communicate(timeout=300)[0].split())
        out["p99"] = latencies[int(len(latencies) * 0.99)] * 1000
        out["max"] = latencies[-1] * 1000
        out["memory"] = max(0, peak - base) / 1e6


def _raw_stream(port: int, text: str, rcvbuf: int | None = None) -> socket.socket:
    sock = socket.socket()
    if rcvbuf:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    sock.connect(("127.0.0.1", port))
    body = json.dumps({"model": "ref", "messages": [{"role": "user", "content": text}], "stream": True}).encode()
    sock.sendall(b"POST /v1/chat/completions HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
                 b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
    return sock


def _read(sock: socket.socket, until: float, rate: float | None = None) -> int:
    """Reads until the stream ends or ``until``; ``rate``: bytes per second at most."""
    got = 0
    sock.settimeout(0.2)
    while time.monotonic() < until:
        try:
            data = sock.recv(65536 if rate is None else int(rate / 100))
        except TimeoutError:
            continue
        if not data or data.endswith(b"0\r\n\r\n"):
            break
        got += len(data)
        if rate is not None:
            time.sleep(0.01)
    return got


def hang_up(sock: socket.socket) -> None:
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def fairness(site: Path) -> dict[str, float]:
    """/health while 8 streams run at 1 ms per piece; while one client reads a 4 MB reply slowly, and fast;
    the time a hang-up takes to free its context behind a backlog."""
    out: dict[str, float] = {}
    server = Server(site, "--contexts", "8", delay_ms=1)
    with watching(server) as busy:
        socks = [_raw_stream(server.port, "Tell me the story") for _ in range(8)]
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            list(pool.map(lambda s: _read(s, time.monotonic() + 5), socks))
    out["p99_8_streams"], out["max_8_streams"] = busy["p99"], busy["max"]
    server.stop()
    server = Server(site, "--contexts", "2")
    for name, rate in (("slow", 2e6), ("fast", None)):
        with watching(server) as reading:
            sock = _raw_stream(server.port, "Tell me everything")
            _read(sock, time.monotonic() + 5, rate)
            hang_up(sock)
        out[f"p99_{name}_reader"], out[f"max_{name}_reader"] = reading["p99"], reading["max"]
        while server.available() < 2:
            time.sleep(0.01)
    before = server.rss()
    sock = _raw_stream(server.port, "Tell me everything", rcvbuf=2048)   # reads nothing: a backlog builds up
    time.sleep(0.5)
    out["run_memory"] = (server.rss() - before) / 1e6
    with watching(server) as building:
        time.sleep(2.0)
    out["backlog_memory"] = building["memory"]
    with watching(server) as stalled:
        hang_up(sock)
        hung_up = time.perf_counter()
        while server.available() < 2:
            pass
        out["free_after_hangup"] = (time.perf_counter() - hung_up) * 1000
        time.sleep(0.5)
    out["max_after_hangup"] = stalled["max"]
    server.stop()
    return out


def _png(size: int) -> str:
    from PIL import Image
    buffer = io.BytesIO()
    Image.new("RGB", (size, size), (200, 30, 30)).save(buffer, format="PNG")
    return "data:image/png;base64," + base64.b64encode(buffer.getvalue()).decode()


def _wav(seconds: float) -> bytes:
    """Silence as a 16 kHz mono 16-bit PCM WAV file."""
    data = bytes(int(16000 * seconds) * 2)
    fmt = struct.pack("<4sIHHIIHH", b"fmt ", 16, 1, 1, 16000, 32000, 2, 16)
    return (b"RIFF" + struct.pack("<I", 4 + len(fmt) + 8 + len(data)) + b"WAVE" + fmt + b"data"
            + struct.pack("<I", len(data)) + data)


def _upload(server: Server, audio: bytes) -> int:
    boundary = "kivbench"
    body = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"model\"\r\n\r\nwhisper-1\r\n--{boundary}\r\n"
            f"Content-Disposition: form-data; name=\"file\"; filename=\"a.wav\"\r\n\r\n").encode() + audio + \
        f"\r\n--{boundary}--\r\n".encode()
    return server.request("POST", "/v1/audio/transcriptions", body,
                          {"Content-Type": f"multipart/form-data; boundary={boundary}"})[0]


def _attack(server: Server, name: str, act: Callable[[], str], results: list[tuple[str, str, float, float]]) -> None:
    with watching(server) as seen:
        started = time.perf_counter()
        answer = act()
        elapsed = time.perf_counter() - started
    results.append((name, f"{answer} in {elapsed:.2f} s", seen["memory"], seen["max"]))


def attacks(site: Path) -> list[tuple[str, str, float, float]]:
    """Each attack of the open network: (name, what the attacker got, peak memory MB, longest /health ms)."""
    results: list[tuple[str, str, float, float]] = []
    server = Server(site, "--contexts", "2", "--header-timeout", "2", "--body-timeout", "2")
    png = _png(6300)
    images = [{"role": "user", "content": [{"type": "image_url", "image_url": {"url": png}}] * 8}]
    _attack(server, "8 PNGs of 6300x6300 (one colour)", lambda: str(server.request(
        "POST", "/v1/chat/completions", json.dumps({"model": "ref", "messages": images}).encode())[0]), results)
    def huge_body() -> str:
        with socket.create_connection(("127.0.0.1", server.port)) as sock:
            sock.sendall(b"POST /v1/chat/completions HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json"
                         b"\r\nContent-Length: 200000002\r\n\r\n[" + b" " * 65536)
            return sock.recv(4096).split(b"\r\n")[0].decode()

    _attack(server, "a 200 MB chat body", huge_body, results)
    uploads = Server(site, env={"KIV_REFERENCE_ASR_DELAY_MS": "300"})
    audio = _wav(700)   # 22 MB
    with concurrent.futures.ThreadPoolExecutor(16) as pool:
        _attack(uploads, "16 parallel 22 MB uploads", lambda: "/".join(
            str(c) for c in sorted(pool.map(lambda _: _upload(uploads, audio), range(16)))), results)
    uploads.stop()
    _attack(server, "200,000 stop strings", lambda: str(server.chat(
        "Hello", stop=[f"s{i}" for i in range(200_000)])[0]), results)
    _attack(server, "100,000-deep JSON", lambda: str(server.request(
        "POST", "/v1/chat/completions", b"[" * 100_000 + b"]" * 100_000)[0]), results)

    def half_sent(count: int, head: bytes) -> str:
        socks = [socket.create_connection(("127.0.0.1", server.port)) for _ in range(count)]
        for s in socks:
            s.sendall(head)
        time.sleep(2.5)
        closed = 0
        for s in socks:
            s.settimeout(1)
            try:
                answer = s.recv(64)
                closed += answer == b"" or answer.startswith(b"HTTP/1.1 408")
            except OSError:
                closed += 1
            s.close()
        return f"{closed} of {count} closed by the server"

    _attack(server, "1,000 half-sent headers", lambda: half_sent(1000, b"GET /health HTTP/1.1\r\nHost: lo"), results)
    _attack(server, "300 half-sent bodies", lambda: half_sent(
        300, b"POST /v1/chat/completions HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
             b"Content-Length: 100\r\n\r\n{"), results)
    server.stop()
    results.append(descriptors(site))
    return results


def descriptors(site: Path) -> tuple[str, str, float, float]:
    """1,100 idle connections under a 1,024-descriptor limit, then an ordinary request."""
    server = Server(site, fd_limit=1024)
    with watching(server) as seen:
        idle = []
        for _ in range(1100):
            try:
                idle.append(socket.create_connection(("127.0.0.1", server.port), timeout=5))
            except OSError:
                break
        started = time.perf_counter()
        status = server.chat("Hello")[0]
        elapsed = time.perf_counter() - started
        for s in idle:
            s.close()
    server.stop()
    stderr = server.stderr.stat().st_size
    return ("1,100 idle connections, 1,024 descriptors",
            f"{len(idle)} opened; then a chat got {status} in {elapsed:.2f} s; stderr {stderr} bytes",
            seen["memory"], seen["max"])
