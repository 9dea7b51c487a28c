"""Benchmark harness: interleaved timeit repeats, medians, and ratios measured in one run.

A benchmark file defines ``register(bench)`` and adds operations with ``bench.op``. Each operation
is timed beside its comparisons in the same run, repeat by repeat (interleaved), so a noisy machine
moves all of them together; the report shows ratios, never a bare absolute time as the verdict.

    bench.op(
        "AtomicCounter.increment",
        native="c.increment()",            # statement (or zero-argument callable)
        twin="t.increment()",              # pure-Python twin (lock-guarded where it has state)
        floor="n.bit_length()",            # built-in C call of the same arity
        peers={"cereggii": "r.increment_and_get()" if cereggii else None},   # None: not installed
        ns={"c": ..., "t": ..., "n": 5},   # globals for the statements
        floor_max=1.75,                    # bar: native / floor <= floor_max
        twin_min=5.0,                      # bar: twin / native >= twin_min
        peer_min=1.0,                      # bar: best peer / native >= peer_min
    )

Ratios: ``x twin`` = twin time / native time (a speed-up, higher is better); ``x floor`` = native
time / floor time (an overhead, lower is better); ``x peer`` = peer time / native time for the best
(fastest) of the third-party peers, named in ``peer``; every peer's ratio is in ``peers``. A peer
whose package is not installed on this interpreter is timed as nothing and reported as absent; a bar
on it is not evaluated (``met`` None) and does not count as missed. ``peer_bars`` holds bars on one
named peer rather than on the best.

The twins are the models of tests/reference/ (importable as ``reference.<module>`` once this module
is imported) or thin lock-guarded wrappers of them.
"""

from __future__ import annotations

import importlib
import json
import os
import statistics
import sys
import timeit
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

Stmt = Union[str, Callable[[], Any]]

# The pure-Python models live in tests/reference/ (package `reference`), shared with the tests.
_TESTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests")
if os.path.isdir(os.path.join(_TESTS, "reference")) and _TESTS not in sys.path:
    sys.path.insert(0, _TESTS)


def import_peer(name: str) -> Any:
    """The peer's module, or None when it is not installed here (the peer is then reported absent)."""
    try:
        return importlib.import_module(name)
    except Exception:  # ImportError, or a package that installs but does not load on this interpreter
        return None


@dataclass
class Op:
    name: str
    native: Stmt
    twin: Optional[Stmt] = None
    floor: Optional[Stmt] = None
    peer: Optional[Stmt] = None
    peers: Dict[str, Optional[Stmt]] = field(default_factory=dict)
    ns: Dict[str, Any] = field(default_factory=dict)
    floor_max: Optional[float] = None
    twin_min: Optional[float] = None
    peer_min: Optional[float] = None
    peer_bars: Dict[str, float] = field(default_factory=dict)
    number: Optional[int] = None
    ops_per_call: int = 1
    result: Dict[str, Any] = field(default_factory=dict)


def _timer(stmt: Stmt, ns: Dict[str, Any]) -> timeit.Timer:
    return timeit.Timer(stmt, globals=ns) if isinstance(stmt, str) else timeit.Timer(stmt)


def _calibrate(timer: timeit.Timer, target_s: float) -> int:
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= target_s / 4 or number >= 1 << 24:
            return max(1, int(number * target_s / max(elapsed, 1e-9)))
        number *= 4


class Bench:
    """A set of operations timed and reported together."""

    def __init__(self, quick: bool = False, progress: Optional[Callable[[str], None]] = None) -> None:
        self.quick = quick
        self.repeats = 3 if quick else 9
        self.target_s = 0.01 if quick else 0.05
        self.ops: List[Op] = []
        self.progress = progress or (lambda msg: None)

    def op(self, name: str, native: Stmt, **kwargs: Any) -> Op:
        entry = Op(name=name, native=native, **kwargs)
        self.ops.append(entry)
        return entry

    def _run_op(self, op: Op) -> None:
        peers = dict(op.peers)
        if op.peer is not None:
            peers.setdefault("peer", op.peer)
        roles = [(r, getattr(op, r)) for r in ("native", "twin", "floor") if getattr(op, r) is not None]
        roles += [("peer:" + name, stmt) for name, stmt in peers.items() if stmt is not None]
        timers = {role: _timer(stmt, op.ns) for role, stmt in roles}
        numbers = {role: op.number or _calibrate(t, self.target_s) for role, t in timers.items()}
        samples: Dict[str, List[float]] = {role: [] for role in timers}
        for _ in range(self.repeats):
            for role, t in timers.items():
                samples[role].append(t.timeit(numbers[role]) / (numbers[role] * op.ops_per_call))
        med = {role: statistics.median(v) * 1e9 for role, v in samples.items()}
        res: Dict[str, Any] = {"op": op.name, "ns_per_op": med["native"]}
        if "twin" in med:
            res["x_twin"] = med["twin"] / med["native"]
        if "floor" in med:
            res["x_floor"] = med["native"] / med["floor"]
        if peers:
            ratios = {name: (med["peer:" + name] / med["native"] if "peer:" + name in med else None)
                      for name in peers}
            res["peers"] = ratios
            present = {name: r for name, r in ratios.items() if r is not None}
            if present:
                best = min(present, key=present.__getitem__)  # the fastest peer: the smallest ratio
                res["x_peer"], res["peer"] = present[best], best
        bars: List[Tuple[str, Optional[bool]]] = []
        if op.floor_max is not None and "x_floor" in res:
            bars.append(("floor<=%.2f" % op.floor_max, res["x_floor"] <= op.floor_max))
        if op.twin_min is not None and "x_twin" in res:
            bars.append(("twin>=%.1f" % op.twin_min, res["x_twin"] >= op.twin_min))
        if op.peer_min is not None and peers:
            bars.append(("peer>=%.1f" % op.peer_min, res["x_peer"] >= op.peer_min if "x_peer" in res else None))
        for name, minimum in op.peer_bars.items():
            ratio = res.get("peers", {}).get(name)
            bars.append(("%s>=%.1f" % (name, minimum), None if ratio is None else ratio >= minimum))
        res["bars"] = [{"bar": b, "met": m} for b, m in bars]
        res["met"] = all(m is not False for _, m in bars)
        op.result = res

    def run(self) -> List[Dict[str, Any]]:
        for i, op in enumerate(self.ops, 1):
            self.progress("[%d/%d] %s" % (i, len(self.ops), op.name))
            self._run_op(op)
        return [op.result for op in self.ops]


def bar_text(bar: Dict[str, Any]) -> str:
    return "%s %s" % (bar["bar"], {True: "ok", False: "MISSED", None: "absent"}[bar["met"]])


def peer_cell(row: Dict[str, Any]) -> str:
    """The x peer cell: the best peer's ratio and name, "absent" when no peer is installed, "-" when none."""
    if "x_peer" in row:
        return "%.2f %s" % (row["x_peer"], row["peer"])
    return "absent" if row.get("peers") else "-"


def absent_peers(rows: List[Dict[str, Any]]) -> List[str]:
    """The peers not installed on this interpreter, in first-seen order."""
    names: List[str] = []
    for r in rows:
        for name, ratio in r.get("peers", {}).items():
            if ratio is None and name not in names:
                names.append(name)
    return names


def format_table(rows: List[Dict[str, Any]]) -> str:
    def fmt(v: Optional[float], form: str) -> str:
        return "-" if v is None else format(v, form)

    from velmora._table import render_table

    header = ("operation", "ns/op", "x twin", "x floor", "x peer", "bars")
    lines = []
    for r in rows:
        bars = ", ".join(bar_text(b) for b in r["bars"]) or "-"
        lines.append((r["op"], fmt(r["ns_per_op"], ".1f"), fmt(r.get("x_twin"), ".2f"),
                      fmt(r.get("x_floor"), ".2f"), peer_cell(r), bars))
    out = render_table(header, lines, right=(1, 2, 3, 4))
    absent = absent_peers(rows)
    if absent:
        out += "\nabsent peers (not installed on this interpreter): " + ", ".join(absent)
    return out


def main(register: Callable[[Bench], None], argv: Optional[List[str]] = None) -> int:
    """Standalone entry for one benchmark file: [--quick] [--json]."""
    argv = sys.argv[1:] if argv is None else argv
    bench = Bench(quick="--quick" in argv, progress=lambda m: print(m, file=sys.stderr, flush=True))
    register(bench)
    rows = bench.run()
    if "--json" in argv:
        print(json.dumps(rows, indent=2))
    else:
        print(format_table(rows))
    return 0 if all(r["met"] for r in rows) else 1
