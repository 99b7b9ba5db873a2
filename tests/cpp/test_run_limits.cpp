// Runs under limits: exact instruction budgets, the deadline, the host poll
// and the memory meter.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <vector>

#include "values/memory_meter.hpp"
#include "vm_fixture.hpp"

namespace tarnel::testing {
namespace {

std::optional<LimitKind> stopped_by(const Result<std::optional<Value>, RunError>& result) {
    if (result) return std::nullopt;
    if (const auto* reached = std::get_if<LimitReached>(&result.error())) return reached->kind;
    return std::nullopt;
}

// A loop that never ends: `length - 1` Nops, then a jump back to the first.
Module endless_loop(int64_t length = 1) {
    std::vector<Instruction> code(static_cast<size_t>(length - 1), I(Op::Nop));
    code.push_back(I(Op::JumpR, {-length}));
    return make_module(std::move(code));
}

struct BudgetCase {
    uint64_t budget;
    bool timed;          // a far deadline as well, so the clock is read per window
    int64_t length = 1;  // of the loop: the budget may end anywhere in it
};

class InstructionBudget : public ::testing::TestWithParam<BudgetCase> {};

TEST_P(InstructionBudget, RunsExactlyTheBudgetThenStopsBeforeTheNext) {
    VmState vm;
    vm.reset_for_module(endless_loop(GetParam().length));
    vm.instruction_count = 7;  // counts from earlier runs do not matter
    RunLimits limits;
    limits.max_instructions = GetParam().budget;
    if (GetParam().timed) limits.deadline = std::chrono::steady_clock::now() + std::chrono::hours(1);
    auto result = run_limited(vm, limits);
    EXPECT_EQ(stopped_by(result), LimitKind::Instructions);
    EXPECT_EQ(vm.instruction_count, 7 + GetParam().budget);
    EXPECT_EQ(vm.pc, GetParam().budget % static_cast<uint64_t>(GetParam().length));
}

INSTANTIATE_TEST_SUITE_P(Budgets, InstructionBudget,
                         ::testing::Values(BudgetCase{0, false}, BudgetCase{1, false}, BudgetCase{2, true},
                                           BudgetCase{1023, true}, BudgetCase{1024, true}, BudgetCase{1025, true},
                                           BudgetCase{100000, true}, BudgetCase{100000, false},
                                           BudgetCase{5, false, 11}, BudgetCase{11, false, 11},
                                           BudgetCase{12, true, 11}, BudgetCase{1000, false, 11},
                                           BudgetCase{123457, true, 11}, BudgetCase{123457, false, 1000}));

// Loops whose iterations end in a fused compare-and-jump, in a call and a
// return, or in a forward jump: a watched run polls at each kind of
// transfer, and a budget must end exactly wherever it falls.
Module counted_compare_loop() {
    // r0 = 0, r1 = 0, r2 = 10^9, r3 = 1; loop: r1 += r0; r0 += r3; r0 < r2 -> loop.
    return make_module({I(Op::LoadConstR, {0, 0}), I(Op::LoadConstR, {1, 0}), I(Op::LoadConstR, {2, 1}),
                        I(Op::LoadConstR, {3, 2}), I(Op::AddR, {1, 1, 0}), I(Op::AddR, {0, 0, 3}),
                        I(Op::LtR, {4, 0, 2}), I(Op::JumpIfR, {4, -4}), I(Op::ReturnR, {1})},
                       {Constant::of_int(0), Constant::of_int(1000000000), Constant::of_int(1)});
}

Module call_loop() {
    // main: r64 = "f", r3 = 1, r0 = 0; loop: r5 = f(r0); r0 += r3; jump loop.
    // f: r1 = r0 + r0; return r1. Five instructions an iteration.
    return make_module({I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {3, 1}), I(Op::LoadConstR, {0, 2}),
                        Instruction::call(64, {0}, 5), I(Op::AddR, {0, 0, 3}), I(Op::JumpR, {-3}),
                        I(Op::AddR, {1, 0, 0}), I(Op::ReturnR, {1})},
                       {Constant::of_string("f"), Constant::of_int(1), Constant::of_int(0)}, {{"main", 0}, {"f", 6}});
}

Module forward_jump_loop() {
    // r1 = 1, r0 = r2 = 0; loop: r0 += r1; jump over a Nop; r2 += r1; jump back to loop.
    return make_module(
        {I(Op::LoadConstR, {1, 0}), I(Op::LoadConstR, {0, 1}), I(Op::LoadConstR, {2, 1}), I(Op::AddR, {0, 0, 1}),
         I(Op::JumpR, {1}), I(Op::Nop), I(Op::AddR, {2, 2, 1}), I(Op::JumpR, {-5})},
        {Constant::of_int(1), Constant::of_int(0)});
}

struct WatchedCase {
    const char* name;
    Module (*program)();
    uint64_t budget;
    bool timed;
};

// The state a stopped run leaves, in a comparable form.
std::string stopped_state(const VmState& vm) {
    std::string out = "count " + std::to_string(vm.instruction_count) + " pc " + std::to_string(vm.pc) + " frames " +
                      std::to_string(vm.call_stack.size()) + " last jump " +
                      (vm.last_jump ? std::to_string(*vm.last_jump) : "none");
    for (uint8_t r : {0, 1, 2, 4, 5}) out += " r" + std::to_string(r) + "=" + display_text(vm.registers[r]);
    return out;
}

class WatchedLoop : public ::testing::TestWithParam<WatchedCase> {};

// The quiet loop with polls against the plain loop over the loaded
// instructions: both stop after exactly the budget, in the same state.
TEST_P(WatchedLoop, StopsWhereThePlainLoopStops) {
    std::string states[2];
    for (bool plain : {false, true}) {
        VmState vm;
        vm.testing.plain_run_loop = plain;
        vm.reset_for_module(GetParam().program());
        RunLimits limits;
        limits.max_instructions = GetParam().budget;
        if (GetParam().timed) limits.deadline = std::chrono::steady_clock::now() + std::chrono::hours(1);
        EXPECT_EQ(stopped_by(run_limited(vm, limits)), LimitKind::Instructions);
        EXPECT_EQ(vm.instruction_count, GetParam().budget);
        states[plain] = stopped_state(vm);
    }
    EXPECT_EQ(states[0], states[1]);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Budgets, WatchedLoop, ::testing::Values(
    WatchedCase{"compare_0", counted_compare_loop, 0, false},
    WatchedCase{"compare_7", counted_compare_loop, 7, true},
    WatchedCase{"compare_in_fused_pair", counted_compare_loop, 4 + 4 * 1000 + 3, false},
    WatchedCase{"compare_window_edge", counted_compare_loop, 16384, true},
    WatchedCase{"compare_long", counted_compare_loop, 1000003, true},
    WatchedCase{"compare_long_untimed", counted_compare_loop, 1000002, false},
    WatchedCase{"call_in_callee", call_loop, 3 + 5 * 1000 + 2, true},
    WatchedCase{"call_after_return", call_loop, 3 + 5 * 777 + 3, false},
    WatchedCase{"call_long", call_loop, 500001, true},
    WatchedCase{"forward_over_nop", forward_jump_loop, 3 + 4 * 5000 + 2, true},
    WatchedCase{"forward_long", forward_jump_loop, 300001, false}),
    [](const ::testing::TestParamInfo<WatchedCase>& info) { return std::string(info.param.name); });
// clang-format on

TEST(RunLimited, BudgetStopLeavesPcAtTheInstructionNotRunAndTheRunContinues) {
    // No main: a later run starts where the stopped one left off.
    VmState vm;
    vm.reset_for_module(
        make_module({I(Op::LoadConstR, {0, 0}), I(Op::AddR, {0, 0, 0}), I(Op::AddR, {0, 0, 0}), I(Op::ReturnR, {0})},
                    {Constant::of_int(5)}));
    RunLimits limits;
    limits.max_instructions = 2;
    EXPECT_EQ(stopped_by(run_limited(vm, limits)), LimitKind::Instructions);
    EXPECT_EQ(vm.pc, 2u);
    auto rest = run_state(vm);
    ASSERT_TRUE(rest.ok);
    EXPECT_EQ(rest.value->as_int(), 20);
    EXPECT_EQ(vm.instruction_count, 4u);
}

TEST(RunLimited, ProgramEndingWithinItsBudgetReturnsItsResult) {
    VmState vm;
    vm.reset_for_module(make_module({I(Op::LoadConstR, {0, 0}), I(Op::ReturnR, {0})}, {Constant::of_int(9)}));
    RunLimits limits;
    limits.max_instructions = 2;
    auto result = run_limited(vm, limits);
    ASSERT_TRUE(result);
    EXPECT_EQ(result.value()->as_int(), 9);
}

TEST(RunLimited, PassedDeadlineStopsBeforeTheFirstInstruction) {
    VmState vm;
    vm.reset_for_module(endless_loop());
    RunLimits limits;
    limits.deadline = std::chrono::steady_clock::now();
    EXPECT_EQ(stopped_by(run_limited(vm, limits)), LimitKind::Time);
    EXPECT_EQ(vm.instruction_count, 0u);
}

TEST(RunLimited, HostPollStopsTheRun) {
    VmState vm;
    vm.reset_for_module(endless_loop());
    RunLimits limits;
    int polls = 0;
    limits.host_poll = [&] { return ++polls == 3; };
    limits.host_poll_interval = std::chrono::nanoseconds(0);
    EXPECT_EQ(stopped_by(run_limited(vm, limits)), LimitKind::Host);
    EXPECT_EQ(polls, 3);
    EXPECT_GT(vm.instruction_count, 0u);
}

// r1 = NewArrayR r0 (r0 = constant 0), returned.
Module make_array_of(int64_t n) {
    return make_module({I(Op::LoadConstR, {0, 0}), I(Op::NewArrayR, {1, 0}), I(Op::ReturnR, {1})},
                       {Constant::of_int(n)});
}

TEST(RunLimited, ArrayThatWouldPassTheMemoryLimitIsRefusedBeforeItExists) {
    for (uint64_t limit : {uint64_t{16000}, uint64_t{16000 + 4096}}) {
        VmState vm;
        vm.reset_for_module(make_array_of(1000));
        RunLimits limits;
        limits.max_memory = limit;
        auto result = run_limited(vm, limits);
        if (limit == 16000) {
            EXPECT_EQ(stopped_by(result), LimitKind::Memory);
            EXPECT_TRUE(vm.registers[1].is(ValueType::Empty));
        } else {
            ASSERT_TRUE(result);
            EXPECT_EQ(result.value()->items().size(), 1000u);
        }
    }
    EXPECT_EQ(t_active_meter, nullptr);  // the meter is gone with the run
}

TEST(RunLimited, FreedValuesAreRefunded) {
    // 50 arrays of 10,000 elements (160 kB each) made one after the other,
    // each replacing the last: never more than two alive at once.
    VmState vm;
    vm.reset_for_module(
        make_module({I(Op::LoadConstR, {0, 0}), I(Op::LoadConstR, {1, 1}), I(Op::LoadConstR, {2, 2}),
                     I(Op::LoadConstR, {3, 3}), I(Op::NewArrayR, {4, 0}), I(Op::AddR, {1, 1, 3}), I(Op::LtR, {5, 1, 2}),
                     I(Op::JumpIfR, {5, -4}), I(Op::ReturnR, {1})},
                    {Constant::of_int(10000), Constant::of_int(0), Constant::of_int(50), Constant::of_int(1)}));
    vm.pc = 0;
    RunLimits limits;
    limits.max_memory = 400000;
    auto result = run_limited(vm, limits);
    ASSERT_TRUE(result) << static_cast<int>(stopped_by(result).value_or(LimitKind::Host));
    EXPECT_EQ(result.value()->as_int(), 50);
}

// ---- the poller's hand-over to machine code ---------------------------------

// One call of next_poll at `count` (code of 10 instructions), after
// resume() when `resume_first`, and what the poller then says.
struct PollStep {
    uint64_t count;
    uint64_t returns;
    bool handed_over = false;
    bool counting = false;
    std::optional<LimitKind> stopped = std::nullopt;
    bool resume_first = false;
};

struct HandOverCase {
    const char* name;
    std::optional<uint64_t> budget;  // from count 0
    bool deadline_passed;
    uint64_t hand_over_at;
    std::vector<PollStep> steps;
};

constexpr uint64_t kFarthest = uint64_t{1} << 62;  // next_poll's reach without limits

class HandOver : public ::testing::TestWithParam<HandOverCase> {};

TEST_P(HandOver, StopsAtTheCountAskedUnlessALimitComesFirst) {
    const HandOverCase& c = GetParam();
    RunLimits limits;
    limits.max_instructions = c.budget;
    if (c.deadline_passed) limits.deadline = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    LimitPoller poller(limits, 0);
    poller.hand_over_at(c.hand_over_at);
    for (size_t i = 0; i < c.steps.size(); ++i) {
        const PollStep& step = c.steps[i];
        SCOPED_TRACE(::testing::Message() << "step " << i << " at count " << step.count);
        if (step.resume_first) poller.resume();
        EXPECT_EQ(poller.next_poll(step.count, 10), step.returns);
        EXPECT_EQ(poller.poll_count(), step.returns);
        EXPECT_EQ(poller.handed_over(), step.handed_over);
        EXPECT_EQ(poller.counting(), step.counting);
        EXPECT_EQ(poller.stopped, step.stopped);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, HandOver, ::testing::Values(
    // No limits: the poll falls on the hand-over's count, then after
    // resume() the run goes on as far as a poll can reach, and the
    // hand-over is not asked again.
    HandOverCase{"WithoutLimits", std::nullopt, false, 100,
                 {{0, 100}, {100, 0, true, true}, {100, 100 + kFarthest, false, false, std::nullopt, true}}},
    // A transfer past the count still hands over at the next poll.
    HandOverCase{"PollLateAfterTheCount", std::nullopt, false, 100, {{0, 100}, {137, 0, true, true}}},
    HandOverCase{"AlreadyDue", std::nullopt, false, 0, {{0, 0, true, true}}},
    // With a budget the nearer of the two is polled at; the budget's own
    // margin (the code's size) stays after the hand-over.
    HandOverCase{"BeforeTheBudget", 1000, false, 100,
                 {{0, 100}, {100, 0, true, true}, {100, 990, false, false, std::nullopt, true}}},
    HandOverCase{"BudgetNearFirst", 50, false, 45, {{0, 40}, {40, 0, false, true}}},
    HandOverCase{"BudgetSpent", 100, false, 100, {{100, 0, false, false, LimitKind::Instructions}}},
    HandOverCase{"DeadlinePassed", std::nullopt, true, 0, {{0, 0, false, false, LimitKind::Time}}}),
    [](const ::testing::TestParamInfo<HandOverCase>& info) { return std::string(info.param.name); });
// clang-format on

TEST(HeldMemory, CountsASharedPayloadOnce) {
    VmState vm;
    vm.reset_for_module(make_module({}));
    EXPECT_EQ(held_memory(vm), 0u);
    Value array = Value::array(std::vector<Value>(100));
    vm.write_register(1, array);
    const uint64_t one = held_memory(vm);
    EXPECT_GE(one, 100 * sizeof(Value));
    vm.write_register(2, array);
    vm.globals.emplace("g", Value::array({array, array}));
    EXPECT_EQ(held_memory(vm), one + footprint(vm.globals.find(std::string_view("g"))->second));
}

}  // namespace
}  // namespace tarnel::testing
