"""The text path of ``VELKOR`` written with ctypes, as a Python developer would
write it without a native module: the comparison point of the benchmark.

It is meant to be a good ctypes binding, not a strawman. The records are
ctypes Structures with the runtime's layouts, zero-filled on creation and
passed by reference; ctypes releases the interpreter lock around the runtime
call. The result callback is one CFUNCTYPE made at ``init``: it takes the
record's address as a plain int and lays a Structure over it in place (the
cheapest way ctypes offers; a POINTER argument costs more), reaches the
per-run collectors through one closure cell, and builds ``RunStatus(state)``
once per state and run (an enum's members do not change during a run), then
appends and forwards as the module does: ``Result(...)`` and a call when
``on_token`` is set.
"""

from __future__ import annotations

import json
from ctypes import (CDLL, CFUNCTYPE, POINTER, Structure, byref, c_char_p, c_float, c_int32, c_uint8,
                    c_uint32, c_uint64, c_void_p, sizeof)

from tessel_openai_server.kiv_velkor.types import Result, RunMode, RunStatus


class KIV_LLMResult(Structure):
    _fields_ = [("text", c_char_p), ("token_id", c_int32), ("content_type", c_uint32)]


class KIV_LLMInput(Structure):
    _fields_ = [("type", c_uint32), ("prompt", c_char_p), ("images", c_void_p), ("n_images", c_int32),
                ("img_start", c_char_p), ("img_end", c_char_p), ("img_content", c_char_p),
                ("reserved0", c_uint32), ("reserved1", c_uint32), ("reserved2", c_uint64)]


class KIV_LLMRunExtend(Structure):
    _pack_ = 4
    _fields_ = [("sampler_params_json", c_char_p), ("disable_chat_template", c_int32),
                ("extra_template_params", c_char_p), ("tools_schemas", c_char_p)]


class KIV_LLMRunParam(Structure):
    _pack_ = 4
    _fields_ = [("run_mode", c_uint32), ("retain_history", c_int32), ("enable_think", c_int32),
                ("sampling_config_valid", c_int32), ("sampling_mode", c_uint32), ("top_k", c_int32),
                ("top_p", c_float), ("temperature", c_float), ("repeat_penalty", c_float),
                ("run_extend", KIV_LLMRunExtend), ("reserved", c_uint8 * 972)]


class KIV_LLMInitParam(Structure):
    _pack_ = 4
    _fields_ = [("model_path", c_char_p), ("sampling_mode", c_uint32), ("reserved", c_uint8 * 1044)]


assert sizeof(KIV_LLMResult) == 16 and sizeof(KIV_LLMInput) == 72
assert sizeof(KIV_LLMRunParam) == 1036 and sizeof(KIV_LLMInitParam) == 1056

RESULT_CB = CFUNCTYPE(None, c_void_p, c_void_p, c_uint32)


def _json_bytes(value: object) -> bytes:
    return json.dumps(value, ensure_ascii=False).encode("utf-8")


class PeerLLM:
    """One runtime context driven through ctypes."""

    def __init__(self, library_path: str) -> None:
        lib = self._lib = CDLL(library_path)
        lib.kiv_llm_init.argtypes = [POINTER(c_void_p), POINTER(KIV_LLMInitParam), RESULT_CB]
        lib.kiv_llm_init.restype = c_uint32
        lib.kiv_llm_run.argtypes = [c_void_p, POINTER(KIV_LLMInput), POINTER(KIV_LLMRunParam), c_void_p]
        lib.kiv_llm_run.restype = c_uint32
        lib.kiv_llm_uninit.argtypes = [c_void_p]
        lib.kiv_llm_break.argtypes = [c_void_p]
        self._run_entry = lib.kiv_llm_run
        self._ctx = c_void_p()
        self._on_token = None
        self._interrupted = False
        self._userdata = None
        self._last_status = None
        # The current run's collectors: text, reasoning and tool-text pieces,
        # token ids, and the RunStatus members built so far.
        self._sink: list = [([], [], [], [], {})]
        self._callback = RESULT_CB(self._make_callback())

    def _make_callback(self):
        sink = self._sink
        peer = self
        from_address = KIV_LLMResult.from_address

        def on_result(result, _userdata, state):
            if peer._interrupted:
                peer.interrupt()
            text_pieces, reasoning_pieces, tool_text_pieces, token_ids, statuses = sink[0]
            status = statuses.get(state)
            if status is None:
                status = statuses[state] = RunStatus(state)
            if result:
                record = from_address(result)
                text = record.text or b""
                token_id = record.token_id
                content_type = record.content_type
            else:
                text, token_id, content_type = b"", 0, 0
            if content_type == 1:
                reasoning_pieces.append(text)
            elif content_type == 2:
                tool_text_pieces.append(text)
            else:
                text_pieces.append(text)
            token_ids.append(token_id)
            peer._last_status = status
            on_token = peer._on_token
            if on_token is not None:
                on_token(Result(text=text, token_id=token_id, content_type=content_type), peer._userdata, status)

        return on_result

    def init(self, model_path: str, on_token=None) -> int:
        self._on_token = on_token
        param = KIV_LLMInitParam()
        param.model_path = model_path.encode("utf-8")
        return self._lib.kiv_llm_init(byref(self._ctx), byref(param), self._callback)

    def uninit(self) -> None:
        if self._ctx.value:
            self._lib.kiv_llm_uninit(self._ctx)
            self._ctx = c_void_p()

    def interrupt(self) -> int:
        return self._lib.kiv_llm_break(self._ctx)

    def run(self, prompt_input: str | None = "", run_mode=RunMode.GENERATE, retain_history: int = 0,
            userdata=None, tool_schemas=None, sampler_params=None, disable_chat_template: int = 1,
            extra_template_params=None, enable_think: int = 0, top_k=None, top_p=None, temperature=None,
            repeat_penalty=None, messages_mode: bool = False) -> dict:
        ctx = self._ctx
        if not ctx.value:
            raise RuntimeError("VELKOR has not been initialized \u2013 call init() first")
        if prompt_input is not None and type(prompt_input) is not str:
            raise TypeError("Argument 'prompt_input' has incorrect type")
        prompt = prompt_input.encode("utf-8") if prompt_input else None
        inp = KIV_LLMInput(3 if messages_mode else 0, prompt)
        param = KIV_LLMRunParam(run_mode.value, retain_history, enable_think)
        extend = param.run_extend
        extend.disable_chat_template = disable_chat_template
        keep = []
        if tool_schemas is not None and len(tool_schemas) > 0:
            keep.append(_json_bytes(tool_schemas))
            extend.tools_schemas = keep[-1]
        if extra_template_params is not None:
            keep.append(_json_bytes(extra_template_params))
            extend.extra_template_params = keep[-1]
        if sampler_params is not None:
            keep.append(_json_bytes(sampler_params))
            extend.sampler_params_json = keep[-1]
            param.sampling_config_valid = 1
        if top_k is not None:
            param.top_k = int(top_k)
            param.sampling_config_valid = 1
        for name, value in (("top_p", top_p), ("temperature", temperature), ("repeat_penalty", repeat_penalty)):
            if value is not None:
                setattr(param, name, float(value))
                param.sampling_config_valid = 1

        self._userdata = userdata
        collectors = self._sink[0] = ([], [], [], [], {})
        self._last_status = None
        self._interrupted = False
        self._run_entry(ctx, byref(inp), byref(param), None)

        text_pieces, reasoning_pieces, tool_text_pieces, token_ids, _ = collectors
        if self._interrupted:
            raise KeyboardInterrupt
        status = self._last_status
        return {
            "text": b"".join(text_pieces).decode("utf-8", "replace"),
            "reasoning": b"".join(reasoning_pieces).decode("utf-8", "replace"),
            "tool_text": b"".join(tool_text_pieces).decode("utf-8", "replace"),
            "token_ids": list(token_ids),
            "status": status if status is not None else RunStatus.ERROR,
            "token_count": len(token_ids),
            "tool_calls": [],
        }
