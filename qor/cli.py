"""The ``qor`` command line: ``qor mine FILE...``."""

from __future__ import annotations

import argparse
import contextlib
import errno
import importlib
import os
import sys
import threading
import time
import warnings
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path
from typing import Any, NoReturn

import qor
from qor._mine import (
    DEFAULT_ALPHABET,
    DEFAULT_MINSUP,
    INT32_MAX,
    WORD_LETTERS,
    default_seglen,
    seglen_for_lengths,
)
from qor._score import RANKINGS
from qor._table import csv_parts, format_table, json_parts, records, with_averages

EXIT_FAILURE = 1
EXIT_USAGE = 2  # bad options, unreadable or invalid input
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as shells report it


class UsageError(Exception):
    """A problem with the command's options or input, reported in one line."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see '{self.prog} --help')")


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return _int32(value)


def _non_negative(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be at least 0, got {value}")
    return _int32(value)


def _int32(value: int) -> int:
    if value > INT32_MAX:
        raise argparse.ArgumentTypeError(f"must be at most {INT32_MAX}, got {value}")
    return value


def _share(text: str) -> float:
    value = float(text)
    if not 0.0 < value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be above 0 and at most 1, got {text}")
    return value


def _overlap(text: str) -> float:
    value = float(text)
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1, got {text}")
    return value


def _alphabet(text: str) -> int:
    value = int(text)
    if not 2 <= value <= 10:
        raise argparse.ArgumentTypeError(f"must be between 2 and 10, got {value}")
    return value


def _typed[T](kind: Callable[[str], T], name: str) -> Callable[[str], T]:
    """``kind`` with an argparse-friendly name, so errors read 'invalid int value'."""

    def convert(text: str) -> T:
        return kind(text)

    convert.__name__ = name
    return convert


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="qor", description="Find the shapes that recur across a collection of time series.")
    parser.add_argument("--version", action="version", version=f"qor {qor.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=_Parser)
    mine = commands.add_parser(
        "mine",
        help="mine the motifs of one or more files of series",
        description=(
            "Mine the motifs of the series in FILE (several files are read in turn as one collection), "
            "print the best ones, and optionally write them as JSON or CSV and draw them."
        ),
        epilog=(
            "Files: .csv, .tsv, one series per row; other text files split at the first of ',', tab or "
            "blanks on their first line; .npy (2-D, 1-D for one series, or an object array of 1-D arrays "
            "with --allow-pickle), .npz; any but .npz may be compressed as .gz, .bz2 or .xz (data.csv.gz). "
            "Empty cells and 'nan' are missing samples: a series with any is "
            "NaN throughout once normalised and shows no shape (qor warns). "
            "Exit status: 0 done, 1 failed, 2 bad options or input, 130 interrupted."
        ),
    )
    mine.add_argument("files", nargs="+", metavar="FILE", help="series to mine")
    engine = mine.add_argument_group("mining")
    # option, parsed as, default, metavar, help
    numbers: list[tuple[str, Callable[[str], Any], Any, str, str]] = [
        (
            "--seglen",
            _typed(_positive, "int"),
            None,
            "N",
            f"samples per SAX letter (default: the median series length / {WORD_LETTERS}, so words of about "
            f"{WORD_LETTERS} letters; for shapes about W samples wide, W/8 works well)",
        ),
        (
            "--alphabet",
            _typed(_alphabet, "int"),
            DEFAULT_ALPHABET,
            "A",
            "letters per SAX word, 2 to 10 (default: %(default)s)",
        ),
        (
            "--minsup",
            _typed(_share, "float"),
            DEFAULT_MINSUP,
            "S",
            "share of the series a motif must occur in, above 0 and at most 1 (default: %(default)s); "
            "small values on long words can take very long",
        ),
        ("--min-len", _typed(_positive, "int"), 3, "L", "shortest motif in letters (default: %(default)s)"),
        (
            "--max-len",
            _typed(_non_negative, "int"),
            0,
            "L",
            "longest motif in letters, 0 for no limit (default: %(default)s)",
        ),
        (
            "--max-overlap",
            _typed(_overlap, "float"),
            0.9,
            "F",
            "drop a motif that repeats a longer one by more than this share (default: %(default)s)",
        ),
        (
            "--threads",
            _typed(_positive, "int"),
            None,
            "N",
            "threads to use (default: every CPU this process may run on)",
        ),
    ]
    for option, kind, default, metavar, text in numbers:
        engine.add_argument(option, type=kind, default=default, metavar=metavar, help=text)
    engine.add_argument(
        "--dask",
        metavar="ADDRESS",
        help="mine on the Dask cluster whose scheduler is at ADDRESS (or 'local' for a local cluster over "
        "all CPUs); the files must be .npy (one series per row), readable by the workers at the same paths",
    )
    shown = mine.add_argument_group("results")
    shown.add_argument(
        "--rank",
        choices=RANKINGS,
        default="relative_naed",
        help="order of the motifs: relative_naed (shapes first; the default) or naed (the engine's order)",
    )
    shown.add_argument(
        "--top",
        type=_typed(_non_negative, "int"),
        default=10,
        metavar="N",
        help="motifs to list and write, 0 for all (default: %(default)s); --plot-top sets how many are drawn",
    )
    shown.add_argument(
        "--json", type=Path, metavar="PATH", help="write every field of the listed motifs as JSON"
    )
    shown.add_argument(
        "--csv", type=Path, metavar="PATH", help="write every field of the listed motifs as CSV"
    )
    shown.add_argument(
        "--plot", type=Path, metavar="PATH.png", help="draw the listed motifs (needs matplotlib)"
    )
    shown.add_argument(
        "--plot-top",
        type=_typed(_positive, "int"),
        default=4,
        metavar="N",
        help="motifs to draw (default: %(default)s)",
    )
    reading = mine.add_argument_group("reading files")
    reading.add_argument(
        "--label-column",
        type=int,
        metavar="I",
        help="column to drop from every row, e.g. 0 for the class label of labelled archives",
    )
    header = reading.add_mutually_exclusive_group()
    header.add_argument(
        "--header",
        dest="header",
        action="store_const",
        const=True,
        help="the first row is a header (default: detected)",
    )
    header.add_argument(
        "--no-header", dest="header", action="store_const", const=False, help="the first row is data"
    )
    reading.add_argument(
        "--delimiter",
        metavar="C",
        help="cell separator of text files (default: by extension; 'whitespace' for runs of blanks)",
    )
    reading.add_argument(
        "--allow-pickle",
        action="store_true",
        help="allow .npy/.npz object arrays (runs pickle code: only for files you trust)",
    )
    return parser


def _load(args: argparse.Namespace) -> list[Any]:
    series: list[Any] = []
    for name in args.files:
        try:
            series.extend(
                qor.load(
                    name,
                    label_column=args.label_column,
                    header=args.header,
                    delimiter=args.delimiter,
                    allow_pickle=args.allow_pickle,
                )
            )
        except (ValueError, TypeError, OSError) as err:  # LoadError is a ValueError
            raise UsageError(str(err)) from err
    if not series:
        raise UsageError(f"no series in {', '.join(args.files)}")
    return series


def _interruptible[T](task: Callable[[], T]) -> T:
    """Runs ``task`` on a helper thread while this thread stays ready for Ctrl-C.

    The engine releases the interpreter lock while it computes, so the main
    thread keeps receiving signals; on Ctrl-C the command exits at once and the
    computation is abandoned with the process.
    """
    result: list[T] = []
    error: list[BaseException] = []

    def run() -> None:
        try:
            result.append(task())
        except BaseException as err:  # handed to the main thread
            error.append(err)

    worker = threading.Thread(target=run, name="qor-mine", daemon=True)
    worker.start()
    while worker.is_alive():
        worker.join(0.05)
    if error:
        raise error[0]
    return result[0]


def _write(path: Path, parts: Iterable[bytes]) -> None:
    """Writes ``parts`` to ``path``, removing the file again if that fails part way.

    The parts are made as they are written (a motif's average rows each), so
    Ctrl-C or an error can come between them: a file cut short (a CSV of
    fewer motifs would still read) is removed rather than left behind. A
    link, a pipe or a device (``/dev/stdout``) is left as it is.
    """
    try:
        with path.open("wb") as out:
            try:
                for part in parts:
                    out.write(part)
            except BaseException:
                if not path.is_symlink() and path.is_file():
                    out.close()
                    with contextlib.suppress(OSError):
                        path.unlink()
                raise
    except OSError as err:
        raise UsageError(f"cannot write {path}: {err.strerror or err}") from err


def _mine_here(args: argparse.Namespace) -> tuple[list[Any], list[Any], int]:
    """Mines the files on this machine: (ranked motifs, series, seglen)."""
    series = _load(args)
    seglen = args.seglen if args.seglen is not None else default_seglen(series)
    settings = _settings(args, seglen)
    try:
        motifs = _interruptible(lambda: qor.mine(series, rank_by=args.rank, **settings))
    except (ValueError, TypeError) as err:
        raise UsageError(str(err)) from err
    return motifs, series, seglen


def _mine_on_dask(
    args: argparse.Namespace, tabulate: Callable[[list[Any], int, bool], list[dict[str, Any]]]
) -> tuple[list[Any], list[int], int, list[dict[str, Any]]]:
    """Mines .npy files on a Dask cluster: (ranked motifs, series lengths, seglen, table rows).

    The table is made while the cluster is still there: the motifs' average
    rows are computed on it.
    """
    try:
        from qor import distributed as qd
    except ImportError as err:
        raise UsageError(f'--dask needs Dask: pip install "qor[dask]" ({err})') from err
    if args.plot is not None:
        raise UsageError("--plot needs the series on this machine; it cannot be used with --dask")
    text_options = {
        "--label-column": args.label_column is not None,
        "--header/--no-header": args.header is not None,
        "--delimiter": args.delimiter is not None,
        "--allow-pickle": args.allow_pickle,
    }
    for option, given in text_options.items():
        if given:
            raise UsageError(
                f"{option} applies to files read on this machine; --dask reads .npy files as they are"
            )
    lengths: list[int] = []
    for name in args.files:
        not_npy = UsageError(
            f"--dask reads .npy files of real numbers, one series per row; {name} is not one"
        )
        if Path(name).suffix.lower() != ".npy":
            raise not_npy
        try:
            shape, dtype = qd.npy_header(Path(name))
        except (OSError, ValueError) as err:
            raise UsageError(str(err)) from err
        if len(shape) not in (1, 2) or dtype.hasobject or dtype.kind not in "biuf":
            raise not_npy
        lengths += [shape[-1]] * (1 if len(shape) == 1 else shape[0])
    seglen = args.seglen if args.seglen is not None else seglen_for_lengths(lengths)
    settings = _settings(args, seglen)
    miner = qd.Miner(
        settings["minsup"],
        seglen,
        settings["alphabet"],
        settings["min_len"],
        settings["max_len"],
        settings["max_overlap"],
    )
    distributed: Any = importlib.import_module("distributed")
    with contextlib.ExitStack() as stack:
        try:
            if args.dask == "local":
                cluster = stack.enter_context(qd.local_cluster())
                client = stack.enter_context(distributed.Client(cluster))
            else:
                client = stack.enter_context(distributed.Client(args.dask, timeout="20s"))
        except (OSError, ValueError, TypeError) as err:
            raise UsageError(f"cannot reach the Dask scheduler at {args.dask}: {err}") from err
        try:
            found = _interruptible(lambda: miner.mine(list(args.files), client=client))
            motifs = qor.rank(found, args.rank)
            averages = args.json is not None or args.csv is not None
            rows = _interruptible(lambda: tabulate(motifs, len(lengths), averages))
        except (ValueError, TypeError) as err:
            raise UsageError(str(err)) from err
        return motifs, lengths, seglen, rows


def _settings(args: argparse.Namespace, seglen: int) -> dict[str, Any]:
    return dict(
        seglen=seglen,
        alphabet=args.alphabet,
        minsup=args.minsup,
        min_len=args.min_len,
        max_len=args.max_len,
        max_overlap=args.max_overlap,
    )


def _check_writable(path: Path) -> None:
    """Raises UsageError, before any mining, where ``path`` plainly cannot be written.

    The file itself is not opened: an existing one keeps its contents until
    the results replace them. A check that passes here may still fail when
    the file is written (the disk may fill up meanwhile); that failure is
    reported then.
    """
    folder = path.parent
    if path.is_dir():
        problem = errno.EISDIR
    elif not folder.is_dir():
        problem = errno.ENOENT if not folder.exists() else errno.ENOTDIR
    elif not os.access(path if path.exists() else folder, os.W_OK):
        problem = errno.EACCES
    else:
        return
    raise UsageError(f"cannot write {path}: {os.strerror(problem)}")


def mine_command(args: argparse.Namespace) -> int:
    if args.plot is not None and args.plot.suffix.lower() != ".png":
        raise UsageError(f"--plot writes a PNG file; give a path ending in .png, not {str(args.plot)!r}")
    # A missing folder or a typing slip shows now, not after the mining.
    for path in (args.json, args.csv, args.plot):
        if path is not None:
            _check_writable(path)
    if args.threads is not None:
        os.environ["QOR_NUM_THREADS"] = str(args.threads)
    if args.json is not None or args.csv is not None:
        # The writer of both, imported now: orjson's import is not safe
        # against a Ctrl-C that lands in it (the process crashes), so it goes
        # before the long work rather than after it.
        importlib.import_module("orjson")
    start = time.perf_counter()
    series: list[Any] = []
    mined_at: list[float] = []

    def tabulate(motifs: list[Any], count: int, averages: bool) -> list[dict[str, Any]]:
        mined_at.append(time.perf_counter())
        shown = motifs if args.top == 0 else motifs[: args.top]
        rows = records(shown, count, averages=False)
        # The average rows are written as they are computed, motif by motif,
        # but those of motifs mined on a cluster are read while it is there.
        return list(with_averages(rows, shown)) if averages and args.dask else rows

    if args.dask:
        motifs, lengths, seglen, rows = _mine_on_dask(args, tabulate)
    else:
        motifs, series, seglen = _mine_here(args)
        lengths = [len(s) for s in series]
        rows = tabulate(motifs, len(lengths), args.json is not None or args.csv is not None)
    elapsed = mined_at[0] - start
    if not lengths:
        raise UsageError(f"no series in {', '.join(args.files)}")
    settings = _settings(args, seglen)
    shown = motifs if args.top == 0 else motifs[: args.top]

    lengths = sorted(lengths)
    size = f"{lengths[0]}" if lengths[0] == lengths[-1] else f"{lengths[0]} to {lengths[-1]}"
    print(
        f"{len(lengths)} series of {size} samples; seglen {seglen}, alphabet {args.alphabet}, "
        f"minsup {args.minsup}, min_len {args.min_len}"
    )
    found = f"{len(motifs)} motifs found in {elapsed:.2f} s"
    print(
        f"{found}; the {len(rows)} best by {args.rank}:" if motifs else f"no motifs found ({elapsed:.2f} s)"
    )
    if rows:
        print()
        print(format_table(rows))
    if args.json is not None:
        meta = dict(series=len(lengths), ranking=args.rank, settings=settings)
        _write(args.json, json_parts(with_averages(rows, shown), **meta))
    if args.csv is not None:
        _write(args.csv, csv_parts(with_averages(rows, shown)))
    if args.plot is not None:
        try:
            qor.plot_motifs(shown, series, top=args.plot_top, path=args.plot)
        except ImportError as err:
            raise UsageError(str(err)) from err
        except OSError as err:
            raise UsageError(f"cannot write {args.plot}: {err.strerror or err}") from err
    return 0


def _show_warning(
    message: Warning | str,
    category: type[Warning],
    filename: str,
    lineno: int,
    file: Any = None,
    line: str | None = None,
) -> None:
    """Warnings as the command's own one-line messages."""
    print(f"qor: warning: {message}", file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    parser = build_parser()
    try:
        with warnings.catch_warnings():
            warnings.showwarning = _show_warning
            args = parser.parse_args(argv)
            return mine_command(args)
    except UsageError as err:
        print(f"qor: error: {err}", file=sys.stderr)
        return EXIT_USAGE
    except MemoryError:
        print(
            "qor: error: out of memory; try a larger --seglen, a larger --minsup or a --max-len",
            file=sys.stderr,
        )
        return EXIT_FAILURE
    except KeyboardInterrupt:
        print("qor: interrupted", file=sys.stderr)
        sys.stdout.flush()
        sys.stderr.flush()
        # Leave without waiting for an abandoned computation to finish.
        os._exit(EXIT_INTERRUPTED)
