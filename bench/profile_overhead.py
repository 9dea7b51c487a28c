"""Overhead benchmark of `velmora profile`: the profiled run of a program against its plain run.

    python bench/profile_overhead.py [--max-ratio 3.0] [--repeats 5] [SCRIPT [ARGS...]]

Default program: examples/plain_loops.py 300000. Plain and profiled runs alternate, each a fresh
interpreter, and the ratio of the median wall times is the overhead (start-up included on both
sides). The profiled run writes its report to a file, so both runs print the same. Exit status 0
when the ratio is within the bar.
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import tempfile
import time
from typing import List, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def _env() -> dict:
    env = dict(os.environ)
    src = os.path.join(ROOT, "src")
    if os.path.isdir(os.path.join(src, "velmora")):
        env["PYTHONPATH"] = os.pathsep.join([src] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return env


def _timed(command: List[str], env: dict) -> float:
    started = time.perf_counter()
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env, text=True)
    elapsed = time.perf_counter() - started
    if done.returncode != 0:
        raise SystemExit("%s failed (%d): %s" % (" ".join(command), done.returncode, done.stderr.strip()[-500:]))
    return elapsed


def main(argv: Optional[List[str]] = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    max_ratio, repeats = 3.0, 5
    while args and args[0].startswith("--"):
        flag, value = args[0], args[1]
        del args[:2]
        if flag == "--max-ratio":
            max_ratio = float(value)
        elif flag == "--repeats":
            repeats = int(value)
        else:
            raise SystemExit("unknown option %s" % flag)
    program = args or [os.path.join(ROOT, "examples", "plain_loops.py"), "300000"]
    env = _env()
    with tempfile.TemporaryDirectory() as tmp:
        report = os.path.join(tmp, "report.txt")
        plain_cmd = [sys.executable] + program
        profiled_cmd = [sys.executable, "-m", "velmora", "profile", "-o", report] + program
        plain, profiled = [], []
        for _ in range(repeats):
            plain.append(_timed(plain_cmd, env))
            profiled.append(_timed(profiled_cmd, env))
        with open(report) as handle:
            first = handle.readline().strip()
    p, q = statistics.median(plain), statistics.median(profiled)
    ratio = q / p
    print("program       %s" % " ".join(program))
    print("load average  %.2f %.2f %.2f, %d CPUs" % (os.getloadavg() + (os.cpu_count() or 1,)))
    print("plain run     median %.3f s of %d (%s)" % (p, repeats, ", ".join("%.3f" % x for x in plain)))
    print("profiled run  median %.3f s of %d (%s)" % (q, repeats, ", ".join("%.3f" % x for x in profiled)))
    print("report        %s" % first)
    print("overhead      %.2fx (bar <= %.1fx: %s)" % (ratio, max_ratio, "ok" if ratio <= max_ratio else "MISSED"))
    return 0 if ratio <= max_ratio else 1


if __name__ == "__main__":
    sys.exit(main())
