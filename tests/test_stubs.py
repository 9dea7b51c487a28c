"""Every native module ships a .pyi stub that mypy's stubtest finds consistent with the built module."""

import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

from velmora._modules import NATIVE_MODULES


def _origin(name):
    module_spec = importlib.util.find_spec(name)
    assert module_spec is not None and module_spec.origin, "%s is not importable" % name
    return Path(module_spec.origin)


@pytest.mark.parametrize("name", NATIVE_MODULES)
def test_stub_sits_beside_the_native_module(name):
    origin = _origin(name)
    short = name.rsplit(".", 1)[1]
    assert origin.name.startswith(short + ".") and origin.suffix in (".so", ".pyd")
    assert (origin.parent / (short + ".pyi")).is_file()


def test_package_is_marked_typed():
    assert (_origin("velmora").parent / "py.typed").is_file()


@pytest.fixture(scope="module")
def stubtest_errors():
    """stubtest run once over all nine modules: the error blocks grouped by module (None: any other)."""
    pytest.importorskip("mypy.stubtest")
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", *NATIVE_MODULES], capture_output=True, text=True,
                          timeout=600)
    output = re.sub(r"\nFound \d+ errors? \(checked .*", "", done.stdout + done.stderr)
    errors = {name: [] for name in list(NATIVE_MODULES) + [None]}
    blocks = re.split(r"\n(?=error: )", "\n" + output)
    for block in blocks:
        m = re.match(r"error: (\S+)", block)
        if not m:
            continue
        owners = [n for n in NATIVE_MODULES if m.group(1) == n or m.group(1).startswith(n + ".")]
        errors[owners[0] if owners else None].append(block.strip())
    if done.returncode != 0 and not any(errors.values()):
        pytest.fail("stubtest failed without a per-object error:\n" + output[-4000:])
    return errors


@pytest.mark.parametrize("name", NATIVE_MODULES)
def test_stubtest_finds_the_stub_consistent(stubtest_errors, name):
    problems = stubtest_errors[name]
    assert not problems, "\n\n".join(problems)


def test_stubtest_reports_nothing_else(stubtest_errors):
    assert not stubtest_errors[None], "\n\n".join(stubtest_errors[None])
