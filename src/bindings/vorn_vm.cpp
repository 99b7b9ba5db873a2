#include "bindings/vorn_vm.hpp"

#include <atomic>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "bindings/arguments.hpp"
#include "bindings/convert.hpp"
#include "bindings/fault.hpp"
#include "loader/loading.hpp"
#include "vm/engine.hpp"
#include "vm/state.hpp"

namespace tarnel::bindings {

namespace {

constexpr const char* kClassName = "VornVM";

// The instance layout: the interpreter's header, then the whole machine state
// inline, then the borrow counter (0 free, -1 held exclusively, n > 0 held by
// n readers).
struct VornVMObject {
    PyObject_HEAD
    VmState state;
    std::atomic<intptr_t> borrow;
};

std::atomic<PyObject*> g_type{nullptr};

// Exclusive or shared access to an instance's state, given back when the
// guard goes out of scope, whatever path the method takes.
class Borrow {
public:
    static std::optional<Borrow> exclusive(VornVMObject* self) {
        intptr_t expected = 0;
        if (!self->borrow.compare_exchange_strong(expected, -1, std::memory_order_acquire)) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return std::nullopt;
        }
        return Borrow(self, true);
    }

    static std::optional<Borrow> shared(VornVMObject* self) {
        intptr_t current = self->borrow.load(std::memory_order_relaxed);
        do {
            if (current == -1) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                return std::nullopt;
            }
        } while (!self->borrow.compare_exchange_weak(current, current + 1, std::memory_order_acquire));
        return Borrow(self, false);
    }

    Borrow(Borrow&& other) noexcept : self_(std::exchange(other.self_, nullptr)), exclusive_(other.exclusive_) {}
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    Borrow& operator=(Borrow&&) = delete;
    ~Borrow() {
        if (self_ == nullptr) return;
        if (exclusive_)
            self_->borrow.store(0, std::memory_order_release);
        else
            self_->borrow.fetch_sub(1, std::memory_order_release);
    }

    VmState& state() const { return self_->state; }

private:
    Borrow(VornVMObject* self, bool exclusive) : self_(self), exclusive_(exclusive) {}

    VornVMObject* self_;
    bool exclusive_;
};

// Step 2 of every method: `self` must be a VornVM (or a subtype).
VornVMObject* checked_self(PyObject* self) {
    PyObject* type = g_type.load(std::memory_order_acquire);
    if (type == nullptr || !PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type))) {
        raise_cannot_convert("", self, kClassName);
        return nullptr;
    }
    return reinterpret_cast<VornVMObject*>(self);
}

// The boundary to the host: a C++ exception that escapes `body` becomes the
// fault class.
template <class Body>
PyObject* at_boundary(Body&& body) {
    try {
        return body();
    } catch (...) {
        return raise_current_exception_as_fault();
    }
}

// Runs `body(state)` under the method protocol after argument parsing: self
// check, borrow, body, and the borrow given back on every path.
template <bool Exclusive, class Body>
PyObject* with_state(PyObject* self, Body&& body) {
    VornVMObject* vm = checked_self(self);
    if (vm == nullptr) return nullptr;
    std::optional<Borrow> borrow = Exclusive ? Borrow::exclusive(vm) : Borrow::shared(vm);
    if (!borrow) return nullptr;
    return body(borrow->state());
}

PyObject* none() {
    Py_INCREF(Py_None);
    return Py_None;
}

// --- constructor and deallocator -------------------------------------------

PyObject* vm_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return at_boundary([&]() -> PyObject* {
        if (!parse_arguments("VornVM.__new__", args, kwargs, {}, nullptr)) return nullptr;
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = alloc(type, 0);
        if (self == nullptr) return nullptr;
        auto* vm = reinterpret_cast<VornVMObject*>(self);
        try {
            new (&vm->state) VmState();
        } catch (...) {
            // The state never existed, so the deallocator must not run: free
            // the bare object and drop the reference it held on its type.
            auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
            free_object(self);
            Py_DECREF(reinterpret_cast<PyObject*>(type));
            throw;
        }
        new (&vm->borrow) std::atomic<intptr_t>(0);
        return self;
    });
}

void vm_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* vm = reinterpret_cast<VornVMObject*>(self);
    vm->borrow.~atomic();
    vm->state.~VmState();
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

// --- methods ----------------------------------------------------------------

PyObject* load_into(VmState& state, PyObject* path) {
    PyObject* encoded = path_to_utf8(path);
    if (encoded == nullptr) return nullptr;
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded, &data, &size) != 0) {
        Py_DECREF(encoded);
        return nullptr;
    }
    auto loaded = load_module_file(std::string_view(data, static_cast<size_t>(size)));
    Py_DECREF(encoded);
    if (!loaded.ok()) {
        std::string message = "Failed to load bytecode: ";
        message += loaded.error().message();
        return raise(PyExc_RuntimeError, message);
    }
    // Only a completely decoded module reaches the state.
    state.reset_for_module(std::move(loaded).value());
    return none();
}

PyObject* run_program(VmState& state) {
    auto outcome = run(state);
    if (!outcome.ok()) return raise_run_error(outcome.error());
    const std::optional<Value>& result = outcome.value();
    return result.has_value() ? to_python(*result) : none();
}

PyObject* vm_load_bytecode(PyObject* self, PyObject* args, PyObject* kwargs) {
    return at_boundary([&]() -> PyObject* {
        PyObject* path = nullptr;
        if (!parse_arguments("VornVM.load_bytecode", args, kwargs, {"path"}, &path)) return nullptr;
        return with_state<true>(self, [path](VmState& state) { return load_into(state, path); });
    });
}

PyObject* vm_execute(PyObject* self, PyObject*) {
    return at_boundary([&]() -> PyObject* { return with_state<true>(self, run_program); });
}

PyObject* vm_set_debug(PyObject* self, PyObject* args, PyObject* kwargs) {
    return at_boundary([&]() -> PyObject* {
        PyObject* debug = nullptr;
        if (!parse_arguments("VornVM.set_debug", args, kwargs, {"debug"}, &debug)) return nullptr;
        return with_state<true>(self, [debug](VmState& state) -> PyObject* {
            const int flag = debug_flag(debug);
            if (flag < 0) return nullptr;
            state.debug = flag != 0;
            return none();
        });
    });
}

PyObject* vm_instruction_count(PyObject* self, PyObject*) {
    return at_boundary([&]() -> PyObject* {
        return with_state<false>(
            self, [](VmState& state) -> PyObject* { return PyLong_FromUnsignedLongLong(state.instruction_count); });
    });
}

// --- the type -----------------------------------------------------------------

PyMethodDef vm_methods[] = {
    {"load_bytecode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(vm_load_bytecode)),
     METH_VARARGS | METH_KEYWORDS, "load_bytecode($self, path)\n--\n\nLoad bytecode from file"},
    {"execute", vm_execute, METH_NOARGS, "execute($self)\n--\n\nExecute the loaded bytecode"},
    {"set_debug", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(vm_set_debug)),
     METH_VARARGS | METH_KEYWORDS, "set_debug($self, debug)\n--\n\nSet debug mode"},
    {"instruction_count", vm_instruction_count, METH_NOARGS, "instruction_count($self)\n--\n\nGet instruction count"},
    {nullptr, nullptr, 0, nullptr},
};

char vm_doc[] = "VornVM()\n--\n\nVorn VM exposed to Python";

PyType_Slot vm_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(vm_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(vm_dealloc)},
    {Py_tp_doc, vm_doc},
    {Py_tp_methods, vm_methods},
    {0, nullptr},
};

PyType_Spec vm_spec = {
    "builtins.VornVM", static_cast<int>(sizeof(VornVMObject)), 0, Py_TPFLAGS_DEFAULT, vm_slots,
};

}  // namespace

std::nullptr_t raise_run_error(const RunError& error) {
    if (const auto* vm_error = std::get_if<VmError>(&error)) {
        std::string message = "Runtime error: ";
        message += vm_error->message();
        return raise(PyExc_RuntimeError, message);
    }
    const auto* fault = std::get_if<InternalFault>(&error);
    return raise_fault(fault != nullptr ? std::string_view(fault->message) : std::string_view());
}

PyObject* with_exclusive_state(PyObject* vm, const std::function<PyObject*(VmState&)>& body) {
    return at_boundary([&]() -> PyObject* { return with_state<true>(vm, body); });
}

PyObject* read_vm_state(PyObject* self, PyObject* (*read)(const VmState& state)) {
    return with_state<false>(self, [read](VmState& state) { return read(state); });
}

PyObject* vorn_vm_type() {
    PyObject* existing = g_type.load(std::memory_order_acquire);
    if (existing != nullptr) return existing;
    PyObject* created = PyType_FromSpec(&vm_spec);
    if (created == nullptr) return nullptr;
    PyObject* expected = nullptr;
    if (!g_type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        Py_DECREF(created);
        return expected;
    }
    return created;
}

}  // namespace tarnel::bindings
