"""Running the command line in tests: as a child process (bounded in time) or in this process."""

import contextlib
import io
import os
import subprocess
import sys
from pathlib import Path

import pytest

import velmora
from velmora import cli

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"

# The child imports the very package under test, whatever its working directory.
CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    [str(Path(velmora.__file__).resolve().parents[1])]
    + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))


def run_velmora(*args, cwd=None, timeout=120, stdin=None):
    return subprocess.run([sys.executable, "-m", "velmora", *map(str, args)], cwd=cwd or ROOT, input=stdin,
                          capture_output=True, text=True, timeout=timeout, env=CHILD_ENV)


def run_in_process(*args):
    """cli.main in this process: (status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli.main([str(a) for a in args])
    return status, out.getvalue(), err.getvalue()


@pytest.fixture(scope="session")
def velmora_cmd():
    return run_velmora


@pytest.fixture(scope="session")
def in_process():
    return run_in_process


@pytest.fixture(scope="session")
def child_env():
    return CHILD_ENV
