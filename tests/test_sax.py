"""Discretisation by the module function sax (no normalisation happens here)."""

import math

import pytest

import _qor_cpp as q

NAN, INF = math.nan, math.inf

BREAKPOINTS = {
    2: [0.0],
    3: [-0.43, 0.43],
    4: [-0.67, 0.0, 0.67],
    5: [-0.84, -0.25, 0.25, 0.84],
    6: [-0.97, -0.43, 0.0, 0.43, 0.97],
    7: [-1.07, -0.57, -0.18, 0.18, 0.57, 1.07],
    8: [-1.15, -0.67, -0.32, 0.0, 0.32, 0.67, 1.15],
    9: [-1.22, -0.76, -0.43, -0.14, 0.14, 0.43, 0.76, 1.22],
    10: [-1.28, -0.84, -0.52, -0.25, 0.0, 0.25, 0.52, 0.84, 1.28],
}


@pytest.mark.parametrize(
    "ts, seglen, alphabet, expected",
    [
        ([[-1.0, -1.0, 0.0, 0.0, 1.0, 1.0]], 2, 3, ["abc"]),
        ([[0.6, 0.6, 0.6]], 2, 3, ["cb"]),  # short last segment: 0.6 / 2
        ([[0.5, 0.5]], 4, 3, ["b"]),  # seglen beyond the series: 1.0 / 4
        ([[0.0]], 1, 2, ["a"]),  # equal to a breakpoint counts as below it
        ([[0.43, -0.43]], 1, 3, ["ba"]),
        ([[NAN, 5.0, 5.0, 5.0]], 2, 3, ["ac"]),  # NaN mean gives a
        ([[INF, -INF, INF, 0.0, -INF, 0.0]], 2, 3, ["aca"]),
        ([[-5.0, 0.0, 5.0]], 1, 0, ["aaa"]),
        ([[-5.0, 0.0, 5.0]], 1, 1, ["aaa"]),
        ([[-2, -1, -0.6, -0.3, -0.1, 0.1, 0.3, 0.6, 1, 2]], 1, 10, ["abcdefghij"]),
        ([[10.0, 10.0]], 1, 4, ["dd"]),  # no normalisation
        ([[1.0, -1.0], [-1.0, 1.0, 1.0]], 1, 2, ["ba", "abb"]),
        ([], 4, 5, []),
        ([[], [1.0], []], 3, 2, ["", "b", ""]),
        ([[1.0]], -2, 3, [""]),  # 1 / -2 rounds up to an empty word
        ([[]], -2, 3, [""]),
    ],
)
def test_examples(ts, seglen, alphabet, expected):
    assert q.sax(ts, seglen, alphabet) == [list(w) for w in expected]


@pytest.mark.parametrize("alphabet", sorted(BREAKPOINTS))
def test_breakpoint_table(alphabet):
    series, expected = [-1e300], ["a"]
    for i, b in enumerate(BREAKPOINTS[alphabet]):
        series += [b, math.nextafter(b, INF)]
        expected += [chr(ord("a") + i), chr(ord("a") + i + 1)]
    series.append(1e300)
    expected.append(chr(ord("a") + alphabet - 1))
    assert q.sax([series], 1, alphabet) == [expected]


def test_keywords_and_result_types():
    result = q.sax(ts=[[0.0]], seglen=1, alphabet=2)
    assert result == [["a"]] and type(result[0][0]) is str


def test_input_is_left_alone():
    ts = [[10.0, 2.5, -3.0], (1.0, 2.0)]
    items = [list(s) for s in ts]
    q.sax(ts, 2, 5)
    assert [list(s) for s in ts] == items
    assert all(a is b for s, old in zip(ts, items, strict=True) for a, b in zip(s, old, strict=True))


@pytest.mark.parametrize(
    "ts, seglen",
    [
        ([[1.0]], 0),
        ([[]], 0),
        ([[1.0, 2.0]], -2),
        ([[1.0], [1.0, 2.0, 3.0]], -2),  # the first word alone would be fine
    ],
)
def test_length_error(ts, seglen):
    with pytest.raises(ValueError, match="vector too long"):
        q.sax(ts, seglen, 3)


@pytest.mark.parametrize("ts", [[], [[1.0]]])
@pytest.mark.parametrize("alphabet", [-1, 11, -(2**31), 2**31 - 1])
def test_alphabet_out_of_range(ts, alphabet):
    with pytest.raises(ValueError) as err:
        q.sax(ts, 1, alphabet)
    assert str(err.value) == f"alphabet must be between 0 and 10, got {alphabet}"


def test_alphabet_checked_before_seglen():
    with pytest.raises(ValueError, match="alphabet must be between 0 and 10, got 11"):
        q.sax([[1.0]], 0, 11)
