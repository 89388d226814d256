"""The types module: open status enums and Result."""

from __future__ import annotations

import subprocess
import sys

import pytest

from tessel_openai_server.kiv_velkor.types import Result, RetStatus, RunStatus


@pytest.mark.parametrize("enum_type", [RunStatus, RetStatus])
def test_unknown_values_become_stable_pseudo_members(enum_type):
    member = enum_type(1000)
    assert isinstance(member, enum_type) and member == 1000 and member.name == "UNKNOWN_1000"
    assert enum_type(1000) is member
    assert enum_type(1) is list(enum_type)[1]


@pytest.mark.parametrize("value", [-1, "2", None])
def test_other_values_are_refused(value):
    with pytest.raises(ValueError):
        RunStatus(value)


def test_registered_unknown_values_are_bounded():
    code = """
from tessel_openai_server.kiv_velkor.types import RunStatus
for v in range(100, 5100):
    assert RunStatus(v) == v
print(len(RunStatus._value2member_map_) - len(RunStatus.__members__))
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert int(out) == 256


def test_result_keywords_and_equality():
    r = Result(text=b"a", token_id=3, content_type=1)
    assert (r.text, r.token_id, r.content_type, r.is_reasoning, r.is_tool_call) == (b"a", 3, 1, True, False)
    assert r == Result(text=b"a", token_id=3, content_type=1) != Result(text=b"b", token_id=3, content_type=1)
    with pytest.raises(TypeError):
        Result(b"a", 3, 1)
