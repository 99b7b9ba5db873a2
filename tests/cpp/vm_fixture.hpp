// Helpers for tests that run modules assembled in memory.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "loader/module.hpp"
#include "vm/engine.hpp"
#include "vm/state.hpp"

namespace tarnel::testing {

using Op = Opcode;

// Sets TARNEL_JIT for as long as it lives, then puts back what was there,
// so that the tests after it still run in the mode the whole suite was
// started in (CI runs it with TARNEL_JIT=0 and =always).
class JitSwitch {
public:
    explicit JitSwitch(const char* value) {
        if (const char* before = std::getenv("TARNEL_JIT")) before_ = before;
        setenv("TARNEL_JIT", value, 1);
    }
    ~JitSwitch() {
        if (before_)
            setenv("TARNEL_JIT", before_->c_str(), 1);
        else
            unsetenv("TARNEL_JIT");
    }
    JitSwitch(const JitSwitch&) = delete;
    JitSwitch& operator=(const JitSwitch&) = delete;

private:
    std::optional<std::string> before_;
};

inline Instruction I(Opcode op, std::initializer_list<int64_t> operands = {}) {
    return Instruction::make(op, operands);
}

inline Module make_module(std::vector<Instruction> code, std::vector<Constant> constants = {},
                          TextMap<uint64_t> functions = {}) {
    Module m;
    m.name = "test";
    m.instructions = std::move(code);
    m.constants = std::move(constants);
    m.functions = std::move(functions);
    return m;
}

// Outcome of a run in a comparable form: the debug form-free display of the
// result ("none" when there is none) or "error: <message>".
struct Outcome {
    bool ok;
    std::optional<Value> value;
    std::string message;
};

inline Outcome run_state(VmState& vm) {
    auto result = run(vm);
    if (result) return {true, std::move(result).value(), {}};
    const RunError& error = result.error();
    if (const VmError* vm_error = std::get_if<VmError>(&error)) return {false, std::nullopt, vm_error->message()};
    return {false, std::nullopt, "fault: " + std::get<InternalFault>(error).message};
}

inline Outcome run_module(Module module, VmState* keep = nullptr) {
    VmState local;
    VmState& vm = keep ? *keep : local;
    vm.reset_for_module(std::move(module));
    return run_state(vm);
}

}  // namespace tarnel::testing
