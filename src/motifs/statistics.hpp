// The statistics of many motifs at once: the path the Miner runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/parallel.hpp"
#include "core/types.hpp"
#include "motifs/motif.hpp"

namespace qor {

// seglen x symbols, the number of samples a motif window spans. Throws
// std::invalid_argument when it does not fit a 32-bit signed integer.
int32_t motif_length(int32_t seglen, std::size_t symbols);

// Puts every motif in the state the statistics start from: `seglen`,
// `length` (seglen x pattern symbols) and `length` zeros in
// `representative`. Every length is checked before any motif changes.
void prepare_motifs(std::vector<Motif>& motifs, int32_t seglen);

// Runs compute_average_occurrences, compute_representative and
// compute_best_matches on every motif (prepared as above), with identical
// results, but series by series: each series is read once per statistic
// for all the motifs that occur in it.
void score_motifs(std::vector<Motif>& motifs, const std::vector<Series>& ts, Workers& workers);

}  // namespace qor
