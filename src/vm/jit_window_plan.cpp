#include "vm/jit_window_plan.hpp"

#include "vm/frame_analysis.hpp"

namespace tarnel::jit {

namespace {

WindowMask bit_if_in_window(uint8_t r) { return r < 8 ? static_cast<WindowMask>(1u << r) : 0; }

// Calls, returns and jumps read and write only their operands too, and
// change the frames only by their own call or return.
bool plannable(Opcode op) {
    switch (op) {
        case Opcode::JumpR:
        case Opcode::JumpIfR:
        case Opcode::JumpIfNotR:
        case Opcode::CallR:
        case Opcode::ReturnR:
            return true;
        default:
            return touches_only_its_registers(op);
    }
}

// How many successors instruction_successors finds when control stays
// inside the list.
size_t successors_inside(Flow flow) {
    switch (flow) {
        case Flow::Next:
        case Flow::Jump:
        case Flow::Call:
            return 1;
        case Flow::Branch:
            return 2;
        case Flow::Stop:
            return 0;
    }
    return 0;
}

// Marks what control reaches from `from` within its function.
void reach(const std::vector<Instruction>& code, uint64_t from, std::vector<uint8_t>& reached) {
    std::vector<uint64_t> work{from};
    reached[from] = 1;
    while (!work.empty()) {
        const uint64_t i = work.back();
        work.pop_back();
        uint64_t next[2];
        const size_t count = instruction_successors(code, i, next);
        for (size_t k = 0; k < count; ++k) {
            if (reached[next[k]]) continue;
            reached[next[k]] = 1;
            work.push_back(next[k]);
        }
    }
}

// Registers written on every path from the entry (must) and on some (may),
// before each reached instruction.
struct Written {
    std::vector<WindowMask> must, may;
};

Written written_before(const std::vector<Instruction>& code, uint64_t entry, const std::vector<uint8_t>& region) {
    Written w{std::vector<WindowMask>(code.size(), kWholeWindow), std::vector<WindowMask>(code.size(), 0)};
    w.must[entry] = 0;  // the call itself writes none (its arguments are copied)
    std::vector<uint64_t> work{entry};
    std::vector<uint8_t> queued(code.size(), 0);
    queued[entry] = 1;
    while (!work.empty()) {
        const uint64_t i = work.back();
        work.pop_back();
        queued[i] = 0;
        const WindowMask writes = window_access(code[i]).written;
        const WindowMask must_after = w.must[i] | writes;
        const WindowMask may_after = w.may[i] | writes;
        uint64_t next[2];
        const size_t count = instruction_successors(code, i, next);
        for (size_t k = 0; k < count; ++k) {
            const uint64_t s = next[k];
            if (!region[s]) continue;
            const WindowMask must = w.must[s] & must_after;
            const WindowMask may = w.may[s] | may_after;
            if (must == w.must[s] && may == w.may[s]) continue;
            w.must[s] = must;
            w.may[s] = may;
            if (!queued[s]) {
                queued[s] = 1;
                work.push_back(s);
            }
        }
    }
    return w;
}

// Whether the code reached from `entry` can be run with a partly copied
// window: every instruction one the plan takes, and control never leaves
// the list (a run that leaves there would leave the window unset).
bool stays_plannable(const std::vector<Instruction>& code, const std::vector<uint8_t>& region,
                     const std::vector<bool>& excluded) {
    for (uint64_t i = 0; i < code.size(); ++i) {
        if (!region[i]) continue;
        if (!window_access(code[i]).allowed || (i < excluded.size() && excluded[i])) return false;
        uint64_t next[2];
        if (instruction_successors(code, i, next) != successors_inside(info(code[i].op).flow)) return false;
    }
    return true;
}

}  // namespace

bool touches_only_its_registers(Opcode op) {
    switch (op) {
        case Opcode::LoadConstR:
        case Opcode::MoveR:
        case Opcode::LoadGlobalR:
        case Opcode::StoreGlobalR:
        case Opcode::CheckTypeR:
        case Opcode::CastR:
        case Opcode::AddR:
        case Opcode::SubR:
        case Opcode::MulR:
        case Opcode::DivR:
        case Opcode::ModR:
        case Opcode::NegR:
        case Opcode::NotR:
        case Opcode::AndR:
        case Opcode::OrR:
        case Opcode::EqR:
        case Opcode::NeqR:
        case Opcode::LtR:
        case Opcode::GtR:
        case Opcode::LteR:
        case Opcode::GteR:
        case Opcode::ConcatStrR:
        case Opcode::StrLenR:
        case Opcode::NewArrayR:
        case Opcode::ArrayGetR:
        case Opcode::ArraySetR:
        case Opcode::ArrayLenR:
        case Opcode::DictNewR:
        case Opcode::DictGetR:
        case Opcode::DictSetR:
        case Opcode::DictRemoveR:
        case Opcode::DictContainsR:
        case Opcode::DictKeysR:
        case Opcode::DictValuesR:
        case Opcode::DictClearR:
        case Opcode::DictLenR:
        case Opcode::Nop:
            return true;
        default:
            return false;
    }
}

WindowAccess window_access(const Instruction& ins) {
    WindowAccess access;
    access.allowed = plannable(ins.op);
    if (!access.allowed) return access;
    if (ins.op == Opcode::CallR) {
        // The callee's name and the arguments are read; dst gets the result
        // once the call returns. What the callee does to r0..r7 is undone
        // by the return.
        access.read = bit_if_in_window(ins.a);
        for (uint8_t r : ins.args()) access.read |= bit_if_in_window(r);
        access.written = bit_if_in_window(ins.b);
        return access;
    }
    if (ins.op == Opcode::ReturnR) {
        if (ins.has_src()) access.read = bit_if_in_window(ins.a);
        return access;
    }
    for (const OperandSpec& spec : info(ins.op).operands) {
        if (spec.name.empty() || spec.kind != OperandKind::Reg) continue;
        const uint8_t r = spec.slot == Slot::A ? ins.a : spec.slot == Slot::B ? ins.b : ins.c;
        if (spec.access != Access::Out) access.read |= bit_if_in_window(r);
        if (spec.access != Access::In) access.written |= bit_if_in_window(r);
    }
    return access;
}

WindowPlan plan_windows(const std::vector<Instruction>& code, const std::vector<uint64_t>& roots,
                        const std::map<uint64_t, WindowMask>& candidates, const std::vector<bool>& excluded) {
    const size_t n = code.size();
    WindowPlan plan{std::vector<WindowMask>(n + 1, kWholeWindow), {}};
    std::vector<uint64_t> looked_at;
    for (const auto& [entry, args] : candidates) {
        if (looked_at.size() == kMaxPlannedEntries) break;
        if (entry != 0 && entry < n) looked_at.push_back(entry);
    }
    std::vector<uint8_t> others(n, 0);  // reached from a start point other than a candidate
    for (uint64_t root : roots) {
        bool candidate = false;
        for (uint64_t entry : looked_at) candidate = candidate || entry == root;
        if (!candidate && root < n && !others[root]) reach(code, root, others);
    }
    // Each candidate's region, and how many of the start points reach each
    // instruction: a candidate's code must be reached from it alone.
    std::vector<uint8_t> reached_by(others);
    std::vector<std::vector<uint8_t>> regions;
    for (uint64_t entry : looked_at) {
        std::vector<uint8_t>& region = regions.emplace_back(n, 0);
        reach(code, entry, region);
        for (size_t i = 0; i < n; ++i)
            if (region[i] && reached_by[i] < 2) ++reached_by[i];
    }

    for (size_t c = 0; c < looked_at.size(); ++c) {
        const uint64_t entry = looked_at[c];
        const std::vector<uint8_t>& region = regions[c];
        bool alone = true;
        for (size_t i = 0; i < n && alone; ++i) alone = !region[i] || reached_by[i] == 1;
        if (!alone || !stays_plannable(code, region, excluded)) continue;
        const Written w = written_before(code, entry, region);
        // Copied: the arguments, what is read before it is surely written,
        // and what may or may not have been written at some point (the
        // frames can fill in only what was surely not).
        WindowMask copied = candidates.at(entry);
        for (size_t i = 0; i < n; ++i) {
            if (!region[i]) continue;
            copied |= window_access(code[i]).read & ~w.must[i];
            copied |= w.may[i] & ~w.must[i];
        }
        if (copied == kWholeWindow) continue;
        plan.copied_on_entry[entry] = copied;
        for (size_t i = 0; i < n; ++i)
            if (region[i]) plan.valid_before[i] = copied | w.must[i];
    }
    return plan;
}

}  // namespace tarnel::jit
