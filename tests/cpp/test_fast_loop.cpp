// The quiet run loop over the engine's fast form against the plain loop over
// the loaded instructions: the same result, error, count, pc, last jump,
// registers and tags, for every fused pair and group and every way out of
// the loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "value_builders.hpp"
#include "vm/fast_code.hpp"
#include "vm_fixture.hpp"

namespace tarnel::testing {
namespace {

using namespace program_values;

struct Snapshot {
    std::string outcome;
    uint64_t count = 0;
    uint64_t pc = 0;
    bool halted = false;
    std::optional<uint16_t> last_jump;
    std::vector<std::string> registers;  // r0..r15 and r192..r255, value and tag
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
    for (size_t r = 0; r < kRegisterCount; r = r == 15 ? 192 : r + 1)
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
    const std::vector<Instruction> form = build_fast_code(module.instructions);
    ASSERT_GE(static_cast<size_t>(form[kPairAt].op), static_cast<size_t>(FastKind::LtJumpIf));  // the pair is fused
    // The AddR before the pair leads a group when the pair tests its result.
    EXPECT_EQ(static_cast<size_t>(form[kPairAt - 1].op) >= static_cast<size_t>(FastKind::AddLtJumpIf), !c.swap);
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
        // Groups of an AddR and the fused pair testing its result.
        {"JumpIntoTheComparisonOfAGroup",
         // 0: jump to 2, the comparison of the group at 1..3: r0 stays 7.
         {I(Op::JumpR, {1}), I(Op::AddR, {0, 0, 1}), I(Op::LtR, {4, 0, 1}), I(Op::JumpIfR, {4, 1}), I(Op::ReturnR, {0}),
          I(Op::Halt)},
         {{0, VI(7)}, {1, VI(2)}},
         "Int 7",
         4},
        {"JumpIntoTheJumpOfAGroup",
         {I(Op::JumpR, {2}), I(Op::AddR, {0, 0, 1}), I(Op::LtR, {4, 0, 1}), I(Op::JumpIfR, {4, 1}), I(Op::Halt),
          I(Op::ReturnR, {0})},
         {{0, VI(7)}, {1, VI(2)}, {4, B(true)}},
         "Int 7",
         3},
        {"GroupComparingTheSumWithItself",
         {I(Op::AddR, {0, 0, 1}), I(Op::LteR, {4, 0, 0}), I(Op::JumpIfNotR, {4, 1}), I(Op::ReturnR, {0}), I(Op::Halt)},
         {{0, VI(7)}, {1, VI(2)}},
         "Int 9",
         4},
        {"GroupWritingItsBoolIntoTheSum",
         // Round one: r0 = 8, then r0 = true; round two: AddR of a Bool fails.
         {I(Op::AddR, {0, 0, 1}), I(Op::LtR, {0, 0, 2}), I(Op::JumpIfR, {0, -3}), I(Op::ReturnR, {0})},
         {{0, VI(7)}, {1, VI(1)}, {2, VI(100)}},
         "error",
         4},
        {"GroupWithAFloatBound",
         {I(Op::AddR, {0, 0, 1}), I(Op::LtR, {4, 0, 2}), I(Op::JumpIfR, {4, -3}), I(Op::ReturnR, {0})},
         {{0, VI(0)}, {1, VI(1)}, {2, F(2.5)}},
         "Int 3",
         10},
        {"GroupWithFloatOperands",
         {I(Op::AddR, {0, 0, 1}), I(Op::GtR, {4, 0, 2}), I(Op::JumpIfNotR, {4, -3}), I(Op::ReturnR, {0})},
         {{0, F(0.5)}, {1, F(1.0)}, {2, F(2.0)}},
         "Float",
         7},
        {"GroupOverflowingInItsLastRound",
         {I(Op::AddR, {0, 0, 1}), I(Op::NeqR, {4, 0, 2}), I(Op::JumpIfR, {4, -3}), I(Op::ReturnR, {0})},
         {{0, VI(kMax - 2)}, {1, VI(1)}, {2, VI(kMin)}},
         "error",
         7},
    };
}

// Long lists: a jump more than 255 entries in records its index in two
// bytes, one more than 65,535 in records it cut to 16 bits, and a pair whose
// target lies too far for the fused form stays unfused. `filler` Nops go
// before the jump and `gap` Nops between the jump and its target (which
// jumps back into a fused pair when `back`).
struct FarCase {
    std::string name;
    size_t filler;
    size_t gap;
    Opcode first;  // JumpR, or a comparison fused with a JumpIfR
    bool back;
};

Module far_module(const FarCase& c) {
    std::vector<Instruction> code(c.filler, I(Op::Nop));
    const auto gap = static_cast<int64_t>(c.gap);
    if (c.first == Op::JumpR) {
        code.push_back(I(Op::JumpR, {gap}));
    } else {
        code.push_back(Instruction::make(c.first, {4, 0, 1}));
        code.push_back(I(Op::JumpIfR, {4, gap}));
    }
    code.insert(code.end(), c.gap, I(Op::Nop));
    if (c.back) {
        // r5 counts the way back: once through the pair again, then out.
        code.push_back(I(Op::AddR, {5, 5, 6}));
        code.push_back(I(Op::LtR, {7, 5, 6}));
        code.push_back(I(Op::JumpIfNotR, {7, 1}));
        code.push_back(I(Op::JumpR, {-static_cast<int64_t>(c.gap) - 6}));  // back to the comparison
    }
    code.push_back(I(Op::ReturnR, {5}));
    return make_module(code);
}

class FarJumps : public ::testing::TestWithParam<FarCase> {};

TEST_P(FarJumps, SameAsThePlainLoop) {
    const FarCase& c = GetParam();
    Module module = far_module(c);
    const std::vector<std::pair<uint8_t, Value>> preset = {{0, VI(1)}, {1, VI(2)}, {5, VI(-1)}, {6, VI(1)}};
    Snapshot fast = run_once(module, false, preset);
    Snapshot plain = run_once(module, true, preset);
    EXPECT_EQ(fast, plain) << fast.outcome << " vs " << plain.outcome << ", pc " << fast.pc << " vs " << plain.pc;
    ASSERT_TRUE(fast.last_jump.has_value());
    EXPECT_EQ(fast.outcome.substr(0, 3), "Int");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, FarJumps, ::testing::Values(
    FarCase{"JumpFromIndexAbove255", 300, 10, Op::JumpR, false},
    FarCase{"JumpFromIndexAbove65535", 70000, 10, Op::JumpR, false},
    FarCase{"JumpOverMoreThan32767", 5, 40000, Op::JumpR, false},
    FarCase{"PairAtIndexAbove65535", 70000, 10, Op::LtR, true},
    FarCase{"PairWithTargetTooFarToFuse", 5, 40000, Op::GtR, true},
    FarCase{"PairTargetJustPastTheLimit", 5, 32766, Op::LtR, true}),
    [](const auto& info) { return info.param.name; });
// clang-format on

// A loop whose AddR, DivR and in-place SubR (its first three entries) see
// two Floats, then two Ints, and so on: their operands swap with r8, r9,
// r14 and r15 every round. r3 holds the number of rounds; it returns the
// last sum.
std::vector<Instruction> alternating_types_loop() {
    std::vector<Instruction> code = {I(Op::AddR, {5, 6, 7}), I(Op::DivR, {10, 6, 7}), I(Op::SubR, {11, 11, 13})};
    for (auto [x, y] : {std::pair{6, 8}, {7, 9}, {11, 14}, {13, 15}}) {
        code.push_back(I(Op::MoveR, {12, x}));
        code.push_back(I(Op::MoveR, {x, y}));
        code.push_back(I(Op::MoveR, {y, 12}));
    }
    code.push_back(I(Op::AddR, {0, 0, 1}));
    code.push_back(I(Op::LtR, {2, 0, 3}));
    code.push_back(I(Op::JumpIfR, {2, -18}));
    code.push_back(I(Op::ReturnR, {5}));
    return code;
}

std::vector<std::pair<uint8_t, Value>> alternating_types_preset(int64_t rounds) {
    return {{6, F(1.5)},   {7, F(0.5)}, {8, VI(3)}, {9, VI(2)}, {11, F(10.0)},  {13, F(0.25)},
            {14, VI(100)}, {15, VI(7)}, {0, VI(0)}, {1, VI(1)}, {3, VI(rounds)}};
}

// Scaled entries (arithmetic and fused comparisons whose operands are byte
// offsets): the highest registers, a destination that is an operand or held
// a payload, and every case the quick path leaves to the handler, which
// reads the loaded instruction's register numbers.
std::vector<FlowCase> scaled_cases() {
    return {
        {"SubAndMulOnTheHighestRegisters",
         {I(Op::SubR, {250, 251, 255}), I(Op::MulR, {200, 250, 255}), I(Op::ReturnR, {200})},
         {{251, VI(10)}, {255, VI(3)}},
         "Int 21",
         3},
        {"DestinationIsBothOperands", {I(Op::MulR, {1, 1, 1}), I(Op::ReturnR, {1})}, {{1, VI(-7)}}, "Int 49", 2},
        {"ScalarWrittenOverAString",
         {I(Op::AddR, {0, 1, 2}), I(Op::ReturnR, {0})},
         {{0, S("held")}, {1, VI(1)}, {2, VI(2)}},
         "Int 3",
         2},
        {"FloatsOnHighRegisters",
         {I(Op::SubR, {254, 253, 252}), I(Op::ReturnR, {254})},
         {{253, F(1.5)}, {252, F(0.25)}},
         "Float",
         2},
        {"IntAndFloatGoToTheHandler",
         {I(Op::MulR, {240, 241, 242}), I(Op::ReturnR, {240})},
         {{241, VI(2)}, {242, F(0.5)}},
         "Float",
         2},
        {"SubOverflowGoesToTheHandler",
         {I(Op::SubR, {3, 1, 2}), I(Op::ReturnR, {3})},
         {{1, VI(kMin)}, {2, VI(1)}},
         "error",
         1},
        {"MulOverflowOnHighRegisters",
         {I(Op::MulR, {255, 254, 254}), I(Op::ReturnR, {255})},
         {{254, VI(kMax)}},
         "error",
         1},
        {"StringOperandFailsInTheHandler",
         {I(Op::AddR, {200, 201, 202}), I(Op::ReturnR, {200})},
         {{201, S("a")}, {202, VI(1)}},
         "error",
         1},
        {"TwoStringsJoinedByTheHandler",
         {I(Op::AddR, {200, 201, 201}), I(Op::ReturnR, {200})},
         {{201, S("ab")}, {200, S("old")}},
         "String",
         2},
        {"DivOfIntsOnHighRegisters",
         {I(Op::DivR, {250, 251, 252}), I(Op::DivR, {250, 250, 252}), I(Op::ReturnR, {250})},
         {{251, VI(-31)}, {252, VI(2)}},
         "Int -7",
         3},
        {"DivOfFloats",
         {I(Op::DivR, {2, 0, 1}), I(Op::ReturnR, {2})},
         {{0, F(1.0)}, {1, F(3.0)}, {2, S("old")}},
         "Float",
         2},
        {"DivByIntZeroFailsInTheHandler",
         {I(Op::DivR, {2, 0, 1}), I(Op::ReturnR, {2})},
         {{0, VI(1)}, {1, VI(0)}},
         "error",
         1},
        {"DivByFloatZeroFailsInTheHandler",
         {I(Op::DivR, {2, 0, 1}), I(Op::ReturnR, {2})},
         {{0, F(1.0)}, {1, F(0.0)}},
         "error",
         1},
        {"DivByANegativeIntGoesToTheHandler",
         {I(Op::DivR, {2, 0, 1}), I(Op::ReturnR, {2})},
         {{0, VI(kMin)}, {1, VI(-1)}},
         "error",
         1},
        {"DivOfIntByFloatGoesToTheHandler",
         {I(Op::DivR, {2, 0, 1}), I(Op::ReturnR, {2})},
         {{0, VI(3)}, {1, F(2.0)}},
         "Float",
         2},
        {"NegOfAFloatOverAString",
         {I(Op::NegR, {255, 254}), I(Op::ReturnR, {255})},
         {{254, F(2.5)}, {255, S("old")}},
         "Float",
         2},
        {"NegOfAnIntInPlace",
         {I(Op::NegR, {3, 3}), I(Op::NegR, {4, 3}), I(Op::ReturnR, {3})},
         {{3, VI(5)}},
         "Int -5",
         3},
        {"NegOfTheSmallestIntFailsInTheHandler",
         {I(Op::NegR, {3, 2}), I(Op::ReturnR, {3})},
         {{2, VI(kMin)}},
         "error",
         1},
        {"NegOfAStringFailsInTheHandler", {I(Op::NegR, {3, 2}), I(Op::ReturnR, {3})}, {{2, S("x")}}, "error", 1},
        {"FusedPairOnTheHighestRegisters",
         {I(Op::GteR, {255, 254, 253}), I(Op::JumpIfR, {255, 1}), I(Op::ReturnR, {0}), I(Op::ReturnR, {255})},
         {{254, VI(5)}, {253, VI(5)}, {0, VI(-1)}},
         "Bool true",
         3},
        {"FusedPairWithMixedOperandsOnHighRegisters",
         {I(Op::LtR, {200, 201, 202}), I(Op::JumpIfNotR, {200, 1}), I(Op::ReturnR, {200}), I(Op::ReturnR, {201})},
         {{201, VI(1)}, {202, F(1.5)}},
         "Bool true",
         3},
        {"FusedPairFailingOnHighRegisters",
         {I(Op::GtR, {250, 251, 252}), I(Op::JumpIfR, {250, 1}), I(Op::ReturnR, {250}), I(Op::ReturnR, {251})},
         {{251, S("x")}, {252, VI(1)}},
         "error",
         1},
        // In-place kinds: the destination keeps its type byte, and its
        // declared tag while no DefineR has run; a DefineR, even one just
        // before in the same run, makes them write the declared tag again.
        {"InPlaceSubOnTheRight", {I(Op::SubR, {2, 1, 2}), I(Op::ReturnR, {2})}, {{1, VI(10)}, {2, VI(4)}}, "Int 6", 2},
        {"InPlaceFloatMulOnTheLeft",
         {I(Op::MulR, {250, 250, 251}), I(Op::ReturnR, {250})},
         {{250, F(1.5)}, {251, F(-2.0)}},
         "Float",
         2},
        {"InPlaceAddOverDeclaredFloat",
         {I(Op::DefineR, {1, 3}), I(Op::AddR, {1, 1, 2}), I(Op::ReturnR, {1})},
         {{1, VI(1)}, {2, VI(2)}},
         "Int 3",
         3},
        {"InPlaceFloatSubOverDeclaredInt",
         {I(Op::DefineR, {1, 2}), I(Op::SubR, {1, 2, 1}), I(Op::ReturnR, {1})},
         {{1, F(0.5)}, {2, F(2.0)}},
         "Float",
         3},
        {"InPlaceAddOverflowGoesToTheHandler",
         {I(Op::AddR, {1, 1, 2}), I(Op::ReturnR, {1})},
         {{1, VI(kMax)}, {2, VI(1)}},
         "error",
         1},
        {"InPlaceAddOfStringsGoesToTheHandler",
         {I(Op::AddR, {1, 1, 2}), I(Op::ReturnR, {1})},
         {{1, S("ab")}, {2, S("cd")}},
         "String",
         2},
        {"InPlaceMulOfIntAndFloatGoesToTheHandler",
         {I(Op::MulR, {1, 2, 1}), I(Op::ReturnR, {1})},
         {{1, VI(3)}, {2, F(0.5)}},
         "Float",
         2},
        {"GroupAfterDefineR",
         {I(Op::DefineR, {0, 1}), I(Op::AddR, {0, 0, 1}), I(Op::LtR, {2, 0, 3}), I(Op::JumpIfR, {2, -3}),
          I(Op::ReturnR, {0})},
         {{0, VI(0)}, {1, VI(4)}, {3, VI(9)}},
         "Int 12",
         11},
        // DefineR inside the group's own loop: the first one rewrites the
        // group while the loop runs it, and every later round writes the
        // declared tag back to Int.
        {"DefineRInsideAGroupsLoop",
         {I(Op::DefineR, {0, 3}), I(Op::AddR, {0, 0, 1}), I(Op::LtR, {2, 0, 3}), I(Op::JumpIfR, {2, -4}),
          I(Op::ReturnR, {0})},
         {{0, VI(0)}, {1, VI(4)}, {3, VI(9)}},
         "Int 12",
         13},
        {"AddNotInPlaceBeforeAFusedPair",
         {I(Op::MoveR, {0, 5}), I(Op::AddR, {5, 0, 1}), I(Op::LtR, {2, 5, 3}), I(Op::JumpIfR, {2, -4}),
          I(Op::ReturnR, {5})},
         {{5, VI(0)}, {1, VI(4)}, {3, VI(9)}},
         "Int 12",
         13},
        {"GroupOnTheHighestRegisters",
         {I(Op::AddR, {255, 255, 254}), I(Op::LtR, {253, 255, 252}), I(Op::JumpIfR, {253, -3}), I(Op::ReturnR, {255})},
         {{255, VI(0)}, {254, VI(3)}, {252, VI(10)}},
         "Int 12",
         13},
        // Arithmetic entries whose operands change type every round: each
        // switches between its Int-first and Float-first kind.
        {"OperandTypesAlternate", alternating_types_loop(), alternating_types_preset(5), "Float", 91},
        // A DefineR after an in-place entry became Float-first: the entry
        // must store the declared tag from then on, like any scaled entry
        // (CheckTypeR reads it back).
        {"DefineRAfterAFloatInPlaceEntry",
         {I(Op::SubR, {11, 11, 13}), I(Op::CheckTypeR, {10, 11, 3}), I(Op::DefineR, {11, 2}), I(Op::AddR, {0, 0, 1}),
          I(Op::LtR, {2, 0, 3}), I(Op::JumpIfR, {2, -6}), I(Op::ReturnR, {10})},
         {{11, F(10.0)}, {13, F(0.25)}, {0, VI(0)}, {1, VI(1)}, {3, VI(3)}},
         "Bool true",
         19},
        {"GroupWithFloatAddendsOnHighRegisters",
         {I(Op::AddR, {255, 255, 254}), I(Op::LtR, {253, 255, 252}), I(Op::JumpIfR, {253, -3}), I(Op::ReturnR, {255})},
         {{255, F(0.0)}, {254, F(0.75)}, {252, VI(2)}},
         "Float",
         10},
    };
}

class Scaled : public ::testing::TestWithParam<FlowCase> {};

TEST_P(Scaled, SameAsThePlainLoop) {
    const FlowCase& c = GetParam();
    Module module = make_module(c.code);
    const std::vector<Instruction> form = build_fast_code(module.instructions, true, 320);
    EXPECT_TRUE(std::any_of(form.begin(), form.end(), [](const Instruction& entry) {
        return entry.op >= fast_op(FastKind::AddScaled) && entry.op != fast_op(FastKind::End);
    }));  // some entry is scaled
    Snapshot fast = run_once(module, false, c.preset);
    Snapshot plain = run_once(module, true, c.preset);
    EXPECT_EQ(fast, plain) << fast.outcome << " vs " << plain.outcome << ", pc " << fast.pc << " vs " << plain.pc;
    EXPECT_EQ(fast.outcome.substr(0, c.outcome.size()), c.outcome);
    EXPECT_EQ(fast.count, 100 + c.counted);
}

INSTANTIATE_TEST_SUITE_P(Table, Scaled, ::testing::ValuesIn(scaled_cases()),
                         [](const auto& info) { return info.param.name; });

// A DefineR in an earlier run, before the fast form existed (the plain loop
// ran it) or after (the fast loop did): the in-place AddR of the next run,
// which starts where the failed one stopped, still writes the declared tag.
TEST(FastCode, InPlaceAfterADefineRInAnEarlierRun) {
    const Module module = make_module({I(Op::DefineR, {1, 3}),  // 0: r1 declared Float
                                       I(Op::DivR, {9, 2, 8}),  // 1: by zero: the run fails here
                                       I(Op::AddR, {1, 1, 2}),  // 2: the next run starts here
                                       I(Op::ReturnR, {1})});
    auto two_runs = [&](bool plain_first, bool plain_then) {
        VmState vm;
        vm.reset_for_module(module);
        for (const auto& [r, v] : {std::pair<uint8_t, Value>{1, VI(1)}, {2, VI(2)}, {8, VI(0)}})
            vm.write_register(r, v);
        vm.testing.plain_run_loop = plain_first;
        EXPECT_EQ(run_state(vm).message, "Division by zero");
        vm.testing.plain_run_loop = plain_then;
        const Outcome second = run_state(vm);
        return describe(*second.value) + "/" + std::string(debug_name(vm.register_types[1]));
    };
    const std::string expected = two_runs(true, true);
    EXPECT_EQ(expected, "Int 3/Int");
    EXPECT_EQ(two_runs(true, false), expected);
    EXPECT_EQ(two_runs(false, false), expected);
}

// An arithmetic entry tests first for the type its operands held last:
// after a last round on Floats the three entries are Float-first, after
// one on Ints they are Int-first again.
TEST(FastCode, ArithmeticEntriesTestFirstTheTypeTheyLastSaw) {
    const FastKind ints[] = {FastKind::AddScaled, FastKind::DivScaled, FastKind::SubInPlace};
    const JitSwitch interpreter("0");  // the machine code does not run the fast form
    for (int64_t rounds : {1, 2, 5, 6}) {
        VmState vm;
        vm.reset_for_module(make_module(alternating_types_loop()));
        for (const auto& [r, v] : alternating_types_preset(rounds)) vm.write_register(r, v);
        ASSERT_TRUE(run_state(vm).ok);
        const bool last_on_floats = rounds % 2 == 1;
        for (size_t i = 0; i < 3; ++i)
            EXPECT_EQ(vm.caches.fast_code[i].op, fast_op(last_on_floats ? twin_kind(ints[i]) : ints[i]))
                << "rounds " << rounds << ", entry " << i;
    }
}

// The scaled operands: byte offsets from `file_offset` before r0, and no
// scaling (nor fusing) when the highest register's offset would not fit.
TEST(FastCode, ScaledOperandsAreByteOffsets) {
    std::vector<Instruction> code = {I(Op::SubR, {255, 0, 17}), I(Op::LtR, {4, 1, 2}), I(Op::JumpIfR, {4, -3})};
    const std::vector<Instruction> fast = build_fast_code(code, true, 320);
    EXPECT_EQ(fast[0].op, fast_op(FastKind::SubScaled));
    EXPECT_EQ(fast[0].a, 255);  // the tag's index
    EXPECT_EQ(scaled_dst(fast[0]), 320 + 255 * 16);
    EXPECT_EQ(scaled_left(fast[0]), 320);
    EXPECT_EQ(scaled_right(fast[0]), 320 + 17 * 16);
    EXPECT_EQ(fast[1].op, fast_op(FastKind::LtJumpIf));
    EXPECT_EQ(scaled_dst(fast[1]), 320 + 4 * 16);
    EXPECT_EQ(scaled_right(fast[1]), 320 + 2 * 16);
    EXPECT_EQ(fused_distance(fast[1]), -1);  // back to the SubR
    for (uint16_t too_far : {static_cast<uint16_t>(kMaxFileOffset + 1), uint16_t{UINT16_MAX}}) {
        const std::vector<Instruction> plain = build_fast_code(code, true, too_far);
        EXPECT_EQ(plain[0].op, Op::SubR) << too_far;
        EXPECT_EQ(plain[1].op, Op::LtR) << too_far;
    }
}

// Which arithmetic entries are in place, and which AddR starts a group: an
// in-place one followed by a fused comparison of its result.
TEST(FastCode, InPlaceKindsAndGroups) {
    struct Row {
        Instruction arithmetic;
        FastKind alone;      // its kind before a plain instruction
        FastKind before_lt;  // before LtR r4, <its destination>, r9 and JumpIfR r4
    };
    const Row rows[] = {
        {I(Op::AddR, {1, 1, 2}), FastKind::AddInPlace, FastKind::AddLtJumpIf},
        {I(Op::AddR, {1, 2, 1}), FastKind::AddInPlace, FastKind::AddLtJumpIf},
        {I(Op::AddR, {1, 2, 3}), FastKind::AddScaled, FastKind::AddScaled},
        {I(Op::SubR, {3, 3, 1}), FastKind::SubInPlace, FastKind::SubInPlace},
        {I(Op::MulR, {3, 2, 3}), FastKind::MulInPlace, FastKind::MulInPlace},
        {I(Op::MulR, {3, 2, 2}), FastKind::MulScaled, FastKind::MulScaled},
        {I(Op::DivR, {3, 3, 2}), FastKind::DivScaled, FastKind::DivScaled},
    };
    for (const Row& row : rows) {
        const std::vector<Instruction> alone = build_fast_code({row.arithmetic, I(Op::Nop)}, true, 320);
        EXPECT_EQ(alone[0].op, fast_op(row.alone)) << kInstructionInfo[static_cast<size_t>(row.arithmetic.op)].name;
        const std::vector<Instruction> grouped =
            build_fast_code({row.arithmetic, I(Op::LtR, {4, row.arithmetic.a, 9}), I(Op::JumpIfR, {4, -3})}, true, 320);
        EXPECT_EQ(grouped[0].op, fast_op(row.before_lt))
            << kInstructionInfo[static_cast<size_t>(row.arithmetic.op)].name;
        EXPECT_EQ(grouped[1].op, fast_op(FastKind::LtJumpIf));
    }
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
    EXPECT_EQ(jump_distance(fast[0]), 2);
    EXPECT_EQ(jump_label(fast[0]), 0);
    EXPECT_EQ(fast[1].op, Op::JumpIfR);  // target -1: left to the handler, which ends the run
    EXPECT_EQ(fast[2].op, fast_op(FastKind::JumpIfNotIn));
    EXPECT_EQ(jump_distance(fast[2]), 1);
    EXPECT_EQ(jump_label(fast[2]), 2);
    EXPECT_EQ(fast[3].op, Op::Nop);
    EXPECT_EQ(fast[4].op, fast_op(FastKind::End));
    // Unfused on request: the comparison keeps its kind.
    std::vector<Instruction> pair = {I(Op::LtR, {4, 0, 1}), I(Op::JumpIfR, {4, -2})};
    EXPECT_EQ(build_fast_code(pair, true)[0].op, fast_op(FastKind::LtJumpIf));
    EXPECT_EQ(fused_distance(build_fast_code(pair, true)[0]), 0);  // back to the comparison
    EXPECT_EQ(fused_label(build_fast_code(pair, true)[0]), 1);     // the jump's index
    EXPECT_EQ(build_fast_code(pair, false)[0].op, Op::LtR);
}

// Which pairs fuse by how far their target lies: the fused entry takes its
// target from the jump's entry, so any target inside the list will do, and
// one past the end leaves the pair to the jump's handler.
TEST(FastCode, PairsFuseWheneverTheTargetIsInsideTheList) {
    struct Row {
        int64_t gap;  // Nops between the pair and its target
        bool fused;
    };
    for (Row row : {Row{0, true}, Row{32765, true}, Row{32766, true}, Row{40000, true}, Row{-3, false}}) {
        std::vector<Instruction> code = {I(Op::LtR, {4, 0, 1}), I(Op::JumpIfR, {4, row.gap})};
        code.insert(code.end(), static_cast<size_t>(std::max<int64_t>(row.gap, 0)) + 1, I(Op::Nop));
        const std::vector<Instruction> fast = build_fast_code(code);
        EXPECT_EQ(fast[0].op == fast_op(FastKind::LtJumpIf), row.fused) << row.gap;
        if (row.fused) {
            EXPECT_EQ(fused_distance(fast[0]), row.gap + 2) << row.gap;
        }
    }
}

}  // namespace
}  // namespace tarnel::testing
