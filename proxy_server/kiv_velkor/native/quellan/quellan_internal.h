// Declarations shared by the module set-up and the recogniser object.
#pragma once

#include "../common/py_ref.h"

namespace quellan {

// The module's definition: the recogniser type finds its module through it.
extern PyModuleDef module_def;

// 1 once the first recogniser object has loaded the runtime; never reset by
// the objects (the loader keeps the library until the process ends).
extern int s_quellan_loaded;

// Creates the Quellan type for `module` with its methods attached.
kiv::Ref create_quellan_type(PyObject* module);

// The attribute `name` of the module that owns `type` (a global of the module
// as Python code would see it), with NameError when it is missing.
kiv::Ref module_global(PyTypeObject* type, const char* name);

}  // namespace quellan
