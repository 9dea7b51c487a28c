"""Pure-Python models of the nine native modules, one module each, shared by the tests and the benchmarks.

Each model is written from the documented behaviour of its module, with Python's own integers and
floats, and answers exactly as the native module does on the inputs the tests give it. Objects that
hold state guard it with a ``threading.Lock`` where the native object does (or where the benchmark
compares against a lock-guarded equivalent); the benchmarks time these models as the pure-Python
twins of the native code.

Importable as ``reference.<module>``: tests/conftest.py and bench/harness.py put tests/ on sys.path.
"""
