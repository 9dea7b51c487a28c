"""Thread stress of the analyzer modules: four threads call the functions at once on shared inputs
while other threads mutate the caller's lists and dicts. Results on inputs nobody mutates must equal
the single-threaded ones; calls on mutated inputs may fail only the way a shrinking list or a
vanishing key makes them fail. Each stress runs in a child interpreter, so a crash fails one test."""
import textwrap

import pytest
from stress_harness import WORKERS_AND_MUTATORS

# The harness of every child: workers loop until the time is up; any unexpected exception stops all.
HARNESS = WORKERS_AND_MUTATORS

TUNEJUDGE = r'''
from velmora.plugins.analyzer import tunejudge as tj
KEYS = ("parallelization_potential", "cpu_intensity", "memory_intensity")
rng = random.Random(7)

# Inputs nobody mutates: every shape of sample the walks take (exact-float tuples, int tuples,
# lists), and pattern names past the identity scan (more than eight distinct, equal-text copies).
H = [(i * 0.5, 100.0 - i * 0.25 + rng.random()) for i in range(150)]
H += [(75 + i, 60 + i % 7) for i in range(20)] + [[90.0 + i, 50.0 + i] for i in range(20)]
AL = [(i * 0.01, float(rng.choice((64, 128, 4096)))) for i in range(120)] + [[1.3, 256.0]]
PE = [dict(zip(KEYS, (rng.random(), rng.random(), rng.random()))) for _ in range(12)]
NAMES = ["p%d" % k for k in range(12)]
PN = [rng.choice(NAMES) for _ in range(300)] + ["".join(["p", "3"]) for _ in range(40)] + [None] * 5

def calls(h, al, pe, pn):
    return [
        lambda: tj.detect_performance_degradation(h, 120.0, 0.1, 10.0),
        lambda: tj.calculate_performance_trend(h, 5.0),
        lambda: tj.predict_resource_requirements(al, 5.0),
        lambda: tj.detect_workload_characteristics_change(pe, 0.05),
        lambda: tj.detect_dominant_pattern(pn, 200),
        lambda: tj.detect_dominant_pattern(pn, 6),
    ]

FIXED = calls(H, AL, PE, PN)
EXPECTED = [f() for f in FIXED]
assert EXPECTED[3][0] in (True, False) and isinstance(EXPECTED[4], str)

# Inputs the mutators change under the walks: samples are lists that grow, shrink and get fresh
# floats; entries lose and regain keys; the lists are appended to, sliced and cleared.
MH = [[i * 0.5, 100.0 + i] for i in range(150)]
MAL = [[i * 0.01, 64.0] for i in range(120)]
MPE = [dict(zip(KEYS, (0.1, 0.2, 0.3))) for _ in range(12)]
MPN = list(PN)
MUTATED = calls(MH, MAL, MPE, MPN)
ALLOWED = (IndexError, ValueError, KeyError)

def fixed_inputs():
    for f, want in zip(FIXED, EXPECTED):
        got = f()
        assert got == want, (got, want)

def mutated_inputs():
    for f in MUTATED:
        try:
            r = f()
        except ALLOWED:
            continue
        assert isinstance(r, (bool, float, tuple, str, type(None))), r

def mutate_samples():
    r = random.random
    for lst in (MH, MAL):
        lst.append([r() * 100.0, r() * 100.0])
        try:
            s = lst[int(r() * len(lst))]
        except IndexError:
            continue
        s[1] = r() * 1000.0   # a fresh float replaces (and frees) the old one
        s.append(r())         # three items: "too many values to unpack"
        del s[2:]
        if r() < 0.05:
            s.clear()         # none: "need more than 0 values"
            s.extend([r(), r()])
        if len(lst) > 400:
            del lst[: int(r() * len(lst))]
        if r() < 0.02:
            lst.clear()

def mutate_entries():
    r = random.random
    for d in list(MPE):
        d["cpu_intensity"] = r()
        if r() < 0.2:
            d.pop("memory_intensity", None)
            d["memory_intensity"] = r() * 2.0
    if r() < 0.3:
        MPE.append(dict(zip(KEYS, (r(), r(), r()))))
    if len(MPE) > 30:
        del MPE[: len(MPE) - 6]
    MPN.append("".join(["p", str(int(r() * 20))]))
    if r() < 0.05:
        MPN.clear()
    elif len(MPN) > 500:
        del MPN[:250]

run([fixed_inputs, fixed_inputs, mutated_inputs, mutated_inputs], [mutate_samples, mutate_entries])
for f, want in zip(FIXED, EXPECTED):
    assert f() == want
print("ok")
'''

TASKGAUGE = r'''
from velmora.plugins.analyzer import taskgauge as tg
base = "import numpy as np\nx = np.array([1, 2])\nfor i in range(10):\n    total = sum(x) @ x\n"
TEXTS = [
    base,
    base * 600,                                        # long ASCII: scanned without the lock
    "df = pd.DataFrame()  # résumé\n" + base,         # non-ASCII: lowered by str.lower, regex lines
    ("DataFrame.groupby ÉTÉ\n" + base) * 500,          # long non-ASCII
    "",
]
NAMES = ["compute_total", "", None, "Benchmark_Workload"]

def calls():
    out = []
    for t in TEXTS:
        out.append(tg.score_framework_patterns(t))
        for fw in ("numpy", "pandas", "sklearn", "NumPy"):
            out.append(tg.quick_framework_score(t, fw))
        for n in NAMES:
            out.append(tg.score_indicators(t, n))
    out.append(tg.normalize_scores(3, 2, 1, 36, 14))
    out.append(tg.calculate_gpu_suitability(0.7, 0.4, 0.5, True, " 8.6"))
    out.append(tg.determine_workload_pattern(*([0.1] * 8), 0, 0, *([0.5] * 6), True))
    return out

EXPECTED = calls()

def worker():
    got = calls()
    assert got == EXPECTED, [(g, w) for g, w in zip(got, EXPECTED) if g != w][:2]

def churn():
    # Fresh texts of the same shapes, dropped at once, and collections, while the workers scan.
    for t in TEXTS:
        fresh = "".join([t, " "])
        tg.score_indicators(fresh, "x")
        tg.quick_framework_score(fresh, "pandas")
    gc.collect()

run([worker] * 4, [churn])
print("ok")
'''


@pytest.mark.parametrize("code", [TUNEJUDGE, TASKGAUGE], ids=["tunejudge", "taskgauge"])
def test_concurrent_calls_on_shared_inputs(run_child, code):
    done = run_child(textwrap.dedent(HARNESS) + textwrap.dedent(code), timeout=240)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout == "ok\n", (done.stdout, done.stderr[-3000:])
