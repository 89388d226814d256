"""``POST /v1/messages`` and ``POST /v1/messages/count_tokens``: Anthropic's
Messages API over the same generations as the OpenAI routes. The request
becomes a chat generation of the pool (:mod:`..anthropic.messages_input`):
the same bounds, start, hang-up, conversation cache, metrics and access log;
its events become a message or Anthropic's event stream
(:mod:`..anthropic.shapes`). Errors on these paths take Anthropic's shape
(:mod:`..http.errors`).

A stream opens once its first event is out, as the OpenAI streams do, so a
request that fails before it gets its status; when the first event is slow
(a long prompt), it opens after ``ping_interval`` seconds with
``message_start`` and a ``ping`` every interval until the first event.
"""

from __future__ import annotations

import asyncio
from collections.abc import AsyncIterator, Mapping
from typing import Any

from starlette.requests import Request
from starlette.responses import JSONResponse, Response

from ...streaming.request.chat_input import PreparedChat, prepare_chat
from ...streaming.errors import ServingError
from ...streaming.events import Event, Finished
from ...streaming.generation import Generation
from ..anthropic import shapes as ashapes
from ..anthropic.fields import COUNT_TOKENS, MESSAGES
from ..anthropic.messages_input import ChatRequest, chat_request, holds_images
from ..anthropic.shapes import MessageHead
from ..openai.shapes import PromptCount
from ..state import ApiError, Serving, field_of, metrics, read_json_object, serving
from .generating import begin, begin_patiently, count_prompt, event_stream, prepared, requested_model, requested_pool, \
    settled, stream_body

__all__ = ["messages", "count_tokens"]


def _chat(state: Serving, body: Mapping[str, Any], fields: Any, counting: bool = False) -> ChatRequest:
    try:
        fields.check(body)
        return chat_request(body, counting=counting, max_stop=state.settings.limits.max_stop)
    except ServingError as exc:
        raise ApiError.of(exc) from None


async def messages(request: Request) -> Response:
    state = serving(request)
    body = await read_json_object(request)
    model = requested_model(state, body)
    stream = field_of(body, "stream", bool, False)
    chat = _chat(state, body, MESSAGES)
    pool = await requested_pool(request, model, body)
    generation = await prepared(state, lambda: pool.chat(
        chat.messages, acquire_timeout=state.settings.wait_timeout, limits=state.settings.limits,
        cache_scope=getattr(request.state, "api_key_id", None), allow_empty=True, interactive=stream,
        **chat.options),
        holds_images(chat.messages))
    head = MessageHead(ashapes.new_message_id(), model, chat.show_thinking)
    if stream:
        first = await begin_patiently(request, generation, state.settings.ping_interval)
        if first is None:
            return Response(status_code=499)
        return event_stream(_stream(state, generation, first, head, request, model), generation,
                            state.settings.send_timeout)
    outcome = await begin(request, generation, False)
    if outcome is None:
        return Response(status_code=499)
    assert isinstance(outcome, Finished)
    finished = settled(outcome)
    problem = ashapes.failure(finished)
    if problem is not None:   # an answer this API cannot carry
        raise ApiError(500, problem[1], "server_error", "unusable_answer")
    prompt = await count_prompt(state, generation, model).of(finished)
    return JSONResponse(ashapes.message(head, finished, prompt))


async def _stream(state: Serving, generation: Generation, first: asyncio.Future[Event], head: MessageHead,
                  request: Request, model: str) -> AsyncIterator[str]:
    builder = ashapes.StreamEvents(head)
    meter = metrics(request)
    try:
        # Counted once the first event is out (never beside the prompt's evaluation), unless the first event
        # is slow: then message_start cannot wait for it, and a count is cheap beside a long evaluation (if
        # the run has not begun yet, what its context holds is unknown: message_delta gives the split).
        counted = count_prompt(state, generation, model)
        yield ashapes.sse_event(builder.start(await counted.holding(generation.reused_messages)))
        while not first.done():
            await asyncio.wait({first}, timeout=state.settings.ping_interval)
            if not first.done():
                yield ashapes.sse_event(ashapes.PING)
        try:
            event = first.result()
        except ServingError as exc:
            yield ashapes.sse_event(ashapes.error_reply(exc.http_status, exc.message)[1])
            return
        if isinstance(event, Finished):
            meter.finished(event)   # stream_body counts the ends after the first

        def frames(event: Event, prompt: PromptCount) -> list[dict[str, Any]]:
            return builder.finish(event, prompt) if isinstance(event, Finished) else builder.add(event)

        async for text in stream_body(generation, event, counted, frames, meter, builder.fail, ashapes.sse_event,
                                      done=""):
            yield text
    finally:
        first.cancel()   # a no-op once it is done
        await generation.aclose()


async def count_tokens(request: Request) -> Response:
    state = serving(request)
    body = await read_json_object(request)
    model = requested_model(state, body)
    counter = state.counter(model)
    if counter is None or not counter.has_chat_template:
        raise ApiError(404, "token counting needs the model's tokenizer and its chat template: this server was "
                       "started without them (serve --tokenizer PATH)", "invalid_request_error", "no_tokenizer")
    chat = _chat(state, body, COUNT_TOKENS, counting=True)
    # The model is loaded as for a generation: the same checks (images without a projector refused).
    pool = await requested_pool(request, model, body)

    def prepare() -> PreparedChat:
        return prepare_chat(chat.messages, limits=state.settings.limits, vision=pool.vision,
                            allow_empty=True, **chat.options)

    try:   # what a generation of the same request would run, images checked off the event loop
        checked = await state.off_loop(prepare) if holds_images(chat.messages) else prepare()
    except ServingError as exc:
        raise ApiError.of(exc) from None
    try:
        tokens = await asyncio.to_thread(counter.count_chat, checked.messages, checked.tools,
                                         bool(checked.run_kwargs.get("enable_think")))
    except Exception as exc:   # a template that cannot render this request
        raise ApiError(400, f"the chat template cannot render this request: {exc}") from None
    return JSONResponse(ashapes.tokens_count(tokens))
