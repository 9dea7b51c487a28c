"""devicefit module surface: codes, logger and banner, argument binding, defaults and thread safety."""

import logging
import os
import subprocess
import sys
import threading

import pytest

from velmora.gpu import devicefit as df

FUNCTIONS = {
    "estimate_allocation_bytes": (("shape", "element_size", "overhead_factor"), (1.0,)),
    "calculate_safe_limit": (("available_bytes", "headroom_ratio"), None),
    "decide_allocation_strategy": (("requested_bytes", "available_bytes", "headroom_ratio", "is_chunkable"), None),
    "is_oom_error": (("error_message", "error_type"), None),
    "calculate_memory_pressure": (("used_bytes", "total_bytes"), None),
    "recommend_headroom": (("current_pressure", "base_headroom"), (0.5,)),
    "is_chunkable_operation": (("operation",), None),
    "score_gpu_suitability": (("data_size_bytes", "operation_type", "available_gpu_memory", "headroom_ratio"), None),
    "compute_chunk_shapes": (("shape", "element_size", "max_chunk_bytes"), None),
    "calculate_optimal_chunks": (
        ("total_bytes", "available_bytes", "headroom_ratio", "min_chunks", "max_chunks"), (1, 1000)),
}


def test_strategy_codes_and_logger():
    assert (df.GPU_DIRECT, df.GPU_CHUNKED, df.CPU_FALLBACK) == (0, 1, 2)
    assert all(type(c) is int for c in (df.GPU_DIRECT, df.GPU_CHUNKED, df.CPU_FALLBACK))
    assert isinstance(df.logger, logging.Logger)
    assert df.logger is logging.getLogger("velmora.gpu.devicefit")


def test_import_logs_one_info_banner():
    src = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(df.__file__))))
    code = (
        "import logging\n"
        "logging.basicConfig(level=logging.DEBUG, format='%(name)s|%(levelname)s|%(message)s')\n"
        "import velmora.gpu.devicefit\n"
    )
    env = dict(os.environ, PYTHONPATH=src)
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    lines = [ln for ln in proc.stderr.splitlines() if ln.startswith("velmora.gpu.devicefit|")]
    assert len(lines) == 1
    _, level, message = lines[0].split("|", 2)
    assert level == "INFO"
    assert "Velmora" in message


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_defaults_and_names(name):
    func = getattr(df, name)
    params, defaults = FUNCTIONS[name]
    assert func.__name__ == name
    assert func.__defaults__ == defaults


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_positional_count_messages(name):
    func = getattr(df, name)
    params, defaults = FUNCTIONS[name]
    required = len(params) - len(defaults or ())
    too_many = tuple(range(len(params) + 1))
    if defaults:
        low, high = "at least", "at most"
    else:
        low = high = "exactly"
    plural = lambda n: "" if n == 1 else "s"  # noqa: E731
    with pytest.raises(TypeError) as info:
        func()
    assert str(info.value) == "%s() takes %s %d positional argument%s (0 given)" % (
        name, low, required, plural(required))
    with pytest.raises(TypeError) as info:
        func(*too_many)
    assert str(info.value) == "%s() takes %s %d positional argument%s (%d given)" % (
        name, high, len(params), plural(len(params)), len(too_many))


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_keyword_binding_messages(name):
    func = getattr(df, name)
    params, _ = FUNCTIONS[name]
    with pytest.raises(TypeError) as info:
        func(*range(len(params)), bogus=1)
    assert str(info.value) == "%s() got an unexpected keyword argument 'bogus'" % name
    with pytest.raises(TypeError) as info:
        func(*range(len(params)), **{params[0]: 1})
    assert str(info.value) == "%s() got multiple values for keyword argument '%s'" % (name, params[0])


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: df.estimate_allocation_bytes(element_size=8, shape=(10, 10), overhead_factor=2.0), 1600),
        (lambda: df.calculate_safe_limit(headroom_ratio=0.2, available_bytes=1000), 800),
        (lambda: df.decide_allocation_strategy(2000, 1000, is_chunkable=True, headroom_ratio=0.2),
         (1, 800, 3, "Chunking into 3 GPU passes")),
        (lambda: df.is_oom_error(error_type="OutOfMemoryError", error_message=""), True),
        (lambda: df.calculate_memory_pressure(total_bytes=4, used_bytes=3), 0.75),
        (lambda: df.recommend_headroom(base_headroom=0.35, current_pressure=0.1), 0.3),
        (lambda: df.is_chunkable_operation(operation="zeros"), True),
        (lambda: df.score_gpu_suitability(800, operation_type="zeros", headroom_ratio=0.0,
                                          available_gpu_memory=1000), 0.9),
        (lambda: df.compute_chunk_shapes(max_chunk_bytes=100, shape=(10, 4), element_size=8),
         [(3, 4), (3, 4), (3, 4), (1, 4)]),
        (lambda: df.calculate_optimal_chunks(2500, 1000, 0.0, max_chunks=10, min_chunks=5), 5),
        (lambda: df.calculate_optimal_chunks(10**9, 1000, 0.0, max_chunks=7), 7),
    ],
)
def test_keyword_calls(call, expected):
    assert call() == expected


def test_concurrent_calls_agree():
    # stateless functions: the same answers from many threads at once, in bounded time
    expected = (
        df.decide_allocation_strategy(123456789, 10**8, 0.3, True),
        df.compute_chunk_shapes((1000, 16), 8, 4096),
        df.is_oom_error("CUDA memory", "X"),
        df.calculate_optimal_chunks(10**12, 10**9, 0.25),
    )
    failures = []
    barrier = threading.Barrier(4)

    def worker():
        barrier.wait(timeout=10)
        for _ in range(2000):
            got = (
                df.decide_allocation_strategy(123456789, 10**8, 0.3, True),
                df.compute_chunk_shapes((1000, 16), 8, 4096),
                df.is_oom_error("CUDA memory", "X"),
                df.calculate_optimal_chunks(10**12, 10**9, 0.25),
            )
            if got != expected:
                failures.append(got)
                return

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert failures == []
