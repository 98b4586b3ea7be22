// Miner::mine in steps, for a collection held in partitions by other
// processes: each partition normalises and discretises its own series, and
// later computes its share of the statistics, while one PartitionedMiner
// holds the words, searches them and puts the results together in the order
// Miner::mine uses, so the motifs are the same to the last bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/collection.hpp"
#include "core/parallel.hpp"
#include "core/types.hpp"
#include "motifs/motif.hpp"
#include "motifs/statistics.hpp"

namespace qor {

// The occurrences of the motifs of a PartitionedMiner in the series
// [first, first + series count) of the collection, entry after entry, in
// runs: run k is run_entries[k] entries of motif run_motif[k] (window length
// run_length[k]), its rows run_row[k], run_row[k] + 1, ... Entry e is series
// series[e] (numbered in the whole collection), with the symbol positions
// positions[ends[e - 1] .. ends[e]) (from 0 for e = 0). The entries of a
// motif are consecutive, in row order.
struct PartOccurrences {
    int32_t first = 0;
    int32_t seglen = 0;
    std::vector<int32_t> run_motif, run_row, run_length, run_entries;
    std::vector<int32_t> series;
    std::vector<int64_t> ends;
    std::vector<int32_t> positions;

    std::size_t size() const { return series.size(); }
    std::size_t runs() const { return run_motif.size(); }
    // The number of values of the entries' average rows.
    std::size_t row_values() const;
    // Throws std::invalid_argument unless the run arrays agree in size and
    // their entries add up to the entries'.
    void check_sizes() const;
    // Throws std::invalid_argument unless the arrays agree in size and every
    // entry is a row of a series of `ts` (series first, first + 1, ...)
    // whose positions are here and start windows inside it, each motif's
    // entries in series order and of one length.
    void check(const Collection& ts) const;
    // A motif per run, with its rows only (series numbered from `first`):
    // what a partition computes the statistics of. With `representatives`
    // (run k's at rep_offset[k]), each carries its representative.
    std::vector<Motif> local_motifs(const int64_t* rep_offset = nullptr, const double* representatives = nullptr) const;
};

// The occurrences of `motifs` (of one seglen) in series [first, last), as
// PartitionedMiner::occurrences gives them, run_motif numbering the motifs
// given from `motif_base`. Throws std::invalid_argument for motifs of
// different seglen.
PartOccurrences occurrences_in(const std::vector<const Motif*>& motifs, int32_t first, int32_t last,
                               int32_t motif_base = 0);

// A partition's share of the statistics, from its normalised series (with
// `prepare`, written on demand: see PrepareSeries).
// average_rows: the average row of every entry, entry after entry, written
// to `out` (occ.row_values() values).
// best_matches: every entry's best distance and the first sample of that
// window, given the representatives (run k's at rep_offset[k]).
void average_rows(const Collection& ts, const PartOccurrences& occ, double* out,
                  const PrepareSeries* prepare = nullptr);
void best_matches(const Collection& ts, const PartOccurrences& occ, const int64_t* rep_offset,
                  const double* representatives, double* distance, int32_t* start,
                  const PrepareSeries* prepare = nullptr);

// The representatives' running sums, for every motif at once: motif mi's
// sums and counts are sum[offset[mi] .. offset[mi + 1]) and the same of
// count, sums_size values each (PartitionedMiner::sum_offsets; zeros to
// start). add_average_rows adds the average rows of a partition's entries
// into them, from its normalised series, series after series. Adding the
// partitions in collection order gives the sums that Miner::mine forms, to
// the last bit. Throws std::invalid_argument for offsets that do not fit
// or an entry of no motif.
void add_average_rows(const Collection& ts, const PartOccurrences& occ, const std::vector<int64_t>& offset,
                      std::size_t sums_size, double* sum, double* count, const PrepareSeries* prepare = nullptr);

// The representatives of motifs from the sums of the whole collection
// (add_average_rows): motif i's (of rows[i] rows) at offset[i] ..
// offset[i + 1) of `sum` and `count`, which hold at least offset.back()
// values, written to the same places, less offset[0], of the result. The values finish_representatives gives those
// motifs, made where the sums are (the chain that added them). Throws
// std::invalid_argument for offsets that are not ascending or rows that do
// not match them.
std::vector<double> representatives_from_sums(const std::vector<int64_t>& offset, const std::vector<int64_t>& rows,
                                              const double* sum, const double* count);

class PartitionedMiner {
public:
    PartitionedMiner(double minsup, int32_t seglen, int32_t alphabet, int32_t min_len, int32_t max_len,
                     double max_overlap, int32_t k);

    // The words of the next partition, partitions in collection order:
    // word i is letters[ends[i - 1] .. ends[i]) (from 0 for i = 0), the ends
    // ascending. Throws std::invalid_argument for a letter outside the
    // alphabet, and adds nothing then.
    void add_words(const char* letters, const std::size_t* ends, std::size_t count);
    void add_words(const std::vector<Word>& words);
    // The pattern search over every word added; returns the number of motifs.
    std::size_t search(Workers& workers);
    // The occurrences of motifs [motif_first, motif_last) (all by default;
    // run_motif numbers them among all motifs) in series [first, last).
    PartOccurrences occurrences(int32_t first, int32_t last, std::size_t motif_first = 0,
                                std::size_t motif_last = static_cast<std::size_t>(-1)) const;
    // The number of series each motif occurs in.
    std::vector<int64_t> motif_rows() const;
    // Where each motif's sums go (add_average_rows): motifs + 1 offsets. Then the
    // representatives, from the sums of the whole collection.
    std::vector<int64_t> sum_offsets() const;
    void finish_representatives(const double* sum, const double* count);
    // Every motif's representative, at sum_offsets(), once they are made.
    std::vector<double> representative_values() const;
    // The best matches of a partition (best_matches), partitions in
    // collection order; then naed, the ranking and the first k motifs. The
    // motifs read their average rows from `source`, or have none.
    void add_best_matches(const PartOccurrences& occ, const double* distance, const int32_t* start);
    std::vector<Motif> finish(std::shared_ptr<const RowSource> source);

    const std::vector<Motif>& motifs() const { return motifs_; }

private:
    // The steps, which must come in this order: words are added, then
    // searched; the representatives are finished from the sums;
    // best matches come in; the motifs are finished. A step out of order
    // throws std::logic_error.
    enum class Step { words, rows, matches, finished };
    void advance(Step expected, Step next, const char* what);
    void require(Step expected, const char* what) const;

    Step step_ = Step::words;
    double minsup_;
    int32_t seglen_, alphabet_, min_len_, max_len_;
    double max_overlap_;
    int32_t k_;
    // The words added, in one block (as add_words takes them, the ends
    // counted from the first word added).
    std::vector<char> letters_;
    std::vector<std::size_t> word_ends_;
    std::vector<Motif> motifs_;
    std::vector<std::vector<double>> distance_;  // best distances received, per motif and row
};

}  // namespace qor
