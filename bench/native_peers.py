"""Atomic counters in C for the lockless benchmark's peers: one through cffi, one through pybind11.

Each is compiled on first use with the packages of the `bench` extra and the machine's C/C++ compiler,
once per interpreter, into build/bench-peers/<interpreter>/ of the checkout, and loaded from there
afterwards. Whatever is missing (the package, a compiler, headers) makes that peer absent: the
loaders return None and say why on stderr.

    counter = pybind11_counter()      # module with Counter(initial_value): increment(), load()
    lib, ffi = cffi_counter()         # lib.counter_increment(p), lib.counter_load(p) on ffi.new("int64_t *")
"""

import importlib.machinery
import importlib.util
import os
import subprocess
import sys
import sysconfig
from typing import Any, Optional, Tuple

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CACHE = os.path.join(ROOT, "build", "bench-peers", sys.implementation.cache_tag or "python")

PYBIND11_SOURCE = r"""
#include <pybind11/pybind11.h>
#include <atomic>
#include <cstdint>

namespace {
struct Counter {
    std::atomic<std::int64_t> value;
    explicit Counter(std::int64_t initial) : value(initial) {}
};
}  // namespace

PYBIND11_MODULE(velmora_bench_pybind11_counter, m) {
    pybind11::class_<Counter>(m, "Counter")
        .def(pybind11::init<std::int64_t>(), pybind11::arg("initial_value") = 0)
        .def("increment", [](Counter &c) { return c.value.fetch_add(1) + 1; })
        .def("load", [](const Counter &c) { return c.value.load(); });
}
"""

CFFI_CDEF = "int64_t counter_increment(int64_t *counter); int64_t counter_load(int64_t *counter);"
CFFI_SOURCE = r"""
#include <stdint.h>
static int64_t counter_increment(int64_t *counter) { return __atomic_add_fetch(counter, 1, __ATOMIC_SEQ_CST); }
static int64_t counter_load(int64_t *counter) { return __atomic_load_n(counter, __ATOMIC_SEQ_CST); }
"""


def _say(message: str) -> None:
    print("native_peers: " + message, file=sys.stderr, flush=True)


def _load(name: str) -> Any:
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        path = os.path.join(CACHE, name + suffix)
        if os.path.exists(path):
            module_spec = importlib.util.spec_from_file_location(name, path)
            if module_spec is None or module_spec.loader is None:
                return None
            module = importlib.util.module_from_spec(module_spec)
            module_spec.loader.exec_module(module)
            return module
    return None


def pybind11_counter() -> Optional[Any]:
    name = "velmora_bench_pybind11_counter"
    try:
        module = _load(name)
        if module is not None:
            return module
        import pybind11
        os.makedirs(CACHE, exist_ok=True)
        source = os.path.join(CACHE, name + ".cpp")
        with open(source, "w") as f:
            f.write(PYBIND11_SOURCE)
        target = os.path.join(CACHE, name + (sysconfig.get_config_var("EXT_SUFFIX") or ".so"))
        cxx = os.environ.get("CXX", "c++")
        cmd = [cxx, "-O2", "-std=c++17", "-shared", "-fPIC", "-fvisibility=hidden",
               "-I" + pybind11.get_include(), "-I" + sysconfig.get_paths()["include"], source, "-o", target]
        _say("building the pybind11 counter (once per interpreter) ...")
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=600)
        if done.returncode != 0:
            _say("pybind11 counter not built: " + (done.stderr.strip().splitlines() or ["?"])[-1])
            return None
        return _load(name)
    except Exception as exc:  # no pybind11, no compiler, a failed import
        _say("pybind11 counter absent: %s: %s" % (type(exc).__name__, exc))
        return None


def cffi_counter() -> Optional[Tuple[Any, Any]]:
    name = "velmora_bench_cffi_counter"
    try:
        module = _load(name)
        if module is None:
            import cffi
            ffi = cffi.FFI()
            ffi.cdef(CFFI_CDEF)
            ffi.set_source(name, CFFI_SOURCE)
            os.makedirs(CACHE, exist_ok=True)
            _say("building the cffi counter (once per interpreter) ...")
            ffi.compile(tmpdir=CACHE, verbose=False)
            module = _load(name)
            if module is None:
                return None
        return module.lib, module.ffi
    except Exception as exc:  # no cffi (or no setuptools for its build), no compiler
        _say("cffi counter absent: %s: %s" % (type(exc).__name__, str(exc).splitlines()[0] if str(exc) else ""))
        return None
