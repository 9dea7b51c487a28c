// velmora.jit.compilegate: the adaptive compile policy of the JIT.
//
// Decides when a Python function has been called often enough to be worth compiling, and learns
// that call-count threshold per function from the speed-ups compilation actually achieved:
//   PolicyConfig      validated tuning parameters (one CPolicyConfig held by value);
//   FunctionMetrics   one function's counters (one CFunctionMetrics held by value);
//   CompileGate       learned thresholds, compile decisions and threshold updates;
//   get_compilegate / reset_compilegate   the process-wide engine, guarded by `_policy_lock`.
// The engine owns no metrics: every decision reads them from a caller's telemetry store.
//
// Concurrency model. Two kinds of guard, one for Python-level steps and one for native fields.
// - Each CompileGate holds its own threading.Lock `_lock` across the threshold lookup, the reads of
//   one metrics record and, in update(), the store into `_thresholds` (the store's get_metrics and
//   a record's attribute reads may run Python code, so no native section could span them); the
//   clock read comes before it, the comparisons and the DEBUG line after it. The singleton slot is
//   touched only under `_policy_lock` (and, natively, under g_policy_slot, below); the two Python
//   locks are never held together. Both are real mutexes on the free-threaded build.
// - The native records (a PolicyConfig's CPolicyConfig, a FunctionMetrics' CFunctionMetrics) are
//   guarded by their object's critical section (vn::CriticalSection): every getter, setter and
//   internal accessor reads or writes its field inside it, and the engine's multi-field reads take
//   one section and copy every field they need into locals at once (update() reads compile_count
//   once, for both its zero test and its weight). Conversions run before a setter's section, result
//   objects are built after a getter's. Nothing in a section runs Python code or blocks. Where an
//   interpreter lock exists, each section compiles to nothing and that lock, which no native
//   stretch here releases, is the common lock of all these fields; so no field is atomic.
// - `_thresholds` is read with strong references (vn::dict_item_ref): get_threshold's lock-free
//   path may run while update() replaces a value, and the value it found stays alive because it
//   holds it. get_statistics walks the dict inside the dict's own critical section: it sums the
//   ints that update() stores in place, and holds any other value (planted from outside) to
//   convert it after leaving the section, since a conversion may run Python code.
// - Module globals (`time`, `threading`, `logger`, `_policy_lock`) are looked up as strong
//   references at call time, so a concurrent rebinding never frees what a lookup just found.
// A reference obtained inside a lock is dropped only after the lock is left, so no destructor
// (which could re-enter the engine) runs while a non-reentrant lock is held. An engine's `_config`,
// `_thresholds`, `_lock` and `_recompile_interval` are set before it is published and never replaced
// or cleared while it lives (only its destructor drops them), so a method reads them without any
// guard and never meets a released field, whatever runs in between.
#include "native/velmora_native.hpp"

#include <cmath>
#include <cstdint>

namespace {

PyObject* g_module = nullptr;         // this module (kept alive by the module frame)
PyObject* g_global_policy = nullptr;  // `_global_policy`: touched only under `_policy_lock` and g_policy_slot
vn::Mutex g_policy_slot;              // the slot itself, natively (see get_compilegate)
vn::LockHolder g_policy_holder{0};    // the thread inside `_policy_lock`

vn::Name n_threading{"threading"}, n_logger{"logger"}, n_policy_lock{"_policy_lock"}, n_debug{"debug"},
    n_is_enabled_for{"isEnabledFor"}, n_get_metrics{"get_metrics"}, n_call_count{"call_count"},
    n_compile_count{"compile_count"}, n_avg_speedup{"avg_speedup"}, n_last_compiled{"last_compiled"},
    n_initial_threshold{"initial_threshold"}, n_min_threshold{"min_threshold"}, n_max_threshold{"max_threshold"},
    n_learning_rate{"learning_rate"}, n_target_speedup{"target_speedup"};

PyObject* g_config_kwnames = nullptr;   // ("initial_threshold", ..., "target_speedup")
PyObject* g_metrics_kwnames = nullptr;  // ("call_count", ..., "last_compile_time")

// =============================================================================================
// PolicyConfig

struct CPolicyConfig {
    int32_t initial_threshold;
    int32_t min_threshold;
    int32_t max_threshold;
    double learning_rate;
    double target_speedup;
};

struct Config;

// Internal accessors, in slot order; not visible to Python.
struct PolicyConfigTable {
    int32_t (*get_initial_threshold_fast)(Config*);
    int32_t (*get_min_threshold_fast)(Config*);
    int32_t (*get_max_threshold_fast)(Config*);
    double (*get_learning_rate_fast)(Config*);
    double (*get_target_speedup_fast)(Config*);
};

struct Config {
    PyObject_HEAD
    const PolicyConfigTable* table;
    CPolicyConfig _config;
};

inline PyObject* as_object(Config* c) noexcept { return reinterpret_cast<PyObject*>(c); }

// One field of the record, read inside the configuration's critical section.
template <typename T, T CPolicyConfig::* Field>
T config_field(Config* c) {
    vn::CriticalSection section(as_object(c));
    return c->_config.*Field;
}

// The whole record at one instant, for the engine's multi-field reads.
CPolicyConfig config_snapshot(Config* c) {
    vn::CriticalSection section(as_object(c));
    return c->_config;
}

int32_t get_initial_threshold_fast(Config* c) { return config_field<int32_t, &CPolicyConfig::initial_threshold>(c); }
int32_t get_min_threshold_fast(Config* c) { return config_field<int32_t, &CPolicyConfig::min_threshold>(c); }
int32_t get_max_threshold_fast(Config* c) { return config_field<int32_t, &CPolicyConfig::max_threshold>(c); }
double get_learning_rate_fast(Config* c) { return config_field<double, &CPolicyConfig::learning_rate>(c); }
double get_target_speedup_fast(Config* c) { return config_field<double, &CPolicyConfig::target_speedup>(c); }

const PolicyConfigTable kPolicyConfigTable = {get_initial_threshold_fast, get_min_threshold_fast,
                                              get_max_threshold_fast, get_learning_rate_fast, get_target_speedup_fast};

PyTypeObject PolicyConfigType;

inline Config* as_config(PyObject* o) noexcept { return reinterpret_cast<Config*>(o); }

// The validation rules in their order; the first failing one raises ValueError.
bool validate(const CPolicyConfig& c) {
    const char* fault = nullptr;
    if (c.min_threshold <= 0)
        fault = "min_threshold must be positive";
    else if (c.min_threshold >= c.max_threshold)
        fault = "max_threshold must be greater than min_threshold";
    else if (!(c.learning_rate > 0.0 && c.learning_rate <= 1.0))
        fault = "learning_rate must be in (0, 1]";
    else if (c.target_speedup <= 0.0)
        fault = "target_speedup must be positive";
    else if (c.initial_threshold < c.min_threshold || c.initial_threshold > c.max_threshold)
        fault = "initial_threshold must be within bounds";
    if (fault == nullptr) return true;
    PyErr_SetString(PyExc_ValueError, fault);
    return false;
}

PyObject* PolicyConfig_new(PyTypeObject* type, vn::arg::CInt initial_threshold, vn::arg::CInt min_threshold,
                           vn::arg::CInt max_threshold, vn::arg::F64 learning_rate, vn::arg::F64 target_speedup) {
    const CPolicyConfig c{initial_threshold, min_threshold, max_threshold, learning_rate, target_speedup};
    if (!validate(c)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_config(self)->table = &kPolicyConfigTable;
    as_config(self)->_config = c;
    return self;
}

// Attribute access: the constructor's conversions, no validation; deletion refused.
// (The value is converted before the section and the result built after it.)
template <int32_t CPolicyConfig::* Field>
PyObject* PolicyConfig_get_int(PyObject* self, void*) {
    return PyLong_FromLong(config_field<int32_t, Field>(as_config(self)));
}

template <int32_t CPolicyConfig::* Field>
int PolicyConfig_set_int(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return vn::delete_not_implemented();
    int32_t v;
    if (!vn::to_int(value, v)) return -1;
    vn::CriticalSection section(self);
    as_config(self)->_config.*Field = v;
    return 0;
}

template <double CPolicyConfig::* Field>
PyObject* PolicyConfig_get_double(PyObject* self, void*) {
    return PyFloat_FromDouble(config_field<double, Field>(as_config(self)));
}

template <double CPolicyConfig::* Field>
int PolicyConfig_set_double(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return vn::delete_not_implemented();
    double v;
    if (!vn::to_double(value, v)) return -1;
    vn::CriticalSection section(self);
    as_config(self)->_config.*Field = v;
    return 0;
}

PyGetSetDef PolicyConfig_getset[] = {
    {"initial_threshold", PolicyConfig_get_int<&CPolicyConfig::initial_threshold>,
     PolicyConfig_set_int<&CPolicyConfig::initial_threshold>,
     "Call count at which an unlearned function becomes eligible.", nullptr},
    {"min_threshold", PolicyConfig_get_int<&CPolicyConfig::min_threshold>,
     PolicyConfig_set_int<&CPolicyConfig::min_threshold>, "Lower clamp of every learned threshold.", nullptr},
    {"max_threshold", PolicyConfig_get_int<&CPolicyConfig::max_threshold>,
     PolicyConfig_set_int<&CPolicyConfig::max_threshold>, "Upper clamp of every learned threshold.", nullptr},
    {"learning_rate", PolicyConfig_get_double<&CPolicyConfig::learning_rate>,
     PolicyConfig_set_double<&CPolicyConfig::learning_rate>, "Fraction of the current threshold moved per update.",
     nullptr},
    {"target_speedup", PolicyConfig_get_double<&CPolicyConfig::target_speedup>,
     PolicyConfig_set_double<&CPolicyConfig::target_speedup>, "Speed-up ratio that compilation is expected to reach.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Python attribute `name` of a configuration object: native for the exact class (whose static
// type cannot be patched), through getattr for subclasses, which may override it.
PyObject* config_attribute(PyObject* config, vn::Name& name, int32_t (*fast)(Config*)) {
    if (Py_TYPE(config) == &PolicyConfigType) return PyLong_FromLong(fast(as_config(config)));
    return PyObject_GetAttr(config, name.get());
}

// =============================================================================================
// FunctionMetrics

struct CFunctionMetrics {
    uint64_t call_count = 0;
    uint32_t compile_count = 0;
    double avg_speedup = 0.0;
    double total_execution_time_ms;
    double last_compiled = 0.0;
};

struct Metrics;

// Internal accessors, in slot order; not visible to Python.
struct FunctionMetricsTable {
    uint64_t (*get_call_count_fast)(Metrics*);
    uint32_t (*get_compile_count_fast)(Metrics*);
    double (*get_avg_speedup_fast)(Metrics*);
    double (*get_last_compiled_fast)(Metrics*);
};

struct Metrics {
    PyObject_HEAD
    const FunctionMetricsTable* table;
    CFunctionMetrics _metrics;
};

inline PyObject* as_object(Metrics* m) noexcept { return reinterpret_cast<PyObject*>(m); }

// One field of the record, read inside the metrics object's critical section.
template <typename T, T CFunctionMetrics::* Field>
T metrics_field(Metrics* m) {
    vn::CriticalSection section(as_object(m));
    return m->_metrics.*Field;
}

// The whole record at one instant, for the engine's multi-field reads.
CFunctionMetrics metrics_snapshot(Metrics* m) {
    vn::CriticalSection section(as_object(m));
    return m->_metrics;
}

uint64_t get_call_count_fast(Metrics* m) { return metrics_field<uint64_t, &CFunctionMetrics::call_count>(m); }
uint32_t get_compile_count_fast(Metrics* m) { return metrics_field<uint32_t, &CFunctionMetrics::compile_count>(m); }
double get_avg_speedup_fast(Metrics* m) { return metrics_field<double, &CFunctionMetrics::avg_speedup>(m); }
double get_last_compiled_fast(Metrics* m) { return metrics_field<double, &CFunctionMetrics::last_compiled>(m); }

const FunctionMetricsTable kFunctionMetricsTable = {get_call_count_fast, get_compile_count_fast, get_avg_speedup_fast,
                                                    get_last_compiled_fast};

PyTypeObject FunctionMetricsType;

inline Metrics* as_metrics(PyObject* o) noexcept { return reinterpret_cast<Metrics*>(o); }

PyObject* FunctionMetrics_new(PyTypeObject* type, vn::arg::U64 call_count, vn::arg::U32 compile_count,
                              vn::arg::F64 avg_speedup, vn::arg::F64 total_execution_time_ms,
                              vn::arg::F64 last_compile_time, vn::arg::F64 last_compiled) {
    CFunctionMetrics m;
    m.call_count = call_count;
    m.compile_count = compile_count;
    m.avg_speedup = avg_speedup;
    m.total_execution_time_ms = total_execution_time_ms;
    // One stored timestamp: last_compiled when given and >= 0 (-0.0 counts, NaN does not).
    m.last_compiled = last_compiled >= 0.0 ? last_compiled.value : last_compile_time.value;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_metrics(self)->table = &kFunctionMetricsTable;
    as_metrics(self)->_metrics = m;
    return self;
}

PyObject* FunctionMetrics_get_call_count(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(get_call_count_fast(as_metrics(self)));
}

int FunctionMetrics_set_call_count(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return vn::delete_not_implemented();
    uint64_t v;
    if (!vn::to_uint64(value, v)) return -1;
    vn::CriticalSection section(self);
    as_metrics(self)->_metrics.call_count = v;
    return 0;
}

PyObject* FunctionMetrics_get_compile_count(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(get_compile_count_fast(as_metrics(self)));
}

int FunctionMetrics_set_compile_count(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return vn::delete_not_implemented();
    uint32_t v;
    if (!vn::to_uint32(value, v)) return -1;
    vn::CriticalSection section(self);
    as_metrics(self)->_metrics.compile_count = v;
    return 0;
}

template <double CFunctionMetrics::* Field>
PyObject* FunctionMetrics_get_double(PyObject* self, void*) {
    return PyFloat_FromDouble(metrics_field<double, Field>(as_metrics(self)));
}

template <double CFunctionMetrics::* Field>
int FunctionMetrics_set_double(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return vn::delete_not_implemented();
    double v;
    if (!vn::to_double(value, v)) return -1;
    vn::CriticalSection section(self);
    as_metrics(self)->_metrics.*Field = v;
    return 0;
}

PyGetSetDef FunctionMetrics_getset[] = {
    {"call_count", FunctionMetrics_get_call_count, FunctionMetrics_set_call_count,
     "Number of times the function has been called.", nullptr},
    {"compile_count", FunctionMetrics_get_compile_count, FunctionMetrics_set_compile_count,
     "Number of times the function has been compiled.", nullptr},
    {"avg_speedup", FunctionMetrics_get_double<&CFunctionMetrics::avg_speedup>,
     FunctionMetrics_set_double<&CFunctionMetrics::avg_speedup>, "Average speed-up obtained from compilation (ratio).",
     nullptr},
    {"total_execution_time_ms", FunctionMetrics_get_double<&CFunctionMetrics::total_execution_time_ms>,
     FunctionMetrics_set_double<&CFunctionMetrics::total_execution_time_ms>, "Total execution time in milliseconds.",
     nullptr},
    {"last_compiled", FunctionMetrics_get_double<&CFunctionMetrics::last_compiled>,
     FunctionMetrics_set_double<&CFunctionMetrics::last_compiled>,
     "Timestamp of last compilation (matches TelemetryStore interface).", nullptr},
    {"last_compile_time", FunctionMetrics_get_double<&CFunctionMetrics::last_compiled>,
     FunctionMetrics_set_double<&CFunctionMetrics::last_compiled>,
     "Alias for last_compiled for backward compatibility.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// =============================================================================================
// Factories

// Raw, converted out of order: the two floats while the arguments are parsed, then the three exact-int checks.
PyObject* create_policy_config(PyObject*, PyObject* const* argv) {
    double learning_rate, target_speedup;
    if (!vn::to_double(argv[3], learning_rate) || !vn::to_double(argv[4], target_speedup)) return nullptr;
    if (!vn::exact_int(argv[0], "initial_threshold") || !vn::exact_int(argv[1], "min_threshold") ||
        !vn::exact_int(argv[2], "max_threshold"))
        return nullptr;
    vn::Ref rate = vn::Ref::steal(PyFloat_FromDouble(learning_rate));
    vn::Ref target = vn::Ref::steal(PyFloat_FromDouble(target_speedup));
    if (!rate || !target) return nullptr;
    PyObject* values[] = {argv[0], argv[1], argv[2], rate.get(), target.get()};
    return vn::call_by_keyword(reinterpret_cast<PyObject*>(&PolicyConfigType), g_config_kwnames, values);
}

// Raw, converted out of order: the three floats while the arguments are parsed, then the two exact-int checks.
PyObject* create_function_metrics(PyObject*, PyObject* const* argv) {
    double floats[3];
    for (int i = 0; i < 3; ++i)
        if (!vn::to_double(argv[2 + i], floats[i])) return nullptr;
    if (!vn::exact_int(argv[0], "call_count") || !vn::exact_int(argv[1], "compile_count")) return nullptr;
    vn::Ref f[3];
    for (int i = 0; i < 3; ++i)
        if (!(f[i] = vn::Ref::steal(PyFloat_FromDouble(floats[i])))) return nullptr;
    PyObject* values[] = {argv[0], argv[1], f[0].get(), f[1].get(), f[2].get()};
    return vn::call_by_keyword(reinterpret_cast<PyObject*>(&FunctionMetricsType), g_metrics_kwnames, values);
}

// =============================================================================================
// CompileGate

struct Gate;

// Internal accessor, slot 0; the caller holds `_lock`.
struct CompileGateTable {
    bool (*_get_threshold_fast)(Gate*, PyObject* func_id, int32_t& out);
};

struct Gate {
    PyObject_HEAD
    const CompileGateTable* table;
    PyObject* _config;           // a PolicyConfig (or subclass instance), owned
    PyObject* _thresholds;       // dict: func_id -> learned threshold (int), owned
    PyObject* _lock;             // threading.Lock, owned
    vn::NativeLock native_lock;  // taken for _lock while nobody else can hold it (OwnedLockSection)
    vn::LockHolder lock_holder;  // the thread inside _lock
    double _recompile_interval;  // seconds between two compilations of one function
};

// The engine's _lock for the scope; a call back into the same engine from inside (a store's
// get_metrics, for one) is refused with RuntimeError instead of waiting for itself forever.
struct EngineLock : vn::OwnedLockSection {
    EngineLock(Gate* g, const char* call) noexcept
        : vn::OwnedLockSection(g->_lock, g->lock_holder, call, "engine", "_lock", &g->native_lock) {}
};

inline Gate* as_gate(PyObject* o) noexcept { return reinterpret_cast<Gate*>(o); }
inline Config* config_of(Gate* g) noexcept { return as_config(g->_config); }

// The learned threshold of func_id, else the configured initial threshold.
bool _get_threshold_fast(Gate* self, PyObject* func_id, int32_t& out) {
    PyObject* found = nullptr;
    const int present = vn::dict_item_ref(self->_thresholds, func_id, &found);
    if (present < 0) return false;
    if (present > 0) {
        vn::Ref learned = vn::Ref::steal(found);
        return vn::to_int32(learned.get(), out);
    }
    Config* config = config_of(self);
    out = config->table->get_initial_threshold_fast(config);
    return true;
}

const CompileGateTable kCompileGateTable = {_get_threshold_fast};

PyTypeObject CompileGateType;

constexpr double kRecompileInterval = 600.0;

// A configuration from any other object: its five attributes (or the defaults), by keyword.
PyObject* config_from_object(PyObject* source) {
    vn::Name* names[] = {&n_initial_threshold, &n_min_threshold, &n_max_threshold, &n_learning_rate, &n_target_speedup};
    vn::Ref values[5];
    vn::Ref defaults[5] = {vn::Ref::steal(PyLong_FromLong(100)), vn::Ref::steal(PyLong_FromLong(10)),
                           vn::Ref::steal(PyLong_FromLong(10000)), vn::Ref::steal(PyFloat_FromDouble(0.1)),
                           vn::Ref::steal(PyFloat_FromDouble(2.0))};
    PyObject* argv[5];
    for (int i = 0; i < 5; ++i) {
        if (!defaults[i] || !vn::getattr_optional(source, *names[i], values[i])) return nullptr;
        argv[i] = values[i] ? values[i].get() : defaults[i].get();
    }
    return vn::call_by_keyword(reinterpret_cast<PyObject*>(&PolicyConfigType), g_config_kwnames, argv);
}

PyObject* CompileGate_new(PyTypeObject* type, vn::arg::Object config_arg) {
    PyObject* const given = config_arg;
    vn::Ref config;
    if (given == Py_None)
        config = vn::Ref::steal(vn::call(reinterpret_cast<PyObject*>(&PolicyConfigType)));
    else if (PyObject_TypeCheck(given, &PolicyConfigType))
        config = vn::Ref::borrow(given);  // shared with the caller, not copied
    else
        config = vn::Ref::steal(config_from_object(given));
    if (!config) return nullptr;
    vn::Ref thresholds = vn::Ref::steal(PyDict_New());
    if (!thresholds) return nullptr;
    vn::Ref threading = vn::Ref::steal(vn::module_global(g_module, n_threading));
    if (!threading) return nullptr;
    vn::Ref lock = vn::Ref::steal(vn::new_lock(threading.get()));
    if (!lock) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    Gate* g = as_gate(self);
    g->table = &kCompileGateTable;
    g->_config = config.release();
    g->_thresholds = thresholds.release();
    g->_lock = lock.release();
    new (&g->native_lock) vn::NativeLock();
    new (&g->lock_holder) vn::LockHolder(0);
    if (vn::is_interpreter_lock(g->_lock) && !g->native_lock.open()) {
        Py_DECREF(self);
        return nullptr;
    }
    g->_recompile_interval = kRecompileInterval;
    return self;
}

int CompileGate_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_gate(self)->_config);
    Py_VISIT(as_gate(self)->_thresholds);
    Py_VISIT(as_gate(self)->_lock);
    return 0;
}

// No tp_clear: the fields stay valid for the object's whole life (see the top of this file). A
// cycle through the engine always passes through a PolicyConfig subclass instance, whose own
// clearing (its __dict__) breaks it.
void CompileGate_dealloc(PyObject* self) {
    vn::dealloc_tracked(self, CompileGate_dealloc, [self] {
        Gate* g = as_gate(self);
        Py_CLEAR(g->_config);
        Py_CLEAR(g->_thresholds);
        Py_CLEAR(g->_lock);
        g->native_lock.close();
        vn::free_instance(self);
    });
}

PyObject* CompileGate_get_config(PyObject* self, void*) { return vn::new_ref(as_gate(self)->_config); }

PyGetSetDef CompileGate_getset[] = {
    {"config", CompileGate_get_config, nullptr, "Get policy configuration.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A func_id parameter: exactly str, or None.
using FuncId = vn::arg::ExactOrNone<&PyUnicode_Type>;

// time.time() through the module attribute `time`, read at call time.
vn::TimeFunction g_time{"time", vn::TimeFunction::Time};
bool wall_clock(double& now) { return g_time.call(g_module, now); }

// The three reads of one decision; the exact FunctionMetrics class (a static type, whose
// attributes cannot be replaced) is read through its accessors, anything else by attribute.
bool read_decision_metrics(PyObject* metrics, uint64_t& call_count, uint32_t& compile_count, double& last_compiled) {
    if (Py_TYPE(metrics) == &FunctionMetricsType) {
        const CFunctionMetrics m = metrics_snapshot(as_metrics(metrics));  // the three fields of one instant
        call_count = m.call_count;
        compile_count = m.compile_count;
        last_compiled = m.last_compiled;
        return true;
    }
    vn::Ref v = vn::Ref::steal(PyObject_GetAttr(metrics, n_call_count.get()));
    if (!v || !vn::to_uint64(v.get(), call_count)) return false;
    v = vn::Ref::steal(PyObject_GetAttr(metrics, n_compile_count.get()));
    if (!v || !vn::to_uint32(v.get(), compile_count)) return false;
    if (!vn::getattr_optional(metrics, n_last_compiled, v)) return false;
    last_compiled = 0.0;  // a record without the attribute counts as compiled at time 0.0
    return !v || vn::to_double(v.get(), last_compiled);
}

// Not inlined into its callers: the binder's two fast paths would each take a copy, and the growth
// would keep the small helpers out of line in should_compile and update.
[[gnu::noinline]] PyObject* CompileGate_get_threshold(PyObject* gate_object, FuncId func_id_arg) {
    Gate* self = as_gate(gate_object);
    PyObject* const func_id = func_id_arg;
    if (Py_TYPE(self->_config) == &PolicyConfigType) {
        // Taken without `_lock` on purpose: with exact str/None keys and the exact configuration
        // class this read runs no Python code, so it sees the state of some instant during the
        // call, as the locked read would; it only skips waiting for a thread that is inside
        // should_compile/update. The value comes out as a strong reference: update() may replace
        // it at that very moment (on the free-threaded build, from another core), and the dict
        // hands out only values it still holds.
        PyObject* learned = nullptr;
        const int present = vn::dict_item_ref(self->_thresholds, func_id, &learned);
        if (present != 0) return present > 0 ? learned : nullptr;
        return PyLong_FromLong(get_initial_threshold_fast(as_config(self->_config)));
    }
    vn::Ref result;  // dropped after the lock is left
    EngineLock section(self, "CompileGate.get_threshold");
    if (!section.ok()) return nullptr;
    PyObject* learned = nullptr;
    const int present = vn::dict_item_ref(self->_thresholds, func_id, &learned);
    if (present > 0)
        result = vn::Ref::steal(learned);
    else if (present < 0)
        return nullptr;
    else
        result = vn::Ref::steal(config_attribute(self->_config, n_initial_threshold, get_initial_threshold_fast));
    if (!result || !section.leave()) return nullptr;
    return vn::int_result(result.release());
}

PyObject* CompileGate_should_compile(PyObject* gate_object, FuncId func_id_arg, vn::arg::Object telemetry_store_arg) {
    Gate* self = as_gate(gate_object);
    PyObject* const func_id = func_id_arg;
    PyObject* const telemetry_store = telemetry_store_arg;
    double current_time = 0.0;
    if (!wall_clock(current_time)) return nullptr;
    int32_t threshold = 0;
    uint64_t call_count = 0;
    uint32_t compile_count = 0;
    double last_compiled = 0.0;
    vn::Ref metrics;  // dropped after the lock is left
    {
        EngineLock section(self, "CompileGate.should_compile");
        if (!section.ok() || !self->table->_get_threshold_fast(self, func_id, threshold)) return nullptr;
        metrics = vn::Ref::steal(vn::call_method(telemetry_store, n_get_metrics, func_id));
        if (!metrics || !read_decision_metrics(metrics.get(), call_count, compile_count, last_compiled) ||
            !section.leave())
            return nullptr;
    }
    // call_count < threshold compared as numbers: a threshold written as zero or negative is
    // below every count (a plain unsigned comparison would turn it into a huge value).
    if (threshold > 0 && call_count < static_cast<uint64_t>(threshold)) return vn::boolean(false);
    if (compile_count == 0) return vn::boolean(true);  // never compiled
    const double time_since_compile = current_time - last_compiled;
    if (time_since_compile < self->_recompile_interval) return vn::boolean(false);
    return vn::boolean(true);
}

// Steps 6 to 9 of an update: the new threshold, moved and clamped.
int32_t next_threshold(int32_t current_threshold, uint32_t compile_count, double avg_speedup, double target_speedup,
                       double learning_rate, int32_t min_threshold, int32_t max_threshold) {
    const double speedup_ratio = target_speedup > 0.0 ? avg_speedup / target_speedup : avg_speedup;
    double adjustment = learning_rate * static_cast<double>(current_threshold);
    if (speedup_ratio > 1.0) adjustment = -adjustment;
    double new_threshold_float = static_cast<double>(current_threshold);
    if (compile_count <= 10) {
        const double confidence = static_cast<double>(compile_count) * 0.1;
        new_threshold_float += (1.0 - confidence) * adjustment;
    }
    // NaN (only from a non-finite learning_rate written after construction) has no integer value:
    // keep the current threshold, then clamp as usual.
    if (std::isnan(new_threshold_float)) new_threshold_float = static_cast<double>(current_threshold);
    if (new_threshold_float < min_threshold) return min_threshold;
    if (new_threshold_float > max_threshold) return max_threshold;
    return static_cast<int32_t>(new_threshold_float);  // in [min, max], so within 32 bits
}

// metrics.compile_count == 0, with Python equality.
int equals_zero(PyObject* value) {
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(value, &overflow);
        return overflow == 0 && v == 0;
    }
    vn::Ref zero = vn::Ref::steal(PyLong_FromLong(0));
    return zero ? PyObject_RichCompareBool(value, zero.get(), Py_EQ) : -1;
}

PyObject* g_stock_debug = nullptr;  // logging.Logger.debug, as found at import
PyObject* g_debug_level = nullptr;  // logging.DEBUG, as found at import

// True when logger.debug(message) would certainly do nothing: `debug` is the standard
// Logger.debug, which starts with `if self.isEnabledFor(DEBUG)`, and that test is false here.
// Anything else (a replaced or wrapped debug) counts as "would act"; -1 on error.
int debug_is_silent(PyObject* logger, vn::Ref& debug) {
    debug = vn::Ref::steal(PyObject_GetAttr(logger, n_debug.get()));
    if (!debug) return -1;
    if (!PyMethod_Check(debug.get()) || PyMethod_GET_FUNCTION(debug.get()) != g_stock_debug ||
        PyMethod_GET_SELF(debug.get()) != logger)
        return 0;
    vn::Ref enabled = vn::Ref::steal(vn::call_method(logger, n_is_enabled_for, g_debug_level));
    if (!enabled) return -1;
    const int truth = PyObject_IsTrue(enabled.get());
    return truth < 0 ? -1 : !truth;
}

// logger.debug("Updated threshold for <id>: <old> -> <new> (speedup: <x.xx>x)"). The message is
// built only when the call could have an effect: formatting the float dominates an update.
bool log_update(PyObject* func_id, int32_t current_threshold, int32_t new_threshold, double avg_speedup) {
    vn::Ref logger = vn::Ref::steal(vn::module_global(g_module, n_logger));
    if (!logger) return false;
    vn::Ref debug;
    const int silent = debug_is_silent(logger.get(), debug);
    if (silent != 0) return silent > 0;
    char* speedup = PyOS_double_to_string(avg_speedup, 'f', 2, 0, nullptr);  // format(x, ".2f")
    if (speedup == nullptr) return false;
    vn::Ref message = vn::Ref::steal(PyUnicode_FromFormat("Updated threshold for %S: %d -> %d (speedup: %sx)", func_id,
                                                          current_threshold, new_threshold, speedup));
    PyMem_Free(speedup);
    if (!message) return false;
    vn::Ref r = vn::Ref::steal(vn::call(debug.get(), message.get()));
    return static_cast<bool>(r);
}

PyObject* CompileGate_update(PyObject* gate_object, FuncId func_id_arg, vn::arg::Object telemetry_store_arg) {
    Gate* self = as_gate(gate_object);
    PyObject* const func_id = func_id_arg;
    PyObject* const telemetry_store = telemetry_store_arg;
    int32_t current_threshold = 0, new_threshold = 0;
    uint32_t compile_count = 0;
    double avg_speedup = 0.0;
    vn::Ref metrics, count, speedup, stored;  // dropped after the lock is left
    {
        EngineLock section(self, "CompileGate.update");
        if (!section.ok()) return nullptr;
        metrics = vn::Ref::steal(vn::call_method(telemetry_store, n_get_metrics, func_id));
        if (!metrics) return nullptr;
        const bool native = Py_TYPE(metrics.get()) == &FunctionMetricsType;
        // compile_count is read once and serves both the zero test and the weight; a native record
        // gives it and avg_speedup together, from one instant.
        CFunctionMetrics record{};
        if (native) {
            record = metrics_snapshot(as_metrics(metrics.get()));
        } else {
            count = vn::Ref::steal(PyObject_GetAttr(metrics.get(), n_compile_count.get()));
            if (!count) return nullptr;
        }
        const int never_compiled = native ? record.compile_count == 0 : equals_zero(count.get());
        if (never_compiled < 0) return nullptr;
        if (never_compiled) return section.leave() ? vn::none() : nullptr;
        if (!self->table->_get_threshold_fast(self, func_id, current_threshold)) return nullptr;
        if (native) {
            compile_count = record.compile_count;
            avg_speedup = record.avg_speedup;
        } else {
            if (!vn::to_uint32(count.get(), compile_count)) return nullptr;
            speedup = vn::Ref::steal(PyObject_GetAttr(metrics.get(), n_avg_speedup.get()));
            if (!speedup || !vn::to_double(speedup.get(), avg_speedup)) return nullptr;
        }
        const CPolicyConfig c = config_snapshot(config_of(self));  // the four parameters of one instant
        new_threshold = next_threshold(current_threshold, compile_count, avg_speedup, c.target_speedup, c.learning_rate,
                                       c.min_threshold, c.max_threshold);
        stored = vn::Ref::steal(PyLong_FromLong(new_threshold));
        if (!stored || PyDict_SetItem(self->_thresholds, func_id, stored.get()) < 0 || !section.leave()) return nullptr;
    }
    if (!log_update(func_id, current_threshold, new_threshold, avg_speedup)) return nullptr;
    return vn::none();
}

PyObject* CompileGate_get_statistics(PyObject* gate_object) {
    Gate* self = as_gate(gate_object);
    vn::Ref tracked, avg, low, high;  // dropped after the lock is left
    EngineLock section(self, "CompileGate.get_statistics");
    if (!section.ok()) return nullptr;
    // The learned values at one instant: the walk runs inside the dict's own critical section, so
    // it meets neither a concurrent insertion nor a freed value. The ints that update() stores
    // (within 32 bits) are summed in place; a value of any other kind (only planted from outside)
    // sends the walk back to the start to hold every value, and those are converted after the
    // section, since a conversion may run Python code. The count is the walk's own.
    int64_t sum = 0, smallest = INT64_MAX, largest = INT64_MIN;
    Py_ssize_t count = 0;
    bool plain = true;
    vn::RefVector held;
    {
        vn::CriticalSection walk(self->_thresholds);
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (plain && PyDict_Next(self->_thresholds, &pos, &key, &value)) {
            int overflow = 0;
            long v = 0;
            // An exact int is read without running Python code (and without raising).
            plain = PyLong_CheckExact(value) && vn::detail::long_value(value, v, overflow) && overflow == 0 &&
                    v >= INT32_MIN && v <= INT32_MAX;
            if (!plain) break;
            sum += v;
            if (v < smallest) smallest = v;
            if (v > largest) largest = v;
            ++count;
        }
        pos = 0;
        bool copied = true;
        while (!plain && copied && PyDict_Next(self->_thresholds, &pos, &key, &value)) copied = held.push(value);
        if (!copied) return nullptr;
    }
    if (!plain) {
        sum = 0, smallest = INT64_MAX, largest = INT64_MIN;
        count = static_cast<Py_ssize_t>(held.size());
        for (size_t i = 0; i < held.size(); ++i) {
            int64_t v;
            if (!vn::to_int64(held[i], v)) return nullptr;
            sum += v;
            if (v < smallest) smallest = v;
            if (v > largest) largest = v;
        }
    }
    if (count == 0) {
        tracked = vn::Ref::steal(PyLong_FromLong(0));
        avg = vn::Ref::steal(config_attribute(self->_config, n_initial_threshold, get_initial_threshold_fast));
        if (!avg) return nullptr;
        low = vn::Ref::steal(config_attribute(self->_config, n_min_threshold, get_min_threshold_fast));
        if (!low) return nullptr;
        high = vn::Ref::steal(config_attribute(self->_config, n_max_threshold, get_max_threshold_fast));
    } else {
        tracked = vn::Ref::steal(PyLong_FromSsize_t(count));
        vn::Ref total = vn::Ref::steal(PyLong_FromLongLong(sum));
        if (!tracked || !total) return nullptr;
        avg = vn::Ref::steal(PyNumber_TrueDivide(total.get(), tracked.get()));  // Python's int / int
        low = vn::Ref::steal(PyLong_FromLongLong(smallest));
        high = vn::Ref::steal(PyLong_FromLongLong(largest));
    }
    if (!tracked || !avg || !low || !high || !section.leave()) return nullptr;
    static vn::Names keys{"tracked_functions", "avg_threshold", "min_threshold", "max_threshold"};
    return vn::make_dict(keys, tracked.release(), avg.release(), low.release(), high.release());
}

const char* const kCompileGateDoc =
    "Adaptive JIT threshold policy. Learns optimal compilation thresholds based on observed performance. "
    "Adapts per-function to workload characteristics.\n\n"
    "Cycle of use, with a TelemetryStore:\n"
    "    1. record each call in the store (record_call);\n"
    "    2. ask should_compile(func_id, store);\n"
    "    3. if true, compile, measure the speed-up and record it (record_compile);\n"
    "    4. call update(func_id, store) so the threshold learns from the outcome.\n\n"
    "Performance targets: should_compile < 1 us (threshold check + metrics lookup), update < 1 us,\n"
    "get_threshold < 100 ns (dict lookup with lock).";

// =============================================================================================
// The process-wide engine

// `_policy_lock` (whatever the module attribute holds at the call) orders the callers, as the
// contract says. The slot itself is also read and written under the native g_policy_slot, never
// across Python code, so even a `_policy_lock` rebound to something that does not exclude cannot
// make two threads race on the pointer: at worst each builds an engine and one of them is dropped.
// With the real lock the slot never changes between the test and the store, and the guard is
// uncontended; without a GIL it is a PyMutex, with one it is nothing.
PyObject* get_compilegate(PyObject*) {
    vn::Ref lock = vn::Ref::steal(vn::module_global(g_module, n_policy_lock));
    if (!lock) return nullptr;
    vn::Ref result, spare;  // dropped after the lock is left
    vn::OwnedLockSection section(lock.get(), g_policy_holder, "get_compilegate", "module", "_policy_lock");
    if (!section.ok()) return nullptr;
    {
        vn::MutexGuard guard(g_policy_slot);
        result = vn::Ref::borrow(g_global_policy);
    }
    if (!result) {
        vn::Ref fresh = vn::Ref::steal(vn::call(reinterpret_cast<PyObject*>(&CompileGateType)));
        if (!fresh) return nullptr;
        vn::MutexGuard guard(g_policy_slot);
        if (g_global_policy == nullptr) {
            g_global_policy = vn::new_ref(fresh.get());
            result = std::move(fresh);
        } else {
            result = vn::Ref::borrow(g_global_policy);
            spare = std::move(fresh);
        }
    }
    return section.leave() ? result.release() : nullptr;
}

PyObject* reset_compilegate(PyObject*) {
    vn::Ref lock = vn::Ref::steal(vn::module_global(g_module, n_policy_lock));
    if (!lock) return nullptr;
    vn::Ref old;  // the previous engine is released after the lock is left
    vn::OwnedLockSection section(lock.get(), g_policy_holder, "reset_compilegate", "module", "_policy_lock");
    if (!section.ok()) return nullptr;
    {
        vn::MutexGuard guard(g_policy_slot);
        old = vn::Ref::steal(g_global_policy);
        g_global_policy = nullptr;
    }
    return section.leave() ? vn::none() : nullptr;
}

// =============================================================================================
// Module

int compilegate_exec(PyObject* module) {
    using vn::Kind;
    g_module = module;
    if (!(g_config_kwnames = vn::name_tuple(
              {"initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup"})) ||
        !(g_metrics_kwnames = vn::name_tuple(
              {"call_count", "compile_count", "avg_speedup", "total_execution_time_ms", "last_compile_time"})))
        return -1;

    // 1. Standard modules.
    if (!vn::import_into(module, "time") || !vn::import_into(module, "threading") ||
        !vn::import_names_into(module, "typing", {"Dict", "Optional"}) || !g_time.capture(module))
        return -1;
    PyObject* logger = vn::make_logger(module);  // also `import logging`
    if (logger == nullptr) return -1;
    {
        vn::Ref logging = vn::Ref::steal(PyImport_ImportModule("logging"));
        vn::Ref logger_class = vn::Ref::steal(logging ? PyObject_GetAttrString(logging.get(), "Logger") : nullptr);
        if (!logger_class || !(g_stock_debug = PyObject_GetAttrString(logger_class.get(), "debug")) ||
            !(g_debug_level = PyObject_GetAttrString(logging.get(), "DEBUG")))
            return -1;
    }

    // 2. The native classes.
    vn::init_type(PolicyConfigType, "velmora.jit.compilegate.PolicyConfig", sizeof(Config),
                  "Policy configuration: the validated tuning parameters of the compile threshold engine.");
    PolicyConfigType.tp_dealloc = vn::free_instance;
    PolicyConfigType.tp_getset = PolicyConfig_getset;
    if (!vn::ready_type(module, PolicyConfigType,
                        vn::constructor<PolicyConfig_new>({{"initial_threshold", nullptr, "100"},
                                                           {"min_threshold", nullptr, "10"},
                                                           {"max_threshold", nullptr, "10000"},
                                                           {"learning_rate", nullptr, "0.1"},
                                                           {"target_speedup", nullptr, "2.0"}}),
                        {}))
        return -1;

    vn::init_type(FunctionMetricsType, "velmora.jit.compilegate.FunctionMetrics", sizeof(Metrics),
                  "Execution and compilation counters of one function (the TelemetryStore record interface).");
    FunctionMetricsType.tp_dealloc = vn::free_instance;
    FunctionMetricsType.tp_getset = FunctionMetrics_getset;
    if (!vn::ready_type(module, FunctionMetricsType,
                        vn::constructor<FunctionMetrics_new>({{"call_count", nullptr, "0"},
                                                              {"compile_count", nullptr, "0"},
                                                              {"avg_speedup", nullptr, "1.0"},
                                                              {"total_execution_time_ms", nullptr, "0.0"},
                                                              {"last_compile_time", nullptr, "0.0"},
                                                              {"last_compiled", nullptr, "-1.0"}}),
                        {}))
        return -1;

    vn::init_type(CompileGateType, "velmora.jit.compilegate.CompileGate", sizeof(Gate), kCompileGateDoc,
                  Py_TPFLAGS_HAVE_GC);
    CompileGateType.tp_dealloc = CompileGate_dealloc;
    CompileGateType.tp_traverse = CompileGate_traverse;
    CompileGateType.tp_getset = CompileGate_getset;
    if (!vn::ready_type(
            module, CompileGateType, vn::constructor<CompileGate_new>({{"config", nullptr, "None"}}),
            {
                {"get_threshold",
                 vn::method<CompileGate_get_threshold>,
                 {{"func_id", "str"}},
                 "int",
                 "Get the compilation threshold of a function: its learned one, else the initial threshold."},
                {"should_compile",
                 vn::method<CompileGate_should_compile>,
                 {{"func_id", "str"}, {"telemetry_store"}},
                 "bool",
                 "Decide whether a function should be compiled now.\n\n"
                 "False below the call-count threshold; True for a function never compiled; otherwise True\n"
                 "only when at least 600 seconds have passed since its last compilation.\n"
                 "All state reads happen atomically within lock to prevent TOCTOU race conditions."},
                {"update",
                 vn::method<CompileGate_update>,
                 {{"func_id", "str"}, {"telemetry_store"}},
                 "None",
                 "Update policy based on compilation outcome."},
                {"get_statistics", vn::method<CompileGate_get_statistics>, {}, "Dict", "Get policy statistics."},
            }))
        return -1;

    // 3. Functions.
    if (!vn::add_functions(module, {
                                       {"create_policy_config",
                                        vn::fn<create_policy_config>,
                                        {{"initial_threshold", "int", "100"},
                                         {"min_threshold", "int", "10"},
                                         {"max_threshold", "int", "10000"},
                                         {"learning_rate", "float", "0.1"},
                                         {"target_speedup", "float", "2.0"}},
                                        "PolicyConfig",
                                        "Provides a Python-friendly interface for creating config objects.",
                                        Kind::Function},
                                       {"create_function_metrics",
                                        vn::fn<create_function_metrics>,
                                        {{"call_count", "int", "0"},
                                         {"compile_count", "int", "0"},
                                         {"avg_speedup", "float", "1.0"},
                                         {"total_execution_time_ms", "float", "0.0"},
                                         {"last_compile_time", "float", "0.0"}},
                                        "FunctionMetrics",
                                        "Provides a Python-friendly interface for creating metrics objects.",
                                        Kind::Function},
                                       {"get_compilegate",
                                        vn::fn<get_compilegate>,
                                        {},
                                        "CompileGate",
                                        "Always acquires lock before checking/creating singleton. "
                                        "This prevents race conditions during initialization.",
                                        Kind::Function},
                                       {"reset_compilegate",
                                        vn::fn<reset_compilegate>,
                                        {},
                                        "None",
                                        "Reset the global compile policy instance (useful for testing).",
                                        Kind::Function},
                                   }))
        return -1;

    // 4. The singleton's lock, then the banner.
    vn::Ref threading = vn::Ref::steal(vn::module_global(module, n_threading));
    if (!threading) return -1;
    PyObject* policy_lock = vn::new_lock(threading.get());
    if (policy_lock == nullptr || PyModule_AddObject(module, "_policy_lock", policy_lock) < 0) {
        Py_XDECREF(policy_lock);
        return -1;
    }
    if (!vn::log(logger, "info", "Velmora compile policy loaded: native adaptive JIT thresholds active")) return -1;
    return 0;
}

}  // namespace

VN_MODULE(compilegate,
          "Adaptive compile policy: learns per-function JIT compilation thresholds from measured speed-ups.\n\n"
          "Reduces compilation attempts while maximizing benefit.",
          compilegate_exec)
