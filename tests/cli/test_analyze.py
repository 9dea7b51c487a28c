"""`velmora analyze` end to end: the ranked answer, JSON, options, exit statuses, and the scores
against a model of the contract applied to code without prose."""

import io
import json
import os
import pty
import select
import shutil
import subprocess
import sys
import tempfile
import tokenize
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"

TOP_KEYS = ["host", "thresholds", "options", "files", "skipped", "ranking", "summary"]


@pytest.fixture(scope="module")
def examples_text(velmora_cmd):
    done = velmora_cmd("analyze", "--gpu", "no", "examples/")
    assert done.returncode == 0 and done.stderr == "", done.stderr
    return done.stdout


@pytest.fixture(scope="module")
def examples_json(velmora_cmd):
    done = velmora_cmd("analyze", "--json", "--gpu", "no", "examples/")
    assert done.returncode == 0 and done.stderr == "", done.stderr
    return json.loads(done.stdout)


def _section(text, title):
    lines = text.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith(title))
    end = next((i for i in range(start + 1, len(lines)) if not lines[i].strip()), len(lines))
    return lines[start:end]


# ---------------------------------------------------------------- the ranked answer


def test_text_output_is_host_line_ranking_file_summary_and_totals(examples_text):
    lines = examples_text.splitlines()
    assert lines[0].startswith("Host: ") and "no GPU (as given by --gpu no)" in lines[0]
    ranking = _section(examples_text, "Top ")
    assert ranking[1].split() == ["#", "unit", "pattern", "action", "speed-up", "gain", "why"]
    first = ranking[3].split()
    assert first[:7] == ["1", "plain_loops.py:18", "sieve", "CPU_INTENSIVE", "vectorise", "10.0x", "45.0"]
    files = _section(examples_text, "Files")
    assert len(files) == 3 + 12 and files[3].split()[0] == "plain_loops.py"
    assert lines[-1].startswith("12 files, 69 units analysed in ") and "0 skipped." in lines[-1]
    assert "(whole file)" not in examples_text  # no unit tables without --details


def test_ranking_is_ordered_by_gain_and_every_entry_has_an_action_and_reason(examples_json):
    ranking = examples_json["ranking"]
    assert 1 <= len(ranking) <= 15 and [r["rank"] for r in ranking] == list(range(1, len(ranking) + 1))
    assert [r["gain"] for r in ranking] == sorted((r["gain"] for r in ranking), reverse=True)
    for r in ranking:
        assert r["action"] != "leave alone" and r["speedup"] >= 1.3 and r["reason"]
        assert r["gain"] == pytest.approx((r["speedup"] - 1) * r["weight"])
    names = [(r["path"], r["name"]) for r in ranking]
    assert ("plain_loops.py", "sieve") in names and ("signal_fft.py", "peak_frequencies") in names


def test_json_document_shape(examples_json):
    doc = examples_json
    assert list(doc) == TOP_KEYS
    assert doc["summary"]["files"] == len(doc["files"]) == 12 and doc["skipped"] == []
    assert doc["summary"]["units"] == sum(len(f["units"]) for f in doc["files"]) == 69
    assert sum(doc["summary"]["actions"].values()) == 69
    for f in doc["files"]:
        assert {"path", "location", "lines", "bytes", "package", "frameworks_imported", "imports", "verdict",
                "units"} <= set(f)
        assert os.path.isabs(f["location"]) and not os.path.isabs(f["path"])
        for unit in [f["verdict"]] + f["units"]:
            assert {"pattern", "frameworks", "frameworks_found", "indicators", "loops", "evidence",
                    "advice"} <= set(unit)
            assert set(unit["evidence"]) == {"imports", "uses", "credited", "keywords", "name_keywords"}
    ledger = next(f for f in doc["files"] if f["path"] == "locked_ledger.py")
    units = {u["name"]: u for u in ledger["units"]}
    assert list(units) == ["<module>", "_next_sequence", "Ledger.__init__", "Ledger.transfer", "Ledger.balance",
                           "replay", "main"]
    source = (EXAMPLES / "locked_ledger.py").read_text().splitlines()
    first, last = units["replay"]["lines"]
    assert source[first - 1].startswith("def replay(") and source[last - 1].strip() == "return applied"


@pytest.mark.parametrize("options, check", [
    (["--top", "2"], lambda out: len(_section(out, "Top ")) == 3 + 2),
    (["--details"], lambda out: out.count("(whole file)") == 12 and "plain_loops.py  (54 lines)" in out),
    (["--files", "3"], lambda out: "the 3 of 12 with the most to gain" in out and len(_section(out, "Files")) == 6),
    (["-v"], lambda out: "Evidence" in out and "Columns" in out and "imports: import numpy as np" in out
     and "gain      (speed-up - 1) x weight" in out),
    (["--exclude", "plain_*", "--exclude", "word_index.py"], lambda out: "10 files, 58 units" in out),
])
def test_output_options(options, check, in_process):
    status, out, err = in_process("analyze", "--gpu", "no", *options, EXAMPLES)
    assert status == 0 and err == ""
    assert check(out), out


def test_a_single_file_shows_its_unit_table(in_process):
    status, out, _ = in_process("analyze", "--gpu", "no", "-v", EXAMPLES / "plain_loops.py")
    assert status == 0 and "(whole file)" in out and "Unit table columns" in out
    table = [line.split() for line in out.splitlines() if line.strip().startswith(("sieve", "edit_distance"))]
    assert [row[0] for row in table] == ["edit_distance", "sieve"]


def test_paths_are_relative_to_the_argument_and_duplicates_count_once(tmp_path, in_process):
    doc = json.loads(in_process("analyze", "--json", EXAMPLES, EXAMPLES / "plain_loops.py", EXAMPLES)[1])
    assert doc["summary"]["files"] == 12
    assert all(f["path"].startswith(str(EXAMPLES)) for f in doc["files"])
    shutil.copy(EXAMPLES / "plain_loops.py", tmp_path / "loops.py")
    os.symlink(tmp_path / "loops.py", tmp_path / "same.py")
    single = json.loads(in_process("analyze", "--json", tmp_path)[1])
    assert [f["path"] for f in single["files"]] == ["loops.py"]


# ---------------------------------------------------------------- exit statuses and skipped files


def test_a_bad_file_is_one_line_and_the_others_are_analysed(tmp_path, velmora_cmd):
    shutil.copytree(EXAMPLES, tmp_path / "ex")
    (tmp_path / "ex" / "broken.py").write_text("def f(:\n    return 1\n")
    done = velmora_cmd("analyze", tmp_path / "ex")
    assert done.returncode == 3
    lines = done.stderr.splitlines()
    assert lines == ["velmora analyze: broken.py: syntax error: line 1: invalid syntax"] or (
        len(lines) == 1 and "broken.py: syntax error: line 1" in lines[0])
    assert "12 files, 69 units" in done.stdout and "1 skipped (syntax 1)" in done.stdout
    doc = json.loads(velmora_cmd("analyze", "--json", tmp_path / "ex").stdout)
    assert [(s["path"], s["kind"]) for s in doc["skipped"]] == [("broken.py", "syntax")]


@pytest.mark.parametrize("make, expected", [
    (lambda p: p.write_bytes(b"x = 1\x00\n"), "null bytes"),
    (lambda p: p.write_bytes(b"s = '\xff\xfe'\n"), "cannot decode"),
    (lambda p: p.write_bytes(b"# -*- coding: no-such-codec -*-\nx = 1\n"), "cannot decode"),
    (lambda p: os.symlink(p.parent / "missing-target.py", p), "broken symbolic link"),
    (lambda p: os.mkfifo(p), "not a regular file"),
    (lambda p: p.write_text("x = " + "(" * 400 + ")" * 400 + "\n"), "line 1"),
    (lambda p: p.write_text("x = 1\n" * 400), "larger than the 1.0 KiB limit (2.3 KiB)"),
])
def test_unusable_files_are_reported_one_line_each(tmp_path, make, expected, velmora_cmd):
    (tmp_path / "good.py").write_text("def total(values):\n    return sum(values)\n")
    make(tmp_path / "bad.py")
    done = velmora_cmd("analyze", "--max-file-size", "1K", tmp_path, tmp_path / "no-such-dir")
    assert done.returncode == 3
    lines = done.stderr.splitlines()
    assert len(lines) == 2 and "Traceback" not in done.stderr
    assert "bad.py" in lines[0] and expected in lines[0]
    assert "no-such-dir" in lines[1] and "no such file or directory" in lines[1]
    assert "1 file, 1 unit analysed" in done.stdout


@pytest.mark.parametrize("make, message", [
    (lambda p: None, "no Python files in this directory"),
    (lambda p: (p / "broken.py").write_text("def (\n"), "syntax error"),
])
def test_nothing_analysed_is_a_failure(tmp_path, make, message, velmora_cmd):
    make(tmp_path)
    done = velmora_cmd("analyze", tmp_path)
    assert done.returncode == 1
    assert len(done.stderr.splitlines()) == 1 and message in done.stderr


def test_progress_line_only_on_a_terminal(tmp_path, velmora_cmd, child_env):
    for i in range(30):
        (tmp_path / ("m%d.py" % i)).write_text("def f(xs):\n    return [x * %d for x in xs]\n" % i)
    master, slave = pty.openpty()
    child = subprocess.Popen([sys.executable, "-m", "velmora", "analyze", str(tmp_path)], stdout=subprocess.PIPE,
                             stderr=slave, env=child_env, cwd=ROOT)
    os.close(slave)
    seen = b""
    while True:
        ready, _, _ = select.select([master], [], [], 60)
        if not ready:
            break
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
    out, _ = child.communicate(timeout=60)
    os.close(master)
    assert child.returncode == 0
    assert b"\ranalyse: " in seen and b"/30 files" in seen and b"files/s" in seen
    assert b"analyse:" not in out
    piped = velmora_cmd("analyze", tmp_path)
    assert piped.returncode == 0 and piped.stderr == ""


# ---------------------------------------------------------------- the scores against a model

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


def code_only(text):
    """The text without comments and with string literals emptied, from the tokenizer's view."""
    lines = text.splitlines(True)
    offsets = [0]
    for line in lines:
        offsets.append(offsets[-1] + len(line))
    cuts = []
    for t in tokenize.generate_tokens(io.StringIO(text).readline):
        if t.type in (tokenize.STRING, tokenize.COMMENT):
            start = offsets[t.start[0] - 1] + t.start[1]
            end = offsets[t.end[0] - 1] + t.end[1]
            cuts.append((start, end, "" if t.type == tokenize.COMMENT else '""'))
    for start, end, new in reversed(cuts):
        text = text[:start] + new + text[end:]
    return text


def model_unit(text, name, chunking, t, gpu, capability, imported):
    """The contract's scoring and classification of the code of one unit."""
    low, fname = code_only(text).lower(), (name or "").lower()
    fw = {k: clamp(sum(e in low for e in entries) * FACTORS[k]) if k in imported else 0.0
          for k, entries in FRAMEWORKS.items()}
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
    (['"""Docstring: numpy matmul fft linalg pandas groupby sklearn fit benchmark."""'], 0, 0),
    (["label = 'parallel workload benchmark map apply'  # dot fft"], 0, 0),
]
FUNC_NAMES = ["plain", "compute_chunk_workload", "apply_map", "fit_model", "add_arrays", "update_locked"]
HEADERS = [("", set()), ("import numpy as np\n", {"numpy"}), ("import threading\nlock = threading.Lock()\n", set()),
           ("import pandas as pd\nfrom sklearn import metrics\n", {"pandas", "sklearn"})]

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
    return draw(st.sampled_from(HEADERS)), funcs


@settings(max_examples=40, deadline=None)
@given(sources(), thresholds_st, st.sampled_from(["no", "yes"]), st.sampled_from([None, "5.0", "6.1", "7.5", "8.6"]))
def test_analysis_matches_the_contract_model_on_code_without_prose(in_process, source, t, gpu, capability):
    (header, imported), funcs = source
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
        model = model_unit(body, name, chunking, t, gpu == "yes", capability, imported)
        assert {k: unit[k] for k in model} == model, unit["name"]


def test_test_code_is_analysed_but_ranked_only_when_asked(tmp_path, in_process):
    loop = "def grid(n):\n    out = []\n    for i in range(n):\n        for j in range(n):\n" \
           "            out.append(i * j - i // 2)\n    return out\n"
    (tmp_path / "tests").mkdir()
    (tmp_path / "tests" / "test_grid.py").write_text(loop)
    (tmp_path / "lib.py").write_text(loop.replace("grid", "table"))
    doc = json.loads(in_process("analyze", "--json", tmp_path)[1])
    assert [(r["path"], r["name"]) for r in doc["ranking"]] == [("lib.py", "table")]
    assert {f["path"]: f["test_file"] for f in doc["files"]} == {"lib.py": False, "tests/test_grid.py": True}
    status, out, _ = in_process("analyze", tmp_path)
    assert "test code in 1 file not ranked (--rank-tests ranks it)" in out
    assert [line.split()[-1] for line in out.splitlines() if "test_grid.py" in line] == ["-"]
    ranked = json.loads(in_process("analyze", "--json", "--rank-tests", tmp_path)[1])
    assert len(ranked["ranking"]) == 2
    alone = json.loads(in_process("analyze", "--json", tmp_path / "tests" / "test_grid.py")[1])
    assert [r["name"] for r in alone["ranking"]] == ["grid"]
