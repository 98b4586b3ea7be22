"""Benchmarks for the _qor_cpp motif miner.

    .venv/bin/python bench/run.py                 # full run (a few minutes)
    .venv/bin/python bench/run.py --quick         # short run (under a minute)
    .venv/bin/python bench/run.py --only medium   # one workload (or --only scaling)
    .venv/bin/python bench/run.py --markdown --json /tmp/bench.json

Every workload is built with numpy from a fixed seed, so each run mines the
same data. For each workload and phase the call runs once as a warm-up and
then --repeat times; the table shows the median and the minimum. Before each
timed call the garbage collector runs, and it stays disabled during the call
(the calls allocate many Python objects, and a collection pass landing inside
one of them would only add noise). Machines are shared and absolute times
drift, so every time is also given as a ratio to the `sax` phase of the same
workload in the same run: `sax` on the raw lists is the floor, since nearly
all of its time goes to reading the Python input.

Phases:
  sax          sax(series, seglen, alphabet) on the raw series (lists of floats)
  mine         Miner(...).mine(series) on lists of floats
  qor-mine     qor.mine(series, ...) on the same lists: the package's call, which
               checks and reads the input, warns of blanked series and ranks
  patterns     PatternMiner(...).mine(words) on the SAX words of the
               z-normalised series (the words are made once, untimed)
  mine-numpy   Miner(...).mine(array) on a C-contiguous float64 2-D array
               ("n/a" when the module refuses arrays with TypeError)
  numpy-sum    array.sum(): one pass of NumPy over the same array, the
               floor for any call that reads the array

Every timed call also counts the minor page faults it caused (from
/proc/self/stat): memory that a call takes fresh from the kernel, rather
than reusing, shows up there (the column gives the median per call).

Peak memory is measured in a fresh interpreter per (workload, phase): the
child builds the input, resets the kernel's peak-RSS mark (writing "5" to
/proc/self/clear_refs), runs the phase once and reports VmHWM minus the RSS
before the call. The result objects (and the Miner holding its motifs) count
in that peak; "result" is the RSS still in use after the call while the
result is held. Before the call and before that last reading, glibc's
malloc_trim hands free heap pages back to the kernel, so that memory freed
earlier and reused by the call still counts; the figures remain estimates.
"""

import argparse
import ctypes
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import time

# NumPy only builds the workloads: keep its BLAS thread pool from spinning
# on the cores that the timed calls use.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import numpy as np  # noqa: E402

import _qor_cpp as qor  # noqa: E402
import qor as package  # noqa: E402

# name: (n_series, length, minsup, seglen, alphabet, max_len); other Miner
# settings stay at their defaults (min_len 3, max_overlap 0.9, k 0).
WORKLOADS = {
    "small": (60, 150, 0.2, 5, 5, 0),
    "medium": (1_000, 2_000, 0.3, 8, 6, 0),
    "many-short": (20_000, 300, 0.1, 6, 6, 0),
    "few-long": (8, 500_000, 1.0, 48, 6, 0),
    "few-long-heavy": (8, 500_000, 1.0, 32, 5, 12),
}
PHASES = ("sax", "mine", "qor-mine", "patterns", "mine-numpy", "numpy-sum")
MEMORY_PHASES = PHASES[:-1]
SCALING_BUDGET = {False: 300.0, True: 25.0}  # seconds, full run / --quick


# ---------------------------------------------------------------- workloads


def bump(m):
    t = np.linspace(-3.0, 3.0, m)
    return np.exp(-t * t / 2)


def wiggle(m):
    """One period of a sine under a half-sine envelope: 0 at both ends."""
    t = np.linspace(0.0, 1.0, m)
    return np.sin(2 * np.pi * t) * np.sin(np.pi * t)


def noise_with_bump(n, length, seed):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, length))
    b = 3.0 * bump(20)
    for row in x:
        p = rng.integers(0, length - 20)
        row[p : p + 20] += b
    return x


def walks_with_shape(n, length, seed, copies=3, m=120):
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.standard_normal((n, length)), axis=1)
    s = wiggle(m)
    for row in x:
        amp = row.std()
        for p in rng.integers(0, length - m, copies):
            row[p : p + m] += amp * s
    return x


def walks_half_bumped(n, length, seed, m=36):
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.standard_normal((n, length)), axis=1)
    b = bump(m)
    for row in x[::2]:
        p = rng.integers(0, length - m)
        row[p : p + m] += 2.0 * row.std() * b
    return x


def mean_reverting(n, length, seed, tau=100.0, period=25_000, copies=300, m=480):
    """AR(1) noise with unit variance (correlation time tau samples), plus a
    slow sine cycle and `copies` planted wiggles per series."""
    rng = np.random.default_rng(seed)
    phi = np.exp(-1.0 / tau)
    k = int(12 * tau)  # kernel long enough: phi**k ~ 6e-6
    e = rng.standard_normal((n, length + k))
    nfft = 1 << int(np.ceil(np.log2(length + 2 * k)))
    kernel = np.fft.rfft(phi ** np.arange(k), nfft)
    x = np.fft.irfft(np.fft.rfft(e, nfft) * kernel, nfft)[:, k : k + length]
    x *= np.sqrt(1 - phi * phi)
    t = np.arange(length)
    s = wiggle(m)
    for row in x:
        row += np.sin(2 * np.pi * t / period + rng.uniform(0, 2 * np.pi))
        for p in rng.integers(0, length - m, copies):
            row[p : p + m] += 2.0 * s
    return np.ascontiguousarray(x)


def make_data(name, n=None, length=None):
    n0, l0 = WORKLOADS[name][:2]
    n, length = n or n0, length or l0
    if name == "small":
        return noise_with_bump(n, length, seed=11)
    if name == "medium":
        return walks_with_shape(n, length, seed=12)
    if name == "many-short":
        return walks_half_bumped(n, length, seed=13)
    return mean_reverting(n, length, seed=14)  # both few-long workloads


def sax_words(data, seglen, alphabet):
    z = (data - data.mean(axis=1, keepdims=True)) / data.std(axis=1, keepdims=True)
    return qor.sax(z.tolist(), seglen, alphabet)


# ---------------------------------------------------------------- phases


def phase_input(phase, data, cfg):
    if phase in ("sax", "mine", "qor-mine"):
        return data.tolist()
    if phase == "patterns":
        return sax_words(data, cfg[3], cfg[4])
    return data


def run_phase(phase, inp, cfg):
    """Runs one phase once; returns (holder, result) so that a caller can keep
    everything the call produced alive."""
    minsup, seglen, alphabet, max_len = cfg[2:]
    if phase == "sax":
        return None, qor.sax(inp, seglen, alphabet)
    if phase == "patterns":
        pm = qor.PatternMiner(minsup, 3, max_len, 0.9)
        pm.mine(inp)
        return pm, None
    if phase == "numpy-sum":
        return None, inp.sum()
    if phase == "qor-mine":
        settings = dict(minsup=minsup, seglen=seglen, alphabet=alphabet, max_len=max_len)
        return None, package.mine(inp, **settings)
    miner = qor.Miner(minsup, seglen, alphabet, 3, max_len, 0.9, 0)
    return miner, miner.mine(inp)


def minor_faults():
    """Minor page faults of this process so far (Linux; 0 elsewhere)."""
    try:
        with open("/proc/self/stat") as f:
            return int(f.read().rsplit(")", 1)[1].split()[7])
    except OSError:
        return 0


def timed(fn, repeat, faults=None):
    """One warm-up call, then `repeat` timed calls; returns the times (s) and
    the warm-up's result. With a list `faults`, appends the minor page faults
    of each timed call (the result's release included)."""
    first = fn()
    times = []
    for _ in range(repeat):
        gc.collect()
        gc.disable()
        f0 = minor_faults()
        t0 = time.perf_counter()
        r = fn()
        t1 = time.perf_counter()
        gc.enable()
        del r
        if faults is not None:
            faults.append(minor_faults() - f0)
        times.append(t1 - t0)
    return times, first


def summary(times, faults=()):
    out = {"runs": times, "median": statistics.median(times), "min": min(times)}
    if faults:
        out["faults"] = statistics.median(faults)
    return out


# ---------------------------------------------------------------- memory


def proc_status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)


def release_free_memory():
    """Hands the allocator's free pages back to the kernel (glibc only), so that
    RSS counts live data and a call reusing freed memory shows up in the peak."""
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def memory_child(name, phase):
    """Runs in a fresh interpreter; prints one JSON line."""
    cfg = WORKLOADS[name]
    inp = phase_input(phase, make_data(name), cfg)
    gc.collect()
    release_free_memory()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError as e:
        print(json.dumps({"error": f"cannot reset peak RSS: {e}"}))
        return
    before = proc_status("VmRSS")
    f0 = minor_faults()
    try:
        held = run_phase(phase, inp, cfg)
    except TypeError:
        print(json.dumps({"error": "n/a"}))
        return
    faults = minor_faults() - f0
    peak = proc_status("VmHWM")
    release_free_memory()
    after = proc_status("VmRSS")
    out = {"before": before, "peak_extra": peak - before, "result": after - before, "faults": faults}
    if phase.startswith("mine"):
        # Reading the average rows of every motif, one motif at a time (each
        # dict dropped before the next): the extra memory and time it takes.
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        t0 = time.perf_counter()
        values = 0
        for m in held[1]:
            values += sum(len(row) for row in m.average_occurrences.values())
        out["read_time"] = time.perf_counter() - t0
        out["read_peak_extra"] = proc_status("VmHWM") - after
        out["average_values"] = values
    del held
    print(json.dumps(out))


def measure_memory(name, phase):
    cmd = [sys.executable, os.path.abspath(__file__), "--memory-child", name, phase]
    out = subprocess.run(cmd, capture_output=True, text=True)
    if out.returncode != 0:
        return {"error": (out.stderr.strip().splitlines() or ["failed"])[-1]}
    return json.loads(out.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------- output


def ms(sec):
    v = sec * 1e3
    return f"{v:.3g}" if v < 100 else f"{v:.0f}"


def mib(b):
    return f"{b / 2**20:.1f}"


def ratio(a, b):
    return f"{a / b:.2f}" if b else "-"


def table(title, headers, rows, markdown):
    def number(c):
        return str(c).replace(".", "", 1).isdigit()

    left = [i == 0 or not any(number(r[i]) for r in rows) for i in range(len(headers))]
    if markdown:
        print(f"\n### {title}\n")
        print("| " + " | ".join(headers) + " |")
        print("|" + "|".join("---" if lf else "---:" for lf in left) + "|")
        for r in rows:
            print("| " + " | ".join(str(c) for c in r) + " |")
        return
    rows = [[str(c) for c in r] for r in rows]
    w = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(headers)]
    print(f"\n{title}")
    for r in [headers, ["-" * x for x in w], *rows]:
        print("  ".join(c.ljust(w[i]) if left[i] else c.rjust(w[i]) for i, c in enumerate(r)))


# ---------------------------------------------------------------- runs


def bench_workload(name, repeat, memory):
    cfg = WORKLOADS[name]
    minsup, seglen, alphabet, max_len = cfg[2:]
    data = make_data(name)
    res = {
        "n_series": cfg[0],
        "length": cfg[1],
        "minsup": minsup,
        "seglen": seglen,
        "alphabet": alphabet,
        "max_len": max_len,
        "phases": {},
        "memory": {},
    }
    for phase in PHASES:
        inp = phase_input(phase, data, cfg)
        faults = []
        try:
            times, first = timed(lambda phase=phase, inp=inp: run_phase(phase, inp, cfg), repeat, faults)
        except TypeError as e:
            res["phases"][phase] = {"error": f"TypeError: {e}"}
            continue
        res["phases"][phase] = summary(times, faults)
        if phase == "mine":
            res["motifs"] = len(first[1])
        if phase == "patterns":
            res["kept_patterns"] = len(first[0].frequent)
            every = qor.PatternMiner(minsup, 1, max_len, 1.0)  # keeps all that pass
            every.mine(inp)
            freq = every.frequent
            res["passing_patterns"] = len(freq)
            res["longest_passing"] = max((len(p) for p in freq), default=0)
            del every, freq
        del inp, first
    if memory:
        for phase in MEMORY_PHASES:
            res["memory"][phase] = measure_memory(name, phase)
    return res


def bench_scaling(quick, repeat):
    steps = 2 if quick else 4
    runs = min(repeat, 3)
    budget, start = SCALING_BUDGET[quick], time.perf_counter()
    n0, l0, minsup, seglen, alphabet, _ = WORKLOADS["medium"]
    out = []
    for axis in ("series", "length"):
        prev = None
        for i in range(steps + 1):
            n = n0 * 2**i if axis == "series" else n0
            length = l0 * 2**i if axis == "length" else l0
            row = {"axis": axis, "n_series": n, "length": length}
            if prev:  # skip a step that would likely overrun the budget
                guess = prev["median"] * max(2.0, prev.get("doubling", 2.0)) * (runs + 1)
                if time.perf_counter() - start + guess > budget:
                    row["skipped"] = f"predicted {guess:.0f} s over the time budget"
                    out.append(row)
                    break
            lists = make_data("medium", n, length).tolist()
            sax_t, _ = timed(lambda lists=lists: qor.sax(lists, seglen, alphabet), runs)
            mine_t, first = timed(lambda lists=lists: qor.Miner(minsup, seglen, alphabet).mine(lists), runs)
            row.update(summary(mine_t), sax_median=statistics.median(sax_t), motifs=len(first))
            if prev:
                row["doubling"] = row["median"] / prev["median"]
            del lists, first
            out.append(row)
            prev = row
    return out


def target_row(name, r):
    def med(phase):
        return r["phases"].get(phase, {}).get("median")

    m = r["memory"].get("mine-numpy", {})
    input_bytes = r["n_series"] * r["length"] * 8
    known = "peak_extra" in m
    return [
        name,
        ratio(med("mine-numpy"), med("numpy-sum")) if med("mine-numpy") and med("numpy-sum") else "-",
        ratio(med("mine"), med("sax")) if med("mine") and med("sax") else "-",
        ratio(m["peak_extra"], input_bytes) if known else "-",
        m.get("faults", "-"),
        ms(m["read_time"]) if "read_time" in m else "-",
        mib(m["read_peak_extra"]) if "read_peak_extra" in m else "-",
        m.get("average_values", "-"),
    ]


def report(results, scaling, markdown):
    rows, prows, mrows, trows = [], [], [], []
    for name, r in results.items():
        sax = r["phases"]["sax"].get("median")
        for phase in PHASES:
            p = r["phases"].get(phase, {"error": "not run"})
            if "error" in p:
                rows.append([name, phase, "n/a", "n/a", "n/a", "n/a", "", 0])
                continue
            rows.append(
                [
                    name,
                    phase,
                    ms(p["median"]),
                    ms(p["min"]),
                    ratio(p["median"], sax),
                    ratio(p["min"], sax),
                    f"{p['faults']:.0f}" if "faults" in p else "",
                    len(p["runs"]),
                ]
            )
        trows.append(target_row(name, r))
        n = r["passing_patterns"]
        flag = "" if 100 <= n <= 10_000 else " (!)"
        prows.append(
            [
                name,
                f"{r['n_series']} x {r['length']}",
                f"{r['minsup']}/{r['seglen']}/{r['alphabet']}/{r['max_len']}",
                f"{n}{flag}",
                r["longest_passing"],
                r["kept_patterns"],
                r["motifs"],
            ]
        )
        input_bytes = r["n_series"] * r["length"] * 8
        sax_peak = r["memory"].get("sax", {}).get("peak_extra")
        for phase, m in r["memory"].items():
            if "error" in m:
                mrows.append([name, phase, mib(input_bytes), m["error"], "", "", ""])
                continue
            mrows.append(
                [
                    name,
                    phase,
                    mib(input_bytes),
                    mib(m["peak_extra"]),
                    ratio(m["peak_extra"], input_bytes),
                    mib(m["result"]),
                    ratio(m["peak_extra"], sax_peak),
                ]
            )
    if rows:
        table(
            "Time per call (ms; x sax = ratio to the sax phase of the same workload)",
            ["workload", "phase", "median", "min", "median x sax", "min x sax", "faults/call", "runs"],
            rows,
            markdown,
        )
        table(
            "Targets (medians; mine-numpy x numpy.sum, mine x sax on lists, peak extra of "
            "mine-numpy / input in a fresh process, page faults of that call; reading = "
            "every motif's average_occurrences read once afterwards: time, peak extra)",
            [
                "workload",
                "numpy x sum",
                "lists x sax",
                "numpy peak / input",
                "fresh faults",
                "reading (ms)",
                "reading peak (MiB)",
                "average values",
            ],
            trows,
            markdown,
        )
        table(
            "Patterns (settings: minsup/seglen/alphabet/max_len; passing = pass the "
            "support test, before the length and overlap filter)",
            ["workload", "series x length", "settings", "passing", "longest", "kept", "motifs"],
            prows,
            markdown,
        )
    if mrows:
        table(
            "Peak extra memory (MiB; input = samples x 8 bytes)",
            ["workload", "phase", "input", "peak extra", "peak / input", "result", "x sax peak"],
            mrows,
            markdown,
        )
    if scaling:
        srows = []
        for s in scaling:
            if "skipped" in s:
                srows.append([s["axis"], s["n_series"], s["length"], "skipped", "", "", "", ""])
                continue
            srows.append(
                [
                    s["axis"],
                    s["n_series"],
                    s["length"],
                    ms(s["median"]),
                    f"{s['doubling']:.2f}" if "doubling" in s else "-",
                    ms(s["sax_median"]),
                    ratio(s["median"], s["sax_median"]),
                    s["motifs"],
                ]
            )
        table(
            "Scaling of Miner.mine on the medium collection (ms; doubling = time / "
            "time at the previous size)",
            ["doubled", "series", "length", "mine median", "doubling", "sax median", "mine x sax", "motifs"],
            srows,
            markdown,
        )


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="fewer runs and doublings")
    ap.add_argument("--only", choices=[*WORKLOADS, "scaling"], help="run one workload")
    ap.add_argument("--repeat", type=int, help="timed runs per phase (default 5, quick 3)")
    ap.add_argument("--no-memory", action="store_true", help="skip the peak-memory runs")
    ap.add_argument("--json", metavar="PATH", help="write the results as JSON")
    ap.add_argument("--markdown", action="store_true", help="print Markdown tables")
    ap.add_argument("--load", metavar="PATH", help="print the tables of a saved --json file")
    ap.add_argument("--memory-child", nargs=2, metavar=("WORKLOAD", "PHASE"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.memory_child:
        return memory_child(*args.memory_child)
    if args.load:
        with open(args.load) as f:
            saved = json.load(f)
        print("saved run:", ", ".join(f"{k} {v}" for k, v in saved["meta"].items()))
        return report(saved["workloads"], saved["scaling"], args.markdown)
    repeat = max(1, args.repeat or (3 if args.quick else 5))
    names = [args.only] if args.only in WORKLOADS else [] if args.only else list(WORKLOADS)

    t0 = time.perf_counter()
    print(
        f"qor bench: python {platform.python_version()}, numpy {np.__version__}, "
        f"{os.cpu_count()} cpus, repeat {repeat}{', quick' if args.quick else ''}",
        flush=True,
    )
    results = {}
    for name in names:
        print(f"  {name} ...", flush=True)
        results[name] = bench_workload(name, repeat, not args.no_memory)
    scaling = []
    if args.only in (None, "scaling"):
        print("  scaling ...", flush=True)
        scaling = bench_scaling(args.quick, repeat)
    report(results, scaling, args.markdown)
    elapsed = time.perf_counter() - t0
    print(f"\ntotal {elapsed:.0f} s")
    if args.json:
        meta = {
            "python": platform.python_version(),
            "numpy": np.__version__,
            "machine": platform.machine(),
            "cpus": os.cpu_count(),
            "repeat": repeat,
            "quick": args.quick,
            "elapsed": round(elapsed, 1),
            "date": time.strftime("%Y-%m-%d %H:%M:%S"),
        }
        with open(args.json, "w") as f:
            json.dump({"meta": meta, "workloads": results, "scaling": scaling}, f, indent=1)


if __name__ == "__main__":
    main()
