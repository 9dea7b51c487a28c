"""Analysing many files: in worker processes, results streamed back in input order.

``analyze_stream(entries, settings, jobs)`` takes the entries of ``files.find_files`` and yields one
``(entry, record_or_None, skip_reason_or_None)`` per entry, in the same order, as soon as the
results are in. Only the files in flight and the results that arrived ahead of a slower earlier
file are held, so memory stays bounded however large the tree.

``settings["compact"]`` builds lean records (``scoring.Analyzer``): for units with nothing to
suggest only their name, pattern and action travel back. Each worker builds its own ``Analyzer``
from ``settings`` (thresholds and host facts, plain data) and runs with the cyclic garbage
collector paused between periodic collections: syntax trees hold no reference cycles, and
collecting while millions of nodes are alive costs more than parsing.
"""

from __future__ import annotations

import gc
import multiprocessing
import os
import sys
from typing import Any, Dict, Iterable, Iterator, Mapping, Optional, Tuple, Union

from velmora.analysis.files import Found, Skipped
from velmora.analysis.source import SourceError, decode_source, package_of

__all__ = ["analyze_stream", "analyze_one", "default_jobs", "make_analyzer", "IN_PROCESS_BELOW"]

# Below this many files the pool's start-up costs more than it saves.
IN_PROCESS_BELOW = 24
_COLLECT_EVERY = 200

_ANALYZER: Any = None
_DONE = 0

Result = Tuple[Union[Found, Skipped], Optional[Dict[str, Any]], Optional[Tuple[str, str]]]


def make_analyzer(settings: Mapping[str, Any]) -> Any:
    from velmora.analysis.scoring import Analyzer
    from velmora.plugins.analyzer import taskgauge

    return Analyzer(taskgauge, settings["thresholds"], settings["host"], lean=bool(settings.get("compact")))


def _init_worker(settings: Mapping[str, Any]) -> None:
    global _ANALYZER
    _ANALYZER = make_analyzer(settings)
    gc.disable()


def analyze_one(analyzer: Any, path: str, display: str) -> Tuple[Optional[Dict[str, Any]], Optional[Tuple[str, str]]]:
    """(record, None) for a file analysed, (None, (kind, reason)) for one that could not be."""
    try:
        with open(path, "rb") as handle:
            raw = handle.read()
        record = analyzer.analyze_source(decode_source(raw), display, package_of(path))
    except OSError as exc:
        return None, ("unreadable", "cannot read: %s" % (exc.strerror or exc))
    except SourceError as exc:
        return None, (exc.kind, str(exc))
    except MemoryError:
        return None, ("error", "out of memory while analysing")
    except Exception as exc:  # a fault in the analysis of one file must not end the run
        return None, ("error", "analysis failed: %s: %s" % (type(exc).__name__, exc))
    record["bytes"] = len(raw)
    return record, None


def _work(task: Tuple[str, str]) -> Tuple[Optional[Dict[str, Any]], Optional[Tuple[str, str]]]:
    global _DONE
    result = analyze_one(_ANALYZER, task[0], task[1])
    _DONE += 1
    if _DONE % _COLLECT_EVERY == 0:
        gc.collect()
    return result


def _context() -> Any:
    # fork starts workers fastest and they inherit the loaded modules; elsewhere the default.
    if sys.platform.startswith("linux") and "fork" in multiprocessing.get_all_start_methods():
        return multiprocessing.get_context("fork")
    return multiprocessing.get_context()


def default_jobs() -> int:
    try:
        return max(len(os.sched_getaffinity(0)), 1)
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def analyze_stream(entries: Iterable[Union[Found, Skipped]], settings: Mapping[str, Any],
                   jobs: int = 0) -> Iterator[Result]:
    """Results for ``entries`` in their order (see the module docstring). ``jobs`` 0 picks one
    worker per usable CPU; 1, or fewer than ``IN_PROCESS_BELOW`` files, analyses in this process."""
    entries = list(entries)
    files = [e for e in entries if isinstance(e, Found)]
    jobs = jobs or default_jobs()
    jobs = min(jobs, len(files)) if files else 1
    if jobs <= 1 or len(files) < IN_PROCESS_BELOW:
        analyzer = make_analyzer(settings)
        for entry in entries:
            if isinstance(entry, Skipped):
                yield entry, None, None
            else:
                record, skip = analyze_one(analyzer, entry.path, entry.display)
                yield entry, record, skip
        return
    chunk = max(1, min(16, len(files) // (jobs * 64)))
    pool = _context().Pool(jobs, initializer=_init_worker, initargs=(dict(settings),))
    try:
        results = pool.imap(_work, [(e.path, e.display) for e in files], chunksize=chunk)
        for entry in entries:
            if isinstance(entry, Skipped):
                yield entry, None, None
            else:
                record, skip = next(results)
                yield entry, record, skip
        pool.close()
    except BaseException:
        pool.terminate()
        raise
    finally:
        pool.join()
