// The pipeline from numeric series to ranked motifs.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/collection.hpp"
#include "core/parallel.hpp"
#include "core/types.hpp"
#include "motifs/motif.hpp"

namespace qor {

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
        : minsup(minsup),
          seglen(seglen),
          alphabet(alphabet),
          min_len(min_len),
          max_len(max_len),
          max_overlap(max_overlap),
          k(k) {}

    // Normalises `ts` (taken over, not copied, when moved in), mines it on
    // the threads of `workers` and returns the first k motifs; `motifs` is
    // replaced by the whole ranked collection. The motifs keep the
    // normalised collection (one copy, shared) to compute their average
    // rows from when they are read.
    std::vector<Motif> mine(Collection ts, Workers& workers);

    // The same for series that are already z-normalised (znormalize), and
    // their SAX words when they are at hand (znormalize_and_sax).
    std::vector<Motif> mine_normalised(Collection ts, Workers& workers);
    std::vector<Motif> mine_normalised(Collection ts, std::vector<Word> words, Workers& workers);

    // Fills `motifs` from the normalised series (everything but selection),
    // and their words if given.
    void collect_and_rank(const std::shared_ptr<const Collection>& ts, Workers& workers);
    void collect_and_rank(const std::shared_ptr<const Collection>& ts, std::vector<Word> words, Workers& workers);
};

}  // namespace qor
