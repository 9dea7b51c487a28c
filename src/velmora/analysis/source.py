"""Python source as the workload scorer should see it: code split into units, prose taken out.

A file is split into *units*: its module body, each top-level function and each method of a
top-level class. For every unit this module provides

- ``code``: the unit's lines with comments, docstrings and every other string literal removed
  (a literal becomes ``""``; blank lines are dropped), so keyword scoring looks at code only;
- the facts read from its syntax tree in one pass: the loops (how many, how many have independent
  iterations, how deeply they nest), the names it uses and the modules it imports.

``FileSource`` does the work for one file; ``imports_of`` and ``package_of`` say which frameworks
a file imports, in any form (``import numpy``, ``import numpy as np``, ``from numpy import
linalg as la``, ``importlib.import_module("numpy")``, a relative import inside the package).

Nothing here calls native code: this is the text and syntax side of the analysis.
"""

from __future__ import annotations

import ast
import bisect
import os
import re
import sys
import tokenize
from typing import Dict, FrozenSet, Iterable, Iterator, List, Optional, Sequence, Set, Tuple

__all__ = [
    "SourceError", "read_source", "normalise_newlines", "strip_prose", "parse_source", "FileSource",
    "SourceUnit", "UnitScan", "ImportRecord", "scan_nodes", "scan_unit", "package_of", "FRAMEWORK_MODULES",
]

# The frameworks the scorer knows, by the top-level module a file imports.
FRAMEWORK_MODULES = {"numpy": "numpy", "pandas": "pandas", "sklearn": "sklearn"}


class SourceError(Exception):
    """A file that cannot be analysed; ``kind`` is one of "unreadable", "decode", "syntax"."""

    def __init__(self, kind: str, message: str) -> None:
        super().__init__(message)
        self.kind = kind


# ---------------------------------------------------------------- reading and stripping


def read_source(path: str) -> str:
    """The text of a Python file, decoded as the interpreter would (coding cookie, BOM)."""
    try:
        with open(path, "rb") as handle:
            raw = handle.read()
    except OSError as exc:
        # B904: the cause stays chained implicitly (__context__), as callers have always seen it.
        raise SourceError("unreadable", "cannot read: %s" % (exc.strerror or exc))  # noqa: B904
    return decode_source(raw)


def decode_source(raw: bytes) -> str:
    lines = iter(raw.splitlines(True)[:2])
    try:
        encoding, _ = tokenize.detect_encoding(lambda: next(lines, b""))
        text = raw.decode(encoding)
    except (SyntaxError, UnicodeDecodeError, LookupError) as exc:
        # B904: the cause stays chained implicitly (__context__), as callers have always seen it.
        raise SourceError("decode", "cannot decode: %s" % _one_line(exc))  # noqa: B904
    return text[1:] if text.startswith("\ufeff") else text


def normalise_newlines(text: str) -> str:
    """Only \\n ends a line afterwards; the parser also ends lines at \\r\\n and a lone \\r, so
    line numbers stay those of the parser (str.splitlines would also split at form feeds)."""
    if "\r" in text:
        text = text.replace("\r\n", "\n").replace("\r", "\n")
    return text


def _one_line(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    return ("%s: %s" % (type(exc).__name__, text[0])) if text else type(exc).__name__


# String literals of every form (triple quotes, escapes, line continuations) and comments.
# Scanning left to right, a quote or '#' inside a literal is consumed with the literal, so what is
# left is code. The pattern starts with a character set so that the scan runs in C; a literal's
# prefix letters (r, b, f, u) stay in front of the empty literal that replaces it.
_PROSE = re.compile(
    r"[#'\"](?:"
    r"(?<=#)[^\n]*"
    r"|(?<=')(?:''(?:[^'\\]+|\\.|'(?!''))*'''|(?:[^'\\\n]+|\\.)*')"
    r'|(?<=")(?:""(?:[^"\\]+|\\.|"(?!""))*"""|(?:[^"\\\n]+|\\.)*"))', re.DOTALL)


def _blank(match: "re.Match[str]") -> str:
    return _blank_text(match.group(0))


def _blank_text(text: str) -> str:
    if text[0] == "#":
        return ""  # a comment
    breaks = text.count("\n")
    # The space keeps two placeholders from reading as a triple quote.
    return '"" ' if not breaks else '"""' + "\n" * breaks + '""" '


# From 3.12 a replacement field of an f-string may hold any expression, quotes of the enclosing
# kind and comments included, so an f-string is scanned by its own grammar, not by the pattern.
_NESTED_FSTRINGS = sys.version_info >= (3, 12)
_ANY_FSTRING = re.compile(r"(?:[fF][rR]?|[rR][fF])['\"]")


def _is_fstring_start(text: str, i: int) -> bool:
    """Whether the quote at ``i`` opens an f-string: its prefix letters are f, rf or fr."""
    j = i
    while j > 0 and i - j < 2 and text[j - 1].isalpha():
        j -= 1
    if j > 0 and (text[j - 1].isalnum() or text[j - 1] == "_"):
        return False  # the letters end a longer name
    return text[j:i].lower() in ("f", "rf", "fr")


def _string_end(text: str, i: int) -> int:
    """The index after the literal whose opening quote is at ``i``."""
    if _is_fstring_start(text, i):
        return _fstring_end(text, i)
    match = _PROSE.match(text, i)
    return match.end() if match is not None else len(text)


def _fstring_end(text: str, i: int) -> int:
    """The index after the f-string whose opening quote is at ``i``, by the 3.12 grammar: literal
    text (with {{ and }}), replacement fields holding any expression (strings, nested f-strings
    and comments included), and format specifiers that may hold fields of their own."""
    quote = text[i] * 3 if text.startswith(text[i] * 3, i) else text[i]
    n = len(text)
    k = i + len(quote)
    fields: List[List[int]] = []  # per open field: [brackets open in its expression, in its format specifier]
    while k < n:
        c = text[k]
        if not fields or fields[-1][1]:  # literal text, or a format specifier
            if text.startswith(quote, k):
                return k + len(quote)
            if c == "\\":
                k += 2
            elif c == "{":
                if not fields and text.startswith("{{", k):
                    k += 2
                else:
                    fields.append([0, 0])
                    k += 1
            elif c == "}":
                if fields:
                    fields.pop()
                    k += 1
                else:
                    k += 2 if text.startswith("}}", k) else 1
            elif c == "\n" and len(quote) == 1 and not fields:
                return k  # an unterminated line: the parser would have refused it
            else:
                k += 1
            continue
        field = fields[-1]
        if c in "'\"":
            k = _string_end(text, k)
            continue
        if c == "#":
            end = text.find("\n", k)
            k = n if end < 0 else end
            continue
        if c in "([{":
            field[0] += 1
        elif c in ")]":
            field[0] -= 1
        elif c == "}":
            if field[0] == 0:
                fields.pop()
            else:
                field[0] -= 1
        elif c == ":" and field[0] == 0:
            field[1] = 1  # the format specifier begins
        k += 1
    return n


def strip_prose(text: str) -> str:
    """``text`` without comments and with every string literal (docstrings and f-strings
    included) replaced by an empty literal; line breaks are kept, so line N of the result is line
    N of the input, and the result still tokenizes.

    ``text`` must use \\n line ends (``normalise_newlines``) and should be valid Python.
    """
    if not _NESTED_FSTRINGS or not _ANY_FSTRING.search(text):
        return _PROSE.sub(_blank, text)
    out = []
    pos = 0
    for match in _PROSE.finditer(text):
        start = match.start()
        if start < pos:
            continue  # inside an f-string that the scanner already took whole
        out.append(text[pos:start])
        if text[start] == "#":
            pos = match.end()
            continue
        end = _fstring_end(text, start) if _is_fstring_start(text, start) else match.end()
        out.append(_blank_text(text[start:end]))
        pos = end
    out.append(text[pos:])
    return "".join(out)


def parse_source(text: str, filename: str) -> ast.Module:
    """The syntax tree; SourceError("syntax") with the line when the text does not parse."""
    try:
        return ast.parse(text, filename=filename)
    except SyntaxError as exc:
        where = ("line %d: " % exc.lineno) if exc.lineno else ""
        # B904: the cause stays chained implicitly (__context__), as callers have always seen it.
        raise SourceError("syntax", "syntax error: %s%s" % (where, exc.msg))  # noqa: B904
    except (ValueError, RecursionError, MemoryError) as exc:  # null bytes; nesting too deep to parse
        # B904: the cause stays chained implicitly (__context__), as callers have always seen it.
        raise SourceError("syntax", "cannot parse: %s" % _one_line(exc))  # noqa: B904


# ---------------------------------------------------------------- one pass over a unit's tree

_FOR = 1
_WHILE = 2
_COMP = 3
_EXIT = 4
_IMPORT = 6
_IMPORT_FROM = 7
_LEAF = 8
_CALL = 10
_ASSIGN = 11
_ARITH = 12

_KINDS: Dict[type, int] = {ast.For: _FOR, ast.AsyncFor: _FOR, ast.While: _WHILE,
                           ast.ListComp: _COMP, ast.SetComp: _COMP, ast.DictComp: _COMP, ast.GeneratorExp: _COMP,
                           ast.Name: _LEAF, ast.Import: _IMPORT, ast.ImportFrom: _IMPORT_FROM,
                           ast.Constant: _LEAF, ast.Call: _CALL, ast.Assign: _ASSIGN,
                           ast.BinOp: _ARITH, ast.AugAssign: _ARITH}
# Arithmetic that marks numeric work; + is left out, as it also joins strings and lists.
_NUMERIC_OPS = (ast.Sub, ast.Mult, ast.Div, ast.FloorDiv, ast.Mod, ast.Pow, ast.MatMult)
# Leaving a loop early or rebinding outer names makes its iterations dependent.
for _cls in (ast.Break, ast.Return, ast.Yield, ast.YieldFrom, ast.Global, ast.Nonlocal, ast.Await):
    _KINDS[_cls] = _EXIT
for _name in ("Load", "Store", "Del", "Pass", "Continue"):
    _KINDS[getattr(ast, _name)] = _LEAF
_KINDS_STATIC = {cls: kind for cls, kind in _KINDS.items() if kind not in (_CALL, _ASSIGN)}

# Child fields per node class that can hold nodes; context and operator fields are left out.
_CHILD_FIELDS: Dict[type, Tuple[str, ...]] = {}
_NOT_CHILDREN = frozenset(("ctx", "op", "ops", "type_comment", "kind"))


def _children_fields(cls: type) -> Tuple[str, ...]:
    fields = _CHILD_FIELDS.get(cls)
    if fields is None:
        fields = _CHILD_FIELDS[cls] = tuple(f for f in getattr(cls, "_fields", ()) if f not in _NOT_CHILDREN)
    return fields


_DYNAMIC_IMPORTERS = frozenset(("import_module", "__import__"))


class ImportRecord:
    """One import: the module named, the local name it binds (None for a bare dynamic import or a
    star import) and how it reads in the source."""

    __slots__ = ("module", "binds", "text", "level", "line")

    def __init__(self, module: str, binds: Optional[str], text: str, level: int = 0, line: int = 0) -> None:
        self.module, self.binds, self.text, self.level, self.line = module, binds, text, level, line

    @property
    def top(self) -> str:
        return self.module.split(".", 1)[0]


class UnitScan:
    """What one pass over a unit's syntax tree found."""

    __slots__ = ("loops", "chunkable", "python_loops", "weight", "max_depth", "names", "imports",
                 "chunkable_for", "arithmetic")

    def __init__(self) -> None:
        self.loops = 0            # for, while and comprehensions
        self.chunkable = 0        # loops whose iterations could run in independent chunks
        self.python_loops = 0     # for and while statements (comprehensions not counted)
        self.weight = 0           # sum over the loops of their nesting depth (1 = outermost)
        self.max_depth = 0
        self.arithmetic = 0       # numeric operations: - * / // % ** @, not formatting or repetition
        #                           (counted in units with loops)
        self.names: Set[str] = set()  # every identifier of the code: names, attributes, keywords
        self.imports: List[ImportRecord] = []
        self.chunkable_for: List[ast.AST] = []  # chunkable for statements, for carried_names

    def independent_loops(self) -> Tuple[int, List[str]]:
        """(loops whose iterations look independent, names carried from one iteration to the next).

        A chunkable loop still depends on its previous iterations when its body reads a name
        before assigning it (``v = m @ v``, ``previous = current``); such loops are not counted.
        Augmented assignments (``total += x``) are reductions and do not count as carried.
        """
        carried: List[str] = []
        dependent = 0
        for node in self.chunkable_for:
            names = carried_names(node)
            if names:
                dependent += 1
                carried.extend(n for n in names if n not in carried)
        return self.chunkable - dependent, carried

    @property
    def chunking_share(self) -> float:
        """Share of the loops that could be cut into independent chunks; 0.0 without loops."""
        return self.chunkable / self.loops if self.loops else 0.0

    def merge(self, other: "UnitScan") -> None:
        self.loops += other.loops
        self.chunkable += other.chunkable
        self.python_loops += other.python_loops
        self.weight += other.weight
        self.max_depth = max(self.max_depth, other.max_depth)
        self.arithmetic += other.arithmetic
        self.names |= other.names
        self.imports.extend(other.imports)
        self.chunkable_for.extend(other.chunkable_for)


_SEQUENCES = (ast.List, ast.Tuple, ast.ListComp, ast.JoinedStr)


def _is_text_or_sequence(node: Optional[ast.AST]) -> bool:
    if isinstance(node, ast.Constant):
        return isinstance(node.value, (str, bytes))
    return isinstance(node, _SEQUENCES)


def _is_numeric(node: ast.AST) -> bool:
    """A numeric operation: not ``"%d" % n`` (formatting) nor ``b"0" * n`` or ``[x] * n`` (repetition)."""
    op = node.op  # type: ignore[attr-defined]
    if not isinstance(op, _NUMERIC_OPS):
        return False
    left = getattr(node, "left", None)  # AugAssign has a target instead
    right = getattr(node, "right", None) or getattr(node, "value", None)
    if op.__class__ is ast.Mod:
        return not _is_text_or_sequence(left)
    if op.__class__ is ast.Mult:
        return not (_is_text_or_sequence(left) or _is_text_or_sequence(right))
    return True


def _start(node: ast.AST) -> Tuple[int, int]:
    decorators = getattr(node, "decorator_list", None)
    if decorators:
        first = decorators[0]
        return (first.lineno, first.col_offset)
    return (node.lineno, node.col_offset)  # type: ignore[attr-defined]


def _end(node: ast.AST) -> Tuple[int, int]:
    return (getattr(node, "end_lineno", None) or node.lineno,  # type: ignore[attr-defined]
            getattr(node, "end_col_offset", None) or 0)


def _import_text(node: ast.AST) -> List[ImportRecord]:
    out = []
    binds: Optional[str]
    if isinstance(node, ast.Import):
        for alias in node.names:
            binds = alias.asname or alias.name.split(".", 1)[0]
            text = "import %s%s" % (alias.name, " as %s" % alias.asname if alias.asname else "")
            out.append(ImportRecord(alias.name, binds, text, 0, node.lineno))
    elif isinstance(node, ast.ImportFrom):
        module = node.module or ""
        level = node.level or 0
        for alias in node.names:
            binds = None if alias.name == "*" else (alias.asname or alias.name)
            text = "from %s%s import %s%s" % ("." * level, module, alias.name,
                                             " as %s" % alias.asname if alias.asname else "")
            out.append(ImportRecord(module, binds, text, level, node.lineno))
    return out


def _callee(call: ast.AST) -> str:
    func = getattr(call, "func", None)
    return getattr(func, "id", None) or getattr(func, "attr", None) or "import"


def _dynamic_import(call: ast.Call) -> Optional[str]:
    func = call.func
    name = func.id if isinstance(func, ast.Name) else func.attr if isinstance(func, ast.Attribute) else None
    if name in _DYNAMIC_IMPORTERS and call.args:
        first = call.args[0]
        if isinstance(first, ast.Constant) and isinstance(first.value, str) and first.value:
            return first.value
    return None


_IDENTIFIER = re.compile(r"[^\W\d]\w*")
_STATEMENT_LISTS = ("body", "orelse", "handlers", "finalbody", "cases")


def _statement_imports(nodes: Iterable[ast.AST]) -> List[ImportRecord]:
    """Import statements among ``nodes`` and the statements nested in them (no expressions)."""
    found: List[ImportRecord] = []
    stack = list(nodes)
    while stack:
        node = stack.pop()
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            found.extend(_import_text(node))
            continue
        for field in _STATEMENT_LISTS:
            items = getattr(node, field, None)
            if items:
                stack.extend(items)
    return found


def scan_unit(nodes: Sequence[ast.AST], code: str) -> UnitScan:
    """The facts of one unit: its identifiers (read from its code), and what the syntax tree
    shows (``scan_nodes``). A unit whose code holds no ``for`` or ``while`` and no dynamic import
    has no loop and needs no walk over its expressions; its import statements are still read."""
    words = set(_IDENTIFIER.findall(code))
    dynamic = "__import__" in words or "import_module" in words
    if dynamic or "for" in words or "while" in words:
        result = scan_nodes(nodes, dynamic)
    else:
        result = UnitScan()
        if "import" in words:
            result.imports = _statement_imports(nodes)
    result.names = words
    if len(result.imports) > 1:
        result.imports.sort(key=lambda r: r.line)
    return result


def scan_nodes(nodes: Iterable[ast.AST], dynamic_imports: bool = True) -> UnitScan:
    """Loops, arithmetic and imports under ``nodes``, in one pass (names: ``scan_unit``).
    ``dynamic_imports`` False skips looking for ``importlib.import_module("name")`` calls.

    A ``for`` loop or a comprehension has independent iterations (is *chunkable*) when its body
    neither leaves early (break, return, yield, await) nor rebinds outer names (global, nonlocal);
    a ``while`` loop never has, since its trip count is not known in advance.
    """
    result = UnitScan()
    stack = list(nodes)
    pop, push = stack.pop, stack.append
    kinds, child_fields = (_KINDS if dynamic_imports else _KINDS_STATIC), _CHILD_FIELDS
    # (start, end, independent-iterations region or None for while, is a statement)
    loops: List[Tuple[Tuple[int, int], Tuple[int, int], Optional[Tuple[Tuple[int, int], Tuple[int, int]]], bool]] = []
    exits: List[Tuple[int, int]] = []
    nodes_at: Dict[Tuple[int, int], ast.AST] = {}
    bound_calls: Set[int] = set()  # import_module calls whose result an assignment names
    AST = ast.AST
    while stack:
        node = pop()
        cls = node.__class__
        kind = kinds.get(cls, 0)
        if kind:
            if kind == _LEAF:
                continue
            if kind == _FOR:
                body = node.body  # type: ignore[attr-defined]
                start = _start(node)
                nodes_at[start] = node
                loops.append((start, _end(node), (_start(body[0]), _end(body[-1])), True))
            elif kind == _WHILE:
                loops.append((_start(node), _end(node), None, True))
            elif kind == _COMP:
                start, end = _start(node), _end(node)
                loops.append((start, end, (start, end), False))
            elif kind == _ARITH:
                if _is_numeric(node):
                    result.arithmetic += 1
            elif kind == _EXIT:
                exits.append((node.lineno, node.col_offset))  # type: ignore[attr-defined]
            elif kind == _IMPORT or kind == _IMPORT_FROM:
                result.imports.extend(_import_text(node))
                continue
            elif kind == _CALL:
                module = _dynamic_import(node)  # type: ignore[arg-type]
                if module is not None and id(node) not in bound_calls:
                    result.imports.append(ImportRecord(module, None, "%s(%r)" % (_callee(node), module), 0,
                                                       node.lineno))  # type: ignore[attr-defined]
            elif kind == _ASSIGN:
                value, targets = node.value, node.targets  # type: ignore[attr-defined]
                if isinstance(value, ast.Call) and len(targets) == 1 and isinstance(targets[0], ast.Name):
                    module = _dynamic_import(value)
                    if module is not None:
                        bound_calls.add(id(value))
                        result.imports.append(ImportRecord(module, targets[0].id, "%s = %s(%r)" % (
                            targets[0].id, _callee(value), module), 0, value.lineno))
        fields = child_fields.get(cls)
        if fields is None:
            fields = _children_fields(cls)
        for field in fields:
            value = getattr(node, field, None)
            if value is None:
                continue
            if value.__class__ is list:
                for item in value:
                    if isinstance(item, AST):
                        push(item)
            elif isinstance(value, AST):
                push(value)
    if loops:
        exits.sort()
        loops.sort()
        open_ends: List[Tuple[int, int]] = []
        for start, end, region, statement in loops:
            result.loops += 1
            result.python_loops += statement
            if region is not None:
                i = bisect.bisect_left(exits, region[0])
                if i == len(exits) or exits[i] > region[1]:
                    result.chunkable += 1
                    if statement:
                        result.chunkable_for.append(nodes_at[start])
            while open_ends and open_ends[-1] < start:
                open_ends.pop()
            open_ends.append(end)
            depth = len(open_ends)
            result.weight += depth
            if depth > result.max_depth:
                result.max_depth = depth
    return result


_OWN_SCOPE = frozenset((ast.Lambda, ast.ListComp, ast.SetComp, ast.DictComp, ast.GeneratorExp))


class _Flow:
    """Names read before they are assigned within one pass over a loop body, in evaluation order."""

    __slots__ = ("stored", "early")

    def __init__(self) -> None:
        self.stored: Set[str] = set()
        self.early: Set[str] = set()

    def target(self, node: ast.AST) -> None:
        if isinstance(node, ast.Name):
            self.stored.add(node.id)
        elif isinstance(node, (ast.Tuple, ast.List)):
            for item in node.elts:
                self.target(item)
        elif isinstance(node, ast.Starred):
            self.target(node.value)
        else:  # attribute or subscript: its base is read
            self.expr(node)

    def expr(self, node: ast.AST) -> None:
        stack = [node]
        while stack:
            item = stack.pop()
            if isinstance(item, ast.Name):
                if isinstance(item.ctx, ast.Load) and item.id not in self.stored:
                    self.early.add(item.id)
                elif isinstance(item.ctx, ast.Store):
                    self.stored.add(item.id)  # an assignment expression
                continue
            cls = item.__class__
            if cls in _OWN_SCOPE:
                continue
            fields = _CHILD_FIELDS.get(cls)
            if fields is None:
                fields = _children_fields(cls)
            children: List[ast.AST] = []
            for field in fields:
                value = getattr(item, field, None)
                if value is None:
                    continue
                if value.__class__ is list:
                    children.extend(v for v in value if isinstance(v, ast.AST))
                elif isinstance(value, ast.AST):
                    children.append(value)
            children.reverse()
            stack.extend(children)

    def statements(self, body: Sequence[ast.AST]) -> None:
        for stmt in body:
            self.statement(stmt)

    def statement(self, stmt: ast.AST) -> None:
        if isinstance(stmt, ast.Assign):
            self.expr(stmt.value)
            for target in stmt.targets:
                self.target(target)
        elif isinstance(stmt, ast.AugAssign):
            self.expr(stmt.value)
            if not isinstance(stmt.target, ast.Name):  # a name updated in place is a reduction
                self.expr(stmt.target)
        elif isinstance(stmt, ast.AnnAssign):
            if stmt.value is not None:
                self.expr(stmt.value)
                self.target(stmt.target)
        elif isinstance(stmt, (ast.For, ast.AsyncFor)):
            self.expr(stmt.iter)
            self.target(stmt.target)
            self.statements(stmt.body)
            self.statements(stmt.orelse)
        elif isinstance(stmt, (ast.While, ast.If)):
            self.expr(stmt.test)
            self.statements(stmt.body)
            self.statements(stmt.orelse)
        elif isinstance(stmt, (ast.With, ast.AsyncWith)):
            for item in stmt.items:
                self.expr(item.context_expr)
                if item.optional_vars is not None:
                    self.target(item.optional_vars)
            self.statements(stmt.body)
        elif isinstance(stmt, ast.Try) or stmt.__class__.__name__ == "TryStar":
            self.statements(stmt.body)  # type: ignore[attr-defined]
            for handler in stmt.handlers:  # type: ignore[attr-defined]
                if handler.name:
                    self.stored.add(handler.name)
                self.statements(handler.body)
            self.statements(stmt.orelse)  # type: ignore[attr-defined]
            self.statements(stmt.finalbody)  # type: ignore[attr-defined]
        elif isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            self.stored.add(stmt.name)
        elif isinstance(stmt, (ast.Import, ast.ImportFrom)):
            for alias in stmt.names:
                self.stored.add((alias.asname or alias.name).split(".", 1)[0])
        else:
            self.expr(stmt)


def carried_names(loop: ast.AST) -> List[str]:
    """Names that one iteration of a ``for`` loop hands to the next: read in the body before the
    body assigns them, and assigned in the body. Sorted; empty when iterations look independent."""
    flow = _Flow()
    flow.target(loop.target)  # type: ignore[attr-defined]
    flow.statements(loop.body)  # type: ignore[attr-defined]
    return sorted(flow.early & flow.stored)


# ---------------------------------------------------------------- units


class SourceUnit:
    """A piece of a file scored on its own: the whole file, its module body, a function or a method."""

    __slots__ = ("name", "kind", "first", "last", "ranges", "code", "scan")

    def __init__(self, name: str, kind: str, first: int, last: int, ranges: List[List[int]], code: str,
                 scan: UnitScan) -> None:
        self.name, self.kind, self.first, self.last, self.ranges = name, kind, first, last, ranges
        self.code, self.scan = code, scan

    @property
    def short_name(self) -> Optional[str]:
        """The function's own name for the scorer's name-based keywords; None for other units."""
        return self.name.rsplit(".", 1)[-1] if self.kind in ("function", "method") else None


def _ranges(numbers: Iterable[int]) -> List[List[int]]:
    """Consecutive runs of sorted line numbers as [first, last] pairs."""
    runs: List[List[int]] = []
    for n in numbers:
        if runs and runs[-1][1] == n - 1:
            runs[-1][1] = n
        else:
            runs.append([n, n])
    return runs


def _is_docstring(node: ast.AST) -> bool:
    return (isinstance(node, ast.Expr) and isinstance(node.value, ast.Constant)
            and isinstance(node.value.value, str))


def _code_of(lines: Sequence[str], numbers: Iterable[int]) -> str:
    return "\n".join([lines[n - 1] for n in numbers])


_FUNCS = (ast.FunctionDef, ast.AsyncFunctionDef)
_GUARDS = tuple(getattr(ast, name) for name in ("If", "Try", "TryStar", "With", "AsyncWith") if hasattr(ast, name))


def _top_level(statements: Sequence[ast.AST]) -> Iterator[Tuple[str, ast.AST, str]]:
    """(kind, node, class name) in file order: "function" and "method" for the definitions that
    are units, "classdef" for each class, "class" and "body" for what belongs to the module body (a class's header
    expressions and non-method statements, and every other statement). Definitions inside a
    top-level ``if``, ``try`` or ``with`` count as top-level; the guard's own expressions belong to
    the body. (A generator, not a recursive closure: a closure that calls itself is a reference
    cycle that would keep every node alive until the cyclic collector runs.)"""
    for node in statements:
        if isinstance(node, _FUNCS):
            yield "function", node, ""
        elif isinstance(node, ast.ClassDef):
            yield "classdef", node, node.name
            header: List[ast.AST] = [*node.decorator_list, *node.bases, *node.keywords]
            for part in header:
                yield "class", part, node.name
            for item in node.body:
                yield ("method" if isinstance(item, _FUNCS) else "class"), item, node.name
        elif isinstance(node, _GUARDS):
            for guard in _guard_expressions(node):
                yield "body", guard, ""
            for field in ("body", "orelse", "finalbody"):
                yield from _top_level(getattr(node, field, None) or [])
            for handler in getattr(node, "handlers", None) or []:
                if handler.type is not None:
                    yield "body", handler.type, ""
                yield from _top_level(handler.body)
        else:
            yield "body", node, ""


def _guard_expressions(node: ast.AST) -> List[ast.AST]:
    if isinstance(node, ast.If):
        return [node.test]
    if isinstance(node, (ast.With, ast.AsyncWith)):
        return list(node.items)
    return []


class FileSource:
    """One parsed file: its units (module body, functions, methods), the whole-file unit, and the
    imports found anywhere in it."""

    def __init__(self, text: str, filename: str = "<source>") -> None:
        text = normalise_newlines(text)
        self.tree = parse_source(text, filename)
        self.line_count = text.count("\n") + (1 if text and not text.endswith("\n") else 0)
        self.lines = strip_prose(text).split("\n")
        self.units = self._split(text.split("\n"))
        whole = UnitScan()
        for unit in self.units:
            whole.merge(unit.scan)
        last = max(self.line_count, 1)
        self.whole = SourceUnit("<file>", "file", 1, last, [[1, last]], "\n".join(self.lines[:last]), whole)
        whole.imports.sort(key=lambda r: r.line)
        self.imports = whole.imports

    def _split(self, raw_lines: List[str]) -> List[SourceUnit]:
        """The module body, each top-level function and each method of a top-level class, in file
        order; definitions inside a top-level ``if``, ``try`` or ``with`` count as top-level. The
        module body is every line that belongs to no function or method (imports, constants, class
        headers, top-level statements); it is left out when it holds no statement."""
        lines, tree = self.lines, self.tree
        units: List[SourceUnit] = []
        body_nodes: List[ast.AST] = []
        taken = bytearray(len(lines) + 2)

        def add(name: str, kind: str, node: ast.AST) -> None:
            first, last = _start(node)[0], _end(node)[0]
            code = "\n".join(lines[first - 1:last])
            units.append(SourceUnit(name, kind, first, last, [[first, last]], code, scan_unit([node], code)))
            taken[first:last + 1] = b"\x01" * (last + 1 - first)

        has_class = False
        for kind, node, owner in _top_level(tree.body):
            if kind == "function":
                add(node.name, "function", node)  # type: ignore[attr-defined]
            elif kind == "method":
                add("%s.%s" % (owner, node.name), "method", node)  # type: ignore[attr-defined]
            elif kind == "classdef":
                has_class = True  # its header line belongs to the module body
            else:
                body_nodes.append(node)
        if has_class or any(not _is_docstring(n) for n in body_nodes):
            count = self.line_count
            kept = [i for i in range(1, count + 1) if not taken[i]]
            ranges = _ranges(i for i in kept if raw_lines[i - 1].strip())
            code = _code_of(lines, kept)
            body = SourceUnit("<module>", "module", kept[0] if kept else 1, kept[-1] if kept else 1,
                              ranges, code, scan_unit(body_nodes, code))
            units.insert(0, body)
        return units


# ---------------------------------------------------------------- packages

_PACKAGE_CACHE: Dict[str, Optional[str]] = {}


def package_of(path: str) -> Optional[str]:
    """The top-level package a file belongs to (the outermost folder of an unbroken chain of
    folders holding ``__init__.py``), or None for a file outside any package."""
    folder = os.path.dirname(os.path.abspath(path))
    cached = _PACKAGE_CACHE.get(folder, "")
    if cached != "":
        return cached
    top: Optional[str] = None
    current = folder
    while os.path.isfile(os.path.join(current, "__init__.py")):
        top = os.path.basename(current)
        parent = os.path.dirname(current)
        if parent == current:
            break
        current = parent
    if len(_PACKAGE_CACHE) > 4096:
        _PACKAGE_CACHE.clear()
    _PACKAGE_CACHE[folder] = top
    return top


def framework_imports(imports: Sequence[ImportRecord], package: Optional[str]) -> Dict[str, List[ImportRecord]]:
    """The imports of each known framework: absolute imports of it, and relative imports when the
    file lies inside the framework's own package."""
    found: Dict[str, List[ImportRecord]] = {}
    for record in imports:
        top = package if record.level else record.top
        if top in FRAMEWORK_MODULES:
            found.setdefault(FRAMEWORK_MODULES[top], []).append(record)
    return found


def framework_bindings(found: Dict[str, List[ImportRecord]]) -> Dict[str, FrozenSet[str]]:
    """Local names bound to each framework by its imports (aliases included)."""
    return {fw: frozenset(r.binds for r in records if r.binds) for fw, records in found.items()}
