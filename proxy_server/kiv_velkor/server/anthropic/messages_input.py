"""A Messages request turned into the chat request the layer takes: pure code.

- ``system`` (a string or text blocks), and messages of the system role,
  become system messages;
- a message's content is a string or blocks: ``text`` and base64 ``image``
  blocks become the message's parts; an assistant's ``tool_use`` blocks its
  tool calls and its ``thinking`` blocks its reasoning (``redacted_thinking``,
  which no model here can read, is left out); a user's ``tool_result`` blocks
  become tool messages where they stand among its blocks (``is_error`` marks
  the result's text "Error: ");
- custom ``tools`` become functions; ``tool_choice`` ``auto``, ``any``,
  ``tool`` and ``none`` the chat's choices, ``disable_parallel_tool_use``
  ``parallel_tool_calls``; ``thinking`` becomes ``enable_think``;
  ``output_config.format`` the response format; ``stop_sequences`` the stop
  strings.

One text block is sent as a plain string, as Anthropic takes the two alike:
so an answer sent back as the client got it is the reply the context holds,
and the conversation goes on from it. A conversation may be empty (the model
answers from the system prompt, or from nothing). A final assistant turn is
refused: the runtimes start a new turn, they do not continue a partial one.
Every fault raises :class:`InvalidRequest` naming the field.
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from ...streaming.request.answer_rules import check_schema
from ...streaming.errors import InvalidRequest, LimitExceeded

__all__ = ["ChatRequest", "chat_request", "holds_images"]

_IMAGE_TYPES = ("image/png", "image/jpeg")   # what the layer decodes


@dataclass(frozen=True)
class ChatRequest:
    """``messages`` and ``options`` for ``ModelPool.chat``; ``show_thinking`` False: the answer leaves its
    thinking text out."""

    messages: list[dict[str, Any]]
    options: dict[str, Any]
    show_thinking: bool = True


def _refuse(where: str, what: str = "is not supported by this server") -> InvalidRequest:
    return InvalidRequest(f"{where} {what}", param=where)


def _object(value: Any, where: str) -> Mapping[str, Any]:
    if not isinstance(value, Mapping):
        raise _refuse(where, "must be an object")
    return value


def _only(block: Mapping[str, Any], allowed: frozenset[str], where: str) -> None:
    """Refuses the first field of ``block`` this server cannot carry out (a null one asks for nothing)."""
    for key, value in block.items():
        if key not in allowed and value is not None:
            raise _refuse(f"{where}.{key}")
    _cache_control(block.get("cache_control"), f"{where}.cache_control")


def _cache_control(value: Any, where: str) -> None:
    """Only the mark's form is checked: the conversation cache keeps what a context computed without marks."""
    if value is not None and (not isinstance(value, Mapping) or value.get("type") != "ephemeral"
                              or value.get("ttl") not in (None, "5m", "1h")):
        raise _refuse(where, "must be {'type': 'ephemeral'} (with a ttl of '5m' or '1h')")


def _string(block: Mapping[str, Any], key: str, where: str) -> str:
    value = block.get(key)
    if not isinstance(value, str):
        raise _refuse(f"{where}.{key}", "must be a string")
    return value


_TEXT = frozenset({"type", "text", "cache_control", "citations"})
_IMAGE = frozenset({"type", "source", "cache_control"})
_TOOL_USE = frozenset({"type", "id", "name", "input", "cache_control", "caller"})
_TOOL_RESULT = frozenset({"type", "tool_use_id", "content", "is_error", "cache_control"})
_THINKING = frozenset({"type", "thinking", "signature"})
_TOOL = frozenset({"type", "name", "description", "input_schema", "cache_control", "strict",
                   "eager_input_streaming", "defer_loading"})


def _text(block: Mapping[str, Any], where: str) -> dict[str, Any]:
    _only(block, _TEXT, where)
    if block.get("citations"):
        raise _refuse(f"{where}.citations", "is not supported by this server (no citations)")
    return {"type": "text", "text": _string(block, "text", where)}


def _image(block: Mapping[str, Any], where: str) -> dict[str, Any]:
    _only(block, _IMAGE, where)
    source = _object(block.get("source"), f"{where}.source")
    kind = source.get("type")
    if kind != "base64":
        raise _refuse(f"{where}.source", f"of the type {kind!r} is not supported by this server (images come "
                                         "as base64 data: it fetches no URLs and keeps no files)")
    media = source.get("media_type")
    if media not in _IMAGE_TYPES:
        raise _refuse(f"{where}.source.media_type", f"{media!r} is not supported by this server (PNG or JPEG)")
    data = _string(source, "data", f"{where}.source")
    return {"type": "image_url", "image_url": {"url": f"data:{media};base64,{data}"}}


def _content(parts: list[dict[str, Any]]) -> Any:
    """Parts as a message's content: one text part as a plain string."""
    if len(parts) == 1 and parts[0]["type"] == "text":
        return parts[0]["text"]
    return parts


def _blocks(content: Any, where: str) -> list[tuple[Mapping[str, Any], str, str]]:
    """A content's blocks with their place and type; a string is one text block."""
    if isinstance(content, str):
        return [({"type": "text", "text": content}, where, "text")]
    if not isinstance(content, list):
        raise _refuse(f"{where}.content", "must be a string or a list of content blocks")
    out = []
    for k, block in enumerate(content):
        at = f"{where}.content[{k}]"
        block = _object(block, at)
        kind = block.get("type")
        if not isinstance(kind, str):
            raise _refuse(f"{at}.type", "must be a string")
        out.append((block, at, kind))
    return out


def _tool_result(block: Mapping[str, Any], where: str) -> dict[str, Any]:
    _only(block, _TOOL_RESULT, where)
    tool_use_id = _string(block, "tool_use_id", where)
    given = block.get("content")
    if given is None:
        parts: list[dict[str, Any]] = []
    elif isinstance(given, str):
        parts = [{"type": "text", "text": given}]
    else:
        parts = [_text(b, at) if kind == "text" else _image(b, at) if kind == "image"
                 else _unsupported(at, kind) for b, at, kind in _blocks(given, where)]
    is_error = block.get("is_error")
    if is_error is not None and not isinstance(is_error, bool):
        raise _refuse(f"{where}.is_error", "must be true or false")
    if is_error:
        if parts and parts[0]["type"] == "text":
            parts[0] = {"type": "text", "text": "Error: " + parts[0]["text"]}
        else:
            parts.insert(0, {"type": "text", "text": "Error:"})
    return {"role": "tool", "tool_call_id": tool_use_id, "content": _content(parts) if parts else ""}


def _unsupported(where: str, kind: str) -> Any:
    raise _refuse(where, f"has the type {kind!r}, which this server does not take")


def _tool_use(block: Mapping[str, Any], where: str) -> dict[str, Any]:
    _only(block, _TOOL_USE, where)
    caller = block.get("caller")
    if caller is not None and (not isinstance(caller, Mapping) or caller.get("type") != "direct"):
        raise _refuse(f"{where}.caller", "is not supported by this server (only direct calls)")
    given = block.get("input")
    if not isinstance(given, Mapping):
        raise _refuse(f"{where}.input", "must be an object")
    return {"id": _string(block, "id", where), "type": "function",
            "function": {"name": _string(block, "name", where), "arguments": json.dumps(given, ensure_ascii=False)}}


def _user(content: Any, where: str, out: list[dict[str, Any]]) -> None:
    """A user turn: its parts as one user message, each run of tool results as tool messages, in order."""
    parts: list[dict[str, Any]] = []
    results = False
    for block, at, kind in _blocks(content, where):
        if kind == "tool_result":
            if parts:
                out.append({"role": "user", "content": _content(parts)})
                parts = []
            out.append(_tool_result(block, at))
            results = True
        elif kind == "text":
            parts.append(_text(block, at))
        elif kind == "image":
            parts.append(_image(block, at))
        else:
            _unsupported(at, kind)
    if parts or not results:
        out.append({"role": "user", "content": _content(parts) if parts else ""})


def _assistant(content: Any, where: str) -> dict[str, Any]:
    """An assistant turn: its text, its tool calls and its reasoning, as one message."""
    parts: list[dict[str, Any]] = []
    calls: list[dict[str, Any]] = []
    reasoning: list[str] = []
    for block, at, kind in _blocks(content, where):
        if kind == "text":
            parts.append(_text(block, at))
        elif kind == "tool_use":
            calls.append(_tool_use(block, at))
        elif kind == "thinking":
            _only(block, _THINKING, at)
            reasoning.append(_string(block, "thinking", at))
        elif kind != "redacted_thinking":
            _unsupported(at, kind)
    message: dict[str, Any] = {"role": "assistant", "content": _content(parts) if parts else None if calls else ""}
    if calls:
        message["tool_calls"] = calls
    if any(reasoning):
        message["reasoning_content"] = "\n".join(r for r in reasoning if r)
    return message


def _system(content: Any, where: str) -> dict[str, Any]:
    parts = [_text(block, at) if kind == "text" else _unsupported(at, kind)
             for block, at, kind in _blocks(content, where)]
    return {"role": "system", "content": _content(parts) if parts else ""}


def _messages(system: Any, messages: Any) -> list[dict[str, Any]]:
    out: list[dict[str, Any]] = []
    if system is not None:
        out.append(_system(system, "system"))
    if not isinstance(messages, list):
        raise _refuse("messages", "must be a list" if messages is not None else "is required")
    for i, message in enumerate(messages):
        where = f"messages[{i}]"
        message = _object(message, where)
        _only(message, frozenset({"role", "content"}), where)
        role, content = message.get("role"), message.get("content")
        if content is None:
            raise _refuse(f"{where}.content", "is required")
        if role == "user":
            _user(content, where, out)
        elif role == "assistant":
            out.append(_assistant(content, where))
        elif role == "system":
            out.append(_system(content, where))
        else:
            raise _refuse(f"{where}.role", "must be 'user', 'assistant' or 'system'")
    if messages and isinstance(messages[-1], Mapping) and messages[-1].get("role") == "assistant":
        raise _refuse("messages", "ends with an assistant turn: this server answers in a new turn, it does not "
                                  "continue a partial answer (prefill)")
    return out


def _tools(tools: Any) -> list[dict[str, Any]] | None:
    if tools is None:
        return None
    if not isinstance(tools, list):
        raise _refuse("tools", "must be a list")
    out = []
    for i, tool in enumerate(tools):
        where = f"tools[{i}]"
        tool = _object(tool, where)
        kind = tool.get("type")
        if kind not in (None, "custom"):
            raise _refuse(where, f"is the server tool {kind!r}: this server runs no tools (give custom tools: "
                                 "name, description, input_schema)")
        _only(tool, _TOOL, where)
        if tool.get("defer_loading"):
            raise _refuse(f"{where}.defer_loading", "is not supported by this server (every tool is loaded)")
        schema = tool.get("input_schema")
        if not isinstance(schema, Mapping):
            raise _refuse(f"{where}.input_schema", "must be an object (a JSON schema)")
        function: dict[str, Any] = {"name": _string(tool, "name", where), "parameters": dict(schema)}
        if tool.get("description") is not None:
            function["description"] = _string(tool, "description", where)
        if tool.get("strict") is not None:
            if not isinstance(tool["strict"], bool):
                raise _refuse(f"{where}.strict", "must be true or false")
            function["strict"] = tool["strict"]
        out.append({"type": "function", "function": function})
    return out


def _tool_choice(choice: Any, tools: list[dict[str, Any]] | None) -> dict[str, Any]:
    """``tool_choice`` and ``parallel_tool_calls`` for the layer."""
    if choice is None:
        return {}
    choice = _object(choice, "tool_choice")
    kind = choice.get("type")
    allowed = {"auto": {"type", "disable_parallel_tool_use"}, "any": {"type", "disable_parallel_tool_use"},
               "tool": {"type", "name", "disable_parallel_tool_use"}, "none": {"type"}}.get(str(kind))
    if allowed is None:
        raise _refuse("tool_choice.type", "must be 'auto', 'any', 'tool' or 'none'")
    _only(choice, frozenset(allowed), "tool_choice")
    names = [t["function"]["name"] for t in tools or []]
    if kind in ("any", "tool") and not names:
        raise _refuse("tool_choice", "asks for a tool call, and no tools are given")
    out: dict[str, Any] = {"tool_choice": {"auto": "auto", "any": "required", "none": "none"}.get(kind)}
    if kind == "tool":
        name = _string(choice, "name", "tool_choice")
        if name not in names:
            raise _refuse("tool_choice.name", f"names the tool {name!r}, which is not among the tools")
        out["tool_choice"] = {"type": "function", "function": {"name": name}}
    single = choice.get("disable_parallel_tool_use")
    if single is not None:
        if not isinstance(single, bool):
            raise _refuse("tool_choice.disable_parallel_tool_use", "must be true or false")
        out["parallel_tool_calls"] = not single
    return out


def _thinking(thinking: Any) -> tuple[bool, bool]:
    """``enable_think`` and whether the answer shows the thinking text."""
    if thinking is None:
        return False, True
    thinking = _object(thinking, "thinking")
    kind = thinking.get("type")
    if kind == "disabled":
        _only(thinking, frozenset({"type"}), "thinking")
        return False, True
    if kind not in ("enabled", "adaptive"):
        raise _refuse("thinking.type", "must be 'enabled', 'adaptive' or 'disabled'")
    _only(thinking, frozenset({"type", "display"} | ({"budget_tokens"} if kind == "enabled" else set())),
          "thinking")
    budget = thinking.get("budget_tokens")
    if kind == "enabled" and (isinstance(budget, bool) or not isinstance(budget, int) or budget < 1):
        raise _refuse("thinking.budget_tokens", "must be a positive integer")
    display = thinking.get("display")
    if display not in (None, "summarized", "omitted"):
        raise _refuse("thinking.display", "must be 'summarized' or 'omitted'")
    return True, display != "omitted"


def _response_format(config: Any) -> dict[str, Any] | None:
    if config is None:
        return None
    config = _object(config, "output_config")
    _only(config, frozenset({"format"}), "output_config")
    fmt = config.get("format")
    if fmt is None:
        return None
    fmt = _object(fmt, "output_config.format")
    _only(fmt, frozenset({"type", "schema"}), "output_config.format")
    if fmt.get("type") != "json_schema" or not isinstance(fmt.get("schema"), Mapping):
        raise _refuse("output_config.format", "must be {'type': 'json_schema', 'schema': {...}}")
    check_schema(fmt["schema"], "output_config.format.schema", "output_config")
    return {"type": "json_schema", "json_schema": {"name": "output", "schema": fmt["schema"]}}


def _stop(stop: Any, max_stop: int) -> list[str] | None:
    if stop is None:
        return None
    if not isinstance(stop, list) or not all(isinstance(s, str) and s for s in stop):
        raise _refuse("stop_sequences", "must be a list of non-empty strings")
    if len(stop) > max_stop:
        raise LimitExceeded(f"stop_sequences has {len(stop)} items; this server takes at most {max_stop}",
                            param="stop_sequences")
    return stop or None


def _output_settings(body: Mapping[str, Any]) -> dict[str, Any]:
    """``max_tokens`` (required, as Anthropic requires it) and the sampling options; ``metadata`` checked."""
    temperature = body.get("temperature")
    if temperature is not None and (isinstance(temperature, bool) or not isinstance(temperature, (int, float))
                                    or not 0 <= temperature <= 1):
        raise _refuse("temperature", "must be a number between 0 and 1")
    metadata = body.get("metadata")
    if metadata is not None:
        metadata = _object(metadata, "metadata")
        _only(metadata, frozenset({"user_id"}), "metadata")
        if metadata.get("user_id") is not None:
            _string(metadata, "user_id", "metadata")
    if body.get("max_tokens") is None:
        raise _refuse("max_tokens", "is required")
    return {name: body[name] for name in ("max_tokens", "temperature", "top_p", "top_k") if body.get(name) is not None}


def chat_request(body: Mapping[str, Any], *, counting: bool = False, max_stop: int = 4) -> ChatRequest:
    """The chat request of a Messages request (``counting``: of a count_tokens request, which has no output
    settings); ``max_stop`` bounds the stop sequences."""
    _cache_control(body.get("cache_control"), "cache_control")
    tools = _tools(body.get("tools"))
    options: dict[str, Any] = {"tools": tools, **_tool_choice(body.get("tool_choice"), tools),
                               "response_format": _response_format(body.get("output_config"))}
    options["enable_think"], show_thinking = _thinking(body.get("thinking"))
    if not counting:
        options.update(_output_settings(body), stop=_stop(body.get("stop_sequences"), max_stop))
    messages = _messages(body.get("system"), body.get("messages"))
    return ChatRequest(messages, {k: v for k, v in options.items() if v is not None}, show_thinking)


def holds_images(messages: list[dict[str, Any]]) -> bool:
    """Whether translated ``messages`` hold an image (cheap: no image is looked at)."""
    return any(isinstance(m.get("content"), list) and any(p.get("type") == "image_url" for p in m["content"])
               for m in messages)
