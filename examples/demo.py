"""The main job of tessel_openai_server.kiv_velkor, shown end to end.

Uses only the public API (_velkor.VELKOR, _velkor.as_rgb888, _quellan.Quellan,
_quellan.find_quellan_path and the types module) against whatever runtime
libraries sit next to the modules: scripts/demo.sh deploys the real-engine
runtimes (with --llm-model and the speech model options given here) or the
deterministic reference runtimes into a throwaway copy of the package before
it runs this script. Six parts:

1. a reply streamed token by token through on_token;
2. a tool call, through on_tool_call and in the result dict;
3. a long generation broken off from a worker thread with interrupt();
4. images sent with a run (deterministic runtime only: no vision projector
   model is packaged for the real one);
5. a WAV file, written here, transcribed;
6. the OpenAI-compatible server (``serve``) with the official client
   (examples/demo_serve.py), on the same runtimes and models.

Exits 0 when every part behaved as it should, 1 otherwise.
"""

from __future__ import annotations

import argparse
import codecs
import json
import math
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import wave
from array import array
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from tessel_openai_server.kiv_velkor import _quellan, _velkor
from tessel_openai_server.kiv_velkor._quellan import Quellan, find_quellan_path
from tessel_openai_server.kiv_velkor._velkor import VELKOR, as_rgb888
from tessel_openai_server.kiv_velkor.types import Result, RetStatus, RunStatus

sys.path.insert(0, str(Path(__file__).resolve().parent))
from demo_serve import part_serve  # noqa: E402

if TYPE_CHECKING:
    from tessel_openai_server.kiv_velkor._velkor import RunResult, ToolCall

MODEL = Path(__file__).resolve().with_name("demo_model.json")

WEATHER_TOOL = {
    "type": "function",
    "function": {
        "name": "get_weather",
        "description": "Current weather in a city",
        "parameters": {
            "type": "object",
            "properties": {"city": {"type": "string"}, "unit": {"type": "string", "enum": ["celsius", "fahrenheit"]}},
            "required": ["city"],
        },
    },
}


class DemoFailure(Exception):
    """Something did not behave as the demo expects."""


def check(condition: bool, what: str) -> None:
    if not condition:
        raise DemoFailure(what)


def say(text: str = "") -> None:
    print(text, flush=True)


class Stream:
    """Prints the pieces of one run as they arrive and keeps what it saw.

    Passed to run() as userdata, so the callables given to init() find the
    stream of the run that calls them.
    """

    LABELS = {1: "reasoning", 2: "tool markup"}

    def __init__(self) -> None:
        self.text: dict[int, str] = {0: "", 1: "", 2: ""}
        self.token_ids: list[int] = []
        self.statuses: list[RunStatus] = []
        self.tool_calls: list[tuple[str, str]] = []
        self.first_piece = threading.Event()
        self._label: str | None = None
        # A piece may end inside a multi-byte character: decode incrementally.
        self._decoders = {kind: codecs.getincrementaldecoder("utf-8")("replace") for kind in self.text}

    def piece(self, result: Result, status: RunStatus) -> None:
        kind = result.content_type if result.content_type in (1, 2) else 0
        self.token_ids.append(result.token_id)
        self.statuses.append(status)
        self._show(kind, self._decoders[kind].decode(result.text))
        if status in (RunStatus.FINISH, RunStatus.ERROR):
            for other, decoder in self._decoders.items():
                self._show(other, decoder.decode(b"", final=True))

    def _show(self, kind: int, text: str) -> None:
        if not text:
            return
        self.text[kind] += text
        label = self.LABELS.get(kind, "reply")
        if label != self._label:
            self.end_line()
            print(f"    {label}> ", end="")
            self._label = label
        print(text, end="", flush=True)
        self.first_piece.set()

    def note(self, text: str) -> None:
        self.end_line()
        say(f"    {text}")

    def end_line(self) -> None:
        if self._label is not None:
            print(flush=True)
            self._label = None


def on_token(result: Result, userdata: Any, status: RunStatus) -> None:
    userdata.piece(result, status)


def on_tool_call(name: str, arguments: str, userdata: Any) -> None:
    userdata.tool_calls.append((name, arguments))
    userdata.note(f"on_tool_call received: {name}({arguments})")


def run(llm: VELKOR, prompt: str, **options: Any) -> tuple[RunResult, Stream]:
    stream = Stream()
    result = llm.run(prompt, userdata=stream, **options)
    stream.end_line()
    return result, stream


def check_streamed_is_the_reply(result: dict[str, Any], stream: Stream) -> None:
    check(result["text"] != "", "the reply is empty")
    check(stream.text[0] == result["text"], "the streamed pieces differ from result['text']")
    check(stream.token_ids == result["token_ids"], "the streamed token ids differ from result['token_ids']")


def part_streaming(llm: VELKOR) -> None:
    say("[1/6] Streaming a reply token by token")
    prompt = "Hello! What can you do?"
    say(f'  Asking "{prompt}". on_token prints every piece the moment the runtime delivers it:')
    result, stream = run(llm, prompt)
    check_streamed_is_the_reply(result, stream)
    say(f"  run() returned status {result['status'].name} after {result['token_count']} callbacks "
        f"(the last one, FINISH, carries no text).")
    say('  The pieces printed above, joined, are exactly result["text"].')


def the_tool_call(result: RunResult, stream: Stream) -> ToolCall:
    """The one tool call of a run, checked to have come both ways."""
    check(len(stream.tool_calls) == 1, "on_tool_call was not called exactly once")
    check(len(result["tool_calls"]) == 1, "result['tool_calls'] does not hold one call")
    call = result["tool_calls"][0]
    check((call["name"], call["arguments"]) == stream.tool_calls[0],
          "on_tool_call and result['tool_calls'] disagree")
    say(f'  result["tool_calls"] = {result["tool_calls"]}')
    return call


def part_tool_call(llm: VELKOR) -> None:
    say("[2/6] A tool call")
    messages: list[dict[str, Any]] = [{"role": "user", "content": "What is the weather in Paris?"}]
    say('  Offering the tool get_weather and asking "What is the weather in Paris?" as OpenAI-format')
    say("  messages, with thinking enabled (reasoning arrives as its own kind of piece):")
    result, stream = run(llm, json.dumps(messages), messages_mode=True, tool_schemas=[WEATHER_TOOL],
                         enable_think=1)
    call = the_tool_call(result, stream)
    say(f'  result["reasoning"]  = {result["reasoning"]!r}')
    say('  result["tool_text"] is empty: init() registers the tool-call callback with stop_output=1, which')
    say("  keeps the tool-call markup out of the stream (set_toolcall_callback(True, 0) would keep it in).")
    check(result["tool_text"] == "", "tool-call markup was streamed although stop_output is 1")

    arguments = json.loads(call["arguments"])
    answer = {"city": arguments["city"], "temperature": 21, "unit": arguments.get("unit", "celsius"),
              "sky": "sunny"}
    say(f"  We run the tool ourselves: {call['name']}({arguments}) gives {answer};")
    say('  its answer goes back as a "tool" message:')
    messages += [
        {"role": "assistant", "content": result["text"], "tool_calls": [
            {"id": "call_1", "type": "function", "function": {"name": call["name"], "arguments": call["arguments"]}}]},
        {"role": "tool", "tool_call_id": "call_1", "content": json.dumps(answer)},
    ]
    final, _ = run(llm, json.dumps(messages), messages_mode=True, tool_schemas=[WEATHER_TOOL])
    check(final["tool_calls"] == [], "the runtime called the tool again after its answer")
    check("21" in final["text"], "the answer after the tool result does not use it")


def interrupted_run(llm: VELKOR, delay: float, first_piece_wait: float, prompt: str,
                    **run_options: Any) -> tuple[dict[str, Any], dict[str, Any], float, float]:
    """Runs `prompt` while a worker thread calls interrupt() `delay` seconds after the first piece:
    (the run's result, what the worker saw, when the run started, when it returned)."""
    stream = Stream()
    outcome: dict[str, Any] = {}

    def worker() -> None:
        stream.first_piece.wait(timeout=first_piece_wait)
        time.sleep(delay)
        outcome["rc"] = llm.interrupt()
        outcome["at"] = time.monotonic()
        outcome["pieces"] = len(stream.token_ids)
        stream.note(f"[worker thread] interrupt() returned {outcome['rc'].name}")

    thread = threading.Thread(target=worker, name="interrupter")
    thread.start()
    started = time.monotonic()
    result = llm.run(prompt, userdata=stream, **run_options)
    ended = time.monotonic()
    thread.join()
    stream.end_line()
    return result, outcome, started, ended


def show_malformed_wav_refused(recogniser: Any, workdir: Path) -> None:
    broken = workdir / "broken.wav"
    broken.write_bytes(b"RIFF\x24\x00\x00\x00WAVEnot audio at all")
    try:
        recogniser.transcribe(broken)
    except RuntimeError as exc:
        say(f"  A malformed WAV file raises RuntimeError: {exc}")
    else:
        raise DemoFailure("a malformed WAV file was transcribed")


def part_interrupt(llm: VELKOR) -> None:
    say("[3/6] Breaking off a long generation from another thread")
    prompt = "Tell me a long story."
    full_reply = next(r["reply"] for r in json.loads(MODEL.read_text())["replies"] if r["match"] == prompt)
    delay = 1.0
    say(f'  Asking "{prompt}"; a worker thread calls interrupt() {delay:.1f} s after the first piece.')
    result, outcome, started, ended = interrupted_run(llm, delay, 30, prompt)

    check(outcome.get("rc") == RetStatus.SUCCESS, "interrupt() did not succeed")
    check(len(result["text"]) < len(full_reply), "the run was not broken off")
    check(full_reply.startswith(result["text"]), "the broken-off text is not the start of the reply")
    say(f"  run() returned normally {ended - outcome['at']:.2f} s after interrupt(), {ended - started:.1f} s "
        f"after it started,")
    say(f"  with status {result['status'].name} and {len(result['text'])} of the "
        f"{len(full_reply)} characters of the whole story.")
    say("  (On the main thread, Ctrl+C does the same, and run() then raises KeyboardInterrupt.)")


def gradient(height: int, width: int) -> np.ndarray:
    """A float image in 0..1: red grows to the right, green downwards, blue is constant."""
    image = np.empty((height, width, 3), dtype=np.float32)
    image[..., 0] = np.linspace(0.0, 1.0, width, dtype=np.float32)[None, :]
    image[..., 1] = np.linspace(0.0, 1.0, height, dtype=np.float32)[:, None]
    image[..., 2] = 0.5
    return image


def part_images(llm: VELKOR, workdir: Path) -> None:
    say("[4/6] Sending images")
    projector = workdir / "demo_projector.bin"
    projector.write_bytes(b"the reference runtime accepts any file as its vision projector\n")
    check(llm.uninit() == RetStatus.SUCCESS, "uninit() failed")
    rc = llm.init(str(MODEL), on_token, on_tool_call, mmproj_path=str(projector))
    check(rc == RetStatus.SUCCESS, f"init() with a vision projector returned {rc!r}")
    meta = llm.vision_metadata
    say(f"  Initialised again with a vision projector (mmproj_path). vision_metadata: projector "
        f"{meta['projector_type']!r}, model input {meta['model_width']}x{meta['model_height']}, "
        f"patch size {meta['patch_size']}.")

    first = gradient(48, 64)
    packed = as_rgb888(first)
    say(f"  Image 1: a float32 colour gradient of shape {first.shape} with values in 0..1;")
    say(f"           as_rgb888() packs it as {packed.dtype} {packed.shape}, top-right pixel "
        f"{tuple(int(v) for v in packed[0, -1])}.")
    checker = (np.indices((32, 32)).sum(axis=0) // 8 % 2 * 255).astype(np.uint8)
    second = np.stack([checker, checker, 255 - checker])          # channels first: (3, 32, 32)
    say(f"  Image 2: a uint8 checkerboard in channels-first layout {second.shape}, passed to run() as it is.")
    prompt = "Describe these pictures."
    say(f'  Asking "{prompt}" with both images:')
    result, _ = run(llm, prompt, images=[packed, second])
    check(result["text"].startswith("I see 2 images (64x48, 32x32)."),
          "the runtime did not receive the two images with their sizes")
    say("  The reference runtime only acknowledges images (count and width x height); a real model")
    say("  describes them.")


def write_tone(path: Path, seconds: float = 1.5, rate: int = 16000, frequency: float = 440.0) -> None:
    samples = array("h", (int(12000 * math.sin(2 * math.pi * frequency * i / rate))
                          for i in range(int(seconds * rate))))
    if sys.byteorder != "little":
        samples.byteswap()
    with wave.open(str(path), "wb") as wav:
        wav.setnchannels(1)
        wav.setsampwidth(2)
        wav.setframerate(rate)
        wav.writeframes(samples.tobytes())


def part_speech(workdir: Path) -> None:
    say("[5/6] Transcribing a WAV file")
    wav = workdir / "tone.wav"
    write_tone(wav)
    say(f"  Wrote {wav.name} with Python's wave module: 1.5 s of a 440 Hz tone, 16 kHz, 16-bit, mono.")
    model, tokenizer = workdir / "asr_model.bin", workdir / "asr_tokenizer.json"
    model.write_bytes(b"placeholder: the reference runtime does not read its model files\n")
    tokenizer.write_text("{}\n")
    recogniser = Quellan()
    try:
        recogniser.init("whisper", model, tokenizer)
        first = recogniser.transcribe(wav)
        say(f'  transcribe("{wav.name}") -> {first}')
        say("    (with no transcript beside the file, the reference runtime describes the audio;")
        say('     the language asked for is "auto", which it answers with "en")')
        check(first == {"text": "1.50 seconds of audio, 16000 Hz, 1 channel.", "language": "en"},
              "unexpected transcription of the tone")

        sidecar = wav.with_suffix(".txt")
        sidecar.write_text("Bonjour, ceci est un test.\n", encoding="utf-8")
        say(f"  Wrote the transcript {sidecar.name} beside it; the reference runtime now returns its text:")
        second = recogniser.transcribe(wav, language="fr")
        say(f'  transcribe("{wav.name}", language="fr") -> {second}')
        check(second == {"text": "Bonjour, ceci est un test.", "language": "fr"},
              "the transcript beside the WAV file was not used")

        show_malformed_wav_refused(recogniser, workdir)
    finally:
        recogniser.close()


# --- The same parts on the real engines (llama.cpp and PocketSphinx) ----------

@dataclass(frozen=True)
class RealModels:
    """The model files of the real-engine runtimes (scripts/engines.sh prints them)."""

    llm: Path
    asr_model: Path
    asr_dict: Path
    asr_lm: Path


SYSTEM = {"role": "system", "content": "You are a helpful assistant."}


def real_streaming(llm: VELKOR) -> None:
    say("[1/6] Streaming a reply token by token")
    question = "What is the capital of France?"
    say(f'  Asking "{question}" as OpenAI-format messages; greedy sampling, so the answer is repeatable.')
    say("  on_token prints every piece the moment the model produces it:")
    started = time.monotonic()
    result, stream = run(llm, json.dumps([SYSTEM, {"role": "user", "content": question}]), messages_mode=True,
                         sampler_params={"max_tokens": 48})
    elapsed = time.monotonic() - started
    check_streamed_is_the_reply(result, stream)
    say(f"  run() returned status {result['status'].name} after {result['token_count'] - 1} tokens in "
        f"{elapsed:.2f} s (the last callback, FINISH, carries no text).")
    say('  Each piece came with the model\'s own token id; the pieces joined are exactly result["text"].')


def real_tool_call(llm: VELKOR) -> None:
    say("[2/6] A tool call")
    messages: list[dict[str, Any]] = [SYSTEM, {"role": "user", "content": "What is the weather in Paris?"}]
    say('  Offering the tool get_weather and asking "What is the weather in Paris?". A 135M-parameter model')
    say('  calls a tool reliably only when made to: extra_template_params={"tool_choice": "required"} makes the')
    say("  runtime constrain the reply to a tool call with arguments of the tool's JSON schema.")
    result, stream = run(llm, json.dumps(messages), messages_mode=True, tool_schemas=[WEATHER_TOOL],
                         extra_template_params={"tool_choice": "required"})
    call = the_tool_call(result, stream)
    check(result["tool_text"] == "", "tool-call markup was streamed although stop_output is 1")
    say('  result["tool_text"] is empty: with stop_output=1 (set by init()) the markup stays out of the stream.')

    arguments = json.loads(call["arguments"])
    answer = {"city": arguments.get("city", "Paris"), "temperature": 21, "unit": "celsius", "sky": "sunny"}
    say(f"  We run the tool ourselves: {call['name']}({arguments}) gives {answer};")
    say('  its answer goes back as a "tool" message, with tool_choice "none" so that the model answers in words:')
    messages += [
        {"role": "assistant", "content": "", "tool_calls": [
            {"id": "call_1", "type": "function", "function": {"name": call["name"], "arguments": call["arguments"]}}]},
        {"role": "tool", "tool_call_id": "call_1", "content": json.dumps(answer)},
    ]
    final, _ = run(llm, json.dumps(messages), messages_mode=True, tool_schemas=[WEATHER_TOOL],
                   extra_template_params={"tool_choice": "none"}, sampler_params={"max_tokens": 48})
    check(final["tool_calls"] == [], "the model called the tool again")
    check(final["text"] != "", "the answer after the tool result is empty")


def real_interrupt(llm: VELKOR) -> None:
    say("[3/6] Breaking off a long generation from another thread")
    prompt = "Tell me a long story about a dragon and a lighthouse."
    delay = 1.0
    say(f'  Asking "{prompt}"; a worker thread calls interrupt() {delay:.1f} s after the first piece.')
    result, outcome, started, ended = interrupted_run(
        llm, delay, 60, json.dumps([SYSTEM, {"role": "user", "content": prompt}]), messages_mode=True)

    check(outcome.get("rc") == RetStatus.SUCCESS, "interrupt() did not succeed")
    check(ended - outcome["at"] < 1.0, "the run went on after interrupt()")
    say(f"  run() returned normally {ended - outcome['at']:.3f} s after interrupt() (the runtime stops within one")
    say(f"  decode step), {ended - started:.1f} s after it started, with status {result['status'].name} and "
        f"{result['token_count'] - 1} tokens;")
    say(f"  {outcome['pieces']} of them had arrived when interrupt() was called.")
    say("  (On the main thread, Ctrl+C does the same, and run() then raises KeyboardInterrupt.)")


def real_images() -> None:
    say("[4/6] Sending images")
    say("  Skipped: no vision projector model is packaged for the real runtime, which refuses mmproj_path.")
    say("  `scripts/demo.sh --deterministic` shows this part on the deterministic reference runtime.")


def real_speech(workdir: Path, models: RealModels) -> None:
    say("[5/6] Transcribing a WAV file")
    sentence = "The quick brown fox jumps over the lazy dog."
    wav = workdir / "speech.wav"
    flite = shutil.which("flite")
    if flite is not None:
        subprocess.run([flite, "-voice", "slt", "-t", sentence, "-o", str(wav)], check=True)
        say(f'  Synthesised "{sentence}" with flite (voice slt) into {wav.name}.')
    else:
        write_tone(wav)
        say(f"  flite is not installed (apt-get install flite), so {wav.name} holds a 440 Hz tone: no words to hear.")
    recogniser = Quellan()
    try:
        recogniser.init("pocketsphinx", models.asr_model, models.asr_dict, models.asr_lm)
        say(f"  Quellan.init(acoustic model {models.asr_model.name}/, dictionary {models.asr_dict.name}, "
            f"language model {models.asr_lm.name})")
        started = time.monotonic()
        result = recogniser.transcribe(wav)
        say(f'  transcribe("{wav.name}") -> {result}  ({time.monotonic() - started:.2f} s)')
        check(result["language"] == "en", "the recogniser did not report English")
        if flite is not None:
            check("fox" in result["text"], "the recogniser missed the sentence")

        show_malformed_wav_refused(recogniser, workdir)
    finally:
        recogniser.close()


def real_demo(llm: VELKOR, workdir: Path, models: RealModels) -> None:
    rc = llm.init(str(models.llm), on_token, on_tool_call)
    say(f"Created a VELKOR context for the model {models.llm.name}: init() returned {rc.name}.")
    check(rc == RetStatus.SUCCESS, "init() failed")
    for part in (real_streaming, real_tool_call, real_interrupt):
        say()
        part(llm)
    say()
    real_images()
    say()
    real_speech(workdir, models)
    say()
    part_serve(models.llm, "pocketsphinx", models.asr_model, models.asr_dict, workdir / "speech.wav",
               "What is the capital of France?", say, check,
               "[6/6] Serving OpenAI clients: a streamed chat and a transcription through the official "
               "openai client", asr_decoder=models.asr_lm)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workdir", type=Path, help="where to write the demo's files (default: a temporary directory)")
    real = parser.add_argument_group("real engines (scripts/engines.sh prints these paths)")
    real.add_argument("--llm-model", type=Path, help="a GGUF model: run on the real-engine runtimes")
    real.add_argument("--asr-model", type=Path, help="the acoustic model directory")
    real.add_argument("--asr-dict", type=Path, help="the pronunciation dictionary")
    real.add_argument("--asr-lm", type=Path, help="the language model")
    args = parser.parse_args(argv)
    models = None
    if args.llm_model is not None:
        if None in (args.asr_model, args.asr_dict, args.asr_lm):
            parser.error("--llm-model needs --asr-model, --asr-dict and --asr-lm")
        models = RealModels(args.llm_model, args.asr_model, args.asr_dict, args.asr_lm)

    say("Demo of tessel_openai_server.kiv_velkor")
    say(f"  _velkor module:  {_velkor.__file__}")
    say(f"  _quellan module: {_quellan.__file__}")
    say(f"  LLM runtime:     {Path(_velkor.__file__).resolve().with_name('libvelkor.so')} (beside _velkor)")
    say(f"  speech runtime:  {find_quellan_path()} (find_quellan_path())")
    say()
    with tempfile.TemporaryDirectory(prefix="kiv-demo-") as tmp:
        workdir = args.workdir or Path(tmp)
        workdir.mkdir(parents=True, exist_ok=True)
        try:
            llm = VELKOR()
        except RuntimeError as exc:
            say(f"error: {exc}: no usable libvelkor.so next to the module. scripts/demo.sh deploys the reference")
            say("runtime; `python -m tessel_openai_server.kiv_velkor install-runtime velkor PATH` places one.")
            return 1
        try:
            if models is not None:
                real_demo(llm, workdir, models)
                say()
                say("The real engines worked: streaming, a tool call, interrupt(), a transcription and the server")
                say("(images need the deterministic runtime).")
                return 0
            rc = llm.init(str(MODEL), on_token, on_tool_call)
            say(f"Created a VELKOR context for the model file {MODEL.name}: init() returned {rc.name}.")
            check(rc == RetStatus.SUCCESS, "init() failed")
            say()
            part_streaming(llm)
            say()
            part_tool_call(llm)
            say()
            part_interrupt(llm)
            say()
            part_images(llm, workdir)
            say()
            part_speech(workdir)
            say()
            # The same model and speech model as the parts above.
            part_serve(MODEL, "whisper", workdir / "asr_model.bin", workdir / "asr_tokenizer.json",
                       workdir / "tone.wav", "Hello! What can you do?", say, check,
                       "[6/6] Serving OpenAI clients: a streamed chat and a transcription through the official "
                       "openai client")
        except DemoFailure as exc:
            say()
            say(f"DEMO FAILED: {exc}")
            return 1
        finally:
            llm.uninit()
    say()
    say("All six parts worked: streaming, a tool call, interrupt(), images, a transcription and the server.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
