"""tunejudge's eleven decisions agree bit for bit with pure-Python models written from the contract."""

import pytest
from hypothesis import given, settings, strategies as st

from velmora.plugins.analyzer import tunejudge as tj

INT32_MIN, INT32_MAX = -(2 ** 31), 2 ** 31 - 1


# ---------------------------------------------------------------- reference models

def _clamp01(x):
    # NaN counts as 0, like a negative input.
    if not x > 0.0:
        return 0.0
    return 1.0 if x > 1.0 else x


def _trunc32(x):
    # Truncation toward zero, saturating at the int32 bounds; NaN gives 0.
    if x != x:
        return 0
    if x >= 2.0 ** 31:
        return INT32_MAX
    if x <= -(2.0 ** 31) - 1.0:
        return INT32_MIN
    return int(x)


def ref_degradation(history, baseline, threshold, window_start):
    if history is None or len(history) == 0 or baseline <= 0:
        return False
    if len(history) < 5:
        return False
    count, total = 0, 0.0
    for sample in history:
        ts, metric = sample
        ts, metric = float(ts), float(metric)
        if ts >= window_start:
            count += 1
            total += metric
    if count < 5:
        return False
    average = total / count
    return (baseline - average) / baseline > threshold


def ref_trend(history, window_start):
    if history is None or len(history) < 3:
        return 0.0
    window = []
    for sample in history:
        ts, metric = sample
        ts, metric = float(ts), float(metric)
        if ts >= window_start:
            window.append((ts, metric))
    m = len(window)
    if m < 3:
        return 0.0
    t0 = window[0][0]
    sum_x = sum_y = sum_xy = sum_xx = 0.0
    for ts, y in window:
        x = ts - t0
        sum_x += x
        sum_y += y
        sum_xy += x * y
        sum_xx += x * x
    mean_x = sum_x / m
    sxx = sum_xx - mean_x * (m * mean_x)
    if abs(sxx) < 1e-10:
        return 0.0
    mean_y = sum_y / m
    if abs(mean_y) < 1e-10:
        return 0.0
    sxy = sum_xy - (m * mean_x) * mean_y
    trend = sxy / (mean_y * sxx)
    if trend != trend:
        return 0.0  # an undefined trend is reported as no trend
    return max(-1.0, min(1.0, trend))


KEYS = ("parallelization_potential", "cpu_intensity", "memory_intensity")


def ref_change(history, threshold=0.3):
    n = len(history)
    if n < 6:
        return (False, 0.0, 0.0, 0.0)
    for entry in history[n - 6:]:
        for key in KEYS:
            if key not in entry:
                return (False, 0.0, 0.0, 0.0)

    def sums(lo, hi):
        acc = [0.0, 0.0, 0.0]
        for entry in history[lo:hi]:
            for k, key in enumerate(KEYS):
                acc[k] = acc[k] + entry[key]
        return acc

    recent, older = sums(n - 3, n), sums(n - 6, n - 3)
    changes = [abs(r - o) / 3 for r, o in zip(recent, older)]
    return (any(c > threshold for c in changes), *changes)


def ref_beneficial(cur, rec, score, conf, estimate, trigger, ratio=1.1, min_conf=0.6):
    if cur == rec:
        return False
    if conf < min_conf:
        return False
    if trigger == 0:
        return score > 0.5
    if estimate > 0:
        return score > estimate * ratio
    return score > 0.6


def ref_urgency(deg, pressure, frag, changed):
    u = _clamp01(deg) * 0.4 + _clamp01(pressure) * 0.3
    u = u + _clamp01(frag) * 0.15
    if changed:
        u = u + 0.15
    return min(u, 1.0)


def ref_memory_pressure(cur, peak, thr=0.8):
    if cur < 0 or peak <= 0:
        return False
    return cur / peak > thr


def ref_score(w, m, t, h):
    s = _clamp01(w) * 0.35 + _clamp01(m) * 0.3 + _clamp01(t) * 0.2 + _clamp01(h) * 0.15
    return min(s, 1.0)


def ref_dominant(patterns, window_size=5):
    n = len(patterns)
    if n == 0:
        return "mixed"
    counts = {}
    for p in patterns[max(0, n - window_size):]:
        counts[p] = counts.get(p, 0) + 1
    dominant, best = "mixed", 0
    for key, c in counts.items():
        if c > best:
            dominant, best = key, c
    return dominant


def ref_predict(history, horizon):
    n = len(history)
    if n < 10:
        return (0, 0, 0.0)
    first, last = float(history[0][0]), float(history[-1][0])
    span = last - first
    if span <= 0:
        return (0, 0, 0.0)
    total = 0.0
    for sample in history:
        _ts, size = sample
        float(_ts)
        total += float(size)
    allocations = _trunc32(n / span * horizon)
    total_bytes = _trunc32((total / n) * allocations)
    return (allocations, total_bytes, 0.8 if n > 99 else n * 0.008)


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
    assert tj.detect_performance_degradation(a, baseline, threshold, start) is ref_degradation(b, baseline, threshold, start)


@settings(max_examples=200, deadline=None)
@given(st.lists(samples, max_size=14), stamp)
def test_trend_matches_model(history, start):
    a, b = _copy(history)
    got, want = tj.calculate_performance_trend(a, start), ref_trend(b, start)
    assert type(got) is float and got == want
    assert -1.0 <= got <= 1.0


_entry = st.fixed_dictionaries(
    {k: st.one_of(st.floats(0, 1), st.integers(0, 2), st.booleans()) for k in KEYS},
    optional={"other": st.integers()},
)


@settings(max_examples=150, deadline=None)
@given(st.lists(_entry, max_size=9), st.floats(0, 1))
def test_change_matches_model(history, threshold):
    assert tj.detect_workload_characteristics_change(history, threshold) == ref_change(history, threshold)


pool = st.one_of(st.none(), st.sampled_from(["cpu", "gpu", "thread", "cp" + "u"]))


@settings(max_examples=200, deadline=None)
@given(pool, pool, unit, unit, st.floats(-1, 2, allow_nan=False), st.integers(-3, 3),
       st.floats(0.5, 2), st.floats(0, 1))
def test_beneficial_matches_model(cur, rec, score, conf, estimate, trigger, ratio, min_conf):
    args = (cur, rec, score, conf, estimate, trigger, ratio, min_conf)
    assert tj.is_adaptation_beneficial(*args) is ref_beneficial(*args)


@settings(max_examples=200, deadline=None)
@given(anyfloat, anyfloat, anyfloat, st.booleans())
def test_urgency_matches_model(d, p, f, changed):
    got = tj.calculate_adaptation_urgency(d, p, f, changed)
    assert got == ref_urgency(d, p, f, changed) and 0.0 <= got <= 1.0


@settings(max_examples=200, deadline=None)
@given(anyfloat, anyfloat, anyfloat, anyfloat)
def test_pool_score_matches_model(w, m, t, h):
    got = tj.score_pool_recommendation(w, m, t, h)
    assert got == ref_score(w, m, t, h) and 0.0 <= got <= 1.0


@settings(max_examples=200, deadline=None)
@given(anyfloat, anyfloat, anyfloat, anyfloat, anyfloat, anyfloat)
def test_scalar_predicates_match_model(cur, peak, thr, frag, last, now):
    assert tj.detect_memory_pressure(cur, peak, thr) is ref_memory_pressure(cur, peak, thr)
    assert tj.detect_fragmentation_threshold(frag, thr) is (not frag < 0 and frag > thr)
    assert tj.should_skip_adaptation(last, now, thr) is (thr > now - last)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.one_of(st.none(), st.sampled_from(["a", "b", "mixed"]), st.text("ab\u00e9\U0001f600", max_size=3)),
                max_size=40), st.integers(-3, 45))
def test_dominant_matches_model(patterns, window):
    got, want = tj.detect_dominant_pattern(patterns, window), ref_dominant(patterns, window)
    assert got == want
    if want is not None and want != "mixed":
        window_items = patterns[max(0, len(patterns) - window):]
        assert got is next(p for p in window_items if p == want)  # the first object seen in the window


@settings(max_examples=200, deadline=None)
@given(st.lists(indexable, max_size=30), st.one_of(finite, st.floats(-1e12, 1e12)))
def test_predict_matches_model(history, horizon):
    a, b = _copy(history)
    got, want = tj.predict_resource_requirements(a, horizon), ref_predict(b, horizon)
    assert got == want and all(map(_same, got, want))


@pytest.mark.parametrize("n", [9, 10, 99, 100, 1000])
def test_predict_on_even_spacing(n):
    history = [(i * 0.5, 64 + i % 7) for i in range(n)]
    assert tj.predict_resource_requirements(history, 30.0) == ref_predict(history, 30.0)
