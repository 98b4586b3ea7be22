"""The qor package: exports, one-call mining, the rankings, records and DataFrames."""

import csv
import io
import json
import math
import pickle
import re
import subprocess
import sys
import warnings
from importlib.metadata import metadata, version
from pathlib import Path

import numpy as np
import pytest

import _qor_cpp
import _qor_engine
import qor
from qor._score import _relative_naeds
from qor._table import FIELDS, csv_parts, format_table, json_parts, records, to_csv, to_json, with_averages

WIDTH = 64


def planted(n, m, *, kind="sine", amp=4.0, seed=0):
    """Standard normal noise with one shared 64-sample shape added at a random place in every series."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, m))
    t = np.linspace(0, 2 * np.pi, WIDTH)
    if kind == "sine":
        shape = np.sin(t)
    else:  # a fixed random walk, scaled to a peak of 1
        walk = np.cumsum(np.random.default_rng(99).normal(size=WIDTH))
        shape = (walk - walk.mean()) / np.abs(walk - walk.mean()).max()
    starts = rng.integers(0, m - WIDTH, size=n)
    for row, s in zip(x, starts, strict=False):
        row[s : s + WIDTH] += amp * shape
    return x, starts


def finds_planted(motif, starts):
    """Whether the best matches of at least 80% of the series overlap the planted shape."""
    hits = sum(b < starts[s] + WIDTH and starts[s] < b + motif.length for s, b in motif.best_matches.items())
    return hits >= 0.8 * len(starts)


def test_exports_and_version():
    assert qor.__version__ == version("qor")
    assert (qor.Miner, qor.PatternMiner, qor.Motif, qor.sax) == (
        _qor_cpp.Miner,
        _qor_cpp.PatternMiner,
        _qor_cpp.Motif,
        _qor_cpp.sax,
    )
    assert all(hasattr(qor, name) for name in qor.__all__)


def test_every_extra_the_docs_name_is_declared_and_tested():
    root = Path(__file__).parents[1]
    named = set(re.findall(r"qor\[(\w+)\]", (root / "README.md").read_text()))
    named |= set(re.findall(r"qor\[(\w+)\]", "".join(p.read_text() for p in (root / "qor").glob("*.py"))))
    declared = metadata("qor").get_all("Provides-Extra")
    assert named and named <= set(declared)
    # The test extra installs what each of the others does.
    required = metadata("qor").get_all("Requires-Dist")
    for extra in named - {"test"}:
        wanted = {r.split(";")[0].strip() for r in required if f'extra == "{extra}"' in r}
        tested = {r.split(";")[0].strip() for r in required if 'extra == "test"' in r}
        assert wanted and wanted <= tested, extra


@pytest.mark.parametrize("kind", ["sine", "walk"])
@pytest.mark.parametrize("n, m", [(50, 1000), (200, 1000), (50, 4000)])
def test_relative_naed_ranks_the_planted_shape_first_and_flat_runs_last(kind, n, m):
    x, starts = planted(n, m, kind=kind)
    motifs = qor.Miner(0.8, 8, 5).mine(x)
    by_shape = qor.rank(motifs)
    assert finds_planted(by_shape[0], starts)
    # The engine's naed puts the planted shape near the end.
    by_naed = qor.rank(motifs, "naed")
    first_planted = next(i for i, m in enumerate(by_naed) if finds_planted(m, starts))
    assert first_planted >= len(motifs) // 2
    flat = [i for i, m in enumerate(by_shape) if set(m.pattern) == {"c"}]
    assert all(i == len(by_shape) - 1 - j for j, i in enumerate(reversed(flat)))


def test_relative_naed_formula():
    x, _ = planted(30, 500)
    for m in qor.Miner(0.8, 8, 5).mine(x):
        rep = np.array(m.representative)
        assert qor.relative_naed(m) == pytest.approx(m.naed / np.nanstd(rep), rel=1e-12)


def test_relative_naed_of_engine_motifs_is_that_of_their_values():
    # The engine's motifs are scored in C++, other records with NumPy: the
    # same sums in the same order, so the same bits (NaN tails included).
    rng = np.random.default_rng(3)
    x = [np.cumsum(rng.normal(size=n)) for n in rng.integers(30, 200, 60)]
    blanked = [np.where(np.arange(len(s)) == 5, np.nan, s) for s in x]  # representatives all NaN
    motifs = qor.Miner(0.2, 7, 4).mine(x) + qor.Miner(0.2, 7, 4).mine(blanked)
    assert any(np.isnan(m.representative).all() for m in motifs)
    values = [FakeMotif(m.naed, m.representative) for m in motifs]
    assert _relative_naeds(motifs).tobytes() == _relative_naeds(values).tobytes()


class FakeMotif:
    def __init__(self, naed, representative):
        self.naed, self.representative = naed, representative


@pytest.mark.parametrize(
    "naed, rep, expected",
    [
        (0.5, [1.0, -1.0], 0.5),
        (0.5, [1.0, math.nan, -1.0], 0.5),  # NaN samples are left out of the spread
        (0.5, [2.0, 2.0, 2.0], math.inf),  # no spread
        (0.5, [math.nan, math.nan], math.inf),  # no samples
        (0.5, [], math.inf),
        (math.nan, [1.0, -1.0], math.inf),
    ],
)
def test_relative_naed_edge_cases(naed, rep, expected):
    assert qor.relative_naed(FakeMotif(naed, rep)) == expected


def test_rank_is_stable_and_puts_inf_and_nan_last():
    motifs = [
        FakeMotif(0.2, [1.0, -1.0]),
        FakeMotif(0.1, [5.0, 5.0]),
        FakeMotif(0.2, [2.0, -2.0]),
        FakeMotif(math.nan, [1.0, 0.0]),
        FakeMotif(0.1, [1.0, -1.0]),
        FakeMotif(0.1, [2.0, -2.0]),
    ]
    order = [motifs.index(m) for m in qor.rank(motifs)]
    assert order == [5, 2, 4, 0, 1, 3]  # 0.05, then a tie at 0.1 in the order given, 0.2, then inf, inf
    assert [motifs.index(m) for m in qor.rank(motifs, "naed")] == [1, 4, 5, 0, 2, 3]
    with pytest.raises(ValueError, match="unknown ranking 'size'"):
        qor.rank(motifs, "size")


def test_mine_matches_the_engine_and_ranks():
    x, _ = planted(40, 600, seed=3)
    engine = _qor_cpp.Miner(0.8, 8, 5).mine(x)
    for by in qor.RANKINGS:
        ours = qor.mine(list(x), seglen=8, alphabet=5, minsup=0.8, rank_by=by)
        assert [m.pattern for m in ours] == [m.pattern for m in qor.rank(engine, by)]
        assert [m.naed for m in ours] == [m.naed for m in qor.rank(engine, by)]
        # The ranking's scores, computed for all motifs together, are each motif's own,
        # and the engine's records score as their Python fields do.
        scores = [qor.score(m, by) for m in ours]
        assert scores == sorted(scores) and len(set(scores)) > 1
        copies = [FakeMotif(m.naed, m.representative) for m in ours]
        assert [qor.score(m, by) for m in copies] == scores
        assert [copies.index(m) for m in qor.rank(copies, by)] == list(range(len(copies)))
    assert [m.pattern for m in qor.mine(x, seglen=8, alphabet=5, minsup=0.8, rank_by="naed")] == [
        m.pattern for m in engine
    ]
    assert len(qor.mine(x, seglen=8, alphabet=5, minsup=0.8, top=2)) == 2


@pytest.mark.parametrize(
    "kwargs, error",
    [
        (dict(top=-1), "top must be at least 0"),
        (dict(seglen=0), "seglen must be at least 1"),
        (dict(minsup=math.nan), "minsup must be a finite number"),
        (dict(minsup="0.5"), "minsup must be a finite number"),
        (dict(alphabet=11), "alphabet must be between 2 and 10"),
        (dict(alphabet=1), "alphabet must be between 2 and 10"),
        (dict(rank_by="size"), "unknown ranking 'size'"),
        (dict(seglen=2**31), "seglen must be between 1 and 2147483647"),
        (dict(min_len=2**31), "min_len must be between 1 and 2147483647"),
        (dict(max_len=-1), "max_len must be at least 0"),
    ],
)
def test_mine_refuses_bad_settings(kwargs, error):
    # A collection that gives no motif: the settings are checked all the same.
    with pytest.raises(ValueError, match=error):
        qor.mine([[1.0, 2.0, 3.0]], seglen=kwargs.pop("seglen", 5), **kwargs)


def test_mine_takes_numpy_numbers_and_refuses_one_series():
    x = np.random.default_rng(4).normal(size=(10, 60))
    want = [m.naed for m in qor.mine(x, seglen=4, minsup=0.5)]
    assert [m.naed for m in qor.mine(x, seglen=np.int64(4), minsup=np.float32(0.5))] == want
    with pytest.raises(ValueError, match="not a 1-D array"):
        qor.mine(x[0])


def test_mine_refuses_complex_and_2d_series():
    with pytest.raises(TypeError, match="complex"):
        qor.mine(np.ones((2, 5), dtype=complex))
    with pytest.raises(TypeError, match="series 1 is complex"):
        qor.mine([np.ones(5), np.ones(5, dtype=complex)])
    with pytest.raises(ValueError, match="series 0 has 2 dimensions"):
        qor.mine([np.ones((2, 2))])


@pytest.mark.parametrize(
    "series, error, message",
    [
        ([[1.0, None, 2.0]], TypeError, "series 0, sample 1: None is not a real number"),
        ([[1.0, 2.0], ["1", "2"]], TypeError, "series 1 holds <U1 values"),
        (np.array([["1", "2"]]), TypeError, "the array holds <U1 values"),
        ([[10**400, 1, 2]], ValueError, "series 0: a sample does not fit a float64"),
        ([[1.0, 2.0], 3.0], ValueError, "series 1 has 0 dimensions"),
        (True, TypeError, "not iterable"),
    ],
)
def test_mine_refuses_samples_that_are_not_real_numbers(series, error, message):
    with pytest.raises(error, match=message):
        qor.mine(series, seglen=1)


def test_rows_that_are_pandas_series_read_by_position_not_label():
    pd = pytest.importorskip("pandas")
    x = np.random.default_rng(8).normal(size=(10, 90)).cumsum(axis=1)
    want = [(m.pattern, m.naed) for m in qor.mine(x, seglen=5)]
    shuffled = np.random.default_rng(9).permutation(90)
    for index in (shuffled, np.arange(90) + 1000):
        rows = [pd.Series(row, index=index) for row in x]
        assert [(m.pattern, m.naed) for m in qor.mine(rows, seglen=5)] == want


def test_mine_refuses_a_dataframe_and_names_both_ways_out():
    pd = pytest.importorskip("pandas")
    with pytest.raises(TypeError, match=r"df\.to_numpy\(\) for one series per row, or df\.T\.to_numpy\(\)"):
        qor.mine(pd.DataFrame(np.zeros((3, 8))), seglen=2)


def test_mine_reads_any_real_dtype_and_iterable_as_float64():
    x = np.random.default_rng(5).integers(-3, 4, size=(12, 80))
    want = [(m.pattern, m.naed) for m in qor.mine(x.astype(np.float64), seglen=4)]
    strided = list(np.asfortranarray(x.astype(np.float64)))  # rows that are not contiguous
    for same in (
        x,
        x.astype(np.int8),
        x.astype(np.float32),
        (row for row in x),
        [row.tolist() for row in x],
        strided,
        [tuple(row) for row in x.astype(np.float32)],
        tuple(x.astype(np.float64)),
        list(x.astype(">f8")),  # not in this machine's byte order
        list(np.ma.masked_array(x.astype(np.float64))),  # rows of an ndarray subclass
        pickle.loads(
            pickle.dumps(list(x.astype(np.float64)))
        ),  # a dtype equal to float64, not the same object
    ):
        assert [(m.pattern, m.naed) for m in qor.mine(same, seglen=4)] == want


@pytest.mark.parametrize(
    "shape",
    ["lists", "tuples", "arrays", "tuple of arrays", "generator"],
)
def test_ragged_collections_with_empty_and_blanked_series(shape):
    rng = np.random.default_rng(7)
    rows = [rng.normal(size=n).cumsum() for n in (0, 90, 120, 0, 0, 75, 200, 60, 0, 150, 110, 95, 130)]
    rows[2][40], rows[6][0], rows[7][-1] = np.nan, np.inf, np.nan
    given = {
        "lists": lambda: [r.tolist() for r in rows],
        "tuples": lambda: tuple(tuple(r) for r in rows),
        "arrays": lambda: list(rows),
        "tuple of arrays": lambda: tuple(rows),
        "generator": lambda: (r for r in rows),
    }[shape]()
    with pytest.warns(qor.MissingSamplesWarning, match="^3 of 13 series"):
        ours = qor.mine(given, seglen=5, alphabet=4, minsup=0.3, rank_by="naed")
    engine = _qor_cpp.Miner(0.3, 5, 4).mine([r.tolist() for r in rows])
    assert len(engine) > 3
    assert [(m.pattern, m.naed, m.indexes, m.best_matches) for m in ours] == [
        (m.pattern, m.naed, m.indexes, m.best_matches) for m in engine
    ]


@pytest.mark.parametrize("as_list", [False, True])
def test_mine_warns_of_series_that_missing_samples_blank_out(as_list):
    x = np.random.default_rng(6).normal(size=(20, 200))
    clean = [(m.pattern, m.naed) for m in qor.mine(x, seglen=8)]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        qor.mine(x, seglen=8)  # no gap, no warning
    x[3, 5], x[11, 150] = np.nan, -np.inf
    x[15, 10:12] = 1e308  # finite samples whose sum is not
    with pytest.warns(
        qor.MissingSamplesWarning, match="3 of 20 series hold NaN or infinite samples"
    ) as caught:
        gapped = qor.mine(list(x) if as_list else x, seglen=8)
    assert caught[0].filename == __file__  # points at the caller's line
    # The warning changes nothing: the result is the engine's.
    engine = qor.Miner(0.5, 8, 4).mine(x)
    assert sorted((m.pattern, m.naed) for m in gapped) == sorted((m.pattern, m.naed) for m in engine)
    assert [(m.pattern, m.naed) for m in gapped] != clean


@pytest.mark.parametrize(
    "row, blanked",
    [
        ([1e308, 1e308, 0.0, 0.0, -1e308, -1e308, 0.0, 0.0], 1),  # the engine's sum, in order, overflows
        ([1e308, -1e308, 0.0, 0.0, 1e308, 1.0, 2.0, 3.0], 0),  # ... and here it does not
    ],
)
def test_the_warning_counts_the_series_the_engine_blanks_in_every_form(row, blanked):
    x = np.array([row, np.arange(8.0), np.arange(8.0)[::-1]])
    for data in (x, x.tolist(), [r.copy() for r in x], (r.tolist() for r in x)):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            qor.mine(data, seglen=2, alphabet=3, minsup=0.5)
        assert [str(w.message)[:7] for w in caught] == ["1 of 3 "] * blanked


def test_a_source_checkout_run_in_place_imports_every_module():
    # python -m qor from the project's root imports the source tree's qor:
    # the compiled modules must not live inside it.
    root = Path(__file__).parents[1]
    code = "import qor, qor.distributed, qor.plot, qor.cli; print(qor.__file__)"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=root)
    assert result.returncode == 0, result.stderr
    assert Path(result.stdout.strip()).parent == root / "qor"


@pytest.mark.parametrize("lengths, expected", [([], 1), ([10], 1), ([251] * 3, 8), ([100, 1000, 2000], 31)])
def test_default_seglen(lengths, expected):
    assert qor.default_seglen([np.zeros(n) for n in lengths]) == expected


@pytest.fixture
def mined():
    x, _ = planted(20, 400, seed=5)
    x[3, 10:20] = np.nan
    with pytest.warns(qor.MissingSamplesWarning):
        return qor.mine(x, seglen=8, alphabet=5, minsup=0.8, top=4), len(x)


def test_records_hold_every_field(mined):
    motifs, n = mined
    rows = records(motifs, n)
    assert [r["rank"] for r in rows] == [1, 2, 3, 4]
    for r, m in zip(rows, motifs, strict=False):
        assert tuple(r) == FIELDS
        assert (r["pattern"], r["length"], r["indexes"], r["best_matches"]) == (
            m.pattern,
            m.length,
            m.indexes,
            m.best_matches,
        )
        assert r["seglen"] == 8 and r["series"] == len(m.indexes) and r["share"] == len(m.indexes) / n
        assert r["occurrences"] == sum(map(len, m.indexes.values()))
        assert r["typical_position"] == int(np.median(list(m.best_matches.values())))
    table = format_table(rows).splitlines()
    assert table[0].split()[:3] == ["rank", "pattern", "series"] and len(table) == 5
    assert table[1].split()[1] == motifs[0].pattern


def test_json_and_csv_round_trip(mined):
    motifs, n = mined
    rows = records(motifs, n)
    doc = json.loads(to_json(rows, series=n))
    assert doc["series"] == n and len(doc["motifs"]) == len(rows)
    for got, r in zip(doc["motifs"], rows, strict=False):
        assert got["best_matches"] == {str(k): v for k, v in r["best_matches"].items()}
        rep = [math.nan if v is None else v for v in got["representative"]]
        np.testing.assert_array_equal(rep, r["representative"])  # exact: JSON keeps every digit
    back = list(csv.DictReader(io.StringIO(to_csv(rows))))
    assert [b["pattern"] for b in back] == [r["pattern"] for r in rows]
    assert json.loads(back[0]["indexes"]) == {str(k): v for k, v in rows[0]["indexes"].items()}
    assert float(back[0]["relative_naed"]) == rows[0]["relative_naed"]
    # Non-finite floats are null, series numbers keys, and NumPy numbers numbers.
    odd = {"naed": math.inf, "average_occurrences": {1: [math.nan, 1.5, -math.inf]}}
    assert json.loads(to_json([odd], series=np.int64(3), share=np.float64(0.5))) == {
        "series": 3,
        "share": 0.5,
        "motifs": [{"naed": None, "average_occurrences": {"1": [None, 1.5, None]}}],
    }


def _engine_rows(motifs):
    """Each motif's average_occurrences as the engine's lists give them, stacked, and the keys."""
    out = []
    for m in motifs:
        rows = m.average_occurrences
        out.append((list(rows), np.array(list(rows.values()), dtype=np.float64).reshape(len(rows), -1)))
    return out


@pytest.mark.parametrize("kind", ["gapped", "ragged", "patterns"])
def test_average_table_holds_average_occurrences_bit_for_bit(kind):
    rng = np.random.default_rng(7)
    if kind == "patterns":  # motifs without average rows
        pm = _qor_cpp.PatternMiner(0.5)
        pm.mine([list("abcab"), list("bcabc"), list("abcd")])
        motifs = list(pm.frequent.values())
        assert motifs and all(_qor_engine.average_table(m).shape == (0, 0) for m in motifs)
        return
    x = [
        np.cumsum(rng.normal(size=n)) for n in ([300] * 30 if kind == "gapped" else rng.integers(20, 400, 30))
    ]
    x[2][5:9] = np.nan  # a series blanked throughout
    x[3][:] = 1.0  # constant
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", qor.MissingSamplesWarning)
        motifs = qor.mine(x, seglen=5, alphabet=4, minsup=0.3)
    assert motifs
    for m, (keys, expected) in zip(motifs, _engine_rows(motifs), strict=True):
        table = _qor_engine.average_table(m)
        assert keys == list(m.indexes) and table.shape == (len(keys), m.length)
        assert table.tobytes() == expected.tobytes()  # NaN payloads and -0.0 included


def _reference_csv(rows):
    """CSV as the csv module writes it, with JSON text in the dict and list cells."""
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=FIELDS, lineterminator="\n")
    writer.writeheader()
    for r in rows:
        writer.writerow({k: _json_text(v) if isinstance(v, (dict, list)) else v for k, v in r.items()})
    return out.getvalue()


def _json_text(value, indent=False):
    import orjson

    option = orjson.OPT_NON_STR_KEYS | orjson.OPT_SERIALIZE_NUMPY | (orjson.OPT_INDENT_2 if indent else 0)
    return orjson.dumps(value, option=option).decode()


@pytest.mark.parametrize(
    "meta",
    [{}, {"series": 20}, {"series": 20, "ranking": "naed", "settings": {"seglen": 8, "nested": {"a": []}}}],
)
def test_json_and_csv_are_written_a_record_at_a_time_as_one_document(mined, meta):
    motifs, n = mined
    rows = records(motifs, n)
    streamed = list(with_averages(records(motifs, n, averages=False), motifs))
    whole = _json_text({**meta, "motifs": rows}, indent=True)
    assert to_json(rows, **meta) == whole
    assert b"".join(json_parts(iter(streamed), **meta)).decode() == whole
    assert to_json([], **meta) == _json_text({**meta, "motifs": []}, indent=True)
    # A first record of None is a record; a "motifs" in meta keeps its place there.
    odd = [None, rows[0]]
    assert to_json(odd, **meta) == _json_text({**meta, "motifs": odd}, indent=True)
    clash = {"motifs": 1, **meta}
    assert to_json(rows, **clash) == _json_text({**clash, "motifs": rows}, indent=True)
    assert to_csv(rows) == _reference_csv(rows) == b"".join(csv_parts(iter(streamed))).decode()


class _Blank:
    def __str__(self):
        return ""


@pytest.mark.parametrize(
    "value",
    [
        "",
        None,
        _Blank(),
        "a,b",
        'say "hi"',
        "two\nlines",
        "cr\rhere",
        " lead",
        "é",
        True,
        0.1,
        math.nan,
        np.float64(1e16),
        -0.0,
        7,
        {"k": 'a,"b"\n'},
        [],
        {},
        [1.5, math.inf],
        {"é": ["x"]},
    ],
)
def test_csv_cells_are_those_of_the_csv_module(value):
    row = dict.fromkeys(FIELDS, 1) | {"pattern": value, "indexes": value}
    assert b"".join(csv_parts([row])).decode() == _reference_csv([row])


def test_csv_refuses_unknown_fields():
    with pytest.raises(ValueError, match="fields not in fieldnames: 'colour'"):
        to_csv([{"rank": 1, "colour": "red"}])


def test_to_frame(mined):
    pd = pytest.importorskip("pandas")
    motifs, n = mined
    frame = qor.to_frame(motifs, n_series=n)
    assert isinstance(frame, pd.DataFrame) and list(frame.index) == [1, 2, 3, 4]
    assert list(frame.columns) == list(FIELDS[1:])
    assert list(frame["pattern"]) == [m.pattern for m in motifs]
    np.testing.assert_array_equal(frame["representative"].iloc[0], motifs[0].representative)
    assert qor.to_frame([]).empty


def test_records_without_average_rows(mined):
    motifs, n = mined
    full, lean = records(motifs, n), records(motifs, n, averages=False)
    assert all(r["average_occurrences"] is None for r in lean)
    assert [{**r, "average_occurrences": None} for r in full] == lean
