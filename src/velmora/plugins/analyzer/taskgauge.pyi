"""Workload detection scoring: framework and indicator scores of source text, and workload classification."""

import logging
import re as re
from typing import Optional, SupportsFloat, SupportsInt, Tuple, Union

_Int = Union[int, SupportsInt]
_Float = Union[float, SupportsFloat]

logger: logging.Logger

def quick_framework_score(code: Optional[str], framework: Optional[str]) -> float: ...
def score_framework_patterns(code: Optional[str]) -> Tuple[float, float, float]: ...
def score_indicators(
    code: Optional[str], function_name: Optional[str]
) -> Tuple[int, int, int, int, int, int, int]: ...
def normalize_scores(
    cpu_score: _Int, memory_score: _Int, parallel_score: _Int, gpu_op_score: _Int, large_data_score: _Int
) -> Tuple[float, float, float, float, float]: ...
def calculate_gpu_suitability(
    gpu_operation_score: _Float,
    gpu_data_size_score: _Float,
    cpu_intensity: _Float,
    gpu_available: object,
    compute_capability: Optional[str],
) -> float: ...
def estimate_gpu_speedup(gpu_operation_score: _Float, gpu_data_size_score: _Float, gpu_available: object) -> float: ...
def calculate_parallelization_potential(
    base_parallel_score: _Float, embarrassing_bonus: _Float, sequential_penalty: _Float, loop_chunking_potential: _Float
) -> float: ...
def determine_workload_pattern(
    cpu_intensity: _Float,
    memory_intensity: _Float,
    parallelization_potential: _Float,
    gpu_suitability: _Float,
    gpu_operation_score: _Float,
    numpy_score: _Float,
    pandas_score: _Float,
    sklearn_score: _Float,
    sequential_count: _Int,
    embarrassing_count: _Int,
    cpu_threshold: _Float,
    memory_threshold: _Float,
    gpu_threshold: _Float,
    numpy_threshold: _Float,
    pandas_threshold: _Float,
    sklearn_threshold: _Float,
    gpu_available: object,
) -> int: ...
def update_adaptive_threshold(
    current_threshold: _Float, success_rate: _Float, learning_rate: _Float, min_threshold: _Float, max_threshold: _Float
) -> float: ...
