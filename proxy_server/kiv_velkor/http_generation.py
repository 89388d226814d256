"""What the generating routes share (chat, completions, responses): the model
and stream options they check, a generation made (off the event loop when it
decodes images) and started while the client's hang-up is watched, the prompt
counted, the whole answer or the event stream, and the metrics of its end."""

from __future__ import annotations

import asyncio
from collections.abc import AsyncIterator, Callable, Iterable, Mapping
from typing import Any

from starlette.requests import Request
from starlette.responses import JSONResponse, Response

from .errors import ServingError
from .events import Event, Finished
from .generation import Generation
from .http_stream import EventStream, HangupWatch
from .metrics import Metrics
from .openai_shapes import NOT_COUNTED, SSE_DONE, PromptCount, failure, sse
from .prompt_tokens import PromptCounter
from .server_common import ApiError, Serving, field_of, metrics

__all__ = ["requested_model", "stream_options", "prepared", "respond", "begin", "count_prompt", "PromptTally",
           "settled", "stream_body", "event_stream", "Frames"]

Frames = Callable[[Event, PromptCount], Iterable[Mapping[str, Any]]]


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


async def prepared(state: Serving, make: Callable[[], Generation], decodes_images: bool = False) -> Generation:
    """The request checked and made into a generation (not started); images are decoded on a thread."""
    try:
        return await state.off_loop(make) if decodes_images else make()
    except ServingError as exc:
        raise ApiError.of(exc) from None


async def begin(request: Request, generation: Generation, stream: bool) -> Event | Finished | None:
    """Starts the generation and waits for its first event (a stream) or its end; None when the client hung
    up meanwhile (the generation is cancelled at once, whether it waited for a context or ran)."""
    async with HangupWatch(request.receive, generation.cancel) as watch:
        try:
            await generation.astart()
            outcome = await (generation.__anext__() if stream else generation.acollect())
        except ServingError as exc:
            raise ApiError.of(exc) from None
    if isinstance(outcome, Finished):
        metrics(request).finished(outcome)
    return None if watch.gone else outcome


class PromptTally:
    """A generation's prompt count: its tokens, counted off the event loop from the start, and once it has
    ended, those its context held already (the conversation cache)."""

    def __init__(self, counter: PromptCounter | None, generation: Generation) -> None:
        self._counter = counter
        self._request = generation.request
        self._tokens = asyncio.ensure_future(asyncio.to_thread(self._count)) if counter is not None else None

    def _count(self, upto: int | None = None) -> int:
        assert self._counter is not None
        request, kwargs = self._request, self._request.run_kwargs
        try:
            if not kwargs.get("messages_mode"):
                return self._counter.count_text(str(kwargs["prompt_input"]))
            messages = request.messages or []
            return self._counter.count_chat(messages if upto is None else messages[:upto], request.tools,
                                            bool(kwargs.get("enable_think")), generation_prompt=upto is None)
        except Exception:   # a template that cannot render this request: no count rather than no answer
            return 0

    async def of(self, finished: Finished) -> PromptCount:
        if self._tokens is None:
            return NOT_COUNTED
        tokens = await self._tokens
        reused = finished.reused_messages
        if not reused:
            return PromptCount(tokens, reused)
        held = await asyncio.to_thread(self._count, reused)
        return PromptCount(tokens, min(held, tokens))


def count_prompt(state: Serving, generation: Generation) -> PromptTally:
    """Starts counting the prompt of ``generation`` (0 without a tokenizer). Streams call it once the first
    piece is out: never beside the prompt's evaluation."""
    return PromptTally(state.counter, generation)


def settled(finished: Finished) -> Finished:
    """The final event of a generation that finished; one that could not is an OpenAI error (500, or 503
    when the server stopped it)."""
    error = failure(finished)
    if error is not None:
        body = error["error"]
        raise ApiError(503 if finished.finish_reason == "cancelled" else 500, body["message"], body["type"],
                       body["code"])
    return finished


async def stream_body(generation: Generation, first: Event, counted: PromptTally, frames: Frames,
                      meter: Metrics, failed: Callable[[str], Iterable[Mapping[str, Any]]] | None = None,
                      framing: Callable[[Mapping[str, Any]], str] = sse, done: str = SSE_DONE) -> AsyncIterator[str]:
    """The server-sent events of a generation: ``frames`` makes each event's data (the final event's with the
    prompt tokens); a failure after the response started ends it with ``failed``'s data (default: OpenAI's
    error body). Leaving it early (the client went away, the server stops) cancels the generation."""
    try:
        async for event in _events_from(first, generation):
            if isinstance(event, Finished) and event is not first:   # a first end is counted already
                meter.finished(event)
            for data in frames(event, await counted.of(event) if isinstance(event, Finished) else NOT_COUNTED):
                yield framing(data)
    except ServingError as exc:
        for data in failed(exc.message) if failed else [ApiError.of(exc).body()]:
            yield framing(data)
    finally:
        await generation.aclose()
    if done:
        yield done


async def _events_from(first: Event, generation: Generation) -> AsyncIterator[Event]:
    yield first
    async for event in generation:
        yield event


Streamed = Callable[[Event, PromptTally], AsyncIterator[str]]
Whole = Callable[[Finished, PromptCount], Mapping[str, Any]]


async def respond(request: Request, state: Serving, generation: Generation, stream: bool, streamed: Streamed,
                  whole: Whole) -> Response:
    """Runs a prepared generation and answers: the event stream ``streamed`` makes from its first event, or
    the body ``whole`` makes of its end; nothing (499 in the log) to a client that hung up meanwhile."""
    outcome = await begin(request, generation, stream)
    if outcome is None:
        return Response(status_code=499)
    counted = count_prompt(state, generation)
    if stream:
        return event_stream(streamed(outcome, counted), generation)
    assert isinstance(outcome, Finished)
    finished = settled(outcome)
    return JSONResponse(whole(finished, await counted.of(finished)))


def event_stream(body: AsyncIterator[str], generation: Generation) -> EventStream:
    """The response carrying ``body``: it stops writing, and cancels the generation, the moment the client
    hangs up; lines ready at once go out in one write."""
    return EventStream(body, generation.cancel, lambda: generation.queued > 0)
