"""tallyhub against a lock-guarded pure-Python aggregator and the interpreter's built-in call floor."""

import math
import os
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src"))

import harness  # noqa: E402

from velmora.monitoring import tallyhub  # noqa: E402

INF = math.inf


class LockedAggregator:
    """The same counters in plain Python, a threading.Lock taken per operation."""

    def __init__(self, num_counters=1000):
        self._count = [0] * num_counters
        self._sum = [0.0] * num_counters
        self._sum_sq = [0.0] * num_counters
        self._min = [INF] * num_counters
        self._max = [-INF] * num_counters
        self._n = num_counters
        self._lock = threading.Lock()

    def update(self, counter_id, value):
        counter_id = int(counter_id)
        value = float(value)
        if counter_id < 0 or counter_id >= self._n:
            raise IndexError("Counter ID %d out of range" % counter_id)
        with self._lock:
            self._count[counter_id] += 1
            self._sum[counter_id] += value
            self._sum_sq[counter_id] += value * value
            if value < self._min[counter_id]:
                self._min[counter_id] = value
            if value > self._max[counter_id]:
                self._max[counter_id] = value

    def get_stats(self, counter_id):
        counter_id = int(counter_id)
        if counter_id < 0 or counter_id >= self._n:
            raise IndexError("Counter ID %d out of range" % counter_id)
        with self._lock:
            count = self._count[counter_id]
            if count == 0:
                return {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": INF, "max": -INF}
            mean = self._sum[counter_id] / count
            variance = self._sum_sq[counter_id] / count - mean * mean
            return {"count": count, "mean": mean, "variance": variance,
                    "std": 0.0 if variance < 0 else variance ** 0.5,
                    "min": self._min[counter_id], "max": self._max[counter_id]}

    def reset(self, counter_id):
        counter_id = int(counter_id)
        if counter_id < 0 or counter_id >= self._n:
            raise IndexError("Counter ID %d out of range" % counter_id)
        with self._lock:
            self._count[counter_id] = 0
            self._sum[counter_id] = self._sum_sq[counter_id] = 0.0
            self._min[counter_id], self._max[counter_id] = INF, -INF

    def get_all_stats(self):
        return [self.get_stats(i) for i in range(self._n)]


def register(bench):
    agg, twin = tallyhub.CounterAggregator(1000), LockedAggregator(1000)
    small, small_twin = tallyhub.CounterAggregator(100), LockedAggregator(100)
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
    agg, twin = tallyhub.CounterAggregator(4), LockedAggregator(4)
    for i, v in enumerate([1.0, 2.0, 3.0, 0.1, 0.1, 0.1, -7.5, 1e10]):
        agg.update(i % 4, v)
        twin.update(i % 4, v)
    assert agg.get_all_stats() == twin.get_all_stats()


if __name__ == "__main__":
    _check_twin()
    sys.exit(harness.main(register))
