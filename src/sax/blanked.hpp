// Which series z-normalisation turns into NaN throughout: those whose sum,
// added in order as it adds it, is not finite (a NaN or infinite sample, or
// finite samples whose sum overflows). Its mean is then not finite, and
// neither is any normalised sample. (A constant series becomes NaN too,
// through its zero deviation: it holds no shape to lose.)
#pragma once

#include <cstddef>

namespace qor {

// How many of the rows (row i: sizes[i] samples from rows[i]) have such a
// sum. Empty rows have none.
std::size_t count_blanked(const double* const* rows, const std::size_t* sizes, std::size_t n);

}  // namespace qor
