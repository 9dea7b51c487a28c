"""velmora.memory.lockless in plain Python: counter, versioned slot, stack and allocation statistics.

Every object takes its own ``threading.Lock`` around each access to its state: for the slot and the
stack that is what the native classes do, for the counter the lock stands in for the hardware atomic.
Integer arguments are Python ints within the signed 64-bit range (the native conversions are tested
against the native module directly).
"""

import threading

I64_MIN, I64_MAX = -(1 << 63), (1 << 63) - 1


def wrap64(value):
    """The two's-complement value of `value` in 64 bits (the counter wraps, it never raises)."""
    return (value + (1 << 63)) % (1 << 64) - (1 << 63)


class Counter:
    """AtomicCounter: a signed 64-bit counter whose additions wrap modulo 2**64."""

    def __init__(self, initial_value=0):
        self._value = initial_value
        self._lock = threading.Lock()

    def load(self):
        with self._lock:
            return self._value

    def store(self, value):
        with self._lock:
            self._value = value

    def increment(self, delta=1):
        with self._lock:
            value = self._value + delta
            if not -0x8000000000000000 <= value <= 0x7FFFFFFFFFFFFFFF:
                value = wrap64(value)
            self._value = value
            return value

    def decrement(self, delta=1):
        with self._lock:
            value = self._value - delta
            if not -0x8000000000000000 <= value <= 0x7FFFFFFFFFFFFFFF:
                value = wrap64(value)
            self._value = value
            return value

    def compare_and_swap(self, expected, new_value):
        with self._lock:
            if self._value == expected:
                self._value = new_value
                return True
            return False

    def fetch_and_add(self, delta):
        with self._lock:
            before = self._value
            self._value = wrap64(before + delta)
            return before


class Pointer:
    """AtomicPointer: one object slot (None is the empty slot), compare-and-swap by identity, and a
    version that counts successful writes."""

    def __init__(self, initial_value=None):
        self._value = initial_value
        self._version = 0
        self._lock = threading.Lock()

    def load(self):
        with self._lock:
            return self._value

    def store(self, value):
        with self._lock:
            self._value = value
            self._version += 1

    def compare_and_swap(self, expected, new_value):
        with self._lock:
            if self._value is expected:
                self._value = new_value
                self._version += 1
                return True
            return False

    def get_version(self):
        with self._lock:
            return self._version


class Stack:
    """LockFreeStack: last in, first out; pop() of an empty stack is None."""

    def __init__(self):
        self._items = []
        self._lock = threading.Lock()

    def push(self, item):
        with self._lock:
            self._items.append(item)

    def pop(self):
        with self._lock:
            return self._items.pop() if self._items else None

    def is_empty(self):
        with self._lock:
            return not self._items

    def size(self):
        with self._lock:
            return len(self._items)


# The twelve public counters of LockFreeStatistics, in their documented order.
COUNTERS = ("total_allocations", "total_deallocations", "current_allocations", "bytes_allocated",
            "bytes_reserved", "peak_allocations", "peak_bytes_allocated", "bucketed_allocations",
            "fallback_allocations", "alignment_padding_bytes", "total_allocation_time_ns",
            "total_deallocation_time_ns")


class Statistics:
    """LockFreeStatistics: the recording rules on twelve counters (one lock each), reached by attribute
    as the native methods reach theirs; `_update_lock` is taken only by reset()."""

    NAMES = COUNTERS

    def __init__(self, counter=Counter):
        self._update_lock = threading.Lock()
        for name in self.NAMES:
            setattr(self, name, counter(0))

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

    def record_deallocation(self, size, time_ns=0):
        self.total_deallocations.increment()
        self.current_allocations.decrement()
        self.bytes_allocated.decrement(size)
        if time_ns > 0:
            self.total_deallocation_time_ns.increment(time_ns)

    def py_record_allocation(self, size, is_bucketed, padding=0, time_ns=0):
        # The native mirrors are not observable; only these three public counters move.
        self.total_allocations.increment()
        self.current_allocations.increment()
        self.bytes_allocated.increment(size)

    def py_record_deallocation(self, size, time_ns=0):
        self.total_deallocations.increment()
        self.current_allocations.decrement()
        self.bytes_allocated.decrement(size)

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
            # The one value the model does not reproduce: the native label names its atomics.
            "allocation_mode": "python locks",
        }

    def reset(self):
        with self._update_lock:
            for name in self.NAMES:
                getattr(self, name).store(0)
