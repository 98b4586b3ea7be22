// The core's 256-bit (AVX) loops: chosen at run time, since the core is
// built for the baseline x86-64. Each gives the same results to the last
// bit as its plain or 128-bit loop (the same terms, in the same order, per
// lane; no fused multiply-add).
#pragma once

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define QOR_WIDE 1
#include <immintrin.h>
#define QOR_AVX __attribute__((target("avx")))
#else
#define QOR_WIDE 0
#endif

namespace qor::detail {

// True where the 256-bit loops can run (checked once) and are not turned off.
bool wide_vectors();

// Turns the 256-bit loops off or back on, for tests of the other loops.
void use_wide_vectors(bool on);

#if QOR_WIDE
// Rows a, b, c, d of four values each, turned into four columns: col[t]
// holds value t of each row, row by row.
QOR_AVX inline void transpose(__m256d a, __m256d b, __m256d c, __m256d d, __m256d* col) {
    const __m256d ab0 = _mm256_unpacklo_pd(a, b), ab1 = _mm256_unpackhi_pd(a, b);
    const __m256d cd0 = _mm256_unpacklo_pd(c, d), cd1 = _mm256_unpackhi_pd(c, d);
    col[0] = _mm256_permute2f128_pd(ab0, cd0, 0x20);
    col[1] = _mm256_permute2f128_pd(ab1, cd1, 0x20);
    col[2] = _mm256_permute2f128_pd(ab0, cd0, 0x31);
    col[3] = _mm256_permute2f128_pd(ab1, cd1, 0x31);
}
#endif

}  // namespace qor::detail
