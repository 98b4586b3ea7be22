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

// The statistics of many motifs, for callers that hold the series of the
// motifs in parts (qor's scale-out), series by series as score_motifs reads
// them. compute_average_occurrences runs Motif::compute_average_occurrences
// on every motif. row_best_matches finds the best window of every row of
// every motif (rows motif after motif, each motif's rows in order):
// distance[e] and its first sample start[e] (1000000 and 0 when none is
// closer). add_best_match adds row r's distance into naed and sets its best
// match (best_matches sized to the rows first), in row order; finish_naed
// divides naed by rows x length once every row is in: the steps of
// compute_best_matches after row_best_matches.
void compute_average_occurrences(std::vector<Motif>& motifs, const std::vector<Series>& ts);
void row_best_matches(const std::vector<Motif>& motifs, const std::vector<Series>& ts, double* distance,
                      int32_t* start);
void add_best_match(Motif& m, std::size_t r, double distance, int32_t start);
void finish_naed(Motif& m);

}  // namespace qor
