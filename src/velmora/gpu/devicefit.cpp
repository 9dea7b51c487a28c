// velmora.gpu.devicefit: the pure decisions the GPU layer takes before it places an array on a
// device. How many bytes an array needs, how much of the free device memory may safely be used,
// whether to allocate directly, split the work into several GPU passes or fall back to the CPU,
// how to cut an array into chunks, which operations may be chunked, and whether an error text
// reports an out-of-memory condition. Nothing here touches a device: the caller passes byte counts.
//
// Concurrency: the functions keep no state between calls. The operation tables are constant data;
// the message strings and the builtins dictionary are created once during module initialisation
// and only read afterwards; the interned names (strategy codes, needles) are created on first use
// by vn::Name, which publishes them atomically. The one thing another thread can change is the
// module namespace (`devicefit.GPU_DIRECT = ...`): a strategy code is read from it as a strong
// reference taken inside the dict's own lookup, so a concurrent replacement cannot free it under
// us. Arguments are the caller's (str and tuple, immutable). The functions never release the
// interpreter lock themselves.
//
// Integer safety: every product and quotient that could leave its type is either checked
// (__builtin_mul_overflow, 128-bit products) or saturated before a double is converted to an
// integer, so no input reaches undefined behaviour.

#include "native/velmora_native.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace {

using std::string_view;
using vn::ascii_of;
using vn::AsciiView;
using vn::saturating_uint64;

constexpr int64_t kSaturated = INT64_MAX;  // byte estimates saturate here (2**63 - 1)

// ---------------------------------------------------------------------------------------------
// Module-private data.

// The module's private `_CHUNKABLE_OPS`: array creations that can be produced chunk by chunk.
constexpr string_view kChunkableOps[] = {
    "zeros",          "ones",        "empty",         "full",
    "random.randn",   "random.rand", "random.random", "random.standard_normal",
    "random.uniform", "arange",      "linspace",
};

// The module's private `_NON_CHUNKABLE_OPS`: operations that cannot be split into chunks.
constexpr string_view kNonChunkableOps[] = {
    "matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals", "solve", "inv", "sort", "argsort",
};

// Set once in devicefit_exec, read-only afterwards.
PyObject* g_module_dict = nullptr;        // the module's namespace (borrowed from the module)
PyObject* g_builtins_dict = nullptr;      // owned
PyObject* g_msg_no_memory = nullptr;      // owned
PyObject* g_msg_fits = nullptr;           // owned
PyObject* g_msg_not_chunkable = nullptr;  // owned

vn::Name n_GPU_DIRECT{"GPU_DIRECT"};
vn::Name n_GPU_CHUNKED{"GPU_CHUNKED"};
vn::Name n_CPU_FALLBACK{"CPU_FALLBACK"};

// ---------------------------------------------------------------------------------------------
// Helpers.

// Usable bytes of `available` with `headroom_ratio` kept back (ratio clamped to 0.0..0.99).
// A NaN ratio makes a NaN product, which counts as nothing usable.
inline uint64_t safe_limit(uint64_t available, double headroom_ratio) noexcept {
    double h = headroom_ratio;
    if (h < 0.0)
        h = 0.0;
    else if (h > 0.99)
        h = 0.99;
    return saturating_uint64(static_cast<double>(available) * (1.0 - h));
}

// A strategy code, read from the module namespace at call time, then from the builtins:
// a new reference, or null with NameError "name '<name>' is not defined".
PyObject* strategy_code(vn::Name& name) noexcept {
    PyObject* key = name.get();
    if (key == nullptr) return nullptr;
    PyObject* v = nullptr;
    int found = vn::dict_item_ref(g_module_dict, key, &v);
    if (found == 0) found = vn::dict_item_ref(g_builtins_dict, key, &v);
    if (found > 0) return v;
    if (found == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    return nullptr;
}

// (code, chunk_size, chunk_count, message); `message` is a new reference, consumed.
PyObject* strategy_result(vn::Name& code_name, uint64_t chunk_size, uint64_t chunk_count, PyObject* message) noexcept {
    vn::Ref msg = vn::Ref::steal(message);
    if (!msg) return nullptr;
    vn::Ref code = vn::Ref::steal(strategy_code(code_name));
    if (!code) return nullptr;
    vn::Ref size = vn::Ref::steal(PyLong_FromUnsignedLongLong(chunk_size));
    vn::Ref count = vn::Ref::steal(PyLong_FromUnsignedLongLong(chunk_count));
    if (!size || !count) return nullptr;
    return PyTuple_Pack(4, code.get(), size.get(), count.get(), msg.get());
}

inline bool in_table(string_view name, const string_view* begin, const string_view* end) noexcept {
    for (const string_view* p = begin; p != end; ++p)
        if (*p == name) return true;
    return false;
}

// Whether an exact str (not None) is a member of a table (only ASCII names can be): 1 or 0,
// -1 with an exception set.
template <size_t N>
inline int member(PyObject* s, const string_view (&table)[N]) noexcept {
    AsciiView a;
    if (!ascii_of(s, a)) return -1;
    return a.data != nullptr && in_table(string_view(a.data, a.size), table, table + N) ? 1 : 0;
}

// The needles of the out-of-memory rules.
enum Needle : size_t {
    kOutOfMemory,
    kOutOfMemoryError,
    kCuda,
    kMemory,
    kAllocat,
    kFailed,
    kInsufficient,
    kGpu,
    kNeedleCount
};

constexpr string_view kNeedleText[kNeedleCount] = {"out of memory", "outofmemoryerror", "cuda",         "memory",
                                                   "allocat",       "failed",           "insufficient", "gpu"};

// The interned str of each needle, for searching text that is not ASCII.
vn::Name n_needles[kNeedleCount] = {{"out of memory"}, {"outofmemoryerror"}, {"cuda"},         {"memory"},
                                    {"allocat"},       {"failed"},           {"insufficient"}, {"gpu"}};

// A string lower-cased by the host's str.lower, searched for needles. ASCII text is lowered into
// a buffer (on ASCII, str.lower maps exactly A-Z to a-z); other text goes through str.lower
// itself, since some non-ASCII characters lower to ASCII ones.
class LowerText {
public:
    explicit LowerText(PyObject* source) noexcept : source_(source) {}
    ~LowerText() { PyMem_Free(big_); }
    LowerText(const LowerText&) = delete;
    LowerText& operator=(const LowerText&) = delete;

    // 1 when the lowered text contains the needle, 0 when not, -1 with an exception set.
    int contains(Needle k) noexcept {
        if (!lowered_ && !lower()) return -1;
        if (!obj_) return text_.find(kNeedleText[k]) != string_view::npos ? 1 : 0;
        PyObject* needle = n_needles[k].get();
        if (needle == nullptr) return -1;
        Py_ssize_t at = PyUnicode_Find(obj_.get(), needle, 0, PY_SSIZE_T_MAX, 1);
        if (at == -2) return -1;
        return at >= 0 ? 1 : 0;
    }

private:
    // Lower-cases the source on first use (a rule that is never reached costs nothing).
    bool lower() noexcept {
        AsciiView a;
        if (!ascii_of(source_, a)) return false;
        if (a.data == nullptr) {
            static vn::Name n_lower{"lower"};
            obj_ = vn::Ref::steal(vn::call_method(source_, n_lower));
            lowered_ = static_cast<bool>(obj_);
            return lowered_;
        }
        char* out = small_;
        if (a.size > sizeof small_) {
            big_ = static_cast<char*>(PyMem_Malloc(a.size));
            if (big_ == nullptr) {
                PyErr_NoMemory();
                return false;
            }
            out = big_;
        }
        for (size_t i = 0; i < a.size; ++i) {
            const unsigned char c = static_cast<unsigned char>(a.data[i]);
            out[i] = static_cast<char>(c + (static_cast<unsigned char>(c - 'A') < 26u ? 'a' - 'A' : 0));
        }
        text_ = string_view(out, a.size);
        lowered_ = true;
        return true;
    }

    PyObject* source_;  // borrowed for the call
    bool lowered_ = false;
    char small_[256];
    char* big_ = nullptr;  // the lowered text when it does not fit small_
    string_view text_;
    vn::Ref obj_;
};

// "Chunking into <count> GPU passes", built directly as an ASCII str.
PyObject* chunking_message(uint64_t count) noexcept {
    static constexpr string_view kHead = "Chunking into ", kTail = " GPU passes";
    char digits[20];
    size_t nd = 0;
    do {
        digits[nd++] = static_cast<char>('0' + count % 10);
        count /= 10;
    } while (count != 0);
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(kHead.size() + nd + kTail.size()), 127);
    if (s == nullptr) return nullptr;
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(s));
    std::memcpy(out, kHead.data(), kHead.size());
    out += kHead.size();
    while (nd != 0) *out++ = digits[--nd];
    std::memcpy(out, kTail.data(), kTail.size());
    return s;
}

// A new tuple (rows, *trailing) where `trailing` are the items 1.. of `shape` (the same objects).
PyObject* chunk_shape(long rows, PyObject* shape) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(shape);
    PyObject* t = PyTuple_New(n);
    if (t == nullptr) return nullptr;
    PyObject* r = PyLong_FromLong(rows);
    if (r == nullptr) {
        Py_DECREF(t);
        return nullptr;
    }
    PyTuple_SET_ITEM(t, 0, r);
    for (Py_ssize_t i = 1; i < n; ++i) PyTuple_SET_ITEM(t, i, vn::new_ref(PyTuple_GET_ITEM(shape, i)));
    return t;
}

// ---------------------------------------------------------------------------------------------
// Sizing and strategy.

using TupleOrNone = vn::arg::ExactOrNone<&PyTuple_Type>;
using StrOrNone = vn::arg::ExactOrNone<&PyUnicode_Type>;
using Str = vn::arg::Exact<&PyUnicode_Type>;

PyObject* estimate_allocation_bytes(PyObject*, TupleOrNone shape_arg, vn::arg::CInt element_size_arg,
                                    vn::arg::F64 overhead_factor) {
    PyObject* const shape = shape_arg;
    const int element_size = element_size_arg;
    if (shape == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return nullptr;
    }
    int64_t total = 1;
    const Py_ssize_t ndim = PyTuple_GET_SIZE(shape);
    for (Py_ssize_t i = 0; i < ndim; ++i) {
        int dimension;
        if (!vn::to_int(PyTuple_GET_ITEM(shape, i), dimension)) return nullptr;
        if (dimension <= 0) return PyLong_FromLong(0);
        if (kSaturated / dimension < total) return PyLong_FromLongLong(kSaturated);
        total = total * dimension;
    }
    if (element_size > 0 && kSaturated / element_size < total) return PyLong_FromLongLong(kSaturated);
    // A negative element size describes nothing to allocate (like a negative dimension): 0 bytes,
    // instead of a signed product that could overflow.
    if (element_size < 0) return PyLong_FromLong(0);
    uint64_t bytes = static_cast<uint64_t>(total * element_size);
    if (overhead_factor > 1.0) bytes = saturating_uint64(static_cast<double>(bytes) * overhead_factor);
    return PyLong_FromUnsignedLongLong(bytes);
}

PyObject* calculate_safe_limit(PyObject*, vn::arg::U64 available_bytes, vn::arg::F64 headroom_ratio) {
    return PyLong_FromUnsignedLongLong(safe_limit(available_bytes, headroom_ratio));
}

PyObject* decide_allocation_strategy(PyObject*, vn::arg::U64 requested_bytes_arg, vn::arg::U64 available_bytes,
                                     vn::arg::F64 headroom_ratio, vn::arg::Bool is_chunkable) {
    const uint64_t requested_bytes = requested_bytes_arg;
    const uint64_t safe = safe_limit(available_bytes, headroom_ratio);
    if (safe == 0) return strategy_result(n_CPU_FALLBACK, 0, 1, vn::new_ref(g_msg_no_memory));
    if (safe >= requested_bytes) return strategy_result(n_GPU_DIRECT, 0, 1, vn::new_ref(g_msg_fits));
    if (is_chunkable) {
        uint64_t chunk_count =
            saturating_uint64(std::ceil(static_cast<double>(requested_bytes) / static_cast<double>(safe)));
        // Above 2**53 the double quotient can undercount: raise the count until the passes cover
        // the request (below that it is never short, and the count stays the double one).
        if (static_cast<unsigned __int128>(chunk_count) * safe < requested_bytes)
            chunk_count = requested_bytes / safe + (requested_bytes % safe != 0 ? 1 : 0);
        return strategy_result(n_GPU_CHUNKED, safe, chunk_count, chunking_message(chunk_count));
    }
    return strategy_result(n_CPU_FALLBACK, 0, 1, vn::new_ref(g_msg_not_chunkable));
}

// None is rejected like any other non-str: the rules need two strings to lower-case. Inlined into
// the argument adapter, so the typed form costs the hot path no extra call.
[[gnu::always_inline]] inline PyObject* is_oom_error(PyObject*, Str error_message, Str error_type) {
    LowerText msg(error_message), type(error_type);
    // The rules in their order. Every rule on the message but the fourth needs "memory" ("out of
    // memory" contains it), so that one search settles four rules when it fails; the tests are
    // pure, so skipping them gives the same answer.
    auto both = [](LowerText& text, Needle a, Needle b) -> int {
        int hit = text.contains(a);
        return hit == 1 ? text.contains(b) : hit;
    };
    const int memory = msg.contains(kMemory);
    if (memory < 0) return nullptr;
    int hit = memory ? msg.contains(kOutOfMemory) : 0;          // 1. "out of memory"
    if (hit == 0) hit = type.contains(kOutOfMemoryError);       // 2. type "outofmemoryerror"
    if (hit == 0 && memory) hit = msg.contains(kCuda);          // 3. "cuda" and "memory"
    if (hit == 0) hit = both(msg, kAllocat, kFailed);           // 4. "allocat" and "failed"
    if (hit == 0 && memory) hit = msg.contains(kInsufficient);  // 5. "memory" and "insufficient"
    if (hit == 0 && memory) hit = msg.contains(kGpu);           // 6. "gpu" and "memory"
    if (hit < 0) return nullptr;
    return vn::boolean(hit == 1);
}

PyObject* calculate_memory_pressure(PyObject*, vn::arg::U64 used_bytes, vn::arg::U64 total_bytes) {
    if (total_bytes == 0) return PyFloat_FromDouble(1.0);
    const double pressure = static_cast<double>(used_bytes) / static_cast<double>(total_bytes);
    return PyFloat_FromDouble(pressure > 1.0 ? 1.0 : pressure);
}

PyObject* recommend_headroom(PyObject*, vn::arg::F64 current_pressure, vn::arg::F64 base_headroom) {
    const double p = current_pressure, b = base_headroom;
    if (p > 0.8) return PyFloat_FromDouble(0.8);
    double h;
    if (p > 0.6)
        h = b + (p - 0.5) * 0.5;
    else if (p > 0.3)
        h = b;
    else
        h = b - 0.1;
    if (h < 0.3) return PyFloat_FromDouble(0.3);
    return PyFloat_FromDouble(0.8 < h ? 0.8 : h);
}

// ---------------------------------------------------------------------------------------------
// Chunking and suitability.

PyObject* is_chunkable_operation(PyObject*, StrOrNone operation) {
    if (operation == Py_None) Py_RETURN_FALSE;
    const int chunkable = member(operation, kChunkableOps);
    if (chunkable < 0) return nullptr;
    return vn::boolean(chunkable == 1);
}

PyObject* score_gpu_suitability(PyObject*, vn::arg::U64 data_size_bytes_arg, StrOrNone operation_type,
                                vn::arg::U64 available_gpu_memory, vn::arg::F64 headroom_ratio) {
    const uint64_t data_size_bytes = data_size_bytes_arg;
    const uint64_t safe = safe_limit(available_gpu_memory, headroom_ratio);
    double size_fit;
    if (safe == 0) {
        size_fit = 0.0;
    } else if (data_size_bytes > safe) {
        size_fit = static_cast<double>(safe) / static_cast<double>(data_size_bytes);
    } else {
        const double fill = 1.25 * static_cast<double>(data_size_bytes) / static_cast<double>(safe);
        size_fit = fill < 1.0 ? fill : 1.0;
    }
    double operation_factor = 0.5;
    if (operation_type != Py_None) {
        int found = member(operation_type, kChunkableOps);
        if (found == 1) {
            operation_factor = 0.9;
        } else if (found == 0) {
            found = member(operation_type, kNonChunkableOps);
            if (found == 1) operation_factor = 0.7;
        }
        if (found < 0) return nullptr;
    }
    return PyFloat_FromDouble(operation_factor * size_fit);
}

PyObject* compute_chunk_shapes(PyObject*, TupleOrNone shape_arg, vn::arg::CInt element_size_arg,
                               vn::arg::U64 max_chunk_bytes_arg) {
    PyObject* const shape = shape_arg;
    const int element_size = element_size_arg;
    const uint64_t max_chunk_bytes = max_chunk_bytes_arg;
    if (element_size <= 0) {
        PyErr_SetString(PyExc_ValueError, "element_size must be positive");
        return nullptr;
    }
    if (max_chunk_bytes == 0) {
        PyErr_SetString(PyExc_ValueError, "max_chunk_bytes must be positive");
        return nullptr;
    }
    if (shape == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return nullptr;
    }
    const Py_ssize_t ndim = PyTuple_GET_SIZE(shape);
    if (ndim == 0) return Py_BuildValue("[O]", shape);

    uint64_t row_bytes = static_cast<uint64_t>(element_size);
    bool zero_dimension = false, too_large = false;
    for (Py_ssize_t i = 1; i < ndim; ++i) {
        uint64_t dimension;
        if (!vn::to_uint64(PyTuple_GET_ITEM(shape, i), dimension)) return nullptr;
        zero_dimension = zero_dimension || dimension == 0;
        too_large = too_large || __builtin_mul_overflow(row_bytes, dimension, &row_bytes);
    }
    // A row of 0 bytes leaves the rows per chunk undefined, and a row size past 64 bits would
    // wrap: both are refused before any list is built.
    if (zero_dimension) {
        PyErr_SetString(PyExc_ValueError, "trailing dimensions must be positive");
        return nullptr;
    }
    if (too_large) {
        PyErr_SetString(PyExc_OverflowError, "row size does not fit in 64 bits");
        return nullptr;
    }
    uint64_t rows_per_chunk = max_chunk_bytes >= row_bytes ? max_chunk_bytes / row_bytes : 1;

    int first;
    if (!vn::to_int(PyTuple_GET_ITEM(shape, 0), first)) return nullptr;
    if (first <= 0) return PyList_New(0);
    // Rows per chunk beyond the first dimension change nothing; the clamp keeps them in 32 bits.
    if (rows_per_chunk > static_cast<uint64_t>(first)) rows_per_chunk = static_cast<uint64_t>(first);
    const long per_chunk = static_cast<long>(rows_per_chunk);
    const long full_chunks = first / per_chunk;
    const long last_rows = first % per_chunk;

    vn::Ref chunks = vn::Ref::steal(PyList_New(full_chunks + (last_rows != 0 ? 1 : 0)));
    if (!chunks) return nullptr;
    // Full chunks are equal immutable tuples: one object serves them all.
    vn::Ref full = vn::Ref::steal(chunk_shape(per_chunk, shape));
    if (!full) return nullptr;
    for (long i = 0; i < full_chunks; ++i) PyList_SET_ITEM(chunks.get(), i, vn::new_ref(full.get()));
    if (last_rows != 0) {
        PyObject* last = chunk_shape(last_rows, shape);
        if (last == nullptr) return nullptr;
        PyList_SET_ITEM(chunks.get(), full_chunks, last);
    }
    return chunks.release();
}

PyObject* calculate_optimal_chunks(PyObject*, vn::arg::U64 total_bytes, vn::arg::U64 available_bytes,
                                   vn::arg::F64 headroom_ratio, vn::arg::CInt min_chunks_arg,
                                   vn::arg::CInt max_chunks_arg) {
    const int min_chunks = min_chunks_arg, max_chunks = max_chunks_arg;
    const uint64_t safe = safe_limit(available_bytes, headroom_ratio);
    if (safe == 0) return PyLong_FromLong(max_chunks);
    const double quotient = std::ceil(static_cast<double>(total_bytes) / static_cast<double>(safe));
    // A need beyond the 32-bit range exceeds every max_chunks (and every min_chunks).
    if (quotient > static_cast<double>(INT32_MAX)) return PyLong_FromLong(max_chunks);
    const int needed = static_cast<int>(quotient);
    if (needed < min_chunks) return PyLong_FromLong(min_chunks);
    return PyLong_FromLong(needed < max_chunks ? needed : max_chunks);
}

// ---------------------------------------------------------------------------------------------
// Function table and initialisation.

const std::vector<vn::FuncDef>& function_table() {
    using vn::Kind;
    static const std::vector<vn::FuncDef> defs = {
        {"estimate_allocation_bytes",
         vn::fn<estimate_allocation_bytes>,
         {{"shape", "tuple"}, {"element_size", "int"}, {"overhead_factor", "float", "1.0"}},
         "int",
         "Bytes needed by an array of `shape` with `element_size`-byte elements, times the overhead "
         "factor when it is above 1.0; saturates at 2**63 - 1.",
         Kind::Function},
        {"calculate_safe_limit",
         vn::fn<calculate_safe_limit>,
         {{"available_bytes", "int"}, {"headroom_ratio", "float"}},
         "int",
         "Bytes of `available_bytes` that may be used, keeping back `headroom_ratio` (clamped to "
         "0.0..0.99).",
         Kind::Function},
        {"decide_allocation_strategy",
         vn::fn<decide_allocation_strategy>,
         {{"requested_bytes", "int"},
          {"available_bytes", "int"},
          {"headroom_ratio", "float"},
          {"is_chunkable", "bool"}},
         "tuple",
         "(strategy_code, chunk_size, chunk_count, message): allocate directly, chunk into GPU passes, "
         "or fall back to the CPU.",
         Kind::Function},
        {"is_oom_error",
         vn::fn<is_oom_error>,
         {{"error_message", "str"}, {"error_type", "str"}},
         "bool",
         "Whether an error message and type name report an out-of-memory condition.",
         Kind::Function},
        {"calculate_memory_pressure",
         vn::fn<calculate_memory_pressure>,
         {{"used_bytes", "int"}, {"total_bytes", "int"}},
         "float",
         "Used over total memory, at most 1.0; 1.0 when the total is 0.",
         Kind::Function},
        {"recommend_headroom",
         vn::fn<recommend_headroom>,
         {{"current_pressure", "float"}, {"base_headroom", "float", "0.5"}},
         "float",
         "Headroom ratio (0.3..0.8) recommended for the current memory pressure.",
         Kind::Function},
        {"is_chunkable_operation",
         vn::fn<is_chunkable_operation>,
         {{"operation", "str"}},
         "bool",
         "Whether an array operation can be produced chunk by chunk.",
         Kind::Function},
        {"score_gpu_suitability",
         vn::fn<score_gpu_suitability>,
         {{"data_size_bytes", "int"},
          {"operation_type", "str"},
          {"available_gpu_memory", "int"},
          {"headroom_ratio", "float"}},
         "float",
         "How well a workload suits the GPU, from 0.0 to 1.0.",
         Kind::Function},
        {"compute_chunk_shapes",
         vn::fn<compute_chunk_shapes>,
         {{"shape", "tuple"}, {"element_size", "int"}, {"max_chunk_bytes", "int"}},
         "list",
         "Chunk shapes cutting `shape` along its first axis into pieces of at most `max_chunk_bytes` "
         "(at least one row each).",
         Kind::Function},
        {"calculate_optimal_chunks",
         vn::fn<calculate_optimal_chunks>,
         {{"total_bytes", "int"},
          {"available_bytes", "int"},
          {"headroom_ratio", "float"},
          {"min_chunks", "int", "1"},
          {"max_chunks", "int", "1000"}},
         "int",
         "Number of GPU passes for `total_bytes`, bounded by min_chunks and max_chunks.",
         Kind::Function},
    };
    return defs;
}

int devicefit_exec(PyObject* module) noexcept {
    if (!vn::add_functions(module, function_table())) return -1;
    if (PyModule_AddIntConstant(module, "GPU_DIRECT", 0) < 0 || PyModule_AddIntConstant(module, "GPU_CHUNKED", 1) < 0 ||
        PyModule_AddIntConstant(module, "CPU_FALLBACK", 2) < 0)
        return -1;
    g_module_dict = PyModule_GetDict(module);
    vn::Ref builtins = vn::Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return -1;
    g_builtins_dict = vn::new_ref(PyModule_GetDict(builtins.get()));
    g_msg_no_memory = PyUnicode_InternFromString("No GPU memory available");
    g_msg_fits = PyUnicode_InternFromString("Allocation fits in GPU memory");
    g_msg_not_chunkable = PyUnicode_InternFromString("Operation not chunkable, falling back to CPU");
    if (g_msg_no_memory == nullptr || g_msg_fits == nullptr || g_msg_not_chunkable == nullptr) return -1;
    PyObject* logger = vn::make_logger(module);
    if (logger == nullptr) return -1;
    if (!vn::log(logger, "info", "Velmora GPU memory-decision native module (devicefit) loaded")) return -1;
    return 0;
}

}  // namespace

VN_MODULE(devicefit,
          "GPU memory decisions: byte estimates, safe limits, the allocation strategy, chunking and "
          "out-of-memory recognition.",
          devicefit_exec)
