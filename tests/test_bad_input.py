"""Every row of the README's bad-input table, run: each call does what its
row says, and no call changes the arrays or lists it is given."""

import copy
import pathlib
import re

import numpy as np
import pytest

import _qor_cpp as q
from conftest import motif_state

README = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text()
SECTION = README.split("## Bad input", 1)[1].split("\n## ", 1)[0]
SETUP = re.search(r"```python\n(.*?)```", SECTION, flags=re.S).group(1)
ROWS = re.findall(r"^\| (.+?) \| `(.+?)` \| (.+?) \|$", SECTION, flags=re.M)


def comparable(result):
    if isinstance(result, list) and result and isinstance(result[0], q.Motif):
        return [motif_state(m) for m in result]
    return result


def test_the_table_is_there():
    assert len(ROWS) > 50


@pytest.mark.parametrize("kind, call, outcome", ROWS, ids=[f"{i}-{r[0]}" for i, r in enumerate(ROWS)])
def test_bad_input_row(kind, call, outcome):
    names: dict = {}
    exec(SETUP, names)
    # Every list literal in the call is built once here, so that it can be
    # compared afterwards; the arrays are compared with copies.
    arrays = {n: v.copy() for n, v in names.items() if isinstance(v, np.ndarray)}
    code = compile(call, "<row>", "eval")
    error = re.match(r"([A-Z]\w*(?:Error|Exception))\b(?::\s*([^(]+))?", outcome)
    if error:
        expected = getattr(__builtins__, error.group(1), None) or eval(error.group(1), names)
        message = error.group(2).strip() if error.group(2) else None
        if expected is TypeError and message is None:
            message = "incompatible (function|constructor) arguments"
        else:
            message = re.escape(message) if message else None
        with pytest.raises(expected, match=message):
            eval(code, names)
    elif outcome.startswith("as `"):
        other = re.match(r"as `(.+?)`", outcome).group(1)
        assert comparable(eval(code, names)) == comparable(eval(other, names))
    else:
        assert outcome.startswith("accepted"), outcome
        eval(code, names)
    for n, before in arrays.items():
        after = names[n]
        assert after.dtype == before.dtype and np.array_equal(after, before, equal_nan=True), n
    assert not names["ro"].flags.writeable


@pytest.mark.parametrize(
    "call",
    [
        lambda ts: q.sax(ts, 2, 3),
        lambda ts: q.Miner(0.3, 2, 3).mine(ts),
    ],
)
def test_callers_lists_are_left_as_they_were(call):
    rng = np.random.default_rng(3)
    ts = [list(rng.normal(size=20)), tuple(rng.normal(size=9)), [float("nan"), 1, 2.5, True]]
    snapshot = copy.deepcopy(ts)
    ids = [[id(v) for v in row] for row in ts]
    call(ts)
    assert [[id(v) for v in row] for row in ts] == ids
    assert repr(ts) == repr(snapshot)
