// Python values passed to a program as its arguments (tarnel.execute's
// `args`): the reverse of the result conversion.
#pragma once

#include <vector>

#include "bindings/python_api.hpp"
#include "values/value.hpp"

namespace tarnel::bindings {

// At most this many arguments, as a call passes at most 16 (r0 to r15).
inline constexpr Py_ssize_t kMaxProgramArguments = 16;
// Lists and dicts nested deeper than this are refused (a list that holds
// itself would otherwise never end).
inline constexpr int kMaxArgumentDepth = 200;

// Converts the list `args` into VM values: None, bool, int (64-bit), float,
// str, list and dict with str keys, nested. Anything else raises TypeError
// naming the argument ("args[2]: cannot pass a set to the program"); an int
// out of range or nesting too deep raises ValueError. Returns false with the
// exception set.
bool program_arguments(PyObject* args, std::vector<Value>& out);

}  // namespace tarnel::bindings
