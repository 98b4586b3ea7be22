// The overlap filter: of the listed patterns, those that largely repeat a
// kept pattern at least as long are removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/parallel.hpp"

namespace qor::detail {

// The listed patterns, longest first, each a run of dense ids.
struct Listing {
    std::vector<std::pair<std::size_t, std::size_t>> entry;  // (level, index)
    std::vector<std::size_t> start{0};                       // ids of item i: ids[start[i] .. start[i + 1])
    std::vector<uint8_t> ids;
    std::size_t size() const { return entry.size(); }
    std::size_t length(std::size_t i) const { return start[i + 1] - start[i]; }
    const uint8_t* at(std::size_t i) const { return ids.data() + start[i]; }
};

// Marks (1) the listed patterns that the overlap test removes: those whose
// longest common subsequence with a kept pattern at least as long, listed
// before them, exceeds max_overlap of their length. `alphabet` bounds the
// dense ids.
std::vector<char> overlap_losers(const Listing& list, std::size_t alphabet, double max_overlap, Workers& workers);

}  // namespace qor::detail
