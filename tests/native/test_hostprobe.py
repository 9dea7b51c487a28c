"""hostprobe: the five probes, their guards and fallbacks (nvidia-smi, registry, fallback report) on a GPU-less host."""

import ctypes
import enum
import importlib.abc
import os
import stat
import subprocess
import sys
import textwrap
import threading
import time
import types
from unittest import mock

import pytest
from hypothesis import given, settings, strategies as st

from velmora.native import hostprobe

from reference import hostprobe as model

REGISTRY = "velmora.gpu.backend_registry"
INITIAL_GPU = {
    "has_gpu": False, "gpu_count": 0, "gpu_memory_mb": 0, "cuda_available": False,
    "rocm_available": False, "oneapi_available": False, "active_backend": "cpu", "backend_version": "",
}
REPORT_KEYS = [
    "physical_cores", "numa_nodes", *INITIAL_GPU, "python_version", "subinterpreter_support",
    "platform", "detected_at", "detector", "detection_time_ms",
]
FALLBACK_KEYS = REPORT_KEYS[:-1] + ["error", "detection_time_ms"]
PROBES = ["detect_physical_cores", "detect_numa_nodes", "detect_gpu_backends", "detect_python_version",
          "detect_capabilities"]


# --- helpers ---------------------------------------------------------------------------------------

class Namespace(types.SimpleNamespace):
    pass


def fake_os(**overrides):
    """An `os` stand-in: the real module's attributes, some replaced or removed (value None)."""
    ns = types.ModuleType("fake_os")
    for name in ("path", "listdir", "cpu_count", "sched_getaffinity"):
        if hasattr(os, name):
            setattr(ns, name, getattr(os, name))
    for name, value in overrides.items():
        if value is None:
            if hasattr(ns, name):
                delattr(ns, name)
        else:
            setattr(ns, name, value)
    return ns


def fake_sys(platform=sys.platform, version_info=None):
    vi = version_info or sys.version_info
    return Namespace(platform=platform, version_info=VersionInfo(*tuple(vi)[:5]))


class VersionInfo(tuple):
    def __new__(cls, major, minor, micro, releaselevel="final", serial=0):
        return super().__new__(cls, (major, minor, micro, releaselevel, serial))

    major = property(lambda self: self[0])
    minor = property(lambda self: self[1])
    micro = property(lambda self: self[2])


class ImportRecorder(importlib.abc.MetaPathFinder):
    """Records (and optionally breaks) imports of chosen module names."""

    def __init__(self, names, error=None):
        self.names, self.error, self.seen = set(names), error, []

    def find_spec(self, fullname, path=None, target=None):
        if fullname in self.names:
            self.seen.append(fullname)
            if self.error is not None:
                raise self.error
        return None


@pytest.fixture
def meta_path_first(monkeypatch):
    def install(finder, drop=()):
        for name in drop:
            monkeypatch.delitem(sys.modules, name, raising=False)
        monkeypatch.setattr(sys, "meta_path", [finder] + sys.meta_path)
        return finder
    return install


@pytest.fixture
def no_registry(monkeypatch):
    monkeypatch.setitem(sys.modules, REGISTRY, None)


@pytest.fixture
def smi_path(tmp_path, monkeypatch):
    """PATH holding only a directory where a fake nvidia-smi may be written."""
    bindir = tmp_path / "bin"
    bindir.mkdir()
    monkeypatch.setenv("PATH", str(bindir))

    def write(body, interpreter="/bin/sh"):
        tool = bindir / "nvidia-smi"
        tool.write_text("#!%s\n%s\n" % (interpreter, textwrap.dedent(body)))
        tool.chmod(tool.stat().st_mode | stat.S_IXUSR)
        return tool
    return write


class Kind(enum.Enum):
    CUDA = "cuda"
    ROCm = "rocm"
    oneAPI = "oneapi"
    CPU = "cpu"


def registry_module(available, best, version="1.0", fail=None, kind_enum=Kind):
    """A stand-in registry module; `available` maps Kind -> (device_count, memory_gb)."""
    module = types.ModuleType(REGISTRY)

    class Registry:
        @staticmethod
        def detect_available_backends():
            if fail == "detect":
                raise RuntimeError("probe failed")
            return {k: Namespace(device_count=c, memory_gb=m) for k, (c, m) in available.items()}

        @staticmethod
        def get_best_available():
            if fail == "best":
                raise RuntimeError("no best")
            return Namespace(info=Namespace(kind=best, version=version))

    module.GPUBackendRegistry = Registry
    if kind_enum is not None:
        module.GPUBackendKind = kind_enum
    return module


# --- binding and module shape ----------------------------------------------------------------------

@pytest.mark.parametrize("name", PROBES)
def test_probes_take_no_arguments(name):
    fn = getattr(hostprobe, name)
    with pytest.raises(TypeError) as info:
        fn(1, 2)
    assert str(info.value) == "%s() takes no arguments (2 given)" % name
    with pytest.raises(TypeError) as info:
        fn(x=1)
    assert str(info.value) == "%s() takes no keyword arguments" % name


def test_namespace_holds_std_modules_and_imports_the_rest_lazily():
    assert hostprobe.sys is sys and hostprobe.os is os and hostprobe.time is time
    assert not hasattr(hostprobe, "logger")
    code = ("import sys, velmora.native.hostprobe as h; "
            "print(sorted(m for m in ('%s', '_xxsubinterpreters', '_interpreters') if m in sys.modules))"
            % REGISTRY)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[]"


# --- detect_physical_cores ---------------------------------------------------------------------------

def raising(exc):
    def fn(*args, **kwargs):
        raise exc
    return fn


@pytest.mark.parametrize(
    "overrides",
    [
        {},
        {"sched_getaffinity": lambda pid: {0, 3, 5}},
        {"sched_getaffinity": None, "cpu_count": lambda: 6},
        {"sched_getaffinity": None, "cpu_count": lambda: None},
        {"sched_getaffinity": None, "cpu_count": lambda: 0},
        {"sched_getaffinity": None, "cpu_count": lambda: 3.7},
        {"sched_getaffinity": raising(OSError("denied")), "cpu_count": lambda: 5},
        {"sched_getaffinity": raising(OSError("denied")), "cpu_count": lambda: None},
        {"sched_getaffinity": lambda pid: 42, "cpu_count": lambda: 7},
    ],
)
def test_physical_cores_matches_reference(monkeypatch, overrides):
    os_like = fake_os(**overrides)
    monkeypatch.setattr(hostprobe, "os", os_like)
    got = hostprobe.detect_physical_cores()
    assert type(got) is int and got == model.detect_physical_cores(os_like)


def test_physical_cores_real_host_and_pinned_thread():
    if not hasattr(os, "sched_getaffinity"):
        assert hostprobe.detect_physical_cores() == (os.cpu_count() or 1)
        return
    original = os.sched_getaffinity(0)
    assert hostprobe.detect_physical_cores() == len(original)
    os.sched_setaffinity(0, {min(original)})  # this thread only, restored below
    try:
        assert hostprobe.detect_physical_cores() == 1
    finally:
        os.sched_setaffinity(0, original)


def test_physical_cores_errors_beyond_the_guard(monkeypatch):
    monkeypatch.setattr(hostprobe, "os", fake_os(sched_getaffinity=raising(KeyboardInterrupt())))
    with pytest.raises(KeyboardInterrupt):
        hostprobe.detect_physical_cores()
    # The fallback itself failing is not absorbed a second time.
    monkeypatch.setattr(hostprobe, "os", fake_os(sched_getaffinity=None, cpu_count=lambda: 2**40))
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        hostprobe.detect_physical_cores()


# --- detect_numa_nodes -------------------------------------------------------------------------------

NODE_DIR = "/sys/devices/system/node"


def numa_os(names=None, exists=True):
    def listdir(path):
        assert path == NODE_DIR
        if isinstance(names, BaseException):
            raise names
        return list(names)
    path = Namespace(exists=lambda p: exists and p == NODE_DIR)
    return fake_os(path=path, listdir=listdir)


@pytest.mark.parametrize(
    "names, expected",
    [
        (["node0", "node1", "possible", "online"], 2),
        (["possible", "online", "node"], 1),
        ([], 1),
        (["node12", "node3x", "nodes", "Node1", "node-1", "node²", "node٣"], 3),
    ],
)
def test_numa_nodes_linux_listing(monkeypatch, names, expected):
    monkeypatch.setattr(hostprobe, "sys", fake_sys("linux"))
    monkeypatch.setattr(hostprobe, "os", numa_os(names))
    assert hostprobe.detect_numa_nodes() == expected == model.count_numa_nodes(names)


@settings(max_examples=80, deadline=None)
@given(st.lists(st.one_of(st.text(max_size=8), st.builds(lambda s: "node" + s, st.text(max_size=4)),
                          st.integers(0, 999).map(lambda i: "node%d" % i)), max_size=12))
def test_numa_nodes_linux_matches_reference(names):
    with mock.patch.object(hostprobe, "sys", fake_sys("linux")), \
            mock.patch.object(hostprobe, "os", numa_os(names)):
        assert hostprobe.detect_numa_nodes() == model.count_numa_nodes(names)


class StrLike(str):
    def startswith(self, prefix, *args):
        return True

    def __getitem__(self, item):
        return "7"


@pytest.mark.parametrize(
    "os_like, expected",
    [
        (numa_os(["node0", "node1"], exists=False), 1),
        (numa_os(PermissionError("no")), 1),
        (numa_os([b"node0", "node1"]), 1),           # bytes.startswith("node") raises TypeError
        (numa_os([StrLike("x"), "node5"]), 2),       # non-exact str answers through its own methods
        (numa_os(["node%d" % i for i in range(64)]), 64),
    ],
)
def test_numa_nodes_linux_guards(monkeypatch, os_like, expected):
    monkeypatch.setattr(hostprobe, "sys", fake_sys("linux"))
    monkeypatch.setattr(hostprobe, "os", os_like)
    assert hostprobe.detect_numa_nodes() == expected


def test_numa_nodes_real_host():
    if sys.platform != "linux":
        assert hostprobe.detect_numa_nodes() == 1
    elif os.path.exists(NODE_DIR):
        assert hostprobe.detect_numa_nodes() == model.count_numa_nodes(os.listdir(NODE_DIR))
    else:
        assert hostprobe.detect_numa_nodes() == 1


@pytest.mark.parametrize("platform", ["darwin", "linux2", "Linux", "cygwin", "win"])
def test_numa_nodes_other_platforms(monkeypatch, platform):
    monkeypatch.setattr(hostprobe, "sys", fake_sys(platform))
    monkeypatch.setattr(hostprobe, "os", numa_os(["node0", "node1", "node2"]))
    assert hostprobe.detect_numa_nodes() == 1


def test_numa_nodes_interrupt_propagates(monkeypatch):
    monkeypatch.setattr(hostprobe, "sys", fake_sys("linux"))
    monkeypatch.setattr(hostprobe, "os", numa_os(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        hostprobe.detect_numa_nodes()


def windows_ctypes(highest=None, result=1, windll_error=None):
    """Stand-in `ctypes` / `ctypes.wintypes` for the Windows branch, recording what is set."""
    calls = {}

    class NumaFunction:
        def __call__(self, ref):
            calls["arg"] = ref
            if highest is not None:
                ref._obj.value = highest
            return result

    def WinDLL(name, use_last_error=False):
        calls["dll"] = (name, use_last_error)
        if windll_error is not None:
            raise windll_error
        fn = NumaFunction()
        calls["fn"] = fn
        return Namespace(GetNumaHighestNodeNumber=fn)

    fake = types.ModuleType("ctypes")
    for name in ("POINTER", "c_ulong", "byref"):
        setattr(fake, name, getattr(ctypes, name))
    fake.WinDLL = WinDLL
    wintypes = types.ModuleType("ctypes.wintypes")
    wintypes.BOOL = ctypes.c_long
    fake.wintypes = wintypes
    return fake, wintypes, calls


@pytest.mark.parametrize(
    "highest, result, windll_error, expected",
    [(3, 1, None, 4), (0, 1, None, 1), (7, 0, None, 1), (None, True, None, 1),
     (5, 1, OSError("no kernel32"), 1), (2**31 - 1, 1, None, 1)],
)
def test_numa_nodes_windows_branch(monkeypatch, highest, result, windll_error, expected):
    fake, wintypes, calls = windows_ctypes(highest, result, windll_error)
    monkeypatch.setitem(sys.modules, "ctypes", fake)
    monkeypatch.setitem(sys.modules, "ctypes.wintypes", wintypes)
    monkeypatch.setattr(hostprobe, "sys", fake_sys("win32"))
    assert hostprobe.detect_numa_nodes() == expected
    assert calls["dll"] == ("kernel32", True)
    if windll_error is None:
        fn = calls["fn"]
        assert fn.restype is ctypes.c_long
        assert fn.argtypes == [ctypes.POINTER(ctypes.c_ulong)]
        assert type(calls["arg"]._obj) is ctypes.c_ulong


# --- detect_python_version ---------------------------------------------------------------------------

SUBINTERPRETER_MODULES = ("_xxsubinterpreters", "_interpreters")


def test_python_version_real_interpreter():
    version, has_sub = hostprobe.detect_python_version()
    assert version == "%d.%d.%d" % sys.version_info[:3]
    expected = False
    if sys.version_info >= (3, 12):
        for name in SUBINTERPRETER_MODULES:
            try:
                __import__(name)
                expected = True
                break
            except ImportError:
                pass
    assert has_sub is expected


def test_python_version_before_312_does_not_import(monkeypatch, meta_path_first):
    recorder = meta_path_first(ImportRecorder(SUBINTERPRETER_MODULES), drop=SUBINTERPRETER_MODULES)
    monkeypatch.setattr(hostprobe, "sys", fake_sys(version_info=(3, 11, 9)))
    assert hostprobe.detect_python_version() == ("3.11.9", False)
    assert recorder.seen == []


@pytest.mark.parametrize(
    "present, expected",
    [({"_xxsubinterpreters"}, True), ({"_interpreters"}, True), (set(SUBINTERPRETER_MODULES), True), (set(), False)],
)
def test_python_version_probes_both_module_names(monkeypatch, present, expected):
    for name in SUBINTERPRETER_MODULES:
        monkeypatch.setitem(sys.modules, name, types.ModuleType(name) if name in present else None)
    monkeypatch.setattr(hostprobe, "sys", fake_sys(version_info=(3, 13, 0)))
    assert hostprobe.detect_python_version() == ("3.13.0", expected)


def test_python_version_other_import_errors_propagate(monkeypatch, meta_path_first):
    meta_path_first(ImportRecorder({"_xxsubinterpreters"}, error=RuntimeError("broken")),
                    drop=SUBINTERPRETER_MODULES)
    monkeypatch.setattr(hostprobe, "sys", fake_sys(version_info=(3, 12, 1)))
    with pytest.raises(RuntimeError, match="broken"):
        hostprobe.detect_python_version()


# --- detect_gpu_backends ---------------------------------------------------------------------------

def test_gpu_no_registry_no_tool_is_initial(no_registry, smi_path):
    assert hostprobe.detect_gpu_backends() == INITIAL_GPU
    assert list(hostprobe.detect_gpu_backends()) == list(INITIAL_GPU)


@pytest.mark.parametrize(
    "body, has_gpu, count",
    [
        ("printf 'NVIDIA A100\\nNVIDIA H100\\n\\n'", True, 2),
        ("printf 'Tesla T4\\n'", True, 1),
        ("printf '\\n  \\n\\n'", False, 0),                 # blank lines only: no GPU
        ("printf ' A \\n\\n B\\n \\nC'", True, 3),
        ("printf 'GPU0\\n'; exit 3", False, 0),             # non-zero return code
        ("exit 0", False, 0),                               # empty output
        ("printf '\\377\\376GPU\\n'", True, 1),             # undecodable bytes are ignored
    ],
)
def test_gpu_nvidia_smi_fallback(no_registry, smi_path, body, has_gpu, count):
    smi_path(body)
    expected = dict(INITIAL_GPU, has_gpu=has_gpu, gpu_count=count)
    assert hostprobe.detect_gpu_backends() == expected


def test_gpu_nvidia_smi_arguments(no_registry, smi_path, tmp_path):
    log = tmp_path / "args"
    smi_path('printf "%%s|" "$@" > %s; printf "X\\n"' % log)
    assert hostprobe.detect_gpu_backends()["gpu_count"] == 1
    assert log.read_text() == "--query-gpu=name|--format=csv,noheader|"


def test_gpu_nvidia_smi_timeout(no_registry, smi_path):
    smi_path("import time\nprint('GPU', flush=True)\ntime.sleep(20)", interpreter=sys.executable)
    start = time.monotonic()
    assert hostprobe.detect_gpu_backends() == INITIAL_GPU
    assert time.monotonic() - start < 10  # bounded by the 0.5 s timeout, not by the child


@settings(max_examples=60, deadline=None)
@given(
    st.dictionaries(st.sampled_from([Kind.CUDA, Kind.ROCm, Kind.oneAPI]),
                    st.tuples(st.integers(0, 16), st.floats(0, 1e4, allow_nan=False)), max_size=3),
    st.sampled_from(list(Kind)),
    st.text(max_size=6),
)
def test_gpu_registry_matches_reference(available, best, version):
    available = dict(available)
    if best is not Kind.CPU:
        available.setdefault(best, (1, 7.5))
    available[Kind.CPU] = (1, 0.0)
    with mock.patch.dict(sys.modules, {REGISTRY: registry_module(available, best, version)}):
        got = hostprobe.detect_gpu_backends()
    assert got == model.gpu_info(registry_module(available, best, version).GPUBackendRegistry, Kind)
    assert list(got) == list(INITIAL_GPU)


def test_gpu_registry_documented_cases(monkeypatch, smi_path):
    smi_path("printf 'ShouldNotRun\\n'")
    monkeypatch.setitem(sys.modules, REGISTRY, registry_module(
        {Kind.CUDA: (2, 7.5), Kind.CPU: (1, 64.0)}, Kind.CUDA, "12.4"))
    assert hostprobe.detect_gpu_backends() == dict(
        INITIAL_GPU, has_gpu=True, gpu_count=2, gpu_memory_mb=7680, cuda_available=True,
        active_backend="cuda", backend_version="12.4")
    monkeypatch.setitem(sys.modules, REGISTRY, registry_module(
        {Kind.ROCm: (1, 8.0), Kind.CPU: (4, 64.0)}, Kind.CPU, "x"))
    assert hostprobe.detect_gpu_backends() == dict(INITIAL_GPU, rocm_available=True, backend_version="x")


@pytest.mark.parametrize(
    "module, kept",
    [
        (registry_module({}, Kind.CUDA, fail="detect"), {}),
        (registry_module({Kind.CUDA: (1, 1.0)}, Kind.CUDA, fail="best"), {"cuda_available": True}),
        (registry_module({Kind.CUDA: (1, 1.0)}, Kind.CUDA, kind_enum=None), {}),
        # best backend missing from the available container: KeyError after the flags are set
        (registry_module({Kind.ROCm: (1, 1.0)}, Kind.CUDA, "11"),
         {"rocm_available": True, "active_backend": "cuda", "backend_version": "11"}),
    ],
)
def test_gpu_registry_failure_keeps_entries_and_uses_tool(monkeypatch, smi_path, module, kept):
    smi_path("printf 'Fallback GPU\\n'")
    monkeypatch.setitem(sys.modules, REGISTRY, module)
    assert hostprobe.detect_gpu_backends() == dict(INITIAL_GPU, **dict(kept, has_gpu=True, gpu_count=1))


def test_gpu_registry_failing_on_import(meta_path_first, smi_path):
    recorder = meta_path_first(ImportRecorder({REGISTRY}, error=RuntimeError("registry broken")), drop=[REGISTRY])
    assert hostprobe.detect_gpu_backends() == INITIAL_GPU
    assert recorder.seen == [REGISTRY]
    smi_path("printf 'A\\nB\\n'")
    assert hostprobe.detect_gpu_backends() == dict(INITIAL_GPU, has_gpu=True, gpu_count=2)


def test_gpu_base_exceptions_propagate(monkeypatch, no_registry):
    module = registry_module({}, Kind.CPU)
    module.GPUBackendRegistry.detect_available_backends = staticmethod(raising(KeyboardInterrupt()))
    monkeypatch.setitem(sys.modules, REGISTRY, module)
    with pytest.raises(KeyboardInterrupt):
        hostprobe.detect_gpu_backends()
    monkeypatch.setitem(sys.modules, REGISTRY, None)
    monkeypatch.setattr(subprocess, "run", raising(SystemExit(3)))
    with pytest.raises(SystemExit):
        hostprobe.detect_gpu_backends()


def test_gpu_fallback_run_errors_are_absorbed(monkeypatch, no_registry):
    monkeypatch.setattr(subprocess, "run", raising(subprocess.TimeoutExpired("nvidia-smi", 0.5)))
    assert hostprobe.detect_gpu_backends() == INITIAL_GPU
    monkeypatch.setattr(subprocess, "run", lambda *a, **k: Namespace(returncode=0, stdout="not bytes"))
    assert hostprobe.detect_gpu_backends() == INITIAL_GPU


# --- detect_capabilities -----------------------------------------------------------------------------

def test_capabilities_report_shape_and_consistency():
    before = time.time()
    t0 = time.perf_counter()
    report = hostprobe.detect_capabilities()
    elapsed_ms = (time.perf_counter() - t0) * 1000
    after = time.time()
    assert list(report) == REPORT_KEYS
    assert report["physical_cores"] == hostprobe.detect_physical_cores()
    assert report["numa_nodes"] == hostprobe.detect_numa_nodes()
    assert {k: report[k] for k in INITIAL_GPU} == hostprobe.detect_gpu_backends()
    assert (report["python_version"], report["subinterpreter_support"]) == hostprobe.detect_python_version()
    assert report["platform"] == sys.platform and report["detector"] == "native"
    assert before <= report["detected_at"] <= after
    assert 0.0 <= report["detection_time_ms"] <= elapsed_ms
    for key, kind in [("physical_cores", int), ("numa_nodes", int), ("has_gpu", bool), ("gpu_count", int),
                      ("gpu_memory_mb", int), ("active_backend", str), ("backend_version", str),
                      ("python_version", str), ("subinterpreter_support", bool), ("detected_at", float),
                      ("detection_time_ms", float)]:
        assert type(report[key]) is kind, key


def test_capabilities_uses_replaced_probes(monkeypatch):
    monkeypatch.setattr(hostprobe, "detect_physical_cores", lambda: 42)
    monkeypatch.setattr(hostprobe, "detect_gpu_backends", lambda: dict(INITIAL_GPU, gpu_count=9, extra=1))
    monkeypatch.setattr(hostprobe, "detect_python_version", lambda: iter(["9.9.9", True]))
    report = hostprobe.detect_capabilities()
    assert list(report) == REPORT_KEYS
    assert (report["physical_cores"], report["gpu_count"]) == (42, 9)
    assert (report["python_version"], report["subinterpreter_support"]) == ("9.9.9", True)


@pytest.mark.parametrize(
    "name, replacement, error",
    [
        ("detect_numa_nodes", raising(RuntimeError("numa exploded")), "numa exploded"),
        ("detect_physical_cores", raising(ValueError()), ""),
        ("detect_python_version", lambda: ("3.1.2", True, 1), "too many values to unpack (expected 2)"),
        ("detect_python_version", lambda: ("3.1.2",), "not enough values to unpack (expected 2, got 1)"),
        ("detect_python_version", lambda: 7, "cannot unpack non-iterable int object"),
        ("detect_gpu_backends", lambda: {"has_gpu": True}, "'gpu_count'"),
        ("detect_gpu_backends", None, "'NoneType' object is not callable"),
    ],
)
def test_capabilities_fallback_report(monkeypatch, name, replacement, error):
    monkeypatch.setattr(hostprobe, name, replacement)
    before = time.time()
    report = hostprobe.detect_capabilities()
    assert list(report) == FALLBACK_KEYS
    assert report["detector"] == "native_fallback" and report["error"] == error
    assert report["physical_cores"] == (os.cpu_count() or 1) and report["numa_nodes"] == 1
    assert {k: report[k] for k in INITIAL_GPU} == INITIAL_GPU
    assert report["python_version"] == "%d.%d" % sys.version_info[:2]
    assert report["subinterpreter_support"] is False and report["platform"] == sys.platform
    assert before <= report["detected_at"] <= time.time()
    assert type(report["detection_time_ms"]) is float and report["detection_time_ms"] >= 0.0


def test_capabilities_missing_probe_and_real_version_failure(monkeypatch, meta_path_first):
    monkeypatch.delattr(hostprobe, "detect_numa_nodes")
    report = hostprobe.detect_capabilities()
    assert report["error"] == "name 'detect_numa_nodes' is not defined"
    monkeypatch.undo()
    meta_path_first(ImportRecorder(SUBINTERPRETER_MODULES, error=RuntimeError("half-built")),
                    drop=SUBINTERPRETER_MODULES)
    monkeypatch.setattr(hostprobe, "sys", fake_sys(version_info=(3, 12, 3)))
    report = hostprobe.detect_capabilities()
    assert report["detector"] == "native_fallback" and report["error"] == "half-built"
    assert report["python_version"] == "3.12"


def test_capabilities_base_exception_propagates(monkeypatch):
    monkeypatch.setattr(hostprobe, "detect_numa_nodes", raising(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        hostprobe.detect_capabilities()


def test_capabilities_from_threads():
    results, errors = [], []

    def work():
        try:
            for _ in range(5):
                results.append(hostprobe.detect_capabilities())
        except BaseException as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads) and errors == []
    assert len(results) == 20
    first = {k: v for k, v in results[0].items() if k not in ("detected_at", "detection_time_ms")}
    for r in results:
        assert {k: v for k, v in r.items() if k not in ("detected_at", "detection_time_ms")} == first
