// The second copy of straight runs whose operands are known Ints: what the
// plan says each instruction may rely on, and that runs which enter the
// copy, and runs whose values differ from what it relies on, leave what
// the interpreter leaves.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "jit_snapshot.hpp"
#include "vm/jit_known_ints.hpp"

namespace tarnel::testing {
namespace {

// 0 "f", 1 Int 1, 2 Float 2.5, 3 "s", 4 Int 3, 5 Int 2^62, 6 Int 0, 7 Int 4,
// 8 Float 0.25 (whose bits, added as an Int, do not overflow)
const std::vector<Constant>& constants() {
    static const std::vector<Constant> k = {
        Constant::of_string("f"), Constant::of_int(1), Constant::of_float(2.5),
        Constant::of_string("s"), Constant::of_int(3), Constant::of_int(int64_t{1} << 62),
        Constant::of_int(0),      Constant::of_int(4), Constant::of_float(0.25)};
    return k;
}

TEST(KnownInts, WhatEachInstructionLeaves) {
    struct Row {
        const char* name;
        std::vector<Instruction> code;
        bool calls = true;
        std::vector<uint64_t> barriers;
        std::vector<jit::WindowMask> known;  // for indices 0..n
    };
    const std::vector<Row> rows = {
        {"arithmetic: its operands and result",
         {I(Op::SubR, {3, 0, 65}), I(Op::AddR, {4, 3, 3}), I(Op::Nop, {})},
         true,
         {},
         {0x00, 0x09, 0x19, 0x00}},
        {"a call keeps r0..r7, its result an Int",
         {I(Op::SubR, {3, 0, 1}), Instruction::call(64, {3}, 5), Instruction::call(64, {3}, 70), I(Op::Nop, {})},
         true,
         {},
         {0x00, 0x0B, 0x2B, 0x2B}},
        {"a call starts no run", {Instruction::call(64, {3}, 5), I(Op::Nop, {})}, true, {}, {0x00, 0x00}},
        {"without calls in machine code nothing is kept",
         {I(Op::SubR, {3, 0, 1}), Instruction::call(64, {3}, 5), I(Op::Nop, {})},
         false,
         {},
         {0x00, 0x0B, 0x00}},
        {"constants: an Int adds, others forget",
         {I(Op::LoadConstR, {0, 1}), I(Op::LoadConstR, {1, 4}), I(Op::LoadConstR, {0, 2}), I(Op::LoadConstR, {1, 3}),
          I(Op::Nop, {})},
         true,
         {},
         {0x00, 0x01, 0x03, 0x02, 0x00}},
        {"a copy of a known Int is one",
         {I(Op::LoadConstR, {0, 1}), I(Op::MoveR, {2, 0}), I(Op::MoveR, {0, 70}), I(Op::Nop, {})},
         true,
         {},
         {0x00, 0x01, 0x05, 0x04}},
        {"comparisons forget their destination, jumps not taken keep all",
         {I(Op::AddR, {0, 1, 2}), I(Op::LtR, {1, 0, 2}), I(Op::JumpIfR, {1, 1}), I(Op::Nop, {})},
         true,
         {},
         {0x00, 0x07, 0x05, 0x05}},
        {"registers of the file are not followed",
         {I(Op::AddR, {8, 64, 9}), I(Op::LoadConstR, {70, 1}), I(Op::Nop, {})},
         true,
         {},
         {0x00, 0x00, 0x00}},
        {"a return, an unconditional jump and other kinds end the run",
         {I(Op::LoadConstR, {0, 1}), I(Op::ReturnR, {0}), I(Op::LoadConstR, {0, 1}), I(Op::JumpR, {0}),
          I(Op::LoadConstR, {0, 1}), I(Op::StrLenR, {5, 6}), I(Op::Nop, {})},
         true,
         {},
         {0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00}},
        {"a loop's head relies on nothing",
         {I(Op::LoadConstR, {0, 1}), I(Op::AddR, {0, 0, 0}), I(Op::Nop, {})},
         true,
         {1},
         {0x00, 0x00, 0x01}},
    };
    for (const Row& row : rows) {
        std::vector<jit::WindowMask> known = jit::plan_known_ints(row.code, constants(), row.calls, row.barriers).at;
        known.resize(row.known.size());  // past the list: always empty
        EXPECT_EQ(known, row.known) << row.name;
    }
}

// A copy where calls' exits go on starts with what they bring, unless the
// instruction before leaves something there (then the exits go on in the
// ordinary code).
TEST(KnownInts, ExitsStartRunsWhereNothingElseDoes) {
    const std::vector<Instruction> code = {I(Op::ReturnR, {0}), I(Op::SubR, {3, 0, 65}), I(Op::LoadConstR, {1, 1}),
                                           I(Op::Nop, {})};
    struct Row {
        const char* name;
        std::map<uint64_t, jit::WindowMask> exits;
        std::vector<jit::WindowMask> known;
        std::vector<bool> entered;
    };
    const std::vector<Row> rows = {
        {"after a return", {{1, 0x01}}, {0x00, 0x01, 0x09, 0x0B}, {false, true, false, false}},
        {"bringing nothing", {{1, 0x00}}, {0x00, 0x00, 0x09, 0x0B}, {false, false, false, false}},
        {"where the code before leaves Ints", {{3, 0x10}}, {0x00, 0x00, 0x09, 0x0B}, {false, false, false, false}},
        {"at the first instruction", {{0, 0x04}}, {0x04, 0x00, 0x09, 0x0B}, {true, false, false, false}},
    };
    for (const Row& row : rows) {
        const jit::KnownInts plan = jit::plan_known_ints(code, constants(), true, {}, row.exits);
        EXPECT_EQ(std::vector<jit::WindowMask>(plan.at.begin(), plan.at.begin() + 4), row.known) << row.name;
        EXPECT_EQ(std::vector<bool>(plan.entered_by_exits.begin(), plan.entered_by_exits.begin() + 4), row.entered)
            << row.name;
    }
}

// The ordinary code goes on into the copy where what it leaves, relying
// on nothing, is all the copy relies on: past the entry of exits here.
TEST(KnownInts, OrdinaryCodeGoesOnIntoTheCopyWhereItLeavesAll) {
    const std::vector<Instruction> code = {I(Op::ReturnR, {0}), I(Op::SubR, {3, 0, 65}), I(Op::AddR, {4, 3, 3}),
                                           I(Op::LoadConstR, {1, 1}), I(Op::Nop, {})};
    const jit::KnownInts plan = jit::plan_known_ints(code, constants(), true, {}, {{1, 0x09}});
    EXPECT_EQ(std::vector<jit::WindowMask>(plan.at.begin(), plan.at.begin() + 5),
              (std::vector<jit::WindowMask>{0x00, 0x09, 0x09, 0x19, 0x1B}));
    EXPECT_EQ(std::vector<bool>(plan.from_ordinary.begin(), plan.from_ordinary.begin() + 5),
              (std::vector<bool>{false, false, true, false, false}));
}

TEST(KnownInts, StableRegistersAreLoadedWithOneKindOfConstantAlone) {
    struct Row {
        const char* name;
        std::vector<Instruction> code;
        std::vector<uint8_t> ints;
        std::vector<std::pair<uint8_t, uint64_t>> names;
    };
    const std::vector<Row> rows = {
        {"a callee's name and the Ints its calls compute with",
         {I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {65, 1}), I(Op::LoadConstR, {65, 4}), I(Op::SubR, {3, 0, 65}),
          Instruction::call(64, {3}, 5)},
         {65},
         {{64, 0}}},
        {"written otherwise too",
         {I(Op::LoadConstR, {65, 1}), I(Op::AddR, {65, 65, 65}), I(Op::LoadConstR, {66, 1}),
          I(Op::ArraySetR, {66, 0, 0}), I(Op::LtR, {0, 66, 65})},
         {},
         {}},
        {"a call's result, and the callee's registers of many arguments",
         {I(Op::LoadConstR, {70, 1}), I(Op::LoadConstR, {66, 1}), Instruction::call(64, {3}, 70),
          Instruction::call(64, std::vector<uint8_t>(67, 1), 5), I(Op::AddR, {0, 70, 66})},
         {},
         {}},
        {"a name from two constants, a Float, registers a call saves, ones never read",
         {I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {64, 3}), I(Op::LoadConstR, {65, 2}), I(Op::LoadConstR, {9, 1}),
          I(Op::LoadConstR, {66, 1}), Instruction::call(64, {3}, 5), I(Op::AddR, {0, 65, 9})},
         {},
         {}},
    };
    for (const Row& row : rows) {
        const jit::StableRegisters stable = jit::plan_stable_registers(row.code, constants());
        EXPECT_EQ(stable.ints, row.ints) << row.name;
        EXPECT_EQ(stable.names, row.names) << row.name;
    }
}

// main calls f on each of four arguments (and of four second ones, if
// any), keeping the results in r20..r23, with a Float in r3: f's body
// relies on what it checked and wrote before, and on what a call gave
// back.
Module calls_of(const std::vector<Instruction>& f, const std::vector<int64_t>& args,
                const std::vector<int64_t>& seconds = {}) {
    std::vector<Instruction> code = {I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {65, 1}), I(Op::LoadConstR, {3, 8})};
    for (size_t k = 0; k < args.size(); ++k) {
        code.push_back(I(Op::LoadConstR, {1, args[k]}));
        if (seconds.empty()) {
            code.push_back(Instruction::call(64, {1}, static_cast<uint8_t>(20 + k)));
            continue;
        }
        code.push_back(I(Op::LoadConstR, {2, seconds[k]}));
        code.push_back(Instruction::call(64, {1, 2}, static_cast<uint8_t>(20 + k)));
    }
    code.push_back(I(Op::ReturnR, {20}));
    const uint64_t entry = code.size();
    code.insert(code.end(), f.begin(), f.end());
    return make_module(code, constants(), {{"main", 0}, {"f", entry}});
}

// f(n) = n < 1 ? n : (m = (n - 1) * (n - 1) + 1, f(n - 1) + m + n): the
// square, the sum after the call and the comparison rely on r0, r2, r3.
std::vector<Instruction> squares() {
    return {I(Op::LtR, {2, 0, 65}), I(Op::JumpIfNotR, {2, 1}), I(Op::ReturnR, {0}),   I(Op::SubR, {2, 0, 65}),
            I(Op::MulR, {3, 2, 2}), I(Op::AddR, {3, 3, 65}),   I(Op::LtR, {4, 3, 2}), Instruction::call(64, {2}, 5),
            I(Op::AddR, {6, 5, 3}), I(Op::AddR, {6, 6, 0}),    I(Op::ReturnR, {6})};
}
// f(n) = n + n when n + n < 4, else (n + n) * 0: two Floats take the
// Floats' way out of the AddR, a String the handler's.
std::vector<Instruction> floats_leave_the_copy() {
    return {I(Op::LoadConstR, {1, 4}), I(Op::LoadConstR, {4, 7}), I(Op::AddR, {2, 0, 0}),
            I(Op::LtR, {3, 2, 4}),     I(Op::JumpIfR, {3, 2}),    I(Op::LoadConstR, {4, 6}),
            I(Op::MulR, {2, 2, 4}),    I(Op::MoveR, {5, 2}),      I(Op::ReturnR, {5})};
}

// f(n) = n < 1 ? 2.5 : f(n - 1) + n: a call in the copy gets a Float back.
std::vector<Instruction> a_float_comes_back() {
    return {I(Op::LtR, {2, 0, 65}),  I(Op::JumpIfNotR, {2, 2}),     I(Op::LoadConstR, {6, 2}), I(Op::ReturnR, {6}),
            I(Op::SubR, {2, 0, 65}), Instruction::call(64, {2}, 5), I(Op::AddR, {6, 5, 0}),    I(Op::ReturnR, {6})};
}

// f(n, m) = n < 1 ? m : f(n - 1, m) + m + m: a call going on past the
// jump its path left at knows n is an Int, not m.
std::vector<Instruction> two_arguments() {
    return {I(Op::LtR, {3, 0, 65}), I(Op::JumpIfNotR, {3, 1}),        I(Op::ReturnR, {1}),    I(Op::SubR, {4, 0, 65}),
            I(Op::AddR, {5, 1, 1}), Instruction::call(64, {4, 1}, 6), I(Op::AddR, {6, 6, 5}), I(Op::ReturnR, {6})};
}

// f(n) = n < 1 ? n : f(n - 1) + (r3 + n), r3 being the caller's: the
// recursive call knows its r3 is an Int, main's call does not.
std::vector<Instruction> reads_the_callers_register() {
    return {I(Op::LtR, {2, 0, 65}),  I(Op::JumpIfNotR, {2, 1}),     I(Op::ReturnR, {0}),    I(Op::AddR, {5, 3, 0}),
            I(Op::SubR, {3, 0, 65}), Instruction::call(64, {3}, 6), I(Op::AddR, {6, 6, 5}), I(Op::ReturnR, {6})};
}

// f(n) = n < 1 ? n : f(n - 1) + r67, r67 loaded only once n < 3: the
// copies rely on it being an Int, which the first calls find it is not.
std::vector<Instruction> loads_a_stable_register_late() {
    return {I(Op::LtR, {2, 0, 65}),     I(Op::JumpIfNotR, {2, 1}), I(Op::ReturnR, {0}),
            I(Op::LoadConstR, {4, 4}),  I(Op::LtR, {2, 0, 4}),     I(Op::JumpIfNotR, {2, 1}),
            I(Op::LoadConstR, {67, 7}), I(Op::SubR, {3, 0, 65}),   Instruction::call(64, {3}, 6),
            I(Op::AddR, {6, 6, 67}),    I(Op::ReturnR, {6})};
}

TEST(KnownIntsRuns, SameAsTheInterpreter) {
    struct Case {
        const char* name;
        std::vector<Instruction> f;
        std::vector<int64_t> args;  // constants
        std::vector<int64_t> seconds = {};
    };
    const std::vector<Case> cases = {
        {"Squares", squares(), {4, 7, 1, 6}},
        {"SquaresOfAFloat", squares(), {4, 2, 7, 1}},
        {"SquaresOverflow", squares(), {4, 5, 4, 1}},  // (2^62 - 1)^2: the copy's MulR reports it
        {"SquaresOfAString", squares(), {1, 3, 4, 4}},
        {"FloatsLeaveTheCopy", floats_leave_the_copy(), {1, 2, 6, 3}},
        {"AFloatComesBack", a_float_comes_back(), {4, 1, 7, 6}},
        {"SecondArgumentsFloats", two_arguments(), {4, 7, 1, 4}, {8, 8, 1, 2}},
        {"ReadsTheCallersRegister", reads_the_callers_register(), {4, 7, 4, 1}},
        {"LoadsAStableRegisterLate", loads_a_stable_register_late(), {7, 4, 7, 1}},
    };
    for (const Case& c : cases) {
        const Module module = calls_of(c.f, c.args, c.seconds);
        const Snapshot interpreter = play(module, "0", {});
        for (uint64_t hot : {1, 8, 30, 90}) {
            const Snapshot tiered = play(module, "default", {}, 2, nullptr, hot);
            EXPECT_TRUE(tiered == interpreter) << c.name << " hot " << hot << ":" << difference(tiered, interpreter);
        }
        EXPECT_TRUE(play(module, "always", {}) == interpreter) << c.name << " always";
        const LimitCase limited{c.name, module, {}, std::nullopt};
        for (uint64_t budget = 1; budget <= 120; ++budget) {
            ASSERT_TRUE(play_limited(limited, "default", budget, 8) == play_limited(limited, "0", budget))
                << c.name << " budget " << budget;
        }
    }
}

// A call whose site the interpreter ran (so its callee is known) goes on
// past its path's jump in the ordinary code while a stable register the
// callee's copy relies on is still empty: the callee's AddR fails there,
// as in the interpreter.
TEST(KnownIntsRuns, OrdinaryCodeEntersNoCopyBeforeTheStableRegistersHold) {
    // main: for k in 0, 1, 2: f(3 * k); then r67 = 4. f(n) = n < 1 ? n : n + r67.
    const std::vector<Instruction> code = {
        I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {65, 1}), I(Op::LoadConstR, {10, 6}), I(Op::LoadConstR, {12, 4}),
        I(Op::MulR, {1, 10, 12}), Instruction::call(64, {1}, 20), I(Op::AddR, {10, 10, 65}), I(Op::LtR, {11, 10, 12}),
        I(Op::JumpIfR, {11, -5}), I(Op::LoadConstR, {67, 7}), I(Op::ReturnR, {20}),
        // f at 11
        I(Op::LtR, {2, 0, 65}), I(Op::JumpIfNotR, {2, 1}), I(Op::ReturnR, {0}), I(Op::AddR, {5, 0, 67}),
        I(Op::ReturnR, {5})};
    const Module module = make_module(code, constants(), {{"main", 0}, {"f", 11}});
    const Snapshot interpreter = play(module, "0", {});
    for (uint64_t hot = 8; hot <= 20; ++hot) {
        const Snapshot tiered = play(module, "default", {}, 2, nullptr, hot);
        EXPECT_TRUE(tiered == interpreter) << "hot " << hot << ":" << difference(tiered, interpreter);
    }
}

}  // namespace
}  // namespace tarnel::testing
