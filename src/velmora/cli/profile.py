"""`velmora profile`: run a program, measure where its time goes, and say what to do about it.

    velmora profile [--json] [-o FILE] [--top N] [-v] SCRIPT [ARGS...]
    velmora profile [--json] [-o FILE] [--top N] [-v] -m MODULE [ARGS...]

The program runs in this process as ``__main__`` (``velmora.profiler.run``) with its own argv;
its standard output, standard error, exit status and uncaught exceptions are its own, unchanged.
The report goes to standard error after the program ends (so that the program's standard output
stays exactly its own), or to ``-o FILE``. The exit status is the program's; 2 for a usage error
(no such script), 1 when the module cannot be found or velmora cannot start.
"""

from __future__ import annotations

import argparse
import importlib.util
import io
import json
import os
import sys
from typing import IO, Any, Dict, List, Tuple

from velmora._table import render_table
from velmora.cli._common import PROG, CommandError, host_facts, host_line, import_native, positive_int

DEFAULT_TOP = 15


def _duration(seconds: float) -> str:
    if seconds >= 1.0:
        return "%.2f s" % seconds
    if seconds >= 1e-3:
        return "%.1f ms" % (seconds * 1e3)
    return "%.1f us" % (seconds * 1e6)


def _compile_text(entry: Dict[str, Any]) -> str:
    gate = entry["compile"]
    if gate["would_compile"]:
        return "yes, after %d calls" % gate["threshold"]
    return "no: %d of %d calls" % (gate["call_count"], gate["threshold"])


LEGEND = (
    ("own %", "share of the run spent in the function itself (built-in functions it calls included)"),
    ("total %", "share of the run spent in it and everything it called (outermost call of a recursion)"),
    ("calls", "activations: calls, plus resumptions of a generator or coroutine"),
    ("own/call", "mean own time per activation (tallyhub)"),
    ("compile gate", "the compile gate's answer for its call count (default policy); the threshold is the "
                     "number of calls after which a function is compiled"),
    ("pattern, action", "the static analysis of the function's source (velmora analyze), top functions only"),
)


def render_text(doc: Dict[str, Any], top: int, verbose: bool) -> str:
    program, summary = doc["program"], doc["summary"]
    lines: List[str] = []
    ended = "exit status %d" % program["status"]
    if program["exception"]:
        ended = "%s, exit status %d" % (program["exception"], program["status"])
    lines.append("%s profile: %s ran %s, %s (measured with %s)" % (
        PROG, " ".join(program["argv"]), _duration(program["wall_s"]), ended, doc["mechanism"]))
    lines.append(host_line(doc["host"]))
    lines.append("")
    functions = doc["functions"][:top]
    if not functions:
        lines.append("No Python function ran under the profiler.")
        return "\n".join(lines)
    lines.append("Top %d of %d functions by own time" % (len(functions), summary["functions"]))
    rows = []
    for f in functions:
        analysis = f["analysis"] or {}
        action = analysis.get("action", "-")
        if analysis and action != "leave alone":
            action = "%s %.1fx" % (action, analysis["speedup"])
        rows.append((f["rank"], "%s:%d %s" % (f["file"], f["line"], f["function"]), "%.1f%%" % (100 * f["own_share"]),
                     "%.1f%%" % (100 * f["total_share"]), "{:,}".format(f["calls"]), _duration(f["own_per_call_s"]),
                     _compile_text(f), analysis.get("pattern", "-"), action))
    lines.append(render_table(("#", "function", "own %", "total %", "calls", "own/call", "compile gate", "pattern",
                               "action"), rows, right=(0, 2, 3, 4, 5), indent="  "))
    if verbose:
        lines.append("")
        lines.append("Why")
        for f in functions:
            if f["analysis"]:
                lines.append("  %d. %s (unit %s): %s" % (f["rank"], f["function"], f["analysis"]["unit"],
                                                        f["analysis"]["reason"]))
        lines.append("")
        lines.append("Columns")
        width = max(len(k) for k, _ in LEGEND)
        lines.extend("  %s  %s" % (k.ljust(width), text) for k, text in LEGEND)
    lines.append("")
    lines.append("%d functions, {:,} calls measured; {} of the {} run in Python functions; {} would be compiled by "
                 "the compile gate.".format(summary["calls"], _duration(summary["measured_s"]),
                                            _duration(summary["wall_s"]), summary["would_compile"])
                 % summary["functions"])
    return "\n".join(lines)


def _report_stream(path: Any) -> IO[str]:
    if path:
        try:
            return open(path, "w", encoding="utf-8")
        except OSError as exc:
            # B904: the cause stays chained implicitly (__context__), as callers have always seen it.
            raise CommandError("cannot write the report to %s: %s" % (path, exc.strerror or exc))  # noqa: B904
    # A copy of the standard error taken now: the program may close or replace its own.
    return io.TextIOWrapper(os.fdopen(os.dup(2), "wb"), encoding="utf-8", errors="replace", line_buffering=True)


def cmd_profile(args: argparse.Namespace) -> int:
    program = list(args.program)
    if args.module is None:
        if not program:
            sys.stderr.write("%s profile: error: give a SCRIPT to run or -m MODULE (see '%s profile --help')\n"
                             % (PROG, PROG))
            return 2
        target, program_args = program[0], program[1:]
        if not os.path.isfile(target):
            sys.stderr.write("%s profile: error: can't open file %r: no such file\n" % (PROG, target))
            return 2
    else:
        target, program_args = args.module, program
        try:
            found = importlib.util.find_spec(target)
        except (ImportError, ValueError):
            found = None
        if found is None:
            raise CommandError("no module named %r" % target)
    for name in ("velmora.monitoring.tallyhub", "velmora.jit.compilegate", "velmora.plugins.analyzer.taskgauge"):
        import_native(name)  # fail before the program runs, not after
    facts = host_facts()
    out = _report_stream(args.output)
    from velmora.analysis.runner import make_analyzer
    from velmora.analysis.scoring import DEFAULT_THRESHOLDS
    from velmora.profiler.report import build_report
    from velmora.profiler.run import report_exception, run_program

    analyzer = make_analyzer({"thresholds": {n: d for n, d, _ in DEFAULT_THRESHOLDS}, "host": facts})
    base = os.getcwd()
    sys.stdout.flush()
    outcome = run_program(target, program_args, module=args.module is not None)
    try:
        sys.stdout.flush()
    except (OSError, ValueError):
        pass
    if outcome.exception is not None:
        report_exception(outcome.exception)
    if outcome.exit_message is not None:
        sys.stderr.write(outcome.exit_message + "\n")
    try:
        sys.stderr.flush()
    except (OSError, ValueError):
        pass
    report = build_report(outcome.stats, outcome.wall, args.top, analyzer.analyze_file, base)
    exception = outcome.exception
    doc = {
        "program": {"argv": (["-m", target] if args.module else [target]) + program_args,
                    "module": args.module is not None, "status": outcome.status, "wall_s": outcome.wall,
                    "exception": None if exception is None else "%s: %s" % (type(exception).__name__, exception)
                    if str(exception) else type(exception).__name__},
        "host": facts, "mechanism": outcome.mechanism,
    }
    doc.update(report)
    try:
        if args.json:
            out.write(json.dumps(doc, indent=1) + "\n")
        else:
            out.write(render_text(doc, args.top, args.verbose) + "\n")
        out.flush()
    finally:
        if args.output:
            out.close()
    return outcome.status


_VALUE_OPTIONS = ("-o", "--output", "--top")


def split_argv(tokens: List[str]) -> Tuple[List[str], List[str]]:
    """(profile's own options, the program part): the program part starts at the script, or right
    after ``-m MODULE``, and is never parsed here (so ``-m json.tool --help`` asks the module)."""
    i = 0
    while i < len(tokens):
        token = tokens[i]
        if token == "--":
            return tokens[:i], tokens[i + 1:]
        if token == "-m" or (token.startswith("-m") and len(token) > 2 and not token.startswith("--")):
            cut = i + 2 if token == "-m" else i + 1
            return tokens[:cut], tokens[cut:]
        if token in _VALUE_OPTIONS:
            i += 2
            continue
        if token.startswith("-") and token != "-":
            i += 1
            continue
        return tokens[:i], tokens[i:]
    return tokens, []


def register(sub: Any) -> None:
    p = sub.add_parser(
        "profile", help="run a program and rank its functions by measured time",
        usage="%s profile [-h] [--json] [-o FILE] [--top N] [-v] (SCRIPT | -m MODULE) [ARGS ...]" % PROG,
        description="Run SCRIPT (or -m MODULE) with ARGS and measure every Python function's calls and time "
                    "(sys.monitoring on 3.12+, sys.setprofile before). The report ranks functions by their own "
                    "time, with the compile gate's verdict on their call counts and the static analysis of their "
                    "source. The program's output, exit status and exceptions are its own; the report goes to "
                    "standard error, or to -o FILE.")
    p.add_argument("-m", dest="module", metavar="MODULE", help="run a library module as a script, like python -m")
    p.add_argument("--json", action="store_true", help="write the report as one JSON document")
    p.add_argument("-o", "--output", metavar="FILE", help="write the report to FILE instead of standard error")
    p.add_argument("--top", type=positive_int, default=DEFAULT_TOP, metavar="N",
                   help="list this many functions (default %d)" % DEFAULT_TOP)
    p.add_argument("-v", "--verbose", action="store_true", help="add the reasons and what each column means")
    p.add_argument("program", nargs="*", metavar="SCRIPT [ARGS]",
                   help="the script and its arguments (with -m: the module's arguments); everything from the "
                        "script on belongs to the program")
    p.set_defaults(func=cmd_profile, program=[])
