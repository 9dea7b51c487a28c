"""`velmora analyze`: which units of a code base would speed up, and how.

Text output: one line on the host, the top units ranked by expected gain with their pattern,
action and reason, then one line per file (the files with the most to gain first) and a closing
summary. ``--details`` (or a single file) adds each file's unit table. ``--json`` prints one
document, streamed file by file, with this shape::

    {"host": {...}, "thresholds": {...}, "options": {...},
     "files": [{"path", "location", "test_file", "lines", "bytes", "package", "frameworks_imported",
                "imports", "verdict": UNIT, "units": [UNIT, ...]}, ...],
     "skipped": [{"path", "kind", "reason"}, ...],
     "ranking": [{"rank", "path", "name", "kind", "lines", "pattern", "action", "speedup", "gain",
                  "reason", "evidence"}, ...],
     "summary": {"files", "units", "skipped", "skipped_by_kind", "file_patterns", "unit_patterns",
                 "actions", "seconds"}}

UNIT is the record of ``velmora.analysis.scoring.Analyzer.score`` (scores, counts, loops,
evidence and advice). Exit status: 0 every file analysed, 3 analysed but some files skipped,
1 nothing could be analysed, 2 usage error.
"""

from __future__ import annotations

import argparse
import heapq
import json
import os
import shutil
import sys
import tempfile
import time
from typing import IO, Any, Dict, List, Optional, Sequence, Tuple

from velmora._table import render_table
from velmora.analysis.advice import ACTIONS, LEAVE, VECTOR_FACTOR
from velmora.analysis.files import DEFAULT_EXCLUDES, DEFAULT_MAX_FILE_SIZE, Found, Skipped, find_files, is_test_file
from velmora.analysis.runner import analyze_stream
from velmora.analysis.scoring import DEFAULT_THRESHOLDS
from velmora.cli._common import (
    PROG,
    Progress,
    compute_capability,
    count_int,
    float_in,
    host_facts,
    host_line,
    human_bytes,
    import_native,
    parse_size,
    positive_int,
    write,
)

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_PARTIAL = 0, 1, 2, 3
DEFAULT_TOP = 15
DEFAULT_FILES = 25
INDICATOR_COLUMNS = (("cpu", "cpu"), ("mem", "memory"), ("par", "parallel"), ("gpu_op", "gpu_op"),
                     ("large", "large_data"), ("emb", "embarrassing"), ("seq", "sequential"))


def _ranges_text(runs: List[List[int]], limit: int = 3) -> str:
    parts = [("%d" % a) if a == b else ("%d-%d" % (a, b)) for a, b in runs]
    return ",".join(parts[:limit]) + (",..." if len(parts) > limit else "")


def _speedup(x: float) -> str:
    return "%.1fx" % x


def _evidence_text(unit: Dict[str, Any]) -> str:
    ev = unit["evidence"]
    parts = []
    if ev["imports"]:
        parts.append("imports: " + "; ".join(ev["imports"][:3]) + ("; ..." if len(ev["imports"]) > 3 else ""))
    if ev["uses"]:
        parts.append("uses " + ", ".join("%s (%s)" % (", ".join(v[:3]), fw) for fw, v in ev["uses"].items()))
    words = []
    for table, found in ev["keywords"].items():
        if found:
            credited = table not in ("numpy", "pandas", "sklearn") or table in ev["credited"]
            label = table if credited else "%s, not credited" % table
            words.append("%s: %s" % (label, " ".join(found)))
    for table, found in ev["name_keywords"].items():
        words.append("%s from the name: %s" % (table, " ".join(found)))
    parts.append("keywords: " + ("; ".join(words) if words else "none"))
    loops = unit["loops"]
    if loops["count"]:
        carried = loops.get("carried") or []
        parts.append("loops: %d, %d chunkable, %d independent%s" % (
            loops["count"], loops["chunkable"], loops["independent"],
            " (carried: %s)" % ", ".join(carried[:4]) if carried else ""))
    return " | ".join(parts)


class Collector:
    """What the text report needs, kept small: the top units, one line per file, the counts."""

    def __init__(self, top: int) -> None:
        self.top = top
        self.heap: List[Tuple[float, int, Dict[str, Any]]] = []
        self.files: List[Tuple[float, int, Tuple[Any, ...]]] = []
        self.skipped: List[Dict[str, str]] = []
        self.file_patterns: Dict[str, int] = {}
        self.unit_patterns: Dict[str, int] = {}
        self.actions: Dict[str, int] = {}
        self.units = 0
        self.seq = 0
        self.unranked = 0  # test files, analysed but not ranked

    def add(self, record: Dict[str, Any], ranked: bool = True) -> None:
        """Count a file's units; ``ranked`` False keeps them out of the ranking and gain (test code)."""
        self.seq += 1
        if not ranked:
            self.unranked += 1
        verdict = record["verdict"]
        self.file_patterns[verdict["pattern"]] = self.file_patterns.get(verdict["pattern"], 0) + 1
        total, suggested, best = 0.0, 0, None
        for unit in record["units"]:
            self.units += 1
            advice = unit["advice"]
            self.unit_patterns[unit["pattern"]] = self.unit_patterns.get(unit["pattern"], 0) + 1
            self.actions[advice["action"]] = self.actions.get(advice["action"], 0) + 1
            if advice["action"] == LEAVE:
                continue
            suggested += 1
            if not ranked:
                continue
            total += advice["gain"]
            if best is None or advice["gain"] > best["advice"]["gain"]:
                best = unit
            self.seq += 1
            item = (advice["gain"], -self.seq, dict(unit, path=record["path"]))
            if len(self.heap) < self.top:
                heapq.heappush(self.heap, item)
            elif item[:2] > self.heap[0][:2]:
                heapq.heapreplace(self.heap, item)
        best_text = "-" if best is None else "%s: %s %s" % (best["name"], best["advice"]["action"],
                                                            _speedup(best["advice"]["speedup"]))
        self.files.append((total, self.seq, (record["path"], record["lines"], len(record["units"]),
                                             verdict["pattern"], suggested, "%.1f" % total if ranked else "test",
                                             best_text if ranked else "-")))

    def ranking(self) -> List[Dict[str, Any]]:
        ordered = sorted(self.heap, key=lambda item: (-item[0], -item[1]))
        out = []
        for rank, (_, _, unit) in enumerate(ordered, 1):
            advice = unit["advice"]
            out.append({"rank": rank, "path": unit["path"], "name": unit["name"], "kind": unit["kind"],
                        "lines": unit["lines"], "pattern": unit["pattern"], "category": unit["category"],
                        "action": advice["action"], "speedup": advice["speedup"], "weight": advice["weight"],
                        "gain": advice["gain"], "reason": advice["reason"], "evidence": unit["evidence"],
                        "loops": unit["loops"]})
        return out

    def summary(self, seconds: float) -> Dict[str, Any]:
        kinds: Dict[str, int] = {}
        for s in self.skipped:
            kinds[s["kind"]] = kinds.get(s["kind"], 0) + 1

        def ordered(counts: Dict[str, int]) -> Dict[str, int]:
            return dict(sorted(counts.items(), key=lambda kv: (-kv[1], kv[0])))

        return {"files": len(self.files), "units": self.units, "skipped": len(self.skipped),
                "skipped_by_kind": ordered(kinds), "file_patterns": ordered(self.file_patterns),
                "unit_patterns": ordered(self.unit_patterns),
                "actions": {a: self.actions[a] for a in ACTIONS if a in self.actions},
                "seconds": round(seconds, 3)}


def _unit_table(record: Dict[str, Any], verbose: bool) -> str:
    v = record["verdict"]
    headers = ["unit", "lines", "pattern", "numpy", "pandas", "sklearn", "parallel", "gpu", "speed-up", "action"]
    if verbose:
        headers += [short for short, _ in INDICATOR_COLUMNS] + ["chunk"]
    rows = []
    for u in [v] + record["units"]:
        fw = u["frameworks"]
        advice = u["advice"]
        action = "-" if u["kind"] == "file" else (
            advice["action"] if advice["action"] == LEAVE
            else "%s %s" % (advice["action"], _speedup(advice["speedup"])))
        row = ["(whole file)" if u["kind"] == "file" else u["name"], _ranges_text(u["line_ranges"]), u["pattern"],
               "%.2f" % fw["numpy"], "%.2f" % fw["pandas"], "%.2f" % fw["sklearn"],
               "%.2f" % u["parallelization_potential"], "%.2f" % u["gpu_suitability"], _speedup(u["gpu_speedup"]),
               action]
        if verbose:
            row += [u["indicators"][k] for _, k in INDICATOR_COLUMNS] + ["%.2f" % u["loop_chunking_potential"]]
        rows.append(row)
    right = [3, 4, 5, 6, 7, 8] + (list(range(10, len(headers))) if verbose else [])
    head = "%s  (%d lines): %s, %s" % (record["path"], record["lines"], v["pattern"], v["category"])
    if record["imports"]:
        head += "; imports %s" % ", ".join(record["frameworks_imported"])
    return head + "\n" + render_table(headers, rows, right=right, indent="  ")


RANKING_LEGEND = (
    ("pattern", "taskgauge's workload pattern for the unit's code (comments, docstrings and strings left out)"),
    ("action", "what to try: vectorise, parallelise with processes or threads, move to a GPU (rules: "
               "velmora.analysis.advice)"),
    ("speed-up", "estimated for the unit: GPU from taskgauge; processes/threads by Amdahl's law with the parallel "
                 "potential on this host's CPUs; vectorise assuming %gx on loops with independent iterations"
                 % VECTOR_FACTOR),
    ("gain", "(speed-up - 1) x weight, weight = 1 + the nesting depths of the unit's loops summed"),
    ("why", "the facts behind the action; -v adds the imports and keywords that matched"),
)
DETAIL_LEGEND = (
    ("numpy/pandas/sklearn", "framework scores credited to the unit (0 when the file does not import it)"),
    ("parallel", "parallelisation potential 0..1 (taskgauge)"),
    ("gpu, speed-up", "GPU suitability 0..1 and estimated GPU speed-up for this host (1.0x without a GPU)"),
    ("cpu .. seq", "indicator keyword counts: cpu, memory, parallel, GPU operations, large data, embarrassingly "
                   "parallel, sequential"),
    ("chunk", "share of the loops whose iterations could run in independent chunks"),
)


def _legend(items: Sequence[Tuple[str, str]]) -> str:
    width = max(len(k) for k, _ in items)
    return "\n".join("  %s  %s" % (k.ljust(width), text) for k, text in items)


REASON_WIDTH = 90


def _clip(text: str, width: int) -> str:
    return text if len(text) <= width else text[:width - 3].rstrip() + "..."


def _print_ranking(collector: Collector, top: int, verbose: bool) -> List[Dict[str, Any]]:
    ranking = collector.ranking()
    if not ranking:
        write("Nothing to suggest: no unit has work that vectorising, parallelising or a GPU would speed up "
              "(%d unit%s analysed%s)." % (collector.units, "s" * (collector.units != 1),
                                          "; test code is not ranked, --rank-tests ranks it" if collector.unranked
                                          else ""))
        return ranking
    suggested = sum(n for action, n in collector.actions.items() if action != LEAVE)
    tests = (", test code in %d file%s not ranked (--rank-tests ranks it)" % (
        collector.unranked, "s" * (collector.unranked != 1))) if collector.unranked else ""
    write("Top %d units by expected gain, of %d with a suggestion among %d analysed%s (a static estimate; "
          "`velmora profile` measures)" % (len(ranking), suggested, collector.units, tests))
    rows = [(r["rank"], "%s:%d %s" % (r["path"], r["lines"][0], r["name"]), r["pattern"], r["action"],
             _speedup(r["speedup"]), "%.1f" % r["gain"], r["reason"] if verbose else _clip(r["reason"], REASON_WIDTH))
            for r in ranking]
    write(render_table(("#", "unit", "pattern", "action", "speed-up", "gain", "why"), rows, right=(0, 4, 5),
                       indent="  "))
    if verbose:
        write()
        write("Evidence")
        for r in ranking:
            write("  %d. %s" % (r["rank"], _evidence_text(r)))
        write()
        write("Columns")
        write(_legend(RANKING_LEGEND))
    return ranking


def _print_files(collector: Collector, limit: int) -> None:
    files = sorted(collector.files, key=lambda item: (-item[0], item[1]))
    shown = files if limit == 0 else files[:limit]
    write("Files (%s)" % ("by expected gain" if len(shown) == len(files) else
                          "the %d of %d with the most to gain; --files 0 lists all" % (len(shown), len(files))))
    write(render_table(("file", "lines", "units", "pattern", "suggestions", "gain", "best"),
                       [item[2] for item in shown], right=(1, 2, 4, 5), indent="  "))


class JsonStream:
    """One JSON document written piece by piece: the file records as they come."""

    def __init__(self, out: IO[str], head: Dict[str, Any]) -> None:
        self.out = out
        self.first = True
        text = json.dumps(head, indent=1)
        out.write(text[:-2] + ',\n "files": [')

    def file(self, record: Dict[str, Any]) -> None:
        self.out.write(("\n  " if self.first else ",\n  ") + json.dumps(record))
        self.first = False

    def close(self, tail: Dict[str, Any]) -> None:
        self.out.write("\n ],\n")
        parts = [' "%s": %s' % (key, json.dumps(value)) for key, value in tail.items()]
        self.out.write(",\n".join(parts) + "\n}\n")


def cmd_analyze(args: argparse.Namespace) -> int:
    started = time.perf_counter()
    import_native("velmora.plugins.analyzer.taskgauge")  # fail early, with one line, if it does not load
    thresholds = {name: getattr(args, "%s_threshold" % name) for name, _, _ in DEFAULT_THRESHOLDS}
    facts = host_facts(args.gpu, args.compute_capability)
    details = args.details or (len(args.paths) == 1 and os.path.isfile(args.paths[0]))
    settings = {"thresholds": thresholds, "host": facts, "compact": not (args.json or details)}
    max_size = None if args.max_file_size == 0 else args.max_file_size
    entries = list(find_files(args.paths, args.exclude, not args.no_default_excludes, max_size))
    total = sum(isinstance(e, Found) for e in entries)
    collector = Collector(args.top)
    progress = Progress()
    stream: Optional[JsonStream] = None
    spool: Optional[IO[str]] = None
    if args.json:
        stream = JsonStream(sys.stdout, {
            "host": facts, "thresholds": thresholds,
            "options": {"paths": list(args.paths), "top": args.top, "rank_tests": args.rank_tests,
                        "exclude": list(args.exclude),
                        "default_excludes": not args.no_default_excludes, "max_file_size": max_size}})
    else:
        write(host_line(facts))
        if details:
            spool = tempfile.TemporaryFile("w+", encoding="utf-8")
    done = 0
    try:
        for entry, record, skip in analyze_stream(entries, settings, args.jobs):
            if record is None:
                if isinstance(entry, Skipped):
                    kind, reason = entry.kind, entry.reason
                else:
                    kind, reason = skip  # type: ignore[misc]
                collector.skipped.append({"path": entry.display, "kind": kind, "reason": reason})
                progress.note("%s analyze: %s: %s" % (PROG, entry.display, reason))
            else:
                record["location"] = os.path.abspath(entry.path)
                record["test_file"] = is_test_file(entry.relative) if isinstance(entry, Found) else False
                collector.add(record, ranked=args.rank_tests or not record["test_file"])
                if stream is not None:
                    stream.file(record)
                elif spool is not None:
                    spool.write("\n" + _unit_table(record, args.verbose) + "\n")
            if isinstance(entry, Found):
                done += 1
                elapsed = time.perf_counter() - started
                progress("analyse: %d/%d files, %.0f files/s, %d skipped" % (
                    done, total, done / elapsed if elapsed > 0 else 0.0, len(collector.skipped)))
    finally:
        progress.done()
    summary = collector.summary(time.perf_counter() - started)
    if stream is not None:
        stream.close({"skipped": collector.skipped, "ranking": collector.ranking(), "summary": summary})
    else:
        write()
        _print_ranking(collector, args.top, args.verbose)
        if spool is not None:
            spool.seek(0)
            shutil.copyfileobj(spool, sys.stdout)
            spool.close()
            if args.verbose:
                write()
                write("Unit table columns")
                write(_legend(DETAIL_LEGEND))
        if len(collector.files) > 1:
            write()
            _print_files(collector, args.files)
        write()
        write(_summary_line(summary))
    if not collector.files:
        if not collector.skipped:
            sys.stderr.write("%s analyze: nothing to analyse\n" % PROG)
        return EXIT_FAILED
    return EXIT_PARTIAL if collector.skipped else EXIT_OK


def _summary_line(summary: Dict[str, Any]) -> str:
    skipped = summary["skipped"]
    kinds = ", ".join("%s %d" % kv for kv in summary["skipped_by_kind"].items())
    text = "%d file%s, %d unit%s analysed in %.1f s; %d skipped%s." % (
        summary["files"], "s" * (summary["files"] != 1), summary["units"], "s" * (summary["units"] != 1),
        summary["seconds"], skipped, " (%s)" % kinds if kinds else "")
    if summary["actions"]:
        text += " Units by action: " + ", ".join("%s %d" % kv for kv in summary["actions"].items()) + "."
    if summary["file_patterns"]:
        text += " Files by pattern: " + ", ".join("%s %d" % kv for kv in summary["file_patterns"].items()) + "."
    return text


def register(sub: Any) -> None:
    p = sub.add_parser(
        "analyze", help="which parts of a code base would speed up, and how",
        description="Split Python files (folders recursively) into module body, functions and methods; score the "
                    "code of each (comments, docstrings and strings left out) with taskgauge, crediting a framework "
                    "only in files that import it; rank the units by expected gain with a suggested action. "
                    "Exit status: 0 all analysed, 3 some files skipped, 1 nothing analysed, 2 usage error.")
    p.add_argument("paths", nargs="+", metavar="PATH", help="Python file or folder")
    p.add_argument("--json", action="store_true", help="print one JSON document with every score and the evidence")
    p.add_argument("-v", "--verbose", action="store_true",
                   help="show the evidence of each ranked unit, indicator counts in unit tables, and what each "
                        "column means")
    p.add_argument("--details", action="store_true", help="print every file's unit table (default for a single file)")
    p.add_argument("--top", type=positive_int, default=DEFAULT_TOP, metavar="N",
                   help="rank this many units (default %d)" % DEFAULT_TOP)
    p.add_argument("--files", type=count_int, default=DEFAULT_FILES, metavar="N",
                   help="list this many files in the file summary, 0 for all (default %d)" % DEFAULT_FILES)
    p.add_argument("--rank-tests", action="store_true",
                   help="rank test code too (files under test/ or tests/, test_*.py, *_test.py, conftest.py); by "
                        "default it is analysed and counted but not ranked")
    p.add_argument("--exclude", action="append", default=[], metavar="GLOB",
                   help="leave out files and folders whose name or relative path matches (repeatable), "
                        "e.g. --exclude tests --exclude '*_pb2.py'")
    p.add_argument("--no-default-excludes", action="store_true",
                   help="also walk what is left out by default: %s" % ", ".join(DEFAULT_EXCLUDES))
    p.add_argument("--max-file-size", type=parse_size, default=DEFAULT_MAX_FILE_SIZE, metavar="SIZE",
                   help="skip larger files, e.g. 8MiB; 0 for no limit (default %s)"
                   % human_bytes(DEFAULT_MAX_FILE_SIZE))
    p.add_argument("-j", "--jobs", type=count_int, default=0, metavar="N",
                   help="worker processes (default: one per usable CPU; 1 analyses in this process)")
    p.add_argument("--gpu", choices=("auto", "yes", "no"), default="auto",
                   help="score for a GPU: auto asks hostprobe (default), yes/no overrides it")
    p.add_argument("--compute-capability", metavar="X.Y", type=compute_capability, default=None,
                   help="GPU compute capability such as 8.6 (default: read from the CUDA device, else unknown)")
    for name, default, text in DEFAULT_THRESHOLDS:
        p.add_argument("--%s-threshold" % name, type=float_in(0.0, 1.0, "threshold"), default=default,
                       metavar="T", help="%s (default %.2f)" % (text, default))
    p.set_defaults(func=cmd_analyze)
