"""`tarnel dis` and `tarnel check` on large module files: memory per file byte.

A module file of one-byte instructions is the most instructions per byte a
file can hold. The tools share one object per distinct encoding and stream
the listing, so their peak memory grows with the file by a few bytes per
file byte; holding an object per instruction and the whole listing cost
about 280 bytes per file byte.
"""

from __future__ import annotations

import os
import struct
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.address_space

ROOT = Path(__file__).resolve().parents[2]

# Runs one tool in this child, its output to /dev/null, then reports the
# child's peak resident memory in bytes.
PEAK_OF_TOOL = r"""
import os, sys
null = os.open(os.devnull, os.O_WRONLY)
os.dup2(null, 1)
from tarnel.cli import main
status = main(sys.argv[1:])
with open("/proc/self/status") as f:
    peak = [line.split()[1] for line in f if line.startswith("VmHWM:")][0]
sys.stderr.write("%d %d\n" % (status, int(peak) * 1024))
"""


def peak_of(*argv):
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    child = subprocess.run([sys.executable, "-c", PEAK_OF_TOOL, *argv],
                           capture_output=True, text=True, env=env, timeout=600)
    status, peak = child.stderr.split()[-2:]
    return int(status), int(peak)


def code_file(path: Path, unit: bytes, size: int) -> int:
    count = size // len(unit)
    path.write_bytes(b"TNBC" + struct.pack("<6I", 1, 0, 28, 28, 28, 32) + bytes(4)
                     + struct.pack("<I", count) + unit * count)
    return path.stat().st_size


@pytest.mark.parametrize("tool", ["dis", "check"])
@pytest.mark.parametrize("unit", [
    pytest.param(b"\x28", id="Nop"),
    pytest.param(b"\x28\x27", id="Nop_Halt"),   # every other instruction ends a block
])
def test_tools_hold_a_few_bytes_per_file_byte(tmp_path, tool, unit):
    _, baseline = peak_of("dis", str(tmp_path / "missing.tnbc"))
    size = code_file(tmp_path / "big.tnbc", unit, 1 << 20)
    status, peak = peak_of(tool, str(tmp_path / "big.tnbc"))
    assert status in (0, 1)   # check reports the unreachable code of Nop_Halt
    assert (peak - baseline) / size < 48
