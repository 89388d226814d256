"""``POST /v1/chat/completions``: an OpenAI chat request to a generation of the
named model's pool, answered whole or as a stream of server-sent chunks."""

from __future__ import annotations

import secrets
import time
from collections.abc import AsyncIterator, Iterator, Mapping
from typing import Any

from starlette.requests import Request
from starlette.responses import Response

from ...streaming.request.chat_input import holds_images
from ...streaming.events import Event, Finished
from ...streaming.generation import Generation
from ..metrics import Metrics
from ..openai import shapes
from ..openai.fields import CHAT
from ..openai.shapes import PromptCount
from ..state import ApiError, metrics, read_json_object, serving
from .generating import (PromptTally, check_context_size, prepared, requested_model, requested_pool, respond,
                         stream_body, stream_options)

__all__ = ["chat_completions", "other_servers_names"]

# The request fields handed to the layer under the same name (OpenAI's, and
# the runtime's own sampling options).
PASSED_ON = ("tools", "tool_choice", "parallel_tool_calls", "response_format", "stop", "temperature", "top_p",
             "top_k", "min_p", "repeat_penalty", "repeat_last_n", "seed", "frequency_penalty", "presence_penalty",
             "enable_think", "reasoning_effort", "chat_template_kwargs")


async def chat_completions(request: Request) -> Response:
    state = serving(request)
    body = await read_json_object(request)
    model = requested_model(state, body)
    stream, include_usage = stream_options(body)
    # A null field counts as absent: max_completion_tokens null leaves max_tokens in force.
    max_tokens = body.get("max_completion_tokens")
    if max_tokens is None:
        max_tokens = body.get("max_tokens")
    options = {name: body[name] for name in PASSED_ON if body.get(name) is not None}
    CHAT.check(body)
    options.update(other_servers_names(body, options))
    messages = body.get("messages")
    pool = await requested_pool(request, model, body)
    check_context_size(body, pool)
    generation = await prepared(state, lambda: pool.chat(
        messages, max_tokens=max_tokens, acquire_timeout=state.settings.wait_timeout, limits=state.settings.limits,
        cache_scope=getattr(request.state, "api_key_id", None), interactive=stream, **options),
        holds_images(messages))
    cid = f"chatcmpl-{secrets.token_hex(12)}"
    created = int(time.time())
    return await respond(
        request, state, generation, stream,
        lambda first, counted: _stream(generation, first, cid, created, model, include_usage, counted, metrics(request)),
        lambda finished, prompt: shapes.completion(cid, created, model, finished, prompt), model=model)


def other_servers_names(body: Mapping[str, Any], options: Mapping[str, Any]) -> dict[str, Any]:
    """The options other local servers take under names of their own, which front-ends send to any server:
    ``think`` (``enable_think``) and ``format`` (``"json"`` or a JSON schema: ``response_format``). Given
    beside the field they stand for, they must agree."""
    out: dict[str, Any] = {}
    think, fmt = body.get("think"), body.get("format")
    if think is not None:
        if not isinstance(think, bool):
            raise ApiError(400, "think must be true or false: the runtime thinks or does not, with no degree "
                           "between", param="think")
        out["enable_think"] = think
    if fmt is not None and fmt != "":
        if fmt == "json":
            out["response_format"] = {"type": "json_object"}
        elif isinstance(fmt, dict):
            out["response_format"] = {"type": "json_schema", "json_schema": {"name": "format", "schema": fmt}}
        else:
            raise ApiError(400, "format must be 'json' or a JSON schema", param="format")
    for name, value in out.items():
        if options.get(name, value) != value:
            given = "think" if name != "response_format" else "format"
            raise ApiError(400, f"{given} contradicts {name}", param=given)
    return out


async def _stream(generation: Generation, first: Event, cid: str, created: int, model: str,
                  include_usage: bool, counted: PromptTally, meter: Metrics) -> AsyncIterator[str]:
    def frames(event: Event, prompt: PromptCount) -> Iterator[dict[str, Any]]:
        if isinstance(event, Finished):
            return shapes.final_chunks(event, cid, created, model, include_usage, prompt)
        return shapes.stream_chunks(event, cid, created, model)

    yield shapes.sse(shapes.chunk(cid, created, model, {"role": "assistant", "content": ""}))
    async for text in stream_body(generation, first, counted, frames, meter):
        yield text
