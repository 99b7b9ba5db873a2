// The machine-code tier against the interpreter: the same result, error,
// instruction count, pc, last jump, halting, frames, registers and tags, for
// every kind the tier compiles, every guard that sends an instruction back
// to the interpreter, and random programs. Also what the tier promises about
// its code: entries only where it does work, size linear in the list,
// never writable and executable at once, freed with the module.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "jit_snapshot.hpp"
#include "value_builders.hpp"
#include "vm/jit_frame_layout.hpp"
#include "vm/jit_run.hpp"
#include "vm_fixture.hpp"

namespace tarnel::testing {
namespace {

using namespace program_values;

// ---- kinds, guards and ways out ------------------------------------------------

struct JitCase {
    std::string name;
    std::vector<Instruction> code;
    std::vector<Constant> constants;
    Preset preset;
    std::string outcome;  // of the first run, in both tiers
};

// A loop adding r3 to r0 while r0 < r1 (fused compare and jump), then a
// return of r0: the shape of the hot loops.
std::vector<Instruction> add_loop(Opcode op) {
    return {I(Op::JumpR, {1}), I(op, {0, 0, 3}), I(Op::LtR, {4, 0, 1}), I(Op::JumpIfR, {4, -3}), I(Op::ReturnR, {0})};
}

std::vector<JitCase> jit_cases() {
    const std::vector<Constant> k = {Constant::of_int(7),      Constant::of_float(2.5), Constant::of_bool(true),
                                     Constant::of_string("s"), Constant::empty(),       Constant::of_int(kMax)};
    return {
        {"IntLoop", add_loop(Op::AddR), {}, {{0, VI(0)}, {1, VI(1000)}, {3, VI(3)}}, "Int 1002"},
        {"FloatLoop",
         add_loop(Op::AddR),
         {},
         {{0, F(0.0)}, {1, F(10.0)}, {3, F(0.25)}},
         "Float 10 (bits 4024000000000000)"},
        {"SubLoopDown", add_loop(Op::SubR), {}, {{0, VI(0)}, {1, VI(5)}, {3, VI(-2)}}, "Int 6"},
        {"MulOverflowMidLoop",
         add_loop(Op::MulR),
         {},
         {{0, VI(3)}, {1, VI(kMax)}, {3, VI(7)}},
         "error: Integer overflow"},
        {"AddOverflow",
         {I(Op::AddR, {0, 0, 1}), I(Op::ReturnR, {0})},
         {},
         {{0, VI(kMax)}, {1, VI(1)}},
         "error: Integer overflow"},
        {"SubOverflow",
         {I(Op::SubR, {0, 0, 1}), I(Op::ReturnR, {0})},
         {},
         {{0, VI(kMin)}, {1, VI(1)}},
         "error: Integer overflow"},
        {"MixedIntFloatGoesToInterpreter",
         add_loop(Op::AddR),
         {},
         {{0, VI(0)}, {1, F(4.5)}, {3, F(1.0)}},
         "Float 5 (bits 4014000000000000)"},
        {"StringsJoinInInterpreter", {I(Op::AddR, {5, 1, 1}), I(Op::ReturnR, {5})}, {}, {{1, S("ab")}}, "String abab"},
        {"ResultOverAString", {I(Op::AddR, {5, 0, 0}), I(Op::ReturnR, {5})}, {}, {{0, VI(2)}, {5, S("old")}}, "Int 4"},
        {"Division",
         {I(Op::DivR, {4, 0, 1}), I(Op::DivR, {5, 0, 2}), I(Op::DivR, {6, 3, 3}), I(Op::DivR, {7, 3, 8}),
          I(Op::DivR, {9, 8, 3}), I(Op::DivR, {10, 3, 9}), I(Op::Halt)},
         {},
         {{0, VI(kMin)}, {1, VI(7)}, {2, VI(-2)}, {3, F(-3.0)}, {8, F(kNaN)}},
         "none"},
        {"DivisionByIntZero",
         {I(Op::DivR, {4, 0, 1}), I(Op::Halt)},
         {},
         {{0, VI(5)}, {1, VI(0)}},
         "error: Division by zero"},
        {"DivisionByFloatZero", {I(Op::DivR, {4, 0, 1}), I(Op::Halt)}, {}, {{0, F(5.0)}, {1, F(-0.0)}}, ""},
        {"Negation",
         {I(Op::NegR, {4, 0}), I(Op::NegR, {5, 1}), I(Op::NegR, {6, 2}), I(Op::NegR, {7, 3}), I(Op::NegR, {8, 9}),
          I(Op::Halt)},
         {},
         {{0, VI(kMax)}, {1, F(-0.0)}, {2, F(kNaN)}, {3, VI(0)}, {9, B(true)}},
         ""},
        // Of two NaNs every operation keeps the left one's.
        {"TwoNaNsOfOppositeSigns",
         {I(Op::NegR, {2, 1}), I(Op::AddR, {3, 2, 1}), I(Op::AddR, {4, 1, 2}), I(Op::MulR, {5, 2, 1}),
          I(Op::MulR, {6, 1, 2}), I(Op::SubR, {7, 2, 1}), I(Op::DivR, {8, 2, 1}), I(Op::Halt)},
         {},
         {{1, F(kNaN)}},
         "none"},
        {"NegationOverflow", {I(Op::NegR, {4, 0}), I(Op::Halt)}, {}, {{0, VI(kMin)}}, ""},
        {"NaNComparisons",
         {I(Op::LtR, {4, 0, 1}), I(Op::GteR, {5, 0, 1}), I(Op::LteR, {6, 1, 1}), I(Op::GtR, {7, 1, 0}), I(Op::Halt)},
         {},
         {{0, F(1.0)}, {1, F(kNaN)}},
         "none"},
        {"EqualityOfFloatsAndStrings",
         {I(Op::EqR, {4, 0, 0}), I(Op::NeqR, {5, 2, 2}), I(Op::EqR, {6, 3, 3}), I(Op::NeqR, {7, 0, 3}), I(Op::Halt)},
         {},
         {{0, F(kNaN)}, {2, S("x")}, {3, VI(-4)}},
         "none"},
        {"OrderingOfStringsFails",
         {I(Op::LtR, {4, 0, 1}), I(Op::JumpIfR, {4, 0}), I(Op::Halt)},
         {},
         {{0, S("a")}, {1, VI(1)}},
         ""},
        {"Constants",
         {I(Op::LoadConstR, {1, 0}), I(Op::LoadConstR, {2, 1}), I(Op::LoadConstR, {3, 2}), I(Op::LoadConstR, {4, 3}),
          I(Op::LoadConstR, {5, 4}), I(Op::LoadConstR, {6, 5}), I(Op::LoadConstR, {7, 0}), I(Op::ReturnR, {6})},
         k,
         {{7, S("released")}},
         "Int 9223372036854775807"},
        {"ConstantIndexOutOfRange",
         {I(Op::LoadConstR, {1, 0}), I(Op::LoadConstR, {2, 40})},
         k,
         {},
         "error: Invalid constant index: 40"},
        {"MovesAndDeclaredTags",
         {I(Op::DefineR, {1, 4}), I(Op::MoveR, {2, 1}), I(Op::MoveR, {1, 3}), I(Op::MoveR, {6, 5}),
          I(Op::MoveR, {0, 6}), I(Op::ReturnR, {2})},
         {},
         {{1, VI(5)}, {3, B(true)}, {5, S("heap")}, {6, VI(1)}},
         "Int 5"},
        // r4 holds a Bool but is declared an Int: the comparison's write
        // must store the declared tag even though the value's tag stays.
        {"ComparisonIntoADeclaredRegister",
         {I(Op::DefineR, {4, 2}), I(Op::LtR, {4, 0, 1}), I(Op::ReturnR, {0})},
         {},
         {{0, VI(1)}, {1, VI(2)}, {4, B(false)}},
         "Int 1"},
        // A jump to the conditional jump a comparison takes along: its own
        // code, out of line, must go on at the instruction after it.
        // The out-of-line copy of a comparison, for a destination that held
        // no Bool, with the Float case: the declared tag becomes Bool.
        {"FloatComparisonIntoAnIntRegister",
         {I(Op::LtR, {4, 0, 1}), I(Op::JumpIfR, {4, 1}), I(Op::ReturnR, {0}), I(Op::ReturnR, {4})},
         {},
         {{0, F(1.5)}, {1, F(2.5)}, {4, VI(5)}},
         "Bool true"},
        {"JumpToTheJumpAfterAComparison",
         {I(Op::JumpR, {1}), I(Op::LtR, {4, 0, 1}), I(Op::JumpIfNotR, {4, 1}), I(Op::ReturnR, {0}),
          I(Op::ReturnR, {1})},
         {},
         {{0, VI(1)}, {1, VI(2)}, {4, B(false)}},
         "Int 2"},
        {"JumpToTheJumpAfterAComparisonNotTaken",
         {I(Op::JumpR, {1}), I(Op::LtR, {4, 0, 1}), I(Op::JumpIfNotR, {4, 1}), I(Op::ReturnR, {0}),
          I(Op::ReturnR, {1})},
         {},
         {{0, VI(1)}, {1, VI(2)}, {4, B(true)}},
         "Int 1"},
        {"ConditionNotABool",
         {I(Op::JumpIfR, {0, 1}), I(Op::Halt), I(Op::JumpIfNotR, {1, 0}), I(Op::ReturnR, {0})},
         {},
         {{0, VI(2)}, {1, S("")}},
         ""},
        {"JumpPastTheEnd", {I(Op::Nop), I(Op::JumpR, {5}), I(Op::Halt)}, {}, {}, "none"},
        {"JumpToExactlyTheEnd", {I(Op::Nop), I(Op::JumpR, {1}), I(Op::Halt)}, {}, {}, "none"},
        {"JumpBeforeTheStart", {I(Op::Nop), I(Op::JumpR, {-9})}, {}, {}, "none"},
        {"ConditionalJumpOut",
         {I(Op::LtR, {4, 0, 1}), I(Op::JumpIfR, {4, 70}), I(Op::Halt)},
         {},
         {{0, VI(1)}, {1, VI(2)}},
         "none"},
        {"RunsOffTheEnd", {I(Op::AddR, {0, 0, 0}), I(Op::Nop)}, {}, {{0, VI(2)}}, "none"},
        {"LastJumpSeenByPhi",
         {I(Op::JumpR, {1}), I(Op::Halt), Instruction::phi(8, {{0, 0}}), I(Op::LtR, {4, 0, 1}),
          I(Op::JumpIfNotR, {4, 1}), I(Op::Nop), Instruction::phi(9, {{0, 0}, {1, 4}}), I(Op::ReturnR, {9})},
         {},
         {{0, VI(5)}, {1, VI(2)}},
         "Int 2"},
        // Kinds the machine code runs through their handlers.
        {"ArrayLoop",
         {I(Op::NewArrayR, {5, 1}), I(Op::ArraySetR, {5, 0, 0}), I(Op::ArrayGetR, {6, 5, 0}), I(Op::AddR, {7, 7, 6}),
          I(Op::AddR, {0, 0, 3}), I(Op::LtR, {4, 0, 1}), I(Op::JumpIfR, {4, -6}), I(Op::ReturnR, {7})},
         {},
         {{0, VI(0)}, {1, VI(40)}, {3, VI(1)}, {7, VI(0)}},
         "Int 780"},
        // Array reads and writes the machine code does itself, and those
        // its guards send to the handler.
        {"SharedArrayIsCopiedOnWrite",
         {I(Op::NewArrayR, {5, 1}), I(Op::MoveR, {6, 5}), I(Op::ArraySetR, {5, 0, 2}), I(Op::ArrayGetR, {7, 6, 0}),
          I(Op::ArrayGetR, {8, 5, 0}), I(Op::ReturnR, {7})},
         {},
         {{0, VI(1)}, {1, VI(3)}, {2, F(2.5)}},
         "Empty empty"},
        {"HeapElementsAndHeapDestinations",
         {I(Op::NewArrayR, {5, 1}), I(Op::ArraySetR, {5, 0, 8}), I(Op::ArrayGetR, {9, 5, 0}),
          I(Op::ArraySetR, {5, 0, 2}), I(Op::ArrayGetR, {9, 5, 0}), I(Op::ArrayGetR, {5, 5, 0}), I(Op::ReturnR, {5})},
         {},
         {{0, VI(2)}, {1, VI(3)}, {2, B(true)}, {8, S("text")}},
         "Bool true"},
        {"NegativeIndex",
         {I(Op::NewArrayR, {5, 1}), I(Op::ArrayGetR, {6, 5, 3}), I(Op::Halt)},
         {},
         {{1, VI(3)}, {3, VI(-1)}},
         ""},
        {"IndexPastTheEndOnSet",
         {I(Op::NewArrayR, {5, 1}), I(Op::ArraySetR, {5, 1, 1}), I(Op::Halt)},
         {},
         {{1, VI(3)}},
         ""},
        {"FloatIndexAndNotAnArray",
         {I(Op::NewArrayR, {5, 1}), I(Op::ArrayGetR, {6, 5, 2}), I(Op::ArraySetR, {1, 0, 0}), I(Op::Halt)},
         {},
         {{0, VI(0)}, {1, VI(3)}, {2, F(1.0)}},
         ""},
        {"SetMakesTheDeclaredTagArray",
         {I(Op::NewArrayR, {5, 1}), I(Op::DefineR, {5, 2}), I(Op::ArraySetR, {5, 0, 0}), I(Op::ReturnR, {0})},
         {},
         {{0, VI(0)}, {1, VI(2)}},
         "Int 0"},
        {"IndexOutOfRangeInAHandlerMidLoop",
         {I(Op::NewArrayR, {5, 2}), I(Op::ArraySetR, {5, 0, 0}), I(Op::AddR, {0, 0, 3}), I(Op::LtR, {4, 0, 1}),
          I(Op::JumpIfR, {4, -4}), I(Op::ReturnR, {5})},
         {},
         {{0, VI(0)}, {1, VI(40)}, {2, VI(25)}, {3, VI(1)}},
         ""},
        {"LastJumpReachesAHandler",
         {I(Op::JumpR, {1}), I(Op::Halt), I(Op::StrLenR, {5, 6}), Instruction::phi(8, {{0, 0}, {6, 9}}),
          I(Op::ReturnR, {8})},
         {},
         {{0, VI(11)}, {6, S("abc")}},
         "Int 11"},
        {"HandlerJumpsOutOfTheList",
         {I(Op::LtR, {4, 0, 1}), I(Op::JumpIfR, {4, 0}), I(Op::JumpIfR, {5, 9}), I(Op::Halt)},
         {},
         {{0, VI(1)}, {1, VI(2)}, {5, S("x")}},
         "none"},
        {"HaltAfterHandlers",
         {I(Op::DictNewR, {5}), I(Op::DictSetR, {5, 0, 1}), I(Op::DictGetR, {6, 5, 0}), I(Op::Halt),
          I(Op::ReturnR, {6})},
         {},
         {{0, S("k")}, {1, VI(3)}},
         "none"},
        {"CallOfAnUnknownFunction",
         {I(Op::LoadConstR, {10, 3}), Instruction::call(10, {0}, 1), I(Op::ReturnR, {1})},
         k,
         {{0, VI(1)}},
         ""},
        {"JumpIntoTheMiddleOfAFusedPair",
         {I(Op::MoveR, {4, 2}), I(Op::JumpR, {1}), I(Op::LtR, {4, 0, 1}), I(Op::JumpIfR, {4, 1}), I(Op::Halt),
          I(Op::ReturnR, {4})},
         {},
         {{0, VI(9)}, {1, VI(2)}, {2, B(true)}},
         ""},
    };
}

void PrintTo(const JitCase& c, std::ostream* os) { *os << c.name; }

class JitKinds : public ::testing::TestWithParam<JitCase> {};

TEST_P(JitKinds, SameAsTheInterpreter) {
    const JitCase& c = GetParam();
    Module module = make_module(c.code, c.constants);
    expect_same_as_interpreter(module, c.preset, c.name);
    if (!c.outcome.empty()) {
        EXPECT_EQ(play(module, "always", c.preset).outcomes[0], c.outcome) << c.name;
    }
}

// The default tiering compiling after 1, 2, ... interpreted instructions:
// the run goes on in machine code from wherever the interpreter stopped,
// at a taken jump, a call or a return, in the middle of a loop or of a
// called function.
TEST_P(JitKinds, SameWhenTieringUpAnywhere) {
    const JitCase& c = GetParam();
    Module module = make_module(c.code, c.constants);
    const Snapshot interpreter = play(module, "0", c.preset);
    for (uint64_t hot : {1, 2, 3, 4, 5, 7, 11, 30}) {
        Snapshot tiered = play(module, "default", c.preset, 2, nullptr, hot);
        EXPECT_TRUE(tiered == interpreter) << c.name << " hot " << hot << ":" << difference(tiered, interpreter);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, JitKinds, ::testing::ValuesIn(jit_cases()),
                         [](const auto& info) { return info.param.name; });

// Recursive calls: every CallR and ReturnR is a side exit, frames included.
TEST(JitCalls, RecursionAndFramesLeftByAFailure) {
    const std::vector<Constant> k = {Constant::of_string("fib"), Constant::of_int(2), Constant::of_int(1)};
    // fib(r0): if r0 < 2 return r0; return fib(r0 - 1) + fib(r0 - 2)
    std::vector<Instruction> code = {
        I(Op::LoadConstR, {0, 1}), I(Op::LoadConstR, {10, 0}), Instruction::call(10, {0}, 1), I(Op::ReturnR, {1}),
        // fib at 4
        I(Op::LoadConstR, {1, 1}), I(Op::LtR, {2, 0, 1}), I(Op::JumpIfNotR, {2, 1}), I(Op::ReturnR, {0}),
        I(Op::LoadConstR, {3, 2}), I(Op::SubR, {4, 0, 3}), I(Op::LoadConstR, {10, 0}), Instruction::call(10, {4}, 5),
        I(Op::SubR, {4, 0, 1}), Instruction::call(10, {4}, 6), I(Op::AddR, {7, 5, 6}), I(Op::ReturnR, {7})};
    for (int64_t n : {0, 1, 2, 10, 15}) {
        code[0] = I(Op::LoadConstR, {0, 3});
        std::vector<Constant> with_n = k;
        with_n.push_back(Constant::of_int(n));
        expect_same_as_interpreter(make_module(code, with_n, {{"main", 0}, {"fib", 4}}), {},
                                   "fib " + std::to_string(n));
    }
    // A string argument fails deep inside, leaving frames for the second run.
    std::vector<Constant> with_text = k;
    with_text.push_back(Constant::of_string("x"));
    Module failing = make_module(code, with_text, {{"main", 0}, {"fib", 4}});
    expect_same_as_interpreter(failing, {}, "fib of a string");
    // Tiering up inside the recursion, with frames on the stack.
    std::vector<Constant> with_ten = k;
    with_ten.push_back(Constant::of_int(10));
    Module fib = make_module(code, with_ten, {{"main", 0}, {"fib", 4}});
    for (uint64_t hot : {3, 10, 40, 200}) {
        for (const Module* module : {&fib, &failing}) {
            Snapshot tiered = play(*module, "default", {}, 2, nullptr, hot);
            Snapshot interpreter = play(*module, "0", {});
            EXPECT_TRUE(tiered == interpreter) << "hot " << hot << ":" << difference(tiered, interpreter);
        }
    }
}

// Calls and returns: the quick call and return the machine code tries
// first, and every case it leaves to the handlers. Constants: 0 "f", 1 "g",
// 2 Int 1, 3 Int 0, 4 "text", 5 Int 600, 6 Int 2000, 7 Int 7. Two runs each:
// the second carries on from where the first stopped, with the frames it
// left.
struct CallCase {
    std::string name;
    std::vector<Instruction> code;
    TextMap<uint64_t> functions;
    Preset preset;
    std::string outcome;    // of the first run, in both tiers ("": not checked)
    bool save_all = false;  // every frame full (TestSwitches::always_save_all_registers)
};

// main at 0 calls count(n) with n from constant `n`; count at 5 returns
// count(n - 1) + 1, or n when n < 1: n frames deep.
std::vector<Instruction> counting_down(int64_t n) {
    return {I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {65, 2}), I(Op::LoadConstR, {0, n}),
            Instruction::call(64, {0}, 1), I(Op::ReturnR, {1}),
            // count at 5
            I(Op::LtR, {2, 0, 65}), I(Op::JumpIfNotR, {2, 1}), I(Op::ReturnR, {0}), I(Op::SubR, {3, 0, 65}),
            Instruction::call(64, {3}, 4), I(Op::AddR, {4, 4, 65}), I(Op::ReturnR, {4})};
}

// Like counting_down(600), but each level also runs `handled`, an
// instruction of the handler's, between its own registers: with r0..r7 in
// the machine code's window, the handler must see and leave them where the
// interpreter has them, at every depth, as the call stack grows.
std::vector<Instruction> counting_with_a_handler(Instruction handled) {
    return {I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {65, 2}), I(Op::LoadConstR, {0, 5}),
            Instruction::call(64, {0}, 1), I(Op::ReturnR, {1}),
            // count at 5
            handled, I(Op::LtR, {2, 0, 65}), I(Op::JumpIfNotR, {2, 1}), I(Op::ReturnR, {0}), I(Op::SubR, {5, 0, 65}),
            Instruction::call(64, {5}, 4), I(Op::AddR, {4, 4, 3}), I(Op::ReturnR, {4})};
}

// main calls through r64 four times, f the first time and g the others;
// f doubles, g squares. `define` puts a DefineR first (on r100, which
// leaves the sites quick), so that f and g come one instruction later.
std::vector<Instruction> callee_changes_at_one_site(bool define) {
    std::vector<Instruction> code;
    if (define) code.push_back(I(Op::DefineR, {100, 2}));
    for (const Instruction& ins :
         {I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {66, 3}), I(Op::LoadConstR, {65, 2}),
          Instruction::call(64, {66}, 1), I(Op::AddR, {2, 2, 1}), I(Op::LoadConstR, {64, 1}), I(Op::AddR, {66, 66, 65}),
          I(Op::LtR, {67, 66, 68}), I(Op::JumpIfR, {67, -6}), I(Op::ReturnR, {2}), I(Op::AddR, {0, 0, 0}),
          I(Op::ReturnR, {0}), I(Op::MulR, {0, 0, 0}), I(Op::ReturnR, {0})})
        code.push_back(ins);
    return code;
}

std::vector<CallCase> call_cases() {
    const TextMap<uint64_t> count = {{"main", 0}, {"f", 5}};
    return {
        // r3 = n % 2 at each level: 300 of the 600 are odd.
        {"HandlerAtEveryDepth", counting_with_a_handler(I(Op::ModR, {3, 0, 66})), count, {{66, VI(2)}}, "Int 300"},
        // 1 % n fails at the deepest level, 600 frames down.
        {"HandlerFailsAtTheDeepestLevel", counting_with_a_handler(I(Op::ModR, {3, 65, 0})), count, {}, ""},
        {"DeepRecursion", counting_down(5), count, {}, "Int 600"},
        // 600 frames of quick calls, each with the machine code's return
        // address, then at the deepest level C++ code that makes every
        // frame full, or pushes and pops one of its own: the returns must
        // see the frames as they are.
        {"DeclaredTagAtTheDeepestLevel",
         {I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {65, 2}), I(Op::LoadConstR, {0, 5}),
          Instruction::call(64, {0}, 1), I(Op::ReturnR, {1}),
          // count at 5: at n < 1 declares r6 a Float
          I(Op::LtR, {2, 0, 65}), I(Op::JumpIfNotR, {2, 2}), I(Op::DefineR, {6, 2}), I(Op::ReturnR, {0}),
          I(Op::SubR, {3, 0, 65}), Instruction::call(64, {3}, 4), I(Op::AddR, {4, 4, 65}), I(Op::ReturnR, {4})},
         count,
         {},
         "Int 600"},
        {"AnotherCalleeAtTheDeepestLevel",
         {I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {65, 2}), I(Op::LoadConstR, {66, 1}), I(Op::LoadConstR, {0, 5}),
          Instruction::call(64, {0}, 1), I(Op::ReturnR, {1}),
          // count at 6: at n < 1 returns g(n)
          I(Op::LtR, {2, 0, 65}), I(Op::JumpIfNotR, {2, 2}), Instruction::call(66, {0}, 5), I(Op::ReturnR, {5}),
          I(Op::SubR, {3, 0, 65}), Instruction::call(64, {3}, 4), I(Op::AddR, {4, 4, 65}), I(Op::ReturnR, {4}),
          // g at 14: n + 1
          I(Op::AddR, {0, 0, 65}), I(Op::ReturnR, {0})},
         {{"main", 0}, {"f", 6}, {"g", 14}},
         {},
         "Int 601"},
        {"DepthLimitThenLaterRuns", counting_down(6), count, {}, "error: Stack overflow"},
        {"ReturnsIntoFullFrames", counting_down(5), count, {}, "Int 600", true},
        {"HeapArgumentsAndResults",
         {I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {5, 4}), Instruction::call(64, {5}, 6),
          Instruction::call(64, {6}, 5), I(Op::ReturnR, {5}),
          // f at 5 returns its argument
          I(Op::MoveR, {1, 0}), I(Op::ReturnR, {1})},
         {{"main", 0}, {"f", 5}},
         {},
         "String text"},
        {"ScalarResultOverAHeapRegister",
         {I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {6, 4}), I(Op::LoadConstR, {0, 7}),
          Instruction::call(64, {0}, 6), I(Op::ReturnR, {6}),
          // f at 5 doubles its argument
          I(Op::AddR, {0, 0, 0}), I(Op::ReturnR, {0})},
         {{"main", 0}, {"f", 5}},
         {},
         "Int 14"},
        {"ReturnWithoutAResult",
         {I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {1, 7}), Instruction::call(64, {}, 1), I(Op::ReturnR, {1}),
          // f at 4 writes r1, returns nothing: r1 keeps the caller's value
          I(Op::LoadConstR, {1, 3}), Instruction::return_none()},
         {{"main", 0}, {"f", 4}},
         {},
         "Int 7"},
        {"DeclaredTagInTheCallee",
         {I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {0, 7}), Instruction::call(64, {0}, 1),
          Instruction::call(64, {1}, 2), I(Op::ReturnR, {2}),
          // f at 5 declares r3 a Float, then returns 2 * its argument
          I(Op::DefineR, {3, 2}), I(Op::AddR, {0, 0, 0}), I(Op::ReturnR, {0})},
         {{"main", 0}, {"f", 5}},
         {},
         "Int 28"},
        {"CalleeChangesAtOneSite",
         callee_changes_at_one_site(false),
         {{"main", 0}, {"f", 10}, {"g", 12}},
         {{2, VI(0)}, {68, VI(4)}},
         "Int 14"},
        // Two String objects with the same text take turns at one site: the
        // one the code was made with is called directly, the other goes
        // through the helper, which finds the same function by its text.
        {"SameNameFromAnotherStringAtOneSite",
         {I(Op::LoadConstR, {65, 2}), I(Op::LoadConstR, {64, 0}), Instruction::call(64, {66}, 1),
          I(Op::AddR, {2, 2, 1}), I(Op::MoveR, {72, 64}), I(Op::MoveR, {64, 71}), I(Op::MoveR, {71, 72}),
          I(Op::AddR, {66, 66, 65}), I(Op::LtR, {67, 66, 68}), I(Op::JumpIfR, {67, -8}), I(Op::ReturnR, {2}),
          // f at 11 doubles
          I(Op::AddR, {0, 0, 0}), I(Op::ReturnR, {0})},
         {{"main", 0}, {"f", 11}},
         {{2, VI(0)}, {66, VI(0)}, {68, VI(6)}, {71, S("f")}},
         "Int 30"},
        // CalleeChangesAtOneSite in a list with DefineR (on r100, which
        // leaves the sites quick): the site's entry is checked instead.
        {"CalleeChangesAtOneSiteOfAListWithDefineR",
         callee_changes_at_one_site(true),
         {{"main", 0}, {"f", 11}, {"g", 13}},
         {{2, VI(0)}, {68, VI(4)}},
         "Int 14"},
        {"ResultOfAnotherTypeThanTheDestinationHeld",
         {I(Op::LoadConstR, {64, 0}), Instruction::call(64, {}, 1), I(Op::ReturnR, {1}),
          // f at 3 returns an Int into r1, which held a Bool
          I(Op::LoadConstR, {0, 7}), I(Op::ReturnR, {0})},
         {{"main", 0}, {"f", 3}},
         {{1, B(true)}},
         "Int 7"},
        {"CalleeNotAString",
         {I(Op::LoadConstR, {64, 7}), Instruction::call(64, {}, 1), I(Op::ReturnR, {1})},
         {{"main", 0}},
         {},
         ""},
        {"EntryRightAfterTheCall",
         {I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {0, 7}), Instruction::call(64, {0}, 1),
          // f at 3
          I(Op::AddR, {0, 0, 0}), I(Op::ReturnR, {0})},
         {{"main", 0}, {"f", 3}},
         {},
         "Int 14"},
        {"ReturnPastTheEnd",
         {I(Op::JumpR, {2}), I(Op::LoadConstR, {1, 7}), I(Op::ReturnR, {1}), I(Op::LoadConstR, {64, 0}),
          Instruction::call(64, {}, 5)},
         {{"main", 0}, {"f", 1}},
         {},
         "none"},
        {"FailureInTheCalleeThenAReturnIntoItsFrame",
         {I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {0, 4}), Instruction::call(64, {0}, 1), I(Op::ReturnR, {1}),
          // f at 4 orders a String against an Int, which fails
          I(Op::LoadConstR, {3, 2}), I(Op::LtR, {2, 0, 3}), I(Op::ReturnR, {3})},
         {{"main", 0}, {"f", 4}},
         {},
         ""},
        {"SeveralGroupsSaved",
         {I(Op::LoadConstR, {64, 0}), Instruction::call(64, {}, 1), I(Op::AddR, {2, 1, 40}), I(Op::ReturnR, {20}),
          // f at 4 writes r20 and r40
          I(Op::LoadConstR, {20, 2}), I(Op::LoadConstR, {40, 7}), I(Op::AddR, {0, 20, 40}), I(Op::ReturnR, {0})},
         {{"main", 0}, {"f", 4}},
         {{20, S("kept")}, {40, VI(5)}, {63, F(0.5)}},
         "String kept"},
        {"ArgumentThatReadsAHeapValuePassedBeforeIt",
         {I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {65, 2}), Instruction::call(64, {20, 0}, 9),
          I(Op::AddR, {66, 66, 65}), I(Op::LtR, {67, 66, 68}), I(Op::JumpIfR, {67, -4}), I(Op::ReturnR, {9}),
          // f at 7 returns its second argument: r20's String, passed on through r0
          I(Op::ReturnR, {1})},
         {{"main", 0}, {"f", 7}},
         {{20, S("kept")}, {0, VI(3)}, {66, VI(0)}, {68, VI(3)}},
         "String kept"},
        // The same three in a loop, so that the site knows its callee and
        // the machine code pushes the frames itself, with return addresses.
        {"ReturnsWithoutAResultInALoop",
         {I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {65, 2}), Instruction::call(64, {}, 1),
          I(Op::AddR, {66, 66, 65}), I(Op::LtR, {67, 66, 68}), I(Op::JumpIfR, {67, -4}), I(Op::ReturnR, {1}),
          // f at 7 writes r1, returns nothing
          I(Op::LoadConstR, {1, 7}), Instruction::return_none()},
         {{"main", 0}, {"f", 7}},
         {{1, VI(3)}, {66, VI(0)}, {68, VI(4)}},
         "Int 3"},
        // Heap values the quick return must leave to C++: a result from
        // outside r0..r7, and one beside the result inside them.
        // The caller moves each result out of r0..r7, so that the next
        // call finds scalars there again.
        {"HeapResultFromOutsideTheWindowInALoop",
         {I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {65, 2}), Instruction::call(64, {}, 5), I(Op::MoveR, {71, 5}),
          I(Op::LoadConstR, {5, 2}), I(Op::AddR, {66, 66, 65}), I(Op::LtR, {67, 66, 68}), I(Op::JumpIfR, {67, -6}),
          I(Op::ReturnR, {71}),
          // f at 9 writes r1 (so that its frame holds r0..r7), returns r20's String
          I(Op::LoadConstR, {1, 7}), I(Op::ReturnR, {20})},
         {{"main", 0}, {"f", 9}},
         {{20, S("kept")}, {66, VI(0)}, {68, VI(4)}},
         "String kept"},
        {"HeapValueBesideAResultInTheWindowInALoop",
         {I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {65, 2}), Instruction::call(64, {}, 5),
          I(Op::AddR, {66, 66, 65}), I(Op::LtR, {67, 66, 68}), I(Op::JumpIfR, {67, -4}), I(Op::ReturnR, {5}),
          // f at 7 returns r1's Int with a String in r2
          I(Op::LoadConstR, {2, 4}), I(Op::LoadConstR, {1, 7}), I(Op::ReturnR, {1})},
         {{"main", 0}, {"f", 7}},
         {{66, VI(0)}, {68, VI(4)}},
         "Int 7"},
        {"ResultOverAHeapValueOutsideTheWindowInALoop",
         {I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {65, 2}), I(Op::LoadConstR, {20, 4}),
          Instruction::call(64, {0}, 20), I(Op::AddR, {66, 66, 65}), I(Op::LtR, {67, 66, 68}), I(Op::JumpIfR, {67, -5}),
          I(Op::ReturnR, {20}),
          // f at 8 doubles its argument
          I(Op::AddR, {0, 0, 0}), I(Op::ReturnR, {0})},
         {{"main", 0}, {"f", 8}},
         {{0, VI(5)}, {66, VI(0)}, {68, VI(4)}},
         "Int 10"},
        {"SecondArgumentReadsTheFirstInALoop",
         {I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {65, 2}), Instruction::call(64, {1, 0}, 5),
          I(Op::AddR, {66, 66, 65}), I(Op::LtR, {67, 66, 68}), I(Op::JumpIfR, {67, -4}), I(Op::ReturnR, {5}),
          // f at 7: r0 - r1, both the caller's r1 when passed one at a time
          I(Op::SubR, {3, 0, 1}), I(Op::ReturnR, {3})},
         {{"main", 0}, {"f", 7}},
         {{0, VI(10)}, {1, VI(3)}, {66, VI(0)}, {68, VI(4)}},
         "Int 0"},
        {"ArgumentsCopiedOneAtATime",
         {I(Op::LoadConstR, {64, 0}), Instruction::call(64, {1, 0, 70}, 5), I(Op::ReturnR, {5}),
          // f at 3: r0 - r1 + r2
          I(Op::SubR, {3, 0, 1}), I(Op::AddR, {3, 3, 2}), I(Op::ReturnR, {3})},
         {{"main", 0}, {"f", 3}},
         {{0, VI(10)}, {1, VI(3)}, {70, VI(100)}},
         "Int 100"},
    };
}

void PrintTo(const CallCase& c, std::ostream* os) { *os << c.name; }

class JitCallTable : public ::testing::TestWithParam<CallCase> {};

TEST_P(JitCallTable, SameAsTheInterpreter) {
    const CallCase& c = GetParam();
    const std::vector<Constant> k = {Constant::of_string("f"), Constant::of_string("g"),    Constant::of_int(1),
                                     Constant::of_int(0),      Constant::of_string("text"), Constant::of_int(600),
                                     Constant::of_int(2000),   Constant::of_int(7)};
    const Module module = make_module(c.code, k, c.functions);
    bool compiled = false;
    const Snapshot interpreter = play(module, "0", c.preset, 2, nullptr, 0, c.save_all);
    const Snapshot machine = play(module, "always", c.preset, 2, &compiled, 0, c.save_all);
    EXPECT_EQ(compiled, jit::tier_built());
    EXPECT_TRUE(machine == interpreter) << c.name << ":" << difference(machine, interpreter);
    const Snapshot sse2 = play(module, "always", c.preset, 2, nullptr, 0, c.save_all, true);
    EXPECT_TRUE(sse2 == interpreter) << c.name << " with SSE2 alone:" << difference(sse2, interpreter);
    if (!c.outcome.empty()) {
        EXPECT_EQ(machine.outcomes[0], c.outcome) << c.name;
    }
    for (uint64_t hot : {1, 2, 5, 17, 300}) {
        const Snapshot tiered = play(module, "default", c.preset, 2, nullptr, hot, c.save_all);
        EXPECT_TRUE(tiered == interpreter) << c.name << " hot " << hot << ":" << difference(tiered, interpreter);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, JitCallTable, ::testing::ValuesIn(call_cases()),
                         [](const auto& info) { return info.param.name; });

// Random modules of the kinds the tier compiles, with the values that make
// its guards fail. Every backward jump is guarded: r200 -= 1; r202 = r200 >
// 0; jump back if r202, with r200..r203 written by nothing else, and forward
// jumps that would land on the second or third of those go to the first, so
// every run ends.
class ArithmeticProgram {
public:
    explicit ArithmeticProgram(uint64_t seed) : rng_(seed) {}

    Module make() {
        const std::vector<Constant> k = {Constant::of_int(1),     Constant::of_int(-3),     Constant::of_int(kMax),
                                         Constant::of_int(kMin),  Constant::of_float(0.5),  Constant::of_float(kNaN),
                                         Constant::of_bool(true), Constant::of_bool(false), Constant::of_string("t"),
                                         Constant::empty(),       Constant::of_int(30),     Constant::of_int(0)};
        code_ = {I(Op::LoadConstR, {200, 10}), I(Op::LoadConstR, {201, 0}), I(Op::LoadConstR, {203, 11})};
        guard_of_.assign(code_.size(), 0);
        const int length = 5 + static_cast<int>(rng_() % 40);
        for (int i = 0; i < length; ++i) add(k.size());
        push(I(Op::ReturnR, {reg()}));
        retarget_forward_jumps();
        return make_module(code_, k);
    }

private:
    uint8_t reg() { return static_cast<uint8_t>(rng_() % 6); }
    int64_t pick(int64_t n) { return static_cast<int64_t>(rng_() % static_cast<uint64_t>(n)); }
    void push(Instruction ins, size_t guard = 0) {
        code_.push_back(ins);
        guard_of_.push_back(guard);
    }

    void add(size_t constants) {
        static const Opcode arithmetic[] = {Op::AddR, Op::SubR, Op::MulR, Op::LtR,  Op::LteR, Op::GtR,
                                            Op::GteR, Op::EqR,  Op::NeqR, Op::DivR, Op::NegR};
        switch (rng_() % 9) {
            case 0:
            case 1:
                return push(I(Op::LoadConstR, {reg(), pick(static_cast<int64_t>(constants) + 1)}));
            case 2:
                return push(I(Op::MoveR, {reg(), reg()}));
            case 3:
                return push(I(rng_() % 2 ? Op::JumpIfR : Op::JumpIfNotR, {reg(), pick(10)}));
            case 4:
                return push(rng_() % 4 ? I(Op::JumpR, {pick(6)}) : I(Op::DefineR, {reg(), pick(8)}));
            case 6: {
                static const Opcode arrays[] = {Op::NewArrayR, Op::ArrayGetR, Op::ArraySetR, Op::ArraySetR};
                return push(I(arrays[rng_() % std::size(arrays)], {reg(), reg(), reg()}));
            }
            case 5: {
                const int64_t target = 3 + pick(static_cast<int64_t>(code_.size()) - 2);
                const size_t first = code_.size();
                push(I(Op::SubR, {200, 200, 201}));
                push(I(Op::GtR, {202, 200, 203}), first);
                push(I(Op::JumpIfR, {202, target - static_cast<int64_t>(code_.size()) - 1}), first);
                return;
            }
            default:
                return push(I(arithmetic[rng_() % std::size(arithmetic)], {reg(), reg(), reg()}));
        }
    }

    void retarget_forward_jumps() {
        for (size_t j = 0; j < code_.size(); ++j) {
            Instruction& ins = code_[j];
            const bool is_jump = ins.op == Op::JumpR || ins.op == Op::JumpIfR || ins.op == Op::JumpIfNotR;
            if (!is_jump || ins.offset() < 0) continue;
            const size_t target = j + 1 + static_cast<size_t>(ins.offset());
            if (target < code_.size() && guard_of_[target] != 0)
                ins.wide = static_cast<uint32_t>(guard_of_[target] - (j + 1));
        }
    }

    std::mt19937_64 rng_;
    std::vector<Instruction> code_;
    std::vector<size_t> guard_of_;  // for the 2nd and 3rd of a guard, the index of its 1st
};

TEST(JitDifferential, RandomProgramsTieringUpAnywhereBehaveAsInTheInterpreter) {
    for (uint64_t seed = 1; seed <= 1000; ++seed) {
        ArithmeticProgram generator(seed);
        Module module = generator.make();
        const uint64_t hot = 1 + seed % 60;
        Snapshot tiered = play(module, "default", {}, 2, nullptr, hot);
        Snapshot interpreter = play(module, "0", {});
        ASSERT_TRUE(tiered == interpreter) << "seed " << seed << ":" << difference(tiered, interpreter);
    }
}

TEST(JitDifferential, RandomArithmeticProgramsBehaveAsInTheInterpreter) {
    for (uint64_t seed = 1; seed <= 2000; ++seed) {
        ArithmeticProgram generator(seed);
        Module module = generator.make();
        Snapshot machine = play(module, "always", {});
        Snapshot interpreter = play(module, "0", {});
        ASSERT_TRUE(machine == interpreter) << "seed " << seed << ":" << difference(machine, interpreter);
    }
}

// ---- the switch and the code itself ------------------------------------------------

struct ModeCase {
    const char* value;
    jit::Mode mode;
};

class JitModes : public ::testing::TestWithParam<ModeCase> {};

TEST_P(JitModes, ReadFromTheVariable) { EXPECT_EQ(jit::mode_from(GetParam().value), GetParam().mode); }

INSTANTIATE_TEST_SUITE_P(Table, JitModes,
                         ::testing::Values(ModeCase{nullptr, jit::Mode::Default}, ModeCase{"0", jit::Mode::Off},
                                           ModeCase{"always", jit::Mode::Always}, ModeCase{"", jit::Mode::Default},
                                           ModeCase{"ALWAYS", jit::Mode::Default}, ModeCase{"00", jit::Mode::Default}));

// Only quiet runs with TARNEL_JIT=always compile; debug runs never do.
TEST(JitSwitches, WhoCompiles) {
    Module module = make_module({I(Op::Nop)});
    struct Row {
        const char* mode;
        bool debug;
        bool compiles;
    };
    for (const Row& row : {Row{"always", false, true}, Row{"always", true, false}, Row{"0", false, false},
                           Row{"something", false, false}}) {
        JitSwitch jit(row.mode);
        VmState vm;
        vm.debug = row.debug;
        vm.reset_for_module(module);
        ASSERT_TRUE(run(vm));
        EXPECT_EQ(vm.caches.machine_code != nullptr, row.compiles && jit::tier_built()) << row.mode << row.debug;
    }
}

// The default tiering with its own threshold: a module compiles once the
// interpreter has run that many of its instructions, in one run or over
// several, and never in debug runs or with the tier off.
TEST(JitTiering, CompilesOnceTheModuleIsHot) {
    // main: r0 = 0; r1 = N; r3 = 1; loop: r0 += r3; r0 < r1 -> loop; then
    // off the end, so that the next run starts at main again.
    auto counting_to = [](int64_t n) {
        return make_module({I(Op::LoadConstR, {0, 0}), I(Op::LoadConstR, {1, 1}), I(Op::LoadConstR, {3, 2}),
                            I(Op::AddR, {0, 0, 3}), I(Op::LtR, {4, 0, 1}), I(Op::JumpIfR, {4, -3})},
                           {Constant::of_int(0), Constant::of_int(n), Constant::of_int(1)}, {{"main", 0}});
    };
    const uint64_t threshold = jit::hot_threshold(6);
    const int64_t past = static_cast<int64_t>(threshold / 3 + 10);  // one run past the threshold
    enum Limits { None, Budget, Deadline };
    struct Row {
        const char* mode;
        bool debug;
        int64_t n;  // iterations of three instructions a run
        int runs;
        bool compiles;
        Limits limits = None;           // runs with limits tier up in their middle too
        bool after_a_hot_load = false;  // a load made hot by one run comes first
    };
    // clang-format off
    const std::vector<Row> rows = {
        {"default", false, 10, 1, false},
        {"default", false, past, 1, true},
        {"default", false, past / 4, 3, false},   // three quarters of the threshold
        {"default", false, past / 4, 5, true},    // more than it, over five runs
        {"something", false, past, 1, true},      // any other value is the default
        {"default", true, past, 1, false},
        {"0", false, past, 2, false},
        {"always", false, 10, 1, true},
        {"default", false, 10, 1, false, Budget},
        {"default", false, past, 1, true, Budget},
        {"default", false, past, 1, true, Deadline},
        {"default", false, past / 4, 5, true, Budget},
        {"default", true, past, 1, false, Budget},
        {"0", false, past, 1, false, Deadline},
        // A new load counts from zero again: a short run pays nothing.
        {"default", false, 10, 1, false, None, true},
        {"default", false, past / 4, 3, false, None, true},
        {"default", false, past / 4, 5, true, None, true},
    };
    // clang-format on
    for (const Row& row : rows) {
        JitSwitch jit(row.mode);
        VmState vm;
        vm.debug = row.debug;
        uint64_t earlier = 0;
        if (row.after_a_hot_load) {
            vm.reset_for_module(counting_to(past));
            ASSERT_TRUE(run_state(vm).ok);
            ASSERT_TRUE(vm.caches.machine_code != nullptr || !jit::tier_built());
            earlier = vm.instruction_count;
        }
        vm.reset_for_module(counting_to(row.n));
        RunLimits limits;
        if (row.limits == Budget) limits.max_instructions = uint64_t{1} << 40;
        if (row.limits == Deadline) limits.deadline = std::chrono::steady_clock::now() + std::chrono::hours(1);
        for (int i = 0; i < row.runs; ++i) {
            const bool ok = row.limits == None ? run_state(vm).ok : run_limited(vm, limits).ok();
            ASSERT_TRUE(ok) << row.mode;
            EXPECT_EQ(describe(vm.registers[0]), "Int " + std::to_string(row.n)) << row.mode;
        }
        EXPECT_EQ(vm.caches.machine_code != nullptr, row.compiles && jit::tier_built())
            << row.mode << " n " << row.n << " runs " << row.runs;
        EXPECT_EQ(vm.instruction_count,
                  earlier + static_cast<uint64_t>(row.runs) * (3 + 3 * static_cast<uint64_t>(row.n)));
    }
}

// The default tiering keeps machine code only where it pays off: a loop
// that appends to a text, one handler call in four instructions, stays in
// the interpreter, through the hand-over in the middle of its first run and
// in the next; TARNEL_JIT=always compiles it.
TEST(JitTiering, KeepsMachineCodeWhereItPaysOff) {
    // r1 = ""; r2 = "x"; r0 = 0; r4 = 1; r5 = N; loop: r1 = r1 .. r2;
    // r0 += r4; r0 < r5 -> loop; r6 = the text's length; then off the end,
    // so that the next run starts again.
    const int64_t n = static_cast<int64_t>(jit::hot_threshold(10) / 4 + 10);
    Module appending =
        make_module({I(Op::LoadConstR, {1, 0}), I(Op::LoadConstR, {2, 1}), I(Op::LoadConstR, {0, 2}),
                     I(Op::LoadConstR, {4, 3}), I(Op::LoadConstR, {5, 4}), I(Op::ConcatStrR, {1, 1, 2}),
                     I(Op::AddR, {0, 0, 4}), I(Op::LtR, {3, 0, 5}), I(Op::JumpIfR, {3, -4}), I(Op::StrLenR, {6, 1})},
                    {Constant::of_string(""), Constant::of_string("x"), Constant::of_int(0), Constant::of_int(1),
                     Constant::of_int(n)},
                    {{"main", 0}});
    for (const char* mode : {"default", "always"}) {
        JitSwitch jit(mode);
        VmState vm;
        vm.reset_for_module(appending);
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(run_state(vm).ok) << mode;
            EXPECT_EQ(describe(vm.registers[6]), "Int " + std::to_string(n)) << mode;
        }
        EXPECT_EQ(vm.instruction_count, 2 * (6 + 4 * static_cast<uint64_t>(n))) << mode;
        EXPECT_TRUE(vm.caches.machine_code_tried || !jit::tier_built()) << mode;
        EXPECT_EQ(vm.caches.machine_code != nullptr, std::string(mode) == "always" && jit::tier_built()) << mode;
    }
}

// ---- limits ------------------------------------------------------------------------

std::vector<LimitCase> limit_cases() {
    const std::vector<Constant> k = {Constant::of_int(0),      Constant::of_int(1),  Constant::of_int(100000),
                                     Constant::of_string("f"), Constant::of_int(64), Constant::of_int(600)};
    const std::vector<uint64_t> budgets = {0, 1, 2, 3, 5, 8, 13, 100, 1001, 4097, 65537};
    return {
        // r0 counts up to 100000 in a fused compare-and-jump loop.
        {"CompareLoop",
         make_module({I(Op::LoadConstR, {0, 0}), I(Op::LoadConstR, {1, 2}), I(Op::LoadConstR, {3, 1}),
                      I(Op::AddR, {0, 0, 3}), I(Op::LtR, {4, 0, 1}), I(Op::JumpIfR, {4, -3}), I(Op::ReturnR, {0})},
                     k),
         budgets, std::nullopt},
        // A call and a return an iteration, through their handlers.
        {"CallLoop",
         make_module({I(Op::LoadConstR, {64, 3}), I(Op::LoadConstR, {3, 1}), I(Op::LoadConstR, {0, 0}),
                      Instruction::call(64, {0}, 5), I(Op::AddR, {0, 0, 3}), I(Op::JumpR, {-3}), I(Op::AddR, {1, 0, 0}),
                      I(Op::ReturnR, {1})},
                     k, {{"main", 0}, {"f", 6}}),
         budgets, std::nullopt},
        // Recursion 600 deep and back, over and over: quick calls and
        // returns, the stack growing past its first capacities.
        {"RecursionLoop",
         make_module({I(Op::LoadConstR, {64, 3}), I(Op::LoadConstR, {65, 1}), I(Op::LoadConstR, {66, 5}),
                      Instruction::call(64, {66}, 1), I(Op::JumpR, {-2}),
                      // f at 5
                      I(Op::LtR, {2, 0, 65}), I(Op::JumpIfNotR, {2, 1}), I(Op::ReturnR, {0}), I(Op::SubR, {3, 0, 65}),
                      Instruction::call(64, {3}, 4), I(Op::AddR, {4, 4, 65}), I(Op::ReturnR, {4})},
                     k, {{"main", 0}, {"f", 5}}),
         budgets, std::nullopt},
        // Array reads and writes in a loop that never ends.
        {"ArrayLoop",
         make_module(
             {I(Op::LoadConstR, {1, 4}), I(Op::NewArrayR, {5, 1}), I(Op::LoadConstR, {0, 0}), I(Op::LoadConstR, {3, 1}),
              I(Op::ArraySetR, {5, 0, 0}), I(Op::ArrayGetR, {6, 5, 0}), I(Op::AddR, {0, 0, 3}), I(Op::LtR, {4, 0, 1}),
              I(Op::JumpIfR, {4, -5}), I(Op::LoadConstR, {0, 0}), I(Op::JumpR, {-7})},
             k),
         budgets, std::nullopt},
        // New arrays of growing size until the memory budget refuses one:
        // the refusal is an exception thrown inside a handler that the
        // machine code called.
        {"MemoryRefusedInAHandler",
         make_module({I(Op::LoadConstR, {0, 4}), I(Op::LoadConstR, {3, 4}), I(Op::NewArrayR, {5, 0}),
                      I(Op::AddR, {0, 0, 3}), I(Op::JumpR, {-3})},
                     k),
         {100000},
         uint64_t{200000}},
    };
}

class JitLimits : public ::testing::TestWithParam<LimitCase> {};

// The budget stops after exactly N instructions wherever N falls, in
// machine code compiled before the run (always) or hot from an earlier run.
TEST_P(JitLimits, BudgetEndsExactlyAsInTheInterpreter) {
    const LimitCase& c = GetParam();
    for (uint64_t budget : c.budgets) {
        const Snapshot interpreter = play_limited(c, "0", budget);
        EXPECT_EQ(interpreter.count, std::min<uint64_t>(budget, interpreter.count - 50) + 50) << budget;
        const Snapshot machine = play_limited(c, "always", budget);
        EXPECT_TRUE(machine == interpreter)
            << c.name << " budget " << budget << ":" << difference(machine, interpreter);
        // Hot at once, or once calls know their callees.
        for (uint64_t threshold : {1, 300}) {
            const Snapshot hot = play_limited(c, "default", budget, threshold);
            EXPECT_TRUE(hot == interpreter)
                << c.name << " hot at " << threshold << ", budget " << budget << ":" << difference(hot, interpreter);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, JitLimits, ::testing::ValuesIn(limit_cases()),
                         [](const auto& info) { return info.param.name; });

// Random recursive functions: main calls f(n), which runs random work on
// r1..r6 (reading r0..r6), returns at n < 1 and otherwise calls itself
// with n - 1 (and sometimes a second argument), once or twice. The calls have a fixed callee and their
// arguments come from r0..r7, so tiered-up machine code copies only part
// of the window for f; what it leaves unset must never show: in results,
// registers or frames, after failures deep down (a String in arithmetic),
// stack overflows and budgets that stop anywhere.
class RecursiveProgram {
public:
    explicit RecursiveProgram(uint64_t seed) : rng_(seed) {}

    Module make() {
        const std::vector<Constant> k = {Constant::of_string("f"), Constant::of_int(1),     Constant::of_int(5),
                                         Constant::of_int(-2),     Constant::of_float(0.5), Constant::of_bool(true),
                                         Constant::of_string("s")};
        code_ = {I(Op::LoadConstR, {64, 0}), I(Op::LoadConstR, {65, 1}), I(Op::LoadConstR, {0, 2}),
                 Instruction::call(64, {0}, 1), I(Op::ReturnR, {1})};
        const int64_t f = static_cast<int64_t>(code_.size());
        work(k.size());
        code_.push_back(I(Op::LtR, {7, 0, 65}));
        code_.push_back(I(Op::JumpIfNotR, {7, 1}));
        code_.push_back(I(Op::ReturnR, {reg()}));
        const int calls = 1 + static_cast<int>(rng_() % 2);
        for (int c = 0; c < calls; ++c) {
            work(k.size());
            code_.push_back(I(Op::SubR, {7, 0, 65}));
            // A second argument, passed after the first: r0 is n - 1 by then.
            std::vector<uint8_t> args = {7};
            if (rng_() % 2) args.push_back(source());
            code_.push_back(Instruction::call(64, args, reg()));
        }
        work(k.size());
        code_.push_back(I(Op::ReturnR, {reg()}));
        return make_module(code_, k, {{"main", 0}, {"f", static_cast<uint64_t>(f)}});
    }

private:
    uint8_t reg() { return static_cast<uint8_t>(1 + rng_() % 6); }
    uint8_t source() { return static_cast<uint8_t>(rng_() % 7); }

    // Up to four instructions; a jump skips forward within them.
    void work(size_t constants) {
        static const Opcode kinds[] = {Op::AddR, Op::SubR, Op::MulR, Op::LtR, Op::EqR, Op::MoveR, Op::LoadConstR};
        const int length = static_cast<int>(rng_() % 5);
        for (int i = 0; i < length; ++i) {
            const Opcode op = kinds[rng_() % std::size(kinds)];
            if (rng_() % 6 == 0) {
                code_.push_back(I(Op::JumpIfR, {source(), static_cast<int64_t>(rng_() % (length - i))}));
            } else if (op == Op::LoadConstR) {
                code_.push_back(I(op, {reg(), static_cast<int64_t>(1 + rng_() % (constants - 1))}));
            } else if (op == Op::MoveR) {
                code_.push_back(I(op, {reg(), source()}));
            } else {
                code_.push_back(I(op, {reg(), source(), source()}));
            }
        }
    }

    std::mt19937_64 rng_;
    std::vector<Instruction> code_;
};

TEST(JitDifferential, RandomRecursiveFunctionsBehaveAsInTheInterpreter) {
    for (uint64_t seed = 1; seed <= 400; ++seed) {
        const Module module = RecursiveProgram(seed).make();
        const Preset preset = {{1, VI(10)}, {2, F(2.5)}, {3, B(false)}, {4, VI(-4)}, {5, VI(3)}, {6, VI(7)}};
        const Snapshot interpreter = play(module, "0", preset);
        for (uint64_t hot : {1, 30}) {
            const Snapshot tiered = play(module, "default", preset, 2, nullptr, hot);
            ASSERT_TRUE(tiered == interpreter)
                << "seed " << seed << " hot " << hot << ":" << difference(tiered, interpreter);
        }
        const LimitCase limited{"recursive", module, {}, std::nullopt};
        const uint64_t budget = 40 + seed % 200;
        const Snapshot stopped = play_limited(limited, "default", budget, 30);
        ASSERT_TRUE(stopped == play_limited(limited, "0", budget))
            << "seed " << seed << " budget " << budget << ":"
            << difference(stopped, play_limited(limited, "0", budget));
    }
}

class JitCode : public ::testing::Test {
protected:
    void SetUp() override {
        if (!jit::tier_built()) GTEST_SKIP() << "this build has no machine-code tier";
    }
};

// Machine code starts only where it does work; elsewhere the engine steps.
TEST_F(JitCode, EntriesOnlyForCompiledKinds) {
    const std::vector<Constant> k = {Constant::of_int(1), Constant::of_string("s")};
    struct Row {
        Instruction ins;
        bool entry;
    };
    const std::vector<Row> rows = {{I(Op::LoadConstR, {1, 0}), true},    {I(Op::LoadConstR, {1, 1}), false},
                                   {I(Op::LoadConstR, {1, 9}), false},   {I(Op::MoveR, {1, 2}), true},
                                   {I(Op::AddR, {1, 2, 3}), true},       {I(Op::MulR, {1, 2, 3}), true},
                                   {I(Op::DivR, {1, 2, 3}), true},       {I(Op::ModR, {1, 2, 3}), false},
                                   {I(Op::GteR, {1, 2, 3}), true},       {I(Op::JumpR, {0}), true},
                                   {I(Op::JumpR, {50}), false},          {I(Op::JumpIfNotR, {1, -30}), false},
                                   {I(Op::ReturnR, {1}), false},         {I(Op::Nop), true},
                                   {I(Op::StoreGlobalR, {1, 1}), false}, {I(Op::ArrayGetR, {1, 2, 3}), true},
                                   {I(Op::ArraySetR, {1, 2, 3}), true},  {I(Op::ArrayLenR, {1, 2}), false}};
    std::vector<Instruction> code;
    for (const Row& row : rows) code.push_back(row.ins);
    auto machine_code = jit::compile(code, k);
    ASSERT_NE(machine_code, nullptr);
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(jit::has_native_code(*machine_code, i), rows[i].entry) << i;
    EXPECT_FALSE(jit::has_native_code(*machine_code, rows.size()));
}

// The machine code pushes and pops frames itself only when it knows their
// layout: a layout it no longer recognises would quietly send every call
// through the C++ helpers. It writes a frame's return register, groups and
// live flag as one word and reads a site's groups and quick flag as one, so
// those words must be what the C++ code leaves there.
TEST_F(JitCode, KnowsTheFrameLayoutOfThisBuild) {
    VmState state;
    const jit::FrameLayout layout = jit::frame_layout(state);
    ASSERT_TRUE(layout.known);
    CallFrame frame(7, 5, 0x3F, 1);
    uint32_t frame_word = 0;
    std::memcpy(&frame_word, reinterpret_cast<const unsigned char*>(&frame) + layout.return_register, 4);
    frame.live = false;                  // its group was never filled: nothing to destroy
    EXPECT_EQ(frame_word, 0x01010105u);  // r5, there is one, group 1, live
    CallSiteCache site;
    site.groups = 1;
    site.quick = true;
    uint16_t site_word = 0;
    std::memcpy(&site_word, reinterpret_cast<const unsigned char*>(&site) + layout.site_groups, 2);
    EXPECT_EQ(site_word, 0x0101);
}

// Code size grows linearly with the list, whatever the kinds.
TEST_F(JitCode, SizeLinearInTheList) {
    for (Instruction ins : {I(Op::AddR, {1, 2, 3}), I(Op::LtR, {1, 2, 3}), I(Op::JumpR, {-1}), I(Op::ReturnR, {1}),
                            I(Op::ArrayGetR, {1, 2, 3})}) {
        auto small = jit::compile(std::vector<Instruction>(1000, ins), {});
        auto large = jit::compile(std::vector<Instruction>(4000, ins), {});
        ASSERT_TRUE(small && large);
        EXPECT_LE(jit::code_bytes(*large), 4 * jit::code_bytes(*small) + 1024);  // a few fixed parts aside
        // A bounded number of bytes per instruction: a comparison is the
        // largest, with its Float case and a second copy out of line.
        EXPECT_LE(jit::code_bytes(*large), 4000u * 320);
    }
}

// No mapping of the process is writable and executable at once, even while
// compiled code exists.
TEST_F(JitCode, NeverWritableAndExecutable) {
    auto machine_code = jit::compile(add_loop(Op::AddR), {});
    ASSERT_NE(machine_code, nullptr);
    std::ifstream maps("/proc/self/maps");
    ASSERT_TRUE(maps);
    std::string line;
    while (std::getline(maps, line)) EXPECT_EQ(line.find(" rwx"), std::string::npos) << line;
}

size_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// 10,000 loads, each compiled and run: resident memory after the last is
// about what it was after the first thousand. Leaked code (a page or more
// a load) would add 36 MB or more.
TEST_F(JitCode, ResidentMemoryFlatOverManyLoads) {
#if defined(__SANITIZE_ADDRESS__) || defined(__has_feature)
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
    // Freed memory waits in the sanitizer's quarantine, so resident memory
    // says nothing there; LeakSanitizer checks the same frees in that build.
    GTEST_SKIP() << "AddressSanitizer keeps freed memory";
#endif
#endif
    JitSwitch jit("always");
    VmState vm;
    std::vector<Instruction> code = add_loop(Op::AddR);
    code.insert(code.begin(), {I(Op::LoadConstR, {0, 0}), I(Op::LoadConstR, {1, 1}), I(Op::LoadConstR, {3, 2})});
    const Module module = make_module(code, {Constant::of_int(0), Constant::of_int(100), Constant::of_int(1)});
    size_t after_first_thousand = 0;
    for (int i = 1; i <= 10000; ++i) {
        vm.reset_for_module(module);
        Outcome outcome = run_state(vm);
        ASSERT_TRUE(outcome.ok && outcome.value);
        ASSERT_NE(vm.caches.machine_code, nullptr);
        if (i == 1000) after_first_thousand = resident_bytes();
    }
    ASSERT_GT(after_first_thousand, 0u);
    EXPECT_LT(resident_bytes(), after_first_thousand + 8 * 1024 * 1024);
}

// Loading another module (or destroying the VM) frees the code.
TEST_F(JitCode, FreedWithTheModule) {
    JitSwitch jit("always");
    VmState vm;
    vm.reset_for_module(make_module(add_loop(Op::AddR)));
    vm.write_register(0, VI(0));
    vm.write_register(1, VI(3));
    vm.write_register(3, VI(1));
    ASSERT_TRUE(run(vm));
    std::weak_ptr<jit::MachineCode> code = vm.caches.machine_code;
    ASSERT_FALSE(code.expired());
    vm.reset_for_module(make_module({I(Op::Nop)}));
    EXPECT_TRUE(code.expired());
}

}  // namespace
}  // namespace tarnel::testing
