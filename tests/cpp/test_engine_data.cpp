#include <gtest/gtest.h>

#include "values/dict_map.hpp"
#include "vm_fixture.hpp"

namespace tarnel {
namespace {

using namespace tarnel::testing;

// Registers preset before the program runs, then instructions; the expected
// text is the display text of register `result` or the error message.
struct DataCase {
    std::string name;
    std::vector<std::pair<uint8_t, Value>> preset;
    std::vector<Instruction> code;
    uint8_t result;
    std::string expected;
};

std::string outcome_text(VmState& vm, uint8_t result) {
    auto outcome = run_state(vm);
    return outcome.ok ? display_text(vm.registers[result]) : outcome.message;
}

class EngineData : public ::testing::TestWithParam<DataCase> {};

TEST_P(EngineData, Behaves) {
    const DataCase& c = GetParam();
    VmState vm;
    vm.reset_for_module(make_module(c.code, {Constant::of_string("boom")}));
    for (const auto& [r, v] : c.preset) vm.write_register(r, v);
    EXPECT_EQ(outcome_text(vm, c.result), c.expected);
}

Value ints(std::initializer_list<int64_t> xs) {
    std::vector<Value> items;
    for (int64_t x : xs) items.push_back(Value::integer(x));
    return Value::array(std::move(items));
}

Value one_entry(const char* key, Value v) {
    DictMap m;
    m.set(Value::string(key), std::move(v));
    return Value::dict(std::move(m));
}

const Value kS = Value::string("héllo");
const Value kI = Value::integer(1);

INSTANTIATE_TEST_SUITE_P(
    Table, EngineData,
    ::testing::Values(
        // strings
        DataCase{"concat_mixed",
                 {{1, Value::string("n=")}, {2, Value::integer(5)}},
                 {I(Op::ConcatStrR, {0, 1, 2})},
                 0,
                 "n=5"},
        DataCase{"concat_min_int",
                 {{1, Value::string("n=")}, {2, Value::integer(INT64_MIN)}},
                 {I(Op::ConcatStrR, {0, 1, 2})},
                 0,
                 "n=-9223372036854775808"},
        DataCase{"concat_int_string",
                 {{1, Value::integer(-7)}, {2, Value::string("x")}},
                 {I(Op::ConcatStrR, {0, 1, 2})},
                 0,
                 "-7x"},
        DataCase{"concat_float_empty", {{1, Value::number(2.0)}}, {I(Op::ConcatStrR, {0, 1, 2})}, 0, "2empty"},
        DataCase{"concat_self", {{1, Value::string("ab")}}, {I(Op::ConcatStrR, {1, 1, 1})}, 1, "abab"},
        DataCase{"strlen_bytes", {{1, kS}}, {I(Op::StrLenR, {0, 1})}, 0, "6"},
        DataCase{"strlen_url",
                 {{1, Value::url("x")}},
                 {I(Op::StrLenR, {0, 1})},
                 0,
                 "Type mismatch: expected string, found url"},
        // arrays
        DataCase{"new_zero", {{1, Value::integer(0)}}, {I(Op::NewArrayR, {0, 1})}, 0, "[]"},
        DataCase{"new_three", {{1, Value::integer(3)}}, {I(Op::NewArrayR, {0, 1})}, 0, "[empty, empty, empty]"},
        DataCase{"new_negative",
                 {{1, Value::integer(-3)}},
                 {I(Op::NewArrayR, {0, 1})},
                 0,
                 "Invalid operation: create array on type negative size: -3"},
        DataCase{"new_float",
                 {{1, Value::number(2.0)}},
                 {I(Op::NewArrayR, {0, 1})},
                 0,
                 "Type mismatch: expected integer, found float"},
        DataCase{"new_huge",
                 {{1, Value::integer(int64_t{1} << 40)}, {0, kI}},
                 {I(Op::NewArrayR, {0, 1})},
                 0,
                 "Out of memory"},
        DataCase{"get", {{1, ints({4, 5, 6})}, {2, Value::integer(2)}}, {I(Op::ArrayGetR, {0, 1, 2})}, 0, "6"},
        DataCase{"get_past_end",
                 {{1, ints({4, 5, 6})}, {2, Value::integer(3)}},
                 {I(Op::ArrayGetR, {0, 1, 2})},
                 0,
                 "Index out of bounds: index 3 for length 3"},
        DataCase{"get_negative",
                 {{1, ints({4, 5, 6})}, {2, Value::integer(-1)}},
                 {I(Op::ArrayGetR, {0, 1, 2})},
                 0,
                 "Index out of bounds: index -1 for length 3"},
        DataCase{"get_not_array_before_index",
                 {{1, kS}, {2, kS}},
                 {I(Op::ArrayGetR, {0, 1, 2})},
                 0,
                 "Type mismatch: expected array, found string"},
        DataCase{"get_float_index",
                 {{1, ints({1})}, {2, Value::number(0.0)}},
                 {I(Op::ArrayGetR, {0, 1, 2})},
                 0,
                 "Type mismatch: expected integer index, found float"},
        DataCase{"set", {{1, ints({4, 5})}, {2, kI}, {3, kS}}, {I(Op::ArraySetR, {1, 2, 3})}, 1, "[4, héllo]"},
        DataCase{"set_into_itself", {{1, ints({4, 5})}, {2, kI}}, {I(Op::ArraySetR, {1, 2, 1})}, 1, "[4, [4, 5]]"},
        DataCase{"set_out_of_range",
                 {{1, ints({4})}, {2, Value::integer(1)}},
                 {I(Op::ArraySetR, {1, 2, 3})},
                 1,
                 "Index out of bounds: index 1 for length 1"},
        DataCase{"len", {{1, ints({4, 5})}}, {I(Op::ArrayLenR, {0, 1})}, 0, "2"},
        DataCase{"len_dict",
                 {{1, Value::dict()}},
                 {I(Op::ArrayLenR, {0, 1})},
                 0,
                 "Type mismatch: expected array, found dict"},
        // dictionaries
        DataCase{"dict_new", {}, {I(Op::DictNewR, {0})}, 0, "{}"},
        DataCase{"dict_set_get",
                 {{1, Value::string("k")}, {2, Value::boolean(true)}},
                 {I(Op::DictNewR, {0}), I(Op::DictSetR, {0, 1, 2}), I(Op::DictGetR, {3, 0, 1})},
                 0,
                 "{k: true}"},
        DataCase{"dict_get_missing",
                 {{1, Value::string("k")}, {3, kI}},
                 {I(Op::DictNewR, {0}), I(Op::DictGetR, {3, 0, 1})},
                 3,
                 "empty"},
        DataCase{"dict_int_key",
                 {{1, kI}},
                 {I(Op::DictNewR, {0}), I(Op::DictSetR, {0, 1, 2})},
                 0,
                 "Type mismatch: expected string key, found int"},
        DataCase{"dict_url_key",
                 {{1, Value::url("k")}},
                 {I(Op::DictNewR, {0}), I(Op::DictGetR, {2, 0, 1})},
                 0,
                 "Type mismatch: expected string key, found url"},
        DataCase{"dict_check_before_key",
                 {{0, kI}, {1, kI}},
                 {I(Op::DictContainsR, {2, 0, 1})},
                 0,
                 "Type mismatch: expected dict, found int"},
        DataCase{"dict_remove_missing",
                 {{0, one_entry("a", kI)}, {1, Value::string("b")}},
                 {I(Op::DictRemoveR, {0, 1})},
                 0,
                 "{a: 1}"},
        DataCase{"dict_remove",
                 {{0, one_entry("a", kI)}, {1, Value::string("a")}},
                 {I(Op::DictRemoveR, {0, 1}), I(Op::DictLenR, {2, 0})},
                 2,
                 "0"},
        DataCase{"dict_contains",
                 {{0, one_entry("a", kI)}, {1, Value::string("a")}},
                 {I(Op::DictContainsR, {2, 0, 1})},
                 2,
                 "true"},
        DataCase{"dict_keys", {{0, one_entry("a", kI)}}, {I(Op::DictKeysR, {2, 0})}, 2, "[a]"},
        DataCase{"dict_values", {{0, one_entry("a", kS)}}, {I(Op::DictValuesR, {2, 0})}, 2, "[héllo]"},
        DataCase{"dict_clear", {{0, one_entry("a", kI)}}, {I(Op::DictClearR, {0})}, 0, "{}"},
        DataCase{"dict_clear_not_dict",
                 {{0, ints({})}},
                 {I(Op::DictClearR, {0})},
                 0,
                 "Type mismatch: expected dict, found array"},
        // assertions and scopes
        DataCase{"assert_range_ok",
                 {{1, Value::integer(3)}},
                 {Instruction::assertion(1, AssertType::range(1, 3), 0)},
                 1,
                 "3"},
        DataCase{"assert_range_float",
                 {{1, Value::number(2.0)}},
                 {Instruction::assertion(1, AssertType::range(1, 3), 0)},
                 1,
                 "Assertion failed: boom"},
        DataCase{"assert_nonnull_false_ok",
                 {{1, Value::boolean(false)}},
                 {Instruction::assertion(1, AssertType::non_null(), 0)},
                 1,
                 "false"},
        DataCase{"assert_nonnull_empty",
                 {},
                 {Instruction::assertion(1, AssertType::non_null(), 0)},
                 1,
                 "Assertion failed: boom"},
        DataCase{"assert_bad_message",
                 {},
                 {Instruction::assertion(1, AssertType::truthy(), 4)},
                 1,
                 "Invalid constant index: 4"},
        DataCase{
            "assert_passing_ignores_message", {{1, kI}}, {Instruction::assertion(1, AssertType::truthy(), 9)}, 1, "1"}),
    [](const auto& info) { return info.param.name; });

TEST(EngineScopes, ExitOnlyPopsTheInnermostMatchingScope) {
    VmState vm;
    run_module(
        make_module({I(Op::ScopeEnterR, {1}), I(Op::ScopeEnterR, {2}), I(Op::ScopeExitR, {1}), I(Op::ScopeExitR, {2})}),
        &vm);
    EXPECT_EQ(vm.scope_stack, std::vector<uint16_t>{1});
}

// Every other holder keeps the old contents when a container is updated.
TEST(EngineCopyOnUpdate, OtherHoldersKeepOldContents) {
    std::vector<Constant> k = {Constant::of_int(1),      Constant::of_int(0), Constant::of_string("g"),
                               Constant::of_string("f"), Constant::of_int(9), Constant::of_string("key")};
    std::vector<Instruction> code = {
        I(Op::LoadConstR, {1, 0}), I(Op::NewArrayR, {10, 1}),  // r10 = [empty]
        I(Op::MoveR, {11, 10}), I(Op::StoreGlobalR, {10, 2}),  // r11 and global g share it
        I(Op::DictNewR, {20}), I(Op::LoadConstR, {21, 5}), I(Op::DictSetR, {20, 21, 10}), I(Op::LoadConstR, {30, 3}),
        Instruction::call(30, {}, 31),  // f updates r10 and r20 inside the call
        I(Op::LoadGlobalR, {12, 2}), I(Op::Halt),
        // f: r10[0] = 9, r20["key"] = 9; r10 is saved in the frame and restored
        I(Op::LoadConstR, {2, 1}), I(Op::LoadConstR, {3, 4}), I(Op::ArraySetR, {10, 2, 3}), I(Op::MoveR, {100, 10}),
        I(Op::DictSetR, {20, 21, 3}), I(Op::MoveR, {101, 20}), I(Op::ReturnR)};
    VmState vm;
    auto outcome = run_module(make_module(code, k, {{"main", 0}, {"f", 11}}), &vm);
    ASSERT_TRUE(outcome.ok) << outcome.message;
    EXPECT_EQ(display_text(vm.registers[100]), "[9]");     // the callee saw its update
    EXPECT_EQ(display_text(vm.registers[10]), "[empty]");  // restored from the frame
    EXPECT_EQ(display_text(vm.registers[11]), "[empty]");
    EXPECT_EQ(display_text(vm.registers[12]), "[empty]");  // the global
    EXPECT_EQ(display_text(vm.registers[101]), "{key: 9}");
    EXPECT_EQ(display_text(vm.registers[20]), "{key: [empty]}");
}

TEST(EngineCopyOnUpdate, UniquelyHeldArrayIsUpdatedInPlace) {
    VmState vm;
    vm.reset_for_module(make_module({I(Op::ArraySetR, {1, 2, 3})}));
    vm.write_register(1, ints({1, 2, 3}));
    vm.write_register(2, Value::integer(0));
    const void* before = vm.registers[1].payload();
    ASSERT_TRUE(run_state(vm).ok);
    EXPECT_EQ(vm.registers[1].payload(), before);
    EXPECT_EQ(display_text(vm.registers[1]), "[empty, 2, 3]");
}

TEST(EngineData, KeysAndValuesCorrespond) {
    DictMap m;
    for (int i = 0; i < 200; ++i) m.set(Value::string("k" + std::to_string(i)), Value::integer(i));
    VmState vm;
    vm.reset_for_module(make_module({I(Op::DictKeysR, {1, 0}), I(Op::DictValuesR, {2, 0})}));
    vm.write_register(0, Value::dict(std::move(m)));
    ASSERT_TRUE(run_state(vm).ok);
    const auto& keys = vm.registers[1].items();
    const auto& values = vm.registers[2].items();
    ASSERT_EQ(keys.size(), 200u);
    for (size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(keys[i].text(), "k" + std::to_string(values[i].as_int()));
}

TEST(EngineData, DoublingAStringUntilMemoryRunsOutFailsCleanly) {
    // r0 = "x"; loop: r0 = r0 + r0 (a new string each time, both operands shared)
    VmState vm;
    vm.reset_for_module(
        make_module({I(Op::LoadConstR, {0, 0}), I(Op::MoveR, {1, 0}), I(Op::AddR, {0, 0, 1}), I(Op::JumpR, {-3})},
                    {Constant::of_string("xxxxxxxxxxxxxxxx")}));
    auto outcome = run_state(vm);
    EXPECT_EQ(outcome.message, "Out of memory");
    EXPECT_TRUE(vm.registers[0].is(ValueType::String));
}

}  // namespace
}  // namespace tarnel
