"""Isolated runs: tarnel.run_isolated and tarnel.run_many.

Every run here starts a real worker process; limits, crashes and Ctrl-C are
provoked for real (an endless loop, arrays of ten million elements, signals
sent to the worker or to a caller in a child process).
"""

from __future__ import annotations

import concurrent.futures as cf
import itertools
import math
import os
import pathlib
import pickle
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest
import tarnel
from programs import DIVIDE_BY_ZERO, GROW, LOOP, alive
from tarnel import isolation
from test_vm_conversion_limits import STRING_TOWER

tarnel_vm = pytest.importorskip("tarnel_vm")

ROOT = Path(__file__).resolve().parents[2]


def returning(value_literal: str) -> str:
    return ".func main\n        LoadConstR r0, %s\n        ReturnR r0\n" % value_literal


def nested(depth: int, kind: str) -> str:
    """``depth`` levels of [i, inner] (or {"i": i, "k": inner}) around the int 7."""
    wrap = ("        NewArrayR r5, r3\n        ArraySetR r5, r10, r0\n        ArraySetR r5, r1, r4\n"
            if kind == "list" else
            "        DictNewR r5\n        DictSetR r5, r7, r0\n        DictSetR r5, r8, r4\n")
    return """
.func main
        LoadConstR r4, 7
        LoadConstR r0, 0
        LoadConstR r1, 1
        LoadConstR r2, %d
        LoadConstR r3, 2
        LoadConstR r10, 0
        LoadConstR r7, "i"
        LoadConstR r8, "k"
again:
%s        MoveR r4, r5
        AddR r0, r0, r1
        LtR r6, r0, r2
        JumpIfR r6, again
        ReturnR r4
""" % (depth, wrap)


def make(tmp_path: Path, source: str, name: str = "prog") -> str:
    path = tmp_path / (name + ".tnbc")
    path.write_bytes(tarnel.assemble(source, name + ".tnasm"))
    return str(path)


def in_process(path) -> object:
    vm = tarnel_vm.VornVM()
    vm.load_bytecode(path)
    return vm.execute()


def outcome_of(call, *args, **kwargs):
    """(True, result) or (exception type, message)."""
    try:
        return True, call(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001 - the exception is what is compared
        return type(exc), str(exc)


def same(a, b) -> bool:
    """Equal, with bool apart from int, float apart from int, NaN equal to NaN,
    the sign of zero compared; iterative, for results nested 100,000 deep."""
    todo = [(a, b)]
    while todo:
        x, y = todo.pop()
        if type(x) is not type(y):
            return False
        if isinstance(x, list):
            if len(x) != len(y):
                return False
            todo.extend(zip(x, y))
        elif isinstance(x, dict):
            if x.keys() != y.keys():
                return False
            todo.extend((x[k], y[k]) for k in x)
        elif isinstance(x, float):
            if math.isnan(x) or math.isnan(y):
                if not (math.isnan(x) and math.isnan(y)):
                    return False
            elif x != y or math.copysign(1, x) != math.copysign(1, y):
                return False
        elif x != y:
            return False
    return True


def wait_for_worker(timeout: float = 10.0) -> int:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        pids = isolation.worker_pids()
        if pids:
            return pids[0]
        time.sleep(0.01)
    raise AssertionError("no worker appeared")


def command_line_of(pid: int, timeout: float = 10.0) -> list:
    """The arguments of process pid, once its exec has set them up.

    A worker is known as soon as the exec has closed its descriptors, which
    happens before the new program's arguments are in place: until then
    the kernel shows an empty command line."""
    deadline = time.monotonic() + timeout
    while True:
        with open("/proc/%d/cmdline" % pid, "rb") as fh:
            data = fh.read()
        if data or time.monotonic() > deadline:
            return data.split(b"\0")
        time.sleep(0.01)


def child_env() -> dict:
    env = dict(os.environ)
    env["PYTHONPATH"] = str(ROOT / "python") + os.pathsep + env.get("PYTHONPATH", "")
    return env


@pytest.fixture(autouse=True)
def no_worker_left_behind():
    yield
    left = isolation.worker_pids()
    assert left == [], "workers still registered: %s" % left


# ----------------------------------------------------------- results
RESULTS = {
    "int max": returning("9223372036854775807"),
    "int min": returning("-0x8000000000000000"),
    "float": returning("2.5"),
    "negative zero": returning("-0.0"),
    "nan": returning("nan"),
    "infinity": returning("-inf"),
    "text with NUL and accent": returning('"caf\\u{e9}\\0end"'),
    "bool": returning("true"),
    "empty": returning("empty"),
    "no result": ".func main\n        Halt\n",
    "list": """
.func main
        LoadConstR r0, 3
        NewArrayR r1, r0
        LoadConstR r2, 0
        LoadConstR r3, 7
        ArraySetR r1, r2, r3
        LoadConstR r2, 1
        LoadConstR r3, "s"
        ArraySetR r1, r2, r3
        LoadConstR r2, 2
        LoadConstR r4, 0
        NewArrayR r3, r4
        ArraySetR r1, r2, r3
        ReturnR r1
""",
    "dict": """
.func main
        DictNewR r0
        LoadConstR r1, "a"
        LoadConstR r2, 1.5
        DictSetR r0, r1, r2
        LoadConstR r1, "b"
        DictNewR r2
        DictSetR r0, r1, r2
        LoadConstR r1, "c"
        LoadConstR r3, 2
        NewArrayR r2, r3
        DictSetR r0, r1, r2
        ReturnR r0
""",
    "function name": ".func main\n        LoadConstR r0, \"main\"\n        ReturnR r0\n",
    "200,000 empties (result larger than a pipe's buffer)": """
.func main
        LoadConstR r0, 200000
        NewArrayR r1, r0
        ReturnR r1
""",
    "list nested 3,000 deep": nested(3000, "list"),
    "list nested 100,000 deep": nested(100000, "list"),
    "dict nested 50,000 deep": nested(50000, "dict"),
}


@pytest.mark.parametrize("source", RESULTS.values(), ids=RESULTS.keys())
def test_result_is_the_in_process_result(tmp_path, source):
    path = make(tmp_path, source)
    expected = in_process(path)
    got = tarnel.run_isolated(path)
    assert same(got, expected), (str(got)[:200], str(expected)[:200])


@pytest.mark.parametrize("kind", ["list", "dict"])
def test_deep_result_really_is_deep(tmp_path, kind):
    got = tarnel.run_isolated(make(tmp_path, nested(3000, kind)))
    for level in reversed(range(3000)):
        if kind == "list":
            assert type(got) is list and len(got) == 2 and got[0] == level
            got = got[1]
        else:
            assert type(got) is dict and got.keys() == {"i", "k"} and got["i"] == level
            got = got["k"]
    assert got == 7


@pytest.mark.parametrize("ops,expected", [
    ([7], 7),
    ([None], None),
    ([("L", 0)], []),
    ([("D", 0)], {}),
    ([("L", 3), 1, ("L", 0), "x"], [1, [], "x"]),
    ([("D", 2), "b", ("L", 1), True, "a", ("D", 1), "k", 2.5], {"b": [True], "a": {"k": 2.5}}),
    ([("L", 2), ("L", 2), 1, 2, ("D", 1), "z", ("L", 1), ("L", 0)], [[1, 2], {"z": [[]]}]),
])
def test_unflatten(ops, expected):
    got = isolation._unflatten(ops)
    assert same(got, expected)
    if isinstance(expected, dict):
        assert list(got) == list(expected)  # the VM's key order is kept


@pytest.mark.parametrize("ops", [[], [1, 2], [("L", 2), 1], [("D", 1), "k"]])
def test_unflatten_refuses_malformed(ops):
    with pytest.raises(tarnel.IsolationError, match="malformed"):
        isolation._unflatten(ops)


# ------------------------------------------------------- VM errors
def test_errors_are_the_in_process_errors(tmp_path):
    bad_magic = tmp_path / "magic.tnbc"
    bad_magic.write_bytes(b"XXXX" + b"\0" * 28)
    cases = {
        "division by zero": make(tmp_path, DIVIDE_BY_ZERO, "div"),
        "missing file": str(tmp_path / "missing.tnbc"),
        "bad magic": str(bad_magic),
        "a directory": str(tmp_path),
        "NUL in the path": str(tmp_path / "a\0b.tnbc"),
        "extension rule": str(tmp_path / "div"),
    }
    expected = {
        "division by zero": (RuntimeError, "Runtime error: Division by zero"),
        "missing file": (RuntimeError,
                         "Failed to load bytecode: IO error: No such file or directory (os error 2)"),
        "bad magic": (RuntimeError, "Failed to load bytecode: Invalid magic number"),
        "extension rule": (RuntimeError, "Runtime error: Division by zero"),
    }
    for name, path in cases.items():
        isolated = outcome_of(tarnel.run_isolated, path)
        assert isolated == outcome_of(in_process, path), name
        assert isolated[0] is RuntimeError, name
        if name in expected:
            assert isolated == expected[name], name


def test_pathlike_accepted(tmp_path):
    assert tarnel.run_isolated(pathlib.Path(make(tmp_path, returning("5")))) == 5


@pytest.mark.parametrize("kwargs,error", [
    ({"path": b"prog.tnbc"}, TypeError),
    ({"path": 5}, TypeError),
    ({"timeout": 0}, ValueError),
    ({"timeout": -1}, ValueError),
    ({"timeout": float("nan")}, ValueError),
    ({"timeout": "1"}, TypeError),
    ({"timeout": True}, TypeError),
    ({"max_memory": "lots"}, ValueError),
    ({"max_memory": 0}, ValueError),
    ({"max_memory": 1.5}, TypeError),
    ({"debug": 1}, TypeError),
])
def test_bad_arguments_refused_before_any_worker(kwargs, error):
    kwargs = dict(kwargs)
    path = kwargs.pop("path", "prog.tnbc")
    with pytest.raises(error):
        tarnel.run_isolated(path, **kwargs)


# ------------------------------------------------------------ limits
def test_endless_loop_stopped_by_timeout(tmp_path):
    path = make(tmp_path, LOOP)
    start = time.monotonic()
    with pytest.raises(tarnel.TimeLimitExceeded) as info:
        tarnel.run_isolated(path, timeout=1)
    elapsed = time.monotonic() - start
    assert 1 <= elapsed < 4
    assert info.value.timeout == 1
    assert str(info.value) == "time limit of 1 s exceeded"
    assert isinstance(info.value, TimeoutError)
    assert isinstance(info.value, RuntimeError)


def test_timeout_leaves_a_quick_run_alone(tmp_path):
    assert tarnel.run_isolated(make(tmp_path, returning("3")), timeout=30) == 3


def test_infinite_timeout_means_none(tmp_path):
    assert tarnel.run_isolated(make(tmp_path, returning("3")), timeout=float("inf")) == 3


def test_growing_arrays_stopped_by_memory_limit(tmp_path):
    path = make(tmp_path, GROW)
    start = time.monotonic()
    with pytest.raises(tarnel.MemoryLimitExceeded) as info:
        tarnel.run_isolated(path, max_memory="256M", timeout=60)
    assert time.monotonic() - start < 30
    assert info.value.limit == 256 << 20
    assert str(info.value).startswith("memory limit of 256 MiB exceeded")
    assert isinstance(info.value, RuntimeError)


def test_memory_limit_too_small_for_the_worker_itself(tmp_path):
    with pytest.raises(tarnel.MemoryLimitExceeded) as info:
        tarnel.run_isolated(make(tmp_path, returning("1")), max_memory=2 << 20)
    assert info.value.limit == 2 << 20


def test_memory_limit_that_cannot_be_applied(tmp_path, monkeypatch):
    # Above the hard limit an unprivileged process may not set it; as root
    # nothing is refused, so the worker is handed a size no system takes.
    monkeypatch.setattr(isolation, "parse_size", lambda size: 1 << 70)
    with pytest.raises(ValueError, match="^cannot limit the memory to %d bytes: " % (1 << 70)):
        tarnel.run_isolated(make(tmp_path, returning("1")), max_memory="1G")


@pytest.mark.address_space
def test_memory_limit_leaves_a_small_run_alone(tmp_path):
    assert tarnel.run_isolated(make(tmp_path, RESULTS["list"]), max_memory="256MB") == [7, "s", []]


def test_out_of_memory_without_a_limit_is_the_vm_error():
    # Under a limit the VM's "Out of memory" means the limit was reached;
    # without one it is passed on as the VM raised it.
    err = isolation._rebuild_error("builtins", "RuntimeError", "Runtime error: Out of memory", 0)
    assert type(err) is RuntimeError and str(err) == "Runtime error: Out of memory"
    err = isolation._rebuild_error("builtins", "RuntimeError", "Runtime error: Out of memory", 1 << 30)
    assert type(err) is tarnel.MemoryLimitExceeded
    assert str(err) == "memory limit of 1 GiB exceeded (Runtime error: Out of memory)"


@pytest.mark.parametrize("module,name,text,limit,kind,message", [
    ("builtins", "RuntimeError", "Runtime error: Division by zero", 1 << 20,
     RuntimeError, "Runtime error: Division by zero"),
    ("builtins", "TypeError", "x", 0, TypeError, "x"),
    ("builtins", "MemoryError", "", 0, MemoryError, ""),
    ("builtins", "MemoryError", "", 3 << 20, tarnel.MemoryLimitExceeded,
     "memory limit of 3 MiB exceeded (MemoryError)"),
    ("tarnel_vm", "InternalFault", "out of memory", 1 << 20, tarnel.MemoryLimitExceeded,
     "memory limit of 1 MiB exceeded (out of memory)"),
    ("tarnel_vm", "InternalFault", "broken", 0, tarnel.IsolationError,
     "worker failed with tarnel_vm.InternalFault: broken"),
    ("builtins", "ImportError", "x.so: failed to map segment from shared object", 1 << 20,
     tarnel.MemoryLimitExceeded,
     "memory limit of 1 MiB exceeded (x.so: failed to map segment from shared object)"),
    ("builtins", "ImportError", "x.so: failed to map segment from shared object", 0,
     ImportError, "x.so: failed to map segment from shared object"),
    ("builtins", "NoSuchError", "x", 0, tarnel.IsolationError,
     "worker failed with builtins.NoSuchError: x"),
    ("somewhere", "Odd", "y", 0, tarnel.IsolationError, "worker failed with somewhere.Odd: y"),
])
def test_worker_errors_rebuilt(module, name, text, limit, kind, message):
    err = isolation._rebuild_error(module, name, text, limit)
    assert type(err) is kind
    assert str(err) == message


@pytest.mark.parametrize("returncode,limit,kind,message,sig", [
    (-signal.SIGKILL, 0, tarnel.WorkerCrashed, "worker killed by SIGKILL", signal.SIGKILL),
    (-signal.SIGKILL, 1 << 30, tarnel.WorkerCrashed, "worker killed by SIGKILL", signal.SIGKILL),
    (-signal.SIGSEGV, 0, tarnel.WorkerCrashed, "worker killed by SIGSEGV", signal.SIGSEGV),
    (-signal.SIGSEGV, 1 << 30, tarnel.MemoryLimitExceeded,
     "memory limit of 1 GiB exceeded (worker killed by SIGSEGV)", None),
    (-signal.SIGABRT, 512 << 20, tarnel.MemoryLimitExceeded,
     "memory limit of 512 MiB exceeded (worker killed by SIGABRT)", None),
    (-100, 0, tarnel.WorkerCrashed, "worker killed by signal 100", 100),
    (1, 0, tarnel.WorkerCrashed, "worker exited with status 1 without a result", None),
    (0, 0, tarnel.WorkerCrashed, "worker exited with status 0 without a result", None),
    (1, 1 << 20, tarnel.MemoryLimitExceeded,
     "memory limit of 1 MiB exceeded (worker exited with status 1)", None),
])
def test_worker_without_result(returncode, limit, kind, message, sig):
    err = isolation._no_result(returncode, limit)
    assert type(err) is kind
    assert str(err) == message
    if kind is tarnel.WorkerCrashed:
        assert err.signal == sig and err.returncode == returncode


@pytest.mark.parametrize("size,expected", [
    (1, 1),
    (4096, 4096),
    ("1048576", 1 << 20),
    ("512M", 512 << 20),
    ("512m", 512 << 20),
    ("2G", 2 << 30),
    ("256MB", 256 << 20),
    ("256MiB", 256 << 20),
    ("64k", 64 << 10),
    ("64KB", 64 << 10),
    ("1T", 1 << 40),
    ("1.5G", 3 << 29),
    ("8388607T", 8388607 << 40),
    (" 100 b ", 100),
    ("100B", 100),
])
def test_parse_size(size, expected):
    assert tarnel.parse_size(size) == expected


@pytest.mark.parametrize("size,error", [
    ("", ValueError), ("M", ValueError), ("12X", ValueError), ("-5M", ValueError),
    ("0", ValueError), (0, ValueError), (-1, ValueError), ("1.2.3G", ValueError),
    ("5 M B", ValueError), ("0.1", ValueError), ("1e9", ValueError), ("1MBB", ValueError),
    ("8388608T", ValueError), (1 << 63, ValueError),
    (None, TypeError), (1.5, TypeError), (True, TypeError), (b"1M", TypeError),
])
def test_parse_size_refuses(size, error):
    with pytest.raises(error):
        tarnel.parse_size(size)


# ------------------------------------------------ crashes and signals
@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGTERM, signal.SIGUSR1])
def test_worker_killed_by_a_signal(tmp_path, sig):
    path = make(tmp_path, LOOP)
    caught = []

    def run():
        try:
            tarnel.run_isolated(path)
        except BaseException as exc:  # noqa: BLE001 - handed to the test thread
            caught.append(exc)

    thread = threading.Thread(target=run)
    thread.start()
    pid = wait_for_worker()
    os.kill(pid, sig)
    thread.join(10)
    assert not thread.is_alive()
    assert len(caught) == 1
    err = caught[0]
    assert type(err) is tarnel.WorkerCrashed
    assert err.signal == sig and isinstance(err.signal, signal.Signals)
    assert err.returncode == -sig
    assert str(err) == "worker killed by %s" % sig.name
    assert not alive(pid)


@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="reads the worker's command line in /proc")
def test_worker_is_a_fresh_interpreter_in_its_own_session(tmp_path):
    path = make(tmp_path, LOOP)
    thread = threading.Thread(target=lambda: outcome_of(tarnel.run_isolated, path, timeout=5))
    thread.start()
    try:
        pid = wait_for_worker()
        argv = command_line_of(pid)
        assert argv[0] == os.fsencode(sys.executable)
        assert argv[1] == b"-S" and os.path.basename(argv[2]) == b"_worker.py"
        assert os.getsid(pid) == pid != os.getsid(0)
        assert os.getpgid(pid) != os.getpgid(0)
    finally:
        for pid in isolation.worker_pids():
            os.kill(pid, signal.SIGKILL)
        thread.join(10)


def test_exceptions_survive_pickling():
    errors = [
        tarnel.IsolationError("plain"),
        tarnel.TimeLimitExceeded("time limit of 2 s exceeded", 2.0),
        tarnel.MemoryLimitExceeded("memory limit of 1 MiB exceeded (x)", 1 << 20),
        tarnel.WorkerCrashed("worker killed by SIGKILL", signal.SIGKILL, -9),
    ]
    for err in errors:
        copy = pickle.loads(pickle.dumps(err))
        assert type(copy) is type(err) and str(copy) == str(err)
        assert vars(copy) == vars(err)


def test_exception_classes():
    for kind in (tarnel.TimeLimitExceeded, tarnel.MemoryLimitExceeded, tarnel.WorkerCrashed):
        assert issubclass(kind, tarnel.IsolationError)
    assert issubclass(tarnel.IsolationError, RuntimeError)
    assert issubclass(tarnel.TimeLimitExceeded, TimeoutError)
    assert not issubclass(tarnel.MemoryLimitExceeded, MemoryError)


# ----------------------------------------------------------- Ctrl-C
CALLER = textwrap.dedent("""
    import os, sys, threading, time
    import tarnel
    from tarnel import isolation

    def announce():
        while len(isolation.worker_pids()) < int(sys.argv[2]):
            time.sleep(0.01)
        print(*isolation.worker_pids(), flush=True)

    threading.Thread(target=announce, daemon=True).start()
    paths = [sys.argv[1]] * int(sys.argv[2])
    try:
        if len(paths) == 1:
            tarnel.run_isolated(paths[0])
        else:
            for outcome in tarnel.run_many(paths, jobs=len(paths)):
                pass
    except KeyboardInterrupt:
        print("KeyboardInterrupt", isolation.worker_pids(), flush=True)
        raise
""")


@pytest.mark.slow
@pytest.mark.parametrize("workers", [1, 3], ids=["run_isolated", "run_many"])
def test_ctrl_c_stops_the_workers_at_once(tmp_path, workers):
    path = make(tmp_path, LOOP)
    script = tmp_path / "caller.py"
    script.write_text(CALLER)
    caller = subprocess.Popen([sys.executable, str(script), path, str(workers)], env=child_env(),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    pids = []
    try:
        pids = [int(p) for p in caller.stdout.readline().split()]
        assert len(pids) == workers and all(alive(p) for p in pids)
        sent = time.monotonic()
        caller.send_signal(signal.SIGINT)
        out, err = caller.communicate(timeout=10)
        assert time.monotonic() - sent < 3
    finally:
        caller.kill()
        caller.wait()
        for pid in pids:
            if alive(pid):
                os.kill(pid, signal.SIGKILL)
    assert out == "KeyboardInterrupt []\n"
    assert "KeyboardInterrupt" in err
    assert caller.returncode in (-signal.SIGINT, 1)
    assert not [p for p in pids if alive(p)]


# Ctrl-C inside submit() while the pool starts its third thread. After the
# thread runs but before the pool has recorded it, the pool's shutdown
# alone would not wait for that thread's run; before the thread runs, the
# third item stays queued and a thread freed by the cancel would still
# start its run (and its worker) after the interrupt.
@pytest.mark.parametrize("interrupt_before_start, runs", [
    (False, [0, 1, 2]),  # the third run had started: it ends before the interrupt arrives
    (True, [0, 1]),      # it had not: it never starts
], ids=["thread_running", "thread_not_started"])
def test_ctrl_c_while_the_pool_starts_a_thread(monkeypatch, interrupt_before_start, runs):
    started, ended = [], []
    running = threading.Semaphore(0)

    def task(item, cancel):
        started.append(item)
        running.release()
        cancel.wait(10)
        time.sleep(0.3 if item == 2 else 0)  # its worker being killed and reaped
        ended.append(item)

    original_start = threading.Thread.start

    def start(thread):
        if thread.name != "tarnel-run_2":
            return original_start(thread)
        if not interrupt_before_start:
            original_start(thread)
        for _ in range(len(runs)):
            assert running.acquire(timeout=10)
        raise KeyboardInterrupt

    monkeypatch.setattr(threading.Thread, "start", start)
    with pytest.raises(KeyboardInterrupt):
        list(isolation.ordered_outcomes(range(3), 3, None, task))
    assert sorted(started) == runs
    assert sorted(ended) == runs



# The kernel hands a process's SIGINT to any thread that does not block it.
# Python runs its handler in the main thread, which must notice even while
# it waits for runs that never end. In a child process: the interrupt must
# not reach this one.
OTHER_THREAD_INTERRUPTED = textwrap.dedent("""
    import signal, sys, threading, time
    from tarnel import isolation

    started = threading.Semaphore(0)

    def task(item, cancel):
        started.release()
        cancel.wait()

    def interrupt_another_thread(prefix, runs):
        for _ in range(runs):
            started.acquire()
        time.sleep(0.2)
        thread = next(t for t in threading.enumerate() if t.name.startswith(prefix))
        signal.pthread_kill(thread.ident, signal.SIGINT)

    try:
        if sys.argv[1] == "run_many":
            threading.Thread(target=interrupt_another_thread, args=("tarnel-run", 2), daemon=True).start()
            list(isolation.ordered_outcomes(range(2), 2, None, task))
        else:
            threading.Thread(target=task, args=(0, threading.Event()), name="idle", daemon=True).start()
            threading.Thread(target=interrupt_another_thread, args=("idle", 1), daemon=True).start()
            isolation.run_isolated(sys.argv[2])
    except KeyboardInterrupt:
        print("interrupted", isolation.worker_pids())
""")


@pytest.mark.parametrize("caller", ["run_many", "run_isolated"])
def test_ctrl_c_received_by_another_thread_interrupts_the_wait(tmp_path, caller):
    r = subprocess.run([sys.executable, "-c", OTHER_THREAD_INTERRUPTED, caller, make(tmp_path, LOOP)],
                       env=child_env(), capture_output=True, text=True, timeout=30)
    assert (r.stdout, r.returncode) == ("interrupted []\n", 0), r.stderr

@pytest.mark.slow
def test_worker_dies_with_its_caller(tmp_path):
    """A caller killed outright cannot clean up: the worker goes with it."""
    path = make(tmp_path, LOOP)
    script = tmp_path / "caller.py"
    script.write_text(CALLER)
    caller = subprocess.Popen([sys.executable, str(script), path, "1"], env=child_env(),
                              stdout=subprocess.PIPE, text=True)
    pid = None
    try:
        pid = int(caller.stdout.readline())
        caller.kill()
        caller.wait()
        deadline = time.monotonic() + 5
        while alive(pid) and time.monotonic() < deadline:
            time.sleep(0.02)
        if sys.platform.startswith("linux"):
            assert not alive(pid)
    finally:
        if pid is not None and alive(pid):
            os.kill(pid, signal.SIGKILL)


# ------------------------------------------------------------ output
def test_debug_trace_and_output_as_in_process(tmp_path, capfd):
    source = """
.func main
        LoadConstR r0, "hello"
        DebugPrint r0
        LoadConstR r1, 2
        ReturnR r1
"""
    path = make(tmp_path, source)
    vm = tarnel_vm.VornVM()
    vm.set_debug(True)
    vm.load_bytecode(path)
    assert vm.execute() == 2
    expected = capfd.readouterr().out
    assert "hello" in expected and len(expected.splitlines()) > 3

    assert tarnel.run_isolated(path, debug=True) == 2
    assert capfd.readouterr().out == expected

    assert tarnel.run_isolated(path) == 2
    out = capfd.readouterr().out
    assert "hello" in out and len(out.splitlines()) < len(expected.splitlines())


# ---------------------------------------------------------- run_many
def numbered(tmp_path: Path, count: int, fail_every: int = 0):
    """Modules returning i * i, or dividing by zero for every fail_every-th."""
    paths, expected = [], []
    for i in range(count):
        if fail_every and i % fail_every == fail_every - 1:
            paths.append(make(tmp_path, DIVIDE_BY_ZERO, "m%d" % i))
            expected.append((RuntimeError, "Runtime error: Division by zero"))
        else:
            paths.append(make(tmp_path, returning(str(i * i)), "m%d" % i))
            expected.append(i * i)
    return paths, expected


def normalised(outcomes):
    return [(type(o), str(o)) if isinstance(o, BaseException) else o for o in outcomes]


def test_run_many_fifty_in_order(tmp_path):
    paths, expected = numbered(tmp_path, 50, fail_every=7)
    assert normalised(tarnel.run_many(paths, jobs=4)) == expected


def test_run_many_default_jobs_and_pathlike(tmp_path):
    paths, expected = numbered(tmp_path, 5)
    assert list(tarnel.run_many(map(pathlib.Path, paths))) == expected


@pytest.mark.address_space
def test_run_many_limits_apply_to_each(tmp_path):
    paths = [make(tmp_path, returning("1"), "one"), make(tmp_path, LOOP, "loop"),
             make(tmp_path, GROW, "grow"), make(tmp_path, returning("2"), "two")]
    start = time.monotonic()
    # The time limit counts the worker's start-up too: on a loaded machine that
    # alone can take a second, so the growing program gets room to reach its
    # memory limit first.
    outcomes = list(tarnel.run_many(paths, jobs=4, timeout=4, max_memory="256M"))
    assert time.monotonic() - start < 20
    assert [type(o) for o in outcomes] == [int, tarnel.TimeLimitExceeded,
                                           tarnel.MemoryLimitExceeded, int]
    assert outcomes[0] == 1 and outcomes[3] == 2


def test_run_many_does_not_wait_for_a_slow_first_run_to_start_others(tmp_path):
    """A run that takes long at the head does not hold back the runs behind it."""
    paths, _ = numbered(tmp_path, 6)
    paths = [make(tmp_path, LOOP, "loop")] + paths
    start = time.monotonic()
    outcomes = list(tarnel.run_many(paths, jobs=2, timeout=2))
    assert isinstance(outcomes[0], tarnel.TimeLimitExceeded)
    assert outcomes[1:] == [i * i for i in range(6)]
    assert time.monotonic() - start < 5  # the six ran beside the loop, not after it


def test_run_many_is_lazy(tmp_path):
    path = make(tmp_path, returning("1"))
    taken = []

    def source():
        for i in itertools.count():
            taken.append(i)
            yield path

    outcomes = tarnel.run_many(source(), jobs=2)
    assert taken == []  # nothing happens before the first outcome is asked for
    first = list(itertools.islice(outcomes, 3))
    assert first == [1, 1, 1]
    assert len(taken) <= 3 + 4 * 2  # at most a window ahead of the consumer
    outcomes.close()


def test_run_many_closed_early_kills_its_workers(tmp_path):
    loop = make(tmp_path, LOOP, "loop")
    quick = make(tmp_path, returning("1"), "quick")
    outcomes = tarnel.run_many([quick, loop, loop, loop], jobs=3)
    assert next(outcomes) == 1
    pids = []
    deadline = time.monotonic() + 10
    while len(pids) < 2 and time.monotonic() < deadline:
        pids = isolation.worker_pids()
        time.sleep(0.01)
    assert len(pids) >= 2
    start = time.monotonic()
    outcomes.close()
    assert time.monotonic() - start < 2
    assert isolation.worker_pids() == []
    assert not [p for p in pids if alive(p)]


@pytest.mark.parametrize("kwargs,error", [
    ({"jobs": 0}, ValueError), ({"jobs": "2"}, TypeError), ({"jobs": 1.0}, TypeError),
    ({"timeout": -1}, ValueError), ({"max_memory": "much"}, ValueError),
    ({"executor": object()}, TypeError),
])
def test_run_many_refuses_bad_arguments_at_once(kwargs, error):
    with pytest.raises(error):
        tarnel.run_many(["x.tnbc"], **kwargs)


def test_run_many_empty():
    assert list(tarnel.run_many([])) == []


def test_run_many_with_a_thread_pool_executor(tmp_path):
    paths, expected = numbered(tmp_path, 12, fail_every=5)
    with cf.ThreadPoolExecutor(3) as executor:
        assert normalised(tarnel.run_many(paths, jobs=3, executor=executor)) == expected


@pytest.mark.slow
@pytest.mark.parametrize("processes", [False, True], ids=["threads", "processes"])
def test_run_many_on_a_dask_cluster(tmp_path, processes):
    distributed = pytest.importorskip("distributed")
    paths, expected = numbered(tmp_path, 50, fail_every=9)
    paths.append(make(tmp_path, LOOP, "loop"))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=processes,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        executor = client.get_executor()
        outcomes = list(tarnel.run_many(paths, jobs=4, timeout=1, executor=executor))
    assert normalised(outcomes[:-1]) == expected
    assert type(outcomes[-1]) is tarnel.TimeLimitExceeded and outcomes[-1].timeout == 1


# ------------------------------------------------ memory and paths, round two

# One string of 1 MiB reached 2^10 times through a tower of arrays: 1 GiB of
# str objects from a VM holding a little over 1 MiB.
SHARED_STRING_GIB = STRING_TOWER % 10


@pytest.mark.address_space
def test_running_out_of_memory_while_converting_the_result_is_the_limit(tmp_path):
    path = make(tmp_path, SHARED_STRING_GIB)
    with pytest.raises(tarnel.MemoryLimitExceeded) as raised:
        tarnel.run_isolated(path, max_memory="300M", timeout=60)
    assert "out of memory while converting the result" in str(raised.value)


def test_a_path_the_vm_cannot_encode_is_a_unicode_error(tmp_path):
    path = str(tmp_path / "bad\udcff.tnbc")
    with pytest.raises(UnicodeEncodeError) as in_vm:
        tarnel_vm.VornVM().load_bytecode(path)
    with pytest.raises(UnicodeEncodeError) as isolated:
        tarnel.run_isolated(path)
    assert str(isolated.value) == str(in_vm.value)
    [outcome] = list(tarnel.run_many([path]))
    assert type(outcome) is UnicodeEncodeError


# A stand-in for the extension whose error cannot even be described: the
# worker meets MemoryError while building its error report, as it would at
# its memory limit.
FAKE_VM = '''
class Unsayable(Exception):
    def __str__(self):
        raise MemoryError


class VornVM:
    def load_bytecode(self, path):
        pass

    def execute(self):
        raise Unsayable()

    def instruction_count(self):
        return 0
'''


@pytest.mark.parametrize("limit, expected", [
    ("1G", tarnel.MemoryLimitExceeded),
    (None, MemoryError),
])
def test_a_worker_that_cannot_report_its_error_sends_memory_error(tmp_path, monkeypatch, capfd,
                                                                  limit, expected):
    fake = tmp_path / "fake"
    fake.mkdir()
    (fake / "tarnel_vm.py").write_text(FAKE_VM)
    monkeypatch.syspath_prepend(str(fake))
    with pytest.raises(expected):
        tarnel.run_isolated(str(tmp_path / "any.tnbc"), max_memory=limit, timeout=30)
    assert "Traceback" not in capfd.readouterr().err

