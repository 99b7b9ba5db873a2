"""Results printed as repr() prints them, at any nesting depth."""

from __future__ import annotations

import io
import math

import pytest
from tarnel.results import result_text, write_result


def nested(depth, leaf=None, wrap=lambda inner: [inner]):
    value = leaf
    for _ in range(depth):
        value = wrap(value)
    return value


@pytest.mark.parametrize("value", [
    None, True, False, 0, -7, 2 ** 63 - 1, 3.0, -0.0, 1e23, math.inf, -math.inf, math.nan,
    "", "it's", 'say "hi"', "tab\tnew\nline", "\u00e9\U0001f600", "\x00\x7f\ud800",
    [], {}, [None], [1, [2, [3, []]]], {"a": 1, "b": [True, {"c": None}]},
    {"": {}, "k'": ["v"]}, [{"x": [1.5, "s"]}, {}], nested(50),
], ids=repr)
def test_same_text_as_repr(value):
    assert result_text(value) == repr(value)


@pytest.mark.parametrize("wrap,opening", [
    (lambda inner: [inner], "["),
    (lambda inner: {"k": inner}, "{'k': "),
    (lambda inner: [1, inner, "x"], "[1, "),
])
def test_any_depth(wrap, opening):
    depth = 100_000                 # far beyond the interpreter's recursion limit
    text = result_text(nested(depth, 7, wrap))
    assert text.startswith(opening * 3) and "7" in text
    assert text.count(opening) == depth


def test_written_in_chunks_with_a_line_feed():
    value = [["x" * 1000] * 100] * 10
    out = io.StringIO()
    write_result(value, out)
    assert out.getvalue() == repr(value) + "\n"
