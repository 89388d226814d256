"""OpenAI's response shapes built from the layer's events: pure functions of
plain values, no server, no I/O (the routes send what these return).

Chat completions and their stream chunks, usage, tool calls, models, error
bodies, and the server-sent-event framing (transcriptions: :mod:`.speech_shapes`).
"""

from __future__ import annotations

import json
from collections.abc import Iterator, Mapping
from typing import Any

from .conversations import reply_message
from .events import Event, Finished, PieceKind, TextPiece, ToolCall

__all__ = ["SSE_DONE", "sse", "error_body", "stream_error", "usage", "tool_call", "completion", "chunk", "usage_chunk",
           "stream_chunks", "model_card", "model_list"]

SSE_DONE = "data: [DONE]\n\n"


def sse(data: Mapping[str, Any]) -> str:
    """One server-sent event carrying ``data`` as compact JSON."""
    return f"data: {json.dumps(data, ensure_ascii=False, separators=(',', ':'))}\n\n"


def error_body(message: str, error_type: str = "invalid_request_error", param: str | None = None,
               code: str | None = None) -> dict[str, Any]:
    return {"error": {"message": message, "type": error_type, "param": param, "code": code}}


def stream_error(message: str, code: str) -> dict[str, Any]:
    """The event that ends a stream the server could not finish (a runtime failure after output, the
    server stopping): OpenAI's error body, which clients raise as an error."""
    return error_body(message, "server_error", None, code)


def usage(finished: Finished) -> dict[str, Any]:
    # The runtimes do not count prompt tokens: those stay null rather than a guess.
    return {"prompt_tokens": None, "completion_tokens": finished.usage.completion_tokens, "total_tokens": None}


def tool_call(call: ToolCall) -> dict[str, Any]:
    return {"id": call.id, "type": "function", "function": {"name": call.name, "arguments": call.arguments}}


def completion(cid: str, created: int, model: str, finished: Finished) -> dict[str, Any]:
    """A whole ``chat.completion`` from the final event."""
    message = reply_message(finished)
    return {"id": cid, "object": "chat.completion", "created": created, "model": model,
            "choices": [{"index": 0, "message": message, "finish_reason": finished.finish_reason, "logprobs": None}],
            "usage": usage(finished)}


def chunk(cid: str, created: int, model: str, delta: dict[str, Any], finish_reason: str | None = None
          ) -> dict[str, Any]:
    """One ``chat.completion.chunk`` with one choice."""
    return {"id": cid, "object": "chat.completion.chunk", "created": created, "model": model,
            "choices": [{"index": 0, "delta": delta, "finish_reason": finish_reason, "logprobs": None}]}


def usage_chunk(cid: str, created: int, model: str, finished: Finished) -> dict[str, Any]:
    """The last chunk of a stream that asked for usage: no choices, the usage."""
    return {"id": cid, "object": "chat.completion.chunk", "created": created, "model": model, "choices": [],
            "usage": usage(finished)}


def stream_chunks(event: Event, cid: str, created: int, model: str, include_usage: bool = False
                  ) -> Iterator[dict[str, Any]]:
    """What one event of a generation becomes in a chat stream (possibly nothing)."""
    if isinstance(event, TextPiece):
        if event.kind is PieceKind.ANSWER:
            yield chunk(cid, created, model, {"content": event.text})
        elif event.kind is PieceKind.REASONING:
            yield chunk(cid, created, model, {"reasoning_content": event.text})
    elif isinstance(event, ToolCall):
        yield chunk(cid, created, model, {"tool_calls": [{"index": event.index, **tool_call(event)}]})
    elif isinstance(event, Finished):
        if event.finish_reason == "error":
            yield stream_error(event.error or "the runtime failed", "generation_failed")
            return
        if event.finish_reason == "cancelled":   # a client that hung up reads nothing: the server stops
            yield stream_error("the generation was cancelled (the server is stopping)", "cancelled")
            return
        yield chunk(cid, created, model, {}, event.finish_reason)
        if include_usage:
            yield usage_chunk(cid, created, model, event)


def model_card(model_id: str, created: int) -> dict[str, Any]:
    return {"id": model_id, "object": "model", "created": created, "owned_by": "kiv"}


def model_list(model_ids: list[str], created: int) -> dict[str, Any]:
    return {"object": "list", "data": [model_card(m, created) for m in model_ids]}

