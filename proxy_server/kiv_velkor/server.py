"""The OpenAI-compatible HTTP application (Starlette): a thin translation
between OpenAI's request and response shapes and the streaming layer.

Needs the ``server`` extra (``pip install 'tessel-openai-server-kiv-velkor[server]'``).
``python -m tessel_openai_server.kiv_velkor serve`` runs it (see :mod:`.serve`).
"""

from __future__ import annotations

import asyncio
import json
import secrets
import time
from collections.abc import AsyncIterator, Awaitable, Callable, Mapping
from contextlib import asynccontextmanager
from dataclasses import dataclass
from typing import Any

from starlette.applications import Starlette
from starlette.datastructures import UploadFile
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import JSONResponse, PlainTextResponse, Response, StreamingResponse
from starlette.routing import Route
from starlette.types import Message

from .errors import ServingError
from .events import Event, Finished, PieceKind, TextPiece, ToolCall
from .generation import Generation
from .pool import ModelPool
from .speech import SpeechRecogniser

__all__ = ["ServerSettings", "create_app"]

# The request fields handed to the layer under the same name (OpenAI's, and
# the runtime's own sampling options).
PASSED_ON = ("tools", "tool_choice", "stop", "temperature", "top_p", "top_k", "repeat_penalty", "seed",
             "frequency_penalty", "presence_penalty", "enable_think")


@dataclass
class ServerSettings:
    model_name: str
    asr_model_name: str | None = None
    wait_timeout: float = 10.0              # the bounded wait for a context (then 503)
    max_upload_bytes: int = 25 * 1024 * 1024


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
        return {"error": {"message": self.message, "type": self.error_type, "param": self.param, "code": self.code}}

    def response(self) -> JSONResponse:
        return JSONResponse(self.body(), status_code=self.status)


def _sse(data: Mapping[str, Any]) -> str:
    return f"data: {json.dumps(data, ensure_ascii=False, separators=(',', ':'))}\n\n"


def _usage(finished: Finished) -> dict[str, Any]:
    # The runtimes do not count prompt tokens: those stay null rather than a guess.
    return {"prompt_tokens": None, "completion_tokens": finished.usage.completion_tokens, "total_tokens": None}


def _tool_call(call: ToolCall) -> dict[str, Any]:
    return {"id": call.id, "type": "function", "function": {"name": call.name, "arguments": call.arguments}}


async def _json_object(request: Request) -> dict[str, Any]:
    try:
        body = json.loads(await request.body())
    except (json.JSONDecodeError, UnicodeDecodeError):
        raise ApiError(400, "the request body is not valid JSON") from None
    if not isinstance(body, dict):
        raise ApiError(400, "the request body must be a JSON object")
    return body


def _field(body: Mapping[str, Any], name: str, kind: type | tuple[type, ...], default: Any = None) -> Any:
    value = body.get(name, default)
    if value is None:
        return default
    if isinstance(value, bool) and bool not in (kind if isinstance(kind, tuple) else (kind,)):
        raise ApiError(400, f"{name} has the wrong type", param=name)
    if not isinstance(value, kind):
        raise ApiError(400, f"{name} has the wrong type", param=name)
    return value


async def _read_capped(request: Request, limit: int) -> bytes:
    declared = request.headers.get("content-length")
    if declared is not None and declared.isdigit() and int(declared) > limit:
        raise ApiError(413, f"the upload is larger than {limit:,} bytes", code="upload_too_large")
    chunks, size = [], 0
    async for chunk in request.stream():
        size += len(chunk)
        if size > limit:
            raise ApiError(413, f"the upload is larger than {limit:,} bytes", code="upload_too_large")
        chunks.append(chunk)
    return b"".join(chunks)


def create_app(pool: ModelPool, settings: ServerSettings, recogniser: SpeechRecogniser | None = None,
               on_shutdown: Callable[[], Awaitable[None]] | None = None) -> Starlette:
    """The application serving ``pool`` (and ``recogniser``) under OpenAI's paths."""

    created = int(time.time())

    async def models(request: Request) -> Response:
        data = [{"id": settings.model_name, "object": "model", "created": created, "owned_by": "kiv"}]
        if recogniser is not None and settings.asr_model_name:
            data.append({"id": settings.asr_model_name, "object": "model", "created": created, "owned_by": "kiv"})
        return JSONResponse({"object": "list", "data": data})

    async def health(request: Request) -> Response:
        # For load balancers and tests: how many contexts are free right now.
        return JSONResponse({"status": "closing" if pool.closed else "ok", "contexts": pool.size,
                             "available": pool.available})

    async def chat_completions(request: Request) -> Response:
        body = await _json_object(request)
        model = _field(body, "model", str)
        if model is None:
            raise ApiError(400, "model is required", param="model")
        if model != settings.model_name:
            raise ApiError(404, f"The model '{model}' does not exist; this server has '{settings.model_name}'",
                           code="model_not_found", param="model")
        stream = _field(body, "stream", bool, False)
        stream_options = _field(body, "stream_options", dict, {})
        include_usage = _field(stream_options, "include_usage", bool, False)
        if _field(body, "n", int, 1) != 1:
            raise ApiError(400, "only n=1 is supported", param="n")
        max_tokens = body.get("max_completion_tokens", body.get("max_tokens"))
        options = {name: body[name] for name in PASSED_ON if body.get(name) is not None}
        try:
            generation = pool.chat(body.get("messages"), max_tokens=max_tokens,
                                   acquire_timeout=settings.wait_timeout, **options)
            await generation.astart()
        except ServingError as exc:
            raise ApiError.of(exc) from None
        cid = f"chatcmpl-{secrets.token_hex(12)}"
        if stream:
            try:
                first = await generation.__anext__()
            except ServingError as exc:
                raise ApiError.of(exc) from None
            return StreamingResponse(_stream(generation, first, cid, include_usage), media_type="text/event-stream",
                                     headers={"Cache-Control": "no-cache"})
        return await _complete(request, generation, cid)

    def _chunk(cid: str, delta: dict[str, Any], finish_reason: str | None = None) -> dict[str, Any]:
        return {"id": cid, "object": "chat.completion.chunk", "created": int(time.time()),
                "model": settings.model_name,
                "choices": [{"index": 0, "delta": delta, "finish_reason": finish_reason, "logprobs": None}]}

    async def _stream(generation: Generation, first: Event, cid: str, include_usage: bool) -> AsyncIterator[str]:
        # Leaving this generator (the client went away, the server stops)
        # leaves the iteration, which cancels the generation.
        async def events() -> AsyncIterator[Event]:
            yield first
            async for event in generation:
                yield event

        yield _sse(_chunk(cid, {"role": "assistant", "content": ""}))
        try:
            async for event in events():
                if isinstance(event, TextPiece):
                    if event.kind is PieceKind.ANSWER:
                        yield _sse(_chunk(cid, {"content": event.text}))
                    elif event.kind is PieceKind.REASONING:
                        yield _sse(_chunk(cid, {"reasoning_content": event.text}))
                elif isinstance(event, ToolCall):
                    yield _sse(_chunk(cid, {"tool_calls": [{"index": event.index, **_tool_call(event)}]}))
                elif isinstance(event, Finished):
                    if event.finish_reason == "error":
                        yield _sse(ApiError(500, event.error or "the runtime failed", "server_error",
                                            "generation_failed").body())
                    else:
                        yield _sse(_chunk(cid, {}, event.finish_reason))
                    if include_usage:
                        yield _sse({"id": cid, "object": "chat.completion.chunk", "created": int(time.time()),
                                    "model": settings.model_name, "choices": [], "usage": _usage(event)})
        except ServingError as exc:
            yield _sse(ApiError.of(exc).body())
        finally:
            await generation.aclose()
        yield "data: [DONE]\n\n"

    async def _complete(request: Request, generation: Generation, cid: str) -> Response:
        async def watch_disconnect() -> None:
            while True:
                message: Message = await request.receive()
                if message["type"] == "http.disconnect":
                    generation.cancel()
                    return

        watcher = asyncio.create_task(watch_disconnect())
        try:
            finished = await generation.acollect()
        except ServingError as exc:
            raise ApiError.of(exc) from None
        finally:
            watcher.cancel()
        if finished.finish_reason == "error":
            raise ApiError(500, finished.error or "the runtime failed", "server_error", "generation_failed")
        if finished.finish_reason == "cancelled":
            raise ApiError(503, "the request was cancelled (the server is stopping)", "server_error", "cancelled")
        message: dict[str, Any] = {"role": "assistant", "content": finished.text or None}
        if finished.reasoning:
            message["reasoning_content"] = finished.reasoning
        if finished.tool_calls:
            message["tool_calls"] = [_tool_call(c) for c in finished.tool_calls]
        return JSONResponse({
            "id": cid, "object": "chat.completion", "created": int(time.time()), "model": settings.model_name,
            "choices": [{"index": 0, "message": message, "finish_reason": finished.finish_reason, "logprobs": None}],
            "usage": _usage(finished)})

    async def transcriptions(request: Request) -> Response:
        if recogniser is None:
            raise ApiError(404, "this server has no speech model (start it with --asr-model)", code="model_not_found")
        body = await _read_capped(request, settings.max_upload_bytes)

        async def replay() -> Message:
            return {"type": "http.request", "body": body, "more_body": False}

        try:
            form = await Request(request.scope, replay).form(max_files=1, max_fields=16)
        except Exception as exc:   # a body that is no multipart form
            raise ApiError(400, f"expected a multipart/form-data upload: {exc}") from None
        upload = form.get("file")
        if not isinstance(upload, UploadFile):
            raise ApiError(400, "the upload needs a 'file' part", param="file")
        model = form.get("model")
        if model != settings.asr_model_name:
            raise ApiError(404, f"The model '{model}' does not exist; this server has '{settings.asr_model_name}'",
                           code="model_not_found", param="model")
        response_format = form.get("response_format") or "json"
        if response_format not in ("json", "text", "verbose_json"):
            raise ApiError(400, "response_format must be json, text or verbose_json", param="response_format")
        language = form.get("language") or "auto"
        if not isinstance(language, str):
            raise ApiError(400, "language must be a string", param="language")
        audio = await upload.read()
        try:
            result = await recogniser.atranscribe(audio, language=language)
        except ServingError as exc:
            raise ApiError.of(exc) from None
        if response_format == "text":
            return PlainTextResponse(result.text)
        if response_format == "verbose_json":
            return JSONResponse({"task": "transcribe", "language": result.language, "text": result.text})
        return JSONResponse({"text": result.text})

    async def api_error(request: Request, exc: Exception) -> Response:
        assert isinstance(exc, ApiError)
        return exc.response()

    async def http_error(request: Request, exc: Exception) -> Response:
        assert isinstance(exc, HTTPException)
        return ApiError(exc.status_code, str(exc.detail)).response()

    async def internal_error(request: Request, exc: Exception) -> Response:
        return ApiError(500, f"internal error: {exc}", "server_error").response()

    @asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        yield
        if on_shutdown is not None:
            await on_shutdown()

    return Starlette(
        routes=[Route("/health", health, methods=["GET"]),
                Route("/v1/models", models, methods=["GET"]),
                Route("/v1/chat/completions", chat_completions, methods=["POST"]),
                Route("/v1/audio/transcriptions", transcriptions, methods=["POST"])],
        exception_handlers={ApiError: api_error, HTTPException: http_error, Exception: internal_error},
        lifespan=lifespan)

