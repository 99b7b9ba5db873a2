// The VornVM class: one VmState per instance, reached through a borrow
// counter.
#pragma once

#include <functional>

#include "bindings/python_api.hpp"
#include "vm/engine.hpp"

namespace tarnel {
struct VmState;
}

namespace tarnel::bindings {

// The VornVM heap type, created on the first call and kept for the life of
// the process. Returns a borrowed reference, or NULL with an exception set.
PyObject* vorn_vm_type();

// For the extension's module-level entry points: runs `body` on the state of
// `vm` under the same protocol as the methods (the object must be a VornVM,
// its state is borrowed exclusively, "Already borrowed" otherwise, and the
// borrow is given back however `body` ends). A C++ exception that escapes
// becomes the fault class.
PyObject* with_exclusive_state(PyObject* vm, const std::function<PyObject*(VmState&)>& body);

// Raises what a failed run ends with, as VornVM.execute raises it:
// RuntimeError "Runtime error: ..." or the fault class. Returns NULL.
std::nullptr_t raise_run_error(const RunError& error);

// Runs `read` on the state of the VornVM `self` with shared access, as
// instruction_count() does: the self check, the borrow and its release.
// For the extension's private module-level functions. Returns what `read`
// returns, or NULL with an exception set.
PyObject* read_vm_state(PyObject* self, PyObject* (*read)(const VmState& state));

}  // namespace tarnel::bindings
