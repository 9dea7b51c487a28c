"""Every native module ships the .pyi stub tools/stubgen.py makes of it, and mypy's stubtest finds it consistent."""

import dataclasses
import importlib
import importlib.util
import re
import subprocess
import sys
import types
from pathlib import Path

import pytest

from velmora._modules import NATIVE_MODULES

STUBGEN_PATH = Path(__file__).resolve().parents[1] / "tools" / "stubgen.py"


def _origin(name):
    module_spec = importlib.util.find_spec(name)
    assert module_spec is not None and module_spec.origin, "%s is not importable" % name
    return Path(module_spec.origin)


@pytest.fixture(scope="module")
def stubgen():
    if not STUBGEN_PATH.is_file():
        pytest.skip("tools/stubgen.py is not beside the tests (not a source checkout)")
    found = importlib.util.spec_from_file_location("velmora_stubgen", STUBGEN_PATH)
    module = importlib.util.module_from_spec(found)
    sys.modules[found.name] = module
    found.loader.exec_module(module)
    yield module
    del sys.modules[found.name]


@pytest.mark.parametrize("name", NATIVE_MODULES)
def test_stub_sits_beside_the_native_module(name):
    origin = _origin(name)
    short = name.rsplit(".", 1)[1]
    assert origin.name.startswith(short + ".") and origin.suffix in (".so", ".pyd")
    assert (origin.parent / (short + ".pyi")).is_file()


def test_package_is_marked_typed():
    assert (_origin("velmora").parent / "py.typed").is_file()


@pytest.mark.parametrize("name", NATIVE_MODULES)
def test_committed_stub_is_the_generated_one(stubgen, run_child, name):
    path = stubgen.stub_path(name)
    committed = path.read_text(encoding="utf-8")
    # Generated in a fresh interpreter: other tests may have rebound module attributes in this one.
    code = ("import importlib.util, sys\n"
            "found = importlib.util.spec_from_file_location('velmora_stubgen', %r)\n"
            "module = importlib.util.module_from_spec(found); sys.modules[found.name] = module\n"
            "found.loader.exec_module(module)\n"
            "sys.stdout.write(module.generate(importlib.import_module(%r)))\n" % (str(STUBGEN_PATH), name))
    done = run_child(code, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    generated = done.stdout
    if committed != generated:
        pytest.fail("%s differs from what the module says of itself; regenerate it with "
                    "`PYTHONPATH=src python tools/stubgen.py --write`:\n%s"
                    % (path, stubgen.diff(path, committed, generated)))


# Faults of the typing table, each made on tallyhub's entry: the generator must refuse them, naming the entry.
TABLE_FAULTS = [
    ("a refinement pinned to an annotation the module no longer has",
     {"refine": {"CounterAggregator.get_stats": {"return": ("list", "_CounterStats")}}},
     "refine['CounterAggregator.get_stats']['return'] expects the run-time annotation 'list' of return, "
     "but the module says 'dict'"),
    ("a refinement that says what the module says",
     {"refine": {"CounterAggregator.reset_all": {"return": ("None", "None")}}},
     "refine['CounterAggregator.reset_all']['return'] is what the module already says: drop it"),
    ("a refinement of a parameter that does not exist",
     {"refine": {"CounterAggregator.update": {"delta": ("int", "_Int")}}},
     "refine['CounterAggregator.update']['delta'] matches no parameter"),
    ("a rule that applies to nothing",
     {"parameters": {"int": "_Int", "float": "_Float", "bytes": "Optional[bytes]"}},
     "parameters rule for 'bytes' applies to no parameter"),
    ("a constructor for a class the module does not have",
     {"constructors": {"Gone": ""}},
     "constructors['Gone'] matches no class"),
    ("an annotation naming nothing",
     {"refine": {"CounterAggregator.get_stats": {"return": ("dict", "_Stats")}}},
     "the name '_Stats' is used but defined nowhere"),
]


@pytest.mark.parametrize("change, message", [case[1:] for case in TABLE_FAULTS], ids=[case[0] for case in TABLE_FAULTS])
def test_typing_table_faults_stop_the_generator(stubgen, change, message):
    name = "velmora.monitoring.tallyhub"
    base = stubgen.TYPING[name]
    merged = {key: (dict(getattr(base, key), **value) if key == "refine" else value) for key, value in change.items()}
    with pytest.raises(stubgen.StubError) as raised:
        stubgen.generate(importlib.import_module(name), dataclasses.replace(base, **merged))
    assert message in str(raised.value)


def test_a_class_without_a_constructor_signature_anywhere_stops_the_generator(stubgen):
    name = "velmora.memory.lockless"  # LockFreeStack takes any arguments: only the table says so
    base = stubgen.TYPING[name]
    with pytest.raises(stubgen.StubError) as raised:
        stubgen.generate(importlib.import_module(name), dataclasses.replace(base, constructors={}))
    assert "the class publishes no constructor signature" in str(raised.value)


class _Rich:
    """Describes itself as the native function type does."""

    def __init__(self, module, qualname, text_signature, annotations, defaults=None, doc=None):
        self.__module__, self.__qualname__ = module, qualname
        self.__name__ = qualname.rpartition(".")[2]
        self.__text_signature__, self.__annotations__, self.__defaults__, self.__doc__ = (
            text_signature, annotations, defaults, doc)

    def __call__(self, *args):
        raise AssertionError("never called")


def _published_module():
    """A module whose class publishes its constructor and a typed read-only property, as a native class could."""
    name = "velmora_published"
    module = types.ModuleType(name, "A module.\n\nDetails a stub leaves out.")

    def new(cls, *args, **kwargs):
        return object.__new__(cls)

    box = type("Box", (), {
        "__module__": name,
        "__doc__": "Box(size, step=8, *, label=None)\n--\n\nA box of a size.",
        "__new__": new,
        "__new_annotations__": {"size": "int", "label": "str"},
        "capacity": property(_Rich(name, "Box.capacity", "($self)", {"return": "int"}, doc="Room left.")),
        "resize": _Rich(name, "Box.resize", "($self, size, keep=True)", {"size": "int", "return": "Box"}, (True,)),
    })
    module.Box = box
    module.make = _Rich(name, "make", "(size, scale=0.5)", {"size": "int", "scale": "float", "return": "Box"}, (0.5,),
                        doc="Makes a box.\n\nMore words.")
    module.LIMIT = 3
    return module


def test_a_published_constructor_and_typed_properties_need_no_table(stubgen):
    text = stubgen.generate(_published_module(), stubgen.Typing(parameters={"str": "Optional[str]"}))
    assert '"""A module."""' in text and "Details" not in text and "More words" not in text
    assert "from typing import Optional\n" in text
    assert "\nLIMIT: int\n" in text
    assert '    """A box of a size."""' in text
    assert "    def __new__(cls, size: int, step=8, *, label: Optional[str] = None) -> Box: ...\n" in text
    assert '    @property\n    def capacity(self) -> int:\n        """Room left."""\n' in text
    assert "    def resize(self, size: int, keep=True) -> Box: ...\n" in text
    assert 'def make(size: int, scale: float = 0.5) -> Box:\n    """Makes a box."""\n' in text


def test_a_table_constructor_beside_a_published_one_is_refused(stubgen):
    refused = r"the class publishes its constructor \(size, step=8, \*, label=None\): drop constructors\['Box'\]"
    with pytest.raises(stubgen.StubError, match=refused):
        stubgen.generate(_published_module(), stubgen.Typing(constructors={"Box": "size: int, step: int = 8"}))


def test_check_and_write_on_the_command_line(stubgen, tmp_path, monkeypatch, capsys):
    stub = tmp_path / "tallyhub.pyi"
    stub.write_text("# stale\n", encoding="utf-8")
    monkeypatch.setattr(stubgen, "stub_path", lambda name: stub)
    assert stubgen.main(["--check", "tallyhub"]) == 1
    assert "-# stale\n" in capsys.readouterr().out and stub.read_text() == "# stale\n"
    assert stubgen.main(["--write", "velmora.monitoring.tallyhub"]) == 0
    assert stubgen.main(["--check", "tallyhub"]) == 0
    assert stub.read_text(encoding="utf-8") == stubgen.generate(importlib.import_module("velmora.monitoring.tallyhub"))


@pytest.fixture(scope="module")
def stubtest_errors():
    """stubtest run once over all the modules: the error blocks grouped by module (None: any other)."""
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
