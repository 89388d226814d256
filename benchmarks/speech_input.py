"""Benchmark of speech uploads on the real speech runtime: what decoding and
converting an upload adds to its transcription.

A 30 s recording (flite's speech, voice slt, 16 kHz mono) is encoded with
PyAV as the uploads browsers, phones and tools send: mp3, Ogg Opus, WebM
Opus, M4A AAC, FLAC, and a 44.1 kHz stereo WAV. For each, the time
``prepared_wav`` takes to turn it into the runtime's WAV (decode, mix down,
resample, write the temporary file) is set against the time the runtime
takes to transcribe that WAV, rounds interleaved, medians of the wall-clock
time and of the CPU time (which other busy processes on a shared machine
change less) reported; the 16 kHz mono WAV itself takes the path that writes
it as it is. The last line gives the worst ratios with the target in
brackets.

    benchmarks/engines.sh --speech-input [--rounds 5] [--seconds 30]
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "benchmarks"))   # before tests/: its engines.py, not the tests' package

from engines import engine_paths, say  # noqa: E402
from run import machine  # noqa: E402

from support.audio import encode, read_wav  # noqa: E402

from tessel_openai_server.kiv_velkor._quellan import Quellan  # noqa: E402
from tessel_openai_server.kiv_velkor.streaming.speech.audio_input import AudioSettings, prepared_wav  # noqa: E402

TEXT = ("I would like a cup of coffee with milk. After breakfast we will read the news, answer a few letters "
        "and then take the train to the city. The museum opens at ten and closes at six, so there is plenty "
        "of time to see the paintings before we meet our friends for dinner.")
# Name: (encoding, bit rate); the bit rates of ordinary speech recordings.
UPLOADS = {"mp3, 64 kbit/s": ("mp3", 64000), "Ogg Opus, 32 kbit/s": ("ogg-opus", 32000),
           "WebM Opus, 32 kbit/s": ("webm-opus", 32000), "M4A AAC, 64 kbit/s": ("m4a-aac", 64000),
           "FLAC": ("flac", None), "WAV 44.1 kHz stereo": ("wav", None), "WAV 16 kHz mono (as it is)": ("wav", None)}


def recording(flite: str, scratch: Path, seconds: float) -> tuple[np.ndarray, int]:
    """flite's speech repeated to ``seconds``, as int16 samples (frames x 1) and their rate."""
    wav = scratch / "speech.wav"
    subprocess.run([flite, "-voice", "slt", "-t", TEXT, "-o", str(wav)], check=True)
    samples, rate = read_wav(wav)
    repeats = int(np.ceil(seconds * rate / len(samples)))
    return np.tile(samples, (repeats, 1))[:int(seconds * rate)], rate


def uploads(samples: np.ndarray, rate: int) -> dict[str, bytes]:
    # The stereo WAV: the speech at 44.1 kHz (linear interpolation) on both channels.
    at_44k = np.interp(np.arange(len(samples) * 44100 // rate) * rate / 44100, np.arange(len(samples)),
                       samples[:, 0]).astype(np.int16)
    stereo = np.repeat(at_44k[:, None], 2, axis=1)
    out = {}
    for name, (encoding, bit_rate) in UPLOADS.items():
        source, source_rate = (stereo, 44100) if "stereo" in name else (samples, rate)
        out[name] = encode(source, source_rate, encoding, bit_rate)
    return out


Timing = tuple[float, float]   # wall-clock and CPU seconds


def timed(work: Callable[[], object]) -> Timing:
    wall, cpu = time.perf_counter(), time.process_time()
    work()
    return time.perf_counter() - wall, time.process_time() - cpu


def convert(data: bytes) -> None:
    with prepared_wav(data, AudioSettings(16000)):
        pass


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds (medians are reported)")
    parser.add_argument("--seconds", type=float, default=30.0, help="length of the recording")
    args = parser.parse_args()
    flite = shutil.which("flite")
    if flite is None:
        sys.exit("flite is missing (apt-get install flite)")
    paths = engine_paths()
    scratch = Path(tempfile.mkdtemp(prefix="speech-input-bench-"))
    try:
        samples, rate = recording(flite, scratch, args.seconds)
        files = uploads(samples, rate)
        with prepared_wav(files["WAV 16 kHz mono (as it is)"], AudioSettings(16000)) as audio:
            shutil.copy(audio.path, scratch / "runtime.wav")
        recogniser = Quellan(paths["libquellan"])
        recogniser.init("pocketsphinx", paths["asr_model"], paths["asr_dict"], paths["asr_lm"])
        load_before = os.getloadavg()
        transcribing, converting = [], {name: [] for name in files}
        for r in range(args.rounds):
            say(f"[bench] round {r + 1} of {args.rounds}")
            transcribing.append(timed(lambda: recogniser.transcribe(str(scratch / "runtime.wav"))))
            for name, data in files.items():
                converting[name].append(timed(lambda: convert(data)))
        recogniser.close()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    report(args, files, transcribing, converting, load_before)


def medians(timings: list[Timing]) -> Timing:
    return statistics.median(t[0] for t in timings), statistics.median(t[1] for t in timings)


def report(args: argparse.Namespace, files: dict[str, bytes], transcribing: list[Timing],
           converting: dict[str, list[Timing]], load_before: tuple[float, float, float]) -> None:
    wall, cpu = medians(transcribing)
    print(f"speech upload benchmark: {machine()}")
    print(f"load average {load_before[0]:.2f} before, {os.getloadavg()[0]:.2f} after; medians of {args.rounds} "
          f"interleaved rounds; {args.seconds:g} s of flite speech (voice slt)")
    print()
    print(f"transcription of the runtime's WAV (PocketSphinx, one thread): {wall * 1000:.0f} ms, CPU {cpu * 1000:.0f} ms")
    print()
    print(f"{'upload':30}{'size kB':>9}{'convert ms':>12}{'CPU ms':>9}{'/ transcription':>17}{'CPU':>8}")
    worst = (0.0, 0.0)
    for name, timings in converting.items():
        convert_wall, convert_cpu = medians(timings)
        worst = (max(worst[0], convert_wall / wall), max(worst[1], convert_cpu / cpu))
        print(f"{name:30}{len(files[name]) / 1000:9.0f}{convert_wall * 1000:12.1f}{convert_cpu * 1000:9.1f}"
              f"{convert_wall / wall:17.4f}{convert_cpu / cpu:8.4f}")
    print()
    print(f"ratios: conversion/transcription {worst[0]:.4f} (worst) [<=0.05], CPU time {worst[1]:.4f} (worst)")


if __name__ == "__main__":
    main()
