#include "core/collection.hpp"

#include <algorithm>

namespace qor {

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
