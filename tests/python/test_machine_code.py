"""The machine-code tier against the interpreter, from Python: every program
of the corpus and the examples run with TARNEL_JIT=0 and with
TARNEL_JIT=always ends the same way (result, runtime error, output and
instruction count), and so do generated counting loops whose operands make
the machine code's guards fail at chosen rounds, also under the default
tiering, which compiles them in the middle of the loop, and generated
recursive calls with values of every kind, failures and the call-depth
limit, and generated loops over arrays, also under instruction budgets.

In builds without the tier both runs use the interpreter and agree
trivially; the C++ tests check which builds have it.
"""

from __future__ import annotations

import os

import pytest
import tarnel
from hypothesis import given, settings
from hypothesis import strategies as st
from program_corpus import parse_expectation, run_program, same
from test_programs import CORPUS, EXAMPLES, program_id

pytest.importorskip("tarnel_vm")


def both_ways(run, monkeypatch, modes=("0", "always")):
    """The outcomes of `run` with TARNEL_JIT set to each mode (None: unset, the default tiering)."""
    outcomes = []
    for mode in modes:
        if mode is None:
            monkeypatch.delenv("TARNEL_JIT", raising=False)
        else:
            monkeypatch.setenv("TARNEL_JIT", mode)
        outcomes.append(run())
    return outcomes


@pytest.mark.parametrize("path", CORPUS + EXAMPLES, ids=program_id)
def test_program_same_with_machine_code(path, tmp_path, capfd, monkeypatch):
    expect = parse_expectation(path.read_text("utf-8"), program_id(path))
    off, on = both_ways(lambda: run_program(path, tmp_path, capfd, expect.debug), monkeypatch)
    assert on.error == off.error
    assert on.output == off.output
    assert on.instructions == off.instructions
    assert same(on.result, off.result), (on.result, off.result)


# r10 counts the rounds down, so every loop ends whatever the operands do.
LOOP = """
.func main
        LoadConstR r0, {start}
        LoadConstR r1, {limit}
        LoadConstR r2, {step}
        LoadConstR r5, {scale}
        LoadConstR r10, {rounds}
        LoadConstR r11, 1
        LoadConstR r13, 0
loop:
        AddR r0, r0, r2
        MulR r3, r0, r5
        SubR r4, r3, r0
        LtR r6, r0, r1
        NegR r7, r4
        SubR r10, r10, r11
        GtR r12, r10, r13
        JumpIfR r12, loop
        ReturnR r4
"""

NUMBERS = st.one_of(
    st.integers(min_value=-(2**63), max_value=2**63 - 1),
    st.sampled_from([0.5, -2.25, 1e10, 3.0, -0.0]),
    st.sampled_from(["true", "false", '"s"']),
)


def literal(value):
    return value if isinstance(value, str) else repr(value)


def assert_same_in_every_tier(run):
    """`run` ends the same with the tier off, with TARNEL_JIT=always and with the default tiering."""
    with pytest.MonkeyPatch.context() as patch:
        off, on, tiered = both_ways(run, patch, ("0", "always", None))
    assert on == off
    assert tiered == off


def assembled(tmp_path_factory, name, text):
    """The module file of assembly `text`, in a fresh directory."""
    path = tmp_path_factory.mktemp(name) / f"{name}.tnbc"
    path.write_bytes(tarnel.assemble(text, f"{name}.tnasm"))
    return path


def outcome(vm, execute):
    """How `execute()` on `vm` ended: ("ok", its result) or the exception's kind and message, with the count."""
    try:
        return ("ok", repr(execute()), vm.instruction_count())
    except (RuntimeError, tarnel.LimitExceeded) as exc:
        return (type(exc).__name__, str(exc), vm.instruction_count())


@settings(max_examples=60, deadline=None)
# Rounds in the thousands run long enough for the default tiering to
# compile in the middle of the loop.
@given(start=NUMBERS, limit=NUMBERS, step=NUMBERS, scale=NUMBERS,
       rounds=st.one_of(st.integers(min_value=0, max_value=100), st.integers(min_value=2000, max_value=4000)))
def test_generated_loops_same_with_machine_code(start, limit, step, scale, rounds, tmp_path_factory):
    import tarnel_vm

    text = LOOP.format(
        start=literal(start), limit=literal(limit), step=literal(step), scale=literal(scale), rounds=rounds
    )
    path = assembled(tmp_path_factory, "loop", text)

    def run():
        vm = tarnel_vm.VornVM()
        vm.load_bytecode(str(path))
        return outcome(vm, vm.execute)

    assert_same_in_every_tier(run)


# rec(n, x) calls itself n times passing x along, then returns x; AddR on x
# on the way down fails for a Bool and may overflow, leaving frames behind
# for the second execute(). Depths around 1,000 reach the call-depth limit.
CALLS = """
.func main
        LoadConstR r64, "rec"
        LoadConstR r65, 1
        LoadConstR r66, 0
        LoadConstR r0, {depth}
        LoadConstR r1, {value}
        LoadConstR r2, "held"
        CallR r64, [r0, r1], r{result}
        ReturnR r{result}

.func rec
        GtR r3, r0, r66
        JumpIfNotR r3, done
        SubR r0, r0, r65
        AddR r4, r1, r1
        CallR r64, [r0, r1], r5
        ReturnR r5
done:
        ReturnR r1
"""


@settings(max_examples=40, deadline=None)
@given(depth=st.one_of(st.integers(min_value=0, max_value=40), st.integers(min_value=995, max_value=1005)),
       value=NUMBERS, result=st.sampled_from([2, 5, 70]))
def test_generated_calls_same_with_machine_code(depth, value, result, tmp_path_factory):
    import tarnel_vm

    text = CALLS.format(depth=depth, value=literal(value), result=result)
    path = assembled(tmp_path_factory, "calls", text)

    def run():
        vm = tarnel_vm.VornVM()
        vm.load_bytecode(str(path))
        # The second run returns into what the first left.
        return [outcome(vm, vm.execute) for _ in range(2)]

    assert_same_in_every_tier(run)


# Sums the elements of the array passed in r0 into r5 and scales each by
# r1 in place, `rounds` times over: a typed loop inside a typed loop.
# Elements of other types, an empty array and overflow (a scale of 2
# doubles the elements every round) leave the typed code in the middle;
# the array's length is read before the loops.
ARRAY_LOOP = """
.func main
        ArrayLenR r4, r0
        LoadConstR r3, 1
        LoadConstR r5, {acc}
        LoadConstR r9, {rounds}
        LoadConstR r10, 0
outer:
        LoadConstR r2, 0
inner:
        ArrayGetR r6, r0, r2
        AddR r5, r5, r6
        MulR r7, r6, r1
        ArraySetR r0, r2, r7
        AddR r2, r2, r3
        LtR r8, r2, r4
        JumpIfR r8, inner
        AddR r10, r10, r3
        LtR r11, r10, r9
        JumpIfR r11, outer
        ReturnR r{result}
"""

SCALARS = st.one_of(st.integers(min_value=-(2**40), max_value=2**40), st.sampled_from([1.5, -0.25, 2.0]),
                    st.booleans(), st.none())


@settings(max_examples=100, deadline=None)
# The array holds Ints or Floats (`floats`), with the accumulator and the
# scale of the same kind unless `scale` is drawn from SCALARS; `intruder`
# (position, value) puts one value of any kind into it, which the typed
# code meets after it has entered the loop.
@given(numbers=st.lists(st.integers(min_value=-9, max_value=9), max_size=12), floats=st.booleans(),
       intruder=st.one_of(st.none(), st.tuples(st.integers(min_value=0, max_value=10), SCALARS)),
       scale=st.one_of(st.sampled_from([1, -1, 2]), SCALARS),
       rounds=st.one_of(st.integers(min_value=1, max_value=20), st.integers(min_value=500, max_value=1500)),
       budget=st.one_of(st.none(), st.integers(min_value=0, max_value=30000)), result=st.sampled_from([0, 5, 2]))
def test_generated_array_loops_same_with_machine_code(numbers, floats, intruder, scale, rounds, budget, result,
                                                     tmp_path_factory):
    """Under a budget as well: the run may stop anywhere in the loops, and
    the next run, without one, starts on what it left."""
    import tarnel_vm

    kind = float if floats else int
    elements = [kind(n) for n in numbers]
    if intruder and len(elements) > 1:  # after the first element, which the loop's entry reads
        elements[1 + intruder[0] % (len(elements) - 1)] = intruder[1]
    if scale in (1, -1, 2) and not isinstance(scale, bool):
        scale = kind(scale)
    text = ARRAY_LOOP.format(acc=repr(kind(0)), rounds=rounds, result=result)
    path = assembled(tmp_path_factory, "arrays", text)

    def run():
        vm = tarnel_vm.VornVM()
        vm.load_bytecode(str(path))
        return [outcome(vm, lambda limit=limit: tarnel.execute(vm, args=[list(elements), scale], max_instructions=limit))
                for limit in (budget, None)]

    assert_same_in_every_tier(run)


# `tarnel run --no-jit`: the runs of that command see TARNEL_JIT=0 (in
# this process, and in the workers, which inherit the environment), and
# the variable is as before once the command has returned.
@pytest.mark.parametrize("flags,before,seen", [
    (["--no-jit"], None, "0"),
    (["--no-jit"], "always", "0"),
    (["--no-jit", "--isolate"], "always", "0"),
    ([], "always", "always"),
    ([], None, None),
    (["--isolate"], None, None),
])
def test_no_jit_switches_the_tier_off_for_the_command(flags, before, seen, monkeypatch, tmp_path, capsys):
    import tarnel.run as run_module
    from tarnel import cli

    if before is None:
        monkeypatch.delenv("TARNEL_JIT", raising=False)
    else:
        monkeypatch.setenv("TARNEL_JIT", before)
    observed = []
    real_execute, real_worker = run_module.execute, run_module.run_worker

    def execute(*args, **kwargs):
        observed.append(os.environ.get("TARNEL_JIT"))
        return real_execute(*args, **kwargs)

    def run_worker(*args, **kwargs):
        observed.append(os.environ.get("TARNEL_JIT"))
        return real_worker(*args, **kwargs)

    monkeypatch.setattr(run_module, "execute", execute)
    monkeypatch.setattr(run_module, "run_worker", run_worker)
    source = tmp_path / "p.tnasm"
    source.write_text(".func main\n        LoadConstR r0, 42\n        ReturnR r0\n")
    assert cli.main(["run", *flags, str(source)]) == 0
    assert capsys.readouterr().out == "42\n"
    assert observed == [seen]
    assert os.environ.get("TARNEL_JIT") == before


def test_no_jit_is_in_the_help():
    import subprocess
    import sys

    text = subprocess.run([sys.executable, "-m", "tarnel", "run", "--help"], capture_output=True, text=True).stdout
    assert "--no-jit" in text and "TARNEL_JIT=0" in " ".join(text.split())
