"""Plain loops: CPU-bound pure-Python algorithms (edit distance, a sieve, a Collatz search)."""

import sys


def edit_distance(a, b):
    """Levenshtein distance by dynamic programming over two rows."""
    previous = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        current = [i]
        for j, cb in enumerate(b, 1):
            cost = 0 if ca == cb else 1
            current.append(min(previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost))
        previous = current
    return previous[-1]


def sieve(limit):
    """Sieve of Eratosthenes: a list of flags crossed out in strides."""
    flags = [True] * (limit + 1)
    flags[0:2] = [False, False]
    for n in range(2, int(limit ** 0.5) + 1):
        if flags[n]:
            for multiple in range(n * n, limit + 1, n):
                flags[multiple] = False
    return [n for n, is_prime in enumerate(flags) if is_prime]


def longest_collatz(limit):
    """Start value below `limit` with the longest Collatz chain, with memoised lengths."""
    lengths = {1: 1}
    best, best_len = 1, 1
    for start in range(2, limit):
        n, steps = start, 0
        while n not in lengths:
            n = n // 2 if n % 2 == 0 else 3 * n + 1
            steps += 1
        total = steps + lengths[n]
        lengths[start] = total
        if total > best_len:
            best, best_len = start, total
    return best, best_len


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    limit = int(argv[0]) if argv else 100_000
    print("edit distance:", edit_distance("kitten sitting on the mat", "sitting kitten at the mall"))
    print("primes below %d: %d" % (limit, len(sieve(limit))))
    print("longest Collatz chain below %d: start %d, length %d" % ((limit,) + longest_collatz(limit)))


if __name__ == "__main__":
    main()
