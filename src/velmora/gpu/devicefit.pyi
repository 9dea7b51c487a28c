"""GPU memory decisions: byte estimates, safe limits, allocation strategy and chunking."""

import logging
from typing import List, Optional, SupportsFloat, SupportsInt, Tuple, Union

_Int = Union[int, SupportsInt]
_Float = Union[float, SupportsFloat]

logger: logging.Logger

GPU_DIRECT: int
GPU_CHUNKED: int
CPU_FALLBACK: int

def estimate_allocation_bytes(
    shape: Tuple[object, ...], element_size: _Int, overhead_factor: _Float = 1.0
) -> int: ...
def calculate_safe_limit(available_bytes: _Int, headroom_ratio: _Float) -> int: ...
def decide_allocation_strategy(
    requested_bytes: _Int, available_bytes: _Int, headroom_ratio: _Float, is_chunkable: object
) -> Tuple[int, int, int, str]: ...
def is_oom_error(error_message: str, error_type: str) -> bool: ...
def calculate_memory_pressure(used_bytes: _Int, total_bytes: _Int) -> float: ...
def recommend_headroom(current_pressure: _Float, base_headroom: _Float = 0.5) -> float: ...
def is_chunkable_operation(operation: Optional[str]) -> bool: ...
def score_gpu_suitability(
    data_size_bytes: _Int,
    operation_type: Optional[str],
    available_gpu_memory: _Int,
    headroom_ratio: _Float,
) -> float: ...
def compute_chunk_shapes(
    shape: Tuple[object, ...], element_size: _Int, max_chunk_bytes: _Int
) -> List[Tuple[object, ...]]: ...
def calculate_optimal_chunks(
    total_bytes: _Int,
    available_bytes: _Int,
    headroom_ratio: _Float,
    min_chunks: _Int = 1,
    max_chunks: _Int = 1000,
) -> int: ...
