"""Scale benchmark of `velmora analyze` on a large tree: wall time and peak memory of the whole
process tree (the command and its worker processes together).

    python bench/analyze_scale.py [PATH] [--max-seconds 60] [--max-mb 250] [-- ANALYZE-OPTIONS...]

PATH defaults to this interpreter's library folder (its standard library, with site-packages).
Memory is sampled every 20 ms from /proc: the resident set sizes of the command and all its
descendants are summed at each sample (RSS counts pages shared after fork in every process, so
the proportional set size, PSS, is reported too). The load average before the run is printed,
since a shared machine's load moves the wall time. Exit status 0 when both bars are met. Linux only.
"""

from __future__ import annotations

import os
import resource
import subprocess
import sys
import sysconfig
import threading
import time
from typing import Dict, List, Optional, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))


def _children(pid: int) -> List[int]:
    out: List[int] = []
    try:
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/children" % (pid, task)) as handle:
                out.extend(int(x) for x in handle.read().split())
    except OSError:
        pass
    return out


def _tree(pid: int) -> List[int]:
    pids, todo = [], [pid]
    while todo:
        p = todo.pop()
        pids.append(p)
        todo.extend(_children(p))
    return pids


def _memory_kib(pid: int) -> Tuple[int, int]:
    rss = pss = 0
    try:
        with open("/proc/%d/status" % pid) as handle:
            for line in handle:
                if line.startswith("VmRSS:"):
                    rss = int(line.split()[1])
                    break
        with open("/proc/%d/smaps_rollup" % pid) as handle:
            for line in handle:
                if line.startswith("Pss:"):
                    pss = int(line.split()[1])
                    break
    except (OSError, ValueError):
        pass
    return rss, pss


class Sampler(threading.Thread):
    def __init__(self, pid: int, interval: float = 0.02) -> None:
        super().__init__(daemon=True)
        self.pid, self.interval = pid, interval
        self.peak_rss = self.peak_pss = 0
        self.peak_processes = 0
        self.stop = threading.Event()

    def run(self) -> None:
        while not self.stop.is_set():
            pids = _tree(self.pid)
            rss = pss = 0
            for p in pids:
                r, s = _memory_kib(p)
                rss, pss = rss + r, pss + s
            self.peak_rss, self.peak_pss = max(self.peak_rss, rss), max(self.peak_pss, pss)
            self.peak_processes = max(self.peak_processes, len(pids))
            self.stop.wait(self.interval)


def measure(path: str, extra: List[str]) -> Dict[str, object]:
    env = dict(os.environ)
    src = os.path.join(os.path.dirname(HERE), "src")
    if os.path.isdir(os.path.join(src, "velmora")):
        env["PYTHONPATH"] = os.pathsep.join([src] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    command = [sys.executable, "-m", "velmora", "analyze", path] + extra
    load = os.getloadavg()
    started = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
    sampler = Sampler(child.pid)
    sampler.start()
    out, err = child.communicate()
    wall = time.perf_counter() - started
    sampler.stop.set()
    sampler.join()
    cpu = resource.getrusage(resource.RUSAGE_CHILDREN)
    summary = out.strip().splitlines()[-1] if out.strip() else ""
    return {"command": " ".join(command), "status": child.returncode, "wall_s": wall,
            "cpu_s": cpu.ru_utime + cpu.ru_stime, "peak_rss_mb": sampler.peak_rss / 1024.0,
            "peak_pss_mb": sampler.peak_pss / 1024.0, "processes": sampler.peak_processes,
            "load_before": load, "summary": summary, "stdout_lines": len(out.splitlines()),
            "stderr_lines": len(err.splitlines())}


def main(argv: Optional[List[str]] = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    extra: List[str] = []
    if "--" in args:
        extra = args[args.index("--") + 1:]
        args = args[:args.index("--")]
    max_seconds, max_mb = 60.0, 250.0
    for flag in ("--max-seconds", "--max-mb"):
        if flag in args:
            i = args.index(flag)
            value = float(args[i + 1])
            del args[i:i + 2]
            if flag == "--max-seconds":
                max_seconds = value
            else:
                max_mb = value
    path = args[0] if args else sysconfig.get_paths()["stdlib"]
    r = measure(path, extra)
    print("command       %s" % r["command"])
    print("load average  %.2f %.2f %.2f (before the run), %d CPUs" % (tuple(r["load_before"]) + (os.cpu_count() or 1,)))  # type: ignore[arg-type]
    print("exit status   %s; %d lines on stdout, %d on stderr" % (r["status"], r["stdout_lines"], r["stderr_lines"]))
    print("summary       %s" % r["summary"])
    print("wall time     %.1f s  (bar <= %.0f s: %s)" % (r["wall_s"], max_seconds,
                                                        "ok" if r["wall_s"] <= max_seconds else "MISSED"))
    print("CPU time      %.1f s  (command and workers, user + system)" % r["cpu_s"])
    print("peak memory   %.1f MB RSS summed over %d processes (bar <= %.0f MB: %s); %.1f MB PSS" % (
        r["peak_rss_mb"], r["processes"], max_mb, "ok" if r["peak_rss_mb"] <= max_mb else "MISSED", r["peak_pss_mb"]))
    return 0 if r["wall_s"] <= max_seconds and r["peak_rss_mb"] <= max_mb else 1


if __name__ == "__main__":
    sys.exit(main())
