"""Lock-free primitives: exact counter arithmetic, conversions, binding errors, ownership and threads."""

import gc
import pickle
import subprocess
import sys
import threading
import weakref

import pytest
from hypothesis import given, strategies as st

from velmora.memory import lockless
from velmora.memory.lockless import (
    AtomicCounter,
    AtomicCounterWrapper,
    AtomicPointer,
    LockFreeStack,
    LockFreeStatistics,
    PerformanceTimer,
)

from reference import lockless as model

I64_MIN, I64_MAX = -(2**63), 2**63 - 1
i64 = st.integers(I64_MIN, I64_MAX)


# --- AtomicCounter ----------------------------------------------------------------------------


@given(start=i64, ops=st.lists(st.tuples(st.sampled_from(["inc", "dec", "faa", "cas", "store"]), i64, i64)))
def test_counter_matches_wrapping_model(start, ops):
    c, m = AtomicCounter(start), model.Counter(start)
    for op, a, b in ops:
        if op == "inc":
            assert c.increment(a) == m.increment(a)
        elif op == "dec":
            assert c.decrement(a) == m.decrement(a)
        elif op == "faa":
            assert c.fetch_and_add(a) == m.fetch_and_add(a)
        elif op == "cas":
            expected = m.load() if b % 2 else a
            assert c.compare_and_swap(expected, b) is m.compare_and_swap(expected, b)
        else:
            assert c.store(a) is None
            m.store(a)
        assert c.load() == m.load()


@pytest.mark.parametrize(
    "make, call, result, after",
    [
        (lambda: AtomicCounter(), lambda c: c.load(), 0, 0),
        (lambda: AtomicCounter(5), lambda c: c.load(), 5, 5),
        (lambda: AtomicCounter(initial_value=-3), lambda c: c.load(), -3, -3),
        (lambda: AtomicCounter(), lambda c: c.decrement(), -1, -1),
        (lambda: AtomicCounter(7), lambda c: c.fetch_and_add(3), 7, 10),
        (lambda: AtomicCounter(10), lambda c: c.fetch_and_add(-10), 10, 0),
        (lambda: AtomicCounter(), lambda c: c.compare_and_swap(1, 2), False, 0),
        (lambda: AtomicCounter(), lambda c: c.compare_and_swap(0, 2), True, 2),
        (lambda: AtomicCounter(I64_MAX), lambda c: c.increment(), I64_MIN, I64_MIN),
        (lambda: AtomicCounter(I64_MIN), lambda c: c.decrement(), I64_MAX, I64_MAX),
        (lambda: AtomicCounter(0), lambda c: c.decrement(I64_MIN), I64_MIN, I64_MIN),
        (lambda: AtomicCounter(), lambda c: c.increment(2.9), 2, 2),
        (lambda: AtomicCounter(), lambda c: c.increment(True), 1, 1),
        (lambda: AtomicCounter(3.99), lambda c: c.load(), 3, 3),
        (lambda: AtomicCounter(-3.99), lambda c: c.load(), -3, -3),
    ],
)
def test_counter_edge_cases(make, call, result, after):
    c = make()
    r = call(c)
    assert r == result and type(r) is type(result)
    assert c.load() == after


class IntLike:
    def __int__(self):
        return 41


class IndexOnly:
    def __index__(self):
        return 1


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda c: c.store(2**63), OverflowError, "Python int too large to convert to C long"),
        (lambda c: c.store(-(2**63) - 1), OverflowError, "Python int too large to convert to C long"),
        (lambda c: c.increment("1"), TypeError, "an integer is required"),
        (lambda c: c.increment(None), TypeError, "an integer is required"),
        (lambda c: c.increment(IndexOnly()), TypeError, "an integer is required"),
        (lambda c: c.increment(float("nan")), ValueError, "cannot convert float NaN to integer"),
        (lambda c: c.compare_and_swap(0, "x"), TypeError, "an integer is required"),
        (lambda c: c.store(), TypeError, "store() takes exactly 1 positional argument (0 given)"),
        (lambda c: c.store(1, 2), TypeError, "store() takes exactly 1 positional argument (2 given)"),
        (lambda c: c.increment(1, 2), TypeError, "increment() takes at most 1 positional argument (2 given)"),
        (lambda c: c.compare_and_swap(1), TypeError,
         "compare_and_swap() takes exactly 2 positional arguments (1 given)"),
        (lambda c: c.compare_and_swap(new_value=1), TypeError,
         "compare_and_swap() takes exactly 2 positional arguments (0 given)"),
        (lambda c: c.compare_and_swap(1, expected=1), TypeError,
         "compare_and_swap() takes exactly 2 positional arguments (1 given)"),
        (lambda c: c.compare_and_swap(1, 2, 3), TypeError,
         "compare_and_swap() takes exactly 2 positional arguments (3 given)"),
        (lambda c: c.increment(d=1), TypeError, "increment() got an unexpected keyword argument 'd'"),
        (lambda c: c.increment(1, delta=1), TypeError, "increment() got multiple values for keyword argument 'delta'"),
        (lambda c: c.load(1), TypeError, "load() takes no arguments (1 given)"),
        (lambda c: c.load(x=1), TypeError, "load() takes no keyword arguments"),
        (lambda c: c.increment(**{"delta": 1, "x": 2}), TypeError,
         "increment() got an unexpected keyword argument 'x'"),
        (lambda c: AtomicCounter.load(5), TypeError, "doesn't apply to a 'int' object"),
        (lambda c: AtomicCounter(1, 2), TypeError, "takes at most 1 positional argument (2 given)"),
        (lambda c: AtomicCounter(value=1), TypeError, "got an unexpected keyword argument 'value'"),
    ],
)
def test_counter_errors_leave_value_untouched(call, exc, message):
    c = AtomicCounter(9)
    with pytest.raises(exc) as info:
        call(c)
    assert message in str(info.value)
    assert c.load() == 9


def test_counter_keyword_and_int_protocol():
    c = AtomicCounter()
    assert c.increment(delta=IntLike()) == 41
    assert c.compare_and_swap(new_value=1, expected=41) is True
    assert c.store(value=5) is None and c.load() == 5


def test_counter_metadata():
    C = AtomicCounter
    assert C.py_load is C.load and C.py_fetch_and_add is C.fetch_and_add
    assert [getattr(C, "py_" + n) is getattr(C, n) for n in
            ("store", "increment", "decrement", "compare_and_swap")] == [True] * 4
    assert C.increment.__defaults__ == (1,) and C.store.__defaults__ is None
    assert C.load.__annotations__ == {"return": "int"}
    assert C.compare_and_swap.__annotations__ == {"return": "bool"}
    assert C.store.__annotations__ == {}
    assert C.increment.__doc__ == "Atomically increment and return new value."
    assert C.load.__qualname__ == "AtomicCounter.load" and C.load.__module__ == "velmora.memory.lockless"
    assert "10-20" in C.__doc__ and "30 ns" in C.__doc__
    assert str(__import__("inspect").signature(C(1).increment)) == "(delta=1)"


class SubCounter(AtomicCounter):
    def __init__(self, *args, **kwargs):
        self.extra = kwargs


def test_counter_subclass_gets_same_construction_check():
    s = SubCounter(initial_value=4)
    assert s.load() == 4 and s.increment() == 5 and s.extra == {"initial_value": 4}
    with pytest.raises(TypeError):
        SubCounter(1, 2)


@pytest.mark.parametrize("obj", [AtomicCounter(), AtomicPointer(), LockFreeStack(), LockFreeStatistics(),
                                 PerformanceTimer()])
def test_native_classes_refuse_pickling(obj):
    for attempt in (lambda: pickle.dumps(obj), obj.__reduce__, lambda: obj.__setstate__({})):
        with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
            attempt()


def test_counter_threads_sum_exactly():
    c, n_threads, k = AtomicCounter(), 8, 5000

    def work():
        for _ in range(k):
            c.increment()
            c.decrement(-1)

    threads = [threading.Thread(target=work) for _ in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert c.load() == 2 * n_threads * k


def test_native_ops_table_is_published():
    import ctypes

    cap = AtomicCounter.__dict__["_native_ops"]
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    table = get(cap, b"velmora.memory.lockless.AtomicCounter._native_ops")
    c = AtomicCounter(5)
    fn = ctypes.CFUNCTYPE(ctypes.c_int64, ctypes.c_void_p, ctypes.c_int64)
    slots = (ctypes.c_void_p * 6).from_address(table)
    assert fn(slots[2])(id(c), 10) == 15  # _c_increment
    assert fn(slots[5])(id(c), 1) == 15  # _c_fetch_and_add returns the old value
    assert c.load() == 16


# --- AtomicCounterWrapper ---------------------------------------------------------------------


def test_wrapper_delegates_and_converts():
    w = AtomicCounterWrapper(3.7)
    assert w.load() == 3 and w.store(5) is None and w.increment() == 6
    assert w.decrement(2) == 4 and w.fetch_and_add(True) == 4 and w.compare_and_swap(5, 0) is True
    assert type(w).__module__ == "velmora.memory.lockless" and "__dict__" in dir(w)
    assert w.increment.__annotations__ == {"delta": "int", "return": "int"}
    assert AtomicCounterWrapper.__init__.__defaults__ == (0,)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: AtomicCounterWrapper("x"), "Argument 'initial_value' has incorrect type (expected int, got str)"),
        (lambda: AtomicCounterWrapper().store("x"), "Argument 'value' has incorrect type (expected int, got str)"),
        (lambda: AtomicCounterWrapper().increment(None),
         "Argument 'delta' has incorrect type (expected int, got NoneType)"),
        (lambda: AtomicCounterWrapper().compare_and_swap(1, []),
         "Argument 'new_value' has incorrect type (expected int, got list)"),
    ],
)
def test_wrapper_argument_types(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_wrapper_honours_replaced_counter():
    class Fake:
        def py_load(self):
            return 2.5

        def py_increment(self, delta):
            return "nope"

    w = AtomicCounterWrapper()
    w._counter = Fake()
    assert w.load() == 2 and type(w.load()) is int
    with pytest.raises(TypeError, match="Expected int, got str"):
        w.increment()


# --- AtomicPointer ----------------------------------------------------------------------------


class Eq:
    def __eq__(self, other):
        return True

    __hash__ = object.__hash__


def test_pointer_identity_semantics_and_versions():
    p = AtomicPointer()
    assert p.load() is None and p.get_version() == 0
    x, y = Eq(), Eq()
    p = AtomicPointer(x)
    assert p.load() is x and p.get_version() == 0
    assert p.compare_and_swap(y, 1) is False and p.get_version() == 0 and p.load() is x
    assert p.compare_and_swap(x, y) is True and p.get_version() == 1 and p.load() is y
    p.store(None)
    assert p.load() is None and p.get_version() == 2
    assert p.compare_and_swap(None, x) is True and p.get_version() == 3
    assert p.compare_and_swap(x, None) is True and p.load() is None


# Values that compare equal but are distinct objects, and None (the empty slot).
SLOT_VALUES = [None, Eq(), Eq(), 1, 1.0]


@given(st.lists(st.tuples(st.sampled_from(["store", "cas", "load", "push", "pop"]),
                          st.integers(0, len(SLOT_VALUES) - 1), st.integers(0, len(SLOT_VALUES) - 1)),
                max_size=40))
def test_pointer_and_stack_match_model(ops):
    p, mp = AtomicPointer(SLOT_VALUES[1]), model.Pointer(SLOT_VALUES[1])
    s, ms = LockFreeStack(), model.Stack()
    for op, i, j in ops:
        a, b = SLOT_VALUES[i], SLOT_VALUES[j]
        if op == "store":
            p.store(a)
            mp.store(a)
        elif op == "cas":
            assert p.compare_and_swap(a, b) is mp.compare_and_swap(a, b)
        elif op == "load":
            assert p.load() is mp.load()
        elif op == "push":
            s.push(a)
            ms.push(a)
        else:
            assert s.pop() is ms.pop()
        assert p.get_version() == mp.get_version()
        assert (s.size(), s.is_empty()) == (ms.size(), ms.is_empty())


def test_pointer_references_released_exactly_once():
    x = Eq()
    base = sys.getrefcount(x)
    p = AtomicPointer(x)
    assert sys.getrefcount(x) == base + 1
    assert p.compare_and_swap(x, x) is True and sys.getrefcount(x) == base + 1
    assert p.compare_and_swap(object(), x) is False and sys.getrefcount(x) == base + 1
    ref = weakref.ref(x)
    del x
    p.store(1)
    assert ref() is None
    y = Eq()
    p2 = AtomicPointer(y)
    ref = weakref.ref(y)
    del y, p2
    assert ref() is None


def test_pointer_and_stack_cycles_are_collected():
    class Holder:
        pass

    for make, put in ((AtomicPointer, lambda s, h: s.store(h)), (LockFreeStack, lambda s, h: s.push(h))):
        gc.collect()
        h = Holder()
        h.slot = make()
        put(h.slot, h)
        ref = weakref.ref(h)
        del h
        gc.collect()
        assert ref() is None


def test_pointer_lock_error_releases_new_reference():
    class BadLock:
        def __enter__(self):
            raise RuntimeError("enter")

        def __exit__(self, *a):
            return False

    import threading as real_threading

    class FakeThreading:
        @staticmethod
        def Lock():
            return BadLock()

    lockless.threading = FakeThreading
    try:
        p, s = AtomicPointer(), LockFreeStack()
    finally:
        lockless.threading = real_threading
    x = object()
    base = sys.getrefcount(x)
    for call in (lambda: p.store(x), lambda: p.compare_and_swap(None, x), lambda: s.push(x)):
        with pytest.raises(RuntimeError, match="enter"):
            call()
        assert sys.getrefcount(x) == base
    assert s.size() == 0


# --- LockFreeStack ----------------------------------------------------------------------------


def test_stack_lifo_and_none_items():
    s = LockFreeStack(5, key=1)
    assert s.is_empty() is True and s.size() == 0 and s.pop() is None
    s.push(1)
    s.push(2)
    assert s.size() == 2 and s.pop() == 2 and s.pop() == 1 and s.pop() is None and s.size() == 0
    s.push(None)
    assert s.size() == 1 and s.is_empty() is False and s.pop() is None and s.is_empty() is True
    with pytest.raises(TypeError, match=r"push\(\) takes exactly 1 positional argument \(0 given\)"):
        s.push()


def test_stack_releases_items_on_delete():
    items = [Eq() for _ in range(5)]
    refs = [weakref.ref(i) for i in items]
    s = LockFreeStack()
    for i in items:
        s.push(i)
    del items, i
    assert all(r() is not None for r in refs)
    del s
    assert all(r() is None for r in refs)


def test_stack_threads_see_every_item_once():
    s, n_push, k, n_pop = LockFreeStack(), 4, 3000, 4
    popped, lock = [], threading.Lock()
    done = threading.Event()

    def pusher(base):
        for i in range(k):
            s.push(base + i)

    def popper():
        local = []
        while not done.is_set() or not s.is_empty():
            item = s.pop()
            if item is not None:
                local.append(item)
        with lock:
            popped.extend(local)

    pops = [threading.Thread(target=popper) for _ in range(n_pop)]
    pushes = [threading.Thread(target=pusher, args=(j * k,)) for j in range(n_push)]
    for t in pops + pushes:
        t.start()
    for t in pushes:
        t.join(timeout=60)
    done.set()
    for t in pops:
        t.join(timeout=60)
    assert sorted(popped) == list(range(n_push * k))
    assert s.size() == 0


# --- LockFreeStatistics -----------------------------------------------------------------------

KEYS = ["total_allocations", "total_deallocations", "current_allocations", "bytes_allocated", "bytes_reserved",
        "peak_allocations", "peak_bytes_allocated", "bucketed_allocations", "fallback_allocations",
        "bucketed_allocation_ratio", "alignment_padding_bytes", "average_allocation_time_ns",
        "average_deallocation_time_ns", "allocation_mode"]


def snap(s, *keys):
    d = s.get_snapshot()
    return tuple(d[k] for k in keys)


def test_snapshot_shape_and_fresh_values():
    d = LockFreeStatistics().get_snapshot()
    assert list(d) == KEYS
    assert d["bucketed_allocation_ratio"] == "0.0%" and d["average_allocation_time_ns"] == 0.0
    assert d["allocation_mode"].startswith("lock-free ") and d["allocation_mode"].endswith(" atomics")
    assert all(d[k] == 0 for k in KEYS if k not in ("bucketed_allocation_ratio", "allocation_mode"))


small = st.integers(-(2**20), 2**20)


@given(st.lists(st.one_of(
    st.tuples(st.just("a"), small, st.booleans(), small, small),
    st.tuples(st.just("d"), small, small),
), max_size=60))
def test_statistics_match_model(events):
    s, m = LockFreeStatistics(), model.Statistics()
    for e in events:
        if e[0] == "a":
            s.record_allocation(*e[1:])
            m.record_allocation(*e[1:])
        else:
            s.record_deallocation(*e[1:])
            m.record_deallocation(*e[1:])
    got, want = s.get_snapshot(), m.get_snapshot()
    del got["allocation_mode"], want["allocation_mode"]
    assert got == want


def test_statistics_documented_examples():
    s = LockFreeStatistics()
    s.record_allocation(64, False, 8, 1000)
    s.record_allocation(32, True)
    assert snap(s, "bucketed_allocations", "fallback_allocations", "bucketed_allocation_ratio",
                "alignment_padding_bytes", "average_allocation_time_ns") == (1, 1, "50.0%", 8, 500.0)
    s.record_allocation(1, is_bucketed=False, padding=-5, time_ns=0)
    assert snap(s, "bucketed_allocation_ratio", "alignment_padding_bytes") == ("33.3%", 8)
    s._update_peaks(5, 10)
    s._update_peaks(3, 200)
    assert snap(s, "peak_allocations", "peak_bytes_allocated") == (5, 200)
    s.reset()
    d = s.get_snapshot()
    assert d["bucketed_allocation_ratio"] == "0.0%" and all(
        d[k] == 0 for k in KEYS if k not in ("bucketed_allocation_ratio", "allocation_mode"))


def test_py_recorders_touch_only_their_public_counters():
    s = LockFreeStatistics()
    s.py_record_allocation(100, True, 4, 9)
    assert snap(s, "total_allocations", "current_allocations", "bytes_allocated", "bucketed_allocations",
                "peak_allocations", "alignment_padding_bytes", "average_allocation_time_ns") == (
        1, 1, 100, 0, 0, 0, 0.0)
    s.py_record_deallocation(40, 5)
    assert snap(s, "total_deallocations", "current_allocations", "bytes_allocated",
                "average_deallocation_time_ns") == (1, 0, 60, 0.0)
    for call, exc in ((lambda: s.py_record_allocation("1", True), TypeError),
                      (lambda: s.py_record_allocation(2**63, True), OverflowError),
                      (lambda: s.py_record_deallocation(1, 2**64), OverflowError)):
        with pytest.raises(exc):
            call()
    assert snap(s, "total_allocations", "total_deallocations") == (1, 1)


def test_statistics_public_counters_are_plain_attributes():
    s = LockFreeStatistics()
    assert type(s.total_allocations) is AtomicCounter
    s.total_allocations = None
    with pytest.raises(AttributeError):
        s.record_allocation(1)
    with pytest.raises(AttributeError):
        s.get_snapshot()
    del s.bytes_reserved
    assert s.bytes_reserved is None
    with pytest.raises(TypeError, match="Argument 'size' has incorrect type \\(expected int, got str\\)"):
        LockFreeStatistics().record_allocation("3")


def test_statistics_replacement_counters_and_override_take_python_path():
    calls = []

    class Recording(AtomicCounterWrapper):
        def increment(self, delta=1):
            calls.append(delta)
            return super().increment(delta)

    class Stats(LockFreeStatistics):
        def _update_peaks(self, a, b):
            calls.append(("peaks", a, b))

    s = Stats()
    s.bytes_allocated = Recording()
    s.record_allocation(7.9)
    assert calls == [7, ("peaks", 1, 7)]
    assert snap(s, "bytes_allocated", "peak_allocations") == (7, 0)
    big = LockFreeStatistics()
    with pytest.raises(OverflowError):
        big.record_allocation(2**63)
    assert snap(big, "total_allocations", "current_allocations", "bytes_allocated") == (1, 1, 0)


def test_statistics_concurrent_recording_is_exact():
    s, n, k = LockFreeStatistics(), 4, 2000

    def work():
        for _ in range(k):
            s.record_allocation(8)
            s.record_deallocation(8)

    threads = [threading.Thread(target=work) for _ in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    d = s.get_snapshot()
    assert (d["total_allocations"], d["total_deallocations"], d["current_allocations"], d["bytes_allocated"]) == (
        n * k, n * k, 0, 0)
    assert 1 <= d["peak_allocations"] <= n and 8 <= d["peak_bytes_allocated"] <= 8 * n


# --- PerformanceTimer -------------------------------------------------------------------------


def test_timer():
    t = PerformanceTimer(1, x=2)
    assert t.elapsed_ns() > 0  # never started: measures from 0
    t.start()
    ns = t.elapsed_ns()
    assert type(ns) is int and ns >= 0

    class Fixed(PerformanceTimer):
        def elapsed_ns(self):
            return 1500

    f = Fixed()
    assert f.elapsed_us() == 1.5 and f.elapsed_ms() == 0.0015
    assert PerformanceTimer.__doc__ == "High-resolution timer for performance measurement."


# --- module frame -----------------------------------------------------------------------------


def test_module_attributes():
    import logging
    import time
    import typing

    assert lockless.NATIVE_ATOMICS_AVAILABLE is True
    assert lockless.logger is logging.getLogger("velmora.memory.lockless")
    assert lockless.threading is threading and lockless.time is time and lockless.Optional is typing.Optional


def test_import_banner_and_reimport():
    code = (
        "import logging, sys, importlib\n"
        "logging.basicConfig(level=logging.INFO, stream=sys.stdout, format='%(name)s|%(levelname)s|%(message)s')\n"
        "import velmora.memory.lockless as m\n"
        "del sys.modules['velmora.memory.lockless']\n"
        "import velmora.memory.lockless as m2\n"
        "print('same', m is m2)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    banner = [line for line in lines if line.startswith("velmora.memory.lockless|INFO|")]
    assert len(banner) == 1 and banner[0].split("|")[2].startswith("Velmora")
    assert banner[0].endswith("(10-20\u00d7 speedup)")
    assert "same True" in lines


@pytest.mark.skipif(sys.version_info < (3, 12), reason="needs a per-interpreter import check")
def test_second_interpreter_is_refused():
    code = (
        "import velmora.memory.lockless\n"
        "try:\n    import _interpreters as I\nexcept ImportError:\n    import _xxsubinterpreters as I\n"
        "try:\n    iid = I.create('legacy')\nexcept TypeError:\n    iid = I.create(isolated=False)\n"
        "src = 'import velmora.memory.lockless'\n"
        "try:\n    r = I.run_string(iid, src)\nexcept Exception as e:\n    r = e\n"
        "print(repr(r))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert "Interpreter change detected" in out.stdout + out.stderr
