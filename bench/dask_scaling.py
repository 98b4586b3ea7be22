"""qor.distributed against one machine, as the collection grows.

    .venv/bin/python bench/dask_scaling.py              # 1x, 2x, 4x, 8x many-short
    .venv/bin/python bench/dask_scaling.py --sizes 1 2  # fewer sizes
    .venv/bin/python bench/dask_scaling.py --markdown
    .venv/bin/python bench/dask_scaling.py --sizes 8 --rounds 5 --repeat 5
    .venv/bin/python bench/dask_scaling.py --cluster dask   # Dask's own LocalCluster settings

The collection is the many-short workload of bench/run.py (20,000 random
walks of 300 samples, half of them with a bump; minsup 0.1, seglen 6,
alphabet 6) repeated with new seeds to 1, 2, 4 and 8 times its size, written
as .npy files of 10,000 series (one partition each). For each size:

- one machine: Miner.mine on the whole collection as one float64 array, in a
  fresh process, timed two ways: the call alone (the array read from the
  files first, untimed), and reading the files into the array as well, as
  a job on one machine does (qor.distributed reads the files in its time);
- Dask: qor.distributed.mine on a LocalCluster of two single-threaded worker
  processes, from a fresh client process: the one qor.distributed.local_cluster
  starts (as `qor mine --dask local` does), or with --cluster dask one with
  Dask's own settings (its sampling profiler on, its event loops checked
  every 20 ms).

The machine's speed drifts by 15-20% over minutes, more than the effects
being measured, so the two sides are measured in --rounds rounds, each a
one-machine process and then a Dask process, back to back: a round's ratio
compares times taken seconds apart, and the table gives the median of the
rounds' ratios (each round's own in the last column). Times are medians of
--repeat runs after a warm-up, over all rounds. Peak memory is the
process's peak resident set (VmHWM) minus its resident set before the first
call, after the kernel's peak mark is reset (writing 5 to
/proc/self/clear_refs): for the one-machine process, the client, and each
worker (reset and read through Client.run). Later calls would reuse memory
that the first one left to the allocators and show less. "client holds" is
the client's resident set after the first call, above that before it: the
motifs returned (without their average rows, which are computed on the
cluster when read).
Results are checked to be identical (every field of every motif).
"""

import argparse
import hashlib
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import numpy as np  # noqa: E402

sys.path.insert(0, str(Path(__file__).parent))
from run import WORKLOADS, walks_half_bumped  # noqa: E402

N, LENGTH, MINSUP, SEGLEN, ALPHABET, _ = WORKLOADS["many-short"]
PART = 10_000
SETTINGS = dict(minsup=MINSUP, seglen=SEGLEN, alphabet=ALPHABET)


def write_collection(folder, factor):
    paths = []
    for i in range(factor):
        x = walks_half_bumped(N, LENGTH, seed=13 + i)
        for j in range(0, N, PART):
            paths.append(folder / f"part-{factor}-{i}-{j}.npy")
            np.save(paths[-1], x[j : j + PART])
    return paths


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    return 0


def fingerprint(motifs):
    h = hashlib.sha256()
    for m in motifs:
        fields = (
            m.pattern,
            m.length,
            m.naed,
            sorted(m.indexes.items()),
            sorted(m.best_matches.items()),
            m.representative,
            sorted(m.average_occurrences.items()),
        )
        h.update(repr(fields).encode())
    return h.hexdigest()[:16]


def child_one_machine(paths, repeat):
    import _qor_cpp

    def read():
        return np.concatenate([np.load(p, mmap_mode="r") for p in paths])

    x = read()
    times, with_reading = [], []
    for i in range(repeat + 1):
        miner = _qor_cpp.Miner(**SETTINGS)
        before = status("VmRSS")
        reset_peak()
        start = time.perf_counter()
        miner.mine(x)
        times.append(time.perf_counter() - start)
        if i == 0:  # later calls reuse memory that the first one left to the allocator
            peak = status("VmHWM") - before
        if i < repeat:
            del miner
    for _ in range(repeat + 1):
        del x
        start = time.perf_counter()
        x = read()
        _qor_cpp.Miner(**SETTINGS).mine(x)
        with_reading.append(time.perf_counter() - start)
    return {
        "times": times[1:],
        "with_reading": with_reading[1:],
        "peak": peak,
        "series_bytes": x.nbytes,
        "fingerprint": fingerprint(miner.motifs),
        "motifs": len(miner.motifs),
    }


def worker_reset():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    return status("VmRSS")


def worker_peak():
    return status("VmHWM")


def child_dask(paths, repeat, cluster_kind):
    from distributed import Client, LocalCluster

    import qor.distributed

    if cluster_kind == "qor":
        cluster = qor.distributed.local_cluster(2)
    else:
        cluster = LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=40
        )
    with cluster, Client(cluster) as client:
        times = []
        for i in range(repeat + 1):
            miner = qor.distributed.Miner(**SETTINGS)
            if i == 0:  # later calls reuse memory that the first one left to the allocators
                base = client.run(worker_reset)
                before = status("VmRSS")
                reset_peak()
            start = time.perf_counter()
            miner.mine(paths, client=client)
            times.append(time.perf_counter() - start)
            if i == 0:
                peak = status("VmHWM") - before
                peaks = client.run(worker_peak)
                workers = sorted(peaks[w] - base[w] for w in peaks)
                held = status("VmRSS") - before
            if i < repeat:
                del miner
        return {
            "times": times[1:],
            "peak": peak,
            "held": held,
            "workers": workers,
            "fingerprint": fingerprint(miner.motifs),
        }


def run_child(kind, paths, repeat, cluster_kind="qor"):
    out = subprocess.run(
        [
            sys.executable,
            __file__,
            "--child",
            kind,
            "--repeat",
            str(repeat),
            "--cluster",
            cluster_kind,
            *map(str, paths),
        ],
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(out.stdout.strip().splitlines()[-1])


def pooled_median(rounds, key, side):
    """The median of every round's times under ``key``, of one side (0: one machine, 1: Dask)."""
    return statistics.median(t for pair in rounds for t in pair[side][key])


def round_ratios(rounds, key):
    """Each round's median Dask time over its median one-machine time under ``key``."""
    return [statistics.median(dist["times"]) / statistics.median(one[key]) for one, dist in rounds]


def mib(b):
    return f"{b / 2**20:.0f}"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=[1, 2, 4, 8])
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--markdown", action="store_true")
    ap.add_argument(
        "--cluster",
        choices=("qor", "dask"),
        default="qor",
        help="qor.distributed.local_cluster (default), or a LocalCluster with Dask's own settings",
    )
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("paths", nargs="*", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        paths = [Path(p) for p in args.paths]
        if args.child == "one":
            print(json.dumps(child_one_machine(paths, args.repeat)))
        else:
            print(json.dumps(child_dask(paths, args.repeat, args.cluster)))
        return
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for factor in args.sizes:
            paths = write_collection(Path(tmp), factor)
            rounds = []
            for _ in range(args.rounds):
                one = run_child("one", paths, args.repeat)
                rounds.append((one, run_child("dask", paths, args.repeat, args.cluster)))
            one, dist = rounds[0]  # memory: the first round's
            prints = {r["fingerprint"] for pair in rounds for r in pair}
            same = "yes" if len(prints) == 1 else "NO"
            per_round = round_ratios(rounds, "times")
            rows.append(
                [
                    f"{factor}x",
                    f"{N * factor:,}",
                    mib(one["series_bytes"]),
                    one["motifs"],
                    f"{pooled_median(rounds, 'times', 0):.2f}",
                    f"{pooled_median(rounds, 'times', 1):.2f}",
                    f"{statistics.median(per_round):.2f}",
                    f"{pooled_median(rounds, 'with_reading', 0):.2f}",
                    f"{statistics.median(round_ratios(rounds, 'with_reading')):.2f}",
                    mib(one["peak"]),
                    mib(dist["peak"]),
                    mib(dist["held"]),
                    " / ".join(mib(w) for w in dist["workers"]),
                    same,
                    " ".join(f"{r:.2f}" for r in per_round),
                ]
            )
            for p in paths:
                p.unlink()
    headers = [
        "size",
        "series",
        "series MiB",
        "motifs",
        "one machine s",
        "Dask s",
        "Dask / one",
        "one machine, files read s",
        "Dask / that",
        "one machine peak MiB",
        "client peak MiB",
        "client holds MiB",
        "worker peaks MiB",
        "same motifs",
        "rounds' Dask / one",
    ]
    if args.markdown:
        print("| " + " | ".join(headers) + " |")
        print("|" + "---|" * len(headers))
        for r in rows:
            print("| " + " | ".join(map(str, r)) + " |")
    else:
        widths = [max(len(str(c)) for c in col) for col in zip(headers, *rows, strict=True)]
        for r in [headers, *rows]:
            print("  ".join(str(c).rjust(w) for c, w in zip(r, widths, strict=True)))


if __name__ == "__main__":
    main()
