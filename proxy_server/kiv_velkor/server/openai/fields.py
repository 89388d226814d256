"""Which request fields each endpoint takes: every field is carried out, or
accepted only at the value that asks for nothing, or refused with a 400 that
names it (a field silently dropped would answer a question nobody asked).

Pure data and one check; the routes name their endpoint's table.
"""

from __future__ import annotations

import math
import re
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any

from ...streaming.errors import InvalidRequest

__all__ = ["Fields", "CHAT", "COMPLETIONS", "RESPONSES", "keep_alive_of"]


def _any_string(value: Any) -> bool:
    return isinstance(value, str)


def _never(value: Any) -> bool:
    return False


def _is(expected: Any) -> Callable[[Any], bool]:
    return lambda value: value == expected and type(value) is type(expected)


def _number_is(expected: float) -> Callable[[Any], bool]:
    """The number ``expected``, written as an integer or not (``1`` or ``1.0``)."""
    return lambda value: isinstance(value, (int, float)) and not isinstance(value, bool) and value == expected


def _any_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _no_bias(value: Any) -> bool:
    """No logit bias: an empty object, or the empty text a front-end's bias field sends."""
    return bool(value == {} or value == "")


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
                       "frequency_penalty", "presence_penalty", "top_k", "repeat_penalty", "min_p", "repeat_last_n",
                       "keep_alive"})
_NO_LOGPROBS = " (no log probabilities)"

# Options of other local servers that front-ends send (Open WebUI's advanced parameters among them), each
# accepted where it asks for nothing this server does not do already. The samplers the runtime does not
# have are accepted switched off; mirostat's rates mean nothing while it is off (and it cannot be on).
# How the model is loaded is decided when the server loads it, not per request (keep_alive is carried out).
_SAMPLERS_OFF: dict[str, Callable[[Any], bool]] = {
    "mirostat": _number_is(0), "mirostat_eta": _any_number, "mirostat_tau": _any_number, "tfs_z": _number_is(1),
    "typical_p": _number_is(1),
}
_LOADING: dict[str, Callable[[Any], bool]] = {
    "use_mmap": _is(True), "use_mlock": _is(False),
    # The model's own size only; the route compares it once it has the model's pool.
    "num_ctx": lambda value: isinstance(value, int) and not isinstance(value, bool) and value > 0,
}
_SAMPLERS_WHAT = {"mirostat": " (only 0: no mirostat sampler)", "tfs_z": " (only 1: no tail-free sampling)",
                  "typical_p": " (only 1: no locally typical sampling)"}
_LOADING_WHAT = {"use_mmap": ": the server decides how a model is loaded (only true)",
                 "use_mlock": ": the server decides how a model is loaded (only false)",
                 "num_ctx": " (a positive integer: the model's context size)"}

CHAT = Fields(
    _SAMPLING | {"messages", "max_completion_tokens", "tools", "tool_choice", "parallel_tool_calls",
                 "response_format", "enable_think", "reasoning_effort", "chat_template_kwargs", "think", "format"},
    {**_IDENTIFIERS, **_SAMPLERS_OFF, **_LOADING, "n": _is(1), "logprobs": _is(False), "top_logprobs": _is(0),
     "logit_bias": _no_bias, "modalities": _is(["text"]), "store": _is(False)},
    {**_SAMPLERS_WHAT, **_LOADING_WHAT, "n": " (only n=1)", "logprobs": _NO_LOGPROBS, "top_logprobs": _NO_LOGPROBS,
     "logit_bias": " (only {} or \"\")", "modalities": " (text only)", "store": ": it keeps no completions",
     "service_tier": " (only 'auto' or 'default')"})

COMPLETIONS = Fields(
    _SAMPLING | {"prompt", "echo"},
    {**_IDENTIFIERS, **_SAMPLERS_OFF, **_LOADING, "n": _is(1), "best_of": _is(1), "logprobs": _never,
     "logit_bias": _no_bias, "suffix": _is("")},
    {**_SAMPLERS_WHAT, **_LOADING_WHAT, "n": " (only n=1)", "best_of": " (only best_of=1)",
     "logprobs": _NO_LOGPROBS, "logit_bias": " (only {} or \"\")", "suffix": " (no insertion)"})

RESPONSES = Fields(
    frozenset({"model", "input", "instructions", "tools", "tool_choice", "parallel_tool_calls", "text",
               "max_output_tokens", "temperature", "top_p", "stream", "stream_options", "metadata", "user",
               "store", "previous_response_id", "keep_alive"}),
    {**_IDENTIFIERS, "truncation": _is("disabled"), "include": _is([]), "background": _is(False),
     "top_logprobs": _is(0)},
    {"truncation": " (only 'disabled')", "include": " (nothing to include)", "background": " (no background runs)",
     "top_logprobs": _NO_LOGPROBS})


_DURATION = re.compile(r"(\d+(?:\.\d*)?|\.\d+)(ns|us|µs|ms|s|m|h)")
_UNIT = {"ns": 1e-9, "us": 1e-6, "µs": 1e-6, "ms": 1e-3, "s": 1.0, "m": 60.0, "h": 3600.0}


def keep_alive_of(value: Any, name: str = "keep_alive") -> float | None:
    """Ollama's ``keep_alive``: seconds as a number, or a duration such as ``"5m"``, ``"1h30m"``, ``"0"``;
    a negative one keeps the model loaded (None). :class:`InvalidRequest` names anything else."""
    seconds: float | None = None
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        seconds = float(value)
    elif isinstance(value, str):
        text = value.strip()
        sign = -1.0 if text.startswith("-") else 1.0
        text = text.lstrip("+-")
        try:
            seconds = sign * float(text)
        except ValueError:
            parts = _DURATION.findall(text)
            if parts and "".join(n + u for n, u in parts) == text:
                seconds = sign * sum(float(n) * _UNIT[u] for n, u in parts)
    if seconds is None or not math.isfinite(seconds):
        raise InvalidRequest(f"{name} must be a number of seconds or a duration such as '5m' or '1h30m' "
                             "(negative: keep loaded)", param=name)
    return None if seconds < 0 else seconds
