"""``POST /v1/chat/completions``: an OpenAI chat request to a generation of the
pool, answered whole or as a stream of server-sent chunks."""

from __future__ import annotations

import secrets
import time
from collections.abc import AsyncIterator, Iterator
from typing import Any

from starlette.requests import Request
from starlette.responses import Response

from . import openai_shapes as shapes
from .openai_shapes import PromptCount
from .chat_input import holds_images
from .events import Event, Finished
from .generation import Generation
from .http_generation import PromptTally, prepared, requested_model, respond, stream_body, stream_options
from .metrics import Metrics
from .request_fields import CHAT
from .server_common import metrics, read_json_object, serving

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
    CHAT.check(body)
    messages = body.get("messages")
    generation = await prepared(state, lambda: state.pool.chat(
        messages, max_tokens=max_tokens, acquire_timeout=state.settings.wait_timeout, limits=state.settings.limits,
        cache_scope=getattr(request.state, "api_key_id", None), **options), holds_images(messages))
    cid = f"chatcmpl-{secrets.token_hex(12)}"
    created = int(time.time())
    return await respond(
        request, state, generation, stream,
        lambda first, counted: _stream(generation, first, cid, created, model, include_usage, counted, metrics(request)),
        lambda finished, prompt: shapes.completion(cid, created, model, finished, prompt))


async def _stream(generation: Generation, first: Event, cid: str, created: int, model: str,
                  include_usage: bool, counted: PromptTally, meter: Metrics) -> AsyncIterator[str]:
    def frames(event: Event, prompt: PromptCount) -> Iterator[dict[str, Any]]:
        if isinstance(event, Finished):
            return shapes.final_chunks(event, cid, created, model, include_usage, prompt)
        return shapes.stream_chunks(event, cid, created, model)

    yield shapes.sse(shapes.chunk(cid, created, model, {"role": "assistant", "content": ""}))
    async for text in stream_body(generation, first, counted, frames, meter):
        yield text
