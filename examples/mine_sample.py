"""Mines the bundled sample collection and prints its top motifs.

Usage: python examples/mine_sample.py [path/to/series.csv]
Each line of the file is one series, samples separated by commas.
"""

import sys
from pathlib import Path

import _qor_cpp

path = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).parent.parent / "data" / "sample.csv"
series = [[float(x) for x in line.split(",")] for line in path.read_text().split("\n") if line.strip()]
print(
    f"{len(series)} series from {path.name}, {min(map(len, series))} to {max(map(len, series))} samples each"
)

miner = _qor_cpp.Miner(minsup=0.5, seglen=4, alphabet=5, min_len=4, k=5)
top = miner.mine(series)
print(f"{len(miner.motifs)} motifs found; the {len(top)} with the smallest naed:\n")
for rank, motif in enumerate(top, 1):
    matches = motif.best_matches
    print(
        f"{rank}. pattern {motif.pattern!r}: {len(matches)} series, "
        f"{motif.length} samples, naed {motif.naed:.4f}"
    )
    shown = ", ".join(f"#{s}@{start}" for s, start in list(matches.items())[:8])
    more = f", ... ({len(matches) - 8} more)" if len(matches) > 8 else ""
    print(f"   best match per series (series@sample): {shown}{more}")
    print("   shape: " + " ".join(f"{v:+.2f}" for v in motif.representative[:: max(1, motif.length // 12)]))
