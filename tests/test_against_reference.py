"""Randomised cross-checks of _qor_cpp against the plain-Python model in reference.py.

Floats are compared bit for bit (any NaN equals any NaN), and dict key
order is part of what is compared.
"""

import math
import os
import random
import sys

import pytest

import _qor_cpp

sys.path.insert(0, os.path.dirname(__file__))
import reference  # noqa: E402
from conftest import MOTIF_PROPS  # noqa: E402

BREAKPOINT_VALUES = sorted({bp for row in reference.BREAKPOINTS for bp in row})


def canon(x):
    """Exact, order-preserving form: floats by their bits, dicts as item lists."""
    if isinstance(x, float):
        return "nan" if math.isnan(x) else x.hex()
    if isinstance(x, dict):
        return [(k, canon(v)) for k, v in x.items()]
    if isinstance(x, (list, tuple)):
        return [canon(v) for v in x]
    return x


def motif_fields(motif):
    return {name: getattr(motif, name) for name in MOTIF_PROPS}


def random_series(rng, max_len):
    n = rng.randint(0, max_len)
    kind = rng.random()
    if kind < 0.15:
        return [rng.choice([1.0, 0.1, -2.5, 0.0, 3.0])] * n  # constant
    if kind < 0.45:
        shape = [rng.gauss(0.0, 1.0) for _ in range(rng.randint(1, 8))]
        xs = [shape[i % len(shape)] + rng.gauss(0.0, 0.2) for i in range(n)]
    else:
        xs = [rng.gauss(0.0, 1.0) for _ in range(n)]
    if xs and rng.random() < 0.15:
        xs[rng.randrange(n)] = math.nan
    return xs


@pytest.mark.parametrize("seed", range(8))
def test_sax_matches_reference(seed):
    rng = random.Random(seed)
    for _ in range(60):
        ts = []
        for _ in range(rng.randint(0, 5)):
            n = rng.randint(0, 30)
            pool = [
                lambda: rng.gauss(0.0, 1.0),
                lambda: rng.choice(BREAKPOINT_VALUES),
                lambda: math.nan if rng.random() < 0.3 else rng.uniform(-2, 2),
            ]
            draw = rng.choice(pool)
            ts.append([draw() for _ in range(n)])
        seglen = rng.choice([1, 2, 3, 4, 7, rng.randint(1, 40)])
        alphabet = rng.randint(0, 10)
        expected = reference.sax(ts, seglen, alphabet)
        got = _qor_cpp.sax(ts, seglen, alphabet)
        assert got == expected, (ts, seglen, alphabet)


def check_pattern_miner(words, minsup, min_len, max_len, max_overlap):
    miner = _qor_cpp.PatternMiner(minsup, min_len, max_len, max_overlap)
    assert miner.mine(words) is None
    frequent = miner.frequent
    expected = reference.mine_patterns(words, minsup, min_len, max_len, max_overlap)
    context = (words, minsup, min_len, max_len, max_overlap)
    assert list(frequent) == list(expected), context
    for pattern, indexes in expected.items():
        want = {
            "pattern": pattern,
            "indexes": indexes,
            "average_occurrences": {},
            "representative": [],
            "best_matches": {},
            "length": 0,
            "naed": 0.0,
        }
        assert canon(motif_fields(frequent[pattern])) == canon(want), context


@pytest.mark.parametrize(
    "pool, most, seed",
    [("abcd", 4, s) for s in range(8)]
    + [("ab\x00\x7f\x80\xc1\xe9\xff", 4, s) for s in range(3)]
    + [("abcdefghijklmnopqrstu", 21, s) for s in range(2)],
)
def test_pattern_miner_matches_reference(pool, most, seed):
    rng = random.Random(seed)
    for case in range(60):
        symbols = rng.sample(pool, rng.randint(1, most))
        count = rng.randint(0, 8)
        # every other case has words of one length (series of equal length)
        lengths = [rng.randint(0, 12)] * count if case % 2 else [rng.randint(0, 12) for _ in range(count)]
        words = [[rng.choice(symbols) for _ in range(n)] for n in lengths]
        check_pattern_miner(
            words,
            minsup=rng.choice([0.0, -0.5, math.nan, 0.3, 0.5, 1.0, 1.2]),
            min_len=rng.choice([-1, 0, 1, 2, 3, 5]),
            max_len=rng.choice([-1, 0, 1, 2, 3]),
            max_overlap=rng.choice([-0.1, 0.0, 0.5, 0.9, 1.0, math.nan]),
        )


@pytest.mark.parametrize("seed", range(10))
def test_miner_matches_reference_bit_for_bit(seed):
    rng = random.Random(seed)
    for _ in range(40):
        seglen = rng.randint(1, 6)
        # at most 24 symbols per word keeps the brute-force model quick
        series = [random_series(rng, min(40, 24 * seglen)) for _ in range(rng.randint(1, 8))]
        settings = dict(
            minsup=rng.choice([0.3, 0.5, 1.0]),
            seglen=seglen,
            alphabet=rng.randint(2, 6),
            min_len=rng.randint(1, 3),
            max_len=rng.randint(0, 4),
            max_overlap=rng.choice([0.5, 0.9, 1.0]),
            k=rng.choice([0, 1, 3]),
        )
        before = canon(series)
        miner = _qor_cpp.Miner(**settings)
        got = miner.mine(series)
        assert canon(series) == before, "mine changed the caller's series"

        ranked, selected = reference.mine_motifs(series, **settings)
        context = (series, settings)
        assert [m.pattern for m in got] == [m["pattern"] for m in selected], context
        assert canon([motif_fields(m) for m in got]) == canon(selected), context
        assert canon([motif_fields(m) for m in miner.motifs]) == canon(ranked), context
