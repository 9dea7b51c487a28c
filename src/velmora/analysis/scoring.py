"""Scoring and classifying source units with the native scorer, and saying why.

``Analyzer`` feeds each unit's *code* (``source.FileSource``: no comments, docstrings or string
literals) to ``velmora.plugins.analyzer.taskgauge`` and classifies it with the scorer's own
functions. The command line decides two things only:

- the text the scorer sees (code, not prose), and
- which framework scores count: a framework is credited only in files that import it, in any
  form (``source.framework_imports``); elsewhere its score is 0. Every unit of an importing file
  is credited, since a function often works on framework objects it was handed (``frame.merge``)
  without naming the module. The scorer's raw framework scores are kept beside the credited ones,
  and the names a unit uses that the imports bound are part of its evidence.

Every record carries its evidence: the imports relied on, the names used, and the keyword-table
entries behind each count (``keywords.matched``), and the suggested action (``advice.advise``).
"""

from __future__ import annotations

from typing import AbstractSet, Any, Dict, FrozenSet, List, Mapping, Optional, Sequence, Set

from velmora.analysis import advice, keywords
from velmora.analysis.source import (
    FileSource,
    SourceUnit,
    framework_bindings,
    framework_imports,
    package_of,
    read_source,
)

__all__ = ["Analyzer", "PATTERNS", "DEFAULT_THRESHOLDS", "FRAMEWORKS"]

FRAMEWORKS = ("numpy", "pandas", "sklearn")

# Workload pattern codes of taskgauge.determine_workload_pattern, with a word for people.
PATTERNS = {
    0: ("MIXED", "mixed"),
    1: ("CPU_INTENSIVE", "CPU-bound"),
    2: ("MEMORY_INTENSIVE", "memory-bound"),
    3: ("PARALLEL_FRIENDLY", "parallel-friendly"),
    4: ("SEQUENTIAL", "sequential"),
    5: ("GPU_SUITABLE", "GPU-suitable"),
    6: ("GPU_COMPUTE_INTENSIVE", "GPU compute"),
    7: ("GPU_MEMORY_BOUND", "GPU memory-bound"),
    8: ("NUMPY_VECTORIZED", "numeric"),
    9: ("NUMPY_LINALG", "linear algebra"),
    10: ("PANDAS_DATAFRAME", "data-frame"),
    11: ("PANDAS_GROUPBY", "data-frame group-by"),
    12: ("SKLEARN_TRAINING", "machine-learning"),
    13: ("SKLEARN_INFERENCE", "machine-learning inference"),
}

# Default classification thresholds, chosen for single functions (a unit is a few lines, not a
# file). Each score compared is the share of a keyword table found in the code, so a threshold
# reads as "at least this many words of the table": cpu 0.1 is 2 of its 15 words (a counted loop:
# for, range), memory 0.25 is 3 of 10, numpy 0.1 is 3 of 25, pandas and sklearn 0.1 are 2 of 18.
# Framework scores count only in files that import the framework, which is what keeps the low
# framework thresholds precise. GPU suitability is on 0..1; 0.6 asks for clearly array-heavy code.
DEFAULT_THRESHOLDS = (
    ("cpu", 0.1, "CPU intensity above which code is CPU_INTENSIVE"),
    ("memory", 0.25, "memory intensity above which code is MEMORY_INTENSIVE"),
    ("gpu", 0.6, "GPU suitability above which code is one of the GPU patterns"),
    ("numpy", 0.1, "numpy framework score above which code is NUMPY_VECTORIZED"),
    ("pandas", 0.1, "pandas framework score above which code is PANDAS_DATAFRAME"),
    ("sklearn", 0.1, "sklearn framework score above which code is SKLEARN_TRAINING"),
)


def lean_record(record: Dict[str, Any]) -> Dict[str, Any]:
    """What a ranking needs of a unit with nothing to suggest: its name, pattern and action."""
    return {"name": record["name"], "pattern": record["pattern"], "advice": {"action": advice.LEAVE, "gain": 0.0}}


class Analyzer:
    """Scores and classifies source units with taskgauge, for the facts of one host.

    ``host``: ``gpu_available`` (bool), ``compute_capability`` (str or None), ``cpus`` (usable CPUs)
    and ``gil_enabled`` (bool). ``thresholds``: the six classification thresholds by name.
    ``lean``: keep only what a ranking needs: units left alone become ``lean_record``s and the file
    verdict its pattern and category (the text report of a large tree needs no more).
    """

    def __init__(self, taskgauge: Any, thresholds: Mapping[str, float], host: Mapping[str, Any],
                 lean: bool = False) -> None:
        self.tg = taskgauge
        self.lean = lean
        self.thresholds = dict(thresholds)
        self.host = dict(host)
        self.gpu_available = bool(host.get("gpu_available"))
        self.compute_capability = host.get("compute_capability")

    # ------------------------------------------------------------ one unit

    def score(self, unit: SourceUnit, credited: FrozenSet[str] = frozenset(),
              uses: Optional[Mapping[str, Sequence[str]]] = None, imports: Sequence[str] = (),
              found: Optional[AbstractSet[str]] = None) -> Dict[str, Any]:
        """The record of one unit. ``credited``: the frameworks whose scores count for it; ``uses``:
        the names bound to each framework that it uses; ``imports``: the framework imports relied on;
        ``found``: the keyword entries in its code, when already known."""
        tg, t = self.tg, self.thresholds
        code = unit.code
        raw = dict(zip(FRAMEWORKS, tg.score_framework_patterns(code)))
        frameworks = {fw: (raw[fw] if fw in credited else 0.0) for fw in FRAMEWORKS}
        regex = {fw: (tg.quick_framework_score(code, fw) if fw in credited else 0.0) for fw in FRAMEWORKS}
        name = unit.short_name
        cpu, memory, parallel, gpu_op, large, embarrassing, sequential = tg.score_indicators(code, name)
        cpu_i, memory_i, parallel_i, gpu_op_s, large_s = tg.normalize_scores(cpu, memory, parallel, gpu_op, large)
        scan = unit.scan
        chunking = scan.chunking_share
        potential = tg.calculate_parallelization_potential(parallel_i, embarrassing, sequential, chunking)
        suitability = tg.calculate_gpu_suitability(gpu_op_s, large_s, cpu_i, self.gpu_available,
                                                   self.compute_capability)
        speedup = tg.estimate_gpu_speedup(gpu_op_s, large_s, self.gpu_available)
        code_ = tg.determine_workload_pattern(
            cpu_i, memory_i, potential, suitability, gpu_op_s, frameworks["numpy"], frameworks["pandas"],
            frameworks["sklearn"], sequential, embarrassing, t["cpu"], t["memory"], t["gpu"], t["numpy"],
            t["pandas"], t["sklearn"], self.gpu_available)
        pattern, category = PATTERNS.get(code_, ("UNKNOWN_%d" % code_, "unknown"))
        if self.lean and unit.kind == "file":
            return {"pattern": pattern, "category": category}
        record: Dict[str, Any] = {
            "name": unit.name,
            "kind": unit.kind,
            "lines": [unit.first, unit.last],
            "line_ranges": unit.ranges,
            "pattern": pattern,
            "pattern_code": code_,
            "category": category,
            "frameworks": frameworks,
            "frameworks_found": raw,
            "framework_regex": regex,
            "indicators": {"cpu": cpu, "memory": memory, "parallel": parallel, "gpu_op": gpu_op,
                           "large_data": large, "embarrassing": embarrassing, "sequential": sequential},
            "normalized": {"cpu": cpu_i, "memory": memory_i, "parallel": parallel_i, "gpu_op": gpu_op_s,
                           "large_data": large_s},
            "loops": {"count": scan.loops, "chunkable": scan.chunkable, "independent": None, "carried": None,
                      "statements": scan.python_loops, "nesting_weight": scan.weight, "max_depth": scan.max_depth,
                      "arithmetic": scan.arithmetic},
            "loop_chunking_potential": chunking,
            "parallelization_potential": potential,
            "gpu_suitability": suitability,
            "gpu_speedup": speedup,
        }
        evidence: Dict[str, Any] = {}

        def get_evidence() -> Dict[str, Any]:
            if not evidence:
                in_code, by_name = keywords.matched(code, name, found)
                evidence.update(imports=list(imports), uses={fw: list(v) for fw, v in (uses or {}).items()},
                                credited=[fw for fw in FRAMEWORKS if fw in credited], keywords=in_code,
                                name_keywords=by_name)
            return evidence

        verdict = advice.advise(record, scan, self.host, t, get_evidence, explain=not self.lean)
        if self.lean and verdict["action"] == advice.LEAVE:
            return lean_record(record)
        record["evidence"] = get_evidence()
        record["advice"] = verdict
        return record

    # ------------------------------------------------------------ one file

    def analyze_source(self, text: str, path: str = "<source>", package: Optional[str] = None) -> Dict[str, Any]:
        """The record of one file's text: verdict (whole file), units, framework imports.

        Raises ``source.SourceError`` when the text does not parse.
        """
        source = FileSource(text, path)
        found = framework_imports(source.imports, package)
        bindings = framework_bindings(found)
        credited = frozenset(found)
        units = []
        whole_found: Set[str] = set()
        for unit in source.units:
            found_here = None if self.lean else keywords.entries_in(unit.code, unit.scan.names)
            if found_here is not None:
                whole_found |= found_here
            uses: Dict[str, List[str]] = {}
            relied: List[str] = []
            own = framework_imports(unit.scan.imports, package)
            for fw, records in found.items():
                names = sorted(unit.scan.names & bindings.get(fw, frozenset()))
                if names:
                    uses[fw] = names
                    relied += [r.text for r in records if r.binds in names]
                if fw in own:
                    relied += [r.text for r in own[fw]]
            units.append(self.score(unit, credited, uses, list(dict.fromkeys(relied)), found_here))
        all_imports = [r.text for records in found.values() for r in records]
        whole_uses = {fw: sorted(source.whole.scan.names & names) for fw, names in bindings.items()}
        verdict = self.score(source.whole, frozenset(found), {k: v for k, v in whole_uses.items() if v},
                             list(dict.fromkeys(all_imports)), None if self.lean else whole_found)
        return {"path": path, "lines": source.line_count, "package": package,
                "frameworks_imported": [fw for fw in FRAMEWORKS if fw in found],
                "imports": list(dict.fromkeys(all_imports)), "verdict": verdict, "units": units}

    def analyze_file(self, path: str) -> Dict[str, Any]:
        """The record of one file on disk (see ``analyze_source``); raises ``source.SourceError``."""
        return self.analyze_source(read_source(path), path, package_of(path))

