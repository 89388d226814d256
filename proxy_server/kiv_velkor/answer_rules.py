"""What a request demands of the final answer, and the check of it: pure code.

A request may ask for a JSON answer (``response_format`` ``json_object`` or
``json_schema``) or for a tool call (``tool_choice`` ``"required"`` or a named
function, ``parallel_tool_calls`` false). The request goes to the runtime with
those demands, and a runtime may constrain its decoding to them; one that
cannot would answer as it likes. So the layer checks the answer once the run
has ended, and a run that broke a demand ends as a failure, never as a normal
completion. JSON schemas are checked with ``jsonschema`` (imported only when
a request carries a schema; the server extra installs it).
"""

from __future__ import annotations

import importlib
import json
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from .errors import InvalidRequest
from .events import ToolCall

__all__ = ["AnswerRules", "check_schema"]


def _validator(schema: Mapping[str, Any]) -> Any:
    try:
        jsonschema = importlib.import_module("jsonschema")
    except ImportError:
        raise InvalidRequest("response_format json_schema needs the jsonschema package (the server extra)",
                             param="response_format") from None
    cls = jsonschema.validators.validator_for(schema, default=jsonschema.Draft202012Validator)
    return cls(schema)


def check_schema(schema: Mapping[str, Any]) -> None:
    """Raises :class:`InvalidRequest` when ``schema`` is no valid JSON schema."""
    validator = _validator(schema)
    try:
        validator.check_schema(schema)
    except Exception as exc:   # jsonschema's SchemaError, or an unresolvable reference
        message = getattr(exc, "message", str(exc))
        raise InvalidRequest(f"response_format.json_schema.schema is not a valid JSON schema: {message}",
                             param="response_format") from None


@dataclass(frozen=True)
class AnswerRules:
    """``json``: "object" (any JSON object) or "schema" (valid against ``schema``);
    ``tool``: "required" or the one function's name; ``single_call``: at most one call."""

    json: str | None = None
    schema: Mapping[str, Any] | None = None
    tool: str | None = None
    single_call: bool = False

    def violation(self, text: str, tool_calls: Sequence[ToolCall]) -> str | None:
        """Why the answer breaks the request's demands, or None when it keeps them."""
        if self.tool is not None and not tool_calls:
            return "tool_choice asked for a tool call, and the model answered without one"
        if self.tool not in (None, "required") and any(c.name != self.tool for c in tool_calls):
            return f"tool_choice asked for a call of {self.tool!r}, and the model called another tool"
        if self.single_call and len(tool_calls) > 1:
            return "parallel_tool_calls is false, and the model made several calls"
        if self.json is None or tool_calls:
            return None   # the format governs the message's text, not tool calls
        try:
            value = json.loads(text)
        except ValueError as exc:
            return f"response_format asked for JSON, and the answer is not JSON ({exc})"
        if self.json == "object" and not isinstance(value, dict):
            return "response_format asked for a JSON object, and the answer is another JSON value"
        if self.schema is not None:
            error = next(iter(_validator(self.schema).iter_errors(value)), None)
            if error is not None:
                where = "/".join(map(str, error.absolute_path)) or "(top)"
                return f"the answer does not match the response_format's schema at {where}: {error.message}"
        return None
