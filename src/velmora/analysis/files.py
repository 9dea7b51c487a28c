"""Finding the Python files to analyse under the paths a user gives.

``find_files(paths, ...)`` yields, in a stable order, one ``Found`` per file to analyse and one
``Skipped`` per path that cannot be used (missing, unreadable folder, too large, not a regular
file, a folder without Python files). Folders are walked recursively for ``*.py`` files in sorted
order; a file named explicitly is analysed whatever its suffix. Every file is analysed once, however
many arguments or links lead to it.

Folders left out by default (``DEFAULT_EXCLUDES``): hidden folders (``.git``, ``.venv``, ``.tox``
...), ``__pycache__``, virtual environments (any folder holding ``pyvenv.cfg``), ``node_modules``,
``*.egg-info``, and ``build`` or ``dist`` folders that are not Python packages. ``exclude`` adds
glob patterns, matched against each file's or folder's name and against its path relative to the
argument (``tests``, ``*_pb2.py``, ``docs/*``).
"""

from __future__ import annotations

import fnmatch
import os
import stat
from typing import Callable, Iterator, List, NamedTuple, Optional, Sequence, Set, Tuple, Union

__all__ = ["Found", "Skipped", "find_files", "is_test_file", "DEFAULT_EXCLUDES", "DEFAULT_MAX_FILE_SIZE",
           "display_path"]

DEFAULT_MAX_FILE_SIZE = 2 * 1024 * 1024
DEFAULT_EXCLUDES = ("hidden folders (.git, .venv, ...)", "__pycache__", "virtual environments (pyvenv.cfg)",
                    "node_modules", "*.egg-info", "build/ and dist/ folders that are not packages")


class Found(NamedTuple):
    path: str           # as it can be opened
    display: str        # as it is shown: relative to the argument
    size: int
    relative: str = ""  # below the folder given; empty for a file named on its own


_TEST_FOLDERS = frozenset(("test", "tests"))


def is_test_file(relative: str) -> bool:
    """Test code by its place below the folder given: under a ``test`` or ``tests`` folder, or
    named ``test_*.py``, ``*_test.py`` or ``conftest.py``. A file named on its own never is."""
    parts = relative.replace(os.sep, "/").split("/")
    name = parts[-1]
    return (any(p in _TEST_FOLDERS for p in parts[:-1]) or name.startswith("test_") or name.endswith("_test.py")
            or name == "conftest.py")


class Skipped(NamedTuple):
    path: str
    display: str
    kind: str      # missing, unreadable, too-large, not-regular, empty
    reason: str


Entry = Union[Found, Skipped]


def _default_excluded_dir(name: str, full: str) -> bool:
    if name.startswith(".") or name in ("__pycache__", "node_modules") or name.endswith(".egg-info"):
        return True
    if name in ("build", "dist") and not os.path.isfile(os.path.join(full, "__init__.py")):
        return True
    return os.path.isfile(os.path.join(full, "pyvenv.cfg"))


def _matches(patterns: Sequence[str], name: str, relative: str) -> bool:
    return any(fnmatch.fnmatchcase(name, p) or fnmatch.fnmatchcase(relative, p) for p in patterns)


def display_path(argument: str, relative: str, single: bool) -> str:
    """A found file as shown: relative to its argument when one folder was given, else under the
    argument as typed."""
    if single:
        return relative
    return os.path.normpath(os.path.join(argument, relative)) if relative else argument


def _size_text(n: int) -> str:
    return "%.1f MiB" % (n / 1048576.0) if n >= 1048576 else "%.1f KiB" % (n / 1024.0)


def find_files(paths: Sequence[str], exclude: Sequence[str] = (), default_excludes: bool = True,
               max_size: Optional[int] = DEFAULT_MAX_FILE_SIZE) -> Iterator[Entry]:
    """``Found`` and ``Skipped`` entries for ``paths`` (see the module docstring)."""
    seen: Set[Tuple[int, int]] = set()
    single = len(paths) == 1 and os.path.isdir(paths[0])
    patterns = [p.rstrip("/") or p for p in exclude]

    duplicates = [0]

    def check(full: str, shown: str, st: os.stat_result, relative: str = "") -> Optional[Entry]:
        key = (st.st_dev, st.st_ino)
        if key in seen:
            duplicates[0] += 1
            return None
        seen.add(key)
        if max_size is not None and st.st_size > max_size:
            return Skipped(full, shown, "too-large", "larger than the %s limit (%s); --max-file-size raises it"
                           % (_size_text(max_size), _size_text(st.st_size)))
        return Found(full, shown, st.st_size, relative)

    for argument in paths:
        try:
            st = os.stat(argument)
        except OSError as exc:
            if os.path.lexists(argument):
                yield Skipped(argument, argument, "not-regular", "broken symbolic link")
            else:
                yield Skipped(argument, argument, "missing", "no such file or directory"
                              if getattr(exc, "errno", None) == 2 else "cannot read: %s" % (exc.strerror or exc))
            continue
        if stat.S_ISREG(st.st_mode):
            entry = check(argument, argument, st)
            if entry is not None:
                yield entry
            continue
        if not stat.S_ISDIR(st.st_mode):
            yield Skipped(argument, argument, "not-regular", "not a regular file")
            continue
        found_any, before = False, duplicates[0]
        for entry in _walk(argument, patterns, default_excludes, single, check):
            if isinstance(entry, Found) or entry.kind != "unreadable":
                found_any = True
            yield entry
        if not found_any and duplicates[0] == before:
            yield Skipped(argument, argument, "empty", "no Python files in this directory")


def _walk(root: str, patterns: Sequence[str], default_excludes: bool, single: bool,
          check: Callable[[str, str, os.stat_result, str], Optional[Entry]]) -> Iterator[Entry]:
    stack: List[Tuple[str, str]] = [(root, "")]
    while stack:
        folder, relative = stack.pop()
        try:
            with os.scandir(folder) as it:
                entries = sorted(it, key=lambda e: e.name)
        except OSError as exc:
            shown = display_path(root, relative, single) if relative else root
            yield Skipped(folder, shown, "unreadable", "cannot read directory: %s" % (exc.strerror or exc))
            continue
        subfolders = []
        for entry in entries:
            name = entry.name
            rel = name if not relative else relative + "/" + name
            try:
                is_dir = entry.is_dir(follow_symlinks=False)
            except OSError:
                is_dir = False
            if is_dir:
                if (default_excludes and _default_excluded_dir(name, entry.path)) or _matches(patterns, name, rel):
                    continue
                subfolders.append((entry.path, rel))
                continue
            if not name.endswith(".py") or _matches(patterns, name, rel):
                continue
            shown = display_path(root, rel, single)
            try:
                st = entry.stat()
            except OSError:
                yield Skipped(entry.path, shown, "not-regular", "broken symbolic link")
                continue
            if not stat.S_ISREG(st.st_mode):
                yield Skipped(entry.path, shown, "not-regular", "not a regular file")
                continue
            result = check(entry.path, shown, st, rel)
            if result is not None:
                yield result
        stack.extend(reversed(subfolders))
