// The SIGINT chain: each VELKOR made on the main thread installs its
// signal_handler for SIGINT and chains to the handler it replaced; Ctrl+C
// flags and interrupts every object of the chain, newest first.
#include "velkor_module.h"

#include <csignal>

namespace velkor {

namespace {

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
        // Without a context there is nothing to break, and an orphaned object's
        // is never handed to the runtime; the chain still runs so that Ctrl+C
        // keeps its usual effect.
        if (self->ctx != nullptr && !self->busy.orphaned()) {
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

constexpr kiv::Parameter signal_handler_params[] = {{"sig"}, {"frame"}};

}  // namespace

extern const kiv::FunctionSpec install_sigint_spec = kiv::function_spec(
    "_install_sigint_handler", nullptr,
    "Install signal_handler for SIGINT when called on the main thread, keeping the previous handler.",
    install_sigint_handler);
extern const kiv::FunctionSpec restore_sigint_spec = kiv::function_spec(
    "_restore_sigint_handler", nullptr,
    "Put back the SIGINT handler that was in force before this object installed its own.",
    restore_sigint_handler);
extern const kiv::FunctionSpec signal_handler_spec = kiv::function_spec(
    "signal_handler", nullptr,
    "SIGINT handler: flag the object as interrupted, break its run, then chain to the\n"
    "previous handler (a callable is called; SIG_IGN does nothing more; SIG_DFL ends the\n"
    "process by SIGINT, as the default disposition does).",
    signal_handler, signal_handler_params);

}  // namespace velkor
