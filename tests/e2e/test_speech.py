"""Quellan against the reference speech runtime, each test in a fresh interpreter.

The speech module keeps the first runtime it loads for the life of the
process, so a test run that has loaded the recording fake cannot load the
reference runtime in-process.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import wave
from pathlib import Path
from typing import Any

import pytest

from reference.refrt import write_wav

FAILED = ["RuntimeError", "kiv_asr_transcribe failed (rc=1)"]

# Runs a list of steps on one Quellan and prints, per step, its result or its exception.
DRIVER = """
import json, sys
from tessel_openai_server.kiv_velkor._quellan import Quellan
job = json.loads(sys.argv[1])
recogniser = Quellan(job["lib"])
out = []
for step, *args in job["steps"]:
    try:
        out.append({"ok": getattr(recogniser, step)(*args)})
    except Exception as exc:
        out.append({"error": [type(exc).__name__, str(exc)]})
print(json.dumps(out))
"""


@pytest.fixture
def speech(runtimes, tmp_path):
    """Runs steps on an initialised recogniser in a fresh interpreter; returns their outcomes."""
    model, tokenizer = tmp_path / "model.bin", tmp_path / "tokenizer.json"
    model.write_bytes(b"\0")
    tokenizer.write_text("{}")

    def run(*steps: list[Any]) -> list[dict[str, Any]]:
        job = {"lib": str(runtimes["quellan"]),
               "steps": [["init", "whisper", str(model), str(tokenizer)], *steps]}
        env = {k: v for k, v in os.environ.items() if k != "KIV_QUELLAN_PATH"}
        proc = subprocess.run([sys.executable, "-c", DRIVER, json.dumps(job)], capture_output=True, text=True,
                              env=env, timeout=60)
        assert proc.returncode == 0, proc.stderr
        outcomes = json.loads(proc.stdout)
        assert outcomes[0] == {"ok": None}, outcomes[0]
        return outcomes[1:]
    return run


def write_wave_module(path: Path, *, rate: int, frames: int) -> Path:
    """16-bit mono written by the standard library's writer."""
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(b"".join(int((i % 64) * 512 - 16384).to_bytes(2, "little", signed=True)
                               for i in range(frames)))
    return path


@pytest.mark.parametrize("make, text", [
    (lambda p: write_wave_module(p, rate=16000, frames=24000), "1.50 seconds of audio, 16000 Hz, 1 channel."),
    (lambda p: write_wav(p, bits=16, channels=2, rate=8000, frames=4000), "0.50 seconds of audio, 8000 Hz, 2 channels."),
    (lambda p: write_wav(p, bits=32, float_format=True, rate=44100, frames=44100),
     "1.00 seconds of audio, 44100 Hz, 1 channel."),
    (lambda p: write_wav(p, bits=64, float_format=True, channels=2, rate=22050, frames=5512),
     "0.25 seconds of audio, 22050 Hz, 2 channels."),
], ids=["pcm16-wave-module", "pcm16-stereo", "float32", "float64-stereo"])
def test_wav_files_are_transcribed(speech, tmp_path, make, text):
    wav = make(tmp_path / "audio.wav")
    assert speech(["transcribe", str(wav)]) == [{"ok": {"text": text, "language": "en"}}]


@pytest.mark.parametrize("language, reported", [("auto", "en"), ("de", "de"), (None, "en"), ("", "en")])
def test_a_sidecar_transcript_and_the_language(speech, tmp_path, language, reported):
    wav = write_wav(tmp_path / "speech.wav", bits=32, float_format=True)
    (tmp_path / "speech.txt").write_text("  Grüße aus Köln.\n", encoding="utf-8")
    assert speech(["transcribe", str(wav), language]) == [{"ok": {"text": "Grüße aus Köln.", "language": reported}}]


@pytest.mark.parametrize("content", [
    b"RIFF\x24\x00\x00\x00WAVEfmt \x10\x00\x00\x00garbage",      # a header cut short
    b"RIFF\xff\xff\xff\x7fWAVEjunk" + bytes(64),                  # no format chunk
    b"plain text, not audio\n",
    b"",
], ids=["truncated-header", "no-format", "text", "empty"])
def test_malformed_wav_fails(speech, tmp_path, content):
    bad = tmp_path / "bad.wav"
    bad.write_bytes(content)
    good = write_wav(tmp_path / "good.wav")
    # A failure leaves the recogniser usable.
    assert speech(["transcribe", str(bad)], ["transcribe", str(good)]) == [
        {"error": FAILED}, {"ok": {"text": "0.10 seconds of audio, 16000 Hz, 1 channel.", "language": "en"}}]


def test_missing_file_and_closed_recogniser_fail(speech, tmp_path):
    wav = write_wav(tmp_path / "audio.wav")
    assert speech(["transcribe", str(tmp_path / "missing.wav")], ["close"], ["transcribe", str(wav)]) == [
        {"error": FAILED}, {"ok": None}, {"error": FAILED}]


def test_init_refuses_a_missing_model(speech, tmp_path):
    wav = write_wav(tmp_path / "audio.wav")
    assert speech(["init", "whisper", str(tmp_path / "missing.bin"), str(wav)]) == [
        {"error": ["RuntimeError", "kiv_asr_init failed (rc=1)"]}]
