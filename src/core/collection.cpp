#include "core/collection.hpp"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>

namespace qor {

namespace {

// The one kept block. Trivially destructible, so that it stays usable while
// the process exits.
struct KeptBlock {
    std::mutex lock;
    void* block = nullptr;
    std::size_t bytes = 0;
};
KeptBlock kept;

}  // namespace

void* allocate_block(std::size_t bytes) {
    {
        std::lock_guard<std::mutex> hold(kept.lock);
        // Not for a request much smaller: the rest would be held for nothing.
        if (kept.block && kept.bytes >= bytes && kept.bytes / 2 <= bytes) {
            void* p = kept.block;
            kept.block = nullptr;
            return p;
        }
    }
    void* p = std::malloc(bytes);
    if (!p) throw std::bad_alloc();
    return p;
}

// `bytes` is what the block was asked for: a reused block may be larger, and
// is then kept as if it were that size.
void release_block(void* p, std::size_t bytes) noexcept {
    {
        std::lock_guard<std::mutex> hold(kept.lock);
        if (!kept.block || kept.bytes <= bytes) {
            std::swap(p, kept.block);
            kept.bytes = bytes;
        }
    }
    std::free(p);
}

Collection::Collection(const std::vector<Series>& series) {
    std::size_t total = 0;
    for (const Series& s : series) total += s.size();
    reserve(series.size(), total);
    for (const Series& s : series) add_row(s.data(), s.size());
}

void Collection::reserve(std::size_t rows, std::size_t samples) {
    ends_.reserve(ends_.size() + rows);
    samples_.reserve(samples_.size() + samples);
}

double* Collection::add_row(std::size_t n) {
    const std::size_t first = samples_.size();
    samples_.resize(first + n);
    ends_.push_back(first + n);
    return samples_.data() + first;
}

void Collection::add_row(const double* x, std::size_t n) {
    double* to = add_row(n);
    if (n) std::copy(x, x + n, to);
}

void Collection::assign_rows(std::size_t rows, std::size_t length) {
    clear();
    samples_.resize(rows * length);
    ends_.resize(rows);
    for (std::size_t i = 0; i < rows; ++i) ends_[i] = (i + 1) * length;
}

}  // namespace qor
