"""velmora.memory.slabkit in plain Python: size arithmetic, the slab header and its CRC, buckets, statistics.

Arguments go through the conversions the module documents (an exact int as is, another number
through int(), the 32-bit and 64-bit range checks) and results that leave the signed 32-bit range
raise OverflowError, as the module does. Sums inside the fit tests are compared exactly, never
wrapped. `BucketAllocator` and `StatsCollector` hold a threading.Lock as the native classes do;
`Header` takes none (the native header takes none either).
"""

import struct
import threading

INT_MIN, INT_MAX = -(2 ** 31), 2 ** 31 - 1
IN_USE, CORRUPT = 0x10, 0x80


def _int32(value):
    if type(value) is not int:
        value = int(value)
    if not INT_MIN <= value <= INT_MAX:
        raise OverflowError("value too large to convert to int")
    return value


# ---------------------------------------------------------------- the four functions

def fast_align_size(size, alignment):
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


def fast_get_bucket_size(size, step=8):
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


def fast_bitmap_operations(bitmap, index, operation):
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


def fast_can_fit_aligned(block_offset, block_size, alloc_size, alignment):
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


# ---------------------------------------------------------------- slab header

def crc16_modbus(data):
    """CRC-16/MODBUS bit by bit: reflected polynomial 0x8005, initial value 0xFFFF, no final xor."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def _crc_table():
    table = []
    for i in range(256):
        v = i
        for _ in range(8):
            v = (v >> 1) ^ 0xA001 if v & 1 else v >> 1
        table.append(v)
    return table


CRC_TABLE = _crc_table()
HEADER_FORMAT = "<BBLHQ"


class Header:
    """FastSlabHeaderOps: size class, flags, epoch, crc and the free bitmap (1 = free)."""

    def __init__(self, size_class_index, objects_per_slab):
        self.size_class_index, self.flags, self.epoch, self.crc = size_class_index & 0xFF, 0, 0, 0
        self.objects_per_slab = objects_per_slab
        self.free_bitmap = self._all_free()

    def _all_free(self):
        count = self.objects_per_slab
        if count > 63:
            return (1 << 64) - 1
        return (1 << count) - 1 if count > 0 else 0  # a negative count is an empty slab

    def compute_checksum(self):
        crc = 0xFFFF
        e = self.epoch
        for b in (self.size_class_index, self.flags, e & 0xFF, e >> 8 & 0xFF, e >> 16 & 0xFF, e >> 24):
            crc = (crc >> 8) ^ CRC_TABLE[(crc ^ b) & 0xFF]
        return crc

    def py_is_object_free(self, object_index):
        i = _int32(object_index)
        return 0 <= i < 64 and bool(self.free_bitmap >> i & 1)

    def py_find_free_object(self):
        bm = self.free_bitmap
        return (bm & -bm).bit_length() - 1

    def py_allocate_object_at(self, object_index):
        i = object_index
        if type(i) is not int:
            i = int(i)
        if not INT_MIN <= i <= INT_MAX:
            raise OverflowError("value too large to convert to int")
        if 0 <= i < 64:
            self.free_bitmap &= ~(1 << i)
        self.flags |= IN_USE
        self.epoch = (self.epoch + 1) & 0xFFFFFFFF

    def py_deallocate_object_at(self, object_index):
        i = _int32(object_index)
        if 0 <= i < 64:
            self.free_bitmap |= 1 << i
        self.epoch = (self.epoch + 1) & 0xFFFFFFFF
        if self.free_bitmap == self._all_free():
            self.flags &= ~IN_USE

    def pack_header(self):
        self.crc = self.compute_checksum()
        return struct.pack(HEADER_FORMAT, self.size_class_index, self.flags, self.epoch, self.crc, self.free_bitmap)


# ---------------------------------------------------------------- buckets and statistics

def bucket_keys(step, small, medium):
    return list(range(step, small + 1, step)) + list(range(small + step, medium + 1, step))


class BucketAllocator:
    """FastBucketAllocator: per-size stacks of free offsets under one lock, with a best-fit fallback
    that examines the last offset of each larger bucket."""

    def __init__(self, bucket_size_step=8, small_block_max=256, medium_block_max=4096):
        self.step, self.small, self.medium = bucket_size_step, small_block_max, medium_block_max
        self.bucketed_free_lists = {}
        self.lock = threading.Lock()
        self._init_buckets()
        self.sorted_keys = sorted(self.bucketed_free_lists)  # the keys never change after construction

    def _init_buckets(self):
        for k in bucket_keys(self.step, self.small, self.medium):
            self.bucketed_free_lists[k] = []

    def _bucket(self, size):
        if size <= self.small or size <= self.medium:
            step = self.step
            t = size + step - 1
            rem = t % step
            if rem and (rem < 0) != (t < 0):  # truncating division, as in fast_get_bucket_size
                rem -= step
            return t - rem
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
            lst = self.bucketed_free_lists.get(b)
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
            lst = self.bucketed_free_lists.get(b)
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
        neg = -alignment if alignment != INT_MIN else INT_MIN
        with self.lock:
            lists = self.bucketed_free_lists
            lst = lists.get(b)
            if lst:
                o = lst.pop()
                if ((o + alignment - 1) & neg) + size <= o + b:
                    return o
                lst.append(o)
            for k in self.sorted_keys:
                if k > b:
                    lst = lists[k]
                    if lst:
                        o = lst.pop()
                        if ((o + alignment - 1) & neg) + size <= o + k:
                            return o
                        lst.append(o)
            return None


class StatsCollector:
    """FastStatsCollector: five unsigned 64-bit counters under one lock."""

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

    def py_record_deallocation(self):
        with self.lock:
            self.freed += 1

    def get_stats(self):
        with self.lock:
            ratio = self.bucketed / self.total * 100 if self.total > 0 else 0
            return {
                "total_allocations": self.total, "total_deallocations": self.freed,
                "bucketed_allocations": self.bucketed, "fallback_allocations": self.fallback,
                "bucketed_allocation_ratio": format(ratio, ".1f") + "%", "alignment_padding_bytes": self.padding,
            }

    def reset_stats(self):
        with self.lock:
            self.total = self.freed = self.bucketed = self.fallback = self.padding = 0
