// When the default tiering keeps a module's machine code: the balance of
// its loops' own code against their handler calls.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vm/jit_payoff.hpp"
#include "vm_fixture.hpp"

namespace tarnel::testing {
namespace {

struct PayoffCase {
    std::string name;
    std::vector<Instruction> code;
    std::string handlers;  // one character per instruction: 'h' calls its handler
    bool pays_off;
};

// A loop body of `own` instructions with code of their own and `calls`
// handler calls, closed by a JumpR back to its first instruction.
PayoffCase loop(std::string name, int own, int calls, bool pays_off) {
    std::vector<Instruction> code(static_cast<size_t>(own + calls - 1), I(Op::Nop));
    const int back = -(own + calls);
    code.push_back(I(Op::JumpR, {back}));
    return {std::move(name), code, std::string(static_cast<size_t>(calls), 'h') + std::string(own - 1, '.') + ".",
            pays_off};
}

std::vector<PayoffCase> payoff_cases() {
    return {
        {"NoLoops", {I(Op::Nop), I(Op::Nop), I(Op::ReturnR, {0})}, "hh.", true},
        loop("OnlyOwnCode", 4, 0, true),
        loop("FivePerCall", 5, 1, true),
        loop("FourPerCall", 4, 1, false),  // a text built one append at a time
        loop("TwoCallsInSix", 4, 2, false),
        // A forward jump and a jump before the list's start close no loop.
        {"ForwardJump", {I(Op::Nop), I(Op::JumpR, {1}), I(Op::Nop), I(Op::Nop)}, "h..h", true},
        {"JumpOutOfTheList", {I(Op::Nop), I(Op::JumpIfR, {1, -9})}, "h.", true},
        // Two loops, taken together: +40 for four own instructions against
        // -20 for three and a call.
        {"GoodLoopOutweighsBad",
         {I(Op::Nop), I(Op::Nop), I(Op::Nop), I(Op::JumpIfNotR, {2, -4}), I(Op::Nop), I(Op::Nop), I(Op::Nop),
          I(Op::JumpR, {-4})},
         "....h...",
         true},
        // A loop inside a loop counts in both.
        {"NestedCallsCountTwice",
         {I(Op::Nop), I(Op::Nop), I(Op::Nop), I(Op::Nop), I(Op::JumpIfR, {3, -3}), I(Op::JumpR, {-6})},
         "..h...",
         false},
    };
}

class Payoff : public ::testing::TestWithParam<PayoffCase> {};

TEST_P(Payoff, BalanceOfTheLoops) {
    const PayoffCase& c = GetParam();
    ASSERT_EQ(c.code.size(), c.handlers.size());
    std::vector<bool> native(c.code.size());
    for (size_t i = 0; i < native.size(); ++i) native[i] = c.handlers[i] != 'h';
    EXPECT_EQ(jit::pays_off(c.code, native), c.pays_off);
}

INSTANTIATE_TEST_SUITE_P(Table, Payoff, ::testing::ValuesIn(payoff_cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tarnel::testing
