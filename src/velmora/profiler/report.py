"""The profile report: functions ranked by measured time, with what the package's modules say.

``build_report`` turns the collector's measurements into the report: time shares of the run,
calls, and per-call times (aggregated with tallyhub); then it puts the package's own modules to
work on them. Each function's call count and time go into a ``TelemetryStore``; a fresh
``CompileGate`` (default policy) says whether it would be compiled and after how many calls; and
the top functions are scored with the static analysis (``velmora.analysis``) of the unit of
source that holds them, which gives their workload pattern and the suggested action.
"""

from __future__ import annotations

import os
import sys
from typing import Any, Callable, Dict, List, Optional

from velmora.profiler.collector import FunctionStats

__all__ = ["build_report", "function_id"]


def _qualname(code: Any) -> str:
    return getattr(code, "co_qualname", None) or code.co_name


def function_id(code: Any) -> str:
    """The telemetry key of a function: file, first line and qualified name."""
    return "%s:%d:%s" % (code.co_filename, code.co_firstlineno, _qualname(code))


def _display_file(path: str, base: str) -> str:
    """A function's file as shown: relative to the working folder when under it, else relative to
    the import path entry it came from (``json/decoder.py``), else as recorded."""
    if path.startswith("<"):
        return path
    for root in [base] + sorted((p for p in sys.path if p), key=len, reverse=True):
        try:
            rel = os.path.relpath(path, root)
        except ValueError:
            continue
        if not (rel.startswith(os.pardir + os.sep) or rel == os.pardir):
            return rel
    return path


def _unit_for(record: Dict[str, Any], line: int, name: str) -> Optional[Dict[str, Any]]:
    """The unit of an analysed file that holds a function starting at ``line``."""
    best = None
    for unit in record["units"]:
        if unit["kind"] == "module":
            continue
        first, last = unit["lines"]
        if first <= line <= last and (best is None or last - first < best["lines"][1] - best["lines"][0]):
            best = unit
    if best is None and name == "<module>":
        best = next((u for u in record["units"] if u["kind"] == "module"), None)
    return best


def build_report(stats: List[FunctionStats], wall: float, top: int,
                 analyze_file: Optional[Callable[[str], Dict[str, Any]]] = None, base: str = ".") -> Dict[str, Any]:
    """The report's functions (all, ranked by own time) and summary.

    ``analyze_file`` returns the static analysis record of a file (or raises); the top ``top``
    functions get an ``analysis`` entry from it.
    """
    from velmora.jit.compilegate import CompileGate
    from velmora.jit.telemetry_store import TelemetryStore

    store, gate = TelemetryStore(), CompileGate()
    ordered = sorted(stats, key=lambda s: (-s.own, -s.calls, function_id(s.code)))
    analysed: Dict[str, Optional[Dict[str, Any]]] = {}
    functions = []
    for rank, s in enumerate(ordered, 1):
        code = s.code
        fid = function_id(code)
        store.record_calls(fid, s.calls, s.total * 1000.0)
        threshold = gate.get_threshold(fid)
        would = bool(gate.should_compile(fid, store))
        entry: Dict[str, Any] = {
            "rank": rank, "function": _qualname(code), "file": _display_file(code.co_filename, base),
            "path": code.co_filename, "line": code.co_firstlineno, "calls": s.calls,
            "own_s": s.own, "total_s": s.total,
            "own_share": s.own / wall if wall > 0 else 0.0, "total_share": s.total / wall if wall > 0 else 0.0,
            "own_per_call_s": s.mean, "own_std_s": s.std, "own_min_s": s.minimum, "own_max_s": s.maximum,
            "compile": {"func_id": fid, "call_count": store.get_metrics(fid).call_count, "threshold": threshold,
                        "would_compile": would},
            "analysis": None,
        }
        if rank <= top and analyze_file is not None and code.co_filename.endswith(".py"):
            path = code.co_filename
            if path not in analysed:
                try:
                    analysed[path] = analyze_file(path)
                except Exception:  # unreadable or unparsable source: no static verdict for it
                    analysed[path] = None
            record = analysed[path]
            unit = _unit_for(record, code.co_firstlineno, code.co_name) if record else None
            if unit is not None:
                advice = unit["advice"]
                entry["analysis"] = {"unit": unit["name"], "pattern": unit["pattern"], "category": unit["category"],
                                     "action": advice["action"], "speedup": advice["speedup"],
                                     "reason": advice["reason"]}
        functions.append(entry)
    measured = sum(s.own for s in stats)
    return {"functions": functions,
            "summary": {"functions": len(functions), "calls": sum(s.calls for s in stats), "measured_s": measured,
                        "wall_s": wall, "would_compile": sum(f["compile"]["would_compile"] for f in functions)}}
