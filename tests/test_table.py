"""The shared plain-text table renderer."""

import pytest

from velmora._table import render_table


@pytest.mark.parametrize("headers, rows, right, indent, expected", [
    (("a", "bb"), [("x", 1), ("long", 22)], (1,), "",
     ["a     bb", "----  --", "x      1", "long  22"]),
    (("name", "v"), [("z", "")], (), "  ", ["  name  v", "  ----  -", "  z"]),
    (None, [("key", "value"), ("k", "v")], (), "", ["key  value", "k    v"]),
    (("only",), [], (), "", ["only", "----"]),
])
def test_columns_are_padded_aligned_and_stripped(headers, rows, right, indent, expected):
    assert render_table(headers, rows, right=right, indent=indent).splitlines() == expected


def test_a_row_of_the_wrong_width_is_refused():
    with pytest.raises(ValueError, match="2 cells, the table 3 columns"):
        render_table(("a", "b", "c"), [("x", "y")])
