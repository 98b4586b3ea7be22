"""Helpers shared by the hand-written example tests."""

import _qor_cpp as q

# The read-only properties of a Motif, in the order the class registers them.
MOTIF_PROPS = [
    "pattern",
    "indexes",
    "average_occurrences",
    "representative",
    "best_matches",
    "length",
    "naed",
]


def as_words(words):
    """Turn strings such as "abc" into the list-of-characters form that mine expects."""
    return [list(w) for w in words]


def mine_patterns(words, *args, **kwargs):
    """Run a fresh PatternMiner and return {pattern: indexes}."""
    pm = q.PatternMiner(*args, **kwargs)
    pm.mine(as_words(words))
    return {key: motif.indexes for key, motif in pm.frequent.items()}


def motif_state(m):
    """Every readable field of a motif, in a form that compares NaN equal to NaN."""
    return (
        m.pattern,
        m.length,
        repr(m.naed),
        sorted(m.indexes.items()),
        repr(sorted(m.average_occurrences.items())),
        repr(m.representative),
        sorted(m.best_matches.items()),
    )


def check_completed(m, seglen):
    """Invariants of a motif that Miner.mine has scored."""
    assert m.length == seglen * len(m.pattern)
    assert len(m.representative) == m.length
    keys = set(m.indexes)
    assert keys and set(m.average_occurrences) == keys == set(m.best_matches)
    for k, positions in m.indexes.items():
        assert positions and positions == sorted(positions)
        assert len(m.average_occurrences[k]) == m.length
        assert m.best_matches[k] in {p * seglen for p in positions} | {0}
