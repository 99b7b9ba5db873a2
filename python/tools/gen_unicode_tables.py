#!/usr/bin/env python3
"""Generate src/diagnostics/unicode_tables.cpp.

The debug form of a string escapes two classes of characters as \\u{...}:

* Grapheme_Extend: general categories Mn and Me plus the code points of the
  contributory property Other_Grapheme_Extend;
* not printable: general categories Cc, Cf, Cs, Co, Cn (every unassigned code
  point and the noncharacters), Zl, Zp and Zs, except U+0020.

Both classes are written as sorted, merged, inclusive code point ranges that
the C++ side searches with a binary search. General categories come from this
interpreter's `unicodedata`; the version it implements
(`unicodedata.unidata_version`) is recorded in the generated file.

`unicodedata` does not expose Other_Grapheme_Extend. It is read from a
PropList.txt (Debian's `unicode-data` package installs one at
/usr/share/unicode/PropList.txt) when one is found, otherwise taken from the
list below. Code points that `unicodedata` reports as unassigned are dropped
from it, so a newer PropList.txt cannot pull characters from a later Unicode
version into the tables.

Usage:
    python3 python/tools/gen_unicode_tables.py            # rewrite the file
    python3 python/tools/gen_unicode_tables.py --check    # exit 1 if stale
"""

from __future__ import annotations

import argparse
import pathlib
import re
import sys
import unicodedata

REPO_ROOT = pathlib.Path(__file__).resolve().parents[2]
OUTPUT = REPO_ROOT / "src" / "diagnostics" / "unicode_tables.cpp"
DEFAULT_PROPLIST = pathlib.Path("/usr/share/unicode/PropList.txt")
DEFAULT_DERIVED = pathlib.Path("/usr/share/unicode/DerivedCoreProperties.txt")

MAX_CODE_POINT = 0x10FFFF

# Other_Grapheme_Extend as listed in PropList-15.0.0.txt. The list is the same
# in PropList-14.0.0.txt (the last change was U+11930 in Unicode 13.0).
OTHER_GRAPHEME_EXTEND_FALLBACK_VERSION = "15.0.0"
OTHER_GRAPHEME_EXTEND_FALLBACK = [
    (0x09BE, 0x09BE),  # BENGALI VOWEL SIGN AA
    (0x09D7, 0x09D7),  # BENGALI AU LENGTH MARK
    (0x0B3E, 0x0B3E),  # ORIYA VOWEL SIGN AA
    (0x0B57, 0x0B57),  # ORIYA AU LENGTH MARK
    (0x0BBE, 0x0BBE),  # TAMIL VOWEL SIGN AA
    (0x0BD7, 0x0BD7),  # TAMIL AU LENGTH MARK
    (0x0CC2, 0x0CC2),  # KANNADA VOWEL SIGN UU
    (0x0CD5, 0x0CD6),  # KANNADA LENGTH MARK..KANNADA AI LENGTH MARK
    (0x0D3E, 0x0D3E),  # MALAYALAM VOWEL SIGN AA
    (0x0D57, 0x0D57),  # MALAYALAM AU LENGTH MARK
    (0x0DCF, 0x0DCF),  # SINHALA VOWEL SIGN AELA-PILLA
    (0x0DDF, 0x0DDF),  # SINHALA VOWEL SIGN GAYANUKITTA
    (0x1B35, 0x1B35),  # BALINESE VOWEL SIGN TEDUNG
    (0x200C, 0x200C),  # ZERO WIDTH NON-JOINER
    (0x302E, 0x302F),  # HANGUL SINGLE DOT TONE MARK..HANGUL DOUBLE DOT TONE MARK
    (0xFF9E, 0xFF9F),  # HALFWIDTH KATAKANA (SEMI-)VOICED SOUND MARK
    (0x1133E, 0x1133E),  # GRANTHA VOWEL SIGN AA
    (0x11357, 0x11357),  # GRANTHA AU LENGTH MARK
    (0x114B0, 0x114B0),  # TIRHUTA VOWEL SIGN AA
    (0x114BD, 0x114BD),  # TIRHUTA VOWEL SIGN SHORT O
    (0x115AF, 0x115AF),  # SIDDHAM VOWEL SIGN AA
    (0x11930, 0x11930),  # DIVES AKURU VOWEL SIGN AA
    (0x1D165, 0x1D165),  # MUSICAL SYMBOL COMBINING STEM
    (0x1D16E, 0x1D172),  # MUSICAL SYMBOL COMBINING FLAG-1..FLAG-5
    (0xE0020, 0xE007F),  # TAG SPACE..CANCEL TAG
]

GRAPHEME_EXTEND_CATEGORIES = {"Mn", "Me"}
NOT_PRINTABLE_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}

_LINE = re.compile(r"^([0-9A-Fa-f]+)(?:\.\.([0-9A-Fa-f]+))?\s*;\s*(\w+)")
_VERSION = re.compile(r"^#\s*\w+-(\d+\.\d+\.\d+)\.txt")


def read_property(path: pathlib.Path, name: str) -> tuple[str | None, list[tuple[int, int]]]:
    """Ranges of one binary property from a UCD property file, and its version."""
    version = None
    ranges = []
    with path.open(encoding="utf-8") as f:
        for line in f:
            if version is None:
                m = _VERSION.match(line)
                if m:
                    version = m.group(1)
            m = _LINE.match(line)
            if m and m.group(3) == name:
                first = int(m.group(1), 16)
                last = int(m.group(2), 16) if m.group(2) else first
                ranges.append((first, last))
    return version, ranges


def expand(ranges: list[tuple[int, int]]) -> set[int]:
    return {cp for first, last in ranges for cp in range(first, last + 1)}


def to_ranges(code_points: set[int]) -> list[tuple[int, int]]:
    """Sorted, merged, inclusive ranges covering exactly `code_points`."""
    ranges: list[tuple[int, int]] = []
    for cp in sorted(code_points):
        if ranges and ranges[-1][1] + 1 == cp:
            ranges[-1] = (ranges[-1][0], cp)
        else:
            ranges.append((cp, cp))
    return ranges


def category(cp: int) -> str:
    return unicodedata.category(chr(cp))


def other_grapheme_extend(proplist: pathlib.Path | None) -> tuple[set[int], str]:
    if proplist is not None and proplist.is_file():
        version, ranges = read_property(proplist, "Other_Grapheme_Extend")
        if not ranges:
            sys.exit(f"{proplist}: no Other_Grapheme_Extend entries")
        source = f"{proplist.name} of Unicode {version or '(unknown version)'}"
        fallback = expand(OTHER_GRAPHEME_EXTEND_FALLBACK)
        if expand(ranges) != fallback:
            print(f"note: {source} differs from the built-in list", file=sys.stderr)
    else:
        ranges = OTHER_GRAPHEME_EXTEND_FALLBACK
        source = f"the built-in copy of PropList-{OTHER_GRAPHEME_EXTEND_FALLBACK_VERSION}.txt"
    # Keep only characters this unicodedata knows about.
    points = {cp for cp in expand(ranges) if category(cp) != "Cn"}
    return points, source


def cross_check(grapheme_extend: set[int], derived: pathlib.Path | None) -> None:
    """Compare with a DerivedCoreProperties.txt where both versions assign the code point."""
    if derived is None or not derived.is_file():
        return
    version, ranges = read_property(derived, "Grapheme_Extend")
    theirs = expand(ranges)
    diff = sorted(
        cp for cp in grapheme_extend.symmetric_difference(theirs) if category(cp) != "Cn"
    )
    if diff:
        shown = ", ".join(f"U+{cp:04X}" for cp in diff[:20])
        print(
            f"note: Grapheme_Extend differs from {derived.name} {version} "
            f"on {len(diff)} assigned code points: {shown}",
            file=sys.stderr,
        )


def format_table(name: str, ranges: list[tuple[int, int]]) -> str:
    lines = [f"constexpr CodePointRange {name}[] = {{"]
    row: list[str] = []
    for first, last in ranges:
        row.append(f"{{0x{first:X}, 0x{last:X}}},")
        if len(row) == 4:
            lines.append("    " + " ".join(row))
            row = []
    if row:
        lines.append("    " + " ".join(row))
    lines.append("};")
    return "\n".join(lines)


def generate(proplist: pathlib.Path | None, derived: pathlib.Path | None) -> str:
    version = unicodedata.unidata_version
    oge, oge_source = other_grapheme_extend(proplist)

    grapheme_extend = {
        cp for cp in range(MAX_CODE_POINT + 1) if category(cp) in GRAPHEME_EXTEND_CATEGORIES
    } | oge
    not_printable = {
        cp
        for cp in range(MAX_CODE_POINT + 1)
        if category(cp) in NOT_PRINTABLE_CATEGORIES and cp != 0x20
    }
    cross_check(grapheme_extend, derived)

    ge_ranges = to_ranges(grapheme_extend)
    np_ranges = to_ranges(not_printable)
    python = ".".join(str(p) for p in sys.version_info[:2])
    ge_table = format_table("kGraphemeExtend", ge_ranges)
    np_table = format_table("kNotPrintable", np_ranges)
    return f"""\
// Generated by python/tools/gen_unicode_tables.py. Do not edit by hand.
//
// Unicode character database version {version} (general categories from the
// unicodedata module of Python {python}; Other_Grapheme_Extend from
// {oge_source}, restricted to code points assigned in {version}).
//
// kGraphemeExtend: Grapheme_Extend = Mn + Me + Other_Grapheme_Extend.
// kNotPrintable:   Cc + Cf + Cs + Co + Cn + Zl + Zp + Zs, without U+0020.
// Both are sorted, disjoint, non-adjacent inclusive ranges.

#include "diagnostics/unicode_tables.hpp"

namespace tarnel::unicode {{
namespace {{

// clang-format off
{ge_table}

{np_table}
// clang-format on

}}  // namespace

const std::string_view kTablesVersion = "{version}";

std::span<const CodePointRange> grapheme_extend_ranges() {{ return kGraphemeExtend; }}
std::span<const CodePointRange> not_printable_ranges() {{ return kNotPrintable; }}

}}  // namespace tarnel::unicode
"""


def body(text: str) -> str:
    start = text.find("#include")
    return text[start:] if start >= 0 else text


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--proplist", type=pathlib.Path, default=DEFAULT_PROPLIST,
                        help="PropList.txt to read Other_Grapheme_Extend from")
    parser.add_argument("--builtin", action="store_true",
                        help="use the built-in Other_Grapheme_Extend list")
    parser.add_argument("--derived", type=pathlib.Path, default=DEFAULT_DERIVED,
                        help="DerivedCoreProperties.txt to cross-check Grapheme_Extend")
    parser.add_argument("--output", type=pathlib.Path, default=OUTPUT)
    parser.add_argument("--check", action="store_true",
                        help="do not write; exit 1 if the output file is out of date")
    args = parser.parse_args()

    text = generate(None if args.builtin else args.proplist, args.derived)
    if args.check:
        current = args.output.read_text(encoding="utf-8") if args.output.exists() else ""
        # The header comment names where Other_Grapheme_Extend was read from,
        # which may differ between machines; the tables must not.
        if body(current) != body(text):
            print(f"{args.output} is out of date", file=sys.stderr)
            return 1
        return 0
    args.output.write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
