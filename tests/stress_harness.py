"""The harnesses of the thread-stress children (the tests run them in a fresh interpreter each).

WORKERS: SECONDS (VELMORA_STRESS_SECONDS, default 1.0), THREADS = 4 and run(work): every worker
calls work(index, stop) at once (a barrier), is stopped after SECONDS and joined within a bound,
and the first exception a worker raised is raised again.

WORKERS_AND_MUTATORS: run(workers, mutators): each function is called in a loop on its own thread
until the time is up; any exception stops them all and fails the run. With an interpreter lock
threads switch as often as possible.
"""

WORKERS = '''
import os, random, threading, time
SECONDS = float(os.environ.get("VELMORA_STRESS_SECONDS", "1.0"))
THREADS = 4

def run(work):
    barrier, stop, errors = threading.Barrier(THREADS), threading.Event(), []

    def body(index):
        try:
            barrier.wait(timeout=30)
            work(index, stop)
        except BaseException as exc:
            errors.append(exc)
            stop.set()

    threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    stop.wait(SECONDS)
    stop.set()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads), "workers did not stop"
    if errors:
        raise errors[0]
'''

WORKERS_AND_MUTATORS = r'''
import gc, os, random, sys, threading, time, types
SECONDS = float(os.environ.get("VELMORA_STRESS_SECONDS", "1.0"))
sys.setswitchinterval(1e-5)  # with an interpreter lock: switch threads as often as possible

def run(workers, mutators):
    stop = threading.Event()
    failures = []
    barrier = threading.Barrier(len(workers) + len(mutators))
    def body(fn):
        barrier.wait()
        try:
            while not stop.is_set():
                fn()
        except BaseException as e:  # noqa: B036 - reported by the parent
            failures.append("%s: %r" % (fn.__name__, e))
            stop.set()
    threads = [threading.Thread(target=body, args=(fn,)) for fn in workers + mutators]
    for t in threads:
        t.start()
    time.sleep(SECONDS)
    stop.set()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads), "a thread did not finish"
    assert not failures, failures[:3]
'''
