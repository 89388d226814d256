// Owning references and scoped interpreter-lock handling shared by both modules.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <utility>

namespace kiv {

// Set once, by the exit hook of interpreter_lifetime.h, when the interpreter
// starts to end. From then on the interpreter may end other threads by
// unwinding them (pthread_exit) when they ask for its lock; a thread being
// unwinded that way has no thread state and must not touch Python objects.
extern std::atomic<bool> g_interpreter_exiting;

// True when this thread may drop a reference: always, but on a thread the
// ending interpreter is unwinding (it then leaks the reference: the process
// is ending).
inline bool may_touch_objects() noexcept {
    return !g_interpreter_exiting.load(std::memory_order_relaxed) || PyThreadState_GetUnchecked() != nullptr;
}

// Owns one strong reference, or none. Move-only, so no early return can leak.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    static Ref borrow(PyObject* o) noexcept { Py_XINCREF(o); return Ref(o); }

    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            drop(std::exchange(obj_, std::exchange(other.obj_, nullptr)));
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { drop(obj_); }

    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // A new strong reference for the caller, the Ref keeps its own.
    PyObject* new_ref() const noexcept { Py_XINCREF(obj_); return obj_; }

private:
    explicit Ref(PyObject* o) noexcept : obj_(o) {}
    static void drop(PyObject* o) noexcept {
        if (o != nullptr && may_touch_objects()) Py_DECREF(o);
    }
    PyObject* obj_ = nullptr;
};

// Replaces a strong-reference field with a new strong reference, dropping the
// old value only after the field is updated (the old value's finaliser may run
// arbitrary code that reads the field).
inline void replace_field(PyObject*& field, PyObject* new_value) noexcept {
    PyObject* old = field;
    field = new_value;
    Py_XDECREF(old);
}

// Takes the interpreter lock back after a native call (interpreter_lifetime.cpp):
// on a thread that the ending interpreter would unwind, it never returns.
void reacquire_gil(PyThreadState* state);

// Releases the interpreter lock for the lifetime of the scope. Taking it back
// may unwind the thread while the interpreter ends, so the destructor lets
// that unwinding through (noexcept(false)) instead of aborting the process.
class ReleaseGil {
public:
    ReleaseGil() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleaseGil() noexcept(false) { reacquire_gil(state_); }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

private:
    PyThreadState* state_;
};

// Keeps the exception being raised (if any) aside and puts it back on exit,
// so clean-up code can call into Python safely.
class PreserveException {
public:
    PreserveException() noexcept : exc_(PyErr_GetRaisedException()) {}
    ~PreserveException() {
        if (may_touch_objects()) PyErr_SetRaisedException(exc_);
    }
    PreserveException(const PreserveException&) = delete;
    PreserveException& operator=(const PreserveException&) = delete;

private:
    PyObject* exc_;
};

}  // namespace kiv
