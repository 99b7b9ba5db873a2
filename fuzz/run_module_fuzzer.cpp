// libFuzzer target: decode a module file and run it.
//
// The input is a module file. When it decodes, the module is installed in a
// fresh VmState and run the way `execute()` runs it, twice in a row (as a
// host calling execute() again would), but through the harness's own copy of
// the run loop: fetch the instruction at pc, advance pc, count, trace in debug
// mode, then tarnel::execute_instruction(). Owning the loop gives the harness
// an instruction budget (kStepBudget steps per input) without any limit in
// the product's run(), which stays unbounded.
//
// What is checked, on every input:
//   - nothing crashes, leaks or trips AddressSanitizer/UBSan;
//   - a failed step is a VmError of one of the eighteen kinds, with a message
//     of exactly that kind's form, and of a kind the failing instruction can
//     produce (DivisionByZero only from DivR/ModR, and so on); an internal
//     fault (failed write to stdout, which is /dev/null here) is a finding;
//   - the call stack never exceeds 1,000 frames and every register's type tag
//     matches its value unless DefineR declared that register;
//   - when the run ends within the budget and did not depend on dictionary
//     order, the product's own run() on a second fresh state ends the same
//     way: same result, error message, instruction count, pc, halted flag,
//     stacks, globals and registers. This compares the engine's quiet run loop
//     (over its fast form, with fused comparisons and jumps and groups of an
//     AddR and such a pair, the mutator inserting both shapes, and arithmetic
//     whose operands are byte offsets) with the step routine on every such
//     input;
//   - in quiet mode, a third fresh state run with TARNEL_JIT=always (the
//     machine-code tier, when the build has it) ends the same way again, and
//     so does a fourth under the default tiering with a threshold of 1 to 64
//     instructions (from the input's size), which compiles in the middle of
//     the first run, at a taken jump, call or return.
//
// Resource guard. A few instructions cost time or memory in proportion to
// what the program built: a NewArrayR of up to half of physical memory is
// legal, and so is a text of up to 1 GiB. The harness does not execute such
// a step: before each instruction it checks that arrays stay below kArrayCap
// elements, joined, cast and printed texts below kTextCap bytes, and values
// compared by EqR/NeqR below kWalkCap (two distinct arrays that each hold one
// array twice per level take exponential time to compare); otherwise the run
// stops there as if the budget were spent. Requests past the engine's own
// limits (arrays past half of physical memory, texts past 1 GiB) are
// executed, since the engine refuses them without allocating: that is the
// OutOfMemory path, and it stays fuzzed. The hostile-program tests cover the
// large legal cases.
//
// Harness controls in the header's flags word (the VM ignores it):
//   bit 0  run in debug mode (trace and debug printing, to /dev/null);
//   bit 1  in-memory extras: string constants "@url:..." and "@fn:..." become
//          URL and Function constants, and a CastR whose type id has the high
//          byte 0xFF becomes one of the four kinds module files cannot encode
//          (PhiR, AssertR, ScopeEnterR, ScopeExitR), chosen by its low bits.
//
// The custom mutator works on decoded modules: it inserts, deletes, replaces
// and duplicates instructions with register numbers mostly from a small hot
// set, constant indexes mostly in range and short jumps; it adds and edits
// constants and function entries and toggles the flags. One mutation in
// eight is libFuzzer's own byte-level one, so the decoder's failure paths
// stay covered. Inputs that do not decode are either mutated by bytes or
// replaced by a freshly generated module.
//
// Build: fuzz/build.sh. Run:
//     build/fuzz/run_module_fuzzer build/fuzz/run-corpus fuzz/corpus/run \
//         -max_total_time=600 -timeout=10 -max_len=8192
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/debug_form.hpp"
#include "fuzz/module_writer.hpp"
#include "loader/bytecode.hpp"
#include "values/dict_map.hpp"
#include "vm/engine.hpp"
#include "vm/limits.hpp"
#include "vm/output.hpp"
#include "vm/state.hpp"
#include "vm/trace.hpp"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

// The harness's own code is kept out of the coverage libFuzzer steers by:
// only the engine's branches should count as new behaviour.
#define HARNESS __attribute__((no_sanitize("coverage")))

namespace {

using namespace tarnel;

constexpr size_t kStepBudget = 4096;  // instructions per input, both runs together
constexpr int64_t kArrayCap = 4096;   // elements of one NewArrayR
constexpr size_t kTextCap = 1 << 20;  // bytes of one joined string
constexpr size_t kWalkCap = 1 << 20;  // cost units of one value walk (see walk_cost)
constexpr uint32_t kFlagDebug = 1;
constexpr uint32_t kFlagExtras = 2;

[[noreturn]] HARNESS void reject(const char* what, const std::string& detail) {
    std::fprintf(stderr, "run_module: %s: \"%s\"\n", what, detail.c_str());
    std::abort();
}

// ---- harness extras -----------------------------------------------------------

HARNESS void apply_extras(Module& m) {
    for (Constant& c : m.constants) {
        if (!c.is_string()) continue;
        std::string_view text = c.text();
        if (text.rfind("@url:", 0) == 0) {
            c = Constant::of_url(std::string(text.substr(5)));
        } else if (text.rfind("@fn:", 0) == 0) {
            std::string name(text.substr(4));
            uint64_t arity = name.size() % 4;
            c = Constant::of_function(FunctionRef{name.size(), arity, std::move(name)});
        }
    }
    for (Instruction& ins : m.instructions) {
        if (ins.op != Opcode::CastR || (ins.index() >> 8) != 0xFF) continue;
        const uint16_t low = ins.index() & 0xFF;
        const uint16_t n = low >> 2;
        switch (low & 3) {
            case 0:
                ins = Instruction::phi(ins.a, {{ins.b, n}, {ins.a, static_cast<uint16_t>(n + 1)}});
                break;
            case 1: {
                AssertType condition = ins.b % 3 == 0   ? AssertType::truthy()
                                       : ins.b % 3 == 1 ? AssertType::non_null()
                                                        : AssertType::range(-static_cast<int64_t>(n), ins.b);
                ins = Instruction::assertion(ins.a, condition, n);
                break;
            }
            case 2:
                ins = Instruction::make(Opcode::ScopeEnterR, {n});
                break;
            default:
                ins = Instruction::make(Opcode::ScopeExitR, {n});
                break;
        }
    }
}

// ---- resource guard -------------------------------------------------------------

// The cost of walking a value's tree (shared parts counted each time they are
// reached, as display and equality reach them): 16 per node plus the bytes of
// every text. Stops counting past `cap`. Sets `saw_dict` when a dictionary
// with two or more entries is inside (its rendering depends on map order).
HARNESS size_t walk_cost(const Value& root, size_t cap, bool* saw_dict = nullptr) {
    std::vector<const Value*> pending{&root};
    size_t cost = 0;
    while (!pending.empty() && cost <= cap) {
        const Value* v = pending.back();
        pending.pop_back();
        cost += 16;
        switch (v->type()) {
            case ValueType::String:
            case ValueType::URL:
                cost += v->text().size();
                break;
            case ValueType::Function:
                cost += v->function_ref().name.size();
                break;
            case ValueType::Array:
                for (const Value& item : v->items()) pending.push_back(&item);
                break;
            case ValueType::Dict: {
                const DictMap& map = v->entries();
                if (saw_dict && map.size() > 1) *saw_dict = true;
                for (size_t i = 0; i < map.slot_count(); ++i) {
                    if (const Value* key = map.slot_key(i)) {
                        pending.push_back(key);
                        pending.push_back(&map.slot_value(i));
                    }
                }
                break;
            }
            default:
                break;
        }
    }
    return cost;
}

HARNESS bool walk_fits(const Value& v, bool* saw_dict = nullptr) {
    return walk_cost(v, kWalkCap, saw_dict) <= kWalkCap;
}

// Debug forms: small enough to build, or so large that the engine refuses
// them (OutOfMemory) without building them.
HARNESS bool renders_within_guard(const Value& v) {
    const size_t length = debug_form_length(v, kMaxTextLength);
    return length <= kTextCap || length > kMaxTextLength;
}

// Whether the harness lets `ins` run; sets `order_sensitive` when its outcome
// may depend on dictionary iteration order.
HARNESS bool within_guard(const VmState& s, const Instruction& ins, bool& order_sensitive) {
    const auto& r = s.registers;
    switch (ins.op) {
        case Opcode::NewArrayR: {
            const Value& size = r[ins.b];
            if (!size.is(ValueType::Int) || size.as_int() < 0) return true;
            const uint64_t n = static_cast<uint64_t>(size.as_int());
            return n <= static_cast<uint64_t>(kArrayCap) || n > max_array_length();
        }
        case Opcode::AddR:
        case Opcode::ConcatStrR: {
            const Value& l = r[ins.b];
            const Value& rr = r[ins.c];
            if (l.is(ValueType::String) && rr.is(ValueType::String))
                return l.text().size() + rr.text().size() <= kTextCap;
            if (ins.op == Opcode::AddR) return true;
            const size_t length = display_length(l, kMaxTextLength) + display_length(rr, kMaxTextLength);
            if (length > kMaxTextLength) return true;  // the engine refuses it without building it
            return length <= kTextCap && walk_fits(l, &order_sensitive) && walk_fits(rr, &order_sensitive);
        }
        case Opcode::CastR: {
            if (type_from_id(ins.index()) != ValueType::String) return true;
            const size_t length = display_length(r[ins.b], kMaxTextLength);
            return length > kMaxTextLength || (length <= kTextCap && walk_fits(r[ins.b], &order_sensitive));
        }
        case Opcode::EqR:
        case Opcode::NeqR:
            return walk_fits(r[ins.b]) && walk_fits(r[ins.c]);
        case Opcode::DebugPrint:
            return renders_within_guard(r[ins.a]);
        case Opcode::LteR:
            return !s.debug || (renders_within_guard(r[ins.b]) && renders_within_guard(r[ins.c]));
        case Opcode::CallR:
            if (!s.debug) return true;
            for (uint8_t a : ins.args())
                if (!renders_within_guard(r[a])) return false;
            return true;
        case Opcode::DictKeysR:
        case Opcode::DictValuesR:
            order_sensitive = true;
            return true;
        default:
            return true;
    }
}

// ---- checking a failed step -----------------------------------------------------------

HARNESS bool is_decimal(std::string_view t, bool allow_sign) {
    if (allow_sign && !t.empty() && t[0] == '-') t.remove_prefix(1);
    if (t.empty() || t.size() > 20) return false;
    if (t.size() > 1 && t[0] == '0') return false;
    for (char ch : t)
        if (ch < '0' || ch > '9') return false;
    return true;
}

HARNESS bool is_one_of(std::string_view t, std::initializer_list<std::string_view> options) {
    for (std::string_view o : options)
        if (t == o) return true;
    return false;
}

HARNESS bool is_type_name(std::string_view t) {
    return is_one_of(t, {"empty", "bool", "int", "float", "string", "function", "url", "array", "dict", "unknown"});
}

HARNESS bool is_debug_name(std::string_view t) {
    return is_one_of(t, {"Empty", "Bool", "Int", "Float", "String", "Function", "URL", "Array", "Dict", "Unknown"});
}

// "A and B" with two debug names.
HARNESS bool is_debug_pair(std::string_view t) {
    size_t at = t.find(" and ");
    return at != std::string_view::npos && is_debug_name(t.substr(0, at)) && is_debug_name(t.substr(at + 5));
}

HARNESS bool type_mismatch_ok(const VmError& e) {
    const std::string& expected = e.first;
    const std::string& found = e.second;
    if (expected == "numeric or string" || expected == "numeric") return is_debug_pair(found);
    if (expected == "integer" && found.rfind("float ", 0) == 0) return found.size() > 6;
    return (is_type_name(expected) || is_one_of(expected, {"integer", "integer index", "string key"})) &&
           is_type_name(found);
}

// The kinds each instruction may fail with. OutOfMemory comes from the
// engine's limits: arrays past half of physical memory, and texts (joined,
// cast, printed or traced) past 1 GiB.
HARNESS bool kind_allowed(Opcode op, VmErrorKind k) {
    using K = VmErrorKind;
    switch (op) {
        case Opcode::LoadConstR:
        case Opcode::LoadGlobalR:
        case Opcode::StoreGlobalR:
            return k == K::InvalidConstantIndex;
        case Opcode::StrLenR:
        case Opcode::ArrayLenR:
        case Opcode::DictGetR:
        case Opcode::DictSetR:
        case Opcode::DictRemoveR:
        case Opcode::DictContainsR:
        case Opcode::DictKeysR:
        case Opcode::DictValuesR:
        case Opcode::DictClearR:
        case Opcode::DictLenR:
            return k == K::TypeMismatch;
        case Opcode::CastR:
            return k == K::TypeMismatch || k == K::OutOfMemory;
        case Opcode::AddR:
            return k == K::TypeMismatch || k == K::IntegerOverflow || k == K::OutOfMemory;
        case Opcode::SubR:
        case Opcode::MulR:
            return k == K::TypeMismatch || k == K::IntegerOverflow;
        case Opcode::DivR:
        case Opcode::ModR:
            return k == K::TypeMismatch || k == K::IntegerOverflow || k == K::DivisionByZero;
        case Opcode::NegR:
            return k == K::IntegerOverflow || k == K::InvalidOperation;
        case Opcode::LtR:
        case Opcode::GtR:
        case Opcode::GteR:
            return k == K::InvalidComparison;
        case Opcode::LteR:  // its debug trace line renders both operands
            return k == K::InvalidComparison || k == K::OutOfMemory;
        case Opcode::CallR:  // its debug trace lines render the arguments
            return k == K::UndefinedFunction || k == K::StackOverflow || k == K::OutOfMemory;
        case Opcode::AssertR:
            return k == K::AssertionFailed || k == K::InvalidConstantIndex;
        case Opcode::ConcatStrR:
        case Opcode::DebugPrint:
            return k == K::OutOfMemory;
        case Opcode::NewArrayR:
            return k == K::TypeMismatch || k == K::InvalidOperation || k == K::OutOfMemory;
        case Opcode::ArrayGetR:
        case Opcode::ArraySetR:
            return k == K::TypeMismatch || k == K::IndexOutOfBounds;
        default:
            return false;
    }
}

HARNESS void check_error(const VmState& s, const Instruction& ins, const RunError& error) {
    const VmError* e = std::get_if<VmError>(&error);
    if (e == nullptr) reject("internal fault", std::get<InternalFault>(error).message);
    const std::string message = e->message();
    if (!kind_allowed(ins.op, e->kind))
        reject("error kind this instruction never produces",
               std::string(info(ins.op).name) + " -> " + std::string(kind_name(e->kind)) + ": " + message);
    bool ok = false;
    switch (e->kind) {
        case VmErrorKind::TypeMismatch:
            ok = type_mismatch_ok(*e) && message == "Type mismatch: expected " + e->first + ", found " + e->second;
            break;
        case VmErrorKind::DivisionByZero:
            ok = message == "Division by zero";
            break;
        case VmErrorKind::IntegerOverflow:
            ok = message == "Integer overflow";
            break;
        case VmErrorKind::StackOverflow:
            ok = message == "Stack overflow" && s.call_stack.size() == kMaxCallDepth;
            break;
        case VmErrorKind::OutOfMemory:
            ok = message == "Out of memory";
            break;
        case VmErrorKind::IndexOutOfBounds:
            ok = is_decimal(e->first, true) && is_decimal(e->second, false) &&
                 message == "Index out of bounds: index " + e->first + " for length " + e->second;
            break;
        case VmErrorKind::UndefinedFunction:
            ok = message == "Undefined function: " + e->first;
            break;
        case VmErrorKind::InvalidOperation:
            ok = (e->first == "negation" && is_debug_name(e->second) && e->second != "Int" && e->second != "Float") ||
                 (e->first == "create array" && e->second.rfind("negative size: -", 0) == 0 &&
                  is_decimal(std::string_view(e->second).substr(15), true));
            ok = ok && message == "Invalid operation: " + e->first + " on type " + e->second;
            break;
        case VmErrorKind::InvalidComparison:
            ok = is_debug_name(e->first) && is_debug_name(e->second) &&
                 message == "Invalid comparison: " + e->first + " and " + e->second;
            break;
        case VmErrorKind::AssertionFailed:
            ok = message == "Assertion failed: " + e->first;
            break;
        case VmErrorKind::InvalidConstantIndex: {
            ok = is_decimal(e->first, false) && message == "Invalid constant index: " + e->first;
            if (ok) {
                // Only an index past the pool, or one that must name a string
                // and does not, is invalid.
                const unsigned long index = std::strtoul(e->first.c_str(), nullptr, 10);
                ok = index == ins.index() &&
                     (index >= s.constants.size() || (ins.op != Opcode::LoadConstR && !s.constants[index].is_string()));
            }
            break;
        }
        default:
            ok = false;
            break;
    }
    if (!ok) reject("malformed error", std::string(info(ins.op).name) + ": " + message);
}

// ---- the harness's run loop --------------------------------------------------------------

enum class Ending { Finished, Budget, Guard };

struct Outcome {
    bool ok = true;
    std::optional<Value> value;
    std::string error;
};

struct Stepper {
    size_t budget = kStepBudget;
    Ending ending = Ending::Finished;
    bool order_sensitive = false;
    std::vector<bool> declared = std::vector<bool>(kRegisterCount, false);

    HARNESS void check_register(const VmState& s, size_t r) {
        if (!declared[r] && s.register_types[r] != s.registers[r].type())
            reject("type tag differs from the register's value", "r" + std::to_string(r));
    }

    // After every step: the step's own registers (and the saved range after
    // a call or return); every register each 64 steps and at the end.
    HARNESS void check_invariants(const VmState& s, const Instruction& ins, bool all) {
        if (s.call_stack.size() > kMaxCallDepth) reject("call stack beyond its limit", "");
        if (all) {
            for (size_t r = 0; r < kRegisterCount; ++r) check_register(s, r);
            return;
        }
        check_register(s, ins.a);
        check_register(s, ins.b);
        check_register(s, ins.c);
        if (ins.op == Opcode::CallR || ins.op == Opcode::ReturnR)
            for (size_t r = 0; r < kSavedRegisters; ++r) check_register(s, r);
    }

    // Mirrors run(): start at "main", nothing when halted, then fetch, advance,
    // count, trace, execute, until the end, a halt, an error or the budget.
    HARNESS Outcome run(VmState& s) {
        if (!s.module) reject("no module", "");
        const auto& functions = s.module->functions;
        if (auto main = functions.find(std::string_view("main")); main != functions.end()) s.pc = main->second;
        if (s.halted) return {};
        Outcome out;
        for (;;) {
            if (s.pc >= s.instructions.size()) break;
            if (budget == 0) {
                ending = Ending::Budget;
                break;
            }
            const uint64_t index = s.pc;
            const Instruction ins = s.instructions[index];
            if (!within_guard(s, ins, order_sensitive)) {
                ending = Ending::Guard;
                break;
            }
            if (ins.op == Opcode::DefineR) declared[ins.a] = true;
            s.pc = index + 1;
            ++s.instruction_count;
            --budget;
            if (s.debug) {
                std::string line = trace::fetch_line(index, ins);
                if (auto problem = write_stdout_line(line)) reject("trace write failed", *problem);
            }
            auto step = execute_instruction(s, ins);
            if (!step) {
                check_error(s, ins, step.error());
                check_invariants(s, ins, true);
                out.ok = false;
                out.error = std::get<VmError>(step.error()).message();
                out.value.reset();
                return out;
            }
            check_invariants(s, ins, budget % 64 == 0);
            if (step.value()) out.value = std::move(*step.value());
            if (s.halted) break;
        }
        check_invariants(s, Instruction{}, true);
        return out;
    }
};

// A comparable text of a value that does not depend on map order:
// dictionary entries are sorted by key. Deep or large values are cut short
// the same way on both sides.
HARNESS void canonical(std::string& out, const Value& v, int depth) {
    if (depth > 64 || out.size() > (1 << 16)) {
        out += "...";
        return;
    }
    switch (v.type()) {
        case ValueType::Array:
            out += '[';
            for (const Value& item : v.items()) {
                canonical(out, item, depth + 1);
                out += ',';
            }
            out += ']';
            return;
        case ValueType::Dict: {
            std::vector<std::pair<std::string_view, const Value*>> entries;
            v.entries().for_each(
                [&](const Value& key, const Value& value) { entries.emplace_back(key.text(), &value); });
            std::sort(entries.begin(), entries.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
            out += '{';
            for (const auto& [key, value] : entries) {
                append_debug_string(out, key);
                out += ':';
                canonical(out, *value, depth + 1);
                out += ',';
            }
            out += '}';
            return;
        }
        case ValueType::Float: {
            // Bits, so NaN compares equal to itself.
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "F%016llx",
                          static_cast<unsigned long long>(std::bit_cast<uint64_t>(v.as_float())));
            out += buffer;
            return;
        }
        default:
            append_debug_form(out, v);
            return;
    }
}

HARNESS std::string summary(const Value& v) {
    std::string out;
    canonical(out, v, 0);
    return out;
}

HARNESS std::string summary(const Outcome& o) {
    if (!o.ok) return "error: " + o.error;
    return o.value ? "value: " + summary(*o.value) : "none";
}

HARNESS std::string state_summary(const VmState& s) {
    std::string out = "pc=" + std::to_string(s.pc) + " count=" + std::to_string(s.instruction_count) +
                      " halted=" + std::to_string(s.halted) + " frames=" + std::to_string(s.call_stack.size()) +
                      " scopes=" + std::to_string(s.scope_stack.size()) +
                      " globals=" + std::to_string(s.globals.size()) +
                      " last_jump=" + (s.last_jump ? std::to_string(*s.last_jump) : "none");
    for (size_t r = 0; r < kRegisterCount; ++r) {
        if (s.registers[r].is(ValueType::Empty) && s.register_types[r] == ValueType::Empty) continue;
        out += " r" + std::to_string(r) + ":" + std::string(debug_name(s.register_types[r])) + "=" +
               summary(s.registers[r]);
    }
    return out;
}

HARNESS Outcome product_run(VmState& s) {
    auto result = run(s);
    Outcome out;
    if (result) {
        out.value = std::move(result).value();
        return out;
    }
    const RunError& error = result.error();
    if (const VmError* e = std::get_if<VmError>(&error)) {
        out.ok = false;
        out.error = e->message();
        return out;
    }
    reject("internal fault from run()", std::get<InternalFault>(error).message);
}

// ---- structure-aware mutation ---------------------------------------------------------------

struct Rng {
    uint64_t state;
    explicit Rng(uint64_t seed) : state(seed * 0x9e3779b97f4a7c15ULL + 1) {}
    uint64_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    uint32_t below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(next() % n); }
    bool chance(uint32_t one_in) { return below(one_in) == 0; }
};

// Register numbers: mostly a small hot set so values flow between
// instructions, sometimes the edges of the saved range, the argument range,
// or anything.
HARNESS uint8_t pick_register(Rng& rng) {
    switch (rng.below(16)) {
        case 0:
            return static_cast<uint8_t>(rng.below(256));
        case 1:
            return static_cast<uint8_t>(62 + rng.below(4));  // around the last saved register
        case 2:
            return static_cast<uint8_t>(14 + rng.below(4));  // around the last argument register
        case 3:
            return 255;
        default:
            return static_cast<uint8_t>(rng.below(8));
    }
}

HARNESS uint16_t pick_constant_index(Rng& rng, const Module& m) {
    const uint32_t n = static_cast<uint32_t>(m.constants.size());
    if (n == 0 || rng.chance(12)) return static_cast<uint16_t>(rng.chance(2) ? n : rng.below(65536));
    return static_cast<uint16_t>(rng.below(n));
}

HARNESS uint16_t pick_type_id(Rng& rng, const Module& m) {
    if ((m.flags & kFlagExtras) && rng.chance(6)) return static_cast<uint16_t>(0xFF00 | rng.below(256));
    if (rng.chance(10)) return static_cast<uint16_t>(rng.below(65536));
    return static_cast<uint16_t>(rng.below(10));
}

HARNESS int32_t pick_offset(Rng& rng, size_t code_size) {
    switch (rng.below(10)) {
        case 0:
            return static_cast<int32_t>(rng.next());
        case 1:
            return static_cast<int32_t>(code_size);
        case 2:
            return -static_cast<int32_t>(rng.below(static_cast<uint32_t>(code_size) + 2));
        default:
            return static_cast<int32_t>(rng.below(13)) - 6;
    }
}

HARNESS Instruction random_instruction(Rng& rng, const Module& m) {
    // Weighted towards the kinds that build and take apart values.
    static constexpr Opcode kCommon[] = {
        Opcode::LoadConstR, Opcode::LoadConstR, Opcode::LoadConstR, Opcode::MoveR,     Opcode::AddR,
        Opcode::ConcatStrR, Opcode::NewArrayR,  Opcode::ArraySetR,  Opcode::ArrayGetR, Opcode::DictNewR,
        Opcode::DictSetR,   Opcode::DictGetR,   Opcode::CallR,      Opcode::ReturnR,   Opcode::JumpIfR,
        Opcode::JumpIfNotR, Opcode::EqR,        Opcode::LtR,        Opcode::CastR,     Opcode::StoreGlobalR,
        Opcode::LoadGlobalR};
    Opcode op;
    if (rng.chance(3)) {
        op = kCommon[rng.below(sizeof kCommon / sizeof kCommon[0])];
    } else {
        do {
            op = static_cast<Opcode>(rng.below(kOpcodeCount));
        } while (!info(op).encodable);
    }
    if (op == Opcode::CallR) {
        std::vector<uint8_t> args(rng.chance(8) ? 16 + rng.below(4) : rng.below(4));
        for (uint8_t& a : args) a = pick_register(rng);
        return Instruction::call(pick_register(rng), std::move(args), pick_register(rng));
    }
    if (op == Opcode::ReturnR) {
        return rng.chance(4) ? Instruction::return_none() : Instruction::make(op, {pick_register(rng)});
    }
    Instruction ins = Instruction::make(op);
    ins.a = pick_register(rng);
    ins.b = pick_register(rng);
    ins.c = pick_register(rng);
    for (size_t i = 0; i < info(op).operand_count(); ++i) {
        const OperandSpec& spec = info(op).operands[i];
        if (spec.kind == OperandKind::Offset) ins.wide = static_cast<uint32_t>(pick_offset(rng, m.instructions.size()));
        if (spec.kind == OperandKind::U16) {
            const bool is_type = spec.name == "type_id" || spec.name == "to_type";
            ins.wide = is_type ? pick_type_id(rng, m) : pick_constant_index(rng, m);
        }
    }
    return ins;
}

HARNESS std::string random_text(Rng& rng, const Module& m) {
    static constexpr std::string_view kTexts[] = {"main", "f",      "g",   "",  "a", "key", "héllo", "\xF0\x9F\x98\x80",
                                                  "x y",  "func_0", "123", "-1"};
    if (!m.functions.empty() && rng.chance(3)) {
        auto it = m.functions.begin();
        std::advance(it, rng.below(static_cast<uint32_t>(m.functions.size())));
        return it->first;
    }
    if ((m.flags & kFlagExtras) && rng.chance(5))
        return std::string(rng.chance(2) ? "@url:" : "@fn:") + std::string(kTexts[rng.below(12)]);
    if (rng.chance(6)) return std::string(rng.below(40), static_cast<char>('a' + rng.below(26)));
    return std::string(kTexts[rng.below(12)]);
}

HARNESS Constant random_constant(Rng& rng, const Module& m) {
    static constexpr int64_t kInts[] = {0, 1, 2, 3, -1, 7, 16, 64, 1000, INT64_MAX, INT64_MIN, 1LL << 40, -3};
    static constexpr double kFloats[] = {0.0,
                                         -0.0,
                                         0.5,
                                         1.0,
                                         2.0,
                                         3.5,
                                         -1.5,
                                         1e23,
                                         1e-7,
                                         9.2233720368547758e18,
                                         __builtin_inf(),
                                         -__builtin_inf(),
                                         __builtin_nan("")};
    switch (rng.below(8)) {
        case 0:
        case 1:
            return Constant::of_int(kInts[rng.below(13)]);
        case 2:
            return Constant::of_int(static_cast<int64_t>(rng.below(12)));
        case 3:
            return Constant::of_float(kFloats[rng.below(13)]);
        case 4:
        case 5:
            return Constant::of_string(random_text(rng, m));
        case 6:
            return Constant::of_bool(rng.chance(2));
        default:
            return Constant::empty();
    }
}

HARNESS void mutate_module(Rng& rng, Module& m) {
    const size_t n = m.instructions.size();
    switch (rng.below(12)) {
        case 0:
        case 1:  // insert
            if (n < 512)
                m.instructions.insert(m.instructions.begin() + rng.below(static_cast<uint32_t>(n) + 1),
                                      random_instruction(rng, m));
            break;
        case 2: {  // insert a comparison and a conditional jump on its result (the engine fuses them),
                   // half the time after an AddR whose result it compares (a loop's increment, test
                   // and jump back, which the engine runs as one group)
            if (n >= 510) break;
            static constexpr Opcode kCompares[] = {Opcode::LtR,  Opcode::LteR, Opcode::GtR,
                                                   Opcode::GteR, Opcode::EqR,  Opcode::NeqR};
            const uint8_t dst = pick_register(rng);
            Instruction compare = Instruction::make(kCompares[rng.below(6)]);
            compare.a = dst;
            compare.b = pick_register(rng);
            compare.c = pick_register(rng);
            Instruction jump = Instruction::make(rng.chance(2) ? Opcode::JumpIfR : Opcode::JumpIfNotR);
            jump.a = dst;
            jump.wide = static_cast<uint32_t>(pick_offset(rng, n));
            auto at = m.instructions.begin() + rng.below(static_cast<uint32_t>(n) + 1);
            if (rng.chance(2)) {
                Instruction add = Instruction::make(Opcode::AddR);
                add.a = compare.b;
                add.b = rng.chance(2) ? add.a : pick_register(rng);
                add.c = pick_register(rng);
                at = m.instructions.insert(at, add) + 1;
            }
            m.instructions.insert(m.instructions.insert(at, compare) + 1, jump);
            break;
        }
        case 3:  // delete
            if (n > 0) m.instructions.erase(m.instructions.begin() + rng.below(static_cast<uint32_t>(n)));
            break;
        case 4:
        case 5:  // replace
            if (n > 0) m.instructions[rng.below(static_cast<uint32_t>(n))] = random_instruction(rng, m);
            break;
        case 6: {  // change one operand
            if (n == 0) break;
            Instruction& ins = m.instructions[rng.below(static_cast<uint32_t>(n))];
            switch (rng.below(4)) {
                case 0:
                    ins.a = pick_register(rng);
                    break;
                case 1:
                    ins.b = pick_register(rng);
                    break;
                case 2:
                    ins.c = pick_register(rng);
                    break;
                default:
                    if (ins.op == Opcode::JumpR || ins.op == Opcode::JumpIfR || ins.op == Opcode::JumpIfNotR)
                        ins.wide = static_cast<uint32_t>(pick_offset(rng, n));
                    else if (ins.op == Opcode::CastR || ins.op == Opcode::DefineR || ins.op == Opcode::CheckTypeR)
                        ins.wide = pick_type_id(rng, m);
                    else if (ins.op != Opcode::ReturnR && ins.op != Opcode::CallR)
                        ins.wide = pick_constant_index(rng, m);
                    break;
            }
            break;
        }
        case 7: {  // duplicate a run of instructions
            if (n == 0 || n >= 512) break;
            const uint32_t from = rng.below(static_cast<uint32_t>(n));
            const uint32_t len = 1 + rng.below(std::min<uint32_t>(8, static_cast<uint32_t>(n) - from));
            std::vector<Instruction> run(m.instructions.begin() + from, m.instructions.begin() + from + len);
            m.instructions.insert(m.instructions.begin() + rng.below(static_cast<uint32_t>(n) + 1), run.begin(),
                                  run.end());
            break;
        }
        case 8:  // add a constant
            if (m.constants.size() < 1024) m.constants.push_back(random_constant(rng, m));
            break;
        case 9:  // replace a constant
            if (!m.constants.empty())
                m.constants[rng.below(static_cast<uint32_t>(m.constants.size()))] = random_constant(rng, m);
            break;
        case 10: {  // add or move a function entry, and name it in the pool
            static constexpr std::string_view kNames[] = {"main", "f", "g", "h", "func_0", "func_3"};
            std::string name(kNames[rng.below(6)]);
            m.functions[name] = rng.chance(8) ? rng.below(1u << 31) : rng.below(static_cast<uint32_t>(n) + 1);
            if (rng.chance(2) && m.constants.size() < 1024) m.constants.push_back(Constant::of_string(name));
            break;
        }
        default:  // harness controls
            m.flags ^= rng.chance(2) ? kFlagDebug : kFlagExtras;
            break;
    }
}

// A recursive function "rec" appended to `m`: rec(n) writes a few random
// registers, returns when n is not above 0, else calls itself with n - 1
// (through its name constant, so the quiet loop's quick call runs) and
// returns what it got. Main's first instructions call it with a small n,
// or one past the call-depth limit. The shapes below reach each way the
// machine code's quick call and return can go: frames of r0..r7 alone or
// of more groups (a write to r20), a second argument from any register
// (heap values too), results into r0..r7 or above.
HARNESS void add_recursion(Rng& rng, Module& m) {
    const auto constant = [&](Constant c) {
        m.constants.push_back(std::move(c));
        return static_cast<int64_t>(m.constants.size() - 1);
    };
    const int64_t name = constant(Constant::of_string("rec"));
    const int64_t one = constant(Constant::of_int(1));
    const int64_t zero = constant(Constant::of_int(0));
    const int64_t depth = constant(Constant::of_int(rng.chance(8) ? 1001 : rng.below(40)));
    const auto I = [](Opcode op, std::initializer_list<int64_t> operands) { return Instruction::make(op, operands); };
    const uint64_t entry = m.instructions.size();
    m.instructions.push_back(I(Opcode::LoadConstR, {70, one}));
    m.instructions.push_back(I(Opcode::LoadConstR, {71, zero}));
    for (uint32_t i = 0, n = rng.below(4); i < n; ++i) m.instructions.push_back(random_instruction(rng, m));
    if (rng.chance(3)) m.instructions.push_back(I(Opcode::LoadConstR, {20, one}));
    m.instructions.push_back(I(Opcode::GtR, {72, 0, 71}));
    m.instructions.push_back(I(Opcode::JumpIfNotR, {72, 3}));
    m.instructions.push_back(I(Opcode::SubR, {1, 0, 70}));
    m.instructions.push_back(I(Opcode::LoadConstR, {73, name}));
    std::vector<uint8_t> args = {1};
    if (rng.chance(3)) args.push_back(pick_register(rng));
    m.instructions.push_back(Instruction::call(73, std::move(args), static_cast<uint8_t>(rng.chance(2) ? 2 : 80)));
    m.instructions.push_back(rng.chance(4) ? Instruction::return_none() : I(Opcode::ReturnR, {rng.chance(2) ? 0 : 2}));
    m.functions["rec"] = entry;
    std::vector<Instruction> call = {I(Opcode::LoadConstR, {73, name}), I(Opcode::LoadConstR, {0, depth}),
                                     Instruction::call(73, {0}, pick_register(rng))};
    m.instructions.insert(m.instructions.begin(), call.begin(), call.end());
    for (auto& [function, at] : m.functions) at += call.size();
    m.functions["main"] = 0;
}

HARNESS Module fresh_module(Rng& rng) {
    Module m;
    m.name = "fuzz";
    m.version = 1;
    m.flags = rng.below(4);
    const uint32_t constants = 2 + rng.below(8);
    for (uint32_t i = 0; i < constants; ++i) m.constants.push_back(random_constant(rng, m));
    const uint32_t count = 1 + rng.below(32);
    for (uint32_t i = 0; i < count; ++i) m.instructions.push_back(random_instruction(rng, m));
    m.functions["main"] = 0;
    if (rng.chance(2)) {
        m.functions["f"] = rng.below(count);
        m.constants.push_back(Constant::of_string("f"));
    }
    if (rng.chance(3)) add_recursion(rng, m);
    return m;
}

HARNESS size_t store(const Module& m, uint8_t* data, size_t max_size) {
    std::vector<uint8_t> bytes = fuzzing::write_module(m);
    if (bytes.size() > max_size) return 0;
    std::memcpy(data, bytes.data(), bytes.size());
    return bytes.size();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // DebugPrint, BreakPoint and the trace write to fd 1; keep libFuzzer's
    // own output (stderr) readable.
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) {
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
    return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned int seed) {
    Rng rng(seed);
    auto decoded = decode_module({data, size});
    if (rng.chance(8) || (!decoded && rng.chance(2))) return LLVMFuzzerMutate(data, size, max_size);
    Module m = decoded ? std::move(decoded).value() : fresh_module(rng);
    const uint32_t rounds = 1 + rng.below(4);
    for (uint32_t i = 0; i < rounds; ++i) mutate_module(rng, m);
    size_t written = store(m, data, max_size);
    return written != 0 ? written : LLVMFuzzerMutate(data, size, max_size);
}

extern "C" size_t LLVMFuzzerCustomCrossOver(const uint8_t* data1, size_t size1, const uint8_t* data2, size_t size2,
                                            uint8_t* out, size_t max_out_size, unsigned int seed) {
    Rng rng(seed);
    auto a = decode_module({data1, size1});
    auto b = decode_module({data2, size2});
    if (!a || !b) return 0;
    Module m = std::move(a).value();
    const Module& other = b.value();
    // The first module's head, then the second's tail; constants of both.
    const size_t cut_a = rng.below(static_cast<uint32_t>(m.instructions.size()) + 1);
    const size_t cut_b = rng.below(static_cast<uint32_t>(other.instructions.size()) + 1);
    m.instructions.resize(cut_a);
    m.instructions.insert(m.instructions.end(), other.instructions.begin() + cut_b, other.instructions.end());
    for (const Constant& c : other.constants)
        if (m.constants.size() < 1024) m.constants.push_back(c);
    for (const auto& [name, entry] : other.functions) m.functions.try_emplace(name, entry);
    return store(m, out, max_out_size);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto decoded = decode_module({data, size});
    if (!decoded) return 0;  // the decoder's failures are the decoder target's business
    Module module = std::move(decoded).value();
    if (module.flags & kFlagExtras) apply_extras(module);
    const bool debug = (module.flags & kFlagDebug) != 0;

    VmState stepped;
    stepped.debug = debug;
    stepped.reset_for_module(module);
    Stepper stepper;
    Outcome first = stepper.run(stepped);
    std::optional<Outcome> second;
    if (stepper.ending == Ending::Finished) second = stepper.run(stepped);

    if (stepper.ending != Ending::Finished || stepper.order_sensitive) return 0;

    // The product's loop must agree with the harness's step by step run.
    Module module_copy = module;
    Module tiered_copy = module;
    VmState whole;
    whole.debug = debug;
    whole.reset_for_module(std::move(module));
    Outcome whole_first = product_run(whole);
    Outcome whole_second = product_run(whole);
    const std::string expected = summary(first) + " | " + summary(*second) + " | " + state_summary(stepped);
    const std::string actual = summary(whole_first) + " | " + summary(whole_second) + " | " + state_summary(whole);
    if (expected != actual) reject("run() differs from stepping", expected + "\n  vs\n" + actual);

    // And so must the machine-code tier (in builds that have it), with the
    // whole list compiled before the first instruction runs.
    if (!debug) {
        VmState compiled;
        compiled.reset_for_module(std::move(module_copy));
        setenv("TARNEL_JIT", "always", 1);
        Outcome compiled_first = product_run(compiled);
        Outcome compiled_second = product_run(compiled);
        unsetenv("TARNEL_JIT");
        const std::string machine =
            summary(compiled_first) + " | " + summary(compiled_second) + " | " + state_summary(compiled);
        if (expected != machine) reject("machine code differs from stepping", expected + "\n  vs\n" + machine);

        VmState tiered;
        tiered.testing.hot_threshold = 1 + size % 64;
        tiered.reset_for_module(std::move(tiered_copy));
        Outcome tiered_first = product_run(tiered);
        Outcome tiered_second = product_run(tiered);
        const std::string tiered_up =
            summary(tiered_first) + " | " + summary(tiered_second) + " | " + state_summary(tiered);
        if (expected != tiered_up) reject("tiering up differs from stepping", expected + "\n  vs\n" + tiered_up);
    }
    return 0;
}
