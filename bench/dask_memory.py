"""Each worker's peak memory in qor.distributed calls, as the collection grows.

    .venv/bin/python bench/dask_memory.py                 # 8x, 16x and 32x many-short
    .venv/bin/python bench/dask_memory.py --sizes 1 8 64

The collection of bench/dask_scaling.py (the many-short workload repeated,
.npy files of 10,000 series), written once per size to a temporary folder
(by a process of its own) and mined twice on qor.distributed.local_cluster(2) from a fresh process.
Peaks as bench/dask_scaling.py takes them (VmHWM above the resident set
just before the call, marks reset then), for both calls: the first call's
are those dask_scaling.py reports. The client's peak is dask_scaling.py's
to measure: it needs a fresh process per size. No one-machine side and no fingerprint
of the motifs, so that large sizes take minutes, not hours.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

sys.path.insert(0, str(Path(__file__).parent))
from dask_scaling import SETTINGS, worker_peak, worker_reset, write_collection  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=[8, 16, 32])
    ap.add_argument("--write", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.write:  # in a process of its own: the series made leave no memory to this one
        folder, factor = args.write
        print("\n".join(map(str, write_collection(Path(folder), int(factor)))))
        return

    from distributed import Client

    import qor.distributed as qd

    print("| size | series MiB | call | s | worker peaks MiB |")
    print("|---|---:|---:|---:|---|")
    for factor in args.sizes:
        with tempfile.TemporaryDirectory() as tmp:
            write = [sys.executable, __file__, "--write", tmp, str(factor)]
            written = subprocess.run(write, capture_output=True, text=True, check=True)
            paths = written.stdout.split()
            series = sum(os.path.getsize(p) for p in paths) / 2**20
            with qd.local_cluster(2) as cluster, Client(cluster) as client:
                for call in (1, 2):
                    base = client.run(worker_reset)
                    start = time.perf_counter()
                    motifs = qd.mine(paths, client=client, **SETTINGS)
                    wall = time.perf_counter() - start
                    peaks = client.run(worker_peak)
                    workers = " / ".join(f"{(peaks[w] - base[w]) / 2**20:.0f}" for w in sorted(peaks))
                    print(f"| {factor}x | {series:.0f} | {call} | {wall:.2f} | {workers} |", flush=True)
                    del motifs


if __name__ == "__main__":
    main()
