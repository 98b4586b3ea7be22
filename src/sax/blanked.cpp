#include "sax/blanked.hpp"

#include <algorithm>
#include <cmath>

namespace qor {

std::size_t count_blanked(const double* const* rows, const std::size_t* sizes, std::size_t n) {
    // Eight rows side by side, each added in order: independent sums, which
    // do not wait on one another.
    constexpr std::size_t kTogether = 8;
    std::size_t blanked = 0;
    for (std::size_t r = 0; r < n; r += kTogether) {
        const std::size_t k = std::min(kTogether, n - r);
        double sum[kTogether] = {};
        const std::size_t common = *std::min_element(sizes + r, sizes + r + k);
        const double* row[kTogether] = {};
        std::copy(rows + r, rows + r + k, row);
        if (k == kTogether) {
            for (std::size_t i = 0; i < common; ++i)
                for (std::size_t j = 0; j < kTogether; ++j) sum[j] += row[j][i];
        } else {
            for (std::size_t i = 0; i < common; ++i)
                for (std::size_t j = 0; j < k; ++j) sum[j] += row[j][i];
        }
        for (std::size_t j = 0; j < k; ++j) {
            for (std::size_t i = common; i < sizes[r + j]; ++i) sum[j] += row[j][i];
            blanked += !std::isfinite(sum[j]);
        }
    }
    return blanked;
}

}  // namespace qor
