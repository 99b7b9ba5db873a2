// Typed loops in machine code: which loops qualify and with which types,
// and that running them leaves exactly what the interpreter leaves, through
// every way out of a loop (each side exit, jumps out, running off its end,
// an entry whose registers hold other types, a poll for a budget) and on
// random loops.
#include <gtest/gtest.h>

#include <random>

#include "diagnostics/debug_form.hpp"
#include "jit_snapshot.hpp"
#include "vm/jit_loops.hpp"

namespace tarnel::testing {
namespace {

using namespace program_values;

// ---- which loops qualify -----------------------------------------------------

struct PlanCase {
    std::string name;
    std::vector<Instruction> code;
    std::vector<Constant> constants;
    std::vector<std::pair<uint64_t, uint64_t>> loops;      // head and last of each qualifying loop
    std::vector<std::pair<uint8_t, jit::Kept>> kept;       // in the first loop
    std::vector<std::pair<uint8_t, ValueType>> seen = {};  // tags when compiled; none: not passed
};

// `filler` Nops, then a loop of `length` instructions (Nops and a jump back).
std::vector<Instruction> nop_loop(size_t filler, int64_t length) {
    std::vector<Instruction> code(filler + static_cast<size_t>(length) - 1, I(Op::Nop));
    code.push_back(I(Op::JumpR, {-length}));
    return code;
}

// LoadConstR r1, k0 (an Int); `between` instructions; a loop that only
// moves r1 into r2, so r1's type comes from before the head.
std::vector<Instruction> loaded_then_looped(std::vector<Instruction> between) {
    std::vector<Instruction> code = {I(Op::LoadConstR, {1, 0})};
    code.insert(code.end(), between.begin(), between.end());
    code.push_back(I(Op::MoveR, {2, 1}));
    code.push_back(I(Op::JumpR, {-2}));
    return code;
}

std::vector<PlanCase> plan_cases() {
    using jit::Kept;
    const std::vector<Constant> k = {Constant::of_int(0), Constant::of_float(1.0), Constant::of_bool(true),
                                     Constant::of_string("s")};
    // r0 += r3 while r0 < r1, r0, r1 and r3 loaded before the loop.
    const std::vector<Instruction> int_loop = {
        I(Op::LoadConstR, {0, 0}), I(Op::LoadConstR, {1, 0}), I(Op::LoadConstR, {3, 0}), I(Op::AddR, {0, 0, 3}),
        I(Op::LtR, {4, 0, 1}),     I(Op::JumpIfR, {4, -3}),   I(Op::ReturnR, {0})};
    return {
        {"IntLoop", int_loop, k, {{3, 5}}, {{0, Kept::Int}, {1, Kept::Int}, {3, Kept::Int}, {4, Kept::Bool}}},
        {"TypesFromTheBodyAlone",
         {I(Op::AddR, {5, 5, 6}), I(Op::LoadConstR, {6, 1}), I(Op::LtR, {4, 5, 6}), I(Op::JumpIfR, {4, -4}),
          I(Op::Halt)},
         k,
         {{0, 3}},
         {{5, Kept::Float}, {6, Kept::Float}, {4, Kept::Bool}}},
        {"ArrayNamedOnlyAsAnArray",
         {I(Op::NewArrayR, {1, 0}), I(Op::LoadConstR, {2, 0}), I(Op::ArrayGetR, {6, 1, 2}), I(Op::AddR, {5, 5, 6}),
          I(Op::ArraySetR, {1, 2, 5}), I(Op::LtR, {4, 5, 2}), I(Op::JumpIfR, {4, -5}), I(Op::Halt)},
         k,
         {{2, 6}},
         {{1, Kept::Array}, {2, Kept::Int}, {5, Kept::Int}, {6, Kept::Int}}},
        {"NestedLoopsBoth",
         {I(Op::LoadConstR, {0, 0}), I(Op::AddR, {1, 1, 0}), I(Op::LtR, {4, 1, 0}), I(Op::JumpIfR, {4, -3}),
          I(Op::AddR, {0, 0, 0}), I(Op::LtR, {4, 0, 1}), I(Op::JumpIfR, {4, -7}), I(Op::Halt)},
         k,
         {{0, 6}, {1, 3}},
         {{0, Kept::Int}, {1, Kept::Int}, {4, Kept::Bool}}},
        {"JumpBackToTheHeadFromTheMiddle",
         {I(Op::LoadConstR, {0, 0}), I(Op::AddR, {0, 0, 0}), I(Op::JumpIfR, {4, -2}), I(Op::LtR, {4, 0, 0}),
          I(Op::JumpIfR, {4, -4}), I(Op::Halt)},
         k,
         {{1, 4}},
         {{0, Kept::Int}, {4, Kept::Bool}}},
        {"AKindWithoutTypedCode",
         {I(Op::ConcatStrR, {1, 1, 2}), I(Op::LtR, {4, 0, 1}), I(Op::JumpIfR, {4, -3}), I(Op::Halt)},
         k,
         {},
         {}},
        {"ARegisterOfTwoTypes",
         {I(Op::LoadConstR, {5, 0}), I(Op::LoadConstR, {5, 1}), I(Op::LtR, {4, 5, 5}), I(Op::JumpIfR, {4, -4}),
          I(Op::Halt)},
         k,
         {},
         {}},
        {"IntAndFloatMixed",
         {I(Op::LoadConstR, {1, 0}), I(Op::LoadConstR, {2, 1}), I(Op::AddR, {3, 1, 2}), I(Op::JumpR, {-2})},
         k,
         {},
         {}},
        {"FloatEqualityHasNoTypedForm",
         {I(Op::LoadConstR, {1, 1}), I(Op::EqR, {4, 1, 1}), I(Op::JumpIfR, {4, -2}), I(Op::Halt)},
         k,
         {},
         {}},
        {"AStringConstant", {I(Op::LoadConstR, {1, 3}), I(Op::JumpR, {-2})}, k, {}, {}},
        {"ATypeNothingTells", {I(Op::MoveR, {1, 2}), I(Op::JumpR, {-2})}, k, {}, {}},
        {"ArrayMovedAsAValue", {I(Op::NewArrayR, {1, 0}), I(Op::MoveR, {2, 1}), I(Op::JumpR, {-2})}, k, {}, {}},
        {"JumpOutOfTheList", {I(Op::LoadConstR, {0, 0}), I(Op::JumpIfR, {4, 40}), I(Op::JumpR, {-3})}, k, {}, {}},
        // Elements only tested may be Empty too; anything else keeps a Bool.
        {"AnElementOnlyTestedIsATruth",
         {I(Op::NewArrayR, {1, 0}), I(Op::LoadConstR, {2, 0}), I(Op::ArrayGetR, {6, 1, 2}), I(Op::JumpIfNotR, {6, 1}),
          I(Op::AddR, {2, 2, 2}), I(Op::JumpR, {-4})},
         k,
         {{2, 5}},
         {{1, Kept::Array}, {2, Kept::Int}, {6, Kept::Truth}}},
        {"AnElementAlsoMovedStaysBool",
         {I(Op::NewArrayR, {1, 0}), I(Op::LoadConstR, {2, 0}), I(Op::ArrayGetR, {6, 1, 2}), I(Op::MoveR, {7, 6}),
          I(Op::JumpIfNotR, {6, 1}), I(Op::AddR, {2, 2, 2}), I(Op::JumpR, {-5})},
         k,
         {{2, 6}},
         {{6, Kept::Bool}, {7, Kept::Bool}}},
        // How long a loop may be.
        {"AsLongAsTheBound", nop_loop(2, jit::kMaxLoopLength), k, {{2, jit::kMaxLoopLength + 1}}, {}},
        {"LongerThanTheBound", nop_loop(2, jit::kMaxLoopLength + 1), k, {}, {}},
        // Where the types of registers the loop only reads come from.
        {"TypeFromBeforeTheHead", loaded_then_looped({I(Op::Nop)}), k, {{2, 3}}, {{1, Kept::Int}, {2, Kept::Int}}},
        {"ACallBeforeTheHeadForgetsIt", loaded_then_looped({Instruction::call(9, {}, 8)}), k, {}, {}},
        {"TooFarBeforeTheHead", loaded_then_looped(std::vector<Instruction>(64, I(Op::Nop))), k, {}, {}},
        {"SeenTypeWhereTheCodeSaysNothing",
         {I(Op::MoveR, {1, 2}), I(Op::JumpR, {-2})},
         k,
         {{0, 1}},
         {{1, Kept::Float}, {2, Kept::Float}},
         {{2, ValueType::Float}}},
        {"CodeBeforeTheHeadOverSeen",
         loaded_then_looped({}),
         k,
         {{1, 2}},
         {{1, Kept::Int}, {2, Kept::Int}},
         {{1, ValueType::Float}, {2, ValueType::Float}}},
        {"TheLoopsOwnTypesOverSeen",
         {I(Op::AddR, {5, 5, 6}), I(Op::LoadConstR, {6, 1}), I(Op::LtR, {4, 5, 6}), I(Op::JumpIfR, {4, -4}),
          I(Op::Halt)},
         k,
         {{0, 3}},
         {{5, Kept::Float}, {4, Kept::Bool}},
         {{5, ValueType::Int}, {4, ValueType::Int}}},
        {"SeenStringKeepsNothing", {I(Op::MoveR, {1, 2}), I(Op::JumpR, {-2})}, k, {}, {}, {{2, ValueType::String}}},
    };
}

void PrintTo(const PlanCase& c, std::ostream* os) { *os << c.name; }

class LoopPlans : public ::testing::TestWithParam<PlanCase> {};

TEST_P(LoopPlans, QualifyWithTheirTypes) {
    const PlanCase& c = GetParam();
    jit::SeenTypes seen{};
    for (const auto& [r, type] : c.seen) seen[r] = type;
    const std::vector<jit::LoopPlan> plans = jit::plan_loops(c.code, c.constants, c.seen.empty() ? nullptr : &seen);
    std::vector<std::pair<uint64_t, uint64_t>> found;
    for (const auto& plan : plans) found.emplace_back(plan.head, plan.last);
    EXPECT_EQ(found, c.loops);
    for (const auto& [r, kept] : c.kept)
        EXPECT_EQ(static_cast<int>(plans.at(0).kept[r]), static_cast<int>(kept)) << "r" << int{r};
}

INSTANTIATE_TEST_SUITE_P(Table, LoopPlans, ::testing::ValuesIn(plan_cases()),
                         [](const auto& info) { return info.param.name; });

// ---- ways out of a typed loop ---------------------------------------------------

struct LoopCase {
    std::string name;
    std::vector<Instruction> code;
    Preset preset;
};

// The counted shape: `body`, then r20 += r21 and a jump back while r20 < r22
// (r20 from 0 by 1 up to 10 unless the preset says otherwise), then a
// return of r0.
std::vector<Instruction> counted(std::vector<Instruction> body) {
    const auto back = static_cast<int64_t>(body.size()) + 3;
    body.push_back(I(Op::AddR, {20, 20, 21}));
    body.push_back(I(Op::LtR, {23, 20, 22}));
    body.push_back(I(Op::JumpIfR, {23, -back}));
    body.push_back(I(Op::ReturnR, {0}));
    return body;
}

Preset with_counter(Preset preset, int64_t times = 10) {
    preset.insert(preset.begin(), {{20, VI(0)}, {21, VI(1)}, {22, VI(times)}, {23, B(true)}});
    return preset;
}

std::vector<LoopCase> loop_cases() {
    const int64_t big = kMax - 5;
    return {
        {"AddOverflowInPlaceIsUndone", counted({I(Op::AddR, {0, 0, 1})}), with_counter({{0, VI(big)}, {1, VI(1)}})},
        {"AddOverflowIntoTheRightOperand", counted({I(Op::AddR, {1, 0, 1})}), with_counter({{0, VI(1)}, {1, VI(big)}})},
        {"SubOverflowInPlaceIsUndone", counted({I(Op::SubR, {0, 0, 1})}),
         with_counter({{0, VI(kMin + 3)}, {1, VI(1)}})},
        {"SubOverflowOfTheRightOperand", counted({I(Op::SubR, {1, 0, 1})}), with_counter({{0, VI(kMin)}, {1, VI(-1)}})},
        {"MulOverflow", counted({I(Op::MulR, {0, 0, 1})}), with_counter({{0, VI(3)}, {1, VI(1000)}})},
        {"NegOfTheSmallestInt", counted({I(Op::NegR, {0, 0}), I(Op::AddR, {0, 0, 1})}),
         with_counter({{0, VI(kMin + 2)}, {1, VI(-1)}})},
        {"IntDivisionByZeroAndNegatives", counted({I(Op::DivR, {0, 0, 1}), I(Op::SubR, {1, 1, 2})}),
         with_counter({{0, VI(-1000000)}, {1, VI(4)}, {2, VI(1)}})},
        {"FloatDivisionByZero", counted({I(Op::DivR, {0, 0, 1}), I(Op::SubR, {1, 1, 2})}),
         with_counter({{0, F(7.0)}, {1, F(2.0)}, {2, F(0.5)}})},
        {"FloatsNaNsAndSigns",
         counted({I(Op::DivR, {3, 1, 2}), I(Op::NegR, {2, 2}), I(Op::AddR, {0, 0, 3}), I(Op::LtR, {4, 0, 5}),
                  I(Op::GteR, {6, 5, 0}), I(Op::MulR, {5, 5, 5})}),
         with_counter({{0, F(0.0)}, {1, F(1.0)}, {2, F(3.0)}, {5, F(kNaN)}})},
        {"ComparisonsOfEveryKind",
         counted({I(Op::LtR, {4, 0, 1}), I(Op::LteR, {5, 0, 1}), I(Op::GtR, {6, 0, 1}), I(Op::GteR, {7, 0, 1}),
                  I(Op::EqR, {8, 0, 1}), I(Op::NeqR, {9, 0, 1}), I(Op::AddR, {0, 0, 2})}),
         with_counter({{0, VI(-3)}, {1, VI(2)}, {2, VI(1)}})},
        {"ForwardJumpsInsideAndOut",
         counted({I(Op::AddR, {0, 0, 1}), I(Op::LtR, {4, 0, 2}), I(Op::JumpIfNotR, {4, 1}), I(Op::AddR, {3, 3, 1}),
                  I(Op::GtR, {5, 0, 6}), I(Op::JumpIfR, {5, 4}), I(Op::JumpR, {0})}),
         with_counter({{0, VI(0)}, {1, VI(1)}, {2, VI(4)}, {3, VI(0)}, {6, VI(7)}}, 20)},
        {"LeavesByRunningOffTheEnd",
         {I(Op::AddR, {0, 0, 1}), I(Op::LtR, {4, 0, 2}), I(Op::JumpIfR, {4, -3})},
         {{0, VI(0)}, {1, VI(2)}, {2, VI(9)}, {4, B(true)}}},
        {"BackEdgeAnUnconditionalJump",
         {I(Op::AddR, {0, 0, 1}), I(Op::GtR, {4, 0, 2}), I(Op::JumpIfR, {4, 1}), I(Op::JumpR, {-4}),
          I(Op::ReturnR, {0})},
         {{0, VI(0)}, {1, VI(3)}, {2, VI(10)}, {4, B(false)}}},
        {"EntryTypesDifferFromThePrediction", counted({I(Op::AddR, {0, 0, 1})}),
         with_counter({{0, F(0.5)}, {1, F(0.25)}})},
        {"TemporaryOfAnotherTypeBeforeTheFirstIteration", counted({I(Op::DivR, {7, 1, 2}), I(Op::AddR, {0, 0, 7})}),
         with_counter({{0, F(0.0)}, {1, F(1.0)}, {2, F(4.0)}, {7, S("text")}})},
        {"DeclaredTagDiffers",
         {I(Op::DefineR, {0, 2}), I(Op::AddR, {0, 0, 1}), I(Op::LtR, {4, 0, 2}), I(Op::JumpIfR, {4, -3}),
          I(Op::ReturnR, {0})},
         {{0, VI(0)}, {1, VI(1)}, {2, VI(5)}, {4, B(true)}}},
        {"MoreIntsThanMachineRegisters",
         counted({I(Op::AddR, {0, 0, 1}), I(Op::AddR, {2, 2, 0}), I(Op::AddR, {3, 3, 2}), I(Op::AddR, {5, 5, 3}),
                  I(Op::AddR, {6, 6, 5}), I(Op::AddR, {7, 7, 6}), I(Op::AddR, {8, 8, 7}), I(Op::AddR, {9, 9, 8}),
                  I(Op::MoveR, {10, 9}), I(Op::LtR, {11, 9, 0}), I(Op::NegR, {12, 10}), I(Op::MulR, {13, 13, 1})}),
         with_counter({{0, VI(1)},
                       {1, VI(3)},
                       {2, VI(0)},
                       {3, VI(0)},
                       {5, VI(0)},
                       {6, VI(0)},
                       {7, VI(0)},
                       {8, VI(0)},
                       {9, VI(0)},
                       {11, B(false)},
                       {12, VI(0)},
                       {13, VI(1)},
                       {10, VI(0)}},
                      40)},
        {"MoreFloatsThanMachineRegisters",
         counted({I(Op::AddR, {0, 0, 1}), I(Op::AddR, {2, 2, 0}), I(Op::AddR, {3, 3, 2}), I(Op::AddR, {5, 5, 3}),
                  I(Op::AddR, {6, 6, 5}), I(Op::AddR, {7, 7, 6}), I(Op::AddR, {8, 8, 7}), I(Op::AddR, {9, 9, 8}),
                  I(Op::AddR, {10, 10, 9}), I(Op::AddR, {11, 11, 10}), I(Op::AddR, {12, 12, 11}),
                  I(Op::AddR, {13, 13, 12}), I(Op::AddR, {14, 14, 13}), I(Op::DivR, {15, 14, 1}), I(Op::NegR, {16, 15}),
                  I(Op::LtR, {17, 16, 15})}),
         with_counter({{0, F(1.0)},
                       {1, F(0.5)},
                       {2, F(0)},
                       {3, F(0)},
                       {5, F(0)},
                       {6, F(0)},
                       {7, F(0)},
                       {8, F(0)},
                       {9, F(0)},
                       {10, F(0)},
                       {11, F(0)},
                       {12, F(0)},
                       {13, F(0)},
                       {14, F(0)},
                       {15, F(0)},
                       {16, F(0)},
                       {17, B(false)}})},
        {"ArraySumAndFill",
         counted({I(Op::ArraySetR, {5, 20, 20}), I(Op::ArrayGetR, {6, 5, 20}), I(Op::AddR, {0, 0, 6})}),
         with_counter({{0, VI(0)}, {5, Value::array(std::vector<Value>(10))}, {6, VI(0)}})},
        {"IndexPastTheEnd", counted({I(Op::ArrayGetR, {6, 5, 20}), I(Op::AddR, {0, 0, 6})}),
         with_counter({{0, VI(0)}, {5, Value::array({VI(1), VI(2), VI(3)})}, {6, VI(0)}})},
        {"NegativeIndex", counted({I(Op::SubR, {7, 7, 21}), I(Op::ArraySetR, {5, 7, 0})}),
         with_counter({{0, VI(4)}, {5, Value::array({VI(1), VI(2), VI(3)})}, {7, VI(3)}})},
        {"ElementOfAnotherType", counted({I(Op::ArrayGetR, {6, 5, 20}), I(Op::AddR, {0, 0, 6})}),
         with_counter({{0, VI(0)}, {5, Value::array({VI(1), VI(2), F(3.0), VI(4)})}, {6, VI(0)}})},
        {"StoreOverAHeapElement", counted({I(Op::ArraySetR, {5, 20, 20})}),
         with_counter({{5, Value::array({VI(1), S("heap"), VI(3), VI(4), VI(5), VI(6), VI(7), VI(8), VI(9), VI(0)})}})},
        {"SharedArrayIsCopiedBeforeTheLoop", counted({I(Op::ArraySetR, {5, 20, 20})}),
         [] {
             Value shared = Value::array(std::vector<Value>(10));
             return with_counter({{5, shared}, {6, shared}});
         }()},
        // Inner loop r7 from r0 to r0 + 3 inside the counted one; the
        // sum in r1 overflows after a while.
        {"NestedLoopsAndAnExitFromTheInner",
         counted({I(Op::MoveR, {7, 0}), I(Op::AddR, {8, 0, 3}), I(Op::MulR, {1, 1, 2}), I(Op::AddR, {7, 7, 21}),
                  I(Op::LtR, {9, 7, 8}), I(Op::JumpIfR, {9, -4}), I(Op::AddR, {0, 0, 21})}),
         with_counter({{0, VI(0)}, {1, VI(1)}, {2, VI(3)}, {3, VI(3)}, {7, VI(0)}, {8, VI(0)}, {9, B(false)}}, 30)},
        // A register only filled from elements and tested holds Empty or a
        // Bool, tag and all, and leaves on any other element.
        {"TruthsOfEmptyAndBoolElements",
         counted({I(Op::ArrayGetR, {6, 5, 20}), I(Op::JumpIfR, {6, 1}), I(Op::AddR, {0, 0, 21})}),
         with_counter({{0, VI(0)},
                       {5, Value::array({Value(), B(true), Value(), B(false), Value(), Value(), B(true), B(true),
                                         Value(), B(false)})}})},
        {"TruthMeetsAnInt", counted({I(Op::ArrayGetR, {6, 5, 20}), I(Op::JumpIfNotR, {6, 1}), I(Op::AddR, {0, 0, 21})}),
         with_counter(
             {{0, VI(0)}, {5, Value::array({B(true), Value(), B(true), VI(1), B(true), Value()})}, {6, B(false)}})},
        {"TruthMeetsAString",
         counted({I(Op::ArrayGetR, {6, 5, 20}), I(Op::JumpIfNotR, {6, 1}), I(Op::AddR, {0, 0, 21})}),
         with_counter({{0, VI(0)}, {5, Value::array({Value(), B(true), S("x"), Value(), B(true), Value()})}})},
        // Declared Int while it holds Empty: the loop's copy of an element sets both.
        {"TruthDeclaredOtherwise",
         {I(Op::DefineR, {6, 2}), I(Op::ArrayGetR, {6, 5, 0}), I(Op::JumpIfR, {6, 1}), I(Op::AddR, {3, 3, 1}),
          I(Op::AddR, {0, 0, 1}), I(Op::LtR, {4, 0, 2}), I(Op::JumpIfR, {4, -6}), I(Op::ReturnR, {3})},
         {{0, VI(0)},
          {1, VI(1)},
          {2, VI(8)},
          {3, VI(0)},
          {4, B(true)},
          {5, Value::array({Value(), B(true), Value(), B(false), Value(), B(true), Value(), Value()})}}},
        {"BoolsStoredAndRead",
         counted({I(Op::ArraySetR, {5, 20, 1}), I(Op::ArrayGetR, {2, 5, 20}), I(Op::JumpIfNotR, {2, 1}),
                  I(Op::AddR, {0, 0, 21}), I(Op::LtR, {1, 0, 3})}),
         with_counter(
             {{0, VI(0)}, {1, B(true)}, {2, B(false)}, {3, VI(4)}, {5, Value::array(std::vector<Value>(10))}})},
    };
}

void PrintTo(const LoopCase& c, std::ostream* os) { *os << c.name; }

class TypedLoops : public ::testing::TestWithParam<LoopCase> {};

TEST_P(TypedLoops, SameAsTheInterpreter) {
    const LoopCase& c = GetParam();
    jit::SeenTypes seen{};
    for (const auto& [r, value] : c.preset) seen[r] = value.type();
    EXPECT_FALSE(jit::plan_loops(c.code, {}, &seen).empty()) << "the case is meant to exercise a typed loop";
    Module module = make_module(c.code);
    expect_same_as_interpreter(module, c.preset, c.name);
    const Snapshot interpreter = play(module, "0", c.preset);
    for (uint64_t hot : {1, 5, 17}) {
        const Snapshot tiered = play(module, "default", c.preset, 2, nullptr, hot);
        EXPECT_TRUE(tiered == interpreter) << c.name << " hot " << hot << ":" << difference(tiered, interpreter);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, TypedLoops, ::testing::ValuesIn(loop_cases()),
                         [](const auto& info) { return info.param.name; });

// The longest typed loops, each instruction a side exit that stores back
// every register the loop writes: the code stays linear in the list.
TEST(TypedLoopsCode, SizeLinearInTheList) {
    if (!jit::tier_built()) GTEST_SKIP() << "this build has no machine-code tier";
    auto loops = [](int count) {
        std::vector<Instruction> code;
        for (int loop = 0; loop < count; ++loop) {
            for (int k = 0; k + 1 < static_cast<int>(jit::kMaxLoopLength); ++k)
                code.push_back(I(Op::AddR, {k % 24, k % 24, 30}));
            code.push_back(I(Op::JumpR, {-static_cast<int64_t>(jit::kMaxLoopLength)}));
        }
        return code;
    };
    jit::SeenTypes ints;
    ints.fill(ValueType::Int);
    const auto small_list = loops(4), large_list = loops(16);
    ASSERT_EQ(jit::plan_loops(large_list, {}, &ints).size(), 16u);
    auto small = jit::compile(small_list, {}, &ints);
    auto large = jit::compile(large_list, {}, &ints);
    ASSERT_TRUE(small && large);
    EXPECT_LE(jit::code_bytes(*large), 4 * jit::code_bytes(*small) + 1024);
    EXPECT_LE(jit::code_bytes(*large), large_list.size() * 512);
}

// ---- random loops ---------------------------------------------------------------

// A loop over r0..r9, each given a type, of random typed instructions on
// them and an array in r12, with forward jumps inside and out, counted by
// r20 up to r22. The registers start with constants of their type, or now
// and then of another, so entries that fail their checks are tried too.
class RandomLoop {
public:
    explicit RandomLoop(uint64_t seed) : rng_(seed) {}

    Module make() {
        for (auto& type : type_) type = static_cast<int>(rng_() % 3);  // 0 Int, 1 Float, 2 Bool
        code_ = {I(Op::LoadConstR, {20, 0}), I(Op::LoadConstR, {21, 1}), I(Op::LoadConstR, {22, 2 + pick(3)}),
                 I(Op::LoadConstR, {13, 4}), I(Op::NewArrayR, {12, 13}), I(Op::LoadConstR, {26, 3})};
        for (uint8_t r = 0; r < 10; ++r)
            code_.push_back(I(Op::LoadConstR, {r, constant(pick(12) ? type_[r] : pick(3))}));
        head_ = code_.size();
        const int length = 2 + pick(14);
        for (int i = 0; i < length; ++i) add();
        const auto back = static_cast<int64_t>(code_.size() - head_) + 3;
        counter_ = code_.size();
        code_.push_back(I(Op::AddR, {20, 20, 21}));
        code_.push_back(I(Op::LtR, {23, 20, 22}));
        code_.push_back(I(Op::JumpIfR, {23, -back}));
        code_.push_back(I(Op::ReturnR, {static_cast<int64_t>(pick(10))}));
        aim_forward_jumps();
        return make_module(code_, constants());
    }

private:
    static std::vector<Constant> constants() {
        return {Constant::of_int(0),       Constant::of_int(1),     Constant::of_int(20),    Constant::of_int(3),
                Constant::of_int(2000),    Constant::of_int(64),    Constant::of_int(-7),    Constant::of_int(kMax - 2),
                Constant::of_float(0.5),   Constant::of_float(-3),  Constant::of_float(0),   Constant::of_float(kNaN),
                Constant::of_float(1e308), Constant::of_bool(true), Constant::of_bool(false)};
    }
    int64_t constant(int type) {
        static const int64_t ints[] = {0, 1, 2, 6, 7};  // 0, 1, 20, -7 and near the largest Int
        if (type == 0) return ints[pick(5)];
        if (type == 1) return 8 + pick(5);
        return 13 + pick(2);
    }
    int64_t pick(int64_t n) { return static_cast<int64_t>(rng_() % static_cast<uint64_t>(n)); }
    uint8_t of_type(int type) {
        for (int tries = 0; tries < 20; ++tries) {
            const auto r = static_cast<uint8_t>(pick(10));
            if (type_[r] == type) return r;
        }
        return 255;
    }

    void add() {
        const int type = pick(4) ? static_cast<int>(pick(2)) : 2;
        const uint8_t a = of_type(type), b = of_type(type), c = of_type(type);
        if (a == 255) return;
        static const Opcode arithmetic[] = {Op::AddR, Op::SubR, Op::MulR, Op::DivR, Op::NegR, Op::MoveR};
        static const Opcode comparisons[] = {Op::LtR, Op::LteR, Op::GtR, Op::GteR, Op::EqR, Op::NeqR};
        switch (pick(9)) {
            case 0:
            case 1:
            case 2: {
                const Opcode op = type == 2 ? Op::MoveR : arithmetic[pick(std::size(arithmetic))];
                if (op == Op::MoveR || op == Op::NegR) return code_.push_back(I(op, {a, b}));
                return code_.push_back(I(op, {a, b, c}));
            }
            case 3: {
                const uint8_t dst = of_type(2);
                const Opcode op = comparisons[type == 0 ? pick(6) : pick(4)];
                if (dst == 255 || type == 2) return;
                return code_.push_back(I(op, {dst, b, c}));
            }
            case 4:
                return code_.push_back(I(Op::LoadConstR, {a, constant(type)}));
            case 5: {
                const uint8_t index = pick(2) ? 20 : of_type(0);
                if (index == 255) return;
                if (pick(2)) return code_.push_back(I(Op::ArrayGetR, {a, 12, index}));
                return code_.push_back(I(Op::ArraySetR, {12, index, a}));
            }
            case 8: {  // an inner loop: three times round one instruction
                code_.push_back(I(Op::LoadConstR, {24, 0}));
                const size_t inner = code_.size();
                add();
                code_.push_back(I(Op::AddR, {24, 24, 21}));
                code_.push_back(I(Op::LtR, {25, 24, 26}));
                return code_.push_back(
                    I(Op::JumpIfR, {25, static_cast<int64_t>(inner) - static_cast<int64_t>(code_.size()) - 1}));
            }
            default: {
                const uint8_t cond = of_type(2);
                if (cond == 255) return code_.push_back(I(Op::JumpR, {pick(4)}));
                return code_.push_back(I(pick(2) ? Op::JumpIfR : Op::JumpIfNotR, {cond, pick(6)}));
            }
        }
    }

    // Forward jumps land inside the body, on the counter's increment, or
    // past the loop; never on its compare or jump, so every loop ends.
    void aim_forward_jumps() {
        for (size_t j = head_; j < counter_; ++j) {
            Instruction& ins = code_[j];
            if (ins.op != Op::JumpR && ins.op != Op::JumpIfR && ins.op != Op::JumpIfNotR) continue;
            const size_t target = j + 1 + static_cast<size_t>(ins.offset());
            if (target > counter_) ins.wide = static_cast<uint32_t>((pick(3) ? counter_ : counter_ + 3) - (j + 1));
        }
    }

    std::mt19937_64 rng_;
    std::vector<Instruction> code_;
    std::array<int, 10> type_{};
    size_t head_ = 0;
    size_t counter_ = 0;
};

std::string listing(const Module& module) {
    std::string out;
    for (size_t i = 0; i < module.instructions.size(); ++i) {
        out += "\n  " + std::to_string(i) + " ";
        append_debug_form(out, module.instructions[i]);
    }
    return out;
}

// Runs `module` with TARNEL_JIT set to `mode`, first with an instruction
// budget of `first` and then of a million more; a random loop may never
// end, and both tiers must then stop at the same instruction.
Snapshot play_budgets(const Module& module, const char* mode, uint64_t first) {
    JitSwitch jit(mode);
    VmState vm;
    vm.reset_for_module(module);
    Snapshot snap;
    for (uint64_t budget : {first, uint64_t{1000000}}) {
        RunLimits limits;
        limits.max_instructions = budget;
        const auto result = run_limited(vm, limits);
        if (result)
            snap.outcomes.push_back(result.value() ? testing_values::describe(*result.value()) : "none");
        else if (const auto* error = std::get_if<VmError>(&result.error()))
            snap.outcomes.push_back("error: " + error->message());
        else
            snap.outcomes.push_back(std::holds_alternative<LimitReached>(result.error()) ? "limit" : "fault");
    }
    snap.take_state(vm);
    return snap;
}

TEST(TypedLoopsDifferential, RandomLoopsBehaveAsInTheInterpreter) {
    int typed = 0;
    for (uint64_t seed = 1; seed <= 3000; ++seed) {
        Module module = RandomLoop(seed).make();
        typed += jit::plan_loops(module.instructions, module.constants).empty() ? 0 : 1;
        const Snapshot machine = play_budgets(module, "always", 1000000);
        const Snapshot interpreter = play_budgets(module, "0", 1000000);
        ASSERT_TRUE(machine == interpreter)
            << "seed " << seed << ":" << difference(machine, interpreter) << listing(module);
    }
    EXPECT_GT(typed, 1500) << "most random loops are meant to be typed";
}

// A budget running out anywhere in a typed loop stops it after exactly
// that many instructions, and the next run goes on from there.
TEST(TypedLoopsDifferential, BudgetsEndRandomLoopsExactly) {
    for (uint64_t seed = 1; seed <= 300; ++seed) {
        Module module = RandomLoop(seed).make();
        for (uint64_t budget : {seed % 7, 20 + seed % 50, 150 + seed}) {
            const Snapshot machine = play_budgets(module, "always", budget);
            const Snapshot interpreter = play_budgets(module, "0", budget);
            ASSERT_TRUE(machine == interpreter)
                << "seed " << seed << " budget " << budget << ":" << difference(machine, interpreter);
        }
    }
}

}  // namespace
}  // namespace tarnel::testing
