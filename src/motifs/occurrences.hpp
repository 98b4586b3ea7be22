// Where a pattern occurs: symbol positions per series.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qor {

// Occurrence positions per series, series in ascending order, stored flat:
// the positions of series[i] are positions[ends[i - 1] .. ends[i]) (from 0
// for i = 0). Empty means three empty vectors, so clearing never allocates.
struct Occurrences {
    std::vector<int32_t> series;
    std::vector<uint32_t> ends;
    std::vector<int32_t> positions;

    std::size_t size() const { return series.size(); }
    bool empty() const { return series.empty(); }
    const int32_t* begin_of(std::size_t i) const { return positions.data() + (i == 0 ? 0 : ends[i - 1]); }
    const int32_t* end_of(std::size_t i) const { return positions.data() + ends[i]; }
    // Appends a position; `s` must not be below the last series appended.
    void add(int32_t s, int32_t position);
    void clear() noexcept;
};

}  // namespace qor
