#include <gtest/gtest.h>

#include "values/dict_map.hpp"
#include "vm_fixture.hpp"

namespace tarnel {
namespace {

using namespace tarnel::testing;

TEST(EngineRun, NotLoadedFails) {
    VmState vm;
    auto outcome = run_state(vm);
    EXPECT_EQ(outcome.message, "Module not loaded");
    EXPECT_EQ(vm.instruction_count, 0u);
}

TEST(EngineRun, StartsAtZeroWithoutMainAndAtMainOtherwise) {
    std::vector<Constant> k = {Constant::of_int(1), Constant::of_int(2)};
    std::vector<Instruction> code = {I(Op::LoadConstR, {0, 0}), I(Op::ReturnR, {0}), I(Op::Nop), I(Op::Nop), I(Op::Nop),
                                     I(Op::LoadConstR, {0, 1}), I(Op::ReturnR, {0})};
    auto from_zero = run_module(make_module(code, k));
    ASSERT_TRUE(from_zero.ok);
    EXPECT_EQ(from_zero.value->as_int(), 1);

    VmState vm;
    auto from_main = run_module(make_module(code, k, {{"main", 5}}), &vm);
    EXPECT_EQ(from_main.value->as_int(), 2);
    EXPECT_EQ(vm.instruction_count, 2u);  // instructions 0..4 never ran
}

TEST(EngineRun, EmptyListReturnsNothing) {
    VmState vm;
    auto outcome = run_module(make_module({}), &vm);
    EXPECT_TRUE(outcome.ok);
    EXPECT_FALSE(outcome.value);
    EXPECT_EQ(vm.instruction_count, 0u);
}

TEST(EngineRun, TopLevelReturnHaltsAndSecondRunDoesNothing) {
    VmState vm;
    auto first = run_module(
        make_module({I(Op::LoadConstR, {3, 0}), I(Op::ReturnR, {3}), I(Op::Halt)}, {Constant::of_int(42)}), &vm);
    ASSERT_TRUE(first.value);
    EXPECT_EQ(first.value->as_int(), 42);
    EXPECT_TRUE(vm.halted);
    EXPECT_EQ(vm.instruction_count, 2u);
    auto second = run_state(vm);
    EXPECT_TRUE(second.ok);
    EXPECT_FALSE(second.value);
    EXPECT_EQ(vm.instruction_count, 2u);
}

TEST(EngineRun, RunningOffTheEndRestartsAtMainWithStateKept) {
    VmState vm;
    // main: r1 = r1 + 1 (r1 starts Empty, so seed it first time via DefineR-free path)
    Module m = make_module({I(Op::LoadConstR, {1, 0}), I(Op::AddR, {2, 2, 1}), I(Op::Nop)}, {Constant::of_int(5)},
                           {{"main", 1}});
    vm.reset_for_module(std::move(m));
    vm.write_register(2, Value::integer(0));
    vm.write_register(1, Value::integer(5));
    ASSERT_TRUE(run_state(vm).ok);
    ASSERT_TRUE(run_state(vm).ok);
    EXPECT_EQ(vm.registers[2].as_int(), 10);
}

TEST(EngineRun, FailureCountsTheFailingInstructionAndKeepsPartialEffects) {
    VmState vm;
    auto outcome = run_module(make_module({I(Op::LoadConstR, {0, 0}), I(Op::LoadConstR, {1, 0}), I(Op::MoveR, {2, 0}),
                                           I(Op::DivR, {3, 0, 4})},
                                          {Constant::of_int(7)}),
                              &vm);
    EXPECT_EQ(outcome.message, "Type mismatch: expected numeric, found Int and Empty");
    EXPECT_EQ(vm.instruction_count, 4u);
    EXPECT_EQ(vm.pc, 4u);
    EXPECT_EQ(vm.registers[2].as_int(), 7);
    EXPECT_TRUE(vm.registers[3].is(ValueType::Empty));
}

TEST(EngineRun, LoadConstIndexEqualToPoolSizeFails) {
    VmState vm;
    vm.reset_for_module(make_module({I(Op::LoadConstR, {0, 1})}, {Constant::of_int(1)}));
    vm.write_register(0, Value::integer(9));
    EXPECT_EQ(run_state(vm).message, "Invalid constant index: 1");
    EXPECT_EQ(vm.registers[0].as_int(), 9);
}

struct GlobalCase {
    std::vector<Constant> constants;
    std::vector<Instruction> code;
    std::string expected;  // display text of the result, or the error message
};

class EngineGlobals : public ::testing::TestWithParam<GlobalCase> {};

TEST_P(EngineGlobals, Behaves) {
    const auto& c = GetParam();
    auto outcome = run_module(make_module(c.code, c.constants));
    std::string got = outcome.ok ? (outcome.value ? display_text(*outcome.value) : "none") : outcome.message;
    EXPECT_EQ(got, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EngineGlobals,
    ::testing::Values(
        GlobalCase{{Constant::of_string("g")}, {I(Op::LoadGlobalR, {0, 0}), I(Op::ReturnR, {0})}, "empty"},
        GlobalCase{
            {Constant::of_string("g"), Constant::of_int(3)},
            {I(Op::LoadConstR, {1, 1}), I(Op::StoreGlobalR, {1, 0}), I(Op::LoadGlobalR, {0, 0}), I(Op::ReturnR, {0})},
            "3"},
        GlobalCase{{Constant::of_int(1)}, {I(Op::LoadGlobalR, {0, 0})}, "Invalid constant index: 0"},
        GlobalCase{{}, {I(Op::StoreGlobalR, {0, 5})}, "Invalid constant index: 5"},
        GlobalCase{{Constant::of_url("g")}, {I(Op::StoreGlobalR, {0, 0})}, "Invalid constant index: 0"}));

TEST(EngineJumps, OffsetsWrapAndRecordLastJump) {
    VmState vm;
    vm.reset_for_module(make_module({I(Op::JumpR, {0}), I(Op::Nop)}));
    ASSERT_TRUE(run_state(vm).ok);
    EXPECT_EQ(vm.last_jump, std::optional<uint16_t>(0));
    EXPECT_EQ(vm.instruction_count, 2u);

    // A negative target becomes huge after widening and ends the run normally.
    VmState back;
    back.reset_for_module(make_module({I(Op::Nop), I(Op::JumpR, {-5}), I(Op::Halt)}));
    auto outcome = run_state(back);
    EXPECT_TRUE(outcome.ok);
    EXPECT_FALSE(back.halted);
    EXPECT_EQ(back.pc, static_cast<uint64_t>(-3));
}

// A jump records its index's low 16 bits; every one of them, 0xFFFF too,
// is a label PhiR finds.
TEST(EngineJumps, LastJumpKeepsEveryLabel) {
    for (uint32_t index : {1u, 0xFFFEu, 0xFFFFu, 0x10000u, 0x1FFFFu}) {
        std::vector<Instruction> code = {I(Op::LoadConstR, {1, 0})};
        code.resize(index, I(Op::Nop));
        const auto label = static_cast<uint16_t>(index);
        code.push_back(I(Op::JumpR, {0}));
        code.push_back(Instruction::phi(0, {{2, static_cast<uint16_t>(label + 1)}, {1, label}}));
        code.push_back(I(Op::ReturnR, {0}));
        VmState vm;
        vm.reset_for_module(make_module(code, {Constant::of_int(7)}));
        const auto outcome = run_state(vm);
        ASSERT_TRUE(outcome.ok) << index;
        EXPECT_EQ(vm.last_jump, std::optional<uint16_t>(label)) << index;
        EXPECT_EQ(outcome.value->as_int(), 7) << index;
    }
}

TEST(EngineJumps, ConditionalJumpsFollowTruthiness) {
    std::vector<Constant> k = {Constant::of_int(0), Constant::of_int(1), Constant::of_string("")};
    for (auto [cond, jump_if_taken] : {std::pair{0, false}, {1, true}, {2, false}}) {
        for (Opcode op : {Op::JumpIfR, Op::JumpIfNotR}) {
            VmState vm;
            vm.reset_for_module(make_module(
                {I(Op::LoadConstR, {0, cond}), I(op, {0, 1}), I(Op::LoadConstR, {1, 1}), I(Op::ReturnR, {1})}, k));
            auto outcome = run_state(vm);
            bool taken = (op == Op::JumpIfR) == jump_if_taken;
            EXPECT_EQ(outcome.value->is(ValueType::Empty), taken) << "const " << cond;
            EXPECT_EQ(vm.last_jump.has_value(), taken);
        }
    }
}

TEST(EnginePhi, PicksTheSourceOfTheLastTakenJump) {
    std::vector<Constant> k = {Constant::of_int(10), Constant::of_int(20)};
    std::vector<Instruction> code = {I(Op::LoadConstR, {1, 0}), I(Op::LoadConstR, {2, 1}), I(Op::JumpR, {0}),
                                     Instruction::phi(0, {{1, 7}, {2, 2}, {1, 2}}), I(Op::ReturnR, {0})};
    EXPECT_EQ(run_module(make_module(code, k)).value->as_int(), 20);
    code[3] = Instruction::phi(0, {{1, 9}});  // no matching source: r0 untouched
    EXPECT_TRUE(run_module(make_module(code, k)).value->is(ValueType::Empty));
    code[2] = I(Op::Nop);  // no jump taken at all
    code[3] = Instruction::phi(0, {{1, 0}});
    EXPECT_TRUE(run_module(make_module(code, k)).value->is(ValueType::Empty));
}

// main: r100 = 5; r10 = 1; call "f"(r10, r11) -> r3; return r3 + ...
TEST(EngineCalls, SavesRestoresAndPassesArguments) {
    std::vector<Constant> k = {Constant::of_string("f"), Constant::of_int(1), Constant::of_int(2),
                               Constant::of_int(99)};
    std::vector<Instruction> code = {I(Op::LoadConstR, {20, 0}), I(Op::LoadConstR, {10, 1}), I(Op::LoadConstR, {11, 2}),
                                     I(Op::LoadConstR, {5, 3}), Instruction::call(20, {10, 11}, 3), I(Op::ReturnR, {3}),
                                     // f: r100 = r0 + r1; r5 = r0 (clobbered, restored on return); return r100
                                     I(Op::AddR, {100, 0, 1}), I(Op::MoveR, {5, 0}), I(Op::ReturnR, {100})};
    VmState vm;
    auto outcome = run_module(make_module(code, k, {{"main", 0}, {"f", 6}}), &vm);
    EXPECT_EQ(outcome.value->as_int(), 3);
    EXPECT_EQ(vm.registers[5].as_int(), 99);   // restored
    EXPECT_EQ(vm.registers[100].as_int(), 3);  // r64+ are not saved
    EXPECT_TRUE(vm.registers[0].is(ValueType::Empty));
    EXPECT_EQ(vm.register_types[5], ValueType::Int);
}

TEST(EngineCalls, ArgumentsAreCopiedOneAtATimeAndCappedAtSixteen) {
    std::vector<Instruction> code;
    std::vector<Constant> k = {Constant::of_string("f")};
    for (int i = 0; i < 17; ++i) {
        k.push_back(Constant::of_int(100 + i));
        code.push_back(I(Op::LoadConstR, {30 + i, i + 1}));
    }
    std::vector<uint8_t> args;
    for (int i = 0; i < 17; ++i) args.push_back(static_cast<uint8_t>(30 + i));
    code.push_back(I(Op::LoadConstR, {60, 0}));
    code.push_back(Instruction::call(60, args, 61));
    code.push_back(I(Op::Halt));
    size_t f = code.size();
    code.push_back(I(Op::MoveR, {200, 15}));
    code.push_back(I(Op::MoveR, {201, 16}));
    code.push_back(I(Op::ReturnR));
    VmState vm;
    run_module(make_module(code, k, {{"main", 0}, {"f", f}}), &vm);
    EXPECT_EQ(vm.registers[200].as_int(), 115);
    EXPECT_TRUE(vm.registers[201].is(ValueType::Empty));  // position 16 not passed

    // args [1, 0]: r0 gets old r1, then r1 gets the new r0, i.e. old r1 again.
    VmState swap;
    run_module(
        make_module({I(Op::LoadConstR, {0, 1}), I(Op::LoadConstR, {1, 2}), I(Op::LoadConstR, {9, 0}),
                     Instruction::call(9, {1, 0}, 70), I(Op::Halt), I(Op::MoveR, {100, 0}), I(Op::MoveR, {101, 1}),
                     I(Op::ReturnR)},
                    {Constant::of_string("g"), Constant::of_int(1), Constant::of_int(2)}, {{"main", 0}, {"g", 5}}),
        &swap);
    EXPECT_EQ(swap.registers[100].as_int(), 2);
    EXPECT_EQ(swap.registers[101].as_int(), 2);
}

TEST(EngineCalls, ReturnWithoutSourceKeepsRestoredValue) {
    VmState vm;
    run_module(make_module({I(Op::LoadConstR, {3, 1}), I(Op::LoadConstR, {9, 0}), Instruction::call(9, {}, 3),
                            I(Op::ReturnR, {3}), I(Op::LoadConstR, {3, 0}), I(Op::ReturnR)},
                           {Constant::of_string("h"), Constant::of_int(7)}, {{"main", 0}, {"h", 4}}),
               &vm);
    EXPECT_EQ(vm.registers[3].as_int(), 7);
}

struct DepthCase {
    int depth;
    std::string expected;
};

class EngineCallDepth : public ::testing::TestWithParam<DepthCase> {};

// rec(n): if n <= 1 return 0 else rec(n - 1). main calls rec(depth).
TEST_P(EngineCallDepth, ThousandFramesAllowedNotMore) {
    std::vector<Constant> k = {Constant::of_string("rec"), Constant::of_int(GetParam().depth), Constant::of_int(1)};
    std::vector<Instruction> code = {
        I(Op::LoadConstR, {0, 1}), I(Op::LoadConstR, {70, 0}), Instruction::call(70, {0}, 1), I(Op::ReturnR, {1}),
        // rec at 4
        I(Op::LoadConstR, {2, 2}), I(Op::LteR, {3, 0, 2}), I(Op::JumpIfR, {3, 3}), I(Op::SubR, {0, 0, 2}),
        Instruction::call(70, {0}, 1), I(Op::ReturnR, {1}), I(Op::ReturnR, {2})};
    VmState vm;
    auto outcome = run_module(make_module(code, k, {{"main", 0}, {"rec", 4}}), &vm);
    EXPECT_EQ(outcome.ok ? display_text(*outcome.value) : outcome.message, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, EngineCallDepth,
                         ::testing::Values(DepthCase{1000, "1"}, DepthCase{1001, "Stack overflow"},
                                           // around the call stack's growth: 16 frames, then 32, ... 512, 1000
                                           DepthCase{16, "1"}, DepthCase{17, "1"}, DepthCase{513, "1"}));

TEST(EngineCalls, OverflowKeepsArgumentRegisters) {
    VmState vm;
    vm.reset_for_module(make_module({Instruction::call(9, {5}, 1)}, {}, {{"f", 0}}));
    vm.write_register(9, Value::string("f"));
    vm.write_register(5, Value::integer(77));
    while (vm.call_stack.make_room()) vm.call_stack.emplace_back();  // empty frames up to the depth limit
    vm.pc = 0;
    // No "main": starts at pc 0.
    EXPECT_EQ(run_state(vm).message, "Stack overflow");
    EXPECT_EQ(vm.registers[0].as_int(), 77);
    EXPECT_EQ(vm.call_stack.size(), kMaxCallDepth);
}

struct CalleeCase {
    Value callee;
    std::string expected;
};

class EngineCallee : public ::testing::TestWithParam<CalleeCase> {};

TEST_P(EngineCallee, ResolvesOrFails) {
    VmState vm;
    vm.reset_for_module(
        make_module({Instruction::call(9, {}, 1), I(Op::ReturnR, {1}), I(Op::LoadConstR, {1, 0}), I(Op::ReturnR, {1})},
                    {Constant::of_string("hit")}, {{"f", 2}, {"func_5", 2}}));
    vm.write_register(9, GetParam().callee);
    auto outcome = run_state(vm);
    EXPECT_EQ(outcome.ok ? display_text(*outcome.value) : outcome.message, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EngineCallee,
    ::testing::Values(CalleeCase{Value::string("f"), "hit"}, CalleeCase{Value::integer(2), "hit"},
                      CalleeCase{Value::integer(5), "hit"},  // no entry point 5, but a function named func_5
                      CalleeCase{Value::integer(7), "Undefined function: func_7"},
                      CalleeCase{Value::integer(-3), "Undefined function: func_-3"},
                      CalleeCase{Value::string("nope"), "Undefined function: nope"},
                      CalleeCase{Value::boolean(true), "Undefined function: no function specified"},
                      CalleeCase{Value::url("f"), "Undefined function: no function specified"},
                      CalleeCase{Value::function({0, 0, "f"}), "Undefined function: no function specified"}));

TEST(EngineTypes, DefineCheckAndWritesReplaceTheTag) {
    VmState vm;
    run_module(make_module({I(Op::DefineR, {3, 2}), I(Op::CheckTypeR, {0, 3, 2}), I(Op::LoadConstR, {3, 0}),
                            I(Op::CheckTypeR, {1, 3, 2}), I(Op::DefineR, {4, 8}), I(Op::CheckTypeR, {2, 4, 9})},
                           {Constant::of_string("s")}),
               &vm);
    EXPECT_TRUE(vm.registers[0].as_bool());
    EXPECT_FALSE(vm.registers[1].as_bool());
    EXPECT_TRUE(vm.registers[2].as_bool());  // both identifiers give Unknown
    EXPECT_EQ(vm.register_types[3], ValueType::String);
}

TEST(EngineTypes, TagsOfSavedRegistersAreRestoredFromValues) {
    VmState vm;
    run_module(make_module({I(Op::DefineR, {5, 2}), I(Op::LoadConstR, {9, 0}), Instruction::call(9, {}, 10),
                            I(Op::Halt), I(Op::ReturnR)},
                           {Constant::of_string("f")}, {{"main", 0}, {"f", 4}}),
               &vm);
    EXPECT_EQ(vm.register_types[5], ValueType::Empty);
}

TEST(EngineReset, LoadResetsProgramStateButKeepsCountAndDebug) {
    VmState vm;
    run_module(
        make_module({I(Op::LoadConstR, {0, 0}), I(Op::StoreGlobalR, {0, 0}), I(Op::ScopeEnterR, {4}), I(Op::Halt)},
                    {Constant::of_string("g")}),
        &vm);
    vm.debug = true;
    vm.reset_for_module(make_module({}));
    EXPECT_TRUE(vm.globals.empty());
    EXPECT_TRUE(vm.scope_stack.empty());
    EXPECT_FALSE(vm.halted);
    EXPECT_EQ(vm.pc, 0u);
    EXPECT_TRUE(vm.registers[0].is(ValueType::Empty));
    EXPECT_EQ(vm.instruction_count, 4u);
    EXPECT_TRUE(vm.debug);
}

}  // namespace
}  // namespace tarnel
