#include "bindings/fault.hpp"

#include <atomic>
#include <exception>
#include <new>
#include <string>

namespace tarnel::bindings {

namespace {

constexpr const char* kFaultName = "tarnel_vm.InternalFault";
constexpr const char* kFaultDoc =
    "A broken internal invariant of the VM extension. Not an error of the program being run.";
constexpr std::string_view kFaultWithoutText = "Internal fault";

// Created once under the GIL and kept until the process ends.
std::atomic<PyObject*> g_fault_class{nullptr};

}  // namespace

PyObject* fault_class() {
    PyObject* existing = g_fault_class.load(std::memory_order_acquire);
    if (existing != nullptr) return existing;
    PyObject* created = PyErr_NewExceptionWithDoc(kFaultName, kFaultDoc, PyExc_BaseException, nullptr);
    if (created == nullptr) return nullptr;
    PyObject* expected = nullptr;
    if (!g_fault_class.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        Py_DECREF(created);
        return expected;
    }
    return created;
}

std::nullptr_t raise(PyObject* type, std::string_view message) {
    // "replace" keeps a message readable even if a program-supplied part of
    // it were not valid UTF-8; the core only produces valid UTF-8.
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return nullptr;  // MemoryError is already set
    PyErr_SetObject(type, text);
    Py_DECREF(text);
    return nullptr;
}

std::nullptr_t raise_fault(std::string_view message) {
    PyObject* type = fault_class();
    if (type == nullptr) return nullptr;
    return raise(type, message.empty() ? kFaultWithoutText : message);
}

std::nullptr_t raise_current_exception_as_fault() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return raise_fault("out of memory");
    } catch (const std::exception& error) {
        return raise_fault(error.what());
    } catch (...) {
        return raise_fault({});
    }
}

}  // namespace tarnel::bindings
