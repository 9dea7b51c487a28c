"""A second interpreter of the process is refused with the documented ImportError, whatever its GIL setting."""

import sys

import pytest

from velmora import _modules

pytestmark = pytest.mark.skipif(sys.implementation.name != "cpython", reason="CPython sub-interpreters")

CHILD = """
import importlib, sys
try:
    import _interpreters as interpreters          # 3.13 and later
except ImportError:
    import _xxsubinterpreters as interpreters     # before 3.13
name, out = sys.argv[1], sys.argv[2]
importlib.import_module(name)                     # the main interpreter loads it first
code = '''
try:
    import %s
    message = "imported"
except BaseException as exc:
    message = type(exc).__name__ + ": " + str(exc)
with open(%r, "w") as f:
    f.write(message)
''' % (name, out)
for config in {configs}:
    iid = interpreters.create(*config[0], **config[1])
    run = getattr(interpreters, "run_string", None) or getattr(interpreters, "exec")
    run(iid, code)
    interpreters.destroy(iid)
    print(open(out).read())
"""


def configs():
    # Isolated interpreters (own GIL, strict extension checks) exist from 3.12; before that every
    # sub-interpreter shares the GIL and takes no arguments.
    if sys.version_info >= (3, 13):
        return [(("isolated",), {}), (("legacy",), {})]
    if sys.version_info >= (3, 12):
        return [((), {"isolated": True}), ((), {"isolated": False})]
    return [((), {})]


@pytest.mark.parametrize("name", _modules.NATIVE_MODULES)
def test_second_interpreter_gets_the_documented_error(run_child, tmp_path, name):
    pytest.importorskip("_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters")
    code = CHILD.format(configs=configs())
    done = run_child(code.replace("sys.argv[1], sys.argv[2]", "%r, %r" % (name, str(tmp_path / "out.txt"))),
                     timeout=60)
    assert done.returncode == 0, done.stderr[-2000:]
    lines = done.stdout.splitlines()
    assert len(lines) == len(configs())
    for line in lines:
        assert line == ("ImportError: Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.")
