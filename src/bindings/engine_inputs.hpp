// What qor.mine, qor.rank and qor.load read through _qor_engine: lists of
// series, the motifs' representatives, and text, as NumPy arrays. Included
// by engine.cpp only.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "bindings/casters.hpp"
#include "bindings/engine_arrays.hpp"
#include "bindings/released.hpp"
#include "core/text_rows.hpp"
#include "motifs/kernels.hpp"
#include "motifs/motif.hpp"
#include "pipeline/ranking.hpp"
#include "sax/blanked.hpp"

namespace qor::bindings::engine {

// collect(): each row's samples straight into the array returned (none of
// the engine's blocks, which it keeps for reuse: this one is the caller's).
inline py::object collect_rows(const py::object& series) {
    const auto plain = [](py::handle o) { return PyList_CheckExact(o.ptr()) || PyTuple_CheckExact(o.ptr()); };
    if (!plain(series)) return py::none();
    std::size_t total = 0;
    const bool sized = py::detail::for_each_item(series, [&](py::handle row) {
        if (!plain(row)) return false;
        total += static_cast<std::size_t>(PySequence_Fast_GET_SIZE(row.ptr()));
        return true;
    });
    if (!sized) return py::none();
    Array<double> out(std::vector<py::ssize_t>{static_cast<py::ssize_t>(total)});
    double* const samples = out.mutable_data();
    std::vector<int64_t> ends;
    std::size_t at = 0;
    const bool read = py::detail::for_each_item(series, [&](py::handle item) {
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        // Converting a sample runs Python code, which may change the lists.
        const py::object row = py::reinterpret_borrow<py::object>(item);
        if (!plain(row)) return false;
        const bool ok = py::detail::for_each_item(row, [&](py::handle x) {
            if (at == total) return false;
            // A float is read as it is: no reference taken, so its memory
            // is only read.
            if (PyFloat_CheckExact(x.ptr())) {
                samples[at++] = PyFloat_AS_DOUBLE(x.ptr());
                return true;
            }
            const py::object keep = py::reinterpret_borrow<py::object>(x);
            return py::detail::load_sample(keep.ptr(), samples[at++]);
        });
        ends.push_back(static_cast<int64_t>(at));
        return ok;
    });
    if (!read || at != total) return py::none();
    return py::make_tuple(std::move(out), to_array(ends));
}

// float_rows(): for a list or tuple of 1-D, C-contiguous arrays of native
// float64 (a dtype equal to it: one with metadata, or unpickled, too; and
// exactly ndarray: a subclass may read differently), each one's length and
// how many the engine's normalisation turns into NaN (count_blanked); None
// for anything else.
inline py::object float_rows(const py::object& series) {
    if (!PyList_CheckExact(series.ptr()) && !PyTuple_CheckExact(series.ptr())) return py::none();
    const auto& api = py::detail::npy_api::get();
    const py::dtype float64 = py::dtype::of<double>();
    std::vector<const double*> rows;
    std::vector<std::size_t> sizes;
    const bool all = py::detail::for_each_item(series, [&](py::handle row) {
        if (Py_TYPE(row.ptr()) != api.PyArray_Type_) return false;
        const auto a = py::reinterpret_borrow<py::array>(row);
        if (a.ndim() != 1 || !(a.flags() & py::array::c_style) ||
            !api.PyArray_EquivTypes_(a.dtype().ptr(), float64.ptr()))
            return false;
        rows.push_back(static_cast<const double*>(a.data()));
        sizes.push_back(static_cast<std::size_t>(a.shape(0)));
        return true;
    });
    if (!all) return py::none();
    const std::vector<int64_t> lengths(sizes.begin(), sizes.end());
    return py::make_tuple(to_array(lengths), count_blanked(rows.data(), sizes.data(), rows.size()));
}

// blanked_rows(): count_blanked for the rows samples[ends[i - 1] .. ends[i])
// (from 0 for i = 0).
inline std::size_t blanked_rows(const Array<double>& samples, const Array<int64_t>& ends) {
    if (samples.ndim() != 1 || ends.ndim() != 1) throw std::invalid_argument("blanked_rows: expected 1-D arrays");
    std::vector<const double*> rows;
    std::vector<std::size_t> sizes;
    int64_t from = 0;
    for (py::ssize_t i = 0; i < ends.size(); ++i) {
        const int64_t to = ends.data()[i];
        if (to < from || to > samples.size())
            throw std::invalid_argument("blanked_rows: ends must ascend within the samples");
        rows.push_back(samples.data() + from);
        sizes.push_back(static_cast<std::size_t>(to - from));
        from = to;
    }
    return count_blanked(rows.data(), sizes.data(), rows.size());
}

// text_rows(): the rows of the text, each a new array; None where the
// text needs qor.load's own reader (read_text_rows).
inline py::object text_rows(const py::buffer& text, std::optional<char> delimiter, std::optional<int64_t> label_column,
                            std::size_t longest) {
    const py::buffer_info bytes = text.request();
    if (bytes.ndim != 1 || bytes.itemsize != 1 || bytes.strides[0] != 1)
        throw py::type_error("text_rows: expected contiguous bytes");
    const std::string_view all(static_cast<const char*>(bytes.ptr), static_cast<std::size_t>(bytes.size));
    std::optional<TextRows> rows;
    // Without the GIL (the caller's bytes do not change), on the engine's threads.
    const auto read = [&](Workers& workers) { rows = read_text_rows(all, delimiter, label_column, longest, workers); };
    if (const std::exception_ptr error = released(read)) std::rethrow_exception(error);
    if (!rows) return py::none();
    py::list out(rows->ends.size());
    int64_t from = 0;
    for (std::size_t i = 0; i < rows->ends.size(); ++i) {
        out[i] = to_array(rows->values.data() + from, static_cast<std::size_t>(rows->ends[i] - from));
        from = rows->ends[i];
    }
    return std::move(out);
}

// qor's relative naed of each motif (relative_naeds), as an array.
inline Array<double> relative_naeds_of(const std::vector<const Motif*>& motifs) {
    for (const Motif* motif : motifs)
        if (motif == nullptr) throw py::type_error("relative_naeds: expected motifs, not None");
    return to_array(relative_naeds(motifs));
}

// A motif's average rows as one (series, length) array, in the order of its
// indexes: what Motif.average_occurrences gives as lists of Python floats,
// without making them. Rows computed from the mined collection are written
// in place by the engine's threads; those of a RowSource (which calls back
// into Python) are taken with the GIL held. No rows for a motif that has
// none.
inline Array<double> average_table(const Motif& motif) {
    const std::size_t len = detail::window_length(motif.length);
    const std::size_t rows = motif.has_average_rows() ? motif.indexes.size() : 0;
    Array<double> out(std::vector<py::ssize_t>{static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(len)});
    if (rows == 0 || len == 0) return out;
    double* const table = out.mutable_data();
    if (motif.average_occurrences.source()) {
        const std::vector<double> all = motif.average_rows();
        std::copy(all.begin(), all.end(), table);
        return out;
    }
    const auto fill = [&](Workers& workers) {
        const std::size_t parts = workers.parts(rows * len, std::size_t{1} << 16);
        workers.run(parts, [&](std::size_t j, unsigned) {
            std::vector<double> scratch(len);
            for (std::size_t r = j * rows / parts; r < (j + 1) * rows / parts; ++r) {
                if (r % 64 == 0) workers.check();
                motif.average_row(r, table + r * len, scratch.data());
            }
        });
    };
    if (const std::exception_ptr error = released(fill)) std::rethrow_exception(error);
    return out;
}

}  // namespace qor::bindings::engine
