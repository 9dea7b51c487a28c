"""Benchmark of velmora.jit.compilegate's hot operations against a lock-guarded pure-Python twin.

The twin is the engine model of tests/reference/compilegate.py (one threading.Lock per engine).

Targets: should_compile < 1 us, update < 1 us, get_threshold < 100 ns. Bars: get_threshold at most
3x the floor of a one-argument built-in call; all three at least 3x faster than the twin.

Run from the repository root: PYTHONPATH=src python bench/bench_compilegate.py [--quick] [--json]
"""

import os
import sys
import types

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402

from velmora.jit import compilegate  # noqa: E402
from velmora.jit.telemetry_store import TelemetryStore  # noqa: E402

from reference import compilegate as model  # noqa: E402


def register(bench):
    # A store whose get_metrics is a C-level dict lookup, so the engines' own cost dominates.
    decide = compilegate.FunctionMetrics(call_count=1000, compile_count=1, last_compiled=0.0)
    learn = compilegate.FunctionMetrics(call_count=1000, compile_count=5, avg_speedup=3.0)
    fast_store = types.SimpleNamespace(get_metrics={"f": decide, "g": learn}.__getitem__)
    real_store = TelemetryStore()
    for _ in range(200):
        real_store.record_call("f", execution_time_ms=1.0)
    real_store.record_compile("f", 3.0)
    real_store.record_compile("f", 1.0)

    native, twin = compilegate.CompileGate(), model.Gate()
    native.update("g", fast_store)
    twin.update("g", fast_store)
    ns = {"c": native, "t": twin, "s": fast_store, "r": real_store, "d": {"f": 1}}

    bench.op("CompileGate.get_threshold", native="c.get_threshold('f')", twin="t.get_threshold('f')",
             floor="d.get('f')", ns=ns, floor_max=3.0, twin_min=3.0)
    bench.op("CompileGate.should_compile", native="c.should_compile('f', s)", twin="t.should_compile('f', s)",
             floor="d.get('f', None)", ns=ns, twin_min=3.0)
    bench.op("CompileGate.update", native="c.update('g', s)", twin="t.update('g', s)",
             floor="d.get('g', None)", ns=ns, twin_min=3.0)
    # For information: with the real TelemetryStore, whose own lock and snapshot both engines pay.
    bench.op("CompileGate.should_compile (TelemetryStore)", native="c.should_compile('f', r)",
             twin="t.should_compile('f', r)", ns=ns)


if __name__ == "__main__":
    sys.exit(harness.main(register))
