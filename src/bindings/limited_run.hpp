// The extension's private entry point behind tarnel.execute: a run with
// limits, interruptible by signals, with the interpreter lock released.
#pragma once

#include "bindings/python_api.hpp"

namespace tarnel::bindings {

// tarnel_vm._execute(vm, max_instructions, timeout, max_memory,
//                    check_signals, release_gil, args, stop=None)
//
// All arguments are positional; tarnel.execute checks them and documents
// them. `stop`, when given, is called every few milliseconds during the run
// (with the interpreter lock) and stops it by returning true. Returns
// (0, result) when the program ends, or (kind, None) when it is stopped:
// 1 instruction limit, 2 time limit, 3 memory limit, 4 `stop` said so. An
// exception raised by a signal handler or by `stop` stops the run and
// propagates.
PyObject* limited_execute(PyObject* module, PyObject* args);

}  // namespace tarnel::bindings
