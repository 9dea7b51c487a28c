"""`velmora bench`: the benchmark suite of a source checkout's bench/ folder, as one table."""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import sys
from typing import Any, List, Optional, Tuple

from velmora.cli._common import PROG, CommandError, Progress, write


def find_bench_dir(explicit: Optional[str] = None) -> Tuple[Optional[str], List[str]]:
    """The benchmark folder: --bench-dir, else ./bench, else bench/ of the source checkout holding
    this package (src layout). Returns (folder or None, the places looked at)."""
    if explicit:
        candidates = [explicit]
    else:
        package = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        candidates = [os.path.join(os.getcwd(), "bench"),
                      os.path.normpath(os.path.join(package, os.pardir, os.pardir, "bench"))]
    looked: List[str] = []
    for c in candidates:
        c = os.path.abspath(c)
        if c in looked:
            continue
        looked.append(c)
        if os.path.isfile(os.path.join(c, "run_all.py")) and os.path.isfile(os.path.join(c, "harness.py")):
            return c, looked
    return None, looked


def _load_run_all(bench_dir: str) -> Any:
    module_spec = importlib.util.spec_from_file_location("velmora_bench_run_all", os.path.join(bench_dir, "run_all.py"))
    if module_spec is None or module_spec.loader is None:
        raise CommandError("cannot load %s" % os.path.join(bench_dir, "run_all.py"))
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def cmd_bench(args: argparse.Namespace) -> int:
    bench_dir, looked = find_bench_dir(args.bench_dir)
    if bench_dir is None:
        raise CommandError("no benchmark folder found (looked for run_all.py and harness.py in %s); run this "
                           "from a source checkout of velmora or pass --bench-dir" % ", ".join(looked))
    run_all = _load_run_all(bench_dir)
    progress = Progress(always=True, interval=0.0)
    try:
        result = run_all.run(bench_dir, quick=args.quick, only=args.modules or None,
                             progress=lambda message: progress(message, force=True))
    finally:
        progress.done()
    if args.json:
        write(json.dumps(result, indent=2))
    else:
        write(run_all.format_report(result))
    for err in result["errors"]:
        sys.stderr.write("%s bench: %s: %s\n" % (PROG, err["file"], err["error"]))
    if not result["rows"] and not result["errors"]:
        raise CommandError("no benchmarks matched %s in %s" % (" ".join(args.modules) or "*", bench_dir))
    return 0 if result["all_met"] and not result["errors"] else 1


def register(sub: Any) -> None:
    p = sub.add_parser("bench", help="run the benchmark suite of bench/",
                       description="Run every bench/bench_*.py (or those named) through bench/harness.py and print "
                                   "one table: ns/op and the ratios to the pure-Python twin, the interpreter's call "
                                   "floor and the peer, and whether each bar is met. Needs a source checkout.")
    p.add_argument("modules", nargs="*", metavar="MODULE", help="only these benchmarks, e.g. lockless taskgauge")
    p.add_argument("--quick", action="store_true", help="fewer and shorter repeats")
    p.add_argument("--json", action="store_true", help="print one JSON document")
    p.add_argument("--bench-dir", metavar="DIR", help="the bench/ folder (default ./bench, else the checkout's)")
    p.set_defaults(func=cmd_bench)
