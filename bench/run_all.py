"""Run every bench/bench_*.py through the shared harness into one table (`velmora bench` uses this).

    python bench/run_all.py [--quick] [--json] [MODULE ...]      # e.g. MODULE = lockless taskgauge

Each benchmark file's ``register(bench)`` fills its own ``harness.Bench``; the operations are timed
file by file and reported together: operation, ns/op, the ratio to its pure-Python twin, to the
interpreter's call floor and to the fastest third-party peer where there is one (a peer not installed
on this interpreter is shown as absent), and whether each bar is met. A file
that fails to import or run is reported and the others still run. Exit status 0 when every bar is
met and every file ran, else 1.
"""

from __future__ import annotations

import contextlib
import glob
import importlib.util
import json
import os
import platform
import sys
from typing import Any, Callable, Dict, List, Optional, Sequence

HERE = os.path.dirname(os.path.abspath(__file__))


def _ensure_paths(bench_dir: str) -> None:
    """harness.py must be importable as `harness`; velmora too, from the checkout's src/ if not installed."""
    if bench_dir not in sys.path:
        sys.path.insert(0, bench_dir)
    if importlib.util.find_spec("velmora") is None:
        src = os.path.join(os.path.dirname(bench_dir), "src")
        if os.path.isdir(os.path.join(src, "velmora")):
            sys.path.insert(0, src)


def discover(bench_dir: str, only: Optional[Sequence[str]] = None) -> List[str]:
    """The benchmark files, sorted; `only` keeps those whose module name (bench_<name>.py) is listed."""
    files = sorted(glob.glob(os.path.join(bench_dir, "bench_*.py")))
    if only:
        wanted = {name[len("bench_"):] if name.startswith("bench_") else name for name in only}
        wanted = {name[:-3] if name.endswith(".py") else name for name in wanted}
        files = [f for f in files if _module_name(f) in wanted]
    return files


def _module_name(path: str) -> str:
    return os.path.basename(path)[len("bench_"):-len(".py")]


def _load(path: str) -> Any:
    module_spec = importlib.util.spec_from_file_location("velmora_bench_" + _module_name(path), path)
    if module_spec is None or module_spec.loader is None:
        raise ImportError("cannot load %s" % path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def _one_line(exc: BaseException) -> str:
    lines = str(exc).strip().splitlines()
    return "%s: %s" % (type(exc).__name__, lines[0]) if lines else type(exc).__name__


def run(bench_dir: Optional[str] = None, quick: bool = False, only: Optional[Sequence[str]] = None,
        progress: Optional[Callable[[str], None]] = None) -> Dict[str, Any]:
    """Run the benchmarks; returns {"rows", "errors", "all_met", "quick", "python", "machine"}."""
    bench_dir = os.path.abspath(bench_dir or HERE)
    _ensure_paths(bench_dir)
    import harness  # noqa: E402  (found through bench_dir)

    say = progress or (lambda message: None)
    rows: List[Dict[str, Any]] = []
    errors: List[Dict[str, str]] = []
    files = discover(bench_dir, only)
    for index, path in enumerate(files, 1):
        name = _module_name(path)
        say("[%d/%d] %s: loading" % (index, len(files), name))
        def step(message: str, name: str = name, index: int = index) -> None:
            say("[%d/%d] %s %s" % (index, len(files), name, message))

        try:
            # Whatever a benchmark prints goes to stderr: stdout carries only the table or the JSON.
            with contextlib.redirect_stdout(sys.stderr):
                module = _load(path)
                bench = harness.Bench(quick=quick, progress=step)
                module.register(bench)
                measured = bench.run()
            rows.extend(dict(row, module=name) for row in measured)
        except Exception as exc:  # a module not built yet, a broken benchmark: report it, run the rest
            errors.append({"file": os.path.basename(path), "error": _one_line(exc)})
    return {
        "rows": rows,
        "errors": errors,
        "all_met": all(r["met"] for r in rows),
        "quick": quick,
        "python": "%s %s" % (platform.python_implementation(), platform.python_version()),
        "machine": "%s, %d CPUs" % (platform.machine(), os.cpu_count() or 1),
    }


def _fmt(value: Optional[float], form: str) -> str:
    return "-" if value is None else format(value, form)


def format_report(result: Dict[str, Any]) -> str:
    """One plain table of every operation, then a line on the bars, the absent peers and the files that failed."""
    _ensure_paths(HERE)
    import harness  # noqa: E402  (beside this file)

    header = ("module", "operation", "ns/op", "x twin", "x floor", "x peer", "bars")
    lines = []
    for r in result["rows"]:
        bars = ", ".join(harness.bar_text(b) for b in r["bars"]) or "-"
        lines.append((r["module"], r["op"], _fmt(r["ns_per_op"], ".1f"), _fmt(r.get("x_twin"), ".2f"),
                      _fmt(r.get("x_floor"), ".2f"), harness.peer_cell(r), bars))
    from velmora._table import render_table

    out = render_table(header, lines, right=(2, 3, 4, 5)).splitlines()
    with_bars = [r for r in result["rows"] if r["bars"]]
    missed = [r for r in with_bars if not r["met"]]
    out.append("")
    out.append("%d operations (%s, %s%s); bars met: %d of %d%s" % (
        len(result["rows"]), result["python"], result["machine"], ", quick" if result["quick"] else "",
        len(with_bars) - len(missed), len(with_bars),
        "" if not missed else "; missed: " + ", ".join("%s %s" % (r["module"], r["op"]) for r in missed)))
    absent = harness.absent_peers(result["rows"])
    if absent:
        out.append("absent peers (not installed on this interpreter; their bars are not evaluated): "
                   + ", ".join(absent))
    for err in result["errors"]:
        out.append("not run: %s: %s" % (err["file"], err["error"]))
    out.append("x twin = twin time / native time (higher is better); x floor = native time / built-in call "
               "time (lower is better); x peer = time of the fastest peer (named) / native time.")
    return "\n".join(out)


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    quick, as_json = "--quick" in args, "--json" in args
    only = [a for a in args if not a.startswith("--")]
    unknown = [a for a in args if a.startswith("--") and a not in ("--quick", "--json")]
    if unknown:
        sys.stderr.write("run_all.py: error: unknown option %s (options: --quick, --json)\n" % unknown[0])
        return 2
    result = run(HERE, quick=quick, only=only or None,
                 progress=lambda m: print(m, file=sys.stderr, flush=True))
    print(json.dumps(result, indent=2) if as_json else format_report(result))
    for err in result["errors"]:
        sys.stderr.write("run_all.py: %s: %s\n" % (err["file"], err["error"]))
    return 0 if result["all_met"] and not result["errors"] else 1


if __name__ == "__main__":
    sys.exit(main())
