"""PolicyConfig / FunctionMetrics: conversion, validation order, attributes, factories, pickling."""

import math
import pickle

import pytest
from hypothesis import given, settings, strategies as st

from velmora.jit import compilegate as cg

from reference import compilegate as ref

DEFAULTS = dict(initial_threshold=100, min_threshold=10, max_threshold=10000,
                learning_rate=0.1, target_speedup=2.0)
CONFIG_FIELDS = list(DEFAULTS)
METRIC_FIELDS = ["call_count", "compile_count", "avg_speedup", "total_execution_time_ms",
                 "last_compiled", "last_compile_time"]


def read(obj, names):
    return [getattr(obj, n) for n in names]


class IntSub(int):
    pass


class OnlyIndex:
    def __index__(self):
        return 5


def test_defaults_of_classes_and_factories():
    for cfg in (cg.PolicyConfig(), cg.create_policy_config()):
        assert read(cfg, CONFIG_FIELDS) == list(DEFAULTS.values())
        assert type(cfg.initial_threshold) is int and type(cfg.learning_rate) is float
    for m in (cg.FunctionMetrics(), cg.create_function_metrics()):
        assert read(m, METRIC_FIELDS) == [0, 0, 1.0, 0.0, 0.0, 0.0]
    assert cg.create_policy_config.__defaults__ == (100, 10, 10000, 0.1, 2.0)
    assert cg.create_function_metrics.__defaults__ == (0, 0, 1.0, 0.0, 0.0)


@pytest.mark.parametrize("kwargs, message", [
    (dict(min_threshold=10, max_threshold=10), "max_threshold must be greater than min_threshold"),
    (dict(initial_threshold=5), "initial_threshold must be within bounds"),
    (dict(initial_threshold=10001), "initial_threshold must be within bounds"),
    (dict(learning_rate=0.0), "learning_rate must be in (0, 1]"),
    (dict(learning_rate=1.5), "learning_rate must be in (0, 1]"),
    (dict(learning_rate=math.nan), "learning_rate must be in (0, 1]"),
    (dict(target_speedup=0.0), "target_speedup must be positive"),
    (dict(target_speedup=-1.0), "target_speedup must be positive"),
    (dict(min_threshold=0, learning_rate=5.0), "min_threshold must be positive"),
    (dict(min_threshold=-3, max_threshold=-5, target_speedup=0), "min_threshold must be positive"),
    (dict(max_threshold=9, learning_rate=0.0), "max_threshold must be greater than min_threshold"),
])
def test_config_rejections_report_the_first_rule(kwargs, message):
    for make in (cg.PolicyConfig, cg.create_policy_config):
        with pytest.raises(ValueError) as info:
            make(**kwargs)
        assert str(info.value) == message


@pytest.mark.parametrize("kwargs", [dict(initial_threshold=10), dict(initial_threshold=10000),
                                    dict(learning_rate=1.0), dict(target_speedup=math.nan),
                                    dict(target_speedup=math.inf)])
def test_config_boundaries_accepted(kwargs):
    cfg = cg.PolicyConfig(**kwargs)
    for name, value in kwargs.items():
        got = getattr(cfg, name)
        assert got == value or (math.isnan(value) and math.isnan(got))


@settings(max_examples=150, deadline=None)
@given(st.integers(-50, 300), st.integers(-50, 300), st.integers(-50, 300),
       st.floats(-0.5, 1.5) | st.just(math.nan), st.floats(-2.0, 4.0))
def test_config_validation_matches_reference(initial, low, high, rate, target):
    expected = ref.config_error(initial, low, high, rate, target)
    args = (initial, low, high, rate, target)
    if expected is None:
        assert read(cg.PolicyConfig(*args), CONFIG_FIELDS) == list(args)
    else:
        with pytest.raises(ValueError, match=expected.replace("(", r"\(").replace("]", r"\]")):
            cg.PolicyConfig(*args)


@pytest.mark.parametrize("value, stored", [(50.9, 50), (True, 1), (IntSub(77), 77), (99.99, 99)])
def test_config_thresholds_convert_by_truncation(value, stored):
    cfg = cg.PolicyConfig(initial_threshold=value, min_threshold=1)
    assert cfg.initial_threshold == stored and type(cfg.initial_threshold) is int


@pytest.mark.parametrize("value, exc, message", [
    (2**31, OverflowError, "value too large to convert to int"),
    (-2**31 - 1, OverflowError, "value too large to convert to int"),
    (2**64, OverflowError, "value too large to convert to int"),
    (1e20, OverflowError, "value too large to convert to int"),
    ("5", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (OnlyIndex(), TypeError, "an integer is required"),
])
def test_config_threshold_conversion_errors(value, exc, message):
    for name in ("initial_threshold", "min_threshold", "max_threshold"):
        with pytest.raises(exc) as info:
            cg.PolicyConfig(**{name: value})
        assert str(info.value) == message
        cfg = cg.PolicyConfig()
        with pytest.raises(exc):
            setattr(cfg, name, value)
        assert read(cfg, CONFIG_FIELDS) == list(DEFAULTS.values())


def test_config_conversion_precedes_validation():
    # min_threshold=0 would fail validation, but the float argument fails conversion first.
    with pytest.raises(TypeError):
        cg.PolicyConfig(min_threshold=0, target_speedup="fast")


def test_config_attributes_write_without_validation_and_refuse_deletion():
    cfg = cg.PolicyConfig()
    cfg.min_threshold = -5
    cfg.max_threshold = 3.7
    cfg.learning_rate = 7
    cfg.target_speedup = 0
    assert read(cfg, CONFIG_FIELDS) == [100, -5, 3, 7.0, 0.0]
    assert type(cfg.learning_rate) is float
    for name in CONFIG_FIELDS:
        with pytest.raises(NotImplementedError, match="^__del__$"):
            delattr(cfg, name)


@pytest.mark.parametrize("name", ["initial_threshold", "min_threshold", "max_threshold"])
@pytest.mark.parametrize("value, got", [(50.9, "float"), (True, "bool"), (None, "NoneType"),
                                        ("7", "str"), (IntSub(50), "IntSub")])
def test_create_policy_config_requires_exact_int(name, value, got):
    with pytest.raises(TypeError) as info:
        cg.create_policy_config(**{name: value})
    text = str(info.value)
    expected = f"Argument '{name}' has incorrect type (expected int, got {got})"
    if got in ("IntSub", "bool"):  # subclasses of int get a further sentence
        assert text.startswith(expected) and len(text) > len(expected)
    else:
        assert text == expected


def test_create_policy_config_converts_floats_first_and_builds_by_keyword():
    with pytest.raises(TypeError) as info:
        cg.create_policy_config(initial_threshold=1.5, learning_rate="slow")
    assert not str(info.value).startswith("Argument")
    cfg = cg.create_policy_config(50, 20, 60, True, 3)
    assert read(cfg, CONFIG_FIELDS) == [50, 20, 60, 1.0, 3.0]
    assert type(cfg) is cg.PolicyConfig


@pytest.mark.parametrize("kwargs, stamp", [
    (dict(last_compile_time=5.0, last_compiled=7.0), 7.0),
    (dict(last_compile_time=5.0, last_compiled=-1.0), 5.0),
    (dict(last_compile_time=5.0, last_compiled=math.nan), 5.0),
    (dict(last_compile_time=5.0, last_compiled=0.0), 0.0),
    (dict(last_compile_time=5.0), 5.0),
    (dict(last_compiled=3), 3.0),
])
def test_metrics_single_timestamp(kwargs, stamp):
    m = cg.FunctionMetrics(**kwargs)
    assert m.last_compiled == m.last_compile_time == stamp


def test_metrics_negative_zero_timestamp_is_taken():
    m = cg.FunctionMetrics(last_compile_time=5.0, last_compiled=-0.0)
    assert m.last_compile_time == 0.0 and math.copysign(1.0, m.last_compiled) == -1.0


@settings(max_examples=100, deadline=None)
@given(st.floats(allow_nan=True), st.floats(allow_nan=True) | st.none())
def test_metrics_timestamp_rule_matches_reference(time_arg, compiled_arg):
    kwargs = {"last_compile_time": time_arg}
    if compiled_arg is not None:
        kwargs["last_compiled"] = compiled_arg
    expected = compiled_arg if compiled_arg is not None and compiled_arg >= 0 else time_arg
    m = cg.FunctionMetrics(**kwargs)
    if math.isnan(expected):
        assert math.isnan(m.last_compiled) and math.isnan(m.last_compile_time)
    else:
        assert m.last_compiled == expected and m.last_compile_time == expected


def test_metrics_attributes_share_the_timestamp_and_convert():
    m = cg.FunctionMetrics(1, 2, 3.0, 4.0, 5.0, 6.0)
    assert read(m, METRIC_FIELDS) == [1, 2, 3.0, 4.0, 6.0, 6.0]
    m.last_compile_time = 3.0
    assert m.last_compiled == 3.0
    m.last_compiled = 9
    assert m.last_compile_time == 9.0
    m.call_count, m.compile_count, m.avg_speedup = 2**64 - 1, 7.9, -2
    assert read(m, METRIC_FIELDS[:3]) == [2**64 - 1, 7, -2.0]
    for name in METRIC_FIELDS:
        with pytest.raises(NotImplementedError, match="^__del__$"):
            delattr(m, name)


@pytest.mark.parametrize("kwargs, message", [
    (dict(call_count=-1), "can't convert negative value to uint64_t"),
    (dict(call_count=-0.5 - 1), "can't convert negative value to uint64_t"),
    (dict(compile_count=-1), "can't convert negative value to uint32_t"),
    (dict(compile_count=2**32), "value too large to convert to uint32_t"),
    (dict(compile_count=2**70), "value too large to convert to uint32_t"),
])
def test_metrics_counter_ranges(kwargs, message):
    with pytest.raises(OverflowError) as info:
        cg.FunctionMetrics(**kwargs)
    assert str(info.value) == message
    m = cg.FunctionMetrics(call_count=4, compile_count=2)
    with pytest.raises(OverflowError):
        setattr(m, *next(iter(kwargs.items())))
    assert (m.call_count, m.compile_count) == (4, 2)


def test_metrics_counter_extremes_and_truncation():
    m = cg.FunctionMetrics(call_count=2**64 - 1, compile_count=2**32 - 1)
    assert (m.call_count, m.compile_count) == (2**64 - 1, 2**32 - 1)
    with pytest.raises(OverflowError):
        cg.FunctionMetrics(call_count=2**64)
    assert cg.FunctionMetrics(call_count=True, compile_count=2.9).call_count == 1
    assert cg.FunctionMetrics(call_count=-0.9).call_count == 0


def test_create_function_metrics_checks_ints_in_order():
    with pytest.raises(TypeError, match=r"^Argument 'call_count' has incorrect type \(expected int, got bool\)."):
        cg.create_function_metrics(call_count=True)
    with pytest.raises(TypeError, match="'call_count'"):
        cg.create_function_metrics(call_count=1.0, compile_count=1.0)
    with pytest.raises(TypeError, match="'compile_count'.*got float"):
        cg.create_function_metrics(compile_count=1.0)
    with pytest.raises(TypeError, match="unexpected keyword argument 'last_compiled'"):
        cg.create_function_metrics(last_compiled=1.0)
    m = cg.create_function_metrics(3, 4, 2, 1, last_compile_time=8)
    assert read(m, METRIC_FIELDS) == [3, 4, 2.0, 1.0, 8.0, 8.0]
    with pytest.raises(OverflowError, match="negative value to uint64_t"):
        cg.create_function_metrics(call_count=-1)


@pytest.mark.parametrize("make", [cg.PolicyConfig, cg.FunctionMetrics, cg.CompileGate])
def test_pickling_refused(make):
    obj = make()
    message = "no default __reduce__ due to non-trivial __cinit__"
    for attempt in (lambda: pickle.dumps(obj), obj.__reduce__, lambda: obj.__setstate__({})):
        with pytest.raises(TypeError, match=message):
            attempt()


def test_classes_may_be_subclassed():
    class Cfg(cg.PolicyConfig):
        extra = "x"

    class Metrics(cg.FunctionMetrics):
        pass

    assert Cfg(initial_threshold=20).initial_threshold == 20
    assert Metrics(call_count=3).call_count == 3


@pytest.mark.parametrize("call, message", [
    (lambda: cg.PolicyConfig(1, 2, 3, 0.5, 1.0, 9), "takes at most 5 positional arguments (6 given)"),
    (lambda: cg.PolicyConfig(bogus=1), "got an unexpected keyword argument 'bogus'"),
    (lambda: cg.FunctionMetrics(1, 2, 3, 4, 5, 6, 7), "takes at most 6 positional arguments (7 given)"),
    (lambda: cg.create_policy_config(100, initial_threshold=100),
     "got multiple values for keyword argument 'initial_threshold'"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert message in str(info.value)
