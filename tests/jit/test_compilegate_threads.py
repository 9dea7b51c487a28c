"""CompileGate under many threads: no errors, learned thresholds stay within the configured bounds."""

import random
import threading

from velmora.jit import compilegate as cg
from velmora.jit.telemetry_store import TelemetryStore

THREADS = 8
ROUNDS = 300
TIMEOUT = 60.0


def run_threads(worker):
    errors, barrier = [], threading.Barrier(THREADS, timeout=TIMEOUT)

    def body(index):
        try:
            barrier.wait()
            worker(index)
        except BaseException as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(i,), daemon=True) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(TIMEOUT)
    assert not any(t.is_alive() for t in threads), "threads did not finish in time"
    assert errors == []


def test_should_compile_and_update_from_many_threads():
    cfg = cg.PolicyConfig(initial_threshold=50, min_threshold=20, max_threshold=80, learning_rate=0.9)
    gate, store = cg.CompileGate(cfg), TelemetryStore()
    func_ids = [f"f{i}" for i in range(5)]
    answers = []

    def worker(index):
        rng = random.Random(index)
        for _ in range(ROUNDS):
            func_id = rng.choice(func_ids)
            store.record_call(func_id, execution_time_ms=1.0)
            answer = gate.should_compile(func_id, store)
            answers.append(answer)
            if answer:
                store.record_compile(func_id, rng.choice([0.5, 1.0, 4.0, 8.0]))
            gate.update(func_id, store)
            assert 20 <= gate.get_threshold(func_id) <= 80
            gate.get_statistics()

    run_threads(worker)
    stats = gate.get_statistics()
    assert 1 <= stats["tracked_functions"] <= len(func_ids)
    assert 20 <= stats["min_threshold"] <= stats["avg_threshold"] <= stats["max_threshold"] <= 80
    assert sum(store.get_metrics(f).call_count for f in func_ids) == THREADS * ROUNDS
    # every function passes its threshold (at most 80 of ~480 calls) and is compiled at least once
    assert len(answers) == THREADS * ROUNDS and answers.count(True) >= len(func_ids)
    assert all(store.get_metrics(f).compile_count >= 1 for f in func_ids)


def test_singleton_is_shared_between_threads():
    cg.reset_compilegate()
    seen = []

    def worker(index):
        for _ in range(ROUNDS // 10):
            seen.append(cg.get_compilegate())

    run_threads(worker)
    assert len(seen) == THREADS * (ROUNDS // 10) and all(g is seen[0] for g in seen)

    def churn(index):
        for _ in range(ROUNDS // 10):
            if index % 2:
                cg.reset_compilegate()
            else:
                assert cg.get_compilegate().get_threshold("f") == 100

    run_threads(churn)
