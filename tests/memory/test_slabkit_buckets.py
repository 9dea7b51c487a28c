"""FastBucketAllocator (buckets, best-fit scan, restore on misfit) and FastStatsCollector."""

import copy
import pickle
import threading

import pytest
from hypothesis import given, settings, strategies as st

from velmora.memory.slabkit import FastBucketAllocator, FastStatsCollector

from reference import slabkit as ref

INT32_MIN, INT32_MAX = -(2 ** 31), 2 ** 31 - 1
int32s = st.integers(INT32_MIN, INT32_MAX)


# ----------------------------------------------------------------------------------------------
# Examples the contract gives.

def test_default_buckets_are_8_to_4096_by_8():
    a = FastBucketAllocator()
    accepted = [s for s in range(-8, 4200) if a.add_to_bucket(s, s)]
    assert accepted == list(range(8, 4097, 8)) and len(accepted) == 512


def test_add_examples():
    a = FastBucketAllocator()
    assert a.add_to_bucket(1000, 64) is True
    assert a.add_to_bucket(1000, 60) is False
    assert a.add_to_bucket(1000, 5000) is False
    assert a.add_to_bucket(1000, 0) is False


def test_remove_is_last_in_first_out_and_rounds_up():
    a = FastBucketAllocator()
    a.add_to_bucket(100, 64)
    a.add_to_bucket(200, 64)
    assert [a.remove_from_bucket(60), a.remove_from_bucket(64), a.remove_from_bucket(57)] == [200, 100, None]
    assert a.remove_from_bucket(0) is None and a.remove_from_bucket(4097) is None
    assert a.remove_from_bucket(-100) is None


def test_best_fit_restores_a_block_that_does_not_fit():
    a = FastBucketAllocator()
    a.add_to_bucket(4, 64)
    assert a.find_best_fit_bucket(64, 8) is None  # 8 + 64 > 4 + 64
    assert a.find_best_fit_bucket(60, 8) == 4  # 8 + 60 <= 68: the popped offset itself
    assert a.find_best_fit_bucket(60, 8) is None


def test_best_fit_falls_back_to_larger_buckets():
    a = FastBucketAllocator()
    a.add_to_bucket(0, 128)
    assert a.find_best_fit_bucket(64, 16) == 0
    assert a.remove_from_bucket(128) is None


def test_best_fit_examines_only_the_last_block_of_each_bucket():
    a = FastBucketAllocator()
    a.add_to_bucket(0, 64)  # would fit, but is not on top
    a.add_to_bucket(4, 64)
    a.add_to_bucket(100, 72)  # misaligned: 104 + 64 <= 172 fits
    assert a.find_best_fit_bucket(64, 8) == 100
    assert a.find_best_fit_bucket(64, 8) is None
    assert [a.remove_from_bucket(64), a.remove_from_bucket(64)] == [4, 0]


def test_best_fit_fallback_is_in_ascending_bucket_order():
    a = FastBucketAllocator()
    for offset, size in [(1, 4096), (2, 1024), (3, 256), (4, 512)]:
        a.add_to_bucket(offset * 8192, size)
    assert [a.find_best_fit_bucket(100, 8) for _ in range(5)] == [3 * 8192, 4 * 8192, 2 * 8192, 8192, None]


def test_best_fit_rejects_sizes_without_a_bucket():
    a = FastBucketAllocator()
    a.add_to_bucket(0, 4096)
    assert a.find_best_fit_bucket(4097, 8) is None
    assert a.find_best_fit_bucket(0, 8) is None
    assert a.find_best_fit_bucket(-5, 8) is None
    assert a.find_best_fit_bucket(4096, 8) == 0


def test_init_buckets_empties_every_bucket():
    a = FastBucketAllocator()
    a.add_to_bucket(1, 8)
    a.add_to_bucket(2, 4096)
    assert a._init_buckets() is None
    assert a.remove_from_bucket(8) is None and a.remove_from_bucket(4096) is None
    assert a.add_to_bucket(3, 8) is True and a.remove_from_bucket(8) == 3


def test_constructor_calls_init_buckets_through_method_lookup():
    calls = []

    class Tracking(FastBucketAllocator):
        def _init_buckets(self):
            calls.append(self)
            super()._init_buckets()

    t = Tracking(16, 64, 128)
    assert calls == [t] and t.add_to_bucket(5, 128) is True and t.add_to_bucket(5, 136) is False


def test_zero_step_fails_in_init_buckets():
    with pytest.raises(ValueError, match=r"^range\(\) arg 3 must not be zero$"):
        FastBucketAllocator(0)


def test_zero_step_without_buckets_never_divides_by_zero():
    class NoBuckets(FastBucketAllocator):
        def _init_buckets(self):
            pass

    a = NoBuckets(bucket_size_step=0)
    assert a.add_to_bucket(0, 8) is False
    assert a.remove_from_bucket(8) is None
    assert a.find_best_fit_bucket(8, 8) is None


@pytest.mark.parametrize("step, small, medium, size, offset", [
    (INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX),  # sums of two int32 maxima
    (2 ** 30, 0, INT32_MAX, 2 ** 30, INT32_MAX - 5),
    (INT32_MIN, -1, -1, -1, 0),  # a negative step with keys below zero: nothing is bucketed
])
def test_extreme_parameters_use_exact_arithmetic(step, small, medium, size, offset):
    a, m = FastBucketAllocator(step, small, medium), ref.BucketAllocator(step, small, medium)
    assert a.add_to_bucket(offset, size) is m.add_to_bucket(offset, size)
    for s in (size, INT32_MAX, INT32_MAX - 1, 2 ** 30 + 1, 1):
        for align in (1, 2 ** 30, INT32_MIN, 0):
            assert a.find_best_fit_bucket(s, align) == m.find_best_fit_bucket(s, align)
    assert a.remove_from_bucket(size) == m.remove_from_bucket(size)


# ----------------------------------------------------------------------------------------------
# Random operation sequences against the model.

def small_allocator_params():
    preset = st.sampled_from([(8, 256, 4096), (16, 64, 128), (1, 10, 40), (3, 7, 50), (-8, 100, 50),
                              (8, 300, 100), (7, -30, 90), (-4, -20, -60), (2 ** 30, 0, INT32_MAX)])
    drawn = st.tuples(st.integers(-16, 64).filter(bool), st.integers(-200, 400), st.integers(-200, 900))
    return st.one_of(preset, drawn).filter(lambda p: len(ref.bucket_keys(*p)) <= 2000)


sizes = st.one_of(st.integers(-20, 1000), st.sampled_from([INT32_MIN, INT32_MAX, 4096, 4097, 2 ** 30]))
alignments = st.one_of(st.sampled_from([1, 2, 4, 8, 16, 64, 4096]), int32s)
offsets = st.one_of(st.integers(0, 10 ** 6), int32s)
operations = st.lists(st.one_of(
    st.tuples(st.just("add"), offsets, sizes),
    st.tuples(st.just("remove"), sizes),
    st.tuples(st.just("fit"), sizes, alignments),
    st.tuples(st.just("init")),
), max_size=80)


@settings(max_examples=120, deadline=None)
@given(small_allocator_params(), operations)
def test_allocator_matches_model(params, sequence):
    a, m = FastBucketAllocator(*params), ref.BucketAllocator(*params)
    for op in sequence:
        if op[0] == "add":
            assert a.add_to_bucket(op[1], op[2]) is m.add_to_bucket(op[1], op[2])
        elif op[0] == "remove":
            assert a.remove_from_bucket(op[1]) == m.remove_from_bucket(op[1])
        elif op[0] == "fit":
            assert a.find_best_fit_bucket(op[1], op[2]) == m.find_best_fit_bucket(op[1], op[2])
        else:
            assert a._init_buckets() is None
            m._init_buckets()
    for k in sorted(m.bucketed_free_lists):  # drain: every remaining block comes back in model order
        while m.bucketed_free_lists[k]:
            assert a.remove_from_bucket(k) == m.remove_from_bucket(k)
        assert a.remove_from_bucket(k) is None


# ----------------------------------------------------------------------------------------------
# Conversions and interface.

@pytest.mark.parametrize("call", [
    lambda a: a.add_to_bucket(2 ** 31, 8), lambda a: a.add_to_bucket(0, -(2 ** 31) - 1),
    lambda a: a.remove_from_bucket(2 ** 40), lambda a: a.find_best_fit_bucket(8, 2 ** 31),
    lambda a: FastBucketAllocator(2 ** 31), lambda a: FastBucketAllocator(medium_block_max=-(2 ** 31) - 1),
])
def test_allocator_int32_range(call):
    with pytest.raises(OverflowError, match=r"^value too large to convert to int32_t$"):
        call(FastBucketAllocator())


def test_allocator_arguments():
    a = FastBucketAllocator(medium_block_max=512.9, bucket_size_step=16.2)
    assert a.add_to_bucket(offset=7.9, size=512) is True and a.remove_from_bucket(size=500) == 7
    assert a.add_to_bucket(1, 528) is False
    with pytest.raises(TypeError, match=r"^an integer is required$"):
        a.add_to_bucket("1", 64)
    with pytest.raises(TypeError, match=r"takes at most 3 positional arguments \(4 given\)$"):
        FastBucketAllocator(8, 256, 4096, 1)
    with pytest.raises(TypeError, match=r"^find_best_fit_bucket\(\) takes exactly 2 positional arguments \(1 given\)$"):
        a.find_best_fit_bucket(8)


@pytest.mark.parametrize("cls, method, doc", [
    (FastBucketAllocator, "_init_buckets", "Initialize size-class buckets."),
    (FastBucketAllocator, "add_to_bucket", "Add block to appropriate bucket."),
    (FastBucketAllocator, "remove_from_bucket", "Remove block from appropriate bucket."),
    (FastBucketAllocator, "find_best_fit_bucket", "Find best fit bucket for allocation."),
    (FastStatsCollector, "py_record_allocation", "Record allocation statistics (Python interface)."),
    (FastStatsCollector, "py_record_deallocation", "Record deallocation statistics (Python interface)."),
    (FastStatsCollector, "get_stats", "Get statistics dictionary."),
    (FastStatsCollector, "reset_stats", "Reset all statistics."),
])
def test_method_docstrings(cls, method, doc):
    assert getattr(cls, method).__doc__ == doc


@pytest.mark.parametrize("make", [FastBucketAllocator, FastStatsCollector])
@pytest.mark.parametrize("action", [pickle.dumps, copy.copy, lambda o: o.__reduce__()])
def test_pickling_is_refused(make, action):
    with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
        action(make())


@pytest.mark.parametrize("make, names", [
    (FastBucketAllocator, ["bucketed_free_lists", "lock", "bucket_size_step", "small_block_max"]),
    (FastStatsCollector, ["stats", "lock", "total_allocations"]),
])
def test_fields_are_not_python_attributes(make, names):
    obj = make()
    assert [n for n in names if hasattr(obj, n)] == []


# ----------------------------------------------------------------------------------------------
# Statistics collector.

def test_stats_example():
    s = FastStatsCollector()
    assert s.py_record_allocation(64, 0, True) is None
    s.py_record_allocation(64, 8, False)
    s.py_record_allocation(32, 0, False)
    assert s.py_record_deallocation() is None
    assert s.get_stats() == {
        "total_allocations": 3, "total_deallocations": 1, "bucketed_allocations": 1,
        "fallback_allocations": 2, "bucketed_allocation_ratio": "33.3%", "alignment_padding_bytes": 8,
    }
    assert list(s.get_stats()) == ["total_allocations", "total_deallocations", "bucketed_allocations",
                                   "fallback_allocations", "bucketed_allocation_ratio",
                                   "alignment_padding_bytes"]
    assert s.reset_stats() is None
    assert s.get_stats() == ref.StatsCollector().get_stats()
    assert s.get_stats()["bucketed_allocation_ratio"] == "0.0%"


def test_padding_is_added_modulo_two_to_the_64():
    s = FastStatsCollector()
    s.py_record_allocation(0, -8, 1)
    assert s.get_stats()["alignment_padding_bytes"] == 2 ** 64 - 8
    s.py_record_allocation(0, 8, [])
    assert s.get_stats()["alignment_padding_bytes"] == 0
    s.py_record_allocation(0, INT32_MIN, 0)
    assert s.get_stats()["alignment_padding_bytes"] == 2 ** 64 - 2 ** 31


class Truthy:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if self.value is None:
            raise RuntimeError("no truth")
        return self.value


@settings(max_examples=100)
@given(st.lists(st.one_of(
    st.tuples(int32s, int32s, st.one_of(st.booleans(), st.integers(-2, 2), st.text(max_size=1))),
    st.just("free"), st.just("reset"),
), max_size=40))
def test_stats_match_model(events):
    s, m = FastStatsCollector(), ref.StatsCollector()
    for e in events:
        if e == "free":
            s.py_record_deallocation()
            m.py_record_deallocation()
        elif e == "reset":
            s.reset_stats()
            m.reset_stats()
        else:
            s.py_record_allocation(*e)
            m.py_record_allocation(*e)
        assert s.get_stats() == m.get_stats()


def test_stats_conversions_fail_before_counting():
    s = FastStatsCollector()
    for call in (lambda: s.py_record_allocation(2 ** 31, 0, True),
                 lambda: s.py_record_allocation(0, -(2 ** 31) - 1, True)):
        with pytest.raises(OverflowError, match=r"^value too large to convert to int$"):
            call()
    with pytest.raises(RuntimeError, match="no truth"):
        s.py_record_allocation(0, 5, Truthy(None))
    s.py_record_allocation(1.5, 2.5, Truthy(True))
    assert s.get_stats() == {**ref.StatsCollector().get_stats(), "total_allocations": 1, "bucketed_allocations": 1,
                             "bucketed_allocation_ratio": "100.0%", "alignment_padding_bytes": 2}
    with pytest.raises(TypeError, match=r"^FastStatsCollector\(\) takes no arguments \(1 given\)$"):
        FastStatsCollector(1)
    with pytest.raises(TypeError, match=r"^py_record_deallocation\(\) takes no arguments \(1 given\)$"):
        s.py_record_deallocation(1)


def test_get_stats_returns_a_new_dict():
    s = FastStatsCollector()
    d = s.get_stats()
    d["total_allocations"] = 99
    assert s.get_stats()["total_allocations"] == 0 and s.get_stats() is not s.get_stats()


# ----------------------------------------------------------------------------------------------
# Threads (bounded: fixed work per thread, joined with a timeout).

def run_threads(target, count):
    barrier = threading.Barrier(count)
    errors = []

    def body(i):
        try:
            barrier.wait(timeout=10)
            target(i)
        except BaseException as e:  # surfaced below
            errors.append(e)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=30)
    assert not any(t.is_alive() for t in threads) and errors == []


def test_concurrent_buckets_lose_and_duplicate_nothing():
    a = FastBucketAllocator()
    per_thread, taken = 300, [[] for _ in range(4)]

    def work(i):
        for n in range(per_thread):
            assert a.add_to_bucket(i * 10 ** 6 + n * 64, 64)
            if n % 3 == 0:
                got = a.find_best_fit_bucket(60, 64)
                if got is not None:
                    taken[i].append(got)
            if n % 5 == 0:
                got = a.remove_from_bucket(64)
                if got is not None:
                    taken[i].append(got)

    run_threads(work, 4)
    rest = []
    while True:
        got = a.remove_from_bucket(64)
        if got is None:
            break
        rest.append(got)
    everything = sorted(sum(taken, []) + rest)
    assert everything == sorted(i * 10 ** 6 + n * 64 for i in range(4) for n in range(per_thread))


def test_concurrent_statistics_are_consistent():
    s = FastStatsCollector()
    snapshots = []

    def work(i):
        for n in range(500):
            s.py_record_allocation(n, 1, n % 2 == 0)
            if n % 4 == 0:
                s.py_record_deallocation()
            if n % 50 == 0:
                snapshots.append(s.get_stats())

    run_threads(work, 4)
    final = s.get_stats()
    assert final["total_allocations"] == 2000 and final["total_deallocations"] == 500
    assert final["bucketed_allocations"] == final["fallback_allocations"] == 1000
    assert final["alignment_padding_bytes"] == 2000 and final["bucketed_allocation_ratio"] == "50.0%"
    for snap in snapshots:
        assert snap["total_allocations"] == snap["bucketed_allocations"] + snap["fallback_allocations"]
        assert snap["alignment_padding_bytes"] == snap["total_allocations"]
