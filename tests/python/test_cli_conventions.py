"""Command-line conventions of `tarnel`: standard streams, paths named as tried,
exit statuses, one-liners, --version, dis views and check of sources."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest
import tarnel
from tarnel.module import decode

ROOT = Path(__file__).resolve().parents[2]

pytest.importorskip("tarnel_vm")

CALLS_NOWHERE = '.func main\nLoadConstR r1, "nope"\nCallR r1, [], r2\nReturnR r2\nHalt\n'
TWO_FUNCTIONS = (".func main\nLoadConstR r0, 6\nLoadConstR r1, \"double\"\nCallR r1, [r0], r2\n"
                 "ReturnR r2\n.func double\nAddR r0, r0, r0\nReturnR r0\n")
DEEP = """
.func main
        LoadConstR r0, 1
        LoadConstR r1, 0
        LoadConstR r2, 1500
        LoadConstR r3, 1
        LoadConstR r4, 0
        NewArrayR r5, r0
again:
        NewArrayR r6, r0
        ArraySetR r6, r1, r5
        MoveR r5, r6
        AddR r4, r4, r3
        LtR r7, r4, r2
        JumpIfR r7, again
        ReturnR r5
"""


def tarnel_cmd(*args, cwd=None, stdin=None, text=True):
    env = dict(os.environ)
    env["PYTHONPATH"] = str(ROOT / "python") + os.pathsep + env.get("PYTHONPATH", "")
    data = stdin.encode() if isinstance(stdin, str) and not text else stdin
    return subprocess.run([sys.executable, "-m", "tarnel", *map(str, args)], cwd=cwd, env=env,
                          input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=text, timeout=60)


def test_version():
    import tarnel_vm
    r = tarnel_cmd("--version")
    assert r.returncode == 0
    first, second = r.stdout.splitlines()
    assert first == "tarnel %s" % tarnel.__version__
    # The extension's version, then the features of its build when it lists them.
    assert second == "tarnel_vm %s" % tarnel_vm.__version__ or \
        second.startswith("tarnel_vm %s (" % tarnel_vm.__version__)


@pytest.mark.parametrize("program,stdout,stderr,status", [
    ("LoadConstR r0, 42; ReturnR r0", "42\n", "", 0),
    ('LoadConstR r0, "a;b#c"; ReturnR r0', "'a;b#c'\n", "", 0),
    ("LoadConstR r0, 1 # a comment; ReturnR r0", "1\n", "", 0),
    ("loop: JumpIfR r0, loop; LoadConstR r0, true; ReturnR r0", "True\n", "", 0),
    ("LoadConstR r0, 1;  AddR r0, r1", "",
     "-e:1:20: AddR takes 3 operands (dst, left, right), got 2\n", 1),
    ("LoadConstR r1, 0; DivR r2, r0, r1", "", "-e: Runtime error: Division by zero\n"
     "  at -e:1:19: in <module>, instruction 1: DivR r2, r0, r1\n", 1),
])
def test_one_liner(program, stdout, stderr, status):
    r = tarnel_cmd("run", "-e", program)
    assert (r.returncode, r.stdout, r.stderr) == (status, stdout, stderr)


@pytest.mark.parametrize("files", [["deep.tnasm"], ["deep.tnasm", "deep.tnasm"]],
                         ids=["in-process", "several"])
def test_deep_result_is_printed(tmp_path, files):
    (tmp_path / "deep.tnasm").write_text(DEEP)
    r = tarnel_cmd("run", *files, cwd=tmp_path)
    expected = "[" * 1501 + "None" + "]" * 1501       # what repr() would give
    assert (r.returncode, r.stderr) == (0, "")
    lines = r.stdout.splitlines()
    assert lines[0] == ("deep.tnasm: " if len(files) > 1 else "") + expected
    if len(files) > 1:
        assert lines[-1] == "2 succeeded, 0 failed, 0 timed out, 0 crashed"


def test_asm_and_dis_through_standard_streams():
    source = "LoadConstR r0, 5\nReturnR r0\n"
    r = tarnel_cmd("asm", "-", "-o", "-", stdin=source.encode(), text=False)
    assert (r.returncode, r.stderr) == (0, b"")
    assert r.stdout == tarnel.assemble(source, "<stdin>")
    d = tarnel_cmd("dis", "-", stdin=r.stdout, text=False)
    assert d.returncode == 0 and d.stdout.decode() == tarnel.disassemble(r.stdout)
    run = tarnel_cmd("run", "-", stdin=r.stdout, text=False)
    assert (run.returncode, run.stdout) == (0, b"5\n")


@pytest.mark.parametrize("command,status", [("dis", 0), ("check", 1), ("run", 1)])
def test_sources_are_accepted(tmp_path, command, status):
    (tmp_path / "p.tnasm").write_text(CALLS_NOWHERE)
    r = tarnel_cmd(command, "p.tnasm", cwd=tmp_path)
    assert r.returncode == status
    if command == "check":
        assert r.stdout.splitlines() == [
            "p.tnasm:3:1: instruction 1: CallR through r1 calls 'nope', which is not in the "
            "function table",
            "p.tnasm:5:1: instruction 3: unreachable code: instruction 3 is never executed "
            "(after ReturnR)"]


# Findings about the function table cite the .func line that wrote the entry
# (the later one of a name listed twice) in a source, and no line in a module file.
@pytest.mark.parametrize("source,expected", [
    (".func main\nNop\n.func main\nReturnR\n",
     ["3:1: function 'main' is listed twice; entry point 1 replaces 0",
      "2:1: instruction 0: unreachable code: instruction 0 is never executed"]),
    ("ReturnR\n  .func main 7\n",
     ["2:3: function 'main' has entry point 7, beyond the instruction list (1 instruction)",
      "1:1: instruction 0: unreachable code: instruction 0 is never executed"]),
    (".func f\n.func main\nReturnR\n; gap\n.func f 4\n.func f 5 ; again\n",
     ["5:1: function 'f' is listed twice; entry point 4 replaces 0",
      "6:1: function 'f' is listed twice; entry point 5 replaces 4",
      "6:1: function 'f' has entry point 5, beyond the instruction list (1 instruction)"]),
])
def test_function_table_findings_cite_their_func_line(tmp_path, source, expected):
    (tmp_path / "p.tnasm").write_text(source)
    r = tarnel_cmd("check", "p.tnasm", cwd=tmp_path)
    assert (r.returncode, r.stdout.splitlines()) == (1, ["p.tnasm:" + line for line in expected])
    assert tarnel_cmd("asm", "p.tnasm", cwd=tmp_path).returncode == 0
    r = tarnel_cmd("check", "p.tnbc", cwd=tmp_path)
    assert r.stdout.splitlines() == ["p.tnbc: " + line.split(": ", 1)[1] for line in expected]


def test_version_lists_the_build_features():
    import tarnel_vm
    features = tarnel_vm.__features__
    assert isinstance(features, tuple) and all(isinstance(f, str) and f for f in features)
    assert features[:2] == ("interpreter", "in-process limits")
    assert ("debug assertions on" in features) != ("debug assertions off" in features)
    assert "__features__" not in tarnel_vm.__all__
    second = tarnel_cmd("--version").stdout.splitlines()[1]
    assert second == "tarnel_vm %s (%s)" % (tarnel_vm.__version__, ", ".join(features))


@pytest.mark.parametrize("command,status", [("check", 2), ("dis", 1), ("run", 1)])
@pytest.mark.parametrize("metadata,message", [
    (None, None),
    (b"TNBM" + b"\0" * 15, "Invalid bytecode format"),
    (b"XXXX" + b"\0" * 20, "Invalid magic number"),
])
def test_paths_named_as_tried(tmp_path, command, status, metadata, message):
    """`prog` is read as prog.tnbc; a bad prog.tnbm is named as the culprit."""
    if metadata is None:
        r = tarnel_cmd(command, "nosuch", cwd=tmp_path)
        assert r.returncode == status
        assert "nosuch.tnbc" in r.stderr and "No such file or directory" in r.stderr
        return
    (tmp_path / "prog.tnbc").write_bytes(tarnel.assemble("Halt\n"))
    (tmp_path / "prog.tnbm").write_bytes(metadata)
    r = tarnel_cmd(command, "prog", cwd=tmp_path)
    if command == "dis":                 # a listing of the module file does not need it
        assert r.returncode == 0
        return
    assert r.returncode == status
    prefix = "prog.tnbm: " + ("Failed to load bytecode: " if command == "run" else "")
    assert r.stderr == prefix + message + "\n"


@pytest.mark.parametrize("args,status,stderr", [
    (["asm", "m.tnbc"], 1, "tarnel: m.tnbc is a module file, not assembly source "
                           "(tarnel dis shows it as assembly)\n"),
    (["asm", "typo.tnasm"], 1, "typo.tnasm:1:1: unknown directive '.fucn' "
                               "(did you mean '.func'?)\n"),
    (["dis", "--function", "nope", "m.tnbc"], 1,
     "tarnel: m.tnbc has no function 'nope' (functions: double, main)\n"),
    (["check", "typo.tnasm"], 2, "typo.tnasm:1:1: unknown directive '.fucn' "
                                 "(did you mean '.func'?)\n"),
    (["check", "nosuch.tnbc"], 2, "tarnel: cannot read nosuch.tnbc: No such file or directory\n"),
    (["run", "nosuch.tnasm"], 1, "tarnel: cannot read nosuch.tnasm: No such file or directory\n"),
    (["run"], 2, None),
])
def test_messages_and_statuses(tmp_path, args, status, stderr):
    (tmp_path / "m.tnbc").write_bytes(tarnel.assemble(TWO_FUNCTIONS))
    (tmp_path / "typo.tnasm").write_text(".fucn main\n")
    r = tarnel_cmd(*args, cwd=tmp_path)
    assert r.returncode == status
    if stderr is not None:
        assert r.stderr == stderr
    else:
        assert "FILE" in r.stderr


def test_dis_bytes_are_the_file_bytes(tmp_path):
    data = tarnel.assemble(TWO_FUNCTIONS)
    (tmp_path / "m.tnbc").write_bytes(data)
    module = decode(data)
    r = tarnel_cmd("dis", "--bytes", "m.tnbc", cwd=tmp_path)
    assert r.returncode == 0
    shown = [line.split(" @0x")[1] for line in r.stdout.splitlines() if " @0x" in line]
    assert len(shown) == len(module.instructions)
    end = 0
    for entry in shown:
        offset, hexbytes = entry.split(": ")
        chunk = bytes.fromhex(hexbytes)
        assert data[int(offset, 16):int(offset, 16) + len(chunk)] == chunk
        end = int(offset, 16) + len(chunk)
    assert end == len(data)
    # Without --bytes the listing is the plain disassembly.
    assert tarnel_cmd("dis", "m.tnbc", cwd=tmp_path).stdout == tarnel.disassemble(data)


def test_dis_function(tmp_path):
    (tmp_path / "m.tnbc").write_bytes(tarnel.assemble(TWO_FUNCTIONS))
    r = tarnel_cmd("dis", "--function", "double", "m.tnbc", cwd=tmp_path)
    assert r.returncode == 0
    lines = r.stdout.splitlines()
    assert lines[:2] == ["; function double: instructions 4 to 5", ".func double"]
    assert [line.split(";")[0].strip() for line in lines[2:]] == ["AddR r0, r0, r0",
                                                                  "ReturnR r0"]


@pytest.mark.parametrize("signals", [1, 10])
def test_a_ctrl_c_storm_exits_130_quietly(tmp_path, signals):
    import signal
    import time

    loop = tmp_path / "loop.tnasm"
    loop.write_text("loop:\n        JumpR loop\n")
    env = dict(os.environ)
    env["PYTHONPATH"] = str(ROOT / "python") + os.pathsep + env.get("PYTHONPATH", "")
    proc = subprocess.Popen([sys.executable, "-m", "tarnel", "run", str(loop), str(loop),
                             "--jobs", "2"], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        time.sleep(1.5)                       # the workers are running
        for _ in range(signals):
            proc.send_signal(signal.SIGINT)
            time.sleep(0.01)
        out, err = proc.communicate(timeout=20)
    finally:
        proc.kill()
        proc.wait()
    assert (proc.returncode, err) == (130, "tarnel: interrupted\n")
