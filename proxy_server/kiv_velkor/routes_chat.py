"""``POST /v1/chat/completions``: an OpenAI chat request to a generation of the
pool, answered whole or as a stream of server-sent chunks."""

from __future__ import annotations

import functools
import secrets
import time
from collections.abc import AsyncIterator
from typing import Any

from starlette.requests import Request
from starlette.responses import JSONResponse, Response

from . import openai_shapes as shapes
from .chat_input import holds_images
from .errors import ServingError
from .events import Event, Finished
from .generation import Generation
from .http_stream import EventStream, HangupWatch
from .metrics import Metrics
from .server_common import ApiError, Serving, field_of, metrics, read_json_object, serving

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
    generation = await _generation(state, body.get("messages"), max_tokens=max_tokens,
                                   cache_scope=getattr(request.state, "api_key_id", None), **options)
    # From here on a client that hangs up cancels the request: waiting, before its first piece, running.
    async with HangupWatch(request.receive, generation.cancel) as watch:
        try:
            await generation.astart()
            outcome = await (generation.__anext__() if stream else generation.acollect())
        except ServingError as exc:
            raise ApiError.of(exc) from None
    if isinstance(outcome, Finished):
        metrics(request).finished(outcome)
    if watch.gone:
        return Response(status_code=499)   # nobody to answer; the access log shows the hang-up
    cid = f"chatcmpl-{secrets.token_hex(12)}"
    created = int(time.time())
    if stream:
        lines = _stream(generation, outcome, cid, created, state.settings.model_name, include_usage, metrics(request))
        return EventStream(lines, generation.cancel, lambda: generation.queued > 0)
    assert isinstance(outcome, Finished)
    if outcome.finish_reason == "error":
        raise ApiError(500, outcome.error or "the runtime failed", "server_error", "generation_failed")
    if outcome.finish_reason == "cancelled":
        raise ApiError(503, "the request was cancelled (the server is stopping)", "server_error", "cancelled")
    return JSONResponse(shapes.completion(cid, created, state.settings.model_name, outcome))


async def _generation(state: Serving, messages: Any, **options: Any) -> Generation:
    """The request checked and prepared; images are decoded on a thread, off the event loop."""
    make = functools.partial(state.pool.chat, messages, limits=state.settings.limits,
                             acquire_timeout=state.settings.wait_timeout, **options)
    try:
        return await state.off_loop(make) if holds_images(messages) else make()
    except ServingError as exc:
        raise ApiError.of(exc) from None


async def _stream(generation: Generation, first: Event, cid: str, created: int, model: str,
                  include_usage: bool, meter: Metrics) -> AsyncIterator[str]:
    # Leaving this generator (the client went away, the server stops) leaves
    # the iteration, which cancels the generation.
    async def events() -> AsyncIterator[Event]:
        yield first
        async for event in generation:
            yield event

    yield shapes.sse(shapes.chunk(cid, created, model, {"role": "assistant", "content": ""}))
    try:
        async for event in events():
            if isinstance(event, Finished) and event is not first:   # a first end is counted already
                meter.finished(event)
            for data in shapes.stream_chunks(event, cid, created, model, include_usage):
                yield shapes.sse(data)
    except ServingError as exc:
        yield shapes.sse(shapes.stream_error(exc.message, exc.code or "server_error"))
    finally:
        await generation.aclose()
    yield shapes.SSE_DONE
