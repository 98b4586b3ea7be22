"""Reading series from files: text (csv, tsv, whitespace), .npy and .npz."""

import bz2
import csv
import gzip
import io
import lzma
import math
import os
import threading
import warnings

import numpy as np
import pytest

from qor._load import LoadError, load

NAN = math.nan


def write(tmp_path, name, content):
    path = tmp_path / name
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content, encoding="utf-8", newline="")
    return path


def values(series):
    """The series as lists of floats, NaN by a string so that lists compare."""
    return [["nan" if math.isnan(v) else v for v in s.tolist()] for s in series]


def check_fresh(series):
    for s in series:
        assert isinstance(s, np.ndarray) and s.dtype == np.float64 and s.ndim == 1
        assert s.flags.c_contiguous and s.flags.writeable and s.flags.owndata


# ---------------------------------------------------------------- text formats


@pytest.mark.parametrize(
    "name, content, kwargs",
    [
        ("a.csv", "1,2,3\n4,5\n", {}),
        ("a.CSV", "1,2,3\r\n4,5\r\n", {}),
        ("a.csv", "1,2,3\r4,5\r", {}),
        ("a.tsv", "1\t2\t3\n4\t5\n", {}),
        ("a.txt", "1 2   3\n\t4 \t 5\n", {}),
        ("a.txt", "1,2,3\n4,5\n", {}),
        ("a.dat", "1\t2\t3\n4\t5", {}),
        ("noext", "  1 2 3\n4 5\n", {}),
        ("a.txt", "\n\n1\t2\t3\n4\t5\n", {}),
        ("a.csv", "1;2;3\n4;5\n", {"delimiter": ";"}),
        ("a.csv", "1  2 3\n4\t5\n", {"delimiter": "whitespace"}),
    ],
)
def test_text_formats(tmp_path, name, content, kwargs):
    series = load(write(tmp_path, name, content), **kwargs)
    assert values(series) == [[1, 2, 3], [4, 5]]
    check_fresh(series)


def test_sniffing_uses_the_first_non_blank_line(tmp_path):
    # Commas on the first line win over tabs and spaces later on.
    path = write(tmp_path, "a.txt", "\n1, 2,3\n4 ,5\n")
    assert values(load(path)) == [[1, 2, 3], [4, 5]]
    # Tabs on the first line: a cell may then hold spaces around its number.
    path = write(tmp_path, "b.txt", "1\t 2 \t3\n")
    assert values(load(path)) == [[1, 2, 3]]


@pytest.mark.parametrize(
    "content, expected",
    [
        ("1,,3\n", [[1, "nan", 3]]),
        ("nan,NaN,-nan\n", [["nan", "nan", "nan"]]),
        ("inf,-inf,1e-3, 2.5 \n", [[math.inf, -math.inf, 1e-3, 2.5]]),
        ("1,2,,\n3,,\n4,5,6,7\n", [[1, 2], [3], [4, 5, 6, 7]]),
        ("1,,,4,,\n", [[1, "nan", "nan", 4]]),
        (",,5\n", [["nan", "nan", 5]]),
        ("1,2\n\n   \n,,,\n3\n", [[1, 2], [3]]),
        ("\ufeff1,2\n", [[1, 2]]),
        ('"1","2",3\n', [[1, 2, 3]]),
    ],
)
def test_cells(tmp_path, content, expected):
    assert values(load(write(tmp_path, "a.csv", content))) == expected


def test_round_trip_is_exact(tmp_path):
    rng = np.random.default_rng(3)
    rows = [rng.normal(scale=10.0 ** rng.integers(-300, 300), size=n) for n in (1, 7, 50)]
    rows.append(np.array([5e-324, -0.0, 1.7976931348623157e308, 0.1, 1 / 3]))
    path = write(tmp_path, "a.csv", "".join(",".join(repr(v) for v in r.tolist()) + "\n" for r in rows))
    loaded = load(path)
    assert [s.tobytes() for s in loaded] == [r.tobytes() for r in rows]


# ------------------------------------------------------- headers and labels


@pytest.mark.parametrize(
    "content, kwargs, expected",
    [
        ("time1,time2,time3\n1,2,3\n", {}, [[1, 2, 3]]),
        ("a,,b\n1,2\n", {}, [[1, 2]]),
        ("\n\nx,y\n1,2\n", {}, [[1, 2]]),
        ("1,2,3\n4,5\n", {}, [[1, 2, 3], [4, 5]]),
        ("nan,inf\n1,2\n", {}, [["nan", math.inf], [1, 2]]),
        ("1,2,3\n4,5\n", {"header": True}, [[4, 5]]),
        ("label,t1,t2\nA,1,2\nB,3\n", {"label_column": 0}, [[1, 2], [3]]),
        ("cat,1,2\ndog,3,4\n", {"label_column": 0}, [[1, 2], [3, 4]]),
        ("1,2,cat\n3,dog\n4,,5,6,bird\n", {"label_column": -1}, [[1, 2], [3], [4, "nan", 5, 6]]),
        ("1,A,2\n3,B,4\n", {"label_column": 1}, [[1, 2], [3, 4]]),
        ("A,,,\nB,1,,\n", {"label_column": 0}, [[], [1]]),
        ("1,2,A\n3,4,\n5,6,B\n", {"label_column": -1}, [[1, 2], [3, 4], [5, 6]]),  # an empty label
        # The header pandas' to_csv() writes with the index is a header, and the index goes ...
        (",0,1,2\n0,4.5,5,6\n1,7,8,9,,\n", {}, [[4.5, 5, 6], [7, 8, 9]]),
        (",0,1,2\n0,4.5,5,6\n", {"label_column": 0}, [[4.5, 5, 6]]),
        (",0,1,2\n0,4.5,5,6\n", {"label_column": -1}, [[0, 4.5, 5]]),
        # ... but other numbers, or a first row said to be data, are data.
        ("0,2,1\n4,5,6\n", {}, [[0, 2, 1], [4, 5, 6]]),
        ("0,1,2\n4,5,6\n", {"header": False}, [[0, 1, 2], [4, 5, 6]]),
        (",0\n1,2\n", {}, [["nan", 0], [1, 2]]),
    ],
)
def test_headers_and_labels(tmp_path, content, kwargs, expected):
    assert values(load(write(tmp_path, "a.csv", content), **kwargs)) == expected


@pytest.mark.parametrize(
    "content, kwargs, where",
    [
        ("x,1\n2,3\n", {}, "line 1, column 1: 'x'"),  # a number in it: data, not a header
        ("t1,t2\n1,2\n", {"header": False}, "line 1, column 1: 't1'"),
        ("A,b,c\n1,2,3\n", {"label_column": 0, "header": False}, "line 1, column 2: 'b'"),
    ],
)
def test_first_rows_read_as_data(tmp_path, content, kwargs, where):
    path = write(tmp_path, "a.csv", content)
    with pytest.raises(LoadError) as err:
        load(path, **kwargs)
    assert str(err.value) == f"{path}, {where} is not a number"


def test_a_row_without_the_label_column(tmp_path):
    path = write(tmp_path, "a.csv", "1,2,A,3\n\n4,5\n")
    with pytest.raises(LoadError) as err:
        load(path, label_column=2)
    assert str(err.value) == f"{path}, line 3: no column 2 to drop as the label (the row has 2 columns)"


# ------------------------------------------------------------- text errors


@pytest.mark.parametrize(
    "name, content, kwargs, where",
    [
        ("a.csv", "1,2\n3,4\n1,2,3,4,abc\n", {}, "line 3, column 5: 'abc'"),
        ("a.csv", "1,,x\n", {}, "line 1, column 3: 'x'"),
        ("a.csv", "1,2, oops ,,\n", {}, "line 1, column 3: 'oops'"),
        ("a.csv", "\n\nt1,t2\n\n1,2\n1,q\n", {}, "line 6, column 2: 'q'"),
        ("a.csv", "name,t1,t2\nA,1,2\nB,3,x\n", {"label_column": 0}, "line 3, column 3: 'x'"),
        ("a.csv", "1,x,A\n", {"label_column": -1}, "line 1, column 2: 'x'"),
        ("a.csv", "1,A,2,x\n", {"label_column": 1}, "line 1, column 4: 'x'"),
        ("a.csv", '"1","2"\n"3","4 5"\n', {}, "line 2, column 2: '4 5'"),
        ("a.csv", '"A\nB",1,2\n"C",3,z\n', {"label_column": 0}, "line 3, column 3: 'z'"),
        ("a.csv", '"A\n\nB",1,z\n', {"label_column": 0}, "line 3, column 3: 'z'"),
        ("a.csv", '"A\r\nB",1,z\r\n', {"label_column": 0}, "line 2, column 3: 'z'"),
        ("a.csv", '1,2\r"A\rB",3,z\r', {"label_column": 0}, "line 3, column 3: 'z'"),
        ("a.tsv", "1\t\tx\t\n", {}, "line 1, column 3: 'x'"),
        ("a.txt", "1 2 3\n4  5 six\n", {}, "line 2, column 3: 'six'"),
        ("a.txt", "1 2\n3 0x10\n", {"header": False}, "line 2, column 2: '0x10'"),
    ],
)
def test_bad_cells(tmp_path, name, content, kwargs, where):
    path = write(tmp_path, name, content)
    with pytest.raises(LoadError) as err:
        load(path, **kwargs)
    assert str(err.value) == f"{path}, {where} is not a number"
    assert isinstance(err.value, ValueError)


def test_a_first_row_of_column_numbers_is_data_with_a_warning(tmp_path):
    # to_csv(index=False)'s header, or a series that climbs by one from 0.
    path = write(tmp_path, "a.csv", "0,1,2,3\n4,5,6,7\n")
    with pytest.warns(UserWarning, match="pass header=True to skip it") as caught:
        assert values(load(path)) == [[0, 1, 2, 3], [4, 5, 6, 7]]
    assert caught[0].filename == __file__
    assert values(load(path, header=True)) == [[4, 5, 6, 7]]


def test_a_negative_label_column_on_rows_that_end_in_empty_cells_says_so(tmp_path):
    path = write(tmp_path, "a.csv", "1,2,A,\n3,4,B,\n")
    with pytest.raises(LoadError) as err:
        load(path, label_column=-1)
    assert str(err.value) == (
        f"{path}, line 1, column 3: 'A' is not a number"
        " (label_column -1 counts from the row's end, which is empty cells here)"
    )


@pytest.mark.parametrize("name, content", [("a.tsv", "1,5\t2,5\n"), ("a.csv", '"1,5","2,5"\n3,4\n')])
def test_decimal_commas_are_named_not_taken_for_a_header(tmp_path, name, content):
    path = write(tmp_path, name, content)
    with pytest.raises(LoadError) as err:
        load(path)
    assert str(err.value) == (
        f"{path}, line 1, column 1: '1,5' is not a number (decimal commas are not read: write 1.5, not 1,5)"
    )


def test_undecodable_text(tmp_path):
    path = write(tmp_path, "a.csv", b"1,2\n\xff\xfe,3\n")
    with pytest.raises(LoadError, match=r"a\.csv, line 2: not UTF-8 text"):
        load(path)


# ----------------------------------------------------------- NumPy files


def test_npy_arrays(tmp_path):
    rng = np.random.default_rng(1)
    x = rng.normal(size=(4, 6))
    np.save(tmp_path / "two.npy", x)
    np.save(tmp_path / "fortran.npy", np.asfortranarray(x))
    np.save(tmp_path / "big.npy", x.astype(">f8"))
    np.save(tmp_path / "one.npy", x[0])
    np.save(tmp_path / "ints.npy", np.array([[1, 2], [3, 4]], dtype=np.int16))
    with open(tmp_path / "bools.NPY", "wb") as f:
        np.save(f, np.array([True, False]))
    np.save(tmp_path / "f32.npy", np.array([0.5, np.nan], dtype=np.float32))
    np.save(tmp_path / "none.npy", np.empty((0, 5)))
    for name in ("two", "fortran", "big"):
        series = load(tmp_path / f"{name}.npy")
        assert [s.tobytes() for s in series] == [r.tobytes() for r in x]
        check_fresh(series)
    assert [s.tobytes() for s in load(str(tmp_path / "one.npy"))] == [x[0].tobytes()]
    assert values(load(tmp_path / "ints.npy")) == [[1, 2], [3, 4]]
    assert values(load(tmp_path / "bools.NPY")) == [[1, 0]]
    assert values(load(tmp_path / "f32.npy")) == [[0.5, "nan"]]
    assert load(tmp_path / "none.npy") == []


def ragged():
    out = np.empty(3, dtype=object)
    out[:] = [np.array([1.0, 2.0]), [3, 4, 5], (6.5,)]
    return out


def test_npy_object_arrays_need_allow_pickle(tmp_path):
    path = tmp_path / "ragged.npy"
    np.save(path, ragged(), allow_pickle=True)
    series = load(path, allow_pickle=True)
    assert values(series) == [[1, 2], [3, 4, 5], [6.5]]
    check_fresh(series)
    with pytest.raises(LoadError) as err:
        load(path)
    message = str(err.value)
    assert message.startswith(f"{path}: holds Python objects")
    assert "pickle" in message and "allow_pickle=True" in message and "trust" in message


@pytest.mark.parametrize(
    "element, problem",
    [
        (["a", "b"], "holds values of dtype <U1, not numbers"),
        ([1.0, None], "holds Python objects, not numbers"),
        (np.ones((2, 2)), "is a 2-D array, not a 1-D series"),
        (4.0, "is a single value, not a 1-D series"),
        ([1j, 2], "complex"),
    ],
)
def test_npy_object_elements_must_be_numeric_series(tmp_path, element, problem):
    arr = np.empty(3, dtype=object)
    arr[:] = [[1.0], [2.0], None]
    arr[2] = element
    path = tmp_path / "bad.npy"
    np.save(path, arr, allow_pickle=True)
    with pytest.raises(LoadError) as err:
        load(path, allow_pickle=True)
    assert str(err.value).startswith(f"{path}, element 2: ")
    assert problem in str(err.value)


@pytest.mark.parametrize(
    "array, problem",
    [
        (np.array([[1 + 2j, 3]]), "complex"),
        (np.array([1j]).astype(np.complex64), "complex"),
        (np.array(["1.0", "2.0"]), "not numbers"),
        (np.array(["2024-01-01"], dtype="datetime64[D]"), "not numbers"),
        (np.zeros(3, dtype=[("a", "f8")]), "not numbers"),
        (np.float64(3.0), "single value"),
        (np.zeros((2, 3, 4)), "3-D array of shape (2, 3, 4)"),
    ],
)
def test_npy_refused(tmp_path, array, problem):
    path = tmp_path / "x.npy"
    np.save(path, array)
    with pytest.raises(LoadError) as err:
        load(path)
    assert str(err.value).startswith(f"{path}: ")
    assert problem in str(err.value)


def test_npz_archives(tmp_path):
    path = tmp_path / "many.npz"
    np.savez(path, b=np.array([[1.0, 2.0], [3.0, 4.0]]), a=np.array([5, 6, 7]), c=ragged())
    assert values(load(path, allow_pickle=True)) == [[1, 2], [3, 4], [5, 6, 7], [1, 2], [3, 4, 5], [6.5]]
    assert values(load(path, key="a")) == [[5, 6, 7]]
    assert values(load(path, key="b")) == [[1, 2], [3, 4]]
    with pytest.raises(LoadError, match=r"many\.npz, array 'c': holds Python objects.*allow_pickle=True"):
        load(path)
    with pytest.raises(LoadError) as err:
        load(path, key="d")
    assert str(err.value) == f"{path}: no array 'd' in the archive; it holds 'b', 'a', 'c'"
    np.savez_compressed(tmp_path / "bad.npz", good=np.ones(2), worse=np.array([1j]))
    with pytest.raises(LoadError, match=r"bad\.npz, array 'worse': holds complex"):
        load(tmp_path / "bad.npz")
    np.savez(tmp_path / "empty.npz")
    assert load(tmp_path / "empty.npz") == []


@pytest.mark.parametrize(
    "name, content, problem",
    [
        ("a.npy", b"not an array", "not a .npy file"),
        ("a.npy", b"\x93NUMPY\x01\x00\x0e\x00{'descr': '<f8", "not a .npy file"),  # header cut short
        ("a.npz", b"not an archive", "not a .npz archive"),
        ("a.npz", b"", "not a .npz archive"),
    ],
)
def test_corrupt_binary_files(tmp_path, name, content, problem):
    path = write(tmp_path, name, content)
    with pytest.raises(LoadError, match=problem):
        load(path, allow_pickle=True)


def test_truncated_npy(tmp_path):
    path = tmp_path / "cut.npy"
    np.save(path, np.arange(100.0))
    path.write_bytes(path.read_bytes()[:-8])
    with pytest.raises(LoadError, match=r"cut\.npy: cannot read the \.npy file"):
        load(path)


# ------------------------------------------------------- files and options


@pytest.mark.parametrize("compression", [gzip, bz2, lzma], ids=["gz", "bz2", "xz"])
def test_compressed_files_read_as_what_they_hold(tmp_path, monkeypatch, compression):
    suffix = {gzip: ".gz", bz2: ".bz2", lzma: ".xz"}[compression]
    rows = np.random.default_rng(4).normal(size=(30, 40))
    text = "t1,t2\n" + "".join(",".join(map(repr, r)) + "\n" for r in rows.tolist())
    csv_path = tmp_path / f"a.csv{suffix.upper() if compression is bz2 else suffix}"
    csv_path.write_bytes(compression.compress(text.encode()))
    assert [s.tolist() for s in load(csv_path)] == rows.tolist()
    monkeypatch.setattr(
        "qor._load._CHUNK", 100
    )  # the engine's chunks, and a start again for the Python reader
    bad = tmp_path / f"b.csv{suffix}"
    bad.write_bytes(compression.compress((text + "x,1\n").encode()))
    with pytest.raises(LoadError, match=rf"b\.csv\{suffix}, line 32, column 1: 'x' is not a number"):
        load(bad)
    npy = io.BytesIO()
    np.save(npy, rows)
    (tmp_path / f"a.npy{suffix}").write_bytes(compression.compress(npy.getvalue()))
    assert [s.tolist() for s in load(tmp_path / f"a.npy{suffix}")] == rows.tolist()
    # Cut short, or not compressed at all: an error that says so.
    (tmp_path / f"c.csv{suffix}").write_bytes(compression.compress(text.encode())[:-9])
    (tmp_path / f"d.csv{suffix}").write_bytes(text.encode())
    for name in ("c", "d"):
        with pytest.raises(LoadError, match="cannot decompress it"):
            load(tmp_path / f"{name}.csv{suffix}")
    with pytest.raises(LoadError, match=r"an \.npz archive is read as it is"):
        load(tmp_path / "z.npz.gz")
    # An empty file is an empty file, compressed or not.
    for kind in ("csv", "npy"):
        (tmp_path / f"e.{kind}").write_bytes(b"")
        (tmp_path / f"e.{kind}{suffix}").write_bytes(b"")
        assert read_both_ways(tmp_path / f"e.{kind}") == read_both_ways(tmp_path / f"e.{kind}{suffix}")


def read_both_ways(path):
    """What load gives for path: its series as lists, or its error's text without the file name."""
    try:
        return [s.tolist() for s in load(path)]
    except LoadError as err:
        return str(err).replace(str(path), "FILE")


@pytest.mark.parametrize("name", ["a.csv", "a.npy"])
def test_damaged_gzip_data_is_a_load_error(tmp_path, name):
    # Some damage shows in the middle of the stream (zlib's own error), some
    # only at its end (a bad CRC): a LoadError either way, as for .bz2 and .xz.
    rows = np.random.default_rng(8).normal(size=(200, 30))
    data = io.BytesIO()
    if name.endswith(".npy"):
        np.save(data, rows)
    else:
        data.write("".join(",".join(map(repr, r)) + "\n" for r in rows.tolist()).encode())
    packed = bytearray(gzip.compress(data.getvalue()))
    for at in range(40, len(packed) - 40, len(packed) // 25):
        damaged = packed.copy()
        damaged[at] ^= 0x55
        (tmp_path / f"{name}.gz").write_bytes(damaged)
        with pytest.raises(LoadError, match=r"cannot decompress it \((Error -3|CRC check failed)"):
            load(tmp_path / f"{name}.gz")


def test_a_compressed_pipe_the_engine_declines_is_read_by_python(tmp_path):
    text = b'1,2,3\n4,5,"6\n"\n'  # a quoted cell that goes on to the next line
    path = tmp_path / "p.csv.gz"
    os.mkfifo(path)
    feed = threading.Thread(target=lambda: path.write_bytes(gzip.compress(text)))
    feed.start()
    try:
        assert values(load(path)) == [[1, 2, 3], [4, 5, 6]]
    finally:
        feed.join(5)


def test_missing_and_unreadable(tmp_path):
    with pytest.raises(LoadError) as err:
        load(tmp_path / "nope.csv")
    assert str(err.value) == f"No such file: {tmp_path / 'nope.csv'}"
    with pytest.raises(LoadError, match="is a directory"):
        load(tmp_path)


@pytest.mark.parametrize("name", ["a.csv", "a.tsv", "a.txt", "a"])
@pytest.mark.parametrize("content", ["", "\n\n", "t1,t2,t3\n"])
def test_nothing_to_read(tmp_path, name, content):
    assert load(write(tmp_path, name, content)) == []


@pytest.mark.parametrize(
    "name, kwargs, error",
    [
        ("a.npy", {"label_column": 0}, ValueError),
        ("a.npz", {"header": True}, ValueError),
        ("a.npy", {"delimiter": ","}, ValueError),
        ("a.npy", {"key": "x"}, ValueError),
        ("a.csv", {"key": "x"}, ValueError),
        ("a.csv", {"delimiter": ";;"}, ValueError),
        ("a.csv", {"delimiter": '"'}, ValueError),
        ("a.csv", {"label_column": "0"}, TypeError),
        ("a.csv", {"label_column": True}, TypeError),
    ],
)
def test_options_that_do_not_apply(tmp_path, name, kwargs, error):
    with pytest.raises(error) as err:
        load(write(tmp_path, name, b"1"), **kwargs)
    assert not isinstance(err.value, LoadError)


# ----------------------------------------------- the engine's reader of plain text

# Cells of every form the engine's reader takes, and some it leaves to the
# Python reader (underscores, hexadecimal, text, out of range, non-ASCII).
PLAIN_CELLS = [
    "1",
    "-2.5",
    "+3",
    " 4 ",
    ".5",
    "6.",
    "-0",
    "1e3",
    "2E-2",
    "+.7e+1",
    "0.1",
    "1.7976931348623157e308",
    "5e-324",
    "nan",
    "-NaN",
    "+inf",
    "-Infinity",
    "INF",
    "",
    " ",
    "\x0c9\x1f",
    "123456789012345678901234",
    '"1"',
    '""',
    '" 2 "',
    '"-NaN"',
    '"-3e2"',
]
ODD_CELLS = [
    "1_000",
    "0x10",
    "abc",
    "1e400",
    "-1e-400",
    "1e",
    "e5",
    "+-1",
    "--1",
    ".",
    "1.2.3",
    "nan(1)",
    "infinit",
    "é",
    '"7"x',
    '"a""b"',
    '"1',
    'x"',
    '"1,5"',
    "1 2",
    "\x01",
]


def random_text(rng, delimiter, cells, label):
    lines = []
    for _ in range(rng.integers(0, 8)):
        row = [rng.choice(cells) for _ in range(rng.integers(0, 7))]
        if label is not None and rng.random() < 0.9:
            row.insert(
                label if label >= 0 else len(row) + 1 + label,
                rng.choice(["A", "x y", "", "3", '"B"', '"x,y"']),
            )
        if delimiter is None:
            row = [c.replace(" ", "") or "0" for c in row]
        joined = (" \t " if delimiter is None else delimiter).join(row)
        lines.append(joined + ("" if rng.random() < 0.2 else delimiter or " ") * int(rng.integers(0, 3)))
    ends = [rng.choice(["\n", "\r\n", "\r"]) for _ in lines]
    return "".join(line + end for line, end in zip(lines, ends, strict=True))[
        : None if rng.random() < 0.7 else -1
    ]


def read_both(path, monkeypatch, **kwargs):
    """What qor.load reads from path, and what its Python reader alone reads: the
    rows' bits or the error's type and text, and the warnings."""
    import qor._load as loader

    def outcome():
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                got = [s.view(np.uint64).tolist() for s in load(path, **kwargs)]
            except Exception as err:  # noqa: BLE001 - the type is part of what must agree
                got = (type(err).__name__, str(err))
        return got, [str(w.message) for w in caught]

    fast = outcome()
    with monkeypatch.context() as m:
        m.setattr(loader, "_read_plain", lambda *args: None)
        return fast, outcome()


@pytest.mark.parametrize("delimiter", [",", "\t", ";", " ", None])
@pytest.mark.parametrize("label", [None, 0, 1, -1])
@pytest.mark.parametrize("chunk", [None, 24])
def test_the_engines_reader_reads_plain_text_bit_for_bit_as_the_python_one(
    tmp_path, monkeypatch, delimiter, label, chunk
):
    import qor._load as loader

    if chunk:  # lines cut at every place by the chunks the engine is given
        monkeypatch.setattr(loader, "_CHUNK", chunk)
    rng = np.random.default_rng([ord(delimiter or "w"), 9 if label is None else label + 5])
    for i in range(60):
        text = random_text(rng, delimiter, PLAIN_CELLS, label)
        head = rng.choice(["", "t1,t2,t3\n", "\n\n,0,1,2\n", "température,x\n"]) if delimiter == "," else ""
        path = write(tmp_path, f"{i}.txt", head + text)
        sniffed = delimiter in (",", "\t") and rng.random() < 0.5  # the first line says
        kwargs = {"delimiter": None if sniffed else delimiter or "whitespace", "label_column": label}
        fast, python = read_both(path, monkeypatch, **kwargs)
        assert fast == python, (head + text, kwargs)
        if not sniffed:
            # Whatever the Python reader reads, the engine's reader takes,
            # whatever the chunks cut (a sniffed delimiter may make the first
            # row what the csv module's strict mode refuses).
            with open(path, "rb") as fp:
                taken = loader._read_plain(fp, str(path), ".txt", label, None, kwargs["delimiter"])
            assert (taken is not None) == isinstance(python[0], list), (head + text, kwargs)


@pytest.mark.parametrize("delimiter", [",", None])
def test_text_the_engines_reader_leaves_is_read_as_before(tmp_path, monkeypatch, delimiter):
    rng = np.random.default_rng(len(delimiter or ""))
    for i in range(80):
        text = random_text(rng, delimiter, PLAIN_CELLS + ODD_CELLS, None)
        path = write(tmp_path, f"{i}.csv", text)
        fast, python = read_both(path, monkeypatch, delimiter=delimiter or "whitespace")
        assert fast == python, text


LIMIT = csv.field_size_limit()


@pytest.mark.parametrize(
    "content, kwargs",
    [
        # a first row whose quote opens a cell that runs on: one header row in all
        ('x"y,"z\n1,2\n3,4\n', {}),
        ('x"y,"a""\n1,2\n', {"label_column": 0}),
        ('x"y,"z\n1,2\n3,4\n', {"header": True}),
        # cells longer than the csv module takes, on the first row, later, or blank
        ("1,2\n3," + " " * LIMIT + "4\n", {}),
        ("3," + " " * LIMIT + "4\n1,2\n", {}),
        ("1,2\n" + " " * (LIMIT + 1) + "\n", {}),
        ("1\t2\n3\t" + "0" * LIMIT + "4\n", {"delimiter": "\t"}),
        # label columns beyond 64 bits
        ("1,2\n3,4\n", {"label_column": 2**63}),
        ("1,2\n3,4\n", {"label_column": -(2**63) - 1}),
        ("1,2\n3,4\n", {"label_column": np.uint64(2**64 - 1)}),
    ],
)
def test_odd_text_reads_as_the_python_reader_reads_it(tmp_path, monkeypatch, content, kwargs):
    fast, python = read_both(write(tmp_path, "a.csv", content), monkeypatch, **kwargs)
    assert fast == python


@pytest.mark.parametrize("cell", ODD_CELLS + PLAIN_CELLS)
@pytest.mark.parametrize("delimiter", [",", None])
def test_each_cell_alone_among_plain_ones_reads_as_the_python_reader_reads_it(
    tmp_path, monkeypatch, cell, delimiter
):
    sep = delimiter or " "
    content = f"1{sep}2\n3{sep}{cell}{sep}4\n5\n"
    fast, python = read_both(
        write(tmp_path, "a.txt", content), monkeypatch, delimiter=delimiter or "whitespace"
    )
    assert fast == python


@pytest.mark.parametrize("chunk", [1, 2, 3])
@pytest.mark.parametrize(
    "text, kwargs", [(b"\xef\xbb\xbf\n0 1 2\n", {}), (b"\xef\xbb\xbf\n\n5 6\n", {"header": True})]
)
def test_a_byte_order_mark_cut_by_the_chunks(tmp_path, monkeypatch, chunk, text, kwargs):
    monkeypatch.setattr("qor._load._CHUNK", chunk)
    path = write(tmp_path, "a.txt", text)
    fast, python = read_both(path, monkeypatch, **kwargs)
    assert fast == python
