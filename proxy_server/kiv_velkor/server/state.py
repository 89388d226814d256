"""What every route of the server uses: the application's state, errors (in
the shape of the API the path belongs to), and reading a request body."""

from __future__ import annotations

import asyncio
import json
from collections.abc import Callable, Mapping
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any, TypeVar, cast

from starlette.requests import Request
from starlette.responses import Response

from ..streaming.errors import ServingError
from ..streaming.request.limits import RequestLimits
from ..streaming.models import DEFAULT_KEEP_ALIVE, ModelKind, ModelRegistry, Servable
from ..streaming.pool import ModelPool
from ..streaming.request.prompt_tokens import PromptCounter
from ..streaming.speech.recogniser import SpeechRecogniser
from .http.errors import error_reply
from .http.guard import AT_END, GuardSettings
from .metrics import Metrics
from .openai.shapes import error_body

__all__ = ["ServerSettings", "Serving", "serving", "metrics", "ApiError", "read_json_object", "field_of",
           "RETRY_AFTER", "model_pool", "speech_model"]

T = TypeVar("T")
RETRY_AFTER = 1                  # seconds a client is asked to wait before it tries a 503 again
_PARSE_INLINE = 256 * 1024       # larger JSON bodies are parsed off the event loop


@dataclass
class ServerSettings:
    model_name: str
    asr_model_name: str | None = None
    wait_timeout: float = 300.0             # the bounded wait for a context (then 503)
    max_upload_bytes: int = 25 * 1024 * 1024
    limits: RequestLimits = field(default_factory=RequestLimits)
    guard: GuardSettings = field(default_factory=GuardSettings)
    load_timeout: float = 60.0              # the bounded wait for a model to load (then 503)
    ping_interval: float = 5.0              # seconds between pings while a Messages stream waits for its first token
    send_timeout: float | None = 30.0       # how long a stream waits for its client to take data


@dataclass
class Serving:
    """What the routes serve, kept on ``app.state.serving``: the models (each loaded when first asked
    for), and the tokenizers that count their prompts, by model name."""

    models: ModelRegistry
    settings: ServerSettings
    created: int = field(default=0)         # the models' creation time, fixed at start
    counters: Mapping[str, PromptCounter] = field(default_factory=dict)
    # Requests with images are prepared (decoded) here, a few at a time, off the event loop.
    preparing: ThreadPoolExecutor = field(
        default_factory=lambda: ThreadPoolExecutor(max_workers=2, thread_name_prefix="kiv-prepare"))

    async def off_loop(self, work: Callable[[], T]) -> T:
        return await asyncio.get_running_loop().run_in_executor(self.preparing, work)

    def model_ids(self) -> list[str]:
        return self.models.names()

    def counter(self, model: str) -> PromptCounter | None:
        return self.counters.get(model)


def serving(request: Request) -> Serving:
    """What the routes serve; a 503 while the server still loads its models."""
    state = getattr(request.app.state, "serving", None)
    if state is None:
        raise ApiError(503, "the server is loading its model; try again shortly", "server_error", "loading")
    return cast(Serving, state)


async def model_pool(request: Request, model: str, keep_alive: float | None = DEFAULT_KEEP_ALIVE) -> ModelPool:
    """The pool of the language model ``model``, loaded: the request waits (bounded) while it loads, and
    the model stays loaded until the request has been answered. ``keep_alive``: how long the model stays
    loaded once idle after this request (None: while there is room; default: the server's)."""
    return cast(ModelPool, await _held(request, model, "chat", keep_alive))


async def speech_model(request: Request, model: str) -> SpeechRecogniser:
    """The recogniser of the speech model ``model``, loaded and held as :func:`model_pool` holds a pool."""
    return cast(SpeechRecogniser, await _held(request, model, "speech", DEFAULT_KEEP_ALIVE))


async def _held(request: Request, model: str, kind: ModelKind, keep_alive: float | None) -> Servable:
    models = serving(request).models
    if models.kind(model) != kind:
        raise ApiError(404, f"The model '{model}' is a {models.kind(model)} model: this endpoint needs a "
                       f"{kind} model ({', '.join(repr(n) for n in models.names(kind)) or 'none here'})",
                       code="model_not_found", param="model")
    hold = await models.ahold(model, serving(request).settings.load_timeout, keep_alive=keep_alive)
    # Given back once the response has gone out: until then the model is neither evicted nor idle.
    request.scope.setdefault("state", {}).setdefault(AT_END, []).append(hold.release)
    return hold.model


def metrics(request: Request) -> Metrics:
    return cast(Metrics, request.app.state.metrics)


class ApiError(Exception):
    """An error answered in the shape of the API its path belongs to (OpenAI's unless told)."""

    def __init__(self, status: int, message: str, error_type: str = "invalid_request_error",
                 code: str | None = None, param: str | None = None) -> None:
        super().__init__(message)
        self.status, self.message, self.error_type, self.code, self.param = status, message, error_type, code, param

    @classmethod
    def of(cls, exc: ServingError) -> ApiError:
        return cls(exc.http_status, exc.message, exc.error_type, exc.code, exc.param)

    def body(self) -> dict[str, Any]:
        """The error in OpenAI's shape."""
        return error_body(self.message, self.error_type, self.param, self.code)

    def response(self, path: str = "") -> Response:
        """The answer on ``path``; a 503 (529 in Anthropic's terms) asks the client to try again shortly."""
        status, body = error_reply(path, self.status, self.message, self.error_type, self.code, self.param)
        headers = {"Retry-After": str(RETRY_AFTER)} if self.status == 503 else None
        # ASCII-only JSON: a message that quotes the request (a lone surrogate too) always encodes.
        return Response(json.dumps(body), status, headers, "application/json")


async def read_json_object(request: Request) -> dict[str, Any]:
    raw = await request.body()
    try:
        body = json.loads(raw) if len(raw) <= _PARSE_INLINE else await asyncio.to_thread(json.loads, raw)
    except (json.JSONDecodeError, UnicodeDecodeError):
        raise ApiError(400, "the request body is not valid JSON") from None
    except RecursionError:
        raise ApiError(400, "the request body nests JSON too deeply") from None
    if not isinstance(body, dict):
        raise ApiError(400, "the request body must be a JSON object")
    return body


def field_of(body: Mapping[str, Any], name: str, kind: type | tuple[type, ...], default: Any = None) -> Any:
    """``body[name]`` when it has the type ``kind`` (a bool is no int), ``default`` when absent or null."""
    value = body.get(name, default)
    if value is None:
        return default
    if isinstance(value, bool) and bool not in (kind if isinstance(kind, tuple) else (kind,)):
        raise ApiError(400, f"{name} has the wrong type", param=name)
    if not isinstance(value, kind):
        raise ApiError(400, f"{name} has the wrong type", param=name)
    return value
