// The motif statistics: the kernels that compute them one series at a time,
// and score_motifs, the path the Miner runs over many motifs at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/collection.hpp"
#include "core/parallel.hpp"
#include "core/types.hpp"
#include "motifs/motif.hpp"

namespace qor {

namespace detail {

// The statistics of one motif row by row. Row r of a motif belongs to series
// indexes.series[r] and its windows start at the symbol positions
// [indexes.begin_of(r), indexes.end_of(r)); `samples` (n of them) are that
// series' normalised samples. A representative is made by adding every
// row's average into a RepresentativeSums in row order and finishing it;
// naed by adding every row's best distance, in row order, to a sum that
// starts at 0.0, and finishing it. score_motifs gives the same bits.

// Row of average occurrences: the `length` means of the windows at
// positions[0 .. windows), NaN samples left out (NaN where none is left).
// `scratch` holds `length` values.
void average_row(const double* samples, std::size_t n, const int32_t* positions, std::size_t windows, int32_t seglen,
                 int32_t length, double* row, double* scratch);

// The NaN-skipping sums of a motif's average rows, from which its
// representative is made: `sum` and `count` of `length` values, from zeros.
// add_to_sums adds the next row; finish_sums adds the mean of the `rows`
// rows added into `representative` (`length` values, zeros for a fresh
// motif), as `rows` equal parts, and leaves `sum` overwritten. Once only;
// nothing happens when rows is 0.
void add_to_sums(double* sum, double* count, const double* row, std::size_t length);
void finish_sums(double* sum, const double* count, std::size_t length, std::size_t rows, double* representative);

// The same sums, held.
class RepresentativeSums {
public:
    explicit RepresentativeSums(std::size_t length) : sum_(length, 0.0), count_(length, 0.0) {}
    void add(const double* row) { add_to_sums(sum_.data(), count_.data(), row, sum_.size()); }
    void finish(std::size_t rows, double* representative) {
        finish_sums(sum_.data(), count_.data(), sum_.size(), rows, representative);
    }

private:
    std::vector<double> sum_, count_;
};

// The window of a row closest to the representative: its distance and its
// symbol position (the first of equal distances; kNoMatch and position 0
// when no window comes closer than kNoMatch). The motif's best match for
// that series is position x seglen.
struct BestMatch {
    double distance;
    int32_t position;
};
BestMatch best_match(const double* samples, std::size_t n, const int32_t* positions, std::size_t windows,
                     int32_t seglen, int32_t length, const double* representative);

// naed from the sum of the best distances of `rows` rows.
inline double finish_naed(double sum, std::size_t rows, int32_t length) {
    return sum / (static_cast<double>(rows) * static_cast<double>(length));
}

}  // namespace detail

// seglen x symbols, the number of samples a motif window spans. Throws
// std::invalid_argument when it does not fit a 32-bit signed integer.
int32_t motif_length(int32_t seglen, std::size_t symbols);

// Puts every motif in the state the statistics start from: `seglen`,
// `length` (seglen x pattern symbols) and `length` zeros in
// `representative`. Every length is checked before any motif changes.
void prepare_motifs(std::vector<Motif>& motifs, int32_t seglen);

// Computes the representative, best matches and naed of every motif
// (prepared as above), as compute_average_occurrences,
// compute_representative and compute_best_matches would, but series by
// series: each series is read once per statistic for all the motifs that
// occur in it. The average rows are not kept: the caller gives the motifs
// a source for them (the Miner, its normalised collection).
void score_motifs(std::vector<Motif>& motifs, const Collection& ts, Workers& workers);

// Called with a range of series [first, last) before any of their samples
// is read, for callers that write the samples on demand (normalising them
// as they are needed): ranges of about a cache's worth, in ascending order,
// each series once at most. Series that no motif occurs in may never be
// asked for. Returns where series `first` begins, the others following it
// as in the collection (series s at the result + ts.start(s) -
// ts.start(first)): the collection's own rows, or a buffer of the caller's
// that holds the range until the next call.
using PrepareSeries = std::function<const double*(std::size_t first, std::size_t last)>;

// The statistics of many motifs, for callers that hold the series of the
// motifs in parts (qor's scale-out), series by series as score_motifs reads
// them. Each takes a PrepareSeries, or null when the samples are all there. compute_average_occurrences writes the
// average rows of every motif to `out`, motif after motif (indexes.size() x length values each), as
// Motif::compute_average_occurrences computes them. row_best_matches finds the best window of every row of
// every motif (rows motif after motif, each motif's rows in order):
// distance[e] and its first sample start[e] (1000000 and 0 when none is
// closer). add_best_match adds row r's distance into naed and sets its best
// match (best_matches sized to the rows first), in row order; finish_naed
// divides naed by rows x length once every row is in: the steps of
// compute_best_matches after row_best_matches.
void compute_average_occurrences(const std::vector<Motif>& motifs, const Collection& ts, double* out,
                                 const PrepareSeries* prepare = nullptr);
// Where add_average_rows adds each motif's average rows: the sums and
// counts of motif mi at sum[mi] and count[mi] (add_to_sums; length values
// each). Rows are added in series order, motif by motif, as score_motifs
// adds them.
struct SumTargets {
    double* const* sum;
    double* const* count;
};
void add_average_rows(const std::vector<Motif>& motifs, const Collection& ts, const SumTargets& sums,
                      const PrepareSeries* prepare = nullptr);
void row_best_matches(const std::vector<Motif>& motifs, const Collection& ts, double* distance, int32_t* start,
                      const PrepareSeries* prepare = nullptr);
void add_best_match(Motif& m, std::size_t r, double distance, int32_t start);
void finish_naed(Motif& m);

}  // namespace qor
