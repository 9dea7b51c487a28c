"""The nine native extension modules of velmora, in the order reports list them.

This tuple is the one list of them in the package: the command line, its tests and anything else
that needs to know which native modules exist import it from here.
"""

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

__all__ = ["NATIVE_MODULES"]
