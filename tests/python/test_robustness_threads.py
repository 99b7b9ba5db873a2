"""Threads sharing VornVM objects.

Every method holds the interpreter lock for its whole call, so calls on one
object never overlap in practice; the borrow counter guards the state if
they ever would. These tests hammer one shared VM and several private VMs
from many threads, loading and running concurrently with a short switch
interval, and accept only the documented outcomes: the call works, or it
raises RuntimeError "Already borrowed" / "Already mutably borrowed".
"""

from __future__ import annotations

import sys
import threading

import pytest
import tarnel
from tarnel_vm import VornVM

THREADS = 8
ROUNDS = 300

# Each program returns its own number after a loop of `n` steps, so runs
# take long enough for the switch interval to fall inside some of them.
PROGRAM = """
.func main
        LoadConstR r0, 0
        LoadConstR r1, %(n)d
        LoadConstR r2, 1
loop:
        LtR r3, r0, r1
        JumpIfNotR r3, done
        AddR r0, r0, r2
        JumpR loop
done:
        LoadConstR r4, %(result)d
        ReturnR r4
"""
BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}


@pytest.fixture(scope="module")
def programs(tmp_path_factory):
    d = tmp_path_factory.mktemp("threads")
    out = {}
    for i in range(4):
        path = str(d / ("p%d.tnbc" % i))
        with open(path, "wb") as f:
            f.write(tarnel.assemble(PROGRAM % {"n": 2000 * (i + 1), "result": 100 + i}))
        out[path] = 100 + i
    return out


@pytest.fixture(autouse=True)
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(target, count=THREADS):
    errors = []
    barrier = threading.Barrier(count)

    def body(index):
        try:
            barrier.wait()
            target(index)
        except BaseException as exc:  # collected and re-raised in the main thread
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
        assert not t.is_alive(), "a thread did not finish"
    if errors:
        raise errors[0]


def allowed(call, expected_errors=()):
    """Calls `call`; returns (True, value) when it works, (False, message)
    when it raises RuntimeError with a borrow error or one of
    `expected_errors`. Anything else propagates."""
    try:
        return True, call()
    except RuntimeError as error:
        assert len(error.args) == 1
        assert error.args[0] in BORROW_ERRORS or error.args[0] in expected_errors, error.args
        return False, error.args[0]


def test_one_vm_shared_by_threads_loading_and_running(programs):
    vm = VornVM()
    paths = sorted(programs)
    results = set(programs.values())
    outcomes = {"load": 0, "execute": 0, "count": 0, "debug": 0, "borrow": 0}
    lock = threading.Lock()

    def work(index):
        last = 0
        for round_no in range(ROUNDS):
            path = paths[(index + round_no) % len(paths)]
            for kind, call in (("load", lambda path=path: vm.load_bytecode(path)),
                               ("execute", vm.execute),
                               ("count", vm.instruction_count),
                               ("debug", lambda: vm.set_debug(False))):
                ok, value = allowed(call)
                with lock:
                    outcomes[kind if ok else "borrow"] += 1
                if not ok:
                    continue
                if kind == "load" or kind == "debug":
                    assert value is None
                elif kind == "execute":
                    # Another thread may have run the module first (halted:
                    # None) or loaded another one in between.
                    assert value is None or value in results, value
                else:
                    assert isinstance(value, int) and value >= last
                    last = value

    run_threads(work)
    print("\nshared VM outcomes:", outcomes)
    assert outcomes["execute"] > 0 and outcomes["load"] > 0
    # The count only grows, and a final run on a fresh load still works.
    vm.load_bytecode(paths[0])
    assert vm.execute() == programs[paths[0]]


def test_private_vms_in_threads_get_exact_results(programs):
    paths = sorted(programs)

    def work(index):
        vm = VornVM()
        path = paths[index % len(paths)]
        expected = programs[path]
        steps = 0
        for _ in range(ROUNDS // 3):
            vm.load_bytecode(path)
            assert vm.execute() == expected
            assert vm.execute() is None  # halted until the next load
            assert vm.instruction_count() > steps
            steps = vm.instruction_count()

    run_threads(work)


def test_failing_runs_and_loads_in_threads(programs, tmp_path):
    bad = tmp_path / "bad.tnbc"
    bad.write_bytes(b"TNBC" + bytes(30))
    failing = tmp_path / "fail.tnbc"
    failing.write_bytes(tarnel.assemble(".func main\n LoadConstR r0, 1\n LoadConstR r1, 0\n DivR r2, r0, r1\n"))
    shared = VornVM()
    load_error = "Failed to load bytecode: Unexpected EOF"
    run_errors = {"Runtime error: Division by zero", "Runtime error: Module not loaded"}

    def work(index):
        own = VornVM()
        for vm in (own, shared):
            for _ in range(ROUNDS // 3):
                ok, message = allowed(lambda vm=vm: vm.load_bytecode(str(bad)), {load_error})
                assert not ok  # never loads
            for _ in range(ROUNDS // 3):
                allowed(lambda vm=vm: vm.load_bytecode(str(failing)))
                ok, message = allowed(vm.execute, run_errors)
                # A run of the failing program never succeeds with a value.
                assert not ok or message is None
        # The private VM saw no other thread: its last run failed properly.
        with pytest.raises(RuntimeError, match="^Runtime error: Division by zero$"):
            own.execute()

    run_threads(work)
