"""The suggested action of a unit: rules, host facts, and the speed-up models."""

import pytest

from velmora.analysis import advice
from velmora.analysis.scoring import DEFAULT_THRESHOLDS, Analyzer
from velmora.plugins.analyzer import taskgauge

THRESHOLDS = {name: value for name, value, _ in DEFAULT_THRESHOLDS}
HOST = {"gpu_available": False, "compute_capability": None, "cpus": 2, "gil_enabled": True}


def unit_of(text, name, **host):
    analyzer = Analyzer(taskgauge, THRESHOLDS, dict(HOST, **host))
    return {u["name"]: u for u in analyzer.analyze_source(text, "sample.py")["units"]}[name]


NUMERIC_LOOP = "def grid(n):\n    out = []\n    for i in range(n):\n        for j in range(n):\n" \
               "            out.append(i * j - i // 2)\n    return out\n"
TEXT_LOOP = "def names(rows):\n    out = []\n    for row in rows:\n        for col in range(3):\n" \
            "            out.append(row.title())\n    return out\n"
FILE_LOOP = "def sizes(paths):\n    out = {}\n    for i in range(len(paths)):\n        with open(paths[i]) as fh:\n" \
            "            out[i] = len(fh.read())\n    return out\n"
WRITE_LOOP = "def pad(out, count):\n    for i in range(count // 1024):\n        out.write(b'0' * 1024 - i % 2)\n" \
             "    return count - count % 1024\n"
POOLED = "from concurrent.futures import ProcessPoolExecutor\n\ndef run(items):\n" \
         "    with ProcessPoolExecutor() as pool:\n        return list(pool.map(work, items))\n"
ARRAYS = "import numpy as np\n\ndef scale(a):\n    return np.clip(a - a.mean(), 0, None) / a.std()\n"
ARRAY_LOOP = "import numpy as np\n\ndef rows(a):\n    out = np.empty(len(a))\n    for k in range(len(a)):\n" \
             "        out[k] = np.max(a[k]) - np.min(a[k])\n    return out\n"
CARRIED = "def power(m, v, steps):\n    for _ in range(steps):\n        v = m @ v\n        v = v / norm(v)\n" \
          "    return v\n"
MAP_WORD = "def lookup(mapping, key):\n    return mapping.get(key)\n"
GPU_HEAVY = "import numpy as np\n\ndef heavy(a, b):\n" \
            "    c = np.matmul(a, b) + np.dot(a, b) * np.exp(a) - np.sqrt(b)\n" \
            "    d = np.fft.fft(c) / np.log(a) ** 2 + np.sin(a) + np.cos(b) + np.tensordot(a, b)\n" \
            "    e = np.linalg.solve(a, b) + np.asarray(d).sum() + np.zeros(3) + np.ones(3) + np.empty(3)\n" \
            "    return np.convolve(e, d).mean() + np.power(a, 2).std() + np.multiply(a, b).var()\n"


@pytest.mark.parametrize("text, name, host, action, reason", [
    (NUMERIC_LOOP, "grid", {}, advice.VECTORISE, "arithmetic"),
    (TEXT_LOOP, "names", {"cpus": 4}, advice.PROCESSES, "CPU-bound under the GIL"),
    (TEXT_LOOP, "names", {"cpus": 4, "gil_enabled": False}, advice.THREADS, "no GIL"),
    (TEXT_LOOP, "names", {"cpus": 2}, advice.LEAVE, "estimated 1.25x, too little"),
    (FILE_LOOP, "sizes", {"cpus": 4}, advice.THREADS, "waits on I/O (open, read)"),
    (WRITE_LOOP, "pad", {"cpus": 4}, advice.THREADS, "waits on I/O (write)"),
    (POOLED, "run", {}, advice.LEAVE, "already runs concurrently"),
    (ARRAYS, "scale", {}, advice.LEAVE, "already runs inside numpy"),
    (ARRAY_LOOP, "rows", {}, advice.VECTORISE, "Python loops around numpy"),
    (CARRIED, "power", {}, advice.LEAVE, "v carried"),
    (MAP_WORD, "lookup", {}, advice.LEAVE, "parallel-friendly for: map"),
    (GPU_HEAVY, "heavy", {"gpu_available": True, "compute_capability": "8.6"}, advice.GPU, "GPU suitability"),
    (GPU_HEAVY, "heavy", {}, advice.LEAVE, "already runs inside numpy"),
])
def test_each_rule_gives_its_action_and_says_why(text, name, host, action, reason):
    unit = unit_of(text, name, **host)
    got = unit["advice"]
    assert got["action"] == action, (unit["pattern"], got)
    assert reason in got["reason"]
    if action == advice.LEAVE:
        assert got["speedup"] == 1.0 and got["gain"] == 0.0
    else:
        assert got["speedup"] >= advice.MIN_SPEEDUP
        assert got["gain"] == pytest.approx((got["speedup"] - 1.0) * got["weight"])


def test_weight_grows_with_loop_nesting():
    flat = unit_of("def f(xs):\n    for x in xs:\n        y = x * 2 - 1\n", "f")
    nested = unit_of(NUMERIC_LOOP, "grid")
    assert flat["advice"]["weight"] == 2 and nested["advice"]["weight"] == 1 + 1 + 2


def test_the_gpu_speedup_is_the_scorer_estimate():
    unit = unit_of(GPU_HEAVY, "heavy", gpu_available=True, compute_capability="8.6")
    assert unit["advice"]["speedup"] == unit["gpu_speedup"] > 1.0


@pytest.mark.parametrize("share, workers, expected", [
    (0.0, 8, 1.0), (1.0, 4, 4.0), (0.5, 2, 1 / 0.75), (0.9, 1, 1.0), (2.0, 2, 2.0), (0.5, 0, 1.0),
])
def test_amdahl(share, workers, expected):
    assert advice.amdahl(share, workers) == pytest.approx(expected)


@pytest.mark.parametrize("share, expected", [(0.0, 1.0), (1.0, advice.VECTOR_FACTOR), (0.5, 1 / 0.55)])
def test_vector_speedup(share, expected):
    assert advice.vector_speedup(share) == pytest.approx(expected)
