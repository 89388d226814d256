"""``POST /v1/responses``: the Responses API, stateless. The request becomes a
chat generation of the named model's pool (:mod:`.responses_input`); its events become a
response object or OpenAI's event stream (:mod:`.responses_shapes`).

The server keeps no responses: ``previous_response_id`` and ``store=true``
are answered with a 400 that says so.
"""

from __future__ import annotations

import time
from collections.abc import AsyncIterator, Mapping
from typing import Any

from starlette.requests import Request
from starlette.responses import Response

from ...streaming.request.chat_input import holds_images
from ...streaming.errors import InvalidRequest, ServingError
from ...streaming.events import Event, Finished
from ...streaming.generation import Generation
from ..metrics import Metrics
from ..openai import responses_input as given
from ..openai import responses_shapes as rshapes
from ..openai import shapes
from ..openai.fields import RESPONSES
from ..openai.shapes import PromptCount
from ..state import ApiError, field_of, metrics, read_json_object, serving
from .generating import PromptTally, prepared, requested_model, requested_pool, respond, stream_body, stream_options

__all__ = ["responses"]

NO_STORE = "this server keeps no responses: send the whole conversation as input"
# The chat fields the layer names in its errors, by the Responses fields the client sent.
_OUR_NAMES = (("response_format.json_schema.schema", "text.format.schema"),
              ("response_format.schema", "text.format.schema"), ("response_format", "text.format"),
              ("max_tokens", "max_output_tokens"), ("messages", "input"))


def _in_responses_terms(error: ApiError) -> ApiError:
    """The error with the chat field it names replaced by the Responses field the client sent."""
    for chat, ours in _OUR_NAMES:
        if error.param is not None and error.param.startswith(chat):
            error.param = ours if error.param.startswith("messages") else ours + error.param[len(chat):]
            break
    for chat, ours in _OUR_NAMES:
        if chat != "messages" and error.message.startswith(chat):
            error.message = ours + error.message[len(chat):]
            break
    return error


def _settings(body: Mapping[str, Any]) -> dict[str, Any]:
    """The request's settings as the response object reports them (OpenAI's defaults where not given)."""
    tools = [{"type": "function", "name": t["name"], "description": t.get("description"),
              "parameters": t.get("parameters"), "strict": t.get("strict")} for t in body.get("tools") or []]
    return {"instructions": body.get("instructions"), "max_output_tokens": body.get("max_output_tokens"),
            "metadata": body.get("metadata") or {}, "parallel_tool_calls": body.get("parallel_tool_calls", True),
            "temperature": body.get("temperature"), "top_p": body.get("top_p"),
            "tool_choice": body.get("tool_choice") or "auto", "tools": tools,
            "text": body.get("text") or {"format": {"type": "text"}},
            **({"user": body["user"]} if isinstance(body.get("user"), str) else {})}


def _request(body: Mapping[str, Any]) -> tuple[list[dict[str, Any]], dict[str, Any]]:
    """The chat messages and options of a Responses request (checked; nothing decoded yet)."""
    if body.get("previous_response_id") is not None:
        raise InvalidRequest(NO_STORE, param="previous_response_id")
    if field_of(body, "store", bool, False):
        raise InvalidRequest(NO_STORE, param="store")
    RESPONSES.check(body)
    options = {"tools": given.tools_of(body.get("tools")), "tool_choice": given.tool_choice_of(body.get("tool_choice")),
               "response_format": given.response_format_of(body.get("text")),
               "parallel_tool_calls": body.get("parallel_tool_calls"), "max_tokens": body.get("max_output_tokens"),
               "temperature": body.get("temperature"), "top_p": body.get("top_p")}
    messages = given.messages_of(body.get("input"), body.get("instructions"))
    return messages, {k: v for k, v in options.items() if v is not None}


async def responses(request: Request) -> Response:
    state = serving(request)
    body = await read_json_object(request)
    model = requested_model(state, body)
    stream, _ = stream_options(body)
    try:
        messages, options = _request(body)
    except ServingError as exc:
        raise ApiError.of(exc) from None
    pool = await requested_pool(request, model, body)
    try:
        # The same bounds as a chat request; images are decoded off the event loop.
        generation = await prepared(state, lambda: pool.chat(
            messages, acquire_timeout=state.settings.wait_timeout, limits=state.settings.limits,
            cache_scope=getattr(request.state, "api_key_id", None), interactive=stream, **options),
            holds_images(messages))
        head = rshapes.ResponseHead(rshapes.new_id("resp"), int(time.time()), model, _settings(body))
        return await respond(request, state, generation, stream,
                             lambda first, counted: _stream(generation, first, head, counted, metrics(request)),
                             lambda finished, prompt: _whole(head, finished, prompt), model=model)
    except ApiError as exc:
        raise _in_responses_terms(exc) from None


def _whole(head: rshapes.ResponseHead, finished: Finished, prompt: PromptCount) -> dict[str, Any]:
    status = "incomplete" if finished.finish_reason == "length" else "completed"
    return rshapes.response(head, status, rshapes.output_items(finished), rshapes.usage(finished, prompt))


async def _stream(generation: Generation, first: Event, head: rshapes.ResponseHead,
                  counted: PromptTally, meter: Metrics) -> AsyncIterator[str]:
    builder = rshapes.StreamEvents(head)

    def frames(event: Event, prompt: PromptCount) -> list[dict[str, Any]]:
        if not isinstance(event, Finished):
            return builder.add(event)
        error = shapes.failure(event)
        return builder.finish(event, prompt) if error is None else builder.fail(str(error["error"]["message"]))

    for data in builder.start():
        yield rshapes.sse_event(data)
    async for text in stream_body(generation, first, counted, frames, meter, builder.fail, rshapes.sse_event,
                                  done=""):
        yield text
