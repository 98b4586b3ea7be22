"""One call from a collection of series to ranked motifs."""

from __future__ import annotations

import math
import numbers
import os
import warnings
from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

import _qor_engine
from _qor_cpp import Miner, Motif
from qor._score import RANKINGS, RankBy, rank

type Collection = npt.NDArray[np.number[Any] | np.bool_] | Iterable[npt.ArrayLike]

#: The largest integer setting the engine takes (a 32-bit signed int).
INT32_MAX = 2**31 - 1

#: Letters per word that the default ``seglen`` aims at.
WORD_LETTERS = 32
DEFAULT_ALPHABET = 4
DEFAULT_MINSUP = 0.5


class MissingSamplesWarning(UserWarning):
    """Some series hold NaN (or infinite) samples, which make the whole series NaN once normalised.

    The engine z-normalises each series with its plain mean and standard
    deviation, so one NaN sample turns every sample of that series into NaN:
    its SAX word is all ``a`` and its windows hold no shape. Fill
    the gaps before mining (for example with ``pandas.Series.interpolate``)
    or drop those series.
    """


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


def _real_samples(values: Any, where: str) -> npt.NDArray[np.float64]:
    """``values`` as float64, if they are real numbers; ``where`` names them in errors."""
    a = np.asarray(values)
    if a.dtype.kind == "c":
        raise TypeError(f"{where} is complex; only real samples are supported")
    if a.dtype.kind == "O":
        # Python objects: numbers only, as the engine reads them (None, text and
        # complex numbers are not samples).
        for j, x in enumerate(a.flat):
            if x is None or isinstance(x, (str, bytes, complex)) or not hasattr(x, "__float__"):
                raise TypeError(f"{where}, sample {j}: {x!r} is not a real number")
        try:
            return np.asarray(a, dtype=np.float64, order="C")
        except OverflowError as err:
            raise ValueError(f"{where}: a sample does not fit a float64 ({err})") from None
    if a.dtype.kind not in "biuf":
        raise TypeError(f"{where} holds {a.dtype} values; samples must be real numbers")
    return np.asarray(a, dtype=np.float64, order="C")


type _Samples = npt.NDArray[np.float64] | list[npt.NDArray[np.float64]]


def _read(series: Collection) -> tuple[_Samples, list[int], int]:
    """The collection as the engine reads it fastest, each series' length, and
    how many series the engine normalises to NaN throughout.

    Those are the series whose sum, added in order as the engine adds it, is
    not finite (a NaN or infinite sample, or finite samples whose sum
    overflows): the mean is then not finite, nor is any normalised sample.
    """
    if hasattr(series, "columns") and hasattr(series, "to_numpy"):
        raise TypeError(
            "a pandas DataFrame does not say which way its series run: pass df.to_numpy() "
            "for one series per row, or df.T.to_numpy() for one series per column"
        )
    if isinstance(series, np.ndarray):
        block = _real_samples(series, "the array")
        n, m = block.shape
        ends = np.arange(1, n + 1, dtype=np.int64) * m
        return block, [m] * n, _qor_engine.blanked_rows(block.reshape(-1), ends)
    # Lists and tuples of Python numbers: read by the engine's own reader into
    # one array, far faster than NumPy's conversion of each list. (Not other
    # sequences: a pandas Series, say, reads by label where NumPy reads by
    # position.)
    collected = None
    if isinstance(series, (list, tuple)) and all(type(s) is list or type(s) is tuple for s in series):
        collected = _qor_engine.collect(series)
    if collected is not None:
        flat, ends = collected
        if not len(ends):
            return [], [], 0
        lengths = np.diff(ends, prepend=0)
        blanked = _qor_engine.blanked_rows(flat, ends)
        if lengths[0] > 0 and (lengths == lengths[0]).all():
            return flat.reshape(len(lengths), int(lengths[0])), lengths.tolist(), blanked
        return np.split(flat, ends[:-1]), lengths.tolist(), blanked
    # Rows that are already 1-D float64 arrays (what qor.load returns) go to the
    # engine as they are, checked in one call.
    checked = _qor_engine.float_rows(series)
    if checked is not None:
        lengths, blanked = checked
        return list(series), lengths.tolist(), blanked
    # Anything else (arrays, generators, or samples the reader refuses): series
    # by series, with NumPy, which also says what is wrong with them. Rows that
    # are already 1-D float64 arrays go to the engine as they are, uncopied.
    out = []
    for i, s in enumerate(series):
        if type(s) is np.ndarray and s.dtype == np.float64 and s.ndim == 1 and s.flags.c_contiguous:
            a = s
        else:
            a = _real_samples(s, f"series {i}")
            if a.ndim != 1:
                raise ValueError(f"series {i} has {a.ndim} dimensions; each series must be 1-D")
        out.append(a)
    checked = _qor_engine.float_rows(out)
    assert checked is not None  # every row is now a 1-D, C-contiguous float64 ndarray
    return out, checked[0].tolist(), checked[1]


# The warning names the caller's line: the first frame outside this package.
_PACKAGE = (os.path.dirname(__file__) + os.sep,)


def _warn_missing(blanked: int, series: int) -> None:
    """Warns (MissingSamplesWarning) when NaN or infinite samples blank out ``blanked`` of the series."""
    if blanked:
        warnings.warn(
            MissingSamplesWarning(
                f"{blanked} of {series} series hold NaN or infinite samples (or samples whose sum "
                "overflows); the engine normalises each of them to NaN throughout, so they show no "
                "shape (their words are all 'a'): fill the gaps first (e.g. with pandas' "
                "Series.interpolate) or drop those series"
            ),
            skip_file_prefixes=_PACKAGE,
        )


def _int_setting(name: str, value: object, low: int, high: int = INT32_MAX) -> int:
    """``value`` as an int setting of the engine, from ``low`` to ``high``."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if high == INT32_MAX and int(value) < low:
        raise ValueError(f"{name} must be at least {low}, got {value}")
    if not low <= int(value) <= high:
        raise ValueError(f"{name} must be between {low} and {high}, got {value}")
    return int(value)


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
        arrays or lists (lengths may differ) of real numbers. A series with a
        NaN sample is NaN throughout once normalised and shows no shape:
        ``mine`` then warns (:class:`MissingSamplesWarning`).
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

    Raises
    ------
    TypeError
        Samples that are not real numbers, or a pandas DataFrame (pass
        ``df.to_numpy()`` or ``df.T.to_numpy()``).
    ValueError
        A setting out of range, or a series that is not 1-D.

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
    alphabet = _int_setting("alphabet", alphabet, 2, 10)
    min_len = _int_setting("min_len", min_len, 1)
    max_len = _int_setting("max_len", max_len, 0)
    if isinstance(series, np.ndarray) and series.ndim != 2:
        raise ValueError(
            "series must be a 2-D array (one series per row) or a list of series, "
            f"not a {series.ndim}-D array"
        )
    samples, lengths, blanked = _read(series)
    seglen = _int_setting("seglen", seglen_for_lengths(lengths) if seglen is None else seglen, 1)
    _warn_missing(blanked, len(lengths))
    miner = Miner(float(minsup), seglen, alphabet, min_len, max_len, max_overlap, 0)
    ranked = rank(miner.mine(samples), rank_by)
    return ranked if top is None else ranked[:top]
