"""Native lock sections enter and leave a lock exactly as a `with` statement would, for any lock object."""

import sys
import types

import pytest

from velmora.jit import compilegate
from velmora.memory import fitindex, lockless, slabkit


def manager_classes(events):
    """Lock stand-ins, each probing one rule of the statement; `events` records what was called."""

    class Plain:
        def __enter__(self):
            events.append("enter")
            return self

        def __exit__(self, *exc):
            events.append(("exit", exc))
            return None

    class InstanceAttributes(Plain):
        def __init__(self):
            # A statement looks special methods up on the type: these are never called.
            self.__enter__ = lambda: events.append("instance enter")
            self.__exit__ = lambda *a: events.append("instance exit")

    class OnlyOnInstance:
        def __init__(self):
            self.__enter__ = lambda: events.append("instance enter")
            self.__exit__ = lambda *a: events.append("instance exit")

    class NoExit:
        def __enter__(self):
            events.append("enter")

    class NoEnter:
        def __exit__(self, *exc):
            events.append("exit")

    class ByGetattr:
        def __getattr__(self, name):
            events.append("getattr " + name)
            return lambda *a: None

    class Descriptors:
        @staticmethod
        def __enter__():
            events.append("static enter")

        @classmethod
        def __exit__(cls, *exc):
            events.append(("class exit", cls.__name__, exc))

    class PropertyEnter(Plain):
        @property
        def __enter__(self):
            events.append("get __enter__")
            return lambda: events.append("enter")

    class SwapsExit(Plain):
        def __enter__(self):
            events.append("enter")
            type(self).__exit__ = lambda self, *exc: events.append("new exit")

    class EnterRaises(Plain):
        def __enter__(self):
            events.append("enter")
            raise KeyError("from __enter__")

    class ExitRaises(Plain):
        def __exit__(self, *exc):
            events.append(("exit", exc))
            raise ValueError("from __exit__")

    class Meta(type):
        def __enter__(cls):
            events.append("metaclass enter")

        def __exit__(cls, *exc):
            events.append("metaclass exit")

    class OnMetaclass(metaclass=Meta):
        pass

    class AsyncOnly:  # newer interpreters suggest `async with` for this one
        async def __aenter__(self):
            events.append("aenter")

        async def __aexit__(self, *exc):
            events.append("aexit")

    class AsyncEnterOnly(NoExit):  # ... but not for this one, which lacks __aexit__
        async def __aenter__(self):
            events.append("aenter")

    return [Plain, InstanceAttributes, OnlyOnInstance, NoExit, NoEnter, ByGetattr, Descriptors, PropertyEnter,
            SwapsExit, EnterRaises, ExitRaises, OnMetaclass, AsyncOnly, AsyncEnterOnly]


def outcome(events, run):
    del events[:]
    try:
        run()
        error = None
    except Exception as exc:  # the comparison is of what was raised
        error = (type(exc), str(exc))
    return list(events), error


def with_statement(manager):
    with manager:
        pass


# Operations that take the object's lock once; each installs `make_lock` as the lock factory that
# the module looks up through its `threading` global.
def pointer_load(monkeypatch, make_lock):
    monkeypatch.setattr(lockless, "threading", types.SimpleNamespace(Lock=make_lock))
    pointer = lockless.AtomicPointer(1)
    return pointer.load


def stack_push(monkeypatch, make_lock):
    monkeypatch.setattr(lockless, "threading", types.SimpleNamespace(Lock=make_lock))
    stack = lockless.LockFreeStack()
    return lambda: stack.push(1)


def tree_insert(monkeypatch, make_lock):
    monkeypatch.setattr(fitindex, "threading", types.SimpleNamespace(Lock=make_lock))
    tree = fitindex.FastRedBlackTree()
    return lambda: tree.insert(8, "block")


def collector_record(monkeypatch, make_lock):
    monkeypatch.setattr(slabkit, "threading", types.SimpleNamespace(Lock=make_lock))
    collector = slabkit.FastStatsCollector()
    return lambda: collector.py_record_allocation(64, 8, True)


def gate_statistics(monkeypatch, make_lock):
    monkeypatch.setattr(compilegate, "threading", types.SimpleNamespace(Lock=make_lock))
    gate = compilegate.CompileGate()
    return gate.get_statistics


OPERATIONS = [pointer_load, stack_push, tree_insert, collector_record, gate_statistics]


@pytest.mark.parametrize("operation", OPERATIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("index", range(len(manager_classes([]))))
def test_lock_section_follows_the_with_statement(monkeypatch, operation, index):
    events = []
    cls = manager_classes(events)[index]
    expected = outcome(events, lambda: with_statement(cls()))
    # A fresh class for the native run: SwapsExit changes its class while running.
    native_cls = manager_classes(events)[index]
    run = operation(monkeypatch, native_cls)
    got = outcome(events, run)
    # The native operation's own error after a successful section is not part of the comparison.
    if expected[1] is None and got[1] is not None:
        pytest.fail("the native section failed where the statement did not: %r" % (got,))
    assert got == expected


def test_error_inside_the_section_reaches_exit_and_an_exit_error_replaces_it(monkeypatch):
    events = []

    class Recording:
        def __enter__(self):
            return self

        def __exit__(self, exc_type, exc, tb):
            events.append((exc_type, type(exc)))
            raise ValueError("from __exit__")

    monkeypatch.setattr(fitindex, "threading", types.SimpleNamespace(Lock=Recording))
    tree = fitindex.FastRedBlackTree()

    class Clock:
        def perf_counter_ns(self):
            raise KeyError("clock")

    monkeypatch.setattr(fitindex, "time", Clock())
    with pytest.raises(ValueError, match="from __exit__") as info:
        tree.insert(8, "block")
    assert events == [(KeyError, KeyError)]
    assert isinstance(info.value.__context__, KeyError)


def test_the_interpreters_own_lock_is_left_after_an_error(monkeypatch):
    tree = fitindex.FastRedBlackTree()

    class Clock:
        def perf_counter_ns(self):
            raise KeyError("clock")

    monkeypatch.setattr(fitindex, "time", Clock())
    with pytest.raises(KeyError):
        tree.insert(8, "block")
    monkeypatch.undo()
    assert tree.insert(8, "block") is True        # the write lock was released


@pytest.mark.skipif(sys.version_info >= (3, 11), reason="3.11 changed the statement's errors to TypeError")
def test_missing_enter_is_an_attribute_error_before_311(monkeypatch):
    run = pointer_load(monkeypatch, lambda: object())
    with pytest.raises(AttributeError, match="__enter__"):
        run()
