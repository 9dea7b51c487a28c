// Owned references, interned names, calls by name and the small error helpers every module shares.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "threads.hpp"

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace vn {

// An owned (strong) reference; released exactly once, when the holder goes out of scope.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // Takes over a new reference (the result of a C-API call that returns one; may be null).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Gives up ownership: the caller now owns the reference.
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(PyObject* stolen = nullptr) noexcept {
        PyObject* old = p_;
        p_ = stolen;
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

inline PyObject* new_ref(PyObject* o) noexcept {
    Py_INCREF(o);
    return o;
}

inline PyObject* none() noexcept { return new_ref(Py_None); }
inline PyObject* boolean(bool b) noexcept { return new_ref(b ? Py_True : Py_False); }

// An interned attribute or key name, created on first use and kept for the life of the process.
// Threads that meet it first at the same time may each intern it: one stores it (interning gives
// them the same object), the others drop their extra reference.
struct Name {
    const char* text;
    std::atomic<PyObject*> obj{nullptr};
    PyObject* get() noexcept {
        PyObject* o = obj.load(std::memory_order_acquire);
        if (o != nullptr) return o;
        PyObject* fresh = PyUnicode_InternFromString(text);
        if (fresh == nullptr) return nullptr;
        if (obj.compare_exchange_strong(o, fresh, std::memory_order_acq_rel)) return fresh;
        Py_DECREF(fresh);
        return o;
    }
};

inline const char* type_name(PyObject* o) noexcept { return Py_TYPE(o)->tp_name; }

// TypeError "Argument '<name>' has incorrect type (expected <expected>, got <type of o>)".
inline void arg_type_error(const char* argname, const char* expected, PyObject* o) noexcept {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argname,
                 expected, type_name(o));
}

// TypeError "Expected <expected>, got <type of o>".
inline void expected_type_error(const char* expected, PyObject* o) noexcept {
    PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", expected, type_name(o));
}

// Calls obj.<name>(*args) through vectorcall (borrowed arguments); returns a new reference or null.
template <typename... Args>
inline PyObject* call_method(PyObject* obj, Name& name, Args... args) noexcept {
    PyObject* n = name.get();
    if (n == nullptr) return nullptr;
    PyObject* argv[] = {obj, static_cast<PyObject*>(args)...};
    return PyObject_VectorcallMethod(n, argv, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// Calls a callable with borrowed positional arguments; returns a new reference or null.
template <typename... Args>
inline PyObject* call(PyObject* callable, Args... args) noexcept {
    PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
    return PyObject_Vectorcall(callable, argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// Calls obj.<name>(*args) and drops the result; false when it raised.
template <typename... Args>
inline bool call_method_void(PyObject* obj, Name& name, Args... args) noexcept {
    PyObject* r = call_method(obj, name, args...);
    if (r == nullptr) return false;
    Py_DECREF(r);
    return true;
}

// A growable array of trivially copyable values on the interpreter's allocator. The modules are
// built without C++ exceptions, so growth reports failure (MemoryError set) instead of throwing.
template <typename T>
class PodVector {
    static_assert(std::is_trivially_copyable<T>::value, "PodVector holds plain values");

public:
    PodVector() noexcept = default;
    ~PodVector() { PyMem_Free(data_); }
    PodVector(const PodVector&) = delete;
    PodVector& operator=(const PodVector&) = delete;

    bool push(const T& v) noexcept {
        if (size_ == capacity_ && !grow()) return false;
        data_[size_++] = v;
        return true;
    }
    size_t size() const noexcept { return size_; }
    T& operator[](size_t i) noexcept { return data_[i]; }
    const T& operator[](size_t i) const noexcept { return data_[i]; }

private:
    bool grow() noexcept {
        const size_t cap = capacity_ ? capacity_ * 2 : 8;
        if (cap > PY_SSIZE_T_MAX / sizeof(T)) {
            PyErr_NoMemory();
            return false;
        }
        T* p = static_cast<T*>(PyMem_Realloc(data_, cap * sizeof(T)));
        if (p == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        data_ = p;
        capacity_ = cap;
        return true;
    }
    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// Owned references kept in order; each is released when the holder goes out of scope.
class RefVector {
public:
    RefVector() noexcept = default;
    ~RefVector() {
        for (size_t i = 0; i < items_.size(); ++i) Py_DECREF(items_[i]);
    }
    RefVector(const RefVector&) = delete;
    RefVector& operator=(const RefVector&) = delete;
    // Appends a new reference to the borrowed `o`.
    bool push(PyObject* o) noexcept {
        if (!items_.push(o)) return false;
        Py_INCREF(o);
        return true;
    }
    size_t size() const noexcept { return items_.size(); }
    PyObject* operator[](size_t i) const noexcept { return items_[i]; }

private:
    PodVector<PyObject*> items_;
};

// Releases the interpreter lock for the lifetime of the object.
class NoGil {
public:
    NoGil() noexcept : state_(PyEval_SaveThread()) {}
    ~NoGil() { PyEval_RestoreThread(state_); }
    NoGil(const NoGil&) = delete;
    NoGil& operator=(const NoGil&) = delete;

private:
    PyThreadState* state_;
};

// The interned names of a dict's keys, built again and again in the same order (a statistics
// snapshot): each interned on first use and kept for the process, like a Name.
class Names {
public:
    Names(std::initializer_list<const char*> texts) : size_(texts.size()), names_(new Name[texts.size()]) {
        size_t i = 0;
        for (const char* text : texts) names_[i++].text = text;
    }
    size_t size() const noexcept { return size_; }
    Name& operator[](size_t i) noexcept { return names_[i]; }
    Names(const Names&) = delete;
    Names& operator=(const Names&) = delete;

private:
    size_t size_;
    Name* names_;  // never freed, like an Immortal (see below)
};

// A global that is built once and never destroyed. A daemon thread may still be inside a native
// call that reads it (with the interpreter lock released, or on a free-threaded build) while the
// process runs its exit handlers, and those destroy ordinary globals: the thread would then read
// freed memory. What an Immortal holds is left to the operating system at exit.
template <class T>
class Immortal {
public:
    template <class... Args>
    explicit Immortal(Args&&... args) {
        new (storage_) T(std::forward<Args>(args)...);
    }
    T& operator*() noexcept { return *get(); }
    T* operator->() noexcept { return get(); }
    T* get() noexcept { return std::launder(reinterpret_cast<T*>(storage_)); }
    Immortal(const Immortal&) = delete;
    Immortal& operator=(const Immortal&) = delete;

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

// Sets item `name` of dict `d` to `value` (a new reference, consumed even on failure).
inline bool dict_set(PyObject* d, Name& name, PyObject* value) noexcept {
    if (value == nullptr) return false;
    PyObject* k = name.get();
    int rc = k ? PyDict_SetItem(d, k, value) : -1;
    Py_DECREF(value);
    return rc == 0;
}

// The same for a key set once (a namespace or an annotation being built): interned on the spot.
inline bool dict_set(PyObject* d, const char* text, PyObject* value) noexcept {
    if (value == nullptr) return false;
    PyObject* k = PyUnicode_InternFromString(text);
    int rc = k ? PyDict_SetItem(d, k, value) : -1;
    Py_XDECREF(k);
    Py_DECREF(value);
    return rc == 0;
}

// Builds a dict with the keys in order; every value is a new reference (consumed). Returns null
// with an exception (and releases what it was given) when any value is null, the counts differ or
// an insertion fails.
template <typename... Values>
inline PyObject* make_dict(Names& keys, Values... values) noexcept {
    static_assert(sizeof...(Values) > 0, "make_dict needs values");
    PyObject* vals[] = {static_cast<PyObject*>(values)...};
    const size_t n = sizeof...(Values);
    bool ok = true;
    for (size_t i = 0; i < n; ++i) ok = ok && vals[i] != nullptr;
    if (ok && keys.size() != n) {
        PyErr_SetString(PyExc_SystemError, "make_dict: as many keys as values");
        ok = false;
    }
    PyObject* d = ok ? _PyDict_NewPresized(static_cast<Py_ssize_t>(n)) : nullptr;
    for (size_t i = 0; i < n && d != nullptr; ++i) {
        PyObject* k = keys[i].get();
        if (k == nullptr || PyDict_SetItem(d, k, vals[i]) != 0) Py_CLEAR(d);
    }
    for (size_t j = 0; j < n; ++j) Py_XDECREF(vals[j]);
    return d;
}

}  // namespace vn
