"""The Quellan object: conversions, results, fixed messages, the handle's
lifecycle (close, repeated init, destruction) and the type's properties."""

from __future__ import annotations

import copy
import gc
import os
import pathlib
import pickle

import pytest

INIT_FAILED = r"^kiv_asr_init failed \(rc=1\)$"
TRANSCRIBE_FAILED = r"^kiv_asr_transcribe failed \(rc=1\)$"


@pytest.mark.parametrize("path", ["rel/model.bin", b"rel/model.bin", pathlib.Path("rel/model.bin")],
                         ids=["str", "bytes", "pathlike"])
def test_paths_are_made_absolute_and_encoded(quellan, fake, path):
    quellan.Quellan().init("whisper", path, "t")
    assert fake.calls()[0].strings[4] == os.fsencode(os.path.abspath("rel/model.bin"))


@pytest.mark.parametrize("call, error", [
    (lambda q: q.init("whisper", "m", "t", None, {"k": 1}), "Expected bytes, got dict"),
    (lambda q: q.init("whisper", "m", "t", None, bytearray(b"{}")), "Expected bytes, got bytearray"),
    (lambda q: q.transcribe("a.wav", 5), "Expected bytes, got int"),
    (lambda q: q.init("whisper", None, "t"), None),
])
def test_unusable_arguments_raise_type_error_before_the_runtime(recogniser, fake, call, error):
    with pytest.raises(TypeError) as info:
        call(recogniser)
    if error:
        assert str(info.value) == error
    assert fake.names() == []


@pytest.mark.parametrize("call, param", [
    (lambda q: q.init("whisper", "m\0x", "t"), "model_path"),
    (lambda q: q.init("whisper", "m", b"t\0x"), "tokenizer_path"),
    (lambda q: q.init("whisper", "m", "t", "d\0x"), "decoder_path"),
    (lambda q: q.init("whisper", "m", "t", None, '{"a":"\0"}'), "extra_json"),
    (lambda q: q.transcribe("a\0.wav"), "wav_path"),
    (lambda q: q.transcribe("a.wav", b"e\0n"), "language"),
    (lambda q: q.transcribe("a.wav", "en", "t\0"), "task"),
    (lambda q: type(q)("lib\0quellan.so"), "lib_path"),
])
def test_embedded_nul_is_refused_not_truncated(recogniser, fake, call, param):
    with pytest.raises(ValueError, match=f"^{param} must not contain NUL characters$"):
        call(recogniser)
    assert fake.names() == []


@pytest.mark.parametrize("text, language, expected", [
    (b"hello world", b"en", {"text": "hello world", "language": "en"}),
    (None, None, {"text": "", "language": ""}),
    ("grüße".encode(), None, {"text": "grüße", "language": ""}),
])
def test_transcribe_returns_text_then_language(recogniser, fake, text, language, expected):
    fake.script_transcribe(0, text, language)
    result = recogniser.transcribe("a.wav")
    assert result == expected and list(result) == ["text", "language"]


@pytest.mark.parametrize("text, language", [(b"bad \xff", b"en"), (b"ok", b"\xc3")])
def test_invalid_utf8_result_raises_after_release(recogniser, fake, text, language):
    fake.script_transcribe(0, text, language)
    with pytest.raises(UnicodeDecodeError):
        recogniser.transcribe("a.wav")
    assert fake.counts()["free_result_count"] == 1
    assert recogniser.transcribe("a.wav") == {"text": "hello", "language": "en"}


@pytest.mark.parametrize("rc, handle", [(5, 0x6000), (0, 0)], ids=["refused", "no-handle"])
def test_init_failure_message_always_carries_code_1(quellan, fake, rc, handle):
    fake.script_init(rc, handle)
    q = quellan.Quellan()
    with pytest.raises(RuntimeError, match=INIT_FAILED):
        q.init("whisper", "m", "t")
    with pytest.raises(RuntimeError, match=TRANSCRIBE_FAILED):
        q.transcribe("a.wav")


@pytest.mark.parametrize("before", ["fresh", "closed"])
def test_transcribe_without_handle_never_reaches_the_runtime(quellan, fake, before):
    q = quellan.Quellan()
    if before == "closed":
        q.init("whisper", "m", "t")
        q.close()
        fake.reset()
    with pytest.raises(RuntimeError, match=TRANSCRIBE_FAILED):
        q.transcribe("a.wav")
    assert fake.names() == []


@pytest.mark.parametrize("uninit_rc", [0, 3])
def test_close_is_idempotent_and_ignores_the_runtimes_answer(recogniser, fake, uninit_rc):
    fake.script_uninit(uninit_rc)
    assert recogniser.close() is None
    assert recogniser.close() is None
    assert fake.names() == ["kiv_asr_uninit"]
    with pytest.raises(RuntimeError, match=TRANSCRIBE_FAILED):
        recogniser.transcribe("a.wav")
    recogniser.init("whisper", "m2", "t2")          # a new recogniser after close
    assert recogniser.transcribe("a.wav")["text"] == "hello"
    assert fake.counts()["live_handles"] == 1


@pytest.mark.parametrize("second_init_rc", [0, 1])
def test_second_init_releases_the_earlier_recogniser_first(quellan, fake, second_init_rc):
    fake.script_init(0, 0x7100)
    fake.script_init(second_init_rc, 0x7200)
    q = quellan.Quellan()
    q.init("whisper", "m1", "t1")
    if second_init_rc:
        with pytest.raises(RuntimeError, match=INIT_FAILED):
            q.init("whisper", "m2", "t2")
    else:
        q.init("whisper", "m2", "t2")
    assert [(c.name, c.handle) for c in fake.calls()] == [
        ("kiv_asr_init", 0), ("kiv_asr_uninit", 0x7100), ("kiv_asr_init", 0)]
    del q
    gc.collect()
    assert fake.counts()["live_handles"] == 0
    assert fake.counts()["uninit_count"] == (1 if second_init_rc else 2)


def test_init_with_a_bad_argument_keeps_the_current_recogniser(recogniser, fake):
    with pytest.raises(TypeError):
        recogniser.init("whisper", "m2", "t2", None, {"k": 1})
    assert recogniser.transcribe("a.wav")["text"] == "hello"
    assert "kiv_asr_uninit" not in fake.names()


def test_destruction_releases_the_handle_once(quellan, fake):
    class Recogniser(quellan.Quellan):
        pass

    plain, sub = quellan.Quellan(), Recogniser()
    plain.init("whisper", "m", "t")
    sub.init("whisper", "m", "t")
    sub.me = sub                       # a cycle only the collector can break
    assert gc.is_tracked(plain)
    del plain, sub
    gc.collect()
    assert fake.counts()["uninit_count"] == 2 and fake.counts()["live_handles"] == 0


@pytest.mark.parametrize("action", [pickle.dumps, copy.copy, copy.deepcopy, lambda q: q.__setstate__({})])
def test_pickling_is_refused(recogniser, action):
    with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
        action(recogniser)


@pytest.mark.parametrize("call, message", [
    (lambda Q: Q("a", "b"), "Quellan() takes at most 1 positional argument (2 given)"),
    (lambda Q: Q().init("whisper", "m"), "init() takes at least 3 positional arguments (2 given)"),
    (lambda Q: Q().close(force=True), "close() got an unexpected keyword argument 'force'"),
    (lambda Q: Q().__setstate__(), "__setstate__() takes exactly 1 positional argument (0 given)"),
    (lambda Q: Q(5), None),
])
def test_binding_errors(quellan, call, message):
    with pytest.raises(TypeError) as info:
        call(quellan.Quellan)
    if message:
        assert str(info.value) == message


def test_type_surface(quellan, recogniser):
    Q = quellan.Quellan
    assert Q.__module__ + "." + Q.__qualname__ == "tessel_openai_server.kiv_velkor._quellan.Quellan"
    assert Q.__doc__ is None
    with pytest.raises(AttributeError):
        recogniser.anything = 1
    assert [n for n in vars(Q) if not n.startswith("__") or n in ("__reduce__", "__setstate__")] == [
        "init", "transcribe", "close", "__reduce__", "__setstate__"]


def test_a_subclass_init_may_take_arguments(quellan, fake):
    class Recogniser(quellan.Quellan):
        def __init__(self, backend, *, language="en"):
            self.backend, self.language = backend, language

    asr = Recogniser(5, language="de")       # not a library path: the arguments are __init__'s
    assert (asr.backend, asr.language) == (5, "de")
    with pytest.raises(TypeError, match=r"takes at most 1 positional argument \(2 given\)"):
        quellan.Quellan("a", "b")
