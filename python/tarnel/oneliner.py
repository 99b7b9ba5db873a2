"""Programs given on the command line (``tarnel run -e 'LoadConstR r0, 42; ReturnR r0'``).

In a source file ``;`` starts a comment. In a one-liner it ends a statement
instead, as a line break would; ``#`` still starts a comment, which then
runs to the next ``;``. A ``;`` or ``#`` inside a double-quoted string is
part of the string. Errors and locations name the one-liner ``-e`` with the
line and column of the text as it was given.
"""

from __future__ import annotations

import re
from typing import List, Optional, Sequence, Tuple

ONE_LINER_NAME = "-e"


class Columns:
    """Where each line of the rewritten source starts in the given text."""

    def __init__(self, starts: List[Tuple[int, int]]):
        self.starts = starts        # per source line: (line, column offset) in the given text

    def place(self, line: int, column: int) -> Tuple[int, int]:
        if not 1 <= line <= len(self.starts):
            return line, column
        given_line, offset = self.starts[line - 1]
        return given_line, offset + column

    def source_map(self, source_map: Optional[Sequence[Tuple[int, int]]]) -> Optional[list]:
        if source_map is None:
            return None
        return [self.place(line, column) for line, column in source_map]

    def error_text(self, text: str) -> str:
        """An assembler message ``-e:LINE:COL: ...`` with the place in the given text."""
        prefix = re.escape(ONE_LINER_NAME)
        m = re.match(prefix + r":(\d+):(\d+): ", text)
        if m is None:
            return text
        line, column = self.place(int(m.group(1)), int(m.group(2)))
        return "%s:%d:%d: %s" % (ONE_LINER_NAME, line, column, text[m.end():])


def one_liner_source(text: str) -> Tuple[str, Columns]:
    """The assembly source of a one-liner: each ``;`` outside strings becomes a line break."""
    out: List[str] = []
    starts = [(1, 0)]
    line, column = 1, 0          # position in the given text (0-based column)
    in_string = escaped = in_comment = False
    for ch in text:
        column += 1
        if ch == "\n":
            in_string = in_comment = escaped = False
            line, column = line + 1, 0
            starts.append((line, 0))
            out.append(ch)
            continue
        if in_string:
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True
            elif ch == '"':
                in_string = False
        elif ch == ";":
            in_comment = False
            starts.append((line, column))
            out.append("\n")
            continue
        elif in_comment:
            pass
        elif ch == "#":
            in_comment = True
        elif ch == '"':
            in_string = True
        out.append(ch)
    return "".join(out), Columns(starts)
