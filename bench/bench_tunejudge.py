"""Adaptation decisions against plain pure-Python twins and the interpreter's call floor.

The twins are the model of tests/reference/tunejudge.py (stateless functions, no lock).
"""

import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

from velmora.plugins.analyzer import tunejudge as tj  # noqa: E402

from reference import tunejudge as model  # noqa: E402

KEYS = model.KEYS

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
    ns.update({"py_" + k: v for k, v in vars(model).items() if callable(v) and not k.startswith("_")})
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
