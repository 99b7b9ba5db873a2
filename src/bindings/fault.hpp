// Turning the core's error values into Python exceptions.
//
// Errors of the program being run or loaded become RuntimeError; broken
// promises of the extension itself (a failed allocation of a result object,
// a C++ exception reaching the boundary, an internal fault reported by the
// engine) become `InternalFault`, a direct subclass of BaseException so that
// `except Exception` does not swallow them.
#pragma once

#include <string_view>

#include "bindings/python_api.hpp"

namespace tarnel::bindings {

// The process-wide fault class, created on first use (module initialisation
// asks for it first). NULL with an exception set if it cannot be created.
PyObject* fault_class();

// Raises `type` with `message` (UTF-8, may contain NUL characters) as its
// only argument. Always returns NULL, so callers can `return raise(...)`.
std::nullptr_t raise(PyObject* type, std::string_view message);

// Raises the fault class with `message`; an empty message gets a fixed text.
std::nullptr_t raise_fault(std::string_view message);

// Reports a C++ exception caught at the boundary to the host. Call only from
// inside a catch block.
std::nullptr_t raise_current_exception_as_fault();

}  // namespace tarnel::bindings
