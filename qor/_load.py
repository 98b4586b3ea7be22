"""Reading collections of time series from text, .npy and .npz files."""

from __future__ import annotations

import bz2
import codecs
import csv
import gzip
import io
import itertools
import lzma
import numbers
import os
import re
import tokenize
import warnings
import zipfile
import zlib
from collections.abc import Iterable, Iterator
from typing import IO, Any, cast

import numpy as np
import numpy.typing as npt
from numpy.lib import format as npy_format

import _qor_engine

Series = npt.NDArray[np.float64]

_TEXT_DELIMITERS = {".csv": ",", ".tsv": "\t"}
# Files decompressed as they are read, by their last extension; the one
# before it says what they hold (data.csv.gz is CSV).
_COMPRESSED = (".gz", ".bz2", ".xz")
# What a damaged or truncated compressed stream raises as it is read.
_DECOMPRESSION_ERRORS = (OSError, EOFError, lzma.LZMAError, zlib.error)
# Bytes of plain text handed to the engine at a time.
_CHUNK = 1 << 22
_WHITESPACE = "whitespace"
_LONE_CR = re.compile(rb"(?<=\r)(?!\n)")
_DECIMAL_COMMA = re.compile(r"[+-]?\d+,\d+")
# What a .npy header that is cut short or garbled raises while it is parsed.
_BAD_HEADER = (ValueError, EOFError, SyntaxError, tokenize.TokenError)


class LoadError(ValueError):
    """A file that cannot be read as a collection of series; the message names the file and place."""


def load(
    path: str | os.PathLike[str],
    *,
    label_column: int | None = None,
    header: bool | None = None,
    delimiter: str | None = None,
    key: str | None = None,
    allow_pickle: bool = False,
) -> list[Series]:
    """Read a collection of time series from a file, one 1-D float64 array per series.

    The format follows the extension (case-insensitive):

    * ``.csv`` and ``.tsv``: one series per row, comma- or tab-separated.
    * ``.npy``: a 2-D array (one series per row), a 1-D array (one series), or a
      1-D object array whose elements are 1-D numeric sequences (one series each).
    * ``.npz``: every array of the archive in archive order, each read as a
      ``.npy`` would be.
    * anything else: text, one series per line, separated by the first of ``,``,
      tab, or runs of whitespace that occurs on the first non-blank line.

    A last extension ``.gz``, ``.bz2`` or ``.xz`` means compressed: the file is
    decompressed as it is read, and the extension before it says what it holds
    (``data.csv.gz`` is CSV, ``walks.npy.xz`` a ``.npy`` array).

    In text files each cell is read as Python's ``float`` reads it, so ``nan``,
    ``inf`` and ``1e-3`` work; an empty cell is NaN. Empty cells at the end of a
    row are padding and are dropped; blank lines (and rows of empty cells) are
    not series. Rows may have different lengths.

    Parameters
    ----------
    path : str or os.PathLike
        The file to read.
    label_column : int, optional
        A text column to drop from every row before its values are read, counted
        from 0 (negative counts from the end of each row, as in Python indexing).
        Use ``0`` for labelled archives whose first column is the class label.
    header : bool, optional
        Whether the first row of a text file is a header to skip. By default it is
        one exactly when none of its non-empty cells (label aside) is a number, or
        when it is the header pandas' ``to_csv()`` writes for unnamed columns
        with the index: an empty cell, then the column numbers 0, 1, 2, ...;
        the first column, the index, is then dropped as the label (unless
        ``label_column`` says otherwise). A first row of 0, 1, 2, ... alone
        (``to_csv(index=False)``'s header, or a series) is read as data, with a
        warning.
    delimiter : str, optional
        The text separator: one character, or ``"whitespace"`` for runs of
        spaces and tabs. Overrides the one the extension or first line implies.
    key : str, optional
        For a ``.npz`` archive, read only the array with this name.
    allow_pickle : bool, default False
        Allow ``.npy``/``.npz`` files that hold Python objects. Loading them runs
        pickle code, so pass ``True`` only for files you trust.

    Returns
    -------
    list of numpy.ndarray
        The series in file order: fresh, writeable, C-contiguous float64 arrays.

    Raises
    ------
    LoadError
        The file is missing or unreadable, or holds something that is not a
        collection of real series. The message names the file and, for text,
        the 1-based line and column, e.g.
        ``data.csv, line 3, column 5: 'abc' is not a number``.
    ValueError
        An option does not apply to the file's format or has a bad value.

    Examples
    --------
    A labelled archive (class label in the first column, one series per line):

    >>> import qor
    >>> train = qor.load("GunPoint_TRAIN.tsv", label_column=0)  # doctest: +SKIP
    >>> len(train), train[0].dtype  # doctest: +SKIP
    (50, dtype('float64'))
    """
    name = os.fspath(path)
    stem, suffix = os.path.splitext(name)
    compression = suffix.lower() if suffix.lower() in _COMPRESSED else None
    if compression:
        suffix = os.path.splitext(stem)[1]
        if suffix.lower() == ".npz":
            raise LoadError(f"{name}: an .npz archive is read as it is, not {compression}-compressed")
    suffix = suffix.lower()
    _check_options(suffix, label_column, header, delimiter, key)
    with _open(name) as raw, _decompressed(raw, compression) as fp:
        try:
            if suffix == ".npy":
                # The array is read whole anyway; decompressed first, what
                # goes wrong in the .npy data is told from what goes wrong
                # in the compressed stream.
                return _read_npy(io.BytesIO(fp.read()) if compression else fp, name, allow_pickle)
            if suffix == ".npz":
                return _read_npz(fp, name, key, allow_pickle)
            # A gzip stream says it can seek (back to the start, by reading
            # again) even where the file beneath cannot.
            return _read_text(fp, name, suffix, label_column, header, delimiter, raw.seekable())
        except _DECOMPRESSION_ERRORS as err:
            if compression is None:
                raise
            raise LoadError(f"{name}: cannot decompress it ({err})") from None


def _check_options(
    suffix: str, label_column: int | None, header: bool | None, delimiter: str | None, key: str | None
) -> None:
    if label_column is not None and (
        isinstance(label_column, bool) or not isinstance(label_column, numbers.Integral)
    ):
        raise TypeError(f"label_column must be an int or None, not {type(label_column).__name__}")
    if header is not None and not isinstance(header, bool):
        raise TypeError(f"header must be True, False or None, not {type(header).__name__}")
    if delimiter is not None and delimiter != _WHITESPACE:
        if not isinstance(delimiter, str) or len(delimiter) != 1 or delimiter in '\r\n"':
            raise ValueError(
                f"delimiter must be one character (not a quote or newline) or 'whitespace', not {delimiter!r}"
            )
    if suffix in (".npy", ".npz"):
        # Text options on a binary file would otherwise be ignored without a word.
        for option, value in (("label_column", label_column), ("header", header), ("delimiter", delimiter)):
            if value is not None:
                raise ValueError(f"{option} applies to text files, not {suffix} files")
    if key is not None and suffix != ".npz":
        raise ValueError("key applies to .npz archives only")


def _decompressed(raw: IO[bytes], compression: str | None) -> IO[bytes]:
    """``raw``'s bytes, decompressed as they are read (closing the result leaves ``raw`` open).

    An empty file holds nothing, whatever its name says (gzip reads it so;
    bz2 and xz would call it a stream cut short).
    """
    peek = getattr(raw, "peek", None)
    if compression in (".bz2", ".xz") and peek is not None and not peek(1):
        return raw
    if compression == ".gz":
        return cast(IO[bytes], gzip.GzipFile(fileobj=raw, mode="rb"))
    if compression == ".bz2":
        return cast(IO[bytes], bz2.BZ2File(raw))
    if compression == ".xz":
        return cast(IO[bytes], lzma.LZMAFile(raw))
    return raw


def _open(name: str) -> IO[bytes]:
    try:
        return open(name, "rb")
    except FileNotFoundError:
        raise LoadError(f"No such file: {name}") from None
    except IsADirectoryError:
        raise LoadError(f"{name}: is a directory, not a file") from None
    except OSError as err:
        if os.path.isdir(name):  # where opening a directory is a permission error
            raise LoadError(f"{name}: is a directory, not a file") from None
        raise LoadError(f"{name}: cannot be read ({err.strerror or err})") from None


# ---------------------------------------------------------------- text files


def _read_text(
    fp: IO[bytes],
    name: str,
    suffix: str,
    label_column: int | None,
    header: bool | None,
    delimiter: str | None,
    seekable: bool,
) -> list[Series]:
    if seekable:  # the Python reader starts again where the engine's declines
        plain = _read_plain(fp, name, suffix, label_column, header, delimiter)
        if plain is not None:
            return plain
        fp.seek(0)
    lines = _decoded_lines(fp, name)
    # Hold back the lines up to the first non-blank one: it decides the delimiter.
    head: list[str] = []
    for line in lines:
        head.append(line)
        if line.strip():
            break
    if delimiter is None:
        delimiter = _TEXT_DELIMITERS.get(suffix) or _sniff(head[-1] if head else "")
    stream = itertools.chain(head, lines)
    rows = _split_lines(stream) if delimiter == _WHITESPACE else _csv_rows(stream, delimiter, name)

    series: list[Series] = []
    first = True
    for line_no, row in rows:
        if all(not cell.strip() for cell in row):
            continue  # a blank line, or a line of nothing but separators
        if first:
            first = False
            skip, label_column, numbered = _first_row(row, label_column, header)
            if skip:
                continue
            if numbered:
                _warn_numbered(name)
        series.append(_parse_row(row, line_no, label_column, name))
    return series


def _read_plain(
    fp: IO[bytes],
    name: str,
    suffix: str,
    label_column: int | None,
    header: bool | None,
    delimiter: str | None,
) -> list[Series] | None:
    """The series of plain text, read by the engine at the speed of its number
    parsing, _CHUNK bytes at a time: after the first row (any UTF-8), ASCII
    whose cells are numbers, empty or quoted whole. None for any other text,
    which the reader above takes, and which says what is wrong."""
    if delimiter is not None and delimiter != _WHITESPACE and not delimiter.isascii():
        return None
    if label_column is not None and not -(2**63) <= label_column < 2**63:
        return None  # no row has it: the reader above says so
    first = max(_CHUNK, len(codecs.BOM_UTF8))  # the mark whole, however small the chunks
    text = fp.read(first)
    eof = len(text) < first
    start = len(codecs.BOM_UTF8) if text.startswith(codecs.BOM_UTF8) else 0
    row: list[str] | None = None
    while row is None:
        for raw in _lines_from(text, start):
            if not eof and start + len(raw) == len(text):
                break  # the line may go on in the text to come
            try:
                line = raw.decode("utf-8")
            except UnicodeDecodeError:
                return None
            if delimiter is None:
                if not line.strip():
                    start += len(raw)
                    continue
                delimiter = _TEXT_DELIMITERS.get(suffix) or _sniff(line)
            if delimiter == _WHITESPACE:
                cells = line.split()
            else:
                try:  # strict: a quoted cell that goes on past this line is an error
                    # (as is a cell longer than the csv module takes)
                    cells = next(csv.reader([line], delimiter=delimiter, strict=True), [])
                except csv.Error:
                    return None
            if all(not cell.strip() for cell in cells):
                start += len(raw)
                continue
            row = cells
            break
        if row is not None:
            break
        if eof:
            return []
        # Read on to the end of the line the text ends in, however long (a
        # series of a million samples on one line), joined once.
        parts = [text[start:]]
        while not eof:
            more = fp.read(_CHUNK)
            parts.append(more)
            eof = len(more) < _CHUNK
            if b"\n" in more or b"\r" in more:
                break
        text, start = b"".join(parts), 0
    skip, label_column, numbered = _first_row(row, label_column, header)
    start += len(raw) if skip else 0
    separator = None if delimiter == _WHITESPACE else delimiter
    # The csv module's limit on a cell, which the reader above enforces.
    longest = 0 if separator is None else csv.field_size_limit()
    series: list[Series] = []
    # The text not yet read by the engine: whole lines but for the last piece.
    pieces: list[bytes | memoryview] = [memoryview(text)[start:]]
    while True:
        more = fp.read(_CHUNK)
        # Lines cut short at the end of a chunk go on in the next one (a \r\n
        # cut in two makes an empty line, which is no row).
        cut = max(more.rfind(b"\n"), more.rfind(b"\r")) + 1
        if more and not cut:
            pieces.append(more)  # a line longer than a chunk goes on
            continue
        pieces.append(memoryview(more)[:cut])
        rows = _qor_engine.text_rows(b"".join(pieces), separator, label_column, longest)
        if rows is None:
            return None
        series += rows
        if not more:
            break
        pieces = [memoryview(more)[cut:]]
    if numbered:
        _warn_numbered(name)
    return series


def _lines_from(text: bytes, start: int) -> Iterator[bytes]:
    """The lines of ``text`` from byte ``start`` on, each with its end (\\n, \\r\\n or a lone \\r)."""
    while start < len(text):
        nl = text.find(b"\n", start)
        cr = text.find(b"\r", start, len(text) if nl == -1 else nl)
        if cr != -1 and cr + 1 != nl:  # a lone \r (that of a \r\n ends with it)
            stop = cr + 1
        else:
            stop = len(text) if nl == -1 else nl + 1
        yield text[start:stop]
        start = stop


def _first_row(
    row: list[str], label_column: int | None, header: bool | None
) -> tuple[bool, int | None, bool]:
    """Whether the first row is a header to skip, the label column from then on,
    and whether the row, kept, is 0, 1, 2, ... (a header, maybe: see _warn_numbered)."""
    if header or (header is None and _is_header(row, label_column)):
        if label_column is None and _is_index_header(row):
            label_column = 0  # pandas wrote its index there
        return True, label_column, False
    return False, label_column, header is None and label_column is None and _is_column_numbers(row)


def _warn_numbered(name: str) -> None:
    warnings.warn(
        f"{name}: the first row, 0, 1, 2, ..., is read as a series; if it is the header "
        "that pandas writes with to_csv(index=False), pass header=True to skip it",
        skip_file_prefixes=(os.path.dirname(__file__) + os.sep,),
    )


def _physical_lines(fp: IO[bytes]) -> Iterator[bytes]:
    """The lines of ``fp``, ended by \\n, \\r\\n or a lone \\r (old Mac spreadsheets)."""
    for raw in fp:
        cr = raw.find(b"\r")
        if cr == -1 or (cr == len(raw) - 2 and raw.endswith(b"\r\n")):
            yield raw
        else:
            yield from filter(None, _LONE_CR.split(raw))


def _decoded_lines(fp: IO[bytes], name: str) -> Iterator[str]:
    # Decoding line by line (rather than through a buffered text wrapper) puts an
    # undecodable byte on its own line number. A \r byte never occurs inside a
    # UTF-8 sequence, so the lines can be split before they are decoded.
    for line_no, raw in enumerate(_physical_lines(fp), 1):
        if line_no == 1 and raw.startswith(codecs.BOM_UTF8):
            raw = raw[len(codecs.BOM_UTF8) :]
        try:
            yield raw.decode("utf-8")
        except UnicodeDecodeError as err:
            raise LoadError(f"{name}, line {line_no}: not UTF-8 text ({err.reason})") from None


def _sniff(line: str) -> str:
    if "," in line:
        return ","
    if "\t" in line:
        return "\t"
    return _WHITESPACE


def _split_lines(lines: Iterable[str]) -> Iterator[tuple[int, list[str]]]:
    for line_no, line in enumerate(lines, 1):
        yield line_no, line.split()


def _csv_rows(lines: Iterable[str], delimiter: str, name: str) -> Iterator[tuple[int, list[str]]]:
    """Each row with the line it starts on (a quoted cell may span lines)."""
    reader = csv.reader(lines, delimiter=delimiter)
    start = 1
    while True:
        try:
            row = next(reader)
        except StopIteration:
            return
        except csv.Error as err:
            raise LoadError(f"{name}, line {reader.line_num}: {err}") from None
        yield start, row
        start = reader.line_num + 1


def _label_index(row: list[str], label_column: int) -> int | None:
    """The label's position in ``row``, or None when the row is too short to have it."""
    index = label_column if label_column >= 0 else len(row) + label_column
    return index if 0 <= index < len(row) else None


def _padded_end(cells: list[str]) -> int:
    """The end of ``cells`` without the empty cells that pad it."""
    end = len(cells)
    while end and not cells[end - 1].strip():
        end -= 1
    return end


def _is_header(row: list[str], label_column: int | None) -> bool:
    cells = row
    if label_column is not None:
        index = _label_index(row, label_column)
        if index is not None:
            cells = row[:index] + row[index + 1 :]
    # Lazily: a row of data answers at its first cell, however long it is.
    filled = (stripped for stripped in (cell.strip() for cell in cells) if stripped)
    first = next(filled, None)
    return _is_index_header(row) or (
        first is not None
        and not any(
            _is_number(cell) or _DECIMAL_COMMA.fullmatch(cell) for cell in itertools.chain([first], filled)
        )
    )


def _is_index_header(row: list[str]) -> bool:
    """Whether ``row`` heads what pandas' ``to_csv()`` writes with its index: an
    empty cell over the index, then the column numbers 0, 1, 2, ... (two or more)."""
    end = _padded_end(row)
    return end > 2 and not row[0].strip() and all(row[i].strip() == str(i - 1) for i in range(1, end))


def _is_column_numbers(row: list[str]) -> bool:
    """Whether ``row`` is 0, 1, 2, ... (three or more): the header pandas' ``to_csv(index=False)``
    writes, or a series that climbs by one from 0."""
    end = _padded_end(row)
    return end > 2 and all(row[i].strip() == str(i) for i in range(end))


def _is_number(cell: str) -> bool:
    try:
        float(cell)
    except ValueError:
        return False
    return True


def _parse_row(row: list[str], line_no: int, label_column: int | None, name: str) -> Series:
    cells = row
    label = len(row)  # past the end: no column is dropped
    if label_column is not None:
        index = _label_index(row, label_column)
        if index is None:
            raise LoadError(
                f"{name}, line {line_no}: no column {label_column} to drop as the label"
                f" (the row has {len(row)} column{'' if len(row) == 1 else 's'})"
            )
        label = index
        cells = row[:index] + row[index + 1 :]
    end = _padded_end(cells)
    if end < len(cells):
        cells = cells[:end]
    try:
        # The whole row in one call; NumPy reads str cells as Python's float does.
        return np.array(cells, dtype=np.float64)
    except ValueError:
        pass
    values = np.empty(len(cells), dtype=np.float64)
    for i, cell in enumerate(cells):
        text = cell.strip()
        if not text:
            values[i] = np.nan
            continue
        try:
            values[i] = float(text)
        except ValueError:
            column = i if i < label else i + 1
            # Quoted cells before this one may hold line breaks.
            line = line_no + sum(_line_breaks(c) for c in row[:column])
            hint = ""
            if _DECIMAL_COMMA.fullmatch(text):
                hint = " (decimal commas are not read: write 1.5, not 1,5)"
            elif label_column is not None and label_column < 0 and _padded_end(row) < len(row):
                hint = f" (label_column {label_column} counts from the row's end, which is empty cells here)"
            raise LoadError(
                f"{name}, line {line}, column {column + 1}: {text!r} is not a number{hint}"
            ) from None
    return values


def _line_breaks(text: str) -> int:
    return text.count("\n") + text.count("\r") - text.count("\r\n")


# ------------------------------------------------------------- NumPy files


def _pickle_refused(where: str) -> LoadError:
    return LoadError(
        f"{where}: holds Python objects, and loading them runs pickle code;"
        " pass allow_pickle=True only for files you trust"
    )


def _stored_dtype(fp: IO[bytes]) -> np.dtype[Any]:
    """The dtype in the header of the .npy data at the start of ``fp``, read without loading the data."""
    version = npy_format.read_magic(fp)
    if version == (1, 0):
        _, _, dtype = npy_format.read_array_header_1_0(fp)
    else:
        # 2.0 and 3.0 differ only in the header's text encoding.
        _, _, dtype = npy_format.read_array_header_2_0(fp)
    return dtype


def _read_npy(fp: IO[bytes], name: str, allow_pickle: bool) -> list[Series]:
    try:
        dtype = _stored_dtype(fp)
    except _BAD_HEADER as err:
        raise LoadError(f"{name}: not a .npy file ({err})") from None
    if dtype.hasobject and not allow_pickle:
        raise _pickle_refused(name)
    fp.seek(0)
    try:
        array = np.load(fp, allow_pickle=allow_pickle, mmap_mode=None)
    except Exception as err:  # truncated data, or whatever a corrupt pickle raises
        raise LoadError(f"{name}: cannot read the .npy file ({err})") from err
    return _series_of(array, name)


def _read_npz(fp: IO[bytes], name: str, key: str | None, allow_pickle: bool) -> list[Series]:
    if not zipfile.is_zipfile(fp):
        raise LoadError(f"{name}: not a .npz archive")
    fp.seek(0)
    try:
        with np.load(fp, allow_pickle=allow_pickle, mmap_mode=None) as archive:
            keys = list(archive.files)
            if key is not None:
                if key not in keys:
                    held = ", ".join(repr(k) for k in keys) if keys else "no arrays"
                    raise LoadError(f"{name}: no array {key!r} in the archive; it holds {held}")
                keys = [key]
            series: list[Series] = []
            for k in keys:
                where = f"{name}, array {k!r}"
                if not allow_pickle:
                    assert archive.zip is not None
                    member = k + ".npy" if k + ".npy" in archive.zip.namelist() else k
                    with archive.zip.open(member) as stored:
                        try:
                            hasobject = _stored_dtype(stored).hasobject
                        except _BAD_HEADER as err:
                            raise LoadError(f"{where}: not a .npy array ({err})") from None
                    if hasobject:
                        raise _pickle_refused(where)
                series.extend(_series_of(archive[k], where))
            return series
    except LoadError:
        raise
    except Exception as err:  # a damaged archive: bad CRC, truncated member, corrupt pickle
        raise LoadError(f"{name}: cannot read the .npz archive ({err})") from err


def _check_numeric(dtype: np.dtype[Any], where: str) -> None:
    if dtype.kind in "biuf":
        return
    if dtype.kind == "c":
        raise LoadError(
            f"{where}: holds complex numbers ({dtype}); series are real, "
            "and the imaginary parts would be lost"
        )
    if dtype.kind == "O":
        raise LoadError(f"{where}: holds Python objects, not numbers")
    raise LoadError(f"{where}: holds values of dtype {dtype}, not numbers")


def _series_of(array: Any, where: str) -> list[Series]:
    if not isinstance(array, np.ndarray):
        raise LoadError(f"{where}: does not hold a NumPy array")
    if array.dtype.kind == "O":
        if array.ndim != 1:
            raise LoadError(
                f"{where}: holds a {array.ndim}-D array of objects; expected a 1-D array of series"
            )
        return [_element_series(element, f"{where}, element {i}") for i, element in enumerate(array)]
    _check_numeric(array.dtype, where)
    if array.ndim == 1:
        return [np.array(array, dtype=np.float64, order="C")]
    if array.ndim == 2:
        return [np.array(row, dtype=np.float64, order="C") for row in array]
    if array.ndim == 0:
        raise LoadError(f"{where}: holds a single value, not a series")
    raise LoadError(
        f"{where}: holds a {array.ndim}-D array of shape {array.shape};"
        " expected 1-D (one series) or 2-D (one series per row)"
    )


def _element_series(element: object, where: str) -> Series:
    try:
        values = np.asarray(element)
    except (ValueError, TypeError):  # e.g. a ragged nested list
        raise LoadError(f"{where}: not a 1-D sequence of numbers") from None
    _check_numeric(values.dtype, where)
    if values.ndim != 1:
        what = "a single value" if values.ndim == 0 else f"a {values.ndim}-D array"
        raise LoadError(f"{where}: is {what}, not a 1-D series")
    return np.array(values, dtype=np.float64, order="C")
