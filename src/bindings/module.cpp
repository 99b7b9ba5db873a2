// The extension module `tarnel_vm`: single-phase initialisation, one module
// object per process, refused in any interpreter but the first.
#include <atomic>
#include <cstdint>
#include <string_view>
#include <vector>

#include "bindings/fault.hpp"
#include "bindings/features.hpp"
#include "bindings/limited_run.hpp"
#include "bindings/python_api.hpp"
#include "bindings/vorn_vm.hpp"
#include "bindings/where.hpp"

namespace tarnel::bindings {

namespace {

// Private entry points for the tarnel package; VornVM keeps its four methods.
PyMethodDef g_module_functions[] = {
    {"_execute", limited_execute, METH_VARARGS,
     "_execute(vm, max_instructions, timeout, max_memory, check_signals, release_gil, args, stop=None)\n--\n\n"
     "Run with limits (private: use tarnel.execute)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "tarnel_vm",
    "Python module for the VM",
    0,
    g_module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first imported the module; -1 until then.
std::atomic<int64_t> g_interpreter_id{-1};
// The module object, created once and kept for the life of the process.
std::atomic<PyObject*> g_module{nullptr};

// Adds `value` under `name` and lists the name in `__all__`, creating an
// empty `__all__` first if the module has none. Steals nothing.
bool add_exported(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr) return false;
        if (PyObject_SetAttrString(module, "__all__", all) != 0) {
            Py_DECREF(all);
            return false;
        }
    }
    if (!PyList_Check(all)) {
        Py_DECREF(all);
        PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
        return false;
    }
    PyObject* key = PyUnicode_FromString(name);
    const bool ok = key != nullptr && PyList_Append(all, key) == 0 && PyObject_SetAttrString(module, name, value) == 0;
    Py_XDECREF(key);
    Py_DECREF(all);
    return ok;
}

// `build_features()` as a tuple of str.
PyObject* features_tuple() {
    const std::vector<std::string_view> features = build_features();
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(features.size()));
    if (tuple == nullptr) return nullptr;
    for (size_t i = 0; i < features.size(); ++i) {
        PyObject* text = PyUnicode_FromStringAndSize(features[i].data(), static_cast<Py_ssize_t>(features[i].size()));
        if (text == nullptr || PyTuple_SetItem(tuple, static_cast<Py_ssize_t>(i), text) != 0) {
            Py_DECREF(tuple);
            return nullptr;
        }
    }
    return tuple;
}

PyObject* create_module() {
    // The fault class exists before anything can fault.
    if (fault_class() == nullptr) return nullptr;
    PyObject* module = PyModule_Create2(&g_module_def, 3);
    if (module == nullptr) return nullptr;
    PyObject* type = vorn_vm_type();
    PyObject* version = type != nullptr ? PyUnicode_FromString(TARNEL_VERSION) : nullptr;
    PyObject* features = version != nullptr ? features_tuple() : nullptr;
    // Private functions (a leading underscore) are neither in `__all__` nor
    // part of the public interface; the `tarnel` package uses them. Nor is
    // `__features__`, which describes the build rather than offering anything.
    const bool ok = features != nullptr && add_exported(module, "VornVM", type) &&
                    add_exported(module, "__version__", version) &&
                    PyObject_SetAttrString(module, "__features__", features) == 0 &&
                    PyModule_AddFunctions(module, where_functions()) == 0;
    Py_XDECREF(features);
    Py_XDECREF(version);
    if (!ok) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

PyObject* init() {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    int64_t first = -1;
    if (!g_interpreter_id.compare_exchange_strong(first, id) && first != id) {
        PyErr_SetString(PyExc_ImportError,
                        "tarnel_vm does not support sub-interpreters: it was first imported by another interpreter");
        return nullptr;
    }
    PyObject* module = g_module.load(std::memory_order_acquire);
    if (module == nullptr) {
        module = create_module();
        if (module == nullptr) return nullptr;
        g_module.store(module, std::memory_order_release);  // the cell keeps this reference
    }
    Py_INCREF(module);
    return module;
}

}  // namespace

}  // namespace tarnel::bindings

PyMODINIT_FUNC PyInit_tarnel_vm(void) {
    try {
        return tarnel::bindings::init();
    } catch (...) {
        return tarnel::bindings::raise_current_exception_as_fault();
    }
}
