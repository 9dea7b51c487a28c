"""taskgauge's workload classification agrees bit for bit with the reference model, end to end on a corpus."""
import logging
import math
import struct
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

from velmora.plugins.analyzer import taskgauge as tg

from reference import taskgauge as ref


def same(a, b):
    """Bit-for-bit float equality (NaN equals NaN, 0.0 differs from -0.0)."""
    return struct.pack("<d", a) == struct.pack("<d", b)


floats = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(-2.0, 2.0),
    st.sampled_from([0.0, -0.0, 0.3, 0.6, 0.7, 0.8, 0.4, 0.5, 1.0, 0.1 + 0.2]),
)
capabilities = st.one_of(
    st.none(), st.sampled_from(["", "8.6", "12.0", "7.5", "6.1", "5.0", "abc", ".", " 7 .0", "+8", "-3.1",
                                "1_0.0", "８.0", "7", "0x8", "2147483647.1", "-2147483648", "\u00a07\u2003"]),
    st.from_regex(r"\A[ +\-]?[0-9_]{0,4}(\.[0-9a-z]{0,3})?\Z"),
    st.text(max_size=6),
)
ints = st.one_of(st.integers(-2**31, 2**31 - 1), st.integers(-2, 5))


# ---------------------------------------------------------------- randomized comparisons

@settings(max_examples=400, deadline=None)
@given(floats, floats, floats, st.booleans(), capabilities)
def test_gpu_suitability_matches_model(op, size, cpu, available, capability):
    assert same(tg.calculate_gpu_suitability(op, size, cpu, available, capability),
                ref.calculate_gpu_suitability(op, size, cpu, available, capability))


@settings(max_examples=300, deadline=None)
@given(floats, floats, st.booleans())
def test_speedup_matches_model(op, size, available):
    assert same(tg.estimate_gpu_speedup(op, size, available), ref.estimate_gpu_speedup(op, size, available))


@settings(max_examples=300, deadline=None)
@given(floats, floats, floats, floats)
def test_parallelization_matches_model(base, emb, seq, chunking):
    assert same(tg.calculate_parallelization_potential(base, emb, seq, chunking),
                ref.calculate_parallelization_potential(base, emb, seq, chunking))


@settings(max_examples=200, deadline=None)
@given(st.tuples(*[floats] * 8), ints, ints, st.tuples(*[floats] * 6), st.booleans())
def test_pattern_matches_model(scores, seq, emb, thresholds, available):
    args = (*scores, seq, emb, *thresholds, available)
    assert tg.determine_workload_pattern(*args) == ref.determine_workload_pattern(*args)


@settings(max_examples=300, deadline=None)
@given(floats, floats, floats, floats, floats)
def test_threshold_matches_model(current, success, rate, lo, hi):
    assert same(tg.update_adaptive_threshold(current, success, rate, lo, hi),
                ref.update_adaptive_threshold(current, success, rate, lo, hi))


# ---------------------------------------------------------------- cases the contract names

@pytest.mark.parametrize("capability, expected", [
    ("8.6", 0.78), ("12.0", 0.78), ("7.5", 0.7150000000000001), ("6.1", 0.65), ("abc", 0.65), ("", 0.65),
    (None, 0.65), ("5.0", 0.52), ("0", 0.52), ("-9.0", 0.52), (" 7 .5", 0.7150000000000001), ("+8", 0.78),
])
def test_gpu_suitability_cases(capability, expected):
    assert tg.calculate_gpu_suitability(0.5, 0.5, 0.5, True, capability) == expected


def test_gpu_suitability_limits():
    assert tg.calculate_gpu_suitability(0.5, 0.5, 0.5, False, "8.6") == 0.0
    assert tg.calculate_gpu_suitability(1.0, 1.0, 1.0, True, "8.6") == 1.0
    assert tg.calculate_gpu_suitability(math.nan, 0.5, 0.5, True, "8.6") == 0.0
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        tg.calculate_gpu_suitability(0.5, 0.5, 0.5, True, "99999999999.5")
    with pytest.raises(TypeError) as info:
        tg.calculate_gpu_suitability(0.5, 0.5, 0.5, False, 8.6)
    assert str(info.value) == "Argument 'compute_capability' has incorrect type (expected str, got float)"
    with pytest.raises(TypeError):
        tg.calculate_gpu_suitability("0.5", 0.5, 0.5, True, None)


@pytest.mark.parametrize("args, expected", [
    ((0.9, 1.0, True), 22.5), ((0.7, 0.0, True), 8.0), ((0.5, 0.5, True), 5.0), ((0.2, 0.0, True), 2.0),
    ((0.8, 0.0, True), 8.0), ((0.3, 0.0, True), 2.0), ((0.0, 1.0, True), 1.0), ((0.9, 1.0, False), 1.0),
    ((-1.0, 0.0, True), 2.0), ((0.9, math.inf, True), math.inf),
])
def test_speedup_cases(args, expected):
    assert tg.estimate_gpu_speedup(*args) == expected


@pytest.mark.parametrize("args, expected", [
    ((0.5, 1.0, 1.0, 0.5), 0.7999999999999999), ((0.2, 0.0, 5.0, 0.0), 0.0), ((0.9, 10.0, 0.0, 1.0), 1.0),
    ((math.nan, 0.0, 0.0, 0.0), 0.0), ((0.5, math.nan, math.nan, 0.0), 0.5),
])
def test_parallelization_cases(args, expected):
    assert tg.calculate_parallelization_potential(*args) == expected


ZERO = dict(cpu=0.0, mem=0.0, par=0.0, gpu=0.0, gpu_op=0.0, np_=0.0, pd_=0.0, sk=0.0, seq=0, emb=0,
            cpu_t=0.5, mem_t=0.5, gpu_t=0.5, np_t=0.5, pd_t=0.5, sk_t=0.5, avail=False)


def pattern(**changes):
    return tg.determine_workload_pattern(*{**ZERO, **changes}.values())


@pytest.mark.parametrize("changes, expected", [
    ({}, 0), ({"seq": 3}, 4), ({"seq": 2}, 0), ({"emb": 1}, 3), ({"par": 0.61}, 3), ({"par": 0.6}, 0),
    ({"sk": 0.6, "pd_": 0.9, "np_": 0.9, "avail": True, "gpu": 1.0}, 12), ({"pd_": 0.6, "np_": 0.9}, 10),
    ({"np_": 0.6, "emb": 4}, 8), ({"np_": 0.5}, 0), ({"cpu": 0.51}, 1), ({"mem": 0.51}, 2),
    ({"avail": True, "gpu": 0.6, "gpu_op": 0.8, "cpu": 0.7}, 6), ({"avail": True, "gpu": 0.6, "mem": 0.6}, 7),
    ({"avail": True, "gpu": 0.6, "emb": 3}, 5), ({"avail": False, "gpu": 0.9, "cpu": 0.9}, 1),
    ({"avail": True, "gpu": 0.5, "cpu": 0.9}, 1),
])
def test_pattern_cases(changes, expected):
    assert pattern(**changes) == expected


@pytest.mark.parametrize("args, expected", [
    ((0.5, 0.9, 0.05, 0.1, 0.9), 0.55), ((0.5, 0.3, 0.05, 0.1, 0.9), 0.45), ((0.5, 0.6, 0.05, 0.1, 0.9), 0.5),
    ((0.5, 0.8, 0.05, 0.1, 0.9), 0.5), ((0.5, 0.4, 0.05, 0.1, 0.9), 0.5), ((0.88, 0.9, 0.05, 0.1, 0.9), 0.9),
    ((0.12, 0.1, 0.05, 0.1, 0.9), 0.1), ((0.5, 0.1, 0.05, 0.9, 0.1), 0.9),
])
def test_threshold_cases(args, expected):
    assert tg.update_adaptive_threshold(*args) == expected


@pytest.mark.parametrize("call, exc, message", [
    (lambda: tg.determine_workload_pattern(*([0.0] * 8), 2**31, 0, *([0.5] * 6), True), OverflowError,
     "value too large to convert to int"),
    (lambda: tg.estimate_gpu_speedup(0.5, 0.5), TypeError,
     "estimate_gpu_speedup() takes exactly 3 positional arguments (2 given)"),
    (lambda: tg.update_adaptive_threshold(0.5, 0.5, 0.1, 0.0, 1.0, max=1.0), TypeError,
     "update_adaptive_threshold() got an unexpected keyword argument 'max'"),
    # determine_workload_pattern binds seventeen parameters, positionally or by keyword.
    (lambda: tg.determine_workload_pattern(*([0.0] * 16)), TypeError,
     "determine_workload_pattern() takes exactly 17 positional arguments (16 given)"),
    (lambda: tg.determine_workload_pattern(*([0.0] * 18)), TypeError,
     "determine_workload_pattern() takes exactly 17 positional arguments (18 given)"),
    (lambda: tg.determine_workload_pattern(*([0.0] * 3), **{n: 0.0 for n in NAMES[4:]}), TypeError,
     "determine_workload_pattern() takes exactly 17 positional arguments (3 given)"),
    (lambda: tg.determine_workload_pattern(*([0.0] * 17), cpu_intensity=1.0), TypeError,
     "determine_workload_pattern() got multiple values for keyword argument 'cpu_intensity'"),
    (lambda: tg.determine_workload_pattern(*([0.0] * 17), gpu=1.0), TypeError,
     "determine_workload_pattern() got an unexpected keyword argument 'gpu'"),
])
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


NAMES = ["cpu_intensity", "memory_intensity", "parallelization_potential", "gpu_suitability", "gpu_operation_score",
         "numpy_score", "pandas_score", "sklearn_score", "sequential_count", "embarrassing_count", "cpu_threshold",
         "memory_threshold", "gpu_threshold", "numpy_threshold", "pandas_threshold", "sklearn_threshold",
         "gpu_available"]


def test_pattern_by_keyword():
    values = dict(zip(NAMES, ZERO.values()))
    assert tg.determine_workload_pattern(**{**values, "sequential_count": 3}) == 4
    assert tg.determine_workload_pattern(0.0, 0.0, **{**dict(list(values.items())[2:]), "sklearn_score": 0.9}) == 12
    assert tg.determine_workload_pattern.__text_signature__ == "(" + ", ".join(NAMES) + ")"
    assert list(tg.determine_workload_pattern.__annotations__) == NAMES + ["return"]


def test_pattern_truncates_counts_and_uses_truth_values():
    assert pattern(seq=3.9) == 4 and pattern(seq=2.9) == 0
    assert pattern(avail=[1], gpu=0.6) == 5 and pattern(avail=[], gpu=0.6) == 0


def test_docstrings_and_banner():
    docs = {
        "calculate_gpu_suitability": "Calculate overall GPU suitability score.",
        "estimate_gpu_speedup": "Estimate GPU speedup from static code analysis.",
        "calculate_parallelization_potential": "Calculate parallelization potential score.",
        "determine_workload_pattern": "Determine primary workload pattern from scores.",
        "update_adaptive_threshold": "Update adaptive threshold based on performance feedback.",
    }
    for name, doc in docs.items():
        assert (getattr(tg, name).__doc__, getattr(tg, name).__defaults__) == (doc, None)
    out = subprocess.run(
        [sys.executable, "-c", "import logging; logging.basicConfig(level=logging.INFO, format="
         "'%(name)s|%(levelname)s|%(message)s'); import velmora.plugins.analyzer.taskgauge"],
        capture_output=True, text=True, timeout=60, env=None, cwd=None, check=True)
    lines = [ln for ln in out.stderr.splitlines() if ln.startswith("velmora.plugins.analyzer.taskgauge|")]
    assert len(lines) == 1 and "|INFO|" in lines[0] and "Velmora" in lines[0]
    assert isinstance(tg.logger, logging.Logger)


# ---------------------------------------------------------------- corpus, end to end

CORPUS = [
    ("numeric", "vec_ops", 8, """\
import numpy as np
def vec_ops(a, b):
    x = np.array(a).reshape(-1, 3)
    y = np.linalg.inv(np.matmul(x.T, x))
    return np.vectorize(lambda v: v * 2)(y).sum(), np.ndarray
"""),
    ("data-frame", "summarise", 10, """\
import pandas as pd
def summarise(path):
    df = pd.read_csv(path)
    out = df.groupby("region").agg({"sales": "sum"})
    return pd.merge(out, df.pivot(index="a", columns="b"), on="region")
"""),
    ("machine-learning", "train", 12, """\
from sklearn.ensemble import RandomForestClassifier
from sklearn.model_selection import GridSearchCV, train_test_split
def train(X, y):
    X_train, X_test, y_train, y_test = train_test_split(X, y)
    model = GridSearchCV(RandomForestClassifier(), {"n": [10]}).fit(X_train, y_train)
    return model.predict(X_test), model.transform(X_test)
"""),
    ("threading", "run_jobs", 3, """\
import threading
from concurrent.futures import ThreadPoolExecutor
def run_jobs(jobs):
    with ThreadPoolExecutor(max_workers=4) as pool:
        return list(pool.map(handle, jobs))
"""),
    ("plain loop", "walk", 0, """\
def walk(items):
    for item in items:
        print(item)
"""),
    ("sequential", "step", 4, """\
def step(state):
    global counter
    with state_lock:
        counter = 1
    # sequential, ordered
"""),
    ("non-ASCII numeric", "berechne", 8, """\
# 计算矩阵 — calcul de la matrice, Größe ≥ 2
import numpy as np
def berechne(a, b):
    résultat = np.matmul(a, b)  # produit
    return np.array(résultat).reshape(2, 2)
"""),
    ("non-ASCII plain", "größe", 0, """\
def größe(ΣΑΣ):
    # Überprüfung der Länge — 文本 İSTANBUL
    return len(ΣΑΣ)
"""),
]


def classify(code, function_name, gpu_available=False, capability=None):
    cpu, mem, par, gpu_op, large, emb, seq = tg.score_indicators(code, function_name)
    ncpu, nmem, npar, ngpu, nlarge = tg.normalize_scores(cpu, mem, par, gpu_op, large)
    np_, pd_, sk = tg.score_framework_patterns(code)
    np_ = max(np_, tg.quick_framework_score(code, "numpy"))
    pd_ = max(pd_, tg.quick_framework_score(code, "pandas"))
    sk = max(sk, tg.quick_framework_score(code, "sklearn"))
    gpu = tg.calculate_gpu_suitability(ngpu, nlarge, ncpu, gpu_available, capability)
    assert gpu == ref.calculate_gpu_suitability(ngpu, nlarge, ncpu, gpu_available, capability)
    potential = tg.calculate_parallelization_potential(npar, emb, seq, 0.0)
    assert potential == ref.calculate_parallelization_potential(npar, emb, seq, 0.0)
    args = (ncpu, nmem, potential, gpu, ngpu, np_, pd_, sk, seq, emb, 0.6, 0.6, 0.5, 0.3, 0.3, 0.3,
            gpu_available)
    code_ = tg.determine_workload_pattern(*args)
    assert code_ == ref.determine_workload_pattern(*args)
    return code_


@pytest.mark.parametrize("label, function_name, expected, code", CORPUS, ids=[c[0] for c in CORPUS])
def test_corpus_classification(label, function_name, expected, code):
    assert classify(code, function_name) == expected
