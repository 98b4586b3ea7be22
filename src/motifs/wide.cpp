#include "motifs/wide.hpp"

#include <algorithm>
#include <cmath>

#include "motifs/kernels.hpp"

namespace qor::detail {

#if QOR_WIDE

namespace {

// Whether any lane of any of the V vectors is NaN.
template <std::size_t V>
QOR_AVX inline bool any_nan(const __m256d* v) {
    __m256d nan = _mm256_cmp_pd(v[0], v[0], _CMP_UNORD_Q);
    for (std::size_t j = 1; j < V; ++j) nan = _mm256_or_pd(nan, _mm256_cmp_pd(v[j], v[j], _CMP_UNORD_Q));
    return _mm256_movemask_pd(nan) != 0;
}

// sum[v] += x[w][i + 4v .. + 4) for every window w in turn, NaN samples
// included. A NaN sample leaves its lane NaN to the end (NaN plus anything
// is NaN), so sums that come out free of NaN had none to leave out: they
// are the masked sums to the last bit, and each count went up by one per
// window.
template <std::size_t V>
QOR_AVX inline void add_plain(__m256d* sum, const double* const* x, std::size_t k, std::size_t i) {
    for (std::size_t w = 0; w < k; ++w) {
        const double* at = x[w] + i;
        for (std::size_t v = 0; v < V; ++v) sum[v] = _mm256_add_pd(sum[v], _mm256_loadu_pd(at + 4 * v));
    }
}

// The same with NaN samples left out, counting the others.
template <std::size_t V>
QOR_AVX inline void add_masked(__m256d* sum, __m256d* count, const double* const* x, std::size_t k, std::size_t i) {
    const __m256d one = _mm256_set1_pd(1.0);
    for (std::size_t w = 0; w < k; ++w) {
        const double* at = x[w] + i;
        for (std::size_t v = 0; v < V; ++v) {
            const __m256d value = _mm256_loadu_pd(at + 4 * v);
            const __m256d real = _mm256_cmp_pd(value, value, _CMP_ORD_Q);
            sum[v] = _mm256_add_pd(sum[v], _mm256_and_pd(real, value));
            count[v] = _mm256_add_pd(count[v], _mm256_and_pd(real, one));
        }
    }
}

// The means of the real values of V x 4 offsets from i over the windows:
// the sums and counts in window order, then one division where the count
// is above 0. The plain sums are tried first.
template <std::size_t V>
QOR_AVX inline void means_of(const double* const* x, std::size_t k, std::size_t i, double* row) {
    const __m256d zero = _mm256_setzero_pd();
    __m256d sum[V], count[V];
    for (std::size_t v = 0; v < V; ++v) sum[v] = zero;
    add_plain<V>(sum, x, k, i);
    if (any_nan<V>(sum)) {
        for (std::size_t v = 0; v < V; ++v) sum[v] = count[v] = zero;
        add_masked<V>(sum, count, x, k, i);
    } else {
        for (std::size_t v = 0; v < V; ++v) count[v] = _mm256_set1_pd(static_cast<double>(k));
    }
    for (std::size_t v = 0; v < V; ++v) {
        const __m256d some = _mm256_cmp_pd(count[v], zero, _CMP_GT_OQ);
        _mm256_storeu_pd(row + 4 * v, _mm256_blendv_pd(_mm256_set1_pd(kNaN), _mm256_div_pd(sum[v], count[v]), some));
    }
}

// One offset's squared gap, added to each window's sum; a NaN sample adds
// +0.0. Unmasked, a NaN sample makes the sum NaN instead (as in add_plain).
template <bool masked = true>
QOR_AVX inline __m256d add_gap(__m256d sum, __m256d v, __m256d r) {
    const __m256d d = _mm256_sub_pd(v, r);
    if constexpr (masked)
        return _mm256_add_pd(sum, _mm256_and_pd(_mm256_cmp_pd(v, v, _CMP_ORD_Q), _mm256_mul_pd(d, d)));
    else
        return _mm256_add_pd(sum, _mm256_mul_pd(d, d));
}

}  // namespace

QOR_AVX void average_windows_wide(const double* const* x, const std::size_t* n, std::size_t k, std::size_t len,
                                  double* row) {
    const std::size_t full = k == 0 ? 0 : std::min(len, *std::min_element(n, n + k));
    std::size_t i = 0;
    for (; i + 32 <= full; i += 32) means_of<8>(x, k, i, row + i);
    for (; i + 16 <= full; i += 16) means_of<4>(x, k, i, row + i);
    for (; i + 4 <= full; i += 4) means_of<1>(x, k, i, row + i);
    for (; i < len; ++i) row[i] = mean_at(x, n, k, i);
}

QOR_AVX void add_real_wide(double* sum, double* count, const double* x, std::size_t n) {
    const __m256d one = _mm256_set1_pd(1.0);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d v = _mm256_loadu_pd(x + i);
        const __m256d real = _mm256_cmp_pd(v, v, _CMP_ORD_Q);
        _mm256_storeu_pd(sum + i, _mm256_add_pd(_mm256_loadu_pd(sum + i), _mm256_and_pd(real, v)));
        _mm256_storeu_pd(count + i, _mm256_add_pd(_mm256_loadu_pd(count + i), _mm256_and_pd(real, one)));
    }
    for (; i < n; ++i) {
        if (x[i] == x[i]) {
            sum[i] += x[i];
            count[i] += 1.0;
        }
    }
}

namespace {

// Four windows, one in each lane of a vector: blocks of four offsets of the
// four windows (and of their representatives) are loaded as rows and
// turned into columns, so that each lane adds its window's gaps in offset
// order. Past the shortest of the four, each window goes on alone.
struct Quad {
    const double* xs[4];
    const double* rs[4];
    std::size_t n[4];
    std::size_t both;  // offsets all four have
    bool one_rep;
    __m256d sum;

    // Windows w .. w + 3; the group is filled up with copies of the last
    // window where fewer are left.
    QOR_AVX void load(const double* const* x, const double* const* rep, const std::size_t* count, std::size_t w,
                      std::size_t windows) {
        for (std::size_t j = 0; j < 4; ++j) {
            const std::size_t v = std::min(w + j, windows - 1);
            xs[j] = x[v];
            rs[j] = rep[v];
            n[j] = count[v];
        }
        both = std::min(std::min(n[0], n[1]), std::min(n[2], n[3]));
        one_rep = rs[0] == rs[1] && rs[0] == rs[2] && rs[0] == rs[3];
        sum = _mm256_setzero_pd();
    }

    // Offsets i .. i + 3 (below `both`): unmasked first, as in means_of.
    template <bool masked = false>
    QOR_AVX inline void block(std::size_t i) {
        __m256d v[4], r[4];
        transpose(_mm256_loadu_pd(xs[0] + i), _mm256_loadu_pd(xs[1] + i), _mm256_loadu_pd(xs[2] + i),
                  _mm256_loadu_pd(xs[3] + i), v);
        if (one_rep) {
            for (std::size_t j = 0; j < 4; ++j) r[j] = _mm256_broadcast_sd(rs[0] + i + j);
        } else {
            transpose(_mm256_loadu_pd(rs[0] + i), _mm256_loadu_pd(rs[1] + i), _mm256_loadu_pd(rs[2] + i),
                      _mm256_loadu_pd(rs[3] + i), r);
        }
        for (std::size_t j = 0; j < 4; ++j) sum = add_gap<masked>(sum, v[j], r[j]);
    }

    // Offsets from i on: the rest of the common ones, then each window's own.
    QOR_AVX void finish(std::size_t i, std::size_t w, std::size_t windows, double* dist) {
        for (; i + 4 <= both; i += 4) block(i);
        if (any_nan<1>(&sum)) {  // a NaN sample somewhere: again, leaving them out
            sum = _mm256_setzero_pd();
            for (i = 0; i + 4 <= both; i += 4) block<true>(i);
        }
        for (; i < both; ++i) {
            const __m256d v = _mm256_set_pd(xs[3][i], xs[2][i], xs[1][i], xs[0][i]);
            sum = add_gap(sum, v, _mm256_set_pd(rs[3][i], rs[2][i], rs[1][i], rs[0][i]));
        }
        double lanes[4];
        _mm256_storeu_pd(lanes, sum);
        for (std::size_t j = 0; j < 4 && w + j < windows; ++j) {
            double s = lanes[j];
            for (std::size_t t = both; t < n[j]; ++t) s += squared_gap(xs[j][t], rs[j][t]);
            dist[w + j] = std::sqrt(s);
        }
    }
};

}  // namespace

namespace {

// add_windows_wide on V x 4 offsets from i: the plain sums first, as in
// means_of. A count is a whole number, so adding k at once gives the bits
// of adding 1 k times.
template <std::size_t V>
QOR_AVX inline void add_windows_at(double* sum, double* count, const double* const* x, std::size_t k, std::size_t i) {
    __m256d s[V], c[V];
    for (std::size_t v = 0; v < V; ++v) s[v] = _mm256_loadu_pd(sum + i + 4 * v);
    add_plain<V>(s, x, k, i);
    const bool nan = any_nan<V>(s);
    for (std::size_t v = 0; v < V; ++v) {
        c[v] = _mm256_loadu_pd(count + i + 4 * v);
        if (nan) s[v] = _mm256_loadu_pd(sum + i + 4 * v);
    }
    if (nan) {
        add_masked<V>(s, c, x, k, i);
    } else {
        const __m256d windows = _mm256_set1_pd(static_cast<double>(k));
        for (std::size_t v = 0; v < V; ++v) c[v] = _mm256_add_pd(c[v], windows);
    }
    for (std::size_t v = 0; v < V; ++v) {
        _mm256_storeu_pd(sum + i + 4 * v, s[v]);
        _mm256_storeu_pd(count + i + 4 * v, c[v]);
    }
}

}  // namespace

// Sixteen offsets at a time, then four, then one: for each, every window
// in turn.
QOR_AVX void add_windows_wide(double* sum, double* count, const double* const* x, std::size_t k, std::size_t n) {
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) add_windows_at<8>(sum, count, x, k, i);
    for (; i + 16 <= n; i += 16) add_windows_at<4>(sum, count, x, k, i);
    for (; i + 4 <= n; i += 4) add_windows_at<1>(sum, count, x, k, i);
    for (; i < n; ++i) {
        for (std::size_t w = 0; w < k; ++w) {
            if (x[w][i] == x[w][i]) {
                sum[i] += x[w][i];
                count[i] += 1.0;
            }
        }
    }
}

// Two groups of four windows side by side, so that two sums are in flight:
// each adds one gap per offset and would otherwise wait on the one before.
QOR_AVX void distances_wide(const double* const* x, const double* const* rep, const std::size_t* count,
                            std::size_t windows, double* dist) {
    Quad a, b;
    std::size_t w = 0;
    for (; w + 4 < windows; w += 8) {
        a.load(x, rep, count, w, windows);
        b.load(x, rep, count, w + 4, windows);
        const std::size_t both = std::min(a.both, b.both);
        std::size_t i = 0;
        for (; i + 4 <= both; i += 4) {
            a.block(i);
            b.block(i);
        }
        a.finish(i, w, windows, dist);
        b.finish(i, w + 4, windows, dist);
    }
    if (w < windows) {
        a.load(x, rep, count, w, windows);
        a.finish(0, w, windows, dist);
    }
}

// Thirty-two offsets at a time, held in registers through all the passes.
QOR_AVX void add_times_wide(double* acc, const double* v, std::size_t n, std::size_t times) {
    constexpr std::size_t kVectors = 8;
    std::size_t i = 0;
    for (; i + 4 * kVectors <= n; i += 4 * kVectors) {
        __m256d a[kVectors], b[kVectors];
        for (std::size_t j = 0; j < kVectors; ++j) {
            a[j] = _mm256_loadu_pd(acc + i + 4 * j);
            b[j] = _mm256_loadu_pd(v + i + 4 * j);
        }
        for (std::size_t t = 0; t < times; ++t)
            for (std::size_t j = 0; j < kVectors; ++j) a[j] = _mm256_add_pd(b[j], a[j]);
        for (std::size_t j = 0; j < kVectors; ++j) _mm256_storeu_pd(acc + i + 4 * j, a[j]);
    }
    for (; i + 4 <= n; i += 4) {
        __m256d a = _mm256_loadu_pd(acc + i);
        const __m256d b = _mm256_loadu_pd(v + i);
        for (std::size_t t = 0; t < times; ++t) a = _mm256_add_pd(b, a);
        _mm256_storeu_pd(acc + i, a);
    }
    for (; i < n; ++i)
        for (std::size_t t = 0; t < times; ++t) acc[i] = v[i] + acc[i];
}

#else

void average_windows_wide(const double* const*, const std::size_t*, std::size_t, std::size_t, double*) {}

void add_real_wide(double*, double*, const double*, std::size_t) {}

void add_windows_wide(double*, double*, const double* const*, std::size_t, std::size_t) {}

void add_times_wide(double*, const double*, std::size_t, std::size_t) {}

void distances_wide(const double* const*, const double* const*, const std::size_t*, std::size_t, double*) {}

#endif

}  // namespace qor::detail
