"""Hostile input, generated: any mix of arguments to every method, any array
to as_rgb888 (compared with a plain numpy statement of the documented steps),
any sampling mode, any JSON argument, any path or text for the recogniser and
any bytes from the runtimes. Only the documented exceptions, never a crash,
and what reaches the runtime is exactly what was given."""

from __future__ import annotations

import json
import os
import signal
import struct
import warnings
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from tessel_openai_server.kiv_velkor import _velkor
from tessel_openai_server.kiv_velkor.types import RunMode, SamplingMode

from .conftest import SANITIZED

EXAMPLES = 40 if SANITIZED else 150
# Fixed examples (derandomised), so a run is repeatable; the fixtures hold
# state across examples on purpose (each example resets what it uses).
SETTINGS = settings(deadline=None, max_examples=EXAMPLES, derandomize=True,
                    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])

# The exceptions that argument conversion and preconditions may raise.
DOCUMENTED = (TypeError, ValueError, OverflowError, UnicodeError, AttributeError, RuntimeError, RecursionError)


class StrSubclass(str):
    pass


class Exploding:
    """Fails every protocol it is asked for."""

    def __bool__(self):
        raise ValueError("no truth value")

    def __index__(self):
        raise OverflowError("no index")

    def __float__(self):
        raise TypeError("no float")

    def __len__(self):
        raise ValueError("no length")

    def __hash__(self):
        raise TypeError("unhashable")


ANY_VALUE = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(min_value=-2**70, max_value=2**70),
    st.floats(allow_nan=True, allow_infinity=True), st.text(max_size=8),
    st.sampled_from(["\ud800", "a\0b", "", " top_k ", "<|image_pad|>", StrSubclass("x")]),
    st.binary(max_size=8), st.lists(st.integers(0, 300), max_size=4),
    st.dictionaries(st.text(max_size=3), st.integers(), max_size=3),
    st.sampled_from(list(SamplingMode) + list(RunMode)),
    st.builds(lambda: np.zeros((2, 2, 3), np.uint8)), st.builds(object), st.builds(Exploding),
    st.builds(lambda: [np.zeros((2, 2, 3))]), st.builds(lambda: Path("model.bin")),
)


def arguments(names: list[str]):
    """Positional values, then keywords drawn from the real names and others."""
    keyword = st.one_of(st.sampled_from(names) if names else st.nothing(), st.text(min_size=1, max_size=6))
    return st.tuples(st.lists(ANY_VALUE, max_size=len(names) + 2), st.dictionaries(keyword, ANY_VALUE, max_size=4))


VELKOR_METHODS = {
    "init": ["model_path", "on_token", "on_tool_call", "sampling_mode", "sampler_params", "mmproj_path",
             "model_type_override", "custom_jinja_template", "mmproj_config"],
    "run": ["prompt_input", "run_mode", "retain_history", "userdata", "images", "img_start", "img_end",
            "img_content", "tool_schemas", "sampler_params", "disable_chat_template", "extra_template_params",
            "enable_think", "sampling_mode", "top_k", "top_p", "temperature", "repeat_penalty", "messages_mode"],
    "uninit": [], "reset": [], "interrupt": [],
    "set_chat_template": ["system_prompt", "prompt_prefix", "prompt_postfix"],
    "set_chat_template_jinja": ["jinja_template"],
    "set_toolcall_callback": ["enabled", "stop_output"],
    "_install_sigint_handler": [], "_restore_sigint_handler": [],
    "__reduce__": [], "__setstate__": ["state"], "signal_handler": ["sig", "frame"],
}


@pytest.mark.parametrize("method", list(VELKOR_METHODS))
def test_any_arguments_to_every_method(fake, method):
    obj = _velkor.VELKOR()
    obj.init("m", mmproj_path="p")

    @SETTINGS
    @given(arguments(VELKOR_METHODS[method]))
    def call(args):
        positional, keywords = args
        fake.lib.fake_clear_log()
        if obj.context is None:
            obj.init("m", mmproj_path="p")
        try:
            getattr(obj, method)(*positional, **keywords)
        except DOCUMENTED:
            pass
        except KeyboardInterrupt:
            assert method == "signal_handler"     # chained to the default handler
        finally:
            signal.signal(signal.SIGINT, signal.default_int_handler)

    call()
    obj.uninit()


@pytest.mark.parametrize("function, names", [("as_rgb888", ["image"]), ("VELKOR", [])])
def test_any_arguments_to_the_module_functions(fake, function, names):
    @SETTINGS
    @given(arguments(names))
    def call(args):
        positional, keywords = args
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                getattr(_velkor, function)(*positional, **keywords)
            except DOCUMENTED:
                pass
            finally:
                signal.signal(signal.SIGINT, signal.default_int_handler)

    call()


RECOGNISER_METHODS = {"init": ["backend", "model_path", "tokenizer_path", "decoder_path", "extra_json"],
                      "transcribe": ["wav_path", "language", "task"], "close": [],
                      "Quellan": ["lib_path"], "find_quellan_path": []}


@pytest.mark.parametrize("method", list(RECOGNISER_METHODS))
def test_any_arguments_to_the_recogniser(quellan_fake, method):
    from tessel_openai_server.kiv_velkor import _quellan
    q = _quellan.Quellan()
    target = _quellan if method in ("Quellan", "find_quellan_path") else q

    @SETTINGS
    @given(arguments(RECOGNISER_METHODS[method]))
    def call(args):
        positional, keywords = args
        try:
            getattr(target, method)(*positional, **keywords)
        except DOCUMENTED:
            pass
        quellan_fake.reset()

    call()
    q.close()


# ------------------------------------------------------------------ as_rgb888

def reference_rgb888(image):
    """The documented steps, one numpy statement each."""
    img = np.asarray(image)
    if img.ndim != 3:
        raise ValueError(f"Image must be 3D (H,W,C) or (C,H,W), got shape {img.shape}")
    if img.shape[0] == 3 and img.shape[-1] != 3:
        img = np.transpose(img, (1, 2, 0))
    if img.shape[-1] == 4:
        img = img[:, :, 0:3]
    if img.shape[-1] != 3:
        raise ValueError(f"Image must have 3 colour channels (RGB), got shape {img.shape}")
    if img.dtype != np.uint8:
        if img.dtype.kind == "f" and img.size and float(img.max()) <= 1.000001:
            img = img * 255.0
        img = np.clip(img, 0, 255).astype(np.uint8)
    return np.ascontiguousarray(img, dtype=np.uint8)


DTYPES = st.sampled_from(["u1", "i1", "u2", "i2", "<i4", ">i4", "i8", "u8", "f2", "<f4", ">f4", "f8", "?"])
SIDE = st.one_of(st.sampled_from([3, 4]), st.integers(0, 5))


@st.composite
def images(draw, min_dims=1, max_dims=4):
    """Arrays of any shape and dtype, with NaN and infinities, then viewed in
    a random axis order and with random steps (so often not contiguous)."""
    dtype = np.dtype(draw(DTYPES))
    shape = tuple(draw(st.lists(SIDE, min_size=min_dims, max_size=max_dims)))
    if dtype.kind == "f":
        elements = st.one_of(st.floats(-2, 2, width=16), st.floats(-500, 500, width=16),
                             st.sampled_from([np.nan, np.inf, -np.inf, 1.000001, 255.9]))
    else:
        elements = None
    array = draw(hnp.arrays(dtype, tuple(s * 2 for s in shape), elements=elements))
    view = array[tuple(slice(None, None, 2) for _ in shape)] if draw(st.booleans()) else array[
        tuple(slice(0, s) for s in shape)]
    if draw(st.booleans()):
        view = np.transpose(view, draw(st.permutations(range(view.ndim))))
    if draw(st.booleans()):
        view = np.asfortranarray(view)
    return view


@SETTINGS
@given(images())
def test_as_rgb888_matches_the_documented_steps(image):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")          # NaN and infinities meet the cast
        try:
            expected = reference_rgb888(image)
        except ValueError as exc:
            with pytest.raises(ValueError) as info:
                _velkor.as_rgb888(image)
            assert str(info.value) == str(exc)
            return
        out = _velkor.as_rgb888(image)
    assert out.dtype == np.uint8 and out.flags.c_contiguous and out.shape == expected.shape
    assert np.array_equal(out, expected)
    # Nothing is copied for an image already in the packed layout.
    assert (out is image) == (expected is image)


@SETTINGS
@given(st.lists(st.lists(st.lists(st.integers(-1000, 1000), min_size=3, max_size=3), min_size=1, max_size=3),
                min_size=1, max_size=3))
def test_as_rgb888_of_nested_lists(rows):
    widths = {len(r) for r in rows}
    assume(len(widths) == 1)
    assert np.array_equal(_velkor.as_rgb888(rows), reference_rgb888(rows))


@SETTINGS
@given(images(min_dims=3, max_dims=3))
def test_run_sends_the_normalised_pixels(fake, image):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            expected = reference_rgb888(image)
        except ValueError:
            return
    obj = _velkor.VELKOR()
    obj._restore_sigint_handler()
    obj.init("m", mmproj_path="p")
    fake.lib.fake_clear_log()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if expected.shape[0] == 0 or expected.shape[1] == 0:
            with pytest.raises(IndexError):
                obj.run("x", images=[image])
            assert fake.names() == []
        else:
            obj.run("x", images=[image])
            call = fake.last("kiv_llm_run")
            h, w = expected.shape[:2]
            assert struct.unpack_from("<ii", call.capture("image[0]"), 16) == (w, h)
            assert call.capture("pixels[0]") == expected.tobytes()
    obj.uninit()


# -------------------------------------------------------------- sampling mode

def reference_mode(value):
    if isinstance(value, SamplingMode):
        value = value.value
    if isinstance(value, str):
        value = value.strip().lower()
    return _velkor._SAMPLING_MODE_MAP[value]


MODES = st.one_of(
    st.builds(lambda name, left, right, upper: (" " * left) + (name.upper() if upper else name) + ("\t" * right),
              st.sampled_from(["arg_max", "argmax", "max", "top_p", "topp", "top_k", "topk", "chain_sampler",
                               "chain", "top-p", "greedy"]), st.integers(0, 2), st.integers(0, 2), st.booleans()),
    st.integers(-3, 6), st.floats(-1, 5), st.booleans(), st.sampled_from(list(SamplingMode)), st.none(),
    st.text(max_size=5), st.lists(st.integers(), max_size=2), st.binary(max_size=3),
)


@SETTINGS
@given(MODES, st.booleans())
def test_sampling_mode_through_init_and_run(fake, mode, through_run):
    obj = _velkor.VELKOR()
    obj._restore_sigint_handler()
    obj.init("m")
    fake.lib.fake_clear_log()
    try:
        expected = reference_mode(mode)
        failure = None
    except KeyError:
        expected, failure = None, ValueError
    except TypeError:
        expected, failure = None, TypeError
    if through_run and mode is None:
        expected, failure = 0, None               # run skips the override
    call = (lambda: obj.run("x", sampling_mode=mode)) if through_run else (lambda: obj.init("m", sampling_mode=mode))
    if failure:
        with pytest.raises(failure) as info:
            call()
        if failure is ValueError:
            shown = mode.value if isinstance(mode, SamplingMode) else mode
            shown = shown.strip().lower() if isinstance(shown, str) else shown
            assert str(info.value).startswith(f"Invalid sampling_mode: {shown!r}. Expected one of:")
    else:
        call()
        name, offset = ("kiv_llm_run", 16) if through_run else ("kiv_llm_init", 8)
        assert fake.last(name).u32("param", offset) == expected
    obj.uninit()


# ------------------------------------------------------------ JSON arguments

class Unserialisable:
    pass


LEAVES = st.one_of(st.none(), st.booleans(), st.integers(min_value=-2**80, max_value=2**80), st.floats(),
                   st.text(max_size=6), st.sampled_from([Unserialisable(), {1, 2}, b"bytes", 1j, "\ud800"]))
JSON_LIKE = st.recursive(LEAVES, lambda children: st.one_of(
    st.lists(children, max_size=3), st.dictionaries(st.one_of(st.text(max_size=4), st.integers()), children,
                                                    max_size=3)), max_leaves=12)


def nested(depth: int):
    value: object = []
    for _ in range(depth):
        value = [value]
    return value


@pytest.mark.parametrize("argument, offset_key", [("tool_schemas", "tools_schemas"),
                                                  ("extra_template_params", "extra_template_params"),
                                                  ("sampler_params", "sampler_params_json")])
def test_json_arguments(fake, argument, offset_key):
    obj = _velkor.VELKOR()
    obj.init("m")

    @SETTINGS
    @given(st.one_of(JSON_LIKE, st.builds(nested, st.sampled_from([10, 500, 5000, 100000]))))
    def check(value):
        fake.lib.fake_clear_log()
        if value is None:                              # not given: no text at all
            obj.run("x", **{argument: value})
            assert fake.last("kiv_llm_run").capture(offset_key) is None
            return
        if argument == "tool_schemas" and not hasattr(value, "__len__"):
            with pytest.raises(TypeError):
                obj.run("x", tool_schemas=value)
            return
        try:
            expected = json.dumps(value, ensure_ascii=False).encode("utf-8")
        except (TypeError, ValueError, RecursionError, UnicodeEncodeError) as exc:
            with pytest.raises(type(exc)):
                obj.run("x", **{argument: value})
            assert fake.names() == []
            return
        if argument == "tool_schemas" and len(value) == 0:
            expected = None                           # an empty list sends no tools
        obj.run("x", **{argument: value})
        assert fake.last("kiv_llm_run").capture(offset_key) == expected

    check()
    obj.uninit()


def test_sampler_params_of_init_nested_too_deep(fake):
    obj = _velkor.VELKOR()
    with pytest.raises(RecursionError):
        obj.init("m", sampler_params=nested(100000))
    assert fake.names() == []


# ------------------------------------------------------ paths and texts (speech)

PATHS = st.one_of(st.text(max_size=12), st.binary(max_size=12),
                  st.builds(lambda t: Path("dir") / t, st.text(min_size=1, max_size=6).filter(lambda t: "\0" not in t)),
                  st.sampled_from(["a\0b", b"a\0", "\udc80x", "\ud800", "é/ü", Path("x")]))
TEXTS = st.one_of(st.text(max_size=8), st.binary(max_size=8), st.sampled_from(["a\0b", b"\0", "\ud800", ""]))


def converted_path(value) -> bytes:
    encoded = os.fsencode(os.path.abspath(value))
    if b"\0" in encoded:
        raise ValueError("NUL")
    return encoded


def converted_text(value) -> bytes | None:
    if not value:
        return None                                   # not given: NULL
    encoded = value.encode("utf-8") if isinstance(value, str) else value
    if b"\0" in encoded:
        raise ValueError("NUL")
    return encoded


def expect(conversions):
    """The values the runtime must receive, or the exception the call raises:
    the conversions in the module's order, the first failure wins."""
    try:
        return [convert(value) for convert, value in conversions], None
    except Exception as exc:  # noqa: BLE001 - the type is compared
        return None, type(exc)


@SETTINGS
@given(PATHS, TEXTS)
def test_recogniser_paths_and_texts_are_passed_whole_or_refused(quellan_fake, path, text):
    from tessel_openai_server.kiv_velkor import _quellan
    q = _quellan.Quellan()
    for call, conversions, offsets in [
        (lambda: q.init("whisper", path, "tok", None, text), [(converted_path, path), (converted_text, text)],
         (4, 28)),
        (lambda: q.transcribe(path, text, text), [(converted_path, path), (converted_text, text),
                                                  (converted_text, text)], (4, 28, 36)),
    ]:
        quellan_fake.reset()
        values, error = expect(conversions)
        if error is not None:
            with pytest.raises(error) as info:
                call()
            if error is ValueError:
                assert str(info.value).endswith(" must not contain NUL characters")
            assert quellan_fake.names() == []             # nothing cut short reaches the runtime
            continue
        try:
            call()
        except RuntimeError:
            pass                                          # transcribe after a refused init: no handle
        assert [quellan_fake.strings(0, offset) for offset in offsets] == values
    q.close()


# ------------------------------------------------------------ runtime results

PIECE = st.tuples(st.binary(max_size=12), st.integers(-2**31, 2**31 - 1), st.sampled_from([0, 1, 2, 5, 2**32 - 1]))


@SETTINGS
@given(st.lists(PIECE, max_size=8), st.lists(st.tuples(st.binary(max_size=8), st.binary(max_size=8)), max_size=3),
       st.integers(0, 2**32 - 1))
def test_runtime_results_of_any_bytes(fake, pieces, tools, state):
    fake.lib.fake_reset()
    obj = _velkor.VELKOR()
    obj._restore_sigint_handler()
    seen = []
    obj.init("m", on_token=lambda result, userdata, status: seen.append(result),
             on_tool_call=lambda name, arguments, userdata: seen.append((name, arguments)))
    for text, token_id, content_type in pieces:
        fake.result(text, token_id=token_id, content_type=content_type, state=state)
    for name, arguments in tools:
        fake.tool(name, arguments)
    out = obj.run("x")

    def c_string(data: bytes) -> bytes:                # the runtime hands NUL-terminated text
        return data.split(b"\0", 1)[0]

    def joined(kind):
        return b"".join(c_string(t) for t, _, c in pieces if (c if c in (1, 2) else 0) == kind)

    assert out["text"] == joined(0).decode("utf-8", "replace")
    assert out["reasoning"] == joined(1).decode("utf-8", "replace")
    assert out["tool_text"] == joined(2).decode("utf-8", "replace")
    assert out["token_ids"] == [t for _, t, _ in pieces]
    assert out["tool_calls"] == [{"name": c_string(n).decode("utf-8", "replace"),
                                  "arguments": c_string(a).decode("utf-8", "replace")} for n, a in tools]
    if pieces:
        assert int(out["status"]) == state
    assert [r.text for r in seen[:len(pieces)]] == [c_string(t) for t, _, _ in pieces]
    obj.uninit()


@SETTINGS
@given(st.one_of(st.none(), st.binary(max_size=16)), st.one_of(st.none(), st.binary(max_size=4)))
def test_recogniser_results_of_any_bytes(quellan_fake, text, language):
    from tessel_openai_server.kiv_velkor import _quellan
    q = _quellan.Quellan()
    q.init("whisper", "m", "t")
    text_c = (text or b"").split(b"\0", 1)[0]
    language_c = (language or b"").split(b"\0", 1)[0]
    quellan_fake.transcribe_result(0, text, language)
    try:
        expected = {"text": text_c.decode("utf-8"), "language": language_c.decode("utf-8")}
    except UnicodeDecodeError:
        with pytest.raises(UnicodeDecodeError):
            q.transcribe("a.wav")
    else:
        assert q.transcribe("a.wav") == expected
    q.close()
    assert quellan_fake.counts()["outstanding_results"] == 0
    quellan_fake.reset()
