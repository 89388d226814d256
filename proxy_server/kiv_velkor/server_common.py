"""What every route of the server uses: the application's state, errors in
OpenAI's shape, and reading a request body."""

from __future__ import annotations

import asyncio
import json
from collections.abc import Callable, Mapping
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any, TypeVar, cast

from starlette.requests import Request
from starlette.responses import Response

from .errors import ServingError
from .http_guard import GuardSettings
from .limits import RequestLimits
from .metrics import Metrics
from .openai_shapes import error_body
from .pool import ModelPool
from .prompt_tokens import PromptCounter
from .speech import SpeechRecogniser

__all__ = ["ServerSettings", "Serving", "serving", "metrics", "ApiError", "read_json_object", "field_of",
           "RETRY_AFTER"]

T = TypeVar("T")
RETRY_AFTER = 1                  # seconds a client is asked to wait before it tries a 503 again
_PARSE_INLINE = 256 * 1024       # larger JSON bodies are parsed off the event loop


@dataclass
class ServerSettings:
    model_name: str
    asr_model_name: str | None = None
    wait_timeout: float = 10.0              # the bounded wait for a context (then 503)
    max_upload_bytes: int = 25 * 1024 * 1024
    limits: RequestLimits = field(default_factory=RequestLimits)
    guard: GuardSettings = field(default_factory=GuardSettings)


@dataclass
class Serving:
    """What the routes serve, kept on ``app.state.serving``."""

    pool: ModelPool
    settings: ServerSettings
    recogniser: SpeechRecogniser | None = None
    created: int = field(default=0)         # the models' creation time, fixed at start
    counter: PromptCounter | None = None    # the model's tokenizer, when the server was given one
    # Requests with images are prepared (decoded) here, a few at a time, off the event loop.
    preparing: ThreadPoolExecutor = field(
        default_factory=lambda: ThreadPoolExecutor(max_workers=2, thread_name_prefix="kiv-prepare"))

    async def off_loop(self, work: Callable[[], T]) -> T:
        return await asyncio.get_running_loop().run_in_executor(self.preparing, work)

    def model_ids(self) -> list[str]:
        ids = [self.settings.model_name]
        if self.recogniser is not None and self.settings.asr_model_name:
            ids.append(self.settings.asr_model_name)
        return ids


def serving(request: Request) -> Serving:
    """What the routes serve; a 503 while the server still loads its models."""
    state = getattr(request.app.state, "serving", None)
    if state is None:
        raise ApiError(503, "the server is loading its model; try again shortly", "server_error", "loading")
    return cast(Serving, state)


def metrics(request: Request) -> Metrics:
    return cast(Metrics, request.app.state.metrics)


class ApiError(Exception):
    """An error answered in OpenAI's shape."""

    def __init__(self, status: int, message: str, error_type: str = "invalid_request_error",
                 code: str | None = None, param: str | None = None) -> None:
        super().__init__(message)
        self.status, self.message, self.error_type, self.code, self.param = status, message, error_type, code, param

    @classmethod
    def of(cls, exc: ServingError) -> ApiError:
        return cls(exc.http_status, exc.message, exc.error_type, exc.code, exc.param)

    def body(self) -> dict[str, Any]:
        return error_body(self.message, self.error_type, self.param, self.code)

    def response(self) -> Response:
        # ASCII-only JSON: a message that quotes the request (a lone surrogate too) always encodes.
        headers = {"Retry-After": str(RETRY_AFTER)} if self.status == 503 else None
        return Response(json.dumps(self.body()), self.status, headers, "application/json")


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
