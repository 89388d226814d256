"""The runtime's pieces turned into events: pure code, no threads, no runtime.

:class:`PieceReader` takes each piece as the runtime delivered it (raw bytes,
content type, run status) and hands the events it makes to ``emit``:

- text is decoded incrementally, one UTF-8 decoder per kind of text, so a
  character whose bytes are split across pieces comes out whole;
- answer text that may be the start of a stop sequence is held back until the
  next piece tells; a stop sequence found ends the answer before it;
- every piece with text (or a non-final status) counts towards ``max_tokens``;
- a run whose last state says the context filled up ends with ``"length"``;
- :meth:`PieceReader.finish` flushes what was held and makes the final
  :class:`Finished` (or raises :class:`RequestRejected` when the runtime
  failed before producing anything, :class:`ContextLengthExceeded` when its
  prompt did not fit in the context); an answer that breaks the request's
  :class:`AnswerRules` (JSON of a schema, a required tool call) ends with
  ``"error"``.

It says when the run must stop (``"length"``, ``"stop"``); stopping it is the
caller's business.
"""

from __future__ import annotations

import codecs
import secrets
import time
from collections.abc import Callable

from ..types import RunStatus
from .request.answer_rules import AnswerRules
from .errors import ContextLengthExceeded, RequestRejected
from .events import Event, Finished, FinishReason, PieceKind, TextPiece, Timings, ToolCall, Usage

__all__ = ["PieceReader"]

_ERROR = int(RunStatus.ERROR)
_FINISH = int(RunStatus.FINISH)
_CONTEXT_FULL = int(RunStatus.CONTEXT_FULL)
_CONTEXT_EXCEEDED = int(RunStatus.CONTEXT_EXCEEDED)
_ANSWER, _REASONING, _TOOL_TEXT = PieceKind.ANSWER, PieceKind.REASONING, PieceKind.TOOL_TEXT
_KINDS = {1: _REASONING, 2: _TOOL_TEXT}   # the runtime's content types; any other is answer text


def _decoder() -> codecs.IncrementalDecoder:
    return codecs.getincrementaldecoder("utf-8")(errors="replace")


class PieceReader:
    """Events from one run's pieces; ``emit`` receives each event as it is made.

    ``context_size`` and ``prompt_kind`` ("messages" or "prompt") word the
    error of a prompt that does not fit in the context."""

    def __init__(self, emit: Callable[[Event], None], *, max_tokens: int | None = None,
                 stops: tuple[str, ...] = (), rules: AnswerRules | None = None,
                 clock: Callable[[], float] = time.perf_counter, context_size: int | None = None,
                 prompt_kind: str = "messages") -> None:
        self._emit_event = emit
        self._context_size = context_size
        self._prompt_kind = prompt_kind
        self._max_tokens = max_tokens
        self._stops = stops
        self._rules = rules
        self._clock = clock
        self._decoders = {_ANSWER: _decoder(), _REASONING: _decoder(), _TOOL_TEXT: _decoder()}
        self._texts: dict[PieceKind, list[str]] = {_ANSWER: [], _REASONING: [], _TOOL_TEXT: []}
        self._held = ""                        # answer text that may be the start of a stop sequence
        self.stop_sequence: str | None = None  # the stop sequence the answer ended at, once found
        self.tool_calls: list[ToolCall] = []
        self.tokens = 0
        self.reasoning_tokens = 0
        self.error_text: str | None = None     # what the runtime said when it reported an error
        self.context_full = False              # the run ended because the context filled up
        self.prompt_overflow: int | None = None   # the prompt did not fit: its tokens (0: not told)
        self._t_first: float | None = None
        self._t_last: float | None = None

    # ------------------------------------------------------------- pieces

    def piece(self, raw: bytes, content_type: int, status: int, token_id: int = 0) -> FinishReason | None:
        """Takes one piece; returns ``"length"`` or ``"stop"`` when the run must stop now."""
        if status == _ERROR or status == _CONTEXT_EXCEEDED:
            self.error_text = raw.decode("utf-8", "replace")
            if status == _CONTEXT_EXCEEDED:
                self.prompt_overflow = max(0, token_id)
            return None
        if status == _CONTEXT_FULL:
            self.context_full = True
            status = _FINISH
        if status == _FINISH and not raw:
            return None
        self.tokens += 1
        now = self._clock()
        if self._t_first is None:
            self._t_first = now
        self._t_last = now
        stop: FinishReason | None = None
        if raw:
            kind = _KINDS.get(content_type, _ANSWER)
            if kind is _REASONING:
                self.reasoning_tokens += 1
            text = self._decoders[kind].decode(raw)
            if text:
                if kind is _ANSWER and self._stops:
                    stop = self._text(kind, text)
                else:   # the common path, written out: it runs once per piece
                    self._texts[kind].append(text)
                    self._emit_event(TextPiece(kind, text))
        if stop is None and self._max_tokens is not None and self.tokens >= self._max_tokens:
            return "length"
        return stop

    def tool_call(self, name: str, arguments: str) -> ToolCall:
        call = ToolCall(f"call_{secrets.token_hex(12)}", name, arguments, len(self.tool_calls))
        self.tool_calls.append(call)
        self._emit_event(call)
        return call

    def _text(self, kind: PieceKind, text: str) -> FinishReason | None:
        """Emits text of one kind; ``"stop"`` when the answer reached a stop sequence."""
        stop: FinishReason | None = None
        if kind is _ANSWER and self._stops:
            text, stop = self._cut_at_stop(text)
            if not text:
                return stop
        self._texts[kind].append(text)
        self._emit_event(TextPiece(kind, text))
        return stop

    def _cut_at_stop(self, text: str) -> tuple[str, FinishReason | None]:
        """The answer text that can go out now; holds back what may begin a stop sequence."""
        pending = self._held + text
        found, stop = min(((i, s) for s, i in ((s, pending.find(s)) for s in self._stops) if i >= 0),
                          default=(-1, ""))
        if found >= 0:
            self._held = ""
            self.stop_sequence = stop
            return pending[:found], "stop"
        keep = 0
        for stop in self._stops:
            for k in range(min(len(stop) - 1, len(pending)), keep, -1):
                if pending.endswith(stop[:k]):
                    keep = k
                    break
        self._held = pending[len(pending) - keep:] if keep else ""
        return pending[:len(pending) - keep], None

    # ------------------------------------------------------------- the end

    def finish(self, halt: FinishReason | None, failed: bool, started: float) -> Finished:
        """Flushes what was held (emitted) and makes the final event (returned, not emitted).

        ``halt``: why the caller stopped the run, if it did; ``failed``: the
        run reported an error; ``started``: when the request started, on the
        reader's clock. Raises :class:`RequestRejected` when the run failed
        before it produced anything (:class:`ContextLengthExceeded` when its
        prompt did not fit).
        """
        if halt != "stop":
            halt = self._flush() or halt
        failed = failed or self.error_text is not None
        reason: FinishReason
        if halt is not None:
            reason = halt
        elif failed:
            if self.tokens == 0 and not self.tool_calls and self.prompt_overflow is not None:
                raise ContextLengthExceeded(self.prompt_overflow or None, self._context_size,
                                            what=self._prompt_kind)
            if self.tokens == 0 and not self.tool_calls:
                raise RequestRejected(self.error_text or "the runtime failed without giving a reason")
            reason = "error"
        elif self.tool_calls:
            reason = "tool_calls"
        elif self.context_full:
            reason = "length"   # the reply was cut by the context, not finished
        else:
            reason = "stop"
        text = "".join(self._texts[_ANSWER])
        error = self.error_text if reason == "error" else None
        if halt is None and reason in ("stop", "tool_calls") and self._rules is not None:
            error = self._rules.violation(text, self.tool_calls)
            reason = "error" if error is not None else reason
        return Finished(
            text, "".join(self._texts[_REASONING]), "".join(self._texts[_TOOL_TEXT]), tuple(self.tool_calls),
            reason, Usage(self.tokens, reasoning_tokens=self.reasoning_tokens), self._timings(started), error,
            stop_sequence=self.stop_sequence if reason == "stop" else None)

    def _flush(self) -> FinishReason | None:
        """Everything taken goes out: the decoders' tails, then the held-back answer text."""
        stop: FinishReason | None = None
        for kind, decoder in self._decoders.items():
            tail = decoder.decode(b"", True)
            if tail:
                stop = self._text(kind, tail) or stop
        if self._held:
            held, self._held = self._held, ""
            self._texts[_ANSWER].append(held)
            self._emit_event(TextPiece(_ANSWER, held))
        return stop

    def _timings(self, started: float) -> Timings:
        end = self._clock()
        rate = None
        first, last = self._t_first, self._t_last
        if self.tokens > 1 and first is not None and last is not None and last > first:
            rate = (self.tokens - 1) / (last - first)
        return Timings(None if first is None else first - started, end - started, rate)
