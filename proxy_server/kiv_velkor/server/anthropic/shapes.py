"""Anthropic's Messages API shapes built from the layer's events: pure code,
no I/O (the routes send what these return).

A message's content is, in order: a ``thinking`` block (when the model
reasoned), a ``text`` block (when it wrote an answer, or when there would be
no block at all) and one ``tool_use`` block per tool call. A stream tells the
same in Anthropic's event order: ``message_start``, then per block
``content_block_start``, its deltas (``thinking_delta``, ``text_delta``,
``input_json_delta``) and ``content_block_stop``; then ``message_delta`` with
the stop reason and the usage, and ``message_stop``. ``ping`` keeps a stream
alive while its first token is pending; an ``error`` event ends a stream
that cannot finish.

Usage follows Anthropic's reckoning: ``input_tokens`` are the prompt tokens
computed for this request, ``cache_read_input_tokens`` those its context held
already (the conversation cache); together they are the whole prompt. The
server signs no thinking: a thinking block's ``signature`` is empty.
"""

from __future__ import annotations

import json
import secrets
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from ...streaming.events import Event, Finished, PieceKind, TextPiece, ToolCall
from ..openai.shapes import PromptCount

__all__ = ["MessageHead", "new_message_id", "error_body", "error_reply", "usage", "stop_reason", "failure",
           "tool_input", "message", "tokens_count", "StreamEvents", "PING", "sse_event"]

PING = {"type": "ping"}

# Anthropic's error type of each status this server answers; any other 5xx is an api_error.
_ERROR_TYPES = {400: "invalid_request_error", 401: "authentication_error", 403: "permission_error",
                404: "not_found_error", 429: "rate_limit_error", 500: "api_error", 504: "timeout_error",
                529: "overloaded_error"}
# The stop reason of each way a run ends normally (a stop sequence is told apart by the text it stopped at).
_STOP_REASONS = {"stop": "end_turn", "length": "max_tokens", "tool_calls": "tool_use"}


def new_message_id() -> str:
    return f"msg_{secrets.token_hex(12)}"


@dataclass(frozen=True)
class MessageHead:
    """What every shape of one message repeats; ``show_thinking`` False leaves the thinking text out
    (``thinking.display`` "omitted")."""

    id: str
    model: str
    show_thinking: bool = True


def error_body(error_type: str, message: str) -> dict[str, Any]:
    return {"type": "error", "error": {"type": error_type, "message": message}}


def error_reply(status: int, message: str) -> tuple[int, dict[str, Any]]:
    """The status and body of an error the server answers with ``status``: a server that is busy, loading
    or stopping (503) is overloaded in Anthropic's terms (529, which clients try again)."""
    if status == 503:
        status = 529
    kind = _ERROR_TYPES.get(status) or ("api_error" if status >= 500 else "invalid_request_error")
    return status, error_body(kind, message)


def usage(prompt: PromptCount, output_tokens: int = 0, thinking_tokens: int | None = None) -> dict[str, Any]:
    cached = min(prompt.cached or 0, prompt.tokens)
    body: dict[str, Any] = {"input_tokens": prompt.tokens - cached, "cache_creation_input_tokens": 0,
                            "cache_read_input_tokens": cached, "output_tokens": output_tokens}
    if thinking_tokens is not None:
        body["output_tokens_details"] = {"thinking_tokens": thinking_tokens}
    return body


def _final_usage(finished: Finished, prompt: PromptCount) -> dict[str, Any]:
    return usage(prompt, finished.usage.completion_tokens, finished.usage.reasoning_tokens)


def stop_reason(finished: Finished) -> dict[str, Any]:
    """``stop_reason`` and ``stop_sequence`` of a run that finished."""
    if finished.stop_sequence is not None:
        return {"stop_reason": "stop_sequence", "stop_sequence": finished.stop_sequence}
    return {"stop_reason": _STOP_REASONS[finished.finish_reason], "stop_sequence": None}


def tool_input(arguments: str) -> dict[str, Any] | None:
    """A tool call's arguments as the ``input`` object of a ``tool_use`` block; None when they are no
    JSON object (no arguments at all are an empty one)."""
    if not arguments.strip():
        return {}
    try:
        value = json.loads(arguments)
    except ValueError:
        return None
    return value if isinstance(value, dict) else None


def failure(finished: Finished) -> tuple[str, str] | None:
    """The error type and message of a run that could not finish, or whose answer this API cannot carry
    (a tool call whose arguments are no JSON object); None for one that can be answered."""
    if finished.finish_reason == "cancelled":
        return "overloaded_error", "the generation was cancelled (the server is stopping)"
    if finished.finish_reason == "error":
        return "api_error", finished.error or "the runtime failed"
    for call in finished.tool_calls:
        if tool_input(call.arguments) is None:
            return "api_error", f"the model called {call.name} with arguments that are no JSON object"
    return None


def _thinking(text: str) -> dict[str, Any]:
    return {"type": "thinking", "thinking": text, "signature": ""}


def _tool_use(call: ToolCall, given: dict[str, Any]) -> dict[str, Any]:
    return {"type": "tool_use", "id": call.id, "name": call.name, "input": given}


def message(head: MessageHead, finished: Finished, prompt: PromptCount) -> dict[str, Any]:
    """The whole message of a run that finished (see :func:`failure` first)."""
    content: list[dict[str, Any]] = []
    if finished.reasoning:
        content.append(_thinking(finished.reasoning if head.show_thinking else ""))
    if finished.text or not finished.tool_calls:
        content.append({"type": "text", "text": finished.text})
    for call in finished.tool_calls:
        content.append(_tool_use(call, tool_input(call.arguments) or {}))
    return {"id": head.id, "type": "message", "role": "assistant", "model": head.model, "content": content,
            **stop_reason(finished), "usage": _final_usage(finished, prompt)}


def tokens_count(tokens: int) -> dict[str, Any]:
    return {"input_tokens": tokens}


def sse_event(data: Mapping[str, Any]) -> str:
    """One server-sent event named by its type, as Anthropic sends them (its clients read only named events)."""
    return f"event: {data['type']}\ndata: {json.dumps(data, ensure_ascii=False, separators=(',', ':'))}\n\n"


class StreamEvents:
    """The events of one streamed message, from the layer's events (each call returns the next few)."""

    def __init__(self, head: MessageHead) -> None:
        self._head = head
        self._blocks = 0                        # blocks started so far
        self._open: PieceKind | None = None     # the kind of the text block still open
        self.ended = False                      # the stream's last event is made

    def start(self, prompt: PromptCount) -> dict[str, Any]:
        """``message_start``: the message without content, and the prompt's usage."""
        shell: dict[str, Any] = {"id": self._head.id, "type": "message", "role": "assistant",
                                 "model": self._head.model, "content": [], "stop_reason": None,
                                 "stop_sequence": None, "usage": usage(prompt)}
        return {"type": "message_start", "message": shell}

    def add(self, event: Event) -> list[dict[str, Any]]:
        """What a text piece or a tool call adds; the final event goes to :meth:`finish`."""
        if self.ended:
            return []
        if isinstance(event, TextPiece) and event.kind is not PieceKind.TOOL_TEXT:
            return self._text(event.kind, event.text)
        if isinstance(event, ToolCall):
            given = tool_input(event.arguments)
            if given is None:
                return self._close() + self.fail(f"the model called {event.name} with arguments that are no "
                                                 "JSON object")
            closed = self._close()
            index = self._blocks
            self._blocks += 1
            return closed + [
                {"type": "content_block_start", "index": index, "content_block": _tool_use(event, {})},
                {"type": "content_block_delta", "index": index,
                 "delta": {"type": "input_json_delta", "partial_json": json.dumps(given, ensure_ascii=False)}},
                {"type": "content_block_stop", "index": index}]
        return []

    def _text(self, kind: PieceKind, text: str) -> list[dict[str, Any]]:
        events: list[dict[str, Any]] = []
        thinking = kind is PieceKind.REASONING
        if self._open is not kind:
            events = self._close() + [self._begin(_thinking("") if thinking else {"type": "text", "text": ""})]
            self._open = kind
        if thinking and not self._head.show_thinking:
            return events
        delta = {"type": "thinking_delta", "thinking": text} if thinking else {"type": "text_delta", "text": text}
        events.append({"type": "content_block_delta", "index": self._blocks - 1, "delta": delta})
        return events

    def _begin(self, block: dict[str, Any]) -> dict[str, Any]:
        self._blocks += 1
        return {"type": "content_block_start", "index": self._blocks - 1, "content_block": block}

    def _close(self) -> list[dict[str, Any]]:
        if self._open is None:
            return []
        self._open = None
        return [{"type": "content_block_stop", "index": self._blocks - 1}]

    def finish(self, finished: Finished, prompt: PromptCount) -> list[dict[str, Any]]:
        """The end of a run: ``message_delta`` and ``message_stop``, or an ``error`` when it could not finish."""
        if self.ended:
            return []
        problem = failure(finished)
        if problem is not None:
            return self._close() + self.fail(problem[1], problem[0])
        events = self._close()
        if self._blocks == 0:   # a message always has a block, as the whole answer has
            events += [self._begin({"type": "text", "text": ""}), {"type": "content_block_stop", "index": 0}]
        self.ended = True
        return events + [{"type": "message_delta", "delta": stop_reason(finished),
                          "usage": _final_usage(finished, prompt)},
                         {"type": "message_stop"}]

    def fail(self, message: str, error_type: str = "api_error") -> list[dict[str, Any]]:
        """The ``error`` event that ends a stream which cannot finish."""
        if self.ended:
            return []
        self.ended = True
        return [error_body(error_type, message)]
