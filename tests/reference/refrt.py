"""Builds the reference runtimes and drives them through ctypes.

The record classes mirror the runtime's binary records so that the tests call
the libraries exactly as the modules do; their sizes are checked on import.
The runtimes are built as the CMake preset ``KIV_REF_PRESET`` of
reference_runtimes/CMakePresets.json (default ``ref-test``), in build/<preset>;
``asan-ref`` is the sanitized build (run pytest with the sanitizer runtime in
``LD_PRELOAD``; the build itself runs without it). ``KIV_REF_BUILD_DIR`` picks
another build directory.
With ``KIV_REF_PREBUILT=1`` the libraries already there are used as they
are, without CMake (they were cross-built for tests run under emulation).
"""

from __future__ import annotations

import ctypes
import itertools
import json
import os
import shutil
import struct
import subprocess
import threading
from ctypes import (CFUNCTYPE, POINTER, Structure, c_char, c_char_p, c_float, c_int32, c_uint8, c_uint32,
                    c_uint64, c_void_p, sizeof)
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
SOURCE = ROOT / "reference_runtimes"
PRESET = os.environ.get("KIV_REF_PRESET", "ref-test")
BUILD = Path(os.environ.get("KIV_REF_BUILD_DIR", ROOT / "build" / PRESET))
PREBUILT = os.environ.get("KIV_REF_PREBUILT") == "1"

NORMAL, FINISH, ERROR = 0, 2, 3
ANSWER, REASONING, TOOL = 0, 1, 2


BUILD_HEADERS = ("/usr/include/nlohmann/json.hpp", "/usr/include/sndfile.h")


def build_runtimes_or_skip() -> dict[str, Path]:
    """build_runtimes(), or a skip of the calling test when the build's headers are missing."""
    import pytest

    missing = [h for h in BUILD_HEADERS if not Path(h).exists()]
    if missing and not PREBUILT:
        pytest.skip(f"build dependencies missing ({', '.join(missing)}): run scripts/setup.sh as root")
    return build_runtimes()


def build_runtimes() -> dict[str, Path]:
    libraries = {"velkor": BUILD / "libvelkor.so", "quellan": BUILD / "libquellan.so"}
    if PREBUILT:
        missing = [str(path) for path in libraries.values() if not path.exists()]
        if missing:
            raise RuntimeError(f"KIV_REF_PREBUILT=1 but not built: {', '.join(missing)}")
        return libraries
    cmake = shutil.which("cmake")
    if cmake is None:
        raise RuntimeError("cmake is needed to build the reference runtimes")
    # A sanitizer runtime preloaded for the tests must stay out of the build tools.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run([cmake, "-S", str(SOURCE), "--preset", PRESET, "-B", str(BUILD)],
                   check=True, capture_output=True, env=env)
    subprocess.run([cmake, "--build", str(BUILD), "-j2"], check=True, capture_output=True, env=env)
    return libraries


# --- LLM records -------------------------------------------------------------

class InitParam(Structure):
    _pack_ = 4
    _fields_ = [("model_path", c_char_p), ("sampling_mode", c_uint32), ("reserved0", c_uint8 * 16),
                ("mmproj_path", c_char_p), ("sampler_params_json", c_char_p), ("model_type_override", c_char_p),
                ("custom_jinja_template", c_char_p), ("reserved1", c_uint8 * 8), ("mmproj_config", c_char_p),
                ("reserved2", c_uint8 * 980)]


class RunParam(Structure):
    _pack_ = 4
    _fields_ = [("run_mode", c_uint32), ("retain_history", c_int32), ("enable_think", c_int32),
                ("sampling_config_valid", c_int32), ("sampling_mode", c_uint32), ("top_k", c_int32),
                ("top_p", c_float), ("temperature", c_float), ("repeat_penalty", c_float),
                ("sampler_params_json", c_char_p), ("disable_chat_template", c_int32),
                ("extra_template_params", c_char_p), ("tools_schemas", c_char_p), ("reserved", c_uint8 * 972)]


class ImageInput(Structure):
    _fields_ = [("type", c_uint32), ("data", c_void_p), ("width", c_int32), ("height", c_int32),
                ("reserved", c_uint64)]


class Input(Structure):
    _fields_ = [("type", c_uint32), ("prompt", c_char_p), ("images", POINTER(ImageInput)), ("n_images", c_int32),
                ("img_start", c_char_p), ("img_end", c_char_p), ("img_content", c_char_p),
                ("reserved0", c_uint32), ("reserved1", c_uint32), ("reserved2", c_uint64)]


class VisionInfo(Structure):
    _fields_ = [("n_inputs", c_int32), ("inputs", c_void_p), ("projector_type", c_char * 64),
                ("image_mean", c_float * 3), ("image_std", c_float * 3), ("patch_size", c_int32),
                ("spatial_merge_size", c_int32), ("has_metadata", c_int32), ("tail", c_uint8 * 4)]


class LLMResult(Structure):
    _fields_ = [("text", c_char_p), ("token_id", c_int32), ("content_type", c_uint32)]


RESULT_CB = CFUNCTYPE(None, POINTER(LLMResult), c_void_p, c_uint32)
TOOL_CB = CFUNCTYPE(None, c_char_p, c_char_p, c_void_p)

# --- speech records ----------------------------------------------------------


class ASRInitParam(Structure):
    _pack_ = 1
    _fields_ = [("model_type", c_int32), ("model_path", c_char_p), ("decoder_path", c_char_p),
                ("tokenizer_path", c_char_p), ("extra_json", c_char_p), ("reserved", c_uint8 * 988)]


class ASRInput(Structure):
    _pack_ = 1
    _fields_ = [("kind", c_int32), ("wav_path", c_char_p), ("unused", c_uint8 * 16), ("language", c_char_p),
                ("task", c_char_p), ("reserved", c_uint8 * 980)]


class ASRResult(Structure):
    _pack_ = 1
    _fields_ = [("text", c_void_p), ("language", c_void_p), ("reserved", c_uint8 * 1008)]


for _cls, _size in ((InitParam, 1056), (RunParam, 1036), (ImageInput, 32), (Input, 72), (VisionInfo, 120),
                    (LLMResult, 16), (ASRInitParam, 1024), (ASRInput, 1024), (ASRResult, 1024)):
    assert sizeof(_cls) == _size, (_cls.__name__, sizeof(_cls))
assert RunParam.tools_schemas.offset == 56 and InitParam.mmproj_path.offset == 28


def bind_velkor(path: Path) -> ctypes.CDLL:
    lib = ctypes.CDLL(str(path))
    ctx = c_void_p
    sig = {
        "kiv_llm_init": [POINTER(c_void_p), POINTER(InitParam), RESULT_CB],
        "kiv_llm_uninit": [ctx],
        "kiv_llm_run": [ctx, POINTER(Input), POINTER(RunParam), c_void_p],
        "kiv_llm_reset": [ctx],
        "kiv_llm_break": [ctx],
        "kiv_llm_set_chat_template": [ctx, c_char_p, c_char_p, c_char_p],
        "kiv_llm_set_chat_template_jinja": [ctx, c_char_p],
        "kiv_llm_set_toolcall_callback": [ctx, TOOL_CB, c_int32],
        "kiv_llm_get_vision_info": [ctx, POINTER(VisionInfo)],
    }
    for name, argtypes in sig.items():
        fn = getattr(lib, name)
        fn.argtypes = argtypes
        fn.restype = c_uint32
    return lib


def bind_quellan(path: Path) -> ctypes.CDLL:
    lib = ctypes.CDLL(str(path))
    lib.kiv_asr_init.argtypes = [POINTER(c_void_p), POINTER(ASRInitParam)]
    lib.kiv_asr_transcribe.argtypes = [c_void_p, POINTER(ASRInput), POINTER(ASRResult)]
    lib.kiv_asr_free_result.argtypes = [POINTER(ASRResult)]
    lib.kiv_asr_free_result.restype = None
    lib.kiv_asr_uninit.argtypes = [c_void_p]
    for name in ("kiv_asr_init", "kiv_asr_transcribe", "kiv_asr_uninit"):
        getattr(lib, name).restype = c_int32
    return lib


# --- LLM runs ----------------------------------------------------------------

@dataclass
class Event:
    text: bytes | None
    token_id: int
    content_type: int
    state: int
    userdata: int | None


@dataclass
class Run:
    """What one run delivered, in arrival order."""

    events: list[Event] = field(default_factory=list)
    tool_calls: list[tuple[str, str]] = field(default_factory=list)
    order: list[str] = field(default_factory=list)   # "piece:<type>" / "call" interleaving
    on_event: object = None
    rc: int | None = None

    def joined(self, content_type: int) -> str:
        return b"".join(e.text or b"" for e in self.events
                        if e.state == NORMAL and e.content_type == content_type).decode()

    @property
    def text(self) -> str:
        return self.joined(ANSWER)

    @property
    def pieces(self) -> list[Event]:
        return [e for e in self.events if e.state == NORMAL]

    @property
    def final(self) -> Event:
        return self.events[-1]


_runs: dict[int, Run] = {}
_ids = itertools.count(1000)


@RESULT_CB
def on_result(res, userdata, state):  # noqa: ANN001
    run = _runs[userdata]
    r = res.contents if res else None
    ev = Event(r.text if r else None, r.token_id if r else 0, r.content_type if r else 0, state, userdata)
    run.events.append(ev)
    run.order.append(f"piece:{ev.content_type}")
    if run.on_event:
        run.on_event(ev)


@TOOL_CB
def on_tool_call(name, arguments, userdata):  # noqa: ANN001
    run = _runs[userdata]
    run.tool_calls.append((name.decode(), arguments.decode()))
    run.order.append("call")


class Llm:
    """One context of the reference LLM runtime."""

    def __init__(self, lib: ctypes.CDLL, model: Path | None, mmproj: Path | None = None,
                 jinja: str | None = None) -> None:
        self.lib = lib
        param = InitParam()
        param.model_path = str(model).encode() if model else None
        param.mmproj_path = str(mmproj).encode() if mmproj else None
        param.custom_jinja_template = jinja.encode() if jinja else None
        self.handle = c_void_p()
        self.rc = lib.kiv_llm_init(ctypes.byref(self.handle), ctypes.byref(param), on_result)

    def set_tool_callback(self, enabled: bool = True, stop_output: int = 0) -> int:
        cb = on_tool_call if enabled else TOOL_CB()
        return self.lib.kiv_llm_set_toolcall_callback(self.handle, cb, stop_output)

    def run(self, prompt: str | bytes | list | None = None, *, kind: int | None = None,
            images: list[tuple[int, int]] = (), markers: tuple[str | None, ...] = (None, None, None),
            think: int = 0, retain: int = 0, tools: list | str | None = None, run_mode: int = 0,
            on_event=None) -> Run:  # noqa: ANN001
        if isinstance(prompt, list):
            prompt = json.dumps(prompt)
            kind = 3 if kind is None else kind
        inp = Input()
        inp.type = 0 if kind is None else kind
        inp.prompt = prompt.encode() if isinstance(prompt, str) else prompt
        buffers = [ctypes.create_string_buffer(w * h * 3) for w, h in images]
        if images:
            arr = (ImageInput * len(images))()
            for i, ((w, h), buf) in enumerate(zip(images, buffers)):
                arr[i].data = ctypes.addressof(buf)
                arr[i].width, arr[i].height = w, h
            inp.images = arr
            inp.n_images = len(images)
        inp.img_start, inp.img_end, inp.img_content = (m.encode() if m else None for m in markers)
        param = RunParam()
        param.run_mode = run_mode
        param.retain_history = retain
        param.enable_think = think
        param.disable_chat_template = 1
        if tools is not None:
            param.tools_schemas = (tools if isinstance(tools, str) else json.dumps(tools)).encode()
        userdata = next(_ids)
        run = _runs[userdata] = Run(on_event=on_event)
        try:
            run.rc = self.lib.kiv_llm_run(self.handle, ctypes.byref(inp), ctypes.byref(param), userdata)
        finally:
            del _runs[userdata]
        return run

    def close(self) -> None:
        if self.handle:
            self.lib.kiv_llm_uninit(self.handle)
            self.handle = c_void_p()


def run_refused_from_a_callback(ctx: Llm, prompt: str, timeout: float = 60) -> tuple[Run, list[int]]:
    """Starts a second run on `ctx` from the first piece of a run, which the
    runtime refuses; that refusal's error callback calls back into the context
    (reset, chat template, break). Returns the refused run and the return codes
    of those calls. A runtime that held the context's lock while calling back
    would deadlock: the run is given `timeout` seconds, and a context whose run
    does not return is abandoned rather than released."""
    refused: list[Run] = []
    codes: list[int] = []

    def on_refusal(event: Event) -> None:
        codes.append(ctx.lib.kiv_llm_reset(ctx.handle))
        codes.append(ctx.lib.kiv_llm_set_chat_template(ctx.handle, b"", b"", b""))
        codes.append(ctx.lib.kiv_llm_break(ctx.handle))    # also ends the first run

    def on_piece(event: Event) -> None:
        if not refused:
            refused.append(ctx.run(prompt, on_event=on_refusal))

    worker = threading.Thread(target=ctx.run, args=(prompt,), kwargs={"on_event": on_piece}, daemon=True)
    worker.start()
    worker.join(timeout)
    if worker.is_alive():
        ctx.handle = c_void_p()  # abandoned: releasing it would block as well
        raise AssertionError("the run did not return: a callback into the context blocked")
    return refused[0], codes


def tool(name: str) -> dict:
    return {"type": "function", "function": {"name": name, "parameters": {"type": "object", "properties": {}}}}


# --- WAV files ---------------------------------------------------------------

def write_wav(path: Path, *, bits: int = 16, float_format: bool = False, channels: int = 1,
              rate: int = 16000, frames: int = 1600) -> Path:
    """A RIFF/WAVE file with a ramp signal: PCM 8/16/24/32-bit or IEEE float 32/64-bit."""
    width = bits // 8
    data = bytearray()
    for i in range(frames * channels):
        x = ((i % 200) - 100) / 128.0
        if float_format:
            data += struct.pack("<f" if bits == 32 else "<d", x)
        elif bits == 8:
            data.append(int(128 + x * 127))
        else:
            data += int(x * (2 ** (bits - 1) - 1)).to_bytes(width, "little", signed=True)
    tag = 3 if float_format else 1
    fmt = struct.pack("<HHIIHH", tag, channels, rate, rate * channels * width, channels * width, bits)
    chunks = b"fmt " + struct.pack("<I", len(fmt)) + fmt
    if float_format:
        chunks += b"fact" + struct.pack("<II", 4, frames)
    chunks += b"data" + struct.pack("<I", len(data)) + bytes(data)
    path.write_bytes(b"RIFF" + struct.pack("<I", 4 + len(chunks)) + b"WAVE" + chunks)
    return path
