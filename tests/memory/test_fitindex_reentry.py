"""A tree called back from inside its own write (a block's __eq__, the clock) refuses with RuntimeError, never hangs."""


import pytest

# Runs in a child: today's failure mode is a hang (a non-reentrant lock waited for by its holder)
# or a read of a freed entry, so each case is bounded by the child's timeout and, under -X dev,
# a read of freed memory crashes.
CHILD = """
import threading, time
from velmora.memory import fitindex
from velmora.memory.fitindex import FastRedBlackTree

LOCK = {lock}
if LOCK == "rlock":
    class Factory:
        Lock = threading.RLock
    fitindex.threading = Factory
tree = FastRedBlackTree()

class Block:
    def __init__(self, name, action=None):
        self.name, self.action = name, action
    def __eq__(self, other):
        if self.action is not None:
            self.action()
        return self is other
    __hash__ = object.__hash__

actions = {{
    "insert": lambda: tree.insert(8, Block("nested")),
    "delete": lambda: tree.delete(8, Block("absent")),
    "remove_ge": lambda: tree.remove_ge(0),
    "clear": lambda: tree.clear(),
    "get_size_distribution": lambda: tree.get_size_distribution(),
}}
action = actions[{method!r}]
blocks = [Block(i) for i in range(4)]
for b in blocks:
    tree.insert(8, b)
hostile = Block("hostile", action)
tree.insert(8, hostile)          # the head's list now holds a block whose __eq__ calls the tree
try:
    tree.delete(8, blocks[1])    # head blocks[0], then hostile (the newest), then 3, 2, 1: hostile's __eq__ runs
    print("no error")
except RuntimeError as exc:
    print("RuntimeError:", exc)
# The tree is intact and usable afterwards.
assert len(tree) == 5, len(tree)
assert sorted(b.name for b in tree.find_all_exact(8) if b is not hostile) == [0, 1, 2, 3]
assert tree.delete(8, blocks[0]) is True
print("usable")
"""


@pytest.mark.parametrize("lock", ["lock", "rlock"])
@pytest.mark.parametrize("method", ["insert", "delete", "remove_ge", "clear", "get_size_distribution"])
def test_write_from_inside_a_write_is_refused(run_child, lock, method):
    done = run_child(CHILD.format(lock=repr(lock), method=method), "-X", "dev", timeout=60)
    assert done.returncode == 0, done.stderr[-3000:]
    first, second = done.stdout.splitlines()
    assert first.startswith("RuntimeError: FastRedBlackTree.%s() called from inside a call on the same tree" % method)
    assert "not reentrant" in first
    assert second == "usable"


CLOCK = """
from velmora.memory import fitindex
from velmora.memory.fitindex import FastRedBlackTree
import time as real_time
tree = FastRedBlackTree()
tree.insert(8, "a")
class Clock:
    def perf_counter_ns(self):
        tree.delete(8, "a")          # a write from inside insert's own write
        return real_time.perf_counter_ns()
    def __getattr__(self, name):
        return getattr(real_time, name)
fitindex.time = Clock()
try:
    tree.insert(8, "b")
except RuntimeError as exc:
    print("refused")
fitindex.time = real_time
assert tree.find_all_exact(8) == ["a"], tree.find_all_exact(8)
print("ok")
"""


def test_clock_that_writes_to_the_tree_is_refused(run_child):
    done = run_child(CLOCK, "-X", "dev", timeout=60)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.splitlines() == ["refused", "ok"]


# A lock factory whose locks do not exclude: a second thread's write inside the first's section is
# refused instead of corrupting the tree.
NON_EXCLUDING = """
import threading, time
from velmora.memory import fitindex
from velmora.memory.fitindex import FastRedBlackTree
class Open:
    def __enter__(self):
        return self
    def __exit__(self, *exc):
        return None
class Factory:
    Lock = Open
fitindex.threading = Factory
tree = FastRedBlackTree()
class Slow:
    def __eq__(self, other):
        time.sleep(0.0005)               # lets the other thread run inside this write section
        return self is other
    __hash__ = object.__hash__
for _ in range(20):
    tree.insert(8, Slow())
refused = [0]
stop = threading.Event()
def writer():
    while not stop.is_set():
        try:
            tree.insert(8, Slow())
            tree.remove_ge(8)
        except RuntimeError as exc:
            assert "another write to this FastRedBlackTree is in progress" in str(exc), exc
            refused[0] += 1
other = threading.Thread(target=writer)
other.start()
deadline = time.monotonic() + 1.0
while time.monotonic() < deadline:
    try:
        tree.delete(8, Slow())
    except RuntimeError:
        refused[0] += 1
stop.set()
other.join()
sizes = tree.get_size_distribution()
assert sizes.get(8, 0) == len(tree) and len(tree) >= 19, (sizes, len(tree))
assert refused[0] > 0
print("ok")
"""


def test_writer_that_the_lock_does_not_exclude_is_refused(run_child):
    done = run_child(NON_EXCLUDING, "-X", "dev", timeout=120)
    assert done.returncode == 0 and done.stdout == "ok\n", done.stderr[-3000:]
