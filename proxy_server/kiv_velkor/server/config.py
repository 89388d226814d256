"""What ``serve`` is told: :class:`ServeConfig`, made from the command line
(:mod:`tessel_openai_server.kiv_velkor.cli`) and checked, and the server settings it gives."""

from __future__ import annotations

import argparse
import os
import socket
from dataclasses import dataclass, fields
from pathlib import Path
from typing import Any

from ..streaming.errors import InvalidRequest
from ..streaming.request.limits import RequestLimits
from ..streaming.request.sampling import SamplingDefaults
from .http.guard import GuardSettings
from .openai.fields import keep_alive_of
from .state import ServerSettings

__all__ = ["ServeConfig", "KEYS_VARIABLE"]

KEYS_VARIABLE = "KIV_API_KEYS"
_MIB = 1024 * 1024


@dataclass(frozen=True)
class ServeConfig:
    """Everything ``serve`` needs, checked."""

    model: Path | None = None            # the model of a bare --model PATH (named by --model-name)
    host: str = "127.0.0.1"
    port: int = 8000
    model_name: str | None = None
    tokenizer: Path | None = None
    mmproj: Path | None = None
    contexts: int = 2
    ctx_size: int = 8192
    threads: int | None = None           # None: the machine's cores
    wait_timeout: float = 300.0
    max_queue: int = 64
    conversation_hold: float = 30.0
    send_timeout: float = 30.0
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
    max_tokens: int = 4096
    # sampling, for the requests that do not say
    temperature: float = 0.8
    top_k: int = 40
    top_p: float = 0.95
    min_p: float = 0.05
    repeat_penalty: float = 1.1
    repeat_last_n: int = 64
    default_max_tokens: int = 2048
    # several models
    named_models: tuple[tuple[str, Path], ...] = ()   # --model NAME=PATH
    models_dir: Path | None = None
    models_config: Path | None = None
    models_max: int = 4
    keep_alive: float | None = None      # seconds an idle model stays loaded; None: as long as there is room
    load_timeout: float = 60.0
    preload: tuple[str, ...] = ()

    def __post_init__(self) -> None:
        if self.model is None and not self.named_models and self.models_dir is None and self.models_config is None:
            raise ValueError("give a model: --model PATH, --model NAME=PATH, --models-dir DIR or --models-config FILE")
        if self.model is None:
            for flag, value in (("--model-name", self.model_name), ("--tokenizer", self.tokenizer),
                                ("--mmproj", self.mmproj)):
                if value is not None:
                    raise ValueError(f"{flag} belongs to a bare --model PATH; give the options of named models in "
                                     "the --models-config file")
        if self.models_max < 0:
            raise ValueError("--models-max must be at least 0 (0: no bound)")
        if not self.load_timeout > 0:
            raise ValueError("--load-timeout must be positive")
        if self.contexts < 1:
            raise ValueError("--contexts must be at least 1")
        if self.conversation_hold < 0:
            raise ValueError("--conversation-hold must be at least 0")
        if self.ctx_size < 0:
            raise ValueError("--ctx-size must be at least 0")
        if self.threads is not None and not 1 <= self.threads <= 512:
            raise ValueError("--threads must be between 1 and 512")
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
            if (f.name.startswith("max_") or f.name in ("backlog", "header_timeout", "body_timeout", "send_timeout")) \
                    and isinstance(value, (int, float)) and not value >= least:
                raise ValueError(f"--{f.name.replace('_', '-')} must be at least {least}")
        try:
            self.sampling()
        except InvalidRequest as exc:
            option = {"max_tokens": "default_max_tokens", "max_tokens_limit": "max_tokens"}.get(exc.param or "",
                                                                                               exc.param or "")
            raise ValueError(f"--{option.replace('_', '-')}: {exc.message}") from None

    @property
    def compute_threads(self) -> int:
        """The LLM runtime's compute threads: --threads, else the cores this process may run on."""
        if self.threads is not None:
            return self.threads
        try:
            return len(os.sched_getaffinity(0)) or 1
        except AttributeError:   # no affinity on this platform
            return os.cpu_count() or 1

    def sampling(self) -> SamplingDefaults:
        """What the pool's requests sample with when they do not say, and their bounds on tokens."""
        return SamplingDefaults(self.temperature, self.top_k, self.top_p, self.min_p, self.repeat_penalty,
                                self.repeat_last_n, self.default_max_tokens, self.max_tokens)

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> ServeConfig:
        names = cls.__dataclass_fields__
        given: dict[str, Any] = {name: tuple(value) if isinstance(value, list) else value
                                 for name, value in vars(args).items() if name in names}
        given["api_keys"] = _keys(getattr(args, "api_key", []), getattr(args, "api_key_file", None))
        given["model"], given["named_models"] = _models(getattr(args, "model", None) or [])
        if isinstance(getattr(args, "keep_alive", None), str):
            given["keep_alive"] = keep_alive_of(args.keep_alive, "--keep-alive")
        return cls(**given)

    @property
    def single_model(self) -> bool:
        """Served as one model (a bare --model PATH, and the speech model): loaded at start, a failure ends
        the server."""
        return self.model is not None and not self.named_models and self.models_dir is None \
            and self.models_config is None

    def settings(self, with_speech: bool) -> ServerSettings:
        limits = RequestLimits(self.max_messages, self.max_images, self.max_image_pixels, self.max_stop,
                               self.max_tools, int(self.max_tools_kb * 1024))
        guard = GuardSettings(self.api_keys, _allowed_hosts(self.host, self.allowed_hosts), self.cors_origins,
                              int(self.max_body_mb * _MIB), int(self.max_upload_mb * _MIB), self.body_timeout,
                              self.access_log)
        model_name = self.model_name or (self.model.stem if self.model is not None else "")
        return ServerSettings(model_name, self.asr_model_name if with_speech else None,
                              self.wait_timeout, int(self.max_upload_mb * _MIB), limits, guard, self.load_timeout,
                              send_timeout=self.send_timeout or None)


def _models(given: list[str]) -> tuple[Path | None, tuple[tuple[str, Path], ...]]:
    """The bare ``--model PATH`` (at most one) and the ``--model NAME=PATH`` models. A value is NAME=PATH when
    the part before its first ``=`` is a name (no ``/``); a path may hold ``=`` after a ``/``."""
    bare: list[Path] = []
    named: list[tuple[str, Path]] = []
    for value in given:
        name, equals, path = value.partition("=")
        if equals and name and "/" not in name:
            if not path:
                raise ValueError(f"--model {value}: no path after the name")
            named.append((name, Path(path)))
        else:
            bare.append(Path(value))
    if len(bare) > 1 or (bare and named):
        raise ValueError("several models need names: --model NAME=PATH for each")
    return (bare[0] if bare else None), tuple(named)


def _keys(given: list[str], key_file: Path | None) -> tuple[str, ...]:
    """The API keys from the options, the key file and the environment.

    An empty ``--api-key`` (an unset shell variable) or a key file without a
    key is refused: the server would otherwise start open to anyone."""
    keys = [k.strip() for k in given]
    if not all(keys):
        raise ValueError("--api-key is empty (an unset variable?); refusing to start a server without a key")
    if key_file is not None:
        try:
            lines = key_file.read_text(encoding="utf-8").splitlines()
        except (OSError, UnicodeDecodeError) as exc:
            raise ValueError(f"cannot read --api-key-file {key_file}: {exc}") from None
        from_file = [line.strip() for line in lines if line.strip() and not line.lstrip().startswith("#")]
        if not from_file:
            raise ValueError(f"--api-key-file {key_file} holds no key; refusing to start a server without a key")
        keys += from_file
    keys += [k.strip() for k in os.environ.get(KEYS_VARIABLE, "").split(",")]
    return tuple(dict.fromkeys(k for k in keys if k))


def _allowed_hosts(bind_host: str, extra: tuple[str, ...]) -> tuple[str, ...]:
    """The names a Host header may carry: the bind address, this machine's names and ``extra``
    (IP addresses and localhost names always pass)."""
    name = socket.gethostname()
    names = {bind_host, name, f"{name}.local", socket.getfqdn(), *extra}
    return tuple(sorted(n.lower() for n in names if n))
