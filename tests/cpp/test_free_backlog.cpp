// Freeing huge values in chunks: the checkpoint is asked between chunks, a
// stop leaves the rest in the backlog, and the backlog is finished later
// without touching any meter.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "values/dict_map.hpp"
#include "values/free_backlog.hpp"
#include "values/memory_meter.hpp"
#include "values/work_checkpoint.hpp"
#include "vm_fixture.hpp"

namespace tarnel::testing {
namespace {

// Says to stop from its (`patience` + 1)th question on.
class ScriptedCheckpoint final : public WorkCheckpoint {
public:
    explicit ScriptedCheckpoint(int patience) : patience_(patience) {}
    void check() override {}
    bool stop_due() noexcept override { return ++questions > patience_; }
    int questions = 0;

private:
    int patience_;
};

constexpr int kNever = 1 << 30;

// A huge container of small arrays, and one of those arrays, which the
// container releases last: it is unique again only once the whole container
// is gone.
struct HugeValue {
    Value value;
    Value released_last;
};

HugeValue array_of_arrays(size_t n) {
    std::vector<Value> items;
    items.reserve(n);
    for (size_t i = 0; i < n; ++i) items.push_back(Value::array({Value::integer(static_cast<int64_t>(i))}));
    Value first = items[0];  // elements are released from the end
    return {Value::array(std::move(items)), first};
}

HugeValue dict_of_arrays(size_t n) {
    DictMap map;
    for (size_t i = 0; i < n; ++i)
        map.set(Value::string("k" + std::to_string(i)), Value::array({Value::integer(static_cast<int64_t>(i))}));
    size_t slot = 0;
    while (map.slot_key(slot) == nullptr) ++slot;  // slots are released from the end
    Value first = map.slot_value(slot);
    return {Value::dict(std::move(map)), first};
}

struct FreeCase {
    const char* name;
    HugeValue (*make)(size_t);
    size_t size;
    int patience;       // questions answered "go on"
    bool deferred;      // whether the free leaves work in the backlog
    int min_questions;  // at least this many chunks were asked about
};

class ChunkedFree : public ::testing::TestWithParam<FreeCase> {};

TEST_P(ChunkedFree, AsksBetweenChunksAndLeavesTheRestWhenTold) {
    HugeValue huge = GetParam().make(GetParam().size);
    FreeBacklog backlog;
    ScriptedCheckpoint checkpoint(GetParam().patience);
    {
        ActiveCheckpoint installed(&checkpoint);
        ActiveBacklog active(&backlog);
        huge.value = Value();  // the last reference: the free starts here
    }
    EXPECT_GE(checkpoint.questions, GetParam().min_questions);
    EXPECT_EQ(!backlog.empty(), GetParam().deferred);
    EXPECT_EQ(!huge.released_last.is_unique(), GetParam().deferred);
    // Finished later, with nothing installed to stop it.
    EXPECT_TRUE(backlog.finish());
    EXPECT_TRUE(backlog.empty());
    EXPECT_TRUE(huge.released_last.is_unique());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Sizes, ChunkedFree, ::testing::Values(
    // 300,000 elements, then 300,000 arrays of one element: about 14 chunks.
    FreeCase{"array_stopped_at_first_chunk", array_of_arrays, 300000, 0, true, 1},
    FreeCase{"array_stopped_later", array_of_arrays, 300000, 5, true, 6},
    FreeCase{"array_never_stopped", array_of_arrays, 300000, kNever, false, 10},
    FreeCase{"dict_stopped_at_first_chunk", dict_of_arrays, 200000, 0, true, 1},
    FreeCase{"dict_never_stopped", dict_of_arrays, 200000, kNever, false, 5},
    // Smaller than a chunk: freed at once, nobody asked.
    FreeCase{"small_array", array_of_arrays, 1000, 0, false, 0}),
    [](const ::testing::TestParamInfo<FreeCase>& info) { return std::string(info.param.name); });
// clang-format on

TEST(ChunkedFree, WithoutABacklogTheFreeFinishesAndNobodyIsAsked) {
    HugeValue huge = array_of_arrays(200000);
    ScriptedCheckpoint checkpoint(0);
    ActiveCheckpoint installed(&checkpoint);
    huge.value = Value();
    EXPECT_EQ(checkpoint.questions, 0);
    EXPECT_TRUE(huge.released_last.is_unique());
}

TEST(ChunkedFree, DeeplyNestedValueIsLeftAndFinishedWithoutRecursion) {
    Value nested = Value::array({});
    for (int i = 0; i < 500000; ++i) nested = Value::array({nested});
    FreeBacklog backlog;
    ScriptedCheckpoint checkpoint(2);
    {
        ActiveCheckpoint installed(&checkpoint);
        ActiveBacklog active(&backlog);
        nested = Value();
    }
    EXPECT_FALSE(backlog.empty());
    EXPECT_TRUE(backlog.finish());
}

TEST(ChunkedFree, MeterIsRefundedExactlyWhenTheFreeRunsToTheEnd) {
    MemoryMeter meter(uint64_t{1} << 40, 0);
    ActiveMeter metered(&meter);
    HugeValue huge = array_of_arrays(200000);
    huge.released_last = Value();
    const uint64_t held = meter.held();
    EXPECT_GT(held, 200000 * sizeof(Value));
    ScriptedCheckpoint checkpoint(kNever);
    FreeBacklog backlog;
    ActiveCheckpoint installed(&checkpoint);
    ActiveBacklog active(&backlog);
    huge.value = Value();
    EXPECT_GT(checkpoint.questions, 0);
    EXPECT_EQ(meter.held(), 0u);
}

TEST(ChunkedFree, FinishingABacklogRefundsNoMeter) {
    // What a stopped run left was counted by that run's meter, not by the
    // meter of the run that finishes it.
    FreeBacklog backlog;
    HugeValue huge = array_of_arrays(300000);
    {
        ScriptedCheckpoint checkpoint(0);
        ActiveCheckpoint installed(&checkpoint);
        ActiveBacklog active(&backlog);
        huge.value = Value();
    }
    ASSERT_FALSE(backlog.empty());
    MemoryMeter later(uint64_t{1} << 40, 1000);
    ActiveMeter metered(&later);
    EXPECT_TRUE(backlog.finish());
    EXPECT_EQ(later.held(), 1000u);
}

bool stopped_by_host(const Result<std::optional<Value>, RunError>& result) {
    if (result) return false;
    const auto* reached = std::get_if<LimitReached>(&result.error());
    return reached != nullptr && reached->kind == LimitKind::Host;
}

TEST(RunLimited, HostStopDuringAFreeLeavesTheRestToTheNextRun) {
    // r1 holds a huge array; r1 = NewArrayR 1 drops it, then an endless loop.
    VmState vm;
    vm.reset_for_module(
        make_module({I(Op::LoadConstR, {0, 0}), I(Op::NewArrayR, {1, 0}), I(Op::JumpR, {-1})}, {Constant::of_int(1)}));
    HugeValue huge = array_of_arrays(300000);
    vm.write_register(1, std::move(huge.value));
    RunLimits limits;
    int polls = 0;
    // The first poll comes before the run, the second between two chunks of
    // the free.
    limits.host_poll = [&] { return ++polls == 2; };
    limits.host_poll_interval = std::chrono::nanoseconds(0);
    EXPECT_TRUE(stopped_by_host(run_limited(vm, limits)));
    EXPECT_EQ(polls, 2);
    EXPECT_FALSE(vm.unfinished_frees.empty());
    EXPECT_FALSE(huge.released_last.is_unique());
    EXPECT_EQ(vm.registers[1].items().size(), 1u);  // the instruction was done

    RunLimits budget;
    budget.max_instructions = 3;
    auto next = run_limited(vm, budget);
    EXPECT_TRUE(vm.unfinished_frees.empty());
    EXPECT_TRUE(huge.released_last.is_unique());
    ASSERT_FALSE(next);
    EXPECT_TRUE(std::holds_alternative<LimitReached>(next.error()));
}

TEST(RunLimited, DeadlineDuringTheBacklogStopsBeforeAnyInstruction) {
    VmState vm;
    vm.reset_for_module(make_module({I(Op::Nop), I(Op::JumpR, {-2})}));
    HugeValue huge = array_of_arrays(300000);
    {
        ScriptedCheckpoint checkpoint(0);
        ActiveCheckpoint installed(&checkpoint);
        ActiveBacklog active(&vm.unfinished_frees);
        huge.value = Value();
    }
    ASSERT_FALSE(vm.unfinished_frees.empty());
    RunLimits limits;
    limits.deadline = std::chrono::steady_clock::now();
    auto result = run_limited(vm, limits);
    ASSERT_FALSE(result);
    const auto* reached = std::get_if<LimitReached>(&result.error());
    ASSERT_NE(reached, nullptr);
    EXPECT_EQ(reached->kind, LimitKind::Time);
    EXPECT_EQ(vm.instruction_count, 0u);
    EXPECT_FALSE(vm.unfinished_frees.empty());
    // A run that nothing stops finishes it.
    RunLimits budget;
    budget.max_instructions = 10;
    EXPECT_FALSE(run_limited(vm, budget));
    EXPECT_TRUE(vm.unfinished_frees.empty());
    EXPECT_TRUE(huge.released_last.is_unique());
    EXPECT_EQ(vm.instruction_count, 10u);
}

TEST(Run, OrdinaryRunFinishesTheBacklogFirst) {
    VmState vm;
    vm.reset_for_module(make_module({I(Op::LoadConstR, {0, 0}), I(Op::ReturnR, {0})}, {Constant::of_int(4)}));
    HugeValue huge = dict_of_arrays(100000);
    {
        ScriptedCheckpoint checkpoint(0);
        ActiveCheckpoint installed(&checkpoint);
        ActiveBacklog active(&vm.unfinished_frees);
        huge.value = Value();
    }
    ASSERT_FALSE(vm.unfinished_frees.empty());
    Outcome outcome = run_state(vm);
    ASSERT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.value->as_int(), 4);
    EXPECT_TRUE(vm.unfinished_frees.empty());
    EXPECT_TRUE(huge.released_last.is_unique());
}

}  // namespace
}  // namespace tarnel::testing
