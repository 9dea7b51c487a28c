"""FastRedBlackTree agrees with the pure-Python model (tests/reference): results, counts, statistics and tree shape."""

import random

import pytest
from hypothesis import given, settings, strategies as st

from velmora.memory import fitindex
from velmora.memory.fitindex import FastRedBlackTree

from reference.fitindex import RefTree


class Blk:
    """A block with value equality on `key`, so distinct objects may compare equal."""

    __slots__ = ("key", "serial")

    def __init__(self, key, serial):
        self.key, self.serial = key, serial

    def __eq__(self, other):
        return isinstance(other, Blk) and self.key == other.key

    __hash__ = None

    def __repr__(self):
        return f"Blk({self.key}#{self.serial})"


def same(a, b):
    """Identity of single results and of lists of results."""
    if isinstance(a, tuple):
        return a[0] == b[0] and a[1] is b[1]
    if isinstance(a, list):
        return len(a) == len(b) and all(x is y for x, y in zip(a, b))
    return a is b


def check_shape(tree, ref):
    assert list(tree.get_size_distribution().items()) == ref.distribution()
    stats = tree.get_stats()
    assert stats["height"] == ref.height()
    for key, value in ref.stats.items():
        assert stats[key] == value, key
    assert stats["node_count"] == ref.count == len(tree)


def run_ops(ops, check_every=1):
    tree, ref = FastRedBlackTree(), RefTree()
    serial = 0
    for i, (op, size, key) in enumerate(ops):
        if op == "insert":
            serial += 1
            b = Blk(key, serial)
            assert tree.insert(size, b) is ref.insert(size, b)
        elif op == "delete":
            probe = Blk(key, -1)
            assert tree.delete(size, probe) is ref.delete(size, probe)
        elif op == "remove_ge":
            assert same(tree.remove_ge(size), ref.remove_ge(size))
        elif op == "best":
            assert same(tree.find_best_fit(size), ref.find_best_fit(size))
        elif op == "exact":
            assert same(tree.find_all_exact(size), ref.find_all_exact(size))
        else:
            tree.clear()
            ref.clear()
        if i % check_every == 0:
            check_shape(tree, ref)
    check_shape(tree, ref)
    # everything still stored drains in best-fit order
    while True:
        got, want = tree.remove_ge(0), ref.remove_ge(0)
        assert same(got, want)
        if want == (None, None):
            break
    assert len(tree) == 0


OPS = ["insert"] * 5 + ["delete"] * 2 + ["remove_ge"] * 2 + ["best", "exact"]


def op_strategy(max_size):
    return st.tuples(
        st.sampled_from(OPS + ["clear"]),
        st.integers(min_value=-2, max_value=max_size),
        st.integers(min_value=0, max_value=3),
    )


@given(st.lists(op_strategy(40), max_size=120))
@settings(max_examples=60, deadline=None)
def test_random_operations_match_model(ops):
    run_ops([(o, s, k) for o, s, k in ops if not (o == "insert" and s < 0)])


@pytest.mark.parametrize("seed, distinct, step", [(1, 30, 1), (2, 500, 1), (3, 5000, 1), (4, 60, 1),
                                                  (5, 3000, 64), (6, 3000, 2**20), (7, 200, 2**40)])
def test_long_random_runs_match_model(seed, distinct, step):
    # Sizes that are multiples of a power of two (as block sizes are) as well as dense ones; runs
    # long enough to grow, shrink and reuse the writers' size index many times over.
    rng = random.Random(seed)
    ops = []
    for _ in range(4000):
        op = rng.choice(OPS)
        size = rng.randrange(distinct) if op == "insert" else rng.randrange(-1, distinct + 2)
        ops.append((op, size * step if size > 0 else size, rng.randrange(3)))
    run_ops(ops, check_every=97)


@pytest.mark.parametrize("order", ["ascending", "descending", "shuffled"])
def test_shape_after_bulk_inserts_and_deletes(order):
    sizes = list(range(0, 3000, 3))
    if order == "descending":
        sizes.reverse()
    elif order == "shuffled":
        random.Random(5).shuffle(sizes)
    ops = [("insert", s, 0) for s in sizes]
    ops += [("delete", s, 0) for s in sizes[::2]]
    ops += [("remove_ge", s, 0) for s in sizes[1::4]]
    run_ops(ops, check_every=500)


def test_model_without_atomics_has_same_shape(monkeypatch):
    """The operation counting mode does not change results."""
    monkeypatch.setattr(fitindex, "ATOMIC_AVAILABLE", False)
    rng = random.Random(9)
    run_ops([(rng.choice(OPS), rng.randrange(50), rng.randrange(3)) for _ in range(600)], check_every=50)
