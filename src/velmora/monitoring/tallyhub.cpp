// velmora.monitoring.tallyhub: a fixed array of numbered counters, each folding a stream of float
// observations into count, sum, sum of squares, minimum and maximum, and reporting count, mean,
// population variance, standard deviation and the extremes on demand.
//
// Concurrency. No Python lock and no atomic instruction. The records of one aggregator are guarded
// by that aggregator's critical section (vn::CriticalSection on the object): every operation holds
// it over its native stretch only (the range check and any override call come before it, the
// result objects are built after it), so the five fields of a record always change together and
// are always read together. Where an interpreter lock exists the section compiles to nothing: each
// operation runs start to finish under that lock and never releases it, which makes it just as
// indivisible. On the free-threaded build the section is a per-object mutex, so updates from any
// number of threads keep exact counts:
// - update: the whole read-modify-write of one record (the first-observation test included);
// - get_stats: copies the record inside, computes and builds the dict outside;
// - reset: one record; reset_all: every record in one hold, so a reader sees all or none of it;
// - get_all_stats, native get_stats: copies every record in one hold, builds the dicts outside;
//   with an instance of a subclass each id goes through get_stats one by one (an override may be
//   called), each of those a hold of its own.
// `counters` and `num_counters` are set before the object is published and only released by the
// destructor, so any method reached through a live reference reads them without the section.
// The operation table (`ops`) takes the same sections, so a native caller needs what a Python one
// has: an attached thread state (the interpreter lock, where there is one).
//
// Storage: the records are one zeroed block from the raw allocator (calloc-style), so building even
// a very large aggregator touches no record. A record with count == 0 is in the initial state
// whatever its bytes hold: its extremes read as +inf / -inf, and the first observation starts
// from those values. Reported values are exactly those of records initialised eagerly.
#include "native/velmora_native.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// ---------------------------------------------------------------------------------------------
// Native records and the aggregator type.

struct CounterRecord {
    uint64_t count;
    double sum;
    double sum_sq;
    double min_val;  // meaningful only while count > 0
    double max_val;  // meaningful only while count > 0
};

struct Aggregator;

// The table of overridable operations, in its fixed order. `dispatch` true: a Python subclass's
// override of the operation is called instead of the native one.
struct AggregatorOps {
    PyObject* (*update)(Aggregator* self, int32_t counter_id, double value, bool dispatch);
    PyObject* (*get_stats)(Aggregator* self, int32_t counter_id, bool dispatch);
    PyObject* (*reset)(Aggregator* self, int32_t counter_id, bool dispatch);
    PyObject* (*reset_all)(Aggregator* self, bool dispatch);
    PyObject* (*get_all_stats)(Aggregator* self, bool dispatch);
};

struct Aggregator {
    PyObject_HEAD
    const AggregatorOps* ops;
    CounterRecord* counters;
    int32_t num_counters;
};

PyTypeObject CounterAggregatorType;

Aggregator* as_aggregator(PyObject* o) { return reinterpret_cast<Aggregator*>(o); }
PyObject* as_object(Aggregator* self) { return reinterpret_cast<PyObject*>(self); }

// IndexError "Counter ID <id> out of range" unless 0 <= id < num_counters.
bool check_range(const Aggregator* self, int32_t counter_id) {
    if (counter_id < 0 || counter_id >= self->num_counters) {
        PyErr_Format(PyExc_IndexError, "Counter ID %d out of range", static_cast<int>(counter_id));
        return false;
    }
    return true;
}

void reset_record(CounterRecord& r) {
    // count == 0 marks the initial state; the extremes are stored as the contract gives them.
    r.count = 0;
    r.sum = 0.0;
    r.sum_sq = 0.0;
    r.min_val = kInf;
    r.max_val = -kInf;
}

// ---------------------------------------------------------------------------------------------
// Python-level overrides: when `self` is an instance of a Python subclass that replaces the
// operation, the table entry calls the replacement.

vn::Name n_update{"update"};
vn::Name n_get_stats{"get_stats"};
vn::Name n_reset{"reset"};
vn::Name n_reset_all{"reset_all"};
vn::Name n_get_all_stats{"get_all_stats"};

// A new reference to the override of `name` for `self`, null with no error when there is none,
// null with an error if the lookup failed.
PyObject* find_override(Aggregator* self, vn::Name& name) {
    PyObject* base = PyDict_GetItemWithError(CounterAggregatorType.tp_dict, name.get());
    if (base == nullptr) return nullptr;
    PyObject* found = PyObject_GetAttr(reinterpret_cast<PyObject*>(self), name.get());
    if (found == nullptr) return nullptr;
    // The native method, reached through the instance, is a bound method of the very object
    // stored in the base type's dictionary.
    if (PyMethod_Check(found) && PyMethod_GET_FUNCTION(found) == base &&
        PyMethod_GET_SELF(found) == reinterpret_cast<PyObject*>(self)) {
        Py_DECREF(found);
        return nullptr;
    }
    return found;
}

bool is_subclass_instance(Aggregator* self) { return Py_TYPE(self) != &CounterAggregatorType; }

// ---------------------------------------------------------------------------------------------
// The operations.

PyObject* op_update(Aggregator* self, int32_t counter_id, double value, bool dispatch);
PyObject* op_get_stats(Aggregator* self, int32_t counter_id, bool dispatch);
PyObject* op_reset(Aggregator* self, int32_t counter_id, bool dispatch);
PyObject* op_reset_all(Aggregator* self, bool dispatch);
PyObject* op_get_all_stats(Aggregator* self, bool dispatch);

const AggregatorOps kAggregatorOps = {op_update, op_get_stats, op_reset, op_reset_all, op_get_all_stats};

// Calls `override` with an id (and a value); consumes `override`.
PyObject* call_override(PyObject* override, int32_t counter_id) {
    vn::Ref fn = vn::Ref::steal(override);
    vn::Ref id = vn::Ref::steal(PyLong_FromLong(counter_id));
    if (!id) return nullptr;
    return vn::call(fn.get(), id.get());
}

PyObject* op_update(Aggregator* self, int32_t counter_id, double value, bool dispatch) {
    if (dispatch && is_subclass_instance(self)) {
        vn::Ref fn = vn::Ref::steal(find_override(self, n_update));
        if (fn) {
            vn::Ref id = vn::Ref::steal(PyLong_FromLong(counter_id));
            vn::Ref v = vn::Ref::steal(PyFloat_FromDouble(value));
            if (!id || !v) return nullptr;
            return vn::call(fn.get(), id.get(), v.get());
        }
        if (PyErr_Occurred()) return nullptr;
    }
    if (!check_range(self, counter_id)) return nullptr;
    {
        vn::CriticalSection section(as_object(self));
        CounterRecord& r = self->counters[counter_id];
        if (r.count == 0) {
            // First observation since construction or reset: start from the initial extremes.
            r.min_val = kInf;
            r.max_val = -kInf;
        }
        r.count += 1;
        r.sum += value;
        r.sum_sq += value * value;
        if (value < r.min_val) r.min_val = value;
        if (value > r.max_val) r.max_val = value;
    }
    return vn::none();
}

// The six report keys, interned once (a dict with cached-hash keys is built without re-hashing).
vn::Names n_stat_keys{"count", "mean", "variance", "std", "min", "max"};

PyObject* stats_dict(uint64_t count, double mean, double variance, double std_dev, double min_val, double max_val) {
    return vn::make_dict(n_stat_keys, PyLong_FromUnsignedLongLong(count), PyFloat_FromDouble(mean),
                         PyFloat_FromDouble(variance), PyFloat_FromDouble(std_dev), PyFloat_FromDouble(min_val),
                         PyFloat_FromDouble(max_val));
}

// The report of one record (a copy taken inside the aggregator's section).
PyObject* record_stats(const CounterRecord& r) {
    if (r.count == 0) return stats_dict(0, 0.0, 0.0, 0.0, kInf, -kInf);
    const double n = static_cast<double>(r.count);
    const double mean = r.sum / n;
    const double variance = r.sum_sq / n - mean * mean;  // population variance, not clamped
    // variance ** 0.5; a variance that rounding made negative has no real root: report 0.0.
    // NaN stays NaN (IEEE).
    const double std_dev = variance < 0.0 ? 0.0 : std::pow(variance, 0.5);
    return stats_dict(r.count, mean, variance, std_dev, r.min_val, r.max_val);
}

PyObject* op_get_stats(Aggregator* self, int32_t counter_id, bool dispatch) {
    if (dispatch && is_subclass_instance(self)) {
        PyObject* fn = find_override(self, n_get_stats);
        if (fn != nullptr) return call_override(fn, counter_id);
        if (PyErr_Occurred()) return nullptr;
    }
    if (!check_range(self, counter_id)) return nullptr;
    CounterRecord copy;
    {
        vn::CriticalSection section(as_object(self));
        copy = self->counters[counter_id];
    }
    return record_stats(copy);
}

PyObject* op_reset(Aggregator* self, int32_t counter_id, bool dispatch) {
    if (dispatch && is_subclass_instance(self)) {
        PyObject* fn = find_override(self, n_reset);
        if (fn != nullptr) return call_override(fn, counter_id);
        if (PyErr_Occurred()) return nullptr;
    }
    if (!check_range(self, counter_id)) return nullptr;
    {
        vn::CriticalSection section(as_object(self));
        reset_record(self->counters[counter_id]);
    }
    return vn::none();
}

PyObject* op_reset_all(Aggregator* self, bool dispatch) {
    if (dispatch && is_subclass_instance(self)) {
        vn::Ref fn = vn::Ref::steal(find_override(self, n_reset_all));
        if (fn) return vn::call(fn.get());
        if (PyErr_Occurred()) return nullptr;
    }
    {
        vn::CriticalSection section(as_object(self));  // one hold: readers see all of it or none
        for (int32_t i = 0; i < self->num_counters; ++i) reset_record(self->counters[i]);
    }
    return vn::none();
}

// get_all_stats of an instance of the exact class, whose get_stats is the native one: one copy of
// every record, taken in one hold of the section, then one dict per copy.
PyObject* all_native_stats(Aggregator* self) {
    const int32_t n = self->num_counters;  // >= 0: construction refuses a negative count
    CounterRecord* copies = nullptr;
    if (n > 0) {
        // n records already fit in one allocation (the aggregator's own), so the size cannot wrap.
        copies = static_cast<CounterRecord*>(PyMem_RawMalloc(static_cast<size_t>(n) * sizeof(CounterRecord)));
        if (copies == nullptr) return PyErr_NoMemory();
        vn::CriticalSection section(as_object(self));
        std::memcpy(copies, self->counters, static_cast<size_t>(n) * sizeof(CounterRecord));
    }
    vn::Ref result = vn::Ref::steal(PyList_New(0));
    for (int32_t i = 0; i < n && result; ++i) {
        vn::Ref stats = vn::Ref::steal(record_stats(copies[i]));
        if (!stats || PyList_Append(result.get(), stats.get()) < 0) result.reset();
    }
    PyMem_RawFree(copies);
    return result.release();
}

PyObject* op_get_all_stats(Aggregator* self, bool dispatch) {
    if (dispatch && is_subclass_instance(self)) {
        vn::Ref fn = vn::Ref::steal(find_override(self, n_get_all_stats));
        if (fn) return vn::call(fn.get());
        if (PyErr_Occurred()) return nullptr;
    }
    if (!is_subclass_instance(self)) return all_native_stats(self);
    // A subclass may override get_stats (and may start or stop doing so while the list is built):
    // every id goes through the table with dispatch, as the contract describes.
    vn::Ref result = vn::Ref::steal(PyList_New(0));
    if (!result) return nullptr;
    for (int32_t i = 0; i < self->num_counters; ++i) {
        vn::Ref stats = vn::Ref::steal(self->ops->get_stats(self, i, true));
        if (!stats) return nullptr;
        if (!PyDict_CheckExact(stats.get()) && stats.get() != Py_None) {
            vn::expected_type_error("dict", stats.get());
            return nullptr;
        }
        if (PyList_Append(result.get(), stats.get()) < 0) return nullptr;
        // An override may have shrunk nothing here: num_counters is fixed at construction.
    }
    return result.release();
}

// ---------------------------------------------------------------------------------------------
// Python-visible methods.

PyObject* CounterAggregator_update(PyObject* self, vn::arg::CInt counter_id, vn::arg::F64 value) {
    return op_update(as_aggregator(self), counter_id, value, false);
}

PyObject* CounterAggregator_get_stats(PyObject* self, vn::arg::CInt counter_id) {
    return op_get_stats(as_aggregator(self), counter_id, false);
}

PyObject* CounterAggregator_reset(PyObject* self, vn::arg::CInt counter_id) {
    return op_reset(as_aggregator(self), counter_id, false);
}

PyObject* CounterAggregator_reset_all(PyObject* self) { return op_reset_all(as_aggregator(self), false); }

PyObject* CounterAggregator_get_all_stats(PyObject* self) { return op_get_all_stats(as_aggregator(self), false); }

// ---------------------------------------------------------------------------------------------
// Construction and destruction.

PyObject* CounterAggregator_new(PyTypeObject* type, vn::arg::CInt num_counters_arg) {
    const int32_t num_counters = num_counters_arg;
    vn::Ref obj = vn::Ref::steal(type->tp_alloc(type, 0));
    if (!obj) return nullptr;
    Aggregator* self = as_aggregator(obj.get());
    self->ops = &kAggregatorOps;
    self->num_counters = num_counters;
    self->counters = nullptr;
    // A negative count has no byte size; the raw calloc checks count * size for overflow.
    if (num_counters >= 0)
        self->counters =
            static_cast<CounterRecord*>(PyMem_RawCalloc(static_cast<size_t>(num_counters), sizeof(CounterRecord)));
    if (self->counters == nullptr) {
        self->num_counters = 0;
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate counter storage");
        return nullptr;
    }
    return obj.release();
}

void CounterAggregator_dealloc(PyObject* o) {
    Aggregator* self = as_aggregator(o);
    PyMem_RawFree(self->counters);
    self->counters = nullptr;
    self->num_counters = 0;
    vn::free_instance(o);
}

// create_aggregator(num_counters=1000): CounterAggregator(num_counters).
PyObject* create_aggregator(PyObject*, vn::arg::Object num_counters) {
    return vn::call(reinterpret_cast<PyObject*>(&CounterAggregatorType), static_cast<PyObject*>(num_counters));
}

// ---------------------------------------------------------------------------------------------
// Tables and initialisation.

// The docstrings say what makes an update indivisible on the build at hand.
#ifdef Py_GIL_DISABLED
const char kCounterAggregatorDoc[] =
    "Fast counter aggregation in compiled code.\n\n"
    "Each counter accumulates count, sum, sum of squares, minimum and maximum of its observations.\n"
    "This build has no interpreter lock: each update holds the aggregator's own critical section\n"
    "(a per-object lock), which keeps counts exact for any number of threads without a per-update\n"
    "Python lock in the hot path.";

const char kUpdateDoc[] =
    "Update a counter with a new value.\n\n"
    "Holds the aggregator's critical section (a per-object lock) for the few native instructions\n"
    "of the update, so an update is indivisible for any thread: avoiding a Python lock keeps this\n"
    "path measurably faster than the pure-Python equivalent.";
#else
const char kCounterAggregatorDoc[] =
    "Fast counter aggregation in compiled code.\n\n"
    "Each counter accumulates count, sum, sum of squares, minimum and maximum of its observations.\n"
    "Updates run entirely while the interpreter lock is held, which makes them thread-safe for\n"
    "Python callers without a per-update Python lock in the hot path.";

const char kUpdateDoc[] =
    "Update a counter with a new value.\n\n"
    "Runs while the interpreter lock is held and never releases it, so an update is indivisible\n"
    "for Python threads: avoiding a Python lock keeps this path measurably faster than the\n"
    "pure-Python equivalent.";
#endif

const char kGetStatsDoc[] =
    "Get statistics for a counter.\n\n"
    "Returns a dict with count, mean, variance, std, min and max.";

int tallyhub_exec(PyObject* module) {
    vn::init_type(CounterAggregatorType, "velmora.monitoring.tallyhub.CounterAggregator", sizeof(Aggregator),
                  kCounterAggregatorDoc);
    CounterAggregatorType.tp_dealloc = CounterAggregator_dealloc;
    const std::vector<vn::FuncDef> methods = {
        {"update",
         vn::method<CounterAggregator_update>,
         {{"counter_id", "int"}, {"value", "float"}},
         "None",
         kUpdateDoc},
        {"get_stats", vn::method<CounterAggregator_get_stats>, {{"counter_id", "int"}}, "dict", kGetStatsDoc},
        {"reset", vn::method<CounterAggregator_reset>, {{"counter_id", "int"}}, "None", "Reset a specific counter."},
        {"reset_all", vn::method<CounterAggregator_reset_all>, {}, "None", "Reset all counters."},
        {"get_all_stats", vn::method<CounterAggregator_get_all_stats>, {}, "list", "Get statistics for all counters."},
    };
    if (!vn::ready_type(module, CounterAggregatorType,
                        vn::constructor<CounterAggregator_new>({{"num_counters", nullptr, "1000"}}), methods))
        return -1;
    const std::vector<vn::FuncDef> functions = {
        {"create_aggregator",
         vn::fn<create_aggregator>,
         {{"num_counters", nullptr, "1000"}},
         "CounterAggregator",
         "Create a new CounterAggregator instance.",
         vn::Kind::Function},
    };
    if (!vn::add_functions(module, functions)) return -1;
    return 0;
}

}  // namespace

VN_MODULE(tallyhub,
          "Compiled extension for low-overhead telemetry aggregation that exposes counters accessible "
          "from Python.",
          tallyhub_exec)
