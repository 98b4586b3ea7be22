// The motif record: one frequent pattern, where it occurs, and the
// statistics derived from its occurrence windows.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "core/types.hpp"

namespace qor {

// Occurrence positions per series, series in ascending order, stored flat:
// the positions of series[i] are positions[ends[i - 1] .. ends[i]) (from 0
// for i = 0). Empty means three empty vectors, so clearing never allocates.
struct Occurrences {
    std::vector<int32_t> series;
    std::vector<uint32_t> ends;
    std::vector<int32_t> positions;

    std::size_t size() const { return series.size(); }
    bool empty() const { return series.empty(); }
    const int32_t* begin_of(std::size_t i) const { return positions.data() + (i == 0 ? 0 : ends[i - 1]); }
    const int32_t* end_of(std::size_t i) const { return positions.data() + ends[i]; }
    // Appends a position; `s` must not be below the last series appended.
    void add(int32_t s, int32_t position);
    void clear() noexcept;
};

// std::allocator, except that resize() leaves new elements of trivial types
// uninitialised: for buffers that are written in full right after.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using Values = std::vector<double, UninitializedAllocator<double>>;

// A table of doubles that is written once, when it is built, and only read
// afterwards; copies share the values instead of duplicating them.
class SharedValues {
public:
    SharedValues() = default;
    explicit SharedValues(Values&& values) : values_(std::make_shared<const Values>(std::move(values))) {}

    bool empty() const { return size() == 0; }
    std::size_t size() const { return values_ ? values_->size() : 0; }
    const double* data() const { return values_ ? values_->data() : nullptr; }
    std::vector<double> to_vector() const {
        return values_ ? std::vector<double>(values_->begin(), values_->end()) : std::vector<double>();
    }

private:
    std::shared_ptr<const Values> values_;
};

// Distances of many windows to their representatives, computed together.
struct WindowBatch {
    std::vector<const double*> x, rep;  // first real sample, representative
    std::vector<std::size_t> count;     // real samples (the NaN tail is left out)
    std::vector<double> dist;           // filled by compute()

    void clear() noexcept;
    void add(const double* samples, std::size_t n, const double* representative);
    void compute();
};

// Per-series statistics are keyed by `indexes.series`: row i of
// `average_occurrences` (`length` values) and entry i of `best_matches`
// belong to series indexes.series[i]. Both are empty until computed.
struct Motif {
    Pattern pattern;
    int32_t seglen = 0;
    int32_t length = 0;
    Occurrences indexes;
    SharedValues average_occurrences;
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
    void compute_average_occurrences(const std::vector<Series>& ts);
    void compute_representative();
    void compute_best_matches(const std::vector<Series>& ts);

    // The statistics of one series entry (row r of indexes), shared by the
    // operations above and by the batched scoring of many motifs.
    // average_row writes the row's `length` means to `row`, using `count`
    // (length values) as scratch; queue_windows adds the row's windows to a
    // batch of distances to the representative.
    void average_row(std::size_t r, const Series& s, double* row, double* count) const;
    void queue_windows(std::size_t r, const Series& s, WindowBatch& batch) const;
    // Best distance and symbol position of row r, given the distances of
    // its windows in recorded order (1000000 and 0 when none is closer).
    std::pair<double, int32_t> best_of(std::size_t r, const double* dist) const;
    // compute_representative in two steps: the NaN-skipping sums of the
    // average rows, added row by row in series order (`sum` and `count`
    // start at zeros, `length` values each), then the representative from
    // them.
    void accumulate_average(const double* row, double* sum, double* count) const;
    void finish_representative(double* sum, const double* count);
    // naed = naed / (number of series x length), after the best matches.
    void finish_naed();
};

}  // namespace qor
