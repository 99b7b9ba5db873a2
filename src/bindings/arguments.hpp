// Argument handling shared by the constructor and the methods of VornVM.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "bindings/python_api.hpp"

namespace tarnel::bindings {

// Binds a call's positional tuple and keyword dict (either may be NULL) to
// the named parameters. Every parameter is required and may be passed by
// position or by keyword. On success out[i] is a borrowed reference to the
// argument of params[i] and the result is true; otherwise a TypeError named
// after `function` ("VornVM.load_bytecode") is set and the result is false.
bool parse_arguments(const char* function, PyObject* args, PyObject* kwargs, std::initializer_list<const char*> params,
                     PyObject** out);

// The `__qualname__` of an object's type, as a new str reference (NULL with
// an exception set on failure).
PyObject* type_qualname(PyObject* object);

// TypeError "'<qualname>' object cannot be converted to '<target>'", with
// `prefix` in front ("argument 'path': " or nothing). Returns NULL.
std::nullptr_t raise_cannot_convert(const char* prefix, PyObject* object, const char* target);

// If the pending exception is a TypeError, replaces it with a TypeError whose
// message is "argument '<name>': " followed by the old message. Any other
// pending exception is left as it is.
void prefix_argument_error(const char* name);

// `path` as UTF-8: a str (or str subclass) becomes a new bytes reference;
// anything else raises the argument's TypeError. A str with no UTF-8 form
// raises the encoder's UnicodeEncodeError. Returns NULL on failure.
PyObject* path_to_utf8(PyObject* path);

// Reads `debug` as a flag: a bool, or a numpy boolean through its __bool__.
// Returns 1 or 0, or -1 with the argument's TypeError (or the exception
// raised by __bool__) set.
int debug_flag(PyObject* debug);

}  // namespace tarnel::bindings
