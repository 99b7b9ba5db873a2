"""Loads that could block, read without end or multiply a file's size.

Only regular files load; a module file has a largest size; and loading any
module file costs a bounded amount of memory per file byte. Each load runs in
a child process, so a regression shows as a failed test, not a hung suite or
an exhausted machine.
"""

from __future__ import annotations

import os
import struct
import subprocess
import sys

import pytest

pytestmark = pytest.mark.address_space

MAX_MODULE_FILE = 64 << 20
NOT_REGULAR = "Failed to load bytecode: IO error: not a regular file"
TOO_LARGE = "Failed to load bytecode: IO error: File too large (os error 27)"

# Loads argv[1] and prints the outcome; with "measure", prints the peak
# resident memory the load added, in bytes.
CHILD = r"""
import resource, sys
# 2 GiB of address space: a load that reads without end fails in the child.
resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
from tarnel_vm import VornVM

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

vm = VornVM()
before = status("VmRSS")
try:
    vm.load_bytecode(sys.argv[1])
except BaseException as error:
    print(error.args[0] if error.args else type(error).__name__)
else:
    print(status("VmHWM") - before if sys.argv[2:] == ["measure"] else "loaded")
"""


def load_in_child(path, *extra):
    child = subprocess.run([sys.executable, "-c", CHILD, str(path), *extra],
                           capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr
    return child.stdout.strip()


def module(constants: bytes = b"", constant_count: int = 0, functions: bytes = b"",
           function_count: int = 0, code: bytes = b"", code_count: int = 0) -> bytes:
    """A module file with the sections back to back and an empty name."""
    const_at = 28 + 4
    func_at = const_at + 4 + len(constants)
    code_at = func_at + 4 + len(functions)
    return (b"TNBC" + struct.pack("<6I", 1, 0, 28, const_at, func_at, code_at) + b"\0\0\0\0"
            + struct.pack("<I", constant_count) + constants
            + struct.pack("<I", function_count) + functions
            + struct.pack("<I", code_count) + code)


ANSWER = module(code=b"\x00\x00\x00\x00" + b"\x1a\x01\x00", code_count=2,
                constants=b"\x01" + struct.pack("<q", 42), constant_count=1)


def fifo(path):
    os.mkfifo(path)


def link_to(target):
    return lambda path: os.symlink(target, path)


def sparse(size, start=ANSWER):
    def make(path):
        path.write_bytes(start)
        os.truncate(path, size)
    return make


@pytest.mark.parametrize("make_module, make_metadata, expected", [
    pytest.param(fifo, None, NOT_REGULAR, id="module_fifo"),
    pytest.param(None, fifo, NOT_REGULAR, id="metadata_fifo"),
    pytest.param(link_to("/dev/zero"), None, NOT_REGULAR, id="module_dev_zero"),
    pytest.param(link_to("/dev/urandom"), None, NOT_REGULAR, id="module_dev_urandom"),
    pytest.param(None, link_to("/dev/zero"), NOT_REGULAR, id="metadata_dev_zero"),
    pytest.param(link_to("/dev/null"), None, NOT_REGULAR, id="module_dev_null"),
    pytest.param(sparse(MAX_MODULE_FILE + 1), None, TOO_LARGE, id="module_over_limit"),
    pytest.param(sparse(MAX_MODULE_FILE), None, "loaded", id="module_at_limit"),
    pytest.param(None, sparse(4 << 30, b"TNBM" + bytes(16)), "loaded", id="metadata_4_GiB"),
])
def test_only_regular_files_of_bounded_size_load(tmp_path, make_module, make_metadata, expected):
    path = tmp_path / "prog.tnbc"
    if make_module is None:
        path.write_bytes(ANSWER)
    else:
        make_module(path)
    if make_metadata is not None:
        make_metadata(tmp_path / "prog.tnbm")
    assert load_in_child(path) == expected


FILE_SIZE = 8 << 20
# Loading must cost at most this many bytes of resident memory per file
# byte at its peak, whatever the file holds.
BYTES_PER_FILE_BYTE = 48


def functions_file() -> bytes:
    count = (FILE_SIZE - 64) // 12
    table = b"".join(struct.pack("<I", 4) + b"%04x" % (i & 0xFFFF) + struct.pack("<I", i >> 16)
                     for i in range(count))
    return module(functions=table, function_count=count)


def constants_file(unit: bytes) -> bytes:
    count = (FILE_SIZE - 64) // len(unit)
    return module(constants=unit * count, constant_count=count)


def code_file(unit: bytes) -> bytes:
    count = (FILE_SIZE - 64) // len(unit)
    return module(code=unit * count, code_count=count)


@pytest.mark.parametrize("contents", [
    pytest.param(lambda: code_file(b"\x28"), id="Nop"),
    pytest.param(lambda: code_file(b"\x19\x00\x01\x00"), id="CallR_no_args"),
    pytest.param(lambda: code_file(b"\x19\x00\x01\x01\x02"), id="CallR_one_arg"),
    pytest.param(lambda: code_file(b"\x1a\x00"), id="ReturnR"),
    pytest.param(lambda: constants_file(b"\x03\x00\x00\x00\x00"), id="empty_strings"),
    pytest.param(lambda: constants_file(b"\x05"), id="empty_constants"),
    pytest.param(lambda: constants_file(b"\x04\x01"), id="booleans"),
    pytest.param(functions_file, id="function_table"),
])
def test_loading_costs_a_bounded_amount_of_memory_per_file_byte(tmp_path, contents):
    path = tmp_path / "big.tnbc"
    data = contents()
    path.write_bytes(data)
    added = load_in_child(path, "measure")
    assert added.isdigit(), added
    assert int(added) / len(data) <= BYTES_PER_FILE_BYTE
