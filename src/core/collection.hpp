// A collection of series held as one block of samples: row i is
// samples[ends[i - 1] .. ends[i]) (from 0 for i = 0). One allocation for the
// whole input, whatever the number of rows, and rows that sit next to each
// other. A moved-from collection is empty and usable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "core/types.hpp"

namespace qor {

// Blocks of at least kReusedBlock bytes: the last one released is kept for
// the next request of up to its size, instead of being handed back to the
// kernel (the allocator does that with blocks this large) and faulted in
// again page by page on the next call. At most one block is kept.
constexpr std::size_t kReusedBlock = std::size_t{16} << 20;
void* allocate_block(std::size_t bytes);
void release_block(void* p, std::size_t bytes) noexcept;

// std::allocator, except that resize() leaves new elements of trivial types
// uninitialised: for buffers that are written in full right after (their
// pages are then touched once, by the writes). Large blocks as above.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n >= kReusedBlock / sizeof(T) && n <= SIZE_MAX / sizeof(T))
            return static_cast<T*>(allocate_block(n * sizeof(T)));
        return std::allocator<T>::allocate(n);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n >= kReusedBlock / sizeof(T) && n <= SIZE_MAX / sizeof(T))
            release_block(p, n * sizeof(T));
        else
            std::allocator<T>::deallocate(p, n);
    }
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

class Collection {
public:
    Collection() = default;
    // Copies of separately held series (tests, and callers that have them).
    Collection(const std::vector<Series>& series);  // NOLINT: converts on purpose
    Collection(std::initializer_list<Series> series) : Collection(std::vector<Series>(series)) {}

    std::size_t size() const { return ends_.size(); }
    bool empty() const { return ends_.empty(); }
    std::size_t samples() const { return samples_.size(); }
    std::size_t start(std::size_t i) const { return i == 0 ? 0 : ends_[i - 1]; }
    std::size_t length(std::size_t i) const { return ends_[i] - start(i); }
    const double* row(std::size_t i) const { return samples_.data() + start(i); }
    double* row(std::size_t i) { return samples_.data() + start(i); }

    // Building: room for `rows` rows of `samples` samples in all, then rows
    // appended one by one (a row is begun and then its samples pushed, or
    // appended whole).
    void reserve(std::size_t rows, std::size_t samples);
    // Appends `n` samples, left uninitialised, as a new row; returns them.
    double* add_row(std::size_t n);
    void add_row(const double* x, std::size_t n);
    // Starts a row that push() extends and end_row() closes.
    void begin_row() { ends_.push_back(samples_.size()); }
    void push(double x) { samples_.push_back(x); }
    void end_row() { ends_.back() = samples_.size(); }
    // `rows` rows of `length` samples each, left uninitialised.
    void assign_rows(std::size_t rows, std::size_t length);
    // Back to no rows, keeping the memory.
    void clear() noexcept {
        samples_.clear();
        ends_.clear();
    }

    Series to_series(std::size_t i) const { return Series(row(i), row(i) + length(i)); }

private:
    Values samples_;
    std::vector<std::size_t> ends_;
};

}  // namespace qor
