"""Workload scoring against pure-Python twins and the interpreter's call floor.

The twins are the model of tests/reference/taskgauge.py (stateless functions, no lock).
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

from velmora.plugins.analyzer import taskgauge as tg  # noqa: E402

from reference import taskgauge as model  # noqa: E402

twin_quick = model.quick_framework_score
twin_frameworks = model.score_framework_patterns
twin_indicators = model.score_indicators
twin_suitability = model.calculate_gpu_suitability
twin_pattern = model.determine_workload_pattern

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
