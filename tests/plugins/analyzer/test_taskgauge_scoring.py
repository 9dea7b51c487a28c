"""taskgauge's text scoring matches the pure-Python model (tests/reference) on ASCII and non-ASCII text."""
import threading

import pytest
from hypothesis import given, settings, strategies as st

from velmora.plugins.analyzer import taskgauge as tg

from reference import taskgauge as ref

# ---------------------------------------------------------------- text generators

# Pieces that make matches, near-misses and word boundaries likely, plus the non-ASCII characters
# whose case mapping or regex case-equivalence reaches ASCII letters (dotted/dotless i, Kelvin sign,
# long s), letters that lower-case to several characters, non-ASCII word characters and marks.
KEYWORDS = sorted({e for _, es, _ in ref.FRAMEWORK_TABLES for e in es}
                  | {e for es, _ in ref.INDICATOR_TABLES for e in es}
                  | {"DataFrame", "GridSearchCV", "RandomForest", "Series", "np.", "pd."})
PIECES = KEYWORDS + [w.upper() for w in KEYWORDS[::3]] + [
    " ", "\n", ".", "_", "x", "1", "(", ")", "=", "\t", "ß", "é", "²", "٣", "\u0301", "\u00a0",
    "İ", "ı", "ſ", "\u212a", "ΣΑΣ", "文本", "\U0001d400", "\ud800", "\x00", "ﬁt", "ſklearn",
    "numpı", "\u212aey", "fİt", "np\u0130", "pandaſ", "ARRAY", "DaTaFrAmE", "sum\u0130",
]
texts = st.one_of(
    st.lists(st.sampled_from(PIECES), max_size=40).map("".join),
    st.lists(st.sampled_from(PIECES + [" "] * 10), max_size=25).map(" ".join),
    st.text(max_size=60),
)
ascii_texts = st.lists(st.sampled_from([p for p in PIECES if p.isascii()]), max_size=60).map("".join)


# ---------------------------------------------------------------- randomized comparisons

@settings(max_examples=300, deadline=None)
@given(texts, st.sampled_from(["numpy", "pandas", "sklearn"]))
def test_quick_score_matches_regex_model(code, framework):
    assert tg.quick_framework_score(code, framework) == ref.quick_framework_score(code, framework)


@settings(max_examples=150, deadline=None)
@given(ascii_texts, st.sampled_from(["numpy", "pandas", "sklearn"]))
def test_quick_score_matches_regex_model_ascii(code, framework):
    # ASCII texts take the native matcher only; mixed texts above also exercise the regex fallback.
    assert tg.quick_framework_score(code, framework) == ref.quick_framework_score(code, framework)


@settings(max_examples=300, deadline=None)
@given(texts)
def test_framework_tables_match_model(code):
    assert tg.score_framework_patterns(code) == ref.score_framework_patterns(code)


@settings(max_examples=300, deadline=None)
@given(texts, st.one_of(st.none(), texts))
def test_indicators_match_model(code, function_name):
    assert tg.score_indicators(code, function_name) == ref.score_indicators(code, function_name)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers(-2**31, 2**31 - 1) | st.integers(-3, 50), min_size=5, max_size=5))
def test_normalize_matches_model(counts):
    assert tg.normalize_scores(*counts) == ref.normalize_scores(*counts)


@settings(max_examples=150, deadline=None)
@given(st.integers(1024, 6000), st.sampled_from(KEYWORDS), st.integers(0, 3), st.integers(-24, 24),
       st.sampled_from(["7", " ", "é"]))
def test_keywords_across_scan_lanes(size, word, lane, shift, filler):
    # Long texts are scanned in interleaved lanes over consecutive quarters; a keyword straddling
    # a quarter's edge must still count.
    total = size + len(word)
    at = max(0, min(size, lane * (total // 4) + shift))
    code = filler * at + word + filler * (size - at)
    assert tg.score_framework_patterns(code) == ref.score_framework_patterns(code)
    assert tg.score_indicators(code, None) == ref.score_indicators(code, None)


@pytest.mark.parametrize("repeat", [1, 40, 2000])
@pytest.mark.parametrize("tail", ["", " numpy İ", " ſum \u212aey", "\n# 注释 array\n"])
def test_long_texts_match_model(repeat, tail):
    # Long enough to cross the block and lock-release sizes of the scanner.
    body = "df.groupby('k').agg(x)\nfor i in range(n): total += np.dot(a, b)  # lock\n" * repeat + tail
    for code in (body, body.upper(), tail + body):
        assert tg.score_framework_patterns(code) == ref.score_framework_patterns(code)
        assert tg.score_indicators(code, "Chunk_Workload") == ref.score_indicators(code, "Chunk_Workload")
        for fw in ref.PATTERNS:
            assert tg.quick_framework_score(code, fw) == ref.quick_framework_score(code, fw)


# ---------------------------------------------------------------- cases the contract names

SNIPPET = "import numpy as np\nx = np.array([1,2])\ny = np.matmul(x, x)"


@pytest.mark.parametrize("code, framework, expected", [
    (SNIPPET, "numpy", 0.5),
    (SNIPPET, "NumPy", 0.0),
    (SNIPPET, None, 0.0),
    (SNIPPET, "", 0.0),
    ("array " * 11, "numpy", 1.0),
    ("array " * 10, "numpy", 1.0),
    ("array " * 3, "numpy", 0.30000000000000004),
    ("DATAFRAME", "pandas", 0.1),
    ("np.array", "numpy", 0.2),          # '.' then a word character: two matches
    ("ndarray", "numpy", 0.1),           # not also "array": no boundary inside a word
    ("np.", "numpy", 0.0),               # no word character after the '.'
    ("x_fit fit2 fit", "sklearn", 0.1),  # '_' and digits are word characters
    ("ſklearn", "sklearn", 0.1),         # long s is case-equivalent to 's' for the regex
    ("é fit", "sklearn", 0.1),
    ("éfit", "sklearn", 0.0),            # é is a word character
])
def test_quick_score_cases(code, framework, expected):
    assert tg.quick_framework_score(code, framework) == expected


def test_quick_score_unknown_framework_ignores_code():
    assert tg.quick_framework_score(None, "spark") == 0.0


def test_framework_and_indicator_cases():
    assert tg.score_framework_patterns(SNIPPET) == (0.16, 0.0, 0.0)
    assert tg.score_indicators("for i in range(10):\n    total = sum(data)", "compute_total") == \
        (3, 0, 0, 1, 0, 0, 0)
    assert tg.score_indicators("", "") == (0,) * 7
    assert tg.score_indicators("summary summary", None) == tg.score_indicators("summary summary", "")
    assert tg.score_indicators("a - b", "") == (0, 0, 0, 1, 0, 0, 0)
    # Only gpu_op and embarrassing look at the function name.
    assert tg.score_indicators("", "map_lock_sum_pool") == (0, 0, 0, 1, 0, 1, 0)


@pytest.mark.parametrize("code, expected", [
    ("\u212a", "k"), ("STAC\u212a", None), ("İNPLACE", None), ("ΣUM", None), ("NUMPY ﬁt", None),
])
def test_non_ascii_lowercasing(code, expected):
    # Kelvin sign lower-cases to 'k' ("stack"); İ to "i̇" (the dot breaks a match after the i).
    if expected is not None:
        assert code.lower() == expected
    assert tg.score_framework_patterns(code) == ref.score_framework_patterns(code)
    assert tg.score_indicators(code, code) == ref.score_indicators(code, code)


def test_normalize_cases():
    assert tg.normalize_scores(15, 10, 11, 36, 13) == (1.0,) * 5
    assert tg.normalize_scores(30, 0, 0, 0, 0) == (1.0, 0.0, 0.0, 0.0, 0.0)
    assert tg.normalize_scores(-1, -5, -2**31, 0, 1) == (0.0, 0.0, 0.0, 0.0, 0.07692307692307693)
    assert tg.normalize_scores(3.9, 1, 1, 1, 1)[0] == 3 * 0.06666666666666667


# ---------------------------------------------------------------- argument handling

@pytest.mark.parametrize("call, message", [
    (lambda: tg.quick_framework_score(1, "numpy"), "Argument 'code' has incorrect type (expected str, got int)"),
    (lambda: tg.quick_framework_score("x", b"numpy"),
     "Argument 'framework' has incorrect type (expected str, got bytes)"),
    (lambda: tg.score_framework_patterns(type("S", (str,), {})("x")),
     "Argument 'code' has incorrect type (expected str, got S)"),
    (lambda: tg.score_indicators("x", 3.5),
     "Argument 'function_name' has incorrect type (expected str, got float)"),
    (lambda: tg.quick_framework_score("x"), "quick_framework_score() takes exactly 2 positional arguments (1 given)"),
    (lambda: tg.score_framework_patterns(), "score_framework_patterns() takes exactly 1 positional argument (0 given)"),
    (lambda: tg.score_indicators(code="x", function_name="y", name="z"),
     "score_indicators() got an unexpected keyword argument 'name'"),
    (lambda: tg.normalize_scores(1, 2, 3, 4), "normalize_scores() takes exactly 5 positional arguments (4 given)"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("call", [
    lambda: tg.score_framework_patterns(None),
    lambda: tg.score_indicators(None, "f"),
    lambda: tg.quick_framework_score(None, "numpy"),
])
def test_none_code_fails_like_the_string_operations(call):
    with pytest.raises(TypeError):
        call()


def test_normalize_overflow():
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        tg.normalize_scores(0, 0, 0, 0, 2**31)


def test_keywords_and_module_surface():
    assert tg.score_indicators(function_name="sum", code="") == (0, 0, 0, 1, 0, 0, 0)
    assert tg.quick_framework_score(framework="numpy", code="numpy") == 0.1
    assert not hasattr(tg, "_COMPILED_PATTERNS")
    assert tg.logger.name == "velmora.plugins.analyzer.taskgauge"
    docs = {
        "quick_framework_score": "Fast pattern scoring using precompiled regex.",
        "score_framework_patterns": "Score code for framework-specific patterns.",
        "score_indicators": "Score code against all indicator categories.",
        "normalize_scores": "Normalize indicator scores to 0.0-1.0 range.",
    }
    for name, doc in docs.items():
        fn = getattr(tg, name)
        assert (fn.__doc__, fn.__name__, fn.__defaults__) == (doc, name, None)


def test_threads_agree():
    # Large texts are scanned without the interpreter lock; results must not depend on interleaving.
    texts_ = ["x = np.array(data) * 2 ; lock.acquire()\n" * 3000, "df.groupby(k).mean() ΣΣ\n" * 3000]
    expected = [(tg.score_framework_patterns(t), tg.score_indicators(t, "f")) for t in texts_]
    errors = []

    def worker(i):
        for _ in range(20):
            t = texts_[i % 2]
            if (tg.score_framework_patterns(t), tg.score_indicators(t, "f")) != expected[i % 2]:
                errors.append(i)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
