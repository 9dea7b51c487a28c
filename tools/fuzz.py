#!/usr/bin/env python3
"""Crash fuzzer for the nine native modules of velmora.

It discovers every public callable of the modules (functions, classes, their methods, properties
and ``py_*`` aliases) and calls them with adversarial arguments: wrong counts and keywords,
integers at every width boundary, odd floats and Unicode, objects whose conversions, comparisons
or hashes raise or re-enter the object under the call, containers that mutate while they are being
read, subclasses of the native classes that override methods, public attributes replaced by
hostile objects, and module globals (``threading``, ``time``, ``logger``, ...) swapped for hostile
stand-ins and restored afterwards. Stateful objects get random operation sequences.

Exceptions are expected and ignored. A failure is:

- a crash of the child process (segfault, abort, a sanitizer report), or a non-zero exit;
- a hang: no call finished for ``--hang-seconds``;
- a ``SystemError`` raised by a call (including "error return without exception set" and
  "returned a result with an exception set"), or reported as unraisable;
- a ``with`` on a lock object that used the *instance* attribute ``__enter__``/``__exit__``
  (a ``with`` statement looks special methods up on the type).

Each batch runs in a child process. The child writes every call to a log file (flushed before
the call is made), so the last line names the call that crashed or hung. Two more units run
beside the per-module batches: ``deep`` deletes chains of 200,000 nested native containers, and
``exit`` leaves the interpreter while daemon threads are inside native calls.

    python tools/fuzz.py                        # fixed seed, then one random seed (printed)
    python tools/fuzz.py --seed 7 --seconds 30 --module fitindex --module lockless
    python tools/fuzz.py --replay fitindex:7:0:1234   # rerun one batch up to step 1234
    python tools/fuzz.py --module all --steps 2000    # one mixed batch of exactly 2000 steps

A batch is fully determined by unit, seed and batch number (the child runs with
PYTHONHASHSEED=0 and automatic garbage collection off), so ``--replay`` repeats the crashing call
with the same history, as long as this file is unchanged. The exit unit also depends on how its
threads interleave: its replay runs the same threads, not always into the same crash.

A SystemError or a misused lock is recorded and the batch goes on; a crash or a hang ends the
batch and the next one starts. Each distinct failure is printed once, in full, and all of them
are counted in the closing summary. ``--ignore KIND[:CALL]`` stops counting failures the project
has decided to accept. The exit status is 1 when anything failed, 2 on a usage error.
"""

import argparse
import copy
import gc
import math
import os
import pickle
import random
import signal
import subprocess
import sys
import tempfile
import types
import weakref
from time import monotonic as _monotonic, sleep as _sleep

from velmora._modules import NATIVE_MODULES

MODULES = {name.rsplit(".", 1)[1]: name for name in NATIVE_MODULES}
# Share of a seed's time per module: stateful modules get more.
WEIGHTS = {
    "lockless": 2.0, "fitindex": 2.0, "slabkit": 1.5, "compilegate": 1.5, "tallyhub": 1.0,
    "taskgauge": 0.75, "tunejudge": 0.75, "devicefit": 0.75, "hostprobe": 0.75, "all": 1.0,
}
SPECIAL_UNITS = ("deep", "exit")
MIXED = "all"  # a unit whose batches mix every module
SELFTESTS = ("crash", "abort", "hang", "systemerror", "lock", "exit")
FIXED_SEED = 1
FINDING_EXIT = 70  # the child recorded a SystemError, a misused lock or an error of its own
DEFAULT_DEPTH = 200_000

# =================================================================================================
# Child side
# =================================================================================================

CTX = None  # the running fuzzer (one per child process)


class FuzzError(Exception):
    """An exception class of our own, raised by hostile objects."""


# The statistics' peak loop retries until a counter's compare_and_swap succeeds, as the loop written
# in Python would, so stand-in counters whose swaps never succeed (the same one, or a new one put in
# its place at each try) keep it going for ever: the caller's doing, not a fault. Within one step the
# stand-ins and overrides answer this many swaps, then raise GaveUp, which ends the loop as any
# exception from a counter does.
SWAP_TRIES = 2000


class GaveUp(FuzzError):
    """Raised by a stand-in counter's compare_and_swap once the step has made SWAP_TRIES of them."""


def _count_swap():
    ctx = CTX
    if ctx is None:
        return
    ctx.swaps += 1
    if ctx.swaps > SWAP_TRIES:
        raise GaveUp("compare_and_swap called %d times in this step" % ctx.swaps)


class BadStrError(Exception):
    """An exception whose str() and repr() raise."""

    def __str__(self):
        raise RuntimeError("str of BadStrError")

    def __repr__(self):
        raise RuntimeError("repr of BadStrError")


EXCEPTIONS = [ValueError, TypeError, OverflowError, RuntimeError, MemoryError, ZeroDivisionError,
              RecursionError, AttributeError, KeyError, IndexError, StopIteration, FuzzError,
              BadStrError, NotImplementedError, KeyboardInterrupt]


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


def _const(expr):
    return (expr, eval(expr))  # noqa: S307 - constant expressions of this file only


INTS = [_const(e) for e in (
    "0", "1", "-1", "2", "3", "7", "8", "63", "64", "65", "255", "256", "4096",
    "2**31-1", "2**31", "-2**31", "-2**31-1", "2**32-1", "2**32", "-2**32",
    "2**63-1", "2**63", "-2**63", "-2**63-1", "2**64-1", "2**64", "-2**64", "2**100", "-2**100",
    "10**400", "-10**400")] + [("True", True), ("False", False)]
FLOATS = [("nan", math.nan), ("-nan", -math.nan), ("inf", math.inf), ("-inf", -math.inf),
          ("-0.0", -0.0), ("0.0", 0.0), ("1e308", 1e308), ("-1e308", -1e308), ("5e-324", 5e-324),
          ("2.2250738585072014e-308", 2.2250738585072014e-308), ("1e-310", 1e-310), ("0.5", 0.5),
          ("1.5", 1.5), ("-1.5", -1.5), ("0.9999999999999999", 0.9999999999999999),
          ("2.0**53+2", 2.0 ** 53 + 2), ("2.0**63", 2.0 ** 63), ("2.0**64", 2.0 ** 64),
          ("-2.0**63", -2.0 ** 63), ("2.0**31", 2.0 ** 31), ("-2.0**31-1", -2.0 ** 31 - 1),
          ("1e20", 1e20), ("-1e-300", -1e-300)]
STRS = ["", "a", "\x00", "\ud800", "\udfff\ud800x", "\U0001F600" * 3, "e\u0301\u0301", "\u0130" * 5,
        "\u00df", "\u202eevil", "\ufeffnumpy", "\U0010ffff", "\u01c5", "numpy\x00pandas",
        "NUMPY.ARRAY(", "np.\u0130", "for i in range(10):\n\tx += i", "cpu", "io", "memory", "gpu",
        "cuda", "matmul", "zeros", "out of memory", "RuntimeError", "linux", "win32", "darwin",
        "8.6", "x.y", "99999999999999999999.1"]
CODE_BITS = ["import numpy as np", "x = np.array([1, 2])", "np.matmul(a, b)", "import pandas as pd",
             "df.groupby('k').sum()", "pd.merge(a, b)", "from sklearn.linear_model import Ridge",
             "model.fit(X, y)", "for i in range(n):", "    total += data[i]", "while True:",
             "with lock:", "threading.Thread(target=f)", "ProcessPoolExecutor()", "@jit",
             "cupy.asarray(x)", "torch.cuda.is_available()", "def f(x):", "    return x * 2",
             "x = [i * i for i in range(1000)]", "\u0130mport n\u00fcmpy", "# \U0001F600 comment",
             "s = '\ud800'", "del big_list", "gc.collect()", "np.fft.fft(x)", "async def g():",
             "yield x", "global counter", "nonlocal y", "break", "\t\t\tnp.dot(a,b)"]
OPS = ["zeros", "ones", "empty", "add", "multiply", "matmul", "dot", "fft", "sort", "sum", "",
       "ZEROS", "zeros\x00", "\u0130", None]
ERRTEXT = ["CUDA error: out of memory", "RuntimeError", "OutOfMemoryError", "cudaErrorMemoryAllocation",
           "CUBLAS_STATUS_ALLOC_FAILED", "MemoryError", "", "out of memory", "OUT OF MEMORY", "oom"]
FUNC_IDS = ["f0", "f1", "f2", "parse_row", "", None, "\ud800", "f\U0001F600"]
POOLS = ["thread", "process", "async", "gpu", "serial", "", None]
PATTERNS = ["cpu", "io", "memory", "gpu", "mixed", "", None]


def short_repr(obj, limit=60):
    """A repr that never runs user code beyond plain builtins and is kept short."""
    t = type(obj)
    if t is int:
        s = str(obj) if abs(obj) < 10 ** 40 else "<int of %d bits>" % obj.bit_length()
    elif t in (float, bool) or obj is None:
        s = repr(obj)
    elif t is str:
        s = repr(obj[:limit]) + ("...(%d chars)" % len(obj) if len(obj) > limit else "")
    elif t in (bytes, bytearray):
        s = repr(obj[:limit])
    else:
        label = getattr(obj, "_fuzz_label", None) if isinstance(obj, (Evil, FakeLock)) else None
        s = label or "<%s>" % t.__name__
    return s


# -------------------------------------------------------------------------------------------------
# Hostile objects. An Evil object answers the protocols its class defines (a subset of the slots
# below, so slot presence varies too); each slot acts as the object's plan says:
#   ("ok",)            plausible result            ("val", v, desc)   return v
#   ("raise", E)       raise E                      ("mut",)           re-enter the victim, then ok
#   ("gc",)            gc.collect(), then ok        ("hold",)          replace the attribute holding
#   ("nth", k, act)    ok for k calls, then act                        this object, then ok
# The victim is the object under the call (or the container the object sits in).

OK = ("ok",)
EVIL_SLOTS = ["__int__", "__index__", "__float__", "__bool__", "__eq__", "__ne__", "__lt__", "__le__",
              "__gt__", "__ge__", "__hash__", "__len__", "__iter__", "__next__", "__getitem__",
              "__contains__", "__str__", "__repr__", "__format__", "__call__", "__getattr__",
              "__enter__", "__exit__", "__del__", "__add__", "__radd__", "__sub__", "__rsub__",
              "__mul__", "__rmul__", "__truediv__", "__rtruediv__", "__neg__", "__abs__"]
TEMPLATES = {
    "int": ["__int__", "__index__", "__eq__", "__hash__", "__lt__", "__le__", "__gt__", "__ge__",
            "__bool__", "__float__", "__add__", "__radd__", "__sub__", "__rsub__", "__neg__"],
    "float": ["__float__", "__index__", "__int__", "__eq__", "__lt__", "__gt__", "__bool__",
              "__add__", "__radd__", "__mul__", "__rmul__", "__truediv__", "__rtruediv__"],
    "bool": ["__bool__", "__len__", "__eq__"],
    "key": ["__eq__", "__ne__", "__hash__", "__lt__", "__le__", "__gt__", "__ge__", "__str__",
            "__repr__", "__del__"],
    "seq": ["__len__", "__iter__", "__getitem__", "__contains__", "__bool__", "__next__"],
    "duck": ["__getattr__", "__call__", "__enter__", "__exit__", "__iter__", "__len__",
             "__getitem__", "__contains__", "__bool__", "__eq__", "__hash__", "__int__", "__float__",
             "__mul__", "__rmul__", "__str__", "__del__"],
}
# Attribute names a duck answers with a callable (others are plain attribute values).
METHOD_NAMES = {
    "load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add", "py_load",
    "py_store", "py_increment", "get_metrics", "debug", "info", "warning", "error", "exception",
    "isEnabledFor", "log", "perf_counter_ns", "perf_counter", "time", "time_ns", "monotonic",
    "sleep", "Lock", "RLock", "acquire", "release", "locked", "run", "decode", "strip", "split",
    "detect_available_backends", "get_best_available", "cpu_count", "sched_getaffinity", "exists",
    "listdir", "isdir", "getLogger", "findall", "search", "compile", "match", "lower", "items",
    "keys", "values", "get", "copy", "join", "isnan", "floor", "ceil", "sqrt", "_init_buckets",
    "get_stats", "size", "elapsed_ns", "_update_peaks",
}


# What a duck standing in for an object of this role is asked for.
ROLE_NAMES = {
    "counter": ["load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add"],
    "store": ["get_metrics", "call_count", "compile_count", "avg_speedup"],
    "logger": ["debug", "info", "warning", "isEnabledFor", "log"],
}


class Evil:
    """Base of every hostile object; see the plan kinds above."""

    def _fuzz_act(self, slot, args):
        d = object.__getattribute__(self, "__dict__")
        if slot == "compare_and_swap":
            _count_swap()
        act = d["_fuzz_plan"].get(slot, OK)
        if act[0] == "nth":
            calls = d.setdefault("_fuzz_calls", {})
            n = calls.get(slot, 0)
            calls[slot] = n + 1
            act = OK if n < act[1] else act[2]
        kind = act[0]
        if kind == "raise":
            raise act[1]("raised by %s" % slot)
        if kind == "val":
            return act[1]
        ctx = CTX
        if ctx is not None:
            if kind == "mut":
                ctx.mutate(d.get("_fuzz_victim"), "%s.%s" % (d["_fuzz_label"], slot))
            elif kind == "gc":
                gc.collect(0)
            elif kind == "hold":
                ctx.reassign_holder(self, d)
        return _plausible(self, d, slot, args)


def _plausible(self, d, slot, args):
    num = d.get("_fuzz_num", 3)
    if slot in ("__int__", "__index__"):
        return int(num) if isinstance(num, int) else 3
    if slot == "__float__":
        return float(num) if isinstance(num, (int, float)) else 0.5
    if slot == "__bool__":
        return True
    if slot in ("__eq__", "__lt__", "__le__", "__gt__", "__ge__", "__contains__"):
        return False
    if slot == "__ne__":
        return True
    if slot == "__hash__":
        return 17
    if slot == "__len__":
        return 2
    if slot == "__iter__":
        return iter((0.5, 1.5))
    if slot == "__next__":
        raise StopIteration
    if slot == "__getitem__":
        return 1.0
    if slot in ("__str__", "__repr__", "__format__"):
        return "evil"
    if slot in ("__add__", "__radd__", "__sub__", "__rsub__", "__mul__", "__rmul__"):
        return 1
    if slot in ("__truediv__", "__rtruediv__"):
        return 0.5
    if slot in ("__neg__", "__abs__"):
        return -1 if slot == "__neg__" else 1
    if slot == "__enter__":
        return self
    if slot in ("__exit__", "__del__", "__call__"):
        return None
    return _name_default(slot, num)


def _name_default(name, num=0):
    """Plausible result of a duck method or attribute of this name."""
    if name in ("load", "py_load", "increment", "decrement", "fetch_and_add", "py_increment",
                "call_count", "compile_count", "returncode", "device_count", "size"):
        return 0 if name in ("load", "py_load", "returncode") else 1
    if name in ("compare_and_swap", "isEnabledFor", "exists", "isdir", "acquire", "locked"):
        return True
    if name in ("avg_speedup", "memory_gb", "perf_counter", "time", "monotonic"):
        return 1.5
    if name in ("perf_counter_ns", "time_ns", "elapsed_ns"):
        return 10 ** 9
    if name == "stdout":
        return b"GPU 0: Fake\n"
    if name in ("decode", "strip", "lower", "version", "value", "platform"):
        return "linux" if name == "platform" else "cpu" if name == "value" else "x"
    if name in ("split", "listdir", "findall"):
        return ["node0", "node1"]
    if name == "version_info":
        return (3, 11, 7)
    if name == "cpu_count":
        return 2
    if name == "sched_getaffinity":
        return {0, 1}
    if name in ("Lock", "RLock"):
        return FakeLock(CTX, {})
    if name in ("get_stats", "items", "keys", "values", "detect_available_backends"):
        return {}
    return None


_EVIL_CLASSES = {}


def _slot_method(slot):
    if slot == "__getattr__":
        def method(self, name):
            if name.startswith("__") or name.startswith("_fuzz"):
                raise AttributeError(name)
            d = object.__getattribute__(self, "__dict__")
            if name in METHOD_NAMES:
                return lambda *a, **k: self._fuzz_act(name, a) if name in d["_fuzz_plan"] \
                    else _duck_default(self, d, name, a)
            if name in d["_fuzz_plan"]:
                return self._fuzz_act(name, ())
            return _duck_default(self, d, name, ())
        return method

    def method(self, *args):
        return self._fuzz_act(slot, args)
    method.__name__ = slot
    return method


def _duck_default(self, d, name, args):
    v = _name_default(name, d.get("_fuzz_num", 0))
    if v is None and name not in METHOD_NAMES and d.get("_fuzz_gen", 0) < 2 and CTX is not None:
        # an unknown attribute: another duck, one level further down
        return CTX.gen.evil("duck", victim=d.get("_fuzz_victim"), gen=d.get("_fuzz_gen", 0) + 1)[0]
    return v


def evil_class(slots, base):
    key = (frozenset(slots), base)
    cls = _EVIL_CLASSES.get(key)
    if cls is None:
        ns = {s: _slot_method(s) for s in sorted(slots)}
        if "__eq__" in slots and "__hash__" not in slots:
            ns["__hash__"] = None if base is object and len(_EVIL_CLASSES) % 2 else object.__hash__
        bases = (Evil,) if base is object else (base, Evil)
        cls = type("Evil" + ("" if base is object else base.__name__.capitalize()), bases, ns)
        _EVIL_CLASSES[key] = cls
    return cls


# -------------------------------------------------------------------------------------------------
# Locks. FakeLock never blocks (no threads compete in a batch), so a hostile plan can re-enter
# the object under the lock without a deadlock of the lock's own making. InstanceDunderLock also
# carries __enter__/__exit__ as *instance* attributes: a `with` never uses them, so a call of one is
# a failure.


class FakeLock:
    def __init__(self, ctx, plan, label=None):
        self._fuzz_plan = plan
        self._fuzz_label = label or "FakeLock"
        self._fuzz_victim = None
        self._fuzz_calls = {}
        self._fuzz_made_in = _call_head(ctx.current) if ctx is not None else ""
        self.depth = 0
        if ctx is not None:
            ctx.unarmed.append(self)

    def _step(self, slot):
        act = self._fuzz_plan.get(slot, OK)
        if act[0] == "nth":
            n = self._fuzz_calls.get(slot, 0)
            self._fuzz_calls[slot] = n + 1
            act = OK if n < act[1] else act[2]
        if act[0] == "raise":
            raise act[1]("raised by lock %s" % slot)
        if act[0] == "mut" and CTX is not None:
            CTX.mutate(self._fuzz_victim, "%s.%s" % (self._fuzz_label, slot))
        if act[0] == "val":
            return act[1]
        return None

    def __enter__(self):
        r = self._step("__enter__")
        self.depth += 1
        return r if r is not None else True

    def __exit__(self, *exc):
        self.depth -= 1
        return self._step("__exit__")

    def acquire(self, blocking=True, timeout=-1):
        r = self._step("acquire")
        self.depth += 1
        return True if r is None else r

    def release(self):
        self.depth -= 1
        return self._step("release")

    def locked(self):
        return self.depth > 0


class InstanceDunderLock(FakeLock):
    def __init__(self, ctx, plan, label=None):
        FakeLock.__init__(self, ctx, plan, label or "InstanceDunderLock")
        self.__enter__ = self._trip_enter
        self.__exit__ = self._trip_exit

    def _trip(self, name):
        if CTX is not None:
            victim = self._fuzz_victim
            if isinstance(victim, types.ModuleType):
                owner = victim.__name__.rsplit(".", 1)[-1]
            elif victim is not None:
                owner = type(victim).__name__
            else:  # its owner is not known: name the class whose call made it
                owner = self._fuzz_made_in.split(".", 1)[0] or "?"
            CTX.finding("lock", "%s: the instance attribute %s of its lock was called (a `with` statement "
                                "looks %s up on the type)" % (owner, name, name), head=_unsubclassed(owner))

    def _trip_enter(self, *a):
        self._trip("__enter__")
        return FakeLock.__enter__(self)

    def _trip_exit(self, *a):
        self._trip("__exit__")
        return FakeLock.__exit__(self, *a)


class ModuleProxy:
    """A stand-in for a module: its own attributes, except the hostile ones in `overrides`."""

    def __init__(self, real, overrides, label):
        self._fuzz_real = real
        self._fuzz_over = overrides
        self._fuzz_label = label

    def __getattr__(self, name):
        over = self.__dict__["_fuzz_over"]
        if name in over:
            v = over[name]
            if isinstance(v, tuple) and v and v[0] == "raise":
                raise v[1]("raised by proxy attribute " + name)
            return v
        return getattr(self.__dict__["_fuzz_real"], name)


# -------------------------------------------------------------------------------------------------
# Discovery


class Param:
    __slots__ = ("name", "kind", "has_default", "hint")

    def __init__(self, name, kind, has_default, hint):
        self.name, self.kind, self.has_default, self.hint = name, kind, has_default, hint


def hint_for(name, ann):
    n = (name or "").lower()
    a = (ann or "").replace(" ", "")
    al = a.lower()
    by_name = {
        "shape": "shape", "performance_history": "samples", "allocation_history": "samples",
        "pattern_history": "pattern_dicts", "patterns": "pattern_names", "telemetry_store": "store",
        "config": "config", "block": "block", "code": "code", "framework": "framework",
        "operation": "opname", "operation_type": "opname", "error_message": "errtext",
        "error_type": "errtext", "func_id": "funcid", "current_pool": "poolname",
        "recommended_pool": "poolname", "compute_capability": "capability",
        "function_name": "ident", "data": "header", "state": "any", "num_counters": "count",
        "window_size": "count", "min_chunks": "count", "max_chunks": "count",
        "sample_rate": "count", "objects_per_slab": "count", "size_class_index": "count",
        "initial_value": "any" if "object" in al else "int", "item": "any", "value": "any",
        "expected": "any", "new_value": "any", "counter_id": "index", "object_index": "index",
    }
    if n in by_name and not (n in ("value", "expected", "new_value") and "int" in al):
        return by_name[n]
    if "bool" in al or n.startswith("is_") or n in ("gpu_available", "workload_changed"):
        return "bool"
    if "float" in al:
        return "float"
    if "int" in al or "index" in al:
        return "int"
    if "str" in al:
        return "str"
    if "bytes" in al:
        return "header"
    if "memoryblock" in al:
        return "block"
    return "any"


def _stub_constructors(mod):
    """Constructor parameters of the module's classes, read from the .pyi stub beside it."""
    import ast
    out = {}
    path = getattr(mod, "__file__", None)
    if not path:
        return out
    stub = os.path.join(os.path.dirname(path), mod.__name__.rsplit(".", 1)[-1] + ".pyi")
    try:
        with open(stub, encoding="utf-8") as fh:
            tree = ast.parse(fh.read())
    except (OSError, SyntaxError, ValueError):
        return out
    for node in tree.body:
        if not isinstance(node, ast.ClassDef):
            continue
        for item in node.body:
            if isinstance(item, ast.FunctionDef) and item.name in ("__new__", "__init__"):
                params = []
                pos = item.args.posonlyargs + item.args.args
                ndefault = len(item.args.defaults)
                for i, arg in enumerate(pos[1:], start=1):
                    ann = ast.unparse(arg.annotation) if arg.annotation is not None else ""
                    params.append(Param(arg.arg, "pos", i >= len(pos) - ndefault, hint_for(arg.arg, ann)))
                if item.args.vararg is not None:
                    params.append(Param(item.args.vararg.arg, "varargs", True, "any"))
                if item.args.kwarg is not None:
                    params.append(Param(item.args.kwarg.arg, "varkw", True, "any"))
                out[node.name] = params
                if item.name == "__new__":
                    break
    return out


def callable_params(fn):
    """Parameters (without self) of a native function, from its signature and annotations."""
    import inspect
    try:
        sig = inspect.signature(fn)
    except (TypeError, ValueError):
        return None
    anns = getattr(fn, "__annotations__", None) or {}
    params = []
    for i, p in enumerate(sig.parameters.values()):
        if i == 0 and p.name in ("self", "$self", "cls"):
            continue
        kind = {p.VAR_POSITIONAL: "varargs", p.VAR_KEYWORD: "varkw"}.get(p.kind, "pos")
        ann = anns.get(p.name)
        ann = ann if isinstance(ann, str) else getattr(ann, "__name__", "") if ann is not None else ""
        params.append(Param(p.name, kind, p.default is not p.empty, hint_for(p.name, ann)))
    return params


class ClassSurface:
    def __init__(self, cls, ctor):
        self.cls = cls
        self.name = cls.__name__
        self.ctor = ctor  # list of Param, or None when unknown
        self.methods = []  # (name, params or None)
        self.attrs = []
        for name in sorted(vars(cls)):
            if name in ("__new__", "__doc__", "__module__", "__dict__", "__weakref__", "_native_ops",
                        "__init_subclass__", "__subclasshook__", "__class_getitem__"):
                continue
            raw = vars(cls)[name]
            if type(raw).__name__ in ("getset_descriptor", "member_descriptor", "property"):
                self.attrs.append(name)
                continue
            if isinstance(raw, staticmethod):
                raw = raw.__func__
            elif type(raw).__name__ == "method_descriptor":
                raw = getattr(cls, name)  # the class attribute: the rich function, with annotations
            if callable(raw):
                self.methods.append((name, callable_params(raw)))


class Surface:
    """The public callables of one module."""

    def __init__(self, short, mod):
        self.short = short
        self.mod = mod
        ctors = _stub_constructors(mod)
        self.functions = []
        self.classes = []
        self.globals = []
        for name in sorted(vars(mod)):
            if name.startswith("__"):
                continue
            obj = vars(mod)[name]
            if isinstance(obj, type) and obj.__module__ == mod.__name__:
                ctor = ctors.get(name)
                if ctor is None and "__init__" in vars(obj):
                    ctor = callable_params(vars(obj)["__init__"])
                self.classes.append(ClassSurface(obj, ctor))
                continue
            if not isinstance(obj, type) and callable(obj) and type(obj).__name__ == "velmora_function":
                self.functions.append((name, callable_params(obj)))
            self.globals.append(name)


# -------------------------------------------------------------------------------------------------
# Values


class Gen:
    """Plausible and hostile argument values; every value comes with its description."""

    def __init__(self, ctx):
        self.ctx = ctx
        self.rng = ctx.rng
        self.serial = 0

    # --- plain values of each kind
    def small_int(self, key=None):
        rng = self.rng
        recent = self.ctx.recent.get(key) if key is not None else None
        r = rng.random()
        if recent and r < 0.6:  # sizes and indexes the object has seen: state-dependent paths
            v = rng.choice(recent)
        elif r < 0.7:
            v = rng.randint(0, 64)
        elif r < 0.85:
            v = 1 << rng.randint(0, 20)
        elif r < 0.93:
            v = rng.randint(-8, 4096)
        else:
            return rng.choice(INTS)
        if key is not None:
            lst = self.ctx.recent.setdefault(key, [])
            if len(lst) > 12:
                lst.pop(rng.randrange(len(lst)))
            lst.append(v)
        return (str(v), v)

    def plain(self, hint, key=None):
        rng = self.rng
        if hint in ("int", "index"):
            d, v = self.small_int(key)
            return v, d
        if hint == "count":
            r = rng.random()
            if r < 0.8:
                v = rng.choice((0, 1, 2, 3, 5, 8, 16, 64, 100, 1000, rng.randint(0, 3000)))
                return v, str(v)
            d, v = rng.choice(INTS)
            return v, d
        if hint == "float":
            r = rng.random()
            if r < 0.5:
                v = round(rng.random(), 3)
            elif r < 0.75:
                v = float(rng.randint(-4, 100))
            elif r < 0.85:
                v = rng.randint(0, 10)
                return v, str(v)
            else:
                d, v = rng.choice(FLOATS)
                return v, d
            return v, repr(v)
        if hint == "bool":
            v = rng.choice((True, False, 0, 1, None, "", "x", 2))
            return v, repr(v)
        if hint == "code":
            lines = [rng.choice(CODE_BITS) for _ in range(rng.randint(0, 12))]
            if rng.random() < 0.05:
                lines = lines * rng.randint(50, 400)
            v = "\n".join(lines)
            return v, short_repr(v)
        if hint == "framework":
            v = rng.choice(("numpy", "pandas", "sklearn", "torch", "", "NUMPY", "\u0130", None))
            return v, repr(v)
        if hint == "opname":
            v = rng.choice(OPS)
            return v, repr(v)
        if hint == "errtext":
            v = rng.choice(ERRTEXT)
            return v, repr(v)
        if hint == "funcid":
            v = rng.choice(FUNC_IDS)
            return v, repr(v)
        if hint == "poolname":
            v = rng.choice(POOLS)
            return v, repr(v)
        if hint == "capability":
            v = rng.choice(("8.6", "7.0", "9.0", "", "x", "8.", ".5", "1e9", "nan", None))
            return v, repr(v)
        if hint == "ident":
            v = rng.choice(("compute_total", "f", "", "parallel_map", "\U0001F600", None))
            return v, repr(v)
        if hint == "str":
            v = rng.choice(STRS + OPS + ERRTEXT)
            return v, short_repr(v)
        if hint == "shape":
            dims = [rng.randint(0, 2000)] + [rng.randint(0, 64) for _ in range(rng.randint(0, 3))]
            v = tuple(dims)
            return v, repr(v)
        if hint == "samples":
            base = rng.choice((0.0, 1000.0, 1.7e9))
            n = rng.choice((0, 1, 2, 5, 10, 20, 40))
            v = [(base + i * rng.choice((0.5, 1.0, 2.0)), rng.choice((1.0, 4096, 0.5 * i, -1.0)))
                 for i in range(n)]
            return v, "<%d samples from %s>" % (n, base)
        if hint == "pattern_dicts":
            n = rng.choice((0, 5, 6, 7, 10))
            keys = ("parallelization_potential", "cpu_intensity", "memory_intensity")
            v = [{k: round(rng.random(), 2) for k in keys} for _ in range(n)]
            return v, "<%d pattern dicts>" % n
        if hint == "pattern_names":
            n = rng.choice((0, 1, 3, 5, 10))
            v = [rng.choice(PATTERNS) for _ in range(n)]
            return v, repr(v)
        if hint == "store":
            return self.store()
        if hint == "config":
            return self.config()
        if hint == "block":
            mb = self.ctx.MemoryBlock
            off, size = rng.randint(0, 10 ** 6), rng.randint(1, 4096)
            try:
                return mb(off, size), "MemoryBlock(%d, %d)" % (off, size)
            except Exception:
                return (off, size), "(%d, %d)" % (off, size)
        if hint == "header":
            return self.header()
        # any
        r = rng.random()
        if r < 0.3:
            return self.plain("block")
        if r < 0.5:
            d, v = self.small_int(key)
            return v, d
        if r < 0.6:
            return None, "None"
        if r < 0.8 and self.ctx.pool:
            inst = rng.choice(self.ctx.pool)
            return inst[0], inst[1]
        return self.plain(rng.choice(("str", "float", "shape", "samples")))

    def store(self):
        rng = self.rng
        ts = self.ctx.TelemetryStore
        if ts is not None and rng.random() < 0.7:
            store = ts()
            for fid in rng.sample(["f0", "f1", "f2", "parse_row"], rng.randint(0, 3)):
                for _ in range(rng.choice((1, 50, 150))):
                    store.record_call(fid, 0.2)
                if rng.random() < 0.5:
                    store.record_compile(fid, rng.choice((0.5, 1.0, 3.5, 10.0)))
            return store, "<TelemetryStore>"
        return self.evil("duck", role="store")

    def config(self):
        rng = self.rng
        cg = self.ctx.modules.get("compilegate")
        r = rng.random()
        if cg is not None and r < 0.6:
            args = [self.plain(rng.choice(("int", "count")))[0] for _ in range(3)] + \
                   [self.plain("float")[0] for _ in range(2)]
            try:
                return cg.PolicyConfig(*args[:rng.randint(0, 5)]), "<PolicyConfig>"
            except BaseException:  # noqa: B902 - module globals may be hostile right now
                return None, "None"
        if r < 0.75:
            return None, "None"
        return self.evil("duck")

    def header(self):
        rng = self.rng
        r = rng.random()
        heads = [o for o, _ in self.ctx.pool if type(o).__name__ == "FastSlabHeaderOps"]
        if heads and r < 0.5:
            flip = rng.random() < 0.5
            at, bit = rng.randrange(16), rng.randrange(8)
            try:
                raw = bytearray(rng.choice(heads).pack_header())
                if flip and len(raw) > at:
                    raw[at] ^= 1 << bit
                return bytes(raw), "<packed header%s>" % (" with a flipped bit" if flip else "")
            except BaseException:  # noqa: B902 - a hostile subclass may override pack_header
                pass
        v = rng.choice((bytes(16), b"\xff" * 16, bytes(range(16)), b"", b"\x00" * 15, b"\x01" * 17,
                        bytes(rng.randrange(256) for _ in range(16))))
        return v, short_repr(v)

    # --- hostile values
    def plan_for(self, slots, role):
        """A random plan over some of `slots`; each planned slot misbehaves in one way."""
        rng = self.rng
        plan = {}
        for slot in slots:
            if rng.random() < 0.45:
                continue
            plan[slot] = self.action(slot, role)
        return plan

    def action(self, slot, role):
        rng = self.rng
        r = rng.random()
        if role == "counter" and slot in ("load", "compare_and_swap", "increment", "store"):
            if r < 0.3:
                return ("hold",)
        if slot in ("__eq__", "__ne__", "__lt__", "__hash__", "__int__", "__index__", "__float__", "__iter__",
                    "__len__", "__bool__") and r < 0.2:
            return ("mut",)  # the slots a container calls while it walks its own state
        if r < 0.25:
            return ("raise", rng.choice(EXCEPTIONS[:-1] if rng.random() < 0.9 else EXCEPTIONS))
        if r < 0.5:
            return ("val",) + self.odd_result(slot)
        if r < 0.75:
            return ("mut",)
        if r < 0.8:
            return ("gc",)
        if r < 0.9:
            return ("nth", rng.randint(1, 4), self.action(slot, role))
        return OK

    def odd_result(self, slot):
        rng = self.rng
        if slot in ("__int__", "__index__", "__len__", "load", "increment", "perf_counter_ns",
                    "time_ns", "cpu_count", "call_count", "compile_count", "returncode", "size"):
            choices = INTS + [("1.5", 1.5), ("'7'", "7"), ("None", None), ("IntSub(7)", IntSub(7)),
                              ("nan", math.nan)]
        elif slot in ("__float__", "avg_speedup", "perf_counter", "time", "monotonic", "memory_gb"):
            choices = FLOATS + [("1", 1), ("'x'", "x"), ("FloatSub(2.5)", FloatSub(2.5)), ("None", None)]
        elif slot in ("__bool__", "isEnabledFor", "compare_and_swap", "exists"):
            choices = [("1", 1), ("None", None), ("0", 0), ("'x'", "x"), ("True", True), ("False", False)]
        elif slot in ("__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__", "__contains__"):
            choices = [("NotImplemented", NotImplemented), ("None", None), ("1", 1), ("'x'", "x"),
                       ("True", True), ("[]", [])]
        elif slot == "__hash__":
            choices = [("-1", -1), ("2**100", 2 ** 100), ("'x'", "x"), ("0", 0), ("1.5", 1.5)]
        elif slot == "__iter__":
            choices = [("5", 5), ("iter(())", iter(())), ("iter([nan, 'x'])", iter([math.nan, "x"])),
                       ("iter(range(1000))", iter(range(1000))), ("iter([(1, 2, 3)])", iter([(1, 2, 3)]))]
        elif slot in ("__str__", "__repr__", "__format__", "decode", "strip", "platform", "version",
                      "value", "lower"):
            choices = [("5", 5), ("b'x'", b"x"), ("'\\ud800'", "\ud800"), ("''", ""), ("None", None),
                       ("StrSub('linux')", StrSub("linux"))]
        elif slot in ("stdout",):
            choices = [("b''", b""), ("b'\\n\\n'", b"\n\n"), ("'text'", "text"), ("None", None),
                       ("b'\\xff\\xfe'", b"\xff\xfe"), ("5", 5)]
        elif slot in ("version_info",):
            choices = [("(3,)", (3,)), ("('a', 'b')", ("a", "b")), ("(2**70, 0, 0)", (2 ** 70, 0, 0)),
                       ("None", None), ("(3, 99)", (3, 99))]
        elif slot in ("split", "listdir", "findall", "sched_getaffinity"):
            choices = [("None", None), ("5", 5), ("['node0', 5]", ["node0", 5]), ("[b'node1']", [b"node1"]),
                       ("set()", set()), ("['x' * 100000]", ["x" * 100000])]
        else:
            choices = [("None", None), ("-1", -1), ("2**64", 2 ** 64), ("nan", math.nan), ("'x'", "x"),
                       ("b'x'", b"x"), ("[]", []), ("()", ()), ("{}", {}), ("True", True),
                       ("object()", object())]
        d, v = rng.choice(choices)
        return (v, d)

    def evil(self, template, victim=None, base=object, num=None, gen=0, role=None):
        rng = self.rng
        slots = list(TEMPLATES[template])
        keep = [s for s in slots if rng.random() < 0.7] or slots[:1]
        if rng.random() < 0.1:
            keep.append(rng.choice(EVIL_SLOTS))
        if template == "duck" and "__getattr__" not in keep:
            keep.append("__getattr__")
        if base is not object:
            keep = [s for s in keep if s not in ("__getattr__", "__del__", "__call__")]
        cls = evil_class(keep, base)
        planned = list(keep)
        if "__getattr__" in keep:
            planned.remove("__getattr__")
            names = sorted(n for n in METHOD_NAMES) + ["call_count", "compile_count", "avg_speedup",
                                                       "returncode", "stdout", "info", "kind", "value",
                                                       "version", "device_count", "memory_gb"]
            planned += ROLE_NAMES.get(role) or rng.sample(names, 6)
        plan = self.plan_for(planned, role)
        if num is None:
            num = rng.choice((0, 1, 3, 8, 64, rng.randint(0, 4096)))
        try:
            obj = cls.__new__(cls) if base is object else cls(num if base in (int, float) else
                                                              "numpy" if base is str else ())
        except Exception:
            obj = evil_class(keep, object).__new__(evil_class(keep, object))
        self.serial += 1
        label = "Evil#%d%s(%s)" % (self.serial, "" if base is object else "[%s]" % base.__name__,
                                   ", ".join("%s=%s" % (k, _act_desc(a)) for k, a in sorted(plan.items())))
        d = object.__getattribute__(obj, "__dict__")
        d["_fuzz_plan"] = plan
        d["_fuzz_label"] = label
        d["_fuzz_num"] = num
        d["_fuzz_gen"] = gen
        d["_fuzz_victim"] = victim
        if victim is None:
            self.ctx.unarmed.append(obj)
        return obj, label

    def lock(self, kind=None):
        rng = self.rng
        kind = kind or rng.choice(("rlock", "fake", "fake", "dunder", "dunder", "raise", "none", "evil"))
        slots = ["__enter__", "__exit__", "acquire", "release"]
        if kind == "rlock":
            return self.ctx.real_threading.RLock(), "RLock()"
        if kind == "none":
            return None, "None"
        if kind == "evil":
            return self.evil("duck")
        if kind == "raise":
            return 7, "7"
        plan = self.plan_for(slots, "lock") if rng.random() < 0.6 else {}
        label = "%s(%s)" % ("InstanceDunderLock" if kind == "dunder" else "FakeLock",
                            ", ".join("%s=%s" % (k, _act_desc(a)) for k, a in sorted(plan.items())))
        cls = InstanceDunderLock if kind == "dunder" else FakeLock
        return cls(self.ctx, plan, label), label

    def odd(self, key=None):
        """Any value at all, mostly of a type nobody expects."""
        rng = self.rng
        r = rng.randrange(34)
        if r < 4:
            d, v = rng.choice(INTS)
        elif r < 7:
            d, v = rng.choice(FLOATS)
        elif r < 9:
            v = rng.choice(STRS)
            d = short_repr(v)
        elif r == 9:
            n = rng.choice((1000, 100000))
            v = rng.choice(("x", "\U0001F600", "\u0130", "np.")) * n
            d = "<%d-char string>" % len(v)
        elif r == 10:
            v = rng.choice((b"", b"\x00" * 16, bytearray(16), memoryview(b"abc")))
            d = "<%s>" % type(v).__name__
        elif r == 11:
            v, d = None, "None"
        elif r == 12:
            v = rng.choice(([], [None], [[0.5, 1.0]] * 3, [(1, 2, 3)], [("a", "b")], [{}] * 6, [1] * 7))
            d = short_repr(v) if not v else "<list of %d %s>" % (len(v), type(v[0]).__name__)
        elif r == 13:
            v = rng.choice(((), (None,), (1, 2 ** 64), (-1, 5), ("a",), (0.5,) * 40))
            d = "<tuple of %d>" % len(v)
        elif r == 14:
            v = rng.choice(({}, {"a": 1}, {1: 2}, {"parallelization_potential": "x"}))
            d = "<dict of %d>" % len(v)
        elif r == 15:
            v = rng.choice((set(), frozenset({1}), 1 + 2j, Ellipsis, NotImplemented, object(), type, int,
                            len, range(5), slice(1, 2), ValueError("x")))
            d = "<%s>" % type(v).__name__
        elif r == 16:
            v = IntSub(rng.choice((0, 7, 2 ** 64, -1)))
            d = "IntSub(%d)" % v
        elif r == 17:
            v = FloatSub(rng.choice((0.5, math.nan, -0.0, 1e308)))
            d = "FloatSub(%r)" % float(v)
        elif r == 18:
            v = StrSub(rng.choice(("numpy", "", "\ud800", "cpu")))
            d = "StrSub(%r)" % str(v)
        elif r == 19 and self.ctx.pool:
            v, d = rng.choice(self.ctx.pool)
        elif r == 20:
            v, d = self.fresh_native()
        elif r == 21:
            v, d = (x for x in range(3)), "<generator>"
        elif r == 22 and rng.random() < 0.2:
            v, d = self.deep_list(rng.choice((1000, 20000))), "<deeply nested list>"
        elif r == 23:
            v, d = [0.5] * rng.choice((1000, 20000)), "<long list of floats>"
        elif r == 24:
            v, d = self.lock()
        elif r == 25:
            v, d = types.ModuleType("fake"), "<module fake>"
        elif r < 30:
            v, d = self.evil(rng.choice(list(TEMPLATES)))
        elif r < 32:
            base = rng.choice((int, float, str, tuple))
            v, d = self.evil("int" if base is int else "float" if base is float else "key", base=base)
        else:
            v, d = self.plain(rng.choice(("int", "float", "str", "block", "samples", "shape")), key)
        return v, d

    def deep_list(self, n):
        v = []
        for _ in range(n):
            v = [v]
        return v

    def fresh_native(self):
        rng = self.rng
        classes = [c for s in self.ctx.surfaces.values() for c in s.classes]
        if not classes:
            return None, "None"
        c = rng.choice(classes)
        try:
            return c.cls(), "%s()" % c.name
        except BaseException:  # noqa: B902 - module globals may be hostile right now
            return None, "None"

    def armed_container(self, build):
        """Builds a container whose hostile elements re-enter or mutate the container itself."""
        mark = len(self.ctx.unarmed)
        v, d = build()
        created = self.ctx.unarmed[mark:]
        if created and isinstance(v, (list, dict)) and self.rng.random() < 0.7:
            for e in created:
                _set_victim(e, v)
            del self.ctx.unarmed[mark:]
        return v, d

    def hostile(self, hint, key=None):
        """A hostile value meant for a parameter of this kind."""
        rng = self.rng
        if hint in ("int", "index", "count"):
            r = rng.random()
            num = self.plain(hint, key)[0]
            if not isinstance(num, int) or (hint == "count" and abs(num) > 5000 and abs(num) < 2 ** 31 - 1):
                num = 3
            if r < 0.7:
                return self.evil("int", num=num)
            return self.evil("int", base=int, num=num if isinstance(num, int) and abs(num) < 2 ** 63 else 3)
        if hint == "float":
            if rng.random() < 0.75:
                return self.evil("float", num=self.plain("float")[0] if rng.random() < 0.5 else 0.5)
            return self.evil("float", base=float, num=0.25)
        if hint == "bool":
            return self.evil("bool")
        if hint in ("str", "code", "framework", "opname", "errtext", "funcid", "poolname",
                    "capability", "ident"):
            return self.evil("key", base=str)
        if hint == "block":
            if rng.random() < 0.3 and self.ctx.MemoryBlock is not None:
                return self.memory_block_subclass()
            return self.evil("key")
        if hint == "samples":
            return self.armed_container(self.hostile_samples)
        if hint == "pattern_dicts":
            return self.armed_container(self.hostile_pattern_dicts)
        if hint == "pattern_names":
            return self.armed_container(lambda: self.hostile_list(lambda: self.evil("key", base=str)))
        if hint == "shape":
            return self.armed_container(self.hostile_shape)
        if hint == "store":
            return self.evil("duck", role="store")
        if hint == "header":
            v = rng.choice((bytearray(16), memoryview(bytes(16)), "x" * 16, [0] * 16))
            return v, "<%s of 16>" % type(v).__name__
        return self.evil(rng.choice(("duck", "key", "seq")))

    def hostile_list(self, element):
        n = self.rng.choice((1, 3, 6, 10))
        items = []
        descs = []
        for _ in range(n):
            if self.rng.random() < 0.5:
                v, d = element()
            else:
                v = self.rng.choice(PATTERNS)
                d = repr(v)
            items.append(v)
            descs.append(d)
        return items, "[%s]" % ", ".join(descs[:4])

    def hostile_samples(self):
        rng = self.rng
        n = rng.choice((1, 2, 5, 10, 20))
        items, descs = [], []
        for i in range(n):
            r = rng.random()
            if r < 0.5:
                v, d = (float(i), 1.0), "(%d.0, 1.0)" % i
            elif r < 0.75:
                a, da = self.evil("float", num=float(i))
                b, db = self.evil("float", num=1.0) if rng.random() < 0.5 else (2.0, "2.0")
                v, d = (a, b), "(%s, %s)" % (da, db)
            elif r < 0.85:
                v, d = self.evil("seq")
            else:
                v, d = self.odd()
            items.append(v)
            descs.append(d)
        return items, "[%s%s]" % (", ".join(descs[:5]), ", ..." if n > 5 else "")

    def hostile_pattern_dicts(self):
        rng = self.rng
        keys = ("parallelization_potential", "cpu_intensity", "memory_intensity")
        n = rng.choice((6, 7, 10))
        items, descs = [], []
        for _ in range(n):
            if rng.random() < 0.6:
                dct = {}
                for k in keys:
                    if rng.random() < 0.3:
                        dct[k], dd = self.evil("float", num=0.5)
                    else:
                        dct[k] = round(rng.random(), 2)
                items.append(dct)
                descs.append("{...}")
            else:
                v, d = self.odd()
                items.append(v)
                descs.append(d)
        return items, "[%s]" % ", ".join(descs[:6])

    def hostile_shape(self):
        rng = self.rng
        dims, descs = [], []
        for i in range(rng.randint(1, 4)):
            if rng.random() < 0.4:
                v, d = self.evil("int", num=rng.randint(0, 64 if i else 2000))
            else:
                v, d = self.plain("int")
                if isinstance(v, int) and i == 0 and v > 100000:
                    v, d = 100000, "100000"
            dims.append(v)
            descs.append(d)
        return tuple(dims), "(%s,)" % ", ".join(descs)

    def memory_block_subclass(self):
        rng = self.rng
        mb = self.ctx.MemoryBlock
        plan = self.plan_for(["__eq__", "__ne__", "__hash__"], "block")
        ns = {s: _slot_method(s) for s in plan}
        ns["_fuzz_act"] = Evil._fuzz_act
        cls = type("HostileBlock", (mb,), ns)
        try:
            obj = cls(rng.randint(0, 1000), rng.randint(1, 256))
            d = object.__getattribute__(obj, "__dict__")
        except (AttributeError, TypeError, ValueError):
            return self.evil("key")
        self.serial += 1
        label = "HostileBlock#%d(%s)" % (self.serial, ", ".join("%s=%s" % (k, _act_desc(a))
                                                                 for k, a in sorted(plan.items())))
        d.update(_fuzz_plan=plan, _fuzz_label=label, _fuzz_num=0, _fuzz_gen=0, _fuzz_victim=None)
        self.ctx.unarmed.append(obj)
        return obj, label

    def value(self, param, key=None, hostile=0.35):
        r = self.rng.random()
        if r < 1.0 - hostile:
            return self.plain(param.hint, key)
        if r < 1.0 - hostile * 0.35:
            return self.hostile(param.hint, key)
        return self.odd(key)


def _set_victim(obj, victim):
    try:
        d = object.__getattribute__(obj, "__dict__")
    except AttributeError:
        return
    if "_fuzz_victim" in d and d["_fuzz_victim"] is None:
        d["_fuzz_victim"] = victim


def _act_desc(act):
    kind = act[0]
    if kind == "raise":
        return "raise " + act[1].__name__
    if kind == "val":
        return "return " + act[2]
    if kind == "nth":
        return "after %d: %s" % (act[1], _act_desc(act[2]))
    return {"mut": "re-enter", "gc": "gc.collect", "hold": "replace holder", "ok": "ok"}.get(kind, kind)


# -------------------------------------------------------------------------------------------------
# The fuzzer of one batch


class Log:
    """Unbuffered line log: each line is written before the action it names is taken."""

    def __init__(self, path, echo=False):
        self.path = path[:-4] if path and path.endswith(".log") else path
        self.size = 0
        self.fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_APPEND, 0o644) if path else None
        self.echo = echo

    def finding(self, text):
        if self.path:
            with open(self.path + ".findings", "a", encoding="utf-8", errors="backslashreplace") as fh:
                fh.write(text + "\n")

    LIMIT = 16 << 20  # the log keeps its last part only: a replay recreates the rest

    def line(self, text):
        data = (text.replace("\n", "\\n") + "\n").encode("utf-8", "backslashreplace")
        if self.fd is not None:
            self.size += len(data)
            if self.size > self.LIMIT:
                os.ftruncate(self.fd, 0)
                self.size = len(data)
            os.write(self.fd, data)
        if self.echo:
            os.write(2, data)


LOCK_NAMES = ("_policy_lock", "lock", "_lock", "write_lock", "stats_lock", "update_lock")


class Fuzzer:
    def __init__(self, unit, seed, batch, log, modules):
        self.unit = unit
        self.rng = random.Random("%s:%s:%s" % (unit, seed, batch))
        self.log = log
        self.depth = 0
        self.budget = 0  # re-entries left in this step (a hostile fan-out must not run away)
        self.pool = []  # (object, label)
        self.recent = {}
        self.unarmed = []
        self.patches = []  # [module-or-dict, name, original-or-MISSING, steps left]
        self.graveyard = []
        self.count = 0
        self.step_no = 0
        self.findings = []
        self.seen = set()
        self.current = ""
        self.swaps = 0  # compare_and_swap calls answered by stand-ins in this step
        self.labels = 0
        self.per_module = {}  # steps per module
        self._cs_cache = {}
        self.modules = {}
        self.surfaces = {}
        import threading as real_threading
        self.real_threading = real_threading
        for short in modules:
            mod = __import__(MODULES[short], fromlist=["_"])
            self.modules[short] = mod
            self.surfaces[short] = Surface(short, mod)
        MemoryBlock = TelemetryStore = None
        if modules:
            try:
                from velmora.memory.memory_block import MemoryBlock
            except ImportError:
                pass
            try:
                from velmora.jit.telemetry_store import TelemetryStore
            except ImportError:
                pass
        self.MemoryBlock = MemoryBlock
        self.TelemetryStore = TelemetryStore
        self.gen = Gen(self)
        gc.collect()
        gc.freeze()  # collections scan only what the batch creates

    # --- failures detected in the child
    def top(self, text):
        """Logs the step about to be taken."""
        self.current = text
        self.swaps = 0
        self.log.line("S %d %s" % (self.step_no, text))

    def finding(self, kind, text, head=None):
        """Records a failure found without a crash; the batch goes on (one report per call site)."""
        head = head or _call_head(self.current)
        if (kind, head) in self.seen:
            return
        self.seen.add((kind, head))
        self.findings.append((kind, text))
        line = "%s\t%d\t%s\t%s\t%s" % (kind, self.step_no, head, self.current.replace("\t", " "),
                                         text.replace("\n", " "))
        self.log.line("F " + line)
        self.log.finding(line)

    def check_exception(self, exc, what):
        if isinstance(exc, SystemError):
            self.finding("systemerror", "%s raised SystemError: %s" % (what, _safe_str(exc)))

    # --- re-entry from hostile objects
    def mutate(self, victim, source):
        if self.depth >= 2 or self.budget <= 0:
            return
        self.budget -= 1
        self.depth += 1
        try:
            rng = self.rng
            if victim is None:
                self.log.line("  > %s: gc.collect(0)" % source)
                gc.collect(0)
            elif isinstance(victim, list):
                op = rng.choice(("clear", "pop", "append", "extend", "replace", "sort"))
                self.log.line("  > %s: list.%s" % (source, op))
                if op == "clear":
                    victim.clear()
                elif op == "pop" and victim:
                    victim.pop()
                elif op == "append":
                    victim.append(rng.choice((None, 0.5, (1.0, 2.0))))
                elif op == "extend":
                    victim.extend([(1.0, 2.0)] * 64)
                elif op == "replace":
                    victim[:] = [None] * rng.randint(0, 3)
                elif op == "sort":
                    victim.sort(key=lambda x: 0)  # a sort empties the list while it runs
            elif isinstance(victim, dict):
                op = rng.choice(("clear", "popitem", "grow"))
                self.log.line("  > %s: dict.%s" % (source, op))
                if op == "clear":
                    victim.clear()
                elif op == "popitem" and victim:
                    victim.popitem()
                else:
                    for i in range(32):
                        victim["k%d" % i] = i
            elif isinstance(victim, types.ModuleType):
                surf = self.surface_of_module(victim)
                if surf is not None and surf.functions:
                    name, params = rng.choice(surf.functions)
                    self.call(getattr(victim, name), surf.short + "." + name, params, None,
                              hostile=0.1, nested=source)
            else:
                self.reenter_instance(victim, source)
        except BaseException as e:  # noqa: B902 - the hostile callback decides what escapes
            self.check_exception(e, "re-entry from " + source)
        finally:
            self.depth -= 1

    def reenter_instance(self, victim, source):
        rng = self.rng
        cs = self.class_surface(type(victim))
        label = self.label_of(victim)
        if cs is None:
            self.log.line("  > %s: gc.collect(0)" % source)
            gc.collect(0)
            return
        if cs.attrs and rng.random() < 0.25:
            name = rng.choice(cs.attrs)
            value, desc = self.attr_value(victim, name)
            self.log.line("  > %s: %s.%s = %s" % (source, label, name, desc))
            setattr(victim, name, value)
            return
        # Methods that change the object are the interesting ones to re-enter.
        changing = [m for m in cs.methods if not m[0].startswith(("get", "find", "is_", "size", "__", "_sanitize"))]
        name, params = rng.choice(changing if changing and rng.random() < 0.6 else cs.methods)
        self.call(getattr(victim, name), "%s.%s" % (label, name), params, label, hostile=0.1,
                  nested=source)

    def reassign_holder(self, obj, d):
        holder = d.get("_fuzz_victim")
        name = d.get("_fuzz_holder")
        cs = self.class_surface(type(holder)) if holder is not None else None
        if cs is None or not cs.attrs:
            return
        if name is None or self.rng.random() < 0.3:
            name = self.rng.choice(cs.attrs)
        self.log.line("  > %s: replaces %s.%s" % (d.get("_fuzz_label"), self.label_of(holder), name))
        try:
            setattr(holder, name, self.fresh_counter())
        except BaseException as e:  # noqa: B902
            self.check_exception(e, "replacing %s" % name)

    def fresh_counter(self):
        ll = self.modules.get("lockless")
        if ll is None:
            return 0
        return ll.AtomicCounter(0)

    # --- helpers
    def surface_of_module(self, mod):
        for s in self.surfaces.values():
            if s.mod is mod:
                return s
        return None

    def class_surface(self, cls):
        try:
            return self._cs_cache[cls]
        except (KeyError, TypeError):
            pass
        found = None
        for s in self.surfaces.values():
            for c in s.classes:
                if c.cls is cls or (isinstance(cls, type) and issubclass(cls, c.cls)):
                    found = c
        try:
            self._cs_cache[cls] = found
        except TypeError:
            pass
        return found

    def label_of(self, obj):
        for o, label in self.pool:
            if o is obj:
                return label
        return "<%s>" % type(obj).__name__

    def attr_value(self, inst, name):
        rng = self.rng
        r = rng.random()
        current = getattr(inst, name, None)
        if type(current).__name__ == "AtomicCounter" or r < 0.1:
            if r < 0.55:
                v, d = self.gen.evil("duck", victim=inst, role="counter")
                object.__getattribute__(v, "__dict__")["_fuzz_holder"] = name
                return v, d
            if r < 0.75:
                return self.fresh_counter(), "AtomicCounter(0)"
        if r < 0.85:
            return self.gen.plain(rng.choice(("int", "float", "any")))
        return self.gen.odd()

    def arm(self, victim):
        for e in self.unarmed:
            _set_victim(e, victim)
        self.unarmed.clear()

    # --- one call, logged before it is made
    def build_args(self, params, key, hostile):
        rng = self.rng
        args, kwargs, descs = [], {}, []
        if params is None:
            params = [Param("arg%d" % i, "pos", False, "any") for i in range(rng.randint(0, 3))]
        for p in params:
            if p.kind == "varargs":
                for _ in range(rng.choice((0, 0, 1, 2))):
                    v, d = self.gen.value(Param("arg", "pos", True, "any"), key, hostile)
                    args.append(v)
                    descs.append(d)
                continue
            if p.kind == "varkw":
                if rng.random() < 0.3:
                    v, d = self.gen.value(Param("kw", "pos", True, "any"), key, hostile)
                    kwargs["key"] = v
                    descs.append("key=" + d)
                continue
            if p.has_default and rng.random() < 0.3:
                continue
            v, d = self.gen.value(p, key, hostile)
            if kwargs or (rng.random() < 0.15):
                kwargs[p.name] = v
                descs.append("%s=%s" % (p.name, d))
            else:
                args.append(v)
                descs.append(d)
        if rng.random() < hostile * 0.3:
            self.break_binding(params, args, kwargs, descs)
        return args, kwargs, descs

    def break_binding(self, params, args, kwargs, descs):
        rng = self.rng
        r = rng.randrange(6)
        if r == 0 and args:
            args.pop()
            descs.append("<dropped last>")
        elif r == 1:
            v, d = self.gen.odd()
            args.append(v)
            descs.append(d)
        elif r == 2:
            kwargs[rng.choice(("bogus", "\ud800", "self", "", "size\x00"))] = 1
            descs.append("<unknown keyword>")
        elif r == 3 and params and args:
            kwargs[params[0].name] = args[0]
            descs.append("%s=<duplicate>" % params[0].name)
        elif r == 4:
            for _ in range(rng.randint(5, 20)):
                args.append(0)
            descs.append("<many extra>")
        else:
            args.clear()
            kwargs.clear()
            descs.append("<no arguments>")

    def call(self, fn, what, params, key, hostile=0.35, nested=None, guard=None):
        args, kwargs, descs = self.build_args(params, key, hostile)
        if guard is not None and not guard(args, kwargs):
            return None
        text = "%s(%s)" % (what, ", ".join(descs))
        if nested is None:
            self.top(text)
        else:
            self.log.line("  > %s: %s" % (nested, text))
        if nested is None and self.unarmed:
            victim = getattr(fn, "__self__", None)
            self.arm(victim if victim is not None and not isinstance(victim, types.ModuleType)
                     else self.rng.choice(self.pool)[0] if self.pool and self.rng.random() < 0.5 else victim)
        self.count += 1
        try:
            return fn(*args, **kwargs)
        except BaseException as e:  # noqa: B902 - hostile objects raise anything
            self.check_exception(e, what)
            return None

    # --- global patches
    def patch(self, owner, name, value, steps):
        is_dict = isinstance(owner, dict)
        ns = owner if is_dict else owner.__dict__
        for p in self.patches:
            if p[0] is ns and p[1] == name:  # patched already: keep the true original
                p[3] = max(p[3], steps)
                break
        else:
            self.patches.append([ns, name, ns.get(name, _MISSING), steps])
        if value is _MISSING:
            ns.pop(name, None)
        else:
            ns[name] = value

    def original_of(self, ns, name):
        """The value `name` had before any patch still in force."""
        for p in self.patches:
            if p[0] is ns and p[1] == name:
                return p[2]
        return ns.get(name, _MISSING)

    def expire_patches(self, all_=False):
        keep = []
        for p in self.patches:
            p[3] -= 1
            if p[3] > 0 and not all_:
                keep.append(p)
                continue
            ns, name, original, _ = p
            if original is _MISSING:
                ns.pop(name, None)
            else:
                ns[name] = original
        self.patches = keep

    def hostile_global(self, short):
        rng = self.rng
        surf = self.surfaces[short]
        mod = surf.mod
        names = [n for n in surf.globals if not n[:1].isupper() or n in ("AtomicCounter", "ATOMIC_AVAILABLE",
                                                                         "MemoryBlock")]
        weighted = [n for n in names for _ in range(4 if n in ("threading", "time", "logger", "_policy_lock",
                                                               "AtomicCounter", "os", "sys") else 1)]
        if not weighted:
            return
        sysmods = ["time"]
        if short == "hostprobe":
            sysmods += ["velmora.gpu.backend_registry", "subprocess", "_xxsubinterpreters",
                        "_interpreters", "ctypes"]
        steps = rng.randint(1, 30)
        r = rng.random()
        real_threading = self.original_of(vars(mod), "threading")
        if r < 0.25 and isinstance(real_threading, types.ModuleType):
            # The lock factory: objects built now keep a lock that re-enters, misbehaves or is misused.
            factory, desc = self.hostile_attr("Lock", None)
            proxy = ModuleProxy(real_threading, {"Lock": factory}, "proxy(threading)")
            self.top("patch %s.threading = proxy(threading: Lock=%s) for %d steps" % (short, desc, steps))
            self.patch(mod, "threading", proxy, steps)
            return
        if r < 0.4:
            name = rng.choice(sysmods)
            real = self.original_of(sys.modules, name)
            value, desc = self.hostile_module(name, None if real is _MISSING else real)
            self.top("patch sys.modules[%r] = %s for %d steps" % (name, desc, steps,))
            self.patch(sys.modules, name, value, steps)
            return
        name = rng.choice(weighted)
        original = self.original_of(vars(mod), name)
        value, desc = self.hostile_value_for(name, original)
        if isinstance(value, FakeLock):  # a module lock such as _policy_lock: the module owns it
            self.unarmed = [e for e in self.unarmed if e is not value]
            value._fuzz_victim = mod
        self.top("patch %s.%s = %s for %d steps" % (short, name, desc, steps,))
        self.patch(mod, name, value, steps)

    def hostile_module(self, name, real):
        rng = self.rng
        r = rng.random()
        if r < 0.2 or real is None:
            return (None, "None") if rng.random() < 0.5 else (_MISSING, "<removed>")
        if r < 0.35:
            return self.gen.evil("duck")
        return self.module_proxy(real, name)

    KNOWN_ATTRS = {
        "threading": ["Lock", "RLock", "get_ident"],
        "time": ["perf_counter_ns", "perf_counter", "time", "sleep", "monotonic", "time_ns"],
        "logging": ["getLogger", "DEBUG", "INFO", "Logger"],
        "os": ["cpu_count", "sched_getaffinity", "path", "listdir", "name"],
        "sys": ["platform", "version_info", "implementation", "maxsize"],
        "math": ["isnan", "isinf", "floor", "ceil", "sqrt", "log", "inf", "nan", "isfinite"],
        "re": ["compile", "IGNORECASE", "findall", "search"],
        "subprocess": ["run", "TimeoutExpired", "PIPE"],
        "velmora.gpu.backend_registry": ["GPUBackendRegistry", "GPUBackendKind"],
        "posixpath": ["exists", "isdir", "join"],
        "ctypes": ["WinDLL", "byref", "c_ulong", "POINTER"],
    }

    def module_proxy(self, real, name):
        rng = self.rng
        while isinstance(real, ModuleProxy):  # patched already: wrap the real module
            real = real.__dict__["_fuzz_real"]
        known = self.KNOWN_ATTRS.get(name, [])
        extra = sorted(n for n in dir(real) if not n.startswith("__"))
        chosen = rng.sample(known, min(len(known), rng.randint(1, 3))) if known else []
        if extra and rng.random() < 0.3:
            chosen.append(rng.choice(extra))
        over, descs = {}, []
        for attr in chosen:
            v, d = self.hostile_attr(attr, getattr(real, attr, None))
            over[attr] = v
            descs.append("%s=%s" % (attr, d))
        return ModuleProxy(real, over, "proxy(%s)" % name), "proxy(%s: %s)" % (name, ", ".join(descs))

    def hostile_attr(self, attr, real):
        rng = self.rng
        if attr in ("Lock", "RLock"):
            kind = rng.choice(("rlock", "fake", "fake", "dunder", "dunder", "dunder", "raise", "none", "evil"))
            if kind == "raise":
                return self.hostile_callable(real, attr, ("raise", rng.choice(EXCEPTIONS[:-1])))
            return self.lock_factory(kind)
        if attr == "path" and real is not None:
            return self.module_proxy(real, "posixpath")
        if rng.random() < 0.15:
            return ("raise", AttributeError), "<AttributeError>"
        if callable(real) and not isinstance(real, type):
            return self.hostile_callable(real, attr, self.gen.action(attr, "module"))
        v, d = self.gen.odd_result(attr)
        return v, d

    def hostile_callable(self, real, name, act):
        ctx = self

        def hostile(*a, **k):
            kind = act[0]
            inner = act
            if kind == "nth":
                hostile.calls += 1
                inner = OK if hostile.calls <= act[1] else act[2]
                kind = inner[0]
            if kind == "raise":
                raise inner[1]("raised by hostile " + name)
            if kind == "val":
                return inner[1]
            if kind == "mut":
                ctx.mutate(ctx.rng.choice(ctx.pool)[0] if ctx.pool else None, "hostile " + name)
            elif kind == "gc":
                gc.collect(0)
            return real(*a, **k) if callable(real) else None
        hostile.calls = 0
        return hostile, "hostile %s(%s)" % (name, _act_desc(act))

    def lock_factory(self, kind):
        gen = self.gen
        made = gen.lock(kind)
        desc = made[1]
        plan_lock = made[0]
        if isinstance(plan_lock, FakeLock):
            plan, cls = plan_lock._fuzz_plan, type(plan_lock)
            self.unarmed = [e for e in self.unarmed if e is not plan_lock]

            def factory(*a, **k):
                return cls(self, plan, desc)
        else:
            def factory(*a, **k):
                return gen.lock(kind)[0]
        return factory, "lambda: " + desc

    def hostile_value_for(self, name, original):
        rng = self.rng
        if rng.random() < 0.08:
            return _MISSING, "<deleted>"
        if isinstance(original, types.ModuleType):
            return self.hostile_module(original.__name__, original)
        if name in LOCK_NAMES:
            return self.gen.lock()
        if name == "logger":
            r = rng.random()
            if r < 0.6:
                return self.gen.evil("duck", role="logger")
            if r < 0.8:
                import logging
                lg = logging.getLogger("fuzz.hostile.%d" % rng.randrange(4))
                lg.setLevel(rng.choice((logging.DEBUG, logging.WARNING)))
                return lg, "<Logger at %s>" % logging.getLevelName(lg.level)
            return None, "None"
        if name == "AtomicCounter" and isinstance(original, type):
            return self.hostile_counter_class(original)
        if callable(original) and not isinstance(original, type):
            return self.hostile_callable(original, name, self.gen.action(name, "function"))
        if isinstance(original, bool):
            return self.gen.evil("bool")
        return self.gen.odd()

    def hostile_counter_class(self, real):
        rng = self.rng
        r = rng.random()
        gen = self.gen
        if r < 0.5:
            def factory(*a, **k):
                return gen.evil("duck", role="counter")[0]
            return factory, "lambda *a: <counter duck>"
        if r < 0.85:
            plan = {m: gen.action(m, "counter") for m in rng.sample(("increment", "load", "store"), 2)}
            ns = {}
            for m, act in plan.items():
                ns[m] = _override(m, act, getattr(real, m))
            try:
                sub = type("HostileCounter", (real,), ns)
            except TypeError:
                return None, "None"
            return sub, "HostileCounter(%s)" % ", ".join("%s=%s" % (k, _act_desc(a)) for k, a in plan.items())
        return None, "None"

    # --- subclasses of the native classes
    def subclass(self, cs):
        rng = self.rng
        hooks = ["_update_peaks", "_init_buckets", "get_stats", "size", "elapsed_ns", "load", "__eq__",
                 "__hash__", "__len__", "__bool__", "__init__", "__del__", "__repr__", "increment", "get_threshold",
                 "get_metrics", "should_compile", "pop", "push", "insert", "delete"]
        names = sorted({m for m, _ in cs.methods if not m.startswith("__")} | set(hooks))
        chosen = rng.sample(names, min(len(names), rng.randint(1, 4)))
        ns, descs = {}, []
        for name in chosen:
            base = getattr(cs.cls, name, None)
            if name == "__del__":
                act = rng.choice((("resurrect",), ("mut",), ("raise", RuntimeError), OK))
            else:
                act = rng.choice((("super",), ("super",), ("mut",), ("super-mut",), ("recurse",)) +
                                 (self.gen.action(name, "method"),))
            ns[name] = _override(name, act, base)
            descs.append("%s=%s" % (name, act[0] if act[0] in ("super", "super-mut", "recurse", "resurrect")
                                    else _act_desc(act)))
        try:
            sub = type(cs.name + "Sub", (cs.cls,), ns)
        except TypeError:
            return None, None
        return sub, "%sSub(%s)" % (cs.name, ", ".join(descs))

    # --- steps
    def new_label(self, name):
        self.labels += 1
        return "%s#%d" % (name, self.labels)

    def add_to_pool(self, obj, label):
        if len(self.pool) >= 14:
            self.pool.pop(self.rng.randrange(len(self.pool)))
        self.pool.append((obj, label))

    def own_instances(self, surf):
        classes = tuple(c.cls for c in surf.classes)
        return [p for p in self.pool if isinstance(p[0], classes)] if classes else []

    def step_construct(self, surf):
        rng = self.rng
        cs = rng.choice(surf.classes)
        cls, what = cs.cls, cs.name
        if rng.random() < 0.3:
            sub, desc = self.subclass(cs)
            if sub is not None:
                cls, what = sub, desc
        obj = self.call(cls, what, cs.ctor, cs.name, guard=_guard_for(cs.name))
        if self.unarmed:
            self.arm(obj)
        if obj is not None and isinstance(obj, cs.cls):
            self.add_to_pool(obj, self.new_label(cs.name))

    def step_method(self, surf):
        rng = self.rng
        own = self.own_instances(surf)
        if not own:
            return self.step_construct(surf)
        obj, label = rng.choice(own)
        cs = self.class_surface(type(obj))
        name, params = rng.choice(cs.methods)
        r = rng.random()
        if r < 0.85:
            fn, what = getattr(obj, name, None), "%s.%s" % (label, name)
            if fn is None:
                return
        else:
            raw = vars(cs.cls).get(name)
            raw = raw.__func__ if isinstance(raw, staticmethod) else raw
            if raw is None or not callable(raw):
                return
            if r < 0.93:
                other, olabel = self.gen.odd()
            else:
                other, olabel = obj, label
            self.top("unbound %s.%s(self=%s, ...)" % (cs.name, name, olabel,))
            fn = lambda *a, **k: raw(other, *a, **k)  # noqa: E731
            what = "%s.%s[self=%s]" % (cs.name, name, olabel)
        self.call(fn, what, params, label, guard=_guard_for(cs.name + "." + name))

    def step_function(self, surf):
        if not surf.functions:
            return self.step_method(surf)
        name, params = self.rng.choice(surf.functions)
        fn = getattr(surf.mod, name, None)
        if fn is None:
            return
        self.call(fn, "%s.%s" % (surf.short, name), params, name, guard=_guard_for(name))

    def step_attr(self, surf):
        rng = self.rng
        own = [p for p in self.own_instances(surf) if self.class_surface(type(p[0])).attrs]
        if not own:
            return self.step_method(surf)
        obj, label = rng.choice(own)
        cs = self.class_surface(type(obj))
        name = rng.choice(cs.attrs)
        r = rng.random()
        try:
            if r < 0.25:
                self.top("get %s.%s" % (label, name,))
                getattr(obj, name)
            elif r < 0.35:
                self.top("del %s.%s" % (label, name,))
                delattr(obj, name)
            else:
                value, desc = self.attr_value(obj, name)
                self.top("set %s.%s = %s" % (label, name, desc,))
                setattr(obj, name, value)
                del value
        except BaseException as e:  # noqa: B902
            self.check_exception(e, "attribute %s.%s" % (label, name))

    def step_protocol(self, surf):
        rng = self.rng
        own = self.own_instances(surf)
        if not own:
            return self.step_construct(surf)
        obj, label = rng.choice(own)
        other, olabel = self.gen.odd() if rng.random() < 0.7 else rng.choice(self.pool)
        ops = [
            ("repr", lambda: repr(obj)), ("str", lambda: str(obj)), ("len", lambda: len(obj)),
            ("bool", lambda: bool(obj)), ("hash", lambda: hash(obj)), ("eq", lambda: obj == other),
            ("lt", lambda: obj < other), ("iter", lambda: iter(obj)), ("dir", lambda: dir(obj)),
            ("gc.get_referents", lambda: gc.get_referents(obj)), ("getsizeof", lambda: sys.getsizeof(obj)),
            ("copy.copy", lambda: copy.copy(obj)), ("copy.deepcopy", lambda: copy.deepcopy(obj)),
            ("pickle.dumps", lambda: pickle.dumps(obj)), ("weakref", lambda: weakref.ref(obj)),
            ("__reduce_ex__", lambda: obj.__reduce_ex__(rng.randint(0, 5))),
            ("getattr odd", lambda: getattr(obj, rng.choice(("\ud800", "", "x" * 1000, "__dict__")))),
            ("setattr new", lambda: setattr(obj, "fuzz_attr", other)),
            ("format", lambda: format(obj, rng.choice(("", "x", "\ud800")))),
            ("type(obj)()", lambda: type(obj)()),
            ("__new__ other", lambda: type(obj).__new__(rng.choice((int, object, dict, type(other))))),
            ("object.__new__", lambda: object.__new__(type(obj))),
            ("__init__ again", lambda: obj.__init__(other)),
            ("__setstate__", lambda: obj.__setstate__(other)),
            ("isinstance", lambda: isinstance(other, type(obj))),
        ]
        name, op = rng.choice(ops)
        self.top("%s(%s) with %s" % (name, label, olabel,))
        self.count += 1
        try:
            op()
        except BaseException as e:  # noqa: B902
            self.check_exception(e, "%s(%s)" % (name, label))

    def step_drop(self, surf):
        if self.pool:
            obj, label = self.pool.pop(self.rng.randrange(len(self.pool)))
            self.top("drop %s" % (label,))
            del obj

    def step_gc(self, surf):
        self.top("gc.collect(1)")
        self.graveyard.clear()
        gc.collect(1)

    def step_patch(self, surf):
        self.hostile_global(surf.short)

    def run(self, max_steps, deadline):
        rng = self.rng
        shorts = sorted(self.surfaces)
        main = [s for s in shorts if s == self.unit] or shorts
        kinds = [("construct", 10), ("method", 38), ("function", 20), ("attr", 8), ("protocol", 6),
                 ("patch", 5), ("drop", 3), ("gc", 1)]
        table = [k for k, w in kinds for _ in range(w)]
        while self.step_no < max_steps and _monotonic() < deadline:
            self.step_no += 1
            self.budget = 64
            surf = self.surfaces[rng.choice(main)] if rng.random() < 0.95 else self.surfaces[rng.choice(shorts)]
            self.per_module[surf.short] = self.per_module.get(surf.short, 0) + 1
            kind = rng.choice(table)
            if kind in ("construct", "method", "attr", "protocol") and not surf.classes:
                kind = "function"
            self.current = "%s step in %s" % (kind, surf.short)
            try:
                getattr(self, "step_" + kind)(surf)
            except BaseException:  # noqa: B902 - a fault of the fuzzer itself: say so, do not hide it
                import traceback
                self.finding("internal", "the fuzzer failed at step %d: %s"
                             % (self.step_no, traceback.format_exc().replace("\n", " | ")))
            if len(self.findings) >= 20:
                break
            self.expire_patches()
            if self.step_no % 2000 == 0:
                self.top("gc.collect()")
                self.graveyard.clear()
                gc.collect()
        self.expire_patches(all_=True)
        return True


_MISSING = object()


def _call_head(text):
    """The callable a step names, without serial numbers: 'FastRedBlackTree.delete'."""
    import re
    head = text.split("(", 1)[0].split(" = ", 1)[0]
    head = re.sub(r"\[self=[^\]]*\]?", "", head)
    head = re.sub(r"^<(\w+)>", r"\1", head)  # an instance outside the pool is labelled <Type>
    return re.sub(r"#\d+", "", head)


def _safe_str(exc):
    try:
        return str(exc)
    except BaseException:  # noqa: B902
        return "<unprintable %s>" % type(exc).__name__


def _override(name, act, base):
    """A Python override of a native method that acts as `act` says."""

    def method(self, *a, **k):
        ctx = CTX
        kind = act[0]
        if ctx is not None and ctx.depth < 2:
            ctx.log.line("  > override %s.%s: %s" % (type(self).__name__, name, kind))
        if name == "compare_and_swap":
            _count_swap()
        if kind == "nth":
            calls = method.calls = getattr(method, "calls", 0) + 1
            kind = "super" if calls <= act[1] else act[2][0]
        if kind == "raise":
            raise act[1]("raised by override " + name)
        if kind == "val":
            return act[1]
        if kind == "resurrect":
            if ctx is not None:
                ctx.graveyard.append(self)
            return None
        if kind in ("mut", "recurse") and ctx is not None:
            if kind == "recurse" and ctx.depth < 2 and ctx.budget > 0:
                ctx.budget -= 1
                ctx.depth += 1
                try:
                    getattr(self, name)(*a, **k)
                except BaseException as e:  # noqa: B902
                    ctx.check_exception(e, "recursive override " + name)
                finally:
                    ctx.depth -= 1
            else:
                ctx.mutate(self, "override " + name)
        if base is None or name == "__del__":
            return None
        result = base(self, *a, **k)
        if kind == "super-mut" and ctx is not None:
            ctx.mutate(self, "override " + name)
        return result
    method.__name__ = name
    return method


def _candidates(v, default):
    """The integers a native integer conversion of `v` may produce (hostile plans included)."""
    if type(v) in (bool, int):
        return {int(v)}
    if type(v) is float:
        return {int(v)} if math.isfinite(v) else {default}
    out = set()
    if isinstance(v, Evil):
        d = object.__getattribute__(v, "__dict__")
        n = d.get("_fuzz_num")
        if isinstance(n, int):
            out.add(n)
        for slot, act in d.get("_fuzz_plan", {}).items():
            while act[0] == "nth":
                act = act[2]
            if slot in ("__int__", "__index__", "__float__") and act[0] == "val":
                x = act[1]
                if isinstance(x, (int, float)) and (not isinstance(x, float) or math.isfinite(x)):
                    out.add(int(x))
    elif isinstance(v, int):
        out.add(int.__index__(v))  # the plain value of an int subclass, without its own methods
    return out or {default}


def _bucket_count(step, small, medium):
    if step == 0 or not all(-2 ** 31 <= x < 2 ** 31 for x in (step, small, medium)):
        return 0
    return len(range(step, small + 1, step)) + len(range(small + step, medium + 1, step))


def _guard_for(name):
    """Argument checks for calls whose legitimate cost grows with an argument's value."""
    if name == "FastBucketAllocator":
        def guard(args, kwargs):
            names = ("bucket_size_step", "small_block_max", "medium_block_max")
            defaults = (8, 256, 4096)
            vals = [_candidates(args[i], defaults[i]) if i < len(args) else
                    _candidates(kwargs[names[i]], defaults[i]) if names[i] in kwargs else {defaults[i]}
                    for i in range(3)]
            return all(_bucket_count(a, b, c) <= 200_000 for a in vals[0] for b in vals[1] for c in vals[2])
        return guard
    if name == "compute_chunk_shapes":
        def guard(args, kwargs):
            shape = args[0] if args else kwargs.get("shape")
            if isinstance(shape, tuple) and shape:
                return all(n <= 200_000 or n >= 2 ** 31 for n in _candidates(shape[0], 0))
            return True
        return guard
    return None


# -------------------------------------------------------------------------------------------------
# Deep nesting: chains of native containers holding each other.


def deep_candidates(fz):
    """(label, make, put) for every way a native instance takes and keeps another object."""
    out = []
    for short in sorted(fz.surfaces):
        for cs in fz.surfaces[short].classes:
            cls = cs.cls
            try:
                cls()
            except Exception:
                continue
            ctor = cs.ctor or []
            if ctor and ctor[0].hint == "any":
                out.append(("%s(%s)" % (cs.name, ctor[0].name), lambda prev, c=cls: c(prev)))
            for name, params in cs.methods:
                if name.startswith("_") or not params:
                    continue
                slots = [i for i, p in enumerate(params) if p.hint in ("any", "block")]
                if len(slots) != 1 or any(p.kind != "pos" for p in params):
                    continue

                def put(prev, c=cls, n=name, ps=params, at=slots[0]):
                    o = c()
                    args = [prev if i == at else 1 for i in range(len(ps))]
                    getattr(o, n)(*args)
                    return o
                out.append(("%s.%s" % (cs.name, name), put))
    kept = []
    for label, make in out:
        marker = object()
        before = sys.getrefcount(marker)
        try:
            holder = make(marker)
        except Exception:
            continue
        if sys.getrefcount(marker) > before:
            kept.append((label, make))
        del holder
    return kept


def run_deep(fz, depth, start):
    cands = deep_candidates(fz)
    fz.log.line("P %d container operations: %s" % (len(cands), ", ".join(c[0] for c in cands)))
    if not cands:
        return True
    order = list(range(len(cands)))
    random.Random(0).shuffle(order)  # the same chains for every seed: this unit is not random
    plans = [[i] for i in order] + [order]  # each alone, then all of them interleaved
    if start >= len(plans):
        return True
    plan = plans[start]  # one chain per batch, so a crash names its chain
    fz.step_no = 1
    labels = [cands[i][0] for i in plan]
    chain = None
    for k in range(depth):
        label, make = cands[plan[k % len(plan)]]
        chain = make(chain)
        if k % 20000 == 0:
            fz.log.line("P building %d/%d" % (k, depth))
    fz.top("del chain of %d nested %s" % (depth, " / ".join(labels)))
    del chain
    fz.log.line("P deleted")
    gc.collect()
    return True


# -------------------------------------------------------------------------------------------------
# Interpreter exit with daemon threads inside native calls.


def run_exit(fz, seconds):
    import threading
    rng = fz.rng
    nthreads = rng.randint(2, 6)
    seeds = [rng.randrange(2 ** 32) for _ in range(nthreads)]
    shorts = sorted(fz.surfaces)
    big = "\n".join(CODE_BITS) * 60

    def worker(i):
        wrng = random.Random(seeds[i])
        objs = []
        for s in shorts:
            for cs in fz.surfaces[s].classes:
                try:
                    objs.append((cs, cs.cls()))
                except Exception:
                    pass
        funcs = [(getattr(fz.surfaces[s].mod, n), ps) for s in shorts for n, ps in fz.surfaces[s].functions
                 if not n.startswith("reset")]
        tg = fz.modules.get("taskgauge")
        line = fz.log.line
        while True:
            try:
                r = wrng.random()
                if tg is not None and r < 0.3:
                    # scoring long text runs without the interpreter lock for a while
                    line("  > thread %d: taskgauge.score_indicators(<%d chars>, 'f')" % (i, len(big)))
                    tg.score_indicators(big, "f")
                elif objs and r < 0.7:
                    cs, o = wrng.choice(objs)
                    name, params = wrng.choice(cs.methods)
                    if name.startswith("__"):
                        continue
                    args = [_exit_arg(wrng, p) for p in (params or []) if not p.has_default and p.kind == "pos"]
                    line("  > thread %d: %s.%s%r" % (i, cs.name, name, tuple(args)))
                    getattr(o, name)(*args)
                elif funcs:
                    fn, params = wrng.choice(funcs)
                    args = [_exit_arg(wrng, p) for p in (params or []) if not p.has_default and p.kind == "pos"]
                    line("  > thread %d: %s%r" % (i, getattr(fn, "__name__", "?"), tuple(args)))
                    fn(*args)
            except Exception:
                pass

    fz.step_no = 1
    fz.top("daemon threads calling native code at interpreter exit (%d threads, exit after %.3f s)"
           % (nthreads, seconds))
    for i in range(nthreads):
        threading.Thread(target=worker, args=(i,), daemon=True).start()
    _sleep(seconds)
    fz.log.line("P main thread returns")
    return True


def _exit_arg(rng, p):
    return {"int": rng.randint(0, 64), "index": rng.randint(0, 8), "count": rng.randint(1, 16),
            "float": rng.random(), "bool": True, "str": "numpy", "code": "import numpy as np\nnp.dot(a, b)",
            "samples": [(float(i), 1.0) for i in range(8)], "shape": (10, 4), "block": 0,
            "pattern_names": ["cpu", "io"], "header": bytes(16)}.get(p.hint, 1)


# -------------------------------------------------------------------------------------------------
# Self-test units: prove that the parent notices each kind of failure.


def run_selftest(fz, kind, at):
    for step in range(1, at + 1):
        fz.step_no = step
        fz.top("selftest.%s(step=%d)" % (kind, step))
        if step < at:
            continue
        if kind == "crash":
            import ctypes
            ctypes.string_at(0)
        elif kind == "abort":
            os.abort()
        elif kind == "hang":
            while True:
                _sleep(1)
        elif kind == "systemerror":
            try:
                raise SystemError("error return without exception set")
            except SystemError as e:
                fz.check_exception(e, "selftest.systemerror")
        elif kind == "lock":
            lk = InstanceDunderLock(fz, {})
            lk._fuzz_victim = fz  # the owner the report names
            lk.__enter__()
        elif kind == "exit":
            sys.exit(3)
    return not fz.findings


def _under_sanitizer():
    return "asan" in os.environ.get("LD_PRELOAD", "") or "ASAN_OPTIONS" in os.environ


def child_main(opts):
    global CTX
    log = Log(opts.log, echo=opts.echo)
    gc.disable()
    import faulthandler
    if not _under_sanitizer():
        faulthandler.enable()  # under a sanitizer its own report of a fatal signal is the better one
    if hasattr(signal, "SIGUSR1"):
        faulthandler.register(signal.SIGUSR1, all_threads=True)
    import logging
    logging.getLogger().addHandler(logging.NullHandler())
    unit = opts.child
    if unit.startswith("selftest-"):
        fz = Fuzzer(unit, opts.seed, opts.batch, log, [])
        CTX = fz
        ok = run_selftest(fz, unit[len("selftest-"):], opts.steps or 5)
        log.line("D %d 0" % fz.step_no)
        return 0 if ok else FINDING_EXIT
    # Every batch loads all nine modules (foreign objects make good arguments), so a batch depends
    # on its unit, seed and number alone, and --replay needs nothing else.
    names = sorted(MODULES)
    fz = Fuzzer(unit, opts.seed, opts.batch, log, names)
    CTX = fz

    def unraisable(hook_args):
        if isinstance(hook_args.exc_value, SystemError):
            fz.finding("systemerror", "unraisable SystemError in %s: %s"
                       % (short_repr(hook_args.object), _safe_str(hook_args.exc_value)))
    sys.unraisablehook = unraisable
    if fz.rng.random() < 0.5:
        for short in names:
            logging.getLogger(MODULES[short]).setLevel(logging.DEBUG)
    deadline = _monotonic() + (opts.seconds if opts.seconds else 1e9)
    if unit == "deep":
        run_deep(fz, opts.depth, opts.batch)
    elif unit == "exit":
        run_exit(fz, fz.rng.uniform(0.005, 0.15))
    else:
        fz.run(opts.steps or 10 ** 12, deadline)
    if unit not in ("exit", "deep"):
        # Release everything the batch built (deallocation paths count too).
        fz.step_no += 1
        fz.top("release the pool and collect")
        fz.pool.clear()
        fz.graveyard.clear()
        gc.collect()
    log.line("D %d %d %s" % (fz.step_no, fz.count,
                              ",".join("%s=%d" % kv for kv in sorted(fz.per_module.items())) or "-"))
    status = FINDING_EXIT if fz.findings else 0
    if unit == "exit":
        return status  # the interpreter's own teardown, with the daemon threads still running
    os._exit(status)  # no teardown of hostile leftovers


# =================================================================================================
# Parent side
# =================================================================================================


class Result:
    """One failure of one batch."""

    def __init__(self, unit, seed, batch, kind, step, call, detail):
        self.unit, self.seed, self.batch = unit, seed, batch
        self.kind, self.step, self.call, self.detail = kind, step, call, detail
        self.nested = []
        self.stderr = ""
        self.head = None
        self.log_path = self.err_path = ""

    @property
    def replay(self):
        return "%s:%s:%s:%s" % (self.unit, self.seed, self.batch, self.step)

    @property
    def signature(self):
        return (self.unit, self.kind, self.head or _call_head(self.call))


class BatchOutcome:
    def __init__(self):
        self.failures = []
        self.steps = 0
        self.calls = 0
        self.per_module = {}
        self.seconds = 0.0


def _signal_name(rc):
    try:
        return signal.Signals(-rc).name
    except (ValueError, AttributeError):
        return "signal %d" % -rc


def _tail(path, limit=256 * 1024):
    try:
        with open(path, "rb") as fh:
            fh.seek(0, 2)
            size = fh.tell()
            fh.seek(max(0, size - limit))
            return fh.read().decode("utf-8", "replace")
    except OSError:
        return ""


def _sanitizer_summary(stderr):
    lines = stderr.splitlines()
    for line in lines:
        if "ERROR: AddressSanitizer" in line or "runtime error:" in line or "ERROR: LeakSanitizer" in line:
            return line.strip()
    for line in lines:
        if line.startswith("SUMMARY:") or "Fatal Python error" in line or "terminate called" in line:
            return line.strip()
    return ""


def run_batch(unit, seed, batch, opts, seconds=None, steps=None, workdir=None, echo=False):
    """Runs one batch in a child process and collects its failures."""
    out = BatchOutcome()
    workdir = workdir or tempfile.mkdtemp(prefix="velmora-fuzz-")
    base = os.path.join(workdir, "%s-%s-%s" % (unit, seed, batch))
    log_path, err_path, found_path = base + ".log", base + ".err", base + ".findings"
    cmd = [sys.executable] + ([] if _under_sanitizer() else ["-X", "faulthandler"])
    cmd += ["-W", "ignore", os.path.abspath(__file__), "--child", unit, "--seed", str(seed),
            "--batch", str(batch), "--log", log_path, "--depth", str(opts.depth)]
    if seconds is not None:
        cmd += ["--seconds", "%.3f" % seconds]
    if steps is not None:
        cmd += ["--steps", str(steps)]
    if echo:
        cmd.append("--echo")
    env = dict(os.environ, PYTHONHASHSEED="0")
    started = _monotonic()
    hung = None
    with open(err_path, "wb") as err:
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err, env=env)
        last_size, last_change = -1, _monotonic()
        hard_limit = started + seconds + opts.hang_seconds + 30 if seconds is not None else None
        while proc.poll() is None:
            _sleep(0.05)
            try:
                size = os.path.getsize(log_path)
            except OSError:
                size = -1
            now = _monotonic()
            if size != last_size:
                last_size, last_change = size, now
            elif now - last_change > opts.hang_seconds or (hard_limit is not None and now > hard_limit):
                hung = "stalled" if now - last_change > opts.hang_seconds else "overran"
                if hasattr(signal, "SIGUSR1"):
                    try:
                        proc.send_signal(signal.SIGUSR1)  # faulthandler: dump every thread's stack
                    except OSError:
                        pass
                    _sleep(0.5)
                proc.kill()
                proc.wait()
                break
    out.seconds = _monotonic() - started
    rc = proc.returncode
    lines = _tail(log_path).splitlines()
    stderr = _tail(err_path, 64 * 1024)
    done = False
    last, last_step, nested = "", 0, []
    for i in range(len(lines) - 1, -1, -1):
        if lines[i].startswith("D "):
            done = True
            parts = lines[i].split()
            out.steps = int(parts[1])
            out.calls = int(parts[2]) if len(parts) > 2 else 0
            if len(parts) > 3 and parts[3] != "-":
                out.per_module = {k: int(v) for k, v in (kv.split("=") for kv in parts[3].split(","))}
    for i in range(len(lines) - 1, -1, -1):
        if lines[i].startswith("S "):
            _, num, last = lines[i].split(" ", 2)
            last_step = int(num)
            nested = [ln.strip()[2:] for ln in lines[i + 1:] if ln.startswith("  > ")]
            if unit == "exit":  # what each thread was doing last
                last_of = {}
                for ln in nested:
                    last_of[ln.split(":", 1)[0]] = ln
                nested = [last_of[k] for k in sorted(last_of)]
            nested = nested[-12:]
            break
    if not done:
        out.steps = last_step
    try:
        with open(found_path, encoding="utf-8", errors="replace") as fh:
            for line in fh:
                kind, step, head, call, detail = line.rstrip("\n").split("\t", 4)
                res = Result(unit, seed, batch, kind, int(step), call, detail)
                res.head = head
                out.failures.append(res)
    except (OSError, ValueError):
        pass
    kind = detail = None
    if hung == "stalled":
        kind, detail = "hang", "no call finished for %.0f s" % opts.hang_seconds
    elif hung:
        kind, detail = "hang", "the batch overran its time by %.0f s" % (opts.hang_seconds + 30)
    elif rc not in (0, FINDING_EXIT):
        kind = "exit" if unit == "exit" else "crash"
        detail = _signal_name(rc) if rc < 0 else "exit status %d" % rc
        summary = _sanitizer_summary(stderr)
        if summary:
            detail += ": " + summary
    elif not done and unit != "exit":
        kind, detail = "crash", "the child ended without finishing its log (exit status %d)" % rc
    if kind is not None:
        res = Result(unit, seed, batch, kind, last_step, last, detail)
        res.nested, res.stderr = nested, stderr
        out.failures.append(res)
    if out.failures:
        for res in out.failures:
            res.log_path, res.err_path = log_path, err_path
    else:
        for path in (log_path, err_path, found_path):
            try:
                os.unlink(path)
            except OSError:
                pass
    return out


KIND_TEXT = {"crash": "crash", "hang": "hang", "systemerror": "SystemError", "lock": "lock misuse",
             "exit": "crash at interpreter exit", "internal": "fuzzer error"}


def _stderr_excerpt(stderr, frames=8, limit=30):
    """The telling lines of a child's stderr: sanitizer errors with their first frames, the fatal
    error and its Python stack, 'terminate called ...'."""
    keep, in_stack = [], 0
    for ln in (x for x in stderr.splitlines() if x.strip()):
        s = ln.strip()
        if s.startswith("#"):
            in_stack += 1
            if in_stack <= frames:
                keep.append(ln)
            continue
        in_stack = 0
        if ("ERROR:" in ln or "SUMMARY" in ln or "runtime error" in ln or "Fatal Python" in ln
                or "terminate called" in ln or s.startswith("File \"") or "most recent call first" in ln
                or s.startswith(("freed by", "previously allocated by", "READ of", "WRITE of"))):
            keep.append(ln)
    return keep[:limit]


def report(res, out):
    out.write("FAIL [%s] %s in unit %s (seed %s, batch %s, step %s): %s\n"
              % (res.kind, KIND_TEXT.get(res.kind, res.kind), res.unit, res.seed, res.batch, res.step, res.detail))
    if res.call:
        out.write("  call:   %s\n" % res.call)
    for line in res.nested:
        out.write("  inside: %s\n" % line)
    out.write("  replay: python %s --replay %s\n" % (os.path.relpath(os.path.abspath(__file__)), res.replay))
    for ln in _stderr_excerpt(res.stderr):
        out.write("  | %s\n" % ln[:300])
    out.write("  logs:   %s\n" % res.log_path)
    out.flush()


def plan_units(opts):
    """(module units, special units) that this run covers."""
    chosen = opts.module or []
    units = [m for m in chosen if m in MODULES or m == MIXED] or sorted(MODULES)
    if chosen and not any(m in MODULES or m == MIXED for m in chosen):
        units = []
    if chosen:
        specials = [u for u in SPECIAL_UNITS if u in chosen]
    else:
        specials = [u for u in SPECIAL_UNITS if u not in (opts.skip or [])]
    return units, specials


def fuzz(opts, seeds, out):
    units, specials = plan_units(opts)
    workdir = tempfile.mkdtemp(prefix="velmora-fuzz-")
    # Each seed gets an equal share; within it the modules share by weight, 'deep' takes about 10%
    # and 'exit' about 8%. Shares are recomputed from the time left, so an overrun (a hang costs
    # --hang-seconds) is taken from the units after it. With --steps every batch runs that many
    # steps instead, and the run is the same every time.
    weight = {u: WEIGHTS.get(u, 1.0) for u in units}  # a module without a weight of its own gets 1.0
    weight.update(WEIGHTS)
    mod_weight = sum(weight[u] for u in units) or 1.0
    weight["deep"] = mod_weight * 0.10 / 0.82 * len(seeds) if units else 1.0
    weight["exit"] = mod_weight * 0.08 / 0.82 if units else 1.0
    # 'deep' deletes the same chains whatever the seed: it runs once, with the first seed.
    order = [(seed, unit) for seed in seeds for unit in units + [u for u in specials if u != "deep"]]
    if "deep" in specials:
        order.insert(len(units), (seeds[0], "deep"))
    failures, ignored = [], []
    totals = {}  # unit: [batches, steps, seconds, {module: steps}]
    started = _monotonic()
    deadline = started + opts.seconds
    for i, (seed, unit) in enumerate(order):
        left_weight = sum(weight[u] for _, u in order[i:])
        slot_end = _monotonic() + max(0.0, deadline - _monotonic()) * weight[unit] / left_weight
        batch = 0
        while True:
            left = slot_end - _monotonic()
            if batch > 0 and (left < 1.0 or (opts.steps and unit != "deep")):
                break
            if unit == "exit" or opts.steps:
                seconds = None
            else:
                seconds = max(left - 0.5, 0.5)
            outcome = run_batch(unit, seed, batch, opts, seconds=seconds, workdir=workdir,
                                steps=opts.steps if unit != "deep" else None)
            t = totals.setdefault(unit, [0, 0, 0.0, {}])
            t[0] += 1
            t[1] += outcome.steps
            t[2] += outcome.seconds
            for k, v in outcome.per_module.items():
                t[3][k] = t[3].get(k, 0) + v
            for res in outcome.failures:
                if _ignored(res, opts.ignore):
                    ignored.append(res)
                    continue
                if not any(r.signature == res.signature for r in failures):
                    report(res, out)
                failures.append(res)
            batch += 1
            if unit == "deep" and outcome.steps == 0 and not outcome.failures:
                break  # no chain left to try
    out.write("\nfuzzed %.0f s, seeds %s\n" % (_monotonic() - started, ", ".join(map(str, seeds))))
    for unit in units + specials:
        b, n, secs, per = totals.get(unit, (0, 0, 0.0, {}))
        out.write("  %-12s %3d batches %8d steps %6.1f s\n" % (unit, b, n, secs))
        if unit == MIXED:
            out.write("    steps by module: %s\n" % ", ".join("%s=%d" % kv for kv in sorted(per.items())))
    if ignored:
        heads = sorted({"%s %s" % (r.kind, r.signature[2]) for r in ignored})
        out.write("ignored as asked (--ignore): %d failure(s): %s\n" % (len(ignored), "; ".join(heads)))
    internal = [r for r in failures if r.kind == "internal"]
    if internal:
        out.write("%d fuzzer error(s): the fuzzer itself needs fixing\n" % len(internal))
    if failures:
        seen = {}
        for r in failures:
            seen.setdefault(r.signature, []).append(r)
        out.write("%d failure(s), %d distinct (unit, kind, call, count, first seen):\n" % (len(failures), len(seen)))
        for (unit, kind, head), rs in sorted(seen.items()):
            out.write("  %-11s %-11s %-44s x%-3d --replay %s\n" % (unit, kind, head[:44], len(rs), rs[0].replay))
        return 1
    out.write("no failures\n")
    return 0


def _inner_call(line):
    """The call of a nested log line 'SOURCE: CALL'. The source is a hostile object's hook,
    'Evil#9(...).load', whose description may itself hold ': ' ('__ge__=after 4: re-enter'), so
    the split is at the first ': ' that follows the hook's name."""
    import re
    m = re.search(r"\)\.\w+: ", line)
    return line[m.end():] if m else line.split(": ", 1)[-1]


def _unsubclassed(name):
    """A class name without the 'Sub' that the fuzzer appends to the subclasses it makes."""
    return name[:-3] if name.endswith("Sub") else name


def _ignored(res, patterns):
    """Whether `res` matches one of the --ignore patterns KIND or KIND:CALL-PREFIX. A hang also
    matches by the last call the step made from inside itself (a re-entered method, say), as that is
    the call that did not return."""
    heads = [res.signature[2]]
    if res.kind == "hang" and res.nested:
        inner = _call_head(_inner_call(res.nested[-1]))
        owner, dot, method = inner.partition(".")
        heads.append(_unsubclassed(owner) + dot + method)  # a subclass of ours, as the class itself
    for pattern in patterns or ():
        kind, _, prefix = pattern.partition(":")
        if res.kind == kind and any(h.startswith(prefix) for h in heads):
            return True
    return False


def selftest(opts, out):
    """One batch of a unit that fails on purpose, to show the failure is caught and reported."""
    outcome = run_batch("selftest-" + opts.selftest, FIXED_SEED, 0, opts, steps=5)
    for res in outcome.failures:
        report(res, out)
    if not outcome.failures:
        out.write("selftest %s: no failure seen\n" % opts.selftest)
        return 0
    return 1


def replay(opts, out):
    try:
        unit, seed, batch, step = opts.replay.split(":")
        seed, batch, step = int(seed), int(batch), int(step)
    except ValueError:
        out.write("--replay takes UNIT:SEED:BATCH:STEP, as a failure report prints it\n")
        return 2
    out.write("replaying %s seed %d batch %d up to step %d\n" % (unit, seed, batch, step))
    outcome = run_batch(unit, seed, batch, opts, seconds=None, steps=None if unit == "exit" else step,
                        echo=opts.verbose)
    if not outcome.failures:
        out.write("no failure (%d steps)\n" % outcome.steps)
        return 0
    for res in outcome.failures:
        report(res, out)
    return 1


def parse_args(argv):
    ap = argparse.ArgumentParser(description="Crash fuzzer for velmora's native modules.")
    ap.add_argument("--seed", type=int, action="append",
                    help="seed to fuzz with (repeatable); default: %d, then one random seed" % FIXED_SEED)
    ap.add_argument("--seconds", type=float, default=120.0, help="time budget in all (default 120)")
    ap.add_argument("--module", action="append", metavar="NAME",
                    help="fuzz only this module (repeatable); 'all' mixes every module in one batch; "
                         "'deep' and 'exit' name the two special units")
    ap.add_argument("--skip", action="append", metavar="UNIT", help="leave out 'deep' or 'exit'")
    ap.add_argument("--steps", type=int,
                    help="run each batch for exactly this many steps, one batch per unit and seed (no time budget)")
    ap.add_argument("--hang-seconds", type=float, default=10.0, help="no progress for this long is a hang")
    ap.add_argument("--ignore", action="append", metavar="KIND[:CALL]",
                    help="do not count failures of this kind (crash, hang, systemerror, lock, exit), optionally "
                         "only those whose call starts with CALL, e.g. hang:CompileGate.update (repeatable)")
    ap.add_argument("--depth", type=int, default=DEFAULT_DEPTH, help="chain length of the deep unit")
    ap.add_argument("--replay", metavar="UNIT:SEED:BATCH:STEP", help="rerun one batch up to its failing step")
    ap.add_argument("-v", "--verbose", action="store_true", help="with --replay: echo every call to stderr")
    # child process options
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--batch", type=int, default=0, help=argparse.SUPPRESS)
    ap.add_argument("--log", help=argparse.SUPPRESS)
    ap.add_argument("--selftest", choices=SELFTESTS, help=argparse.SUPPRESS)
    ap.add_argument("--echo", action="store_true", help=argparse.SUPPRESS)
    opts = ap.parse_args(argv)
    known = set(MODULES) | set(SPECIAL_UNITS) | {MIXED}
    for m in opts.module or []:
        if m not in known:
            ap.error("unknown module %r (choose from %s)" % (m, ", ".join(sorted(known))))
    return opts


def main(argv=None):
    opts = parse_args(sys.argv[1:] if argv is None else argv)
    if opts.child:
        opts.seed = opts.seed[0] if opts.seed else FIXED_SEED
        return child_main(opts)
    out = sys.stdout
    if opts.replay:
        return replay(opts, out)
    if opts.selftest:
        return selftest(opts, out)
    seeds = opts.seed or [FIXED_SEED, random.SystemRandom().randrange(1, 2 ** 31)]
    budget = "%d steps per batch" % opts.steps if opts.steps else "%.0f s in all" % opts.seconds
    out.write("velmora fuzz: seeds %s, %s (python %s)\n"
              % (", ".join(map(str, seeds)), budget, sys.version.split()[0]))
    out.flush()
    return fuzz(opts, seeds, out)


if __name__ == "__main__":
    sys.exit(main())
