"""Finding files: default and given exclusions, duplicates, size limit, unusable paths."""

import os

import pytest

from velmora.analysis import files
from velmora.analysis.files import Found, Skipped, find_files


def make(root, *paths, text="x = 1\n"):
    for rel in paths:
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


def shown(entries):
    return [e.display for e in entries if isinstance(e, Found)]


def test_default_exclusions(tmp_path):
    make(tmp_path, "a.py", "pkg/b.py", "pkg/deep/c.py", ".git/hooks/d.py", ".venv/lib/e.py", "pkg/__pycache__/f.py",
         "env/lib/g.py", "env/pyvenv.cfg", "build/lib/h.py", "dist/i.py", "x.egg-info/j.py", "node_modules/k.py",
         "pkg/build/__init__.py", "pkg/build/l.py", "notes.txt")
    assert shown(find_files([str(tmp_path)])) == ["a.py", "pkg/b.py", "pkg/build/__init__.py", "pkg/build/l.py",
                                                  "pkg/deep/c.py"]
    everything = shown(find_files([str(tmp_path)], default_excludes=False))
    assert len(everything) == 13 and "env/lib/g.py" in everything and ".git/hooks/d.py" in everything


@pytest.mark.parametrize("patterns, expected", [
    (["tests"], ["a.py", "m_pb2.py", "pkg/b.py"]),
    (["*_pb2.py"], ["a.py", "pkg/b.py", "tests/t.py"]),
    (["pkg/*"], ["a.py", "m_pb2.py", "tests/t.py"]),
    (["tests/", "a.py"], ["m_pb2.py", "pkg/b.py"]),
])
def test_exclude_globs_match_names_and_relative_paths(tmp_path, patterns, expected):
    make(tmp_path, "a.py", "m_pb2.py", "pkg/b.py", "tests/t.py")
    assert sorted(shown(find_files([str(tmp_path)], exclude=patterns))) == sorted(expected)


def test_each_file_is_analysed_once_however_it_is_reached(tmp_path):
    make(tmp_path, "pkg/a.py", "pkg/b.py")
    os.symlink(tmp_path / "pkg" / "a.py", tmp_path / "pkg" / "alias.py")
    entries = list(find_files([str(tmp_path / "pkg"), str(tmp_path / "pkg" / "a.py"), str(tmp_path / "pkg")]))
    assert [os.path.basename(e.path) for e in entries] == ["a.py", "b.py"]


def test_display_paths_are_relative_to_a_single_folder_argument(tmp_path):
    make(tmp_path, "one/a.py", "two/b.py")
    assert shown(find_files([str(tmp_path / "one")])) == ["a.py"]
    both = shown(find_files([str(tmp_path / "one"), str(tmp_path / "two")]))
    assert both == [str(tmp_path / "one" / "a.py"), str(tmp_path / "two" / "b.py")]


def test_files_over_the_size_limit_are_skipped_with_the_sizes(tmp_path):
    make(tmp_path, "small.py")
    (tmp_path / "big.py").write_text("x = 1\n" * 1000)
    entries = list(find_files([str(tmp_path)], max_size=1024))
    skipped = [e for e in entries if isinstance(e, Skipped)]
    assert shown(entries) == ["small.py"] and [(s.display, s.kind) for s in skipped] == [("big.py", "too-large")]
    assert "1.0 KiB limit (5.9 KiB)" in skipped[0].reason
    assert shown(find_files([str(tmp_path)], max_size=None)) == ["big.py", "small.py"]


@pytest.mark.parametrize("make_bad, kind, reason", [
    (lambda p: None, "missing", "no such file or directory"),
    (lambda p: os.symlink(p.parent / "nowhere.py", p), "not-regular", "broken symbolic link"),
    (lambda p: os.mkfifo(p), "not-regular", "not a regular file"),
])
def test_unusable_paths_are_reported(tmp_path, make_bad, kind, reason):
    bad = tmp_path / "bad.py"
    make_bad(bad)
    for argument in (str(bad), str(tmp_path)):
        entries = [e for e in find_files([argument]) if isinstance(e, Skipped)]
        if argument == str(tmp_path) and kind == "missing":
            assert [(e.kind, e.reason) for e in entries] == [("empty", "no Python files in this directory")]
        else:
            assert [(e.kind, e.reason) for e in entries] == [(kind, reason)]


def test_an_unreadable_folder_is_reported_and_the_rest_walked(tmp_path, monkeypatch):
    make(tmp_path, "ok/a.py", "locked/b.py")
    real = os.scandir

    def scandir(path):
        if os.path.basename(str(path)) == "locked":
            raise PermissionError(13, "Permission denied")
        return real(path)

    monkeypatch.setattr(files.os, "scandir", scandir)
    entries = list(find_files([str(tmp_path)]))
    assert shown(entries) == ["ok/a.py"]
    assert [(e.display, e.kind, e.reason) for e in entries if isinstance(e, Skipped)] == [
        ("locked", "unreadable", "cannot read directory: Permission denied")]


@pytest.mark.parametrize("relative, expected", [
    ("tests/test_core.py", True), ("pkg/tests/helpers.py", True), ("test/support/x.py", True),
    ("pkg/test_core.py", True), ("pkg/core_test.py", True), ("conftest.py", True),
    ("pkg/testing/utils.py", False), ("pkg/contest.py", False), ("latest/core.py", False), ("", False),
])
def test_test_code_is_recognised_by_its_place(relative, expected):
    assert files.is_test_file(relative) is expected


def test_found_files_carry_their_path_below_the_argument(tmp_path):
    make(tmp_path, "pkg/tests/t.py")
    (found,) = [e for e in find_files([str(tmp_path)]) if isinstance(e, Found)]
    assert found.relative == "pkg/tests/t.py"
    (alone,) = find_files([str(tmp_path / "pkg" / "tests" / "t.py")])
    assert alone.relative == ""
