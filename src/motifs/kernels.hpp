// The loops the motif statistics are made of: occurrence windows, and sums
// that leave NaN samples out. Each vector path adds the same terms in the
// same order as its plain loop.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "core/simd.hpp"

namespace qor::detail {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The best distance of a series until a window comes closer. A series with
// no closer window (every distance NaN, say) adds this much to naed and
// reports position 0: it still counts among the series of the motif.
constexpr double kNoMatch = 1000000.0;

// Number of samples of a window: `length`, or none when it is negative.
inline std::size_t window_length(int32_t length) { return static_cast<std::size_t>(std::max(length, 0)); }

// Sample range [first, first + count) of a series of n samples that the
// window at symbol position p covers; the rest of the window is NaN padding.
struct Span {
    std::size_t first;
    std::size_t count;
};

inline Span window_span(std::size_t n, int32_t p, int32_t seglen, int32_t length) {
    const int64_t start = static_cast<int64_t>(p) * seglen;
    const int64_t end = start + length;
    const int64_t last = std::min<int64_t>(end, static_cast<int64_t>(n));
    if (start < 0 || last <= start) return {0, 0};
    return {static_cast<std::size_t>(start), static_cast<std::size_t>(last - start)};
}

// sum[i] += x[i] and count[i] += 1 wherever x[i] is not NaN. Both sums start
// at +0.0 and so never hold -0.0: adding +0.0 for a NaN sample changes
// nothing, which lets the vector path add a masked value instead of
// branching.
inline void add_real(double* sum, double* count, const double* x, std::size_t n) {
    std::size_t i = 0;
#if QOR_SSE2
    const __m128d one = _mm_set1_pd(1.0);
    for (; i + 2 <= n; i += 2) {
        const __m128d v = _mm_loadu_pd(x + i);
        const __m128d real = _mm_cmpord_pd(v, v);
        _mm_storeu_pd(sum + i, _mm_add_pd(_mm_loadu_pd(sum + i), _mm_and_pd(real, v)));
        _mm_storeu_pd(count + i, _mm_add_pd(_mm_loadu_pd(count + i), _mm_and_pd(real, one)));
    }
#endif
    for (; i < n; ++i) {
        if (x[i] == x[i]) {
            sum[i] += x[i];
            count[i] += 1.0;
        }
    }
}

// The mean of the real values at offset i of the windows x[0 .. k) (window
// w has n[w] samples, NaN padding after), summed in window order from +0.0,
// or NaN where there is none: the plain form of the vector loops' means.
inline double mean_at(const double* const* x, const std::size_t* n, std::size_t k, std::size_t i) {
    double sum = 0.0, count = 0.0;
    for (std::size_t w = 0; w < k; ++w) {
        if (i < n[w] && x[w][i] == x[w][i]) {
            sum += x[w][i];
            count += 1.0;
        }
    }
    return count > 0.0 ? sum / count : kNaN;
}

// row[i] = x[i] + 0.0, or NaN where x[i] is NaN.
inline void copy_real(double* row, const double* x, std::size_t n) {
    std::size_t i = 0;
#if QOR_SSE2
    const __m128d nan = _mm_set1_pd(kNaN), zero = _mm_setzero_pd();
    for (; i + 2 <= n; i += 2) {
        const __m128d v = _mm_loadu_pd(x + i);
        const __m128d real = _mm_cmpord_pd(v, v);
        _mm_storeu_pd(row + i, _mm_or_pd(_mm_and_pd(real, _mm_add_pd(v, zero)), _mm_andnot_pd(real, nan)));
    }
#endif
    for (; i < n; ++i) row[i] = x[i] == x[i] ? x[i] + 0.0 : kNaN;
}

// row[i] = row[i] / count[i], or NaN where the count is 0.
inline void divide_or_nan(double* row, const double* count, std::size_t n) {
    std::size_t i = 0;
#if QOR_SSE2
    const __m128d nan = _mm_set1_pd(kNaN);
    for (; i + 2 <= n; i += 2) {
        const __m128d c = _mm_loadu_pd(count + i);
        const __m128d q = _mm_div_pd(_mm_loadu_pd(row + i), c);
        const __m128d some = _mm_cmpgt_pd(c, _mm_setzero_pd());
        _mm_storeu_pd(row + i, _mm_or_pd(_mm_and_pd(some, q), _mm_andnot_pd(some, nan)));
    }
#endif
    for (; i < n; ++i) row[i] = count[i] > 0.0 ? row[i] / count[i] : kNaN;
}

// The term of one sample in a window's squared distance: a NaN sample adds
// +0.0, the same as leaving it out.
inline double squared_gap(double x, double rep) {
    const double d = x - rep;
    return x == x ? d * d : 0.0;
}

}  // namespace qor::detail
