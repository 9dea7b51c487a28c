"""Plain-text tables: the one renderer behind every table that velmora and its benchmarks print.

    >>> print(render_table(("name", "ns/op"), [("load", "24.2"), ("store", "81.3")], right=(1,)))
    name   ns/op
    -----  -----
    load    24.2
    store   81.3

Columns are separated by two spaces, padded to the widest cell, and a dashed rule follows the
header. Columns listed in ``right`` are right-aligned (numbers), the others left-aligned. Trailing
blanks are stripped from every line.
"""

from __future__ import annotations

from typing import Any, Iterable, List, Optional, Sequence

__all__ = ["render_table"]


def render_table(headers: Optional[Sequence[str]], rows: Iterable[Sequence[Any]], right: Iterable[int] = (),
                 indent: str = "") -> str:
    """The table as one string (no final newline); every cell is shown with ``str``.

    ``headers`` None prints the rows alone, aligned, without a header or rule.
    """
    cells: List[List[str]] = [[str(c) for c in row] for row in rows]
    aligned_right = set(right)
    if headers is None:
        widths = [0] * (len(cells[0]) if cells else 0)
    else:
        widths = [len(str(h)) for h in headers]
    for row in cells:
        if len(row) != len(widths):
            raise ValueError("row has %d cells, the table %d columns: %r" % (len(row), len(widths), row))
        widths = [max(w, len(c)) for w, c in zip(widths, row)]

    def line(values: Sequence[str]) -> str:
        out = [v.rjust(w) if i in aligned_right else v.ljust(w) for i, (v, w) in enumerate(zip(values, widths))]
        return (indent + "  ".join(out)).rstrip()

    lines = []
    if headers is not None:
        lines += [line([str(h) for h in headers]), line(["-" * w for w in widths])]
    lines.extend(line(row) for row in cells)
    return "\n".join(lines)
