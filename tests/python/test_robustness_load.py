"""Random and mutated module files through VornVM.load_bytecode.

Every load either succeeds (None) or raises RuntimeError "Failed to load
bytecode: " followed by one of the decoder's messages; nothing else. A failed
load leaves the module loaded before it in place: the next execute() runs
the old program exactly as before.
"""

from __future__ import annotations

import glob
import os
import re
import struct

import pytest
import tarnel
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from tarnel_vm import VornVM

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

FIXED = {"Invalid bytecode format", "Invalid magic number", "Unexpected EOF",
         "Invalid offset", "Invalid UTF-8"}
NUMBERED = re.compile(r"(Invalid constant tag|Invalid opcode): (0|[1-9]\d{0,2})")


def check_load_error(error: RuntimeError, data: bytes) -> None:
    assert type(error) is RuntimeError
    assert len(error.args) == 1
    message = error.args[0]
    prefix = "Failed to load bytecode: "
    assert message.startswith(prefix), message
    text = message[len(prefix):]
    if text in FIXED:
        if text == "Invalid bytecode format":
            assert len(data) < 24
        if text == "Invalid magic number":
            assert data[:4] != b"TNBC"
        return
    match = NUMBERED.fullmatch(text)
    assert match, message
    number = int(match.group(2))
    assert number <= 255, message
    if match.group(1) == "Invalid constant tag":
        assert not 1 <= number <= 5, message
    else:
        assert number >= 50 or 27 <= number <= 30, message


def examples():
    """Module files of the examples, assembled from examples/*.tnasm."""
    out = {}
    for path in sorted(glob.glob(os.path.join(ROOT, "examples", "*.tnasm"))):
        with open(path, encoding="utf-8") as f:
            out[os.path.basename(path)[:-6]] = tarnel.assemble(f.read())
    return out


EXAMPLES = examples()
ANSWER = tarnel.assemble(".func main\n LoadConstR r0, 42\n ReturnR r0\n")
# A program that runs off its end (no result, not halted), so every
# execute() runs it again from "main" and adds 3 to the count.
COUNTER = tarnel.assemble(".func main\n LoadConstR r0, 1\n MoveR r1, r0\n Nop\n")


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("load")
    paths = {"probe": str(d / "probe.tnbc"), "answer": str(d / "answer.tnbc"),
             "counter": str(d / "counter.tnbc")}
    with open(paths["answer"], "wb") as f:
        f.write(ANSWER)
    with open(paths["counter"], "wb") as f:
        f.write(COUNTER)
    return paths


def try_load(files, data: bytes):
    """Loads `data` into a VM that already runs COUNTER. Returns the VM and
    whether the load succeeded; after a failure, checks that COUNTER still
    runs as before."""
    with open(files["probe"], "wb") as f:
        f.write(data)
    vm = VornVM()
    vm.load_bytecode(files["counter"])
    assert vm.execute() is None
    count = vm.instruction_count()
    try:
        assert vm.load_bytecode(files["probe"]) is None
    except RuntimeError as error:
        check_load_error(error, data)
        assert vm.instruction_count() == count
        assert vm.execute() is None
        assert vm.instruction_count() == count + 3
        return vm, False
    assert vm.instruction_count() == count
    return vm, True


# A valid header: magic, version, flags, four offsets in the file.
@st.composite
def headed_files(draw):
    body = draw(st.binary(max_size=300))
    size = 28 + len(body)
    offsets = [draw(st.one_of(st.integers(0, size + 2), st.integers(0, 2 ** 32 - 1)))
               for _ in range(4)]
    return b"TNBC" + struct.pack("<II4I", draw(st.integers(0, 2 ** 32 - 1)),
                                 draw(st.integers(0, 2 ** 32 - 1)), *offsets) + body


@st.composite
def mutated_examples(draw):
    data = bytearray(draw(st.sampled_from(sorted(EXAMPLES.values()))))
    for _ in range(draw(st.integers(1, 8))):
        kind = draw(st.sampled_from(["flip", "set", "insert", "delete", "truncate", "u32"]))
        if not data:
            break
        at = draw(st.integers(0, len(data) - 1))
        if kind == "flip":
            data[at] ^= 1 << draw(st.integers(0, 7))
        elif kind == "set":
            data[at] = draw(st.sampled_from([0, 1, 5, 6, 27, 30, 49, 50, 0x7F, 0x80, 0xC0, 0xFF]))
        elif kind == "insert":
            data[at:at] = draw(st.binary(min_size=1, max_size=8))
        elif kind == "delete":
            del data[at:at + draw(st.integers(1, 8))]
        elif kind == "truncate":
            del data[at:]
        elif at + 4 <= len(data):
            data[at:at + 4] = struct.pack("<I", draw(st.sampled_from(
                [0, 1, 0x7FFFFFFF, 0xFFFFFFFF, len(data), len(data) + 1])))
    return bytes(data)


SETTINGS = settings(max_examples=500, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@SETTINGS
@given(data=st.binary(max_size=200))
def test_random_bytes(files, data):
    try_load(files, data)


@SETTINGS
@given(data=headed_files())
def test_random_files_with_a_header(files, data):
    try_load(files, data)


@SETTINGS
@given(data=mutated_examples())
def test_mutated_examples(files, data):
    try_load(files, data)


@pytest.mark.parametrize("name", sorted(EXAMPLES))
def test_every_truncation_of_every_example(files, name):
    data = EXAMPLES[name]
    for end in range(len(data)):
        _, loaded = try_load(files, data[:end])
        # Cutting an instruction section short is always noticed: the last
        # byte of every example belongs to its last instruction.
        assert not loaded


def test_failed_load_keeps_registers_globals_and_halt_of_the_old_module(files):
    vm = VornVM()
    vm.load_bytecode(files["answer"])
    assert vm.execute() == 42
    count = vm.instruction_count()
    with open(files["probe"], "wb") as f:
        f.write(b"TNBC" + bytes(20))
    with pytest.raises(RuntimeError, match="^Failed to load bytecode: Unexpected EOF$"):
        vm.load_bytecode(files["probe"])
    # Still halted: nothing runs, nothing is counted.
    assert vm.execute() is None
    assert vm.instruction_count() == count
    # A good load afterwards starts afresh.
    vm.load_bytecode(files["answer"])
    assert vm.execute() == 42


@pytest.mark.parametrize("metadata, message", [
    (b"TNBM" + bytes(15), "Failed to load bytecode: Invalid bytecode format"),
    (b"XNBM" + bytes(16), "Failed to load bytecode: Invalid magic number"),
    (b"", "Failed to load bytecode: Invalid bytecode format"),
    (b"TNBM" + bytes(16), None),
    (b"TNBM" + os.urandom(500), None),
])
def test_metadata_files(files, tmp_path, metadata, message):
    module = tmp_path / "prog.tnbc"
    module.write_bytes(ANSWER)
    (tmp_path / "prog.tnbm").write_bytes(metadata)
    vm = VornVM()
    vm.load_bytecode(files["counter"])
    vm.execute()
    if message is None:
        vm.load_bytecode(str(module))
        assert vm.execute() == 42
    else:
        with pytest.raises(RuntimeError) as failure:
            vm.load_bytecode(str(module))
        assert failure.value.args == (message,)
        assert vm.execute() is None  # still the counter program
