"""Per-function call and compilation telemetry for the JIT manager.

The JIT manager records every call of a function (``record_call``) and every
compilation with its measured speed-up (``record_compile``).  The compile
policy (``velmora.jit.compilegate``) reads a consistent snapshot of one
function's counters through ``get_metrics``.

All methods may be called from any thread: one ``threading.Lock`` per store
guards the per-function counters, and ``get_metrics`` returns an immutable
snapshot taken under that lock, so a reader never sees a half-applied update.
"""

import math
import operator
import threading
import time
from typing import Callable, Dict, Hashable, NamedTuple

__all__ = ["FunctionTelemetry", "TelemetryStore"]


class FunctionTelemetry(NamedTuple):
    """Snapshot of one function's counters.

    ``last_compiled`` is the wall-clock timestamp (seconds, as read by the
    store's clock) of the latest compilation, 0.0 when never compiled.
    ``avg_speedup`` is the mean of all recorded speed-ups, 1.0 when none.
    """

    call_count: int = 0
    compile_count: int = 0
    avg_speedup: float = 1.0
    total_execution_time_ms: float = 0.0
    last_compiled: float = 0.0


# A function the store has never seen: no calls, no compilations, neutral speed-up.
_EMPTY = FunctionTelemetry()


class _Counters:
    """Mutable counters of one function; only touched under the store's lock."""

    __slots__ = ("call_count", "compile_count", "speedup_sum",
                 "total_execution_time_ms", "last_compiled")

    def __init__(self) -> None:
        self.call_count = 0
        self.compile_count = 0
        self.speedup_sum = 0.0
        self.total_execution_time_ms = 0.0
        self.last_compiled = 0.0


class TelemetryStore:
    """Thread-safe store of per-function call and compilation telemetry.

    ``clock`` returns the current wall-clock time in seconds; it defaults to
    ``time.time`` and is read once per ``record_compile``.
    """

    def __init__(self, clock: Callable[[], float] = time.time) -> None:
        self._clock = clock
        self._lock = threading.Lock()
        self._functions: Dict[Hashable, _Counters] = {}

    def _counters(self, func_id: Hashable) -> _Counters:
        # Caller holds self._lock.
        counters = self._functions.get(func_id)
        if counters is None:
            counters = self._functions[func_id] = _Counters()
        return counters

    def record_call(self, func_id: Hashable, execution_time_ms: float = 0.0) -> None:
        """Count one call of ``func_id`` that ran for ``execution_time_ms``."""
        elapsed = float(execution_time_ms)
        if not elapsed >= 0.0 or math.isinf(elapsed):
            raise ValueError("execution_time_ms must be a finite non-negative number")
        with self._lock:
            counters = self._counters(func_id)
            counters.call_count += 1
            counters.total_execution_time_ms += elapsed

    def record_calls(self, func_id: Hashable, count: int, execution_time_ms: float = 0.0) -> None:
        """Count ``count`` calls of ``func_id`` that ran for ``execution_time_ms`` together
        (what a profiler measured over a whole run)."""
        calls = operator.index(count)
        if calls < 0:
            raise ValueError("count must be a non-negative integer")
        elapsed = float(execution_time_ms)
        if not elapsed >= 0.0 or math.isinf(elapsed):
            raise ValueError("execution_time_ms must be a finite non-negative number")
        with self._lock:
            counters = self._counters(func_id)
            counters.call_count += calls
            counters.total_execution_time_ms += elapsed

    def record_compile(self, func_id: Hashable, speedup: float) -> None:
        """Count one compilation of ``func_id`` that achieved ``speedup``."""
        ratio = float(speedup)
        if not ratio > 0.0 or math.isinf(ratio):
            raise ValueError("speedup must be a finite positive number")
        now = float(self._clock())
        with self._lock:
            counters = self._counters(func_id)
            counters.compile_count += 1
            counters.speedup_sum += ratio
            counters.last_compiled = now

    def get_metrics(self, func_id: Hashable) -> FunctionTelemetry:
        """Snapshot of ``func_id``'s counters; a zeroed record if never seen."""
        with self._lock:
            counters = self._functions.get(func_id)
            if counters is None:
                return _EMPTY
            compiles = counters.compile_count
            return FunctionTelemetry(
                counters.call_count,
                compiles,
                counters.speedup_sum / compiles if compiles else 1.0,
                counters.total_execution_time_ms,
                counters.last_compiled,
            )

    def clear(self) -> None:
        """Forget every function."""
        with self._lock:
            self._functions.clear()
