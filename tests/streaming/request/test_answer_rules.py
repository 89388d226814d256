"""The check of a JSON answer against the request's schema takes time linear in
the answer, whatever its regular expressions: it runs holding the interpreter
lock, where a backtracking match would freeze every other request."""

from __future__ import annotations

import json
import time

import pytest

from support.subprocess_run import run_python

from tessel_openai_server.kiv_velkor.streaming.request.answer_rules import check_schema

EVIL = "^(x+x+)+y$"   # a backtracking engine takes time doubling with each "x"
XS = "x" * 40


@pytest.mark.parametrize("schema, answer, broken", [
    ({"type": "string", "pattern": EVIL}, XS, "does not match"),
    ({"type": "object", "patternProperties": {EVIL: {"type": "integer"}}}, {XS: "a"}, None),
    ({"type": "object", "patternProperties": {"^x+$": {"type": "integer"}}}, {XS: "a"}, "is not of type"),
    ({"type": "object", "patternProperties": {EVIL: {}}, "additionalProperties": False}, {XS: 1},
     "does not match any of the regexes"),
], ids=["pattern", "pattern-properties", "pattern-properties-match", "additional-properties"])
def test_patterns_are_matched_in_linear_time(schema, answer, broken):
    # In a fresh interpreter with a deadline: a backtracking match holds the interpreter lock, so it
    # would freeze this process, its timers included.
    check_schema(schema)
    started = time.monotonic()
    done = run_python(f"""
import json
from tessel_openai_server.kiv_velkor.streaming.request.answer_rules import AnswerRules
print(json.dumps(AnswerRules(json="schema", schema={schema!r}).violation({json.dumps(answer)!r}, [])))
""", timeout=10)
    assert time.monotonic() - started < 5
    violation = json.loads(done.stdout)
    assert (violation is None) if broken is None else (broken in violation)
