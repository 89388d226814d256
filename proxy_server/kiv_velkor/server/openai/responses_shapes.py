"""The Responses API's shapes built from the layer's events: pure code, no I/O.

A response's output is, in order: a ``reasoning`` item (when the model
reasoned), a ``message`` item with one ``output_text`` part (when it wrote
an answer) and one ``function_call`` item per tool call. A stream tells the
same in OpenAI's event sequence: ``response.created``,
``response.in_progress``, then per item ``response.output_item.added``,
its deltas (``response.reasoning_text.delta``, ``response.content_part.added``
and ``response.output_text.delta``, ``response.function_call_arguments.delta``)
and their ends, ``response.output_item.done``; and last
``response.completed`` (``response.incomplete`` at ``max_output_tokens``,
``response.failed`` when the run could not finish). Every event carries its
``sequence_number``.
"""

from __future__ import annotations

import json
import secrets
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

from ...streaming.events import Event, Finished, PieceKind, TextPiece, ToolCall
from .shapes import PromptCount

__all__ = ["new_id", "ResponseHead", "response", "output_items", "usage", "StreamEvents", "sse_event"]


def new_id(prefix: str) -> str:
    return f"{prefix}_{secrets.token_hex(12)}"


@dataclass(frozen=True)
class ResponseHead:
    """What every shape of one response repeats: its id, time, model and the request's settings."""

    id: str
    created_at: int
    model: str
    settings: Mapping[str, Any]   # instructions, tools, tool_choice, text, ... as the response reports them


def usage(finished: Finished, prompt: PromptCount) -> dict[str, Any]:
    output = finished.usage.completion_tokens
    return {"input_tokens": prompt.tokens,
            "input_tokens_details": {"cached_tokens": prompt.cached or 0, "cache_write_tokens": 0},
            "output_tokens": output, "output_tokens_details": {"reasoning_tokens": finished.usage.reasoning_tokens},
            "total_tokens": prompt.tokens + output}


def response(head: ResponseHead, status: str, output: list[dict[str, Any]], usage: dict[str, Any] | None = None,
             error: str | None = None) -> dict[str, Any]:
    """The response object: ``status`` in_progress, completed, incomplete or failed."""
    return {"id": head.id, "object": "response", "created_at": head.created_at, "model": head.model,
            "status": status, "error": None if error is None else {"code": "server_error", "message": error},
            "incomplete_details": {"reason": "max_output_tokens"} if status == "incomplete" else None,
            "output": output, **({"usage": usage} if usage is not None else {}), "previous_response_id": None,
            "store": False, "reasoning": None, "truncation": "disabled", **head.settings}


def _text_part(text: str) -> dict[str, Any]:
    return {"type": "output_text", "text": text, "annotations": [], "logprobs": []}


def _message(item_id: str, text: str | None, status: str) -> dict[str, Any]:
    return {"type": "message", "id": item_id, "status": status, "role": "assistant",
            "content": [] if text is None else [_text_part(text)]}


def _reasoning(item_id: str, text: str | None, status: str) -> dict[str, Any]:
    return {"type": "reasoning", "id": item_id, "status": status, "summary": [],
            "content": [] if text is None else [{"type": "reasoning_text", "text": text}]}


def _function_call(item_id: str, call: ToolCall, status: str, arguments: str | None = None) -> dict[str, Any]:
    return {"type": "function_call", "id": item_id, "call_id": call.id, "name": call.name,
            "arguments": call.arguments if arguments is None else arguments, "status": status}


def output_items(finished: Finished) -> list[dict[str, Any]]:
    """The output of a whole (not streamed) response."""
    items = []
    if finished.reasoning:
        items.append(_reasoning(new_id("rs"), finished.reasoning, "completed"))
    if finished.text:
        items.append(_message(new_id("msg"), finished.text, "completed"))
    items += [_function_call(new_id("fc"), call, "completed") for call in finished.tool_calls]
    return items


def sse_event(data: Mapping[str, Any]) -> str:
    """One server-sent event named by its type, as OpenAI sends them."""
    return f"event: {data['type']}\ndata: {json.dumps(data, ensure_ascii=False, separators=(',', ':'))}\n\n"


@dataclass
class _OpenItem:
    index: int
    id: str
    kind: PieceKind
    texts: list[str] = field(default_factory=list)


class StreamEvents:
    """The events of one streamed response, from the layer's events (each call returns the next few)."""

    def __init__(self, head: ResponseHead) -> None:
        self._head = head
        self._sequence = 0
        self._output: list[dict[str, Any]] = []
        self._open: _OpenItem | None = None

    def _event(self, kind: str, **fields: Any) -> dict[str, Any]:
        event = {"type": kind, "sequence_number": self._sequence, **fields}
        self._sequence += 1
        return event

    def start(self) -> list[dict[str, Any]]:
        created = response(self._head, "in_progress", [])
        return [self._event("response.created", response=created),
                self._event("response.in_progress", response=created)]

    def add(self, event: Event) -> list[dict[str, Any]]:
        """What a text piece or a tool call adds; the final event goes to :meth:`finish`."""
        if isinstance(event, TextPiece) and event.kind is not PieceKind.TOOL_TEXT:
            return self._text(event.kind, event.text)
        if isinstance(event, ToolCall):
            return self._close() + self._call(event)
        return []

    def _text(self, kind: PieceKind, text: str) -> list[dict[str, Any]]:
        events = []
        if self._open is None or self._open.kind is not kind:
            events = self._close() + self._begin(kind)
        item = self._open
        assert item is not None
        item.texts.append(text)
        name = "response.output_text.delta" if kind is PieceKind.ANSWER else "response.reasoning_text.delta"
        extra: dict[str, Any] = {"logprobs": []} if kind is PieceKind.ANSWER else {}
        events.append(self._event(name, item_id=item.id, output_index=item.index, content_index=0, delta=text,
                                  **extra))
        return events

    def _begin(self, kind: PieceKind) -> list[dict[str, Any]]:
        answer = kind is PieceKind.ANSWER
        item = self._open = _OpenItem(len(self._output), new_id("msg" if answer else "rs"), kind)
        self._output.append({})
        shell = _message(item.id, None, "in_progress") if answer else _reasoning(item.id, None, "in_progress")
        events = [self._event("response.output_item.added", output_index=item.index, item=shell)]
        if answer:
            events.append(self._event("response.content_part.added", item_id=item.id, output_index=item.index,
                                      content_index=0, part=_text_part("")))
        return events

    def _close(self) -> list[dict[str, Any]]:
        item, self._open = self._open, None
        if item is None:
            return []
        text = "".join(item.texts)
        where = {"item_id": item.id, "output_index": item.index, "content_index": 0}
        if item.kind is PieceKind.ANSWER:
            done = _message(item.id, text, "completed")
            events = [self._event("response.output_text.done", text=text, logprobs=[], **where),
                      self._event("response.content_part.done", part=_text_part(text), **where)]
        else:
            done = _reasoning(item.id, text, "completed")
            events = [self._event("response.reasoning_text.done", text=text, **where)]
        self._output[item.index] = done
        return events + [self._event("response.output_item.done", output_index=item.index, item=done)]

    def _call(self, call: ToolCall) -> list[dict[str, Any]]:
        index, item_id = len(self._output), new_id("fc")
        done = _function_call(item_id, call, "completed")
        self._output.append(done)
        return [self._event("response.output_item.added", output_index=index,
                            item=_function_call(item_id, call, "in_progress", "")),
                self._event("response.function_call_arguments.delta", item_id=item_id, output_index=index,
                            delta=call.arguments),
                self._event("response.function_call_arguments.done", item_id=item_id, output_index=index,
                            name=call.name, arguments=call.arguments),
                self._event("response.output_item.done", output_index=index, item=done)]

    def finish(self, finished: Finished, prompt: PromptCount) -> list[dict[str, Any]]:
        """The end of a run that finished: completed, or incomplete at ``max_output_tokens``."""
        status = "incomplete" if finished.finish_reason == "length" else "completed"
        events = self._close()
        body = response(self._head, status, self._output, usage(finished, prompt))
        return events + [self._event(f"response.{status}", response=body)]

    def fail(self, message: str) -> list[dict[str, Any]]:
        """The end of a run that could not finish."""
        events = self._close()
        return events + [self._event("response.failed",
                                     response=response(self._head, "failed", self._output, error=message))]
