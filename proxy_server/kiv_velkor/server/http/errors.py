"""Error answers in the shape of the API a path belongs to: Anthropic's on
the Messages endpoints (``/v1/messages``, ``/v1/messages/count_tokens``),
OpenAI's everywhere else, whoever refuses the request (the guard, a route,
the router, the last-resort 500)."""

from __future__ import annotations

from typing import Any

from ..anthropic.shapes import error_reply as anthropic_error
from ..openai.shapes import error_body

__all__ = ["ANTHROPIC_PREFIX", "speaks_anthropic", "error_reply"]

ANTHROPIC_PREFIX = "/v1/messages"


def speaks_anthropic(path: str) -> bool:
    return path == ANTHROPIC_PREFIX or path.startswith(ANTHROPIC_PREFIX + "/")


def error_reply(path: str, status: int, message: str, error_type: str = "invalid_request_error",
                code: str | None = None, param: str | None = None) -> tuple[int, dict[str, Any]]:
    """The status and body of an error answered on ``path``."""
    if speaks_anthropic(path):
        return anthropic_error(status, message)
    return status, error_body(message, error_type, param, code)
