// The statistics' inner loops on 256-bit vectors, for processors that have
// AVX (core/wide.hpp). Each gives the same results to the last bit as its
// 128-bit or plain loop (the same terms, in the same order, per offset or
// per window; no fused multiply-add).
#pragma once

#include <cstddef>

#include "core/wide.hpp"

namespace qor::detail {

// row[i] = the mean of the real samples x[w][i] over the windows w < k,
// where window w has n[w] samples (NaN padding after), or NaN where there is
// none: sums in window order from +0.0.
void average_windows_wide(const double* const* x, const std::size_t* n, std::size_t k, std::size_t len, double* row);

// sum[i] += x[i] and count[i] += 1 wherever x[i] is not NaN, for i < n.
void add_real_wide(double* sum, double* count, const double* x, std::size_t n);

// add_real_wide(sum, count, x[w], n) for w = 0 .. k - 1 in turn, with the
// sums held in registers across the windows.
void add_windows_wide(double* sum, double* count, const double* const* x, std::size_t k, std::size_t n);

// acc[i] = v[i] + acc[i], `times` times over, for i < n.
void add_times_wide(double* acc, const double* v, std::size_t n, std::size_t times);

// dist[w] = the square root of the sum, in offset order from +0.0, of the
// squared gaps of window w's count[w] samples to rep[w] (NaN samples left
// out), for w < windows.
void distances_wide(const double* const* x, const double* const* rep, const std::size_t* count, std::size_t windows,
                    double* dist);

}  // namespace qor::detail
