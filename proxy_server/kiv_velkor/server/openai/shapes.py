"""OpenAI's response shapes built from the layer's events: pure functions of
plain values, no server, no I/O (the routes send what these return).

Chat and text completions and their stream chunks, usage, tool calls,
models, error bodies, and the server-sent-event framing (transcriptions:
:mod:`.speech_shapes`). Every shape is one of OpenAI's published schemas: the
layer's ``"cancelled"`` and ``"error"`` endings never appear as a finish
reason (a run that could not finish ends its stream with an error body).
"""

from __future__ import annotations

import json
from collections.abc import Iterator, Mapping
from typing import Any, NamedTuple

from ...streaming.conversations import reply_message
from ...streaming.events import Event, Finished, PieceKind, TextPiece, ToolCall

__all__ = ["PromptCount", "NOT_COUNTED", "SSE_DONE", "sse", "error_body", "usage", "tool_call", "finish_reason", "failure", "completion", "chunk",
           "usage_chunk", "stream_chunks", "final_chunks", "text_completion", "model_card", "model_list"]

SSE_DONE = "data: [DONE]\n\n"


def sse(data: Mapping[str, Any]) -> str:
    """One server-sent event carrying ``data`` as compact JSON."""
    return f"data: {json.dumps(data, ensure_ascii=False, separators=(',', ':'))}\n\n"


def error_body(message: str, error_type: str = "invalid_request_error", param: str | None = None,
               code: str | None = None) -> dict[str, Any]:
    return {"error": {"message": message, "type": error_type, "param": param, "code": code}}


class PromptCount(NamedTuple):
    """A request's prompt tokens, 0 when the server has no tokenizer of the model (the runtimes do not count
    them); ``cached``: those its context held already (the conversation cache), when counted."""

    tokens: int = 0
    cached: int | None = None


NOT_COUNTED = PromptCount()


def usage(finished: Finished, prompt: PromptCount = NOT_COUNTED) -> dict[str, Any]:
    completion_tokens = finished.usage.completion_tokens
    body: dict[str, Any] = {
        "prompt_tokens": prompt.tokens, "completion_tokens": completion_tokens,
        "total_tokens": prompt.tokens + completion_tokens,
        "completion_tokens_details": {"reasoning_tokens": finished.usage.reasoning_tokens}}
    if prompt.cached is not None:
        body["prompt_tokens_details"] = {"cached_tokens": prompt.cached}
    return body


def tool_call(call: ToolCall) -> dict[str, Any]:
    return {"id": call.id, "type": "function", "function": {"name": call.name, "arguments": call.arguments}}


def finish_reason(finished: Finished) -> str:
    """OpenAI's finish reason of a run that finished; a cancelled run ended where it was, as at a length limit."""
    return "length" if finished.finish_reason == "cancelled" else finished.finish_reason


def failure(finished: Finished) -> dict[str, Any] | None:
    """The error body of a run that could not finish (None when it finished): a runtime failure, an
    answer that broke the request's demands, or a run cancelled by the server's shutdown."""
    if finished.finish_reason == "error":
        return error_body(finished.error or "the runtime failed", "server_error", code="generation_failed")
    if finished.finish_reason == "cancelled":
        return error_body("the generation was cancelled (the server is stopping)", "server_error",
                          code="cancelled")
    return None


def completion(cid: str, created: int, model: str, finished: Finished, prompt: PromptCount = NOT_COUNTED) -> dict[str, Any]:
    """A whole ``chat.completion`` from the final event."""
    message = {**reply_message(finished), "refusal": None}
    return {"id": cid, "object": "chat.completion", "created": created, "model": model,
            "choices": [{"index": 0, "message": message, "finish_reason": finish_reason(finished),
                         "logprobs": None}],
            "usage": usage(finished, prompt)}


def chunk(cid: str, created: int, model: str, delta: dict[str, Any], finish_reason: str | None = None
          ) -> dict[str, Any]:
    """One ``chat.completion.chunk`` with one choice."""
    return {"id": cid, "object": "chat.completion.chunk", "created": created, "model": model,
            "choices": [{"index": 0, "delta": delta, "finish_reason": finish_reason, "logprobs": None}]}


def usage_chunk(cid: str, created: int, model: str, finished: Finished, prompt: PromptCount = NOT_COUNTED) -> dict[str, Any]:
    """The last chunk of a stream that asked for usage: no choices, the usage."""
    return {"id": cid, "object": "chat.completion.chunk", "created": created, "model": model, "choices": [],
            "usage": usage(finished, prompt)}


def stream_chunks(event: Event, cid: str, created: int, model: str) -> Iterator[dict[str, Any]]:
    """What a piece or a tool call becomes in a chat stream (possibly nothing)."""
    if isinstance(event, TextPiece):
        if event.kind is PieceKind.ANSWER:
            yield chunk(cid, created, model, {"content": event.text})
        elif event.kind is PieceKind.REASONING:
            yield chunk(cid, created, model, {"reasoning_content": event.text})
    elif isinstance(event, ToolCall):
        yield chunk(cid, created, model, {"tool_calls": [{"index": event.index, **tool_call(event)}]})


def final_chunks(finished: Finished, cid: str, created: int, model: str, include_usage: bool,
                 prompt: PromptCount = NOT_COUNTED) -> Iterator[dict[str, Any]]:
    """The end of a chat stream: the finish reason (and the usage), or the error of a run that could not finish."""
    error = failure(finished)
    if error is not None:
        yield error
        return
    yield chunk(cid, created, model, {}, finish_reason(finished))
    if include_usage:
        yield usage_chunk(cid, created, model, finished, prompt)


def text_completion(cid: str, created: int, model: str, text: str, reason: str | None,
                    finished: Finished | None = None, prompt: PromptCount = NOT_COUNTED) -> dict[str, Any]:
    """A ``text_completion`` (whole, or one chunk of a stream: then ``reason`` is None until the last)."""
    body: dict[str, Any] = {"id": cid, "object": "text_completion", "created": created, "model": model,
                            "choices": [{"index": 0, "text": text, "finish_reason": reason, "logprobs": None}]}
    if finished is not None:
        body["usage"] = usage(finished, prompt)
    return body


def model_card(model_id: str, created: int, status: Mapping[str, Any] | None = None) -> dict[str, Any]:
    """OpenAI's model object; ``status`` (the model's state, a field OpenAI's clients ignore) when given."""
    card: dict[str, Any] = {"id": model_id, "object": "model", "created": created, "owned_by": "kiv"}
    if status is not None:
        card["status"] = dict(status)
    return card


def model_list(model_ids: list[str], created: int,
               statuses: Mapping[str, Mapping[str, Any]] | None = None) -> dict[str, Any]:
    return {"object": "list", "data": [model_card(m, created, (statuses or {}).get(m)) for m in model_ids]}

