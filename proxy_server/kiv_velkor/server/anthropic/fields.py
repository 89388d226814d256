"""Which request fields the Messages endpoints take: every field is carried
out, or accepted only at a value that asks for nothing, or refused with an
error that names it. Pure data; the routes name their endpoint's table."""

from __future__ import annotations

from typing import Any

from ..openai.fields import Fields

__all__ = ["MESSAGES", "COUNT_TOKENS"]


def _any_string(value: Any) -> bool:
    return isinstance(value, str)


# Attribution of the request to the caller's own records, and the one speed
# and service tier this server has: nothing to do with them.
_INERT = {"user_profile_id": _any_string, "workspace_id": _any_string,
          "speed": lambda value: value == "standard"}
_WHAT = {"speed": " (only 'standard')", "service_tier": " (one tier: 'auto' or 'standard_only')"}
# The prompt: what both endpoints read. cache_control is carried out by the
# conversation cache, which needs no breakpoints.
_PROMPT = frozenset({"model", "messages", "system", "tools", "tool_choice", "thinking", "output_config",
                     "cache_control"})

MESSAGES = Fields(
    _PROMPT | {"max_tokens", "stop_sequences", "temperature", "top_p", "top_k", "metadata", "stream"},
    {**_INERT, "service_tier": lambda value: value in ("auto", "standard_only")}, _WHAT)

COUNT_TOKENS = Fields(_PROMPT, _INERT, _WHAT)
