// Call frames that save only what the callee can change.
//
// A frame saves the caller's registers among r0..r63 that code reachable
// from the callee's entry point can write, plus the call's argument
// registers. Everything observable must be exactly what a frame saving all of
// r0..r63 gives: TestSwitches::always_save_all_registers builds such frames, and
// most tests here run the same program both ways and compare everything a
// host or a later run can see.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "values/dict_map.hpp"
#include "vm/fast_code.hpp"
#include "vm/frame_analysis.hpp"
#include "vm_fixture.hpp"

namespace tarnel {
namespace {

using namespace tarnel::testing;

uint64_t bit(int r) { return uint64_t{1} << r; }
uint64_t low_bits(int n) { return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1; }

// ---- what the analysis says a function can write ------------------------------

struct AnalysisCase {
    std::string name;
    std::vector<Instruction> code;
    uint64_t entry;
    uint64_t expected;
};

class FrameAnalysis : public ::testing::TestWithParam<AnalysisCase> {};

TEST_P(FrameAnalysis, WritesReachableFromEntry) {
    const AnalysisCase& c = GetParam();
    std::vector<uint32_t> marks;
    uint32_t epoch = 0;
    uint64_t budget = 1000;
    EXPECT_EQ(reachable_writes(c.code, c.entry, marks, epoch, budget), c.expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, FrameAnalysis,
    ::testing::Values(
        AnalysisCase{"straight line to a return",
                     {I(Op::LoadConstR, {1, 0}), I(Op::AddR, {2, 1, 1}), I(Op::ReturnR, {2}), I(Op::MoveR, {9, 1})},
                     0,
                     bit(1) | bit(2)},
        AnalysisCase{"entry in the middle", {I(Op::MoveR, {9, 1}), I(Op::MoveR, {3, 1}), I(Op::ReturnR)}, 1, bit(3)},
        AnalysisCase{"r64 and above are not saved",
                     {I(Op::MoveR, {64, 1}), I(Op::MoveR, {255, 1}), I(Op::MoveR, {63, 1})},
                     0,
                     bit(63)},
        AnalysisCase{"Halt stops", {I(Op::MoveR, {1, 0}), I(Op::Halt), I(Op::MoveR, {2, 0})}, 0, bit(1)},
        AnalysisCase{"unconditional jump skips",
                     {I(Op::JumpR, {1}), I(Op::MoveR, {5, 0}), I(Op::MoveR, {6, 0}), I(Op::ReturnR)},
                     0,
                     bit(6)},
        AnalysisCase{
            "conditional jump takes both ways",
            {I(Op::JumpIfR, {0, 2}), I(Op::MoveR, {5, 0}), I(Op::ReturnR), I(Op::MoveR, {6, 0}), I(Op::ReturnR)},
            0,
            bit(5) | bit(6)},
        AnalysisCase{
            "JumpIfNotR likewise",
            {I(Op::JumpIfNotR, {0, 2}), I(Op::MoveR, {5, 0}), I(Op::ReturnR), I(Op::MoveR, {6, 0}), I(Op::ReturnR)},
            0,
            bit(5) | bit(6)},
        AnalysisCase{"backward jump reaches code before the entry",
                     {I(Op::MoveR, {7, 0}), I(Op::ReturnR), I(Op::MoveR, {8, 0}), I(Op::JumpR, {-4})},
                     2,
                     bit(7) | bit(8)},
        AnalysisCase{"jump outside the list is ignored",
                     {I(Op::JumpIfR, {0, 100}), I(Op::JumpIfR, {0, -5}), I(Op::MoveR, {4, 0})},
                     0,
                     bit(4)},
        AnalysisCase{"offset wraps in 32 bits",
                     {I(Op::JumpR, {static_cast<int64_t>(uint32_t{0xFFFFFFFF} + 3)}), I(Op::MoveR, {1, 0}),
                      I(Op::ReturnR), I(Op::MoveR, {2, 0})},
                     0,
                     bit(2)},
        AnalysisCase{"loop", {I(Op::MoveR, {1, 0}), I(Op::JumpIfR, {0, -2}), I(Op::ReturnR)}, 0, bit(1)},
        AnalysisCase{"falls through into the next function",
                     {I(Op::MoveR, {1, 0}), I(Op::MoveR, {2, 0}), I(Op::ReturnR)},
                     0,
                     bit(1) | bit(2)},
        AnalysisCase{"runs off the end", {I(Op::MoveR, {1, 0})}, 0, bit(1)},
        AnalysisCase{"entry past the end", {I(Op::MoveR, {1, 0})}, 5, 0},
        AnalysisCase{"call: arguments, dst, and on after it",
                     {Instruction::call(40, {50, 51, 52}, 30), I(Op::MoveR, {20, 0}), I(Op::ReturnR)},
                     0,
                     low_bits(3) | bit(30) | bit(20)},
        AnalysisCase{"call passes at most sixteen",
                     {Instruction::call(40, std::vector<uint8_t>(17, 50), 100), I(Op::ReturnR)},
                     0,
                     low_bits(16)},
        AnalysisCase{"call without arguments into r64+", {Instruction::call(40, {}, 70), I(Op::ReturnR)}, 0, 0},
        AnalysisCase{"DefineR writes a tag", {I(Op::DefineR, {12, 2}), I(Op::ReturnR)}, 0, bit(12)},
        AnalysisCase{"container updates write the container's register",
                     {I(Op::ArraySetR, {1, 2, 3}), I(Op::DictSetR, {4, 5, 6}), I(Op::DictRemoveR, {7, 8}),
                      I(Op::DictClearR, {9}), I(Op::ReturnR)},
                     0,
                     bit(1) | bit(4) | bit(7) | bit(9)},
        AnalysisCase{"reads only", {I(Op::StoreGlobalR, {1, 0}), I(Op::DebugPrint, {2}), I(Op::ReturnR, {3})}, 0, 0},
        AnalysisCase{"phi", {Instruction::phi(33, {{1, 0}}), I(Op::ReturnR)}, 0, bit(33)}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

TEST(FrameAnalysisBudget, RunningOutMeansEveryRegister) {
    std::vector<Instruction> code = {I(Op::MoveR, {1, 0}), I(Op::MoveR, {2, 0}), I(Op::MoveR, {3, 0}), I(Op::ReturnR)};
    std::vector<uint32_t> marks;
    uint32_t epoch = 0;
    uint64_t budget = 2;
    EXPECT_EQ(reachable_writes(code, 0, marks, epoch, budget), ~uint64_t{0});
    budget = 4;
    EXPECT_EQ(reachable_writes(code, 0, marks, epoch, budget), bit(1) | bit(2) | bit(3));
    EXPECT_EQ(budget, 0u);
}

// What each kind writes, checked against what executing it does: random
// register contents, random operands from a small set (so they collide), one
// step, and every register whose value or tag changed must be one the table
// names.
TEST(FrameAnalysis, WriteTableCoversWhatEachKindChanges) {
    std::mt19937_64 rng(7);
    const std::vector<Constant> k = {Constant::of_int(2), Constant::of_string("k"), Constant::of_string("f"),
                                     Constant::of_float(1.5)};
    auto random_value = [&](int kind) -> Value {
        switch (kind % 8) {
            case 0:
                return Value();
            case 1:
                return Value::integer(static_cast<int64_t>(rng() % 5) - 1);
            case 2:
                return Value::number(0.5);
            case 3:
                return Value::boolean(rng() % 2);
            case 4:
                return Value::string(rng() % 2 ? "k" : "ab");
            case 5:
                return Value::array({Value::integer(1), Value::string("x"), Value()});
            case 6: {
                Value d = Value::dict();
                d.mutable_entries().set(Value::string("k"), Value::integer(9));
                return d;
            }
            default:
                return Value::string("f");
        }
    };
    const uint8_t pool[] = {0, 1, 2, 3, 62, 63, 64, 65};
    std::set<Opcode> seen;
    for (int round = 0; round < 20000; ++round) {
        Opcode op = static_cast<Opcode>(rng() % kOpcodeCount);
        if (op == Opcode::ReturnR || op == Opcode::DebugPrint) continue;  // ReturnR restores a frame: tested below
        uint8_t a = pool[rng() % 8], b = pool[rng() % 8], c = pool[rng() % 8];
        Instruction ins;
        if (op == Opcode::CallR) {
            std::vector<uint8_t> args;
            for (size_t n = rng() % 18; n > 0; --n) args.push_back(pool[rng() % 8]);
            ins = Instruction::call(a, args, b);
        } else if (op == Opcode::PhiR) {
            ins = Instruction::phi(a, {{b, 0}, {c, 1}});
        } else if (op == Opcode::AssertR) {
            ins = Instruction::assertion(a, AssertType::truthy(), 1);
        } else {
            ins = Instruction::make(op, {a, b, c});
            const auto& operands = info(op).operands;
            for (size_t i = 0; i < info(op).operand_count(); ++i)
                if (operands[i].kind == OperandKind::U16) ins.wide = static_cast<uint32_t>(rng() % 5);
        }
        VmState vm;
        vm.reset_for_module(make_module({ins, I(Op::ReturnR)}, k, {{"f", 1}}));
        for (uint8_t r : pool) vm.write_register(r, random_value(static_cast<int>(rng())));
        vm.last_jump = static_cast<uint16_t>(rng() % 2);
        std::vector<std::string> before;
        for (size_t r = 0; r < kRegisterCount; ++r)
            before.push_back(std::to_string(static_cast<int>(vm.register_types[r])) + display_text(vm.registers[r]));
        vm.pc = 1;
        (void)execute_instruction(vm, ins);
        // The table's registers over all 256, and the analysis' view of them.
        std::set<size_t> allowed;
        const uint8_t slots = write_effect(op).written_slots;
        if (slots & kSlotA) allowed.insert(ins.a);
        if (slots & kSlotB) allowed.insert(ins.b);
        if (slots & kSlotC) allowed.insert(ins.c);
        if (op == Opcode::CallR) {
            allowed.erase(ins.b);  // the dst is written only when the callee returns
            for (size_t i = 0; i < std::min<size_t>(ins.args().size(), kMaxArguments); ++i) allowed.insert(i);
        }
        uint64_t analysed = instruction_writes(ins);
        for (size_t r = 0; r < kSavedRegisters; ++r)
            if (allowed.count(r)) {
                EXPECT_TRUE(analysed >> r & 1) << info(op).name << " r" << r;
            }
        for (size_t r = 0; r < kRegisterCount; ++r) {
            std::string now = std::to_string(static_cast<int>(vm.register_types[r])) + display_text(vm.registers[r]);
            if (now == before[r]) continue;
            EXPECT_TRUE(allowed.count(r)) << info(op).name << " wrote r" << r;
        }
        seen.insert(op);
    }
    EXPECT_EQ(seen.size(), kOpcodeCount - 2);
}

// The register slots the table names, against the operand names of the
// instruction table: every written slot is a register the kind has.
TEST(FrameAnalysis, TableRowsNameRegisterOperands) {
    for (size_t i = 0; i < kOpcodeCount; ++i) {
        const WriteEffect& effect = kWriteEffects[i];
        ASSERT_EQ(static_cast<size_t>(effect.op), i);
        std::vector<std::string_view> registers;
        for (const auto& operand : kInstructionInfo[i].operands)
            if (operand.kind == OperandKind::Reg || operand.kind == OperandKind::OptReg)
                registers.push_back(operand.name);
        for (size_t slot = 0; slot < 3; ++slot) {
            if (!((effect.written_slots >> slot) & 1)) continue;
            ASSERT_LT(slot, registers.size()) << kInstructionInfo[i].name;
            std::string_view name = registers[slot];
            EXPECT_TRUE(name == "dst" || name == "array" || name == "dict") << kInstructionInfo[i].name << " " << name;
        }
        // Every "dst" operand is written.
        for (size_t slot = 0; slot < registers.size(); ++slot)
            if (registers[slot] == "dst") {
                EXPECT_TRUE((effect.written_slots >> slot) & 1) << kInstructionInfo[i].name;
            }
    }
}

// ---- observable state -------------------------------------------------------------

std::string describe(const Value& v) { return std::string(debug_name(v.type())) + ":" + display_text(v); }

struct Observed {
    std::vector<std::string> registers;  // value and tag of all 256
    std::map<std::string, std::string> globals;
    uint64_t pc = 0;
    bool halted = false;
    size_t depth = 0;
    uint64_t count = 0;
    std::optional<uint16_t> last_jump;
    std::string outcome;
    bool operator==(const Observed&) const = default;
};

Observed observe(const VmState& vm, std::string outcome) {
    Observed o;
    for (size_t r = 0; r < kRegisterCount; ++r)
        o.registers.push_back(describe(vm.registers[r]) + "/" + std::string(debug_name(vm.register_types[r])));
    for (const auto& [name, value] : vm.globals) o.globals[name] = describe(value);
    o.pc = vm.pc;
    o.halted = vm.halted;
    o.depth = vm.call_stack.size();
    o.count = vm.instruction_count;
    o.last_jump = vm.last_jump;
    o.outcome = std::move(outcome);
    return o;
}

std::string outcome_text(const Outcome& outcome) {
    if (!outcome.ok) return "error: " + outcome.message;
    return outcome.value ? describe(*outcome.value) : "none";
}

std::string diff(const Observed& a, const Observed& b) {
    std::string out;
    for (size_t r = 0; r < kRegisterCount; ++r)
        if (a.registers[r] != b.registers[r])
            out += " r" + std::to_string(r) + ": " + a.registers[r] + " vs " + b.registers[r];
    if (a.globals != b.globals) out += " globals differ";
    if (a.pc != b.pc) out += " pc " + std::to_string(a.pc) + " vs " + std::to_string(b.pc);
    if (a.halted != b.halted) out += " halted differs";
    if (a.depth != b.depth) out += " depth " + std::to_string(a.depth) + " vs " + std::to_string(b.depth);
    if (a.count != b.count) out += " count " + std::to_string(a.count) + " vs " + std::to_string(b.count);
    if (a.last_jump != b.last_jump) out += " last_jump differs";
    if (a.outcome != b.outcome) out += " outcome " + a.outcome + " vs " + b.outcome;
    return out;
}

// Returns into every frame left on the stack, one ReturnR at a time,
// observing after each.
void unwind(VmState& vm, std::vector<Observed>& log, size_t limit) {
    for (size_t i = 0; i < limit && !vm.call_stack.empty(); ++i) {
        auto step = execute_instruction(vm, I(Op::ReturnR));
        log.push_back(observe(vm, step ? "popped" : "failed"));
    }
}

// One scenario, run with frames saving what the callee can write and with
// frames saving everything: a module, then runs (each resetting the global
// "fuel" first), then the frames left unwound.
struct Scenario {
    Module module;
    int runs = 2;
    bool unwind = true;
    std::vector<std::pair<uint8_t, Value>> preset;  // written before the first run
};

std::vector<Observed> play(const Scenario& s, bool full, bool plain_loop = false) {
    VmState vm;
    vm.testing.always_save_all_registers = full;
    vm.testing.plain_run_loop = plain_loop;
    vm.reset_for_module(s.module);
    for (const auto& [r, v] : s.preset) vm.write_register(r, v);
    std::vector<Observed> log;
    for (int i = 0; i < s.runs; ++i) {
        vm.globals["fuel"] = Value::integer(12);
        log.push_back(observe(vm, outcome_text(run_state(vm))));
    }
    if (s.unwind) unwind(vm, log, 64);
    return log;
}

void expect_same_both_ways(const Scenario& s, const std::string& label) {
    std::vector<Observed> partial = play(s, false);
    std::vector<Observed> full = play(s, true);
    ASSERT_EQ(partial.size(), full.size()) << label;
    for (size_t i = 0; i < partial.size(); ++i)
        ASSERT_TRUE(partial[i] == full[i]) << label << " step " << i << ":" << diff(partial[i], full[i]);
}

// ---- targeted cases ------------------------------------------------------------------

struct FrameCase {
    std::string name;
    Scenario scenario;
    // Checked after the first run: register -> describe() of its value, and
    // tags where given.
    std::vector<std::pair<int, std::string>> registers;
    std::vector<std::pair<int, ValueType>> tags;
    std::string outcome;
};

Value array_of(std::vector<int64_t> items) {
    std::vector<Value> values;
    for (int64_t i : items) values.push_back(Value::integer(i));
    return Value::array(std::move(values));
}

Value dict_of(std::string key, int64_t value) {
    Value d = Value::dict();
    d.mutable_entries().set(Value::string(std::move(key)), Value::integer(value));
    return d;
}

std::vector<FrameCase> frame_cases() {
    std::vector<FrameCase> cases;
    const std::vector<Constant> k = {Constant::of_string("f"),   Constant::of_int(1),      Constant::of_int(0),
                                     Constant::of_string("key"), Constant::of_string("g"), Constant::of_string("h")};
    std::vector<std::pair<uint8_t, Value>> preset;
    for (int r = 0; r < 64; ++r) preset.emplace_back(r, Value::integer(1000 + r));
    preset.emplace_back(5, array_of({1, 2, 3}));
    preset.emplace_back(6, dict_of("key", 7));
    preset.emplace_back(7, Value::string("seven"));

    // main: call f() -> r40; return r40.
    auto call_f = [&](std::vector<Instruction> f, std::vector<uint8_t> args = {}) {
        std::vector<Instruction> code = {I(Op::LoadConstR, {20, 0}), Instruction::call(20, args, 40),
                                         I(Op::ReturnR, {40})};
        uint64_t entry = code.size();
        code.insert(code.end(), f.begin(), f.end());
        return make_module(code, k, {{"main", 0}, {"f", entry}});
    };

    cases.push_back(
        {"callee writes none of r0..r63",
         {call_f({I(Op::LoadConstR, {100, 1}), I(Op::MoveR, {101, 7}), I(Op::ReturnR, {100})}), 1, true, preset},
         {{3, "Int:1003"}, {7, "String:seven"}, {40, "Int:1"}, {100, "Int:1"}, {101, "String:seven"}},
         {},
         "Int:1"});
    cases.push_back(
        {"callee updates the caller's array in place",
         {call_f({I(Op::LoadConstR, {9, 2}), I(Op::ArraySetR, {5, 9, 7}), I(Op::MoveR, {100, 5}), I(Op::ReturnR, {5})}),
          1, true, preset},
         {{5, "Array:[1, 2, 3]"}, {100, "Array:[seven, 2, 3]"}, {40, "Array:[seven, 2, 3]"}},
         {{5, ValueType::Array}},
         "Array:[seven, 2, 3]"});
    cases.push_back({"callee updates the caller's dict",
                     {call_f({I(Op::LoadConstR, {9, 3}), I(Op::DictSetR, {6, 9, 7}), I(Op::MoveR, {100, 6}),
                              I(Op::DictRemoveR, {6, 9}), I(Op::DictClearR, {6}), I(Op::ReturnR, {100})}),
                      1, true, preset},
                     {{6, "Dict:{key: 7}"}, {100, "Dict:{key: seven}"}},
                     {{6, ValueType::Dict}},
                     "Dict:{key: seven}"});
    cases.push_back({"DefineR inside the callee",
                     {call_f({I(Op::DefineR, {3, 3}), I(Op::DefineR, {70, 3}), I(Op::ReturnR)}), 1, true, preset},
                     {{3, "Int:1003"}},
                     {{3, ValueType::Int}, {70, ValueType::Float}},
                     "Int:1040"});
    {
        // The first declared tag, two calls deep: the frames of both calls
        // were pushed partial, and still give back exactly what they saved.
        // g declares Int on r9 while it holds an array: the array must
        // still be released when f's frame gives r9 back.
        Module m = call_f({I(Op::MoveR, {9, 7}), I(Op::LoadConstR, {21, 4}), Instruction::call(21, {}, 41),
                           I(Op::ReturnR, {41}), I(Op::DefineR, {3, 3}), I(Op::MoveR, {9, 5}), I(Op::DefineR, {9, 2}),
                           I(Op::LoadConstR, {42, 1}), I(Op::ReturnR, {42})});
        m.functions["g"] = 7;
        cases.push_back({"DefineR two calls deep",
                         {m, 1, true, preset},
                         {{3, "Int:1003"}, {9, "Int:1009"}, {40, "Int:1"}, {41, "Int:1041"}, {42, "Int:1042"}},
                         {{3, ValueType::Int}, {9, ValueType::Int}},
                         "Int:1"});
    }
    {
        // The call is the list's last instruction: its return ends the run,
        // through the handler the first time and the quick path the second.
        Module m = make_module({I(Op::JumpR, {2}), I(Op::LoadConstR, {41, 1}), I(Op::ReturnR, {41}),
                                I(Op::LoadConstR, {20, 0}), Instruction::call(20, {}, 40)},
                               k, {{"main", 0}, {"f", 1}});
        cases.push_back({"return to the end of the list", {m, 3, true, preset}, {{40, "Int:1"}}, {}, "none"});
    }
    {
        // The first run calls f, then declares Float on r4 (which f writes)
        // and runs off the end; the second calls f through the same site,
        // whose frame must now restore r4's tag from its value.
        Module m = make_module({I(Op::LoadConstR, {20, 0}), Instruction::call(20, {}, 40),
                                I(Op::CheckTypeR, {44, 4, 3}), I(Op::DefineR, {4, 3}), I(Op::JumpR, {3}),
                                I(Op::MoveR, {4, 7}), I(Op::LoadConstR, {43, 1}), I(Op::ReturnR, {43})},
                               k, {{"main", 0}, {"f", 5}});
        cases.push_back({"DefineR after a call site's first call",
                         {m, 2, true, preset},
                         {{4, "Int:1004"}, {40, "Int:1"}, {43, "Int:1043"}, {44, "Bool:false"}},
                         {{4, ValueType::Float}},
                         "none"});
    }
    {
        Module m = call_f({I(Op::MoveR, {3, 7}), I(Op::ReturnR)});
        m.instructions.insert(m.instructions.begin(), I(Op::DefineR, {4, 3}));
        for (auto& [name, entry] : m.functions) entry += 1;
        m.instructions[2] = Instruction::call(20, {}, 40);
        cases.push_back({"DefineR before the call",
                         {m, 1, true, preset},
                         {{3, "Int:1003"}, {4, "Int:1004"}},
                         {{3, ValueType::Int}, {4, ValueType::Int}},
                         "Int:1040"});
    }
    {
        // args [1, 0]: r0 gets old r1, then r1 gets the new r0.
        cases.push_back(
            {"arguments [1, 0]",
             {call_f({I(Op::MoveR, {100, 0}), I(Op::MoveR, {101, 1}), I(Op::ReturnR, {1})}, {1, 0}), 1, true, preset},
             {{0, "Int:1000"}, {1, "Int:1001"}, {100, "Int:1001"}, {101, "Int:1001"}, {40, "Int:1001"}},
             {},
             "Int:1001"});
    }
    {
        std::vector<uint8_t> args;
        for (int i = 0; i < 17; ++i) args.push_back(static_cast<uint8_t>(30 + i));
        cases.push_back({"seventeen arguments",
                         {call_f({I(Op::MoveR, {100, 15}), I(Op::MoveR, {101, 16}), I(Op::LoadConstR, {16, 1}),
                                  I(Op::ReturnR, {15})},
                                 args),
                          1, true, preset},
                         {{15, "Int:1015"}, {16, "Int:1016"}, {100, "Int:1045"}, {101, "Int:1016"}},
                         {},
                         "Int:1045"});
    }
    {
        // rec(n): r1 = n - 1; r2 = [n]; if r1 > 0 rec(r1) -> r3; return r1.
        // main: rec(1005) overflows at frame 1,000; the re-run starts at
        // main again and overflows again; then the frames are unwound.
        std::vector<Constant> rk = {Constant::of_string("rec"), Constant::of_int(1005), Constant::of_int(1),
                                    Constant::of_int(0)};
        std::vector<Instruction> code = {I(Op::LoadConstR, {10, 1}), I(Op::LoadConstR, {11, 0}),
                                         Instruction::call(11, {10}, 12), I(Op::ReturnR, {12}),
                                         // rec at 4
                                         I(Op::LoadConstR, {4, 2}), I(Op::SubR, {1, 0, 4}), I(Op::LoadConstR, {3, 3}),
                                         I(Op::NewArrayR, {2, 4}), I(Op::ArraySetR, {2, 3, 0}), I(Op::GtR, {5, 1, 3}),
                                         I(Op::JumpIfNotR, {5, 1}), Instruction::call(11, {1}, 3), I(Op::ReturnR, {1})};
        cases.push_back({"stack overflow, re-run, unwind",
                         {make_module(code, rk, {{"main", 0}, {"rec", 4}}), 2, true, {}},
                         {{0, "Int:5"}, {1, "Int:5"}, {2, "Array:[6]"}},
                         {},
                         "error: Stack overflow"});
    }
    return cases;
}

class FrameCases : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameCases, SameAsSavingEverything) {
    const FrameCase& c = GetParam();
    expect_same_both_ways(c.scenario, c.name);

    VmState vm;
    vm.reset_for_module(c.scenario.module);
    for (const auto& [r, v] : c.scenario.preset) vm.write_register(r, v);
    auto outcome = run_state(vm);
    EXPECT_EQ(outcome_text(outcome), c.outcome) << c.name;
    for (const auto& [r, text] : c.registers) EXPECT_EQ(describe(vm.registers[r]), text) << c.name << " r" << r;
    for (const auto& [r, tag] : c.tags) EXPECT_EQ(vm.register_types[r], tag) << c.name << " r" << r;
}

INSTANTIATE_TEST_SUITE_P(Table, FrameCases, ::testing::ValuesIn(frame_cases()), [](const auto& info) {
    std::string name = info.param.name;
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
});

TEST(FrameSaving, OnlyWhatTheCalleeWritesIsSaved) {
    // f writes r1 and r2; the call passes two arguments (r0, r1).
    VmState vm;
    vm.reset_for_module(make_module({I(Op::MoveR, {1, 0}), I(Op::MoveR, {2, 0}), I(Op::ReturnR), I(Op::Halt)}, {},
                                    {{"f", 0}, {"g", 3}}));
    EXPECT_EQ(vm.callee_writes(0), bit(1) | bit(2));
    EXPECT_EQ(vm.callee_writes(3), 0u);
    EXPECT_EQ(vm.callee_writes(99), 0u);
    ASSERT_TRUE(vm.push_frame(7, 9, vm.callee_writes(0) | low_bits(2)));
    EXPECT_EQ(vm.call_stack.back().saved, bit(0) | bit(1) | bit(2));
    vm.pop_frame();
    vm.testing.always_save_all_registers = true;
    ASSERT_TRUE(vm.push_frame(7, 9, 0));
    EXPECT_TRUE(vm.call_stack.back().is_full());
    vm.pop_frame();
    vm.testing.always_save_all_registers = false;
    vm.declared_saved_tags = true;
    ASSERT_TRUE(vm.push_frame(7, 9, 0));
    EXPECT_TRUE(vm.call_stack.back().is_full());
}

// Frames pushed by hand, registers changed only inside each frame's set (as
// a callee would), then filled: each frame must then hold the registers as
// they were when it was pushed, and popping restores exactly those.
TEST(FrameSaving, FillingPartialFramesRebuildsEachCallersRegisters) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 300; ++round) {
        VmState vm;
        vm.reset_for_module(make_module({}));
        auto value = [&]() -> Value {
            switch (rng() % 4) {
                case 0:
                    return Value::integer(static_cast<int64_t>(rng() % 100));
                case 1:
                    return Value::string("s" + std::to_string(rng() % 10));
                case 2:
                    return array_of({static_cast<int64_t>(rng() % 9)});
                default:
                    return Value();
            }
        };
        for (int r = 0; r < 64; ++r) vm.write_register(static_cast<uint8_t>(r), value());
        // A few full frames at the bottom, as a failed run leaves them.
        std::vector<std::vector<std::string>> at_push;
        auto snapshot = [&]() {
            std::vector<std::string> s;
            for (int r = 0; r < 64; ++r)
                s.push_back(describe(vm.registers[r]) + "/" + std::string(debug_name(vm.register_types[r])));
            return s;
        };
        const int full = static_cast<int>(rng() % 3);
        const int depth = full + 1 + static_cast<int>(rng() % 5);
        for (int i = 0; i < depth; ++i) {
            // Full frames at the bottom (left by an earlier run) and here and
            // there above (a dense set, or a call after a declared tag).
            uint64_t mask = i < full || rng() % 5 == 0 ? ~uint64_t{0} : (rng() & rng() & rng());
            if (i >= full && rng() % 4 == 0) mask = 0;
            at_push.push_back(snapshot());
            ASSERT_TRUE(vm.push_frame(static_cast<uint64_t>(i), 200, mask));
            EXPECT_EQ(vm.call_stack.back().is_full(), mask == ~uint64_t{0});
            for (int w = 0; w < 6; ++w) {
                int r = static_cast<int>(rng() % 64);
                if ((mask >> r) & 1) vm.write_register(static_cast<uint8_t>(r), value());
            }
        }
        vm.settle_frames();
        for (const CallFrame& frame : vm.call_stack) EXPECT_TRUE(frame.is_full());
        EXPECT_EQ(vm.settled_frames, vm.call_stack.size());
        for (int i = depth - 1; i >= 0; --i) {
            // Something the caller never saw, outside every set.
            for (int r = 0; r < 64; ++r) vm.write_register(static_cast<uint8_t>(r), Value::integer(-1));
            auto [pc, dst] = vm.pop_frame();
            EXPECT_EQ(pc, static_cast<uint64_t>(i));
            ASSERT_EQ(snapshot(), at_push[static_cast<size_t>(i)]) << "round " << round << " frame " << i;
        }
    }
}

// main -> a -> b -> c; c fails three frames deep. Without "main" a re-run
// continues at pc, so it returns into the frames the failed run left.
TEST(FrameSaving, NestedFailureThenReturnsIntoLeftFrames) {
    const std::vector<Constant> k = {Constant::of_string("a"), Constant::of_string("b"), Constant::of_string("c"),
                                     Constant::of_int(0),      Constant::of_int(5),      Constant::of_string("s")};
    std::vector<Instruction> code = {
        // top at 0: r1..r9 hold values; call a(r4) -> r9; return r9
        I(Op::LoadConstR, {1, 4}), I(Op::LoadConstR, {2, 5}), I(Op::LoadConstR, {3, 3}), I(Op::LoadConstR, {4, 4}),
        I(Op::LoadConstR, {30, 0}), Instruction::call(30, {4}, 9), I(Op::ReturnR, {9}),
        // a at 7: r2 = r0 + r0 (10); call b(r2) -> r3; return r3
        I(Op::AddR, {2, 0, 0}), I(Op::LoadConstR, {31, 1}), Instruction::call(31, {2}, 3), I(Op::ReturnR, {3}),
        // b at 11: r5 = "s"; call c(r0, r5) -> r6; r6 = r6 + r0; return r6
        I(Op::LoadConstR, {5, 5}), I(Op::LoadConstR, {32, 2}), Instruction::call(32, {0, 5}, 6), I(Op::AddR, {6, 6, 0}),
        I(Op::ReturnR, {6}),
        // c at 16: r7 = r0 / r3 (r3 is the top's 0: division by zero), then return r0
        I(Op::DivR, {7, 0, 3}), I(Op::ReturnR, {0})};
    Scenario s{make_module(code, k, {{"a", 7}, {"b", 11}, {"c", 16}}), 2, true, {}};
    expect_same_both_ways(s, "nested");

    VmState vm;
    vm.reset_for_module(s.module);
    EXPECT_EQ(outcome_text(run_state(vm)), "error: Division by zero");
    EXPECT_EQ(vm.call_stack.size(), 3u);
    // The re-run continues after the DivR: c returns 10 to b, b returns 20
    // to a, a returns 20 to the top, which returns it.
    EXPECT_EQ(outcome_text(run_state(vm)), "Int:20");
    EXPECT_TRUE(vm.call_stack.empty());
    EXPECT_EQ(describe(vm.registers[1]), "Int:5");
    EXPECT_EQ(describe(vm.registers[2]), "String:s");
    EXPECT_EQ(describe(vm.registers[3]), "Int:0");
    EXPECT_EQ(describe(vm.registers[4]), "Int:5");
    EXPECT_EQ(describe(vm.registers[5]), "Empty:empty");
    EXPECT_EQ(describe(vm.registers[6]), "Empty:empty");
    EXPECT_EQ(describe(vm.registers[9]), "Int:20");
}

// A run that stops with frames on the stack by halting, or by running off
// the end of the code, leaves them just as a failure does.
TEST(FrameSaving, FramesLeftByHaltAndByRunningOffTheEnd) {
    const std::vector<Constant> k = {Constant::of_string("f"), Constant::of_int(3)};
    for (Instruction last : {I(Op::Halt), I(Op::JumpR, {100})}) {
        std::vector<Instruction> code = {I(Op::LoadConstR, {1, 1}), I(Op::LoadConstR, {20, 0}),
                                         Instruction::call(20, {1}, 2), I(Op::ReturnR, {2}),
                                         // f at 4
                                         I(Op::AddR, {1, 0, 0}), last};
        expect_same_both_ways({make_module(code, k, {{"main", 0}, {"f", 4}}), 3, true, {}}, "left frames");
        expect_same_both_ways({make_module(code, k, {{"f", 4}}), 3, true, {}}, "left frames, no main");
    }
}

// ---- random programs ------------------------------------------------------------------

// Random modules of a few functions. Every backward jump the generator
// writes is guarded by the global "fuel", and every function starts by
// spending one unit of it, so each run ends.
class ProgramGenerator {
public:
    explicit ProgramGenerator(uint64_t seed) : rng_(seed) {}

    Module make() {
        std::vector<Constant> k = {Constant::of_string("fuel"), Constant::of_int(1),     Constant::of_int(0),
                                   Constant::of_string("g"),    Constant::of_int(2),     Constant::of_int(-1),
                                   Constant::of_string("k"),    Constant::of_float(1.5), Constant::of_bool(true),
                                   Constant::of_string("main"), Constant::of_int(3),     Constant::of_string("nope")};
        const int functions = 1 + static_cast<int>(rng_() % 4);
        for (int f = 0; f < functions; ++f) k.push_back(Constant::of_string("f" + std::to_string(f)));
        const size_t first_name = k.size() - static_cast<size_t>(functions);
        const size_t first_entry = k.size();
        for (int f = 0; f < functions; ++f) k.push_back(Constant::of_int(0));  // entries, patched below
        constants_ = k.size();
        declare_ = rng_() % 3 == 0;

        std::vector<Instruction> code;
        TextMap<uint64_t> table;
        const bool has_main = rng_() % 4 != 0;
        for (int f = 0; f < functions; ++f) {
            uint64_t entry = code.size();
            k[first_entry + static_cast<size_t>(f)] = Constant::of_int(static_cast<int64_t>(entry));
            table["f" + std::to_string(f)] = entry;
            if (f == 0 && has_main) table["main"] = entry;
            body(code, first_name, first_entry, functions);
        }
        return make_module(code, k, table);
    }

private:
    uint8_t reg() {
        static const uint8_t pool[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 14, 15, 16, 17, 62, 63, 64, 65, 100, 255};
        return pool[rng_() % std::size(pool)];
    }
    int64_t pick(int64_t n) { return static_cast<int64_t>(rng_() % static_cast<uint64_t>(n)); }

    // Spends one unit of fuel; falls through while some is left, else leaves.
    void spend_fuel(std::vector<Instruction>& code, int64_t offset_if_left) {
        uint8_t t = reg(), o = reg();
        code.push_back(I(Op::LoadGlobalR, {t, 0}));
        code.push_back(I(Op::LoadConstR, {o, 1}));
        code.push_back(I(Op::SubR, {t, t, o}));
        code.push_back(I(Op::StoreGlobalR, {t, 0}));
        code.push_back(I(Op::LoadConstR, {o, 2}));
        code.push_back(I(Op::GtR, {o, t, o}));
        code.push_back(I(Op::JumpIfR, {o, offset_if_left}));
    }

    void body(std::vector<Instruction>& code, size_t first_name, size_t first_entry, int functions) {
        spend_fuel(code, 1);
        code.push_back(rng_() % 2 ? I(Op::ReturnR) : I(Op::Halt));
        const size_t start = code.size();
        const int length = 3 + static_cast<int>(rng_() % 20);
        for (int i = 0; i < length; ++i) {
            switch (rng_() % 12) {
                case 0:
                case 1: {  // a call by name or by entry point
                    uint8_t callee = reg();
                    int f = static_cast<int>(rng_() % static_cast<uint64_t>(functions));
                    size_t which =
                        rng_() % 8 == 0 ? 11 : (rng_() % 3 ? first_name : first_entry) + static_cast<size_t>(f);
                    code.push_back(I(Op::LoadConstR, {callee, static_cast<int64_t>(which)}));
                    std::vector<uint8_t> args;
                    size_t n = rng_() % 10 == 0 ? 17 : rng_() % 4;
                    for (size_t a = 0; a < n; ++a) args.push_back(reg());
                    code.push_back(Instruction::call(callee, args, reg()));
                    break;
                }
                case 2: {  // a guarded loop back to somewhere in this body
                    int64_t target = static_cast<int64_t>(start) + pick(static_cast<int64_t>(code.size() - start) + 1);
                    int64_t jump_index = static_cast<int64_t>(code.size()) + 6;
                    spend_fuel(code, target - (jump_index + 1));
                    break;
                }
                case 3: {  // a forward jump, possibly into another function or past the end
                    int64_t offset = pick(8);
                    uint8_t cond = reg();
                    switch (rng_() % 3) {
                        case 0:
                            code.push_back(I(Op::JumpR, {offset}));
                            break;
                        case 1:
                            code.push_back(I(Op::JumpIfR, {cond, offset}));
                            break;
                        default:
                            code.push_back(I(Op::JumpIfNotR, {cond, offset}));
                            break;
                    }
                    break;
                }
                case 4:
                    code.push_back(I(Op::LoadConstR, {reg(), pick(static_cast<int64_t>(constants_))}));
                    break;
                case 5:
                    code.push_back(rng_() % 3 ? I(Op::ReturnR, {reg()}) : I(Op::ReturnR));
                    break;
                default:
                    code.push_back(random_instruction());
                    break;
            }
        }
        code.push_back(rng_() % 2 ? I(Op::ReturnR, {reg()}) : I(Op::ReturnR));
    }

    Instruction random_instruction() {
        for (;;) {
            Opcode op = static_cast<Opcode>(rng_() % kOpcodeCount);
            switch (op) {
                case Opcode::JumpR:
                case Opcode::JumpIfR:
                case Opcode::JumpIfNotR:
                case Opcode::CallR:
                case Opcode::ReturnR:
                case Opcode::DebugPrint:  // writes to standard output
                    continue;
                case Opcode::Halt:
                    if (rng_() % 4) continue;
                    return I(op);
                case Opcode::DefineR:
                    if (!declare_) continue;
                    return I(op, {reg(), pick(8)});
                case Opcode::StoreGlobalR:
                    return I(op, {reg(), 3});  // never "fuel"
                case Opcode::LoadGlobalR:
                    return I(op, {reg(), rng_() % 2 ? 0 : 3});
                case Opcode::PhiR:
                    return Instruction::phi(reg(), {{reg(), static_cast<uint16_t>(pick(40))}});
                case Opcode::AssertR:
                    return Instruction::assertion(reg(), AssertType::non_null(), 6);
                case Opcode::CheckTypeR:
                    return I(op, {reg(), reg(), pick(8)});
                case Opcode::CastR:
                    return I(op, {reg(), reg(), pick(7)});
                case Opcode::LoadConstR:
                    return I(op, {reg(), pick(static_cast<int64_t>(constants_))});
                case Opcode::ScopeEnterR:
                case Opcode::ScopeExitR:
                    return I(op, {pick(3)});
                default:
                    return I(op, {reg(), reg(), reg()});
            }
        }
    }

    std::mt19937_64 rng_;
    size_t constants_ = 0;
    bool declare_ = false;
};

// Call-heavy modules: main fills registers (scalars and payloads, in r0..r63
// and above), then calls a recursive function rec(n). rec writes a random
// set of registers (low groups, r64 and above, sometimes a declared tag),
// may fail at a chosen depth, recurses once or twice through its name
// constant (the same string object each time), its entry point, or a name
// built at run time, and returns a scalar, a payload or nothing. Depths
// reach the 1,000-frame limit. Without "main" a re-run continues where the
// failed run stopped and returns into the frames it left.
class CallHeavyGenerator {
public:
    explicit CallHeavyGenerator(uint64_t seed) : rng_(seed) {}

    Module make() {
        static const int64_t kDepths[] = {0, 1, 3, 7, 12, 998, 999, 1000, 1004};
        const int64_t depth = kDepths[rng_() % std::size(kDepths)];
        const bool binary = depth <= 7 && rng_() % 2 == 0;  // two calls per level: a tree, not a chain
        // 0 "rec", 1 Int 1, 2 Int 0, 3 Int depth, 4 "text", 5 Int fail level,
        // 6 "re", 7 "c", 8 Float 1.5, 9 Int entry of rec (patched), 10 "nope"
        std::vector<Constant> k = {
            Constant::of_string("rec"), Constant::of_int(1),         Constant::of_int(0),
            Constant::of_int(depth),    Constant::of_string("text"), Constant::of_int(rng_() % 3 == 0 ? pick(4) : -1),
            Constant::of_string("re"),  Constant::of_string("c"),    Constant::of_float(1.5),
            Constant::of_int(0),        Constant::of_string("nope")};
        std::vector<Instruction> code;
        // main
        code.push_back(I(Op::LoadConstR, {64, 0}));
        code.push_back(I(Op::LoadConstR, {65, 1}));
        code.push_back(I(Op::LoadConstR, {66, 2}));
        for (int i = 0, n = static_cast<int>(rng_() % 6); i < n; ++i) code.push_back(fill(reg()));
        code.push_back(I(Op::LoadConstR, {10, 3}));
        code.push_back(Instruction::call(64, arguments(10), reg()));
        code.push_back(rng_() % 2 ? I(Op::ReturnR, {reg()}) : I(Op::ReturnR));
        // rec at `entry`; n in r0
        const uint64_t entry = code.size();
        k[9] = Constant::of_int(static_cast<int64_t>(entry));
        for (int i = 0, n = static_cast<int>(rng_() % 5); i < n; ++i) code.push_back(fill(reg()));
        if (rng_() % 8 == 0) code.push_back(I(Op::DefineR, {reg(), pick(7)}));
        // Fail when n equals the fail level: r67 = n == level; skip the DivR unless so.
        code.push_back(I(Op::LoadConstR, {68, 5}));
        code.push_back(I(Op::EqR, {67, 0, 68}));
        code.push_back(I(Op::JumpIfNotR, {67, 1}));
        code.push_back(I(Op::DivR, {69, 65, 66}));
        // Leaves return at once: r67 = n > 0; to the leaf return unless so.
        code.push_back(I(Op::GtR, {67, 0, 66}));
        const size_t guard = code.size();
        code.push_back(I(Op::JumpIfNotR, {67, 0}));  // patched below
        for (int call = 0; call < (binary ? 2 : 1); ++call) {
            code.push_back(I(Op::SubR, {static_cast<int64_t>(call == 0 ? 5 : 13), 0, 65}));
            const uint8_t through = callee(code);
            code.push_back(Instruction::call(through, arguments(static_cast<uint8_t>(call == 0 ? 5 : 13)),
                                             static_cast<uint8_t>(call == 0 ? 6 : 14)));
            for (int i = 0, n = static_cast<int>(rng_() % 3); i < n; ++i) code.push_back(fill(reg()));
        }
        code.push_back(result());
        code[guard] = I(Op::JumpIfNotR, {67, static_cast<int64_t>(code.size() - guard - 1)});
        code.push_back(result());  // the leaf return
        TextMap<uint64_t> table{{"rec", entry}};
        if (rng_() % 4 != 0) table["main"] = 0;
        return make_module(code, k, table);
    }

private:
    int64_t pick(int64_t n) { return static_cast<int64_t>(rng_() % static_cast<uint64_t>(n)); }

    uint8_t reg() {
        static const uint8_t pool[] = {0, 1, 2, 3, 5, 6, 7, 8, 9, 15, 16, 23, 40, 63, 64, 70, 100, 200, 255};
        return pool[rng_() % std::size(pool)];
    }

    // A write of `r`: a scalar, a string constant, a fresh array, a copy of n.
    Instruction fill(uint8_t r) {
        switch (rng_() % 5) {
            case 0:
                return I(Op::LoadConstR, {r, rng_() % 2 ? 8 : 1});
            case 1:
                return I(Op::LoadConstR, {r, 4});
            case 2:
                return I(Op::NewArrayR, {r, 65});
            case 3:
                return I(Op::MoveR, {r, 0});
            default:
                return I(Op::AddR, {r, 0, 0});
        }
    }

    // n first, then up to two more (the seventeenth is never passed).
    std::vector<uint8_t> arguments(uint8_t n) {
        std::vector<uint8_t> args{n};
        if (rng_() % 10 == 0) args.resize(17, reg());
        for (int i = 0, extra = static_cast<int>(rng_() % 3); i < extra; ++i) args.push_back(reg());
        return args;
    }

    // The register the call goes through: the name constant in r64 (mostly),
    // the entry point, a name joined at run time, or an undefined name.
    uint8_t callee(std::vector<Instruction>& code) {
        switch (rng_() % 10) {
            case 0:
                code.push_back(I(Op::LoadConstR, {71, 9}));
                return 71;
            case 1:
                code.push_back(I(Op::LoadConstR, {72, 6}));
                code.push_back(I(Op::LoadConstR, {73, 7}));
                code.push_back(I(Op::ConcatStrR, {71, 72, 73}));
                return 71;
            case 2:
                if (rng_() % 4 == 0) {
                    code.push_back(I(Op::LoadConstR, {71, 10}));
                    return 71;
                }
                return 64;
            default:
                return 64;
        }
    }

    Instruction result() {
        switch (rng_() % 5) {
            case 0:
                return I(Op::ReturnR);
            case 1:
                return I(Op::ReturnR, {reg()});
            case 2:
                return I(Op::ReturnR, {6});
            default:
                return I(Op::ReturnR, {0});
        }
    }

    std::mt19937_64 rng_;
};

// Recursion, failures inside callees, overflow and returns into left
// frames: frames saving what the callee writes against frames saving
// everything, and the fast loop against the plain loop.
TEST(FrameDifferential, CallHeavyProgramsBehaveTheSameEveryWay) {
    int overflowed = 0, failed = 0, left = 0;
    for (uint64_t seed = 1; seed <= 240; ++seed) {
        CallHeavyGenerator generator(seed);
        Scenario s{generator.make(), 3, true, {}};
        std::vector<Observed> fast = play(s, false, false);
        std::vector<Observed> plain = play(s, false, true);
        std::vector<Observed> full = play(s, true, false);
        ASSERT_EQ(fast.size(), plain.size()) << "seed " << seed;
        ASSERT_EQ(fast.size(), full.size()) << "seed " << seed;
        for (size_t i = 0; i < fast.size(); ++i) {
            ASSERT_TRUE(fast[i] == plain[i]) << "seed " << seed << " step " << i << ":" << diff(fast[i], plain[i]);
            ASSERT_TRUE(fast[i] == full[i]) << "seed " << seed << " step " << i << ":" << diff(fast[i], full[i]);
        }
        overflowed += fast[0].outcome == "error: Stack overflow" ? 1 : 0;
        failed += fast[0].outcome == "error: Division by zero" ? 1 : 0;
        left += fast.size() > 3 ? 1 : 0;
    }
    // The seeds do reach each path.
    EXPECT_GT(overflowed, 20);
    EXPECT_GT(failed, 20);
    EXPECT_GT(left, 40);
}

TEST(FrameDifferential, RandomProgramsBehaveAsWithFullFrames) {
    int with_frames_left = 0, with_calls = 0;
    for (uint64_t seed = 1; seed <= 3000; ++seed) {
        ProgramGenerator generator(seed);
        Scenario s{generator.make(), 3, true, {}};
        std::vector<Observed> partial = play(s, false);
        std::vector<Observed> full = play(s, true);
        ASSERT_EQ(partial.size(), full.size()) << "seed " << seed;
        for (size_t i = 0; i < partial.size(); ++i)
            ASSERT_TRUE(partial[i] == full[i]) << "seed " << seed << " step " << i << ":" << diff(partial[i], full[i]);
        with_frames_left += partial.size() > 3 ? 1 : 0;
        for (const Instruction& ins : s.module.instructions) with_calls += ins.op == Opcode::CallR ? 1 : 0;
    }
    // The programs do leave frames behind for later runs and the unwinding.
    EXPECT_GT(with_frames_left, 300);
    EXPECT_GT(with_calls, 3000);
}

// The same programs run by the plain loop over the loaded instructions and
// by the loop over the engine's fast form (fused comparisons and jumps:
// every guarded loop ends with GtR and the JumpIfR that tests it).
TEST(FrameDifferential, FastLoopBehavesAsThePlainLoop) {
    int fused = 0;
    for (uint64_t seed = 1; seed <= 1500; ++seed) {  // seeds whose programs end (not every seed's do)
        ProgramGenerator generator(seed);
        Scenario s{generator.make(), 3, true, {}};
        std::vector<Observed> fast = play(s, false, false);
        std::vector<Observed> plain = play(s, false, true);
        ASSERT_EQ(fast.size(), plain.size()) << "seed " << seed;
        for (size_t i = 0; i < fast.size(); ++i)
            ASSERT_TRUE(fast[i] == plain[i]) << "seed " << seed << " step " << i << ":" << diff(fast[i], plain[i]);
        for (const Instruction& ins : build_fast_code(s.module.instructions))
            fused += static_cast<size_t>(ins.op) >= static_cast<size_t>(FastKind::LtJumpIf) ? 1 : 0;
    }
    EXPECT_GT(fused, 1500);
}

// The same programs run through the machine-code tier (TARNEL_JIT=always)
// and by the interpreter alone: calls, returns, globals and most kinds are
// side exits, so every way between the two is taken.
TEST(FrameDifferential, MachineCodeBehavesAsTheInterpreter) {
    for (uint64_t seed = 1; seed <= 1500; ++seed) {
        ProgramGenerator generator(seed);
        Scenario s{generator.make(), 3, true, {}};
        setenv("TARNEL_JIT", "always", 1);
        std::vector<Observed> machine = play(s, false);
        setenv("TARNEL_JIT", "0", 1);
        std::vector<Observed> interpreter = play(s, false);
        unsetenv("TARNEL_JIT");
        ASSERT_EQ(machine.size(), interpreter.size()) << "seed " << seed;
        for (size_t i = 0; i < machine.size(); ++i)
            ASSERT_TRUE(machine[i] == interpreter[i])
                << "seed " << seed << " step " << i << ":" << diff(machine[i], interpreter[i]);
    }
}

// The same programs stepped one instruction at a time, the way a host loop
// with its own budget runs them (and the fuzz harness does), interleaved
// with whole runs.
TEST(FrameDifferential, SteppingAndRunsBehaveAsWithFullFrames) {
    auto step_run = [](VmState& vm, size_t budget) {
        const auto& functions = vm.module->functions;
        if (auto main = functions.find(std::string_view("main")); main != functions.end()) vm.pc = main->second;
        if (vm.halted) return std::string("halted");
        for (; budget > 0 && vm.pc < vm.instructions.size(); --budget) {
            const Instruction ins = vm.instructions[vm.pc];
            ++vm.pc;
            ++vm.instruction_count;
            auto step = execute_instruction(vm, ins);
            if (!step) return "error: " + std::get<VmError>(step.error()).message();
            if (vm.halted) return std::string("stopped");
            if (step.value()) return describe(*step.value());
        }
        return std::string("budget");
    };
    for (uint64_t seed = 5001; seed <= 6500; ++seed) {
        ProgramGenerator generator(seed);
        Module module = generator.make();
        std::vector<Observed> logs[2];
        for (int full = 0; full < 2; ++full) {
            VmState vm;
            vm.testing.always_save_all_registers = full;
            vm.reset_for_module(module);
            auto& log = logs[full];
            vm.globals["fuel"] = Value::integer(12);
            log.push_back(observe(vm, step_run(vm, 1 + seed % 50)));
            vm.globals["fuel"] = Value::integer(12);
            log.push_back(observe(vm, outcome_text(run_state(vm))));
            vm.globals["fuel"] = Value::integer(12);
            log.push_back(observe(vm, step_run(vm, 200)));
            unwind(vm, log, 64);
        }
        ASSERT_EQ(logs[0].size(), logs[1].size()) << "seed " << seed;
        for (size_t i = 0; i < logs[0].size(); ++i)
            ASSERT_TRUE(logs[0][i] == logs[1][i])
                << "seed " << seed << " step " << i << ":" << diff(logs[0][i], logs[1][i]);
    }
}

// Growing moves the frames, and the heap values they saved, to new storage;
// the storage never grows past the depth limit, so that room in it also
// means the limit allows one more frame (the quick calls test only room).
TEST(CallStack, GrowsToExactlyTheDepthLimitKeepingWhatFramesHold) {
    CallStack stack;
    std::vector<size_t> capacities;
    while (stack.make_room()) {
        if (capacities.empty() || capacities.back() != stack.capacity()) capacities.push_back(stack.capacity());
        CallFrame& frame = stack.emplace_back(stack.size(), 0, 1, 1);
        for (size_t r = 0; r < 8; ++r)
            std::construct_at(&frame.saved_registers[r], Value::string(std::to_string(stack.size() + r)));
    }
    EXPECT_EQ(capacities, (std::vector<size_t>{16, 32, 64, 128, 256, 512, 1000}));
    EXPECT_EQ(stack.size(), kMaxCallDepth);
    EXPECT_FALSE(stack.has_room());
    for (size_t i = 0; i < stack.size(); ++i) {
        EXPECT_EQ(stack[i].return_pc, i);
        EXPECT_EQ(describe(stack[i].saved_registers[7]), "String:" + std::to_string(i + 1 + 7));
    }
}

}  // namespace
}  // namespace tarnel
