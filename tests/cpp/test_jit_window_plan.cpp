// Which callees a machine-code call may give part of its window, and what
// that part must hold.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vm/jit_window_plan.hpp"
#include "vm_fixture.hpp"

namespace tarnel::testing {
namespace {

using jit::kWholeWindow;
using jit::WindowMask;

struct PlanCase {
    std::string name;
    std::vector<Instruction> code;  // main at 0, f at 3
    WindowMask copied;              // for f, or kWholeWindow when f is not planned
};

constexpr uint64_t kF = 3;
// main: r64 = "f"; r1 = f(r0); return r1
std::vector<Instruction> with_main(std::vector<Instruction> f) {
    std::vector<Instruction> code = {I(Op::LoadConstR, {64, 0}), Instruction::call(64, {0}, 1), I(Op::ReturnR, {1})};
    code.insert(code.end(), f.begin(), f.end());
    return code;
}

std::vector<PlanCase> plan_cases() {
    return {
        // fib: reads its argument alone before it writes.
        {"Fib",
         with_main({I(Op::LtR, {2, 0, 66}), I(Op::JumpIfNotR, {2, 1}), I(Op::ReturnR, {0}), I(Op::SubR, {3, 0, 65}),
                    Instruction::call(64, {3}, 5), I(Op::SubR, {3, 0, 66}), Instruction::call(64, {3}, 6),
                    I(Op::AddR, {7, 5, 6}), I(Op::ReturnR, {7})}),
         0x01},
        {"ReadsTheCallersR4", with_main({I(Op::AddR, {1, 0, 4}), I(Op::ReturnR, {1})}), 0x11},
        {"ReturnsTheCallersR6", with_main({I(Op::ReturnR, {6})}), 0x41},
        // r5 written on one path only: the frames cannot fill it in.
        {"WritesOnOnePath",
         with_main({I(Op::JumpIfR, {0, 1}), I(Op::LoadConstR, {5, 1}), I(Op::AddR, {1, 0, 0}), I(Op::ReturnR, {1})}),
         0x21},
        // A loop: r2 is read at its head before it is written, r3 written
        // at the head only on the way round.
        {"LoopCarried",
         with_main({I(Op::AddR, {2, 2, 0}), I(Op::LtR, {3, 2, 0}), I(Op::JumpIfR, {3, -3}), I(Op::ReturnR, {2})}),
         0x0D},
        // Kinds whose code reaches past their operands, or the run's end.
        {"DebugPrint", with_main({I(Op::DebugPrint, {0}), I(Op::ReturnR, {0})}), kWholeWindow},
        {"FallsOffTheEnd", with_main({I(Op::AddR, {1, 0, 0})}), kWholeWindow},
        {"JumpsOutOfTheList", with_main({I(Op::JumpR, {50})}), kWholeWindow},
        // main runs into f's code: a run reaches it without a call.
        {"ReachedWithoutACall",
         {I(Op::LoadConstR, {64, 0}), Instruction::call(64, {0}, 1), I(Op::JumpR, {0}), I(Op::AddR, {1, 0, 0}),
          I(Op::ReturnR, {1})},
         kWholeWindow},
        // Every register read before it is written: nothing to save.
        {"ReadsAll",
         with_main({I(Op::AddR, {0, 0, 1}), I(Op::AddR, {0, 2, 3}), I(Op::AddR, {0, 4, 5}), I(Op::AddR, {0, 6, 7}),
                    I(Op::ReturnR, {0})}),
         kWholeWindow},
    };
}

void PrintTo(const PlanCase& c, std::ostream* os) { *os << c.name; }

class WindowPlanTable : public ::testing::TestWithParam<PlanCase> {};

TEST_P(WindowPlanTable, CopiesWhatTheCalleeCanObserve) {
    const PlanCase& c = GetParam();
    const jit::WindowPlan plan =
        jit::plan_windows(c.code, {0, kF}, {{kF, WindowMask{0x01}}}, std::vector<bool>(c.code.size(), false));
    const auto planned = plan.copied_on_entry.find(kF);
    EXPECT_EQ(planned == plan.copied_on_entry.end() ? kWholeWindow : planned->second, c.copied);
    ASSERT_EQ(plan.valid_before.size(), c.code.size() + 1);
    for (uint64_t i = 0; i < kF; ++i) EXPECT_EQ(plan.valid_before[i], kWholeWindow) << "main at " << i;
    if (c.copied != kWholeWindow) {
        EXPECT_EQ(plan.valid_before[kF], c.copied);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, WindowPlanTable, ::testing::ValuesIn(plan_cases()),
                         [](const auto& info) { return info.param.name; });

// fib's window after each instruction: the argument, then what every path
// to there wrote.
TEST(WindowPlan, HoldsWhatEveryPathWrote) {
    const std::vector<Instruction> code = plan_cases()[0].code;
    const jit::WindowPlan plan = jit::plan_windows(code, {0, kF}, {{kF, WindowMask{0x01}}}, {});
    const std::vector<WindowMask> expected = {0x01, 0x05, 0x05, 0x05, 0x0D, 0x2D, 0x2D, 0x6D, 0xED};
    for (size_t k = 0; k < expected.size(); ++k) EXPECT_EQ(plan.valid_before[kF + k], expected[k]) << kF + k;
}

// A typed loop's head reads past its operands: its function is not planned.
TEST(WindowPlan, NotAcrossATypedLoop) {
    const std::vector<Instruction> code = plan_cases()[4].code;
    std::vector<bool> excluded(code.size(), false);
    excluded[kF] = true;
    EXPECT_TRUE(jit::plan_windows(code, {0, kF}, {{kF, WindowMask{0x01}}}, excluded).copied_on_entry.empty());
}

}  // namespace
}  // namespace tarnel::testing
