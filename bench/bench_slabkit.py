"""Allocation fast paths against pure-Python twins and the interpreter's call floor."""

import os
import struct
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

from velmora.memory import slabkit  # noqa: E402

# ----------------------------------------------------------------------------------------------
# Pure-Python twins. The bar twins do what the contract asks of the native code (integer
# conversion, 32-bit range checks, exact results), written inline as a careful Python author would;
# the "minimal" twins drop the conversions and checks and are reported for information.

INT_MIN, INT_MAX = -(2 ** 31), 2 ** 31 - 1


def py_align_size(size, alignment):
    if type(size) is not int:
        size = int(size)
    if type(alignment) is not int:
        alignment = int(alignment)
    if not (INT_MIN <= size <= INT_MAX and INT_MIN <= alignment <= INT_MAX):
        raise OverflowError("value too large to convert to int")
    if alignment > 0 and alignment & (alignment - 1) == 0:
        r = (size + alignment - 1) & -alignment
        if r > INT_MAX:
            raise OverflowError("Aligned size does not fit in a signed 32-bit int")
        return r
    raise ValueError("Alignment must be a power of 2")


def py_get_bucket_size(size, step=8):
    if type(size) is not int:
        size = int(size)
    if type(step) is not int:
        step = int(step)
    if not (INT_MIN <= size <= INT_MAX and INT_MIN <= step <= INT_MAX):
        raise OverflowError("value too large to convert to int")
    if step == 0:
        raise ValueError("Bucket step must not be zero")
    t = size + step - 1
    rem = t % step
    if rem and (rem < 0) != (t < 0):  # the remainder of truncating division follows t's sign
        rem -= step
    r = t - rem
    if not INT_MIN <= r <= INT_MAX:
        raise OverflowError("Bucket size does not fit in a signed 32-bit int")
    return r


def py_bitmap_operations(bitmap, index, operation):
    if type(bitmap) is not int:
        bitmap = int(bitmap)
    if type(index) is not int:
        index = int(index)
    if bitmap < 0:
        raise OverflowError("can't convert negative value to uint64_t")
    if bitmap >= 1 << 64 or not INT_MIN <= index <= INT_MAX:
        raise OverflowError("value too large to convert to int")
    if operation is not None and type(operation) is not str:
        raise TypeError("Argument 'operation' has incorrect type (expected str, got %s)" % type(operation).__name__)
    if operation == "is_set":
        return 0 <= index < 64 and bool(bitmap >> index & 1)
    if operation == "set":
        return bitmap | (1 << index) if 0 <= index < 64 else bitmap
    if operation == "clear":
        return bitmap & ~(1 << index) if 0 <= index < 64 else bitmap
    if operation == "find_first":
        return (bitmap & -bitmap).bit_length() - 1
    raise ValueError("Unknown operation: %s" % operation)


def py_can_fit_aligned(block_offset, block_size, alloc_size, alignment):
    if type(block_offset) is not int:
        block_offset = int(block_offset)
    if type(block_size) is not int:
        block_size = int(block_size)
    if type(alloc_size) is not int:
        alloc_size = int(alloc_size)
    if type(alignment) is not int:
        alignment = int(alignment)
    if not (INT_MIN <= block_offset <= INT_MAX and INT_MIN <= block_size <= INT_MAX
            and INT_MIN <= alloc_size <= INT_MAX and INT_MIN <= alignment <= INT_MAX):
        raise OverflowError("value too large to convert to int")
    neg = -alignment if alignment != INT_MIN else INT_MIN
    return ((block_offset + alignment - 1) & neg) + alloc_size < block_offset + block_size


def min_align_size(size, alignment):
    if alignment > 0 and alignment & (alignment - 1) == 0:
        return (size + alignment - 1) & -alignment
    raise ValueError("Alignment must be a power of 2")


def min_get_bucket_size(size, step=8):
    t = size + step - 1
    return t - t % step


def min_bitmap_operations(bitmap, index, operation):
    if operation == "is_set":
        return 0 <= index < 64 and bool(bitmap >> index & 1)
    if operation == "set":
        return bitmap | (1 << index) if 0 <= index < 64 else bitmap
    if operation == "clear":
        return bitmap & ~(1 << index) if 0 <= index < 64 else bitmap
    if operation == "find_first":
        return (bitmap & -bitmap).bit_length() - 1
    raise ValueError("Unknown operation: %s" % operation)


def min_can_fit_aligned(block_offset, block_size, alloc_size, alignment):
    return ((block_offset + alignment - 1) & -alignment) + alloc_size < block_offset + block_size


def _crc_table():
    table = []
    for i in range(256):
        v = i
        for _ in range(8):
            v = (v >> 1) ^ 0xA001 if v & 1 else v >> 1
        table.append(v)
    return table


CRC_TABLE = _crc_table()


class PySlabHeader:
    """FastSlabHeaderOps in Python; `locked` guards every method with a threading.Lock."""

    def __init__(self, size_class_index, objects_per_slab, locked=True):
        self.size_class_index, self.flags, self.epoch, self.crc = size_class_index & 0xFF, 0, 0, 0
        self.objects_per_slab = objects_per_slab
        self.free_bitmap = (1 << 64) - 1 if objects_per_slab > 63 else (1 << objects_per_slab) - 1
        self.lock = threading.Lock() if locked else None

    def _checksum(self):
        crc = 0xFFFF
        e = self.epoch
        for b in (self.size_class_index, self.flags, e & 0xFF, e >> 8 & 0xFF, e >> 16 & 0xFF, e >> 24):
            crc = (crc >> 8) ^ CRC_TABLE[(crc ^ b) & 0xFF]
        return crc

    def _find(self):
        bm = self.free_bitmap
        return (bm & -bm).bit_length() - 1

    def _allocate(self, i):
        if 0 <= i < 64:
            self.free_bitmap &= ~(1 << i)
        self.flags |= 0x10
        self.epoch = (self.epoch + 1) & 0xFFFFFFFF

    def _pack(self):
        self.crc = self._checksum()
        return struct.pack("<BBLHQ", self.size_class_index, self.flags, self.epoch, self.crc, self.free_bitmap)

    def py_find_free_object(self):
        if self.lock is None:
            return self._find()
        with self.lock:
            return self._find()

    def py_allocate_object_at(self, i):
        if type(i) is not int:
            i = int(i)
        if not INT_MIN <= i <= INT_MAX:
            raise OverflowError("value too large to convert to int")
        if self.lock is None:
            return self._allocate(i)
        with self.lock:
            self._allocate(i)

    def pack_header(self):
        if self.lock is None:
            return self._pack()
        with self.lock:
            return self._pack()


class PyBucketAllocator:
    def __init__(self, bucket_size_step=8, small_block_max=256, medium_block_max=4096):
        self.step, self.small, self.medium = bucket_size_step, small_block_max, medium_block_max
        self.lists = {}
        for s in range(bucket_size_step, small_block_max + 1, bucket_size_step):
            self.lists[s] = []
        for s in range(small_block_max + bucket_size_step, medium_block_max + 1, bucket_size_step):
            self.lists[s] = []
        self.sorted_keys = sorted(self.lists)
        self.lock = threading.Lock()

    def _bucket(self, size):
        if size <= self.medium:
            t = size + self.step - 1
            return t - t % self.step
        return -1

    def add_to_bucket(self, offset, size):
        if type(offset) is not int:
            offset = int(offset)
        if type(size) is not int:
            size = int(size)
        if not (INT_MIN <= offset <= INT_MAX and INT_MIN <= size <= INT_MAX):
            raise OverflowError("value too large to convert to int32_t")
        b = self._bucket(size)
        if b <= 0 or b != size:
            return False
        with self.lock:
            lst = self.lists.get(b)
            if lst is None:
                return False
            lst.append(offset)
            return True

    def remove_from_bucket(self, size):
        if type(size) is not int:
            size = int(size)
        if not INT_MIN <= size <= INT_MAX:
            raise OverflowError("value too large to convert to int32_t")
        b = self._bucket(size)
        if b <= 0:
            return None
        with self.lock:
            lst = self.lists.get(b)
            return lst.pop() if lst else None

    def find_best_fit_bucket(self, size, alignment):
        if type(size) is not int:
            size = int(size)
        if type(alignment) is not int:
            alignment = int(alignment)
        if not (INT_MIN <= size <= INT_MAX and INT_MIN <= alignment <= INT_MAX):
            raise OverflowError("value too large to convert to int32_t")
        b = self._bucket(size)
        if b <= 0:
            return None
        with self.lock:
            lst = self.lists.get(b)
            if lst:
                o = lst.pop()
                if ((o + alignment - 1) & -alignment) + size <= o + b:
                    return o
                lst.append(o)
            for k in self.sorted_keys:
                if k > b:
                    lst = self.lists[k]
                    if lst:
                        o = lst.pop()
                        if ((o + alignment - 1) & -alignment) + size <= o + k:
                            return o
                        lst.append(o)
            return None


class PyStatsCollector:
    def __init__(self):
        self.total = self.freed = self.bucketed = self.fallback = self.padding = 0
        self.lock = threading.Lock()

    def py_record_allocation(self, size, padding, is_bucketed):
        if type(size) is not int:
            size = int(size)
        if type(padding) is not int:
            padding = int(padding)
        if not (INT_MIN <= size <= INT_MAX and INT_MIN <= padding <= INT_MAX):
            raise OverflowError("value too large to convert to int")
        is_bucketed = bool(is_bucketed)
        with self.lock:
            self.total += 1
            self.padding = (self.padding + padding) & 0xFFFFFFFFFFFFFFFF
            if is_bucketed:
                self.bucketed += 1
            else:
                self.fallback += 1


def register(bench):
    ns = {
        "sk": slabkit, "gcd": __import__("math").gcd, "n": 5, "d": {},
        "align": py_align_size, "bucket": py_get_bucket_size, "bitmap": py_bitmap_operations,
        "fit": py_can_fit_aligned, "m_align": min_align_size, "m_bucket": min_get_bucket_size,
        "m_bitmap": min_bitmap_operations, "m_fit": min_can_fit_aligned,
        "h": slabkit.FastSlabHeaderOps(3, 64), "th": PySlabHeader(3, 64), "uh": PySlabHeader(3, 64, locked=False),
        "a": slabkit.FastBucketAllocator(), "ta": PyBucketAllocator(),
        "s": slabkit.FastStatsCollector(), "ts": PyStatsCollector(),
    }
    for alloc in (ns["h"], ns["th"], ns["uh"]):  # leave object 5 as the lowest free one
        for i in range(5):
            alloc.py_allocate_object_at(i)
    op = bench.op
    # The four functions: at most 1.5x the floor of a built-in call of the same arity (math.gcd
    # takes any number of ints) and at least 3x the contract-faithful twin; the minimal twin's
    # ratio is shown below each for information.
    functions = [
        ("fast_align_size(13, 8)", "sk.fast_align_size(13, 8)", "align(13, 8)", "m_align(13, 8)", "gcd(13, 8)"),
        ("fast_get_bucket_size(100, 64)", "sk.fast_get_bucket_size(100, 64)", "bucket(100, 64)",
         "m_bucket(100, 64)", "gcd(100, 64)"),
        ("fast_bitmap_operations(10, 3, 'set')", "sk.fast_bitmap_operations(10, 3, 'set')", "bitmap(10, 3, 'set')",
         "m_bitmap(10, 3, 'set')", "gcd(10, 3, 5)"),
        ("fast_bitmap_operations(40, 0, 'find_first')", "sk.fast_bitmap_operations(40, 0, 'find_first')",
         "bitmap(40, 0, 'find_first')", "m_bitmap(40, 0, 'find_first')", "gcd(40, 2, 5)"),
        ("fast_can_fit_aligned(4, 64, 59, 8)", "sk.fast_can_fit_aligned(4, 64, 59, 8)", "fit(4, 64, 59, 8)",
         "m_fit(4, 64, 59, 8)", "gcd(4, 64, 59, 8)"),
    ]
    for name, native, twin, minimal, floor in functions:
        op(name, native, twin=twin, floor=floor, ns=ns, floor_max=1.5, twin_min=3.0)
        op("  (minimal twin, no conversions)", native, twin=minimal, ns=ns)
    # Methods: at least 3x the lock-guarded twin; the floor is informational.
    op("FastSlabHeaderOps.py_find_free_object()", "h.py_find_free_object()", twin="th.py_find_free_object()",
       floor="n.bit_length()", ns=ns, twin_min=3.0)
    op("  (twin without lock)", "h.py_find_free_object()", twin="uh.py_find_free_object()", ns=ns)
    op("FastSlabHeaderOps.py_allocate_object_at(i)", "h.py_allocate_object_at(70)",
       twin="th.py_allocate_object_at(70)", floor="d.get(1)", ns=ns, twin_min=3.0)
    op("  (twin without lock)", "h.py_allocate_object_at(70)", twin="uh.py_allocate_object_at(70)", ns=ns)
    op("FastSlabHeaderOps.pack_header()", "h.pack_header()", twin="th.pack_header()", floor="n.bit_length()",
       ns=ns, twin_min=3.0)
    op("  (twin without lock)", "h.pack_header()", twin="uh.pack_header()", ns=ns)
    two_calls = "d.get(1, 2); d.get(1)"
    op("FastBucketAllocator.add_to_bucket + remove_from_bucket", "a.add_to_bucket(1024, 64); a.remove_from_bucket(64)",
       twin="ta.add_to_bucket(1024, 64); ta.remove_from_bucket(64)", floor=two_calls, ns=ns, twin_min=3.0)
    for label, size in (("exact", 64), ("fallback, next bucket", 72), ("fallback, last of 512", 4096)):
        op("FastBucketAllocator.add + find_best_fit_bucket (%s)" % label,
           "a.add_to_bucket(8192, %d); a.find_best_fit_bucket(64, 8)" % size,
           twin="ta.add_to_bucket(8192, %d); ta.find_best_fit_bucket(64, 8)" % size, floor=two_calls, ns=ns,
           twin_min=3.0)
    op("FastStatsCollector.py_record_allocation(64, 8, True)", "s.py_record_allocation(64, 8, True)",
       twin="ts.py_record_allocation(64, 8, True)", floor="gcd(64, 8, 1)", ns=ns, twin_min=3.0)


if __name__ == "__main__":
    sys.exit(harness.main(register))
