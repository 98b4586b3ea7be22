#include "miner.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "../patterns/pattern_miner.hpp"

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
    if (count < 0) throw std::length_error("vector too long");
    return std::vector<Motif>(motifs.begin(), motifs.begin() + count);
}

int32_t motif_length(int32_t seglen, std::size_t symbols) {
    const int64_t length = static_cast<int64_t>(seglen) * static_cast<int64_t>(symbols);
    if (length > std::numeric_limits<int32_t>::max() || length < std::numeric_limits<int32_t>::min())
        throw std::invalid_argument("motif too long: seglen " + std::to_string(seglen) + " x " +
                                    std::to_string(symbols) +
                                    " symbols does not fit a 32-bit sample count");
    return static_cast<int32_t>(length);
}

void Miner::collect_and_rank(const std::vector<Series>& ts) {
    motifs.clear();
    {
        PatternMiner miner(minsup, min_len, max_len, max_overlap);
        miner.mine(sax(ts, seglen, alphabet));
        motifs.reserve(miner.frequent.size());
        for (auto& entry : miner.frequent) motifs.push_back(std::move(entry.second));
    }
    // Check every length before scoring anything.
    for (const Motif& m : motifs) motif_length(seglen, m.pattern.size());
    for (Motif& m : motifs) {
        const int32_t length = motif_length(seglen, m.pattern.size());
        m.seglen = seglen;
        m.length = length;
        m.representative.resize(static_cast<std::size_t>(std::max(length, 0)), 0.0);
        m.compute_average_occurrences(ts);
        m.compute_representative();
        m.compute_best_matches(ts);
    }
    rank_motifs(motifs);
}

std::vector<Motif> Miner::mine(std::vector<Series>& ts) {
    check_alphabet(alphabet);
    znormalize(ts);
    collect_and_rank(ts);
    return top_motifs(motifs, k);
}

}  // namespace qor
