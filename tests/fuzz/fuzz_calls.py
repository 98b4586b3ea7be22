"""Coverage-guided fuzzing of sax, Miner.mine, PatternMiner.mine and the
conversion of their inputs, on atheris.

    bash scripts/fuzz.sh 60    # seeds from make_corpus.py; the corpus replayed under ASan + UBSan

Each input is read as a small program of choices (class Choices): which call,
the container and dtype of the series, every sample (special values, any
float, other number types, things that are no number), the settings, the
words and their symbols. Every call must return a result that passes the
checks below or raise TypeError, ValueError or the exception a sample's
conversion raised; nothing else, and the inputs stay as they were. Miner
calls whose windows would span more than a million samples are skipped (their
memory grows with seglen, as the README says).
"""

import math
import struct
import sys
from fractions import Fraction

import atheris
import numpy as np

import _qor_cpp as q

SPECIAL = [
    0.0,
    -0.0,
    1.0,
    -1.0,
    math.nan,
    math.inf,
    -math.inf,
    5e-324,
    2.2250738585072014e-308,
    1e308,
    -1e308,
    0.5,
]
SEGLENS = [1, 2, 3, 4, 7, 0, -1, -3, 2**31 - 1, -(2**31), 1000, 64]
MINSUPS = [0.0, 1.0, math.nan, 0.5, 0.25, -1.0, math.inf, 1e-300]
OVERLAPS = [0.9, 0.0, 1.0, math.nan, 0.5, -1.0]


class ConversionFailed(Exception):
    """Raised by Raising samples: must come out of the call unchanged."""


class Raising:
    def __float__(self):
        raise ConversionFailed


class Choices:
    """Reads choices from bytes: one byte each, 9 for a free float; zeros once used up."""

    def __init__(self, data):
        self.data, self.at = data, 0

    def byte(self):
        b = self.data[self.at] if self.at < len(self.data) else 0
        self.at += 1
        return b

    def pick(self, options):
        return options[self.byte() % len(options)]

    def upto(self, n):
        return self.byte() % (n + 1)

    def free_float(self):
        raw = bytes(self.byte() for _ in range(8))
        return struct.unpack("<d", raw)[0]


def sample(c):
    kind = c.byte() % 16
    if kind < 6:
        return c.pick(SPECIAL)
    if kind < 9:
        return c.free_float()
    if kind == 9:
        return c.byte() - 128  # int
    if kind == 10:
        return Fraction(c.byte() - 128, 1 + c.byte())
    if kind == 11:
        return np.float32(c.byte() / 7.0)
    return c.pick([True, 10**400, None, "1.5", 1j, Raising(), [1.0], np.complex64(1)])


def series(c):
    rows = [[sample(c) for _ in range(c.upto(40))] for _ in range(c.upto(6))]
    plain = all(type(v) is float for row in rows for v in row)
    form = c.byte() % 8
    if plain and rows and len({len(r) for r in rows}) == 1 and form < 5:
        x = np.array(rows, dtype=np.float64)
        if form == 1:
            x = np.asfortranarray(x)
        elif form == 2:
            x = x.astype(c.pick([np.float32, np.int64, np.complex128, ">f8", object]))
        elif form == 3:
            x = np.repeat(x, 2, axis=1)[:, ::2]
        elif form == 4:
            x.flags.writeable = False
        return x
    if plain and form == 5:
        return [np.array(r) for r in rows]
    if form == 6:
        return tuple(tuple(r) for r in rows)
    return rows


def symbol(c):
    kind = c.byte() % 8
    if kind < 5:
        return chr(ord("a") + c.byte() % 6)
    if kind == 5:
        return chr(0x80 + c.byte() % 0x80)
    if kind == 6:
        return bytes([c.byte()])
    return c.pick(["", "ab", None, "\u20ac", 3])


def words(c):
    return [[symbol(c) for _ in range(c.upto(30))] for _ in range(c.upto(8))]


def snapshot(x):
    if isinstance(x, np.ndarray):
        return ("array", x.dtype.str, x.tobytes(), x.flags.writeable)
    if isinstance(x, list | tuple):
        return (type(x).__name__, [snapshot(v) for v in x], id(x))
    return ("item", repr(x), id(x))


def check_sax(ts, seglen, alphabet, words_):
    assert isinstance(words_, list) and len(words_) == len(ts)
    for row, word in zip(ts, words_, strict=True):
        n = len(row)
        expected = math.ceil(n / seglen) if seglen else None
        assert expected is None or len(word) == max(expected, 0), (n, seglen, len(word))
        top = chr(ord("a") + max(alphabet - 1, 0))
        assert all(len(ch) == 1 and "a" <= ch <= top for ch in word)


def check_mine(miner, top, k, seglen):
    ranked = miner.motifs
    assert [m.pattern for m in top] == [m.pattern for m in (ranked if k == 0 else ranked[:k])]
    naeds = [m.naed for m in ranked]
    real = [v for v in naeds if not math.isnan(v)]
    assert real == sorted(real) and naeds[: len(real)] == real
    for m in ranked:
        assert len(m.pattern) >= 1 and m.length == len(m.pattern) * seglen
        assert len(m.representative) == max(m.length, 0)
        assert set(m.best_matches) == set(m.indexes)


def check_patterns(pm, words_, minsup):
    text = ["".join(ch if isinstance(ch, str) else ch.decode("latin-1") for ch in w) for w in words_]
    for key, motif in pm.frequent.items():
        support = sum(key in w for w in text)
        assert support >= 1 and set(motif.indexes) <= set(range(len(words_)))
        if minsup == minsup and minsup > 0:
            assert support >= minsup * len(words_) - 1e-9


def one_input(data):
    c = Choices(data)
    call = c.byte() % 4
    seglen, alphabet = c.pick(SEGLENS), c.byte() % 13 - 1
    minsup, min_len, max_len = c.pick(MINSUPS), c.byte() % 6 - 1, c.byte() % 8 - 1
    overlap, k = c.pick(OVERLAPS), c.byte() % 6 - 1
    args = words(c) if call == 2 else series(c)
    before = snapshot(args)
    try:
        if call in (0, 3):
            result = q.sax(args, seglen, alphabet)
            check_sax(args, seglen, alphabet, result)
        elif call == 1:
            longest = max((len(r) for r in args), default=0)
            if abs(seglen) * max(longest, 1) > 10**6:
                return
            miner = q.Miner(minsup, seglen, alphabet, min_len, max_len, overlap, k)
            check_mine(miner, miner.mine(args), k, seglen)
        else:
            pm = q.PatternMiner(minsup, min_len, max_len, overlap)
            pm.mine(args)
            check_patterns(pm, args, minsup)
    except (TypeError, ValueError, ConversionFailed):
        pass
    assert snapshot(args) == before


def main():
    # Coverage of this module's own choices guides the mutations.
    for name in (
        "sample",
        "series",
        "symbol",
        "words",
        "check_sax",
        "check_mine",
        "check_patterns",
        "one_input",
    ):
        globals()[name] = atheris.instrument_func(globals()[name])
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
