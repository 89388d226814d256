"""run(): the input, image and run parameter records the runtime receives."""

from __future__ import annotations

import json
import struct

import numpy as np
import pytest

from tessel_openai_server.kiv_velkor import _velkor
from tessel_openai_server.kiv_velkor.types import RunMode

START, END, PAD = b"<|vision_start|>", b"<|vision_end|>", b"<|image_pad|>"


@pytest.fixture
def vlm(fake):
    obj = _velkor.VELKOR()
    obj.init("m", mmproj_path="proj.gguf")
    yield obj
    obj.uninit()


def input_fields(call):
    rec = call.capture("input")
    assert len(rec) == 72
    return {
        "type": struct.unpack_from("<I", rec, 0)[0], "pad4": rec[4:8], "prompt": struct.unpack_from("<Q", rec, 8)[0],
        "images": struct.unpack_from("<Q", rec, 16)[0], "n_images": struct.unpack_from("<i", rec, 24)[0],
        "pad28": rec[28:32], "img_start": struct.unpack_from("<Q", rec, 32)[0],
        "img_end": struct.unpack_from("<Q", rec, 40)[0], "img_content": struct.unpack_from("<Q", rec, 48)[0],
        "tail": rec[56:72],
    }


def test_no_arguments_sends_a_null_prompt_of_type_zero(llm, fake):
    llm.run()
    call = fake.last("kiv_llm_run")
    f = input_fields(call)
    assert f["type"] == 0 and f["prompt"] == 0 and f["images"] == 0 and f["n_images"] == 0
    assert (f["img_start"], f["img_end"], f["img_content"]) == (0, 0, 0)
    assert f["tail"] == bytes(16) and f["pad4"] == bytes(4)
    param = call.capture("param")
    assert len(param) == 1036
    assert param == struct.pack("<Ii", 0, 0) + bytes(36) + struct.pack("<i", 1) + bytes(1036 - 48)
    assert call.u64("userdata", 0) == id(llm)


@pytest.mark.parametrize("messages_mode, images, expected_type", [(False, None, 0), (True, None, 3),
                                                                  (1, [], 3), ("", [], 0)])
def test_text_requests(llm, fake, messages_mode, images, expected_type):
    llm.run("héllo", messages_mode=messages_mode, images=images, img_start="s")
    call = fake.last("kiv_llm_run")
    f = input_fields(call)
    assert f["type"] == expected_type and f["n_images"] == 0 and f["images"] == 0
    assert (f["img_start"], f["img_end"], f["img_content"]) == (0, 0, 0)
    assert call.capture("prompt") == "héllo".encode()


def test_empty_image_list_skips_the_projector_check(llm, fake):
    llm.run("x", images=[])
    assert input_fields(fake.last("kiv_llm_run"))["n_images"] == 0


def test_one_image_wraps_the_placeholder(vlm, fake):
    img = np.arange(2 * 4 * 3, dtype=np.uint8).reshape(2, 4, 3)
    vlm.run("look <|image_pad|> here", images=[img])
    call = fake.last("kiv_llm_run")
    f = input_fields(call)
    assert f["type"] == 3 and f["n_images"] == 1 and f["images"] != 0
    assert call.capture("prompt") == b"look " + START + PAD + END + b" here"
    assert (call.capture("img_start"), call.capture("img_end"), call.capture("img_content")) == (START, END, PAD)
    assert f["tail"] == bytes(16) and f["pad28"] == bytes(4)
    rec = call.capture("image[0]")
    assert struct.unpack("<I4sQiiQ", rec)[0] == 0
    assert struct.unpack("<I4sQiiQ", rec)[1:] == (bytes(4), img.ctypes.data, 4, 2, 0)
    assert call.capture("pixels[0]") == img.tobytes()


def test_two_images_are_consecutive_records_in_order(vlm, fake):
    a = np.zeros((2, 3, 3), np.uint8)
    b = np.random.default_rng(0).random((3, 5, 7), dtype=np.float32)  # CHW floats in 0..1
    vlm.run("<|image_pad|><|image_pad|>", images=[a, b])
    call = fake.last("kiv_llm_run")
    assert input_fields(call)["n_images"] == 2
    w0, h0 = struct.unpack_from("<ii", call.capture("image[0]"), 16)
    w1, h1 = struct.unpack_from("<ii", call.capture("image[1]"), 16)
    assert (w0, h0, w1, h1) == (3, 2, 7, 5)
    expected = (np.transpose(b, (1, 2, 0)) * 255.0).clip(0, 255).astype(np.uint8)
    assert call.capture("pixels[1]") == expected.tobytes()
    assert call.capture("prompt") == (START + PAD + END) * 2


def test_float_chw_image_reports_width_and_height(vlm, fake):
    vlm.run("x", images=[np.full((3, 480, 640), 0.5, np.float32)])
    w, h = struct.unpack_from("<ii", fake.last("kiv_llm_run").capture("image[0]"), 16)
    assert (w, h) == (640, 480)


@pytest.mark.parametrize("kwargs, prompt, markers", [
    ({"prompt_input": "no placeholder"}, b"no placeholder", (START, END, PAD)),
    ({"prompt_input": "a <|image_pad|>", "img_start": ""}, b"a " + PAD, (None, END, PAD)),
    ({"prompt_input": "a <|image_pad|>", "messages_mode": True}, b"a " + PAD, (START, END, PAD)),
    ({"prompt_input": "a [I]", "img_start": "<", "img_end": "", "img_content": "[I]"}, b"a <[I]", (b"<", None, b"[I]")),
    ({"prompt_input": "", "img_end": None}, None, (START, None, PAD)),
])
def test_placeholder_and_marker_rules(vlm, fake, kwargs, prompt, markers):
    vlm.run(images=[np.zeros((1, 1, 3), np.uint8)], **kwargs)
    call = fake.last("kiv_llm_run")
    assert call.capture("prompt") == prompt
    assert (call.capture("img_start"), call.capture("img_end"), call.capture("img_content")) == markers
    assert input_fields(call)["type"] == 3


@pytest.mark.parametrize("kwargs, error, message", [
    ({"prompt_input": None}, TypeError, "argument of type 'NoneType' is not iterable"),
    ({"prompt_input": "<|image_pad|>", "img_end": None}, TypeError, None),
    ({"images": [np.zeros((0, 4, 3), np.uint8)]}, IndexError, "Out of bounds on buffer access (axis 0)"),
    ({"images": [np.zeros((4, 0, 3), np.uint8)]}, IndexError, "Out of bounds on buffer access (axis 1)"),
    ({"images": [np.zeros((4, 4), np.uint8)]}, ValueError, None),
    ({"images": [np.zeros((1, 1, 3), np.uint8), np.zeros((2, 2, 2))]}, ValueError,
     "Image must have 3 colour channels (RGB), got shape (2, 2, 2)"),
    ({"tool_schemas": 5}, TypeError, "object of type 'int' has no len()"),
    ({"sampler_params": {1j}}, TypeError, None),
    ({"run_mode": 0}, AttributeError, None),
    ({"top_k": 2**31}, OverflowError, None),
    ({"top_k": "x"}, ValueError, None),
    ({"top_p": "nan?"}, ValueError, None),
])
def test_failures_before_the_native_call(vlm, fake, kwargs, error, message):
    kwargs.setdefault("images", [np.zeros((1, 1, 3), np.uint8)])
    before = fake.names()
    previous = vlm.run("keep")
    with pytest.raises(error) as info:
        vlm.run(**kwargs)
    if message:
        assert str(info.value) == message
    assert fake.names() == before + ["kiv_llm_run"]


def test_images_without_projector(llm, fake):
    with pytest.raises(RuntimeError) as info:
        llm.run("x", images=[np.zeros((1, 1, 3), np.uint8)])
    assert str(info.value) == "Images provided but mmproj not initialized \u2014 pass mmproj_path to init()"


def test_images_follow_an_overridden_mmproj_model_property(fake):
    class Vision(_velkor.VELKOR):
        mmproj_model = property(lambda self: True)

    obj = Vision()
    obj.init("m")
    obj.run("x", images=[np.zeros((2, 1, 3), np.uint8)])
    assert fake.last("kiv_llm_run").i32("input", 24) == 1
    obj.uninit()


class Mode:
    def __init__(self, value):
        self.value = value


@pytest.mark.parametrize("value, error", [(-1, "can't convert negative value to KIV_LLMRunMode"),
                                          (2**32, "value too large to convert to KIV_LLMRunMode")])
def test_run_mode_range(llm, value, error):
    with pytest.raises(OverflowError, match=error):
        llm.run(run_mode=Mode(value))


def test_run_parameter_record(llm, fake):
    tools = [{"type": "function", "function": {"name": "météo", "parameters": {}}}]
    llm.run(run_mode=Mode(2**32 - 1), retain_history=True, enable_think=1.9, disable_chat_template=0,
            tool_schemas=tools, extra_template_params={}, sampler_params={"k": "ü"}, top_k="40",
            top_p=0.9, temperature=0.25, repeat_penalty=1)
    call = fake.last("kiv_llm_run")
    p = call.capture("param")
    assert struct.unpack_from("<IiiiIi", p, 0) == (2**32 - 1, 1, 1, 1, 0, 40)
    assert struct.unpack_from("<fff", p, 24) == (np.float32(0.9), 0.25, 1.0)
    assert struct.unpack_from("<Q", p, 36)[0] != 0 and struct.unpack_from("<i", p, 44)[0] == 0
    assert p[64:] == bytes(972)
    assert call.capture("tools_schemas") == json.dumps(tools, ensure_ascii=False).encode()
    assert "météo".encode() in call.capture("tools_schemas")
    assert call.capture("extra_template_params") == b"{}"
    assert call.capture("sampler_params_json") == '{"k": "ü"}'.encode()


@pytest.mark.parametrize("kwargs, offset, fmt, value", [
    ({"sampling_mode": "top_k"}, 16, "<I", 2),
    ({"top_k": 40.7}, 20, "<i", 40),
    ({"top_p": 0.9}, 24, "<f", float(np.float32(0.9))),
    ({"temperature": 0.7}, 28, "<f", float(np.float32(0.7))),
    ({"repeat_penalty": 1.1}, 32, "<f", float(np.float32(1.1))),
    ({"sampler_params": {}}, 16, "<I", 0),
])
def test_each_sampling_override_alone_sets_the_flag(llm, fake, kwargs, offset, fmt, value):
    llm.run(**kwargs)
    p = fake.last("kiv_llm_run").capture("param")
    assert struct.unpack_from("<i", p, 12)[0] == 1
    assert struct.unpack_from(fmt, p, offset)[0] == value
    others = [o for o in (16, 20, 24, 28, 32) if o != offset]
    assert all(p[o:o + 4] == bytes(4) for o in others)


def test_no_override_and_empty_tools(llm, fake):
    llm.run(tool_schemas=[], extra_template_params=None)
    call = fake.last("kiv_llm_run")
    assert call.i32("param", 12) == 0
    assert call.capture("tools_schemas") is None and call.capture("extra_template_params") is None


@pytest.mark.parametrize("flag", ["retain_history", "enable_think", "disable_chat_template"])
@pytest.mark.parametrize("value, error", [("1", TypeError), (2**31, OverflowError), (None, TypeError)])
def test_integer_flags_are_checked_at_binding(llm, fake, flag, value, error):
    with pytest.raises(error):
        llm.run(**{flag: value})
    assert "kiv_llm_run" not in fake.names()


def test_uninitialised_object_fails_before_looking_at_arguments(fake):
    obj = _velkor.VELKOR()
    with pytest.raises(RuntimeError, match="has not been initialized"):
        obj.run(run_mode=None, images=[object()], tool_schemas=5)
