#include "vm/jit_return_path.hpp"

#include "vm/fast_code.hpp"
#include "vm/jit_loops.hpp"

namespace tarnel::jit {

namespace {

// What a register of the callee's window holds along the path: a value it
// came with (whose tag the code checks where it matters), or an Int or a
// Bool the path computed.
enum class Held : uint8_t { Incoming, Int, Bool };

struct Walk {
    Held held[kWindowSize] = {};
    uint8_t origin[kWindowSize] = {0, 1, 2, 3, 4, 5, 6, 7};  // of an Incoming value: the register it came in
    ReturnPath path;
    WindowMask written = 0;
};

class Planner {
public:
    Planner(const std::vector<Instruction>& code, const std::vector<Constant>& constants)
        : code_(code), constants_(constants) {}

    bool extend(Walk& walk, uint64_t pc) const {
        if (pc >= code_.size() || walk.path.steps.size() == kMaxPathSteps || visited(walk, pc)) return false;
        const Instruction& ins = code_[pc];
        walk.path.steps.push_back({pc, false});
        if (is_comparison(ins.op)) return integers(walk, ins) && write(walk, ins.a, Held::Bool) && extend(walk, pc + 1);
        switch (ins.op) {
            case Opcode::LoadConstR:
                return write(walk, ins.a, constant_kind(ins)) && extend(walk, pc + 1);
            case Opcode::MoveR:
                return move(walk, ins) && extend(walk, pc + 1);
            case Opcode::AddR:
            case Opcode::SubR:
            case Opcode::MulR:
                return integers(walk, ins) && write(walk, ins.a, Held::Int) && extend(walk, pc + 1);
            case Opcode::JumpR:
                walk.path.steps.back().jumps = true;
                return extend(walk, jump_target(pc, ins.offset()));
            case Opcode::JumpIfR:
            case Opcode::JumpIfNotR:
                return branch(walk, pc, ins);
            case Opcode::ReturnR:
                if (!ins.has_src()) return false;
                read(walk, ins.a);
                return true;
            default:
                return false;
        }
    }

private:
    static bool visited(const Walk& walk, uint64_t pc) {
        for (const ReturnPathStep& step : walk.path.steps)
            if (step.pc == pc) return true;
        return false;
    }
    // A conditional jump on a Bool of the path's own: its fall-through
    // first, then its target, each with a copy of the walk so far.
    bool branch(Walk& walk, uint64_t pc, const Instruction& ins) const {
        if (ins.a >= kWindowSize || walk.held[ins.a] != Held::Bool) return false;
        for (const bool jumps : {false, true}) {
            Walk way = walk;
            way.path.steps.back().jumps = jumps;
            if (extend(way, jumps ? jump_target(pc, ins.offset()) : pc + 1)) {
                walk = std::move(way);
                return true;
            }
        }
        return false;
    }
    Held constant_kind(const Instruction& ins) const {
        if (ins.index() >= constants_.size()) return Held::Incoming;  // refused by write
        const Value& value = constants_[ins.index()].value();
        if (value.is(ValueType::Int)) return Held::Int;
        if (value.is(ValueType::Bool)) return Held::Bool;
        return Held::Incoming;
    }
    // Both operands Ints, or values that came in (checked to be Ints).
    static bool integers(Walk& walk, const Instruction& ins) {
        for (const uint8_t r : {ins.b, ins.c}) {
            if (read(walk, r) == Held::Bool) return false;
        }
        return true;
    }
    static Held read(Walk& walk, uint8_t r) {
        if (r >= kWindowSize) return Held::Incoming;
        if (walk.held[r] == Held::Incoming && walk.origin[r] < kWindowSize)
            walk.path.read_on_entry |= static_cast<WindowMask>(1u << walk.origin[r]);
        return walk.held[r];
    }
    static bool move(Walk& walk, const Instruction& ins) {
        const Held held = read(walk, ins.b);
        if (held != Held::Incoming) return write(walk, ins.a, held);
        if (!write(walk, ins.a, Held::Int)) return false;  // counts the register written
        walk.held[ins.a] = Held::Incoming;
        walk.origin[ins.a] = ins.b < kWindowSize ? walk.origin[ins.b] : ins.b;
        return true;
    }
    // A value the path computed (Held::Incoming: one it cannot hold).
    static bool write(Walk& walk, uint8_t r, Held held) {
        if (r >= kWindowSize || held == Held::Incoming) return false;
        walk.written |= static_cast<WindowMask>(1u << r);
        if (static_cast<size_t>(__builtin_popcount(walk.written)) > kMaxPathRegisters) return false;
        walk.held[r] = held;
        return true;
    }

    const std::vector<Instruction>& code_;
    const std::vector<Constant>& constants_;
};

}  // namespace

ReturnPath plan_return_path(const std::vector<Instruction>& code, const std::vector<Constant>& constants,
                            uint64_t entry) {
    Walk walk;
    if (!Planner(code, constants).extend(walk, entry)) return {};
    return walk.path;
}

WindowMask ints_read_on_entry(const std::vector<Instruction>& code, const ReturnPath& path, size_t last) {
    WindowMask ints = 0, written = 0;
    for (size_t k = 0; k <= last && k < path.steps.size(); ++k) {
        const Instruction& ins = code[path.steps[k].pc];
        const bool arithmetic = ins.op == Opcode::AddR || ins.op == Opcode::SubR || ins.op == Opcode::MulR;
        if (arithmetic || is_comparison(ins.op)) {
            for (uint8_t r : {ins.b, ins.c}) {
                if (r < kWindowSize && (written >> r & 1) == 0) ints |= static_cast<WindowMask>(1u << r);
            }
        }
        written |= window_access(ins).written;
    }
    return ints & static_cast<WindowMask>(~written);
}

}  // namespace tarnel::jit
