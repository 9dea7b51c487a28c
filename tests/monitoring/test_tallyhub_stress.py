"""tallyhub under 4 threads at once: exact totals, and every record read whole while updates and resets race."""

import textwrap

import pytest
from stress_harness import WORKERS

# Runs in the child: 4 workers started together by a barrier, stopped after VELMORA_STRESS_SECONDS.
PRELUDE = WORKERS + "import math\n"

TOTALS = PRELUDE + textwrap.dedent('''
    from velmora.monitoring.tallyhub import CounterAggregator

    agg = CounterAggregator(3)
    rounds = [0] * THREADS
    # Integer observations: every partial sum is exact, so the totals do not depend on the order.
    values = [[float(100 * t + k) for k in range(1, 9)] for t in range(THREADS)]

    def work(t, stop):
        mine = values[t]
        while not stop.is_set():
            for _ in range(50):
                for v in mine:
                    agg.update(0, v)
                    agg.update(1, -v)
                rounds[t] += 1

    run(work)
    for counter, sign in ((0, 1.0), (1, -1.0)):
        n = sum(8 * r for r in rounds)
        total = sum(sign * sum(values[t]) * rounds[t] for t in range(THREADS))
        total_sq = sum(sum(v * v for v in values[t]) * rounds[t] for t in range(THREADS))
        seen = [sign * v for t in range(THREADS) if rounds[t] for v in values[t]]
        mean = total / n
        expected = {"count": n, "mean": mean, "variance": total_sq / n - mean * mean,
                    "min": min(seen), "max": max(seen)}
        got = agg.get_stats(counter)
        got.pop("std")
        assert got == expected, f"counter {counter}: lost {n - got['count']} of {n} updates: {got} != {expected}"
        assert agg.get_all_stats()[counter] == agg.get_stats(counter)
    assert agg.get_stats(2) == {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0,
                                "min": math.inf, "max": -math.inf}
    print("ok")
''')

CONSISTENT = PRELUDE + textwrap.dedent('''
    from velmora.monitoring.tallyhub import CounterAggregator

    class Deferring(CounterAggregator):
        def get_stats(self, counter_id):  # an override: get_all_stats dispatches to it id by id
            return super().get_stats(counter_id)

    agg = {"native": CounterAggregator, "override": Deferring}[KIND](3)
    VALUE = {0: 1.0, 1: 3.0}
    FRESH = {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": math.inf, "max": -math.inf}
    checked = [0]

    def check(counter, stats):
        # A record made only of observations of one value, read whole: any count gives mean == value
        # and variance 0.0 exactly (the sums are small integer multiples); after a reset, FRESH.
        if stats["count"] == 0:
            assert stats == FRESH, (counter, stats)
        else:
            v = VALUE.get(counter)
            assert stats == {"count": stats["count"], "mean": v, "variance": 0.0, "std": 0.0, "min": v, "max": v}, \\
                (counter, stats)
        checked[0] += 1

    def work(t, stop):
        k = 0
        while not stop.is_set():
            k += 1
            if t < 2:
                for _ in range(100):
                    agg.update(0, 1.0)
                    agg.update(1, 3.0)
            elif t == 2:
                agg.reset(k % 2)
                if k % 16 == 0:
                    agg.reset_all()
                for _ in range(20):
                    agg.update(k % 2, VALUE[k % 2])
            else:
                for counter in (0, 1):
                    check(counter, agg.get_stats(counter))
                if k % 4 == 0:
                    for counter, stats in enumerate(agg.get_all_stats()):
                        check(counter, stats)

    run(work)
    for counter in range(3):
        check(counter, agg.get_stats(counter))
    assert checked[0] > 3, checked
    print("ok")
''')


def assert_ok(result):
    assert result.returncode == 0 and result.stdout == "ok\n", (result.returncode, result.stdout, result.stderr[-3000:])


def test_totals_stay_exact_under_concurrent_updates(run_child):
    assert_ok(run_child(TOTALS, timeout=120))


@pytest.mark.parametrize("kind", ["native", "override"])
def test_records_are_read_whole_while_updates_and_resets_race(run_child, kind):
    assert_ok(run_child(f"KIND = {kind!r}\n" + CONSISTENT, timeout=120))
