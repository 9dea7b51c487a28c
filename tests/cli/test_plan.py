"""`velmora plan`: devicefit's decisions made self-consistent, every number explained."""

import json
import math
import re

import pytest
from hypothesis import given, settings, strategies as st

from velmora.cli.plan import CHUNKABLE_OPERATIONS, KNOWN_OPERATIONS, WHOLE_ARRAY_OPERATIONS
from velmora.gpu import devicefit


def plan_json(in_process, *args):
    status, out, err = in_process("plan", "--json", *args)
    assert status == 0, err
    return json.loads(out)


def test_an_array_that_does_not_fit_is_made_in_passes(in_process):
    plan = plan_json(in_process, "--shape", "20000,20000", "--available", "1000000000")
    assert plan["bytes_needed"] == 3_200_000_000 and plan["safe_limit"] == 800_000_000
    assert (plan["strategy"], plan["passes"], plan["rows_per_pass"]) == ("GPU_CHUNKED", 4, 5000)
    assert plan["devicefit"]["chunk_count"] == 4 and plan["devicefit"]["message"] == "Chunking into 4 GPU passes"
    assert plan["message"] == "Chunking into 4 GPU passes of at most 5000 rows"
    assert plan["chunk_shapes"] == [{"shape": [5000, 20000], "count": 4}]
    status, text, _ = in_process("plan", "--shape", "20000,20000", "--available", "1000000000")
    assert "GPU_CHUNKED: 4 GPU passes" in text and "(5000, 20000) x 4" in text


def test_pass_count_strategy_text_and_shapes_agree_when_rows_round_up(in_process):
    plan = plan_json(in_process, "--shape", "10,4", "--available", "100")
    assert plan["devicefit"]["chunk_count"] == 4  # bytes alone: 320 / 80
    assert plan["passes"] == 5 == sum(g["count"] for g in plan["chunk_shapes"])
    assert plan["chunk_shapes"] == [{"shape": [2, 4], "count": 5}] and plan["message"].startswith("Chunking into 5 ")
    _, text, _ = in_process("plan", "--shape", "10,4", "--available", "100")
    assert re.search(r"strategy\s+GPU_CHUNKED: 5 GPU passes", text)
    assert re.search(r"pass shapes\s+\(2, 4\) x 5", text) and re.search(r"byte minimum\s+4 passes", text)
    assert "Chunking into 4" not in text


def test_a_row_larger_than_the_safe_limit_is_not_planned_as_gpu_passes(in_process):
    plan = plan_json(in_process, "--shape", "20000,20000", "--available", "16k")
    assert plan["safe_limit"] == 13107 and plan["row_bytes"] == 160000
    assert plan["devicefit"]["strategy"] == "GPU_CHUNKED"
    assert (plan["strategy"], plan["feasible"], plan["passes"], plan["chunk_shapes"]) == (
        "CPU_FALLBACK", False, 0, None)
    assert "(1, 20000)" in plan["problem"] and "156.25 KiB" in plan["problem"] and "12.80 KiB" in plan["problem"]
    _, text, _ = in_process("plan", "--shape", "20000,20000", "--available", "16k")
    assert re.search(r"strategy\s+CPU_FALLBACK\s+one slice along the first axis", text)
    assert not re.search(r"strategy\s+GPU_CHUNKED", text) and "pass shapes" not in text


@pytest.mark.parametrize("op, hint", [("zero", "did you mean 'zeros'?"), ("randn", "did you mean 'random.randn'"),
                                      ("frobnicate", "")])
def test_an_unknown_operation_is_refused_with_the_known_ones(velmora_cmd, op, hint):
    done = velmora_cmd("plan", "--shape", "10", "--op", op)
    assert done.returncode == 2 and done.stdout == ""
    (line,) = done.stderr.splitlines()
    assert "unknown operation %r" % op in line and hint in line and "known operations: zeros, ones" in line


@pytest.mark.parametrize("args", [
    ["--shape", "20000,20000", "--available", "1000000000"],
    ["--shape", "10,4", "--available", "100", "--overhead", "2"],
    ["--shape", "1000,1000", "--available", "16GiB"],
    ["--shape", "20000,20000", "--available", "1GB", "--op", "matmul"],
    ["--shape", "20000,20000", "--available", "16k"],
    ["--shape", "10", "--available", "0"],
])
def test_every_line_of_the_plan_explains_its_number(in_process, args):
    status, text, _ = in_process("plan", *args)
    assert status == 0
    for line in text.splitlines():
        assert len(re.split(r"\s{2,}", line.strip())) >= 3, line


def test_overhead_applies_to_every_pass(in_process):
    plan = plan_json(in_process, "--shape", "10,4", "--available", "100", "--overhead", "2")
    assert plan["bytes_needed"] == 640 and (plan["rows_per_pass"], plan["passes"]) == (1, 10)
    assert plan["pass_bytes"] * 2 <= plan["safe_limit"]


def test_huge_pass_lists_are_worked_out_not_listed(in_process):
    plan = plan_json(in_process, "--shape", "2000000000,1", "--available", "100")
    assert plan["strategy"] == "GPU_CHUNKED" and plan["passes"] == 200_000_000
    assert plan["chunk_shapes"] == [{"shape": [10, 1], "count": 200_000_000}]
    assert "worked out from the row count" in plan["chunk_shapes_note"]


@pytest.mark.parametrize("args, strategy, message", [
    (["--shape", "1000,1000", "--available", "16GiB"], "GPU_DIRECT", "Allocation fits in GPU memory"),
    (["--shape", "20000,20000", "--available", "1GB", "--op", "matmul"], "CPU_FALLBACK",
     "Operation not chunkable, falling back to CPU"),
    (["--shape", "10", "--available", "0"], "CPU_FALLBACK", "No GPU memory available"),
])
def test_plan_strategies(in_process, args, strategy, message):
    plan = plan_json(in_process, *args)
    assert (plan["strategy"], plan["message"]) == (strategy, message)


@pytest.mark.parametrize("text, expected", [
    ("1000", 1000), ("16GiB", 16 * 2**30), ("16G", 16 * 2**30), ("16GB", 16 * 10**9), ("1.5KiB", 1536),
    ("512 mb", 512 * 10**6), ("0", 0), ("18446744073709551615", 2**64 - 1),
])
def test_available_accepts_byte_counts_with_units(in_process, text, expected):
    assert plan_json(in_process, "--shape", "10", "--available", text)["available_bytes"] == expected


def test_the_operation_lists_are_devicefits():
    assert all(devicefit.is_chunkable_operation(op) for op in CHUNKABLE_OPERATIONS)
    assert not any(devicefit.is_chunkable_operation(op) for op in WHOLE_ARRAY_OPERATIONS)
    assert [devicefit.score_gpu_suitability(800, op, 1000, 0.0) for op in ("zeros", "sort", "other")] == [
        0.9, 0.7, 0.5]  # the three operation factors the plan explains
    assert len(set(KNOWN_OPERATIONS)) == 24


def test_plan_auto_reads_the_gpu_or_says_there_is_none(velmora_cmd):
    done = velmora_cmd("plan", "--shape", "20000,20000", "--json")
    assert done.returncode == 0
    plan = json.loads(done.stdout)
    assert plan["available_source"] == "registry"
    if plan["gpu"]["device"] is None:
        assert plan["available_bytes"] == 0 and plan["strategy"] == "CPU_FALLBACK"
        text = velmora_cmd("plan", "--shape", "20000,20000")
        assert len(text.stderr.splitlines()) == 1 and "no GPU on this host" in text.stderr
    else:
        assert plan["available_bytes"] > 0


@settings(max_examples=80, deadline=None)
@given(shape=st.lists(st.integers(0, 3000), min_size=1, max_size=3), itemsize=st.integers(1, 16),
       available=st.integers(0, 10**9), headroom=st.sampled_from([0.0, 0.1, 0.2, 0.35, 0.5, 0.9, 0.99]),
       op=st.sampled_from(["zeros", "random.rand", "matmul", "sort", "linspace"]),
       overhead=st.sampled_from([1.0, 1.5, 3.0]))
def test_plan_matches_the_model(in_process, shape, itemsize, available, headroom, op, overhead):
    plan = plan_json(in_process, "--shape", ",".join(map(str, shape)), "--itemsize", itemsize, "--available",
                     available, "--headroom", repr(headroom), "--op", op, "--overhead", repr(overhead))
    raw = math.prod(shape) * itemsize
    needed = int(raw * overhead) if overhead > 1.0 and raw else raw
    safe = int(available * (1.0 - headroom))
    chunkable = op in ("zeros", "random.rand", "linspace")
    assert (plan["bytes_needed"], plan["safe_limit"], plan["chunkable"]) == (needed, safe, chunkable)
    if safe == 0 or (safe < needed and not chunkable):
        assert (plan["strategy"], plan["passes"]) == ("CPU_FALLBACK", 0)
    elif safe >= needed:
        assert (plan["strategy"], plan["passes"], plan["chunk_shapes"]) == ("GPU_DIRECT", 1, None)
    else:
        row = itemsize * math.prod(shape[1:])
        budget = int(safe / overhead) if overhead > 1.0 else safe
        assert plan["devicefit"]["chunk_count"] == math.ceil(needed / safe)
        if row > budget:
            assert (plan["strategy"], plan["feasible"], plan["passes"]) == ("CPU_FALLBACK", False, 0)
            return
        per = min(budget // row, shape[0])
        assert (plan["strategy"], plan["rows_per_pass"]) == ("GPU_CHUNKED", per)
        rows = [g["shape"][0] for g in plan["chunk_shapes"] for _ in range(g["count"])]
        assert len(rows) == plan["passes"] == math.ceil(shape[0] / per) >= plan["devicefit"]["chunk_count"] or \
            overhead > 1.0
        assert sum(rows) == shape[0] and all(r == per for r in rows[:-1]) and 0 < rows[-1] <= per
        assert per * row * overhead <= safe + 1e-9
        assert all(g["shape"][1:] == shape[1:] for g in plan["chunk_shapes"])
