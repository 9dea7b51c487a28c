// velmora.native.hostprobe: what the host offers the package, probed afresh on every call: CPUs
// usable by the process, NUMA nodes, GPU backends, the interpreter version with sub-interpreter
// support, and one report combining them (with a fallback report when a probe fails).
//
// The platform branch is chosen at run time from `sys.platform`. `sys`, `os` and `time` are
// imported into the module namespace at import and looked up there at call time, as are the four
// probes that detect_capabilities combines, so a replaced module attribute is the one used.
// ctypes, subprocess, the sub-interpreter module and velmora.gpu.backend_registry are imported
// lazily by the probes that need them.
//
// Concurrency: no module state beyond the namespace; every call probes independently and builds
// its own dicts. What is shared is read-only after import (the module pointer, the two version
// tuples) or published atomically on first use (the interned names, vn::Name). The namespace is
// the one thing another thread can change (a probe replaced while detect_capabilities runs): every
// global is read as a strong reference taken inside the dict's own lookup (vn::module_global), so
// a replaced object stays alive for the call that read it. The lazy imports go through the import
// system, which lets one thread initialise a module while others wait; the backend registry guards
// its own cache. subprocess.run releases the interpreter lock while it waits for nvidia-smi.
#include "native/velmora_native.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

using vn::catch_exception;
using vn::Ref;

// Set in hostprobe_exec (the import lock serialises it), read-only afterwards.
PyObject* g_module = nullptr;        // this module (borrowed: it lives until the interpreter ends)
PyObject* g_since = nullptr;         // (3, 12): sub-interpreters are probed from this version
PyObject* g_since_rename = nullptr;  // (3, 13): the private module's new name

vn::Name n_sys{"sys"};
vn::Name n_os{"os"};
vn::Name n_time{"time"};
vn::Name n_platform{"platform"};
vn::Name n_version_info{"version_info"};
vn::Name n_major{"major"};
vn::Name n_minor{"minor"};
vn::Name n_micro{"micro"};
vn::Name n_sched_getaffinity{"sched_getaffinity"};
vn::Name n_cpu_count{"cpu_count"};
vn::Name n_path{"path"};
vn::Name n_exists{"exists"};
vn::Name n_listdir{"listdir"};
vn::Name n_WinDLL{"WinDLL"};
vn::Name n_GetNumaHighestNodeNumber{"GetNumaHighestNodeNumber"};
vn::Name n_restype{"restype"};
vn::Name n_argtypes{"argtypes"};
vn::Name n_BOOL{"BOOL"};
vn::Name n_POINTER{"POINTER"};
vn::Name n_c_ulong{"c_ulong"};
vn::Name n_byref{"byref"};
vn::Name n_value{"value"};
vn::Name n_GPUBackendRegistry{"GPUBackendRegistry"};
vn::Name n_GPUBackendKind{"GPUBackendKind"};
vn::Name n_detect_available_backends{"detect_available_backends"};
vn::Name n_get_best_available{"get_best_available"};
vn::Name n_CUDA{"CUDA"};
vn::Name n_ROCm{"ROCm"};
vn::Name n_oneAPI{"oneAPI"};
vn::Name n_info{"info"};
vn::Name n_kind{"kind"};
vn::Name n_version{"version"};
vn::Name n_device_count{"device_count"};
vn::Name n_memory_gb{"memory_gb"};
vn::Name n_run{"run"};
vn::Name n_returncode{"returncode"};
vn::Name n_stdout{"stdout"};
vn::Name n_decode{"decode"};
vn::Name n_strip{"strip"};
vn::Name n_split{"split"};
vn::Name n_perf_counter{"perf_counter"};
vn::Name n_detect_physical_cores{"detect_physical_cores"};
vn::Name n_detect_numa_nodes{"detect_numa_nodes"};
vn::Name n_detect_gpu_backends{"detect_gpu_backends"};
vn::Name n_detect_python_version{"detect_python_version"};

// Report and GPU information keys, interned once (the "platform" key is n_platform, above).
vn::Name n_physical_cores{"physical_cores"};
vn::Name n_numa_nodes{"numa_nodes"};
vn::Name n_has_gpu{"has_gpu"};
vn::Name n_gpu_count{"gpu_count"};
vn::Name n_gpu_memory_mb{"gpu_memory_mb"};
vn::Name n_cuda_available{"cuda_available"};
vn::Name n_rocm_available{"rocm_available"};
vn::Name n_oneapi_available{"oneapi_available"};
vn::Name n_active_backend{"active_backend"};
vn::Name n_backend_version{"backend_version"};
vn::Name n_python_version{"python_version"};
vn::Name n_subinterpreter_support{"subinterpreter_support"};
vn::Name n_detected_at{"detected_at"};
vn::Name n_detector{"detector"};
vn::Name n_error{"error"};
vn::Name n_detection_time_ms{"detection_time_ms"};

constexpr const char* kRegistryModule = "velmora.gpu.backend_registry";
constexpr const char* kNumaDir = "/sys/devices/system/node";

// The eight GPU entries, in report order.
vn::Name* const kGpuKeys[] = {&n_has_gpu,        &n_gpu_count,        &n_gpu_memory_mb,  &n_cuda_available,
                              &n_rocm_available, &n_oneapi_available, &n_active_backend, &n_backend_version};

PyObject* global(vn::Name& name) { return vn::module_global(g_module, name); }

// A Python int converted to a signed 32-bit result: OverflowError "value too large to convert to
// int" outside the range.
bool to_int32_result(PyObject* o, int32_t& out) { return vn::to_int(o, out); }

// `os.cpu_count() or 1`, as an object.
PyObject* cpu_count_or_one() {
    Ref os = Ref::steal(global(n_os));
    if (!os) return nullptr;
    Ref n = Ref::steal(vn::call_method(os.get(), n_cpu_count));
    if (!n) return nullptr;
    int truth = PyObject_IsTrue(n.get());
    if (truth < 0) return nullptr;
    return truth ? n.release() : PyLong_FromLong(1);
}

// ---------------------------------------------------------------------------------------------
// detect_physical_cores

// Steps 1-2; false with the exception set.
bool physical_cores_probe(int32_t& out) {
    Ref os = Ref::steal(global(n_os));
    if (!os) return false;
    Ref affinity = Ref::steal(PyObject_GetAttr(os.get(), n_sched_getaffinity.get()));
    if (affinity) {
        Ref zero = Ref::steal(PyLong_FromLong(0));
        if (!zero) return false;
        Ref cpus = Ref::steal(vn::call(affinity.get(), zero.get()));
        if (!cpus) return false;
        Py_ssize_t n = PyObject_Size(cpus.get());
        if (n < 0) return false;
        Ref count = Ref::steal(PyLong_FromSsize_t(n));
        return count && to_int32_result(count.get(), out);
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    Ref n = Ref::steal(cpu_count_or_one());
    return n && to_int32_result(n.get(), out);
}

PyObject* detect_physical_cores(PyObject*) {
    int32_t cores = 0;
    if (physical_cores_probe(cores)) return PyLong_FromLong(cores);
    if (!catch_exception()) return nullptr;
    // Step 3: any Exception above falls back to the CPU count.
    Ref n = Ref::steal(cpu_count_or_one());
    if (!n || !to_int32_result(n.get(), cores)) return nullptr;
    return PyLong_FromLong(cores);
}

// ---------------------------------------------------------------------------------------------
// detect_numa_nodes

// name.startswith("node") and name[4:].isdigit()
int is_node_entry(PyObject* name) {
    if (PyUnicode_CheckExact(name)) {
        const Py_ssize_t len = PyUnicode_GET_LENGTH(name);
        if (len <= 4) return 0;  // "node" alone has no digits after it
        const int kind = PyUnicode_KIND(name);
        const void* data = PyUnicode_DATA(name);
        static constexpr char kNodePrefix[] = "node";
        for (Py_ssize_t i = 0; i < 4; ++i)
            if (PyUnicode_READ(kind, data, i) != static_cast<Py_UCS4>(kNodePrefix[i])) return 0;
        for (Py_ssize_t i = 4; i < len; ++i)
            if (!Py_UNICODE_ISDIGIT(PyUnicode_READ(kind, data, i))) return 0;  // str.isdigit
        return 1;
    }
    // Anything else answers through its own methods, as the Python expression would.
    static vn::Name n_startswith{"startswith"};
    static vn::Name n_isdigit{"isdigit"};
    static vn::Name n_node{"node"};
    Ref starts = Ref::steal(vn::call_method(name, n_startswith, n_node.get()));
    if (!starts) return -1;
    int t = PyObject_IsTrue(starts.get());
    if (t <= 0) return t;
    Ref four = Ref::steal(PyLong_FromLong(4));
    if (!four) return -1;
    Ref rest_slice = Ref::steal(PySlice_New(four.get(), nullptr, nullptr));
    if (!rest_slice) return -1;
    Ref rest = Ref::steal(PyObject_GetItem(name, rest_slice.get()));
    if (!rest) return -1;
    Ref digits = Ref::steal(vn::call_method(rest.get(), n_isdigit));
    return digits ? PyObject_IsTrue(digits.get()) : -1;
}

bool numa_nodes_linux(int32_t& out) {
    Ref os = Ref::steal(global(n_os));
    if (!os) return false;
    Ref path = Ref::steal(PyObject_GetAttr(os.get(), n_path.get()));
    Ref dir = Ref::steal(PyUnicode_FromString(kNumaDir));
    if (!path || !dir) return false;
    Ref exists = Ref::steal(vn::call_method(path.get(), n_exists, dir.get()));
    if (!exists) return false;
    int t = PyObject_IsTrue(exists.get());
    if (t < 0) return false;
    if (t == 0) {
        out = 1;
        return true;
    }
    Ref entries = Ref::steal(vn::call_method(os.get(), n_listdir, dir.get()));
    if (!entries) return false;
    Ref it = Ref::steal(PyObject_GetIter(entries.get()));
    if (!it) return false;
    int64_t count = 0;
    for (Ref entry = Ref::steal(PyIter_Next(it.get())); entry; entry = Ref::steal(PyIter_Next(it.get()))) {
        int node = is_node_entry(entry.get());
        if (node < 0) return false;
        count += node;
    }
    if (PyErr_Occurred()) return false;
    if (count > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = count == 0 ? 1 : static_cast<int32_t>(count);
    return true;
}

bool numa_nodes_windows(int32_t& out) {
    Ref ctypes = Ref::steal(vn::import_module("ctypes"));
    if (!ctypes) return false;
    Ref wintypes = Ref::steal(vn::import_module("ctypes.wintypes"));
    if (!wintypes) return false;
    Ref windll = Ref::steal(PyObject_GetAttr(ctypes.get(), n_WinDLL.get()));
    Ref name = Ref::steal(PyUnicode_FromString("kernel32"));
    if (!windll || !name) return false;
    Ref kernel32 = Ref::steal(vn::call_kw(windll.get(), {name.get()}, {{"use_last_error", Py_True}}));
    if (!kernel32) return false;
    Ref fn = Ref::steal(PyObject_GetAttr(kernel32.get(), n_GetNumaHighestNodeNumber.get()));
    if (!fn) return false;
    Ref boolean = Ref::steal(PyObject_GetAttr(wintypes.get(), n_BOOL.get()));
    if (!boolean || PyObject_SetAttr(fn.get(), n_restype.get(), boolean.get()) < 0) return false;
    Ref c_ulong = Ref::steal(PyObject_GetAttr(ctypes.get(), n_c_ulong.get()));
    if (!c_ulong) return false;
    Ref pointer = Ref::steal(vn::call_method(ctypes.get(), n_POINTER, c_ulong.get()));
    if (!pointer) return false;
    Ref argtypes = Ref::steal(PyList_New(1));
    if (!argtypes) return false;
    PyList_SET_ITEM(argtypes.get(), 0, pointer.release());
    if (PyObject_SetAttr(fn.get(), n_argtypes.get(), argtypes.get()) < 0) return false;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return false;
    Ref highest = Ref::steal(vn::call(c_ulong.get(), zero.get()));
    if (!highest) return false;
    Ref ref = Ref::steal(vn::call_method(ctypes.get(), n_byref, highest.get()));
    if (!ref) return false;
    Ref ok = Ref::steal(vn::call(fn.get(), ref.get()));
    if (!ok) return false;
    int t = PyObject_IsTrue(ok.get());
    if (t < 0) return false;
    if (t == 0) {
        out = 1;
        return true;
    }
    Ref value = Ref::steal(PyObject_GetAttr(highest.get(), n_value.get()));
    if (!value) return false;
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return false;
    Ref nodes = Ref::steal(PyNumber_Add(value.get(), one.get()));
    return nodes && to_int32_result(nodes.get(), out);
}

// Steps 1-3; false with the exception set.
bool numa_nodes_probe(int32_t& out) {
    Ref sys = Ref::steal(global(n_sys));
    if (!sys) return false;
    Ref platform = Ref::steal(PyObject_GetAttr(sys.get(), n_platform.get()));
    if (!platform) return false;
    static vn::Name n_linux{"linux"};
    static vn::Name n_win32{"win32"};
    int is_linux = PyObject_RichCompareBool(platform.get(), n_linux.get(), Py_EQ);
    if (is_linux < 0) return false;
    if (is_linux) return numa_nodes_linux(out);
    int is_windows = PyObject_RichCompareBool(platform.get(), n_win32.get(), Py_EQ);
    if (is_windows < 0) return false;
    if (is_windows) return numa_nodes_windows(out);
    out = 1;
    return true;
}

PyObject* detect_numa_nodes(PyObject*) {
    int32_t nodes = 1;
    if (!numa_nodes_probe(nodes)) {
        if (!catch_exception()) return nullptr;
        nodes = 1;
    }
    return PyLong_FromLong(nodes);
}

// ---------------------------------------------------------------------------------------------
// detect_gpu_backends

// d[key] = stolen (a new reference, consumed even on failure).
bool set_item(PyObject* d, vn::Name& key, PyObject* stolen) {
    PyObject* k = key.get();
    if (stolen == nullptr || k == nullptr) {
        Py_XDECREF(stolen);
        return false;
    }
    int rc = PyDict_SetItem(d, k, stolen);
    Py_DECREF(stolen);
    return rc == 0;
}

// Step 2: the backend registry. False with the exception set; entries written so far stay.
bool gpu_from_registry(PyObject* info) {
    Ref registry_module = Ref::steal(vn::import_module(kRegistryModule));
    if (!registry_module) return false;
    Ref registry = Ref::steal(vn::import_attribute(registry_module.get(), kRegistryModule, n_GPUBackendRegistry));
    if (!registry) return false;
    Ref kinds = Ref::steal(vn::import_attribute(registry_module.get(), kRegistryModule, n_GPUBackendKind));
    if (!kinds) return false;
    Ref available = Ref::steal(vn::call_method(registry.get(), n_detect_available_backends));
    if (!available) return false;
    const std::pair<vn::Name*, vn::Name*> flags[] = {
        {&n_CUDA, &n_cuda_available}, {&n_ROCm, &n_rocm_available}, {&n_oneAPI, &n_oneapi_available}};
    for (const auto& flag : flags) {
        Ref member = Ref::steal(PyObject_GetAttr(kinds.get(), flag.first->get()));
        if (!member) return false;
        int in = PySequence_Contains(available.get(), member.get());
        if (in < 0 || !set_item(info, *flag.second, vn::boolean(in == 1))) return false;
    }
    Ref best = Ref::steal(vn::call_method(registry.get(), n_get_best_available));
    if (!best) return false;
    Ref best_info = Ref::steal(PyObject_GetAttr(best.get(), n_info.get()));
    if (!best_info) return false;
    Ref kind = Ref::steal(PyObject_GetAttr(best_info.get(), n_kind.get()));
    if (!kind) return false;
    Ref active = Ref::steal(PyObject_GetAttr(kind.get(), n_value.get()));
    if (!active || !set_item(info, n_active_backend, vn::new_ref(active.get()))) return false;
    Ref version = Ref::steal(PyObject_GetAttr(best_info.get(), n_version.get()));
    if (!version || !set_item(info, n_backend_version, version.release())) return false;
    static vn::Name n_cpu{"cpu"};
    int has_gpu = PyObject_RichCompareBool(active.get(), n_cpu.get(), Py_NE);
    if (has_gpu < 0 || !set_item(info, n_has_gpu, vn::boolean(has_gpu == 1))) return false;
    if (has_gpu) {
        Ref best_kind = Ref::steal(PyObject_GetAttr(best_info.get(), n_kind.get()));
        if (!best_kind) return false;
        Ref device = Ref::steal(PyObject_GetItem(available.get(), best_kind.get()));
        if (!device) return false;
        Ref count = Ref::steal(PyObject_GetAttr(device.get(), n_device_count.get()));
        if (!count || !set_item(info, n_gpu_count, count.release())) return false;
        Ref memory_gb = Ref::steal(PyObject_GetAttr(device.get(), n_memory_gb.get()));
        Ref factor = Ref::steal(PyLong_FromLong(1024));
        if (!memory_gb || !factor) return false;
        Ref memory_mb = Ref::steal(PyNumber_Multiply(memory_gb.get(), factor.get()));
        if (!memory_mb || !set_item(info, n_gpu_memory_mb, PyNumber_Long(memory_mb.get()))) return false;
    }
    return true;
}

// Step 3: the nvidia-smi fallback. False with the exception set.
bool gpu_from_nvidia_smi(PyObject* info) {
    Ref subprocess = Ref::steal(vn::import_module("subprocess"));
    if (!subprocess) return false;
    Ref run = Ref::steal(PyObject_GetAttr(subprocess.get(), n_run.get()));
    Ref command = Ref::steal(Py_BuildValue("[sss]", "nvidia-smi", "--query-gpu=name", "--format=csv,noheader"));
    Ref timeout = Ref::steal(PyFloat_FromDouble(0.5));
    if (!run || !command || !timeout) return false;
    Ref result = Ref::steal(vn::call_kw(
        run.get(), {command.get()}, {{"capture_output", Py_True}, {"timeout", timeout.get()}, {"check", Py_False}}));
    if (!result) return false;
    Ref returncode = Ref::steal(PyObject_GetAttr(result.get(), n_returncode.get()));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!returncode || !zero) return false;
    int ok = PyObject_RichCompareBool(returncode.get(), zero.get(), Py_EQ);
    if (ok <= 0) return ok == 0;
    Ref out = Ref::steal(PyObject_GetAttr(result.get(), n_stdout.get()));
    if (!out) return false;
    int nonempty = PyObject_IsTrue(out.get());
    if (nonempty <= 0) return nonempty == 0;
    Ref encoding = Ref::steal(PyUnicode_FromString("utf-8"));
    Ref ignore = Ref::steal(PyUnicode_FromString("ignore"));
    Ref decode = Ref::steal(PyObject_GetAttr(out.get(), n_decode.get()));
    if (!encoding || !ignore || !decode) return false;
    Ref text = Ref::steal(vn::call_kw(decode.get(), {encoding.get()}, {{"errors", ignore.get()}}));
    if (!text) return false;
    Ref stripped = Ref::steal(vn::call_method(text.get(), n_strip));
    Ref newline = Ref::steal(PyUnicode_FromString("\n"));
    if (!stripped || !newline) return false;
    Ref lines = Ref::steal(vn::call_method(stripped.get(), n_split, newline.get()));
    if (!lines) return false;
    Ref it = Ref::steal(PyObject_GetIter(lines.get()));
    if (!it) return false;
    long gpus = 0;
    for (Ref line = Ref::steal(PyIter_Next(it.get())); line; line = Ref::steal(PyIter_Next(it.get()))) {
        Ref bare = Ref::steal(vn::call_method(line.get(), n_strip));
        if (!bare) return false;
        int t = PyObject_IsTrue(bare.get());
        if (t < 0) return false;
        gpus += t;
    }
    if (PyErr_Occurred()) return false;
    // Output holding only blank lines names no GPU: has_gpu stays as it was.
    if (gpus == 0) return true;
    return set_item(info, n_has_gpu, vn::boolean(true)) && set_item(info, n_gpu_count, PyLong_FromLong(gpus));
}

// The GPU information with its initial values.
PyObject* initial_gpu_info() {
    static vn::Name n_cpu{"cpu"};
    static vn::Name n_empty{""};
    PyObject* const cpu_text = n_cpu.get();
    PyObject* const empty_text = n_empty.get();
    if (cpu_text == nullptr || empty_text == nullptr) return nullptr;
    PyObject* values[] = {Py_False, PyLong_FromLong(0), PyLong_FromLong(0), Py_False,
                          Py_False, Py_False,           cpu_text,           empty_text};
    Ref info = Ref::steal(PyDict_New());
    if (!info) return nullptr;
    for (size_t i = 0; i < 8; ++i) {
        PyObject* v = (i == 1 || i == 2) ? values[i] : vn::new_ref(values[i]);
        if (!set_item(info.get(), *kGpuKeys[i], v)) {
            for (size_t j = i + 1; j < 3; ++j) Py_XDECREF(values[j]);
            return nullptr;
        }
    }
    return info.release();
}

PyObject* detect_gpu_backends(PyObject*) {
    Ref info = Ref::steal(initial_gpu_info());
    if (!info) return nullptr;
    if (!gpu_from_registry(info.get())) {
        if (!catch_exception()) return nullptr;
        if (!gpu_from_nvidia_smi(info.get()) && !catch_exception()) return nullptr;
    }
    return info.release();
}

// ---------------------------------------------------------------------------------------------
// detect_python_version

// Imports module `name`: 1 when it imports, 0 on ImportError, -1 with any other exception.
int importable(const char* name) {
    Ref m = Ref::steal(vn::import_module(name));
    if (m) return 1;
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return -1;
    PyErr_Clear();
    return 0;
}

// The decimal forms of `parts` joined with "." (str() of each; exact small ints take a short path).
PyObject* dotted_version(std::initializer_list<PyObject*> parts) {
    char buf[96];
    size_t used = 0;
    bool plain = true;
    for (PyObject* p : parts) {
        long v = PyLong_CheckExact(p) ? PyLong_AsLong(p) : -1;
        if (v < 0 || v > 999999) {
            PyErr_Clear();
            plain = false;
            break;
        }
        used += static_cast<size_t>(std::snprintf(buf + used, sizeof buf - used, used ? ".%ld" : "%ld", v));
    }
    if (plain) return PyUnicode_FromStringAndSize(buf, static_cast<Py_ssize_t>(used));
    Ref texts = Ref::steal(PyList_New(0));
    Ref dot = Ref::steal(PyUnicode_FromString("."));
    if (!texts || !dot) return nullptr;
    for (PyObject* p : parts) {
        Ref text = Ref::steal(PyObject_Str(p));
        if (!text || PyList_Append(texts.get(), text.get()) < 0) return nullptr;
    }
    return PyUnicode_Join(dot.get(), texts.get());
}

PyObject* detect_python_version(PyObject*) {
    Ref sys = Ref::steal(global(n_sys));
    if (!sys) return nullptr;
    Ref version_info = Ref::steal(PyObject_GetAttr(sys.get(), n_version_info.get()));
    if (!version_info) return nullptr;
    Ref major = Ref::steal(PyObject_GetAttr(version_info.get(), n_major.get()));
    if (!major) return nullptr;
    Ref minor = Ref::steal(PyObject_GetAttr(version_info.get(), n_minor.get()));
    if (!minor) return nullptr;
    Ref micro = Ref::steal(PyObject_GetAttr(version_info.get(), n_micro.get()));
    if (!micro) return nullptr;
    Ref version = Ref::steal(dotted_version({major.get(), minor.get(), micro.get()}));
    if (!version) return nullptr;
    bool has_subinterpreters = false;
    PyObject* const since = g_since;
    PyObject* const since_rename = g_since_rename;
    int recent = PyObject_RichCompareBool(version_info.get(), since, Py_GE);
    if (recent < 0) return nullptr;
    if (recent) {
        // Python 3.13 renamed the private module: both names are probed, the one this
        // interpreter is likely to have first (a failed import costs a search of sys.path).
        int renamed = PyObject_RichCompareBool(version_info.get(), since_rename, Py_GE);
        if (renamed < 0) return nullptr;
        const char* first = renamed ? "_interpreters" : "_xxsubinterpreters";
        const char* second = renamed ? "_xxsubinterpreters" : "_interpreters";
        int found = importable(first);
        if (found == 0) found = importable(second);
        if (found < 0) return nullptr;
        has_subinterpreters = found == 1;
    }
    return PyTuple_Pack(2, version.get(), has_subinterpreters ? Py_True : Py_False);
}

// ---------------------------------------------------------------------------------------------
// detect_capabilities

// time.<fn>() as a double; false with the exception set.
bool clock(vn::Name& fn, double& out) {
    Ref time = Ref::steal(global(n_time));
    if (!time) return false;
    Ref now = Ref::steal(vn::call_method(time.get(), fn));
    return now && vn::to_double(now.get(), out);
}

// Calls the probe currently bound to `name` in the module namespace.
PyObject* call_probe(vn::Name& name) {
    Ref probe = Ref::steal(global(name));
    return probe ? vn::call(probe.get()) : nullptr;
}

bool set_elapsed_ms(PyObject* report, double start) {
    double end;
    if (!clock(n_perf_counter, end)) return false;
    return set_item(report, n_detection_time_ms, PyFloat_FromDouble((end - start) * 1000.0));
}

// Step 2: the report in key order. False with the exception set.
bool fill_report(PyObject* report, double start) {
    if (!set_item(report, n_physical_cores, call_probe(n_detect_physical_cores))) return false;
    if (!set_item(report, n_numa_nodes, call_probe(n_detect_numa_nodes))) return false;
    Ref gpu = Ref::steal(call_probe(n_detect_gpu_backends));
    if (!gpu) return false;
    for (vn::Name* key : kGpuKeys)
        if (!set_item(report, *key, PyObject_GetItem(gpu.get(), key->get()))) return false;
    Ref version = Ref::steal(call_probe(n_detect_python_version));
    if (!version) return false;
    Ref python_version, subinterpreters;
    if (!vn::unpack2(version.get(), python_version, subinterpreters)) return false;
    if (!set_item(report, n_python_version, python_version.release())) return false;
    if (!set_item(report, n_subinterpreter_support, subinterpreters.release())) return false;
    Ref sys = Ref::steal(global(n_sys));
    if (!sys || !set_item(report, n_platform, PyObject_GetAttr(sys.get(), n_platform.get()))) return false;
    double now;
    if (!clock(n_time, now) || !set_item(report, n_detected_at, PyFloat_FromDouble(now))) return false;
    static vn::Name n_native{"native"};
    if (!set_item(report, n_detector, vn::Ref::borrow(n_native.get()).release())) return false;
    return set_elapsed_ms(report, start);
}

// Step 4: the fallback report, carrying the text of `error`.
PyObject* fallback_report(PyObject* error, double start) {
    Ref text = Ref::steal(PyObject_Str(error));
    if (!text) return nullptr;
    Ref report = Ref::steal(PyDict_New());
    if (!report) return nullptr;
    PyObject* r = report.get();
    if (!set_item(r, n_physical_cores, cpu_count_or_one())) return nullptr;
    if (!set_item(r, n_numa_nodes, PyLong_FromLong(1))) return nullptr;
    Ref gpu = Ref::steal(initial_gpu_info());
    if (!gpu || PyDict_Update(r, gpu.get()) < 0) return nullptr;
    Ref sys = Ref::steal(global(n_sys));
    if (!sys) return nullptr;
    Ref version_info = Ref::steal(PyObject_GetAttr(sys.get(), n_version_info.get()));
    if (!version_info) return nullptr;
    Ref major = Ref::steal(PyObject_GetAttr(version_info.get(), n_major.get()));
    if (!major) return nullptr;
    Ref minor = Ref::steal(PyObject_GetAttr(version_info.get(), n_minor.get()));
    if (!minor) return nullptr;
    if (!set_item(r, n_python_version, dotted_version({major.get(), minor.get()}))) return nullptr;
    if (!set_item(r, n_subinterpreter_support, vn::boolean(false))) return nullptr;
    if (!set_item(r, n_platform, PyObject_GetAttr(sys.get(), n_platform.get()))) return nullptr;
    double now;
    if (!clock(n_time, now) || !set_item(r, n_detected_at, PyFloat_FromDouble(now))) return nullptr;
    if (!set_item(r, n_detector, PyUnicode_FromString("native_fallback"))) return nullptr;
    if (!set_item(r, n_error, text.release())) return nullptr;
    if (!set_elapsed_ms(r, start)) return nullptr;
    return report.release();
}

PyObject* detect_capabilities(PyObject*) {
    double start;
    if (!clock(n_perf_counter, start)) return nullptr;
    Ref report = Ref::steal(PyDict_New());
    if (!report) return nullptr;
    if (fill_report(report.get(), start)) return report.release();
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref t = Ref::steal(type), v = Ref::steal(value), tb = Ref::steal(traceback);
    return fallback_report(v ? v.get() : Py_None, start);
}

// ---------------------------------------------------------------------------------------------
// Tables and initialisation.

int hostprobe_exec(PyObject* module) {
    g_module = module;
    g_since = Py_BuildValue("(ii)", 3, 12);         // kept for the process
    g_since_rename = Py_BuildValue("(ii)", 3, 13);  // kept for the process
    if (g_since == nullptr || g_since_rename == nullptr) return -1;
    if (!vn::import_into(module, "sys") || !vn::import_into(module, "os") || !vn::import_into(module, "time"))
        return -1;
    const std::vector<vn::FuncDef> functions = {
        {"detect_physical_cores",
         vn::fn<detect_physical_cores>,
         {},
         "int",
         "Number of CPUs the calling process may run on.",
         vn::Kind::Function},
        {"detect_numa_nodes",
         vn::fn<detect_numa_nodes>,
         {},
         "int",
         "Number of NUMA nodes of the machine (at least 1).",
         vn::Kind::Function},
        {"detect_gpu_backends",
         vn::fn<detect_gpu_backends>,
         {},
         "dict",
         "GPU backend information: availability flags, active backend, device count and memory.",
         vn::Kind::Function},
        {"detect_python_version",
         vn::fn<detect_python_version>,
         {},
         "tuple",
         "The interpreter version as 'major.minor.micro' and whether sub-interpreters are available.",
         vn::Kind::Function},
        {"detect_capabilities",
         vn::fn<detect_capabilities>,
         {},
         "dict",
         "One report of the host's capabilities (a fallback report if a probe fails).",
         vn::Kind::Function},
    };
    return vn::add_functions(module, functions) ? 0 : -1;
}

}  // namespace

VN_MODULE(hostprobe, "Host capability detection: physical cores, NUMA nodes, GPU backends and the interpreter version.",
          hostprobe_exec)
