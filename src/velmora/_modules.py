"""The nine native modules of the package, in the order they are built and documented."""

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
