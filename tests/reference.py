"""Slow, plain-Python model of the qor pipeline, used to cross-check _qor_cpp.

Everything here is written to be easy to read, not fast: sums are plain
`+=` loops over Python floats in index order (so the results match the
C++ core bit for bit), and pattern mining is a brute-force enumeration of
substrings instead of the level-wise search.
"""

import math

NAN = float("nan")

BREAKPOINTS = [
    [],
    [],
    [0.0],
    [-0.43, 0.43],
    [-0.67, 0.0, 0.67],
    [-0.84, -0.25, 0.25, 0.84],
    [-0.97, -0.43, 0.0, 0.43, 0.97],
    [-1.07, -0.57, -0.18, 0.18, 0.57, 1.07],
    [-1.15, -0.67, -0.32, 0.0, 0.32, 0.67, 1.15],
    [-1.22, -0.76, -0.43, -0.14, 0.14, 0.43, 0.76, 1.22],
    [-1.28, -0.84, -0.52, -0.25, 0.0, 0.25, 0.52, 0.84, 1.28],
]


def fdiv(a, b):
    """IEEE-754 division (Python raises on a zero divisor, C++ does not)."""
    if b == 0.0:
        if a == 0.0 or math.isnan(a) or math.isnan(b):
            return NAN
        return math.copysign(math.inf, a) * math.copysign(1.0, b)
    return a / b


# ---------------------------------------------------------------- SAX


def znormalize(series):
    """Return a z-normalised copy of one series (population sd, no guard)."""
    xs = [float(x) for x in series]
    n = len(xs)
    if n == 0:
        return xs
    total = 0.0
    for x in xs:
        total += x
    mean = total / float(n)
    xs = [x - mean for x in xs]
    squares = 0.0
    for x in xs:
        squares += x * x
    sd = math.sqrt(squares / float(n))
    return [fdiv(x, sd) for x in xs]


def sax_word(series, seglen, alphabet):
    n = len(series)
    count = int(math.ceil(float(n) / float(seglen)))
    word = []
    for i in range(count):
        start = i * seglen
        end = min(start + seglen, n)
        total = 0.0
        for j in range(start, end):
            total += series[j]
        mean = total / float(seglen)  # seglen also for a short last segment
        below = 0
        for bp in BREAKPOINTS[alphabet]:
            if mean > bp:  # False for a NaN mean
                below += 1
        word.append(chr(ord("a") + below))
    return word


def sax(ts, seglen, alphabet):
    return [sax_word(list(s), seglen, alphabet) for s in ts]


# ---------------------------------------------------------------- patterns


def pattern_key(pattern):
    """Sort key: symbols compared as signed 8-bit values, prefix first."""
    return [ord(c) - 256 if ord(c) >= 128 else ord(c) for c in pattern]


def lcs_length(a, b):
    table = [[0] * (len(b) + 1) for _ in range(len(a) + 1)]
    for i in range(1, len(a) + 1):
        for j in range(1, len(b) + 1):
            if a[i - 1] == b[j - 1]:
                table[i][j] = table[i - 1][j - 1] + 1
            else:
                table[i][j] = max(table[i - 1][j], table[i][j - 1])
    return table[len(a)][len(b)]


def occurrences(word, pattern):
    n = len(pattern)
    return [s for s in range(len(word) - n + 1) if word[s : s + n] == pattern]


def mine_patterns(words, minsup, min_len=3, max_len=0, max_overlap=0.9):
    """Frequent contiguous patterns -> {word index: [positions]}, in pattern order.

    Brute force: every distinct substring is a candidate.  Support is
    anti-monotone (a substring occurs in every word its superstring occurs
    in), so this finds exactly what a level-wise search finds.
    """
    words = ["".join(w) for w in words]
    min_count = len(words) * minsup
    if max_len == 0:
        longest = math.inf
    elif max_len >= 1:
        longest = max_len
    else:
        longest = 1  # the search stops after the single symbols

    candidates = set()
    for w in words:
        for s in range(len(w)):
            for e in range(s + 1, len(w) + 1):
                if e - s <= longest:
                    candidates.add(w[s:e])

    frequent = {}
    for p in candidates:
        indexes = {}
        for g, w in enumerate(words):
            if p in w:
                indexes[g] = occurrences(w, p)
        support = len(indexes)
        if support > 0 and not (min_count > support):
            frequent[p] = indexes

    # length filter: keep patterns of at least min_len, longest first
    final = [p for p in frequent if len(p) >= min_len]
    final.sort(key=lambda p: (-len(p), pattern_key(p)))
    for p in list(frequent):
        if len(p) < min_len:
            del frequent[p]

    # overlap filter
    removed = []
    for p in final:
        if p in removed:
            continue
        for r in final:
            if len(r) > len(p) or r == p or r in removed:
                continue
            if lcs_length(p, r) / len(r) > max_overlap:
                del frequent[r]
                removed.append(r)

    return {p: frequent[p] for p in sorted(frequent, key=pattern_key)}


# ---------------------------------------------------------------- motifs


def extract_occurrence(series, position, seglen, length):
    start = position * seglen
    end = start + length
    pad = max(end - len(series), 0)
    return series[start : end - pad] + [NAN] * pad


def nan_mean(values):
    total = 0.0
    count = 0
    for v in values:
        if not math.isnan(v):
            total += v
            count += 1
    return total / count if count > 0 else NAN


def score_motif(pattern, indexes, series, seglen):
    length = seglen * len(pattern)
    keys = sorted(indexes)  # per-series terms are added in ascending series order

    average = {}
    for g in keys:
        windows = [extract_occurrence(series[g], p, seglen, length) for p in indexes[g]]
        average[g] = [nan_mean([w[i] for w in windows]) for i in range(length)]

    representative = [0.0] * length
    n = float(len(average))
    means = [nan_mean([average[g][i] for g in keys]) for i in range(length)]
    for _ in range(len(average)):
        for i in range(length):
            representative[i] = means[i] / n + representative[i]

    best_matches = {}
    naed = 0.0
    for g in keys:
        best_position = 0
        best_distance = 1000000.0
        for p in indexes[g]:
            w = extract_occurrence(series[g], p, seglen, length)
            total = 0.0
            for i in range(length):
                if not math.isnan(w[i]):
                    diff = w[i] - representative[i]
                    total += diff * diff
            d = math.sqrt(total)
            if d < best_distance:
                best_distance = d
                best_position = p
        naed = naed + best_distance
        best_matches[g] = best_position * seglen
    naed = fdiv(naed, float(len(indexes)) * float(length))

    return {
        "pattern": pattern,
        "indexes": {g: list(indexes[g]) for g in keys},
        "average_occurrences": average,
        "representative": representative,
        "best_matches": best_matches,
        "length": length,
        "naed": naed,
    }


def mine_motifs(series, minsup, seglen, alphabet, min_len=3, max_len=0, max_overlap=0.9, k=0):
    """Return (all motifs ranked, the first k of them; all when k is 0)."""
    normalised = [znormalize(s) for s in series]
    words = sax(normalised, seglen, alphabet)
    patterns = mine_patterns(words, minsup, min_len, max_len, max_overlap)
    motifs = [score_motif(p, idx, normalised, seglen) for p, idx in patterns.items()]
    # stable sort by naed, NaN after every number
    ranked = sorted(
        motifs, key=lambda m: (math.isnan(m["naed"]), 0.0 if math.isnan(m["naed"]) else m["naed"])
    )
    selected = list(ranked) if k == 0 else ranked[: min(len(ranked), k)]
    return ranked, selected
