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

}  // namespace qor
