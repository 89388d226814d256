"""What a context holds of a conversation, and when a request can go on from
it: pure code, no threads, no runtime.

A context that ran a chat with ``retain_history`` keeps that conversation in
the runtime: the messages it was given and the reply it produced. A request
whose messages begin with exactly those messages, then exactly that reply as
the layer returned it, and whose other prompt-shaping options (tools,
``enable_think``, template parameters) are the same, runs on that context
with only its new messages. Anything else runs afresh.

Only runs that end by themselves, with a plain answer (no tool call, no
reasoning), leave a conversation that can be reused: a reply the layer cut
(stop sequence, ``max_tokens``, cancel, error) differs from what the runtime
kept, and a client re-shapes reasoning and tool calls when it sends them back.
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from .events import Finished

__all__ = ["Held", "Conversation", "reply_message"]

# Run options that change sampling only, not the prompt the runtime renders.
_SAMPLING_ONLY = frozenset({"prompt_input", "temperature", "top_p", "top_k", "repeat_penalty", "sampler_params",
                            "sampling_mode"})


def _canonical(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, sort_keys=True, separators=(",", ":"))


def reply_message(finished: Finished) -> dict[str, Any]:
    """The assistant message of a reply, as the server returns it in OpenAI's shape."""
    message: dict[str, Any] = {"role": "assistant", "content": finished.text or None}
    if finished.reasoning:
        message["reasoning_content"] = finished.reasoning
    if finished.tool_calls:
        message["tool_calls"] = [{"id": c.id, "type": "function",
                                  "function": {"name": c.name, "arguments": c.arguments}}
                                 for c in finished.tool_calls]
    return message


@dataclass(frozen=True, slots=True)
class Held:
    """The conversation a context holds: whose it is, what shaped its prompt, its messages."""

    scope: str | None
    key: str
    messages: tuple[str, ...]   # each message as canonical JSON


class Conversation:
    """One chat request seen as a conversation: ``messages`` as the runtime gets them."""

    def __init__(self, run_kwargs: Mapping[str, Any], messages: list[dict[str, Any]], scope: str | None) -> None:
        self._run_kwargs = run_kwargs
        self._messages = messages
        self._scope = scope
        self._key = _canonical({k: v for k, v in run_kwargs.items() if k not in _SAMPLING_ONLY})
        self._canonical = tuple(_canonical(m) for m in messages)

    def extends(self, held: object) -> bool:
        """Whether this request goes on from ``held``: same scope and options, its messages a strict prefix."""
        return (isinstance(held, Held) and held.scope == self._scope and held.key == self._key
                and len(held.messages) < len(self._canonical)
                and self._canonical[:len(held.messages)] == held.messages)

    def run_arguments(self, held: object) -> tuple[dict[str, Any], int]:
        """``VELKOR.run``'s arguments on a context holding ``held``, and how many messages it already holds.

        Going on: only the new messages, keeping the history. Afresh: every
        message, and the context keeps them (the caller resets it first)."""
        kwargs = dict(self._run_kwargs)
        kwargs["retain_history"] = 1
        if not self.extends(held):
            return kwargs, 0
        assert isinstance(held, Held)
        reused = len(held.messages)
        kwargs["prompt_input"] = json.dumps(self._messages[reused:], ensure_ascii=False)
        return kwargs, reused

    def held_after(self, finished: Finished, halted: bool) -> Held | None:
        """What the context holds after the run: the conversation and its reply, when reusable."""
        if halted or finished.finish_reason != "stop" or finished.tool_calls or finished.reasoning \
                or finished.tool_text:
            return None
        reply = _canonical(reply_message(finished))
        return Held(self._scope, self._key, self._canonical + (reply,))
