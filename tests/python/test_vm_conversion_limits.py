"""A result that shares one array many times over is refused before conversion."""

from __future__ import annotations

import subprocess
import sys

import pytest
from tarnel_vm import VornVM
from test_robustness_hostile import TOWER, assemble_to, still_usable


def test_returning_a_shared_tower_is_refused_without_exhausting_memory(tmp_path):
    vm = VornVM()
    # Forty levels of an array holding the same array twice: 41 payloads that
    # would expand into 2^41 Python lists.
    vm.load_bytecode(assemble_to(tmp_path, "tower_result", TOWER % "MoveR r10, r0"))
    with pytest.raises(BaseException) as raised:
        vm.execute()
    assert type(raised.value).__name__ == "InternalFault"
    assert not isinstance(raised.value, Exception)
    assert raised.value.args == ("result too large to convert to Python objects",)
    still_usable(vm, tmp_path)


def test_a_shallow_shared_tower_still_converts(tmp_path):
    text = TOWER.replace("LoadConstR r6, 40", "LoadConstR r6, 4") % "MoveR r10, r0"
    vm = VornVM()
    vm.load_bytecode(assemble_to(tmp_path, "small_tower", text))
    result = vm.execute()
    depth = 0
    while isinstance(result, list):
        assert len(result) == 2 and result[0] == result[1]
        if isinstance(result[0], list):
            assert result[0] is not result[1]  # sharing is not preserved
        result = result[0]
        depth += 1
    assert depth == 5


# r0 becomes one string of 2^20 characters (1 MiB) by doubling; then `levels`
# arrays each hold the previous level twice, so the result reaches that one
# string 2^levels times.
STRING_TOWER = """
.func main
        LoadConstR r0, "x"
        LoadConstR r1, 2
        LoadConstR r2, 0
        LoadConstR r3, 1
        LoadConstR r5, 0
        LoadConstR r6, 20
grow:
        LtR r7, r5, r6
        JumpIfNotR r7, built
        ConcatStrR r0, r0, r0
        AddR r5, r5, r3
        JumpR grow
built:
        LoadConstR r5, 0
        LoadConstR r6, %d
level:
        LtR r7, r5, r6
        JumpIfNotR r7, done
        NewArrayR r8, r1
        ArraySetR r8, r2, r0
        ArraySetR r8, r3, r0
        MoveR r0, r8
        AddR r5, r5, r3
        JumpR level
done:
        ReturnR r0
"""

# Runs the tower in a child limited to 3 GiB of address space, so a
# conversion that is not refused ends in MemoryError instead of taking the
# machine's memory; prints what execute() raised or the result's depth.
TOWER_CHILD = r"""
import resource, sys
resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
from tarnel_vm import VornVM
vm = VornVM()
vm.load_bytecode(sys.argv[1])
try:
    result = vm.execute()
except BaseException as error:
    print(type(error).__name__, error.args[0])
else:
    depth = 0
    while isinstance(result, list):
        result = result[1]
        depth += 1
    print("converted", depth, len(result))
"""


@pytest.mark.address_space
@pytest.mark.parametrize("levels, expected", [
    # 2^20 copies of 1 MiB: 1 TiB of str objects from a VM holding 1 MiB.
    pytest.param(20, "InternalFault result too large to convert to Python objects", id="1_TiB"),
    pytest.param(40, "InternalFault result too large to convert to Python objects", id="1_ZiB"),
    # 2^3 copies: 8 MiB converts.
    pytest.param(3, "converted 3 1048576", id="8_MiB"),
])
def test_a_string_shared_many_times_is_counted_by_its_bytes(tmp_path, levels, expected):
    path = assemble_to(tmp_path, "string_tower", STRING_TOWER % levels)
    child = subprocess.run([sys.executable, "-c", TOWER_CHILD, path], capture_output=True, text=True, timeout=120)
    assert child.stdout.strip() == expected, child.stderr
