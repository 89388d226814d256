"""init(): the init record the runtime receives, the stored handle, the tool
bridge registration and the vision metadata."""

from __future__ import annotations

import struct

import pytest

from tessel_openai_server.kiv_velkor import _velkor
from tessel_openai_server.kiv_velkor.types import RetStatus, SamplingMode

STRING_FIELDS = {  # offset in the init record -> capture key
    0: "model_path", 28: "mmproj_path", 36: "sampler_params_json", 44: "model_type_override",
    52: "custom_jinja_template", 68: "mmproj_config",
}
UNSET_RANGES = [(12, 28), (60, 68), (76, 1056)]


def test_init_record_layout_and_strings(fake):
    obj = _velkor.VELKOR()
    rc = obj.init("/models/m.gguf", sampling_mode="top_k", sampler_params={"temperature": 0.5, "名": "é"},
                  mmproj_path="/models/proj.gguf", model_type_override="QWEN",
                  custom_jinja_template="{{ messages }}", mmproj_config='{"a": 1}')
    assert rc is RetStatus.SUCCESS
    call = fake.last("kiv_llm_init")
    record = call.capture("param")
    assert len(record) == 1056
    assert call.u32("param", 8) == 2
    expected = {
        "model_path": b"/models/m.gguf", "mmproj_path": b"/models/proj.gguf",
        "sampler_params_json": '{"temperature": 0.5, "名": "é"}'.encode(), "model_type_override": b"QWEN",
        "custom_jinja_template": b"{{ messages }}", "mmproj_config": b'{"a": 1}',
    }
    for offset, key in STRING_FIELDS.items():
        assert call.capture(key) == expected[key]
        assert struct.unpack_from("<Q", record, offset)[0] != 0
    for start, end in UNSET_RANGES:
        assert record[start:end] == bytes(end - start)
    assert call.capture("handle_in") == bytes(8)


def test_empty_and_none_texts_pass_null(fake):
    obj = _velkor.VELKOR()
    fake.set_rc("kiv_llm_init", 1)
    assert obj.init("", mmproj_path=None, model_type_override="", custom_jinja_template=None) is RetStatus.FAILED
    call = fake.last("kiv_llm_init")
    record = call.capture("param")
    for offset in (0, 28, 36, 44, 52, 68):
        assert struct.unpack_from("<Q", record, offset)[0] == 0
    assert obj.mmproj_model is False
    assert "kiv_llm_get_vision_info" not in fake.names()


def test_empty_sampler_dict_is_sent_as_braces(fake):
    _velkor.VELKOR().init("m", sampler_params={})
    assert fake.last("kiv_llm_init").capture("sampler_params_json") == b"{}"


def test_failure_with_handle_keeps_context_and_registers_bridge(fake):
    fake.set_rc("kiv_llm_init", 1)
    fake.set_init_handle(0x4242)
    obj = _velkor.VELKOR()
    assert obj.init("m") is RetStatus.FAILED
    assert obj.context == 0x4242
    reg = fake.last("kiv_llm_set_toolcall_callback")
    assert reg.handle == 0x4242
    assert reg.capture("callback") != bytes(8)
    assert reg.i32("stop_output", 0) == 1


def test_no_handle_means_no_context_and_no_registration(fake):
    fake.set_init_handle(0)
    obj = _velkor.VELKOR()
    assert obj.init("m", mmproj_path="p") is RetStatus.SUCCESS
    assert obj.context is None
    assert obj.mmproj_model is True
    assert obj.vision_metadata == {}
    assert fake.names() == ["kiv_llm_init"]


def test_missing_entry_point_is_reported_as_failure(deploy, fake_velkor_path):
    fake = deploy(fake_velkor_path)
    obj = _velkor.VELKOR()
    # A runtime code the enum does not know is still a RetStatus.
    fake.set_rc("kiv_llm_init", 9)
    assert int(obj.init("m")) == 9


def test_second_init_releases_the_earlier_context(fake):
    obj = _velkor.VELKOR()
    fake.set_init_handle(0x1111)
    obj.init("first", on_token=print)
    fake.set_init_handle(0x2222)
    obj.init("second")
    names = fake.names()
    assert names == ["kiv_llm_init", "kiv_llm_set_toolcall_callback", "kiv_llm_uninit",
                     "kiv_llm_init", "kiv_llm_set_toolcall_callback"]
    assert fake.calls("kiv_llm_uninit")[0].handle == 0x1111
    assert obj.context == 0x2222


def test_bad_arguments_leave_the_earlier_context_alone(fake):
    obj = _velkor.VELKOR()
    obj.init("first")
    with pytest.raises(UnicodeEncodeError):
        obj.init("bad\udcff")
    with pytest.raises(TypeError):
        obj.init("m", sampler_params={"x": object()})
    with pytest.raises(ValueError, match="Invalid sampling_mode"):
        obj.init("m", sampling_mode="nope")
    assert "kiv_llm_uninit" not in fake.names()
    assert obj.context is not None


def vision_record(has_metadata=1, projector=b"qwen2vl", mean=(0.48145466, 0.4578275, 0.40821073),
                  std=(0.26862954, 0.26130258, 0.27577711), patch=16, merge=4, n_inputs=1) -> bytes:
    rec = bytearray(120)
    struct.pack_into("<i", rec, 0, n_inputs)
    rec[16:16 + len(projector)] = projector
    struct.pack_into("<3f", rec, 80, *mean)
    struct.pack_into("<3f", rec, 92, *std)
    struct.pack_into("<iii", rec, 104, patch, merge, has_metadata)
    return bytes(rec)


DEFAULTS = {
    "projector_type": "", "patch_size": 14, "proj_scale_factor": 0, "image_mean": [0.5, 0.5, 0.5],
    "image_std": [0.5, 0.5, 0.5], "spatial_merge_size": 2, "image_size": 0, "n_wa_pattern": 0,
    "embed_dim": 0, "has_class_embed": 0, "nx": 0, "ny": 0, "has_metadata": 0, "image_fmt": 1,
    "model_width": 0, "model_height": 0,
}


def f32(x: float) -> float:
    return struct.unpack("<f", struct.pack("<f", x))[0]


def init_with_vision(fake, **vision):
    fake.set_vision(**vision)
    obj = _velkor.VELKOR()
    obj.init("m", mmproj_path="proj")
    return obj


def test_full_vision_metadata(fake):
    obj = init_with_vision(fake, record=vision_record(), inputs=True, height=448, width=336)
    meta = obj.vision_metadata
    assert list(meta) == list(DEFAULTS)
    assert meta["projector_type"] == "qwen2vl" and meta["has_metadata"] == 1
    assert meta["image_mean"] == [f32(0.48145466), f32(0.4578275), f32(0.40821073)]
    assert meta["image_std"][0] == f32(0.26862954) != 0.26862954
    assert (meta["patch_size"], meta["spatial_merge_size"]) == (16, 4)
    assert (meta["model_width"], meta["model_height"]) == (336, 448)
    names = fake.names()
    assert names.index("kiv_llm_get_vision_info") > names.index("kiv_llm_set_toolcall_callback")


@pytest.mark.parametrize("vision, changes", [
    (dict(record=vision_record(), rc=1), {}),
    (dict(record=vision_record(has_metadata=0), inputs=True, height=448, width=448),
     {"model_width": 448, "model_height": 448}),
    (dict(record=vision_record(patch=0, merge=-1, projector=b"")),
     {"has_metadata": 1, "image_mean": [f32(0.48145466), f32(0.4578275), f32(0.40821073)],
      "image_std": [f32(0.26862954), f32(0.26130258), f32(0.27577711)]}),
    (dict(record=vision_record(has_metadata=0, n_inputs=3), inputs=False), {}),
    (dict(record=vision_record(has_metadata=0, n_inputs=0), inputs=True, height=5, width=6), {}),
    (dict(record=vision_record(has_metadata=0), inputs=True, height=-2, width=0),
     {"model_width": 0, "model_height": -2}),
])
def test_vision_metadata_cases(fake, vision, changes):
    obj = init_with_vision(fake, **vision)
    assert obj.vision_metadata == {**DEFAULTS, **changes}


def test_projector_type_without_nul_is_bounded(fake):
    obj = init_with_vision(fake, record=vision_record(projector=b"p" * 64))
    assert obj.vision_metadata["projector_type"] == "p" * 64


def test_undecodable_projector_type_raises_after_has_metadata(fake):
    fake.set_vision(record=vision_record(projector=b"\xff\xfe"))
    obj = _velkor.VELKOR()
    with pytest.raises(UnicodeDecodeError):
        obj.init("m", mmproj_path="proj")
    assert obj.context is not None
    assert obj.vision_metadata == {**DEFAULTS, "has_metadata": 1}


def test_metadata_survives_uninit_and_text_only_init(fake):
    obj = init_with_vision(fake, record=vision_record())
    meta = obj.vision_metadata
    obj.uninit()
    assert obj.vision_metadata is meta and obj.mmproj_model is True
    obj.init("m")
    assert obj.vision_metadata is meta and obj.mmproj_model is False
    obj.init("m", mmproj_path="p")
    assert obj.vision_metadata is not meta


def test_callables_are_stored_and_userdata_cleared(fake):
    got = []
    obj = _velkor.VELKOR()
    obj.init("m", on_token=lambda *a: got.append(("tok", a)), on_tool_call=lambda *a: got.append(("tool", a)))
    fake.result(b"hi", token_id=5, state=2)
    fake.tool(b"f", b"{}")
    obj.run(userdata="u")
    assert [g[0] for g in got] == ["tok", "tool"]
    assert got[1][1] == ("f", "{}", "u")
