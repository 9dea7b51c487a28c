"""devicefit against pure-Python twins of its decisions and the interpreter's built-in call floor.

The twins are the model of tests/reference/devicefit.py (stateless functions, no lock).
"""

import os
import sys

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src"))

import harness  # noqa: E402

from velmora.gpu import devicefit  # noqa: E402

from reference import devicefit as model  # noqa: E402

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
            ns=dict(ns, native=getattr(devicefit, fname), twin=getattr(model, fname)),
            twin_min=3.0,
        )


def _check_twins():
    # The twins must answer like the module on the benchmarked inputs, or the ratios mean nothing.
    for name, call, _ in CASES:
        fname = name.split()[0]
        native = eval(call, {"f": getattr(devicefit, fname)})
        twin = eval(call, {"f": getattr(model, fname)})
        assert native == twin, (name, native, twin)


if __name__ == "__main__":
    _check_twins()
    sys.exit(harness.main(register))
