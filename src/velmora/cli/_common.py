"""Helpers shared by the subcommands: errors, output, option parsing, host facts, progress."""

from __future__ import annotations

import argparse
import fractions
import importlib
import os
import platform
import re
import subprocess
import sys
import sysconfig
import time
from typing import Any, Callable, Dict, NoReturn, Optional, Tuple

PROG = "velmora"
INT32_MAX = 2**31 - 1
UINT64_MAX = 2**64 - 1
INT64_MAX = 2**63 - 1


class CommandError(Exception):
    """A failure to report as one line on stderr with exit status 1."""


class Parser(argparse.ArgumentParser):
    """argparse with usage errors on one line (exit status 2) instead of the usage block."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, "%s: error: %s (see '%s --help')\n" % (self.prog, message, self.prog))


def write(text: str = "") -> None:
    sys.stdout.write(text + "\n")


def one_line(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    return ("%s: %s" % (type(exc).__name__, text[0])) if text else type(exc).__name__


def import_native(name: str) -> Any:
    try:
        return importlib.import_module(name)
    except Exception as exc:  # any failure to load (ImportError, RuntimeError of the module frame)
        # B904: the cause stays chained implicitly (__context__), as callers have always seen it.
        raise CommandError("the native module %s did not load: %s" % (name, one_line(exc)))  # noqa: B904


def human_bytes(n: int) -> str:
    value = float(n)
    for unit in ("B", "KiB", "MiB", "GiB", "TiB", "PiB"):
        if value < 1024.0 or unit == "PiB":
            return ("%d %s" % (n, unit)) if unit == "B" else ("%.2f %s" % (value, unit))
        value /= 1024.0
    return "%d B" % n  # pragma: no cover - the loop always returns


def bytes_text(n: int) -> str:
    return "{:,} bytes ({})".format(n, human_bytes(n)) if n >= 1024 else "{:,} bytes".format(n)


# ---------------------------------------------------------------- option values

_SIZE_UNITS = {"": 1, "b": 1, "k": 1024, "kib": 1024, "kb": 1000, "m": 1024**2, "mib": 1024**2,
               "mb": 1000**2, "g": 1024**3, "gib": 1024**3, "gb": 1000**3, "t": 1024**4, "tib": 1024**4,
               "tb": 1000**4}


def parse_size(text: str) -> int:
    """A byte count: digits with an optional unit (K/M/G/T or KiB.. binary, KB.. decimal)."""
    m = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([A-Za-z]*)\s*", text, re.ASCII)
    unit = m.group(2).lower() if m else None
    if m is None or unit not in _SIZE_UNITS:
        raise argparse.ArgumentTypeError("expected a byte count such as 16000000000 or 16GiB, got %r" % text)
    value = int(fractions.Fraction(m.group(1)) * _SIZE_UNITS[unit])  # exact: no float rounding or overflow
    if value > UINT64_MAX:
        raise argparse.ArgumentTypeError("byte count %s exceeds 2**64 - 1" % text)
    return value


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        # B904: the cause stays chained implicitly (__context__), as callers have always seen it.
        raise argparse.ArgumentTypeError("expected a positive integer, got %r" % text)  # noqa: B904
    if not 1 <= value <= INT32_MAX:
        raise argparse.ArgumentTypeError("expected an integer from 1 to %d, got %s" % (INT32_MAX, text))
    return value


def count_int(text: str) -> int:
    """A non-negative integer (0 meaning "all" where an option says so)."""
    try:
        value = int(text)
    except ValueError:
        # B904: the cause stays chained implicitly (__context__), as callers have always seen it.
        raise argparse.ArgumentTypeError("expected a whole number, got %r" % text)  # noqa: B904
    if not 0 <= value <= INT32_MAX:
        raise argparse.ArgumentTypeError("expected a whole number from 0 to %d, got %s" % (INT32_MAX, text))
    return value


def compute_capability(text: str) -> str:
    if not re.fullmatch(r"\d{1,3}(\.\d{1,3})?", text.strip()):
        raise argparse.ArgumentTypeError("expected a compute capability such as 8.6, got %r" % text)
    return text.strip()


def float_in(low: float, high: float, what: str) -> Callable[[str], float]:
    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            # B904: the cause stays chained implicitly (__context__), as callers have always seen it.
            raise argparse.ArgumentTypeError("expected a number, got %r" % text)  # noqa: B904
        if not (low <= value <= high):  # also rejects nan
            raise argparse.ArgumentTypeError("%s must be between %g and %g, got %s" % (what, low, high, text))
        return value

    parse.__name__ = what  # argparse names the type in some messages
    return parse


# ---------------------------------------------------------------- host facts


def gil_enabled() -> bool:
    probe = getattr(sys, "_is_gil_enabled", None)
    return bool(probe()) if probe is not None else True


def interpreter_info() -> Dict[str, Any]:
    return {
        "implementation": sys.implementation.name,
        "version": platform.python_version(),
        "executable": sys.executable,
        "gil_enabled": gil_enabled(),
        "free_threaded_build": bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
    }


def host_capabilities() -> Tuple[Optional[Dict[str, Any]], Optional[str]]:
    """hostprobe's capability report, or (None, why) when the module does not load."""
    try:
        hostprobe = importlib.import_module("velmora.native.hostprobe")
    except Exception as exc:
        return None, one_line(exc)
    return dict(hostprobe.detect_capabilities()), None


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


def host_facts(gpu_choice: str = "auto", capability: Optional[str] = None) -> Dict[str, Any]:
    """What the analysis needs to know of this host: usable CPUs, NUMA nodes, the GIL, and whether
    to score for a GPU (from hostprobe with ``auto``, else as the option says)."""
    report, error = host_capabilities()
    facts: Dict[str, Any] = {
        "source": "option" if gpu_choice != "auto" else "hostprobe",
        "gpu_available": gpu_choice == "yes", "active_backend": None, "gpu_count": None,
        "compute_capability": capability,
        "cpus": (report or {}).get("physical_cores") or os.cpu_count() or 1,
        "numa_nodes": (report or {}).get("numa_nodes") or 1,
        "gil_enabled": gil_enabled(),
        "python": "%s %s" % (platform.python_implementation(), platform.python_version()),
    }
    if report is None:
        facts["error"] = error
    if gpu_choice == "auto" and report is not None:
        facts["gpu_available"] = bool(report.get("has_gpu"))
        facts["active_backend"] = report.get("active_backend")
        facts["gpu_count"] = report.get("gpu_count")
        if facts["gpu_available"] and capability is None and report.get("active_backend") == "cuda":
            facts["compute_capability"] = cuda_compute_capability()
    return facts


def host_line(facts: Dict[str, Any]) -> str:
    """The host in one line, as the analysis and the profiler see it."""
    cpus, numa = facts["cpus"], facts["numa_nodes"]
    text = "Host: %d CPU%s, %d NUMA node%s, " % (cpus, "s" * (cpus != 1), numa, "s" * (numa != 1))
    if facts["gpu_available"]:
        where = ("%s, %s device(s)" % (facts["active_backend"], facts["gpu_count"])
                 if facts["source"] == "hostprobe" else "as given by --gpu yes")
        text += "GPU (%s, compute capability %s)" % (where, facts["compute_capability"] or "unknown")
    elif facts["source"] == "hostprobe":
        text += "no GPU (no GPU speed-ups; --gpu yes scores as if one were present)"
    else:
        text += "no GPU (as given by --gpu no)"
    text += "; %s, GIL %s" % (facts["python"], "enabled" if facts["gil_enabled"] else "disabled")
    return text


# ---------------------------------------------------------------- progress


class Progress:
    """One progress line on stderr, rewritten in place, shown only when stderr is a terminal
    (``always`` writes a line per step instead, for logs)."""

    def __init__(self, always: bool = False, interval: float = 0.2) -> None:
        self.tty = sys.stderr.isatty()
        self.active = self.tty or always
        self.width = 0
        self.interval = interval
        self.last = 0.0

    def __call__(self, message: str, force: bool = False) -> None:
        if not self.active:
            return
        if self.tty:
            now = time.monotonic()
            if not force and now - self.last < self.interval:
                return
            self.last = now
            text = message[:110]
            sys.stderr.write("\r" + text.ljust(self.width))
            self.width = len(text)
        else:
            sys.stderr.write(message + "\n")
        sys.stderr.flush()

    def note(self, line: str) -> None:
        """A line of its own on stderr (a skipped file), above the progress line."""
        if self.tty and self.width:
            sys.stderr.write("\r" + " " * self.width + "\r")
            self.width = 0
            self.last = 0.0
        sys.stderr.write(line + "\n")
        sys.stderr.flush()

    def done(self) -> None:
        if self.tty and self.width:
            sys.stderr.write("\r" + " " * self.width + "\r")
            sys.stderr.flush()
            self.width = 0
