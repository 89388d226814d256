"""Anthropic's side of the server with plain values: a Messages request as the
chat request the layer takes, and the layer's events as a message and as a
stream the SDK rebuilds into that same message (every shape checked strictly
against the pinned SDK's types)."""

from __future__ import annotations

import pytest

from support.anthropic_shapes import accumulated, strict_event, strict_message

from tessel_openai_server.kiv_velkor.server.anthropic.fields import MESSAGES
from tessel_openai_server.kiv_velkor.server.anthropic.messages_input import chat_request
from tessel_openai_server.kiv_velkor.server.anthropic.shapes import MessageHead, StreamEvents, message
from tessel_openai_server.kiv_velkor.server.openai.shapes import PromptCount
from tessel_openai_server.kiv_velkor.streaming.errors import InvalidRequest
from tessel_openai_server.kiv_velkor.streaming.events import (Finished, PieceKind, TextPiece, Timings, ToolCall,
                                                              Usage)

PNG = "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8DwHwAFBQIAX8jx0gAAAABJRU5ErkJggg=="
TOOL = {"name": "get_weather", "description": "Weather", "input_schema": {"type": "object"}}
FUNCTION = {"type": "function", "function": {"name": "get_weather", "parameters": {"type": "object"},
                                             "description": "Weather"}}


def _body(**fields):
    return {"model": "m", "max_tokens": 20, "messages": [{"role": "user", "content": "Hi"}], **fields}


@pytest.mark.parametrize("fields, messages, options", [
    # One text block is the plain string (so a reply sent back as the SDK gives it continues the cached turn).
    ({"system": [{"type": "text", "text": "Be brief.", "cache_control": {"type": "ephemeral"}}],
      "messages": [{"role": "user", "content": [{"type": "text", "text": "Hi"}]},
                   {"role": "assistant", "content": [{"type": "text", "text": "Hello."}]},
                   {"role": "user", "content": [{"type": "text", "text": "a"}, {"type": "text", "text": "b"}]}]},
     [{"role": "system", "content": "Be brief."}, {"role": "user", "content": "Hi"},
      {"role": "assistant", "content": "Hello."},
      {"role": "user", "content": [{"type": "text", "text": "a"}, {"type": "text", "text": "b"}]}], {}),
    # Thinking and calls of an assistant turn; tool results where they stand, then the user's own text.
    ({"tools": [TOOL], "tool_choice": {"type": "tool", "name": "get_weather", "disable_parallel_tool_use": True},
      "messages": [{"role": "user", "content": "Weather?"},
                   {"role": "assistant", "content": [
                       {"type": "thinking", "thinking": "Ask the tool.", "signature": ""},
                       {"type": "redacted_thinking", "data": "opaque"},
                       {"type": "tool_use", "id": "t1", "name": "get_weather", "input": {"city": "Paris"}}]},
                   {"role": "user", "content": [
                       {"type": "tool_result", "tool_use_id": "t1", "content": "Sunny", "is_error": True},
                       {"type": "text", "text": "Thanks"},
                       {"type": "image", "source": {"type": "base64", "media_type": "image/png", "data": PNG}}]}]},
     [{"role": "user", "content": "Weather?"},
      {"role": "assistant", "content": None, "reasoning_content": "Ask the tool.", "tool_calls": [
          {"id": "t1", "type": "function", "function": {"name": "get_weather", "arguments": '{"city": "Paris"}'}}]},
      {"role": "tool", "tool_call_id": "t1", "content": "Error: Sunny"},
      {"role": "user", "content": [{"type": "text", "text": "Thanks"},
                                   {"type": "image_url", "image_url": {"url": f"data:image/png;base64,{PNG}"}}]}],
     {"tools": [FUNCTION], "tool_choice": {"type": "function", "function": {"name": "get_weather"}},
      "parallel_tool_calls": False}),
    ({"tools": [TOOL], "tool_choice": {"type": "any"}, "thinking": {"type": "enabled", "budget_tokens": 1024},
      "stop_sequences": ["END"], "temperature": 1, "top_k": 5,
      "output_config": {"format": {"type": "json_schema", "schema": {"type": "object"}}}},
     [{"role": "user", "content": "Hi"}],
     {"tools": [FUNCTION], "tool_choice": "required", "enable_think": True, "stop": ["END"], "temperature": 1,
      "top_k": 5, "response_format": {"type": "json_schema",
                                      "json_schema": {"name": "output", "schema": {"type": "object"}}}}),
    ({"messages": [], "system": "Only this."}, [{"role": "system", "content": "Only this."}], {}),
])
def test_a_messages_request_becomes_the_chat_request_it_means(fields, messages, options):
    chat = chat_request(_body(**fields))
    assert chat.messages == messages
    assert chat.options == {"max_tokens": 20, "enable_think": False, **options}


@pytest.mark.parametrize("fields, named", [
    ({"container": "c1"}, "container"),
    ({"speed": "fast"}, "speed"),
    ({"temperature": 1.5}, "temperature"),
    ({"stop_sequences": ["a", "b", "c", "d", "e"]}, "stop_sequences"),
    ({"tools": [{"type": "web_search_20250305", "name": "web_search"}]}, "tools[0]"),
    ({"tool_choice": {"type": "tool", "name": "other"}, "tools": [TOOL]}, "tool_choice.name"),
    ({"thinking": {"type": "enabled"}}, "thinking.budget_tokens"),
    ({"output_config": {"effort": "high"}}, "output_config.effort"),
    ({"output_config": {"format": {"type": "json_schema", "schema": {"type": 5}}}}, "output_config.format.schema"),
    ({"messages": [{"role": "user", "content": [{"type": "document", "source": {}}]}]}, "messages[0].content[0]"),
    ({"messages": [{"role": "user", "content": [{"type": "image", "source": {"type": "url", "url": "x"}}]}]},
     "messages[0].content[0].source"),
    ({"messages": [{"role": "user", "content": "x"}, {"role": "assistant", "content": "The answer is"}]},
     "prefill"),
    ({"messages": [{"role": "assistant", "content": [{"type": "tool_result", "tool_use_id": "t"}]},
                   {"role": "user", "content": "x"}]}, "messages[0].content[0]"),
])
def test_what_cannot_be_carried_out_is_refused_by_name(fields, named):
    body = {k: v for k, v in _body(**fields).items() if v is not None}
    with pytest.raises(InvalidRequest, match=named.replace("[", r"\[").replace("]", r"\]")):
        MESSAGES.check(body)
        chat_request(body)


def _finished(text="", reasoning="", calls=(), reason="stop", stop=None, error=None):
    return Finished(text, reasoning, "", tuple(calls), reason, Usage(7, reasoning_tokens=2),
                    Timings(0.1, 0.2, 10.0), error, stop_sequence=stop)


CALL = ToolCall("call_1", "get_weather", '{"city": "Paris"}', 0)


@pytest.mark.parametrize("events, finished, show_thinking, reasons", [
    ([TextPiece(PieceKind.REASONING, "Ask "), TextPiece(PieceKind.REASONING, "it."),
      TextPiece(PieceKind.ANSWER, "Let me see."), TextPiece(PieceKind.TOOL_TEXT, "<tool_call>"), CALL],
     _finished("Let me see.", "Ask it.", [CALL], "tool_calls"), True, ("tool_use", None, ["thinking", "text",
                                                                                          "tool_use"])),
    ([TextPiece(PieceKind.REASONING, "Secret."), CALL], _finished("", "Secret.", [CALL], "tool_calls"), False,
     ("tool_use", None, ["thinking", "tool_use"])),
    ([TextPiece(PieceKind.ANSWER, "One, two, ")], _finished("One, two, ", stop="three"), True,
     ("stop_sequence", "three", ["text"])),
])
def test_a_stream_rebuilds_into_the_whole_message(events, finished, show_thinking, reasons):
    head = MessageHead("msg_1", "m", show_thinking)
    prompt = PromptCount(30, 12)
    builder = StreamEvents(head)
    stream = [builder.start(PromptCount(30, 12))]
    for event in events:
        stream += builder.add(event)
    stream += builder.finish(finished, prompt)
    whole = strict_message(message(head, finished, prompt))
    assert accumulated(strict_event(e) for e in stream) == whole
    assert (whole.stop_reason, whole.stop_sequence, [b.type for b in whole.content]) == reasons
    assert (whole.usage.input_tokens, whole.usage.cache_read_input_tokens, whole.usage.output_tokens) == (18, 12, 7)
    assert [b.thinking for b in whole.content if b.type == "thinking"] in ([], [finished.reasoning if show_thinking
                                                                                else ""])


@pytest.mark.parametrize("finished, events, error_type", [
    (_finished("x", reason="error", error="the runtime failed"), [TextPiece(PieceKind.ANSWER, "x")], "api_error"),
    (_finished(calls=[ToolCall("c", "f", "[1]", 0)], reason="tool_calls"), [ToolCall("c", "f", "[1]", 0)],
     "api_error"),
])
def test_a_stream_that_cannot_finish_ends_with_one_error_event(finished, events, error_type):
    builder = StreamEvents(MessageHead("msg_1", "m"))
    stream = [builder.start(PromptCount())]
    for event in events:
        stream += builder.add(event)
    stream += builder.finish(finished, PromptCount())
    assert [strict_event(e) for e in stream][-1].error.type == error_type
    assert [e["type"] for e in stream].count("error") == 1 and "message_stop" not in [e["type"] for e in stream]
