"""Source side of the analysis: code without prose, units, loops, carried names, imports."""

import io
import sys
import tokenize
from pathlib import Path

import pytest

from velmora.analysis import source
from velmora.analysis.source import FileSource, carried_names, framework_bindings, framework_imports, strip_prose

ROOT = Path(__file__).resolve().parents[2]


def _stripped(text):
    return strip_prose(source.normalise_newlines(text))


# ---------------------------------------------------------------- strip_prose


@pytest.mark.parametrize("text, gone, kept", [
    ("x = 'a#b'  # mean of the sum\ny = total\n", ["a#b", "mean", "sum"], ["x =", "y = total"]),
    ('def f():\n    """He said "sum" and \'std\' # no comment"""\n    return dot(a)\n', ["sum", "std", "He said"],
     ["def f():", "return dot(a)"]),
    ("s = 'it\\'s \"mean\"'\nt = max(s)\n", ["mean", "it"], ["t = max(s)"]),
    ("p = r'\\d+ sum' + b\"var\" + rb'std'\n", ["sum", "var", "std"], ["p = r", "+ b", "+ rb"]),
    ("v = f\"{total} items, {mean(x)}\"\n", ["items", "mean", "total"], ["v = f"]),
    ("w = ('std'\n     'dev')  # two parts\nz = 1\n", ["std", "dev", "two"], ["w = (", "z = 1"]),
    ("q = '\"\"\"' + \"'''\"\nr = sum(q)\n", [], ["r = sum(q)"]),
    ("# don't stop here\ny = numpy_sum(x)\n", ["stop"], ["y = numpy_sum(x)"]),
    ("u = 'abc \\\ndef'\nk = fft(u)\n", ["abc", "def"], ["k = fft(u)"]),
    ("if\"x\"in y: pass\n", ['"x"'], ["if", "in y: pass"]),
    ('doc = """\nfirst # not a comment\n"""\nafter = matmul(a, b)\n', ["first", "not a comment"],
     ["after = matmul(a, b)"]),
])
def test_prose_is_removed_and_code_kept_line_for_line(text, gone, kept):
    out = _stripped(text)
    assert out.count("\n") == text.count("\n")
    for word in gone:
        assert word not in out
    for word in kept:
        assert word in out
    lines_in, lines_out = text.split("\n"), out.split("\n")
    for word in kept:  # each piece of code stays on its own line
        assert [i for i, line in enumerate(lines_in) if word in line] == [
            i for i, line in enumerate(lines_out) if word in line]


_PROSE_TOKENS = {tokenize.STRING, tokenize.COMMENT, tokenize.NL, tokenize.NEWLINE, tokenize.INDENT,
                 tokenize.DEDENT, tokenize.ENDMARKER}
_PROSE_TOKENS |= {getattr(tokenize, n) for n in ("FSTRING_START", "FSTRING_MIDDLE", "FSTRING_END")
                  if hasattr(tokenize, n)}


def _code_tokens(text):
    tokens = tokenize.generate_tokens(io.StringIO(text).readline)
    out, depth = [], 0
    for t in tokens:
        if t.type in (getattr(tokenize, "FSTRING_START", -1),):
            depth += 1
        elif t.type == getattr(tokenize, "FSTRING_END", -1):
            depth -= 1
        elif depth == 0 and t.type not in _PROSE_TOKENS:
            out.append((t.type, t.string))
    return out


SOURCES = sorted(p for p in list((ROOT / "src" / "velmora").rglob("*.py")) + list((ROOT / "examples").glob("*.py"))
                 + list((ROOT / "tests").rglob("*.py")) + list(Path(tokenize.__file__).parent.glob("[a-f]*.py"))
                 if p.stat().st_size < 400_000)


@pytest.mark.parametrize("path", SOURCES[:: max(1, len(SOURCES) // 60)], ids=lambda p: p.name)
def test_only_strings_and_comments_differ_from_the_tokenizer_view(path):
    text = source.normalise_newlines(source.read_source(str(path)))
    out = strip_prose(text)
    assert out.count("\n") == text.count("\n")
    assert _code_tokens(out) == _code_tokens(text)


# ---------------------------------------------------------------- units


def test_units_keep_the_parser_line_numbers():
    text = ("# -*- coding: utf-8 -*-\r\n\x0c\r\nimport os\r\n\r\n@staticmethod\r\ndef first(a):\r\n"
            "    return a\r\n\x0c\r\nclass Box:\r\n    size = 3\r\n    async def fill(self):\r\n"
            "        await self.more()\r\n")
    units = {u.name: u for u in FileSource(text).units}
    assert list(units) == ["<module>", "first", "Box.fill"]
    assert (units["first"].first, units["first"].last) == (5, 7)
    assert (units["Box.fill"].first, units["Box.fill"].last) == (11, 12)
    assert units["<module>"].ranges == [[1, 1], [3, 3], [9, 10]]  # blank lines left out
    assert "coding" not in units["<module>"].code and "import os" in units["<module>"].code


def test_a_file_of_only_a_docstring_has_no_module_unit():
    fs = FileSource('"""Nothing but words: sum, mean."""\n\ndef f():\n    return 1\n')
    assert [u.name for u in fs.units] == ["f"]
    assert "sum" not in fs.whole.code and fs.line_count == 4


@pytest.mark.parametrize("text, message", [
    ("def f(:\n    pass\n", "syntax error: line 1"),
    ("x = (" * 300 + ")" * 300 + "\n", "line 1"),
])
def test_text_that_does_not_parse_raises_a_source_error(text, message):
    with pytest.raises(source.SourceError) as info:
        FileSource(text)
    assert info.value.kind == "syntax" and message in str(info.value)


# ---------------------------------------------------------------- loops

BODY = "def f(xs, n, lock):\n"


@pytest.mark.parametrize("body, loops, chunkable, statements, weight, depth", [
    ("    return n\n", 0, 0, 0, 0, 0),
    ("    for x in xs:\n        n += x\n", 1, 1, 1, 1, 1),
    ("    for x in xs:\n        for y in xs:\n            n += x * y\n", 2, 2, 2, 3, 2),
    ("    for x in xs:\n        pass\n    for y in xs:\n        pass\n", 2, 2, 2, 2, 1),
    ("    while n:\n        n -= 1\n", 1, 0, 1, 1, 1),
    ("    for x in xs:\n        if x:\n            break\n", 1, 0, 1, 1, 1),
    ("    for x in xs:\n        def g():\n            return x\n", 1, 0, 1, 1, 1),
    ("    return [x * 2 for x in xs]\n", 1, 1, 0, 1, 1),
    ("    for x in xs:\n        n += sum(y for y in x)\n", 2, 2, 1, 3, 2),
    ("    for x in xs:\n        global g\n", 1, 0, 1, 1, 1),
])
def test_loops_are_counted_with_their_nesting_and_independence(body, loops, chunkable, statements, weight, depth):
    (unit,) = FileSource(BODY + body).units
    scan = unit.scan
    assert (scan.loops, scan.chunkable, scan.python_loops, scan.weight, scan.max_depth) == (
        loops, chunkable, statements, weight, depth)
    assert scan.chunking_share == (chunkable / loops if loops else 0.0)


def test_an_await_inside_a_loop_makes_it_dependent():
    (unit,) = FileSource("async def f(xs):\n    for x in xs:\n        await x\n    async for y in xs:\n"
                         "        pass\n").units
    assert (unit.scan.loops, unit.scan.chunkable) == (2, 1)


@pytest.mark.parametrize("body, carried", [
    ("for x in xs:\n    total += x\n", []),                         # a reduction
    ("for x in xs:\n    v = m @ v\n", ["v"]),                        # read before it is assigned
    ("for x in xs:\n    tmp = x * 2\n    out.append(tmp)\n", []),    # assigned first: a temporary
    ("for i, c in enumerate(a):\n    cur = [i]\n    cur.append(prev[0])\n    prev = cur\n", ["prev"]),
    ("for x in xs:\n    if x > best:\n        best = x\n", ["best"]),
    ("for x in xs:\n    y = [x for x in ys]\n", []),                 # comprehensions have their own scope
    ("for x in xs:\n    with open(x) as fh:\n        data = fh.read()\n", []),
    ("for x in xs:\n    try:\n        v = f(x)\n    except E as err:\n        log(err)\n", []),
])
def test_carried_names_are_those_an_iteration_hands_on(body, carried):
    tree = FileSource("def f(xs, ys, m, v, out, a, best, prev, total):\n" +
                      "".join("    " + line + "\n" for line in body.splitlines())).tree
    loop = tree.body[0].body[0]
    assert carried_names(loop) == carried


@pytest.mark.parametrize("body, arithmetic", [
    ("    for x in xs:\n        n = x * 2 - 1\n", 2),
    ("    for x in xs:\n        print('%d items' % x, f'{x}' % n)\n", 0),
    ("    for x in xs:\n        n += x\n        n -= 1\n        n **= 2\n", 2),
    ("    for x in xs:\n        s = s + 'x'\n", 0),
    ("    for x in xs:\n        pad = b'\\0' * n + [0] * x + (1, 2) * n\n", 0),
    ("    for x in xs:\n        n = 'ab' * 3 * x\n", 1),
])
def test_arithmetic_counts_numeric_operations_not_formatting(body, arithmetic):
    (unit,) = FileSource(BODY + body).units
    assert unit.scan.arithmetic == arithmetic


# ---------------------------------------------------------------- imports


@pytest.mark.parametrize("text, package, frameworks, binds", [
    ("import numpy\n", None, {"numpy"}, {"numpy": {"numpy"}}),
    ("import numpy as np\n", None, {"numpy"}, {"numpy": {"np"}}),
    ("from numpy import linalg as la, fft\n", None, {"numpy"}, {"numpy": {"la", "fft"}}),
    ("import numpy.linalg\nimport numpy.linalg as nla\n", None, {"numpy"}, {"numpy": {"numpy", "nla"}}),
    ("from sklearn.ensemble import RandomForestClassifier\n", None, {"sklearn"},
     {"sklearn": {"RandomForestClassifier"}}),
    ("import importlib\nnp = importlib.import_module('numpy')\n", None, {"numpy"}, {"numpy": {"np"}}),
    ("__import__('pandas')\n", None, {"pandas"}, {"pandas": set()}),
    ("try:\n    import pandas as pd\nexcept ImportError:\n    pd = None\n", None, {"pandas"}, {"pandas": {"pd"}}),
    ("def f():\n    import numpy as np\n    return np.zeros(3)\n", None, {"numpy"}, {"numpy": {"np"}}),
    ("from pandas import *\n", None, {"pandas"}, {"pandas": set()}),
    ("import numpyro\nimport scipy\n", None, set(), {}),
    ("from .core import asarray\nfrom . import linalg\n", "numpy", {"numpy"}, {"numpy": {"asarray", "linalg"}}),
    ("from . import linalg\n", "mypkg", set(), {}),
])
def test_framework_imports_in_every_form(text, package, frameworks, binds):
    found = framework_imports(FileSource(text).imports, package)
    assert set(found) == frameworks
    assert {fw: set(names) for fw, names in framework_bindings(found).items()} == binds


def test_package_of_follows_the_chain_of_init_files(tmp_path):
    for rel in ("numpy/__init__.py", "numpy/core/__init__.py", "numpy/core/umath.py", "loose.py",
                "tools/notpkg/__init__.py", "tools/notpkg/m.py"):
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_text("x = 1\n")
    assert source.package_of(str(tmp_path / "numpy" / "core" / "umath.py")) == "numpy"
    assert source.package_of(str(tmp_path / "loose.py")) is None
    assert source.package_of(str(tmp_path / "tools" / "notpkg" / "m.py")) == "notpkg"


@pytest.mark.skipif(sys.version_info < (3, 10), reason="match statements need 3.10")
def test_match_statements_parse_and_count_no_loops():
    (unit,) = FileSource("def f(x):\n    match x:\n        case [a, *rest]:\n            return a\n"
                         "        case {'k': v}:\n            return v\n").units
    assert unit.scan.loops == 0 and "k" not in unit.code


def test_definitions_under_top_level_guards_are_units_of_their_own():
    text = ("import sys\nif sys.platform == 'linux':\n    def native():\n        for i in range(3):\n"
            "            pass\nelse:\n    def native():\n        return 0\n"
            "try:\n    import fast\nexcept ImportError:\n    class Fallback:\n        def run(self):\n"
            "            return [x for x in range(2)]\n")
    fs = FileSource(text)
    assert [(u.name, u.first, u.last) for u in fs.units] == [
        ("<module>", 1, 12), ("native", 3, 5), ("native", 7, 8), ("Fallback.run", 13, 14)]
    body = fs.units[0]
    assert body.scan.loops == 0 and "sys.platform" in body.code and "import fast" in body.code
    assert fs.whole.scan.loops == 2
    assert [r.module for r in fs.imports] == ["sys", "fast"]


def test_a_class_of_methods_only_keeps_its_header_in_the_module_body():
    fs = FileSource('"""Doc."""\n\nclass Only:\n    def a(self):\n        return 1\n')
    assert [u.name for u in fs.units] == ["<module>", "Only.a"] and fs.units[0].ranges == [[1, 1], [3, 3]]
