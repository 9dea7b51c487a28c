// velmora.memory.lockless: low-level synchronisation primitives for the package's allocators.
//
// Concurrency model, class by class (the same on builds with and without the interpreter lock):
// - AtomicCounter: the value is a std::atomic<int64_t>; every operation is one sequentially
//   consistent atomic instruction, so it may be called from any thread, with or without the
//   interpreter lock (the native operation table is published for that). The Python methods keep
//   the interpreter lock across the single instruction: releasing and re-taking it costs more than
//   the instruction itself, and holding it blocks nobody for longer than one atomic operation.
// - AtomicPointer and LockFreeStack: every access to the stored object pointer, the version and the
//   node links happens under the instance's threading.Lock, which is a real mutex whether or not
//   the interpreter has a global lock. References are taken before the lock is entered and released
//   after it is left, so no destructor runs inside the lock. The stack's size is a
//   std::atomic<int64_t> changed inside the lock and read without it. A node is freed only after it
//   has been unlinked under the lock, so no other thread can reach it. The collector reads the
//   fields only while every other thread is stopped.
// - LockFreeStatistics: the twelve native mirrors are std::atomic<int64_t>, updated with the
//   interpreter lock released; the twelve public counters are attributes holding objects
//   (AtomicCounter by default) whose own operations are atomic. Each attribute is read as a strong
//   reference inside the object's critical section (vn::CriticalSection: the per-object lock on
//   free-threaded builds, nothing where the interpreter lock serialises), and the setter swaps it
//   there and releases the old object after, so a counter in use is never freed under its user.
//   The all-native record_allocation path runs its reads and updates inside that section. Only
//   reset() takes the lock.
// - PerformanceTimer: one std::atomic<int64_t> start time (relaxed: nothing else is published
//   through it), one timer per caller, as documented.
#include "native/velmora_native.hpp"

#include <atomic>
#include <cstdint>
#include <utility>

namespace {

PyObject* g_module = nullptr;  // this module (kept alive by the module frame)
PyObject* g_zero = nullptr;    // int 0, made at import

// A new threading.Lock(), with `threading` looked up in the module namespace at each call.
PyObject* new_lock() {
    static vn::Name n_threading{"threading"};
    vn::Ref threading = vn::Ref::steal(vn::module_global(g_module, n_threading));
    return threading ? vn::new_lock(threading.get()) : nullptr;
}

vn::Name n_load{"load"}, n_store{"store"}, n_increment{"increment"}, n_decrement{"decrement"},
    n_compare_and_swap{"compare_and_swap"}, n_update_peaks{"_update_peaks"}, n_py_load{"py_load"},
    n_py_store{"py_store"}, n_py_increment{"py_increment"}, n_py_decrement{"py_decrement"},
    n_py_compare_and_swap{"py_compare_and_swap"}, n_py_fetch_and_add{"py_fetch_and_add"}, n_counter{"_counter"},
    n_elapsed_ns{"elapsed_ns"}, n_perf_counter_ns{"perf_counter_ns"};

// Two's-complement wrap-around arithmetic without signed overflow.
inline int64_t wrap_add(int64_t a, int64_t b) noexcept {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
inline int64_t wrap_sub(int64_t a, int64_t b) noexcept {
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

// =============================================================================================
// AtomicCounter

struct Counter;

// The native operation table, in its published order. Callable without the interpreter lock.
struct CounterOps {
    int64_t (*c_load)(Counter*);
    void (*c_store)(Counter*, int64_t);
    int64_t (*c_increment)(Counter*, int64_t);
    int64_t (*c_decrement)(Counter*, int64_t);
    bool (*c_compare_and_swap)(Counter*, int64_t, int64_t);
    int64_t (*c_fetch_and_add)(Counter*, int64_t);
};

struct Counter {
    PyObject_HEAD
    const CounterOps* ops;
    std::atomic<int64_t> value;
};

// fetch_add on std::atomic<signed> is defined to wrap (two's complement), never overflow.
int64_t c_load(Counter* c) { return c->value.load(std::memory_order_seq_cst); }
void c_store(Counter* c, int64_t v) { (void)c->value.exchange(v, std::memory_order_seq_cst); }
int64_t c_increment(Counter* c, int64_t delta = 1) {
    return wrap_add(c->value.fetch_add(delta, std::memory_order_seq_cst), delta);
}
int64_t c_decrement(Counter* c, int64_t delta = 1) {
    // fetch-and-add of minus delta; the negation is done unsigned so INT64_MIN does not overflow.
    const int64_t neg = wrap_sub(0, delta);
    return wrap_add(c->value.fetch_add(neg, std::memory_order_seq_cst), neg);
}
bool c_compare_and_swap(Counter* c, int64_t expected, int64_t new_value) {
    int64_t local = expected;  // the caller's value is never overwritten with the observed one
    return c->value.compare_exchange_strong(local, new_value, std::memory_order_seq_cst);
}
int64_t c_fetch_and_add(Counter* c, int64_t delta) { return c->value.fetch_add(delta, std::memory_order_seq_cst); }

const CounterOps kCounterOps = {c_load, c_store, c_increment, c_decrement, c_compare_and_swap, c_fetch_and_add};

PyTypeObject AtomicCounterType;

inline bool is_exact_counter(PyObject* o) noexcept { return Py_TYPE(o) == &AtomicCounterType; }
inline Counter* as_counter(PyObject* o) noexcept { return reinterpret_cast<Counter*>(o); }

Counter* alloc_counter(PyTypeObject* type, int64_t initial) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    Counter* c = as_counter(self);
    c->ops = &kCounterOps;
    new (&c->value) std::atomic<int64_t>(initial);
    return c;
}

PyObject* AtomicCounter_new(PyTypeObject* type, vn::arg::I64 initial_value) {
    return reinterpret_cast<PyObject*>(alloc_counter(type, initial_value));
}

PyObject* AtomicCounter_load(PyObject* self) { return PyLong_FromLongLong(c_load(as_counter(self))); }

PyObject* AtomicCounter_store(PyObject* self, vn::arg::I64 value) {
    c_store(as_counter(self), value);
    return vn::none();
}

PyObject* AtomicCounter_increment(PyObject* self, vn::arg::I64 delta) {
    return PyLong_FromLongLong(c_increment(as_counter(self), delta));
}

PyObject* AtomicCounter_decrement(PyObject* self, vn::arg::I64 delta) {
    return PyLong_FromLongLong(c_decrement(as_counter(self), delta));
}

PyObject* AtomicCounter_compare_and_swap(PyObject* self, vn::arg::I64 expected, vn::arg::I64 new_value) {
    return vn::boolean(c_compare_and_swap(as_counter(self), expected, new_value));
}

PyObject* AtomicCounter_fetch_and_add(PyObject* self, vn::arg::I64 delta) {
    return PyLong_FromLongLong(c_fetch_and_add(as_counter(self), delta));
}

const char* const kAtomicCounterDoc =
    "Lock-free atomic counter built on the compiler's atomic built-ins.\n\n"
    "Provides true atomic operations without locks; every operation is a single hardware\n"
    "atomic instruction and runs outside the interpreter lock's critical work.\n\n"
    "Performance targets:\n"
    "    increment(): < 30 ns (vs ~500 ns with threading.Lock)\n"
    "    load(): < 10 ns (vs ~100 ns with threading.Lock)\n"
    "    compare_and_swap(): < 50 ns (vs ~500 ns with threading.Lock)\n"
    "    10-20x faster than threading.Lock\n";

std::vector<vn::FuncDef> counter_methods() {
    return {
        {"load", vn::method<AtomicCounter_load>, {}, "int", "Atomically load value."},
        {"store", vn::method<AtomicCounter_store>, {{"value"}}, nullptr, "Atomically store value."},
        {"increment",
         vn::method<AtomicCounter_increment>,
         {{"delta", nullptr, "1"}},
         "int",
         "Atomically increment and return new value."},
        {"decrement",
         vn::method<AtomicCounter_decrement>,
         {{"delta", nullptr, "1"}},
         "int",
         "Atomically decrement and return new value."},
        {"compare_and_swap",
         vn::method<AtomicCounter_compare_and_swap>,
         {{"expected"}, {"new_value"}},
         "bool",
         "Atomically compare and swap."},
        {"fetch_and_add", vn::method<AtomicCounter_fetch_and_add>, {{"delta"}}, "int", "Atomically fetch and add."},
    };
}

// =============================================================================================
// AtomicCounterWrapper: an ordinary Python class delegating to self._counter by the py_ names.

PyObject* AtomicCounterWrapper_init(PyObject* self, const vn::arg::PyInt& initial_value) {
    vn::Ref counter = vn::Ref::steal(vn::call(reinterpret_cast<PyObject*>(&AtomicCounterType), initial_value.get()));
    if (!counter || PyObject_SetAttr(self, n_counter.get(), counter.get()) < 0) return nullptr;
    return vn::none();
}

// self._counter.<name>(*args), looked up at every call so a replaced _counter is honoured.
template <typename... Args>
PyObject* delegate(PyObject* self, vn::Name& name, Args... args) {
    vn::Ref counter = vn::Ref::steal(PyObject_GetAttr(self, n_counter.get()));
    if (!counter) return nullptr;
    return vn::call_method(counter.get(), name, args...);
}

PyObject* AtomicCounterWrapper_load(PyObject* self) { return vn::int_result(delegate(self, n_py_load)); }

PyObject* AtomicCounterWrapper_store(PyObject* self, const vn::arg::PyInt& value) {
    vn::Ref r = vn::Ref::steal(delegate(self, n_py_store, value.get()));
    return r ? vn::none() : nullptr;
}

PyObject* AtomicCounterWrapper_increment(PyObject* self, const vn::arg::PyInt& delta) {
    return vn::int_result(delegate(self, n_py_increment, delta.get()));
}

PyObject* AtomicCounterWrapper_decrement(PyObject* self, const vn::arg::PyInt& delta) {
    return vn::int_result(delegate(self, n_py_decrement, delta.get()));
}

PyObject* AtomicCounterWrapper_compare_and_swap(PyObject* self, const vn::arg::PyInt& expected,
                                                const vn::arg::PyInt& new_value) {
    return delegate(self, n_py_compare_and_swap, expected.get(), new_value.get());
}

PyObject* AtomicCounterWrapper_fetch_and_add(PyObject* self, const vn::arg::PyInt& delta) {
    return vn::int_result(delegate(self, n_py_fetch_and_add, delta.get()));
}

PyObject* make_wrapper_class(PyObject* module) {
    using vn::Kind;
    const std::vector<vn::FuncDef> methods = {
        {"__init__",
         vn::fn<AtomicCounterWrapper_init>,
         {{"initial_value", "int", "0"}},
         nullptr,
         nullptr,
         Kind::AnySelf},
        {"load", vn::fn<AtomicCounterWrapper_load>, {}, "int", nullptr, Kind::AnySelf},
        {"store", vn::fn<AtomicCounterWrapper_store>, {{"value", "int"}}, nullptr, nullptr, Kind::AnySelf},
        {"increment", vn::fn<AtomicCounterWrapper_increment>, {{"delta", "int", "1"}}, "int", nullptr, Kind::AnySelf},
        {"decrement", vn::fn<AtomicCounterWrapper_decrement>, {{"delta", "int", "1"}}, "int", nullptr, Kind::AnySelf},
        {"compare_and_swap",
         vn::fn<AtomicCounterWrapper_compare_and_swap>,
         {{"expected", "int"}, {"new_value", "int"}},
         "bool",
         nullptr,
         Kind::AnySelf},
        {"fetch_and_add",
         vn::fn<AtomicCounterWrapper_fetch_and_add>,
         {{"delta", "int"}},
         "int",
         nullptr,
         Kind::AnySelf},
    };
    vn::Ref ns = vn::Ref::steal(PyDict_New());
    if (!ns) return nullptr;
    const char* modname = PyModule_GetName(module);
    if (modname == nullptr || !vn::dict_set(ns.get(), "__module__", PyUnicode_FromString(modname)) ||
        !vn::dict_set(ns.get(), "__qualname__", PyUnicode_FromString("AtomicCounterWrapper")) ||
        !vn::dict_set(ns.get(), "__doc__",
                      PyUnicode_FromString("Python-level wrapper of AtomicCounter, kept for backward compatibility.")))
        return nullptr;
    for (const vn::FuncDef& def : methods) {
        vn::Ref f = vn::Ref::steal(vn::make_function(def, modname, "AtomicCounterWrapper"));
        if (!f || PyDict_SetItemString(ns.get(), def.name, f.get()) < 0) return nullptr;
    }
    return PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", "AtomicCounterWrapper",
                                 reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns.get());
}

// =============================================================================================
// AtomicPointer

struct Pointer {
    PyObject_HEAD
    PyObject* ptr;     // owns one reference when not null; None is stored as null
    uint64_t version;  // successful writes; guarded by lock
    PyObject* lock;
};

PyTypeObject AtomicPointerType;
vn::Signature g_pointer_new_sig;

inline Pointer* as_pointer(PyObject* o) noexcept { return reinterpret_cast<Pointer*>(o); }
inline PyObject* to_slot(PyObject* o) noexcept { return o == Py_None ? nullptr : vn::new_ref(o); }

// Raw on purpose: it binds after it has allocated (its lock field starts as None), as documented.
PyObject* AtomicPointer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    vn::Ref self = vn::Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    Pointer* p = as_pointer(self.get());
    p->lock = vn::none();
    p->ptr = nullptr;
    p->version = 0;
    PyObject* argv[1];
    vn::Ref kept_kwargs;  // keyword values, alive until the arguments are used
    if (!vn::bind_tuple(g_pointer_new_sig, args, kwargs, argv, kept_kwargs)) return nullptr;
    p->ptr = to_slot(argv[0]);
    PyObject* lock = new_lock();
    if (lock == nullptr) return nullptr;
    Py_SETREF(p->lock, lock);
    return self.release();
}

int AtomicPointer_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_pointer(self)->lock);
    Py_VISIT(as_pointer(self)->ptr);  // so a cycle through the stored object can be collected
    return 0;
}

int AtomicPointer_clear(PyObject* self) {
    Pointer* p = as_pointer(self);
    PyObject* old = p->ptr;
    p->ptr = nullptr;
    Py_XDECREF(old);
    Py_SETREF(p->lock, vn::none());
    return 0;
}

void AtomicPointer_dealloc(PyObject* self) {
    vn::dealloc_tracked(self, AtomicPointer_dealloc, [self] {
        Pointer* p = as_pointer(self);
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        Py_CLEAR(p->ptr);
        PyErr_Restore(t, v, tb);
        Py_CLEAR(p->lock);
        vn::free_instance(self);
    });
}

PyObject* AtomicPointer_load(PyObject* self) {
    Pointer* p = as_pointer(self);
    // Taken inside the section: the object cannot be released before we own it.
    return vn::object_section(self, p->lock, [p] { return vn::new_ref(p->ptr ? p->ptr : Py_None); });
}

PyObject* AtomicPointer_store(PyObject* self, vn::arg::Object value) {
    Pointer* p = as_pointer(self);
    PyObject* fresh = to_slot(value);
    vn::Ref old;  // released after the section
    PyObject* r = vn::object_section(self, p->lock, [p, &fresh, &old] {
        old = vn::Ref::steal(p->ptr);
        p->ptr = std::exchange(fresh, nullptr);
        p->version += 1;
        return vn::none();
    });
    Py_XDECREF(fresh);  // still ours when the section was refused
    return r;
}

PyObject* AtomicPointer_compare_and_swap(PyObject* self, vn::arg::Object expected, vn::arg::Object new_value) {
    Pointer* p = as_pointer(self);
    PyObject* const wanted = expected == Py_None ? nullptr : expected.value;  // identity only, no reference
    vn::Ref fresh = vn::Ref::steal(to_slot(new_value));
    vn::Ref released;  // the old object on success, the unused new one on failure; after the section
    return vn::object_section(self, p->lock, [p, wanted, &fresh, &released] {
        const bool swapped = p->ptr == wanted;
        if (swapped) {
            released = vn::Ref::steal(p->ptr);
            p->ptr = fresh.release();
            p->version += 1;
        }
        return vn::boolean(swapped);
    });
}

PyObject* AtomicPointer_get_version(PyObject* self) {
    Pointer* p = as_pointer(self);
    uint64_t version = 0;
    PyObject* r = vn::object_section(self, p->lock, [p, &version] {
        version = p->version;
        return vn::none();
    });
    if (r == nullptr) return nullptr;
    Py_DECREF(r);
    return PyLong_FromUnsignedLongLong(version);
}

const char* const kAtomicPointerDoc =
    "Thread-safe atomic pointer with version tracking.\n\n"
    "Mitigates the A-B-A problem by counting successful writes in a version number. Uses\n"
    "threading.Lock for thread safety: true lock-freedom would need hazard pointers, because\n"
    "stored objects are reference counted.\n\n"
    "Performance: load()/store() ~50-100 ns, compare_and_swap() ~100-150 ns, including the\n"
    "interpreter-lock and lock overhead.";

// =============================================================================================
// LockFreeStack

struct StackNode {
    PyObject* data;  // owns one reference
    StackNode* next;
    uint64_t version;
};

struct Stack {
    PyObject_HEAD
    StackNode* head;            // guarded by lock
    std::atomic<int64_t> size;  // changed inside the lock, read without it (seq_cst both ways)
    PyObject* lock;
};

PyTypeObject LockFreeStackType;
inline Stack* as_stack(PyObject* o) noexcept { return reinterpret_cast<Stack*>(o); }

PyObject* LockFreeStack_new(PyTypeObject* type, PyObject*, PyObject*) {
    vn::Ref self = vn::Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    Stack* s = as_stack(self.get());
    s->lock = vn::none();
    s->head = nullptr;
    new (&s->size) std::atomic<int64_t>(0);
    PyObject* lock = new_lock();
    if (lock == nullptr) return nullptr;
    Py_SETREF(s->lock, lock);
    return self.release();
}

// Detaches the whole list first, then releases: a destructor run by a release cannot see a
// half-freed list.
void release_nodes(Stack* s) {
    StackNode* node = s->head;
    s->head = nullptr;
    s->size.store(0, std::memory_order_seq_cst);
    while (node != nullptr) {
        StackNode* next = node->next;
        PyObject* data = node->data;
        PyMem_RawFree(node);
        Py_XDECREF(data);
        node = next;
    }
}

int LockFreeStack_traverse(PyObject* self, visitproc visit, void* arg) {
    Stack* s = as_stack(self);
    Py_VISIT(s->lock);
    for (StackNode* n = s->head; n != nullptr; n = n->next) Py_VISIT(n->data);
    return 0;
}

int LockFreeStack_clear(PyObject* self) {
    Stack* s = as_stack(self);
    release_nodes(s);
    Py_SETREF(s->lock, vn::none());
    return 0;
}

void LockFreeStack_dealloc(PyObject* self) {
    vn::dealloc_tracked(self, LockFreeStack_dealloc, [self] {
        Stack* s = as_stack(self);
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        release_nodes(s);
        PyErr_Restore(t, v, tb);
        Py_CLEAR(s->lock);
        vn::free_instance(self);
    });
}

PyObject* LockFreeStack_push(PyObject* self, vn::arg::Object item) {
    Stack* s = as_stack(self);
    auto* node = static_cast<StackNode*>(PyMem_RawMalloc(sizeof(StackNode)));
    if (node == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate stack node");
        return nullptr;
    }
    node->data = vn::new_ref(item);
    node->version = 0;
    bool linked = false;
    PyObject* r = vn::object_section(self, s->lock, [s, node, &linked] {
        node->next = s->head;
        s->head = node;
        s->size.fetch_add(1, std::memory_order_seq_cst);
        linked = true;
        return vn::none();
    });
    if (!linked) {  // the section was refused: the node is still ours
        Py_DECREF(node->data);
        PyMem_RawFree(node);
    }
    return r;
}

PyObject* LockFreeStack_pop(PyObject* self) {
    Stack* s = as_stack(self);
    StackNode* node = nullptr;
    vn::Ref left = vn::Ref::steal(vn::object_section(self, s->lock, [s, &node] {
        node = s->head;
        if (node != nullptr) {
            s->head = node->next;
            s->size.fetch_sub(1, std::memory_order_seq_cst);
        }
        return vn::none();
    }));
    if (node == nullptr) return left.release();
    PyObject* item = node->data ? node->data : vn::new_ref(Py_None);
    PyMem_RawFree(node);
    if (!left) {  // leaving the lock raised: the node is off the stack all the same
        Py_DECREF(item);
        return nullptr;
    }
    return item;  // the node's reference passes to the caller
}

PyObject* LockFreeStack_is_empty(PyObject* self) {
    Stack* s = as_stack(self);
    return vn::object_section(self, s->lock, [s] { return vn::boolean(s->head == nullptr); });
}

PyObject* LockFreeStack_size(PyObject* self) {
    return PyLong_FromLongLong(as_stack(self)->size.load(std::memory_order_seq_cst));
}

const char* const kLockFreeStackDoc =
    "Lock-based stack with a lock-free size counter.\n\n"
    "push/pop use threading.Lock for head-pointer updates; size tracking uses hardware atomics\n"
    "and is genuinely lock-free. Despite the class name, push/pop are lock-based. Lock-free\n"
    "linked structures would need hazard pointers, because items are reference counted.\n\n"
    "Performance: push() ~100-200 ns, pop() ~150-250 ns, size() < 20 ns.";

// =============================================================================================
// LockFreeStatistics

enum StatIndex {
    kTotalAllocations,
    kTotalDeallocations,
    kCurrentAllocations,
    kBytesAllocated,
    kBytesReserved,
    kPeakAllocations,
    kPeakBytesAllocated,
    kBucketedAllocations,
    kFallbackAllocations,
    kAlignmentPaddingBytes,
    kTotalAllocationTimeNs,
    kTotalDeallocationTimeNs,
    kStatCount
};

const char* const kStatNames[kStatCount] = {
    "total_allocations",    "total_deallocations",     "current_allocations",      "bytes_allocated",
    "bytes_reserved",       "peak_allocations",        "peak_bytes_allocated",     "bucketed_allocations",
    "fallback_allocations", "alignment_padding_bytes", "total_allocation_time_ns", "total_deallocation_time_ns",
};

struct Stats;

struct StatsOps {
    void (*update_peak_allocations)(Stats*, int64_t);
    void (*update_peak_bytes)(Stats*, int64_t);
};

struct Stats {
    PyObject_HEAD
    const StatsOps* ops;
    std::atomic<int64_t> mirror[kStatCount];  // native mirrors, seq_cst atomics
    PyObject* update_lock;
    vn::LockHolder reset_holder;    // the thread inside reset()
    PyObject* counter[kStatCount];  // public attributes; any object
};

PyTypeObject LockFreeStatisticsType;
inline Stats* as_stats(PyObject* o) noexcept { return reinterpret_cast<Stats*>(o); }

// Raises a mirror peak to `current` unless it is already at least that high.
void raise_peak(std::atomic<int64_t>& peak, int64_t current) {
    int64_t seen = peak.load(std::memory_order_seq_cst);
    while (seen < current && !peak.compare_exchange_weak(seen, current, std::memory_order_seq_cst)) {}
}
void update_peak_allocations(Stats* s, int64_t current) { raise_peak(s->mirror[kPeakAllocations], current); }
void update_peak_bytes(Stats* s, int64_t current) { raise_peak(s->mirror[kPeakBytesAllocated], current); }
const StatsOps kStatsOps = {update_peak_allocations, update_peak_bytes};

PyObject* LockFreeStatistics_new(PyTypeObject* type, PyObject*, PyObject*) {
    vn::Ref self = vn::Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    Stats* s = as_stats(self.get());
    s->ops = &kStatsOps;
    s->update_lock = vn::none();
    new (&s->reset_holder) vn::LockHolder(0);
    for (int i = 0; i < kStatCount; ++i) {
        new (&s->mirror[i]) std::atomic<int64_t>(0);
        s->counter[i] = vn::none();
    }
    PyObject* lock = new_lock();
    if (lock == nullptr) return nullptr;
    Py_SETREF(s->update_lock, lock);
    for (int i = 0; i < kStatCount; ++i) {
        PyObject* c = reinterpret_cast<PyObject*>(alloc_counter(&AtomicCounterType, 0));
        if (c == nullptr) return nullptr;
        Py_SETREF(s->counter[i], c);
    }
    return self.release();
}

int LockFreeStatistics_traverse(PyObject* self, visitproc visit, void* arg) {
    Stats* s = as_stats(self);
    Py_VISIT(s->update_lock);
    for (PyObject* c : s->counter) Py_VISIT(c);
    return 0;
}

int LockFreeStatistics_clear(PyObject* self) {
    Stats* s = as_stats(self);
    Py_SETREF(s->update_lock, vn::none());
    for (PyObject*& c : s->counter) Py_SETREF(c, vn::none());
    return 0;
}

void LockFreeStatistics_dealloc(PyObject* self) {
    vn::dealloc_tracked(self, LockFreeStatistics_dealloc, [self] {
        Stats* s = as_stats(self);
        Py_CLEAR(s->update_lock);
        for (PyObject*& c : s->counter) Py_CLEAR(c);
        vn::free_instance(self);
    });
}

vn::Ref public_counter(Stats* s, int index);

PyObject* LockFreeStatistics_get_counter(PyObject* self, void* closure) {
    return public_counter(as_stats(self), static_cast<int>(reinterpret_cast<intptr_t>(closure))).release();
}

int LockFreeStatistics_set_counter(PyObject* self, PyObject* value, void* closure) {
    vn::Ref old;  // released after the section: its finaliser may read the attributes
    {
        vn::CriticalSection cs(self);
        PyObject*& slot = as_stats(self)->counter[reinterpret_cast<intptr_t>(closure)];
        old = vn::Ref::steal(slot);
        slot = vn::new_ref(value ? value : Py_None);  // deleting a public object attribute stores None
    }
    return 0;
}

// Public counter `index` as a strong reference: another thread, or Python code run earlier in the
// same call, may replace the attribute at any time, and the reference keeps what was read alive.
vn::Ref public_counter(Stats* s, int index) {
    vn::CriticalSection cs(reinterpret_cast<PyObject*>(s));
    return vn::Ref::borrow(s->counter[index]);
}

// --- operations on one public counter: native when it is exactly an AtomicCounter, otherwise the
// object's own Python method, so replacements and subclasses behave as attributes always did.

// counter.increment(delta) / decrement(delta), result dropped.
bool counter_add(Stats* s, int index, vn::Name& method, PyObject* delta) {
    vn::Ref keep = public_counter(s, index);  // the method may replace the attribute holding it
    PyObject* counter = keep.get();
    if (is_exact_counter(counter)) {
        int64_t d = 1;
        if (delta != nullptr && !vn::to_int64(delta, d)) return false;
        if (&method == &n_increment)
            c_increment(as_counter(counter), d);
        else
            c_decrement(as_counter(counter), d);
        return true;
    }
    return delta ? vn::call_method_void(counter, method, delta) : vn::call_method_void(counter, method);
}

PyObject* counter_load(Stats* s, int index) {
    vn::Ref counter = public_counter(s, index);
    if (is_exact_counter(counter.get())) return PyLong_FromLongLong(c_load(as_counter(counter.get())));
    return vn::call_method(counter.get(), n_load);
}

bool counter_store_zero(Stats* s, int index) {
    vn::Ref counter = public_counter(s, index);
    if (is_exact_counter(counter.get())) {
        c_store(as_counter(counter.get()), 0);
        return true;
    }
    return vn::call_method_void(counter.get(), n_store, g_zero);
}

// Sign of an exact int (-1, 0, 1).
int int_sign(PyObject* exact_int) {
    int of = 0;
    long v = PyLong_AsLongAndOverflow(exact_int, &of);
    if (of != 0) return of;
    return (v > 0) - (v < 0);
}

// One peak loop on public counter `index` with the candidate `current` (any object). The attribute
// is read again, as a strong reference, at every step: a counter method may replace it (and drop
// the last reference to the object it replaced) while the loop runs.
bool raise_public_peak(Stats* s, int index, PyObject* current) {
    vn::Ref counter = public_counter(s, index);
    if (is_exact_counter(counter.get()) && PyLong_CheckExact(current)) {
        int of = 0;
        long v = PyLong_AsLongAndOverflow(current, &of);
        if (of == 0) {
            Counter* c = as_counter(counter.get());
            for (;;) {
                int64_t peak = c_load(c);
                if (v <= peak || c_compare_and_swap(c, peak, v)) return true;
            }
        }
    }
    for (;;) {
        vn::Ref peak = vn::Ref::steal(vn::call_method(counter.get(), n_load));
        if (!peak) return false;
        int le = PyObject_RichCompareBool(current, peak.get(), Py_LE);
        if (le < 0) return false;
        if (le) return true;
        counter = public_counter(s, index);
        vn::Ref swapped = vn::Ref::steal(vn::call_method(counter.get(), n_compare_and_swap, peak.get(), current));
        if (!swapped) return false;
        int t = PyObject_IsTrue(swapped.get());
        if (t < 0) return false;
        if (t) return true;
        counter = public_counter(s, index);
    }
}

bool update_peaks(Stats* s, PyObject* current_allocs, PyObject* current_bytes) {
    return raise_public_peak(s, kPeakAllocations, current_allocs) &&
           raise_public_peak(s, kPeakBytesAllocated, current_bytes);
}

PyObject* LockFreeStatistics_update_peaks(PyObject* self, const vn::arg::PyInt& current_allocs,
                                          const vn::arg::PyInt& current_bytes) {
    return update_peaks(as_stats(self), current_allocs.get(), current_bytes.get()) ? vn::none() : nullptr;
}

// The value of an exact int when it fits 64 bits (no exception is left set).
bool fits_int64(PyObject* exact_int, int64_t& out) {
    int of = 0;
    long v = PyLong_AsLongAndOverflow(exact_int, &of);
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    out = v;
    return of == 0;
}

// record_allocation when every counter it touches is exactly an AtomicCounter, _update_peaks is the
// type's own and the amounts fit 64 bits: the same steps on the native values, with no Python
// objects in between (nothing can run in between to observe the difference). False: not taken,
// nothing changed.
bool record_allocation_native(PyObject* self, PyObject* size_obj, bool is_bucketed, PyObject* padding_obj,
                              PyObject* time_obj) {
    if (Py_TYPE(self) != &LockFreeStatisticsType) return false;
    Stats* s = as_stats(self);
    // The attributes cannot be replaced while the counters are read and updated.
    vn::CriticalSection cs(self);
    const int bucket = is_bucketed ? int(kBucketedAllocations) : int(kFallbackAllocations);
    for (int i :
         {int(kTotalAllocations), int(kCurrentAllocations), int(kBytesAllocated), bucket, int(kAlignmentPaddingBytes),
          int(kTotalAllocationTimeNs), int(kPeakAllocations), int(kPeakBytesAllocated)})
        if (!is_exact_counter(s->counter[i])) return false;
    int64_t size, padding, time_ns;
    if (!fits_int64(size_obj, size) || !fits_int64(padding_obj, padding) || !fits_int64(time_obj, time_ns))
        return false;
    Counter* const* c = reinterpret_cast<Counter* const*>(s->counter);
    c_increment(c[kTotalAllocations], 1);
    c_increment(c[kCurrentAllocations], 1);
    c_increment(c[kBytesAllocated], size);
    c_increment(c[bucket], 1);
    if (padding > 0) c_increment(c[kAlignmentPaddingBytes], padding);
    if (time_ns > 0) c_increment(c[kTotalAllocationTimeNs], time_ns);
    const int64_t current_allocs = c_load(c[kCurrentAllocations]);
    const int64_t current_bytes = c_load(c[kBytesAllocated]);
    for (auto [peak, current] : {std::pair<Counter*, int64_t>{c[kPeakAllocations], current_allocs},
                                 std::pair<Counter*, int64_t>{c[kPeakBytesAllocated], current_bytes}}) {
        for (;;) {
            const int64_t seen = c_load(peak);
            if (current <= seen || c_compare_and_swap(peak, seen, current)) break;
        }
    }
    return true;
}

PyObject* LockFreeStatistics_record_allocation(PyObject* self, const vn::arg::PyInt& size, vn::arg::Bool is_bucketed,
                                               const vn::arg::PyInt& padding, const vn::arg::PyInt& time_ns) {
    Stats* s = as_stats(self);
    if (record_allocation_native(self, size.get(), is_bucketed, padding.get(), time_ns.get())) return vn::none();
    // Each attribute is re-read at its step: a counter method may replace attributes.
    if (!counter_add(s, kTotalAllocations, n_increment, nullptr) ||
        !counter_add(s, kCurrentAllocations, n_increment, nullptr) ||
        !counter_add(s, kBytesAllocated, n_increment, size.get()))
        return nullptr;
    if (!counter_add(s, is_bucketed ? kBucketedAllocations : kFallbackAllocations, n_increment, nullptr))
        return nullptr;
    if (int_sign(padding.get()) > 0 && !counter_add(s, kAlignmentPaddingBytes, n_increment, padding.get()))
        return nullptr;
    if (int_sign(time_ns.get()) > 0 && !counter_add(s, kTotalAllocationTimeNs, n_increment, time_ns.get()))
        return nullptr;
    vn::Ref current_allocs = vn::Ref::steal(counter_load(s, kCurrentAllocations));
    if (!current_allocs) return nullptr;
    vn::Ref current_bytes = vn::Ref::steal(counter_load(s, kBytesAllocated));
    if (!current_bytes) return nullptr;
    if (Py_TYPE(self) == &LockFreeStatisticsType) {
        // _update_peaks cannot be overridden on the exact type; its own argument conversion still applies.
        PyObject* argv2[2] = {current_allocs.get(), current_bytes.get()};
        vn::Ref r = vn::Ref::steal(vn::Adapter<LockFreeStatistics_update_peaks>::impl(self, argv2));
        return r ? vn::none() : nullptr;
    }
    vn::Ref r = vn::Ref::steal(vn::call_method(self, n_update_peaks, current_allocs.get(), current_bytes.get()));
    return r ? vn::none() : nullptr;
}

PyObject* LockFreeStatistics_record_deallocation(PyObject* self, const vn::arg::PyInt& size,
                                                 const vn::arg::PyInt& time_ns) {
    Stats* s = as_stats(self);
    if (!counter_add(s, kTotalDeallocations, n_increment, nullptr) ||
        !counter_add(s, kCurrentAllocations, n_decrement, nullptr) ||
        !counter_add(s, kBytesAllocated, n_decrement, size.get()))
        return nullptr;
    if (int_sign(time_ns.get()) > 0 && !counter_add(s, kTotalDeallocationTimeNs, n_increment, time_ns.get()))
        return nullptr;
    return vn::none();
}

// The public counters of the py_ recorders: increment()/decrement() with an int64 argument.
bool public_add(Stats* s, int index, vn::Name& method, int64_t delta, bool with_arg) {
    vn::Ref keep = public_counter(s, index);
    PyObject* counter = keep.get();
    if (is_exact_counter(counter)) {
        if (&method == &n_increment)
            c_increment(as_counter(counter), delta);
        else
            c_decrement(as_counter(counter), delta);
        return true;
    }
    if (!with_arg) return vn::call_method_void(counter, method);
    vn::Ref arg = vn::Ref::steal(PyLong_FromLongLong(delta));
    return arg && vn::call_method_void(counter, method, arg.get());
}

PyObject* LockFreeStatistics_py_record_allocation(PyObject* self, vn::arg::I64 size, vn::arg::Bool is_bucketed,
                                                  vn::arg::I64 padding, vn::arg::I64 time_ns) {
    Stats* s = as_stats(self);
    {
        vn::NoGil nogil;
        auto& m = s->mirror;
        m[kTotalAllocations].fetch_add(1, std::memory_order_seq_cst);
        const int64_t current_allocs = wrap_add(m[kCurrentAllocations].fetch_add(1, std::memory_order_seq_cst), 1);
        const int64_t current_bytes = wrap_add(m[kBytesAllocated].fetch_add(size, std::memory_order_seq_cst), size);
        m[is_bucketed ? kBucketedAllocations : kFallbackAllocations].fetch_add(1, std::memory_order_seq_cst);
        if (padding > 0) m[kAlignmentPaddingBytes].fetch_add(padding, std::memory_order_seq_cst);
        if (time_ns > 0) m[kTotalAllocationTimeNs].fetch_add(time_ns, std::memory_order_seq_cst);
        s->ops->update_peak_allocations(s, current_allocs);
        s->ops->update_peak_bytes(s, current_bytes);
    }
    if (!public_add(s, kTotalAllocations, n_increment, 1, false) ||
        !public_add(s, kCurrentAllocations, n_increment, 1, false) ||
        !public_add(s, kBytesAllocated, n_increment, size, true))
        return nullptr;
    return vn::none();
}

PyObject* LockFreeStatistics_py_record_deallocation(PyObject* self, vn::arg::I64 size, vn::arg::I64 time_ns) {
    Stats* s = as_stats(self);
    {
        vn::NoGil nogil;
        auto& m = s->mirror;
        m[kTotalDeallocations].fetch_add(1, std::memory_order_seq_cst);
        m[kCurrentAllocations].fetch_sub(1, std::memory_order_seq_cst);
        m[kBytesAllocated].fetch_sub(size, std::memory_order_seq_cst);
        if (time_ns > 0) m[kTotalDeallocationTimeNs].fetch_add(time_ns, std::memory_order_seq_cst);
    }
    if (!public_add(s, kTotalDeallocations, n_increment, 1, false) ||
        !public_add(s, kCurrentAllocations, n_decrement, 1, false) ||
        !public_add(s, kBytesAllocated, n_decrement, size, true))
        return nullptr;
    return vn::none();
}

// A small exact int whose value a double holds exactly.
bool exact_small(PyObject* o, double& out) {
    if (!PyLong_CheckExact(o)) return false;
    int of = 0;
    long v = PyLong_AsLongAndOverflow(o, &of);
    const long limit = 1L << 53;
    if (of != 0 || v > limit || v < -limit) return false;
    out = static_cast<double>(v);
    return true;
}

// `a / b` as Python computes it (correctly rounded for ints), as a new object.
PyObject* true_divide(PyObject* a, PyObject* b) {
    double x, y;
    if (exact_small(a, x) && exact_small(b, y) && y != 0.0) return PyFloat_FromDouble(x / y);
    return PyNumber_TrueDivide(a, b);
}

// `x > 0` for any object.
int positive(PyObject* x) {
    if (PyLong_CheckExact(x)) return int_sign(x) > 0;
    return PyObject_RichCompareBool(x, g_zero, Py_GT);
}

PyObject* LockFreeStatistics_get_snapshot(PyObject* self) {
    Stats* s = as_stats(self);
    vn::Ref v[kStatCount];
    for (int i = 0; i < kStatCount; ++i) {
        v[i] = vn::Ref::steal(counter_load(s, i));
        if (!v[i]) return nullptr;
    }
    vn::Ref ratio, avg_alloc, avg_dealloc;
    int total_pos = positive(v[kTotalAllocations].get());
    if (total_pos < 0) return nullptr;
    if (total_pos) {
        vn::Ref q = vn::Ref::steal(true_divide(v[kBucketedAllocations].get(), v[kTotalAllocations].get()));
        if (!q) return nullptr;
        vn::Ref hundred = vn::Ref::steal(PyFloat_FromDouble(100.0));
        if (!hundred) return nullptr;
        ratio = vn::Ref::steal(PyNumber_Multiply(q.get(), hundred.get()));
        avg_alloc = vn::Ref::steal(true_divide(v[kTotalAllocationTimeNs].get(), v[kTotalAllocations].get()));
    } else {
        ratio = vn::Ref::steal(PyFloat_FromDouble(0.0));
        avg_alloc = vn::Ref::steal(PyFloat_FromDouble(0.0));
    }
    if (!ratio || !avg_alloc) return nullptr;
    int dealloc_pos = positive(v[kTotalDeallocations].get());
    if (dealloc_pos < 0) return nullptr;
    avg_dealloc =
        vn::Ref::steal(dealloc_pos ? true_divide(v[kTotalDeallocationTimeNs].get(), v[kTotalDeallocations].get())
                                   : PyFloat_FromDouble(0.0));
    if (!avg_dealloc) return nullptr;
    static vn::Name n_one_decimal{".1f"};
    vn::Ref formatted = vn::Ref::steal(PyObject_Format(ratio.get(), n_one_decimal.get()));
    if (!formatted) return nullptr;
    vn::Ref ratio_text = vn::Ref::steal(PyUnicode_FromFormat("%U%%", formatted.get()));
    if (!ratio_text) return nullptr;
    static vn::Names keys{"total_allocations",
                          "total_deallocations",
                          "current_allocations",
                          "bytes_allocated",
                          "bytes_reserved",
                          "peak_allocations",
                          "peak_bytes_allocated",
                          "bucketed_allocations",
                          "fallback_allocations",
                          "bucketed_allocation_ratio",
                          "alignment_padding_bytes",
                          "average_allocation_time_ns",
                          "average_deallocation_time_ns",
                          "allocation_mode"};
    return vn::make_dict(keys, v[kTotalAllocations].release(), v[kTotalDeallocations].release(),
                         v[kCurrentAllocations].release(), v[kBytesAllocated].release(), v[kBytesReserved].release(),
                         v[kPeakAllocations].release(), v[kPeakBytesAllocated].release(),
                         v[kBucketedAllocations].release(), v[kFallbackAllocations].release(), ratio_text.release(),
                         v[kAlignmentPaddingBytes].release(), avg_alloc.release(), avg_dealloc.release(),
                         PyUnicode_FromString("lock-free C++17 atomics"));
}

PyObject* LockFreeStatistics_reset(PyObject* self) {
    Stats* s = as_stats(self);
    vn::Ref lock = vn::Ref::borrow(s->update_lock);
    vn::OwnedLockSection section(lock.get(), s->reset_holder, "LockFreeStatistics.reset", "statistics", "_update_lock");
    if (!section.ok()) return nullptr;
    for (auto& m : s->mirror) (void)m.exchange(0, std::memory_order_seq_cst);
    for (int i = 0; i < kStatCount; ++i)
        if (!counter_store_zero(s, i)) return nullptr;  // the section leaves the lock
    return section.leave() ? vn::none() : nullptr;
}

// =============================================================================================
// PerformanceTimer

struct Timer {
    PyObject_HEAD
    std::atomic<int64_t> start_time_ns;  // relaxed: a lone value, nothing is published through it
};

PyTypeObject PerformanceTimerType;
inline Timer* as_timer(PyObject* o) noexcept { return reinterpret_cast<Timer*>(o); }

PyObject* PerformanceTimer_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) new (&as_timer(self)->start_time_ns) std::atomic<int64_t>(0);
    return self;
}

// time.perf_counter_ns(), the `time` module imported at each call.
bool perf_counter_ns(int64_t& out) {
    vn::Ref time_module = vn::Ref::steal(PyImport_ImportModule("time"));
    if (!time_module) return false;
    vn::Ref now = vn::Ref::steal(vn::call_method(time_module.get(), n_perf_counter_ns));
    return now && vn::to_int64(now.get(), out);
}

PyObject* PerformanceTimer_start(PyObject* self) {
    int64_t now;
    if (!perf_counter_ns(now)) return nullptr;
    as_timer(self)->start_time_ns.store(now, std::memory_order_relaxed);
    return vn::none();
}

PyObject* PerformanceTimer_elapsed_ns(PyObject* self) {
    int64_t now;
    if (!perf_counter_ns(now)) return nullptr;
    // Computed in Python integers: a difference beyond 64 bits is still exact.
    vn::Ref a = vn::Ref::steal(PyLong_FromLongLong(now));
    vn::Ref b = vn::Ref::steal(PyLong_FromLongLong(as_timer(self)->start_time_ns.load(std::memory_order_relaxed)));
    if (!a || !b) return nullptr;
    return PyNumber_Subtract(a.get(), b.get());
}

// self.elapsed_ns() / Divisor, with elapsed_ns looked up on the instance (a subclass's is honoured).
template <int Divisor>
PyObject* elapsed_scaled(PyObject* self) {
    vn::Ref ns = vn::Ref::steal(vn::call_method(self, n_elapsed_ns));
    if (!ns) return nullptr;
    vn::Ref divisor = vn::Ref::steal(PyFloat_FromDouble(static_cast<double>(Divisor)));
    if (!divisor) return nullptr;
    return PyNumber_TrueDivide(ns.get(), divisor.get());
}

PyObject* PerformanceTimer_elapsed_us(PyObject* self) { return elapsed_scaled<1000>(self); }

PyObject* PerformanceTimer_elapsed_ms(PyObject* self) { return elapsed_scaled<1000000>(self); }

// =============================================================================================
// Module

PyObject* make_ops_capsule(const void* table, const char* name) {
    return PyCapsule_New(const_cast<void*>(table), name, nullptr);
}

int lockless_exec(PyObject* module) {
    using vn::Kind;
    // 1. The native classes.
    // AtomicPointer binds after it has allocated (its lock field starts as None), as documented.
    if (!vn::make_signature(g_pointer_new_sig, "__cinit__", {{"initial_value", nullptr, "None"}})) return -1;
    // Messages name the class, as callers see it.
    g_pointer_new_sig.name = "AtomicPointer";

    vn::init_type(AtomicCounterType, "velmora.memory.lockless.AtomicCounter", sizeof(Counter), kAtomicCounterDoc);
    AtomicCounterType.tp_dealloc = vn::free_instance;
    if (!vn::ready_type(module, AtomicCounterType,
                        vn::constructor<AtomicCounter_new>({{"initial_value", nullptr, "0"}}), counter_methods()))
        return -1;
    const char* alias_pairs[][2] = {{"py_load", "load"},
                                    {"py_store", "store"},
                                    {"py_increment", "increment"},
                                    {"py_decrement", "decrement"},
                                    {"py_compare_and_swap", "compare_and_swap"},
                                    {"py_fetch_and_add", "fetch_and_add"}};
    for (auto& pair : alias_pairs)
        if (!vn::alias_attribute(AtomicCounterType, pair[0], pair[1])) return -1;
    if (!vn::set_type_attribute(AtomicCounterType, "_native_ops",
                                make_ops_capsule(&kCounterOps, "velmora.memory.lockless.AtomicCounter._native_ops")))
        return -1;

    vn::init_type(AtomicPointerType, "velmora.memory.lockless.AtomicPointer", sizeof(Pointer), kAtomicPointerDoc,
                  Py_TPFLAGS_HAVE_GC);
    AtomicPointerType.tp_new = AtomicPointer_new;
    AtomicPointerType.tp_dealloc = AtomicPointer_dealloc;
    AtomicPointerType.tp_traverse = AtomicPointer_traverse;
    AtomicPointerType.tp_clear = AtomicPointer_clear;
    if (!vn::ready_type(
            module, AtomicPointerType,
            {
                {"load",
                 vn::method<AtomicPointer_load>,
                 {},
                 "Optional[object]",
                 "Atomically load the pointer value.\n\nReturns:\n    Current value (Python object or None)"},
                {"store",
                 vn::method<AtomicPointer_store>,
                 {{"value"}},
                 nullptr,
                 "Atomically store a new pointer value."},
                {"compare_and_swap",
                 vn::method<AtomicPointer_compare_and_swap>,
                 {{"expected"}, {"new_value"}},
                 "bool",
                 "Atomically compare and swap the pointer.\n\nnew_value is stored if the current value "
                 "is expected (identity).\n\nReturns:\n    True if the swap occurred"},
                {"get_version",
                 vn::method<AtomicPointer_get_version>,
                 {},
                 "int",
                 "Get current version for ABA detection."},
            }))
        return -1;

    vn::init_type(LockFreeStackType, "velmora.memory.lockless.LockFreeStack", sizeof(Stack), kLockFreeStackDoc,
                  Py_TPFLAGS_HAVE_GC);
    LockFreeStackType.tp_new = LockFreeStack_new;
    LockFreeStackType.tp_dealloc = LockFreeStack_dealloc;
    LockFreeStackType.tp_traverse = LockFreeStack_traverse;
    LockFreeStackType.tp_clear = LockFreeStack_clear;
    if (!vn::ready_type(
            module, LockFreeStackType,
            {
                {"push", vn::method<LockFreeStack_push>, {{"item"}}, nullptr, "Push an item onto the stack."},
                {"pop",
                 vn::method<LockFreeStack_pop>,
                 {},
                 "Optional[object]",
                 "Pop an item from the stack.\n\nReturns:\n    The popped item or None if empty"},
                {"is_empty", vn::method<LockFreeStack_is_empty>, {}, "bool", "Check if stack is empty."},
                {"size", vn::method<LockFreeStack_size>, {}, "int", "Get approximate stack size."},
            }))
        return -1;

    static PyGetSetDef stats_getset[kStatCount + 1];
    for (intptr_t i = 0; i < kStatCount; ++i)
        stats_getset[i] = {kStatNames[i], LockFreeStatistics_get_counter, LockFreeStatistics_set_counter, nullptr,
                           reinterpret_cast<void*>(i)};
    stats_getset[kStatCount] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    vn::init_type(LockFreeStatisticsType, "velmora.memory.lockless.LockFreeStatistics", sizeof(Stats),
                  "Lock-free allocation statistics on atomic counters.\n\n"
                  "Counts, live allocations and bytes, peaks, bucketed versus fallback allocations,\n"
                  "alignment padding and time spent, in public AtomicCounter attributes that are\n"
                  "updated without any lock; only reset() takes a lock.\n\n"
                  "Performance: record_allocation() < 100 ns (vs 2-3 us with a lock), get_snapshot() < 500 ns.",
                  Py_TPFLAGS_HAVE_GC);
    LockFreeStatisticsType.tp_new = LockFreeStatistics_new;
    LockFreeStatisticsType.tp_dealloc = LockFreeStatistics_dealloc;
    LockFreeStatisticsType.tp_traverse = LockFreeStatistics_traverse;
    LockFreeStatisticsType.tp_clear = LockFreeStatistics_clear;
    LockFreeStatisticsType.tp_getset = stats_getset;
    if (!vn::ready_type(
            module, LockFreeStatisticsType,
            {
                {"record_allocation",
                 vn::method<LockFreeStatistics_record_allocation>,
                 {{"size", "int"}, {"is_bucketed", "bool", "True"}, {"padding", "int", "0"}, {"time_ns", "int", "0"}},
                 "None",
                 "Record an allocation event.\n\nArgs:\n    size: Allocation size in bytes\n    is_bucketed: "
                 "Whether allocation came from a bucketed pool\n    padding: Alignment padding bytes used\n    "
                 "time_ns: Time taken in nanoseconds"},
                {"record_deallocation",
                 vn::method<LockFreeStatistics_record_deallocation>,
                 {{"size", "int"}, {"time_ns", "int", "0"}},
                 "None",
                 "Record a deallocation event.\n\nArgs:\n    size: Deallocation size in bytes\n    time_ns: Time "
                 "taken in nanoseconds"},
                {"py_record_allocation",
                 vn::method<LockFreeStatistics_py_record_allocation>,
                 {{"size", "int"}, {"is_bucketed", "bool"}, {"padding", "int", "0"}, {"time_ns", "int", "0"}},
                 nullptr,
                 "Record an allocation event, updating both the internal atomics and the public AtomicCounter "
                 "instances."},
                {"py_record_deallocation",
                 vn::method<LockFreeStatistics_py_record_deallocation>,
                 {{"size", "int"}, {"time_ns", "int", "0"}},
                 nullptr,
                 "Record a deallocation event, updating both the internal atomics and the public AtomicCounter "
                 "instances."},
                {"_update_peaks",
                 vn::method<LockFreeStatistics_update_peaks>,
                 {{"current_allocs", "int"}, {"current_bytes", "int"}},
                 "None",
                 "Update peak values using compare-and-swap."},
                {"get_snapshot",
                 vn::method<LockFreeStatistics_get_snapshot>,
                 {},
                 "dict",
                 "Get a snapshot of the statistics.\n\nReturns:\n    Dictionary with all statistics"},
                {"reset", vn::method<LockFreeStatistics_reset>, {}, nullptr, "Reset all statistics to zero."},
            }))
        return -1;
    if (!vn::set_type_attribute(LockFreeStatisticsType, "_native_ops",
                                make_ops_capsule(&kStatsOps, "velmora.memory.lockless.LockFreeStatistics._native_ops")))
        return -1;

    vn::init_type(PerformanceTimerType, "velmora.memory.lockless.PerformanceTimer", sizeof(Timer),
                  "High-resolution timer for performance measurement.");
    PerformanceTimerType.tp_new = PerformanceTimer_new;
    PerformanceTimerType.tp_dealloc = vn::free_instance;
    if (!vn::ready_type(
            module, PerformanceTimerType,
            {
                {"start", vn::method<PerformanceTimer_start>, {}, nullptr, "Start timing."},
                {"elapsed_ns", vn::method<PerformanceTimer_elapsed_ns>, {}, "int", "Get elapsed time in nanoseconds."},
                {"elapsed_us",
                 vn::method<PerformanceTimer_elapsed_us>,
                 {},
                 "float",
                 "Get elapsed time in microseconds."},
                {"elapsed_ms",
                 vn::method<PerformanceTimer_elapsed_ms>,
                 {},
                 "float",
                 "Get elapsed time in milliseconds."},
            }))
        return -1;

    // 2. Standard modules.
    g_module = module;
    g_zero = PyLong_FromLong(0);
    if (g_zero == nullptr) return -1;
    if (!vn::import_into(module, "threading") || !vn::import_into(module, "time") ||
        !vn::import_names_into(module, "typing", {"Optional", "TypeVar", "Generic"}))
        return -1;

    // 4. The Python-level wrapper.
    PyObject* wrapper = make_wrapper_class(module);
    if (wrapper == nullptr || PyModule_AddObject(module, "AtomicCounterWrapper", wrapper) < 0) {
        Py_XDECREF(wrapper);
        return -1;
    }

    // 5-7. Logger, banner, flag.
    PyObject* logger = vn::make_logger(module);
    if (logger == nullptr ||
        !vn::log(logger, "info",
                 "Velmora lock-free primitives loaded: hardware atomics active (10-20\xc3\x97 speedup)") ||
        PyModule_AddObject(module, "NATIVE_ATOMICS_AVAILABLE", vn::new_ref(Py_True)) < 0)
        return -1;
    return 0;
}

}  // namespace

VN_MODULE(lockless, "Lock-free counters, a versioned pointer, a stack and allocation statistics.", lockless_exec)
