"""Results do not depend on how many threads do the work (QOR_NUM_THREADS)."""
import numpy as np
import pytest

import _qor_cpp as q
from conftest import motif_state


@pytest.fixture(scope="module")
def walks():
    # Large enough for every stage to be split between threads.
    rng = np.random.default_rng(5)
    x = np.cumsum(rng.standard_normal((300, 1200)), axis=1)
    x[::40, 7] = np.nan  # a few series that normalise to NaN
    return x.tolist()


def mine_with(threads, series, monkeypatch):
    monkeypatch.setenv("QOR_NUM_THREADS", threads)
    miner = q.Miner(0.1, 4, 5)
    top = [motif_state(m) for m in miner.mine(series)]
    return top, q.sax(series, 4, 5)


def test_thread_count_changes_nothing(walks, monkeypatch):
    serial = mine_with("1", walks, monkeypatch)
    assert len(serial[0]) > 100
    for threads in ("2", "3", "0", "many"):  # the last two fall back to the CPU count
        assert mine_with(threads, walks, monkeypatch) == serial
