// Ranking of scored motifs and selection of the best ones.
#pragma once

#include <cstdint>
#include <vector>

#include "motifs/motif.hpp"

namespace qor {

// Sorts by ascending naed; equal values keep their order and NaN goes last.
void rank_motifs(std::vector<Motif>& motifs);

// Copies of the first k motifs (all when k is 0). A negative k throws
// std::length_error("vector too long").
std::vector<Motif> top_motifs(const std::vector<Motif>& motifs, int32_t k);

// Each motif's naed over the spread of its representative: the population
// standard deviation of its samples that are not NaN (their sum, and that of
// their squared gaps to the mean, added in sample order), or +inf where the
// spread is not above 0 (no samples, or all alike) or naed is NaN. Lower is
// better: a real shape has a wide representative, a flat one barely moves.
std::vector<double> relative_naeds(const std::vector<const Motif*>& motifs);

}  // namespace qor
