// Calls and returns.
#pragma once

#include "vm/exec_context.hpp"
#include "vm/limits.hpp"
#include "vm/trace.hpp"

namespace tarnel::handlers {

// The callee's name for an Int callee: the function whose entry point is n,
// or "func_n" when there is none.
inline std::string name_for_entry(const Module& module, int64_t n) {
    for (const auto& [name, entry] : module.functions)
        if (n >= 0 && entry == static_cast<uint64_t>(n)) return name;
    return "func_" + std::to_string(n);
}

// Resolves the callee of the CallR at `site` to its entry point and the
// registers among r0..r63 the callee can write, or fails with
// UndefinedFunction. The site remembers its last String callee, so a call
// through the same name skips the table lookup.
inline bool resolve_callee(ExecContext& c, const Value& callee, size_t site, uint64_t& entry, uint64_t& writes) {
    const Module& module = *c.s.module;
    if (callee.is(ValueType::String)) {
        CallSiteCache& cache = c.s.caches.call_site(site);
        // Same string object as last time (constants are shared), or at
        // least the same name: the function table cannot have changed.
        if (cache.callee.is(ValueType::String) &&
            (cache.callee.payload() == callee.payload() || cache.callee.text() == callee.text())) {
            // Remember this string object, so the next call through it is
            // recognised by address (the quiet loop's quick call).
            if (cache.callee.payload() != callee.payload()) cache.callee = callee;
            entry = cache.entry;
            writes = cache.writes;
            return true;
        }
        auto found = module.functions.find(callee.text());
        if (found == module.functions.end()) {
            c.fail(VmError::undefined_function(std::string(callee.text())));
            return false;
        }
        entry = found->second;
        writes = c.s.callee_writes(entry);
        cache.callee = callee;
        cache.entry = entry;
        cache.writes = writes;
        cache.saved = writes | ((uint64_t{1} << cache.passed) - 1);
        cache.groups = groups_of(cache.saved);
        cache.quick = entry < c.s.instructions.size() && cache.saved != CallFrame::kFull && !c.s.declared_saved_tags &&
                      !c.s.testing.always_save_all_registers;
        return true;
    }
    if (callee.is(ValueType::Int)) {
        std::string name = name_for_entry(module, callee.as_int());
        auto found = module.functions.find(name);
        if (found == module.functions.end()) {
            c.fail(VmError::undefined_function(std::move(name)));
            return false;
        }
        entry = found->second;
        writes = c.s.callee_writes(entry);
        return true;
    }
    c.fail(VmError::undefined_function("no function specified"));
    return false;
}

template <bool Debug>
[[gnu::noinline]] Status trace_call(ExecContext& c, Operands<Opcode::CallR> ins) {
    const auto& args = ins.args();
    if (Status st = c.emit(trace::call_line(ins.func(), ins.dst(), args)); st != Status::Next) return st;
    for (size_t i = 0; i < args.size(); ++i) {
        // The "Set" lines print these same values again; one check covers both.
        if (!debug_form_fits(c.reg(args[i]))) return c.fail(VmError::out_of_memory());
        if (Status st = c.emit(trace::call_arg_line(i, args[i], c.reg(args[i]))); st != Status::Next) return st;
    }
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_CallR(ExecContext& c, Operands<Opcode::CallR> ins) {
    if (Debug) {
        if (Status st = trace_call<Debug>(c, ins); st != Status::Next) return st;
    }
    uint64_t entry = 0;
    uint64_t writes = 0;
    if (!resolve_callee(c, c.reg(ins.func()), c.s.pc - 1, entry, writes)) return Status::Error;

    // The frame saves what the callee and the arguments can change before any
    // argument is written; when the stack is already full it is never built,
    // but the arguments are still passed.
    const auto& args = ins.args();
    size_t passed = args.size() < kMaxArguments ? args.size() : kMaxArguments;
    bool pushed = c.s.push_frame(c.s.pc, ins.dst(), writes | ((uint64_t{1} << passed) - 1));
    for (size_t i = 0; i < passed; ++i) {
        // One at a time: each copy sees the registers as the previous ones left them.
        c.s.write_register(static_cast<uint8_t>(i), c.reg(args[i]));
        if (Debug) {
            if (Status st = c.emit(trace::call_set_line(i, c.reg(static_cast<uint8_t>(i)), args[i]));
                st != Status::Next)
                return st;
        }
    }
    if (!pushed) return c.fail(VmError::stack_overflow());
    c.s.pc = entry;
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_ReturnR(ExecContext& c, Operands<Opcode::ReturnR> ins) {
    if (c.s.call_stack.empty()) {
        c.s.halted = true;
        if (ins.has_src()) c.yielded = c.reg(ins.src());
        return Status::Stop;
    }
    if (ins.has_src()) {
        Value result = c.reg(ins.src());
        auto [return_pc, return_register] = c.s.pop_frame();
        c.s.pc = return_pc;
        if (return_register) c.s.write_register(*return_register, std::move(result));
    } else {
        c.s.pc = c.s.pop_frame().first;
    }
    return Status::Next;
}

}  // namespace tarnel::handlers
