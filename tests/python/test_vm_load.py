"""load_bytecode and execute: paths, loader failures, state across calls."""

from __future__ import annotations

import os
import pathlib
import struct

import modfile
import pytest
from modfile import op, ret
from tarnel_vm import VornVM

PREFIX = "Failed to load bytecode: "


def load_error(vm, path) -> str:
    with pytest.raises(RuntimeError) as info:
        vm.load_bytecode(path)
    assert len(info.value.args) == 1 and info.value.__cause__ is None
    message = info.value.args[0]
    assert message.startswith(PREFIX)
    return message[len(PREFIX):]


def test_demo_module_runs_once_then_stays_halted(tmp_path):
    vm = VornVM()
    path = modfile.write(tmp_path, modfile.DEMO)
    assert vm.load_bytecode(path) is None
    assert vm.instruction_count() == 0
    assert vm.execute() == 42
    assert vm.instruction_count() == 2
    assert vm.execute() is None
    assert vm.instruction_count() == 2
    # A new load makes the program runnable again; the count keeps growing.
    vm.load_bytecode(path)
    assert vm.instruction_count() == 2
    assert vm.execute() == 42
    assert vm.instruction_count() == 4


def test_extension_rule_is_applied(tmp_path):
    modfile.write(tmp_path, modfile.DEMO, "prog.tnbc")
    vm = VornVM()
    vm.load_bytecode(str(tmp_path / "prog"))
    assert vm.execute() == 42
    vm.load_bytecode(str(tmp_path / "prog.txt"))
    assert vm.execute() == 42


def test_str_subclass_path_is_accepted(tmp_path):
    class Path(str):
        pass

    vm = VornVM()
    vm.load_bytecode(Path(modfile.write(tmp_path, modfile.DEMO)))
    assert vm.execute() == 42


def test_non_ascii_path(tmp_path):
    vm = VornVM()
    vm.load_bytecode(modfile.write(tmp_path, modfile.DEMO, "prögrâm ✓.tnbc"))
    assert vm.execute() == 42


# (argument, qualified type name in the message)
BAD_PATHS = [
    (b"prog.tnbc", "bytes"),
    (pathlib.Path("prog.tnbc"), type(pathlib.Path("prog.tnbc")).__qualname__),
    (pathlib.PurePosixPath("prog.tnbc"), "PurePosixPath"),
    (bytearray(b"prog"), "bytearray"),
    (None, "NoneType"),
    (7, "int"),
    (["prog"], "list"),
]


@pytest.mark.parametrize("path,type_name", BAD_PATHS)
def test_path_must_be_str(path, type_name):
    vm = VornVM()
    with pytest.raises(TypeError) as info:
        vm.load_bytecode(path)
    assert info.value.args == ("argument 'path': '%s' object cannot be converted to 'PyString'" % type_name,)


@pytest.mark.skipif(os.name != "posix", reason="POSIX path class")
def test_posix_path_message():
    with pytest.raises(TypeError) as info:
        VornVM().load_bytecode(pathlib.Path("prog.tnbc"))
    assert str(info.value) == "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"


def test_path_with_lone_surrogate():
    with pytest.raises(UnicodeEncodeError):
        VornVM().load_bytecode("prog\udc80")


def test_missing_file(tmp_path):
    assert load_error(VornVM(), str(tmp_path / "missing")) == "IO error: No such file or directory (os error 2)"


def test_missing_file_relative_name(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert load_error(VornVM(), "missing") == "IO error: No such file or directory (os error 2)"


def test_directory(tmp_path):
    (tmp_path / "dir.tnbc").mkdir()
    assert load_error(VornVM(), str(tmp_path / "dir.tnbc")) == "IO error: Is a directory (os error 21)"


def test_path_with_nul():
    assert load_error(VornVM(), "prog\0.tnbc") == "IO error: file name contained an unexpected NUL byte"


HEADER = b"TNBC" + struct.pack("<II4I", 1, 0, 28, 28, 28, 28)

# (file contents, loader message)
BAD_MODULES = [
    (b"", "Invalid bytecode format"),
    (b"TNBC" + bytes(6), "Invalid bytecode format"),
    (b"TNBC" + bytes(19), "Invalid bytecode format"),
    (b"XNBC" + bytes(40), "Invalid magic number"),
    (b"tnbc" + bytes(20), "Invalid magic number"),
    (b"TNBC" + bytes(20), "Unexpected EOF"),
    (b"TNBC" + bytes(23), "Unexpected EOF"),
    (HEADER, "Unexpected EOF"),
    (b"TNBC" + struct.pack("<II4I", 1, 0, 33, 28, 28, 28) + bytes(4), "Invalid offset"),
    (b"TNBC" + struct.pack("<II4I", 1, 0, 28, 32, 28, 28) + bytes(4) + b"\x01\x00\x00\x00", "Unexpected EOF"),
    (b"TNBC" + struct.pack("<II4I", 1, 0, 28, 32, 28, 28) + bytes(4) + b"\x01\x00\x00\x00\x06",
     "Invalid constant tag: 6"),
    (b"TNBC" + struct.pack("<II4I", 1, 0, 28, 28, 28, 32) + bytes(4) + b"\x01\x00\x00\x00\xff",
     "Invalid opcode: 255"),
    (b"TNBC" + struct.pack("<II4I", 1, 0, 28, 28, 28, 28) + b"\x02\x00\x00\x00\xc3\x28",
     "Invalid UTF-8"),
]


@pytest.mark.parametrize("data,message", BAD_MODULES)
def test_decoder_failures_reach_python(tmp_path, data, message):
    assert load_error(VornVM(), modfile.write(tmp_path, data)) == message


def test_smallest_valid_module(tmp_path):
    vm = VornVM()
    vm.load_bytecode(modfile.write(tmp_path, HEADER + bytes(4)))
    assert vm.execute() is None
    assert vm.instruction_count() == 0


# (metadata contents, loader message or None when accepted)
METADATA = [
    (b"TNBM" + bytes(16), None),
    (b"TNBM" + bytes(100), None),
    (b"TNBM" + bytes(15), "Invalid bytecode format"),
    (b"XXXX" + bytes(16), "Invalid magic number"),
]


@pytest.mark.parametrize("metadata,message", METADATA)
def test_metadata_file(tmp_path, metadata, message):
    path = modfile.write(tmp_path, modfile.DEMO)
    modfile.write(tmp_path, metadata, "prog.tnbm")
    vm = VornVM()
    if message is None:
        vm.load_bytecode(path)
        assert vm.execute() == 42
    else:
        assert load_error(vm, path) == message


def test_failed_load_keeps_the_loaded_module(tmp_path):
    vm = VornVM()
    vm.load_bytecode(modfile.write(tmp_path, modfile.DEMO))
    load_error(vm, modfile.write(tmp_path, b"XNBC" + bytes(40), "bad.tnbc"))
    load_error(vm, str(tmp_path / "missing"))
    assert vm.execute() == 42
    assert vm.instruction_count() == 2


def test_failed_first_load_leaves_the_vm_empty(tmp_path):
    vm = VornVM()
    load_error(vm, str(tmp_path / "missing"))
    with pytest.raises(RuntimeError, match="^Runtime error: Module not loaded$"):
        vm.execute()


# Programs that fail: (code, constants, message, instructions counted)
FAILING = [
    ([op("LoadConstR", 0, 0), op("LoadConstR", 1, 1), op("DivR", 2, 0, 1)], [1, 0],
     "Runtime error: Division by zero", 3),
    ([op("LoadConstR", 0, 5)], [1], "Runtime error: Invalid constant index: 5", 1),
    ([op("LoadConstR", 0, 0), op("LoadConstR", 1, 0), op("AddR", 2, 0, 1)], [2**63 - 1],
     "Runtime error: Integer overflow", 3),
    ([op("LoadConstR", 0, 0), op("CastR", 1, 0, modfile.INT)], ["12"],
     "Runtime error: Type mismatch: expected integer, found string", 2),
    ([op("LoadConstR", 0, 0), modfile.call(0, 1)], ["nowhere"], "Runtime error: Undefined function: nowhere", 2),
]


@pytest.mark.parametrize("code,constants,message,counted", FAILING)
def test_runtime_errors(tmp_path, code, constants, message, counted):
    vm = VornVM()
    vm.load_bytecode(modfile.write(tmp_path, modfile.module(code, constants)))
    with pytest.raises(RuntimeError) as info:
        vm.execute()
    assert info.value.args == (message,)
    assert vm.instruction_count() == counted


def test_runtime_error_message_keeps_nul(tmp_path):
    code = [op("LoadConstR", 0, 0), modfile.call(0, 1)]
    vm = VornVM()
    vm.load_bytecode(modfile.write(tmp_path, modfile.module(code, ["a\0b"])))
    with pytest.raises(RuntimeError) as info:
        vm.execute()
    assert info.value.args == ("Runtime error: Undefined function: a\0b",)


# (functions, instruction count after each of three execute() calls)
FALL_OFF_THE_END = [
    ({"main": 0}, [2, 4, 6]),  # every run starts again at "main"
    ({}, [2, 2, 2]),           # pc stays past the end: nothing more runs
]


@pytest.mark.parametrize("functions,counts", FALL_OFF_THE_END)
def test_run_without_result_returns_none(tmp_path, functions, counts):
    data = modfile.module([op("Nop"), op("Nop")], functions=functions)
    vm = VornVM()
    vm.load_bytecode(modfile.write(tmp_path, data))
    seen = []
    for _ in counts:
        assert vm.execute() is None
        seen.append(vm.instruction_count())
    assert seen == counts


def test_halt_returns_none_and_stays_halted(tmp_path):
    data = modfile.module([op("Halt"), op("LoadConstR", 0, 0), ret(0)], [1])
    vm = VornVM()
    vm.load_bytecode(modfile.write(tmp_path, data))
    assert vm.execute() is None
    assert vm.execute() is None
    assert vm.instruction_count() == 1


def test_counter_keeps_running_across_loads(tmp_path):
    vm = VornVM()
    path = modfile.write(tmp_path, modfile.DEMO)
    for round_ in range(1, 6):
        vm.load_bytecode(path)
        assert vm.execute() == 42
        assert vm.instruction_count() == 2 * round_
