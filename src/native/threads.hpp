// State shared between threads: what the interpreter lock protects on builds that have one, the
// interpreter's own free-threading API protects on builds that do not (Py_GIL_DISABLED).
//
// - CriticalSection / CriticalSection2: the per-object lock of Py_BEGIN_CRITICAL_SECTION, held for
//   a scope on free-threaded builds; nothing where the interpreter lock already serialises the
//   code. Like the interpreter's own, a section is suspended whenever its thread blocks (a lock
//   wait, a release of the thread state), so it guards native stretches only: copy state out
//   inside it, build Python results and call Python code outside it.
// - Mutex: a PyMutex for native state that no Python object owns (waiting detaches the thread, so
//   it can never stall a stop-the-world pause); nothing where the interpreter lock serialises.
// - Strong item access: list and dict items as new references, which stay valid while another
//   thread mutates the container.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vn {

#ifdef Py_GIL_DISABLED
constexpr bool kFreeThreaded = true;
#else
constexpr bool kFreeThreaded = false;
#endif

#ifdef Py_GIL_DISABLED

class CriticalSection {
public:
    explicit CriticalSection(PyObject* o) noexcept { PyCriticalSection_Begin(&cs_, o); }
    ~CriticalSection() { PyCriticalSection_End(&cs_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

private:
    PyCriticalSection cs_;
};

class CriticalSection2 {
public:
    CriticalSection2(PyObject* a, PyObject* b) noexcept { PyCriticalSection2_Begin(&cs_, a, b); }
    ~CriticalSection2() { PyCriticalSection2_End(&cs_); }
    CriticalSection2(const CriticalSection2&) = delete;
    CriticalSection2& operator=(const CriticalSection2&) = delete;

private:
    PyCriticalSection2 cs_;
};

class Mutex {
public:
    void lock() noexcept { PyMutex_Lock(&m_); }
    void unlock() noexcept { PyMutex_Unlock(&m_); }

private:
    PyMutex m_{};
};

#else

class CriticalSection {
public:
    explicit CriticalSection(PyObject*) noexcept {}
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
};

class CriticalSection2 {
public:
    CriticalSection2(PyObject*, PyObject*) noexcept {}
    CriticalSection2(const CriticalSection2&) = delete;
    CriticalSection2& operator=(const CriticalSection2&) = delete;
};

class Mutex {
public:
    void lock() noexcept {}
    void unlock() noexcept {}
};

#endif

// Holds a Mutex for the scope.
class MutexGuard {
public:
    explicit MutexGuard(Mutex& m) noexcept : m_(m) { m_.lock(); }
    ~MutexGuard() { m_.unlock(); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    Mutex& m_;
};

// Item i of a list as a new reference; IndexError "list index out of range" when the list (which
// another thread, or Python code run earlier in a walk, may have shrunk) no longer has it.
inline PyObject* list_item_ref(PyObject* list, Py_ssize_t i) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyList_GetItemRef(list, i);
#else
    if (i < 0 || i >= PyList_GET_SIZE(list)) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return nullptr;
    }
    PyObject* item = PyList_GET_ITEM(list, i);
    Py_INCREF(item);
    return item;
#endif
}

// d[key] as a new reference: 1 found, 0 absent (out null, no exception), -1 error.
inline int dict_item_ref(PyObject* d, PyObject* key, PyObject** out) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(d, key, out);
#else
    PyObject* v = PyDict_GetItemWithError(d, key);
    Py_XINCREF(v);
    *out = v;
    if (v != nullptr) return 1;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

}  // namespace vn
