"""The installed stubs agree with what the modules say of themselves.

Every function, method and property of the public API has a stub with the
same parameters (names, kinds, default values) as ``inspect.signature()``
reports, the enums list the same members, and the runtime's own annotations
(the "list" of run's images, the "str" of find_quellan_path) match.
"""

from __future__ import annotations

import ast
import enum
import inspect
from pathlib import Path
from typing import Any

import pytest

from tessel_openai_server.kiv_velkor import _quellan, _velkor, types

PACKAGE = Path(types.__file__).parent
MODULES = {"_velkor": _velkor, "_quellan": _quellan, "types": types}
PUBLIC = {
    "_velkor": ["VELKOR", "as_rgb888"],
    "_quellan": ["Quellan", "find_quellan_path"],
    "types": ["RunStatus", "RetStatus", "Result", "SamplingMode", "RunMode"],
}
MISSING = object()


def stub_tree(name: str) -> ast.Module:
    path = PACKAGE / f"{name}.pyi"
    assert path.is_file(), f"{path} is not installed"
    return ast.parse(path.read_text())


def decorators(node: ast.FunctionDef | ast.ClassDef) -> set[str]:
    return {ast.unparse(d) for d in node.decorator_list}


def stub_definitions(name: str) -> dict[str, ast.FunctionDef | ast.ClassDef]:
    """Top-level functions and classes, and the methods of classes, by dotted name."""
    found: dict[str, ast.FunctionDef | ast.ClassDef] = {}
    for node in stub_tree(name).body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = node
        elif isinstance(node, ast.ClassDef) and "type_check_only" not in decorators(node):
            found[node.name] = node
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    found[f"{node.name}.{item.name}"] = item
    return found


def stub_parameters(node: ast.FunctionDef) -> list[tuple[str, inspect._ParameterKind, Any, str | None]]:
    namespace = {"SamplingMode": types.SamplingMode, "RunMode": types.RunMode}
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [MISSING] * (len(positional) - len(args.defaults)) + list(args.defaults)
    out = []
    for i, (arg, default) in enumerate(zip(positional, defaults)):
        kind = inspect.Parameter.POSITIONAL_ONLY if i < len(args.posonlyargs) else \
            inspect.Parameter.POSITIONAL_OR_KEYWORD
        out.append((arg.arg, kind, default, arg.annotation))
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        out.append((arg.arg, inspect.Parameter.KEYWORD_ONLY, default or MISSING, arg.annotation))
    return [(name, kind, MISSING if d is MISSING else eval(compile(ast.Expression(d), "<stub>", "eval"), namespace),
             ast.unparse(a) if a is not None else None) for name, kind, d, a in out]


def same_default(stub: Any, runtime: Any) -> bool:
    if stub is MISSING or runtime is inspect.Parameter.empty:
        return stub is MISSING and runtime is inspect.Parameter.empty
    if isinstance(runtime, enum.Enum):
        return stub is runtime            # the very member the module read at import
    return type(stub) is type(runtime) and stub == runtime


def runtime_callables() -> list[Any]:
    """(module, dotted name, object) of every callable and attribute of the public API."""
    out = []
    for module_name, names in PUBLIC.items():
        module = MODULES[module_name]
        for name in names:
            obj = getattr(module, name)
            if not isinstance(obj, type):
                out.append(pytest.param(module_name, name, obj, id=f"{module_name}.{name}"))
                continue
            if issubclass(obj, enum.Enum):
                continue
            out.append(pytest.param(module_name, f"{name}()", obj, id=f"{module_name}.{name}()"))
            for attr, value in vars(obj).items():
                if attr.startswith("__") or attr in ("_missing_",):
                    continue
                out.append(pytest.param(module_name, f"{name}.{attr}", value, id=f"{module_name}.{name}.{attr}"))
    return out


@pytest.mark.parametrize("module_name, name, obj", runtime_callables())
def test_stub_matches_the_runtime(module_name, name, obj):
    definitions = stub_definitions(module_name)
    constructor = name.endswith("()")
    if constructor:                                           # the class is called: __new__ or __init__
        name = next(n for n in (name[:-2] + ".__new__", name[:-2] + ".__init__", name) if n in definitions)
    if inspect.ismemberdescriptor(obj):                       # a slot: an annotated attribute in the stub
        owner, _, attr = name.partition(".")
        assert attr in {t.target.id for t in definitions[owner].body if isinstance(t, ast.AnnAssign)}
        return
    stub = definitions.get(name)
    assert stub is not None, f"{module_name}.{name} has no stub"
    assert isinstance(stub, ast.FunctionDef)
    if not callable(obj):                                     # a property or a getset descriptor
        assert "property" in decorators(stub), f"{name} is an attribute at runtime, not a method"
        return
    assert "property" not in decorators(stub)

    stub_params = stub_parameters(stub)
    if constructor:
        stub_params = stub_params[1:]                         # signature(cls) has no cls or self
    runtime = inspect.signature(obj)
    runtime_params = list(runtime.parameters.values())
    assert [(p[0], p[1]) for p in stub_params] == [(p.name, p.kind) for p in runtime_params]
    for (pname, _, default, _), param in zip(stub_params, runtime_params):
        assert same_default(default, param.default), f"{name}({pname}=...): stub {default!r}, runtime {param.default!r}"

    # The annotations the runtime carries are what the stub annotates.
    annotations = dict(getattr(obj, "__annotations__", {}) or {})
    stub_annotations = {p[0]: p[3] for p in stub_params}
    stub_annotations["return"] = ast.unparse(stub.returns) if stub.returns is not None else None
    for pname, text in annotations.items():
        assert stub_annotations[pname] is not None and stub_annotations[pname].startswith(text), (pname, text)


def test_the_runtime_annotations_that_the_stubs_must_follow():
    assert _velkor.VELKOR.run.__annotations__ == {"images": "list"}
    assert _quellan.find_quellan_path.__annotations__ == {"return": "str"}


@pytest.mark.parametrize("name", ["RunStatus", "RetStatus", "SamplingMode", "RunMode"])
def test_enum_members(name):
    stub = stub_definitions("types")[name]
    members = {t.id: ast.literal_eval(node.value) for node in stub.body if isinstance(node, ast.Assign)
               for t in node.targets if isinstance(t, ast.Name)}
    assert members == {m.name: m.value for m in getattr(types, name)}


@pytest.mark.parametrize("module_name", sorted(PUBLIC))
def test_every_stubbed_name_exists(module_name):
    module = MODULES[module_name]
    for name, node in stub_definitions(module_name).items():
        owner, _, attr = name.rpartition(".")
        target = getattr(module, owner) if owner else module
        assert hasattr(target, attr or name), f"the stub declares {module_name}.{name}, the module has none"


def test_package_is_marked_typed():
    assert (PACKAGE / "py.typed").is_file()


def shown_default(value: Any) -> str:
    return f"{type(value).__name__}.{value.name}" if isinstance(value, enum.Enum) else repr(value)


@pytest.mark.parametrize("obj", [
    _velkor.VELKOR.init, _velkor.VELKOR.run, _velkor.as_rgb888, _quellan.Quellan.init, _quellan.Quellan.transcribe,
], ids=lambda obj: obj.__qualname__)
def test_the_docstring_opens_with_the_signature_the_function_binds(obj):
    head, _, text = obj.__doc__.partition("\n\n")
    assert text and all(len(line) <= 100 for line in head.splitlines())
    shown = " ".join(line.strip() for line in head.splitlines())
    params = [p for p in inspect.signature(obj).parameters.values() if p.name != "self"]
    expected = ", ".join(p.name if p.default is p.empty else f"{p.name}={shown_default(p.default)}" for p in params)
    assert shown.startswith(f"{obj.__name__}({expected}) -> ")
