"""Writes the seed corpus of tests/fuzz/fuzz_calls.py: edge cases spelled in
its choice format (one byte per choice)."""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from fuzz_calls import MINSUPS, OVERLAPS, SEGLENS, SPECIAL  # noqa: E402

SAX, MINE, PATTERNS = 0, 1, 2


def program(
    call, rows=(), words=(), seglen=1, alphabet=4, minsup=0.5, min_len=3, max_len=0, overlap=0.9, k=0, form=7
):
    out = [call, SEGLENS.index(seglen), alphabet + 1, MINSUPS.index(minsup) if minsup == minsup else 2]
    out += [min_len + 1, max_len + 1, OVERLAPS.index(overlap) if overlap == overlap else 3, k + 1]
    if call == PATTERNS:
        out.append(len(words))
        for w in words:
            out.append(len(w))
            for ch in w:
                code = ord(ch)
                out += [0, code - ord("a")] if "a" <= ch <= "f" else [5, code - 0x80]
        return bytes(out)
    out.append(len(rows))
    for row in rows:
        out.append(len(row))
        for v in row:
            out += [0, SPECIAL.index(v)] if v in SPECIAL and str(v) != "nan" else [0, 4]
    out.append(form)
    return bytes(out)


def seeds():
    walk = [0.0, 1.0, 0.5, -1.0, 1.0, 0.0, -0.0, 0.5, 1.0, -1.0, 0.5, 0.0]
    yield "empty-collection", program(MINE)
    yield "empty-collection-sax", program(SAX)
    yield "empty-series", program(SAX, rows=[[], walk])
    yield (
        "nan-inf",
        program(MINE, rows=[[float("nan"), float("inf"), -float("inf"), 1.0] * 3, walk], minsup=1.0),
    )
    yield "signed-zero-subnormal", program(SAX, rows=[[-0.0, 0.0, 5e-324, 2.2250738585072014e-308] * 4])
    yield "huge", program(MINE, rows=[[1e308, -1e308, 1.0, 0.5] * 4, walk], seglen=2)
    yield "constant", program(MINE, rows=[[1.0] * 20, [0.5] * 20], minsup=1.0)
    for a in range(-1, 12):
        yield f"alphabet-{a}", program(SAX, rows=[walk, walk[::-1]], alphabet=a)
        yield f"alphabet-mine-{a}", program(MINE, rows=[walk, walk[::-1]], alphabet=a, min_len=1)
    for s in SEGLENS:
        yield f"seglen-{s}", program(SAX, rows=[walk, walk[:3]], seglen=s)
    yield "seglen-past-end-mine", program(MINE, rows=[walk[:3]] * 3, seglen=1000, min_len=1)
    for i, m in enumerate(MINSUPS):
        yield f"minsup-{i}", program(MINE, rows=[walk, walk[::-1], walk[2:]], minsup=m, min_len=2)
        yield f"minsup-patterns-{i}", program(PATTERNS, words=["abcab", "bcabc", "ca"], minsup=m, min_len=1)
    yield "overlap-nan", program(PATTERNS, words=["abcabc", "abcab"], overlap=float("nan"))
    yield "symbols-high", program(PATTERNS, words=["\x80\xff\x80\xff", "\xff\x80\xe9", "a\x80b"], min_len=1)
    yield "negative-k", program(MINE, rows=[walk, walk], k=-1, min_len=2)
    yield "arrays", program(MINE, rows=[walk, walk[::-1]], form=0, min_len=2)
    yield "fortran", program(SAX, rows=[walk, walk[::-1]], form=1)
    yield "strided", program(SAX, rows=[walk, walk[::-1]], form=3)
    yield "read-only", program(MINE, rows=[walk, walk[::-1]], form=4)


if __name__ == "__main__":
    corpus = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent / "corpus")
    corpus.mkdir(parents=True, exist_ok=True)
    for name, data in seeds():
        (corpus / name).write_bytes(data)
