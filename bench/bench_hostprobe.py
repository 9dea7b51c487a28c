"""hostprobe: cold and warm detect_capabilities against its documented targets, and each probe against a pure-Python twin."""

import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
SRC = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")
sys.path.insert(0, SRC)

import harness  # noqa: E402

from velmora.native import hostprobe  # noqa: E402

COLD_TARGET_MS = 5.0
WARM_TARGET_MS = 3.0

GPU_INITIAL = {"has_gpu": False, "gpu_count": 0, "gpu_memory_mb": 0, "cuda_available": False,
               "rocm_available": False, "oneapi_available": False, "active_backend": "cpu", "backend_version": ""}


# --- pure-Python twins, written plainly from the same algorithm ---------------------------------------

def detect_physical_cores():
    try:
        if hasattr(os, "sched_getaffinity"):
            return len(os.sched_getaffinity(0))
        return os.cpu_count() or 1
    except Exception:
        return os.cpu_count() or 1


def detect_numa_nodes():
    try:
        if sys.platform == "linux":
            path = "/sys/devices/system/node"
            if not os.path.exists(path):
                return 1
            count = sum(1 for n in os.listdir(path) if n.startswith("node") and n[4:].isdigit())
            return count or 1
        return 1
    except Exception:
        return 1


def detect_gpu_backends():
    info = dict(GPU_INITIAL)
    try:
        from velmora.gpu.backend_registry import GPUBackendKind, GPUBackendRegistry
        available = GPUBackendRegistry.detect_available_backends()
        info["cuda_available"] = GPUBackendKind.CUDA in available
        info["rocm_available"] = GPUBackendKind.ROCm in available
        info["oneapi_available"] = GPUBackendKind.oneAPI in available
        best = GPUBackendRegistry.get_best_available()
        info["active_backend"] = best.info.kind.value
        info["backend_version"] = best.info.version
        info["has_gpu"] = info["active_backend"] != "cpu"
        if info["has_gpu"]:
            dev = available[best.info.kind]
            info["gpu_count"] = dev.device_count
            info["gpu_memory_mb"] = int(dev.memory_gb * 1024)
    except Exception:
        pass  # the nvidia-smi fallback is not reached on a host with the registry
    return info


def detect_python_version():
    v = sys.version_info
    has_sub = False
    if v >= (3, 12):
        for name in ("_xxsubinterpreters", "_interpreters"):
            try:
                __import__(name)
                has_sub = True
                break
            except ImportError:
                pass
    return "%d.%d.%d" % (v.major, v.minor, v.micro), has_sub


def detect_capabilities():
    start = time.perf_counter()
    report = {"physical_cores": detect_physical_cores(), "numa_nodes": detect_numa_nodes()}
    report.update(detect_gpu_backends())
    report["python_version"], report["subinterpreter_support"] = detect_python_version()
    report["platform"] = sys.platform
    report["detected_at"] = time.time()
    report["detector"] = "native"
    report["detection_time_ms"] = (time.perf_counter() - start) * 1000
    return report


# --- cold start: a fresh interpreter per sample ---------------------------------------------------------

COLD_CHILD = (
    "import time, velmora.native.hostprobe as h\n"
    "t = time.perf_counter(); r = h.detect_capabilities(); e = (time.perf_counter() - t) * 1000\n"
    "t = time.perf_counter(); h.detect_capabilities(); w = (time.perf_counter() - t) * 1000\n"
    "print(e, r['detection_time_ms'], w)\n"
)


def cold_samples(runs, bytecode_cache):
    env = dict(os.environ, PYTHONPATH=SRC)
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    with tempfile.TemporaryDirectory() as cache:
        if bytecode_cache:
            env["PYTHONPYCACHEPREFIX"] = cache
            subprocess.run([sys.executable, "-c", COLD_CHILD], env=env, check=True, capture_output=True)
        else:
            env["PYTHONDONTWRITEBYTECODE"] = "1"
        rows = []
        for _ in range(runs):
            out = subprocess.run([sys.executable, "-c", COLD_CHILD], env=env, check=True, capture_output=True,
                                 text=True).stdout
            rows.append([float(x) for x in out.split()])
    return [statistics.median(col) for col in zip(*rows)]


def register(bench):
    for name in ("detect_physical_cores", "detect_numa_nodes", "detect_gpu_backends", "detect_python_version",
                 "detect_capabilities"):
        bench.op(name + "() warm", "native()", twin="twin()",
                 ns={"native": getattr(hostprobe, name), "twin": globals()[name]})


def main():
    quick = "--quick" in sys.argv
    runs = 5 if quick else 15
    bench = harness.Bench(quick=quick, progress=lambda m: print(m, file=sys.stderr, flush=True))
    register(bench)
    rows = bench.run()
    print(harness.format_table(rows))
    warm_ms = next(r for r in rows if r["op"].startswith("detect_capabilities"))["ns_per_op"] / 1e6
    print()
    print("detect_capabilities() on this host (median of %d fresh interpreters):" % runs)
    met = True
    # The target is for an installed package (bytecode cached); the run that compiles the pure-Python
    # backend registry from source on every start is shown for information.
    for label, cached in (("bytecode cached", True), ("no bytecode cache", False)):
        first, reported, second = cold_samples(runs, cached)
        if cached:
            ok = first < COLD_TARGET_MS
            met &= ok
            verdict = "target < %.0f ms %s" % (COLD_TARGET_MS, "ok" if ok else "MISSED")
        else:
            verdict = "(information: includes compiling the registry's source)"
        print("  cold, %-17s first call %.2f ms (report says %.2f ms), second call %.3f ms; %s"
              % (label, first, reported, second, verdict))
    ok = warm_ms <= WARM_TARGET_MS
    met &= ok
    print("  warm, in process: %.3f ms per call; target <= %.0f ms %s" % (warm_ms, WARM_TARGET_MS,
                                                                         "ok" if ok else "MISSED"))
    return 0 if met else 1


if __name__ == "__main__":
    assert {k: v for k, v in hostprobe.detect_capabilities().items() if k not in ("detected_at", "detection_time_ms")} \
        == {k: v for k, v in detect_capabilities().items() if k not in ("detected_at", "detection_time_ms")}
    sys.exit(main())
