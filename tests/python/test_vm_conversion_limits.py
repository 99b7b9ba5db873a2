"""A result that shares one array many times over is refused before conversion."""

from __future__ import annotations

import pytest

from test_robustness_hostile import TOWER, assemble_to, still_usable
from tarnel_vm import VornVM


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
