#include "bindings/where.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "bindings/fault.hpp"
#include "bindings/vorn_vm.hpp"
#include "diagnostics/debug_form.hpp"
#include "vm/state.hpp"

namespace tarnel::bindings {

namespace {

// Owns one new reference (or none) and gives it up on request.
class Ref {
public:
    explicit Ref(PyObject* object) : object_(object) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }
    PyObject* get() const { return object_; }
    PyObject* release() {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }

private:
    PyObject* object_;
};

// Appends the unsigned number `value` to `list`.
bool append_number(PyObject* list, uint64_t value) {
    Ref number(PyLong_FromUnsignedLongLong(value));
    return number.get() != nullptr && PyList_Append(list, number.get()) == 0;
}

// The function table as a dict: name -> entry point.
PyObject* function_table(const Module& module) {
    Ref table(PyDict_New());
    if (table.get() == nullptr) return nullptr;
    for (const auto& [name, entry] : module.functions) {
        Ref key(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        Ref value(PyLong_FromUnsignedLongLong(entry));
        if (key.get() == nullptr || value.get() == nullptr) return nullptr;
        if (PyDict_SetItem(table.get(), key.get(), value.get()) != 0) return nullptr;
    }
    return table.release();
}

// The debug form of the instruction at `index`, under that index in `texts`
// (nothing when the index is outside the instruction list).
bool add_instruction_text(PyObject* texts, const VmState& state, uint64_t index) {
    if (index >= state.instructions.size()) return true;
    const std::string text = debug_form(state.instructions[static_cast<size_t>(index)]);
    Ref key(PyLong_FromUnsignedLongLong(index));
    Ref value(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    return key.get() != nullptr && value.get() != nullptr && PyDict_SetItem(texts, key.get(), value.get()) == 0;
}

// (pc, return pcs of the frames outermost first, function table, debug
// forms of the instructions before pc and before each return pc), or None
// when no module is loaded. After a failed run pc points just past the
// instruction that failed, and each frame's return pc just past its CallR.
PyObject* describe(const VmState& state) {
    if (!state.module.has_value()) {
        Py_INCREF(Py_None);
        return Py_None;
    }
    Ref returns(PyList_New(0));
    Ref texts(PyDict_New());
    if (returns.get() == nullptr || texts.get() == nullptr) return nullptr;
    if (state.pc > 0 && !add_instruction_text(texts.get(), state, state.pc - 1)) return nullptr;
    for (const CallFrame& frame : state.call_stack) {
        if (!append_number(returns.get(), frame.return_pc)) return nullptr;
        if (frame.return_pc > 0 && !add_instruction_text(texts.get(), state, frame.return_pc - 1)) return nullptr;
    }
    Ref functions(function_table(*state.module));
    if (functions.get() == nullptr) return nullptr;
    return Py_BuildValue("(KNNN)", static_cast<unsigned long long>(state.pc), returns.release(), functions.release(),
                         texts.release());
}

PyObject* where(PyObject*, PyObject* vm) {
    try {
        return read_vm_state(vm, describe);
    } catch (...) {
        return raise_current_exception_as_fault();
    }
}

PyMethodDef g_functions[] = {
    {"_where", where, METH_O,
     "_where(vm, /)\n--\n\nWhere the VM stands: (pc, frame return pcs outermost first, "
     "function table, {index: debug form}) for the instruction before pc and before each "
     "return pc; None when no module is loaded."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* where_functions() { return g_functions; }

}  // namespace tarnel::bindings
