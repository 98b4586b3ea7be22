"""How fast qor.load reads a CSV file, against pandas and its own Python reader.

    .venv/bin/python bench/load.py [--repeat 5]

The many-short workload (20,000 random walks of 300 samples) written as CSV
twice: with every float's shortest round-trip text (``repr``, about 18
characters a cell, 113 MB) and with 6 significant digits (``%.6g``, 51 MB);
and 8 random walks of 500,000 samples, as few-long has them, one per line
(``repr``, 76 MB: lines of 9.5 MB, longer than the chunks the engine reads;
pandas, slow on so wide a table, runs once).
Each reader runs ``--repeat`` times in this process; the table gives medians
and the ratio to ``pandas.read_csv(header=None)`` (the C parser, which makes
one 2-D array rather than a list of rows). "Python reader" is qor.load with
its engine reader turned off: every file goes the way the files the engine
reader declines (quotes, non-ASCII cells, text) go.
"""

import argparse
import statistics
import tempfile
import time
from pathlib import Path

import numpy as np

import qor
import qor._load as loader


def write(path, x, fmt):
    with open(path, "w") as f:
        if fmt == "repr":
            f.writelines(",".join(map(repr, row)) + "\n" for row in x.tolist())
        else:
            np.savetxt(f, x, delimiter=",", fmt=fmt)


def timed(function, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def python_reader(path):
    kept = loader._read_plain
    loader._read_plain = lambda *args: None
    try:
        return qor.load(path)
    finally:
        loader._read_plain = kept


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    import pandas as pd

    rng = np.random.default_rng(0)
    many = np.cumsum(rng.normal(size=(20_000, 300)), axis=1)
    few = np.cumsum(rng.normal(size=(8, 500_000)), axis=1)
    print("| file | MB | qor.load s | Python reader s | pandas.read_csv s | qor.load / pandas |")
    print("|---|---:|---:|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as tmp:
        for name, x, fmt in (
            ("many-short", many, "repr"),
            ("many-short", many, "%.6g"),
            ("few-long", few, "repr"),
        ):
            path = Path(tmp) / "walks.csv"
            write(path, x, fmt)
            ours = qor.load(path)
            assert len(ours) == len(x) and all(
                np.array_equal(a, b) for a, b in zip(ours, python_reader(path), strict=True)
            )
            if fmt == "repr":
                assert all(np.array_equal(a, b) for a, b in zip(ours, x, strict=True))
            t_qor = timed(lambda p=path: qor.load(p), args.repeat)
            t_python = timed(lambda p=path: python_reader(p), max(1, args.repeat // 2))
            t_pandas = timed(lambda p=path: pd.read_csv(p, header=None), args.repeat if len(x) > 100 else 1)
            size = path.stat().st_size / 1e6
            print(
                f"| {name}, {fmt} | {size:.0f} | {t_qor:.2f} | {t_python:.2f} | {t_pandas:.2f} "
                f"| {t_qor / t_pandas:.2f} |"
            )


if __name__ == "__main__":
    main()
