#include "pipeline/ranking.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
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

std::vector<double> relative_naeds(const std::vector<const Motif*>& motifs) {
    std::vector<double> out;
    out.reserve(motifs.size());
    for (const Motif* m : motifs) {
        double sum = 0.0, count = 0.0, squares = 0.0;
        for (const double x : m->representative) {
            if (std::isnan(x)) continue;
            sum += x;
            count += 1.0;
        }
        const double mean = sum / count;  // NaN for no samples
        for (const double x : m->representative) {
            if (std::isnan(x)) continue;
            const double gap = x - mean;
            squares += gap * gap;
        }
        const double spread = std::sqrt(squares / count);
        out.push_back(spread > 0.0 && !std::isnan(m->naed) ? m->naed / spread
                                                           : std::numeric_limits<double>::infinity());
    }
    return out;
}

}  // namespace qor
