"""Where a failed run stopped: tarnel_vm._where, tarnel.where and isolated runs."""

from __future__ import annotations

import pytest
import tarnel
from tarnel import where
from tarnel.asm import assemble_with_map

tarnel_vm = pytest.importorskip("tarnel_vm")

# Calls f(2); f counts down through itself and divides by zero at the bottom.
RECURSE = """\
.func main
        LoadConstR r0, 2
        LoadConstR r1, "f"
        CallR r1, [r0], r2
        ReturnR r2
.func f
        LoadConstR r1, 0
        JumpIfNotR r0, bottom
        LoadConstR r3, 1
        SubR r0, r0, r3
        LoadConstR r3, "f"
        CallR r3, [r0], r4
        ReturnR r4
bottom:
        DivR r0, r0, r1
"""

NO_FUNCTIONS = "Nop\nLoadConstR r0, 1\nNegR r0, r1\n"

# Two names share entry point 0; the one that sorts first is shown.
SHARED_ENTRY = '.func zeta\n.func alpha 0\nLoadConstR r0, "x"\nStrLenR r1, r2\n'

CALLS_ITSELF = '.func main\nLoadConstR r1, "main"\nCallR r1, [], r2\n'

UNDEFINED = '.func main\nLoadConstR r1, "nowhere"\nCallR r1, [], r2\n'


def failed_run(tmp_path, text):
    built = assemble_with_map(text, "prog.tnasm")
    path = tmp_path / "prog.tnbc"
    path.write_bytes(built.data)
    vm = tarnel_vm.VornVM()
    vm.load_bytecode(str(path))
    with pytest.raises(RuntimeError) as info:
        vm.execute()
    return vm, built, info.value


@pytest.mark.parametrize("text,message,expected", [
    (RECURSE, "Runtime error: Division by zero",
     [(11, "f", "DivR r0, r0, r1", 15), (9, "f", "CallR r3, [r0], r4", 12),
      (9, "f", "CallR r3, [r0], r4", 12), (2, "main", "CallR r1, [r0], r2", 4)]),
    (NO_FUNCTIONS, "Runtime error: Invalid operation: negation on type Empty",
     [(2, "<module>", "NegR r0, r1", 3)]),
    (SHARED_ENTRY, "Runtime error: Type mismatch: expected string, found empty",
     [(1, "alpha", "StrLenR r1, r2", 4)]),
    (UNDEFINED, "Runtime error: Undefined function: nowhere",
     [(1, "main", "CallR r1, [], r2", 3)]),
], ids=["nested calls", "no function table", "shared entry point", "undefined function"])
def test_backtrace(tmp_path, text, message, expected):
    vm, built, exc = failed_run(tmp_path, text)
    where.attach(exc, vm, built.module, built.source_map, "prog.tnasm")
    assert str(exc) == message and exc.args == (message,)   # the VM's text, untouched
    got = [(loc.index, loc.function, loc.instruction, loc.line) for loc in exc.backtrace]
    assert got == expected
    assert exc.location == exc.backtrace[0]
    assert str(exc.location).startswith("prog.tnasm:%d:" % expected[0][3])


def test_stack_overflow_has_one_site_per_frame(tmp_path):
    vm, built, exc = failed_run(tmp_path, CALLS_ITSELF)
    where.attach(exc, vm, built.module)
    assert str(exc) == "Runtime error: Stack overflow"
    assert len(exc.backtrace) == 1001           # the failing call and 1,000 frames
    assert {loc.index for loc in exc.backtrace} == {1}
    lines = where.format_backtrace(exc.backtrace)
    assert lines[-1] == "  [the line above repeated 998 more times]"
    assert len(lines) == 4


def test_without_the_module_the_debug_form_is_shown(tmp_path):
    vm, _, exc = failed_run(tmp_path, RECURSE)
    where.attach(exc, vm)
    assert exc.location == where.Location(11, "f", "DivR { dst: 0, left: 0, right: 1 }")
    assert str(exc.location) == "in f, instruction 11: DivR { dst: 0, left: 0, right: 1 }"


def test_where_reads_and_changes_nothing(tmp_path):
    vm, _, _ = failed_run(tmp_path, RECURSE)
    count = vm.instruction_count()
    first = tarnel_vm._where(vm)
    assert first == tarnel_vm._where(vm)
    pc, returns, functions, texts = first
    assert (pc, returns, functions) == (12, [3, 10, 10], {"main": 0, "f": 4})
    assert sorted(texts) == [2, 9, 11]
    assert vm.instruction_count() == count
    assert "_where" not in tarnel_vm.__all__


@pytest.mark.parametrize("argument,error", [
    (None, TypeError), (42, TypeError), ("vm", TypeError),
])
def test_where_wants_a_vm(argument, error):
    with pytest.raises(error):
        tarnel_vm._where(argument)


def test_module_not_loaded_has_no_location():
    vm = tarnel_vm.VornVM()
    assert tarnel_vm._where(vm) is None
    with pytest.raises(RuntimeError) as info:
        vm.execute()
    where.attach(info.value, vm)
    assert (info.value.backtrace, info.value.location) == ([], None)


@pytest.mark.parametrize("entries,index,name", [
    ({}, 5, "<module>"),
    ({"main": 3}, 2, "<module>"),
    ({"main": 3}, 3, "main"),
    ({"main": 0, "f": 10}, 9, "main"),
    ({"main": 0, "f": 10}, 10, "f"),
    ({"b": 4, "a": 4, "c": 0}, 7, "a"),
])
def test_function_of_an_index(entries, index, name):
    assert where.FunctionFinder(entries)(index) == name


@pytest.mark.parametrize("copies,shown", [(1, 1), (3, 3), (4, 4), (10, 4)])
def test_repeated_calls_are_shortened(copies, shown):
    loc = where.Location(1, "main", "CallR r1, [], r2", "p.tnasm", 3, 1)
    lines = where.format_backtrace([loc] * copies)
    assert len(lines) == shown
    if copies > 3:
        assert lines[-1] == "  [the line above repeated %d more time%s]" % (
            copies - 3, "" if copies == 4 else "s")


@pytest.mark.slow
def test_isolated_run_brings_back_the_backtrace(tmp_path):
    path = tmp_path / "prog.tnbc"
    path.write_bytes(tarnel.assemble(RECURSE))
    with pytest.raises(RuntimeError) as info:
        tarnel.run_isolated(str(path), timeout=30)
    exc = info.value
    assert type(exc) is RuntimeError and str(exc) == "Runtime error: Division by zero"
    assert [(loc.index, loc.function) for loc in exc.backtrace] == [
        (11, "f"), (9, "f"), (9, "f"), (2, "main")]


def test_tarnel_execute_says_where(tmp_path):
    path = tmp_path / "prog.tnbc"
    path.write_bytes(tarnel.assemble(RECURSE))
    vm = tarnel_vm.VornVM()
    vm.load_bytecode(str(path))
    with pytest.raises(RuntimeError) as info:
        tarnel.execute(vm, max_instructions=1000)
    assert str(info.value) == "Runtime error: Division by zero"
    assert [(loc.index, loc.function) for loc in info.value.backtrace] == [
        (11, "f"), (9, "f"), (9, "f"), (2, "main")]


@pytest.mark.parametrize("message", ["Already borrowed", "Runtime error: Module not loaded",
                                     "Failed to load bytecode: Invalid magic number"])
def test_errors_without_a_failing_instruction(tmp_path, message):
    vm, _, _ = failed_run(tmp_path, RECURSE)       # a VM that could tell a location
    exc = where.attach(RuntimeError(message), vm)
    assert (exc.backtrace, exc.location) == ([], None)
