"""Anthropic's shapes as the pinned ``anthropic`` SDK's types parse them,
strictly: pydantic's strict mode (no coercion, every required field), and no
field the type does not declare, at any depth (the SDK's own models keep
unknown fields quietly)."""

from __future__ import annotations

import json
from collections.abc import Iterable
from typing import Any

from anthropic.lib.streaming._messages import accumulate_event
from anthropic.types import Message, MessageTokensCount, RawMessageStreamEvent
from anthropic.types.shared import ErrorResponse
from pydantic import BaseModel, TypeAdapter

__all__ = ["strict", "strict_message", "strict_error", "strict_event", "accumulated", "sse_events"]


def _declared_only(value: Any, where: str) -> None:
    if isinstance(value, BaseModel):
        assert not value.model_extra, f"{where}: fields the SDK does not declare: {sorted(value.model_extra)}"
        for name in type(value).model_fields:
            _declared_only(getattr(value, name), f"{where}.{name}")
    elif isinstance(value, (list, tuple)):
        for i, item in enumerate(value):
            _declared_only(item, f"{where}[{i}]")
    elif isinstance(value, dict):
        for key, item in value.items():
            _declared_only(item, f"{where}.{key}")


def strict(kind: Any, data: Any) -> Any:
    """``data`` parsed as the SDK's type ``kind``; fails on a missing, mistyped or undeclared field."""
    value = TypeAdapter(kind).validate_python(data, strict=True)
    _declared_only(value, getattr(kind, "__name__", "data"))
    return value


def strict_message(data: Any) -> Message:
    return strict(Message, data)


def strict_error(data: Any) -> ErrorResponse:
    return strict(ErrorResponse, data)


def strict_count(data: Any) -> MessageTokensCount:
    return strict(MessageTokensCount, data)


def strict_event(data: Any) -> Any:
    """One event of a stream: a message event, a ``ping`` or an ``error``."""
    if data.get("type") == "ping":
        assert data == {"type": "ping"}, data
        return data
    if data.get("type") == "error":
        return strict_error(data)
    return strict(RawMessageStreamEvent, data)


def accumulated(events: Iterable[Any]) -> Message:
    """The message the SDK's stream helper builds from the events (pings and errors left out)."""
    snapshot = None
    buffers: dict[int, bytes] = {}
    for event in events:
        if isinstance(event, BaseModel):
            snapshot = accumulate_event(event=event, current_snapshot=snapshot, json_bufs=buffers)
    assert snapshot is not None, "no message_start"
    return Message.model_validate(snapshot.model_dump())


def sse_events(text: str) -> list[dict[str, Any]]:
    """The events of a stream's text; each ``data`` line must follow an ``event`` line naming its type (the
    SDK reads only named events)."""
    events, name = [], None
    for line in text.splitlines():
        if line.startswith("event: "):
            name = line[7:]
        elif line.startswith("data: "):
            data = json.loads(line[6:])
            assert data["type"] == name, (name, data)
            events.append(data)
            name = None
    return events
