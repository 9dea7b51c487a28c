"""tallyhub against a lock-guarded pure-Python aggregator and the interpreter's built-in call floor."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src"))

import harness  # noqa: E402

from velmora.monitoring import tallyhub  # noqa: E402

from reference import tallyhub as model  # noqa: E402


def register(bench):
    agg, twin = tallyhub.CounterAggregator(1000), model.Aggregator(1000)
    small, small_twin = tallyhub.CounterAggregator(100), model.Aggregator(100)
    for a in (agg, twin, small, small_twin):
        for i in range(0, 100, 3):
            a.update(i, i * 0.5)
    ns = {"a": agg, "t": twin, "s": small, "st": small_twin, "i": 17, "v": 2.5, "d": {1: 2}, "k": 1, "n": 7}
    bench.op("CounterAggregator.update(i, v)", "a.update(i, v)", twin="t.update(i, v)",
             floor="d.get(k, v)", ns=ns, floor_max=1.5, twin_min=5.0)
    bench.op("CounterAggregator.get_stats(i)", "a.get_stats(i)", twin="t.get_stats(i)",
             floor="d.get(k)", ns=ns)
    bench.op("CounterAggregator.reset(i)", "a.reset(i)", twin="t.reset(i)", floor="d.get(k)", ns=ns)
    bench.op("CounterAggregator.get_all_stats() (100)", "s.get_all_stats()", twin="st.get_all_stats()", ns=ns)


def _check_twin():
    agg, twin = tallyhub.CounterAggregator(4), model.Aggregator(4)
    for i, v in enumerate([1.0, 2.0, 3.0, 0.1, 0.1, 0.1, -7.5, 1e10]):
        agg.update(i % 4, v)
        twin.update(i % 4, v)
    assert agg.get_all_stats() == twin.get_all_stats()


if __name__ == "__main__":
    _check_twin()
    sys.exit(harness.main(register))
