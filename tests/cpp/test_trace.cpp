#include <gtest/gtest.h>

#include "values/dict_map.hpp"
#include "vm_fixture.hpp"

namespace tarnel {
namespace {

using namespace tarnel::testing;

// Runs a module with fd 1 captured and returns what was printed.
std::string printed_by(Module module, bool debug, std::vector<std::pair<uint8_t, Value>> preset = {},
                       uint64_t* count = nullptr) {
    VmState vm;
    vm.debug = debug;
    vm.reset_for_module(std::move(module));
    for (auto& [r, v] : preset) vm.write_register(r, v);
    ::testing::internal::CaptureStdout();
    run_state(vm);
    std::string out = ::testing::internal::GetCapturedStdout();
    if (count) *count = vm.instruction_count;
    return out;
}

TEST(Trace, LoadConstAndReturn) {
    EXPECT_EQ(printed_by(make_module({I(Op::LoadConstR, {0, 0}), I(Op::ReturnR, {0})}, {Constant::of_int(7)}), true),
              "PC: 0, Instruction: LoadConstR { dst: 0, const_idx: 0 }\n"
              "  LoadConstR: r0 = constants[0] = Int(7)\n"
              "PC: 1, Instruction: ReturnR { src: Some(0) }\n");
}

TEST(Trace, InvalidConstantPrintsOnlyTheFetchLine) {
    EXPECT_EQ(printed_by(make_module({I(Op::LoadConstR, {0, 3})}), true),
              "PC: 0, Instruction: LoadConstR { dst: 0, const_idx: 3 }\n");
}

TEST(Trace, LteLinesAndFailedComparison) {
    auto module = make_module({I(Op::LteR, {2, 0, 1}), I(Op::LtR, {3, 0, 1}), I(Op::LteR, {2, 0, 4})});
    EXPECT_EQ(printed_by(module, true, {{0, Value::integer(1)}, {1, Value::number(2.5)}, {4, Value::string("x")}}),
              "PC: 0, Instruction: LteR { dst: 2, left: 0, right: 1 }\n"
              "  LteR: r2 = r0 (Int(1)) <= r1 (Float(2.5))\n"
              "    Result: true\n"
              "PC: 1, Instruction: LtR { dst: 3, left: 0, right: 1 }\n"
              "PC: 2, Instruction: LteR { dst: 2, left: 0, right: 4 }\n"
              "  LteR: r2 = r0 (Int(1)) <= r4 (String(\"x\"))\n");
}

TEST(Trace, CallLinesShowArgumentsBeforeAndCopiesAfter) {
    auto module = make_module({Instruction::call(2, {4, 5}, 3), I(Op::Halt), I(Op::ReturnR)}, {}, {{"f", 2}});
    EXPECT_EQ(printed_by(module, true, {{2, Value::string("f")}, {4, Value::integer(1)}, {5, Value::integer(2)}}),
              "PC: 0, Instruction: CallR { func: 2, args: [4, 5], dst: 3 }\n"
              "CallR: func=r2, dst=r3, args=[4, 5]\n"
              "  arg[0]: r4 = Int(1)\n"
              "  arg[1]: r5 = Int(2)\n"
              "  Set r0 = Int(1) (from r4)\n"
              "  Set r1 = Int(2) (from r5)\n"
              "PC: 2, Instruction: ReturnR { src: None }\n"
              "PC: 1, Instruction: Halt\n");
}

TEST(Trace, CallArgumentCopiesSeeEarlierCopiesAndFailedLookupsPrintNoSetLines) {
    auto swap = make_module({Instruction::call(9, {1, 0}, 3), I(Op::Halt), I(Op::ReturnR)}, {}, {{"f", 2}});
    std::string out =
        printed_by(swap, true, {{9, Value::string("f")}, {0, Value::integer(10)}, {1, Value::integer(11)}});
    EXPECT_NE(out.find("  arg[1]: r0 = Int(10)\n  Set r0 = Int(11) (from r1)\n  Set r1 = Int(11) (from r0)\n"),
              std::string::npos)
        << out;
    auto missing = make_module({Instruction::call(9, {}, 3)});
    EXPECT_EQ(printed_by(missing, true, {{9, Value::string("nope")}}),
              "PC: 0, Instruction: CallR { func: 9, args: [], dst: 3 }\n"
              "CallR: func=r9, dst=r3, args=[]\n");
}

struct PrintCase {
    Value value;
    std::string quiet;
    std::string debug;
};

class TraceDebugPrint : public ::testing::TestWithParam<PrintCase> {};

TEST_P(TraceDebugPrint, QuietAndDebugForms) {
    auto module = make_module({I(Op::DebugPrint, {0})});
    EXPECT_EQ(printed_by(module, false, {{0, GetParam().value}}), GetParam().quiet);
    EXPECT_EQ(printed_by(module, true, {{0, GetParam().value}}),
              "PC: 0, Instruction: DebugPrint { src: 0 }\nDEBUG: " + GetParam().debug + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Table, TraceDebugPrint,
    ::testing::Values(PrintCase{Value(), "", "Empty"}, PrintCase{Value::integer(5), "5\n", "Int(5)"},
                      PrintCase{Value::boolean(false), "false\n", "Bool(false)"},
                      PrintCase{Value::number(3.0), "3\n", "Float(3.0)"},
                      PrintCase{Value::number(2.5), "2.5\n", "Float(2.5)"},
                      PrintCase{Value::number(1e23), "100000000000000000000000\n", "Float(1e23)"},
                      PrintCase{Value::number(1e-7), "0.0000001\n", "Float(1e-7)"},
                      PrintCase{Value::number(-0.0), "-0\n", "Float(-0.0)"},
                      PrintCase{Value::number(-1.0 / 0.0), "-inf\n", "Float(-inf)"},
                      PrintCase{Value::number(0.0 / 0.0), "NaN\n", "Float(NaN)"},
                      PrintCase{Value::string("a\"b"), "a\"b\n", "String(\"a\\\"b\")"},
                      PrintCase{Value::url("u"), "URL(\"u\")\n", "URL(\"u\")"},
                      PrintCase{Value::array({Value::integer(1)}), "Array([Int(1)])\n", "Array([Int(1)])"},
                      PrintCase{Value::function({1, 2, "add"}),
                                "Function(FunctionRef { chunk_index: 1, arity: 2, name: \"add\" })\n",
                                "Function(FunctionRef { chunk_index: 1, arity: 2, name: \"add\" })"}));

TEST(Trace, BreakPointOnlyInDebugMode) {
    auto module = make_module({I(Op::Nop), I(Op::Nop), I(Op::Nop), I(Op::Nop), I(Op::BreakPoint)});
    EXPECT_EQ(printed_by(module, false), "");
    std::string out = printed_by(module, true);
    EXPECT_NE(out.find("PC: 4, Instruction: BreakPoint\nBREAKPOINT at PC: 4\n"), std::string::npos) << out;
}

TEST(Trace, DebugModeChangesNeitherResultNorCount) {
    std::vector<Constant> k = {Constant::of_string("rec"), Constant::of_int(5), Constant::of_int(1)};
    std::vector<Instruction> code = {
        I(Op::LoadConstR, {0, 1}), I(Op::LoadConstR, {70, 0}), Instruction::call(70, {0}, 1),
        I(Op::ReturnR, {1}),       I(Op::LoadConstR, {2, 2}),  I(Op::LteR, {3, 0, 2}),
        I(Op::JumpIfR, {3, 3}),    I(Op::SubR, {0, 0, 2}),     Instruction::call(70, {0}, 1),
        I(Op::ReturnR, {1}),       I(Op::ReturnR, {2})};
    uint64_t quiet_count = 0, debug_count = 0;
    printed_by(make_module(code, k, {{"main", 0}, {"rec", 4}}), false, {}, &quiet_count);
    printed_by(make_module(code, k, {{"main", 0}, {"rec", 4}}), true, {}, &debug_count);
    EXPECT_EQ(quiet_count, debug_count);
    EXPECT_GT(quiet_count, 20u);
}

}  // namespace
}  // namespace tarnel
