"""Miner: settings, the pipeline's statistics on hand-checked series, ranking and selection."""

import copy
import math
import random

import pytest

import _qor_cpp as q
from conftest import check_completed, motif_state
from reference import znormalize as znorm

ABC = [[-1.0, 0.0, 1.0]]  # seglen 1, alphabet 3: the word "abc"
# seglen 1, alphabet 3: the word "acacbb"; bigram "ac" occurs twice with different
# windows, the others once. With only bigrams kept: ac, bb, ca, cb.
RANKED = [[-2.0, 2.0, -1.0, 1.0, 0.0, 0.0]]
BIGRAMS = dict(min_len=2, max_len=2, max_overlap=1.0)
RANKED_ORDER = ["bb", "ca", "cb", "ac"]


def random_series(seed, count):
    rng = random.Random(seed)
    return [[rng.uniform(-1.0, 1.0) for _ in range(rng.randint(8, 14))] for _ in range(count)]


def patterns(motifs):
    return [m.pattern for m in motifs]


def test_seglen_comes_before_alphabet():
    [m] = q.Miner(1.0, 1, 3).mine(ABC)
    assert (m.pattern, m.length) == ("abc", 3)
    assert q.Miner(1.0, 3, 1).mine(ABC) == []  # one symbol per series, nothing of length 3


@pytest.mark.parametrize("seed", [7, 8])
def test_defaults_and_keywords(seed):
    data = random_series(seed, 4)  # several motifs of lengths 3 and 4
    expected = [motif_state(m) for m in q.Miner(0.5, 1, 4, 3, 0, 0.9, 0).mine(data)]
    assert len(expected) > 1
    assert [motif_state(m) for m in q.Miner(0.5, 1, 4).mine(data)] == expected
    keyed = q.Miner(k=0, max_overlap=0.9, max_len=0, min_len=3, alphabet=4, seglen=1, minsup=0.5)
    assert [motif_state(m) for m in keyed.mine(data)] == expected


def test_keyword_settings_reach_the_miner():
    miner = q.Miner(max_overlap=1.0, k=2, min_len=2, alphabet=3, max_len=2, seglen=1, minsup=1.0)
    assert patterns(miner.mine(RANKED)) == RANKED_ORDER[:2]
    assert patterns(miner.motifs) == RANKED_ORDER


def test_callers_series_unchanged():
    data = [[1.0, 2.0, 3.0, 5.0], (3.0, 2.0, 1.0)]
    before = copy.deepcopy(data)
    items = [list(s) for s in data]
    q.Miner(0.5, 1, 3, min_len=1).mine(data)
    assert data == before and type(data[1]) is tuple
    assert all(a is b for s, old in zip(data, items, strict=True) for a, b in zip(s, old, strict=True))


def test_length_and_representative_of_a_single_occurrence():
    series = [-1.0] * 4 + [0.0] * 4 + [1.0] * 4  # seglen 4: "abc"
    [m] = q.Miner(1.0, 4, 3).mine([series])
    check_completed(m, 4)
    assert (m.pattern, m.length, m.indexes, m.best_matches, m.naed) == ("abc", 12, {0: [0]}, {0: 0}, 0.0)
    z = znorm(series)
    assert m.average_occurrences == {0: z} and m.representative == z


def test_two_series_hand_computed():
    # normalised: [-r3, 0, r3] with r3 = sqrt(1.5) and [-r2, 0, r2, 0] with r2 = sqrt(2)
    r3, r2 = math.sqrt(1.5), math.sqrt(2.0)
    [m] = q.Miner(1.0, 1, 3).mine([[-1.0, 0.0, 1.0], [-1.0, 0.0, 1.0, 0.0]])
    check_completed(m, 1)
    assert m.pattern == "abc" and m.indexes == {0: [0], 1: [0]} and m.best_matches == {0: 0, 1: 0}
    assert m.average_occurrences[0] == pytest.approx([-r3, 0.0, r3], rel=1e-14)
    assert m.average_occurrences[1] == pytest.approx([-r2, 0.0, r2], rel=1e-14)
    half = (r2 + r3) / 2
    assert m.representative == pytest.approx([-half, 0.0, half], rel=1e-14)
    # each series is sqrt(2) * (r2 - r3) / 2 away from the representative
    assert m.naed == pytest.approx(2 * math.sqrt(2.0) * (r2 - r3) / 2 / (2 * 3), rel=1e-12)


def test_window_padded_past_the_end():
    series = [-1.0] * 4 + [0.0] * 4 + [1.0] * 2  # 10 samples, seglen 4: "abc"
    z = znorm(series)
    found = {m.pattern: m for m in q.Miner(1.0, 4, 3, **BIGRAMS).mine([series])}
    assert sorted(found) == ["ab", "bc"]
    m = found["bc"]
    check_completed(m, 4)
    assert (m.length, m.indexes, m.best_matches, m.naed) == (8, {0: [1]}, {0: 4}, 0.0)
    for values in (m.average_occurrences[0], m.representative):
        assert values[:6] == z[4:] and all(math.isnan(v) for v in values[6:])


def test_constant_series_gives_nan_averages():
    [m] = q.Miner(1.0, 1, 3).mine([[1.0, 1.0, 1.0]])  # mean exact: every sample 0 / 0
    assert m.pattern == "aaa" and m.best_matches == {0: 0} and m.naed == 0.0
    assert all(math.isnan(v) for v in m.average_occurrences[0] + m.representative)
    [m] = q.Miner(1.0, 1, 3).mine([[0.1, 0.1, 0.1]])  # mean off by rounding: all -1.0
    assert m.average_occurrences == {0: [-1.0] * 3} and m.representative == [-1.0] * 3


def test_nan_series_does_not_pull_the_representative():
    zb = znorm([-1.0, -1.0, -1.0, 3.0])  # "aaac"
    [m] = q.Miner(1.0, 1, 3).mine([[1.0, 1.0, 1.0], [-1.0, -1.0, -1.0, 3.0]])
    check_completed(m, 1)
    assert m.pattern == "aaa" and m.indexes == {0: [0], 1: [0]}
    assert all(math.isnan(v) for v in m.average_occurrences[0])
    assert m.average_occurrences[1] == zb[:3] and m.representative == zb[:3]
    assert m.best_matches == {0: 0, 1: 0} and m.naed == 0.0


def test_ranking_hand_computed():
    miner = q.Miner(1.0, 1, 3, **BIGRAMS)
    result = miner.mine(RANKED)
    assert patterns(result) == RANKED_ORDER  # ties keep pattern order
    assert [m.naed for m in result[:3]] == [0.0, 0.0, 0.0]
    # "ac": windows [-2s, 2s] and [-s, s] with s = sqrt(0.6); each is s / sqrt(2) from their mean
    assert result[3].naed == pytest.approx(math.sqrt(0.6) / math.sqrt(2.0) / 2, rel=1e-12)
    assert result[3].indexes == {0: [0, 2]} and result[3].best_matches[0] in (0, 2)
    for m in result:
        check_completed(m, 1)
    assert [motif_state(m) for m in miner.motifs] == [motif_state(m) for m in result]


@pytest.mark.parametrize("k, count", [(0, 4), (1, 1), (2, 2), (3, 3), (4, 4), (5, 4), (2**31 - 1, 4)])
def test_k_selects_a_prefix(k, count):
    miner = q.Miner(1.0, 1, 3, k=k, **BIGRAMS)
    assert patterns(miner.mine(RANKED)) == RANKED_ORDER[:count]
    assert patterns(miner.motifs) == RANKED_ORDER


@pytest.mark.parametrize("k", [-1, -(2**31)])
def test_negative_k_fails_after_ranking(k):
    miner = q.Miner(1.0, 1, 3, k=k, **BIGRAMS)
    with pytest.raises(ValueError, match="vector too long"):
        miner.mine(RANKED)
    assert patterns(miner.motifs) == RANKED_ORDER
    with pytest.raises(ValueError, match="vector too long"):
        miner.mine([])
    assert miner.motifs == []


def test_stable_ranking_with_many_ties():
    miner = q.Miner(1.0, 1, 10, **BIGRAMS)
    rng = random.Random(1)
    result = miner.mine([[rng.uniform(-1.0, 1.0) for _ in range(40)]])  # mostly bigrams seen once
    keys = [(m.naed, m.pattern) for m in result]
    assert sum(n == 0.0 for n, _ in keys) > 16 and keys[-1][0] > 0.0
    assert keys == sorted(keys)
    assert [motif_state(m) for m in miner.motifs] == [motif_state(m) for m in result]


@pytest.mark.parametrize("data", [[], [[-1.0, 0.0, 1.0], [1.0, 0.0, -1.0]], [[]], [[5.0]]])
def test_nothing_frequent(data):
    miner = q.Miner(1.0, 1, 3, k=2)
    assert miner.mine(data) == [] and miner.motifs == []


@pytest.mark.parametrize(
    "first, second",
    [
        (RANKED * 3 + [RANKED[0] * 4], ABC),
        (ABC, RANKED),
        (RANKED, [[]]),
        ([[5.0, 1.0, 5.0, 1.0, 5.0, 1.0] * 20], [[1.0, 5.0]]),
    ],
)
def test_each_mine_starts_clean(first, second):
    settings = dict(minsup=0.5, seglen=1, alphabet=3, min_len=1, max_overlap=1.0)
    miner = q.Miner(**settings)
    kept = miner.mine(first)
    kept_state = [motif_state(m) for m in kept]
    fresh = q.Miner(**settings)
    expected = [motif_state(m) for m in fresh.mine(second)]
    assert [motif_state(m) for m in miner.mine(second)] == expected
    assert [motif_state(m) for m in miner.motifs] == [motif_state(m) for m in fresh.motifs]
    assert [motif_state(m) for m in kept] == kept_state


@pytest.mark.parametrize("data", [[], [[1.0, 2.0]]])
@pytest.mark.parametrize("alphabet", [-1, 11])
def test_alphabet_out_of_range(data, alphabet):
    with pytest.raises(ValueError) as err:
        q.Miner(1.0, 1, alphabet).mine(data)
    assert str(err.value) == f"alphabet must be between 0 and 10, got {alphabet}"


@pytest.mark.parametrize("seglen", [2**30, 2**31 - 1])
def test_large_seglen_with_short_series(seglen):
    # every word has one symbol, so no pattern reaches min_len and no length is formed
    assert q.Miner(0.5, seglen, 3).mine([[1.0, 2.0, 3.0], [3.0, 1.0]]) == []


@pytest.mark.parametrize("keep", ["returned", "stored", "one"])
def test_average_rows_outlive_the_miner_and_the_input(keep):
    # The motifs compute their average rows from the normalised collection
    # they share: it must stay alive, unchanged, as long as any of them.
    data = random_series(11, 12)
    miner = q.Miner(0.5, 1, 3)
    returned = miner.mine(data)
    expected = [motif_state(m) for m in returned]
    assert expected and any(len(m.average_occurrences) > 1 for m in returned)
    held = {"returned": returned, "stored": miner.motifs, "one": returned[-1:]}[keep]
    expected = expected[-1:] if keep == "one" else expected
    del returned, miner, data
    for _ in range(3):  # memory released meanwhile is reused
        q.Miner(0.5, 1, 3).mine(random_series(12, 12))
    assert [motif_state(m) for m in held] == expected
