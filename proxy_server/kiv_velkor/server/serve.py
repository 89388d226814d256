"""``python -m tessel_openai_server.kiv_velkor serve``: the OpenAI-compatible server.

Takes its :class:`ServeConfig` (:mod:`.config`, from the command line), reads
the models it names (:mod:`.catalogue`), binds its port, and serves at once
while the models it starts with load from the runtimes deployed next to the
modules: ``/health`` answers from the start, ``/health/ready`` and the API
say 503 until they are loaded. Listens on a loopback port by default.

One model (a bare ``--model PATH``, and the speech model): both are loaded at
start and kept, and a failure to load ends the server (exit status 1).
Several models: each is loaded when a request first names it (or at start
with ``--preload``), in this process, one pool of contexts (or recogniser)
per model, kept by a :class:`ModelRegistry` that bounds how many are loaded
(``--models-max``: the least recently used idle one makes room) and for how
long an idle one stays (``--keep-alive``); a model that fails to load
answers its requests with the reason, and the others serve on.

SIGINT or SIGTERM: the server stops accepting connections, the requests
waiting for a context get a 503, the streams in progress are cancelled and
end with an error event (``--on-shutdown finish`` lets them finish, for up to
``--shutdown-timeout`` seconds, then cancels them; a second signal cancels
them at once), every context is released, and the process exits 0.
"""

from __future__ import annotations

import asyncio
import logging
import math
import os
import resource
import signal
import socket
import sys
import threading
import time
from typing import Any, cast

import uvicorn
from starlette.applications import Starlette

from ..streaming.errors import ServingError
from ..streaming.models import ModelRegistry, ModelState, map_large_blocks
from ..streaming.pool import ModelPool
from ..streaming.request.prompt_tokens import PromptCounter
from ..streaming.speech.recogniser import SpeechRecogniser
from .app import ServerSettings, attach, create_app
from .catalogue import ModelDefinition, catalogue
from .config import ServeConfig
from .http.connections import guarded_protocol
from .http.guard import access_logger
from .metrics import Metrics

__all__ = ["ServeConfig", "main"]

_FD_RESERVE = 64   # descriptors kept for everything but connections (models, uploads, logs)


class _Stopper:
    """What the signals do to the requests in progress (see the module's docstring)."""

    def __init__(self, config: ServeConfig, models: ModelRegistry) -> None:
        self.finish = config.on_shutdown == "finish"
        self.timeout = config.shutdown_timeout
        self.app: Starlette | None = None
        self.models = models
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
        self.models.stop()   # the requests waiting for a model to load get a 503
        for recogniser in self.models.loaded("speech"):
            cast(SpeechRecogniser, recogniser).refuse_queued()
        for pool in self.models.loaded("chat"):
            cast(ModelPool, pool).close(cancel=False, timeout=0)   # the waiting requests get a 503

    def _cancel(self) -> None:
        for pool in self.models.loaded("chat"):
            cast(ModelPool, pool).close(cancel=True, timeout=0)    # the streams end with an error event


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


def registry(config: ServeConfig, models: list[ModelDefinition]) -> ModelRegistry:
    """The models, none loaded yet."""
    return ModelRegistry([m.source(config) for m in models], max_loaded=config.models_max or None,
                         keep_alive=config.keep_alive, load_timeout=config.load_timeout)


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
                           address: str, counters: dict[str, PromptCounter]) -> None:
    """Loads the models the server starts with, on the registry's threads while the server answers, then
    serves them (and loads the others when they are asked for)."""
    models = server.stopper.models
    starting = models.names() if config.single_model else list(dict.fromkeys(config.preload))
    for name in starting:
        try:
            await models.aload(name, math.inf)
        except ServingError as exc:
            if server.stopper.signals:
                return   # stopping already: the shutdown releases what was loaded
            if config.single_model:
                print(f"error: {models.status(name).error or exc.message}", file=sys.stderr, flush=True)
                server.load_failed = server.should_exit = True
                return
            print(f"warning: {exc.message}; the other models serve on", file=sys.stderr, flush=True)
    if server.stopper.signals:
        return
    attach(app, models, settings, counters=counters)
    print(_serving_line(config, models, address), file=sys.stderr, flush=True)
    note = _counting_note(config, models, counters)
    if note:
        print(note, file=sys.stderr, flush=True)


def _serving_line(config: ServeConfig, models: ModelRegistry, address: str) -> str:
    if config.single_model:
        speech = models.names("speech")
        return (f"Serving {models.names('chat')[0]} on {address}/v1 ({config.contexts} context"
                f"{'s' if config.contexts != 1 else ''}{', speech: ' + speech[0] if speech else ''}); Ctrl+C stops")
    loaded = [s.name for s in models.statuses() if s.state is ModelState.LOADED]
    bound = f"at most {config.models_max} loaded at once" if config.models_max else "no bound on how many are loaded"
    return (f"Serving {','.join(models.names())} on {address}/v1 ({len(models.names())} models, {bound}; loaded: "
            f"{', '.join(loaded) or 'none yet'}); Ctrl+C stops")


def _counting_note(config: ServeConfig, models: ModelRegistry, counters: dict[str, PromptCounter]) -> str | None:
    """What the server says once at start when it cannot count every prompt."""
    if config.single_model:
        counter = counters.get(models.names("chat")[0])
        if counter is None:
            return "No --tokenizer given: usage.prompt_tokens will be 0 (the runtimes do not count the prompt)"
        if not counter.has_chat_template:
            return (f"{config.tokenizer.with_name('tokenizer_config.json') if config.tokenizer else ''} holds no "
                    "chat_template: chat requests count 0 prompt tokens (plain prompts are counted)")
        return None
    uncounted = [name for name in models.names("chat") if name not in counters]
    if uncounted:
        return (f"No tokenizer for {', '.join(uncounted)} (tokenizer = ... in the models config): their "
                "usage.prompt_tokens will be 0")
    return None


def run(config: ServeConfig, sock: socket.socket, models: list[ModelDefinition],
        counters: dict[str, PromptCounter] | None = None) -> int:
    """Serves until a signal stops the server; the exit status (1 when the models it starts with could not be
    loaded)."""
    settings = config.settings(config.asr_model is not None)
    host, port = sock.getsockname()[:2]
    address = f"http://{f'[{host}]' if ':' in host else host}:{port}"
    tasks: list[asyncio.Task[None]] = []

    async def startup(app: Starlette) -> None:
        tasks.append(asyncio.create_task(_load_and_attach(config, app, settings, server, address, counters or {})))

    async def shutdown() -> None:
        if tasks:
            await tasks[0]   # a load in progress cannot be broken off: it ends first
        await server.stopper.models.aclose()   # runs cancelled; a transcription in progress ends first

    if not config.single_model:
        map_large_blocks()   # what an unloaded model held goes back to the system in full
    app = create_app(None, settings, on_startup=startup, on_shutdown=shutdown)
    stopper = _Stopper(config, registry(config, models))
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
        stopper.models.close()
    return 1 if server.load_failed else 0


def main(config: ServeConfig) -> int:
    try:
        models = catalogue(config)
    except ValueError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    try:
        sock = bind(config)
    except OSError as exc:
        reason = os.strerror(exc.errno) if exc.errno else str(exc)
        print(f"error: cannot listen on {config.host}:{config.port}: {reason}", file=sys.stderr)
        return 1
    counters: dict[str, PromptCounter] = {}
    for model in models:
        if model.kind != "chat" or model.tokenizer is None:
            continue
        try:
            counters[model.name] = PromptCounter(model.tokenizer)
        except Exception as exc:   # the tokenizers library's errors are plain exceptions
            print(f"error: cannot read the tokenizer {model.tokenizer}: {exc}", file=sys.stderr)
            sock.close()
            return 1
    with sock:
        status = run(config, sock, models, counters)
    if status == 0:
        print("Stopped: every context released.", file=sys.stderr, flush=True)
    return status
