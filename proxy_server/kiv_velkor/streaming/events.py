"""What a generation yields: text pieces, tool calls, and one final event.

Every text piece is already decoded: a character whose bytes the runtime split
across two pieces comes out whole, in one of them (one incremental UTF-8
decoder per kind of text; invalid bytes become U+FFFD).
"""

from __future__ import annotations

import enum
from dataclasses import dataclass
from typing import Literal

__all__ = ["PieceKind", "TextPiece", "ToolCall", "Usage", "Timings", "Finished", "Event", "FinishReason"]

FinishReason = Literal["stop", "length", "tool_calls", "cancelled", "error"]


class PieceKind(enum.StrEnum):
    """The kind of a text piece, from the runtime's content type."""

    ANSWER = "answer"
    REASONING = "reasoning"
    TOOL_TEXT = "tool_text"   # the tool-call markup, when the runtime streams it

    @classmethod
    def of(cls, content_type: int) -> PieceKind:
        return cls.REASONING if content_type == 1 else cls.TOOL_TEXT if content_type == 2 else cls.ANSWER


@dataclass(frozen=True, slots=True)
class TextPiece:
    kind: PieceKind
    text: str


@dataclass(frozen=True, slots=True)
class ToolCall:
    """A tool call as the runtime parsed it; ``arguments`` is its JSON text."""

    id: str
    name: str
    arguments: str
    index: int


@dataclass(frozen=True, slots=True)
class Usage:
    completion_tokens: int             # every piece the runtime produced: answer, reasoning, tool-call text
    prompt_tokens: int | None = None   # the runtimes do not report it
    reasoning_tokens: int = 0          # of the completion tokens, those of reasoning text

    @property
    def total_tokens(self) -> int | None:
        return None if self.prompt_tokens is None else self.prompt_tokens + self.completion_tokens


@dataclass(frozen=True, slots=True)
class Timings:
    """Seconds from the start of the request (the wait for a context included)."""

    time_to_first_piece: float | None
    duration: float
    pieces_per_second: float | None


@dataclass(frozen=True, slots=True)
class Finished:
    """The last event of a generation: everything it produced and why it ended.

    ``finish_reason``: "stop" (the model finished, or a stop sequence was met:
    the text ends before it), "length" (``max_tokens`` reached), "tool_calls",
    "cancelled" (cancelled before the model finished) or "error" (the runtime
    failed after it had produced output, or the answer broke what the request
    demanded of it, such as JSON of a schema; ``error`` says why).
    """

    text: str
    reasoning: str
    tool_text: str
    tool_calls: tuple[ToolCall, ...]
    finish_reason: FinishReason
    usage: Usage
    timings: Timings
    error: str | None = None
    # Messages of the request its context held already (not computed again);
    # None when the request could not go on from a context's conversation.
    reused_messages: int | None = None
    # The stop sequence the answer ended at (finish_reason "stop"); None when the model finished by itself.
    stop_sequence: str | None = None


Event = TextPiece | ToolCall | Finished
