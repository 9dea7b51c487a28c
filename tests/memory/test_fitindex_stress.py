"""Writers and lock-free readers on one tree for a bounded time: readers see only inserted, fitting blocks;
the final tree equals a model."""

import pytest

TREE = """
import random
from velmora.memory.fitindex import FastRedBlackTree
from velmora.memory.memory_block import MemoryBlock
WRITERS, READERS, DISTINCT = {writers}, {readers}, {distinct}
tree = FastRedBlackTree(sample_rate=3)
universe = [[MemoryBlock(w * 100000 + i, 1 + (i * 7919 + w) % DISTINCT, pool_id=w) for i in range(4000)]
            for w in range(WRITERS)]
ever_inserted = set()                  # grows before each insert: readers may only ever see these
model = [set() for _ in range(WRITERS)]  # what each writer has in the tree (remove_ge can take any)
taken = []                             # blocks returned by remove_ge, from all writers
lock = threading.Lock()
writing = threading.Event()

def writer(w):
    def run():
        rng, going, mine = random.Random(w), until_deadline(), model[w]
        pending = list(universe[w])
        writing.set()
        while going():
            r = rng.random()
            if pending and r < 0.5:
                b = pending.pop()
                with lock:
                    ever_inserted.add(b)
                    mine.add(b)
                assert tree.insert(b.size, b) is True
            elif mine and r < 0.75:
                with lock:
                    b = next(iter(mine)) if mine else None
                if b is not None and tree.delete(b.size, b):
                    with lock:
                        mine.discard(b)
            elif r < 0.9:
                want = rng.randrange(DISTINCT + 2)
                size, b = tree.remove_ge(want)
                if b is not None:
                    assert size == b.size >= want, (size, b, want)
                    with lock:
                        taken.append(b)
                        for m in model:
                            m.discard(b)
            elif r < 0.91:
                tree.get_stats(); tree.get_size_distribution()
    return run

def reader(k):
    def run():
        rng, going = random.Random(100 + k), until_deadline()
        writing.wait(10)
        while going():
            want = rng.randrange(DISTINCT + 2)
            b = tree.find_best_fit(want)
            assert b is None or (b in ever_inserted and b.size >= want), (b, want)
            found = tree.find_all_exact(want)
            assert all(x in ever_inserted and x.size == want for x in found), (found, want)
            assert len(set(map(id, found))) == len(found)
    return run

run_threads([writer(w) for w in range(WRITERS)] + [reader(k) for k in range(READERS)])
expected = set().union(*model)
assert len(tree) == len(expected), (len(tree), len(expected))
distribution = tree.get_size_distribution()
for size in range(DISTINCT + 2):
    here = tree.find_all_exact(size)
    assert set(here) == {{b for b in expected if b.size == size}}, size
    assert distribution.get(size, 0) == len(here)
assert len(taken) == len(set(map(id, taken)))
stats = tree.get_stats()
assert stats["total_blocks"] == len(expected) and stats["node_count"] == len(expected)
print("ok")
"""


@pytest.mark.parametrize("writers, readers, distinct", [(1, 3, 64), (2, 2, 7), (3, 1, 400)])
def test_tree_under_four_threads(run_stress, writers, readers, distinct):
    run_stress(TREE.format(writers=writers, readers=readers, distinct=distinct))
