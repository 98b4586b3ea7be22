"""One call from a collection of series to ranked motifs."""

from __future__ import annotations

import math
import numbers
from collections.abc import Sequence
from typing import SupportsFloat

import numpy as np
import numpy.typing as npt

from _qor_cpp import Miner, Motif
from qor._score import RANKINGS, RankBy, rank

type Collection = npt.NDArray[np.floating] | Sequence[npt.ArrayLike] | Sequence[Sequence[SupportsFloat]]

#: Letters per word that the default ``seglen`` aims at.
WORD_LETTERS = 32
DEFAULT_ALPHABET = 4
DEFAULT_MINSUP = 0.5


def default_seglen(series: Collection) -> int:
    """A ``seglen`` for data you have not looked at yet: words of about 32 letters.

    It is the median series length divided by 32, rounded, and at least 1. With
    the default ``min_len`` of 3, the shortest motif then spans about a tenth of
    a typical series. For shapes of a known width ``w`` samples, ``w / 8`` is a
    better choice (a motif of 8 letters).

    >>> default_seglen([[0.0] * 251, [0.0] * 260])
    8
    """
    return seglen_for_lengths([len(s) for s in series])  # type: ignore[arg-type]


def seglen_for_lengths(lengths: Sequence[int]) -> int:
    """:func:`default_seglen` of a collection whose series have these lengths."""
    if not lengths:
        return 1
    return max(1, round(float(np.median(lengths)) / WORD_LETTERS))


def _as_float64(series: Collection) -> npt.NDArray[np.float64] | list[npt.NDArray[np.float64]]:
    """The collection as the engine reads it fastest: one float64 block, or one array per series."""
    if isinstance(series, np.ndarray) and series.ndim == 2:
        if np.iscomplexobj(series):
            raise TypeError("complex series are not supported")
        return np.ascontiguousarray(series, dtype=np.float64)
    out = []
    for i, s in enumerate(series):
        a = np.asarray(s)
        if np.iscomplexobj(a):
            raise TypeError(f"series {i} is complex; only real samples are supported")
        if a.ndim != 1:
            raise ValueError(f"series {i} has {a.ndim} dimensions; each series must be 1-D")
        out.append(np.ascontiguousarray(a, dtype=np.float64))
    return out


def mine(
    series: Collection,
    *,
    seglen: int | None = None,
    alphabet: int = DEFAULT_ALPHABET,
    minsup: float = DEFAULT_MINSUP,
    min_len: int = 3,
    max_len: int = 0,
    max_overlap: float = 0.9,
    top: int | None = None,
    rank_by: RankBy = "relative_naed",
) -> list[Motif]:
    """Find the motifs of a collection of series, best first.

    Parameters
    ----------
    series
        The collection: a 2-D array (one series per row), or a sequence of 1-D
        arrays or lists (lengths may differ). NaN samples are allowed.
    seglen
        Samples per SAX letter; ``None`` picks :func:`default_seglen`.
    alphabet, minsup, min_len, max_len, max_overlap
        As for :class:`qor.Miner`: letters (2 to 10), the share of series a
        pattern must occur in, the shortest and longest pattern in letters
        (``max_len`` 0: no limit), and the overlap above which a pattern that
        repeats a longer one is dropped.
    top
        How many motifs to return (``None``: all of them).
    rank_by
        ``"relative_naed"`` (the default: shapes first) or ``"naed"`` (the
        engine's own order). See :func:`qor.relative_naed`.

    Returns
    -------
    list of Motif
        Ranked, best first.

    Examples
    --------
    >>> import numpy as np, qor
    >>> rng = np.random.default_rng(0)
    >>> x = rng.normal(size=(20, 400))
    >>> for row, start in zip(x, rng.integers(0, 336, size=20)):
    ...     row[start:start + 64] += 4 * np.sin(np.linspace(0, 2 * np.pi, 64))
    >>> best = qor.mine(x, seglen=8, alphabet=5, minsup=0.8, top=3)
    >>> len(best)
    3
    """
    if rank_by not in RANKINGS:
        raise ValueError(f"unknown ranking {rank_by!r}: choose one of {', '.join(RANKINGS)}")
    if top is not None and top < 0:
        raise ValueError(f"top must be at least 0, got {top}")
    if isinstance(minsup, bool) or not isinstance(minsup, numbers.Real) or not math.isfinite(minsup):
        raise ValueError(f"minsup must be a finite number, got {minsup!r}")
    if not 2 <= alphabet <= 10:
        raise ValueError(f"alphabet must be between 2 and 10, got {alphabet}")
    if isinstance(series, np.ndarray) and series.ndim != 2:
        raise ValueError(
            "series must be a 2-D array (one series per row) or a list of series, "
            f"not a {series.ndim}-D array"
        )
    samples = _as_float64(series)
    if seglen is None:
        seglen = default_seglen(samples)
    if isinstance(seglen, bool) or seglen < 1:
        raise ValueError(f"seglen must be at least 1, got {seglen}")
    miner = Miner(float(minsup), seglen, alphabet, min_len, max_len, max_overlap, 0)
    ranked = rank(miner.mine(samples), rank_by)
    return ranked if top is None else ranked[:top]
