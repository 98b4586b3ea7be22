#include "pipeline/ranking.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace qor {

void rank_motifs(std::vector<Motif>& motifs) {
    std::stable_sort(motifs.begin(), motifs.end(), [](const Motif& a, const Motif& b) {
        return !std::isnan(a.naed) && (std::isnan(b.naed) || a.naed < b.naed);
    });
}

std::vector<Motif> top_motifs(const std::vector<Motif>& motifs, int32_t k) {
    if (k == 0) return motifs;
    const int64_t n = static_cast<int64_t>(motifs.size());
    const int64_t count = n < k ? n : k;
    // A negative k is not refused as a bad argument: it fails the way a
    // vector of min(k, size) elements would, with the standard length error
    // (ValueError in Python), after the collection has been ranked.
    if (count < 0) throw std::length_error("vector too long");
    return std::vector<Motif>(motifs.begin(), motifs.begin() + count);
}

}  // namespace qor
