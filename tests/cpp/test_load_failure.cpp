// Installing a module when memory runs out: every allocation of the install
// is made to fail in turn, and each failure must leave the machine exactly as
// it was, still able to run its old program.
//
// This file replaces the global allocation functions for the whole test
// program. They behave as usual until a test arms the countdown.
#include <cstdlib>
#include <new>
#include <ostream>

#include "vm_fixture.hpp"

namespace {

// Allocations left before the next one fails; negative means never fail.
long g_allocations_left = -1;

void* allocate(std::size_t size) {
    if (g_allocations_left == 0) throw std::bad_alloc();
    if (g_allocations_left > 0) --g_allocations_left;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace tarnel {
namespace {

using namespace tarnel::testing;

// Disarms the countdown however the scope is left.
struct FailAfter {
    explicit FailAfter(long allowed) { g_allocations_left = allowed; }
    ~FailAfter() { g_allocations_left = -1; }
};

// main calls "helper" through CallR (a call-site cache) and stores the
// result in a global; it ends by running off its end, so every run starts
// again at main.
Module old_program() {
    return make_module({I(Op::MoveR, {0, 0}), I(Op::ReturnR, {0}),  // helper
                        I(Op::LoadConstR, {1, 0}), I(Op::LoadConstR, {2, 1}), Instruction::call(2, {1}, 3),
                        I(Op::StoreGlobalR, {3, 3})},
                       {Constant::of_int(41), Constant::of_string("helper"), Constant::of_string("unused"),
                        Constant::of_string("result")},
                       {{"main", 2}, {"helper", 0}});
}

// A bigger program with call sites at other places and other constants.
Module new_program() {
    std::vector<Instruction> code;
    for (int i = 0; i < 40; ++i) code.push_back(Instruction::call(0, {1, 2}, 3));
    code.push_back(I(Op::Halt));
    std::vector<Constant> constants;
    for (int i = 0; i < 20; ++i) constants.push_back(Constant::of_string("text " + std::to_string(i)));
    return make_module(std::move(code), std::move(constants), {{"main", 0}, {"f", 40}, {"g", 7}});
}

// What a failed install must not change.
struct Snapshot {
    size_t instructions, constants, call_sites, call_site_index;
    std::string name;
    uint64_t pc;
    bool halted;
    std::string r3;

    static Snapshot of(const VmState& vm) {
        return {vm.instructions.size(),
                vm.constants.size(),
                vm.caches.call_sites.size(),
                vm.caches.call_site_index.size(),
                vm.module->name,
                vm.pc,
                vm.halted,
                std::string(vm.registers[3].is(ValueType::Int) ? "int" : "other")};
    }
    bool operator==(const Snapshot&) const = default;
};

void PrintTo(const Snapshot& s, std::ostream* os) {
    *os << s.name << ": " << s.instructions << " instructions, " << s.constants << " constants, " << s.call_sites
        << " call sites, " << s.call_site_index << " indexes, pc " << s.pc;
}

TEST(LoadFailure, EveryFailedAllocationLeavesTheOldModuleRunnable) {
    VmState vm;
    Module old_module = old_program();
    old_module.name = "old";
    vm.reset_for_module(std::move(old_module));
    Outcome first = run_state(vm);
    ASSERT_TRUE(first.ok) << first.message;
    const Snapshot before = Snapshot::of(vm);

    const Module fresh = new_program();
    long failures = 0;
    bool installed = false;
    for (long allowed = 0; allowed < 100000 && !installed; ++allowed) {
        Module copy = fresh;
        try {
            FailAfter countdown(allowed);
            vm.reset_for_module(std::move(copy));
            installed = true;
        } catch (const std::bad_alloc&) {
            ++failures;
            ASSERT_EQ(Snapshot::of(vm), before) << "after failing allocation " << allowed;
            Outcome again = run_state(vm);
            ASSERT_TRUE(again.ok) << again.message;
            ASSERT_EQ(vm.globals.size(), 1u);
        }
    }
    ASSERT_TRUE(installed);
    EXPECT_GT(failures, 0);  // the install does allocate, so some attempt failed
    EXPECT_EQ(vm.instructions.size(), 41u);
    EXPECT_EQ(vm.caches.call_sites.size(), 40u);
    EXPECT_TRUE(vm.globals.empty());
}

}  // namespace
}  // namespace tarnel
