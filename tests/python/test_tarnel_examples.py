"""The example programs: each states its result on its first line.

The results are checked twice: with a small reference interpreter written
here from the instruction semantics (enough to run the examples), and with
the VM itself when the extension module is built.
"""

from __future__ import annotations

import ast
import math
from pathlib import Path

import pytest

import tarnel
from tarnel import opcodes as oc

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = sorted((ROOT / "examples").glob("*.tnasm"))


def expected_result(path: Path):
    first = path.read_text("utf-8").splitlines()[0]
    assert first.startswith("; expect: "), "%s: first line must be '; expect: ...'" % path
    return ast.literal_eval(first[len("; expect: "):])


def same(a, b) -> bool:
    """Equality that tells bool from int and float from int."""
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a == b


class SimError(Exception):
    pass

I64 = (-(1 << 63), (1 << 63) - 1)

def _tag(v):
    if v is None: return 0
    if isinstance(v, bool): return 1
    if isinstance(v, int): return 2
    if isinstance(v, float): return 3
    if isinstance(v, str): return 4
    if isinstance(v, list): return 7
    if isinstance(v, dict): return 8
    raise SimError("bad value %r" % (v,))

def _truthy(v):
    t = _tag(v)
    if t == 0: return False
    if t == 3: return v != 0.0 and v == v
    return bool(v)

def _int(v):
    if not I64[0] <= v <= I64[1]:
        raise SimError("Integer overflow")
    return v

def _num(v):
    return _tag(v) in (2, 3)

def _text(v):
    t = _tag(v)
    if t == 0: return "empty"
    if t == 1: return "true" if v else "false"
    if t == 3:
        if math.isfinite(v) and v == int(v):
            return ("-" if math.copysign(1, v) < 0 and v == 0 else "") + str(int(v))
        return repr(v)
    if t == 7: return "[" + ", ".join(_text(x) for x in v) + "]"
    if t == 8: return "{" + ", ".join("%s: %s" % (k, _text(x)) for k, x in v.items()) + "}"
    return str(v)

def _eq(a, b):
    ta, tb = _tag(a), _tag(b)
    if {ta, tb} <= {2, 3}: return a == b
    if ta != tb: return False
    if ta == 7: return len(a) == len(b) and all(_eq(x, y) for x, y in zip(a, b))
    if ta == 8: return a.keys() == b.keys() and all(_eq(a[k], b[k]) for k in a)
    return a == b

def _arith(op, a, b):
    ta, tb = _tag(a), _tag(b)
    if op in ("/", "%"):
        if (tb == 2 and b == 0) or (tb == 3 and b == 0.0): raise SimError("Division by zero")
    if op == "+" and ta == tb == 4: return a + b
    if not (_num(a) and _num(b)): raise SimError("Type mismatch")
    if ta == tb == 2:
        if op == "+": return _int(a + b)
        if op == "-": return _int(a - b)
        if op == "*": return _int(a * b)
        q = abs(a) // abs(b) * (1 if (a < 0) == (b < 0) else -1)
        return _int(q) if op == "/" else _int(a - b * q)
    a, b = float(a), float(b)
    return {"+": a + b, "-": a - b, "*": a * b, "/": a / b if b else math.nan,
            "%": math.fmod(a, b)}[op]

def _less(a, b, eq):
    ok = (_num(a) and _num(b)) or (_tag(a) == _tag(b) == 4)
    if not ok: raise SimError("Invalid comparison")
    return a <= b if eq else a < b

def _cast(v, t):
    if t == 1: return _truthy(v)
    if t == 2:
        if _tag(v) in (1, 2): return int(v)
        if _tag(v) == 3 and math.isfinite(v) and v == int(v): return int(v)
        raise SimError("Type mismatch")
    if t == 3:
        if _tag(v) in (2, 3): return float(v)
        raise SimError("Type mismatch")
    if t == 4: return _text(v)
    raise SimError("Type mismatch")

def run(module, max_steps=10_000_000, out=None):
    """Run a decoded module; returns the result value (None when there is none)."""
    consts = [c.value for c in module.constants]
    funcs = module.function_map()
    code = module.instructions
    regs = [None] * 256
    types = [0] * 256
    glob = {}
    frames = []
    pc = funcs.get("main", 0)
    steps = 0

    def put(r, v):
        regs[r] = v
        types[r] = _tag(v)

    while 0 <= pc < len(code):
        steps += 1
        if steps > max_steps: raise SimError("too many steps")
        ins = code[pc]
        name, o = ins.name, ins.operands
        pc += 1
        if name == "LoadConstR":
            if o[1] >= len(consts): raise SimError("Invalid constant index")
            put(o[0], consts[o[1]])
        elif name == "MoveR": put(o[0], regs[o[1]])
        elif name in ("LoadGlobalR", "StoreGlobalR"):
            if o[1] >= len(consts) or not isinstance(consts[o[1]], str) or \
                    module.constants[o[1]].kind != "string":
                raise SimError("Invalid constant index")
            if name == "LoadGlobalR": put(o[0], glob.get(consts[o[1]]))
            else: glob[consts[o[1]]] = regs[o[0]]
        elif name == "DefineR": types[o[0]] = o[1] if o[1] < 7 else 9
        elif name == "CheckTypeR": put(o[0], types[o[1]] == (o[2] if o[2] < 7 else 9))
        elif name == "CastR": put(o[0], _cast(regs[o[1]], o[2]))
        elif name in ("AddR", "SubR", "MulR", "DivR", "ModR"):
            sym = {"AddR": "+", "SubR": "-", "MulR": "*", "DivR": "/", "ModR": "%"}[name]
            put(o[0], _arith(sym, regs[o[1]], regs[o[2]]))
        elif name == "NegR":
            v = regs[o[1]]
            if _tag(v) == 2: put(o[0], _int(-v))
            elif _tag(v) == 3: put(o[0], -v)
            else: raise SimError("Invalid operation")
        elif name == "NotR": put(o[0], not _truthy(regs[o[1]]))
        elif name == "AndR": put(o[0], _truthy(regs[o[1]]) and _truthy(regs[o[2]]))
        elif name == "OrR": put(o[0], _truthy(regs[o[1]]) or _truthy(regs[o[2]]))
        elif name == "EqR": put(o[0], _eq(regs[o[1]], regs[o[2]]))
        elif name == "NeqR": put(o[0], not _eq(regs[o[1]], regs[o[2]]))
        elif name == "LtR": put(o[0], _less(regs[o[1]], regs[o[2]], False))
        elif name == "LteR": put(o[0], _less(regs[o[1]], regs[o[2]], True))
        elif name == "GtR": put(o[0], _less(regs[o[2]], regs[o[1]], False))
        elif name == "GteR": put(o[0], _less(regs[o[2]], regs[o[1]], True))
        elif name == "JumpR": pc += o[0]
        elif name == "JumpIfR":
            if _truthy(regs[o[0]]): pc += o[1]
        elif name == "JumpIfNotR":
            if not _truthy(regs[o[0]]): pc += o[1]
        elif name == "CallR":
            f = regs[o[0]]
            if _tag(f) == 4: callee = f
            elif _tag(f) == 2:
                callee = next((k for k, e in funcs.items() if e == f), "func_%d" % f)
            else: raise SimError("Undefined function: no function specified")
            if callee not in funcs: raise SimError("Undefined function: " + callee)
            frames.append((regs[:64], pc, o[2]))
            for i, r in enumerate(o[1][:16]): put(i, regs[r])
            if len(frames) > 1000: raise SimError("Stack overflow")
            pc = funcs[callee]
        elif name == "ReturnR":
            v = regs[o[0]] if o[0] is not None else None
            if not frames: return v
            saved, pc, dst = frames.pop()
            for i, x in enumerate(saved): put(i, x)
            if o[0] is not None: put(dst, v)
        elif name == "ConcatStrR":
            a, b = regs[o[1]], regs[o[2]]
            put(o[0], a + b if _tag(a) == _tag(b) == 4 else _text(a) + _text(b))
        elif name == "StrLenR":
            if _tag(regs[o[1]]) != 4: raise SimError("Type mismatch")
            put(o[0], len(regs[o[1]].encode("utf-8")))
        elif name == "NewArrayR":
            n = regs[o[1]]
            if _tag(n) != 2 or n < 0: raise SimError("bad size")
            put(o[0], [None] * n)
        elif name in ("ArrayGetR", "ArraySetR"):
            arr, idx = regs[o[1] if name == "ArrayGetR" else o[0]], \
                regs[o[2] if name == "ArrayGetR" else o[1]]
            if _tag(arr) != 7 or _tag(idx) != 2: raise SimError("Type mismatch")
            if not 0 <= idx < len(arr): raise SimError("Index out of bounds")
            if name == "ArrayGetR": put(o[0], arr[idx])
            else:
                new = list(arr)
                new[idx] = regs[o[2]]
                put(o[0], new)
        elif name == "ArrayLenR":
            if _tag(regs[o[1]]) != 7: raise SimError("Type mismatch")
            put(o[0], len(regs[o[1]]))
        elif name == "DebugPrint":
            if out is not None: out.append(regs[o[0]])
        elif name in ("BreakPoint", "Nop"): pass
        elif name == "Halt": return None
        elif name == "DictNewR": put(o[0], {})
        else:  # dictionaries
            d = regs[o[1]] if name in ("DictGetR", "DictContainsR", "DictKeysR",
                                       "DictValuesR", "DictLenR") else regs[o[0]]
            if _tag(d) != 8: raise SimError("Type mismatch: expected dict")
            if name in ("DictGetR", "DictSetR", "DictRemoveR", "DictContainsR"):
                k = regs[o[2]] if name in ("DictGetR", "DictContainsR") else regs[o[1]]
                if _tag(k) != 4: raise SimError("Type mismatch: expected string key")
            if name == "DictGetR": put(o[0], d.get(k))
            elif name == "DictSetR": put(o[0], {**d, k: regs[o[2]]})
            elif name == "DictRemoveR": put(o[0], {x: y for x, y in d.items() if x != k})
            elif name == "DictContainsR": put(o[0], k in d)
            elif name == "DictKeysR": put(o[0], list(d))
            elif name == "DictValuesR": put(o[0], list(d.values()))
            elif name == "DictClearR": put(o[0], {})
            elif name == "DictLenR": put(o[0], len(d))
            else: raise SimError("unknown instruction " + name)
    return None


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.name)
def test_example_result_by_reference_interpreter(path):
    module = tarnel.assemble_module(path.read_text("utf-8"), str(path))
    assert same(run(module), expected_result(path))


def test_examples_present():
    names = {p.name for p in EXAMPLES}
    assert {"fib.tnasm", "sieve.tnasm", "wordfreq.tnasm", "fizzbuzz.tnasm",
            "all_kinds.tnasm"} <= names


def test_all_kinds_uses_every_encodable_kind():
    module = tarnel.assemble_module((ROOT / "examples" / "all_kinds.tnasm").read_text("utf-8"))
    used = {ins.name for ins in module.instructions}
    assert used == {info.name for info in oc.ENCODABLE}
    assert len(used) == 46


@pytest.mark.parametrize("src,result", [
    # calls save r0..r63 and restore them before writing the result
    ('.func main\nLoadConstR r0, 5\nLoadConstR r1, "f"\nCallR r1, [r0], r2\n'
     "AddR r3, r0, r2\nReturnR r3\n.func f\nLoadConstR r0, 100\nReturnR r0", 105),
    # r64 and up are shared with the callee
    ('.func main\nLoadConstR r64, 1\nLoadConstR r1, "f"\nCallR r1, [], r2\nReturnR r64\n'
     ".func f\nLoadConstR r64, 9\nReturnR", 9),
    # integer division truncates toward zero, the remainder takes the left sign
    ("LoadConstR r0, -7\nLoadConstR r1, 2\nDivR r2, r0, r1\nModR r3, r0, r1\n"
     "LoadConstR r4, 2\nNewArrayR r5, r4\nLoadConstR r6, 0\nArraySetR r5, r6, r2\n"
     "LoadConstR r6, 1\nArraySetR r5, r6, r3\nReturnR r5", [-3, -1]),
    ("Halt\nLoadConstR r0, 1\nReturnR r0", None),
])
def test_reference_interpreter(src, result):
    assert same(run(tarnel.assemble_module(src)), result)


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.name)
def test_example_result_on_vm(path, tmp_path):
    tarnel_vm = pytest.importorskip("tarnel_vm")
    module_path = tmp_path / (path.stem + ".tnbc")
    module_path.write_bytes(tarnel.assemble(path.read_text("utf-8"), str(path)))
    vm = tarnel_vm.VornVM()
    vm.load_bytecode(str(module_path))
    assert same(vm.execute(), expected_result(path))
