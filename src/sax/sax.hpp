// Symbolic discretisation: z-normalisation, piecewise aggregate means and
// the mapping of each mean to a letter through Gaussian breakpoints.
#pragma once

#include <cstdint>
#include <vector>

#include "core/collection.hpp"
#include "core/parallel.hpp"
#include "core/types.hpp"

namespace qor {

// The a - 1 ascending breakpoints of an alphabet of a letters, for
// a = 0..10 (none for 0 and 1); throws like check_alphabet otherwise.
std::vector<double> breakpoints(int32_t alphabet);

// Throws std::invalid_argument unless 0 <= alphabet <= 10.
void check_alphabet(int32_t alphabet);

// Z-normalises every series in place (population standard deviation), the
// collection on the threads of `workers`.
void znormalize(Collection& ts, Workers& workers);
void znormalize(double* samples, std::size_t n);
// The same, reading the series from `source`, a block laid out as ts's own
// (ts has the shape, its samples are written): one pass less than copying
// the block into ts first.
void znormalize(Collection& ts, const double* source, Workers& workers);
void znormalize_from(const double* source, double* samples, std::size_t n);

// A row's mean and population standard deviation, as z-normalisation found
// them: x[i] became (x[i] - mean) / sd.
struct RowScale {
    double mean, sd;
};
// The rows of ts written from `source` (laid out as ts's own block, or that
// block itself) with the scales found for them before, one per row
// (znormalize_and_sax with `scales`): the same values, without the passes
// that find the scales.
void znormalize(Collection& ts, const double* source, const RowScale* scales, Workers& workers);
// The same for rows [first, last) only, on the calling thread, written one
// after another from `out` (ts.row(first): in ts's own block).
void znormalize(const Collection& ts, const double* source, const RowScale* scales, std::size_t first, std::size_t last,
                double* out);
inline void znormalize(Series& series) { znormalize(series.data(), series.size()); }

// Number of letters of the word of a series of n samples. Throws
// std::length_error("vector too long") when the count is not representable
// or negative (seglen 0, or a negative seglen with n >= |seglen|).
int32_t segment_count(std::size_t n, int32_t seglen);

// Writes the segment count's letters for `samples` to `out`.
void sax_word(const double* samples, std::size_t n, int32_t seglen, int32_t alphabet, char* out);
Word sax_word(const Series& series, int32_t seglen, int32_t alphabet);

// One word per series, in series order. Does not normalise.
std::vector<Word> sax(const Collection& ts, int32_t seglen, int32_t alphabet, Workers& workers);

// znormalize followed by sax, in one pass over the samples: each block of a
// row is turned into letters while it is still in the cache. The same
// values, words and errors (the counts of letters are checked before any
// sample is written). With `scales` (one per row), each row's scale is
// written there (rows without samples are left as they are).
std::vector<Word> znormalize_and_sax(Collection& ts, int32_t seglen, int32_t alphabet, Workers& workers,
                                     RowScale* scales = nullptr);
// With `keep` false, ts's rows are not written (ts gives the shape only):
// each block of a row is normalised into a small buffer and turned into
// letters there, for callers that want the words alone.
std::vector<Word> znormalize_and_sax(Collection& ts, const double* source, int32_t seglen, int32_t alphabet,
                                     Workers& workers, RowScale* scales = nullptr, bool keep = true);

}  // namespace qor
