"""``POST /v1/chat/completions``: an OpenAI chat request to a generation of the
pool, answered whole or as a stream of server-sent chunks."""

from __future__ import annotations

import asyncio
import secrets
import time
from collections.abc import AsyncIterator
from starlette.requests import Request
from starlette.responses import JSONResponse, Response, StreamingResponse
from starlette.types import Message

from . import openai_shapes as shapes
from .errors import ServingError
from .events import Event, Finished
from .generation import Generation
from .server_common import ApiError, field_of, read_json_object, serving

__all__ = ["chat_completions"]

# The request fields handed to the layer under the same name (OpenAI's, and
# the runtime's own sampling options).
PASSED_ON = ("tools", "tool_choice", "stop", "temperature", "top_p", "top_k", "repeat_penalty", "seed",
             "frequency_penalty", "presence_penalty", "enable_think")


async def chat_completions(request: Request) -> Response:
    state = serving(request)
    body = await read_json_object(request)
    model = field_of(body, "model", str)
    if model is None:
        raise ApiError(400, "model is required", param="model")
    if model != state.settings.model_name:
        raise ApiError(404, f"The model '{model}' does not exist; this server has '{state.settings.model_name}'",
                       code="model_not_found", param="model")
    stream = field_of(body, "stream", bool, False)
    include_usage = field_of(field_of(body, "stream_options", dict, {}), "include_usage", bool, False)
    if field_of(body, "n", int, 1) != 1:
        raise ApiError(400, "only n=1 is supported", param="n")
    max_tokens = body.get("max_completion_tokens", body.get("max_tokens"))
    options = {name: body[name] for name in PASSED_ON if body.get(name) is not None}
    try:
        generation = state.pool.chat(body.get("messages"), max_tokens=max_tokens,
                                     acquire_timeout=state.settings.wait_timeout,
                                     cache_scope=getattr(request.state, "api_key_id", None), **options)
        await generation.astart()
    except ServingError as exc:
        raise ApiError.of(exc) from None
    cid = f"chatcmpl-{secrets.token_hex(12)}"
    created = int(time.time())
    if stream:
        try:
            first = await generation.__anext__()
        except ServingError as exc:
            raise ApiError.of(exc) from None
        return StreamingResponse(_stream(generation, first, cid, created, state.settings.model_name, include_usage),
                                 media_type="text/event-stream", headers={"Cache-Control": "no-cache"})
    finished = await _collect_unless_gone(request, generation)
    if finished.finish_reason == "error":
        raise ApiError(500, finished.error or "the runtime failed", "server_error", "generation_failed")
    if finished.finish_reason == "cancelled":
        raise ApiError(503, "the request was cancelled (the server is stopping)", "server_error", "cancelled")
    return JSONResponse(shapes.completion(cid, created, state.settings.model_name, finished))


async def _stream(generation: Generation, first: Event, cid: str, created: int, model: str,
                  include_usage: bool) -> AsyncIterator[str]:
    # Leaving this generator (the client went away, the server stops) leaves
    # the iteration, which cancels the generation.
    async def events() -> AsyncIterator[Event]:
        yield first
        async for event in generation:
            yield event

    yield shapes.sse(shapes.chunk(cid, created, model, {"role": "assistant", "content": ""}))
    try:
        async for event in events():
            for data in shapes.stream_chunks(event, cid, created, model, include_usage):
                yield shapes.sse(data)
    except ServingError as exc:
        yield shapes.sse(ApiError.of(exc).body())
    finally:
        await generation.aclose()
    yield shapes.SSE_DONE


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
