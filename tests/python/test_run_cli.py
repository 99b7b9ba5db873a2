"""`tarnel run`, as `python -m tarnel run` in a subprocess."""

from __future__ import annotations

import os
import re
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
import tarnel
from programs import DIVIDE_BY_ZERO, GROW, LOOP, alive

pytest.importorskip("tarnel_vm")

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
FIB = EXAMPLES / "fib.tnasm"

PRINTS = """
.func main
        LoadConstR r0, "%s"
        DebugPrint r0
        LoadConstR r1, %d
        ReturnR r1
"""


def env() -> dict:
    e = dict(os.environ)
    e["PYTHONPATH"] = str(ROOT / "python") + os.pathsep + e.get("PYTHONPATH", "")
    return e


def tarnel_run(*args, cwd=None, timeout=60):
    return subprocess.run([sys.executable, "-m", "tarnel", "run", *map(str, args)], cwd=cwd,
                          env=env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          timeout=timeout)


def source(tmp_path: Path, name: str, text: str) -> Path:
    path = tmp_path / name
    path.write_text(text)
    return path


def module(tmp_path: Path, name: str, text: str) -> Path:
    path = tmp_path / name
    path.write_bytes(tarnel.assemble(text))
    return path


# ------------------------------------------------------------- one file
def test_fib_source():
    r = tarnel_run(FIB)
    assert (r.returncode, r.stdout, r.stderr) == (0, "6765\n", "")


def test_module_file_and_extension_rule(tmp_path):
    module(tmp_path, "fib.tnbc", FIB.read_text("utf-8"))
    for name in ("fib.tnbc", "fib"):
        r = tarnel_run(name, cwd=tmp_path)
        assert (r.returncode, r.stdout, r.stderr) == (0, "6765\n", ""), name


@pytest.mark.parametrize("text,expected", [
    ('.func main\n LoadConstR r0, "a\\u{e9}"\n ReturnR r0\n', "'aé'"),
    (".func main\n LoadConstR r0, -0.0\n ReturnR r0\n", "-0.0"),
    (".func main\n LoadConstR r0, nan\n ReturnR r0\n", "nan"),
    (".func main\n Halt\n", "None"),
    (".func main\n LoadConstR r0, 2\n NewArrayR r1, r0\n ReturnR r1\n", "[None, None]"),
    (".func main\n LoadConstR r0, true\n ReturnR r0\n", "True"),
])
@pytest.mark.parametrize("isolated", [False, True], ids=["in-process", "isolated"])
def test_prints_the_repr(tmp_path, text, expected, isolated):
    path = source(tmp_path, "p.tnasm", text)
    r = tarnel_run(path, *(["--isolate", "--timeout", "30"] if isolated else []))
    assert (r.returncode, r.stdout, r.stderr) == (0, expected + "\n", "")


@pytest.mark.parametrize("isolated", [False, pytest.param(True, marks=pytest.mark.address_space)],
                         ids=["in-process", "isolated"])
def test_stats_on_stderr(isolated):
    r = tarnel_run(FIB, "--stats", *(["--isolate", "--max-memory", "1G"] if isolated else []))
    assert (r.returncode, r.stdout) == (0, "6765\n")
    pattern = r"%s: (\d+) instructions executed in [\d.]+ (ms|s)" % re.escape(str(FIB))
    if isolated:
        pattern += r" \([\d.]+ (ms|s) in a worker process\)"
    match = re.fullmatch(pattern + "\n", r.stderr)
    assert match, r.stderr
    assert int(match.group(1)) > 20000  # fib(20) makes 21891 calls


@pytest.mark.parametrize("isolated", [False, True], ids=["in-process", "isolated"])
@pytest.mark.parametrize("name,text,message", [
    ("div.tnasm", DIVIDE_BY_ZERO, "div.tnasm: Runtime error: Division by zero\n"
     "  at div.tnasm:5:9: in main, instruction 2: DivR r2, r0, r1"),
    ("missing.tnbc", None,
     "missing.tnbc: Failed to load bytecode: IO error: No such file or directory (os error 2)"),
    ("bad.tnbc", b"XXXX" + b"\0" * 28, "bad.tnbc: Failed to load bytecode: Invalid magic number"),
    ("bad.tnasm", "Nop\n  AddR r1, r2\n", "bad.tnasm:2:3: AddR takes 3 operands (dst, left, right), got 2"),
    ("missing.tnasm", None, "tarnel: cannot read missing.tnasm: No such file or directory"),
    ("latin1.tnasm", b"; \xe9\n", "tarnel: latin1.tnasm is not UTF-8 text"),
])
def test_failure(tmp_path, name, text, message, isolated):
    if isinstance(text, bytes):
        (tmp_path / name).write_bytes(text)
    elif text is not None:
        (tmp_path / name).write_text(text)
    r = tarnel_run(name, *(["--isolate", "--timeout", "30"] if isolated else []), cwd=tmp_path)
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr.startswith(message), r.stderr
    assert r.stderr.count("\n") == message.count("\n") + 1


def test_debug_trace_then_result(tmp_path):
    path = source(tmp_path, "p.tnasm", PRINTS % ("hi", 5))
    plain = tarnel_run(path)
    assert (plain.returncode, plain.stderr) == (0, "")
    assert plain.stdout.splitlines()[-1] == "5"
    printed = plain.stdout.splitlines()[:-1]
    assert len(printed) == 1 and "hi" in printed[0]  # DebugPrint, before the result

    traced = tarnel_run(path, "--debug")
    lines = traced.stdout.splitlines()
    assert traced.returncode == 0 and lines[-1] == "5"
    assert [line for line in lines if line.startswith("PC: ")] == [
        "PC: 0, Instruction: LoadConstR { dst: 0, const_idx: 0 }",
        "PC: 1, Instruction: DebugPrint { src: 0 }",
        "PC: 2, Instruction: LoadConstR { dst: 1, const_idx: 1 }",
        "PC: 3, Instruction: ReturnR { src: Some(1) }",
    ]
    assert any("hi" in line for line in lines[lines.index("PC: 1, Instruction: DebugPrint { src: 0 }") + 1:-1])

    isolated = tarnel_run(path, "--debug", "--isolate", "--timeout", "30")
    assert isolated.stdout == traced.stdout


@pytest.mark.parametrize("isolate, message", [
    (True, "time limit of 1 s exceeded"),
    (False, "Runtime error: Time limit exceeded"),
])
def test_timeout(tmp_path, isolate, message):
    path = source(tmp_path, "loop.tnasm", LOOP)
    start = time.monotonic()
    r = tarnel_run(path, "--timeout", "1", *(["--isolate"] if isolate else []))
    assert time.monotonic() - start < 10
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr == "%s: %s\n" % (path, message)


@pytest.mark.parametrize("isolate, message", [
    pytest.param(True, "memory limit of 256 MiB exceeded", marks=pytest.mark.address_space),
    (False, "Runtime error: Memory limit exceeded"),
])
def test_max_memory(tmp_path, isolate, message):
    path = source(tmp_path, "grow.tnasm", GROW)
    r = tarnel_run(path, "--max-memory", "256M", *(["--isolate"] if isolate else []))
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr.startswith("%s: %s" % (path, message))


def test_max_instructions(tmp_path):
    path = source(tmp_path, "loop.tnasm", LOOP)
    r = tarnel_run(path, "--max-instructions", "1000", "--stats")
    assert (r.returncode, r.stdout) == (1, "")
    stats, error = r.stderr.splitlines()
    assert re.fullmatch(r"%s: 1000 instructions executed in [\d.]+ (ms|s)" % re.escape(str(path)), stats)
    assert error == "%s: Runtime error: Instruction limit exceeded" % path


@pytest.mark.parametrize("words, expected", [
    (["27", "hello", "2.5"], "27"),
    (["-3"], "-3"),
])
def test_words_after_double_dash_are_program_arguments(tmp_path, words, expected):
    path = source(tmp_path, "first.tnasm", ".func main\nReturnR r0\n")
    r = tarnel_run(path, "--", *words)
    assert (r.returncode, r.stdout, r.stderr) == (0, expected + "\n", "")


@pytest.mark.parametrize("words, expected", [
    (["27", "hello", "2.5"], "[27, 'hello', 2.5]"),
    (["1e3", "x1", "--stats", "0x10", "nan"], "[1000.0, 'x1', '--stats', '0x10', 'nan']"),
])
def test_words_are_parsed_as_int_float_or_text(tmp_path, words, expected):
    body = "".join("        ArraySetR r20, r%d, r%d\n" % (100 + i, i) for i in range(len(words)))
    consts = "".join("        LoadConstR r%d, %d\n" % (100 + i, i) for i in range(len(words)))
    program = (".func main\n        LoadConstR r99, %d\n        NewArrayR r20, r99\n" % len(words)
               + consts + body + "        ReturnR r20\n")
    r = tarnel_run(source(tmp_path, "all.tnasm", program), "--", *words)
    assert (r.returncode, r.stdout, r.stderr) == (0, expected + "\n", "")


@pytest.mark.parametrize("extra", [["--isolate"], ["FILE2"]])
def test_in_process_only_options_refused_for_isolated_runs(tmp_path, extra):
    path = source(tmp_path, "loop.tnasm", LOOP)
    extra = [str(path) if word == "FILE2" else word for word in extra]
    for more in (["--max-instructions", "5"], ["--", "1"]):
        r = tarnel_run(path, *extra, *more)
        assert r.returncode == 1 and "need one file run in-process" in r.stderr


@pytest.mark.parametrize("option,value", [
    ("--timeout", "0"), ("--timeout", "-1"), ("--timeout", "soon"),
    ("--max-memory", "lots"), ("--max-memory", "0"), ("--jobs", "0"), ("--jobs", "two"),
])
def test_bad_option_values(option, value):
    r = tarnel_run(FIB, option, value)
    assert r.returncode == 2 and r.stdout == ""
    assert re.search(r"error: argument (-\w/)?%s: " % option, r.stderr), r.stderr


def test_no_file():
    r = tarnel_run()
    assert r.returncode == 2 and "FILE" in r.stderr


# --------------------------------------------------------- several files
def test_several_files(tmp_path):
    files = [FIB, source(tmp_path, "div.tnasm", DIVIDE_BY_ZERO),
             source(tmp_path, "loop.tnasm", LOOP), EXAMPLES / "sieve.tnasm",
             tmp_path / "missing.tnbc", source(tmp_path, "bad.tnasm", "Nop r1\n")]
    start = time.monotonic()
    r = tarnel_run(*files, "--timeout", "1", "--jobs", "3")
    assert time.monotonic() - start < 15
    assert r.returncode == 1 and r.stderr == ""
    assert r.stdout.splitlines() == [
        "%s: 6765" % FIB,
        "%s: failed: Runtime error: Division by zero" % files[1],
        "  at %s:5:9: in main, instruction 2: DivR r2, r0, r1" % files[1],
        "%s: timed out: time limit of 1 s exceeded" % files[2],
        "%s: 1229" % files[3],
        "%s: failed: Failed to load bytecode: IO error: No such file or directory (os error 2)"
        % files[4],
        "%s: failed: %s:1:1: Nop takes no operands, got 1" % (files[5], files[5]),
        "2 succeeded, 3 failed, 1 timed out, 0 crashed",
    ]


def test_several_files_all_succeed_and_output_stays_with_its_file(tmp_path):
    files = [source(tmp_path, "p%d.tnasm" % i, PRINTS % ("from %d" % i, i)) for i in range(6)]
    r = tarnel_run(*files, "--jobs", "3", "--stats")
    assert r.returncode == 0
    lines = r.stdout.splitlines()
    assert lines[-1] == "6 succeeded, 0 failed, 0 timed out, 0 crashed"
    for i, path in enumerate(files):
        printed, outcome = lines[2 * i], lines[2 * i + 1]
        assert "from %d" % i in printed
        assert outcome == "%s: %d" % (path, i)
    stats = r.stderr.splitlines()
    assert len(stats) == 6
    assert all(re.fullmatch(r".*: \d+ instructions executed in .* in a worker process\)", s)
               for s in stats)


def test_same_file_twice(tmp_path):
    r = tarnel_run(FIB, FIB)
    assert r.returncode == 0
    assert r.stdout.splitlines() == ["%s: 6765" % FIB] * 2 + [
        "2 succeeded, 0 failed, 0 timed out, 0 crashed"]


def test_no_temporary_files_left(tmp_path):
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    e = env()
    e["TMPDIR"] = str(tmp)
    for args in ([FIB], [FIB, FIB], [FIB, "--timeout", "5"]):
        r = subprocess.run([sys.executable, "-m", "tarnel", "run", *map(str, args)], env=e,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60)
        assert r.returncode == 0
        assert list(tmp.iterdir()) == []


# ------------------------------------------------------------- terminal
def run_on_terminal(args, timeout=60):
    """Run with standard output on a pseudo-terminal; returns (status, output)."""
    pty = pytest.importorskip("pty")
    master, slave = pty.openpty()
    e = env()
    e.update(COLUMNS="100", LINES="30", TERM="xterm")
    proc = subprocess.Popen([sys.executable, "-m", "tarnel", "run", *map(str, args)], env=e,
                            stdout=slave, stderr=slave, stdin=subprocess.DEVNULL)
    os.close(slave)
    chunks = []
    deadline = time.monotonic() + timeout
    try:
        while time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 0.1)
            if ready:
                try:
                    data = os.read(master, 65536)
                except OSError:  # EIO once the other side is closed
                    break
                if not data:
                    break
                chunks.append(data)
            elif proc.poll() is not None:
                break
        status = proc.wait(timeout=10)
    finally:
        proc.kill()
        proc.wait()
        os.close(master)
    return status, b"".join(chunks).decode("utf-8", "replace")


def test_progress_bar_on_a_terminal(tmp_path):
    pytest.importorskip("rich")
    files = [source(tmp_path, "loop%d.tnasm" % i, LOOP) for i in range(2)] + [
        FIB, source(tmp_path, "prints.tnasm", PRINTS % ("printed by the program", 3))]
    status, output = run_on_terminal([*files, "--timeout", "1", "--jobs", "1"])
    assert status == 1
    assert "running" in output and "\x1b[" in output  # the bar, drawn and redrawn
    assert "0/4" in output
    assert "%s: 6765" % FIB in output
    # the program's own line is printed above the bar, not into it
    assert "\x1b[2Kprinted by the program\r\n" in output
    assert "1 succeeded, 0 failed, 2 timed out, 0 crashed" not in output
    assert "2 succeeded, 0 failed, 2 timed out, 0 crashed\r\n" in output


def test_no_progress_bar_when_not_a_terminal(tmp_path):
    r = tarnel_run(FIB, FIB)
    assert "\x1b" not in r.stdout + r.stderr
    assert "running" not in r.stdout + r.stderr


def test_one_file_on_a_terminal_has_no_bar():
    status, output = run_on_terminal([FIB])
    assert status == 0
    assert output.replace("\r\n", "\n") == "6765\n"


# ----------------------------------------------------------------- Ctrl-C
def children_of(pid: int):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as fh:
                    fields = fh.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                found.append(int(entry))
    return found


def test_ctrl_c_in_process_ends_an_endless_program(tmp_path):
    path = source(tmp_path, "loop.tnasm",
                  '.func main\nLoadConstR r0, "running"\nDebugPrint r0\n' + LOOP)
    proc = subprocess.Popen([sys.executable, "-m", "tarnel", "run", str(path)], env=env(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert "running" in proc.stdout.readline()  # the program is in its loop now
        time.sleep(0.2)
        assert proc.poll() is None
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=5)
        took = time.monotonic() - sent
    finally:
        proc.kill()
        proc.wait()
    assert (proc.returncode, out, err) == (130, "", "tarnel: interrupted\n")
    assert took < 3  # the promise is milliseconds; this only catches a stop that never comes


@pytest.mark.skipif(not os.path.isdir("/proc"), reason="finds the workers through /proc")
def test_ctrl_c_isolated_kills_the_workers(tmp_path):
    files = [source(tmp_path, "loop%d.tnasm" % i, LOOP) for i in range(3)]
    proc = subprocess.Popen([sys.executable, "-m", "tarnel", "run", *map(str, files), "--jobs", "2"],
                            env=env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    workers = []
    try:
        deadline = time.monotonic() + 20
        while len(workers) < 2 and time.monotonic() < deadline:
            workers = children_of(proc.pid)
            time.sleep(0.05)
        assert len(workers) == 2
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=5)
    finally:
        proc.kill()
        proc.wait()
        for pid in workers:
            if alive(pid):
                os.kill(pid, signal.SIGKILL)
    assert proc.returncode == 130
    assert err == "tarnel: interrupted\n"
    assert "succeeded" not in out
    assert not [p for p in workers if alive(p)]


# Prints a 1 MiB string 256 times: 256 MiB of output.
FLOOD = """
.func main
        LoadConstR r0, "x"
        LoadConstR r3, 1
        LoadConstR r5, 0
        LoadConstR r6, 20
grow:
        LtR r7, r5, r6
        JumpIfNotR r7, print
        ConcatStrR r0, r0, r0
        AddR r5, r5, r3
        JumpR grow
print:
        LoadConstR r5, 0
        LoadConstR r6, 256
again:
        LtR r7, r5, r6
        JumpIfNotR r7, done
        DebugPrint r0
        AddR r5, r5, r3
        JumpR again
done:
        LoadConstR r0, 7
        ReturnR r0
"""

# Runs `tarnel run` in this child, its standard output to /dev/null, then
# reports the child's own peak resident memory in KiB (VmHWM: the workers are
# not counted, and unlike ru_maxrss it does not start from the parent's peak).
PEAK_OF_RUN = r"""
import os, sys
null = os.open(os.devnull, os.O_WRONLY)
os.dup2(null, 1)
from tarnel.cli import main
status = main(["run", "-j", "2", "--timeout", "120"] + sys.argv[1:])
with open("/proc/self/status") as f:
    peak = [line.split()[1] for line in f if line.startswith("VmHWM:")][0]
sys.stderr.write("%d %s\n" % (status, peak))
"""


@pytest.mark.address_space
def test_output_of_several_files_is_streamed_not_held(tmp_path):
    flood = tmp_path / "flood.tnasm"
    flood.write_text(FLOOD)
    small = tmp_path / "small.tnasm"
    small.write_text(PRINTS % ("hi", 1))
    child = subprocess.run([sys.executable, "-c", PEAK_OF_RUN, str(flood), str(small)],
                           capture_output=True, text=True, env=env(), timeout=300)
    status, peak_kib = child.stderr.split()[-2:]
    assert status == "0", child.stderr
    assert int(peak_kib) < 128 * 1024   # 256 MiB went through it
