"""CMake builds the modules velmora._modules lists; a listed module without a source or an unlisted source stops it."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from velmora._modules import NATIVE_MODULES

ROOT = Path(__file__).resolve().parents[1]
CMAKE = shutil.which("cmake")
# The generator the machine has: a build machine may have ninja and no make.
GENERATOR = ["-G", "Ninja"] if shutil.which("ninja") else []

pytestmark = pytest.mark.skipif(CMAKE is None or not (ROOT / "CMakeLists.txt").is_file(),
                                reason="needs cmake and the source tree's CMakeLists.txt")

LIST_FILE = ROOT / "src" / "velmora" / "_modules.py"
PACKAGE_LIST = LIST_FILE.read_text(encoding="utf-8") if LIST_FILE.is_file() else ""


def source_of(dotted):
    return dotted.split(".", 1)[1].replace(".", "/") + ".cpp"


def configure(tmp_path, list_text, sources):
    """Configures a tree holding only CMakeLists.txt, the module list and empty sources."""
    tree = tmp_path / "tree"
    (tree / "src" / "velmora").mkdir(parents=True)
    shutil.copy(ROOT / "CMakeLists.txt", tree)
    (tree / "src" / "velmora" / "_modules.py").write_text(list_text, encoding="utf-8")
    for source in list(sources) + ["_support_test.cpp"]:  # the support library's test extension is always built
        path = tree / "src" / "velmora" / source
        path.parent.mkdir(parents=True, exist_ok=True)
        path.touch()
    # A sanitizer run's runtime and allocator choice are not cmake's (its launcher may be another Python).
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    return subprocess.run([CMAKE, "-S", str(tree), "-B", str(tree / "build"), *GENERATOR,
                           "-DPython_EXECUTABLE=" + sys.executable],
                          capture_output=True, text=True, timeout=300, env=env)


ODD_LIST = '''"""Modules (a docstring with parentheses)."""

NATIVE_MODULES = (  # the order (of reports)
    "velmora.memory.lockless",  # first (of two)

    "velmora.gpu.devicefit"
)
'''


@pytest.mark.parametrize("list_text, expected", [
    (PACKAGE_LIST, list(NATIVE_MODULES)),
    (ODD_LIST, ["velmora.memory.lockless", "velmora.gpu.devicefit"]),
], ids=["the package's list", "comments and no trailing comma"])
def test_cmake_reads_the_python_list(tmp_path, list_text, expected):
    done = configure(tmp_path, list_text, [source_of(name) for name in expected])
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    shown = re.search(r"^-- Native modules: (.*)$", done.stdout, re.M)
    assert shown and shown.group(1).split() == [source_of(name)[:-4] for name in expected] + ["_support_test"]


@pytest.mark.parametrize("list_text, sources, message", [
    (PACKAGE_LIST, [source_of(name) for name in NATIVE_MODULES[:-1]],
     "without a source: %s: src/velmora/%s" % (NATIVE_MODULES[-1], source_of(NATIVE_MODULES[-1]))),
    (ODD_LIST, ["memory/lockless.cpp", "gpu/devicefit.cpp", "gpu/extra.cpp"],
     "does not list: src/velmora/gpu/extra.cpp"),
    ('NATIVE_MODULES = (\n    "velmora.memory.lockless",\n    velmora_gpu,\n)\n', ["memory/lockless.cpp"],
     "NATIVE_MODULES must hold double-quoted module names only"),
    ('NATIVE_MODULES = (\n    "velmora.a.lockless",\n    "velmora.b.lockless",\n)\n',
     ["a/lockless.cpp", "b/lockless.cpp"], "two modules are named lockless"),
], ids=["a listed module without its source", "a source the list does not name", "not a string", "one name twice"])
def test_cmake_stops_where_list_and_sources_disagree(tmp_path, list_text, sources, message):
    done = configure(tmp_path, list_text, sources)
    assert done.returncode != 0
    assert message in " ".join(done.stderr.split()), done.stderr[-3000:]  # CMake rewraps its messages
