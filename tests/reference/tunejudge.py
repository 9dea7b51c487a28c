"""velmora.plugins.analyzer.tunejudge in plain Python: the eleven adaptation decisions.

Double-precision arithmetic in the documented order of operations. Where a result would be undefined
the model says what the module says: a NaN input clamps to 0.0, an undefined (NaN) trend is no
trend (0.0), and a predicted count is truncated toward zero and saturated at the signed 32-bit
bounds (NaN gives 0).
"""

INT32_MIN, INT32_MAX = -(2 ** 31), 2 ** 31 - 1
KEYS = ("parallelization_potential", "cpu_intensity", "memory_intensity")


def clamp01(x):
    # NaN counts as 0, like a negative input.
    if not x > 0.0:
        return 0.0
    return 1.0 if x > 1.0 else x


def trunc32(x):
    # Truncation toward zero, saturating at the int32 bounds; NaN gives 0.
    if x != x:
        return 0
    if x >= 2.0 ** 31:
        return INT32_MAX
    if x <= -(2.0 ** 31) - 1.0:
        return INT32_MIN
    return int(x)


def detect_performance_degradation(performance_history, baseline_performance, threshold, window_start_time):
    history = performance_history
    if history is None or len(history) == 0 or baseline_performance <= 0:
        return False
    n = len(history)
    if n < 5:
        return False
    count, total = 0, 0.0
    for i in range(n):
        ts, metric = history[i]
        ts, metric = float(ts), float(metric)
        if ts >= window_start_time:
            count += 1
            total += metric
    if count < 5:
        return False
    average = total / count
    return (baseline_performance - average) / baseline_performance > threshold


def calculate_performance_trend(performance_history, window_start_time):
    history = performance_history
    if history is None or len(history) < 3:
        return 0.0
    window = []
    for sample in history:
        ts, metric = sample
        ts, metric = float(ts), float(metric)
        if ts >= window_start_time:
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


def detect_workload_characteristics_change(pattern_history, change_threshold=0.3):
    history = pattern_history
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
    return (any(c > change_threshold for c in changes), *changes)


def is_adaptation_beneficial(current_pool, recommended_pool, recommendation_score, recommendation_confidence,
                             current_performance_estimate, trigger_code, min_improvement_ratio=1.1,
                             min_confidence=0.6):
    if current_pool == recommended_pool:
        return False
    if recommendation_confidence < min_confidence:
        return False
    if trigger_code == 0:
        return recommendation_score > 0.5
    if current_performance_estimate > 0:
        return recommendation_score > current_performance_estimate * min_improvement_ratio
    return recommendation_score > 0.6


def should_skip_adaptation(last_adaptation_time, current_time, min_interval):
    return min_interval > current_time - last_adaptation_time


def calculate_adaptation_urgency(performance_degradation, memory_pressure, fragmentation_ratio, workload_changed):
    u = clamp01(performance_degradation) * 0.4 + clamp01(memory_pressure) * 0.3
    u = u + clamp01(fragmentation_ratio) * 0.15
    if workload_changed:
        u = u + 0.15
    return min(u, 1.0)


def detect_memory_pressure(current_usage, peak_usage, pressure_threshold=0.8):
    if current_usage < 0 or peak_usage <= 0:
        return False
    return current_usage / peak_usage > pressure_threshold


def detect_fragmentation_threshold(fragmentation_ratio, threshold=0.3):
    return not fragmentation_ratio < 0 and fragmentation_ratio > threshold


def score_pool_recommendation(workload_fit, memory_fit, thread_count_fit, historical_success_rate):
    s = (clamp01(workload_fit) * 0.35 + clamp01(memory_fit) * 0.3 + clamp01(thread_count_fit) * 0.2
         + clamp01(historical_success_rate) * 0.15)
    return min(s, 1.0)


def detect_dominant_pattern(patterns, window_size=5):
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


def predict_resource_requirements(allocation_history, prediction_horizon_seconds):
    history = allocation_history
    n = len(history)
    if n < 10:
        return (0, 0, 0.0)
    first, last = float(history[0][0]), float(history[-1][0])
    span = last - first
    if span <= 0:
        return (0, 0, 0.0)
    total = 0.0
    for sample in history:
        ts, size = sample
        float(ts)
        total += float(size)
    allocations = trunc32(n / span * prediction_horizon_seconds)
    total_bytes = trunc32((total / n) * allocations)
    return (allocations, total_bytes, 0.8 if n > 99 else n * 0.008)
