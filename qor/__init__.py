"""qor: exact, fast motif discovery in collections of time series.

>>> import qor
>>> series = [[0.0, 0.1, 2.0, 3.1, 1.9, 0.0, -0.2, 0.1], [0.2, 2.1, 3.0, 2.2, 0.1, 0.0, 0.1, -0.1]]
>>> best = qor.mine(series, seglen=1, alphabet=4, minsup=1.0, top=1)
>>> best[0].pattern, best[0].best_matches
('bdddaa', {0: 1, 1: 0})
"""

from importlib.metadata import PackageNotFoundError, version

from _qor_cpp import Miner, Motif, PatternMiner, sax
from qor._load import LoadError, load
from qor._mine import MissingSamplesWarning, default_seglen, mine
from qor._score import RANKINGS, RankBy, rank, relative_naed, score
from qor._table import records, to_frame
from qor.plot import plot_motifs

try:
    __version__ = version("qor")
except PackageNotFoundError:  # a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "RANKINGS",
    "LoadError",
    "Miner",
    "MissingSamplesWarning",
    "Motif",
    "PatternMiner",
    "RankBy",
    "__version__",
    "default_seglen",
    "load",
    "mine",
    "plot_motifs",
    "rank",
    "records",
    "relative_naed",
    "sax",
    "score",
    "to_frame",
]
