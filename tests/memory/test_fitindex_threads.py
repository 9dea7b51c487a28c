"""FastRedBlackTree under threads: readers never block on writers, return only valid blocks, and nothing is lost."""

import collections
import random
import signal
import sys
import threading
import time
import types

import pytest

from velmora.memory import fitindex
from velmora.memory.fitindex import FastRedBlackTree
from velmora.memory.memory_block import MemoryBlock

STRESS_SECONDS = 0.8


@pytest.fixture
def fast_switching():
    """Switch threads often so readers' unlocked searches overlap writers' sections."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


def run_threads(targets, timeout=30.0):
    errors = []

    def wrap(fn):
        def run():
            try:
                fn()
            except BaseException as exc:  # reported to the main thread
                errors.append(exc)
        return run

    threads = [threading.Thread(target=wrap(fn), daemon=True) for fn in targets]
    for th in threads:
        th.start()
    for th in threads:
        th.join(timeout)
    assert not any(th.is_alive() for th in threads), "a thread did not finish"
    if errors:
        raise errors[0]


@pytest.mark.parametrize("writers, readers, distinct", [(1, 1, 50), (2, 4, 400), (3, 2, 5)])
def test_stress_every_block_accounted_once(fast_switching, writers, readers, distinct):
    tree = FastRedBlackTree(sample_rate=7)
    per_writer = 3000
    universe = [[MemoryBlock(w * per_writer + i, 1 + (w * 7919 + i * 104729) % distinct, pool_id=w)
                 for i in range(per_writer)] for w in range(writers)]
    all_blocks = {b for group in universe for b in group}
    baseline = {id(b): sys.getrefcount(b) for b in all_blocks}
    inserted = set()          # grows before each insert: a reader may only ever see these
    removed = []              # (block) for each successful delete or remove_ge, from all writers
    lock = threading.Lock()
    deadline = time.monotonic() + STRESS_SECONDS
    stop = threading.Event()
    reading = threading.Event()   # writers start once a reader runs (without a GIL they may finish first)
    reads = collections.Counter()

    def writer(w):
        reading.wait(10)
        rng = random.Random(w)
        pending = list(universe[w])
        mine = []
        got = []
        while time.monotonic() < deadline and (pending or mine):
            r = rng.random()
            if pending and r < 0.55:
                b = pending.pop()
                with lock:
                    inserted.add(b)
                assert tree.insert(b.size, b) is True
                mine.append(b)
            elif mine and r < 0.8:
                b = mine.pop(rng.randrange(len(mine)))
                if tree.delete(b.size, b):   # False when another writer's remove_ge took it
                    got.append(b)
            else:
                size, b = tree.remove_ge(rng.randrange(distinct + 2))
                if b is not None:
                    assert size == b.size
                    got.append(b)
        with lock:
            removed.extend(got)

    def reader(seed):
        rng = random.Random(1000 + seed)
        reading.set()
        while not stop.is_set():
            want = rng.randrange(distinct + 2)
            b = tree.find_best_fit(want)
            if b is not None:
                assert b in inserted and b.size >= want
                reads["hit"] += 1
            found = tree.find_all_exact(want)
            assert all(x in inserted and x.size == want for x in found)
            assert len({x.offset for x in found}) == len(found)
            reads["exact"] += 1

    def writers_then_stop():
        try:
            run_threads([lambda w=w: writer(w) for w in range(writers)])
        finally:
            stop.set()

    run_threads([writers_then_stop] + [lambda s=s: reader(s) for s in range(readers)])

    remaining = []
    while True:
        size, b = tree.remove_ge(0)
        if b is None:
            break
        remaining.append(b)
    counts = collections.Counter(removed + remaining)
    assert set(counts) == inserted
    assert all(c == 1 for c in counts.values())
    assert len(tree) == 0 and tree.get_stats()["total_blocks"] == 0
    assert reads["exact"] > 0
    # Drop this test's own references before comparing counts. Emptied, not deleted: the threads'
    # functions close over `inserted` and `removed`, and a deleted name would leave them unbound.
    for held in (removed, remaining, counts, inserted):
        held.clear()
    assert all(sys.getrefcount(b) == baseline[id(b)] for b in all_blocks)


def test_stress_with_clear_and_refcounts(fast_switching):
    tree = FastRedBlackTree()
    blocks = [MemoryBlock(i, 1 + i % 37) for i in range(2000)]
    baseline = [sys.getrefcount(b) for b in blocks]
    deadline = time.monotonic() + STRESS_SECONDS / 2

    def writer():
        rng = random.Random(3)
        while time.monotonic() < deadline:
            for b in rng.sample(blocks, 50):
                tree.insert(b.size, b)
            if rng.random() < 0.3:
                tree.clear()
            else:
                for _ in range(20):
                    tree.remove_ge(rng.randrange(40))

    def reader():
        rng = random.Random(4)
        while time.monotonic() < deadline:
            want = rng.randrange(40)
            b = tree.find_best_fit(want, 8)
            assert b is None or b.size >= want
            assert all(x.size == want for x in tree.find_all_exact(want))
            tree.get_stats()

    run_threads([writer, reader, reader])
    tree.clear()
    assert [sys.getrefcount(b) for b in blocks] == baseline


class Gate:
    """A block whose equality test waits, holding the writer inside its write section."""

    def __init__(self):
        self.entered = threading.Event()
        self.release = threading.Event()

    def __eq__(self, other):
        self.entered.set()
        assert self.release.wait(20)
        return False

    __hash__ = object.__hash__


def hold_write_section(tree, gate, size):
    th = threading.Thread(target=tree.delete, args=(size, MemoryBlock(0, 0)), daemon=True)
    th.start()
    assert gate.entered.wait(20)
    return th


def test_reader_gives_up_after_100_backoffs_while_a_writer_is_inside(monkeypatch):
    gate, other = Gate(), MemoryBlock(0, 64)
    tree = FastRedBlackTree()
    tree.insert(8, gate)
    tree.insert(64, other)
    pauses = []
    real_sleep = time.sleep
    monkeypatch.setattr(fitindex, "time", types.SimpleNamespace(
        sleep=lambda s: (pauses.append(s), real_sleep(s)), perf_counter_ns=time.perf_counter_ns))
    writer = hold_write_section(tree, gate, 8)
    try:
        assert tree.find_best_fit(60) is None
        assert pauses == [0.0001] * 100
        assert tree.find_all_exact(64) == []
        assert len(pauses) == 200
        assert tree.get_stats()["total_searches"] == 0
        assert len(tree) == 2
    finally:
        gate.release.set()
        writer.join(20)
    assert not writer.is_alive()
    assert tree.find_best_fit(60) is other and tree.find_all_exact(8) == [gate]
    assert tree.get_stats()["total_searches"] == 2


def test_sleep_failure_propagates(monkeypatch):
    gate = Gate()
    tree = FastRedBlackTree()
    tree.insert(8, gate)

    def broken(seconds):
        raise KeyboardInterrupt("stop waiting")

    monkeypatch.setattr(fitindex, "time", types.SimpleNamespace(sleep=broken, perf_counter_ns=time.perf_counter_ns))
    writer = hold_write_section(tree, gate, 8)
    try:
        with pytest.raises(KeyboardInterrupt):
            tree.find_best_fit(1)
        with pytest.raises(KeyboardInterrupt):
            tree.find_all_exact(8)
    finally:
        gate.release.set()
        writer.join(20)
    assert tree.find_all_exact(8) == [gate]


class Interrupted(Exception):
    pass


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
@pytest.mark.parametrize("handler_raises", [True, False], ids=["handler raises", "handler returns"])
def test_a_writer_waiting_for_the_write_lock_runs_signal_handlers(handler_raises):
    # A writer blocked behind another thread's section runs the main thread's signal handlers while
    # it waits: an exception they raise ends the wait (and the call), one that returns keeps it going.
    gate = Gate()
    tree = FastRedBlackTree()
    tree.insert(8, gate)
    calls = []

    def handler(signum, frame):
        calls.append(signum)
        if handler_raises:
            raise Interrupted
    previous = signal.signal(signal.SIGALRM, handler)
    writer = hold_write_section(tree, gate, 8)
    releaser = threading.Timer(1.0, gate.release.set)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        if handler_raises:
            with pytest.raises(Interrupted):
                tree.insert(16, MemoryBlock(0, 16))
            assert not gate.release.is_set()  # interrupted while the other section still ran
        else:
            releaser.start()
            assert tree.insert(16, MemoryBlock(0, 16)) is True  # waited for the section to end
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        gate.release.set()
        writer.join(20)
        releaser.cancel()
    assert calls == [signal.SIGALRM]
    assert [b.size for b in tree.find_all_exact(16)] == ([] if handler_raises else [16])
    tree.insert(32, MemoryBlock(32, 32))  # the lock is free again
    assert len(tree) == (2 if handler_raises else 3)


def test_readers_do_not_wait_for_write_lock():
    """A reader finishes while a writer sits in its section; only the writer's peers wait."""
    gate = Gate()
    tree = FastRedBlackTree()
    tree.insert(8, gate)
    writer = hold_write_section(tree, gate, 8)
    try:
        done = []
        reader = threading.Thread(target=lambda: done.append(tree.find_best_fit(1)), daemon=True)
        reader.start()
        reader.join(10)
        assert done == [None]
        inserter = threading.Thread(target=tree.insert, args=(9, MemoryBlock(0, 9)), daemon=True)
        inserter.start()
        inserter.join(0.2)
        assert inserter.is_alive()  # writers are serialised by write_lock
    finally:
        gate.release.set()
        writer.join(20)
    inserter.join(20)
    assert not inserter.is_alive() and len(tree) == 2
