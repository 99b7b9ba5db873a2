// The VornVM class: one VmState per instance, reached through a borrow
// counter.
#pragma once

#include "bindings/python_api.hpp"

namespace tarnel::bindings {

// The VornVM heap type, created on the first call and kept for the life of
// the process. Returns a borrowed reference, or NULL with an exception set.
PyObject* vorn_vm_type();

}  // namespace tarnel::bindings
