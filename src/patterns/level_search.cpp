#include "patterns/level_search.hpp"

#include <algorithm>
#include <cstdint>

namespace qor::detail {

namespace {

constexpr uint16_t kNoSlot = 0xFFFF;

// Gives the candidates that may extend the current pattern, the entries
// [first, end) of the level below, consecutive slots with zero counts.
void open_slots(const Level& below, std::size_t first, std::size_t end, Scratch& sc) {
    sc.joined.clear();
    for (std::size_t q = first; q < end; ++q) {
        const std::size_t k = sc.joined.size();
        sc.slot_of[below.last[q]] = static_cast<uint16_t>(k);
        sc.count[k] = sc.support[k] = sc.end_of_word[k] = 0;
        sc.joined.push_back(static_cast<int32_t>(q));
    }
}

// Copies each of the m occurrences at `at` whose candidate passed to the
// next free place of that candidate's run; `total` is the level's new
// occurrence count.
void copy_occurrences(const uint32_t* at, std::size_t m, std::size_t total, Level& next, Scratch& sc) {
    next.at.resize(total);
    uint32_t* out = next.at.data();
    const uint16_t* slot = sc.slot.data();
    std::size_t* dest = sc.dest.data();
    for (std::size_t t = 0; t < m; ++t) {
        const uint16_t k = slot[t];
        if (k != kNoSlot && dest[k] != SIZE_MAX) out[dest[k]++] = at[t];
    }
}

}  // namespace

void Search::run(int32_t& cur_len) {
    scan_symbols();
    cur_len = 2;
    for (;;) {
        if (levels_[static_cast<std::size_t>(cur_len) - 1].size() == 0) break;
        if (miner_.max_len != 0 && cur_len > miner_.max_len) break;
        workers_.check();
        extend(cur_len);
        // A level shorter than min_len is never listed; once the next
        // level is built its occurrences are no longer needed. Of the
        // listed levels, most keep only their counts: the positions of
        // the few patterns kept are found again from an ancestor's.
        const int64_t done = cur_len - 1;
        const int64_t first_listed = std::max<int64_t>(miner_.min_len, 1);
        if (done < miner_.min_len)
            levels_[static_cast<std::size_t>(done)].release_occurrences();
        else if (static_cast<std::size_t>(done - first_listed) % kPositionsEvery != 0)
            levels_[static_cast<std::size_t>(done)].release_positions();
        ++cur_len;
    }
}

// The level of single symbols: occurrences and words counted in one pass
// over the text, then the positions of the passing symbols, in symbol
// order, sorted into their runs. Both passes run on consecutive ranges of
// words in parallel; each range's positions of a symbol follow those of
// the ranges before, so the runs stay ascending.
void Search::scan_symbols() {
    const std::size_t ids = text_.symbols.size() + 1;  // the separator included
    const std::size_t words = text_.start.size() - 1;
    const std::size_t parts = workers_.parts(text_.ids.size(), kOccurrenceGrain);
    const std::vector<std::size_t> bounds = split_by_weight(text_.start.data(), words, parts);
    std::vector<std::size_t> count(parts * ids, 0), support(parts * ids, 0);
    workers_.run(parts, [&](std::size_t part, unsigned) {
        std::size_t* n = count.data() + part * ids;
        std::size_t* w = support.data() + part * ids;
        std::vector<std::size_t> last_word(ids, SIZE_MAX);
        for (std::size_t g = bounds[part]; g < bounds[part + 1]; ++g) {
            if (g % 4096 == 0) workers_.check();
            for (std::size_t gp = text_.start[g]; gp < text_.start[g + 1]; ++gp) {
                const uint16_t c = text_.ids[gp];
                ++n[c];
                if (last_word[c] != g) {
                    last_word[c] = g;
                    ++w[c];
                }
            }
        }
    });
    Level& level = levels_[1];
    std::vector<std::size_t> dest(parts * ids, SIZE_MAX);
    std::size_t total = 0;
    for (std::size_t c = 0; c + 1 < ids; ++c) {
        std::size_t words_with = 0;
        for (std::size_t part = 0; part < parts; ++part) words_with += support[part * ids + c];
        if (!passes(words_with)) continue;
        for (std::size_t part = 0; part < parts; ++part) {
            dest[part * ids + c] = total;
            total += count[part * ids + c];
        }
        level.parent.push_back(-1);
        level.suffix.push_back(-1);
        level.last.push_back(static_cast<uint16_t>(c));
        level.occ.push_back(total);
    }
    level.at.resize(total);
    workers_.run(parts, [&](std::size_t part, unsigned) {
        std::size_t* d = dest.data() + part * ids;
        uint32_t* at = level.at.data();
        for (std::size_t gp = text_.start[bounds[part]]; gp < text_.start[bounds[part + 1]]; ++gp) {
            std::size_t& to = d[text_.ids[gp]];
            if (to != SIZE_MAX) at[to++] = static_cast<uint32_t>(gp);
        }
    });
}

// Builds the level of patterns of length n from the level of length n - 1:
// each pattern p there is extended by the last symbol of every pattern q
// whose prefix is p without its first symbol, in the order of q.
// Consecutive runs of p are extended in parallel, each into a fragment
// of the level, and the fragments are joined in order.
void Search::extend(int32_t n) {
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
void Search::extend_range(int32_t n, std::size_t p0, std::size_t p1, Level& next, Scratch& sc) const {
    const Level& below = levels_[static_cast<std::size_t>(n) - 1];
    const Level* below2 = n >= 3 ? &levels_[static_cast<std::size_t>(n) - 2] : nullptr;
    const std::size_t alphabet = text_.symbols.size();
    sc.slot_of.assign(alphabet + 1, kNoSlot);
    sc.count.resize(alphabet);
    sc.support.resize(alphabet);
    sc.end_of_word.resize(alphabet);
    sc.dest.resize(alphabet);
    // The symbol after an occurrence of a pattern of n - 1 symbols.
    const uint16_t* ids = text_.ids.data() + (n - 1);
    for (std::size_t p = p0; p < p1; ++p) {
        if (p % 64 == 0) workers_.check();
        // The candidates: the patterns q of the level below whose prefix
        // is p without its first symbol (all of them for single symbols).
        std::size_t first = 0, end = below.size();
        if (below2) {
            const auto s = static_cast<std::size_t>(below.suffix[p]);
            first = below2->children[s];
            end = below2->children[s + 1];
        }
        if (first == end) continue;
        open_slots(below, first, end, sc);
        const uint32_t* at = below.at.data() + below.occ[p];
        const std::size_t m = below.occ[p + 1] - below.occ[p];
        classify(at, m, ids, sc);
        const std::size_t total = place(p, below, next, sc);
        if (total != next.at.size()) copy_occurrences(at, m, total, next, sc);
    }
}

// Classifies every occurrence of p by the symbol that follows it (at most
// the separator that ends its word, which has no slot), counting
// occurrences and words per candidate. Occurrences are ascending, so an
// occurrence starts a new word for its candidate exactly when it lies past
// the end of the previous one's word.
void Search::classify(const uint32_t* at, std::size_t m, const uint16_t* ids, Scratch& sc) const {
    sc.slot.resize(m);
    uint16_t* slot = sc.slot.data();
    const uint16_t* slot_of = sc.slot_of.data();
    std::size_t *count = sc.count.data(), *support = sc.support.data(), *end_of_word = sc.end_of_word.data();
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
}

// The passing candidates of p, in order, become entries of the next level
// and get consecutive runs of its occurrences (dest, SIZE_MAX for the
// others); the slots are closed again. Returns the new occurrence count.
std::size_t Search::place(std::size_t p, const Level& below, Level& next, Scratch& sc) const {
    std::size_t total = next.at.size();
    for (std::size_t k = 0; k < sc.joined.size(); ++k) {
        const uint16_t symbol = below.last[static_cast<std::size_t>(sc.joined[k])];
        sc.slot_of[symbol] = kNoSlot;
        if (!passes(sc.support[k])) {
            sc.dest[k] = SIZE_MAX;
            continue;
        }
        sc.dest[k] = total;
        total += sc.count[k];
        next.parent.push_back(static_cast<int32_t>(p));
        next.suffix.push_back(sc.joined[k]);
        next.last.push_back(symbol);
        next.occ.push_back(total);
    }
    return total;
}

void Search::positions_of(std::size_t k, std::size_t i, std::vector<uint32_t>& out) const {
    const Level& level = levels_[k];
    out.clear();
    out.reserve(level.occ[i + 1] - level.occ[i]);
    // The symbols after the ancestor's, last first.
    std::vector<uint16_t> rest;
    std::size_t j = k, a = i;
    while (levels_[j].positions_released) {
        rest.push_back(levels_[j].last[a]);
        a = static_cast<std::size_t>(levels_[j].parent[a]);
        --j;
    }
    const Level& kept = levels_[j];
    const uint16_t* ids = text_.ids.data();
    for (std::size_t t = kept.occ[a]; t < kept.occ[a + 1]; ++t) {
        const uint32_t gp = kept.at[t];
        // In text order: a separator ends the comparison before the end of
        // the text.
        std::size_t s = rest.size();
        while (s > 0 && ids[gp + k - s] == rest[s - 1]) --s;
        if (s == 0) out.push_back(gp);
    }
}

// Concatenates level fragments, in order, into `next` (empty).
void Search::join(std::vector<Level>& fragments, Level& next) {
    const std::size_t parts = fragments.size();
    std::vector<std::size_t> at_before(parts + 1, 0);
    std::size_t entries = 0;
    for (std::size_t f = 0; f < parts; ++f) {
        at_before[f + 1] = at_before[f] + fragments[f].at.size();
        entries += fragments[f].size();
    }
    next.parent.reserve(entries);
    next.suffix.reserve(entries);
    next.last.reserve(entries);
    next.occ.reserve(entries + 1);
    for (std::size_t f = 0; f < parts; ++f) {
        const Level& part = fragments[f];
        next.parent.insert(next.parent.end(), part.parent.begin(), part.parent.end());
        next.suffix.insert(next.suffix.end(), part.suffix.begin(), part.suffix.end());
        next.last.insert(next.last.end(), part.last.begin(), part.last.end());
        for (std::size_t i = 1; i < part.occ.size(); ++i) next.occ.push_back(at_before[f] + part.occ[i]);
    }
    next.at.resize(at_before.back());
    workers_.run(parts, [&](std::size_t f, unsigned) {
        std::copy(fragments[f].at.begin(), fragments[f].at.end(),
                  next.at.begin() + static_cast<std::ptrdiff_t>(at_before[f]));
        decltype(fragments[f].at)().swap(fragments[f].at);
    });
}

}  // namespace qor::detail
