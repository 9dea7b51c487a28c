// Parameter tables, the argument binder and the native function type.
//
// A function or method declares its parameters once, in a table (name, annotation, default written
// as a Python expression). From that table come the binding (positional and keyword, with defaults),
// the host's exact binding messages, `__defaults__`, `__annotations__` and `__text_signature__`.
// The implementation then receives exactly one borrowed argument per parameter, in order.
//
// Calls go through vectorcall. A call with all parameters given positionally passes the caller's
// argument array straight through (no copy, no allocation, no dictionary work); missing trailing
// arguments come from the defaults tuple; keywords are matched by interned identity first, then by
// string equality. The type is a method descriptor, so `obj.method(...)` takes the interpreter's
// unbound-method fast path and never builds a bound method.
#pragma once

#include "args.hpp"
#include "ref.hpp"

#include <structmember.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace vn {

constexpr Py_ssize_t kMaxParams = 32;

struct Param {
    const char* name;
    const char* annotation = nullptr;   // stored as a string in __annotations__; null: none
    const char* default_src = nullptr;  // Python expression for the default; null: required
};

// What the first positional argument is.
enum class Kind {
    Function,  // module-level function: no self
    Method,    // method of a native type: self must be an instance of the owning type
    AnySelf,   // method of a Python-level class: self is any object
};

using Impl = PyObject* (*)(PyObject* self, PyObject* const* argv);

// The entry point the interpreter calls for a method descriptor (METH_FASTCALL | METH_KEYWORDS).
using FastMethod = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

struct Signature;

// What a table entry runs: the implementation, and for a method of a native type the fast entry
// point that makes it a method descriptor (`vn::method<Impl>` below). A bare implementation
// converts to an entry without one.
// The entry points of a method descriptor.
struct MethodEntries {
    FastMethod fast;            // METH_FASTCALL | METH_KEYWORDS: the specialised calls, bound methods
    vectorcallfunc vectorcall;  // calls of the descriptor itself, with our binder and messages
    void (*keep_default)(const Signature&) noexcept;  // run once the entry's signature is made
};

struct Callable {
    Impl impl;
    const MethodEntries* method = nullptr;  // null: not usable as a method descriptor
    const Signature** signature = nullptr;  // where the entry points find the entry's signature
    Py_ssize_t arity = -1;                  // a typed implementation's parameter count, else -1
    Callable(Impl f) noexcept : impl(f) {}  // NOLINT: a bare implementation is the common case
    constexpr Callable(Impl f, const MethodEntries* m, const Signature** s, Py_ssize_t n) noexcept
        : impl(f), method(m), signature(s), arity(n) {}
};

struct FuncDef {
    const char* name;
    Callable impl;
    std::vector<Param> params;
    const char* returns = nullptr;  // return annotation, or null
    const char* doc = nullptr;
    Kind kind = Kind::Method;
};

// The runtime form of a parameter table, shared by functions and constructors.
struct Signature {
    const char* name = nullptr;           // bare name used in messages
    Py_ssize_t npos = 0;                  // number of parameters
    Py_ssize_t nreq = 0;                  // number of required (leading) parameters
    PyObject* names[kMaxParams] = {};     // interned parameter names
    const char* cnames[kMaxParams] = {};  // the same, as the table spells them (for messages)
    PyObject* defaults = nullptr;         // tuple of the trailing defaults, or None
};

namespace detail {

inline PyObject* eval_globals() noexcept {
    static PyObject* globals = nullptr;
    if (globals == nullptr) {
        globals = PyDict_New();
        if (globals != nullptr && PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) != 0)
            Py_CLEAR(globals);
    }
    return globals;
}

inline PyObject* eval_expression(const char* src) noexcept {
    PyObject* g = eval_globals();
    if (g == nullptr) return nullptr;
    return PyRun_String(src, Py_eval_input, g, g);
}

}  // namespace detail

// A typed implementation takes exactly the parameters its table lists.
inline bool check_arity(const char* name, Py_ssize_t arity, size_t listed) noexcept {
    if (arity < 0 || static_cast<size_t>(arity) == listed) return true;
    PyErr_Format(PyExc_SystemError, "%s(): the table lists %zu parameters, the implementation takes %zd", name, listed,
                 arity);
    return false;
}

// Fills `sig` from a parameter table; false with an exception set on failure.
inline bool make_signature(Signature& sig, const char* name, const std::vector<Param>& params) noexcept {
    sig.name = name;
    sig.npos = static_cast<Py_ssize_t>(params.size());
    if (sig.npos > kMaxParams) {
        PyErr_Format(PyExc_SystemError, "%s(): too many parameters", name);
        return false;
    }
    sig.nreq = 0;
    while (sig.nreq < sig.npos && params[sig.nreq].default_src == nullptr) ++sig.nreq;
    for (Py_ssize_t i = 0; i < sig.npos; ++i) {
        if (i >= sig.nreq && params[i].default_src == nullptr) {
            PyErr_Format(PyExc_SystemError, "%s(): required parameter after a default", name);
            return false;
        }
        sig.cnames[i] = params[i].name;
        sig.names[i] = PyUnicode_InternFromString(params[i].name);
        if (sig.names[i] == nullptr) return false;
    }
    if (sig.nreq == sig.npos) {
        sig.defaults = new_ref(Py_None);
        return true;
    }
    Ref defaults = Ref::steal(PyTuple_New(sig.npos - sig.nreq));
    if (!defaults) return false;
    for (Py_ssize_t i = sig.nreq; i < sig.npos; ++i) {
        PyObject* v = detail::eval_expression(params[i].default_src);
        if (v == nullptr) return false;
        PyTuple_SET_ITEM(defaults.get(), i - sig.nreq, v);
    }
    sig.defaults = defaults.release();
    return true;
}

namespace detail {

[[gnu::cold]] inline PyObject* count_error(const Signature& s, Py_ssize_t found) noexcept {
    const bool exact = s.nreq == s.npos;
    Py_ssize_t expected;
    const char* more_or_less;
    if (found < s.nreq) {
        expected = s.nreq;
        more_or_less = "at least";
    } else {
        expected = s.npos;
        more_or_less = "at most";
    }
    if (exact) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", s.name, more_or_less,
                 expected, expected == 1 ? "" : "s", found);
    return nullptr;
}

// Index of keyword `key` among the parameters, -1 if none; -2 with an error for a non-str key.
inline Py_ssize_t param_index(const Signature& s, PyObject* key) noexcept {
    for (Py_ssize_t i = 0; i < s.npos; ++i)
        if (s.names[i] == key) return i;
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", s.name);
        return -2;
    }
    for (Py_ssize_t i = 0; i < s.npos; ++i)
        if (PyUnicode_Compare(s.names[i], key) == 0) return i;
    return -1;
}

// The value passed for keyword `name`, or null.
inline PyObject* find_keyword(PyObject* name, PyObject* kwnames, PyObject* const* kwvalues) noexcept {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (PyTuple_GET_ITEM(kwnames, k) == name) return kwvalues[k];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0) return kwvalues[k];
    }
    return nullptr;
}

}  // namespace detail

// Binds positional arguments and keywords (names tuple + values array, as vectorcall passes them)
// into `out`, one borrowed reference per parameter. Messages and their order follow the host.
inline bool bind(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject* const* kwvalues, PyObject** out) noexcept {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw > 0 && s.npos == 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", s.name, "takes no keyword arguments");
        return false;
    }
    if (nargs > s.npos || (nkw == 0 && nargs < s.nreq)) {
        if (s.npos == 0)
            PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", s.name, "takes no arguments", nargs);
        else
            detail::count_error(s, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    Py_ssize_t kw_left = nkw;
    for (Py_ssize_t i = nargs; i < s.npos; ++i) {
        PyObject* v = kw_left > 0 ? detail::find_keyword(s.names[i], kwnames, kwvalues) : nullptr;
        if (v != nullptr) {
            out[i] = v;
            --kw_left;
        } else if (i < s.nreq) {
            detail::count_error(s, i);
            return false;
        } else {
            out[i] = PyTuple_GET_ITEM(s.defaults, i - s.nreq);
        }
    }
    if (kw_left > 0) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t idx = detail::param_index(s, key);
            if (idx == -2) return false;
            if (idx < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.name, key);
                return false;
            }
            if (idx < nargs) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", s.name, key);
                return false;
            }
        }
    }
    return true;
}

// Binds a classic (tuple, dict) call, as constructors receive it. Keyword values are held in
// `keep` (strong references): the dict they come from is not ours, and Python code run while an
// earlier argument is converted could clear it.
inline bool bind_tuple(const Signature& s, PyObject* args, PyObject* kwargs, PyObject** out, Ref& keep) noexcept {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* const* argv = &PyTuple_GET_ITEM(args, 0);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) return bind(s, argv, nargs, nullptr, nullptr, out);
    const Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    Ref names = Ref::steal(PyTuple_New(nkw));
    Ref values = Ref::steal(PyTuple_New(nkw));
    if (!names || !values) return false;
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(names.get(), k, new_ref(key));
        PyTuple_SET_ITEM(values.get(), k++, new_ref(value));
    }
    keep = std::move(values);
    return bind(s, argv, nargs, names.get(), &PyTuple_GET_ITEM(keep.get(), 0), out);
}

namespace detail {

// The call of an implementation through a signature, once self is known. The exact-arity
// positional call passes the caller's arguments straight through; the common "last argument
// defaulted" call fills one slot; everything else (defaults, keywords, errors) is out of line.
[[gnu::noinline]] inline PyObject* call_slow(const Signature& s, Impl impl, PyObject* self, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* buf[kMaxParams];
    if ((kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) && nargs >= s.nreq && nargs < s.npos) {
        for (Py_ssize_t i = 0; i < nargs; ++i) buf[i] = args[i];
        for (Py_ssize_t i = nargs; i < s.npos; ++i) buf[i] = PyTuple_GET_ITEM(s.defaults, i - s.nreq);
        return impl(self, buf);
    }
    if (!bind(s, args, nargs, kwnames, args + nargs, buf)) return nullptr;
    return impl(self, buf);
}

// The positional call that leaves out only the last parameter: the arguments, then its default.
inline PyObject* const* with_last_default(const Signature& s, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject** buf) noexcept {
    for (Py_ssize_t i = 0; i < nargs; ++i) buf[i] = args[i];
    buf[nargs] = PyTuple_GET_ITEM(s.defaults, nargs - s.nreq);
    return buf;
}

inline PyObject* call_bound(const Signature& s, Impl impl, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    if (kwnames != nullptr) return call_slow(s, impl, self, args, nargs, kwnames);
    PyObject* buf[kMaxParams];
    PyObject* const* argv = args;
    if (nargs != s.npos) {
        if (nargs + 1 != s.npos || nargs < s.nreq) return call_slow(s, impl, self, args, nargs, kwnames);
        argv = detail::with_last_default(s, args, nargs, buf);
    }
    return impl(self, argv);  // one call site: a typed body is inlined here once, if at all
}

}  // namespace detail

// The signature of the table entry whose implementation is F: set once, when the entry is made.
template <auto F>
inline const Signature* signature_of = nullptr;

// An implementation as the binder calls it: one argument per parameter. One declared with
// argument kinds (args.hpp) receives its arguments converted, in order; the raw form
// `PyObject* f(PyObject* self, PyObject* const* argv)` receives the bound arguments as they are.
namespace detail {

template <typename Fn>
struct ImplTraits;

template <typename... A>
struct ImplTraits<PyObject* (*)(PyObject*, A...)> {
    using Args = std::tuple<std::decay_t<A>...>;
    static constexpr bool raw = false;
};
template <typename... A>
struct ImplTraits<PyObject* (*)(PyObject*, A...) noexcept> : ImplTraits<PyObject* (*)(PyObject*, A...)> {};
template <>
struct ImplTraits<PyObject* (*)(PyObject*, PyObject* const*)> {
    static constexpr bool raw = true;
};
template <>
struct ImplTraits<PyObject* (*)(PyObject*, PyObject* const*) noexcept>
    : ImplTraits<PyObject* (*)(PyObject*, PyObject* const*)> {};

}  // namespace detail

template <auto F>
struct Adapter {
    static PyObject* impl(PyObject* self, PyObject* const* argv) noexcept {
        if constexpr (detail::ImplTraits<decltype(F)>::raw) {
            return F(self, argv);
        } else {
            using Args = typename detail::ImplTraits<decltype(F)>::Args;
            return call(self, argv, std::make_index_sequence<std::tuple_size<Args>::value>{});
        }
    }

    // The leading parameters from argv, the last one already converted.
    template <typename Last>
    static PyObject* impl_with_last(PyObject* self, PyObject* const* argv, const Last& last) noexcept {
        using Args = typename detail::ImplTraits<decltype(F)>::Args;
        return call(self, argv, std::make_index_sequence<std::tuple_size<Args>::value - 1>{}, last);
    }

private:
    // Converts argv[I]... and calls F with them, then `tail` (the parameters after them, converted).
    template <size_t... I, typename... Tail>
    static PyObject* call(PyObject* self, PyObject* const* argv, std::index_sequence<I...>,
                          const Tail&... tail) noexcept {
        using Args = typename detail::ImplTraits<decltype(F)>::Args;
        const Signature& s = *signature_of<F>;
        Args values;
        const bool ok =
            (Converter<std::tuple_element_t<I, Args>>::convert(argv[I], s.cnames[I], std::get<I>(values)) && ...);
        (void)s;
        (void)argv;
        if (!ok) return nullptr;
        return F(self, std::move(std::get<I>(values))..., tail...);
    }
};

namespace detail {

template <typename T>
std::true_type number_kind(const arg::Number<T>*);
std::false_type number_kind(const void*);

// The kind of F's last parameter when the default for it can be converted once and kept: a typed
// implementation whose last parameter is a plain number (arg::I64, arg::F64, arg::Bool, ...).
// void otherwise.
template <auto F, typename = void>
struct KeptDefault {
    using Kind = void;
};
template <auto F>
struct KeptDefault<F, std::enable_if_t<!ImplTraits<decltype(F)>::raw &&
                                       (std::tuple_size<typename ImplTraits<decltype(F)>::Args>::value > 0)>> {
    using Args = typename ImplTraits<decltype(F)>::Args;
    using Last = std::tuple_element_t<std::tuple_size<Args>::value - 1, Args>;
    using Kind = std::conditional_t<decltype(number_kind(static_cast<Last*>(nullptr)))::value, Last, void>;
};

// F's last default, converted when F's type was readied (before any call, so it is never written
// while read); `kept_default_ready<F>` says whether it was.
template <auto F>
inline typename KeptDefault<F>::Kind kept_default{};
template <auto F>
inline bool kept_default_ready = false;

// The parameter count of a typed implementation, known at compile time; -1 for a raw one.
template <auto F>
constexpr Py_ssize_t arity() noexcept {
    if constexpr (ImplTraits<decltype(F)>::raw) {
        return -1;
    } else {
        return static_cast<Py_ssize_t>(std::tuple_size<typename ImplTraits<decltype(F)>::Args>::value);
    }
}
}  // namespace detail

// Converts and keeps F's last default, when its kind allows it and its value is of a type whose
// conversion runs no Python code (an exact int, float or bool, or None): the call that leaves the
// last parameter out then skips converting the same object each time. A default whose conversion
// fails is left to fail at each call, as before.
template <auto F>
void keep_last_default(const Signature& s) noexcept {
    using Kind = typename detail::KeptDefault<F>::Kind;
    if constexpr (!std::is_void_v<Kind>) {
        constexpr Py_ssize_t kN = detail::arity<F>();
        if (s.npos != kN || s.nreq >= kN || !PyTuple_Check(s.defaults)) return;
        PyObject* d = PyTuple_GET_ITEM(s.defaults, kN - 1 - s.nreq);
        if (!PyLong_CheckExact(d) && !PyFloat_CheckExact(d) && !PyBool_Check(d) && d != Py_None) return;
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        Kind value{};
        if (Converter<Kind>::convert(d, s.cnames[kN - 1], value)) {
            detail::kept_default<F> = value;
            detail::kept_default_ready<F> = true;
        }
        PyErr_Clear();
        PyErr_Restore(t, v, tb);
    } else {
        (void)s;
    }
}

// The method's entry for the interpreter's specialised calls and bound methods. Every parameter
// is positional-or-keyword, so a typed implementation given exactly its parameter count by
// position (the hot call) needs no binding; anything else goes through the entry's binder.
// The call that leaves out only the last (defaulted) parameter, as `c.increment()` does, fills it
// here too, with the default converted once when it could be (keep_last_default).
template <auto F>
PyObject* fast_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    constexpr Py_ssize_t kArity = detail::arity<F>();
    if (kwnames == nullptr) {
        if (nargs == kArity) return Adapter<F>::impl(self, args);
        if constexpr (kArity > 0) {
            if (nargs == kArity - 1) {
                if constexpr (!std::is_void_v<typename detail::KeptDefault<F>::Kind>) {
                    if (detail::kept_default_ready<F>)
                        return Adapter<F>::impl_with_last(self, args, detail::kept_default<F>);
                }
                const Signature& s = *signature_of<F>;
                if (nargs >= s.nreq) {
                    PyObject* buf[kArity];
                    return Adapter<F>::impl(self, detail::with_last_default(s, args, nargs, buf));
                }
            }
        }
    }
    return detail::call_bound(*signature_of<F>, Adapter<F>::impl, self, args, nargs, kwnames);
}

namespace detail {

[[gnu::cold]] inline PyObject* descriptor_self_error(PyObject* descr, PyObject* const* args,
                                                     Py_ssize_t nargs) noexcept {
    const char* name = reinterpret_cast<PyMethodDescrObject*>(descr)->d_method->ml_name;
    if (nargs < 1)
        PyErr_Format(PyExc_TypeError, "unbound method %s() needs an argument", name);
    else
        PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%.100s' objects doesn't apply to a '%.100s' object", name,
                     PyDescr_TYPE(descr)->tp_name, type_name(args[0]));
    return nullptr;
}

}  // namespace detail

// The descriptor's own vectorcall: every call of it that the interpreter does not run through one
// of its specialised method-descriptor paths (keywords, a wrong argument count, a subclass
// instance, a call from C) binds with the entry's signature and the host's bare-name messages.
template <auto F>
PyObject* descriptor_vectorcall(PyObject* descr, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1 || !PyObject_TypeCheck(args[0], PyDescr_TYPE(descr)))
        return detail::descriptor_self_error(descr, args, nargs);
    return detail::call_bound(*signature_of<F>, Adapter<F>::impl, args[0], args + 1, nargs - 1, kwnames);
}

template <auto F>
constexpr MethodEntries method_entries{&fast_method<F>, &descriptor_vectorcall<F>, &keep_last_default<F>};

// A function or method whose implementation is F (bare, or with argument kinds).
template <auto F>
constexpr Callable fn{Adapter<F>::impl, nullptr, &signature_of<F>, detail::arity<F>()};

// A method of a native type as a method descriptor: `obj.name(...)` then takes the interpreter's
// own specialised call of a method descriptor, while the class attribute keeps the table's
// signature, defaults and annotations (see ready_type); every call binds with the entry's own
// binder and messages.
template <auto F>
constexpr Callable method{Adapter<F>::impl, &method_entries<F>, &signature_of<F>, detail::arity<F>()};

// ---------------------------------------------------------------------------------------------
// The native function type.

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Impl impl;
    Kind kind;
    PyTypeObject* owner;  // Kind::Method: the type self must be an instance of
    Signature sig;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* text_signature;
};

namespace detail {

[[gnu::cold]] inline PyObject* self_error(Function* f, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs < 1)
        PyErr_Format(PyExc_TypeError, "unbound method %s() needs an argument", f->sig.name);
    else
        PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%.100s' objects doesn't apply to a '%.100s' object",
                     f->sig.name, f->owner->tp_name, type_name(args[0]));
    return nullptr;
}

inline PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) noexcept {
    Function* f = reinterpret_cast<Function*>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self = nullptr;
    if (f->kind != Kind::Function) {
        if (nargs < 1 || (f->owner != nullptr && !PyObject_TypeCheck(args[0], f->owner)))
            return self_error(f, args, nargs);
        self = args[0];
        ++args;
        --nargs;
    }
    return call_bound(f->sig, f->impl, self, args, nargs, kwnames);
}

inline void function_dealloc(PyObject* o) noexcept {
    Function* f = reinterpret_cast<Function*>(o);
    for (Py_ssize_t i = 0; i < f->sig.npos; ++i) Py_XDECREF(f->sig.names[i]);
    Py_XDECREF(f->sig.defaults);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->module);
    Py_XDECREF(f->doc);
    Py_XDECREF(f->annotations);
    Py_XDECREF(f->text_signature);
    PyObject_Free(o);
}

inline PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return new_ref(self);
    return PyMethod_New(self, obj);
}

inline PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<native function %U at %p>", reinterpret_cast<Function*>(self)->qualname, self);
}

inline PyObject* get_defaults(PyObject* self, void*) noexcept {
    return new_ref(reinterpret_cast<Function*>(self)->sig.defaults);
}

inline PyObject* get_kwdefaults(PyObject*, void*) noexcept { return none(); }

inline PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    // Pickled by reference, like any importable function.
    return new_ref(reinterpret_cast<Function*>(self)->qualname);
}

inline PyTypeObject* function_type() noexcept {
    static PyMemberDef members[] = {
        {"__name__", T_OBJECT, offsetof(Function, name), READONLY, nullptr},
        {"__qualname__", T_OBJECT, offsetof(Function, qualname), READONLY, nullptr},
        {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
        {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
        {"__annotations__", T_OBJECT, offsetof(Function, annotations), READONLY, nullptr},
        {"__text_signature__", T_OBJECT, offsetof(Function, text_signature), READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
        {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyMethodDef methods[] = {
        {"__reduce__", function_reduce, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyTypeObject type;
    static bool ready = false;
    if (ready) return &type;
    std::memset(&type, 0, sizeof type);
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
    type.tp_name = "velmora_function";
    type.tp_basicsize = sizeof(Function);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    type.tp_vectorcall_offset = offsetof(Function, vectorcall);
    type.tp_call = PyVectorcall_Call;
    type.tp_dealloc = function_dealloc;
    type.tp_descr_get = function_descr_get;
    type.tp_repr = function_repr;
    type.tp_members = members;
    type.tp_getset = getset;
    type.tp_methods = methods;
    type.tp_doc = "A function or method of velmora's native core.";
    if (PyType_Ready(&type) < 0) return nullptr;
    ready = true;
    return &type;
}

inline PyObject* build_text_signature(const FuncDef& def) noexcept {
    std::string text = "(";
    bool first = true;
    if (def.kind == Kind::Method) {
        text += "$self";
        first = false;
    } else if (def.kind == Kind::AnySelf) {
        text += "self";
        first = false;
    }
    for (const Param& p : def.params) {
        if (!first) text += ", ";
        first = false;
        text += p.name;
        if (p.default_src != nullptr) {
            text += "=";
            text += p.default_src;
        }
    }
    text += ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace detail

// A new function object for `def`. `qualprefix` ("AtomicCounter") prefixes the qualified name;
// `module_name` is the dotted module name. `owner` is the type a Kind::Method self must belong to.
inline PyObject* make_function(const FuncDef& def, const char* module_name, const char* qualprefix = nullptr,
                               PyTypeObject* owner = nullptr) noexcept {
    PyTypeObject* type = detail::function_type();
    if (type == nullptr) return nullptr;
    Function* f = PyObject_New(Function, type);
    if (f == nullptr) return nullptr;
    f->vectorcall = detail::function_vectorcall;
    f->impl = def.impl.impl;
    f->kind = def.kind;
    f->owner = owner;
    new (&f->sig) Signature();
    f->name = f->qualname = f->module = f->doc = f->annotations = f->text_signature = nullptr;
    Ref guard = Ref::steal(reinterpret_cast<PyObject*>(f));
    if (def.kind == Kind::Method && owner == nullptr) {
        PyErr_Format(PyExc_SystemError, "%s(): a native method needs its owning type", def.name);
        return nullptr;
    }
    if (!check_arity(def.name, def.impl.arity, def.params.size()) || !make_signature(f->sig, def.name, def.params))
        return nullptr;
    if (def.impl.signature != nullptr) *def.impl.signature = &f->sig;
    f->name = PyUnicode_InternFromString(def.name);
    f->qualname = qualprefix ? PyUnicode_FromFormat("%s.%s", qualprefix, def.name) : new_ref(f->name);
    f->module = PyUnicode_FromString(module_name);
    f->doc = def.doc ? PyUnicode_FromString(def.doc) : none();
    f->annotations = PyDict_New();
    f->text_signature = detail::build_text_signature(def);
    if (!f->name || !f->qualname || !f->module || !f->doc || !f->annotations || !f->text_signature) return nullptr;
    for (const Param& p : def.params)
        if (p.annotation != nullptr && !dict_set(f->annotations, p.name, PyUnicode_FromString(p.annotation)))
            return nullptr;
    if (def.returns != nullptr && !dict_set(f->annotations, "return", PyUnicode_FromString(def.returns)))
        return nullptr;
    return guard.release();
}

}  // namespace vn
