"""slabkit size, bucket, bitmap and fit arithmetic, its argument conversions and the module frame."""

import logging
import os
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

from velmora.memory import slabkit

from reference import slabkit as ref

INT32_MIN, INT32_MAX = -(2 ** 31), 2 ** 31 - 1
UINT64_MAX = 2 ** 64 - 1
int32s = st.integers(INT32_MIN, INT32_MAX)


def outcome(fn, *args):
    try:
        return fn(*args)
    except (ValueError, OverflowError) as e:
        return type(e)


# ----------------------------------------------------------------------------------------------
# Examples the contract gives.

@pytest.mark.parametrize("size, alignment, expected", [
    (13, 8, 16), (16, 8, 16), (0, 64, 0), (13, 1, 13), (1, 4096, 4096),
    (-13, 8, -8), (INT32_MAX, 1, INT32_MAX), (INT32_MAX - 7, 8, INT32_MAX - 7),
    (INT32_MIN, 2 ** 30, INT32_MIN),
])
def test_align_size_examples(size, alignment, expected):
    assert slabkit.fast_align_size(size, alignment) == expected


@pytest.mark.parametrize("alignment", [6, 0, -8, 3, INT32_MIN, INT32_MAX, -1])
def test_align_size_rejects_non_power_of_two(alignment):
    with pytest.raises(ValueError, match=r"^Alignment must be a power of 2$"):
        slabkit.fast_align_size(13, alignment)


@pytest.mark.parametrize("args, expected", [
    ((1,), 8), ((8,), 8), ((9,), 16), ((0,), 0), ((100, 64), 128),
    ((-1, 8), 0), ((-16, 8), -8), ((-9, 8), 0), ((-17, 8), -8), ((-23, 8), -16),
    ((5, 1), 5), ((5, -8), 0), ((20, -8), 8),
    ((INT32_MIN, 8), INT32_MIN + 8), ((INT32_MAX, 1), INT32_MAX), ((0, INT32_MIN), INT32_MIN),
])
def test_bucket_size_examples(args, expected):
    assert slabkit.fast_get_bucket_size(*args) == expected


def test_bucket_size_zero_step_is_an_error_not_a_crash():
    with pytest.raises(ValueError, match=r"^Bucket step must not be zero$"):
        slabkit.fast_get_bucket_size(10, 0)


@pytest.mark.parametrize("fn, args", [
    (slabkit.fast_align_size, (INT32_MAX, 8)),
    (slabkit.fast_align_size, (INT32_MAX - 6, 8)),
    (slabkit.fast_align_size, (2 ** 30 + 1, 2 ** 30)),
    (slabkit.fast_get_bucket_size, (INT32_MAX, 8)),
    (slabkit.fast_get_bucket_size, (INT32_MAX, 2 ** 30)),
    (slabkit.fast_get_bucket_size, (INT32_MIN, INT32_MIN)),
    (slabkit.fast_get_bucket_size, (INT32_MIN, -2)),
])
def test_results_beyond_int32_raise_overflow(fn, args):
    with pytest.raises(OverflowError, match=r"does not fit in a signed 32-bit int$"):
        fn(*args)


@pytest.mark.parametrize("bitmap, index, op, expected", [
    (0b1010, 1, "is_set", True), (0b1010, 0, "is_set", False), (0b1010, 64, "is_set", False),
    (0, 63, "set", 2 ** 63), (0b1010, 3, "clear", 2), (5, 70, "set", 5),
    (0b1000, 0, "find_first", 3), (0, 0, "find_first", -1), (2 ** 63, 5, "find_first", 63),
    (UINT64_MAX, 63, "clear", 2 ** 63 - 1), (UINT64_MAX, 63, "is_set", True),
    (5, -1, "set", 5), (5, -1, "clear", 5), (UINT64_MAX, -1, "is_set", False),
    (UINT64_MAX, INT32_MIN, "is_set", False), (0, INT32_MAX, "set", 0),
    (0, -99, "find_first", -1),
])
def test_bitmap_examples(bitmap, index, op, expected):
    r = slabkit.fast_bitmap_operations(bitmap, index, op)
    assert r == expected and type(r) is type(expected)


@pytest.mark.parametrize("op, text", [("SET", "SET"), ("", ""), ("set ", "set "), ("set\0", "set\0"), (None, "None"),
                                      ("\u00e9t\u00e9", "\u00e9t\u00e9")])
def test_bitmap_unknown_operation(op, text):
    with pytest.raises(ValueError) as info:
        slabkit.fast_bitmap_operations(1, 0, op)
    assert str(info.value) == "Unknown operation: " + text


class Str(str):
    pass


@pytest.mark.parametrize("op, tname", [(1, "int"), (b"set", "bytes"), (Str("set"), "Str")])
def test_bitmap_operation_must_be_exact_str(op, tname):
    with pytest.raises(TypeError) as info:
        slabkit.fast_bitmap_operations(1, 0, op)
    assert str(info.value) == "Argument 'operation' has incorrect type (expected str, got %s)" % tname


@pytest.mark.parametrize("args, expected", [
    ((0, 64, 64, 8), False), ((0, 64, 63, 8), True), ((4, 64, 60, 8), False), ((4, 64, 59, 8), True),
    # sums past the 32-bit range are compared exactly, never wrapped
    ((INT32_MAX - 3, 8, 5, 8), False), ((INT32_MAX - 3, 8, 3, 8), True), ((INT32_MAX - 10, 20, 5, 1), True),
    ((INT32_MAX, INT32_MAX, INT32_MAX - 1, 1), True), ((INT32_MIN, INT32_MIN, 0, 8), False),
    # alignment is not validated: 0 aligns everything to 0, INT32_MIN negates to itself
    ((100, 10, 50, 0), True), ((100, 10, 150, 0), False), ((5, 10, 0, INT32_MIN), True),
])
def test_can_fit_aligned_examples(args, expected):
    assert slabkit.fast_can_fit_aligned(*args) is expected


# ----------------------------------------------------------------------------------------------
# Properties against the reference model.

powers = st.integers(0, 30).map(lambda k: 1 << k)


@settings(max_examples=300)
@given(int32s, st.one_of(powers, int32s))
def test_align_size_matches_model(size, alignment):
    assert outcome(slabkit.fast_align_size, size, alignment) == outcome(ref.fast_align_size, size, alignment)


@settings(max_examples=300)
@given(int32s, st.one_of(st.integers(-70, 70), int32s))
def test_bucket_size_matches_model(size, step):
    assert outcome(slabkit.fast_get_bucket_size, size, step) == outcome(ref.fast_get_bucket_size, size, step)


@settings(max_examples=200)
@given(st.integers(0, 10 ** 6), st.integers(1, 4096))
def test_bucket_size_is_smallest_multiple(size, step):
    b = slabkit.fast_get_bucket_size(size, step)
    assert b % step == 0 and size <= b < size + step


@settings(max_examples=300)
@given(st.integers(0, UINT64_MAX), st.one_of(st.integers(-3, 70), int32s),
       st.sampled_from(["is_set", "set", "clear", "find_first"]))
def test_bitmap_matches_model(bitmap, index, op):
    r = slabkit.fast_bitmap_operations(bitmap, index, op)
    expected = ref.fast_bitmap_operations(bitmap, index, op)
    assert r == expected and type(r) is type(expected)


@settings(max_examples=300)
@given(int32s, int32s, int32s, st.one_of(powers, int32s))
def test_can_fit_matches_model(offset, size, alloc, alignment):
    assert slabkit.fast_can_fit_aligned(offset, size, alloc, alignment) is ref.fast_can_fit_aligned(
        offset, size, alloc, alignment)


# ----------------------------------------------------------------------------------------------
# Argument conversion and binding.

class OnlyIndex:
    def __index__(self):
        return 3


class IntLike:
    def __int__(self):
        return 13


def test_floats_and_int_like_objects_are_truncated():
    assert slabkit.fast_align_size(13.9, 8.0) == 16
    assert slabkit.fast_align_size(-0.5, 8) == 0
    assert slabkit.fast_align_size(IntLike(), 8) == 16
    assert slabkit.fast_get_bucket_size(8.99) == 8
    assert slabkit.fast_bitmap_operations(10.7, 1.2, "is_set") is True
    assert slabkit.fast_can_fit_aligned(True, 64.0, 56.9, 8) is True  # 8 + 56 < 65


@pytest.mark.parametrize("fn, args", [
    (slabkit.fast_align_size, ("13", 8)), (slabkit.fast_align_size, (13, None)),
    (slabkit.fast_get_bucket_size, (OnlyIndex(),)), (slabkit.fast_bitmap_operations, ([], 0, "set")),
    (slabkit.fast_can_fit_aligned, (0, 0, 0, object())),
])
def test_non_integers_raise_type_error(fn, args):
    with pytest.raises(TypeError, match=r"^an integer is required$"):
        fn(*args)


@pytest.mark.parametrize("fn, args", [
    (slabkit.fast_align_size, (2 ** 31, 8)), (slabkit.fast_align_size, (0, -(2 ** 31) - 1)),
    (slabkit.fast_get_bucket_size, (1, 2 ** 40)), (slabkit.fast_bitmap_operations, (0, 2 ** 31, "set")),
    (slabkit.fast_can_fit_aligned, (0, 0, 2 ** 31, 8)), (slabkit.fast_can_fit_aligned, (1e10, 0, 0, 8)),
])
def test_int_arguments_out_of_range(fn, args):
    with pytest.raises(OverflowError, match=r"^value too large to convert to int$"):
        fn(*args)


def test_bitmap_argument_range():
    with pytest.raises(OverflowError, match=r"^can't convert negative value to uint64_t$"):
        slabkit.fast_bitmap_operations(-1, 0, "set")
    with pytest.raises(OverflowError):
        slabkit.fast_bitmap_operations(2 ** 64, 0, "set")
    # the conversion fails before the operation is examined
    with pytest.raises(OverflowError):
        slabkit.fast_bitmap_operations(-1, 0, "bogus")


def test_keywords_defaults_and_binding_messages():
    assert slabkit.fast_get_bucket_size(size=9, step=4) == 12
    assert slabkit.fast_get_bucket_size(9) == 16
    assert slabkit.fast_get_bucket_size.__defaults__ == (8,)
    assert slabkit.fast_align_size(alignment=8, size=1) == 8
    assert slabkit.fast_bitmap_operations(operation="set", index=2, bitmap=0) == 4
    assert slabkit.fast_can_fit_aligned(alignment=8, alloc_size=59, block_size=64, block_offset=4) is True
    with pytest.raises(TypeError, match=r"^fast_align_size\(\) takes exactly 2 positional arguments \(1 given\)$"):
        slabkit.fast_align_size(1)
    with pytest.raises(TypeError, match=r"^fast_get_bucket_size\(\) takes at most 2 positional arguments \(3 given\)$"):
        slabkit.fast_get_bucket_size(1, 2, 3)
    with pytest.raises(TypeError, match=r"^fast_align_size\(\) got an unexpected keyword argument 'align'$"):
        slabkit.fast_align_size(1, 8, align=8)
    with pytest.raises(TypeError, match=r"^fast_align_size\(\) got multiple values for keyword argument 'size'$"):
        slabkit.fast_align_size(1, 8, size=2)


@pytest.mark.parametrize("name, doc", [
    ("fast_align_size", "Fast alignment calculation (Python interface)."),
    ("fast_get_bucket_size", "Fast bucket size calculation (Python interface)."),
    ("fast_bitmap_operations", "Fast bitmap operations (Python interface)."),
    ("fast_can_fit_aligned", "Fast alignment check with exclusive boundary (Python interface)."),
])
def test_function_docstrings(name, doc):
    f = getattr(slabkit, name)
    assert f.__doc__ == doc and f.__name__ == name and f.__module__ == "velmora.memory.slabkit"


# ----------------------------------------------------------------------------------------------
# Module frame.

def test_module_attributes():
    assert isinstance(slabkit.logger, logging.Logger)
    assert slabkit.logger.name == "velmora.memory.slabkit"
    assert slabkit.threading.Lock and slabkit.logging is logging
    for cls in ("FastSlabHeaderOps", "FastBucketAllocator", "FastStatsCollector"):
        t = getattr(slabkit, cls)
        assert isinstance(t, type) and t.__module__ == "velmora.memory.slabkit"


def test_import_logs_the_banner_and_nothing_else_of_the_package():
    code = (
        "import logging, sys\n"
        "logging.basicConfig(level=logging.DEBUG, format='%(name)s|%(levelname)s|%(message)s')\n"
        "import velmora.memory.slabkit\n"
        "print(sorted(m for m in sys.modules if m.startswith('velmora.') and m.count('.') > 1))\n"
    )
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    assert proc.returncode == 0, proc.stderr
    lines = [ln for ln in proc.stderr.splitlines() if ln.startswith("velmora.")]
    assert len(lines) == 1
    name, level, message = lines[0].split("|", 2)
    assert (name, level) == ("velmora.memory.slabkit", "INFO")
    assert "Velmora" in message and "1.8-3" in message
    assert proc.stdout.strip() == "['velmora.memory.slabkit']"

