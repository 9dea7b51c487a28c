"""Lock-free primitives against lock-guarded pure-Python twins and the interpreter's call floor."""

import os
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

from velmora.memory import lockless  # noqa: E402


class LockedCounter:
    def __init__(self, value=0):
        self._value = value
        self._lock = threading.Lock()

    def load(self):
        with self._lock:
            return self._value

    def increment(self, delta=1):
        with self._lock:
            self._value += delta
            return self._value

    def compare_and_swap(self, expected, new_value):
        with self._lock:
            if self._value == expected:
                self._value = new_value
                return True
            return False


class LockedPointer:
    def __init__(self, value=None):
        self._value = value
        self._version = 0
        self._lock = threading.Lock()

    def load(self):
        with self._lock:
            return self._value

    def store(self, value):
        with self._lock:
            self._value = value
            self._version += 1


class LockedStack:
    def __init__(self):
        self._items = []
        self._lock = threading.Lock()

    def push(self, item):
        with self._lock:
            self._items.append(item)

    def pop(self):
        with self._lock:
            return self._items.pop() if self._items else None

    def size(self):
        with self._lock:
            return len(self._items)


class LockedStatistics:
    """The same recording logic in pure Python, on lock-guarded counters (one lock each)."""

    NAMES = ("total_allocations", "total_deallocations", "current_allocations", "bytes_allocated",
             "bytes_reserved", "peak_allocations", "peak_bytes_allocated", "bucketed_allocations",
             "fallback_allocations", "alignment_padding_bytes", "total_allocation_time_ns",
             "total_deallocation_time_ns")

    def __init__(self):
        for name in self.NAMES:
            setattr(self, name, LockedCounter())

    def record_allocation(self, size, is_bucketed=True, padding=0, time_ns=0):
        self.total_allocations.increment()
        self.current_allocations.increment()
        self.bytes_allocated.increment(size)
        if is_bucketed:
            self.bucketed_allocations.increment()
        else:
            self.fallback_allocations.increment()
        if padding > 0:
            self.alignment_padding_bytes.increment(padding)
        if time_ns > 0:
            self.total_allocation_time_ns.increment(time_ns)
        self._update_peaks(self.current_allocations.load(), self.bytes_allocated.load())

    def _update_peaks(self, current_allocs, current_bytes):
        for peak, current in ((self.peak_allocations, current_allocs), (self.peak_bytes_allocated, current_bytes)):
            while True:
                seen = peak.load()
                if current <= seen or peak.compare_and_swap(seen, current):
                    break

    def get_snapshot(self):
        v = {name: getattr(self, name).load() for name in self.NAMES}
        total, freed = v["total_allocations"], v["total_deallocations"]
        ratio = v["bucketed_allocations"] / total * 100.0 if total > 0 else 0.0
        return {
            "total_allocations": total, "total_deallocations": freed,
            "current_allocations": v["current_allocations"], "bytes_allocated": v["bytes_allocated"],
            "bytes_reserved": v["bytes_reserved"], "peak_allocations": v["peak_allocations"],
            "peak_bytes_allocated": v["peak_bytes_allocated"], "bucketed_allocations": v["bucketed_allocations"],
            "fallback_allocations": v["fallback_allocations"],
            "bucketed_allocation_ratio": format(ratio, ".1f") + "%",
            "alignment_padding_bytes": v["alignment_padding_bytes"],
            "average_allocation_time_ns": v["total_allocation_time_ns"] / total if total > 0 else 0.0,
            "average_deallocation_time_ns": v["total_deallocation_time_ns"] / freed if freed > 0 else 0.0,
            "allocation_mode": "python locks",
        }


def threaded_increments(make_counter, threads, per_thread):
    """Wall time per increment with `threads` threads incrementing one counter."""

    def run():
        counter = make_counter()
        barrier = threading.Barrier(threads + 1)

        def work():
            inc = counter.increment
            barrier.wait()
            for _ in range(per_thread):
                inc()

        pool = [threading.Thread(target=work) for _ in range(threads)]
        for t in pool:
            t.start()
        barrier.wait()
        start = time.perf_counter()
        for t in pool:
            t.join()
        return time.perf_counter() - start

    return run


def register(bench):
    ns = {
        "c": lockless.AtomicCounter(), "tc": LockedCounter(), "n": 5, "d": {},
        "p": lockless.AtomicPointer(1), "tp": LockedPointer(1), "obj": object(),
        "s": lockless.LockFreeStack(), "ts": LockedStack(),
        "st": lockless.LockFreeStatistics(), "tst": LockedStatistics(),
    }
    op = bench.op
    op("AtomicCounter.increment()", "c.increment()", twin="tc.increment()", floor="n.bit_length()", ns=ns,
       floor_max=1.75, twin_min=5.0)
    op("AtomicCounter.load()", "c.load()", twin="tc.load()", floor="n.bit_length()", ns=ns,
       floor_max=1.75, twin_min=5.0)
    op("AtomicCounter.compare_and_swap(a, b)", "c.compare_and_swap(7, 7)", twin="tc.compare_and_swap(7, 7)",
       floor="d.get(1, None)", ns=ns, floor_max=1.5, twin_min=5.0)
    op("AtomicPointer.load()", "p.load()", twin="tp.load()", floor="n.bit_length()", ns=ns)
    op("AtomicPointer.store(x)", "p.store(obj)", twin="tp.store(obj)", floor="d.get(1)", ns=ns)
    op("LockFreeStack.push(x) + pop()", "s.push(obj); s.pop()", twin="ts.push(obj); ts.pop()",
       floor="n.bit_length(); n.bit_length()", ns=ns)
    op("LockFreeStack.size()", "s.size()", twin="ts.size()", floor="n.bit_length()", ns=ns)
    op("LockFreeStatistics.record_allocation(size)", "st.record_allocation(64)",
       twin="tst.record_allocation(64)", floor="d.get(1)", ns=ns, twin_min=10.0)
    op("LockFreeStatistics.get_snapshot()", "st.get_snapshot()", twin="tst.get_snapshot()",
       floor="n.bit_length()", ns=ns)
    per_thread = 20000 if bench.quick else 100000
    for threads in (2, 4):
        op("AtomicCounter.increment() x%d threads" % threads,
           threaded_increments(lockless.AtomicCounter, threads, per_thread),
           twin=threaded_increments(LockedCounter, threads, per_thread),
           number=1, ops_per_call=threads * per_thread)


if __name__ == "__main__":
    sys.exit(harness.main(register))
