// The quiet run loop over the engine's fast form against the plain loop over
// the loaded instructions: the same result, error, count, pc, last jump,
// registers and tags, for every fused pair and every way out of the loop.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "value_builders.hpp"
#include "vm/fast_code.hpp"
#include "vm_fixture.hpp"

namespace tarnel::testing {
namespace {

using testing_values::B;
using testing_values::describe;
using testing_values::F;
using testing_values::kMax;
using testing_values::kMin;
using testing_values::kNaN;
using testing_values::S;
inline Value VI(int64_t i) { return Value::integer(i); }

struct Snapshot {
    std::string outcome;
    uint64_t count = 0;
    uint64_t pc = 0;
    bool halted = false;
    std::optional<uint16_t> last_jump;
    std::vector<std::string> registers;  // r0..r15, value and tag
    bool operator==(const Snapshot&) const = default;
};

Snapshot run_once(const Module& module, bool plain, const std::vector<std::pair<uint8_t, Value>>& preset) {
    VmState vm;
    vm.testing.plain_run_loop = plain;
    vm.reset_for_module(module);
    for (const auto& [r, v] : preset) vm.write_register(r, v);
    vm.instruction_count = 100;  // counts carry over from earlier runs
    Outcome outcome = run_state(vm);
    Snapshot snap;
    snap.outcome = !outcome.ok ? "error: " + outcome.message : outcome.value ? describe(*outcome.value) : "none";
    snap.count = vm.instruction_count;
    snap.pc = vm.pc;
    snap.halted = vm.halted;
    snap.last_jump = vm.last_jump;
    for (size_t r = 0; r < 16; ++r)
        snap.registers.push_back(describe(vm.registers[r]) + "/" + std::string(debug_name(vm.register_types[r])));
    return snap;
}

// A counting loop: loop: leave when the fuel in r5 is spent; r0 += r3;
// r4 = compare(r0, r1); jump(r4) back to loop. r3 is the step, r0/r1 are
// preset to the operand kinds, r5 holds 20 rounds of fuel and r6 is 1.
constexpr size_t kPairAt = 3;
Module counting_loop(Opcode compare, Opcode jump, bool swap_operands) {
    uint8_t left = swap_operands ? 1 : 0, right = swap_operands ? 0 : 1;
    return make_module({I(Op::SubR, {5, 5, 6}),                        // 0
                        I(Op::JumpIfNotR, {5, 3}),                     // 1: to 5 when spent
                        I(Op::AddR, {0, 0, 3}),                        // 2
                        Instruction::make(compare, {4, left, right}),  // 3
                        I(jump, {4, -5}),                              // 4: back to 0
                        I(Op::ReturnR, {0})});                         // 5
}

struct PairCase {
    std::string name;
    Opcode compare;
    Opcode jump;
    bool swap;
    std::vector<std::pair<uint8_t, Value>> preset;
};

std::vector<PairCase> pair_cases() {
    const Opcode compares[] = {Op::LtR, Op::LteR, Op::GtR, Op::GteR, Op::EqR, Op::NeqR};
    const char* compare_names[] = {"Lt", "Lte", "Gt", "Gte", "Eq", "Neq"};
    struct Operands {
        const char* name;
        std::vector<std::pair<uint8_t, Value>> preset;
    };
    const std::vector<Operands> operands = {
        {"Ints", {{0, VI(0)}, {1, VI(5)}, {3, VI(1)}}},
        {"Floats", {{0, F(0.0)}, {1, F(2.5)}, {3, F(0.5)}}},
        {"NaN", {{0, F(0.0)}, {1, F(kNaN)}, {3, F(1.0)}}},
        {"IntAndFloat", {{0, VI(0)}, {1, F(2.5)}, {3, VI(1)}}},        // the general comparison, unfused
        {"StringAndInt", {{0, S("a")}, {1, VI(3)}, {3, S("b")}}},      // an error in Lt/Gt, a Bool from Eq
        {"Overflow", {{0, VI(kMax - 1)}, {1, VI(kMin)}, {3, VI(1)}}},  // AddR fails after a few rounds
    };
    std::vector<PairCase> cases;
    for (size_t k = 0; k < 6; ++k)
        for (Opcode jump : {Op::JumpIfR, Op::JumpIfNotR})
            for (bool swap : {false, true})
                for (const Operands& o : operands)
                    cases.push_back({compare_names[k], compares[k], jump, swap, o.preset});
    for (PairCase& c : cases) {
        c.preset.push_back({5, VI(20)});
        c.preset.push_back({6, VI(1)});
    }
    for (size_t i = 0; i < cases.size(); ++i)
        cases[i].name += std::string(cases[i].jump == Op::JumpIfR ? "If" : "IfNot") + (cases[i].swap ? "Swapped" : "") +
                         "_" + std::to_string(i);
    return cases;
}

class FusedPairs : public ::testing::TestWithParam<PairCase> {};

TEST_P(FusedPairs, SameAsThePlainLoop) {
    const PairCase& c = GetParam();
    Module module = counting_loop(c.compare, c.jump, c.swap);
    ASSERT_GE(static_cast<size_t>(build_fast_code(module.instructions)[kPairAt].op),
              static_cast<size_t>(FastKind::LtJumpIf));  // the pair is fused
    Snapshot fast = run_once(module, false, c.preset);
    Snapshot plain = run_once(module, true, c.preset);
    EXPECT_EQ(fast, plain) << fast.outcome << " vs " << plain.outcome << ", count " << fast.count << " vs "
                           << plain.count << ", pc " << fast.pc << " vs " << plain.pc;
}

INSTANTIATE_TEST_SUITE_P(Table, FusedPairs, ::testing::ValuesIn(pair_cases()),
                         [](const auto& info) { return info.param.name; });

// Programs whose control flow leaves the list or enters a fused pair in its
// middle.
struct FlowCase {
    std::string name;
    std::vector<Instruction> code;
    std::vector<std::pair<uint8_t, Value>> preset;
    std::string outcome;  // what both loops return
    uint64_t counted;     // instructions the run counts
};

std::vector<FlowCase> flow_cases() {
    return {
        {"RunsOffTheEnd", {I(Op::AddR, {0, 0, 0}), I(Op::Nop)}, {{0, VI(2)}}, "none", 2},
        {"JumpPastTheEnd", {I(Op::JumpR, {5}), I(Op::Halt)}, {}, "none", 1},
        {"JumpToNegativeTarget", {I(Op::JumpR, {-9})}, {}, "none", 1},
        {"FusedJumpPastTheEndIsNotFused",
         {I(Op::LtR, {4, 0, 1}), I(Op::JumpIfR, {4, 7}), I(Op::ReturnR, {0})},
         {{0, VI(1)}, {1, VI(2)}},
         "none",
         2},
        {"JumpIntoTheMiddleOfAPair",
         // 0: jump to 2, the JumpIfR of the pair at 1..2, with r4 already true.
         {I(Op::JumpR, {1}), I(Op::LtR, {4, 0, 1}), I(Op::JumpIfR, {4, 1}), I(Op::Halt), I(Op::ReturnR, {0})},
         {{0, VI(7)}, {1, VI(2)}, {4, B(true)}},
         "Int 7",
         3},
        {"PairTestingAnotherRegisterIsNotFused",
         {I(Op::LtR, {4, 0, 1}), I(Op::JumpIfR, {5, 1}), I(Op::ReturnR, {4}), I(Op::ReturnR, {0})},
         {{0, VI(1)}, {1, VI(2)}, {5, VI(0)}},
         "Bool true",
         3},
        {"ErrorInsideAPairStopsAtTheComparison",
         {I(Op::LtR, {4, 0, 1}), I(Op::JumpIfR, {4, -2})},
         {{0, S("x")}, {1, VI(1)}},
         "error",
         1},
        {"TopLevelReturnAfterAJump", {I(Op::JumpR, {1}), I(Op::Halt), I(Op::ReturnR, {2})}, {{2, VI(9)}}, "Int 9", 2},
    };
}

class Flow : public ::testing::TestWithParam<FlowCase> {};

TEST_P(Flow, SameAsThePlainLoop) {
    const FlowCase& c = GetParam();
    Module module = make_module(c.code);
    Snapshot fast = run_once(module, false, c.preset);
    Snapshot plain = run_once(module, true, c.preset);
    EXPECT_EQ(fast, plain) << fast.outcome << " vs " << plain.outcome << ", pc " << fast.pc << " vs " << plain.pc;
    EXPECT_EQ(fast.outcome.substr(0, c.outcome.size()), c.outcome);
    EXPECT_EQ(fast.count, 100 + c.counted);
}

INSTANTIATE_TEST_SUITE_P(Table, Flow, ::testing::ValuesIn(flow_cases()),
                         [](const auto& info) { return info.param.name; });

// Calls and returns, on the quick path and off it: the same registers,
// count, pc and result as the plain loop, and the result given.
struct CallCase {
    std::string name;
    std::vector<Instruction> code;
    std::vector<Constant> constants;
    TextMap<uint64_t> functions;
    std::vector<std::pair<uint8_t, Value>> preset;
    std::string outcome;
};

std::vector<CallCase> call_cases() {
    const std::vector<Constant> k = {Constant::of_string("f"), Constant::of_int(7), Constant::of_string("text"),
                                     Constant::of_string("f"), Constant::of_int(4), Constant::of_string("")};
    return {
        // 0: r64 = "f"; 1: jump to 3; 2: f returns r5; 3: the call, last in the list.
        {"ReturnToThePastTheEndPc",
         {I(Op::LoadConstR, {64, 0}), I(Op::JumpR, {1}), I(Op::ReturnR, {5}), Instruction::call(64, {}, 1)},
         k,
         {{"main", 0}, {"f", 2}},
         {{5, VI(3)}},
         "none"},
        {"HeapResultAndHeapArguments",
         {I(Op::LoadConstR, {64, 0}), Instruction::call(64, {2, 1, 0}, 3), I(Op::ReturnR, {3}),
          I(Op::LoadConstR, {7, 2}), I(Op::ReturnR, {0})},
         k,
         {{"main", 0}, {"f", 3}},
         {{0, S("zero")}, {1, VI(1)}, {2, S("two")}, {3, S("old")}, {7, S("seven")}},
         "String two"},
        {"ReturnWithoutValueKeepsTheRestoredDst",
         {I(Op::LoadConstR, {64, 0}), Instruction::call(64, {1}, 3), I(Op::ReturnR, {3}), I(Op::LoadConstR, {3, 1}),
          I(Op::ReturnR)},
         k,
         {{"main", 0}, {"f", 3}},
         {{1, VI(1)}, {3, S("kept")}},
         "String kept"},
        {"NameBuiltAtRunTimeThenTheConstant",
         // The first call goes through another string with the same text.
         {I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {66, 5}), I(Op::ConcatStrR, {65, 64, 66}),
          Instruction::call(65, {}, 1), Instruction::call(64, {}, 2), Instruction::call(65, {}, 3),
          I(Op::AddR, {4, 1, 2}), I(Op::AddR, {4, 4, 3}), I(Op::ReturnR, {4}), I(Op::LoadConstR, {0, 1}),
          I(Op::ReturnR, {0})},
         k,
         {{"main", 0}, {"f", 9}},
         {},
         "Int 21"},
        {"CallByEntryPoint",
         {I(Op::LoadConstR, {64, 4}), Instruction::call(64, {}, 1), I(Op::ReturnR, {1}), I(Op::Halt),
          I(Op::LoadConstR, {1, 1}), I(Op::ReturnR, {1})},
         k,
         {{"main", 0}, {"f", 4}},
         {},
         "Int 7"},
        {"EntryPastTheEndEndsTheRun",
         {I(Op::LoadConstR, {64, 0}), Instruction::call(64, {1}, 2), I(Op::ReturnR, {2})},
         k,
         {{"main", 0}, {"f", 40}},
         {{1, VI(9)}},
         "none"},
        {"UndefinedName",
         {I(Op::LoadConstR, {64, 2}), Instruction::call(64, {1}, 2), I(Op::ReturnR, {2})},
         k,
         {{"main", 0}, {"f", 40}},
         {},
         "error"},
        {"DeclaredTagBeforeTheCall",
         {I(Op::DefineR, {3, 3}), I(Op::LoadConstR, {64, 0}), Instruction::call(64, {1}, 2), I(Op::ReturnR, {3}),
          I(Op::MoveR, {3, 0}), I(Op::ReturnR, {3})},
         k,
         {{"main", 0}, {"f", 4}},
         {{1, VI(5)}, {3, VI(8)}},
         "Int 8"},
        {"DeclaredTagInsideTheCallee",
         {I(Op::LoadConstR, {64, 0}), Instruction::call(64, {1}, 2), I(Op::ReturnR, {3}), I(Op::DefineR, {3, 3}),
          I(Op::ReturnR, {0})},
         k,
         {{"main", 0}, {"f", 3}},
         {{1, VI(5)}, {3, S("three")}},
         "String three"},
    };
}

class Calls : public ::testing::TestWithParam<CallCase> {};

TEST_P(Calls, SameAsThePlainLoop) {
    const CallCase& c = GetParam();
    Module module = make_module(c.code, c.constants, c.functions);
    Snapshot fast = run_once(module, false, c.preset);
    Snapshot plain = run_once(module, true, c.preset);
    EXPECT_EQ(fast, plain) << fast.outcome << " vs " << plain.outcome << ", count " << fast.count << " vs "
                           << plain.count << ", pc " << fast.pc << " vs " << plain.pc;
    EXPECT_EQ(fast.outcome.substr(0, c.outcome.size()), c.outcome);
}

INSTANTIATE_TEST_SUITE_P(Table, Calls, ::testing::ValuesIn(call_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(FastCode, CallsAndReturnsHaveKindsOfTheirOwn) {
    std::vector<Instruction> code = {Instruction::call(1, {}, 2), I(Op::ReturnR), Instruction::call(1, {3}, 4),
                                     I(Op::ReturnR, {5})};
    std::vector<Instruction> fast = build_fast_code(code);
    EXPECT_EQ(fast[0].op, fast_op(FastKind::Call));
    EXPECT_EQ(fast[0].wide, 0u);  // call-site index, in program order
    EXPECT_EQ(fast[2].op, fast_op(FastKind::Call));
    EXPECT_EQ(fast[2].wide, 1u);
    EXPECT_EQ(fast[1].op, fast_op(FastKind::Return));
    EXPECT_FALSE(fast[1].has_src());
    EXPECT_EQ(fast[3].op, fast_op(FastKind::Return));
    EXPECT_EQ(fast[3].a, 5);
    EXPECT_TRUE(fast[3].has_src());
}

TEST(FastCode, EndEntryAndJumpTargets) {
    std::vector<Instruction> code = {I(Op::JumpR, {1}), I(Op::JumpIfR, {0, -3}), I(Op::JumpIfNotR, {0, 0}), I(Op::Nop)};
    std::vector<Instruction> fast = build_fast_code(code);
    ASSERT_EQ(fast.size(), code.size() + 1);
    EXPECT_EQ(fast[0].op, fast_op(FastKind::JumpIn));
    EXPECT_EQ(fast[0].wide, 2u);
    EXPECT_EQ(fast[1].op, Op::JumpIfR);  // target -1: left to the handler, which ends the run
    EXPECT_EQ(fast[2].op, fast_op(FastKind::JumpIfNotIn));
    EXPECT_EQ(fast[2].wide, 3u);
    EXPECT_EQ(fast[3].op, Op::Nop);
    EXPECT_EQ(fast[4].op, fast_op(FastKind::End));
    // Unfused on request: the comparison keeps its kind.
    std::vector<Instruction> pair = {I(Op::LtR, {4, 0, 1}), I(Op::JumpIfR, {4, -2})};
    EXPECT_EQ(build_fast_code(pair, true)[0].op, fast_op(FastKind::LtJumpIf));
    EXPECT_EQ(build_fast_code(pair, false)[0].op, Op::LtR);
}

}  // namespace
}  // namespace tarnel::testing
