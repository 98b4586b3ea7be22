// Conversions between Python objects and the core's types that pybind11's
// stock casters do not cover with the signatures the module shows.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/collection.hpp"
#include "core/parallel.hpp"
#include "motifs/motif.hpp"
#include "sax/sax.hpp"

namespace qor::bindings {

// A list of series from any sequence of sequences of numbers, read into
// one block of samples. A C-contiguous 2-D float64 array is left where it
// is by the conversion and read by the call (read_series), which may
// normalise it as it reads.
struct SeriesList {
    Collection value;
    pybind11::object array;
};

// The SAX words that a reading which normalises may make in the same pass
// (load_series): `made` says whether it did. With `want_scales`, the rows'
// scales as well. Without `keep_rows`, a reading that makes them leaves the
// rows unwritten (the collection gives their shape only).
struct WordsWanted {
    int32_t seglen, alphabet;
    std::vector<Word> words;
    bool made = false;
    bool want_scales = false;
    std::vector<RowScale> scales = {};
    bool keep_rows = true;
};

// A list of words from any sequence of sequences of characters.
struct WordList {
    std::vector<Word> value;
};

// Python objects that are already built, tagged with the type their
// signature shows.
struct Latin1Str {
    pybind11::object value;
};
struct IndexesDict {
    pybind11::object value;
};
struct AveragesDict {
    pybind11::object value;
};
struct MatchesDict {
    pybind11::object value;
};
struct FrequentDict {
    pybind11::object value;
};
struct MotifList {
    pybind11::object value;
};
struct WordsList {
    pybind11::object value;
};
struct FloatList {
    pybind11::object value;
};

}  // namespace qor::bindings

namespace pybind11::detail {

// Sequence helpers shared by the input casters. Items are read by index up
// to the length the sequence had at the start, as pybind11's own list
// caster does (an IndexError when it has shrunk since); plain lists and
// tuples are read straight from their item arrays. Their items are handed
// over borrowed: a callback that may run Python code holds its own
// reference.
inline bool is_input_sequence(handle src) {
    return PySequence_Check(src.ptr()) && !PyBytes_Check(src.ptr()) && !PyUnicode_Check(src.ptr());
}

template <typename F>
bool for_each_item(handle seq, F&& f) {
    PyObject* o = seq.ptr();
    const bool direct = PyList_CheckExact(o) || PyTuple_CheckExact(o);
    const Py_ssize_t n = direct ? PySequence_Fast_GET_SIZE(o) : PySequence_Size(o);
    if (n < 0) throw error_already_set();
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (direct) {
            if (i >= PySequence_Fast_GET_SIZE(o)) {
                PyErr_SetString(PyExc_IndexError, "list index out of range");
                throw error_already_set();
            }
            if (!f(handle(PySequence_Fast_GET_ITEM(o, i)))) return false;
            continue;
        }
        object item = reinterpret_steal<object>(PySequence_GetItem(o, i));
        if (!item) throw error_already_set();
        if (!f(item)) return false;
    }
    return true;
}

// Room to reserve for a sequence's items: known without running Python
// code for lists and tuples only (for_each_item asks the others once).
inline Py_ssize_t size_hint(handle seq) {
    PyObject* o = seq.ptr();
    return PyList_CheckExact(o) || PyTuple_CheckExact(o) ? PySequence_Fast_GET_SIZE(o) : 0;
}

// A C-contiguous buffer of native 64-bit floats with `ndim` dimensions, or
// nothing (and no error set) when the object does not expose one. Only
// types whose buffer is exactly their content are read this way (a NumPy
// masked array, say, exposes values that its tolist() replaces by None).
class Float64Buffer {
public:
    Float64Buffer(handle src, int ndim) {
        if (!plain(src) || !PyObject_CheckBuffer(src.ptr())) return;
        if (PyObject_GetBuffer(src.ptr(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
            PyErr_Clear();
            return;
        }
        held_ = true;
        const char* f = view_.format ? view_.format : "B";
        if (*f == '@' || *f == '=' || (*f == '<' && little_endian())) ++f;
        ok_ = view_.ndim == ndim && view_.itemsize == 8 && f[0] == 'd' && f[1] == '\0';
    }
    ~Float64Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    Float64Buffer(const Float64Buffer&) = delete;
    Float64Buffer& operator=(const Float64Buffer&) = delete;

    explicit operator bool() const { return ok_; }
    Py_ssize_t shape(int i) const { return view_.shape[i]; }
    const double* data() const { return static_cast<const double*>(view_.buf); }

private:
    static bool plain(handle src) {
        if (PyMemoryView_Check(src.ptr())) return true;
        const PyTypeObject* type = Py_TYPE(src.ptr());
        const char* name = type->tp_name;
        // numpy.memmap is a Python subclass of ndarray: its type is named
        // plain "memmap".
        const bool memmap = std::strcmp(name, "memmap") == 0 && type->tp_base != nullptr &&
                            std::strcmp(type->tp_base->tp_name, "numpy.ndarray") == 0;
        return memmap || std::strcmp(name, "numpy.ndarray") == 0 || std::strcmp(name, "array.array") == 0;
    }
    static bool little_endian() {
        const uint16_t one = 1;
        return *reinterpret_cast<const unsigned char*>(&one) == 1;
    }
    Py_buffer view_{};
    bool held_ = false;
    bool ok_ = false;
};

// Reads every item of a sequence into `out`: `fast(item, out)` takes the
// items it can read directly; pybind11's own conversion of T reads the
// others, with its errors.
template <typename T, typename Fast>
bool load_items(handle seq, bool convert, std::vector<T>& out, Fast&& fast) {
    out.reserve(static_cast<std::size_t>(size_hint(seq)));
    return for_each_item(seq, [&](handle x) {
        if (fast(x.ptr(), out)) return true;
        object keep = reinterpret_borrow<object>(x);
        make_caster<T> item;
        if (!item.load(keep, convert)) return false;
        out.push_back(cast_op<T>(item));
        return true;
    });
}

// Reads a sequence of sequences: `load_row(row, out.back())` reads each row.
// Signal handlers run between rows, so that Ctrl-C stops a long reading.
template <typename Row, typename F>
bool load_rows(handle seq, std::vector<Row>& out, F&& load_row) {
    out.reserve(static_cast<std::size_t>(size_hint(seq)));
    return for_each_item(seq, [&](handle item) {
        if (PyErr_CheckSignals() != 0) throw error_already_set();
        object row = reinterpret_borrow<object>(item);
        if (!is_input_sequence(row)) return false;
        out.emplace_back();
        return load_row(row, out.back());
    });
}

// Whether x is a complex number of some kind (Python's complex and its
// subclasses, NumPy's complex scalars): never read as a real sample, which
// would drop its imaginary part.
inline bool is_complex_number(PyObject* x) {
    if (PyComplex_Check(x)) return true;
    PyObject* mro = Py_TYPE(x)->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        const char* name = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_name;
        if (std::strcmp(name, "numpy.complexfloating") == 0) return true;
    }
    return false;
}

// Reads one sample into `out`: Python floats directly, other real numbers
// through their own conversion (__float__, or __index__), called once.
// Objects that are no real number (str, None, complex numbers) do not
// convert, and neither do those whose conversion fails with the errors of a
// value that does not convert (TypeError, ValueError, OverflowError: an
// array of several samples, an int too large for a float). Every other
// exception a conversion raises (KeyboardInterrupt, MemoryError, ...)
// propagates as it is.
inline bool load_sample(PyObject* x, double& out) {
    if (PyFloat_Check(x)) {
        out = PyFloat_AS_DOUBLE(x);
        return true;
    }
    const PyNumberMethods* nb = Py_TYPE(x)->tp_as_number;
    if (!nb || (!nb->nb_float && !nb->nb_index) || is_complex_number(x)) return false;
    const double v = PyFloat_AsDouble(x);
    if (v == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
            PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            return false;
        }
        throw error_already_set();
    }
    out = v;
    return true;
}

// Copies n samples. A large copy is split over `threads` threads: the
// helpers only copy, while the calling thread holds the GIL, so the buffer
// stays as it is.
inline void copy_samples(double* to, const double* from, std::size_t n, unsigned threads) {
    constexpr std::size_t kPerThread = std::size_t{1} << 19;  // 4 MiB of samples
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, n / kPerThread));
    if (threads < 2) {
        std::memcpy(to, from, n * sizeof(double));
        return;
    }
    qor::Workers team(threads);
    team.run(threads, [&](std::size_t part, unsigned) {
        const std::size_t first = n * part / threads, last = n * (part + 1) / threads;
        std::memcpy(to + first, from + first, (last - first) * sizeof(double));
    });
}

// The number of samples of a row that is a list, a tuple or a float64
// buffer (others count 0): to size the block of samples once.
inline std::size_t row_size_hint(handle row) {
    if (PyList_CheckExact(row.ptr()) || PyTuple_CheckExact(row.ptr()))
        return static_cast<std::size_t>(PySequence_Fast_GET_SIZE(row.ptr()));
    if (Float64Buffer samples{row, 1}) return static_cast<std::size_t>(samples.shape(0));
    return 0;
}

// Any sequence of sequences of numbers, into one block of samples `out`.
// Python floats are read directly, float64 buffers (NumPy arrays,
// array.array('d')) are copied block-wise (a 2-D one with one copy, on
// `threads` threads), and everything else is read sample by sample
// (load_sample). Signal handlers run between rows, so that Ctrl-C stops a
// long reading. False when `src` is no such sequence.
//
// With `normalised`, a C-contiguous 2-D float64 array is z-normalised as it
// is read (one pass less than a copy followed by znormalize; on `threads`
// threads, the GIL still held) and *normalised is set; other input is read
// as it is and *normalised cleared. With `words` as well, the normalised
// rows' words are made in the same pass where the settings allow them
// (otherwise the call that uses them reports why). With `unlock`, that
// pass runs without the GIL (the buffer, held until the reading ends, keeps
// the array's memory alive; writing to the array meanwhile is the caller's
// race, as with NumPy's own calls that release the GIL).
inline bool load_series(handle src, qor::Collection& out, unsigned threads, bool* normalised = nullptr,
                        qor::bindings::WordsWanted* words = nullptr, bool unlock = false) {
    if (!is_input_sequence(src)) return false;
    out.clear();
    if (normalised) *normalised = false;
    if (Float64Buffer rows{src, 2}) {
        const auto n = static_cast<std::size_t>(rows.shape(0)), m = static_cast<std::size_t>(rows.shape(1));
        out.assign_rows(n, m);
        if (n == 0 || m == 0) return true;
        if (normalised) {
            *normalised = true;
            std::optional<gil_scoped_release> released;
            if (unlock) released.emplace();
            qor::Workers team(threads);
            if (words) {
                if (words->want_scales)
                    words->scales.assign(
                        n, {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()});
                // Settings that make no words fail before any sample is
                // written: the rows are then normalised alone.
                try {
                    words->words =
                        qor::znormalize_and_sax(out, rows.data(), words->seglen, words->alphabet, team,
                                                words->want_scales ? words->scales.data() : nullptr, words->keep_rows);
                    words->made = true;
                    *normalised = words->keep_rows;
                    return true;
                } catch (const std::invalid_argument&) {
                } catch (const std::length_error&) {
                }
            }
            qor::znormalize(out, rows.data(), team);
            return true;
        }
        copy_samples(out.row(0), rows.data(), n * m, threads);
        return true;
    }
    std::size_t total = 0;
    if (PyList_CheckExact(src.ptr()) || PyTuple_CheckExact(src.ptr()))
        for_each_item(src, [&](handle row) {
            total += row_size_hint(row);
            return true;
        });
    out.reserve(static_cast<std::size_t>(size_hint(src)), total);
    return for_each_item(src, [&](handle item) {
        if (PyErr_CheckSignals() != 0) throw error_already_set();
        object row = reinterpret_borrow<object>(item);
        if (!is_input_sequence(row)) return false;
        if (Float64Buffer samples{row, 1}) {
            out.add_row(samples.data(), static_cast<std::size_t>(samples.shape(0)));
            return true;
        }
        out.begin_row();
        const bool read = for_each_item(row, [&](handle x) {
            if (PyFloat_CheckExact(x.ptr())) {
                out.push(PyFloat_AS_DOUBLE(x.ptr()));
                return true;
            }
            // A conversion runs Python code, which may drop the row's
            // last reference to x.
            object keep = reinterpret_borrow<object>(x);
            double sample = 0.0;
            if (!load_sample(keep.ptr(), sample)) return false;
            out.push(sample);
            return true;
        });
        out.end_row();
        return read;
    });
}

}  // namespace pybind11::detail

namespace qor::bindings {

// The series of `ts`, read from its array where the conversion left one;
// with `normalised` (and `words`), as load_series reads them. With the GIL
// held.
inline Collection& read_series(SeriesList& ts, bool* normalised = nullptr, WordsWanted* words = nullptr) {
    if (normalised) *normalised = false;
    if (ts.array) {
        const pybind11::object array = std::move(ts.array);
        if (!pybind11::detail::load_series(array, ts.value, thread_count(), normalised, words))
            throw pybind11::type_error("expected a sequence of series of real numbers");
    }
    return ts.value;
}

}  // namespace qor::bindings

namespace pybind11::detail {

template <>
struct type_caster<qor::bindings::SeriesList> {
    PYBIND11_TYPE_CASTER(qor::bindings::SeriesList, const_name("List[List[float]]"));

    bool load(handle src, bool) {
        if (Float64Buffer rows{src, 2}) {
            value.array = reinterpret_borrow<object>(src);
            return true;
        }
        return load_series(src, value.value, qor::thread_count());
    }
};

// Words: any sequence of sequences of characters. One-character str of code
// point below 256 is read directly; every other element goes through
// pybind11's char conversion, with its errors.
template <>
struct type_caster<qor::bindings::WordList> {
    PYBIND11_TYPE_CASTER(qor::bindings::WordList, const_name("List[List[str]]"));

    bool load(handle src, bool convert) {
        if (!is_input_sequence(src)) return false;
        value.value.clear();
        return load_rows(src, value.value, [convert](handle row, qor::Word& word) {
            return load_items(row, convert, word, [](PyObject* c, qor::Word& to) {
                if (!PyUnicode_Check(c) || PyUnicode_GET_LENGTH(c) != 1 || PyUnicode_READ_CHAR(c, 0) >= 256)
                    return false;
                to.push_back(static_cast<char>(PyUnicode_READ_CHAR(c, 0)));
                return true;
            });
        });
    }
};

#define QOR_OUTPUT_CASTER(Type, Name)                                                             \
    template <>                                                                                   \
    struct type_caster<Type> {                                                                    \
        PYBIND11_TYPE_CASTER(Type, Name);                                                         \
        bool load(handle, bool) { return false; }                                                 \
        static handle cast(Type src, return_value_policy, handle) { return src.value.release(); } \
    };

QOR_OUTPUT_CASTER(qor::bindings::Latin1Str, const_name("str"))
QOR_OUTPUT_CASTER(qor::bindings::IndexesDict, const_name("Dict[int, List[int]]"))
QOR_OUTPUT_CASTER(qor::bindings::AveragesDict, const_name("Dict[int, List[float]]"))
QOR_OUTPUT_CASTER(qor::bindings::MatchesDict, const_name("Dict[int, int]"))
QOR_OUTPUT_CASTER(qor::bindings::FrequentDict,
                  const_name("Dict[str, ") + make_caster<qor::Motif>::name + const_name("]"))
QOR_OUTPUT_CASTER(qor::bindings::MotifList, const_name("List[") + make_caster<qor::Motif>::name + const_name("]"))
QOR_OUTPUT_CASTER(qor::bindings::WordsList, const_name("List[List[str]]"))
QOR_OUTPUT_CASTER(qor::bindings::FloatList, const_name("List[float]"))

#undef QOR_OUTPUT_CASTER

}  // namespace pybind11::detail
