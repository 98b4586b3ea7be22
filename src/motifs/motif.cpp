#include "motifs/motif.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/simd.hpp"

namespace qor {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kNoMatch = 1000000.0;

// Sample range [first, last) of series of n samples that the window at
// symbol position p covers; the rest of the window is NaN padding.
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

// Rows of at most this many windows are averaged in registers.
constexpr std::size_t kBlockWindows = 32;

// row[i] = the mean of the real samples x[w][i] over the windows w < k
// (window w has n[w] samples, NaN padding after), or NaN where there is
// none: the same sums, in window order from +0.0, and the same division
// as add_real followed by divide_or_nan, four offsets at a time.
void average_windows(const double* const* x, const std::size_t* n, std::size_t k, std::size_t len, double* row) {
    const std::size_t full = std::min(len, *std::min_element(n, n + k));
    std::size_t i = 0;
#if QOR_SSE2
    const __m128d one = _mm_set1_pd(1.0), zero = _mm_setzero_pd(), nan = _mm_set1_pd(kNaN);
    for (; i + 4 <= full; i += 4) {
        __m128d s0 = zero, s1 = zero, c0 = zero, c1 = zero;
        for (std::size_t w = 0; w < k; ++w) {
            const __m128d v0 = _mm_loadu_pd(x[w] + i), v1 = _mm_loadu_pd(x[w] + i + 2);
            const __m128d r0 = _mm_cmpord_pd(v0, v0), r1 = _mm_cmpord_pd(v1, v1);
            s0 = _mm_add_pd(s0, _mm_and_pd(r0, v0));
            s1 = _mm_add_pd(s1, _mm_and_pd(r1, v1));
            c0 = _mm_add_pd(c0, _mm_and_pd(r0, one));
            c1 = _mm_add_pd(c1, _mm_and_pd(r1, one));
        }
        const __m128d some0 = _mm_cmpgt_pd(c0, zero), some1 = _mm_cmpgt_pd(c1, zero);
        _mm_storeu_pd(row + i, _mm_or_pd(_mm_and_pd(some0, _mm_div_pd(s0, c0)), _mm_andnot_pd(some0, nan)));
        _mm_storeu_pd(row + i + 2, _mm_or_pd(_mm_and_pd(some1, _mm_div_pd(s1, c1)), _mm_andnot_pd(some1, nan)));
    }
#endif
    for (; i < len; ++i) {
        double sum = 0.0, count = 0.0;
        for (std::size_t w = 0; w < k; ++w) {
            if (i < n[w] && x[w][i] == x[w][i]) {
                sum += x[w][i];
                count += 1.0;
            }
        }
        row[i] = count > 0.0 ? sum / count : kNaN;
    }
}

inline double squared_gap(double x, double rep) {
    const double d = x - rep;
    return x == x ? d * d : 0.0;
}

}  // namespace

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

Motif::Motif(Motif&& o) noexcept
    : pattern(std::move(o.pattern)),
      seglen(o.seglen),
      length(o.length),
      indexes(std::move(o.indexes)),
      average_occurrences(std::move(o.average_occurrences)),
      representative(std::move(o.representative)),
      best_matches(std::move(o.best_matches)),
      naed(o.naed) {
    o.pattern.clear();
    o.indexes.clear();
    o.average_occurrences = SharedValues();
    o.representative.clear();
    o.best_matches.clear();
}

Motif& Motif::operator=(Motif&& o) noexcept {
    if (this != &o) {
        pattern = std::move(o.pattern);
        seglen = o.seglen;
        length = o.length;
        indexes = std::move(o.indexes);
        average_occurrences = std::move(o.average_occurrences);
        representative = std::move(o.representative);
        best_matches = std::move(o.best_matches);
        naed = o.naed;
        o.pattern.clear();
        o.indexes.clear();
        o.average_occurrences = SharedValues();
        o.representative.clear();
        o.best_matches.clear();
    }
    return *this;
}

std::vector<double> Motif::extract_occurrence(const Series& series, int32_t p) const {
    std::vector<double> window;
    window.reserve(static_cast<std::size_t>(std::max(length, 0)));
    const Span span = window_span(series.size(), p, seglen, length);
    window.insert(window.end(), series.begin() + static_cast<std::ptrdiff_t>(span.first),
                  series.begin() + static_cast<std::ptrdiff_t>(span.first + span.count));
    window.resize(static_cast<std::size_t>(std::max(length, 0)), kNaN);
    return window;
}

void Motif::average_row(std::size_t r, const Series& s, double* row, double* count) const {
    const std::size_t len = static_cast<std::size_t>(std::max(length, 0));
    const int32_t* first = indexes.begin_of(r);
    const std::size_t windows = static_cast<std::size_t>(indexes.end_of(r) - first);
    if (windows == 1) {
        // One window: each mean is (+0.0 + x) / 1, that is x + 0.0, or NaN.
        const Span span = window_span(s.size(), *first, seglen, length);
        copy_real(row, s.data() + span.first, span.count);
        std::fill(row + span.count, row + len, kNaN);
        return;
    }
    if (windows >= 2 && windows <= kBlockWindows) {
        const double* x[kBlockWindows];
        std::size_t n[kBlockWindows];
        for (std::size_t w = 0; w < windows; ++w) {
            const Span span = window_span(s.size(), first[w], seglen, length);
            x[w] = s.data() + span.first;
            n[w] = span.count;
        }
        average_windows(x, n, windows, len, row);
        return;
    }
    std::fill(row, row + len, 0.0);
    std::fill(count, count + len, 0.0);
    // Windows in recorded order: each offset's sum gets its terms in window
    // order.
    for (std::size_t w = 0; w < windows; ++w) {
        const Span span = window_span(s.size(), first[w], seglen, length);
        add_real(row, count, s.data() + span.first, span.count);
    }
    divide_or_nan(row, count, len);
}

void Motif::queue_windows(std::size_t r, const Series& s, WindowBatch& batch) const {
    for (const int32_t* p = indexes.begin_of(r); p != indexes.end_of(r); ++p) {
        const Span span = window_span(s.size(), *p, seglen, length);
        batch.add(s.data() + span.first, span.count, representative.data());
    }
}

std::pair<double, int32_t> Motif::best_of(std::size_t r, const double* dist) const {
    int32_t best_position = 0;
    double best_distance = kNoMatch;
    const int32_t* first = indexes.begin_of(r);
    for (std::size_t w = 0; first + w != indexes.end_of(r); ++w) {
        if (dist[w] < best_distance) {
            best_distance = dist[w];
            best_position = first[w];
        }
    }
    return {best_distance, best_position};
}

void WindowBatch::clear() noexcept {
    x.clear();
    rep.clear();
    count.clear();
}

void WindowBatch::add(const double* samples, std::size_t n, const double* representative) {
    x.push_back(samples);
    count.push_back(n);
    rep.push_back(representative);
}

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

// Each distance is the square root of its window's squares added in offset
// order from +0.0 (a NaN sample adds +0.0, the same as leaving it out).
// Windows are summed two to a vector and two vectors at a time, so that
// four independent sums are in flight.
void WindowBatch::compute() {
    const std::size_t n = x.size();
    dist.resize(n);
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

void Motif::compute_average_occurrences(const std::vector<Series>& ts) {
    const std::size_t len = static_cast<std::size_t>(std::max(length, 0));
    Values rows(indexes.size() * len);
    std::vector<double> counts(len);
    for (std::size_t r = 0; r < indexes.size(); ++r)
        average_row(r, ts[static_cast<std::size_t>(indexes.series[r])], rows.data() + r * len, counts.data());
    average_occurrences = SharedValues(std::move(rows));
}

void Motif::compute_representative() {
    const std::size_t rows = indexes.size();
    if (rows == 0 || average_occurrences.empty()) return;
    const std::size_t len = representative.size();
    std::vector<double> sum(len, 0.0), count(len, 0.0);
    for (std::size_t r = 0; r < rows; ++r) add_real(sum.data(), count.data(), average_occurrences.data() + r * len, len);
    finish_representative(sum.data(), count.data());
}

void Motif::accumulate_average(const double* row, double* sum, double* count) const {
    add_real(sum, count, row, representative.size());
}

void Motif::finish_representative(double* sum, const double* count) {
    const std::size_t rows = indexes.size();
    if (rows == 0) return;
    const std::size_t len = representative.size();
    // m_i / N, added N times: one equal part per series, in turn.
    const double n = static_cast<double>(rows);
    divide_or_nan(sum, count, len);
    for (std::size_t i = 0; i < len; ++i) sum[i] = sum[i] / n;
    double* __restrict acc = representative.data();
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t i = 0; i < len; ++i) acc[i] = sum[i] + acc[i];
}

void Motif::compute_best_matches(const std::vector<Series>& ts) {
    best_matches.assign(indexes.size(), 0);
    WindowBatch batch;
    for (std::size_t r = 0; r < indexes.size(); ++r) {
        batch.clear();
        queue_windows(r, ts[static_cast<std::size_t>(indexes.series[r])], batch);
        batch.compute();
        const auto [distance, position] = best_of(r, batch.dist.data());
        naed = naed + distance;
        best_matches[r] = position * seglen;
    }
    finish_naed();
}

void Motif::finish_naed() {
    naed = naed / (static_cast<double>(indexes.size()) * static_cast<double>(length));
}

}  // namespace qor
