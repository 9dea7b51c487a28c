// velmora.plugins.analyzer.taskgauge: scores Python source text for data-science frameworks and
// workload indicators, and turns such scores into a workload class, a GPU suitability, an expected
// GPU speed-up, a parallelization potential and an adaptive detection threshold.
//
// Text matching keeps Python's string semantics exactly:
// - Keyword tables are plain substring tests on `str.lower()` text, each entry counted at most once.
//   One pass of a multi-keyword automaton over the text replaces one search per entry. An ASCII-only
//   str lower-cases by A-Z -> a-z alone (what str.lower does for such a string), so it is folded
//   on the fly; any other str is lower-cased by the interpreter's own str.lower and then scanned,
//   every non-ASCII character of the result being a character no (ASCII) keyword contains.
// - The framework regexes are compiled with `re` at import. Over ASCII text a native matcher does
//   what those patterns do (ordered alternatives between Unicode word boundaries, ASCII case
//   folding); lines holding any non-ASCII character go to the compiled pattern's own findall.
//   Every character a match can consist of is a letter or '.', and '\n' is a non-word character
//   no pattern can match, so matches never cross a line end and counting by lines is exact.
//
// Concurrency model: every function is stateless. The compiled patterns, the str.lower method and
// the keyword automata are built once, in the module's exec (which the import lock serialises),
// before any function object exists, and are never written again once complete: only a build
// that failed (and so left no function behind) is started over by a retried import. After that they
// are only read, through const access, by any number of threads at once; the import system's own
// locking publishes them to every thread that reaches the functions. The same holds for each
// function's parameter table, which its typed conversions read for the parameter names of their
// messages: it is set as the function object is made, in that exec, and only read afterwards. The
// one lazy value, the `findall` name, is published atomically by vn::Name; re.Pattern objects are
// safe to share between threads. The arguments are str objects, which are immutable: long ASCII
// texts (and lower-cased copies we own) are scanned with the interpreter lock released (on
// free-threaded builds: with the thread detached), while the caller's reference or ours keeps them
// alive.
#include "native/velmora_native.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

// =============================================================================================
// Native records

// A set of keyword ids (at most 128 keywords per automaton).
struct KeywordSet {
    uint64_t lo = 0, hi = 0;

    void add(int id) noexcept {
        if (id < 64)
            lo |= uint64_t{1} << id;
        else
            hi |= uint64_t{1} << (id - 64);
    }
    KeywordSet operator|(const KeywordSet& o) const noexcept { return {lo | o.lo, hi | o.hi}; }
    KeywordSet operator&(const KeywordSet& o) const noexcept { return {lo & o.lo, hi & o.hi}; }
    bool operator==(const KeywordSet& o) const noexcept { return lo == o.lo && hi == o.hi; }
    int count() const noexcept { return __builtin_popcountll(lo) + __builtin_popcountll(hi); }
};

constexpr int kMaxKeywords = 128;

// Texts at least this long are scanned with the interpreter lock released.
constexpr Py_ssize_t kReleaseLockChars = 16384;

// All keywords of a group of tables, found in one left-to-right pass: an Aho-Corasick automaton
// made deterministic over character classes (every character that occurs in no keyword shares
// class 0). Upper-case ASCII letters fall in the class of their lower-case letter.
class KeywordAutomaton {
public:
    // Adds a keyword (lower-case ASCII); returns its id, -1 when the set is full.
    int intern(const char* word) {
        for (size_t i = 0; i < words_.size(); ++i)
            if (words_[i] == word) return static_cast<int>(i);
        if (words_.size() == static_cast<size_t>(kMaxKeywords)) return -1;
        words_.emplace_back(word);
        return static_cast<int>(words_.size() - 1);
    }

    // Builds the transition table once every keyword is interned; false when it is too large.
    bool build() {
        std::memset(class_of_, 0, sizeof class_of_);
        nclass_ = 1;
        for (const std::string& w : words_)
            for (unsigned char c : w)
                if (class_of_[c] == 0) class_of_[c] = static_cast<uint8_t>(nclass_++);
        for (int c = 'A'; c <= 'Z'; ++c) class_of_[c] = class_of_[c - 'A' + 'a'];

        // Trie (-1: no edge), then failure links breadth first, completing the table as we go.
        std::vector<int> edge(static_cast<size_t>(nclass_), -1);
        std::vector<KeywordSet> out(1);
        for (size_t id = 0; id < words_.size(); ++id) {
            size_t s = 0;
            for (unsigned char c : words_[id]) {
                const size_t slot = s * static_cast<size_t>(nclass_) + class_of_[c];
                if (edge[slot] < 0) {
                    edge[slot] = static_cast<int>(out.size());
                    out.emplace_back();
                    edge.resize(edge.size() + static_cast<size_t>(nclass_), -1);
                }
                s = static_cast<size_t>(edge[slot]);
            }
            out[s].add(static_cast<int>(id));
        }
        const size_t nstates = out.size();
        std::vector<size_t> fail(nstates, 0), queue;
        queue.reserve(nstates);
        for (int k = 0; k < nclass_; ++k) {
            int& e = edge[static_cast<size_t>(k)];
            if (e < 0)
                e = 0;
            else
                queue.push_back(static_cast<size_t>(e));
        }
        for (size_t qi = 0; qi < queue.size(); ++qi) {
            const size_t s = queue[qi];
            out[s] = out[s] | out[fail[s]];
            for (int k = 0; k < nclass_; ++k) {
                int& e = edge[s * static_cast<size_t>(nclass_) + static_cast<size_t>(k)];
                const int via_fail = edge[fail[s] * static_cast<size_t>(nclass_) + static_cast<size_t>(k)];
                if (e < 0) {
                    e = via_fail;
                } else {
                    fail[static_cast<size_t>(e)] = static_cast<size_t>(via_fail);
                    queue.push_back(static_cast<size_t>(e));
                }
            }
        }
        // Entry = (target row << kRowShift) | (target state << 1) | (target has keywords), where
        // row = state * nclass: the next row is one shift away, the state only needed on a hit.
        if (nstates > kMaxStates || edge.size() >= (size_t{1} << (32 - kRowShift))) return false;
        next_.assign(edge.size(), 0);
        for (size_t i = 0; i < edge.size(); ++i) {
            const size_t t = static_cast<size_t>(edge[i]);
            next_[i] = static_cast<uint32_t>(((t * static_cast<size_t>(nclass_)) << kRowShift) | (t << 1) |
                                             ((out[t].lo | out[t].hi) != 0));
        }
        out_ = std::move(out);
        all_ = {};
        max_len_ = 1;
        for (size_t id = 0; id < words_.size(); ++id) {
            all_.add(static_cast<int>(id));
            if (static_cast<Py_ssize_t>(words_[id].size()) > max_len_)
                max_len_ = static_cast<Py_ssize_t>(words_[id].size());
        }
        return true;
    }

    // Adds to `found` every keyword that occurs in text[0, n). The text is lower case or ASCII
    // (upper-case ASCII is folded); characters above 0xFF belong to no keyword.
    //
    // Long texts run as four interleaved lanes over consecutive quarters, which keeps four
    // independent table walks in flight. A lane starts (max keyword length - 1) characters before its
    // quarter, so each occurrence ending in its quarter is seen whole; the sets just merge.
    template <typename Ch>
    void scan(const Ch* text, Py_ssize_t n, KeywordSet& found) const noexcept {
        constexpr int kLanes = 4;
        constexpr Py_ssize_t kBlock = 4096;  // characters per lane between "all found?" checks
        const uint32_t* next = next_.data();
        const KeywordSet* out = out_.data();
        auto step = [&](uint32_t& row, const Ch ch) {
            const uint32_t c = static_cast<uint32_t>(ch);
            const uint32_t e = next[row + (c < 256 ? class_of_[c] : 0u)];
            row = e >> kRowShift;
            if (e & 1u) found = found | out[(e >> 1) & (kMaxStates - 1)];
        };
        const Ch* lane[kLanes];
        Py_ssize_t length[kLanes];
        int lanes = 1;
        lane[0] = text;
        length[0] = n;
        if (n >= 1024) {
            lanes = kLanes;
            const Py_ssize_t quarter = n / kLanes;
            for (int k = 0; k < kLanes; ++k) {
                const Py_ssize_t from = k == 0 ? 0 : k * quarter - (max_len_ - 1);
                const Py_ssize_t to = k == kLanes - 1 ? n : (k + 1) * quarter;
                lane[k] = text + from;
                length[k] = to - from;
            }
        }
        uint32_t row[kLanes] = {};
        Py_ssize_t common = length[0];
        for (int k = 1; k < lanes; ++k) common = length[k] < common ? length[k] : common;
        Py_ssize_t i = 0;
        if (lanes == kLanes) {
            while (i < common && !(found == all_)) {
                const Py_ssize_t stop = common - i < kBlock ? common : i + kBlock;
                for (; i < stop; ++i) {
                    step(row[0], lane[0][i]);
                    step(row[1], lane[1][i]);
                    step(row[2], lane[2][i]);
                    step(row[3], lane[3][i]);
                }
            }
        }
        for (int k = 0; k < lanes; ++k) {
            Py_ssize_t j = i;
            while (j < length[k] && !(found == all_)) {
                const Py_ssize_t stop = length[k] - j < kBlock ? length[k] : j + kBlock;
                for (; j < stop; ++j) step(row[k], lane[k][j]);
            }
        }
    }

private:
    static constexpr int kRowShift = 12;  // 11 bits of state, 1 flag bit
    static constexpr size_t kMaxStates = size_t{1} << 11;

    std::vector<std::string> words_;
    uint8_t class_of_[256] = {};
    int nclass_ = 1;
    Py_ssize_t max_len_ = 1;
    std::vector<uint32_t> next_;
    std::vector<KeywordSet> out_;
    KeywordSet all_;
};

// One keyword table of a scoring function: its entries within the automaton.
struct KeywordTable {
    KeywordSet entries;
    bool also_function_name = false;
};

// One alternative of a framework regex, lower-cased, for the native matcher.
struct Alternative {
    std::string text;
    bool ends_in_word;  // whether its last character is a word character
};

// One framework regex: the compiled pattern, and its alternatives for the native matcher.
struct FrameworkPattern {
    const char* name;
    PyObject* compiled = nullptr;  // re.Pattern, compiled with re.IGNORECASE; kept for the process
    std::vector<Alternative> alternatives;
    uint32_t first_letters = 0;  // bit c - 'a' for each alternative's first letter
};

// Built once at import, read-only afterwards; never destroyed, as long texts are scanned with the
// interpreter lock released (a daemon thread may still be scanning while the process exits).
vn::Immortal<KeywordAutomaton> g_framework_keywords, g_indicator_keywords;
KeywordTable g_framework_tables[3];  // numpy, pandas, sklearn
KeywordTable g_indicator_tables[7];  // cpu, memory, parallel, gpu_op, large_data, embarrassing, sequential
vn::Immortal<std::vector<FrameworkPattern>> g_compiled_patterns;  // the module's private _COMPILED_PATTERNS
PyObject* g_str_lower = nullptr;                                  // the unbound str.lower

vn::Name n_findall{"findall"};

// =============================================================================================
// Text helpers

bool ensure_ready(PyObject* s) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(s) == 0;
#else
    (void)s;
    return true;
#endif
}

// The length of a ready str. A function rather than the macro: an argument passes as its object,
// which the macro of hosts before 3.11 (a plain cast) does not accept.
inline Py_ssize_t str_length(PyObject* s) noexcept { return PyUnicode_GET_LENGTH(s); }

// Whether the (ready) str `s` is exactly the ASCII text `name`.
bool str_equals_ascii(PyObject* s, const char* name) noexcept {
    const size_t len = std::strlen(name);
    return PyUnicode_IS_ASCII(s) && PyUnicode_GET_LENGTH(s) == static_cast<Py_ssize_t>(len) &&
           std::memcmp(PyUnicode_1BYTE_DATA(s), name, len) == 0;
}

// Adds to `found` the keywords of `automaton` that occur in `code.lower()`. `code` is an exact str
// or None (None raises str.lower's own TypeError).
bool scan_lowered(const KeywordAutomaton& automaton, PyObject* code, KeywordSet& found) noexcept {
    if (code != Py_None && !ensure_ready(code)) return false;
    vn::Ref text = vn::Ref::borrow(code);  // our own reference while the lock is released
    if (code == Py_None || !PyUnicode_IS_ASCII(code)) {
        text = vn::Ref::steal(vn::call(g_str_lower, code));
        if (!text || !ensure_ready(text.get())) return false;
    }
    // Here `text` is lower case, or ASCII (for which str.lower maps exactly A-Z to a-z, as the
    // automaton's character classes do).
    PyObject* s = text.get();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    auto run = [&] {
        if (kind == PyUnicode_1BYTE_KIND)
            automaton.scan(static_cast<const Py_UCS1*>(data), n, found);
        else if (kind == PyUnicode_2BYTE_KIND)
            automaton.scan(static_cast<const Py_UCS2*>(data), n, found);
        else
            automaton.scan(static_cast<const Py_UCS4*>(data), n, found);
    };
    if (n >= kReleaseLockChars) {
        vn::NoGil unlocked;
        run();
    } else {
        run();
    }
    return true;
}

// The `re` word characters at ASCII: letters, digits and '_'.
inline bool ascii_word(uint32_t c) noexcept {
    return (c - 'a' < 26u) || (c - 'A' < 26u) || (c - '0' < 10u) || c == '_';
}

// The length of the first alternative of `pattern` that matches at the word start text[p] up to a
// closing word boundary (ASCII case folded), 0 if none does.
template <typename Ch>
Py_ssize_t match_at(const FrameworkPattern& pattern, const Ch* text, Py_ssize_t p, Py_ssize_t end) noexcept {
    const uint32_t first = static_cast<uint32_t>(text[p]) | 0x20u;
    if (first - 'a' >= 26u || !(pattern.first_letters >> (first - 'a') & 1u)) return 0;
    for (const Alternative& alt : pattern.alternatives) {
        const Py_ssize_t len = static_cast<Py_ssize_t>(alt.text.size());
        if (len > end - p) continue;
        Py_ssize_t i = 0;
        while (i < len) {
            uint32_t c = static_cast<uint32_t>(text[p + i]);
            if (c - 'A' < 26u) c += 'a' - 'A';
            if (c != static_cast<unsigned char>(alt.text[static_cast<size_t>(i)])) break;
            ++i;
        }
        if (i < len) continue;
        const bool after_word = p + len < end && ascii_word(static_cast<uint32_t>(text[p + len]));
        if (alt.ends_in_word != after_word) return len;
    }
    return 0;
}

// Counts what `re.compile(r"\b(alt1|alt2|...)\b", re.IGNORECASE).findall` finds in the ASCII range
// text[begin, end), which starts and ends at the text's ends or next to a '\n'; stops past `limit`.
// The engine tries the alternatives in order at each position, the first that matches up to a
// closing boundary wins and the scan resumes after it. Every alternative starts with a letter,
// which needs a boundary before it: so only word starts can begin a match, and a word that does
// not is skipped whole.
template <typename Ch>
long count_pattern_ascii(const FrameworkPattern& pattern, const Ch* text, Py_ssize_t begin, Py_ssize_t end,
                         long limit) noexcept {
    long count = 0;
    Py_ssize_t p = begin;
    for (;;) {
        while (p < end && !ascii_word(static_cast<uint32_t>(text[p]))) ++p;
        if (p >= end) break;
        const Py_ssize_t matched = match_at(pattern, text, p, end);
        if (matched > 0) {
            if (++count > limit) break;
            p += matched;  // next: a non-word character, or the word after a closing '.'
            continue;
        }
        while (p < end && ascii_word(static_cast<uint32_t>(text[p]))) ++p;
    }
    return count;
}

// len(pattern.findall(code, begin, end)) through the compiled pattern itself (the whole text when
// `end` is negative); -1 with an exception set on failure.
long count_pattern_regex(const FrameworkPattern& pattern, PyObject* code, Py_ssize_t begin = 0,
                         Py_ssize_t end = -1) noexcept {
    vn::Ref found;
    if (end < 0) {
        found = vn::Ref::steal(vn::call_method(pattern.compiled, n_findall, code));
    } else {
        vn::Ref b = vn::Ref::steal(PyLong_FromSsize_t(begin));
        vn::Ref e = vn::Ref::steal(PyLong_FromSsize_t(end));
        if (!b || !e) return -1;
        found = vn::Ref::steal(vn::call_method(pattern.compiled, n_findall, code, b.get(), e.get()));
    }
    if (!found) return -1;
    return static_cast<long>(PyObject_Length(found.get()));
}

// Matches of `pattern` in a str that holds non-ASCII characters: ASCII lines natively, runs of
// other lines through the regex. -1 with an exception set on failure.
template <typename Ch>
long count_pattern_mixed(const FrameworkPattern& pattern, PyObject* code, const Ch* text, Py_ssize_t n,
                         long limit) noexcept {
    long count = 0;
    Py_ssize_t dirty_begin = -1;  // start of the pending run of non-ASCII lines
    Py_ssize_t line = 0;
    while (line < n && count <= limit) {
        Py_ssize_t line_end = line;
        bool ascii = true;
        while (line_end < n && text[line_end] != '\n') {
            ascii = ascii && static_cast<uint32_t>(text[line_end]) < 128u;
            ++line_end;
        }
        if (!ascii) {
            if (dirty_begin < 0) dirty_begin = line;
        } else {
            if (dirty_begin >= 0) {
                const long c = count_pattern_regex(pattern, code, dirty_begin, line);
                if (c < 0) return -1;
                count += c;
                dirty_begin = -1;
            }
            count += count_pattern_ascii(pattern, text, line, line_end, limit - count);
        }
        line = line_end + 1;
    }
    if (dirty_begin >= 0 && count <= limit) {
        const long c = count_pattern_regex(pattern, code, dirty_begin, n);
        if (c < 0) return -1;
        count += c;
    }
    return count;
}

// The matches of `pattern` in `code` (an exact str or None), counted up to limit + 1; -1 with an
// exception set on failure (None: findall's own TypeError).
long count_matches(const FrameworkPattern& pattern, PyObject* code, long limit) noexcept {
    if (code == Py_None) return count_pattern_regex(pattern, code);
    if (!ensure_ready(code)) return -1;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(code);
    if (PyUnicode_IS_ASCII(code)) {
        const Py_UCS1* text = PyUnicode_1BYTE_DATA(code);
        if (n < kReleaseLockChars) return count_pattern_ascii(pattern, text, 0, n, limit);
        vn::Ref keep = vn::Ref::borrow(code);  // our own reference while the lock is released
        vn::NoGil unlocked;
        return count_pattern_ascii(pattern, text, 0, n, limit);
    }
    switch (PyUnicode_KIND(code)) {
        case PyUnicode_1BYTE_KIND: return count_pattern_mixed(pattern, code, PyUnicode_1BYTE_DATA(code), n, limit);
        case PyUnicode_2BYTE_KIND: return count_pattern_mixed(pattern, code, PyUnicode_2BYTE_DATA(code), n, limit);
        default: return count_pattern_mixed(pattern, code, PyUnicode_4BYTE_DATA(code), n, limit);
    }
}

// Clamps a score to [0, hi]: below 0 gives 0.0, above hi gives hi. NaN also gives 0.0 (the
// contract's "smaller of" leaves it open; a NaN score would slip past every threshold test).
inline double clamp_score(double v, double hi) noexcept {
    if (v != v || v < 0.0) return 0.0;
    return hi < v ? hi : v;
}

PyObject* float_tuple(std::initializer_list<double> values) noexcept {
    vn::Ref t = vn::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    if (!t) return nullptr;
    Py_ssize_t i = 0;
    for (double v : values) {
        PyObject* f = PyFloat_FromDouble(v);
        if (f == nullptr) return nullptr;
        PyTuple_SET_ITEM(t.get(), i++, f);
    }
    return t.release();
}

// A parameter annotated `str`: exactly a str, or None.
using StrOrNone = vn::arg::ExactOrNone<&PyUnicode_Type>;

// =============================================================================================
// Framework and indicator scoring

PyObject* quick_framework_score(PyObject*, StrOrNone code, StrOrNone framework) {
    // 1. An unknown framework (exact, case-sensitive; None is none of them) scores 0.0.
    const FrameworkPattern* pattern = nullptr;
    if (framework != Py_None) {
        if (!ensure_ready(framework)) return nullptr;
        for (const FrameworkPattern& p : *g_compiled_patterns)
            if (str_equals_ascii(framework, p.name)) pattern = &p;
    }
    if (pattern == nullptr) return PyFloat_FromDouble(0.0);
    // 2. Count the matches; past ten the result no longer changes, so counting stops there.
    const long matches = count_matches(*pattern, code, 10);
    if (matches < 0) return nullptr;
    // 3. More than ten matches score 1.0, else a tenth per match.
    return PyFloat_FromDouble(matches > 10 ? 1.0 : static_cast<double>(matches) * 0.1);
}

PyObject* score_framework_patterns(PyObject*, StrOrNone code) {
    // 1-2. The entries of each table that occur in code.lower().
    KeywordSet found;
    if (!scan_lowered(*g_framework_keywords, code, found)) return nullptr;
    const int numpy_count = (found & g_framework_tables[0].entries).count();
    const int pandas_count = (found & g_framework_tables[1].entries).count();
    const int sklearn_count = (found & g_framework_tables[2].entries).count();
    // 3. Count times the reciprocal of the table size, clamped to [0, 1].
    const double numpy_score = clamp_score(static_cast<double>(numpy_count) * 0.04, 1.0);
    const double pandas_score = clamp_score(static_cast<double>(pandas_count) * 0.05555555555555555, 1.0);
    const double sklearn_score = clamp_score(static_cast<double>(sklearn_count) * 0.05555555555555555, 1.0);
    return float_tuple({numpy_score, pandas_score, sklearn_score});
}

PyObject* score_indicators(PyObject*, StrOrNone code, StrOrNone function_name) {
    // 1. code.lower(), and function_name.lower() unless it is None or empty.
    KeywordSet in_code, in_name;
    if (!scan_lowered(*g_indicator_keywords, code, in_code)) return nullptr;
    if (function_name != Py_None) {
        if (!ensure_ready(function_name)) return nullptr;
        if (str_length(function_name) > 0 && !scan_lowered(*g_indicator_keywords, function_name, in_name))
            return nullptr;
    }
    // 2. Per category, the entries found (gpu_op and embarrassing also in the function name).
    vn::Ref result = vn::Ref::steal(PyTuple_New(7));
    if (!result) return nullptr;
    for (Py_ssize_t i = 0; i < 7; ++i) {
        const KeywordTable& table = g_indicator_tables[i];
        const KeywordSet seen = table.also_function_name ? (in_code | in_name) : in_code;
        PyObject* count = PyLong_FromLong((seen & table.entries).count());
        if (count == nullptr) return nullptr;
        PyTuple_SET_ITEM(result.get(), i, count);
    }
    return result.release();
}

PyObject* normalize_scores(PyObject*, vn::arg::CInt cpu_score, vn::arg::CInt memory_score, vn::arg::CInt parallel_score,
                           vn::arg::CInt gpu_op_score, vn::arg::CInt large_data_score) {
    return float_tuple({
        clamp_score(static_cast<double>(cpu_score) * 0.06666666666666667, 1.0),
        clamp_score(static_cast<double>(memory_score) * 0.1, 1.0),
        clamp_score(static_cast<double>(parallel_score) * 0.09090909090909091, 1.0),
        clamp_score(static_cast<double>(gpu_op_score) * 0.027777777777777776, 1.0),
        clamp_score(static_cast<double>(large_data_score) * 0.07692307692307693, 1.0),
    });
}

// =============================================================================================
// Workload classification

PyObject* calculate_gpu_suitability(PyObject*, vn::arg::F64 gpu_operation_score, vn::arg::F64 gpu_data_size_score,
                                    vn::arg::F64 cpu_intensity, vn::arg::Bool gpu_available,
                                    StrOrNone compute_capability) {
    // 1.
    if (!gpu_available) return PyFloat_FromDouble(0.0);
    // 2-3.
    const double base_score = gpu_operation_score * 0.6 + gpu_data_size_score * 0.4;
    const double cpu_boost = clamp_score(cpu_intensity * 0.3, 0.3);
    // 4. int() of the text before the first '.'; a ValueError leaves the factor at 1.0.
    double capability_factor = 1.0;
    if (compute_capability != Py_None && !ensure_ready(compute_capability)) return nullptr;
    if (compute_capability != Py_None && str_length(compute_capability) > 0) {
        const Py_ssize_t len = str_length(compute_capability);
        const Py_ssize_t dot = PyUnicode_FindChar(compute_capability, '.', 0, len, 1);
        if (dot == -2) return nullptr;
        vn::Ref head = dot < 0 ? vn::Ref::borrow(compute_capability)
                               : vn::Ref::steal(PyUnicode_Substring(compute_capability, 0, dot));
        if (!head) return nullptr;
        vn::Ref major_obj = vn::Ref::steal(PyLong_FromUnicodeObject(head.get(), 10));
        if (!major_obj) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_IndexError)) return nullptr;
            PyErr_Clear();
        } else {
            int major;
            if (!vn::to_int(major_obj.get(), major)) return nullptr;
            if (major > 7)
                capability_factor = 1.2;
            else if (major == 7)
                capability_factor = 1.1;
            else if (major == 6)
                capability_factor = 1.0;
            else
                capability_factor = 0.8;
        }
    }
    // 5.
    return PyFloat_FromDouble(clamp_score((base_score + cpu_boost) * capability_factor, 1.0));
}

PyObject* estimate_gpu_speedup(PyObject*, vn::arg::F64 gpu_operation_score, vn::arg::F64 gpu_data_size_score,
                               vn::arg::Bool gpu_available) {
    // 1.
    if (!gpu_available || gpu_operation_score == 0.0) return PyFloat_FromDouble(1.0);
    // 2.
    double base_speedup;
    if (gpu_operation_score > 0.8)
        base_speedup = 15.0;
    else if (gpu_operation_score > 0.6)
        base_speedup = 8.0;
    else if (gpu_operation_score > 0.3)
        base_speedup = 4.0;
    else
        base_speedup = 2.0;
    // 3. The product first, then the sum; no upper clamp.
    const double data_size_factor = gpu_data_size_score * 0.5;
    return PyFloat_FromDouble(base_speedup + base_speedup * data_size_factor);
}

PyObject* calculate_parallelization_potential(PyObject*, vn::arg::F64 base_parallel_score,
                                              vn::arg::F64 embarrassing_bonus, vn::arg::F64 sequential_penalty,
                                              vn::arg::F64 loop_chunking_potential) {
    const double bonus = clamp_score(embarrassing_bonus * 0.3, 0.7);
    const double penalty = clamp_score(sequential_penalty * 0.2, 0.5);
    const double score = (loop_chunking_potential * 0.4 + base_parallel_score) + (bonus - penalty);
    return PyFloat_FromDouble(clamp_score(score, 1.0));
}

PyObject* determine_workload_pattern(
    PyObject*, vn::arg::F64 cpu_intensity, vn::arg::F64 memory_intensity, vn::arg::F64 parallelization_potential,
    vn::arg::F64 gpu_suitability, vn::arg::F64 gpu_operation_score, vn::arg::F64 numpy_score, vn::arg::F64 pandas_score,
    vn::arg::F64 sklearn_score, vn::arg::CInt sequential_count, vn::arg::CInt embarrassing_count,
    vn::arg::F64 cpu_threshold, vn::arg::F64 memory_threshold, vn::arg::F64 gpu_threshold, vn::arg::F64 numpy_threshold,
    vn::arg::F64 pandas_threshold, vn::arg::F64 sklearn_threshold, vn::arg::Bool gpu_available) {
    long code;
    if (sklearn_score > sklearn_threshold)
        code = 12;  // SKLEARN_TRAINING
    else if (pandas_score > pandas_threshold)
        code = 10;  // PANDAS_DATAFRAME
    else if (numpy_score > numpy_threshold)
        code = 8;  // NUMPY_VECTORIZED
    else if (gpu_available && gpu_suitability > gpu_threshold)
        code = gpu_operation_score > 0.7 && cpu_intensity > 0.6 ? 6   // GPU_COMPUTE_INTENSIVE
               : memory_intensity > 0.5                         ? 7   // GPU_MEMORY_BOUND
                                                                : 5;  // GPU_SUITABLE
    else if (embarrassing_count > 0 || parallelization_potential > 0.6)
        code = 3;  // PARALLEL_FRIENDLY
    else if (cpu_intensity > cpu_threshold)
        code = 1;  // CPU_INTENSIVE
    else if (memory_intensity > memory_threshold)
        code = 2;  // MEMORY_INTENSIVE
    else if (sequential_count >= 3)
        code = 4;  // SEQUENTIAL
    else
        code = 0;  // MIXED
    return PyLong_FromLong(code);
}

PyObject* update_adaptive_threshold(PyObject*, vn::arg::F64 current_threshold, vn::arg::F64 success_rate,
                                    vn::arg::F64 learning_rate, vn::arg::F64 min_threshold,
                                    vn::arg::F64 max_threshold) {
    // 1.
    double new_threshold;
    if (success_rate > 0.8)
        new_threshold = learning_rate + current_threshold;
    else if (success_rate < 0.4)
        new_threshold = current_threshold - learning_rate;
    else
        new_threshold = current_threshold;
    // 2. The lower bound first.
    if (new_threshold < min_threshold) return PyFloat_FromDouble(min_threshold);
    if (new_threshold > max_threshold) return PyFloat_FromDouble(max_threshold);
    return PyFloat_FromDouble(new_threshold);
}

// =============================================================================================
// Tables and initialisation

struct TableData {
    std::vector<const char*> entries;
    bool also_function_name;
};

// Framework tables of score_framework_patterns: numpy, pandas, sklearn.
const TableData kFrameworkTables[3] = {
    {{"numpy",  "np.",    "ndarray", "array",     "matrix",      "vectorize", "broadcast", "ufunc", "dot",
      "matmul", "linalg", "fft",     "sum",       "mean",        "std",       "var",       "min",   "max",
      "argmax", "argmin", "reshape", "transpose", "concatenate", "stack",     "split"},
     false},
    {{"pandas", "pd.", "dataframe", "series", "groupby", "apply", "agg", "transform", "merge", "join", "concat",
      "pivot", "melt", "query", "eval", "rolling", "resample", "sort_values"},
     false},
    {{"sklearn", "fit", "predict", "transform", "score", "cross_val", "gridsearchcv", "randomizedsearchcv", "pipeline",
      "featureunion", "train_test_split", "classification", "regression", "clustering", "preprocessing",
      "model_selection", "metrics", "ensemble"},
     false},
};

// Indicator categories of score_indicators, in result order.
const TableData kIndicatorTables[7] = {
    {{"for", "while", "range", "numpy", "scipy", "math", "calculation", "compute", "algorithm", "sum", "prod", "dot",
      "matmul", "fft", "linalg"},
     false},
    {{"array", "list", "dict", "pandas", "dataframe", "allocate", "buffer", "cache", "append", "extend"}, false},
    {{"multiprocessing", "threading", "concurrent", "async", "parallel", "pool", "worker", "chunk", "batch",
      "processpoolexecutor", "threadpoolexecutor"},
     false},
    {{"matmul", "dot",      "tensordot", "@",      "fft",   "ifft", "rfft", "convolve", "correlate", "sum",
      "mean",   "std",      "var",       "sin",    "cos",   "exp",  "log",  "sqrt",     "power",     "**",
      "add",    "subtract", "multiply",  "divide", "/",     "*",    "+",    "-",        "linalg",    "linear_algebra",
      "array",  "asarray",  "zeros",     "ones",   "empty", "full"},
     true},
    {{"reshape", "resize", "huge", "large", "gigabyte", "gb", "million", "billion", "1e6", "1e9", "1024", "megabyte",
      "mb"},
     false},
    {{"workload", "benchmark", "intensive", "chunk_workload", "map", "apply", "vectorize", "broadcast"}, true},
    {{"global", "nonlocal", "lock", "mutex", "synchronized", "sequential", "ordered", "dependencies"}, false},
};

// The framework regexes, and the same alternatives lower-cased for the native matcher.
struct PatternData {
    const char* name;
    const char* regex;
    std::vector<const char*> alternatives;
};
const PatternData kPatterns[3] = {
    {"numpy",
     "\\b(numpy|np\\.|ndarray|array|vectorize|matmul|linalg)\\b",
     {"numpy", "np.", "ndarray", "array", "vectorize", "matmul", "linalg"}},
    {"pandas",
     "\\b(pandas|pd\\.|DataFrame|Series|groupby|merge|pivot)\\b",
     {"pandas", "pd.", "dataframe", "series", "groupby", "merge", "pivot"}},
    {"sklearn",
     "\\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\\b",
     {"sklearn", "fit", "predict", "transform", "gridsearchcv", "randomforest"}},
};

template <size_t N>
bool load_tables(KeywordAutomaton& automaton, const TableData (&data)[N], KeywordTable (&tables)[N]) {
    for (size_t t = 0; t < N; ++t) {
        tables[t] = KeywordTable{};
        tables[t].also_function_name = data[t].also_function_name;
        for (const char* entry : data[t].entries) {
            const int id = automaton.intern(entry);
            if (id < 0) {
                PyErr_SetString(PyExc_SystemError, "taskgauge: too many keywords for one automaton");
                return false;
            }
            tables[t].entries.add(id);
        }
    }
    if (!automaton.build()) {
        PyErr_SetString(PyExc_SystemError, "taskgauge: keyword automaton too large");
        return false;
    }
    return true;
}

std::vector<vn::FuncDef> function_defs() {
    using P = vn::Param;
    return {
        {"quick_framework_score",
         vn::fn<quick_framework_score>,
         {P{"code", "str"}, P{"framework", "str"}},
         "float",
         "Fast pattern scoring using precompiled regex.",
         vn::Kind::Function},
        {"score_framework_patterns",
         vn::fn<score_framework_patterns>,
         {P{"code", "str"}},
         "tuple",
         "Score code for framework-specific patterns.",
         vn::Kind::Function},
        {"score_indicators",
         vn::fn<score_indicators>,
         {P{"code", "str"}, P{"function_name", "str"}},
         "tuple",
         "Score code against all indicator categories.",
         vn::Kind::Function},
        {"normalize_scores",
         vn::fn<normalize_scores>,
         {P{"cpu_score", "int"}, P{"memory_score", "int"}, P{"parallel_score", "int"}, P{"gpu_op_score", "int"},
          P{"large_data_score", "int"}},
         "tuple",
         "Normalize indicator scores to 0.0-1.0 range.",
         vn::Kind::Function},
        {"calculate_gpu_suitability",
         vn::fn<calculate_gpu_suitability>,
         {P{"gpu_operation_score", "float"}, P{"gpu_data_size_score", "float"}, P{"cpu_intensity", "float"},
          P{"gpu_available", "bool"}, P{"compute_capability", "str"}},
         "float",
         "Calculate overall GPU suitability score.",
         vn::Kind::Function},
        {"estimate_gpu_speedup",
         vn::fn<estimate_gpu_speedup>,
         {P{"gpu_operation_score", "float"}, P{"gpu_data_size_score", "float"}, P{"gpu_available", "bool"}},
         "float",
         "Estimate GPU speedup from static code analysis.",
         vn::Kind::Function},
        {"calculate_parallelization_potential",
         vn::fn<calculate_parallelization_potential>,
         {P{"base_parallel_score", "float"}, P{"embarrassing_bonus", "float"}, P{"sequential_penalty", "float"},
          P{"loop_chunking_potential", "float"}},
         "float",
         "Calculate parallelization potential score.",
         vn::Kind::Function},
        {"determine_workload_pattern",
         vn::fn<determine_workload_pattern>,
         {P{"cpu_intensity", "float"}, P{"memory_intensity", "float"}, P{"parallelization_potential", "float"},
          P{"gpu_suitability", "float"}, P{"gpu_operation_score", "float"}, P{"numpy_score", "float"},
          P{"pandas_score", "float"}, P{"sklearn_score", "float"}, P{"sequential_count", "int"},
          P{"embarrassing_count", "int"}, P{"cpu_threshold", "float"}, P{"memory_threshold", "float"},
          P{"gpu_threshold", "float"}, P{"numpy_threshold", "float"}, P{"pandas_threshold", "float"},
          P{"sklearn_threshold", "float"}, P{"gpu_available", "bool"}},
         "int",
         "Determine primary workload pattern from scores.",
         vn::Kind::Function},
        {"update_adaptive_threshold",
         vn::fn<update_adaptive_threshold>,
         {P{"current_threshold", "float"}, P{"success_rate", "float"}, P{"learning_rate", "float"},
          P{"min_threshold", "float"}, P{"max_threshold", "float"}},
         "float",
         "Update adaptive threshold based on performance feedback.",
         vn::Kind::Function},
    };
}

// Builds the compiled patterns and the keyword automata. Once they are complete they are never
// rebuilt: functions of an earlier import may still be running over them.
bool build_tables() {
    // A retry after a failure in here starts from scratch (no function has seen the tables yet).
    for (FrameworkPattern& pattern : *g_compiled_patterns) Py_CLEAR(pattern.compiled);
    g_compiled_patterns->clear();
    *g_framework_keywords = KeywordAutomaton{};
    *g_indicator_keywords = KeywordAutomaton{};
    // The str.lower method and the compiled patterns.
    vn::Ref re = vn::Ref::steal(PyImport_ImportModule("re"));
    if (!re) return false;
    Py_XSETREF(g_str_lower, PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower"));
    if (g_str_lower == nullptr) return false;
    vn::Ref ignorecase = vn::Ref::steal(PyObject_GetAttrString(re.get(), "IGNORECASE"));
    if (!ignorecase) return false;
    vn::Name n_compile{"compile"};
    for (const PatternData& data : kPatterns) {
        vn::Ref source = vn::Ref::steal(PyUnicode_FromString(data.regex));
        if (!source) return false;
        PyObject* compiled = vn::call_method(re.get(), n_compile, source.get(), ignorecase.get());
        if (compiled == nullptr) return false;
        g_compiled_patterns->push_back(FrameworkPattern{data.name, compiled, {}, 0});
        FrameworkPattern& pattern = g_compiled_patterns->back();
        for (const char* alt : data.alternatives) {
            // The matcher relies on every alternative starting with a lower-case letter.
            const size_t len = std::strlen(alt);
            if (len == 0 || alt[0] < 'a' || alt[0] > 'z') {
                PyErr_SetString(PyExc_SystemError, "taskgauge: a pattern alternative must start with a letter");
                return false;
            }
            pattern.alternatives.push_back(Alternative{alt, ascii_word(static_cast<unsigned char>(alt[len - 1]))});
            pattern.first_letters |= uint32_t{1} << (alt[0] - 'a');
        }
    }
    // The keyword automata.
    return load_tables(*g_framework_keywords, kFrameworkTables, g_framework_tables) &&
           load_tables(*g_indicator_keywords, kIndicatorTables, g_indicator_tables);
}

bool g_tables_built = false;  // read and written only in exec, under the import lock

int taskgauge_exec(PyObject* module) {
    // 1. Standard modules, the str.lower method and the compiled patterns; 2. the keyword automata.
    if (!vn::import_into(module, "re")) return -1;
    if (!g_tables_built) {
        if (!build_tables()) return -1;
        g_tables_built = true;
    }
    // 3. Functions, logger, banner.
    if (!vn::add_functions(module, function_defs())) return -1;
    PyObject* logger = vn::make_logger(module);
    if (logger == nullptr || !vn::log(logger, "info",
                                      "Velmora compiled workload-scoring module loaded: native framework and indicator "
                                      "scoring active"))
        return -1;
    return 0;
}

}  // namespace

VN_MODULE(taskgauge,
          "Workload detection scoring: framework and indicator scores of source text, and workload "
          "classification.",
          taskgauge_exec)
