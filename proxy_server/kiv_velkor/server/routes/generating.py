"""What the generating routes share (chat, completions, responses, messages):
the model and stream options they check, a generation made (off the event
loop when it decodes images) and started while the client's hang-up is
watched, the prompt counted, the whole answer or the event stream, and the
metrics of its end."""

from __future__ import annotations

import asyncio
import time
from collections.abc import AsyncIterator, Callable, Iterable, Mapping
from typing import Any

from starlette.requests import Request
from starlette.responses import JSONResponse, Response

from ...streaming.errors import ServingError
from ...streaming.events import Event, Finished
from ...streaming.generation import Generation
from ...streaming.models import DEFAULT_KEEP_ALIVE
from ...streaming.pool import ModelPool
from ...streaming.request.prompt_tokens import PromptCounter
from ..http.stream import EventStream, HangupWatch
from ..metrics import Metrics
from ..openai.fields import keep_alive_of
from ..openai.shapes import NOT_COUNTED, SSE_DONE, PromptCount, failure, sse
from ..state import ApiError, Serving, field_of, metrics, model_pool

__all__ = ["requested_model", "requested_pool", "check_context_size", "stream_options", "prepared", "respond",
           "begin", "begin_patiently", "count_prompt",
           "PromptTally", "settled", "stream_body", "event_stream", "Frames"]

Frames = Callable[[Event, PromptCount], Iterable[Mapping[str, Any]]]


def requested_model(state: Serving, body: Mapping[str, Any]) -> str:
    """The language model the request names: a 400 without one, a 404 for one the server does not have
    (nothing is loaded yet: :func:`requested_pool` loads it once the request is checked)."""
    model = field_of(body, "model", str)
    if model is None:
        raise ApiError(400, "model is required", param="model")
    chat = state.models.names("chat")
    if model not in chat:
        known = ", ".join(repr(m) for m in chat)
        raise ApiError(404, f"The model '{model}' does not exist; this server has {known}" if model not in
                       state.model_ids() else f"The model '{model}' is a speech model; the chat models are {known}",
                       code="model_not_found", param="model")
    return str(model)


async def requested_pool(request: Request, model: str, body: Mapping[str, Any]) -> ModelPool:
    """The pool of the request's model, loaded (the request waits, bounded, while it loads) and held until
    the request is answered; the body's ``keep_alive`` (Ollama's) sets how long it stays loaded after."""
    given = body.get("keep_alive")
    return await model_pool(request, model, DEFAULT_KEEP_ALIVE if given is None else keep_alive_of(given))


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
            await _start(request, generation)
            outcome = await (generation.__anext__() if stream else generation.acollect())
        except ServingError as exc:
            raise ApiError.of(exc) from None
    if isinstance(outcome, Finished):
        metrics(request).finished(outcome)
    return None if watch.gone else outcome


def check_context_size(body: Mapping[str, Any], pool: ModelPool) -> None:
    """``num_ctx`` (another server's option) asks for nothing only when it is the model's own size: the size
    is set when the model is loaded."""
    asked = body.get("num_ctx")
    if asked is not None and asked != pool.context_size:
        raise ApiError(400, f"num_ctx is not supported by this server: each context of this model holds "
                       f"{pool.context_size or 'the runtime default of'} tokens, set when it is loaded (serve "
                       "--ctx-size)", param="num_ctx")


async def _start(request: Request, generation: Generation) -> None:
    """Starts the generation; how long it waited for a context goes to the metrics."""
    waited = time.monotonic()
    await generation.astart()
    metrics(request).queue_wait.observe(time.monotonic() - waited)


async def begin_patiently(request: Request, generation: Generation, patience: float) -> asyncio.Future[Event] | None:
    """Starts the generation and waits up to ``patience`` seconds for its first event: the future of that
    event, done when it came in time (a failure then is answered with its status, as :func:`begin` does),
    else still pending for a stream that opens meanwhile; None when the client hung up (the generation is
    cancelled at once). The caller owns the future: it cancels it if it leaves before the event."""
    async with HangupWatch(request.receive, generation.cancel) as watch:
        try:
            await _start(request, generation)
        except ServingError as exc:
            raise ApiError.of(exc) from None
        # A task of its own: a wait that times out must not cancel the generation's iteration.
        first = asyncio.ensure_future(generation.__anext__())
        await asyncio.wait({first}, timeout=patience)
    if watch.gone:
        first.cancel()
        await generation.aclose()
        return None
    error = first.exception() if first.done() else None
    if isinstance(error, ServingError):
        raise ApiError.of(error) from None
    return first


class PromptTally:
    """A generation's prompt count: its tokens, counted off the event loop from the start, and once it has
    ended, those its context held already (the conversation cache)."""

    def __init__(self, counter: PromptCounter | None, generation: Generation) -> None:
        self._counter = counter
        self._request = generation.request
        self._tokens = asyncio.ensure_future(asyncio.to_thread(self._count)) if counter is not None else None
        self._held: dict[int, int] = {}   # the tokens of the first n messages, once counted

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
        return await self.holding(finished.reused_messages)

    async def holding(self, reused: int | None) -> PromptCount:
        """The count, of which the ``reused`` messages its context held already (None: not known)."""
        if self._tokens is None:
            return NOT_COUNTED
        tokens = await self._tokens
        if not reused:
            return PromptCount(tokens, reused)
        if reused not in self._held:
            self._held[reused] = await asyncio.to_thread(self._count, reused)
        return PromptCount(tokens, min(self._held[reused], tokens))


def count_prompt(state: Serving, generation: Generation, model: str) -> PromptTally:
    """Starts counting the prompt of ``generation`` (0 without a tokenizer of ``model``). Streams call it once
    the first piece is out: never beside the prompt's evaluation."""
    return PromptTally(state.counter(model), generation)


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
                  whole: Whole, *, model: str) -> Response:
    """Runs a prepared generation of ``model`` and answers: the event stream ``streamed`` makes from its first
    event, or the body ``whole`` makes of its end; nothing (499 in the log) to a client that hung up meanwhile."""
    outcome = await begin(request, generation, stream)
    if outcome is None:
        return Response(status_code=499)
    counted = count_prompt(state, generation, model)
    if stream:
        return event_stream(streamed(outcome, counted), generation, state.settings.send_timeout)
    assert isinstance(outcome, Finished)
    finished = settled(outcome)
    return JSONResponse(whole(finished, await counted.of(finished)))


def event_stream(body: AsyncIterator[str], generation: Generation, send_timeout: float | None = None) -> EventStream:
    """The response carrying ``body``: it stops writing, and cancels the generation, the moment the client
    hangs up or leaves data unread for ``send_timeout`` seconds; lines ready at once go out in one write."""
    return EventStream(body, generation.cancel, lambda: generation.queued > 0, send_timeout=send_timeout)
