"""``POST /v1/chat/completions``: an OpenAI chat request to a generation of the
pool, answered whole or as a stream of server-sent chunks."""

from __future__ import annotations

import asyncio
import secrets
import time
from collections.abc import AsyncIterator

from starlette.requests import Request
from starlette.responses import JSONResponse, Response, StreamingResponse

from . import openai_shapes as shapes
from .errors import ServingError
from .events import Event, Finished
from .generation import Generation
from .request_fields import CHAT
from .server_common import (ApiError, collect_unless_gone, count_prompt, first_event, raise_unfinished,
                            read_json_object, requested_model, serving, stream_options)

__all__ = ["chat_completions"]

# The request fields handed to the layer under the same name (OpenAI's, and
# the runtime's own sampling options).
PASSED_ON = ("tools", "tool_choice", "parallel_tool_calls", "response_format", "stop", "temperature", "top_p",
             "top_k", "repeat_penalty", "seed", "frequency_penalty", "presence_penalty", "enable_think")


async def chat_completions(request: Request) -> Response:
    state = serving(request)
    body = await read_json_object(request)
    model = requested_model(state, body)
    stream, include_usage = stream_options(body)
    max_tokens = body.get("max_completion_tokens", body.get("max_tokens"))
    options = {name: body[name] for name in PASSED_ON if body.get(name) is not None}
    try:
        CHAT.check(body)
        generation = state.pool.chat(body.get("messages"), max_tokens=max_tokens,
                                     acquire_timeout=state.settings.wait_timeout,
                                     cache_scope=getattr(request.state, "api_key_id", None), **options)
        await generation.astart()
    except ServingError as exc:
        raise ApiError.of(exc) from None
    counted = count_prompt(state, generation)
    cid = f"chatcmpl-{secrets.token_hex(12)}"
    created = int(time.time())
    if stream:
        first = await first_event(generation)
        return StreamingResponse(_stream(generation, first, cid, created, model, include_usage, counted),
                                 media_type="text/event-stream", headers={"Cache-Control": "no-cache"})
    finished = await collect_unless_gone(request, generation)
    raise_unfinished(finished)
    return JSONResponse(shapes.completion(cid, created, model, finished, await counted))


async def _stream(generation: Generation, first: Event, cid: str, created: int, model: str,
                  include_usage: bool, counted: asyncio.Future[int]) -> AsyncIterator[str]:
    # Leaving this generator (the client went away, the server stops) leaves
    # the iteration, which cancels the generation.
    async def events() -> AsyncIterator[Event]:
        yield first
        async for event in generation:
            yield event

    yield shapes.sse(shapes.chunk(cid, created, model, {"role": "assistant", "content": ""}))
    try:
        async for event in events():
            if isinstance(event, Finished):
                for data in shapes.final_chunks(event, cid, created, model, include_usage, await counted):
                    yield shapes.sse(data)
            else:
                for data in shapes.stream_chunks(event, cid, created, model):
                    yield shapes.sse(data)
    except ServingError as exc:
        yield shapes.sse(ApiError.of(exc).body())
    finally:
        await generation.aclose()
    yield shapes.SSE_DONE
