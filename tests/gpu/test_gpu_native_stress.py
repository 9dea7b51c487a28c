"""Thread stress of devicefit, hostprobe and the backend registry: four threads call the functions at
once while other threads rebind the module attributes they read at call time (strategy codes, the
probes, `time`). Every result must equal the single-threaded one, or carry an attribute value some
thread really stored. Each stress runs in a child interpreter, so a crash fails one test."""
import textwrap

import pytest
from stress_harness import WORKERS_AND_MUTATORS

HARNESS = WORKERS_AND_MUTATORS

DEVICEFIT = r'''
from velmora.gpu import devicefit as df
BIG = 10 ** 30  # rebound codes are BIG * k + code: fresh int objects, freed when replaced
CODES = {"GPU_DIRECT": 0, "GPU_CHUNKED": 1, "CPU_FALLBACK": 2}
STRATEGIES = [(100, 1000, 0.1, True), (5000, 1000, 0.1, True), (5000, 1000, 0.1, False), (1, 0, 0.5, True)]
FIXED = [
    lambda: df.estimate_allocation_bytes((1024, 768, 3), 4, 1.25),
    lambda: df.calculate_safe_limit(8 << 30, 0.2),
    lambda: df.is_oom_error("CUDA error: OUT OF MEMORY (tried ...)", "RuntimeError"),
    lambda: df.is_oom_error("Ça a échoué: mémoire GPU insuffisante memory", "Érreur"),
    lambda: df.calculate_memory_pressure(3 << 30, 4 << 30),
    lambda: df.recommend_headroom(0.7, 0.5),
    lambda: df.is_chunkable_operation("random.randn"),
    lambda: df.score_gpu_suitability(1 << 20, "matmul", 1 << 30, 0.2),
    lambda: df.compute_chunk_shapes((1000, 64, 3), 8, 100000),
    lambda: df.calculate_optimal_chunks(10 << 30, 1 << 30, 0.25, 2, 64),
]
EXPECTED = [f() for f in FIXED]
EXPECTED_STRATEGY = [df.decide_allocation_strategy(*a) for a in STRATEGIES]

def fixed():
    for f, want in zip(FIXED, EXPECTED):
        got = f()
        assert got == want, (got, want)

def strategies():
    for args, want in zip(STRATEGIES, EXPECTED_STRATEGY):
        try:
            got = df.decide_allocation_strategy(*args)
        except NameError as e:  # the code's attribute was deleted for a moment
            assert str(e) in ["name '%s' is not defined" % n for n in CODES], e
            continue
        assert got[1:] == want[1:] and got[0] % BIG == want[0], (got, want)

def rebind():
    r = random.random
    for name, code in CODES.items():
        setattr(df, name, BIG * int(1 + r() * 1000) + code)
        if r() < 0.1:
            delattr(df, name)
            setattr(df, name, BIG * 7 + code)

def churn():
    gc.collect()

run([fixed, fixed, strategies, strategies], [rebind, churn])
for name, code in CODES.items():
    setattr(df, name, code)
assert [df.decide_allocation_strategy(*a) for a in STRATEGIES] == EXPECTED_STRATEGY
print("ok")
'''

HOSTPROBE = r'''
from velmora.native import hostprobe as hp
STABLE = ["physical_cores", "numa_nodes", "has_gpu", "gpu_count", "gpu_memory_mb", "cuda_available",
          "rocm_available", "oneapi_available", "active_backend", "backend_version", "python_version",
          "subinterpreter_support", "platform", "detector"]
first = hp.detect_capabilities()
assert first["detector"] == "native", first
KEYS = list(first)
WANT = {k: first[k] for k in STABLE}
WANT_PARTS = (hp.detect_physical_cores(), hp.detect_numa_nodes(), hp.detect_gpu_backends(),
              hp.detect_python_version())
ORIGINAL = {name: getattr(hp, name) for name in ("detect_numa_nodes", "detect_physical_cores")}
REAL_TIME = time

def report():
    got = hp.detect_capabilities()
    assert list(got) == KEYS and {k: got[k] for k in STABLE} == WANT, got
    assert got["detection_time_ms"] >= 0.0

def parts():
    got = (hp.detect_physical_cores(), hp.detect_numa_nodes(), hp.detect_gpu_backends(),
           hp.detect_python_version())
    assert got == WANT_PARTS, got

def rebind():
    # Fresh objects each time: the ones they replace are freed unless a reader holds them.
    for name, fn in ORIGINAL.items():
        setattr(hp, name, (lambda f: lambda: f())(fn))
    hp.time = types.SimpleNamespace(perf_counter=REAL_TIME.perf_counter, time=REAL_TIME.time)

def churn():
    gc.collect()

run([report, report, parts, parts], [rebind, churn])
for name, fn in ORIGINAL.items():
    setattr(hp, name, fn)
hp.time = REAL_TIME
assert {k: v for k, v in hp.detect_capabilities().items() if k in STABLE} == WANT
print("ok")
'''

REGISTRY = r'''
from velmora.gpu import backend_registry as br
from velmora.gpu.backend_registry import GPUBackendRegistry as R
want = R.detect_available_backends()
best = R.get_best_available()

def registry():
    assert R.detect_available_backends() == want
    assert R.get_best_available() == best

def refresh():
    R.clear_cache()
    R.detect_available_backends(refresh=True)

run([registry] * 4, [refresh])

# A lazily built structure class is built once, however many threads ask for it first.
rounds, seen = 100, []
gate = threading.Barrier(4, action=lambda: [br.__dict__.pop(n, None) for n in ("_NvmlMemory", "_RsmiVersion")])
def ask():
    for _ in range(rounds):
        gate.wait()
        seen.append((br._structure("_NvmlMemory"), br._structure("_RsmiVersion")))
        gate.wait()  # every thread has asked before the next round drops the classes
threads = [threading.Thread(target=ask) for _ in range(4)]
for t in threads:
    t.start()
for t in threads:
    t.join(120)
assert len(seen) == 4 * rounds
for r in range(rounds):
    assert len(set(seen[4 * r: 4 * r + 4])) == 1, seen[4 * r: 4 * r + 4]
print("ok")
'''


@pytest.mark.parametrize("code", [DEVICEFIT, HOSTPROBE, REGISTRY], ids=["devicefit", "hostprobe", "registry"])
def test_concurrent_calls_while_module_attributes_change(run_child, code):
    done = run_child(textwrap.dedent(HARNESS) + textwrap.dedent(code), timeout=240)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout == "ok\n", (done.stdout, done.stderr[-3000:])
