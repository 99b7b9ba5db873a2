#include "vm/state.hpp"

#include <algorithm>

namespace tarnel {

void VmState::reset_for_module(Module new_module) {
    instructions = new_module.instructions;
    constants = new_module.constants;
    module = std::move(new_module);
    pc = 0;
    halted = false;
    declared_saved_tags = false;
    last_jump.reset();
    scope_stack.clear();
    call_stack.clear();
    globals.clear();
    for (Value& r : registers) r = Value();
    register_types.fill(ValueType::Empty);
    call_sites.assign(instructions.size(), CallSiteCache{});
    constant_values.clear();
    constant_values.reserve(constants.size());
    for (const Constant& constant : constants) constant_values.push_back(constant_value(constant));
}

bool VmState::push_frame(uint64_t return_pc, uint8_t return_register) {
    if (call_stack.size() >= kMaxCallDepth) return false;
    CallFrame& frame = call_stack.emplace_back();
    Value::copy_block<kSavedRegisters>(frame.saved_registers.data(), registers.data());
    std::copy_n(register_types.begin(), kSavedRegisters, frame.saved_types.begin());
    frame.live = true;
    frame.return_pc = return_pc;
    frame.return_register = return_register;
    return true;
}

std::pair<uint64_t, std::optional<uint8_t>> VmState::pop_frame() {
    CallFrame& frame = call_stack.back();
    Value::replace_block<kSavedRegisters>(registers.data(), frame.saved_registers.data());
    if (declared_saved_tags) {
        // A declared tag may have been saved: the restored tags are the values' own.
        for (size_t r = 0; r < kSavedRegisters; ++r) register_types[r] = registers[r].type();
    } else {
        std::copy_n(frame.saved_types.begin(), kSavedRegisters, register_types.begin());
    }
    frame.live = false;
    std::pair<uint64_t, std::optional<uint8_t>> target{frame.return_pc, frame.return_register};
    call_stack.pop_back();
    return target;
}

}  // namespace tarnel
