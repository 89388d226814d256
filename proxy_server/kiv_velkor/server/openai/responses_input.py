"""A Responses request turned into the chat request the layer takes: pure code.

- ``instructions`` become a system message before the input;
- ``input``: a string (one user message) or a list of items: messages
  (``input_text``, ``output_text``, ``refusal`` and ``input_image`` parts),
  ``function_call`` items (joined into the assistant message they follow)
  and ``function_call_output`` items (tool messages); ``reasoning`` items are
  left out, as chat templates leave out earlier reasoning;
- function ``tools`` and ``tool_choice`` in the chat shape; ``text.format``
  as the chat ``response_format``.

The server keeps no responses: items that refer to stored ones are refused.
Every fault raises :class:`InvalidRequest` naming the field.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from ...streaming.errors import InvalidRequest

__all__ = ["messages_of", "tools_of", "tool_choice_of", "response_format_of"]

_TEXT_PARTS = ("input_text", "output_text", "text", "refusal")
_ROLES = ("user", "system", "developer", "assistant")


def _part(part: Any, where: str) -> dict[str, Any]:
    kind = part.get("type") if isinstance(part, Mapping) else None
    if kind in _TEXT_PARTS:
        text = part.get("refusal" if kind == "refusal" else "text")
        if isinstance(text, str):
            return {"type": "text", "text": text}
    if kind == "input_image" and isinstance(part.get("image_url"), str):
        return {"type": "image_url", "image_url": {"url": part["image_url"]}}
    raise InvalidRequest(f"{where} is not a text or image part this server takes (file ids and files are not "
                         "supported)", param=where)


def _content(content: Any, where: str) -> Any:
    if isinstance(content, str):
        return content
    if not isinstance(content, list):
        raise InvalidRequest(f"{where}.content must be a string or a list of parts", param=where)
    return [_part(p, f"{where}.content[{k}]") for k, p in enumerate(content)]


def _output_text(output: Any, where: str) -> str:
    if isinstance(output, str):
        return output
    if isinstance(output, list):
        return "".join(p["text"] for p in (_part(x, f"{where}.output") for x in output) if p["type"] == "text")
    raise InvalidRequest(f"{where}.output must be a string or a list of parts", param=where)


def _call(item: Mapping[str, Any], where: str) -> dict[str, Any]:
    if not all(isinstance(item.get(k), str) for k in ("call_id", "name", "arguments")):
        raise InvalidRequest(f"{where} needs call_id, name and arguments as strings", param=where)
    return {"id": item["call_id"], "type": "function",
            "function": {"name": item["name"], "arguments": item["arguments"]}}


def _item(item: Any, where: str, out: list[dict[str, Any]]) -> None:
    if not isinstance(item, Mapping):
        raise InvalidRequest(f"{where} must be an object", param=where)
    kind = item.get("type", "message")
    if kind == "message" and item.get("role") in _ROLES:
        out.append({"role": item["role"], "content": _content(item.get("content"), where)})
    elif kind == "function_call":
        last = out[-1] if out else None
        if last is None or last["role"] != "assistant":
            last = {"role": "assistant", "content": None}
            out.append(last)
        last.setdefault("tool_calls", []).append(_call(item, where))
    elif kind == "function_call_output":
        if not isinstance(item.get("call_id"), str):
            raise InvalidRequest(f"{where}.call_id must be a string", param=where)
        out.append({"role": "tool", "tool_call_id": item["call_id"], "content": _output_text(item.get("output"),
                                                                                               where)})
    elif kind == "item_reference":
        raise InvalidRequest(f"{where}: this server keeps no responses or items to refer to", param=where)
    elif kind != "reasoning":
        raise InvalidRequest(f"{where} has the unsupported type {kind!r}", param=where)


def messages_of(input_: Any, instructions: Any) -> list[dict[str, Any]]:
    """The chat messages of ``input`` after ``instructions``."""
    out: list[dict[str, Any]] = []
    if instructions is not None:
        if not isinstance(instructions, str):
            raise InvalidRequest("instructions must be a string", param="instructions")
        out.append({"role": "system", "content": instructions})
    if isinstance(input_, str):
        out.append({"role": "user", "content": input_})
    elif isinstance(input_, list):
        for i, item in enumerate(input_):
            _item(item, f"input[{i}]", out)
    else:
        raise InvalidRequest("input must be a string or a list of items", param="input")
    return out


def tools_of(tools: Any) -> list[dict[str, Any]] | None:
    """Function tools in the chat shape; any other kind of tool is refused."""
    if tools is None:
        return None
    if not isinstance(tools, list):
        raise InvalidRequest("tools must be a list", param="tools")
    out = []
    for i, tool in enumerate(tools):
        if not isinstance(tool, Mapping) or tool.get("type") != "function" or not isinstance(tool.get("name"), str):
            kind = tool.get("type") if isinstance(tool, Mapping) else None
            raise InvalidRequest(f"tools[{i}]: only function tools are supported (not {kind!r})",
                                 param=f"tools[{i}]")
        fn = {k: tool[k] for k in ("name", "description", "parameters", "strict") if tool.get(k) is not None}
        out.append({"type": "function", "function": fn})
    return out


def tool_choice_of(choice: Any) -> Any:
    """``tool_choice`` in the chat shape: the options as they are, a function as the chat's named function."""
    if choice is None or isinstance(choice, str):
        return choice
    if isinstance(choice, Mapping) and choice.get("type") == "function" and isinstance(choice.get("name"), str):
        return {"type": "function", "function": {"name": choice["name"]}}
    raise InvalidRequest("tool_choice must be 'none', 'auto', 'required' or {'type': 'function', 'name': ...}",
                         param="tool_choice")


def response_format_of(text: Any) -> dict[str, Any] | None:
    """``text.format`` as the chat ``response_format`` (None for plain text)."""
    if text is None:
        return None
    if not isinstance(text, Mapping) or set(text) - {"format", "verbosity"} or text.get("verbosity") is not None:
        raise InvalidRequest("text takes only format (verbosity is not supported)", param="text")
    fmt = text.get("format")
    if fmt is None or (isinstance(fmt, Mapping) and fmt.get("type") == "text"):
        return None
    if isinstance(fmt, Mapping) and fmt.get("type") == "json_object":
        return {"type": "json_object"}
    if isinstance(fmt, Mapping) and fmt.get("type") == "json_schema":
        return {"type": "json_schema", "json_schema": {k: fmt[k] for k in ("name", "schema", "strict", "description")
                                                       if k in fmt}}
    raise InvalidRequest("text.format must be of the type text, json_object or json_schema", param="text")
