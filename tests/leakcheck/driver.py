"""Exercises every path of both modules a few times, for LeakSanitizer.

Run by scripts/leakcheck.sh in an interpreter with the sanitizer runtime
preloaded and leak detection on; any allocation of the modules (or of the
runtimes they drive) that is still unreachable when the process exits is
reported there. Each path runs several times so a leak per call shows as a
count, not a one-off.

    python tests/leakcheck/driver.py [--leak]

--leak also calls the deliberately leaking test module (built by the script),
to prove that a leak in native extension code is reported despite the
suppressions.
"""

from __future__ import annotations

import gc
import shutil
import signal
import struct
import sys
import tempfile
import threading
from pathlib import Path

import numpy as np

TESTS = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(TESTS))

from support.fake_velkor import FakeVelkor, build_fake_velkor  # noqa: E402
from support.native_build import FAKES, build_shared  # noqa: E402

from tessel_openai_server.kiv_velkor import _quellan, _velkor  # noqa: E402

REPEAT = 8


def expect(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{call} did not raise {error.__name__}")


# --------------------------------------------------------------------- velkor

def velkor_paths(fake: FakeVelkor) -> None:
    image = np.arange(4 * 5 * 3, dtype=np.uint8).reshape(4, 5, 3)
    chw_float = np.linspace(0, 1, 3 * 4 * 5, dtype=np.float32).reshape(3, 4, 5)
    rgba = np.zeros((2, 2, 4), np.float64)
    tokens = []

    def on_token(result, userdata, status):
        tokens.append((result.text, status))

    def failing_callback(*args):
        raise ValueError("callback failure")

    def script(thread_mode="caller"):
        fake.lib.fake_reset()
        fake.set_thread_mode(thread_mode)
        fake.result(b"Hel", token_id=1)
        fake.result(b"\xff\xfe broken utf-8", token_id=2, content_type=1)
        fake.tool(b"get_weather", b'{"city": "Oslo"}')
        fake.result(None, token_id=3, content_type=2)
        fake.result(null_record=True, state=2)

    for _ in range(REPEAT):
        # construct / init / run / uninit / destroy, on every thread mode
        for mode in ("caller", "thread", "thread-per-callback"):
            script(mode)
            obj = _velkor.VELKOR()
            assert obj.init("model.gguf", on_token=on_token, on_tool_call=lambda *a: None,
                            sampler_params={"temperature": 0.5, "ü": [1, 2]}, model_type_override="x",
                            custom_jinja_template="{{ x }}", mmproj_config="{}") == 0
            result = obj.run("hello", tool_schemas=[{"type": "function"}], extra_template_params={"a": 1},
                             sampler_params={"top_k": 3}, sampling_mode="top_p", top_k=5, top_p=0.9,
                             temperature=0.7, repeat_penalty=1.1, userdata=object())
            assert result["token_count"] == 4, result
            obj.set_chat_template("sys", None, "post")
            obj.set_chat_template_jinja("{{ messages }}")
            obj.set_toolcall_callback(False, 1)
            obj.reset()
            obj.interrupt()
            obj.uninit()
            del obj

        # images and vision metadata
        script()
        fake.set_vision(struct.pack("<i", 1) + bytes(116), rc=0, inputs=True, height=448, width=448)
        obj = _velkor.VELKOR()
        obj.init("model.gguf", mmproj_path="mmproj.gguf")
        assert obj.vision_metadata["model_width"] == 448
        obj.run("a <|image_pad|> b", images=[image, chw_float, rgba, image.transpose(1, 0, 2)])
        obj.run('[{"role": "user"}]', images=[image], messages_mode=True)
        # error paths: arguments, as_rgb888, the JSON texts, the sampling mode
        expect(TypeError, obj.run, 1)
        expect(TypeError, obj.run, "x", images=(image,))
        expect(TypeError, obj.run, "x", nonsense=1)
        expect(ValueError, obj.run, "x", images=[image, np.zeros((2, 2))])
        expect(ValueError, obj.run, "x", images=[np.zeros((2, 2, 5), np.uint8)])
        expect(TypeError, obj.run, "x", tool_schemas=[object()])
        expect(ValueError, obj.run, "x", sampling_mode="nope")
        expect(OverflowError, obj.run, "x", top_k=2**40)
        expect(UnicodeEncodeError, obj.run, "\ud800")
        expect(TypeError, obj.init, "m", sampler_params={1j: 1})
        expect(ValueError, obj.init, "m", sampling_mode="bad")
        expect(ValueError, _velkor.as_rgb888, np.zeros(3))
        # failing runtime calls
        fake.set_rc("kiv_llm_reset", 1)
        fake.set_rc("kiv_llm_set_chat_template", 1)
        obj.reset()
        obj.set_chat_template("a", "b", "c")
        obj.uninit()
        fake.set_rc("kiv_llm_init", 1)
        obj.init("model.gguf")                      # failure with a handle written
        fake.set_init_handle(0)
        obj.init("model.gguf")                      # failure without a handle
        expect(RuntimeError, obj.run, "x")
        del obj

        # exceptions in the callbacks and a runtime delivering nothing
        script("thread-per-callback")
        obj = _velkor.VELKOR()
        obj.init("m", on_token=failing_callback, on_tool_call=failing_callback)
        hook, sys.unraisablehook = sys.unraisablehook, lambda unraisable: None
        stderr, sys.stderr = sys.stderr, open("/dev/null", "w")
        try:
            obj.run("x")
        finally:
            sys.stderr.close()
            sys.stderr, sys.unraisablehook = stderr, hook
        fake.lib.fake_script_clear()
        assert obj.run("x")["token_count"] == 0
        del obj

        # interrupt from another thread, and the Ctrl+C path through the handler
        script()
        fake.stream(b"x", sleep_us=200, max_pieces=2000, final_state=2)
        obj = _velkor.VELKOR()
        obj.init("m")
        timer = threading.Timer(0.01, obj.interrupt)
        timer.start()
        obj.run("x")
        timer.join()

        def flag(result, userdata, status):
            obj.signal_handler(signal.SIGINT, None)
        obj.init("m", on_token=flag)
        obj._restore_sigint_handler()
        expect(KeyboardInterrupt, obj.run, "x")
        obj.uninit()
        del obj

        # objects made and dropped on a worker thread
        worker = threading.Thread(target=lambda: _velkor.VELKOR().init("m"))
        worker.start()
        worker.join()
    signal.signal(signal.SIGINT, signal.default_int_handler)
    gc.collect()


# -------------------------------------------------------------------- quellan

def quellan_paths(lib: Path) -> None:
    import ctypes
    fake = ctypes.CDLL(str(lib))
    fake.fake_quellan_script_transcribe.argtypes = [ctypes.c_int32, ctypes.c_char_p, ctypes.c_char_p]
    fake.fake_quellan_script_init.argtypes = [ctypes.c_int32, ctypes.c_uint64]
    for _ in range(REPEAT):
        q = _quellan.Quellan(str(lib))
        q.init("whisper", "model.bin", "tokenizer.json", "decoder.bin", '{"beam": 5}')
        assert q.transcribe("a.wav") == {"text": "hello", "language": "en"}
        fake.fake_quellan_script_transcribe(0, None, None)
        assert q.transcribe("a.wav", b"en", "translate") == {"text": "", "language": ""}
        fake.fake_quellan_script_transcribe(1, b"lost", b"xx")
        expect(RuntimeError, q.transcribe, "a.wav")
        fake.fake_quellan_script_transcribe(0, b"\xff bad", b"en")
        expect(UnicodeDecodeError, q.transcribe, "a.wav")
        expect(ValueError, q.transcribe, "a\0.wav")
        expect(TypeError, q.transcribe, "a.wav", 5)
        q.init("other", "m2", "t2")                 # a second init releases the first handle
        fake.fake_quellan_script_init(1, 0)
        expect(RuntimeError, q.init, "whisper", "m", "t")
        q.close()
        q.close()
        expect(RuntimeError, q.transcribe, "a.wav")
        q.init("whisper", "m", "t")
        del q                                       # destruction releases the handle
        fake.fake_quellan_reset()
    gc.collect()


def main() -> None:
    workdir = Path(tempfile.mkdtemp(prefix="kiv-leakcheck-"))
    try:
        shutil.copy(build_fake_velkor(), workdir / "libvelkor.so")
        _velkor.__file__ = str(workdir / Path(_velkor.__file__).name)
        fake = FakeVelkor(workdir / "libvelkor.so")
        velkor_paths(fake)
        quellan_paths(build_shared("fake_quellan", [FAKES / "fake_quellan.cpp"]))
        if "--leak" in sys.argv:
            import _kiv_leaky
            _kiv_leaky.leak()
        print("leak-check driver: every path ran")
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
