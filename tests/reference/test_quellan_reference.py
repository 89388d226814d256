"""The reference speech runtime, called through ctypes as the module calls it."""

from __future__ import annotations

import ctypes
from ctypes import byref, c_void_p

import pytest

from .refrt import ASRInitParam, ASRInput, ASRResult, write_wav


@pytest.fixture
def model_files(tmp_path):
    model, tokenizer = tmp_path / "encoder.bin", tmp_path / "tokens.txt"
    model.write_bytes(b"\0")
    tokenizer.write_text("a b c")
    return model, tokenizer


@pytest.fixture
def recogniser(quellan, model_files):
    handle = c_void_p()
    param = ASRInitParam(model_path=str(model_files[0]).encode(), tokenizer_path=str(model_files[1]).encode())
    assert quellan.kiv_asr_init(byref(handle), byref(param)) == 0 and handle
    yield handle
    assert quellan.kiv_asr_uninit(handle) == 0


def transcribe(lib, handle, wav, language: bytes | None = b"auto", task: bytes | None = b"transcribe"):
    inp = ASRInput(kind=0, wav_path=str(wav).encode() if wav is not None else None, language=language, task=task)
    res = ASRResult()
    rc = lib.kiv_asr_transcribe(handle, byref(inp), byref(res))
    out = None
    if rc == 0:
        out = (ctypes.string_at(res.text).decode(), ctypes.string_at(res.language).decode())
    else:
        assert (res.text, res.language) == (None, None)
    lib.kiv_asr_free_result(byref(res))      # also after a failed call
    assert (res.text, res.language) == (None, None)
    lib.kiv_asr_free_result(byref(res))      # and twice
    return rc, out


@pytest.mark.parametrize("fmt, channels, rate, frames, text", [
    ({"bits": 8}, 1, 8000, 12000, "1.50 seconds of audio, 8000 Hz, 1 channel."),
    ({"bits": 16}, 1, 16000, 16000, "1.00 seconds of audio, 16000 Hz, 1 channel."),
    ({"bits": 24}, 2, 44100, 4410, "0.10 seconds of audio, 44100 Hz, 2 channels."),
    ({"bits": 32}, 6, 48000, 1000, "0.02 seconds of audio, 48000 Hz, 6 channels."),
    ({"bits": 32, "float_format": True}, 1, 22050, 22050 * 2 + 11025, "2.50 seconds of audio, 22050 Hz, 1 channel."),
    ({"bits": 64, "float_format": True}, 2, 11025, 0, "0.00 seconds of audio, 11025 Hz, 2 channels."),
])
def test_wav_files_are_described(quellan, recogniser, tmp_path, fmt, channels, rate, frames, text):
    wav = write_wav(tmp_path / "clip.wav", channels=channels, rate=rate, frames=frames, **fmt)
    assert transcribe(quellan, recogniser, wav) == (0, (text, "en"))


@pytest.mark.parametrize("content, expected", [
    ("  Hello, wörld!\n\n", "Hello, wörld!"),
    ("", ""),
])
def test_a_sidecar_transcript_wins(quellan, recogniser, tmp_path, content, expected):
    wav = write_wav(tmp_path / "speech.wav")
    (tmp_path / "speech.txt").write_text(content, encoding="utf-8")
    assert transcribe(quellan, recogniser, wav, language=b"de") == (0, (expected, "de"))


@pytest.mark.parametrize("language, task, reported", [
    (b"auto", b"transcribe", "en"), (None, None, "en"), (b"", b"transcribe", "en"),
    (b"fr", b"transcribe", "fr"), (b"fr", b"translate", "en"),
])
def test_reported_language_and_the_task_mark(quellan, recogniser, tmp_path, language, task, reported):
    wav = write_wav(tmp_path / "a.wav")
    rc, out = transcribe(quellan, recogniser, wav, language=language, task=task)
    described = "0.10 seconds of audio, 16000 Hz, 1 channel."
    assert rc == 0 and out == ("[translate] " + described if task == b"translate" else described, reported)


@pytest.mark.parametrize("content", [
    b"RIFF\x10\0\0\0WAVEjunkjunk",
    b"hello",
    b"",
    "cut",                                       # a real WAV cut inside its header
])
def test_malformed_audio_fails(quellan, recogniser, tmp_path, content):
    wav = tmp_path / "bad.wav"
    if content == "cut":
        wav.write_bytes(write_wav(tmp_path / "x.wav").read_bytes()[:30])
    else:
        wav.write_bytes(content)
    assert transcribe(quellan, recogniser, wav)[0] == 3


@pytest.mark.parametrize("where", ["missing.wav", "."])
def test_missing_audio_fails(quellan, recogniser, tmp_path, where):
    assert transcribe(quellan, recogniser, tmp_path / where)[0] == 2


def test_a_transcript_that_is_not_utf8_fails(quellan, recogniser, tmp_path):
    wav = write_wav(tmp_path / "speech.wav")
    (tmp_path / "speech.txt").write_bytes(b"caf\xe9")
    assert transcribe(quellan, recogniser, wav)[0] == 4


def test_invalid_input_kind_and_handles(quellan, recogniser, tmp_path):
    wav = str(write_wav(tmp_path / "a.wav")).encode()
    res = ASRResult()
    assert quellan.kiv_asr_transcribe(recogniser, byref(ASRInput(kind=1, wav_path=wav)), byref(res)) == 1
    assert quellan.kiv_asr_transcribe(None, byref(ASRInput(wav_path=wav)), byref(res)) == 1
    assert quellan.kiv_asr_transcribe(c_void_p(12345), byref(ASRInput(wav_path=wav)), byref(res)) == 1
    assert quellan.kiv_asr_transcribe(recogniser, None, byref(res)) == 1
    assert quellan.kiv_asr_transcribe(recogniser, byref(ASRInput(wav_path=wav)), None) == 1
    assert transcribe(quellan, recogniser, None)[0] == 1
    assert transcribe(quellan, recogniser, "x.wav", task=b"summarise")[0] == 1
    quellan.kiv_asr_free_result(None)


@pytest.mark.parametrize("change, rc", [
    ({}, 0),
    ({"model_type": 1}, 0),
    ({"extra_json": b'{"beam": 2}'}, 0),
    ({"model_path": None}, 2),
    ({"model_path": b"/nonexistent/model.bin"}, 2),
    ({"tokenizer_path": b"/nonexistent/tokens.txt"}, 2),
    ({"model_type": 7}, 1),
    ({"extra_json": b"{oops"}, 1),
])
def test_init(quellan, model_files, change, rc):
    fields = {"model_path": str(model_files[0]).encode(), "tokenizer_path": str(model_files[1]).encode()}
    fields.update(change)
    handle = c_void_p()
    assert quellan.kiv_asr_init(byref(handle), byref(ASRInitParam(**fields))) == rc
    if rc == 0:
        assert handle
        assert quellan.kiv_asr_uninit(handle) == 0
        assert quellan.kiv_asr_uninit(handle) == 1          # released already
    else:
        assert not handle


def test_init_and_uninit_reject_null(quellan, model_files):
    param = ASRInitParam(model_path=str(model_files[0]).encode())
    assert quellan.kiv_asr_init(None, byref(param)) == 1
    assert quellan.kiv_asr_init(byref(c_void_p()), None) == 1
    assert quellan.kiv_asr_uninit(None) == 1
