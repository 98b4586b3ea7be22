#include "patterns/pattern_miner.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "core/simd.hpp"

namespace qor {

namespace {

constexpr uint16_t kNoSlot = 0xFFFF;

// The words re-encoded as dense symbol ids (0 = smallest symbol present, in
// signed 8-bit order) and concatenated, each followed by a separator id that
// no pattern contains. A symbol is addressed by its global position.
struct Text {
    std::vector<uint16_t> ids;
    std::vector<uint32_t> word_of;   // global position -> word index
    std::vector<std::size_t> start;  // word g is ids[start[g] .. start[g + 1]), separator last
    std::vector<char> symbols;       // dense id -> original symbol
    uint16_t separator = 0;

    explicit Text(const std::vector<Word>& words) {
        bool seen[256] = {};
        std::size_t total = 0;
        for (const Word& w : words) {
            total += w.size() + 1;
            for (char c : w) seen[static_cast<uint8_t>(c)] = true;
        }
        // Positions, global ones included, are 32-bit signed values.
        if (total > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
            throw std::length_error("vector too long");
        uint16_t rank[256] = {};
        for (int v = -128; v < 128; ++v) {
            const uint8_t byte = static_cast<uint8_t>(static_cast<signed char>(v));
            if (seen[byte]) {
                rank[byte] = static_cast<uint16_t>(symbols.size());
                symbols.push_back(static_cast<char>(byte));
            }
        }
        separator = static_cast<uint16_t>(symbols.size());
        ids.reserve(total);
        word_of.reserve(total);
        start.reserve(words.size() + 1);
        for (std::size_t g = 0; g < words.size(); ++g) {
            start.push_back(ids.size());
            for (char c : words[g]) ids.push_back(rank[static_cast<uint8_t>(c)]);
            ids.push_back(separator);
            word_of.resize(ids.size(), static_cast<uint32_t>(g));
        }
        start.push_back(ids.size());
        stride = start.size() > 1 ? start[1] : 0;
        for (std::size_t g = 1; g + 1 < start.size() && stride != 0; ++g)
            if (start[g + 1] - start[g] != stride) stride = 0;
        if (stride < 2) stride = 0;  // empty words: no pattern to count
        if (stride != 0) reciprocal = ~uint64_t{0} / stride + 1;
    }

    // When every word has the same length (at least 1), `stride` is that
    // length plus one (its separator) and word ends are computed; otherwise
    // it is 0.
    std::size_t stride = 0;
    uint64_t reciprocal = 0;

    // Global position just past the word that holds position gp.
    std::size_t word_end(uint32_t gp) const {
#if defined(__SIZEOF_INT128__)
        if (stride != 0) {
            // gp / stride by multiplication, exact for every 32-bit gp.
            const auto q = static_cast<std::size_t>((static_cast<unsigned __int128>(reciprocal) * gp) >> 64);
            return (q + 1) * stride;
        }
#endif
        return start[word_of[gp] + 1];
    }
};

// The patterns of one length that passed the support test, in ascending
// pattern order. Entry i is the entry parent[i] of the level below extended
// by the symbol last[i]; suffix[i] is the entry of the level below that
// equals it without its first symbol. Its occurrences are the global start
// positions at[occ[i] .. occ[i + 1]), ascending.
struct Level {
    std::vector<int32_t> parent, suffix;
    std::vector<uint16_t> last;
    std::vector<std::size_t> occ{0};
    std::vector<uint32_t> at;
    // Entries of the next level whose parent is entry i:
    // [children[i], children[i + 1]).
    std::vector<uint32_t> children;

    std::size_t size() const { return last.size(); }

    void release_occurrences() {
        std::vector<std::size_t>().swap(occ);
        std::vector<uint32_t>().swap(at);
    }
};

// Per-thread scratch of Search::extend_range, indexed by candidate slot.
struct Scratch {
    std::vector<uint16_t> slot_of, slot;
    std::vector<std::size_t> count, support, end_of_word, dest;
    std::vector<int32_t> joined;
};

// Occurrences per part worth handing to another thread.
constexpr std::size_t kOccurrenceGrain = std::size_t{1} << 15;

class Search {
public:
    Search(const PatternMiner& m, const std::vector<Word>& words, Workers& workers)
        : miner_(m), text_(words), levels_(2), workers_(workers) {}

    bool passes(std::size_t support) const {
        return support > 0 && !(miner_.min_count > static_cast<double>(support));
    }

    // The level of single symbols: occurrences and words counted in one pass
    // over the text, then the positions of the passing symbols, in symbol
    // order, sorted into their runs.
    void scan_symbols() {
        const std::size_t ids = text_.symbols.size() + 1;  // the separator included
        std::vector<std::size_t> count(ids, 0), support(ids, 0), dest(ids, SIZE_MAX);
        std::vector<std::size_t> last_word(ids, SIZE_MAX);
        for (std::size_t g = 0; g + 1 < text_.start.size(); ++g) {
            for (std::size_t gp = text_.start[g]; gp < text_.start[g + 1]; ++gp) {
                const uint16_t c = text_.ids[gp];
                ++count[c];
                if (last_word[c] != g) {
                    last_word[c] = g;
                    ++support[c];
                }
            }
        }
        Level& level = levels_[1];
        std::size_t total = 0;
        for (std::size_t c = 0; c + 1 < ids; ++c) {
            if (!passes(support[c])) continue;
            dest[c] = total;
            total += count[c];
            level.parent.push_back(-1);
            level.suffix.push_back(-1);
            level.last.push_back(static_cast<uint16_t>(c));
            level.occ.push_back(total);
        }
        level.at.resize(total);
        for (std::size_t gp = 0; gp < text_.ids.size(); ++gp) {
            std::size_t& d = dest[text_.ids[gp]];
            if (d != SIZE_MAX) level.at[d++] = static_cast<uint32_t>(gp);
        }
    }

    // Builds the level of patterns of length n from the level of length n - 1:
    // each pattern p there is extended by the last symbol of every pattern q
    // whose prefix is p without its first symbol, in the order of q.
    // Consecutive runs of p are extended in parallel, each into a fragment
    // of the level, and the fragments are joined in order.
    void extend(int32_t n) {
        const Level& below = levels_[static_cast<std::size_t>(n) - 1];
        const std::size_t parts = workers_.parts(below.at.size(), kOccurrenceGrain);
        const std::vector<std::size_t> bounds = split_by_weight(below.occ.data(), below.size(), parts);
        if (scratch_.size() < workers_.size()) scratch_.resize(workers_.size());
        Level next;
        if (parts == 1) {
            next.at.reserve(below.at.size());
            extend_range(n, 0, below.size(), next, scratch_[0]);
            if (next.at.capacity() > 2 * next.at.size()) next.at.shrink_to_fit();
        } else {
            std::vector<Level> fragments(parts);
            workers_.run(parts, [&](std::size_t part, unsigned thread) {
                Level& f = fragments[part];
                f.at.reserve(below.occ[bounds[part + 1]] - below.occ[bounds[part]]);
                extend_range(n, bounds[part], bounds[part + 1], f, scratch_[thread]);
            });
            join(fragments, next);
        }
        Level& done = levels_[static_cast<std::size_t>(n) - 1];
        done.children.assign(done.size() + 1, 0);
        for (int32_t parent : next.parent) ++done.children[static_cast<std::size_t>(parent) + 1];
        for (std::size_t i = 1; i < done.children.size(); ++i) done.children[i] += done.children[i - 1];
        levels_.push_back(std::move(next));
    }

    // Entries [p0, p1) of level n - 1 extended, appended to `next`.
    void extend_range(int32_t n, std::size_t p0, std::size_t p1, Level& next, Scratch& sc) const {
        const Level& below = levels_[static_cast<std::size_t>(n) - 1];
        const Level* below2 = n >= 3 ? &levels_[static_cast<std::size_t>(n) - 2] : nullptr;
        const std::size_t alphabet = text_.symbols.size();
        sc.slot_of.assign(alphabet + 1, kNoSlot);
        sc.count.resize(alphabet);
        sc.support.resize(alphabet);
        sc.end_of_word.resize(alphabet);
        sc.dest.resize(alphabet);
        uint16_t* slot_of = sc.slot_of.data();
        std::size_t *count = sc.count.data(), *support = sc.support.data();
        std::size_t *end_of_word = sc.end_of_word.data(), *dest = sc.dest.data();
        std::vector<int32_t>& joined = sc.joined;
        const uint16_t* ids = text_.ids.data() + (n - 1);

        for (std::size_t p = p0; p < p1; ++p) {
            std::size_t first = 0, end = below.size();
            if (below2) {
                const auto s = static_cast<std::size_t>(below.suffix[p]);
                first = below2->children[s];
                end = below2->children[s + 1];
            }
            if (first == end) continue;
            joined.clear();
            for (std::size_t q = first; q < end; ++q) {
                const std::size_t k = joined.size();
                slot_of[below.last[q]] = static_cast<uint16_t>(k);
                count[k] = support[k] = end_of_word[k] = 0;
                joined.push_back(static_cast<int32_t>(q));
            }
            // Classify every occurrence of p by the symbol that follows it
            // (at most the separator that ends its word, which has no slot),
            // counting occurrences and words per candidate. Occurrences are
            // ascending, so an occurrence starts a new word for its candidate
            // exactly when it lies past the end of the previous one's word.
            const uint32_t* at = below.at.data() + below.occ[p];
            const std::size_t m = below.occ[p + 1] - below.occ[p];
            sc.slot.resize(m);
            uint16_t* slot = sc.slot.data();
            for (std::size_t t = 0; t < m; ++t) {
                const uint32_t gp = at[t];
#if defined(__GNUC__) || defined(__clang__)
                // The symbols after successive occurrences are far apart.
                if (t + 16 < m) __builtin_prefetch(ids + at[t + 16]);
#endif
                const uint16_t k = slot_of[ids[gp]];
                slot[t] = k;
                if (k == kNoSlot) continue;
                ++count[k];
                if (gp >= end_of_word[k]) {
                    ++support[k];
                    end_of_word[k] = text_.word_end(gp);
                }
            }
            // The passing candidates, in order, get consecutive runs of the
            // next level's occurrences; copy each occurrence to its run.
            std::size_t total = next.at.size();
            for (std::size_t k = 0; k < joined.size(); ++k) {
                const uint16_t symbol = below.last[static_cast<std::size_t>(joined[k])];
                slot_of[symbol] = kNoSlot;
                if (!passes(support[k])) {
                    dest[k] = SIZE_MAX;
                    continue;
                }
                dest[k] = total;
                total += count[k];
                next.parent.push_back(static_cast<int32_t>(p));
                next.suffix.push_back(joined[k]);
                next.last.push_back(symbol);
                next.occ.push_back(total);
            }
            if (total == next.at.size()) continue;
            next.at.resize(total);
            uint32_t* out = next.at.data();
            for (std::size_t t = 0; t < m; ++t) {
                const uint16_t k = slot[t];
                if (k != kNoSlot && dest[k] != SIZE_MAX) out[dest[k]++] = at[t];
            }
        }
    }

    // Concatenates level fragments, in order, into `next` (empty).
    void join(std::vector<Level>& fragments, Level& next) {
        std::vector<std::size_t> at_before(fragments.size() + 1, 0);
        std::size_t entries = 0;
        for (std::size_t f = 0; f < fragments.size(); ++f) {
            at_before[f + 1] = at_before[f] + fragments[f].at.size();
            entries += fragments[f].size();
        }
        next.parent.reserve(entries);
        next.suffix.reserve(entries);
        next.last.reserve(entries);
        next.occ.reserve(entries + 1);
        for (std::size_t f = 0; f < fragments.size(); ++f) {
            const Level& part = fragments[f];
            next.parent.insert(next.parent.end(), part.parent.begin(), part.parent.end());
            next.suffix.insert(next.suffix.end(), part.suffix.begin(), part.suffix.end());
            next.last.insert(next.last.end(), part.last.begin(), part.last.end());
            for (std::size_t i = 1; i < part.occ.size(); ++i) next.occ.push_back(at_before[f] + part.occ[i]);
        }
        next.at.resize(at_before.back());
        workers_.run(fragments.size(), [&](std::size_t f, unsigned) {
            std::copy(fragments[f].at.begin(), fragments[f].at.end(), next.at.begin() + static_cast<std::ptrdiff_t>(at_before[f]));
            std::vector<uint32_t>().swap(fragments[f].at);
        });
    }

    void run(int32_t& cur_len) {
        scan_symbols();
        cur_len = 2;
        for (;;) {
            if (levels_[static_cast<std::size_t>(cur_len) - 1].size() == 0) break;
            if (miner_.max_len != 0 && cur_len > miner_.max_len) break;
            extend(cur_len);
            // A level shorter than min_len is never listed; once the next
            // level is built its occurrences are no longer needed.
            if (cur_len - 1 < miner_.min_len) levels_[static_cast<std::size_t>(cur_len) - 1].release_occurrences();
            ++cur_len;
        }
    }

    std::size_t level_count() const { return levels_.size(); }
    const Level& level(std::size_t k) const { return levels_[k]; }

    // Dense ids of entry i of level k, first symbol first.
    void ids_of(std::size_t k, std::size_t i, uint8_t* out) const {
        for (std::size_t len = k; len > 0; --len) {
            const Level& l = levels_[len];
            out[len - 1] = static_cast<uint8_t>(l.last[i]);
            i = static_cast<std::size_t>(l.parent[i]);
        }
    }

    Pattern pattern_of(std::size_t k, std::size_t i) const {
        Pattern p(k);
        ids_of(k, i, reinterpret_cast<uint8_t*>(p.data()));
        for (char& c : p) c = text_.symbols[static_cast<uint8_t>(c)];
        return p;
    }

    // Word index and start position within the word of a global position.
    std::pair<int32_t, int32_t> locate(uint32_t gp) const {
        const uint32_t g = text_.word_of[gp];
        return {static_cast<int32_t>(g), static_cast<int32_t>(gp - text_.start[g])};
    }

    std::size_t alphabet() const { return text_.symbols.size(); }

private:
    const PatternMiner& miner_;
    Text text_;
    std::vector<Level> levels_;
    Workers& workers_;
    std::vector<Scratch> scratch_;
};

// Length of the longest common subsequence with one fixed pattern, by the
// bit-parallel recurrence (Allison-Dix, Hyyro): bit j of the state stands
// for position j of the fixed pattern, 64 positions a word.
class LcsWith {
public:
    explicit LcsWith(std::size_t alphabet) : masks_(alphabet) {}

    void set(const uint8_t* p, std::size_t m) {
        for (uint8_t c : used_) std::fill(masks_[c].begin(), masks_[c].end(), 0);
        used_.clear();
        m_ = m;
        words_ = (m + 63) / 64;
        for (std::size_t j = 0; j < m; ++j) {
            std::vector<uint64_t>& mask = masks_[p[j]];
            if (mask.size() < words_) mask.resize(words_, 0);
            if (std::none_of(mask.begin(), mask.end(), [](uint64_t w) { return w != 0; })) used_.push_back(p[j]);
            mask[j / 64] |= uint64_t{1} << (j % 64);
        }
        state_.resize(words_);
    }

    int32_t with(const uint8_t* r, std::size_t n) {
        std::fill(state_.begin(), state_.end(), ~uint64_t{0});
        for (std::size_t i = 0; i < n; ++i) {
            const std::vector<uint64_t>& mask = masks_[r[i]];
            uint64_t carry = 0;
            for (std::size_t w = 0; w < words_ && w < mask.size(); ++w) {
                const uint64_t v = state_[w], u = v & mask[w];
                const uint64_t x = v + u, y = x + carry;
                carry = static_cast<uint64_t>(x < v) | static_cast<uint64_t>(y < x);
                state_[w] = y | (v & ~u);
            }
            // Words past the end of this symbol's mask have u = 0: only a
            // carry can change them.
            for (std::size_t w = mask.size(); carry && w < words_; ++w) {
                const uint64_t y = state_[w] + carry;
                carry = static_cast<uint64_t>(y < state_[w]);
                state_[w] = y | state_[w];
            }
        }
        std::size_t zeros = 0;
        for (std::size_t w = 0; w < words_; ++w) {
            const std::size_t bits = std::min<std::size_t>(64, m_ - 64 * w);
            const uint64_t low = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
            zeros += bits - popcount(state_[w] & low);
        }
        return static_cast<int32_t>(zeros);
    }

private:
    static std::size_t popcount(uint64_t x) {
        std::size_t n = 0;
        for (; x; x &= x - 1) ++n;
        return n;
    }

    std::vector<std::vector<uint64_t>> masks_;
    std::vector<uint8_t> used_;
    std::vector<uint64_t> state_;
    std::size_t m_ = 0, words_ = 0;
};

// The listed patterns, longest first, each a run of dense ids.
struct Listing {
    std::vector<std::pair<std::size_t, std::size_t>> entry;  // (level, index)
    std::vector<std::size_t> start{0};                       // ids of item i: ids[start[i] .. start[i + 1])
    std::vector<uint8_t> ids;
    std::size_t size() const { return entry.size(); }
    std::size_t length(std::size_t i) const { return start[i + 1] - start[i]; }
    const uint8_t* at(std::size_t i) const { return ids.data() + start[i]; }
};

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
    OverlapFilter(const Listing& list, std::size_t alphabet, double max_overlap)
        : list_(list), alphabet_(alphabet) {
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
                if (removed[a]) continue;
                turn.push_back(a);
                probe.set(a);
                for (std::size_t b = a + 1; b < a1; ++b)
                    if (!removed[b] && probe.overlaps(b)) removed[b] = 1;
            }
            later.erase(std::remove_if(later.begin(), later.end(),
                                       [&](std::size_t b) { return b < a1 || removed[b]; }),
                        later.end());
            if (turn.empty() || later.empty()) continue;
            const std::size_t parts = workers.parts(turn.size() * later.size(), kPairGrain, 1);
            workers.run(parts, [&](std::size_t part, unsigned thread) {
                Probe& mine = probes[thread];
                const std::size_t first = later.size() * part / parts, last = later.size() * (part + 1) / parts;
                for (std::size_t a : turn) {
                    mine.set(a);
                    for (std::size_t i = first; i < last; ++i)
                        if (!removed[later[i]] && mine.overlaps(later[i])) removed[later[i]] = 1;
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

std::vector<char> overlap_losers(const Listing& list, std::size_t alphabet, double max_overlap, Workers& workers) {
    // The overlap never exceeds 1, so nothing can be removed then.
    if (list.size() == 0 || !(1.0 > max_overlap)) return std::vector<char>(list.size(), 0);
    return OverlapFilter(list, alphabet, max_overlap).run(workers);
}

}  // namespace

int32_t PatternMiner::lcs_length(const Pattern& a, const Pattern& b) {
    LcsWith lcs(256);
    lcs.set(reinterpret_cast<const uint8_t*>(a.data()), a.size());
    return lcs.with(reinterpret_cast<const uint8_t*>(b.data()), b.size());
}

void PatternMiner::mine(const std::vector<Word>& words, Workers& workers) {
    frequent.clear();
    levels.assign(2, {});
    cur_len = 2;
    min_count = static_cast<double>(words.size()) * minsup;

    Search search(*this, words, workers);
    search.run(cur_len);

    levels.assign(search.level_count(), {});
    for (std::size_t k = 1; k < search.level_count(); ++k) {
        const std::size_t count = search.level(k).size();
        levels[k].reserve(count);
        for (std::size_t i = 0; i < count; ++i) levels[k].push_back(search.pattern_of(k, i));
    }

    // Length filter: list the patterns of min_len symbols or more, longest
    // first, each length in ascending pattern order.
    Listing list;
    for (int64_t k = cur_len - 1; k >= 1; --k) {
        if (k < min_len) continue;
        const std::size_t len = static_cast<std::size_t>(k);
        const Level& level = search.level(len);
        for (std::size_t i = 0; i < level.size(); ++i) {
            list.entry.emplace_back(len, i);
            list.ids.resize(list.ids.size() + len);
            search.ids_of(len, i, list.ids.data() + list.ids.size() - len);
            list.start.push_back(list.ids.size());
        }
    }

    const std::vector<char> removed = overlap_losers(list, search.alphabet(), max_overlap, workers);
    // The kept patterns become motifs, in parallel parts of about equal
    // numbers of occurrences.
    std::vector<std::size_t> kept, before{0};
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (removed[i]) continue;
        const auto [k, index] = list.entry[i];
        kept.push_back(i);
        before.push_back(before.back() + search.level(k).occ[index + 1] - search.level(k).occ[index]);
    }
    const std::size_t parts = workers.parts(before.back(), kOccurrenceGrain);
    const std::vector<std::size_t> bounds = split_by_weight(before.data(), kept.size(), parts);
    std::vector<std::vector<Motif>> built(parts);
    workers.run(parts, [&](std::size_t part, unsigned) {
        built[part].reserve(bounds[part + 1] - bounds[part]);
        for (std::size_t j = bounds[part]; j < bounds[part + 1]; ++j) {
            const auto [k, index] = list.entry[kept[j]];
            const Level& level = search.level(k);
            Motif motif(search.pattern_of(k, index));
            motif.indexes.positions.reserve(level.occ[index + 1] - level.occ[index]);
            for (std::size_t t = level.occ[index]; t < level.occ[index + 1]; ++t) {
                const auto [word, position] = search.locate(level.at[t]);
                motif.indexes.add(word, position);
            }
            built[part].push_back(std::move(motif));
        }
    });
    for (std::vector<Motif>& part : built) {
        for (Motif& motif : part) {
            Pattern key = motif.pattern;
            frequent.emplace(std::move(key), std::move(motif));
        }
    }
}

void PatternMiner::mine(const std::vector<Word>& words) {
    Workers workers;
    mine(words, workers);
}

}  // namespace qor
