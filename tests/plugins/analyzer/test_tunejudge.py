"""tunejudge's documented cases, argument rules, sample unpacking, error texts and hostile inputs."""
import logging
import os
import subprocess
import sys
import threading
from collections import OrderedDict
from fractions import Fraction

import pytest

from velmora.plugins.analyzer import tunejudge as tj

NAN, INF = float("nan"), float("inf")
KEYS = ("parallelization_potential", "cpu_intensity", "memory_intensity")


def entry(p=0.5, c=0.5, m=0.5):
    return dict(zip(KEYS, (p, c, m)))


def history(metrics, start=0.0):
    return [(start + i, v) for i, v in enumerate(metrics)]


# ---------------------------------------------------------------- documented cases

@pytest.mark.parametrize("call, expected", [
    (lambda: tj.detect_performance_degradation(history([80] * 5), 100, 0.15, 0), True),
    (lambda: tj.detect_performance_degradation(history([80] * 5), 100, 0.2, 0), False),
    (lambda: tj.detect_performance_degradation(history([50, 50, 50, 0, 0, 0, 0], -3), 100, 0.1, 0), False),
    (lambda: tj.detect_performance_degradation(history([50, 50, 0, 0, 0, 0, 0], -2), 100, 0.1, 0), True),
    (lambda: tj.detect_performance_degradation(history([1] * 8), 0, -1, 0), False),
    (lambda: tj.detect_performance_degradation(history([1] * 8), -5, -1, 0), False),
    (lambda: tj.detect_performance_degradation(None, 100, 0.1, 0), False),
    (lambda: tj.calculate_performance_trend(history([100, 110, 120]), 0), 20 / (110 * 2)),
    (lambda: tj.calculate_performance_trend(history([7.5] * 6), 0), 0.0),
    (lambda: tj.calculate_performance_trend([(3, 1), (3, 5), (3, 9)], 0), 0.0),
    (lambda: tj.calculate_performance_trend(history([-1, 0, 1]), 0), 0.0),
    (lambda: tj.calculate_performance_trend(history([1, 100, 10000]), 0), 1.0),
    (lambda: tj.calculate_performance_trend(history([10000, 100, 1]), 0), -1.0),
    (lambda: tj.calculate_performance_trend(None, 0), 0.0),
    (lambda: tj.detect_workload_characteristics_change([entry()] * 5), (False, 0.0, 0.0, 0.0)),
    (lambda: tj.is_adaptation_beneficial("cpu", "cpu", 99.0, 1.0, 0.0, 1), False),
    (lambda: tj.is_adaptation_beneficial(None, None, 99.0, 1.0, 0.0, 1), False),
    (lambda: tj.is_adaptation_beneficial(None, "cpu", 0.9, 1.0, 0.0, 1), True),
    (lambda: tj.is_adaptation_beneficial("cpu", "gpu", 0.5, 1.0, 0.0, 0), False),
    (lambda: tj.is_adaptation_beneficial("cpu", "gpu", 0.51, 1.0, 0.0, 0), True),
    (lambda: tj.is_adaptation_beneficial("cpu", "gpu", 0.6, 1.0, 0.0, 7), False),
    (lambda: tj.is_adaptation_beneficial("cpu", "gpu", 0.61, 1.0, 0.0, 7), True),
    (lambda: tj.is_adaptation_beneficial("cpu", "gpu", 0.9, 0.59, 0.0, 0), False),
    (lambda: tj.is_adaptation_beneficial("cpu", "gpu", 0.56, 1.0, 0.5, -1), True),
    (lambda: tj.is_adaptation_beneficial("cpu", "gpu", 0.55, 1.0, 0.5, 1), False),
    (lambda: tj.is_adaptation_beneficial("cpu", "gpu", 0.55, 1.0, 0.5, 0.7), True),  # 0.7 truncates to 0
    (lambda: tj.should_skip_adaptation(100.0, 130.0, 30.0), False),
    (lambda: tj.should_skip_adaptation(100.0, 129.9, 30.0), True),
    (lambda: tj.calculate_adaptation_urgency(1, 1, 1, True), 1.0),
    (lambda: tj.calculate_adaptation_urgency(-3, -1, -0.5, []), 0.0),
    (lambda: tj.detect_memory_pressure(80, 100), False),
    (lambda: tj.detect_memory_pressure(81, 100), True),
    (lambda: tj.detect_memory_pressure(81, 0), False),
    (lambda: tj.detect_memory_pressure(-1, 100, -5), False),
    (lambda: tj.detect_fragmentation_threshold(0.3), False),
    (lambda: tj.detect_fragmentation_threshold(0.31), True),
    (lambda: tj.detect_fragmentation_threshold(-0.1, -1), False),
    (lambda: tj.detect_dominant_pattern([]), "mixed"),
    (lambda: tj.detect_dominant_pattern(["a", "b", "b", "a"]), "a"),
    (lambda: tj.detect_dominant_pattern(["x", "x", "x", "a", "b", "b"], 5), "x"),
    (lambda: tj.detect_dominant_pattern(["a", "b", "b"], 0), "mixed"),
    (lambda: tj.detect_dominant_pattern(["a", "b", "b"], -(2 ** 31)), "mixed"),
    (lambda: tj.detect_dominant_pattern(["a", "b", "b"], 2 ** 31 - 1), "b"),
    (lambda: tj.detect_dominant_pattern([None, "a", None], 3.9), None),
    (lambda: tj.detect_dominant_pattern(["x", None, "a", None], 2.9), "a"),  # window 2: a tie, "a" first
    (lambda: tj.predict_resource_requirements([(i, 100) for i in range(9)], 9), (0, 0, 0.0)),
    (lambda: tj.predict_resource_requirements([(i, 100) for i in range(10)], 9), (10, 1000, 10 * 0.008)),
    (lambda: tj.predict_resource_requirements([(5, 100)] * 20, 9), (0, 0, 0.0)),
    (lambda: tj.predict_resource_requirements([(i, 1) for i in range(200)], 1)[2], 0.8),
])
def test_documented_cases(call, expected):
    got = call()
    assert got == expected and type(got) is type(expected)


def test_weighted_sums_to_rounding():
    assert tj.calculate_adaptation_urgency(0.5, 0.5, 0.5, False) == pytest.approx(0.425, abs=1e-12)
    assert tj.score_pool_recommendation(2, -1, 0.5, 0.5) == pytest.approx(0.525, abs=1e-12)
    assert tj.score_pool_recommendation(1, 1, 1, 1) == pytest.approx(1.0, abs=1e-12)


def test_change_detection_cpu_shift_and_strict_threshold():
    hist = [entry(c=0.2)] * 3 + [entry(c=0.9)] * 3
    changed, par, cpu, mem = tj.detect_workload_characteristics_change(hist)
    assert changed is True and (par, mem) == (0.0, 0.0) and cpu == pytest.approx(0.7)
    assert tj.detect_workload_characteristics_change(hist, cpu)[0] is False
    # Entries older than the last six are never examined; other keys are ignored.
    junk = [object(), None, 5]
    assert tj.detect_workload_characteristics_change(junk + [dict(entry(), extra="x")] * 6)[0] is False


def test_constant_results_are_shared():
    assert tj.detect_workload_characteristics_change([]) is tj.detect_workload_characteristics_change([entry()])
    assert tj.predict_resource_requirements([], 1) is tj.predict_resource_requirements([(1, 1)] * 12, 1)


# ---------------------------------------------------------------- arguments

DEFAULTS = {
    "detect_performance_degradation": None, "calculate_performance_trend": None,
    "detect_workload_characteristics_change": (0.3,), "is_adaptation_beneficial": (1.1, 0.6),
    "should_skip_adaptation": None, "calculate_adaptation_urgency": None,
    "detect_memory_pressure": (0.8,), "detect_fragmentation_threshold": (0.3,),
    "score_pool_recommendation": None, "detect_dominant_pattern": (5,), "predict_resource_requirements": None,
}


@pytest.mark.parametrize("name, defaults", DEFAULTS.items())
def test_defaults_and_identity(name, defaults):
    fn = getattr(tj, name)
    assert fn.__defaults__ == defaults and fn.__name__ == name
    assert fn.__module__ == "velmora.plugins.analyzer.tunejudge"


@pytest.mark.parametrize("call, message", [
    (lambda: tj.should_skip_adaptation(1, 2),
     "should_skip_adaptation() takes exactly 3 positional arguments (2 given)"),
    (lambda: tj.detect_memory_pressure(1), "detect_memory_pressure() takes at least 2 positional arguments (1 given)"),
    (lambda: tj.detect_memory_pressure(1, 2, 3, 4),
     "detect_memory_pressure() takes at most 3 positional arguments (4 given)"),
    (lambda: tj.detect_dominant_pattern([], window=3),
     "detect_dominant_pattern() got an unexpected keyword argument 'window'"),
    (lambda: tj.detect_dominant_pattern([], patterns=[]),
     "detect_dominant_pattern() got multiple values for keyword argument 'patterns'"),
    (lambda: tj.calculate_performance_trend((), 0),
     "Argument 'performance_history' has incorrect type (expected list, got tuple)"),
    (lambda: tj.detect_performance_degradation(type("L", (list,), {})(), 1, 1, 1),
     "Argument 'performance_history' has incorrect type (expected list, got L)"),
    (lambda: tj.is_adaptation_beneficial("a", type("S", (str,), {})("b"), 1, 1, 1, 1),
     "Argument 'recommended_pool' has incorrect type (expected str, got S)"),
    (lambda: tj.detect_workload_characteristics_change(None), "object of type 'NoneType' has no len()"),
    (lambda: tj.detect_dominant_pattern(None), "object of type 'NoneType' has no len()"),
    (lambda: tj.predict_resource_requirements(None, 1.0), "object of type 'NoneType' has no len()"),
    (lambda: tj.detect_dominant_pattern([], "5"), "an integer is required"),
    (lambda: tj.is_adaptation_beneficial("a", "b", 1, 1, 1, None), "an integer is required"),
    (lambda: tj.detect_memory_pressure(1, "2"), "must be real number, not str"),
    # Scalars are converted before the list argument is looked at.
    (lambda: tj.detect_performance_degradation("not a list", 1, None, 0), "must be real number, not NoneType"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("value", [2 ** 31, -(2 ** 31) - 1, 1e12])
def test_int_argument_overflow(value):
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        tj.detect_dominant_pattern(["a"], value)


def test_keywords_and_number_protocols():
    class Num:
        def __float__(self):
            return 0.9

        def __int__(self):
            return 0

    assert tj.is_adaptation_beneficial(recommended_pool="gpu", current_pool="cpu", recommendation_score=Num(),
                                       recommendation_confidence=Fraction(7, 10), current_performance_estimate=0,
                                       trigger_code=Num(), min_confidence=True) is False  # 0.7 < True
    assert tj.calculate_adaptation_urgency(True, 0, 0, "yes") == pytest.approx(0.55)


# ---------------------------------------------------------------- samples

def gen(*items):
    return (i for i in items)


@pytest.mark.parametrize("make", [lambda: (1.0, 2.0), lambda: [1, 2], lambda: gen(1, 2), lambda: iter([1.0, 2]),
                                  lambda: {1: "a", 2: "b"}, lambda: type("T", (tuple,), {})((1, 2)),
                                  lambda: range(1, 3)])
def test_any_two_item_iterable_is_a_sample(make):
    want = tj.calculate_performance_trend([(0, 1), (1, 2), (5, 3)], 0)
    assert want != 0.0 and tj.calculate_performance_trend([(0, 1), make(), (5, 3)], 0) == want


@pytest.mark.parametrize("make, exc, message", [
    (lambda: (1, 2, 3), ValueError, "too many values to unpack (expected 2)"),
    (lambda: [1, 2, 3, 4], ValueError, "too many values to unpack (expected 2)"),
    (lambda: gen(1, 2, 3), ValueError, "too many values to unpack (expected 2)"),
    (lambda: (1,), ValueError, "need more than 1 value to unpack"),
    (lambda: [], ValueError, "need more than 0 values to unpack"),
    (lambda: gen(), ValueError, "need more than 0 values to unpack"),
    (lambda: gen(1), ValueError, "need more than 1 value to unpack"),
    (lambda: 5, TypeError, "'int' object is not iterable"),
    (lambda: "ab", TypeError, "must be real number, not str"),
    (lambda: (1, None), TypeError, "must be real number, not NoneType"),
])
@pytest.mark.parametrize("fn", [
    lambda h: tj.detect_performance_degradation(h, 100, 0.1, 1e9),
    lambda h: tj.calculate_performance_trend(h, 1e9),
    lambda h: tj.predict_resource_requirements(h, 1.0),
])
def test_bad_samples_raise_even_outside_the_window(fn, make, exc, message):
    hist = [(i, 1) for i in range(12)]
    hist[5] = make()
    with pytest.raises(exc) as info:
        fn(hist)
    assert str(info.value) == message


def test_iterator_errors_propagate():
    def broken():
        yield 1
        raise KeyError("boom")

    with pytest.raises(KeyError):
        tj.calculate_performance_trend([(0, 1), broken(), (2, 3)], 0)


def test_predict_indexes_first_and_last_samples():
    hist = [(i, 10) for i in range(12)]
    hist[0] = gen(0, 10)
    with pytest.raises(TypeError, match="not subscriptable"):
        tj.predict_resource_requirements(hist, 1.0)
    hist[0] = ()
    with pytest.raises(IndexError, match="tuple index out of range"):
        tj.predict_resource_requirements(hist, 1.0)
    hist[0] = []
    with pytest.raises(IndexError, match="list index out of range"):
        tj.predict_resource_requirements(hist, 1.0)
    hist[0] = [0.0, 10]
    hist[-1] = [11.0]
    with pytest.raises(ValueError, match="need more than 1 value to unpack"):
        tj.predict_resource_requirements(hist, 1.0)


# ---------------------------------------------------------------- hostile and non-finite inputs

def test_history_mutated_during_walk_is_safe():
    hist = []

    class Shrink:
        def __float__(self):
            hist.clear()
            return 1.0

    hist.extend([(i, 1.0) for i in range(6)] + [(6, Shrink())] + [(i, 1.0) for i in range(7, 12)])
    for fn in (lambda: tj.calculate_performance_trend(hist, 0), lambda: tj.predict_resource_requirements(hist, 1)):
        with pytest.raises(IndexError, match="list index out of range"):
            fn()
        hist[:] = [(i, 1.0) for i in range(6)] + [(6, Shrink())] + [(i, 1.0) for i in range(7, 12)]

    # A sample list whose own first item empties it: both items were taken before conversion.
    sample = []

    class Drain:
        def __float__(self):
            sample.clear()
            return 2.0

    sample.extend([Drain(), float("1e3")])  # the list holds the only reference to the metric
    assert tj.calculate_performance_trend([(0.0, 1000.0), sample, (4.0, 1000.0)], 0) == 0.0


def test_pattern_value_mutating_its_entry_is_safe():
    hist = [entry() for _ in range(6)]

    class Thief:
        def __radd__(self, other):
            for e in hist:
                e.clear()
            return other + 1.0

    hist[0]["parallelization_potential"] = Thief()
    with pytest.raises(KeyError):
        tj.detect_workload_characteristics_change(hist)


@pytest.mark.parametrize("value, exc", [("x", TypeError), (2 ** 2000, OverflowError), (None, TypeError)])
def test_pattern_values_use_float_addition(value, exc):
    hist = [entry() for _ in range(6)]
    hist[4]["memory_intensity"] = value
    with pytest.raises(exc):
        tj.detect_workload_characteristics_change(hist)
    hist[4]["memory_intensity"] = Fraction(1, 3)  # float + Fraction is a float
    assert tj.detect_workload_characteristics_change(hist)[3] == abs(((0.5 + Fraction(1, 3)) + 0.5) - 1.5) / 3


@pytest.mark.parametrize("bad, message", [
    ([1, 2], "Expected dict, got list"),
    (OrderedDict(entry()), "Expected dict, got collections.OrderedDict"),
    (None, "'NoneType' object is not iterable"),
])
def test_pattern_entry_type_errors(bad, message):
    hist = [entry() for _ in range(6)]
    hist[2] = bad
    with pytest.raises(TypeError) as info:
        tj.detect_workload_characteristics_change(hist)
    assert str(info.value) == message
    # A key missing from an earlier entry ends the walk before the bad entry is reached.
    del hist[1]["memory_intensity"]
    assert tj.detect_workload_characteristics_change(hist) == (False, 0.0, 0.0, 0.0)


def test_dominant_pattern_entry_types():
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        tj.detect_dominant_pattern(["a", 3, "a"], 5)
    with pytest.raises(TypeError, match="^Expected str, got S$"):
        tj.detect_dominant_pattern([type("S", (str,), {})("a")], 5)
    assert tj.detect_dominant_pattern([3, "b", "a", "a"], 3) == "a"  # 3 lies before the window
    # Equal text in distinct objects counts as one pattern; the first object seen is returned.
    first = "".join(["cp", "u"])
    got = tj.detect_dominant_pattern([first, "".join(["c", "pu"]), "io"] + [f"p{i}" for i in range(20)], 100)
    assert got is first


@pytest.mark.parametrize("call, expected", [
    (lambda: tj.calculate_performance_trend([(0, NAN), (1, 1), (2, 2)], 0), 0.0),
    (lambda: tj.calculate_performance_trend([(0, INF), (1, 1), (2, 2)], 0), 0.0),
    (lambda: tj.calculate_performance_trend([(0, 1), (INF, 1), (2, 2)], 0), 0.0),
    (lambda: tj.calculate_performance_trend([(NAN, 1), (0, 1), (1, 2), (2, 3)], 0), 0.5),
    (lambda: tj.detect_performance_degradation(history([NAN] * 6), 100, 0.1, 0), False),
    (lambda: tj.detect_performance_degradation(history([-INF] * 6), 100, 0.1, 0), True),
    (lambda: tj.detect_performance_degradation(history([1] * 6), NAN, -1, 0), False),
    (lambda: tj.calculate_adaptation_urgency(NAN, INF, NAN, False), 0.3),
    (lambda: tj.score_pool_recommendation(NAN, NAN, NAN, INF), 0.15),
    (lambda: tj.detect_memory_pressure(INF, INF), False),
    (lambda: tj.predict_resource_requirements([(i, 8) for i in range(10)], INF), (2 ** 31 - 1, 2 ** 31 - 1, 0.08)),
    (lambda: tj.predict_resource_requirements([(i, 8) for i in range(10)], -INF), (-(2 ** 31), -(2 ** 31), 0.08)),
    (lambda: tj.predict_resource_requirements([(i, 8) for i in range(10)], NAN), (0, 0, 0.08)),
    (lambda: tj.predict_resource_requirements([(i, NAN) for i in range(10)], 9), (10, 0, 0.08)),
    (lambda: tj.predict_resource_requirements([(0, 8)] + [(i, 8) for i in range(1, 9)] + [(NAN, 8)], 9), (0, 0, 0.08)),
    (lambda: tj.predict_resource_requirements([(i, 1e9) for i in range(10)], 1e6), (1111111, 2 ** 31 - 1, 0.08)),
    (lambda: tj.predict_resource_requirements([(i, -1e9) for i in range(10)], 9), (10, -(2 ** 31), 0.08)),
])
def test_non_finite_and_out_of_range_are_defined(call, expected):
    got = call()
    assert got == expected


# ---------------------------------------------------------------- module

def test_logger_and_import_banner():
    assert isinstance(tj.logger, logging.Logger) and tj.logger.name == "velmora.plugins.analyzer.tunejudge"
    code = ("import logging; logging.basicConfig(level=logging.INFO, format='%(name)s|%(levelname)s|%(message)s');"
            "import velmora.plugins.analyzer.tunejudge")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ, PYTHONPATH=tj.__file__.rsplit("/velmora/", 1)[0]))
    lines = [ln for ln in out.stderr.splitlines() if ln.startswith("velmora.plugins.analyzer.tunejudge|INFO|")]
    assert out.returncode == 0 and len(lines) == 1 and "Velmora" in lines[0]


def test_concurrent_callers_agree():
    hist = [(i * 0.1, 100 + (i % 13)) for i in range(2000)]
    want = (tj.calculate_performance_trend(hist, 5.0), tj.predict_resource_requirements(hist, 3.0),
            tj.detect_dominant_pattern([str(i % 5) for i in range(500)], 400))
    results, errors = [], []

    def work():
        try:
            for _ in range(50):
                results.append((tj.calculate_performance_trend(hist, 5.0), tj.predict_resource_requirements(hist, 3.0),
                                tj.detect_dominant_pattern([str(i % 5) for i in range(500)], 400)))
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not errors and len(results) == 200 and all(r == want for r in results)
