"""``POST /v1/completions``: a plain prompt completed as given (the runtime's
plain-prompt mode, no chat template), answered whole or streamed.

As OpenAI's endpoint: ``max_tokens`` defaults to 16, the prompt is a string
or a list holding one, ``echo`` puts the prompt before the completion.
"""

from __future__ import annotations

import secrets
import time
from collections.abc import AsyncIterator
from typing import Any

from starlette.requests import Request
from starlette.responses import Response

from . import openai_shapes as shapes
from .openai_shapes import PromptCount
from .events import Event, Finished, PieceKind, TextPiece
from .generation import Generation
from .request_fields import COMPLETIONS
from .http_generation import PromptTally, prepared, requested_model, respond, stream_body, stream_options
from .metrics import Metrics
from .server_common import ApiError, field_of, metrics, read_json_object, serving

__all__ = ["completions"]

PASSED_ON = ("stop", "temperature", "top_p", "top_k", "repeat_penalty", "seed", "frequency_penalty",
             "presence_penalty")
DEFAULT_MAX_TOKENS = 16


def _prompt(value: Any) -> str:
    if isinstance(value, list) and len(value) == 1:
        value = value[0]
    if not isinstance(value, str):
        raise ApiError(400, "prompt must be a string or a list of one string", param="prompt")
    return value


async def completions(request: Request) -> Response:
    state = serving(request)
    body = await read_json_object(request)
    model = requested_model(state, body)
    stream, include_usage = stream_options(body)
    prompt = _prompt(body.get("prompt"))
    echo = prompt if field_of(body, "echo", bool, False) else ""
    max_tokens = DEFAULT_MAX_TOKENS if body.get("max_tokens") is None else body["max_tokens"]
    options = {name: body[name] for name in PASSED_ON if body.get(name) is not None}
    COMPLETIONS.check(body)
    generation = await prepared(state, lambda: state.pool.complete(
        prompt, max_tokens=max_tokens, acquire_timeout=state.settings.wait_timeout, limits=state.settings.limits,
        **options))
    cid = f"cmpl-{secrets.token_hex(12)}"
    created = int(time.time())
    return await respond(
        request, state, generation, stream,
        lambda first, counted: _stream(generation, first, cid, created, model, echo, include_usage, counted,
                                       metrics(request)),
        lambda finished, prompt: shapes.text_completion(cid, created, model, echo + finished.text,
                                                        shapes.finish_reason(finished), finished, prompt))


async def _stream(generation: Generation, first: Event, cid: str, created: int, model: str, echo: str,
                  include_usage: bool, counted: PromptTally, meter: Metrics) -> AsyncIterator[str]:
    def frames(event: Event, prompt: PromptCount) -> list[dict[str, Any]]:
        if isinstance(event, TextPiece) and event.kind is PieceKind.ANSWER:
            return [shapes.text_completion(cid, created, model, event.text, None)]
        if isinstance(event, Finished):
            return _final(event, cid, created, model, include_usage, prompt)
        return []

    if echo:
        yield shapes.sse(shapes.text_completion(cid, created, model, echo, None))
    async for text in stream_body(generation, first, counted, frames, meter):
        yield text


def _final(finished: Finished, cid: str, created: int, model: str, include_usage: bool,
           prompt: PromptCount) -> list[dict[str, Any]]:
    error = shapes.failure(finished)
    if error is not None:
        return [error]
    last = [shapes.text_completion(cid, created, model, "", shapes.finish_reason(finished))]
    if include_usage:
        usage = shapes.text_completion(cid, created, model, "", None, finished, prompt)
        usage["choices"] = []
        last.append(usage)
    return last
