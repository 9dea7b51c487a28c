"""The `velmora` command line end to end: info and bench output, usage errors, the examples
(analyze, plan and profile have their own files under tests/cli/)."""

import json
import os
import platform
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import velmora as velmora_package
from velmora._modules import NATIVE_MODULES

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
BENCH = ROOT / "bench"

REPORT_KEYS = [
    "physical_cores", "numa_nodes", "has_gpu", "gpu_count", "gpu_memory_mb", "cuda_available", "rocm_available",
    "oneapi_available", "active_backend", "backend_version", "python_version", "subinterpreter_support",
    "platform", "detected_at", "detector", "detection_time_ms",
]


# The child imports the very package under test, whatever its working directory (PYTHONPATH=src
# is relative to the checkout).
CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    [str(Path(velmora_package.__file__).resolve().parents[1])]
    + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))


def velmora(*args, cwd=None, timeout=120):
    return subprocess.run([sys.executable, "-m", "velmora", *map(str, args)], cwd=cwd or ROOT,
                          capture_output=True, text=True, timeout=timeout, env=CHILD_ENV)


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
    assert [m["module"] for m in doc["modules"]] == list(NATIVE_MODULES)
    for m in doc["modules"]:
        assert m["loaded"] and m["error"] is None
        path = Path(m["path"])
        package = tuple(m["module"].split(".")[:-1])
        assert path.is_file() and path.parent.parts[-len(package):] == package
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
    ["plan", "--shape", "10", "--op", "zero"],
    ["analyze", "--top", "0", "examples"],
    ["analyze", "--max-file-size", "lots", "examples"],
    ["analyze", "--jobs", "-1", "examples"],
    ["profile"],
    ["profile", "--top", "x", "examples/plain_loops.py"],
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
