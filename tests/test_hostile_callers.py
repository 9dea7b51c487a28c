"""Hostile callers never crash the interpreter: replaced attributes, cleared keyword dicts, deep nesting."""

import textwrap

import pytest

# Each case runs in a child under -X dev (freed memory is poisoned there, so a use after free
# crashes instead of reading stale bytes) and must print "ok".
PEAK_REPLACED_IN_LOAD = """
from velmora.memory.lockless import AtomicCounter, LockFreeStatistics
stats = LockFreeStatistics()
class Replacing:
    def __init__(self, attribute):
        self.attribute = attribute
    def load(self):
        setattr(stats, self.attribute, AtomicCounter(0))   # drops the last reference to self
        return 0
    def compare_and_swap(self, expected, new_value):
        return True
for _ in range(200):
    for attribute in ("peak_allocations", "peak_bytes_allocated"):
        setattr(stats, attribute, Replacing(attribute))
        stats.record_allocation(10)
        setattr(stats, attribute, Replacing(attribute))
        stats._update_peaks(5, 7)
snapshot = stats.get_snapshot()
assert (snapshot["peak_allocations"], snapshot["peak_bytes_allocated"]) == (400, 7), snapshot
print("ok")
"""

PEAK_REPLACED_IN_CAS = """
from velmora.memory.lockless import AtomicCounter, LockFreeStatistics
stats = LockFreeStatistics()
class Replacing:
    def load(self):
        return -1
    def compare_and_swap(self, expected, new_value):
        stats.peak_allocations = AtomicCounter(0)
        return False                                       # the loop goes on with the new counter
for _ in range(200):
    stats.peak_allocations = Replacing()
    stats._update_peaks(3, 0)
assert stats.peak_allocations.load() == 3
print("ok")
"""

# A keyword dict cleared while an earlier argument is converted (gc finds the dict the call made).
KWARGS_CLEARED = """
import gc
from velmora.jit.compilegate import CompileGate, FunctionMetrics, PolicyConfig
from velmora.memory.fitindex import FastRedBlackTree
from velmora.memory.lockless import AtomicCounter, AtomicPointer
from velmora.memory.slabkit import FastBucketAllocator, FastSlabHeaderOps
from velmora.monitoring.tallyhub import CounterAggregator

class Value:
    def __init__(self, number):
        self.number = number
    def __int__(self):
        return self.number
    def __float__(self):
        return float(self.number)
    def __index__(self):
        return self.number

class Clearing(Value):
    def __int__(self):
        for holder in gc.get_referrers(self):
            if type(holder) is dict and "clear_me" not in holder and len(holder) > 1:
                holder.clear()
        return self.number
    __index__ = __int__
    def __float__(self):
        return float(self.__int__())

cases = [
    (PolicyConfig, lambda: {"initial_threshold": Clearing(100), "min_threshold": Value(10),
                            "max_threshold": Value(1000)}),
    (FunctionMetrics, lambda: {"call_count": Clearing(1), "compile_count": Value(2), "avg_speedup": Value(3)}),
    (FastBucketAllocator, lambda: {"bucket_size_step": Clearing(8), "small_block_max": Value(256)}),
    (FastSlabHeaderOps, lambda: {"size_class_index": Clearing(1), "objects_per_slab": Value(64)}),
    (AtomicCounter, lambda: {"initial_value": Clearing(5)}),
    (FastRedBlackTree, lambda: {"sample_rate": Clearing(3)}),
    (CounterAggregator, lambda: {"num_counters": Clearing(4)}),
]
for cls, make in cases:
    for _ in range(50):
        cls(**make())
class Config:
    min_threshold, max_threshold, learning_rate, target_speedup = 10, 1000, 0.1, 2.0
    @property
    def initial_threshold(self):
        for holder in gc.get_referrers(self):
            if type(holder) is dict and "config" in holder:
                holder.clear()                             # the only reference to this config
        return 100
for _ in range(50):
    CompileGate(**{"config": Config()})
print("ok")
"""

NESTED = """
import os, sys, threading
from velmora.jit.compilegate import CompileGate
from velmora.memory.fitindex import FastRedBlackTree
from velmora.memory.lockless import AtomicPointer, LockFreeStack, LockFreeStatistics

def nest(kind, depth):
    x = None
    for _ in range(depth):
        if kind == "pointer":
            x = AtomicPointer(x)
        elif kind == "stack":
            s = LockFreeStack(); s.push(x); x = s
        elif kind == "tree":
            t = FastRedBlackTree()
            if x is not None:
                t.insert(1, x)
            x = t
        elif kind == "statistics":
            s = LockFreeStatistics(); s.total_allocations = x; x = s
        elif kind == "pointer in list":
            x = [AtomicPointer(x)]
    return x

def main():
    chain = nest(sys.argv[1], 200000)
    del chain                      # released link by link: must not recurse once per link
    print("ok")

# 4 MiB: ample for bounded depth, far too little for one frame a link (the sanitizer's frames are
# several times larger: 32 MiB there).
threading.stack_size((32 if os.environ.get("VELMORA_TEST_PROFILE") == "sanitizer" else 4) << 20)
worker = threading.Thread(target=main)
worker.start()
worker.join()
"""


@pytest.mark.parametrize("code", [PEAK_REPLACED_IN_LOAD, PEAK_REPLACED_IN_CAS, KWARGS_CLEARED],
                         ids=["peak counter replaced in load()", "peak counter replaced in compare_and_swap()",
                              "keyword dict cleared during conversion"])
def test_no_use_after_free(run_child, code):
    done = run_child(textwrap.dedent(code), "-X", "dev", timeout=120)
    assert done.returncode == 0 and done.stdout == "ok\n", (done.returncode, done.stderr[-3000:])


@pytest.mark.parametrize("kind", ["pointer", "stack", "tree", "statistics", "pointer in list"])
def test_deep_chains_are_released_without_overflowing_the_stack(run_child, kind):
    done = run_child(NESTED.replace("sys.argv[1]", repr(kind)), timeout=240)
    assert done.returncode == 0 and done.stdout == "ok\n", (done.returncode, done.stderr[-3000:])
