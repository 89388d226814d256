"""Counting a request's prompt tokens, which the runtimes do not report.

``serve --tokenizer PATH`` names the model's Hugging Face ``tokenizer.json``;
the ``tokenizer_config.json`` beside it gives the chat template (one, or named
templates of which ``tool_use`` serves requests with tools, as Hugging Face
keeps them) and the special tokens it uses. A chat request is rendered with
that template as a runtime renders it (the messages with their text parts
joined, the tools in OpenAI's function shape, a generation prompt at the end)
and the text is tokenised with the ``tokenizers`` library, special tokens
parsed; a plain prompt is tokenised as given. Needs ``tokenizers`` and
``jinja2`` (the server extra).
"""

from __future__ import annotations

import datetime
import json
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

__all__ = ["PromptCounter"]


def _tojson(value: Any, indent: int | None = None, **_: Any) -> str:
    # Templates expect Python's separators and no HTML escaping (Jinja's own
    # filter escapes <, > and &).
    return json.dumps(value, ensure_ascii=False, indent=indent)


def _raise(message: str) -> None:
    raise ValueError(message)


def _strftime_now(fmt: str) -> str:
    return datetime.datetime.now().strftime(fmt)


def _token_text(token: Any) -> str:
    return str(token.get("content", "")) if isinstance(token, Mapping) else str(token or "")


def _message(message: Mapping[str, Any]) -> dict[str, Any]:
    """A message as the template sees it: text parts joined by newlines, no content as ""."""
    out = dict(message)
    content = message.get("content")
    if content is None:
        out["content"] = ""
    elif isinstance(content, list):
        out["content"] = "\n".join(str(p.get("text", "")) for p in content if isinstance(p, Mapping))
    return out


def _tool(tool: Mapping[str, Any]) -> dict[str, Any]:
    """A tool as the template sees it: OpenAI's function shape, name, description, parameters."""
    fn = tool.get("function") or {}
    parameters = fn.get("parameters")
    return {"type": "function", "function": {"name": fn.get("name", ""), "description": fn.get("description", ""),
                                             "parameters": parameters if parameters is not None else {}}}


class PromptCounter:
    """The prompt tokens of chat requests and plain prompts for one model's tokenizer."""

    def __init__(self, tokenizer_path: str | Path) -> None:
        import jinja2.sandbox
        from tokenizers import Tokenizer

        path = Path(tokenizer_path)
        self._tokenizer = Tokenizer.from_file(str(path))
        config_path = path.with_name("tokenizer_config.json")
        config: dict[str, Any] = json.loads(config_path.read_text("utf-8")) if config_path.is_file() else {}
        env = jinja2.sandbox.ImmutableSandboxedEnvironment(trim_blocks=True, lstrip_blocks=True,
                                                           extensions=["jinja2.ext.loopcontrols"])
        env.filters["tojson"] = _tojson
        env.globals.update(raise_exception=_raise, strftime_now=_strftime_now)
        source = config.get("chat_template")
        named = source if isinstance(source, list) else [{"name": "default", "template": source}] if source else []
        self._templates = {str(t["name"]): env.from_string(str(t["template"])) for t in named}
        self._special = {"bos_token": _token_text(config.get("bos_token")),
                         "eos_token": _token_text(config.get("eos_token"))}

    @property
    def has_chat_template(self) -> bool:
        return "default" in self._templates

    def count_text(self, text: str) -> int:
        return len(self._tokenizer.encode(text, add_special_tokens=True).ids)

    def render(self, messages: Sequence[Mapping[str, Any]], tools: Sequence[Mapping[str, Any]] | None = None,
               enable_think: bool = False, generation_prompt: bool = True) -> str:
        """The conversation as the chat template renders it (ready for the model's next turn, with
        ``generation_prompt``)."""
        template = self._templates.get("tool_use" if tools else "default") or self._templates["default"]
        return str(template.render(messages=[_message(m) for m in messages],
                               tools=[_tool(t) for t in tools] if tools else None,
                               add_generation_prompt=generation_prompt,
                               enable_thinking=enable_think, **self._special))

    def count_chat(self, messages: Sequence[Mapping[str, Any]], tools: Sequence[Mapping[str, Any]] | None = None,
                   enable_think: bool = False, generation_prompt: bool = True) -> int:
        """The prompt tokens of a chat request; 0 when the tokenizer has no chat template."""
        if not self.has_chat_template:
            return 0
        return self.count_text(self.render(messages, tools, enable_think, generation_prompt))
