// Declarations shared by the module set-up and the recogniser object, in one
// section per file that defines them.
#pragma once

#include "../common/py_ref.h"

namespace quellan {

// ---- module set-up (quellan_module.cpp) ----

// The module's definition: the recogniser type finds its module through it.
extern PyModuleDef module_def;

// 1 once the first recogniser object has loaded the runtime; never reset by
// the objects (the loader keeps the library until the process ends).
extern int s_quellan_loaded;

// ---- the recogniser object (quellan_object.cpp) ----

// The at-fork child handler's part (forking.h): the runtime lock is free.
void reset_runtime_lock_in_child() noexcept;

// Creates the Quellan type for `module` with its methods attached.
kiv::Ref create_quellan_type(PyObject* module);

// The attribute `name` of the module that owns `type` (a global of the module
// as Python code would see it), with NameError when it is missing.
kiv::Ref module_global(PyTypeObject* type, const char* name);

}  // namespace quellan
