"""velmora.native.hostprobe in plain Python: cores, NUMA nodes, GPU backends, interpreter, the report.

The probes read the real `os` and `sys` unless others are passed in. The Windows NUMA branch is not
modelled (any platform other than Linux answers 1 node here). Like the module, the interpreter probe
looks for the sub-interpreter module under both of its names.
"""

import os
import sys
import time

NODE_DIR = "/sys/devices/system/node"
INITIAL_GPU = {"has_gpu": False, "gpu_count": 0, "gpu_memory_mb": 0, "cuda_available": False,
               "rocm_available": False, "oneapi_available": False, "active_backend": "cpu", "backend_version": ""}
SUBINTERPRETER_MODULES = ("_xxsubinterpreters", "_interpreters")


def detect_physical_cores(os_module=os):
    def cpu_count():
        return int(os_module.cpu_count() or 1)
    try:
        if hasattr(os_module, "sched_getaffinity"):
            return len(os_module.sched_getaffinity(0))
        return cpu_count()
    except Exception:
        return cpu_count()


def count_numa_nodes(names):
    """Entries named "node" followed by digits only; at least 1."""
    return sum(1 for n in names if n.startswith("node") and n[4:].isdigit()) or 1


def detect_numa_nodes(os_module=os, platform=None):
    try:
        if (sys.platform if platform is None else platform) == "linux":
            if not os_module.path.exists(NODE_DIR):
                return 1
            return count_numa_nodes(os_module.listdir(NODE_DIR))
        return 1
    except Exception:
        return 1


def gpu_info(registry, kind, info=None):
    """The GPU entries from a backend registry that answers (GPUBackendRegistry, GPUBackendKind)."""
    info = dict(INITIAL_GPU) if info is None else info
    available = registry.detect_available_backends()
    info["cuda_available"] = kind.CUDA in available
    info["rocm_available"] = kind.ROCm in available
    info["oneapi_available"] = kind.oneAPI in available
    best = registry.get_best_available()
    info["active_backend"] = best.info.kind.value
    info["backend_version"] = best.info.version
    info["has_gpu"] = info["active_backend"] != "cpu"
    if info["has_gpu"]:
        device = available[best.info.kind]
        info["gpu_count"] = device.device_count
        info["gpu_memory_mb"] = int(device.memory_gb * 1024)
    return info


def detect_gpu_backends():
    info = dict(INITIAL_GPU)
    try:
        from velmora.gpu.backend_registry import GPUBackendKind, GPUBackendRegistry
        gpu_info(GPUBackendRegistry, GPUBackendKind, info)
    except Exception:
        try:
            import subprocess
            done = subprocess.run(["nvidia-smi", "--query-gpu=name", "--format=csv,noheader"],
                                  capture_output=True, timeout=0.5, check=False)
            if done.returncode == 0 and done.stdout:
                info["has_gpu"] = True
                lines = done.stdout.decode("utf-8", errors="ignore").strip().split("\n")
                info["gpu_count"] = sum(1 for line in lines if line.strip())
        except Exception:
            pass
    return info


def detect_python_version():
    v = sys.version_info
    has_sub = False
    if v >= (3, 12):
        for name in SUBINTERPRETER_MODULES:
            try:
                __import__(name)
                has_sub = True
                break
            except ImportError:
                pass
    return "%d.%d.%d" % (v.major, v.minor, v.micro), has_sub


def detect_capabilities():
    start = time.perf_counter()
    try:
        report = {"physical_cores": detect_physical_cores(), "numa_nodes": detect_numa_nodes()}
        report.update(detect_gpu_backends())
        report["python_version"], report["subinterpreter_support"] = detect_python_version()
        report["platform"] = sys.platform
        report["detected_at"] = time.time()
        report["detector"] = "native"
        report["detection_time_ms"] = (time.perf_counter() - start) * 1000
        return report
    except Exception as e:
        report = {"physical_cores": os.cpu_count() or 1, "numa_nodes": 1}
        report.update(INITIAL_GPU)
        report["python_version"] = "%d.%d" % (sys.version_info.major, sys.version_info.minor)
        report["subinterpreter_support"] = False
        report["platform"] = sys.platform
        report["detected_at"] = time.time()
        report["detector"] = "native_fallback"
        report["error"] = str(e)
        report["detection_time_ms"] = (time.perf_counter() - start) * 1000
        return report
