"""MemoryBlock: an immutable byte range with value equality, split and merge."""

import pickle

import pytest
from hypothesis import given, settings, strategies as st

from velmora.memory.memory_block import MemoryBlock

offsets = st.integers(min_value=0, max_value=2**40)
pools = st.sampled_from([None, 0, 1, "gpu"])


@given(offsets, offsets, pools, offsets, offsets, pools)
@settings(max_examples=150)
def test_equality_is_by_range_and_pool(o1, s1, p1, o2, s2, p2):
    a, b = MemoryBlock(o1, s1, p1), MemoryBlock(o2, s2, p2)
    same = (o1, s1, p1) == (o2, s2, p2)
    assert (a == b) is same
    assert (a != b) is (not same)
    if same:
        assert hash(a) == hash(b)
    assert a == MemoryBlock(o1, s1, p1)


def test_not_equal_to_other_types():
    assert MemoryBlock(0, 8) != (None, 0, 8)
    assert (MemoryBlock(0, 8) == object()) is False


@pytest.mark.parametrize(
    "args, exc",
    [
        ((-1, 8), ValueError),
        ((0, -8), ValueError),
        ((0.5, 8), TypeError),
        ((0, "8"), TypeError),
        ((True, 8), TypeError),
        ((0, 8, []), TypeError),  # unhashable pool id
    ],
)
def test_rejects_bad_ranges(args, exc):
    with pytest.raises(exc):
        MemoryBlock(*args)


def test_immutable_and_picklable():
    b = MemoryBlock(16, 32, "p")
    with pytest.raises(AttributeError):
        b.size = 1
    with pytest.raises(AttributeError):
        del b.offset
    assert pickle.loads(pickle.dumps(b)) == b
    assert repr(b) == "MemoryBlock(offset=16, size=32, pool_id='p')"
    assert repr(MemoryBlock(0, 1)) == "MemoryBlock(offset=0, size=1)"


@given(offsets, st.integers(min_value=1, max_value=2**20), st.data())
@settings(max_examples=150)
def test_split_then_merge_round_trips(offset, size, data):
    block = MemoryBlock(offset, size, 7)
    cut = data.draw(st.integers(min_value=0, max_value=size))
    head, rest = block.split(cut)
    assert (head.offset, head.size) == (offset, cut)
    if cut == size:
        assert rest is None
        return
    assert (rest.offset, rest.end) == (offset + cut, block.end)
    assert head.is_adjacent(rest) and rest.is_adjacent(head)
    assert head.merge(rest) == block == rest.merge(head)
    assert all(block.contains(x) for x in (offset, block.end - 1))
    assert not block.contains(block.end)


@pytest.mark.parametrize(
    "a, b",
    [
        (MemoryBlock(0, 8), MemoryBlock(9, 8)),        # gap
        (MemoryBlock(0, 8), MemoryBlock(4, 8)),        # overlap
        (MemoryBlock(0, 8, 1), MemoryBlock(8, 8, 2)),  # other pool
    ],
)
def test_merge_refuses_non_neighbours(a, b):
    assert not a.is_adjacent(b)
    with pytest.raises(ValueError):
        a.merge(b)


def test_split_larger_than_block_fails():
    with pytest.raises(ValueError):
        MemoryBlock(0, 8).split(9)
