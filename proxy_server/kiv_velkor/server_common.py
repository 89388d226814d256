"""What every route of the server uses: the application's state, errors in
OpenAI's shape, reading a request body, the model and stream options every
generating endpoint checks, counting the prompt, and waiting for a whole
generation."""

from __future__ import annotations

import asyncio
import json
from collections.abc import AsyncIterator, Callable, Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any, cast

from starlette.requests import Request
from starlette.responses import JSONResponse, StreamingResponse
from starlette.types import Message

from .errors import ServingError
from .events import Event, Finished
from .generation import Generation
from .openai_shapes import SSE_DONE, error_body, failure, sse
from .pool import ModelPool
from .prompt_tokens import PromptCounter
from .speech import SpeechRecogniser

__all__ = ["ServerSettings", "Serving", "serving", "ApiError", "read_json_object", "field_of", "read_capped",
           "requested_model", "stream_options", "started", "count_prompt", "first_event", "events_from",
           "event_stream", "stream_body", "whole_generation"]


@dataclass
class ServerSettings:
    model_name: str
    asr_model_name: str | None = None
    wait_timeout: float = 10.0              # the bounded wait for a context (then 503)
    max_upload_bytes: int = 25 * 1024 * 1024


@dataclass
class Serving:
    """What the routes serve, kept on ``app.state.serving``."""

    pool: ModelPool
    settings: ServerSettings
    recogniser: SpeechRecogniser | None = None
    created: int = field(default=0)         # the models' creation time, fixed at start
    counter: PromptCounter | None = None    # the model's tokenizer, when the server was given one

    def model_ids(self) -> list[str]:
        ids = [self.settings.model_name]
        if self.recogniser is not None and self.settings.asr_model_name:
            ids.append(self.settings.asr_model_name)
        return ids


def serving(request: Request) -> Serving:
    return cast(Serving, request.app.state.serving)


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

    def response(self) -> JSONResponse:
        return JSONResponse(self.body(), status_code=self.status)


async def read_json_object(request: Request) -> dict[str, Any]:
    try:
        body = json.loads(await request.body())
    except (json.JSONDecodeError, UnicodeDecodeError):
        raise ApiError(400, "the request body is not valid JSON") from None
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


async def read_capped(request: Request, limit: int) -> bytes:
    """The whole body, refused with a 413 as soon as it is larger than ``limit`` bytes."""
    declared = request.headers.get("content-length")
    if declared is not None and declared.isdigit() and int(declared) > limit:
        raise ApiError(413, f"the upload is larger than {limit:,} bytes", code="upload_too_large")
    chunks, size = [], 0
    async for part in request.stream():
        size += len(part)
        if size > limit:
            raise ApiError(413, f"the upload is larger than {limit:,} bytes", code="upload_too_large")
        chunks.append(part)
    return b"".join(chunks)


def requested_model(state: Serving, body: Mapping[str, Any]) -> str:
    """The language model the request names: a 400 without one, a 404 for another."""
    model = field_of(body, "model", str)
    if model is None:
        raise ApiError(400, "model is required", param="model")
    if model != state.settings.model_name:
        raise ApiError(404, f"The model '{model}' does not exist; this server has '{state.settings.model_name}'",
                       code="model_not_found", param="model")
    return str(model)


def stream_options(body: Mapping[str, Any]) -> tuple[bool, bool]:
    """``stream`` and ``stream_options.include_usage``; the stream is never padded (include_obfuscation)."""
    stream = field_of(body, "stream", bool, False)
    options = field_of(body, "stream_options", dict, {})
    for name, value in options.items():
        if name not in ("include_usage", "include_obfuscation"):
            raise ApiError(400, f"stream_options.{name} is not supported by this server", param="stream_options")
        if value is not None and not isinstance(value, bool):
            raise ApiError(400, f"stream_options.{name} must be true or false", param="stream_options")
    if options.get("include_obfuscation"):
        raise ApiError(400, "stream_options.include_obfuscation: this server sends no padding",
                       param="stream_options")
    return bool(stream), bool(options.get("include_usage"))


def _count(counter: PromptCounter, generation: Generation) -> int:
    request = generation.request
    kwargs = request.run_kwargs
    if kwargs.get("messages_mode"):
        return counter.count_chat(request.messages or [], request.tools, bool(kwargs.get("enable_think")))
    return counter.count_text(str(kwargs["prompt_input"]))


def count_prompt(state: Serving, generation: Generation) -> asyncio.Future[int]:
    """The prompt tokens of ``generation``, counted off the event loop while it runs (0 without a tokenizer)."""
    counter = state.counter
    if counter is None:
        done: asyncio.Future[int] = asyncio.get_running_loop().create_future()
        done.set_result(0)
        return done

    def count() -> int:
        try:
            return _count(counter, generation)
        except Exception:   # a template that cannot render this request: no count rather than no answer
            return 0
    return asyncio.ensure_future(asyncio.to_thread(count))


async def started(make: Callable[[], Generation]) -> Generation:
    """A generation made and started (its wait for a context over); the layer's refusals as OpenAI's errors."""
    try:
        generation = make()
        await generation.astart()
    except ServingError as exc:
        raise ApiError.of(exc) from None
    return generation


async def first_event(generation: Generation) -> Event:
    """The first event of a stream, before the response starts: a request the runtime rejects is a 400."""
    try:
        return await generation.__anext__()
    except ServingError as exc:
        raise ApiError.of(exc) from None


async def events_from(first: Event, generation: Generation) -> AsyncIterator[Event]:
    """``first``, then the rest of the generation's events."""
    yield first
    async for event in generation:
        yield event


Frames = Callable[[Event, int], Iterable[Mapping[str, Any]]]


async def stream_body(generation: Generation, first: Event, counted: asyncio.Future[int], frames: Frames,
                      failed: Callable[[str], Iterable[Mapping[str, Any]]] | None = None,
                      framing: Callable[[Mapping[str, Any]], str] = sse, done: str = SSE_DONE) -> AsyncIterator[str]:
    """The server-sent events of a generation: ``frames`` makes each event's data (the final event's with the
    prompt tokens); a failure after the response started ends it with ``failed``'s data (default: OpenAI's
    error body). Leaving it early (the client went away, the server stops) cancels the generation."""
    try:
        async for event in events_from(first, generation):
            for data in frames(event, await counted if isinstance(event, Finished) else 0):
                yield framing(data)
    except ServingError as exc:
        for data in failed(exc.message) if failed else [ApiError.of(exc).body()]:
            yield framing(data)
    finally:
        await generation.aclose()
    if done:
        yield done


def event_stream(body: AsyncIterator[str]) -> StreamingResponse:
    return StreamingResponse(body, media_type="text/event-stream", headers={"Cache-Control": "no-cache"})


async def whole_generation(request: Request, generation: Generation) -> Finished:
    """The final event of a generation that finished; one that could not is an OpenAI error (500, or 503 when
    the server stopped it)."""
    finished = await _collect_unless_gone(request, generation)
    error = failure(finished)
    if error is not None:
        body = error["error"]
        raise ApiError(503 if finished.finish_reason == "cancelled" else 500, body["message"], body["type"],
                       body["code"])
    return finished


async def _collect_unless_gone(request: Request, generation: Generation) -> Finished:
    """The whole generation; a client that disconnects meanwhile cancels it."""
    async def watch_disconnect() -> None:
        while True:
            message: Message = await request.receive()
            if message["type"] == "http.disconnect":
                generation.cancel()
                return

    watcher = asyncio.create_task(watch_disconnect())
    try:
        return await generation.acollect()
    except ServingError as exc:
        raise ApiError.of(exc) from None
    finally:
        watcher.cancel()
