// Everything the machine remembers between and during runs.
#pragma once

#include <array>
#include <memory>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "loader/module.hpp"
#include "values/value.hpp"

namespace tarnel {

inline constexpr size_t kRegisterCount = 256;
inline constexpr size_t kSavedRegisters = 64;   // r0..r63 are saved by every call
inline constexpr size_t kMaxArguments = 16;     // arguments land in r0..r15
inline constexpr size_t kMaxCallDepth = 1000;

// One call in progress: the caller's r0..r63, where to continue and which
// register receives the returned value.
//
// The saved registers are filled by one block copy when the frame is pushed
// and handed back by one block copy when it is popped, so they live in a
// union and are constructed and destroyed by hand: `live` says whether the
// frame still owns them (a popped frame has given them back already).
struct CallFrame {
    union {
        std::array<Value, kSavedRegisters> saved_registers;
    };
    std::array<ValueType, kSavedRegisters> saved_types;  // tags of the saved values, restored as one block
    uint64_t return_pc = 0;
    std::optional<uint8_t> return_register;
    bool live = false;

    CallFrame() {}
    CallFrame(CallFrame&& other) noexcept
        : saved_types(other.saved_types),
          return_pc(other.return_pc),
          return_register(other.return_register),
          live(other.live) {
        if (live) Value::relocate_block<kSavedRegisters>(saved_registers.data(), other.saved_registers.data());
        other.live = false;
    }
    CallFrame& operator=(CallFrame&&) = delete;
    CallFrame(const CallFrame&) = delete;
    ~CallFrame() {
        if (live) std::destroy(saved_registers.begin(), saved_registers.end());
    }
};

// What a CallR site resolved its callee to last time. The function table
// cannot change during a run, so a site whose callee names the same function
// again skips the table lookup.
struct CallSiteCache {
    Value callee;  // the String last called through this site (kept alive, so its payload can be compared by address)
    uint64_t entry = 0;
};

struct VmState {
    std::vector<CallFrame> call_stack;
    std::vector<uint16_t> scope_stack;
    TextMap<Value> globals;
    uint64_t pc = 0;
    std::optional<uint16_t> last_jump;
    bool halted = false;
    std::vector<Instruction> instructions;
    std::vector<Constant> constants;
    std::optional<Module> module;
    std::array<Value, kRegisterCount> registers;
    std::array<ValueType, kRegisterCount> register_types{};
    uint64_t instruction_count = 0;
    bool debug = false;

    // Set once DefineR has declared a tag on one of r0..r63 since the load.
    // Until then every tag there equals its value's tag, so a call can save
    // and restore the 64 tags as one block instead of recomputing them.
    bool declared_saved_tags = false;

    // The value of each constant, built once per load. Values are immutable,
    // so LoadConstR hands out a reference to the same payload instead of
    // building a new string each time: nobody can tell the difference, and a
    // later in-place update sees the shared reference and copies first.
    std::vector<Value> constant_values;
    // One entry per instruction, used only at CallR sites.
    std::vector<CallSiteCache> call_sites;

    // Stores `value` in register r and records its tag.
    void write_register(uint8_t r, Value value) {
        register_types[r] = value.type();
        registers[r] = std::move(value);
    }

    // Installs a freshly decoded module: working copies of its instructions
    // and constants, every register and tag Empty, globals, frames and scopes
    // gone, pc 0, not halted. The instruction count and debug flag stay.
    void reset_for_module(Module new_module);

    // Pushes a frame saving r0..r63 (block copy), or returns false when the
    // call stack is full.
    bool push_frame(uint64_t return_pc, uint8_t return_register);
    // Pops the innermost frame, restoring r0..r63 and their tags. Returns the
    // frame's return pc and register.
    std::pair<uint64_t, std::optional<uint8_t>> pop_frame();
};

}  // namespace tarnel
