"""Per-function time of a running program: call counts, inclusive and own time.

``Collector`` hooks the interpreter's function events: ``sys.monitoring`` (PY_START, PY_RESUME,
PY_RETURN, PY_YIELD, PY_UNWIND, PY_THROW) on 3.12 and later, ``sys.setprofile`` with
``threading.setprofile`` for new threads before that. Only Python functions are timed; time spent
in built-in functions counts as time of the Python function that called them.

Every activation of a function (a call, or a generator or coroutine resuming) ends in one
observation of its elapsed time, aggregated per function with ``velmora.monitoring.tallyhub``:
one ``CounterAggregator`` per thread for inclusive time and one for own time (inclusive minus the
time of the functions it called). A recursive function's inclusive time counts only its
outermost activation, so it never exceeds the run. Each thread keeps its own stack and
aggregators, merged when the run ends, so threads never share a counter.
"""

from __future__ import annotations

import math
import sys
import threading
import time
from typing import Any, Callable, Dict, List, Tuple

__all__ = ["Collector", "FunctionStats", "MECHANISM"]

MECHANISM = "sys.monitoring" if sys.version_info >= (3, 12) else "sys.setprofile"
_BLOCK = 1024  # counters per aggregator block


class FunctionStats:
    """One function's merged observations (seconds)."""

    __slots__ = ("code", "calls", "total", "own", "mean", "std", "minimum", "maximum")

    def __init__(self, code: Any) -> None:
        self.code = code
        self.calls = 0
        self.total = self.own = 0.0
        self.mean = self.std = 0.0
        self.minimum, self.maximum = math.inf, -math.inf


class _Thread:
    """The stack and aggregators of one thread.

    A slot, one per function, is the list [inclusive update, own update, counter index,
    recursion depth]; a stack entry is [slot, outermost?, start time, time of callees].
    """

    __slots__ = ("stack", "slots", "blocks", "make")

    def __init__(self, make: Callable[[int], Any]) -> None:
        self.stack: List[List[Any]] = []
        self.slots: Dict[Any, List[Any]] = {}
        self.blocks: List[Tuple[Any, Any]] = []
        self.make = make

    def slot(self, code: Any) -> List[Any]:
        n = len(self.slots)
        if n // _BLOCK >= len(self.blocks):
            self.blocks.append((self.make(_BLOCK), self.make(_BLOCK)))
        inclusive, own = self.blocks[n // _BLOCK]
        entry = self.slots[code] = [inclusive.update, own.update, n % _BLOCK, 0]
        return entry


class Collector:
    """Measures every Python function called between ``start()`` and ``stop()``."""

    def __init__(self, clock: Callable[[], float] = time.perf_counter) -> None:
        from velmora.monitoring import tallyhub

        self._make = tallyhub.CounterAggregator
        self._clock = clock
        self._threads: List[_Thread] = []
        self._lock = threading.Lock()
        self.running = False
        self.mechanism = MECHANISM

    # ------------------------------------------------------------ per-thread state

    def _new_thread(self) -> _Thread:
        state = _Thread(self._make)
        with self._lock:
            self._threads.append(state)
        return state

    # ------------------------------------------------------------ sys.setprofile

    def _profile_callback(self, state: _Thread) -> Callable[[Any, str, Any], None]:
        clock, stack, slots = self._clock, state.stack, state.slots
        push, pop, new_slot = stack.append, stack.pop, state.slot

        def callback(frame: Any, event: str, arg: Any) -> None:
            if event == "call":
                code = frame.f_code
                slot = slots.get(code)
                if slot is None:
                    slot = new_slot(code)
                level = slot[3]
                slot[3] = level + 1
                push([slot, not level, clock(), 0.0])
            elif event == "return" and stack:
                entry = pop()
                slot = entry[0]
                elapsed = clock() - entry[2]
                slot[3] -= 1
                slot[0](slot[2], elapsed if entry[1] else 0.0)
                slot[1](slot[2], elapsed - entry[3])
                if stack:
                    stack[-1][3] += elapsed

        return callback

    def _thread_bootstrap(self, frame: Any, event: str, arg: Any) -> None:
        # The first event of a new thread: give it its own state, then hand over.
        callback = self._profile_callback(self._new_thread())
        sys.setprofile(callback)
        callback(frame, event, arg)

    # ------------------------------------------------------------ sys.monitoring

    def _monitoring_callbacks(self) -> Dict[str, Callable[..., Any]]:
        clock, new_thread = self._clock, self._new_thread
        local = threading.local()

        def state() -> Tuple[List[List[Any]], Dict[Any, List[Any]], Callable[[Any], List[Any]]]:
            current = new_thread()
            local.state = found = (current.stack, current.slots, current.slot)
            return found

        def enter(code: Any, offset: int) -> None:
            try:
                stack, slots, new_slot = local.state
            except AttributeError:  # the first event of this thread
                stack, slots, new_slot = state()
            slot = slots.get(code)
            if slot is None:
                slot = new_slot(code)
            level = slot[3]
            slot[3] = level + 1
            stack.append([slot, not level, clock(), 0.0])

        def leave(code: Any, offset: int, value: Any = None) -> None:
            try:
                stack = local.state[0]
            except AttributeError:
                stack = state()[0]
            if not stack:
                return
            entry = stack.pop()
            slot = entry[0]
            elapsed = clock() - entry[2]
            slot[3] -= 1
            slot[0](slot[2], elapsed if entry[1] else 0.0)
            slot[1](slot[2], elapsed - entry[3])
            if stack:
                stack[-1][3] += elapsed

        return {"enter": enter, "leave": leave}

    # ------------------------------------------------------------ control

    def start(self) -> None:
        if self.running:
            raise RuntimeError("the collector is already running")
        self.running = True
        if MECHANISM == "sys.monitoring":
            mon = sys.monitoring  # type: ignore[attr-defined]
            events = mon.events
            tool = mon.PROFILER_ID
            mon.use_tool_id(tool, "velmora profile")
            callbacks = self._monitoring_callbacks()
            for event in (events.PY_START, events.PY_RESUME, events.PY_THROW):
                mon.register_callback(tool, event, callbacks["enter"])
            for event in (events.PY_RETURN, events.PY_YIELD, events.PY_UNWIND):
                mon.register_callback(tool, event, callbacks["leave"])
            mon.set_events(tool, events.PY_START | events.PY_RESUME | events.PY_THROW | events.PY_RETURN
                           | events.PY_YIELD | events.PY_UNWIND)
        else:
            threading.setprofile(self._thread_bootstrap)
            sys.setprofile(self._profile_callback(self._new_thread()))

    def stop(self) -> None:
        if not self.running:
            return
        if MECHANISM == "sys.monitoring":
            mon = sys.monitoring  # type: ignore[attr-defined]
            tool = mon.PROFILER_ID
            mon.set_events(tool, 0)
            for event in (mon.events.PY_START, mon.events.PY_RESUME, mon.events.PY_THROW, mon.events.PY_RETURN,
                          mon.events.PY_YIELD, mon.events.PY_UNWIND):
                mon.register_callback(tool, event, None)
            mon.free_tool_id(tool)
        else:
            sys.setprofile(None)
            threading.setprofile(None)
        self.running = False

    # ------------------------------------------------------------ results

    def results(self) -> List[FunctionStats]:
        """Every function seen, its observations merged over the threads."""
        merged: Dict[Any, List[float]] = {}  # code -> [calls, total, own, sum_sq_own, min, max]
        with self._lock:
            threads = list(self._threads)
        for state in threads:
            # Slots are numbered in the order functions were first seen: block n // _BLOCK.
            for n, (code, slot) in enumerate(list(state.slots.items())):
                inclusive, own = state.blocks[n // _BLOCK]
                a = inclusive.get_stats(slot[2])
                b = own.get_stats(slot[2])
                if not b["count"]:
                    continue
                row = merged.get(code)
                own_sq = (b["variance"] + b["mean"] * b["mean"]) * b["count"]
                if row is None:
                    merged[code] = [b["count"], a["mean"] * a["count"], b["mean"] * b["count"], own_sq,
                                    b["min"], b["max"]]
                else:
                    row[0] += b["count"]
                    row[1] += a["mean"] * a["count"]
                    row[2] += b["mean"] * b["count"]
                    row[3] += own_sq
                    row[4] = min(row[4], b["min"])
                    row[5] = max(row[5], b["max"])
        out = []
        for code, (calls, total, own, own_sq, low, high) in merged.items():
            stats = FunctionStats(code)
            stats.calls, stats.total, stats.own = int(calls), total, own
            stats.mean = own / calls
            stats.std = math.sqrt(max(own_sq / calls - stats.mean * stats.mean, 0.0))
            stats.minimum, stats.maximum = low, high
            out.append(stats)
        return out

