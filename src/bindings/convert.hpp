// Conversion of a run's result into a Python object.
#pragma once

#include "bindings/python_api.hpp"
#include "values/value.hpp"

namespace tarnel::bindings {

// A new Python object for `value`: None, bool, int, float, str (String, URL
// and "function<name>" for Function), list or dict with str keys in the
// map's slot order. Works with an explicit stack, so any nesting depth is
// fine. If the interpreter cannot build an object, its exception is printed
// and the result is NULL with the fault class raised.
PyObject* to_python(const Value& value);

}  // namespace tarnel::bindings
