"""Quellan driving the PocketSphinx runtime on speech synthesised by flite, in a
fresh interpreter (the speech module keeps the first runtime it loads)."""

from __future__ import annotations

import json
import re
import shutil
import subprocess
import sys
import wave
from pathlib import Path

import ctypes
from ctypes import byref, c_void_p

import numpy as np
import pytest

from reference.refrt import ASRInitParam, ASRInput, ASRResult, bind_quellan, write_wav
from support.audio import encode, read_wav

SENTENCES = [
    "The quick brown fox jumps over the lazy dog.",
    "Please call me when you get home tonight.",
    "The weather will be sunny and warm tomorrow.",
    "I would like a cup of coffee with milk.",
]

DRIVER = """
import json, sys, time
from tessel_openai_server.kiv_velkor._quellan import Quellan
job = json.loads(sys.argv[1])
recogniser = Quellan(job["lib"])
recogniser.init("pocketsphinx", *job["init"])
out = []
for path in job["files"]:
    try:
        out.append(recogniser.transcribe(path))
    except RuntimeError as exc:
        out.append(str(exc))
recogniser.close()
print(json.dumps(out))
"""

UPLOADS = """
import json, sys
from tessel_openai_server.kiv_velkor.streaming.speech.recogniser import SpeechRecogniser
job = json.loads(sys.argv[1])
out = {}
with SpeechRecogniser("pocketsphinx", *job["init"], lib_path=job["lib"]) as recogniser:
    for name, path in job["files"].items():
        with open(path, "rb") as f:
            result = recogniser.transcribe(f.read())
        out[name] = [result.text, result.audio_seconds]
print(json.dumps(out))
"""


def words(text: str) -> list[str]:
    return re.sub(r"[^a-z' ]", " ", text.lower()).split()


def word_errors(reference: list[str], hypothesis: list[str]) -> int:
    """Substitutions, insertions and deletions (word-level edit distance)."""
    row = list(range(len(hypothesis) + 1))
    for i, ref in enumerate(reference, 1):
        prev, row[0] = row[0], i
        for j, hyp in enumerate(hypothesis, 1):
            prev, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, prev + (ref != hyp))
    return row[-1]


def rewrite(source: Path, target: Path, rate: int, channels: int) -> Path:
    """The same speech at another rate (linear interpolation) and channel count."""
    with wave.open(str(source)) as w:
        samples = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").astype(np.float64)
        source_rate = w.getframerate()
    n = int(len(samples) * rate / source_rate)
    resampled = np.interp(np.arange(n) * source_rate / rate, np.arange(len(samples)), samples)
    with wave.open(str(target), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(np.repeat(resampled, channels).astype("<i2").tobytes())
    return target


@pytest.fixture(scope="module")
def flite() -> str:
    path = shutil.which("flite")
    if path is None:
        pytest.skip("flite is needed to synthesise speech (Debian's flite; the engines stage installs it)")
    return path


def test_synthesised_sentences_are_transcribed(engines, flite, tmp_path):
    files = []
    for i, sentence in enumerate(SENTENCES):
        wav = tmp_path / f"sentence{i}.wav"
        subprocess.run([flite, "-voice", "slt", "-t", sentence, "-o", str(wav)], check=True)
        files.append(wav)
    # The runtime mixes down and resamples to the 16 kHz mono that the model expects.
    files[1] = rewrite(files[1], tmp_path / "stereo44.wav", 44100, 2)
    files[2] = rewrite(files[2], tmp_path / "mono22.wav", 22050, 1)
    broken = tmp_path / "broken.wav"
    broken.write_bytes(b"RIFF\x24\x00\x00\x00WAVEnot audio at all")
    job = {"lib": str(engines["libquellan"]),
           "init": [str(engines["asr_model"]), str(engines["asr_dict"]), str(engines["asr_lm"])],
           "files": [str(f) for f in [*files, broken]]}
    proc = subprocess.run([sys.executable, "-c", DRIVER, json.dumps(job)], capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stderr
    *results, failure = json.loads(proc.stdout)

    errors = sum(word_errors(words(s), words(r["text"])) for s, r in zip(SENTENCES, results))
    wer = errors / sum(len(words(s)) for s in SENTENCES)
    print(f"word error rate {wer:.3f}:", [r["text"] for r in results])
    assert wer <= 0.25
    assert all(r["language"] == "en" for r in results)
    assert failure == "kiv_asr_transcribe failed (rc=1)"


def test_one_sentence_uploaded_in_every_format_gives_the_words_of_its_wav(engines, flite, tmp_path):
    pytest.importorskip("av")
    wav = tmp_path / "sentence.wav"
    subprocess.run([flite, "-voice", "slt", "-t", SENTENCES[2], "-o", str(wav)], check=True)
    samples, rate = read_wav(wav)
    files = {"wav": str(wav)}
    # Bit rates of ordinary speech recordings (PyAV's default for mp3 at 16 kHz, 24 kbit/s, loses a word).
    for encoding, bit_rate in (("mp3", 64000), ("ogg-opus", 32000), ("webm-opus", 32000), ("m4a-aac", 64000),
                               ("flac", None)):
        files[encoding] = str(tmp_path / f"sentence.{encoding}")
        Path(files[encoding]).write_bytes(encode(samples, rate, encoding, bit_rate))
    job = {"lib": str(engines["libquellan"]), "files": files,
           "init": [str(engines["asr_model"]), str(engines["asr_dict"]), str(engines["asr_lm"])]}
    proc = subprocess.run([sys.executable, "-c", UPLOADS, json.dumps(job)], capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stderr
    results = json.loads(proc.stdout)
    print({name: text for name, (text, _) in results.items()})
    reference = words(results.pop("wav")[0])
    assert word_errors(words(SENTENCES[2]), reference) <= 2
    for name, (text, seconds) in results.items():
        assert words(text) == reference, name
        assert abs(seconds - len(samples) / rate) < 0.1, name


@pytest.fixture
def quellan(engines):
    return bind_quellan(engines["libquellan"])


def init_rc(lib, engines, **change) -> tuple[int, c_void_p]:
    fields = {"model_path": str(engines["asr_model"]).encode(), "tokenizer_path": str(engines["asr_dict"]).encode(),
              "decoder_path": str(engines["asr_lm"]).encode(), **change}
    handle = c_void_p()
    return lib.kiv_asr_init(byref(handle), byref(ASRInitParam(**fields))), handle


@pytest.mark.parametrize("change, rc", [
    ({"model_type": 1, "extra_json": b'{"beam": 1e-40}'}, 0),
    ({"model_type": 2}, 1),
    ({"extra_json": b'{"no_such_option": 1}'}, 1),
    ({"tokenizer_path": b"/nonexistent/dictionary.dict"}, 2),
    ({"decoder_path": b"/nonexistent/model.lm.bin"}, 2),
    ({"model_path": b"/etc/hostname"}, 6),            # exists, but is no acoustic model directory
])
def test_init_return_codes(quellan, engines, change, rc):
    got, handle = init_rc(quellan, engines, **change)
    assert got == rc and bool(handle) == (rc == 0)
    if handle:
        assert quellan.kiv_asr_uninit(handle) == 0


def test_transcribe_return_codes(quellan, engines, tmp_path):
    rc, handle = init_rc(quellan, engines)
    assert rc == 0

    def transcribe(path: Path, task: bytes = b"transcribe") -> int:
        result = ASRResult()
        code = quellan.kiv_asr_transcribe(handle, byref(ASRInput(wav_path=str(path).encode(), task=task)),
                                          byref(result))
        if code == 0:
            assert ctypes.string_at(result.language) == b"en"
        quellan.kiv_asr_free_result(byref(result))
        return code

    broken = tmp_path / "broken.wav"
    broken.write_bytes(b"RIFF\x24\x00\x00\x00WAVEnot audio at all")
    # Any WAV decodes: 8 and 24-bit PCM, 64-bit float, several channels, odd rates.
    for i, fmt in enumerate([{"bits": 8, "rate": 8000}, {"bits": 24, "channels": 2, "rate": 44100},
                             {"bits": 64, "float_format": True, "channels": 6, "rate": 11025}]):
        assert transcribe(write_wav(tmp_path / f"ok{i}.wav", frames=4000, **fmt)) == 0
    assert transcribe(broken) == 3
    assert transcribe(tmp_path / "missing.wav") == 2
    assert transcribe(broken, task=b"summarise") == 1
    assert quellan.kiv_asr_uninit(handle) == 0
