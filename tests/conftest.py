"""Shared test settings: hypothesis profiles (the sanitizer build runs fewer, slower examples)."""

import os

from hypothesis import HealthCheck, settings

settings.register_profile("default", max_examples=100, deadline=None)
settings.register_profile(
    "sanitizer", max_examples=20, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile(os.environ.get("VELMORA_TEST_PROFILE", "default"))


import subprocess
import sys
from pathlib import Path

import pytest

# A child interpreter imports the very package under test, whatever its working directory.
_PACKAGE_PARENT = str(Path(__import__("velmora").__file__).resolve().parents[1])


def child_env(**extra):
    env = dict(os.environ, **extra)
    env["PYTHONPATH"] = os.pathsep.join([_PACKAGE_PARENT] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return env


@pytest.fixture
def run_child():
    """Runs `code` in a fresh interpreter (so a crash or a hang fails one test, not the runner)."""
    def run(code, *interpreter_args, timeout=60, env=None):
        return subprocess.run([sys.executable, *interpreter_args, "-c", code], capture_output=True, text=True,
                              timeout=timeout, env=child_env(**(env or {})))
    return run
