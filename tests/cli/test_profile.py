"""`velmora profile` end to end: the program's output, exit status and exceptions pass through
unchanged; the report ranks its functions with the compile gate's and the analysis' verdicts."""

import json
import subprocess
import sys
import textwrap

import pytest

PROGRAMS = {
    "plain": "print('out', sys.argv[1:])\nprint('err', file=sys.stderr)\n",
    "exit3": "print('partial')\nsys.exit(3)\n",
    "exit_text": "sys.exit('stopped: bad input')\n",
    "exit_none": "sys.exit()\n",
    "exit_big": "sys.exit(300)\n",
    "raises": "def inner(x):\n    return 1 / x\n\ndef outer():\n    print('before')\n    return inner(0)\n\nouter()\n",
    "chained": "try:\n    {}['k']\nexcept KeyError as e:\n    raise RuntimeError('wrapped') from e\n",
    "hook": "def hook(t, v, tb):\n    print('custom hook:', t.__name__, file=sys.stderr)\nsys.excepthook = hook\n"
            "raise LookupError('x')\n",
    "closes_stderr": "print('bye')\nsys.stderr.close()\n",
}


def _script(tmp_path, name):
    path = tmp_path / ("%s.py" % name)
    path.write_text("import sys\n" + PROGRAMS[name])
    return path


@pytest.mark.parametrize("name", sorted(PROGRAMS))
def test_output_status_and_exceptions_pass_through_unchanged(tmp_path, name, velmora_cmd, child_env):
    script = _script(tmp_path, name)
    plain = subprocess.run([sys.executable, str(script), "a", "-b"], capture_output=True, text=True, timeout=60,
                           cwd=tmp_path, env=child_env)
    report = tmp_path / "report.txt"
    profiled = velmora_cmd("profile", "-o", report, script, "a", "-b", cwd=tmp_path, timeout=120)
    assert (profiled.returncode, profiled.stdout, profiled.stderr) == (plain.returncode, plain.stdout, plain.stderr)
    first = report.read_text().splitlines()[0]
    assert first.startswith("velmora profile: ") and "exit status %d" % plain.returncode in first


def test_keyboard_interrupt_ends_with_status_130(tmp_path, velmora_cmd):
    script = tmp_path / "ctrl_c.py"
    script.write_text("raise KeyboardInterrupt\n")
    done = velmora_cmd("profile", "-o", tmp_path / "r.txt", script)
    assert done.returncode == 130 and done.stderr.rstrip().endswith("KeyboardInterrupt")


def test_a_module_runs_as_under_python_m(tmp_path, velmora_cmd, child_env):
    (tmp_path / "tool_mod.py").write_text(
        "import sys\nprint(__name__, sys.argv[1:], sys.argv[0].endswith('tool_mod.py'))\n")
    plain = subprocess.run([sys.executable, "-m", "tool_mod", "--help", "x"], capture_output=True, text=True,
                           timeout=60, cwd=tmp_path, env=child_env)
    profiled = velmora_cmd("profile", "-o", tmp_path / "r.txt", "-m", "tool_mod", "--help", "x", cwd=tmp_path)
    assert profiled.returncode == plain.returncode == 0
    assert profiled.stdout == plain.stdout == "__main__ ['--help', 'x'] True\n"


HOT = textwrap.dedent("""\
    import threading

    def work(n):
        total = 0
        for i in range(n):
            total += i * i - 1
        return total

    def rare():
        return sum(work(50) for _ in range(3))

    def main():
        for _ in range(150):
            work(4000)
        rare()
        t = threading.Thread(target=work, args=(10,))
        t.start()
        t.join()
        print("done")

    main()
    """)


@pytest.fixture(scope="module")
def hot_report(tmp_path_factory, velmora_cmd):
    folder = tmp_path_factory.mktemp("hot")
    (folder / "hot.py").write_text(HOT)
    done = velmora_cmd("profile", "--json", "hot.py", cwd=folder)
    assert done.returncode == 0 and done.stdout == "done\n"
    return json.loads(done.stderr)  # the report goes to standard error by default


def test_the_json_report_counts_calls_and_asks_the_compile_gate(hot_report):
    functions = {f["function"]: f for f in hot_report["functions"]}
    work = functions["work"]
    assert work["calls"] == 150 + 3 + 1 and functions["main"]["calls"] == 1 and functions["rare"]["calls"] == 1
    assert work["compile"]["would_compile"] is True and work["compile"]["threshold"] == 100
    assert functions["rare"]["compile"]["would_compile"] is False
    assert work["file"] == "hot.py" and work["line"] == 3
    assert 0 < work["own_share"] <= work["total_share"] <= 1.0
    owns = [f["own_s"] for f in hot_report["functions"]]
    assert owns == sorted(owns, reverse=True) and hot_report["functions"][0]["function"] == "work"
    assert work["analysis"]["unit"] == "work" and work["analysis"]["pattern"] == "CPU_INTENSIVE"
    assert hot_report["program"] == dict(hot_report["program"], argv=["hot.py"], status=0, exception=None)
    assert hot_report["mechanism"] == ("sys.monitoring" if sys.version_info >= (3, 12) else "sys.setprofile")


def test_the_text_report_ranks_functions_with_verdicts(tmp_path, velmora_cmd):
    (tmp_path / "hot.py").write_text(HOT)
    done = velmora_cmd("profile", "--top", "3", "-v", "hot.py", cwd=tmp_path)
    assert done.returncode == 0 and done.stdout == "done\n"
    lines = done.stderr.splitlines()
    assert lines[0].startswith("velmora profile: hot.py ran ") and lines[1].startswith("Host: ")
    header = next(i for i, line in enumerate(lines) if line.startswith("Top 3 of "))
    assert lines[header + 1].split() == ["#", "function", "own", "%", "total", "%", "calls", "own/call",
                                         "compile", "gate", "pattern", "action"]
    first = lines[header + 3]
    assert "hot.py:3 work" in first and "154" in first and "yes, after 100 calls" in first
    assert "Why" in lines and "Columns" in lines and lines[-1].endswith("would be compiled by the compile gate.")


@pytest.mark.parametrize("args, status, message", [
    (["profile"], 2, "give a SCRIPT to run or -m MODULE"),
    (["profile", "no_such_script.py"], 2, "can't open file 'no_such_script.py'"),
    (["profile", "-m", "no_such_module_xyz"], 1, "no module named 'no_such_module_xyz'"),
    (["profile", "--top", "0", "x.py"], 2, "argument --top"),
])
def test_profile_usage_errors(tmp_path, velmora_cmd, args, status, message):
    done = velmora_cmd(*args, cwd=tmp_path)
    assert done.returncode == status and done.stdout == ""
    (line,) = done.stderr.splitlines()
    assert message in line
