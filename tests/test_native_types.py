"""Native classes: instance methods are the interpreter's method descriptors, class attributes keep the rich
signature."""

import functools
import importlib
import inspect
import sysconfig
import types

import pytest

from velmora import _modules


def native_classes():
    for name in _modules.NATIVE_MODULES:
        module = importlib.import_module(name)
        for attr in sorted(vars(module)):
            obj = vars(module)[attr]
            if isinstance(obj, type) and type(obj).__name__ == "velmora_native_type":
                yield obj


def descriptor_methods():
    for cls in native_classes():
        for name, raw in sorted(vars(cls).items()):
            if type(raw).__name__ == "method_descriptor" and not name.startswith("__"):
                yield cls, name


CASES = list(descriptor_methods())


def test_every_module_with_classes_has_descriptor_methods():
    assert {cls.__module__ for cls, _ in CASES} == {
        "velmora.memory.lockless", "velmora.memory.fitindex", "velmora.memory.slabkit",
        "velmora.jit.compilegate", "velmora.monitoring.tallyhub"}


@pytest.mark.parametrize("cls, name", CASES, ids=lambda c: getattr(c, "__name__", c))
def test_class_attribute_and_descriptor_describe_the_same_method(cls, name):
    rich, raw = getattr(cls, name), vars(cls)[name]
    assert type(rich).__name__ == "velmora_function"
    assert rich.__name__ == raw.__name__  # an alias (py_load) is the very method it names
    assert rich.__qualname__ == raw.__qualname__ == "%s.%s" % (cls.__name__, rich.__name__)
    assert rich.__text_signature__ == raw.__text_signature__
    assert (rich.__doc__ or None) == (raw.__doc__ or None)
    assert isinstance(rich.__annotations__, dict)
    # Aliases stay one object on both sides.
    for other, value in vars(cls).items():
        if value is raw:
            assert getattr(cls, other) is rich


def test_calls_through_the_descriptor_bind_like_the_table():
    from velmora.memory.lockless import AtomicCounter
    c = AtomicCounter(1)
    assert c.increment() == 2 and c.increment(3) == 5 and c.increment(delta=5) == 10
    assert AtomicCounter.increment(c) == 11            # the rich function, called directly
    assert str(inspect.signature(c.increment)) == "(delta=1)"
    with pytest.raises(TypeError, match=r"^increment\(\) takes at most 1 positional argument \(2 given\)$"):
        c.increment(1, 2)
    with pytest.raises(TypeError, match=r"^increment\(\) got an unexpected keyword argument 'x'$"):
        c.increment(x=1)
    with pytest.raises(TypeError, match="doesn't apply to a 'int' object"):
        vars(AtomicCounter)["increment"](5)
    assert AtomicCounter.py_increment is AtomicCounter.increment


def test_subclass_overrides_and_inherits():
    from velmora.memory.lockless import AtomicCounter

    class Counting(AtomicCounter):
        def load(self):
            return -1

    c = Counting(4)
    assert c.load() == -1 and c.increment() == 5
    assert Counting.load is vars(Counting)["load"] and Counting.increment is AtomicCounter.increment


CHILD = """
import importlib, sys, warnings
warnings.simplefilter("error")
from velmora import _modules
for name in _modules.NATIVE_MODULES:
    importlib.import_module(name)
print(sys._is_gil_enabled())
"""


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="free-threaded CPython only")
def test_importing_every_module_keeps_the_gil_off(run_child):
    done = run_child(CHILD)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout == "False\n" and done.stderr == ""


@pytest.mark.parametrize("call, message", [
    (lambda c: c.load(1), "load() takes no arguments (1 given)"),
    (lambda c: c.load(x=1), "load() takes no keyword arguments"),
    (lambda c: c.store(), "store() takes exactly 1 positional argument (0 given)"),
    (lambda c: c.store(1, 2), "store() takes exactly 1 positional argument (2 given)"),
    (lambda c: c.store(1, v=1), "store() got an unexpected keyword argument 'v'"),
])
@pytest.mark.parametrize("how", ["call", "bound method", "descriptor"])
def test_every_call_route_binds_with_bare_names(call, message, how):
    from velmora.memory.lockless import AtomicCounter
    c = AtomicCounter(1)
    if how == "bound method":
        target = types.SimpleNamespace(load=c.load, store=c.store)
    elif how == "descriptor":
        target = types.SimpleNamespace(**{n: functools.partial(vars(AtomicCounter)[n], c) for n in ("load", "store")})
    else:
        target = c
    with pytest.raises(TypeError) as info:
        call(target)
    assert str(info.value) == message
    assert (c.store(value=5), c.load()) == (None, 5)
