"""What each instruction does, in words: the part of docs/instructions.md that
the instruction table (python/tarnel/opcodes.py) cannot say.

Every entry has the instruction's behaviour, the types it works on, what it
writes, its errors and an example. Examples and error triggers are one-line
programs in the form of ``tarnel run -e`` (``;`` separates statements): the
test tests/python/test_instruction_docs.py runs every one of them and checks
the printed result and each error's exact message.
"""

from __future__ import annotations

from typing import List, NamedTuple, Optional, Tuple


class Error(NamedTuple):
    when: str            # the condition, in words
    message: str         # the VM's exact message for the trigger below
    trigger: str         # a one-liner that fails with exactly that message


class Note(NamedTuple):
    group: str
    does: str            # what it does
    types: str           # which kinds of value it accepts
    writes: str          # which register receives what
    errors: List[Error]
    example: Optional[str]          # a one-liner, None for kinds module files cannot hold
    output: Optional[str] = None    # what `tarnel run -e EXAMPLE` prints


MOVING = "Moving values"
TYPES = "Types"
ARITHMETIC = "Arithmetic"
LOGIC = "Logic"
COMPARISON = "Comparison"
FLOW = "Control flow"
STRINGS = "Strings"
ARRAYS = "Arrays"
DICTS = "Dictionaries"
DIAGNOSTICS = "Diagnostics"
IN_MEMORY = "Kinds that module files cannot hold"

GROUPS = [MOVING, TYPES, ARITHMETIC, LOGIC, COMPARISON, FLOW, STRINGS, ARRAYS, DICTS,
          DIAGNOSTICS, IN_MEMORY]

ANY = "any value"
NEVER: List[Error] = []

_CONST_INDEX = Error("the constant index is beyond the pool (only with a raw `@INDEX`)",
                     "Invalid constant index: 9", "LoadConstR r0, @9")


def _mismatch_numeric(name: str) -> Error:
    return Error("an operand is not a number (names both operands' kinds)",
                 "Type mismatch: expected numeric, found Bool and Int",
                 "LoadConstR r1, true; LoadConstR r2, 1; %s r0, r1, r2" % name)


_OVERFLOW_TEXT = "the integer result does not fit in 64 bits"


def _order_error(name: str, message: str) -> Error:
    return Error("the operands are not two numbers or two strings", message,
                 'LoadConstR r1, "a"; LoadConstR r2, 1; %s r0, r1, r2' % name)


_DICT_ERROR = Error("`dict` does not hold a dictionary", "Type mismatch: expected dict, found int",
                    None)
_KEY_ERROR = Error("`key` does not hold a string (checked after `dict`)",
                   "Type mismatch: expected string key, found int", None)


def _dict_errors(name: str, operands: str, key: bool) -> List[Error]:
    errors = [_DICT_ERROR._replace(trigger="LoadConstR r1, 1; %s %s" % (name, operands))]
    if key:
        errors.append(_KEY_ERROR._replace(
            trigger="DictNewR r1; LoadConstR r2, 1; %s %s" % (name, operands)))
    return errors


NOTES = {
    # ------------------------------------------------------------ moving values
    "LoadConstR": Note(
        MOVING, "Loads constant `const_idx` of the module's pool. The assembler puts a "
        "literal (`42`, `2.5`, `\"text\"`, `true`, `empty`) into the pool and writes its index.",
        ANY, "`dst`: the constant (an `empty` constant gives `None`)",
        [_CONST_INDEX],
        'LoadConstR r0, "hi"; ReturnR r0', "'hi'"),
    "MoveR": Note(
        MOVING, "Copies the value of `src`. Strings, arrays and dictionaries are shared, "
        "never changed in place, so the copy cannot be affected by later updates of `src`.",
        ANY, "`dst`: the value of `src`", NEVER,
        "LoadConstR r1, 7; MoveR r0, r1; ReturnR r0", "7"),
    "LoadGlobalR": Note(
        MOVING, "Reads the global variable named by string constant `name_idx`. A global "
        "that was never stored reads as empty; that is not an error.",
        "globals of any value", "`dst`: the global's value, or empty",
        [Error("`name_idx` is beyond the pool or is not a string constant",
               "Invalid constant index: 0", "LoadGlobalR r0, @0")],
        'LoadGlobalR r0, "never_set"; ReturnR r0', "None"),
    "StoreGlobalR": Note(
        MOVING, "Stores the value of `src` in the global variable named by string constant "
        "`name_idx`. Globals live until the next load of a module.",
        ANY, "the global (no register)",
        [Error("`name_idx` is beyond the pool or is not a string constant",
               "Invalid constant index: 0", "LoadConstR r1, 5; StoreGlobalR r1, @0")],
        'LoadConstR r1, 5; StoreGlobalR r1, "count"; LoadGlobalR r0, "count"; ReturnR r0',
        "5"),
    # -------------------------------------------------------------------- types
    "DefineR": Note(
        TYPES, "Declares the type of `dst`: records the type tag that `type_id` selects "
        "(`empty`, `bool`, `int`, `float`, `string`, `function`, `url`, or a number; 7 and "
        "above are the tag `unknown`) without looking at or changing the value. The next "
        "write to the register records the written value's own tag again.",
        "any type id", "`dst`'s recorded type tag only", NEVER,
        'LoadConstR r1, "x"; DefineR r1, int; CheckTypeR r0, r1, int; ReturnR r0', "True"),
    "CheckTypeR": Note(
        TYPES, "Tells whether the recorded type tag of `src` is the one `type_id` selects. "
        "It reads the tag (set by the last write, or by `DefineR`), not the value.",
        ANY, "`dst`: a bool", NEVER,
        "LoadConstR r1, 2.5; CheckTypeR r0, r1, float; ReturnR r0", "True"),
    "CastR": Note(
        TYPES, "Converts the value of `src` to the type `to_type`. To `bool`: its truth "
        "value. To `int`: `true`/`false` give 1/0, an integer stays, a float converts only "
        "when it is whole and within the 64-bit range (±2^63 saturate). To `float`: an "
        "integer converts to the nearest float, a float stays. To `string`: its display "
        "text (`2.0` gives \"2\", an array `[1, 2]` gives \"[1, 2]\"). Strings are never "
        "parsed as numbers.",
        ANY, "`dst`: the converted value",
        [Error("to `int`: a float with a fraction, an infinity or NaN",
               "Type mismatch: expected integer, found float 3.5",
               "LoadConstR r1, 3.5; CastR r0, r1, int"),
         Error("to `int`: anything but a bool, an integer or a float",
               "Type mismatch: expected integer, found string",
               'LoadConstR r1, "12"; CastR r0, r1, int'),
         Error("to `float`: anything but an integer or a float",
               "Type mismatch: expected float, found bool",
               "LoadConstR r1, true; CastR r0, r1, float"),
         Error("to `empty`, `function`, `url` or an unknown type, whatever the value",
               "Type mismatch: expected url, found int", "LoadConstR r1, 1; CastR r0, r1, url")],
        "LoadConstR r1, 3.0; CastR r0, r1, int; ReturnR r0", "3"),
    # --------------------------------------------------------------- arithmetic
    "AddR": Note(
        ARITHMETIC, "Adds two numbers, or joins two strings. An integer meeting a float is "
        "converted to float first. Integer sums are checked, never wrapped.",
        "int, float; string with string", "`dst`: int, float or string",
        [Error(_OVERFLOW_TEXT, "Integer overflow",
               "LoadConstR r1, 9223372036854775807; LoadConstR r2, 1; AddR r0, r1, r2"),
         Error("any other pair of kinds (names both operands' kinds)",
               "Type mismatch: expected numeric or string, found String and Int",
               'LoadConstR r1, "a"; LoadConstR r2, 1; AddR r0, r1, r2')],
        "LoadConstR r1, 1; LoadConstR r2, 0.5; AddR r0, r1, r2; ReturnR r0", "1.5"),
    "SubR": Note(
        ARITHMETIC, "Subtracts `right` from `left`. Mixed integer and float give a float; "
        "integer results are checked.", "int, float", "`dst`: int or float",
        [Error(_OVERFLOW_TEXT, "Integer overflow",
               "LoadConstR r1, -9223372036854775808; LoadConstR r2, 1; SubR r0, r1, r2"),
         _mismatch_numeric("SubR")],
        "LoadConstR r1, 10; LoadConstR r2, 4; SubR r0, r1, r2; ReturnR r0", "6"),
    "MulR": Note(
        ARITHMETIC, "Multiplies. Mixed integer and float give a float; integer products are "
        "checked over the whole 64-bit range.", "int, float", "`dst`: int or float",
        [Error(_OVERFLOW_TEXT, "Integer overflow",
               "LoadConstR r1, 4611686018427387904; LoadConstR r2, 2; MulR r0, r1, r2"),
         _mismatch_numeric("MulR")],
        "LoadConstR r1, 6; LoadConstR r2, 7; MulR r0, r1, r2; ReturnR r0", "42"),
    "DivR": Note(
        ARITHMETIC, "Divides `left` by `right`. Two integers give the quotient truncated "
        "toward zero (7 / -2 is -3); with a float the division is in floating point. A zero "
        "divisor (0, 0.0 or -0.0) is tested first, whatever `left` holds.",
        "int, float", "`dst`: int or float",
        [Error("`right` is 0, 0.0 or -0.0", "Division by zero",
               'LoadConstR r1, "x"; LoadConstR r2, 0; DivR r0, r1, r2'),
         Error("the smallest integer divided by -1", "Integer overflow",
               "LoadConstR r1, -9223372036854775808; LoadConstR r2, -1; DivR r0, r1, r2"),
         _mismatch_numeric("DivR")],
        "LoadConstR r1, 7; LoadConstR r2, -2; DivR r0, r1, r2; ReturnR r0", "-3"),
    "ModR": Note(
        ARITHMETIC, "The remainder of truncated division: it has the sign of `left` (-7 mod 3 "
        "is -1, 7 mod -3 is 1). With a float it is the exact floating-point remainder (like "
        "C's fmod). A zero divisor is tested first, whatever `left` holds.",
        "int, float", "`dst`: int or float",
        [Error("`right` is 0, 0.0 or -0.0", "Division by zero",
               "LoadConstR r1, 5; LoadConstR r2, 0.0; ModR r0, r1, r2"),
         Error("the smallest integer modulo -1", "Integer overflow",
               "LoadConstR r1, -9223372036854775808; LoadConstR r2, -1; ModR r0, r1, r2"),
         _mismatch_numeric("ModR")],
        "LoadConstR r1, -7; LoadConstR r2, 3; ModR r0, r1, r2; ReturnR r0", "-1"),
    "NegR": Note(
        ARITHMETIC, "Negates a number. A float's sign bit is flipped (0.0 becomes -0.0).",
        "int, float", "`dst`: int or float",
        [Error("the smallest integer", "Integer overflow",
               "LoadConstR r1, -9223372036854775808; NegR r0, r1"),
         Error("anything but a number (names its kind)",
               "Invalid operation: negation on type String", 'LoadConstR r1, "x"; NegR r0, r1')],
        "LoadConstR r1, 0.0; NegR r0, r1; ReturnR r0", "-0.0"),
    # -------------------------------------------------------------------- logic
    "NotR": Note(
        LOGIC, "The negated truth value of `src`. False are: empty, `false`, 0, 0.0, -0.0, "
        "NaN, the empty string, the empty array and the empty dictionary; everything else "
        "is true.", ANY, "`dst`: a bool", NEVER,
        'LoadConstR r1, ""; NotR r0, r1; ReturnR r0', "True"),
    "AndR": Note(
        LOGIC, "True when both operands are true (by the truth values of `NotR`). Both "
        "operands are always read, and the result is a bool, never one of the operands.",
        ANY, "`dst`: a bool", NEVER,
        'LoadConstR r1, 5; LoadConstR r2, "x"; AndR r0, r1, r2; ReturnR r0', "True"),
    "OrR": Note(
        LOGIC, "True when at least one operand is true (by the truth values of `NotR`); "
        "the result is a bool.", ANY, "`dst`: a bool", NEVER,
        "LoadConstR r2, 0; OrR r0, r1, r2; ReturnR r0", "False"),
    # --------------------------------------------------------------- comparison
    "EqR": Note(
        COMPARISON, "Equality. An integer equals a float of the same value; NaN equals "
        "nothing, itself included; values of other different kinds are never equal (1 is "
        "not `true`); arrays and dictionaries compare element by element.",
        ANY, "`dst`: a bool", NEVER,
        "LoadConstR r1, 2; LoadConstR r2, 2.0; EqR r0, r1, r2; ReturnR r0", "True"),
    "NeqR": Note(
        COMPARISON, "The negation of `EqR` on the same operands.", ANY, "`dst`: a bool",
        NEVER, "LoadConstR r1, nan; NeqR r0, r1, r1; ReturnR r0", "True"),
    "LtR": Note(
        COMPARISON, "`left < right`: numbers by value (every comparison with NaN is false), "
        "strings byte by byte (a prefix sorts first).",
        "int, float; string with string", "`dst`: a bool",
        [_order_error("LtR", "Invalid comparison: String and Int")],
        'LoadConstR r1, "ab"; LoadConstR r2, "abc"; LtR r0, r1, r2; ReturnR r0', "True"),
    "GtR": Note(
        COMPARISON, "`left > right`, evaluated as `right < left`: its error names the "
        "right operand's kind first.", "int, float; string with string", "`dst`: a bool",
        [_order_error("GtR", "Invalid comparison: Int and String")],
        "LoadConstR r1, 3; LoadConstR r2, 2.5; GtR r0, r1, r2; ReturnR r0", "True"),
    "LteR": Note(
        COMPARISON, "`left <= right`, by the rules of `LtR`.", "int, float; string with string",
        "`dst`: a bool", [_order_error("LteR", "Invalid comparison: String and Int")],
        "LoadConstR r1, 2; LteR r0, r1, r1; ReturnR r0", "True"),
    "GteR": Note(
        COMPARISON, "`left >= right`, evaluated as `right <= left`: its error names the "
        "right operand's kind first.", "int, float; string with string", "`dst`: a bool",
        [_order_error("GteR", "Invalid comparison: Int and String")],
        'LoadConstR r1, "b"; LoadConstR r2, "a"; GteR r0, r1, r2; ReturnR r0', "True"),
    # ------------------------------------------------------------- control flow
    "JumpR": Note(
        FLOW, "Continues at the instruction `offset` places after the next one (the "
        "assembler computes the offset from a label). A target outside the program ends "
        "the run as running off its end would.", "no register", "nothing", NEVER,
        "LoadConstR r0, 1; JumpR done; LoadConstR r0, 2; done: ReturnR r0", "1"),
    "JumpIfR": Note(
        FLOW, "Jumps as `JumpR` when `cond` is true (by the truth values of `NotR`), else "
        "goes on with the next instruction.", ANY, "nothing", NEVER,
        'LoadConstR r1, "yes"; LoadConstR r0, 1; JumpIfR r1, done; LoadConstR r0, 2; '
        'done: ReturnR r0', "1"),
    "JumpIfNotR": Note(
        FLOW, "Jumps as `JumpR` when `cond` is false, else goes on with the next "
        "instruction.", ANY, "nothing", NEVER,
        "LoadConstR r1, 0; LoadConstR r0, 1; JumpIfNotR r1, done; LoadConstR r0, 2; "
        "done: ReturnR r0", "1"),
    "CallR": Note(
        FLOW, "Calls the function that `func` names: a string is a function name, an "
        "integer an entry point (an entry point with no name is looked up as `func_N`). "
        "The first 16 `args` are copied into r0, r1, ... one at a time; r0..r63 are saved "
        "and come back when the callee returns (r64..r255 are shared with the callee). At "
        "most 1,000 calls can be in progress.",
        "`func`: string or int; `args`: any values",
        "r0..r15 (the arguments); `dst` after the return: the returned value",
        [Error("`func` holds neither a string nor an integer",
               "Undefined function: no function specified", "CallR r1, [], r0"),
         Error("no function has that name", "Undefined function: nowhere",
               'LoadConstR r1, "nowhere"; CallR r1, [], r0'),
         Error("an integer that is no entry point (and no function is named `func_N`)",
               "Undefined function: func_7", "LoadConstR r1, 7; CallR r1, [], r0"),
         Error("1,000 calls are already in progress", "Stack overflow",
               '.func main; LoadConstR r1, "main"; CallR r1, [], r0')],
        '.func main; LoadConstR r0, 20; LoadConstR r1, "twice"; CallR r1, [r0], r2; '
        'ReturnR r2; .func twice; AddR r0, r0, r0; ReturnR r0', "40"),
    "ReturnR": Note(
        FLOW, "Inside a call: restores the caller's r0..r63, then writes the value of `src` "
        "(if given) to the caller's `dst` and continues after the `CallR`. With no call in "
        "progress it ends the run: the value of `src` is the result of `execute()`, and "
        "the VM is halted (later `execute()` calls return `None` until a module is loaded "
        "again).", ANY, "the caller's `dst`, or the run's result", NEVER,
        "LoadConstR r3, 42; ReturnR r3; LoadConstR r3, 0", "42"),
    "Halt": Note(
        FLOW, "Ends the run with no result and halts the VM, like a `ReturnR` without "
        "`src` outside any call.", "no register", "nothing", NEVER,
        "LoadConstR r0, 1; Halt; ReturnR r0", "None"),
    "Nop": Note(FLOW, "Does nothing (it is counted like any instruction).", "no register",
                "nothing", NEVER, "Nop; LoadConstR r0, 1; ReturnR r0", "1"),
    # ------------------------------------------------------------------ strings
    "ConcatStrR": Note(
        STRINGS, "Joins the display texts of `left` and `right`: strings as they are, "
        "numbers in their display text (2.0 as \"2\"), empty as \"empty\", `true` "
        "as \"true\".", ANY, "`dst`: a string", NEVER,
        'LoadConstR r1, "n="; LoadConstR r2, 5; ConcatStrR r0, r1, r2; ReturnR r0', "'n=5'"),
    "StrLenR": Note(
        STRINGS, "The length of a string in bytes of UTF-8, not in characters.",
        "string", "`dst`: an int",
        [Error("`str_reg` does not hold a string", "Type mismatch: expected string, found int",
               "LoadConstR r1, 5; StrLenR r0, r1")],
        'LoadConstR r1, "h\\u{e9}llo"; StrLenR r0, r1; ReturnR r0', "6"),
    # ------------------------------------------------------------------- arrays
    "NewArrayR": Note(
        ARRAYS, "Makes an array of `size` elements, each empty (`None` in Python).",
        "`size`: int, not negative", "`dst`: the array",
        [Error("`size` does not hold an integer", "Type mismatch: expected integer, found float",
               "LoadConstR r1, 2.0; NewArrayR r0, r1"),
         Error("`size` is negative", "Invalid operation: create array on type negative size: -3",
               "LoadConstR r1, -3; NewArrayR r0, r1")],
        "LoadConstR r1, 2; NewArrayR r0, r1; ReturnR r0", "[None, None]"),
    "ArrayGetR": Note(
        ARRAYS, "Reads the element at `index` (counting from 0).",
        "`array`: array; `index`: int", "`dst`: the element",
        [Error("`array` does not hold an array", "Type mismatch: expected array, found int",
               "LoadConstR r1, 1; ArrayGetR r0, r1, r1"),
         Error("`index` does not hold an integer",
               "Type mismatch: expected integer index, found string",
               'LoadConstR r1, 1; NewArrayR r1, r1; LoadConstR r2, "0"; ArrayGetR r0, r1, r2'),
         Error("`index` is negative or not below the length",
               "Index out of bounds: index -1 for length 3",
               "LoadConstR r1, 3; NewArrayR r1, r1; LoadConstR r2, -1; ArrayGetR r0, r1, r2")],
        "LoadConstR r1, 2; NewArrayR r2, r1; LoadConstR r3, 1; ArraySetR r2, r3, r1; "
        "ArrayGetR r0, r2, r3; ReturnR r0", "2"),
    "ArraySetR": Note(
        ARRAYS, "Replaces the element at `index` with a copy of `value`. The register "
        "`array` receives a new array; other registers, globals or containers that held "
        "the old array still see it unchanged.",
        "`array`: array; `index`: int; `value`: any value", "`array`: the updated array",
        [Error("`array` does not hold an array", "Type mismatch: expected array, found int",
               "LoadConstR r1, 1; ArraySetR r1, r1, r1"),
         Error("`index` does not hold an integer",
               "Type mismatch: expected integer index, found string",
               'LoadConstR r1, 1; NewArrayR r1, r1; LoadConstR r2, "0"; ArraySetR r1, r2, r2'),
         Error("`index` is negative or not below the length",
               "Index out of bounds: index 3 for length 3",
               "LoadConstR r1, 3; NewArrayR r1, r1; LoadConstR r2, 3; ArraySetR r1, r2, r2")],
        'LoadConstR r1, 2; NewArrayR r0, r1; LoadConstR r2, 1; LoadConstR r3, "x"; '
        'ArraySetR r0, r2, r3; ReturnR r0', "[None, 'x']"),
    "ArrayLenR": Note(
        ARRAYS, "The number of elements.", "array", "`dst`: an int",
        [Error("`array` does not hold an array", "Type mismatch: expected array, found string",
               'LoadConstR r1, "abc"; ArrayLenR r0, r1')],
        "LoadConstR r1, 3; NewArrayR r1, r1; ArrayLenR r0, r1; ReturnR r0", "3"),
    # ------------------------------------------------------------- dictionaries
    "DictNewR": Note(DICTS, "Makes an empty dictionary (string keys, any values).",
                     "no operand value", "`dst`: the dictionary", NEVER,
                     "DictNewR r0; ReturnR r0", "{}"),
    "DictGetR": Note(
        DICTS, "Reads the value under `key`. A missing key reads as empty (`None`); that "
        "is not an error.", "`dict`: dictionary; `key`: string", "`dst`: the value, or empty",
        _dict_errors("DictGetR", "r0, r1, r2", key=True),
        'DictNewR r1; LoadConstR r2, "missing"; DictGetR r0, r1, r2; ReturnR r0', "None"),
    "DictSetR": Note(
        DICTS, "Sets `key` to a copy of `value` (adding or replacing it). The register "
        "`dict` receives a new dictionary; other holders of the old one see no change.",
        "`dict`: dictionary; `key`: string; `value`: any value",
        "`dict`: the updated dictionary",
        _dict_errors("DictSetR", "r1, r2, r2", key=True),
        'DictNewR r0; LoadConstR r1, "k"; LoadConstR r2, 1; DictSetR r0, r1, r2; ReturnR r0',
        "{'k': 1}"),
    "DictRemoveR": Note(
        DICTS, "Removes `key`; removing a key that is not there is not an error. The "
        "register `dict` receives a new dictionary.", "`dict`: dictionary; `key`: string",
        "`dict`: the updated dictionary", _dict_errors("DictRemoveR", "r1, r2", key=True),
        'DictNewR r0; LoadConstR r1, "k"; DictSetR r0, r1, r1; DictRemoveR r0, r1; '
        'ReturnR r0', "{}"),
    "DictContainsR": Note(
        DICTS, "Tells whether `key` is present.", "`dict`: dictionary; `key`: string",
        "`dst`: a bool", _dict_errors("DictContainsR", "r0, r1, r2", key=True),
        'DictNewR r1; LoadConstR r2, "k"; DictSetR r1, r2, r2; DictContainsR r0, r1, r2; '
        'ReturnR r0', "True"),
    "DictKeysR": Note(
        DICTS, "An array of the keys, in the dictionary's internal order: neither insertion "
        "nor sorted order, and not the same from one run to the next. `DictValuesR` on the "
        "same unchanged dictionary lists the values in the matching order.",
        "dictionary", "`dst`: an array of strings", _dict_errors("DictKeysR", "r0, r1", key=False),
        'DictNewR r1; LoadConstR r2, "k"; DictSetR r1, r2, r2; DictKeysR r0, r1; ReturnR r0',
        "['k']"),
    "DictValuesR": Note(
        DICTS, "An array of the values, in the order of `DictKeysR`.", "dictionary",
        "`dst`: an array", _dict_errors("DictValuesR", "r0, r1", key=False),
        'DictNewR r1; LoadConstR r2, "k"; LoadConstR r3, 1; DictSetR r1, r2, r3; '
        'DictValuesR r0, r1; ReturnR r0', "[1]"),
    "DictClearR": Note(
        DICTS, "Puts a new empty dictionary in register `dict`; other holders of the old "
        "one see no change.", "dictionary", "`dict`: an empty dictionary",
        _dict_errors("DictClearR", "r1", key=False),
        'DictNewR r0; LoadConstR r1, "k"; DictSetR r0, r1, r1; DictClearR r0; ReturnR r0', "{}"),
    "DictLenR": Note(
        DICTS, "The number of entries.", "dictionary", "`dst`: an int",
        _dict_errors("DictLenR", "r0, r1", key=False),
        'DictNewR r1; LoadConstR r2, "k"; DictSetR r1, r2, r2; DictLenR r0, r1; ReturnR r0',
        "1"),
    # -------------------------------------------------------------- diagnostics
    "DebugPrint": Note(
        DIAGNOSTICS, "Writes one line to standard output: a string as it is, a number as "
        "plain digits (3.0 as \"3\", 1e-7 as \"0.0000001\"), `true`/`false`; arrays, "
        "dictionaries and functions in their debug form; nothing at all for empty. In "
        "debug mode every value is written as \"DEBUG: \" and its debug form instead.",
        ANY, "standard output", NEVER,
        "LoadConstR r0, 3.0; DebugPrint r0", "3\nNone"),
    "BreakPoint": Note(
        DIAGNOSTICS, "In debug mode writes \"BREAKPOINT at PC: \" and its own instruction "
        "index; the run does not stop. Outside debug mode it does nothing.",
        "no register", "standard output (debug mode only)", NEVER,
        "BreakPoint; LoadConstR r0, 1; ReturnR r0", "1"),
    # ------------------------------------------------------ in-memory only kinds
    "PhiR": Note(
        IN_MEMORY, "Copies into `dst` the register paired with the instruction index of "
        "the last jump taken, if `sources` has such a pair; otherwise nothing happens.",
        ANY, "`dst`", NEVER, None),
    "AssertR": Note(
        IN_MEMORY, "Tests `reg` (truth value, not empty, or an integer within a range) and "
        "fails with the text of string constant `msg_idx` when the test does not hold.",
        ANY, "nothing",
        [Error("the test does not hold", "Assertion failed: TEXT", None),
         Error("the test does not hold and `msg_idx` is no string constant",
               "Invalid constant index: N", None)], None),
    "ScopeEnterR": Note(IN_MEMORY, "Pushes `scope_id` on the scope stack (which nothing "
                        "else reads).", "no register", "nothing", NEVER, None),
    "ScopeExitR": Note(IN_MEMORY, "Pops the scope stack when its innermost entry is "
                       "`scope_id`; otherwise does nothing.", "no register", "nothing",
                       NEVER, None),
}


def examples() -> List[Tuple[str, str, str]]:
    """(kind, one-liner, expected output) of every example."""
    return [(name, note.example, note.output) for name, note in NOTES.items()
            if note.example is not None]


def error_triggers() -> List[Tuple[str, str, str]]:
    """(kind, one-liner, expected message) of every error that has a trigger."""
    return [(name, error.trigger, error.message) for name, note in NOTES.items()
            for error in note.errors if error.trigger is not None]
