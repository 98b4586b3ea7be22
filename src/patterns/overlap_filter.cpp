#include "patterns/overlap_filter.hpp"

#include <algorithm>

#include "core/simd.hpp"
#include "patterns/lcs.hpp"

namespace qor::detail {

namespace {

// Symbol counts of a pattern over at most 16 symbols.
struct CountRow {
    alignas(16) int16_t c[16] = {};
};

#if QOR_SSE2
constexpr bool kVectorCounts = true;

// Sum over symbols of the smaller of the two counts.
inline uint32_t common_count(const CountRow& x, const CountRow& y) {
    const __m128i ones = _mm_set1_epi16(1);
    const __m128i lo = _mm_min_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(x.c)),
                                     _mm_load_si128(reinterpret_cast<const __m128i*>(y.c)));
    const __m128i hi = _mm_min_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(x.c + 8)),
                                     _mm_load_si128(reinterpret_cast<const __m128i*>(y.c + 8)));
    __m128i sum = _mm_add_epi32(_mm_madd_epi16(lo, ones), _mm_madd_epi16(hi, ones));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(1, 0, 3, 2)));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(sum));
}
#else
constexpr bool kVectorCounts = false;

inline uint32_t common_count(const CountRow&, const CountRow&) { return 0; }
#endif

// Marks the listed patterns that the overlap test removes. Walking the list
// in order, each pattern not yet removed removes every other pattern not
// longer than itself whose longest common subsequence with it exceeds
// max_overlap of that pattern's length. Only the patterns after it need to
// be tested: one before it of the same length that is still there was
// tested against it at its own turn, with the same outcome (the
// subsequence is common to both, the lengths are equal), and would have
// removed it.
//
// The walk goes block by block. The patterns of a block are first compared,
// in order, with the later patterns of the block; that settles which of
// them are still there at their turn. Those are then compared with the
// patterns after the block, which they are the only ones to affect: each
// later pattern meets them in the same order as in a plain walk, so the
// later patterns are split between threads.
class OverlapFilter {
public:
    OverlapFilter(const Listing& list, std::size_t alphabet, double max_overlap) : list_(list), alphabet_(alphabet) {
        const std::size_t n = list.size();
        // Symbol counts of every item, for an upper bound on the common
        // subsequence (the sum over symbols of the smaller count) that rules
        // most pairs out cheaply: with at most 16 symbols as one row of
        // 16-bit counts per item, compared 8 at a time, otherwise as
        // (id, count) pairs.
        rows_ = kVectorCounts && alphabet <= 16 && n > 0 && list.length(0) <= 32767;
        count_rows_.resize(rows_ ? n : 0);
        std::vector<uint32_t> counts(alphabet, 0);
        for (std::size_t i = 0; i < n; ++i) {
            const uint8_t* s = list.at(i);
            if (rows_) {
                for (std::size_t j = 0; j < list.length(i); ++j) ++count_rows_[i].c[s[j]];
                continue;
            }
            for (std::size_t j = 0; j < list.length(i); ++j) ++counts[s[j]];
            for (std::size_t j = 0; j < list.length(i); ++j) {
                if (counts[s[j]] != 0) {
                    hist_.emplace_back(s[j], counts[s[j]]);
                    counts[s[j]] = 0;
                }
            }
            hist_start_.push_back(hist_.size());
        }
        // need_[L]: the least common length c with c / L > max_overlap
        // (L + 1 when there is none); the quotient grows with c, so the
        // overlap test on a pattern of L symbols is c >= need_[L].
        need_.assign(n > 0 ? list.length(0) + 1 : 1, 0);
        for (std::size_t len = 1; len < need_.size(); ++len) {
            uint32_t lo = 0, hi = static_cast<uint32_t>(len) + 1;
            while (lo < hi) {
                const uint32_t mid = lo + (hi - lo) / 2;
                if (static_cast<double>(mid) / static_cast<double>(len) > max_overlap)
                    hi = mid;
                else
                    lo = mid + 1;
            }
            need_[len] = lo;
        }
    }

    std::vector<char> run(Workers& workers) const {
        const std::size_t n = list_.size();
        std::vector<char> removed(n, 0);
        std::vector<Probe> probes;
        for (unsigned t = 0; t < workers.size(); ++t) probes.emplace_back(*this);
        std::vector<std::size_t> turn, later(n);
        for (std::size_t i = 0; i < n; ++i) later[i] = i;
        // Eager teams (tests) use small blocks, so that small lists have
        // patterns after a block.
        const std::size_t block = workers.eager() ? 3 : kBlock;
        for (std::size_t a0 = 0, a1 = 0; a0 < n; a0 = a1) {
            a1 = std::min(n, a0 + block);
            turn.clear();
            Probe& probe = probes[0];
            for (std::size_t a = a0; a < a1; ++a) {
                workers.check();
                if (removed[a]) continue;
                turn.push_back(a);
                probe.set(a);
                for (std::size_t b = a + 1; b < a1; ++b)
                    if (!removed[b] && probe.overlaps(b)) removed[b] = 1;
            }
            later.erase(std::remove_if(later.begin(), later.end(), [&](std::size_t b) { return b < a1 || removed[b]; }),
                        later.end());
            if (turn.empty() || later.empty()) continue;
            const std::size_t parts = workers.parts(turn.size() * later.size(), kPairGrain, 1);
            workers.run(parts, [&](std::size_t part, unsigned thread) {
                Probe& mine = probes[thread];
                const std::size_t first = later.size() * part / parts, last = later.size() * (part + 1) / parts;
                for (std::size_t a : turn) {
                    workers.check();
                    mine.set(a);
                    for (std::size_t i = first; i < last; ++i) {
                        if (i % 256 == 0) workers.check();
                        if (!removed[later[i]] && mine.overlaps(later[i])) removed[later[i]] = 1;
                    }
                }
            });
        }
        return removed;
    }

private:
    static constexpr std::size_t kBlock = 256;
    // Pattern pairs per part worth handing to another thread.
    static constexpr std::size_t kPairGrain = std::size_t{1} << 14;

    // One pattern's side of the test, compared with many others.
    class Probe {
    public:
        explicit Probe(const OverlapFilter& f) : f_(f), lcs_(f.alphabet_), counts_(f.alphabet_, 0) {}

        void set(std::size_t a) {
            if (!f_.rows_) {
                for (std::size_t j = 0; j < f_.list_.length(a_); ++j) counts_[f_.list_.at(a_)[j]] = 0;
                for (std::size_t j = 0; j < f_.list_.length(a); ++j) ++counts_[f_.list_.at(a)[j]];
            }
            a_ = a;
            lcs_.set(f_.list_.at(a), f_.list_.length(a));
        }

        // Whether the pattern set last removes item b.
        bool overlaps(std::size_t b) {
            const uint32_t at_least = f_.need_[f_.list_.length(b)];
            uint32_t bound = 0;
            if (f_.rows_) {
                bound = common_count(f_.count_rows_[a_], f_.count_rows_[b]);
            } else {
                for (std::size_t h = f_.hist_start_[b]; h < f_.hist_start_[b + 1]; ++h)
                    bound += std::min(counts_[f_.hist_[h].first], f_.hist_[h].second);
            }
            if (bound < at_least) return false;
            return static_cast<uint32_t>(lcs_.with(f_.list_.at(b), f_.list_.length(b))) >= at_least;
        }

    private:
        const OverlapFilter& f_;
        LcsWith lcs_;
        std::vector<uint32_t> counts_;
        std::size_t a_ = 0;
    };

    const Listing& list_;
    std::size_t alphabet_;
    bool rows_ = false;
    std::vector<CountRow> count_rows_;
    std::vector<std::size_t> hist_start_{0};
    std::vector<std::pair<uint8_t, uint32_t>> hist_;
    std::vector<uint32_t> need_;
};

}  // namespace

std::vector<char> overlap_losers(const Listing& list, std::size_t alphabet, double max_overlap, Workers& workers) {
    // The overlap never exceeds 1, so nothing can be removed then (nor with
    // a NaN limit, which no overlap exceeds).
    if (list.size() == 0 || !(1.0 > max_overlap)) return std::vector<char>(list.size(), 0);
    return OverlapFilter(list, alphabet, max_overlap).run(workers);
}

}  // namespace qor::detail
