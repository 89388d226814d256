"""``python -m tessel_openai_server.kiv_velkor serve``: the OpenAI-compatible server.

Takes its :class:`ServeConfig` from the command line (:mod:`.cli`), binds its
port, and serves at once while the model (and the speech model, when given)
loads into a pool of contexts from the runtimes deployed next to the modules:
``/health`` answers from the start, ``/health/ready`` and the API say 503
until the models are loaded. Listens on a loopback port by default.

SIGINT or SIGTERM: the server stops accepting connections, the requests
waiting for a context get a 503, the streams in progress are cancelled and
end with an error event (``--on-shutdown finish`` lets them finish, for up to
``--shutdown-timeout`` seconds, then cancels them; a second signal cancels
them at once), every context is released, and the process exits 0.
"""

from __future__ import annotations

import argparse
import asyncio
import logging
import os
import resource
import signal
import socket
import sys
import threading
import time
from dataclasses import dataclass, fields
from pathlib import Path
from typing import Any

import uvicorn
from starlette.applications import Starlette

from .errors import ServingError
from .http_connections import guarded_protocol
from .http_guard import GuardSettings, access_logger
from .limits import RequestLimits
from .metrics import Metrics
from .pool import ModelPool
from .prompt_tokens import PromptCounter
from .server import ServerSettings, attach, create_app
from .speech import AudioSettings, SpeechRecogniser

__all__ = ["ServeConfig", "main", "KEYS_VARIABLE"]

_STATUS_HINT = "python -m tessel_openai_server.kiv_velkor status shows which runtimes are deployed"
KEYS_VARIABLE = "KIV_API_KEYS"
_FD_RESERVE = 64   # descriptors kept for everything but connections (models, uploads, logs)
_MIB = 1024 * 1024


@dataclass(frozen=True)
class ServeConfig:
    """Everything ``serve`` needs, checked."""

    model: Path
    host: str = "127.0.0.1"
    port: int = 8000
    model_name: str | None = None
    tokenizer: Path | None = None
    mmproj: Path | None = None
    contexts: int = 1
    wait_timeout: float = 10.0
    conversation_cache: str = "on"
    asr_backend: str = "whisper"
    asr_model: Path | None = None
    asr_tokenizer: Path | None = None
    asr_decoder: Path | None = None
    asr_model_name: str = "whisper-1"
    asr_sample_rate: int = 16000
    max_upload_mb: float = 25.0
    max_audio_seconds: float = 1800.0
    on_shutdown: str = "cancel"
    shutdown_timeout: float = 30.0
    log_level: str = "warning"
    # access and connections
    api_keys: tuple[str, ...] = ()
    allowed_hosts: tuple[str, ...] = ()
    cors_origins: tuple[str, ...] = ()
    access_log: bool = True
    max_connections: int = 512
    header_timeout: float = 10.0
    body_timeout: float = 60.0
    keep_alive_timeout: int = 5
    max_header_kb: int = 16
    backlog: int = 256
    # bounds on each request
    max_body_mb: float = 8.0
    max_messages: int = 2048
    max_images: int = 8
    max_image_pixels: int = 4096 * 4096
    max_stop: int = 4
    max_tools: int = 128
    max_tools_kb: float = 256.0
    max_speech_queue: int = 4

    def __post_init__(self) -> None:
        if self.contexts < 1:
            raise ValueError("--contexts must be at least 1")
        if self.asr_model is not None and self.asr_tokenizer is None:
            raise ValueError("--asr-model needs --asr-tokenizer")
        if not 8000 <= self.asr_sample_rate <= 192000:
            raise ValueError("--asr-sample-rate must be between 8000 and 192000")
        if not self.max_audio_seconds > 0:
            raise ValueError("--max-audio-seconds must be positive")
        for f in fields(self):
            value = getattr(self, f.name)
            least = 1 if f.name in ("max_connections", "max_speech_queue", "max_messages", "max_header_kb",
                                    "backlog") else 0
            if (f.name.startswith("max_") or f.name in ("backlog", "header_timeout", "body_timeout")) \
                    and isinstance(value, (int, float)) and not value >= least:
                raise ValueError(f"--{f.name.replace('_', '-')} must be at least {least}")

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> ServeConfig:
        names = cls.__dataclass_fields__
        given: dict[str, Any] = {name: tuple(value) if isinstance(value, list) else value
                                 for name, value in vars(args).items() if name in names}
        given["api_keys"] = _keys(getattr(args, "api_key", []), getattr(args, "api_key_file", None))
        return cls(**given)

    def settings(self, with_speech: bool) -> ServerSettings:
        limits = RequestLimits(self.max_messages, self.max_images, self.max_image_pixels, self.max_stop,
                               self.max_tools, int(self.max_tools_kb * 1024))
        guard = GuardSettings(self.api_keys, _allowed_hosts(self.host, self.allowed_hosts), self.cors_origins,
                              int(self.max_body_mb * _MIB), int(self.max_upload_mb * _MIB), self.body_timeout,
                              self.access_log)
        return ServerSettings(self.model_name or self.model.stem, self.asr_model_name if with_speech else None,
                              self.wait_timeout, int(self.max_upload_mb * _MIB), limits, guard)


def _keys(given: list[str], key_file: Path | None) -> tuple[str, ...]:
    """The API keys from the options, the key file and the environment."""
    keys = [k.strip() for k in given]
    if key_file is not None:
        try:
            lines = key_file.read_text(encoding="utf-8").splitlines()
        except (OSError, UnicodeDecodeError) as exc:
            raise ValueError(f"cannot read --api-key-file {key_file}: {exc}") from None
        keys += [line.strip() for line in lines if line.strip() and not line.lstrip().startswith("#")]
    keys += [k.strip() for k in os.environ.get(KEYS_VARIABLE, "").split(",")]
    return tuple(dict.fromkeys(k for k in keys if k))


def _allowed_hosts(bind_host: str, extra: tuple[str, ...]) -> tuple[str, ...]:
    """The names a Host header may carry: the bind address, this machine's names and ``extra``
    (IP addresses and localhost names always pass)."""
    name = socket.gethostname()
    names = {bind_host, name, f"{name}.local", socket.getfqdn(), *extra}
    return tuple(sorted(n.lower() for n in names if n))


class _Stopper:
    """What the signals do to the requests in progress (see the module's docstring)."""

    def __init__(self, config: ServeConfig) -> None:
        self.finish = config.on_shutdown == "finish"
        self.timeout = config.shutdown_timeout
        self.app: Starlette | None = None
        self.pool: ModelPool | None = None
        self.recogniser: SpeechRecogniser | None = None
        self.signals = 0

    def signal(self) -> None:
        # Off this thread: the signal may have come while it holds the pool's lock.
        self.signals += 1
        if self.app is not None:
            self.app.state.stopping = True
        if self.signals == 1:
            threading.Thread(target=self._stop_lending, daemon=True).start()
        if self.signals == 1 and self.finish:
            timer = threading.Timer(self.timeout, self._cancel)
            timer.daemon = True
            timer.start()
        elif self.signals <= 2:
            threading.Thread(target=self._cancel, daemon=True).start()

    def _stop_lending(self) -> None:
        if self.recogniser is not None:
            self.recogniser.refuse_queued()
        if self.pool is not None:
            self.pool.close(cancel=False, timeout=0)   # the waiting requests get a 503

    def _cancel(self) -> None:
        if self.pool is not None:
            self.pool.close(cancel=True, timeout=0)    # the streams end with an error event


class _Server(uvicorn.Server):
    """uvicorn's server; the first signal stops lending (and, in cancel mode, cancels), the second
    cancels, a third SIGINT quits at once (uvicorn's force exit)."""

    def __init__(self, config: uvicorn.Config, stopper: _Stopper) -> None:
        super().__init__(config)
        self.stopper = stopper
        self.load_failed = False

    def handle_exit(self, sig: int, frame: Any) -> None:
        self.stopper.signal()
        if self.stopper.signals != 2:
            super().handle_exit(sig, frame)


def bind(config: ServeConfig) -> socket.socket:
    """The listening socket, made before anything is loaded (a port in use fails at once)."""
    family = socket.AF_INET6 if ":" in config.host else socket.AF_INET
    return socket.create_server((config.host, config.port), family=family, reuse_port=False,
                                backlog=config.backlog)


def load(config: ServeConfig) -> tuple[ModelPool, SpeechRecogniser | None]:
    """The pool of contexts and the speech recogniser; nothing stays open when either fails."""
    init: dict[str, Any] = {"mmproj_path": str(config.mmproj)} if config.mmproj else {}
    pool = ModelPool(str(config.model), contexts=config.contexts, acquire_timeout=config.wait_timeout,
                     conversation_cache=config.conversation_cache == "on", **init)
    if config.asr_model is None:
        return pool, None
    try:
        return pool, SpeechRecogniser(config.asr_backend, str(config.asr_model), str(config.asr_tokenizer),
                                      str(config.asr_decoder) if config.asr_decoder else None,
                                      audio=AudioSettings(config.asr_sample_rate, config.max_audio_seconds),
                                      max_queue=config.max_speech_queue)
    except BaseException:
        pool.close()
        raise


class _AcceptErrorsOnce(logging.Filter):
    """asyncio logs every failed accept() (out of descriptors) with a traceback; this keeps one line a minute."""

    def __init__(self) -> None:
        super().__init__()
        self.last = -1e9
        self.suppressed = 0

    def filter(self, record: logging.LogRecord) -> bool:
        if not str(record.msg).startswith("socket.accept() out of system resource"):
            return True
        now = time.monotonic()
        if now - self.last < 60:
            self.suppressed += 1
            return False
        record.msg = ("cannot accept connections: out of descriptors or memory (" +
                      (f"{self.suppressed} more times in the last minute)" if self.last > 0 else "retrying every second)"))
        record.args, record.exc_info, record.exc_text = (), None, None
        self.last, self.suppressed = now, 0
        return True


def _configure_logging(config: ServeConfig) -> None:
    access_logger.setLevel(logging.INFO if config.access_log else logging.WARNING)
    access_logger.propagate = False
    if not access_logger.handlers:
        handler = logging.StreamHandler(sys.stdout)
        handler.setFormatter(logging.Formatter("%(asctime)s %(message)s"))
        access_logger.addHandler(handler)
    errors = logging.getLogger("kiv.error")
    if not errors.handlers:
        errors.addHandler(logging.StreamHandler(sys.stderr))
        errors.propagate = False
    logging.getLogger("asyncio").addFilter(_AcceptErrorsOnce())


def _connection_cap(config: ServeConfig) -> int:
    """``--max-connections``, lowered when the descriptor limit cannot hold it (raised first where allowed)."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    needed = config.max_connections + config.backlog + _FD_RESERVE
    if soft == resource.RLIM_INFINITY:
        return config.max_connections
    if soft < needed:
        raised = needed if hard == resource.RLIM_INFINITY else min(needed, hard)
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (raised, hard))
            soft = raised
        except (ValueError, OSError):
            pass
    # Kept free: the descriptors of a burst of connections accepted before any is closed, and the rest.
    burst = min(config.backlog, soft // 4)
    cap = max(1, min(config.max_connections, soft - burst - _FD_RESERVE))
    if cap < config.max_connections:
        print(f"warning: {soft} descriptors allow {cap} connections, not --max-connections "
              f"{config.max_connections}", file=sys.stderr, flush=True)
    return cap


def _uvicorn_config(config: ServeConfig, app: Starlette) -> uvicorn.Config:
    meter: Metrics = app.state.metrics
    grace = config.shutdown_timeout + 5.0 if config.on_shutdown == "finish" else 5.0
    protocol = guarded_protocol(config.header_timeout, _connection_cap(config),
                                lambda reason: meter.rejected.labels(reason).inc())
    return uvicorn.Config(app, log_level=config.log_level, lifespan="on", http=protocol, access_log=False,
                          server_header=False, timeout_keep_alive=config.keep_alive_timeout,
                          h11_max_incomplete_event_size=config.max_header_kb * 1024, backlog=config.backlog,
                          timeout_graceful_shutdown=grace)   # type: ignore[arg-type]  # a float works


async def _load_and_attach(config: ServeConfig, app: Starlette, settings: ServerSettings, server: _Server,
                           address: str, counter: PromptCounter | None) -> None:
    """Loads the models on a thread while the server answers, then serves them."""
    stopper = server.stopper
    try:
        pool, recogniser = await asyncio.to_thread(load, config)
    except (ServingError, RuntimeError) as exc:
        print(f"error: {exc}" + ("" if isinstance(exc, ServingError) else f" ({_STATUS_HINT})"), file=sys.stderr,
              flush=True)
        server.load_failed = server.should_exit = True
        return
    stopper.pool, stopper.recogniser = pool, recogniser
    if stopper.signals:
        return   # stopping already: the shutdown releases them
    attach(app, pool, settings, recogniser, counter)
    print(f"Serving {settings.model_name} on {address}/v1 ({config.contexts} context"
          f"{'s' if config.contexts != 1 else ''}"
          f"{', speech: ' + str(settings.asr_model_name) if stopper.recogniser else ''}); Ctrl+C stops",
          file=sys.stderr, flush=True)
    note = _counting_note(config, counter)
    if note:
        print(note, file=sys.stderr, flush=True)


def _counting_note(config: ServeConfig, counter: PromptCounter | None) -> str | None:
    """What the server says once at start when it cannot count every prompt."""
    if counter is None:
        return "No --tokenizer given: usage.prompt_tokens will be 0 (the runtimes do not count the prompt)"
    if not counter.has_chat_template:
        return (f"{config.tokenizer.with_name('tokenizer_config.json') if config.tokenizer else ''} holds no "
                "chat_template: chat requests count 0 prompt tokens (plain prompts are counted)")
    return None


def run(config: ServeConfig, sock: socket.socket, counter: PromptCounter | None = None) -> int:
    """Serves until a signal stops the server; the exit status (1 when the models could not be loaded)."""
    settings = config.settings(config.asr_model is not None)
    host, port = sock.getsockname()[:2]
    address = f"http://{f'[{host}]' if ':' in host else host}:{port}"
    tasks: list[asyncio.Task[None]] = []

    async def startup(app: Starlette) -> None:
        tasks.append(asyncio.create_task(_load_and_attach(config, app, settings, server, address, counter)))

    async def shutdown() -> None:
        if tasks:
            await tasks[0]   # a load in progress cannot be broken off: it ends first
        stop_ = server.stopper
        if stop_.pool is not None:
            await stop_.pool.aclose(cancel=True)
        if stop_.recogniser is not None:
            await asyncio.to_thread(stop_.recogniser.close)   # waits for a transcription in progress

    app = create_app(None, settings, on_startup=startup, on_shutdown=shutdown)
    stopper = _Stopper(config)
    stopper.app = app
    _configure_logging(config)
    server = _Server(_uvicorn_config(config, app), stopper)
    # A signal before uvicorn has put its own handlers in place asks it to
    # stop as soon as it has started; uvicorn raises the signal again once it
    # has shut down, and then it lands here too, so a clean shutdown exits 0.
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, server.handle_exit)
    try:
        server.run(sockets=[sock])
    finally:
        stop(stopper.pool, stopper.recogniser)
    return 1 if server.load_failed else 0


def stop(pool: ModelPool | None, recogniser: SpeechRecogniser | None) -> None:
    if pool is not None:
        pool.close(cancel=True)
    if recogniser is not None:
        recogniser.close()


def main(config: ServeConfig) -> int:
    try:
        sock = bind(config)
    except OSError as exc:
        reason = os.strerror(exc.errno) if exc.errno else str(exc)
        print(f"error: cannot listen on {config.host}:{config.port}: {reason}", file=sys.stderr)
        return 1
    try:
        counter = PromptCounter(config.tokenizer) if config.tokenizer else None
    except Exception as exc:   # the tokenizers library's errors are plain exceptions
        print(f"error: cannot read the tokenizer {config.tokenizer}: {exc}", file=sys.stderr)
        sock.close()
        return 1
    with sock:
        status = run(config, sock, counter)
    if status == 0:
        print("Stopped: every context released.", file=sys.stderr, flush=True)
    return status
