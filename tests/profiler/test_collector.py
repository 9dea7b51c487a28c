"""The profiler's collector: exact call counts, own and inclusive time, threads, generators."""

import sys
import threading

import pytest

from velmora.profiler import collector as collector_module
from velmora.profiler.collector import Collector
from velmora.profiler.report import build_report, function_id


class Ticks:
    """A clock that moves one second per reading, so that every time is an exact count."""

    def __init__(self):
        self.now = 0.0
        self.lock = threading.Lock()

    def __call__(self):
        with self.lock:
            self.now += 1.0
            return self.now


def leaf(x):
    return x + 1


def middle(x):
    return leaf(x) + leaf(x + 1)


def root(n):
    return sum(middle(i) for i in range(n))


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def gen(n):
    for i in range(n):
        yield leaf(i)


def fails():
    leaf(0)
    raise ValueError("expected")


def measure(fn, *args):
    c = Collector(clock=Ticks())
    c.start()
    try:
        fn(*args)
    finally:
        c.stop()
    return {s.code.co_name: s for s in c.results()}


def test_calls_are_counted_exactly_and_own_times_add_up_to_the_root():
    stats = measure(root, 3)
    assert (stats["root"].calls, stats["middle"].calls, stats["leaf"].calls) == (1, 3, 6)
    inside = [s for s in stats.values() if s.code.co_name in ("root", "middle", "leaf", "<genexpr>")]
    assert sum(s.own for s in inside) == stats["root"].total
    assert stats["middle"].total == stats["middle"].own + stats["leaf"].total
    for s in stats.values():
        assert 0 < s.own <= s.total or s.total == 0.0
        assert s.minimum <= s.mean <= s.maximum


def test_a_recursive_function_counts_its_outermost_call_once_in_the_total():
    stats = measure(fib, 6)
    assert stats["fib"].calls == 25
    assert stats["fib"].total == stats["fib"].own  # nothing but fib ran, counted once


def test_a_generator_counts_each_activation():
    stats = measure(list, gen(3))
    assert stats["gen"].calls == 4  # the start and three resumptions
    assert stats["leaf"].calls == 3


def test_a_function_left_by_an_exception_is_measured():
    with pytest.raises(ValueError):
        measure(fails)
    c = Collector(clock=Ticks())
    c.start()
    try:
        fails()
    except ValueError:
        pass
    c.stop()
    stats = {s.code.co_name: s for s in c.results()}
    assert stats["fails"].calls == 1 and stats["leaf"].calls == 1 and stats["fails"].total > stats["leaf"].total


def test_threads_keep_their_own_stacks_and_are_merged():
    def work():
        for _ in range(10):
            middle(1)

    def run():
        threads = [threading.Thread(target=work) for _ in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        work()

    stats = measure(run)
    assert stats["middle"].calls == 40 and stats["leaf"].calls == 80 and stats["work"].calls == 4


def test_start_twice_is_refused_and_stop_unhooks():
    c = Collector()
    c.start()
    with pytest.raises(RuntimeError):
        c.start()
    c.stop()
    c.stop()  # a second stop does nothing
    if collector_module.MECHANISM == "sys.monitoring":
        assert sys.monitoring.get_tool(sys.monitoring.PROFILER_ID) is None
    else:
        assert sys.getprofile() is None
        if hasattr(threading, "getprofile"):  # 3.10+
            assert threading.getprofile() is None
    before = {s.code.co_name for s in c.results()}
    leaf(1)
    assert {s.code.co_name for s in c.results()} == before


def test_more_functions_than_one_aggregator_block():
    namespace = {}
    count = collector_module._BLOCK + 50
    exec("\n".join("def f%d(): return %d" % (i, i) for i in range(count)), namespace)
    funcs = [namespace["f%d" % i] for i in range(count)]

    def call_all():
        for f in funcs:
            f()
            f()

    stats = measure(call_all)
    assert all(stats["f%d" % i].calls == 2 for i in range(count))


def test_the_report_ranks_by_own_time_and_asks_the_compile_gate():
    def hot():
        for _ in range(150):
            leaf(1)

    stats = Collector(clock=Ticks())
    stats.start()
    hot()
    stats.stop()
    results = stats.results()
    report = build_report(results, wall=1000.0, top=5)
    functions = {f["function"].rsplit(".", 1)[-1]: f for f in report["functions"]}
    assert [f["rank"] for f in report["functions"]] == list(range(1, len(results) + 1))
    owns = [f["own_s"] for f in report["functions"]]
    assert owns == sorted(owns, reverse=True)
    leaf_entry = functions["leaf"]
    assert leaf_entry["calls"] == 150 and leaf_entry["compile"]["call_count"] == 150
    assert leaf_entry["compile"] == dict(leaf_entry["compile"], threshold=100, would_compile=True)
    assert functions["hot"]["compile"]["would_compile"] is False
    assert leaf_entry["compile"]["func_id"] == function_id(leaf.__code__)
    assert report["summary"]["calls"] == sum(s.calls for s in results) and report["summary"]["would_compile"] == 1
