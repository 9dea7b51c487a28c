"""`velmora plan`: how an array would be placed on the GPU, from devicefit's decisions.

devicefit decides the strategy from byte counts alone (``decide_allocation_strategy``) and cuts an
array into passes of whole rows along its first axis (``compute_chunk_shapes``). The plan shown
here reconciles the two: the pass count is the number of row chunks (which can exceed devicefit's
byte-level count, since a pass holds whole rows), and when a single row does not fit the safe
limit the plan says that chunking along the first axis cannot work on that device instead of
presenting devicefit's GPU_CHUNKED answer as a plan.
"""

from __future__ import annotations

import argparse
import difflib
import json
import sys
from typing import Any, Dict, List, Optional, Sequence, Tuple

from velmora._table import render_table
from velmora.cli._common import (
    INT32_MAX,
    INT64_MAX,
    PROG,
    bytes_text,
    float_in,
    human_bytes,
    import_native,
    one_line,
    parse_size,
    positive_int,
    write,
)

DEFAULT_HEADROOM = 0.2
DEFAULT_OPERATION = "zeros"
SHAPE_LIST_LIMIT = 100_000  # beyond this many passes the shapes are worked out from the row count

# devicefit's operation sets (module-private there): creation can be done pass by pass; the others
# need the whole array at once.
CHUNKABLE_OPERATIONS = ("zeros", "ones", "empty", "full", "random.randn", "random.rand", "random.random",
                        "random.standard_normal", "random.uniform", "arange", "linspace")
WHOLE_ARRAY_OPERATIONS = ("matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals", "solve", "inv",
                          "sort", "argsort")
KNOWN_OPERATIONS = CHUNKABLE_OPERATIONS + WHOLE_ARRAY_OPERATIONS


def parse_shape(text: str) -> Tuple[int, ...]:
    parts = [p.strip() for p in text.replace("x", ",").split(",")]
    if not parts or any(p == "" for p in parts):
        raise argparse.ArgumentTypeError("expected comma-separated dimensions such as 20000,20000, got %r" % text)
    dims = []
    for p in parts:
        if not p.isdigit() or not p.isascii():
            raise argparse.ArgumentTypeError("dimension %r is not a non-negative integer" % p)
        d = int(p)
        if d > INT32_MAX:
            raise argparse.ArgumentTypeError("dimension %d exceeds %d" % (d, INT32_MAX))
        dims.append(d)
    return tuple(dims)


def parse_available(text: str) -> Optional[int]:
    """`auto` (None) or a byte count: digits with an optional unit (K/M/G/T or KiB.. binary, KB.. decimal)."""
    if text.strip().lower() == "auto":
        return None
    try:
        return parse_size(text)
    except argparse.ArgumentTypeError as exc:
        # B904: the cause stays chained implicitly (__context__), as callers have always seen it.
        raise argparse.ArgumentTypeError(str(exc).replace("16GiB,", "16GiB or 'auto',"))  # noqa: B904


def parse_operation(text: str) -> str:
    if text in KNOWN_OPERATIONS:
        return text
    close = [k for k in KNOWN_OPERATIONS if k.rsplit(".", 1)[-1] == text]  # "randn" for "random.randn"
    close += [k for k in difflib.get_close_matches(text, KNOWN_OPERATIONS, n=3, cutoff=0.6) if k not in close]
    hint = ("did you mean %s? " % " or ".join(repr(c) for c in close)) if close else ""
    raise argparse.ArgumentTypeError("unknown operation %r; %sknown operations: %s" % (
        text, hint, ", ".join(KNOWN_OPERATIONS)))


def gpu_memory_from_registry() -> Dict[str, Any]:
    """Memory of the GPU an array would be placed on (device 0 of the preferred backend).

    The backend registry reports each device's total memory, not its free memory; the plan uses
    the total and says so. `device` is None when the host has no GPU backend.
    """
    try:
        from velmora.gpu.backend_registry import GPUBackendKind, GPUBackendRegistry

        best = GPUBackendRegistry.get_best_available()
    except Exception as exc:
        return {"device": None, "bytes": 0, "note": "the GPU backend registry failed: %s" % one_line(exc)}
    info: Any = best.info
    if info.kind is GPUBackendKind.CPU:
        return {"device": None, "bytes": 0, "note": "no GPU on this host (the backend registry found only the CPU)"}
    devices = tuple(getattr(info, "devices", ()) or ())
    first = devices[0] if devices else None
    size = int(getattr(first, "memory_bytes", 0) or 0)
    if size == 0 and info.device_count:  # per-device size unknown: share the backend total evenly
        size = int(float(info.memory_gb) * (1 << 30) / int(info.device_count))
    name = getattr(first, "name", "") or ""
    label = "%s device 0%s" % (info.kind.value, (" (%s)" % name) if name else "")
    return {"device": label, "bytes": size,
            "note": "total memory of %s; the registry reports no free-memory figure" % label}


def shape_text(shape: Sequence[int]) -> str:
    return "(" + ", ".join(str(d) for d in shape) + ("," if len(shape) == 1 else "") + ")"


def _group_shapes(shapes: Sequence[Sequence[Any]]) -> List[Dict[str, Any]]:
    groups: List[Dict[str, Any]] = []
    for s in shapes:
        if groups and groups[-1]["shape"] == list(s):
            groups[-1]["count"] += 1
        else:
            groups.append({"shape": list(s), "count": 1})
    return groups


def groups_text(groups: Sequence[Dict[str, Any]]) -> str:
    return ", ".join("%s x %d" % (shape_text(g["shape"]), g["count"]) if g["count"] > 1 else shape_text(g["shape"])
                     for g in groups)


def _passes(df: Any, shape: Tuple[int, ...], itemsize: int, overhead: float, safe: int) -> Dict[str, Any]:
    """How a chunked plan cuts the array: rows per pass, pass count, grouped shapes, or why it cannot."""
    out: Dict[str, Any] = {"feasible": True, "row_bytes": None, "rows_per_pass": None, "passes": None,
                           "pass_bytes": None, "chunk_shapes": None, "chunk_shapes_note": None, "problem": None}
    if not shape:
        out.update(feasible=False, problem="a scalar of %s cannot be split, and it exceeds the safe limit of %s"
                   % (human_bytes(itemsize), human_bytes(safe)))
        return out
    row = itemsize
    for d in shape[1:]:
        row *= d
    out["row_bytes"] = row
    # Each pass carries the same overhead factor as the whole estimate.
    budget = int(safe / overhead) if overhead > 1.0 else safe
    if row > budget:
        slice_shape = shape_text((1,) + tuple(shape[1:]))
        out.update(feasible=False, problem="one slice along the first axis, %s, needs %s%s, more than the safe "
                   "limit of %s: the array cannot be cut into passes along its first axis on this device" % (
                       slice_shape, human_bytes(row), " with the overhead" if overhead > 1.0 else "",
                       human_bytes(safe)))
        return out
    rows = min(budget // row, shape[0])
    passes = -(-shape[0] // rows)
    out.update(rows_per_pass=rows, passes=passes, pass_bytes=rows * row)
    last = shape[0] - rows * (passes - 1)
    tail = list(shape[1:])
    if passes <= SHAPE_LIST_LIMIT and budget // row <= INT32_MAX:
        out["chunk_shapes"] = _group_shapes(df.compute_chunk_shapes(shape, itemsize, budget))
    else:
        groups = [{"shape": [rows] + tail, "count": passes - (last != rows)}]
        if last != rows:
            groups.append({"shape": [last] + tail, "count": 1})
        out["chunk_shapes"] = groups
        out["chunk_shapes_note"] = "worked out from the row count (devicefit lists shapes up to %d passes)" % (
            SHAPE_LIST_LIMIT)
    return out


def build_plan(df: Any, shape: Tuple[int, ...], itemsize: int, operation: str, available: int, headroom: float,
               overhead: float) -> Dict[str, Any]:
    chunkable = bool(df.is_chunkable_operation(operation))
    needed = df.estimate_allocation_bytes(shape, itemsize, overhead)
    safe = df.calculate_safe_limit(available, headroom)
    code, chunk_size, chunk_count, message = df.decide_allocation_strategy(needed, available, headroom, chunkable)
    names = {df.GPU_DIRECT: "GPU_DIRECT", df.GPU_CHUNKED: "GPU_CHUNKED", df.CPU_FALLBACK: "CPU_FALLBACK"}
    suitability = df.score_gpu_suitability(needed, operation, available, headroom)
    factor = 0.9 if chunkable else 0.7 if operation in WHOLE_ARRAY_OPERATIONS else 0.5
    plan: Dict[str, Any] = {
        "shape": list(shape), "itemsize": itemsize, "overhead": overhead,
        "operation": operation, "chunkable": chunkable,
        "bytes_needed": needed, "saturated": needed == INT64_MAX,
        "available_bytes": available, "headroom": headroom, "safe_limit": safe,
        "devicefit": {"strategy": names.get(code, str(code)), "strategy_code": code, "chunk_size": chunk_size,
                      "chunk_count": chunk_count, "message": message},
        "strategy": names.get(code, str(code)), "feasible": True, "message": message, "problem": None,
        "passes": 0 if code == df.CPU_FALLBACK else 1, "rows_per_pass": None, "row_bytes": None, "pass_bytes": None,
        "chunk_shapes": None, "chunk_shapes_note": None,
        "gpu_suitability": suitability,
        "suitability": {"operation_factor": factor, "size_fit": suitability / factor if factor else 0.0},
    }
    if code == df.GPU_CHUNKED:
        cut = _passes(df, shape, itemsize, overhead, safe)
        plan.update(cut)
        if not cut["feasible"]:
            plan.update(strategy="CPU_FALLBACK", passes=0,
                        message="Not placeable on the GPU in passes: %s" % cut["problem"])
        else:
            plan["message"] = "Chunking into %d GPU pass%s of at most %d row%s" % (
                cut["passes"], "es" * (cut["passes"] != 1), cut["rows_per_pass"], "s" * (cut["rows_per_pass"] != 1))
    return plan


def _explained_rows(plan: Dict[str, Any], gpu: Optional[Dict[str, Any]]) -> List[Tuple[str, str, str]]:
    shape, itemsize, overhead = plan["shape"], plan["itemsize"], plan["overhead"]
    elements = 1
    for d in shape:
        elements *= d
    fit = plan["devicefit"]
    rows: List[Tuple[str, str, str]] = [
        ("array", "%s of %d-byte items" % (shape_text(shape), itemsize),
         "{:,} element{}".format(elements, "s" * (elements != 1))),
        ("operation", plan["operation"],
         "creates the array, so it can be produced pass by pass (chunkable)" if plan["chunkable"]
         else "needs the whole array at once (not chunkable)"),
        ("bytes needed", ("at least " if plan["saturated"] else "") + bytes_text(plan["bytes_needed"]),
         "elements x item size%s%s" % (" x overhead %g" % overhead if overhead > 1.0 else "",
                                       ", capped at 2**63 - 1" if plan["saturated"] else "")),
        ("available", bytes_text(plan["available_bytes"]),
         gpu["note"] if gpu is not None else "given with --available"),
        ("headroom", "%.2f" % plan["headroom"], "share of the memory kept back for the runtime and other arrays"),
        ("safe limit", bytes_text(plan["safe_limit"]),
         "available x (1 - headroom): the most the array may use at once"),
    ]
    strategy = plan["strategy"]
    if fit["strategy"] == "GPU_CHUNKED" and not plan["feasible"]:
        rows.append(("strategy", "CPU_FALLBACK", plan["problem"]))
        rows.append(("devicefit said", "%s, %d byte-sized passes" % (fit["strategy"], fit["chunk_count"]),
                     "from byte counts alone; a pass cannot hold less than one slice along the first axis"))
    elif strategy == "GPU_CHUNKED":
        passes, per = plan["passes"], plan["rows_per_pass"]
        rows.append(("strategy", "GPU_CHUNKED: %d GPU pass%s" % (passes, "es" * (passes != 1)),
                     "the array exceeds the safe limit, so it is made in passes along the first axis"))
        rows.append(("passes", "%d of at most %d row%s (%s each)" % (passes, per, "s" * (per != 1),
                                                                  human_bytes(plan["pass_bytes"])),
                     "as many whole rows of %s as fit the safe limit%s" % (
                         human_bytes(plan["row_bytes"]), " with the overhead" if overhead > 1.0 else "")))
        rows.append(("pass shapes", groups_text(plan["chunk_shapes"]),
                     plan["chunk_shapes_note"] or "rows along the first axis, in order"))
        rows.append(("byte minimum", "%d pass%s" % (fit["chunk_count"], "es" * (fit["chunk_count"] != 1)),
                     "bytes needed / safe limit, rounded up: devicefit's count, before rounding to whole rows"))
    else:
        rows.append(("strategy", "%s: %s" % (strategy, fit["message"]),
                     "the array fits the safe limit in one piece" if strategy == "GPU_DIRECT" else
                     "no usable GPU memory" if plan["safe_limit"] == 0 else
                     "the operation needs the whole array and it does not fit"))
    suit = plan["suitability"]
    if plan["safe_limit"] == 0:
        why = "no usable GPU memory"
    elif plan["bytes_needed"] > plan["safe_limit"]:
        why = "%.2f for this operation x %.2f, the share of the array that fits at once" % (
            suit["operation_factor"], suit["size_fit"])
    else:
        why = "%.2f for this operation x %.2f size fit (1.00 once the array fills 80%% of the safe limit)" % (
            suit["operation_factor"], suit["size_fit"])
    rows.append(("GPU suitability", "%.2f" % plan["gpu_suitability"], why))
    return rows


def cmd_plan(args: argparse.Namespace) -> int:
    df = import_native("velmora.gpu.devicefit")
    gpu: Optional[Dict[str, Any]] = None
    if args.available is None:
        gpu = gpu_memory_from_registry()
        available, source = int(gpu["bytes"]), "registry"
    else:
        available, source = args.available, "option"
    plan = build_plan(df, args.shape, args.itemsize, args.op, available, args.headroom, args.overhead)
    plan["available_source"], plan["gpu"] = source, gpu
    if args.json:
        write(json.dumps(plan, indent=2))
    else:
        write(render_table(None, _explained_rows(plan, gpu)))
    if gpu is not None and gpu["device"] is None:
        sys.stderr.write("%s plan: %s; pass --available BYTES to plan for a given device\n" % (PROG, gpu["note"]))
    return 0


def register(sub: Any) -> None:
    p = sub.add_parser("plan", help="plan placing an array on the GPU",
                       description="The devicefit plan for placing an array on the GPU: bytes needed, safe limit, "
                                   "strategy, passes and their shapes, each number explained.")
    p.add_argument("--shape", required=True, type=parse_shape, metavar="D1,D2,...",
                   help="array dimensions, e.g. 20000,20000")
    p.add_argument("--itemsize", type=positive_int, default=8, metavar="BYTES",
                   help="bytes per element (default 8)")
    p.add_argument("--op", default=DEFAULT_OPERATION, type=parse_operation, metavar="NAME",
                   help="operation producing the array (default %s): creation (%s) can be chunked; %s cannot"
                        % (DEFAULT_OPERATION, ", ".join(CHUNKABLE_OPERATIONS), ", ".join(WHOLE_ARRAY_OPERATIONS)))
    p.add_argument("--available", type=parse_available, default=None, metavar="BYTES|auto",
                   help="free GPU memory, e.g. 8000000000 or 16GiB; auto (default) asks the backend registry")
    p.add_argument("--headroom", type=float_in(0.0, 0.99, "headroom"), default=DEFAULT_HEADROOM, metavar="R",
                   help="share of the memory kept back, 0 to 0.99 (default %.2f)" % DEFAULT_HEADROOM)
    p.add_argument("--overhead", type=float_in(1.0, 1e6, "overhead"), default=1.0, metavar="F",
                   help="factor on the estimate for temporaries, 1 or more (default 1)")
    p.add_argument("--json", action="store_true", help="print one JSON document")
    p.set_defaults(func=cmd_plan)
