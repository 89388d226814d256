"""``python -m tessel_openai_server.kiv_velkor serve``: the OpenAI-compatible server.

Takes its :class:`ServeConfig` from the command line (:mod:`.cli`), binds its
port, loads the model into a pool of contexts (and the speech model, when
given) from the runtimes deployed next to the modules, then serves on a
loopback port by default. SIGINT or SIGTERM: the server stops accepting
connections, cancels the streams in progress (``--on-shutdown finish`` lets
them finish, for up to ``--shutdown-timeout`` seconds), releases every
context and exits 0.
"""

from __future__ import annotations

import argparse
import asyncio
import signal
import socket
import sys
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import uvicorn

from .errors import ServingError
from .pool import ModelPool
from .prompt_tokens import PromptCounter
from .server import ServerSettings, create_app
from .speech import AudioSettings, SpeechRecogniser

__all__ = ["ServeConfig", "main"]

_STATUS_HINT = "python -m tessel_openai_server.kiv_velkor status shows which runtimes are deployed"


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

    def __post_init__(self) -> None:
        if self.contexts < 1:
            raise ValueError("--contexts must be at least 1")
        if self.asr_model is not None and self.asr_tokenizer is None:
            raise ValueError("--asr-model needs --asr-tokenizer")
        if not 8000 <= self.asr_sample_rate <= 192000:
            raise ValueError("--asr-sample-rate must be between 8000 and 192000")
        if not self.max_audio_seconds > 0:
            raise ValueError("--max-audio-seconds must be positive")

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> ServeConfig:
        names = cls.__dataclass_fields__
        return cls(**{name: value for name, value in vars(args).items() if name in names})

    def settings(self, with_speech: bool) -> ServerSettings:
        return ServerSettings(self.model_name or self.model.stem, self.asr_model_name if with_speech else None,
                              self.wait_timeout, int(self.max_upload_mb * 1024 * 1024))


class _Server(uvicorn.Server):
    """uvicorn's server; with ``--on-shutdown cancel`` the first signal also cancels the streams."""

    def __init__(self, config: uvicorn.Config, pool: ModelPool, cancel_on_exit: bool) -> None:
        super().__init__(config)
        self._pool = pool
        self._cancel_on_exit = cancel_on_exit

    def handle_exit(self, sig: int, frame: Any) -> None:
        if not self.should_exit and self._cancel_on_exit:
            # Not on this thread: the signal may have come while it holds the pool's lock.
            threading.Thread(target=self._pool.close, kwargs={"cancel": True, "timeout": 0}, daemon=True).start()
        super().handle_exit(sig, frame)


def bind(config: ServeConfig) -> socket.socket:
    """The listening socket, made before anything is loaded (a port in use fails at once)."""
    family = socket.AF_INET6 if ":" in config.host else socket.AF_INET
    return socket.create_server((config.host, config.port), family=family, reuse_port=False)


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
                                      audio=AudioSettings(config.asr_sample_rate, config.max_audio_seconds))
    except BaseException:
        pool.close()
        raise


def _counting_note(config: ServeConfig, counter: PromptCounter | None) -> str | None:
    """What the server says once at start when it cannot count every prompt."""
    if counter is None:
        return "No --tokenizer given: usage.prompt_tokens will be 0 (the runtimes do not count the prompt)"
    if not counter.has_chat_template:
        return (f"{config.tokenizer.with_name('tokenizer_config.json') if config.tokenizer else ''} holds no "
                "chat_template: chat requests count 0 prompt tokens (plain prompts are counted)")
    return None


def run(config: ServeConfig, sock: socket.socket, pool: ModelPool, recogniser: SpeechRecogniser | None,
        counter: PromptCounter | None = None) -> None:
    """Serves until a signal stops the server."""
    async def shutdown() -> None:
        await pool.aclose(cancel=True)
        if recogniser is not None:
            await asyncio.to_thread(recogniser.close)   # waits for a transcription in progress

    settings = config.settings(recogniser is not None)
    app = create_app(pool, settings, recogniser, shutdown, counter)
    finish = config.on_shutdown == "finish"
    grace = config.shutdown_timeout if finish else 5.0
    server = _Server(uvicorn.Config(app, log_level=config.log_level, lifespan="on",
                                    timeout_graceful_shutdown=grace),   # type: ignore[arg-type]  # a float works
                     pool, cancel_on_exit=not finish)
    # A signal before uvicorn has put its own handlers in place asks it to
    # stop as soon as it has started; uvicorn raises the signal again once it
    # has shut down, and then it lands here too, so a clean shutdown exits 0.
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, server.handle_exit)
    host, port = sock.getsockname()[:2]
    shown = f"[{host}]" if ":" in host else host
    print(f"Serving {settings.model_name} on http://{shown}:{port}/v1 ({config.contexts} context"
          f"{'s' if config.contexts != 1 else ''}{', speech: ' + str(settings.asr_model_name) if recogniser else ''}); "
          "Ctrl+C stops", file=sys.stderr, flush=True)
    note = _counting_note(config, counter)
    if note:
        print(note, file=sys.stderr, flush=True)
    server.run(sockets=[sock])


def stop(pool: ModelPool, recogniser: SpeechRecogniser | None) -> None:
    pool.close(cancel=True)
    if recogniser is not None:
        recogniser.close()


def main(config: ServeConfig) -> int:
    try:
        sock = bind(config)
    except OSError as exc:
        print(f"error: cannot listen on {config.host}:{config.port}: {exc.strerror or exc}", file=sys.stderr)
        return 1
    with sock:
        try:
            counter = PromptCounter(config.tokenizer) if config.tokenizer else None
        except Exception as exc:   # the tokenizers library's errors are plain exceptions
            print(f"error: cannot read the tokenizer {config.tokenizer}: {exc}", file=sys.stderr)
            return 1
        try:
            pool, recogniser = load(config)
        except (ServingError, RuntimeError) as exc:
            print(f"error: {exc}" + ("" if isinstance(exc, ServingError) else f" ({_STATUS_HINT})"), file=sys.stderr)
            return 1
        try:
            run(config, sock, pool, recogniser, counter)
        finally:
            stop(pool, recogniser)
    print("Stopped: every context released.", file=sys.stderr, flush=True)
    return 0
