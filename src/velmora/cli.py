"""The `velmora` command line: host report, workload analysis, GPU placement plans and benchmarks.

    velmora [info] [--json]        host capabilities, the native modules and where they loaded from
    velmora analyze PATH... [opts] score and classify Python source, per file and per function
    velmora plan --shape 20000,20000 [--itemsize 8] [--op NAME] [--available BYTES|auto] [--headroom R]
    velmora bench [--quick] [--json] [MODULE...]

Text output is a plain table for people; ``--json`` prints one JSON document for machines. Exit
status: 0 success, 1 failure (a file that could not be analysed, a module that did not load, a bar
missed), 2 usage error. A user mistake is one line on stderr, never a traceback.
"""

from __future__ import annotations

import argparse
import ast
import datetime
import fractions
import importlib
import importlib.util
import json
import os
import platform
import re
import subprocess
import sys
import sysconfig
import tokenize
from typing import Any, Callable, Dict, Iterable, Iterator, List, NoReturn, Optional, Sequence, Set, Tuple

PROG = "velmora"

NATIVE_MODULES = (
    "velmora.memory.lockless",
    "velmora.memory.fitindex",
    "velmora.memory.slabkit",
    "velmora.jit.compilegate",
    "velmora.plugins.analyzer.taskgauge",
    "velmora.plugins.analyzer.tunejudge",
    "velmora.gpu.devicefit",
    "velmora.native.hostprobe",
    "velmora.monitoring.tallyhub",
)

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

# Default classification thresholds (each option of `analyze` overrides one). Every score compared
# here is the share of a keyword table found in the text, so a threshold reads as "at least this
# many words of the table": cpu 0.25 is 4 of its 15 words, memory 0.35 is 4 of 10, numpy 0.25 is 7
# of 25, pandas and sklearn 0.3 are 6 of 18. Below that, ordinary code that merely says "for",
# "sum", "join" or "score" is not labelled. GPU suitability is on 0..1; 0.6 asks for clearly
# array-heavy code on a capable device.
DEFAULT_THRESHOLDS = (
    ("cpu", 0.25, "CPU intensity above which code is CPU_INTENSIVE"),
    ("memory", 0.35, "memory intensity above which code is MEMORY_INTENSIVE"),
    ("gpu", 0.6, "GPU suitability above which code is one of the GPU patterns"),
    ("numpy", 0.25, "numpy framework score above which code is NUMPY_VECTORIZED"),
    ("pandas", 0.3, "pandas framework score above which code is PANDAS_DATAFRAME"),
    ("sklearn", 0.3, "sklearn framework score above which code is SKLEARN_TRAINING"),
)

DEFAULT_HEADROOM = 0.2
DEFAULT_OPERATION = "zeros"
SHAPE_LIST_LIMIT = 100_000  # chunk shapes are listed by devicefit only up to this many chunks
INT32_MAX = 2**31 - 1
UINT64_MAX = 2**64 - 1
INT64_MAX = 2**63 - 1


class CommandError(Exception):
    """A failure to report as one line on stderr with exit status 1."""


class _Parser(argparse.ArgumentParser):
    """argparse with usage errors on one line (exit status 2) instead of the usage block."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, "%s: error: %s (see '%s --help')\n" % (self.prog, message, self.prog))


# ---------------------------------------------------------------- small helpers


def _write(text: str = "") -> None:
    sys.stdout.write(text + "\n")


def _table(headers: Sequence[str], rows: Iterable[Sequence[Any]], right: Iterable[int] = (),
           indent: str = "") -> str:
    """Plain columns separated by two spaces; columns in `right` are right-aligned."""
    rows = [[str(c) for c in row] for row in rows]
    right = set(right)
    widths = [len(h) for h in headers]
    for row in rows:
        widths = [max(w, len(c)) for w, c in zip(widths, row)]

    def line(cells: Sequence[str]) -> str:
        out = [c.rjust(w) if i in right else c.ljust(w) for i, (c, w) in enumerate(zip(cells, widths))]
        return (indent + "  ".join(out)).rstrip()

    return "\n".join([line(headers), line(["-" * w for w in widths])] + [line(r) for r in rows])


def _human_bytes(n: int) -> str:
    value = float(n)
    for unit in ("B", "KiB", "MiB", "GiB", "TiB", "PiB"):
        if value < 1024.0 or unit == "PiB":
            return ("%d %s" % (n, unit)) if unit == "B" else ("%.2f %s" % (value, unit))
        value /= 1024.0
    return "%d B" % n  # pragma: no cover - the loop always returns


def _bytes_text(n: int) -> str:
    return "{:,} bytes ({})".format(n, _human_bytes(n)) if n >= 1024 else "{:,} bytes".format(n)


def _import_native(name: str) -> Any:
    try:
        return importlib.import_module(name)
    except Exception as exc:  # any failure to load (ImportError, RuntimeError of the module frame)
        raise CommandError("the native module %s did not load: %s" % (name, _one_line(exc)))


def _one_line(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    return ("%s: %s" % (type(exc).__name__, text[0])) if text else type(exc).__name__


def _gil_enabled() -> bool:
    probe = getattr(sys, "_is_gil_enabled", None)
    return bool(probe()) if probe is not None else True


def interpreter_info() -> Dict[str, Any]:
    return {
        "implementation": sys.implementation.name,
        "version": platform.python_version(),
        "executable": sys.executable,
        "gil_enabled": _gil_enabled(),
        "free_threaded_build": bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
    }


def _package_info() -> Dict[str, Any]:
    import velmora

    version: Optional[str] = getattr(velmora, "__version__", None)
    if version is None:
        try:
            from importlib import metadata

            version = metadata.version("velmora")
        except Exception:  # not installed: running from a source tree
            version = None
    return {"version": version, "location": os.path.dirname(os.path.abspath(velmora.__file__))}


# ---------------------------------------------------------------- info


def load_modules() -> List[Dict[str, Any]]:
    """Import each native module; report where it loaded from or why it did not."""
    out = []
    for name in NATIVE_MODULES:
        try:
            module = importlib.import_module(name)
        except Exception as exc:
            out.append({"module": name, "loaded": False, "path": None, "error": _one_line(exc)})
        else:
            out.append({"module": name, "loaded": True, "path": getattr(module, "__file__", None), "error": None})
    return out


def host_capabilities() -> Tuple[Optional[Dict[str, Any]], Optional[str]]:
    """hostprobe's capability report, or (None, why) when the module does not load."""
    try:
        hostprobe = importlib.import_module("velmora.native.hostprobe")
    except Exception as exc:
        return None, _one_line(exc)
    return dict(hostprobe.detect_capabilities()), None


def cmd_info(args: argparse.Namespace) -> int:
    report, report_error = host_capabilities()
    modules = load_modules()
    doc: Dict[str, Any] = {
        "velmora": _package_info(),
        "interpreter": interpreter_info(),
        "capabilities": report,
        "modules": modules,
    }
    if report_error is not None:
        doc["capabilities_error"] = report_error
    failed = sum(not m["loaded"] for m in modules) + (report is None)
    if args.json:
        _write(json.dumps(doc, indent=2))
        return 1 if failed else 0

    pkg, interp = doc["velmora"], doc["interpreter"]
    _write("velmora %s  (%s)" % (pkg["version"] or "(source tree)", pkg["location"]))
    gil = "GIL enabled" if interp["gil_enabled"] else "GIL disabled"
    if interp["free_threaded_build"]:
        gil += " (free-threaded build)"
    _write("Interpreter  %s %s, %s  (%s)" % (platform.python_implementation(), interp["version"], gil,
                                              interp["executable"]))
    _write()
    if report is None:
        _write("Host capabilities: not available (%s)" % report_error)
    else:
        _write("Host capabilities (hostprobe.detect_capabilities)")
        rows = []
        for key, value in report.items():
            if key == "detected_at" and isinstance(value, float):
                stamp = datetime.datetime.fromtimestamp(value).isoformat(sep=" ", timespec="seconds")
                value = "%.3f (%s)" % (value, stamp)
            elif key == "detection_time_ms" and isinstance(value, float):
                value = "%.3f" % value
            elif key == "gpu_memory_mb" and isinstance(value, int) and value:
                value = "%d (%.1f GiB)" % (value, value / 1024.0)
            elif isinstance(value, str) and value == "":
                value = '""'
            rows.append((key, value))
        _write(_table(("key", "value"), rows, indent="  "))
    _write()
    loaded = len(modules) - sum(not m["loaded"] for m in modules)
    _write("Native modules (%d of %d loaded)" % (loaded, len(modules)))
    _write(_table(("module", "status", "loaded from"),
                  [(m["module"], "loaded" if m["loaded"] else "FAILED", m["path"] if m["loaded"] else m["error"])
                   for m in modules], indent="  "))
    return 1 if failed else 0


# ---------------------------------------------------------------- analyze


class SourceUnit:
    """A piece of a file scored on its own: the whole file, its module body, a function or a method."""

    __slots__ = ("name", "kind", "first", "last", "text", "nodes", "ranges")

    def __init__(self, name: str, kind: str, first: int, last: int, text: str, nodes: List[ast.AST]) -> None:
        self.name, self.kind, self.first, self.last, self.text, self.nodes = name, kind, first, last, text, nodes
        self.ranges = [[first, last]]


def _ranges(numbers: List[int]) -> List[List[int]]:
    """Consecutive runs of sorted line numbers as [first, last] pairs."""
    runs: List[List[int]] = []
    for n in numbers:
        if runs and runs[-1][1] == n - 1:
            runs[-1][1] = n
        else:
            runs.append([n, n])
    return runs


def _ranges_text(runs: List[List[int]], limit: int = 3) -> str:
    parts = [("%d" % a) if a == b else ("%d-%d" % (a, b)) for a, b in runs]
    return ",".join(parts[:limit]) + (",..." if len(parts) > limit else "")


_LINE = re.compile(r".*?(?:\r\n|\r|\n)|.+", re.S)


def source_lines(text: str) -> List[str]:
    """Lines as the parser numbers them: only \\n, \\r\\n and \\r end a line (str.splitlines
    would also split at form feeds and other separators, shifting every later line number)."""
    return _LINE.findall(text)


def read_source(path: str) -> str:
    """The text of a Python file, decoded as the interpreter would (coding cookie, BOM)."""
    with open(path, "rb") as handle:
        raw = handle.read()
    lines = iter(raw.splitlines(True))
    encoding, _ = tokenize.detect_encoding(lambda: next(lines, b""))
    text = raw.decode(encoding)
    return text[1:] if text.startswith("\ufeff") else text


def _span(node: ast.AST) -> Tuple[int, int]:
    first = min([node.lineno] + [d.lineno for d in getattr(node, "decorator_list", ())])  # type: ignore[attr-defined]
    return first, getattr(node, "end_lineno", None) or node.lineno  # type: ignore[attr-defined]


def split_units(text: str, tree: ast.Module) -> List[SourceUnit]:
    """The module body, each top-level function and each method of a top-level class, in file order.

    The module body is every line that belongs to no function or method (imports, constants, class
    headers, top-level statements); it is left out when it holds no statement.
    """
    lines = source_lines(text)
    units: List[SourceUnit] = []
    body_nodes: List[ast.AST] = []
    taken: Set[int] = set()
    funcs = (ast.FunctionDef, ast.AsyncFunctionDef)

    def add(name: str, kind: str, node: ast.AST) -> None:
        first, last = _span(node)
        units.append(SourceUnit(name, kind, first, last, "".join(lines[first - 1:last]), [node]))
        taken.update(range(first, last + 1))

    for node in tree.body:
        if isinstance(node, funcs):
            add(node.name, "function", node)
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, funcs):
                    add("%s.%s" % (node.name, item.name), "method", item)
                else:
                    body_nodes.append(item)
        else:
            body_nodes.append(node)
    has_body = any(not _is_docstring(n) for n in body_nodes) or any(isinstance(n, ast.ClassDef) for n in tree.body)
    if has_body:
        kept = [i for i in range(1, len(lines) + 1) if i not in taken]
        body = SourceUnit("<module>", "module", kept[0] if kept else 1, kept[-1] if kept else 1,
                          "".join(lines[i - 1] for i in kept), body_nodes)
        body.ranges = _ranges([i for i in kept if lines[i - 1].strip()])
        units.insert(0, body)
    return units


def _is_docstring(node: ast.AST) -> bool:
    return (isinstance(node, ast.Expr) and isinstance(node.value, ast.Constant)
            and isinstance(node.value.value, str))


_EXITS = (ast.Break, ast.Return, ast.Yield, ast.YieldFrom, ast.Global, ast.Nonlocal, ast.Await)


def loop_chunking_potential(nodes: Iterable[ast.AST]) -> float:
    """Share of the loops (for, while, comprehensions) that could be cut into independent chunks.

    A `for` loop or comprehension counts as chunkable when its body neither leaves early (break,
    return, yield, await) nor rebinds outer names (global, nonlocal); a `while` loop never does,
    since its trip count is not known in advance. 0.0 when there is no loop.
    """
    loops = chunkable = 0
    for root in nodes:
        for node in ast.walk(root):
            if isinstance(node, (ast.For, ast.AsyncFor)):
                loops += 1
                inner = [n for stmt in node.body for n in ast.walk(stmt)]
                chunkable += not any(isinstance(n, _EXITS) for n in inner)
            elif isinstance(node, ast.While):
                loops += 1
            elif isinstance(node, (ast.ListComp, ast.SetComp, ast.DictComp, ast.GeneratorExp)):
                loops += 1
                chunkable += not any(isinstance(n, _EXITS) for n in ast.walk(node))
    return chunkable / loops if loops else 0.0


class Analyzer:
    """Scores and classifies source units with taskgauge, for the GPU facts of this host."""

    def __init__(self, taskgauge: Any, thresholds: Dict[str, float], gpu_available: bool,
                 compute_capability: Optional[str]) -> None:
        self.tg = taskgauge
        self.thresholds = thresholds
        self.gpu_available = gpu_available
        self.compute_capability = compute_capability

    def score(self, unit: SourceUnit) -> Dict[str, Any]:
        tg, t = self.tg, self.thresholds
        code = unit.text
        numpy_s, pandas_s, sklearn_s = tg.score_framework_patterns(code)
        regex = {fw: tg.quick_framework_score(code, fw) for fw in ("numpy", "pandas", "sklearn")}
        name = unit.name.rsplit(".", 1)[-1] if unit.kind in ("function", "method") else None
        cpu, memory, parallel, gpu_op, large, embarrassing, sequential = tg.score_indicators(code, name)
        cpu_i, memory_i, parallel_i, gpu_op_s, large_s = tg.normalize_scores(cpu, memory, parallel, gpu_op, large)
        chunking = loop_chunking_potential(unit.nodes)
        potential = tg.calculate_parallelization_potential(parallel_i, embarrassing, sequential, chunking)
        suitability = tg.calculate_gpu_suitability(gpu_op_s, large_s, cpu_i, self.gpu_available,
                                                   self.compute_capability)
        speedup = tg.estimate_gpu_speedup(gpu_op_s, large_s, self.gpu_available)
        code_ = tg.determine_workload_pattern(
            cpu_i, memory_i, potential, suitability, gpu_op_s, numpy_s, pandas_s, sklearn_s,
            sequential, embarrassing, t["cpu"], t["memory"], t["gpu"], t["numpy"], t["pandas"], t["sklearn"],
            self.gpu_available)
        pattern, category = PATTERNS.get(code_, ("UNKNOWN_%d" % code_, "unknown"))
        return {
            "name": unit.name,
            "kind": unit.kind,
            "lines": [unit.first, unit.last],
            "line_ranges": unit.ranges,
            "pattern": pattern,
            "pattern_code": code_,
            "category": category,
            "frameworks": {"numpy": numpy_s, "pandas": pandas_s, "sklearn": sklearn_s},
            "framework_regex": regex,
            "indicators": {"cpu": cpu, "memory": memory, "parallel": parallel, "gpu_op": gpu_op,
                           "large_data": large, "embarrassing": embarrassing, "sequential": sequential},
            "normalized": {"cpu": cpu_i, "memory": memory_i, "parallel": parallel_i, "gpu_op": gpu_op_s,
                           "large_data": large_s},
            "loop_chunking_potential": chunking,
            "parallelization_potential": potential,
            "gpu_suitability": suitability,
            "gpu_speedup": speedup,
        }

    def analyze_file(self, path: str) -> Dict[str, Any]:
        """Result of one file; raises CommandError with a one-line reason when it cannot be read."""
        try:
            text = read_source(path)
        except OSError as exc:
            raise CommandError("cannot read: %s" % (exc.strerror or exc))
        except (SyntaxError, UnicodeDecodeError, LookupError) as exc:
            raise CommandError("cannot decode: %s" % _one_line(exc))
        try:
            tree = ast.parse(text, filename=path)
        except SyntaxError as exc:
            where = ("line %d: " % exc.lineno) if exc.lineno else ""
            raise CommandError("syntax error: %s%s" % (where, exc.msg))
        except (ValueError, RecursionError, MemoryError) as exc:  # null bytes; nesting too deep to parse
            raise CommandError("cannot parse: %s" % _one_line(exc))
        n_lines = len(source_lines(text))
        whole = SourceUnit("<file>", "file", 1, max(n_lines, 1), text, [tree])
        return {"path": path, "lines": n_lines, "verdict": self.score(whole),
                "units": [self.score(u) for u in split_units(text, tree)]}


_NOT_REGULAR = "not a regular file (or a broken symbolic link)"


def iter_python_files(paths: Sequence[str]) -> Iterator[Tuple[str, Optional[str]]]:
    """(path, None) for each file to analyse, (path, reason) for each path that cannot be used.

    Directories are walked recursively in sorted order for `*.py` files, skipping hidden directories
    and `__pycache__`; a file named explicitly is analysed whatever its suffix.
    """
    for path in paths:
        if os.path.isdir(path):
            found = False
            for dirpath, dirnames, filenames in os.walk(path):
                dirnames[:] = sorted(d for d in dirnames if not d.startswith(".") and d != "__pycache__")
                for name in sorted(filenames):
                    if name.endswith(".py"):
                        found = True
                        full = os.path.join(dirpath, name)
                        yield full, None if os.path.isfile(full) else _NOT_REGULAR
            if not found:
                yield path, "no Python files in this directory"
        elif os.path.isfile(path):
            yield path, None
        elif os.path.lexists(path):
            yield path, _NOT_REGULAR  # a FIFO would block the read; a dangling link has nothing to read
        else:
            yield path, "no such file or directory"


def _gpu_facts(choice: str, capability: Optional[str]) -> Dict[str, Any]:
    """Whether to score for a GPU, from hostprobe (`auto`) or the option, and its compute capability."""
    facts: Dict[str, Any] = {"source": "option", "gpu_available": choice == "yes", "active_backend": None,
                             "gpu_count": None, "compute_capability": capability}
    if choice == "auto":
        report, error = host_capabilities()
        facts["source"] = "hostprobe"
        if report is None:
            facts["gpu_available"] = False
            facts["error"] = error
        else:
            facts["gpu_available"] = bool(report.get("has_gpu"))
            facts["active_backend"] = report.get("active_backend")
            facts["gpu_count"] = report.get("gpu_count")
            if facts["gpu_available"] and capability is None and report.get("active_backend") == "cuda":
                facts["compute_capability"] = cuda_compute_capability()
    return facts


def cuda_compute_capability() -> Optional[str]:
    """Compute capability of the first CUDA device, from the vendor's tool, or None if unknown."""
    try:
        done = subprocess.run(["nvidia-smi", "--query-gpu=compute_cap", "--format=csv,noheader"],
                              capture_output=True, timeout=2.0, check=False)
    except (OSError, subprocess.SubprocessError):
        return None
    if done.returncode != 0:
        return None
    for line in done.stdout.decode("utf-8", errors="ignore").splitlines():
        line = line.strip()
        if re.fullmatch(r"\d+(\.\d+)?", line):
            return line
    return None


def cmd_analyze(args: argparse.Namespace) -> int:
    tg = _import_native("velmora.plugins.analyzer.taskgauge")
    thresholds = {name: getattr(args, "%s_threshold" % name) for name, _, _ in DEFAULT_THRESHOLDS}
    facts = _gpu_facts(args.gpu, args.compute_capability)
    analyzer = Analyzer(tg, thresholds, facts["gpu_available"], facts["compute_capability"])
    files: List[Dict[str, Any]] = []
    errors: List[Dict[str, str]] = []
    for path, problem in iter_python_files(args.paths):
        if problem is None:
            try:
                files.append(analyzer.analyze_file(path))
                continue
            except CommandError as exc:
                problem = str(exc)
        errors.append({"path": path, "error": problem})
        sys.stderr.write("%s analyze: %s: %s\n" % (PROG, path, problem))
    counts: Dict[str, int] = {}
    for f in files:
        counts[f["verdict"]["pattern"]] = counts.get(f["verdict"]["pattern"], 0) + 1
    summary = {"files": len(files), "units": sum(len(f["units"]) for f in files), "errors": len(errors),
               "patterns": dict(sorted(counts.items(), key=lambda kv: (-kv[1], kv[0])))}
    status = 1 if errors or not files else 0
    if args.json:
        _write(json.dumps({"host": facts, "thresholds": thresholds, "files": files, "errors": errors,
                           "summary": summary}, indent=2))
        return status
    _print_analysis(files, summary, facts, thresholds, args.verbose)
    if not files and not errors:
        sys.stderr.write("%s analyze: nothing to analyse\n" % PROG)
    return status


def _print_analysis(files: List[Dict[str, Any]], summary: Dict[str, Any], facts: Dict[str, Any],
                    thresholds: Dict[str, float], verbose: bool) -> None:
    if facts["gpu_available"]:
        where = "from hostprobe: %s, %s device(s)" % (facts["active_backend"], facts["gpu_count"]) \
            if facts["source"] == "hostprobe" else "as given by --gpu yes"
        cc = facts["compute_capability"] or "unknown"
        _write("GPU: present (%s), compute capability %s" % (where, cc))
    elif facts["source"] == "hostprobe":
        _write("GPU: none on this host, so GPU suitability is 0 and no speed-up is expected"
               " (--gpu yes scores as if one were present)")
    else:
        _write("GPU: none (as given by --gpu no)")
    _write("Thresholds: " + ", ".join("%s %.2f" % kv for kv in thresholds.items()))
    for f in files:
        v = f["verdict"]
        _write()
        _write("%s  (%d lines): %s, %s" % (f["path"], f["lines"], v["pattern"], v["category"]))
        headers = ["unit", "lines", "pattern", "numpy", "pandas", "sklearn", "parallel", "gpu", "speed-up"]
        if verbose:
            headers += ["cpu", "mem", "par", "gpu_op", "large", "emb", "seq", "chunk"]
        rows = []
        for u in [v] + f["units"]:
            fw = u["frameworks"]
            row = ["(whole file)" if u["kind"] == "file" else u["name"], _ranges_text(u["line_ranges"]), u["pattern"],
                   "%.2f" % fw["numpy"], "%.2f" % fw["pandas"], "%.2f" % fw["sklearn"],
                   "%.2f" % u["parallelization_potential"], "%.2f" % u["gpu_suitability"],
                   "%.1fx" % u["gpu_speedup"]]
            if verbose:
                ind = u["indicators"]
                row += [ind[k] for k in ("cpu", "memory", "parallel", "gpu_op", "large_data", "embarrassing",
                                         "sequential")] + ["%.2f" % u["loop_chunking_potential"]]
            rows.append(row)
        _write(_table(headers, rows, right=range(3, len(headers)), indent="  "))
    if len(files) > 1:
        _write()
        _write("Files")
        _write(_table(("file", "pattern", "kind of work", "parallel", "gpu", "speed-up"),
                      [(f["path"], f["verdict"]["pattern"], f["verdict"]["category"],
                        "%.2f" % f["verdict"]["parallelization_potential"], "%.2f" % f["verdict"]["gpu_suitability"],
                        "%.1fx" % f["verdict"]["gpu_speedup"]) for f in files], right=(3, 4, 5), indent="  "))
    _write()
    patterns = ", ".join("%s %d" % kv for kv in summary["patterns"].items()) or "-"
    _write("%d file(s), %d unit(s) analysed, %d error(s). Files by pattern: %s"
           % (summary["files"], summary["units"], summary["errors"], patterns))


# ---------------------------------------------------------------- plan


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


_SIZE_UNITS = {"": 1, "b": 1, "k": 1024, "kib": 1024, "kb": 1000, "m": 1024**2, "mib": 1024**2,
               "mb": 1000**2, "g": 1024**3, "gib": 1024**3, "gb": 1000**3, "t": 1024**4, "tib": 1024**4,
               "tb": 1000**4}


def parse_available(text: str) -> Optional[int]:
    """`auto` (None) or a byte count: digits with an optional unit (K/M/G/T or KiB.. binary, KB.. decimal)."""
    if text.strip().lower() == "auto":
        return None
    m = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([A-Za-z]*)\s*", text, re.ASCII)
    unit = m.group(2).lower() if m else None
    if m is None or unit not in _SIZE_UNITS:
        raise argparse.ArgumentTypeError("expected a byte count such as 16000000000, 16GiB or 'auto', got %r" % text)
    value = int(fractions.Fraction(m.group(1)) * _SIZE_UNITS[unit])  # exact: no float rounding or overflow
    if value > UINT64_MAX:
        raise argparse.ArgumentTypeError("byte count %s exceeds 2**64 - 1" % text)
    return value


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("expected a positive integer, got %r" % text)
    if not 1 <= value <= INT32_MAX:
        raise argparse.ArgumentTypeError("expected an integer from 1 to %d, got %s" % (INT32_MAX, text))
    return value


def _compute_capability(text: str) -> str:
    if not re.fullmatch(r"\d{1,3}(\.\d{1,3})?", text.strip()):
        raise argparse.ArgumentTypeError("expected a compute capability such as 8.6, got %r" % text)
    return text.strip()


def _float_in(low: float, high: float, what: str) -> Callable[[str], float]:
    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError("expected a number, got %r" % text)
        if not (low <= value <= high):  # also rejects nan
            raise argparse.ArgumentTypeError("%s must be between %g and %g, got %s" % (what, low, high, text))
        return value

    parse.__name__ = what  # argparse names the type in some messages
    return parse


def gpu_memory_from_registry() -> Dict[str, Any]:
    """Memory of the GPU an array would be placed on (device 0 of the preferred backend).

    The backend registry reports each device's total memory, not its free memory; the plan uses
    the total and says so. `device` is None when the host has no GPU backend.
    """
    try:
        from velmora.gpu.backend_registry import GPUBackendKind, GPUBackendRegistry

        best = GPUBackendRegistry.get_best_available()
    except Exception as exc:
        return {"device": None, "bytes": 0, "note": "the GPU backend registry failed: %s" % _one_line(exc)}
    info: Any = getattr(best, "info")
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


def _group_shapes(shapes: List[Tuple[Any, ...]]) -> List[Dict[str, Any]]:
    groups: List[Dict[str, Any]] = []
    for s in shapes:
        if groups and groups[-1]["shape"] == list(s):
            groups[-1]["count"] += 1
        else:
            groups.append({"shape": list(s), "count": 1})
    return groups


def _shape_text(shape: Sequence[int]) -> str:
    return "(" + ", ".join(str(d) for d in shape) + ("," if len(shape) == 1 else "") + ")"


def cmd_plan(args: argparse.Namespace) -> int:
    df = _import_native("velmora.gpu.devicefit")
    shape = args.shape
    gpu: Optional[Dict[str, Any]] = None
    if args.available is None:
        gpu = gpu_memory_from_registry()
        available, source = int(gpu["bytes"]), "registry"
    else:
        available, source = args.available, "option"
    headroom = args.headroom
    chunkable = bool(df.is_chunkable_operation(args.op))
    needed = df.estimate_allocation_bytes(shape, args.itemsize, args.overhead)
    safe = df.calculate_safe_limit(available, headroom)
    code, chunk_size, chunk_count, message = df.decide_allocation_strategy(needed, available, headroom, chunkable)
    names = {df.GPU_DIRECT: "GPU_DIRECT", df.GPU_CHUNKED: "GPU_CHUNKED", df.CPU_FALLBACK: "CPU_FALLBACK"}
    plan: Dict[str, Any] = {
        "shape": list(shape), "itemsize": args.itemsize, "overhead": args.overhead,
        "operation": args.op, "chunkable": chunkable,
        "bytes_needed": needed, "saturated": needed == INT64_MAX,
        "available_bytes": available, "available_source": source, "gpu": gpu,
        "headroom": headroom, "safe_limit": safe,
        "strategy": names.get(code, str(code)), "strategy_code": code, "message": message,
        "chunk_size": chunk_size, "chunk_count": chunk_count,
        "gpu_suitability": df.score_gpu_suitability(needed, args.op, available, headroom),
        "chunk_shapes": None, "chunk_shapes_note": None,
    }
    if code == df.GPU_CHUNKED:
        plan["chunk_shapes"], plan["chunk_shapes_note"] = _chunk_shapes(df, shape, args.itemsize, chunk_size)
    if args.json:
        _write(json.dumps(plan, indent=2))
        return 0
    rows = [
        ("array", "shape %s, %d-byte items%s" % (_shape_text(shape), args.itemsize,
                                                 ", overhead x%g" % args.overhead if args.overhead != 1.0 else "")),
        ("operation", "%s (%s)" % (args.op, "chunkable" if chunkable else "not chunkable")),
        ("bytes needed", _bytes_text(needed) + (" (saturated estimate)" if plan["saturated"] else "")),
    ]
    if gpu is not None:
        rows.append(("available", _bytes_text(available) + "  [%s]" % gpu["note"]))
    else:
        rows.append(("available", _bytes_text(available) + "  [given]"))
    rows += [
        ("headroom", "%.2f" % headroom),
        ("safe limit", _bytes_text(safe)),
        ("strategy", "%s: %s" % (plan["strategy"], message)),
        ("GPU suitability", "%.2f" % plan["gpu_suitability"]),
    ]
    if code == df.GPU_CHUNKED:
        rows.append(("chunks", "%s%d passes of at most %s" % ("at least " if plan["saturated"] else "", chunk_count,
                                                              _bytes_text(chunk_size))))
        if plan["chunk_shapes"] is not None:
            groups = plan["chunk_shapes"]
            text = ", ".join("%s x %d" % (_shape_text(g["shape"]), g["count"]) if g["count"] > 1
                             else _shape_text(g["shape"]) for g in groups)
            total = sum(g["count"] for g in groups)
            rows.append(("chunk shapes", "%s  (%d chunk%s along the first axis)" % (text, total, "s" * (total != 1))))
        if plan["chunk_shapes_note"]:
            rows.append(("", plan["chunk_shapes_note"]))
    width = max(len(k) for k, _ in rows)
    for key, value in rows:
        _write("%s  %s" % (key.ljust(width), value))
    if gpu is not None and gpu["device"] is None:
        sys.stderr.write("%s plan: %s; pass --available BYTES to plan for a given device\n" % (PROG, gpu["note"]))
    return 0


def _chunk_shapes(df: Any, shape: Tuple[int, ...], itemsize: int, max_bytes: int
                  ) -> Tuple[Optional[List[Dict[str, Any]]], Optional[str]]:
    """Chunk shapes from devicefit, grouped into runs; not built when the list would be huge."""
    if not shape:
        return [{"shape": [], "count": 1}], None
    row_bytes = itemsize
    for d in shape[1:]:
        row_bytes *= d
    if row_bytes == 0 or row_bytes > UINT64_MAX:
        return None, "chunk shapes not computed: one row of %s items is not a representable size" % _shape_text(shape[1:])
    rows_per_chunk = max_bytes // row_bytes if max_bytes >= row_bytes else 1
    expected = -(-shape[0] // rows_per_chunk) if shape[0] > 0 else 0
    if rows_per_chunk > INT32_MAX or expected > SHAPE_LIST_LIMIT:
        return None, "chunk shapes not listed: %d chunks of up to %d rows" % (expected, min(rows_per_chunk, shape[0]))
    note = None
    if row_bytes > max_bytes:
        note = "one row (%s) exceeds the chunk size, so each chunk holds one row" % _human_bytes(row_bytes)
    return _group_shapes(df.compute_chunk_shapes(shape, itemsize, max_bytes)), note


# ---------------------------------------------------------------- bench


def find_bench_dir(explicit: Optional[str] = None) -> Tuple[Optional[str], List[str]]:
    """The benchmark folder: --bench-dir, else ./bench, else bench/ of the source checkout holding
    this package (src layout). Returns (folder or None, the places looked at)."""
    if explicit:
        candidates = [explicit]
    else:
        here = os.path.dirname(os.path.abspath(__file__))
        candidates = [os.path.join(os.getcwd(), "bench"),
                      os.path.normpath(os.path.join(here, os.pardir, os.pardir, "bench"))]
    looked = []
    for c in candidates:
        c = os.path.abspath(c)
        if c in looked:
            continue
        looked.append(c)
        if os.path.isfile(os.path.join(c, "run_all.py")) and os.path.isfile(os.path.join(c, "harness.py")):
            return c, looked
    return None, looked


def _load_run_all(bench_dir: str) -> Any:
    module_spec = importlib.util.spec_from_file_location("velmora_bench_run_all", os.path.join(bench_dir, "run_all.py"))
    if module_spec is None or module_spec.loader is None:
        raise CommandError("cannot load %s" % os.path.join(bench_dir, "run_all.py"))
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


class _Progress:
    """One progress line on stderr: rewritten in place on a terminal, a line per step otherwise."""

    def __init__(self) -> None:
        self.tty = sys.stderr.isatty()
        self.width = 0

    def __call__(self, message: str) -> None:
        if self.tty:
            text = message[:110]
            sys.stderr.write("\r" + text.ljust(self.width))
            self.width = len(text)
        else:
            sys.stderr.write(message + "\n")
        sys.stderr.flush()

    def done(self) -> None:
        if self.tty and self.width:
            sys.stderr.write("\r" + " " * self.width + "\r")
            sys.stderr.flush()


def cmd_bench(args: argparse.Namespace) -> int:
    bench_dir, looked = find_bench_dir(args.bench_dir)
    if bench_dir is None:
        raise CommandError("no benchmark folder found (looked for run_all.py and harness.py in %s); run this "
                           "from a source checkout of velmora or pass --bench-dir" % ", ".join(looked))
    run_all = _load_run_all(bench_dir)
    progress = _Progress()
    try:
        result = run_all.run(bench_dir, quick=args.quick, only=args.modules or None, progress=progress)
    finally:
        progress.done()
    if args.json:
        _write(json.dumps(result, indent=2))
    else:
        _write(run_all.format_report(result))
    for err in result["errors"]:
        sys.stderr.write("%s bench: %s: %s\n" % (PROG, err["file"], err["error"]))
    if not result["rows"] and not result["errors"]:
        raise CommandError("no benchmarks matched %s in %s" % (" ".join(args.modules) or "*", bench_dir))
    return 0 if result["all_met"] and not result["errors"] else 1


# ---------------------------------------------------------------- parser and entry point


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="velmora: host report, workload analysis, GPU placement plans "
                                            "and benchmarks. A bare `velmora` runs `velmora info`.")
    parser.add_argument("--version", action="version", version="%(prog)s " + (_package_info()["version"] or "(source tree)"))
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    p = sub.add_parser("info", help="host capabilities, native modules and interpreter",
                       description="Host capability report of hostprobe.detect_capabilities(), the nine native "
                                   "modules with where they loaded from, and the interpreter.")
    p.add_argument("--json", action="store_true", help="print one JSON document")
    p.set_defaults(func=cmd_info)

    p = sub.add_parser("analyze", help="score and classify Python source files",
                       description="Split Python files (directories recursively) into the module body, top-level "
                                   "functions and methods, and score and classify each with taskgauge. Files that "
                                   "cannot be read or parsed are reported and the run goes on (exit status 1).")
    p.add_argument("paths", nargs="+", metavar="PATH", help="Python file or directory")
    p.add_argument("--json", action="store_true", help="print one JSON document")
    p.add_argument("-v", "--verbose", action="store_true", help="also show the indicator counts")
    p.add_argument("--gpu", choices=("auto", "yes", "no"), default="auto",
                   help="score for a GPU: auto asks hostprobe (default), yes/no overrides it")
    p.add_argument("--compute-capability", metavar="X.Y", type=_compute_capability, default=None,
                   help="GPU compute capability such as 8.6 (default: read from the CUDA device, else unknown)")
    for name, default, text in DEFAULT_THRESHOLDS:
        p.add_argument("--%s-threshold" % name, type=_float_in(0.0, 1.0, "threshold"), default=default,
                       metavar="T", help="%s (default %.2f)" % (text, default))
    p.set_defaults(func=cmd_analyze)

    p = sub.add_parser("plan", help="plan placing an array on the GPU",
                       description="The devicefit plan for placing an array on the GPU: bytes needed, safe limit, "
                                   "strategy, chunk count and chunk shapes.")
    p.add_argument("--shape", required=True, type=parse_shape, metavar="D1,D2,...",
                   help="array dimensions, e.g. 20000,20000")
    p.add_argument("--itemsize", type=_positive_int, default=8, metavar="BYTES",
                   help="bytes per element (default 8)")
    p.add_argument("--op", default=DEFAULT_OPERATION, metavar="NAME",
                   help="operation producing the array, e.g. zeros, random.rand, matmul "
                        "(default %s: creating it)" % DEFAULT_OPERATION)
    p.add_argument("--available", type=parse_available, default=None, metavar="BYTES|auto",
                   help="free GPU memory, e.g. 8000000000 or 16GiB; auto (default) asks the backend registry")
    p.add_argument("--headroom", type=_float_in(0.0, 0.99, "headroom"), default=DEFAULT_HEADROOM, metavar="R",
                   help="share of the memory kept back, 0 to 0.99 (default %.2f)" % DEFAULT_HEADROOM)
    p.add_argument("--overhead", type=_float_in(1.0, 1e6, "overhead"), default=1.0, metavar="F",
                   help="factor on the estimate for temporaries, 1 or more (default 1)")
    p.add_argument("--json", action="store_true", help="print one JSON document")
    p.set_defaults(func=cmd_plan)

    p = sub.add_parser("bench", help="run the benchmark suite of bench/",
                       description="Run every bench/bench_*.py (or those named) through bench/harness.py and print "
                                   "one table: ns/op and the ratios to the pure-Python twin, the interpreter's call "
                                   "floor and the peer, and whether each bar is met. Needs a source checkout.")
    p.add_argument("modules", nargs="*", metavar="MODULE", help="only these benchmarks, e.g. lockless taskgauge")
    p.add_argument("--quick", action="store_true", help="fewer and shorter repeats")
    p.add_argument("--json", action="store_true", help="print one JSON document")
    p.add_argument("--bench-dir", metavar="DIR", help="the bench/ folder (default ./bench, else the checkout's)")
    p.set_defaults(func=cmd_bench)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; returns the exit status (0 success, 1 failure, 2 usage error)."""
    parser = build_parser()
    args = parser.parse_args(list(sys.argv[1:] if argv is None else argv))
    if args.command is None:
        args = parser.parse_args(["info"])
    try:
        return int(args.func(args))
    except CommandError as exc:
        sys.stderr.write("%s %s: error: %s\n" % (PROG, args.command, exc))
        return 1
    except KeyboardInterrupt:
        sys.stderr.write("\n%s %s: interrupted\n" % (PROG, args.command))
        return 1
    except BrokenPipeError:
        # The reader went away (`velmora analyze . | head`): stop quietly, and point stdout at
        # /dev/null so that the interpreter's final flush does not fail again.
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return 1
