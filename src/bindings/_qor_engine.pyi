# Types of _qor_engine, the internal extension module that runs the steps of
# Miner.mine on parts of a collection (for qor.distributed), and reads what
# qor.mine and qor.rank take (lists of series, the motifs' representatives).
from collections.abc import Callable, Sequence
from typing import Any, Literal, overload

import numpy as np
import numpy.typing as npt

from _qor_cpp import Motif

_Chunk = npt.NDArray[np.float64] | list[npt.NDArray[np.float64]]

# The occurrences of the motifs in series [first, ...) of a collection, an
# entry per (motif, series): (first, seglen, then per run of entries of one
# motif with consecutive rows: motif, first row, window length, entries; then
# per entry: its series as the step from the entry before in its run (from
# first for a run's first entry), its number of positions; then the
# positions). The per-entry arrays come in the smallest of uint8, uint16 and
# int32 that holds them, and are read in any integer type.
Occurrences = tuple[
    int,
    int,
    npt.NDArray[np.int32],
    npt.NDArray[np.int32],
    npt.NDArray[np.int32],
    npt.NDArray[np.int32],
    npt.NDArray[np.integer[Any]],
    npt.NDArray[np.integer[Any]],
    npt.NDArray[np.integer[Any]],
]
# (offset of each run's representative, the representatives)
Representatives = tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]
# fetch(motif): a motif's average rows, flat
_Fetch = Callable[[Motif], npt.NDArray[np.float64]]

def check_alphabet(alphabet: int) -> None: ...

# threads: the engine's threads for the call (0: QOR_NUM_THREADS or every CPU)
# A chunk's scales: the mean and standard deviation by which each series was
# z-normalised, an (n, 2) array that discretise(scales=True) gives and the
# other calls take to normalise the same series in fewer passes.
_Scales = npt.NDArray[np.float64]

@overload
def discretise(
    chunk: _Chunk, seglen: int, alphabet: int, threads: int = 0, scales: Literal[False] = False
) -> tuple[npt.NDArray[np.int8], npt.NDArray[np.int64]]: ...
@overload
def discretise(
    chunk: _Chunk, seglen: int, alphabet: int, threads: int = 0, *, scales: Literal[True]
) -> tuple[npt.NDArray[np.int8], npt.NDArray[np.int64], _Scales]: ...
def average_rows(
    chunk: _Chunk, occurrences: Occurrences, threads: int = 0, scales: _Scales | None = None
) -> npt.NDArray[np.float64]: ...
def occurrences(motifs: Sequence[Motif], first: int, last: int) -> Occurrences: ...
def row_source(motif: Motif) -> _Fetch | None: ...
# qor.relative_naed of each motif: naed over the population standard deviation
# of the representative's non-NaN samples (inf where that is 0 or naed is NaN).
def relative_naeds(motifs: Sequence[Motif]) -> npt.NDArray[np.float64]: ...

# A motif's average rows, one row per series it occurs in (in the order of its
# indexes): Motif.average_occurrences as one (series, length) float64 array.
def average_table(motif: Motif) -> npt.NDArray[np.float64]: ...

class Normalised:
    """A partition's z-normalised series, as the engine holds them."""

    def __len__(self) -> int: ...

def normalise(chunk: _Chunk, threads: int = 0, scales: _Scales | None = None) -> Normalised: ...

# data: a partition's Normalised series, or the series themselves
def add_average_rows(
    data: Normalised | _Chunk,
    occurrences: Occurrences,
    offsets: npt.NDArray[np.int64],
    sums: npt.NDArray[np.float64],
    counts: npt.NDArray[np.float64],
    threads: int = 0,
    scales: _Scales | None = None,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
def representatives(
    offsets: npt.NDArray[np.int64],
    rows: npt.NDArray[np.int64],
    sums: npt.NDArray[np.float64],
    counts: npt.NDArray[np.float64],
) -> npt.NDArray[np.float64]: ...
def best_matches(
    chunk: _Chunk,
    occurrences: Occurrences,
    representatives: Representatives,
    threads: int = 0,
    scales: _Scales | None = None,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]: ...

# Lists and tuples of lists and tuples of numbers: (samples, each series' end), or None.
def collect(series: object) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]] | None: ...

# A list or tuple of 1-D, C-contiguous float64 arrays: (each one's length, how many
# normalise to NaN throughout: their sum, added in order, is not finite), or None.
def float_rows(series: object) -> tuple[npt.NDArray[np.int64], int] | None: ...

# The same count for the rows samples[ends[i - 1]:ends[i]] (from 0 for i = 0).
def blanked_rows(samples: npt.NDArray[np.float64], ends: npt.NDArray[np.int64]) -> int: ...

# The rows of ASCII text, each a new array (delimiter None:
# runs of whitespace; longest: the most characters a cell may have, 0 for any), or
# None where qor.load's own reader must take the text.
def text_rows(
    text: bytes | memoryview, delimiter: str | None, label_column: int | None, longest: int
) -> list[npt.NDArray[np.float64]] | None: ...

class Plan:
    def __init__(
        self,
        minsup: float,
        seglen: int,
        alphabet: int,
        min_len: int,
        max_len: int,
        max_overlap: float,
        k: int,
    ) -> None: ...
    def add_words(self, symbols: npt.NDArray[np.int8], ends: npt.NDArray[np.int64]) -> None: ...
    def search(self) -> int: ...
    def occurrences(
        self, first: int, last: int, motif_first: int = 0, motif_last: int | None = None
    ) -> Occurrences: ...
    def motif_rows(self) -> npt.NDArray[np.int64]: ...
    def sum_offsets(self) -> npt.NDArray[np.int64]: ...
    def finish_representatives(
        self, sums: npt.NDArray[np.float64], counts: npt.NDArray[np.float64]
    ) -> None: ...
    def representative_values(self) -> npt.NDArray[np.float64]: ...
    def add_best_matches(
        self, occurrences: Occurrences, distances: npt.NDArray[np.float64], starts: npt.NDArray[np.int32]
    ) -> None: ...
    def finish(self, fetch: _Fetch | None = None) -> list[Motif]: ...
    @property
    def motifs(self) -> list[Motif]: ...
