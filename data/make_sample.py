"""Writes sample.csv: a small, reproducible collection of sensor-like traces.

40 series of 160 to 240 samples: slow random drift plus noise, with a sharp
"spike then dip" shape planted in 70% of the series and a slower ramp in 40%
of them, at random places. One series per line, samples separated by commas.
"""

import math
import random
from pathlib import Path

rng = random.Random(2026)
SPIKE = [math.sin(math.pi * i / 12) * (3.0 if i < 12 else 2.0) for i in range(24)]
RAMP = [i / 8.0 for i in range(32)]

rows = []
for _ in range(40):
    n = rng.randint(160, 240)
    level, series = 0.0, []
    for _ in range(n):
        level += rng.gauss(0.0, 0.05)
        series.append(level + rng.gauss(0.0, 0.2))
    for shape, share in ((SPIKE, 0.7), (RAMP, 0.4)):
        if rng.random() < share:
            at = rng.randrange(0, n - len(shape))
            for i, v in enumerate(shape):
                series[at + i] += v
    rows.append(",".join(f"{x:.4f}" for x in series))

Path(__file__).with_name("sample.csv").write_text("\n".join(rows) + "\n")
