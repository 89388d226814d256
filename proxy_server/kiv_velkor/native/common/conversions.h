// Conversions shared by both modules, with the interpreter's usual error
// texts, so every function converts the same way.
#pragma once

#include "py_ref.h"

#include <cstdint>

namespace kiv {

// Accepts exactly `expected` or None; a subclass is refused with
// TypeError "Argument '<param>' has incorrect type (expected <name>, got <type>)".
bool check_exact_type(PyObject* value, PyTypeObject* expected, const char* param);

// Integer protocol (`__int__`, so a float truncates and a str is refused with
// TypeError "an integer is required"), then a range check.
bool to_int32(PyObject* value, int32_t* out);
// The same for an unsigned 32-bit enumeration named `type_name` in messages.
bool to_uint32(PyObject* value, uint32_t* out, const char* type_name);

// UTF-8 bytes of an exact str, or empty bytes for None or "".
Ref utf8_or_empty(PyObject* str_or_none);

// The address of the bytes' text, or NULL when they are empty.
inline const char* text_or_null(PyObject* bytes) {
    return PyBytes_GET_SIZE(bytes) > 0 ? PyBytes_AS_STRING(bytes) : nullptr;
}

// Turns a native call's 32-bit return code into an instance of `status_type`
// (for example RetStatus(rc)), the code read as an unsigned value.
Ref status_from_code(PyObject* status_type, uint32_t rc);

// path_type(file).resolve().parent / name: the file `name` in the real
// directory of the file `file` (a module's own).
Ref path_beside(PyObject* path_type, PyObject* file, const char* name);

// Prints the pending exception with its traceback, then reports it to the
// unraisable-exception hook with `context` as the context object.
void report_unraisable(PyObject* context);

}  // namespace kiv
