"""FastRedBlackTree's Python surface: module frame, argument handling, results, statistics and failures."""

import os
import pickle
import subprocess
import sys
import textwrap
import time
import types

import pytest

from velmora.memory import fitindex
from velmora.memory.fitindex import FastRedBlackTree
from velmora.memory.memory_block import MemoryBlock

try:
    from velmora.memory import lockless
except ImportError:  # the tree also works without the counter module
    lockless = None

needs_atomics = pytest.mark.skipif(not fitindex.ATOMIC_AVAILABLE, reason="velmora.memory.lockless not built")

STAT_KEYS = ["total_blocks", "total_insertions", "total_deletions", "total_searches",
             "bucket_hits", "tree_hits", "operation_count"]


def blocks(n):
    return [MemoryBlock(i * 64, 64) for i in range(n)]


def tree_with(*pairs, **kw):
    t = FastRedBlackTree(**kw)
    for size, block in pairs:
        assert t.insert(size, block) is True
    return t


# -- module frame ---------------------------------------------------------------------------------
def test_module_namespace():
    import math
    import threading
    import time
    import typing

    assert fitindex.MemoryBlock is MemoryBlock
    assert fitindex.threading is threading and fitindex.time is time and fitindex.math is math
    for name in ("List", "Dict", "Optional", "Tuple", "Any"):
        assert getattr(fitindex, name) is getattr(typing, name)
    assert not hasattr(fitindex, "logger")
    if lockless is not None:
        assert fitindex.ATOMIC_AVAILABLE is True
        assert fitindex.AtomicCounter is lockless.AtomicCounter
    assert FastRedBlackTree.__module__ == "velmora.memory.fitindex"
    assert FastRedBlackTree.__name__ == "FastRedBlackTree"


def test_import_without_lockless_runs_without_counting():
    code = textwrap.dedent(
        """
        import sys
        sys.modules["velmora.memory.lockless"] = None   # makes the import raise ImportError
        from velmora.memory import fitindex
        assert fitindex.ATOMIC_AVAILABLE is False and fitindex.AtomicCounter is None
        t = fitindex.FastRedBlackTree(sample_rate=1)
        for i in range(5):
            t.insert(i, object())
        s = t.get_stats()
        assert s["sampled_operations"] == 0 and s["operation_count"] == 5, s
        t.clear()
        print("ok")
        """
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env)
    assert out.stdout.strip() == "ok", out.stderr


def test_sanitize_size_is_a_static_method():
    assert isinstance(FastRedBlackTree.__dict__["_sanitize_size"], staticmethod)
    assert FastRedBlackTree._sanitize_size(5) == 5
    assert FastRedBlackTree()._sanitize_size(0) == 0
    assert type(FastRedBlackTree._sanitize_size(7.9)) is int and FastRedBlackTree._sanitize_size(7.9) == 7
    assert FastRedBlackTree._sanitize_size(2**70) == 2**70  # range is checked by the callers
    with pytest.raises(ValueError, match=r"^Invalid size: -5$"):
        FastRedBlackTree._sanitize_size(-5)
    with pytest.raises(TypeError, match=r"^Argument 'size' has incorrect type \(expected int, got str\)$"):
        FastRedBlackTree._sanitize_size("5")


DOCS = {
    "_sanitize_size": ("Validate size.", ()),
    "insert": ("Insert block into tree.", ("Single-writer operation with seqlock coordination.",)),
    "delete": ("Delete specific block.", ("Single-writer operation.",)),
    "remove_ge": ("Remove and return best-fit block >= size.", ()),
    "clear": ("Clear all blocks.", ()),
    "find_best_fit": ("Find best-fit block (LOCK-FREE read).", (
        "Uses seqlock for consistency without blocking writers.",
        "Even seq_counter = stable state (safe to read)",
        "Odd seq_counter = write in progress (retry)",
        "Readers validate seq unchanged after read (detects concurrent writes)")),
    "find_all_exact": ("Find all blocks of exact size (lock-free read).", ()),
    "size": ("Get total block count.", ()),
    "get_stats": ("Get tree statistics.", ()),
    "get_statistics": ("Get timing statistics (empty for sampling mode).", ()),
    "get_size_distribution": ("Get size distribution.", ()),
    "reset_circuit_breaker": ("Reset circuit breaker stats.", ()),
}


@pytest.mark.parametrize("name", sorted(DOCS))
def test_docstrings(name):
    first, rest = DOCS[name]
    doc = getattr(FastRedBlackTree, name).__doc__
    assert doc.splitlines()[0] == first
    for fragment in rest:
        assert fragment in doc


ANNOTATIONS = {
    "insert": {"size": "int", "block": "MemoryBlock", "return": "bool"},
    "delete": {"size": "int", "block": "MemoryBlock", "return": "bool"},
    "remove_ge": {"size": "int", "return": "Tuple[Optional[int], Optional[MemoryBlock]]"},
    "_sanitize_size": {"size": "int", "return": "int"},
    "find_best_fit": {"size": "int", "alignment": "int", "return": "Optional[MemoryBlock]"},
    "find_all_exact": {"size": "int", "return": "List[MemoryBlock]"},
    "get_stats": {"return": "Dict[str, Any]"},
    "get_size_distribution": {"return": "Dict[int, int]"},
    "get_statistics": {"return": "Dict[int, List[float]]"},
    "size": {"return": "int"},
}


@pytest.mark.parametrize("name", sorted(ANNOTATIONS))
def test_annotations(name):
    assert getattr(FastRedBlackTree, name).__annotations__ == ANNOTATIONS[name]


def test_defaults():
    assert FastRedBlackTree.find_best_fit.__defaults__ == (1,)
    assert FastRedBlackTree.insert.__defaults__ is None


# -- construction and binding ---------------------------------------------------------------------
@pytest.mark.parametrize(
    "arg, exc, msg",
    [
        (-1, OverflowError, "can't convert negative value to uint32_t"),
        (2**32, OverflowError, "value too large to convert to uint32_t"),
        (2**80, OverflowError, "value too large to convert to uint32_t"),
        ("5", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
    ],
)
def test_sample_rate_rejected(arg, exc, msg):
    with pytest.raises(exc) as err:
        FastRedBlackTree(arg)
    assert str(err.value) == msg


@pytest.mark.parametrize("arg", [0, 1, 2.9, 2**32 - 1, True])
def test_sample_rate_accepted(arg):
    t = FastRedBlackTree(sample_rate=arg)
    assert len(t) == 0 and t.get_stats()["node_count"] == 0


@pytest.mark.parametrize(
    "call, msg",
    [
        (lambda: FastRedBlackTree(1, 2), "FastRedBlackTree() takes at most 1 positional argument (2 given)"),
        (lambda: FastRedBlackTree(rate=1), "FastRedBlackTree() got an unexpected keyword argument 'rate'"),
        (lambda: FastRedBlackTree().insert(1), "insert() takes exactly 2 positional arguments (1 given)"),
        (lambda: FastRedBlackTree().remove_ge(), "remove_ge() takes exactly 1 positional argument (0 given)"),
        (lambda: FastRedBlackTree().find_best_fit(), "find_best_fit() takes at least 1 positional argument (0 given)"),
        (lambda: FastRedBlackTree().find_best_fit(1, 2, 3),
         "find_best_fit() takes at most 2 positional arguments (3 given)"),
        (lambda: FastRedBlackTree().find_best_fit(1, size=2),
         "find_best_fit() got multiple values for keyword argument 'size'"),
        (lambda: FastRedBlackTree().clear(1), "clear() takes no arguments (1 given)"),
        (lambda: FastRedBlackTree().size(x=1), "size() takes no keyword arguments"),
    ],
)
def test_binding_messages(call, msg):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == msg


def test_keywords_accepted():
    b = MemoryBlock(0, 8)
    t = FastRedBlackTree(sample_rate=3)
    assert t.insert(block=b, size=8) is True
    assert t.find_best_fit(size=5, alignment=64) is b
    assert t.find_all_exact(size=8) == [b]
    assert t.delete(size=8, block=b) is True
    assert t.remove_ge(size=0) == (None, None)


def test_not_picklable():
    t = FastRedBlackTree()
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(t)
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        t.__setstate__({})


# -- sizes ----------------------------------------------------------------------------------------
SIZE_CALLS = {
    "insert": lambda t, s: t.insert(s, MemoryBlock(0, 1)),
    "delete": lambda t, s: t.delete(s, MemoryBlock(0, 1)),
    "remove_ge": lambda t, s: t.remove_ge(s),
    "find_best_fit": lambda t, s: t.find_best_fit(s),
    "find_all_exact": lambda t, s: t.find_all_exact(s),
}


@pytest.mark.parametrize("method", sorted(SIZE_CALLS))
@pytest.mark.parametrize(
    "size, exc, msg",
    [
        ("16", TypeError, "Argument 'size' has incorrect type (expected int, got str)"),
        (None, TypeError, "Argument 'size' has incorrect type (expected int, got NoneType)"),
        (b"1", TypeError, "Argument 'size' has incorrect type (expected int, got bytes)"),
        (2**64, OverflowError, None),
        (2**100, OverflowError, None),
        (float("inf"), OverflowError, "cannot convert float infinity to integer"),
        (float("nan"), ValueError, "cannot convert float NaN to integer"),
    ],
)
def test_bad_sizes_change_nothing(method, size, exc, msg):
    keep = MemoryBlock(1, 16)
    t = tree_with((16, keep))
    before = t.get_stats()
    with pytest.raises(exc) as err:
        SIZE_CALLS[method](t, size)
    if msg is not None:
        assert str(err.value) == msg
    assert t.get_stats() == before
    assert t.find_all_exact(16) == [keep]


def test_negative_sizes():
    b = MemoryBlock(0, 8)
    t = tree_with((8, b))
    before = t.get_stats()
    with pytest.raises(ValueError) as err:
        t.insert(-1, b)
    assert str(err.value) == "Invalid size: -1"
    with pytest.raises(ValueError, match=r"^Invalid size: -3$"):
        t.insert(-3.7, b)  # converted by int() first
    assert t.delete(-1, b) is False
    assert t.remove_ge(-1) == (None, None)
    assert t.find_best_fit(-1) is None
    assert t.find_all_exact(-2) == []
    assert t.get_stats() == before  # nothing counted, not even a search


@pytest.mark.parametrize("size, stored", [(3.99, 3), (True, 1), (2**64 - 1, 2**64 - 1), (0, 0)])
def test_size_conversions(size, stored):
    b = MemoryBlock(0, 1)
    t = tree_with((size, b))
    assert list(t.get_size_distribution()) == [stored]
    assert t.find_all_exact(stored) == [b]
    assert t.remove_ge(stored) == (stored, b)


def test_alignment_is_type_checked_but_unused():
    b = MemoryBlock(0, 8)
    t = tree_with((8, b))
    for alignment in (1, 0, -5, 2**70, 3.5):
        assert t.find_best_fit(8, alignment) is b
    with pytest.raises(TypeError, match=r"^Argument 'alignment' has incorrect type \(expected int, got str\)$"):
        t.find_best_fit(8, "8")
    with pytest.raises(TypeError, match="Argument 'alignment'"):
        t.find_best_fit(-1, "8")  # argument checks come before the size rules
    with pytest.raises(TypeError, match="Argument 'size'"):
        t.find_best_fit("x", "y")


# -- edge cases of the writers and readers --------------------------------------------------------
def test_first_insert_and_same_size_list_order():
    a, b, c = blocks(3)
    t = tree_with((16, a))
    assert len(t) == 1 and t.get_stats()["total_blocks"] == 1 and t.get_stats()["height"] == 1
    t.insert(16, b)
    t.insert(16, c)
    assert len(t) == 3 and t.get_stats()["height"] == 1
    assert t.find_all_exact(16) == [a, c, b]
    assert t.get_size_distribution() == {16: 3}


def test_delete_head_promotes_newest():
    a, b, c = blocks(3)
    t = tree_with((16, a), (16, b), (16, c), (8, MemoryBlock(9, 9)))
    shape = list(t.get_size_distribution())
    assert t.delete(16, a) is True
    assert t.find_all_exact(16) == [c, b]
    assert list(t.get_size_distribution()) == shape
    assert t.delete(16, b) is True and t.find_all_exact(16) == [c]
    assert t.delete(16, c) is True and t.find_all_exact(16) == []
    assert t.get_size_distribution() == {8: 1}


def test_delete_uses_equality_and_removes_first_match_only():
    t = tree_with((32, MemoryBlock(0, 32)), (32, MemoryBlock(64, 32)), (32, MemoryBlock(0, 32)))
    assert t.delete(32, MemoryBlock(0, 32)) is True  # an equal, not identical, block matches the head
    assert [b.offset for b in t.find_all_exact(32)] == [0, 64]
    assert t.delete(32, MemoryBlock(0, 32)) is True
    assert [b.offset for b in t.find_all_exact(32)] == [64]


def test_delete_miss_changes_no_statistics():
    a = MemoryBlock(0, 16)
    t = tree_with((16, a))
    before = t.get_stats()
    assert t.delete(16, MemoryBlock(1, 16)) is False
    assert t.delete(17, a) is False
    assert t.get_stats() == before


def test_remove_ge_best_fit_and_list_order():
    s8, s16, s32 = MemoryBlock(0, 8), MemoryBlock(8, 16), MemoryBlock(24, 32)
    t = tree_with((8, s8), (16, s16), (32, s32))
    assert t.remove_ge(10) == (16, s16)
    assert t.remove_ge(0) == (8, s8)
    assert t.remove_ge(33) == (None, None)
    assert t.remove_ge(32) == (32, s32)
    assert t.remove_ge(0) == (None, None)
    a, b, c = blocks(3)
    t = tree_with((5, a), (5, b), (5, c))
    assert [t.remove_ge(1)[1] for _ in range(3)] == [a, c, b]
    assert t.get_size_distribution() == {}
    stats = t.get_stats()
    assert (stats["total_blocks"], stats["total_insertions"], stats["total_deletions"]) == (0, 3, 3)


def test_find_best_fit_and_exact():
    s8, s16, s32 = MemoryBlock(0, 8), MemoryBlock(8, 16), MemoryBlock(24, 32)
    t = tree_with((8, s8), (16, s16), (32, s32))
    assert t.find_best_fit(10) is s16
    assert t.find_best_fit(16) is s16
    assert t.find_best_fit(33) is None
    assert t.find_all_exact(9) == []
    assert t.get_stats()["total_searches"] == 4
    assert len(t) == 3
    assert t.find_all_exact(8) is not t.find_all_exact(8)  # a new list each time


def test_repr_len_bool():
    t = FastRedBlackTree()
    assert repr(t) == "FastRedBlackTree(blocks=0, native=True)"
    assert len(t) == 0 and not t and t.size() == 0
    for i in range(3):
        t.insert(4, MemoryBlock(i, 4))
    assert repr(t) == "FastRedBlackTree(blocks=3, native=True)"
    assert len(t) == 3 and bool(t) is True and t.size() == 3


def test_len_and_bool_call_size_by_name():
    class Fixed(FastRedBlackTree):
        def size(self):
            return self.reported

    t = Fixed()
    t.reported = 7
    assert len(t) == 7 and bool(t)
    t.reported = 0
    assert len(t) == 0 and not t
    t.reported = -2
    with pytest.raises(ValueError):
        len(t)
    assert not t


# -- statistics ------------------------------------------------------------------------------------
def test_stats_of_new_tree_and_circuit_breaker_key():
    t = FastRedBlackTree()
    s = t.get_stats()
    assert list(s) == STAT_KEYS + ["node_count", "height", "sampled_operations", "is_valid"]
    assert all(s[k] == 0 for k in STAT_KEYS + ["node_count", "height", "sampled_operations"])
    assert s["is_valid"] is True
    t.insert(1, MemoryBlock(0, 1))
    t.insert(2, MemoryBlock(0, 2))
    assert t.reset_circuit_breaker() is None
    s = t.get_stats()
    assert list(s) == STAT_KEYS + ["circuit_breaker_trips", "node_count", "height", "sampled_operations",
                                   "is_valid"]
    assert s["circuit_breaker_trips"] == 0 and s["operation_count"] == 0 and s["total_insertions"] == 2
    t.insert(3, MemoryBlock(0, 3))
    assert t.get_stats()["operation_count"] == 1
    t.clear()
    assert "circuit_breaker_trips" not in t.get_stats()


def test_clear_resets_everything():
    t = FastRedBlackTree(sample_rate=1)
    for i in range(50):
        t.insert(i % 7, MemoryBlock(i, 1))
    t.find_best_fit(3)
    assert t.clear() is None
    s = t.get_stats()
    assert all(s[k] == 0 for k in STAT_KEYS + ["node_count", "height", "sampled_operations"])
    assert len(t) == 0 and t.get_size_distribution() == {} and t.find_best_fit(0) is None
    t.insert(3, MemoryBlock(0, 3))
    assert t.get_stats()["total_blocks"] == 1


@needs_atomics
@pytest.mark.parametrize("rate, inserts, sampled", [(1, 7, 7), (0, 20, 0), (100, 250, 2), (3, 10, 3)])
def test_sampling(rate, inserts, sampled):
    t = FastRedBlackTree(rate)
    for i in range(inserts):
        t.insert(i % 5, MemoryBlock(i, 1))
    assert t.get_stats()["sampled_operations"] == sampled
    t.clear()  # restarts both counters
    for i in range(inserts):
        t.insert(i, MemoryBlock(i, 1))
    assert t.get_stats()["sampled_operations"] == sampled


def test_without_atomics_nothing_is_sampled(monkeypatch):
    monkeypatch.setattr(fitindex, "ATOMIC_AVAILABLE", False)
    t = FastRedBlackTree(1)
    for i in range(5):
        t.insert(i, MemoryBlock(i, 1))
    t.clear()
    t.insert(1, MemoryBlock(0, 1))
    s = t.get_stats()
    assert s["sampled_operations"] == 0 and s["operation_count"] == 1


def test_size_distribution_is_preorder():
    t = FastRedBlackTree()
    for size in (8, 16, 32, 16, 16):
        t.insert(size, MemoryBlock(size, size))
    dist = t.get_size_distribution()
    assert dist == {8: 1, 16: 3, 32: 1}
    assert list(dist) == [16, 8, 32]  # root first
    for size in range(100, 110):
        t.insert(size, MemoryBlock(0, size))
    keys = list(t.get_size_distribution())
    assert keys[0] != min(keys) and sorted(keys) != keys


def test_get_statistics_is_a_new_empty_dict():
    t = tree_with((1, MemoryBlock(0, 1)))
    a, b = t.get_statistics(), t.get_statistics()
    assert a == {} and a is not b


# -- failures inside the write section --------------------------------------------------------------
class Boom(Exception):
    pass


class AngryBlock:
    def __eq__(self, other):
        raise Boom("no comparison")

    __hash__ = object.__hash__


@pytest.mark.parametrize("position", ["head", "list"])
def test_eq_raising_leaves_tree_intact(position):
    angry, calm = AngryBlock(), MemoryBlock(0, 8)
    t = tree_with((8, angry)) if position == "head" else tree_with((8, calm), (8, angry))
    before = (t.get_stats(), t.find_all_exact(8))
    with pytest.raises(Boom):
        t.delete(8, MemoryBlock(5, 5))
    assert t.get_stats()["node_count"] == len(before[1])
    assert t.find_all_exact(8) == before[1]   # a reader succeeds: the counter is even again
    assert t.insert(9, calm) and t.remove_ge(9) == (9, calm)  # and the lock is free

def test_insert_calls_a_clock_patched_onto_the_time_module(monkeypatch):
    # The real module's own function is read without a Python call; a replacement is called.
    t = FastRedBlackTree()
    t.insert(8, MemoryBlock(0, 8))
    calls = []
    monkeypatch.setattr(time, "perf_counter_ns", lambda: calls.append(1) or 5)
    t.insert(16, MemoryBlock(8, 16))
    monkeypatch.setattr(time, "perf_counter_ns", lambda: -1)
    with pytest.raises(OverflowError):
        t.insert(24, MemoryBlock(24, 24))
    monkeypatch.undo()
    t.insert(32, MemoryBlock(48, 32))
    assert calls == [1] and [b.size for b in t.find_all_exact(16)] == [16] and t.find_all_exact(24) == []
    assert len(t) == 3



@pytest.mark.parametrize("existing", [False, True])
def test_failing_timer_frees_the_new_entry(monkeypatch, existing):
    a, b = MemoryBlock(0, 8), MemoryBlock(8, 8)
    t = FastRedBlackTree(sample_rate=2)
    t.insert(8, a)
    size = 8 if existing else 9
    before = (t.get_stats(), t.get_size_distribution(), sys.getrefcount(b))

    def broken():
        raise Boom("clock")

    monkeypatch.setattr(fitindex, "time", types.SimpleNamespace(perf_counter_ns=broken, sleep=lambda s: None))
    with pytest.raises(Boom):
        t.insert(size, b)
    monkeypatch.undo()
    assert (t.get_stats(), t.get_size_distribution(), sys.getrefcount(b)) == before
    assert t.find_all_exact(size) == ([a] if existing else [])
    t.insert(size, b)
    if fitindex.ATOMIC_AVAILABLE:  # the failed insert used operation number 2, so #3 is not sampled
        assert t.get_stats()["sampled_operations"] == 0
        t.insert(10, b)
        assert t.get_stats()["sampled_operations"] == 1


class LoggedModule(types.ModuleType):
    """A module class whose attribute reads are logged (assigned as the real module's __class__)."""

    def __getattribute__(self, name):
        LOG.append(name)
        return super().__getattribute__(name)


LOG = []


def reroute_clock(monkeypatch, how):
    """Makes the tree's next clock read go elsewhere, changing nothing but the route to it."""
    fake = lambda: LOG.append("fake") or 7
    if how == "function patched":
        monkeypatch.setattr(time, "perf_counter_ns", fake)
    elif how == "module global replaced":
        monkeypatch.setattr(fitindex, "time", types.SimpleNamespace(perf_counter_ns=fake))
    elif how == "module global moved to the builtins":
        monkeypatch.delattr(fitindex, "time")
    elif how == "module class changed":
        monkeypatch.setattr(time, "__class__", LoggedModule)


@pytest.mark.parametrize("how", ["function patched", "module global replaced", "module global moved to the builtins",
                                 "module class changed"])
def test_clock_route_changed_after_fast_reads_is_followed(monkeypatch, how):
    # Inserts read the real clock directly while nothing on the way to it changed; any change made
    # after such reads is followed by the very next insert, and undoing it restores the direct read.
    t = FastRedBlackTree()
    for i in range(3):
        t.insert(8, MemoryBlock(i, 8))
    LOG.clear()
    reroute_clock(monkeypatch, how)
    if how == "module global moved to the builtins":
        # Found there, the real module is read directly, but the builtins are not watched: a change
        # there is still seen.
        import builtins
        monkeypatch.setattr(builtins, "time", time, raising=False)
        t.insert(8, MemoryBlock(10, 8))
        assert LOG == []
        monkeypatch.setattr(builtins, "time", types.SimpleNamespace(perf_counter_ns=lambda: LOG.append("b") or 7))
        t.insert(8, MemoryBlock(11, 8))
        assert LOG == ["b"]
    else:
        t.insert(8, MemoryBlock(10, 8))
        assert LOG == (["perf_counter_ns"] if how == "module class changed" else ["fake"])
    monkeypatch.undo()
    LOG.clear()
    stored = len(t)
    t.insert(8, MemoryBlock(12, 8))
    t.insert(8, MemoryBlock(13, 8))
    assert LOG == [] and len(t) == stored + 2


def test_time_module_is_looked_up_at_each_insert(monkeypatch):
    calls = []

    def fake():
        calls.append(1)
        return 123

    monkeypatch.setattr(fitindex, "time", types.SimpleNamespace(perf_counter_ns=fake))
    t = FastRedBlackTree()
    t.insert(1, MemoryBlock(0, 1))
    t.insert(1, MemoryBlock(1, 1))
    assert len(calls) == 2
