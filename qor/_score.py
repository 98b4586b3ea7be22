"""Scores and orders for lists of motifs."""

from __future__ import annotations

import itertools
import math
from collections.abc import Iterable, Sequence
from typing import Literal

import numpy as np
import numpy.typing as npt

import _qor_engine
from _qor_cpp import Motif

RankBy = Literal["relative_naed", "naed"]
RANKINGS: tuple[RankBy, ...] = ("relative_naed", "naed")


def relative_naed(motif: Motif) -> float:
    """How far a motif's best matches stray from its shape, relative to the shape's size.

    ``relative_naed = naed / sd(representative)``, where ``sd`` is the population
    standard deviation of the representative's non-NaN samples. Lower is better.

    ``naed`` alone measures the spread of the best matches around the
    representative in absolute units of the z-normalised series. A flat stretch
    of noise that occurs many times per series gets a small ``naed``: its best
    match is the minimum over many windows, all close to a flat mean. Dividing
    by the representative's own spread puts that distance on the scale of the
    shape: a real, recurring shape (a peak, a step, a cycle) has a wide
    representative and scores low, while a flat motif, whose representative
    barely moves, scores high. A representative with no spread (or no samples)
    scores ``inf``; so does a motif whose ``naed`` is NaN.

    >>> import qor
    >>> m = qor.Miner(1.0, 1, 3).mine([[-1.0, 0.0, 1.0]])[0]
    >>> round(qor.relative_naed(m), 6)
    0.0
    """
    return float(_relative_naeds([motif])[0])


def _relative_naeds(motifs: Sequence[Motif]) -> npt.NDArray[np.float64]:
    """:func:`relative_naed` of each motif, computed together: a few array
    passes over all the representatives rather than a few per motif."""
    if all(type(motif) is Motif for motif in motifs):
        # Straight from the engine's records: reading .representative makes a
        # Python float of every sample, most of the time of a ranking.
        return _qor_engine.relative_naeds(motifs)
    # The same sums, in the same order, for records of any other kind.
    reps = [motif.representative for motif in motifs]
    sizes = np.fromiter(map(len, reps), dtype=np.intp, count=len(reps))
    samples = np.fromiter(itertools.chain.from_iterable(reps), dtype=np.float64, count=int(sizes.sum()))
    naed = np.fromiter((float(motif.naed) for motif in motifs), dtype=np.float64, count=len(reps))
    owner = np.repeat(np.arange(len(sizes)), sizes)
    real = ~np.isnan(samples)
    samples, owner = samples[real], owner[real]
    n = len(sizes)
    count = np.bincount(owner, minlength=n).astype(np.float64)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.bincount(owner, weights=samples, minlength=n) / count
        gap = samples - mean[owner]
        spread = np.sqrt(np.bincount(owner, weights=gap * gap, minlength=n) / count)
        # No spread (or no samples, or a NaN naed): inf.
        return np.where((spread > 0.0) & ~np.isnan(naed), naed / spread, math.inf)


def score(motif: Motif, by: RankBy) -> float:
    """The value of ``motif`` in the ranking ``by`` (``"relative_naed"`` or ``"naed"``)."""
    if by == "relative_naed":
        return relative_naed(motif)
    if by == "naed":
        return float(motif.naed)
    raise ValueError(f"unknown ranking {by!r}: choose one of {', '.join(RANKINGS)}")


def rank(motifs: Iterable[Motif], by: RankBy = "relative_naed") -> list[Motif]:
    """The motifs in ascending order of ``by``, a new list.

    Equal scores keep the order they came in (the engine's order, for the
    result of ``Miner.mine``); NaN and ``inf`` scores go last.
    """
    items = list(motifs)
    if by == "relative_naed":
        keys = _relative_naeds(items).tolist()
    else:
        keys = [score(m, by) for m in items]
    order = sorted(range(len(items)), key=lambda i: math.inf if math.isnan(keys[i]) else keys[i])
    return [items[i] for i in order]
