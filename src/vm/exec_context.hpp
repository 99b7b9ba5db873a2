// What an instruction handler works with: the machine state, the value a
// top-level return yields, and the error that stops a run. Handlers return a
// Status; errors are stored here only when raised, out of line.
#pragma once

#include <optional>
#include <string>

#include "values/errors.hpp"
#include "values/result.hpp"
#include "vm/engine.hpp"
#include "vm/output.hpp"
#include "vm/state.hpp"

namespace tarnel {

// Instruction handlers are forced inline into the dispatch loop: each is
// small on its fast path, and a call per instruction would cost more than
// the work itself. Slow paths call out of line.
#if defined(__GNUC__)
#define TARNEL_HANDLER [[gnu::always_inline]] inline
#else
#define TARNEL_HANDLER inline
#endif

enum class Status : uint8_t {
    Next,   // go on with the instruction at pc
    Stop,   // the machine halted (Halt, or a return from the outermost level)
    Error,  // `error` holds why the run ends
};

struct ExecContext {
    VmState& s;
    std::optional<Value> yielded;
    RunError error;

    explicit ExecContext(VmState& state) : s(state) {}

    TARNEL_HANDLER Value& reg(uint8_t r) { return s.registers[r]; }

    [[gnu::cold, gnu::noinline]] Status fail(VmError e) {
        error = std::move(e);
        return Status::Error;
    }

    // Writes the result of a value operation, or stops with its error.
    Status apply(uint8_t dst, Result<Value, VmError>&& result) {
        if (!result) return fail(std::move(result).error());
        s.write_register(dst, std::move(result).value());
        return Status::Next;
    }

    TARNEL_HANDLER void set_int(uint8_t dst, int64_t v) {
        s.registers[dst].set_int(v);
        s.register_types[dst] = ValueType::Int;
    }
    TARNEL_HANDLER void set_float(uint8_t dst, double v) {
        s.registers[dst].set_float(v);
        s.register_types[dst] = ValueType::Float;
    }
    TARNEL_HANDLER void set_bool(uint8_t dst, bool v) {
        s.registers[dst].set_bool(v);
        s.register_types[dst] = ValueType::Bool;
    }

    // Writes one line to standard output; a failed write ends the run as an
    // internal fault.
    [[gnu::noinline]] Status emit(std::string line) {
        if (auto problem = write_stdout_line(line)) {
            error = InternalFault{std::move(*problem)};
            return Status::Error;
        }
        return Status::Next;
    }
};

}  // namespace tarnel
