"""velmora.jit.compilegate in plain Python: policy validation, the compile decision, threshold learning.

`Gate` is the engine: one threading.Lock around the threshold lookup and the metrics reads of a
decision, and around an update's write, as the native engine holds its lock. NaN arithmetic in an
update leaves the current threshold (then clamps); a NaN elapsed time allows recompilation.
"""

import logging
import math
import threading
import time

logger = logging.getLogger("reference.compilegate")

RECOMPILE_INTERVAL = 600.0


def config_error(initial_threshold, min_threshold, max_threshold, learning_rate, target_speedup):
    """The message of the first validation rule the values fail, or None when they are valid."""
    if min_threshold <= 0:
        return "min_threshold must be positive"
    if min_threshold >= max_threshold:
        return "max_threshold must be greater than min_threshold"
    if not (0 < learning_rate <= 1):
        return "learning_rate must be in (0, 1]"
    if target_speedup <= 0:
        return "target_speedup must be positive"
    if initial_threshold < min_threshold or initial_threshold > max_threshold:
        return "initial_threshold must be within bounds"
    return None


class Config:
    __slots__ = ("initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup")

    def __init__(self, initial_threshold=100, min_threshold=10, max_threshold=10000, learning_rate=0.1,
                 target_speedup=2.0):
        error = config_error(initial_threshold, min_threshold, max_threshold, learning_rate, target_speedup)
        if error is not None:
            raise ValueError(error)
        self.initial_threshold, self.min_threshold, self.max_threshold = initial_threshold, min_threshold, max_threshold
        self.learning_rate, self.target_speedup = learning_rate, target_speedup


def compile_decision(now, threshold, call_count, compile_count, last_compiled):
    if call_count < threshold:
        return False
    if compile_count == 0:
        return True
    return not (now - last_compiled < RECOMPILE_INTERVAL)


def next_threshold(current, compile_count, avg_speedup, target, rate, low, high):
    """New threshold after one update (NaN arithmetic leaves the current value, then clamps)."""
    ratio = avg_speedup / target if target > 0 else avg_speedup
    adjustment = rate * float(current)
    if ratio > 1.0:
        adjustment = -adjustment
    value = float(current)
    if compile_count <= 10:
        confidence = compile_count * 0.1
        value += (1.0 - confidence) * adjustment
    if math.isnan(value):
        value = float(current)
    if value < low:
        return low
    if value > high:
        return high
    return int(value)


class Gate:
    """CompileGate: a learned threshold per function, fed by a store's get_metrics(func_id)."""

    def __init__(self, config=None):
        self._config = Config() if config is None else config
        self._thresholds = {}
        self._lock = threading.Lock()

    @property
    def config(self):
        return self._config

    def get_threshold(self, func_id):
        with self._lock:
            return self._thresholds.get(func_id, self._config.initial_threshold)

    def should_compile(self, func_id, telemetry_store):
        now = time.time()
        with self._lock:
            threshold = self._thresholds.get(func_id, self._config.initial_threshold)
            metrics = telemetry_store.get_metrics(func_id)
            call_count = metrics.call_count
            compile_count = metrics.compile_count
            last_compiled = getattr(metrics, "last_compiled", 0.0)
        return compile_decision(now, threshold, call_count, compile_count, last_compiled)

    def update(self, func_id, telemetry_store):
        with self._lock:
            metrics = telemetry_store.get_metrics(func_id)
            if metrics.compile_count == 0:
                return
            current = self._thresholds.get(func_id, self._config.initial_threshold)
            avg_speedup = metrics.avg_speedup
            cfg = self._config
            new = next_threshold(current, metrics.compile_count, avg_speedup, cfg.target_speedup,
                                 cfg.learning_rate, cfg.min_threshold, cfg.max_threshold)
            self._thresholds[func_id] = new
        logger.debug(f"Updated threshold for {func_id}: {current} -> {new} (speedup: {avg_speedup:.2f}x)")

    def get_statistics(self):
        with self._lock:
            values = list(self._thresholds.values())
            cfg = self._config
            if not values:
                return {"tracked_functions": 0, "avg_threshold": cfg.initial_threshold,
                        "min_threshold": cfg.min_threshold, "max_threshold": cfg.max_threshold}
            return {"tracked_functions": len(values), "avg_threshold": sum(values) / len(values),
                    "min_threshold": min(values), "max_threshold": max(values)}
