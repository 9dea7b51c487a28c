"""Scoring units with the native scorer: prose left out, frameworks credited only when imported,
evidence that agrees with the scorer, and the examples' classification."""

from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from velmora.analysis import keywords
from velmora.analysis.scoring import DEFAULT_THRESHOLDS, Analyzer
from velmora.plugins.analyzer import taskgauge

ROOT = Path(__file__).resolve().parents[2]
THRESHOLDS = {name: value for name, value, _ in DEFAULT_THRESHOLDS}
NO_GPU = {"gpu_available": False, "compute_capability": None, "cpus": 2, "gil_enabled": True}
FACTORS = {"numpy": 0.04, "pandas": 0.05555555555555555, "sklearn": 0.05555555555555555}


@pytest.fixture(scope="module")
def analyzer():
    return Analyzer(taskgauge, THRESHOLDS, NO_GPU)


def _units(analyzer, text):
    record = analyzer.analyze_source(text, "sample.py")
    return record, {u["name"]: u for u in record["units"]}


# ---------------------------------------------------------------- evidence agrees with the scorer

ALL_ENTRIES = sorted({e for t in list(keywords.FRAMEWORK_TABLES.values()) + list(keywords.INDICATOR_TABLES.values())
                      for e in t})
pieces = st.one_of(st.sampled_from(ALL_ENTRIES), st.sampled_from(["x", "_", ".", " ", "(", ")", "1", "NP.", "Sum"]),
                   st.text(alphabet="abcdefghijklmnopqrstuvwxyz_", min_size=1, max_size=6))


@settings(max_examples=200, deadline=None)
@given(st.lists(pieces, max_size=25), st.one_of(st.none(), st.sampled_from(["apply_map", "vectorize_sum", "f"])))
def test_evidence_lists_exactly_what_the_scorer_counts(parts, name):
    code = "".join(parts)
    found, by_name = keywords.matched(code, name)
    counts = dict(zip(keywords.INDICATOR_TABLES, taskgauge.score_indicators(code, name)))
    for category, count in counts.items():
        assert len(found[category]) + len(by_name.get(category, [])) == count, category
    for fw, score in zip(("numpy", "pandas", "sklearn"), taskgauge.score_framework_patterns(code)):
        assert min(len(found[fw]) * FACTORS[fw], 1.0) == score, fw
    low = code.lower()
    assert keywords.entries_in(code) == {e for e in ALL_ENTRIES if e in low}


# ---------------------------------------------------------------- prose and imports

NUMPY_BODY = ("def normalise(a):\n"
              "    mean = np.mean(a, axis=0)\n"
              "    std = np.std(a, axis=0)\n"
              "    return np.clip((a - mean) / std, -3, 3).reshape(-1)\n")


def test_framework_scores_count_only_in_files_that_import_the_framework(analyzer):
    _, without = _units(analyzer, NUMPY_BODY)
    record, with_import = _units(analyzer, "import numpy as np\n\n" + NUMPY_BODY)
    bare, imported = without["normalise"], with_import["normalise"]
    assert bare["frameworks_found"]["numpy"] == imported["frameworks_found"]["numpy"] > THRESHOLDS["numpy"]
    assert bare["frameworks"]["numpy"] == 0.0 and bare["pattern"] != "NUMPY_VECTORIZED"
    assert imported["frameworks"] == imported["frameworks_found"] and imported["pattern"] == "NUMPY_VECTORIZED"
    assert imported["evidence"]["imports"] == ["import numpy as np"]
    assert imported["evidence"]["uses"] == {"numpy": ["np"]} and imported["evidence"]["credited"] == ["numpy"]
    assert record["frameworks_imported"] == ["numpy"] and record["imports"] == ["import numpy as np"]


def test_a_unit_without_the_framework_names_is_still_credited_in_an_importing_file(analyzer):
    # Methods called on a data frame passed in: no `pd` in the unit, but the file imports pandas.
    _, units = _units(analyzer, "import pandas as pd\n\ndef report(frame):\n"
                                "    return frame.groupby('k').agg('sum').sort_values('v')\n")
    unit = units["report"]
    assert unit["pattern"] == "PANDAS_DATAFRAME" and unit["evidence"]["uses"] == {}
    assert unit["evidence"]["keywords"]["pandas"] == ["groupby", "agg", "sort_values"]


def test_docstrings_comments_and_strings_do_not_count(analyzer):
    text = ('def tiny(x):\n    """numpy ndarray matrix broadcast ufunc dot matmul linalg fft mean std var"""\n'
            '    # pandas dataframe groupby merge pivot, sklearn fit predict pipeline\n'
            '    label = "benchmark workload intensive map apply multiprocessing threading pool"\n'
            '    return x\n')
    _, units = _units(analyzer, "import numpy\nimport pandas\nimport sklearn\n" + text)
    unit = units["tiny"]
    assert unit["frameworks_found"] == {"numpy": 0.0, "pandas": 0.0, "sklearn": 0.0}
    assert unit["indicators"]["embarrassing"] == 0 and unit["indicators"]["parallel"] == 0
    assert unit["pattern"] == "MIXED"


def test_the_file_verdict_scores_the_whole_code_and_its_evidence_is_the_units_union(analyzer):
    record, units = _units(analyzer, "import numpy as np\n\nGRID = np.zeros((4, 4))\n\n" + NUMPY_BODY +
                           "\ndef total(xs):\n    return sum(x for x in xs)\n")
    verdict = record["verdict"]
    for table, found in verdict["evidence"]["keywords"].items():
        union = set().union(*(u["evidence"]["keywords"][table] for u in units.values()))
        assert set(found) == union, table
    assert verdict["loops"]["count"] == sum(u["loops"]["count"] for u in units.values())


# ---------------------------------------------------------------- the examples

EXAMPLE_UNITS = [
    ("plain_loops.py", "sieve", "CPU_INTENSIVE", "vectorise"),
    ("plain_loops.py", "longest_collatz", "CPU_INTENSIVE", "leave alone"),
    ("signal_fft.py", "peak_frequencies", "NUMPY_VECTORIZED", "vectorise"),
    ("array_normalise.py", "standardise", "NUMPY_VECTORIZED", "leave alone"),
    ("linear_algebra.py", "power_iteration", "NUMPY_VECTORIZED", "leave alone"),
    ("customer_join.py", "slowest_paying_accounts", "PANDAS_DATAFRAME", "leave alone"),
    ("train_classifier.py", "tuned_forest", "SKLEARN_TRAINING", "leave alone"),
    ("process_pool_primes.py", "parallel_count", "PARALLEL_FRIENDLY", "leave alone"),
    ("process_pool_primes.py", "count_primes", "CPU_INTENSIVE", "leave alone"),
    ("locked_ledger.py", "Ledger.balance", "MIXED", "leave alone"),
]


@pytest.mark.parametrize("file, unit, pattern, action", EXAMPLE_UNITS)
def test_example_units_are_classified_and_advised_as_their_code_suggests(analyzer, file, unit, pattern, action):
    record = analyzer.analyze_file(str(ROOT / "examples" / file))
    found = {u["name"]: u for u in record["units"]}[unit]
    assert (found["pattern"], found["advice"]["action"]) == (pattern, action)


def test_most_example_units_get_a_pattern():
    a = Analyzer(taskgauge, THRESHOLDS, NO_GPU)
    units = [u for f in sorted((ROOT / "examples").glob("*.py")) for u in a.analyze_file(str(f))["units"]]
    mixed = sum(u["pattern"] == "MIXED" for u in units)
    assert len(units) == 69 and mixed <= len(units) // 2
