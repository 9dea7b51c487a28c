// Native types, the module frame, logging and `with` on a lock.
#pragma once

#include "function.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>

namespace vn {

// ---------------------------------------------------------------------------------------------
// Native types.

// A zeroed static type object; the module fills the slots it needs, then calls ready_type().
inline void init_type(PyTypeObject& t, const char* dotted_name, Py_ssize_t basicsize, const char* doc,
                      unsigned long extra_flags = 0) noexcept {
    std::memset(&t, 0, sizeof t);
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
    t.tp_name = dotted_name;
    t.tp_basicsize = basicsize;
    t.tp_doc = doc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | extra_flags;
}

namespace detail {

inline PyObject* refuse_pickling(PyObject*, PyObject* const*) noexcept {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

inline const FuncDef& reduce_def() {
    static const FuncDef def{"__reduce__", refuse_pickling, {}, nullptr, nullptr, Kind::Method};
    return def;
}

inline const FuncDef& setstate_def() {
    static const FuncDef def{"__setstate__", refuse_pickling, {{"state"}}, nullptr, nullptr, Kind::Method};
    return def;
}

inline const char* short_type_name(PyTypeObject* t) noexcept {
    const char* dot = std::strrchr(t->tp_name, '.');
    return dot ? dot + 1 : t->tp_name;
}

// The methods of this module's native types that are method descriptors: the definition the
// descriptor calls, beside the rich function object of the same table entry. Filled while the
// module initialises, read-only afterwards (published by the count, release/acquire).
struct MethodEntry {
    PyMethodDef def;
    PyObject* rich;
};
constexpr size_t kMaxMethods = 96;

inline MethodEntry* method_pool() noexcept {
    static MethodEntry pool[kMaxMethods];
    return pool;
}

inline std::atomic<size_t>& method_pool_used() noexcept {
    static std::atomic<size_t> used{0};
    return used;
}

// The rich function of one of our method descriptors, or null for any other object.
inline PyObject* rich_method(PyObject* o) noexcept {
    if (!Py_IS_TYPE(o, &PyMethodDescr_Type)) return nullptr;
    const uintptr_t def = reinterpret_cast<uintptr_t>(reinterpret_cast<PyMethodDescrObject*>(o)->d_method);
    const uintptr_t first = reinterpret_cast<uintptr_t>(method_pool());
    const size_t used = method_pool_used().load(std::memory_order_acquire);
    if (def < first || def >= first + used * sizeof(MethodEntry)) return nullptr;
    return reinterpret_cast<MethodEntry*>(def)->rich;
}

// Attribute lookup on one of our native types: as for any type, except that a method descriptor of
// ours is answered with its rich function (signature, defaults, annotations), as the class
// attribute of a method always was. Instances keep the descriptor itself, through the type's
// dictionary, so `obj.method(...)` is the interpreter's own method-descriptor call.
inline PyObject* native_type_getattro(PyObject* type, PyObject* name) noexcept {
    PyObject* found = PyType_Type.tp_getattro(type, name);
    if (found == nullptr) return nullptr;
    PyObject* rich = rich_method(found);
    if (rich == nullptr) return found;
    Py_DECREF(found);
    return new_ref(rich);
}

// The type of this module's native types: `type`, with the attribute lookup above.
inline PyTypeObject* native_meta() noexcept {
    static PyTypeObject meta;
    static bool ready = false;
    if (ready) return &meta;
    std::memset(&meta, 0, sizeof meta);
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&meta), 1);
    meta.tp_name = "velmora_native_type";
    meta.tp_base = &PyType_Type;
    meta.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    // As `type` itself: only heap types are collector-tracked (the native classes are static).
    meta.tp_traverse = PyType_Type.tp_traverse;
    meta.tp_clear = PyType_Type.tp_clear;
    meta.tp_is_gc = PyType_Type.tp_is_gc;
    meta.tp_getattro = native_type_getattro;
    meta.tp_doc = "The type of velmora's native classes.";
    if (PyType_Ready(&meta) < 0) return nullptr;
    ready = true;
    return &meta;
}

// Makes a method descriptor for a table entry with a fast entry point; the rich function `rich`
// (a new reference) is kept with it for the life of the process.
inline PyObject* method_descriptor(PyTypeObject& t, const FuncDef& def, PyObject* rich) noexcept {
    const size_t index = method_pool_used().load(std::memory_order_relaxed);
    if (index == kMaxMethods) {
        Py_DECREF(rich);
        PyErr_SetString(PyExc_SystemError, "too many native methods in one module");
        return nullptr;
    }
    // The docstring carries the text signature ("name($self, ...)\n--\n\n" + doc), as the
    // interpreter's own methods do, so a bound method has the table's signature too.
    Ref text = Ref::steal(build_text_signature(def));
    const char* sig = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (sig == nullptr) {
        Py_DECREF(rich);
        return nullptr;
    }
    const std::string doc = std::string(def.name) + sig + "\n--\n\n" + (def.doc ? def.doc : "");
    char* kept = static_cast<char*>(PyMem_RawMalloc(doc.size() + 1));  // kept for the process
    if (kept == nullptr) {
        Py_DECREF(rich);
        return PyErr_NoMemory();
    }
    std::memcpy(kept, doc.c_str(), doc.size() + 1);
    MethodEntry& entry = method_pool()[index];
    const Signature& signature = reinterpret_cast<Function*>(rich)->sig;
    const MethodEntries& m = *def.impl.method;
    // METH_FASTCALL | METH_KEYWORDS whatever the signature: a bound method object made from the
    // descriptor (`f = obj.load`) calls the entry through these flags, and only this one hands every
    // argument count and keyword to our binder (METH_NOARGS and METH_O would answer with the
    // interpreter's own, qualified, messages).
    entry.def = PyMethodDef{def.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m.fast)),
                            METH_FASTCALL | METH_KEYWORDS, kept};
    entry.rich = rich;
    *def.impl.signature = &signature;
    m.keep_default(signature);
    method_pool_used().store(index + 1, std::memory_order_release);
    PyObject* descr = PyDescr_NewMethod(&t, &entry.def);
    if (descr != nullptr) reinterpret_cast<PyMethodDescrObject*>(descr)->vectorcall = m.vectorcall;
    return descr;
}

}  // namespace detail

// A type's constructor from a parameter table, like a function's: the classic (args, kwargs) call
// is bound with the class's name in the messages ("AtomicCounter() takes at most 1 positional
// argument (2 given)"), the arguments are converted by their kinds (args.hpp), in order, and F
// receives them with the type: `PyObject* new_counter(PyTypeObject* type, arg::I64 initial)`.
template <auto F>
struct Constructor;

template <typename... A, PyObject* (*F)(PyTypeObject*, A...)>
struct Constructor<F> {
    static inline Signature signature;  // filled when the type is readied
    static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
        return call(type, args, kwargs, std::index_sequence_for<A...>{});
    }

private:
    template <size_t... I>
    static PyObject* call(PyTypeObject* type, PyObject* args, PyObject* kwargs, std::index_sequence<I...>) noexcept {
        PyObject* argv[sizeof...(A) > 0 ? sizeof...(A) : 1];
        Ref kept;  // keyword values, alive until the arguments are used
        if (!bind_tuple(signature, args, kwargs, argv, kept)) return nullptr;
        std::tuple<std::decay_t<A>...> values;
        const bool ok = (Converter<std::decay_t<A>>::convert(argv[I], signature.cnames[I], std::get<I>(values)) && ...);
        if (!ok) return nullptr;
        return F(type, std::move(std::get<I>(values))...);
    }
};

// The constructor of a table: its tp_new, the signature it binds with and its parameters.
struct CtorDef {
    newfunc tp_new = nullptr;
    Signature* signature = nullptr;
    std::vector<Param> params;
    Py_ssize_t arity = -1;  // the parameters tp_new converts
};

template <typename... A>
constexpr Py_ssize_t ctor_arity(PyObject* (*)(PyTypeObject*, A...)) noexcept {
    return static_cast<Py_ssize_t>(sizeof...(A));
}

template <auto F>
CtorDef constructor(std::vector<Param> params) {
    return CtorDef{&Constructor<F>::tp_new, &Constructor<F>::signature, std::move(params), ctor_arity(F)};
}

namespace detail {

// tp_new and the constructor's signature; the docstring gains the text signature in front
// ("Name(params)\n--\n\n" + doc, kept for the process), so inspect.signature(cls) answers.
inline bool set_constructor(PyTypeObject& t, const CtorDef& ctor) noexcept {
    const char* shortname = short_type_name(&t);
    if (!check_arity(shortname, ctor.arity, ctor.params.size()) ||
        !make_signature(*ctor.signature, shortname, ctor.params))
        return false;
    FuncDef as_function{shortname, nullptr, ctor.params, nullptr, nullptr, Kind::Function};
    Ref text = Ref::steal(build_text_signature(as_function));
    const char* sig = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (sig == nullptr) return false;
    const std::string doc = std::string(shortname) + sig + "\n--\n\n" + (t.tp_doc ? t.tp_doc : "");
    char* kept = static_cast<char*>(PyMem_RawMalloc(doc.size() + 1));
    if (kept == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    std::memcpy(kept, doc.c_str(), doc.size() + 1);
    t.tp_doc = kept;
    t.tp_new = ctor.tp_new;
    return true;
}

}  // namespace detail

// Puts the native methods (and the pickling refusal) into the type's dictionary, readies the type
// and adds it to the module under its short name. `module_name` is the dotted module name.
inline bool ready_type(PyObject* module, PyTypeObject& t, const std::vector<FuncDef>& methods,
                       bool refuse_pickle = true) noexcept {
    const char* shortname = detail::short_type_name(&t);
    // The type's own type first: the method descriptors made below refer to the type, and the
    // collector may look at it through them before it is ready.
    PyTypeObject* meta = detail::native_meta();
    if (meta == nullptr) return false;
    Py_SET_TYPE(reinterpret_cast<PyObject*>(&t), meta);
    PyObject* modname = PyModule_GetNameObject(module);
    if (modname == nullptr) return false;
    Ref modname_ref = Ref::steal(modname);
    const char* mname = PyUnicode_AsUTF8(modname);
    if (mname == nullptr) return false;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return false;
    auto add = [&](const FuncDef& def) {
        PyObject* f = make_function(def, mname, shortname, &t);
        if (f != nullptr && def.impl.method != nullptr && def.kind == Kind::Method)
            f = detail::method_descriptor(t, def, f);
        if (f == nullptr) return false;
        int rc = PyDict_SetItemString(dict.get(), def.name, f);
        Py_DECREF(f);
        return rc == 0;
    };
    for (const FuncDef& def : methods)
        if (!add(def)) return false;
    if (refuse_pickle && (!add(detail::reduce_def()) || !add(detail::setstate_def()))) return false;
    t.tp_dict = dict.release();
    if (PyType_Ready(&t) < 0) return false;
    Py_INCREF(&t);
    if (PyModule_AddObject(module, shortname, reinterpret_cast<PyObject*>(&t)) < 0) {
        Py_DECREF(&t);
        return false;
    }
    return true;
}

// The same, with the type's constructor from its parameter table.
inline bool ready_type(PyObject* module, PyTypeObject& t, const CtorDef& ctor, const std::vector<FuncDef>& methods,
                       bool refuse_pickle = true) noexcept {
    return detail::set_constructor(t, ctor) && ready_type(module, t, methods, refuse_pickle);
}

// Sets type attribute `alias` to the object already stored under `name` (the very same object).
inline bool alias_attribute(PyTypeObject& t, const char* alias, const char* name) noexcept {
    PyObject* v = PyDict_GetItemString(t.tp_dict, name);
    if (v == nullptr) {
        PyErr_Format(PyExc_SystemError, "%s has no attribute %s to alias", t.tp_name, name);
        return false;
    }
    if (PyDict_SetItemString(t.tp_dict, alias, v) < 0) return false;
    PyType_Modified(&t);
    return true;
}

// Sets a type attribute after the type is ready (consumes `value`).
inline bool set_type_attribute(PyTypeObject& t, const char* name, PyObject* value) noexcept {
    if (value == nullptr) return false;
    int rc = PyDict_SetItemString(t.tp_dict, name, value);
    Py_DECREF(value);
    if (rc == 0) PyType_Modified(&t);
    return rc == 0;
}

// The standard deallocation of a native instance: frees the object through its type.
inline void free_instance(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
}

// The deallocation of a collector-tracked instance that owns references: untracks it, then runs
// `release` (which drops the references and frees the instance) inside the interpreter's trashcan,
// so that a deep chain (a pointer holding a pointer holding ..., stacks of stacks, trees of trees)
// is released in bounded C stack depth, as the interpreter's own containers are.
template <typename Release>
inline void dealloc_tracked(PyObject* self, destructor dealloc, Release&& release) noexcept {
    PyObject_GC_UnTrack(self);
    (void)dealloc;  // newer interpreters' trashcan does not look at it
#ifdef Py_TRASHCAN_BEGIN
    Py_TRASHCAN_BEGIN(self, dealloc)
    release();
    Py_TRASHCAN_END
#else
    release();
#endif
}

// Raised when a public numeric attribute is deleted.
inline int delete_not_implemented() noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
}

// ---------------------------------------------------------------------------------------------
// Module-level objects.

// Adds functions to the module (Kind::Function).
inline bool add_functions(PyObject* module, const std::vector<FuncDef>& defs) noexcept {
    PyObject* modname = PyModule_GetNameObject(module);
    if (modname == nullptr) return false;
    Ref modname_ref = Ref::steal(modname);
    const char* mname = PyUnicode_AsUTF8(modname);
    if (mname == nullptr) return false;
    for (const FuncDef& def : defs) {
        PyObject* f = make_function(def, mname);
        if (f == nullptr || PyModule_AddObject(module, def.name, f) < 0) {
            Py_XDECREF(f);
            return false;
        }
    }
    return true;
}

// `import <name>` into the module namespace; returns the module (borrowed from the namespace).
inline PyObject* import_into(PyObject* module, const char* name, const char* as = nullptr) noexcept {
    PyObject* m = PyImport_ImportModule(name);
    if (m == nullptr) return nullptr;
    if (PyModule_AddObject(module, as ? as : name, m) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}

// `from <source> import a, b, ...` into the module namespace.
inline bool import_names_into(PyObject* module, const char* source, std::initializer_list<const char*> names) noexcept {
    Ref src = Ref::steal(PyImport_ImportModule(source));
    if (!src) return false;
    for (const char* n : names) {
        PyObject* v = PyObject_GetAttrString(src.get(), n);
        if (v == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", n, source);
            }
            return false;
        }
        if (PyModule_AddObject(module, n, v) < 0) {
            Py_DECREF(v);
            return false;
        }
    }
    return true;
}

// `import logging; logger = logging.getLogger(__name__)`; returns the logger (borrowed).
inline PyObject* make_logger(PyObject* module) noexcept {
    PyObject* logging = import_into(module, "logging");
    if (logging == nullptr) return nullptr;
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) return nullptr;
    static Name n_getLogger{"getLogger"};
    PyObject* logger = call_method(logging, n_getLogger, name.get());
    if (logger == nullptr || PyModule_AddObject(module, "logger", logger) < 0) {
        Py_XDECREF(logger);
        return nullptr;
    }
    return logger;
}

// logger.<level>(message), the message passed as a single argument.
inline bool log(PyObject* logger, const char* level, const char* message) noexcept {
    Ref msg = Ref::steal(PyUnicode_FromString(message));
    if (!msg) return false;
    Ref meth = Ref::steal(PyObject_GetAttrString(logger, level));
    if (!meth) return false;
    Ref r = Ref::steal(call(meth.get(), msg.get()));
    return static_cast<bool>(r);
}

// logger.<level>(message) for an already-built message object (borrowed).
inline bool log_object(PyObject* logger, Name& level, PyObject* message) noexcept {
    return call_method_void(logger, level, message);
}

// ---------------------------------------------------------------------------------------------
// `with lock:`, as the statement runs it: __enter__ and __exit__ are looked up on the lock's type
// (an instance attribute of that name is never called; a descriptor on the type is bound with its
// __get__), in the interpreter's own order and with its own errors; the bound __exit__ is kept from
// before __enter__ runs and is called with (None, None, None). For the interpreter's own lock type
// (what threading.Lock() returns), whose type cannot be changed, the lock's acquire() and release()
// method descriptors are called directly: they are the very functions its __enter__ and __exit__
// run, without the lookups and __exit__'s argument tuple.

namespace detail {

struct LockOps {
    PyTypeObject* type = nullptr;  // _thread.LockType, or null when it could not be found
    PyObject* acquire = nullptr;
    PyObject* release = nullptr;
};

inline std::atomic<const LockOps*>& lock_ops_slot() noexcept {
    static std::atomic<const LockOps*> slot{nullptr};
    return slot;
}

// The lock type alone, for the hot type test: one load instead of two. Null until published.
inline std::atomic<PyTypeObject*>& lock_type_slot() noexcept {
    static std::atomic<PyTypeObject*> slot{nullptr};
    return slot;
}

// Looks the lock type up once, at module initialisation (which the import system runs alone), and
// publishes it (release) for every later reader.
inline void init_lock_ops() noexcept {
    if (lock_ops_slot().load(std::memory_order_acquire) != nullptr) return;
    static LockOps ops;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    Ref thread = Ref::steal(PyImport_ImportModule("_thread"));
    Ref type = thread ? Ref::steal(PyObject_GetAttrString(thread.get(), "LockType")) : Ref();
    Ref acquire = type ? Ref::steal(PyObject_GetAttrString(type.get(), "acquire")) : Ref();
    Ref release = type ? Ref::steal(PyObject_GetAttrString(type.get(), "release")) : Ref();
    if (acquire && release && PyType_Check(type.get())) {  // kept for the life of the process
        ops.type = reinterpret_cast<PyTypeObject*>(type.release());
        ops.acquire = acquire.release();
        ops.release = release.release();
    }
    PyErr_Clear();
    PyErr_Restore(t, v, tb);
    lock_type_slot().store(ops.type, std::memory_order_release);
    lock_ops_slot().store(&ops, std::memory_order_release);
}

// The interpreter's lock type and its methods; null before initialisation (the generic path then
// serves every lock).
inline const LockOps* lock_ops() noexcept { return lock_ops_slot().load(std::memory_order_acquire); }

inline bool call_descriptor(PyObject* descriptor, PyObject* self) noexcept {
    PyObject* r = PyObject_Vectorcall(descriptor, &self, 1, nullptr);
    if (r == nullptr) return false;
    Py_DECREF(r);
    return true;
}

// type(o).<name> bound to o the way the interpreter binds a special method. A new reference; null
// without an exception when the type has no such attribute, null with one when binding failed.
inline PyObject* lookup_special(PyObject* o, PyObject* name) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* attr = _PyType_LookupRef(Py_TYPE(o), name);
#else
    PyObject* attr = _PyType_Lookup(Py_TYPE(o), name);
    Py_XINCREF(attr);
#endif
    if (attr == nullptr) return nullptr;
    descrgetfunc get = Py_TYPE(attr)->tp_descr_get;
    if (get == nullptr) return attr;
    PyObject* bound = get(attr, o, reinterpret_cast<PyObject*>(Py_TYPE(o)));
    Py_DECREF(attr);
    return bound;
}

// The error of a `with` statement whose manager lacks `which` ("__enter__" or "__exit__").
#if PY_VERSION_HEX >= 0x030E0000
// 3.14 names the type fully qualified, says which method is missing, and points at `async with`
// when the type has both methods of that protocol.
inline bool type_has(PyObject* o, const char* name) noexcept {
    PyObject* key = PyUnicode_InternFromString(name);
    if (key == nullptr) return false;
    PyObject* attr = _PyType_LookupRef(Py_TYPE(o), key);
    Py_DECREF(key);
    Py_XDECREF(attr);
    return attr != nullptr;
}

[[gnu::cold]] inline void no_context_manager(PyObject* o, const char* which) noexcept {
    if (type_has(o, "__aenter__") && type_has(o, "__aexit__"))
        PyErr_Format(PyExc_TypeError,
                     "'%T' object does not support the context manager protocol (missed %s method) but it "
                     "supports the asynchronous context manager protocol. Did you mean to use 'async with'?",
                     o, which);
    else if (!PyErr_Occurred())
        PyErr_Format(PyExc_TypeError, "'%T' object does not support the context manager protocol (missed %s method)", o,
                     which);
}
#elif PY_VERSION_HEX >= 0x030B0000
[[gnu::cold]] inline void no_context_manager(PyObject* o, const char* which) noexcept {
    if (std::strcmp(which, "__enter__") == 0)
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol", type_name(o));
    else
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                     type_name(o));
}
#else
[[gnu::cold]] inline void no_context_manager(PyObject*, const char* which) noexcept {
    PyErr_SetString(PyExc_AttributeError, which);
}
#endif

inline bool bind_special(PyObject* o, const char* which, Ref& out) noexcept {
    static Name n_enter{"__enter__"}, n_exit{"__exit__"};
    PyObject* name = (which[2] == 'e' && which[3] == 'n') ? n_enter.get() : n_exit.get();
    if (name == nullptr) return false;
    out = Ref::steal(lookup_special(o, name));
    if (out) return true;
    if (!PyErr_Occurred()) no_context_manager(o, which);
    return false;
}

}  // namespace detail

// A `with lock:` section. Construction enters (check ok()); leave() or the end of the scope leaves.
// Leaving while an error is being raised passes it to __exit__ as the statement does; an error
// raised by __exit__ then replaces it, with the first as its __context__. A true result of
// __exit__ cannot resume a native operation that has already failed, so the error propagates
// either way. When the scope ends without leave() and no error is being raised, an error of
// __exit__ is left set: such a caller checks PyErr_Occurred() after the scope.
class LockSection {
public:
    explicit LockSection(PyObject* lock) noexcept : lock_(Ref::borrow(lock)) { held_ = enter(); }
    ~LockSection() {
        if (!held_) return;
        if (!PyErr_Occurred()) {
            (void)exit(Py_None, Py_None, Py_None);
            return;
        }
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&t, &v, &tb);
        if (tb != nullptr) PyException_SetTraceback(v, tb);
        if (exit(t, v, tb)) {
            PyErr_Restore(t, v, tb);
            return;
        }
        PyObject *t2, *v2, *tb2;
        PyErr_Fetch(&t2, &v2, &tb2);
        PyErr_NormalizeException(&t2, &v2, &tb2);
        if (v2 != v) {
            PyException_SetContext(v2, v);  // takes our reference to v
            v = nullptr;
        }
        Py_XDECREF(t);
        Py_XDECREF(v);
        Py_XDECREF(tb);
        PyErr_Restore(t2, v2, tb2);
    }
    bool ok() const noexcept { return held_; }
    // Leaves the lock now; false if its __exit__ raised.
    bool leave() noexcept {
        held_ = false;
        return exit(Py_None, Py_None, Py_None);
    }
    LockSection(const LockSection&) = delete;
    LockSection& operator=(const LockSection&) = delete;

private:
    bool enter() noexcept {
        PyObject* lock = lock_.get();
        const detail::LockOps* ops = detail::lock_ops();
        if (ops != nullptr && ops->type != nullptr && Py_TYPE(lock) == ops->type) {
            release_ = ops->release;
            return detail::call_descriptor(ops->acquire, lock);
        }
        Ref enter;
#if PY_VERSION_HEX >= 0x030E0000
        // 3.14 loads __exit__ before __enter__.
        if (!detail::bind_special(lock, "__exit__", exit_) || !detail::bind_special(lock, "__enter__", enter))
            return false;
#else
        if (!detail::bind_special(lock, "__enter__", enter) || !detail::bind_special(lock, "__exit__", exit_))
            return false;
#endif
        PyObject* r = PyObject_CallNoArgs(enter.get());
        if (r == nullptr) return false;
        Py_DECREF(r);
        return true;
    }

    bool exit(PyObject* type, PyObject* value, PyObject* traceback) noexcept {
        if (!exit_) return detail::call_descriptor(release_, lock_.get());
        Ref bound = std::move(exit_);
        PyObject* args[3] = {type ? type : Py_None, value ? value : Py_None, traceback ? traceback : Py_None};
        PyObject* r = PyObject_Vectorcall(bound.get(), args, 3, nullptr);
        if (r == nullptr) return false;
        Py_DECREF(r);
        return true;
    }

    Ref lock_;                     // a strong reference: the section may outlive the attribute that held the lock
    Ref exit_;                     // the bound __exit__ of a lock that is not the interpreter's own
    PyObject* release_ = nullptr;  // or the release() descriptor of the interpreter's own lock
    bool held_ = false;
};

// A native mutex that an object keeps beside its threading.Lock when that lock is the interpreter's
// own type: taken and left without a Python call or a system call. A contended acquire waits with
// the thread state released, as threading.Lock.acquire() does, and runs the signal handlers at
// least every few milliseconds (a KeyboardInterrupt raised by a handler propagates, and the wait is
// abandoned).
//
// The word is 0 (free), 1 (held) or 2 (held, and a thread may be waiting). A waiter that gives up
// leaves nothing behind: at worst the next release notifies nobody.
// - Without a global interpreter lock, taking it uncontended is one compare-and-swap and leaving it
//   one exchange. A waiter marks the word 2 before it sleeps, under the mutex that the releaser
//   takes before it notifies, so a release between the waiter's look and its sleep still wakes it.
// - With one, the word is only ever looked at and changed by the thread holding the interpreter
//   lock (a section takes and leaves this lock in native code, never with the thread state
//   released), so the interpreter lock orders every access and they are plain loads and stores:
//   no locked instruction, whose full barrier would also wait for the section's own cache-missing
//   stores. A waiter marks the word 2 and notes the count of notifying releases before it lets the
//   interpreter lock go; it sleeps only while that count, read again under the mutex that the
//   releaser takes to move it, is unchanged, so a release in between still wakes it.
class NativeLock {
public:
    bool open() noexcept {
        open_ = true;
        return true;
    }
    // Ends the lock's life: the owner's deallocator calls it once for the lock it constructed in place.
    void close() noexcept { this->~NativeLock(); }
    explicit operator bool() const noexcept { return open_; }
    // False with the exception of a signal handler set.
    bool acquire() noexcept {
        if constexpr (kFreeThreaded) {
            int expected = 0;
            // Acquire: the section's reads come after the previous holder's writes.
            if (word_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed))
                return true;
        } else if (word_.load(std::memory_order_relaxed) == 0) {
            word_.store(1, std::memory_order_relaxed);
            return true;
        }
        return acquire_contended();
    }
    void release() noexcept {
        int was;
        if constexpr (kFreeThreaded) {
            // Release: the section's writes happen-before the next holder's acquire.
            was = word_.exchange(0, std::memory_order_release);
        } else {
            was = word_.load(std::memory_order_relaxed);
            word_.store(0, std::memory_order_relaxed);
        }
        if (was == 2) {
            std::lock_guard<std::mutex> guard(wait_mutex_);
            releases_.store(releases_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
            wake_.notify_one();
        }
    }

private:
    [[gnu::noinline]] bool acquire_contended() noexcept {
        for (;;) {
            bool taken = false;
            uint64_t seen = 0;
            if constexpr (!kFreeThreaded) {
                word_.store(2, std::memory_order_relaxed);
                seen = releases_.load(std::memory_order_relaxed);
            }
            // The mutex is left before the thread state is taken back: release() takes it while
            // holding the thread state.
            Py_BEGIN_ALLOW_THREADS
            {
                std::unique_lock<std::mutex> guard(wait_mutex_);
                if constexpr (kFreeThreaded) {
                    taken = word_.exchange(2, std::memory_order_acquire) == 0;
                    if (!taken) {
                        wake_.wait_for(guard, std::chrono::milliseconds(5));
                        taken = word_.exchange(2, std::memory_order_acquire) == 0;
                    }
                } else if (releases_.load(std::memory_order_relaxed) == seen) {
                    wake_.wait_for(guard, std::chrono::milliseconds(5));
                }
            }
            Py_END_ALLOW_THREADS
            if constexpr (!kFreeThreaded) {
                // Back under the interpreter lock. Taken as 2: other threads may still be waiting.
                taken = word_.load(std::memory_order_relaxed) == 0;
                if (taken) word_.store(2, std::memory_order_relaxed);
            }
            if (taken) return true;
            if (PyErr_CheckSignals() < 0) return false;
        }
    }

    std::atomic<int> word_{0};
    bool open_ = false;
    std::atomic<uint64_t> releases_{0};  // releases that notified; changed under wait_mutex_
    std::mutex wait_mutex_;
    std::condition_variable wake_;
};

// Whether `lock` is of the interpreter's own lock type (what threading.Lock() returns).
// Relaxed: the type is only compared, never read through (an object's type is never null, so an
// unpublished slot answers false).
inline bool is_interpreter_lock(PyObject* lock) noexcept {
    return Py_TYPE(lock) == detail::lock_type_slot().load(std::memory_order_relaxed);
}

// Whether `lock` is the interpreter's own lock type and referred to by its owner alone: then nobody
// else can ever hold it.
inline bool is_private_lock(PyObject* lock) noexcept { return is_interpreter_lock(lock) && Py_REFCNT(lock) == 1; }

// The thread inside one of an object's own locks (0: none), for OwnedLockSection. Relaxed: a
// thread only ever compares it with its own identity, which only it stores, and clears it before
// it leaves the lock.
using LockHolder = std::atomic<unsigned long>;

// A LockSection on a lock an object made for itself, which remembers the thread inside it. A call
// from a thread that already holds the lock (Python code run inside the section calling back into
// the object: a block's __eq__, a store's get_metrics, a finaliser) is refused with RuntimeError:
// the lock is not reentrant, so waiting would hang that thread forever, and with a reentrant
// replacement the nested call would change the object under the outer one.
class OwnedLockSection {
public:
    // `call` names the refused call ("FastRedBlackTree.insert"), `object` the object ("tree").
    // `native`, when open, is the object's NativeLock: it serialises the sections, and `lock` is
    // entered too only while something else could hold it (is_private_lock).
    OwnedLockSection(PyObject* lock, LockHolder& holder, const char* call, const char* object, const char* lock_name,
                     NativeLock* native = nullptr) noexcept
        : holder_(holder), me_(PyThread_get_thread_ident()) {
        if (holder.load(std::memory_order_relaxed) == me_) {
            PyErr_Format(PyExc_RuntimeError,
                         "%s() called from inside a call on the same %s that holds its %s on this thread "
                         "(the lock is not reentrant)",
                         call, object, lock_name);
            return;
        }
        if (native != nullptr && *native) {
            if (!native->acquire()) return;
            native_ = native;
            if (!is_private_lock(lock)) {
                section_.emplace(lock);
                if (!section_->ok()) {
                    release_native();
                    return;
                }
            }
        } else {
            section_.emplace(lock);
            if (!section_->ok()) return;
        }
        held_ = true;
        holder.store(me_, std::memory_order_relaxed);
    }
    ~OwnedLockSection() {
        if (!held_) return;
        holder_.store(0, std::memory_order_relaxed);
        section_.reset();  // leaves the Python lock (errors as a LockSection leaves them) first
        release_native();
    }
    bool ok() const noexcept { return held_; }
    // Leaves the lock now; false if its __exit__ raised.
    bool leave() noexcept {
        held_ = false;
        holder_.store(0, std::memory_order_relaxed);
        const bool left = !section_ || section_->leave();
        release_native();
        return left;
    }
    OwnedLockSection(const OwnedLockSection&) = delete;
    OwnedLockSection& operator=(const OwnedLockSection&) = delete;

private:
    void release_native() noexcept {
        if (native_ != nullptr) native_->release();
        native_ = nullptr;
    }
    LockHolder& holder_;
    unsigned long me_;
    std::optional<LockSection> section_;
    NativeLock* native_ = nullptr;
    bool held_ = false;
};

// A section over an object's native state that runs no Python code, guarded by the object's own
// threading.Lock `lock` as a `with` statement would be, and taken without the lock where that is
// indistinguishable: when the lock is the interpreter's own lock type and this object holds the
// only reference to it, nobody else can ever hold it, so with a global interpreter lock (which the
// section never releases) the section is already exclusive. Without a global lock the object's
// critical section makes it exclusive, whichever way the lock goes; a lock of any other kind (a
// replaced `threading`) is entered and left exactly as a LockSection does, around it.
//
// `body()` runs inside and returns a new reference (never null: the sections run no code that can
// fail). The result is body's, or null with the exception when entering or leaving the lock
// raised; body did not run in the first case and did in the second (its result is then released).
// The private-lock case is inlined: a type and a reference-count test, then the body.
namespace detail {

template <typename Body>
[[gnu::noinline]] PyObject* object_section_locked(PyObject* owner, PyObject* lock, Body& body) noexcept {
    LockSection section(lock);
    if (!section.ok()) return nullptr;
    Ref result;
    {
        CriticalSection critical(owner);
        result = Ref::steal(body());
    }
    return section.leave() ? result.release() : nullptr;
}

}  // namespace detail

template <typename Body>
VN_ALWAYS_INLINE PyObject* object_section(PyObject* owner, PyObject* lock, Body&& body) noexcept {
    if (__builtin_expect(is_private_lock(lock), 1)) {
        CriticalSection critical(owner);
        return body();
    }
    return detail::object_section_locked(owner, lock, body);
}

// A new threading.Lock(), looked up through `threading` in the module namespace.
inline PyObject* new_lock(PyObject* threading_module) noexcept {
    static Name n_Lock{"Lock"};
    return call_method(threading_module, n_Lock);
}

// ---------------------------------------------------------------------------------------------
// The module frame: multi-phase initialisation, once per process, in one interpreter.

struct ModuleFrame {
    const char* shortname;
    const char* doc;
    int (*exec)(PyObject* module);
    PyModuleDef def;
    PyModuleDef_Slot slots[5];
    PyObject* module;  // the one initialised module object of this process
};

namespace detail {

inline ModuleFrame*& current_frame() noexcept {
    static ModuleFrame* frame = nullptr;  // one module per shared object (hidden visibility)
    return frame;
}

// The first interpreter to load the module is the only one that may: another one is refused
// (compare-and-swap, since interpreters with their own GIL can import at the same time).
inline bool check_single_interpreter() noexcept {
    static std::atomic<int64_t> owner{-1};
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return false;
    int64_t expected = -1;
    if (owner.compare_exchange_strong(expected, current, std::memory_order_acq_rel) || expected == current) return true;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return false;
}

inline PyObject* module_create(PyObject* module_spec, PyModuleDef*) noexcept {
    if (!check_single_interpreter()) return nullptr;
    ModuleFrame* frame = current_frame();
    if (frame->module != nullptr) return new_ref(frame->module);
    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

inline int module_exec(PyObject* module) noexcept {
    ModuleFrame* frame = current_frame();
    if (frame->module != nullptr) {
        if (frame->module == module) return 0;
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     frame->shortname);
        return -1;
    }
    if (PyModule_SetDocString(module, frame->doc) < 0) return -1;
    init_lock_ops();
    frame->module = new_ref(module);
    if (frame->exec(module) < 0) {
        Py_CLEAR(frame->module);
        return -1;
    }
    return 0;
}

}  // namespace detail

// Called from PyInit_<shortname> (once per interpreter that imports the module); returns the
// module definition for multi-phase initialisation. The definition is built once per process.
//
// The module declares that it supports interpreters with their own GIL: not because it runs in
// several (its create step refuses every interpreter but the first, with the documented
// ImportError), but so that the interpreter lets the create step run and that refusal is the one
// a caller sees, instead of the interpreter's generic "does not support loading in
// subinterpreters".
inline PyObject* init_module(ModuleFrame& frame) noexcept {
    static std::once_flag once;
    std::call_once(once, [&frame] {
        detail::current_frame() = &frame;
        int n = 0;
        frame.slots[n++] = {Py_mod_create, reinterpret_cast<void*>(detail::module_create)};
        frame.slots[n++] = {Py_mod_exec, reinterpret_cast<void*>(detail::module_exec)};
#ifdef Py_mod_multiple_interpreters
        frame.slots[n++] = {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED};
#endif
#ifdef Py_mod_gil
        // Every module is correct without the interpreter lock (see each file's concurrency notes).
        frame.slots[n++] = {Py_mod_gil, Py_MOD_GIL_NOT_USED};
#endif
        frame.slots[n] = {0, nullptr};
        frame.def = PyModuleDef{PyModuleDef_HEAD_INIT, frame.shortname, frame.doc, 0,      nullptr,
                                frame.slots,           nullptr,         nullptr,   nullptr};
    });
    return PyModuleDef_Init(&frame.def);
}

}  // namespace vn

// Declares the module's entry point: VN_MODULE(lockless, "doc", exec_function).
#define VN_MODULE(shortname, doc, exec_fn)                                              \
    static vn::ModuleFrame vn_module_frame_{#shortname, doc, exec_fn, {}, {}, nullptr}; \
    PyMODINIT_FUNC PyInit_##shortname(void) { return vn::init_module(vn_module_frame_); }
