// Level-wise search for contiguous symbol patterns that occur in at least a
// share `minsup` of the words, followed by a length and overlap filter.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "core/parallel.hpp"
#include "core/types.hpp"
#include "motifs/motif.hpp"
#include "patterns/words_view.hpp"

namespace qor {

class PatternMiner {
public:
    double minsup;
    int32_t min_len;
    int32_t max_len;
    double max_overlap;
    std::map<Pattern, Motif, PatternLess> frequent;
    double min_count = 0.0;
    int32_t cur_len = 2;
    // levels[k]: the patterns of length k that passed the support test, in
    // ascending pattern order; levels[0] stays empty.
    std::vector<std::vector<Pattern>> levels = std::vector<std::vector<Pattern>>(2);

    explicit PatternMiner(double minsup, int32_t min_len = 3, int32_t max_len = 0, double max_overlap = 0.9)
        : minsup(minsup), min_len(min_len), max_len(max_len), max_overlap(max_overlap) {}

    // Replaces `frequent` (and the search state) with the result for
    // `words`, found on the threads of `workers`.
    void mine(const WordsView& words, Workers& workers);

    // Length of the longest common subsequence of a and b.
    static int32_t lcs_length(const Pattern& a, const Pattern& b);
};

}  // namespace qor
