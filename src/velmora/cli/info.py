"""`velmora info`: host capabilities, the native modules and where they loaded from, the interpreter."""

from __future__ import annotations

import argparse
import datetime
import importlib
import json
import os
import platform
from typing import Any, Dict, List, Optional

from velmora._modules import NATIVE_MODULES
from velmora._table import render_table
from velmora.cli._common import host_capabilities, interpreter_info, one_line, write


def package_info() -> Dict[str, Any]:
    import velmora

    version: Optional[str] = getattr(velmora, "__version__", None)
    if version is None:
        try:
            from importlib import metadata

            version = metadata.version("velmora")
        except Exception:  # not installed: running from a source tree
            version = None
    return {"version": version, "location": os.path.dirname(os.path.abspath(velmora.__file__))}


def load_modules() -> List[Dict[str, Any]]:
    """Import each native module; report where it loaded from or why it did not."""
    out = []
    for name in NATIVE_MODULES:
        try:
            module = importlib.import_module(name)
        except Exception as exc:
            out.append({"module": name, "loaded": False, "path": None, "error": one_line(exc)})
        else:
            out.append({"module": name, "loaded": True, "path": getattr(module, "__file__", None), "error": None})
    return out


def cmd_info(args: argparse.Namespace) -> int:
    report, report_error = host_capabilities()
    modules = load_modules()
    doc: Dict[str, Any] = {
        "velmora": package_info(),
        "interpreter": interpreter_info(),
        "capabilities": report,
        "modules": modules,
    }
    if report_error is not None:
        doc["capabilities_error"] = report_error
    failed = sum(not m["loaded"] for m in modules) + (report is None)
    if args.json:
        write(json.dumps(doc, indent=2))
        return 1 if failed else 0

    pkg, interp = doc["velmora"], doc["interpreter"]
    write("velmora %s  (%s)" % (pkg["version"] or "(source tree)", pkg["location"]))
    gil = "GIL enabled" if interp["gil_enabled"] else "GIL disabled"
    if interp["free_threaded_build"]:
        gil += " (free-threaded build)"
    write("Interpreter  %s %s, %s  (%s)" % (platform.python_implementation(), interp["version"], gil,
                                             interp["executable"]))
    write()
    if report is None:
        write("Host capabilities: not available (%s)" % report_error)
    else:
        write("Host capabilities (hostprobe.detect_capabilities)")
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
        write(render_table(("key", "value"), rows, indent="  "))
    write()
    loaded = len(modules) - sum(not m["loaded"] for m in modules)
    write("Native modules (%d of %d loaded)" % (loaded, len(modules)))
    write(render_table(("module", "status", "loaded from"),
                       [(m["module"], "loaded" if m["loaded"] else "FAILED", m["path"] if m["loaded"] else m["error"])
                        for m in modules], indent="  "))
    return 1 if failed else 0


def register(sub: Any) -> None:
    p = sub.add_parser("info", help="host capabilities, native modules and interpreter",
                       description="Host capability report of hostprobe.detect_capabilities(), the nine native "
                                   "modules with where they loaded from, and the interpreter.")
    p.add_argument("--json", action="store_true", help="print one JSON document")
    p.set_defaults(func=cmd_info)
