"""Reading series: buffers (NumPy arrays, array.array) give the results and errors of the
equivalent lists, and sequences are read the way pybind11's own list conversion reads them."""

import array
import math
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import _qor_cpp as q


def exact(x):
    """Floats by their bits (NaN equal to NaN), dicts with their key order."""
    if isinstance(x, float):
        return "nan" if math.isnan(x) else x.hex()
    if isinstance(x, dict):
        return [(k, exact(v)) for k, v in x.items()]
    if isinstance(x, list):
        return [exact(v) for v in x]
    return x


def mined(series, **settings):
    miner = q.Miner(0.3, 4, 5, min_len=2, **settings)
    top = miner.mine(series)
    fields = ("pattern", "indexes", "average_occurrences", "representative", "best_matches", "length", "naed")
    return [[exact(getattr(m, f)) for f in fields] for m in top + miner.motifs]


@pytest.fixture(scope="module")
def walks():
    rng = np.random.default_rng(7)
    x = np.cumsum(rng.normal(size=(40, 90)), axis=1)
    x[3, 10:14] = np.nan
    x[5] = 2.0  # constant: normalises to NaN
    return x


def as_rows(x):
    return [np.ascontiguousarray(row) for row in x]


@pytest.mark.parametrize(
    "convert",
    [
        lambda x: x,  # 2-D C-contiguous float64
        as_rows,  # sequence of 1-D float64 arrays
        lambda x: tuple(array.array("d", row) for row in x),
        lambda x: np.asfortranarray(x),  # not C-contiguous: element by element
        lambda x: x.astype(">f8"),  # foreign byte order: element by element
        lambda x: x.astype(np.float32).astype(np.float64),  # same path, other values
    ],
)
def test_buffers_match_lists(walks, convert):
    data = convert(walks)
    expected = np.asarray(data, dtype=np.float64).tolist()
    assert mined(data) == mined(expected)
    assert q.sax(data, 4, 5) == q.sax(expected, 4, 5)


@pytest.mark.parametrize(
    "part",
    [lambda m: m, lambda m: m[5:30], lambda m: m[::2], lambda m: [m[i] for i in range(len(m))]],
    ids=["whole", "rows", "strided", "row views"],
)
def test_memory_mapped_and_read_only_arrays_read_as_their_values(walks, tmp_path, part):
    path = tmp_path / "walks.npy"
    np.save(path, walks)
    data = part(np.load(path, mmap_mode="r"))
    expected = np.asarray(data, dtype=np.float64).tolist()
    assert mined(data) == mined(expected)
    read_only = np.array(walks)
    read_only.flags.writeable = False
    assert mined(part(read_only)) == mined(np.asarray(part(walks)).tolist())


@pytest.mark.parametrize("threads", ["1", "2", "3"])
def test_a_large_array_is_read_whole_by_any_number_of_threads(monkeypatch, threads):
    import _qor_engine as _engine

    # Large enough to be read (and normalised as it is read) in parts, with an
    # odd number of samples; other values for each case, so that no sample can
    # be left from an earlier call.
    x = np.cumsum(np.random.default_rng(int(threads)).normal(size=(1_601, 1_001)), axis=1)
    monkeypatch.setenv("QOR_NUM_THREADS", threads)
    expected = _engine.normalise(x.tolist()).__getstate__()[0]
    for samples in (
        _engine.normalise(x).__getstate__()[0],  # the threads of QOR_NUM_THREADS
        _engine.normalise(x, threads=4 - int(threads)).__getstate__()[0],  # the threads asked for
    ):
        np.testing.assert_array_equal(samples.view(np.int64), expected.view(np.int64))


@pytest.mark.parametrize("threads", ["1", "3"])
@pytest.mark.parametrize("seglen", [7, 2049])
def test_long_rows_give_the_words_and_motifs_of_lists(monkeypatch, threads, seglen):
    import _qor_engine as _engine

    # Rows of several blocks of letters (normalised and discretised together
    # as an array is read), with NaN samples and a constant row.
    rng = np.random.default_rng(seglen)
    x = np.cumsum(rng.normal(size=(9, 3 * seglen + 4_100)), axis=1)
    x[2, 100:103] = np.nan
    x[4] = -1.0
    monkeypatch.setenv("QOR_NUM_THREADS", threads)
    miner = q.Miner(0.3, seglen, 5, min_len=2 if seglen < 10 else 1)
    as_array, as_lists = miner.mine(x), miner.mine(x.tolist())
    assert as_array and [exact(m.representative) for m in as_array] == [
        exact(m.representative) for m in as_lists
    ]
    assert [exact(m.naed) for m in as_array] == [exact(m.naed) for m in as_lists]
    # The words of the normalised rows made apart.
    normalised = _engine.normalise(x).__getstate__()[0].reshape(x.shape)
    apart = "".join("".join(word) for word in q.sax(normalised.tolist(), seglen, 5))
    for data in (x, x.tolist()):
        symbols, ends = _engine.discretise(data, seglen, 5)
        assert symbols.tobytes().decode() == apart
        assert ends.tolist() == [(len(row) + seglen - 1) // seglen * (i + 1) for i, row in enumerate(x)]


@pytest.mark.parametrize("seglen, alphabet, error", [(0, 4, "^vector too long$"), (2, 11, "got 11")])
def test_discretise_errors_of_arrays_and_lists_alike(walks, seglen, alphabet, error):
    import _qor_engine as _engine

    for data in (walks, walks.tolist()):
        with pytest.raises(ValueError, match=error):
            _engine.discretise(data, seglen, alphabet)


def test_ragged_rows_and_empty_shapes(walks):
    rows = [walks[i, : 20 + i] for i in range(len(walks))] + [np.empty(0)]
    assert mined(rows) == mined([r.tolist() for r in rows])
    assert q.sax(np.empty((3, 0)), 2, 4) == [[], [], []]
    assert q.sax(np.empty((0, 5)), 2, 4) == []


def test_input_array_is_left_unchanged(walks):
    data = walks.copy()
    data.setflags(write=False)
    q.Miner(0.3, 4, 5).mine(data)
    np.testing.assert_array_equal(data, walks)


@pytest.mark.parametrize(
    "data, error",
    [
        (np.zeros(6), TypeError),  # one series, not a list of series
        (np.zeros((2, 3, 4)), TypeError),  # rows of rows
        (np.array([[1.0, None]], dtype=object), TypeError),
        (np.array([["a", "b"]]), TypeError),
    ],
)
def test_refused_like_lists(data, error):
    for call in (lambda d: q.sax(d, 2, 4), lambda d: q.Miner(0.5, 2, 4).mine(d)):
        with pytest.raises(error):
            call(data)
        with pytest.raises(error):
            call(data.tolist())


@pytest.mark.filterwarnings("ignore:Warning. converting a masked element to nan")
def test_masked_array_is_read_element_by_element():
    # Its buffer holds the hidden 2.0; element by element the masked value reads as NaN.
    masked = np.ma.masked_array([[1.0, 2.0, 3.0]], mask=[[0, 1, 0]])
    assert q.sax(masked, 1, 3) == q.sax([[1.0, math.nan, 3.0]], 1, 3) == [["c", "a", "c"]]


@pytest.mark.parametrize("seglen, alphabet, error", [(0, 4, "^vector too long$"), (2, 12, "got 12")])
def test_setting_errors_unchanged(walks, seglen, alphabet, error):
    for data in (walks, walks.tolist()):
        if alphabet <= 10:
            with pytest.raises(ValueError, match=error):
                q.sax(data, seglen, alphabet)
        miner = q.Miner(0.5, seglen, alphabet)
        with pytest.raises(ValueError, match=error):
            miner.mine(data)
        assert miner.motifs == []


class Zeros(list):
    """A list whose items read as 0.0 through the sequence protocol."""

    def __getitem__(self, i):
        return 0.0


class Shrinking:
    """A number whose conversion empties the list it sits in."""

    def __init__(self, owner):
        self.owner = owner

    def __float__(self):
        self.owner.clear()
        return 1.0


class Growing:
    """A number whose conversion appends to the list it sits in."""

    def __init__(self, owner):
        self.owner = owner

    def __float__(self):
        self.owner.append(self)
        return 1.0


def test_sequences_read_through_the_sequence_protocol():
    assert q.sax([Zeros([1.0, 2.0])], 1, 3) == q.sax([[0.0, 0.0]], 1, 3)
    shrinking = [0.0, 0.0, 0.0]
    shrinking[0] = Shrinking(shrinking)
    with pytest.raises(IndexError):
        q.sax([shrinking], 1, 3)
    growing = [0.0, 5.0]
    growing[0] = Growing(growing)
    assert q.sax([growing], 1, 3) == [["c", "c"]]  # read up to its length at the start


class Raising:
    """A number whose conversion raises `error`, counting its calls."""

    def __init__(self, error):
        self.error, self.calls = error, 0

    def __float__(self):
        self.calls += 1
        raise self.error


class RaisingIndex:
    def __init__(self, error):
        self.error, self.calls = error, 0

    def __index__(self):
        self.calls += 1
        raise self.error


CALLS = [
    lambda d: q.sax(d, 1, 3),
    lambda d: q.Miner(0.5, 1, 3).mine(d),
]


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("make", [Raising, RaisingIndex])
@pytest.mark.parametrize(
    "error",
    [KeyboardInterrupt(), SystemExit(3), MemoryError(), RuntimeError("x"), ZeroDivisionError()],
    ids=lambda e: type(e).__name__,
)
def test_exception_of_a_conversion_propagates_as_itself_after_one_attempt(call, make, error):
    sample = make(error)
    with pytest.raises(type(error)) as caught:
        call([[1.0, sample, 2.0]])
    assert caught.value is error
    assert sample.calls == 1


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("error", [TypeError("own"), ValueError("v"), OverflowError("o")], ids=repr)
def test_value_that_does_not_convert_is_refused_after_one_attempt(call, error):
    # The errors of a value that is no real number: the signature TypeError.
    sample = Raising(error)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call([[1.0, sample, 2.0]])
    assert sample.calls == 1


def test_nested_conversions_run_once_each():
    calls = []

    class Nested:
        def __init__(self, depth):
            self.depth = depth

        def __float__(self):
            calls.append(self.depth)
            if self.depth == 0:
                raise ValueError("innermost")  # each level above: TypeError from the call it makes
            return float(q.sax([[Nested(self.depth - 1)]], 1, 3)[0][0] == "a")

    with pytest.raises(TypeError, match="incompatible function arguments"):
        q.sax([[Nested(15)]], 1, 3)
    assert calls == list(range(15, -1, -1))


def test_length_errors_propagate_once():
    class BadLength(list):
        calls = 0

        def __len__(self):
            BadLength.calls += 1
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        q.sax([BadLength([1.0])], 1, 3)
    assert BadLength.calls == 1


@pytest.mark.parametrize(
    "data",
    [
        np.ones((2, 3), dtype=np.complex128),
        np.ones((2, 3), dtype=np.complex64),
        [np.ones(3, dtype=np.complex128)],
        [[1.0, 2j, 3.0]],
        [[1.0, complex(2.0, 0.0)]],
        [[np.complex128(1.0)]],
        [[np.complex64(1.0)]],
        [[np.clongdouble(1.0)]],
    ],
    ids=lambda d: type(d).__name__ + (str(d.dtype) if hasattr(d, "dtype") else ""),
)
def test_complex_input_is_refused(data):
    for call in CALLS:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            call(data)


@pytest.mark.parametrize("item", ["1.5", None, [1.0], b"1", 10**400])
def test_non_numbers_keep_the_signature_type_error(item):
    for call in CALLS:
        with pytest.raises(TypeError, match=r"incompatible function arguments(.|\n)*List\[List\[float\]\]"):
            call([[1.0, item]])


@pytest.mark.parametrize("item", [Fraction(1, 3), np.float32(0.25), np.int64(-3), True, 7, Decimal("0.5")])
def test_real_numbers_read_as_their_float(item):
    assert q.sax([[item, 0.0]], 1, 3) == q.sax([[float(item), 0.0]], 1, 3)
