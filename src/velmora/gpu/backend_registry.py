"""GPU backend discovery for velmora.

Finds which GPU compute backends the host can actually use, and how many
devices and how much device memory each offers, by asking the vendors'
management libraries directly through ``ctypes``:

- CUDA: NVIDIA's management library (``libnvidia-ml.so.1`` / ``nvml.dll``),
  filtered by ``CUDA_VISIBLE_DEVICES`` the way the CUDA runtime reads it;
- ROCm: AMD's system management library (``librocm_smi64``);
- oneAPI: the Level Zero loader (``libze_loader``), GPU drivers only.

A library that is absent, fails to initialise, lacks an entry point or
reports no device makes its backend "not available"; nothing here starts a
process. The CPU backend is always available.

``ctypes`` itself is imported only once some vendor library is known to be
present (a cheap loader check first), so a GPU-less host's start-up does not
pay for it.

Discovery runs once per process and is cached (device counts and memory sizes
do not change while a process runs); ``refresh=True`` or ``clear_cache()``
probes again. The cache is guarded by a lock, so concurrent first calls probe
only once.
"""

from __future__ import annotations

import enum
import os
import sys
import threading
from typing import TYPE_CHECKING

if TYPE_CHECKING:  # typing is not imported at run time: this module sits on a start-up path
    from typing import Callable, Dict, List, Optional, Sequence, Set, Tuple, Union

__all__ = [
    "GPUBackendKind",
    "DeviceInfo",
    "BackendInfo",
    "GPUBackend",
    "GPUBackendRegistry",
]

_GIB = float(1 << 30)


class GPUBackendKind(enum.Enum):
    """A compute backend; the value is its short lower-case name."""

    CUDA = "cuda"
    ROCm = "rocm"
    oneAPI = "oneapi"
    CPU = "cpu"


class _Record:
    """Immutable value record: fields in ``__slots__`` order, compared by value."""

    if TYPE_CHECKING:  # each subclass names its fields
        __slots__: Tuple[str, ...]
    __slots__ = ()

    def __init__(self, *args, **kwargs):
        names = self.__slots__
        if len(args) > len(names):
            raise TypeError("%s takes at most %d arguments" % (type(self).__name__, len(names)))
        values = dict(zip(names, args))
        for key, value in kwargs.items():
            if key not in names or key in values:
                raise TypeError("%s: bad or repeated argument %r" % (type(self).__name__, key))
            values[key] = value
        for name in names:
            if name in values:
                object.__setattr__(self, name, values[name])
            elif name in self._defaults:
                object.__setattr__(self, name, self._defaults[name])
            else:
                raise TypeError("%s: missing argument %r" % (type(self).__name__, name))

    _defaults: "dict" = {}

    def _values(self):
        return tuple(getattr(self, name) for name in self.__slots__)

    def __setattr__(self, name, value):
        raise AttributeError("%s is immutable" % type(self).__name__)

    def __delattr__(self, name):
        raise AttributeError("%s is immutable" % type(self).__name__)

    def __eq__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return self._values() == other._values()

    def __hash__(self):
        return hash(self._values())

    def __repr__(self):
        return "%s(%s)" % (
            type(self).__name__,
            ", ".join("%s=%r" % (name, getattr(self, name)) for name in self.__slots__),
        )


class DeviceInfo(_Record):
    """One device of a backend (``index``, ``name``, ``memory_bytes``);
    ``memory_bytes`` is 0 where it is unknown."""

    __slots__ = ("index", "name", "memory_bytes")
    _defaults = {"name": "", "memory_bytes": 0}
    if TYPE_CHECKING:  # the fields are set by _Record.__init__
        index: int
        name: str
        memory_bytes: int


class BackendInfo(_Record):
    """What a backend offers: ``kind``, ``device_count``, total device memory
    ``memory_gb`` in GiB (0.0 where unknown), ``version`` ("" if unknown),
    ``driver_version`` and the ``devices`` tuple."""

    __slots__ = ("kind", "device_count", "memory_gb", "version", "driver_version", "devices")
    _defaults = {"version": "", "driver_version": "", "devices": ()}
    if TYPE_CHECKING:  # the fields are set by _Record.__init__
        kind: GPUBackendKind
        device_count: int
        memory_gb: float
        version: str
        driver_version: str
        devices: Tuple[DeviceInfo, ...]


class GPUBackend(_Record):
    """A usable backend, as returned by ``GPUBackendRegistry.get_best_available``."""

    __slots__ = ("info",)
    if TYPE_CHECKING:  # the field is set by _Record.__init__
        info: BackendInfo

    @property
    def kind(self) -> GPUBackendKind:
        return self.info.kind

    @property
    def is_gpu(self) -> bool:
        return self.info.kind is not GPUBackendKind.CPU


# --------------------------------------------------------------------------
# Library loading


def _present(name: str) -> bool:
    """Whether shared library ``name`` can be loaded, checked without importing ctypes
    (True where that cannot be told cheaply: ctypes then decides)."""
    if os.path.dirname(name):
        return os.path.exists(name)
    try:
        import _ctypes

        dlopen = _ctypes.dlopen
    except (ImportError, AttributeError):
        return True
    try:
        dlopen(name, os.RTLD_NOW | os.RTLD_LOCAL)  # the handle stays open: ctypes reopens it next
    except OSError:
        return False
    return True


def _open_first(candidates: Sequence[str]):
    """Return the first of ``candidates`` that loads as a shared library, or None."""
    for name in candidates:
        if not _present(name):
            continue
        import ctypes

        try:
            return ctypes.CDLL(name)
        except OSError:
            continue
    return None


def _windows_system_dir() -> str:
    return os.path.join(os.environ.get("SystemRoot", r"C:\Windows"), "System32")


def _nvml_candidates() -> List[str]:
    if sys.platform == "win32":
        program_files = os.environ.get("ProgramFiles", r"C:\Program Files")
        return [
            os.path.join(_windows_system_dir(), "nvml.dll"),
            os.path.join(program_files, "NVIDIA Corporation", "NVSMI", "nvml.dll"),
        ]
    if sys.platform.startswith("linux"):
        return ["libnvidia-ml.so.1", "libnvidia-ml.so"]
    return []


def _rocm_smi_candidates() -> List[str]:
    if not sys.platform.startswith("linux"):
        return []
    names = ["librocm_smi64.so", "librocm_smi64.so.7", "librocm_smi64.so.6", "librocm_smi64.so.5"]
    root = os.environ.get("ROCM_PATH", "/opt/rocm")
    return names + [os.path.join(root, "lib", "librocm_smi64.so")]


def _level_zero_candidates() -> List[str]:
    if sys.platform == "win32":
        return [os.path.join(_windows_system_dir(), "ze_loader.dll")]
    if sys.platform.startswith("linux"):
        return ["libze_loader.so.1", "libze_loader.so"]
    return []


def _open_nvml():
    return _open_first(_nvml_candidates())


def _open_rocm_smi():
    return _open_first(_rocm_smi_candidates())


def _open_level_zero():
    return _open_first(_level_zero_candidates())


def _fn(lib, name: str, restype, argtypes):
    """Entry point ``name`` of ``lib`` with its C signature set; AttributeError if absent."""
    fn = getattr(lib, name)
    fn.restype = restype
    fn.argtypes = argtypes
    return fn


# --------------------------------------------------------------------------
# CUDA through NVIDIA's management library

_NVML_SUCCESS = 0
_NVML_STRING_BUFFER = 96
_NVML_DRIVER_BUFFER = 80


def _make_nvml_memory():
    import ctypes

    class _NvmlMemory(ctypes.Structure):
        _fields_ = [
            ("total", ctypes.c_ulonglong),
            ("free", ctypes.c_ulonglong),
            ("used", ctypes.c_ulonglong),
        ]

    return _NvmlMemory


def _visible_cuda_devices(env: Optional[str], uuids: Sequence[str]) -> List[Optional[int]]:
    """Devices the CUDA runtime lets this process see, in its order.

    ``env`` is CUDA_VISIBLE_DEVICES (None when unset). Entries are indexes or
    "GPU-" UUID prefixes; the list ends at the first entry that is invalid,
    ambiguous or repeated. A "MIG-" entry is a device whose parent is not
    known here (listed as None).
    """
    count = len(uuids)
    if env is None:
        return list(range(count))
    chosen: List[Optional[int]] = []
    seen: Set[Union[int, str]] = set()  # indexes and "MIG-" entries
    for raw in env.split(","):
        token = raw.strip()
        index: Optional[int]
        if token.isascii() and token.isdigit():
            index = int(token)
            if index >= count:
                break
        elif token.startswith("GPU-"):
            matches = [i for i, uuid in enumerate(uuids) if uuid.startswith(token)]
            if len(matches) != 1:
                break
            index = matches[0]
        elif token.startswith("MIG-") and token not in seen:
            seen.add(token)
            chosen.append(None)
            continue
        else:
            break
        if index in seen:
            break
        seen.add(index)
        chosen.append(index)
    return chosen


def _nvml_text(fn, *head) -> str:
    import ctypes

    buf = ctypes.create_string_buffer(_NVML_STRING_BUFFER)
    if fn(*head, buf, ctypes.c_uint(_NVML_STRING_BUFFER)) != _NVML_SUCCESS:
        return ""
    return buf.value.decode("utf-8", errors="replace")


def _probe_cuda(lib) -> Optional[BackendInfo]:
    """CUDA backend information from an NVML library handle, or None."""
    if lib is None:
        return None
    import ctypes

    try:
        init = getattr(lib, "nvmlInit_v2", None) or lib.nvmlInit
        init.restype = ctypes.c_int
        init.argtypes = []
        if init() != _NVML_SUCCESS:
            return None
    except (AttributeError, OSError, ctypes.ArgumentError):
        return None
    try:
        return _read_nvml(lib)
    except (AttributeError, OSError, ctypes.ArgumentError, ValueError):
        return None
    finally:
        try:
            _fn(lib, "nvmlShutdown", ctypes.c_int, [])()
        except (AttributeError, OSError, ctypes.ArgumentError):
            pass


def _read_nvml(lib) -> Optional[BackendInfo]:
    import ctypes

    handle_t = ctypes.c_void_p
    get_count = getattr(lib, "nvmlDeviceGetCount_v2", None) or lib.nvmlDeviceGetCount
    get_count.restype = ctypes.c_int
    get_count.argtypes = [ctypes.POINTER(ctypes.c_uint)]
    get_handle = getattr(lib, "nvmlDeviceGetHandleByIndex_v2", None) or lib.nvmlDeviceGetHandleByIndex
    get_handle.restype = ctypes.c_int
    get_handle.argtypes = [ctypes.c_uint, ctypes.POINTER(handle_t)]
    get_memory = _fn(lib, "nvmlDeviceGetMemoryInfo", ctypes.c_int,
                     [handle_t, ctypes.POINTER(_structure("_NvmlMemory"))])
    text_args = [handle_t, ctypes.c_char_p, ctypes.c_uint]
    get_name = _fn(lib, "nvmlDeviceGetName", ctypes.c_int, text_args)
    get_uuid = _fn(lib, "nvmlDeviceGetUUID", ctypes.c_int, text_args)

    count = ctypes.c_uint(0)
    if get_count(ctypes.byref(count)) != _NVML_SUCCESS or count.value == 0:
        return None

    handles: List[Optional[int]] = []
    uuids: List[str] = []
    for i in range(count.value):
        handle = handle_t()
        if get_handle(ctypes.c_uint(i), ctypes.byref(handle)) != _NVML_SUCCESS:
            handles.append(None)
            uuids.append("")
            continue
        handles.append(handle.value)
        uuids.append(_nvml_text(get_uuid, handle))

    devices: List[DeviceInfo] = []
    total = 0
    for position, index in enumerate(
        _visible_cuda_devices(os.environ.get("CUDA_VISIBLE_DEVICES"), uuids)
    ):
        opened = handles[index] if index is not None else None
        if opened is None:
            # A device NVML cannot open (or a MIG instance): present, memory unknown.
            devices.append(DeviceInfo(position))
            continue
        memory = _structure("_NvmlMemory")()
        size = memory.total if get_memory(opened, ctypes.byref(memory)) == _NVML_SUCCESS else 0
        total += size
        devices.append(DeviceInfo(position, _nvml_text(get_name, opened), size))
    if not devices:
        return None
    return BackendInfo(
        kind=GPUBackendKind.CUDA,
        device_count=len(devices),
        memory_gb=total / _GIB,
        version=_nvml_cuda_version(lib),
        driver_version=_nvml_driver_version(lib),
        devices=tuple(devices),
    )


def _nvml_cuda_version(lib) -> str:
    import ctypes

    for name in ("nvmlSystemGetCudaDriverVersion_v2", "nvmlSystemGetCudaDriverVersion"):
        try:
            fn = _fn(lib, name, ctypes.c_int, [ctypes.POINTER(ctypes.c_int)])
        except AttributeError:
            continue
        value = ctypes.c_int(0)
        if fn(ctypes.byref(value)) == _NVML_SUCCESS and value.value > 0:
            return "%d.%d" % (value.value // 1000, (value.value % 1000) // 10)
    return ""


def _nvml_driver_version(lib) -> str:
    import ctypes

    try:
        fn = _fn(lib, "nvmlSystemGetDriverVersion", ctypes.c_int, [ctypes.c_char_p, ctypes.c_uint])
    except AttributeError:
        return ""
    buf = ctypes.create_string_buffer(_NVML_DRIVER_BUFFER)
    if fn(buf, ctypes.c_uint(_NVML_DRIVER_BUFFER)) != _NVML_SUCCESS:
        return ""
    return buf.value.decode("utf-8", errors="replace")


# --------------------------------------------------------------------------
# ROCm through AMD's system management library

_RSMI_SUCCESS = 0
_RSMI_MEM_TYPE_VRAM = 0


def _make_rsmi_version():
    import ctypes

    class _RsmiVersion(ctypes.Structure):
        _fields_ = [
            ("major", ctypes.c_uint32),
            ("minor", ctypes.c_uint32),
            ("patch", ctypes.c_uint32),
            ("build", ctypes.c_char_p),
        ]

    return _RsmiVersion


_LAZY_STRUCTURES = {"_NvmlMemory": _make_nvml_memory, "_RsmiVersion": _make_rsmi_version}
_structures_lock = threading.Lock()


def _structure(name: str):
    """The ctypes structure class ``name``, built once on first use (so importing this module
    needs no ctypes). Built under a lock: threads meeting it first at once all get the same
    class, so a function's argtypes and the instance passed to it always agree."""
    value = globals().get(name)
    if value is None:
        with _structures_lock:
            value = globals().get(name)
            if value is None:
                value = _LAZY_STRUCTURES[name]()
                globals()[name] = value
    return value


def __getattr__(name: str):
    if name in _LAZY_STRUCTURES:
        return _structure(name)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))


def _probe_rocm(lib) -> Optional[BackendInfo]:
    """ROCm backend information from a ROCm SMI library handle, or None."""
    if lib is None:
        return None
    import ctypes

    try:
        if _fn(lib, "rsmi_init", ctypes.c_int, [ctypes.c_uint64])(0) != _RSMI_SUCCESS:
            return None
    except (AttributeError, OSError, ctypes.ArgumentError):
        return None
    try:
        count_fn = _fn(lib, "rsmi_num_monitor_devices", ctypes.c_int,
                       [ctypes.POINTER(ctypes.c_uint32)])
        memory_fn = _fn(lib, "rsmi_dev_memory_total_get", ctypes.c_int,
                        [ctypes.c_uint32, ctypes.c_int, ctypes.POINTER(ctypes.c_uint64)])
        count = ctypes.c_uint32(0)
        if count_fn(ctypes.byref(count)) != _RSMI_SUCCESS or count.value == 0:
            return None
        devices = []
        total = 0
        for i in range(count.value):
            size = ctypes.c_uint64(0)
            ok = memory_fn(ctypes.c_uint32(i), _RSMI_MEM_TYPE_VRAM, ctypes.byref(size))
            memory = size.value if ok == _RSMI_SUCCESS else 0
            total += memory
            devices.append(DeviceInfo(i, "", memory))
        version = ""
        try:
            version_fn = _fn(lib, "rsmi_version_get", ctypes.c_int, [ctypes.POINTER(_structure("_RsmiVersion"))])
            v = _structure("_RsmiVersion")()
            if version_fn(ctypes.byref(v)) == _RSMI_SUCCESS:
                version = "%d.%d.%d" % (v.major, v.minor, v.patch)
        except AttributeError:
            pass
        return BackendInfo(GPUBackendKind.ROCm, len(devices), total / _GIB, version,
                           devices=tuple(devices))
    except (AttributeError, OSError, ctypes.ArgumentError):
        return None
    finally:
        try:
            _fn(lib, "rsmi_shut_down", ctypes.c_int, [])()
        except (AttributeError, OSError, ctypes.ArgumentError):
            pass


# --------------------------------------------------------------------------
# oneAPI through the Level Zero loader

_ZE_RESULT_SUCCESS = 0
_ZE_INIT_FLAG_GPU_ONLY = 1


def _probe_oneapi(lib) -> Optional[BackendInfo]:
    """oneAPI (Level Zero GPU) backend information, or None. Device memory
    is not queried here and is reported as unknown (0.0)."""
    if lib is None:
        return None
    import ctypes

    try:
        init = _fn(lib, "zeInit", ctypes.c_int, [ctypes.c_uint32])
        driver_get = _fn(lib, "zeDriverGet", ctypes.c_int,
                         [ctypes.POINTER(ctypes.c_uint32), ctypes.POINTER(ctypes.c_void_p)])
        device_get = _fn(lib, "zeDeviceGet", ctypes.c_int,
                         [ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint32),
                          ctypes.POINTER(ctypes.c_void_p)])
        if init(_ZE_INIT_FLAG_GPU_ONLY) != _ZE_RESULT_SUCCESS:
            return None
        n_drivers = ctypes.c_uint32(0)
        if driver_get(ctypes.byref(n_drivers), None) != _ZE_RESULT_SUCCESS or n_drivers.value == 0:
            return None
        drivers = (ctypes.c_void_p * n_drivers.value)()
        if driver_get(ctypes.byref(n_drivers), drivers) != _ZE_RESULT_SUCCESS:
            return None
        device_count = 0
        for driver in drivers[: n_drivers.value]:
            n = ctypes.c_uint32(0)
            if device_get(driver, ctypes.byref(n), None) == _ZE_RESULT_SUCCESS:
                device_count += n.value
        if device_count == 0:
            return None
        version = ""
        try:
            api_fn = _fn(lib, "zeDriverGetApiVersion", ctypes.c_int,
                         [ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint32)])
            api = ctypes.c_uint32(0)
            if api_fn(drivers[0], ctypes.byref(api)) == _ZE_RESULT_SUCCESS:
                version = "%d.%d" % (api.value >> 16, api.value & 0xFFFF)
        except AttributeError:
            pass
        devices = tuple(DeviceInfo(i) for i in range(device_count))
        return BackendInfo(GPUBackendKind.oneAPI, device_count, 0.0, version, devices=devices)
    except (AttributeError, OSError, ctypes.ArgumentError):
        return None


# --------------------------------------------------------------------------
# CPU


def _cpu_info() -> BackendInfo:
    memory = 0
    try:
        memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (AttributeError, ValueError, OSError):
        pass
    if memory < 0:
        memory = 0
    return BackendInfo(GPUBackendKind.CPU, 1, memory / _GIB, "",
                       devices=(DeviceInfo(0, "cpu", memory),))


# --------------------------------------------------------------------------
# Registry

def _probes() -> "List[Tuple[GPUBackendKind, Callable[[], object], Callable[[object], Optional[BackendInfo]]]]":
    """GPU probes in order of preference; each pairs a library opener with a reader."""
    return [
        (GPUBackendKind.CUDA, _open_nvml, _probe_cuda),
        (GPUBackendKind.ROCm, _open_rocm_smi, _probe_rocm),
        (GPUBackendKind.oneAPI, _open_level_zero, _probe_oneapi),
    ]


class GPUBackendRegistry:
    """The host's usable backends, detected once per process (see module doc)."""

    _lock = threading.Lock()
    _cache: Optional[Dict[GPUBackendKind, BackendInfo]] = None

    @classmethod
    def _detect(cls) -> Dict[GPUBackendKind, BackendInfo]:
        found: Dict[GPUBackendKind, BackendInfo] = {}
        for kind, opener, reader in _probes():
            try:
                info = reader(opener())
            except Exception:  # a vendor library misbehaving means "not available"
                info = None
            if info is not None and info.device_count > 0:
                found[kind] = info
        found[GPUBackendKind.CPU] = _cpu_info()
        return found

    @classmethod
    def detect_available_backends(cls, refresh: bool = False) -> Dict[GPUBackendKind, BackendInfo]:
        """A new dict from each available backend kind to its information,
        GPU backends in order of preference, the CPU last (always present)."""
        with cls._lock:
            if refresh or cls._cache is None:
                cls._cache = cls._detect()
            return dict(cls._cache)

    @classmethod
    def get_best_available(cls, refresh: bool = False) -> GPUBackend:
        """The preferred available backend: CUDA, then ROCm, then oneAPI, else the CPU."""
        available = cls.detect_available_backends(refresh)
        for kind in (GPUBackendKind.CUDA, GPUBackendKind.ROCm, GPUBackendKind.oneAPI):
            if kind in available:
                return GPUBackend(available[kind])
        return GPUBackend(available[GPUBackendKind.CPU])

    @classmethod
    def is_available(cls, kind: GPUBackendKind) -> bool:
        return kind in cls.detect_available_backends()

    @classmethod
    def clear_cache(cls) -> None:
        """Forget the detected backends; the next query probes again."""
        with cls._lock:
            cls._cache = None
