#include "conversions.h"

#include <climits>

namespace kiv {

bool check_exact_type(PyObject* value, PyTypeObject* expected, const char* param) {
    if (value == Py_None || Py_IS_TYPE(value, expected)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param, expected->tp_name, Py_TYPE(value)->tp_name);
    return false;
}

namespace {

// Any object to an exact int through the integer protocol, refusing str and
// other objects that only `int()` would parse.
Ref as_python_int(PyObject* value) {
    if (PyLong_Check(value)) return Ref::borrow(value);
    PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
    PyObject* result = nullptr;
    if (nb && nb->nb_int) {
        result = nb->nb_int(value);
    } else if (nb && nb->nb_index) {
        result = nb->nb_index(value);
    } else {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return {};
    }
    if (result && !PyLong_Check(result)) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result)->tp_name);
        Py_DECREF(result);
        return {};
    }
    return Ref::steal(result);
}

}  // namespace

bool to_int32(PyObject* value, int32_t* out) {
    Ref as_int = as_python_int(value);
    if (!as_int) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(as_int.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int32_t>(v);
    return true;
}

bool to_uint32(PyObject* value, uint32_t* out, const char* type_name) {
    Ref as_int = as_python_int(value);
    if (!as_int) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(as_int.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && v < 0)) {
        PyErr_Format(PyExc_OverflowError, "can't convert negative value to %.200s", type_name);
        return false;
    }
    if (overflow > 0 || v > static_cast<long long>(UINT32_MAX)) {
        PyErr_Format(PyExc_OverflowError, "value too large to convert to %.200s", type_name);
        return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

Ref utf8_or_empty(PyObject* str_or_none) {
    if (str_or_none == Py_None || PyUnicode_GET_LENGTH(str_or_none) == 0) {
        return Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    }
    return Ref::steal(PyUnicode_AsUTF8String(str_or_none));
}

Ref status_from_code(PyObject* status_type, uint32_t rc) {
    Ref code = Ref::steal(PyLong_FromUnsignedLong(rc));
    if (!code) return {};
    return Ref::steal(PyObject_CallOneArg(status_type, code.get()));
}

Ref path_beside(PyObject* path_type, PyObject* file, const char* name) {
    Ref path = Ref::steal(PyObject_CallOneArg(path_type, file));
    Ref resolved = path ? Ref::steal(PyObject_CallMethod(path.get(), "resolve", nullptr)) : Ref();
    Ref parent = resolved ? Ref::steal(PyObject_GetAttrString(resolved.get(), "parent")) : Ref();
    Ref leaf = parent ? Ref::steal(PyUnicode_FromString(name)) : Ref();
    return leaf ? Ref::steal(PyNumber_TrueDivide(parent.get(), leaf.get())) : Ref();
}

void report_unraisable(PyObject* context) {
    // PyErr_PrintEx consumes the exception; keep it to hand to the hook after.
    PyObject* exc = PyErr_GetRaisedException();
    if (exc != nullptr && PyErr_GivenExceptionMatches(exc, PyExc_SystemExit)) {
        // The error printer would end the process on SystemExit; a callback's
        // SystemExit is reported like any other exception.
        PyErr_DisplayException(exc);
    } else {
        PyErr_SetRaisedException(Py_XNewRef(exc));
        PyErr_PrintEx(0);
    }
    PyErr_SetRaisedException(exc);
    PyErr_WriteUnraisable(context);
}

}  // namespace kiv
