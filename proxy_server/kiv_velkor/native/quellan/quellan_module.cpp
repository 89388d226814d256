// Module set-up of _quellan and the location of the runtime library.
#include "../common/conversions.h"
#include "../common/forking.h"
#include "../common/interpreter_lock.h"
#include "../common/native_function.h"
#include "quellan_internal.h"

namespace quellan {

int s_quellan_loaded = 0;

namespace {

constexpr const char kLibraryName[] = "libquellan.so";

// KIV_QUELLAN_PATH (read at each call, taken unchanged when non-empty), else
// libquellan.so in the real directory of this module's file when it is a
// regular file there, else the bare name for the dynamic linker's search.
PyObject* find_quellan_path(PyObject* module, kiv::BoundArgs) {
    kiv::Ref os = kiv::Ref::steal(PyObject_GetAttrString(module, "os"));
    if (!os) return nullptr;
    kiv::Ref environ = kiv::Ref::steal(PyObject_GetAttrString(os.get(), "environ"));
    if (!environ) return nullptr;
    kiv::Ref value = kiv::Ref::steal(PyObject_CallMethod(environ.get(), "get", "s", "KIV_QUELLAN_PATH"));
    if (!value) return nullptr;
    if (PyUnicode_Check(value.get()) && PyUnicode_GET_LENGTH(value.get()) > 0) return value.release();

    kiv::Ref path_type = kiv::Ref::steal(PyObject_GetAttrString(module, "Path"));
    if (!path_type) return nullptr;
    kiv::Ref file = kiv::Ref::steal(PyModule_GetFilenameObject(module));
    if (!file) return nullptr;
    kiv::Ref candidate = kiv::path_beside(path_type.get(), file.get(), kLibraryName);
    if (!candidate) return nullptr;
    kiv::Ref is_file = kiv::Ref::steal(PyObject_CallMethod(candidate.get(), "is_file", nullptr));
    if (!is_file) return nullptr;
    const int found = PyObject_IsTrue(is_file.get());
    if (found < 0) return nullptr;
    if (found) return PyObject_Str(candidate.get());
    return PyUnicode_FromString(kLibraryName);
}

KIV_FUNCTION_SPEC(kFindQuellanPath, "find_quellan_path", nullptr,
                  "The runtime library a Quellan() without lib_path loads: $KIV_QUELLAN_PATH when set and\n"
                  "not empty, else libquellan.so in this module's directory when it is a file, else the bare\n"
                  "name 'libquellan.so' for the dynamic linker's search path.",
                  find_quellan_path);

int add_import(PyObject* module, const char* attribute, const char* from, const char* name) {
    kiv::Ref imported = kiv::Ref::steal(PyImport_ImportModule(from));
    if (!imported) return -1;
    if (name != nullptr) {
        imported = kiv::Ref::steal(PyObject_GetAttrString(imported.get(), name));
        if (!imported) return -1;
    }
    return PyModule_AddObjectRef(module, attribute, imported.get());
}

int quellan_exec(PyObject* module) {
    if (kiv::native_function_types_ready(KIV_MODULE_NAME) < 0) return -1;
    if (add_import(module, "os", "os", nullptr) < 0) return -1;
    if (add_import(module, "Path", "pathlib", "Path") < 0) return -1;
    // The library, once loaded, stays loaded; a module executed again asks the
    // loader, which answers at once.
    s_quellan_loaded = 0;
    // Threads that come back from the runtime while the interpreter ends must
    // not ask for its lock (interpreter_lock.h); the hook is registered once.
    static bool exit_hook_registered = false;
    if (!exit_hook_registered) {
        if (!kiv::register_exit_hook()) return -1;
        exit_hook_registered = true;
    }
    // A child made by fork() during a call finds the runtime lock free.
    if (!kiv::register_fork_handler(reset_runtime_lock_in_child)) return -1;

    kiv::Ref annotations = kiv::Ref::steal(Py_BuildValue("{s:s}", "return", "str"));
    if (!annotations) return -1;
    kiv::Ref finder = kiv::new_function(kFindQuellanPath, module, annotations.get());
    if (!finder || PyModule_AddObjectRef(module, "find_quellan_path", finder.get()) < 0) return -1;

    kiv::Ref type = create_quellan_type(module);
    if (!type) return -1;
    return PyModule_AddObjectRef(module, "Quellan", type.get());
}

PyModuleDef_Slot quellan_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(quellan_exec)},
    // The loader and its table are process-wide: one interpreter only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quellan",
    "Binds the kiv_asr_* entry points of libquellan.so, loaded with dlopen.",
    0,
    nullptr,
    quellan_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace quellan

PyMODINIT_FUNC PyInit__quellan(void) { return PyModuleDef_Init(&quellan::module_def); }
