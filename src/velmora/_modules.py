"""The native extension modules of velmora, in the order reports list them.

This tuple is the one list of them: CMake reads it to know which modules to build (and stops when
a listed module has no source, or a source is not listed), and the command line, the tests, the
stub generator (tools/stubgen.py) and the fuzzer import it. CMake parses the text, so keep it a
tuple of double-quoted dotted names; comments are fine.
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
