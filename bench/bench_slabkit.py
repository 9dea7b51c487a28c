"""Allocation fast paths against pure-Python twins, the interpreter's call floor and peers.

The bar twins are the models of tests/reference/slabkit.py: they do what the native code is asked to
do (integer conversion, 32-bit range checks, exact results), written as a careful Python author
would; the "minimal" twins below drop the conversions and checks and are reported for information.
The slab header's twin is the model behind a threading.Lock (the native header takes none; the row
"(twin without lock)" shows the model alone). Peers of pack_header: struct plus a C CRC-16/MODBUS
from crcmod, fastcrc or anycrc, where installed.
"""

import os
import struct
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

from velmora.memory import slabkit  # noqa: E402

from reference import slabkit as model  # noqa: E402

# crcmod counts as a C CRC only with its compiled extension (it falls back to pure Python without one).
crcmod_predefined = harness.import_peer("crcmod.predefined") if harness.import_peer("crcmod._crcfunext") else None
fastcrc = harness.import_peer("fastcrc")
anycrc = harness.import_peer("anycrc")

py_align_size = model.fast_align_size
py_get_bucket_size = model.fast_get_bucket_size
py_bitmap_operations = model.fast_bitmap_operations
py_can_fit_aligned = model.fast_can_fit_aligned


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


class LockedHeader(model.Header):
    """The header model with every method behind one threading.Lock."""

    def __init__(self, size_class_index, objects_per_slab):
        super().__init__(size_class_index, objects_per_slab)
        self.lock = threading.Lock()

    def py_find_free_object(self):
        with self.lock:
            return model.Header.py_find_free_object(self)

    def py_allocate_object_at(self, i):
        with self.lock:
            return model.Header.py_allocate_object_at(self, i)

    def pack_header(self):
        with self.lock:
            return model.Header.pack_header(self)


COVERED = struct.Struct("<BBL")
HEADER = struct.Struct(model.HEADER_FORMAT)


class StructHeader:
    """The header fields in Python, packed by struct with the CRC of a C library over the six covered
    bytes (size class, flags, epoch)."""

    __slots__ = ("size_class_index", "flags", "epoch", "crc", "free_bitmap", "crc16")

    def __init__(self, crc16, size_class_index, objects_per_slab):
        self.crc16 = crc16
        self.size_class_index, self.flags, self.epoch, self.crc = size_class_index & 0xFF, 0, 0, 0
        self.free_bitmap = (1 << 64) - 1 if objects_per_slab > 63 else (1 << objects_per_slab) - 1

    def pack_header(self):
        sci, flags, epoch = self.size_class_index, self.flags, self.epoch
        self.crc = crc = self.crc16(COVERED.pack(sci, flags, epoch))
        return HEADER.pack(sci, flags, epoch, crc, self.free_bitmap)


def crc_peers():
    """name -> a CRC-16/MODBUS function of bytes (None when the library is not installed)."""
    peers = {"struct+crcmod": None, "struct+fastcrc": None, "struct+anycrc": None}
    if crcmod_predefined is not None:
        peers["struct+crcmod"] = crcmod_predefined.mkPredefinedCrcFun("modbus")
    if fastcrc is not None:
        peers["struct+fastcrc"] = fastcrc.crc16.modbus
    if anycrc is not None:
        peers["struct+anycrc"] = anycrc.Model("CRC16-MODBUS").calc
    for name, fn in peers.items():
        if fn is not None:
            assert fn(b"123456789") == 0x4B37, name  # the standard check value of CRC-16/MODBUS
    return peers


def register(bench):
    ns = {
        "sk": slabkit, "gcd": __import__("math").gcd, "n": 5, "d": {},
        "align": py_align_size, "bucket": py_get_bucket_size, "bitmap": py_bitmap_operations,
        "fit": py_can_fit_aligned, "m_align": min_align_size, "m_bucket": min_get_bucket_size,
        "m_bitmap": min_bitmap_operations, "m_fit": min_can_fit_aligned,
        "h": slabkit.FastSlabHeaderOps(3, 64), "th": LockedHeader(3, 64), "uh": model.Header(3, 64),
        "a": slabkit.FastBucketAllocator(), "ta": model.BucketAllocator(),
        "s": slabkit.FastStatsCollector(), "ts": model.StatsCollector(),
    }
    crc16 = crc_peers()
    keys = {name: "ph_" + name.split("+")[1] for name in crc16}  # struct+crcmod -> ph_crcmod
    for name, fn in crc16.items():
        if fn is not None:
            ns[keys[name]] = StructHeader(fn, 3, 64)
    for alloc in [ns["h"], ns["th"], ns["uh"]] + [ns[k] for k in keys.values() if k in ns]:
        # leave object 5 as the lowest free one (the struct peers only pack: set their fields alike)
        if isinstance(alloc, StructHeader):
            alloc.free_bitmap &= ~0x1F
            alloc.flags, alloc.epoch = model.IN_USE, 5
        else:
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
    packed = ns["h"].pack_header()
    op("FastSlabHeaderOps.pack_header()", "h.pack_header()", twin="th.pack_header()", floor="n.bit_length()",
       peers={name: ("%s.pack_header()" % keys[name] if fn is not None else None) for name, fn in crc16.items()},
       ns=ns, twin_min=3.0)
    for key in keys.values():  # the peers pack the very same 16 bytes
        if key in ns:
            assert ns[key].pack_header() == packed == ns["uh"].pack_header(), key
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
