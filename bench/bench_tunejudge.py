"""Adaptation decisions against plain pure-Python twins and the interpreter's call floor."""

import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

from velmora.plugins.analyzer import tunejudge as tj  # noqa: E402

# ---------------------------------------------------------------- pure-Python twins (stateless)

KEYS = ("parallelization_potential", "cpu_intensity", "memory_intensity")


def py_detect_performance_degradation(history, baseline, threshold, window_start):
    if history is None or len(history) == 0 or baseline <= 0:
        return False
    n = len(history)
    if n < 5:
        return False
    count, total = 0, 0.0
    for i in range(n):
        ts, metric = history[i]
        ts, metric = float(ts), float(metric)
        if ts >= window_start:
            count += 1
            total += metric
    if count < 5:
        return False
    average = total / count
    return (baseline - average) / baseline > threshold


def py_calculate_performance_trend(history, window_start):
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
    return max(-1.0, min(1.0, sxy / (mean_y * sxx)))


def py_detect_workload_characteristics_change(history, threshold=0.3):
    n = len(history)
    if n < 6:
        return (False, 0.0, 0.0, 0.0)
    for i in range(n - 6, n):
        for key in KEYS:
            if key not in history[i]:
                return (False, 0.0, 0.0, 0.0)
    recent, older = [0.0, 0.0, 0.0], [0.0, 0.0, 0.0]
    for i in range(n - 3, n):
        for k, key in enumerate(KEYS):
            recent[k] += history[i][key]
    for i in range(n - 6, n - 3):
        for k, key in enumerate(KEYS):
            older[k] += history[i][key]
    changes = [abs(r - o) / 3 for r, o in zip(recent, older)]
    return (changes[0] > threshold or changes[1] > threshold or changes[2] > threshold, *changes)


def py_detect_dominant_pattern(patterns, window_size=5):
    n = len(patterns)
    if n == 0:
        return "mixed"
    counts = {}
    for i in range(max(0, n - window_size), n):
        p = patterns[i]
        counts[p] = counts.get(p, 0) + 1
    dominant, best = "mixed", 0
    for key, c in counts.items():
        if c > best:
            dominant, best = key, c
    return dominant


def py_predict_resource_requirements(history, horizon):
    n = len(history)
    if n < 10:
        return (0, 0, 0.0)
    span = float(history[-1][0]) - float(history[0][0])
    if span <= 0:
        return (0, 0, 0.0)
    total = 0.0
    for sample in history:
        ts, size = sample
        float(ts)
        total += float(size)
    allocations = int(n / span * horizon)
    return (allocations, int((total / n) * allocations), 0.8 if n > 99 else n * 0.008)


def py_calculate_adaptation_urgency(d, p, f, changed):
    u = max(0.0, min(1.0, d)) * 0.4 + max(0.0, min(1.0, p)) * 0.3
    u += max(0.0, min(1.0, f)) * 0.15
    if changed:
        u += 0.15
    return min(u, 1.0)


def py_score_pool_recommendation(w, m, t, h):
    c = lambda x: max(0.0, min(1.0, x))  # noqa: E731
    return min(c(w) * 0.35 + c(m) * 0.3 + c(t) * 0.2 + c(h) * 0.15, 1.0)


def py_is_adaptation_beneficial(cur, rec, score, conf, estimate, trigger, ratio=1.1, min_conf=0.6):
    if cur == rec or conf < min_conf:
        return False
    if trigger == 0:
        return score > 0.5
    if estimate > 0:
        return score > estimate * ratio
    return score > 0.6


def py_detect_memory_pressure(cur, peak, thr=0.8):
    return False if cur < 0 or peak <= 0 else cur / peak > thr


def py_should_skip_adaptation(last, now, interval):
    return interval > now - last


# ---------------------------------------------------------------- inputs

def perf_history(n, rng):
    return [(i * 0.01, 100.0 + rng.random() * 20.0 - i * 1e-4) for i in range(n)]


def alloc_history(n, rng):
    return [(i * 0.001, float(rng.choice((64, 128, 4096, 65536)))) for i in range(n)]


def pattern_names(n, rng):
    return [rng.choice(("cpu_bound", "io_bound", "mixed", "memory_bound")) for _ in range(n)]


def pattern_entries(n, rng):
    return [{k: rng.random() for k in KEYS} for _ in range(n)]


def register(bench):
    rng = random.Random(2024)
    op = bench.op
    ns = {"tj": tj, "a": 1.5, "b": 2.5, "c": 0.5}
    ns.update({k: v for k, v in globals().items() if k.startswith("py_")})
    for n in (10, 1000, 100000):
        bar = 5.0 if n == 100000 else None
        floor4 = "max(a, b, c, a)" if n == 10 else None
        floor2 = "divmod(a, b)" if n == 10 else None
        hns = dict(ns, h=perf_history(n, rng), al=alloc_history(n, rng), pn=pattern_names(n, rng),
                   pe=pattern_entries(n, rng), n=n, w=perf_history(n, rng)[n // 3][0])
        op("detect_performance_degradation n=%d" % n, "tj.detect_performance_degradation(h, 120.0, 0.1, w)",
           twin="py_detect_performance_degradation(h, 120.0, 0.1, w)", floor=floor4, ns=hns, twin_min=bar)
        op("calculate_performance_trend n=%d" % n, "tj.calculate_performance_trend(h, w)",
           twin="py_calculate_performance_trend(h, w)", floor=floor2, ns=hns, twin_min=bar)
        op("predict_resource_requirements n=%d" % n, "tj.predict_resource_requirements(al, 5.0)",
           twin="py_predict_resource_requirements(al, 5.0)", floor=floor2, ns=hns, twin_min=bar)
        op("detect_dominant_pattern window=n=%d" % n, "tj.detect_dominant_pattern(pn, n)",
           twin="py_detect_dominant_pattern(pn, n)", floor=floor2, ns=hns, twin_min=bar)
        op("detect_workload_characteristics_change n=%d" % n, "tj.detect_workload_characteristics_change(pe)",
           twin="py_detect_workload_characteristics_change(pe)", floor="abs(a)" if n == 10 else None, ns=hns,
           twin_min=bar)
    op("calculate_adaptation_urgency", "tj.calculate_adaptation_urgency(a, c, c, True)",
       twin="py_calculate_adaptation_urgency(a, c, c, True)", floor="max(a, c, c, True)", ns=ns)
    op("score_pool_recommendation", "tj.score_pool_recommendation(a, c, c, b)",
       twin="py_score_pool_recommendation(a, c, c, b)", floor="max(a, c, c, b)", ns=ns)
    op("is_adaptation_beneficial", "tj.is_adaptation_beneficial('cpu', 'gpu', 0.9, 0.8, 0.5, 1)",
       twin="py_is_adaptation_beneficial('cpu', 'gpu', 0.9, 0.8, 0.5, 1)",
       floor="max(a, b, c, a, b, c)", ns=ns)
    op("detect_memory_pressure", "tj.detect_memory_pressure(a, b)", twin="py_detect_memory_pressure(a, b)",
       floor="divmod(a, b)", ns=ns)
    op("should_skip_adaptation", "tj.should_skip_adaptation(a, b, c)", twin="py_should_skip_adaptation(a, b, c)",
       floor="max(a, b, c)", ns=ns)


if __name__ == "__main__":
    sys.exit(harness.main(register))
