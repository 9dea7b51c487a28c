"""TelemetryStore: per-function counters, snapshots, input checks and thread safety."""

import math
import threading

import pytest
from hypothesis import given, settings, strategies as st

from velmora.jit.telemetry_store import FunctionTelemetry, TelemetryStore

FIELDS = ("call_count", "compile_count", "avg_speedup", "total_execution_time_ms", "last_compiled")


def test_unknown_function_reads_as_zeroed_record():
    store = TelemetryStore()
    record = store.get_metrics("never-seen")
    assert tuple(getattr(record, f) for f in FIELDS) == (0, 0, 1.0, 0.0, 0.0)
    store.record_call("other")
    assert store.get_metrics("never-seen") == record


events = st.lists(st.one_of(
    st.tuples(st.just("call"), st.floats(0.0, 1e6)),
    st.tuples(st.just("compile"), st.floats(1e-3, 100.0)),
), max_size=30)


@settings(max_examples=100, deadline=None)
@given(events)
def test_counters_match_reference(history):
    now = [0.0]
    store = TelemetryStore(clock=lambda: now[0])
    calls, total, speedups, last = 0, 0.0, [], 0.0
    for step, (kind, value) in enumerate(history):
        now[0] = 1000.0 + step
        if kind == "call":
            store.record_call("f", execution_time_ms=value)
            calls, total = calls + 1, total + value
        else:
            store.record_compile("f", value)
            speedups.append(value)
            last = now[0]
    expected = FunctionTelemetry(calls, len(speedups), sum(speedups) / len(speedups) if speedups else 1.0,
                                 total, last)
    got = store.get_metrics("f")
    assert got[:2] == expected[:2] and got.total_execution_time_ms == expected.total_execution_time_ms
    assert got.last_compiled == expected.last_compiled
    assert math.isclose(got.avg_speedup, expected.avg_speedup, rel_tol=1e-12)


@pytest.mark.parametrize("method, value", [
    ("record_call", -1.0), ("record_call", math.nan), ("record_call", math.inf),
    ("record_compile", 0.0), ("record_compile", -2.0), ("record_compile", math.nan),
    ("record_compile", math.inf),
])
def test_invalid_measurements_are_refused_and_change_nothing(method, value):
    store = TelemetryStore()
    store.record_call("f", 5.0)
    before = store.get_metrics("f")
    with pytest.raises(ValueError):
        getattr(store, method)("f", value)
    assert store.get_metrics("f") == before


def test_snapshot_does_not_move_and_clear_forgets():
    store = TelemetryStore(clock=lambda: 42.0)
    store.record_call("f", 1.5)
    snapshot = store.get_metrics("f")
    store.record_call("f", 1.5)
    store.record_compile("f", 2.0)
    assert (snapshot.call_count, snapshot.compile_count) == (1, 0)
    assert store.get_metrics("f") == FunctionTelemetry(2, 1, 2.0, 3.0, 42.0)
    store.clear()
    assert store.get_metrics("f") == FunctionTelemetry()


def test_concurrent_recording_loses_nothing():
    store, threads_n, rounds = TelemetryStore(), 8, 500
    barrier = threading.Barrier(threads_n, timeout=30)

    def worker():
        barrier.wait()
        for i in range(rounds):
            store.record_call("f", execution_time_ms=0.5)
            if i % 50 == 0:
                store.record_compile("f", 4.0)

    threads = [threading.Thread(target=worker, daemon=True) for _ in range(threads_n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not any(t.is_alive() for t in threads)
    record = store.get_metrics("f")
    assert (record.call_count, record.compile_count) == (threads_n * rounds, threads_n * rounds // 50)
    assert record.total_execution_time_ms == 0.5 * threads_n * rounds and record.avg_speedup == 4.0


@pytest.mark.parametrize("count, total_ms", [(0, 0.0), (1, 2.5), (250, 1000.0)])
def test_bulk_calls_equal_the_same_calls_one_by_one(count, total_ms):
    bulk, single = TelemetryStore(), TelemetryStore()
    bulk.record_call("f", 1.0)
    single.record_call("f", 1.0)
    bulk.record_calls("f", count, total_ms)
    for _ in range(count):
        single.record_call("f", total_ms / count)
    got, expected = bulk.get_metrics("f"), single.get_metrics("f")
    assert got.call_count == expected.call_count == count + 1
    assert math.isclose(got.total_execution_time_ms, expected.total_execution_time_ms, rel_tol=1e-9)


@pytest.mark.parametrize("count, total_ms, error", [
    (-1, 0.0, ValueError), (2, -1.0, ValueError), (2, math.nan, ValueError), (1.5, 0.0, TypeError),
])
def test_bulk_calls_refuse_bad_counts_and_change_nothing(count, total_ms, error):
    store = TelemetryStore()
    store.record_calls("f", 3, 1.0)
    before = store.get_metrics("f")
    with pytest.raises(error):
        store.record_calls("f", count, total_ms)
    assert store.get_metrics("f") == before
