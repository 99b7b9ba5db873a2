"""Printing a program's result as ``repr()`` would, without recursion.

The VM's results nest without limit (an array holding an array holding ...),
and ``repr()`` recurses once per level: a result about a thousand levels
deep raises RecursionError. :func:`result_text` walks the value with a stack
of its own and gives the same text as ``repr()`` for every result the VM
returns (None, bool, int, float, str, list, dict with str keys).
"""

from __future__ import annotations

from typing import Any, Iterator, TextIO


class _Punct(str):
    """Text of the rendering itself (brackets, separators), not a value."""


_OPEN_LIST, _CLOSE_LIST = _Punct("["), _Punct("]")
_OPEN_DICT, _CLOSE_DICT = _Punct("{"), _Punct("}")
_COMMA, _COLON = _Punct(", "), _Punct(": ")

# How much text write_result gathers before writing it out.
_CHUNK = 1 << 16


def result_pieces(value: Any) -> Iterator[str]:
    """The pieces of ``repr(value)``, in order, for nesting of any depth."""
    stack = [value]
    while stack:
        item = stack.pop()
        kind = type(item)
        if kind is _Punct:
            yield item
        elif kind is list:
            yield _OPEN_LIST
            stack.append(_CLOSE_LIST)
            for position in range(len(item) - 1, -1, -1):
                stack.append(item[position])
                if position:
                    stack.append(_COMMA)
        elif kind is dict:
            yield _OPEN_DICT
            stack.append(_CLOSE_DICT)
            entries = list(item.items())
            for position in range(len(entries) - 1, -1, -1):
                key, element = entries[position]
                stack.append(element)
                stack.append(_COLON)
                stack.append(key)
                if position:
                    stack.append(_COMMA)
        else:
            yield repr(item)


def result_text(value: Any) -> str:
    """``repr(value)`` for a result of any nesting depth."""
    return "".join(result_pieces(value))


def write_result(value: Any, stream: TextIO) -> None:
    """Write ``repr(value)`` and a line feed to ``stream``, a chunk at a time."""
    pending, size = [], 0
    for piece in result_pieces(value):
        pending.append(piece)
        size += len(piece)
        if size >= _CHUNK:
            stream.write("".join(pending))
            pending, size = [], 0
    pending.append("\n")
    stream.write("".join(pending))
    stream.flush()
