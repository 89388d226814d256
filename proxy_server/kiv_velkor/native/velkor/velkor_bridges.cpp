// The two native callbacks the runtime calls while a run generates. They run
// once per token, on any thread, so they do only what the result needs.
#include "velkor_module.h"

#include <atomic>
#include <cstring>

namespace velkor {

namespace {

std::atomic<bool> s_interpreter_gone{false};

// A native thread that the interpreter has never seen gets a thread state on
// its first callback. Creating and destroying one per callback costs
// microseconds, so the thread keeps it (one extra GIL-state hold) until the
// thread exits, when it is released on that same thread.
struct ForeignThreadState {
    bool held = false;
    ~ForeignThreadState() {
        if (!held || s_interpreter_gone.load(std::memory_order_acquire) || !Py_IsInitialized() ||
            Py_IsFinalizing()) {
            return;
        }
        const PyGILState_STATE state = PyGILState_Ensure();
        PyGILState_Release(PyGILState_LOCKED);  // the hold taken on the first callback
        PyGILState_Release(state);              // last hold: the thread state is deleted
    }
};

thread_local ForeignThreadState t_foreign;

class CallbackGil {
public:
    CallbackGil() noexcept {
        const bool known = PyGILState_GetThisThreadState() != nullptr;
        state_ = PyGILState_Ensure();
        if (!known && !t_foreign.held) {
            PyGILState_Ensure();
            t_foreign.held = true;
        }
    }
    ~CallbackGil() { PyGILState_Release(state_); }
    CallbackGil(const CallbackGil&) = delete;
    CallbackGil& operator=(const CallbackGil&) = delete;

private:
    PyGILState_STATE state_;
};

// RunStatus(state) for a standard enum returns the member registered for the
// value, so a member found that way is kept and reused while neither the class
// nor its metaclass has changed (their type version tags say so). Anything
// else, a replaced RunStatus callable included, is called every time.
struct StatusCacheEntry {
    PyObject* cls = nullptr;       // strong
    PyObject* status = nullptr;    // strong
    unsigned int cls_version = 0;
    unsigned int meta_version = 0;
    KIV_LLMRunStatus state = 0;
};
StatusCacheEntry s_status_cache[8];

bool is_registered_member(PyObject* cls, PyObject* state_obj, PyObject* status) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(cls)) != g_state.enum_type) return false;
    Ref members = Ref::steal(PyObject_GetAttrString(cls, "_value2member_map_"));
    if (!members || !PyDict_Check(members.get())) {
        PyErr_Clear();
        return false;
    }
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(members.get(), state_obj, &found) < 0) {
        PyErr_Clear();
        return false;
    }
    Ref owned = Ref::steal(found);
    return found == status;
}

Ref run_status(KIV_LLMRunStatus state) {
    PyObject* cls = nullptr;
    if (PyDict_GetItemRef(g_state.globals, g_state.s_RunStatus, &cls) < 0) return {};
    Ref cls_ref = Ref::steal(cls);
    if (!cls) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", g_state.s_RunStatus);
        return {};
    }
    StatusCacheEntry& entry = s_status_cache[state & 7];
    if (entry.status != nullptr && entry.cls == cls && entry.state == state && PyType_Check(cls) &&
        reinterpret_cast<PyTypeObject*>(cls)->tp_version_tag == entry.cls_version &&
        Py_TYPE(cls)->tp_version_tag == entry.meta_version && entry.cls_version != 0) {
        return Ref::borrow(entry.status);
    }
    Ref state_obj = Ref::steal(PyLong_FromUnsignedLong(state));
    if (!state_obj) return {};
    Ref status = Ref::steal(PyObject_CallOneArg(cls, state_obj.get()));
    if (!status) return {};
    if (PyType_Check(cls) && is_registered_member(cls, state_obj.get(), status.get())) {
        const unsigned int cls_version = reinterpret_cast<PyTypeObject*>(cls)->tp_version_tag;
        const unsigned int meta_version = Py_TYPE(cls)->tp_version_tag;
        if (cls_version != 0 && meta_version != 0) {
            kiv::replace_field(entry.cls, Py_NewRef(cls));
            kiv::replace_field(entry.status, status.new_ref());
            entry.cls_version = cls_version;
            entry.meta_version = meta_version;
            entry.state = state;
        }
    }
    return status;
}

bool append(PyObject* list, PyObject* item) {
    // The collectors are lists unless the garbage collector cleared the object.
    return !PyList_CheckExact(list) || PyList_Append(list, item) == 0;
}

bool collect_result(VelkorObject* self, const KIV_LLMResult* result, KIV_LLMRunStatus state) {
    if (self->interrupted == Py_True) {
        Ref again = Ref::steal(PyObject_CallMethodNoArgs(reinterpret_cast<PyObject*>(self), g_state.s_interrupt));
        if (!again) return false;
    }
    int32_t token_id = 0;
    KIV_LLMMessageType content_type = 0;
    Ref text = Ref::borrow(g_state.empty_bytes);
    if (result != nullptr) {
        token_id = result->token_id;
        content_type = result->content_type;
        if (result->text != nullptr && result->text[0] != '\0') {
            text = Ref::steal(PyBytes_FromString(result->text));
            if (!text) return false;
        }
    }
    Ref status = run_status(state);
    if (!status) return false;

    PyObject* pieces = content_type == KIV_LLM_MESSAGE_REASONING   ? self->reasoning_pieces
                       : content_type == KIV_LLM_MESSAGE_TOOL_CALL ? self->tool_text_pieces
                                                                   : self->text_pieces;
    if (!append(pieces, text.get())) return false;
    Ref token = Ref::steal(PyLong_FromLong(token_id));
    if (!token || !append(self->token_ids, token.get())) return false;
    kiv::replace_field(self->last_status, status.new_ref());

    if (self->on_token == Py_None) return true;
    Ref on_token = Ref::borrow(self->on_token);
    Ref result_type = global(g_state.s_Result);
    if (!result_type) return false;
    Ref kind = Ref::steal(PyLong_FromUnsignedLong(content_type));
    if (!kind) return false;
    PyObject* fields[] = {text.get(), token.get(), kind.get()};
    Ref piece = Ref::steal(PyObject_Vectorcall(result_type.get(), fields, 0, g_state.result_kwnames));
    if (!piece) return false;
    Ref userdata = Ref::borrow(self->userdata);
    PyObject* call_args[] = {piece.get(), userdata.get(), status.get()};
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

void note_interpreter_shutdown() { s_interpreter_gone.store(true, std::memory_order_release); }

extern "C" void velkor_result_bridge(const KIV_LLMResult* result, void* userdata, KIV_LLMRunStatus state) {
    CallbackGil gil;
    if (userdata == nullptr) return;
    Ref self = Ref::borrow(static_cast<PyObject*>(userdata));
    if (!collect_result(reinterpret_cast<VelkorObject*>(self.get()), result, state)) {
        kiv::report_unraisable(g_state.bridge_context);
    }
    handle_pending_signals();
}

extern "C" void velkor_tool_bridge(const char* name, const char* arguments, void* userdata) {
    CallbackGil gil;
    if (userdata == nullptr) return;
    Ref self = Ref::borrow(static_cast<PyObject*>(userdata));
    if (!collect_tool_call(reinterpret_cast<VelkorObject*>(self.get()), name, arguments)) {
        kiv::report_unraisable(g_state.tool_bridge_context);
    }
}

}  // namespace velkor
