// One argument-binding mechanism for every Python-facing function and method of
// both modules: a small callable type that binds positional-or-keyword
// parameters with the interpreter's usual TypeError texts, fills in defaults and
// exposes __defaults__, __annotations__ and __signature__ like a Python function.
#pragma once

#include "py_ref.h"

namespace kiv {

// Largest parameter count of any function; bound arguments live on the stack.
inline constexpr Py_ssize_t kMaxParameters = 24;

// The bound arguments, one borrowed reference per parameter, in parameter order.
using BoundArgs = PyObject* const*;

// Implementation of a function: `self` is the instance for methods and the
// module for module-level functions.
using NativeImpl = PyObject* (*)(PyObject* self, BoundArgs args);

struct FunctionSpec {
    const char* name;
    const char* doc;
    const char* const* params;   // parameter names in positional order
    Py_ssize_t n_params;
    Py_ssize_t n_required;       // the first n_required parameters have no default
    NativeImpl impl;
};

// Defines a FunctionSpec named `var` from a list of parameter names.
#define KIV_FUNCTION_SPEC(var, pyname, docstr, n_required, impl, ...)                 \
    static const char* const var##_params[] = {__VA_ARGS__ __VA_OPT__(, ) nullptr};  \
    static const ::kiv::FunctionSpec var = {                                         \
        pyname, docstr, var##_params,                                                \
        static_cast<Py_ssize_t>(sizeof(var##_params) / sizeof(char*) - 1),           \
        n_required, impl}

// Creates the two callable types (methods and plain functions). Called once
// from each module's execution; `module_name` prefixes their qualified names.
int native_function_types_ready(const char* module_name);

// A method of `owner`: binds like a function whose first parameter is `self`
// and checks that `self` is an instance of `owner`.
// `defaults` (may be NULL for none) is a tuple of n_params - n_required values;
// `annotations` (may be NULL) maps parameter names and "return" to annotations.
Ref new_method(const FunctionSpec& fn, PyTypeObject* owner, PyObject* defaults,
               PyObject* annotations);

// A module-level function; the implementation receives `module` as self.
Ref new_function(const FunctionSpec& fn, PyObject* module, PyObject* defaults,
                 PyObject* annotations);

// Binds a call made with a tuple and a dict (type constructors) to the
// parameters, filling `out` (n_params borrowed references). Raises TypeError
// in the interpreter's usual wording and returns false on a binding error.
bool bind_tuple_dict(const FunctionSpec& fn, PyObject* defaults, PyObject* args,
                     PyObject* kwargs, PyObject** out);

// Builds a tuple of defaults from a list of new references (NULL entries mean
// an error is already set).
Ref make_defaults(std::initializer_list<PyObject*> values);

}  // namespace kiv
