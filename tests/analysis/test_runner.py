"""Analysing many files: worker processes give the in-process results, in input order."""

import pytest

from velmora.analysis import runner
from velmora.analysis.files import Found, Skipped, find_files
from velmora.analysis.scoring import DEFAULT_THRESHOLDS

SETTINGS = {"thresholds": {n: v for n, v, _ in DEFAULT_THRESHOLDS},
            "host": {"gpu_available": False, "compute_capability": None, "cpus": 2, "gil_enabled": True}}


@pytest.fixture
def tree(tmp_path):
    count = runner.IN_PROCESS_BELOW + 6
    for i in range(count):
        body = "def f%d(xs):\n    out = []\n    for x in xs:\n        out.append(x * %d - 1)\n    return out\n" % (i, i)
        (tmp_path / ("m%02d.py" % i)).write_text("import numpy as np\n" * (i % 2) + body)
    (tmp_path / "m07.py").write_text("def broken(:\n")
    (tmp_path / "m11.py").write_bytes(b"s = '\xff'\n")
    return tmp_path


def _run(tree, jobs, compact=False):
    entries = list(find_files([str(tree)]))
    settings = dict(SETTINGS, compact=compact)
    return [(e.display, record, skip) for e, record, skip in runner.analyze_stream(entries, settings, jobs)]


def test_workers_return_the_in_process_results_in_order(tree):
    alone, pooled = _run(tree, 1), _run(tree, 2)
    assert [d for d, _, _ in pooled] == sorted(d for d, _, _ in pooled)
    assert pooled == alone
    skips = {d: s for d, r, s in pooled if r is None}
    assert set(skips) == {"m07.py", "m11.py"}
    assert skips["m07.py"][0] == "syntax" and skips["m11.py"][0] == "decode"
    assert all(r["path"] == d and r["bytes"] > 0 for d, r, _ in pooled if r is not None)


def test_compact_records_keep_what_the_ranking_needs(tree):
    full, small = _run(tree, 2), _run(tree, 2, compact=True)
    for (_, a, _), (_, b, _) in zip(full, small):
        if a is None:
            assert b is None
            continue
        assert b["verdict"] == {"pattern": a["verdict"]["pattern"], "category": a["verdict"]["category"]}
        for ua, ub in zip(a["units"], b["units"]):
            if ua["advice"]["action"] == "leave alone":
                assert ub == {"name": ua["name"], "pattern": ua["pattern"],
                              "advice": {"action": "leave alone", "gain": 0.0}}
            else:
                assert ub == ua


def test_a_failing_file_does_not_end_the_run(tree, monkeypatch):
    def explode(self, text, path="<source>", package=None):
        raise RuntimeError("boom in %s" % path)

    monkeypatch.setattr(runner.make_analyzer(SETTINGS).__class__, "analyze_source", explode)
    results = _run(tree, 1)
    assert all(r is None and s[0] in ("error", "decode") for _, r, s in results)
    assert ("error", "analysis failed: RuntimeError: boom in m00.py") in [s for _, _, s in results]


def test_skipped_entries_pass_through_in_place(tmp_path):
    (tmp_path / "a.py").write_text("x = 1\n")
    entries = [Skipped("gone.py", "gone.py", "missing", "no such file or directory"),
               Found(str(tmp_path / "a.py"), "a.py", 6)]
    out = list(runner.analyze_stream(entries, SETTINGS, 2))
    assert [(e.display, r is None) for e, r, _ in out] == [("gone.py", True), ("a.py", False)]
