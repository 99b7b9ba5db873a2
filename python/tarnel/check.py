"""Static checks of a decoded module.

:func:`check` reports what will fail or misbehave at run time; it changes
nothing about what the VM accepts.  Each finding names the instruction (or
the function table entry) it is about.
"""

from __future__ import annotations

from bisect import bisect_left
from typing import Dict, List, NamedTuple, Optional, Set, Tuple

from . import opcodes as oc
from .module import INT, SHARED_LIMIT, STRING, Constant, Module, opcode_bytes, opcode_class, positions

# Type ids 0..6 select empty, bool, int, float, string, function, url.
_CASTABLE = {1, 2, 3, 4}        # bool, int, float, string


class Finding(NamedTuple):
    index: Optional[int]        # instruction index, None for table entries
    message: str
    #: for a finding about the function table: the entry's position in the
    #: table (file order), so a tool can point at the line that wrote it
    entry: Optional[int] = None

    def __str__(self) -> str:
        if self.index is None:
            return self.message
        return "instruction %d: %s" % (self.index, self.message)


_JUMP_OPCODES = frozenset(oc.BY_NAME[name].opcode for name in oc.JUMPS)
_TERMINATOR_OPCODES = frozenset(oc.BY_NAME[name].opcode for name in oc.TERMINATORS)
# What the constant tracking of _check_calls looks at when it knows nothing.
_TRACKED_OPCODES = frozenset(oc.BY_NAME[name].opcode for name in ("CallR", "LoadConstR"))

# The analyses search the module's opcode string (one byte per instruction)
# for the kinds they are about, so instructions of other kinds cost nothing
# each: a file of millions of Nops is checked with a few searches in C.
_JUMP_CLASS = opcode_class(_JUMP_OPCODES)
# Where straight-line code ends: jumps, and the kinds that never fall through.
_BLOCK_END_CLASS = opcode_class(_JUMP_OPCODES | _TERMINATOR_OPCODES)
# Kinds whose operands can be wrong: constant and global name indexes,
# jump offsets, cast types and argument counts.
_OPERAND_CLASS = opcode_class(
    info.opcode for info in oc.OPCODES
    if info.name in ("CastR", "CallR")
    or any(op.kind in (oc.CONST, oc.NAME, oc.OFFSET) for op in info.operands))
# Kinds that change what _check_calls knows about registers.
_TRACKING_CLASS = opcode_class(
    info.opcode for info in oc.OPCODES
    if info.writes or info.updates or info.name in ("CallR", "MoveR", "LoadConstR"))


def _jump_target(index: int, offset: int) -> int:
    return index + 1 + offset


def check(module: Module) -> List[Finding]:
    findings: List[Finding] = []
    code = module.instructions
    consts = module.constants
    n = len(code)
    table = module.function_map()

    # Function table. A finding about an entry names the entry that takes
    # effect (the last one of its name).
    seen: Dict[str, int] = {}
    last: Dict[str, int] = {}
    for position, (name, entry) in enumerate(module.functions):
        if name in seen:
            findings.append(Finding(None, "function '%s' is listed twice; entry point %d "
                                    "replaces %d" % (name, entry, seen[name]), position))
        seen[name] = entry
        last[name] = position
    for name, entry in table.items():
        if entry >= n:
            findings.append(Finding(None, "function '%s' has entry point %d, beyond the "
                                    "instruction list (%s)" % (name, entry, _count(n)),
                                    last[name]))

    # Per instruction operands. What is wrong with an instruction that does
    # not jump does not depend on where it stands, and a decoded module
    # shares one object per distinct encoding: each is judged once.
    ops = opcode_bytes(code)
    judged: Dict[int, Tuple[str, ...]] = {}
    for i in positions(_OPERAND_CLASS, ops):
        ins = code[i]
        if ins.opcode in _JUMP_OPCODES:
            messages = _operand_findings(ins, i, consts, n)
        else:
            messages = judged.get(id(ins))
            if messages is None:
                messages = _operand_findings(ins, i, consts, n)
                if len(judged) < SHARED_LIMIT:
                    judged[id(ins)] = messages
        for message in messages:
            findings.append(Finding(i, message))

    findings.extend(_check_calls(module, ops))
    findings.extend(_check_reachability(module, ops))
    findings.sort(key=lambda f: (-1 if f.index is None else f.index))
    return findings


def _operand_findings(ins, i: int, consts: List[Constant], n: int) -> Tuple[str, ...]:
    """What is wrong with the operands of instruction ``i``."""
    messages = []
    name = ins.name
    for op, value in zip(ins.info.operands, ins.operands):
        if op.kind in (oc.CONST, oc.NAME) and value >= len(consts):
            messages.append("%s %s %d is beyond the constant pool (%s)"
                            % (name, op.name, value, _count(len(consts), "constant")))
        elif op.kind == oc.NAME and consts[value].kind != STRING:
            messages.append("%s global name constant %d is %s, not a string"
                            % (name, value, _describe(consts[value])))
        elif op.kind == oc.OFFSET:
            target = _jump_target(i, value)
            if not 0 <= target <= n:
                messages.append("%s offset %d lands on %d, outside the "
                                "instruction list (0..%d)" % (name, value, target, n))
            elif name == "JumpR" and target == i:
                messages.append("JumpR jumps to itself and loops forever")
    if name == "CastR":
        to = ins.get("to_type")
        if to not in _CASTABLE:
            what = oc.TYPE_NAMES[to] if to < len(oc.TYPE_NAMES) else "unknown type %d" % to
            messages.append("CastR to %s always fails" % what)
    elif name == "CallR" and len(ins.get("args")) > oc.MAX_PASSED_ARGS:
        messages.append("CallR passes only the first %d of its %d arguments"
                        % (oc.MAX_PASSED_ARGS, len(ins.get("args"))))
    return tuple(messages)


def _count(n: int, what: str = "instruction") -> str:
    return "%d %s%s" % (n, what, "" if n == 1 else "s")


def _describe(const: Constant) -> str:
    if const.kind == "empty":
        return "the empty constant"
    return "the %s constant %r" % (const.kind, const.value)


def _block_starts(module: Module, ops: bytes) -> Set[int]:
    """Where a basic block starts: 0, entry points, jump targets, and after block ends."""
    code = module.instructions
    starts = {0}
    for _, entry in module.functions:
        starts.add(entry)
    for i in positions(_BLOCK_END_CLASS, ops):
        if code[i].opcode in _JUMP_OPCODES:
            starts.add(_jump_target(i, code[i].get("offset")))
        starts.add(i + 1)
    return starts


def _names_by_entry(table: Dict[str, int]) -> Dict[int, str]:
    """For each entry point, the first name in ``table`` that points at it."""
    names: Dict[int, str] = {}
    for name, entry in table.items():
        names.setdefault(entry, name)
    return names


def _callee_name(names_by_entry: Dict[int, str], const: Constant) -> Optional[str]:
    """The function a call through a register holding ``const`` looks up."""
    if const.kind == STRING:
        return const.value
    if const.kind == INT:
        return names_by_entry.get(const.value, "func_%d" % const.value)
    return None


def _check_calls(module: Module, ops: bytes) -> List[Finding]:
    """CallR through a register whose constant (set in the same block) names no function."""
    findings = []
    code = module.instructions
    consts = module.constants
    table = module.function_map()
    names_by_entry = _names_by_entry(table)   # built once: a lookup per call stays O(1)
    starts = _block_starts(module, ops)
    known: Dict[int, int] = {}      # register -> constant index it holds
    writes: Dict[int, List[int]] = {}   # per distinct instruction object
    # Only block starts and the kinds that write registers change `known`.
    touching = positions(_TRACKING_CLASS, ops)
    n = len(code)
    for i in sorted(starts.union(touching)):
        if i < 0:
            continue
        if i >= n:
            break
        ins = code[i]
        if i in starts:
            known = {}
        if not known and ins.opcode not in _TRACKED_OPCODES:
            continue  # nothing to forget, nothing to learn
        name = ins.name
        if name == "CallR":
            func = ins.get("func")
            if func in known:
                const = consts[known[func]]
                callee = _callee_name(names_by_entry, const)
                if callee is None:
                    findings.append(Finding(i, "CallR through r%d, which holds %s: "
                                            "no function specified" % (func, _describe(const))))
                elif callee not in table:
                    findings.append(Finding(i, "CallR through r%d calls '%s', which is not "
                                            "in the function table" % (func, callee)))
            # r0..r63 come back as they were; the callee may change the rest.
            known = {r: c for r, c in known.items() if r < oc.SAVED_REGISTERS}
            known.pop(ins.get("dst"), None)
            continue
        if name == "MoveR":
            src, dst = ins.get("src"), ins.get("dst")
            if src in known:
                known[dst] = known[src]
            else:
                known.pop(dst, None)
            continue
        written = writes.get(id(ins))
        if written is None:
            written = oc.written_registers(name, ins.operands)
            if len(writes) < SHARED_LIMIT:
                writes[id(ins)] = written
        for reg in written:
            known.pop(reg, None)
        if name == "LoadConstR" and ins.get("const_idx") < len(consts):
            known[ins.get("dst")] = ins.get("const_idx")
    return findings


def _check_reachability(module: Module, ops: bytes) -> List[Finding]:
    code = module.instructions
    n = len(code)
    table = module.function_map()
    roots = [entry for entry in table.values() if entry < n]
    if "main" not in table:
        roots.append(0)
    # Straight-line code from i runs to the first block end at or after i;
    # it is marked reached in one slice, so the work is per block, not per
    # instruction.
    ends = positions(_BLOCK_END_CLASS, ops)
    reached = bytearray(n)
    work = [r for r in roots if 0 <= r < n]
    while work:
        i = work.pop()
        if reached[i]:
            continue
        k = bisect_left(ends, i)
        last = ends[k] if k < len(ends) else n - 1
        joined = reached.find(1, i, last + 1)
        if joined != -1:            # runs into code already followed
            reached[i:joined] = b"\x01" * (joined - i)
            continue
        reached[i:last + 1] = b"\x01" * (last + 1 - i)
        opcode = code[last].opcode
        if opcode in _JUMP_OPCODES:
            target = _jump_target(last, code[last].get("offset"))
            if 0 <= target < n and not reached[target]:
                work.append(target)
        if opcode not in _TERMINATOR_OPCODES and last + 1 < n:
            work.append(last + 1)
    findings = []
    i = reached.find(0)
    while i != -1:
        stop = reached.find(1, i)
        j = (n if stop == -1 else stop) - 1
        where = "instruction %d is" % i if i == j else "instructions %d to %d are" % (i, j)
        after = ""
        if i > 0 and code[i - 1].name in oc.TERMINATORS:
            after = " (after %s)" % code[i - 1].name
        findings.append(Finding(i, "unreachable code: %s never executed%s" % (where, after)))
        i = -1 if stop == -1 else reached.find(0, stop)
    return findings
