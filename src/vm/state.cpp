#include "vm/state.hpp"

namespace tarnel {

void VmState::reset_for_module(Module new_module) {
    instructions = new_module.instructions;
    constants = new_module.constants;
    module = std::move(new_module);
    pc = 0;
    halted = false;
    last_jump.reset();
    scope_stack.clear();
    call_stack.clear();
    globals.clear();
    for (Value& r : registers) r = Value();
    register_types.fill(ValueType::Empty);
    call_sites.assign(instructions.size(), CallSiteCache{});
}

bool VmState::push_frame(uint64_t return_pc, uint8_t return_register) {
    if (call_stack.size() >= kMaxCallDepth) return false;
    CallFrame& frame = call_stack.emplace_back();
    Value::copy_block(frame.saved_registers.data(), registers.data(), kSavedRegisters);
    frame.return_pc = return_pc;
    frame.return_register = return_register;
    return true;
}

std::pair<uint64_t, std::optional<uint8_t>> VmState::pop_frame() {
    CallFrame& frame = call_stack.back();
    Value::move_block(registers.data(), frame.saved_registers.data(), kSavedRegisters);
    for (size_t r = 0; r < kSavedRegisters; ++r) register_types[r] = registers[r].type();
    std::pair<uint64_t, std::optional<uint8_t>> target{frame.return_pc, frame.return_register};
    call_stack.pop_back();
    return target;
}

}  // namespace tarnel
