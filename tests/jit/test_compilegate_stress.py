"""compilegate under 4 threads at once: decisions, updates, reads and reconfiguration keep thresholds in bounds."""

import textwrap

import pytest
from stress_harness import WORKERS

# Runs in the child: 4 workers started together by a barrier, stopped after VELMORA_STRESS_SECONDS.
PRELUDE = WORKERS + textwrap.dedent('''
    from velmora.jit import compilegate as cg
    from velmora.jit.telemetry_store import TelemetryStore

    FIDS = ["f%d" % i for i in range(16)]

    class NativeStore:
        """A store of native FunctionMetrics records, read by the engine without attribute lookups."""
        def __init__(self):
            self.records = {f: cg.FunctionMetrics(call_count=10**6, compile_count=1) for f in FIDS}
        def get_metrics(self, func_id):
            return self.records[func_id]

    def check_statistics(stats, low, high, initials):
        assert list(stats) == ["tracked_functions", "avg_threshold", "min_threshold", "max_threshold"], stats
        if stats["tracked_functions"] == 0:
            assert stats["avg_threshold"] in initials, stats
        else:
            assert 1 <= stats["tracked_functions"] <= len(FIDS), stats
            assert low <= stats["min_threshold"] <= stats["avg_threshold"] <= stats["max_threshold"] <= high, stats
''')

# Learned thresholds above 256 are fresh int objects, freed when update() replaces them, so a
# reader that borrows one from the dict without holding it meets freed memory.
ENGINE = PRELUDE + textwrap.dedent('''
    LOW, HIGH, INITIAL = 1000, 9000, 5000
    gate = cg.CompileGate(cg.PolicyConfig(initial_threshold=INITIAL, min_threshold=LOW, max_threshold=HIGH,
                                          learning_rate=0.9))
    stores = [NativeStore(), NativeStore()]
    HOT = FIDS[:1]  # one function, so readers keep meeting the very entry being replaced
    answers = [0, 0]

    def work(t, stop):
        rng = random.Random(t)
        while not stop.is_set():
            if t < 2:  # updaters: every update stores a new threshold object
                store = stores[t]
                for k in range(100):
                    f = HOT[k % len(HOT)]
                    gate.update(f, store)
                    if k % 10 == 0:
                        answer = gate.should_compile(f, store)
                        assert answer is True or answer is False
                        answers[t] += 1
                continue
            if t == 2:  # the records change under the engine's reads
                for f in HOT:
                    m = rng.choice(stores).records[f]
                    m.compile_count = rng.randrange(1, 12)
                    m.avg_speedup = rng.choice([0.25, 1.0, 4.0, 16.0])
                    m.call_count = rng.randrange(10**6)
                    m.last_compiled = rng.choice([0.0, time.time()])
                    assert 1 <= m.compile_count <= 11 and m.avg_speedup in (0.25, 1.0, 4.0, 16.0)
            for _ in range(100):
                threshold = gate.get_threshold(rng.choice(HOT))
                assert type(threshold) is int and LOW <= threshold <= HIGH, threshold
            if t == 3:
                check_statistics(gate.get_statistics(), LOW, HIGH, (INITIAL,))

    run(work)
    assert min(answers) > 0, answers
    stats = gate.get_statistics()
    check_statistics(stats, LOW, HIGH, (INITIAL,))
    assert stats["tracked_functions"] > 0
    assert all(LOW <= gate.get_threshold(f) <= HIGH for f in FIDS)
    print("ok")
''')

# The configuration moves between two valid states one attribute at a time, in an order that keeps
# every intermediate state valid too: every threshold stays within [20, 800] whatever is read when.
RECONFIGURE = PRELUDE + textwrap.dedent('''
    config = cg.PolicyConfig(initial_threshold=50, min_threshold=20, max_threshold=80)
    gate = cg.CompileGate(config)
    native, python = NativeStore(), TelemetryStore()
    for f in FIDS:
        python.record_call(f)
        python.record_compile(f, 3.0)
    TO_HIGH = [("max_threshold", 800), ("initial_threshold", 500), ("min_threshold", 200),
               ("learning_rate", 0.9), ("target_speedup", 1.0)]
    TO_LOW = [("min_threshold", 20), ("initial_threshold", 50), ("max_threshold", 80),
              ("learning_rate", 0.1), ("target_speedup", 2.0)]
    moves = [0]

    def work(t, stop):
        rng = random.Random(t)
        while not stop.is_set():
            if t == 3:
                for name, value in TO_HIGH + TO_LOW:
                    setattr(config, name, value)
                    assert getattr(config, name) == value
                moves[0] += 1
                assert 20 <= config.min_threshold <= config.initial_threshold <= config.max_threshold <= 800
                continue
            for _ in range(50):
                f = rng.choice(FIDS)
                store = native if t == 0 else python
                if t < 2:
                    gate.should_compile(f, store)
                    gate.update(f, store)
                    if t == 1:
                        python.record_call(f)
                else:
                    assert 20 <= gate.get_threshold(f) <= 800
            if t == 2:
                check_statistics(gate.get_statistics(), 20, 800, (50, 500))

    run(work)
    assert moves[0] > 0
    check_statistics(gate.get_statistics(), 20, 800, (50, 500))
    print("ok")
''')

# Every thread gets the one engine until a reset; with resets racing, each caller still gets a
# working engine of the default configuration.
SINGLETON = PRELUDE + textwrap.dedent('''
    cg.reset_compilegate()
    first = cg.get_compilegate()
    seen = [set() for _ in range(THREADS)]

    def same(t, stop):
        while not stop.is_set():
            for _ in range(50):
                seen[t].add(id(cg.get_compilegate()))

    run(same)
    assert set.union(*seen) == {id(first)}, "get_compilegate handed out more than one engine"

    def churn(t, stop):
        while not stop.is_set():
            for _ in range(50):
                if t == 0:
                    cg.reset_compilegate()
                else:
                    gate = cg.get_compilegate()
                    assert type(gate) is cg.CompileGate and gate.get_threshold("f") == 100

    run(churn)
    print("ok")
''')


@pytest.mark.parametrize("name", ["ENGINE", "RECONFIGURE", "SINGLETON"])
def test_engine_stress(run_child, name):
    result = run_child(globals()[name], timeout=120)
    assert result.returncode == 0 and result.stdout == "ok\n", (result.returncode, result.stdout, result.stderr[-3000:])
