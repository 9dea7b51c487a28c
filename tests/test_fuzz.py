"""tools/fuzz.py catches each kind of failure it exists for, repeats a batch exactly and reaches all nine modules."""

import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

FUZZ = Path(__file__).resolve().parents[1] / "tools" / "fuzz.py"


def _load_fuzz():
    found = importlib.util.spec_from_file_location("velmora_fuzz_tool", FUZZ)
    mod = importlib.util.module_from_spec(found)
    found.loader.exec_module(mod)
    return mod


fuzz = _load_fuzz()


def fuzz_env():
    return dict(os.environ, PYTHONHASHSEED="0")


def run_tool(*args, timeout=120):
    return subprocess.run([sys.executable, str(FUZZ), *args], capture_output=True, text=True, timeout=timeout)


@pytest.mark.parametrize(
    "kind, expected",
    [
        ("crash", r"FAIL \[crash\] .*(SIGSEGV|AddressSanitizer: SEGV)"),
        ("exit", r"FAIL \[crash\] .*exit status 3"),
        ("hang", r"FAIL \[hang\] .*no call finished for 1 s"),
        ("systemerror", r"FAIL \[systemerror\] .*error return without exception set"),
        ("lock", r"FAIL \[lock\] .*instance attribute __enter__ of its lock"),
    ],
)
def test_each_kind_of_failure_is_reported_with_its_call_and_replay(kind, expected):
    r = run_tool("--selftest", kind, "--hang-seconds", "1")
    assert r.returncode == 1, r.stdout + r.stderr
    assert re.search(expected, r.stdout), r.stdout
    assert "call:   selftest.%s(step=5)" % kind in r.stdout
    assert "--replay selftest-%s:1:0:5" % kind in r.stdout


def test_replay_repeats_the_failing_call():
    r = run_tool("--replay", "selftest-systemerror:1:0:5")
    assert r.returncode == 1
    assert "call:   selftest.systemerror(step=5)" in r.stdout


def test_short_run_reaches_every_module_without_a_fuzzer_error():
    r = run_tool("--module", "all", "--steps", "1000", "--seed", "1", "--hang-seconds", "5")
    # Faults of the native modules make it exit 1 and are the fuzz step's business; the tool
    # itself must finish its summary and must not have failed.
    assert r.returncode in (0, 1), r.stdout + r.stderr
    assert "fuzzer error" not in r.stdout
    counts = dict(kv.split("=") for kv in re.search(r"steps by module: (.*)", r.stdout).group(1).split(", "))
    assert sorted(counts) == sorted(fuzz.MODULES)
    assert all(int(n) > 0 for n in counts.values())


def test_a_batch_depends_on_its_seed_and_number_alone(tmp_path):
    def steps(name, seed):
        log = tmp_path / name
        subprocess.run([sys.executable, "-W", "ignore", str(FUZZ), "--child", "all", "--seed", str(seed),
                        "--batch", "0", "--log", str(log), "--steps", "300"], timeout=120, env=fuzz_env())
        return [ln for ln in log.read_text(encoding="utf-8").splitlines() if ln.startswith("S ")]

    first = steps("a.log", 5)
    assert len(first) >= 300
    assert steps("b.log", 5) == first
    assert steps("c.log", 6) != first


@pytest.mark.parametrize(
    "name, annotation, hint",
    [
        ("size", "int", "int"),
        ("alignment", "SupportsInt", "int"),
        ("headroom_ratio", "_Float", "float"),
        ("is_bucketed", "bool", "bool"),
        ("gpu_available", "object", "bool"),
        ("framework", "Optional[str]", "framework"),
        ("block", "MemoryBlock", "block"),
        ("shape", "Tuple[object, ...]", "shape"),
        ("allocation_history", "list", "samples"),
        ("num_counters", "Any", "count"),
        ("initial_value", "object", "any"),
        ("initial_value", "int", "int"),
        ("item", "", "any"),
    ],
)
def test_parameter_hints_follow_names_and_annotations(name, annotation, hint):
    assert fuzz.hint_for(name, annotation) == hint


@pytest.mark.parametrize(
    "args, allowed",
    [
        ((), True),  # defaults: 512 buckets
        ((8, 256, 4096), True),
        ((1, 2 ** 31 - 1, 2 ** 31 - 1), False),  # two thousand million buckets
        ((34, -2 ** 31), False),  # the range runs up from the minimum
        ((0, 256, 4096), True),  # refused by the allocator at once
        ((2 ** 40,), True),  # out of range: refused by the conversion
    ],
)
def test_bucket_allocator_guard_refuses_only_huge_bucket_counts(args, allowed):
    assert fuzz._guard_for("FastBucketAllocator")(list(args), {}) is allowed


def test_hostile_integer_conversions_count_towards_the_guard():
    fz = fuzz.Fuzzer("all", 1, 0, fuzz.Log(None), [])
    evil, _ = fz.gen.evil("int", num=8)
    object.__getattribute__(evil, "__dict__")["_fuzz_plan"]["__int__"] = ("val", 2 ** 31 - 1, "2**31-1")
    assert fuzz._guard_for("FastBucketAllocator")([1, evil], {}) is False


def test_overlapping_patches_restore_the_true_original():
    import types

    fz = fuzz.Fuzzer("all", 1, 0, fuzz.Log(None), [])
    mod = types.ModuleType("victim")
    mod.threading = original = object()
    fz.patch(mod, "threading", "first", 2)
    fz.patch(mod, "threading", "second", 1)
    fz.patch(mod, "threading", fuzz._MISSING, 1)
    assert not hasattr(mod, "threading")
    fz.expire_patches()
    assert not hasattr(mod, "threading")  # the longest window holds the latest value
    fz.expire_patches()
    assert mod.threading is original
    assert fz.patches == []


def test_deep_unit_finds_the_containers_that_keep_an_object():
    fz = fuzz.Fuzzer("deep", 1, 0, fuzz.Log(None), sorted(fuzz.MODULES))
    labels = {label for label, _ in fuzz.deep_candidates(fz)}
    assert {"AtomicPointer(initial_value)", "AtomicPointer.store", "LockFreeStack.push",
            "FastRedBlackTree.insert"} <= labels
    assert not any(label.startswith(("AtomicCounter", "CounterAggregator")) for label in labels)


def test_plans_misbehave_only_after_their_count():
    fz = fuzz.Fuzzer("all", 1, 0, fuzz.Log(None), [])
    evil, _ = fz.gen.evil("int", num=5)
    object.__getattribute__(evil, "__dict__")["_fuzz_plan"]["__index__"] = ("nth", 2, ("raise", KeyError))
    assert [evil.__index__(), evil.__index__()] == [5, 5]
    with pytest.raises(KeyError):
        evil.__index__()


@pytest.mark.parametrize(
    "patterns, ignored",
    [
        (["hang"], True),
        (["hang:CompileGate.update"], True),
        (["hang:CompileGate"], True),
        (["hang:CompileGate.should_compile"], False),
        (["crash"], False),
        ([], False),
    ],
)
def test_ignore_patterns_match_kind_and_call_prefix(patterns, ignored):
    res = fuzz.Result("compilegate", 1, 0, "hang", 12, "CompileGate#4.update('f1', <store>)", "no call finished")
    assert fuzz._ignored(res, patterns) is ignored


@pytest.mark.parametrize(
    "kind, patterns, ignored",
    [
        ("hang", ["hang:LockFreeStatistics._update_peaks"], True),   # the re-entered call did not return
        ("hang", ["hang:LockFreeStatistics.reset"], True),           # nor did the step's own call
        ("hang", ["hang:LockFreeStatistics.record_allocation"], False),
        ("crash", ["crash:LockFreeStatistics._update_peaks"], False),  # only a hang goes by the inner call
    ],
)
def test_a_hang_is_also_matched_by_its_last_inner_call(kind, patterns, ignored):
    res = fuzz.Result("lockless", 1, 0, kind, 7, "LockFreeStatistics#3.reset(<no arguments>)", "no call finished")
    res.nested = ["Evil#9(store=re-enter).load: AtomicCounter#2.load()",
                  "Evil#9(store=re-enter).store: LockFreeStatistics#3._update_peaks(2**64-1, 25)"]
    assert fuzz._ignored(res, patterns) is ignored


@pytest.mark.parametrize(
    "last, ignored",
    [
        # the re-entered object is not in the pool, so it is labelled by its type
        ("Evil#4559(compare_and_swap=return None, load=re-enter).load: "
         "<LockFreeStatistics>._update_peaks(17, 5)", True),
        # the hook's own description holds ': ' before the hook's name
        ("Evil#4392(__getitem__=after 2: re-enter, __del__=re-enter).__del__: "
         "LockFreeStatistics#3._update_peaks(Evil#7(__le__=after 3: raise OverflowError), 2)", True),
        # a subclass the fuzzer made of ours
        ("Evil#2227(__eq__=return None, store=replace holder).__del__: "
         "<LockFreeStatisticsSub>._update_peaks(50, current_bytes=1047)", True),
        ("Evil#4392(__getitem__=after 2: re-enter, __del__=re-enter).__del__: "
         "<LockFreeStack>.pop()", False),
    ],
)
def test_a_hang_inside_a_hook_is_matched_by_the_hooked_call(last, ignored):
    res = fuzz.Result("lockless", 1, 0, "hang", 7, "gc.collect()", "no call finished")
    res.nested = ["Evil#9(store=re-enter).load: AtomicCounter#2.load()", last]
    assert fuzz._ignored(res, ["hang:LockFreeStatistics._update_peaks"]) is ignored


@pytest.mark.parametrize("fresh_each_try", [False, True], ids=["same stand-in", "a new stand-in each try"])
def test_a_peak_loop_on_counters_whose_swap_never_succeeds_ends_within_the_step(monkeypatch, fresh_each_try):
    from velmora.memory import lockless

    fz = fuzz.Fuzzer("all", 1, 0, fuzz.Log(None), [])
    monkeypatch.setattr(fuzz, "CTX", fz)

    def failing_counter():
        evil, _ = fz.gen.evil("duck", role="counter")
        plan = object.__getattribute__(evil, "__dict__")["_fuzz_plan"]
        plan.clear()
        plan["load"] = ("val", 0, "0")
        plan["compare_and_swap"] = ("val", False, "False")
        return evil

    class Fresh:  # each swap is asked of a new stand-in
        def load(self):
            return 0

        def compare_and_swap(self, expected, new):
            return failing_counter().compare_and_swap(expected, new)

    stats = lockless.LockFreeStatistics()
    stats.peak_allocations = Fresh() if fresh_each_try else failing_counter()
    fz.top("stats._update_peaks(5, 5)")
    with pytest.raises(fuzz.GaveUp):
        stats._update_peaks(5, 5)
    assert fz.swaps == fuzz.SWAP_TRIES + 1
    fz.top("next step")
    assert fz.swaps == 0
