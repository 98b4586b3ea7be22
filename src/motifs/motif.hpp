// The motif record: one frequent pattern, where it occurs, and the
// statistics derived from its occurrence windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/collection.hpp"
#include "core/types.hpp"
#include "motifs/occurrences.hpp"
#include "motifs/values.hpp"

namespace qor {

struct Motif;

// Average rows held elsewhere (by the processes that hold the series of a
// partitioned collection), computed there when they are read.
class RowSource {
public:
    RowSource() = default;
    RowSource(const RowSource&) = delete;
    RowSource& operator=(const RowSource&) = delete;
    virtual ~RowSource() = default;
    // Every average row of m, row after row (indexes.size() x length values).
    virtual std::vector<double> rows(const Motif& m) const = 0;
};

// Where a motif's average rows come from: a stored table (row r at
// r x length), the normalised collection the motif was mined from, from
// which each row is computed when it is read, or a RowSource. Copies share
// any of them; a collection stays alive as long as a motif refers to it.
class AverageRows {
public:
    AverageRows() = default;
    explicit AverageRows(SharedValues table) : table_(std::move(table)) {}
    explicit AverageRows(std::shared_ptr<const Collection> collection) : collection_(std::move(collection)) {}
    explicit AverageRows(std::shared_ptr<const RowSource> source) : source_(std::move(source)) {}

    bool empty() const { return table_.empty() && !collection_ && !source_; }
    const SharedValues& table() const { return table_; }
    const Collection* collection() const { return collection_.get(); }
    const RowSource* source() const { return source_.get(); }

private:
    SharedValues table_;
    std::shared_ptr<const Collection> collection_;
    std::shared_ptr<const RowSource> source_;
};

// Per-series statistics are keyed by `indexes.series`: average row i and
// entry i of `best_matches` belong to series indexes.series[i]. Both are
// empty until computed.
struct Motif {
    Pattern pattern;
    int32_t seglen = 0;
    int32_t length = 0;
    Occurrences indexes;
    AverageRows average_occurrences;
    std::vector<double> representative;
    std::vector<int32_t> best_matches;
    double naed = 0.0;

    explicit Motif(Pattern&& p) : pattern(std::move(p)) {}
    Motif(const Motif&) = default;
    Motif(Motif&& other) noexcept;
    Motif& operator=(const Motif&) = default;
    Motif& operator=(Motif&& other) noexcept;
    ~Motif() = default;

    // Window of `length` samples starting at symbol position p, NaN past the
    // end of the series.
    std::vector<double> extract_occurrence(const Series& series, int32_t p) const;

    // Whether average rows can be read: stored, or computable.
    bool has_average_rows() const { return !average_occurrences.empty(); }
    // Writes average row r (`length` values) to `row`, from the table or
    // computed from the collection (or taken from all the rows of a
    // RowSource: read those with average_rows); `scratch` holds `length`
    // values.
    void average_row(std::size_t r, double* row, double* scratch) const;
    // Every average row, one after the other (none without a source).
    // Throws std::length_error when a RowSource gives the wrong number.
    std::vector<double> average_rows() const;

    // The statistics of this motif alone, in this order (each needs the one
    // before), with the results of score_motifs (motifs/statistics.hpp),
    // which computes them for many motifs at once.
    // compute_average_occurrences stores the rows as a table;
    // compute_representative adds into `representative` and
    // compute_best_matches into `naed`: both start from the zeros that
    // prepare_motifs sets.
    void compute_average_occurrences(const Collection& ts);
    void compute_representative();
    void compute_best_matches(const Collection& ts);
};

}  // namespace qor
