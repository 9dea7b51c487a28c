"""The `velmora` command: reports which native modules of this installation load."""

from __future__ import annotations

import importlib
import sys

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


def main(argv: list[str] | None = None) -> int:
    failed = 0
    for name in NATIVE_MODULES:
        try:
            module = importlib.import_module(name)
        except ImportError as exc:
            failed += 1
            print("%-36s  not loaded: %s" % (name, exc))
        else:
            print("%-36s  %s" % (name, module.__file__))
    print("Python %d.%d.%d" % sys.version_info[:3])
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
