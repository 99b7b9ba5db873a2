"""The tarnel command, run as `python -m tarnel` in a subprocess."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest
import tarnel

ROOT = Path(__file__).resolve().parents[2]
FIB = ROOT / "examples" / "fib.tnasm"


def tarnel_cmd(*args, cwd=None):
    env = dict(os.environ)
    env["PYTHONPATH"] = str(ROOT / "python") + os.pathsep + env.get("PYTHONPATH", "")
    return subprocess.run([sys.executable, "-m", "tarnel", *map(str, args)], cwd=cwd, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          timeout=60)


def test_asm_dis_check(tmp_path):
    out = tmp_path / "fib.tnbc"
    r = tarnel_cmd("asm", FIB, "-o", out)
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
    data = out.read_bytes()
    assert data == tarnel.assemble(FIB.read_text("utf-8"))
    assert out.stat().st_mode & 0o644 == 0o644      # not the temporary file's 0600

    r = tarnel_cmd("dis", out)
    assert r.returncode == 0
    assert r.stdout == tarnel.disassemble(data)

    listing = tmp_path / "fib.dis.tnasm"
    r = tarnel_cmd("dis", out, "-o", listing)
    assert r.returncode == 0 and r.stdout == ""
    assert tarnel.assemble(listing.read_text("utf-8")) == data

    r = tarnel_cmd("check", out)
    assert (r.returncode, r.stdout) == (0, "")


def test_asm_default_output_name(tmp_path):
    src = tmp_path / "prog.tnasm"
    src.write_text("Halt\n")
    r = tarnel_cmd("asm", src)
    assert r.returncode == 0
    assert (tmp_path / "prog.tnbc").read_bytes() == tarnel.assemble("Halt\n")


def test_asm_error_leaves_output_alone(tmp_path):
    src = tmp_path / "bad.tnasm"
    src.write_text("Nop\n  AddR r1, r2\n")
    out = tmp_path / "bad.tnbc"
    out.write_bytes(b"previous")
    r = tarnel_cmd("asm", "bad.tnasm", "-o", "bad.tnbc", cwd=tmp_path)
    assert r.returncode == 1
    assert r.stderr == "bad.tnasm:2:3: AddR takes 3 operands (dst, left, right), got 2\n"
    assert out.read_bytes() == b"previous"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.tnasm", "bad.tnbc"]


@pytest.mark.parametrize("command,status", [("asm", 1), ("dis", 1), ("check", 2)])
def test_missing_input(tmp_path, command, status):
    r = tarnel_cmd(command, tmp_path / "nope")
    assert r.returncode == status
    assert "cannot read" in r.stderr and "No such file" in r.stderr


@pytest.mark.parametrize("command,status", [("dis", 1), ("check", 2)])
@pytest.mark.parametrize("data,message", [
    (b"TNBC" + b"\0" * 19, "Invalid bytecode format"),
    (b"XXXX" + b"\0" * 28, "Invalid magic number"),
])
def test_undecodable_input(tmp_path, command, status, data, message):
    path = tmp_path / "m.tnbc"
    path.write_bytes(data)
    r = tarnel_cmd(command, path)
    assert r.returncode == status
    assert r.stdout == ""
    assert r.stderr == "%s: %s\n" % (path, message)


def test_check_reports_findings(tmp_path):
    path = tmp_path / "m.tnbc"
    path.write_bytes(tarnel.assemble('.func main\nLoadConstR r1, "nope"\nCallR r1, [], r2\n'
                                     "ReturnR r2\nHalt\n"))
    r = tarnel_cmd("check", path)
    assert r.returncode == 1
    assert r.stdout.splitlines() == [
        "%s: instruction 1: CallR through r1 calls 'nope', which is not in the function table"
        % path,
        "%s: instruction 3: unreachable code: instruction 3 is never executed (after ReturnR)"
        % path]


def test_usage():
    r = tarnel_cmd("--help")
    assert r.returncode == 0
    for command in ("asm", "dis", "check"):
        assert command in r.stdout
    r = tarnel_cmd()
    assert r.returncode == 2
