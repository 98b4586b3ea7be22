// The level-wise search: the patterns of each length that pass the support
// test, built from those one symbol shorter.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/collection.hpp"
#include "core/parallel.hpp"
#include "core/types.hpp"
#include "patterns/pattern_miner.hpp"
#include "patterns/text.hpp"

namespace qor::detail {

// Occurrences per part worth handing to another thread.
constexpr std::size_t kOccurrenceGrain = std::size_t{1} << 15;
// The same for a level's extension, whose work per occurrence is larger:
// the short levels at the top of a search are shared out as well.
constexpr std::size_t kLevelGrain = std::size_t{1} << 12;

// Built one at a time (Search::extend), of the levels that are listed,
// every kPositionsEvery-th from the first keeps its occurrence positions
// once the next level is built; the others keep only their counts (see
// Search::positions_of). Every second level saves nearly as much memory as
// every fourth, and finding the positions again from the level just below
// costs little; from three levels below, a quarter of the search time on
// many short, frequent words. Built two at a time (Search::extend_two),
// every second level has only its counts from the start.
constexpr std::size_t kPositionsEvery = 2;

// A maximal run of one symbol in the text: `length` symbols from `start`.
struct Run {
    uint32_t start, length;
};
// Written in full once sized: left uninitialised.
using Runs = std::vector<Run, UninitializedAllocator<Run>>;

// The occurrences of a symbol repeated L times: every start in a run of
// that symbol at least L long from which L symbols still fit in the run,
// that is length - L + 1 of them per run. On smooth series, which make
// long runs of one letter, half or more of all occurrences are of this
// kind, and the search keeps them as runs rather than listing them.
struct RunSet {
    std::size_t entry;  // the level entry
    std::size_t count;  // its occurrences
    Runs runs;          // ascending; freed with the level's positions
};

// The patterns of one length that passed the support test, in ascending
// pattern order. Entry i is the entry parent[i] of the level below extended
// by the symbol last[i]; suffix[i] is the entry of the level below that
// equals it without its first symbol. Its occurrences are the global start
// positions at[occ[i] .. occ[i + 1]), ascending, but for an entry that
// is one symbol repeated in a level that lists positions: its range there
// is empty and run_sets holds its occurrences (their count only, once the
// positions are released). A level that keeps only counts (the first of a
// pair built together) counts all its entries' occurrences in occ.
struct Level {
    std::vector<int32_t> parent, suffix;
    std::vector<uint16_t> last;
    std::vector<std::size_t> occ{0};
    // Written in full once sized: left uninitialised.
    std::vector<uint32_t, UninitializedAllocator<uint32_t>> at;
    // Entries of the next level whose parent is entry i:
    // [children[i], children[i + 1]).
    std::vector<uint32_t> children;

    // In entry order.
    std::vector<RunSet> run_sets;

    std::size_t size() const { return last.size(); }

    // The run set of entry i, or null.
    const RunSet* run_set(std::size_t i) const {
        const auto at_or_after = std::lower_bound(run_sets.begin(), run_sets.end(), i,
                                                  [](const RunSet& r, std::size_t e) { return r.entry < e; });
        return at_or_after != run_sets.end() && at_or_after->entry == i ? &*at_or_after : nullptr;
    }

    // The occurrences of entry i.
    std::size_t count(std::size_t i) const {
        const RunSet* runs = run_set(i);
        return occ[i + 1] - occ[i] + (runs ? runs->count : 0);
    }

    using Positions = std::vector<uint32_t, UninitializedAllocator<uint32_t>>;

    void release_occurrences() {
        std::vector<std::size_t>().swap(occ);
        Positions().swap(at);
        std::vector<RunSet>().swap(run_sets);
    }

    // Frees the positions, keeps the counts.
    bool positions_released = false;
    void release_positions() {
        Positions().swap(at);
        for (RunSet& r : run_sets) Runs().swap(r.runs);
        positions_released = true;
    }
};

// Positions per chunk of Scratch::pool: a pattern with few occurrences per
// candidate gets small chunks, so that the chunks its candidates begin (and
// the memory they touch) stay in proportion to its occurrences.
constexpr std::size_t kChunk = 256;
constexpr std::size_t kSmallChunk = 16;

// Parts of a pattern's occurrences sorted side by side.
constexpr std::size_t kLanes = 2;

// One text range's share of a level's extension. Its occurrences are sorted
// by candidate as they are read: each candidate of the current pattern
// fills chunks of `pool` in turn, and once the pattern is done its chunks
// are listed, candidate by candidate, as pieces (offset in the pool,
// length); piece_end[c] ends candidate c's pieces.
struct Scratch {
    std::vector<uint16_t> slot_of;
    // Per lane and slot of the current pattern: the chunks and the place
    // of the next occurrence, the words, and the end of the latest word.
    struct Lane {
        uint32_t *write = nullptr, *limit = nullptr;
        uint32_t words = 0, end_of_word = 0;
        std::vector<std::size_t> chunks;  // offsets in the pool
    };
    std::vector<Lane> lane;
    Level::Positions pool;
    std::size_t used = 0, chunk = kChunk;  // pool used; the current pattern's chunk size
    struct Piece {
        std::size_t offset, length;
    };
    std::vector<Piece> pieces;
    // The candidates that got occurrences in the range, in candidate order
    // (for two levels at once, the candidates y of the second level, by
    // their x-candidate and k), with their pieces [end of the record
    // before, piece_end); dest: where the range's occurrences of each go.
    // A record of a symbol repeated (no pieces) names its runs in this
    // range: run_lists[runs].
    struct Record {
        std::size_t key, parent, count, words, piece_end;
        std::size_t runs = SIZE_MAX;
    };
    std::vector<Record> records;
    std::vector<std::size_t> dest;
    // Two levels at once (Search::extend_two): the slot pairs of the
    // current pattern, the first of each x-candidate's, and per
    // x-candidate with occurrences (in order) its count and words.
    std::vector<uint16_t> pair_of;
    std::vector<std::size_t> pair_first;
    struct First {
        std::size_t count = 0;
        uint32_t words = 0, end_of_word = 0;
    };
    std::vector<First> first;
    struct FirstRecord {
        std::size_t key, parent, count, words;
    };
    std::vector<FirstRecord> firsts;
    // The runs of the range's records of symbols repeated; the first
    // runs_used are this level's.
    std::vector<Runs> run_lists;
    std::size_t runs_used = 0;
    Runs& open_runs() {
        if (runs_used == run_lists.size()) run_lists.emplace_back();
        Runs& list = run_lists[runs_used++];
        list.clear();
        return list;
    }
    // Occurrences and words of a symbol repeated, counted run by run.
    struct RunCount {
        std::size_t count = 0, words = 0, end_of_word = 0;
        std::size_t list = SIZE_MAX;  // in run_lists
    };

    // An empty pool of `need` positions, its memory kept where it suffices.
    void size_pool(std::size_t need) {
        if (need > pool.capacity()) Level::Positions().swap(pool);
        pool.resize(need);
        used = 0;
    }

    // Appends gp to the lane, opening a chunk of the current size where its
    // last is full.
    void put(Lane& lane, uint32_t gp) {
        uint32_t* w = lane.write;
        if (w == lane.limit) {
            lane.chunks.push_back(used);
            w = pool.data() + used;
            used += chunk;
            lane.limit = w + chunk;
        }
        *w = gp;
        lane.write = w + 1;
    }

    // Lists the lane's chunks as pieces, in order, and empties it; returns
    // its occurrences.
    std::size_t take(Lane& lane) {
        std::size_t total = 0;
        for (const std::size_t offset : lane.chunks) {
            const std::size_t length =
                offset == lane.chunks.back() ? static_cast<std::size_t>(lane.write - (pool.data() + offset)) : chunk;
            pieces.push_back({offset, length});
            total += length;
        }
        lane.chunks.clear();
        lane.write = lane.limit = nullptr;
        return total;
    }
};

// The candidates of one level: those of entry p of the level below are its
// entries [first[p], first[p] + (base[p + 1] - base[p])), numbered from
// base[p] in the level's candidate order.
struct Candidates {
    std::vector<std::size_t> first, base;
    std::size_t size() const { return base.back(); }
};

constexpr uint16_t kNoSlot = 0xFFFF;

// Calls f(key, hit) for every key of the parts' records (records_of(part),
// each in ascending key order), in ascending order; hit[j] is the index of
// part j's record with that key, SIZE_MAX where it has none.
template <typename RecordsOf, typename F>
void merge_keys(std::vector<Scratch>& scratch, std::size_t parts, RecordsOf records_of, F f) {
    std::vector<std::size_t> cursor(parts, 0), hit(parts);
    for (;;) {
        std::size_t key = SIZE_MAX;
        for (std::size_t j = 0; j < parts; ++j) {
            const auto& r = records_of(scratch[j]);
            if (cursor[j] < r.size()) key = std::min(key, r[cursor[j]].key);
        }
        if (key == SIZE_MAX) return;
        for (std::size_t j = 0; j < parts; ++j) {
            const auto& r = records_of(scratch[j]);
            hit[j] = cursor[j] < r.size() && r[cursor[j]].key == key ? cursor[j]++ : SIZE_MAX;
        }
        f(key, hit);
    }
}

// Slot pairs are numbered k * kPairKeys + k2 in the records.
constexpr std::size_t kPairKeys = 256;

// The chunk size for a pattern with `occurrences` to sort into `count`
// candidates' chunks.
inline std::size_t chunk_size(std::size_t occurrences, std::size_t count) {
    return occurrences >= kChunk * kLanes * count ? kChunk : kSmallChunk;
}

void set_children(Level& done, const Level& next);

class Search {
public:
    Search(const PatternMiner& m, const WordsView& words, Workers& workers)
        : miner_(m), text_(words, workers), levels_(2), workers_(workers) {}

    // Builds the levels from length 1 up; cur_len ends as the first length
    // not built or found empty.
    void run(int32_t& cur_len);

    std::size_t level_count() const { return levels_.size(); }
    const Level& level(std::size_t k) const { return levels_[k]; }
    std::size_t alphabet() const { return text_.symbols.size(); }

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
    std::pair<int32_t, int32_t> locate(uint32_t gp) const { return text_.locate(gp); }

    // The global start positions of entry i of level k, ascending, into
    // `out`: the level's own, or, where they were released, those of its
    // nearest ancestor that kept them and that the rest of the pattern
    // follows in the text (the occurrences of a pattern extended by a
    // symbol are those of the pattern that the symbol follows).
    void positions_of(std::size_t k, std::size_t i, std::vector<uint32_t>& out) const;

private:
    // "Not below min_count" rather than "at least min_count", so that a NaN
    // threshold lets every pattern pass; support > 0 keeps a zero or
    // negative threshold from passing patterns that do not occur at all,
    // and so the search still ends.
    bool passes(std::size_t support) const { return support > 0 && !(miner_.min_count > static_cast<double>(support)); }

    void scan_symbols();
    void extend(int32_t n);
    Candidates candidates(int32_t n) const;
    std::vector<std::size_t> cuts(const Level& below, std::size_t parts) const;
    // The work of extending from `below`: its listed occurrences and twice
    // its runs.
    static std::size_t work_of(const Level& below) {
        std::size_t work = below.at.size();
        for (const RunSet& set : below.run_sets) work += 2 * set.runs.size();
        return work;
    }
    void sort_range(int32_t n, const Candidates& cand, const std::size_t* off, const std::size_t* cut,
                    std::size_t parts, std::size_t j, Scratch& sc) const;
    void sort_repeat(int32_t n, const Candidates& cand, std::size_t p, const Run* first, const Run* end,
                     Scratch& sc) const;
    Scratch::RunCount sort_repeat_pairs(int32_t n, std::size_t p, const Run* first, const Run* end, Scratch& sc) const;
    bool add_run_set(Level& next, const std::vector<std::size_t>& hit, std::size_t parts);
    std::pair<const Run*, const Run*> runs_in(const RunSet& set, const std::size_t* cut, std::size_t j) const;
    // Entry p of `below` in text range j: its listed occurrences there, or,
    // for a symbol repeated, per_run times its runs there (the occurrences
    // that its runs can give to be sorted, at most).
    std::size_t listed_in(const Level& below, std::size_t p, const std::size_t* off, const std::size_t* cut,
                          std::size_t parts, std::size_t j, std::size_t per_run) const;
    void sort_run(const uint32_t* at, std::size_t m, const uint16_t* ids, Scratch& sc) const;
    void copy_range(Level& next, const Scratch& sc) const;
    std::vector<std::size_t> offsets(const Level& below, const std::vector<std::size_t>& cut) const;
    std::size_t extend_two(int32_t n);
    void sort_range_pairs(int32_t n, const Candidates& cand, const std::size_t* off, const std::size_t* cut,
                          std::size_t parts, std::size_t j, Scratch& sc) const;

    const PatternMiner& miner_;
    Text text_;
    std::vector<Level> levels_;
    Workers& workers_;
    std::vector<Scratch> scratch_;
};

}  // namespace qor::detail
