"""Writing every motif of a mining as JSON and CSV (`qor mine --top 0 --json/--csv`).

    .venv/bin/python bench/output.py            # many-short, 3 runs per way
    .venv/bin/python bench/output.py --repeat 5

The motifs are those of the many-short workload of bench/run.py (20,000
random walks of 300 samples, half with a bump; minsup 0.1, seglen 6,
alphabet 6), all of them, with every per-series mean window. Each way runs
in a fresh process that mines first (untimed) and then writes the file to a
temporary folder; the table gives the median time of the writing and the
peak resident set it added (VmHWM after, minus the resident set before, the
kernel's peak mark reset first):

- whole: the document made in one piece, as qor wrote it before: every
  record with its mean windows as lists of Python floats (`qor.records`),
  then orjson (JSON) or the csv module (CSV) over all of it, written as text;
- streamed: as `qor mine` writes it now, a record at a time, each motif's
  mean windows computed as a float64 array when its record is reached.

Both ways' files are checked to be the same bytes.
"""

import argparse
import csv
import hashlib
import io
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

sys.path.insert(0, str(Path(__file__).parent))


def child(way, fmt, folder):
    import orjson
    from run import WORKLOADS, make_data, proc_status

    import qor
    from qor._table import FIELDS, csv_parts, json_parts, records, with_averages

    n, _, minsup, seglen, alphabet, _ = WORKLOADS["many-short"]
    x = make_data("many-short")
    motifs = qor.mine(x, seglen=seglen, alphabet=alphabet, minsup=minsup)
    meta = {"series": n, "ranking": "relative_naed"}
    path = Path(folder) / f"{way}.{fmt}"
    option = orjson.OPT_NON_STR_KEYS | orjson.OPT_SERIALIZE_NUMPY
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = proc_status("VmRSS")
    start = time.perf_counter()
    if way == "whole":
        rows = records(motifs, n)
        if fmt == "json":
            text = orjson.dumps({**meta, "motifs": rows}, option=option | orjson.OPT_INDENT_2).decode()
        else:
            out = io.StringIO()
            writer = csv.DictWriter(out, fieldnames=FIELDS, lineterminator="\n")
            writer.writeheader()
            for r in rows:
                cells = {
                    k: orjson.dumps(v, option=option).decode() if isinstance(v, (dict, list)) else v
                    for k, v in r.items()
                }
                writer.writerow(cells)
            text = out.getvalue()
        path.write_text(text, encoding="utf-8")
    else:
        rows = with_averages(records(motifs, n, averages=False), motifs)
        parts = json_parts(rows, **meta) if fmt == "json" else csv_parts(rows)
        with path.open("wb") as out:
            for part in parts:
                out.write(part)
    seconds = time.perf_counter() - start
    peak = proc_status("VmHWM") - before
    digest = hashlib.sha256(path.read_bytes()).hexdigest()
    print(json.dumps({"seconds": seconds, "peak": peak, "bytes": path.stat().st_size, "sha": digest}))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return
    print("| file | MB | whole s | streamed s | whole / streamed | whole peak MiB | streamed peak MiB |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as folder:
        for fmt in ("json", "csv"):
            runs = {"whole": [], "streamed": []}
            for _ in range(args.repeat):  # the two ways alternate
                for way in runs:
                    out = subprocess.run(
                        [sys.executable, __file__, "--child", way, fmt, folder],
                        check=True,
                        capture_output=True,
                        text=True,
                    )
                    runs[way].append(json.loads(out.stdout))
            shas = {r["sha"] for way in runs.values() for r in way}
            assert len(shas) == 1, f"{fmt}: the two ways wrote different files"
            t = {way: statistics.median(r["seconds"] for r in rs) for way, rs in runs.items()}
            peak = {way: rs[0]["peak"] / 2**20 for way, rs in runs.items()}
            size = runs["whole"][0]["bytes"] / 1e6
            print(
                f"| {fmt.upper()}, every motif | {size:.0f} | {t['whole']:.2f} | {t['streamed']:.2f} | "
                f"{t['whole'] / t['streamed']:.1f} | {peak['whole']:.0f} | {peak['streamed']:.0f} |"
            )


if __name__ == "__main__":
    main()
