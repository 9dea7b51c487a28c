"""What to do with a scored unit: the suggested action, its estimated speed-up and the ranking gain.

The scorer's pattern says what kind of work a unit does; the action also looks at what the syntax
tree shows (loops, whether their iterations are independent, whether the unit already runs a pool)
and at the host (usable CPUs, GIL, GPU). First rule that applies:

1. **move to a GPU**: the host has a GPU and the unit has a GPU pattern, or a framework pattern
   with GPU suitability above the GPU threshold. Speed-up: the scorer's ``estimate_gpu_speedup``.
2. Framework pattern (numpy, pandas, scikit-learn): **vectorise** when Python loops with
   independent iterations run around the framework calls and do no I/O, otherwise **leave alone**
   (the work already runs inside the framework).

Iterations count as independent when the loop neither leaves early nor rebinds outer names (the
scorer's chunking rule) and no name is carried from one iteration to the next (read in the body
before the body assigns it, as ``v`` in ``v = m @ v``).
3. **leave alone** when the unit already runs a thread or process pool, or has no loop at all.
4. PARALLEL_FRIENDLY with independent loops: **parallelise with threads** when the loop waits on
   I/O or the interpreter runs without a GIL, else **parallelise with processes**. Speed-up:
   Amdahl's law, ``1 / ((1 - p) + p / cpus)`` with p the scorer's parallelisation potential.
5. CPU_INTENSIVE with independent loops: **vectorise** (whole-array operations) when the unit
   does arithmetic (two or more of ``- * / // % ** @``, not string formatting or sequence
   repetition) and no I/O, else **parallelise** as in rule 4.
   Vectorising: ``1 / ((1 - s) + s / 10)`` with s the share of loops with independent
   iterations, assuming a whole-array operation runs a numeric loop ten times faster.
6. Otherwise **leave alone** (memory-bound, sequential or mixed work, or loops whose iterations
   depend on each other). An action whose estimated speed-up is below 1.3x is not suggested.

The ranking gain is ``(speed-up - 1) x weight``, where the weight ``1 + sum of loop nesting
depths`` stands for how much repeated work the unit holds (a loop inside a loop counts 1 + 2).
It is a static estimate from the source text; ``velmora profile`` measures where time really goes.
"""

from __future__ import annotations

from typing import AbstractSet, Any, Callable, Dict, Iterable, List, Mapping, Optional, Tuple

__all__ = ["ACTIONS", "VECTOR_FACTOR", "advise", "action_counts", "amdahl", "vector_speedup"]

GPU = "move to a GPU"
VECTORISE = "vectorise"
PROCESSES = "parallelise with processes"
THREADS = "parallelise with threads"
LEAVE = "leave alone"
ACTIONS = (GPU, VECTORISE, PROCESSES, THREADS, LEAVE)

VECTOR_FACTOR = 10.0
NUMERIC_MIN = 2  # arithmetic operations (- * / // % ** @) that make a loop numeric work
MIN_SPEEDUP = 1.3  # below this an action is not worth restructuring the code

FRAMEWORK_PATTERNS = {"NUMPY_VECTORIZED": "numpy", "NUMPY_LINALG": "numpy", "PANDAS_DATAFRAME": "pandas",
                      "PANDAS_GROUPBY": "pandas", "SKLEARN_TRAINING": "sklearn", "SKLEARN_INFERENCE": "sklearn"}
GPU_PATTERNS = frozenset(("GPU_SUITABLE", "GPU_COMPUTE_INTENSIVE", "GPU_MEMORY_BOUND"))

# Names (or attributes) that show a unit already runs work concurrently.
POOL_NAMES = frozenset(("ThreadPoolExecutor", "ProcessPoolExecutor", "Pool", "ThreadPool", "Thread", "Process",
                        "multiprocessing", "threading", "concurrent", "joblib", "Parallel", "submit",
                        "start_new_thread", "gather", "create_task"))
# Calls that wait on files, sockets, processes or the clock: threads overlap them even with a GIL.
IO_NAMES = frozenset(("open", "read", "readline", "readlines", "readinto", "write", "writelines", "recv", "recvfrom",
                      "send", "sendall", "sendto", "connect", "accept", "urlopen", "urlretrieve", "request", "sleep",
                      "communicate", "select", "poll", "getaddrinfo", "read_bytes", "read_text", "write_bytes",
                      "write_text"))


def amdahl(share: float, workers: int) -> float:
    """Speed-up of running ``share`` of the work on ``workers`` CPUs and the rest serially."""
    workers = max(int(workers), 1)
    share = min(max(share, 0.0), 1.0)
    return 1.0 / ((1.0 - share) + share / workers)


def vector_speedup(share: float) -> float:
    share = min(max(share, 0.0), 1.0)
    return 1.0 / ((1.0 - share) + share / VECTOR_FACTOR)


def _parallel(used: AbstractSet[str], potential: float, host: Mapping[str, Any]) -> Tuple[str, float, str]:
    """Threads when the unit waits on I/O or there is no GIL, else processes; Amdahl's speed-up."""
    waits = sorted(used & IO_NAMES)
    threads = bool(waits) or not host.get("gil_enabled", True)
    why = ("waits on I/O (%s)" % _words(waits, 3)) if waits else (
        "no GIL in this interpreter" if threads else "CPU-bound under the GIL")
    return (THREADS if threads else PROCESSES), amdahl(potential, host.get("cpus") or 1), why


def _words(items: Iterable[str], limit: int = 4) -> str:
    items = list(dict.fromkeys(items))
    text = ", ".join(items[:limit])
    return text + (", ..." if len(items) > limit else "")


def _loops_text(loops: Mapping[str, Any]) -> str:
    count = loops["count"]
    if not count:
        return "no loop"
    text = "%d loop%s" % (count, "s" * (count != 1))
    if loops["max_depth"] > 1:
        text += " nested %d deep" % loops["max_depth"]
    independent = loops["independent"]
    if independent is None:  # not worked out: only the chunking rule is known
        chunkable = loops["chunkable"]
        return text + (", %s chunkable" % ("all" if chunkable == count and count > 1 else chunkable)
                       if chunkable else ", none chunkable")
    if independent == count:
        text += ", %s independent" % ("all" if count > 1 else "iterations")
    elif independent:
        text += ", %d independent" % independent
    else:
        text += ", none independent"
    if loops.get("carried"):
        text += " (%s carried from one iteration to the next)" % _words(loops["carried"], 3)
    return text


def _needs_dependencies(pattern: str, loops: Mapping[str, Any]) -> bool:
    return bool(loops["chunkable"]) and (pattern in FRAMEWORK_PATTERNS or pattern in ("PARALLEL_FRIENDLY",
                                                                                       "CPU_INTENSIVE"))


def advise(unit: Dict[str, Any], scan: Any, host: Mapping[str, Any], thresholds: Mapping[str, float],
           evidence: Optional[Callable[[], Mapping[str, Any]]] = None, explain: bool = True) -> Dict[str, Any]:
    """The action for one scored unit (a record of ``Analyzer.score``, whose loop record it
    completes) and the ``source.UnitScan`` of its code.

    ``host`` holds ``cpus`` (usable CPUs), ``gil_enabled`` and ``gpu_available``. Whether loop
    iterations carry values is worked out only where the action depends on it; elsewhere the
    loop record's ``independent`` and ``carried`` stay None. The reason quotes the unit's
    evidence, read from ``evidence()`` (default: the record's own) only when a reason is written:
    always with ``explain``, else only for an action other than leaving the unit alone.
    """
    pattern = unit["pattern"]
    loops = unit["loops"]
    used: AbstractSet[str] = scan.names
    if loops["independent"] is None:
        if not loops["chunkable"]:
            loops["independent"], loops["carried"] = 0, []
        elif _needs_dependencies(pattern, loops):
            loops["independent"], loops["carried"] = scan.independent_loops()

    def ev() -> Mapping[str, Any]:
        return evidence() if evidence is not None else unit["evidence"]

    def words(table: str) -> List[str]:
        return list(ev()["keywords"][table])

    weight = 1 + loops["nesting_weight"]
    potential = unit["parallelization_potential"]
    framework = FRAMEWORK_PATTERNS.get(pattern)
    action, speedup = LEAVE, 1.0
    reason: Callable[[], str]

    gpu_ok = bool(host.get("gpu_available")) and unit["gpu_speedup"] > 1.0
    if gpu_ok and (pattern in GPU_PATTERNS or (framework and unit["gpu_suitability"] > thresholds["gpu"])):
        action, speedup = GPU, unit["gpu_speedup"]
        reason = lambda: "GPU suitability %.2f; array work: %s" % (unit["gpu_suitability"], _words(words("gpu_op")))
    elif framework:
        fw = framework
        if loops["statements"] and loops["independent"] and not used & IO_NAMES:
            action, speedup = VECTORISE, vector_speedup(loops["independent"] / loops["count"])
            reason = lambda: "Python loops around %s calls (%s); %s" % (fw, _loops_text(loops), _words(words(fw)))
        else:
            def reason() -> str:
                via = ", ".join(ev()["uses"].get(fw, ())) or fw
                text = "already runs inside %s (via %s): %s" % (fw, via, _words(words(fw)))
                return text + ("; estimators take n_jobs=-1 to use every CPU" if fw == "sklearn" else "")
    elif used & POOL_NAMES:
        reason = lambda: "already runs concurrently (%s)" % _words(sorted(used & POOL_NAMES), 3)
    elif not loops["count"]:
        def reason() -> str:
            text = "no loop, so nothing to split or vectorise"
            if pattern == "PARALLEL_FRIENDLY":
                text += " (labelled parallel-friendly for: %s)" % _words(
                    words("embarrassing") + list(ev()["name_keywords"].get("embarrassing", [])) or words("parallel"))
            return text
    elif pattern == "PARALLEL_FRIENDLY" and loops["independent"]:
        action, speedup, why = _parallel(used, potential, host)
        reason = lambda: "parallel potential %.2f, %s; %s" % (potential, _loops_text(loops), why)
    elif pattern == "CPU_INTENSIVE" and loops["independent"]:
        if loops["arithmetic"] >= NUMERIC_MIN and not used & IO_NAMES:
            action, speedup = VECTORISE, vector_speedup(loops["independent"] / loops["count"])
            reason = lambda: "numeric %s; %d arithmetic operations" % (_loops_text(loops), loops["arithmetic"])
        else:
            action, speedup, why = _parallel(used, potential, host)
            reason = lambda: "CPU-bound %s, little arithmetic; parallel potential %.2f, %s" % (
                _loops_text(loops), potential, why)
    else:
        def reason() -> str:
            if pattern in ("CPU_INTENSIVE", "PARALLEL_FRIENDLY") and not loops["independent"]:
                return "%s: iterations depend on each other" % _loops_text(loops)
            if pattern == "MEMORY_INTENSIVE":
                return "memory-bound bookkeeping (%s)" % _words(words("memory"))
            if pattern == "SEQUENTIAL":
                return "ordered work (%s)" % _words(words("sequential"))
            return "%s; no clear pattern to act on" % _loops_text(loops)
    if speedup < MIN_SPEEDUP and action != LEAVE:
        inner, tried, estimate = reason, action, speedup
        reason = lambda: "%s: estimated %.2fx, too little to be worth it (%s)" % (tried, estimate, inner())
        action, speedup = LEAVE, 1.0
    gain = (speedup - 1.0) * weight
    return {"action": action, "speedup": speedup, "weight": weight, "gain": gain,
            "reason": reason() if explain or action != LEAVE else None}


def action_counts(actions: Iterable[str]) -> Dict[str, int]:
    counts: Dict[str, int] = {a: 0 for a in ACTIONS}
    for a in actions:
        counts[a] = counts.get(a, 0) + 1
    return {a: n for a, n in counts.items() if n}

