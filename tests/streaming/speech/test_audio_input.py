"""Uploads of every format become the mono 16-bit WAV the speech runtime is
given; what cannot be decoded, is empty or too long is refused; without PyAV
only PCM WAV files are taken."""

from __future__ import annotations

import io
import os
import stat
import sys
import wave

import numpy as np
import pytest

from support.audio import ENCODINGS, encode, tone

from tessel_openai_server.kiv_velkor.streaming.speech import audio_input
from tessel_openai_server.kiv_velkor.streaming.speech.audio_input import AudioSettings, prepared_wav
from tessel_openai_server.kiv_velkor.streaming.errors import InvalidRequest

pytest.importorskip("av")


def _without_id3(mp3: bytes) -> bytes:
    """The MPEG audio frames alone, as a stream or a cut file starts."""
    assert mp3[:3] == b"ID3"
    size = int.from_bytes(bytes(b & 0x7F for b in mp3[6:10]), "big")   # synchsafe
    return mp3[10 + size:]


def _read(path: str) -> tuple[np.ndarray, tuple[int, int, int]]:
    with wave.open(path) as w:
        samples = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
        return samples, (w.getnchannels(), w.getsampwidth(), w.getframerate())


def _peak_hz(samples: np.ndarray, rate: int) -> float:
    spectrum = np.abs(np.fft.rfft(samples.astype(np.float64)))
    return float(np.argmax(spectrum) * rate / len(samples))


@pytest.mark.parametrize("encoding", [*ENCODINGS, "mp3 without its tag"])
@pytest.mark.parametrize("target_rate", [16000, 22050])
def test_every_format_becomes_mono_16_bit_pcm_at_the_rate_asked(encoding, target_rate):
    rate = 48000 if "opus" in encoding else 44100
    data = encode(tone(1.5, rate, 2), rate, encoding.split()[0])
    if encoding == "mp3 without its tag":
        data = _without_id3(data)
    with prepared_wav(data, AudioSettings(target_rate)) as audio:
        samples, form = _read(audio.path)
        assert stat.S_IMODE(os.stat(audio.path).st_mode) == 0o600
    assert not os.path.exists(audio.path)
    assert form == (1, 2, target_rate)
    # Encoders may add up to a frame of padding; the tone stays at its pitch.
    assert audio.seconds == len(samples) / target_rate and 1.5 <= audio.seconds < 1.6
    assert abs(_peak_hz(samples, target_rate) - 440) < 2


def test_a_wav_already_in_the_runtimes_form_goes_through_untouched():
    data = encode(tone(0.5, 16000, 1), 16000, "wav")
    with prepared_wav(data, AudioSettings(16000)) as audio:
        with open(audio.path, "rb") as f:
            assert f.read() == data
    assert audio.seconds == 0.5


def _empty_wav() -> bytes:
    buffer = io.BytesIO()
    with wave.open(buffer, "wb") as w:
        w.setnchannels(1), w.setsampwidth(2), w.setframerate(16000)
    return buffer.getvalue()


@pytest.mark.parametrize("data, settings, message", [
    (b"ID3 not an mp3 file", AudioSettings(), "cannot be decoded as mp3"),
    (b"RIFF\x24\x00\x00\x00WAVEnot audio at all", AudioSettings(), "cannot be decoded as wav"),
    (b"%PDF-1.7 a document", AudioSettings(), "not audio in a format this server reads"),
    (b"", AudioSettings(), "not audio"),
    (_empty_wav(), AudioSettings(), "holds no samples"),
    (encode(tone(3, 48000, 1), 48000, "ogg-opus"), AudioSettings(max_seconds=2), "longer than 2 seconds"),
    (encode(tone(3, 16000, 1), 16000, "wav"), AudioSettings(max_seconds=2), "longer than 2 seconds"),
])
def test_undecodable_empty_or_too_long_audio_is_refused(data, settings, message):
    with pytest.raises(InvalidRequest, match=message) as refused:
        with prepared_wav(data, settings):
            pass
    assert refused.value.http_status == 400 and refused.value.param == "file"


def test_decoding_stops_at_the_first_frame_past_the_longest_audio():
    import av
    frame = av.AudioFrame.from_ndarray(np.zeros((1, 1600), np.int16), format="s16", layout="mono")
    frame.sample_rate = 16000   # 0.1 s
    pulled = 0

    def endless():   # a decoder that would go on for ever
        nonlocal pulled
        while True:
            pulled += 1
            yield frame

    with wave.open(io.BytesIO(), "wb") as target:
        target.setnchannels(1), target.setsampwidth(2), target.setframerate(16000)
        with pytest.raises(InvalidRequest, match="longer than 2 seconds"):
            audio_input._resample_into(av, endless(), target, AudioSettings(16000, max_seconds=2))
    assert pulled == 21


def test_without_pyav_only_pcm_wav_files_are_taken(monkeypatch):
    stereo = encode(tone(1.0, 44100, 2), 44100, "wav")
    mp3 = encode(tone(1.0, 44100, 2), 44100, "mp3")
    monkeypatch.setitem(sys.modules, "av", None)   # import av raises ImportError
    with prepared_wav(stereo, AudioSettings(16000)) as audio:
        with open(audio.path, "rb") as f:   # the runtime mixes down and resamples it itself
            assert f.read() == stereo
    assert audio.seconds == 1.0
    float_wav = b"RIFF\x24\x00\x00\x00WAVEfmt \x10\x00\x00\x00\x03\x00\x01\x00\x80\x3e\x00\x00" \
                b"\x00\xfa\x00\x00\x04\x00\x20\x00data\x00\x00\x00\x00"
    for data, message in [(mp3, r"only WAV files.*\[audio\]"),
                          (float_wav, r"only PCM WAV files.*\[audio\]")]:
        with pytest.raises(InvalidRequest, match=message):
            with prepared_wav(data, AudioSettings()):
                pass


def test_audio_whose_rate_and_channels_change_midway_is_transcribed_whole():
    # Two MP3 files joined, as tools that concatenate recordings make them: mono at 16 kHz, then stereo at 44.1 kHz.
    joined = encode(tone(1.0, 16000, 1), 16000, "mp3") + _without_id3(encode(tone(1.0, 44100, 2, hz=880.0), 44100,
                                                                             "mp3"))
    with prepared_wav(joined, AudioSettings(16000)) as audio:
        samples, shape = _read(audio.path)
    assert shape == (1, 2, 16000) and 1.9 < audio.seconds < 2.2
    assert abs(_peak_hz(samples[:14000], 16000) - 440) < 10 and abs(_peak_hz(samples[-14000:], 16000) - 880) < 10


def _surround(rate: int, frames: int) -> "av.AudioFrame":
    import av
    frame = av.AudioFrame.from_ndarray(np.zeros((1, frames * 8), np.int16), format="s16", layout="7.1")
    frame.sample_rate = rate
    return frame


def test_decoding_work_is_bounded_by_the_samples_the_upload_declares_or_holds(monkeypatch):
    import av
    settings = AudioSettings(16000, max_seconds=2)   # at most 2 s x 48 kHz x 2 channels to decode
    # A small file that declares 384 kHz x 8 channels: refused before a sample is decoded.
    buffer = io.BytesIO()
    with av.open(buffer, "w", format="flac") as out:
        stream = out.add_stream("flac", rate=384000, layout="7.1")
        out.mux(stream.encode(_surround(384000, 384000)))
        out.mux(stream.encode(None))
    monkeypatch.setattr(audio_input, "_resample_into", lambda *a, **k: pytest.fail("decoding began"))
    with pytest.raises(InvalidRequest, match="samples .* at most 192,000"):
        with prepared_wav(buffer.getvalue(), settings):
            pass
    monkeypatch.undo()
    # A stream that does not say so stops at the first frame past the budget, long before 2 s of output.
    pulled = 0

    def endless():
        nonlocal pulled
        while True:
            pulled += 1
            yield _surround(384000, 3840)   # 0.01 s, 30,720 samples

    with wave.open(io.BytesIO(), "wb") as target:
        target.setnchannels(1), target.setsampwidth(2), target.setframerate(16000)
        with pytest.raises(InvalidRequest, match="at most 192,000"):
            audio_input._resample_into(av, endless(), target, settings)
    assert pulled == 7
