"""Thread scaling: total throughput of 2 threads over 1, for the native operations and their twins.

    python bench/scaling.py [--quick] [--json]

Each case runs N operations per thread, first with one thread, then with two started together
(a barrier), alternately for several repeats; the figure is the median two-thread throughput over
the median one-thread throughput (2.0 = perfect scaling, 1.0 = no gain, below 1 = contention
costs more than the second thread brings). Only ratios are reported. On a free-threaded build the
goals are: separate counters and tree readers at least 1.8x, a shared counter at least 1.0x; on a
build with the GIL the same figures are reported for comparison (threads there take turns).
"""

from __future__ import annotations

import json
import os
import random
import statistics
import sys
import sysconfig
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_fitindex import BisectTwin  # noqa: E402
from bench_lockless import model as lockless_model  # noqa: E402

from velmora.memory.fitindex import FastRedBlackTree  # noqa: E402
from velmora.memory.lockless import AtomicCounter  # noqa: E402
from velmora.memory.memory_block import MemoryBlock  # noqa: E402

LockedCounter = lockless_model.Counter  # the pure-Python counter twin, guarded by its own lock

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def wall_time(works):
    """Seconds from releasing a barrier until every `works` callable (one thread each) returned."""
    barrier = threading.Barrier(len(works) + 1)
    done = []

    def run(work):
        barrier.wait()
        work()
        done.append(time.perf_counter())

    threads = [threading.Thread(target=run, args=(w,)) for w in works]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    return max(done) - start


def counter_loop(counter, n):
    inc = counter.increment

    def work():
        for _ in range(n):
            inc()
    return work


def reader_loop(tree, sizes, n):
    find = tree.find_best_fit
    mine = [int(str(s)) for s in sizes]  # objects of this thread's own: no shared reference counts

    def work():
        for i in range(n):
            find(mine[i & 1023])
    return work


def filled_tree(cls, count=10000):
    rng = random.Random(5)
    tree = cls()
    for i in range(count):
        size = 64 * (1 + rng.randrange(count // 4))
        tree.insert(size, MemoryBlock(i * 4096, size))
    sizes = [64 * (1 + rng.randrange(count // 4)) - rng.randrange(64) for _ in range(1024)]
    return tree, sizes


def cases(n):
    """(name, goal or None, make(threads) -> list of thread bodies)."""
    def separate(cls):
        return lambda threads: [counter_loop(cls(0), n) for _ in range(threads)]

    def shared(cls):
        def make(threads):
            c = cls(0)
            return [counter_loop(c, n) for _ in range(threads)]
        return make

    def readers(cls):
        tree, sizes = filled_tree(cls)
        return lambda threads: [reader_loop(tree, sizes, n // 4) for _ in range(threads)]

    return [
        ("AtomicCounter.increment, separate counters", 1.8, separate(AtomicCounter)),
        ("AtomicCounter.increment, one shared counter", 1.0, shared(AtomicCounter)),
        ("FastRedBlackTree.find_best_fit, 2 readers", 1.8, readers(FastRedBlackTree)),
        ("  twin: locked counter, separate", None, separate(LockedCounter)),
        ("  twin: locked counter, shared", None, shared(LockedCounter)),
        ("  twin: locked bisect tree, 2 readers", None, readers(BisectTwin)),
    ]


def measure(make, n_threads_list=(1, 2), repeats=5):
    times = {k: [] for k in n_threads_list}
    for _ in range(repeats):
        for k in n_threads_list:
            times[k].append(wall_time(make(k)))
    one, two = statistics.median(times[1]), statistics.median(times[2])
    return (2 * 1.0 / two) / (1.0 / one)  # total throughput of two threads over one (same work each)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    quick = "--quick" in argv
    n = 100_000 if quick else 400_000
    rows = []
    for name, goal, make in cases(n):
        print("  " + name.strip(), file=sys.stderr, flush=True)
        ratio = measure(make, repeats=3 if quick else 5)
        met = None if goal is None or not FREE_THREADED else ratio >= goal
        rows.append({"op": name, "x_2_threads": ratio, "goal": goal, "met": met})
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    info = {"python": sys.version.split()[0], "free_threaded": FREE_THREADED,
            "gil_enabled": getattr(sys, "_is_gil_enabled", lambda: True)(), "cpus": os.cpu_count(),
            "load_before_run": load}
    if "--json" in argv:
        print(json.dumps({"info": info, "rows": rows}, indent=2))
    else:
        width = max(len(r["op"]) for r in rows)
        print("%-*s  x 2 threads  goal" % (width, "operation"))
        for r in rows:
            goal = "-" if r["goal"] is None else ">=%.1f %s" % (
                r["goal"], {None: "(reported only with the GIL)", True: "ok", False: "MISSED"}[r["met"]])
            print("%-*s  %11.2f  %s" % (width, r["op"], r["x_2_threads"], goal))
        print("CPython %s, free-threaded %s, GIL enabled %s, %s CPUs, 1-minute load before the run %.2f"
              % (info["python"], info["free_threaded"], info["gil_enabled"], info["cpus"], load))
    return 0 if all(r["met"] is not False for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
