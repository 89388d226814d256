"""The recogniser's work is bounded by its callers: a transcription still queued
for a worker when its wait runs out is given up at once, and the work of a
caller that left, queued or converting, stops within a frame."""

from __future__ import annotations

import asyncio
import contextlib
import time

import pytest

from support.audio import encode, tone

from tessel_openai_server.kiv_velkor.streaming.errors import RecogniserBusy
from tessel_openai_server.kiv_velkor.streaming.speech import recogniser as recogniser_module
from tessel_openai_server.kiv_velkor.streaming.speech.recogniser import SpeechRecogniser


def test_queued_work_counts_against_the_wait_and_stops_when_its_caller_leaves(fake_quellan_path, tmp_path,
                                                                              monkeypatch):
    conversions: list[dict[str, float]] = []
    real = recogniser_module.prepared_wav

    @contextlib.contextmanager
    def slow_conversion(data, settings, checkpoint=None):
        spent = {"began": time.monotonic(), "ended": 0.0}
        conversions.append(spent)
        try:
            for _ in range(300):   # 3 s of decoding, frame by frame
                if checkpoint is not None:
                    checkpoint()
                time.sleep(0.01)
            with real(data, settings, checkpoint) as prepared:
                yield prepared
        finally:
            spent["ended"] = time.monotonic()

    monkeypatch.setattr(recogniser_module, "prepared_wav", slow_conversion)
    wav = encode(tone(0.2, 16000, 1), 16000, "wav")
    with SpeechRecogniser("whisper", str(tmp_path / "m"), str(tmp_path / "t"), lib_path=str(fake_quellan_path),
                          max_queue=8) as asr:
        async def main() -> float:
            converting = [asyncio.ensure_future(asr.atranscribe(wav)) for _ in range(2)]   # both workers busy
            await asyncio.sleep(0.2)
            started = time.monotonic()
            with pytest.raises(RecogniserBusy, match="waited 0.5 s"):
                await asr.atranscribe(wav, wait_timeout=0.5)
            waited = time.monotonic() - started
            queued = asyncio.ensure_future(asr.atranscribe(wav))
            await asyncio.sleep(0.1)
            for task in (*converting, queued):
                task.cancel()
            await asyncio.gather(*converting, queued, return_exceptions=True)
            return waited

        waited = asyncio.run(main())
        deadline = time.monotonic() + 5
        while asr.waiting and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(0.2)
    assert 0.5 <= waited < 1.0
    assert len(conversions) == 2   # the given-up and the abandoned ones never began
    assert all(0 < c["ended"] - c["began"] < 1.0 for c in conversions)   # cut short at the hang-up
    assert asr.waiting == 0
