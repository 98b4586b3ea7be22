// One value added to another again and again, as a representative is
// made: the bits of the plain loop, in fewer steps.
#pragma once

#include <cstddef>

namespace qor::detail {

// acc[i] = v[i] + acc[i], done `times` times over, for each i < n: the
// bits of that loop, at a cost that grows with the log of `times` rather
// than with `times` (see add_repeated).
void add_times(double* acc, const double* v, std::size_t n, std::size_t times);
// One value of add_times, with the shortcuts alone.
double add_repeated(double acc, double v, std::size_t times);

}  // namespace qor::detail
