#include "interpreter_lock.h"

#include "py_ref.h"

#include <chrono>

namespace kiv {

namespace {

using interpreter_lock_detail::exiting;
using interpreter_lock_detail::finalising_thread;

// Threads coming back from a native call, between their admission and holding
// the interpreter lock. Every thread counts itself before it asks
// may_enter_python() and the hook closes the gate before it looks at the
// count (both sequentially consistent), so either the thread sees the gate
// closed or the hook sees the thread.
std::atomic<int> s_admitted{0};
int (*s_module_in_python)() = nullptr;

int admitted() { return s_admitted.load() + (s_module_in_python ? s_module_in_python() : 0); }

[[noreturn]] void wait_for_process_end() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

PyObject* on_interpreter_exit(PyObject*, PyObject*) {
    finalising_thread.store(std::this_thread::get_id());
    exiting.store(true);
    if (admitted() > 0) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kExitDrainMilliseconds);
        Py_BEGIN_ALLOW_THREADS
        while (admitted() > 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        Py_END_ALLOW_THREADS
    }
    Py_RETURN_NONE;
}

PyMethodDef s_exit_hook_def = {"_native_threads_at_exit", on_interpreter_exit, METH_NOARGS, nullptr};

}  // namespace

void reacquire_gil(PyThreadState* state) {
    s_admitted.fetch_add(1);
    if (!may_enter_python()) {
        s_admitted.fetch_sub(1);
        wait_for_process_end();
    }
    PyEval_RestoreThread(state);
    s_admitted.fetch_sub(1);
}

void forget_parent_threads() noexcept {
    s_admitted.store(0);
    if (finalising_thread.load() == std::this_thread::get_id()) return;
    exiting.store(false);
    finalising_thread.store(std::thread::id());
}

bool register_exit_hook(int (*in_python)()) {
    s_module_in_python = in_python;
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    Ref hook = atexit ? Ref::steal(PyCFunction_New(&s_exit_hook_def, nullptr)) : Ref();
    if (!hook) return false;
    return static_cast<bool>(Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get())));
}

}  // namespace kiv
