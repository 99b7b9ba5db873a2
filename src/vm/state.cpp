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
}

}  // namespace tarnel
