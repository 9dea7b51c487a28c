"""velmora.plugins.analyzer.taskgauge in plain Python: text scoring and workload classification.

Keyword entries are plain substrings of the lower-cased text, each counted once; the framework
patterns are Python regular expressions; every score is clamped to 0.0..1.0, a NaN to 0.0.
"""

import re

PATTERNS = {
    "numpy": re.compile(r"\b(numpy|np\.|ndarray|array|vectorize|matmul|linalg)\b", re.IGNORECASE),
    "pandas": re.compile(r"\b(pandas|pd\.|DataFrame|Series|groupby|merge|pivot)\b", re.IGNORECASE),
    "sklearn": re.compile(r"\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\b", re.IGNORECASE),
}

# (name, entries, factor) of score_framework_patterns, in result order.
FRAMEWORK_TABLES = (
    ("numpy", ("numpy np. ndarray array matrix vectorize broadcast ufunc dot matmul linalg fft sum mean std var min "
               "max argmax argmin reshape transpose concatenate stack split").split(), 0.04),
    ("pandas", ("pandas pd. dataframe series groupby apply agg transform merge join concat pivot melt query eval "
                "rolling resample sort_values").split(), 0.05555555555555555),
    ("sklearn", ("sklearn fit predict transform score cross_val gridsearchcv randomizedsearchcv pipeline "
                 "featureunion train_test_split classification regression clustering preprocessing "
                 "model_selection metrics ensemble").split(), 0.05555555555555555),
)

# (entries, also counted in the function name) of score_indicators, in result order: cpu, memory,
# parallel, gpu_op, large_data, embarrassing, sequential.
INDICATOR_TABLES = (
    ("for while range numpy scipy math calculation compute algorithm sum prod dot matmul fft linalg".split(), False),
    ("array list dict pandas dataframe allocate buffer cache append extend".split(), False),
    ("multiprocessing threading concurrent async parallel pool worker chunk batch processpoolexecutor "
     "threadpoolexecutor".split(), False),
    ("matmul dot tensordot @ fft ifft rfft convolve correlate sum mean std var sin cos exp log sqrt power ** add "
     "subtract multiply divide / * + - linalg linear_algebra array asarray zeros ones empty full".split(), True),
    ("reshape resize huge large gigabyte gb million billion 1e6 1e9 1024 megabyte mb".split(), False),
    ("workload benchmark intensive chunk_workload map apply vectorize broadcast".split(), True),
    ("global nonlocal lock mutex synchronized sequential ordered dependencies".split(), False),
)

NORMALIZE_FACTORS = (0.06666666666666667, 0.1, 0.09090909090909091, 0.027777777777777776, 0.07692307692307693)


def clamp(v, hi=1.0):
    # NaN is no evidence: it clamps to 0.0 like a negative value.
    if v != v:
        return 0.0
    return 0.0 if v < 0 else min(v, hi)


# ---------------------------------------------------------------- text scoring

def quick_framework_score(code, framework):
    if framework not in PATTERNS:
        return 0.0
    matches = len(PATTERNS[framework].findall(code))
    return 1.0 if matches > 10 else matches * 0.1


def score_framework_patterns(code):
    low = code.lower()
    return tuple(clamp(sum(1 for e in entries if e in low) * factor) for _, entries, factor in FRAMEWORK_TABLES)


def score_indicators(code, function_name):
    low = code.lower()
    func = function_name.lower() if function_name else ""
    return tuple(sum(1 for e in entries if e in low or (by_name and e in func))
                 for entries, by_name in INDICATOR_TABLES)


def normalize_scores(cpu_score, memory_score, parallel_score, gpu_op_score, large_data_score):
    counts = (cpu_score, memory_score, parallel_score, gpu_op_score, large_data_score)
    return tuple(clamp(c * f) for c, f in zip(counts, NORMALIZE_FACTORS))


# ---------------------------------------------------------------- classification

def calculate_gpu_suitability(gpu_operation_score, gpu_data_size_score, cpu_intensity, gpu_available,
                              compute_capability):
    if not gpu_available:
        return 0.0
    base = gpu_operation_score * 0.6 + gpu_data_size_score * 0.4
    boost = clamp(cpu_intensity * 0.3, 0.3)
    factor = 1.0
    if compute_capability:
        try:
            major = int(compute_capability.split(".")[0])
        except (ValueError, IndexError):
            pass
        else:
            if not -2 ** 31 <= major < 2 ** 31:
                raise OverflowError("value too large to convert to int")
            factor = 1.2 if major > 7 else 1.1 if major == 7 else 1.0 if major == 6 else 0.8
    return clamp((base + boost) * factor)


def estimate_gpu_speedup(gpu_operation_score, gpu_data_size_score, gpu_available):
    op = gpu_operation_score
    if not gpu_available or op == 0.0:
        return 1.0
    base = 15.0 if op > 0.8 else 8.0 if op > 0.6 else 4.0 if op > 0.3 else 2.0
    factor = gpu_data_size_score * 0.5
    return base + base * factor


def calculate_parallelization_potential(base_parallel_score, embarrassing_bonus, sequential_penalty,
                                        loop_chunking_potential):
    bonus = clamp(embarrassing_bonus * 0.3, 0.7)
    penalty = clamp(sequential_penalty * 0.2, 0.5)
    return clamp((loop_chunking_potential * 0.4 + base_parallel_score) + (bonus - penalty))


def determine_workload_pattern(cpu, mem, par, gpu, gpu_op, np_, pd_, sk, seq, emb, cpu_t, mem_t, gpu_t, np_t, pd_t,
                               sk_t, avail):
    if sk > sk_t:
        return 12
    if pd_ > pd_t:
        return 10
    if np_ > np_t:
        return 8
    if avail and gpu > gpu_t:
        if gpu_op > 0.7 and cpu > 0.6:
            return 6
        return 7 if mem > 0.5 else 5
    if emb > 0 or par > 0.6:
        return 3
    if cpu > cpu_t:
        return 1
    if mem > mem_t:
        return 2
    return 4 if seq >= 3 else 0


def update_adaptive_threshold(current_threshold, success_rate, learning_rate, min_threshold, max_threshold):
    current, rate = current_threshold, learning_rate
    new = rate + current if success_rate > 0.8 else current - rate if success_rate < 0.4 else current
    return min_threshold if new < min_threshold else max_threshold if new > max_threshold else new
