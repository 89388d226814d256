"""Chat templates and tool-call control, as the runtime receives them."""

from __future__ import annotations

import pytest

from tessel_openai_server.kiv_velkor.types import RetStatus


def test_chat_template_texts(llm, fake):
    fake.set_rc("kiv_llm_set_chat_template", 1)
    assert llm.set_chat_template("", None, "x") is RetStatus.FAILED
    call = fake.last("kiv_llm_set_chat_template")
    assert (call.capture("system_prompt"), call.capture("prompt_prefix"), call.capture("prompt_postfix")) == \
        (None, None, b"x")
    llm.set_chat_template(prompt_postfix="é", system_prompt="sys", prompt_prefix="<u>")
    call = fake.last("kiv_llm_set_chat_template")
    assert call.capture("system_prompt") == b"sys" and call.capture("prompt_postfix") == "é".encode()


@pytest.mark.parametrize("template, sent", [(None, None), ("", None), ("{{x}}", b"{{x}}")])
def test_jinja_template(llm, fake, template, sent):
    assert llm.set_chat_template_jinja(template) is RetStatus.SUCCESS
    assert fake.last("kiv_llm_set_chat_template_jinja").capture("jinja_template") == sent


@pytest.mark.parametrize("args, kwargs, registered, stop_output", [
    ((), {}, True, 0), ((False,), {}, False, 0), ((0, 1), {}, False, 1), ((), {"stop_output": 2}, True, 2),
    ((), {"stop_output": 1.9}, True, 1), (([],), {"stop_output": -5}, False, -5),
])
def test_toolcall_callback(llm, fake, args, kwargs, registered, stop_output):
    llm.set_toolcall_callback(*args, **kwargs)
    call = fake.last("kiv_llm_set_toolcall_callback")
    assert (call.capture("callback") != bytes(8)) is registered
    assert call.i32("stop_output", 0) == stop_output


@pytest.mark.parametrize("call, error", [
    (lambda o: o.set_toolcall_callback(stop_output="1"), TypeError),
    (lambda o: o.set_toolcall_callback(stop_output=2**31), OverflowError),
    (lambda o: o.set_chat_template(type("S", (str,), {})("x"), "", ""), TypeError),
    (lambda o: o.set_chat_template_jinja(b"x"), TypeError),
    (lambda o: o.set_chat_template("\udc80", "", ""), UnicodeEncodeError),
])
def test_bad_arguments_never_reach_the_runtime(llm, fake, call, error):
    before = fake.names()
    with pytest.raises(error):
        call(llm)
    assert fake.names() == before


def test_type_is_checked_before_the_context(fake):
    from tessel_openai_server.kiv_velkor import _velkor
    obj = _velkor.VELKOR()
    with pytest.raises(TypeError):
        obj.set_chat_template(1, "", "")
    with pytest.raises(TypeError):
        obj.set_toolcall_callback(stop_output=object())
