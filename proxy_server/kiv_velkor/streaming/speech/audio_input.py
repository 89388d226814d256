"""Uploaded audio to the WAV the speech runtime is given: mono 16-bit PCM at
the recogniser's sample rate, in a private temporary file.

    with prepared_wav(upload_bytes, AudioSettings(16000, max_seconds=1800)) as audio:
        recogniser.transcribe(audio.path)     # audio.seconds: its duration

A WAV already in that form is written as it is. Every other upload is
decoded with PyAV (the ``audio`` extra, imported only when needed), mixed
down and resampled by its resampler, and written as it decodes, so decoding
stops as soon as the audio passes the duration limit. The decoding work is
bounded too: an upload whose stream declares more samples (rate x channels
x duration) than the longest audio holds at 48 kHz stereo is refused before
anything is decoded, and decoding stops once that many samples are decoded
(a small file can declare a huge rate). Audio whose rate or channels change
midway (chained Ogg files) is resampled part by part. The container is
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
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from types import ModuleType
from typing import Any, BinaryIO

from ..errors import InvalidRequest

__all__ = ["AudioSettings", "PreparedAudio", "FORMATS", "AUDIO_EXTRA", "sniff", "looks_like_wav", "target_wav_seconds",
           "prepared_wav"]

FORMATS = "flac, mp3, mp4, mpeg, mpga, m4a, ogg, wav, webm"
AUDIO_EXTRA = "pip install 'tessel-openai-server-kiv-velkor[audio]'"

Bytes = bytes | bytearray | memoryview
Checkpoint = Callable[[], None]   # called between decoded frames; raises to stop the work

# The samples (over all channels) a second of the longest audio may cost to decode: 48 kHz stereo.
SAMPLE_BUDGET_PER_SECOND = 48000 * 2


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

    @property
    def max_samples(self) -> int:
        """The most samples (over all channels) an upload may take to decode."""
        return int(self.max_seconds * SAMPLE_BUDGET_PER_SECOND)


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
def prepared_wav(data: Bytes, settings: AudioSettings, checkpoint: Checkpoint | None = None) -> Iterator[PreparedAudio]:
    """The upload as a WAV file the runtime takes, in a temporary file readable by this user only.

    ``checkpoint`` is called between decoded frames: what it raises ends the conversion (a caller
    that left)."""
    container = sniff(data)
    if container is None:
        raise InvalidRequest(f"the file is not audio in a format this server reads ({FORMATS})", param="file")
    fd, path = tempfile.mkstemp(suffix=".wav", prefix="kiv-audio-")
    try:
        with os.fdopen(fd, "wb") as out:
            seconds = _write_wav(data, container, settings, out, checkpoint or _go_on)
        yield PreparedAudio(path, seconds)
    finally:
        os.unlink(path)


def _go_on() -> None:
    pass


def _write_wav(data: Bytes, container: str, settings: AudioSettings, out: BinaryIO, checkpoint: Checkpoint) -> float:
    seconds = target_wav_seconds(data, settings.sample_rate) if container == "wav" else None
    if seconds is None:
        av = _pyav()
        if av is not None:
            return _decode(av, data, container, settings, out, checkpoint)
        seconds = _plain_wav_seconds(data, container, settings)
    if seconds > settings.max_seconds:
        raise _too_long(settings)
    out.write(data)
    return seconds


def _plain_wav_seconds(data: Bytes, container: str, settings: AudioSettings) -> float:
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
    if info[0] * info[3] > settings.max_samples:   # the runtime decodes and resamples every one of them
        raise _too_costly(settings, info[0] * info[3])
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


def _too_costly(settings: AudioSettings, samples: int) -> InvalidRequest:
    return InvalidRequest(f"the audio holds {samples:,} samples (rate x channels x duration) or more; this server "
                          f"decodes at most {settings.max_samples:,} ({settings.max_seconds:g} seconds at 48 kHz "
                          "stereo)", param="file")


def _declared_samples(source: Any, stream: Any) -> int | None:
    """The samples a stream says it holds, over all channels (None when it does not say)."""
    codec = stream.codec_context
    rate = codec.sample_rate or stream.sample_rate or 0
    channels = codec.channels or 0
    if stream.duration is not None and stream.time_base is not None:
        seconds = float(stream.duration * stream.time_base)
    elif source.duration is not None:
        seconds = source.duration / 1_000_000   # in AV_TIME_BASE units
    else:
        return None
    return int(rate * channels * seconds)


def _decode(av: Any, data: Bytes, container: str, settings: AudioSettings, out: BinaryIO,
            checkpoint: Checkpoint) -> float:
    """Decodes the first audio stream into ``out`` as mono 16-bit PCM WAV; the duration."""
    try:
        with av.open(io.BytesIO(data), format=container) as source:
            if not source.streams.audio:
                raise InvalidRequest(f"the {container} file holds no audio stream", param="file")
            stream = source.streams.audio[0]
            declared = _declared_samples(source, stream)
            if declared is not None and declared > settings.max_samples:
                raise _too_costly(settings, declared)
            with wave.open(out, "wb") as target:
                target.setnchannels(1)
                target.setsampwidth(2)
                target.setframerate(settings.sample_rate)
                frames = _resample_into(av, source.decode(stream), target, settings, checkpoint)
    except av.FFmpegError as exc:
        raise InvalidRequest(f"the audio cannot be decoded as {container}: {exc.strerror or exc}",
                             param="file") from None
    if frames == 0:
        raise InvalidRequest("the audio holds no samples", param="file")
    return frames / settings.sample_rate


def _resample_into(av: Any, decoded: Iterator[Any], target: wave.Wave_write, settings: AudioSettings,
                   checkpoint: Checkpoint = _go_on) -> int:
    """Writes the decoded frames resampled; stops at the first one past the longest audio taken, or past
    the decoding budget. A frame whose rate, layout or sample format differs from the one before it
    (chained streams) gets a new resampler, after the old one is drained."""
    frames, max_frames = 0, int(settings.max_seconds * settings.sample_rate)
    decoded_samples = 0
    resampler: Any = None
    shape: tuple[Any, ...] | None = None
    for frame in itertools.chain(decoded, [None]):     # None drains the resampler
        checkpoint()
        pending = []
        if frame is not None:
            decoded_samples += frame.samples * len(frame.layout.channels)
            if decoded_samples > settings.max_samples:
                raise _too_costly(settings, decoded_samples)
            now = (frame.sample_rate, frame.layout.name, frame.format.name)
            if now != shape:
                if resampler is not None:
                    pending.append(resampler.resample(None))
                resampler = av.AudioResampler(format="s16", layout="mono", rate=settings.sample_rate)
                shape = now
        if resampler is not None:
            pending.append(resampler.resample(frame))
        for converted in itertools.chain.from_iterable(pending):
            frames += converted.samples
            if frames > max_frames:
                raise _too_long(settings)
            # Raw: the header is written once, when the file is closed (writeframes rewrites it every call).
            target.writeframesraw(memoryview(converted.planes[0])[:converted.samples * 2])
    return frames
