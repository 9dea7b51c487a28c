// Python-level operations that module code performs the way compiled Python code would: globals
// looked up at call time, getattr with a default, `except Exception:`, imports, unpacking, list
// access that survives a list shrinking under it, and saturating double-to-integer conversions.
//
// Threads: every object these operations hand out is a new reference, taken where the container
// handed it over, so another thread replacing a global or removing a list item (free-threaded
// builds) cannot free it under the caller; ListItem alone borrows, and only where the interpreter
// lock serialises. Reads of a list that must see one state of it (its size and the items it
// implies) happen inside the list's critical section; tuples are immutable and need none. Where
// the interpreter lock serialises, the sections compile to nothing.
#pragma once

#include "ref.hpp"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace vn {

namespace detail {
// The module's dict is the module's for life, and the builtins belong to the running frame; only
// their values can change, and dict_item_ref takes the reference inside the dict's own lookup.
inline PyObject* lookup_global(PyObject* module, PyObject* k) noexcept {
    if (k == nullptr) return nullptr;
    PyObject* v = nullptr;
    int found = dict_item_ref(PyModule_GetDict(module), k, &v);
    if (found == 0) found = dict_item_ref(PyEval_GetBuiltins(), k, &v);
    if (found > 0) return v;
    if (found == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", k);
    return nullptr;
}
}  // namespace detail

// A global of `module` as compiled code sees it at call time: the module namespace, then the
// builtins; NameError "name '<name>' is not defined" when neither has it. New reference or null.
inline PyObject* module_global(PyObject* module, Name& name) noexcept {
    return detail::lookup_global(module, name.get());
}

// Whether two dicts are unchanged since a stamp was taken, without looking anything up in them:
// the dicts' version tags before 3.12, a dict watcher on 3.12 and later (every change to a watched
// dict, of this extension module's watcher, moves one counter). A stamp that cannot be taken (no
// watcher was free) is never current, and callers then look their names up as before.
class DictPairStamp {
public:
    // Starts watching both dicts (3.12 and later); stamps stay untrusted when that is not possible.
    void watch(PyObject* a, PyObject* b) noexcept {
        valid_.store(false, std::memory_order_release);  // a stamp of other dicts says nothing of these
#if PY_VERSION_HEX >= 0x030C0000
        const int id = watcher_id();
        watching_ = id >= 0 && PyDict_Watch(id, a) == 0 && PyDict_Watch(id, b) == 0;
        if (!watching_) PyErr_Clear();
#else
        (void)a;
        (void)b;
        watching_ = true;
#endif
    }
    // Stops trusting stamps (the captured module is not a plain one: its dict is not watched).
    void stop() noexcept {
        watching_ = false;
        valid_.store(false, std::memory_order_release);
    }
    // The dicts' state now, to be recorded once lookups have shown them as wanted.
    struct Stamp {
        uint64_t a = 0, b = 0;
    };
    Stamp now(PyObject* a, PyObject* b) const noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        (void)a;
        (void)b;
        // Acquire: a change counted before this load is seen by the lookups that follow it.
        return Stamp{changes().load(std::memory_order_acquire), 0};
#else
        return Stamp{reinterpret_cast<PyDictObject*>(a)->ma_version_tag,
                     reinterpret_cast<PyDictObject*>(b)->ma_version_tag};
#endif
    }
    void record(Stamp s) noexcept {
        recorded_a_.store(s.a, std::memory_order_relaxed);
        recorded_b_.store(s.b, std::memory_order_relaxed);
        valid_.store(watching_, std::memory_order_release);
    }
    bool current(PyObject* a, PyObject* b) const noexcept {
        if (!valid_.load(std::memory_order_acquire)) return false;
        const Stamp s = now(a, b);
        return s.a == recorded_a_.load(std::memory_order_relaxed) && s.b == recorded_b_.load(std::memory_order_relaxed);
    }

private:
#if PY_VERSION_HEX >= 0x030C0000
    static std::atomic<uint64_t>& changes() noexcept {
        static std::atomic<uint64_t> counter{1};
        return counter;
    }
    // Called before a watched dict changes (or is copied or freed): every stamp goes stale.
    static int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
        changes().fetch_add(1, std::memory_order_acq_rel);
        return 0;
    }
    // One watcher for the extension module, added on first use (the interpreter has a few).
    static int watcher_id() noexcept {
        static int id = [] {
            const int got = PyDict_AddWatcher(on_change);
            if (got < 0) PyErr_Clear();
            return got;
        }();
        return id;
    }
#endif
    bool watching_ = false;
    std::atomic<bool> valid_{false};
    std::atomic<uint64_t> recorded_a_{0}, recorded_b_{0};
};

// `time.<function>()` as a module's code calls it: the module's global `time` and that attribute are
// looked up at every call, so a replaced global or a patched function is what runs. While both are
// still the objects captured at import (a plain module object and its own function, the common
// case), the interpreter's clock is read directly: the clock and conversion that function uses,
// without the Python call and the result object.
class TimeFunction {
public:
    enum Clock { PerfCounterNs, Time };
    TimeFunction(const char* function, Clock clock) noexcept : function_{function}, clock_(clock) {}

    // After `import time` into `module`; the captured objects are kept for the life of the process.
    bool capture(PyObject* module) noexcept {
        Ref time = Ref::steal(module_global(module, time_name_));
        PyObject* name = function_.get();
        if (!time || name == nullptr) return false;
        Ref fn = Ref::steal(PyObject_GetAttr(time.get(), name));
        if (!fn) return false;
        time_ = time.release();
        fn_ = fn.release();
        if (Py_TYPE(time_) == &PyModule_Type) {
            stamp_.watch(PyModule_GetDict(module), PyModule_GetDict(time_));
        } else {
            stamp_.stop();
        }
        return true;
    }
    // perf_counter_ns() as an unsigned count of nanoseconds.
    bool call(PyObject* module, uint64_t& out) noexcept {
        int64_t ns = 0;
        Ref r;
        int direct = read(module, ns, r);
        if (direct > 0 && ns >= 0) {
            out = static_cast<uint64_t>(ns);
            return true;
        }
        if (direct > 0) r = Ref::steal(PyLong_FromLongLong(ns));  // its error, as the call would raise
        return r && to_uint64(r.get(), out);
    }
    // perf_counter_ns() for a time stamp that nothing ever reads back. While the clock is the one
    // captured, reading it has no effect anyone can see, so it is not read and `out` keeps its
    // value; a clock the caller rerouted is called exactly as call() calls it, for its effects,
    // its result and its errors.
    bool call_unread(PyObject* module, uint64_t& out) noexcept {
        int64_t ns = 0;
        Ref r;
        int direct = read(module, ns, r, false);
        if (direct > 0) return true;
        return direct == 0 && r && to_uint64(r.get(), out);
    }
    // time() as seconds.
    bool call(PyObject* module, double& out) noexcept {
        int64_t ns = 0;
        Ref r;
        int direct = read(module, ns, r);
        if (direct > 0) {
            out = seconds(ns);
            return true;
        }
        return r && to_double(r.get(), out);
    }

private:
    // 1: the clock was read into `ns`; 0: the looked-up function was called, its result in `r`
    // (null on error); -1: the lookup failed.
    // While neither dict has changed since the lookups last found the captured objects (and the
    // module is still a plain module: assigning its __class__ changes no dict), they would find
    // them again.
    // With `value` false the clock itself is not read (1 still says it would have been).
    int read(PyObject* module, int64_t& ns, Ref& r, bool value = true) noexcept {
        const bool plain = Py_TYPE(time_) == &PyModule_Type;
        PyObject* const globals = PyModule_GetDict(module);
        PyObject* const attrs = plain ? PyModule_GetDict(time_) : nullptr;
        if (plain && stamp_.current(globals, attrs)) return !value || native(ns) ? 1 : -1;
        const DictPairStamp::Stamp before = plain ? stamp_.now(globals, attrs) : DictPairStamp::Stamp{};
        // The module's namespace first, as module_global looks: a stamp holds only for a `time`
        // found there (the builtins are not watched).
        PyObject* const key = time_name_.get();
        if (key == nullptr) return -1;
        PyObject* own = nullptr;
        const int in_globals = dict_item_ref(globals, key, &own);
        if (in_globals < 0) return -1;
        Ref time = in_globals > 0 ? Ref::steal(own) : Ref::steal(module_global(module, time_name_));
        if (!time) return -1;
        if (time.get() == time_ && plain) {
            PyObject* fn = nullptr;
            int found = dict_item_ref(attrs, function_.get(), &fn);
            if (found < 0) return -1;
            Ref held = Ref::steal(fn);
            if (fn == fn_) {
                if (in_globals > 0) stamp_.record(before);
                return !value || native(ns) ? 1 : -1;
            }
        }
        r = Ref::steal(call_method(time.get(), function_));
        return 0;
    }
    bool native(int64_t& ns) const noexcept {
#if PY_VERSION_HEX >= 0x030D0000
        PyTime_t t;
        if ((clock_ == PerfCounterNs ? PyTime_PerfCounter(&t) : PyTime_Time(&t)) < 0) return false;
        ns = t;
#else
        if (clock_ == PerfCounterNs) {
            ns = _PyTime_GetPerfCounter();
        } else {
            ns = _PyTime_GetSystemClock();
        }
#endif
        return true;
    }
    // Nanoseconds as seconds, rounded as the interpreter converts its time stamps.
    static double seconds(int64_t ns) noexcept {
        constexpr int64_t kPerSecond = 1000000000;
        if (ns % kPerSecond == 0) return static_cast<double>(ns / kPerSecond);
        return static_cast<double>(ns) / 1e9;
    }

    Name time_name_{"time"};
    Name function_;
    Clock clock_;
    PyObject* time_ = nullptr;
    PyObject* fn_ = nullptr;
    DictPairStamp stamp_;
};

// getattr(o, name, <absent>): true with `out` set (a new reference), or left null when `o` has no
// such attribute (only AttributeError is swallowed); false on any other error.
inline bool getattr_optional(PyObject* o, Name& name, Ref& out) noexcept {
    PyObject* k = name.get();
    if (k == nullptr) return false;
    out = Ref::steal(PyObject_GetAttr(o, k));
    if (out) return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
}

// The `except Exception:` test: true (error cleared) when the pending exception is an Exception;
// false (error kept) for other BaseExceptions such as KeyboardInterrupt and SystemExit.
inline bool catch_exception() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// callable(*args, **kwargs) with borrowed values; keywords as (name, value) pairs.
inline PyObject* call_kw(PyObject* callable, std::initializer_list<PyObject*> args,
                         std::initializer_list<std::pair<const char*, PyObject*>> kwargs) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    Ref dict = Ref::steal(PyDict_New());
    if (!tuple || !dict) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* a : args) PyTuple_SET_ITEM(tuple.get(), i++, new_ref(a));
    for (const auto& kw : kwargs) {
        if (PyDict_SetItemString(dict.get(), kw.first, kw.second) < 0) return nullptr;
    }
    return PyObject_Call(callable, tuple.get(), dict.get());
}

// callable(**dict(zip(kwnames, values))): every argument by keyword (borrowed values), through
// vectorcall; `kwnames` is a tuple of interned names (see name_tuple).
inline PyObject* call_by_keyword(PyObject* callable, PyObject* kwnames, PyObject* const* values) noexcept {
    return PyObject_Vectorcall(callable, values, 0, kwnames);
}

// A new tuple of interned names; null with an exception on failure.
inline PyObject* name_tuple(std::initializer_list<const char*> names) noexcept {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!t) return nullptr;
    Py_ssize_t i = 0;
    for (const char* n : names) {
        PyObject* s = PyUnicode_InternFromString(n);
        if (s == nullptr) return nullptr;
        PyTuple_SET_ITEM(t.get(), i++, s);
    }
    return t.release();
}

// `import <dotted name>` as the import statement does it (sys.modules first, then the import
// system, waiting for a module another thread is still initialising), returning the named module
// itself rather than its top-level package. New reference or null.
inline PyObject* import_module(const char* name) noexcept {
    Ref top = Ref::steal(PyImport_ImportModuleLevel(name, nullptr, nullptr, nullptr, 0));
    if (!top) return nullptr;
    if (std::strchr(name, '.') == nullptr) return top.release();
    Ref k = Ref::steal(PyUnicode_FromString(name));
    if (!k) return nullptr;
    PyObject* m = PyImport_GetModule(k.get());
    if (m == nullptr && !PyErr_Occurred()) PyErr_Format(PyExc_ModuleNotFoundError, "No module named '%s'", name);
    return m;
}

// `from <module> import <name>`: the attribute, or ImportError "cannot import name ..." when the
// module lacks it. New reference or null.
inline PyObject* import_attribute(PyObject* module, const char* module_name, Name& name) noexcept {
    PyObject* v = PyObject_GetAttr(module, name.get());
    if (v == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%s'", name.get(), module_name);
    }
    return v;
}

// TypeError "object of type 'NoneType' has no len()", as len(None) raises it.
inline void none_has_no_len() noexcept { PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()"); }

// Item i of an exact list, as a strong reference (null with IndexError "list index out of range"
// once the list has shrunk below i: Python code run earlier in a walk, or another thread, may have
// removed items). The reference is taken where the list hands the item over, so the item stays
// valid however the list changes afterwards.
inline Ref list_item(PyObject* list, Py_ssize_t i) noexcept {
#ifdef Py_GIL_DISABLED
    return Ref::steal(list_item_ref(list, i));
#else
    // Under the interpreter lock nothing changes the list between the check and the incref.
    if (static_cast<size_t>(i) >= static_cast<size_t>(PyList_GET_SIZE(list))) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return Ref();
    }
    return Ref::borrow(PyList_GET_ITEM(list, i));
#endif
}

// Item i of an exact list for a native stretch that runs no Python code while it uses the item
// (type checks, reading an exact float, identity and exact-str comparisons): a strong reference on
// free-threaded builds, where another thread may remove the item at any moment; a borrowed one
// where the interpreter lock serialises, since nothing can change the list before Python code
// runs, which keeps a walk over a long list free of reference-count traffic. Before running any
// Python code with the item (a conversion, an iterator, a comparison that may call __eq__), take
// hold() and use that. Null get() with IndexError "list index out of range" as for list_item.
class ListItem {
public:
    ListItem(PyObject* list, Py_ssize_t i) noexcept
#ifdef Py_GIL_DISABLED
        : item_(list_item(list, i)) {
    }
    PyObject* get() const noexcept { return item_.get(); }
    Ref hold() const noexcept { return item_; }
#else
        : item_(nullptr) {
        if (static_cast<size_t>(i) < static_cast<size_t>(PyList_GET_SIZE(list)))
            item_ = PyList_GET_ITEM(list, i);
        else
            PyErr_SetString(PyExc_IndexError, "list index out of range");
    }
    PyObject* get() const noexcept { return item_; }
    Ref hold() const noexcept { return Ref::borrow(item_); }
#endif
    explicit operator bool() const noexcept { return get() != nullptr; }
    ListItem(const ListItem&) = delete;
    ListItem& operator=(const ListItem&) = delete;

private:
#ifdef Py_GIL_DISABLED
    Ref item_;
#else
    PyObject* item_;
#endif
};

// list.pop() of an exact list, as a new reference, without a method call where the interpreter
// lock serialises; IndexError "pop from empty list" when it is empty. On free-threaded builds it
// is list.pop itself, whose size check, removal and hand-over of the item are one critical section
// of the list: two threads popping at once never take the same item.
inline PyObject* list_pop_last(PyObject* list) noexcept {
#ifdef Py_GIL_DISABLED
    static Name pop{"pop"};
    return call_method(list, pop);
#else
    const Py_ssize_t n = PyList_GET_SIZE(list);
    if (n == 0) {
        PyErr_SetString(PyExc_IndexError, "pop from empty list");
        return nullptr;
    }
    PyObject* item = new_ref(PyList_GET_ITEM(list, n - 1));
    if (PyList_SetSlice(list, n - 1, n, nullptr) < 0) {
        Py_DECREF(item);
        return nullptr;
    }
    return item;
#endif
}

// Which wording unpack2 reports a wrong item count in.
enum class UnpackText {
    Host,     // "not enough values to unpack (expected 2, got N)"; "cannot unpack non-iterable T object"
    Counted,  // "need more than N value(s) to unpack"; a non-iterable raises the iterator protocol's error
};

// `a, b = value` (strong references): an exact tuple or list by its size, anything else by
// iteration, pulling a third item to prove there is none ("too many values to unpack (expected 2)").
inline bool unpack2(PyObject* value, Ref& first, Ref& second, UnpackText text = UnpackText::Host) noexcept {
    auto too_many = []() {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(2));
        return false;
    };
    auto too_few = [text](Py_ssize_t found) {
        if (text == UnpackText::Host)
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", found);
        else
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
        return false;
    };
    const bool is_tuple = PyTuple_CheckExact(value);
    if (is_tuple || PyList_CheckExact(value)) {
        Py_ssize_t size;
        PyObject* items[2] = {nullptr, nullptr};  // new references once taken
        if (is_tuple) {
            size = PyTuple_GET_SIZE(value);
            if (size == 2) {
                items[0] = new_ref(PyTuple_GET_ITEM(value, 0));
                items[1] = new_ref(PyTuple_GET_ITEM(value, 1));
            }
        } else {
            // The size and the two items from one state of the list (another thread may be
            // changing it); nothing in the section can run Python code.
            CriticalSection section(value);
            size = PyList_GET_SIZE(value);
            if (size == 2) {
                items[0] = new_ref(PyList_GET_ITEM(value, 0));
                items[1] = new_ref(PyList_GET_ITEM(value, 1));
            }
        }
        if (size > 2) return too_many();
        if (size < 2) return too_few(size);
        first = Ref::steal(items[0]);
        second = Ref::steal(items[1]);
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it) {
        if (text == UnpackText::Host && PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type_name(value));
        }
        return false;
    }
    Ref items[2];
    for (Py_ssize_t k = 0; k < 2; ++k) {
        items[k] = Ref::steal(PyIter_Next(it.get()));
        if (!items[k]) return PyErr_Occurred() ? false : too_few(k);
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) return too_many();
    if (PyErr_Occurred()) return false;
    first = std::move(items[0]);
    second = std::move(items[1]);
    return true;
}

// A double truncated toward zero into int32_t without undefined behaviour: values beyond the range
// saturate at its bounds, NaN gives 0.
inline int32_t saturating_int32(double x) noexcept {
    if (std::isnan(x)) return 0;
    if (x >= 2147483648.0) return INT32_MAX;
    if (x <= -2147483649.0) return INT32_MIN;
    return static_cast<int32_t>(x);
}

// A double truncated toward zero into uint64_t: NaN and values at or below zero give 0, values of
// 2**64 or more saturate at 2**64 - 1 (the plain conversion is undefined there).
inline uint64_t saturating_uint64(double x) noexcept {
    if (!(x > 0.0)) return 0;
    if (x >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<uint64_t>(x);
}

// The one-byte characters of a str when it is ASCII; `data` stays null for any other str.
struct AsciiView {
    const char* data = nullptr;
    size_t size = 0;
};

// Fills `out` for an exact str; false with an exception set when the str cannot be read.
inline bool ascii_of(PyObject* s, AsciiView& out) noexcept {
    out = {};
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) < 0) return false;
#endif
    if (PyUnicode_IS_ASCII(s))
        out = {static_cast<const char*>(PyUnicode_DATA(s)), static_cast<size_t>(PyUnicode_GET_LENGTH(s))};
    return true;
}

}  // namespace vn
