"""qor.distributed on a real LocalCluster: the motifs of Miner.mine on one machine, to the last bit."""

import os
import pickle
import signal
import subprocess
import sys
import threading
import time
import warnings
from types import SimpleNamespace

import numpy as np
import pytest

import _qor_cpp

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")
db = pytest.importorskip("dask.bag")

import _qor_engine as _engine  # noqa: E402
import qor  # noqa: E402
import qor.distributed  # noqa: E402
from conftest import motif_state  # noqa: E402

SETTINGS = dict(minsup=0.5, seglen=4, alphabet=4, min_len=2)

# The collections here hold gaps on purpose; the warning has a test of its own.
pytestmark = pytest.mark.filterwarnings("ignore::qor.MissingSamplesWarning")


@pytest.fixture(scope="module")
def client():
    # A worker gone for this long is dropped by the cluster, its nanny closed,
    # unless one of its name has come back by then: a worker killed by one
    # test and killed again by the next while that timer runs out would not
    # come back at all. The tests kill workers on purpose and want them back.
    with (
        dask.config.set({"distributed.deploy.lost-worker-timeout": "1h"}),
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=40
        ) as cluster,
        distributed.Client(cluster) as c,
    ):
        yield c


def collection(seed, n=30, ragged=True):
    rng = np.random.default_rng(seed)
    lengths = rng.integers(20, 80, size=n) if ragged else np.full(n, 60)
    series = [np.cumsum(rng.normal(size=k)) for k in lengths]
    series[1][:] = 3.0  # a constant series normalises to NaN
    series[2][5:9] = np.nan
    if ragged:
        series[3] = series[3][:3]  # shorter than most windows
    return series


def expected(series, k=0, **settings):
    miner = _qor_cpp.Miner(**{**SETTINGS, **settings}, k=k)
    top = miner.mine([s.tolist() for s in series])
    return [motif_state(m) for m in top], [motif_state(m) for m in miner.motifs]


def mined(collection, client, k=0, partition_rows=None, **settings):
    miner = qor.distributed.Miner(**{**SETTINGS, **settings}, k=k)
    top = miner.mine(collection, client=client, partition_rows=partition_rows)
    assert all(isinstance(m, _qor_cpp.Motif) for m in top)
    return [motif_state(m) for m in top], [motif_state(m) for m in miner.motifs]


def split(items, sizes):
    out, start = [], 0
    for size in sizes:
        out.append(items[start : start + size])
        start += size
    return out


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("sizes", [[30], [1] * 30, [7, 0, 11, 12], [29, 1]])
def test_bag_matches_one_machine(client, seed, sizes):
    series = collection(seed)
    bag = db.from_delayed([__import__("dask").delayed(list)(part) for part in split(series, sizes)])
    assert mined(bag, client) == expected(series)


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("chunks", [(30,), (1,) * 30, (10, 0, 20), (4, 13, 13)])
def test_dask_array_matches_one_machine(client, seed, chunks):
    series = collection(seed, ragged=False)
    x = da.from_array(np.array(series), chunks=(chunks, (60,)))
    assert mined(x, client, k=5) == expected(series, k=5)


@pytest.mark.parametrize("partition_rows", [None, 1, 4])
def test_npy_files_match_one_machine(client, tmp_path, partition_rows):
    series = collection(7, n=24, ragged=False)
    paths = []
    for i, part in enumerate(split(series, [5, 12, 7])):
        paths.append(tmp_path / f"part{i}.npy")
        np.save(paths[-1], np.array(part))
    assert mined(paths, client, partition_rows=partition_rows) == expected(series)
    assert (
        qor.distributed.mine(paths, client=client, k=3, **SETTINGS)[0].pattern
        == expected(series, k=3)[0][0][0]
    )


def test_series_that_missing_samples_blank_out_are_counted_across_partitions(client, tmp_path):
    series = collection(3, ragged=False)  # series 2 holds NaN; series 1 is constant, not blanked
    series[17][40], series[29][0] = np.inf, np.nan
    paths = []
    for i, part in enumerate(split(series, [10, 0, 20])):
        paths.append(tmp_path / f"part{i}.npy")
        np.save(paths[-1], np.array(part).reshape(len(part), 60))
    with pytest.warns(qor.MissingSamplesWarning, match="^3 of 30 series hold NaN") as caught:
        got = qor.distributed.mine(paths, client=client, **SETTINGS)
    assert caught[0].filename == __file__  # the caller's line, not the package's
    assert [motif_state(m) for m in got] == expected(series)[0]
    bag = db.from_sequence([np.array([]), np.array([np.nan]), *series[3:9]], npartitions=3)
    with pytest.warns(qor.MissingSamplesWarning, match="^1 of 8 series"):
        mined(bag, client)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        mined(db.from_sequence([np.array([]), *series[3:9]], npartitions=2), client)


# Dask's HTTP server moves to another port: the module's cluster has 8787.
@pytest.mark.filterwarnings("ignore:Port 8787 is already in use")
def test_local_cluster_has_quiet_single_threaded_workers_and_mines_the_same(tmp_path):
    series = collection(5, n=20, ragged=False)
    np.save(tmp_path / "all.npy", np.array(series))
    tick = dask.config.get("distributed.admin.tick.interval")
    with qor.distributed.local_cluster(1) as cluster, distributed.Client(cluster) as c:
        assert list(c.nthreads().values()) == [1]
        settings = c.run(
            lambda: (
                dask.config.get("distributed.worker.profile.enabled"),
                dask.config.get("distributed.admin.tick.interval"),
            )
        )
        assert list(settings.values()) == [(False, "1s")]
        assert mined([tmp_path / "all.npy"], c, partition_rows=6) == expected(series)
    # This process's own settings are as they were.
    assert dask.config.get("distributed.admin.tick.interval") == tick


@pytest.mark.filterwarnings("ignore:Port 8787 is already in use")
def test_local_cluster_of_threads_in_this_process(tmp_path):
    series = collection(6, n=12, ragged=False)
    np.save(tmp_path / "all.npy", np.array(series))
    with (
        qor.distributed.local_cluster(1, processes=False, threads_per_worker=2) as cluster,
        distributed.Client(cluster) as c,
    ):
        assert list(c.nthreads().values()) == [2]
        assert mined([tmp_path / "all.npy"], c) == expected(series)


@pytest.mark.parametrize("seglen", [-4, -6])
def test_a_negative_seglen_is_the_engines_error_or_result(client, tmp_path, seglen):
    # Series shorter than -seglen have empty words; a longer one is an error.
    series = [np.arange(5.0)] * 3
    np.save(tmp_path / "s.npy", np.array(series))
    try:
        want = expected(series, seglen=seglen)
    except ValueError as err:
        with pytest.raises(ValueError, match=str(err)):
            mined([tmp_path / "s.npy"], client, seglen=seglen)
    else:
        assert mined([tmp_path / "s.npy"], client, seglen=seglen) == want


def test_seglen_0_on_no_series_is_the_engines_empty_result(client):
    assert mined(da.zeros((0, 5), chunks=2), client, seglen=0) == ([], [])
    assert _qor_cpp.Miner(0.5, 0, 4).mine([]) == []


def test_empty_series_and_empty_collection(client):
    series = [np.array([]), np.array([1.0, 2.0, 3.0, 1.0]), np.array([]), np.array([2.0, 3.0, 1.0, 0.0])]
    bag = db.from_sequence(series, npartitions=3)
    assert mined(bag, client, minsup=0.5, seglen=1) == expected(series, minsup=0.5, seglen=1)
    assert mined(db.from_sequence([np.array([])] * 3, npartitions=2), client) == ([], [])


def test_settings_follow_the_engine(client):
    series = collection(11)
    bag = db.from_sequence(series, npartitions=4)
    with pytest.raises(ValueError, match="alphabet must be between 0 and 10"):
        qor.distributed.mine(bag, client=client, seglen=4, alphabet=11, minsup=0.5)
    with pytest.raises(ValueError, match="vector too long"):
        qor.distributed.mine(bag, client=client, seglen=4, alphabet=4, minsup=0.5, k=-1)
    with pytest.raises(ValueError, match="vector too long"):
        qor.distributed.mine(bag, client=client, seglen=0, alphabet=4, minsup=0.5)


@pytest.mark.parametrize(
    "make, error, message",
    [
        (lambda tmp: da.zeros((4, 5, 6), chunks=2), ValueError, "must be 2-D"),
        (lambda tmp: da.zeros((4, 5), dtype=complex, chunks=2), TypeError, "must hold real numbers"),
        (lambda tmp: da.from_array(np.array([["a", "b"]])), TypeError, "must hold real numbers"),
        (lambda tmp: [tmp / "missing.npy"], FileNotFoundError, "No such file"),
        (lambda tmp: [tmp / "series.csv"], ValueError, "expected a .npy file"),
        (
            lambda tmp: [np.save(tmp / "c.npy", np.zeros((2, 3), complex)) or tmp / "c.npy"],
            TypeError,
            "complex",
        ),
        (lambda tmp: [np.save(tmp / "t.npy", np.zeros((2, 3, 4))) or tmp / "t.npy"], TypeError, "3-D"),
        (lambda tmp: np.zeros((3, 4)), TypeError, "collection must be"),
        (
            lambda tmp: [
                (tmp / "cut.npy").write_bytes(b"\x93NUMPY\x01\x00\x0e\x00{'descr': '<f8") and tmp / "cut.npy"
            ],
            ValueError,
            "not a readable .npy file",
        ),
    ],
)
def test_bad_input_fails_before_any_task(client, tmp_path, make, error, message):
    fails_before_any_task(client, tmp_path, make, error, message, {})


@pytest.mark.parametrize(
    "make, message, options",
    [
        (lambda tmp: da.zeros((4, 5), chunks=2), "vector too long", {"seglen": 0}),
        (lambda tmp: da.zeros((4, 5), chunks=2), "vector too long", {"seglen": -5}),
        (lambda tmp: [tmp / "series.npy"], "vector too long", {"seglen": -4}),
        (
            lambda tmp: [tmp / "series.npy"],
            "partition_rows must be an int of at least 1",
            {"partition_rows": 0},
        ),
        (
            lambda tmp: [tmp / "series.npy"],
            "partition_rows must be an int of at least 1",
            {"partition_rows": -1},
        ),
    ],
)
def test_settings_that_would_fail_every_task_or_read_nothing_fail_first(
    client, tmp_path, make, message, options
):
    fails_before_any_task(client, tmp_path, make, ValueError, message, options)


def fails_before_any_task(client, tmp_path, make, error, message, options):
    (tmp_path / "series.csv").write_text("1,2,3\n")
    np.save(tmp_path / "series.npy", np.zeros((3, 4)))
    while any(client.processing().values()):  # tasks of earlier tests may still be finishing
        time.sleep(0.05)
    with distributed.get_task_stream(client) as stream, pytest.raises(error, match=message):
        qor.distributed.mine(make(tmp_path), client=client, **{**SETTINGS, **(options or {})})
    assert stream.data == []


@pytest.mark.parametrize("files", [False, True], ids=["array", "files"])
@pytest.mark.parametrize("step", [0, 1, 2], ids=["words", "representatives' sums", "best matches"])
def test_a_killed_worker_costs_a_retry_not_the_result(client, monkeypatch, tmp_path, step, files):
    series = collection(21, n=600, ragged=False)
    # Many small partitions (150 blocks, or 600 file partitions in runs): each step takes a while
    if files:
        np.save(tmp_path / "x.npy", np.array(series))
        x, rows = [tmp_path / "x.npy"], 1
    else:
        x, rows = da.from_array(np.array(series), chunks=(4, 60)), None
    one = _qor_cpp.Miner(**SETTINGS)
    one.mine([s.tolist() for s in series])
    pid = next(iter(client.run(os.getpid).values()))
    killed = threading.Event()

    def kill():
        os.kill(pid, signal.SIGKILL)
        killed.set()

    # A worker process is killed a moment after the given step has begun.
    steps = []

    def counted(run):
        def started(*args, **kwargs):
            steps.append(run.__name__)
            if len(steps) == step + 1:
                threading.Timer(0.25, kill).start()
            return run(*args, **kwargs)

        return started

    for name in ("_in_order", "_fold_in_order"):
        monkeypatch.setattr(qor.distributed, name, counted(getattr(qor.distributed, name)))
    miner = qor.distributed.Miner(**SETTINGS)
    top = miner.mine(x, client=client, partition_rows=rows)
    assert killed.is_set() and steps == ["_in_order", "_fold_in_order", "_in_order"]
    assert len(top) == len(miner.motifs)  # k = 0

    def fields(m):  # all but the average rows, which are compared in one pass below
        return m.pattern, m.length, repr(m.naed), m.indexes, repr(m.representative), m.best_matches

    assert [fields(m) for m in miner.motifs] == [fields(m) for m in one.motifs]
    assert repr(miner.average_occurrences()) == repr([m.average_occurrences for m in one.motifs])
    client.wait_for_workers(2, timeout=60)


class StepsHeld(distributed.WorkerPlugin):
    """Counts, at every transition on a worker, the steps of the representatives' sums it holds."""

    name = "steps-held"

    def setup(self, worker):
        self.worker, self.counts = worker, []

    def transition(self, key, start, finish, **kwargs):
        self.counts.append(sum(str(k).startswith("_add_average_rows") for k in self.worker.state.tasks))


@pytest.mark.parametrize("files", [False, True], ids=["array", "files"])
def test_a_worker_holds_a_few_steps_of_the_sums_however_long_the_chain(monkeypatch, tmp_path, files):
    # A worker keeps a finished task, its arguments (a step's occurrences)
    # included, for as long as it keeps a task that depends on it: a chain of
    # steps kept whole would hold the occurrences of every partition.
    series = collection(4, n=48, ragged=False)
    if files:
        np.save(tmp_path / "x.npy", np.array(series))
        x, rows = [tmp_path / "x.npy"], 4
        monkeypatch.setattr(qor.distributed, "_CHAIN_RUN", 1)  # a step per partition
    else:
        x, rows = da.from_array(np.array(series), chunks=(4, 60)), None
        monkeypatch.setattr(qor.distributed, "_HOLD", 2)  # steps between the values' round trips
    with distributed.Client(processes=False, n_workers=1, threads_per_worker=1, dashboard_address=":0") as c:
        c.register_plugin(StepsHeld())
        assert mined(x, c, partition_rows=rows) == expected(series)  # 12 steps, one chain
        (worker,) = c.cluster.workers.values()
        counts = worker.plugins[StepsHeld.name].counts
    assert 1 <= max(counts) <= (3 if files else 4)


def test_results_through_the_scheduler_are_the_same(client):
    # A client that may not reach the workers takes every result through the
    # scheduler, as Dask does by default.
    series = collection(9)
    with distributed.Client(client.scheduler.address, direct_to_workers=False) as remote:
        assert qor.distributed._direct(remote, list(remote.nthreads())) is False
        assert mined(db.from_sequence(series, npartitions=4), remote) == expected(series)


@pytest.mark.parametrize(
    "setting, workers, direct",
    [
        (None, ["tcp://127.0.0.1:4001", "tcp://127.0.0.1:4002"], True),
        (None, ["inproc://10.0.0.5/77/1"], True),
        (None, ["tcp://127.0.0.1:4001", "tcp://10.0.0.7:4002"], None),
        (None, [], None),
        (False, ["tcp://127.0.0.1:4001"], False),
        (True, ["tls://10.0.0.7:4002"], True),
    ],
)
def test_results_come_straight_from_workers_only_where_the_client_reaches_them(setting, workers, direct):
    assert qor.distributed._direct(SimpleNamespace(direct_to_workers=setting), workers) is direct


def test_threaded_workers_in_one_process():
    series = collection(5)
    with distributed.Client(processes=False, n_workers=1, threads_per_worker=3, dashboard_address=":0") as c:
        assert mined(db.from_sequence(series, npartitions=6), c) == expected(series)


@pytest.mark.parametrize(
    "work, count",
    [([5] * 10, 2), ([1, 1, 1, 100], 3), ([0, 0, 0], 2), ([7], 4), ([], 2), ([3, 9, 1, 4, 4, 2], 8)],
)
def test_motif_groups_cover_every_motif_once_in_order(work, count):
    groups = qor.distributed._motif_groups(np.asarray(work, np.int64), count)
    assert groups[0][0] == 0 and groups[-1][1] == len(work)
    assert all(a < b or len(work) == 0 for a, b in groups)
    assert all(b == c for (_, b), (c, _) in zip(groups, groups[1:], strict=False))
    assert len(groups) <= max(1, count)
    if len(work) >= count and min(work, default=0) > 0 and max(work) <= 2 * min(work):
        assert len(groups) == count  # about equal work: every chain gets some


@pytest.mark.parametrize("count, threads", [(0, 2), (1, 2), (3, 2), (7, 2), (16, 2), (33, 1), (5, 64)])
@pytest.mark.parametrize("longest", [1, 2, 4, 16])
def test_file_partitions_go_in_short_even_runs_in_order(count, threads, longest):
    files = [qor.distributed._Partition(qor.distributed._NpyRows("x.npy", i, i + 1), 1) for i in range(count)]
    indices = list(range(0, count, 2)) if count > 4 else list(range(count))
    runs = qor.distributed._task_runs(files, indices, threads, longest)
    assert [i for run in runs for i in run] == indices  # each once, in order
    assert all(0 < len(run) <= longest for run in runs)
    assert max(map(len, runs), default=0) - min(map(len, runs), default=0) <= 1
    if len(indices) >= 2 * threads:
        assert len(runs) >= threads  # every worker thread gets some
    # A partition that Dask computes goes alone: a task gets one as its first argument.
    mixed = [*files, qor.distributed._Partition(None, None)]
    assert qor.distributed._task_runs(mixed, range(len(mixed)), threads, longest) == [
        [i] for i in range(len(mixed))
    ]


def test_words_refused_for_a_bad_letter_leave_the_plan_as_it_was():
    import _qor_engine as _engine

    series = collection(6)
    parts = [_engine.discretise(series[:3], 4, 4), _engine.discretise(series[3:], 4, 4)]
    tried, clean = (_engine.Plan(0.5, 4, 4, 2, 0, 0.9, 0) for _ in range(2))
    tried.add_words(*parts[0])
    letters, ends = parts[1]
    bad = letters.copy()
    bad[-1] = ord("z")
    with pytest.raises(ValueError, match="outside the alphabet"):
        tried.add_words(bad, ends)
    tried.add_words(letters, ends)
    for part in parts:
        clean.add_words(*part)
    assert tried.search() == clean.search() > 0
    got, want = tried.occurrences(0, 6), clean.occurrences(0, 6)
    assert got[:2] == want[:2]
    for a, b in zip(got[2:], want[2:], strict=True):
        np.testing.assert_array_equal(a, b)


def test_engine_refuses_malformed_steps():
    import _qor_engine as _engine

    series = collection(3)
    plan = _engine.Plan(0.5, 4, 4, 2, 0, 0.9, 0)
    with pytest.raises(ValueError, match="outside the alphabet"):
        plan.add_words(np.array([97, 100, 101], np.int8), np.array([3], np.int64))
    plan.add_words(*_engine.discretise(series, 4, 4))
    with pytest.raises(RuntimeError, match="out of order"):
        plan.finish()
    plan.search()
    occ = plan.occurrences(0, len(series))
    # Entry arrays that disagree in size, entries without positions, or
    # entries of one motif with different window lengths, are refused before
    # anything is read or written.
    short = (*occ[:6], occ[6][:1], *occ[7:])
    with pytest.raises(ValueError, match="different sizes"):
        _engine.best_matches(series, short, (np.zeros(len(occ[2]), np.int64), np.zeros(4)))
    with pytest.raises(ValueError, match="without positions"):
        _engine.average_rows(series, (*occ[:7], np.zeros_like(occ[7]), occ[8]))
    motif, row, length, entries = (a[0] for a in occ[2:6])
    assert entries >= 2
    split = ([motif, motif], [row, row + 1], [length, 1], [1, entries - 1])  # the second shorter
    uneven = (
        *occ[:2],
        *(np.concatenate([s, a[1:]]).astype(np.int32) for s, a in zip(split, occ[2:6], strict=True)),
        *occ[6:],
    )
    with pytest.raises(ValueError, match="out of order"):
        _engine.average_rows(series, uneven)
    # A range of motifs: theirs only, numbered among all.
    some = plan.occurrences(0, len(series), 1, 3)
    assert set(some[2]) <= {1, 2} and sum(some[5]) == sum(occ[5][np.isin(occ[2], [1, 2])])
    # The state of a Normalised made without it is refused, not read.
    bare = _engine.Normalised.__new__(_engine.Normalised)
    with pytest.raises(TypeError, match="not initialised"):
        len(bare)
    with pytest.raises(TypeError, match="not initialised"):
        _engine.add_average_rows(bare, occ, plan.sum_offsets(), np.zeros(4), np.zeros(4))
    offsets = plan.sum_offsets()
    zeros = np.zeros(offsets[-1])
    normalised = pickle.loads(pickle.dumps(_engine.normalise(series)))  # as a worker may receive it
    assert len(normalised) == len(series)
    with pytest.raises(ValueError, match="no motif"):
        _engine.add_average_rows(
            normalised, (*occ[:2], occ[2] + len(offsets), *occ[3:]), offsets, zeros, zeros
        )
    with pytest.raises(ValueError, match="offsets"):
        _engine.add_average_rows(normalised, occ, offsets[:-1], zeros, zeros)
    with pytest.raises(ValueError, match="outside the partition"):
        _engine.add_average_rows(_engine.normalise(series[:2]), occ, offsets, zeros, zeros)
    sums = _engine.add_average_rows(normalised, occ, offsets, zeros, zeros)
    assert not zeros.any()  # new sums: a task that runs again starts from the same ones
    with pytest.raises(ValueError, match="representative sums"):
        plan.finish_representatives(sums[0][:-1], sums[1])
    plan.finish_representatives(*sums)
    with pytest.raises(RuntimeError, match="out of order"):
        plan.finish_representatives(*sums)
    reps = (offsets[occ[2]], plan.representative_values())
    plan.add_best_matches(occ, *_engine.best_matches(series, occ, reps))
    assert [m.naed for m in plan.finish()] == [m.naed for m in _qor_cpp.Miner(**SETTINGS).mine(series)]
    with pytest.raises(RuntimeError, match="out of order"):
        plan.finish()


@pytest.fixture(scope="module")
def searched():
    import _qor_engine as _engine

    series = collection(5)
    plan = _engine.Plan(0.5, 4, 4, 2, 0, 0.9, 0)
    plan.add_words(*_engine.discretise(series, 4, 4))
    plan.search()
    offsets = plan.sum_offsets()
    zeros = np.zeros(offsets[-1])
    occ = plan.occurrences(0, len(series))
    plan.finish_representatives(
        *_engine.add_average_rows(_engine.normalise(series), occ, offsets, zeros, zeros)
    )
    return series, plan, occ, offsets


@pytest.mark.parametrize("ragged", [False, True])
def test_sums_from_the_series_equal_those_from_their_normalised_copy(ragged):
    series = collection(5, ragged=ragged)
    data = series if ragged else np.array(series)
    plan = _engine.Plan(0.5, 4, 4, 2, 0, 0.9, 0)
    plan.add_words(*_engine.discretise(data, 4, 4))
    plan.search()
    occ, offsets = plan.occurrences(0, len(series)), plan.sum_offsets()
    start = np.random.default_rng(0).normal(size=(2, offsets[-1]))  # a chain's sums so far
    held = _engine.add_average_rows(_engine.normalise(data), occ, offsets, *start)
    direct = _engine.add_average_rows(data, occ, offsets, *start, 1)
    assert all(a.tobytes() == b.tobytes() for a, b in zip(held, direct, strict=True))


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("kind", ["array", "ragged", "lists"])
def test_series_normalised_with_their_words_scales_give_the_same_bits(kind, threads):
    # The later steps normalise a partition with the scales its words step
    # found instead of finding them again (on one thread, block by block as
    # the statistics come to them): every value must be the same.
    # Long enough for the statistics to read the series in several blocks.
    series = [np.tile(s, 15) for s in collection(7, n=120, ragged=kind != "array")]
    assert sum(map(len, series)) > 2**16
    data = (
        np.array(series) if kind == "array" else [s.tolist() for s in series] if kind == "lists" else series
    )
    letters, ends, scales = _engine.discretise(data, 4, 4, scales=True)
    assert [a.tobytes() for a in (letters, ends)] == [a.tobytes() for a in _engine.discretise(data, 4, 4)]
    assert scales.shape == (len(series), 2) and scales[1, 1] == 0.0  # series 1 is constant
    plan = _engine.Plan(0.5, 4, 4, 2, 0, 0.9, 0)
    plan.add_words(letters, ends)
    plan.search()
    occ, offsets = plan.occurrences(0, len(series)), plan.sum_offsets()
    start = np.random.default_rng(0).normal(size=(2, offsets[-1]))
    reps = (offsets[occ[2]], np.random.default_rng(1).normal(size=offsets[-1]))
    # Series of the same lengths and other values: a call on them first
    # leaves other values in the memory that the next call may be given.
    other = np.ascontiguousarray(data[:, ::-1]) if kind == "array" else [s[::-1] for s in data]
    for call in (
        lambda d, **k: _engine.normalise(d, threads, **k).__getstate__(),
        lambda d, **k: _engine.add_average_rows(d, occ, offsets, *start, threads, **k),
        lambda d, **k: _engine.average_rows(d, occ, threads, **k),
        lambda d, **k: _engine.best_matches(d, occ, reps, threads, **k),
    ):
        found = call(data)
        call(other)
        again = call(data, scales=scales)
        found, again = (r if isinstance(r, tuple) else (r,) for r in (found, again))
        assert [a.tobytes() for a in found] == [a.tobytes() for a in again]
    # The scales given are the ones used.
    halved = _engine.normalise(data, scales=scales * [1.0, 2.0]).__getstate__()[0]
    np.testing.assert_array_equal(halved * 2, _engine.normalise(data).__getstate__()[0])
    for wrong in (scales[:-1], scales[:, :1], scales.ravel()):
        with pytest.raises(ValueError, match="scales"):
            _engine.average_rows(data, occ, scales=wrong)


def test_a_chains_representatives_are_the_plans(searched):
    series, plan, occ, offsets = searched
    rows = plan.motif_rows()
    scales = _engine.discretise(series, 4, 4, scales=True)[2]
    sums = _engine.add_average_rows(series, occ, offsets, np.zeros(offsets[-1]), np.zeros(offsets[-1]))
    whole = plan.representative_values()
    for first, last in [(0, len(rows)), (1, 3), (2, 2), (len(rows) - 1, len(rows))]:
        part = _engine.representatives(offsets[first : last + 1], rows[first:last], *sums)
        assert part.tobytes() == whole[offsets[first] : offsets[last]].tobytes()
        # A chain's last step hands on its own motifs' sums and counts only.
        zeros = (np.zeros(offsets[-1]), np.zeros(offsets[-1]))
        end = qor.distributed._add_average_rows(
            zeros, series, [occ], offsets, [scales], (offsets[first : last + 1], rows[first:last])
        )
        own = slice(offsets[first], offsets[last])
        assert [a.tobytes() for a in end] == [sums[0][own].tobytes(), sums[1][own].tobytes(), part.tobytes()]
    with pytest.raises(ValueError, match="out of order"):
        _engine.representatives(offsets[::-1].copy(), rows, *sums)
    with pytest.raises(ValueError, match="one offset per motif"):
        _engine.representatives(offsets, rows[1:], *sums)
    with pytest.raises(ValueError, match="fewer values"):
        _engine.representatives(offsets, rows, sums[0][:-1], sums[1][:-1])


def test_word_ends_changed_by_another_thread_during_add_words_do_not_crash():
    # add_words copies the words without the GIL; the ends it checked must be
    # the ones it uses, whatever another thread writes into the caller's array.
    script = """
import threading
import numpy as np
import _qor_engine as _engine
n = 2_000_000
symbols = np.full(n, ord("a"), np.int8)
ends = np.arange(1, n + 1, dtype=np.int64)
plan = _engine.Plan(0.5, 4, 4, 3, 0, 0.9, 0)
go = threading.Event()
def change():
    go.wait()
    ends[-1] = n + (1 << 34)
thread = threading.Thread(target=change)
thread.start()
go.set()
try:
    plan.add_words(symbols, ends)
except ValueError:
    pass
thread.join()
"""
    for _ in range(3):
        run = subprocess.run(
            [sys.executable, "-P", "-c", script], capture_output=True, text=True, timeout=120
        )
        assert run.returncode == 0, run.stderr


def test_a_plans_occurrences_are_those_of_its_motifs_for_any_range():
    # Long words (positions past 255) and many series (steps past 255 when
    # few series hold a motif): every width of the per-entry arrays.
    rng = np.random.default_rng(8)
    series = np.cumsum(rng.normal(size=(700, 1200)), axis=1)
    plan = _engine.Plan(0.02, 4, 4, 3, 5, 0.9, 0)
    plan.add_words(*_engine.discretise(series, 4, 4))
    count = plan.search()
    motifs = plan.motifs
    assert count == len(motifs) > 3
    ranges = [(0, 700, 0, count), (0, 0, 0, count), (13, 411, 2, count - 1), (699, 700, 1, 2)]
    for first, last, a, b in ranges:
        got = plan.occurrences(first, last, a, b)
        want = _engine.occurrences(motifs[a:b], first, last)
        assert got[:2] == want[:2]
        np.testing.assert_array_equal(got[2], want[2] + a)
        for x, y in zip(got[3:], want[3:], strict=True):
            assert x.dtype == y.dtype
            np.testing.assert_array_equal(x, y)
    widths = {a.dtype for a in plan.occurrences(0, 700)[6:]}
    assert {np.dtype(np.uint16)} <= widths


def test_occurrences_travel_in_small_types_and_are_read_in_any():
    # Words of 600 symbols: positions past 255.
    series = np.cumsum(np.random.default_rng(3).normal(size=(10, 2400)), axis=1)
    plan = _engine.Plan(0.5, 4, 4, 3, 4, 0.9, 0)
    plan.add_words(*_engine.discretise(series, 4, 4))
    plan.search()
    occ = plan.occurrences(0, len(series))
    assert (occ[6].dtype, occ[7].dtype, occ[8].dtype) == (np.uint8, np.uint8, np.uint16)
    want = _engine.average_rows(series, occ)
    # Each width read as itself, byte-swapped ones included.
    for dtype in (np.int16, np.int32, np.int64, np.uint16, np.uint32, np.uint64, ">i4", ">u2", ">u8"):
        wider = (*occ[:6], *(a.astype(dtype) for a in occ[6:]))
        assert _engine.average_rows(series, wider).tobytes() == want.tobytes()
    with pytest.raises(ValueError, match="series number out of range"):
        _engine.average_rows(series, (*occ[:6], np.full(len(occ[6]), 2**30, np.int64), *occ[7:]))


def test_long_series_in_files_match_one_machine(client, tmp_path):
    series = list(np.cumsum(np.random.default_rng(4).normal(size=(12, 1500)), axis=1))
    np.save(tmp_path / "long.npy", np.array(series))
    settings = dict(minsup=0.5, seglen=4, alphabet=4, min_len=3, max_len=5)
    assert mined([tmp_path / "long.npy"], client, partition_rows=5, **settings) == expected(
        series, **settings
    )


def _resized(occ, item, change):
    a = occ[item]
    a = a[: len(a) + change] if change < 0 else np.concatenate([a, np.zeros(change, np.int32)])
    return (*occ[:item], a, *occ[item + 1 :])


def _engine_calls():
    import _qor_engine as _engine

    def best(series, plan, occ, offsets):
        return _engine.best_matches(
            series, occ, (np.zeros(len(occ[2]), np.int64), plan.representative_values())
        )

    def sums(series, plan, occ, offsets):
        zeros = np.zeros(offsets[-1])
        return _engine.add_average_rows(_engine.normalise(series), occ, offsets, zeros, zeros)

    def take(series, plan, occ, offsets):
        return plan.add_best_matches(occ, np.zeros(len(occ[6])), np.zeros(len(occ[6]), np.int32))

    return {
        "average_rows": lambda series, plan, occ, offsets: _engine.average_rows(series, occ),
        "best_matches": best,
        "add_average_rows": sums,
        "Plan.add_best_matches": take,
    }


# The run arrays (motif, row, length, entries) one longer or shorter than the
# others are refused by every step that reads them, before they are read.
@pytest.mark.parametrize(
    "call", ["average_rows", "best_matches", "add_average_rows", "Plan.add_best_matches"]
)
@pytest.mark.parametrize(
    "item, change", [(3, -1), (4, -1), (5, -1), (5, -1000), (3, 1), (4, 1), (5, 1), (2, 1), (2, 5)]
)
def test_run_arrays_of_different_sizes_are_refused(searched, call, item, change):
    series, plan, occ, offsets = searched
    with pytest.raises(ValueError, match="different sizes"):
        _engine_calls()[call](series, plan, _resized(occ, item, change), offsets)


@pytest.mark.parametrize("call", ["average_rows", "best_matches", "add_average_rows"])
@pytest.mark.parametrize(
    "change, message",
    [
        (lambda occ: (occ[0], 2**31 - 1, *occ[2:]), "outside its series"),  # starts past any series
        (lambda occ: (occ[0], 0, *occ[2:]), "seglen below 1"),
        (lambda occ: (*occ[:8], occ[8].astype(np.int64) + 10_000), "outside its series"),
        (lambda occ: (*occ[:8], occ[8].astype(np.int64) - 10_000), "outside its series"),
        # Run counts that do not add up to the entries: refused before any
        # array is sized from them.
        (
            lambda occ: (
                *occ[:2],
                occ[2][:1],
                occ[3][:1],
                np.full(1, 2**31 - 1, np.int32),
                np.full(1, 2**28, np.int32),
                *occ[6:],
            ),
            "different sizes",
        ),
    ],
    ids=["huge seglen", "zero seglen", "positions past the end", "negative positions", "huge counts"],
)
def test_occurrences_outside_the_series_are_refused(searched, call, change, message):
    series, plan, occ, offsets = searched
    with pytest.raises(ValueError, match=message):
        _engine_calls()[call](series, plan, change(occ), offsets)


def _fail_late(real):
    """``real``, failing on a partition some way into the collection."""

    def failing(*args, **kwargs):
        occurrences = kwargs.get("occurrences") or args[1]  # the sums' steps take it by name
        if isinstance(occurrences, list):  # a sums' step takes a run's: one per partition
            occurrences = occurrences[-1]
        if occurrences[0] >= 20:
            raise RuntimeError("a failing step")
        return real(*args, **kwargs)

    return failing


@pytest.mark.parametrize("step", ["_add_average_rows", "_best_matches"])
@pytest.mark.parametrize("files", [False, True], ids=["bag", "files"])
def test_a_failed_mine_leaves_nothing_on_the_cluster(monkeypatch, tmp_path, step, files):
    series = collection(6, ragged=not files)
    monkeypatch.setattr(qor.distributed, step, _fail_late(getattr(qor.distributed, step)))
    if files:
        np.save(tmp_path / "x.npy", np.array(series))
        data, rows = [tmp_path / "x.npy"], 1
    else:
        data, rows = db.from_sequence(series, npartitions=30), None
    with distributed.Client(processes=False, n_workers=1, threads_per_worker=4, dashboard_address=":0") as c:
        with pytest.raises(RuntimeError, match="a failing step") as failed:
            qor.distributed.Miner(**SETTINGS).mine(data, client=c, partition_rows=rows)
        assert failed.value is not None  # the traceback is still held here
        scheduler = c.cluster.scheduler
        deadline = time.monotonic() + 10
        while any(ts.who_wants for ts in scheduler.tasks.values()) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert not [key for key, ts in scheduler.tasks.items() if ts.who_wants]


@pytest.mark.parametrize(
    "change, error",
    [
        (lambda occ: (*occ[:8], occ[8].astype(np.float64)), TypeError),
        (lambda occ: (*occ[:7], occ[7].astype(np.int64) + 2**32, occ[8]), ValueError),
        (lambda occ: (*occ[:6], occ[6].astype(np.uint64) + 2**40, *occ[7:]), ValueError),
        (lambda occ: (*occ[:8], occ[8].astype(np.uint32) + 2**31), ValueError),
        (lambda occ: (2**40, *occ[1:]), ValueError),
    ],
    ids=[
        "float positions",
        "counts past int32",
        "huge unsigned steps",
        "uint32 positions past int32",
        "huge first",
    ],
)
def test_occurrence_values_that_do_not_fit_are_refused_not_wrapped(searched, change, error):
    series, plan, occ, offsets = searched
    with pytest.raises(error, match="partition occurrences"):
        _engine.average_rows(series, change(occ))


def test_average_rows_are_computed_on_the_cluster_when_read(tmp_path):
    series = collection(7, ragged=False)
    path = tmp_path / "x.npy"
    np.save(path, np.array(series))
    want = _qor_cpp.Miner(**SETTINGS).mine(np.array(series))
    with distributed.Client(processes=False, n_workers=1, dashboard_address=":0") as c:
        miner = qor.distributed.Miner(**SETTINGS)
        got = miner.mine([path], client=c, partition_rows=7)
        assert [motif_state(m) for m in got] == [motif_state(m) for m in want]
        # Many motifs' rows in one pass: the same values, in the same order.
        some = got[::3]
        assert repr(miner.average_occurrences(some)) == repr([m.average_occurrences for m in some])
        assert len(miner.average_occurrences()) == len(miner.motifs)
        # qor's tables read them so too, next to motifs mined on one machine.
        mixed = [*some, *want[:2]]
        table = qor.records(mixed, len(series))
        assert repr([r["average_occurrences"] for r in table]) == repr([m.average_occurrences for m in mixed])
    # Everything else is held by the client; the rows need the cluster.
    assert [repr(m.representative) for m in got] == [repr(m.representative) for m in want]
    with pytest.raises(RuntimeError, match="client is closed"):
        _ = got[0].average_occurrences
    with pytest.raises(RuntimeError, match="client is closed"):
        miner.average_occurrences(got[:1])
    with pytest.raises(RuntimeError, match="no motifs mined yet"):
        qor.distributed.Miner(**SETTINGS).average_occurrences()


def test_average_rows_in_one_pass_only_of_the_last_mine(tmp_path):
    series = collection(8, ragged=False)
    path = tmp_path / "x.npy"
    np.save(path, np.array(series))
    with distributed.Client(processes=False, n_workers=1, dashboard_address=":0") as c:
        miner = qor.distributed.Miner(**SETTINGS)
        before = miner.mine([path], client=c, partition_rows=10)
        miner.mine([path], client=c, partition_rows=10)  # the same collection, new motifs
        with pytest.raises(ValueError, match="does not come from the last mine"):
            miner.average_occurrences(before[:1])
        with pytest.raises(ValueError, match="does not come from the last mine"):
            miner.average_occurrences(_qor_cpp.Miner(**SETTINGS).mine(np.array(series))[:1])
        # No motif: nothing is read.
        path.unlink()
        assert miner.average_occurrences([]) == []
