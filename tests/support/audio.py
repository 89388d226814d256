"""Audio files for the speech tests, encoded with PyAV: a tone, or speech
from a WAV file, in any container and codec PyAV writes."""

from __future__ import annotations

import io
import wave
from pathlib import Path

import numpy as np

# Name: (container, codec); what browsers, phones and tools upload.
ENCODINGS = {
    "mp3": ("mp3", "libmp3lame"),
    "ogg-opus": ("ogg", "libopus"),
    "webm-opus": ("webm", "libopus"),
    "m4a-aac": ("ipod", "aac"),
    "flac": ("flac", "flac"),
    "mpeg-mp2": ("mpeg", "mp2"),
    "wav": ("wav", "pcm_s16le"),
}


def tone(seconds: float, rate: int, channels: int, hz: float = 440.0) -> np.ndarray:
    """A sine tone as int16 samples, shape (frames, channels)."""
    t = np.arange(int(seconds * rate)) / rate
    mono = (0.3 * 32767 * np.sin(2 * np.pi * hz * t)).astype(np.int16)
    return np.repeat(mono[:, None], channels, axis=1)


def read_wav(path: Path) -> tuple[np.ndarray, int]:
    """The int16 samples (frames, channels) and rate of a 16-bit PCM WAV file."""
    with wave.open(str(path)) as w:
        assert w.getsampwidth() == 2
        samples = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
        return samples.reshape(-1, w.getnchannels()), w.getframerate()


def encode(samples: np.ndarray, rate: int, encoding: str, bit_rate: int | None = None) -> bytes:
    """``samples`` (int16, frames x channels) as a file of ``encoding`` (a key of ENCODINGS)."""
    import av

    container, codec = ENCODINGS[encoding]
    layout = "mono" if samples.shape[1] == 1 else "stereo"
    buffer = io.BytesIO()
    with av.open(buffer, "w", format=container) as out:
        stream = out.add_stream(codec, rate=rate, layout=layout)
        if bit_rate:
            stream.bit_rate = bit_rate
        for start in range(0, len(samples), 1024):
            frame = av.AudioFrame.from_ndarray(samples[start:start + 1024].reshape(1, -1), format="s16",
                                               layout=layout)
            frame.sample_rate = rate
            out.mux(stream.encode(frame))
        out.mux(stream.encode(None))
    return buffer.getvalue()
