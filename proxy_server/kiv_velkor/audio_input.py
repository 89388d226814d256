"""Uploaded audio to the WAV the speech runtime is given: mono 16-bit PCM at
the recogniser's sample rate, in a private temporary file.

    with prepared_wav(upload_bytes, AudioSettings(16000, max_seconds=1800)) as audio:
        recogniser.transcribe(audio.path)     # audio.seconds: its duration

A WAV already in that form is written as it is. Every other upload is
decoded with PyAV (the ``audio`` extra, imported only when needed), mixed
down and resampled by its resampler, and written as it decodes, so decoding
stops as soon as the audio passes the duration limit. The container is
recognised from its first bytes and only that demuxer is used. Without PyAV
an upload must be a PCM WAV file (the runtime mixes it down and resamples it
itself). Anything that cannot be decoded, or that holds no sound, raises
:class:`InvalidRequest`.
"""

from __future__ import annotations

import importlib
import io
import itertools
import os
import tempfile
import wave
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from types import ModuleType
from typing import Any, BinaryIO

from .errors import InvalidRequest

__all__ = ["AudioSettings", "PreparedAudio", "FORMATS", "AUDIO_EXTRA", "sniff", "looks_like_wav", "target_wav_seconds",
           "prepared_wav"]

FORMATS = "flac, mp3, mp4, mpeg, mpga, m4a, ogg, wav, webm"
AUDIO_EXTRA = "pip install 'tessel-openai-server-kiv-velkor[audio]'"

Bytes = bytes | bytearray | memoryview


@dataclass(frozen=True, slots=True)
class AudioSettings:
    """What the recogniser is given (``sample_rate``) and the longest audio taken, in seconds."""

    sample_rate: int = 16000
    max_seconds: float = 1800.0

    def __post_init__(self) -> None:
        if not 1000 <= self.sample_rate <= 384000:
            raise ValueError(f"the sample rate must be between 1000 and 384000 Hz, not {self.sample_rate}")
        if not self.max_seconds > 0:
            raise ValueError(f"the longest audio must be a positive number of seconds, not {self.max_seconds}")


@dataclass(frozen=True, slots=True)
class PreparedAudio:
    path: str         # the WAV file; removed when the ``with`` block ends
    seconds: float    # the audio's duration


def sniff(data: Bytes) -> str | None:
    """The demuxer for the container the bytes start with (a name PyAV's ``av.open`` takes), or None."""
    head = bytes(data[:12])
    if head[:4] in (b"RIFF", b"RF64") and head[8:12] == b"WAVE":
        return "wav"
    if head[4:8] == b"ftyp":                        # mp4, m4a
        return "mp4"
    for magic, demuxer in ((b"fLaC", "flac"), (b"OggS", "ogg"), (b"\x1a\x45\xdf\xa3", "webm"),
                           (b"ID3", "mp3"), (b"\x00\x00\x01\xba", "mpeg")):
        if head.startswith(magic):
            return demuxer
    # A bare MPEG audio frame (mp3, mpga): eleven sync bits and a layer other than 0 (which is AAC's).
    if len(head) >= 2 and head[0] == 0xFF and head[1] & 0xE0 == 0xE0 and head[1] & 0x06:
        return "mp3"
    return None


def looks_like_wav(data: Bytes) -> bool:
    """A RIFF/RF64 container of WAVE data."""
    return sniff(data) == "wav"


def target_wav_seconds(data: Bytes, sample_rate: int) -> float | None:
    """The duration of a WAV file that is mono 16-bit PCM at ``sample_rate`` with at least one
    sample; None for any other file."""
    info = _pcm_wav(data)
    if info is None or info[:3] != (1, 2, sample_rate) or info[3] == 0:
        return None
    return info[3] / sample_rate


@contextmanager
def prepared_wav(data: Bytes, settings: AudioSettings) -> Iterator[PreparedAudio]:
    """The upload as a WAV file the runtime takes, in a temporary file readable by this user only."""
    container = sniff(data)
    if container is None:
        raise InvalidRequest(f"the file is not audio in a format this server reads ({FORMATS})", param="file")
    fd, path = tempfile.mkstemp(suffix=".wav", prefix="kiv-audio-")
    try:
        with os.fdopen(fd, "wb") as out:
            seconds = _write_wav(data, container, settings, out)
        yield PreparedAudio(path, seconds)
    finally:
        os.unlink(path)


def _write_wav(data: Bytes, container: str, settings: AudioSettings, out: BinaryIO) -> float:
    seconds = target_wav_seconds(data, settings.sample_rate) if container == "wav" else None
    if seconds is None:
        av = _pyav()
        if av is not None:
            return _decode(av, data, container, settings, out)
        seconds = _plain_wav_seconds(data, container)
    if seconds > settings.max_seconds:
        raise _too_long(settings)
    out.write(data)
    return seconds


def _plain_wav_seconds(data: Bytes, container: str) -> float:
    """Without PyAV: the duration of a PCM WAV file, which goes to the runtime as it is."""
    if container != "wav":
        raise InvalidRequest(f"this server reads only WAV files: other formats ({FORMATS}) need its audio "
                             f"extra ({AUDIO_EXTRA})", param="file")
    info = _pcm_wav(data)
    if info is None:
        raise InvalidRequest("the WAV file cannot be read: without the server's audio extra only PCM WAV files "
                             f"are taken ({AUDIO_EXTRA})", param="file")
    if info[3] == 0:
        raise InvalidRequest("the audio holds no samples", param="file")
    return info[3] / info[2]


def _pcm_wav(data: Bytes) -> tuple[int, int, int, int] | None:
    """(channels, bytes per sample, rate, frames present) of a PCM WAV file the standard library reads."""
    try:
        with wave.open(io.BytesIO(data)) as w:
            frame_size = w.getnchannels() * w.getsampwidth()
            # The frames that are there, not those the header promises.
            frames = len(w.readframes(w.getnframes())) // frame_size
            return w.getnchannels(), w.getsampwidth(), w.getframerate(), frames
    except Exception:   # the standard library's parser fails in many ways on a malformed file
        return None


def _pyav() -> ModuleType | None:
    try:
        return importlib.import_module("av")
    except ImportError:
        return None


def _too_long(settings: AudioSettings) -> InvalidRequest:
    return InvalidRequest(f"the audio is longer than {settings.max_seconds:g} seconds, the most this server "
                          "transcribes", param="file")


def _decode(av: Any, data: Bytes, container: str, settings: AudioSettings, out: BinaryIO) -> float:
    """Decodes the first audio stream into ``out`` as mono 16-bit PCM WAV; the duration."""
    try:
        with av.open(io.BytesIO(data), format=container) as source:
            if not source.streams.audio:
                raise InvalidRequest(f"the {container} file holds no audio stream", param="file")
            with wave.open(out, "wb") as target:
                target.setnchannels(1)
                target.setsampwidth(2)
                target.setframerate(settings.sample_rate)
                frames = _resample_into(av, source.decode(source.streams.audio[0]), target, settings)
    except av.FFmpegError as exc:
        raise InvalidRequest(f"the audio cannot be decoded as {container}: {exc.strerror or exc}",
                             param="file") from None
    if frames == 0:
        raise InvalidRequest("the audio holds no samples", param="file")
    return frames / settings.sample_rate


def _resample_into(av: Any, decoded: Iterator[Any], target: wave.Wave_write, settings: AudioSettings) -> int:
    """Writes the decoded frames resampled; stops at the first one past the longest audio taken."""
    resampler = av.AudioResampler(format="s16", layout="mono", rate=settings.sample_rate)
    frames, max_frames = 0, int(settings.max_seconds * settings.sample_rate)
    for frame in itertools.chain(decoded, [None]):     # None drains the resampler
        for converted in resampler.resample(frame):
            frames += converted.samples
            if frames > max_frames:
                raise _too_long(settings)
            # Raw: the header is written once, when the file is closed (writeframes rewrites it every call).
            target.writeframesraw(memoryview(converted.planes[0])[:converted.samples * 2])
    return frames
