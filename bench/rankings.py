"""Where naed and relative naed rank a planted shape (the README's table).

    .venv/bin/python bench/rankings.py

Standard normal noise with one 64-sample sine period of amplitude 4 added at a
random place in every series, mined with seglen 8, alphabet 5, minsup 0.8. A
motif finds the planted shape when its best matches overlap it in at least
80% of the series; each one that does gets a row, with its place in both
rankings.
"""

import time

import numpy as np

import qor

WIDTH = 64


def planted(n, m, seed=0, amp=4.0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, m))
    starts = rng.integers(0, m - WIDTH, size=n)
    for row, s in zip(x, starts, strict=True):
        row[s : s + WIDTH] += amp * np.sin(np.linspace(0, 2 * np.pi, WIDTH))
    return x, starts


def finds_planted(motif, starts):
    best = motif.best_matches.items()
    return sum(b < starts[s] + WIDTH and starts[s] < b + motif.length for s, b in best) >= 0.8 * len(starts)


def main():
    print("| collection | motifs | mine ms | shape found by | by naed | by relative naed | best by naed |")
    print("|---|---|---|---|---|---|---|")
    for n, m in [(50, 1000), (200, 1000), (50, 4000)]:
        x, starts = planted(n, m)
        start = time.perf_counter()
        motifs = qor.Miner(0.8, 8, 5).mine(x)
        elapsed = 1000 * (time.perf_counter() - start)
        by_naed, by_relative = qor.rank(motifs, "naed"), qor.rank(motifs, "relative_naed")
        top = by_naed[0]
        # Every motif that finds the planted shape, best by relative naed first,
        # with its place in each ranking.
        for motif in (motif for motif in by_relative if finds_planted(motif, starts)):
            places = [
                f"{ranked.index(motif) + 1} ({qor.score(motif, by):.3f})"
                for ranked, by in ((by_naed, "naed"), (by_relative, "relative_naed"))
            ]
            print(
                f"| {n} x {m:,} | {len(motifs)} | {elapsed:.1f} | {motif.pattern} | {places[0]} | "
                f"{places[1]} | {top.pattern} (naed {top.naed:.3f}) |"
            )


if __name__ == "__main__":
    main()
