"""What a request demands of the final answer, and the check of it: pure code.

A request may ask for a JSON answer (``response_format`` ``json_object`` or
``json_schema``) or for a tool call (``tool_choice`` ``"required"`` or a named
function, ``parallel_tool_calls`` false). The request goes to the runtime with
those demands, and a runtime may constrain its decoding to them; one that
cannot would answer as it likes. So the layer checks the answer once the run
has ended, and a run that broke a demand ends as a failure, never as a normal
completion. JSON schemas are checked with ``jsonschema`` (imported only when
a request carries a schema; the server extra installs it).

The check runs on the run's thread, holding the interpreter lock, so it must
take bounded time whatever the schema: its regular expressions (``pattern``,
``patternProperties``) are matched by RE2 (``google-re2``), whose time is
linear in the text, never by a backtracking engine, where a pattern such as
``^(x+x+)+y$`` takes time exponential in the answer's length. A pattern RE2
cannot take (lookaround, backreferences) is refused with the request.
"""

from __future__ import annotations

import functools
import importlib
import json
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from ..errors import InvalidRequest
from ..events import ToolCall

__all__ = ["AnswerRules", "check_schema"]


def _module(name: str) -> Any:
    try:
        return importlib.import_module(name)
    except ImportError:
        raise InvalidRequest(f"response_format json_schema needs the {name} module (the server extra)",
                             param="response_format") from None


@functools.lru_cache(maxsize=256)
def _regex(pattern: str) -> Any:
    """``pattern`` compiled by RE2 (linear-time matching); raises ``re2.error`` for one it cannot take."""
    return _module("re2").compile(pattern)


def _pattern(validator: Any, pattern: str, instance: Any, schema: Any) -> Iterator[Any]:
    if validator.is_type(instance, "string") and not _regex(pattern).search(instance):
        yield _module("jsonschema").ValidationError(f"{instance!r} does not match {pattern!r}")


def _pattern_properties(validator: Any, patterns: Mapping[str, Any], instance: Any, schema: Any) -> Iterator[Any]:
    if not validator.is_type(instance, "object"):
        return
    for pattern, subschema in patterns.items():
        regex = _regex(pattern)
        for key, value in instance.items():
            if regex.search(key):
                yield from validator.descend(value, subschema, path=key, schema_path=pattern)


def _additional_properties(validator: Any, additional: Any, instance: Any, schema: Any) -> Iterator[Any]:
    patterns = schema.get("patternProperties") if isinstance(schema, Mapping) else None
    if not patterns or not validator.is_type(instance, "object"):
        yield from _module("jsonschema")._keywords.additionalProperties(validator, additional, instance, schema)
        return
    regexes = [_regex(p) for p in patterns]
    known = schema.get("properties", {})
    extras = sorted(k for k in instance if k not in known and not any(r.search(k) for r in regexes))
    if validator.is_type(additional, "object"):
        for extra in extras:
            yield from validator.descend(instance[extra], additional, path=extra)
    elif not additional and extras:
        yield _module("jsonschema").ValidationError(
            f"{', '.join(map(repr, extras))} {'does' if len(extras) == 1 else 'do'} not match any of the regexes: "
            f"{', '.join(map(repr, sorted(patterns)))}")


_LINEAR_KEYWORDS = {"pattern": _pattern, "patternProperties": _pattern_properties,
                    "additionalProperties": _additional_properties}


def _validator(schema: Mapping[str, Any]) -> Any:
    jsonschema = _module("jsonschema")
    cls = jsonschema.validators.validator_for(schema, default=jsonschema.Draft202012Validator)
    return _linear(cls)(schema)


@functools.lru_cache(maxsize=None)
def _linear(cls: Any) -> Any:
    """The validator class with its regular-expression keywords matched by RE2."""
    return _module("jsonschema").validators.extend(cls, _LINEAR_KEYWORDS)


def _patterns(schema: Any, depth: int = 0) -> Iterator[tuple[str, str]]:
    """Every (keyword, pattern) of a schema: ``pattern`` values and ``patternProperties`` keys, and each
    ``unevaluatedProperties`` as ("unevaluatedProperties", "")."""
    if depth > 64:
        return
    if isinstance(schema, Mapping):
        for key, value in schema.items():
            if key == "pattern" and isinstance(value, str):
                yield key, value
            elif key == "patternProperties" and isinstance(value, Mapping):
                yield from ((key, str(p)) for p in value)
            elif key == "unevaluatedProperties":
                yield key, ""
            yield from _patterns(value, depth + 1)
    elif isinstance(schema, list):
        for item in schema:
            yield from _patterns(item, depth + 1)


def check_schema(schema: Mapping[str, Any], where: str = "response_format.json_schema.schema",
                 param: str = "response_format") -> None:
    """Raises :class:`InvalidRequest` when ``schema`` (the request's ``where``) is no valid JSON schema, or
    one this server cannot check in bounded time."""
    validator = _validator(schema)
    try:
        validator.check_schema(schema)
    except Exception as exc:   # jsonschema's SchemaError, or an unresolvable reference
        message = getattr(exc, "message", str(exc))
        raise InvalidRequest(f"{where} is not a valid JSON schema: {message}", param=param) from None
    found = list(_patterns(schema))
    re2 = _module("re2")
    for keyword, pattern in found:
        if keyword == "unevaluatedProperties":
            continue
        try:
            _regex(pattern)
        except re2.error as exc:
            raise InvalidRequest(f"{where}: the {keyword} {pattern!r} cannot be checked by this server's "
                                 f"linear-time regular expressions ({exc}); lookaround and backreferences are not "
                                 "supported", param=param) from None
    keywords = {k for k, _ in found}
    if "unevaluatedProperties" in keywords and "patternProperties" in keywords:
        # jsonschema matches these together with a backtracking engine of its own.
        raise InvalidRequest(f"{where}: unevaluatedProperties beside patternProperties is not supported by this "
                             "server", param=param)


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
