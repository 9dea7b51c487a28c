"""Workload scoring against pure-Python twins of the contract and the interpreter's call floor."""

import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

from velmora.plugins.analyzer import taskgauge as tg  # noqa: E402

# ---------------------------------------------------------------- pure-Python twins

PATTERNS = {
    "numpy": re.compile(r"\b(numpy|np\.|ndarray|array|vectorize|matmul|linalg)\b", re.IGNORECASE),
    "pandas": re.compile(r"\b(pandas|pd\.|DataFrame|Series|groupby|merge|pivot)\b", re.IGNORECASE),
    "sklearn": re.compile(r"\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\b", re.IGNORECASE),
}
FRAMEWORKS = (
    ("numpy np. ndarray array matrix vectorize broadcast ufunc dot matmul linalg fft sum mean std var min max argmax "
     "argmin reshape transpose concatenate stack split").split(),
    ("pandas pd. dataframe series groupby apply agg transform merge join concat pivot melt query eval rolling "
     "resample sort_values").split(),
    ("sklearn fit predict transform score cross_val gridsearchcv randomizedsearchcv pipeline featureunion "
     "train_test_split classification regression clustering preprocessing model_selection metrics ensemble").split(),
)
INDICATORS = (
    ("for while range numpy scipy math calculation compute algorithm sum prod dot matmul fft linalg".split(), False),
    ("array list dict pandas dataframe allocate buffer cache append extend".split(), False),
    ("multiprocessing threading concurrent async parallel pool worker chunk batch processpoolexecutor "
     "threadpoolexecutor".split(), False),
    ("matmul dot tensordot @ fft ifft rfft convolve correlate sum mean std var sin cos exp log sqrt power ** add "
     "subtract multiply divide / * + - linalg linear_algebra array asarray zeros ones empty full".split(), True),
    ("reshape resize huge large gigabyte gb million billion 1e6 1e9 1024 megabyte mb".split(), False),
    ("workload benchmark intensive chunk_workload map apply vectorize broadcast".split(), True),
    ("global nonlocal lock mutex synchronized sequential ordered dependencies".split(), False),
)


def twin_quick(code, framework):
    if framework not in PATTERNS:
        return 0.0
    matches = len(PATTERNS[framework].findall(code))
    return 1.0 if matches > 10 else matches * 0.1


def twin_frameworks(code):
    low = code.lower()
    n = sum(1 for e in FRAMEWORKS[0] if e in low) * 0.04
    p = sum(1 for e in FRAMEWORKS[1] if e in low) * 0.05555555555555555
    s = sum(1 for e in FRAMEWORKS[2] if e in low) * 0.05555555555555555
    return (0.0 if n < 0 else min(n, 1.0), 0.0 if p < 0 else min(p, 1.0), 0.0 if s < 0 else min(s, 1.0))


def twin_indicators(code, function_name):
    low = code.lower()
    func = function_name.lower() if function_name else ""
    return tuple(sum(1 for e in entries if e in low or (by_name and e in func)) for entries, by_name in INDICATORS)


def twin_suitability(op, size, cpu, available, capability):
    if not available:
        return 0.0
    base = op * 0.6 + size * 0.4
    boost = cpu * 0.3
    boost = 0.0 if boost < 0 else min(boost, 0.3)
    factor = 1.0
    if capability:
        try:
            major = int(capability.split(".")[0])
            factor = 1.2 if major > 7 else 1.1 if major == 7 else 1.0 if major == 6 else 0.8
        except (ValueError, IndexError):
            pass
    v = (base + boost) * factor
    return 0.0 if v < 0 else min(v, 1.0)


def twin_pattern(cpu, mem, par, gpu, gpu_op, np_, pd_, sk, seq, emb, cpu_t, mem_t, gpu_t, np_t, pd_t, sk_t, avail):
    if sk > sk_t:
        return 12
    if pd_ > pd_t:
        return 10
    if np_ > np_t:
        return 8
    if avail and gpu > gpu_t:
        if gpu_op > 0.7 and cpu > 0.6:
            return 6
        return 7 if mem > 0.5 else 5
    if emb > 0 or par > 0.6:
        return 3
    if cpu > cpu_t:
        return 1
    if mem > mem_t:
        return 2
    return 4 if seq >= 3 else 0


# ---------------------------------------------------------------- source texts

SNIPPETS = [
    '''def normalise_{i}(values, eps=1e-9):
    """Scale the values of block {i} to unit variance."""
    total = 0.0
    for v in values:
        total += v * v
    scale = (total / max(len(values), 1)) ** 0.5
    return [v / (scale + eps) for v in values]
''',
    '''class Cache{i}:
    def __init__(self, size):
        self.entries = {{}}
        self.order = []
        self.size = size

    def get(self, key, default=None):
        if key in self.entries:
            self.order.remove(key)
            self.order.append(key)
        return self.entries.get(key, default)
''',
    '''def step_{i}(state, grid):
    rows, cols = grid.shape
    out = np.zeros((rows, cols))
    for r in range(1, rows - 1):
        out[r] = np.mean(grid[r - 1:r + 2], axis=0)
    return np.matmul(out, state.T)
''',
    '''def parse_line_{i}(line):
    key, _, value = line.partition("=")
    key = key.strip().lower()
    if not key or key.startswith("#"):
        return None
    return key, value.strip()
''',
]


def make_text(size, extra=""):
    parts, i = [], 0
    while sum(map(len, parts)) < size:
        parts.append(SNIPPETS[i % len(SNIPPETS)].format(i=i))
        if extra and i % 7 == 3:
            parts.append(extra)
        i += 1
    return "".join(parts)[:size]


SNIPPET = "import numpy as np\ndef f(a, b):\n    x = np.array(a).reshape(-1, 2)\n    return np.matmul(x, b).sum()\n"
TEXT_2K = make_text(2 * 1024)
TEXT_50K = make_text(50 * 1024)
TEXT_50K_INTL = make_text(50 * 1024, extra="# Größe prüfen — 检查数组大小 (ΣΑΣ)\n")


def register(bench):
    op = bench.op
    ns = {"tg": tg, "twin_quick": twin_quick, "twin_frameworks": twin_frameworks,
          "twin_indicators": twin_indicators, "snippet": SNIPPET}
    op("quick_framework_score(snippet, 'numpy')", "tg.quick_framework_score(snippet, 'numpy')",
       twin="twin_quick(snippet, 'numpy')", floor="snippet.startswith('numpy', 0)", ns=ns)
    for label, text in (("2KB", TEXT_2K), ("50KB", TEXT_50K), ("50KB non-ASCII", TEXT_50K_INTL)):
        bar = 3.0 if label.startswith("50KB") else None
        tns = dict(ns, text=text)
        for fw in ("numpy", "pandas"):  # numpy: many matches (stops after 11); pandas: none (full scan)
            op("quick_framework_score(%s, %r)" % (label, fw), "tg.quick_framework_score(text, %r)" % fw,
               twin="twin_quick(text, %r)" % fw, floor="text.startswith('numpy', 0)", ns=tns, twin_min=bar)
        op("score_framework_patterns(%s)" % label, "tg.score_framework_patterns(text)",
           twin="twin_frameworks(text)", floor="len(text)", ns=tns, twin_min=bar)
        op("score_indicators(%s, name)" % label, "tg.score_indicators(text, 'compute_chunk')",
           twin="twin_indicators(text, 'compute_chunk')", floor="text.startswith('numpy', 0)", ns=tns, twin_min=bar)

    cns = {"tg": tg, "twin_suitability": twin_suitability, "twin_pattern": twin_pattern,
           "args": (0.3, 0.2, 0.5, 0.1, 0.4, 0.1, 0.2, 0.1, 2, 0, 0.6, 0.6, 0.5, 0.3, 0.3, 0.3, False),
           "n": 5.0}
    op("calculate_gpu_suitability(.., '8.6')", "tg.calculate_gpu_suitability(0.5, 0.5, 0.5, True, '8.6')",
       twin="twin_suitability(0.5, 0.5, 0.5, True, '8.6')", floor="n.__round__(2)", ns=cns)
    op("determine_workload_pattern(17 args)", "tg.determine_workload_pattern(*args)", twin="twin_pattern(*args)",
       floor="max(*args)", ns=cns)


if __name__ == "__main__":
    sys.exit(harness.main(register))
