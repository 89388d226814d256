// The VELKOR object: construction and destruction (library count, SIGINT
// handler), properties, and the methods that pass one call to the runtime.
#include "velkor_module.h"

#include <csignal>

namespace velkor {

namespace {

constexpr const char* kNotInitialised = "VELKOR has not been initialized \u2013 call init() first";
constexpr const char* kRunInProgress =
    "VELKOR.run() is in progress on this object; wait for it to return or call interrupt()";
constexpr const char* kInitInProgress = "VELKOR.init() is in progress on this object; wait for it to return";
constexpr const char* kUninitInProgress = "VELKOR.uninit() is in progress on this object; wait for it to return";
constexpr const char* kResetInProgress = "VELKOR.reset() is in progress on this object; wait for it to return";
constexpr const char* kNoReduce = "no default __reduce__ due to non-trivial __cinit__";

VelkorObject* as_velkor(PyObject* o) { return reinterpret_cast<VelkorObject*>(o); }

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
    Ref path = Ref::steal(PyObject_CallOneArg(path_type.get(), file.get()));
    Ref resolved = path ? Ref::steal(PyObject_CallMethod(path.get(), "resolve", nullptr)) : Ref();
    Ref parent = resolved ? Ref::steal(PyObject_GetAttrString(resolved.get(), "parent")) : Ref();
    Ref name = parent ? Ref::steal(PyUnicode_FromString("libvelkor.so")) : Ref();
    Ref library = name ? Ref::steal(PyNumber_TrueDivide(parent.get(), name.get())) : Ref();
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

KIV_FUNCTION_SPEC(constructor_spec, "VELKOR", nullptr, 0, nullptr);

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
    self->busy = kIdle;
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
    VelkorObject* self = as_velkor(o);
    Py_VISIT(Py_TYPE(o));
    Py_VISIT(self->on_token);
    Py_VISIT(self->on_tool_call);
    Py_VISIT(self->userdata);
    Py_VISIT(self->text_pieces);
    Py_VISIT(self->reasoning_pieces);
    Py_VISIT(self->tool_text_pieces);
    Py_VISIT(self->token_ids);
    Py_VISIT(self->tool_calls);
    Py_VISIT(self->last_status);
    Py_VISIT(self->prev_sigint_handler);
    Py_VISIT(self->vision_metadata);
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
        if (self->ctx != nullptr) {
            LLMContext ctx = self->ctx;
            self->ctx = nullptr;
            kiv::ReleaseGil unlocked;
            kiv_llm_uninit(ctx);
        }
        if (self->holds_library) {
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

// ---- SIGINT handling ----

// The object whose own signal_handler (the class's, not an override) `handler`
// is bound to, or NULL for any other handler.
VelkorObject* chained_object(PyObject* handler) {
    if (!PyMethod_Check(handler) || PyMethod_GET_FUNCTION(handler) != g_state.signal_handler_fn) return nullptr;
    PyObject* bound_to = PyMethod_GET_SELF(handler);
    if (!PyObject_TypeCheck(bound_to, g_state.velkor_type)) return nullptr;
    return as_velkor(bound_to);
}

PyObject* install_sigint_handler(PyObject* o, kiv::BoundArgs) {
    VelkorObject* self = as_velkor(o);
    Ref threading = global(g_state.s_threading);
    if (!threading) return nullptr;
    Ref current = Ref::steal(PyObject_CallMethod(threading.get(), "current_thread", nullptr));
    if (!current) return nullptr;
    Ref main = Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main) return nullptr;
    if (current.get() != main.get()) Py_RETURN_NONE;
    Ref signal = global(g_state.s_signal);
    if (!signal) return nullptr;
    Ref sigint = Ref::steal(PyObject_GetAttrString(signal.get(), "SIGINT"));
    Ref handler = sigint ? Ref::steal(PyObject_GetAttrString(o, "signal_handler")) : Ref();
    if (!handler) return nullptr;
    Ref previous = Ref::steal(PyObject_CallMethod(signal.get(), "signal", "OO", sigint.get(), handler.get()));
    if (!previous) return nullptr;
    // Installed again: the handler in force was this object's own, and the one
    // it replaced stays the one to chain to (a handler chaining to itself
    // would recurse on the next Ctrl+C).
    if (chained_object(previous.get()) == self) Py_RETURN_NONE;
    kiv::replace_field(self->prev_sigint_handler, previous.release());
    Py_RETURN_NONE;
}

PyObject* restore_sigint_handler(PyObject* o, kiv::BoundArgs) {
    VelkorObject* self = as_velkor(o);
    if (self->prev_sigint_handler == Py_None) Py_RETURN_NONE;
    Ref signal = global(g_state.s_signal);
    if (!signal) return nullptr;
    Ref sigint = Ref::steal(PyObject_GetAttrString(signal.get(), "SIGINT"));
    if (!sigint) return nullptr;
    Ref previous = Ref::borrow(self->prev_sigint_handler);
    Ref done = Ref::steal(PyObject_CallMethod(signal.get(), "signal", "OO", sigint.get(), previous.get()));
    if (!done) return nullptr;
    kiv::replace_field(self->prev_sigint_handler, Py_NewRef(Py_None));
    Py_RETURN_NONE;
}

// True when `handler` is the signal module's `name` disposition (SIG_IGN, SIG_DFL).
bool is_disposition(PyObject* signal_module, PyObject* handler, const char* name) {
    Ref disposition = Ref::steal(PyObject_GetAttrString(signal_module, name));
    if (!disposition) {
        PyErr_Clear();
        return false;
    }
    const int equal = PyObject_RichCompareBool(handler, disposition.get(), Py_EQ);
    if (equal < 0) PyErr_Clear();
    return equal == 1;
}

// Chains to the handler that was in force before this object's. A callable is
// called; SIG_IGN means nothing more happens; SIG_DFL means the default action
// of SIGINT, which ends the process by that signal.
bool chain_previous_handler(PyObject* previous, PyObject* sig, PyObject* frame) {
    if (previous == Py_None) return true;
    if (PyCallable_Check(previous)) {
        Ref result = Ref::steal(PyObject_CallFunctionObjArgs(previous, sig, frame, nullptr));
        return static_cast<bool>(result);
    }
    Ref signal = global(g_state.s_signal);
    if (!signal) return false;
    if (is_disposition(signal.get(), previous, "SIG_DFL")) {
        std::signal(SIGINT, SIG_DFL);
        std::raise(SIGINT);
    }
    return true;
}

// The SIGINT handler of each object made on the main thread chains to the
// handler it replaced, often another object's. The chain is walked in a loop,
// not by calling each bound handler from the next (thousands of objects would
// overflow the C stack), and an object met twice ends the walk.
PyObject* signal_handler(PyObject* o, kiv::BoundArgs args) {
    static uint64_t walks = 0;
    const uint64_t walk = ++walks;
    Ref current = Ref::borrow(o);
    for (;;) {
        VelkorObject* self = as_velkor(current.get());
        self->sigint_walk = walk;
        kiv::replace_field(self->interrupted, Py_NewRef(Py_True));
        // Without a context there is nothing to break; the chain still runs so
        // that Ctrl+C keeps its usual effect.
        if (self->ctx != nullptr) {
            Ref result = Ref::steal(PyObject_CallMethodNoArgs(current.get(), g_state.s_interrupt));
            if (!result) return nullptr;
        }
        Ref previous = Ref::borrow(self->prev_sigint_handler);
        VelkorObject* next = chained_object(previous.get());
        if (next == nullptr) {
            if (!chain_previous_handler(previous.get(), args[0], args[1])) return nullptr;
            break;
        }
        if (next->sigint_walk == walk) break;
        current = Ref::borrow(reinterpret_cast<PyObject*>(next));
    }
    Py_RETURN_NONE;
}

// ---- methods that need a context ----

PyObject* uninit(PyObject* o, kiv::BoundArgs) {
    VelkorObject* self = as_velkor(o);
    KIV_LLMRetStatus rc;
    {
        BusyScope busy(self, kBusyUninit);
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
        BusyScope busy(self, kBusyReset);
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
    if (self->busy == kBusyInit) {
        PyErr_SetString(PyExc_RuntimeError, kInitInProgress);
        return nullptr;
    }
    if (!require_context(self)) return nullptr;
    if (self->busy == kBusyRun) self->break_pending = true;
    return ret_status(kiv_llm_break(self->ctx));
}

// The setters call the runtime right after their checks; encoding an exact
// str runs no Python code, but the truth test of set_toolcall_callback's
// `enabled` may, so that one checks again right before the call.
PyObject* set_chat_template(PyObject* o, kiv::BoundArgs args) {
    VelkorObject* self = as_velkor(o);
    for (int i = 0; i < 3; ++i) {
        static const char* const names[] = {"system_prompt", "prompt_prefix", "prompt_postfix"};
        if (!kiv::check_exact_type(args[i], &PyUnicode_Type, names[i])) return nullptr;
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

PyObject* refuse_reduce(PyObject*, kiv::BoundArgs) {
    PyErr_SetString(PyExc_TypeError, kNoReduce);
    return nullptr;
}

// ---- the method table, in order ----

KIV_FUNCTION_SPEC(install_spec, "_install_sigint_handler",
                  "Install signal_handler for SIGINT when called on the main thread, keeping the previous handler.",
                  0, install_sigint_handler);
KIV_FUNCTION_SPEC(restore_spec, "_restore_sigint_handler",
                  "Put back the SIGINT handler that was in force before this object installed its own.",
                  0, restore_sigint_handler);
KIV_FUNCTION_SPEC(signal_handler_spec, "signal_handler",
                  "SIGINT handler: flag the object as interrupted, break its run, then chain to the\n"
                  "previous handler (a callable is called; SIG_IGN does nothing more; SIG_DFL ends the\n"
                  "process by SIGINT, as the default disposition does).",
                  2, signal_handler, "sig", "frame");
KIV_FUNCTION_SPEC(uninit_spec, "uninit",
                  "Release the runtime context (kiv_llm_uninit). Returns RetStatus; SUCCESS when there is none.",
                  0, uninit);
KIV_FUNCTION_SPEC(reset_spec, "reset",
                  "Clear the context's conversation history and state (kiv_llm_reset). Returns RetStatus.",
                  0, reset);
KIV_FUNCTION_SPEC(interrupt_spec, "interrupt",
                  "Ask the runtime to stop the generation in progress (kiv_llm_break). Safe from any thread;\n"
                  "the interrupted run() returns its result normally. A break asked for while run() prepares\n"
                  "its request or runs is repeated at the run's next callback, so it is never lost. Returns\n"
                  "RetStatus.",
                  0, interrupt);
KIV_FUNCTION_SPEC(chat_template_spec, "set_chat_template",
                  "Set the simple chat template: a system prompt, and texts placed before and after each\n"
                  "user input (kiv_llm_set_chat_template). None or '' sends no text. Returns RetStatus.",
                  3, set_chat_template, "system_prompt", "prompt_prefix", "prompt_postfix");
KIV_FUNCTION_SPEC(jinja_spec, "set_chat_template_jinja",
                  "Register a Jinja2 chat template on the context (kiv_llm_set_chat_template_jinja).\n"
                  "None or '' sends no template. Returns RetStatus.",
                  1, set_chat_template_jinja, "jinja_template");
KIV_FUNCTION_SPEC(toolcall_spec, "set_toolcall_callback",
                  "Switch the tool-call callback on (enabled true) or off. stop_output 1 removes tool-call\n"
                  "markup from the streamed text, 0 keeps it. Returns RetStatus.",
                  0, set_toolcall_callback, "enabled", "stop_output");
KIV_FUNCTION_SPEC(reduce_spec, "__reduce__", nullptr, 0, refuse_reduce);
KIV_FUNCTION_SPEC(setstate_spec, "__setstate__", nullptr, 1, refuse_reduce, "state");

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

bool refuse_while_busy(VelkorObject* self) {
    const char* message = self->busy == kBusyRun      ? kRunInProgress
                          : self->busy == kBusyInit   ? kInitInProgress
                          : self->busy == kBusyUninit ? kUninitInProgress
                          : self->busy == kBusyReset  ? kResetInProgress
                                                      : nullptr;
    if (message == nullptr) return true;
    PyErr_SetString(PyExc_RuntimeError, message);
    return false;
}

bool ready_for_call(VelkorObject* self) { return refuse_while_busy(self) && require_context(self); }

bool BusyScope::enter() {
    if (!refuse_while_busy(self_)) return false;
    self_->busy = what_;
    held_ = true;
    return true;
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

    Ref sampling_mode = global(g_state.s_SamplingMode);
    Ref run_mode = sampling_mode ? global(g_state.s_RunMode) : Ref();
    if (!run_mode) return -1;
    Ref arg_max = Ref::steal(PyObject_GetAttrString(sampling_mode.get(), "ARG_MAX"));
    Ref generate = arg_max ? Ref::steal(PyObject_GetAttrString(run_mode.get(), "GENERATE")) : Ref();
    if (!generate) return -1;

    Ref init_defaults = kiv::make_defaults({Py_NewRef(Py_None), Py_NewRef(Py_None), arg_max.new_ref(),
                                            Py_NewRef(Py_None), PyUnicode_FromString(""),
                                            PyUnicode_FromString(""), PyUnicode_FromString(""),
                                            PyUnicode_FromString("")});
    Ref run_defaults = kiv::make_defaults(
        {PyUnicode_FromString(""), generate.new_ref(), PyLong_FromLong(0), Py_NewRef(Py_None),
         Py_NewRef(Py_None), PyUnicode_FromString("<|vision_start|>"), PyUnicode_FromString("<|vision_end|>"),
         PyUnicode_FromString("<|image_pad|>"), Py_NewRef(Py_None), Py_NewRef(Py_None), PyLong_FromLong(1),
         Py_NewRef(Py_None), PyLong_FromLong(0), Py_NewRef(Py_None), Py_NewRef(Py_None), Py_NewRef(Py_None),
         Py_NewRef(Py_None), Py_NewRef(Py_None), Py_NewRef(Py_False)});
    Ref toolcall_defaults = kiv::make_defaults({Py_NewRef(Py_True), PyLong_FromLong(0)});
    Ref run_annotations = Ref::steal(Py_BuildValue("{s:s}", "images", "list"));
    if (!init_defaults || !run_defaults || !toolcall_defaults || !run_annotations) return -1;

    struct MethodEntry {
        const kiv::FunctionSpec* fn;
        PyObject* defaults;
        PyObject* annotations;
    };
    const MethodEntry methods[] = {
        {&install_spec, nullptr, nullptr},
        {&restore_spec, nullptr, nullptr},
        {&signal_handler_spec, nullptr, nullptr},
        {&init_spec, init_defaults.get(), nullptr},
        {&uninit_spec, nullptr, nullptr},
        {&run_spec, run_defaults.get(), run_annotations.get()},
        {&reset_spec, nullptr, nullptr},
        {&interrupt_spec, nullptr, nullptr},
        {&chat_template_spec, nullptr, nullptr},
        {&jinja_spec, nullptr, nullptr},
        {&toolcall_spec, toolcall_defaults.get(), nullptr},
        {&reduce_spec, nullptr, nullptr},
        {&setstate_spec, nullptr, nullptr},
    };
    for (const MethodEntry& m : methods) {
        Ref method = kiv::new_method(*m.fn, tp, m.defaults, m.annotations);
        if (!method || PyObject_SetAttrString(type.get(), m.fn->name, method.get()) < 0) return -1;
    }
    g_state.velkor_type = reinterpret_cast<PyTypeObject*>(type.new_ref());
    g_state.signal_handler_fn = PyObject_GetAttrString(type.get(), "signal_handler");
    if (g_state.signal_handler_fn == nullptr) return -1;
    return PyModule_AddObjectRef(module, "VELKOR", type.get());
}

}  // namespace velkor
