// _qor_engine's NumPy arrays: conversions, and a partition's occurrences as
// they travel between processes. Included by engine.cpp only.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "pipeline/partitioned.hpp"

namespace qor::bindings::engine {

namespace py = pybind11;

template <typename T>
using Array = py::array_t<T, py::array::c_style | py::array::forcecast>;

// A new array holding a copy of data[0 .. n).
template <typename T>
Array<T> to_array(const T* data, std::size_t n) {
    return Array<T>(std::vector<py::ssize_t>{static_cast<py::ssize_t>(n)}, data);
}

template <typename T>
Array<T> to_array(const std::vector<T>& v) {
    return to_array(v.data(), v.size());
}

template <typename T>
std::vector<T> to_vector(const py::handle& h) {
    const Array<T> a = py::cast<Array<T>>(h);
    if (a.ndim() != 1) throw std::invalid_argument("expected a 1-D array");
    return std::vector<T>(a.data(), a.data() + a.size());
}

// f(T{}) for the integer type T of `size` bytes, signed or not.
template <bool is_signed, typename F>
void by_width(py::ssize_t size, F&& f) {
    const auto pick = [&](auto s, auto u) {
        if constexpr (is_signed)
            f(s);
        else
            f(u);
    };
    if (size == 1)
        pick(int8_t{}, uint8_t{});
    else if (size == 2)
        pick(int16_t{}, uint16_t{});
    else if (size == 4)
        pick(int32_t{}, uint32_t{});
    else
        pick(int64_t{}, uint64_t{});
}

// The values of a 1-D array of integers (of any integer type) that all fit
// in int32, into `out` (resized); anything else is refused, not wrapped or
// truncated. Read in the array's own type, without a wider copy first.
inline void read_int32_values(const py::handle& h, std::vector<int32_t>& out) {
    const py::array a = py::array::ensure(h);
    const char kind = a ? a.dtype().kind() : '?';
    if (kind != 'i' && kind != 'u') throw py::type_error("partition occurrences: expected arrays of integers");
    if (a.ndim() != 1) throw std::invalid_argument("partition occurrences: expected 1-D arrays");
    // The width from the dtype's Python attribute: this pybind11's
    // array::itemsize() reads NumPy 1's descriptor layout, and under NumPy 2
    // finds no width there, so every array was read as 64-bit, through a
    // converted copy.
    const auto width = a.dtype().attr("itemsize").cast<py::ssize_t>();
    out.resize(static_cast<std::size_t>(a.size()));
    const auto copy = [&](auto tag) {
        using T = decltype(tag);
        const Array<T> values = py::cast<Array<T>>(a);  // a view when the array is aligned and contiguous
        for (std::size_t i = 0; i < out.size(); ++i) {
            const T x = values.data()[i];
            bool fits = true;
            if constexpr (std::is_signed_v<T> && sizeof(T) > sizeof(int32_t))
                fits = x >= INT32_MIN && x <= INT32_MAX;
            else if constexpr (!std::is_signed_v<T> && sizeof(T) >= sizeof(int32_t))
                fits = x <= static_cast<T>(INT32_MAX);
            if (!fits) throw std::invalid_argument("partition occurrences: a value out of range");
            out[i] = static_cast<int32_t>(x);
        }
    };
    if (kind == 'u')
        by_width<false>(width, copy);
    else
        by_width<true>(width, copy);
}

inline int32_t int32_value(const py::handle& h) {
    const auto x = h.cast<int64_t>();
    if (x < INT32_MIN || x > INT32_MAX) throw std::invalid_argument("partition occurrences: a value out of range");
    return static_cast<int32_t>(x);
}

// The values of v (int32) in the smallest of uint8, uint16 and int32 that
// holds them all: int32 for any value below 0.
inline py::array compact(const std::vector<int32_t>& v) {
    // One unsigned maximum, which runs on vectors: a value below 0 reads as
    // one above INT32_MAX.
    uint32_t top = 0;
    for (int32_t x : v) top = std::max(top, static_cast<uint32_t>(x));
    const bool negative = top > static_cast<uint32_t>(INT32_MAX);
    const auto fill = [&](auto tag) {
        using T = decltype(tag);
        Array<T> out(std::vector<py::ssize_t>{static_cast<py::ssize_t>(v.size())});
        std::copy(v.begin(), v.end(), out.mutable_data());
        return py::array(std::move(out));
    };
    if (negative) return fill(int32_t{});
    if (top <= 0xff) return fill(uint8_t{});
    if (top <= 0xffff) return fill(uint16_t{});
    return fill(int32_t{});
}

// Occurrences as they travel between processes: (first, seglen, then per
// run of entries of one motif with consecutive rows: its motif, first row,
// window length and number of entries; then per entry: its series, as the
// step from the entry before in its run (from `first` for a run's first
// entry), and its number of positions; then the positions). The per-entry
// arrays are of the smallest integer type that holds them: a few bytes per
// entry, where the flat form takes 24.
inline py::tuple occurrences_tuple(const PartOccurrences& o) {
    const std::size_t n = o.size();
    std::vector<int32_t> step(n), count(n);
    std::size_t e = 0;
    for (std::size_t k = 0; k < o.runs(); ++k) {
        const std::size_t end = std::min(n, e + static_cast<std::size_t>(std::max(o.run_entries[k], 0)));
        for (int32_t before = o.first; e < end; before = o.series[e++]) step[e] = o.series[e] - before;
    }
    int64_t before = 0;
    for (e = 0; e < n; before = o.ends[e++]) count[e] = static_cast<int32_t>(o.ends[e] - before);
    return py::make_tuple(o.first, o.seglen, to_array(o.run_motif), to_array(o.run_row), to_array(o.run_length),
                          to_array(o.run_entries), compact(step), compact(count), compact(o.positions));
}

// Partition occurrences are read into one PartOccurrences per thread and
// use (which the caller reads until its next call of the same kind on the
// thread): their vectors keep their memory from call to call, where fresh
// ones would fault in a partition's worth of pages every time.

// The first items of partition occurrences: first, seglen and the runs.
inline void read_runs(const py::tuple& t, PartOccurrences& o) {
    if (t.size() != 9) throw std::invalid_argument("partition occurrences: expected a tuple of 9 items");
    o.first = int32_value(t[0]);
    o.seglen = int32_value(t[1]);
    read_int32_values(t[2], o.run_motif);
    read_int32_values(t[3], o.run_row);
    read_int32_values(t[4], o.run_length);
    read_int32_values(t[5], o.run_entries);
}

// The runs of partition occurrences and their number of entries, without
// the entries themselves: what the best matches of a partition are filed by.
inline const PartOccurrences& runs_of(const py::tuple& t) {
    static thread_local PartOccurrences o;
    read_runs(t, o);
    o.series.resize(static_cast<std::size_t>(py::len(t[6])));  // sized only: the entries are not read
    o.ends.clear();
    o.positions.clear();
    return o;
}

inline const PartOccurrences& occurrences_of(const py::tuple& t) {
    static thread_local PartOccurrences o;
    static thread_local std::vector<int32_t> counts;
    read_runs(t, o);
    read_int32_values(t[6], o.series);
    read_int32_values(t[7], counts);
    read_int32_values(t[8], o.positions);
    if (counts.size() != o.size())
        throw std::invalid_argument("partition occurrences: entry arrays of different sizes");
    // The runs must cover the entries exactly before the series are made
    // from their steps, run by run.
    o.check_sizes();
    std::size_t e = 0;
    for (std::size_t k = 0; k < o.runs(); ++k) {
        int64_t series = o.first;
        for (int32_t i = 0; i < o.run_entries[k]; ++i, ++e) {
            series += o.series[e];
            if (series < 0 || series > INT32_MAX)
                throw std::invalid_argument("partition occurrences: a series number out of range");
            o.series[e] = static_cast<int32_t>(series);
        }
    }
    o.ends.resize(o.size());
    int64_t end = 0;
    for (std::size_t i = 0; i < o.size(); ++i) {
        if (counts[i] <= 0) throw std::invalid_argument("partition occurrences: an entry without positions");
        end += counts[i];
        o.ends[i] = end;
    }
    return o;
}

template <typename T>
void check_size(const Array<T>& a, std::size_t n, const char* what) {
    if (a.ndim() != 1 || static_cast<std::size_t>(a.size()) != n)
        throw std::invalid_argument(std::string(what) + ": expected " + std::to_string(n) + " values");
}

}  // namespace qor::bindings::engine
