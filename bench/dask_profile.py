"""Where a qor.distributed call spends its time and CPU.

    .venv/bin/python bench/dask_profile.py               # 8x many-short, 3 calls
    .venv/bin/python bench/dask_profile.py --factor 2 --calls 5

The collection of bench/dask_scaling.py (the many-short workload repeated
`--factor` times, .npy files of 10,000 series), mined on the LocalCluster of
two single-threaded worker processes that qor.distributed.local_cluster
starts, after one warm-up call. For each call it prints:

- the wall time of each step on the client: the words, the search, the
  submission of the representatives' sums, and the best matches, which
  includes waiting for the sums (the steps are told apart by timing the
  helpers that run them);
- the CPU time of the client process (which also runs the scheduler) and of
  the workers, user and system;
- per kind of work, inside the workers: wall time, the task thread's CPU
  time, its system time, minor page faults and involuntary context
  switches, from getrusage(RUSAGE_THREAD) around each call of the function
  (a task over a run of file partitions calls it once per partition; a
  step of the sums, once per run).
"""

import argparse
import collections
import os
import resource
import sys
import tempfile
import time
from pathlib import Path

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

sys.path.insert(0, str(Path(__file__).parent))
from dask_scaling import SETTINGS, write_collection  # noqa: E402

TASKS = ("_words", "_normalised", "_add_average_rows", "_best_matches")


def _timed_task(function, name, log):
    def run(*args, **kwargs):
        start = time.perf_counter()
        before = resource.getrusage(resource.RUSAGE_THREAD)
        try:
            return function(*args, **kwargs)
        finally:
            after = resource.getrusage(resource.RUSAGE_THREAD)
            log.append(
                (
                    name,
                    time.perf_counter() - start,
                    after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime,
                    after.ru_stime - before.ru_stime,
                    after.ru_minflt - before.ru_minflt,
                    after.ru_nivcsw - before.ru_nivcsw,
                )
            )

    return run


def install_task_timers():
    """On a worker: wraps the task functions of qor.distributed to log their costs."""
    import qor.distributed as qd

    if not hasattr(qd, "_profile_log"):
        qd._profile_log = []
        for name in TASKS:
            setattr(qd, name, _timed_task(getattr(qd, name), name, qd._profile_log))


def take_task_log():
    import qor.distributed as qd

    log, qd._profile_log[:] = list(qd._profile_log), []
    return log


def cpu_times(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    tick = os.sysconf("SC_CLK_TCK")
    return int(fields[11]) / tick, int(fields[12]) / tick  # user, system


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--factor", type=int, default=8)
    ap.add_argument("--calls", type=int, default=3)
    args = ap.parse_args()

    from distributed import Client

    import qor.distributed as qd

    steps = []
    for name in ("_in_order", "_fold_in_order"):
        function = getattr(qd, name)

        def timed(*a, _function=function, _name=name, **k):
            start, cpu_start = time.perf_counter(), sum(cpu_times(os.getpid()))
            try:
                return _function(*a, **k)
            finally:
                steps.append((_name, start, time.perf_counter(), cpu_start, sum(cpu_times(os.getpid()))))

        setattr(qd, name, timed)

    with tempfile.TemporaryDirectory() as tmp:
        paths = write_collection(Path(tmp), args.factor)
        with (
            qd.local_cluster(2) as cluster,
            Client(cluster) as client,
        ):
            client.run(install_task_timers)
            workers = list(client.run(os.getpid).values())
            qd.mine(paths, client=client, **SETTINGS)
            client.run(take_task_log)
            for call in range(args.calls):
                steps.clear()
                client_before = cpu_times(os.getpid())
                workers_before = [cpu_times(pid) for pid in workers]
                start = time.perf_counter()
                qd.mine(paths, client=client, **SETTINGS)
                wall = time.perf_counter() - start
                client_after = cpu_times(os.getpid())
                workers_after = [cpu_times(pid) for pid in workers]
                (words, fold, best) = steps
                print(
                    f"call {call + 1}: {wall:.3f} s; words {words[2] - start:.3f}, search "
                    f"{fold[1] - words[2]:.3f}, sums submitted {fold[2] - fold[1]:.3f}, "
                    f"sums and best matches {best[2] - best[1]:.3f} s"
                )
                print(
                    f"  client CPU s: words {words[4] - sum(client_before):.2f}, "
                    f"search {fold[3] - words[4]:.2f}, sums submitted {fold[4] - fold[3]:.2f}, "
                    f"sums and best matches {best[4] - best[3]:.2f}, "
                    f"after {sum(cpu_times(os.getpid())) - best[4]:.2f}"
                )
                worker_user = sum(a[0] - b[0] for a, b in zip(workers_after, workers_before, strict=True))
                worker_system = sum(a[1] - b[1] for a, b in zip(workers_after, workers_before, strict=True))
                print(
                    f"  CPU s: client user {client_after[0] - client_before[0]:.2f} system "
                    f"{client_after[1] - client_before[1]:.2f}; workers user {worker_user:.2f} "
                    f"system {worker_system:.2f}"
                )
                totals = collections.defaultdict(lambda: [0, 0.0, 0.0, 0.0, 0, 0])
                for log in client.run(take_task_log).values():
                    for name, task_wall, cpu, system, faults, switches in log:
                        t = totals[name]
                        t[0] += 1
                        t[1] += task_wall
                        t[2] += cpu
                        t[3] += system
                        t[4] += faults
                        t[5] += switches
                for name in TASKS:
                    n, task_wall, cpu, system, faults, switches = totals[name]
                    if n:
                        print(
                            f"  {name:18s} {n:3d} calls; per call: wall {task_wall / n * 1e3:5.1f} ms, "
                            f"CPU {cpu / n * 1e3:5.1f} ms (system {system / n * 1e3:4.1f}), "
                            f"{faults / n:6.0f} page faults, {switches / n:5.1f} involuntary switches"
                        )


if __name__ == "__main__":
    main()
