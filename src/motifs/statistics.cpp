#include "motifs/statistics.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "motifs/kernels.hpp"
#include "motifs/repeated.hpp"
#include "motifs/wide.hpp"
#include "motifs/window_batch.hpp"

namespace qor {

namespace {

using detail::kNaN;
using detail::Span;
using detail::window_length;
using detail::window_span;

// add_real on the widest vectors there are.
inline void add_real_any(double* sum, double* count, const double* x, std::size_t n) {
    if (detail::wide_vectors())
        detail::add_real_wide(sum, count, x, n);
    else
        detail::add_real(sum, count, x, n);
}

// Rows of at most this many windows are averaged in registers.
constexpr std::size_t kBlockWindows = 32;

// row[i] = the mean of the real samples x[w][i] over the windows w < k
// (window w has n[w] samples, NaN padding after), or NaN where there is
// none: the same sums, in window order from +0.0, and the same division
// as add_real followed by divide_or_nan, four offsets at a time.
void average_windows(const double* const* x, const std::size_t* n, std::size_t k, std::size_t len, double* row) {
    if (detail::wide_vectors()) {
        detail::average_windows_wide(x, n, k, len, row);
        return;
    }
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
    for (; i < len; ++i) row[i] = detail::mean_at(x, n, k, i);
}

// The best of the windows at positions[0 .. windows), given their
// distances in the same order.
detail::BestMatch best_of(const int32_t* positions, std::size_t windows, const double* dist) {
    detail::BestMatch best{detail::kNoMatch, 0};
    for (std::size_t w = 0; w < windows; ++w) {
        if (dist[w] < best.distance) best = {dist[w], positions[w]};
    }
    return best;
}

std::size_t windows_of(const Motif& m, std::size_t r) {
    return static_cast<std::size_t>(m.indexes.end_of(r) - m.indexes.begin_of(r));
}

// Samples of the series read together: each motif's rows in them are
// handled in turn while the samples stay in the cache.
constexpr std::size_t kChunkSamples = std::size_t{1} << 16;

// The rows [first, last) of motif mi that fall in one chunk of series.
struct Visit {
    uint32_t motif;
    std::size_t first, last;
};

// The rows of motifs[0 .. n), chunk of series by chunk, in each chunk motif
// by motif, each motif's rows in their order (that of their series); and
// the chunks that have any: chunk c holds series [s0, s1) and visits
// [chunks[c - 1].end, chunks[c].end) (from 0 for c = 0).
struct Visits {
    struct Chunk {
        std::size_t s0, s1, end;
    };
    std::vector<Visit> visits;
    std::vector<Chunk> chunks;
};

Visits visits(const Motif* motifs, std::size_t n, const Collection& ts) {
    Visits out;
    std::vector<std::size_t> next(n, 0);
    for (std::size_t s0 = 0, s1 = 0; s0 < ts.size(); s0 = s1) {
        std::size_t samples = 0;
        for (s1 = s0; s1 < ts.size() && (s1 == s0 || samples + ts.length(s1) <= kChunkSamples); ++s1)
            samples += ts.length(s1);
        const std::size_t before = out.visits.size();
        for (std::size_t mi = 0; mi < n; ++mi) {
            const Occurrences& occ = motifs[mi].indexes;
            std::size_t r = next[mi];
            while (r < occ.size() && static_cast<std::size_t>(occ.series[r]) < s1) ++r;
            if (r != next[mi]) out.visits.push_back({static_cast<uint32_t>(mi), next[mi], r});
            next[mi] = r;
        }
        if (out.visits.size() != before) out.chunks.push_back({s0, s1, out.visits.size()});
    }
    return out;
}

// The series of the visits of `all`, chunk by chunk: ts's rows, or, with
// `prepare`, the samples it writes for each chunk (once each, in order, as
// the visits come to them), valid until the next chunk's.
class ChunkPreparer {
public:
    ChunkPreparer(const Visits& all, const Collection& ts, const PrepareSeries* prepare)
        : all_(all), ts_(ts), prepare_(prepare) {}
    // Makes the chunk that holds visit v readable; returns the end of the
    // visits that can be read with it: its own, or all of them when ts's
    // rows are read.
    std::size_t at(std::size_t v) {
        if (!prepare_) return all_.visits.size();
        for (; next_ < all_.chunks.size() && begin(next_) <= v; ++next_) {
            const Visits::Chunk& c = all_.chunks[next_];
            samples_ = (*prepare_)(c.s0, c.s1);
            first_ = ts_.start(c.s0);
        }
        return all_.chunks[next_ - 1].end;
    }
    // Series s of the chunk made readable last.
    const double* row(std::size_t s) const { return prepare_ ? samples_ + (ts_.start(s) - first_) : ts_.row(s); }

private:
    std::size_t begin(std::size_t c) const { return c == 0 ? 0 : all_.chunks[c - 1].end; }
    const Visits& all_;
    const Collection& ts_;
    const PrepareSeries* prepare_;
    std::size_t next_ = 0;
    const double* samples_ = nullptr;  // series first_'s samples and those after it
    std::size_t first_ = 0;
};

// Whole windows added to a motif's sums together, at most.
constexpr std::size_t kWholeRows = 64;

// The average rows of motifs[0 .. n). With `tables`, row r of motif mi is
// written at tables[mi] + r x length; with `sums`, it is added to motif
// mi's sums (add_to_sums) in the order of the rows: each while it is
// fresh, but for rows that are one whole window, which are added a few
// at a time (before any later row of the motif).
// `workers`, where given, is checked for a stop request now and then;
// `prepare`, where given, is asked for each chunk of series first.
void average_pass(const Motif* motifs, std::size_t n, const Collection& ts, double* const* tables,
                  const SumTargets* sums, Workers* workers = nullptr, const PrepareSeries* prepare = nullptr) {
    std::size_t longest = 0;
    for (std::size_t mi = 0; mi < n; ++mi) longest = std::max(longest, window_length(motifs[mi].length));
    std::vector<double> scratch(2 * longest);
    // Rows of one window each, all of it in the series, waiting to be added
    // to the sums together (in order, before any other row of the motif).
    std::vector<const double*> whole;
    whole.reserve(kWholeRows);
    const auto add_whole = [&](std::size_t mi, std::size_t len) {
        if (whole.empty()) return;
        if (detail::wide_vectors())
            detail::add_windows_wide(sums->sum[mi], sums->count[mi], whole.data(), whole.size(), len);
        else
            for (const double* x : whole) detail::add_real(sums->sum[mi], sums->count[mi], x, len);
        whole.clear();
    };
    const Visits all = visits(motifs, n, ts);
    ChunkPreparer chunks(all, ts, prepare);
    for (std::size_t vi = 0; vi < all.visits.size(); ++vi) {
        chunks.at(vi);
        const Visit& v = all.visits[vi];
        const Motif& m = motifs[v.motif];
        const std::size_t len = window_length(m.length);
        for (std::size_t r = v.first; r < v.last; ++r) {
            if (workers && r % 16 == 0) workers->check();
            const auto s = static_cast<std::size_t>(m.indexes.series[r]);
            if (!tables && sums && windows_of(m, r) == 1) {
                // The row is the window (x + 0.0, NaN past its end): adding
                // the window itself to sums that hold no -0.0 gives the
                // same sums.
                const Span span = window_span(ts.length(s), *m.indexes.begin_of(r), m.seglen, m.length);
                if (span.count == len) {
                    whole.push_back(chunks.row(s) + span.first);
                    if (whole.size() == kWholeRows) add_whole(v.motif, len);
                    continue;
                }
                add_whole(v.motif, len);
                add_real_any(sums->sum[v.motif], sums->count[v.motif], chunks.row(s) + span.first, span.count);
                continue;
            }
            if (sums) add_whole(v.motif, len);
            double* row = scratch.data() + longest;
            if (tables) row = tables[v.motif] + r * len;
            detail::average_row(chunks.row(s), ts.length(s), m.indexes.begin_of(r), windows_of(m, r), m.seglen,
                                m.length, row, scratch.data());
            if (sums) detail::add_to_sums(sums->sum[v.motif], sums->count[v.motif], row, len);
        }
        if (sums) add_whole(v.motif, len);
    }
}

// Windows worth measuring in one batch.
constexpr std::size_t kBatchWindows = 64;

// The best match of every row of motifs[0 .. n), handed to found(motif,
// row, best), each motif's rows in their order. The windows of a motif's
// rows in one chunk are measured together, with those of the next visits
// in the chunk while there are few.
// `workers`, where given, is checked for a stop request now and then;
// `prepare`, where given, is asked for each chunk of series first.
template <typename Found>
void best_pass(const Motif* motifs, std::size_t n, const Collection& ts, Found&& found, Workers* workers = nullptr,
               const PrepareSeries* prepare = nullptr) {
    detail::WindowBatch batch;
    const Visits visited = visits(motifs, n, ts);
    const std::vector<Visit>& all = visited.visits;
    ChunkPreparer chunks(visited, ts, prepare);
    for (std::size_t v0 = 0, v1 = 0; v0 < all.size(); v0 = v1) {
        if (workers) workers->check();
        batch.clear();
        // A batch stays in one chunk of series, made readable first.
        const std::size_t chunk_end = chunks.at(v0);
        for (v1 = v0; v1 < chunk_end && (v1 == v0 || batch.x.size() < kBatchWindows); ++v1) {
            const Motif& m = motifs[all[v1].motif];
            for (std::size_t r = all[v1].first; r < all[v1].last; ++r) {
                const auto s = static_cast<std::size_t>(m.indexes.series[r]);
                for (const int32_t* p = m.indexes.begin_of(r); p != m.indexes.end_of(r); ++p) {
                    const Span span = window_span(ts.length(s), *p, m.seglen, m.length);
                    batch.add(chunks.row(s) + span.first, span.count, m.representative.data());
                }
            }
        }
        batch.compute();
        const double* dist = batch.dist.data();
        for (std::size_t v = v0; v < v1; ++v) {
            const Motif& m = motifs[all[v].motif];
            for (std::size_t r = all[v].first; r < all[v].last; ++r) {
                found(all[v].motif, r, best_of(m.indexes.begin_of(r), windows_of(m, r), dist));
                dist += windows_of(m, r);
            }
        }
    }
}

// The best matches and naed of motifs[0 .. n).
void match_pass(Motif* motifs, std::size_t n, const Collection& ts, Workers* workers = nullptr) {
    for (std::size_t mi = 0; mi < n; ++mi) motifs[mi].best_matches.assign(motifs[mi].indexes.size(), 0);
    best_pass(
        motifs, n, ts,
        [motifs](std::size_t mi, std::size_t r, detail::BestMatch best) {
            add_best_match(motifs[mi], r, best.distance, best.position * motifs[mi].seglen);
        },
        workers);
    for (std::size_t mi = 0; mi < n; ++mi) finish_naed(motifs[mi]);
}

// score_motifs on motifs[0 .. n).
void score_range(Motif* motifs, std::size_t n, const Collection& ts, Workers& workers) {
    std::vector<std::size_t> first(n + 1, 0);
    for (std::size_t mi = 0; mi < n; ++mi) first[mi + 1] = first[mi] + motifs[mi].representative.size();
    std::vector<double> sum(first[n], 0.0), count(first[n], 0.0);
    std::vector<double*> sum_at(n), count_at(n);
    for (std::size_t mi = 0; mi < n; ++mi) {
        sum_at[mi] = sum.data() + first[mi];
        count_at[mi] = count.data() + first[mi];
    }
    const SumTargets targets{sum_at.data(), count_at.data()};
    average_pass(motifs, n, ts, nullptr, &targets, &workers);
    for (std::size_t mi = 0; mi < n; ++mi)
        detail::finish_sums(sum_at[mi], count_at[mi], motifs[mi].representative.size(), motifs[mi].indexes.size(),
                            motifs[mi].representative.data());
    match_pass(motifs, n, ts, &workers);
}

}  // namespace

void add_best_match(Motif& m, std::size_t r, double distance, int32_t start) {
    // Added to what naed holds, not to a fresh sum: the record keeps the
    // running total, which starts at the 0.0 of a new motif.
    m.naed = m.naed + distance;
    m.best_matches[r] = start;
}

void finish_naed(Motif& m) { m.naed = detail::finish_naed(m.naed, m.indexes.size(), m.length); }

void row_best_matches(const std::vector<Motif>& motifs, const Collection& ts, double* distance, int32_t* start,
                      const PrepareSeries* prepare) {
    std::vector<std::size_t> first(motifs.size() + 1, 0);
    for (std::size_t mi = 0; mi < motifs.size(); ++mi) first[mi + 1] = first[mi] + motifs[mi].indexes.size();
    best_pass(
        motifs.data(), motifs.size(), ts,
        [&](std::size_t mi, std::size_t r, detail::BestMatch best) {
            distance[first[mi] + r] = best.distance;
            start[first[mi] + r] = best.position * motifs[mi].seglen;
        },
        nullptr, prepare);
}

void compute_average_occurrences(const std::vector<Motif>& motifs, const Collection& ts, double* out,
                                 const PrepareSeries* prepare) {
    std::vector<double*> tables(motifs.size());
    for (std::size_t mi = 0; mi < motifs.size(); ++mi) {
        tables[mi] = out;
        out += motifs[mi].indexes.size() * window_length(motifs[mi].length);
    }
    average_pass(motifs.data(), motifs.size(), ts, tables.data(), nullptr, nullptr, prepare);
}

void add_average_rows(const std::vector<Motif>& motifs, const Collection& ts, const SumTargets& sums,
                      const PrepareSeries* prepare) {
    average_pass(motifs.data(), motifs.size(), ts, nullptr, &sums, nullptr, prepare);
}

void Motif::compute_average_occurrences(const Collection& ts) {
    Values rows(indexes.size() * window_length(length));
    double* const table = rows.data();
    average_pass(this, 1, ts, &table, nullptr);
    average_occurrences = AverageRows(SharedValues(std::move(rows)));
}

void Motif::compute_representative() {
    const std::size_t rows = indexes.size();
    if (rows == 0 || !has_average_rows()) return;
    const std::size_t len = representative.size();
    detail::RepresentativeSums sums(len);
    std::vector<double> row(len), scratch(len);
    for (std::size_t r = 0; r < rows; ++r) {
        average_row(r, row.data(), scratch.data());
        sums.add(row.data());
    }
    sums.finish(rows, representative.data());
}

void Motif::compute_best_matches(const Collection& ts) { match_pass(this, 1, ts, nullptr); }

namespace detail {

void average_row(const double* samples, std::size_t n, const int32_t* positions, std::size_t windows, int32_t seglen,
                 int32_t length, double* row, double* scratch) {
    const std::size_t len = window_length(length);
    if (windows == 1) {
        // One window: each mean is (+0.0 + x) / 1, that is x + 0.0, or NaN.
        const Span span = window_span(n, *positions, seglen, length);
        copy_real(row, samples + span.first, span.count);
        std::fill(row + span.count, row + len, kNaN);
        return;
    }
    if (windows >= 2 && windows <= kBlockWindows) {
        const double* x[kBlockWindows];
        std::size_t count[kBlockWindows];
        for (std::size_t w = 0; w < windows; ++w) {
            const Span span = window_span(n, positions[w], seglen, length);
            x[w] = samples + span.first;
            count[w] = span.count;
        }
        average_windows(x, count, windows, len, row);
        return;
    }
    std::fill(row, row + len, 0.0);
    std::fill(scratch, scratch + len, 0.0);
    // Windows in recorded order: each offset's sum gets its terms in window
    // order.
    for (std::size_t w = 0; w < windows; ++w) {
        const Span span = window_span(n, positions[w], seglen, length);
        add_real_any(row, scratch, samples + span.first, span.count);
    }
    divide_or_nan(row, scratch, len);
}

void add_to_sums(double* sum, double* count, const double* row, std::size_t length) {
    add_real_any(sum, count, row, length);
}

// m_i, the mean at offset i over the rows that are real there, goes into the
// representative as N equal parts m_i / N, one per series, added in turn to
// what it holds: not m_i in one step, nor the plain sum of the rows over N.
// The parts need not add up to m_i exactly, and the results keep that
// rounding. A row that is NaN at i neither makes the representative NaN
// there nor pulls it towards zero.
void finish_sums(double* sum, const double* count, std::size_t length, std::size_t rows, double* representative) {
    if (rows == 0) return;
    const double n = static_cast<double>(rows);
    divide_or_nan(sum, count, length);
    for (std::size_t i = 0; i < length; ++i) sum[i] = sum[i] / n;
    add_times(representative, sum, length, rows);
}

BestMatch best_match(const double* samples, std::size_t n, const int32_t* positions, std::size_t windows,
                     int32_t seglen, int32_t length, const double* representative) {
    WindowBatch batch;
    for (std::size_t w = 0; w < windows; ++w) {
        const Span span = window_span(n, positions[w], seglen, length);
        batch.add(samples + span.first, span.count, representative);
    }
    batch.compute();
    return best_of(positions, windows, batch.dist.data());
}

}  // namespace detail

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

void score_motifs(std::vector<Motif>& motifs, const Collection& ts, Workers& workers) {
    // One part per thread, of about equal numbers of samples read and
    // written: each part reads every series it needs once per statistic.
    std::vector<std::size_t> before(motifs.size() + 1, 0);
    for (std::size_t mi = 0; mi < motifs.size(); ++mi) {
        const Motif& m = motifs[mi];
        before[mi + 1] = before[mi] + (m.indexes.positions.size() + m.indexes.size()) * window_length(m.length);
    }
    const std::size_t parts = workers.parts(before.back(), kSampleGrain, 1);
    const std::vector<std::size_t> bounds = split_by_weight(before.data(), motifs.size(), parts);
    workers.run(parts, [&](std::size_t part, unsigned) {
        const std::size_t m0 = bounds[part], m1 = bounds[part + 1];
        score_range(motifs.data() + m0, m1 - m0, ts, workers);
    });
}

}  // namespace qor
