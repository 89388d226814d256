"""Sampling modes as names, ints or SamplingMode members, as the runtime receives them."""

from __future__ import annotations

import pytest

from tessel_openai_server.kiv_velkor import _velkor
from tessel_openai_server.kiv_velkor.types import SamplingMode

EXPECTED_TAIL = ". Expected one of: 'arg_max', 'top_p', 'top_k', 'chain_sampler', or the corresponding SamplingMode/int value."


def init_mode(fake, mode) -> int:
    _velkor.VELKOR().init("m", sampling_mode=mode)
    return fake.last("kiv_llm_init").u32("param", 8)


@pytest.mark.parametrize("mode, value", [
    ("  Top_P ", 1), ("TOPK", 2), ("max", 0), ("CHAIN", 3), ("argmax", 0), ("chain_sampler", 3),
    (0, 0), (1, 1), (2, 2), (3, 3), (True, 1), (False, 0), (2.0, 2),
    (SamplingMode.TOP_K, 2), (SamplingMode.CHAIN_SAMPLER, 3),
])
def test_accepted_modes(fake, mode, value):
    assert init_mode(fake, mode) == value


@pytest.mark.parametrize("mode, shown", [(4, "4"), (None, "None"), ("", "''"), ("   ", "''"),
                                         ("  NoPe ", "'nope'")])
def test_rejected_modes_name_the_value_with_keyerror_context(fake, mode, shown):
    with pytest.raises(ValueError) as info:
        _velkor.VELKOR().init("m", sampling_mode=mode)
    assert str(info.value) == "Invalid sampling_mode: " + shown + EXPECTED_TAIL
    assert isinstance(info.value.__context__, KeyError)
    assert fake.names() == []


def test_unhashable_mode_is_a_typeerror(fake):
    with pytest.raises(TypeError):
        _velkor.VELKOR().init("m", sampling_mode=[1])


def test_map_is_looked_up_at_every_call(fake, monkeypatch):
    monkeypatch.setitem(_velkor._SAMPLING_MODE_MAP, "greedy", 0)
    assert init_mode(fake, "Greedy") == 0
    monkeypatch.setattr(_velkor, "_SAMPLING_MODE_MAP", {"x": 3})
    assert init_mode(fake, "x") == 3
    with pytest.raises(ValueError):
        init_mode(fake, "top_p")


def test_out_of_range_map_value_is_an_overflow(fake, monkeypatch):
    monkeypatch.setattr(_velkor, "_SAMPLING_MODE_MAP", {"neg": -1})
    with pytest.raises(OverflowError):
        init_mode(fake, "neg")


def test_run_override_uses_the_same_rules(llm, fake):
    llm.run(sampling_mode=" TOP_P")
    param = fake.last("kiv_llm_run")
    assert param.u32("param", 16) == 1 and param.i32("param", 12) == 1
    with pytest.raises(ValueError, match="Invalid sampling_mode: 9"):
        llm.run(sampling_mode=9)
