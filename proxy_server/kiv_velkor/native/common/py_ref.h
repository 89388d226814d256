// Owning references shared by both modules.
#pragma once

#include "interpreter_lock.h"

#include <utility>

namespace kiv {

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
