"""Figures of mined motifs: the best match in each series, the mean shape, and where they occur.

matplotlib is an optional extra (``pip install "qor[plot]"``); it is imported
when a figure is drawn, never when qor is imported.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from qor._score import relative_naed

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure, SubFigure

    from _qor_cpp import Motif

__all__ = ["plot_motifs"]

FloatArray = NDArray[np.float64]

# Geometry and style of a figure. Sizes are in inches and points.
_FIG_WIDTH = 13.0
_ROW_HEIGHT = 2.9
_HEADER_HEIGHT = 0.45
_DPI = 120
_WINDOW_COLOR = "tab:blue"
_REPRESENTATIVE_COLOR = "black"
_OCCURRENCE_COLOR = "0.62"
_MAX_PATTERN_CHARS = 60


@dataclass(frozen=True)
class _Row:
    """What one motif's row shows, read from the motif once."""

    rank: int
    pattern: str
    length: int
    naed: float
    relative_naed: float
    representative: FloatArray
    occurrences: dict[int, list[int]]  # series -> sample starts of every occurrence
    best: dict[int, int]  # series -> sample start of the best match


def _as_collection(series: Sequence[ArrayLike] | NDArray[Any]) -> list[FloatArray]:
    """The series as a list of 1-D float64 arrays, read the way the miner reads them."""
    if hasattr(series, "columns") and hasattr(series, "to_numpy"):
        raise TypeError(
            "series: a pandas DataFrame does not say which way its series run: pass df.to_numpy() "
            "for one series per row, or df.T.to_numpy() for one series per column"
        )
    if isinstance(series, np.ndarray) and series.ndim != 2:
        raise TypeError(
            f"series: expected a 2-D array or a list of 1-D sequences, got a {series.ndim}-D array"
        )
    rows = [np.asarray(s, dtype=np.float64) for s in series]
    for i, row in enumerate(rows):
        if row.ndim != 1:
            raise TypeError(f"series[{i}]: expected a 1-D sequence of floats, got shape {row.shape}")
    return rows


def _znormalise(x: FloatArray) -> FloatArray:
    """(x - mean) / population std, as the miner sees a series: any NaN, or a constant
    series, gives all NaN."""
    if x.size == 0:
        return x.copy()
    with np.errstate(all="ignore"):  # NaN where the arithmetic fails, without a word
        return np.asarray((x - x.mean()) / x.std(), dtype=np.float64)


def _window(z: FloatArray, start: int, length: int) -> FloatArray:
    """``length`` samples of ``z`` from ``start``, NaN past its end."""
    out = np.full(length, np.nan)
    part = z[start : start + length]
    out[: part.size] = part
    return out


def _read(motif: Motif, rank: int, n_series: int) -> _Row:
    """Read every field the figure needs from ``motif`` (each read of a motif copies)."""
    pattern = str(motif.pattern)
    length = int(motif.length)
    seglen = length // len(pattern) if pattern else 0
    indexes: dict[int, list[int]] = {int(k): [int(p) for p in v] for k, v in motif.indexes.items()}
    best: dict[int, int] = {int(k): int(v) for k, v in motif.best_matches.items()}
    outside = sorted(k for k in set(indexes) | set(best) if not 0 <= k < n_series)
    if outside:
        raise ValueError(
            f"motif {pattern!r} occurs in series {outside[0]}, but the collection has {n_series} series: "
            "pass the series that were mined"
        )
    return _Row(
        rank=rank,
        pattern=pattern,
        length=length,
        naed=float(motif.naed),
        relative_naed=relative_naed(motif),
        representative=np.asarray(motif.representative, dtype=np.float64).reshape(-1),
        occurrences={k: [p * seglen for p in v] for k, v in sorted(indexes.items())},
        best=dict(sorted(best.items())),
    )


def _title(row: _Row, n_series: int) -> str:
    pattern = row.pattern
    if len(pattern) > _MAX_PATTERN_CHARS:
        pattern = pattern[: _MAX_PATTERN_CHARS - 1] + "\u2026"
    n_occurrences = sum(len(v) for v in row.occurrences.values())
    return (
        f"#{row.rank}  '{pattern}'    relative naed {row.relative_naed:.3g}    naed {row.naed:.3g}    "
        f"({len(row.occurrences)}/{n_series} series, {n_occurrences} occurrences, {row.length} samples)"
    )


def _draw_windows(ax: Axes, row: _Row, collection: list[FloatArray], zcache: dict[int, FloatArray]) -> None:
    """Left panel: the best-match window of each series (in series order), then the
    representative over them."""
    import matplotlib as mpl
    from matplotlib.collections import LineCollection

    x = np.arange(row.length, dtype=np.float64)
    # Fainter lines the more series there are, so the common shape shows through.
    alpha = min(0.6, max(0.05, 6.0 / max(len(row.best), 1)))
    # One collection of all the windows, drawn in series order as single
    # lines would be (a line object per series costs a millisecond each):
    # each window's stretches of real samples, broken where it is NaN.
    lines = []
    for k, start in row.best.items():
        if k not in zcache:
            zcache[k] = _znormalise(collection[k])
        y = _window(zcache[k], start, row.length)
        edges = np.flatnonzero(np.diff(np.concatenate([[False], ~np.isnan(y), [False]]).astype(np.int8)))
        lines += [np.column_stack([x[a:b], y[a:b]]) for a, b in zip(edges[::2], edges[1::2], strict=True)]
    ax.add_collection(
        LineCollection(
            lines,
            colors=_WINDOW_COLOR,
            linewidths=0.8,
            alpha=alpha,
            capstyle=mpl.rcParams["lines.solid_capstyle"],
            joinstyle=mpl.rcParams["lines.solid_joinstyle"],
        )
    )
    ax.plot(x[: row.representative.size], row.representative, color=_REPRESENTATIVE_COLOR, lw=2.6)
    ax.autoscale_view()
    ax.set_xlim(0, max(row.length - 1, 1))
    ax.set_xlabel("sample in window", fontsize=10)
    ax.set_ylabel("z-normalised value", fontsize=10)
    ax.tick_params(labelsize=9)
    ax.grid(alpha=0.25)


def _draw_occurrences(ax: Axes, row: _Row, lengths: list[int], axes_height_pt: float) -> None:
    """Right panel: a horizontal segment per occurrence at the height of its series, the
    best matches drawn over the others in the window colour."""
    from matplotlib.collections import LineCollection
    from matplotlib.ticker import MaxNLocator

    n = len(lengths)
    # One segment per series should fill most of its slot, but never vanish.
    lw = min(6.0, max(0.4, 0.7 * axes_height_pt / max(n, 1)))
    others = [
        ((s, k), (s + row.length, k))
        for k, starts in row.occurrences.items()
        for s in starts
        if s != row.best.get(k)
    ]
    best = [((s, k), (s + row.length, k)) for k, s in row.best.items()]
    ax.add_collection(LineCollection(others, colors=_OCCURRENCE_COLOR, linewidths=lw, capstyle="butt"))
    ax.add_collection(LineCollection(best, colors=_WINDOW_COLOR, linewidths=lw, capstyle="butt"))
    ends = [s + row.length for starts in row.occurrences.values() for s in starts]
    ends += [s + row.length for s in row.best.values()]
    ax.set_xlim(0, max([*lengths, *ends, 1]))
    ax.set_ylim(-0.5, max(n, 1) - 0.5)
    ax.yaxis.set_major_locator(MaxNLocator(integer=True))
    ax.set_xlabel("sample", fontsize=10)
    ax.set_ylabel("series", fontsize=10)
    ax.tick_params(labelsize=9)
    ax.grid(axis="x", alpha=0.25)


def plot_motifs(
    motifs: Iterable[Motif],
    series: Sequence[ArrayLike] | NDArray[Any],
    top: int | None = 5,
    path: str | os.PathLike[str] | None = None,
    *,
    title: str | None = None,
) -> Figure:
    """Draw the first ``top`` motifs: their best matches, mean shape and occurrences.

    Each motif gets one row of two panels. On the left, the best-match window
    of every series that holds the motif, z-normalised as the miner sees it
    (NaN past a series' end), as thin translucent lines, with the motif's
    representative drawn over them in bold. On the right, a strip with one
    row per series (series 0 at the bottom) and a segment over the samples of
    every occurrence; the best match of each series is drawn in the colour of
    the windows on the left. The row's title gives the rank, the pattern, the
    ``relative_naed`` and ``naed``, and how many series hold the motif.

    Parameters
    ----------
    motifs : iterable of Motif
        Motifs in the order to draw them, e.g. ``qor.rank(miner.mine(series))``.
    series : list of 1-D sequences, or 2-D array
        The collection the motifs were mined from.
    top : int or None, default 5
        Draw at most this many motifs, the first ones; ``None`` draws all.
    path : str or path-like, optional
        Save the figure there at 120 dpi, in the format of the extension
        (without one: PNG, ``.png`` appended), and close it. The figure is
        returned either way.
    title : str, optional
        A title over the whole figure.

    Returns
    -------
    matplotlib.figure.Figure
        Two axes per motif drawn, left then right, row by row. With no motif
        to draw, a figure without axes that says so.

    Raises
    ------
    ImportError
        matplotlib is not installed.
    ValueError
        ``top`` is negative, a drawn motif occurs in a series that ``series``
        does not have, or matplotlib has no writer for ``path``'s extension.
    TypeError
        ``series`` is not a collection of 1-D sequences (a pandas DataFrame
        is refused: pass ``df.to_numpy()`` or ``df.T.to_numpy()``).
    OSError
        ``path`` cannot be written. The figure is closed whenever saving fails.

    Examples
    --------
    >>> import numpy as np, qor
    >>> from qor.plot import plot_motifs
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(20, 300))
    >>> for row in X:
    ...     s = rng.integers(0, 236)
    ...     row[s:s + 64] += 3 * np.sin(np.linspace(0, 2 * np.pi, 64))
    >>> motifs = qor.rank(qor.Miner(0.8, 8, 5).mine(X))
    >>> fig = plot_motifs(motifs, X, top=3, path="motifs.png")  # doctest: +SKIP
    >>> len(plot_motifs(motifs, X, top=3).axes)
    6
    """
    try:
        import matplotlib.pyplot as plt
        from matplotlib.lines import Line2D
    except ImportError as exc:
        raise ImportError('plot_motifs needs matplotlib: pip install "qor[plot]"') from exc

    if top is not None and top < 0:
        raise ValueError(f"top must be None or >= 0, got {top}")
    collection = _as_collection(series)
    chosen = list(motifs)
    if top is not None:
        chosen = chosen[:top]
    # Read and check everything before any figure exists, so an error leaves none behind.
    rows = [_read(m, i + 1, len(collection)) for i, m in enumerate(chosen)]

    header = _HEADER_HEIGHT + (0.35 if title else 0.0)
    height = header + _ROW_HEIGHT * max(len(rows), 1)
    fig = plt.figure(figsize=(_FIG_WIDTH, height), layout="constrained")

    if not rows:
        if title:
            fig.suptitle(title, fontsize=14)
        fig.text(0.5, 0.5, "no motifs", ha="center", va="center", fontsize=16, color="0.4")
    else:
        # A band on top for the title and the legend, then one band per motif.
        grid = fig.subfigures(
            len(rows) + 1, 1, squeeze=False, height_ratios=[header] + [_ROW_HEIGHT] * len(rows)
        )
        bands: list[SubFigure] = list(grid.ravel()) if isinstance(grid, np.ndarray) else [grid]
        top_band: SubFigure = bands[0]
        if title:
            top_band.suptitle(title, fontsize=14)
        handles = [
            Line2D([], [], color=_WINDOW_COLOR, lw=1.2, label="best match in each series"),
            Line2D([], [], color=_REPRESENTATIVE_COLOR, lw=2.6, label="representative (mean shape)"),
            Line2D([], [], color=_OCCURRENCE_COLOR, lw=5, label="other occurrences"),
        ]
        top_band.legend(handles=handles, loc="lower center", ncols=3, fontsize=10, frameon=False)

        lengths = [s.size for s in collection]
        zcache: dict[int, FloatArray] = {}
        # Height of a panel, for the width of the occurrence segments: the band less
        # its title, tick labels and x label.
        axes_height_pt = max(_ROW_HEIGHT - 0.95, 0.5) * 72.0
        for band, row in zip(bands[1:], rows, strict=False):
            left, right = band.subplots(1, 2, width_ratios=[1.0, 1.7])
            band.suptitle(_title(row, len(collection)), x=0.01, ha="left", fontsize=11.5, fontweight="bold")
            _draw_windows(left, row, collection, zcache)
            _draw_occurrences(right, row, lengths, axes_height_pt)

    if path is not None:
        try:
            fig.savefig(os.fspath(path), dpi=_DPI)
        finally:
            plt.close(fig)
    return fig
