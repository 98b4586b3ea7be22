// Distances of many occurrence windows to their representatives.
#pragma once

#include <cstddef>
#include <vector>

namespace qor::detail {

// Distances of many windows to their representatives, computed together.
struct WindowBatch {
    std::vector<const double*> x, rep;  // first real sample, representative
    std::vector<std::size_t> count;     // real samples (the NaN tail is left out)
    std::vector<double> dist;           // filled by compute()

    void clear() noexcept {
        x.clear();
        rep.clear();
        count.clear();
    }
    void add(const double* samples, std::size_t n, const double* representative) {
        x.push_back(samples);
        count.push_back(n);
        rep.push_back(representative);
    }
    // dist[w] = the square root of the squares of window w's gaps to its
    // representative, added in offset order from +0.0, NaN samples left out.
    void compute();
};

}  // namespace qor::detail
