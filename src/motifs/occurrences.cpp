#include "motifs/occurrences.hpp"

namespace qor {

void Occurrences::add(int32_t s, int32_t position) {
    if (series.empty() || series.back() != s) {
        series.push_back(s);
        ends.push_back(static_cast<uint32_t>(positions.size()));
    }
    positions.push_back(position);
    ++ends.back();
}

void Occurrences::clear() noexcept {
    series.clear();
    ends.clear();
    positions.clear();
}

}  // namespace qor
