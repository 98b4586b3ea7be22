#include "pipeline/partitioned.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "motifs/statistics.hpp"
#include "patterns/pattern_miner.hpp"
#include "pipeline/ranking.hpp"

namespace qor {

namespace {

std::size_t window_values(int32_t length) { return static_cast<std::size_t>(std::max(length, 0)); }

// Whether occ's runs are rows of `motifs`, as occurrences() makes them.
void check_runs(const PartOccurrences& occ, const std::vector<Motif>& motifs) {
    occ.check_sizes();
    for (std::size_t k = 0; k < occ.runs(); ++k) {
        const int32_t mi = occ.run_motif[k], r = occ.run_row[k], n = occ.run_entries[k];
        if (mi < 0 || static_cast<std::size_t>(mi) >= motifs.size() || r < 0 ||
            static_cast<std::size_t>(r) + static_cast<std::size_t>(n) >
                motifs[static_cast<std::size_t>(mi)].indexes.size() ||
            occ.run_length[k] != motifs[static_cast<std::size_t>(mi)].length)
            throw std::invalid_argument("partition occurrences: an entry that is not a row of a motif");
    }
}

}  // namespace

void PartOccurrences::check_sizes() const {
    const std::size_t k_runs = runs();
    if (run_row.size() != k_runs || run_length.size() != k_runs || run_entries.size() != k_runs)
        throw std::invalid_argument("partition occurrences: entry arrays of different sizes");
    std::size_t entries = 0;
    for (int32_t count : run_entries) {
        if (count < 0) throw std::invalid_argument("partition occurrences: entry arrays of different sizes");
        entries += static_cast<std::size_t>(count);
    }
    if (entries != size()) throw std::invalid_argument("partition occurrences: entry arrays of different sizes");
}

// Whether occ describes rows of the series of ts whose positions it holds,
// each entry after the one before.
void PartOccurrences::check(const Collection& ts) const {
    const std::size_t series_count = ts.size();
    const std::size_t n = size();
    if (seglen < 1 && n > 0) throw std::invalid_argument("partition occurrences: a seglen below 1");
    const std::size_t k_runs = runs();
    check_sizes();
    if (ends.size() != n) throw std::invalid_argument("partition occurrences: entry arrays of different sizes");
    int64_t before = 0;
    int32_t last_motif = 0, last_length = 0;
    std::size_t e = 0;
    for (std::size_t k = 0; k < k_runs; ++k) {
        for (int32_t i = 0; i < run_entries[k]; ++i, ++e) {
            const int64_t local = static_cast<int64_t>(series[e]) - first;
            // The entry before, when it is of the same motif: in the same run,
            // or the last of an earlier one.
            const bool same = e > 0 && (i > 0 || run_motif[k] == last_motif);
            if (local < 0 || local >= static_cast<int64_t>(series_count) || ends[e] <= before ||
                ends[e] > static_cast<int64_t>(positions.size()) ||
                (same && (series[e] <= series[e - 1] || run_length[k] != last_length)))
                throw std::invalid_argument("partition occurrences: an entry outside the partition or out of order");
            // Every window starts inside its series, at a sample number
            // that fits the best matches' int32.
            const auto length = static_cast<int64_t>(ts.length(static_cast<std::size_t>(local)));
            for (int64_t t = before; t < ends[e]; ++t) {
                const int64_t start = static_cast<int64_t>(positions[static_cast<std::size_t>(t)]) * seglen;
                if (start < 0 || start >= length || start > INT32_MAX)
                    throw std::invalid_argument("partition occurrences: a position outside its series");
            }
            before = ends[e];
            last_motif = run_motif[k];
            last_length = run_length[k];
        }
    }
}

std::vector<Motif> PartOccurrences::local_motifs(const int64_t* rep_offset, const double* representatives) const {
    std::vector<Motif> out;
    out.reserve(runs());
    std::size_t e = 0;
    for (std::size_t k = 0; k < runs(); ++k) {
        out.emplace_back(Pattern{});
        Motif& m = out.back();
        m.seglen = seglen;
        m.length = run_length[k];
        if (representatives) {
            const double* rep = representatives + rep_offset[k];
            m.representative.assign(rep, rep + window_values(run_length[k]));
        }
        const std::size_t n = static_cast<std::size_t>(run_entries[k]);
        const int64_t base = e == 0 ? 0 : ends[e - 1];
        Occurrences& idx = m.indexes;
        idx.series.resize(n);
        idx.ends.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            idx.series[i] = series[e + i] - first;
            idx.ends[i] = static_cast<uint32_t>(ends[e + i] - base);
        }
        const int64_t last = n ? ends[e + n - 1] : base;
        idx.positions.assign(positions.begin() + base, positions.begin() + last);
        e += n;
    }
    return out;
}

std::size_t PartOccurrences::row_values() const {
    std::size_t n = 0;
    for (std::size_t k = 0; k < runs(); ++k)
        n += static_cast<std::size_t>(std::max(run_entries[k], 0)) * window_values(run_length[k]);
    return n;
}

void average_rows(const Collection& ts, const PartOccurrences& occ, double* out, const PrepareSeries* prepare) {
    occ.check(ts);
    compute_average_occurrences(occ.local_motifs(), ts, out, prepare);
}

void best_matches(const Collection& ts, const PartOccurrences& occ, const int64_t* rep_offset,
                  const double* representatives, double* distance, int32_t* start, const PrepareSeries* prepare) {
    occ.check(ts);
    row_best_matches(occ.local_motifs(rep_offset, representatives), ts, distance, start, prepare);
}

void add_average_rows(const Collection& ts, const PartOccurrences& occ, const std::vector<int64_t>& offset,
                      std::size_t sums_size, double* sum, double* count, const PrepareSeries* prepare) {
    occ.check(ts);
    if (offset.empty() || offset.front() != 0 || offset.back() != static_cast<int64_t>(sums_size) ||
        !std::is_sorted(offset.begin(), offset.end()))
        throw std::invalid_argument("representative sums: offsets that do not fit the sums");
    std::vector<double*> sum_at, count_at;
    for (std::size_t k = 0; k < occ.runs(); ++k) {
        const int32_t mi = occ.run_motif[k];
        if (mi < 0 || static_cast<std::size_t>(mi) + 1 >= offset.size() ||
            offset[static_cast<std::size_t>(mi) + 1] - offset[static_cast<std::size_t>(mi)] !=
                static_cast<int64_t>(window_values(occ.run_length[k])))
            throw std::invalid_argument("representative sums: an entry of no motif");
        sum_at.push_back(sum + offset[static_cast<std::size_t>(mi)]);
        count_at.push_back(count + offset[static_cast<std::size_t>(mi)]);
    }
    const std::vector<Motif> motifs = occ.local_motifs();
    add_average_rows(motifs, ts, SumTargets{sum_at.data(), count_at.data()}, prepare);
}

void PartitionedMiner::require(Step expected, const char* what) const {
    if (step_ != expected) throw std::logic_error(std::string("partitioned mining: ") + what + " out of order");
}

void PartitionedMiner::advance(Step expected, Step next, const char* what) {
    require(expected, what);
    step_ = next;
}

PartitionedMiner::PartitionedMiner(double minsup, int32_t seglen, int32_t alphabet, int32_t min_len, int32_t max_len,
                                   double max_overlap, int32_t k)
    : minsup_(minsup),
      seglen_(seglen),
      alphabet_(alphabet),
      min_len_(min_len),
      max_len_(max_len),
      max_overlap_(max_overlap),
      k_(k) {}

void PartitionedMiner::add_words(const char* letters, const std::size_t* ends, std::size_t count) {
    require(Step::words, "adding words");
    const std::size_t n = count == 0 ? 0 : ends[count - 1];
    const int last = 'a' + std::max(alphabet_, 1) - 1;
    // The letters are checked once copied: the copy is what is searched.
    const std::size_t base = letters_.size();
    letters_.insert(letters_.end(), letters, letters + n);
    for (std::size_t i = base; i < letters_.size(); ++i)
        if (letters_[i] < 'a' || letters_[i] > last) {
            letters_.resize(base);
            throw std::invalid_argument("words: a letter outside the alphabet");
        }
    const std::size_t words_before = word_ends_.size();
    try {
        for (std::size_t i = 0; i < count; ++i) word_ends_.push_back(base + ends[i]);
    } catch (...) {  // out of memory: nothing of these words stays
        letters_.resize(base);
        word_ends_.resize(words_before);
        throw;
    }
}

void PartitionedMiner::add_words(const std::vector<Word>& words) {
    std::vector<char> letters;
    std::vector<std::size_t> ends;
    ends.reserve(words.size());
    for (const Word& w : words) {
        letters.insert(letters.end(), w.begin(), w.end());
        ends.push_back(letters.size());
    }
    add_words(letters.data(), ends.data(), ends.size());
}

std::size_t PartitionedMiner::search(Workers& workers) {
    advance(Step::words, Step::rows, "the search");
    motifs_.clear();
    {
        PatternMiner miner(minsup_, min_len_, max_len_, max_overlap_);
        miner.mine(WordsView(letters_.data(), word_ends_.data(), word_ends_.size()), workers);
        std::vector<char>().swap(letters_);
        std::vector<std::size_t>().swap(word_ends_);
        motifs_.reserve(miner.frequent.size());
        for (auto& entry : miner.frequent) motifs_.push_back(std::move(entry.second));
    }
    prepare_motifs(motifs_, seglen_);
    distance_.assign(motifs_.size(), std::vector<double>());
    for (std::size_t mi = 0; mi < motifs_.size(); ++mi) {
        Motif& m = motifs_[mi];
        distance_[mi].assign(m.indexes.size(), 0.0);
        m.best_matches.assign(m.indexes.size(), 0);
    }
    return motifs_.size();
}

PartOccurrences occurrences_in(const std::vector<const Motif*>& motifs, int32_t first, int32_t last,
                               int32_t motif_base) {
    PartOccurrences occ;
    occ.first = first;
    occ.seglen = motifs.empty() ? 0 : motifs.front()->seglen;
    // Each motif's rows in [first, last) are one range: sized first, then
    // copied range by range.
    std::vector<std::pair<std::size_t, std::size_t>> rows(motifs.size());
    std::size_t entries = 0, positions = 0;
    for (std::size_t mi = 0; mi < motifs.size(); ++mi) {
        const Motif& m = *motifs[mi];
        if (m.seglen != occ.seglen) throw std::invalid_argument("motifs of different seglen");
        const std::vector<int32_t>& series = m.indexes.series;
        const auto lo = std::lower_bound(series.begin(), series.end(), first);
        const auto hi = std::lower_bound(lo, series.end(), last);
        rows[mi] = {static_cast<std::size_t>(lo - series.begin()), static_cast<std::size_t>(hi - series.begin())};
        if (hi == lo) continue;
        entries += rows[mi].second - rows[mi].first;
        positions +=
            static_cast<std::size_t>(m.indexes.end_of(rows[mi].second - 1) - m.indexes.begin_of(rows[mi].first));
    }
    occ.series.reserve(entries);
    occ.ends.reserve(entries);
    occ.positions.reserve(positions);
    for (std::size_t mi = 0; mi < motifs.size(); ++mi) {
        const auto [lo, hi] = rows[mi];
        if (hi == lo) continue;
        const Occurrences& idx = motifs[mi]->indexes;
        occ.run_motif.push_back(motif_base + static_cast<int32_t>(mi));
        occ.run_row.push_back(static_cast<int32_t>(lo));
        occ.run_length.push_back(motifs[mi]->length);
        occ.run_entries.push_back(static_cast<int32_t>(hi - lo));
        occ.series.insert(occ.series.end(), idx.series.begin() + static_cast<std::ptrdiff_t>(lo),
                          idx.series.begin() + static_cast<std::ptrdiff_t>(hi));
        const int64_t shift = static_cast<int64_t>(occ.positions.size()) - (lo == 0 ? 0 : idx.ends[lo - 1]);
        for (std::size_t r = lo; r < hi; ++r) occ.ends.push_back(idx.ends[r] + shift);
        occ.positions.insert(occ.positions.end(), idx.begin_of(lo), idx.end_of(hi - 1));
    }
    return occ;
}

PartOccurrences PartitionedMiner::occurrences(int32_t first, int32_t last, std::size_t motif_first,
                                              std::size_t motif_last) const {
    if (step_ != Step::rows && step_ != Step::matches) require(Step::rows, "occurrences");
    motif_last = std::min(motif_last, motifs_.size());
    std::vector<const Motif*> motifs;
    for (std::size_t mi = motif_first; mi < motif_last; ++mi) motifs.push_back(&motifs_[mi]);
    PartOccurrences occ = occurrences_in(motifs, first, last, static_cast<int32_t>(motif_first));
    occ.seglen = seglen_;
    return occ;
}

std::vector<int64_t> PartitionedMiner::motif_rows() const {
    if (step_ != Step::rows && step_ != Step::matches) require(Step::rows, "motif rows");
    std::vector<int64_t> rows;
    rows.reserve(motifs_.size());
    for (const Motif& m : motifs_) rows.push_back(static_cast<int64_t>(m.indexes.size()));
    return rows;
}

std::vector<int64_t> PartitionedMiner::sum_offsets() const {
    if (step_ != Step::rows && step_ != Step::matches) require(Step::rows, "the sums");
    std::vector<int64_t> offset(motifs_.size() + 1, 0);
    for (std::size_t mi = 0; mi < motifs_.size(); ++mi)
        offset[mi + 1] = offset[mi] + static_cast<int64_t>(window_values(motifs_[mi].length));
    return offset;
}

std::vector<double> representatives_from_sums(const std::vector<int64_t>& offset, const std::vector<int64_t>& rows,
                                              const double* sum, const double* count) {
    if (rows.size() + 1 != offset.size())
        throw std::invalid_argument("representatives: one offset per motif and one more");
    if (offset.front() < 0) throw std::invalid_argument("representatives: offsets out of order");
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (offset[i + 1] < offset[i]) throw std::invalid_argument("representatives: offsets out of order");
        if (rows[i] < 0) throw std::invalid_argument("representatives: a motif of fewer than 0 rows");
    }
    const auto base = static_cast<std::size_t>(offset.front());
    std::vector<double> out(static_cast<std::size_t>(offset.back()) - base, 0.0);
    std::vector<double> own;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto first = static_cast<std::size_t>(offset[i]), len = static_cast<std::size_t>(offset[i + 1]) - first;
        own.assign(sum + first, sum + first + len);
        detail::finish_sums(own.data(), count + first, len, static_cast<std::size_t>(rows[i]),
                            out.data() + first - base);
    }
    return out;
}

void PartitionedMiner::finish_representatives(const double* sum, const double* count) {
    advance(Step::rows, Step::matches, "finishing the representatives");
    const std::vector<int64_t> offset = sum_offsets();
    const std::vector<double> values = representatives_from_sums(offset, motif_rows(), sum, count);
    for (std::size_t mi = 0; mi < motifs_.size(); ++mi)
        motifs_[mi].representative.assign(values.begin() + offset[mi], values.begin() + offset[mi + 1]);
}

std::vector<double> PartitionedMiner::representative_values() const {
    require(Step::matches, "representatives");
    std::vector<double> out;
    for (const Motif& m : motifs_) out.insert(out.end(), m.representative.begin(), m.representative.end());
    return out;
}

void PartitionedMiner::add_best_matches(const PartOccurrences& occ, const double* distance, const int32_t* start) {
    require(Step::matches, "adding best matches");
    check_runs(occ, motifs_);
    std::size_t e = 0;
    for (std::size_t k = 0; k < occ.runs(); ++k) {
        const std::size_t mi = static_cast<std::size_t>(occ.run_motif[k]), r = static_cast<std::size_t>(occ.run_row[k]);
        for (std::size_t i = 0; i < static_cast<std::size_t>(occ.run_entries[k]); ++i, ++e) {
            distance_[mi][r + i] = distance[e];
            motifs_[mi].best_matches[r + i] = start[e];
        }
    }
}

std::vector<Motif> PartitionedMiner::finish(std::shared_ptr<const RowSource> source) {
    advance(Step::matches, Step::finished, "finishing");
    for (std::size_t mi = 0; mi < motifs_.size(); ++mi) {
        Motif& m = motifs_[mi];
        if (source) m.average_occurrences = AverageRows(source);
        // The distances in row order, that is in series order, as
        // compute_best_matches adds them.
        for (std::size_t r = 0; r < m.indexes.size(); ++r) add_best_match(m, r, distance_[mi][r], m.best_matches[r]);
        finish_naed(m);
    }
    distance_.clear();
    rank_motifs(motifs_);
    return top_motifs(motifs_, k_);
}

}  // namespace qor
