"""Process pool: count primes in disjoint ranges on every core with a ProcessPoolExecutor."""

import os
import sys
from concurrent.futures import ProcessPoolExecutor


def count_primes(bounds):
    """Primes in [low, high) by trial division: pure CPU work, no shared state."""
    low, high = bounds
    found = 0
    for n in range(max(low, 2), high):
        if n % 2 == 0:
            found += n == 2
            continue
        d = 3
        while d * d <= n:
            if n % d == 0:
                break
            d += 2
        else:
            found += 1
    return found


def split_range(limit, parts):
    step = -(-limit // parts)
    return [(start, min(start + step, limit)) for start in range(0, limit, step)]


def parallel_count(limit, workers=None):
    """Each range goes to a worker process; the chunks are independent, so the sum is exact."""
    workers = workers or os.cpu_count() or 1
    with ProcessPoolExecutor(max_workers=workers) as pool:
        return sum(pool.map(count_primes, split_range(limit, workers * 4)))


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    limit = int(argv[0]) if argv else 200_000
    print("primes below %d: %d" % (limit, parallel_count(limit)))


if __name__ == "__main__":
    main()
