"""OpenAI's transcription and translation answers: pure functions of plain
values, no server, no I/O (the speech routes send what these return).

The runtimes report the text and its language only: no timings, tokens or
probabilities. So ``verbose_json``, ``srt`` and ``vtt`` carry one segment
spanning the whole audio, and the segment's fields the runtimes cannot know
hold neutral values (no tokens, temperature 0, log probability 0, no-speech
probability 0); its compression ratio is computed from the text, as the
field is defined.
"""

from __future__ import annotations

import zlib
from collections.abc import Iterator
from typing import Any

from .shapes import SSE_DONE, sse

__all__ = ["RESPONSE_FORMATS", "segment", "transcription", "subtitles", "stream_events"]

RESPONSE_FORMATS = ("json", "text", "srt", "verbose_json", "vtt")


def compression_ratio(text: str) -> float:
    """The text's bytes over its zlib-compressed bytes (high for repetitive text)."""
    raw = text.encode("utf-8")
    return len(raw) / len(zlib.compress(raw)) if raw else 0.0


def segment(text: str, duration: float) -> dict[str, Any]:
    """The one segment of a transcription: all of the audio and all of the text."""
    return {"id": 0, "seek": 0, "start": 0.0, "end": duration, "text": text, "tokens": [], "temperature": 0.0,
            "avg_logprob": 0.0, "compression_ratio": compression_ratio(text), "no_speech_prob": 0.0}


def transcription(text: str, language: str, response_format: str, duration: float,
                  task: str = "transcribe") -> dict[str, Any]:
    """The JSON answer (``json`` or ``verbose_json``) of a transcription or a translation (``task``)."""
    if response_format == "verbose_json":
        return {"task": task, "language": language, "duration": duration, "text": text,
                "segments": [segment(text, duration)]}
    return {"text": text}


def _timestamp(seconds: float, decimal_mark: str) -> str:
    millis = round(max(seconds, 0.0) * 1000)
    hours, millis = divmod(millis, 3_600_000)
    minutes, millis = divmod(millis, 60_000)
    return f"{hours:02d}:{minutes:02d}:{millis // 1000:02d}{decimal_mark}{millis % 1000:03d}"


def subtitles(text: str, duration: float, response_format: str) -> str:
    """The text as one cue over the whole audio, in SubRip (``srt``) or WebVTT (``vtt``); no cue for no text."""
    # A blank line would end the cue early: keep the text's lines, without the empty ones.
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    vtt = response_format == "vtt"
    if vtt:   # a cue's text is markup: & and < are escaped, and "-->" cannot stand in it
        lines = [line.replace("&", "&amp;").replace("<", "&lt;").replace("-->", "--&gt;") for line in lines]
    head = "WEBVTT\n\n" if vtt else ""
    if not lines:
        return head
    mark = "." if vtt else ","
    timing = f"{_timestamp(0.0, mark)} --> {_timestamp(duration, mark)}"
    return head + ("" if vtt else "1\n") + timing + "\n" + "\n".join(lines) + "\n\n"


def stream_events(text: str) -> Iterator[str]:
    """A transcription as server-sent events: the text as one delta (the runtime reports it whole),
    the done event, and the end of the stream."""
    yield sse({"type": "transcript.text.delta", "delta": text})
    yield sse({"type": "transcript.text.done", "text": text})
    yield SSE_DONE

