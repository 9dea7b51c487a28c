// velmora.memory.fitindex: the free-block index of the memory pools. FastRedBlackTree keeps free
// blocks keyed by size in a red-black tree of native records, one tree node per distinct size with
// further blocks of that size in a singly linked list off the node, and answers "smallest block of
// at least this size" (best fit) without a reader lock.
//
// Concurrency model
// - Writers (insert, delete, remove_ge, clear) hold the tree's threading.Lock `write_lock`. Each
//   write section makes `seq_counter` odd before the first change and even again after the last one
//   (a seqlock). Where the interpreter has a global lock, writers hold it too and no write section
//   releases it itself, so a reader finds the counter odd only while a section runs Python code (a
//   block's __eq__, the clock, the sampling counters), which may switch threads. Where it has none
//   (free-threaded builds), writers also hold the tree's native `mutex` over each stretch that
//   changes nodes, so the walkers that are not seqlock readers (get_stats' height, the size
//   distribution) see a consistent tree.
// - Readers (find_best_fit, find_all_exact) take no lock. They read the counter, search following
//   only the child links and sizes, and accept the result only if the counter is even and
//   unchanged. Where the interpreter has a global lock, the search runs with it held (a search is
//   far shorter than a hand-over of the lock) and the block references are taken after the check:
//   no write section can be open then, so the nodes found are live. Without a global lock the
//   references are taken during the
//   search, from entries that are still pinned (below), and dropped again if the check fails.
// - Everything else (parents, colours, statistics, the sampling counters) is written only inside
//   write sections. Whenever Python code can run inside one, the tree is a consistent search tree,
//   so a garbage-collector traversal can walk it at any time (on free-threaded builds it walks
//   only while every other thread is stopped, never inside a native stretch).
//
// Memory orderings of the seqlock (fields read without a lock are std::atomic):
// - writer: seq = s + 1 (compare-and-swap from the even s, relaxed), then a release fence, then the
//   link stores, then seq = s + 2 (release). Links, list links and block pointers are stored with
//   release so that a node's initialised fields are visible to whoever reaches it through the new
//   link; sizes never change once a node is published.
// - reader: s1 = seq (acquire: it sees everything the last completed section wrote), link loads with
//   acquire, sizes relaxed, then an acquire fence before seq is read again. If any load saw a store of
//   a later section, that section's release fence synchronises with the reader's acquire fence, so
//   the second read of seq sees at least the odd value of that section and the reader retries.
//
// Why a reader can never touch freed memory, or take a reference to a released block
// The counter only tells a reader afterwards that something changed. Entries are therefore
// reclaimed by epochs:
// 1. With a global interpreter lock, a reader only follows left and right during its search, and
//    reaches list entries and blocks right after a successful validation, when no write section
//    can be open. So list entries are
//    freed at once and blocks released as soon as their write section ends. Without a global lock,
//    readers also walk same-size lists and take block references while writers run, so every entry
//    that leaves the tree, list entries included, waits in limbo together with the block reference
//    it held; a block is released only when its entry is reclaimed.
// 2. An entry that a writer unlinks (delete, remove_ge, clear) is not freed: it goes to the limbo
//    list of the current epoch E (limbo[E & 1]), with its links intact.
// 3. A reader pins an epoch before its search: it reads the epoch e, increments its shard of
//    readers[e & 1] (seq_cst) and re-reads the epoch; if it moved it un-counts itself and tries
//    again. It decrements (release) after its last access to an entry or a block pointer.
// 4. The epoch advances from E to E + 1 only when every shard of readers[(E + 1) & 1] is zero, i.e.
//    no reader is pinned to E - 1; the entries of limbo[(E + 1) & 1], retired during E - 1, are
//    freed (and their blocks released) right then. So an entry retired in epoch T is freed only
//    once the epoch reaches T + 2, after it was seen that no reader pinned to T remains.
// 5. A reader pinned to T + 1 or later read that epoch value (seq_cst), which was stored after the
//    entry was unlinked, so the unlink happens-before its first link load: it cannot reach the entry.
//    A reader pinned to T or earlier is counted until it leaves (its increment precedes the check of
//    its shard in the single total order; had it come after, its re-read would have seen a newer
//    epoch and it would not be pinned to T). Its release decrement, read by the reclaimer's seq_cst
//    load, orders all of its reads before the free.
// 6. A search takes at most node_count + 1 steps, and so does a list walk: in a consistent tree a
//    path visits at most every node once. A view mixed across write sections can exceed that; the
//    reader then stops and retries, so no reader can loop.
// The limbo lists and the epoch are changed with the interpreter lock held and no Python code in
// between, or (free-threaded builds) under the tree's native mutex. Blocks are released after the
// write section has ended and write_lock is released, so a finaliser that calls the tree never runs
// inside a write section.
#include "native/velmora_native.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <thread>

namespace {

PyObject* g_module = nullptr;  // this module (kept alive by the module frame)
vn::TimeFunction g_perf_counter_ns{"perf_counter_ns", vn::TimeFunction::PerfCounterNs};  // time.perf_counter_ns()

vn::Name n_circuit_breaker_trips{"circuit_breaker_trips"}, n_node_count{"node_count"}, n_height{"height"},
    n_sampled_operations{"sampled_operations"}, n_is_valid{"is_valid"};
vn::Name n_time{"time"}, n_threading{"threading"}, n_sleep{"sleep"}, n_increment{"increment"}, n_load{"load"},
    n_size{"size"}, n_AtomicCounter{"AtomicCounter"}, n_ATOMIC_AVAILABLE{"ATOMIC_AVAILABLE"};

constexpr int kMaxRetries = 100;  // MAX_RETRIES of the two searches
constexpr double kBackoffSeconds = 0.0001;
PyObject* g_backoff = nullptr;  // float 0.0001, the back-off pause
PyObject* g_zero = nullptr;     // int 0

// Without a global interpreter lock, blocks and list entries that leave the tree wait in limbo
// (see the top of the file); with one they are released as soon as their write section ends.
constexpr bool kDeferReleases = vn::kFreeThreaded;

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
// Their entries come from the C allocator, which the sanitizer watches (the interpreter's own
// allocator is opaque to it on free-threaded builds).
inline void widen_race_window() noexcept { std::this_thread::yield(); }
inline void* node_alloc(size_t n) noexcept { return PyMem_RawMalloc(n); }
inline void node_free(void* p) noexcept { PyMem_RawFree(p); }
#else
inline void widen_race_window() noexcept {}
inline void* node_alloc(size_t n) noexcept { return PyMem_Malloc(n); }
inline void node_free(void* p) noexcept { PyMem_Free(p); }
#endif

// =============================================================================================
// Native records

enum Color : int32_t { RED = 0, BLACK = 1 };

// The fields a search reads (left, right, size, then block_obj and next_same_size) are the last 48
// bytes of the record, the writers' own (parent, color) the first 16: the interpreter's allocator
// places 64-byte blocks 48 bytes past a 64-byte boundary, so a record spans two cache lines, and a
// descent then touches only the second (with a 64-byte-aligned allocator it touches the one line).
struct RBNode {
    RBNode* parent;                       // writers only; null for the root and for list entries
    Color color;                          // writers only; list entries keep RED
    std::atomic<RBNode*> left;            // read by unlocked readers
    std::atomic<RBNode*> right;           // read by unlocked readers
    std::atomic<uint64_t> size;           // the key; written before the node is published, never after
    std::atomic<PyObject*> block_obj;     // one strong reference while the entry is stored
    std::atomic<RBNode*> next_same_size;  // same-size list (walked by unlocked readers)
    // The allocation time of a stored entry; once the entry is retired (unlinked, waiting for the
    // readers that may still be inside it) its limbo link. Readers never read either, so the record
    // stays one 64-byte allocation. No method reports the time, so it is taken only from a clock
    // the caller rerouted (whose call can be seen); the interpreter's own clock is not read for it,
    // and the field then stays 0.
    union {
        uint64_t insert_time_ns;
        RBNode* retired_next;
    };
};
static_assert(sizeof(RBNode) <= 64, "an entry is one allocation of at most 64 bytes");
static_assert(offsetof(RBNode, left) >= 16, "what a search reads lies past the record's first 16 bytes");

// A counter with one slot per group of threads, each on its own cache line, so that threads that
// count at the same time do not contend; a reading sums the slots. Where the interpreter lock
// serialises the counting threads there is one slot.
constexpr unsigned kShards = vn::kFreeThreaded ? 8 : 1;

struct alignas(8) Shard {
    std::atomic<uint64_t> value;
    char pad[64 - sizeof(std::atomic<uint64_t>)];
};

inline unsigned my_shard() noexcept {
    if constexpr (kShards == 1) {
        return 0;
    } else {
        static std::atomic<unsigned> next{0};
        thread_local const unsigned mine = next.fetch_add(1, std::memory_order_relaxed) % kShards;
        return mine;
    }
}

struct ShardedCounter {
    Shard shard[kShards];
    void init() noexcept {
        for (Shard& x : shard) new (&x.value) std::atomic<uint64_t>(0);
    }
    void add(uint64_t n) noexcept {
        std::atomic<uint64_t>& v = shard[my_shard()].value;
        if constexpr (kShards == 1)
            v.store(v.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);  // serialised
        else
            v.fetch_add(n, std::memory_order_relaxed);
    }
    uint64_t sum() const noexcept {
        uint64_t total = 0;
        for (const Shard& x : shard) total += x.value.load(std::memory_order_relaxed);
        return total;
    }
    void reset() noexcept {
        for (Shard& x : shard) x.value.store(0, std::memory_order_relaxed);
    }
};

// The running statistics. Writers change them inside their write sections; get_stats and
// reset_circuit_breaker read or reset them under stats_lock, and readers count their searches, so
// every field is atomic (relaxed: each is a lone count, nothing is published through it).
struct Stats {
    std::atomic<uint64_t> total_blocks, total_insertions, total_deletions, bucket_hits, tree_hits, operation_count;
    ShardedCounter total_searches;
    std::atomic<bool> has_trips;  // reset_circuit_breaker added "circuit_breaker_trips" (always 0)

    void init() noexcept {
        for (auto* f : {&total_blocks, &total_insertions, &total_deletions, &bucket_hits, &tree_hits, &operation_count})
            new (f) std::atomic<uint64_t>(0);
        total_searches.init();
        new (&has_trips) std::atomic<bool>(false);
    }
    void reset() noexcept {
        for (auto* f : {&total_blocks, &total_insertions, &total_deletions, &bucket_hits, &tree_hits, &operation_count})
            f->store(0, std::memory_order_relaxed);
        total_searches.reset();
        has_trips.store(false, std::memory_order_relaxed);
    }
};

// Writers change these inside their native stretches. With a global interpreter lock held through
// such a stretch nothing else runs there, so a plain load and store is the increment (no locked
// instruction); without it a reset may interleave, and the increment is one atomic operation.
inline void bump(std::atomic<uint64_t>& f, int64_t delta) noexcept {
    if constexpr (vn::kFreeThreaded) {
        f.fetch_add(static_cast<uint64_t>(delta), std::memory_order_relaxed);
    } else {
        f.store(f.load(std::memory_order_relaxed) + static_cast<uint64_t>(delta), std::memory_order_relaxed);
    }
}

// The writers' index of the tree's nodes by size (list entries are never in it): an open-addressing
// table with linear probing and backward-shift deletion, at most half full. Only the holder of the
// write lock reads or changes it, inside the stretches that change nodes (under the tree's mutex on
// free-threaded builds); readers never see it. When it cannot grow (no memory) it is switched off
// and writers find nodes by descending the tree, as they would without it.
struct SizeIndex {
    struct Slot {
        uint64_t size;
        RBNode* node;  // null: empty
    };
    Slot* slots;
    uint64_t mask;  // capacity - 1 (capacity a power of two), or 0 before the first insertion
    uint64_t used;
    bool off;

    void init() noexcept {
        slots = nullptr;
        mask = used = 0;
        off = false;
    }
    // Every bit of the size reaches the low bits (sizes are mostly multiples of a power of two).
    static uint64_t hash(uint64_t size) noexcept {
        size ^= size >> 33;
        size *= 0xff51afd7ed558ccdull;
        size ^= size >> 33;
        size *= 0xc4ceb9fe1a85ec53ull;
        return size ^ (size >> 33);
    }
    // False when the index cannot answer (switched off): the caller descends.
    bool find(uint64_t size, RBNode*& out) const noexcept {
        if (off) return false;
        out = nullptr;
        if (slots == nullptr) return true;
        for (uint64_t i = hash(size) & mask;; i = (i + 1) & mask) {
            if (slots[i].node == nullptr) return true;
            if (slots[i].size == size) {
                out = slots[i].node;
                return true;
            }
        }
    }
    void insert(uint64_t size, RBNode* node) noexcept {
        if (off) return;
        if ((used + 1) * 2 > mask + 1 && !grow()) {
            release();
            off = true;
            return;
        }
        uint64_t i = hash(size) & mask;
        while (slots[i].node != nullptr) i = (i + 1) & mask;
        slots[i] = Slot{size, node};
        ++used;
    }
    void erase(uint64_t size) noexcept {
        if (off || slots == nullptr) return;
        uint64_t i = hash(size) & mask;
        while (slots[i].node != nullptr && slots[i].size != size) i = (i + 1) & mask;
        if (slots[i].node == nullptr) return;
        // Backward shift: every later slot of the run that may sit at i moves up.
        for (uint64_t j = (i + 1) & mask; slots[j].node != nullptr; j = (j + 1) & mask) {
            const uint64_t home = hash(slots[j].size) & mask;
            // j's entry may fill i when its home is not cyclically within (i, j].
            if (((j - home) & mask) >= ((j - i) & mask)) {
                slots[i] = slots[j];
                i = j;
            }
        }
        slots[i].node = nullptr;
        --used;
    }
    // Empties it (clear(), a collected cycle) and switches it back on.
    void reset() noexcept {
        release();
        off = false;
    }
    void release() noexcept {
        node_free(slots);
        slots = nullptr;
        mask = used = 0;
    }

private:
    bool grow() noexcept {
        const uint64_t capacity = slots == nullptr ? 64 : (mask + 1) * 2;
        auto* fresh = static_cast<Slot*>(node_alloc(capacity * sizeof(Slot)));
        if (fresh == nullptr) return false;
        for (uint64_t i = 0; i < capacity; ++i) fresh[i].node = nullptr;
        const uint64_t new_mask = capacity - 1;
        for (uint64_t i = 0; slots != nullptr && i <= mask; ++i) {
            if (slots[i].node == nullptr) continue;
            uint64_t k = hash(slots[i].size) & new_mask;
            while (fresh[k].node != nullptr) k = (k + 1) & new_mask;
            fresh[k] = slots[i];
        }
        node_free(slots);
        slots = fresh;
        mask = new_mask;
        return true;
    }
};

struct Tree {
    PyObject_HEAD
    std::atomic<RBNode*> root;
    std::atomic<uint64_t> node_count;  // read without a lock by readers (their step bound)
    PyObject* write_lock;
    vn::NativeLock native_write_lock;  // open when write_lock is the interpreter's own lock type
    std::atomic<uint64_t> seq_counter;
    // The thread inside write_lock / stats_lock (0: none): a call that would wait for a lock its
    // own thread holds is refused instead of hanging. Relaxed: a thread only ever compares these
    // with its own identity, which only it stores, and clears them before leaving the lock.
    vn::LockHolder write_holder;
    vn::LockHolder stats_holder;
    uint32_t sample_rate;
    PyObject* operation_counter;  // AtomicCounter or None; read and swapped in the critical section
    PyObject* sampled_counter;    // AtomicCounter or None; read and swapped in the critical section
    int using_atomic;
    PyObject* stats_lock;
    Stats stats;
    vn::Mutex mutex;  // free-threaded builds: node changes against non-seqlock walkers; limbo, epoch
    // Reclamation (see the top of the file). The reader counts sit apart from the hot fields above.
    char padding[64];
    std::atomic<uint64_t> epoch;
    Shard readers[2][kShards];
    RBNode* limbo[2];
    SizeIndex by_size;  // writers only
};

PyTypeObject FastRedBlackTreeType;

inline Tree* as_tree(PyObject* o) noexcept { return reinterpret_cast<Tree*>(o); }

constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr auto kAcquire = std::memory_order_acquire;
constexpr auto kRelease = std::memory_order_release;
constexpr auto kSeqCst = std::memory_order_seq_cst;

// Writer-side access: the writer is alone, so its own loads need no ordering; stores publish.
inline RBNode* L(const RBNode* n) noexcept { return n->left.load(kRelaxed); }
inline RBNode* R(const RBNode* n) noexcept { return n->right.load(kRelaxed); }
inline void set_left(RBNode* n, RBNode* v) noexcept { n->left.store(v, kRelease); }
inline void set_right(RBNode* n, RBNode* v) noexcept { n->right.store(v, kRelease); }
inline uint64_t key(const RBNode* n) noexcept { return n->size.load(kRelaxed); }
inline RBNode* root_of(const Tree* t) noexcept { return t->root.load(kRelaxed); }
inline void set_root(Tree* t, RBNode* v) noexcept { t->root.store(v, kRelease); }
inline bool is_red(const RBNode* n) noexcept { return n != nullptr && n->color == RED; }
inline RBNode* next_of(const RBNode* n) noexcept { return n->next_same_size.load(kRelaxed); }
inline void set_next(RBNode* n, RBNode* v) noexcept { n->next_same_size.store(v, kRelease); }
inline PyObject* block_of(const RBNode* n) noexcept { return n->block_obj.load(kRelaxed); }
inline void set_block(RBNode* n, PyObject* b) noexcept { n->block_obj.store(b, kRelease); }

// =============================================================================================
// Epochs and limbo (the interpreter lock, or the tree's mutex, held for every function here except
// the reader pin)

// Pins the reader to the current epoch for its lifetime; used without any lock.
class ReaderPin {
public:
    explicit ReaderPin(Tree* t) noexcept {
        const unsigned shard = my_shard();
        for (;;) {
            const uint64_t e = t->epoch.load(kSeqCst);
            slot_ = &t->readers[e & 1u][shard].value;
            slot_->fetch_add(1, kSeqCst);
            if (t->epoch.load(kSeqCst) == e) return;
            slot_->fetch_sub(1, kRelease);  // the epoch moved under us: count again in the new one
        }
    }
    ~ReaderPin() { slot_->fetch_sub(1, kRelease); }  // orders this reader's reads before a free
    ReaderPin(const ReaderPin&) = delete;
    ReaderPin& operator=(const ReaderPin&) = delete;

private:
    std::atomic<uint64_t>* slot_ = nullptr;
};

inline bool readers_left(const Tree* t, uint64_t parity) noexcept {
    for (const Shard& x : t->readers[parity & 1u])
        if (x.value.load(kSeqCst) != 0) return true;
    return false;
}

// Frees a chain of retired entries, releasing the block reference each still holds (only on
// free-threaded builds do retired entries hold one). Runs with no lock of the tree held: a release
// may run a finaliser that calls the tree.
void free_retired(RBNode* n) noexcept {
    while (n != nullptr) {
        RBNode* next = n->retired_next;
        PyObject* block = block_of(n);
        node_free(n);
        Py_XDECREF(block);
        n = next;
    }
}

// An entry unlinked from the tree: its links stay intact for readers still inside it, and so does
// the block reference it still holds, if any (released when the entry is reclaimed).
void retire(Tree* t, RBNode* n) noexcept {
    const uint64_t e = t->epoch.load(kRelaxed);  // written only by reclaim, under the same guard
    n->retired_next = t->limbo[e & 1u];
    t->limbo[e & 1u] = n;
}

// An entry leaving the tree (a tree node already unlinked, or a list entry already spliced out),
// with the block reference it holds. Returns the reference the caller releases after its write
// section, or null when the entry keeps it in limbo: with a global interpreter lock a list entry is
// freed at once and a tree node retired without its block; without one both wait in limbo with it.
PyObject* retire_entry(Tree* t, RBNode* n, bool tree_node) noexcept {
    if (kDeferReleases) {
        retire(t, n);
        return nullptr;
    }
    PyObject* block = block_of(n);
    if (tree_node) {
        set_block(n, nullptr);
        retire(t, n);
    } else {
        node_free(n);
    }
    return block;
}

// Advances the epoch (at most twice) while no reader is pinned to the epoch before the current
// one; the entries retired two epochs ago are freed after the guard is left.
void reclaim(Tree* t) noexcept {
    RBNode* freeable = nullptr;
    {
        vn::MutexGuard guard(t->mutex);
        for (int step = 0; step < 2; ++step) {
            if (t->limbo[0] == nullptr && t->limbo[1] == nullptr) break;
            const uint64_t e = t->epoch.load(kSeqCst);
            if (readers_left(t, e + 1)) break;
            RBNode* old = t->limbo[(e + 1) & 1u];
            t->limbo[(e + 1) & 1u] = nullptr;
            if (old != nullptr) {  // splice the chain in front of what is already freeable
                RBNode* last = old;
                while (last->retired_next != nullptr) last = last->retired_next;
                last->retired_next = freeable;
                freeable = old;
            }
            t->epoch.store(e + 1, kSeqCst);
        }
    }
    free_retired(freeable);
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

// The block reference of an entry that no reader can reach any more, after freeing the entry.
inline PyObject* free_entry(RBNode* n) noexcept {
    PyObject* block = block_of(n);
    node_free(n);
    return block;
}

// retire_entry under the tree's mutex (for entries leaving the tree outside a native stretch).
inline PyObject* retire_entry_guarded(Tree* t, RBNode* n, bool tree_node) noexcept {
    vn::MutexGuard guard(t->mutex);
    return retire_entry(t, n, tree_node);
}

// Releases a detached tree (the recursive free of the contract, done iteratively) in post-order:
// for each node, its list entries in order, then the node itself. When readers may still be inside
// (clear), every entry leaves as it does in a write (retire_entry); otherwise entries are freed at
// once. Every step that may run Python code (a block release) comes after the walk has read what
// it needs of the node.
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
        for (RBNode* e = next_of(n); e != nullptr;) {
            RBNode* const e_next = next_of(e);
            Py_XDECREF(readers_possible ? retire_entry_guarded(t, e, false) : free_entry(e));
            e = e_next;
        }
        Py_XDECREF(readers_possible ? retire_entry_guarded(t, n, true) : free_entry(n));
        if (p == nullptr) break;
        n = next;
    }
    PyErr_Restore(et, ev, etb);
}

// =============================================================================================
// The tree's locks and the write section

// The write section: seq_counter odd inside, even again at scope end (also on errors). It opens
// only from an even counter: a second writer inside the section of another (possible only when
// the lock factory made a lock that does not exclude) is refused, so a write section never sees
// the tree change under it while it runs Python code.
class WriteSection {
public:
    explicit WriteSection(Tree* t) noexcept : t_(t), s_(t->seq_counter.load(kRelaxed)) {
        if constexpr (vn::kFreeThreaded) {
            open_ = (s_ & 1u) == 0 && t->seq_counter.compare_exchange_strong(s_, s_ + 1, kRelaxed);
        } else {  // the interpreter lock makes the test and the store one step
            open_ = (s_ & 1u) == 0;
            if (open_) t->seq_counter.store(s_ + 1, kRelaxed);
        }
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
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(exact_int, &overflow);
    if (v == -1 && PyErr_Occurred()) return SizeArg::Error;
    if (overflow < 0 || (overflow == 0 && v < 0)) return SizeArg::Negative;
    if (overflow == 0) {  // the common size: one conversion
        out = static_cast<uint64_t>(v);
        return SizeArg::Ok;
    }
    return vn::to_uint64(exact_int, out) ? SizeArg::Ok : SizeArg::Error;
}

void invalid_size(PyObject* size) { PyErr_Format(PyExc_ValueError, "Invalid size: %S", size); }

// =============================================================================================
// Internal operations

// Allocates a list or tree entry holding `block`. On any failure nothing is left allocated and
// no reference is held.
RBNode* _allocate_node(uint64_t size, PyObject* block) {
    auto* n = static_cast<RBNode*>(node_alloc(sizeof(RBNode)));
    if (n == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate RB node");
        return nullptr;
    }
    n->parent = nullptr;
    new (&n->left) std::atomic<RBNode*>(nullptr);
    new (&n->right) std::atomic<RBNode*>(nullptr);
    new (&n->next_same_size) std::atomic<RBNode*>(nullptr);
    n->color = RED;
    new (&n->size) std::atomic<uint64_t>(size);
    new (&n->block_obj) std::atomic<PyObject*>(block);
    n->insert_time_ns = 0;
    if (!g_perf_counter_ns.call_unread(g_module, n->insert_time_ns)) {
        node_free(n);  // the clock failed: the record is given back, the tree never saw it
        return nullptr;
    }
    Py_INCREF(block);
    return n;
}

// Not called by any method (the sampling decision is part of insert); kept with the record ops.
[[maybe_unused]] bool _should_sample(const Tree* t) noexcept { return t->sample_rate == 1; }

// One of the two sampling counters as a strong reference: clear() replaces them (inside the
// tree's critical section, as this reads them) and releases the old ones.
vn::Ref sampling_counter(Tree* t, PyObject* const& field) {
    vn::CriticalSection cs(reinterpret_cast<PyObject*>(t));
    return vn::Ref::borrow(field);
}

// The native operations that lockless publishes for its AtomicCounter (its `_native_ops` table, in
// the published order), and that exact type, as imported; null when it was not.
struct Counter;  // an AtomicCounter instance, opaque here
struct CounterOps {
    int64_t (*c_load)(Counter*);
    void (*c_store)(Counter*, int64_t);
    int64_t (*c_increment)(Counter*, int64_t);
    int64_t (*c_decrement)(Counter*, int64_t);
    bool (*c_compare_and_swap)(Counter*, int64_t, int64_t);
    int64_t (*c_fetch_and_add)(Counter*, int64_t);
};
PyTypeObject* g_counter_type = nullptr;
const CounterOps* g_counter_ops = nullptr;

// The counter's operations when it is exactly lockless's AtomicCounter (its methods run just these,
// so calling them directly is the same), else null: the object's own Python methods are called.
inline const CounterOps* native_counter(PyObject* counter) noexcept {
    return Py_TYPE(counter) == g_counter_type ? g_counter_ops : nullptr;
}
inline Counter* as_counter(PyObject* o) noexcept { return reinterpret_cast<Counter*>(o); }

bool _record_sample(Tree* t) {
    if (!t->using_atomic) return true;
    vn::Ref counter = sampling_counter(t, t->sampled_counter);  // clear() may replace it
    if (const CounterOps* ops = native_counter(counter.get())) {
        ops->c_increment(as_counter(counter.get()), 1);
        return true;
    }
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

// Reader-side searches, run without any lock and pinned by the caller: acquire link loads and a
// step bound. `complete` is false when the bound was hit (a view torn across write sections).
RBNode* read_find_node(Tree* t, uint64_t size, bool& complete) {
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
    return n;
}

RBNode* read_best_fit_node(Tree* t, uint64_t size, bool& complete) {
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

// Unlinks tree node z (which has no list) and retires it (readers may still be inside it). Returns
// the block reference for the caller to release after its write section, or null (retire_entry).
PyObject* _delete_node(Tree* t, RBNode* z) noexcept {
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
    t->by_size.erase(key(z));
    return retire_entry(t, z, true);
}

uint64_t _compute_height(RBNode* root) {
    uint64_t height = 0;
    walk(root, [&](RBNode*, uint64_t depth) {
        if (depth > height) height = depth;
        return 0;
    });
    return height;
}

// The (size, count) pairs in pre-order are read natively under the tree's mutex, then the dict is
// built outside it.
PyObject* _collect_distribution(Tree* t) {
    struct Pair {
        uint64_t size, count;
    };
    vn::PodVector<Pair> pairs;
    int rc;
    {
        vn::MutexGuard guard(t->mutex);
        rc = walk(root_of(t), [&](RBNode* n, uint64_t) {
            uint64_t count = 1;
            for (RBNode* e = next_of(n); e != nullptr; e = next_of(e)) ++count;
            return pairs.push(Pair{key(n), count}) ? 0 : -1;
        });
    }
    if (rc != 0) return nullptr;
    vn::Ref dist = vn::Ref::steal(PyDict_New());
    if (!dist) return nullptr;
    for (size_t i = 0; i < pairs.size(); ++i) {
        vn::Ref k = vn::Ref::steal(PyLong_FromUnsignedLongLong(pairs[i].size));
        vn::Ref v = vn::Ref::steal(PyLong_FromUnsignedLongLong(pairs[i].count));
        if (!k || !v || PyDict_SetItem(dist.get(), k.get(), v.get()) != 0) return nullptr;
    }
    return dist.release();
}

void removed_one(Tree* t) noexcept {
    t->node_count.store(t->node_count.load(kRelaxed) - 1, kRelaxed);
    bump(t->stats.total_blocks, -1);
    bump(t->stats.total_deletions, 1);
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
    vn::Ref time_mod = vn::Ref::steal(vn::module_global(g_module, n_time));
    return time_mod && vn::call_method_void(time_mod.get(), n_sleep, g_backoff);
}

// Drops a reference taken out of the tree without disturbing an exception being raised.
void release_block(PyObject* obj) {
    if (obj == nullptr) return;
    if constexpr (!vn::kFreeThreaded) {
        if (Py_REFCNT(obj) > 1) {  // with the interpreter lock held this release frees nothing
            Py_DECREF(obj);
            return;
        }
    }
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
    vn::Ref cls = vn::Ref::steal(vn::module_global(g_module, n_AtomicCounter));
    return cls ? vn::call(cls.get(), g_zero) : nullptr;
}

PyObject* FastRedBlackTree_new(PyTypeObject* type, vn::arg::U32 sample_rate) {
    vn::Ref self = vn::Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    Tree* t = as_tree(self.get());
    new (&t->root) std::atomic<RBNode*>(nullptr);
    new (&t->node_count) std::atomic<uint64_t>(0);
    new (&t->seq_counter) std::atomic<uint64_t>(0);
    new (&t->write_holder) vn::LockHolder(0);
    new (&t->stats_holder) vn::LockHolder(0);
    new (&t->epoch) std::atomic<uint64_t>(0);
    for (auto& parity : t->readers)
        for (Shard& x : parity) new (&x.value) std::atomic<uint64_t>(0);
    new (&t->mutex) vn::Mutex();
    new (&t->native_write_lock) vn::NativeLock();
    t->limbo[0] = t->limbo[1] = nullptr;
    t->by_size.init();
    t->write_lock = vn::none();
    t->operation_counter = vn::none();
    t->sampled_counter = vn::none();
    t->stats_lock = vn::none();
    t->stats.init();
    t->using_atomic = 0;

    vn::Ref threading = vn::Ref::steal(vn::module_global(g_module, n_threading));
    if (!threading) return nullptr;
    PyObject* lock = vn::new_lock(threading.get());
    if (lock == nullptr) return nullptr;
    Py_SETREF(t->write_lock, lock);
    if (vn::is_interpreter_lock(lock) && !t->native_write_lock.open()) return nullptr;
    t->sample_rate = sample_rate;

    vn::Ref available = vn::Ref::steal(vn::module_global(g_module, n_ATOMIC_AVAILABLE));
    if (!available) return nullptr;
    int use = PyObject_IsTrue(available.get());
    if (use < 0) return nullptr;
    if (use) {
        vn::Ref cls = vn::Ref::steal(vn::module_global(g_module, n_AtomicCounter));
        if (!cls) return nullptr;
        use = PyObject_IsTrue(cls.get());
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
    lock = vn::new_lock(threading.get());
    if (lock == nullptr) return nullptr;
    Py_SETREF(t->stats_lock, lock);
    return self.release();
}

int FastRedBlackTree_traverse(PyObject* self, visitproc visit, void* arg) {
    Tree* t = as_tree(self);
    Py_VISIT(t->write_lock);
    Py_VISIT(t->operation_counter);
    Py_VISIT(t->sampled_counter);
    Py_VISIT(t->stats_lock);
    return walk(root_of(t), [&](RBNode* n, uint64_t) {
        for (RBNode* e = n; e != nullptr; e = next_of(e)) Py_VISIT(block_of(e));
        return 0;
    });
}

// Garbage collection of a cycle through a stored block: the tree is unreachable, so no reader can
// be inside it; every entry is released at once. The tree itself stays usable (and empty). (The
// slot's name says tp_: FastRedBlackTree_clear is the Python method clear().)
int FastRedBlackTree_tp_clear(PyObject* self) {
    Tree* t = as_tree(self);
    RBNode* root = root_of(t);
    set_root(t, nullptr);
    t->node_count.store(0, kRelaxed);
    t->stats.total_blocks.store(0, kRelaxed);
    t->by_size.reset();
    release_detached(t, root, false);
    return 0;
}

void FastRedBlackTree_dealloc(PyObject* self) {
    vn::dealloc_tracked(self, FastRedBlackTree_dealloc, [self] {
        Tree* t = as_tree(self);
        RBNode* root = root_of(t);
        set_root(t, nullptr);
        t->by_size.release();
        release_detached(t, root, false);  // no reader can hold a reference to a dying tree
        free_retired(t->limbo[0]);
        free_retired(t->limbo[1]);
        t->limbo[0] = t->limbo[1] = nullptr;
        Py_CLEAR(t->write_lock);
        t->native_write_lock.close();
        Py_CLEAR(t->operation_counter);
        Py_CLEAR(t->sampled_counter);
        Py_CLEAR(t->stats_lock);
        vn::free_instance(self);
    });
}

// =============================================================================================
// Python methods: writers

PyObject* FastRedBlackTree_sanitize_size(PyObject*, const vn::arg::PyInt& size) {
    bool negative;
    if (!is_negative(size.get(), negative)) return nullptr;
    if (negative) {
        invalid_size(size.get());
        return nullptr;
    }
    return vn::new_ref(size.get());
}

void link_entry(Tree* t, RBNode* fresh, uint64_t c_size) noexcept;

bool insert_locked(Tree* t, uint64_t c_size, PyObject* block, bool sample) {
    // The entry is allocated first: it reads the clock (Python code), and nothing found in the
    // tree is kept across that.
    RBNode* fresh = _allocate_node(c_size, block);
    if (fresh == nullptr) return false;
    {
        vn::MutexGuard guard(t->mutex);
        link_entry(t, fresh, c_size);
    }
    if (sample && t->using_atomic) return _record_sample(t);
    return true;
}

// Links a new entry (a native stretch: no Python code runs here).
void link_entry(Tree* t, RBNode* fresh, uint64_t c_size) noexcept {
    // A size already stored is found in the writers' index; otherwise one descent ends at the
    // node of this size or at the leaf position a new node takes.
    RBNode* parent = nullptr;
    RBNode* n = nullptr;
    bool left = false;
    if (!t->by_size.find(c_size, n) || n == nullptr) n = root_of(t);
    while (n != nullptr && key(n) != c_size) {
        parent = n;
        left = c_size < key(n);
        n = left ? L(n) : R(n);
    }
    if (n != nullptr) {  // the size is there: the entry joins its list, right after the head
        set_next(fresh, next_of(n));
        set_next(n, fresh);
    } else {
        if (parent == nullptr) {
            fresh->color = BLACK;
            set_root(t, fresh);
        } else {
            fresh->parent = parent;
            if (left) {
                set_left(parent, fresh);
            } else {
                set_right(parent, fresh);
            }
            _fixup_insert(t, fresh);
        }
        t->by_size.insert(c_size, fresh);
    }
    t->node_count.store(t->node_count.load(kRelaxed) + 1, kRelaxed);
    bump(t->stats.total_blocks, 1);
    bump(t->stats.total_insertions, 1);
    bump(t->stats.operation_count, 1);
}

PyObject* FastRedBlackTree_insert(PyObject* self, const vn::arg::PyInt& size, vn::arg::Object block) {
    Tree* t = as_tree(self);
    uint64_t c_size;
    switch (sanitize_to_uint64(size.get(), c_size)) {
        case SizeArg::Ok: break;
        case SizeArg::Negative: invalid_size(size.get()); return nullptr;
        case SizeArg::Error: return nullptr;
    }
    bool sample = false;
    if (t->using_atomic) {
        vn::Ref counter = sampling_counter(t, t->operation_counter);  // clear() may replace it
        if (const CounterOps* ops = native_counter(counter.get())) {
            const int64_t op = ops->c_increment(as_counter(counter.get()), 1);
            // Python's `op % rate == 0`: the floored remainder is zero exactly when the truncated one is.
            sample = t->sample_rate != 0 && op % static_cast<int64_t>(t->sample_rate) == 0;
        } else {
            vn::Ref op = vn::Ref::steal(vn::call_method(counter.get(), n_increment));
            if (!op) return nullptr;
            if (t->sample_rate != 0 && !is_multiple(op.get(), t->sample_rate, sample)) return nullptr;
        }
    }
    bool ok;
    {
        vn::OwnedLockSection lock(t->write_lock, t->write_holder, "FastRedBlackTree.insert", "tree", "write_lock",
                                  &t->native_write_lock);
        if (!lock.ok()) return nullptr;
        WriteSection section(t);
        ok = section.ok() && insert_locked(t, c_size, block, sample);
    }
    return section_ok(ok) ? vn::new_ref(Py_True) : nullptr;
}

// The block class as imported, with the two functions its equality runs (a class changed later
// no longer matches them).
PyTypeObject* g_block_type = nullptr;
PyObject* g_block_eq = nullptr;
PyObject* g_block_key = nullptr;
vn::Name n_eq{"__eq__"}, n_key{"_key"};

// Whether `o == o` is known to be true without running anything observable: the default equality
// (identity), or the block class's own, unchanged equality (it compares a tuple of the block's
// fields, and a tuple equals itself).
bool known_reflexive_type(PyTypeObject* type) noexcept {
    if (type->tp_richcompare == PyBaseObject_Type.tp_richcompare) return true;
    if (type != g_block_type) return false;
    PyObject* eq = n_eq.get();
    PyObject* k = n_key.get();
    return eq != nullptr && k != nullptr && _PyType_Lookup(type, eq) == g_block_eq &&
           _PyType_Lookup(type, k) == g_block_key;  // identity only: nothing is dereferenced
}

bool known_reflexive(PyObject* o) noexcept { return known_reflexive_type(Py_TYPE(o)); }

// The block class's three fields in the order its _key() tuple holds them, as their slot
// descriptors were at import.
vn::Name n_block_fields[3] = {{"_pool_id"}, {"_offset"}, {"_size"}};
PyObject* g_block_field[3] = {nullptr, nullptr, nullptr};
// Where those slots sit in a block (object slots that raise AttributeError when unset); 0 when
// the descriptors are of another kind.
Py_ssize_t g_block_field_offset[3] = {0, 0, 0};
#ifdef Py_T_OBJECT_EX
constexpr int kObjectSlot = Py_T_OBJECT_EX;
#else
constexpr int kObjectSlot = T_OBJECT_EX;
#endif

// Whether `type` is the block class with its equality, its key and its fields as imported, read
// the default way: then `a == b` of two such blocks is `a._key() == b._key()`, a comparison of two
// 3-tuples, which this module can make itself.
bool plain_block_type(PyTypeObject* type) noexcept {
    if (type != g_block_type || g_block_field[2] == nullptr || type->tp_getattro != PyObject_GenericGetAttr ||
        !known_reflexive_type(type))
        return false;
    for (int i = 0; i < 3; ++i) {
        PyObject* name = n_block_fields[i].get();
        if (name == nullptr || _PyType_Lookup(type, name) != g_block_field[i]) return false;  // identity only
    }
    return true;
}

// The key fields of the block a walk looks for, read once for all of the walk's comparisons
// (reading a slot runs nothing, so when it is read cannot be told).
struct GivenBlock {
    explicit GivenBlock(PyObject* b) noexcept : block(b) {}
    PyObject* block;
    int fetched = 0;  // 1 read, -1 a field is unset
    vn::Ref fields[3];
};

// Reads the three key fields of a plain block; false (nothing set) when one is unset.
bool read_key_fields(PyObject* block, vn::Ref (&fields)[3]) {
    for (int i = 0; i < 3; ++i) {
        PyObject* descr = g_block_field[i];
        fields[i] = vn::Ref::steal(Py_TYPE(descr)->tp_descr_get(descr, block, nullptr));
        if (!fields[i]) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

inline PyObject* block_slot(PyObject* block, int i) noexcept {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(block) + g_block_field_offset[i]);
}

// plain_blocks_equal with the interpreter lock held, reading the slots where they are: a stored
// block's fields are touched only as far as the comparison goes (on a cold walk each one is a
// cache miss), and a pair of exact ints is compared without references, as that comparison runs
// nothing. Before a comparison that may run Python code (which could rebind the slots) the fields
// still to compare are held, as the key tuples hold them.
int plain_blocks_equal_in_place(PyObject* stored, PyObject* given) {
    PyObject* a[3];
    PyObject* b[3];
    for (int i = 0; i < 3; ++i) {
        a[i] = block_slot(stored, i);
        b[i] = block_slot(given, i);
        if (a[i] == nullptr || b[i] == nullptr) return -2;  // _key() raises: the Python comparison runs
    }
    for (int i = 0; i < 3; ++i) {
        if (a[i] == b[i]) continue;  // the comparison's identity test
        if (!PyLong_CheckExact(a[i]) || !PyLong_CheckExact(b[i])) {
            vn::Ref held[2][3];
            for (int k = i; k < 3; ++k) {
                held[0][k] = vn::Ref::borrow(a[k]);
                held[1][k] = vn::Ref::borrow(b[k]);
            }
            for (int k = i; k < 3; ++k) {
                const int eq = PyObject_RichCompareBool(held[0][k].get(), held[1][k].get(), Py_EQ);
                if (eq <= 0) return eq;
            }
            return 1;
        }
        const int eq = PyObject_RichCompareBool(a[i], b[i], Py_EQ);
        if (eq <= 0) return eq;
    }
    return 1;
}

// `stored == given` for two plain blocks (plain_block_type), as the tuple comparison of their
// keys runs it: the items compared in order with `==` (identity first), stopping at the first
// unequal pair. 1 / 0, -1 with an error set, or -2 with nothing set when a field is unset: the
// Python comparison then runs and raises as it does.
int plain_blocks_equal(PyObject* stored, GivenBlock& given) {
    if constexpr (!vn::kFreeThreaded) {
        if (g_block_field_offset[0] != 0) return plain_blocks_equal_in_place(stored, given.block);
    }
    vn::Ref fields[3];
    if (!read_key_fields(stored, fields)) return -2;
    if (given.fetched == 0) given.fetched = read_key_fields(given.block, given.fields) ? 1 : -1;
    if (given.fetched < 0) return -2;
    for (int i = 0; i < 3; ++i) {
        int eq = PyObject_RichCompareBool(fields[i].get(), given.fields[i].get(), Py_EQ);
        if (eq <= 0) return eq;
    }
    return 1;
}

// Python equality of a stored block with the given one: the truth value of `==`. The very object
// stored is matched without the call where the call cannot be told apart from not calling it, and
// two plain blocks are compared by their fields, as their __eq__ would.
int blocks_equal(PyObject* stored, GivenBlock& given) {
    if (stored == given.block && known_reflexive(stored)) return 1;
    vn::Ref keep = vn::Ref::borrow(stored);
    if (Py_TYPE(given.block) == Py_TYPE(stored) && plain_block_type(Py_TYPE(stored))) {
        int eq = plain_blocks_equal(stored, given);
        if (eq != -2) return eq;
    }
    vn::Ref r = vn::Ref::steal(PyObject_RichCompare(stored, given.block, Py_EQ));
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

// Takes a head node's block out of the tree, keeping the node: the first list entry's block moves
// up to the head (with its insertion time when `move_time`), and the entry leaves the tree
// carrying the head's old block reference. Returns what retire_entry returns for that entry.
PyObject* replace_head(Tree* t, RBNode* node, RBNode* first, bool move_time) noexcept {
    PyObject* const head_block = block_of(node);
    set_next(node, next_of(first));
    set_block(node, block_of(first));
    if (move_time) node->insert_time_ns = first->insert_time_ns;
    set_block(first, head_block);
    return retire_entry(t, first, false);
}

// A walk of a same-size list compares each entry's block, which is one or two cache misses away:
// the next entry is asked for meanwhile, so the misses of two entries overlap.
inline void prefetch_next(const RBNode* n) noexcept {
    if (const RBNode* ahead = next_of(n)) __builtin_prefetch(ahead);
}

// Returns 1 removed, 0 not found, -1 error (nothing unlinked). `released` receives the block
// reference to drop once the section has ended (null when it waits in limbo).
int delete_locked(Tree* t, uint64_t c_size, PyObject* block, PyObject*& released) {
    RBNode* node;
    {
        vn::MutexGuard guard(t->mutex);
        if (!t->by_size.find(c_size, node)) node = _find_node(t, c_size);
    }
    if (node == nullptr) return 0;
    GivenBlock given(block);
    prefetch_next(node);
    int eq = blocks_equal(block_of(node), given);
    if (eq < 0) return -1;
    if (eq) {
        vn::MutexGuard guard(t->mutex);
        RBNode* first = next_of(node);
        released = first != nullptr ? replace_head(t, node, first, true) : _delete_node(t, node);
        removed_one(t);
        return 1;
    }
    RBNode* prev = node;
    RBNode* e = next_of(node);
    for (; e != nullptr; prev = e, e = next_of(e)) {
        prefetch_next(e);
        eq = blocks_equal(block_of(e), given);
        if (eq < 0) return -1;
        if (eq) break;
    }
    if (e == nullptr) return 0;
    vn::MutexGuard guard(t->mutex);
    set_next(prev, next_of(e));
    released = retire_entry(t, e, false);
    removed_one(t);
    return 1;
}

PyObject* FastRedBlackTree_delete(PyObject* self, const vn::arg::PyInt& size, vn::arg::Object block) {
    Tree* t = as_tree(self);
    uint64_t c_size;
    switch (sanitize_to_uint64(size.get(), c_size)) {
        case SizeArg::Ok: break;
        case SizeArg::Negative: return vn::new_ref(Py_False);
        case SizeArg::Error: return nullptr;
    }
    int result;
    PyObject* released = nullptr;
    {
        vn::OwnedLockSection lock(t->write_lock, t->write_holder, "FastRedBlackTree.delete", "tree", "write_lock",
                                  &t->native_write_lock);
        if (!lock.ok()) return nullptr;
        WriteSection section(t);
        result = section.ok() ? delete_locked(t, c_size, block, released) : -1;
    }
    // The section has ended and write_lock is free: a finaliser may call the tree.
    reclaim(t);
    release_block(released);
    if (!section_ok(result >= 0)) return nullptr;
    return vn::boolean(result == 1);
}

PyObject* FastRedBlackTree_remove_ge(PyObject* self, const vn::arg::PyInt& size) {
    Tree* t = as_tree(self);
    uint64_t c_size;
    switch (sanitize_to_uint64(size.get(), c_size)) {
        case SizeArg::Ok: break;
        case SizeArg::Negative: return Py_BuildValue("(OO)", Py_None, Py_None);
        case SizeArg::Error: return nullptr;
    }
    RBNode* node;
    uint64_t actual_size = 0;
    vn::Ref block;                 // the caller's reference
    PyObject* released = nullptr;  // the tree's reference, to drop after the section (or in limbo)
    {
        vn::OwnedLockSection lock(t->write_lock, t->write_holder, "FastRedBlackTree.remove_ge", "tree", "write_lock",
                                  &t->native_write_lock);
        if (!lock.ok()) return nullptr;
        WriteSection section(t);
        if (!section.ok()) return nullptr;
        // The search keeps the interpreter lock, like every other write section: releasing it for
        // these few hundred nanoseconds let waiting readers run exactly while the counter is odd,
        // so under one busy writer most reads ran out of retries and reported "not found".
        vn::MutexGuard guard(t->mutex);
        node = _find_best_fit_node(t, c_size);
        if (node != nullptr) {
            actual_size = key(node);
            block = vn::Ref::borrow(block_of(node));
            RBNode* first = next_of(node);
            // insert_time_ns of the head stays as it was.
            released = first != nullptr ? replace_head(t, node, first, false) : _delete_node(t, node);
            removed_one(t);
        }
    }
    reclaim(t);
    release_block(released);
    if (!section_ok(true)) return nullptr;
    if (node == nullptr) return Py_BuildValue("(OO)", Py_None, Py_None);
    vn::Ref size_obj = vn::Ref::steal(PyLong_FromUnsignedLongLong(actual_size));
    if (!size_obj) return nullptr;
    return PyTuple_Pack(2, size_obj.get(), block.get());
}

PyObject* FastRedBlackTree_clear(PyObject* self) {
    Tree* t = as_tree(self);
    RBNode* detached = nullptr;
    vn::Ref old_op, old_sampled;
    bool ok = true;
    {
        vn::OwnedLockSection lock(t->write_lock, t->write_holder, "FastRedBlackTree.clear", "tree", "write_lock",
                                  &t->native_write_lock);
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
            {
                vn::MutexGuard guard(t->mutex);
                detached = root_of(t);
                set_root(t, nullptr);
                t->by_size.reset();
                t->node_count.store(0, kRelaxed);
                t->stats.reset();
            }
            if (t->using_atomic) {
                vn::CriticalSection cs(self);  // sampling_counter() reads them there
                old_op = vn::Ref::steal(t->operation_counter);
                old_sampled = vn::Ref::steal(t->sampled_counter);
                t->operation_counter = op.release();
                t->sampled_counter = sampled.release();
            }
        }
    }
    // After the section: the entries leave (their blocks are released: finalisers may call the tree).
    release_detached(t, detached, true);
    reclaim(t);
    return section_ok(ok) ? vn::none() : nullptr;
}

// =============================================================================================
// Python methods: lock-free readers

// The seqlock read of both searches. `search(complete)` runs pinned and without the tree's locks;
// then `take(found, retry)` makes the result (a new reference, or null with an exception set;
// `retry` set when the view it walked was torn). With a global interpreter lock the search runs
// with it held and `take` runs after the check: no write section can be open then, so `found` is
// live. Without one, `take` runs still pinned, before the check, on entries and blocks that cannot
// be freed while the pin lasts, and its result is dropped if the check fails.
template <typename Search, typename Take>
PyObject* read_validated(Tree* t, Search&& search, Take&& take, PyObject* (*exhausted)()) {
    for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
        const uint64_t seq_start = t->seq_counter.load(kAcquire);
        if (seq_start & 1u) {
            if (!back_off()) return nullptr;
            continue;
        }
        bool complete, retry = false;
        if constexpr (kDeferReleases) {
            vn::Ref result;
            bool valid = false;
            {
                ReaderPin pin(t);
                RBNode* found = search(complete);
                if (complete) {
                    result = vn::Ref::steal(take(found, retry));
                    if (!result && !retry) return nullptr;
                    // Orders every load above before the counter is read again.
                    std::atomic_thread_fence(kAcquire);
                    valid = !retry && t->seq_counter.load(kRelaxed) == seq_start;
                }
            }
            if (valid) {
                t->stats.total_searches.add(1);
                return result.release();
            }
        } else {
            RBNode* found;
            {
                // The search keeps the interpreter lock: it lasts a few hundred nanoseconds, and
                // releasing the lock for it handed the lock to a busy writer thread for up to the
                // interpreter's switch interval at every read (25x fewer reads than the
                // lock-guarded twin). Holding it, no write section can change the tree meanwhile;
                // the counter check still catches a search begun while one ran Python code.
                ReaderPin pin(t);
                found = search(complete);
                std::atomic_thread_fence(kAcquire);
            }
            // Ordered after the search by the fence (and by re-taking the interpreter lock).
            if (complete && t->seq_counter.load(kRelaxed) == seq_start) {
                PyObject* result = take(found, retry);
                if (result == nullptr && retry) continue;
                if (result != nullptr) t->stats.total_searches.add(1);
                return result;
            }
        }
    }
    return exhausted();  // retries exhausted: indistinguishable from "not found"
}

PyObject* FastRedBlackTree_find_best_fit(PyObject* self, const vn::arg::PyInt& size,
                                         const vn::arg::PyInt& /*alignment: accepted, not used*/) {
    Tree* t = as_tree(self);
    uint64_t c_size;
    switch (sanitize_to_uint64(size.get(), c_size)) {
        case SizeArg::Ok: break;
        case SizeArg::Negative: return vn::none();
        case SizeArg::Error: return nullptr;
    }
    return read_validated(
        t, [&](bool& complete) { return read_best_fit_node(t, c_size, complete); },
        [](RBNode* found, bool&) { return vn::new_ref(found != nullptr ? found->block_obj.load(kAcquire) : Py_None); },
        vn::none);
}

// References to the blocks of a node's entries (head, then list order), taken before anything
// that could run Python code, then the list. Walks at most node_count + 1 entries: a longer walk
// means the view was torn (`retry`).
PyObject* collect_blocks(Tree* t, RBNode* node, bool& retry) {
    vn::RefVector refs;
    uint64_t steps_left = t->node_count.load(kRelaxed) + 1;
    for (RBNode* e = node; e != nullptr; e = e->next_same_size.load(kAcquire)) {
        if (--steps_left == 0) {
            retry = true;
            return nullptr;
        }
        if (!refs.push(e->block_obj.load(kAcquire))) return nullptr;
    }
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(refs.size()));
    if (list == nullptr) return nullptr;
    for (size_t i = 0; i < refs.size(); ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), vn::new_ref(refs[i]));
    return list;
}

PyObject* FastRedBlackTree_find_all_exact(PyObject* self, const vn::arg::PyInt& size) {
    Tree* t = as_tree(self);
    uint64_t c_size;
    switch (sanitize_to_uint64(size.get(), c_size)) {
        case SizeArg::Ok: break;
        case SizeArg::Negative: return PyList_New(0);
        case SizeArg::Error: return nullptr;
    }
    // Validated before the list is used: an entry of a failed attempt may be freed.
    return read_validated(
        t, [&](bool& complete) { return read_find_node(t, c_size, complete); },
        [t](RBNode* found, bool& retry) { return found != nullptr ? collect_blocks(t, found, retry) : PyList_New(0); },
        []() { return PyList_New(0); });
}

// =============================================================================================
// Python methods: sizes, statistics, protocol

PyObject* FastRedBlackTree_size(PyObject* self) {
    return PyLong_FromUnsignedLongLong(as_tree(self)->node_count.load(kRelaxed));
}

Py_ssize_t FastRedBlackTree_len(PyObject* self) {
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

int FastRedBlackTree_bool(PyObject* self) {
    vn::Ref r = vn::Ref::steal(vn::call_method(self, n_size));
    if (!r) return -1;
    vn::Ref gt = vn::Ref::steal(PyObject_RichCompare(r.get(), g_zero, Py_GT));
    if (!gt) return -1;
    return PyObject_IsTrue(gt.get());
}

PyObject* FastRedBlackTree_repr(PyObject* self) {
    return PyUnicode_FromFormat("FastRedBlackTree(blocks=%llu, native=True)",
                                static_cast<unsigned long long>(as_tree(self)->node_count.load(kRelaxed)));
}

PyObject* FastRedBlackTree_get_stats(PyObject* self) {
    Tree* t = as_tree(self);
    vn::OwnedLockSection lock(t->stats_lock, t->stats_holder, "FastRedBlackTree.get_stats", "tree", "stats_lock");
    if (!lock.ok()) return nullptr;
    const Stats& s = t->stats;
    auto count = [](const std::atomic<uint64_t>& f) { return PyLong_FromUnsignedLongLong(f.load(kRelaxed)); };
    static vn::Names keys{"total_blocks", "total_insertions", "total_deletions", "total_searches",
                          "bucket_hits",  "tree_hits",        "operation_count"};
    vn::Ref d =
        vn::Ref::steal(vn::make_dict(keys, count(s.total_blocks), count(s.total_insertions), count(s.total_deletions),
                                     PyLong_FromUnsignedLongLong(s.total_searches.sum()), count(s.bucket_hits),
                                     count(s.tree_hits), count(s.operation_count)));
    if (!d) return nullptr;
    if (s.has_trips.load(kRelaxed) && !vn::dict_set(d.get(), n_circuit_breaker_trips, PyLong_FromLong(0)))
        return nullptr;
    uint64_t height;
    {
        vn::MutexGuard guard(t->mutex);
        height = _compute_height(root_of(t));
    }
    if (!vn::dict_set(d.get(), n_node_count, PyLong_FromUnsignedLongLong(t->node_count.load(kRelaxed))) ||
        !vn::dict_set(d.get(), n_height, PyLong_FromUnsignedLongLong(height)))
        return nullptr;
    vn::Ref counter = sampling_counter(t, t->sampled_counter);  // clear() may replace it
    PyObject* sampled = !t->using_atomic ? PyLong_FromLong(0)
                        : native_counter(counter.get())
                            ? PyLong_FromLongLong(g_counter_ops->c_load(as_counter(counter.get())))
                            : vn::call_method(counter.get(), n_load);
    if (!vn::dict_set(d.get(), n_sampled_operations, sampled) ||
        !vn::dict_set(d.get(), n_is_valid, vn::new_ref(Py_True)))
        return nullptr;
    if (!lock.leave()) return nullptr;
    return d.release();
}

PyObject* FastRedBlackTree_get_statistics(PyObject*) { return PyDict_New(); }

PyObject* FastRedBlackTree_get_size_distribution(PyObject* self) {
    Tree* t = as_tree(self);
    vn::Ref dist;
    {
        vn::OwnedLockSection lock(t->write_lock, t->write_holder, "FastRedBlackTree.get_size_distribution", "tree",
                                  "write_lock", &t->native_write_lock);  // no section
        if (!lock.ok()) return nullptr;
        dist = vn::Ref::steal(_collect_distribution(t));
    }
    return section_ok(static_cast<bool>(dist)) ? dist.release() : nullptr;
}

PyObject* FastRedBlackTree_reset_circuit_breaker(PyObject* self) {
    Tree* t = as_tree(self);
    vn::OwnedLockSection lock(t->stats_lock, t->stats_holder, "FastRedBlackTree.reset_circuit_breaker", "tree",
                              "stats_lock");
    if (!lock.ok()) return nullptr;
    t->stats.has_trips.store(true, kRelaxed);
    t->stats.operation_count.store(0, kRelaxed);
    if (!lock.leave()) return nullptr;
    return vn::none();
}

// =============================================================================================
// Tables and initialisation

const char* const kFastRedBlackTreeDoc =
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
        {"insert",
         vn::method<FastRedBlackTree_insert>,
         {{"size", "int"}, {"block", "MemoryBlock"}},
         "bool",
         "Insert block into tree.\n\nSingle-writer operation with seqlock coordination."},
        {"delete",
         vn::method<FastRedBlackTree_delete>,
         {{"size", "int"}, {"block", "MemoryBlock"}},
         "bool",
         "Delete specific block.\n\nSingle-writer operation."},
        {"remove_ge",
         vn::method<FastRedBlackTree_remove_ge>,
         {{"size", "int"}},
         "Tuple[Optional[int], Optional[MemoryBlock]]",
         "Remove and return best-fit block >= size."},
        {"clear", vn::method<FastRedBlackTree_clear>, {}, nullptr, "Clear all blocks."},
        {"find_best_fit",
         vn::method<FastRedBlackTree_find_best_fit>,
         {{"size", "int"}, {"alignment", "int", "1"}},
         "Optional[MemoryBlock]",
         kFindBestFitDoc},
        {"find_all_exact",
         vn::method<FastRedBlackTree_find_all_exact>,
         {{"size", "int"}},
         "List[MemoryBlock]",
         "Find all blocks of exact size (lock-free read)."},
        {"size", vn::method<FastRedBlackTree_size>, {}, "int", "Get total block count."},
        {"get_stats", vn::method<FastRedBlackTree_get_stats>, {}, "Dict[str, Any]", "Get tree statistics."},
        {"get_statistics",
         vn::method<FastRedBlackTree_get_statistics>,
         {},
         "Dict[int, List[float]]",
         "Get timing statistics (empty for sampling mode)."},
        {"get_size_distribution",
         vn::method<FastRedBlackTree_get_size_distribution>,
         {},
         "Dict[int, int]",
         "Get size distribution."},
        {"reset_circuit_breaker",
         vn::method<FastRedBlackTree_reset_circuit_breaker>,
         {},
         nullptr,
         "Reset circuit breaker stats."},
    };
}

PySequenceMethods g_tree_as_sequence;
PyNumberMethods g_tree_as_number;

int fitindex_exec(PyObject* module) {
    g_module = module;
    g_backoff = PyFloat_FromDouble(kBackoffSeconds);
    g_zero = PyLong_FromLong(0);
    if (g_backoff == nullptr || g_zero == nullptr) return -1;

    // 1. Standard modules; typing names are used only in annotations.
    if (!vn::import_into(module, "threading") || !vn::import_into(module, "time") || !vn::import_into(module, "math") ||
        !vn::import_names_into(module, "typing", {"List", "Dict", "Optional", "Tuple", "Any"}) ||
        !g_perf_counter_ns.capture(module))
        return -1;
    // 2. The outside block class; its absence fails the import.
    if (!vn::import_names_into(module, "velmora.memory.memory_block", {"MemoryBlock"})) return -1;
    {
        vn::Ref block_class = vn::Ref::steal(PyObject_GetAttrString(module, "MemoryBlock"));
        if (!block_class) return -1;
        if (PyType_Check(block_class.get())) {  // kept for the life of the process
            g_block_type = reinterpret_cast<PyTypeObject*>(block_class.get());
            g_block_eq = _PyType_Lookup(g_block_type, n_eq.get());
            g_block_key = _PyType_Lookup(g_block_type, n_key.get());
            Py_INCREF(g_block_type);
            Py_XINCREF(g_block_eq);
            Py_XINCREF(g_block_key);
            // Slot descriptors of the fields, when the class stores them so (kept for the process).
            bool slots = true;
            PyObject* found[3];
            for (int i = 0; i < 3; ++i) {
                PyObject* name = n_block_fields[i].get();
                if (name == nullptr) return -1;
                found[i] = _PyType_Lookup(g_block_type, name);
                slots = slots && found[i] != nullptr && Py_TYPE(found[i]) == &PyMemberDescr_Type;
            }
            for (int i = 0; slots && i < 3; ++i) g_block_field[i] = vn::new_ref(found[i]);
            bool in_place = slots;
            for (int i = 0; in_place && i < 3; ++i) {
                const PyMemberDef* m = reinterpret_cast<PyMemberDescrObject*>(found[i])->d_member;
                in_place = m->type == kObjectSlot && m->offset > 0;
            }
            for (int i = 0; in_place && i < 3; ++i)
                g_block_field_offset[i] = reinterpret_cast<PyMemberDescrObject*>(found[i])->d_member->offset;
        }
    }
    // 3. Operation counting, optional.
    bool atomic = vn::import_names_into(module, "velmora.memory.lockless", {"AtomicCounter"});
    if (!atomic) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return -1;
        PyErr_Clear();
        if (PyModule_AddObject(module, "AtomicCounter", vn::none()) < 0) return -1;
    }
    if (PyModule_AddObject(module, "ATOMIC_AVAILABLE", vn::boolean(atomic)) < 0) return -1;
    if (atomic) {
        vn::Ref cls = vn::Ref::steal(PyObject_GetAttrString(module, "AtomicCounter"));
        if (!cls) return -1;
        vn::Ref ops;
        static vn::Name n_native_ops{"_native_ops"};
        if (!vn::getattr_optional(cls.get(), n_native_ops, ops)) return -1;
        void* table = ops && PyCapsule_CheckExact(ops.get())
                          ? PyCapsule_GetPointer(ops.get(), "velmora.memory.lockless.AtomicCounter._native_ops")
                          : nullptr;
        if (table == nullptr) {
            PyErr_Clear();  // no table (an AtomicCounter of another make): the Python methods serve
        } else if (PyType_Check(cls.get())) {
            g_counter_type = reinterpret_cast<PyTypeObject*>(cls.release());  // kept for the process
            g_counter_ops = static_cast<const CounterOps*>(table);
        }
    }

    // 4. The type, with _sanitize_size as a static method.
    vn::init_type(FastRedBlackTreeType, "velmora.memory.fitindex.FastRedBlackTree", sizeof(Tree), kFastRedBlackTreeDoc,
                  Py_TPFLAGS_HAVE_GC);
    FastRedBlackTreeType.tp_dealloc = FastRedBlackTree_dealloc;
    FastRedBlackTreeType.tp_traverse = FastRedBlackTree_traverse;
    FastRedBlackTreeType.tp_clear = FastRedBlackTree_tp_clear;
    FastRedBlackTreeType.tp_repr = FastRedBlackTree_repr;
    g_tree_as_sequence.sq_length = FastRedBlackTree_len;
    g_tree_as_number.nb_bool = FastRedBlackTree_bool;
    FastRedBlackTreeType.tp_as_sequence = &g_tree_as_sequence;
    FastRedBlackTreeType.tp_as_number = &g_tree_as_number;
    if (!vn::ready_type(module, FastRedBlackTreeType,
                        vn::constructor<FastRedBlackTree_new>({{"sample_rate", nullptr, "100"}}), tree_methods()))
        return -1;
    const char* modname = PyModule_GetName(module);
    if (modname == nullptr) return -1;
    vn::Ref sanitize = vn::Ref::steal(vn::make_function({"_sanitize_size",
                                                         vn::fn<FastRedBlackTree_sanitize_size>,
                                                         {{"size", "int"}},
                                                         "int",
                                                         "Validate size.",
                                                         vn::Kind::Function},
                                                        modname, "FastRedBlackTree"));
    if (!sanitize) return -1;
    return vn::set_type_attribute(FastRedBlackTreeType, "_sanitize_size", PyStaticMethod_New(sanitize.get())) ? 0 : -1;
}

}  // namespace

VN_MODULE(fitindex, "Free-block index: best-fit search over free memory blocks without a reader lock.", fitindex_exec)
