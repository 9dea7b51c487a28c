"""Shared test settings: hypothesis profiles (the sanitizer build runs fewer, slower examples)."""

import os
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings

# The pure-Python models of tests/reference/ (shared with bench/) import as `reference.<module>`.
_TESTS = os.path.dirname(os.path.abspath(__file__))
if _TESTS not in sys.path:
    sys.path.insert(0, _TESTS)

settings.register_profile("default", max_examples=100, deadline=None)
settings.register_profile(
    "sanitizer", max_examples=20, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile(os.environ.get("VELMORA_TEST_PROFILE", "default"))

# A child interpreter imports the very package under test, whatever its working directory.
_PACKAGE_PARENT = str(Path(__import__("velmora").__file__).resolve().parents[1])


def child_env(**extra):
    env = dict(os.environ, **extra)
    env["PYTHONPATH"] = os.pathsep.join(
        [_PACKAGE_PARENT] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return env


@pytest.fixture
def run_child():
    """Runs `code` in a fresh interpreter (so a crash or a hang fails one test, not the runner)."""
    def run(code, *interpreter_args, timeout=60, env=None):
        return subprocess.run([sys.executable, *interpreter_args, "-c", code], capture_output=True, text=True,
                              timeout=timeout, env=child_env(**(env or {})))
    return run


# The prelude of a thread-stress child: SECONDS (VELMORA_STRESS_SECONDS, default 1.0) and
# run_threads(targets), which starts every target at once (a barrier), joins them within a bound,
# and re-raises the first exception a thread raised.
STRESS_PRELUDE = '''
import os, sys, threading, time
SECONDS = float(os.environ.get("VELMORA_STRESS_SECONDS", "1.0"))

def run_threads(targets, timeout=120.0):
    barrier = threading.Barrier(len(targets))
    errors = []
    def wrap(fn):
        def run():
            try:
                barrier.wait()
                fn()
            except BaseException as exc:
                errors.append(exc)
        return run
    threads = [threading.Thread(target=wrap(fn), daemon=True) for fn in targets]
    for th in threads:
        th.start()
    for th in threads:
        th.join(timeout)
    if any(th.is_alive() for th in threads):
        raise SystemExit("a thread did not finish")
    if errors:
        raise errors[0]

def until_deadline():
    deadline = time.monotonic() + SECONDS
    return lambda: time.monotonic() < deadline
'''


@pytest.fixture
def run_stress(run_child):
    """Runs a thread-stress body (after STRESS_PRELUDE) in a child; it must print exactly "ok"."""
    def run(body, timeout=300):
        import textwrap
        done = run_child(STRESS_PRELUDE + textwrap.dedent(body), timeout=timeout)
        assert done.returncode == 0 and done.stdout == "ok\n", (done.returncode, done.stdout[-500:],
                                                                done.stderr[-3000:])
    return run
