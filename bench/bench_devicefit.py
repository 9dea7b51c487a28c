"""devicefit against pure-Python twins of its decisions and the interpreter's built-in call floor."""

import math
import os
import sys

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src"))

import harness  # noqa: E402

from velmora.gpu import devicefit  # noqa: E402

INT64_MAX = 2**63 - 1
GPU_DIRECT, GPU_CHUNKED, CPU_FALLBACK = 0, 1, 2
_CHUNKABLE_OPS = frozenset({"zeros", "ones", "empty", "full", "random.randn", "random.rand", "random.random",
                            "random.standard_normal", "random.uniform", "arange", "linspace"})
_NON_CHUNKABLE_OPS = frozenset({"matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals",
                                "solve", "inv", "sort", "argsort"})


# --- pure-Python twins: what the same decisions cost written plainly in Python ---

def estimate_allocation_bytes(shape, element_size, overhead_factor=1.0):
    total = 1
    for dim in shape:
        dim = int(dim)
        if dim <= 0:
            return 0
        if INT64_MAX // dim < total:
            return INT64_MAX
        total *= dim
    if element_size > 0 and INT64_MAX // element_size < total:
        return INT64_MAX
    total *= element_size
    if overhead_factor > 1.0:
        total = int(total * overhead_factor)
    return total


def calculate_safe_limit(available_bytes, headroom_ratio):
    h = min(max(headroom_ratio, 0.0), 0.99)
    return int(available_bytes * (1.0 - h))


def decide_allocation_strategy(requested_bytes, available_bytes, headroom_ratio, is_chunkable):
    safe = calculate_safe_limit(available_bytes, headroom_ratio)
    if safe == 0:
        return (CPU_FALLBACK, 0, 1, "No GPU memory available")
    if safe >= requested_bytes:
        return (GPU_DIRECT, 0, 1, "Allocation fits in GPU memory")
    if is_chunkable:
        count = math.ceil(requested_bytes / safe)
        return (GPU_CHUNKED, safe, count, "Chunking into %d GPU passes" % count)
    return (CPU_FALLBACK, 0, 1, "Operation not chunkable, falling back to CPU")


def is_oom_error(error_message, error_type):
    m = error_message.lower()
    t = error_type.lower()
    return ("out of memory" in m or "outofmemoryerror" in t or ("cuda" in m and "memory" in m)
            or ("allocat" in m and "failed" in m) or ("memory" in m and "insufficient" in m)
            or ("gpu" in m and "memory" in m))


def calculate_memory_pressure(used_bytes, total_bytes):
    if total_bytes == 0:
        return 1.0
    return min(used_bytes / total_bytes, 1.0)


def recommend_headroom(current_pressure, base_headroom=0.5):
    if current_pressure > 0.8:
        return 0.8
    if current_pressure > 0.6:
        h = base_headroom + (current_pressure - 0.5) * 0.5
    elif current_pressure > 0.3:
        h = base_headroom
    else:
        h = base_headroom - 0.1
    return 0.3 if h < 0.3 else min(h, 0.8)


def is_chunkable_operation(operation):
    return operation in _CHUNKABLE_OPS


def score_gpu_suitability(data_size_bytes, operation_type, available_gpu_memory, headroom_ratio):
    safe = calculate_safe_limit(available_gpu_memory, headroom_ratio)
    if safe == 0:
        size_fit = 0.0
    elif data_size_bytes > safe:
        size_fit = safe / data_size_bytes
    else:
        size_fit = min(1.0, 1.25 * data_size_bytes / safe)
    if operation_type in _CHUNKABLE_OPS:
        factor = 0.9
    elif operation_type in _NON_CHUNKABLE_OPS:
        factor = 0.7
    else:
        factor = 0.5
    return factor * size_fit


def compute_chunk_shapes(shape, element_size, max_chunk_bytes):
    if element_size <= 0:
        raise ValueError("element_size must be positive")
    if max_chunk_bytes == 0:
        raise ValueError("max_chunk_bytes must be positive")
    if not shape:
        return [shape]
    trailing = shape[1:]
    row_bytes = element_size
    for dim in trailing:
        row_bytes *= dim
    rows_per_chunk = max_chunk_bytes // row_bytes if max_chunk_bytes >= row_bytes else 1
    chunks = []
    remaining = shape[0]
    while remaining > 0:
        rows = min(rows_per_chunk, remaining)
        chunks.append((rows,) + trailing)
        remaining -= rows
    return chunks


def calculate_optimal_chunks(total_bytes, available_bytes, headroom_ratio, min_chunks=1, max_chunks=1000):
    safe = calculate_safe_limit(available_bytes, headroom_ratio)
    if safe == 0:
        return max_chunks
    needed = math.ceil(total_bytes / safe)
    if needed < min_chunks:
        return min_chunks
    return min(needed, max_chunks)


GIB = 1 << 30

# (name, call with arguments, arity of the call) — each run natively and through its twin.
CASES = [
    ("estimate_allocation_bytes", "f((1024, 1024, 3), 4, 1.2)", 3),
    ("calculate_safe_limit", "f(%d, 0.2)" % (8 * GIB), 2),
    ("decide_allocation_strategy direct", "f(%d, %d, 0.2, True)" % (12 * GIB, 16 * GIB), 4),
    ("decide_allocation_strategy chunked", "f(%d, %d, 0.2, True)" % (40 * GIB, 16 * GIB), 4),
    ("is_oom_error hit", "f('CUDA error: out of memory (tried to allocate 2.00 GiB)', 'RuntimeError')", 2),
    ("is_oom_error miss", "f('cuda launch failed: invalid device function', 'RuntimeError')", 2),
    ("calculate_memory_pressure", "f(%d, %d)" % (3 * GIB, 16 * GIB), 2),
    ("recommend_headroom", "f(0.7)", 1),
    ("is_chunkable_operation", "f('random.randn')", 1),
    ("score_gpu_suitability", "f(%d, 'matmul', %d, 0.2)" % (GIB, 16 * GIB), 4),
    ("compute_chunk_shapes (10 chunks)", "f((10000, 256), 4, %d)" % (1 << 20), 3),
    ("calculate_optimal_chunks", "f(%d, %d, 0.2)" % (100 * GIB, 16 * GIB), 3),
]

# A built-in C call of the same arity: the least any call from Python can cost.
FLOORS = {1: "abs(n)", 2: "divmod(n, m)", 3: "pow(n, m, k)", 4: "max(n, m, k, j)"}


def register(bench):
    for name, call, arity in CASES:
        fname = name.split()[0]
        ns = {"n": 7, "m": 3, "k": 5, "j": 2}
        bench.op(
            name,
            native=call.replace("f(", "native(", 1),
            twin=call.replace("f(", "twin(", 1),
            floor=FLOORS[arity],
            ns=dict(ns, native=getattr(devicefit, fname), twin=globals()[fname]),
            twin_min=3.0,
        )


def _check_twins():
    # The twins must answer like the module on the benchmarked inputs, or the ratios mean nothing.
    for name, call, _ in CASES:
        fname = name.split()[0]
        native = eval(call, {"f": getattr(devicefit, fname)})
        twin = eval(call, {"f": globals()[fname]})
        assert native == twin, (name, native, twin)


if __name__ == "__main__":
    _check_twins()
    sys.exit(harness.main(register))
