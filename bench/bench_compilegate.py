"""Benchmark of velmora.jit.compilegate's hot operations against a lock-guarded pure-Python twin.

Targets: should_compile < 1 us, update < 1 us, get_threshold < 100 ns. Bars: get_threshold at most
3x the floor of a one-argument built-in call; all three at least 3x faster than the twin.

Run from the repository root: PYTHONPATH=src python bench/bench_compilegate.py [--quick] [--json]
"""

import logging
import os
import sys
import threading
import time
import types

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402

from velmora.jit import compilegate  # noqa: E402
from velmora.jit.telemetry_store import TelemetryStore  # noqa: E402

logger = logging.getLogger("bench.compilegate.twin")


class TwinConfig:
    __slots__ = ("initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup")

    def __init__(self):
        self.initial_threshold, self.min_threshold, self.max_threshold = 100, 10, 10000
        self.learning_rate, self.target_speedup = 0.1, 2.0


class TwinGate:
    """The engine's logic in plain Python, guarded by a threading.Lock."""

    def __init__(self):
        self._config = TwinConfig()
        self._thresholds = {}
        self._lock = threading.Lock()
        self._recompile_interval = 600.0

    def get_threshold(self, func_id):
        with self._lock:
            return self._thresholds.get(func_id, self._config.initial_threshold)

    def should_compile(self, func_id, telemetry_store):
        current_time = time.time()
        with self._lock:
            threshold = self._thresholds.get(func_id, self._config.initial_threshold)
            metrics = telemetry_store.get_metrics(func_id)
            call_count = metrics.call_count
            compile_count = metrics.compile_count
            last_compiled = getattr(metrics, "last_compiled", 0.0)
        if call_count < threshold:
            return False
        if compile_count == 0:
            return True
        return current_time - last_compiled >= self._recompile_interval

    def update(self, func_id, telemetry_store):
        with self._lock:
            metrics = telemetry_store.get_metrics(func_id)
            if metrics.compile_count == 0:
                return
            current = self._thresholds.get(func_id, self._config.initial_threshold)
            compile_count = metrics.compile_count
            avg_speedup = metrics.avg_speedup
            cfg = self._config
            ratio = avg_speedup / cfg.target_speedup if cfg.target_speedup > 0 else avg_speedup
            adjustment = cfg.learning_rate * current
            if ratio > 1.0:
                adjustment = -adjustment
            value = float(current)
            if compile_count <= 10:
                value += (1.0 - compile_count * 0.1) * adjustment
            if value < cfg.min_threshold:
                new = cfg.min_threshold
            elif value > cfg.max_threshold:
                new = cfg.max_threshold
            else:
                new = int(value)
            self._thresholds[func_id] = new
        logger.debug(f"Updated threshold for {func_id}: {current} -> {new} (speedup: {avg_speedup:.2f}x)")


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

    native, twin = compilegate.CompileGate(), TwinGate()
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
