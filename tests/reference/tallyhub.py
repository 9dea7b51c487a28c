"""velmora.monitoring.tallyhub in plain Python: numbered counters of count, sum, sum of squares, min, max.

The order of float operations is the module's; a variance that rounding leaves slightly negative
reports a std of 0.0. One threading.Lock per aggregator makes each update indivisible, as the
interpreter lock does for the native one.
"""

import math
import threading

INF = math.inf
FRESH = {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": INF, "max": -INF}


def _counter_id(counter_id, n):
    if type(counter_id) is not int:
        counter_id = int(counter_id)
    if not -(2 ** 31) <= counter_id < 2 ** 31:
        raise OverflowError("value too large to convert to int")
    if counter_id < 0 or counter_id >= n:
        raise IndexError("Counter ID %d out of range" % counter_id)
    return counter_id


class Aggregator:
    """CounterAggregator: `num_counters` records, addressed by id."""

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
            _counter_id(counter_id, self._n)
        with self._lock:
            self._count[counter_id] += 1
            self._sum[counter_id] += value
            self._sum_sq[counter_id] += value * value
            if value < self._min[counter_id]:
                self._min[counter_id] = value
            if value > self._max[counter_id]:
                self._max[counter_id] = value

    def get_stats(self, counter_id):
        counter_id = _counter_id(counter_id, self._n)
        with self._lock:
            count = self._count[counter_id]
            if count == 0:
                return dict(FRESH)
            mean = self._sum[counter_id] / count
            variance = self._sum_sq[counter_id] / count - mean * mean
            return {"count": count, "mean": mean, "variance": variance,
                    "std": 0.0 if variance < 0 else variance ** 0.5,
                    "min": self._min[counter_id], "max": self._max[counter_id]}

    def _clear(self, counter_id):
        self._count[counter_id] = 0
        self._sum[counter_id] = self._sum_sq[counter_id] = 0.0
        self._min[counter_id], self._max[counter_id] = INF, -INF

    def reset(self, counter_id):
        counter_id = _counter_id(counter_id, self._n)
        with self._lock:
            self._clear(counter_id)

    def reset_all(self):
        with self._lock:
            for i in range(self._n):
                self._clear(i)

    def get_all_stats(self):
        return [self.get_stats(i) for i in range(self._n)]
