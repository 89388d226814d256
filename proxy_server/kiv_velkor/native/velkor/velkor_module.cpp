// Module set-up of _velkor: multi-phase initialisation, the module globals and
// the process-wide state.
#include "velkor_module.h"

#include <initializer_list>

namespace velkor {

ModuleState g_state;

Ref global(PyObject* name) {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(g_state.globals, name, &value) < 0) return {};
    if (value == nullptr) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref::steal(value);
}

namespace {

const char kModuleDoc[] =
    "Binding of the on-device LLM runtime.\n\n"
    "Provides the class VELKOR, which wraps the native interface of the runtime\n"
    "library (velkor_ext.h) opened with dlopen from this module's directory, and\n"
    "exposes the runtime's entry points as Python methods with the kiv_llm_ prefix\n"
    "removed (kiv_llm_run becomes run); the method for kiv_llm_break is named\n"
    "interrupt. as_rgb888 brings an image array into the packed RGB888 layout the\n"
    "runtime reads.";

int64_t s_interpreter_id = -1;

bool intern(PyObject*& slot, const char* text) {
    slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

// A tuple of keyword names for vectorcalls. Interned, so a Python function
// matches each one to its parameter by identity instead of comparing text.
bool intern_tuple(PyObject*& slot, std::initializer_list<const char*> names) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple) return false;
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyObject* item = PyUnicode_InternFromString(name);
        if (!item) return false;
        PyTuple_SET_ITEM(tuple.get(), i++, item);
    }
    slot = tuple.release();
    return true;
}

bool intern_names() {
    ModuleState& s = g_state;
    return intern(s.s_RunStatus, "RunStatus") && intern(s.s_Result, "Result") &&
           intern(s.s_RetStatus, "RetStatus") && intern(s.s_SamplingMode, "SamplingMode") && intern(s.s_RunMode, "RunMode") &&
           intern(s.s_sampling_map, "_SAMPLING_MODE_MAP") && intern(s.s_as_rgb888, "as_rgb888") &&
           intern(s.s_json, "json") && intern(s.s_np, "np") && intern(s.s_signal, "signal") &&
           intern(s.s_threading, "threading") && intern(s.s_os, "os") && intern(s.s_Path, "Path") &&
           intern(s.s_file, "__file__") && intern(s.s_interrupt, "interrupt") &&
           intern(s.s_value, "value") && intern(s.s_ERROR, "ERROR") &&
           intern(s.s_SUCCESS, "SUCCESS") && intern(s.s_name, "name") &&
           intern(s.s_arguments, "arguments") && intern(s.result_keys[0], "text") &&
           intern(s.result_keys[1], "reasoning") && intern(s.result_keys[2], "tool_text") &&
           intern(s.result_keys[3], "token_ids") && intern(s.result_keys[4], "status") &&
           intern(s.result_keys[5], "token_count") && intern(s.result_keys[6], "tool_calls") &&
           intern_tuple(s.result_kwnames, {"text", "token_id", "content_type"}) &&
           intern_tuple(s.dumps_kwnames, {"ensure_ascii"}) &&
           (s.bridge_context = PyUnicode_FromString(
                "tessel_openai_server.kiv_velkor._velkor._callback_bridge")) != nullptr &&
           (s.tool_bridge_context = PyUnicode_FromString(
                "tessel_openai_server.kiv_velkor._velkor._tool_callback_bridge")) != nullptr &&
           (s.empty_bytes = PyBytes_FromStringAndSize(nullptr, 0)) != nullptr;
}

bool bind_module(PyObject* module, const char* global_name, const char* module_name) {
    Ref imported = Ref::steal(PyImport_ImportModule(module_name));
    return imported && PyModule_AddObjectRef(module, global_name, imported.get()) == 0;
}

// from .types import RunStatus, RetStatus, Result, SamplingMode, RunMode
bool import_types(PyObject* module) {
    static const char* const names[] = {"RunStatus", "RetStatus", "Result", "SamplingMode", "RunMode"};
    Ref fromlist = Ref::steal(PyTuple_New(5));
    if (!fromlist) return false;
    for (Py_ssize_t i = 0; i < 5; ++i) {
        PyObject* n = PyUnicode_FromString(names[i]);
        if (!n) return false;
        PyTuple_SET_ITEM(fromlist.get(), i, n);
    }
    Ref types = Ref::steal(PyImport_ImportModuleLevel("types", g_state.globals, nullptr, fromlist.get(), 1));
    if (!types) return false;
    for (const char* name : names) {
        Ref value = Ref::steal(PyObject_GetAttrString(types.get(), name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            Ref types_name = Ref::steal(PyModule_GetNameObject(types.get()));
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%S'", name,
                         types_name ? types_name.get() : Py_None);
            return false;
        }
        if (PyModule_AddObjectRef(module, name, value.get()) < 0) return false;
    }
    return true;
}

bool build_sampling_map(PyObject* module) {
    Ref map = Ref::steal(Py_BuildValue("{s:i,s:i,s:i,s:i,s:i,s:i,s:i,s:i,s:i,i:i,i:i,i:i,i:i}",
                                       "arg_max", 0, "argmax", 0, "max", 0, "top_p", 1, "topp", 1,
                                       "top_k", 2, "topk", 2, "chain_sampler", 3, "chain", 3,
                                       0, 0, 1, 1, 2, 2, 3, 3));
    if (!map) return false;
    Ref sampling_mode = global(g_state.s_SamplingMode);
    if (!sampling_mode) return false;
    static const char* const members[] = {"ARG_MAX", "TOP_P", "TOP_K", "CHAIN_SAMPLER"};
    Ref update = Ref::steal(PyDict_New());
    if (!update) return false;
    for (long value = 0; value < 4; ++value) {
        Ref member = Ref::steal(PyObject_GetAttrString(sampling_mode.get(), members[value]));
        Ref number = Ref::steal(PyLong_FromLong(value));
        if (!member || !number || PyDict_SetItem(update.get(), member.get(), number.get()) < 0) return false;
    }
    if (PyDict_Update(map.get(), update.get()) < 0) return false;
    return PyModule_AddObjectRef(module, "_SAMPLING_MODE_MAP", map.get()) == 0;
}

PyObject* module_create(PyObject* module_spec, PyModuleDef*) {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (s_interpreter_id == -1) {
        s_interpreter_id = id;
    } else if (id != s_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_state.module) return Py_NewRef(g_state.module);
    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

int module_exec(PyObject* module) {
    if (g_state.module) {
        if (g_state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_velkor' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g_state.globals = PyModule_GetDict(module);
    if (!intern_names()) return -1;
    if (kiv::native_function_types_ready(KIV_MODULE_NAME) < 0) return -1;
    Ref enum_module = Ref::steal(PyImport_ImportModule("enum"));
    if (!enum_module) return -1;
    g_state.enum_type = PyObject_GetAttrString(enum_module.get(), "EnumType");
    if (!g_state.enum_type) return -1;

    if (!bind_module(module, "json", "json") || !bind_module(module, "signal", "signal") ||
        !bind_module(module, "threading", "threading") || !bind_module(module, "np", "numpy") ||
        !bind_module(module, "os", "os")) {
        return -1;
    }
    {
        Ref pathlib = Ref::steal(PyImport_ImportModule("pathlib"));
        if (!pathlib) return -1;
        Ref path = Ref::steal(PyObject_GetAttrString(pathlib.get(), "Path"));
        if (!path || PyModule_AddObjectRef(module, "Path", path.get()) < 0) return -1;
    }
    if (!import_types(module) || !build_sampling_map(module)) return -1;

    Ref as_rgb888 = kiv::new_function(as_rgb888_spec, module);
    if (!as_rgb888 || PyModule_AddObjectRef(module, "as_rgb888", as_rgb888.get()) < 0) return -1;
    g_state.velkor_loaded = 0;
    if (add_velkor_type(module) < 0) return -1;
    if (!register_process_hooks()) return -1;
    g_state.module = Py_NewRef(module);
    return 0;
}

PyModuleDef_Slot s_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef s_module_def = {
    PyModuleDef_HEAD_INIT, "_velkor", kModuleDoc, 0, nullptr, s_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace velkor

PyMODINIT_FUNC PyInit__velkor(void) {
    return PyModuleDef_Init(&velkor::s_module_def);
}
