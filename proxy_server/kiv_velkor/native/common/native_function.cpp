#include "native_function.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <string>

namespace kiv {
namespace {

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* fn;
    PyTypeObject* owner;      // strong; the class of a method, NULL for functions
    PyObject* module;         // strong; self of a module-level function
    PyObject* defaults;       // strong tuple, or NULL when no parameter has a default
    PyObject* annotations;    // strong dict
    PyObject* param_names;    // strong tuple of interned str
    PyObject* name;           // strong str
    PyObject* qualname;       // strong str
    PyObject* module_name;    // strong str
    PyObject* doc;            // strong str, or NULL when the function has no docstring
};

PyTypeObject* s_method_type = nullptr;
PyTypeObject* s_function_type = nullptr;

void raise_count_error(const FunctionSpec& fn, Py_ssize_t found) {
    const Py_ssize_t min = fn.n_required;
    const Py_ssize_t max = fn.n_params;
    const char* more_or_less;
    Py_ssize_t expected;
    if (found < min) {
        more_or_less = "at least";
        expected = min;
    } else {
        more_or_less = "at most";
        expected = max;
    }
    if (min == max) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 fn.name, more_or_less, expected, expected == 1 ? "" : "s", found);
}

Py_ssize_t find_parameter(PyObject* param_names, PyObject* key) {
    const Py_ssize_t n = PyTuple_GET_SIZE(param_names);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(param_names, i) == key) return i;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PyTuple_GET_ITEM(param_names, i);
        if (PyUnicode_Check(key) && PyUnicode_Compare(name, key) == 0) return i;
    }
    return -1;
}

// Shared core: positional values are already in out[0..nargs); keywords come as
// parallel arrays of names and values.
bool bind_core(const FunctionSpec& fn, PyObject* param_names, PyObject* defaults,
               Py_ssize_t nargs, PyObject* const* kw_keys, PyObject* const* kw_values,
               Py_ssize_t nkw, PyObject** out) {
    if (nargs > fn.n_params) {
        raise_count_error(fn, nargs);
        return false;
    }
    for (Py_ssize_t i = nargs; i < fn.n_params; ++i) out[i] = nullptr;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = kw_keys[k];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fn.name);
            return false;
        }
        const Py_ssize_t index = find_parameter(param_names, key);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         fn.name, key);
            return false;
        }
        if (out[index] != nullptr || index < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         fn.name, key);
            return false;
        }
        out[index] = kw_values[k];
    }
    for (Py_ssize_t i = nargs; i < fn.n_params; ++i) {
        if (out[i] != nullptr) continue;
        if (i < fn.n_required) {
            raise_count_error(fn, i);
            return false;
        }
        out[i] = PyTuple_GET_ITEM(defaults, i - fn.n_required);
    }
    return true;
}

Ref intern_names(const FunctionSpec& fn) {
    Ref names = Ref::steal(PyTuple_New(fn.n_params));
    if (!names) return {};
    for (Py_ssize_t i = 0; i < fn.n_params; ++i) {
        PyObject* s = PyUnicode_InternFromString(fn.params[i].name);
        if (!s) return {};
        PyTuple_SET_ITEM(names.get(), i, s);
    }
    return names;
}

PyObject* call_bound(NativeFunction* f, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    PyObject* bound[kMaxParameters];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    const FunctionSpec& fn = *f->fn;
    for (Py_ssize_t i = 0; i < nargs && i < fn.n_params; ++i) bound[i] = args[i];
    if (!bind_core(fn, f->param_names, f->defaults, nargs,
                   nkw ? &PyTuple_GET_ITEM(kwnames, 0) : nullptr, args + nargs, nkw, bound)) {
        return nullptr;
    }
    return fn.impl(self, bound);
}

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    auto* f = reinterpret_cast<NativeFunction*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", f->qualname);
        return nullptr;
    }
    PyObject* self = args[0];
    if (!PyObject_TypeCheck(self, f->owner)) {
        PyErr_Format(PyExc_TypeError, "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object",
                     f->name, f->owner->tp_name, Py_TYPE(self)->tp_name);
        return nullptr;
    }
    return call_bound(f, self, args + 1, nargs - 1, kwnames);
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    auto* f = reinterpret_cast<NativeFunction*>(callable);
    return call_bound(f, f->module, args, PyVectorcall_NARGS(nargsf), kwnames);
}

PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// The fields that may take part in a reference cycle: the collector visits
// them, and clearing drops them.
std::array<PyObject**, 4> cycle_fields(PyObject* self) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    return {reinterpret_cast<PyObject**>(&f->owner), &f->module, &f->defaults, &f->annotations};
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (PyObject** field : cycle_fields(self)) Py_VISIT(*field);
    return 0;
}

int function_clear(PyObject* self) {
    for (PyObject** field : cycle_fields(self)) Py_CLEAR(*field);
    return 0;
}

void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_CLEAR(f->param_names);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->doc);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    return PyUnicode_FromFormat(f->owner ? "<method %U>" : "<function %U>", f->qualname);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<NativeFunction*>(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<NativeFunction*>(self)->qualname); }
PyObject* get_module(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<NativeFunction*>(self)->module_name); }

PyObject* get_doc(PyObject* self, void*) {
    PyObject* doc = reinterpret_cast<NativeFunction*>(self)->doc;
    if (doc == nullptr) Py_RETURN_NONE;
    return Py_NewRef(doc);
}

PyObject* get_defaults(PyObject* self, void*) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    if (f->defaults == nullptr || PyTuple_GET_SIZE(f->defaults) == 0) Py_RETURN_NONE;
    return Py_NewRef(f->defaults);
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_annotations(PyObject* self, void*) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (!f->annotations) return nullptr;
    }
    return Py_NewRef(f->annotations);
}

// inspect.signature() reads this: the real parameters with their defaults and
// annotations, `self` first for methods.
PyObject* get_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    const FunctionSpec& fn = *f->fn;
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    if (!parameter) return nullptr;
    Ref signature = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!signature) return nullptr;
    Ref kind = Ref::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    if (!kind) return nullptr;
    Ref params = Ref::steal(PyList_New(0));
    if (!params) return nullptr;

    auto add = [&](PyObject* name, PyObject* deflt) -> bool {
        Ref kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return false;
        if (deflt && PyDict_SetItemString(kwargs.get(), "default", deflt) < 0) return false;
        if (f->annotations) {
            PyObject* ann = nullptr;
            if (PyDict_GetItemRef(f->annotations, name, &ann) < 0) return false;
            Ref owned = Ref::steal(ann);
            if (ann && PyDict_SetItemString(kwargs.get(), "annotation", ann) < 0) return false;
        }
        Ref args = Ref::steal(PyTuple_Pack(2, name, kind.get()));
        if (!args) return false;
        Ref p = Ref::steal(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
        return p && PyList_Append(params.get(), p.get()) == 0;
    };

    if (f->owner) {
        Ref self_name = Ref::steal(PyUnicode_FromString("self"));
        if (!self_name || !add(self_name.get(), nullptr)) return nullptr;
    }
    for (Py_ssize_t i = 0; i < fn.n_params; ++i) {
        PyObject* deflt = i >= fn.n_required ? PyTuple_GET_ITEM(f->defaults, i - fn.n_required) : nullptr;
        if (!add(PyTuple_GET_ITEM(f->param_names, i), deflt)) return nullptr;
    }
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return nullptr;
    if (f->annotations) {
        PyObject* ret = nullptr;
        if (PyDict_GetItemStringRef(f->annotations, "return", &ret) < 0) return nullptr;
        Ref owned = Ref::steal(ret);
        if (ret && PyDict_SetItemString(kwargs.get(), "return_annotation", ret) < 0) return nullptr;
    }
    Ref args = Ref::steal(PyTuple_Pack(1, params.get()));
    if (!args) return nullptr;
    return PyObject_Call(signature.get(), args.get(), kwargs.get());
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(NativeFunction, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// The method type's slots; the function type's are the same after the first
// (a plain function does not bind to the instance it is read from).
PyType_Slot method_slots[] = {
    {Py_tp_descr_get, reinterpret_cast<void*>(method_descr_get)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};
PyType_Slot* const function_slots = method_slots + 1;

// A new reference to the default `d` of a parameter of `fn`; `module` holds
// the globals a member default names.
PyObject* default_value(const FunctionSpec& fn, const Default& d, PyObject* module) {
    switch (d.kind) {
    case Default::Kind::kNone: return Py_NewRef(Py_None);
    case Default::Kind::kFalse: return Py_NewRef(Py_False);
    case Default::Kind::kTrue: return Py_NewRef(Py_True);
    case Default::Kind::kInteger: return PyLong_FromLong(d.number);
    case Default::Kind::kText: return PyUnicode_FromString(d.str);
    case Default::Kind::kMember: {
        if (module == nullptr) break;
        PyObject* holder = nullptr;
        if (PyDict_GetItemStringRef(PyModule_GetDict(module), d.str, &holder) < 0) return nullptr;
        if (holder == nullptr) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", d.str);
            return nullptr;
        }
        Ref owned = Ref::steal(holder);
        return PyObject_GetAttrString(holder, d.attribute);
    }
    case Default::Kind::kRequired: break;  // a parameter without default after one with
    }
    PyErr_Format(PyExc_SystemError, "bad defaults for %s()", fn.name);
    return nullptr;
}

bool has_member_default(const FunctionSpec& fn) {
    for (Py_ssize_t i = 0; i < fn.n_params; ++i) {
        if (fn.params[i].value.kind == Default::Kind::kMember) return true;
    }
    return false;
}

// How the signature shows a default: its repr, or Holder.NAME for a member.
bool default_text(const Default& d, PyObject* value, std::string& out) {
    if (d.kind == Default::Kind::kMember) {
        out = std::string(d.str) + "." + d.attribute;
        return true;
    }
    Ref repr = Ref::steal(PyObject_Repr(value));
    const char* text = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
    if (text == nullptr) return false;
    out = text;
    return true;
}

// The docstring. With a return annotation it starts with the signature,
// wrapped before a parameter that would pass column 100 and continued under
// the first parameter, then a blank line and the text.
Ref make_doc(const FunctionSpec& fn, PyObject* defaults) {
    if (fn.returns == nullptr) return Ref::steal(PyUnicode_FromString(fn.doc));
    constexpr std::size_t kWidth = 100;
    const std::string indent(std::strlen(fn.name) + 1, ' ');
    std::string text = std::string(fn.name) + "(";
    std::size_t line_start = 0;
    bool line_empty = true;
    for (Py_ssize_t i = 0; i < fn.n_params; ++i) {
        std::string piece = fn.params[i].name;
        if (i >= fn.n_required) {
            std::string shown;
            if (!default_text(fn.params[i].value, PyTuple_GET_ITEM(defaults, i - fn.n_required), shown)) return {};
            piece += "=" + shown;
        }
        piece += i + 1 < fn.n_params ? "," : ")";
        if (!line_empty && text.size() - line_start + 1 + piece.size() > kWidth) {
            text += "\n";
            line_start = text.size();
            text += indent;
            line_empty = true;
        }
        if (!line_empty) text += " ";
        text += piece;
        line_empty = false;
    }
    if (fn.n_params == 0) text += ")";
    text = text + " -> " + fn.returns + "\n\n" + fn.doc;
    return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyObject* refuse_pickling(PyObject*, BoundArgs) {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

constexpr Parameter setstate_params[] = {{"state"}};

std::string s_method_type_name;
std::string s_function_type_name;

// `defaults_module` resolves member defaults.
Ref new_native(PyTypeObject* type, const FunctionSpec& fn, PyTypeObject* owner, PyObject* module,
               PyObject* defaults_module, PyObject* annotations, vectorcallfunc vectorcall) {
    Ref defaults = make_defaults(fn, defaults_module);
    if (!defaults) return {};
    Ref doc;
    if (fn.doc != nullptr && !(doc = make_doc(fn, defaults.get()))) return {};
    Ref param_names = intern_names(fn);
    if (!param_names) return {};
    Ref name = Ref::steal(PyUnicode_InternFromString(fn.name));
    if (!name) return {};
    Ref module_name;
    Ref qualname;
    if (owner) {
        module_name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(owner), "__module__"));
        Ref owner_qualname = Ref::steal(PyType_GetQualName(owner));
        if (!owner_qualname) return {};
        qualname = Ref::steal(PyUnicode_FromFormat("%U.%s", owner_qualname.get(), fn.name));
    } else {
        module_name = Ref::steal(PyModule_GetNameObject(module));
        qualname = Ref::borrow(name.get());
    }
    if (!module_name || !qualname) return {};

    auto* f = PyObject_GC_New(NativeFunction, type);
    if (!f) return {};
    f->vectorcall = vectorcall;
    f->fn = &fn;
    f->owner = reinterpret_cast<PyTypeObject*>(Py_XNewRef(reinterpret_cast<PyObject*>(owner)));
    f->module = Py_XNewRef(module);
    f->defaults = defaults.release();
    f->annotations = Py_XNewRef(annotations);
    f->param_names = param_names.release();
    f->name = name.release();
    f->qualname = qualname.release();
    f->module_name = module_name.release();
    f->doc = doc.release();
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace

extern const FunctionSpec refuse_reduce_spec = function_spec("__reduce__", nullptr, nullptr, refuse_pickling);
extern const FunctionSpec refuse_setstate_spec =
    function_spec("__setstate__", nullptr, nullptr, refuse_pickling, setstate_params);

int native_function_types_ready(const char* module_name) {
    if (s_method_type != nullptr) return 0;
    s_method_type_name = std::string(module_name) + ".native_method";
    s_function_type_name = std::string(module_name) + ".native_function";
    constexpr unsigned long flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                    Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    PyType_Spec method_spec = {s_method_type_name.c_str(), sizeof(NativeFunction), 0,
                               flags | Py_TPFLAGS_METHOD_DESCRIPTOR, method_slots};
    PyType_Spec function_spec = {s_function_type_name.c_str(), sizeof(NativeFunction), 0, flags, function_slots};
    s_method_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&method_spec));
    if (!s_method_type) return -1;
    s_function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    if (!s_function_type) {
        Py_CLEAR(s_method_type);
        return -1;
    }
    return 0;
}

Ref new_method(const FunctionSpec& fn, PyTypeObject* owner, PyObject* annotations) {
    // The module whose globals hold the members named as defaults.
    PyObject* module = nullptr;
    if (has_member_default(fn) && !(module = PyType_GetModule(owner))) return {};
    return new_native(s_method_type, fn, owner, nullptr, module, annotations, method_vectorcall);
}

Ref new_function(const FunctionSpec& fn, PyObject* module, PyObject* annotations) {
    return new_native(s_function_type, fn, nullptr, module, module, annotations, function_vectorcall);
}

bool add_methods(PyTypeObject* owner, std::initializer_list<MethodEntry> methods) {
    for (const MethodEntry& m : methods) {
        Ref method = new_method(m.fn, owner, m.annotations);
        if (!method || PyObject_SetAttrString(reinterpret_cast<PyObject*>(owner), m.fn.name, method.get()) < 0) {
            return false;
        }
    }
    return true;
}

Ref make_defaults(const FunctionSpec& fn, PyObject* module) {
    if (fn.n_params > kMaxParameters) {
        PyErr_Format(PyExc_SystemError, "too many parameters for %s()", fn.name);
        return {};
    }
    Ref defaults = Ref::steal(PyTuple_New(fn.n_params - fn.n_required));
    if (!defaults) return {};
    for (Py_ssize_t i = fn.n_required; i < fn.n_params; ++i) {
        PyObject* value = default_value(fn, fn.params[i].value, module);
        if (!value) return {};
        PyTuple_SET_ITEM(defaults.get(), i - fn.n_required, value);
    }
    return defaults;
}

bool bind_tuple_dict(const FunctionSpec& fn, PyObject* defaults, PyObject* args,
                     PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > fn.n_params) {
        raise_count_error(fn, nargs);
        return false;
    }
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    PyObject* keys[kMaxParameters + 1];
    PyObject* values[kMaxParameters + 1];
    if (nkw > kMaxParameters) {
        // More keywords than any function has parameters: one of them is unexpected.
        PyObject* key;
        PyObject* value;
        Py_ssize_t pos = 0;
        Ref names = intern_names(fn);
        if (!names) return false;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (find_parameter(names.get(), key) < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn.name, key);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError, "%.200s() got too many keyword arguments", fn.name);
        return false;
    }
    Py_ssize_t pos = 0, k = 0;
    PyObject* key;
    PyObject* value;
    while (kwargs && PyDict_Next(kwargs, &pos, &key, &value)) {
        keys[k] = key;
        values[k] = value;
        ++k;
    }
    Ref names = intern_names(fn);
    if (!names) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    return bind_core(fn, names.get(), defaults, nargs, keys, values, nkw, out);
}

}  // namespace kiv
