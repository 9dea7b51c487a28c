"""The keyword tables of the native workload scorer (taskgauge), used to explain its scores.

The scorer counts table entries that occur as plain substrings of the lower-cased code, each entry
at most once. It does not expose which entries it found, so the evidence that ``velmora analyze``
prints is computed here with the same rule over the same tables; ``matched`` gives, for a piece of
code, the entries behind every count. The counts themselves always come from the scorer, and the
test suite checks that the two agree.
"""

from __future__ import annotations

import re
from typing import AbstractSet, Dict, FrozenSet, Iterable, List, Optional, Tuple

__all__ = ["FRAMEWORK_TABLES", "INDICATOR_TABLES", "NAME_CATEGORIES", "entries_in", "matched"]

FRAMEWORK_TABLES: Dict[str, Tuple[str, ...]] = {
    "numpy": ("numpy", "np.", "ndarray", "array", "matrix", "vectorize", "broadcast", "ufunc", "dot", "matmul",
              "linalg", "fft", "sum", "mean", "std", "var", "min", "max", "argmax", "argmin", "reshape",
              "transpose", "concatenate", "stack", "split"),
    "pandas": ("pandas", "pd.", "dataframe", "series", "groupby", "apply", "agg", "transform", "merge", "join",
               "concat", "pivot", "melt", "query", "eval", "rolling", "resample", "sort_values"),
    "sklearn": ("sklearn", "fit", "predict", "transform", "score", "cross_val", "gridsearchcv",
                "randomizedsearchcv", "pipeline", "featureunion", "train_test_split", "classification",
                "regression", "clustering", "preprocessing", "model_selection", "metrics", "ensemble"),
}

# In the order of score_indicators' result.
INDICATOR_TABLES: Dict[str, Tuple[str, ...]] = {
    "cpu": ("for", "while", "range", "numpy", "scipy", "math", "calculation", "compute", "algorithm", "sum", "prod",
            "dot", "matmul", "fft", "linalg"),
    "memory": ("array", "list", "dict", "pandas", "dataframe", "allocate", "buffer", "cache", "append", "extend"),
    "parallel": ("multiprocessing", "threading", "concurrent", "async", "parallel", "pool", "worker", "chunk",
                 "batch", "processpoolexecutor", "threadpoolexecutor"),
    "gpu_op": ("matmul", "dot", "tensordot", "@", "fft", "ifft", "rfft", "convolve", "correlate", "sum", "mean", "std",
               "var", "sin", "cos", "exp", "log", "sqrt", "power", "**", "add", "subtract", "multiply", "divide", "/",
               "*", "+", "-", "linalg", "linear_algebra", "array", "asarray", "zeros", "ones", "empty", "full"),
    "large_data": ("reshape", "resize", "huge", "large", "gigabyte", "gb", "million", "billion", "1e6", "1e9", "1024",
                   "megabyte", "mb"),
    "embarrassing": ("workload", "benchmark", "intensive", "chunk_workload", "map", "apply", "vectorize",
                     "broadcast"),
    "sequential": ("global", "nonlocal", "lock", "mutex", "synchronized", "sequential", "ordered", "dependencies"),
}

# Categories whose entries also count when they occur in the function's own name.
NAME_CATEGORIES = frozenset(("gpu_op", "embarrassing"))


_ALL_ENTRIES = tuple(sorted({e for table in (*FRAMEWORK_TABLES.values(), *INDICATOR_TABLES.values()) for e in table}))
# Entries made of letters and underscores can only occur inside one identifier or keyword of the
# code; the others (np., @, **, 1024 ...) are looked for in the whole text.
_WORD_ENTRIES = tuple(e for e in _ALL_ENTRIES if re.fullmatch(r"[a-z_]+", e))
_OTHER_ENTRIES = tuple(e for e in _ALL_ENTRIES if e not in _WORD_ENTRIES)
_IDENTIFIER = re.compile(r"[^\W\d]\w*")


def entries_in(code: str, words: Optional[Iterable[str]] = None) -> FrozenSet[str]:
    """Every table entry that occurs in ``code`` (lower-cased), as the scorer tests them.

    ``words``: the identifiers of ``code`` when already known. A letters-only entry occurs in the
    text exactly when it occurs in one of its identifiers (a run of name characters starting with
    a letter holds every letter the run does), so those entries are searched in the identifiers
    alone, which are far shorter than the text.
    """
    low = code.lower()
    names = "\n".join({w.lower() for w in (_IDENTIFIER.findall(code) if words is None else words)})
    found = [e for e in _WORD_ENTRIES if e in names]
    found += [e for e in _OTHER_ENTRIES if e in low]
    return frozenset(found)


def matched(code: str, function_name: Optional[str] = None,
            found: Optional[AbstractSet[str]] = None) -> Tuple[Dict[str, List[str]], Dict[str, List[str]]]:
    """(entries found in the code per table, entries found only in the function name per category).

    Tables are the three framework tables and the seven indicator categories, entries in table
    order. ``found`` may pass ``entries_in(code)`` when it is already known (a file's entries are
    the union of its units' entries: no entry spans a line break).
    """
    present = entries_in(code) if found is None else found
    name = (function_name or "").lower()
    in_code: Dict[str, List[str]] = {}
    for table, entries in FRAMEWORK_TABLES.items():
        in_code[table] = [e for e in entries if e in present]
    by_name: Dict[str, List[str]] = {}
    for category, entries in INDICATOR_TABLES.items():
        in_code[category] = [e for e in entries if e in present]
        if category in NAME_CATEGORIES and name:
            only = [e for e in entries if e not in present and e in name]
            if only:
                by_name[category] = only
    return in_code, by_name
