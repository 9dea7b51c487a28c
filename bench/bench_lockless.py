"""Lock-free primitives against lock-guarded pure-Python twins, the interpreter's call floor and peers.

Twins: the models of tests/reference/lockless.py (each object behind its own threading.Lock; the
statistics on twelve such counters). Peers, where installed: cereggii (AtomicInt64, AtomicRef),
ft_utils (AtomicInt64, AtomicReference; 3.13 and later), and atomic counters in C through cffi and
pybind11, compiled once per interpreter by native_peers.py.
"""

import functools
import os
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import native_peers  # noqa: E402

from velmora.memory import lockless  # noqa: E402

from reference import lockless as model  # noqa: E402

cereggii = harness.import_peer("cereggii")
ft_concurrency = harness.import_peer("ft_utils.concurrency")


def threaded_increments(make_increment, threads, per_thread):
    """Wall time per increment with `threads` threads incrementing one counter; `make_increment()`
    makes the counter and returns its zero-argument increment."""

    def run():
        inc = make_increment()
        barrier = threading.Barrier(threads + 1)

        def work():
            barrier.wait()
            for _ in range(per_thread):
                inc()

        pool = [threading.Thread(target=work) for _ in range(threads)]
        for t in pool:
            t.start()
        barrier.wait()
        start = time.perf_counter()
        for t in pool:
            t.join()
        return time.perf_counter() - start

    return run


def counter_peers():
    """name -> zero-argument factory of an increment callable (None when the peer is absent), and the
    namespace entries for the single-thread statements."""
    ns, makers, stmts = {}, {}, {}
    if cereggii is not None:
        ns["gi"] = cereggii.AtomicInt64(0)
        makers["cereggii"] = lambda: cereggii.AtomicInt64(0).increment_and_get
    if ft_concurrency is not None:
        ns["fi"] = ft_concurrency.AtomicInt64(0)
        makers["ft_utils"] = lambda: ft_concurrency.AtomicInt64(0).incr
    cffi = native_peers.cffi_counter()
    if cffi is not None:
        lib, ffi = cffi
        ns.update(c_inc=lib.counter_increment, c_load=lib.counter_load, cp=ffi.new("int64_t *"))
        makers["cffi"] = lambda: functools.partial(lib.counter_increment, ffi.new("int64_t *"))
    pybind = native_peers.pybind11_counter()
    if pybind is not None:
        ns["pi"] = pybind.Counter(0)
        makers["pybind11"] = lambda: pybind.Counter(0).increment
    for name in ("cereggii", "ft_utils", "cffi", "pybind11"):
        makers.setdefault(name, None)
    stmts["increment"] = {"cereggii": "gi.increment_and_get()", "ft_utils": "fi.incr()", "cffi": "c_inc(cp)",
                          "pybind11": "pi.increment()"}
    stmts["load"] = {"cereggii": "gi.get()", "ft_utils": "fi.get()", "cffi": "c_load(cp)", "pybind11": "pi.load()"}
    return ns, makers, stmts


def register(bench):
    obj = object()
    ns = {
        "c": lockless.AtomicCounter(), "tc": model.Counter(), "n": 5, "d": {},
        "p": lockless.AtomicPointer(1), "tp": model.Pointer(1), "obj": obj,
        "pc": lockless.AtomicPointer(obj), "tpc": model.Pointer(obj),
        "s": lockless.LockFreeStack(), "ts": model.Stack(),
        "st": lockless.LockFreeStatistics(), "tst": model.Statistics(),
    }
    peer_ns, makers, stmts = counter_peers()
    ns.update(peer_ns)
    if cereggii is not None:
        ns.update(gr=cereggii.AtomicRef(1), grc=cereggii.AtomicRef(obj))
    if ft_concurrency is not None:
        ns.update(fr=ft_concurrency.AtomicReference(1), frc=ft_concurrency.AtomicReference(obj))

    def present(table):
        """The peer statements whose module is installed; the others stay None (absent)."""
        return {name: (stmt if makers[name] is not None else None) for name, stmt in table.items()}

    ref_peers = {"cereggii": cereggii is not None, "ft_utils": ft_concurrency is not None}

    def ref(**stmts_by_peer):
        return {name: (stmt if ref_peers[name] else None) for name, stmt in stmts_by_peer.items()}

    op = bench.op
    op("AtomicCounter.increment()", "c.increment()", twin="tc.increment()", floor="n.bit_length()", ns=ns,
       peers=present(stmts["increment"]), floor_max=1.75, twin_min=5.0, peer_min=1.0)
    op("AtomicCounter.load()", "c.load()", twin="tc.load()", floor="n.bit_length()", ns=ns,
       peers=present(stmts["load"]), floor_max=1.75, twin_min=5.0, peer_min=1.0)
    op("AtomicCounter.compare_and_swap(a, b)", "c.compare_and_swap(7, 7)", twin="tc.compare_and_swap(7, 7)",
       floor="d.get(1, None)", ns=ns, peers={"cereggii": "gi.compare_and_set(7, 7)" if cereggii else None},
       floor_max=1.5, twin_min=5.0)
    op("AtomicPointer.load()", "p.load()", twin="tp.load()", floor="n.bit_length()", ns=ns,
       peers=ref(cereggii="gr.get()", ft_utils="fr.get()"), floor_max=1.75, peer_min=1.0)
    op("AtomicPointer.store(x)", "p.store(obj)", twin="tp.store(obj)", floor="d.get(1)", ns=ns,
       peers=ref(cereggii="gr.set(obj)", ft_utils="fr.set(obj)"), peer_min=1.0)
    op("AtomicPointer.compare_and_swap(a, b)", "pc.compare_and_swap(obj, obj)", twin="tpc.compare_and_swap(obj, obj)",
       floor="d.get(1, None)", ns=ns,
       peers=ref(cereggii="grc.compare_and_set(obj, obj)", ft_utils="frc.compare_exchange(obj, obj)"), peer_min=1.0)
    op("LockFreeStack.push(x) + pop()", "s.push(obj); s.pop()", twin="ts.push(obj); ts.pop()",
       floor="n.bit_length(); n.bit_length()", ns=ns)
    op("LockFreeStack.size()", "s.size()", twin="ts.size()", floor="n.bit_length()", ns=ns)
    op("LockFreeStatistics.record_allocation(size)", "st.record_allocation(64)",
       twin="tst.record_allocation(64)", floor="d.get(1)", ns=ns, twin_min=10.0)
    op("LockFreeStatistics.get_snapshot()", "st.get_snapshot()", twin="tst.get_snapshot()",
       floor="n.bit_length()", ns=ns)
    per_thread = 20000 if bench.quick else 100000
    for threads in (2, 4):
        op("AtomicCounter.increment() x%d threads" % threads,
           threaded_increments(lambda: lockless.AtomicCounter().increment, threads, per_thread),
           twin=threaded_increments(lambda: model.Counter().increment, threads, per_thread),
           peers={name: (threaded_increments(make, threads, per_thread) if make is not None else None)
                  for name, make in makers.items()},
           number=1, ops_per_call=threads * per_thread, peer_min=1.0 if threads == 2 else None)


if __name__ == "__main__":
    sys.exit(harness.main(register))
