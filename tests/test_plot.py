"""plot_motifs: real renders, the windows and occurrences it draws, and its refusals."""

import sys

import numpy as np
import pytest

pytest.importorskip("matplotlib")
import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.image as mpimg  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402

import qor  # noqa: E402
from qor.plot import plot_motifs  # noqa: E402

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


@pytest.fixture(scope="module")
def ragged():
    """Series of different lengths that all end on a steep rise: the best matches of the
    first motif run past the end of several series."""
    rng = np.random.default_rng(3)
    series = [rng.normal(size=int(n)) * 0.3 for n in rng.integers(150, 260, size=12)]
    for x in series:
        x[-20:] += np.linspace(0.0, 6.0, 20)
    motifs = qor.rank(qor.Miner(0.8, 8, 4, min_len=2).mine(series))
    assert len(motifs) >= 2
    return series, motifs


@pytest.fixture(scope="module")
def planted():
    rng = np.random.default_rng(0)
    x = rng.normal(size=(20, 400))
    for row in x:
        s = rng.integers(0, 400 - 64)
        row[s : s + 64] += 3 * np.sin(np.linspace(0, 2 * np.pi, 64))
    motifs = qor.rank(qor.Miner(0.8, 8, 5).mine(x))
    assert len(motifs) >= 4
    return x, motifs


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def window(x, start, length):
    """``length`` samples of the z-normalised ``x`` from ``start``, NaN past its end."""
    z = (x - x.mean()) / x.std()
    out = np.full(length, np.nan)
    part = z[start : start + length]
    out[: len(part)] = part
    return out


@pytest.mark.parametrize("top", [1, 3])
def test_saves_a_png_of_the_figure_size_and_closes_it(planted, tmp_path, top):
    x, motifs = planted
    path = tmp_path / "motifs.png"
    fig = plot_motifs(motifs, x, top=top, path=path, title="planted")
    assert path.read_bytes()[:8] == PNG_SIGNATURE
    height, width = mpimg.imread(path).shape[:2]
    w_in, h_in = fig.get_size_inches()
    assert abs(width - w_in * 120) <= 1 and abs(height - h_in * 120) <= 1
    assert not plt.fignum_exists(fig.number)
    assert len(fig.axes) == 2 * top


def test_figure_grows_with_the_motifs_drawn(planted):
    x, motifs = planted
    (w1, h1), (w2, h2), (w4, h4) = (plot_motifs(motifs, x, top=n).get_size_inches() for n in (1, 2, 4))
    assert w1 == w2 == w4
    assert h4 - h1 == pytest.approx(3 * (h2 - h1)) and h2 > h1


@pytest.mark.parametrize("top, drawn", [(0, 0), (2, 2), (None, "all")])
def test_top_is_honoured(planted, top, drawn):
    x, motifs = planted
    fig = plot_motifs(iter(motifs), x, top=top)
    assert len(fig.axes) == 2 * (len(motifs) if drawn == "all" else drawn)


def test_left_panel_draws_the_best_match_windows_and_the_representative(ragged):
    series, motifs = ragged
    m = motifs[0]
    best, length = m.best_matches, m.length
    left = plot_motifs(motifs, series, top=2).axes[0]
    (windows,) = left.collections  # each window's stretches of real samples, in series order
    (rep,) = left.lines
    lines = windows.get_segments()
    expected, padded = [], 0
    for k, start in sorted(best.items()):
        y = window(series[k], start, length)
        padded += bool(np.isnan(y).any())
        run = []
        for i, v in enumerate(y):
            if not np.isnan(v):
                run.append((i, v))
            elif run:
                expected.append(np.array(run)), run.clear()
        if run:
            expected.append(np.array(run))
    assert len(lines) == len(expected)
    for line, want in zip(lines, expected, strict=True):
        np.testing.assert_allclose(line, want, rtol=1e-9, atol=1e-12)
    assert padded >= 3  # windows running past a series' end were part of the comparison
    np.testing.assert_array_equal(rep.get_ydata(), np.asarray(m.representative))
    assert rep.get_linewidth() > 2 * windows.get_linewidth()[0]
    # The panel's limits take in the windows.
    low, high = left.get_ylim()
    assert low <= min(line[:, 1].min() for line in lines) and high >= max(line[:, 1].max() for line in lines)
    title = left.get_figure().get_suptitle()
    assert f"'{m.pattern}'" in title and f"{qor.relative_naed(m):.3g}" in title
    assert f"{len(best)}/{len(series)} series" in title


class _Motif:
    """A record with what a figure reads of a motif."""

    def __init__(self, length, best):
        self.pattern, self.length, self.naed = "ab", length, 0.5
        self.best_matches, self.indexes = best, {k: [0] for k in best}
        self.representative = list(np.linspace(-1.0, 1.0, length))


def test_a_window_breaks_where_it_is_nan():
    # Samples whose gaps to the mean overflow make NaN there alone once normalised.
    big = np.finfo(np.float64).max
    x = np.zeros(12)
    x[[2, 9]], x[5] = -0.9 * big, big
    with np.errstate(all="ignore"):
        assert np.isnan((x - x.mean()) / x.std()).sum() == 1
    left = plot_motifs([_Motif(12, {0: 0})], [x]).axes[0]
    (windows,) = left.collections
    starts = [line[0, 0] for line in windows.get_segments()]
    assert starts == [0.0, 6.0] and windows.get_capstyle() == plt.rcParams["lines.solid_capstyle"]


def test_an_array_and_its_rows_draw_the_same(planted):
    x, motifs = planted
    lines = [
        [line.get_ydata() for ax in plot_motifs(motifs, data, top=2).axes[::2] for line in ax.lines]
        for data in (x, list(x), [row.tolist() for row in x])
    ]
    for other in lines[1:]:
        np.testing.assert_array_equal(np.concatenate(other), np.concatenate(lines[0]))


def test_right_panel_marks_every_occurrence_and_the_best_matches(planted):
    x, motifs = planted
    m = motifs[1]
    seglen = m.length // len(m.pattern)
    fig = plot_motifs(motifs, x, top=2)
    right = fig.axes[3]
    others, best = right.collections
    drawn = {(float(a[0]), float(a[1]), float(b[0]), float(b[1])) for a, b in others.get_segments()}
    drawn |= {(float(a[0]), float(a[1]), float(b[0]), float(b[1])) for a, b in best.get_segments()}
    expected = {(p * seglen, k, p * seglen + m.length, k) for k, ps in m.indexes.items() for p in ps}
    assert drawn == expected
    assert {(a[0], a[1]) for a, _ in best.get_segments()} == {(s, k) for k, s in m.best_matches.items()}
    assert right.get_ylim() == (-0.5, len(x) - 0.5)
    assert right.get_xlabel() == "sample" and right.get_ylabel() == "series"


def test_no_motifs_is_a_figure_that_says_so(tmp_path):
    fig = plot_motifs([], [[1.0, 2.0]], path=tmp_path / "empty.png")
    assert fig.axes == []
    assert any(t.get_text() == "no motifs" for t in fig.texts)
    assert (tmp_path / "empty.png").read_bytes()[:8] == PNG_SIGNATURE


def test_a_series_beyond_the_collection_is_refused(ragged):
    series, motifs = ragged
    last = max(motifs[0].best_matches)
    before = plt.get_fignums()
    with pytest.raises(ValueError, match=f"series {last}"):
        plot_motifs(motifs, series[:last], top=1)
    assert plt.get_fignums() == before
    with pytest.raises(ValueError, match="top"):
        plot_motifs(motifs, series, top=-1)


def test_a_failed_save_leaves_no_figure_open(ragged, tmp_path):
    series, motifs = ragged
    before = plt.get_fignums()
    with pytest.raises(ValueError, match="xyz"):
        plot_motifs(motifs, series, top=1, path=tmp_path / "motifs.xyz")
    with pytest.raises(FileNotFoundError):
        plot_motifs(motifs, series, top=1, path=tmp_path / "no" / "such" / "dir.png")
    assert plt.get_fignums() == before


def test_a_dataframe_is_refused_with_both_ways_out(ragged):
    pd = pytest.importorskip("pandas")
    series, motifs = ragged
    with pytest.raises(TypeError, match=r"df\.to_numpy\(\).*df\.T\.to_numpy\(\)"):
        plot_motifs(motifs, pd.DataFrame([s[:10] for s in series]), top=1)


def test_without_matplotlib_the_error_says_what_to_install(planted, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r'pip install "qor\[plot\]"'):
        plot_motifs(planted[1], planted[0])
