"""Text forms of constants, strings and names in assembly source.

Every text written here reads back through the assembler to exactly the
same value (floats to the same bits).
"""

from __future__ import annotations

import math
import re
import unicodedata

from .module import BOOL, EMPTY, FLOAT, INT, STRING, Constant, float_bits

IDENT_RE = re.compile(r"[A-Za-z_$][A-Za-z0-9_$.]*\Z")
REGISTER_RE = re.compile(r"r[0-9]+\Z")
KEYWORDS = frozenset({"true", "false", "empty", "inf", "nan", "url", "function"})

CANONICAL_NAN = 0x7FF8000000000000
CANONICAL_NEG_NAN = 0xFFF8000000000000

_ESCAPES = {'"': '\\"', "\\": "\\\\", "\n": "\\n", "\t": "\\t", "\r": "\\r", "\0": "\\0"}


def format_string(text: str) -> str:
    """A double-quoted string literal on a single line."""
    out = ['"']
    for ch in text:
        if ch in _ESCAPES:
            out.append(_ESCAPES[ch])
        elif ch == " " or (ch.isprintable()
                           and unicodedata.category(ch) not in ("Mn", "Me")):
            out.append(ch)
        else:
            out.append("\\u{%x}" % ord(ch))
    out.append('"')
    return "".join(out)


def format_float(value: float) -> str:
    if math.isnan(value):
        bits = float_bits(value)
        if bits == CANONICAL_NAN:
            return "nan"
        if bits == CANONICAL_NEG_NAN:
            return "-nan"
        return "nan(0x%016x)" % bits
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return repr(value)


def format_constant(const: Constant) -> str:
    if const.kind == INT:
        return str(const.value)
    if const.kind == FLOAT:
        return format_float(const.value)
    if const.kind == STRING:
        return format_string(const.value)
    if const.kind == BOOL:
        return "true" if const.value else "false"
    assert const.kind == EMPTY
    return "empty"


def is_plain_name(name: str) -> bool:
    """True when a function name can be written without quotes."""
    return bool(IDENT_RE.match(name)) and name not in KEYWORDS


def format_name(name: str) -> str:
    return name if is_plain_name(name) else format_string(name)
