"""Where naed and relative naed rank a planted shape (the README's table).

    .venv/bin/python bench/rankings.py

Standard normal noise with one 64-sample sine period of amplitude 4 added at a
random place in every series, mined with seglen 8, alphabet 5, minsup 0.8. The
planted motif is the first whose best matches overlap the planted shape in at
least 80% of the series.
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
    print("| collection | motifs | mine ms | by naed | by relative naed | best by naed |")
    print("|---|---|---|---|---|---|")
    for n, m in [(50, 1000), (200, 1000), (50, 4000)]:
        x, starts = planted(n, m)
        start = time.perf_counter()
        motifs = qor.Miner(0.8, 8, 5).mine(x)
        elapsed = 1000 * (time.perf_counter() - start)
        cells = []
        for by in ("naed", "relative_naed"):
            ranked = qor.rank(motifs, by)
            i = next(i for i, motif in enumerate(ranked) if finds_planted(motif, starts))
            cells.append(f"{i + 1} ({ranked[i].pattern}, {qor.score(ranked[i], by):.3f})")
        top = qor.rank(motifs, "naed")[0]
        print(
            f"| {n} x {m:,} | {len(motifs)} | {elapsed:.1f} | {cells[0]} | {cells[1]} | "
            f"{top.pattern} (naed {top.naed:.3f}) |"
        )


if __name__ == "__main__":
    main()
