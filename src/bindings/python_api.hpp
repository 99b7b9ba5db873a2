// The one header of the bindings that includes Python.h.
//
// The extension is built against the stable ABI of CPython 3.9, so a single
// binary imports under 3.9 and every later version. Nothing outside
// src/bindings/ sees Python.h.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03090000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
