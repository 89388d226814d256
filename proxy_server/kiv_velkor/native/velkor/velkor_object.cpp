// The VELKOR object: construction and destruction (library count, SIGINT
// handler installed), properties, the busy mark, and the methods that pass one
// call to the runtime.
#include "velkor_module.h"

namespace velkor {

namespace {

constexpr const char* kNotInitialised = "VELKOR has not been initialized \u2013 call init() first";
constexpr const char* kRunInProgress =
    "VELKOR.run() is in progress on this object; wait for it to return or call interrupt()";
constexpr const char* kInitInProgress = "VELKOR.init() is in progress on this object; wait for it to return";
constexpr const char* kUninitInProgress = "VELKOR.uninit() is in progress on this object; wait for it to return";
constexpr const char* kResetInProgress = "VELKOR.reset() is in progress on this object; wait for it to return";
#define KIV_ORPHANED(call)                                                                                  \
    "VELKOR." call "() was in progress on this object when the process forked; the object cannot be used " \
    "in this process: make a new VELKOR here"
constexpr const char* kRunOrphaned = KIV_ORPHANED("run");
constexpr const char* kInitOrphaned = KIV_ORPHANED("init");
constexpr const char* kUninitOrphaned = KIV_ORPHANED("uninit");
constexpr const char* kResetOrphaned = KIV_ORPHANED("reset");
#undef KIV_ORPHANED

// The fields that hold Python objects, in declaration order.
PyObject** object_fields(VelkorObject* self, size_t* count) {
    *count = 13;
    return &self->on_token;
}
static_assert(offsetof(VelkorObject, mmproj_loaded) - offsetof(VelkorObject, on_token) == 12 * sizeof(PyObject*));

// Opens the runtime library beside the module file: os.fsencode(Path(__file__).resolve().parent / "libvelkor.so").
bool open_runtime_library() {
    Ref file = global(g_state.s_file);
    Ref path_type = file ? global(g_state.s_Path) : Ref();
    Ref os = path_type ? global(g_state.s_os) : Ref();
    if (!os) return false;
    Ref library = kiv::path_beside(path_type.get(), file.get(), "libvelkor.so");
    Ref encoded = library ? Ref::steal(PyObject_CallMethod(os.get(), "fsencode", "O", library.get())) : Ref();
    if (!encoded) return false;
    if (!PyBytes_Check(encoded.get())) {
        PyErr_SetString(PyExc_TypeError, "os.fsencode() did not return bytes");
        return false;
    }
    if (load_velkor_func(PyBytes_AS_STRING(encoded.get())) != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Cannot load libvelkor.so");
        return false;
    }
    return true;
}

KIV_FUNCTION_SPEC(constructor_spec, "VELKOR", nullptr, nullptr, nullptr);

// The constructor takes no arguments; as with object.__new__, a subclass whose
// own __init__ takes some leaves them to it.
bool accepts_arguments(PyTypeObject* type) {
    return type != g_state.velkor_type && type->tp_init != PyBaseObject_Type.tp_init;
}

PyObject* velkor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* bound[1];
    if (!accepts_arguments(type) && !kiv::bind_tuple_dict(constructor_spec, nullptr, args, kwargs, bound)) {
        return nullptr;
    }
    Ref obj = Ref::steal(type->tp_alloc(type, 0));
    if (!obj) return nullptr;
    VelkorObject* self = as_velkor(obj.get());
    self->ctx = nullptr;
    size_t n;
    PyObject** fields = object_fields(self, &n);
    for (size_t i = 0; i < n; ++i) fields[i] = Py_NewRef(Py_None);
    self->holds_library = false;
    self->busy = {};
    self->break_pending = false;
    self->sigint_walk = 0;

    if (!reset_collectors(self, Py_None)) return nullptr;
    PyObject* metadata = PyDict_New();
    if (!metadata) return nullptr;
    kiv::replace_field(self->vision_metadata, metadata);
    kiv::replace_field(self->mmproj_loaded, Py_NewRef(Py_False));

    if (g_state.velkor_loaded == 0 && !open_runtime_library()) return nullptr;
    ++g_state.velkor_loaded;
    self->holds_library = true;

    Ref installed = Ref::steal(PyObject_CallMethod(obj.get(), "_install_sigint_handler", nullptr));
    if (!installed) return nullptr;
    return obj.release();
}

int velkor_traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(o));
    size_t n;
    PyObject** fields = object_fields(as_velkor(o), &n);
    for (size_t i = 0; i < n; ++i) Py_VISIT(fields[i]);
    return 0;
}

int velkor_clear(PyObject* o) {
    VelkorObject* self = as_velkor(o);
    PyObject** cleared[] = {&self->on_token, &self->on_tool_call, &self->userdata,
                            &self->text_pieces, &self->reasoning_pieces, &self->tool_text_pieces,
                            &self->token_ids, &self->tool_calls, &self->last_status,
                            &self->prev_sigint_handler, &self->vision_metadata};
    for (PyObject** field : cleared) kiv::replace_field(*field, Py_NewRef(Py_None));
    return 0;
}

void velkor_dealloc(PyObject* o) {
    VelkorObject* self = as_velkor(o);
    PyTypeObject* type = Py_TYPE(o);
    PyObject_GC_UnTrack(o);
    // Objects chained through their SIGINT handlers are freed one by one
    // (the trashcan), not by recursion as deep as the chain.
    Py_TRASHCAN_BEGIN(o, velkor_dealloc)
    {
        kiv::PreserveException keep;
        // An orphaned object's context and library belong to the call it was
        // in at the fork: releasing either could wait for the parent's threads.
        const bool orphaned = self->busy.orphaned();
        if (self->ctx != nullptr && !orphaned) {
            LLMContext ctx = self->ctx;
            self->ctx = nullptr;
            kiv::ReleaseGil unlocked;
            kiv_llm_uninit(ctx);
        }
        if (self->holds_library && !orphaned) {
            self->holds_library = false;
            if (--g_state.velkor_loaded == 0) unload_velkor_func();
        }
        size_t n;
        PyObject** fields = object_fields(self, &n);
        for (size_t i = 0; i < n; ++i) Py_CLEAR(fields[i]);
    }
    type->tp_free(o);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

// ---- properties ----

PyObject* get_vision_metadata(PyObject* o, void*) { return Py_NewRef(as_velkor(o)->vision_metadata); }
PyObject* get_mmproj_model(PyObject* o, void*) { return Py_NewRef(as_velkor(o)->mmproj_loaded); }
PyObject* get_context(PyObject* o, void*) {
    LLMContext ctx = as_velkor(o)->ctx;
    if (ctx == nullptr) Py_RETURN_NONE;
    return PyLong_FromVoidPtr(ctx);
}

PyGetSetDef velkor_getset[] = {
    {"vision_metadata", get_vision_metadata, nullptr,
     "Return vision metadata dict if image encoder was initialized, else empty dict.", nullptr},
    {"mmproj_model", get_mmproj_model, nullptr,
     "True if an mmproj (vision) model was loaded during init().", nullptr},
    {"context", get_context, nullptr,
     "The underlying ``LLMContext`` handle (``int`` address, or ``None``).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- methods that need a context ----

PyObject* uninit(PyObject* o, kiv::BoundArgs) {
    VelkorObject* self = as_velkor(o);
    KIV_LLMRetStatus rc;
    {
        kiv::BusyMark busy = busy_mark(self, kBusyUninit);
        if (!busy.enter()) return nullptr;
        if (self->ctx == nullptr) {
            busy.leave();
            Ref status_type = global(g_state.s_RetStatus);
            return status_type ? PyObject_GetAttr(status_type.get(), g_state.s_SUCCESS) : nullptr;
        }
        rc = release_context(self);
    }
    return ret_status(rc);
}

PyObject* reset(PyObject* o, kiv::BoundArgs) {
    VelkorObject* self = as_velkor(o);
    KIV_LLMRetStatus rc;
    {
        kiv::BusyMark busy = busy_mark(self, kBusyReset);
        if (!busy.enter() || !require_context(self)) return nullptr;
        LLMContext ctx = self->ctx;
        // A runtime may hand the reset to its own thread and wait for it.
        kiv::ReleaseGil unlocked;
        rc = kiv_llm_reset(ctx);
    }
    return ret_status(rc);
}

// While a run is prepared or in progress, the break is also remembered: the
// result bridge repeats it at the run's next callback, when the run has surely
// started, since a runtime forgets a break that came before its run started.
// With no run, it is passed on once, as it always was, and nothing is kept.
PyObject* interrupt(PyObject* o, kiv::BoundArgs) {
    VelkorObject* self = as_velkor(o);
    // Refused during init(), and on an orphaned object, whose context is
    // never handed to the runtime.
    if (self->busy.what == kBusyInit || self->busy.orphaned()) {
        kiv::refuse_while_busy(self->busy, busy_refusal);
        return nullptr;
    }
    if (!require_context(self)) return nullptr;
    if (self->busy.what == kBusyRun) self->break_pending = true;
    return ret_status(kiv_llm_break(self->ctx));
}

// The setters call the runtime right after their checks; encoding an exact
// str runs no Python code, but the truth test of set_toolcall_callback's
// `enabled` may, so that one checks again right before the call.
constexpr kiv::Parameter chat_template_params[] = {{"system_prompt"}, {"prompt_prefix"}, {"prompt_postfix"}};

PyObject* set_chat_template(PyObject* o, kiv::BoundArgs args) {
    VelkorObject* self = as_velkor(o);
    for (int i = 0; i < 3; ++i) {
        if (!kiv::check_exact_type(args[i], &PyUnicode_Type, chat_template_params[i].name)) return nullptr;
    }
    if (!ready_for_call(self)) return nullptr;
    Ref texts[3];
    for (int i = 0; i < 3; ++i) {
        texts[i] = kiv::utf8_or_empty(args[i]);
        if (!texts[i]) return nullptr;
    }
    return ret_status(kiv_llm_set_chat_template(self->ctx, kiv::text_or_null(texts[0].get()),
                                                kiv::text_or_null(texts[1].get()),
                                                kiv::text_or_null(texts[2].get())));
}

PyObject* set_chat_template_jinja(PyObject* o, kiv::BoundArgs args) {
    VelkorObject* self = as_velkor(o);
    if (!kiv::check_exact_type(args[0], &PyUnicode_Type, "jinja_template")) return nullptr;
    if (!ready_for_call(self)) return nullptr;
    Ref text = kiv::utf8_or_empty(args[0]);
    if (!text) return nullptr;
    return ret_status(kiv_llm_set_chat_template_jinja(self->ctx, kiv::text_or_null(text.get())));
}

PyObject* set_toolcall_callback(PyObject* o, kiv::BoundArgs args) {
    VelkorObject* self = as_velkor(o);
    int32_t stop_output = 0;
    if (!kiv::to_int32(args[1], &stop_output)) return nullptr;
    if (!ready_for_call(self)) return nullptr;
    const int enabled = PyObject_IsTrue(args[0]);
    if (enabled < 0) return nullptr;
    if (!ready_for_call(self)) return nullptr;
    return ret_status(kiv_llm_set_toolcall_callback(self->ctx, enabled ? velkor_tool_bridge : nullptr,
                                                    stop_output));
}

// ---- the specs of the methods above ----

KIV_FUNCTION_SPEC(uninit_spec, "uninit", nullptr,
                  "Release the runtime context (kiv_llm_uninit). Returns RetStatus; SUCCESS when there is none.",
                  uninit);
KIV_FUNCTION_SPEC(reset_spec, "reset", nullptr,
                  "Clear the context's conversation history and state (kiv_llm_reset). Returns RetStatus.",
                  reset);
KIV_FUNCTION_SPEC(interrupt_spec, "interrupt", nullptr,
                  "Ask the runtime to stop the generation in progress (kiv_llm_break). Safe from any thread;\n"
                  "the interrupted run() returns its result normally. A break asked for while run() prepares\n"
                  "its request or runs is repeated at the run's next callback, so it is never lost. Returns\n"
                  "RetStatus.",
                  interrupt);
constexpr kiv::FunctionSpec chat_template_spec = kiv::function_spec(
    "set_chat_template", nullptr,
    "Set the simple chat template: a system prompt, and texts placed before and after each\n"
    "user input (kiv_llm_set_chat_template). None or '' sends no text. Returns RetStatus.",
    set_chat_template, chat_template_params);
KIV_FUNCTION_SPEC(jinja_spec, "set_chat_template_jinja", nullptr,
                  "Register a Jinja2 chat template on the context (kiv_llm_set_chat_template_jinja).\n"
                  "None or '' sends no template. Returns RetStatus.",
                  set_chat_template_jinja, {"jinja_template"});
KIV_FUNCTION_SPEC(toolcall_spec, "set_toolcall_callback", nullptr,
                  "Switch the tool-call callback on (enabled true) or off. stop_output 1 removes tool-call\n"
                  "markup from the streamed text, 0 keeps it. Returns RetStatus.",
                  set_toolcall_callback, {"enabled", kiv::Default::boolean(true)},
                  {"stop_output", kiv::Default::integer(0)});

PyType_Slot velkor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(velkor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(velkor_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(velkor_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(velkor_clear)},
    {Py_tp_getset, velkor_getset},
    {Py_tp_doc, const_cast<char*>(
        "VELKOR()\n--\n\n"
        "One context of the on-device LLM runtime.\n\n"
        "Create it (this opens libvelkor.so from the module's directory), call init() with a model,\n"
        "then run() once per request. run() streams every generated piece to the on_token callable\n"
        "given to init() and returns the whole result as a dict. interrupt() stops a run from\n"
        "another thread; Ctrl+C on the main thread makes run() raise KeyboardInterrupt.")},
    {0, nullptr},
};

PyType_Spec velkor_type_spec = {
    KIV_MODULE_NAME ".VELKOR", sizeof(VelkorObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, velkor_slots,
};

}  // namespace

bool require_context(VelkorObject* self) {
    if (self->ctx != nullptr) return true;
    PyErr_SetString(PyExc_RuntimeError, kNotInitialised);
    return false;
}

const char* busy_refusal(kiv::BusyState in_progress, bool orphaned) {
    switch (in_progress) {
    case kBusyInit: return orphaned ? kInitOrphaned : kInitInProgress;
    case kBusyUninit: return orphaned ? kUninitOrphaned : kUninitInProgress;
    case kBusyReset: return orphaned ? kResetOrphaned : kResetInProgress;
    default: return orphaned ? kRunOrphaned : kRunInProgress;
    }
}

bool ready_for_call(VelkorObject* self) {
    return kiv::refuse_while_busy(self->busy, busy_refusal) && require_context(self);
}

PyObject* ret_status(KIV_LLMRetStatus rc) {
    Ref status_type = global(g_state.s_RetStatus);
    if (!status_type) return nullptr;
    return kiv::status_from_code(status_type.get(), rc).release();
}

KIV_LLMRetStatus release_context(VelkorObject* self) {
    LLMContext ctx = self->ctx;
    self->ctx = nullptr;
    KIV_LLMRetStatus rc;
    {
        // A runtime may join threads of its own here.
        kiv::ReleaseGil unlocked;
        rc = kiv_llm_uninit(ctx);
    }
    kiv::replace_field(self->on_token, Py_NewRef(Py_None));
    kiv::replace_field(self->on_tool_call, Py_NewRef(Py_None));
    kiv::replace_field(self->userdata, Py_NewRef(Py_None));
    return rc;
}

int add_velkor_type(PyObject* module) {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &velkor_type_spec, nullptr));
    if (!type) return -1;
    auto* tp = reinterpret_cast<PyTypeObject*>(type.get());

    Ref run_annotations = Ref::steal(Py_BuildValue("{s:s}", "images", "list"));
    if (!run_annotations) return -1;
    if (!kiv::add_methods(tp, {{install_sigint_spec},
                               {restore_sigint_spec},
                               {signal_handler_spec},
                               {init_spec},
                               {uninit_spec},
                               {run_spec, run_annotations.get()},
                               {reset_spec},
                               {interrupt_spec},
                               {chat_template_spec},
                               {jinja_spec},
                               {toolcall_spec},
                               {kiv::refuse_reduce_spec},
                               {kiv::refuse_setstate_spec}})) {
        return -1;
    }
    g_state.velkor_type = reinterpret_cast<PyTypeObject*>(type.new_ref());
    g_state.signal_handler_fn = PyObject_GetAttrString(type.get(), "signal_handler");
    if (g_state.signal_handler_fn == nullptr) return -1;
    return PyModule_AddObjectRef(module, "VELKOR", type.get());
}

}  // namespace velkor
