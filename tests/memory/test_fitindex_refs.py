"""FastRedBlackTree owns exactly one reference per stored block and releases it once, outside its write section."""

import gc
import sys
import threading
import types
import weakref

import pytest

from velmora.memory.fitindex import FastRedBlackTree
from velmora.memory.memory_block import MemoryBlock


class Block:
    """A weak-referenceable block with identity equality."""

    def __init__(self, size):
        self.size = size


def refcount(b):
    return sys.getrefcount(b) - 1  # minus the argument of getrefcount


def remove_via(how, tree, blocks, victim):
    if how == "delete":
        assert tree.delete(victim.size, victim) is True
    elif how == "remove_ge":
        size, got = tree.remove_ge(victim.size)
        assert got is victim and size == victim.size
    else:
        tree.clear()


@pytest.mark.parametrize("how", ["delete", "remove_ge", "clear"])
@pytest.mark.parametrize("layout", ["alone", "head_of_list", "in_list", "deep"])
def test_removal_leaves_no_reference(how, layout):
    tree = FastRedBlackTree()
    victim = Block(16)
    others = [Block(16) for _ in range(2)] + [Block(s) for s in (4, 8, 32, 64, 128)]
    if layout == "alone":
        stored = [victim]
    elif layout == "head_of_list":
        stored = [victim] + others[:2]
    elif layout == "in_list":
        stored = [others[0], victim, others[1]]
    else:
        stored = others[2:] + [victim] + others[:2]
    everyone = [victim] + others
    base = {id(x): refcount(x) for x in everyone}  # each measured while bound to x, as below
    base_victim = refcount(victim)
    for x in stored:
        tree.insert(x.size, x)
    del x
    assert refcount(victim) == base_victim + 1
    if how == "remove_ge" and layout == "in_list":
        while True:  # the in-list block comes out after the head
            size, got = tree.remove_ge(16)
            if got is victim:
                break
            assert got is not None
        del got
    else:
        remove_via(how, tree, stored, victim)
    assert refcount(victim) == base_victim
    if how != "clear":
        assert tree.find_all_exact(16).count(victim) == 0
    tree.clear()
    assert all(refcount(x) == base[id(x)] for x in everyone)


def test_destruction_releases_each_block_once():
    blocks = [Block(i % 5) for i in range(40)]
    refs = [weakref.ref(b) for b in blocks]
    tree = FastRedBlackTree()
    for b in blocks:
        tree.insert(b.size, b)
    base = [refcount(b) for b in blocks]
    del tree
    assert [refcount(b) for b in blocks] == [n - 1 for n in base]
    del blocks, b
    gc.collect()
    assert all(r() is None for r in refs)


def test_block_moves_keep_one_reference():
    a, b, c = Block(8), Block(8), Block(8)
    tree = FastRedBlackTree()
    for x in (a, b, c):
        tree.insert(8, x)
    base = [refcount(x) for x in (a, b, c)]
    assert tree.delete(8, a)          # c moves up to the head
    assert [refcount(x) for x in (a, b, c)] == [base[0] - 1, base[1], base[2]]
    size, got = tree.remove_ge(0)     # c leaves, b moves up
    assert got is c
    del got
    assert [refcount(x) for x in (b, c)] == [base[1], base[2] - 1]
    assert tree.find_all_exact(8) == [b]


def test_failed_insert_takes_no_reference():
    b = Block(1)
    tree = FastRedBlackTree()
    base = refcount(b)
    with pytest.raises(ValueError):
        tree.insert(-1, b)
    with pytest.raises(OverflowError):
        tree.insert(2**64, b)
    assert refcount(b) == base and len(tree) == 0


def test_eq_is_called_even_for_the_same_object():
    class NeverEqual:
        def __eq__(self, other):
            return False

        __hash__ = object.__hash__

    b = NeverEqual()
    tree = FastRedBlackTree()
    tree.insert(3, b)
    assert tree.delete(3, b) is False  # `==`, not identity
    assert tree.find_all_exact(3) == [b]


class Reentrant:
    """A block whose finaliser uses the tree that released it."""

    def __init__(self, tree, size, log):
        self.tree, self.size, self.log = tree, size, log

    def __eq__(self, other):
        return getattr(other, "size", None) == self.size

    __hash__ = object.__hash__

    def __del__(self):
        t = self.tree
        t.insert(1000 + self.size, object())
        self.log.append((t.find_best_fit(0) is not None, len(t)))


@pytest.mark.parametrize("how", ["delete", "remove_ge", "clear"])
def test_finaliser_may_call_the_tree(how):
    """Releases happen after write_lock is released; otherwise this would deadlock."""
    tree = FastRedBlackTree()
    log = []
    for s in (5, 5, 7):
        tree.insert(s, Reentrant(tree, s, log))

    def act():
        if how == "delete":
            assert tree.delete(7, types.SimpleNamespace(size=7))  # the tree held the only reference
        elif how == "remove_ge":
            tree.remove_ge(6)
        else:
            tree.clear()

    th = threading.Thread(target=act, daemon=True)
    th.start()
    th.join(10)
    assert not th.is_alive(), "deadlock: a finaliser ran inside the write section"
    assert log and all(found for found, _ in log)
    tree.clear()


def test_cycle_through_a_block_is_collected():
    tree = FastRedBlackTree()
    b = Block(4)
    b.tree = tree
    tree.insert(4, b)
    block_ref = weakref.ref(b)
    del tree, b
    gc.collect()
    assert block_ref() is None  # the tree reported its block to the collector and let it go


@pytest.mark.parametrize("how", ["patched class", "subclass"])
def test_eq_of_a_changed_block_class_is_called_for_the_same_object(monkeypatch, how):
    calls = []
    original = MemoryBlock.__eq__

    def counting(self, other):
        calls.append(other)
        return original(self, other)

    if how == "patched class":
        monkeypatch.setattr(MemoryBlock, "__eq__", counting)
        cls = MemoryBlock
    else:
        cls = type("Sub", (MemoryBlock,), {"__eq__": counting, "__hash__": MemoryBlock.__hash__})
    b = cls(0, 8)
    tree = FastRedBlackTree()
    tree.insert(8, b)
    assert tree.delete(8, b) is True
    assert calls == [b]            # only the unchanged block class is known to equal itself unseen


class Pool:
    """A pool id whose equality is logged (and can fail): plain blocks still compare pool ids with `==`."""

    def __init__(self, name, log, fail=False):
        self.name, self.log, self.fail = name, log, fail

    def __eq__(self, other):
        self.log.append((self.name, getattr(other, "name", other)))
        if self.fail:
            raise KeyError("pool eq")
        return isinstance(other, Pool) and other.name == self.name

    def __hash__(self):
        return hash(self.name)


@pytest.mark.parametrize("case", ["equal copies", "pool ids compared first", "pool eq raises", "offsets differ"])
def test_plain_blocks_compare_as_their_keys(case):
    # Equal-but-distinct plain blocks are matched by their fields, in the key's order, with the
    # pool ids' own `==` run exactly as the key tuples' comparison runs it.
    log = []
    pool = Pool("a", log, fail=case == "pool eq raises")
    stored = [MemoryBlock(0, 8, pool), MemoryBlock(64, 8, pool)]
    tree = FastRedBlackTree()
    for b in stored:
        tree.insert(8, b)
    wanted = {"equal copies": MemoryBlock(64, 8, pool), "pool ids compared first": MemoryBlock(0, 8, Pool("b", log)),
              "pool eq raises": MemoryBlock(64, 8, Pool("a", log)), "offsets differ": MemoryBlock(128, 8, pool)}[case]
    model = list(stored)
    try:
        expected = (model.remove(wanted) or True) if wanted in model else False
        expected_error = None
    except KeyError as exc:
        expected, expected_error = None, exc
    expected_log, log[:] = list(log), []
    if expected_error is not None:
        with pytest.raises(KeyError):
            tree.delete(8, wanted)
    else:
        assert tree.delete(8, wanted) is expected
    assert log == expected_log
    assert sorted(b.offset for b in tree.find_all_exact(8)) == sorted(b.offset for b in model)


class RebindingPool:
    """A pool id whose `==` rebinds the stored block's offset and size to fresh ints (dropping the
    last references to the old ones) and answers True."""

    def __init__(self, target):
        self.target = target

    def __eq__(self, other):
        object.__setattr__(self.target[0], "_offset", 10**20 + 7)
        object.__setattr__(self.target[0], "_size", 10**20 + 9)
        return True

    def __hash__(self):
        return 1


@pytest.mark.parametrize("given_offset", [10**19 + 3, 10**19 + 4])
def test_fields_rebound_by_a_pool_eq_compare_as_the_keys_held_them(given_offset):
    # The key tuples hold the fields from before the pool ids' `==` ran: the comparison goes on with
    # those values (which only it keeps alive) and matches exactly when Python's `==` does.
    def make():
        target = []
        stored = MemoryBlock(10**19 + 3, 8, RebindingPool(target))
        target.append(stored)
        return stored, MemoryBlock(given_offset, 8, "other")
    stored, given = make()
    expected = stored == given
    stored, given = make()
    tree = FastRedBlackTree()
    tree.insert(8, stored)
    assert tree.delete(8, given) is expected
    assert stored.offset == 10**20 + 7


@pytest.mark.parametrize("change", ["field descriptor", "class getattribute", "unset slot"])
def test_plain_block_comparison_follows_a_changed_class(monkeypatch, change):
    a, b = MemoryBlock(0, 8), MemoryBlock(0, 8)
    tree = FastRedBlackTree()
    tree.insert(8, a)
    if change == "field descriptor":  # every block now reads offset 0 for _offset... and 1 for b
        monkeypatch.setattr(MemoryBlock, "_offset", property(lambda self: 1 if self is b else 0))
        assert tree.delete(8, b) is False
    elif change == "class getattribute":
        seen = []

        def getattribute(self, name):
            seen.append(name)
            return object.__getattribute__(self, name)

        monkeypatch.setattr(MemoryBlock, "__getattribute__", getattribute)
        assert tree.delete(8, b) is True
        assert "_key" in seen
    else:
        c = MemoryBlock.__new__(MemoryBlock)  # no field set: the comparison raises as __eq__ does
        with pytest.raises(AttributeError):
            _ = (a == c)
        with pytest.raises(AttributeError):
            tree.delete(8, c)
        assert tree.find_all_exact(8) == [a]
