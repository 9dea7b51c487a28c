"""The `velmora` command line: host report, code analysis, profiling, GPU placement plans, benchmarks.

    velmora [info] [--json]            host capabilities, the native modules and where they loaded from
    velmora analyze PATH... [opts]     which functions of a code base would speed up, and how
    velmora profile SCRIPT [ARGS...]   run a program and rank its functions by measured time
    velmora profile -m MODULE [ARGS]
    velmora plan --shape 20000,20000 [--itemsize 8] [--op NAME] [--available BYTES|auto] [--headroom R]
    velmora bench [--quick] [--json] [MODULE...]

Text output is plain tables for people; ``--json`` prints one JSON document for machines. Exit
status: 0 success, 1 failure, 2 usage error; `analyze` also returns 3 when it analysed the code
but skipped some files, and `profile` returns the program's own status. A user mistake is one line
on stderr, never a traceback.

Each subcommand lives in its own module here and is a thin layer over the library:
``velmora.analysis`` (static analysis) and ``velmora.profiler`` (measurement).
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Optional, Sequence

from velmora._modules import NATIVE_MODULES
from velmora.cli import analyze, bench, info, plan, profile
from velmora.cli._common import PROG, CommandError, Parser

__all__ = ["main", "build_parser", "NATIVE_MODULES", "PROG"]


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(prog=PROG, description="velmora: host report, code analysis, profiling, GPU placement plans "
                                           "and benchmarks. A bare `velmora` runs `velmora info`.")
    parser.add_argument("--version", action="version",
                        version="%(prog)s " + (info.package_info()["version"] or "(source tree)"))
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    info.register(sub)
    analyze.register(sub)
    profile.register(sub)
    plan.register(sub)
    bench.register(sub)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; returns the exit status (0 success, 1 failure, 2 usage error)."""
    parser = build_parser()
    tokens = list(sys.argv[1:] if argv is None else argv)
    program: Optional[list] = None
    if tokens and tokens[0] == "profile":
        own, program = profile.split_argv(tokens[1:])
        tokens = ["profile"] + own
    args = parser.parse_args(tokens)
    if program is not None:
        args.program = program
    if args.command is None:
        args = parser.parse_args(["info"])
    try:
        return int(args.func(args))
    except CommandError as exc:
        sys.stderr.write("%s %s: error: %s\n" % (PROG, args.command, exc))
        return 1
    except KeyboardInterrupt:
        sys.stderr.write("\n%s %s: interrupted\n" % (PROG, args.command))
        return 1
    except BrokenPipeError:
        # The reader went away (`velmora analyze . | head`): stop quietly, and point stdout at
        # /dev/null so that the interpreter's final flush does not fail again.
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return 1
