// `tarnel_vm._where(vm)`: a private, read-only view of where a VM stands,
// so that the `tarnel` package can say where a failed run stopped.
#pragma once

#include "bindings/python_api.hpp"

namespace tarnel::bindings {

// The module-level functions of this file, for PyModule_AddFunctions.
PyMethodDef* where_functions();

}  // namespace tarnel::bindings
