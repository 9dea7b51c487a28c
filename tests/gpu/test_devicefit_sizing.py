"""devicefit byte estimates, safe limits, allocation strategy, OOM recognition, pressure and headroom."""

import builtins
import math

import pytest
from hypothesis import given, settings, strategies as st

from velmora.gpu import devicefit as df

from reference import devicefit as ref

INT64_MAX = 2**63 - 1
UINT64_MAX = 2**64 - 1
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1

FITS = "Allocation fits in GPU memory"
NO_MEMORY = "No GPU memory available"
NOT_CHUNKABLE = "Operation not chunkable, falling back to CPU"

u64 = st.one_of(
    st.integers(0, UINT64_MAX),
    st.integers(0, 10**6),
    st.sampled_from([0, 1, 2**53, 2**53 + 1, 2**63 - 1, 2**63, UINT64_MAX]),
)
i32 = st.one_of(st.integers(INT32_MIN, INT32_MAX), st.integers(-3, 4096))
ratio = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(-1.0, 2.0),
    st.sampled_from([0.0, -0.0, 0.99, 1.0, 0.2, 0.5]),
)


def same_float(a, b):
    return (a != a and b != b) or (a == b and math.copysign(1.0, a) == math.copysign(1.0, b))


# --- estimate_allocation_bytes ---

@pytest.mark.parametrize(
    "args, expected",
    [
        (((1000, 1000), 8), 8000000),
        (((1000, 1000), 8, 1.5), 12000000),
        (((1000, 1000), 8, 0.5), 8000000),
        (((1000, 0, 5), 8), 0),
        (((1000, -1), 8), 0),
        (((100000, 100000, 100000, 100000), 8), INT64_MAX),
        (((100000, 100000, 100000, 100000), 8, 3.0), INT64_MAX),
        (((), 8), 8),
        (((), 8, 2.5), 20),
        (((7,), 0), 0),
        (((7,), 0, math.inf), 0),           # 0 bytes stay 0 whatever the factor
        (((2**31 - 1, 2**31 - 1), 2**31 - 1), INT64_MAX),
        (((2**30,), 2**30, 4.0), 2**62),
        (((2**31 - 1, 2**31 - 1), 2, 1e10), UINT64_MAX),  # overhead product saturates at 2**64 - 1
        (((5,), 8, math.nan), 40),          # NaN is not above 1.0
        (((5, 3), -8), 0),                  # negative element size: nothing to allocate
        (((2**31 - 1, 2**31 - 1), INT32_MIN), 0),
        (((10.9, 3.2), 8.7), 240),          # floats truncate toward zero
        (((0.5, 4), 8), 0),
    ],
)
def test_estimate_examples(args, expected):
    assert df.estimate_allocation_bytes(*args) == expected


@settings(max_examples=200, deadline=None)
@given(st.lists(i32, max_size=6), i32, ratio)
def test_estimate_matches_reference(shape, element_size, overhead):
    assert df.estimate_allocation_bytes(tuple(shape), element_size, overhead) == ref.estimate_allocation_bytes(
        shape, element_size, overhead
    )


def test_estimate_stops_at_first_nonpositive_dimension():
    # conversion follows the tuple order, so a dimension after a zero is never converted
    assert df.estimate_allocation_bytes((0, "not a number"), 8) == 0
    with pytest.raises(TypeError, match="an integer is required"):
        df.estimate_allocation_bytes((3, "not a number"), 8)


@pytest.mark.parametrize(
    "shape, element_size, exc, message",
    [
        (None, 8, TypeError, "object of type 'NoneType' has no len()"),
        ([1, 2], 8, TypeError, "Argument 'shape' has incorrect type (expected tuple, got list)"),
        ((2**31,), 8, OverflowError, "value too large to convert to int"),
        ((4,), 2**31, OverflowError, "value too large to convert to int"),
        ((4,), "8", TypeError, "an integer is required"),
        ((4, None), 8, TypeError, "an integer is required"),
    ],
)
def test_estimate_errors(shape, element_size, exc, message):
    with pytest.raises(exc) as info:
        df.estimate_allocation_bytes(shape, element_size)
    assert str(info.value) == message


def test_estimate_rejects_tuple_subclass():
    class Shape(tuple):
        pass

    with pytest.raises(TypeError, match=r"expected tuple, got Shape"):
        df.estimate_allocation_bytes(Shape((1, 2)), 8)


def test_estimate_uses_int_conversion_not_index():
    class Dim:
        def __int__(self):
            return 6

    assert df.estimate_allocation_bytes((Dim(), 2), Dim()) == 72


# --- calculate_safe_limit ---

@pytest.mark.parametrize(
    "available, ratio_, expected",
    [
        (1000, 0.2, 800),
        (1000, 1.0, 10),
        (1000, 5.0, 10),
        (1000, math.inf, 10),
        (1000, -0.5, 1000),
        (1000, -math.inf, 1000),
        (0, 0.3, 0),
        (UINT64_MAX, 0.0, UINT64_MAX),     # the double product 2**64 saturates
        (UINT64_MAX, -1.0, UINT64_MAX),
        (1000, math.nan, 0),               # NaN ratio: nothing is considered safe
        (1000.9, 0.2, 800),
    ],
)
def test_safe_limit_examples(available, ratio_, expected):
    assert df.calculate_safe_limit(available, ratio_) == expected


@settings(max_examples=200, deadline=None)
@given(u64, ratio)
def test_safe_limit_matches_reference(available, headroom):
    assert df.calculate_safe_limit(available, headroom) == ref.calculate_safe_limit(available, headroom)


@pytest.mark.parametrize(
    "available, exc, message",
    [
        (-1, OverflowError, "can't convert negative value to uint64_t"),
        (2**64, OverflowError, None),
        ("1000", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
    ],
)
def test_safe_limit_conversion_errors(available, exc, message):
    with pytest.raises(exc) as info:
        df.calculate_safe_limit(available, 0.5)
    if message is not None:
        assert str(info.value) == message


def test_safe_limit_float_argument_conversion():
    class Ratio:
        def __float__(self):
            return 0.25

    assert df.calculate_safe_limit(1000, Ratio()) == 750
    assert df.calculate_safe_limit(1000, 0) == 1000
    with pytest.raises(TypeError):
        df.calculate_safe_limit(1000, "0.5")


# --- decide_allocation_strategy ---

@pytest.mark.parametrize(
    "args, expected",
    [
        ((500, 1000, 0.2, False), (0, 0, 1, FITS)),
        ((800, 1000, 0.2, False), (0, 0, 1, FITS)),
        ((2000, 1000, 0.2, True), (1, 800, 3, "Chunking into 3 GPU passes")),
        ((2000, 1000, 0.2, False), (2, 0, 1, NOT_CHUNKABLE)),
        ((1, 0, 0.2, True), (2, 0, 1, NO_MEMORY)),
        ((0, 0, 0.2, True), (2, 0, 1, NO_MEMORY)),
        ((0, 1000, 0.2, False), (0, 0, 1, FITS)),
        ((1000, 1000, math.nan, True), (2, 0, 1, NO_MEMORY)),
        ((2000, 1000, 0.2, "yes"), (1, 800, 3, "Chunking into 3 GPU passes")),
        ((2000, 1000, 0.2, []), (2, 0, 1, NOT_CHUNKABLE)),
        # above 2**53 the double quotient undercounts; the count still covers the request
        ((UINT64_MAX, 3, 0.0, True), (1, 3, 6148914691236517205, "Chunking into 6148914691236517205 GPU passes")),
        ((2**60 + 1, 2**59, 0.0, True), (1, 2**59, 3, "Chunking into 3 GPU passes")),
        ((UINT64_MAX, 1, 0.0, True), (1, 1, UINT64_MAX, "Chunking into %d GPU passes" % UINT64_MAX)),
    ],
)
def test_decide_examples(args, expected):
    assert df.decide_allocation_strategy(*args) == expected


@settings(max_examples=200, deadline=None)
@given(u64, u64, ratio, st.booleans())
def test_decide_matches_reference(requested, available, headroom, chunkable):
    result = df.decide_allocation_strategy(requested, available, headroom, chunkable)
    assert result == ref.decide_allocation_strategy(requested, available, headroom, chunkable)
    code, size, count, _ = result
    if code == 1:
        assert size * count >= requested


def test_decide_reads_codes_from_module_at_call_time():
    saved = df.GPU_DIRECT, df.GPU_CHUNKED, df.CPU_FALLBACK
    try:
        df.GPU_DIRECT, df.GPU_CHUNKED, df.CPU_FALLBACK = "direct", "chunked", "cpu"
        assert df.decide_allocation_strategy(1, 10, 0.0, False)[0] == "direct"
        assert df.decide_allocation_strategy(20, 10, 0.0, True)[0] == "chunked"
        assert df.decide_allocation_strategy(20, 10, 0.0, False)[0] == "cpu"
        assert df.decide_allocation_strategy(20, 0, 0.0, True)[0] == "cpu"
    finally:
        df.GPU_DIRECT, df.GPU_CHUNKED, df.CPU_FALLBACK = saved
    assert (df.GPU_DIRECT, df.GPU_CHUNKED, df.CPU_FALLBACK) == (0, 1, 2)


@pytest.mark.parametrize(
    "name, args",
    [
        ("GPU_DIRECT", (1, 10, 0.0, False)),
        ("GPU_CHUNKED", (20, 10, 0.0, True)),
        ("CPU_FALLBACK", (20, 0, 0.0, True)),
    ],
)
def test_decide_deleted_code_falls_back_to_builtins_then_name_error(name, args):
    saved = getattr(df, name)
    delattr(df, name)
    try:
        with pytest.raises(NameError) as info:
            df.decide_allocation_strategy(*args)
        assert str(info.value) == "name '%s' is not defined" % name
        setattr(builtins, name, "from builtins")
        try:
            assert df.decide_allocation_strategy(*args)[0] == "from builtins"
        finally:
            delattr(builtins, name)
    finally:
        setattr(df, name, saved)


def test_decide_conversion_errors_before_lookup():
    with pytest.raises(OverflowError, match="can't convert negative value to uint64_t"):
        df.decide_allocation_strategy(-1, 10, 0.0, True)
    with pytest.raises(OverflowError, match="can't convert negative value to uint64_t"):
        df.decide_allocation_strategy(1, -10, 0.0, True)

    class BadBool:
        def __bool__(self):
            raise ZeroDivisionError("no truth")

    with pytest.raises(ZeroDivisionError):
        df.decide_allocation_strategy(1, 10, 0.0, BadBool())


# --- is_oom_error ---

@pytest.mark.parametrize(
    "message, error_type, expected",
    [
        ("CUDA error: out of memory", "RuntimeError", True),
        ("", "OutOfMemoryError", True),
        ("", "torch.cuda.OUTOFMEMORYERROR", True),
        ("cuda launch failed", "RuntimeError", False),
        ("Memory allocation failed", "X", True),
        ("Allocator FAILED", "X", True),
        ("INSUFFICIENT device Memory", "X", True),
        ("GPU has no memory left", "X", True),
        ("CUDA memory", "X", True),
        ("out of\nmemory", "X", False),
        ("x" * 1000 + "Out Of Memory", "X", True),
        ("x" * 1000, "y" * 300 + "OutOfMemoryError", True),
        ("\u00e9" * 300 + "GPU MEMORY", "X", True),
        ("out  of memory", "X", False),
        ("something else", "out of memory", False),   # only rule 2 reads the type
        ("outofmemoryerror", "X", False),
        ("", "", False),
        ("\u212a", "", False),
        ("gpu \u2c6f memory", "", True),
        ("OUT OF MEMORY \ud800", "", True),           # lone surrogate
        ("cuda \u0130 MEMORY", "", True),
    ],
)
def test_is_oom_examples(message, error_type, expected):
    assert df.is_oom_error(message, error_type) is expected


@settings(max_examples=200, deadline=None)
@given(
    st.lists(
        st.sampled_from(["out of memory", "CUDA", "Memory", "allocat", "FAILED", "insufficient",
                         "GPU", "OutOfMemoryError", " ", "x", "\u0130", "\u212a", "é"]),
        max_size=5,
    ).map("".join),
    st.one_of(st.text(max_size=20), st.sampled_from(["OutOfMemoryError", "RuntimeError"])),
)
def test_is_oom_matches_reference(message, error_type):
    assert df.is_oom_error(message, error_type) is ref.is_oom_error(message, error_type)
    assert df.is_oom_error(error_type, message) is ref.is_oom_error(error_type, message)


@pytest.mark.parametrize(
    "args, name, got",
    [
        ((None, "RuntimeError"), "error_message", "NoneType"),
        (("out of memory", None), "error_type", "NoneType"),
        ((b"out of memory", "X"), "error_message", "bytes"),
        (("x", 3), "error_type", "int"),
    ],
)
def test_is_oom_rejects_non_strings(args, name, got):
    with pytest.raises(TypeError) as info:
        df.is_oom_error(*args)
    assert str(info.value) == "Argument '%s' has incorrect type (expected str, got %s)" % (name, got)


def test_is_oom_rejects_str_subclass():
    class Text(str):
        pass

    with pytest.raises(TypeError, match=r"expected str, got Text"):
        df.is_oom_error(Text("out of memory"), "X")


# --- calculate_memory_pressure and recommend_headroom ---

@pytest.mark.parametrize(
    "used, total, expected",
    [(5, 0, 1.0), (3, 4, 0.75), (5, 4, 1.0), (0, 4, 0.0), (0, 0, 1.0), (UINT64_MAX, UINT64_MAX, 1.0),
     (1, 3, 1 / 3)],
)
def test_pressure_examples(used, total, expected):
    assert df.calculate_memory_pressure(used, total) == expected


@settings(max_examples=200, deadline=None)
@given(u64, u64)
def test_pressure_matches_reference(used, total):
    result = df.calculate_memory_pressure(used, total)
    assert type(result) is float
    assert result == ref.calculate_memory_pressure(used, total)
    assert 0.0 <= result <= 1.0


@pytest.mark.parametrize(
    "args, expected",
    [
        ((0.9,), 0.8),
        ((0.7,), 0.6),
        ((0.5,), 0.5),
        ((0.1,), 0.4),
        ((0.1, 0.35), 0.3),
        ((0.7, 0.75), 0.8),
        ((0.95, -10.0), 0.8),
        ((0.3,), 0.4),
        ((0.6,), 0.5),
        ((0.8,), 0.25 + 0.8 * 0.5),
    ],
)
def test_headroom_examples(args, expected):
    assert df.recommend_headroom(*args) == pytest.approx(expected, abs=0, rel=1e-15)


@settings(max_examples=200, deadline=None)
@given(ratio, ratio)
def test_headroom_matches_reference_bit_for_bit(p, b):
    assert same_float(df.recommend_headroom(p, b), ref.recommend_headroom(p, b))
    assert same_float(df.recommend_headroom(p), ref.recommend_headroom(p))
