// Hostile programs against the engine: huge renderings of shared values,
// huge requests, million-deep nesting, deep recursion holding containers,
// and big maps. Every one must end in a result or a VmError, leave the
// machine usable, and (under scripts/sanitize.sh) leak nothing.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <limits>

#include "diagnostics/debug_form.hpp"
#include "values/dict_map.hpp"
#include "vm/limits.hpp"
#include "vm_fixture.hpp"

namespace tarnel {
namespace {

using namespace tarnel::testing;

constexpr size_t kNoLimit = std::numeric_limits<size_t>::max();

// Sends file descriptor 1 to /dev/null for the life of the object, so debug
// runs can print megabytes without filling the test log.
class QuietStdout {
public:
    QuietStdout() : saved_(dup(STDOUT_FILENO)) {
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
    ~QuietStdout() {
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }

private:
    int saved_;
};

Value S(const char* s) { return Value::string(s); }
Value A(std::vector<Value> items) { return Value::array(std::move(items)); }
Value D(std::vector<std::pair<const char*, Value>> entries) {
    DictMap map;
    for (auto& [k, v] : entries) map.set(Value::string(k), std::move(v));
    return Value::dict(std::move(map));
}

// An array holding the previous level twice, `depth` levels deep: depth + 1
// payloads whose rendering doubles with each level.
Value shared_tower(size_t depth) {
    Value v = A({Value(), Value::integer(7)});
    for (size_t i = 0; i < depth; ++i) v = A({v, v});
    return v;
}

// ---- measuring renderings ----------------------------------------------------------

std::vector<Value> measured_values() {
    Value shared = A({S("a\"b"), Value::number(2.5)});
    return {
        Value(),
        Value::boolean(true),
        Value::boolean(false),
        Value::integer(0),
        Value::integer(std::numeric_limits<int64_t>::min()),
        Value::number(1e23),
        Value::number(-0.0),
        Value::number(std::nan("")),
        Value::number(-std::numeric_limits<double>::infinity()),
        Value::number(1.5e-7),
        S(""),
        S("h\xC3\xA9llo\n\t\\\"\x01"),
        S("e\xCC\x81"),  // a combining mark, escaped in debug forms
        Value::url("https://x.test/?q=\"1\""),
        Value::function(FunctionRef{3, 2, "f\"n"}),
        A({}),
        D({}),
        A({Value(), A({A({})}), D({{"k", Value::integer(1)}})}),
        D({{"a", S("x")}, {"b\"\n", A({Value::integer(1), Value::number(0.5)})}, {"", D({})}}),
        A({shared, shared, D({{"s", shared}})}),
        shared_tower(6),
    };
}

TEST(RenderedLength, DisplayLengthIsTheDisplayTextsLength) {
    for (const Value& v : measured_values()) {
        const std::string text = display_text(v);
        EXPECT_EQ(display_length(v, kNoLimit), text.size()) << text;
        EXPECT_EQ(display_length(v, text.size()), text.size()) << text;  // exactly at the limit
        if (!text.empty()) {
            EXPECT_GT(display_length(v, text.size() - 1), text.size() - 1) << text;
        }
    }
}

TEST(RenderedLength, DebugFormLengthIsTheDebugFormsLength) {
    for (const Value& v : measured_values()) {
        const std::string text = debug_form(v);
        EXPECT_EQ(debug_form_length(v, kNoLimit), text.size()) << text;
        EXPECT_EQ(debug_form_length(v, text.size()), text.size()) << text;
        EXPECT_GT(debug_form_length(v, text.size() - 1), text.size() - 1) << text;
    }
}

TEST(RenderedLength, SharedTowersAreMeasuredWithoutWalkingEveryPath) {
    // Level 0 is "[empty, 7]" (10 characters); level k is "[" + level(k - 1)
    // + ", " + level(k - 1) + "]", so 14 * 2^k - 4 characters.
    const Value small = shared_tower(10);
    EXPECT_EQ(display_length(small, kNoLimit), display_text(small).size());
    EXPECT_EQ(display_length(small, kNoLimit), (size_t{1} << 10) * 14 - 4);
    EXPECT_EQ(debug_form_length(small, kNoLimit), debug_form(small).size());
    // 2^60 characters: measured through 61 payloads, well past any limit.
    const Value huge = shared_tower(60);
    EXPECT_GT(display_length(huge, kMaxTextLength), kMaxTextLength);
    EXPECT_GT(debug_form_length(huge, kMaxTextLength), kMaxTextLength);
    EXPECT_EQ(display_length(huge, kNoLimit), (size_t{1} << 60) * 14 - 4);
    EXPECT_EQ(display_length(shared_tower(64), kNoLimit), kNoLimit);  // saturates instead of wrapping
}

TEST(RenderedLength, StopsEarlyOnLongUnsharedValues) {
    // A million distinct one-element arrays side by side; a small limit is
    // passed after a handful of them.
    std::vector<Value> items;
    for (int i = 0; i < 1000000; ++i) items.push_back(A({Value::integer(i)}));
    const Value wide = A(std::move(items));
    EXPECT_GT(display_length(wide, 100), 100u);
    EXPECT_EQ(display_length(wide, kNoLimit), display_text(wide).size());
}

// ---- rendering a shared tower inside the engine ------------------------------------------

// Builds the tower in r0 by a loop (r8 = new array of 2; r8[0] = r0;
// r8[1] = r0; r0 = r8), `depth` times, then runs `tail`. Constants: 0: 2,
// 1: 0, 2: 1, 3: depth, 4: "", 5: "f".
Module tower_program(int64_t depth, std::vector<Instruction> tail) {
    std::vector<Instruction> code = {
        I(Op::LoadConstR, {1, 0}),    // 0: r1 = 2
        I(Op::LoadConstR, {2, 1}),    // 1: r2 = 0
        I(Op::LoadConstR, {3, 2}),    // 2: r3 = 1
        I(Op::LoadConstR, {5, 1}),    // 3: r5 = 0 (level)
        I(Op::LoadConstR, {6, 3}),    // 4: r6 = depth
        I(Op::NewArrayR, {0, 1}),     // 5: r0 = [Empty, Empty]
        I(Op::LtR, {7, 5, 6}),        // 6: loop
        I(Op::JumpIfNotR, {7, 6}),    // 7: -> 14
        I(Op::NewArrayR, {8, 1}),     // 8
        I(Op::ArraySetR, {8, 2, 0}),  // 9
        I(Op::ArraySetR, {8, 3, 0}),  // 10
        I(Op::MoveR, {0, 8}),         // 11
        I(Op::AddR, {5, 5, 3}),       // 12
        I(Op::JumpR, {-8}),           // 13: -> 6
        I(Op::LoadConstR, {9, 4}),    // 14: r9 = ""
    };
    code.insert(code.end(), tail.begin(), tail.end());
    const uint64_t f = code.size();
    code.push_back(Instruction::return_none());  // f: returns nothing
    return make_module(std::move(code),
                       {Constant::of_int(2), Constant::of_int(0), Constant::of_int(1), Constant::of_int(depth),
                        Constant::of_string(""), Constant::of_string("f")},
                       {{"main", 0}, {"f", f}});
}

struct RenderCase {
    const char* name;
    bool debug;
    std::vector<Instruction> tail;  // the instruction that renders r0, then Halt
    const char* small_outcome;      // outcome with a small tower: "" for success, else the error
};

std::vector<RenderCase> render_cases() {
    return {
        {"concat_left", false, {I(Op::ConcatStrR, {10, 0, 9}), I(Op::Halt)}, ""},
        {"concat_right", false, {I(Op::ConcatStrR, {10, 9, 0}), I(Op::Halt)}, ""},
        {"concat_in_place", false, {I(Op::MoveR, {10, 9}), I(Op::ConcatStrR, {10, 10, 0}), I(Op::Halt)}, ""},
        {"cast_to_string", false, {I(Op::CastR, {10, 0, 4}), I(Op::Halt)}, ""},
        {"debug_print_quiet", false, {I(Op::DebugPrint, {0}), I(Op::Halt)}, ""},
        {"debug_print_debug", true, {I(Op::DebugPrint, {0}), I(Op::Halt)}, ""},
        // The trace line is printed, then the comparison itself fails.
        {"lte_trace", true, {I(Op::LteR, {10, 0, 9}), I(Op::Halt)}, "Invalid comparison: Array and String"},
        {"call_trace", true, {I(Op::LoadConstR, {11, 5}), Instruction::call(11, {0}, 12), I(Op::Halt)}, ""},
    };
}

class TowerRendering : public ::testing::TestWithParam<RenderCase> {};

// Forty levels render to about 2^44 characters: every instruction that would
// build that text ends the run with OutOfMemory at once, before allocating
// it, and leaves its destination alone.
TEST_P(TowerRendering, PastTheTextLimitIsOutOfMemory) {
    const RenderCase& c = GetParam();
    QuietStdout quiet;
    VmState vm;
    vm.debug = c.debug;
    vm.reset_for_module(tower_program(40, c.tail));
    vm.write_register(10, Value::integer(-5));
    auto outcome = run_state(vm);
    ASSERT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.message, "Out of memory");
    EXPECT_EQ(vm.instructions[vm.pc - 1].op, c.tail[c.tail.size() - 2].op);  // the rendering instruction failed
    if (c.tail.size() == 2) {
        EXPECT_EQ(display_text(vm.registers[10]), "-5");
    }
    // The machine goes on: a new module runs normally.
    auto next = run_module(make_module({I(Op::LoadConstR, {0, 0}), I(Op::ReturnR, {0})}, {Constant::of_int(42)}), &vm);
    ASSERT_TRUE(next.ok);
    EXPECT_EQ(next.value->as_int(), 42);
}

// Ten levels (18 KiB of text) render as before.
TEST_P(TowerRendering, WithinTheLimitRendersNormally) {
    const RenderCase& c = GetParam();
    QuietStdout quiet;
    VmState vm;
    vm.debug = c.debug;
    vm.reset_for_module(tower_program(10, c.tail));
    auto outcome = run_state(vm);
    if (*c.small_outcome != '\0') {
        EXPECT_EQ(outcome.message, c.small_outcome);
        return;
    }
    ASSERT_TRUE(outcome.ok) << outcome.message;
    EXPECT_TRUE(vm.halted);
    const std::string name = c.name;
    if (name.rfind("concat", 0) == 0 || name == "cast_to_string") {
        EXPECT_EQ(vm.registers[10].text(), display_text(vm.registers[0]));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, TowerRendering, ::testing::ValuesIn(render_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- hostile programs ------------------------------------------------------------------------

// Three arrays nested a million levels deep, built by a loop (r7 = new array
// of 1; r7[0] = previous), two equal and one different innermost; compared
// with EqR, printed by DebugPrint in debug mode, and dropped with the machine.
TEST(HostilePrograms, MillionDeepNestingComparedPrintedAndDropped) {
    constexpr int64_t kDepth = 1000000;
    std::vector<Instruction> code = {
        I(Op::LoadConstR, {1, 0}),     // 0: r1 = 1
        I(Op::LoadConstR, {2, 1}),     // 1: r2 = 0
        I(Op::LoadConstR, {3, 2}),     // 2: r3 = depth
        I(Op::LoadConstR, {5, 1}),     // 3: r5 = 0
        I(Op::LoadConstR, {20, 0}),    // 4: innermost values 1, 1, 2
        I(Op::LoadConstR, {21, 0}),    // 5
        I(Op::LoadConstR, {22, 3}),    // 6
        I(Op::LtR, {6, 5, 3}),         // 7: loop
        I(Op::JumpIfNotR, {6, 11}),    // 8: -> 20
        I(Op::NewArrayR, {7, 1}),      // 9
        I(Op::ArraySetR, {7, 2, 20}),  // 10
        I(Op::MoveR, {20, 7}),         // 11
        I(Op::NewArrayR, {7, 1}),      // 12
        I(Op::ArraySetR, {7, 2, 21}),  // 13
        I(Op::MoveR, {21, 7}),         // 14
        I(Op::NewArrayR, {7, 1}),      // 15
        I(Op::ArraySetR, {7, 2, 22}),  // 16
        I(Op::MoveR, {22, 7}),         // 17
        I(Op::AddR, {5, 5, 1}),        // 18
        I(Op::JumpR, {-13}),           // 19: -> 7
        I(Op::EqR, {30, 20, 21}),      // 20
        I(Op::EqR, {31, 20, 22}),      // 21
        I(Op::ReturnR, {20}),          // 22
    };
    QuietStdout quiet;
    auto vm = std::make_unique<VmState>();
    vm->reset_for_module(
        make_module(code, {Constant::of_int(1), Constant::of_int(0), Constant::of_int(kDepth), Constant::of_int(2)}));
    auto outcome = run_state(*vm);
    ASSERT_TRUE(outcome.ok) << outcome.message;
    EXPECT_TRUE(vm->registers[30].as_bool());
    EXPECT_FALSE(vm->registers[31].as_bool());
    size_t depth = 0;
    for (const Value* v = &*outcome.value; v->is(ValueType::Array); v = &v->items()[0]) ++depth;
    EXPECT_EQ(depth, static_cast<size_t>(kDepth));
    // DebugPrint of the deep value in debug mode (a one-instruction program,
    // so only one instruction is traced): "DEBUG: Array([" ... "])".
    EXPECT_EQ(debug_form_length(*outcome.value, kNoLimit), static_cast<size_t>(kDepth) * 9 + 6);
    vm->reset_for_module(make_module({I(Op::DebugPrint, {0})}));
    vm->debug = true;
    vm->write_register(0, *outcome.value);
    auto print = run_state(*vm);
    ASSERT_TRUE(print.ok) << print.message;
    outcome.value.reset();
    vm.reset();  // destroys registers, frames and the module without recursion
}

// down(n): r1 = array of 10,000, r2 = {str(n): r1}, r3 = str(n) + str(n);
// recurse with n - 1; return the sum of the array lengths.
Module recursion_program(int64_t n) {
    std::vector<Instruction> code = {
        I(Op::LoadConstR, {0, 0}),     // 0: main: r0 = n
        I(Op::LoadConstR, {1, 1}),     // 1: r1 = "down"
        Instruction::call(1, {0}, 2),  // 2
        I(Op::ReturnR, {2}),           // 3
        I(Op::LoadConstR, {10, 2}),    // 4: down: r10 = 0
        I(Op::LteR, {11, 0, 10}),      // 5
        I(Op::JumpIfNotR, {11, 1}),    // 6: -> 8
        I(Op::ReturnR, {10}),          // 7
        I(Op::LoadConstR, {10, 3}),    // 8: r10 = 10000
        I(Op::NewArrayR, {1, 10}),     // 9
        I(Op::DictNewR, {2}),          // 10
        I(Op::CastR, {3, 0, 4}),       // 11
        I(Op::DictSetR, {2, 3, 1}),    // 12
        I(Op::ConcatStrR, {3, 3, 3}),  // 13
        I(Op::LoadConstR, {10, 4}),    // 14: r10 = 1
        I(Op::SubR, {5, 0, 10}),       // 15
        I(Op::LoadConstR, {6, 1}),     // 16
        Instruction::call(6, {5}, 7),  // 17
        I(Op::ArrayLenR, {8, 1}),      // 18
        I(Op::AddR, {9, 7, 8}),        // 19
        I(Op::ReturnR, {9}),           // 20
    };
    return make_module(code,
                       {Constant::of_int(n), Constant::of_string("down"), Constant::of_int(0), Constant::of_int(10000),
                        Constant::of_int(1)},
                       {{"main", 0}, {"down", 4}});
}

TEST(HostilePrograms, ThousandFramesHoldingContainers) {
    VmState vm;
    // main's call is frame 1; down(999) reaches down(0) as frame 1,000.
    auto full = run_module(recursion_program(999), &vm);
    ASSERT_TRUE(full.ok) << full.message;
    EXPECT_EQ(full.value->as_int(), 999 * 10000);
    EXPECT_TRUE(vm.call_stack.empty());

    auto over = run_module(recursion_program(1000), &vm);
    EXPECT_EQ(over.message, "Stack overflow");
    EXPECT_EQ(vm.call_stack.size(), kMaxCallDepth);      // every frame still holds its containers
    auto again = run_module(recursion_program(3), &vm);  // the load drops them all
    ASSERT_TRUE(again.ok) << again.message;
    EXPECT_EQ(again.value->as_int(), 30000);
}

TEST(HostilePrograms, HugeRequestsAreOutOfMemoryAndTheMachineGoesOn) {
    struct Case {
        const char* name;
        std::vector<Instruction> code;
        std::vector<Constant> constants;
        uint64_t executed;
    };
    const Case cases[] = {
        {"array_2_40", {I(Op::LoadConstR, {1, 0}), I(Op::NewArrayR, {0, 1})}, {Constant::of_int(int64_t{1} << 40)}, 2},
        {"array_int_max",
         {I(Op::LoadConstR, {1, 0}), I(Op::NewArrayR, {0, 1})},
         {Constant::of_int(std::numeric_limits<int64_t>::max())},
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VmState vm;
        auto outcome = run_module(make_module(c.code, c.constants), &vm);
        EXPECT_EQ(outcome.message, "Out of memory");
        EXPECT_EQ(vm.instruction_count, c.executed);
        EXPECT_TRUE(vm.registers[0].is(ValueType::Empty));
        auto next =
            run_module(make_module({I(Op::LoadConstR, {0, 0}), I(Op::ReturnR, {0})}, {Constant::of_int(7)}), &vm);
        ASSERT_TRUE(next.ok);
        EXPECT_EQ(next.value->as_int(), 7);
    }
}

TEST(HostilePrograms, DictionaryWithAMillionKeys) {
    constexpr int64_t kKeys = 1000000;
    std::vector<Instruction> code = {
        I(Op::DictNewR, {0}),        // 0
        I(Op::LoadConstR, {1, 0}),   // 1: i = 0
        I(Op::LoadConstR, {2, 1}),   // 2: n
        I(Op::LoadConstR, {3, 2}),   // 3: 1
        I(Op::LtR, {4, 1, 2}),       // 4: loop
        I(Op::JumpIfNotR, {4, 4}),   // 5: -> 10
        I(Op::CastR, {5, 1, 4}),     // 6
        I(Op::DictSetR, {0, 5, 1}),  // 7
        I(Op::AddR, {1, 1, 3}),      // 8
        I(Op::JumpR, {-6}),          // 9: -> 4
        I(Op::DictLenR, {6, 0}),     // 10
        I(Op::ReturnR, {0}),         // 11
    };
    VmState vm;
    auto outcome =
        run_module(make_module(code, {Constant::of_int(0), Constant::of_int(kKeys), Constant::of_int(1)}), &vm);
    ASSERT_TRUE(outcome.ok) << outcome.message;
    EXPECT_EQ(vm.registers[6].as_int(), kKeys);
    const DictMap& map = outcome.value->entries();
    EXPECT_EQ(map.size(), static_cast<size_t>(kKeys));
    for (int64_t k : {int64_t{0}, int64_t{9}, int64_t{123456}, kKeys - 1}) {
        const Value* found = map.find(std::to_string(k));
        ASSERT_NE(found, nullptr) << k;
        EXPECT_EQ(found->as_int(), k);
    }
    EXPECT_EQ(map.find(std::to_string(kKeys)), nullptr);
}

}  // namespace
}  // namespace tarnel
