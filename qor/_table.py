"""Motifs as records, text tables, JSON, CSV and DataFrames."""

from __future__ import annotations

import csv
import io
import math
from collections.abc import Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import _qor_engine as _engine
from _qor_cpp import Motif
from qor._score import relative_naed

if TYPE_CHECKING:
    import pandas as pd

#: The fields of a motif record, in the order of tables, CSV columns and DataFrame columns.
FIELDS = (
    "rank",
    "pattern",
    "series",
    "share",
    "occurrences",
    "length",
    "seglen",
    "naed",
    "relative_naed",
    "typical_position",
    "best_matches",
    "indexes",
    "representative",
    "average_occurrences",
)


def record(motif: Motif, rank: int, n_series: int, *, averages: bool = True) -> dict[str, Any]:
    """Every field of ``motif`` in plain Python types (one read of each engine property).

    ``series`` is the number of series the motif occurs in and ``share`` that
    number over ``n_series``; ``occurrences`` counts all its windows;
    ``typical_position`` is the median sample at which its best matches start.
    With ``averages=False``, ``average_occurrences`` is None (the engine
    computes the average rows each time they are read).
    """
    indexes = motif.indexes
    best = motif.best_matches
    pattern = motif.pattern
    length = motif.length
    starts = list(best.values())
    return {
        "rank": rank,
        "pattern": pattern,
        "series": len(indexes),
        "share": len(indexes) / n_series if n_series else math.nan,
        "occurrences": sum(len(p) for p in indexes.values()),
        "length": length,
        "seglen": length // len(pattern) if pattern else 0,
        "naed": motif.naed,
        "relative_naed": relative_naed(motif),
        "typical_position": int(np.median(starts)) if starts else None,
        "best_matches": best,
        "indexes": indexes,
        "representative": motif.representative,
        # Computed by the engine each time it is read: skipped for a table.
        "average_occurrences": motif.average_occurrences if averages else None,
    }


def records(motifs: Iterable[Motif], n_series: int, *, averages: bool = True) -> list[dict[str, Any]]:
    """:func:`record` of each motif, ranked 1, 2, ... in the order given.

    The average rows of motifs mined on a Dask cluster (:mod:`qor.distributed`)
    are computed there in one pass for all of them, not one pass per motif.
    """
    motifs = list(motifs)
    rows = [record(m, i, n_series, averages=False) for i, m in enumerate(motifs, 1)]
    if averages:
        for row, table in zip(rows, _average_tables(motifs), strict=True):
            row["average_occurrences"] = _by_series(row["indexes"], table.tolist())
    return rows


def _by_series(series: Iterable[int], rows: Sequence[Any] | npt.NDArray[np.float64]) -> dict[int, Any]:
    """The rows keyed by the series they belong to (none for a motif without average rows)."""
    return dict(zip(series, rows, strict=True)) if len(rows) else {}


def _average_tables(motifs: Sequence[Motif]) -> Iterator[npt.NDArray[np.float64]]:
    """Each motif's average rows, one row per series it occurs in, in turn.

    The engine computes a motif's rows when its turn comes, so that only one
    motif's are held at a time; the rows of motifs mined on a Dask cluster
    are computed there first, in one pass per cluster for all of them.
    """
    found: dict[int, npt.NDArray[np.float64]] = {}
    by_source: dict[int, tuple[Any, list[int]]] = {}
    for i, m in enumerate(motifs):
        source = _engine.row_source(m)
        if hasattr(source, "tables"):
            by_source.setdefault(id(source), (source, []))[1].append(i)
    for source, where in by_source.values():
        found.update(zip(where, source.tables([motifs[i] for i in where]), strict=True))
    for i, m in enumerate(motifs):
        yield found.pop(i) if i in found else _engine.average_table(m)


def with_averages(rows: Iterable[dict[str, Any]], motifs: Iterable[Motif]) -> Iterator[dict[str, Any]]:
    """The records of ``motifs``, each with its motif's average rows as float64 arrays
    keyed by series, computed as each record is reached where it has none."""
    rows, motifs = list(rows), list(motifs)
    missing = [m for r, m in zip(rows, motifs, strict=True) if r["average_occurrences"] is None]
    tables = _average_tables(missing)
    for r in rows:
        if r["average_occurrences"] is None:
            r = {**r, "average_occurrences": _by_series(r["indexes"], next(tables))}
        yield r


def _number(x: float, digits: int) -> str:
    if math.isnan(x):
        return "nan"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return f"{x:.{digits}g}"


def format_table(rows: Sequence[dict[str, Any]]) -> str:
    """A plain-text table of motif records, one line per motif."""
    header = ["rank", "pattern", "series", "share", "length", "naed", "rel. naed", "typical start"]
    body = [
        [
            str(r["rank"]),
            r["pattern"],
            str(r["series"]),
            f"{100 * r['share']:.0f}%" if not math.isnan(r["share"]) else "-",
            str(r["length"]),
            _number(r["naed"], 4),
            _number(r["relative_naed"], 4),
            "-" if r["typical_position"] is None else str(r["typical_position"]),
        ]
        for r in rows
    ]
    widths = [max(len(c) for c in col) for col in zip(header, *body, strict=True)]
    left = {1}  # the pattern column reads best left-aligned
    lines = []
    for cells in [header, *body]:
        padded = (
            c.ljust(w) if i in left else c.rjust(w)
            for i, (c, w) in enumerate(zip(cells, widths, strict=True))
        )
        lines.append("  ".join(padded))
    return "\n".join(line.rstrip() for line in lines)


def _json(value: Any, *, indent: bool = False) -> bytes:
    """``value`` as JSON text: dict keys as strings, NaN and infinities as null.

    orjson writes the shortest text that reads back as the same float, as
    ``json`` does, about 20 times faster than its indented form, and reads
    float64 arrays (as average rows come) without making a Python float of
    each value.
    """
    import orjson

    option = orjson.OPT_NON_STR_KEYS | orjson.OPT_SERIALIZE_NUMPY | (orjson.OPT_INDENT_2 if indent else 0)
    return orjson.dumps(value, option=option)


_NONE = object()  # no record


def json_parts(rows: Iterable[dict[str, Any]], **meta: Any) -> Iterator[bytes]:
    """:func:`to_json`'s text, UTF-8, in pieces: one per record, made as it is reached."""
    rows = iter(rows)
    first = next(rows, _NONE)
    if first is _NONE or "motifs" in meta:  # nothing to cut in; or the key holds its place in meta
        yield _json({**meta, "motifs": [] if first is _NONE else [first, *rows]}, indent=True)
        return
    # The document around one record, cut where the records go: each record
    # is indented as it is in the document, two levels deep.
    head = _json({**meta, "motifs": [0]}, indent=True)
    tail = b"0\n  ]\n}"
    yield head[: -len(tail)]
    yield _json(first, indent=True).replace(b"\n", b"\n    ")
    for row in rows:
        yield b",\n    " + _json(row, indent=True).replace(b"\n", b"\n    ")
    yield tail[1:]


def to_json(rows: Iterable[dict[str, Any]], **meta: Any) -> str:
    """The records as a JSON document ``{..meta, "motifs": [...]}``; NaN and infinities become null."""
    return b"".join(json_parts(rows, **meta)).decode()


def _csv_cell(value: Any) -> bytes:
    """One CSV cell as the ``csv`` module writes it (a dict or list as JSON text)."""
    if isinstance(value, (dict, list)):
        # JSON text holds no line breaks: it needs quotes for commas and quotes alone.
        text = _json(value)
        return b'"' + text.replace(b'"', b'""') + b'"' if b"," in text or b'"' in text else text
    out = io.StringIO()
    csv.writer(out, lineterminator="\n").writerow([value])
    cell = out.getvalue()[:-1]
    # An empty cell alone in a row is quoted; among others it is not.
    return b"" if cell == '""' else cell.encode()


def csv_parts(rows: Iterable[dict[str, Any]]) -> Iterator[bytes]:
    """:func:`to_csv`'s text, UTF-8, in pieces: the header, then one per record."""
    yield ",".join(FIELDS).encode() + b"\n"
    for r in rows:
        if extra := [k for k in r if k not in FIELDS]:
            raise ValueError(f"dict contains fields not in fieldnames: {', '.join(map(repr, extra))}")
        yield b",".join(_csv_cell(r.get(k)) for k in FIELDS) + b"\n"


def to_csv(rows: Iterable[dict[str, Any]]) -> str:
    """The records as CSV, one row per motif; dict and list fields are JSON text in their cell."""
    return b"".join(csv_parts(rows)).decode()


def to_frame(motifs: Iterable[Motif], n_series: int | None = None) -> pd.DataFrame:
    """The motifs as a pandas DataFrame, one row per motif, in the order given.

    Columns: ``rank``, ``pattern``, ``series``, ``share``, ``occurrences``,
    ``length``, ``seglen``, ``naed``, ``relative_naed``, ``typical_position``,
    and the per-series fields ``best_matches`` and ``indexes`` (dicts),
    ``representative`` (a float64 array) and ``average_occurrences`` (a dict
    of arrays). ``share`` needs ``n_series``, the size of the mined collection
    (NaN without it).

    Requires pandas (``pip install "qor[pandas]"``).

    >>> import qor
    >>> frame = qor.to_frame(qor.Miner(1.0, 1, 3).mine([[-1.0, 0.0, 1.0]]), n_series=1)
    >>> frame[["pattern", "series", "share", "length"]].to_dict("records")
    [{'pattern': 'abc', 'series': 1, 'share': 1.0, 'length': 3}]
    """
    try:
        import pandas as pd
    except ImportError as err:  # pragma: no cover - depends on the environment
        raise ImportError('qor.to_frame needs pandas: pip install "qor[pandas]"') from err
    motifs = list(motifs)
    rows = records(motifs, n_series or 0, averages=False)
    for r, table in zip(rows, _average_tables(motifs), strict=True):
        r["representative"] = np.asarray(r["representative"], dtype=np.float64)
        r["average_occurrences"] = _by_series(r["indexes"], list(table))
    frame = pd.DataFrame(rows, columns=list(FIELDS))
    return frame.set_index("rank")
