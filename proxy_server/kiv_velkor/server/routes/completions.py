"""``POST /v1/completions``: a plain prompt completed as given (the runtime's
plain-prompt mode, no chat template), answered whole or streamed.

As OpenAI's endpoint: ``max_tokens`` defaults to 16 (or to the model's own default), the prompt is a string
or a list holding one, ``echo`` puts the prompt before the completion.
"""

from __future__ import annotations

import secrets
import time
from collections.abc import AsyncIterator
from typing import Any

from starlette.requests import Request
from starlette.responses import Response

from ...streaming.events import Event, Finished, PieceKind, TextPiece
from ...streaming.generation import Generation
from ..metrics import Metrics
from ..openai import shapes
from ..openai.fields import COMPLETIONS
from ..openai.shapes import PromptCount
from ..state import ApiError, field_of, metrics, read_json_object, serving
from .generating import (PromptTally, check_context_size, prepared, requested_model, requested_pool, respond,
                         stream_body, stream_options)

__all__ = ["completions"]

PASSED_ON = ("stop", "temperature", "top_p", "top_k", "min_p", "repeat_penalty", "repeat_last_n", "seed",
             "frequency_penalty", "presence_penalty")
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
    options = {name: body[name] for name in PASSED_ON if body.get(name) is not None}
    COMPLETIONS.check(body)
    pool = await requested_pool(request, model, body)
    check_context_size(body, pool)
    # OpenAI's default, unless the model has a default of its own.
    max_tokens = pool.defaults.get("max_tokens", DEFAULT_MAX_TOKENS) if body.get("max_tokens") is None \
        else body["max_tokens"]
    generation = await prepared(state, lambda: pool.complete(
        prompt, max_tokens=max_tokens, acquire_timeout=state.settings.wait_timeout, limits=state.settings.limits,
        **options))
    cid = f"cmpl-{secrets.token_hex(12)}"
    created = int(time.time())
    return await respond(
        request, state, generation, stream,
        lambda first, counted: _stream(generation, first, cid, created, model, echo, include_usage, counted,
                                       metrics(request)),
        lambda finished, prompt: shapes.text_completion(cid, created, model, echo + finished.text,
                                                        shapes.finish_reason(finished), finished, prompt),
        model=model)


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
