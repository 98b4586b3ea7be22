#include "pattern_miner.hpp"

#include <algorithm>

namespace qor {

namespace {

constexpr uint16_t kNoSlot = 0xFFFF;

// The words re-encoded as dense symbol ids (0 = smallest symbol present, in
// signed 8-bit order), concatenated.
struct Text {
    std::vector<uint8_t> ids;
    std::vector<std::size_t> start;  // word g is ids[start[g] .. start[g + 1])
    std::vector<char> symbols;       // dense id -> original symbol

    explicit Text(const std::vector<Word>& words) {
        bool seen[256] = {};
        std::size_t total = 0;
        for (const Word& w : words) {
            total += w.size();
            for (char c : w) seen[static_cast<uint8_t>(c)] = true;
        }
        uint8_t rank[256] = {};
        for (int v = -128; v < 128; ++v) {
            const uint8_t byte = static_cast<uint8_t>(static_cast<signed char>(v));
            if (seen[byte]) {
                rank[byte] = static_cast<uint8_t>(symbols.size());
                symbols.push_back(static_cast<char>(byte));
            }
        }
        ids.reserve(total);
        start.reserve(words.size() + 1);
        start.push_back(0);
        for (const Word& w : words) {
            for (char c : w) ids.push_back(rank[static_cast<uint8_t>(c)]);
            start.push_back(ids.size());
        }
    }
    std::size_t length(std::size_t g) const { return start[g + 1] - start[g]; }
};

// The patterns of one length that passed the support test, in ascending
// pattern order. Entry i is the entry parent[i] of the level below extended
// by the symbol last[i]; suffix[i] is the entry of the level below that
// equals it without its first symbol. Occurrences of entry i are
// (word[t], pos[t]) for t in [occ[i], occ[i + 1]), ordered by word, then
// position.
struct Level {
    std::vector<int32_t> parent, suffix;
    std::vector<uint8_t> last;
    std::vector<std::size_t> occ{0};
    std::vector<int32_t> word, pos;
    // Entries of the next level whose parent is entry i:
    // [children[i], children[i + 1]).
    std::vector<uint32_t> children;

    std::size_t size() const { return last.size(); }

    void add(int32_t parent_index, int32_t suffix_index, uint8_t symbol) {
        parent.push_back(parent_index);
        suffix.push_back(suffix_index);
        last.push_back(symbol);
        occ.push_back(word.size());
    }
    void add_occurrence(int32_t g, int32_t p) {
        word.push_back(g);
        pos.push_back(p);
        ++occ.back();
    }
    void release_occurrences() {
        std::vector<std::size_t>().swap(occ);
        std::vector<int32_t>().swap(word);
        std::vector<int32_t>().swap(pos);
    }
};

class Search {
public:
    Search(const PatternMiner& m, const std::vector<Word>& words)
        : miner_(m), text_(words), levels_(2) {}

    bool passes(std::size_t support) const {
        return support > 0 && !(miner_.min_count > static_cast<double>(support));
    }

    void scan_symbols() {
        const std::size_t alphabet = text_.symbols.size();
        std::vector<std::size_t> count(alphabet, 0), support(alphabet, 0);
        std::vector<int64_t> last_word(alphabet, -1);
        for (std::size_t g = 0; g + 1 < text_.start.size(); ++g) {
            for (std::size_t i = text_.start[g]; i < text_.start[g + 1]; ++i) {
                const uint8_t c = text_.ids[i];
                ++count[c];
                if (last_word[c] != static_cast<int64_t>(g)) {
                    last_word[c] = static_cast<int64_t>(g);
                    ++support[c];
                }
            }
        }
        Level& level = levels_[1];
        std::vector<std::size_t> slot(alphabet, SIZE_MAX);
        std::size_t total = 0;
        for (std::size_t c = 0; c < alphabet; ++c) {
            if (!passes(support[c])) continue;
            slot[c] = level.size();
            level.add(-1, -1, static_cast<uint8_t>(c));
            total += count[c];
            level.occ.back() = total;
        }
        level.word.resize(total);
        level.pos.resize(total);
        std::vector<std::size_t> fill(level.occ.begin(), level.occ.end() - 1);
        for (std::size_t g = 0; g + 1 < text_.start.size(); ++g) {
            const std::size_t base = text_.start[g];
            for (std::size_t i = base; i < text_.start[g + 1]; ++i) {
                const std::size_t s = slot[text_.ids[i]];
                if (s == SIZE_MAX) continue;
                level.word[fill[s]] = static_cast<int32_t>(g);
                level.pos[fill[s]] = static_cast<int32_t>(i - base);
                ++fill[s];
            }
        }
    }

    // Builds the level of patterns of length n from the level of length n - 1:
    // each pattern p there is extended by the last symbol of every pattern q
    // whose prefix is p without its first symbol, in the order of q.
    void extend(int32_t n) {
        const Level& below = levels_[static_cast<std::size_t>(n) - 1];
        const Level* below2 = n >= 3 ? &levels_[static_cast<std::size_t>(n) - 2] : nullptr;
        Level next;
        std::vector<uint16_t> slot_of(text_.symbols.size(), kNoSlot);
        std::vector<std::vector<std::size_t>> buckets(text_.symbols.size());
        std::vector<int32_t> joined;

        for (std::size_t p = 0; p < below.size(); ++p) {
            std::size_t first = 0, end = below.size();
            if (below2) {
                const auto s = static_cast<std::size_t>(below.suffix[p]);
                first = below2->children[s];
                end = below2->children[s + 1];
            }
            if (first == end) continue;
            joined.clear();
            for (std::size_t q = first; q < end; ++q) {
                slot_of[below.last[q]] = static_cast<uint16_t>(joined.size());
                joined.push_back(static_cast<int32_t>(q));
            }
            for (std::size_t t = below.occ[p]; t < below.occ[p + 1]; ++t) {
                const auto g = static_cast<std::size_t>(below.word[t]);
                const auto s = static_cast<std::size_t>(below.pos[t]);
                if (s + static_cast<std::size_t>(n) > text_.length(g)) continue;
                const uint16_t k = slot_of[text_.ids[text_.start[g] + s + static_cast<std::size_t>(n) - 1]];
                if (k != kNoSlot) buckets[k].push_back(t);
            }
            for (std::size_t k = 0; k < joined.size(); ++k) {
                std::vector<std::size_t>& hits = buckets[k];
                std::size_t support = 0;
                int32_t last_word = -1;
                for (std::size_t t : hits) {
                    if (below.word[t] != last_word) {
                        last_word = below.word[t];
                        ++support;
                    }
                }
                const uint8_t symbol = below.last[static_cast<std::size_t>(joined[k])];
                if (passes(support)) {
                    next.add(static_cast<int32_t>(p), joined[k], symbol);
                    for (std::size_t t : hits) next.add_occurrence(below.word[t], below.pos[t]);
                }
                hits.clear();
                slot_of[symbol] = kNoSlot;
            }
        }
        Level& done = levels_[static_cast<std::size_t>(n) - 1];
        done.children.assign(done.size() + 1, 0);
        for (int32_t parent : next.parent) ++done.children[static_cast<std::size_t>(parent) + 1];
        for (std::size_t i = 1; i < done.children.size(); ++i) done.children[i] += done.children[i - 1];
        levels_.push_back(std::move(next));
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
            out[len - 1] = l.last[i];
            i = static_cast<std::size_t>(l.parent[i]);
        }
    }

    Pattern pattern_of(std::size_t k, std::size_t i) const {
        Pattern p(k);
        ids_of(k, i, reinterpret_cast<uint8_t*>(p.data()));
        for (char& c : p) c = text_.symbols[static_cast<uint8_t>(c)];
        return p;
    }

    std::size_t alphabet() const { return text_.symbols.size(); }

private:
    const PatternMiner& miner_;
    Text text_;
    std::vector<Level> levels_;
};

// Longest common subsequence of a[0..m) and b[0..n), one reused row.
int32_t lcs(const uint8_t* a, std::size_t m, const uint8_t* b, std::size_t n, std::vector<int32_t>& row) {
    row.assign(n + 1, 0);
    for (std::size_t i = 1; i <= m; ++i) {
        int32_t diagonal = 0;
        for (std::size_t j = 1; j <= n; ++j) {
            const int32_t above = row[j];
            row[j] = a[i - 1] == b[j - 1] ? diagonal + 1 : std::max(above, row[j - 1]);
            diagonal = above;
        }
    }
    return row[n];
}

// The listed patterns, longest first, each a run of dense ids.
struct Listing {
    std::vector<std::pair<std::size_t, std::size_t>> entry;  // (level, index)
    std::vector<std::size_t> start{0};                       // ids of item i: ids[start[i] .. start[i + 1])
    std::vector<uint8_t> ids;
    std::size_t size() const { return entry.size(); }
    std::size_t length(std::size_t i) const { return start[i + 1] - start[i]; }
    const uint8_t* at(std::size_t i) const { return ids.data() + start[i]; }
};

// Marks the listed patterns that the overlap test removes. Walking the list
// in order, each pattern not yet removed removes every other pattern not
// longer than itself whose longest common subsequence with it exceeds
// max_overlap of that pattern's length.
std::vector<char> overlap_losers(const Listing& list, std::size_t alphabet, double max_overlap) {
    const std::size_t n = list.size();
    std::vector<char> removed(n, 0);
    // The overlap never exceeds 1, so nothing can be removed then.
    if (n == 0 || !(1.0 > max_overlap)) return removed;

    // Symbol counts of every item as (id, count) pairs, for an upper bound
    // on the common subsequence that rules most pairs out cheaply.
    std::vector<std::size_t> hist_start{0};
    std::vector<std::pair<uint8_t, uint32_t>> hist;
    std::vector<uint32_t> counts(alphabet, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const uint8_t* s = list.at(i);
        for (std::size_t j = 0; j < list.length(i); ++j) ++counts[s[j]];
        for (std::size_t j = 0; j < list.length(i); ++j) {
            if (counts[s[j]] != 0) {
                hist.emplace_back(s[j], counts[s[j]]);
                counts[s[j]] = 0;
            }
        }
        hist_start.push_back(hist.size());
    }

    // First item of the run of items as long as item i (the list is sorted
    // by decreasing length).
    std::vector<std::size_t> group(n, 0);
    for (std::size_t i = 1; i < n; ++i) group[i] = list.length(i) == list.length(i - 1) ? group[i - 1] : i;

    std::vector<int32_t> row;
    for (std::size_t a = 0; a < n; ++a) {
        if (removed[a]) continue;
        const uint8_t* p = list.at(a);
        const std::size_t lp = list.length(a);
        for (std::size_t j = 0; j < lp; ++j) ++counts[p[j]];
        for (std::size_t b = group[a]; b < n; ++b) {
            if (b == a || removed[b]) continue;
            const double lr = static_cast<double>(list.length(b));
            uint32_t bound = 0;
            for (std::size_t h = hist_start[b]; h < hist_start[b + 1]; ++h)
                bound += std::min(counts[hist[h].first], hist[h].second);
            if (!(static_cast<double>(bound) / lr > max_overlap)) continue;
            const int32_t common = lcs(p, lp, list.at(b), list.length(b), row);
            if (static_cast<double>(common) / lr > max_overlap) removed[b] = 1;
        }
        for (std::size_t j = 0; j < lp; ++j) counts[p[j]] = 0;
    }
    return removed;
}

}  // namespace

int32_t PatternMiner::lcs_length(const Pattern& a, const Pattern& b) {
    std::vector<int32_t> row;
    return lcs(reinterpret_cast<const uint8_t*>(a.data()), a.size(),
               reinterpret_cast<const uint8_t*>(b.data()), b.size(), row);
}

void PatternMiner::mine(const std::vector<Word>& words) {
    frequent.clear();
    levels.assign(2, {});
    cur_len = 2;
    min_count = static_cast<double>(words.size()) * minsup;

    Search search(*this, words);
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

    const std::vector<char> removed = overlap_losers(list, search.alphabet(), max_overlap);
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (removed[i]) continue;
        const auto [k, index] = list.entry[i];
        const Level& level = search.level(k);
        Motif motif(search.pattern_of(k, index));
        for (std::size_t t = level.occ[index]; t < level.occ[index + 1]; ++t)
            motif.indexes.add(level.word[t], level.pos[t]);
        Pattern key = motif.pattern;
        frequent.emplace(std::move(key), std::move(motif));
    }
}

}  // namespace qor
