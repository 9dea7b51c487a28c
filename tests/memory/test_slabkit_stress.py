"""slabkit under 4 threads at once: slab objects never handed out twice, bucket offsets conserved, exact statistics."""

import textwrap

import pytest
from stress_harness import WORKERS

# Runs in the child: 4 workers started together by a barrier, stopped after VELMORA_STRESS_SECONDS.
PRELUDE = WORKERS + textwrap.dedent('''
    from velmora.memory import slabkit
''')

# Two ways of sharing one slab. "claim": finding and marking a free object is one step under the
# caller's lock (the two calls are separate operations), freeing runs without it, racing the
# claims and other frees. "owned": each thread allocates and frees only its own objects, so every
# operation races every other thread's operations on neighbouring bits.
HEADER = PRELUDE + textwrap.dedent('''
    IN_USE = 0x10
    h = slabkit.FastSlabHeaderOps(3, 64)
    ops = [0] * THREADS
    handed_twice = []
    torn = []

    def crc16(data):
        crc = 0xFFFF
        for b in data:
            crc ^= b
            for _ in range(8):
                crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
        return crc

    def check_packed():
        packed = h.pack_header()
        if crc16(packed[:6]) != int.from_bytes(packed[6:8], "little"):
            torn.append(packed)

    claim, owner = threading.Lock(), [None] * 64

    def claiming(t, stop):
        rng, mine = random.Random(t), []
        while not stop.is_set():
            for _ in range(50):
                if len(mine) < 8:
                    with claim:
                        i = h.py_find_free_object()
                        if i >= 0:
                            h.py_allocate_object_at(i)
                            if owner[i] is not None:
                                handed_twice.append((i, owner[i], t))
                            owner[i] = t
                    assert i >= 0, "a slab with at most 32 of 64 objects taken reports none free"
                    ops[t] += 1
                    mine.append(i)
                    assert not h.py_is_object_free(i), i  # only its owner frees it
                else:
                    i = mine.pop(rng.randrange(len(mine)))
                    owner[i] = None
                    h.py_deallocate_object_at(i)
                    ops[t] += 1
            check_packed()
        for i in mine:
            owner[i] = None
            h.py_deallocate_object_at(i)
            ops[t] += 1

    def owning(t, stop):
        rng, taken = random.Random(t), set()
        mine = list(range(t, 64, THREADS))
        while not stop.is_set():
            for _ in range(50):
                i = rng.choice(mine)
                if i in taken:
                    h.py_deallocate_object_at(i)
                    taken.discard(i)
                else:
                    h.py_allocate_object_at(i)
                    taken.add(i)
                ops[t] += 1
                assert h.py_is_object_free(i) == (i not in taken), (i, i in taken)
            check_packed()
        for i in taken:
            h.py_deallocate_object_at(i)
            ops[t] += 1

    run(claiming if MODE == "claim" else owning)
    assert not handed_twice, "objects handed out twice (index, first owner, second): %r" % handed_twice[:5]
    assert not torn, "packed headers whose checksum does not match their fields: %r" % torn[:3]
    packed = h.pack_header()
    epoch = int.from_bytes(packed[2:6], "little")
    assert epoch == sum(ops) % 2**32, "epoch %d after %d operations" % (epoch, sum(ops))
    assert all(h.py_is_object_free(i) for i in range(64)) and h.py_find_free_object() == 0, packed.hex()
    assert packed[1] & IN_USE == 0 and int.from_bytes(packed[8:], "little") == 2**64 - 1, packed.hex()
    print("ok")
''')

# Every thread adds offsets of its own; whatever remove_from_bucket and find_best_fit_bucket hand
# out was added and is handed out once. "conserve": after a final drain, every offset added was
# removed exactly once. "reinit": _init_buckets keeps emptying the buckets meanwhile (dropping
# what they held), so only "at most once" can hold.
BUCKETS = PRELUDE + textwrap.dedent('''
    a = slabkit.FastBucketAllocator()
    SIZES = [64, 128, 256]
    added = [[] for _ in range(THREADS)]
    removed = [[] for _ in range(THREADS)]
    inits = [0]

    def take(t, offset):
        if offset is not None:
            removed[t].append(offset)

    def work(t, stop):
        rng, k = random.Random(t), 0
        while not stop.is_set():
            if MODE == "reinit" and t == 3:
                a._init_buckets()
                inits[0] += 1
                continue
            for _ in range(50):
                size = rng.choice(SIZES)
                offset = 8 * (THREADS * k + t)  # aligned to 8, and unique to this thread
                k += 1
                assert a.add_to_bucket(offset, size) is True
                added[t].append(offset)
                if rng.random() < 0.5:
                    take(t, a.remove_from_bucket(size - rng.randrange(8)))
                else:
                    take(t, a.find_best_fit_bucket(size - 8 * rng.randrange(3), 8))

    run(work)
    if MODE == "reinit":
        assert inits[0] > 0
    for size in SIZES:
        while True:
            offset = a.remove_from_bucket(size)
            if offset is None:
                break
            removed[0].append(offset)
    everything_added = [o for part in added for o in part]
    everything_removed = [o for part in removed for o in part]
    assert len(set(everything_added)) == len(everything_added)
    assert len(set(everything_removed)) == len(everything_removed), "an offset was handed out twice"
    assert set(everything_removed) <= set(everything_added), "an offset that was never added came out"
    if MODE == "conserve":
        assert len(everything_removed) == len(everything_added), \\
            "added %d, removed %d" % (len(everything_added), len(everything_removed))
    print("ok")
''')

# Three recorders with known patterns, one reader of snapshots that must each add up.
STATS = PRELUDE + textwrap.dedent('''
    c = slabkit.FastStatsCollector()
    made = [[0, 0, 0, 0] for _ in range(THREADS)]  # allocations, bucketed, padding, deallocations
    snapshots = [0]

    def work(t, stop):
        k = 0
        while not stop.is_set():
            if t == 3:
                s = c.get_stats()
                assert s["total_allocations"] == s["bucketed_allocations"] + s["fallback_allocations"], s
                assert s["total_deallocations"] <= s["total_allocations"], s
                total = s["total_allocations"]
                ratio = s["bucketed_allocations"] / total * 100 if total else 0.0
                assert s["bucketed_allocation_ratio"] == format(ratio, ".1f") + "%", s
                snapshots[0] += 1
                continue
            for _ in range(50):
                k += 1
                bucketed = k % 3 == 0
                c.py_record_allocation(64, t + 1, bucketed)
                made[t][0] += 1
                made[t][1] += bucketed
                made[t][2] += t + 1
                c.py_record_deallocation()  # always after its allocation
                made[t][3] += 1

    run(work)
    assert snapshots[0] > 0
    allocations, bucketed, padding, deallocations = (sum(m[i] for m in made) for i in range(4))
    s = c.get_stats()
    assert s == {"total_allocations": allocations, "total_deallocations": deallocations,
                 "bucketed_allocations": bucketed, "fallback_allocations": allocations - bucketed,
                 "bucketed_allocation_ratio": format(bucketed / allocations * 100, ".1f") + "%",
                 "alignment_padding_bytes": padding}, s
    print("ok")
''')


@pytest.mark.parametrize("code, mode", [(HEADER, "claim"), (HEADER, "owned"), (BUCKETS, "conserve"),
                                        (BUCKETS, "reinit"), (STATS, None)],
                         ids=["header-claim", "header-owned", "buckets-conserve", "buckets-reinit", "stats"])
def test_slabkit_stress(run_child, code, mode):
    result = run_child("MODE = %r\n" % mode + code, timeout=120)
    assert result.returncode == 0 and result.stdout == "ok\n", (result.returncode, result.stdout, result.stderr[-3000:])
