#include "sax/sax.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "core/simd.hpp"
#include "core/wide.hpp"

namespace qor {

namespace {

// Row a holds the a - 1 breakpoints of an alphabet of a letters. A constant
// table with no destructor: threads that are still computing while the
// process exits can go on reading it.
constexpr double kBreakpoints[11][9] = {
    {},
    {},
    {0.0},
    {-0.43, 0.43},
    {-0.67, 0.0, 0.67},
    {-0.84, -0.25, 0.25, 0.84},
    {-0.97, -0.43, 0.0, 0.43, 0.97},
    {-1.07, -0.57, -0.18, 0.18, 0.57, 1.07},
    {-1.15, -0.67, -0.32, 0.0, 0.32, 0.67, 1.15},
    {-1.22, -0.76, -0.43, -0.14, 0.14, 0.43, 0.76, 1.22},
    {-1.28, -0.84, -0.52, -0.25, 0.0, 0.25, 0.52, 0.84, 1.28},
};

struct Row {
    const double* values;
    std::size_t size;
};

Row breakpoint_row(int32_t alphabet) {
    const auto a = static_cast<std::size_t>(alphabet);
    return {kBreakpoints[a], a < 2 ? 0 : a - 1};
}

// Letter for a segment mean: 'a' plus the number of breakpoints strictly
// below it (a NaN mean is above none). Every breakpoint is compared, without
// a branch: the means of neighbouring segments fall anywhere.
inline char letter(double mean, Row row) {
    std::size_t above = 0;
    for (std::size_t k = 0; k < row.size; ++k) above += mean > row.values[k] ? 1 : 0;
    return static_cast<char>('a' + above);
}

// letter() of the four means s_j / divisor, into out[0..3]: two at a time
// where SSE2 is at hand (each lane's division and comparisons are those of
// letter()).
inline void letters4(double s0, double s1, double s2, double s3, double divisor, Row row, char* out) {
#if QOR_SSE2
    const __m128d d = _mm_set1_pd(divisor);
    const __m128d m01 = _mm_div_pd(_mm_set_pd(s1, s0), d), m23 = _mm_div_pd(_mm_set_pd(s3, s2), d);
    __m128i above01 = _mm_setzero_si128(), above23 = _mm_setzero_si128();
    for (std::size_t k = 0; k < row.size; ++k) {
        // A lane's mask is all ones (-1) where its mean is above the
        // breakpoint: false for NaN, as in letter().
        const __m128d b = _mm_set1_pd(row.values[k]);
        above01 = _mm_sub_epi64(above01, _mm_castpd_si128(_mm_cmpgt_pd(m01, b)));
        above23 = _mm_sub_epi64(above23, _mm_castpd_si128(_mm_cmpgt_pd(m23, b)));
    }
    // The counts (at most 9) are the low halves of the lanes.
    out[0] = static_cast<char>('a' + _mm_cvtsi128_si32(above01));
    out[1] = static_cast<char>('a' + _mm_cvtsi128_si32(_mm_unpackhi_epi64(above01, above01)));
    out[2] = static_cast<char>('a' + _mm_cvtsi128_si32(above23));
    out[3] = static_cast<char>('a' + _mm_cvtsi128_si32(_mm_unpackhi_epi64(above23, above23)));
#else
    out[0] = letter(s0 / divisor, row);
    out[1] = letter(s1 / divisor, row);
    out[2] = letter(s2 / divisor, row);
    out[3] = letter(s3 / divisor, row);
#endif
}

}  // namespace

std::vector<double> breakpoints(int32_t alphabet) {
    check_alphabet(alphabet);
    const Row row = breakpoint_row(alphabet);
    return std::vector<double>(row.values, row.values + row.size);
}

void check_alphabet(int32_t alphabet) {
    if (alphabet < 0 || alphabet > 10)
        throw std::invalid_argument("alphabet must be between 0 and 10, got " + std::to_string(alphabet));
}

void znormalize(double* x, std::size_t size) { znormalize_from(x, x, size); }

namespace {

// Where a row's letters go while it is normalised (null for none), and
// where its scale goes (null for nowhere).
struct WordOut {
    char* letters = nullptr;
    int32_t seglen = 0, alphabet = 0;
    RowScale* scale = nullptr;
    // Where each block of a row that is not kept (write_row's x null) is
    // normalised: word_block(seglen) values.
    double* block = nullptr;
};

// Samples normalised between two looks at their letters: the block is
// still in the nearest cache when its segments are summed.
constexpr std::size_t kWordBlock = 2048;

#if QOR_WIDE
// x[i] = (from[i] - mean) / sd for i < n, four at a time (each division is
// rounded as one alone is).
QOR_AVX void divide_wide(const double* from, double* x, std::size_t n, double mean, double sd) {
    const __m256d m = _mm256_set1_pd(mean), d = _mm256_set1_pd(sd);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) _mm256_storeu_pd(x + i, _mm256_div_pd(_mm256_sub_pd(_mm256_loadu_pd(from + i), m), d));
    for (; i < n; ++i) x[i] = (from[i] - mean) / sd;
}

// The sums of eight rows over their first `common` samples, row j's in
// lane j % 4 of acc[j / 4]: four samples of each row are loaded and turned
// into columns, so that each lane adds its row's samples in order. With
// `mean`, the squares of the samples less the row's mean instead. Returns
// the samples done (a multiple of 4); the rest are the caller's.
template <bool squares>
QOR_AVX std::size_t sums8(const double* const* from, std::size_t common, const double* mean, double* out) {
    __m256d acc[2] = {_mm256_setzero_pd(), _mm256_setzero_pd()}, m[2];
    if constexpr (squares) {
        m[0] = _mm256_loadu_pd(mean);
        m[1] = _mm256_loadu_pd(mean + 4);
    }
    std::size_t i = 0;
    for (; i + 4 <= common; i += 4) {
        for (std::size_t h = 0; h < 2; ++h) {
            const double* const* f = from + 4 * h;
            __m256d col[4];
            detail::transpose(_mm256_loadu_pd(f[0] + i), _mm256_loadu_pd(f[1] + i), _mm256_loadu_pd(f[2] + i),
                              _mm256_loadu_pd(f[3] + i), col);
            for (std::size_t t = 0; t < 4; ++t) {
                if constexpr (squares) {
                    const __m256d v = _mm256_sub_pd(col[t], m[h]);
                    acc[h] = _mm256_add_pd(acc[h], _mm256_mul_pd(v, v));
                } else {
                    acc[h] = _mm256_add_pd(acc[h], col[t]);
                }
            }
        }
    }
    _mm256_storeu_pd(out, acc[0]);
    _mm256_storeu_pd(out + 4, acc[1]);
    return i;
}
#endif

void divide(const double* from, double* x, std::size_t n, double mean, double sd) {
#if QOR_WIDE
    if (detail::wide_vectors()) return divide_wide(from, x, n, mean, sd);
#endif
    for (std::size_t i = 0; i < n; ++i) x[i] = (from[i] - mean) / sd;
}

// Samples per block of a row turned into letters: whole segments.
std::size_t word_block(int32_t seglen) {
    const auto step = static_cast<std::size_t>(std::max(seglen, 1));
    return step * std::max<std::size_t>(1, kWordBlock / step);
}

// x[i] = (from[i] - mean) / sd, and the row's letters from those values
// block by block (blocks of whole segments, so that each segment is summed
// exactly as sax_word sums it over the whole row). With x null, each block
// is written to word.block instead (and without letters, nowhere).
void write_row(const double* from, double* x, std::size_t n, double mean, double sd, const WordOut& word) {
    if (!word.letters) {
        if (x) divide(from, x, n, mean, sd);
        return;
    }
    const auto step = static_cast<std::size_t>(word.seglen);
    const std::size_t block = word_block(word.seglen);
    for (std::size_t begin = 0; begin < n; begin += block) {
        const std::size_t end = std::min(n, begin + block);
        double* to = x ? x + begin : word.block;
        divide(from + begin, to, end - begin, mean, sd);
        sax_word(to, end - begin, word.seglen, word.alphabet, word.letters + begin / step);
    }
}

void znormalize_row(const double* from, double* x, std::size_t size, const WordOut& word) {
    if (size == 0) return;
    const double n = static_cast<double>(size);
    double sum = 0.0;
    for (std::size_t i = 0; i < size; ++i) sum += from[i];
    const double mean = sum / n;
    double sq = 0.0;
    for (std::size_t i = 0; i < size; ++i) {
        const double v = from[i] - mean;
        sq += v * v;
    }
    // No guard for a constant series: sd is 0 and every sample becomes NaN
    // (0 / 0), which the words and the statistics then treat as missing.
    const double sd = std::sqrt(sq / n);
    if (word.scale) *word.scale = {mean, sd};
    write_row(from, x, size, mean, sd, word);
}

}  // namespace

void znormalize_from(const double* from, double* x, std::size_t size) { znormalize_row(from, x, size, WordOut{}); }

namespace {

// znormalize_from on R rows at once (4, or 8 on the 256-bit loops): the
// same operations in the same order for each row, with the R running sums
// interleaved so that they do not wait on one another.
template <std::size_t R>
void znormalize_rows_of(const double* const* from, double* const* x, const std::size_t* size, const WordOut* word) {
    const std::size_t common = *std::min_element(size, size + R);
    double sum[R] = {}, sq[R] = {}, mean[R];
    std::size_t i = 0;
#if QOR_WIDE
    if constexpr (R == 8) i = sums8<false>(from, common, nullptr, sum);
#endif
    for (; i < common; ++i)
        for (std::size_t j = 0; j < R; ++j) sum[j] += from[j][i];
    for (std::size_t j = 0; j < R; ++j) {
        for (std::size_t t = common; t < size[j]; ++t) sum[j] += from[j][t];
        mean[j] = sum[j] / static_cast<double>(size[j]);
    }
    i = 0;
#if QOR_WIDE
    if constexpr (R == 8) i = sums8<true>(from, common, mean, sq);
#endif
    for (; i < common; ++i) {
        for (std::size_t j = 0; j < R; ++j) {
            const double v = from[j][i] - mean[j];
            sq[j] += v * v;
        }
    }
    for (std::size_t j = 0; j < R; ++j) {
        const std::size_t n = size[j];
        for (std::size_t t = common; t < n; ++t) {
            const double v = from[j][t] - mean[j];
            sq[j] += v * v;
        }
        // Each sample written once, when it is final.
        const double sd = std::sqrt(sq[j] / static_cast<double>(n));
        if (word[j].scale) *word[j].scale = {mean[j], sd};
        write_row(from[j], x[j], n, mean[j], sd, word[j]);
    }
}

// Part boundaries over the rows of `ts`, of about equal sample counts.
std::vector<std::size_t> split_series(const Collection& ts, const Workers& workers) {
    std::vector<std::size_t> before(ts.size() + 1, 0);
    for (std::size_t i = 0; i < ts.size(); ++i) before[i + 1] = before[i] + ts.length(i);
    return split_by_weight(before.data(), ts.size(), workers.parts(before.back(), kSampleGrain));
}

// Where the letters of a collection's rows go while it is normalised, and
// their scales (null for nowhere).
struct Words {
    std::vector<Word>* words;
    const std::size_t* letters;  // per row
    int32_t seglen, alphabet;
    RowScale* scales = nullptr;
    bool keep = true;  // whether the normalised rows are written to ts
};

// Rows [first, last) of ts, read from the same places in `source` (ts's own
// block when it is normalised in place), `group` (8 or 4) at a time; with
// `out`, each row's word is sized and its letters written as well (and
// unless out->keep, the rows are not written: each block goes to a buffer
// of this range's).
void znormalize_range(Collection& ts, const double* source, std::size_t first, std::size_t last, const Words* out,
                      std::size_t group, Workers& workers) {
    const double* from[8];
    double* to[8];
    std::size_t size[8];
    WordOut word[8];
    std::size_t filled = 0;
    const bool keep = !out || out->keep;
    std::vector<double> block(keep ? 0 : word_block(out->seglen));
    for (std::size_t i = first; i < last; ++i) {
        workers.check();
        Word* w = out ? &(*out->words)[i] : nullptr;
        if (w) w->resize(out->letters[i]);
        if (ts.length(i) == 0) continue;
        to[filled] = keep ? ts.row(i) : nullptr;
        from[filled] = source + (ts.row(i) - ts.row(0));
        size[filled] = ts.length(i);
        // A seglen that is not positive leaves every word empty.
        word[filled] = w && out->seglen > 0 ? WordOut{w->data(), out->seglen, out->alphabet} : WordOut{};
        if (out && out->scales) word[filled].scale = out->scales + i;
        word[filled].block = block.data();
        if (++filled == group) {
            if (group == 8)
                znormalize_rows_of<8>(from, to, size, word);
            else
                znormalize_rows_of<4>(from, to, size, word);
            filled = 0;
        }
    }
    for (std::size_t j = 0; j < filled; ++j) znormalize_row(from[j], to[j], size[j], word[j]);
}

// Rows normalised in place or from `source`, on the threads of `workers`.
void znormalize_rows(Collection& ts, const double* source, const Words* out, Workers& workers) {
    // Rows are taken eight at a time on the 256-bit loops, else four (the
    // last few alone), in parts of whole groups where possible, so that few
    // long series keep their interleaved sums. Groups of eight only where
    // every thread gets some: few long series are shared out four by four.
    const std::size_t group = detail::wide_vectors() && ts.size() >= 8 * std::size_t{workers.size()} ? 8 : 4;
    std::vector<std::size_t> bounds = split_series(ts, workers);
    for (std::size_t k = 1; k + 1 < bounds.size(); ++k)
        bounds[k] = std::max(bounds[k - 1], std::min(ts.size(), (bounds[k] + group / 2) / group * group));
    workers.run(bounds.size() - 1, [&](std::size_t part, unsigned) {
        znormalize_range(ts, source, bounds[part], bounds[part + 1], out, group, workers);
    });
}

// Each row's number of letters; every count first, so that the first
// series that has none is the one reported.
std::vector<std::size_t> letter_counts(const Collection& ts, int32_t seglen) {
    std::vector<std::size_t> letters(ts.size());
    for (std::size_t i = 0; i < ts.size(); ++i)
        letters[i] = static_cast<std::size_t>(segment_count(ts.length(i), seglen));
    return letters;
}

}  // namespace

void znormalize(Collection& ts, Workers& workers) {
    if (ts.empty()) return;
    znormalize(ts, ts.row(0), workers);
}

void znormalize(Collection& ts, const double* source, Workers& workers) {
    if (ts.empty()) return;
    znormalize_rows(ts, source, nullptr, workers);
}

void znormalize(const Collection& ts, const double* source, const RowScale* scales, std::size_t first, std::size_t last,
                double* out) {
    const std::size_t base = ts.start(first);
    for (std::size_t i = first; i < last; ++i)
        divide(source + ts.start(i), out + (ts.start(i) - base), ts.length(i), scales[i].mean, scales[i].sd);
}

void znormalize(Collection& ts, const double* source, const RowScale* scales, Workers& workers) {
    if (ts.empty()) return;
    const std::vector<std::size_t> bounds = split_series(ts, workers);
    workers.run(bounds.size() - 1, [&](std::size_t part, unsigned) {
        for (std::size_t i = bounds[part]; i < bounds[part + 1]; ++i) {
            workers.check();
            znormalize(ts, source, scales, i, i + 1, ts.row(i));
        }
    });
}

std::vector<Word> znormalize_and_sax(Collection& ts, const double* source, int32_t seglen, int32_t alphabet,
                                     Workers& workers, RowScale* scales, bool keep) {
    check_alphabet(alphabet);
    const std::vector<std::size_t> letters = letter_counts(ts, seglen);
    std::vector<Word> words(ts.size());
    if (ts.empty()) return words;
    const Words out{&words, letters.data(), seglen, alphabet, scales, keep};
    znormalize_rows(ts, source, &out, workers);
    return words;
}

std::vector<Word> znormalize_and_sax(Collection& ts, int32_t seglen, int32_t alphabet, Workers& workers,
                                     RowScale* scales) {
    return znormalize_and_sax(ts, ts.empty() ? nullptr : ts.row(0), seglen, alphabet, workers, scales);
}

int32_t segment_count(std::size_t n, int32_t seglen) {
    const double q = std::ceil(static_cast<double>(n) / static_cast<double>(seglen));
    // Truncation to a 32-bit count; values it cannot represent, and negative
    // counts, are a length error.
    if (!(q >= 0.0 && q <= static_cast<double>(std::numeric_limits<int32_t>::max())))
        throw std::length_error("vector too long");
    return static_cast<int32_t>(q);
}

void sax_word(const double* samples, std::size_t n, int32_t seglen, int32_t alphabet, char* out) {
    const Row row = breakpoint_row(alphabet);
    const auto count = static_cast<std::size_t>(segment_count(n, seglen));
    const double divisor = static_cast<double>(seglen);
    const std::size_t step = static_cast<std::size_t>(seglen);
    // Segments that are whole, four at a time: four independent sums, each
    // over its own samples in order.
    const std::size_t whole = std::min(count, n / std::max<std::size_t>(step, 1));
    std::size_t i = 0;
    for (; i + 4 <= whole; i += 4) {
        const double* x = samples + i * step;
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
        for (std::size_t j = 0; j < step; ++j) {
            s0 += x[j];
            s1 += x[step + j];
            s2 += x[2 * step + j];
            s3 += x[3 * step + j];
        }
        letters4(s0, s1, s2, s3, divisor, row, out + i);
    }
    for (; i < count; ++i) {
        const std::size_t begin = i * step;
        const std::size_t end = std::min(begin + step, n);
        double sum = 0.0;
        for (std::size_t j = begin; j < end; ++j) sum += samples[j];
        out[i] = letter(sum / divisor, row);
    }
}

Word sax_word(const Series& series, int32_t seglen, int32_t alphabet) {
    check_alphabet(alphabet);
    Word word(static_cast<std::size_t>(segment_count(series.size(), seglen)));
    sax_word(series.data(), series.size(), seglen, alphabet, word.data());
    return word;
}

std::vector<Word> sax(const Collection& ts, int32_t seglen, int32_t alphabet, Workers& workers) {
    check_alphabet(alphabet);
    const std::vector<std::size_t> letters = letter_counts(ts, seglen);
    std::vector<Word> words(ts.size());
    const std::vector<std::size_t> bounds = split_series(ts, workers);
    workers.run(bounds.size() - 1, [&](std::size_t part, unsigned) {
        for (std::size_t i = bounds[part]; i < bounds[part + 1]; ++i) {
            workers.check();
            words[i].resize(letters[i]);
            sax_word(ts.row(i), ts.length(i), seglen, alphabet, words[i].data());
        }
    });
    return words;
}

}  // namespace qor
