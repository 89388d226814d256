// The two native callbacks the runtime calls while a run generates. The result
// bridge runs once per token, on any thread, so it does only what the result
// needs, and each step the cheapest way the interpreter allows.
#include "velkor_module.h"

#include <cstring>

namespace velkor {

namespace {

// ---- what stays valid until a watched dict changes ----

// The bridge looks up RunStatus and Result in the module's globals for every
// token and builds RunStatus(state) for it. Both answers change only when a
// dict changes (the module's globals, the enum's value-to-member map) or a
// class does (its type version tag), so the bridge watches those dicts and
// keeps answers until any of them changes. Without a watcher (the interpreter
// has a few per process) nothing is kept.
int s_watcher = -2;            // the dict watcher's id; -2 before the first try, -1 when none
uint64_t s_generation = 1;     // bumped before every change to a watched dict

int on_watched_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++s_generation;
    return 0;
}

bool watch(PyObject* dict) {
    if (s_watcher == -2) {
        s_watcher = PyDict_AddWatcher(on_watched_dict_change);
        if (s_watcher < 0) PyErr_Clear();
    }
    if (s_watcher < 0 || !PyDict_Check(dict)) return false;
    if (PyDict_Watch(s_watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// A module global as global() returns it; the module's dict holds the value
// while the generation stands, so the pointer kept here is borrowed.
struct KeptGlobal {
    PyObject* value = nullptr;
    uint64_t generation = 0;
};
KeptGlobal s_run_status_global, s_result_global;

Ref kept_global(KeptGlobal& kept, PyObject* name) {
    if (kept.generation == s_generation) return Ref::borrow(kept.value);
    Ref value = global(name);
    if (value && watch(g_state.globals)) {
        kept.value = value.get();
        kept.generation = s_generation;
    }
    return value;
}

// RunStatus(state): for an enum of the standard metaclass, a member that the
// call returned and that is registered for the value in the enum's
// value-to-member map is kept, and reused while the map, the class and its
// metaclass stay unchanged (the watcher and the type version tags say so).
// Anything else, a replaced RunStatus callable included, is called every time.
struct StatusCacheEntry {
    PyObject* cls = nullptr;       // strong
    PyObject* status = nullptr;    // strong
    unsigned int cls_version = 0;
    unsigned int meta_version = 0;
    uint64_t generation = 0;
    KIV_LLMRunStatus state = 0;
};
StatusCacheEntry s_status_cache[8];

// The enum's value-to-member map when `status` is the member registered there
// for `state_obj`.
Ref registered_in(PyObject* cls, PyObject* state_obj, PyObject* status) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(cls)) != g_state.enum_type) return {};
    Ref members = Ref::steal(PyObject_GetAttrString(cls, "_value2member_map_"));
    PyObject* found = nullptr;
    if (!members || !PyDict_Check(members.get()) || PyDict_GetItemRef(members.get(), state_obj, &found) < 0) {
        PyErr_Clear();
        return {};
    }
    Ref owned = Ref::steal(found);
    return found == status ? std::move(members) : Ref();
}

Ref run_status(KIV_LLMRunStatus state) {
    Ref cls = kept_global(s_run_status_global, g_state.s_RunStatus);
    if (!cls) return {};
    StatusCacheEntry& entry = s_status_cache[state & 7];
    if (entry.status != nullptr && entry.generation == s_generation && entry.cls == cls.get() &&
        entry.state == state && reinterpret_cast<PyTypeObject*>(entry.cls)->tp_version_tag == entry.cls_version &&
        Py_TYPE(entry.cls)->tp_version_tag == entry.meta_version) {
        return Ref::borrow(entry.status);
    }
    Ref state_obj = Ref::steal(PyLong_FromUnsignedLong(state));
    if (!state_obj) return {};
    Ref status = Ref::steal(PyObject_CallOneArg(cls.get(), state_obj.get()));
    if (!status || !PyType_Check(cls.get())) return status;
    const unsigned int cls_version = reinterpret_cast<PyTypeObject*>(cls.get())->tp_version_tag;
    const unsigned int meta_version = Py_TYPE(cls.get())->tp_version_tag;
    Ref members = registered_in(cls.get(), state_obj.get(), status.get());
    if (members && cls_version != 0 && meta_version != 0 && watch(members.get())) {
        kiv::replace_field(entry.cls, cls.new_ref());
        kiv::replace_field(entry.status, status.new_ref());
        entry.cls_version = cls_version;
        entry.meta_version = meta_version;
        entry.generation = s_generation;
        entry.state = state;
    }
    return status;
}

// ---- Result(text=..., token_id=..., content_type=...) ----

// A class that calling instantiates the plain way (type.__call__): metaclass
// `type`, object's __new__ and allocator, no vectorcall, not abstract.
bool is_plain_class(PyObject* callable) {
    if (!Py_IS_TYPE(callable, &PyType_Type)) return false;
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(callable);
    return PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && !PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT) &&
           type->tp_vectorcall == nullptr && type->tp_new == PyBaseObject_Type.tp_new &&
           type->tp_alloc == PyType_GenericAlloc;
}

// Result(text=..., token_id=..., content_type=...), with `fields` in that
// order. Calling a class from C with keywords makes the interpreter pack them
// into a dict and unpack it again for __init__, which costs more than the rest
// of a token. For a plain class whose __init__ is a Python function, the call
// is exactly: allocate the instance, call __init__ with it and the same
// keywords, require None. The interpreter's own specialised call of such a
// class takes the same steps; taking them here leaves the dict out. Any other
// callable is called the ordinary way.
Ref new_result(PyObject* result_type, PyObject* const fields[3]) {
    static PyObject* const init_name = [] {
        PyObject* name = PyUnicode_InternFromString("__init__");
        if (name == nullptr) PyErr_Clear();  // then every call takes the ordinary way
        return name;
    }();
    PyObject* const kwnames = g_state.result_kwnames;
    if (init_name == nullptr || !is_plain_class(result_type)) {
        return Ref::steal(PyObject_Vectorcall(result_type, fields, 0, kwnames));
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(result_type);
    // The lookup along the class's MRO that type.__call__ makes for __init__.
    Ref init = Ref::borrow(_PyType_Lookup(type, init_name));
    if (!init || !PyFunction_Check(init.get())) return Ref::steal(PyObject_Vectorcall(result_type, fields, 0, kwnames));
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return {};
    PyObject* args[] = {self.get(), fields[0], fields[1], fields[2]};
    Ref returned = Ref::steal(PyObject_Vectorcall(init.get(), args, 1, kwnames));
    if (!returned) return {};
    if (returned.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(returned.get())->tp_name);
        return {};
    }
    return self;
}

// ---- the collectors ----

// The collectors of a run are bytearrays (run() makes them): the pieces' bytes
// by kind of text, and the token ids as native int32. Appending bytes makes no
// object per token, and run() decodes each text and converts the ids once, at
// the end. Anything else in their place (the garbage collector may have
// cleared the object) takes nothing.
bool append_piece(PyObject* buffer, const char* text, Py_ssize_t length) {
    if (length == 0 || !PyByteArray_CheckExact(buffer)) return true;
    const Py_ssize_t used = PyByteArray_GET_SIZE(buffer);
    if (PyByteArray_Resize(buffer, used + length) < 0) return false;
    std::memcpy(PyByteArray_AS_STRING(buffer) + used, text, static_cast<size_t>(length));
    return true;
}

bool append(PyObject* list, PyObject* item) {
    return !PyList_CheckExact(list) || PyList_Append(list, item) == 0;
}

Ref piece_bytes(const char* text, Py_ssize_t length) {
    return length > 0 ? Ref::steal(PyBytes_FromStringAndSize(text, length)) : Ref::borrow(g_state.empty_bytes);
}

bool collect_result(VelkorObject* self, const KIV_LLMResult* result, KIV_LLMRunStatus state) {
    if (self->interrupted == Py_True) {
        Ref again = Ref::steal(PyObject_CallMethodNoArgs(reinterpret_cast<PyObject*>(self), g_state.s_interrupt));
        if (!again) return false;
    }
    int32_t token_id = 0;
    KIV_LLMMessageType content_type = 0;
    const char* text = "";
    Py_ssize_t length = 0;
    if (result != nullptr) {
        token_id = result->token_id;
        content_type = result->content_type;
        if (result->text != nullptr) {
            text = result->text;
            length = static_cast<Py_ssize_t>(std::strlen(text));
        }
    }
    // The piece becomes a bytes object only for on_token; it is made before
    // anything else, so a failure to make it leaves the collectors untouched.
    Ref piece;
    if (self->on_token != Py_None && !(piece = piece_bytes(text, length))) return false;

    Ref status = run_status(state);
    if (!status) return false;
    PyObject* pieces = content_type == KIV_LLM_MESSAGE_REASONING   ? self->reasoning_pieces
                       : content_type == KIV_LLM_MESSAGE_TOOL_CALL ? self->tool_text_pieces
                                                                   : self->text_pieces;
    if (!append_piece(pieces, text, length)) return false;
    if (!append_piece(self->token_ids, reinterpret_cast<const char*>(&token_id), sizeof token_id)) return false;
    kiv::replace_field(self->last_status, status.new_ref());

    if (self->on_token == Py_None) return true;
    Ref on_token = Ref::borrow(self->on_token);
    if (!piece && !(piece = piece_bytes(text, length))) return false;
    Ref result_type = kept_global(s_result_global, g_state.s_Result);
    if (!result_type) return false;
    Ref token = Ref::steal(PyLong_FromLong(token_id));
    Ref kind = token ? Ref::steal(PyLong_FromUnsignedLong(content_type)) : Ref();
    if (!kind) return false;
    PyObject* fields[] = {piece.get(), token.get(), kind.get()};
    Ref built = new_result(result_type.get(), fields);
    if (!built) return false;
    Ref userdata = Ref::borrow(self->userdata);
    PyObject* call_args[] = {built.get(), userdata.get(), status.get()};
    Ref ignored = Ref::steal(PyObject_Vectorcall(on_token.get(), call_args, 3, nullptr));
    return static_cast<bool>(ignored);
}

bool collect_tool_call(VelkorObject* self, const char* name, const char* arguments) {
    Ref name_bytes = Ref::steal(PyBytes_FromString(name ? name : ""));
    Ref args_bytes = name_bytes ? Ref::steal(PyBytes_FromString(arguments ? arguments : "")) : Ref();
    if (!args_bytes) return false;
    Ref pair = Ref::steal(PyTuple_Pack(2, name_bytes.get(), args_bytes.get()));
    if (!pair || !append(self->tool_calls, pair.get())) return false;
    if (self->on_tool_call == Py_None) return true;
    Ref on_tool_call = Ref::borrow(self->on_tool_call);
    Ref tool_name = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(name_bytes.get()),
                                                    PyBytes_GET_SIZE(name_bytes.get()), "replace"));
    Ref tool_args = tool_name ? Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(args_bytes.get()),
                                                                PyBytes_GET_SIZE(args_bytes.get()), "replace"))
                              : Ref();
    if (!tool_args) return false;
    Ref userdata = Ref::borrow(self->userdata);
    PyObject* call_args[] = {tool_name.get(), tool_args.get(), userdata.get()};
    Ref ignored = Ref::steal(PyObject_Vectorcall(on_tool_call.get(), call_args, 3, nullptr));
    return static_cast<bool>(ignored);
}

// On the main thread, runs the Python signal handlers that are due (the SIGINT
// handler breaks the run), since a bridge may otherwise run no Python code.
void handle_pending_signals() {
    if (PyErr_CheckSignals() < 0) kiv::report_unraisable(g_state.bridge_context);
}

}  // namespace

extern "C" void velkor_result_bridge(const KIV_LLMResult* result, void* userdata, KIV_LLMRunStatus state) {
    if (userdata == nullptr) return;
    CallbackAdmission admission(userdata);
    if (!admission.admitted()) return;
    kiv::AcquireGil gil;
    auto* self = static_cast<VelkorObject*>(userdata);
    Ref keep = Ref::borrow(static_cast<PyObject*>(userdata));
    // A break asked for while the run was prepared, or during it, is repeated
    // once the run has surely started (it calls back): a runtime forgets a
    // break that came before its run. After Ctrl+C the interrupted flag
    // repeats it on every callback anyway.
    if (self->break_pending && self->interrupted != Py_True) {
        self->break_pending = false;
        kiv_llm_break(self->ctx);
    }
    if (!collect_result(self, result, state)) kiv::report_unraisable(g_state.bridge_context);
    handle_pending_signals();
}

extern "C" void velkor_tool_bridge(const char* name, const char* arguments, void* userdata) {
    if (userdata == nullptr) return;
    CallbackAdmission admission(userdata);
    if (!admission.admitted()) return;
    kiv::AcquireGil gil;
    Ref keep = Ref::borrow(static_cast<PyObject*>(userdata));
    if (!collect_tool_call(static_cast<VelkorObject*>(userdata), name, arguments)) {
        kiv::report_unraisable(g_state.tool_bridge_context);
    }
}

}  // namespace velkor
