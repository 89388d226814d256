"""OpenAI-format chat input turned into the arguments of ``VELKOR.run``.

Messages are checked and serialised here (the runtime gets them as JSON with
``messages_mode``). Images stand where they stand in the conversation: each
image part (``image_url`` with a ``data:`` URL, or ``{"type": "image",
"image": <array>}``) becomes a text part holding the image placeholder
``<|image_pad|>``, and the images go to the runtime in the order of their
placeholders (messages in order, parts in order). The runtime wraps each
placeholder in its start and end markers where it renders the conversation.
Arrays given beside the messages (``images=``) stand at the end of the last
user message.

``tool_choice``, ``parallel_tool_calls`` and ``response_format`` go to the
runtime in ``extra_template_params`` under those names, so a runtime can
constrain its decoding to them; what they demand of the answer is checked
again when the run ends (:mod:`.answer_rules`). ``chat_template_kwargs`` go
there too, under their own names. ``reasoning_effort`` becomes
``enable_think`` where it means thinking or not; sampling is
:mod:`.sampling`'s.
"""

from __future__ import annotations

import json
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from .answer_rules import AnswerRules, check_schema
from ..errors import InvalidRequest, LimitExceeded
from .images import PendingImage, check_array, read_data_url
from .limits import ImageBudget, RequestLimits
from .sampling import SamplingDefaults, sampling_arguments, token_limit

NO_DEFAULTS = SamplingDefaults()

__all__ = ["IMAGE_PLACEHOLDER", "PreparedChat", "prepare_chat", "prepare_completion", "holds_images"]

IMAGE_PLACEHOLDER = "<|image_pad|>"
ROLES = frozenset({"system", "developer", "user", "assistant", "tool"})


@dataclass(frozen=True)
class PreparedChat:
    """What ``VELKOR.run`` gets, and what the layer itself enforces."""

    run_kwargs: dict[str, Any]
    max_tokens: int | None = None
    stop: tuple[str, ...] = ()
    images: int = 0
    messages: list[dict[str, Any]] = field(default_factory=list)   # as the runtime gets them
    rules: AnswerRules | None = None        # what the answer must be, checked when the run ends
    tools: list[dict[str, Any]] | None = None   # as the runtime gets them


class _Images:
    """The images of one request, in order. Every header is read and counted against the request's budget
    before any image is decoded (:meth:`arrays`)."""

    NO_VISION = "this model was loaded without a vision projector (mmproj): it takes no images"

    def __init__(self, limits: RequestLimits, vision: bool) -> None:
        self.items: list[Any] = []   # arrays, and PendingImage until decoded
        self.budget = ImageBudget(limits)
        self.vision = vision

    def add_part(self, part: Mapping[str, Any], where: str) -> None:
        if not self.vision:   # refused before anything is decoded
            raise InvalidRequest(self.NO_VISION, param=where)
        if part.get("type") == "image":
            self.items.append(check_array(part.get("image"), param=where, budget=self.budget))
            return
        source = part.get("image_url")
        url = source.get("url") if isinstance(source, Mapping) else source
        self.items.append(read_data_url(url, param=where, budget=self.budget))

    def add_array(self, image: Any) -> None:
        if not self.vision:
            raise InvalidRequest(self.NO_VISION, param="images")
        self.items.append(check_array(image, budget=self.budget))

    def arrays(self) -> list[Any]:
        return [check_array(item.decode(), param=item.param) if isinstance(item, PendingImage) else item
                for item in self.items]


def holds_images(messages: Any) -> bool:
    """Whether OpenAI-format ``messages`` hold an image part (cheap: no image is looked at)."""
    if not isinstance(messages, list):
        return False
    return any(isinstance(m, Mapping) and isinstance(m.get("content"), list)
               and any(isinstance(p, Mapping) and p.get("type") in ("image_url", "image") for p in m["content"])
               for m in messages)


def _content(content: Any, where: str, images: _Images) -> Any:
    if content is None or isinstance(content, str):
        return content
    if not isinstance(content, list):
        raise InvalidRequest(f"{where}.content must be a string, a list of parts or null", param=where)
    parts: list[Any] = []
    for k, part in enumerate(content):
        at = f"{where}.content[{k}]"
        if not isinstance(part, Mapping) or not isinstance(part.get("type"), str):
            raise InvalidRequest(f"{at} must be an object with a string type", param=at)
        kind = part["type"]
        if kind == "text":
            if not isinstance(part.get("text"), str):
                raise InvalidRequest(f"{at}.text must be a string", param=at)
            parts.append({"type": "text", "text": part["text"]})
        elif kind in ("image_url", "image"):
            images.add_part(part, at)
            parts.append({"type": "text", "text": IMAGE_PLACEHOLDER})
        else:
            raise InvalidRequest(f"{at} has the unsupported type {kind!r}", param=at)
    return parts


def _messages(messages: Any, extra_images: Sequence[Any], images: _Images, allow_empty: bool = False
              ) -> list[dict[str, Any]]:
    if not isinstance(messages, list) or not (messages or allow_empty):
        raise InvalidRequest("messages must be a non-empty list", param="messages")
    out: list[dict[str, Any]] = []
    for i, message in enumerate(messages):
        where = f"messages[{i}]"
        if not isinstance(message, Mapping):
            raise InvalidRequest(f"{where} must be an object", param=where)
        role = message.get("role")
        if role not in ROLES:
            raise InvalidRequest(f"{where}.role must be one of {', '.join(sorted(ROLES))}", param=where)
        copy = {k: v for k, v in message.items() if v is not None or k == "content"}
        copy["content"] = _content(message.get("content"), where, images)
        calls = message.get("tool_calls")
        if calls is not None and (not isinstance(calls, list) or not all(isinstance(c, Mapping) for c in calls)):
            raise InvalidRequest(f"{where}.tool_calls must be a list of objects", param=where)
        out.append(copy)
    if extra_images:
        users = [m for m in out if m["role"] == "user"]
        if not users:
            raise InvalidRequest("images need a user message to stand in", param="images")
        last = users[-1]
        content = last["content"]
        parts = [{"type": "text", "text": content}] if isinstance(content, str) else list(content or [])
        for image in extra_images:
            images.add_array(image)
            parts.append({"type": "text", "text": IMAGE_PLACEHOLDER})
        last["content"] = parts
    return out


def _tools(tools: Any, tool_choice: Any, limits: RequestLimits) -> list[dict[str, Any]] | None:
    if tools is None:
        return None
    if not isinstance(tools, list) or not all(isinstance(t, Mapping) for t in tools):
        raise InvalidRequest("tools must be a list of objects", param="tools")
    for i, tool in enumerate(tools):
        fn = tool.get("function")
        if tool.get("type") != "function" or not isinstance(fn, Mapping) or not isinstance(fn.get("name"), str):
            raise InvalidRequest(f"tools[{i}] must be {{'type': 'function', 'function': {{'name': ...}}}}",
                                 param=f"tools[{i}]")
    try:
        size = len(json.dumps(tools, ensure_ascii=False))
    except (TypeError, ValueError):
        raise InvalidRequest("tools cannot be serialised as JSON", param="tools") from None
    if size > limits.max_tools_bytes:
        raise LimitExceeded(f"the tools take {size:,} bytes of JSON; this server takes at most "
                            f"{limits.max_tools_bytes:,}", param="tools")
    if tool_choice == "none" or not tools:
        return None
    return [dict(t) for t in tools]


def _tool_choice(tool_choice: Any, tools: list[dict[str, Any]] | None) -> tuple[Any, str | None]:
    """The tool choice as the runtime gets it, and what it demands of the answer ("required" or a name)."""
    if tool_choice in (None, "auto", "none"):
        return tool_choice, None
    if tool_choice == "required":
        name = "required"
    elif isinstance(tool_choice, Mapping) and tool_choice.get("type") == "function" \
            and isinstance(tool_choice.get("function"), Mapping) and isinstance(tool_choice["function"].get("name"), str):
        name = tool_choice["function"]["name"]
    else:
        raise InvalidRequest("tool_choice must be 'none', 'auto', 'required' or "
                             "{'type': 'function', 'function': {'name': ...}}", param="tool_choice")
    if not tools:
        raise InvalidRequest("tool_choice asks for a tool call, and no tools are given", param="tool_choice")
    if name != "required" and name not in (t["function"]["name"] for t in tools):
        raise InvalidRequest(f"tool_choice names the function {name!r}, which is not among the tools",
                             param="tool_choice")
    return (tool_choice if name == "required" else {"type": "function", "function": {"name": name}}), name


def _response_format(response_format: Any) -> tuple[dict[str, Any] | None, AnswerRules]:
    """The response format as the runtime gets it (None for plain text), and what it demands."""
    if response_format is None:
        return None, AnswerRules()
    kind = response_format.get("type") if isinstance(response_format, Mapping) else None
    if kind == "text":
        return None, AnswerRules()
    if kind == "json_object" and response_format.get("schema") is None:
        return {"type": "json_object"}, AnswerRules(json="object")
    if kind == "json_object":
        # {"type": "json_object", "schema": {...}}, as llama.cpp's clients send it: a schema like json_schema's.
        described: Any = {"name": "response", "schema": response_format["schema"]}
        where = "response_format.schema"
    else:
        described = response_format.get("json_schema") if kind == "json_schema" else None
        where = "response_format.json_schema.schema"
    if not isinstance(described, Mapping) or not isinstance(described.get("name"), str):
        raise InvalidRequest("response_format must be {'type': 'text'}, {'type': 'json_object'} or "
                             "{'type': 'json_schema', 'json_schema': {'name': ..., 'schema': {...}}}",
                             param="response_format")
    schema = described.get("schema")
    if schema is None:
        return {"type": "json_object"}, AnswerRules(json="object")
    if not isinstance(schema, Mapping):
        raise InvalidRequest(f"{where} must be an object", param="response_format")
    check_schema(schema)
    given = {"name": described["name"], "schema": schema,
             **{k: described[k] for k in ("strict", "description") if described.get(k) is not None}}
    return {"type": "json_schema", "json_schema": given}, AnswerRules(json="schema", schema=schema)


def _template_params(tool_choice: Any, parallel_tool_calls: Any, response_format: Any,
                     tools: list[dict[str, Any]] | None) -> tuple[dict[str, Any], AnswerRules]:
    """``extra_template_params`` (tool_choice, parallel_tool_calls, response_format) and the answer's rules."""
    choice, demanded_tool = _tool_choice(tool_choice, tools)
    if parallel_tool_calls is not None and not isinstance(parallel_tool_calls, bool):
        raise InvalidRequest("parallel_tool_calls must be true or false", param="parallel_tool_calls")
    fmt, rules = _response_format(response_format)
    params: dict[str, Any] = {}
    if choice is not None:
        params["tool_choice"] = choice
    if tools and parallel_tool_calls is not None:
        params["parallel_tool_calls"] = parallel_tool_calls
    if fmt is not None:
        params["response_format"] = fmt
    single = bool(tools) and parallel_tool_calls is False
    return params, AnswerRules(rules.json, rules.schema, demanded_tool, single)


def _stop(stop: Any) -> tuple[str, ...]:
    if stop is None:
        return ()
    items = [stop] if isinstance(stop, str) else stop
    if not isinstance(items, list) or not all(isinstance(s, str) and s for s in items):
        raise InvalidRequest("stop must be a non-empty string or a list of them", param="stop")
    return tuple(items)


# The template parameters the layer sets from the request's own fields, and checks the answer against.
_OWN_TEMPLATE_PARAMS = ("tool_choice", "parallel_tool_calls", "response_format")
# reasoning_effort as a runtime that thinks or does not can carry it out: "none" does not think, "medium"
# (the effort a reasoning model takes unless asked otherwise) thinks as the model does; a degree between
# or beyond cannot be carried out.
_EFFORT_THINKS = {"none": False, "medium": True}


def _thinking(enable_think: Any, reasoning_effort: Any) -> bool:
    """Whether the run thinks: ``enable_think``, or what ``reasoning_effort`` means."""
    if enable_think is not None and not isinstance(enable_think, bool):
        raise InvalidRequest("enable_think must be a boolean", param="enable_think")
    if reasoning_effort is None:
        return bool(enable_think)
    thinks = _EFFORT_THINKS.get(reasoning_effort) if isinstance(reasoning_effort, str) else None
    if thinks is None:
        raise InvalidRequest(f"reasoning_effort {reasoning_effort!r} cannot be carried out: the runtime thinks or "
                             "does not, with no degree between ('none': no thinking; 'medium': the model thinks as "
                             "it does by default)", param="reasoning_effort")
    if enable_think is not None and enable_think is not thinks:
        raise InvalidRequest(f"reasoning_effort {reasoning_effort!r} contradicts enable_think {enable_think}",
                             param="reasoning_effort")
    return thinks


def _template_kwargs(kwargs: Any) -> dict[str, Any]:
    """``chat_template_kwargs``: parameters handed to the chat template as given (with the layer's own)."""
    if kwargs is None:
        return {}
    if not isinstance(kwargs, Mapping) or not all(isinstance(k, str) for k in kwargs):
        raise InvalidRequest("chat_template_kwargs must be an object", param="chat_template_kwargs")
    for name in _OWN_TEMPLATE_PARAMS:
        if name in kwargs:
            raise InvalidRequest(f"chat_template_kwargs.{name}: give the request's own {name} field instead "
                                 "(the answer is checked against it)", param="chat_template_kwargs")
    try:
        json.dumps(kwargs)
    except (TypeError, ValueError):
        raise InvalidRequest("chat_template_kwargs cannot be serialised as JSON", param="chat_template_kwargs") \
            from None
    return dict(kwargs)


def prepare_chat(messages: Any, *, tools: Any = None, tool_choice: Any = None, parallel_tool_calls: Any = None,
                 response_format: Any = None, max_tokens: Any = None, stop: Any = None, enable_think: Any = None,
                 reasoning_effort: Any = None, chat_template_kwargs: Any = None, images: Sequence[Any] = (),
                 sampler_params: Mapping[str, Any] | None = None, limits: RequestLimits | None = None,
                 defaults: SamplingDefaults = NO_DEFAULTS, vision: bool = True, allow_empty: bool = False,
                 **sampling: Any) -> PreparedChat:
    """Checks an OpenAI-format chat request; every fault raises :class:`InvalidRequest`.

    ``sampling``: the options of :func:`.sampling.sampling_arguments`, ``defaults`` for the ones not
    given. ``limits`` bound the request (counted before anything is decoded); without ``vision`` an
    image is refused before it is decoded. An empty conversation (the model answers from its template
    alone) is refused unless ``allow_empty``."""
    limits = limits or RequestLimits()
    limits.check_counts(len(messages) if isinstance(messages, list) else 0,
                        len(stop) if isinstance(stop, list) else 0, len(tools) if isinstance(tools, list) else 0)
    collected = _Images(limits, vision)
    converted = _messages(messages, images, collected, allow_empty)
    tool_schemas = _tools(tools, tool_choice, limits)
    template_params, rules = _template_params(tool_choice, parallel_tool_calls, response_format, tool_schemas)
    template_params = {**_template_kwargs(chat_template_kwargs), **template_params}
    thinks = _thinking(enable_think, reasoning_effort)
    try:
        messages_json = json.dumps(converted, ensure_ascii=False)
    except (TypeError, ValueError) as exc:
        raise InvalidRequest(f"the messages cannot be serialised as JSON: {exc}", param="messages") from None
    run_kwargs: dict[str, Any] = {
        "prompt_input": messages_json,
        "messages_mode": True,
        "enable_think": int(thinks),
        **sampling_arguments(defaults, sampler_params, **sampling),
    }
    if tool_schemas:
        run_kwargs["tool_schemas"] = tool_schemas
    if template_params:
        run_kwargs["extra_template_params"] = template_params
    limit, stops = token_limit(max_tokens, defaults), _stop(stop)
    image_arrays = collected.arrays()   # decoded only once everything else is checked
    if image_arrays:
        run_kwargs["images"] = image_arrays
    return PreparedChat(run_kwargs, limit, stops, len(image_arrays), converted,
                        rules if rules != AnswerRules() else None, tool_schemas)


def prepare_completion(prompt: Any, *, max_tokens: Any = None, stop: Any = None,
                       sampler_params: Mapping[str, Any] | None = None, limits: RequestLimits | None = None,
                       defaults: SamplingDefaults = NO_DEFAULTS, **sampling: Any) -> PreparedChat:
    """Checks a plain-prompt request: the runtime completes ``prompt`` as given (no chat template)."""
    if not isinstance(prompt, str):
        raise InvalidRequest("prompt must be a string", param="prompt")
    (limits or RequestLimits()).check_counts(0, len(stop) if isinstance(stop, list) else 0, 0)
    run_kwargs: dict[str, Any] = {
        "prompt_input": prompt,
        "messages_mode": False,
        **sampling_arguments(defaults, sampler_params, **sampling),
    }
    return PreparedChat(run_kwargs, token_limit(max_tokens, defaults), _stop(stop))
