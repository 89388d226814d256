// A test-only extension module that leaks on purpose, built by
// scripts/leakcheck.sh only to prove that the leak check reports a leak made
// in native extension code: a str and a bytes object kept alive by an extra
// reference that nothing will drop, and a plain heap block.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <cstring>

namespace {

PyObject* leak(PyObject*, PyObject*) {
    PyObject* text = PyUnicode_FromFormat("leaked text %d", 42);
    PyObject* data = PyBytes_FromString("leaked bytes, never released");
    if (text == nullptr || data == nullptr) return nullptr;  // the error path may leak too
    char* block = static_cast<char*>(std::malloc(64));
    if (block != nullptr) std::strcpy(block, "leaked heap block");
    block = nullptr;
    // The references are dropped on the floor: both objects stay allocated and
    // unreachable.
    text = nullptr;
    data = nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"leak", leak, METH_NOARGS, "Leak a str, a bytes object and a heap block."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_kiv_leaky", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__kiv_leaky(void) { return PyModule_Create(&module_def); }
