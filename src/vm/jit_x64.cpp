// The x86-64 code generator of the machine-code tier (jit_code.hpp).
//
// Layout of the generated block:
//   entry     saves the callee-saved registers it uses, loads the frame,
//             bounds-checks frame.pc and jumps through the dispatch table;
//   at[i]     the code of instruction i, for i in 0..n (at[n] is the end):
//             its own code, or a call of its handler (calls and returns:
//             their quick path first), after a CallR preceded by the
//             landing that places the result of a return to there;
//   copies    the second copy of instructions whose operands are known
//             Ints there (jit_known_ints.hpp), without their checks,
//             entered only from the instruction before (either copy);
//   tails     one per CallR whose frame machine code pushes: the quick
//             calls it leaves to the C++ helper;
//   stubs     one per instruction with a guard: its handler, then at[i+1];
//   polls     one per jump target a watched run may stop before;
//   transfer  where a handler that moved pc (a call, a return, a jump)
//             goes on: a poll when due, at[pc] when pc is inside the list,
//             otherwise leave;
//   leave     stores pc, count and last jump into the frame and returns;
//   window    the two routines that copy r0..r7 between the window and
//             the register file (see below);
//   table     n + 1 absolute addresses of at[0..n], then as many of the
//             landings a return with a result goes on at (see land);
//   tag words the scalar tags, each as the low half of a value, and the
//             mask of heap tags in a word of eight;
//   constants the scalar values the code writes whole (write_constant).
// Machine registers: rbx the frame, r12 the register file, r13 the tags,
// r14 the instruction count, r15 the last jump taken (-1: none), rbp the
// end of the VM's call stack (see reload_stack_end). The count at which a
// taken jump, call or return leaves to poll stays in the frame. Handlers get
// the count and the last jump in argument registers and give back pc and
// count in rax:rdx (jit_handlers.hpp), so neither goes through memory.
//
// CallR and ReturnR take the quick call and return (quick_calls.hpp) in
// machine code when the frame holds r0..r7 alone with scalars only: the
// frame is built and taken apart in the VM's call stack exactly as the C++
// code does (jit_frame_layout.hpp says where its fields are); other quick
// cases call a C++ helper, every other case the handler.
//
// When calls and returns are machine code, r0..r7 live in a window while
// the block runs: the first eight value slots of the place past the
// innermost frame, at rbp, which is where the frame of the running
// function's next call keeps them. A call completes that place into the
// caller's frame and copies the window past it for the callee; a return
// makes the frame's values the window again, copying nothing back. The
// call is a machine call, whose return address (the landing after it) stays
// on the machine stack until the callee's return, or until C++ code that
// may change frames runs: a return to a frame with one needs fewer checks
// and goes back with `ret`, which the processor predicts. Before
// C++ code runs (handlers, helpers, leave) the window goes to the register
// file, and after it comes back, so C++ sees registers where it keeps them.
//
// A call of a callee that reads few of the caller's r0..r7 copies only
// those (jit_window_plan.hpp says which, and what each instruction's window
// holds). Each frame's entry on the machine stack (the return address, and
// 8 bytes below it) keeps what the window of its caller held at the call.
// Before C++ code runs or the run leaves, fill_in_windows completes the
// frames pushed since C++ last ran, and the window, from the frame below
// each: the registers a window was not given are ones its function has not
// written, so the caller's values, which the frame below keeps.
//
// A call of a fixed callee whose entry starts a short path to a return
// (jit_return_path.hpp) first runs that path in place, in machine
// registers, and goes on at its own landing as the return would; where
// the values leave the path, nothing has been written and the call is made;
// leaving at a jump with what it wrote known, the call goes on past the
// jump in the callee.
//
// Every jump the code makes goes to a label of this block: at[target] only
// for targets inside the list (checked here, or at run time against n in
// `transfer`), the stubs, polls and `leave` otherwise; a quick return's
// `ret` goes to the landing whose call pushed the address, which nothing
// but that call and the return writes. Memory is read and
// written only at r12 + 16 * register and r13 + register with register <
// 256, inside the VM's register file, at rbp + 16 * register with register
// < 8 (the window), and in the frames; the block's own table, tag words and
// constants are read.
#include "vm/jit_code.hpp"

#if TARNEL_JIT_X64

#include <xbyak/xbyak.h>
#include <xbyak/xbyak_util.h>

#include <algorithm>
#include <bitset>
#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <optional>

#include "vm/fast_code.hpp"
#include "vm/frame_copies.hpp"
#include "vm/jit_frame_layout.hpp"
#include "vm/jit_handlers.hpp"
#include "vm/jit_known_ints.hpp"
#include "vm/jit_loop_x64.hpp"
#include "vm/jit_return_path.hpp"
#include "vm/jit_window_plan.hpp"
#include "vm/jit_x64_layout.hpp"

namespace tarnel::jit {

class MachineCode {
public:
    MachineCode(std::unique_ptr<Xbyak::CodeGenerator> generator, std::vector<bool> native, bool windowed,
                std::vector<Value> kept_alive)
        : generator_(std::move(generator)),
          native_(std::move(native)),
          windowed_(windowed),
          kept_alive_(std::move(kept_alive)) {
        function_ = generator_->getCode<void (*)(MachineFrame*)>();
    }
    bool has_native_code(uint64_t pc) const { return pc < native_.size() && native_[pc]; }
    void enter(MachineFrame& frame) const {
        // The window is past the innermost frame: the stack needs storage.
        if (windowed_) static_cast<VmState*>(frame.state)->call_stack.reserve_storage();
        function_(&frame);
    }
    size_t bytes() const { return generator_->getSize(); }

private:
    std::unique_ptr<Xbyak::CodeGenerator> generator_;  // owns the code; frees it with its pages
    std::vector<bool> native_;
    bool windowed_;
    std::vector<Value> kept_alive_;  // values the code compares with by address
    void (*function_)(MachineFrame*) = nullptr;
};

namespace {

using Xbyak::Label;
using namespace Xbyak::util;

// Longer lists run in the interpreter: the bound keeps code size and
// compile time in check and every index an imm32.
constexpr size_t kMaxInstructions = size_t{1} << 20;

// How a comparison relates its two operands (GtR and GteR swap them).
enum class Relation { Less, LessEqual, Equal, NotEqual };

class Emitter : public Xbyak::CodeGenerator {
public:
    Emitter(const std::vector<Instruction>& code, const std::vector<Constant>& constants, const VmState* state)
        : Xbyak::CodeGenerator(4096, Xbyak::AutoGrow),
          code_(code),
          constants_(constants),
          caches_(state ? &state->caches : nullptr),
          n_(code.size()),
          at_(n_ + 1),
          landing_(n_ + 1),
          specialised_at_(n_ + 1),
          specialised_landing_(n_ + 1),
          stub_(n_),
          needs_stub_(n_, false),
          poll_(n_),
          needs_poll_(n_, false),
          native_(n_, false),
          out_of_line_(n_, false),
          has_calls_(
              std::any_of(code.begin(), code.end(), [](const Instruction& ins) { return ins.op == Opcode::CallR; })) {
        if (state) frames_ = frame_layout(*state);
        if (state && state->module) {
            roots_.push_back(0);
            for (const auto& [name, entry] : state->module->functions) roots_.push_back(entry);
        }
        sse41_ = processor_has_sse41() && !(state && state->testing.sse2_only);
        // Calls and returns in machine code: a list without CallR has no
        // frames to return into, and keeps no window.
        windowed_ = caches_ != nullptr && frames_.known && has_calls_;
        tags_follow_values_ =
            std::none_of(code.begin(), code.end(), [](const Instruction& ins) { return ins.op == Opcode::DefineR; });
        calls_return_into_window_ = std::all_of(code.begin(), code.end(), [](const Instruction& ins) {
            return ins.op != Opcode::CallR || ins.b < kWindowSize;
        });
    }

    bool windowed() const { return windowed_; }
    // The values the code compares with by address, which must outlive it.
    std::vector<Value> take_kept_alive() { return std::move(kept_alive_); }

    // `loops`: the typed loops to emit at their heads (jit_loops.hpp).
    std::vector<bool> emit(std::vector<LoopPlan> loops) {
        for (LoopPlan& plan : loops) loops_.emplace(plan.head, std::move(plan));
        plan_partial_windows();
        plan_specialised_copies();
        prologue();
        for (uint64_t i = 0; i < n_; ++i) {
            if (!out_of_line_[i]) emit_at_mask(i, [this, i] { instruction(i); });
        }
        land(n_);
        L(at_[n_]);  // past the last instruction: the run ends there
        exit_at(n_);
        for (uint64_t i = 0; i < n_; ++i) {
            if (!out_of_line_[i]) continue;
            emit_at_mask(i, [this, i] { instruction(i); });
            jmp(at_[i + 1], T_NEAR);
        }
        for (uint64_t i = 0; i < n_; ++i) {
            if (known_ints_[i] != 0) emit_at_mask(i, [this, i] { specialised_instruction(i); });
        }
        for (auto& [i, labels] : call_tails_)  // they use stubs
            emit_at_mask(i, [this, i = i, &labels = labels] { call_tail(i, labels); });
        for (ColdPath& path : cold_paths_) {  // so do these
            L(path.entry);
            window_mask_ = path.window_mask;
            specialised_ = path.specialised;
            known_ = path.known;
            path.emit();
            specialised_ = false;
            known_ = 0;
            jmp(path.back_to != nullptr ? *path.back_to : path.back, T_NEAR);
        }
        for (uint64_t i = 0; i < n_; ++i) {
            if (!needs_stub_[i]) continue;
            L(stub_[i]);
            emit_at_mask(i, [this, i] { call_handler(i); });
            jmp(at_[i + 1], T_NEAR);
        }
        window_mask_ = kWholeWindow;
        for (uint64_t i = 0; i < n_; ++i) {
            if (!needs_poll_[i]) continue;
            L(poll_[i]);
            exit_at(i);
        }
        L(transfer_);  // rax: the pc a handler left (kStopped: the run ended)
        go_to_pc();
        leave_routine();
        window_routines();
        any_landing();
        align(8);
        L(table_);
        for (uint64_t i = 0; i <= n_; ++i) putL(at_[i]);
        if (windowed_) {
            L(landing_table_);
            for (uint64_t p = 0; p <= n_; ++p)
                putL(p > 0 && code_[p - 1].op == Opcode::CallR ? landing_[p] : any_landing_);
        }
        if (partial_windows_) {
            L(valid_masks_);
            for (WindowMask mask : window_plan_.valid_before) db(mask);
        }
        L(tag_words_);
        for (uint64_t t = 0; t < kFirstHeapTag; ++t) dq(t);
        align(16);
        for (auto& [value, label] : constant_values_) {
            L(label);
            dq(value.first);
            dq(value.second);
        }
        L(heap_tag_bytes_);
        dq(frames::kHeapTagBytes);
        ready(PROTECT_RE);  // writable until now, read-execute from now on
        at_.clear();        // the labels are not needed once the code is final
        specialised_at_.clear();
        specialised_landing_.clear();
        stub_.clear();
        poll_.clear();
        return std::move(native_);
    }

private:
    // Which callees a call may give a partial copy of its window
    // (jit_window_plan.hpp): fixed callees of calls whose arguments come
    // from r0..r7, in a list without DefineR. Whatever call enters such a
    // callee, its arguments differ from the caller's registers there, so
    // the callee's window holds them: any CallR of the list may be the one
    // (its callee is a name in a register).
    void plan_partial_windows() {
        window_plan_.valid_before.assign(n_ + 1, kWholeWindow);
        if (!windowed_ || !tags_follow_values_ || roots_.empty()) return;
        WindowMask passed_anywhere = 0;
        for (const Instruction& ins : code_) {
            if (ins.op != Opcode::CallR) continue;
            const size_t passed = std::min<size_t>(ins.args().size(), kWindowSize);
            passed_anywhere |= static_cast<WindowMask>((1u << passed) - 1);
        }
        std::map<uint64_t, WindowMask> candidates;
        for (uint64_t i = 0; i < n_; ++i) {
            if (code_[i].op != Opcode::CallR) continue;
            const CallSiteCache& site = caches_->call_sites[caches_->call_site_index[i]];
            if (known_callee_of_window_arguments(site)) candidates[site.entry] = passed_anywhere;
        }
        std::vector<bool> excluded(n_, false);
        for (const auto& [head, plan] : loops_) excluded[head] = true;
        window_plan_ = plan_windows(code_, roots_, candidates, excluded);
        partial_windows_ = !window_plan_.copied_on_entry.empty();
    }
    // The second copy of straight runs of instructions whose operands are
    // known Ints there (jit_known_ints.hpp). In a list with DefineR a
    // declared tag may differ from its value's, and nothing is known.
    void plan_specialised_copies() {
        if (!tags_follow_values_) {
            known_ints_.assign(n_ + 1, 0);
            entered_by_exits_.assign(n_ + 1, false);
            from_ordinary_.assign(n_ + 1, false);
            return;
        }
        stable_ = plan_stable_registers(code_, constants_);
        // A typed loop's own code runs its body: the ordinary code there
        // is for its exits, and a copy of it would only cost compile time.
        std::vector<uint64_t> in_loops;
        for (const auto& [head, loop] : loops_) {
            for (uint64_t pc = loop.head; pc <= loop.last; ++pc) in_loops.push_back(pc);
        }
        // A second round adds what the callers' copies know of the
        // registers the arguments leave alone (calls in such copies are
        // often where the exits go on from). Each exit checks what it
        // brings against the plan (resume_path), so the rounds may stop
        // anywhere.
        std::map<uint64_t, WindowMask> entries = exit_entries({});
        KnownInts plan = plan_known_ints(code_, constants_, windowed_, in_loops, entries);
        entries = exit_entries(plan.at);
        plan = plan_known_ints(code_, constants_, windowed_, in_loops, entries);
        known_ints_ = std::move(plan.at);
        entered_by_exits_ = std::move(plan.entered_by_exits);
        from_ordinary_ = std::move(plan.from_ordinary);
    }
    // Where the exits of return paths (run_return_path) go on in their
    // callees, with the Ints every exit going on there brings (see
    // brought_by_exit). With `known`, those of the calls in copies that
    // are recursive (in the function they call), whose exits are the many,
    // where there are such calls; other exits that bring less go on in the
    // ordinary code.
    std::map<uint64_t, WindowMask> exit_entries(const std::vector<WindowMask>& known) {
        std::map<uint64_t, WindowMask> all, recursive;
        if (!windowed_) return all;
        const auto meet = [](std::map<uint64_t, WindowMask>& entries, uint64_t target, WindowMask ints) {
            const auto [entry, fresh] = entries.try_emplace(target, ints);
            if (!fresh) entry->second &= ints;
        };
        for (uint64_t i = 0; i < n_; ++i) {
            if (code_[i].op != Opcode::CallR) continue;
            const CallSiteCache& site = caches_->call_sites[caches_->call_site_index[i]];
            if (!has_known_callee(site) || site.passed > kWindowSize) continue;
            const bool counts_as_recursive =
                !known.empty() && known[i] != 0 && function_of(i) == function_of(site.entry);
            const ReturnPath& path = return_path(site.entry);
            for (size_t k = 0; k < path.steps.size(); ++k) {
                if (!fuses_with_jump(path, k)) continue;
                const uint64_t target = exit_target(path.steps[k + 1]);
                meet(all, target, brought_by_exit(site, path, k, 0));
                if (counts_as_recursive) meet(recursive, target, brought_by_exit(site, path, k, known[i]));
            }
        }
        for (const auto& [target, ints] : recursive) all[target] = ints;
        return all;
    }
    // The entry of the function whose code index i is in (the run's start
    // for code before every function).
    uint64_t function_of(uint64_t i) const {
        uint64_t entry = 0;
        for (uint64_t root : roots_) {
            if (root <= i && root > entry) entry = root;
        }
        return entry;
    }
    // The callee's registers an exit after step k of `path` brings as
    // Ints: the arguments the path found Ints, and the registers neither
    // the arguments nor the path write that the caller knows are
    // (`caller_knows`): the callee's window starts as the caller's.
    WindowMask brought_by_exit(const CallSiteCache& site, const ReturnPath& path, size_t k,
                               WindowMask caller_knows) const {
        const WindowMask arguments = argument_slots(site);
        WindowMask written = arguments;
        for (size_t step = 0; step <= k; ++step) written |= window_access(code_[path.steps[step].pc]).written;
        return (ints_read_on_entry(code_, path, k) & arguments) | (caller_knows & ~written);
    }
    // Emits code for instruction i's place, with window_mask_ what the
    // window holds before it runs.
    template <typename Emit>
    void emit_at_mask(uint64_t i, const Emit& emit) {
        window_mask_ = window_plan_.valid_before[i];
        emit();
    }

    void prologue() {
        push(rbx);
        push(r12);
        push(r13);
        push(r14);
        push(r15);
        push(rbp);
        sub(rsp, 8);  // the stack 16-byte aligned for the handler calls
        mov(rbx, rdi);
        if (windowed_) mov(machine_stack_base(), rsp);
        mov(r12, ptr[rbx + offsetof(MachineFrame, registers)]);
        mov(r13, ptr[rbx + offsetof(MachineFrame, tags)]);
        mov(r14, ptr[rbx + offsetof(MachineFrame, count)]);
        reload_stack_end(rax);
        load_window();
        mov(r15, -1);
        mov(rax, ptr[rbx + offsetof(MachineFrame, pc)]);
        mov(rcx, n_);
        cmp(rax, rcx);
        ja(leave_, T_NEAR);  // outside the list: leave with pc unchanged
        lea(rcx, ptr[rip + table_]);
        jmp(ptr[rcx + rax * 8]);
    }

    // Leaves at pc rax with the window whole: what valid_before says of
    // pc is missing; at leave_whole_ (after a handler) nothing is.
    void leave_routine() {
        Label flush;
        L(leave_);
        if (partial_windows_) {
            mov(r11d, kWholeWindow);
            cmp(rax, static_cast<uint32_t>(n_));
            ja(flush, T_NEAR);
            lea(rcx, ptr[rip + valid_masks_]);
            movzx(r11d, byte[rcx + rax]);
            jmp(flush, T_NEAR);
        }
        L(leave_whole_);
        mov(r11d, kWholeWindow);
        L(flush);
        if (windowed_) call(flush_window_);
        mov(ptr[rbx + offsetof(MachineFrame, pc)], rax);
        mov(ptr[rbx + offsetof(MachineFrame, count)], r14);
        mov(ptr[rbx + offsetof(MachineFrame, last_jump)], r15);
        drop_return_addresses();
        add(rsp, 8);
        pop(rbp);
        pop(r15);
        pop(r14);
        pop(r13);
        pop(r12);
        pop(rbx);
        ret();
    }

    // Goes on at pc rax: a poll when due, at[pc] when pc is inside the
    // list, otherwise leave. Quick calls and returns emit this themselves
    // rather than jump to `transfer`: an indirect jump of their own is one
    // the processor predicts from that call or return alone.
    void go_to_pc() {
        cmp(r14, poll_at());
        jae(leave_, T_NEAR);
        cmp(rax, static_cast<uint32_t>(n_));
        jae(leave_, T_NEAR);
        lea(rcx, ptr[rip + table_]);
        jmp(ptr[rcx + rax * 8]);
    }

    // Leaves with pc = i.
    void exit_at(uint64_t i) {
        mov(eax, static_cast<uint32_t>(i));
        jmp(leave_, T_NEAR);
    }

    // Runs instruction i with its handler, given the count and the last
    // jump in registers; takes back the count and the pc in rax:rdx (see
    // Resume). Straight on (pc = i + 1) falls through; a handler that moved
    // pc goes to `transfer`, one that ended the run (kStopped) leaves there.
    // A kind that never moves pc gets its plain handler: counted here, and
    // on unless the run ended.
    void call_handler(uint64_t i) {
        if (!moves_pc(code_[i].op)) {
            count_one();  // the plain handler leaves the count to the machine code
            mov(rdi, rbx);
            mov(esi, static_cast<uint32_t>(i));
            const bool reads_last_jump = plain_handler_reads_last_jump(code_[i].op);
            if (reads_last_jump) mov(rdx, r15);
            mov(rax, reinterpret_cast<uint64_t>(plain_handler_for(code_[i].op)));
            // A handler of its operands alone gets those in the register
            // file, unless the window is partly unset (the old value of dst
            // may be one of those): then the whole window goes.
            WindowOperands operands;
            if (!windowed_ || (window_mask_ == kWholeWindow && window_operands(code_[i], operands))) {
                pass_window_operands(operands.used, r12, rbp);
                call(rax);
                pass_window_operands(operands.written, rbp, r12);
            } else {
                call_out(touches_only_its_registers(code_[i].op) ? Frames::Stay : Frames::MayChange);
            }
            if (reads_last_jump) mov(r15, -1);  // the handler stored the last jump
            test(eax, eax);
            jnz(leave_whole_, T_NEAR);
            return;
        }
        mov(rdi, rbx);
        mov(esi, static_cast<uint32_t>(i));
        mov(rdx, r14);
        mov(rcx, r15);
        mov(rax, reinterpret_cast<uint64_t>(handler_for(code_[i].op)));
        call_out(Frames::MayMove);
        mov(r14, rdx);
        mov(r15, -1);  // the handler stored the last jump
        cmp(rax, static_cast<uint32_t>(i + 1));
        jne(transfer_, T_NEAR);
    }

    // CallR: the quick call (quick_calls.hpp) when it applies, counted here
    // and on to the callee's entry; otherwise the handler, with nothing
    // changed yet. The frame of a call that saves r0..r7 alone, all
    // scalars, is pushed right here (push_frame, whose other cases are
    // its call tail); other quick calls go through the C++ helper.
    bool call_function(uint64_t i, const Instruction& ins) {
        if (caches_ == nullptr) return false;
        const CallSiteCache* site = &caches_->call_sites[caches_->call_site_index[i]];
        if (windowed_) {
            push_frame(i, ins, site, call_tails_[i]);
            return true;
        }
        Label slow;
        call_helper(ins, site, slow);
        L(slow);
        call_handler(i);
        return true;
    }
    // The quick call through the C++ helper; `slow` when it does not apply.
    void call_helper(const Instruction& ins, const CallSiteCache* site, const Label& slow) {
        mov(rdi, ptr[rbx + offsetof(MachineFrame, state)]);
        mov(rsi, reinterpret_cast<uint64_t>(site));
        mov(edx, ins.a);
        mov(ecx, ins.b);
        mov(rax, reinterpret_cast<uint64_t>(&quick_call));
        call_out(Frames::MayMove);
        quick_transfer(slow);
    }

    // Where push_frame goes when its frame is not the one it pushes: with
    // rsi the site, a quick call of other groups goes to the helper,
    // anything else to the handler (the stub, then on at i + 1). A call of
    // a fixed callee does not read the site's groups (`asks_groups` false).
    struct CallTail {
        Label other_groups, helper;
        bool asks_groups = true;
    };
    void call_tail(uint64_t i, CallTail& labels) {
        if (labels.asks_groups) {
            L(labels.other_groups);
            cmp(byte[rsi + frames_.site_quick], 0);
            je(stub(i), T_NEAR);
        }
        L(labels.helper);
        call_helper(code_[i], &caches_->call_sites[caches_->call_site_index[i]], stub(i));
    }

    // Where a path leaves at a jump with everything it wrote known: the
    // call goes on at the jump's other way rather than at the entry, with
    // the count, the last jump and the registers the callee has there.
    struct PathExit {
        Label label;
        uint64_t target = 0;
        uint64_t counted = 0;  // the CallR and the path's instructions until the jump
        int64_t last_jump = -1;
        WindowMask brings = 0;  // the Ints the callee holds there (brought_by_exit)
        struct Write {
            uint8_t r, tag;
            uint64_t bits;
        };
        std::vector<Write> writes;
    };
    // The quick call's checks (call_is_quick), then the push of a frame
    // holding r0..r7 and the arguments, and a machine call of the callee's
    // entry. Its return address, right after, is the landing of i + 1
    // (land), where the callee's quick return goes back (pop_frame).
    //
    // Those return addresses stay on the machine stack, 16 bytes each (the
    // stack stays 16-byte aligned for C++), one for each frame pushed here
    // since C++ code last pushed or popped frames (call_out drops them all
    // then): so the innermost frame has one exactly when the stack holds
    // any. A return through `ret` is one the processor predicts from its
    // own stack of return addresses.
    //
    // The callee the site had when this code was made is the one later
    // calls through the same name find again (a load's function table
    // stays): its entry is a direct call and its saved set a constant. In a
    // list without DefineR no site stops being quick, so the String the site
    // had, which the code keeps alive (no other can take its address), is
    // all a call needs to be checked against; a call with any other goes to
    // the C++ helper, which asks the site.
    void push_frame(uint64_t i, const Instruction& ins, const CallSiteCache* site, CallTail& tail) {
        const FrameLayout& f = frames_;
        const Label& slow = stub(i);
        const Label& helper = tail.helper;
        const bool known_callee = has_known_callee(*site);
        const bool fixed_callee = known_callee && tags_follow_values_;
        const WindowMask caller_holds = window_mask_;
        const WindowMask copied = copied_into_callee(*site, caller_holds);
        tail.asks_groups = !fixed_callee;
        if (fixed_callee && knows_callee(ins.a, *site)) {
            kept_alive_.push_back(site->callee);
        } else if (fixed_callee) {
            cmp(tag(ins.a), static_cast<uint8_t>(ValueType::String));
            jne(slow, T_NEAR);
            kept_alive_.push_back(site->callee);
            mov(rax, reinterpret_cast<uint64_t>(site->callee.payload()));
            cmp(payload(ins.a), rax);
            jne(helper, T_NEAR);
        } else {
            cmp(tag(ins.a), static_cast<uint8_t>(ValueType::String));
            jne(slow, T_NEAR);
            mov(rsi, reinterpret_cast<uint64_t>(site));
            mov(rax, payload(ins.a));
            cmp(rax, ptr[rsi + f.site_callee_payload]);
            jne(slow, T_NEAR);
            cmp(word[rsi + f.site_groups], 0x0101);  // one group (r0..r7), and quick
            jne(tail.other_groups, T_NEAR);
            if (known_callee) {
                cmp(qword[rsi + f.site_entry], static_cast<uint32_t>(site->entry));
                jne(helper, T_NEAR);
            }
        }
        cmp(rbp, ptr[rbx + offsetof(MachineFrame, stack_room_end)]);
        je(slow, T_NEAR);      // CallStack::has_room: the handler grows the stack, or fails
        mov(rax, qword[r13]);  // the tags of r0..r7
        test(qword[rip + heap_tag_bytes_], rax);
        jnz(helper, T_NEAR);
        Label full_call;
        std::list<PathExit> exits;
        if (fixed_callee) run_return_path(i, *site, full_call, exits);
        for (PathExit& exit : exits) {
            L(exit.label);
            push_and_call(i, ins, *site, copied, &exit);
        }
        L(full_call);
        push_and_call(i, ins, *site, copied, nullptr);
    }
    // push_frame's push and call, at the callee's entry, or where `exit`
    // left its return path with what the path wrote until then.
    void push_and_call(uint64_t i, const Instruction& ins, const CallSiteCache& site, WindowMask copied,
                       const PathExit* exit) {
        const FrameLayout& f = frames_;
        const bool known_callee = has_known_callee(site);
        const WindowMask caller_holds = window_mask_;
        // push_partial: the frame, whose r0..r7 are the caller's window
        // already (filled in first where the caller's is partial and the
        // callee's will not be), and their tags; the callee's window starts
        // as a copy, of what `copied` says, in which a first argument from
        // r0..r7 goes straight to r0.
        if (caller_holds != kWholeWindow && copied == kWholeWindow) {
            mov(r11d, caller_holds);
            call(fill_in_window_);
        }
        const bool first_in_copy = site.passed >= 1 && site.args[0] < kWindowSize;
        mov(ptr[rbp + f.saved_types], rax);
        copy_values(rbp + f.frame_size, rbp, first_in_copy ? site.args[0] : 0, copied);
        if (known_callee) {
            mov(qword[rbp + f.saved], static_cast<uint32_t>(site.saved));
        } else {
            mov(rax, ptr[rsi + f.site_saved]);
            mov(ptr[rbp + f.saved], rax);
        }
        mov(qword[rbp + f.return_pc], static_cast<uint32_t>(i + 1));
        // The return register, that there is one, groups 1, live.
        mov(dword[rbp + f.return_register], ins.b | 0x01010100u);
        // The frame's entry on the machine stack, completed by the call
        // below: what the caller's window holds (fill_in_windows), and the
        // return address.
        push(caller_holds);
        add(rbp, f.frame_size);
        window_mask_ = kWholeWindow;  // a whole copy, or no C++ code until the callee runs
        // r0..r7 hold scalars (the tag word says so); an argument from
        // outside them may bring a heap value into its own register.
        unsigned scalars = 0xFF;
        bool may_call = false;  // a pass that may call its helper, which takes rsi
        if (first_in_copy && knows_int(site.args[0])) {
            declare(0, kInt);
        } else if (first_in_copy) {
            movzx(eax, tag(0));
            declare(0, al);
        }
        for (unsigned k = first_in_copy ? 1 : 0; k < site.passed; ++k) {
            const uint8_t from = site.args[k];
            const bool scalar = from < 8 && (scalars >> from & 1) != 0;
            pass(static_cast<uint8_t>(k), from, scalar);
            if (!scalar) scalars &= ~(1u << k);
            may_call = may_call || !scalar;
        }
        if (exit != nullptr) {
            resume_path(i, *exit);
            window_mask_ = caller_holds;
            return;
        }
        count_one();
        if (known_callee) {
            const uint64_t entry = site.entry;
            needs_poll_[entry] = true;
            cmp(r14, poll_at());
            jae(poll_[entry], T_NEAR);
            call(at_[entry]);
            window_mask_ = caller_holds;
            return;
        }
        if (may_call) mov(rsi, reinterpret_cast<uint64_t>(&site));
        mov(rax, ptr[rsi + f.site_entry]);
        cmp(r14, poll_at());
        jae(leave_, T_NEAR);
        cmp(rax, static_cast<uint32_t>(n_));
        jae(leave_, T_NEAR);
        lea(rcx, ptr[rip + table_]);
        call(ptr[rcx + rax * 8]);
        window_mask_ = caller_holds;
        // The landing of i + 1 comes next (instruction, or emit for the last).
    }

    // The callee's return path (jit_return_path.hpp) run in place of the
    // call, its result stored as a return would (commit_path), on at
    // i + 1; to `full_call` with nothing written when the
    // values leave it. Where a jump after a comparison leaves it, and all
    // the path wrote is known (constants, and the Bools its jumps went
    // by), it goes on through an exit instead: the call is made with those
    // values in the callee's window, on at the jump's other way, so the
    // callee does not run the path's start again.
    //
    // The callee's registers the path computes are in rcx, rdx, rdi and
    // r8..r10 (rax keeps the caller's tags, see push_frame); those it came
    // with are read where the caller has them, their tags checked once.
    // The caller's window must hold what the path reads of it.
    struct PathValue {
        bool computed = false;
        uint8_t from = 0;     // not computed: the caller's register it is in
        uint8_t tag = 0;      // computed: an Int or a Bool
        uint8_t machine = 0;  // computed: which of the path's machine registers
    };
    struct PathRun {
        PathValue values[kWindowSize];
        int8_t machine_of[kWindowSize] = {-1, -1, -1, -1, -1, -1, -1, -1};
        uint8_t machines_used = 0;
        std::bitset<256> checked_int;  // registers of the caller whose tag is known to be Int
        const Label* full_call = nullptr;
        int64_t last_jump = -1;
        // The registers the path wrote whose values the code knows: a
        // constant, or the Bool of a comparison a jump went by.
        WindowMask written = 0, known = 0;
        uint8_t known_tags[kWindowSize] = {};
        uint64_t known_bits[kWindowSize] = {};
        std::list<PathExit>* exits = nullptr;
        PathValue result;       // what the path's ReturnR returns
        WindowMask brings = 0;  // at the jump being emitted, see PathExit
    };
    void resume_path(uint64_t i, const PathExit& exit) {
        add(r14, exit.counted);
        for (const PathExit::Write& write : exit.writes) write_constant(write.r, write.tag, write.bits);
        if (exit.last_jump >= 0) mov(r15, static_cast<uint32_t>(exit.last_jump));
        // No poll is due before the path's end (run_return_path).
        // From the ordinary code, only where the copy relies on no stable
        // register (see enter_copy).
        const bool stable_known = specialised_ || (stable_.ints.empty() && stable_.names.empty());
        const bool into_copy =
            stable_known && entered_by_exits_[exit.target] && (known_ints_[exit.target] & ~exit.brings) == 0;
        call(into_copy ? specialised_at_[exit.target] : at_[exit.target]);
        jmp(landing_after(i), T_NEAR);
    }
    void note_known(PathRun& run, uint8_t r, uint8_t t, uint64_t bits) {
        run.known |= static_cast<WindowMask>(1u << r);
        run.known_tags[r] = t;
        run.known_bits[r] = bits;
    }
    void run_return_path(uint64_t i, const CallSiteCache& site, const Label& full_call, std::list<PathExit>& exits) {
        const ReturnPath& path = return_path(site.entry);
        if (path.steps.empty() || site.passed > kWindowSize) return;
        PathRun run;
        run.full_call = &full_call;
        run.exits = &exits;
        for (uint8_t r = 0; r < kWindowSize; ++r) run.checked_int[r] = knows_int(r);
        for (uint8_t r : stable_.ints) run.checked_int[r] = specialised_;
        for (uint8_t r = 0; r < kWindowSize; ++r) run.values[r].from = r;
        for (unsigned k = 0; k < site.passed; ++k) {
            const uint8_t from = site.args[k];  // from the callee's window as the arguments before left it
            run.values[k] = from < kWindowSize ? run.values[from] : PathValue{false, from};
        }
        for (uint8_t r = 0; r < kWindowSize; ++r) {
            const uint8_t from = run.values[r].from;
            if ((path.read_on_entry >> r & 1) != 0 && unset_in_window(from)) return;
        }
        const uint8_t dst = code_[i].b;  // r0..r7 hold scalars, see push_frame
        if (dst >= kWindowSize) {
            cmp(tag(dst), kFirstHeapTag);
            jae(full_call, T_NEAR);
        }
        const uint64_t counted = path.steps.size() + 1;  // the CallR too
        lea(r11, ptr[r14 + counted]);
        cmp(r11, poll_at());
        jae(full_call, T_NEAR);  // a poll due on the way: the call makes it
        for (size_t k = 0; k < path.steps.size(); ++k) {
            if (fuses_with_jump(path, k)) {
                const uint64_t counted_to_jump = 1 + (k + 2);  // the CallR, steps 0..k + 1
                run.brings = brought_by_exit(site, path, k, known_);
                path_compare_and_jump(run, code_[path.steps[k].pc], path.steps[k + 1], counted_to_jump);
                ++k;
            } else {
                path_step(run, path.steps[k]);
            }
        }
        commit_path(i, run, counted);
    }
    const ReturnPath& return_path(uint64_t entry) {
        const auto [planned, fresh] = return_paths_.try_emplace(entry);
        if (fresh) planned->second = plan_return_path(code_, constants_, entry);
        return planned->second;
    }
    static const Xbyak::Reg64& path_machine(uint8_t k) {
        static const Xbyak::Reg64 registers[kMaxPathRegisters] = {Xbyak::util::rcx, Xbyak::util::rdx, Xbyak::util::rdi,
                                                                  Xbyak::util::r8,  Xbyak::util::r9,  Xbyak::util::r10};
        return registers[k];
    }
    void path_step(PathRun& run, const ReturnPathStep& step) {
        const Instruction& ins = code_[step.pc];
        switch (ins.op) {
            case Opcode::LoadConstR: {
                uint8_t t = 0;
                uint64_t bits = 0;
                scalar_bits(constants_[ins.index()].value(), t, bits);
                mov(path_result(run, ins.a, t), bits);
                note_known(run, ins.a, t, bits);
                break;
            }
            case Opcode::MoveR: {
                const PathValue source = path_value(run, ins.b);
                if (!source.computed) {
                    run.values[ins.a] = source;
                    run.written |= static_cast<WindowMask>(1u << ins.a);
                    run.known &= static_cast<WindowMask>(~(1u << ins.a));
                    break;
                }
                const Xbyak::Reg64& from = path_machine(source.machine);
                const bool was_known = (run.known >> ins.b & 1) != 0;
                mov(path_result(run, ins.a, source.tag), from);
                if (was_known) note_known(run, ins.a, run.known_tags[ins.b], run.known_bits[ins.b]);
                break;
            }
            case Opcode::AddR:
            case Opcode::SubR:
            case Opcode::MulR:
                path_arithmetic(run, ins);
                break;
            case Opcode::JumpR:
                run.last_jump = static_cast<int64_t>(step.pc);
                break;
            case Opcode::JumpIfR:
            case Opcode::JumpIfNotR: {
                const Xbyak::Reg64& condition = path_machine(run.values[ins.a].machine);
                test(condition, condition);
                const bool taken_when_set = ins.op == Opcode::JumpIfR;
                if (step.jumps == taken_when_set) {
                    jz(*run.full_call, T_NEAR);
                } else {
                    jnz(*run.full_call, T_NEAR);
                }
                if (step.jumps) run.last_jump = static_cast<int64_t>(step.pc);
                break;
            }
            case Opcode::ReturnR:
                run.result = path_value(run, ins.a);
                break;
            default:
                path_compare(run, ins);
                break;
        }
    }
    PathValue path_value(const PathRun& run, uint8_t r) const {
        return r < kWindowSize ? run.values[r] : PathValue{false, r};
    }
    // The machine register of the callee's register r, which now holds a
    // value of tag t the path computes.
    const Xbyak::Reg64& path_result(PathRun& run, uint8_t r, uint8_t t) {
        if (run.machine_of[r] < 0) run.machine_of[r] = static_cast<int8_t>(run.machines_used++);
        const uint8_t machine = static_cast<uint8_t>(run.machine_of[r]);
        run.values[r] = PathValue{true, 0, t, machine};
        run.written |= static_cast<WindowMask>(1u << r);
        run.known &= static_cast<WindowMask>(~(1u << r));
        return path_machine(machine);
    }
    // An operand the plan takes for an Int: a computed one, or one whose
    // tag is checked here unless it was before.
    template <typename Use>
    void with_int(PathRun& run, uint8_t r, Use use) {
        const PathValue value = path_value(run, r);
        if (value.computed) {
            use(path_machine(value.machine));
            return;
        }
        if (!run.checked_int[value.from]) {
            cmp(tag(value.from), kInt);
            jne(*run.full_call, T_NEAR);
            run.checked_int[value.from] = true;
        }
        use(payload(value.from));
    }
    void path_arithmetic(PathRun& run, const Instruction& ins) {
        with_int(run, ins.b, [this](const Xbyak::Operand& left) { mov(r11, left); });
        with_int(run, ins.c, [this, &ins](const Xbyak::Operand& right) {
            if (ins.op == Opcode::AddR) add(r11, right);
            if (ins.op == Opcode::SubR) sub(r11, right);
            if (ins.op == Opcode::MulR) imul(r11, right);
        });
        jo(*run.full_call, T_NEAR);  // the call reports the overflow
        mov(path_result(run, ins.a, kInt), r11);
    }
    // x <relation> y for a comparison of Ints: GtR and GteR are LtR and
    // LteR with the operands swapped.
    static std::optional<Relation> relation_of(Opcode op) {
        switch (op) {
            case Opcode::LtR:
            case Opcode::GtR:
                return Relation::Less;
            case Opcode::LteR:
            case Opcode::GteR:
                return Relation::LessEqual;
            case Opcode::EqR:
                return Relation::Equal;
            case Opcode::NeqR:
                return Relation::NotEqual;
            default:
                return std::nullopt;
        }
    }
    void path_compare_flags(PathRun& run, const Instruction& ins) {
        const bool swapped = ins.op == Opcode::GtR || ins.op == Opcode::GteR;
        with_int(run, swapped ? ins.c : ins.b, [this](const Xbyak::Operand& x) { mov(r11, x); });
        with_int(run, swapped ? ins.b : ins.c, [this](const Xbyak::Operand& y) { cmp(r11, y); });
    }
    void path_compare(PathRun& run, const Instruction& ins) {
        path_compare_flags(run, ins);
        const Relation relation = *relation_of(ins.op);
        if (relation == Relation::Less) setl(r11b);
        if (relation == Relation::LessEqual) setle(r11b);
        if (relation == Relation::Equal) sete(r11b);
        if (relation == Relation::NotEqual) setne(r11b);
        movzx(r11d, r11b);
        mov(path_result(run, ins.a, kBool), r11);
    }
    // Whether step k is a comparison whose Bool only the conditional jump
    // right after it reads, which then goes by the comparison's flags.
    bool fuses_with_jump(const ReturnPath& path, size_t k) const {
        if (k + 1 >= path.steps.size()) return false;
        const Instruction& ins = code_[path.steps[k].pc];
        const Instruction& next = code_[path.steps[k + 1].pc];
        if (!relation_of(ins.op) || (next.op != Opcode::JumpIfR && next.op != Opcode::JumpIfNotR) || next.a != ins.a)
            return false;
        for (size_t later = k + 2; later < path.steps.size(); ++later) {
            const Instruction& use = code_[path.steps[later].pc];
            const WindowAccess access = window_access(use);
            if ((access.read >> ins.a & 1) != 0) return false;
            if ((access.written >> ins.a & 1) != 0) break;
        }
        return true;
    }
    // `counted`: the CallR and the path's instructions up to the jump.
    void path_compare_and_jump(PathRun& run, const Instruction& ins, const ReturnPathStep& jump, uint64_t counted) {
        path_compare_flags(run, ins);
        const bool taken_when_set = code_[jump.pc].op == Opcode::JumpIfR;
        const bool leaves_when_true = taken_when_set != jump.jumps;
        const Relation relation = *relation_of(ins.op);
        const Label& full_call = leave_path_at(run, ins.a, leaves_when_true, jump, counted);
        note_known(run, ins.a, kBool, leaves_when_true ? 0 : 1);
        run.written |= static_cast<WindowMask>(1u << ins.a);
        if (relation == Relation::Less) leaves_when_true ? jl(full_call, T_NEAR) : jge(full_call, T_NEAR);
        if (relation == Relation::LessEqual) leaves_when_true ? jle(full_call, T_NEAR) : jg(full_call, T_NEAR);
        if (relation == Relation::Equal) leaves_when_true ? je(full_call, T_NEAR) : jne(full_call, T_NEAR);
        if (relation == Relation::NotEqual) leaves_when_true ? jne(full_call, T_NEAR) : je(full_call, T_NEAR);
        if (jump.jumps) run.last_jump = static_cast<int64_t>(jump.pc);
    }
    // Where the path goes when the jump after the comparison into `dst`
    // takes the other way, the comparison having given `result`: an exit
    // on into the callee when everything the path wrote is known, else
    // the full call.
    const Label& leave_path_at(PathRun& run, uint8_t dst, bool result, const ReturnPathStep& jump, uint64_t counted) {
        const uint64_t target = exit_target(jump);
        const WindowMask unknown = run.written & ~run.known & static_cast<WindowMask>(~(1u << dst));
        if (unknown != 0 || target >= n_) return *run.full_call;
        PathExit& exit = run.exits->emplace_back();
        exit.target = target;
        exit.counted = counted;
        exit.last_jump = jump.jumps ? run.last_jump : static_cast<int64_t>(jump.pc);
        exit.brings = run.brings;
        for (uint8_t r = 0; r < kWindowSize; ++r) {
            if (r == dst || (run.known >> r & 1) == 0) continue;
            exit.writes.push_back({r, run.known_tags[r], run.known_bits[r]});
        }
        exit.writes.push_back({dst, kBool, result ? 1u : 0u});
        return exit.label;
    }
    // Where a call whose path leaves at `jump` goes on: the jump's other way.
    uint64_t exit_target(const ReturnPathStep& jump) const {
        return jump.jumps ? jump.pc + 1 : jump_target(jump.pc, code_[jump.pc].offset());
    }
    // The path's result goes to the call's destination as the landing would
    // put it there. With its tag known here, the path stores it and goes on
    // at i + 1 past the landing, whose poll is not due: the path checked
    // that before its first step. Otherwise the landing stores it, from
    // xmm15 and r11b, once its tag is checked for a scalar.
    void commit_path(uint64_t i, const PathRun& run, uint64_t counted) {
        const uint8_t dst = code_[i].b;
        const PathValue& result = run.result;
        const bool tag_known = result.computed || run.checked_int[result.from];
        if (result.computed) {
            write_scalar(dst, result.tag, path_machine(result.machine));
        } else if (tag_known) {
            movups(xmm15, ptr[value_of(result.from)]);
            movups(ptr[value_of(dst)], xmm15);
            declare(dst, kInt);
        } else {
            movzx(r11d, tag(result.from));
            cmp(r11b, kFirstHeapTag);
            jae(*run.full_call, T_NEAR);
            movups(xmm15, ptr[value_of(result.from)]);
        }
        add(r14, counted);
        if (run.last_jump >= 0) mov(r15, static_cast<uint32_t>(run.last_jump));
        const bool int_result = result.computed ? result.tag == kInt : tag_known;
        if (!tag_known) {
            jmp(landing_after(i), T_NEAR);
        } else if (int_result) {
            go_on_common_way(i);  // a call's common way gives an Int (jit_known_ints.hpp)
        } else {
            jmp(at_[i + 1], T_NEAR);
        }
    }

    // What a call copies from its caller's window into its callee's
    // (kWholeWindow: all of it): less when the callee is fixed, its plan
    // says so (jit_window_plan.hpp), its arguments come from r0..r7 (so
    // the copy takes none from the register file, nor any heap value) and
    // the caller's window holds what the copy takes.
    WindowMask copied_into_callee(const CallSiteCache& site, WindowMask caller_holds) const {
        if (!partial_windows_ || !tags_follow_values_ || !known_callee_of_window_arguments(site)) return kWholeWindow;
        const auto planned = window_plan_.copied_on_entry.find(site.entry);
        if (planned == window_plan_.copied_on_entry.end()) return kWholeWindow;
        // Arguments are passed one at a time, each from the callee's
        // window as the ones before it left it: an argument after the
        // first reads what the copy put there.
        WindowMask copied = planned->second;
        for (unsigned k = 1; k < site.passed; ++k) copied |= static_cast<WindowMask>(1u << site.args[k]);
        if ((copied & ~argument_slots(site) & ~caller_holds) != 0) return kWholeWindow;
        return copied;
    }
    // A site whose callee is known and whose arguments all come from r0..r7:
    // the calls a partial copy may serve.
    bool known_callee_of_window_arguments(const CallSiteCache& site) const {
        if (!has_known_callee(site) || site.passed > kWindowSize) return false;
        for (unsigned k = 0; k < site.passed; ++k)
            if (site.args[k] >= kWindowSize) return false;
        return true;
    }
    static WindowMask argument_slots(const CallSiteCache& site) {
        return static_cast<WindowMask>((1u << site.passed) - 1);
    }
    // The callee the site had when this code was made, whose entry and
    // saved set the code may take as constants (see push_frame).
    bool has_known_callee(const CallSiteCache& site) const {
        return site.callee.is(ValueType::String) && site.quick && site.groups == 1 && site.entry < n_ &&
               site.saved <= static_cast<uint64_t>(INT32_MAX);
    }

    // The values of `which` (r0..r7) from [from] to [to], the first from
    // value `first`.
    void copy_values(const Xbyak::RegExp& to, const Xbyak::RegExp& from, int first = 0,
                     WindowMask which = kWholeWindow) {
        for (int k = 0; k < 8; ++k) {
            if ((which >> k & 1) == 0) continue;
            const Xbyak::Xmm value(k);
            movups(value, ptr[from + 16 * (k == 0 ? first : k)]);
            movups(ptr[to + 16 * k], value);
        }
    }
    // The registers of r0..r7 an instruction names, read and written, when
    // its handler touches no other register and not the call stack (so
    // neither needs the rest of the window in the register file): false
    // for every other kind. The old value of a written register is read
    // too, to release it.
    struct WindowOperands {
        unsigned used = 0;
        unsigned written = 0;
    };
    static bool window_operands(const Instruction& ins, WindowOperands& operands) {
        if (!touches_only_its_registers(ins.op)) return false;
        const WindowAccess access = window_access(ins);
        operands.used = access.read | access.written;
        operands.written = access.written;
        return true;
    }
    // Copies the registers of `mask` (r0..r7) from one base to the other.
    void pass_window_operands(unsigned mask, const Xbyak::Reg64& to, const Xbyak::Reg64& from) {
        for (int r = 0; r < kWindowSize; ++r) {
            if ((mask >> r & 1) == 0) continue;
            movups(xmm0, ptr[from + slot(r)]);
            movups(ptr[to + slot(r)], xmm0);
        }
    }

    // The window and the register file's r0..r7: before C++ code reads or
    // writes registers, and after (see `windowed_`). Each is one routine
    // the code calls, so that a handler's call site grows by a few bytes.
    void flush_window() {
        if (!windowed_) return;
        if (partial_windows_) mov(r11d, window_mask_);
        call(flush_window_);
    }
    // Calls the C++ function at rax with the whole window in the register
    // file. What it may do to the frames:
    //   Stay      nothing;
    //   MayChange rewrite them in place (DefineR makes partial frames full):
    //             the return addresses of push_frame are dropped, whose
    //             returns take less for granted;
    //   MayMove   also push or pop them, which may move the stack: its end
    //             is taken again before the window comes back there.
    // The function's rax and rdx are kept.
    enum class Frames { Stay, MayChange, MayMove };
    void call_out(Frames frames) {
        flush_window();
        call(rax);
        if (frames == Frames::MayMove) reload_stack_end(rcx);
        if (frames != Frames::Stay) drop_return_addresses();
        load_window();
    }
    // The return addresses of push_frame: all dropped, the frames they were
    // for return through the landing table.
    void drop_return_addresses() {
        if (windowed_) mov(rsp, machine_stack_base());
    }
    Xbyak::Address machine_stack_base() { return ptr[rbx + offsetof(MachineFrame, machine_stack_base)]; }
    void load_window() {
        if (windowed_) call(load_window_);
    }
    void window_routines() {
        if (!windowed_) return;
        L(flush_window_);  // keeps every register but r11 and xmm0..xmm7
        if (partial_windows_) fill_in_windows();
        mov(r11, ptr[rbx + offsetof(MachineFrame, state)]);
        mov(ptr[r11 + frames_.stack_end], rbp);
        copy_values(r12, rbp);
        ret();
        L(load_window_);
        copy_values(rbp, r12);
        ret();
        if (!partial_windows_) return;
        L(fill_in_window_);  // keeps every register but r11 and xmm0
        fill_in_windows();
        ret();
    }

    // The registers of r0..r7 a partial copy left unset (jit_window_plan.hpp),
    // filled in from the frames below, outermost first: in each frame
    // pushed here since C++ code last ran but the first, then in the window
    // (r11d: what it holds). Each such frame's entry on the machine stack
    // holds what its own window held at its call (push_frame); the first
    // one's window was whole. Called from the code of an instruction,
    // whose machine stack the routine reads past its return address.
    // Keeps every register but r11 and xmm0.
    void fill_in_windows() {
        const int32_t size = frames_.frame_size;
        Label frames, window, done;
        push(rax);
        push(rcx);
        push(rdx);
        push(rsi);
        constexpr int kPushed = 5 * 8;  // the four, and the return address
        mov(esi, r11d);
        mov(rax, machine_stack_base());
        lea(rcx, ptr[rsp + kPushed]);
        cmp(rcx, rax);
        je(done, T_NEAR);  // no frame pushed here: the window is whole
        // Frames pushed: (base - rsp + 8) / 16, the last one's entry
        // possibly half made (its mask pushed, its call not yet).
        sub(rax, rcx);
        add(rax, 8);
        shr(rax, 4);
        imul(rdx, rax, size);
        neg(rdx);
        add(rdx, rbp);  // the first frame
        mov(rcx, machine_stack_base());
        sub(rcx, 16 + 8);  // the second frame's mask
        L(frames);
        sub(rax, 1);
        jz(window, T_NEAR);
        add(rdx, size);
        movzx(r11d, byte[rcx]);
        sub(rcx, 16);
        fill_in_from_below(rdx, r11d);
        jmp(frames, T_NEAR);
        L(window);
        fill_in_from_below(rbp, esi);
        L(done);
        pop(rsi);
        pop(rdx);
        pop(rcx);
        pop(rax);
    }
    // The registers of r0..r7 outside `held` at `to`, from the frame below.
    void fill_in_from_below(const Xbyak::Reg64& to, const Xbyak::Reg32& held) {
        for (int r = 0; r < kWindowSize; ++r) {
            Label skip;
            test(held, 1u << r);
            jnz(skip);
            movups(xmm0, ptr[to + slot(r) - frames_.frame_size]);
            movups(ptr[to + slot(r)], xmm0);
            L(skip);
        }
    }

    // copy_register: register `from` to register `to` with its tag, one
    // copy of sixteen bytes for two scalars, the C++ helper otherwise.
    // `scalars`: both are known to hold scalars.
    void pass(uint8_t to, uint8_t from, bool scalars) {
        Label heap, done;
        movzx(eax, tag(from));
        if (!scalars) {
            movzx(ecx, tag(to));
            or_(ecx, eax);
            test(cl, 0xFC);
            jnz(heap, T_NEAR);
        }
        movups(xmm0, ptr[value_of(from)]);
        movups(ptr[value_of(to)], xmm0);
        declare(to, al);
        if (scalars) return;
        jmp(done, T_NEAR);
        L(heap);
        mov(rdi, ptr[rbx + offsetof(MachineFrame, state)]);
        mov(esi, to);
        mov(edx, from);
        mov(rax, reinterpret_cast<uint64_t>(&pass_argument));
        sub(rsp, 8);  // the frame's entry is half made: 16-byte aligned for C++
        call_out(Frames::Stay);
        add(rsp, 8);
        L(done);
    }

    // ReturnR: the quick return when it applies, otherwise the handler.
    // A frame holding r0..r7 alone, with scalars only in them before and
    // after, is popped right here; other quick returns go through the C++
    // helper.
    bool return_from_function(uint64_t i, const Instruction& ins) {
        if (caches_ == nullptr) return false;
        Label helper, slow;
        if (windowed_) pop_frame(ins, helper, slow);
        L(helper);
        mov(rdi, ptr[rbx + offsetof(MachineFrame, state)]);
        mov(esi, ins.wide != 0 ? static_cast<uint32_t>(ins.a) : kNoResult);
        mov(rax, reinterpret_cast<uint64_t>(&quick_return));
        call_out(Frames::MayMove);
        quick_transfer(slow);
        L(slow);
        call_handler(i);
        return true;
    }

    // return_is_quick, then leave_quick_return for such a frame. The
    // innermost frame has a return address on the machine stack exactly
    // when the stack holds any (push_frame), and then it is a frame
    // push_frame built, which no C++ code has changed since: fewer checks
    // apply (return_to_call).
    void pop_frame(const Instruction& ins, const Label& helper, const Label& slow) {
        const FrameLayout& f = frames_;
        const bool has_result = ins.wide != 0;
        Label by_table;
        cmp(rsp, machine_stack_base());
        je(by_table, T_NEAR);
        return_to_call(ins, helper, slow);
        L(by_table);
        cmp(rbp, ptr[rbx + offsetof(MachineFrame, stack_begin)]);
        je(slow, T_NEAR);  // no frame: the handler halts
        lea(rdx, ptr[rbp - f.frame_size]);
        if (has_result) result_is_scalar(ins.a, slow);
        // A full frame holds every group (0xFF); the helper leaves it to
        // the handler. With a result, the frame must have a return register
        // too (every CallR gives it one): the optional's flag, 1 when there
        // is one (frame_layout checks), and the groups, read as one word.
        if (has_result) {
            cmp(word[rdx + f.return_register + 1], 0x0101);
        } else {
            cmp(byte[rdx + f.groups], 1);
        }
        jne(helper, T_NEAR);
        window_holds_scalars(helper);
        mov(r8, ptr[rdx + f.saved_types]);  // what r0..r7 get back
        test(qword[rip + heap_tag_bytes_], r8);
        jnz(helper, T_NEAR);
        if (has_result) {
            return_register_is_scalar(helper);
            movups(xmm15, ptr[value_of(ins.a)]);
        }
        drop_frame();
        mov(rax, ptr[rdx + f.return_pc]);
        if (!has_result) {
            go_to_pc();
            return;
        }
        // On to the landing of the return's pc, which places the result.
        cmp(rax, static_cast<uint32_t>(n_));
        ja(any_landing_, T_NEAR);
        lea(rcx, ptr[rip + landing_table_]);
        jmp(ptr[rcx + rax * 8]);
    }

    // The quick return to a frame of push_frame, whose return address is on
    // the machine stack. That frame exists, holds r0..r7 alone with their
    // scalars (saved types and groups as push_frame stored them) and names
    // the destination of one of this list's CallR.
    void return_to_call(const Instruction& ins, const Label& helper, const Label& slow) {
        const FrameLayout& f = frames_;
        const bool has_result = ins.wide != 0;
        lea(rdx, ptr[rbp - f.frame_size]);
        // A result from r0..r7 is one of the values window_holds_scalars
        // checks when declared tags follow values.
        const bool result_in_window = has_result && ins.a < kWindowSize && tags_follow_values_;
        if (result_in_window) movzx(r11d, tag(ins.a));
        if (has_result && !result_in_window) result_is_scalar(ins.a, slow);
        window_holds_scalars(helper);
        if (has_result) {
            if (!calls_return_into_window_) return_register_is_scalar(helper);
            movups(xmm15, ptr[value_of(ins.a)]);
        }
        mov(r8, ptr[rdx + f.saved_types]);
        drop_frame();
        if (has_result) {
            ret(8);  // to the landing after the call, and past the call's 8 bytes
            return;
        }
        add(rsp, 16);
        mov(rax, ptr[rdx + f.return_pc]);
        go_to_pc();
    }

    // The result in r11b (its tag), to `slow` unless a scalar.
    void result_is_scalar(uint8_t result, const Label& slow) {
        movzx(r11d, tag(result));
        cmp(r11b, kFirstHeapTag);
        jae(slow, T_NEAR);
    }
    // What r0..r7 hold now, which the return drops: nothing to release.
    void window_holds_scalars(const Label& helper) {
        mov(rax, qword[r13]);
        test(qword[rip + heap_tag_bytes_], rax);
        jnz(helper, T_NEAR);
    }
    // The result's register after the restore must hold no heap value:
    // r0..r7 get the frame's scalars, any other register is checked here.
    // rdx the frame; leaves its return register in r9 (see any_landing).
    void return_register_is_scalar(const Label& helper) {
        Label in_window;
        movzx(r9d, byte[rdx + frames_.return_register]);
        cmp(r9d, kWindowSize);
        jb(in_window, T_NEAR);
        mov(r10d, r9d);
        shl(r10d, 4);
        cmp(byte[r12 + r10], kFirstHeapTag);
        jae(helper, T_NEAR);
        L(in_window);
    }
    // CallStack::drop_back of frame rdx, with r8 its saved types: the
    // frame's r0..r7 are the caller's window again, and the callee's window
    // is dropped with nothing to release.
    void drop_frame() {
        mov(qword[r13], r8);
        mov(rbp, rdx);
        count_one();
    }

    // The landing of pc p, which a return with a result jumps to with the
    // result in xmm15 and r11b: it places the result, then polls as the
    // jump to p would. After a CallR (at p - 1), where every frame returns,
    // the landing knows the destination, the CallR's, which its frame
    // names too; no frame returns to any other p, whose landing is
    // any_landing_, which reads the destination from the frame. A landing
    // comes right before at[p], into which it falls.
    void land(uint64_t p) {
        if (!windowed_ || p == 0 || code_[p - 1].op != Opcode::CallR) return;
        land_at(p, landing_[p]);
    }
    // The landing after a CallR's copy: as land(p), on at p in the copy.
    void specialised_landing(uint64_t p) {
        if (windowed_) land_at(p, specialised_landing_[p]);
    }
    void land_at(uint64_t p, Label& landing) {
        const uint8_t dst = code_[p - 1].b;
        L(landing);
        movups(ptr[value_of(dst)], xmm15);
        declare(dst, r11b);
        if (p == n_) return;
        needs_poll_[p] = true;
        cmp(r14, poll_at());
        jae(poll_[p], T_NEAR);
        if (!specialised_ || dst >= kWindowSize || (known_ints_[p] >> dst & 1) == 0) return;
        cmp(r11b, kInt);  // the copy of p relies on an Int result
        jne(at_[p], T_NEAR);
    }
    // rdx the frame just popped, r9 its return register, rax the pc.
    void any_landing() {
        if (!windowed_) return;
        L(any_landing_);
        mov(r10d, r9d);
        shl(r10d, 4);
        mov(rcx, r12);  // the destination: in the caller's window, or the register file
        cmp(r9d, kWindowSize);
        cmovb(rcx, rdx);
        movups(ptr[rcx + r10], xmm15);
        store_if_changed(byte[r13 + r9], r11b);
        go_to_pc();
    }

    // After a quick call or return: rax the pc to go on at, or kNotQuick
    // (to `slow`). The instruction is counted; the last jump is untouched.
    void quick_transfer(const Label& slow) {
        cmp(rax, -1);
        static_assert(kNotQuick == UINT64_MAX);
        je(slow, T_NEAR);
        count_one();
        go_to_pc();
    }

    // Goes to at[target] from a taken jump, or leaves before it when a
    // watched run's poll is due.
    void take(uint64_t target) {
        needs_poll_[target] = true;
        cmp(r14, poll_at());
        jae(poll_[target], T_NEAR);
        jmp(at_[target], T_NEAR);
    }
    // Code for a case the common one jumps away from (Floats where Ints are
    // the rule): emitted after the instructions, from `entry` back to
    // `back`, so that the common case runs straight on without a jump.
    struct ColdPath {
        Label entry, back;
        std::function<void()> emit;
        WindowMask window_mask = kWholeWindow;  // window_mask_ where it leaves
        const Label* back_to = nullptr;         // elsewhere than `back`
        bool specialised = false;               // specialised_ and known_ where it leaves
        WindowMask known = 0;
    };
    ColdPath& cold_path(std::function<void()> emit) {
        ColdPath& path = cold_paths_.emplace_back();
        path.emit = std::move(emit);
        path.window_mask = window_mask_;
        path.specialised = specialised_;
        path.known = known_;
        return path;
    }
    // The stub of instruction i, for its guards.
    const Label& stub(uint64_t i) {
        needs_stub_[i] = true;
        return stub_[i];
    }

    static int slot(uint8_t r) { return 16 * static_cast<int>(r); }
    // Where register r is while the machine code runs: r0..r7 in the
    // window when the code keeps one (see `windowed_`).
    Xbyak::RegExp value_of(uint8_t r) const { return (windowed_ && r < kWindowSize ? rbp : r12) + slot(r); }
    Xbyak::Address tag(uint8_t r) { return byte[value_of(r)]; }
    Xbyak::Address payload(uint8_t r) { return qword[value_of(r) + 8]; }
    Xbyak::Address declared(uint8_t r) { return byte[r13 + r]; }
    Xbyak::Address poll_at() { return ptr[rbx + offsetof(MachineFrame, poll_at)]; }

    // rbp: the end of the VM's call stack, whenever calls and returns
    // have their quick path in machine code. Taken again from the state
    // after a handler or helper that may have pushed or popped a frame
    // (the stack may have moved), with the stack's first frame and the end
    // of its room, which the quick call and return compare it with; those
    // keep it in rbp alone, and flush_window stores it into the state
    // before C++ code runs. In a register, a call and the return that
    // follows do not wait for each other's store of it to reach the load:
    // fib ran 10% faster.
    void reload_stack_end(const Xbyak::Reg64& scratch) {
        if (!windowed_) return;
        mov(scratch, ptr[rbx + offsetof(MachineFrame, state)]);
        mov(rbp, ptr[scratch + frames_.stack_end]);
        mov(r11, ptr[scratch + frames_.stack_begin]);
        mov(ptr[rbx + offsetof(MachineFrame, stack_begin)], r11);
        mov(r11, ptr[scratch + frames_.stack_capacity]);
        mov(ptr[rbx + offsetof(MachineFrame, stack_room_end)], r11);
    }

    // A register whose value owns a payload needs a release on overwrite:
    // the interpreter does that.
    //
    // A register of r0..r7 a partial copy left unset holds its caller's
    // value, whose tag its declared tag is (no DefineR, or no partial copy).
    void guard_scalar(uint8_t r, uint64_t i) {
        cmp(unset_in_window(r) ? declared(r) : tag(r), kFirstHeapTag);
        jae(stub(i), T_NEAR);
    }
    bool unset_in_window(uint8_t r) const { return r < kWindowSize && (window_mask_ >> r & 1) == 0; }
    void count_one() { add(r14, 1); }

    // Writes a scalar to register dst: its tag (a constant, or a register
    // whose 32 bits hold it), its payload (a general register, or the low
    // half of an SSE one) and its declared tag.
    //
    // In a list with calls, tag and payload go as one 16-byte store and the
    // declared tag only when it changes. Calls and returns copy registers
    // sixteen bytes at a time and read the eight tags of r0..r7 as one
    // word; a load that spans two smaller stores still in flight cannot
    // take its bytes from them and waits until they reach the cache, some
    // twenty cycles, which made a call a third slower. Without calls
    // nothing reads registers that way, and three plain stores are cheaper.
    //
    // `declared_already`: dst holds a value of tag t, and so its declared
    // tag is t too (see typed_write).
    template <typename Tag, typename Payload>
    void write_scalar(uint8_t dst, Tag t, const Payload& payload_bits, bool declared_already = false) {
        if (!has_calls_) {
            store_payload(dst, payload_bits);
            mov(tag(dst), t);
            if (!declared_already) mov(declared(dst), t);
            return;
        }
        tag_word(xmm14, t);
        high_half(xmm14, payload_bits);
        movups(ptr[value_of(dst)], xmm14);
        if (!declared_already) declare(dst, t);
    }
    // Writes the scalar of tag t and payload `bits` to register dst. In a
    // list with calls, the value is one 16-byte constant of the block,
    // loaded and stored whole (see write_scalar).
    void write_constant(uint8_t dst, uint8_t t, uint64_t bits, bool declared_already = false) {
        if (!has_calls_) {
            mov(rax, bits);
            write_scalar(dst, t, rax, declared_already);
            return;
        }
        movups(xmm14, ptr[rip + constant_values_[{t, bits}]]);
        movups(ptr[value_of(dst)], xmm14);
        if (!declared_already) declare(dst, t);
    }
    // The code of instruction i, which writes a scalar of tag t to dst, with
    // dst's guard (guard_scalar). In a list without DefineR every
    // register's declared tag is its value's tag, so when dst holds a t
    // already its declared tag needs no store: body(true) runs then. Any
    // other dst runs body(false), out of line. For kinds whose destination
    // mostly keeps its tag from one write to the next (comparisons: a Bool);
    // an arithmetic result is often the first value of its register in a
    // frame, whose window starts as a copy of the caller's.
    void typed_write(uint64_t i, uint8_t dst, uint8_t t, const std::function<void(bool)>& body) {
        if (!tags_follow_values_) {
            guard_scalar(dst, i);
            body(false);
            return;
        }
        ColdPath& retyped = cold_path([this, i, dst, body] {
            guard_scalar(dst, i);
            body(false);
        });
        cmp(unset_in_window(dst) ? declared(dst) : tag(dst), t);
        jne(retyped.entry, T_NEAR);
        body(true);
        L(retyped.back);
    }
    // A declared tag stored only when it changes (see write_scalar).
    template <typename Tag>
    void store_if_changed(const Xbyak::Address& at, Tag t) {
        Label same;
        cmp(at, t);
        je(same);
        mov(at, t);
        L(same);
    }
    // Register r's declared tag becomes t. Calls and returns read the
    // declared tags of r0..r7 as one word, which cannot take a byte still
    // in flight from a store of one byte: it waits until that store
    // reaches the cache. So with a window, a tag of r0..r7 that changes is
    // written with the seven others, as one word.
    template <typename Tag>
    void declare(uint8_t r, Tag t) {
        if (!windowed_ || r >= kWindowSize) {
            store_if_changed(declared(r), t);
            return;
        }
        Label same;
        cmp(declared(r), t);
        je(same);
        if (sse41_) {
            movq(xmm13, qword[r13]);
            insert_tag(r, t);
            movq(qword[r13], xmm13);
        } else {
            mov(r10, qword[r13]);
            if (r != 0) ror(r10, 8 * r);
            mov(r10b, t);
            if (r != 0) rol(r10, 8 * r);
            mov(qword[r13], r10);
        }
        L(same);
    }
    // Tag t into byte r of xmm13: from the register, or from the block's
    // tag words (whose first byte is the tag).
    void insert_tag(uint8_t r, const Xbyak::Reg8& t) { pinsrb(xmm13, t.cvt32(), r); }
    void insert_tag(uint8_t r, uint8_t t) { pinsrb(xmm13, byte[rip + tag_words_ + 8 * t], r); }
    void store_payload(uint8_t dst, const Xbyak::Reg64& bits) { mov(payload(dst), bits); }
    void store_payload(uint8_t dst, const Xbyak::Xmm& bits) { movsd(payload(dst), bits); }
    // Payload bits into the high half of `value`, whose low half stays.
    void high_half(const Xbyak::Xmm& value, const Xbyak::Reg64& bits) {
        if (sse41_) {
            pinsrq(value, bits, 1);
            return;
        }
        movq(xmm13, bits);
        punpcklqdq(value, xmm13);
    }
    void high_half(const Xbyak::Xmm& value, const Xbyak::Xmm& bits) { punpcklqdq(value, bits); }
    static bool processor_has_sse41() {
        static const bool has = Xbyak::util::Cpu().has(Xbyak::util::Cpu::tSSE41);
        return has;
    }
    // The low half of a value with tag t: the tag, then zero bytes.
    void tag_word(const Xbyak::Xmm& to, uint8_t t) { movq(to, qword[rip + tag_words_ + 8 * t]); }
    void tag_word(const Xbyak::Xmm& to, const Xbyak::Reg8& t) { movd(to, t.cvt32()); }

    bool inside(uint64_t jump_index, uint64_t& target) const {
        target = jump_target(jump_index, code_[jump_index].offset());
        return target < n_;
    }

    void instruction(uint64_t i) {
        land(i);
        L(at_[i]);
        loop_entry(i);
        if (!compile_instruction(i, code_[i])) {
            call_handler(i);
            return;
        }
        native_[i] = true;
    }
    // The copy of instruction i that relies on known_ints_[i]; on at i + 1
    // in the copy where there is one, else in the ordinary code.
    void specialised_instruction(uint64_t i) {
        specialised_ = true;
        known_ = known_ints_[i];
        L(specialised_at_[i]);
        const Instruction& ins = code_[i];
        const bool compiled = compile_instruction(i, ins);
        if (!compiled) call_handler(i);
        if (compiled && ins.op == Opcode::CallR) specialised_landing(i + 1);
        // A handler that moved pc to i + 1 may have called a function there.
        const bool straight_on = compiled || !moves_pc(ins.op);
        if (!straight_on || !goes_on_specialised(i)) jmp(at_[i + 1], T_NEAR);
        specialised_ = false;
        known_ = 0;
    }
    bool knows_int(uint8_t r) const {
        if (r >= kWindowSize) return specialised_ && is_stable_int(r);
        return (known_ >> r & 1) != 0;
    }
    bool is_stable_int(uint8_t r) const {
        return std::find(stable_.ints.begin(), stable_.ints.end(), r) != stable_.ints.end();
    }
    // Whether the copy knows register r holds the String the site called
    // when the code was made.
    bool knows_callee(uint8_t r, const CallSiteCache& site) const {
        if (!specialised_) return false;
        for (const auto& [stable, index] : stable_.names) {
            if (stable == r && constants_[index].value().payload() == site.callee.payload()) return true;
        }
        return false;
    }
    // Whether the common way out of instruction i goes on in the copy
    // (from the copy, or from the ordinary code where a run of it starts).
    bool goes_on_specialised(uint64_t i) const {
        if (i + 1 >= n_) return false;
        if (!specialised_) return from_ordinary_[i + 1];
        return known_ints_[i + 1] != 0 && !entered_by_exits_[i + 1];
    }
    const Label& next_on_common_way(uint64_t i) { return goes_on_specialised(i) ? specialised_at_[i + 1] : at_[i + 1]; }
    // On at i + 1 on the common way out of instruction i.
    void go_on_common_way(uint64_t i) {
        if (!specialised_ && goes_on_specialised(i)) {
            enter_copy(i + 1);
        } else {
            jmp(next_on_common_way(i), T_NEAR);
        }
    }
    // At the end of an instruction's common way in the ordinary code: into
    // the copy where a run of it starts.
    void enter_specialised_after(uint64_t i) {
        if (!specialised_ && goes_on_specialised(i)) enter_copy(i + 1);
    }
    // From the ordinary code into the copy of p, which relies on the stable
    // registers too: checked once a run, out of line, the ordinary code
    // going on when they do not hold yet.
    void enter_copy(uint64_t p) {
        if (stable_.ints.empty() && stable_.names.empty()) {
            jmp(specialised_at_[p], T_NEAR);
            return;
        }
        ColdPath& check = cold_path([this, p] {
            for (uint8_t r : stable_.ints) {
                cmp(tag(r), kInt);
                jne(at_[p], T_NEAR);
            }
            for (const auto& [r, index] : stable_.names) {
                cmp(tag(r), static_cast<uint8_t>(ValueType::String));
                jne(at_[p], T_NEAR);
                mov(rax, reinterpret_cast<uint64_t>(constants_[index].value().payload()));
                cmp(payload(r), rax);
                jne(at_[p], T_NEAR);
            }
            mov(byte[rbx + offsetof(MachineFrame, stable_checked)], 1);
        });
        check.back_to = &specialised_at_[p];
        cmp(byte[rbx + offsetof(MachineFrame, stable_checked)], 0);
        je(check.entry, T_NEAR);
        jmp(specialised_at_[p], T_NEAR);
    }
    const Label& landing_after(uint64_t i) { return specialised_ ? specialised_landing_[i + 1] : landing_[i + 1]; }
    bool compile_instruction(uint64_t i, const Instruction& ins) {
        bool compiled = true;
        switch (ins.op) {
            case Opcode::Nop:
                count_one();
                break;
            case Opcode::LoadConstR:
                compiled = load_constant(i, ins);
                break;
            case Opcode::MoveR:
                move(i, ins);
                break;
            case Opcode::AddR:
            case Opcode::SubR:
            case Opcode::MulR:
                arithmetic(i, ins);
                break;
            case Opcode::DivR:
                divide(i, ins);
                break;
            case Opcode::NegR:
                negate(i, ins);
                break;
            case Opcode::LtR:
                compiled = compare(i, ins, ins.b, ins.c, Relation::Less);
                break;
            case Opcode::LteR:
                compiled = compare(i, ins, ins.b, ins.c, Relation::LessEqual);
                break;
            case Opcode::GtR:
                compiled = compare(i, ins, ins.c, ins.b, Relation::Less);
                break;
            case Opcode::GteR:
                compiled = compare(i, ins, ins.c, ins.b, Relation::LessEqual);
                break;
            case Opcode::EqR:
                compiled = compare(i, ins, ins.b, ins.c, Relation::Equal);
                break;
            case Opcode::NeqR:
                compiled = compare(i, ins, ins.b, ins.c, Relation::NotEqual);
                break;
            case Opcode::JumpR:
            case Opcode::JumpIfR:
            case Opcode::JumpIfNotR:
                compiled = jump(i, ins);
                break;
            case Opcode::ArrayGetR:
                compiled = array_get(i, ins);
                break;
            case Opcode::ArraySetR:
                compiled = array_set(i, ins);
                break;
            case Opcode::CallR:  // the quick path, its handler after it
                compiled = call_function(i, ins);
                break;
            case Opcode::ReturnR:
                compiled = return_from_function(i, ins);
                break;
            default:
                compiled = false;
                break;
        }
        return compiled;
    }

    // At the head of a typed loop (jit_loop_x64.hpp), its code comes first;
    // the instruction's own code follows for when the loop's entry checks
    // fail and for its exits at the head.
    void loop_entry(uint64_t i) {
        const auto loop = loops_.find(i);
        if (loop == loops_.end()) return;
        Label head_code;
        LoopSurroundings around{at_, poll_, needs_poll_, head_code, windowed_};
        if (emit_loop(*this, code_, constants_, loop->second, around)) L(head_code);
    }

    bool load_constant(uint64_t i, const Instruction& ins) {
        if (ins.index() >= constants_.size()) return false;
        const Value& value = constants_[ins.index()].value();
        if (value.is_heap()) return false;
        uint8_t t = 0;
        uint64_t bits = 0;
        scalar_bits(value, t, bits);
        const bool dst_known = knows_int(ins.a);
        if (!dst_known) guard_scalar(ins.a, i);
        count_one();
        write_constant(ins.a, t, bits, dst_known && t == kInt);
        enter_specialised_after(i);
        return true;
    }

    void move(uint64_t i, const Instruction& ins) {
        movzx(eax, tag(ins.b));
        cmp(al, kFirstHeapTag);
        jae(stub(i), T_NEAR);
        guard_scalar(ins.a, i);
        count_one();
        mov(rcx, payload(ins.b));
        write_scalar(ins.a, al, rcx);
    }

    // AddR, SubR, MulR on two Ints (overflow: the interpreter reports it) or
    // two Floats; anything else goes to the interpreter.
    void arithmetic(uint64_t i, const Instruction& ins) {
        if (knows_int(ins.b)) {
            int_arithmetic(i, ins);
            return;
        }
        ColdPath& floats = cold_path([this, i, ins] {
            cmp(al, kFloat);
            jne(stub(i), T_NEAR);
            cmp(tag(ins.c), kFloat);
            jne(stub(i), T_NEAR);
            // b first: of two NaNs the first source's is kept, the left
            // one's, as in the interpreter (float_arithmetic.hpp).
            movsd(xmm0, payload(ins.b));
            if (ins.op == Opcode::AddR) addsd(xmm0, payload(ins.c));
            if (ins.op == Opcode::SubR) subsd(xmm0, payload(ins.c));
            if (ins.op == Opcode::MulR) mulsd(xmm0, payload(ins.c));
            count_one();
            write_scalar(ins.a, kFloat, xmm0);
        });
        // The Floats' way ends in the ordinary code: the copy relies on Ints.
        if (specialised_) floats.back_to = &at_[i + 1];
        if (!knows_int(ins.a)) guard_scalar(ins.a, i);
        movzx(eax, tag(ins.b));
        cmp(al, kInt);
        jne(floats.entry, T_NEAR);
        int_arithmetic(i, ins);
        if (!specialised_) L(floats.back);
    }
    // The Ints' way of AddR, SubR, MulR, the left operand's tag checked.
    void int_arithmetic(uint64_t i, const Instruction& ins) {
        const bool dst_known = knows_int(ins.a);
        if (knows_int(ins.b) && !dst_known) guard_scalar(ins.a, i);
        if (!knows_int(ins.c)) {
            cmp(tag(ins.c), kInt);
            jne(stub(i), T_NEAR);
        }
        mov(rcx, payload(ins.b));
        if (ins.op == Opcode::AddR) add(rcx, payload(ins.c));
        if (ins.op == Opcode::SubR) sub(rcx, payload(ins.c));
        if (ins.op == Opcode::MulR) imul(rcx, payload(ins.c));
        jo(stub(i), T_NEAR);
        count_one();
        write_scalar(ins.a, kInt, rcx, dst_known);
        enter_specialised_after(i);
    }

    // DivR on two Ints with a positive divisor (no zero divisor, no
    // INT64_MIN / -1) or two Floats with a divisor other than zero; the
    // interpreter does the rest and reports division by zero.
    void divide(uint64_t i, const Instruction& ins) {
        ColdPath& floats = cold_path([this, i, ins] {
            Label nonzero;
            cmp(al, kFloat);
            jne(stub(i), T_NEAR);
            cmp(tag(ins.c), kFloat);
            jne(stub(i), T_NEAR);
            movsd(xmm1, payload(ins.c));
            xorpd(xmm0, xmm0);
            ucomisd(xmm1, xmm0);
            jp(nonzero, T_NEAR);  // NaN is not zero
            je(stub(i), T_NEAR);  // +0.0 or -0.0
            L(nonzero);
            movsd(xmm0, payload(ins.b));
            divsd(xmm0, xmm1);
            count_one();
            write_scalar(ins.a, kFloat, xmm0);
        });
        guard_scalar(ins.a, i);
        movzx(eax, tag(ins.b));
        cmp(al, kInt);
        jne(floats.entry, T_NEAR);
        cmp(tag(ins.c), kInt);
        jne(stub(i), T_NEAR);
        mov(rcx, payload(ins.c));
        test(rcx, rcx);
        jle(stub(i), T_NEAR);
        mov(rax, payload(ins.b));
        cqo();
        idiv(rcx);
        count_one();
        write_scalar(ins.a, kInt, rax);
        L(floats.back);
    }

    // NegR of a Float (the sign bit flipped, NaN included) or of an Int
    // other than INT64_MIN (whose overflow the interpreter reports).
    void negate(uint64_t i, const Instruction& ins) {
        Label ints, done;
        guard_scalar(ins.a, i);
        movzx(eax, tag(ins.b));
        cmp(al, kFloat);
        jne(ints, T_NEAR);
        mov(rcx, payload(ins.b));
        mov(rdx, uint64_t{1} << 63);
        xor_(rcx, rdx);
        count_one();
        write_scalar(ins.a, kFloat, rcx);
        jmp(done, T_NEAR);
        L(ints);
        cmp(al, kInt);
        jne(stub(i), T_NEAR);
        mov(rcx, payload(ins.b));
        neg(rcx);
        jo(stub(i), T_NEAR);
        count_one();
        write_scalar(ins.a, kInt, rcx);
        L(done);
    }

    // dst = (x relation y) on two Ints, or for orderings on two Floats (the
    // interpreter's comparisons of other pairs may fail or allocate). When
    // the next instruction is a conditional jump on dst inside the list,
    // the jump follows right here, without looking at dst again.
    bool compare(uint64_t i, const Instruction& ins, uint8_t x, uint8_t y, Relation relation) {
        typed_write(i, ins.a, kBool, [this, i, ins, x, y, relation](bool declared_already) {
            compare(i, ins, x, y, relation, declared_already);
        });
        return true;
    }
    void compare(uint64_t i, const Instruction& ins, uint8_t x, uint8_t y, Relation relation, bool declared_already) {
        const bool ordering = relation == Relation::Less || relation == Relation::LessEqual;
        ColdPath* floats = nullptr;
        if (ordering && !knows_int(x)) {
            floats = &cold_path([this, i, x, y, relation] {
                cmp(al, kFloat);
                jne(stub(i), T_NEAR);
                cmp(tag(y), kFloat);
                jne(stub(i), T_NEAR);
                // y above x, unordered (NaN) never: x < y, and with equality x <= y.
                movsd(xmm0, payload(y));
                ucomisd(xmm0, payload(x));
                if (relation == Relation::Less) seta(dl);
                if (relation == Relation::LessEqual) setae(dl);
            });
        }
        if (!knows_int(x)) {
            movzx(eax, tag(x));
            cmp(al, kInt);
            jne(floats ? floats->entry : stub(i), T_NEAR);
        }
        if (!knows_int(y)) {
            cmp(tag(y), kInt);
            jne(stub(i), T_NEAR);
        }
        mov(rcx, payload(x));
        cmp(rcx, payload(y));
        if (relation == Relation::Less) setl(dl);
        if (relation == Relation::LessEqual) setle(dl);
        if (relation == Relation::Equal) sete(dl);
        if (relation == Relation::NotEqual) setne(dl);
        if (floats) L(floats->back);
        uint64_t target = 0;
        const bool fused = jump_follows(i, ins.a, target);
        add(r14, fused ? 2 : 1);  // the jump too: nothing can stop the run between them
        movzx(edx, dl);
        write_scalar(ins.a, kBool, rdx, declared_already);
        if (fused) fuse_following_jump(i, target);
    }

    // Whether instruction i + 1 is a conditional jump on dst to `target`
    // inside the list, which the comparison at i runs right after itself.
    bool jump_follows(uint64_t i, uint8_t dst, uint64_t& target) const {
        if (i + 1 >= n_) return false;
        const Instruction& next = code_[i + 1];
        return (next.op == Opcode::JumpIfR || next.op == Opcode::JumpIfNotR) && next.a == dst && inside(i + 1, target);
    }
    // The jump at i + 1, counted with the comparison, its condition in dl.
    void fuse_following_jump(uint64_t i, uint64_t target) {
        const Instruction& next = code_[i + 1];
        test(dl, dl);
        take_if(next.op == Opcode::JumpIfR, i + 1, target);
        // Not taken: on at i + 2, straight on when the jump's own code (for
        // jumps to it) goes out of line, which it can unless a loop starts
        // there. Out of line, a copy of this code falls into its way back,
        // which comes right before i + 2 then.
        if (specialised_) {
            jmp(next_on_common_way(i + 1), T_NEAR);
        } else if (loops_.count(i + 1) == 0) {
            out_of_line_[i + 1] = true;
        } else {
            jmp(at_[i + 2], T_NEAR);
        }
    }

    // When the flags say nonzero (when_set) or zero: records jump `from` as
    // the last one taken and takes it to `target`.
    void take_if(bool when_set, uint64_t from, uint64_t target) {
        Label not_taken;
        if (when_set)
            jz(not_taken, T_NEAR);
        else
            jnz(not_taken, T_NEAR);
        mov(r15, static_cast<uint32_t>(from));
        take(target);
        L(not_taken);
    }

    // Jumps inside the list; a jump out of it, or a condition that is not a
    // Bool, goes to the interpreter.
    bool jump(uint64_t i, const Instruction& ins) {
        uint64_t target = 0;
        if (!inside(i, target)) return false;
        if (ins.op == Opcode::JumpR) {
            count_one();
            mov(r15, static_cast<uint32_t>(i));
            take(target);
            return true;
        }
        cmp(tag(ins.a), kBool);
        jne(stub(i), T_NEAR);
        count_one();
        cmp(byte[value_of(ins.a) + 8], 0);
        take_if(ins.op == Opcode::JumpIfR, i, target);
        return true;
    }

    // rdx = the address of element [payload(index)] of the Array in
    // register `array`; to the stub unless the register holds an Array,
    // the index an Int and the element, inside the array, a scalar.
    void element_address(uint64_t i, uint8_t array, uint8_t index) {
        const ArrayLayout& layout = array_layout();
        cmp(tag(array), kArray);
        jne(stub(i), T_NEAR);
        cmp(tag(index), kInt);
        jne(stub(i), T_NEAR);
        mov(rcx, payload(array));
        mov(rdx, ptr[rcx + layout.begin]);
        mov(rsi, ptr[rcx + layout.end]);
        sub(rsi, rdx);
        shr(rsi, 4);
        mov(rdi, payload(index));
        cmp(rdi, rsi);
        jae(stub(i), T_NEAR);  // unsigned: a negative index too
        shl(rdi, 4);
        add(rdx, rdi);
        cmp(byte[rdx], kFirstHeapTag);
        jae(stub(i), T_NEAR);
    }

    // dst = array[index] for a scalar element into a register that holds
    // a scalar: no reference count changes hands.
    bool array_get(uint64_t i, const Instruction& ins) {
        if (!array_layout().known) return false;
        guard_scalar(ins.a, i);
        element_address(i, ins.b, ins.c);
        movzx(eax, byte[rdx]);
        mov(rcx, ptr[rdx + 8]);
        count_one();
        write_scalar(ins.a, al, rcx);
        return true;
    }

    // array[index] = value for a scalar value over a scalar element of an
    // array nothing else holds (a shared one is copied first: the handler).
    bool array_set(uint64_t i, const Instruction& ins) {
        if (!array_layout().known) return false;
        movzx(eax, tag(ins.c));
        cmp(al, kFirstHeapTag);
        jae(stub(i), T_NEAR);
        element_address(i, ins.a, ins.b);
        mov(rcx, payload(ins.a));
        cmp(dword[rcx + array_layout().refs], 1);
        jne(stub(i), T_NEAR);
        mov(rcx, payload(ins.c));
        count_one();
        mov(byte[rdx], al);
        mov(ptr[rdx + 8], rcx);
        mov(declared(ins.a), kArray);
        return true;
    }

    const std::vector<Instruction>& code_;
    const std::vector<Constant>& constants_;
    const LoadCaches* caches_;
    FrameLayout frames_;  // known: calls and returns push and pop partial frames themselves
    const uint64_t n_;
    std::vector<Label> at_;
    // landing_[p]: where a return with a result goes on to pc p, having
    // left it in xmm15 (value) and r11b (tag); see pop_frame.
    std::vector<Label> landing_;
    // The copy of straight runs of instructions that relies on known Ints
    // (see plan_specialised_copies): what each may rely on, its labels,
    // whether the copy is being emitted and what the current one relies on.
    std::vector<WindowMask> known_ints_;
    std::vector<bool> entered_by_exits_, from_ordinary_;
    StableRegisters stable_;  // what the copy relies on besides known_ints_
    std::vector<Label> specialised_at_, specialised_landing_;
    bool specialised_ = false;
    WindowMask known_ = 0;
    std::vector<Label> stub_;
    std::vector<bool> needs_stub_;
    std::vector<Label> poll_;
    std::vector<bool> needs_poll_;
    std::vector<bool> native_;
    std::vector<bool> out_of_line_;                // emitted after the others, see fuse_following_jump
    std::map<uint64_t, LoopPlan> loops_;           // by head
    std::map<uint64_t, CallTail> call_tails_;      // by CallR, see push_frame
    std::map<uint64_t, ReturnPath> return_paths_;  // by entry, see run_return_path
    std::list<ColdPath> cold_paths_;               // a list: their labels stay put
    std::vector<Value> kept_alive_;                // see take_kept_alive
    const bool has_calls_;                         // see write_scalar
    // Calls and returns are machine code. Then rbp keeps the call stack's
    // end (see reload_stack_end) and r0..r7 live in the window there,
    // the place past the innermost frame, rather than in the register
    // file: a call's frame holds the caller's r0..r7 where they already
    // are, a return copies nothing back and goes on through a landing
    // (see land, and the top of this file).
    bool windowed_ = false;
    bool calls_return_into_window_ = false;  // every CallR's destination is one of r0..r7
    // No DefineR: every register's declared tag stays its value's tag, from
    // the load on (the state starts each load that way), see typed_write.
    bool tags_follow_values_ = false;
    bool sse41_ = false;           // pinsrq and pinsrb may be used (else SSE2 alone, as every x86-64 has)
    std::vector<uint64_t> roots_;  // where a run starts (0) and the function entries
    // Partial copies of the window (jit_window_plan.hpp): the plan, whether
    // any call makes one, and what the window holds where code is emitted.
    WindowPlan window_plan_;
    bool partial_windows_ = false;
    WindowMask window_mask_ = kWholeWindow;
    Label leave_, leave_whole_, transfer_, table_;
    Label flush_window_, load_window_, fill_in_window_;  // see flush_window, fill_in_windows
    Label valid_masks_;                                  // valid_before, one byte per index
    Label landing_table_, any_landing_;                  // see land
    Label tag_words_;                                    // the scalar tags as words, the low half of a value
    Label heap_tag_bytes_;                               // frames::kHeapTagBytes
    std::map<std::pair<uint64_t, uint64_t>, Label> constant_values_;  // scalars as values: tag word, payload
};

}  // namespace

bool tier_built() { return true; }

std::shared_ptr<MachineCode> compile(const std::vector<Instruction>& code, const std::vector<Constant>& constants,
                                     const SeenTypes* seen, const VmState* state) {
    if (code.size() > kMaxInstructions || !value_layout_matches()) return nullptr;
    try {
        auto emitter = std::make_unique<Emitter>(code, constants, state);
        std::vector<bool> native = emitter->emit(plan_loops(code, constants, seen));
        const bool windowed = emitter->windowed();
        std::vector<Value> kept_alive = emitter->take_kept_alive();
        return std::make_shared<MachineCode>(std::move(emitter), std::move(native), windowed, std::move(kept_alive));
    } catch (const Xbyak::Error&) {
        return nullptr;  // the emitter could not get or protect memory: the interpreter runs everything
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool has_native_code(const MachineCode& machine_code, uint64_t pc) { return machine_code.has_native_code(pc); }
void enter(const MachineCode& machine_code, MachineFrame& frame) { machine_code.enter(frame); }
size_t code_bytes(const MachineCode& machine_code) { return machine_code.bytes(); }

}  // namespace tarnel::jit

#else  // no tier in this build

namespace tarnel::jit {

class MachineCode {};

bool tier_built() { return false; }
std::shared_ptr<MachineCode> compile(const std::vector<Instruction>&, const std::vector<Constant>&, const SeenTypes*,
                                     const VmState*) {
    return nullptr;
}
bool has_native_code(const MachineCode&, uint64_t) { return false; }
void enter(const MachineCode&, MachineFrame&) {}
size_t code_bytes(const MachineCode&) { return 0; }

}  // namespace tarnel::jit

#endif
