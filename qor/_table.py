"""Motifs as records, text tables, JSON, CSV and DataFrames."""

from __future__ import annotations

import csv
import io
import math
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

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
        for row, average in zip(rows, _averages_of(motifs), strict=True):
            row["average_occurrences"] = average
    return rows


def _averages_of(motifs: Sequence[Motif]) -> list[dict[int, list[float]]]:
    """Each motif's ``average_occurrences``; those computed by a cluster, one pass per cluster."""
    out: list[dict[int, list[float]] | None] = [None] * len(motifs)
    by_source: dict[int, tuple[Any, list[int]]] = {}
    for i, m in enumerate(motifs):
        source = _engine.row_source(m)
        if hasattr(source, "many"):
            by_source.setdefault(id(source), (source, []))[1].append(i)
        else:
            out[i] = m.average_occurrences
    for source, where in by_source.values():
        for i, average in zip(where, source.many([motifs[i] for i in where]), strict=True):
            out[i] = average
    return [a if a is not None else {} for a in out]


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


def _json(value: Any, *, indent: bool = False) -> str:
    """``value`` as JSON text: dict keys as strings, NaN and infinities as null.

    orjson writes the shortest text that reads back as the same float, as
    ``json`` does, about 20 times faster than its indented form: a table of
    every per-series mean window of 20,000 series takes under two seconds,
    not half a minute.
    """
    import orjson

    option = orjson.OPT_NON_STR_KEYS | orjson.OPT_SERIALIZE_NUMPY | (orjson.OPT_INDENT_2 if indent else 0)
    return orjson.dumps(value, option=option).decode()


def to_json(rows: Sequence[dict[str, Any]], **meta: Any) -> str:
    """The records as a JSON document ``{..meta, "motifs": [...]}``; NaN and infinities become null."""
    return _json({**meta, "motifs": list(rows)}, indent=True)


def to_csv(rows: Sequence[dict[str, Any]]) -> str:
    """The records as CSV, one row per motif; dict and list fields are JSON text in their cell."""
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=FIELDS, lineterminator="\n")
    writer.writeheader()
    for r in rows:
        writer.writerow({k: _json(v) if isinstance(v, (dict, list)) else v for k, v in r.items()})
    return out.getvalue()


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
    rows = records(motifs, n_series or 0)
    for r in rows:
        r["representative"] = np.asarray(r["representative"], dtype=np.float64)
        r["average_occurrences"] = {
            k: np.asarray(v, dtype=np.float64) for k, v in r["average_occurrences"].items()
        }
    frame = pd.DataFrame(rows, columns=list(FIELDS))
    return frame.set_index("rank")
