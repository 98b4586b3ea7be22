"""Fingerprints of every field of every motif that Miner.mine finds on the
benchmark workloads, from lists and from a float64 array, and of what sax
and PatternMiner return on them: to check that a change of the engine keeps
its results to the last bit.

    .venv/bin/python bench/fingerprint.py --save /tmp/before.json
    ... change and rebuild ...
    .venv/bin/python bench/fingerprint.py --compare /tmp/before.json

Floats are hashed by their bits and dicts in their key order, so any change
of a value, of a key order or of the motif order shows.
"""

import argparse
import hashlib
import json
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402

FIELDS = ("pattern", "indexes", "average_occurrences", "representative", "best_matches", "length", "naed")


def feed(h, x):
    """Adds an exact, order-preserving encoding of x to the hash h."""
    if isinstance(x, float):
        h.update(b"f" + struct.pack("<d", x))
    elif isinstance(x, bool | int):
        h.update(b"i" + str(int(x)).encode() + b";")
    elif isinstance(x, str):
        h.update(b"s" + x.encode("latin-1") + b";")
    elif isinstance(x, dict):
        h.update(b"{" + str(len(x)).encode())
        for k, v in x.items():
            feed(h, k)
            feed(h, v)
    elif isinstance(x, list | tuple):
        h.update(b"[" + str(len(x)).encode())
        for v in x:
            feed(h, v)
    else:
        raise TypeError(type(x))


def digest(values):
    h = hashlib.sha256()
    for v in values:
        feed(h, v)
    return h.hexdigest()[:16]


def fingerprints(name):
    minsup, seglen, alphabet, max_len = run.WORKLOADS[name][2:]
    data = run.make_data(name)
    out = {}
    for source, inp in (("lists", data.tolist()), ("array", data)):
        miner = run.qor.Miner(minsup, seglen, alphabet, 3, max_len, 0.9, 0)
        motifs = miner.mine(inp)
        out[f"{source} motifs"] = len(motifs)
        for field in FIELDS:
            out[f"{source} {field}"] = digest(getattr(m, field) for m in motifs)
        out[f"{source} stored"] = digest(getattr(m, f) for m in miner.motifs for f in FIELDS)
    out["sax"] = digest(run.qor.sax(data.tolist(), seglen, alphabet))
    pm = run.qor.PatternMiner(minsup, 3, max_len, 0.9)
    pm.mine(run.sax_words(data, seglen, alphabet))
    out["patterns"] = digest([(p, m.indexes, m.length, m.naed) for p, m in pm.frequent.items()])
    return out


def ragged():
    """Series of many lengths (some shorter than a segment, some empty) with
    NaN samples and constant stretches, from lists and from 1-D arrays."""
    rng = run.np.random.default_rng(15)
    series = []
    for i in range(400):
        x = run.np.cumsum(rng.standard_normal(int(rng.integers(0, 900))))
        if i % 7 == 0 and len(x):
            x[rng.integers(0, len(x), 5)] = run.np.nan
        if i % 11 == 0:
            x[: len(x) // 3] = 1.5
        series.append(x)
    out = {}
    for source, inp in (("lists", [x.tolist() for x in series]), ("arrays", series)):
        motifs = run.qor.Miner(0.2, 6, 5, 3, 0, 0.9, 0).mine(inp)
        out[f"{source} motifs"] = len(motifs)
        for field in FIELDS:
            out[f"{source} {field}"] = digest(getattr(m, field) for m in motifs)
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--save", metavar="PATH", help="write the fingerprints as JSON")
    ap.add_argument(
        "--compare", metavar="PATH", help="compare with saved fingerprints; exit 1 on a difference"
    )
    args = ap.parse_args()
    now = {name: fingerprints(name) for name in run.WORKLOADS}
    now["ragged"] = ragged()
    if args.save:
        with open(args.save, "w") as f:
            json.dump(now, f, indent=1)
    differ = 0
    if args.compare:
        with open(args.compare) as f:
            saved = json.load(f)
        for name, prints in now.items():
            for key, value in prints.items():
                was = saved.get(name, {}).get(key)
                if was != value:
                    differ += 1
                    print(f"DIFFERENT {name} {key}: {was} -> {value}")
        print(f"{sum(len(p) for p in now.values())} fingerprints compared, {differ} different")
    else:
        for name, prints in now.items():
            print(name, " ".join(f"{k}={v}" for k, v in prints.items()))
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
