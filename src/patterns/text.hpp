// The words as one text of dense symbol ids, the form the pattern search
// reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/collection.hpp"
#include "core/parallel.hpp"
#include "core/types.hpp"
#include "patterns/words_view.hpp"

namespace qor::detail {

// The words re-encoded as dense symbol ids (0 = smallest symbol present, in
// signed 8-bit order) and concatenated, each followed by a separator id that
// no pattern contains. A symbol is addressed by its global position.
struct Text {
    // Written in full once sized: left uninitialised.
    std::vector<uint16_t, UninitializedAllocator<uint16_t>> ids;
    std::vector<uint32_t, UninitializedAllocator<uint32_t>> word_of;  // global position -> word index, when stride is 0
    std::vector<std::size_t> start;  // word g is ids[start[g] .. start[g + 1]), separator last
    std::vector<char> symbols;       // dense id -> original symbol
    uint16_t separator = 0;

    // Throws std::length_error("vector too long") when the text, separators
    // included, has more positions than a 32-bit signed value can address.
    // Built on the threads of `workers`, by ranges of words.
    Text(const WordsView& words, Workers& workers);

    // When every word has the same length (at least 1), `stride` is that
    // length plus one (its separator) and word indexes are computed (no
    // word_of table); otherwise it is 0.
    std::size_t stride = 0;
    uint64_t reciprocal = 0;

    // Index of the word that holds position gp.
    std::size_t word(uint32_t gp) const {
#if defined(__SIZEOF_INT128__)
        // gp / stride by multiplication, exact for every 32-bit gp.
        if (stride != 0) return static_cast<std::size_t>((static_cast<unsigned __int128>(reciprocal) * gp) >> 64);
#endif
        return word_of[gp];
    }

    // Global position just past the word that holds position gp.
    std::size_t word_end(uint32_t gp) const { return stride != 0 ? (word(gp) + 1) * stride : start[word_of[gp] + 1]; }

    // Word index and start position within the word of a global position.
    std::pair<int32_t, int32_t> locate(uint32_t gp) const {
        const std::size_t g = word(gp);
        return {static_cast<int32_t>(g), static_cast<int32_t>(gp - start[g])};
    }
};

}  // namespace qor::detail
