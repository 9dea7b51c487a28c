"""Adaptive compile policy: per-function call-count thresholds learned from measured speed-ups."""

import logging
import threading as threading
import time as time
from typing import Any, Dict as Dict, Optional as Optional, Protocol

from typing_extensions import disjoint_base

logger: logging.Logger
_policy_lock: threading.Lock

class _MetricsRecord(Protocol):
    @property
    def call_count(self) -> int: ...
    @property
    def compile_count(self) -> int: ...
    @property
    def avg_speedup(self) -> float: ...

class _TelemetrySource(Protocol):
    def get_metrics(self, func_id: Optional[str], /) -> _MetricsRecord: ...

@disjoint_base
class PolicyConfig(metaclass=type):  # at run time a subclass of type
    initial_threshold: int
    min_threshold: int
    max_threshold: int
    learning_rate: float
    target_speedup: float
    def __new__(
        cls,
        initial_threshold: Any = 100,
        min_threshold: Any = 10,
        max_threshold: Any = 10000,
        learning_rate: Any = 0.1,
        target_speedup: Any = 2.0,
    ) -> PolicyConfig: ...

@disjoint_base
class FunctionMetrics(metaclass=type):  # at run time a subclass of type
    call_count: int
    compile_count: int
    avg_speedup: float
    total_execution_time_ms: float
    last_compiled: float
    last_compile_time: float
    def __new__(
        cls,
        call_count: Any = 0,
        compile_count: Any = 0,
        avg_speedup: Any = 1.0,
        total_execution_time_ms: Any = 0.0,
        last_compile_time: Any = 0.0,
        last_compiled: Any = ...,
    ) -> FunctionMetrics: ...

def create_policy_config(
    initial_threshold: int = 100,
    min_threshold: int = 10,
    max_threshold: int = 10000,
    learning_rate: float = 0.1,
    target_speedup: float = 2.0,
) -> PolicyConfig: ...
def create_function_metrics(
    call_count: int = 0,
    compile_count: int = 0,
    avg_speedup: float = 1.0,
    total_execution_time_ms: float = 0.0,
    last_compile_time: float = 0.0,
) -> FunctionMetrics: ...

@disjoint_base
class CompileGate(metaclass=type):  # at run time a subclass of type
    def __new__(cls, config: Any = None) -> CompileGate: ...
    @property
    def config(self) -> PolicyConfig: ...
    def get_threshold(self, func_id: Optional[str]) -> int: ...
    def should_compile(self, func_id: Optional[str], telemetry_store: _TelemetrySource) -> bool: ...
    def update(self, func_id: Optional[str], telemetry_store: _TelemetrySource) -> None: ...
    def get_statistics(self) -> Dict[str, Any]: ...

def get_compilegate() -> CompileGate: ...
def reset_compilegate() -> None: ...
