"""Threads: results do not depend on how many threads do the work
(QOR_NUM_THREADS), and calls from several Python threads at once are safe."""

import subprocess
import sys
import threading

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


def test_concurrent_calls_from_python_threads(walks):
    # The calls run without the GIL: threads that mine at the same time, on
    # one shared Miner or on their own, each get the whole result.
    series = walks[:120]
    expected = [motif_state(m) for m in q.Miner(0.2, 4, 5).mine(series)]
    words = q.sax(series, 4, 5)
    alone = q.PatternMiner(0.2)
    alone.mine(words)
    expected_patterns = list(alone.frequent)
    shared = q.Miner(0.2, 4, 5)
    shared_patterns = q.PatternMiner(0.2)
    outcomes = []

    def work(i):
        miner = shared if i % 2 else q.Miner(0.2, 4, 5)
        pm = shared_patterns if i % 2 else q.PatternMiner(0.2)
        pm.mine(words)
        outcomes.append(
            ([motif_state(m) for m in miner.mine(series)], q.sax(series, 4, 5), list(pm.frequent))
        )

    threads = [threading.Thread(target=work, args=(i,)) for i in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(outcomes) == 6
    for top, sax_words, frequent in outcomes:
        assert top == expected and sax_words == words and frequent == expected_patterns
    assert [motif_state(m) for m in shared.motifs] == expected
    assert list(shared_patterns.frequent) == expected_patterns


# A daemon thread calls the module in a loop while the interpreter shuts
# down. A cyclic object collected during the shutdown sleeps, so that the
# thread's call finishes and asks for the GIL back meanwhile: the thread
# must end quietly, not abort the process.
TEARDOWN = """
import gc, sys, threading, time
import numpy as np
import _qor_cpp as q

class SlowTeardown:
    def __del__(self, sleep=time.sleep):
        sleep(0.3)

gc.disable()
cycle = SlowTeardown()
cycle.me = cycle
del cycle
x = np.cumsum(np.random.default_rng(0).standard_normal((400, 2000)), axis=1)
words = q.sax(x, 8, 6)
call = {
    "mine": lambda: q.Miner(0.3, 8, 6).mine(x),
    "sax": lambda: q.sax(x, 1, 6),
    "patterns": lambda: q.PatternMiner(0.3).mine(words),
}[sys.argv[1]]
started = threading.Event()

def work():
    started.set()
    while True:
        call()

threading.Thread(target=work, daemon=True).start()
started.wait()
"""


@pytest.mark.parametrize("call", ["mine", "sax", "patterns"])
def test_exit_while_a_daemon_thread_computes(call):
    done = subprocess.run([sys.executable, "-c", TEARDOWN, call], capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr.decode(errors="replace")


def test_eight_threads_share_objects_while_others_read(walks):
    # Eight threads mine different collections on one Miner and one
    # PatternMiner while two threads keep reading their results: every call
    # returns its own single-threaded result, every read is one complete
    # result (the first, or one that a call produced), and so is the end state.
    inputs = [walks[i * 10 : i * 10 + 30 + 5 * i] for i in range(8)]
    words = [q.sax(s, 4, 5) for s in inputs]
    expected_top, expected_frequent = [], []
    for s, w in zip(inputs, words, strict=True):
        expected_top.append([motif_state(m) for m in q.Miner(0.3, 4, 5).mine(s)])
        alone = q.PatternMiner(0.3)
        alone.mine(w)
        expected_frequent.append({k: sorted(v.indexes.items()) for k, v in alone.frequent.items()})
    shared, shared_patterns = q.Miner(0.3, 4, 5), q.PatternMiner(0.3)
    first = [motif_state(m) for m in shared.mine(walks[200:230])]
    shared_patterns.mine(q.sax(walks[200:230], 4, 5))
    first_frequent = {k: sorted(v.indexes.items()) for k, v in shared_patterns.frequent.items()}
    possible_motifs = [first] + expected_top
    possible_frequent = [first_frequent] + expected_frequent
    results, torn, done = [None] * 8, [], threading.Event()
    start = threading.Barrier(10)

    def mine(i):
        start.wait()
        for _ in range(3):
            top = [motif_state(m) for m in shared.mine(inputs[i])]
            shared_patterns.mine(words[i])
            results[i] = top

    def read():
        start.wait()
        reads = 0
        while not done.is_set() or reads < 20:
            reads += 1
            if [motif_state(m) for m in shared.motifs] not in possible_motifs:
                torn.append("motifs")
            if {
                k: sorted(v.indexes.items()) for k, v in shared_patterns.frequent.items()
            } not in possible_frequent:
                torn.append("frequent")

    miners = [threading.Thread(target=mine, args=(i,)) for i in range(8)]
    readers = [threading.Thread(target=read) for _ in range(2)]
    for t in miners + readers:
        t.start()
    for t in miners:
        t.join()
    done.set()
    for t in readers:
        t.join()
    assert results == expected_top and not torn
    assert [motif_state(m) for m in shared.motifs] in expected_top
    final = {k: sorted(v.indexes.items()) for k, v in shared_patterns.frequent.items()}
    assert final in expected_frequent
