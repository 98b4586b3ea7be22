#include "core/types.hpp"

#include <algorithm>
#include <cstddef>

namespace qor {

bool PatternLess::operator()(const Pattern& a, const Pattern& b) const {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const int x = symbol_value(a[i]), y = symbol_value(b[i]);
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

}  // namespace qor
