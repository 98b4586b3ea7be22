// The motif record: one frequent pattern, where it occurs, and the
// statistics derived from its occurrence windows.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "core/types.hpp"
#include "motifs/occurrences.hpp"
#include "motifs/values.hpp"

namespace qor {

// Per-series statistics are keyed by `indexes.series`: row i of
// `average_occurrences` (`length` values) and entry i of `best_matches`
// belong to series indexes.series[i]. Both are empty until computed.
struct Motif {
    Pattern pattern;
    int32_t seglen = 0;
    int32_t length = 0;
    Occurrences indexes;
    SharedValues average_occurrences;
    std::vector<double> representative;
    std::vector<int32_t> best_matches;
    double naed = 0.0;

    explicit Motif(Pattern&& p) : pattern(std::move(p)) {}
    Motif(const Motif&) = default;
    Motif(Motif&& other) noexcept;
    Motif& operator=(const Motif&) = default;
    Motif& operator=(Motif&& other) noexcept;
    ~Motif() = default;

    // Window of `length` samples starting at symbol position p, NaN past the
    // end of the series.
    std::vector<double> extract_occurrence(const Series& series, int32_t p) const;

    // The statistics of this motif alone, in this order (each needs the one
    // before). They run the steps of score_motifs (motifs/statistics.hpp),
    // which computes them for many motifs at once, on this motif only, with
    // the same results. compute_representative adds into `representative`
    // and compute_best_matches into `naed`: both start from the zeros that
    // prepare_motifs sets.
    void compute_average_occurrences(const std::vector<Series>& ts);
    void compute_representative();
    void compute_best_matches(const std::vector<Series>& ts);
};

}  // namespace qor
