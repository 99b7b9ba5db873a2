// Placeholder module definition; the full VornVM surface lives here.
#define Py_LIMITED_API 0x03090000
#include <Python.h>

static PyModuleDef tarnel_vm_module = {PyModuleDef_HEAD_INIT, "tarnel_vm", "Python module for the VM", 0,
                                       nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_tarnel_vm(void) { return PyModule_Create2(&tarnel_vm_module, 3); }
