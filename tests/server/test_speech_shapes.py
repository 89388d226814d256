"""Transcription answers as pure values: subtitles that stay well-formed
whatever the text, and verbose_json valid against OpenAI's schema."""

from __future__ import annotations

import pytest

from support.openapi import validate

from tessel_openai_server.kiv_velkor.server.openai.speech_shapes import subtitles, transcription


@pytest.mark.parametrize("text, duration, response_format, expected", [
    # A blank line would end the cue early; an hour and more, rounded to the millisecond.
    ("First line.\n\n  Second line.  \n", 3725.0004, "srt",
     "1\n00:00:00,000 --> 01:02:05,000\nFirst line.\nSecond line.\n\n"),
    ("a < b & c --> d", 0.5, "vtt", "WEBVTT\n\n00:00:00.000 --> 00:00:00.500\na &lt; b &amp; c --&gt; d\n\n"),
    ("a < b", 0.5, "srt", "1\n00:00:00,000 --> 00:00:00,500\na < b\n\n"),
    ("  \n", 2.0, "vtt", "WEBVTT\n\n"),
    ("", 2.0, "srt", ""),
])
def test_subtitles_hold_one_well_formed_cue(text, duration, response_format, expected):
    assert subtitles(text, duration, response_format) == expected


@pytest.mark.parametrize("text", ["", "the quick brown fox " * 20])
def test_verbose_json_is_valid_with_one_segment_over_the_audio(text):
    answer = transcription(text, "en", "verbose_json", 2.25)
    validate("CreateTranscriptionResponseVerboseJson", answer)
    [segment] = answer["segments"]
    assert (segment["start"], segment["end"], segment["text"], answer["duration"]) == (0.0, 2.25, text, 2.25)
    assert segment["compression_ratio"] > (2.4 if text else -1)   # repetition shows, as the field means
