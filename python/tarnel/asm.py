"""The assembler: ``.tnasm`` text to module files.

The language is described in docs/assembly.md.  The assembler stops at the
first error and reports it as ``file:line:column: message``.
"""

from __future__ import annotations

import math
import re
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Tuple

from . import opcodes as oc
from .builder import Builder, BuildError
from .literals import CANONICAL_NAN, CANONICAL_NEG_NAN, REGISTER_RE
from .module import (
    BOOL,
    EMPTY,
    FLOAT,
    I32_MAX,
    I32_MIN,
    I64_MAX,
    I64_MIN,
    INT,
    SHARED_LIMIT,
    STRING,
    U16_MAX,
    U32_MAX,
    Constant,
    Module,
    encode,
    float_from_bits,
    is_nan_bits,
)


class AssemblyError(Exception):
    """An error in assembly source, located by 1-based line and column."""

    def __init__(self, message: str, filename: str = "<string>",
                 line: int = 0, column: int = 0):
        super().__init__(message)
        self.message = message
        self.filename = filename
        self.line = line
        self.column = column

    def __str__(self) -> str:
        return "%s:%d:%d: %s" % (self.filename, self.line, self.column, self.message)


class Token(NamedTuple):
    kind: str      # ident, directive, number, string, raw, punct
    text: str      # source text (for strings: the decoded value)
    col: int       # 1-based column of the first character
    end: int       # 1-based column just after the last character


class _Fail(Exception):
    def __init__(self, message: str, col: int):
        super().__init__(message)
        self.message = message
        self.col = col


_TOKEN_RE = re.compile(r"""
    (?P<ws>\s+)
  | (?P<comment>[;\#].*)
  | (?P<string>")
  | (?P<raw>@[0-9A-Za-z_]*)
  | (?P<directive>\.[A-Za-z_][A-Za-z0-9_]*)
  | (?P<number>[+-]?[0-9](?:[0-9A-Za-z_.]|(?<=[eE])[+-])*
               |[+-](?:inf|nan)(?![A-Za-z0-9_$.]))
  | (?P<ident>[A-Za-z_$][A-Za-z0-9_$.]*)
  | (?P<punct>[,\[\]:()])
""", re.VERBOSE)

_INT_RE = re.compile(r"[+-]?(?:0[xX][0-9A-Fa-f]+|[0-9]+)\Z")
_FLOAT_RE = re.compile(r"[+-]?[0-9]+(?:\.[0-9]*)?(?:[eE][+-]?[0-9]+)?\Z")
_SIMPLE_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "0": "\0", '"': '"',
                   "\\": "\\", "'": "'"}


def tokenize(line: str) -> List[Token]:
    tokens: List[Token] = []
    pos = 0
    while pos < len(line):
        m = _TOKEN_RE.match(line, pos)
        if m is None:
            raise _Fail("unexpected character %r" % line[pos], pos + 1)
        kind = m.lastgroup
        if kind == "string":
            text, pos = _string(line, pos)
            tokens.append(Token("string", text, m.start() + 1, pos + 1))
            continue
        if kind not in ("ws", "comment"):
            tokens.append(Token(kind, m.group(), m.start() + 1, m.end() + 1))
        pos = m.end()
    return tokens


def _string(line: str, start: int) -> Tuple[str, int]:
    out = []
    pos = start + 1
    while True:
        if pos >= len(line):
            raise _Fail("unterminated string", start + 1)
        ch = line[pos]
        if ch == '"':
            return "".join(out), pos + 1
        if ch != "\\":
            out.append(ch)
            pos += 1
            continue
        esc = line[pos + 1:pos + 2]
        if esc in _SIMPLE_ESCAPES:
            out.append(_SIMPLE_ESCAPES[esc])
            pos += 2
        elif esc == "u":
            m = re.compile(r"\{([0-9A-Fa-f]{1,6})\}").match(line, pos + 2)
            if m is None:
                raise _Fail("malformed \\u escape (write \\u{HEX})", pos + 1)
            code = int(m.group(1), 16)
            if code > 0x10FFFF or 0xD800 <= code <= 0xDFFF:
                raise _Fail("\\u{%s} is not a Unicode scalar value" % m.group(1), pos + 1)
            out.append(chr(code))
            pos = m.end()
        else:
            raise _Fail("unknown escape '\\%s'" % esc if esc else "unterminated string",
                        pos + 1 if esc else start + 1)


class _Stmt(NamedTuple):
    line: int
    kind: str                 # "label", "directive", "instruction"
    head: Token
    rest: List[Token]
    code: str = ""            # the line without its comment: equal codes assemble alike


def _lines(text: str) -> Iterator[str]:
    """``text.split("\\n")``, a block at a time: the lines of a large source
    are not all held at once."""
    start = 0
    while True:
        end = text.find("\n", start + _LINES_BLOCK)
        if end < 0:
            yield from text[start:].split("\n")
            return
        yield from text[start:end].split("\n")
        start = end + 1


_LINES_BLOCK = 1 << 20


# Builds a statement from a tuple of its fields without the Python-level __new__.
_new_tuple = tuple.__new__


def _code_part(line: str) -> str:
    """The line without its comment, when that is plain to see (no string on the line).

    Outside strings a ';' or '#' always starts a comment, so cutting there
    changes neither the tokens nor their columns.
    """
    if '"' in line:
        return line
    cut = line.find(";")
    hash_at = line.find("#", 0, cut if cut >= 0 else len(line))
    if hash_at >= 0:
        cut = hash_at
    return line if cut < 0 else line[:cut]


# ------------------------------------------------------------------ values

# No operand or constant needs more than 20 significant digits (64 bits), so
# a longer literal is out of range without being converted: Python refuses to
# convert more than 4,300 decimal digits, and takes quadratic time below that.
_MAX_DIGITS = 24


def _shown(text: str) -> str:
    """`text` for a message, shortened when it is very long."""
    return text if len(text) <= 40 else "%s... (%d characters)" % (text[:24], len(text))


def _int(tok: Token, low: int, high: int, what: str) -> int:
    if tok.kind != "number" or not _INT_RE.match(tok.text):
        raise _Fail("expected %s, got '%s'" % (what, _shown(tok.text)), tok.col)
    text = tok.text
    sign = -1 if text.startswith("-") else 1
    body = text.lstrip("+-")
    hexadecimal = body[:2] in ("0x", "0X")
    if len((body[2:] if hexadecimal else body).lstrip("0")) > _MAX_DIGITS:
        raise _Fail("%s out of range %d..%d: %s" % (what, low, high, _shown(text)), tok.col)
    value = sign * (int(body, 16) if hexadecimal else int(body, 10))
    if not low <= value <= high:
        raise _Fail("%s out of range %d..%d: %s" % (what, low, high, text), tok.col)
    return value


def _number_constant(tok: Token) -> Constant:
    text = tok.text
    if _INT_RE.match(text):
        return Constant(INT, _int(tok, I64_MIN, I64_MAX, "integer"))
    body = text.lstrip("+-")
    if body in ("inf", "nan"):
        value = float(body)
        if body == "nan":
            value = float_from_bits(CANONICAL_NAN if not text.startswith("-")
                                    else CANONICAL_NEG_NAN)
        return Constant(FLOAT, -value if text.startswith("-") and body == "inf" else value)
    if _FLOAT_RE.match(text):
        value = float(text)
        if math.isinf(value):
            raise _Fail("float literal '%s' is out of range (write inf)" % text, tok.col)
        return Constant(FLOAT, value)
    raise _Fail("invalid number '%s'" % _shown(text), tok.col)


class _Cursor:
    def __init__(self, tokens: List[Token], end_col: int):
        self.tokens = tokens
        self.pos = 0
        self.end_col = end_col

    def peek(self) -> Optional[Token]:
        return self.tokens[self.pos] if self.pos < len(self.tokens) else None

    def next(self, what: str) -> Token:
        tok = self.peek()
        if tok is None:
            raise _Fail("expected %s" % what, self.end_col)
        self.pos += 1
        return tok

    def punct(self, char: str) -> Token:
        tok = self.next("'%s'" % char)
        if tok.kind != "punct" or tok.text != char:
            raise _Fail("expected '%s', got '%s'" % (char, tok.text), tok.col)
        return tok

    def done(self) -> None:
        tok = self.peek()
        if tok is not None:
            raise _Fail("unexpected '%s'" % tok.text, tok.col)


def _literal(cur: _Cursor) -> Constant:
    tok = cur.next("a constant")
    if tok.kind == "number":
        return _number_constant(tok)
    if tok.kind == "string":
        return Constant(STRING, tok.text)
    if tok.kind == "ident":
        word = tok.text
        if word == "true" or word == "false":
            return Constant(BOOL, word == "true")
        if word == "empty":
            return Constant(EMPTY)
        if word == "inf":
            return Constant(FLOAT, float("inf"))
        if word == "nan":
            nxt = cur.peek()
            if nxt is not None and nxt.kind == "punct" and nxt.text == "(":
                cur.punct("(")
                bits_tok = cur.next("NaN bits")
                bits = _int(bits_tok, 0, (1 << 64) - 1, "NaN bits")
                if not is_nan_bits(bits):
                    raise _Fail("0x%016x is not the bit pattern of a NaN" % bits,
                                bits_tok.col)
                cur.punct(")")
                return Constant(FLOAT, float_from_bits(bits))
            return Constant(FLOAT, float_from_bits(CANONICAL_NAN))
        if word == "url":
            raise _Fail("URL constants cannot be stored in a module file", tok.col)
        if word == "function":
            raise _Fail("function constants cannot be stored in a module file", tok.col)
        hint = ""
        if REGISTER_RE.match(word):
            hint = " (a register cannot stand for a constant)"
        else:
            hint = ' (strings are written in double quotes: "%s")' % word
        raise _Fail("expected a constant, got '%s'%s" % (word, hint), tok.col)
    if tok.kind == "raw":
        raise _Fail("a raw constant index cannot be used here", tok.col)
    raise _Fail("expected a constant, got '%s'" % tok.text, tok.col)


def _register(cur: _Cursor) -> int:
    tok = cur.next("a register")
    if tok.kind == "ident" and REGISTER_RE.match(tok.text):
        digits = tok.text[1:].lstrip("0")
        if len(digits) > 3 or int(digits or "0") > 255:
            raise _Fail("register out of range (r0..r255): %s" % _shown(tok.text), tok.col)
        number = int(digits or "0")
        return number
    raise _Fail("expected a register (r0..r255), got '%s'" % tok.text, tok.col)


# --------------------------------------------------------------- assembler

_DIRECTIVES = (".module", ".version", ".flags", ".func", ".const")


def _did_you_mean(word: str, known) -> str:
    """' (did you mean 'X'?)' for the known word closest to a misspelt one, or ''."""
    import difflib  # only on an error: keeps the tools' start-up short

    for candidate in known:
        if candidate.lower() == word.lower():
            return " (did you mean '%s'?)" % candidate
    close = difflib.get_close_matches(word, list(known), n=1, cutoff=0.6)
    return " (did you mean '%s'?)" % close[0] if close else ""


class _Assembler:
    def __init__(self, text: str, filename: str):
        self.filename = filename
        self.text = text[1:] if text.startswith("\ufeff") else text
        self.builder = Builder()
        self.labels: Dict[str, int] = {}
        self.label_lines: Dict[str, int] = {}
        self.seen: Dict[str, int] = {}
        self.source_map: List[Tuple[int, int]] = []   # instruction index -> (line, column)
        self.function_lines: List[Tuple[int, int]] = []  # table position -> (line, column)
        # Large sources repeat lines: a line's tokens, and the instruction an
        # instruction line without jump operands makes, are worked out once.
        self.tokens_of: Dict[str, List[Token]] = {}
        self.emitted: Dict[str, Tuple[int, int]] = {}   # code -> (instruction index, column)

    def error(self, message: str, line: int, col: int) -> AssemblyError:
        return AssemblyError(message, self.filename, line, col)

    def run(self) -> Module:
        stmts = self.parse()
        for stmt in stmts:          # explicit pool placement comes first
            if stmt.kind == "directive" and stmt.head.text == ".const":
                self.at(stmt, self.const_directive)
        emitted = self.emitted
        for stmt in stmts:
            if stmt.kind == "label":
                continue
            if stmt.kind == "directive":
                if stmt.head.text != ".const":
                    self.at(stmt, self.directive)
                continue
            same = emitted.get(stmt.code)
            if same is not None:
                self.builder.emit_same(same[0])
                self.source_map.append((stmt.line, same[1]))
            else:
                self.at(stmt, self.instruction)
        try:
            return self.builder.module()
        except BuildError as exc:
            line, col = exc.loc if exc.loc else (0, 0)
            raise self.error(exc.message, line, col) from None

    def at(self, stmt: _Stmt, handler) -> None:
        end_col = stmt.rest[-1].end if stmt.rest else stmt.head.end
        try:
            handler(stmt, _Cursor(stmt.rest, end_col))
        except _Fail as exc:
            raise self.error(exc.message, stmt.line, exc.col) from None
        except BuildError as exc:
            raise self.error(exc.message, stmt.line, stmt.head.col) from None

    # Pass 1: statements, and the instruction index of every label.
    def parse(self) -> List[_Stmt]:
        stmts: List[_Stmt] = []
        append = stmts.append
        count = 0
        tokens_of = self.tokens_of
        # code -> the fields after the line number, for lines that hold one
        # instruction and no label: such a repeated line costs two lookups.
        plain: Dict[str, tuple] = {}
        for number, line in enumerate(_lines(self.text), 1):
            if line.endswith("\r"):
                line = line[:-1]
            code = _code_part(line)
            fields = plain.get(code)
            if fields is not None:
                append(_new_tuple(_Stmt, (number,) + fields))
                count += 1
                continue
            tokens = tokens_of.get(code)
            if tokens is None:
                try:
                    tokens = tokenize(code)
                except _Fail as exc:
                    raise self.error(exc.message, number, exc.col) from None
                if len(tokens_of) < SHARED_LIMIT:
                    tokens_of[code] = tokens
            # Labels lead the line; `first` moves past them (slicing the token
            # list per label would make a line of many labels quadratic).
            first = 0
            while (len(tokens) - first >= 2 and tokens[first + 1].kind == "punct"
                   and tokens[first + 1].text == ":"):
                tok = tokens[first]
                if tok.kind != "ident":
                    raise self.error("expected a label name, got '%s'" % tok.text,
                                     number, tok.col)
                if REGISTER_RE.match(tok.text):
                    raise self.error("label '%s' would read as a register" % tok.text,
                                     number, tok.col)
                if tok.text in self.labels:
                    raise self.error("label '%s' is already defined on line %d"
                                     % (tok.text, self.label_lines[tok.text]), number, tok.col)
                self.labels[tok.text] = count
                self.label_lines[tok.text] = number
                stmts.append(_Stmt(number, "label", tok, []))
                first += 2
            if first == len(tokens):
                continue
            head = tokens[first]
            if head.kind == "directive":
                stmts.append(_Stmt(number, "directive", head, tokens[first + 1:]))
            elif head.kind == "ident":
                stmts.append(_Stmt(number, "instruction", head, tokens[first + 1:], code))
                count += 1
                if first == 0 and len(plain) < SHARED_LIMIT:
                    plain[code] = stmts[-1][1:]
            else:
                raise self.error("expected an instruction or directive, got '%s'"
                                 % _shown(head.text), number, head.col)
        return stmts

    # Directives.
    def const_directive(self, stmt: _Stmt, cur: _Cursor) -> None:
        index = _int(cur.next("a constant index"), 0, U32_MAX, "constant index")
        const = _literal(cur)
        cur.done()
        self.builder.const_at(index, const, loc=(stmt.line, stmt.head.col))

    def directive(self, stmt: _Stmt, cur: _Cursor) -> None:
        name = stmt.head.text
        b = self.builder
        if name in (".module", ".version", ".flags"):
            if name in self.seen:
                raise _Fail("%s is already given on line %d" % (name, self.seen[name]),
                            stmt.head.col)
            self.seen[name] = stmt.line
            if name == ".module":
                tok = cur.next("the module name in double quotes")
                if tok.kind != "string":
                    raise _Fail("expected the module name in double quotes, got '%s'"
                                % tok.text, tok.col)
                b.name = tok.text
            elif name == ".version":
                b.version = _int(cur.next("a version number"), 0, U32_MAX, "version")
            else:
                b.flags = _int(cur.next("a flags value"), 0, U32_MAX, "flags")
        elif name == ".func":
            tok = cur.next("a function name")
            if tok.kind not in ("ident", "string"):
                raise _Fail("expected a function name, got '%s'" % tok.text, tok.col)
            entry = None
            if cur.peek() is not None:
                entry = _int(cur.next("an entry point"), 0, U32_MAX, "entry point")
            b.func(tok.text, entry)
            self.function_lines.append((stmt.line, stmt.head.col))
        else:
            raise _Fail("unknown directive '%s'%s" % (name, _did_you_mean(name, _DIRECTIVES)),
                        stmt.head.col)
        cur.done()

    # Instructions.
    def instruction(self, stmt: _Stmt, cur: _Cursor) -> None:
        mnemonic = stmt.head
        info = oc.BY_NAME.get(mnemonic.text)
        if info is None:
            hint = _did_you_mean(mnemonic.text, oc.BY_NAME)
            raise _Fail("unknown instruction '%s'%s" % (mnemonic.text, hint), mnemonic.col)
        if not info.encodable:
            raise _Fail("%s has no encoding in module files" % info.name, mnemonic.col)
        groups = self.split_operands(cur)
        wanted = len(info.operands)
        if not (len(groups) == wanted or (info.name == "ReturnR" and not groups)):
            for group in groups:
                for a, b in zip(group, group[1:]):
                    if a.kind != "punct" and b.kind != "punct":
                        raise _Fail("missing ',' before '%s'" % b.text, b.col)
            if info.name == "ReturnR":
                message = "ReturnR takes at most one operand (src), got %d" % len(groups)
            elif wanted == 0:
                message = "%s takes no operands, got %d" % (info.name, len(groups))
            else:
                message = "%s takes %d operand%s (%s), got %d" % (
                    info.name, wanted, "" if wanted == 1 else "s", info.signature,
                    len(groups))
            raise _Fail(message, mnemonic.col)
        index = self.builder.here()
        values = []
        for op, group in zip(info.operands, groups):
            sub = _Cursor(group, group[-1].end)
            values.append(self.operand(op, sub, index, stmt.line))
            sub.done()
        self.builder.emit(info.name, *values, loc=(stmt.line, mnemonic.col))
        self.source_map.append((stmt.line, mnemonic.col))
        # A jump's offset depends on where it stands; nothing else does, and
        # a constant literal is pooled at its first use.
        if info.name not in oc.JUMPS and len(self.emitted) < SHARED_LIMIT:
            self.emitted[stmt.code] = (index, mnemonic.col)

    @staticmethod
    def split_operands(cur: _Cursor) -> List[List[Token]]:
        groups: List[List[Token]] = []
        if not cur.tokens:
            return groups
        current: List[Token] = []
        depth = 0
        for tok in cur.tokens:
            if tok.kind == "punct" and tok.text in "[(":
                depth += 1
            elif tok.kind == "punct" and tok.text in "])":
                depth -= 1
            if tok.kind == "punct" and tok.text == "," and depth <= 0:
                if not current:
                    raise _Fail("missing operand before ','", tok.col)
                groups.append(current)
                current = []
            else:
                current.append(tok)
        if not current:
            raise _Fail("missing operand after ','", cur.tokens[-1].col)
        groups.append(current)
        return groups

    def operand(self, op: oc.Operand, cur: _Cursor, index: int, line: int) -> Any:
        kind = op.kind
        if kind in (oc.REG, oc.OPTREG):
            return _register(cur)
        if kind == oc.REGS:
            cur.punct("[")
            regs = []
            nxt = cur.peek()
            if not (nxt is not None and nxt.kind == "punct" and nxt.text == "]"):
                regs.append(_register(cur))
                while True:
                    tok = cur.next("']'")
                    if tok.kind == "punct" and tok.text == "]":
                        break
                    if not (tok.kind == "punct" and tok.text == ","):
                        raise _Fail("expected ',' or ']', got '%s'" % tok.text, tok.col)
                    regs.append(_register(cur))
                if len(regs) > 255:
                    raise _Fail("CallR takes at most 255 arguments, got %d" % len(regs),
                                cur.tokens[0].col)
            else:
                cur.punct("]")
            return regs
        if kind in (oc.CONST, oc.NAME):
            tok = cur.peek()
            if tok is not None and tok.kind == "raw":
                cur.next("a constant index")
                digits = tok.text[1:]
                if not digits.isdigit():
                    raise _Fail("expected a constant index after '@', got '%s'" % tok.text,
                                tok.col)
                return _int(Token("number", digits, tok.col, tok.end), 0, U16_MAX,
                            "constant index")
            tok0 = cur.peek()
            const = _literal(cur)
            value = self.builder.const(const)
            if value > U16_MAX:
                raise _Fail("constant lands at pool index %d, beyond what an instruction "
                            "can address (0..65535)" % value, tok0.col)
            return value
        if kind == oc.TYPE:
            tok = cur.next("a type")
            if tok.kind == "ident":
                if tok.text not in oc.TYPE_IDS:
                    raise _Fail("unknown type name '%s' (known: %s)"
                                % (tok.text, ", ".join(oc.TYPE_NAMES)), tok.col)
                return oc.TYPE_IDS[tok.text]
            return _int(tok, 0, U16_MAX, "type id")
        if kind == oc.OFFSET:
            tok = cur.next("a label or a jump offset")
            if tok.kind == "ident":
                if REGISTER_RE.match(tok.text):
                    raise _Fail("expected a label or a jump offset, got register '%s'"
                                % tok.text, tok.col)
                target = self.labels.get(tok.text)
                if target is None:
                    raise _Fail("undefined label '%s'" % tok.text, tok.col)
                return target - (index + 1)
            return _int(tok, I32_MIN, I32_MAX, "jump offset")
        raise _Fail("operand kind %s cannot be assembled" % kind, 1)  # pragma: no cover


def assemble_module(text: str, filename: str = "<string>") -> Module:
    """Assemble source text into a :class:`Module`."""
    return _Assembler(text, filename).run()


class Assembled(NamedTuple):
    """A module assembled from source, with where each instruction came from."""

    data: bytes                           # the module file's bytes
    module: Module
    source_map: List[Tuple[int, int]]     # instruction index -> (line, column) of its mnemonic
    #: function table position -> (line, column) of the .func directive that wrote it
    function_lines: List[Tuple[int, int]] = []


def assemble_with_map(text: str, filename: str = "<string>") -> Assembled:
    """Assemble source text; also give each instruction's source line and column."""
    assembler = _Assembler(text, filename)
    module = assembler.run()
    try:
        data = encode(module)
    except ValueError as exc:  # pragma: no cover - ranges are checked while parsing
        raise AssemblyError(str(exc), filename, 0, 0) from None
    return Assembled(data, module, assembler.source_map, assembler.function_lines)


def assemble(text: str, filename: str = "<string>") -> bytes:
    """Assemble source text into module file bytes."""
    module = assemble_module(text, filename)
    try:
        return encode(module)
    except ValueError as exc:  # pragma: no cover - ranges are checked while parsing
        raise AssemblyError(str(exc), filename, 0, 0) from None
