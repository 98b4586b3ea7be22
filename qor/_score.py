"""Scores and orders for lists of motifs."""

from __future__ import annotations

import math
from collections.abc import Iterable
from typing import Literal

import numpy as np

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
    rep = np.asarray(motif.representative, dtype=np.float64)
    rep = rep[~np.isnan(rep)]
    spread = float(rep.std()) if rep.size else 0.0
    naed = float(motif.naed)
    if not spread > 0.0 or math.isnan(naed):
        return math.inf
    return naed / spread


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
    keys = [score(m, by) for m in items]
    order = sorted(range(len(items)), key=lambda i: math.inf if math.isnan(keys[i]) else keys[i])
    return [items[i] for i in order]
