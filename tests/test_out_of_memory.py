"""Running out of memory: under an address-space limit every call returns its
result or raises MemoryError, the objects keep their previous state, and the
process goes on; with the limit lifted, the same calls succeed."""

import json
import os
import subprocess
import sys

import pytest

CHILD = r"""
import json, resource, sys
import numpy as np
import _qor_cpp as q

extra = int(sys.argv[1]) << 20

def state(obj):
    if isinstance(obj, q.Miner):
        return [(m.pattern, m.indexes, m.representative, m.naed) for m in obj.motifs]
    return [(k, v.indexes) for k, v in obj.frequent.items()]

x = np.random.default_rng(0).normal(size=(1, 300))
words = q.sax((x - x.mean()) / x.std(), 1, 10)
big = np.random.default_rng(1).normal(size=(1500, 4000))
small = np.random.default_rng(2).normal(size=(3, 40))
miner, patterns = q.Miner(0.0, 1, 10), q.PatternMiner(0.0)
calls = {
    "mine": lambda: [(m.pattern, m.indexes, m.representative, m.naed) for m in miner.mine(x)],
    "patterns": lambda: (patterns.mine(words), state(patterns))[1],
    "sax": lambda: q.sax(big, 1, 10),
}
miner.mine(small)
patterns.mine(q.sax(small, 2, 4))
before = {"mine": state(miner), "patterns": state(patterns)}

def address_space():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmSize")) << 10

outcome = {}
for name, call in calls.items():
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + extra, hard))
    try:
        result = call()
    except MemoryError:
        result = MemoryError
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    if result is MemoryError:
        kept = name == "sax" or state(miner if name == "mine" else patterns) == before[name]
        outcome[name] = ["MemoryError", kept]
    else:
        outcome[name] = ["result", result == call()]  # the same as with memory to spare
print(json.dumps(outcome))
"""

# MiB of address space allowed beyond what the process has mapped when the
# call starts: from next to nothing up to enough for every call.
EXTRA_MIB = [0, 2, 8, 24, 64, 160, 400, 1000, 3000]


@pytest.mark.parametrize("threads", [None, "1"])
def test_calls_under_address_space_limits(threads):
    env = dict(os.environ)
    env.pop("QOR_NUM_THREADS", None)
    if threads:
        env["QOR_NUM_THREADS"] = threads
    seen = set()
    for extra in EXTRA_MIB:
        done = subprocess.run(
            [sys.executable, "-c", CHILD, str(extra)], capture_output=True, text=True, env=env, timeout=300
        )
        assert done.returncode == 0, f"{extra} MiB: status {done.returncode}: {done.stderr[-2000:]}"
        outcome = json.loads(done.stdout)
        for name, (kind, ok) in outcome.items():
            assert ok, f"{name} at {extra} MiB: {kind}, but the state or result differs"
            seen.add((name, kind))
    # The sweep reaches both ends for every call.
    assert seen == {(n, k) for n in ("mine", "patterns", "sax") for k in ("MemoryError", "result")}
