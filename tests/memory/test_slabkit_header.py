"""FastSlabHeaderOps: per-object bitmap bookkeeping, the 16-byte stored form and its CRC-16/MODBUS."""

import copy
import logging
import pickle
import struct

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from velmora.memory import slabkit
from velmora.memory.slabkit import FastSlabHeaderOps

from reference import slabkit as ref

IN_USE, CORRUPT = 0x10, 0x80
INT32_MIN, INT32_MAX = -(2 ** 31), 2 ** 31 - 1
LOGGER = "velmora.memory.slabkit"


# ----------------------------------------------------------------------------------------------
# The stored form written out independently: a bitwise CRC over the covered bytes, struct for the rest.

crc16_modbus = ref.crc16_modbus


def covered(sci, flags, epoch):
    return bytes([sci, flags]) + struct.pack("<L", epoch)


def stored(sci, flags, epoch, bitmap, crc=None):
    if crc is None:
        crc = crc16_modbus(covered(sci, flags, epoch))
    return struct.pack("<BBLHQ", sci, flags, epoch, crc, bitmap)


def warnings_of(caplog):
    return [r.getMessage() for r in caplog.records if r.name == LOGGER and r.levelno == logging.WARNING]


def test_reference_crc_matches_the_standard_check_value():
    assert crc16_modbus(b"123456789") == 0x4B37


# ----------------------------------------------------------------------------------------------
# Examples the contract gives.

@pytest.mark.parametrize("sci, flags, epoch, crc", [(0, 0, 0, 0x1B00), (3, 0, 0, 0x2800), (3, 0x10, 1, 0x17C0)])
def test_checksum_examples(sci, flags, epoch, crc):
    assert crc16_modbus(covered(sci, flags, epoch)) == crc
    h = FastSlabHeaderOps(0, 0)
    h.unpack_header(stored(sci, flags, epoch, 0, crc))
    assert h.pack_header()[6:8] == struct.pack("<H", crc)


def test_new_header_packs_bitmap_and_checksum():
    data = FastSlabHeaderOps(3, 10).pack_header()
    assert type(data) is bytes and len(data) == 16
    assert data == bytes.fromhex("0300 00000000 0028 ff03000000000000")


def test_packed_example_header():
    h = FastSlabHeaderOps(3, 8)
    h.py_allocate_object_at(0)  # flags IN_USE, epoch 1, bitmap 0xFE
    assert h.pack_header() == bytes.fromhex("03 10 01 00 00 00 c0 17 fe 00 00 00 00 00 00 00")


@pytest.mark.parametrize("count, bitmap", [
    (64, 2 ** 64 - 1), (100, 2 ** 64 - 1), (INT32_MAX, 2 ** 64 - 1), (63, 2 ** 63 - 1), (1, 1), (0, 0),
    (-1, 0), (INT32_MIN, 0),
])
def test_initial_bitmap(count, bitmap):
    h = FastSlabHeaderOps(0, count)
    assert h.pack_header()[8:] == struct.pack("<Q", bitmap)
    assert h.py_find_free_object() == ((bitmap & -bitmap).bit_length() - 1)


@pytest.mark.parametrize("arg, stored_index", [(256, 0), (257, 1), (-1, 255), (INT32_MIN, 0), (3.9, 3)])
def test_size_class_index_keeps_low_eight_bits(arg, stored_index):
    assert FastSlabHeaderOps(arg, 1).pack_header()[0] == stored_index


def test_allocate_and_deallocate_cycle():
    h = FastSlabHeaderOps(0, 10)
    assert h.py_find_free_object() == 0
    assert h.py_allocate_object_at(0) is None
    assert h.py_find_free_object() == 1 and h.py_is_object_free(0) is False
    data = h.pack_header()
    assert data[1] == IN_USE and struct.unpack("<L", data[2:6])[0] == 1
    assert h.py_deallocate_object_at(0) is None
    data = h.pack_header()
    assert data[1] == 0 and struct.unpack("<L", data[2:6])[0] == 2 and data[8:] == struct.pack("<Q", 0x3FF)


@pytest.mark.parametrize("index", [70, 64, -1, INT32_MIN, INT32_MAX])
def test_indexes_outside_the_bitmap_address_nothing(index):
    h = FastSlabHeaderOps(0, 64)
    h.py_allocate_object_at(index)
    data = h.pack_header()
    assert data[8:] == b"\xff" * 8 and data[1] == IN_USE and data[2:6] == b"\x01\0\0\0"
    assert h.py_is_object_free(index) is False
    h.py_deallocate_object_at(index)  # all objects free again: the in-use flag goes
    assert h.pack_header()[1] == 0


def test_deallocating_beyond_the_slab_keeps_it_in_use():
    h = FastSlabHeaderOps(0, 4)
    h.py_allocate_object_at(0)
    h.py_deallocate_object_at(0)
    h.py_deallocate_object_at(9)  # bit 9 lies outside the four objects: never "all free" again
    assert h.pack_header()[1] == 0 and h.py_is_object_free(9) is True
    h.py_allocate_object_at(1)
    h.py_deallocate_object_at(1)
    assert h.pack_header()[1] == IN_USE


def test_epoch_wraps_modulo_two_to_the_32():
    h = FastSlabHeaderOps(0, 1)
    h.unpack_header(stored(0, 0, 2 ** 32 - 1, 1))
    h.py_allocate_object_at(0)
    assert h.pack_header()[2:6] == b"\0\0\0\0"


# ----------------------------------------------------------------------------------------------
# Stored form: round trips and corruption.

headers = st.tuples(st.integers(0, 255), st.integers(0, 255), st.integers(0, 2 ** 32 - 1),
                    st.integers(0, 2 ** 64 - 1))


@settings(max_examples=200, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(headers)
def test_round_trip_without_warning(caplog, header):
    caplog.clear()
    data = stored(*header)
    h = FastSlabHeaderOps(7, 3)
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        assert h.unpack_header(data) is None
    assert warnings_of(caplog) == []
    assert h.pack_header() == data
    twin = FastSlabHeaderOps(0, 0)
    twin.unpack_header(h.pack_header())
    assert twin.pack_header() == data


@settings(max_examples=200, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(headers, st.integers(0, 4), st.integers(1, 0xFFFF))
def test_any_short_burst_in_the_covered_bytes_is_detected(caplog, header, pos, delta):
    caplog.clear()
    data = bytearray(stored(*header))
    # a change confined to two adjacent covered bytes (a burst of at most 16 bits) is always caught
    data[pos] ^= delta & 0xFF
    data[pos + 1] ^= delta >> 8
    h = FastSlabHeaderOps(0, 0)
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        h.unpack_header(bytes(data))
    stored_crc = struct.unpack("<H", data[6:8])[0]
    computed = crc16_modbus(bytes(data[:6]))
    assert warnings_of(caplog) == [
        "Header corruption detected: stored=%04x, computed=%04x" % (stored_crc, computed)]
    out = h.pack_header()
    assert out[0] == data[0] and out[1] == data[1] | CORRUPT and out[2:6] == data[2:6] and out[8:] == data[8:]
    assert out[6:8] == struct.pack("<H", crc16_modbus(out[:6]))


@settings(max_examples=200, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(headers, st.binary(min_size=6, max_size=6), st.binary(min_size=8, max_size=8))
def test_flag_follows_the_checksum_of_arbitrary_bytes(caplog, header, covered_bytes, bitmap_bytes):
    caplog.clear()
    data = covered_bytes + stored(*header)[6:8] + bitmap_bytes
    h = FastSlabHeaderOps(0, 0)
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        h.unpack_header(data)
    mismatch = crc16_modbus(covered_bytes) != struct.unpack("<H", data[6:8])[0]
    assert len(warnings_of(caplog)) == int(mismatch)
    assert h.pack_header()[1] == covered_bytes[1] | (CORRUPT if mismatch else 0)


def test_bitmap_bytes_are_not_covered(caplog):
    data = bytearray(stored(3, 0x10, 1, 0xFE))
    data[8:16] = b"\x12\x34\x56\x78\x9a\xbc\xde\xf0"
    h = FastSlabHeaderOps(0, 0)
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        h.unpack_header(bytes(data))
    assert warnings_of(caplog) == [] and h.pack_header() == bytes(data)


def test_corruption_example_message_and_recovery(caplog):
    h = FastSlabHeaderOps(0, 0)
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        h.unpack_header(stored(3, 0x10, 1, 0xFE, crc=0))
    assert warnings_of(caplog) == ["Header corruption detected: stored=0000, computed=17c0"]
    assert h.pack_header()[1] == 0x10 | CORRUPT
    h.py_allocate_object_at(1)  # the flag survives ordinary work
    assert h.pack_header()[1] & CORRUPT
    h.unpack_header(stored(3, 0x10, 1, 0xFE))  # only clean data clears it
    assert h.pack_header()[1] == 0x10


def test_unpack_installs_the_bitmap():
    h = FastSlabHeaderOps(0, 0)
    h.unpack_header(stored(9, 1, 5, 77))
    assert h.py_find_free_object() == 0 and h.py_is_object_free(2) is True and h.py_is_object_free(1) is False


def test_warning_goes_through_the_module_logger_attribute(monkeypatch):
    seen = []

    class Recorder:
        def warning(self, message):
            seen.append(message)

    monkeypatch.setattr(slabkit, "logger", Recorder())
    FastSlabHeaderOps(0, 0).unpack_header(stored(0, 0, 0, 0, crc=0x1234))
    assert seen == ["Header corruption detected: stored=1234, computed=1b00"]


@pytest.mark.parametrize("length", [0, 14, 15, 17, 32])
def test_wrong_length_raises_and_changes_nothing(length):
    h = FastSlabHeaderOps(5, 12)
    h.py_allocate_object_at(3)
    before = h.pack_header()
    with pytest.raises(ValueError):
        h.unpack_header(b"\x01" * length)
    assert h.pack_header() == before


class Bytes(bytes):
    pass


@pytest.mark.parametrize("data, message", [
    (None, "object of type 'NoneType' has no len()"),
    (bytearray(16), "Argument 'data' has incorrect type (expected bytes, got bytearray)"),
    (memoryview(bytes(16)), "Argument 'data' has incorrect type (expected bytes, got memoryview)"),
    (Bytes(16), "Argument 'data' has incorrect type (expected bytes, got Bytes)"),
    ("x" * 16, "Argument 'data' has incorrect type (expected bytes, got str)"),
])
def test_unpack_argument_type(data, message):
    h = FastSlabHeaderOps(1, 1)
    with pytest.raises(TypeError) as info:
        h.unpack_header(data)
    assert str(info.value) == message


# ----------------------------------------------------------------------------------------------
# Random operation sequences against the model.

indexes = st.one_of(st.integers(-3, 70), st.sampled_from([INT32_MIN, INT32_MAX]))
ops = st.lists(st.tuples(st.sampled_from(["alloc", "free", "test", "find", "pack"]), indexes), max_size=60)


@settings(max_examples=150)
@given(st.integers(0, 255), st.one_of(st.integers(-3, 70), st.sampled_from([INT32_MIN, INT32_MAX])), ops)
def test_operations_match_model(sci, count, sequence):
    h, m = FastSlabHeaderOps(sci, count), ref.Header(sci, count)
    for op, i in sequence:
        if op == "alloc":
            assert h.py_allocate_object_at(i) is None
            m.py_allocate_object_at(i)
        elif op == "free":
            assert h.py_deallocate_object_at(i) is None
            m.py_deallocate_object_at(i)
        elif op == "test":
            assert h.py_is_object_free(i) is m.py_is_object_free(i)
        elif op == "find":
            assert h.py_find_free_object() == m.py_find_free_object()
        else:
            assert h.pack_header() == m.pack_header()
    assert h.pack_header() == m.pack_header()


# ----------------------------------------------------------------------------------------------
# Construction, conversions, interface.

@pytest.mark.parametrize("args", [(2 ** 31, 1), (0, -(2 ** 31) - 1), (0, 1e12)])
def test_constructor_range(args):
    with pytest.raises(OverflowError, match=r"^value too large to convert to int32_t$"):
        FastSlabHeaderOps(*args)


def test_constructor_binding():
    h = FastSlabHeaderOps(objects_per_slab=2, size_class_index=1)
    assert h.pack_header()[0] == 1 and h.pack_header()[8] == 3
    with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(1 given\)$"):
        FastSlabHeaderOps(1)
    with pytest.raises(TypeError, match=r"^an integer is required$"):
        FastSlabHeaderOps("1", 2)


@pytest.mark.parametrize("method", ["py_is_object_free", "py_allocate_object_at", "py_deallocate_object_at"])
def test_object_index_conversion(method):
    h = FastSlabHeaderOps(0, 8)
    fn = getattr(h, method)
    with pytest.raises(OverflowError, match=r"^value too large to convert to int$"):
        fn(2 ** 31)
    with pytest.raises(TypeError, match=r"^an integer is required$"):
        fn("1")
    fn(object_index=2.7)  # truncated to 2
    assert h.py_is_object_free(2) is (method != "py_allocate_object_at")


@pytest.mark.parametrize("method, doc", [
    ("pack_header", "Pack header into bytes for storage."),
    ("unpack_header", "Unpack header from bytes."),
    ("py_is_object_free", "Check if object at index is free (Python interface)."),
    ("py_find_free_object", "Find first free object index (Python interface)."),
    ("py_allocate_object_at", "Mark object as allocated (Python interface)."),
    ("py_deallocate_object_at", "Mark object as free (Python interface)."),
])
def test_method_docstrings(method, doc):
    assert getattr(FastSlabHeaderOps, method).__doc__ == doc


def test_fields_are_not_python_attributes():
    h = FastSlabHeaderOps(1, 8)
    for name in ("header", "objects_per_slab", "free_bitmap", "epoch", "crc"):
        assert not hasattr(h, name)


@pytest.mark.parametrize("action", [
    lambda h: pickle.dumps(h), lambda h: copy.copy(h), lambda h: h.__reduce__(),
    lambda h: h.__setstate__(None),
])
def test_pickling_is_refused(action):
    with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
        action(FastSlabHeaderOps(1, 8))
