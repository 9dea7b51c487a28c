"""velmora.gpu.devicefit in plain Python: byte estimates, safe limits, strategy, chunking and scores.

Byte counts are Python ints; a double that becomes an unsigned 64-bit count is truncated toward zero
and saturated (NaN and negatives give 0, 2**64 and above give 2**64 - 1); quotients are taken in
doubles. Where the documented arithmetic is left open the model says what the module does: a
negative element size allocates nothing, a chunk count is corrected upward when the rounded double
quotient falls short of the exact one, and a zero trailing dimension is refused.
"""

import math

INT64_MAX = 2 ** 63 - 1
UINT64_MAX = 2 ** 64 - 1
GPU_DIRECT, GPU_CHUNKED, CPU_FALLBACK = 0, 1, 2

FITS = "Allocation fits in GPU memory"
NO_MEMORY = "No GPU memory available"
NOT_CHUNKABLE = "Operation not chunkable, falling back to CPU"

CHUNKABLE_OPS = frozenset({"zeros", "ones", "empty", "full", "random.randn", "random.rand", "random.random",
                           "random.standard_normal", "random.uniform", "arange", "linspace"})
NON_CHUNKABLE_OPS = frozenset({"matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals", "solve",
                               "inv", "sort", "argsort"})


def to_u64(x):
    """Double -> unsigned 64-bit: truncation, NaN and negatives give 0, 2**64 and above saturate."""
    if x != x or x <= 0.0:
        return 0
    if x >= 2.0 ** 64:
        return UINT64_MAX
    return int(x)


# ---------------------------------------------------------------- sizing and strategy

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
    if element_size < 0:
        return 0
    total *= element_size
    if overhead_factor > 1.0:
        total = to_u64(float(total) * overhead_factor)
    return total


def calculate_safe_limit(available_bytes, headroom_ratio):
    h = headroom_ratio
    if h < 0.0:
        h = 0.0
    elif h > 0.99:
        h = 0.99
    return to_u64(float(available_bytes) * (1.0 - h))


def decide_allocation_strategy(requested_bytes, available_bytes, headroom_ratio, is_chunkable):
    safe = calculate_safe_limit(available_bytes, headroom_ratio)
    if safe == 0:
        return (CPU_FALLBACK, 0, 1, NO_MEMORY)
    if safe >= requested_bytes:
        return (GPU_DIRECT, 0, 1, FITS)
    if is_chunkable:
        count = min(math.ceil(float(requested_bytes) / float(safe)), UINT64_MAX)
        if count * safe < requested_bytes:
            count = -(-requested_bytes // safe)
        return (GPU_CHUNKED, safe, count, "Chunking into %d GPU passes" % count)
    return (CPU_FALLBACK, 0, 1, NOT_CHUNKABLE)


def is_oom_error(error_message, error_type):
    m, t = error_message.lower(), error_type.lower()
    return (
        "out of memory" in m
        or "outofmemoryerror" in t
        or ("cuda" in m and "memory" in m)
        or ("allocat" in m and "failed" in m)
        or ("memory" in m and "insufficient" in m)
        or ("gpu" in m and "memory" in m)
    )


def calculate_memory_pressure(used_bytes, total_bytes):
    if total_bytes == 0:
        return 1.0
    return min(float(used_bytes) / float(total_bytes), 1.0)


def recommend_headroom(current_pressure, base_headroom=0.5):
    p, b = current_pressure, base_headroom
    if p > 0.8:
        return 0.8
    if p > 0.6:
        h = b + (p - 0.5) * 0.5
    elif p > 0.3:
        h = b
    else:
        h = b - 0.1
    if h < 0.3:
        return 0.3
    return min(h, 0.8)


# ---------------------------------------------------------------- chunking and suitability

def is_chunkable_operation(operation):
    return operation in CHUNKABLE_OPS


def score_gpu_suitability(data_size_bytes, operation_type, available_gpu_memory, headroom_ratio):
    safe = calculate_safe_limit(available_gpu_memory, headroom_ratio)
    if safe == 0:
        fit = 0.0
    elif data_size_bytes > safe:
        fit = float(safe) / float(data_size_bytes)
    else:
        fit = min(1.0, 1.25 * float(data_size_bytes) / float(safe))
    factor = 0.9 if operation_type in CHUNKABLE_OPS else 0.7 if operation_type in NON_CHUNKABLE_OPS else 0.5
    return factor * fit


def compute_chunk_shapes(shape, element_size, max_chunk_bytes):
    if element_size <= 0:
        raise ValueError("element_size must be positive")
    if max_chunk_bytes == 0:
        raise ValueError("max_chunk_bytes must be positive")
    if len(shape) == 0:
        return [shape]
    trailing = shape[1:]
    dims = [int(d) for d in trailing]
    if dims and min(dims) <= 0:
        if min(dims) < 0:
            raise OverflowError("can't convert negative value to uint64_t")
        raise ValueError("trailing dimensions must be positive")
    row_bytes = element_size
    for d in dims:
        row_bytes *= d
    if row_bytes > UINT64_MAX:
        raise OverflowError("row size does not fit in 64 bits")
    rows_per_chunk = max_chunk_bytes // row_bytes if max_chunk_bytes >= row_bytes else 1
    remaining = int(shape[0])
    chunks = []
    while remaining > 0:
        rows = min(rows_per_chunk, remaining)
        chunks.append((rows,) + trailing)
        remaining -= rows
    return chunks


def calculate_optimal_chunks(total_bytes, available_bytes, headroom_ratio, min_chunks=1, max_chunks=1000):
    safe = calculate_safe_limit(available_bytes, headroom_ratio)
    if safe == 0:
        return max_chunks
    needed = math.ceil(float(total_bytes) / float(safe))
    if needed < min_chunks:
        return min_chunks
    return min(needed, max_chunks)
