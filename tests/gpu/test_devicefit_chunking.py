"""devicefit operation sets, GPU suitability score, chunk shapes and chunk counts."""

import math

import pytest
from hypothesis import given, settings, strategies as st

from velmora.gpu import devicefit as df

from reference import devicefit as ref

UINT64_MAX = 2**64 - 1
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1

CHUNKABLE = ref.CHUNKABLE_OPS
NON_CHUNKABLE = ref.NON_CHUNKABLE_OPS

u64 = st.one_of(
    st.integers(0, UINT64_MAX),
    st.integers(0, 10**6),
    st.sampled_from([0, 1, 2**53, 2**63, UINT64_MAX]),
)
ratio = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.floats(-1.0, 2.0))
op_names = st.one_of(
    st.sampled_from(sorted(CHUNKABLE | NON_CHUNKABLE) + ["randn", "Zeros", "zeros ", "", "sort2"]),
    st.text(max_size=12),
    st.none(),
)


# --- is_chunkable_operation ---

@pytest.mark.parametrize("name", sorted(CHUNKABLE))
def test_chunkable_members(name):
    assert df.is_chunkable_operation(name) is True
    assert df.is_chunkable_operation("".join(list(name))) is True   # equal, not identical


@pytest.mark.parametrize(
    "name",
    sorted(NON_CHUNKABLE) + ["randn", "Zeros", "zeros ", " zeros", "zero", "zeross", "", "numpy.zeros",
                             "random.RANDN", "z\u00e9ros", "zeros\ud800", None],
)
def test_not_chunkable(name):
    assert df.is_chunkable_operation(name) is False


@pytest.mark.parametrize("value, got", [(3, "int"), (b"zeros", "bytes"), (["zeros"], "list")])
def test_chunkable_rejects_non_str(value, got):
    with pytest.raises(TypeError) as info:
        df.is_chunkable_operation(value)
    assert str(info.value) == "Argument 'operation' has incorrect type (expected str, got %s)" % got


def test_operation_sets_are_private():
    assert not hasattr(df, "_CHUNKABLE_OPS")
    assert not hasattr(df, "_NON_CHUNKABLE_OPS")
    public = {n for n in dir(df) if not n.startswith("_")}
    assert not any(isinstance(getattr(df, n), (set, frozenset)) for n in public)


# --- score_gpu_suitability ---

@pytest.mark.parametrize(
    "args, expected",
    [
        ((800, "zeros", 1000, 0.0), 0.9),
        ((100, "zeros", 1000, 0.0), 0.9 * 0.125),
        ((2000, "matmul", 1000, 0.0), 0.7 * 0.5),
        ((500, "mystery", 1000, 0.0), 0.5 * 0.625),
        ((500, None, 1000, 0.0), 0.5 * 0.625),
        ((500, "zeros", 0, 0.0), 0.0),
        ((500, "zeros", 1000, math.nan), 0.0),
        ((0, "zeros", 1000, 0.0), 0.0),
        ((1000, "sort", 1000, 0.0), 0.7),
    ],
)
def test_score_examples(args, expected):
    assert df.score_gpu_suitability(*args) == expected


@settings(max_examples=200, deadline=None)
@given(u64, op_names, u64, ratio)
def test_score_matches_reference(data, op, available, headroom):
    result = df.score_gpu_suitability(data, op, available, headroom)
    assert result == ref.score_gpu_suitability(data, op, available, headroom)
    assert 0.0 <= result <= 0.9


def test_score_rejects_non_str_operation():
    with pytest.raises(TypeError, match=r"Argument 'operation_type' has incorrect type \(expected str, got int\)"):
        df.score_gpu_suitability(1, 5, 1, 0.0)


# --- compute_chunk_shapes ---

@pytest.mark.parametrize(
    "args, expected",
    [
        (((10, 4), 8, 100), [(3, 4), (3, 4), (3, 4), (1, 4)]),
        (((10,), 8, 4), [(1,)] * 10),
        (((0, 4), 8, 100), []),
        (((-3, 4), 8, 100), []),
        (((9, 4), 8, 96), [(3, 4)] * 3),
        (((5, 1), 1, 2**40), [(5, 1)]),                # rows per chunk beyond 32 bits
        (((INT32_MAX,), 1, UINT64_MAX), [(INT32_MAX,)]),
        (((7, 2, 3), 4, 50), [(2, 2, 3)] * 3 + [(1, 2, 3)]),
        (((3.9, 2), 8.5, 16.7), [(1, 2)] * 3),
    ],
)
def test_chunk_shapes_examples(args, expected):
    assert df.compute_chunk_shapes(*args) == expected


def test_chunk_shapes_empty_shape_returns_the_same_tuple():
    shape = ()
    result = df.compute_chunk_shapes(shape, 8, 100)
    assert result == [()] and result[0] is shape


def test_chunk_shapes_keep_trailing_objects():
    big = 10**12 + 7
    trailing = 2.5                                     # converted for the size, kept as given
    result = df.compute_chunk_shapes((5, trailing, big), 1, 2 * big * 2)
    assert result == [(2, 2.5, big), (2, 2.5, big), (1, 2.5, big)]
    for chunk in result:
        assert chunk[1] is trailing and chunk[2] is big
        assert type(chunk[0]) is int


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (((10, 4), 0, 0), ValueError, "element_size must be positive"),
        (((10, 4), -8, 100), ValueError, "element_size must be positive"),
        ((None, 0, 100), ValueError, "element_size must be positive"),
        (((10, 4), 8, 0), ValueError, "max_chunk_bytes must be positive"),
        ((None, 8, 0), ValueError, "max_chunk_bytes must be positive"),
        ((None, 8, 100), TypeError, "object of type 'NoneType' has no len()"),
        (([10, 4], 0, 0), TypeError, "Argument 'shape' has incorrect type (expected tuple, got list)"),
        (((10, 4), 2**31, 100), OverflowError, "value too large to convert to int"),
        (((10, 4), 8, -1), OverflowError, "can't convert negative value to uint64_t"),
        (((10, -4), 8, 100), OverflowError, "can't convert negative value to uint64_t"),
        (((2**31, 4), 8, 100), OverflowError, "value too large to convert to int"),
        (((10, "4"), 8, 100), TypeError, "an integer is required"),
        (((10, 0), 8, 100), ValueError, "trailing dimensions must be positive"),
        (((10, 2**40, 0), 8, 100), ValueError, "trailing dimensions must be positive"),
        (((10, 2**40, 2**40), 8, 100), OverflowError, "row size does not fit in 64 bits"),
        (((10, 2**32, 2**32), 1, 100), OverflowError, "row size does not fit in 64 bits"),
    ],
)
def test_chunk_shapes_errors(args, exc, message):
    with pytest.raises(exc) as info:
        df.compute_chunk_shapes(*args)
    assert str(info.value) == message


shape_dims = st.one_of(st.integers(1, 64), st.integers(1, 2**20))


@settings(max_examples=200, deadline=None)
@given(
    st.integers(-5, 3000),
    st.lists(shape_dims, max_size=3),
    st.integers(1, 64),
    st.one_of(st.integers(1, 2**16), st.integers(1, UINT64_MAX)),
)
def test_chunk_shapes_match_reference(first, trailing, element_size, max_chunk_bytes):
    shape = (first,) + tuple(trailing)
    try:
        expected = ref.compute_chunk_shapes(shape, element_size, max_chunk_bytes)
    except OverflowError:
        with pytest.raises(OverflowError):
            df.compute_chunk_shapes(shape, element_size, max_chunk_bytes)
        return
    result = df.compute_chunk_shapes(shape, element_size, max_chunk_bytes)
    assert result == expected
    assert sum(c[0] for c in result) == max(first, 0)


# --- calculate_optimal_chunks ---

@pytest.mark.parametrize(
    "args, expected",
    [
        ((2500, 1000, 0.0), 3),
        ((0, 1000, 0.0), 1),
        ((10**9, 1000, 0.0), 1000),
        ((100, 0, 0.5), 1000),
        ((2500, 1000, 0.0, 5, 10), 5),
        ((100, 1000, 0.0, 5, 2), 5),        # lower bound is tested first
        ((10**6, 1000, 0.0, 5, 2), 2),
        ((UINT64_MAX, 1, 0.0), 1000),       # quotient beyond 32 bits: the upper bound
        ((UINT64_MAX, 1, 0.0, 10, 5), 5),
        ((2**31 - 1, 1, 0.0, 1, INT32_MAX), INT32_MAX),
        ((2**31, 1, 0.0, 1, INT32_MAX), INT32_MAX),
        ((2**40, 1, 0.0, -7, -3), -3),
        ((100, 1000, math.nan, 1, 77), 77),
        ((2500.7, 1000.2, 0.0, 1.9, 10.5), 3),
    ],
)
def test_optimal_chunks_examples(args, expected):
    assert df.calculate_optimal_chunks(*args) == expected


@settings(max_examples=200, deadline=None)
@given(u64, u64, ratio, st.integers(INT32_MIN, INT32_MAX), st.integers(INT32_MIN, INT32_MAX))
def test_optimal_chunks_match_reference(total, available, headroom, lo, hi):
    assert df.calculate_optimal_chunks(total, available, headroom, lo, hi) == ref.calculate_optimal_chunks(
        total, available, headroom, lo, hi
    )
    assert df.calculate_optimal_chunks(total, available, headroom) == ref.calculate_optimal_chunks(
        total, available, headroom
    )


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        (dict(min_chunks=2**31), OverflowError, "value too large to convert to int"),
        (dict(max_chunks=2**31), OverflowError, "value too large to convert to int"),
        (dict(max_chunks="5"), TypeError, "an integer is required"),
        (dict(total_bytes=-1), OverflowError, "can't convert negative value to uint64_t"),
    ],
)
def test_optimal_chunks_conversion_errors(kwargs, exc, message):
    args = dict(total_bytes=10, available_bytes=100, headroom_ratio=0.1)
    args.update(kwargs)
    with pytest.raises(exc) as info:
        df.calculate_optimal_chunks(**args)
    assert str(info.value) == message
