"""Host capability detection: physical cores, NUMA nodes, GPU backends and the interpreter version."""

import os as os
import sys as sys
import time as time
from typing import Tuple, TypedDict

class _GPUInfo(TypedDict):
    has_gpu: bool
    gpu_count: int
    gpu_memory_mb: int
    cuda_available: bool
    rocm_available: bool
    oneapi_available: bool
    active_backend: str
    backend_version: str

class _CapabilityReport(TypedDict):
    physical_cores: int
    numa_nodes: int
    has_gpu: bool
    gpu_count: int
    gpu_memory_mb: int
    cuda_available: bool
    rocm_available: bool
    oneapi_available: bool
    active_backend: str
    backend_version: str
    python_version: str
    subinterpreter_support: bool
    platform: str
    detected_at: float
    detector: str
    detection_time_ms: float

class _FallbackReport(_CapabilityReport):
    error: str

def detect_physical_cores() -> int: ...
def detect_numa_nodes() -> int: ...
def detect_gpu_backends() -> _GPUInfo: ...
def detect_python_version() -> Tuple[str, bool]: ...
def detect_capabilities() -> _CapabilityReport: ...
