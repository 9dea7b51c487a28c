"""Sequential code with locks: a ledger whose transfers must be applied in order under a mutex."""

import sys
import threading

_journal_lock = threading.Lock()
_journal = []
_sequence = 0


def _next_sequence():
    """Journal entries carry a global, strictly ordered sequence number."""
    global _sequence
    _sequence += 1
    return _sequence


class Ledger:
    """Balances guarded by one lock; each transfer depends on the balances left by the previous one."""

    def __init__(self, balances):
        self._lock = threading.Lock()
        self._balances = dict(balances)

    def transfer(self, source, target, amount):
        with self._lock:
            if self._balances[source] < amount:
                return False
            self._balances[source] -= amount
            self._balances[target] += amount
        with _journal_lock:
            _journal.append((_next_sequence(), source, target, amount))
        return True

    def balance(self, account):
        with self._lock:
            return self._balances[account]


def replay(ledger, instructions):
    """Carry out the transfers strictly in the given order: the outcome of one decides the next."""
    applied = 0
    for source, target, amount in instructions:
        if ledger.transfer(source, target, amount):
            applied += 1
    return applied


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    rounds = int(argv[0]) if argv else 10_000
    ledger = Ledger({"alice": 100, "bob": 50, "carol": 0})
    instructions = [("alice", "bob", 7), ("bob", "carol", 11), ("carol", "alice", 5)] * rounds
    applied = replay(ledger, instructions)
    print("applied %d of %d transfers; journal entries: %d" % (applied, len(instructions), len(_journal)))
    print("balances:", {name: ledger.balance(name) for name in ("alice", "bob", "carol")})


if __name__ == "__main__":
    main()
