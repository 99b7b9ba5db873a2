#include "vm/jit_payoff.hpp"

#include "vm/fast_code.hpp"

namespace tarnel::jit {

bool pays_off(const std::vector<Instruction>& code, const std::vector<bool>& native) {
    const size_t n = code.size();
    // handlers_before[i]: instructions before i that call their handler.
    std::vector<size_t> handlers_before(n + 1, 0);
    for (size_t i = 0; i < n; ++i) handlers_before[i + 1] = handlers_before[i] + (native[i] ? 0 : 1);
    long balance = 0;
    for (size_t j = 0; j < n; ++j) {
        const Opcode op = code[j].op;
        if (op != Opcode::JumpR && op != Opcode::JumpIfR && op != Opcode::JumpIfNotR) continue;
        const uint64_t target = jump_target(j, code[j].offset());
        if (target > j) continue;  // forward, or outside the list: not a loop's back edge
        const auto handlers = static_cast<long>(handlers_before[j + 1] - handlers_before[target]);
        const auto own = static_cast<long>(j + 1 - target) - handlers;
        balance += kNativeGain * own - kHandlerLoss * handlers;
    }
    return balance >= 0;
}

}  // namespace tarnel::jit
