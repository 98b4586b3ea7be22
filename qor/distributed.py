"""Mining collections that do not fit in one machine's memory, on a Dask cluster.

Only the pattern search needs the whole collection, and it needs only the SAX
words, which are ``seglen`` times smaller than the series. So the series stay
on the workers, one partition at a time, and the client holds the words and
the results:

1. per partition: z-normalise and discretise; the words come back;
2. on the client: the pattern search over all words;
3. per partition: the average window of every motif in every series it
   holds, added into the representatives' running sums, passed from
   partition to partition in ascending series order (one such chain per
   worker thread, each over a range of motifs, each reading the partition
   itself when it is a file); the last step of each chain makes its motifs'
   representatives;
4. per partition: each series' best match to each representative; the
   client adds the distances into naed in ascending series order and ranks.

Partitions read from files go to the tasks in runs of consecutive ones, which
a task reads and works on one after another (a chain's step takes up to 16):
fewer scheduling round trips, and still one partition in a worker's memory at
a time.

The motifs' ``average_occurrences`` (the bulk of a result: one row per motif
and series) are not kept: like those of ``qor.Miner``, which come from the
normalised collection when read, they are computed when read, on the
cluster, from the partitions that hold the motif's series. So the client
must still be open when they are read.

Every step runs the engine's own C++ code (the internal module
``_qor_engine``), in the engine's order, so the motifs are the ones
``Miner.mine`` finds on the whole collection on one machine, to the last bit.

Requires ``dask[distributed]`` (``pip install "qor[dask]"``).
"""

from __future__ import annotations

import functools
import itertools
import numbers
import os
import tokenize
from collections import deque
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import _qor_engine as _engine
from _qor_cpp import Motif
from qor._mine import _warn_missing

if TYPE_CHECKING:
    from dask.delayed import Delayed
    from distributed import Client, LocalCluster

#: Bytes of samples per partition when ``.npy`` files are split into partitions.
PARTITION_BYTES = 32 * 2**20

# At most this many chains of the representatives' sums run side by side
# (one per worker thread up to it): each partition, or run of file partitions,
# then takes a step per chain.
_MAX_CHAINS = 8

# At most this many file partitions go to a task of the words, of the best
# matches or of reading average rows (_CHAIN_RUN to a step of the
# representatives' sums): longer runs would hold more occurrences and results
# in a worker's memory, and leave the client more to take after the last.
# Shorter ones cost more tasks, each a few milliseconds of the client's CPU
# (and of the scheduler's, which a local cluster runs in the client's
# process), which the workers of a small machine go without.
_RUN = 4
_CHAIN_RUN = 16

# Steps of a chain of the representatives' sums, over partitions that Dask
# computes, between the round trips of its value through the client: the
# workers keep up to this many steps' occurrences (one partition's each).
_HOLD = 8

_Chunk = npt.NDArray[np.float64] | list[npt.NDArray[np.float64]]


# Dask's background diagnostics, made sparse on the clusters local_cluster
# starts: the sampling profiler of each worker (every 10 ms) and the check
# of each event loop's responsiveness (every 20 ms) cost the processes of
# an idle two-worker cluster about 0.14 s of CPU per second, which a small
# machine's cores take from the workers' tasks.
_QUIET = {"distributed.worker.profile.enabled": False, "distributed.admin.tick.interval": "1s"}


def _dask() -> tuple[Any, Any]:
    try:
        import dask
        import distributed
    except ImportError as err:  # pragma: no cover - depends on the environment
        raise ImportError('qor.distributed needs Dask: pip install "qor[dask]"') from err
    return dask, distributed


# --- what runs on the workers -------------------------------------------------


def _as_chunk(data: Any) -> _Chunk:
    """A partition as the engine reads it: a C-contiguous float64 2-D array, or a list of 1-D ones."""
    if isinstance(data, _NpyRows):
        data = _read_npy_rows(data.path, data.start, data.stop)
    if isinstance(data, np.ndarray) and data.ndim == 2:
        return np.ascontiguousarray(data, dtype=np.float64)
    out = []
    for item in data:
        a = np.asarray(item)
        if a.ndim != 1 or not _real_dtype(a.dtype):
            raise TypeError(
                f"a partition holds an item of shape {a.shape} and dtype {a.dtype}; "
                "every series must be a 1-D array of real numbers"
            )
        out.append(np.ascontiguousarray(a, dtype=np.float64))
    return out


def _threads() -> int:
    """The engine's threads in a task: one, as Dask has NumPy's libraries use
    (its workers run tasks side by side, a task per thread), unless
    QOR_NUM_THREADS says otherwise (0: the engine reads it)."""
    return 0 if os.environ.get("QOR_NUM_THREADS") else 1


# A partition's words (letters, and the end of each series' word), and its
# series' scales: the mean and standard deviation by which each was
# z-normalised. The later steps normalise the series with those, as the
# words step did, without finding them again.
_Words = tuple[npt.NDArray[np.int8], npt.NDArray[np.int64], npt.NDArray[np.float64]]


def _words(data: Any, seglen: int, alphabet: int) -> _Words:
    return _engine.discretise(_as_chunk(data), seglen, alphabet, _threads(), scales=True)


def _average_rows(data: Any, occurrences: _engine.Occurrences) -> npt.NDArray[np.float64]:
    return _engine.average_rows(_as_chunk(data), occurrences, _threads())


# A chain's value: the representatives' sums and counts, and after its last
# step the representatives of its motifs.
_Sums = tuple[npt.NDArray[np.float64], ...]


def _normalised(data: Any, scales: npt.NDArray[np.float64]) -> _engine.Normalised:
    return _engine.normalise(_as_chunk(data), _threads(), scales)


def _add_average_rows(
    sums: _Sums,
    data: Any,
    occurrences: Sequence[_engine.Occurrences],
    offsets: npt.NDArray[np.int64],
    scales: Sequence[npt.NDArray[np.float64]],
    last: tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]] | None = None,
) -> _Sums:
    """``sums`` with the average rows of the entries of a run of partitions
    added, partition after partition (``occurrences`` and ``scales``: each
    one's): from a partition's Normalised series, or from the series
    themselves, normalised for this step.

    The last step of a chain (``last``: the offsets and rows of the chain's
    motifs) returns only those motifs' sums and counts, and their
    representatives: what the client and the best matches take from it.
    """
    for part, occ, scale in zip(_members(data), occurrences, scales, strict=True):
        if isinstance(part, _engine.Normalised):
            sums = _engine.add_average_rows(part, occ, offsets, sums[0], sums[1])
        else:
            sums = _engine.add_average_rows(
                _as_chunk(part), occ, offsets, sums[0], sums[1], _threads(), scale
            )
    if last is None:
        return sums
    own = slice(int(last[0][0]), int(last[0][-1]))
    return (sums[0][own].copy(), sums[1][own].copy(), _engine.representatives(*last, *sums))


def _gather_sums(
    offsets: npt.NDArray[np.int64], groups: list[tuple[int, int]], chains: Sequence[_Sums]
) -> _Sums:
    """The sums of every motif, from the chains' (chain c: those of motifs groups[c])."""
    sums = (np.zeros(int(offsets[-1])), np.zeros(int(offsets[-1])))
    for (first, last), chain in zip(groups, chains, strict=True):
        at = slice(offsets[first], offsets[last])
        sums[0][at], sums[1][at] = chain[0], chain[1]
    return sums


def _best_matches(
    data: Any,
    occurrences: _engine.Occurrences,
    scales: npt.NDArray[np.float64],
    offsets: npt.NDArray[np.int64],
    *chains: _Sums,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]:
    """Each entry's best distance and best match.

    The representatives (motif m's at offsets[m]) come in pieces, those that
    each chain made of its motifs at its end, in motif order.
    """
    reps = (offsets[occurrences[2]], np.concatenate([chain[2] for chain in chains]))
    return _engine.best_matches(_as_chunk(data), occurrences, reps, _threads(), scales)


def _read_npy_rows(path: str, start: int, stop: int) -> npt.NDArray[np.float64]:
    """Rows [start, stop) of a .npy file.

    Float64 rows are a view of the memory-mapped file, which the engine
    copies once, into its own block; other types are converted.
    """
    rows = np.load(path, mmap_mode="r")
    if rows.ndim == 1:
        rows = rows.reshape(1, -1)
    part: npt.NDArray[np.float64] = rows[start:stop]
    if part.dtype == np.float64 and part.flags.c_contiguous:
        return part
    return np.array(part, dtype=np.float64, order="C")


def _each(
    data: Any, function: Callable[..., Any], args: Sequence[tuple[Any, ...]], *shared: Any
) -> list[Any]:
    """``function(part, *a, *shared)`` for each partition of a run and its ``a`` in ``args``, in turn."""
    return [function(part, *a, *shared) for part, a in zip(_members(data), args, strict=True)]


# --- partitions ---------------------------------------------------------------


@dataclass(frozen=True)
class _NpyRows:
    """Rows [start, stop) of a .npy file, read by the task that uses them."""

    path: str
    start: int
    stop: int


@dataclass(frozen=True)
class _Run:
    """Consecutive file partitions that one task reads and works on one after another.

    A task per partition would cost a scheduling round trip each, and the
    two cores of a small machine also run the client and the scheduler; a
    task per run holds one partition at a time all the same.
    """

    files: tuple[_NpyRows, ...]


def _members(data: Any) -> tuple[Any, ...]:
    """The partitions of a run, or a partition alone."""
    return data.files if isinstance(data, _Run) else (data,)


@dataclass(frozen=True)
class _Partition:
    # The partition's series on a worker: computed by a task of its own
    # (Dask arrays and bags), or read by each task that needs them.
    load: Delayed | _NpyRows
    size: int | None  # number of series, when known before any task runs
    length: int | None = None  # the length of every series, when known so

    def submit(self, client: Any, function: Callable[..., Any], *args: Any) -> Any:
        """A future of ``function(series, *args)`` on the cluster."""
        if isinstance(self.load, _NpyRows):
            return client.submit(function, self.load, *args, pure=False)
        dask, _ = _dask()
        return client.compute(dask.delayed(function, pure=False)(self.load, *args))


def _is_int(value: object) -> bool:
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)


def _real_dtype(dtype: np.dtype[Any]) -> bool:
    return bool(
        np.issubdtype(dtype, np.floating)
        or np.issubdtype(dtype, np.integer)
        or np.issubdtype(dtype, np.bool_)
    )


def _submit(
    client: Any,
    parts: Sequence[_Partition],
    run: Sequence[int],
    function: Callable[..., Any],
    args: Sequence[tuple[Any, ...]] | None,
    *shared: Any,
) -> Any:
    """A future of the list of ``function(part, *a, *shared)`` over a run of partitions (:func:`_each`)."""
    args = [()] * len(run) if args is None else args
    files = _files(parts, run)
    if files is not None:
        return client.submit(_each, files, function, args, *shared, pure=False)
    (i,) = run
    return parts[i].submit(client, _each, function, args, *shared)


def _files(parts: Sequence[_Partition], run: Sequence[int]) -> _Run | None:
    """The run of file partitions ``run``, or None if Dask computes any of them."""
    loads = [parts[i].load for i in run]
    files = [load for load in loads if isinstance(load, _NpyRows)]
    return _Run(tuple(files)) if len(files) == len(loads) else None


def _runs(parts: Sequence[_Partition], indices: Sequence[int], longest: int) -> list[list[int]]:
    """``indices`` in runs of consecutive file partitions, at most ``longest`` each, as even as can be.

    Partitions that Dask computes go one per run: a task gets one as its
    first argument.
    """
    indices = list(indices)
    if _files(parts, indices) is None:
        return [[i] for i in indices]
    count = -(-len(indices) // max(1, longest))
    return [indices[k * len(indices) // count : (k + 1) * len(indices) // count] for k in range(count)]


def _task_runs(
    parts: Sequence[_Partition], indices: Sequence[int], threads: int, longest: int = 0
) -> list[list[int]]:
    """Runs of file partitions for the tasks of a pass: a few per worker thread, of at most
    ``longest`` (default _RUN) partitions."""
    return _runs(parts, indices, min(longest or _RUN, -(-len(indices) // (2 * max(1, threads)))))


def _from_array(array: Any) -> list[_Partition]:
    if array.ndim != 2:
        raise ValueError(f"a Dask array of series must be 2-D (one series per row), not {array.ndim}-D")
    if not _real_dtype(array.dtype):
        raise TypeError(f"a Dask array of series must hold real numbers, not {array.dtype}")
    if len(array.chunks[1]) > 1:
        array = array.rechunk({1: -1})
    blocks = array.to_delayed()[:, 0]
    length = array.shape[1] if _is_int(array.shape[1]) else None
    return [_Partition(b, n, length) for b, n in zip(blocks, array.chunks[0], strict=False)]


def npy_header(path: Path) -> tuple[tuple[int, ...], np.dtype[Any]]:
    """The shape and dtype of a .npy file, read from its header only."""
    try:
        with open(path, "rb") as f:
            version = np.lib.format.read_magic(f)
            if version == (1, 0):
                shape, _, dtype = np.lib.format.read_array_header_1_0(f)
            else:
                shape, _, dtype = np.lib.format.read_array_header_2_0(f)
    except FileNotFoundError:
        raise FileNotFoundError(f"No such file: {path}") from None
    # A header cut short or garbled fails as it is parsed, as one of the last four.
    except (OSError, ValueError, EOFError, SyntaxError, tokenize.TokenError) as err:
        raise ValueError(f"{path}: not a readable .npy file ({err})") from None
    return shape, dtype


def _from_npy_files(paths: Sequence[str | os.PathLike[str]], partition_rows: int | None) -> list[_Partition]:
    parts = []
    for name in paths:
        path = Path(name)
        if path.suffix.lower() != ".npy":
            raise ValueError(f"{path}: expected a .npy file (one series per row)")
        shape, dtype = npy_header(path)
        if len(shape) not in (1, 2) or not _real_dtype(dtype) or dtype.hasobject:
            raise TypeError(
                f"{path}: holds a {len(shape)}-D array of {dtype}; expected a 1-D or 2-D "
                "array of real numbers"
            )
        rows = 1 if len(shape) == 1 else shape[0]
        row_bytes = max(1, (shape[-1] if shape else 1) * 8)
        step = partition_rows or max(1, PARTITION_BYTES // row_bytes)
        for start in range(0, rows, step):
            stop = min(rows, start + step)
            parts.append(_Partition(_NpyRows(str(path.resolve()), start, stop), stop - start, shape[-1]))
    return parts


def _from_bag(bag: Any) -> list[_Partition]:
    return [_Partition(p, None) for p in bag.to_delayed()]


def _partitions(collection: Any, partition_rows: int | None) -> list[_Partition]:
    _dask()  # a clear message when Dask is missing
    import dask.array as da
    import dask.bag as db

    if isinstance(collection, da.Array):
        return _from_array(collection)
    if isinstance(collection, db.Bag):
        return _from_bag(collection)
    if isinstance(collection, (str, os.PathLike)):
        collection = [collection]
    if isinstance(collection, Sequence) and all(isinstance(p, (str, os.PathLike)) for p in collection):
        return _from_npy_files(collection, partition_rows)
    raise TypeError(
        "collection must be a 2-D dask.array, a Dask bag of 1-D arrays, or a list of .npy files, "
        f"not {type(collection).__name__}"
    )


# --- the client ---------------------------------------------------------------


def _direct(client: Any, workers: Sequence[str]) -> bool | None:
    """Whether to take results straight from the workers rather than through the scheduler.

    Dask's default goes through the scheduler, which reaches the workers
    wherever the client cannot; each result then crosses two connections
    and, where the scheduler runs in the client's process (a LocalCluster),
    takes that process's time twice. So: the client's own setting where it
    has one, else straight from workers that listen on this machine's
    loopback (``workers``: their addresses), else Dask's default.
    """
    if client.direct_to_workers is not None:
        return bool(client.direct_to_workers)
    local = ("tcp://127.0.0.1:", "tcp://localhost:", "tcp://[::1]:", "inproc://")
    return True if workers and all(str(w).startswith(local) for w in workers) else None


def _in_order(
    client: Any,
    count: int,
    task: Callable[[int], Any],
    take: Callable[[int, Any], None],
    ready: Callable[[], None] | None = None,
    ordered: bool = True,
    *,
    nthreads: dict[str, int],
) -> None:
    """Submits ``task(i)`` (a future) for ``i < count`` and hands the results to ``take``.

    A few tasks per worker thread are in flight at a time, and each result is
    released once taken: the workers hold a handful of partitions' results,
    not all of them, whatever the size of the collection. ``ready()``, if
    given, runs once the first tasks are submitted, before any result is taken.
    ``take`` gets the results in order of ``i``; unless ``ordered``, each as
    soon as it is done, in any order, and the next task goes at once: one
    slow task then holds none back. ``nthreads``: the workers' threads, as
    ``client.nthreads()`` gives them (the caller has asked once per call).
    """
    _, distributed = _dask()
    window = 2 * max(1, sum(nthreads.values()))
    direct = _direct(client, list(nthreads))
    pending: dict[Any, int] = {}  # in flight, in order of submission
    finished = None if ordered else distributed.as_completed()
    submitted = 0
    future = None

    def submit() -> None:
        nonlocal submitted
        while submitted < count and len(pending) < window:
            pending[new := task(submitted)] = submitted
            if finished is not None:
                finished.add(new)
            submitted += 1

    try:
        submit()
        if ready is not None:
            ready()
        while pending:
            future = next(iter(pending)) if finished is None else next(finished)
            result = client.gather(future, direct=direct)
            i = pending.pop(future)
            future.release()
            future = None
            take(i, result)
            submit()
    except BaseException:
        # A failed task (or Ctrl-C) ends the call: the tasks still in flight
        # are of no use, and neither is the failed one, which the error's
        # traceback would otherwise keep on the cluster.
        _cancel(client, [future, *pending])
        raise


def _fold_in_order(
    client: Any,
    count: int,
    task: Callable[[int], Any],
    fold: Callable[[int, int], Callable[[Any, Any], Any]],
    initial: Sequence[Any],
    window: int,
    hold: int,
) -> list[Any]:
    """``values[c] = fold(i, c)(values[c], task(i))`` for ``i < count`` in order, for every chain c.

    ``task(i)`` submits a task and returns its future, or returns what the
    steps over partition i take as it is. Returns the chains' last values, as
    futures (``initial`` for no partitions).

    Each chain starts from ``initial[c]`` and runs on the cluster. The tasks
    run side by side, a few per worker thread at a time, and each result
    stays on the worker that computed it: the chains' steps over it run there
    and pass on only their (small) values. The chains are independent, so
    while one waits for its value from the last partition, another can run.
    At most ``window`` steps of each chain are submitted ahead.

    Every ``hold`` steps the chains' values come to the client, and the
    next steps start from them rather than from the steps' futures. A
    worker keeps a finished task's arguments (a step's occurrences:
    megabytes) for as long as any task that depends on it is kept, so one
    unbroken chain of futures would keep every step's occurrences on the
    workers until the last step is let go: memory growing with the
    collection.
    """
    _, distributed = _dask()
    in_flight: deque[list[Any]] = deque()
    values = list(initial)
    done: list[Any] = []
    data = None
    try:
        for i in range(count):
            if i and i % hold == 0:
                values = client.gather(values)
                in_flight.clear()
                done = []
            elif len(in_flight) >= window:
                done = in_flight.popleft()
                distributed.wait(done)  # the values stay on the cluster
                for future in done:
                    if future.status != "finished":
                        future.result()  # raises the task's error
            data = task(i)
            values = [client.submit(fold(i, c), value, data, pure=False) for c, value in enumerate(values)]
            in_flight.append(values)
        return values
    except BaseException:
        # Nothing of the call is of use any more, on the cluster or held by
        # the error's traceback.
        _cancel(client, [*done, data, *values, *(f for step in in_flight for f in step)])
        raise


def _cancel(client: Any, futures: Sequence[Any]) -> None:
    """Cancels the Dask futures among ``futures`` (others, such as None, are skipped)."""
    _, distributed = _dask()
    todo = [f for f in futures if isinstance(f, distributed.Future)]
    if todo:
        client.cancel(todo)


def _motif_groups(work: npt.NDArray[np.int64], count: int) -> list[tuple[int, int]]:
    """At most ``count`` ranges of consecutive motifs, about equal in ``work``, covering them all."""
    total = np.cumsum(work, dtype=np.float64)
    if not len(total):
        return [(0, 0)]
    cuts = np.searchsorted(total, total[-1] * np.arange(1, count) / count, side="right")
    bounds = sorted({0, *cuts.tolist(), len(work)})
    return list(itertools.pairwise(bounds))


class _RowsOnTheCluster:
    """Computes motifs' average rows on the cluster that mined them, when they are read.

    Called by the engine with a motif; returns its rows, series after series.
    :meth:`many` gives several motifs' rows from one pass over the partitions.
    """

    def __init__(self, client: Any, parts: list[_Partition], starts: list[int]) -> None:
        self.client, self.parts, self.starts = client, parts, np.asarray(starts, np.int64)

    def __call__(self, motif: Motif) -> npt.NDArray[np.float64]:
        return self._rows([motif])[0]

    def many(self, motifs: Sequence[Motif]) -> list[dict[int, list[float]]]:
        out = []
        for m, table in zip(motifs, self.tables(motifs), strict=True):
            series = list(m.best_matches)  # the keys of indexes, in their order
            out.append(dict(zip(series, table.tolist(), strict=True)))
        return out

    def tables(self, motifs: Sequence[Motif]) -> list[npt.NDArray[np.float64]]:
        """Each motif's average rows, one row per series it occurs in, from one pass."""
        motifs = list(motifs)
        for m in motifs:
            if _engine.row_source(m) is not self:
                raise ValueError(
                    f"{m!r} does not come from the last mine() of this Miner: "
                    "its average rows are those of another collection"
                )
        return [
            rows.reshape(len(m.best_matches), m.length)
            for m, rows in zip(motifs, self._rows(motifs), strict=True)
        ]

    def _rows(self, motifs: list[Motif]) -> list[npt.NDArray[np.float64]]:
        """Each motif's rows, flat, computed partition by partition in one pass."""
        if not motifs:
            return []
        if self.client.status != "running":
            raise RuntimeError(
                "the average rows of motifs mined with qor.distributed are computed on the "
                "cluster when they are read, and its client is closed: read them before "
                "closing the client"
            )
        lengths = [m.length for m in motifs]
        busy = [i for i in range(len(self.parts)) if self.starts[i] < self.starts[i + 1]]
        nthreads = self.client.nthreads()
        runs = _task_runs(self.parts, busy, sum(nthreads.values()))
        # Per run in flight: each partition's count of rows per motif, for
        # the partitions where any of the motifs occurs (the others have
        # nothing to read).
        counts: dict[int, list[npt.NDArray[np.intp]]] = {}
        pieces: list[list[npt.NDArray[np.float64]]] = [[] for _ in motifs]

        def task(r: int) -> Any:
            run, occs, counts[r] = [], [], []
            for i in runs[r]:
                occ = _engine.occurrences(motifs, int(self.starts[i]), int(self.starts[i + 1]))
                if len(occ[6]):
                    run.append(i)
                    occs.append((occ,))
                    counts[r].append(
                        np.bincount(occ[2], weights=occ[5], minlength=len(motifs)).astype(np.intp)
                    )
            if not run:
                return self.client.submit(list, pure=False)
            return _submit(self.client, self.parts, run, _average_rows, occs)

        def take(r: int, found: list[npt.NDArray[np.float64]]) -> None:
            for rows, count in zip(found, counts.pop(r), strict=True):
                at = 0
                for mi, n in enumerate(count.tolist()):
                    size = n * lengths[mi]
                    if size:
                        pieces[mi].append(rows[at : at + size])
                    at += size

        _in_order(self.client, len(runs), task, take, nthreads=nthreads)
        return [np.concatenate(p) if p else np.empty(0) for p in pieces]


class Miner:
    """``qor.Miner`` for a collection held by a Dask cluster.

    The settings are those of :class:`qor.Miner`; :meth:`mine` returns the
    first ``k`` motifs (all for 0) and :attr:`motifs` holds the whole ranked
    collection, equal to what ``qor.Miner(...).mine`` gives on the whole
    collection on one machine, to the last bit.

    Examples
    --------
    >>> import dask.array as da, numpy as np, qor, qor.distributed
    >>> from distributed import Client
    >>> client = Client(processes=False, dashboard_address=None)
    >>> x = da.from_array(np.random.default_rng(0).normal(size=(2_000, 300)), chunks=(500, 300))
    >>> top = qor.distributed.Miner(0.5, 8, 4, k=5).mine(x, client=client)
    >>> [m.naed for m in top] == [m.naed for m in qor.Miner(0.5, 8, 4, k=5).mine(x.compute())]
    True
    >>> client.close()
    """

    def __init__(
        self,
        minsup: float,
        seglen: int,
        alphabet: int,
        min_len: int = 3,
        max_len: int = 0,
        max_overlap: float = 0.9,
        k: int = 0,
    ) -> None:
        self.minsup, self.seglen, self.alphabet = minsup, seglen, alphabet
        self.min_len, self.max_len, self.max_overlap, self.k = min_len, max_len, max_overlap, k
        self._motifs: list[Motif] = []
        # The plan of the last mine(), which holds its motifs until they are
        # first asked for: mine() returns copies of its own, so a copy of the
        # whole collection is only made for callers that read it.
        self._plan: _engine.Plan | None = None
        self._rows: _RowsOnTheCluster | None = None

    @property
    def motifs(self) -> list[Motif]:
        """The whole ranked collection of the last :meth:`mine`."""
        if self._plan is not None:
            self._motifs, self._plan = self._plan.motifs, None
        return list(self._motifs)

    def average_occurrences(self, motifs: Sequence[Motif] | None = None) -> list[dict[int, list[float]]]:
        """The ``average_occurrences`` of motifs of the last :meth:`mine`, in one pass over the partitions.

        Reading ``motif.average_occurrences`` computes one motif's rows on the
        cluster, in a pass of its own; this computes those of every motif given
        (by default :attr:`motifs`) in a single pass, with the same values.
        The client must still be open.
        """
        if self._rows is None:
            raise RuntimeError("no motifs mined yet")
        return self._rows.many(self.motifs if motifs is None else motifs)

    def mine(
        self, collection: Any, *, client: Client | None = None, partition_rows: int | None = None
    ) -> list[Motif]:
        """Mines ``collection`` on the cluster of ``client`` (default: the current Dask client).

        ``collection`` is a 2-D ``dask.array`` (one series per row, chunked by
        rows), a Dask bag whose items are 1-D arrays, or a list of ``.npy``
        files (2-D, one series per row; read memory-mapped by the workers,
        ``partition_rows`` rows at a time, by default about 32 MiB). Series are
        numbered in that order across partitions and files. Like
        :func:`qor.mine`, it warns (:class:`qor.MissingSamplesWarning`) when
        NaN or infinite samples blank out some of the series.
        """
        _, distributed = _dask()
        _engine.check_alphabet(self.alphabet)

        if partition_rows is not None and not (_is_int(partition_rows) and partition_rows >= 1):
            raise ValueError(f"partition_rows must be an int of at least 1, got {partition_rows!r}")
        parts = _partitions(collection, partition_rows)
        # The engine's own error, which every worker would otherwise raise:
        # any series (a partition of unknown size may hold one) with seglen 0.
        if _is_int(self.seglen) and self.seglen == 0 and any(p.size != 0 for p in parts):
            raise ValueError("vector too long")
        if (
            _is_int(self.seglen)
            and self.seglen < 0
            and any(
                _is_int(p.size) and p.size and p.length is not None and p.length >= -self.seglen
                for p in parts
            )
        ):
            # The engine's error for a series at least -seglen long, known
            # here from the arrays' shapes (a bag's series fail on the workers).
            raise ValueError("vector too long")
        if client is None:
            try:
                client = distributed.get_client()
            except ValueError:
                raise ValueError(
                    "no Dask client: pass client=, or start one with distributed.Client()"
                ) from None
        plan = _engine.Plan(
            self.minsup, self.seglen, self.alphabet, self.min_len, self.max_len, self.max_overlap, self.k
        )
        sizes = [0] * len(parts)
        scales: list[npt.NDArray[np.float64]] = [np.empty((0, 2))] * len(parts)
        nthreads = client.nthreads()
        threads = max(1, sum(nthreads.values()))
        direct = _direct(client, list(nthreads))
        runs = _task_runs(parts, range(len(parts)), threads)

        blanked = 0

        def take_words(r: int, found: list[_Words]) -> None:
            nonlocal blanked
            for i, (letters, ends, scale) in zip(runs[r], found, strict=True):
                sizes[i] = len(ends)
                scales[i] = scale
                # A series with a NaN or infinite sample has a mean that is
                # not finite (an empty one's is NaN too, but it has no word).
                blanked += int(np.count_nonzero(~np.isfinite(scale[:, 0]) & (np.diff(ends, prepend=0) > 0)))
                plan.add_words(letters, ends)

        _in_order(
            client,
            len(runs),
            lambda r: _submit(client, parts, runs[r], _words, None, self.seglen, self.alphabet),
            take_words,
            nthreads=nthreads,
        )
        _warn_missing(blanked, sum(sizes))
        plan.search()
        starts = [0, *np.cumsum(sizes).tolist()]
        busy = [i for i in range(len(parts)) if sizes[i]]
        offsets = plan.sum_offsets()
        zeros = np.zeros(int(offsets[-1]))

        # Each motif's sums form a chain over the partitions, independent of
        # the other motifs': the motifs are split into a chain per worker
        # thread, each carrying every motif's sums but adding its own. A
        # chain's step takes a run of files, which it reads itself, or a
        # partition that Dask computes, normalised once by a task of its own;
        # the steps over it run where it is.
        chains = min(_MAX_CHAINS, threads)
        rows = plan.motif_rows()
        groups = _motif_groups(rows * np.diff(offsets), chains)
        steps = _runs(parts, busy, _CHAIN_RUN)
        on_files = _files(parts, busy) is not None

        def data(j: int) -> Any:
            files = _files(parts, steps[j])
            if files is not None:
                return files
            (i,) = steps[j]
            return parts[i].submit(client, _normalised, scales[i])

        def add_rows(j: int, c: int) -> Callable[[Any, Any], Any]:
            first, last = groups[c]
            occ = [plan.occurrences(starts[i], starts[i + 1], first, last) for i in steps[j]]
            end = (offsets[first : last + 1], rows[first:last]) if j == len(steps) - 1 else None
            return functools.partial(
                _add_average_rows,
                occurrences=occ,
                offsets=offsets,
                scales=[scales[i] for i in steps[j]],
                last=end,
            )

        # A step over a run of files is long, and carries its partitions'
        # occurrences: its values come back to the client before the next
        # step goes, so the workers keep one step's occurrences per chain.
        # Others carry one partition's: _HOLD steps go between the values'
        # round trips through the client, each of which lets the next steps'
        # partitions be normalised only once the last step is done.
        window = 2 * threads
        hold = 1 if on_files else _HOLD
        zero = [(zeros, zeros)] * len(groups)
        folded = _fold_in_order(client, len(steps), data, add_rows, zero, window, hold)
        if not steps:  # no series: the sums are nothing but zeros
            folded = [(zeros[offsets[a] : offsets[b]],) * 2 for a, b in groups]

        best_runs = _task_runs(parts, busy, threads)
        held: dict[int, list[_engine.Occurrences]] = {}  # runs in flight

        def best(r: int) -> Any:
            # The tasks wait on the cluster for the chains' ends, which hold
            # the representatives.
            held[r] = [plan.occurrences(starts[i], starts[i + 1]) for i in best_runs[r]]
            return _submit(
                client,
                parts,
                best_runs[r],
                _best_matches,
                [(o, scales[i]) for o, i in zip(held[r], best_runs[r], strict=True)],
                offsets,
                *folded,
            )

        def take_best(r: int, found: list[tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]]) -> None:
            for occ, (distances, at) in zip(held.pop(r), found, strict=True):
                plan.add_best_matches(occ, distances, at)

        def finish_sums() -> None:
            # The client makes its own representatives, from the same sums.
            plan.finish_representatives(*_gather_sums(offsets, groups, client.gather(folded, direct=direct)))

        # Files are read by the best-match tasks themselves, which can be
        # submitted before the representatives are made and wait for them; a
        # partition that Dask computes would be computed at once and wait in
        # a worker's memory, so those go once the representatives are made.
        try:
            if not on_files:
                finish_sums()
            # Each run's best matches go to their own rows: in any order.
            _in_order(
                client,
                len(best_runs),
                best,
                take_best,
                ready=finish_sums if on_files else None,
                ordered=False,
                nthreads=nthreads,
            )
        except BaseException:
            _cancel(client, folded)
            raise
        # The rows read later normalise their series in full: the client
        # keeps no scales once the call is over.
        self._rows = _RowsOnTheCluster(client, parts, starts)
        self._plan = plan
        return plan.finish(self._rows)


def local_cluster(n_workers: int | None = None, **kwargs: Any) -> LocalCluster:
    """A ``distributed.LocalCluster`` on this machine for qor's tasks (what ``qor mine --dask local`` starts).

    Its workers are processes of one thread each (by default one per CPU):
    the engine's tasks are C++ that holds no GIL, one core each. Dask's
    sampling profiler is off in the workers and its event loops' check for
    responsiveness runs every second rather than every 20 ms: on a small
    machine those take CPU that the workers need (an idle cluster of two
    workers then costs its processes about 0.03 s of CPU per second rather
    than 0.14 s). No dashboard unless ``dashboard_address=`` asks for one.
    ``kwargs`` go to ``LocalCluster`` and win over these settings.

    The worker processes start by importing the ``__main__`` module again,
    as Python's multiprocessing does: in a script, start the cluster under
    ``if __name__ == "__main__":``.

    Examples
    --------
    >>> import qor.distributed
    >>> from distributed import Client
    >>> with qor.distributed.local_cluster(2) as cluster, Client(cluster) as client:
    ...     sorted(client.nthreads().values())
    [1, 1]
    """
    dask, distributed = _dask()
    settings = {
        "n_workers": n_workers,
        "threads_per_worker": 1,
        "processes": True,
        "dashboard_address": None,
        "silence_logs": 40,  # logging.ERROR
        **kwargs,
    }
    if settings["processes"] and "config" not in kwargs:
        settings["config"] = _QUIET  # each worker process's own (Nanny(config=))
    # The scheduler, the nannies and workers in this process read theirs when made.
    with dask.config.set(_QUIET):
        cluster: LocalCluster = distributed.LocalCluster(**settings)
    return cluster


def mine(
    collection: Any,
    *,
    seglen: int,
    alphabet: int,
    minsup: float,
    min_len: int = 3,
    max_len: int = 0,
    max_overlap: float = 0.9,
    k: int = 0,
    client: Client | None = None,
    partition_rows: int | None = None,
) -> list[Motif]:
    """The first ``k`` motifs (all for 0) of a collection held by a Dask cluster; see :class:`Miner`."""
    return Miner(minsup, seglen, alphabet, min_len, max_len, max_overlap, k).mine(
        collection, client=client, partition_rows=partition_rows
    )
