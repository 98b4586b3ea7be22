#include "patterns/overlap_filter.hpp"

#include <algorithm>

#include "core/simd.hpp"
#include "patterns/lcs.hpp"

namespace qor::detail {

namespace {

#if QOR_SSE2
constexpr bool kVectorCounts = true;
#else
constexpr bool kVectorCounts = false;
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
        // most pairs out cheaply: with at most 16 symbols as 16-bit counts
        // by symbol, item after item (eight items compared at a time),
        // otherwise as (id, count) pairs per item.
        columns_ = kVectorCounts && alphabet <= 16 && n > 0 && list.length(0) <= 32767;
        std::vector<uint32_t> counts(alphabet, 0);
        for (std::size_t i = 0; i < n && !columns_; ++i) {
            const uint8_t* s = list.at(i);
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
        Pending pending;
        pending.item.resize(n);
        for (std::size_t i = 0; i < n; ++i) pending.item[i] = static_cast<uint32_t>(i);
        pending.arrange(*this, 0, removed);
        std::vector<std::size_t> turn;
        // Eager teams (tests) use small blocks, so that small lists have
        // patterns after a block.
        const std::size_t block = workers.eager() ? 3 : kBlock;
        while (pending.size() != 0) {
            const std::size_t size = pending.size(), end = std::min(size, block);
            turn.clear();
            Probe& probe = probes[0];
            for (std::size_t e = 0; e < end; ++e) {
                workers.check();
                const std::size_t a = pending.item[e];
                if (removed[a]) continue;
                turn.push_back(a);
                probe.set(a);
                probe.scan(pending, e + 1, end, removed);
            }
            if (!turn.empty() && end < size) {
                const std::size_t parts = workers.parts(turn.size() * (size - end), kPairGrain, 1);
                workers.run(parts, [&](std::size_t part, unsigned thread) {
                    Probe& mine = probes[thread];
                    // Whole groups of eight items per part.
                    const std::size_t groups = (size - end + 7) / 8;
                    const std::size_t first = end + groups * part / parts * 8;
                    const std::size_t last = std::min(size, end + groups * (part + 1) / parts * 8);
                    for (std::size_t a : turn) {
                        workers.check();
                        mine.set(a);
                        mine.scan(pending, first, last, removed);
                    }
                });
            }
            pending.arrange(*this, end, removed);
        }
        return removed;
    }

private:
    static constexpr std::size_t kBlock = 256;
    // Pattern pairs per part worth handing to another thread.
    static constexpr std::size_t kPairGrain = std::size_t{1} << 14;

    // The items whose turn has not come, in list order, with the symbol
    // counts (16-bit, by symbol, item after item, in groups of eight) and
    // the common length that each needs, when the filter uses columns.
    struct Pending {
        std::vector<uint32_t> item;
        std::size_t stride = 0;
        std::vector<int16_t> column, need;

        std::size_t size() const { return item.size(); }

        // Drops the first `done` items and those removed, and lays out the
        // columns of the rest.
        void arrange(const OverlapFilter& f, std::size_t done, const std::vector<char>& removed) {
            std::size_t kept = 0;
            for (std::size_t e = done; e < item.size(); ++e)
                if (!removed[item[e]]) item[kept++] = item[e];
            item.resize(kept);
            if (!f.columns_) return;
            stride = (kept + 7) / 8 * 8;
            column.assign(f.alphabet_ * stride, 0);
            // Items past the end need more than any has.
            need.assign(stride, 32767);
            for (std::size_t e = 0; e < kept; ++e) {
                const uint8_t* s = f.list_.at(item[e]);
                const std::size_t len = f.list_.length(item[e]);
                for (std::size_t j = 0; j < len; ++j) ++column[s[j] * stride + e];
                need[e] = static_cast<int16_t>(f.need_[len]);
            }
        }
    };

    // One pattern's side of the test, compared with many others.
    class Probe {
    public:
        explicit Probe(const OverlapFilter& f) : f_(f), lcs_(f.alphabet_), counts_(f.alphabet_, 0) {}

        void set(std::size_t a) {
            for (std::size_t j = 0; j < f_.list_.length(a_); ++j) counts_[f_.list_.at(a_)[j]] = 0;
            for (std::size_t j = 0; j < f_.list_.length(a); ++j) ++counts_[f_.list_.at(a)[j]];
            a_ = a;
            lcs_.set(f_.list_.at(a), f_.list_.length(a));
        }

        // Marks the pending items [first, last) not yet removed that the
        // pattern set last removes.
        void scan(const Pending& pending, std::size_t first, std::size_t last, std::vector<char>& removed) {
#if QOR_SSE2
            if (f_.columns_) {
                scan_columns(pending, first, last, removed);
                return;
            }
#endif
            for (std::size_t e = first; e < last; ++e) {
                const std::size_t b = pending.item[e];
                if (removed[b]) continue;
                const uint32_t at_least = f_.need_[f_.list_.length(b)];
                uint32_t bound = 0;
                for (std::size_t h = f_.hist_start_[b]; h < f_.hist_start_[b + 1]; ++h)
                    bound += std::min(counts_[f_.hist_[h].first], f_.hist_[h].second);
                if (bound >= at_least && common(b) >= at_least) removed[b] = 1;
            }
        }

    private:
        uint32_t common(std::size_t b) { return static_cast<uint32_t>(lcs_.with(f_.list_.at(b), f_.list_.length(b))); }

#if QOR_SSE2
        // Eight items at a time: the bound of each, from the columns of
        // counts, against the common length it needs; the common
        // subsequence only for the items that pass.
        void scan_columns(const Pending& pending, std::size_t first, std::size_t last, std::vector<char>& removed) {
            const std::size_t symbols = f_.alphabet_;
            __m128i mine[16];
            for (std::size_t s = 0; s < symbols; ++s) mine[s] = _mm_set1_epi16(static_cast<int16_t>(counts_[s]));
            const int16_t* column = pending.column.data();
            for (std::size_t e0 = first / 8 * 8; e0 < last; e0 += 8) {
                __m128i bound = _mm_setzero_si128();
                for (std::size_t s = 0; s < symbols; ++s) {
                    const __m128i theirs =
                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(column + s * pending.stride + e0));
                    bound = _mm_add_epi16(bound, _mm_min_epi16(mine[s], theirs));
                }
                const __m128i need = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pending.need.data() + e0));
                // Two bits per item whose bound reaches what it needs.
                const unsigned pass = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi16(bound, need))) & 0xFFFFu;
                if (pass == 0) continue;
                for (std::size_t e = std::max(e0, first); e < std::min(e0 + 8, last); ++e) {
                    const std::size_t b = pending.item[e];
                    if (!(pass >> (2 * (e - e0)) & 1u) || removed[b]) continue;
                    if (common(b) >= f_.need_[f_.list_.length(b)]) removed[b] = 1;
                }
            }
        }
#endif

        const OverlapFilter& f_;
        LcsWith lcs_;
        std::vector<uint32_t> counts_;
        std::size_t a_ = 0;
    };

    const Listing& list_;
    std::size_t alphabet_;
    bool columns_ = false;
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
