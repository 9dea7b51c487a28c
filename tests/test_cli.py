"""The `velmora` command line end to end: info, analyze, plan and bench output, exit codes and errors."""

import contextlib
import io
import json
import math
import os
import platform
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from velmora import cli

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
BENCH = ROOT / "bench"

NATIVE_MODULES = [
    "velmora.memory.lockless", "velmora.memory.fitindex", "velmora.memory.slabkit", "velmora.jit.compilegate",
    "velmora.plugins.analyzer.taskgauge", "velmora.plugins.analyzer.tunejudge", "velmora.gpu.devicefit",
    "velmora.native.hostprobe", "velmora.monitoring.tallyhub",
]
REPORT_KEYS = [
    "physical_cores", "numa_nodes", "has_gpu", "gpu_count", "gpu_memory_mb", "cuda_available", "rocm_available",
    "oneapi_available", "active_backend", "backend_version", "python_version", "subinterpreter_support",
    "platform", "detected_at", "detector", "detection_time_ms",
]


# The child imports the very package under test, whatever its working directory (PYTHONPATH=src
# is relative to the checkout).
CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    [str(Path(cli.__file__).resolve().parents[1])] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))


def velmora(*args, cwd=None, timeout=120):
    return subprocess.run([sys.executable, "-m", "velmora", *map(str, args)], cwd=cwd or ROOT,
                          capture_output=True, text=True, timeout=timeout, env=CHILD_ENV)


def in_process(*args):
    """cli.main in this process: (status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli.main([str(a) for a in args])
    return status, out.getvalue(), err.getvalue()


# ---------------------------------------------------------------- info


def test_info_json_has_the_capability_report_modules_and_interpreter():
    done = velmora("info", "--json")
    assert done.returncode == 0, done.stderr
    doc = json.loads(done.stdout)
    report = doc["capabilities"]
    if report["detector"] == "native":
        assert list(report) == REPORT_KEYS
    else:
        assert list(report) == REPORT_KEYS[:-1] + ["error", "detection_time_ms"]
    assert report["python_version"].startswith("%d.%d" % sys.version_info[:2])
    assert [m["module"] for m in doc["modules"]] == NATIVE_MODULES
    for m in doc["modules"]:
        assert m["loaded"] and m["error"] is None
        path = Path(m["path"])
        assert path.is_file() and path.parent.parts[-len(m["module"].split(".")) + 1:] == tuple(m["module"].split(".")[:-1])
    interp = doc["interpreter"]
    assert interp["version"] == platform.python_version()
    assert isinstance(interp["gil_enabled"], bool)
    if not interp["free_threaded_build"]:
        assert interp["gil_enabled"] is True


def _stable_lines(text):
    return [line for line in text.splitlines() if "detected_at" not in line and "detection_time_ms" not in line]


def test_bare_command_runs_info_as_text():
    bare, info = velmora(), velmora("info")
    assert bare.returncode == info.returncode == 0
    assert _stable_lines(bare.stdout) == _stable_lines(info.stdout)
    for name in NATIVE_MODULES:
        assert any(line.split()[:2] == [name, "loaded"] for line in info.stdout.splitlines()), name
    assert ("GIL enabled" in info.stdout) or ("GIL disabled" in info.stdout)
    assert "9 of 9 loaded" in info.stdout


# ---------------------------------------------------------------- analyze: the examples

EXPECTED_PATTERNS = {
    "linear_algebra.py": "NUMPY_VECTORIZED",
    "array_normalise.py": "NUMPY_VECTORIZED",
    "signal_fft.py": "NUMPY_VECTORIZED",
    "sales_groupby.py": "PANDAS_DATAFRAME",
    "customer_join.py": "PANDAS_DATAFRAME",
    "train_classifier.py": "SKLEARN_TRAINING",
    "batch_inference.py": "SKLEARN_TRAINING",
    "thread_pool_checksums.py": "PARALLEL_FRIENDLY",
    "process_pool_primes.py": "PARALLEL_FRIENDLY",
    "plain_loops.py": "CPU_INTENSIVE",
    "word_index.py": "MEMORY_INTENSIVE",
    "locked_ledger.py": "SEQUENTIAL",
}


@pytest.fixture(scope="module")
def examples_report():
    done = velmora("analyze", "--json", "--gpu", "no", "examples/")
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    return json.loads(done.stdout)


@pytest.mark.parametrize("name, pattern", sorted(EXPECTED_PATTERNS.items()))
def test_each_example_is_classified_as_its_content_suggests(examples_report, name, pattern):
    by_name = {Path(f["path"]).name: f for f in examples_report["files"]}
    assert by_name[name]["verdict"]["pattern"] == pattern


def test_examples_split_into_module_body_functions_and_methods(examples_report):
    files = {Path(f["path"]).name: f for f in examples_report["files"]}
    assert set(files) == set(EXPECTED_PATTERNS) and examples_report["errors"] == []
    units = {u["name"]: u for u in files["locked_ledger.py"]["units"]}
    assert list(units) == ["<module>", "_next_sequence", "Ledger.__init__", "Ledger.transfer", "Ledger.balance",
                           "replay", "main"]
    assert [units[n]["kind"] for n in ("<module>", "replay", "Ledger.transfer")] == ["module", "function", "method"]
    source = (EXAMPLES / "locked_ledger.py").read_text().splitlines()
    first, last = units["replay"]["lines"]
    assert source[first - 1].startswith("def replay(") and source[last - 1].strip() == "return applied"
    assert examples_report["summary"]["files"] == len(EXPECTED_PATTERNS)
    assert examples_report["summary"]["units"] == sum(len(f["units"]) for f in files.values())


def test_analyze_text_output_is_a_table_per_file_and_a_summary():
    done = velmora("analyze", "--gpu", "no", "examples/")
    assert done.returncode == 0 and done.stderr == ""
    out = done.stdout
    assert "examples/linear_algebra.py" in out and "NUMPY_VECTORIZED, numeric" in out
    assert "fit_normal_equations" in out and "Ledger.transfer" in out
    assert out.rstrip().splitlines()[-1].startswith("12 file(s), ")


# ---------------------------------------------------------------- analyze: errors per file


def test_syntax_error_in_one_file_is_reported_and_the_others_analysed(tmp_path):
    shutil.copytree(EXAMPLES, tmp_path / "ex")
    (tmp_path / "ex" / "broken.py").write_text("def f(:\n    return 1\n")
    done = velmora("analyze", tmp_path / "ex")
    assert done.returncode == 1
    lines = done.stderr.splitlines()
    assert len(lines) == 1 and "broken.py" in lines[0] and "syntax error: line 1" in lines[0]
    assert "Traceback" not in done.stderr
    assert "12 file(s)" in done.stdout and "1 error(s)" in done.stdout

    doc = json.loads(velmora("analyze", "--json", tmp_path / "ex").stdout)
    assert [Path(e["path"]).name for e in doc["errors"]] == ["broken.py"]
    assert len(doc["files"]) == 12


@pytest.mark.parametrize("make, expected", [
    (lambda p: p.write_bytes(b"x = 1\x00\n"), "null bytes"),
    (lambda p: p.write_bytes(b"s = '\xff\xfe'\n"), "cannot decode"),
    (lambda p: p.write_bytes(b"# -*- coding: no-such-codec -*-\nx = 1\n"), "cannot decode"),
    (lambda p: os.symlink(p.parent / "missing-target.py", p), "broken symbolic link"),
    (lambda p: os.mkfifo(p), "not a regular file"),
    (lambda p: p.write_text("x = " + "(" * 400 + ")" * 400 + "\n"), "line 1"),
])
def test_unusable_files_are_reported_one_line_each(tmp_path, make, expected):
    (tmp_path / "good.py").write_text("def total(values):\n    return sum(values)\n")
    try:
        make(tmp_path / "bad.py")
    except (AttributeError, NotImplementedError, OSError) as exc:  # no FIFOs or symlinks here
        pytest.skip(str(exc))
    done = velmora("analyze", tmp_path, tmp_path / "no-such-dir")
    assert done.returncode == 1
    lines = done.stderr.splitlines()
    assert len(lines) == 2 and "Traceback" not in done.stderr
    assert "bad.py" in lines[0] and expected in lines[0]
    assert "no-such-dir" in lines[1] and "no such file or directory" in lines[1]
    assert "good.py" in done.stdout and "1 file(s)" in done.stdout


def test_directories_are_walked_recursively_skipping_hidden_and_cache_folders(tmp_path):
    for rel in ("a.py", "pkg/b.py", "pkg/deep/c.py", ".venv/d.py", "pkg/__pycache__/e.py", "notes.txt"):
        path = tmp_path / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("x = 1\n")
    status, out, _ = in_process("analyze", "--json", tmp_path)
    assert status == 0
    names = [Path(f["path"]).relative_to(tmp_path).as_posix() for f in json.loads(out)["files"]]
    assert names == ["a.py", "pkg/b.py", "pkg/deep/c.py"]


def test_units_keep_the_parser_line_numbers(tmp_path):
    source = ("# -*- coding: utf-8 -*-\r\n\x0c\r\nimport os\r\n\r\n@staticmethod\r\ndef first(a):\r\n"
              "    return a\r\n\x0c\r\nclass Box:\r\n    size = 3\r\n    async def fill(self):\r\n"
              "        await self.more()\r\n")
    (tmp_path / "crlf.py").write_bytes(source.encode())
    status, out, _ = in_process("analyze", "--json", tmp_path / "crlf.py")
    units = {u["name"]: u for u in json.loads(out)["files"][0]["units"]}
    assert status == 0 and list(units) == ["<module>", "first", "Box.fill"]
    assert units["first"]["lines"] == [5, 7] and units["Box.fill"]["lines"] == [11, 12]
    assert units["<module>"]["line_ranges"] == [[1, 1], [3, 3], [9, 10]]  # blank lines left out


def test_empty_directory_is_a_failure(tmp_path):
    done = velmora("analyze", tmp_path)
    assert done.returncode == 1
    assert len(done.stderr.splitlines()) == 1 and "no Python files" in done.stderr


# ---------------------------------------------------------------- analyze: the scores against a model

FRAMEWORKS = {
    "numpy": ("numpy np. ndarray array matrix vectorize broadcast ufunc dot matmul linalg fft sum mean std var min "
              "max argmax argmin reshape transpose concatenate stack split").split(),
    "pandas": ("pandas pd. dataframe series groupby apply agg transform merge join concat pivot melt query eval "
               "rolling resample sort_values").split(),
    "sklearn": ("sklearn fit predict transform score cross_val gridsearchcv randomizedsearchcv pipeline "
                "featureunion train_test_split classification regression clustering preprocessing model_selection "
                "metrics ensemble").split(),
}
FACTORS = {"numpy": 0.04, "pandas": 0.05555555555555555, "sklearn": 0.05555555555555555}
INDICATORS = [
    ("cpu", "for while range numpy scipy math calculation compute algorithm sum prod dot matmul fft linalg", False,
     0.06666666666666667),
    ("memory", "array list dict pandas dataframe allocate buffer cache append extend", False, 0.1),
    ("parallel", "multiprocessing threading concurrent async parallel pool worker chunk batch processpoolexecutor "
     "threadpoolexecutor", False, 0.09090909090909091),
    ("gpu_op", "matmul dot tensordot @ fft ifft rfft convolve correlate sum mean std var sin cos exp log sqrt power "
     "** add subtract multiply divide / * + - linalg linear_algebra array asarray zeros ones empty full", True,
     0.027777777777777776),
    ("large_data", "reshape resize huge large gigabyte gb million billion 1e6 1e9 1024 megabyte mb", False,
     0.07692307692307693),
    ("embarrassing", "workload benchmark intensive chunk_workload map apply vectorize broadcast", True, None),
    ("sequential", "global nonlocal lock mutex synchronized sequential ordered dependencies", False, None),
]


def clamp(v, hi=1.0):
    return 0.0 if v < 0 else min(v, hi)


def model_unit(text, name, chunking, t, gpu, capability):
    """The contract's scoring and classification of one piece of source text."""
    low, fname = text.lower(), (name or "").lower()
    fw = {k: clamp(sum(e in low for e in entries) * FACTORS[k]) for k, entries in FRAMEWORKS.items()}
    counts = {cat: sum(e in low or (by_name and e in fname) for e in words.split())
              for cat, words, by_name, _ in INDICATORS}
    norm = {cat: clamp(counts[cat] * f) for cat, _, _, f in INDICATORS if f is not None}
    bonus, penalty = clamp(counts["embarrassing"] * 0.3, 0.7), clamp(counts["sequential"] * 0.2, 0.5)
    potential = clamp((chunking * 0.4 + norm["parallel"]) + (bonus - penalty))
    if gpu:
        factor = 1.0
        if capability:
            major = int(capability.split(".")[0])
            factor = 1.2 if major > 7 else 1.1 if major == 7 else 1.0 if major == 6 else 0.8
        suit = clamp((norm["gpu_op"] * 0.6 + norm["large_data"] * 0.4 + clamp(norm["cpu"] * 0.3, 0.3)) * factor)
    else:
        suit = 0.0
    if not gpu or norm["gpu_op"] == 0.0:
        speedup = 1.0
    else:
        op = norm["gpu_op"]
        base = 15.0 if op > 0.8 else 8.0 if op > 0.6 else 4.0 if op > 0.3 else 2.0
        speedup = base + base * (norm["large_data"] * 0.5)
    if fw["sklearn"] > t["sklearn"]:
        pattern = 12
    elif fw["pandas"] > t["pandas"]:
        pattern = 10
    elif fw["numpy"] > t["numpy"]:
        pattern = 8
    elif gpu and suit > t["gpu"]:
        pattern = 6 if norm["gpu_op"] > 0.7 and norm["cpu"] > 0.6 else 7 if norm["memory"] > 0.5 else 5
    elif counts["embarrassing"] > 0 or potential > 0.6:
        pattern = 3
    elif norm["cpu"] > t["cpu"]:
        pattern = 1
    elif norm["memory"] > t["memory"]:
        pattern = 2
    else:
        pattern = 4 if counts["sequential"] >= 3 else 0
    return {"frameworks": fw, "indicators": counts, "normalized": norm, "parallelization_potential": potential,
            "gpu_suitability": suit, "gpu_speedup": speedup, "pattern_code": pattern,
            "loop_chunking_potential": chunking}


# Statement fragments of a function body: (source lines, loops, chunkable loops).
FRAGMENTS = [
    (["total = sum(values)"], 0, 0),
    (["for i in range(n):", "    total += i * i"], 1, 1),
    (["while n > 1:", "    n //= 2"], 1, 0),
    (["for v in values:", "    if v < 0:", "        break"], 1, 0),
    (["squares = [x ** 2 for x in values]"], 1, 1),
    (["frame = pd.DataFrame(rows).groupby('key').agg('mean').merge(other).pivot()"], 0, 0),
    (["model.fit(x, y)", "labels = model.predict(x_test)  # sklearn metrics pipeline"], 0, 0),
    (["grid = np.zeros((1024, 1024))", "out = np.matmul(grid, grid.T).reshape(-1) @ weights"], 0, 0),
    (["with lock:", "    ordered.append(item)  # sequential mutex"], 0, 0),
    (["results = list(pool.map(worker, chunks))  # ThreadPoolExecutor batch"], 0, 0),
    (["cache = {}", "buffer = list(range(1000000))  # million large gigabyte"], 0, 0),
    (["global state", "state = math.sqrt(state) + math.exp(1.0) - math.log(2.0)"], 0, 0),
]
FUNC_NAMES = ["plain", "compute_chunk_workload", "apply_map", "fit_model", "add_arrays", "update_locked"]

thresholds_st = st.fixed_dictionaries({name: st.sampled_from([0.0, 0.1, 0.25, 0.3, 0.5, 0.7, 1.0])
                                       for name in ("cpu", "memory", "gpu", "numpy", "pandas", "sklearn")})


@st.composite
def sources(draw):
    funcs = []
    for index in range(draw(st.integers(1, 3))):
        picks = draw(st.lists(st.sampled_from(range(len(FRAGMENTS))), min_size=1, max_size=5, unique=True))
        name = "%s_%d" % (draw(st.sampled_from(FUNC_NAMES)), index)
        lines = ["def %s(values, n, x, y, pool, lock):" % name]
        for p in picks:
            lines += ["    " + s for s in FRAGMENTS[p][0]]
        loops, chunkable = sum(FRAGMENTS[p][1] for p in picks), sum(FRAGMENTS[p][2] for p in picks)
        funcs.append((name, "\n".join(lines) + "\n", chunkable / loops if loops else 0.0, loops, chunkable))
    header = draw(st.sampled_from(["", "import numpy as np\n", "import threading\nlock = threading.Lock()\n"]))
    return header, funcs


@settings(max_examples=40, deadline=None)
@given(sources(), thresholds_st, st.sampled_from(["no", "yes"]), st.sampled_from([None, "5.0", "6.1", "7.5", "8.6"]))
def test_analysis_matches_the_contract_model(source, t, gpu, capability):
    header, funcs = source
    text = header + "\n" + "\n".join(f[1] for f in funcs)
    options = ["--gpu", gpu] + [a for k, v in t.items() for a in ("--%s-threshold" % k, repr(v))]
    if capability:
        options += ["--compute-capability", capability]
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "sample.py")
        with open(path, "w") as handle:
            handle.write(text)
        status, out, err = in_process("analyze", "--json", *options, path)
    assert status == 0, err
    (result,) = json.loads(out)["files"]
    loops, chunkable = sum(f[3] for f in funcs), sum(f[4] for f in funcs)
    expected = [("<file>", text, None, chunkable / loops if loops else 0.0)]
    expected += [(name, body, name, chunking) for name, body, chunking, _, _ in funcs]
    got = [result["verdict"]] + [u for u in result["units"] if u["kind"] == "function"]
    assert [u["name"] for u in got] == [e[0] for e in expected]
    for unit, (_, body, name, chunking) in zip(got, expected):
        model = model_unit(body, name, chunking, t, gpu == "yes", capability)
        assert {k: unit[k] for k in model} == model, unit["name"]


# ---------------------------------------------------------------- plan


def test_plan_chunks_an_array_that_does_not_fit():
    done = velmora("plan", "--shape", "20000,20000", "--itemsize", "8", "--available", "1000000000", "--json")
    assert done.returncode == 0, done.stderr
    plan = json.loads(done.stdout)
    assert plan["bytes_needed"] == 3_200_000_000 and plan["safe_limit"] == 800_000_000
    assert (plan["strategy"], plan["chunk_count"], plan["chunk_size"]) == ("GPU_CHUNKED", 4, 800_000_000)
    assert plan["message"] == "Chunking into 4 GPU passes"
    assert plan["chunk_shapes"] == [{"shape": [5000, 20000], "count": 4}]

    text = velmora("plan", "--shape", "20000,20000", "--itemsize", "8", "--available", "1000000000").stdout
    assert "GPU_CHUNKED: Chunking into 4 GPU passes" in text
    assert "(5000, 20000) x 4" in text


@pytest.mark.parametrize("args, strategy, message", [
    (["--shape", "1000,1000", "--available", "16GiB"], "GPU_DIRECT", "Allocation fits in GPU memory"),
    (["--shape", "20000,20000", "--available", "1GB", "--op", "matmul"], "CPU_FALLBACK",
     "Operation not chunkable, falling back to CPU"),
    (["--shape", "10", "--available", "0"], "CPU_FALLBACK", "No GPU memory available"),
    (["--shape", "10,4", "--available", "125", "--headroom", "0.2"], "GPU_CHUNKED", "Chunking into 4 GPU passes"),
])
def test_plan_strategies(args, strategy, message):
    status, out, _ = in_process("plan", "--json", *args)
    plan = json.loads(out)
    assert status == 0 and (plan["strategy"], plan["message"]) == (strategy, message)


@pytest.mark.parametrize("text, expected", [
    ("1000", 1000), ("16GiB", 16 * 2**30), ("16G", 16 * 2**30), ("16GB", 16 * 10**9), ("1.5KiB", 1536),
    ("512 mb", 512 * 10**6), ("0", 0), ("18446744073709551615", 2**64 - 1),
])
def test_available_accepts_byte_counts_with_units(text, expected):
    status, out, _ = in_process("plan", "--json", "--shape", "10", "--available", text)
    assert status == 0 and json.loads(out)["available_bytes"] == expected


def test_plan_lists_uneven_chunks_in_runs():
    status, out, _ = in_process("plan", "--shape", "10,4", "--itemsize", "8", "--available", "125")
    assert status == 0
    assert "(3, 4) x 3, (1, 4)  (4 chunks along the first axis)" in out


def test_plan_does_not_build_a_huge_chunk_list():
    status, out, _ = in_process("plan", "--json", "--shape", "2000000000,1", "--available", "100")
    plan = json.loads(out)
    assert status == 0 and plan["strategy"] == "GPU_CHUNKED"
    assert plan["chunk_shapes"] is None and "200000000 chunks" in plan["chunk_shapes_note"]


def test_plan_auto_reads_the_gpu_or_says_there_is_none():
    done = velmora("plan", "--shape", "20000,20000", "--json")
    assert done.returncode == 0
    plan = json.loads(done.stdout)
    assert plan["available_source"] == "registry"
    if plan["gpu"]["device"] is None:
        assert plan["available_bytes"] == 0 and plan["strategy"] == "CPU_FALLBACK"
        assert "no GPU" in plan["gpu"]["note"]
        text = velmora("plan", "--shape", "20000,20000")
        assert len(text.stderr.splitlines()) == 1 and "no GPU on this host" in text.stderr
    else:
        assert plan["available_bytes"] > 0


@settings(max_examples=60, deadline=None)
@given(shape=st.lists(st.integers(0, 3000), min_size=1, max_size=3), itemsize=st.integers(1, 16),
       available=st.integers(0, 10**9), headroom=st.sampled_from([0.0, 0.1, 0.2, 0.35, 0.5, 0.9, 0.99]),
       op=st.sampled_from(["zeros", "random.rand", "matmul", "sort", "custom"]))
def test_plan_matches_the_contract_model(shape, itemsize, available, headroom, op):
    status, out, _ = in_process("plan", "--json", "--shape", ",".join(map(str, shape)), "--itemsize", itemsize,
                                "--available", available, "--headroom", repr(headroom), "--op", op)
    assert status == 0
    plan = json.loads(out)
    needed = math.prod(shape) * itemsize
    safe = int(available * (1.0 - headroom))
    chunkable = op in ("zeros", "random.rand")
    assert (plan["bytes_needed"], plan["safe_limit"], plan["chunkable"]) == (needed, safe, chunkable)
    if safe == 0:
        assert (plan["strategy"], plan["chunk_count"]) == ("CPU_FALLBACK", 1)
    elif safe >= needed:
        assert (plan["strategy"], plan["chunk_count"], plan["chunk_shapes"]) == ("GPU_DIRECT", 1, None)
    elif not chunkable:
        assert (plan["strategy"], plan["chunk_count"]) == ("CPU_FALLBACK", 1)
    else:
        assert (plan["strategy"], plan["chunk_size"]) == ("GPU_CHUNKED", safe)
        assert plan["chunk_count"] == math.ceil(needed / safe)
        row = itemsize * math.prod(shape[1:])
        per_chunk = safe // row if safe >= row else 1
        rows = [g["shape"][0] for g in plan["chunk_shapes"] for _ in range(g["count"])]
        assert sum(rows) == shape[0] and all(r == per_chunk for r in rows[:-1]) and 0 < rows[-1] <= per_chunk
        assert all(g["shape"][1:] == shape[1:] for g in plan["chunk_shapes"])


# ---------------------------------------------------------------- usage errors


@pytest.mark.parametrize("args", [
    ["--nonsense"],
    ["frobnicate"],
    ["info", "--bogus"],
    ["analyze"],
    ["analyze", "--cpu-threshold", "2", "examples"],
    ["analyze", "--numpy-threshold", "nan", "examples"],
    ["analyze", "--gpu", "maybe", "examples"],
    ["analyze", "--compute-capability", "99999999999.0", "examples"],
    ["plan"],
    ["plan", "--shape", "20000,x"],
    ["plan", "--shape", "3000000000"],
    ["plan", "--shape", "10,,10"],
    ["plan", "--shape", "10", "--itemsize", "0"],
    ["plan", "--shape", "10", "--headroom", "1.5"],
    ["plan", "--shape", "10", "--available", "lots"],
    ["plan", "--shape", "10", "--available", "-5"],
    ["plan", "--shape", "10", "--available", "9" * 400 + ".5GiB"],
    ["bench", "--quick=3"],
])
def test_bad_options_exit_2_with_one_line_on_stderr(args):
    done = velmora(*args)
    assert done.returncode == 2
    lines = done.stderr.splitlines()
    assert len(lines) == 1 and "error:" in lines[0] and "Traceback" not in done.stderr
    assert done.stdout == ""


# ---------------------------------------------------------------- bench

FAKE_OK = '''import os, sys
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness

def register(bench):
    bench.op("abs(n)", "abs(n)", twin="twin(n)", floor="n.bit_length()", ns={"n": 5, "twin": lambda v: abs(v)},
             floor_max=1e9, twin_min=0.0, number=200)
'''
FAKE_MISS = '''print("chatter from a benchmark")

def register(bench):
    print("more chatter")
    bench.op("len(s)", "len(s)", twin="len(s)", ns={"s": "abc"}, twin_min=1e9, number=200)
'''
FAKE_BROKEN = "import velmora.no_such_module\n"


@pytest.fixture
def bench_tree(tmp_path):
    bench = tmp_path / "bench"
    bench.mkdir()
    shutil.copy(BENCH / "harness.py", bench)
    shutil.copy(BENCH / "run_all.py", bench)
    (bench / "bench_ok.py").write_text(FAKE_OK)
    (bench / "bench_miss.py").write_text(FAKE_MISS)
    (bench / "bench_broken.py").write_text(FAKE_BROKEN)
    return tmp_path


def test_bench_runs_every_file_of_the_local_bench_folder(bench_tree):
    done = velmora("bench", "--quick", cwd=bench_tree)
    assert done.returncode == 1  # one bar missed, one file broken
    out = done.stdout
    assert out.splitlines()[0].split() == ["module", "operation", "ns/op", "x", "twin", "x", "floor", "x", "peer",
                                           "bars"]
    assert "ok" in out and "abs(n)" in out and "twin>=1000000000.0 MISSED" in out
    assert "bars met: 1 of 2" in out and "not run: bench_broken.py: ModuleNotFoundError" in out
    assert "bench_broken.py" in done.stderr and "[1/3]" in done.stderr and "Traceback" not in done.stderr
    assert "chatter" not in out and "more chatter" in done.stderr


def test_bench_json_stays_clean_when_a_benchmark_prints(bench_tree):
    done = velmora("bench", "--quick", "--json", "miss", cwd=bench_tree)
    assert done.returncode == 1
    (row,) = json.loads(done.stdout)["rows"]
    assert row["met"] is False and row["bars"] == [{"bar": "twin>=1000000000.0", "met": False}]


def test_bench_json_and_module_selection(bench_tree):
    done = velmora("bench", "--quick", "--json", "ok", cwd=bench_tree)
    assert done.returncode == 0, done.stderr
    doc = json.loads(done.stdout)
    assert doc["errors"] == [] and doc["all_met"] is True and doc["quick"] is True
    (row,) = doc["rows"]
    assert row["module"] == "ok" and row["op"] == "abs(n)" and row["ns_per_op"] > 0
    assert row["x_twin"] > 0 and row["x_floor"] > 0 and "x_peer" not in row


def test_bench_says_clearly_when_there_is_no_bench_folder(tmp_path):
    done = velmora("bench", "--bench-dir", tmp_path / "nowhere", cwd=tmp_path)
    assert done.returncode == 1
    lines = done.stderr.splitlines()
    assert len(lines) == 1 and "no benchmark folder found" in lines[0] and "Traceback" not in done.stderr


# ---------------------------------------------------------------- the examples themselves run

RUNNABLE = [
    ("thread_pool_checksums.py", [str(EXAMPLES)], "files hashed", None),
    ("process_pool_primes.py", ["20000"], "primes below 20000: 2262", None),
    ("plain_loops.py", ["5000"], "primes below 5000: 669", None),
    ("locked_ledger.py", ["100"], "applied", None),
    ("word_index.py", ["200"], "distinct words: 24", None),
    ("array_normalise.py", [], "sensors: 64", "numpy"),
    ("linear_algebra.py", [], "condition number", "numpy"),
    ("signal_fft.py", [], "signals: 32", "numpy"),
    ("sales_groupby.py", [], "", "pandas"),
    ("customer_join.py", [], "", "pandas"),
    ("train_classifier.py", ["600"], "ROC AUC", "sklearn"),
    ("batch_inference.py", ["30000"], "predictions: 30000", "sklearn"),
]


@pytest.mark.parametrize("name, argv, expected, needs", RUNNABLE)
def test_example_runs(name, argv, expected, needs):
    if needs:
        pytest.importorskip(needs)
    done = subprocess.run([sys.executable, str(EXAMPLES / name), *argv], capture_output=True, text=True,
                          timeout=300, cwd=ROOT)
    assert done.returncode == 0, done.stderr
    assert expected in done.stdout
