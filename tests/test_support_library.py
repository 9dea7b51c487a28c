"""The support library on its own: every argument kind's conversion and message, and the binder's host wording."""

import inspect
import math

import pytest

from velmora import _support_test as st


class Index:
    def __index__(self):
        return 3


class Truncating:
    def __int__(self):
        return 7


class Floaty:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize("fn, value, expected", [
    (st.to_i64, -2**63, -2**63), (st.to_i64, 2**63 - 1, 2**63 - 1), (st.to_i64, 2.9, 2), (st.to_i64, -2.9, -2),
    (st.to_i64, True, 1), (st.to_i64, Truncating(), 7),
    (st.to_u64, 0, 0), (st.to_u64, 2**64 - 1, 2**64 - 1),
    (st.to_i32, -2**31, -2**31), (st.to_i32, 2**31 - 1, 2**31 - 1),
    (st.to_u32, 2**32 - 1, 2**32 - 1), (st.to_cint, -2**31, -2**31),
    (st.to_f64, 3, 3.0), (st.to_f64, Floaty(), 2.5), (st.to_f64, Index(), 3.0),
    (st.to_bool, [], False), (st.to_bool, [0], True), (st.to_bool, None, False),
    (st.to_pyint, 4.7, 4), (st.to_pyint, True, 1), (st.to_pyint, Index(), 3),
    (st.to_str_or_none, None, None), (st.to_str_or_none, "x", "x"), (st.to_list, [1], [1]),
])
def test_conversions(fn, value, expected):
    got = fn(value)
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize("fn, value, error, message", [
    (st.to_i64, 2**63, OverflowError, "Python int too large to convert to C long"),
    (st.to_i64, "1", TypeError, "an integer is required"),
    (st.to_i64, Index(), TypeError, "an integer is required"),        # __index__ alone is not an integer here
    (st.to_u64, -1, OverflowError, "can't convert negative value to uint64_t"),
    (st.to_u64, 2**64, OverflowError, "Python int too large to convert to C unsigned long"),
    (st.to_i32, 2**31, OverflowError, "value too large to convert to int32_t"),
    (st.to_i32, -2**31 - 1, OverflowError, "value too large to convert to int32_t"),
    (st.to_u32, -1, OverflowError, "can't convert negative value to uint32_t"),
    (st.to_u32, 2**32, OverflowError, "value too large to convert to uint32_t"),
    (st.to_cint, 2**31, OverflowError, "value too large to convert to int"),
    (st.to_f64, "x", TypeError, "must be real number, not str"),
    (st.to_pyint, "x", TypeError, "Argument 'value' has incorrect type (expected int, got str)"),
    (st.to_str_or_none, 1, TypeError, "Argument 'value' has incorrect type (expected str, got int)"),
    (st.to_list, (1,), TypeError, "Argument 'value' has incorrect type (expected list, got tuple)"),
    (st.to_list, None, TypeError, "Argument 'value' has incorrect type (expected list, got NoneType)"),
])
def test_conversion_errors(fn, value, error, message):
    with pytest.raises(error) as info:
        fn(value)
    assert str(info.value) == message


def test_nan_and_infinity_pass_as_floats():
    assert math.isnan(st.to_f64(float("nan"))) and st.to_f64(float("-inf")) == float("-inf")


@pytest.mark.parametrize("call, message", [
    (lambda: st.bind(), "bind() takes at least 1 positional argument (0 given)"),
    (lambda: st.bind(1, 2, 3, 4), "bind() takes at most 3 positional arguments (4 given)"),
    (lambda: st.bind(1, x=2), "bind() got an unexpected keyword argument 'x'"),
    (lambda: st.bind(1, first=2), "bind() got multiple values for keyword argument 'first'"),
    (lambda: st.bind(second=2), "bind() takes at least 1 positional argument (0 given)"),
    (lambda: st.nothing(1), "nothing() takes no arguments (1 given)"),
    (lambda: st.nothing(a=1), "nothing() takes no keyword arguments"),
    (lambda: st.to_i64(), "to_i64() takes exactly 1 positional argument (0 given)"),
    (lambda: st.bind(1, "x"), "an integer is required"),                 # converted in order: second
    (lambda: st.bind(1, "x", "y"), "an integer is required"),            # the first failure wins
    (lambda: st.bind(1, 2, "y"), "Argument 'third' has incorrect type (expected int, got str)"),
    (lambda: st.Probe(1, 2, 3), "Probe() takes at most 2 positional arguments (3 given)"),
    (lambda: st.Probe(begin=1), "Probe() got an unexpected keyword argument 'begin'"),
    (lambda: st.Probe(1).add(), "add() takes at least 1 positional argument (0 given)"),
    (lambda: st.Probe(1).add(1, twice=1, x=2), "add() got an unexpected keyword argument 'x'"),
])
def test_binding_errors_in_the_hosts_wording(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_binding_results_and_keywords():
    assert st.bind(1) == (1, 2, 3)
    assert st.bind(1, third=5.9) == (1, 2, 5)
    assert st.bind(first="a", second=-7.5) == ("a", -7, 3)
    assert st.raw(1) == (1, None) and st.raw(b=2, a=1) == (1, 2)
    assert st.bind.__defaults__ == (2, 3) and st.bind.__annotations__ == {"third": "int", "return": "tuple"}
    assert str(inspect.signature(st.bind)) == "(first, second=2, third=3)"


def test_method_trailing_default_kept_or_converted_at_each_call():
    p = st.Probe(7)
    assert p.times() == p.times(2.9) == st.Probe.times(p) == p.times(factor=2.9) == 14
    assert p.times_far(3) == 21 and p.add(1) == 8
    for call in (p.times_far, lambda: st.Probe.times_far(p), p.times_far.__call__):
        for _ in range(2):  # a default that does not fit fails at every call, not once
            with pytest.raises(OverflowError):
                call()
    with pytest.raises(OverflowError, match="result out of range"):
        st.Probe(2**62).add(2**62, True)


def test_native_type_constructor_and_method():
    p = st.Probe(10)
    assert p.add(2) == 12 and p.add(2, True) == 14 and p.add(delta=1, twice=[1]) == 12
    assert str(inspect.signature(st.Probe)) == "(start=0, unused=None)"
    assert st.Probe.__doc__ == "A native type of the support library."
    assert st.Probe.add.__defaults__ == (False,) and str(inspect.signature(p.add)) == "(delta, twice=False)"
    with pytest.raises(OverflowError):
        st.Probe(2**63)
    with pytest.raises(TypeError, match="no default __reduce__"):
        p.__reduce__()
