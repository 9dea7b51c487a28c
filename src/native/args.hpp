// Argument kinds: the C++ type of an implementation's parameter says how its Python argument is
// converted, with the shared messages of convert.hpp. An implementation declares its parameters
// with these types (`PyObject* increment(PyObject* self, arg::I64 delta)`) and receives them
// converted, in order; the first conversion that fails ends the call with its exception.
//
//   arg::Object         any object, borrowed for the call
//   arg::I64, arg::U64  signed / unsigned 64-bit, by the integer protocol
//   arg::I32, arg::U32  int32_t / uint32_t, with their widths' overflow messages
//   arg::CInt           C int (32-bit), with "value too large to convert to int"
//   arg::F64            whatever the host's float conversion accepts
//   arg::Bool           any object's truth value
//   arg::PyInt          a parameter annotated `int`: an exact int, another number through int()
//   arg::Exact<T>       exactly the type *T (str, list, tuple, ...), borrowed
//   arg::ExactOrNone<T> exactly the type *T or None, borrowed
#pragma once

#include "convert.hpp"

namespace vn {
namespace arg {

struct Object {
    PyObject* value = nullptr;
    operator PyObject*() const noexcept { return value; }  // NOLINT: an argument reads as its object
};

template <typename T>
struct Number {
    T value{};
    operator T() const noexcept { return value; }  // NOLINT: an argument reads as its value
};

struct I64 : Number<int64_t> {};
struct U64 : Number<uint64_t> {};
struct I32 : Number<int32_t> {};
struct U32 : Number<uint32_t> {};
struct CInt : Number<int> {};
struct F64 : Number<double> {};
struct Bool : Number<bool> {};

// A new reference to an exact int.
struct PyInt {
    Ref value;
    PyObject* get() const noexcept { return value.get(); }
    operator PyObject*() const noexcept { return value.get(); }  // NOLINT
};

template <PyTypeObject* T>
struct Exact : Object {};

template <PyTypeObject* T>
struct ExactOrNone : Object {};

}  // namespace arg

// How an argument of kind T is converted; `name` is the parameter's name, for the messages that
// name it. False with an exception set.
template <typename T>
struct Converter;

template <>
struct Converter<arg::Object> {
    [[gnu::always_inline]] static bool convert(PyObject* o, const char*, arg::Object& out) noexcept {
        out.value = o;
        return true;
    }
};

#define VN_NUMBER_CONVERTER(Kind, function)                                                        \
    template <>                                                                                    \
    struct Converter<Kind> {                                                                       \
        [[gnu::always_inline]] static bool convert(PyObject* o, const char*, Kind& out) noexcept { \
            return function(o, out.value);                                                         \
        }                                                                                          \
    };
VN_NUMBER_CONVERTER(arg::I64, to_int64)
VN_NUMBER_CONVERTER(arg::U64, to_uint64)
VN_NUMBER_CONVERTER(arg::I32, to_int32)
VN_NUMBER_CONVERTER(arg::U32, to_uint32)
VN_NUMBER_CONVERTER(arg::CInt, to_int)
VN_NUMBER_CONVERTER(arg::F64, to_double)
VN_NUMBER_CONVERTER(arg::Bool, to_bool)
#undef VN_NUMBER_CONVERTER

template <>
struct Converter<arg::PyInt> {
    [[gnu::always_inline]] static bool convert(PyObject* o, const char* name, arg::PyInt& out) noexcept {
        out.value = Ref::steal(py_int(o, name));
        return static_cast<bool>(out.value);
    }
};

template <PyTypeObject* T>
struct Converter<arg::Exact<T>> {
    [[gnu::always_inline]] static bool convert(PyObject* o, const char* name, arg::Exact<T>& out) noexcept {
        out.value = o;
        return exact(o, T, name);
    }
};

template <PyTypeObject* T>
struct Converter<arg::ExactOrNone<T>> {
    [[gnu::always_inline]] static bool convert(PyObject* o, const char* name, arg::ExactOrNone<T>& out) noexcept {
        out.value = o;
        return exact_or_none(o, T, name);
    }
};

}  // namespace vn
