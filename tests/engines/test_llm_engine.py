"""VELKOR driving the llama.cpp runtime with a real model (SmolLM2-135M-Instruct)."""

from __future__ import annotations

import collections
import json
import os
import subprocess
import sys
import threading
import time

import pytest

from reference.refrt import Llm, bind_velkor, run_refused_from_a_callback
from support.placement import look_in, release_objects
from tessel_openai_server.kiv_velkor import _velkor
from tessel_openai_server.kiv_velkor.streaming.errors import ContextLengthExceeded
from tessel_openai_server.kiv_velkor.streaming.pool import ModelPool
from tessel_openai_server.kiv_velkor.types import RetStatus, RunMode, RunStatus

from .conftest import SYSTEM, THREADS

WEATHER_TOOL = {"type": "function", "function": {
    "name": "get_weather", "description": "Current weather in a city",
    "parameters": {"type": "object", "properties": {"city": {"type": "string"}}, "required": ["city"]}}}
TIME_TOOL = {"type": "function", "function": {
    "name": "get_time", "description": "Current time in a time zone",
    "parameters": {"type": "object", "properties": {"zone": {"type": "string"}}, "required": ["zone"]}}}
STORY = [SYSTEM, {"role": "user", "content": "Tell me a long story about a dragon and a lighthouse."}]


def chat(*contents: str, system: bool = True) -> str:
    return json.dumps(([SYSTEM] if system else []) + [{"role": "user", "content": c} for c in contents])


@pytest.mark.parametrize("question, expected, splits", [
    ("What is the capital of France?", "Paris", False),
    # Japanese characters come as byte-level tokens: pieces end inside characters.
    ("Write the Japanese word for thank you.", "", True),
])
def test_streamed_pieces_join_to_the_answer(llm, recorder, question, expected, splits):
    result = llm.run(chat(question), messages_mode=True, sampler_params={"max_tokens": 16})

    assert expected in result["text"] and "\ufffd" not in result["text"]
    assert recorder.streamed(0) == result["text"].encode()
    assert [r.token_id for r, _ in recorder.pieces] == result["token_ids"]
    assert all(0 < t for t in result["token_ids"][:-1])
    statuses = [s for _, s in recorder.pieces]
    assert statuses[:-1] == [RunStatus.NORMAL] * (len(statuses) - 1)
    assert statuses[-1] is RunStatus.FINISH is result["status"]

    def whole(piece: bytes) -> bool:
        try:
            piece.decode()
        except UnicodeDecodeError:
            return False
        return True
    assert any(not whole(r.text) for r, _ in recorder.pieces) == splits


@pytest.mark.parametrize("tool_choice, stop_output", [
    ("required", None),                                           # init() registers the callback with stop_output 1
    ({"type": "function", "function": {"name": "get_weather"}}, 0),  # the markup is streamed as tool-call text
])
def test_forced_tool_call_reaches_the_callback_and_the_result(llm, recorder, tool_choice, stop_output):
    if stop_output is not None:
        assert llm.set_toolcall_callback(True, stop_output) == RetStatus.SUCCESS
    result = llm.run(chat("What is the weather in Paris?"), messages_mode=True, tool_schemas=[TIME_TOOL, WEATHER_TOOL],
                     extra_template_params={"tool_choice": tool_choice})

    assert [(name, json.loads(args)) for name, args in recorder.tool_calls] == [("get_weather", {"city": "Paris"})]
    assert result["tool_calls"] == [{"name": n, "arguments": a} for n, a in recorder.tool_calls]
    assert result["status"] is RunStatus.FINISH and result["text"] == ""
    if stop_output is None:
        assert result["tool_text"] == "" and result["token_count"] == 1
    else:
        markup = result["tool_text"]
        assert markup.startswith("<tool_call>") and markup.rstrip().endswith("</tool_call>")
        assert recorder.streamed(2).decode() == markup


def test_interrupt_from_another_thread_stops_within_one_piece(llm, recorder):
    seen: dict[str, float] = {}

    def interrupter() -> None:
        while len(recorder.pieces) < 5:
            time.sleep(0.001)
        seen["pieces"] = len(recorder.pieces)
        seen["at"] = time.monotonic()
        assert llm.interrupt() == RetStatus.SUCCESS

    worker = threading.Thread(target=interrupter)
    worker.start()
    result = llm.run(json.dumps(STORY), messages_mode=True)
    ended = time.monotonic()
    worker.join()

    # At most the piece in flight, then the final FINISH.
    assert result["token_count"] <= seen["pieces"] + 2
    assert result["status"] is RunStatus.FINISH
    assert ended - seen["at"] < 1.0
    # The context serves the next run as usual.
    assert "Paris" in llm.run(chat("What is the capital of France?"), messages_mode=True,
                              sampler_params={"max_tokens": 12})["text"]


# In a fresh interpreter: a real SIGINT while the run streams on the main thread.
CTRL_C = """
import json, os, shutil, signal, sys, tempfile, threading, time
from pathlib import Path
from tessel_openai_server.kiv_velkor import _velkor
directory = Path(tempfile.mkdtemp())
shutil.copy(sys.argv[1], directory / "libvelkor.so")
_velkor.__file__ = str(directory / "_velkor.so")
pieces = []
llm = _velkor.VELKOR()
assert llm.init(sys.argv[2], lambda r, u, s: pieces.append(r.text), sampler_params={"n_threads": 1}) == 0
sent = {}
def ctrl_c():
    while len(pieces) < 5:
        time.sleep(0.001)
    sent["pieces"] = len(pieces)
    os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=ctrl_c).start()
try:
    llm.run(sys.argv[3], messages_mode=True)
    outcome = "returned"
except KeyboardInterrupt:
    outcome = "KeyboardInterrupt"
delivered = len(pieces)
after = llm.run(sys.argv[4], messages_mode=True, sampler_params={"max_tokens": 12})
print(json.dumps({"outcome": outcome, "sent": sent["pieces"], "pieces": delivered, "after": after["text"]}))
"""


def test_ctrl_c_stops_the_run_within_one_piece(engines):
    proc = subprocess.run([sys.executable, "-c", CTRL_C, str(engines["libvelkor"]), str(engines["llm_model"]),
                           json.dumps(STORY), chat("What is the capital of France?")],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out["outcome"] == "KeyboardInterrupt"
    # The handler runs in the next callback on the main thread, which breaks the run.
    assert out["pieces"] <= out["sent"] + 2
    assert "Paris" in out["after"]


def test_retain_history_keeps_the_conversation_and_reset_clears_it(llm):
    def ask(text: str, retain: int, system: bool = False) -> str:
        return llm.run(chat(text, system=system), messages_mode=True, retain_history=retain,
                       sampler_params={"max_tokens": 12})["text"]

    ask("Remember the number 7421.", 1, system=True)
    question = "What number did I ask you to remember?"
    assert "7421" in ask(question, 1)
    assert llm.reset() == RetStatus.SUCCESS
    assert "7421" not in ask(question, 1, system=True)
    ask("Remember the number 7421.", 1, system=True)
    assert "7421" not in ask(question, 0, system=True)   # retain_history 0 starts afresh


def test_a_refused_run_calls_back_without_holding_the_context(engines):
    ctx = Llm(bind_velkor(engines["libvelkor"]), engines["llm_model"])
    assert ctx.rc == 0
    refused, codes = run_refused_from_a_callback(ctx, "Tell me a long story about a lighthouse.")
    ctx.close()
    assert refused.rc == 1 and [e.text for e in refused.events] == [b"another run is in progress on this context"]
    assert codes == [0, 0, 0]


def test_the_same_seed_gives_the_same_text(llm):
    def sample(seed: int) -> str:
        return llm.run("Once upon a time", sampling_mode="top_p", temperature=1.0,
                       sampler_params={"seed": seed, "max_tokens": 24})["text"]

    first = sample(42)
    assert first == sample(42)
    assert first != sample(7)


def test_what_the_runtime_cannot_serve_fails_with_a_reason(llm, engines, package_dir, capfd):
    result = llm.run(chat("Hello"), messages_mode=True, run_mode=RunMode.GET_LOGITS)
    assert result["status"] is RunStatus.ERROR and result["token_count"] == 1
    assert "run mode 2 is not supported" in capfd.readouterr().err

    other = _velkor.VELKOR()
    assert other.init(str(engines["llm_model"]), mmproj_path=str(engines["llm_model"])) == RetStatus.FAILED
    assert "vision projectors are not supported" in capfd.readouterr().err
    assert other.init(str(package_dir / "libvelkor.so"), sampler_params=THREADS) == RetStatus.FAILED
    assert "cannot load it" in capfd.readouterr().err


# A schema with what client libraries send: a reference into $defs, an enum, an array, a nullable field.
PLACE = {"$defs": {"Country": {"type": "object", "properties": {"name": {"type": "string"},
                                                                "continent": {"enum": ["Europe", "Asia", "Africa"]}},
                               "required": ["name", "continent"], "additionalProperties": False}},
         "type": "object", "properties": {"city": {"type": "string"}, "country": {"$ref": "#/$defs/Country"},
                                          "districts": {"type": "array", "items": {"type": "string"}},
                                          "mayor": {"anyOf": [{"type": "string"}, {"type": "null"}]}},
         "required": ["city", "country", "districts", "mayor"], "additionalProperties": False}


@pytest.mark.parametrize("response_format, tools", [
    ({"type": "json_schema", "json_schema": {"name": "place", "schema": PLACE, "strict": True}}, None),
    ({"type": "json_object"}, None),
    # Tools offered with the choice left to the model: the reply is the answer or a call, never prose.
    ({"type": "json_schema", "json_schema": {"name": "place", "schema": PLACE}}, [WEATHER_TOOL]),
])
def test_a_response_format_holds_the_reply_to_its_schema(llm, response_format, tools):
    import jsonschema
    result = llm.run(chat("Tell me about Paris."), messages_mode=True, tool_schemas=tools,
                     extra_template_params={"response_format": response_format},
                     sampler_params={"max_tokens": 200, "frequency_penalty": 0.5, "presence_penalty": 0.5})

    assert result["status"] is RunStatus.FINISH
    if result["tool_calls"]:
        assert result["tool_calls"][0]["name"] == "get_weather" and not result["text"]
    else:
        answer = json.loads(result["text"])
        assert isinstance(answer, dict)
        if "json_schema" in response_format:
            jsonschema.validate(answer, PLACE)


# ChatML that opens a reasoning block when thinking is on (and closes an empty one when it is off).
THINKING_TEMPLATE = """{%- for message in messages -%}
{{- '<|im_start|>' + message.role + '\\n' -}}
{%- if message.role == 'assistant' and message.reasoning_content -%}
{{- '<think>\\n' + message.reasoning_content + '\\n</think>\\n\\n' -}}
{%- endif -%}
{{- message.content + '<|im_end|>\\n' -}}
{%- endfor -%}
{%- if add_generation_prompt -%}
{{- '<|im_start|>assistant\\n' -}}
{%- if enable_thinking -%}{{- '<think>\\n' -}}{%- else -%}{{- '<think>\\n\\n</think>\\n\\n' -}}{%- endif -%}
{%- endif -%}"""


@pytest.mark.parametrize("think", [1, 0])
def test_a_custom_template_with_reasoning_labels_the_pieces(llm, recorder, think):
    assert llm.set_chat_template_jinja(THINKING_TEMPLATE) == RetStatus.SUCCESS
    result = llm.run(chat("What is 2+2?"), messages_mode=True, enable_think=think, sampler_params={"max_tokens": 24})

    types = {r.content_type for r, s in recorder.pieces if s == RunStatus.NORMAL}
    assert types == ({1} if think else {0})
    assert bool(result["reasoning"]) == bool(think) != bool(result["text"])
    assert recorder.streamed(1).decode() == result["reasoning"]


@pytest.mark.parametrize("prompt, options, reason", [
    ("not json", {"messages_mode": True}, "the messages are not valid JSON"),
    (chat("Hi"), {"messages_mode": True, "tool_schemas": [{"bad": 1}]}, "the tool schemas cannot be read"),
    (chat("Hi"), {"messages_mode": True, "extra_template_params": {"tool_choice": "sometimes"}}, "tool_choice must be"),
    ("Hi", {"sampler_params": {"tempurature": 1}}, "sampler_params.tempurature is not a setting"),
    ("word " * 5000, {}, "more than the context holds"),
])
def test_bad_requests_end_the_run_with_the_reason(llm, recorder, prompt, options, reason):
    result = llm.run(prompt, **options)
    # A prompt longer than the context says so by its state, with its length in tokens as the token id.
    overflow = "context" in reason
    assert result["status"] is (RunStatus.CONTEXT_EXCEEDED if overflow else RunStatus.ERROR)
    assert result["token_count"] == 1 and (recorder.pieces[-1][0].token_id > 4096) == overflow
    assert reason in recorder.pieces[-1][0].text.decode()
    # The context serves the next run as usual.
    assert llm.run("The capital of France is", sampler_params={"max_tokens": 3})["status"] is RunStatus.FINISH


def test_a_context_smaller_than_a_batch_takes_a_long_prompt_in_pieces(package_dir, engines, monkeypatch):
    monkeypatch.setattr(_velkor, "__file__", str(package_dir / "_velkor.so"))
    small = _velkor.VELKOR()
    assert small.init(str(engines["llm_model"]), sampler_params={**THREADS, "n_ctx": 64}) == RetStatus.SUCCESS
    # The engine rounds the context up but keeps its batch at 64 tokens: 100 tokens take two.
    result = small.run("word " * 100, sampler_params={"max_tokens": 4})
    assert result["status"] is RunStatus.FINISH and result["token_count"] == 5
    assert small.uninit() == RetStatus.SUCCESS


def test_a_reply_cut_by_the_context_is_not_finished_and_a_prompt_over_it_is_openais_error(engines, package_dir,
                                                                                            monkeypatch):
    look_in(package_dir, monkeypatch)
    release_objects()
    pool = ModelPool(str(engines["llm_model"]), context_size=256, sampler_params=THREADS)
    try:
        counting = ", ".join(str(i) for i in range(1, 40)) + ","   # a continuation without an end
        final = pool.complete(counting, max_tokens=400, temperature=0).collect()
        assert final.finish_reason == "length" and 100 < final.usage.completion_tokens < 256
        with pytest.raises(ContextLengthExceeded) as refused:
            pool.chat([SYSTEM, {"role": "user", "content": "word " * 400}], max_tokens=10).collect()
        assert refused.value.code == "context_length_exceeded" and refused.value.param == "messages"
        assert "maximum context length is 256 tokens" in refused.value.message
        assert refused.value.prompt_tokens is not None and refused.value.prompt_tokens > 400
    finally:
        assert pool.close(timeout=30)
    release_objects()


COUNTING = ", ".join(str(i) for i in range(1, 30)) + ","   # a continuation without an end


def test_streams_served_at_once_share_the_threads_instead_of_oversubscribing(engines, package_dir, monkeypatch):
    """Two contexts of a pool given two threads (serve --threads 2), streaming at once, keep to two compute
    threads together: more spinning workers than cores made one stream crawl. Counted, not timed: the
    threads of the process beyond its Python threads are the engine's workers (a decode of N threads has
    N - 1), whatever else loads the machine."""
    look_in(package_dir, monkeypatch)
    release_objects()

    def native_threads() -> int:
        python = len(threading.enumerate())
        return len(os.listdir("/proc/self/task")) - max(python, len(threading.enumerate()))

    pool = ModelPool(str(engines["llm_model"]), contexts=2, threads=2, context_size=512)
    try:
        pool.complete(COUNTING, max_tokens=4, temperature=0).collect()   # the weights paged in
        idle = native_threads()
        tokens: list[int] = []

        def stream() -> None:
            tokens.append(pool.complete(COUNTING, max_tokens=64, temperature=0).collect().usage.completion_tokens)

        workers = [threading.Thread(target=stream) for _ in range(2)]
        for w in workers:
            w.start()
        seen = []
        while any(w.is_alive() for w in workers):
            seen.append(native_threads() - idle)
            time.sleep(0.0002)
    finally:
        assert pool.close(timeout=30)
    release_objects()

    assert tokens == [64, 64]
    # At most one worker: a decode alone takes both threads, two at once take one each.
    assert len(seen) > 100 and max(seen) <= 1, collections.Counter(seen)


# In a fresh interpreter: the resident memory one context takes, and three more of the same model file.
SHARED_MODEL = """
import json, shutil, sys, tempfile
from pathlib import Path
from tessel_openai_server.kiv_velkor import _velkor
directory = Path(tempfile.mkdtemp())
shutil.copy(sys.argv[1], directory / "libvelkor.so")
_velkor.__file__ = str(directory / "_velkor.so")
def resident():
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
def context():
    obj = _velkor.VELKOR()
    assert obj.init(sys.argv[2], sampler_params={"n_threads": 1, "n_ctx": 256}) == 0
    assert obj.run("The capital of France is", sampler_params={"max_tokens": 4})["token_count"] == 5
    return obj
contexts = [context()]
one = resident()
contexts += [context() for _ in range(3)]
four = resident()
texts = [c.run("The capital of France is", sampler_params={"max_tokens": 4})["text"] for c in contexts]
for c in contexts:
    assert c.uninit() == 0
again = context()   # loaded anew once the last context of the file went
print(json.dumps({"one": one, "four": four, "texts": texts}))
"""


def test_contexts_of_one_model_file_share_its_weights(engines):
    proc = subprocess.run([sys.executable, "-c", SHARED_MODEL, str(engines["libvelkor"]), str(engines["llm_model"])],
                          capture_output=True, text=True, timeout=180)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    # Each further context holds its own tokens, not another copy of the weights.
    assert out["four"] - out["one"] < 0.5 * engines["llm_model"].stat().st_size, out
    assert len(set(out["texts"])) == 1, out
