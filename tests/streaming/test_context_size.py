"""The context's size as the layer knows it: a reply the context cut ends with
"length", and a prompt it cannot hold fails with OpenAI's overflow error. The
reference runtime holds `context_size` tokens: one per piece of the prompt's
text and of the reply."""

from __future__ import annotations

import pytest

from tessel_openai_server.kiv_velkor.streaming.errors import ContextLengthExceeded, RequestRejected

from .conftest import MODEL, user

STORY = MODEL["replies"][3]["reply"]


@pytest.mark.parametrize("make, what", [(lambda pool, text: pool.chat(user(text)), "messages"),
                                        (lambda pool, text: pool.complete(text), "prompt")], ids=["chat", "completion"])
def test_the_context_cuts_a_reply_with_length_and_refuses_a_prompt_as_openai_does(make_pool, make, what):
    pool = make_pool(context_size=64)
    final = make(pool, "Tell me a long story").collect()
    assert final.finish_reason == "length" and STORY.startswith(final.text)
    assert 40 < final.usage.completion_tokens < 64
    with pytest.raises(ContextLengthExceeded) as info:
        make(pool, "word " * 100).collect()
    error = info.value
    assert isinstance(error, RequestRejected) and error.http_status == 400 and error.prompt_tokens > 100
    assert (error.code, error.param) == ("context_length_exceeded", what)
    assert error.message == (f"This model's maximum context length is 64 tokens. However, your {what} resulted in "
                             f"{error.prompt_tokens} tokens. Please reduce the length of the {what}.")
    # A reply the context holds whole still finishes, on the same context.
    assert make(pool, "Hello").collect().finish_reason == "stop" and pool.available == 1
