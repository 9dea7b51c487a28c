// velmora.plugins.analyzer.tunejudge: the adaptive orchestrator's stateless decisions. Six judge
// performance over time (degradation against a baseline, the normalised trend of a metric, a shift
// in the workload's character, whether a pool switch is worth it, the cool-down, the urgency of an
// adaptation); five judge resources (memory pressure, fragmentation, the score of a candidate pool,
// the pattern dominating recent observations, the allocations and bytes of the next interval).
// Every function computes in double precision, in the order of operations its description gives.
//
// Concurrency model: nothing is shared between calls but the logger, two immutable constant tuples
// built at import (their reference counts are the interpreter's own, atomic where there is no
// interpreter lock), the interned names (published atomically by vn::Name) and each function's
// parameter table, which its typed conversions read for their messages' parameter names (set as
// the function object is made, in the module's exec, before any caller can reach it; only read
// afterwards). The lists and dicts a caller passes are not ours: reading a sample may run
// Python code (an iterator, a __float__) that mutates the list being read, and on free-threaded
// builds another thread may append to it, clear it or replace a dict's values at any moment. So
// the length is read once; each item is taken as a strong reference where the list or dict hands
// it over (vn::list_item, vn::dict_item_ref, and vn::ListItem for stretches that run no Python
// code, which borrows only where the interpreter lock serialises); a list sample is unpacked
// inside the list's critical section; and every object is held for as long as it is used. No
// interleaving can make a walk read past a list's end or touch a freed item: a list that shrank
// under a walk raises IndexError "list index out of range", a dict that lost a key raises
// KeyError. The functions never release the interpreter lock themselves.

#include "native/velmora_native.hpp"

#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

namespace {

using vn::Ref;

// Shared constant results, built once at import.
PyObject* g_no_change = nullptr;      // (False, 0.0, 0.0, 0.0)
PyObject* g_no_prediction = nullptr;  // (0, 0, 0.0)

vn::Name n_mixed{"mixed"};
vn::Name n_parallelization_potential{"parallelization_potential"};
vn::Name n_cpu_intensity{"cpu_intensity"};
vn::Name n_memory_intensity{"memory_intensity"};

// A sample's two numbers, timestamp first. A tuple of two exact floats is read in place (no Python
// code runs, and a tuple's items are its own for its life); any other shape is held, and unpacked
// into strong references, before Python code runs.
inline bool read_sample(const vn::ListItem& item, double& timestamp, double& value) noexcept {
    PyObject* sample = item.get();
    if (PyTuple_CheckExact(sample) && PyTuple_GET_SIZE(sample) == 2) {
        PyObject* a = PyTuple_GET_ITEM(sample, 0);
        PyObject* b = PyTuple_GET_ITEM(sample, 1);
        if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
            timestamp = PyFloat_AS_DOUBLE(a);
            value = PyFloat_AS_DOUBLE(b);
            return true;
        }
    }
    Ref hold = item.hold();
    Ref a, b;
    if (!vn::unpack2(sample, a, b, vn::UnpackText::Counted)) return false;
    return vn::to_double(a.get(), timestamp) && vn::to_double(b.get(), value);
}

// Sample i of `list`, read as above.
inline bool read_sample_at(PyObject* list, Py_ssize_t i, double& timestamp, double& value) noexcept {
    vn::ListItem sample(list, i);
    return sample && read_sample(sample, timestamp, value);
}

// Clamp to 0.0..1.0; NaN counts as 0, like a negative input (the result stays within its range).
inline double clamp01(double x) noexcept {
    if (!(x > 0.0)) return 0.0;
    return x > 1.0 ? 1.0 : x;
}

inline PyObject* new_tuple_of(std::initializer_list<PyObject*> items) noexcept {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        if (t == nullptr || item == nullptr) {
            Py_XDECREF(item);
            Py_CLEAR(t);
        } else {
            PyTuple_SET_ITEM(t, i, item);
        }
        ++i;
    }
    return t;
}

// ---------------------------------------------------------------------------------------------
// Performance trend and change detection.

// Raw: converted out of order (the three floats first, then performance_history's type), as the contract has it.
PyObject* detect_performance_degradation(PyObject*, PyObject* const* argv) {
    double baseline_performance, threshold, window_start_time;
    if (!vn::to_double(argv[1], baseline_performance) || !vn::to_double(argv[2], threshold) ||
        !vn::to_double(argv[3], window_start_time))
        return nullptr;
    PyObject* history = argv[0];
    if (!vn::exact_or_none(history, &PyList_Type, "performance_history")) return nullptr;

    if (history == Py_None || PyList_GET_SIZE(history) == 0 || baseline_performance <= 0.0) Py_RETURN_FALSE;
    const Py_ssize_t n = PyList_GET_SIZE(history);
    if (n < 5) Py_RETURN_FALSE;

    Py_ssize_t count = 0;
    double total = 0.0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        double timestamp, metric;
        if (!read_sample_at(history, i, timestamp, metric)) return nullptr;
        if (timestamp >= window_start_time) {
            ++count;
            total += metric;
        }
    }
    if (count < 5) Py_RETURN_FALSE;

    const double average = total / static_cast<double>(count);
    const double degradation = (baseline_performance - average) / baseline_performance;
    return vn::boolean(degradation > threshold);
}

// Raw: converted out of order (window_start_time first, then performance_history's type), as the contract has it.
PyObject* calculate_performance_trend(PyObject*, PyObject* const* argv) {
    double window_start_time;
    if (!vn::to_double(argv[1], window_start_time)) return nullptr;
    PyObject* history = argv[0];
    if (!vn::exact_or_none(history, &PyList_Type, "performance_history")) return nullptr;
    if (history == Py_None || PyList_GET_SIZE(history) < 3) return PyFloat_FromDouble(0.0);
    const Py_ssize_t n = PyList_GET_SIZE(history);

    // The window list and the sums are built in one pass: x needs only t0, the first window sample.
    Py_ssize_t m = 0;
    double t0 = 0.0, sum_x = 0.0, sum_y = 0.0, sum_xy = 0.0, sum_xx = 0.0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        double timestamp, metric;
        if (!read_sample_at(history, i, timestamp, metric)) return nullptr;
        if (!(timestamp >= window_start_time)) continue;
        if (m++ == 0) t0 = timestamp;
        const double x = timestamp - t0, y = metric;
        sum_x += x;
        sum_y += y;
        sum_xy += x * y;
        sum_xx += x * x;
    }
    if (m < 3) return PyFloat_FromDouble(0.0);

    const double md = static_cast<double>(m);
    const double mean_x = sum_x / md;
    const double sxx = sum_xx - mean_x * (md * mean_x);
    if (std::fabs(sxx) < 1e-10) return PyFloat_FromDouble(0.0);
    const double mean_y = sum_y / md;
    if (std::fabs(mean_y) < 1e-10) return PyFloat_FromDouble(0.0);
    const double sxy = sum_xy - (md * mean_x) * mean_y;
    double trend = sxy / (mean_y * sxx);

    if (std::isnan(trend)) trend = 0.0;  // non-finite samples give no trend, not a NaN outside -1..1
    if (trend > 1.0) trend = 1.0;
    if (trend < -1.0) trend = -1.0;
    return PyFloat_FromDouble(trend);
}

// acc += entry[key] with the host's `+=` on a float, converted back to double.
inline bool add_entry_value(double& acc, PyObject* entry, PyObject* key) noexcept {
    PyObject* found = nullptr;
    const int present = vn::dict_item_ref(entry, key, &found);
    if (present <= 0) {
        // The key was there when validated; only Python code run since (an __radd__) or another
        // thread can have removed it.
        if (present == 0) PyErr_SetObject(PyExc_KeyError, key);
        return false;
    }
    Ref value = Ref::steal(found);
    if (PyFloat_CheckExact(found)) {  // float += float: the same single addition
        acc = acc + PyFloat_AS_DOUBLE(found);
        return true;
    }
    Ref lhs = Ref::steal(PyFloat_FromDouble(acc));
    if (!lhs) return false;
    Ref sum = Ref::steal(PyNumber_InPlaceAdd(lhs.get(), value.get()));
    return sum && vn::to_double(sum.get(), acc);
}

// Raw: converted out of order (change_threshold first, then pattern_history's type), as the contract has it.
PyObject* detect_workload_characteristics_change(PyObject*, PyObject* const* argv) {
    double change_threshold;
    if (!vn::to_double(argv[1], change_threshold)) return nullptr;
    PyObject* history = argv[0];
    if (!vn::exact_or_none(history, &PyList_Type, "pattern_history")) return nullptr;
    if (history == Py_None) {
        vn::none_has_no_len();
        return nullptr;
    }
    const Py_ssize_t n = PyList_GET_SIZE(history);
    if (n < 6) return vn::new_ref(g_no_change);

    PyObject* keys[3] = {n_parallelization_potential.get(), n_cpu_intensity.get(), n_memory_intensity.get()};
    if (!keys[0] || !keys[1] || !keys[2]) return nullptr;

    // Validate the last six entries, oldest first; they are held from here to the end of the call.
    Ref entries[6];
    for (Py_ssize_t k = 0; k < 6; ++k) {
        entries[k] = vn::list_item(history, n - 6 + k);
        PyObject* entry = entries[k].get();
        if (entry == nullptr) return nullptr;
        if (!PyDict_CheckExact(entry) && entry != Py_None) {
            vn::expected_type_error("dict", entry);
            return nullptr;
        }
        for (PyObject* key : keys) {
            if (entry == Py_None) {
                PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
                return nullptr;
            }
            const int present = PyDict_Contains(entry, key);
            if (present < 0) return nullptr;
            if (present == 0) return vn::new_ref(g_no_change);
        }
    }

    // Recent sums over the three newest entries, older sums over the three before them.
    double recent[3] = {0.0, 0.0, 0.0}, older[3] = {0.0, 0.0, 0.0};
    for (Py_ssize_t k = 3; k < 6; ++k)
        for (int j = 0; j < 3; ++j)
            if (!add_entry_value(recent[j], entries[k].get(), keys[j])) return nullptr;
    for (Py_ssize_t k = 0; k < 3; ++k)
        for (int j = 0; j < 3; ++j)
            if (!add_entry_value(older[j], entries[k].get(), keys[j])) return nullptr;

    const double parallel_change = std::fabs(recent[0] - older[0]) / 3.0;
    const double cpu_change = std::fabs(recent[1] - older[1]) / 3.0;
    const double memory_change = std::fabs(recent[2] - older[2]) / 3.0;
    const bool changed =
        parallel_change > change_threshold || cpu_change > change_threshold || memory_change > change_threshold;
    return new_tuple_of({vn::boolean(changed), PyFloat_FromDouble(parallel_change), PyFloat_FromDouble(cpu_change),
                         PyFloat_FromDouble(memory_change)});
}

// Raw: converted out of order (the six numbers first, then the two pools' types), as the contract has it.
PyObject* is_adaptation_beneficial(PyObject*, PyObject* const* argv) {
    double recommendation_score, recommendation_confidence, current_performance_estimate;
    double min_improvement_ratio, min_confidence;
    int trigger_code;
    if (!vn::to_double(argv[2], recommendation_score) || !vn::to_double(argv[3], recommendation_confidence) ||
        !vn::to_double(argv[4], current_performance_estimate) || !vn::to_int(argv[5], trigger_code) ||
        !vn::to_double(argv[6], min_improvement_ratio) || !vn::to_double(argv[7], min_confidence))
        return nullptr;
    PyObject* current_pool = argv[0];
    PyObject* recommended_pool = argv[1];
    if (!vn::exact_or_none(current_pool, &PyUnicode_Type, "current_pool") ||
        !vn::exact_or_none(recommended_pool, &PyUnicode_Type, "recommended_pool"))
        return nullptr;

    bool same_pool = current_pool == recommended_pool;
    if (!same_pool && current_pool != Py_None && recommended_pool != Py_None)
        same_pool = PyUnicode_Compare(current_pool, recommended_pool) == 0;  // exact str: cannot fail
    if (same_pool) Py_RETURN_FALSE;
    if (recommendation_confidence < min_confidence) Py_RETURN_FALSE;
    if (trigger_code == 0) return vn::boolean(recommendation_score > 0.5);
    if (current_performance_estimate > 0.0)
        return vn::boolean(recommendation_score > current_performance_estimate * min_improvement_ratio);
    return vn::boolean(recommendation_score > 0.6);
}

PyObject* should_skip_adaptation(PyObject*, vn::arg::F64 last_adaptation_time, vn::arg::F64 current_time,
                                 vn::arg::F64 min_interval) {
    return vn::boolean(min_interval > (current_time - last_adaptation_time));
}

PyObject* calculate_adaptation_urgency(PyObject*, vn::arg::F64 performance_degradation, vn::arg::F64 memory_pressure,
                                       vn::arg::F64 fragmentation_ratio, vn::arg::Bool workload_changed) {
    const double degradation = clamp01(performance_degradation);
    const double pressure = clamp01(memory_pressure);
    const double fragmentation = clamp01(fragmentation_ratio);

    double urgency = degradation * 0.4 + pressure * 0.3;
    urgency = urgency + fragmentation * 0.15;
    if (workload_changed) urgency = urgency + 0.15;
    return PyFloat_FromDouble(urgency < 1.0 ? urgency : 1.0);
}

// ---------------------------------------------------------------------------------------------
// Resource pressure and pool recommendation.

PyObject* detect_memory_pressure(PyObject*, vn::arg::F64 current_usage, vn::arg::F64 peak_usage,
                                 vn::arg::F64 pressure_threshold) {
    if (current_usage < 0.0 || peak_usage <= 0.0) Py_RETURN_FALSE;
    return vn::boolean((current_usage / peak_usage) > pressure_threshold);
}

PyObject* detect_fragmentation_threshold(PyObject*, vn::arg::F64 fragmentation_ratio, vn::arg::F64 threshold) {
    if (fragmentation_ratio < 0.0) Py_RETURN_FALSE;
    return vn::boolean(fragmentation_ratio > threshold);
}

PyObject* score_pool_recommendation(PyObject*, vn::arg::F64 workload_fit, vn::arg::F64 memory_fit,
                                    vn::arg::F64 thread_count_fit, vn::arg::F64 historical_success_rate) {
    const double workload = clamp01(workload_fit);
    const double memory = clamp01(memory_fit);
    const double thread_count = clamp01(thread_count_fit);
    const double historical_success = clamp01(historical_success_rate);

    const double score = workload * 0.35 + memory * 0.3 + thread_count * 0.2 + historical_success * 0.15;
    return PyFloat_FromDouble(score < 1.0 ? score : 1.0);
}

// Raw: converted out of order (window_size first, then patterns' type), as the contract has it.
PyObject* detect_dominant_pattern(PyObject*, PyObject* const* argv) {
    int window_size;
    if (!vn::to_int(argv[1], window_size)) return nullptr;
    PyObject* patterns = argv[0];
    if (!vn::exact_or_none(patterns, &PyList_Type, "patterns")) return nullptr;
    if (patterns == Py_None) {
        vn::none_has_no_len();
        return nullptr;
    }
    PyObject* mixed = n_mixed.get();
    if (mixed == nullptr) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(patterns);
    if (n == 0) return vn::new_ref(mixed);

    // 64-bit difference: n - window_size cannot overflow for any int32 window.
    const int64_t start64 = static_cast<int64_t>(n) - window_size;
    const Py_ssize_t start = start64 > 0 ? static_cast<Py_ssize_t>(start64) : 0;

    // Counts in first-occurrence order; `keys` holds a reference to each distinct pattern. The
    // first kScan patterns are found by identity with a branch-free scan; a pattern equal in text to
    // a known one but another object is found by content while there are few, and through `index`
    // (pattern -> slot, built once there are more than kScan) after that.
    constexpr size_t kScan = 8;
    PyObject* scan[kScan] = {};
    vn::RefVector keys;
    vn::PodVector<Py_ssize_t> counts;
    Ref index;
    for (Py_ssize_t i = start; i < n; ++i) {
        // Entries are exact str or None and all lookups are private, so no Python code runs here
        // (another thread may still shrink the list, or drop an entry once it has been read: see
        // ListItem); a new pattern is kept alive by `keys`.
        vn::ListItem item(patterns, i);
        PyObject* entry = item.get();
        if (entry == nullptr) return nullptr;
        if (!PyUnicode_CheckExact(entry) && entry != Py_None) {
            vn::expected_type_error("str", entry);
            return nullptr;
        }
        unsigned hits = 0;
        for (size_t j = 0; j < kScan; ++j) hits |= static_cast<unsigned>(scan[j] == entry) << j;
        size_t slot = hits != 0 ? static_cast<size_t>(__builtin_ctz(hits)) : keys.size();
        if (slot == keys.size() && !index) {
            for (size_t j = 0; j < keys.size(); ++j)
                if (entry != Py_None && keys[j] != Py_None && PyUnicode_Compare(keys[j], entry) == 0) {
                    slot = j;
                    break;
                }
        } else if (slot == keys.size()) {
            PyObject* pos = PyDict_GetItemWithError(index.get(), entry);
            if (pos != nullptr)
                slot = static_cast<size_t>(PyLong_AsSsize_t(pos));
            else if (PyErr_Occurred())
                return nullptr;
        }
        if (slot < keys.size()) {
            ++counts[slot];
            continue;
        }
        // A new pattern.
        if (!keys.push(entry) || !counts.push(1)) return nullptr;
        if (keys.size() <= kScan) scan[keys.size() - 1] = entry;
        if (!index && keys.size() > kScan) {
            index = Ref::steal(PyDict_New());
            if (!index) return nullptr;
            for (size_t j = 0; j + 1 < keys.size(); ++j) {
                Ref at = Ref::steal(PyLong_FromSize_t(j));
                if (!at || PyDict_SetItem(index.get(), keys[j], at.get()) < 0) return nullptr;
            }
        }
        if (index) {
            Ref at = Ref::steal(PyLong_FromSize_t(keys.size() - 1));
            if (!at || PyDict_SetItem(index.get(), entry, at.get()) < 0) return nullptr;
        }
    }

    PyObject* dominant = mixed;
    Py_ssize_t best = 0;
    for (size_t j = 0; j < keys.size(); ++j)
        if (counts[j] > best) {
            best = counts[j];
            dominant = keys[j];
        }
    return vn::new_ref(dominant);
}

// sample[0] converted to double, for the first and last samples of a history.
inline bool first_item_as_double(PyObject* list, Py_ssize_t i, double& out) noexcept {
    Ref held = vn::list_item(list, i);
    PyObject* sample = held.get();
    if (sample == nullptr) return false;
    Ref item;
    if (PyTuple_CheckExact(sample) && PyTuple_GET_SIZE(sample) > 0) {
        item = Ref::borrow(PyTuple_GET_ITEM(sample, 0));
    } else if (PyList_CheckExact(sample)) {
        item = vn::list_item(sample, 0);  // an empty list: IndexError "list index out of range", as sample[0]
        if (!item) return false;
    } else {
        Ref zero = Ref::steal(PyLong_FromLong(0));
        if (!zero) return false;
        item = Ref::steal(PyObject_GetItem(sample, zero.get()));
        if (!item) return false;
    }
    return vn::to_double(item.get(), out);
}

// Raw: converted out of order (prediction_horizon_seconds, then allocation_history's type), as the contract has it.
PyObject* predict_resource_requirements(PyObject*, PyObject* const* argv) {
    double prediction_horizon_seconds;
    if (!vn::to_double(argv[1], prediction_horizon_seconds)) return nullptr;
    PyObject* history = argv[0];
    if (!vn::exact_or_none(history, &PyList_Type, "allocation_history")) return nullptr;
    if (history == Py_None) {
        vn::none_has_no_len();
        return nullptr;
    }
    const Py_ssize_t n = PyList_GET_SIZE(history);
    if (n < 10) return vn::new_ref(g_no_prediction);

    double first = 0.0, last = 0.0;  // set by first_item_as_double (the compiler cannot always tell)
    if (!first_item_as_double(history, 0, first) || !first_item_as_double(history, n - 1, last)) return nullptr;
    const double time_span = last - first;
    if (time_span <= 0.0) return vn::new_ref(g_no_prediction);

    double total = 0.0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        double timestamp, size;
        if (!read_sample_at(history, i, timestamp, size)) return nullptr;
        total += size;
    }

    const double nd = static_cast<double>(n);
    // Out-of-range forecasts saturate at the int32 bounds (and NaN gives 0) instead of wrapping.
    const int32_t predicted_allocations = vn::saturating_int32(nd / time_span * prediction_horizon_seconds);
    const int32_t predicted_total_bytes =
        vn::saturating_int32((total / nd) * static_cast<double>(predicted_allocations));
    const double confidence = n > 99 ? 0.8 : nd * 0.008;
    return new_tuple_of({PyLong_FromLong(predicted_allocations), PyLong_FromLong(predicted_total_bytes),
                         PyFloat_FromDouble(confidence)});
}

// ---------------------------------------------------------------------------------------------
// Tables and initialisation.

using vn::FuncDef;
using vn::Kind;

const std::vector<FuncDef>& functions() {
    static const std::vector<FuncDef> defs = {
        {"detect_performance_degradation",
         vn::fn<detect_performance_degradation>,
         {{"performance_history", "list"},
          {"baseline_performance", "float"},
          {"threshold", "float"},
          {"window_start_time", "float"}},
         "bool",
         "True when the mean metric of the samples at or after window_start_time fell below the baseline "
         "by more than threshold (a fraction of the baseline); needs five such samples.",
         Kind::Function},
        {"calculate_performance_trend",
         vn::fn<calculate_performance_trend>,
         {{"performance_history", "list"}, {"window_start_time", "float"}},
         "float",
         "Least-squares slope of the metric over time in the window, divided by the mean metric, "
         "clamped to -1.0..1.0; negative means declining.",
         Kind::Function},
        {"detect_workload_characteristics_change",
         vn::fn<detect_workload_characteristics_change>,
         {{"pattern_history", "list"}, {"change_threshold", "float", "0.3"}},
         "tuple",
         "Compares the means of the three newest pattern entries with the three before them; returns "
         "(changed, parallel_change, cpu_change, memory_change).",
         Kind::Function},
        {"is_adaptation_beneficial",
         vn::fn<is_adaptation_beneficial>,
         {{"current_pool", "str"},
          {"recommended_pool", "str"},
          {"recommendation_score", "float"},
          {"recommendation_confidence", "float"},
          {"current_performance_estimate", "float"},
          {"trigger_code", "int"},
          {"min_improvement_ratio", "float", "1.1"},
          {"min_confidence", "float", "0.6"}},
         "bool",
         "True when switching to the recommended pool is worth it.",
         Kind::Function},
        {"should_skip_adaptation",
         vn::fn<should_skip_adaptation>,
         {{"last_adaptation_time", "float"}, {"current_time", "float"}, {"min_interval", "float"}},
         "bool",
         "True while less than min_interval has passed since the last adaptation.",
         Kind::Function},
        {"calculate_adaptation_urgency",
         vn::fn<calculate_adaptation_urgency>,
         {{"performance_degradation", "float"},
          {"memory_pressure", "float"},
          {"fragmentation_ratio", "float"},
          {"workload_changed", "bool"}},
         "float",
         "Urgency of an adaptation in 0.0..1.0.",
         Kind::Function},
        {"detect_memory_pressure",
         vn::fn<detect_memory_pressure>,
         {{"current_usage", "float"}, {"peak_usage", "float"}, {"pressure_threshold", "float", "0.8"}},
         "bool",
         "True when current_usage / peak_usage exceeds pressure_threshold.",
         Kind::Function},
        {"detect_fragmentation_threshold",
         vn::fn<detect_fragmentation_threshold>,
         {{"fragmentation_ratio", "float"}, {"threshold", "float", "0.3"}},
         "bool",
         "True when a non-negative fragmentation_ratio exceeds threshold.",
         Kind::Function},
        {"score_pool_recommendation",
         vn::fn<score_pool_recommendation>,
         {{"workload_fit", "float"},
          {"memory_fit", "float"},
          {"thread_count_fit", "float"},
          {"historical_success_rate", "float"}},
         "float",
         "Weighted score of a candidate pool in 0.0..1.0.",
         Kind::Function},
        {"detect_dominant_pattern",
         vn::fn<detect_dominant_pattern>,
         {{"patterns", "list"}, {"window_size", "int", "5"}},
         "str",
         "The most frequent pattern among the last window_size entries (first seen wins a tie), or 'mixed'.",
         Kind::Function},
        {"predict_resource_requirements",
         vn::fn<predict_resource_requirements>,
         {{"allocation_history", "list"}, {"prediction_horizon_seconds", "float"}},
         "tuple",
         "Forecast (predicted_allocations, predicted_total_bytes, confidence) for the next "
         "prediction_horizon_seconds from the rate and mean size of past allocations.",
         Kind::Function},
    };
    return defs;
}

int tunejudge_exec(PyObject* module) noexcept {
    PyObject* logger = vn::make_logger(module);
    if (logger == nullptr) return -1;
    if (!vn::add_functions(module, functions())) return -1;

    if (g_no_change == nullptr)
        g_no_change = new_tuple_of(
            {vn::boolean(false), PyFloat_FromDouble(0.0), PyFloat_FromDouble(0.0), PyFloat_FromDouble(0.0)});
    if (g_no_prediction == nullptr)
        g_no_prediction = new_tuple_of({PyLong_FromLong(0), PyLong_FromLong(0), PyFloat_FromDouble(0.0)});
    if (g_no_change == nullptr || g_no_prediction == nullptr) return -1;

    return vn::log(logger, "info", "Velmora native tunejudge module loaded: adaptation decisions ready") ? 0 : -1;
}

}  // namespace

VN_MODULE(tunejudge, "Stateless adaptation decisions of the adaptive orchestrator (native).", tunejudge_exec)
