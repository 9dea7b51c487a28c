"""Four threads on one lockless object for a bounded time: counts, pops and versions stay exact."""

import pytest

COUNTER = """
from velmora.memory.lockless import AtomicCounter
counter = AtomicCounter(0)
totals = [0] * 4
def work(k):
    def run():
        going, net, i = until_deadline(), 0, 0
        while going():
            i += 1
            counter.increment(); net += 1
            counter.decrement(2); net -= 2
            net += 5; assert counter.fetch_and_add(5) is not None
            seen = counter.load()
            if counter.compare_and_swap(seen, seen + 3):
                net += 3
        totals[k] = net
    return run
run_threads([work(k) for k in range(4)])
assert counter.load() == sum(totals), (counter.load(), totals)
print("ok")
"""

STACK = """
from velmora.memory.lockless import LockFreeStack
stack = LockFreeStack()
popped = [[] for _ in range(4)]
pushed = [0, 0]
done = threading.Event()
def pusher(k):
    def run():
        going, i = until_deadline(), 0
        while going():
            stack.push((k, i)); i += 1
        pushed[k] = i
    return run
def popper(k):
    def run():
        mine = popped[k]
        while not done.is_set() or not stack.is_empty():
            item = stack.pop()
            if item is not None:
                mine.append(item)
    return run
def pushers_then_done():
    run_threads([pusher(0), pusher(1)])
    done.set()
run_threads([pushers_then_done, popper(2), popper(3)])
items = popped[2] + popped[3]
assert len(items) == len(set(items)) == pushed[0] + pushed[1], (len(items), len(set(items)), pushed)
assert stack.size() == 0 and stack.pop() is None
print("ok")
"""

POINTER = """
from velmora.memory.lockless import AtomicPointer
pointer = AtomicPointer(None)
writes = [0] * 4
def work(k):
    def run():
        going, n, i = until_deadline(), 0, 0
        while going():
            i += 1
            if i % 7 == 0:
                pointer.store((k, i)); n += 1
            else:
                seen = pointer.load()
                if pointer.compare_and_swap(seen, (k, i)):
                    n += 1
            assert pointer.get_version() >= n
        writes[k] = n
    return run
run_threads([work(k) for k in range(4)])
assert pointer.get_version() == sum(writes), (pointer.get_version(), writes)
print("ok")
"""

STATISTICS = """
from velmora.memory.lockless import LockFreeStatistics
stats = LockFreeStatistics()
calls = [None] * 4
def work(k):
    def run():
        going = until_deadline()
        allocs = deallocs = size_sum = bucketed = padding = 0
        while going():
            size = 16 + (allocs % 13)
            if allocs % 3 == 0:
                stats.py_record_allocation(size, True, 0, 0)
            else:
                stats.record_allocation(size, allocs % 2 == 0, 4, 10)
                bucketed += allocs % 2 == 0
                padding += 4
            allocs += 1; size_sum += size
            if allocs % 4 == 0:
                stats.record_deallocation(8, 5); deallocs += 1; size_sum -= 8
        calls[k] = (allocs, deallocs, size_sum, bucketed, padding)
    return run
run_threads([work(k) for k in range(4)])
snap = stats.get_snapshot()
allocs, deallocs, size_sum, bucketed, padding = (sum(c[i] for c in calls) for i in range(5))
assert snap["total_allocations"] == allocs and snap["total_deallocations"] == deallocs, (snap, calls)
assert snap["current_allocations"] == allocs - deallocs and snap["bytes_allocated"] == size_sum, (snap, calls)
assert snap["bucketed_allocations"] == bucketed and snap["alignment_padding_bytes"] == padding, (snap, calls)
assert 1 <= snap["peak_allocations"] <= allocs
print("ok")
"""

# Attributes swapped under the recorders: exactness is given up by design, memory safety is not.
STATISTICS_SWAPPED = """
from velmora.memory.lockless import AtomicCounter, LockFreeStatistics
stats = LockFreeStatistics()
names = ["total_allocations", "current_allocations", "bytes_allocated", "peak_allocations",
         "peak_bytes_allocated", "bucketed_allocations"]
def swapper():
    going, i = until_deadline(), 0
    while going():
        setattr(stats, names[i % len(names)], AtomicCounter(i)); i += 1
def recorder():
    going = until_deadline()
    while going():
        stats.record_allocation(32)
        stats.py_record_allocation(32, True)
        stats.record_deallocation(32)
        stats.get_snapshot()
run_threads([swapper, recorder, recorder, recorder])
print("ok")
"""


@pytest.mark.parametrize("body", [COUNTER, STACK, POINTER, STATISTICS, STATISTICS_SWAPPED],
                         ids=["counter", "stack", "pointer", "statistics", "statistics with swapped counters"])
def test_lockless_under_four_threads(run_stress, body):
    run_stress(body)
