"""Compiled extension for low-overhead telemetry aggregation that exposes counters accessible from Python."""

from typing import Any, Dict, List, Optional, SupportsFloat, SupportsIndex, SupportsInt, TypedDict, Union

from typing_extensions import disjoint_base

_Int = Union[int, SupportsInt]
_Float = Union[float, SupportsFloat, SupportsIndex]

class _CounterStats(TypedDict):
    count: int
    mean: float
    variance: float
    std: float
    min: float
    max: float

@disjoint_base
class CounterAggregator(metaclass=type):  # at run time a subclass of type
    """Fast counter aggregation in compiled code; updates run while the interpreter lock is held."""

    def __new__(cls, num_counters: _Int = 1000) -> CounterAggregator: ...
    def update(self, counter_id: _Int, value: _Float) -> None: ...
    def get_stats(self, counter_id: _Int) -> _CounterStats: ...
    def reset(self, counter_id: _Int) -> None: ...
    def reset_all(self) -> None: ...
    # A subclass's get_stats override may contribute any dict, or None.
    def get_all_stats(self) -> List[Optional[Dict[str, Any]]]: ...
    def __reduce__(self) -> Any: ...
    def __setstate__(self, state: Any) -> Any: ...

def create_aggregator(num_counters: Any = 1000) -> CounterAggregator: ...
