// One argument-binding mechanism for every Python-facing function and method of
// both modules: a small callable type that binds positional-or-keyword
// parameters with the interpreter's usual TypeError texts, fills in defaults and
// exposes __defaults__, __annotations__ and __signature__ like a Python function.
//
// A function's parameters are declared once, as a list of names and defaults;
// the bound arguments' order, the keyword names, the __defaults__ tuple and the
// signature at the head of the docstring all come from that list. A function
// with many parameters writes the list as an X-macro, X(name, default), so
// that the same list also makes the enumeration its implementation indexes
// the arguments with (KIV_PARAMETER_INDEX) and the parameter table
// (KIV_PARAMETER).
#pragma once

#include "py_ref.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace kiv {

// Largest parameter count of any function; bound arguments live on the stack.
inline constexpr Py_ssize_t kMaxParameters = 24;

// The default of one parameter, made when the function is created; its text in
// the signature is the value's repr (a member's is Holder.NAME).
struct Default {
    enum class Kind : uint8_t { kRequired, kNone, kFalse, kTrue, kInteger, kText, kMember };
    Kind kind = Kind::kRequired;
    long number = 0;                 // kInteger
    const char* str = nullptr;       // kText: the value; kMember: the module global holding the member
    const char* attribute = nullptr; // kMember: the member's name

    static constexpr Default required() { return {}; }
    static constexpr Default none() { return {Kind::kNone}; }
    static constexpr Default boolean(bool value) { return {value ? Kind::kTrue : Kind::kFalse}; }
    static constexpr Default integer(long value) { return {Kind::kInteger, value}; }
    static constexpr Default text(const char* value) { return {Kind::kText, 0, value}; }
    // An attribute of a global of the function's module, read when the
    // function is created: member("RunMode", "GENERATE").
    static constexpr Default member(const char* holder, const char* name) {
        return {Kind::kMember, 0, holder, name};
    }
};

struct Parameter {
    const char* name;
    Default value = Default::required();
};

// X-macro expansions of a parameter list X(name, default): the parameter
// table, and the enumerators naming each argument's index.
#define KIV_PARAMETER(name, value) ::kiv::Parameter{#name, value},
#define KIV_PARAMETER_INDEX(name, value) name,

// The bound arguments, one borrowed reference per parameter, in parameter order.
using BoundArgs = PyObject* const*;

// Implementation of a function: `self` is the instance for methods and the
// module for module-level functions.
using NativeImpl = PyObject* (*)(PyObject* self, BoundArgs args);

struct FunctionSpec {
    const char* name;
    const char* returns;         // return annotation of the docstring's signature; NULL: no signature
    const char* doc;             // NULL: no docstring
    const Parameter* params;     // in positional order
    Py_ssize_t n_params;
    Py_ssize_t n_required;       // the first n_required parameters have no default
    NativeImpl impl;
};

template <std::size_t N>
constexpr FunctionSpec function_spec(const char* name, const char* returns, const char* doc, NativeImpl impl,
                                     const Parameter (&params)[N]) {
    Py_ssize_t required = 0;
    while (required < static_cast<Py_ssize_t>(N) && params[required].value.kind == Default::Kind::kRequired) {
        ++required;
    }
    return {name, returns, doc, params, static_cast<Py_ssize_t>(N), required, impl};
}

constexpr FunctionSpec function_spec(const char* name, const char* returns, const char* doc, NativeImpl impl) {
    return {name, returns, doc, nullptr, 0, 0, impl};
}

// Defines a FunctionSpec named `var` from a list of Parameter initialisers,
// such as {"jinja_template"} or {"stop_output", kiv::Default::integer(0)}.
#define KIV_FUNCTION_SPEC(var, pyname, returns, docstr, impl, ...)                              \
    __VA_OPT__(static constexpr ::kiv::Parameter var##_params[] = {__VA_ARGS__};)               \
    static constexpr ::kiv::FunctionSpec var =                                                  \
        ::kiv::function_spec(pyname, returns, docstr, impl __VA_OPT__(, var##_params))

// Creates the two callable types (methods and plain functions). Called once
// from each module's execution; `module_name` prefixes their qualified names.
int native_function_types_ready(const char* module_name);

// A method of `owner` (a type made from its module): binds like a function
// whose first parameter is `self` and checks that `self` is an instance of
// `owner`. `annotations` (may be NULL) maps parameter names and "return" to
// annotations.
Ref new_method(const FunctionSpec& fn, PyTypeObject* owner, PyObject* annotations = nullptr);

// A module-level function; the implementation receives `module` as self.
Ref new_function(const FunctionSpec& fn, PyObject* module, PyObject* annotations = nullptr);

struct MethodEntry {
    const FunctionSpec& fn;
    PyObject* annotations = nullptr;
};

// Sets each method on `owner` under its name, in order.
bool add_methods(PyTypeObject* owner, std::initializer_list<MethodEntry> methods);

// __reduce__ and __setstate__ of objects that hold a runtime's handle: both
// refuse with TypeError, so such an object is never pickled or copied.
extern const FunctionSpec refuse_reduce_spec;
extern const FunctionSpec refuse_setstate_spec;

// The tuple of `fn`'s defaults (`module` resolves member defaults; may be
// NULL when there are none).
Ref make_defaults(const FunctionSpec& fn, PyObject* module);

// Binds a call made with a tuple and a dict (type constructors) to the
// parameters, filling `out` (n_params borrowed references), the defaults
// taken from `defaults` (make_defaults). Raises TypeError in the
// interpreter's usual wording and returns false on a binding error.
bool bind_tuple_dict(const FunctionSpec& fn, PyObject* defaults, PyObject* args, PyObject* kwargs,
                     PyObject** out);

}  // namespace kiv
