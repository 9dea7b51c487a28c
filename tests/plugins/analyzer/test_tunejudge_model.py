"""tunejudge's eleven decisions agree bit for bit with the pure-Python model (tests/reference)."""

import pytest
from hypothesis import given, settings, strategies as st

from velmora.plugins.analyzer import tunejudge as tj

from reference import tunejudge as ref

KEYS = ref.KEYS


# ---------------------------------------------------------------- strategies

finite = st.floats(-1e6, 1e6, allow_nan=False)
anyfloat = st.floats(allow_nan=True, allow_infinity=True)
unit = st.floats(-0.5, 1.5, allow_nan=False)
stamp = st.one_of(st.integers(-50, 200), st.floats(-50, 200, allow_nan=False))
metric = st.one_of(st.integers(-5, 500), st.floats(-1e4, 1e4, allow_nan=False), st.booleans())


def _shape(pair, how):
    return {"tuple": tuple, "list": list, "gen": lambda p: (v for v in p)}[how](pair)


samples = st.builds(_shape, st.tuples(stamp, metric), st.sampled_from(["tuple", "list", "gen"]))
indexable = st.builds(_shape, st.tuples(stamp, metric), st.sampled_from(["tuple", "list"]))


def _same(a, b):
    return type(a) is type(b) and (a == b or (a != a and b != b))


def _copy(history):
    # Generators are single-use: give model and module their own copies.
    out = ([], [])
    for s in history:
        items = list(s)
        for dest in out:
            dest.append(type(s)(items) if isinstance(s, (tuple, list)) else iter(items))
    return out


# ---------------------------------------------------------------- properties

@settings(max_examples=150, deadline=None)
@given(st.lists(samples, max_size=14), finite, st.floats(-1, 1, allow_nan=False), stamp)
def test_degradation_matches_model(history, baseline, threshold, start):
    a, b = _copy(history)
    assert tj.detect_performance_degradation(a, baseline, threshold, start) is ref.detect_performance_degradation(
        b, baseline, threshold, start)


@settings(max_examples=200, deadline=None)
@given(st.lists(samples, max_size=14), stamp)
def test_trend_matches_model(history, start):
    a, b = _copy(history)
    got, want = tj.calculate_performance_trend(a, start), ref.calculate_performance_trend(b, start)
    assert type(got) is float and got == want
    assert -1.0 <= got <= 1.0


_entry = st.fixed_dictionaries(
    {k: st.one_of(st.floats(0, 1), st.integers(0, 2), st.booleans()) for k in KEYS},
    optional={"other": st.integers()},
)


@settings(max_examples=150, deadline=None)
@given(st.lists(_entry, max_size=9), st.floats(0, 1))
def test_change_matches_model(history, threshold):
    assert tj.detect_workload_characteristics_change(history, threshold) == ref.detect_workload_characteristics_change(
        history, threshold)


pool = st.one_of(st.none(), st.sampled_from(["cpu", "gpu", "thread", "cp" + "u"]))


@settings(max_examples=200, deadline=None)
@given(pool, pool, unit, unit, st.floats(-1, 2, allow_nan=False), st.integers(-3, 3),
       st.floats(0.5, 2), st.floats(0, 1))
def test_beneficial_matches_model(cur, rec, score, conf, estimate, trigger, ratio, min_conf):
    args = (cur, rec, score, conf, estimate, trigger, ratio, min_conf)
    assert tj.is_adaptation_beneficial(*args) is ref.is_adaptation_beneficial(*args)


@settings(max_examples=200, deadline=None)
@given(anyfloat, anyfloat, anyfloat, st.booleans())
def test_urgency_matches_model(d, p, f, changed):
    got = tj.calculate_adaptation_urgency(d, p, f, changed)
    assert got == ref.calculate_adaptation_urgency(d, p, f, changed) and 0.0 <= got <= 1.0


@settings(max_examples=200, deadline=None)
@given(anyfloat, anyfloat, anyfloat, anyfloat)
def test_pool_score_matches_model(w, m, t, h):
    got = tj.score_pool_recommendation(w, m, t, h)
    assert got == ref.score_pool_recommendation(w, m, t, h) and 0.0 <= got <= 1.0


@settings(max_examples=200, deadline=None)
@given(anyfloat, anyfloat, anyfloat, anyfloat, anyfloat, anyfloat)
def test_scalar_predicates_match_model(cur, peak, thr, frag, last, now):
    assert tj.detect_memory_pressure(cur, peak, thr) is ref.detect_memory_pressure(cur, peak, thr)
    assert tj.detect_fragmentation_threshold(frag, thr) is ref.detect_fragmentation_threshold(frag, thr)
    assert tj.should_skip_adaptation(last, now, thr) is ref.should_skip_adaptation(last, now, thr)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.one_of(st.none(), st.sampled_from(["a", "b", "mixed"]), st.text("ab\u00e9\U0001f600", max_size=3)),
                max_size=40), st.integers(-3, 45))
def test_dominant_matches_model(patterns, window):
    got, want = tj.detect_dominant_pattern(patterns, window), ref.detect_dominant_pattern(patterns, window)
    assert got == want
    if want is not None and want != "mixed":
        window_items = patterns[max(0, len(patterns) - window):]
        assert got is next(p for p in window_items if p == want)  # the first object seen in the window


@settings(max_examples=200, deadline=None)
@given(st.lists(indexable, max_size=30), st.one_of(finite, st.floats(-1e12, 1e12)))
def test_predict_matches_model(history, horizon):
    a, b = _copy(history)
    got, want = tj.predict_resource_requirements(a, horizon), ref.predict_resource_requirements(b, horizon)
    assert got == want and all(map(_same, got, want))


@pytest.mark.parametrize("n", [9, 10, 99, 100, 1000])
def test_predict_on_even_spacing(n):
    history = [(i * 0.5, 64 + i % 7) for i in range(n)]
    assert tj.predict_resource_requirements(history, 30.0) == ref.predict_resource_requirements(history, 30.0)
