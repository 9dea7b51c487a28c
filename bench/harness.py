"""Benchmark harness: interleaved timeit repeats, medians, and ratios measured in one run.

A benchmark file defines ``register(bench)`` and adds operations with ``bench.op``. Each operation
is timed beside its comparisons in the same run, repeat by repeat (interleaved), so a noisy machine
moves all of them together; the report shows ratios, never a bare absolute time as the verdict.

    bench.op(
        "AtomicCounter.increment",
        native="c.increment()",            # statement (or zero-argument callable)
        twin="t.increment()",              # pure-Python twin (lock-guarded where it has state)
        floor="n.bit_length()",            # built-in C call of the same arity
        peer=None,                         # best third-party peer, where there is one
        ns={"c": ..., "t": ..., "n": 5},   # globals for the statements
        floor_max=1.75,                    # bar: native / floor <= floor_max
        twin_min=5.0,                      # bar: twin / native >= twin_min
    )

Ratios: ``x twin`` = twin time / native time (a speed-up, higher is better); ``x floor`` = native
time / floor time (an overhead, lower is better); ``x peer`` = peer time / native time.
"""

from __future__ import annotations

import json
import statistics
import sys
import timeit
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Union

Stmt = Union[str, Callable[[], Any]]


@dataclass
class Op:
    name: str
    native: Stmt
    twin: Optional[Stmt] = None
    floor: Optional[Stmt] = None
    peer: Optional[Stmt] = None
    ns: Dict[str, Any] = field(default_factory=dict)
    floor_max: Optional[float] = None
    twin_min: Optional[float] = None
    peer_min: Optional[float] = None
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
        roles = [(r, getattr(op, r)) for r in ("native", "twin", "floor", "peer") if getattr(op, r) is not None]
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
        if "peer" in med:
            res["x_peer"] = med["peer"] / med["native"]
        bars = []
        if op.floor_max is not None and "x_floor" in res:
            bars.append(("floor<=%.2f" % op.floor_max, res["x_floor"] <= op.floor_max))
        if op.twin_min is not None and "x_twin" in res:
            bars.append(("twin>=%.1f" % op.twin_min, res["x_twin"] >= op.twin_min))
        if op.peer_min is not None and "x_peer" in res:
            bars.append(("peer>=%.1f" % op.peer_min, res["x_peer"] >= op.peer_min))
        res["bars"] = [{"bar": b, "met": m} for b, m in bars]
        res["met"] = all(m for _, m in bars)
        op.result = res

    def run(self) -> List[Dict[str, Any]]:
        for i, op in enumerate(self.ops, 1):
            self.progress("[%d/%d] %s" % (i, len(self.ops), op.name))
            self._run_op(op)
        return [op.result for op in self.ops]


def format_table(rows: List[Dict[str, Any]]) -> str:
    def fmt(v: Optional[float], form: str) -> str:
        return "-" if v is None else format(v, form)

    from velmora._table import render_table

    header = ("operation", "ns/op", "x twin", "x floor", "x peer", "bars")
    lines = []
    for r in rows:
        bars = ", ".join("%s %s" % (b["bar"], "ok" if b["met"] else "MISSED") for b in r["bars"]) or "-"
        lines.append((r["op"], fmt(r["ns_per_op"], ".1f"), fmt(r.get("x_twin"), ".2f"),
                      fmt(r.get("x_floor"), ".2f"), fmt(r.get("x_peer"), ".2f"), bars))
    return render_table(header, lines, right=(1, 2, 3, 4))


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
