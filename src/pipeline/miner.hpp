// The pipeline from numeric series to ranked motifs.
#pragma once

#include <cstdint>
#include <vector>

#include "core/parallel.hpp"
#include "core/types.hpp"
#include "motifs/motif.hpp"

namespace qor {

// seglen x symbols, the number of samples a motif window spans. Throws
// std::invalid_argument when it does not fit a 32-bit signed integer.
int32_t motif_length(int32_t seglen, std::size_t symbols);

// Runs compute_average_occurrences, compute_representative and
// compute_best_matches on every motif (seglen, length and representative
// already set), with identical results, but series by series: each series
// is read once per statistic for all the motifs that occur in it.
void score_motifs(std::vector<Motif>& motifs, const std::vector<Series>& ts);
void score_motifs(std::vector<Motif>& motifs, const std::vector<Series>& ts, Workers& workers);

// Sorts by ascending naed; equal values keep their order and NaN goes last.
void rank_motifs(std::vector<Motif>& motifs);

// Copies of the first k motifs (all when k is 0). A negative k throws
// std::length_error("vector too long").
std::vector<Motif> top_motifs(const std::vector<Motif>& motifs, int32_t k);

class Miner {
public:
    double minsup;
    int32_t seglen;
    int32_t alphabet;
    int32_t min_len;
    int32_t max_len;
    double max_overlap;
    int32_t k;
    std::vector<Motif> motifs;

    Miner(double minsup, int32_t seglen, int32_t alphabet, int32_t min_len = 3, int32_t max_len = 0,
          double max_overlap = 0.9, int32_t k = 0)
        : minsup(minsup), seglen(seglen), alphabet(alphabet), min_len(min_len), max_len(max_len),
          max_overlap(max_overlap), k(k) {}

    // Normalises `ts` in place, mines it and returns the first k motifs;
    // `motifs` is replaced by the whole ranked collection.
    std::vector<Motif> mine(std::vector<Series>& ts);
    std::vector<Motif> mine(std::vector<Series>& ts, Workers& workers);

    // Fills `motifs` from the normalised series (everything but selection).
    void collect_and_rank(const std::vector<Series>& ts);
    void collect_and_rank(const std::vector<Series>& ts, Workers& workers);
};

}  // namespace qor
