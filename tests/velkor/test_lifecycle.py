"""Construction, destruction, the library count, properties and module set-up."""

from __future__ import annotations

import copy
import gc
import inspect
import pickle
import re
import shutil

import pytest

from support.subprocess_run import run_python
from tessel_openai_server.kiv_velkor import _velkor
from tessel_openai_server.kiv_velkor.types import RetStatus, RunMode, SamplingMode

NOT_INITIALISED = "VELKOR has not been initialized \u2013 call init() first"


def test_import_binds_globals_in_order_and_opens_nothing():
    proc = run_python("""
from tessel_openai_server.kiv_velkor import _velkor
names = [n for n in vars(_velkor) if not n.startswith('__')]
print(names)
print(any('libvelkor' in line for line in open('/proc/self/maps')))
""")
    lines = proc.stdout.splitlines()
    assert lines[0] == str(["json", "signal", "threading", "np", "os", "Path", "RunStatus", "RetStatus",
                            "Result", "SamplingMode", "RunMode", "_SAMPLING_MODE_MAP", "as_rgb888", "VELKOR"])
    assert lines[1] == "False"


def test_sampling_map_entries():
    m = _velkor._SAMPLING_MODE_MAP
    assert m["chain"] == 3 and m[2] == 2 and m[SamplingMode.TOP_P] == 1
    assert list(m)[:9] == ["arg_max", "argmax", "max", "top_p", "topp", "top_k", "topk", "chain_sampler", "chain"]


def test_init_default_is_the_member_current_at_import():
    assert _velkor.VELKOR.init.__defaults__[2] is SamplingMode.ARG_MAX
    assert _velkor.VELKOR.run.__defaults__[1] is RunMode.GENERATE


def test_missing_library_raises_every_time_and_counts_nothing(deploy, capfd):
    deploy(None)
    for _ in range(2):
        with pytest.raises(RuntimeError, match="^Cannot load libvelkor.so$"):
            _velkor.VELKOR()
    err = capfd.readouterr().err
    assert err.count("[VELKOR_FUNC] dlopen(") == 2


def test_fresh_object_state(fake):
    obj = _velkor.VELKOR()
    assert obj.context is None
    assert obj.mmproj_model is False
    assert obj.vision_metadata == {} and obj.vision_metadata is obj.vision_metadata
    assert obj.uninit() is RetStatus.SUCCESS
    assert obj.uninit() is RetStatus.SUCCESS
    assert "kiv_llm_uninit" not in fake.names()


def test_context_property_and_uninit(fake):
    fake.set_init_handle(0xDEAD000)
    obj = _velkor.VELKOR()
    obj.init("m")
    assert obj.context == 0xDEAD000
    fake.set_rc("kiv_llm_uninit", 7)
    status = obj.uninit()
    assert int(status) == 7  # an unknown code still comes back as a RetStatus
    assert isinstance(status, RetStatus)
    assert obj.context is None
    assert fake.last("kiv_llm_uninit").handle == 0xDEAD000


@pytest.mark.parametrize("method, args", [
    ("reset", ()), ("interrupt", ()), ("run", ()), ("set_chat_template", ("a", "b", "c")),
    ("set_chat_template_jinja", ("t",)), ("set_toolcall_callback", ()),
])
def test_methods_need_a_context(fake, method, args):
    obj = _velkor.VELKOR()
    with pytest.raises(RuntimeError) as info:
        getattr(obj, method)(*args)
    assert str(info.value) == NOT_INITIALISED
    obj.init("m")
    obj.uninit()
    with pytest.raises(RuntimeError, match=re.escape(NOT_INITIALISED)):
        getattr(obj, method)(*args)
    assert fake.names() == ["kiv_llm_init", "kiv_llm_set_toolcall_callback", "kiv_llm_uninit"]


def test_objects_are_sealed(fake):
    obj = _velkor.VELKOR()
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(AttributeError):
        obj.context = 5
    with pytest.raises(TypeError):
        import weakref
        weakref.ref(obj)
    assert not hasattr(obj, "__dict__")


@pytest.mark.parametrize("operation", [pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__reduce__(),
                                       lambda o: o.__setstate__(None)])
def test_pickling_and_copying_are_refused(fake, operation):
    obj = _velkor.VELKOR()
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        operation(obj)


@pytest.mark.parametrize("call, message", [
    (lambda: _velkor.VELKOR(1), "VELKOR() takes exactly 0 positional arguments (1 given)"),
    (lambda: _velkor.VELKOR(x=1), "VELKOR() got an unexpected keyword argument 'x'"),
])
def test_constructor_takes_no_arguments(fake, call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("call, message", [
    (lambda o: o.init(), "init() takes at least 1 positional argument (0 given)"),
    (lambda o: o.init(*range(10)), "init() takes at most 9 positional arguments (10 given)"),
    (lambda o: o.init("m", model_path="m"), "init() got multiple values for keyword argument 'model_path'"),
    (lambda o: o.init("m", bogus=1), "init() got an unexpected keyword argument 'bogus'"),
    (lambda o: o.uninit(1), "uninit() takes exactly 0 positional arguments (1 given)"),
    (lambda o: o.reset(x=1), "reset() got an unexpected keyword argument 'x'"),
    (lambda o: o.signal_handler(1), "signal_handler() takes exactly 2 positional arguments (1 given)"),
    (lambda o: o.signal_handler(sig=1), "signal_handler() takes exactly 2 positional arguments (1 given)"),
    (lambda o: o.set_toolcall_callback(1, 2, 3), "set_toolcall_callback() takes at most 2 positional arguments (3 given)"),
    (lambda o: o.run(*range(20)), "run() takes at most 19 positional arguments (20 given)"),
    (lambda o: o.set_chat_template_jinja(), "set_chat_template_jinja() takes exactly 1 positional argument (0 given)"),
    (lambda o: _velkor.as_rgb888(), "as_rgb888() takes exactly 1 positional argument (0 given)"),
    (lambda o: o.init(model_path=1), "Argument 'model_path' has incorrect type (expected str, got int)"),
    (lambda o: o.run(images=()), "Argument 'images' has incorrect type (expected list, got tuple)"),
])
def test_argument_binding_messages(fake, call, message):
    obj = _velkor.VELKOR()
    with pytest.raises(TypeError) as info:
        call(obj)
    assert str(info.value) == message
    assert fake.names() == []


def test_str_subclass_is_refused_before_the_runtime_is_called(fake):
    class Text(str):
        pass
    obj = _velkor.VELKOR()
    with pytest.raises(TypeError, match=r"^Argument 'model_path' has incorrect type \(expected str, got Text\)$"):
        obj.init(Text("m"))
    assert fake.names() == []


def test_signatures_are_real():
    sig = inspect.signature(_velkor.VELKOR.init)
    assert list(sig.parameters)[:2] == ["self", "model_path"]
    assert sig.parameters["model_path"].default is inspect.Parameter.empty
    assert sig.parameters["mmproj_config"].default == ""
    run = inspect.signature(_velkor.VELKOR.run)
    assert len(run.parameters) == 20
    assert run.parameters["images"].annotation == "list"
    assert _velkor.VELKOR.run.__annotations__ == {"images": "list"}
    assert str(inspect.signature(_velkor.VELKOR)) == "()"
    assert str(inspect.signature(_velkor.as_rgb888)) == "(image)"
    assert list(inspect.signature(_velkor.VELKOR.set_toolcall_callback).parameters) == ["self", "enabled", "stop_output"]


def test_bound_method_signature_drops_self(fake):
    obj = _velkor.VELKOR()
    assert str(inspect.signature(obj.set_toolcall_callback)) == "(enabled=True, stop_output=0)"
    assert obj.init.__defaults__ == _velkor.VELKOR.init.__defaults__


def test_methods_refuse_a_foreign_self():
    with pytest.raises(TypeError):
        _velkor.VELKOR.uninit(42)


def test_subclass_gets_its_own_sigint_install(fake):
    calls = []

    class Sub(_velkor.VELKOR):
        def _install_sigint_handler(self):
            calls.append(self)

    obj = Sub()
    assert calls == [obj]
    obj.init("m")
    assert obj.context is not None


LIFECYCLE_SNIPPET = """
import gc, os, shutil, sys, tempfile
from pathlib import Path
from tessel_openai_server.kiv_velkor import _velkor
d = Path(tempfile.mkdtemp())
shutil.copy({fake!r}, d / "libvelkor.so")
_velkor.__file__ = str(d / "_velkor.so")
trace = os.environ["FAKE_VELKOR_TRACE"]
def log(text):
    with open(trace, "a") as f: f.write(text + "\\n")
"""


def test_library_shared_by_objects_and_closed_after_context(tmp_path, fake_velkor_path):
    trace = tmp_path / "trace.txt"
    run_python(LIFECYCLE_SNIPPET.format(fake=str(fake_velkor_path)) + """
import signal
a = _velkor.VELKOR(); a._restore_sigint_handler()
b = _velkor.VELKOR(); b._restore_sigint_handler()
a.init("m")
log("del a"); del a; gc.collect()
log("del b"); del b; gc.collect()
log("again"); c = _velkor.VELKOR(); c.init("m"); c._restore_sigint_handler()
log("del c"); del c; gc.collect()
log("end")
""", env={"FAKE_VELKOR_TRACE": str(trace)})
    assert trace.read_text().split() == [
        "kiv_llm_init", "kiv_llm_set_toolcall_callback", "del", "a", "kiv_llm_uninit", "del", "b", "unloaded",
        "again", "kiv_llm_init", "kiv_llm_set_toolcall_callback", "del", "c", "kiv_llm_uninit", "unloaded", "end"]


def test_reimport_gives_the_same_module():
    proc = run_python("""
import importlib, sys
from tessel_openai_server.kiv_velkor import _velkor as first
del sys.modules['tessel_openai_server.kiv_velkor._velkor']
second = importlib.import_module('tessel_openai_server.kiv_velkor._velkor')
print(first is second)
""")
    assert proc.stdout.strip() == "True"


def test_second_interpreter_is_refused():
    proc = run_python("""
import _interpreters
from tessel_openai_server.kiv_velkor import _velkor
interp = _interpreters.create("legacy")
err = _interpreters.exec(interp, "from tessel_openai_server.kiv_velkor import _velkor")
print(err.type.__name__ if err else None)
print(err.msg if err else None)
""")
    out = proc.stdout.splitlines()
    assert out[0] == "ImportError"
    assert out[1] == ("Interpreter change detected - this module can only be loaded into one interpreter "
                      "per process.")


def test_a_subclass_init_may_take_arguments(fake):
    class Configured(_velkor.VELKOR):
        def __init__(self, model, *, retries=1):
            self.model, self.retries = model, retries

    obj = Configured("m.gguf", retries=3)
    assert (obj.model, obj.retries) == ("m.gguf", 3)
    assert obj.init(obj.model) == RetStatus.SUCCESS
    obj.uninit()
    with pytest.raises(TypeError, match=r"VELKOR\(\) takes exactly 0 positional arguments \(1 given\)"):
        _velkor.VELKOR("m")

    class Plain(_velkor.VELKOR):
        pass

    with pytest.raises(TypeError):
        Plain("m")
