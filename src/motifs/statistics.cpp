#include "motifs/statistics.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "motifs/kernels.hpp"
#include "motifs/window_batch.hpp"

namespace qor {

namespace {

using detail::kNaN;
using detail::Span;
using detail::window_length;
using detail::window_span;

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

// Row r of m's average occurrences: the `length` means of the windows of
// series s at the row's positions, written to `row`, with `count` (length
// values) as scratch.
void average_row(const Motif& m, std::size_t r, const Series& s, double* row, double* count) {
    const std::size_t len = window_length(m.length);
    const int32_t* first = m.indexes.begin_of(r);
    const std::size_t windows = static_cast<std::size_t>(m.indexes.end_of(r) - first);
    if (windows == 1) {
        // One window: each mean is (+0.0 + x) / 1, that is x + 0.0, or NaN.
        const Span span = window_span(s.size(), *first, m.seglen, m.length);
        detail::copy_real(row, s.data() + span.first, span.count);
        std::fill(row + span.count, row + len, kNaN);
        return;
    }
    if (windows >= 2 && windows <= kBlockWindows) {
        const double* x[kBlockWindows];
        std::size_t n[kBlockWindows];
        for (std::size_t w = 0; w < windows; ++w) {
            const Span span = window_span(s.size(), first[w], m.seglen, m.length);
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
        const Span span = window_span(s.size(), first[w], m.seglen, m.length);
        detail::add_real(row, count, s.data() + span.first, span.count);
    }
    detail::divide_or_nan(row, count, len);
}

// The NaN-skipping sums of a motif's average rows, added row by row in
// series order, from which its representative is made.
struct RepresentativeSums {
    std::vector<double> sum, count;

    explicit RepresentativeSums(std::size_t len) : sum(len, 0.0), count(len, 0.0) {}

    void add(const double* row) { detail::add_real(sum.data(), count.data(), row, sum.size()); }

    // m_i, the mean at offset i over the rows that are real there, goes
    // into the representative as N equal parts m_i / N, one per series,
    // added in turn to what it holds: not m_i in one step, nor the plain
    // sum of the rows over N. The parts need not add up to m_i exactly, and
    // the results keep that rounding. A row that is NaN at i neither makes
    // the representative NaN there nor pulls it towards zero.
    void finish(Motif& m) {
        const std::size_t rows = m.indexes.size();
        if (rows == 0) return;
        const std::size_t len = m.representative.size();
        const double n = static_cast<double>(rows);
        detail::divide_or_nan(sum.data(), count.data(), len);
        for (std::size_t i = 0; i < len; ++i) sum[i] = sum[i] / n;
        double* __restrict acc = m.representative.data();
        for (std::size_t r = 0; r < rows; ++r)
            for (std::size_t i = 0; i < len; ++i) acc[i] = sum[i] + acc[i];
    }
};

// Best distance and symbol position of row r of m, given the distances of
// its windows in recorded order (kNoMatch and 0 when none is closer; the
// first of equal distances wins).
std::pair<double, int32_t> best_of(const Motif& m, std::size_t r, const double* dist) {
    int32_t best_position = 0;
    double best_distance = detail::kNoMatch;
    const int32_t* first = m.indexes.begin_of(r);
    for (std::size_t w = 0; first + w != m.indexes.end_of(r); ++w) {
        if (dist[w] < best_distance) {
            best_distance = dist[w];
            best_position = first[w];
        }
    }
    return {best_distance, best_position};
}

// Asks for the samples of a short series to be brought into the cache ahead
// of use: each series is read once per statistic, at scattered windows.
// Longer series would not stay in the cache until their turn.
inline void prefetch(const Series& s) {
#if defined(__GNUC__) || defined(__clang__)
    if (s.size() > 4096) return;
    const char* p = reinterpret_cast<const char*>(s.data());
    const char* end = p + s.size() * sizeof(double);
    for (; p < end; p += 64) __builtin_prefetch(p);
#else
    (void)s;
#endif
}

// The series entries (motif, row) of motifs[0 .. n), grouped by series:
// the entries of series s are at[first[s] .. first[s + 1]), motifs
// ascending. Each motif's rows are in ascending series order, so they come
// in row order.
struct SeriesEntries {
    std::vector<std::size_t> first;
    std::vector<std::pair<uint32_t, uint32_t>> at;

    SeriesEntries(const Motif* motifs, std::size_t n, std::size_t series) : first(series + 1, 0) {
        for (std::size_t mi = 0; mi < n; ++mi)
            for (int32_t s : motifs[mi].indexes.series) ++first[static_cast<std::size_t>(s) + 1];
        for (std::size_t s = 1; s < first.size(); ++s) first[s] += first[s - 1];
        at.resize(first.back());
        std::vector<std::size_t> fill(first.begin(), first.end() - 1);
        for (std::size_t mi = 0; mi < n; ++mi) {
            const Occurrences& occ = motifs[mi].indexes;
            for (std::size_t r = 0; r < occ.size(); ++r)
                at[fill[static_cast<std::size_t>(occ.series[r])]++] = {static_cast<uint32_t>(mi),
                                                                       static_cast<uint32_t>(r)};
        }
    }
};

// The average rows of motifs[0 .. n), series by series, appended to rows[mi]
// (empty, capacity reserved) and then kept as the motifs' averages. With
// `sums`, each row is also added to sums[mi] while it is fresh.
// `workers`, where given, is checked for a stop request entry by entry.
void average_pass(Motif* motifs, Values* rows, std::size_t n, const SeriesEntries& entries,
                  const std::vector<Series>& ts, RepresentativeSums* sums, Workers* workers) {
    std::size_t longest = 0;
    for (std::size_t mi = 0; mi < n; ++mi) longest = std::max(longest, window_length(motifs[mi].length));
    std::vector<double> counts(longest);
    for (std::size_t s = 0; s < ts.size(); ++s) {
        if (s + 1 < ts.size()) prefetch(ts[s + 1]);
        for (std::size_t e = entries.first[s]; e < entries.first[s + 1]; ++e) {
            if (workers && e % 16 == 0) workers->check();
            const auto [mi, r] = entries.at[e];
            Values& out = rows[mi];
            const std::size_t len = window_length(motifs[mi].length);
            out.resize(out.size() + len);
            double* row = out.data() + out.size() - len;
            average_row(motifs[mi], r, ts[s], row, counts.data());
            if (sums) sums[mi].add(row);
        }
    }
    for (std::size_t mi = 0; mi < n; ++mi) motifs[mi].average_occurrences = SharedValues(std::move(rows[mi]));
}

// The best match of every entry of motifs[0 .. n), series by series (the
// windows of all the entries of a series are measured in one batch), handed
// to found(motif, row, distance, symbol position) in series order.
// `workers`, where given, is checked for a stop request entry by entry.
template <typename Found>
void best_pass(const Motif* motifs, const SeriesEntries& entries, const std::vector<Series>& ts, Workers* workers,
               Found&& found) {
    detail::WindowBatch batch;
    for (std::size_t s = 0; s < ts.size(); ++s) {
        if (s + 1 < ts.size()) prefetch(ts[s + 1]);
        batch.clear();
        for (std::size_t e = entries.first[s]; e < entries.first[s + 1]; ++e) {
            if (workers && e % 16 == 0) workers->check();
            const Motif& m = motifs[entries.at[e].first];
            const std::size_t r = entries.at[e].second;
            for (const int32_t* p = m.indexes.begin_of(r); p != m.indexes.end_of(r); ++p) {
                const Span span = window_span(ts[s].size(), *p, m.seglen, m.length);
                batch.add(ts[s].data() + span.first, span.count, m.representative.data());
            }
        }
        batch.compute();
        const double* dist = batch.dist.data();
        for (std::size_t e = entries.first[s]; e < entries.first[s + 1]; ++e) {
            const auto [mi, r] = entries.at[e];
            const Motif& m = motifs[mi];
            const auto [distance, position] = best_of(m, r, dist);
            dist += m.indexes.end_of(r) - m.indexes.begin_of(r);
            found(mi, r, distance, position);
        }
    }
}

// The best matches and naed of motifs[0 .. n).
void match_pass(Motif* motifs, std::size_t n, const SeriesEntries& entries, const std::vector<Series>& ts,
                Workers* workers) {
    for (std::size_t mi = 0; mi < n; ++mi) motifs[mi].best_matches.assign(motifs[mi].indexes.size(), 0);
    best_pass(motifs, entries, ts, workers, [motifs](std::size_t mi, std::size_t r, double distance, int32_t position) {
        add_best_match(motifs[mi], r, distance, position * motifs[mi].seglen);
    });
    for (std::size_t mi = 0; mi < n; ++mi) finish_naed(motifs[mi]);
}

// score_motifs on motifs[0 .. n), average rows kept in averages[0 .. n).
void score_range(Motif* motifs, Values* averages, std::size_t n, const std::vector<Series>& ts, Workers& workers) {
    const SeriesEntries entries(motifs, n, ts.size());
    std::vector<RepresentativeSums> sums;
    sums.reserve(n);
    for (std::size_t mi = 0; mi < n; ++mi) sums.emplace_back(motifs[mi].representative.size());
    average_pass(motifs, averages, n, entries, ts, sums.data(), &workers);
    for (std::size_t mi = 0; mi < n; ++mi) sums[mi].finish(motifs[mi]);
    match_pass(motifs, n, entries, ts, &workers);
}

}  // namespace

void add_best_match(Motif& m, std::size_t r, double distance, int32_t start) {
    // Added to what naed holds, not to a fresh sum: the record keeps the
    // running total, which starts at the 0.0 of a new motif.
    m.naed = m.naed + distance;
    m.best_matches[r] = start;
}

void finish_naed(Motif& m) {
    // The mean best distance per series and sample.
    m.naed = m.naed / (static_cast<double>(m.indexes.size()) * static_cast<double>(m.length));
}

void row_best_matches(const std::vector<Motif>& motifs, const std::vector<Series>& ts, double* distance,
                      int32_t* start) {
    std::vector<std::size_t> first(motifs.size() + 1, 0);
    for (std::size_t mi = 0; mi < motifs.size(); ++mi) first[mi + 1] = first[mi] + motifs[mi].indexes.size();
    const SeriesEntries entries(motifs.data(), motifs.size(), ts.size());
    best_pass(motifs.data(), entries, ts, nullptr, [&](std::size_t mi, std::size_t r, double d, int32_t position) {
        distance[first[mi] + r] = d;
        start[first[mi] + r] = position * motifs[mi].seglen;
    });
}

void compute_average_occurrences(std::vector<Motif>& motifs, const std::vector<Series>& ts) {
    const SeriesEntries entries(motifs.data(), motifs.size(), ts.size());
    std::vector<Values> rows(motifs.size());
    for (std::size_t mi = 0; mi < motifs.size(); ++mi)
        rows[mi].reserve(motifs[mi].indexes.size() * window_length(motifs[mi].length));
    average_pass(motifs.data(), rows.data(), motifs.size(), entries, ts, nullptr, nullptr);
}

void Motif::compute_average_occurrences(const std::vector<Series>& ts) {
    const SeriesEntries entries(this, 1, ts.size());
    Values rows;
    rows.reserve(indexes.size() * window_length(length));
    average_pass(this, &rows, 1, entries, ts, nullptr, nullptr);
}

void Motif::compute_representative() {
    const std::size_t rows = indexes.size();
    if (rows == 0 || average_occurrences.empty()) return;
    const std::size_t len = representative.size();
    RepresentativeSums sums(len);
    for (std::size_t r = 0; r < rows; ++r) sums.add(average_occurrences.data() + r * len);
    sums.finish(*this);
}

void Motif::compute_best_matches(const std::vector<Series>& ts) {
    const SeriesEntries entries(this, 1, ts.size());
    match_pass(this, 1, entries, ts, nullptr);
}

int32_t motif_length(int32_t seglen, std::size_t symbols) {
    const int64_t length = static_cast<int64_t>(seglen) * static_cast<int64_t>(symbols);
    if (length > std::numeric_limits<int32_t>::max() || length < std::numeric_limits<int32_t>::min())
        throw std::invalid_argument("motif too long: seglen " + std::to_string(seglen) + " x " +
                                    std::to_string(symbols) + " symbols does not fit a 32-bit sample count");
    return static_cast<int32_t>(length);
}

void prepare_motifs(std::vector<Motif>& motifs, int32_t seglen) {
    for (const Motif& m : motifs) motif_length(seglen, m.pattern.size());
    for (Motif& m : motifs) {
        m.seglen = seglen;
        m.length = motif_length(seglen, m.pattern.size());
        m.representative.assign(window_length(m.length), 0.0);
    }
}

void score_motifs(std::vector<Motif>& motifs, const std::vector<Series>& ts, Workers& workers) {
    // One part per thread, of about equal numbers of samples read and
    // written: each part reads every series it needs once per statistic.
    std::vector<std::size_t> before(motifs.size() + 1, 0);
    for (std::size_t mi = 0; mi < motifs.size(); ++mi) {
        const Motif& m = motifs[mi];
        before[mi + 1] = before[mi] + (m.indexes.positions.size() + m.indexes.size()) * window_length(m.length);
    }
    const std::size_t parts = workers.parts(before.back(), kSampleGrain, 1);
    const std::vector<std::size_t> bounds = split_by_weight(before.data(), motifs.size(), parts);
    // The average rows are the result's bulk: they are allocated here, by
    // the calling thread (in its own allocator arena), not by the helpers.
    std::vector<Values> averages(motifs.size());
    for (std::size_t mi = 0; mi < motifs.size(); ++mi)
        averages[mi].reserve(motifs[mi].indexes.size() * window_length(motifs[mi].length));
    workers.run(parts, [&](std::size_t part, unsigned) {
        const std::size_t m0 = bounds[part], m1 = bounds[part + 1];
        score_range(motifs.data() + m0, averages.data() + m0, m1 - m0, ts, workers);
    });
}

}  // namespace qor
