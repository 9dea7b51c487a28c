// velmora.memory.fitindex: the free-block index of the memory pools. FastRedBlackTree keeps free
// blocks keyed by size in a red-black tree of native records, one tree node per distinct size with
// further blocks of that size in a singly linked list off the node, and answers "smallest block of
// at least this size" (best fit) without a reader lock.
//
// Concurrency model
// - Writers (insert, delete, remove_ge, clear) hold the tree's threading.Lock `write_lock` and the
//   interpreter lock. Each write section makes `seq_counter` odd before the first change and even
//   again after the last one (a seqlock). No write section releases the interpreter lock itself, so
//   a reader finds the counter odd only while a section runs Python code (a block's __eq__, the
//   clock, the sampling counters), which may switch threads.
// - Readers (find_best_fit, find_all_exact) take no lock. They read the counter, release the
//   interpreter lock, search following only the child links and sizes, re-take the interpreter lock
//   and accept the result only if the counter is even and unchanged. A block reference is taken only
//   after that check, with the interpreter lock held, from a node that is then known to be live.
// - Everything else (parents, colours, block references, same-size lists, statistics, the limbo
//   lists below) is touched only with the interpreter lock held; whenever Python code can run
//   (a block's __eq__, the clock, the sampling counters, finalisers) the tree is a consistent
//   search tree, so a garbage-collector traversal or get_stats can walk it at any time.
//
// Memory orderings of the seqlock (fields read without the interpreter lock are std::atomic):
// - writer: seq = s + 1 (relaxed), then a release fence, then the link stores, then seq = s + 2
//   (release). Links are stored with release so that a node's initialised fields are visible to
//   whoever reaches it through the new link; sizes never change once a node is published.
// - reader: s1 = seq (acquire: it sees everything the last completed section wrote), link loads with
//   acquire, sizes relaxed, then an acquire fence before seq is read again. If any load saw a store of
//   a later section, that section's release fence synchronises with the reader's acquire fence, so
//   the second read of seq sees at least the odd value of that section and the reader retries.
//
// Why a reader can never touch freed memory
// The counter only tells a reader afterwards that something changed. Node memory is therefore
// reclaimed by epochs:
// 1. Only tree nodes are ever reachable by a reader without the interpreter lock (it follows left
//    and right only). List entries are reachable only through next_same_size, which is followed with
//    the interpreter lock held right after a successful validation, when no write section can be
//    open; so list entries are freed at once.
// 2. A tree node that a writer unlinks (delete, remove_ge, clear) is not freed: it goes to the limbo
//    list of the current epoch E (limbo[E & 1]), with its links intact.
// 3. A reader pins an epoch before its search: it reads the epoch e, increments readers[e & 1]
//    (seq_cst) and re-reads the epoch; if it moved it un-counts itself and tries again. It
//    decrements (release) after its last node access.
// 4. The epoch advances from E to E + 1 only when readers[(E + 1) & 1] is zero, i.e. no reader is
//    pinned to E - 1; the nodes of limbo[(E + 1) & 1], retired during E - 1, are freed right then.
//    So a node retired in epoch T is freed only once the epoch reaches T + 2, after it was seen that
//    no reader pinned to T remains (and, at the step before, none pinned to T - 1).
// 5. A reader pinned to T + 1 or later read that epoch value (seq_cst), which was stored after the
//    node was unlinked, so the unlink happens-before its first link load: it cannot reach the node.
//    A reader pinned to T or earlier is counted until it leaves (its increment precedes the check in
//    the single total order; had it come after, its re-read would have seen a newer epoch and it
//    would not be pinned to T). Its release decrement, read by the reclaimer's seq_cst load, orders
//    all of its node reads before the free.
// 6. A search takes at most node_count + 1 steps: in a consistent tree a path visits at most every
//    tree node once. A view mixed across write sections can exceed that; the reader then stops and
//    retries, so no reader can loop.
// The limbo lists and the epoch are written only with the interpreter lock held and without any
// Python code running in between, so the interpreter lock serialises them. Block references of
// removed entries are released after the write section has ended and write_lock is released, so a
// finaliser that calls the tree never runs inside a write section.
#include "native/velmora_native.hpp"

#include <atomic>
#include <cstdint>
#include <new>
#include <optional>
#include <thread>

namespace {

PyObject* g_module = nullptr;  // this module (kept alive by the module frame)

vn::Name n_time{"time"}, n_threading{"threading"}, n_perf_counter_ns{"perf_counter_ns"}, n_sleep{"sleep"},
    n_increment{"increment"}, n_load{"load"}, n_size{"size"}, n_AtomicCounter{"AtomicCounter"},
    n_ATOMIC_AVAILABLE{"ATOMIC_AVAILABLE"};

constexpr int kMaxRetries = 100;        // MAX_RETRIES of the two searches
constexpr double kBackoffSeconds = 0.0001;
PyObject* g_backoff = nullptr;          // float 0.0001, the back-off pause
PyObject* g_zero = nullptr;             // int 0

// A module global, looked up at each call (borrowed reference; NameError when missing).
PyObject* module_global(vn::Name& name) {
    PyObject* key = name.get();
    if (key == nullptr) return nullptr;
    PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(g_module), key);
    if (v == nullptr && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    return v;
}

// =============================================================================================
// Native records

enum Color : int32_t { RED = 0, BLACK = 1 };

struct RBNode {
    RBNode* parent;               // writers only; null for the root and for list entries
    std::atomic<RBNode*> left;    // read by unlocked readers
    std::atomic<RBNode*> right;   // read by unlocked readers
    Color color;                  // writers only; list entries keep RED
    std::atomic<uint64_t> size;   // the key; written before the node is published, never after
    PyObject* block_obj;          // one strong reference while the entry is stored
    RBNode* next_same_size;       // same-size list; for a retired node, the limbo link
    uint64_t insert_time_ns;
};

struct Stats {  // the running statistics; interpreter lock only
    uint64_t total_blocks, total_insertions, total_deletions, total_searches, bucket_hits, tree_hits,
        operation_count;
    bool has_trips;  // reset_circuit_breaker added "circuit_breaker_trips" (always 0)
};

struct Tree {
    PyObject_HEAD
    std::atomic<RBNode*> root;
    std::atomic<uint64_t> node_count;   // read without a lock by readers (their step bound)
    PyObject* write_lock;
    std::atomic<uint64_t> seq_counter;
    // The thread inside write_lock / stats_lock (0: none): a call that would wait for a lock its
    // own thread holds is refused instead of hanging. Relaxed: a thread only ever compares these
    // with its own identity, which only it stores, and clears them before leaving the lock.
    std::atomic<unsigned long> write_holder;
    std::atomic<unsigned long> stats_holder;
    uint32_t sample_rate;
    PyObject* operation_counter;        // AtomicCounter or None
    PyObject* sampled_counter;          // AtomicCounter or None
    int using_atomic;
    PyObject* stats_lock;
    Stats stats;
    // Reclamation (see the top of the file). The reader counts sit apart from the hot fields above.
    char pad_[64];
    std::atomic<uint64_t> epoch;
    std::atomic<uint64_t> readers[2];
    RBNode* limbo[2];
};

PyTypeObject TreeType;
vn::Signature tree_new_sig;

inline Tree* as_tree(PyObject* o) noexcept { return reinterpret_cast<Tree*>(o); }

constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr auto kAcquire = std::memory_order_acquire;
constexpr auto kRelease = std::memory_order_release;
constexpr auto kSeqCst = std::memory_order_seq_cst;

// Writer-side link access: the writer is alone, so its own loads need no ordering; stores publish.
inline RBNode* L(const RBNode* n) noexcept { return n->left.load(kRelaxed); }
inline RBNode* R(const RBNode* n) noexcept { return n->right.load(kRelaxed); }
inline void set_left(RBNode* n, RBNode* v) noexcept { n->left.store(v, kRelease); }
inline void set_right(RBNode* n, RBNode* v) noexcept { n->right.store(v, kRelease); }
inline uint64_t key(const RBNode* n) noexcept { return n->size.load(kRelaxed); }
inline RBNode* root_of(const Tree* t) noexcept { return t->root.load(kRelaxed); }
inline void set_root(Tree* t, RBNode* v) noexcept { t->root.store(v, kRelease); }
inline bool is_red(const RBNode* n) noexcept { return n != nullptr && n->color == RED; }

// =============================================================================================
// Epochs and limbo (interpreter lock held for every function here except the reader pin)

// Pins the reader to the current epoch for its lifetime; used without the interpreter lock.
class ReaderPin {
public:
    explicit ReaderPin(Tree* t) noexcept {
        for (;;) {
            const uint64_t e = t->epoch.load(kSeqCst);
            slot_ = &t->readers[e & 1u];
            slot_->fetch_add(1, kSeqCst);
            if (t->epoch.load(kSeqCst) == e) return;
            slot_->fetch_sub(1, kRelease);  // the epoch moved under us: count again in the new one
        }
    }
    ~ReaderPin() { slot_->fetch_sub(1, kRelease); }  // orders this reader's node reads before a free
    ReaderPin(const ReaderPin&) = delete;
    ReaderPin& operator=(const ReaderPin&) = delete;

private:
    std::atomic<uint64_t>* slot_ = nullptr;
};

void free_chain(RBNode* n) noexcept {
    while (n != nullptr) {
        RBNode* next = n->next_same_size;
        PyMem_Free(n);
        n = next;
    }
}

// A tree node unlinked from the tree: its block reference has been taken out; its links stay
// intact for readers still inside it.
void retire(Tree* t, RBNode* n) noexcept {
    n->block_obj = nullptr;
    const uint64_t e = t->epoch.load(kRelaxed);  // written only under the interpreter lock
    n->next_same_size = t->limbo[e & 1u];
    t->limbo[e & 1u] = n;
}

// Advances the epoch (at most twice) while no reader is pinned to the epoch before the current
// one, freeing the nodes retired two epochs ago.
void reclaim(Tree* t) noexcept {
    for (int step = 0; step < 2; ++step) {
        if (t->limbo[0] == nullptr && t->limbo[1] == nullptr) return;
        const uint64_t e = t->epoch.load(kSeqCst);
        if (t->readers[(e + 1) & 1u].load(kSeqCst) != 0) return;
        RBNode* old = t->limbo[(e + 1) & 1u];
        t->limbo[(e + 1) & 1u] = nullptr;
        free_chain(old);
        t->epoch.store(e + 1, kSeqCst);
    }
}

// =============================================================================================
// Walks over a consistent tree with the interpreter lock held, guided by parent links (no
// recursion and no allocation: a degraded tree can be tall).

// Calls visit(node, depth) in pre-order; a non-zero result stops the walk and is returned.
template <typename Visit>
int walk(RBNode* root, Visit&& visit) {
    RBNode* prev = nullptr;
    RBNode* n = root;
    uint64_t depth = 1;
    while (n != nullptr) {
        RBNode* const l = L(n);
        RBNode* const r = R(n);
        RBNode* next;
        if (prev == n->parent) {  // arrived from above
            if (int rc = visit(n, depth)) return rc;
            next = l ? l : (r ? r : n->parent);
        } else if (l != nullptr && prev == l) {
            next = r ? r : n->parent;
        } else {
            next = n->parent;
        }
        if (next != nullptr) depth = (next == n->parent) ? depth - 1 : depth + 1;
        prev = n;
        n = next;
    }
    return 0;
}

RBNode* first_leaf(RBNode* n) noexcept {
    for (;;) {
        if (RBNode* l = L(n)) {
            n = l;
        } else if (RBNode* r = R(n)) {
            n = r;
        } else {
            return n;
        }
    }
}

// Releases a detached tree (the recursive free of the contract, done iteratively) in post-order:
// for each node, its list entries in order (freed at
// once), then the node itself (retired when readers may still hold it, else freed). Every step that
// may run Python code (a block release) comes after the walk has read what it needs of the node.
void release_detached(Tree* t, RBNode* root, bool readers_possible) {
    if (root == nullptr) return;
    PyObject *et, *ev, *etb;
    PyErr_Fetch(&et, &ev, &etb);
    RBNode* n = first_leaf(root);
    for (;;) {
        RBNode* const p = n->parent;
        RBNode* next = nullptr;
        if (p != nullptr) {
            RBNode* const pr = R(p);
            next = (L(p) == n && pr != nullptr) ? first_leaf(pr) : p;
        }
        for (RBNode* e = n->next_same_size; e != nullptr;) {
            RBNode* const e_next = e->next_same_size;
            PyObject* const obj = e->block_obj;
            PyMem_Free(e);
            Py_XDECREF(obj);
            e = e_next;
        }
        PyObject* const obj = n->block_obj;
        if (readers_possible) {
            retire(t, n);
        } else {
            PyMem_Free(n);
        }
        Py_XDECREF(obj);
        if (p == nullptr) break;
        n = next;
    }
    PyErr_Restore(et, ev, etb);
}

// =============================================================================================
// The tree's locks and the write section

// One of the tree's locks, held by this thread for the scope. A call made from a thread that
// already holds the same lock (a block's __eq__, the clock or a finaliser calling back into the
// tree) is refused with RuntimeError: the lock is not reentrant, so waiting would hang forever,
// and a reentrant replacement would let a nested write change the tree under the outer one.
class TreeLock {
public:
    TreeLock(PyObject* lock, std::atomic<unsigned long>& holder, const char* method,
             const char* lock_name) noexcept
        : holder_(holder), me_(PyThread_get_thread_ident()) {
        if (holder.load(kRelaxed) == me_) {
            PyErr_Format(PyExc_RuntimeError,
                         "FastRedBlackTree.%s() called from inside a call on the same tree that holds its %s "
                         "on this thread (the lock is not reentrant)",
                         method, lock_name);
            return;
        }
        section_.emplace(lock);
        if (section_->ok()) holder.store(me_, kRelaxed);
    }
    ~TreeLock() {
        if (ok()) holder_.store(0, kRelaxed);
    }
    bool ok() const noexcept { return section_ && section_->ok(); }
    // Leaves the lock now; false if its __exit__ raised.
    bool leave() noexcept {
        holder_.store(0, kRelaxed);
        return section_->leave();
    }
    TreeLock(const TreeLock&) = delete;
    TreeLock& operator=(const TreeLock&) = delete;

private:
    std::atomic<unsigned long>& holder_;
    unsigned long me_;
    std::optional<vn::LockSection> section_;
};

// The write section: seq_counter odd inside, even again at scope end (also on errors). It opens
// only from an even counter: a second writer inside the section of another (possible only when
// the lock factory made a lock that does not exclude) is refused, so a write section never sees
// the tree change under it while it runs Python code.
class WriteSection {
public:
    explicit WriteSection(Tree* t) noexcept : t_(t), s_(t->seq_counter.load(kRelaxed)) {
        open_ = (s_ & 1u) == 0 && t->seq_counter.compare_exchange_strong(s_, s_ + 1, kRelaxed);
        if (!open_) {
            PyErr_SetString(PyExc_RuntimeError,
                            "another write to this FastRedBlackTree is in progress (its write_lock did not "
                            "exclude it)");
            return;
        }
        std::atomic_thread_fence(kRelease);  // the odd value is ordered before every link store
    }
    ~WriteSection() {
        if (open_) t_->seq_counter.store(s_ + 2, kRelease);
    }
    bool ok() const noexcept { return open_; }
    WriteSection(const WriteSection&) = delete;
    WriteSection& operator=(const WriteSection&) = delete;

private:
    Tree* t_;
    uint64_t s_;
    bool open_;
};

// =============================================================================================
// Size arguments

enum class SizeArg { Ok, Negative, Error };

// The `size: int` argument after its int() conversion: negative -> Negative (no exception set).
bool is_negative(PyObject* exact_int, bool& negative) {
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(exact_int, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    negative = overflow < 0 || (overflow == 0 && v < 0);
    return true;
}

// Converts an already int()-converted size: _sanitize_size, then unsigned 64-bit.
SizeArg sanitize_to_uint64(PyObject* exact_int, uint64_t& out) {
    bool negative;
    if (!is_negative(exact_int, negative)) return SizeArg::Error;
    if (negative) return SizeArg::Negative;
    return vn::to_uint64(exact_int, out) ? SizeArg::Ok : SizeArg::Error;
}

void invalid_size(PyObject* size) { PyErr_Format(PyExc_ValueError, "Invalid size: %S", size); }

// =============================================================================================
// Internal operations

// Allocates a list or tree entry holding `block`. On any failure nothing is left allocated and
// no reference is held.
RBNode* _allocate_node(uint64_t size, PyObject* block) {
    auto* n = static_cast<RBNode*>(PyMem_Malloc(sizeof(RBNode)));
    if (n == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate RB node");
        return nullptr;
    }
    n->parent = nullptr;
    new (&n->left) std::atomic<RBNode*>(nullptr);
    new (&n->right) std::atomic<RBNode*>(nullptr);
    n->next_same_size = nullptr;
    n->color = RED;
    new (&n->size) std::atomic<uint64_t>(size);
    n->block_obj = block;
    n->insert_time_ns = 0;
    PyObject* time_mod = module_global(n_time);
    vn::Ref keep = vn::Ref::borrow(time_mod);
    vn::Ref now = vn::Ref::steal(time_mod ? vn::call_method(time_mod, n_perf_counter_ns) : nullptr);
    if (!now || !vn::to_uint64(now.get(), n->insert_time_ns)) {
        PyMem_Free(n);  // the clock failed: the record is given back, the tree never saw it
        return nullptr;
    }
    Py_INCREF(block);
    return n;
}

// Not called by any method (the sampling decision is part of insert); kept with the record ops.
[[maybe_unused]] bool _should_sample(const Tree* t) noexcept { return t->sample_rate == 1; }

bool _record_sample(Tree* t) {
    if (!t->using_atomic) return true;
    vn::Ref counter = vn::Ref::borrow(t->sampled_counter);  // clear() may replace the field
    return vn::call_method_void(counter.get(), n_increment);
}

void _rotate_left(Tree* t, RBNode* x) noexcept {
    RBNode* y = R(x);
    set_right(x, L(y));
    if (L(y) != nullptr) L(y)->parent = x;
    y->parent = x->parent;
    if (x->parent == nullptr) {
        set_root(t, y);
    } else if (x == L(x->parent)) {
        set_left(x->parent, y);
    } else {
        set_right(x->parent, y);
    }
    set_left(y, x);
    x->parent = y;
}

void _rotate_right(Tree* t, RBNode* x) noexcept {
    RBNode* y = L(x);
    set_left(x, R(y));
    if (R(y) != nullptr) R(y)->parent = x;
    y->parent = x->parent;
    if (x->parent == nullptr) {
        set_root(t, y);
    } else if (x == R(x->parent)) {
        set_right(x->parent, y);
    } else {
        set_left(x->parent, y);
    }
    set_right(y, x);
    x->parent = y;
}

void _fixup_insert(Tree* t, RBNode* z) noexcept {
    while (z->parent != nullptr && z->parent->color == RED) {
        RBNode* p = z->parent;
        RBNode* g = p->parent;
        if (p == L(g)) {
            RBNode* u = R(g);
            if (is_red(u)) {
                p->color = BLACK;
                u->color = BLACK;
                g->color = RED;
                z = g;
            } else {
                if (z == R(p)) {
                    z = p;
                    _rotate_left(t, z);
                }
                z->parent->color = BLACK;
                z->parent->parent->color = RED;
                _rotate_right(t, z->parent->parent);
            }
        } else {
            RBNode* u = L(g);
            if (is_red(u)) {
                p->color = BLACK;
                u->color = BLACK;
                g->color = RED;
                z = g;
            } else {
                if (z == L(p)) {
                    z = p;
                    _rotate_right(t, z);
                }
                z->parent->color = BLACK;
                z->parent->parent->color = RED;
                _rotate_left(t, z->parent->parent);
            }
        }
    }
    root_of(t)->color = BLACK;
}

#if defined(__SANITIZE_ADDRESS__)
#define VELMORA_FITINDEX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMORA_FITINDEX_ASAN 1
#endif
#endif

#if defined(VELMORA_FITINDEX_ASAN)
// Sanitizer builds give up the processor at each step of an unlocked search, so that writers
// unlink and retire nodes while readers are inside them: the stress tests then cover that race.
inline void widen_race_window() noexcept { std::this_thread::yield(); }
#else
inline void widen_race_window() noexcept {}
#endif

// Reader-side searches, run without the interpreter lock: acquire link loads, a step bound, and
// the acquire fence that orders every load before the caller re-reads seq_counter. `complete`
// is false when the bound was hit (a view torn across write sections).
RBNode* read_find_node(Tree* t, uint64_t size, bool& complete) {
    ReaderPin pin(t);
    uint64_t steps_left = t->node_count.load(kRelaxed) + 1;
    RBNode* n = t->root.load(kAcquire);
    complete = true;
    while (n != nullptr) {
        if (--steps_left == 0) {
            complete = false;
            n = nullptr;
            break;
        }
        widen_race_window();
        const uint64_t s = n->size.load(kRelaxed);
        if (size == s) break;
        n = size < s ? n->left.load(kAcquire) : n->right.load(kAcquire);
    }
    std::atomic_thread_fence(kAcquire);
    return n;
}

RBNode* read_best_fit_node(Tree* t, uint64_t size, bool& complete) {
    ReaderPin pin(t);
    uint64_t steps_left = t->node_count.load(kRelaxed) + 1;
    RBNode* n = t->root.load(kAcquire);
    RBNode* candidate = nullptr;
    uint64_t candidate_size = 0;
    complete = true;
    while (n != nullptr) {
        if (--steps_left == 0) {
            complete = false;
            candidate = nullptr;
            break;
        }
        widen_race_window();
        const uint64_t s = n->size.load(kRelaxed);
        if (s < size) {
            n = n->right.load(kAcquire);
        } else {
            if (candidate == nullptr || s < candidate_size) {
                candidate = n;
                candidate_size = s;
            }
            n = n->left.load(kAcquire);
        }
    }
    std::atomic_thread_fence(kAcquire);
    return candidate;
}

// Writer-side searches (write_lock and the interpreter lock held).
RBNode* _find_node(const Tree* t, uint64_t size) noexcept {
    RBNode* n = root_of(t);
    while (n != nullptr) {
        const uint64_t s = key(n);
        if (size == s) return n;
        n = size < s ? L(n) : R(n);
    }
    return nullptr;
}

RBNode* _find_best_fit_node(const Tree* t, uint64_t size) noexcept {
    RBNode* candidate = nullptr;
    RBNode* n = root_of(t);
    while (n != nullptr) {
        if (key(n) < size) {
            n = R(n);
        } else {
            if (candidate == nullptr || key(n) < key(candidate)) candidate = n;
            n = L(n);
        }
    }
    return candidate;
}

RBNode* _minimum(RBNode* n) noexcept {
    while (L(n) != nullptr) n = L(n);
    return n;
}

void _transplant(Tree* t, RBNode* u, RBNode* v) noexcept {
    if (u->parent == nullptr) {
        set_root(t, v);
    } else if (u == L(u->parent)) {
        set_left(u->parent, v);
    } else {
        set_right(u->parent, v);
    }
    if (v != nullptr) v->parent = u->parent;
}

void _fixup_delete(Tree* t, RBNode* x) noexcept {
    while (x != root_of(t) && x->color == BLACK) {
        RBNode* p = x->parent;
        if (x == L(p)) {
            RBNode* w = R(p);
            if (w == nullptr) {
                x = p;
                continue;
            }
            if (w->color == RED) {
                w->color = BLACK;
                p->color = RED;
                _rotate_left(t, p);
                w = R(x->parent);
                if (w == nullptr) {
                    x = x->parent;
                    continue;
                }
            }
            if (!is_red(L(w)) && !is_red(R(w))) {
                w->color = RED;
                x = x->parent;
                continue;
            }
            if (!is_red(R(w))) {
                L(w)->color = BLACK;
                w->color = RED;
                _rotate_right(t, w);
                w = R(x->parent);
            }
            w->color = x->parent->color;
            x->parent->color = BLACK;
            if (R(w) != nullptr) R(w)->color = BLACK;
            _rotate_left(t, x->parent);
            x = root_of(t);
        } else {
            RBNode* w = L(p);
            if (w == nullptr) {
                x = p;
                continue;
            }
            if (w->color == RED) {
                w->color = BLACK;
                p->color = RED;
                _rotate_right(t, p);
                w = L(x->parent);
                if (w == nullptr) {
                    x = x->parent;
                    continue;
                }
            }
            if (!is_red(R(w)) && !is_red(L(w))) {
                w->color = RED;
                x = x->parent;
                continue;
            }
            if (!is_red(L(w))) {
                R(w)->color = BLACK;
                w->color = RED;
                _rotate_left(t, w);
                w = L(x->parent);
            }
            w->color = x->parent->color;
            x->parent->color = BLACK;
            if (L(w) != nullptr) L(w)->color = BLACK;
            _rotate_right(t, x->parent);
            x = root_of(t);
        }
    }
    x->color = BLACK;
}

// Unlinks tree node z (which has no list). Its block reference must already have been taken out
// by the caller; z is retired rather than freed, since readers may still be inside it.
void _delete_node(Tree* t, RBNode* z) noexcept {
    Color removed = z->color;
    RBNode* x;
    if (L(z) == nullptr) {
        x = R(z);
        _transplant(t, z, R(z));
    } else if (R(z) == nullptr) {
        x = L(z);
        _transplant(t, z, L(z));
    } else {
        RBNode* y = _minimum(R(z));
        removed = y->color;
        x = R(y);
        if (y->parent == z) {
            if (x != nullptr) x->parent = y;
        } else {
            _transplant(t, y, R(y));
            set_right(y, R(z));
            if (R(y) != nullptr) R(y)->parent = y;
        }
        _transplant(t, z, y);
        set_left(y, L(z));
        if (L(y) != nullptr) L(y)->parent = y;
        y->color = z->color;
    }
    // No sentinel leaf: when the replacing child is null no repair runs.
    if (x != nullptr && removed == BLACK) _fixup_delete(t, x);
    retire(t, z);
}

uint64_t _compute_height(RBNode* root) {
    uint64_t height = 0;
    walk(root, [&](RBNode*, uint64_t depth) {
        if (depth > height) height = depth;
        return 0;
    });
    return height;
}

PyObject* _collect_distribution(Tree* t) {
    vn::Ref dist = vn::Ref::steal(PyDict_New());
    if (!dist) return nullptr;
    int rc = walk(root_of(t), [&](RBNode* n, uint64_t) {
        uint64_t count = 1;
        for (RBNode* e = n->next_same_size; e != nullptr; e = e->next_same_size) ++count;
        vn::Ref k = vn::Ref::steal(PyLong_FromUnsignedLongLong(key(n)));
        vn::Ref v = vn::Ref::steal(PyLong_FromUnsignedLongLong(count));
        return (k && v && PyDict_SetItem(dist.get(), k.get(), v.get()) == 0) ? 0 : -1;
    });
    return rc == 0 ? dist.release() : nullptr;
}

void removed_one(Tree* t) noexcept {
    t->node_count.store(t->node_count.load(kRelaxed) - 1, kRelaxed);
    t->stats.total_blocks -= 1;
    t->stats.total_deletions += 1;
}

// Python-semantics `op % rate == 0` for the sampling decision.
bool is_multiple(PyObject* op, uint32_t rate, bool& out) {
    if (PyLong_CheckExact(op)) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(op, &overflow);
        if (v == -1 && PyErr_Occurred()) return false;
        if (overflow == 0) {
            out = v % static_cast<long>(rate) == 0;  // rate >= 1: no division by zero or -1
            return true;
        }
    }
    vn::Ref divisor = vn::Ref::steal(PyLong_FromUnsignedLong(rate));
    if (!divisor) return false;
    vn::Ref rem = vn::Ref::steal(PyNumber_Remainder(op, divisor.get()));
    if (!rem) return false;
    vn::Ref eq = vn::Ref::steal(PyObject_RichCompare(rem.get(), g_zero, Py_EQ));
    if (!eq) return false;
    int truth = PyObject_IsTrue(eq.get());
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

// time.sleep(0.0001), with `time` looked up at each call.
bool back_off() {
    PyObject* time_mod = module_global(n_time);
    if (time_mod == nullptr) return false;
    vn::Ref keep = vn::Ref::borrow(time_mod);
    return vn::call_method_void(time_mod, n_sleep, g_backoff);
}

// Drops a reference taken out of the tree without disturbing an exception being raised.
void release_block(PyObject* obj) {
    if (obj == nullptr) return;
    PyObject *et, *ev, *etb;
    PyErr_Fetch(&et, &ev, &etb);
    Py_DECREF(obj);
    PyErr_Restore(et, ev, etb);
}

// Ends a locked call: false when the body failed or the lock's __exit__ raised.
inline bool section_ok(bool body_ok) noexcept { return body_ok && PyErr_Occurred() == nullptr; }

// =============================================================================================
// Construction and destruction

PyObject* new_counter() {
    PyObject* cls = module_global(n_AtomicCounter);
    if (cls == nullptr) return nullptr;
    vn::Ref keep = vn::Ref::borrow(cls);
    return vn::call(cls, g_zero);
}

PyObject* Tree_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* argv[1];
    uint32_t sample_rate;
    vn::Ref kept_kwargs;  // keyword values, alive until the arguments are used
    if (!vn::bind_tuple(tree_new_sig, args, kwargs, argv, kept_kwargs) || !vn::to_uint32(argv[0], sample_rate)) return nullptr;
    vn::Ref self = vn::Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    Tree* t = as_tree(self.get());
    new (&t->root) std::atomic<RBNode*>(nullptr);
    new (&t->node_count) std::atomic<uint64_t>(0);
    new (&t->seq_counter) std::atomic<uint64_t>(0);
    new (&t->write_holder) std::atomic<unsigned long>(0);
    new (&t->stats_holder) std::atomic<unsigned long>(0);
    new (&t->epoch) std::atomic<uint64_t>(0);
    new (&t->readers[0]) std::atomic<uint64_t>(0);
    new (&t->readers[1]) std::atomic<uint64_t>(0);
    t->limbo[0] = t->limbo[1] = nullptr;
    t->write_lock = vn::none();
    t->operation_counter = vn::none();
    t->sampled_counter = vn::none();
    t->stats_lock = vn::none();
    t->stats = Stats{};
    t->using_atomic = 0;

    PyObject* threading = module_global(n_threading);
    if (threading == nullptr) return nullptr;
    vn::Ref keep_threading = vn::Ref::borrow(threading);
    PyObject* lock = vn::new_lock(threading);
    if (lock == nullptr) return nullptr;
    Py_SETREF(t->write_lock, lock);
    t->sample_rate = sample_rate;

    PyObject* available = module_global(n_ATOMIC_AVAILABLE);
    if (available == nullptr) return nullptr;
    int use = PyObject_IsTrue(available);
    if (use < 0) return nullptr;
    if (use) {
        PyObject* cls = module_global(n_AtomicCounter);
        if (cls == nullptr) return nullptr;
        use = PyObject_IsTrue(cls);
        if (use < 0) return nullptr;
    }
    if (use) {
        PyObject* op = new_counter();
        if (op == nullptr) return nullptr;
        Py_SETREF(t->operation_counter, op);
        PyObject* sampled = new_counter();
        if (sampled == nullptr) return nullptr;
        Py_SETREF(t->sampled_counter, sampled);
        t->using_atomic = 1;
    }
    lock = vn::new_lock(threading);
    if (lock == nullptr) return nullptr;
    Py_SETREF(t->stats_lock, lock);
    return self.release();
}

int Tree_traverse(PyObject* self, visitproc visit, void* arg) {
    Tree* t = as_tree(self);
    Py_VISIT(t->write_lock);
    Py_VISIT(t->operation_counter);
    Py_VISIT(t->sampled_counter);
    Py_VISIT(t->stats_lock);
    return walk(root_of(t), [&](RBNode* n, uint64_t) {
        for (RBNode* e = n; e != nullptr; e = e->next_same_size) Py_VISIT(e->block_obj);
        return 0;
    });
}

// Garbage collection of a cycle through a stored block: the tree is unreachable, so no reader can
// be inside it; every entry is released at once. The tree itself stays usable (and empty).
int Tree_clear(PyObject* self) {
    Tree* t = as_tree(self);
    RBNode* root = root_of(t);
    set_root(t, nullptr);
    t->node_count.store(0, kRelaxed);
    t->stats.total_blocks = 0;
    release_detached(t, root, false);
    return 0;
}

void Tree_dealloc(PyObject* self) {
    vn::dealloc_tracked(self, Tree_dealloc, [self] {
        Tree* t = as_tree(self);
        RBNode* root = root_of(t);
        set_root(t, nullptr);
        release_detached(t, root, false);  // no reader can hold a reference to a dying tree
        free_chain(t->limbo[0]);
        free_chain(t->limbo[1]);
        t->limbo[0] = t->limbo[1] = nullptr;
        Py_CLEAR(t->write_lock);
        Py_CLEAR(t->operation_counter);
        Py_CLEAR(t->sampled_counter);
        Py_CLEAR(t->stats_lock);
        vn::free_instance(self);
    });
}

// =============================================================================================
// Python methods: writers

PyObject* FastRedBlackTree__sanitize_size(PyObject*, PyObject* const* argv) {
    vn::Ref size = vn::Ref::steal(vn::py_int(argv[0], "size"));
    if (!size) return nullptr;
    bool negative;
    if (!is_negative(size.get(), negative)) return nullptr;
    if (negative) {
        invalid_size(size.get());
        return nullptr;
    }
    return size.release();
}

bool insert_locked(Tree* t, uint64_t c_size, PyObject* block, bool sample) {
    // The entry is allocated first: it reads the clock (Python code), and nothing found in the
    // tree is kept across that.
    RBNode* fresh = _allocate_node(c_size, block);
    if (fresh == nullptr) return false;
    RBNode* existing = _find_node(t, c_size);
    if (existing != nullptr) {
        fresh->next_same_size = existing->next_same_size;
        existing->next_same_size = fresh;
    } else if (root_of(t) == nullptr) {
        fresh->color = BLACK;
        set_root(t, fresh);
    } else {
        RBNode* n = root_of(t);
        for (;;) {
            if (c_size < key(n)) {
                if (L(n) == nullptr) {
                    fresh->parent = n;
                    set_left(n, fresh);
                    break;
                }
                n = L(n);
            } else {
                if (R(n) == nullptr) {
                    fresh->parent = n;
                    set_right(n, fresh);
                    break;
                }
                n = R(n);
            }
        }
        _fixup_insert(t, fresh);
    }
    t->node_count.store(t->node_count.load(kRelaxed) + 1, kRelaxed);
    t->stats.total_blocks += 1;
    t->stats.total_insertions += 1;
    t->stats.operation_count += 1;
    if (sample && t->using_atomic) return _record_sample(t);
    return true;
}

PyObject* FastRedBlackTree_insert(PyObject* self, PyObject* const* argv) {
    Tree* t = as_tree(self);
    vn::Ref size = vn::Ref::steal(vn::py_int(argv[0], "size"));
    if (!size) return nullptr;
    uint64_t c_size;
    switch (sanitize_to_uint64(size.get(), c_size)) {
        case SizeArg::Ok: break;
        case SizeArg::Negative: invalid_size(size.get()); return nullptr;
        case SizeArg::Error: return nullptr;
    }
    bool sample = false;
    if (t->using_atomic) {
        vn::Ref counter = vn::Ref::borrow(t->operation_counter);  // clear() may replace the field
        vn::Ref op = vn::Ref::steal(vn::call_method(counter.get(), n_increment));
        if (!op) return nullptr;
        if (t->sample_rate != 0 && !is_multiple(op.get(), t->sample_rate, sample)) return nullptr;
    }
    bool ok;
    {
        TreeLock lock(t->write_lock, t->write_holder, "insert", "write_lock");
        if (!lock.ok()) return nullptr;
        WriteSection section(t);
        ok = section.ok() && insert_locked(t, c_size, argv[1], sample);
    }
    return section_ok(ok) ? vn::new_ref(Py_True) : nullptr;
}

// Python equality of a stored block with the given one (no identity shortcut, as `==` has none).
int blocks_equal(PyObject* stored, PyObject* given) {
    vn::Ref keep = vn::Ref::borrow(stored);
    vn::Ref r = vn::Ref::steal(PyObject_RichCompare(stored, given, Py_EQ));
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

// Returns 1 removed, 0 not found, -1 error (nothing unlinked). `released` receives the block
// reference to drop once the section has ended.
int delete_locked(Tree* t, uint64_t c_size, PyObject* block, PyObject*& released) {
    RBNode* node = _find_node(t, c_size);
    if (node == nullptr) return 0;
    int eq = blocks_equal(node->block_obj, block);
    if (eq < 0) return -1;
    if (eq) {
        released = node->block_obj;
        if (RBNode* s = node->next_same_size) {
            node->next_same_size = s->next_same_size;
            node->block_obj = s->block_obj;  // s's reference moves with it
            node->insert_time_ns = s->insert_time_ns;
            PyMem_Free(s);
        } else {
            node->block_obj = nullptr;
            _delete_node(t, node);
        }
    } else {
        RBNode* prev = node;
        RBNode* e = node->next_same_size;
        for (; e != nullptr; prev = e, e = e->next_same_size) {
            eq = blocks_equal(e->block_obj, block);
            if (eq < 0) return -1;
            if (eq) break;
        }
        if (e == nullptr) return 0;
        prev->next_same_size = e->next_same_size;
        released = e->block_obj;
        PyMem_Free(e);
    }
    removed_one(t);
    return 1;
}

PyObject* FastRedBlackTree_delete(PyObject* self, PyObject* const* argv) {
    Tree* t = as_tree(self);
    vn::Ref size = vn::Ref::steal(vn::py_int(argv[0], "size"));
    if (!size) return nullptr;
    uint64_t c_size;
    switch (sanitize_to_uint64(size.get(), c_size)) {
        case SizeArg::Ok: break;
        case SizeArg::Negative: return vn::new_ref(Py_False);
        case SizeArg::Error: return nullptr;
    }
    int result;
    PyObject* released = nullptr;
    {
        TreeLock lock(t->write_lock, t->write_holder, "delete", "write_lock");
        if (!lock.ok()) return nullptr;
        WriteSection section(t);
        result = section.ok() ? delete_locked(t, c_size, argv[1], released) : -1;
    }
    // The section has ended and write_lock is free: a finaliser may call the tree.
    reclaim(t);
    release_block(released);
    if (!section_ok(result >= 0)) return nullptr;
    return vn::boolean(result == 1);
}

PyObject* FastRedBlackTree_remove_ge(PyObject* self, PyObject* const* argv) {
    Tree* t = as_tree(self);
    vn::Ref size = vn::Ref::steal(vn::py_int(argv[0], "size"));
    if (!size) return nullptr;
    uint64_t c_size;
    switch (sanitize_to_uint64(size.get(), c_size)) {
        case SizeArg::Ok: break;
        case SizeArg::Negative: return Py_BuildValue("(OO)", Py_None, Py_None);
        case SizeArg::Error: return nullptr;
    }
    RBNode* node;
    uint64_t actual_size = 0;
    vn::Ref block;  // the caller's reference, taken over from the tree
    {
        TreeLock lock(t->write_lock, t->write_holder, "remove_ge", "write_lock");
        if (!lock.ok()) return nullptr;
        WriteSection section(t);
        if (!section.ok()) return nullptr;
        // The search keeps the interpreter lock, like every other write section: releasing it for
        // these few hundred nanoseconds let waiting readers run exactly while the counter is odd,
        // so under one busy writer most reads ran out of retries and reported "not found".
        node = _find_best_fit_node(t, c_size);
        if (node != nullptr) {
            actual_size = key(node);
            block = vn::Ref::steal(node->block_obj);
            if (RBNode* s = node->next_same_size) {
                node->next_same_size = s->next_same_size;
                node->block_obj = s->block_obj;  // insert_time_ns of the head stays as it was
                PyMem_Free(s);
            } else {
                node->block_obj = nullptr;
                _delete_node(t, node);
            }
            removed_one(t);
        }
    }
    reclaim(t);
    if (!section_ok(true)) return nullptr;
    if (node == nullptr) return Py_BuildValue("(OO)", Py_None, Py_None);
    vn::Ref size_obj = vn::Ref::steal(PyLong_FromUnsignedLongLong(actual_size));
    if (!size_obj) return nullptr;
    return PyTuple_Pack(2, size_obj.get(), block.get());
}

PyObject* FastRedBlackTree_clear(PyObject* self, PyObject* const*) {
    Tree* t = as_tree(self);
    RBNode* detached = nullptr;
    vn::Ref old_op, old_sampled;
    bool ok = true;
    {
        TreeLock lock(t->write_lock, t->write_holder, "clear", "write_lock");
        if (!lock.ok()) return nullptr;
        WriteSection section(t);
        if (!section.ok()) return nullptr;
        // The new counters are made before anything changes, so a failure leaves the tree intact.
        vn::Ref op, sampled;
        if (t->using_atomic) {
            op = vn::Ref::steal(new_counter());
            if (op) sampled = vn::Ref::steal(new_counter());
            ok = static_cast<bool>(sampled);
        }
        if (ok) {
            detached = root_of(t);
            set_root(t, nullptr);
            t->node_count.store(0, kRelaxed);
            t->stats = Stats{};
            if (t->using_atomic) {
                old_op = vn::Ref::steal(t->operation_counter);
                old_sampled = vn::Ref::steal(t->sampled_counter);
                t->operation_counter = op.release();
                t->sampled_counter = sampled.release();
            }
        }
    }
    // After the section: release the blocks (finalisers may call the tree), retire the nodes.
    release_detached(t, detached, true);
    reclaim(t);
    return section_ok(ok) ? vn::none() : nullptr;
}

// =============================================================================================
// Python methods: lock-free readers

PyObject* FastRedBlackTree_find_best_fit(PyObject* self, PyObject* const* argv) {
    Tree* t = as_tree(self);
    vn::Ref size = vn::Ref::steal(vn::py_int(argv[0], "size"));
    if (!size) return nullptr;
    vn::Ref alignment = vn::Ref::steal(vn::py_int(argv[1], "alignment"));  // accepted, not used
    if (!alignment) return nullptr;
    uint64_t c_size;
    switch (sanitize_to_uint64(size.get(), c_size)) {
        case SizeArg::Ok: break;
        case SizeArg::Negative: return vn::none();
        case SizeArg::Error: return nullptr;
    }
    for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
        const uint64_t seq_start = t->seq_counter.load(kAcquire);
        if (seq_start & 1u) {
            if (!back_off()) return nullptr;
            continue;
        }
        RBNode* found;
        bool complete;
        {
            vn::NoGil unlocked;
            found = read_best_fit_node(t, c_size, complete);
        }
        // Ordered after the search by the fence inside it (and by re-taking the interpreter lock).
        if (complete && t->seq_counter.load(kRelaxed) == seq_start) {
            // No section has opened since seq_start and we hold the interpreter lock: `found` is live.
            t->stats.total_searches += 1;
            return vn::new_ref(found != nullptr ? found->block_obj : Py_None);
        }
    }
    return vn::none();  // retries exhausted: indistinguishable from "not found"
}

// Takes references to a live node's blocks (head, then list order) before anything that could
// run Python code, then builds the list.
PyObject* collect_blocks(RBNode* node) {
    Py_ssize_t count = 0;
    for (RBNode* e = node; e != nullptr; e = e->next_same_size) ++count;
    if (count == 0) return PyList_New(0);
    PyObject* small[16];
    PyObject** refs = small;
    if (count > 16) {
        refs = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * static_cast<size_t>(count)));
        if (refs == nullptr) return PyErr_NoMemory();
    }
    Py_ssize_t i = 0;
    for (RBNode* e = node; e != nullptr; e = e->next_same_size) refs[i++] = vn::new_ref(e->block_obj);
    PyObject* list = PyList_New(count);  // may collect garbage: we own the references already
    for (i = 0; i < count; ++i) {
        if (list != nullptr) {
            PyList_SET_ITEM(list, i, refs[i]);
        } else {
            Py_DECREF(refs[i]);
        }
    }
    if (refs != small) PyMem_Free(refs);
    return list;
}

PyObject* FastRedBlackTree_find_all_exact(PyObject* self, PyObject* const* argv) {
    Tree* t = as_tree(self);
    vn::Ref size = vn::Ref::steal(vn::py_int(argv[0], "size"));
    if (!size) return nullptr;
    uint64_t c_size;
    switch (sanitize_to_uint64(size.get(), c_size)) {
        case SizeArg::Ok: break;
        case SizeArg::Negative: return PyList_New(0);
        case SizeArg::Error: return nullptr;
    }
    for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
        const uint64_t seq_start = t->seq_counter.load(kAcquire);
        if (seq_start & 1u) {
            if (!back_off()) return nullptr;
            continue;
        }
        RBNode* found;
        bool complete;
        {
            vn::NoGil unlocked;
            found = read_find_node(t, c_size, complete);
        }
        // Validated before the list walk (not after): a node of a failed attempt may be freed.
        if (complete && t->seq_counter.load(kRelaxed) == seq_start) {
            PyObject* result = found != nullptr ? collect_blocks(found) : PyList_New(0);
            if (result != nullptr) t->stats.total_searches += 1;
            return result;
        }
    }
    return PyList_New(0);
}

// =============================================================================================
// Python methods: sizes, statistics, protocol

PyObject* FastRedBlackTree_size(PyObject* self, PyObject* const*) {
    return PyLong_FromUnsignedLongLong(as_tree(self)->node_count.load(kRelaxed));
}

Py_ssize_t Tree_len(PyObject* self) {
    vn::Ref r = vn::Ref::steal(vn::call_method(self, n_size));
    if (!r) return -1;
    Py_ssize_t n = PyNumber_AsSsize_t(r.get(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) return -1;
    if (n < 0) {  // an overriding size() returned a negative count
        PyErr_SetString(PyExc_ValueError, "__len__() should return >= 0");
        return -1;
    }
    return n;
}

int Tree_bool(PyObject* self) {
    vn::Ref r = vn::Ref::steal(vn::call_method(self, n_size));
    if (!r) return -1;
    vn::Ref gt = vn::Ref::steal(PyObject_RichCompare(r.get(), g_zero, Py_GT));
    if (!gt) return -1;
    return PyObject_IsTrue(gt.get());
}

PyObject* Tree_repr(PyObject* self) {
    return PyUnicode_FromFormat("FastRedBlackTree(blocks=%llu, native=True)",
                                static_cast<unsigned long long>(as_tree(self)->node_count.load(kRelaxed)));
}

PyObject* FastRedBlackTree_get_stats(PyObject* self, PyObject* const*) {
    Tree* t = as_tree(self);
    TreeLock lock(t->stats_lock, t->stats_holder, "get_stats", "stats_lock");
    if (!lock.ok()) return nullptr;
    const Stats& s = t->stats;
    vn::Ref d = vn::Ref::steal(vn::make_dict(
        {"total_blocks", "total_insertions", "total_deletions", "total_searches", "bucket_hits", "tree_hits",
         "operation_count"},
        PyLong_FromUnsignedLongLong(s.total_blocks), PyLong_FromUnsignedLongLong(s.total_insertions),
        PyLong_FromUnsignedLongLong(s.total_deletions), PyLong_FromUnsignedLongLong(s.total_searches),
        PyLong_FromUnsignedLongLong(s.bucket_hits), PyLong_FromUnsignedLongLong(s.tree_hits),
        PyLong_FromUnsignedLongLong(s.operation_count)));
    if (!d) return nullptr;
    if (s.has_trips && !vn::dict_set(d.get(), "circuit_breaker_trips", PyLong_FromLong(0))) return nullptr;
    if (!vn::dict_set(d.get(), "node_count", PyLong_FromUnsignedLongLong(t->node_count.load(kRelaxed))) ||
        !vn::dict_set(d.get(), "height", PyLong_FromUnsignedLongLong(_compute_height(root_of(t)))))
        return nullptr;
    vn::Ref counter = vn::Ref::borrow(t->sampled_counter);  // clear() may replace the field
    PyObject* sampled = t->using_atomic ? vn::call_method(counter.get(), n_load) : PyLong_FromLong(0);
    if (!vn::dict_set(d.get(), "sampled_operations", sampled) ||
        !vn::dict_set(d.get(), "is_valid", vn::new_ref(Py_True)))
        return nullptr;
    if (!lock.leave()) return nullptr;
    return d.release();
}

PyObject* FastRedBlackTree_get_statistics(PyObject*, PyObject* const*) { return PyDict_New(); }

PyObject* FastRedBlackTree_get_size_distribution(PyObject* self, PyObject* const*) {
    Tree* t = as_tree(self);
    vn::Ref dist;
    {
        TreeLock lock(t->write_lock, t->write_holder, "get_size_distribution", "write_lock");  // no section
        if (!lock.ok()) return nullptr;
        dist = vn::Ref::steal(_collect_distribution(t));
    }
    return section_ok(static_cast<bool>(dist)) ? dist.release() : nullptr;
}

PyObject* FastRedBlackTree_reset_circuit_breaker(PyObject* self, PyObject* const*) {
    Tree* t = as_tree(self);
    TreeLock lock(t->stats_lock, t->stats_holder, "reset_circuit_breaker", "stats_lock");
    if (!lock.ok()) return nullptr;
    t->stats.has_trips = true;
    t->stats.operation_count = 0;
    if (!lock.leave()) return nullptr;
    return vn::none();
}

// =============================================================================================
// Tables and initialisation

const char* const kTreeDoc =
    "Red-black tree of free memory blocks keyed by size, with lock-free best-fit reads.\n\n"
    "Design:\n"
    "- Nodes are native records linked by pointers, not Python objects.\n"
    "- One tree node per distinct size; further blocks of that size hang off the node in an\n"
    "  intrusive singly linked list, so a repeated size costs no rebalancing.\n"
    "- Writers are serialised by one mutex (write_lock) and publish every change through a\n"
    "  sequence counter (seq_counter, a seqlock: even = stable, odd = write in progress), so\n"
    "  readers search without taking any lock.\n"
    "- Statistics are sampled rather than logged on every operation.\n\n"
    "Performance targets:\n"
    "- O(log n) insert and delete\n"
    "- O(log n) search, O(1) handling of additional blocks of an existing size\n"
    "- Lock-free read path\n"
    "- Statistics overhead under 1% through sampling";

const char* const kFindBestFitDoc =
    "Find best-fit block (LOCK-FREE read).\n\n"
    "Uses seqlock for consistency without blocking writers.\n"
    "- Even seq_counter = stable state (safe to read)\n"
    "- Odd seq_counter = write in progress (retry)\n"
    "- Readers validate seq unchanged after read (detects concurrent writes)";

std::vector<vn::FuncDef> tree_methods() {
    return {
        {"insert", FastRedBlackTree_insert, {{"size", "int"}, {"block", "MemoryBlock"}}, "bool",
         "Insert block into tree.\n\nSingle-writer operation with seqlock coordination."},
        {"delete", FastRedBlackTree_delete, {{"size", "int"}, {"block", "MemoryBlock"}}, "bool",
         "Delete specific block.\n\nSingle-writer operation."},
        {"remove_ge", FastRedBlackTree_remove_ge, {{"size", "int"}}, "Tuple[Optional[int], Optional[MemoryBlock]]",
         "Remove and return best-fit block >= size."},
        {"clear", FastRedBlackTree_clear, {}, nullptr, "Clear all blocks."},
        {"find_best_fit", FastRedBlackTree_find_best_fit, {{"size", "int"}, {"alignment", "int", "1"}},
         "Optional[MemoryBlock]", kFindBestFitDoc},
        {"find_all_exact", FastRedBlackTree_find_all_exact, {{"size", "int"}}, "List[MemoryBlock]",
         "Find all blocks of exact size (lock-free read)."},
        {"size", FastRedBlackTree_size, {}, "int", "Get total block count."},
        {"get_stats", FastRedBlackTree_get_stats, {}, "Dict[str, Any]", "Get tree statistics."},
        {"get_statistics", FastRedBlackTree_get_statistics, {}, "Dict[int, List[float]]",
         "Get timing statistics (empty for sampling mode)."},
        {"get_size_distribution", FastRedBlackTree_get_size_distribution, {}, "Dict[int, int]",
         "Get size distribution."},
        {"reset_circuit_breaker", FastRedBlackTree_reset_circuit_breaker, {}, nullptr, "Reset circuit breaker stats."},
    };
}

PySequenceMethods tree_as_sequence;
PyNumberMethods tree_as_number;

int fitindex_exec(PyObject* module) {
    g_module = module;
    g_backoff = PyFloat_FromDouble(kBackoffSeconds);
    g_zero = PyLong_FromLong(0);
    if (g_backoff == nullptr || g_zero == nullptr) return -1;

    // 1. Standard modules; typing names are used only in annotations.
    if (!vn::import_into(module, "threading") || !vn::import_into(module, "time") ||
        !vn::import_into(module, "math") ||
        !vn::from_import(module, "typing", {"List", "Dict", "Optional", "Tuple", "Any"}))
        return -1;
    // 2. The outside block class; its absence fails the import.
    if (!vn::from_import(module, "velmora.memory.memory_block", {"MemoryBlock"})) return -1;
    // 3. Operation counting, optional.
    bool atomic = vn::from_import(module, "velmora.memory.lockless", {"AtomicCounter"});
    if (!atomic) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return -1;
        PyErr_Clear();
        if (PyModule_AddObject(module, "AtomicCounter", vn::none()) < 0) return -1;
    }
    if (PyModule_AddObject(module, "ATOMIC_AVAILABLE", vn::boolean(atomic)) < 0) return -1;

    // 4. The type, with _sanitize_size as a static method.
    if (!vn::make_signature(tree_new_sig, "__cinit__", {{"sample_rate", nullptr, "100"}})) return -1;
    tree_new_sig.name = "FastRedBlackTree";  // messages name the class, as callers see it
    vn::init_type(TreeType, "velmora.memory.fitindex.FastRedBlackTree", sizeof(Tree), kTreeDoc, Py_TPFLAGS_HAVE_GC);
    TreeType.tp_new = Tree_new;
    TreeType.tp_dealloc = Tree_dealloc;
    TreeType.tp_traverse = Tree_traverse;
    TreeType.tp_clear = Tree_clear;
    TreeType.tp_repr = Tree_repr;
    tree_as_sequence.sq_length = Tree_len;
    tree_as_number.nb_bool = Tree_bool;
    TreeType.tp_as_sequence = &tree_as_sequence;
    TreeType.tp_as_number = &tree_as_number;
    if (!vn::ready_type(module, TreeType, tree_methods())) return -1;
    const char* modname = PyModule_GetName(module);
    if (modname == nullptr) return -1;
    vn::Ref sanitize = vn::Ref::steal(vn::make_function(
        {"_sanitize_size", FastRedBlackTree__sanitize_size, {{"size", "int"}}, "int", "Validate size.",
         vn::Kind::Function},
        modname, "FastRedBlackTree"));
    if (!sanitize) return -1;
    return vn::set_type_attribute(TreeType, "_sanitize_size", PyStaticMethod_New(sanitize.get())) ? 0 : -1;
}

}  // namespace

VN_MODULE(fitindex, "Free-block index: best-fit search over free memory blocks without a reader lock.",
          fitindex_exec)
