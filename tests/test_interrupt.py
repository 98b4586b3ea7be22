"""Ctrl-C and other signals whose handler raises stop a long call part way.

Each case runs in a child process that starts a call taking well over 10 s
uninterrupted, is sent the signal 1 s in, and reports when the exception
reached Python and whether the object still holds its previous result."""

import json
import os
import signal
import subprocess
import sys
import time

import pytest

CHILD = r"""
import json, signal, sys, time
import numpy as np
import _qor_cpp as q

call, handler = sys.argv[1], sys.argv[2]

class Stop(Exception):
    pass

def raise_stop(signum, frame):
    raise Stop(signum)

if handler == "custom":
    signal.signal(signal.SIGUSR1, raise_stop)
# Python leaves SIGINT ignored when it starts so (as a shell's background
# jobs do): Ctrl-C's handler, whatever launched the tests.
signal.signal(signal.SIGINT, signal.default_int_handler)

class Slow:
    # A sample whose conversion runs Python code for a while.
    def __float__(self):
        for _ in range(40):
            pass
        return 0.5

x = np.random.default_rng(0).normal(size=(1, 1250))
small = np.random.default_rng(1).normal(size=(3, 40))

def miner_state(m):
    return [(t.pattern, t.indexes, t.naed, t.representative) for t in m.motifs]

def frequent_state(p):
    return [(k, v.indexes) for k, v in p.frequent.items()]

# Each object first holds a small result, which the interrupted call must
# leave as it is.
if call == "mine":
    obj = q.Miner(0.0, 1, 10, max_len=0)
    obj.mine(small)
    state = lambda: miner_state(obj)
    work = lambda: obj.mine(x)
elif call == "patterns":
    obj = q.PatternMiner(0.0, max_len=0)
    obj.mine(q.sax(small, 2, 4))
    state = lambda: frequent_state(obj)
    words = q.sax((x - x.mean()) / x.std(), 1, 10)
    work = lambda: obj.mine(words)
else:
    state = lambda: None
    rows = [[Slow()] * 4_000_000] * 9  # about 12 s uninterrupted
    work = lambda: q.sax(rows, 1, 10)
before = state()

print(json.dumps({"started": time.monotonic()}), flush=True)
outcome = {"caught": None}
try:
    work()
    outcome["returned"] = time.monotonic()
except (KeyboardInterrupt, Stop) as err:
    outcome["caught"] = time.monotonic()
    outcome["kind"] = type(err).__name__
outcome["unchanged"] = state() == before
# The object works on afterwards.
if call == "mine":
    outcome["works"] = len(obj.mine(small)) > 0 and miner_state(obj) == before
elif call == "patterns":
    obj.mine(q.sax(small, 2, 4))
    outcome["works"] = frequent_state(obj) == before
else:
    outcome["works"] = q.sax([[0.0]], 1, 2) == [["a"]]
print(json.dumps(outcome), flush=True)
"""


@pytest.mark.parametrize(
    "call, threads, how",
    [
        ("mine", None, "sigint"),
        ("mine", "1", "sigint"),
        ("mine", None, "custom"),
        ("patterns", None, "sigint"),
        ("patterns", "1", "sigint"),
        ("patterns", "1", "custom"),
        ("sax", None, "sigint"),
        ("sax", "1", "sigint"),
    ],
)
def test_signal_stops_a_long_call(call, threads, how):
    env = dict(os.environ)
    env.pop("QOR_NUM_THREADS", None)
    if threads:
        env["QOR_NUM_THREADS"] = threads
    proc = subprocess.Popen(
        [sys.executable, "-c", CHILD, call, how],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )
    try:
        json.loads(proc.stdout.readline())
        time.sleep(1.0)
        sent = time.monotonic()
        proc.send_signal(signal.SIGUSR1 if how == "custom" else signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == 0, err
    outcome = json.loads(out)
    assert outcome["caught"] is not None, f"the call ran to its end ({outcome})"
    assert outcome["kind"] == ("Stop" if how == "custom" else "KeyboardInterrupt")
    assert outcome["caught"] - sent < 0.5
    assert outcome["unchanged"] and outcome["works"]
