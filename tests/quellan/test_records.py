"""What the runtime receives: every record byte and string, as the recording
fake saw them at call time."""

from __future__ import annotations

import os
import struct

import pytest


def pointer(record: bytes, offset: int) -> int:
    return struct.unpack_from("<Q", record, offset)[0]


def abs_bytes(path: str) -> bytes:
    return os.fsencode(os.path.abspath(path))


@pytest.mark.parametrize("backend, model_type", [("whisper", 0), ("Whisper", 1), ("other", 1)])
def test_backend_selects_the_model_type(quellan, fake, backend, model_type):
    quellan.Quellan().init(backend, "m", "t")
    assert struct.unpack_from("<i", fake.calls()[0].record, 0)[0] == model_type


@pytest.mark.parametrize("decoder, extra, strings", [
    (None, None, {12: None, 28: None}),
    ("", b"", {12: None, 28: None}),
    ("dec.bin", '{"beam": 5, "é": 1}', {12: abs_bytes("dec.bin"), 28: '{"beam": 5, "é": 1}'.encode()}),
    (b"/abs/dec.bin", b'{"k": 1}', {12: b"/abs/dec.bin", 28: b'{"k": 1}'}),
], ids=["none", "empty", "str", "bytes"])
def test_init_record_layout(quellan, fake, decoder, extra, strings):
    q = quellan.Quellan()
    q.init("whisper", "dir/model.bin", "tok.json", decoder, extra)
    (call,) = fake.calls()
    assert call.name == "kiv_asr_init"
    assert call.strings == {4: abs_bytes("dir/model.bin"), 20: abs_bytes("tok.json"), **strings}
    for offset in (12, 28):
        assert (pointer(call.record, offset) == 0) == (strings[offset] is None)
    assert call.record[36:] == bytes(988)


@pytest.mark.parametrize("args, language, task", [
    ({}, b"auto", b"transcribe"),
    ({"language": None, "task": ""}, None, None),
    ({"language": b"\xff-raw", "task": "translate"}, b"\xff-raw", b"translate"),
    ({"language": "日本語", "task": b""}, "日本語".encode(), None),
], ids=["defaults", "none-and-empty", "bytes-unchanged", "utf8"])
def test_input_record_layout(recogniser, fake, args, language, task):
    recogniser.transcribe("a.wav", **args)
    call = fake.calls()[0]
    assert call.name == "kiv_asr_transcribe"
    assert call.strings == {4: abs_bytes("a.wav"), 28: language, 36: task}
    assert call.record[:4] == bytes(4)              # input kind: the named file
    assert call.record[12:28] == bytes(16)
    assert call.record[44:] == bytes(980)
    assert call.result_record == bytes(1024)        # zeroed before the call


@pytest.mark.parametrize("rc", [0, 4])
def test_every_transcribe_releases_its_own_result_once(recogniser, fake, rc):
    fake.script_transcribe(rc)
    if rc:
        with pytest.raises(RuntimeError, match=r"^kiv_asr_transcribe failed \(rc=1\)$"):
            recogniser.transcribe("a.wav")
    else:
        recogniser.transcribe("a.wav")
    transcribe, free = fake.calls()
    assert free.name == "kiv_asr_free_result" and free.result_address == transcribe.result_address
    assert fake.counts()["free_result_count"] == 1
    assert recogniser.transcribe("b.wav")["text"] == "hello"     # still usable

