#include "vm/frame_analysis.hpp"

#include "vm/state.hpp"

#include <algorithm>

namespace tarnel {

namespace {

RegisterMask bit_if_saved(uint8_t r) { return r < kSavedRegisters ? RegisterMask{1} << r : 0; }

}  // namespace

RegisterMask instruction_writes(const Instruction& ins) {
    const uint8_t slots = write_effect(ins.op).written_slots;
    RegisterMask mask = 0;
    if (slots & kSlotA) mask |= bit_if_saved(ins.a);
    if (slots & kSlotB) mask |= bit_if_saved(ins.b);
    if (slots & kSlotC) mask |= bit_if_saved(ins.c);
    if (ins.op == Opcode::CallR && ins.lists) {
        size_t passed = ins.args().size() < kMaxArguments ? ins.args().size() : kMaxArguments;
        mask |= (RegisterMask{1} << passed) - 1;
    }
    return mask;
}

size_t instruction_successors(const std::vector<Instruction>& code, uint64_t index, uint64_t out[2]) {
    const Instruction& ins = code[index];
    const Flow flow = write_effect(ins.op).flow;
    size_t n = 0;
    if (flow == Flow::Next || flow == Flow::Branch || flow == Flow::Call) {
        if (index + 1 < code.size()) out[n++] = index + 1;
    }
    if (flow == Flow::Jump || flow == Flow::Branch) {
        // The same arithmetic as a taken jump: pc (index + 1) plus the offset
        // in 32 bits, wrapping, widened with sign.
        int32_t target = static_cast<int32_t>(static_cast<uint32_t>(index + 1) + ins.wide);
        uint64_t next = static_cast<uint64_t>(static_cast<int64_t>(target));
        if (next < code.size()) out[n++] = next;
    }
    return n;
}

RegisterMask reachable_writes(const std::vector<Instruction>& code, uint64_t entry, std::vector<uint32_t>& marks,
                              uint32_t& epoch, uint64_t& budget) {
    if (entry >= code.size()) return 0;  // the callee runs off the end at once
    if (marks.size() != code.size()) {
        marks.assign(code.size(), 0);
        epoch = 0;
    }
    if (++epoch == 0) {  // wrapped: forget every old mark
        std::fill(marks.begin(), marks.end(), 0);
        epoch = 1;
    }
    std::vector<uint64_t> pending{entry};
    marks[entry] = epoch;
    RegisterMask mask = 0;
    while (!pending.empty()) {
        if (budget == 0) return kAllSavedRegisterBits;
        --budget;
        uint64_t index = pending.back();
        pending.pop_back();
        mask |= instruction_writes(code[index]);
        if (mask == kAllSavedRegisterBits) return mask;
        uint64_t next[2];
        size_t n = instruction_successors(code, index, next);
        for (size_t i = 0; i < n; ++i) {
            if (marks[next[i]] == epoch) continue;
            marks[next[i]] = epoch;
            pending.push_back(next[i]);
        }
    }
    return mask;
}

}  // namespace tarnel
