"""What a request samples with, as the runtime receives it: the pool's
defaults for what the request does not name, greedy at temperature 0, the
runtime's own options in sampler_params, thinking and template parameters;
and the bounds on generated tokens."""

from __future__ import annotations

import json
import struct

import pytest

from support.fake_velkor import FakeVelkor, build_fake_velkor
from support.placement import release_objects

from tessel_openai_server.kiv_velkor.streaming.errors import InvalidRequest
from tessel_openai_server.kiv_velkor.streaming.pool import ModelPool
from tessel_openai_server.kiv_velkor.streaming.request.sampling import SamplingDefaults
from tessel_openai_server.kiv_velkor.types import SamplingMode

from support.serving import WEATHER_TOOL, user

CHAT_DEFAULTS = SamplingDefaults(temperature=0.8, top_k=40, top_p=0.95, min_p=0.05, repeat_penalty=1.1,
                                 repeat_last_n=64, max_tokens=2048, max_tokens_limit=4096)
CHAIN, ARG_MAX = int(SamplingMode.CHAIN_SAMPLER), int(SamplingMode.ARG_MAX)


@pytest.fixture
def fake(place_library):
    fake = FakeVelkor(place_library(build_fake_velkor()))
    yield fake
    release_objects()
    fake.close()


def sent(fake: FakeVelkor) -> dict:
    """The run record's sampling fields and the sampler_params JSON of the last run."""
    call = fake.last("kiv_llm_run")
    param = call.capture("param")
    valid, mode, top_k = struct.unpack_from("<iIi", param, 12)
    top_p, temperature, repeat_penalty = (round(v, 4) for v in struct.unpack_from("<fff", param, 24))
    params = call.capture("sampler_params_json")
    return {"think": struct.unpack_from("<i", param, 8)[0], "valid": valid, "mode": mode, "top_k": top_k,
            "top_p": top_p, "temperature": temperature, "repeat_penalty": repeat_penalty,
            "sampler_params": json.loads(params) if params is not None else None}


@pytest.mark.parametrize("defaults, request_options, expected", [
    # Nothing named: the defaults, the chain sampler named, the runtime's own options in sampler_params.
    (CHAT_DEFAULTS, {}, {"valid": 1, "mode": CHAIN, "top_k": 40, "top_p": 0.95, "temperature": 0.8,
                         "repeat_penalty": 1.1, "sampler_params": {"min_p": 0.05, "repeat_last_n": 64}}),
    # What a front-end sends at values that switch a sampler off is carried out as given.
    (CHAT_DEFAULTS, {"min_p": 0, "repeat_last_n": 0, "top_k": 0, "seed": 7},
     {"valid": 1, "mode": CHAIN, "top_k": 0, "top_p": 0.95, "temperature": 0.8, "repeat_penalty": 1.1,
      "sampler_params": {"min_p": 0.0, "repeat_last_n": 0, "seed": 7}}),
    # Temperature 0 is greedy: arg-max, and no filter of the chain that a runtime would take as sampling;
    # a penalty the request names still counts, the pool's default penalty does not.
    (CHAT_DEFAULTS, {"temperature": 0, "top_k": 5, "top_p": 0.5},
     {"valid": 1, "mode": ARG_MAX, "top_k": 0, "top_p": 0, "temperature": 0, "repeat_penalty": 0,
      "sampler_params": None}),
    (SamplingDefaults(temperature=0, repeat_penalty=1.1), {"repeat_penalty": 1.3},
     {"valid": 1, "mode": ARG_MAX, "top_k": 0, "top_p": 0, "temperature": 0, "repeat_penalty": 1.3,
      "sampler_params": None}),
    # A pool without defaults sends only what the request names.
    (SamplingDefaults(), {}, {"valid": 0, "mode": 0, "top_k": 0, "top_p": 0, "temperature": 0,
                              "repeat_penalty": 0, "sampler_params": None}),
])
def test_what_a_request_samples_with_reaches_the_runtime(fake, defaults, request_options, expected):
    fake.result(b"Hi.", token_id=1)
    pool = ModelPool("model.gguf", sampling=defaults)
    try:
        pool.chat(user("Hello"), **request_options).collect()
    finally:
        assert pool.close(timeout=10)
    assert {k: v for k, v in sent(fake).items() if k != "think"} == expected


@pytest.mark.parametrize("options, think, template", [
    ({"reasoning_effort": "none"}, 0, None),
    ({"reasoning_effort": "medium", "enable_think": True}, 1, None),
    # Template parameters reach the runtime beside the layer's own.
    ({"chat_template_kwargs": {"enable_thinking": False, "style": {"brief": True}}, "tools": [WEATHER_TOOL],
      "tool_choice": "auto"}, 0, {"enable_thinking": False, "style": {"brief": True}, "tool_choice": "auto"}),
])
def test_thinking_and_template_parameters_reach_the_runtime(fake, options, think, template):
    fake.result(b"Hi.", token_id=1)
    pool = ModelPool("model.gguf")
    try:
        pool.chat(user("Hello"), **options).collect()
    finally:
        assert pool.close(timeout=10)
    template_params = fake.last("kiv_llm_run").capture("extra_template_params")
    assert sent(fake)["think"] == think
    assert (json.loads(template_params) if template_params is not None else None) == template


@pytest.mark.parametrize("options, param", [
    ({"reasoning_effort": "low"}, "reasoning_effort"),        # a degree the runtime cannot set
    ({"reasoning_effort": "none", "enable_think": True}, "reasoning_effort"),
    ({"chat_template_kwargs": {"tool_choice": "none"}}, "chat_template_kwargs"),   # would bypass the check
    ({"chat_template_kwargs": ["enable_thinking"]}, "chat_template_kwargs"),
    ({"min_p": 1.5}, "min_p"),
    ({"repeat_last_n": -2}, "repeat_last_n"),
    ({"top_k": 2**31}, "top_k"),
    ({"max_tokens": 0}, "max_tokens"),
])
def test_what_cannot_be_carried_out_is_refused_by_name(options, param):
    from tessel_openai_server.kiv_velkor.streaming.request.chat_input import prepare_chat
    with pytest.raises(InvalidRequest) as refused:
        prepare_chat(user("Hello"), **options)
    assert refused.value.param == param


@pytest.mark.parametrize("max_tokens, expected", [(None, 2048), (100, 100), (10_000, 4096)])
def test_generated_tokens_have_a_default_and_a_bound(max_tokens, expected):
    from tessel_openai_server.kiv_velkor.streaming.request.chat_input import prepare_chat, prepare_completion
    assert prepare_chat(user("Hello"), max_tokens=max_tokens, defaults=CHAT_DEFAULTS).max_tokens == expected
    assert prepare_completion("Hello", max_tokens=max_tokens, defaults=CHAT_DEFAULTS).max_tokens == expected
