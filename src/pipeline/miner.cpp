#include "pipeline/miner.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "patterns/pattern_miner.hpp"
#include "sax/sax.hpp"

namespace qor {

void rank_motifs(std::vector<Motif>& motifs) {
    std::stable_sort(motifs.begin(), motifs.end(), [](const Motif& a, const Motif& b) {
        return !std::isnan(a.naed) && (std::isnan(b.naed) || a.naed < b.naed);
    });
}

std::vector<Motif> top_motifs(const std::vector<Motif>& motifs, int32_t k) {
    if (k == 0) return motifs;
    const int64_t n = static_cast<int64_t>(motifs.size());
    const int64_t count = n < k ? n : k;
    if (count < 0) throw std::length_error("vector too long");
    return std::vector<Motif>(motifs.begin(), motifs.begin() + count);
}

int32_t motif_length(int32_t seglen, std::size_t symbols) {
    const int64_t length = static_cast<int64_t>(seglen) * static_cast<int64_t>(symbols);
    if (length > std::numeric_limits<int32_t>::max() || length < std::numeric_limits<int32_t>::min())
        throw std::invalid_argument("motif too long: seglen " + std::to_string(seglen) + " x " +
                                    std::to_string(symbols) +
                                    " symbols does not fit a 32-bit sample count");
    return static_cast<int32_t>(length);
}

namespace {

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

// score_motifs on motifs[m0 .. m1), with average rows written to
// all_averages[m0 .. m1) (capacity reserved, empty).
void score_range(std::vector<Motif>& all, std::vector<Values>& all_averages, std::size_t m0, std::size_t m1,
                 const std::vector<Series>& ts) {
    Motif* const motifs = all.data() + m0;
    Values* const averages = all_averages.data() + m0;
    const std::size_t n = m1 - m0;
    // Series entries of these motifs grouped by series: entries of series s
    // are (motif, row) pairs at by_series[first[s] .. first[s + 1]), motifs
    // ascending.
    std::vector<std::size_t> first(ts.size() + 1, 0);
    for (std::size_t mi = 0; mi < n; ++mi)
        for (int32_t s : motifs[mi].indexes.series) ++first[static_cast<std::size_t>(s) + 1];
    for (std::size_t s = 1; s < first.size(); ++s) first[s] += first[s - 1];
    std::vector<std::pair<uint32_t, uint32_t>> by_series(first.back());
    std::vector<std::size_t> fill(first.begin(), first.end() - 1);
    std::size_t longest = 0;
    for (std::size_t mi = 0; mi < n; ++mi) {
        Motif& m = motifs[mi];
        const std::size_t len = static_cast<std::size_t>(std::max(m.length, 0));
        longest = std::max(longest, len);
        m.best_matches.assign(m.indexes.size(), 0);
        for (std::size_t r = 0; r < m.indexes.size(); ++r)
            by_series[fill[static_cast<std::size_t>(m.indexes.series[r])]++] = {static_cast<uint32_t>(mi),
                                                                                 static_cast<uint32_t>(r)};
    }

    std::vector<double> counts(longest);
    // Representative sums, filled while each average row is fresh.
    std::vector<std::vector<double>> rep_sum(n), rep_count(n);
    for (std::size_t mi = 0; mi < n; ++mi) {
        rep_sum[mi].assign(static_cast<std::size_t>(std::max(motifs[mi].length, 0)), 0.0);
        rep_count[mi].assign(rep_sum[mi].size(), 0.0);
    }
    for (std::size_t s = 0; s < ts.size(); ++s) {
        if (s + 1 < ts.size()) prefetch(ts[s + 1]);
        for (std::size_t e = first[s]; e < first[s + 1]; ++e) {
            // Each motif's rows come in ascending series order, that is in
            // row order: append them, touching each new row only once.
            const auto [mi, r] = by_series[e];
            Values& rows = averages[mi];
            const std::size_t len = static_cast<std::size_t>(motifs[mi].length);
            rows.resize(rows.size() + len);
            motifs[mi].average_row(r, ts[s], rows.data() + rows.size() - len, counts.data());
            motifs[mi].accumulate_average(rows.data() + rows.size() - len, rep_sum[mi].data(), rep_count[mi].data());
        }
    }
    for (std::size_t mi = 0; mi < n; ++mi) {
        motifs[mi].average_occurrences = SharedValues(std::move(averages[mi]));
        motifs[mi].finish_representative(rep_sum[mi].data(), rep_count[mi].data());
    }

    WindowBatch batch;
    for (std::size_t s = 0; s < ts.size(); ++s) {
        if (s + 1 < ts.size()) prefetch(ts[s + 1]);
        batch.clear();
        for (std::size_t e = first[s]; e < first[s + 1]; ++e)
            motifs[by_series[e].first].queue_windows(by_series[e].second, ts[s], batch);
        batch.compute();
        const double* dist = batch.dist.data();
        for (std::size_t e = first[s]; e < first[s + 1]; ++e) {
            Motif& m = motifs[by_series[e].first];
            const std::size_t r = by_series[e].second;
            const auto [distance, position] = m.best_of(r, dist);
            dist += m.indexes.end_of(r) - m.indexes.begin_of(r);
            m.naed = m.naed + distance;
            m.best_matches[r] = position * m.seglen;
        }
    }
    for (std::size_t mi = 0; mi < n; ++mi) motifs[mi].finish_naed();
}

}  // namespace

void score_motifs(std::vector<Motif>& motifs, const std::vector<Series>& ts, Workers& workers) {
    // One part per thread, of about equal numbers of samples read and
    // written: each part reads every series it needs once per statistic.
    std::vector<std::size_t> before(motifs.size() + 1, 0);
    for (std::size_t mi = 0; mi < motifs.size(); ++mi) {
        const Motif& m = motifs[mi];
        const std::size_t len = static_cast<std::size_t>(std::max(m.length, 0));
        before[mi + 1] = before[mi] + (m.indexes.positions.size() + m.indexes.size()) * len;
    }
    const std::size_t parts = workers.parts(before.back(), kSampleGrain, 1);
    const std::vector<std::size_t> bounds = split_by_weight(before.data(), motifs.size(), parts);
    // The average rows are the result's bulk: they are allocated here, by
    // the calling thread (in its own allocator arena), not by the helpers.
    std::vector<Values> averages(motifs.size());
    for (std::size_t mi = 0; mi < motifs.size(); ++mi)
        averages[mi].reserve(motifs[mi].indexes.size() * static_cast<std::size_t>(std::max(motifs[mi].length, 0)));
    workers.run(parts, [&](std::size_t part, unsigned) {
        score_range(motifs, averages, bounds[part], bounds[part + 1], ts);
    });
}

void score_motifs(std::vector<Motif>& motifs, const std::vector<Series>& ts) {
    Workers workers;
    score_motifs(motifs, ts, workers);
}

void Miner::collect_and_rank(const std::vector<Series>& ts) {
    Workers workers;
    collect_and_rank(ts, workers);
}

void Miner::collect_and_rank(const std::vector<Series>& ts, Workers& workers) {
    motifs.clear();
    {
        PatternMiner miner(minsup, min_len, max_len, max_overlap);
        miner.mine(sax(ts, seglen, alphabet, workers), workers);
        motifs.reserve(miner.frequent.size());
        for (auto& entry : miner.frequent) motifs.push_back(std::move(entry.second));
    }
    // Check every length before scoring anything.
    for (const Motif& m : motifs) motif_length(seglen, m.pattern.size());
    for (Motif& m : motifs) {
        m.seglen = seglen;
        m.length = motif_length(seglen, m.pattern.size());
        m.representative.resize(static_cast<std::size_t>(std::max(m.length, 0)), 0.0);
    }
    score_motifs(motifs, ts, workers);
    rank_motifs(motifs);
}

std::vector<Motif> Miner::mine(std::vector<Series>& ts) {
    Workers workers;
    return mine(ts, workers);
}

std::vector<Motif> Miner::mine(std::vector<Series>& ts, Workers& workers) {
    check_alphabet(alphabet);
    znormalize(ts, workers);
    collect_and_rank(ts, workers);
    return top_motifs(motifs, k);
}

}  // namespace qor
