"""backend_registry: vendor-library probing (NVML, ROCm SMI, Level Zero stand-ins), visibility, priority and caching."""

import ctypes
import subprocess
import sys
import threading

import pytest

from velmora.gpu import backend_registry as br
from velmora.gpu.backend_registry import BackendInfo, DeviceInfo, GPUBackend, GPUBackendKind, GPUBackendRegistry

GIB = 1 << 30
OK = 0
ERR = 999


# --- a stand-in for a vendor library: real C function pointers calling Python -----------------------

class StandIn:
    """Attributes are ctypes function pointers (CFUNCTYPE) whose bodies are Python callables, so
    the registry's calls go through real foreign-function marshalling."""

    def __init__(self):
        self.calls = []

    def define(self, name, restype, argtypes, body):
        proto = ctypes.CFUNCTYPE(restype, *argtypes)

        def traced(*args):
            self.calls.append(name)
            return body(*args)
        setattr(self, name, proto(traced))

    def count(self, name):
        return self.calls.count(name)


def write_text(address, size, text):
    data = text.encode()[: size - 1] + b"\0"
    ctypes.memmove(address, data, len(data))


def nvml(devices, cuda=12040, driver="550.54", init=OK, count_rc=OK, broken_handles=(), broken_memory=(),
         omit=()):
    """NVML stand-in; devices are (name, uuid, total_bytes)."""
    lib = StandIn()
    u, vp, ip = ctypes.c_uint, ctypes.c_void_p, ctypes.c_int

    def handle_of(address):
        return ctypes.c_void_p.from_address(address)

    def get_count(p):
        ctypes.c_uint.from_address(p).value = len(devices)
        return count_rc

    def get_handle(i, p):
        if i in broken_handles:
            return ERR
        handle_of(p).value = 0x1000 + i
        return OK

    def device(h):
        return devices[h - 0x1000]

    def get_memory(h, p):
        if h - 0x1000 in broken_memory:
            return ERR
        mem = br._NvmlMemory.from_address(p)
        mem.total, mem.used = device(h)[2], 1
        mem.free = mem.total - 1
        return OK

    def text(pick):
        def fn(h, buf, size):
            write_text(buf, size, pick(device(h)))
            return OK
        return fn

    def cuda_version(p):
        ctypes.c_int.from_address(p).value = cuda
        return OK if cuda else ERR

    def driver_version(buf, size):
        write_text(buf, size, driver)
        return OK

    table = [
        ("nvmlInit_v2", ip, [], lambda: init),
        ("nvmlShutdown", ip, [], lambda: OK),
        ("nvmlDeviceGetCount_v2", ip, [vp], get_count),
        ("nvmlDeviceGetHandleByIndex_v2", ip, [u, vp], get_handle),
        ("nvmlDeviceGetMemoryInfo", ip, [ctypes.c_size_t, vp], get_memory),
        ("nvmlDeviceGetName", ip, [ctypes.c_size_t, vp, u], text(lambda d: d[0])),
        ("nvmlDeviceGetUUID", ip, [ctypes.c_size_t, vp, u], text(lambda d: d[1])),
        ("nvmlSystemGetCudaDriverVersion_v2", ip, [vp], cuda_version),
        ("nvmlSystemGetDriverVersion", ip, [vp, u], driver_version),
    ]
    for name, restype, argtypes, body in table:
        if name not in omit:
            lib.define(name, restype, argtypes, body)
    return lib


TWO_GPUS = [("GPU Zero", "GPU-aaaa-1111", 8 * GIB), ("GPU One", "GPU-bbbb-2222", 16 * GIB)]


@pytest.fixture(autouse=True)
def fresh_registry(monkeypatch):
    monkeypatch.delenv("CUDA_VISIBLE_DEVICES", raising=False)
    GPUBackendRegistry.clear_cache()
    yield
    GPUBackendRegistry.clear_cache()


@pytest.fixture
def libraries(monkeypatch):
    """Sets which stand-in each vendor library opener returns (None: library absent)."""
    def install(cuda=None, rocm=None, oneapi=None):
        monkeypatch.setattr(br, "_open_nvml", lambda: cuda)
        monkeypatch.setattr(br, "_open_rocm_smi", lambda: rocm)
        monkeypatch.setattr(br, "_open_level_zero", lambda: oneapi)
        GPUBackendRegistry.clear_cache()
    return install


# --- kinds and records ------------------------------------------------------------------------------

def test_kinds_and_values():
    assert [(k.name, k.value) for k in GPUBackendKind] == [
        ("CUDA", "cuda"), ("ROCm", "rocm"), ("oneAPI", "oneapi"), ("CPU", "cpu")]


def test_records_are_immutable_values():
    a = BackendInfo(GPUBackendKind.CUDA, 2, 1.5, "12.4")
    assert a == BackendInfo(kind=GPUBackendKind.CUDA, device_count=2, memory_gb=1.5, version="12.4")
    assert a.devices == () and a.driver_version == ""
    assert hash(a) == hash(BackendInfo(GPUBackendKind.CUDA, 2, 1.5, "12.4"))
    assert a != BackendInfo(GPUBackendKind.CUDA, 3, 1.5, "12.4")
    with pytest.raises(AttributeError):
        a.device_count = 5
    with pytest.raises(TypeError):
        BackendInfo(GPUBackendKind.CUDA)
    assert "device_count=2" in repr(a)
    assert GPUBackend(a).kind is GPUBackendKind.CUDA and GPUBackend(a).is_gpu
    assert DeviceInfo(0).memory_bytes == 0


# --- CUDA through NVML --------------------------------------------------------------------------------

def test_nvml_two_devices():
    lib = nvml(TWO_GPUS)
    info = br._probe_cuda(lib)
    assert info.kind is GPUBackendKind.CUDA and info.device_count == 2
    assert info.memory_gb == 24.0 and info.version == "12.4" and info.driver_version == "550.54"
    assert info.devices == (DeviceInfo(0, "GPU Zero", 8 * GIB), DeviceInfo(1, "GPU One", 16 * GIB))
    assert lib.count("nvmlInit_v2") == lib.count("nvmlShutdown") == 1


@pytest.mark.parametrize(
    "kwargs, shutdowns",
    [
        ({"init": ERR}, 0),                              # driver present but not initialisable
        ({"count_rc": ERR}, 1),
        ({"omit": ("nvmlDeviceGetMemoryInfo",)}, 1),     # an entry point missing
        ({"omit": ("nvmlInit_v2", "nvmlInit")}, 0),
    ],
)
def test_nvml_failures_mean_not_available(kwargs, shutdowns):
    lib = nvml(TWO_GPUS, **kwargs)
    assert br._probe_cuda(lib) is None
    assert lib.count("nvmlShutdown") == shutdowns


def test_nvml_no_devices_and_absent_library():
    assert br._probe_cuda(nvml([])) is None
    assert br._probe_cuda(None) is None


def test_nvml_partial_device_failures_keep_the_device():
    info = br._probe_cuda(nvml(TWO_GPUS, broken_handles={0}, broken_memory={1}))
    assert info.device_count == 2 and info.memory_gb == 0.0
    assert info.devices == (DeviceInfo(0), DeviceInfo(1, "GPU One", 0))


@pytest.mark.parametrize(
    "cuda, expected", [(12040, "12.4"), (11080, "11.8"), (10010, "10.1"), (0, "")])
def test_nvml_cuda_version_text(cuda, expected):
    assert br._probe_cuda(nvml(TWO_GPUS, cuda=cuda)).version == expected


THREE = TWO_GPUS + [("GPU Two", "GPU-bbbb-3333", 4 * GIB)]


@pytest.mark.parametrize(
    "visible, names",
    [
        (None, ["GPU Zero", "GPU One", "GPU Two"]),
        ("", None),
        ("2", ["GPU Two"]),
        ("1,0", ["GPU One", "GPU Zero"]),
        (" 0 , 2 ", ["GPU Zero", "GPU Two"]),
        ("0,7,1", ["GPU Zero"]),                  # the list ends at the first invalid entry
        ("-1", None),
        ("0,0,1", ["GPU Zero"]),                  # a repeat ends it too
        ("GPU-aaaa", ["GPU Zero"]),
        ("GPU-bbbb-3,0", ["GPU Two", "GPU Zero"]),
        ("GPU-bbbb", None),                       # ambiguous prefix
        ("MIG-1234", [""]),                       # a MIG instance: one device, memory unknown
        ("x,0", None),
    ],
)
def test_nvml_respects_cuda_visible_devices(monkeypatch, visible, names):
    if visible is not None:
        monkeypatch.setenv("CUDA_VISIBLE_DEVICES", visible)
    info = br._probe_cuda(nvml(THREE))
    if names is None:
        assert info is None
        return
    assert [d.name for d in info.devices] == names and info.device_count == len(names)
    sizes = {n: s for n, _, s in THREE}
    assert info.memory_gb * GIB == sum(sizes.get(n, 0) for n in names)


# --- ROCm and oneAPI stand-ins ----------------------------------------------------------------------

def rocm(sizes, init=OK):
    lib = StandIn()
    ip, vp = ctypes.c_int, ctypes.c_void_p

    def count(p):
        ctypes.c_uint32.from_address(p).value = len(sizes)
        return OK

    def memory(i, kind, p):
        assert kind == 0  # VRAM
        ctypes.c_uint64.from_address(p).value = sizes[i]
        return OK

    def version(p):
        v = br._RsmiVersion.from_address(p)
        v.major, v.minor, v.patch = 6, 1, 2
        return OK

    lib.define("rsmi_init", ip, [ctypes.c_uint64], lambda flags: init)
    lib.define("rsmi_shut_down", ip, [], lambda: OK)
    lib.define("rsmi_num_monitor_devices", ip, [vp], count)
    lib.define("rsmi_dev_memory_total_get", ip, [ctypes.c_uint32, ctypes.c_int, vp], memory)
    lib.define("rsmi_version_get", ip, [vp], version)
    return lib


def level_zero(devices_per_driver, api=(1 << 16) | 3):
    lib = StandIn()
    ip, vp, u32 = ctypes.c_int, ctypes.c_void_p, ctypes.c_uint32

    def driver_get(count_p, drivers_p):
        ctypes.c_uint32.from_address(count_p).value = len(devices_per_driver)
        if drivers_p:
            for i in range(len(devices_per_driver)):
                ctypes.c_void_p.from_address(drivers_p + i * ctypes.sizeof(ctypes.c_void_p)).value = 0x100 + i
        return OK

    def device_get(driver, count_p, devices_p):
        ctypes.c_uint32.from_address(count_p).value = devices_per_driver[driver - 0x100]
        return OK

    def api_version(driver, p):
        ctypes.c_uint32.from_address(p).value = api
        return OK

    lib.define("zeInit", ip, [u32], lambda flags: OK if flags == 1 else ERR)
    lib.define("zeDriverGet", ip, [vp, vp], driver_get)
    lib.define("zeDeviceGet", ip, [vp, vp, vp], device_get)
    lib.define("zeDriverGetApiVersion", ip, [vp, vp], api_version)
    return lib


def test_rocm_probe():
    lib = rocm([16 * GIB, 32 * GIB])
    info = br._probe_rocm(lib)
    assert (info.kind, info.device_count, info.memory_gb, info.version) == (GPUBackendKind.ROCm, 2, 48.0, "6.1.2")
    assert lib.count("rsmi_shut_down") == 1
    assert br._probe_rocm(rocm([16 * GIB], init=ERR)) is None
    assert br._probe_rocm(rocm([])) is None


def test_oneapi_probe():
    info = br._probe_oneapi(level_zero([1, 2]))
    assert (info.kind, info.device_count, info.memory_gb, info.version) == (GPUBackendKind.oneAPI, 3, 0.0, "1.3")
    assert br._probe_oneapi(level_zero([0, 0])) is None
    assert br._probe_oneapi(level_zero([])) is None


# --- the registry -------------------------------------------------------------------------------------

def test_cpu_only_host(libraries):
    libraries()
    available = GPUBackendRegistry.detect_available_backends()
    assert list(available) == [GPUBackendKind.CPU]
    cpu = available[GPUBackendKind.CPU]
    assert cpu.kind is GPUBackendKind.CPU and cpu.device_count == 1 and cpu.memory_gb >= 0.0
    best = GPUBackendRegistry.get_best_available()
    assert best.info.kind is GPUBackendKind.CPU and best.info.kind.value == "cpu" and best.info.version == ""


@pytest.mark.parametrize(
    "present, best",
    [
        ({"cuda", "rocm", "oneapi"}, GPUBackendKind.CUDA),
        ({"rocm", "oneapi"}, GPUBackendKind.ROCm),
        ({"oneapi"}, GPUBackendKind.oneAPI),
        ({"cuda"}, GPUBackendKind.CUDA),
    ],
)
def test_priority_and_membership(libraries, present, best):
    libraries(cuda=nvml(TWO_GPUS) if "cuda" in present else None,
              rocm=rocm([GIB]) if "rocm" in present else None,
              oneapi=level_zero([1]) if "oneapi" in present else None)
    available = GPUBackendRegistry.detect_available_backends()
    expected = [k for k, n in [(GPUBackendKind.CUDA, "cuda"), (GPUBackendKind.ROCm, "rocm"),
                               (GPUBackendKind.oneAPI, "oneapi")] if n in present]
    assert list(available) == expected + [GPUBackendKind.CPU]
    assert GPUBackendRegistry.get_best_available().info == available[best]
    assert GPUBackendRegistry.is_available(best)


def test_a_misbehaving_probe_is_not_available(libraries, monkeypatch):
    libraries(rocm=rocm([GIB]))

    def explode():
        raise RuntimeError("vendor library crashed on open")
    monkeypatch.setattr(br, "_open_nvml", explode)
    GPUBackendRegistry.clear_cache()
    assert list(GPUBackendRegistry.detect_available_backends()) == [GPUBackendKind.ROCm, GPUBackendKind.CPU]


def test_cache_refresh_and_copies(libraries, monkeypatch):
    opened = []
    monkeypatch.setattr(br, "_open_nvml", lambda: opened.append(1) or nvml(TWO_GPUS))
    monkeypatch.setattr(br, "_open_rocm_smi", lambda: None)
    monkeypatch.setattr(br, "_open_level_zero", lambda: None)
    first = GPUBackendRegistry.detect_available_backends()
    first.clear()  # callers get copies
    assert GPUBackendKind.CUDA in GPUBackendRegistry.detect_available_backends()
    GPUBackendRegistry.get_best_available()
    assert len(opened) == 1
    GPUBackendRegistry.detect_available_backends(refresh=True)
    assert len(opened) == 2
    GPUBackendRegistry.clear_cache()
    GPUBackendRegistry.get_best_available()
    assert len(opened) == 3


def test_concurrent_first_calls_probe_once(libraries, monkeypatch):
    opened = []
    gate = threading.Event()

    def slow_open():
        opened.append(1)
        gate.wait(5)
        return nvml(TWO_GPUS)
    monkeypatch.setattr(br, "_open_nvml", slow_open)
    results = []
    threads = [threading.Thread(target=lambda: results.append(GPUBackendRegistry.get_best_available()))
               for _ in range(4)]
    for t in threads:
        t.start()
    gate.set()
    for t in threads:
        t.join(timeout=30)
    assert not any(t.is_alive() for t in threads)
    assert len(opened) == 1 and len(results) == 4
    assert all(r.info.kind is GPUBackendKind.CUDA for r in results)


def test_real_host_detection_starts_no_process(monkeypatch):
    def refuse(*args, **kwargs):
        raise AssertionError("the registry must not start a process")
    monkeypatch.setattr(subprocess, "Popen", refuse)
    available = GPUBackendRegistry.detect_available_backends(refresh=True)
    assert GPUBackendKind.CPU in available
    assert list(available)[-1] is GPUBackendKind.CPU
    for kind, info in available.items():
        assert info.kind is kind and info.device_count >= 1 and info.memory_gb >= 0.0
    best = GPUBackendRegistry.get_best_available()
    assert best.info.kind in available


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="library names are Linux ones")
def test_library_candidates_on_linux():
    assert br._nvml_candidates()[0] == "libnvidia-ml.so.1"
    assert br._level_zero_candidates()[0] == "libze_loader.so.1"
    assert any(c.endswith("librocm_smi64.so") for c in br._rocm_smi_candidates())
    assert br._open_first(["libdefinitely-not-here.so.9"]) is None
    assert br._present("libc.so.6") and not br._present("libdefinitely-not-here.so.9")
    assert not br._present("/nonexistent/dir/libnvidia-ml.so.1")
    libc = br._open_first(["libdefinitely-not-here.so.9", "/nonexistent/libc.so.6", "libc.so.6"])
    assert libc is not None and libc.strlen(b"abc") == 3


# --- what hostprobe reports through the real registry -------------------------------------------------

def test_hostprobe_reports_an_nvml_host(libraries, monkeypatch):
    hostprobe = pytest.importorskip("velmora.native.hostprobe")
    monkeypatch.setenv("PATH", "")  # the tool fallback must not be what answers
    libraries(cuda=nvml([("A", "GPU-1", 40 * GIB + 512 * (1 << 20)), ("B", "GPU-2", 40 * GIB)]), rocm=rocm([GIB]))
    assert hostprobe.detect_gpu_backends() == {
        "has_gpu": True, "gpu_count": 2, "gpu_memory_mb": 80 * 1024 + 512, "cuda_available": True,
        "rocm_available": True, "oneapi_available": False, "active_backend": "cuda", "backend_version": "12.4",
    }
    report = hostprobe.detect_capabilities()
    assert report["detector"] == "native" and report["active_backend"] == "cuda"


def test_hostprobe_reports_a_cpu_host(libraries):
    hostprobe = pytest.importorskip("velmora.native.hostprobe")
    libraries()
    assert hostprobe.detect_gpu_backends() == {
        "has_gpu": False, "gpu_count": 0, "gpu_memory_mb": 0, "cuda_available": False,
        "rocm_available": False, "oneapi_available": False, "active_backend": "cpu", "backend_version": "",
    }
