// Argument conversions with the messages every module shares.
//
// Native integer widths follow the integer protocol: an int (or subclass, bool included) as is, any
// other object through its type's integer conversion slot (so a float is truncated toward zero; an
// object offering only __index__ is not an integer here), else TypeError "an integer is required".
// Each width has its own overflow text. Each converter returns false with the exception set.
#pragma once

#include "ref.hpp"

#include <climits>
#include <cstdint>

// The fast path of a conversion (an exact int that fits, a float) is inlined into every caller;
// what is left (other types, errors) stays out of line, once.
#define VN_ALWAYS_INLINE [[gnu::always_inline]] inline

namespace vn {

// A new reference to an int for `o`, by the integer protocol above.
inline PyObject* integer_of(PyObject* o) noexcept {
    if (PyLong_Check(o)) return new_ref(o);
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (nb == nullptr || nb->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    PyObject* r = nb->nb_int(o);
    if (r == nullptr || PyLong_CheckExact(r)) return r;
    if (PyLong_Check(r)) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             type_name(r)) == 0)
            return r;
    } else {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", type_name(r));
    }
    Py_DECREF(r);
    return nullptr;
}

namespace detail {

// The value of a small ("compact", one internal digit) exact int without a library call.
VN_ALWAYS_INLINE bool compact_value(PyObject* o, long& out) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    const PyLongObject* l = reinterpret_cast<const PyLongObject*>(o);
    if (!PyUnstable_Long_IsCompact(l)) return false;
    out = static_cast<long>(PyUnstable_Long_CompactValue(l));
    return true;
#else
    const Py_ssize_t size = Py_SIZE(o);
    if (size < -1 || size > 1) return false;
    out = size * static_cast<long>(reinterpret_cast<const PyLongObject*>(o)->ob_digit[0]);
    return true;
#endif
}

// What the slow path read; 16 bytes, so it comes back in registers and the inlined fast path
// needs no stack slots.
struct LongRead {
    long value;
    int overflow;
    bool ok;
};

[[gnu::noinline]] inline LongRead long_value_slow(PyObject* o) noexcept {
    Ref n = PyLong_CheckExact(o) ? Ref::borrow(o) : Ref::steal(integer_of(o));
    if (!n) return LongRead{0, 0, false};
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(n.get(), &overflow);
    return LongRead{value, overflow, !(value == -1 && PyErr_Occurred())};
}

// Reads an int object as a C long; `overflow` is -1/+1 when it does not fit.
VN_ALWAYS_INLINE bool long_value(PyObject* o, long& out, int& overflow) noexcept {
    if (PyLong_CheckExact(o) && compact_value(o, out)) return true;
    const LongRead r = long_value_slow(o);
    out = r.value;
    overflow = r.overflow;
    return r.ok;
}

static_assert(sizeof(long) == 8, "the native core assumes an LP64 platform");

[[gnu::cold, gnu::noinline]] inline void set_overflow(const char* text) noexcept {
    PyErr_SetString(PyExc_OverflowError, text);
}

// OverflowError `text`; false (inline, so the caller's flow analysis sees the failure).
VN_ALWAYS_INLINE bool overflow(const char* text) noexcept {
    set_overflow(text);
    return false;
}

}  // namespace detail

// Signed 64-bit; out of range raises the host's own "Python int too large to convert to C long".
VN_ALWAYS_INLINE bool to_int64(PyObject* o, int64_t& out) noexcept {
    long v = 0;  // set by every successful path; zero keeps the compiler's flow analysis simple
    int of = 0;
    if (!detail::long_value(o, v, of)) return false;
    if (of != 0) return detail::overflow("Python int too large to convert to C long");
    out = v;
    return true;
}

// Unsigned 64-bit: negative -> "can't convert negative value to uint64_t"; 2**64 and above -> the
// host's "Python int too large to convert to C unsigned long".
inline bool to_uint64(PyObject* o, uint64_t& out) noexcept {
    Ref n = Ref::steal(integer_of(o));
    if (!n) return false;
    int of = 0;
    long v = PyLong_AsLongAndOverflow(n.get(), &of);
    if (v == -1 && PyErr_Occurred()) return false;
    if (of < 0 || (of == 0 && v < 0)) return detail::overflow("can't convert negative value to uint64_t");
    if (of == 0) {
        out = static_cast<uint64_t>(v);
        return true;
    }
    unsigned long u = PyLong_AsUnsignedLong(n.get());
    if (u == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
    out = u;
    return true;
}

namespace detail {
template <typename T>
VN_ALWAYS_INLINE bool to_signed32(PyObject* o, T& out, const char* text) noexcept {
    long v = 0;  // set by every successful path; zero keeps the compiler's flow analysis simple
    int of = 0;
    if (!long_value(o, v, of)) return false;
    if (of != 0 || v < INT32_MIN || v > INT32_MAX) return overflow(text);
    out = static_cast<T>(v);
    return true;
}
}  // namespace detail

// C `int` (signed 32-bit): out of range either way -> "value too large to convert to int".
VN_ALWAYS_INLINE bool to_int(PyObject* o, int& out) noexcept {
    return detail::to_signed32(o, out, "value too large to convert to int");
}

// int32_t: out of range either way -> "value too large to convert to int32_t".
VN_ALWAYS_INLINE bool to_int32(PyObject* o, int32_t& out) noexcept {
    return detail::to_signed32(o, out, "value too large to convert to int32_t");
}

// uint32_t: negative -> "can't convert negative value to uint32_t"; too large -> "value too large
// to convert to uint32_t".
VN_ALWAYS_INLINE bool to_uint32(PyObject* o, uint32_t& out) noexcept {
    long v = 0;  // set by every successful path; zero keeps the compiler's flow analysis simple
    int of = 0;
    if (!detail::long_value(o, v, of)) return false;
    if (of < 0 || (of == 0 && v < 0)) return detail::overflow("can't convert negative value to uint32_t");
    if (of > 0 || v > static_cast<long>(UINT32_MAX)) return detail::overflow("value too large to convert to uint32_t");
    out = static_cast<uint32_t>(v);
    return true;
}

// A float parameter: whatever the host's float conversion accepts; its errors propagate.
VN_ALWAYS_INLINE bool to_double(PyObject* o, double& out) noexcept {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) return false;
    out = d;
    return true;
}

// A bool parameter: the truth value of any object.
VN_ALWAYS_INLINE bool to_bool(PyObject* o, bool& out) noexcept {
    if (o == Py_True) {
        out = true;
        return true;
    }
    if (o == Py_False || o == Py_None) {
        out = false;
        return true;
    }
    int t = PyObject_IsTrue(o);
    if (t < 0) return false;
    out = t != 0;
    return true;
}

// A parameter annotated `int` at the Python level: an exact int passes, any other number goes
// through int(), anything else raises "Argument '<name>' has incorrect type (expected int, got T)".
// Returns a new reference to an exact int, or null.
[[gnu::noinline]] inline PyObject* py_int_slow(PyObject* o, const char* argname) noexcept {
    if (PyNumber_Check(o)) return PyNumber_Long(o);
    arg_type_error(argname, "int", o);
    return nullptr;
}

VN_ALWAYS_INLINE PyObject* py_int(PyObject* o, const char* argname) noexcept {
    if (PyLong_CheckExact(o)) return new_ref(o);
    return py_int_slow(o, argname);
}

// A parameter that must be exactly `int`: bool and every other subclass are refused; for an int
// subclass the shared message goes on with a sentence saying subclasses are rejected.
inline bool exact_int(PyObject* o, const char* argname) noexcept {
    if (PyLong_CheckExact(o)) return true;
    if (PyLong_Check(o)) {
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected int, got %.200s). "
                     "Subclasses of built-in types are rejected.",
                     argname, type_name(o));
        return false;
    }
    arg_type_error(argname, "int", o);
    return false;
}

// A result annotated `int`: exact int as is, another number through int(), else TypeError
// "Expected int, got T". Consumes `r`.
inline PyObject* int_result(PyObject* r) noexcept {
    if (r == nullptr || PyLong_CheckExact(r)) return r;
    PyObject* out = nullptr;
    if (PyNumber_Check(r))
        out = PyNumber_Long(r);
    else
        expected_type_error("int", r);
    Py_DECREF(r);
    return out;
}

// A parameter typed `str`, `bytes`, `list`, `tuple` (or any exact type): that very type or None;
// a subclass or another type raises the argument type error with the type's name.
inline bool exact_or_none(PyObject* o, PyTypeObject* type, const char* argname) noexcept {
    if (Py_TYPE(o) == type || o == Py_None) return true;
    arg_type_error(argname, type->tp_name, o);
    return false;
}

// Same as exact_or_none, without None.
inline bool exact(PyObject* o, PyTypeObject* type, const char* argname) noexcept {
    if (Py_TYPE(o) == type) return true;
    arg_type_error(argname, type->tp_name, o);
    return false;
}

}  // namespace vn
