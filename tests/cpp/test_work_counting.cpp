// Long operations ask the run's checkpoint between chunks of their work:
// the work count spread over many operations, the copies made before a
// change to a shared container, and the walks over big containers.
#include <gtest/gtest.h>

#include <stdexcept>

#include "diagnostics/debug_form.hpp"
#include "values/dict_map.hpp"
#include "values/free_backlog.hpp"
#include "values/memory_meter.hpp"
#include "values/operations.hpp"
#include "values/work_checkpoint.hpp"

namespace tarnel::testing {
namespace {

struct Stopped {};

// Counts the checks; throws from the check numbered `throw_at` (1-based) on.
class CountingCheckpoint final : public WorkCheckpoint {
public:
    explicit CountingCheckpoint(int throw_at = 1 << 30) : throw_at_(throw_at) {}
    void check() override {
        if (++checks >= throw_at_) throw Stopped{};
    }
    bool stop_due() noexcept override { return false; }
    int checks = 0;

private:
    int throw_at_;
};

struct WorkCase {
    const char* name;
    std::vector<size_t> units;  // count_work calls, in order
    int checks;                 // the checks they make
};

class WorkCount : public ::testing::TestWithParam<WorkCase> {};

TEST_P(WorkCount, AsksOncePerChunkOfWorkHoweverItIsSpread) {
    CountingCheckpoint checkpoint;
    t_unchecked_work = 0;
    {
        ActiveCheckpoint installed(&checkpoint);
        for (size_t units : GetParam().units) count_work(units);
    }
    EXPECT_EQ(checkpoint.checks, GetParam().checks);
    for (size_t units : GetParam().units) count_work(units);  // nothing installed: nothing asked
    EXPECT_EQ(checkpoint.checks, GetParam().checks);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Spreads, WorkCount, ::testing::Values(
    WorkCase{"nothing", {}, 0},
    WorkCase{"just_under_a_chunk", {kWorkChunk - 1}, 0},
    WorkCase{"one_chunk", {kWorkChunk}, 1},
    WorkCase{"a_chunk_in_two", {kWorkChunk / 2, kWorkChunk / 2}, 1},
    WorkCase{"many_small_pieces", std::vector<size_t>(3 * kWorkChunk, 1), 3},
    WorkCase{"three_chunks_at_once", {3 * kWorkChunk}, 1},
    WorkCase{"pieces_just_under_a_chunk", {kWorkChunk - 1, kWorkChunk - 1, kWorkChunk - 1}, 1}),
    [](const ::testing::TestParamInfo<WorkCase>& info) { return std::string(info.param.name); });
// clang-format on

Value big_array(size_t n) {
    std::vector<Value> items;
    items.reserve(n);
    for (size_t i = 0; i < n; ++i) items.push_back(Value::integer(static_cast<int64_t>(i)));
    return Value::array(std::move(items));
}

Value big_dict(size_t n) {
    DictMap map;
    for (size_t i = 0; i < n; ++i)
        map.set(Value::string("k" + std::to_string(i)), Value::integer(static_cast<int64_t>(i)));
    return Value::dict(std::move(map));
}

// Each long operation on a value of three chunks' worth asks the
// checkpoint; one that says stop ends the operation with its exception
// and leaves the values as they were.
struct LongOperation {
    const char* name;
    Value (*make)();
    void (*run)(Value& value, Value& other);
};

const LongOperation kLongOperations[] = {
    {"copy_of_a_shared_array", [] { return big_array(3 * kWorkChunk); },
     [](Value& value, Value&) { value.mutable_items()[0] = Value::integer(-1); }},
    {"copy_of_a_shared_dict", [] { return big_dict(kWorkChunk); },
     [](Value& value, Value&) { value.mutable_entries().set(Value::string("new"), Value()); }},
    {"text_of_an_array", [] { return big_array(3 * kWorkChunk); },
     [](Value& value, Value&) { (void)display_text(value); }},
    {"length_of_the_text_of_a_dict", [] { return big_dict(kWorkChunk); },
     [](Value& value, Value&) { (void)display_length(value, SIZE_MAX); }},
    {"debug_form_of_a_dict", [] { return big_dict(kWorkChunk); },
     [](Value& value, Value&) {
         std::string out;
         append_debug_form(out, value);
     }},
    {"equality_of_two_arrays", [] { return big_array(3 * kWorkChunk); },
     [](Value& value, Value& other) { (void)ops::equals(value, other); }},
};

class LongOperationTest : public ::testing::TestWithParam<LongOperation> {};

TEST_P(LongOperationTest, AsksTheCheckpointAsItGoes) {
    Value value = GetParam().make();
    Value other = GetParam().make();
    const Value shared = value;  // makes `value` shared: a change copies it
    CountingCheckpoint checkpoint;
    t_unchecked_work = 0;
    ActiveCheckpoint installed(&checkpoint);
    GetParam().run(value, other);
    EXPECT_GE(checkpoint.checks, 1);
}

TEST_P(LongOperationTest, StopsAtTheFirstCheckThatSaysSoAndLeavesTheValuesWhole) {
    Value value = GetParam().make();
    Value other = GetParam().make();
    const Value shared = value;
    const std::string before = display_text(value);
    CountingCheckpoint checkpoint(1);
    t_unchecked_work = 0;
    {
        ActiveCheckpoint installed(&checkpoint);
        EXPECT_THROW(GetParam().run(value, other), Stopped);
    }
    EXPECT_EQ(checkpoint.checks, 1);
    EXPECT_EQ(value.payload(), shared.payload());  // no half-made copy took its place
    EXPECT_EQ(display_text(value), before);
}

INSTANTIATE_TEST_SUITE_P(Operations, LongOperationTest, ::testing::ValuesIn(kLongOperations),
                         [](const ::testing::TestParamInfo<LongOperation>& info) {
                             return std::string(info.param.name);
                         });

// Says stop from the question numbered `stop_from` on; throws from the
// check numbered `throw_at` on.
class StopAtOnce final : public WorkCheckpoint {
public:
    explicit StopAtOnce(int throw_at = 1, int stop_from = 1) : throw_at_(throw_at), stop_from_(stop_from) {}
    void check() override {
        if (++checks_ >= throw_at_) throw Stopped{};
    }
    bool stop_due() noexcept override { return ++questions >= stop_from_; }
    int questions = 0;

private:
    int throw_at_;
    int stop_from_;
    int checks_ = 0;
};

// 98,304 entries fill 131,072 slots to three quarters: one more grows the
// table to 262,144 slots, made in 64 steps and filled in 32 (a question
// after each). Stopped while the table is made, once it is made, after
// three steps of the move and after the last: the map is as it was.
class GrowingDict : public ::testing::TestWithParam<int> {};

TEST_P(GrowingDict, StoppedMidwayPutsEveryEntryBackAndRefundsTheNewTable) {
    constexpr size_t kEntries = 98304;
    DictMap map;
    for (size_t i = 0; i < kEntries; ++i)
        map.set(Value::string("k" + std::to_string(i)), Value::integer(static_cast<int64_t>(i)));
    const size_t slots = map.slot_count();
    MemoryMeter meter(uint64_t{1} << 40, 0);
    StopAtOnce checkpoint(1, GetParam());
    {
        ActiveMeter metered(&meter);
        ActiveCheckpoint installed(&checkpoint);
        EXPECT_THROW(map.set(Value::string("one more"), Value()), Stopped);
    }
    EXPECT_EQ(checkpoint.questions, GetParam());
    EXPECT_EQ(meter.held(), 0u);
    EXPECT_EQ(map.slot_count(), slots);
    EXPECT_EQ(map.size(), kEntries);
    for (size_t i = 0; i < kEntries; ++i) {
        const Value* found = map.find("k" + std::to_string(i));
        ASSERT_NE(found, nullptr) << i;
        EXPECT_EQ(found->as_int(), static_cast<int64_t>(i));
    }
    map.set(Value::string("one more"), Value());  // nothing installed: it grows
    EXPECT_EQ(map.slot_count(), 2 * slots);
    EXPECT_NE(map.find("one more"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(StopPoints, GrowingDict, ::testing::Values(1, 64, 67, 96));

// A copy stopped halfway is left to the backlog, like a free that must
// stop: destroying it on the spot would take as long as making it did.
TEST(SharedCopy, StoppedHalfwayLeavesTheHalfMadeCopyToTheBacklog) {
    for (bool is_dict : {false, true}) {
        SCOPED_TRACE(is_dict ? "dict" : "array");
        // Stopped after three chunks: more than a free does before it asks.
        Value value = is_dict ? big_dict(2 * kWorkChunk) : big_array(4 * kWorkChunk);
        const Value shared = value;
        StopAtOnce checkpoint(3);
        FreeBacklog backlog;
        t_unchecked_work = 0;
        {
            ActiveCheckpoint installed(&checkpoint);
            ActiveBacklog active(&backlog);
            if (is_dict)
                EXPECT_THROW(value.mutable_entries(), Stopped);
            else
                EXPECT_THROW(value.mutable_items(), Stopped);
        }
        EXPECT_EQ(backlog.size(), 1u);
        EXPECT_EQ(value.payload(), shared.payload());
        EXPECT_TRUE(backlog.finish());
    }
}

TEST(SharedCopy, IsRefusedBeforeItIsMadeWhenItWouldPassTheMemoryLimit) {
    Value value = big_array(1000);
    const Value shared = value;
    MemoryMeter meter(1000 * sizeof(Value), 0);  // room for the elements, not the array object
    ActiveMeter metered(&meter);
    EXPECT_THROW(value.mutable_items(), MemoryLimitReached);
    EXPECT_EQ(meter.held(), 0u);
    EXPECT_EQ(value.payload(), shared.payload());
}

struct MeterStep {
    bool charge;  // or refund
    uint64_t bytes;
    uint64_t held_after;
    uint64_t fits_at_most;  // the largest charge that fits afterwards
};

struct MeterCase {
    const char* name;
    uint64_t limit;
    uint64_t held;
    std::vector<MeterStep> steps;
};

class MeterFigures : public ::testing::TestWithParam<MeterCase> {};

TEST_P(MeterFigures, HeldAndRoomFollowChargesAndRefunds) {
    MemoryMeter meter(GetParam().limit, GetParam().held);
    for (const MeterStep& step : GetParam().steps) {
        if (step.charge)
            meter.charge(step.bytes);
        else
            meter.refund(step.bytes);
        EXPECT_EQ(meter.held(), step.held_after);
        EXPECT_TRUE(meter.fits(step.fits_at_most));
        EXPECT_FALSE(meter.fits(step.fits_at_most + 1));
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, MeterFigures, ::testing::Values(
    MeterCase{"charges_up_to_the_limit", 100, 0, {{true, 60, 60, 40}, {true, 40, 100, 0}, {false, 1, 99, 1}}},
    MeterCase{"refund_past_zero_is_clamped", 100, 10, {{false, 50, 0, 100}, {true, 100, 100, 0}}},
    MeterCase{"starts_past_the_limit", 100, 150, {{false, 30, 120, 0}, {false, 30, 90, 10}, {true, 10, 100, 0}}},
    MeterCase{"overdraft_and_room_in_one_refund", 100, 120, {{false, 50, 70, 30}}}),
    [](const ::testing::TestParamInfo<MeterCase>& info) { return std::string(info.param.name); });
// clang-format on

TEST(MeterFigures, AChargeThatDoesNotFitThrowsAndChargesNothing) {
    MemoryMeter meter(100, 90);
    EXPECT_THROW(meter.charge(11), MemoryLimitReached);
    EXPECT_EQ(meter.held(), 90u);
}

}  // namespace
}  // namespace tarnel::testing
