"""Which request fields each endpoint takes: every field is carried out, or
accepted only at the value that asks for nothing, or refused with a 400 that
names it (a field silently dropped would answer a question nobody asked).

Pure data and one check; the routes name their endpoint's table.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any

from .errors import InvalidRequest

__all__ = ["Fields", "CHAT", "COMPLETIONS", "RESPONSES"]


def _any_string(value: Any) -> bool:
    return isinstance(value, str)


def _never(value: Any) -> bool:
    return False


def _is(expected: Any) -> Callable[[Any], bool]:
    return lambda value: value == expected and type(value) is type(expected)


# Identifiers and hints for the caller's own records: a server that keeps no
# records and has one service tier has nothing to do with them.
_IDENTIFIERS: dict[str, Callable[[Any], bool]] = {
    "user": _any_string, "safety_identifier": _any_string, "prompt_cache_key": _any_string,
    "metadata": lambda value: isinstance(value, dict),
    "service_tier": lambda value: value in ("auto", "default"),
}


@dataclass(frozen=True)
class Fields:
    """``carried``: fields the endpoint carries out; ``inert``: fields accepted only at a value that asks
    for nothing (the test says which; ``what`` tells the caller)."""

    carried: frozenset[str]
    inert: Mapping[str, Callable[[Any], bool]] = field(default_factory=dict)
    what: Mapping[str, str] = field(default_factory=dict)

    def check(self, body: Mapping[str, Any]) -> None:
        """Raises :class:`InvalidRequest` naming the first field this endpoint cannot carry out."""
        for name, value in body.items():
            if name in self.carried or value is None:
                continue
            accepts = self.inert.get(name)
            if accepts is None:
                raise InvalidRequest(f"{name} is not supported by this server", param=name)
            if not accepts(value):
                raise InvalidRequest(f"{name} is not supported by this server{self.what.get(name, '')}",
                                     param=name)


_SAMPLING = frozenset({"model", "stream", "stream_options", "max_tokens", "stop", "temperature", "top_p", "seed",
                       "frequency_penalty", "presence_penalty", "top_k", "repeat_penalty"})
_NO_LOGPROBS = " (no log probabilities)"

CHAT = Fields(
    _SAMPLING | {"messages", "max_completion_tokens", "tools", "tool_choice", "parallel_tool_calls",
                 "response_format", "enable_think"},
    {**_IDENTIFIERS, "n": _is(1), "logprobs": _is(False), "top_logprobs": _is(0), "logit_bias": _is({}),
     "modalities": _is(["text"]), "store": _is(False)},
    {"n": " (only n=1)", "logprobs": _NO_LOGPROBS, "top_logprobs": _NO_LOGPROBS, "logit_bias": " (only {})",
     "modalities": " (text only)", "store": ": it keeps no completions",
     "service_tier": " (only 'auto' or 'default')"})

COMPLETIONS = Fields(
    _SAMPLING | {"prompt", "echo"},
    {**_IDENTIFIERS, "n": _is(1), "best_of": _is(1), "logprobs": _never, "logit_bias": _is({}),
     "suffix": _is("")},
    {"n": " (only n=1)", "best_of": " (only best_of=1)", "logprobs": _NO_LOGPROBS, "logit_bias": " (only {})",
     "suffix": " (no insertion)"})

RESPONSES = Fields(
    frozenset({"model", "input", "instructions", "tools", "tool_choice", "parallel_tool_calls", "text",
               "max_output_tokens", "temperature", "top_p", "stream", "stream_options", "metadata", "user",
               "store", "previous_response_id"}),
    {**_IDENTIFIERS, "truncation": _is("disabled"), "include": _is([]), "background": _is(False),
     "top_logprobs": _is(0)},
    {"truncation": " (only 'disabled')", "include": " (nothing to include)", "background": " (no background runs)",
     "top_logprobs": _NO_LOGPROBS})
