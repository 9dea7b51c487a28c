"""Memory-heavy bookkeeping: build an inverted index of words with dicts, lists and a cache."""

import re
import sys
from collections import defaultdict
from functools import lru_cache

_WORD = re.compile(r"[a-z']+")


def synthetic_documents(count=2_000, words_per_doc=120):
    vocabulary = ("alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu nu xi omicron pi rho "
                  "sigma tau upsilon phi chi psi omega").split()
    return ["%d " % i + " ".join(vocabulary[(i * 7 + k * k) % len(vocabulary)] for k in range(words_per_doc))
            for i in range(count)]


@lru_cache(maxsize=65_536)
def normalise(word):
    return word.strip("'")


def build_index(documents):
    """word -> list of (document id, position); every posting is kept in memory."""
    index = defaultdict(list)
    for doc_id, text in enumerate(documents):
        for position, match in enumerate(_WORD.finditer(text.lower())):
            index[normalise(match.group())].append((doc_id, position))
    return index


def phrase_candidates(index, first, second):
    """Documents where `second` directly follows `first`."""
    following = {(doc, pos - 1) for doc, pos in index.get(second, [])}
    return sorted({doc for doc, pos in index.get(first, []) if (doc, pos) in following})


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    count = int(argv[0]) if argv else 2_000
    index = build_index(synthetic_documents(count))
    postings = sum(len(entries) for entries in index.values())
    print("distinct words: %d, postings: %d" % (len(index), postings))
    print("documents with 'alpha beta':", len(phrase_candidates(index, "alpha", "beta")))


if __name__ == "__main__":
    main()
