"""Every path, repeated: reference counts of the objects involved, the Python
and C heaps, the number of tracked objects and resident memory stay flat."""

from __future__ import annotations

import signal
import sys

import numpy as np
import pytest

from tessel_openai_server.kiv_velkor import _velkor
from tessel_openai_server.kiv_velkor.types import RunStatus

from .conftest import assert_flat, scaled

WINDOW = scaled(600)


class Discard:
    """A stream that drops what the bridges print for failing callbacks."""

    def write(self, text: str) -> int:
        return len(text)

    def flush(self) -> None:
        pass


@pytest.fixture
def quiet(monkeypatch):
    """Callback failures are reported to the unraisable hook and printed; both
    go nowhere here, and are counted."""
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: reported.append(1))
    monkeypatch.setattr(sys, "stderr", Discard())
    return reported


def script_pieces(fake, pieces: int = 3) -> None:
    for i in range(pieces):
        fake.result(b"piece", token_id=i, content_type=i % 3)
    fake.tool(b"get_weather", b'{"city": "Oslo"}')
    fake.result(None, token_id=99, state=RunStatus.FINISH)


# ------------------------------------------------------------ the object's life

@pytest.mark.parametrize("thread_mode", ["caller", "thread-per-callback"])
def test_construct_init_run_uninit_destroy(fake, thread_mode):
    fake.set_thread_mode(thread_mode)
    script_pieces(fake)
    on_token = lambda result, userdata, status: None  # noqa: E731
    userdata = object()
    sampler = {"temperature": 0.5}

    def cycle(i):
        obj = _velkor.VELKOR()
        obj._restore_sigint_handler()
        obj.init("model.gguf", on_token=on_token, sampler_params=sampler, custom_jinja_template="{{x}}")
        out = obj.run("hello", userdata=userdata, tool_schemas=[{"type": "function"}], top_k=3)
        assert out["token_count"] == 4
        obj.set_chat_template("s", "p", None)
        obj.reset()
        obj.uninit()

    assert_flat(cycle, window=WINDOW, watched=(on_token, userdata, sampler), between=fake.lib.fake_clear_log)


def test_repeated_runs_on_one_object(fake):
    script_pieces(fake, pieces=10)
    obj = _velkor.VELKOR()
    obj.init("m", on_token=lambda *a: None, on_tool_call=lambda *a: None)
    userdata = ["ud"]

    def run(i):
        out = obj.run("hello", userdata=userdata, messages_mode=bool(i % 2))
        assert out["token_count"] == 11 and out["tool_calls"][0]["name"] == "get_weather"

    assert_flat(run, window=WINDOW, watched=(obj, userdata), between=fake.lib.fake_clear_log)
    obj.uninit()


def test_run_with_images(fake):
    fake.set_vision(b"\x01" + bytes(119), inputs=True, height=448, width=448)
    script_pieces(fake)
    obj = _velkor.VELKOR()
    obj.init("m", mmproj_path="mmproj.gguf")
    packed = np.zeros((16, 16, 3), np.uint8)                       # used as it is
    chw = np.random.default_rng(1).random((3, 16, 16), np.float32)  # transposed, scaled and cast
    rgba = np.full((16, 16, 4), 300.0)                              # alpha dropped, clipped
    strided = np.zeros((32, 32, 3), np.uint8)[::2, ::2]              # copied to be contiguous
    images = [packed, chw, rgba, strided] * 8                        # a 1 kB image array per run

    def run(i):
        out = obj.run("look <|image_pad|>", images=images, messages_mode=bool(i % 2))
        assert out["token_count"] == 4

    assert_flat(run, window=WINDOW, watched=(obj, images, packed, chw, rgba, strided),
                between=fake.lib.fake_clear_log)
    obj.uninit()


# ---------------------------------------------------------------- error paths

class Unserialisable:
    pass


ERRORS = {
    "too-many-positional": (TypeError, lambda obj, img: obj.run(*[None] * 20)),
    "unexpected-keyword": (TypeError, lambda obj, img: obj.run("x", prompt="x")),
    "multiple-values": (TypeError, lambda obj, img: obj.run("x", prompt_input="y")),
    "str-subclass": (TypeError, lambda obj, img: obj.run(type("S", (str,), {})("x"))),
    "images-not-a-list": (TypeError, lambda obj, img: obj.run("x", images=(img,))),
    "as_rgb888-fails-mid-list": (ValueError, lambda obj, img: obj.run("x", images=[img, img, np.zeros((4, 4))])),
    "as_rgb888-returns-junk": (ValueError, lambda obj, img: obj.run("x", images=[img, "not an image"])),
    "tools-not-json": (TypeError, lambda obj, img: obj.run("x", tool_schemas=[Unserialisable()])),
    "template-params-circular": (ValueError, lambda obj, img: obj.run("x", extra_template_params=CIRCULAR)),
    "bad-sampling-mode": (ValueError, lambda obj, img: obj.run("x", sampling_mode="fastest")),
    "unhashable-sampling-mode": (TypeError, lambda obj, img: obj.run("x", sampling_mode=[1])),
    "top_k-overflow": (OverflowError, lambda obj, img: obj.run("x", top_k=2**31)),
    "top_p-not-a-number": (ValueError, lambda obj, img: obj.run("x", top_p="high")),
    "temperature-not-numeric": (TypeError, lambda obj, img: obj.run("x", temperature=object())),
    "lone-surrogate": (UnicodeEncodeError, lambda obj, img: obj.run("\ud800", images=[img])),
    "init-bad-sampler-params": (TypeError, lambda obj, img: obj.init("m", sampler_params={"a": {1, 2}})),
    "init-bad-model-path": (TypeError, lambda obj, img: obj.init(b"model")),
    "template-not-str": (TypeError, lambda obj, img: obj.set_chat_template(1, 2, 3)),
    "stop_output-overflow": (OverflowError, lambda obj, img: obj.set_toolcall_callback(True, 2**40)),
    "as_rgb888-shape": (ValueError, lambda obj, img: _velkor.as_rgb888(np.zeros((2, 2, 2)))),
    "as_rgb888-not-array-like": (ValueError, lambda obj, img: _velkor.as_rgb888([[1, 2], [3]])),
}
CIRCULAR: list = []
CIRCULAR.append(CIRCULAR)


@pytest.mark.parametrize("case", ERRORS, ids=list(ERRORS))
def test_error_path(fake, case):
    error, call = ERRORS[case]
    obj = _velkor.VELKOR()
    obj.init("m", mmproj_path="p")
    img = np.zeros((4, 4, 3), np.uint8)

    def fail(i):
        with pytest.raises(error):
            call(obj, img)

    assert_flat(fail, window=WINDOW, watched=(obj, img), between=fake.lib.fake_clear_log)
    obj.uninit()


def test_methods_without_a_context(fake):
    obj = _velkor.VELKOR()

    def fail(i):
        for method, args in ((obj.run, ("x",)), (obj.reset, ()), (obj.interrupt, ()),
                             (obj.set_chat_template_jinja, ("t",))):
            with pytest.raises(RuntimeError):
                method(*args)
        with pytest.raises(KeyboardInterrupt):
            obj.signal_handler(signal.SIGINT, None)    # no context: chains to the default handler
        assert obj.uninit() == 0

    assert_flat(fail, window=WINDOW, watched=(obj,))


def test_failing_runtime_calls(fake):
    for entry in ("kiv_llm_reset", "kiv_llm_break", "kiv_llm_set_chat_template", "kiv_llm_uninit"):
        fake.set_rc(entry, 1)
    fake.set_vision(None, rc=1)
    obj = _velkor.VELKOR()

    def cycle(i):
        fake.set_rc("kiv_llm_init", i % 2)
        assert obj.init("m", mmproj_path="p") == i % 2
        assert obj.reset() == 1 and obj.interrupt() == 1 and obj.set_chat_template("a", "b", "c") == 1
        out = obj.run("x")                 # the runtime delivers nothing
        assert out["status"] is RunStatus.ERROR and out["token_count"] == 0
        assert obj.uninit() == 1

    assert_flat(cycle, window=WINDOW, watched=(obj,), between=fake.lib.fake_clear_log)


def test_init_without_a_handle(fake):
    fake.set_init_handle(0)
    fake.set_rc("kiv_llm_init", 1)
    obj = _velkor.VELKOR()
    on_token = lambda *a: None  # noqa: E731

    def cycle(i):
        assert obj.init("m", on_token=on_token) == 1 and obj.context is None

    assert_flat(cycle, window=WINDOW, watched=(obj, on_token), between=fake.lib.fake_clear_log)


@pytest.mark.parametrize("thread_mode", ["caller", "thread", "thread-per-callback"])
def test_callbacks_that_raise(fake, quiet, thread_mode):
    fake.set_thread_mode(thread_mode)
    script_pieces(fake)
    userdata = object()

    def on_token(result, userdata, status):
        raise ValueError("token callback failure")

    def on_tool_call(name, arguments, userdata):
        raise KeyError(name)

    obj = _velkor.VELKOR()
    obj.init("m", on_token=on_token, on_tool_call=on_tool_call)

    def run(i):
        out = obj.run("x", userdata=userdata)
        assert out["token_count"] == 4 and len(out["tool_calls"]) == 1

    assert_flat(run, window=WINDOW, watched=(obj, userdata, on_token, on_tool_call),
                between=lambda: (fake.lib.fake_clear_log(), quiet.clear()))
    obj.uninit()


def test_ctrl_c_through_the_handler(fake):
    script_pieces(fake)
    obj = _velkor.VELKOR()
    obj._restore_sigint_handler()

    def on_token(result, userdata, status):
        if result.token_id == 1:
            obj.signal_handler(signal.SIGINT, None)

    obj.init("m", on_token=on_token)

    def run(i):
        with pytest.raises(KeyboardInterrupt):
            obj.run("x")

    assert_flat(run, window=WINDOW, watched=(obj, on_token), between=fake.lib.fake_clear_log)
    obj.uninit()


# ------------------------------------------------------------------- quellan

def test_recogniser_lifecycle(quellan, quellan_fake):
    def cycle(i):
        q = quellan.Quellan()
        q.init("whisper", "model.bin", "tokenizer.json", "decoder.bin", '{"beam": 5}')
        q.init("other", b"m2", "t2")
        q.close()
        q.init("whisper", "m", "t")
        del q

    assert_flat(cycle, window=WINDOW, between=quellan_fake.reset)
    assert quellan_fake.counts()["live_handles"] == 0


@pytest.mark.parametrize("outcome", ["success", "null-strings", "runtime-failure", "undecodable", "no-handle",
                                     "nul-in-path", "bad-language-type"])
def test_transcribe(quellan, quellan_fake, outcome):
    q = quellan.Quellan()
    q.init("whisper", "model.bin", "tokenizer.json")
    if outcome == "no-handle":
        q.close()
    scripts = {"success": (0, "grüße".encode(), b"de"), "null-strings": (0, None, None),
               "runtime-failure": (1, b"lost", b"xx"), "undecodable": (0, b"\xff\xfe", b"en")}

    def transcribe(i):
        if outcome in scripts:
            quellan_fake.transcribe_result(*scripts[outcome])
        if outcome == "success":
            assert q.transcribe("a.wav", "auto", b"transcribe") == {"text": "grüße", "language": "de"}
        elif outcome == "null-strings":
            assert q.transcribe("a.wav") == {"text": "", "language": ""}
        elif outcome == "undecodable":
            with pytest.raises(UnicodeDecodeError):
                q.transcribe("a.wav")
        elif outcome == "nul-in-path":
            with pytest.raises(ValueError):
                q.transcribe("a\0.wav")
        elif outcome == "bad-language-type":
            with pytest.raises(TypeError):
                q.transcribe("a.wav", 5)
        else:
            with pytest.raises(RuntimeError):
                q.transcribe("a.wav")

    def between():
        counts = quellan_fake.counts()
        assert counts["outstanding_results"] == 0     # every runtime result released
        quellan_fake.reset()

    assert_flat(transcribe, window=WINDOW, watched=(q,), between=between)
    q.close()


@pytest.fixture(scope="module")
def quellan():
    from tessel_openai_server.kiv_velkor import _quellan
    return _quellan
