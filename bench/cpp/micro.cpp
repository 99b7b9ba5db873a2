// C++ micro-benchmarks of the execution loop, without Python in the way.
//
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release
//         -DTARNEL_BUILD_BENCH=ON -DTARNEL_BUILD_EXTENSION=OFF
//   cmake --build build/bench
//   build/bench/tarnel_bench [--runs N] [--quick] [NAME...]
//
// Each workload is a module assembled in memory with the C++ API. A run
// installs a fresh copy with VmState::reset_for_module (not timed) and times
// run() with std::chrono::steady_clock; one untimed warm-up run comes first.
// Prints, per workload, the median time, the instructions executed per run,
// instructions per second and nanoseconds per instruction, and checks the
// result. The first four are the loop, call, float and array measurements;
// sieve, dict and string repeat the Python suite's other workloads so that
// they can be profiled without Python around them. NAME selects workloads,
// which is handy under perf or callgrind.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "loader/module.hpp"
#include "vm/engine.hpp"
#include "vm/state.hpp"

using namespace tarnel;

namespace {

// A tiny assembler: constants, labels and jump fix-ups over Instruction::make.
class Program {
public:
    uint16_t constant(Constant c) {
        constants_.push_back(std::move(c));
        return static_cast<uint16_t>(constants_.size() - 1);
    }
    uint16_t int_const(int64_t v) { return constant(Constant::of_int(v)); }
    uint16_t float_const(double v) { return constant(Constant::of_float(v)); }
    uint16_t string_const(std::string s) { return constant(Constant::of_string(std::move(s))); }
    uint16_t bool_const(bool v) { return constant(Constant::of_bool(v)); }

    void op(Opcode code, std::initializer_list<int64_t> operands) {
        code_.push_back(Instruction::make(code, operands));
    }
    void call(uint8_t func, std::vector<uint8_t> args, uint8_t dst) {
        code_.push_back(Instruction::call(func, std::move(args), dst));
    }
    void ret(uint8_t src) { op(Opcode::ReturnR, {src}); }
    // JumpR (cond < 0), JumpIfR or JumpIfNotR to a label.
    void jump(Opcode code, int cond, const std::string& label) {
        fixups_.push_back({code_.size(), label});
        if (cond < 0)
            op(code, {0});
        else
            op(code, {cond, 0});
    }
    void label(const std::string& name) { labels_[name] = code_.size(); }
    void function(const std::string& name) { functions_[name] = code_.size(); }

    Module finish(const std::string& name) {
        for (const auto& [at, label] : fixups_) {
            auto found = labels_.find(label);
            if (found == labels_.end()) {
                std::fprintf(stderr, "%s: no label %s\n", name.c_str(), label.c_str());
                std::exit(2);
            }
            // Offsets count from the instruction after the jump.
            int64_t offset = static_cast<int64_t>(found->second) - static_cast<int64_t>(at + 1);
            code_[at].wide = static_cast<uint32_t>(static_cast<int32_t>(offset));
        }
        Module m;
        m.name = name;
        m.version = 1;
        m.constants = std::move(constants_);
        m.functions = std::move(functions_);
        m.instructions = std::move(code_);
        return m;
    }

private:
    std::vector<Instruction> code_;
    std::vector<Constant> constants_;
    TextMap<uint64_t> functions_;
    std::map<std::string, size_t> labels_;
    std::vector<std::pair<size_t, std::string>> fixups_;
};

using Op = Opcode;

// sum of i for 0 <= i < n; four instructions per iteration.
Module int_loop(int64_t n) {
    Program p;
    p.function("main");
    p.op(Op::LoadConstR, {0, p.int_const(0)});  // i
    p.op(Op::LoadConstR, {1, p.int_const(0)});  // sum
    p.op(Op::LoadConstR, {2, p.int_const(n)});
    p.op(Op::LoadConstR, {3, p.int_const(1)});
    p.op(Op::LtR, {4, 0, 2});
    p.jump(Op::JumpIfNotR, 4, "done");
    p.label("loop");
    p.op(Op::AddR, {1, 1, 0});
    p.op(Op::AddR, {0, 0, 3});
    p.op(Op::LtR, {4, 0, 2});
    p.jump(Op::JumpIfR, 4, "loop");
    p.label("done");
    p.ret(1);
    return p.finish("int_loop");
}

// Recursive fib(n) through CallR; the callee's name and the constants 1 and
// 2 live in r64 and up, which calls do not save.
Module fib(int64_t n) {
    Program p;
    p.function("main");
    p.op(Op::LoadConstR, {64, p.string_const("fib")});
    p.op(Op::LoadConstR, {65, p.int_const(1)});
    p.op(Op::LoadConstR, {66, p.int_const(2)});
    p.op(Op::LoadConstR, {1, p.int_const(n)});
    p.call(64, {1}, 0);
    p.ret(0);
    p.function("fib");
    p.op(Op::LtR, {2, 0, 66});
    p.jump(Op::JumpIfNotR, 2, "recurse");
    p.ret(0);
    p.label("recurse");
    p.op(Op::SubR, {3, 0, 65});
    p.call(64, {3}, 5);
    p.op(Op::SubR, {3, 0, 66});
    p.call(64, {3}, 6);
    p.op(Op::AddR, {7, 5, 6});
    p.ret(7);
    return p.finish("fib");
}

// Leibniz series, 4 * sum of (-1)^k / (2k + 1); seven instructions per term.
Module float_loop(int64_t n) {
    Program p;
    p.function("main");
    p.op(Op::LoadConstR, {0, p.int_const(0)});  // k
    p.op(Op::LoadConstR, {1, p.int_const(n)});
    p.op(Op::LoadConstR, {2, p.int_const(1)});
    p.op(Op::LoadConstR, {3, p.float_const(0.0)});  // sum
    p.op(Op::LoadConstR, {4, p.float_const(1.0)});  // sign
    p.op(Op::LoadConstR, {5, p.float_const(1.0)});  // denominator
    p.op(Op::LoadConstR, {6, p.float_const(2.0)});
    p.op(Op::LtR, {7, 0, 1});
    p.jump(Op::JumpIfNotR, 7, "done");
    p.label("loop");
    p.op(Op::DivR, {8, 4, 5});
    p.op(Op::AddR, {3, 3, 8});
    p.op(Op::AddR, {5, 5, 6});
    p.op(Op::NegR, {4, 4});
    p.op(Op::AddR, {0, 0, 2});
    p.op(Op::LtR, {7, 0, 1});
    p.jump(Op::JumpIfR, 7, "loop");
    p.label("done");
    p.op(Op::LoadConstR, {9, p.float_const(4.0)});
    p.op(Op::MulR, {3, 3, 9});
    p.ret(3);
    return p.finish("float_loop");
}

// a = NewArrayR(n); a[i] = i for 0 <= i < n with ArraySetR; returns the length.
Module array_fill(int64_t n) {
    Program p;
    p.function("main");
    p.op(Op::LoadConstR, {0, p.int_const(n)});
    p.op(Op::NewArrayR, {1, 0});
    p.op(Op::LoadConstR, {3, p.int_const(1)});
    p.op(Op::LoadConstR, {2, p.int_const(0)});  // i
    p.op(Op::LtR, {4, 2, 0});
    p.jump(Op::JumpIfNotR, 4, "done");
    p.label("fill");
    p.op(Op::ArraySetR, {1, 2, 2});
    p.op(Op::AddR, {2, 2, 3});
    p.op(Op::LtR, {4, 2, 0});
    p.jump(Op::JumpIfR, 4, "fill");
    p.label("done");
    p.op(Op::ArrayLenR, {5, 1});
    p.ret(5);
    return p.finish("array_fill");
}

// The suite's other workloads (bench/workloads.py), here for profiling
// without Python around them.

// Sieve of Eratosthenes on an array: primes below n.
Module sieve(int64_t n) {
    Program p;
    p.function("main");
    p.op(Op::LoadConstR, {0, p.int_const(n)});
    p.op(Op::NewArrayR, {1, 0});
    p.op(Op::LoadConstR, {2, p.int_const(2)});  // i
    p.op(Op::LoadConstR, {3, p.int_const(0)});  // primes found
    p.op(Op::LoadConstR, {4, p.int_const(1)});
    p.op(Op::LoadConstR, {9, p.bool_const(true)});
    p.op(Op::LtR, {5, 2, 0});
    p.jump(Op::JumpIfNotR, 5, "done");
    p.label("outer");
    p.op(Op::ArrayGetR, {6, 1, 2});
    p.jump(Op::JumpIfR, 6, "next");
    p.op(Op::AddR, {3, 3, 4});
    p.op(Op::MulR, {7, 2, 2});
    p.op(Op::LtR, {5, 7, 0});
    p.jump(Op::JumpIfNotR, 5, "next");
    p.label("inner");
    p.op(Op::ArraySetR, {1, 7, 9});
    p.op(Op::AddR, {7, 7, 2});
    p.op(Op::LtR, {5, 7, 0});
    p.jump(Op::JumpIfR, 5, "inner");
    p.label("next");
    p.op(Op::AddR, {2, 2, 4});
    p.op(Op::LtR, {5, 2, 0});
    p.jump(Op::JumpIfR, 5, "outer");
    p.label("done");
    p.ret(3);
    return p.finish("sieve");
}

// d["k" .. i] = i for 0 <= i < n, then the sum of d["k" .. i].
Module dict(int64_t n) {
    Program p;
    p.function("main");
    p.op(Op::LoadConstR, {0, p.int_const(n)});
    p.op(Op::DictNewR, {1});
    p.op(Op::LoadConstR, {3, p.int_const(1)});
    p.op(Op::LoadConstR, {7, p.string_const("k")});
    p.op(Op::LoadConstR, {2, p.int_const(0)});
    p.op(Op::LtR, {4, 2, 0});
    p.jump(Op::JumpIfNotR, 4, "built");
    p.label("insert");
    p.op(Op::ConcatStrR, {5, 7, 2});
    p.op(Op::DictSetR, {1, 5, 2});
    p.op(Op::AddR, {2, 2, 3});
    p.op(Op::LtR, {4, 2, 0});
    p.jump(Op::JumpIfR, 4, "insert");
    p.label("built");
    p.op(Op::LoadConstR, {2, p.int_const(0)});
    p.op(Op::LoadConstR, {6, p.int_const(0)});
    p.op(Op::LtR, {4, 2, 0});
    p.jump(Op::JumpIfNotR, 4, "done");
    p.label("read");
    p.op(Op::ConcatStrR, {5, 7, 2});
    p.op(Op::DictGetR, {8, 1, 5});
    p.op(Op::AddR, {6, 6, 8});
    p.op(Op::AddR, {2, 2, 3});
    p.op(Op::LtR, {4, 2, 0});
    p.jump(Op::JumpIfR, 4, "read");
    p.label("done");
    p.ret(6);
    return p.finish("dict");
}

// n one-character appends with ConcatStrR, then the length.
Module string_build(int64_t n) {
    Program p;
    p.function("main");
    p.op(Op::LoadConstR, {0, p.int_const(n)});
    p.op(Op::LoadConstR, {1, p.string_const("")});
    p.op(Op::LoadConstR, {2, p.string_const("x")});
    p.op(Op::LoadConstR, {4, p.int_const(1)});
    p.op(Op::LoadConstR, {3, p.int_const(0)});
    p.op(Op::LtR, {5, 3, 0});
    p.jump(Op::JumpIfNotR, 5, "done");
    p.label("loop");
    p.op(Op::ConcatStrR, {1, 1, 2});
    p.op(Op::AddR, {3, 3, 4});
    p.op(Op::LtR, {5, 3, 0});
    p.jump(Op::JumpIfR, 5, "loop");
    p.label("done");
    p.op(Op::StrLenR, {6, 1});
    p.ret(6);
    return p.finish("string");
}

struct Workload {
    const char* name;
    int64_t full;
    int64_t quick;
    std::function<Module(int64_t)> build;
    std::function<bool(const Value&, int64_t)> check;
};

bool is_int(const Value& v, int64_t expected) { return v.is(ValueType::Int) && v.as_int() == expected; }

int64_t fib_of(int64_t n) {
    int64_t a = 0, b = 1;
    for (int64_t i = 0; i < n; ++i) {
        int64_t t = a + b;
        a = b;
        b = t;
    }
    return a;
}

// Computed once per size, so that profiles of the sieve show the VM only.
int64_t primes_below(int64_t n) {
    static std::map<int64_t, int64_t> known;
    if (auto found = known.find(n); found != known.end()) return found->second;
    std::vector<bool> composite(static_cast<size_t>(std::max<int64_t>(n, 0)));
    int64_t count = 0;
    for (int64_t i = 2; i < n; ++i) {
        if (composite[i]) continue;
        ++count;
        for (int64_t j = i * i; j < n; j += i) composite[j] = true;
    }
    known[n] = count;
    return count;
}

const std::vector<Workload>& workloads() {
    static const std::vector<Workload> all = {
        {"int_loop", 10'000'000, 1'000'000, int_loop,
         [](const Value& v, int64_t n) { return is_int(v, n * (n - 1) / 2); }},
        {"fib", 27, 20, fib, [](const Value& v, int64_t n) { return is_int(v, fib_of(n)); }},
        {"float_loop", 5'000'000, 500'000, float_loop,
         [](const Value& v, int64_t n) {
             return v.is(ValueType::Float) && std::fabs(v.as_float() - M_PI) <= 2.0 / static_cast<double>(n);
         }},
        {"array_fill", 1'000'000, 100'000, array_fill, [](const Value& v, int64_t n) { return is_int(v, n); }},
        {"sieve", 1'000'000, 100'000, sieve, [](const Value& v, int64_t n) { return is_int(v, primes_below(n)); }},
        {"dict", 100'000, 10'000, dict, [](const Value& v, int64_t n) { return is_int(v, n * (n - 1) / 2); }},
        {"string", 100'000, 10'000, string_build, [](const Value& v, int64_t n) { return is_int(v, n); }},
    };
    return all;
}

struct Measurement {
    double seconds;
    uint64_t instructions;
    bool ok;
    std::string problem;
};

Measurement run_once(const Module& module, const Workload& w, int64_t n) {
    auto state = std::make_unique<VmState>();
    state->reset_for_module(module);
    uint64_t before = state->instruction_count;
    auto t0 = std::chrono::steady_clock::now();
    auto result = run(*state);
    auto t1 = std::chrono::steady_clock::now();
    Measurement m{std::chrono::duration<double>(t1 - t0).count(), state->instruction_count - before, true, {}};
    if (!result) {
        m.ok = false;
        const RunError& error = result.error();
        if (const VmError* e = std::get_if<VmError>(&error))
            m.problem = "run failed: " + e->message();
        else
            m.problem = "run failed: " + std::get<InternalFault>(error).message;
    } else if (!result.value() || !w.check(*result.value(), n)) {
        m.ok = false;
        m.problem = "wrong result";
    }
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 5;
    bool quick = false;
    std::vector<std::string> only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (argv[i][0] == '-') {
            std::fprintf(stderr, "usage: %s [--runs N] [--quick] [WORKLOAD ...]\n", argv[0]);
            return 2;
        } else {
            only.emplace_back(argv[i]);
        }
    }

    // The fastest run beside the median: on a shared machine, other work only
    // ever adds time, so the minimum is the steadier figure to compare builds by.
    std::printf("%-11s %11s %10s %10s %14s %14s %9s %8s\n", "workload", "n", "median s", "min s", "instr/run",
                "instr/s", "ns/instr", "spread");
    int failures = 0;
    for (const Workload& w : workloads()) {
        if (!only.empty() && std::find(only.begin(), only.end(), w.name) == only.end()) continue;
        int64_t n = quick ? w.quick : w.full;
        Module module = w.build(n);
        Measurement warm = run_once(module, w, n);  // warm-up, not reported
        if (!warm.ok) {
            std::printf("%-11s %11lld  %s\n", w.name, static_cast<long long>(n), warm.problem.c_str());
            ++failures;
            continue;
        }
        std::vector<double> times;
        uint64_t instructions = warm.instructions;
        for (int r = 0; r < runs; ++r) {
            Measurement m = run_once(module, w, n);
            if (!m.ok) {
                std::printf("%-11s %s\n", w.name, m.problem.c_str());
                ++failures;
                break;
            }
            times.push_back(m.seconds);
            instructions = m.instructions;
        }
        if (times.empty()) continue;
        std::sort(times.begin(), times.end());
        size_t k = times.size();
        double median = k % 2 ? times[k / 2] : (times[k / 2 - 1] + times[k / 2]) / 2;
        double spread = median > 0 ? (times.back() - times.front()) / median : 0.0;
        std::printf("%-11s %11lld %10.4f %10.4f %14llu %14.3e %9.2f %7.0f%%\n", w.name, static_cast<long long>(n),
                    median, times.front(), static_cast<unsigned long long>(instructions),
                    static_cast<double>(instructions) / median, median * 1e9 / static_cast<double>(instructions),
                    spread * 100);
    }
    return failures ? 1 : 0;
}
