"""PatternMiner: level-wise search, length/overlap filter, settings and state across calls."""

import ast
import subprocess
import sys

import pytest

import _qor_cpp as q
from conftest import as_words, mine_patterns

KEEP_ALL = dict(min_len=1, max_overlap=1.0)

CASES = [
    ([], (1.0,), {}, {}),
    (["aaaa"], (1.0,), {}, {"aaaa": {0: [0]}}),
    (
        ["aaaa"],
        (1.0,),
        KEEP_ALL,
        {"a": {0: [0, 1, 2, 3]}, "aa": {0: [0, 1, 2]}, "aaa": {0: [0, 1]}, "aaaa": {0: [0]}},
    ),
    (
        ["abcab", "bcabc"],
        (0.5,),
        dict(min_len=2, max_len=2, max_overlap=1.0),
        {"ab": {0: [0, 3], 1: [2]}, "bc": {0: [1], 1: [0, 3]}, "ca": {0: [2], 1: [1]}},
    ),
    (
        ["abcd", "abce"],
        (1.0,),
        KEEP_ALL,
        {
            "a": {0: [0], 1: [0]},
            "ab": {0: [0], 1: [0]},
            "abc": {0: [0], 1: [0]},
            "b": {0: [1], 1: [1]},
            "bc": {0: [1], 1: [1]},
            "c": {0: [2], 1: [2]},
        },
    ),
    (
        ["ab", "ac"],
        (0.5,),
        KEEP_ALL,
        {"a": {0: [0], 1: [0]}, "ab": {0: [0]}, "ac": {1: [0]}, "b": {0: [1]}, "c": {1: [1]}},
    ),
    (["ab", "ac"], (0.51,), KEEP_ALL, {"a": {0: [0], 1: [0]}}),
    (["abc", ""], (1.0,), {}, {}),  # the empty word counts
    (["abc", ""], (0.5,), {}, {"abc": {0: [0]}}),
    (["abc", "abc"], (1.01,), KEEP_ALL, {}),
    (
        ["abc", "ab"],
        (0.5,),
        KEEP_ALL,
        {
            "a": {0: [0], 1: [0]},
            "ab": {0: [0], 1: [0]},
            "abc": {0: [0]},
            "b": {0: [1], 1: [1]},
            "bc": {0: [1]},
            "c": {0: [2]},
        },
    ),
    (
        ["abcd"],
        (1.0,),
        dict(KEEP_ALL, max_len=2),
        {
            "a": {0: [0]},
            "ab": {0: [0]},
            "b": {0: [1]},
            "bc": {0: [1]},
            "c": {0: [2]},
            "cd": {0: [2]},
            "d": {0: [3]},
        },
    ),
    (["ab"], (1.0,), dict(KEEP_ALL, max_len=1), {"a": {0: [0]}, "b": {0: [1]}}),
    (["ab"], (1.0,), dict(KEEP_ALL, max_len=-1), {"a": {0: [0]}, "b": {0: [1]}}),
    (["abcd"], (1.0,), dict(min_len=3, max_len=2), {}),
    (["ab"], (1.0,), {}, {}),  # shorter than the default min_len
    (["abcdefghijkl"], (1.0,), {}, {"abcdefghijkl": {0: [0]}}),
    (["abcd", "abxcd"], (0.5,), {}, {"abxcd": {1: [0]}}),
    (
        ["abcab", "abcab"],
        (1.0,),
        dict(min_len=2, max_len=3, max_overlap=0.5),
        {"abc": {0: [0], 1: [0]}, "ca": {0: [2], 1: [2]}},
    ),
    (["abcab", "abcab"], (1.0,), dict(min_len=2, max_len=3, max_overlap=-1.0), {"abc": {0: [0], 1: [0]}}),
    (["abcxabd", "abcyabd"], (1.0,), dict(max_overlap=0.5), {"abc": {0: [0], 1: [0]}}),
    (["abcxabd", "abcyabd"], (1.0,), {}, {"abc": {0: [0], 1: [0]}, "abd": {0: [4], 1: [4]}}),
    # overlap exactly 9/10 keeps the second pattern; 10/11 removes it
    (["abcdefghij", "abcdefghik"], (0.5,), {}, {"abcdefghij": {0: [0]}, "abcdefghik": {1: [0]}}),
    (["abcdefghijk", "abcdefghijz"], (0.5,), {}, {"abcdefghijk": {0: [0]}, "bcdefghijz": {1: [1]}}),
    # the same with more than 16 distinct symbols
    (
        ["abcdefghijklmnopqrst", "abcdefghijklmnopqrsz"],
        (0.5,),
        {},
        {"abcdefghijklmnopqrst": {0: [0]}, "klmnopqrsz": {1: [10]}},
    ),
    (["abcdefghijklmnopqrstu"], (1.0,), dict(min_len=1), {"abcdefghijklmnopqrstu": {0: [0]}}),
    (["ab"], (1.0,), dict(min_len=1), {"ab": {0: [0]}}),
    (["ab"], (1.0,), dict(min_len=1, max_len=1, max_overlap=0.0), {"a": {0: [0]}, "b": {0: [1]}}),
    (["ab"], (1.0,), dict(min_len=1, max_len=1, max_overlap=-0.1), {"a": {0: [0]}}),
    (
        ["abcxca", "abcyca"],
        (1.0,),
        dict(min_len=2, max_overlap=0.5),
        {"abc": {0: [0], 1: [0]}, "ca": {0: [4], 1: [4]}},
    ),
    (["abcxca", "abcyca"], (1.0,), dict(min_len=2, max_overlap=0.4), {"abc": {0: [0], 1: [0]}}),
]


@pytest.mark.parametrize("words, args, kwargs, expected", CASES)
def test_examples(words, args, kwargs, expected):
    assert mine_patterns(words, *args, **kwargs) == expected


@pytest.mark.parametrize("words", [w for w, _, _, _ in CASES if w])
def test_defaults_match_explicit_settings(words):
    explicit = mine_patterns(words, 0.5, 3, 0, 0.9)
    assert mine_patterns(words, 0.5) == explicit
    assert mine_patterns(words, max_overlap=0.9, max_len=0, min_len=3, minsup=0.5) == explicit


def test_keywords_bind_to_their_own_setting():
    words = ["abcxca", "abcyca"]
    assert (
        mine_patterns(words, minsup=1.0, max_overlap=0.5, min_len=2)
        == mine_patterns(words, 1.0, 2, 0, 0.5)
        == {"abc": {0: [0], 1: [0]}, "ca": {0: [4], 1: [4]}}
    )


PROBE = """
import sys, resource
resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
import _qor_cpp
pm = _qor_cpp.PatternMiner(float(sys.argv[1]), min_len=1, max_overlap=1.0)
pm.mine([list("ab"), list("cd")])
print(repr({k: m.indexes for k, m in pm.frequent.items()}))
"""


@pytest.mark.parametrize("minsup", ["0.0", "-1.0", "nan"])
def test_threshold_at_or_below_zero_still_ends(minsup):
    # run apart: a search that never drops anything would not end
    try:
        run = subprocess.run(
            [sys.executable, "-c", PROBE, minsup], capture_output=True, text=True, timeout=120
        )
    except subprocess.TimeoutExpired:
        pytest.fail("the search did not end")
    assert run.returncode == 0, run.stderr
    assert ast.literal_eval(run.stdout) == {
        "a": {0: [0]},
        "ab": {0: [0]},
        "b": {0: [1]},
        "c": {1: [0]},
        "cd": {1: [0]},
        "d": {1: [1]},
    }


@pytest.mark.parametrize(
    "word, settings, keys",
    [
        ("a\x00\xff\x80B", dict(KEEP_ALL, max_len=1), ["\x80", "\xff", "\x00", "B", "a"]),
        ("b\xe9a", KEEP_ALL, ["\xe9", "\xe9a", "a", "b", "b\xe9", "b\xe9a"]),
    ],
)
def test_frequent_key_order(word, settings, keys):
    # codes from 0x80 up sort first (signed bytes); a prefix precedes its extensions
    pm = q.PatternMiner(1.0, **settings)
    pm.mine([list(word)])
    assert list(pm.frequent) == keys
    assert [m.pattern for m in pm.frequent.values()] == keys


def test_mine_returns_none_and_frequent_starts_empty():
    pm = q.PatternMiner(0.5)
    assert pm.frequent == {}
    assert pm.mine([]) is None
    assert pm.frequent == {}
    assert pm.mine(as_words(["abc"])) is None


def test_motifs_carry_only_pattern_and_indexes():
    pm = q.PatternMiner(1.0)
    pm.mine([("a", "b", "c"), ["x", "a", "b", "c"]])  # a tuple is a word too
    [m] = pm.frequent.values()
    assert (m.pattern, m.indexes) == ("abc", {0: [0], 1: [1]})
    assert (m.length, m.naed, m.average_occurrences, m.representative, m.best_matches) == (0, 0.0, {}, [], {})


@pytest.mark.parametrize(
    "first, second, settings",
    [
        (["aaaa"], ["aaaa"], {}),
        (["aaaa"], ["abab", "baba"], {}),  # aaa was filtered out after the first call
        (["abcab", "bcabc"], ["xyz"], dict(min_len=2, max_overlap=1.0)),
        (["abcd"], [], KEEP_ALL),
        (["ab", "ba"], ["abab"], KEEP_ALL),
    ],
)
def test_each_mine_starts_clean(first, second, settings):
    pm = q.PatternMiner(1.0, **settings)
    pm.mine(as_words(first))
    before = pm.frequent
    pm.mine(as_words(second))
    assert {k: m.indexes for k, m in pm.frequent.items()} == mine_patterns(second, 1.0, **settings)
    assert {k: m.indexes for k, m in before.items()} == mine_patterns(first, 1.0, **settings)
