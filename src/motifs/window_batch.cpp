#include "motifs/window_batch.hpp"

#include <algorithm>
#include <cmath>

#include "motifs/kernels.hpp"
#include "motifs/wide.hpp"

namespace qor::detail {

namespace {

// Sum over i < n of squared_gap(x[i], rep[i]) continued from `sum`.
inline double squares_from(double sum, const double* x, const double* rep, std::size_t first, std::size_t n) {
    for (std::size_t i = first; i < n; ++i) sum += squared_gap(x[i], rep[i]);
    return sum;
}

#if QOR_SSE2
// Two windows in the two lanes of a vector, each summed in its own order.
struct Pair {
    const double *a, *b, *ra, *rb;
    __m128d sum = _mm_setzero_pd();
    inline void step(std::size_t i) {
        const __m128d v = _mm_set_pd(b[i], a[i]);
        const __m128d d = _mm_sub_pd(v, _mm_set_pd(rb[i], ra[i]));
        sum = _mm_add_pd(sum, _mm_and_pd(_mm_cmpord_pd(v, v), _mm_mul_pd(d, d)));
    }
};
#endif

}  // namespace

// Windows are summed two to a vector and two vectors at a time, so that
// four independent sums are in flight.
void WindowBatch::compute() {
    const std::size_t n = x.size();
    dist.resize(n);
    if (wide_vectors()) {
        // In the order given: a group of four windows goes on together up to
        // the shortest of them, which the windows of one motif share but
        // for those cut short by the end of their series.
        distances_wide(x.data(), rep.data(), count.data(), n, dist.data());
        return;
    }
    std::size_t w = 0;
#if QOR_SSE2
    for (; w + 4 <= n; w += 4) {
        Pair p{x[w], x[w + 1], rep[w], rep[w + 1]};
        Pair q{x[w + 2], x[w + 3], rep[w + 2], rep[w + 3]};
        const std::size_t cp = std::min(count[w], count[w + 1]);
        const std::size_t cq = std::min(count[w + 2], count[w + 3]);
        const std::size_t both = std::min(cp, cq);
        std::size_t i = 0;
        for (; i < both; ++i) {
            p.step(i);
            q.step(i);
        }
        for (std::size_t j = i; j < cp; ++j) p.step(j);
        for (std::size_t j = i; j < cq; ++j) q.step(j);
        double lanes[4];
        _mm_storeu_pd(lanes, p.sum);
        _mm_storeu_pd(lanes + 2, q.sum);
        dist[w] = std::sqrt(squares_from(lanes[0], x[w], rep[w], cp, count[w]));
        dist[w + 1] = std::sqrt(squares_from(lanes[1], x[w + 1], rep[w + 1], cp, count[w + 1]));
        dist[w + 2] = std::sqrt(squares_from(lanes[2], x[w + 2], rep[w + 2], cq, count[w + 2]));
        dist[w + 3] = std::sqrt(squares_from(lanes[3], x[w + 3], rep[w + 3], cq, count[w + 3]));
    }
#endif
    for (; w < n; ++w) dist[w] = std::sqrt(squares_from(0.0, x[w], rep[w], 0, count[w]));
}

}  // namespace qor::detail
