"""Running a user's program under the collector, as the interpreter itself would run it.

``run_program`` executes a script (``runpy.run_path``) or a module (``runpy.run_module``) as
``__main__`` with the program's own ``sys.argv`` and ``sys.path[0]``, so it sees the same world
as under ``python SCRIPT`` or ``python -m MODULE``. Its output goes where it would go. Its end is
recorded, not acted on: ``Outcome.status`` is the exit status the interpreter would give
(``sys.exit`` codes as Python maps them, 1 after an uncaught exception, 130 after Ctrl-C), and
``report_exception`` prints an uncaught exception through ``sys.excepthook`` with the frames of
this harness taken off, so the traceback reads exactly as without profiling.
"""

from __future__ import annotations

import os
import runpy
import sys
import time
from types import TracebackType
from typing import Any, List, Optional

from velmora.profiler.collector import Collector, FunctionStats

__all__ = ["Outcome", "run_program", "report_exception", "HARNESS_FILES"]

_HERE = os.path.dirname(os.path.abspath(__file__))
# Files whose functions belong to the harness, not to the program.
HARNESS_FILES = frozenset([os.path.abspath(runpy.__file__), "<frozen runpy>"] + [
    os.path.join(_HERE, name) for name in ("run.py", "collector.py", "report.py", "__init__.py")])


class Outcome:
    """How a profiled program ended and what the collector measured."""

    def __init__(self) -> None:
        self.status = 0
        self.exception: Optional[BaseException] = None
        self.exit_message: Optional[str] = None  # what sys.exit("text") prints
        self.wall = 0.0
        self.stats: List[FunctionStats] = []
        self.mechanism = ""


def _exit_status(exc: SystemExit, outcome: Outcome) -> int:
    """The interpreter's exit status for ``sys.exit(code)``: None is 0, an integer is itself (as
    the system keeps its low byte), anything else is printed and gives 1."""
    code = exc.code
    if code is None:
        return 0
    if isinstance(code, int):
        return int(code) & 0xFF
    outcome.exit_message = str(code)
    return 1


def run_program(target: str, args: List[str], module: bool = False, collector: Optional[Collector] = None) -> Outcome:
    """Run ``target`` (a script path, or a module name when ``module``) with ``args``."""
    outcome = Outcome()
    collector = collector or Collector()
    outcome.mechanism = collector.mechanism
    saved_argv, saved_path0 = sys.argv[:], sys.path[0] if sys.path else None
    if module:
        sys.argv = [target] + list(args)  # run_module puts the module's file in argv[0]
        entry = os.getcwd()
    else:
        sys.argv = [target] + list(args)
        entry = os.path.dirname(os.path.abspath(target))
    if sys.path:
        sys.path[0] = entry
    else:
        sys.path.insert(0, entry)
    started = time.perf_counter()
    collector.start()
    try:
        if module:
            runpy.run_module(target, run_name="__main__", alter_sys=True)
        else:
            runpy.run_path(os.path.abspath(target), run_name="__main__")
    except SystemExit as exc:
        outcome.status = _exit_status(exc, outcome)
    except KeyboardInterrupt as exc:
        outcome.exception, outcome.status = exc, 130
    except BaseException as exc:  # the program's own failure: reported as the interpreter would
        outcome.exception, outcome.status = exc, 1
    finally:
        collector.stop()
        outcome.wall = time.perf_counter() - started
        sys.argv = saved_argv
        if saved_path0 is not None and sys.path:
            sys.path[0] = saved_path0
    outcome.stats = [s for s in collector.results() if s.code.co_filename not in HARNESS_FILES]
    return outcome


def _trimmed(tb: Optional[TracebackType]) -> Optional[TracebackType]:
    while tb is not None and (os.path.abspath(tb.tb_frame.f_code.co_filename) in HARNESS_FILES
                              or tb.tb_frame.f_code.co_filename in HARNESS_FILES):
        tb = tb.tb_next
    return tb


def report_exception(exc: BaseException) -> None:
    """Print the program's uncaught exception the way the interpreter does at exit."""
    tb = _trimmed(exc.__traceback__)
    exc.__traceback__ = tb  # the default hook prints the exception's own traceback
    hook: Any = sys.excepthook
    hook(type(exc), exc, tb)
