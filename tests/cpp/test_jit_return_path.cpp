// The return paths a call runs in place of its callee's frame: which paths
// the plan picks, and that runs taking them leave what the interpreter
// leaves, wherever a budget stops them.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "jit_snapshot.hpp"
#include "vm/jit_return_path.hpp"

namespace tarnel::testing {
namespace {

// Constants of both tables.
const std::vector<Constant>& constants() {
    static const std::vector<Constant> k = {Constant::of_string("f"), Constant::of_int(5),
                                            Constant::of_int(1),      Constant::of_int(4),
                                            Constant::of_int(0),      Constant::of_int(9),
                                            Constant::of_float(7.5),  Constant::of_int(3),
                                            Constant::of_string("s"), Constant::of_int(-(int64_t{1} << 62)),
                                            Constant::of_bool(true),  Constant::of_string("held"),
                                            Constant::of_float(-7.5), Constant::of_float(5e-324)};
    return k;
}

// f(n) = n < 5 ? n : f(n - 1), as fib's base case and recursion.
std::vector<Instruction> returns_its_argument() {
    return {I(Op::LtR, {2, 0, 65}),  I(Op::JumpIfNotR, {2, 1}),     I(Op::ReturnR, {0}),
            I(Op::SubR, {3, 0, 66}), Instruction::call(64, {3}, 4), I(Op::ReturnR, {4})};
}
// f(n) = n < 5 ? n * n : f(n - 1), the base case through two jumps.
std::vector<Instruction> takes_jumps_and_computes() {
    return {I(Op::LtR, {2, 0, 65}), I(Op::JumpIfR, {2, 3}), I(Op::SubR, {3, 0, 66}), Instruction::call(64, {3}, 4),
            I(Op::ReturnR, {4}),    I(Op::MulR, {5, 0, 0}), I(Op::JumpR, {1}),       I(Op::ReturnR, {0}),
            I(Op::ReturnR, {5})};
}
// f(n) = n < 5 ? n == 1 : f(n - 1): a Bool the path keeps.
std::vector<Instruction> returns_a_bool_it_computed() {
    return {I(Op::LtR, {2, 0, 65}), I(Op::JumpIfR, {2, 3}), I(Op::SubR, {3, 0, 66}), Instruction::call(64, {3}, 4),
            I(Op::ReturnR, {4}),    I(Op::EqR, {5, 0, 66}), I(Op::ReturnR, {5})};
}
// f(n, m) = n < 5 ? m : f(n - 1, n - 1): the second argument is taken
// from the callee's window, where the first is already.
std::vector<Instruction> second_argument_reads_the_first() {
    return {I(Op::LtR, {2, 0, 65}),  I(Op::JumpIfNotR, {2, 1}),        I(Op::ReturnR, {1}),
            I(Op::SubR, {3, 0, 66}), Instruction::call(64, {3, 0}, 4), I(Op::ReturnR, {4})};
}
// f(n) = n >= 5 ? f(n - 1) : true, through a copy of n and a constant.
std::vector<Instruction> constants_and_moves() {
    return {I(Op::MoveR, {5, 0}), I(Op::LoadConstR, {6, 10}), I(Op::GteR, {2, 5, 65}),       I(Op::JumpIfR, {2, 1}),
            I(Op::ReturnR, {6}),  I(Op::SubR, {3, 5, 66}),    Instruction::call(64, {3}, 4), I(Op::ReturnR, {4})};
}

// f(n) = n < 5 ? (n == 1 ? n < 5 : n) : f(n - 1): the path leaves at its
// second jump into code that reads what the first comparison wrote.
std::vector<Instruction> two_comparisons() {
    return {I(Op::LtR, {2, 0, 65}),  I(Op::JumpIfNotR, {2, 4}),     I(Op::EqR, {3, 0, 66}),
            I(Op::JumpIfR, {3, 1}),  I(Op::ReturnR, {0}),           I(Op::ReturnR, {2}),
            I(Op::SubR, {3, 0, 66}), Instruction::call(64, {3}, 4), I(Op::ReturnR, {4})};
}

TEST(ReturnPathPlan, PicksThePathAndWhatItReads) {
    const std::vector<Constant>& k = constants();
    struct Row {
        const char* name;
        std::vector<Instruction> code;
        std::vector<jit::ReturnPathStep> steps;  // empty: no path
        jit::WindowMask read = 0;
    };
    const std::vector<Row> rows = {
        {"fib's base case", returns_its_argument(), {{0, false}, {1, false}, {2, false}}, 0x01},
        {"two jumps taken",
         takes_jumps_and_computes(),
         {{0, false}, {1, true}, {5, false}, {6, true}, {8, false}},
         0x01},
        {"a copy and a constant",
         constants_and_moves(),
         {{0, false}, {1, false}, {2, false}, {3, false}, {4, false}},
         0x01},
        {"the fall-through leaves the kinds, the target returns",
         {I(Op::EqR, {2, 0, 1}), I(Op::JumpIfNotR, {2, 1}), I(Op::StrLenR, {3, 0}), I(Op::ReturnR, {1})},
         {{0, false}, {1, true}, {3, false}},
         0x03},
        {"what a copy reads is its source",
         {I(Op::MoveR, {5, 1}), I(Op::ReturnR, {5})},
         {{0, false}, {1, false}},
         0x02},
        {"a register of the file is no window register",
         {I(Op::AddR, {1, 70, 71}), I(Op::ReturnR, {1})},
         {{0, false}, {1, false}},
         0x00},
        {"a call first", {Instruction::call(64, {0}, 1), I(Op::ReturnR, {1})}, {}},
        {"writes outside the window", {I(Op::LoadConstR, {64, 1}), I(Op::ReturnR, {0})}, {}},
        {"a condition that came in", {I(Op::JumpIfR, {0, 0}), I(Op::ReturnR, {0})}, {}},
        {"arithmetic on a Bool", {I(Op::LoadConstR, {1, 10}), I(Op::AddR, {2, 1, 0}), I(Op::ReturnR, {2})}, {}},
        {"a String constant", {I(Op::LoadConstR, {1, 8}), I(Op::ReturnR, {1})}, {}},
        {"a return without a result", {I(Op::LtR, {2, 0, 1}), I(Op::ReturnR, {-1})}, {}},
        {"a loop", {I(Op::AddR, {0, 0, 0}), I(Op::JumpR, {-2})}, {}},
        {"a jump out of the list", {I(Op::JumpR, {100})}, {}},
        {"nine instructions",
         {I(Op::AddR, {1, 0, 0}), I(Op::AddR, {1, 1, 0}), I(Op::AddR, {1, 1, 0}), I(Op::AddR, {1, 1, 0}),
          I(Op::AddR, {1, 1, 0}), I(Op::AddR, {1, 1, 0}), I(Op::AddR, {1, 1, 0}), I(Op::AddR, {1, 1, 0}),
          I(Op::ReturnR, {1})},
         {}},
        {"seven registers written",
         {I(Op::AddR, {1, 0, 0}), I(Op::AddR, {2, 0, 0}), I(Op::AddR, {3, 0, 0}), I(Op::AddR, {4, 0, 0}),
          I(Op::AddR, {5, 0, 0}), I(Op::AddR, {6, 0, 0}), I(Op::AddR, {7, 0, 0}), I(Op::ReturnR, {7})},
         {}},
    };
    for (const Row& row : rows) {
        const jit::ReturnPath path = jit::plan_return_path(row.code, k, 0);
        ASSERT_EQ(path.steps.size(), row.steps.size()) << row.name;
        for (size_t s = 0; s < row.steps.size(); ++s) {
            EXPECT_EQ(path.steps[s].pc, row.steps[s].pc) << row.name << " step " << s;
            EXPECT_EQ(path.steps[s].jumps, row.steps[s].jumps) << row.name << " step " << s;
        }
        if (!row.steps.empty()) {
            EXPECT_EQ(path.read_on_entry, row.read) << row.name;
        }
    }
}

// What a call that leaves its path after step `last` knows the callee's
// window holds as Ints: operands it read on entry, not written since.
TEST(ReturnPathPlan, IntsTheCalleeHoldsWhereThePathLeaves) {
    struct Row {
        const char* name;
        std::vector<Instruction> code;
        size_t last;
        jit::WindowMask ints;
    };
    const std::vector<Row> rows = {
        {"fib's base case", returns_its_argument(), 0, 0x01},
        {"a comparison into its operand",
         {I(Op::LtR, {0, 0, 1}), I(Op::JumpIfR, {0, 1}), I(Op::ReturnR, {1}), I(Op::ReturnR, {0})},
         0,
         0x02},
        {"a computed operand is not the callee's",
         {I(Op::AddR, {3, 0, 1}), I(Op::LtR, {2, 3, 0}), I(Op::JumpIfR, {2, 1}), I(Op::ReturnR, {3}),
          I(Op::ReturnR, {0})},
         1,
         0x03},
        {"nor a copy",
         {I(Op::MoveR, {1, 0}), I(Op::LtR, {2, 1, 65}), I(Op::JumpIfR, {2, 1}), I(Op::ReturnR, {1}),
          I(Op::ReturnR, {0})},
         1,
         0x00},
    };
    for (const Row& row : rows) {
        const jit::ReturnPath path = jit::plan_return_path(row.code, constants(), 0);
        ASSERT_GT(path.steps.size(), row.last) << row.name;
        EXPECT_EQ(jit::ints_read_on_entry(row.code, path, row.last), row.ints) << row.name;
    }
}

// main calls f four times from one site, with the arguments the constants
// `args` name, each result replacing the last (first a String) and kept in
// r31..r33; `arg` is the register main passes, of its window or not.
// `over_a_string`: each result replaces a String, which the path leaves
// to the call (that releases it).
struct PathCase {
    const char* name;
    std::vector<Instruction> f;
    std::vector<int64_t> args;
    int64_t arg = 3;
    bool over_a_string = false;
};

Module path_module(const PathCase& c) {
    std::vector<Instruction> code = {
        I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {65, 1}), I(Op::LoadConstR, {66, 2}), I(Op::LoadConstR, {67, 4}),
        I(Op::LoadConstR, {10, 3}), I(Op::LoadConstR, {40, 11}), I(Op::LoadConstR, {20, c.args[0]}),
        I(Op::LoadConstR, {21, c.args[1]}), I(Op::LoadConstR, {22, c.args[2]}), I(Op::LoadConstR, {23, c.args[3]}),
        // the loop, at 10
        I(Op::MoveR, {3, 20}), c.over_a_string ? I(Op::LoadConstR, {40, 11}) : I(Op::Nop, {}),
        Instruction::call(64, {static_cast<uint8_t>(c.arg)}, 40), I(Op::MoveR, {33, 32}), I(Op::MoveR, {32, 31}),
        I(Op::MoveR, {31, 40}), I(Op::MoveR, {20, 21}), I(Op::MoveR, {21, 22}), I(Op::MoveR, {22, 23}),
        I(Op::SubR, {10, 10, 66}), I(Op::LtR, {11, 67, 10}), I(Op::JumpIfR, {11, -12}), I(Op::ReturnR, {40})};
    const uint64_t f = code.size();
    code.insert(code.end(), c.f.begin(), c.f.end());
    return make_module(code, constants(), {{"main", 0}, {"f", f}});
}

const std::vector<PathCase>& path_cases() {
    static const std::vector<PathCase> cases = {
        // 9, 3, then Floats and a String, which leave the path at their
        // tag: -7.5's bits, read as an Int, are less than 5 too.
        {"ReturnsItsArgument", returns_its_argument(), {5, 12, 6, 8}},
        {"ReturnsItsArgumentAfterInts", returns_its_argument(), {7, 5, 12, 7}},
        // An argument from the register file; the last call's path sets the
        // last jump the run leaves. The smallest Float's bits are 1.
        {"TakesJumpsAndComputes", takes_jumps_and_computes(), {5, 7, 13, 5}, 20},
        {"OverflowOnThePath", takes_jumps_and_computes(), {7, 9, 5, 5}, 20},
        {"ReturnsABoolItComputed", returns_a_bool_it_computed(), {5, 7, 2, 6}},
        {"SecondArgumentReadsTheFirst", second_argument_reads_the_first(), {5, 5, 7, 6}},
        {"ConstantsAndMoves", constants_and_moves(), {5, 7, 6, 5}},
        {"ResultOverAString", returns_its_argument(), {7, 7, 7, 7}, 3, true},
        {"TwoComparisons", two_comparisons(), {5, 2, 7, 2}},
    };
    return cases;
}

// Tiered up before the site knows its callee, and at points after: the
// first run's outcome, the second's, and everything left behind.
TEST(ReturnPathRuns, SameAsTheInterpreter) {
    for (const PathCase& c : path_cases()) {
        const Module module = path_module(c);
        const Snapshot interpreter = play(module, "0", {});
        for (uint64_t hot : {1, 15, 40, 120}) {
            const Snapshot tiered = play(module, "default", {}, 2, nullptr, hot);
            EXPECT_TRUE(tiered == interpreter) << c.name << " hot " << hot << ":" << difference(tiered, interpreter);
        }
    }
}

// A budget that ends at every instruction of the first 200, inside a path
// or right after one, stops where the interpreter stops.
TEST(ReturnPathRuns, BudgetStopsAsInTheInterpreter) {
    for (const PathCase& c : path_cases()) {
        const LimitCase limited{c.name, path_module(c), {}, std::nullopt};
        for (uint64_t budget = 1; budget <= 200; ++budget) {
            const Snapshot interpreter = play_limited(limited, "0", budget);
            const Snapshot tiered = play_limited(limited, "default", budget, 15);
            ASSERT_TRUE(tiered == interpreter)
                << c.name << " budget " << budget << ":" << difference(tiered, interpreter);
        }
    }
}

}  // namespace
}  // namespace tarnel::testing
