"""CompileGate: config handling, compile decisions, threshold learning arithmetic, statistics, singleton."""

import gc
import logging
import math
import os
import subprocess
import sys
import threading
import time
import types
import typing
import weakref

import pytest
from hypothesis import given, settings, strategies as st

from velmora.jit import compilegate as cg
from velmora.jit.telemetry_store import TelemetryStore

from reference import compilegate as ref

LOGGER = "velmora.jit.compilegate"


# ---- helpers ---------------------------------------------------------------------------------------

class Clock:
    """Stands in for the `time` module: the engine calls `.time()` on the module attribute."""

    def __init__(self, now=1_000_000.0, log=None):
        self.now, self.log = now, log

    def time(self):
        if self.log is not None:
            self.log.append("time")
        return self.now


class Store:
    """A store handing out fixed records; optionally logs each get_metrics call."""

    def __init__(self, records=None, log=None, **named):
        self.records, self.log = dict(records or {}, **named), log

    def get_metrics(self, *args, **kwargs):
        if self.log is not None:
            self.log.append(("get_metrics", args, kwargs))
        return self.records[args[0]]


def finishes(fn, timeout=5.0):
    """Runs fn in a thread; True when it returned in time (a leaked lock would hang it)."""
    done = threading.Event()
    threading.Thread(target=lambda: (fn(), done.set()), daemon=True).start()
    return done.wait(timeout)


@pytest.fixture
def clock(monkeypatch):
    fake = Clock()
    monkeypatch.setattr(cg, "time", fake)
    return fake


def learned(gate, func_id, compile_count, avg_speedup):
    gate.update(func_id, Store({func_id: cg.FunctionMetrics(compile_count=compile_count, avg_speedup=avg_speedup)}))
    return gate.get_threshold(func_id)


# ---- module ------------------------------------------------------------------------------------------

def test_module_attributes():
    assert cg.logger is logging.getLogger(LOGGER)
    assert isinstance(cg._policy_lock, type(threading.Lock()))
    assert cg.time.__name__ == "time" and cg.logging is logging and cg.threading is threading
    assert cg.Dict is typing.Dict and cg.Optional is typing.Optional
    assert not hasattr(cg, "_global_policy")
    assert cg.__doc__ and "Reduces compilation attempts while maximizing benefit." in cg.__doc__
    assert cg.CompileGate.__doc__.startswith("Adaptive JIT threshold policy.")


def test_import_logs_banner():
    code = ("import logging; logging.basicConfig(level=logging.INFO, format='%(name)s|%(levelname)s|%(message)s');"
            "import velmora.jit.compilegate")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env)
    lines = [line for line in out.stderr.splitlines() if line.startswith(LOGGER + "|INFO|")]
    assert len(lines) == 1 and "Velmora" in lines[0], out.stderr


# ---- construction and config -------------------------------------------------------------------------

def test_config_handling():
    default = cg.CompileGate()
    assert type(default.config) is cg.PolicyConfig and default.config.initial_threshold == 100
    given_cfg = cg.PolicyConfig(initial_threshold=20)
    assert cg.CompileGate(given_cfg).config is given_cfg
    sub = type("Sub", (cg.PolicyConfig,), {})()
    assert cg.CompileGate(config=sub).config is sub
    with pytest.raises(AttributeError):
        default.config = given_cfg


def test_foreign_config_read_in_order_with_defaults():
    seen = []

    class Foreign:
        def __getattr__(self, name):
            seen.append(name)
            if name == "max_threshold":
                return 500.9
            raise AttributeError(name)

    gate = cg.CompileGate(Foreign())
    assert seen == ["initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup"]
    cfg = gate.config
    assert type(cfg) is cg.PolicyConfig
    assert (cfg.initial_threshold, cfg.min_threshold, cfg.max_threshold) == (100, 10, 500)
    assert (cfg.learning_rate, cfg.target_speedup) == (0.1, 2.0)


@pytest.mark.parametrize("foreign, exc", [
    (types.SimpleNamespace(min_threshold=0), ValueError),
    (types.SimpleNamespace(learning_rate="x"), TypeError),
    (types.SimpleNamespace(initial_threshold=2**40), OverflowError),
])
def test_foreign_config_errors_propagate(foreign, exc):
    with pytest.raises(exc):
        cg.CompileGate(foreign)


@pytest.mark.parametrize("func_id, got", [(123, "int"), (b"f", "bytes"), (1.5, "float"),
                                          (type("S", (str,), {})("f"), "S")])
def test_func_id_must_be_str_or_none(func_id, got):
    gate, store = cg.CompileGate(), Store(f=cg.FunctionMetrics())
    message = f"Argument 'func_id' has incorrect type (expected str, got {got})"
    for call in (lambda: gate.get_threshold(func_id), lambda: gate.should_compile(func_id, store),
                 lambda: gate.update(func_id, store)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    assert gate.get_threshold(None) == 100


# ---- should_compile ----------------------------------------------------------------------------------

@pytest.mark.parametrize("calls, compiles, ago, expected", [
    (99, 0, None, False), (100, 0, None, True), (100, 1, 300.0, False), (100, 1, 599.999, False),
    (100, 1, 600.0, True), (100, 1, 10_000.0, True), (5000, 3, -50.0, False), (99, 7, 10_000.0, False),
])
def test_should_compile_cases(clock, calls, compiles, ago, expected):
    last = clock.now - ago if ago is not None else 0.0
    store = Store(f=cg.FunctionMetrics(call_count=calls, compile_count=compiles, last_compiled=last))
    assert cg.CompileGate().should_compile("f", store) is expected


def test_should_compile_record_without_last_compiled(clock):
    record = types.SimpleNamespace(call_count=100, compile_count=1)
    assert cg.CompileGate().should_compile("f", Store(f=record)) is True
    clock.now = 599.0
    assert cg.CompileGate().should_compile("f", Store(f=record)) is False


def test_should_compile_reads_clock_first_and_calls_store_positionally(monkeypatch):
    log = []
    monkeypatch.setattr(cg, "time", Clock(log=log))
    store = Store(log=log, g=cg.FunctionMetrics(call_count=1))
    assert cg.CompileGate().should_compile(telemetry_store=store, func_id="g") is False
    assert log == ["time", ("get_metrics", ("g",), {})]


@pytest.mark.parametrize("patched", [False, True], ids=["module's own clock", "patched time.time"])
def test_should_compile_reads_the_time_module_as_it_is_at_the_call(monkeypatch, patched):
    # Unpatched, the decision sees the wall clock; a function patched onto the time module itself
    # (not just the module's global) is what the next decision calls.
    gate = cg.CompileGate()
    record = cg.FunctionMetrics(call_count=100, compile_count=1)
    record.last_compiled = time.time() - 300.0
    assert gate.should_compile("f", Store(f=record)) is False  # compiled 300 s ago: in cooldown
    if patched:
        monkeypatch.setattr(time, "time", lambda: record.last_compiled + 600.0)
        assert gate.should_compile("f", Store(f=record)) is True
        monkeypatch.setattr(time, "time", lambda: 1 / 0)
        with pytest.raises(ZeroDivisionError):
            gate.should_compile("f", Store(f=record))
    else:
        record.last_compiled = time.time() - 600.5
        assert gate.should_compile("f", Store(f=record)) is True


@settings(max_examples=200, deadline=None)
@given(st.integers(1, 2**31 - 1), st.integers(0, 2**64 - 1), st.integers(0, 2**32 - 1),
       st.floats(-1e9, 1e9), st.floats(-1e9, 1e9))
def test_should_compile_matches_reference(threshold, calls, compiles, last, now):
    cg_time = cg.time
    try:
        cg.time = Clock(now)
        gate = cg.CompileGate(cg.PolicyConfig(threshold, 1, 2**31 - 1))
        record = cg.FunctionMetrics(call_count=calls, compile_count=compiles, last_compiled=last)
        record.last_compiled = last  # the constructor ignores a negative last_compiled
        assert gate.should_compile("f", Store(f=record)) is ref.compile_decision(now, threshold, calls, compiles, last)
    finally:
        cg.time = cg_time


def test_should_compile_with_non_positive_threshold_written_later(clock):
    cfg = cg.PolicyConfig()
    cfg.initial_threshold = -5
    assert cg.CompileGate(cfg).should_compile("f", Store(f=cg.FunctionMetrics())) is True


@pytest.mark.parametrize("record, exc, message", [
    (None, AttributeError, None),
    (types.SimpleNamespace(call_count=-1, compile_count=0), OverflowError, "can't convert negative value to uint64_t"),
    (types.SimpleNamespace(call_count=200, compile_count=-1), OverflowError,
     "can't convert negative value to uint32_t"),
    (types.SimpleNamespace(call_count=200, compile_count=2**32), OverflowError,
     "value too large to convert to uint32_t"),
    (types.SimpleNamespace(call_count=200, compile_count=1, last_compiled="x"), TypeError, None),
    (types.SimpleNamespace(call_count="x", compile_count=1), TypeError, "an integer is required"),
])
def test_should_compile_errors_propagate_and_release_lock(clock, record, exc, message):
    gate = cg.CompileGate()
    with pytest.raises(exc) as info:
        gate.should_compile("f", Store(f=record))
    if message:
        assert str(info.value) == message
    assert finishes(lambda: gate.get_threshold("f"))


# ---- update ------------------------------------------------------------------------------------------

@pytest.mark.parametrize("cfg, compiles, speedup, expected", [
    ({}, 1, 3.0, 91), ({}, 1, 1.0, 109), ({}, 1, 2.0, 109), ({}, 5, 3.0, 95), ({}, 10, 3.0, 100),
    ({}, 11, 0.5, 100), ({}, 2**32 - 1, 0.5, 100), (dict(initial_threshold=15), 1, 1.0, 16),
    (dict(initial_threshold=10), 1, 3.0, 10), (dict(initial_threshold=10000), 1, 1.0, 10000),
])
def test_update_cases(cfg, compiles, speedup, expected):
    assert learned(cg.CompileGate(cg.PolicyConfig(**cfg)), "f", compiles, speedup) == expected


def test_update_logs_one_debug_line(caplog, monkeypatch):
    gate = cg.CompileGate()
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        learned(gate, "f", 1, 3.0)
        learned(gate, "g", 10, 3.0)
        learned(gate, None, 1, 1.0)
    assert [r.getMessage() for r in caplog.records if r.name == LOGGER] == [
        "Updated threshold for f: 100 -> 91 (speedup: 3.00x)",
        "Updated threshold for g: 100 -> 100 (speedup: 3.00x)",
        "Updated threshold for None: 100 -> 109 (speedup: 1.00x)"]
    calls = []
    monkeypatch.setattr(cg.logger, "debug", lambda *a, **k: calls.append((a, k)))
    learned(gate, "h", 1, 1.23456)
    learned(gate, "h", 2, float("inf"))
    assert calls == [(("Updated threshold for h: 100 -> 109 (speedup: 1.23x)",), {}),
                     (("Updated threshold for h: 109 -> 100 (speedup: infx)",), {})]


@pytest.mark.parametrize("compiles", [0, 0.0, False])
def test_update_without_compilation_changes_nothing(caplog, compiles):
    gate = cg.CompileGate()
    record = types.SimpleNamespace(compile_count=compiles)  # nothing else is read
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        assert gate.update("f", Store(f=record)) is None
    assert not caplog.records
    assert gate.get_statistics()["tracked_functions"] == 0


def test_update_target_speedup_written_to_zero_uses_raw_speedup():
    cfg = cg.PolicyConfig()
    cfg.target_speedup = 0
    assert learned(cg.CompileGate(cfg), "f", 1, 1.5) == 91  # ratio 1.5 itself: lower
    cfg.target_speedup = -3.0
    assert learned(cg.CompileGate(cfg), "f", 1, 0.5) == 109


@pytest.mark.parametrize("rate, speedup, expected", [
    (math.nan, 3.0, 100), (math.inf, 1.0, 10000), (math.inf, 3.0, 10), (1e308, 1.0, 10000)])
def test_update_non_finite_arithmetic_stays_in_bounds(rate, speedup, expected):
    cfg = cg.PolicyConfig()
    cfg.learning_rate = rate
    assert learned(cg.CompileGate(cfg), "f", 1, speedup) == expected


@pytest.mark.parametrize("record, exc", [
    (None, AttributeError),
    (types.SimpleNamespace(compile_count=1, avg_speedup="x"), TypeError),
    (types.SimpleNamespace(compile_count=-1, avg_speedup=3.0), OverflowError),
    (types.SimpleNamespace(compile_count=1), AttributeError),
])
def test_update_failure_leaves_thresholds(record, exc):
    gate = cg.CompileGate()
    learned(gate, "f", 1, 3.0)
    with pytest.raises(exc):
        gate.update("f", Store(f=record))
    assert gate.get_threshold("f") == 91 and finishes(lambda: gate.get_statistics())


@settings(max_examples=300, deadline=None)
@given(low=st.integers(1, 5000), span=st.integers(1, 2**31 - 6000), rate=st.floats(1e-6, 1.0),
       target=st.floats(-2.0, 8.0), steps=st.lists(
           st.tuples(st.integers(0, 14), st.floats(0.0, 10.0) | st.sampled_from([math.nan, math.inf])),
           min_size=1, max_size=5),
       where=st.floats(0.0, 1.0))
def test_update_matches_reference(low, span, rate, target, steps, where):
    high = low + span
    initial = low + int(span * where)
    cfg = cg.PolicyConfig(initial, low, high, rate, 2.0)
    cfg.target_speedup = target
    gate, expected = cg.CompileGate(cfg), initial
    for compiles, speedup in steps:
        got = learned(gate, "f", compiles, speedup)
        if compiles:
            expected = ref.next_threshold(expected, compiles, speedup, target, rate, low, high)
        assert got == expected and type(got) is int


def test_update_clamps_with_bounds_written_inverted():
    cfg = cg.PolicyConfig()
    cfg.min_threshold, cfg.max_threshold = 500, 50
    assert learned(cg.CompileGate(cfg), "f", 1, 1.0) == 500


# ---- statistics and singleton ------------------------------------------------------------------------

def test_statistics():
    gate = cg.CompileGate()
    empty = gate.get_statistics()
    assert list(empty.items()) == [("tracked_functions", 0), ("avg_threshold", 100),
                                   ("min_threshold", 10), ("max_threshold", 10000)]
    assert type(empty["avg_threshold"]) is int and gate.get_statistics() is not empty
    learned(gate, "a", 1, 3.0)
    learned(gate, "b", 1, 1.0)
    stats = gate.get_statistics()
    assert list(stats.items()) == [("tracked_functions", 2), ("avg_threshold", 100.0),
                                   ("min_threshold", 91), ("max_threshold", 109)]
    assert type(stats["avg_threshold"]) is float
    learned(gate, "c", 1, 1.0)
    assert gate.get_statistics()["avg_threshold"] == (91 + 109 + 109) / 3


def test_singleton():
    cg.reset_compilegate()
    first = cg.get_compilegate()
    assert cg.get_compilegate() is first and type(first) is cg.CompileGate
    assert cg.reset_compilegate() is None
    second = cg.get_compilegate()
    assert second is not first and second.config.initial_threshold == 100
    assert first.get_threshold("x") == 100


def test_engine_is_collected_through_a_cycle():
    class Cfg(cg.PolicyConfig):
        pass

    cfg = Cfg()
    cfg.gate = cg.CompileGate(cfg)
    assert gc.is_tracked(cfg.gate)
    ref = weakref.ref(cfg)
    del cfg
    gc.collect()
    assert ref() is None


def test_subclassed_engine():
    class Gate(cg.CompileGate):
        def twice(self, func_id):
            return 2 * self.get_threshold(func_id)

    assert Gate(config=None).twice("f") == 200


# ---- a full cycle with the real store ------------------------------------------------------------------

def test_full_cycle_with_telemetry_store(clock):
    store, gate = TelemetryStore(clock=clock.time), cg.CompileGate()
    for _ in range(99):
        store.record_call("f", execution_time_ms=2.0)
    assert gate.should_compile("f", store) is False
    store.record_call("f", execution_time_ms=2.0)
    assert gate.should_compile("f", store) is True
    store.record_compile("f", 3.0)
    gate.update("f", store)
    assert gate.get_threshold("f") == 91
    assert gate.should_compile("f", store) is False          # compiled just now
    clock.now += 599.5
    assert gate.should_compile("f", store) is False
    clock.now += 0.5
    assert gate.should_compile("f", store) is True            # exactly 600 s later
    store.record_compile("f", 1.0)                            # mean speed-up 2.0: ratio exactly 1
    gate.update("f", store)
    assert gate.get_threshold("f") == ref.next_threshold(91, 2, 2.0, 2.0, 0.1, 10, 10000) > 91
    assert gate.should_compile("unknown", store) is False
    gate.update("unknown", store)                             # zeroed record: no change
    assert gate.get_statistics()["tracked_functions"] == 1


def test_statistics_count_the_values_they_convert_when_values_are_planted():
    gate = cg.CompileGate()
    learned(gate, "a", 1, 3.0)  # 91
    thresholds = next(o for o in gc.get_referents(gate) if type(o) is dict)

    class Refilling:
        """Refills the dict from inside the conversion: the walk has already taken its values."""
        def __int__(self):
            thresholds.clear()
            thresholds.update({"x%d" % i: 5 for i in range(100)})
            return 7

    thresholds["b"], thresholds["c"] = Refilling(), 2**40
    assert gate.get_statistics() == {"tracked_functions": 3, "avg_threshold": (91 + 7 + 2**40) / 3,
                                     "min_threshold": 7, "max_threshold": 2**40}
    assert gate.get_statistics() == {"tracked_functions": 100, "avg_threshold": 5.0,
                                     "min_threshold": 5, "max_threshold": 5}
