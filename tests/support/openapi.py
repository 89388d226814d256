"""Validation of the server's answers against OpenAI's published OpenAPI
description (tests/openapi/openapi.json, pinned).

Its stream-chunk schemas still use the OpenAPI 3.0 keyword ``nullable: true``,
which JSON Schema ignores: it is rewritten as "or null" before validating.
"""

from __future__ import annotations

import functools
import hashlib
import json
from pathlib import Path
from typing import Any

import jsonschema

OPENAPI = Path(__file__).resolve().parents[1] / "openapi" / "openapi.json"
SHA256 = "bbfd19abcde0e7412da99378deb2a959ccdd3a812f97c9e35901921e8e973f9a"


def _null_allowed(node: Any) -> Any:
    if isinstance(node, list):
        return [_null_allowed(item) for item in node]
    if not isinstance(node, dict):
        return node
    node = {key: _null_allowed(value) for key, value in node.items()}
    if node.pop("nullable", False) is True:
        return {"anyOf": [node, {"type": "null"}]}
    return node


@functools.cache
def _components() -> dict[str, Any]:
    raw = OPENAPI.read_bytes()
    assert hashlib.sha256(raw).hexdigest() == SHA256, "the pinned OpenAPI description changed"
    return {"components": _null_allowed(json.loads(raw)["components"])}


@functools.cache
def _validator(schema_name: str) -> jsonschema.Draft202012Validator:
    components = _components()
    if schema_name not in components["components"]["schemas"]:
        raise KeyError(f"no schema {schema_name!r} in the OpenAPI description")
    return jsonschema.Draft202012Validator({**components, "$ref": f"#/components/schemas/{schema_name}"})


def validate(schema_name: str, instance: Any) -> None:
    """Raises jsonschema.ValidationError (with every error) when ``instance`` is not a ``schema_name``."""
    errors = sorted(_validator(schema_name).iter_errors(instance), key=lambda e: list(e.absolute_path))
    if errors:
        details = "\n".join(f"- at {'/'.join(map(str, e.absolute_path)) or '(top)'}: {e.message}" for e in errors[:10])
        raise jsonschema.ValidationError(f"not a valid {schema_name}:\n{details}")
