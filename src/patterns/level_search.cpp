#include "patterns/level_search.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace qor::detail {

void Search::run(int32_t& cur_len) {
    scan_symbols();
    cur_len = 2;
    // Two levels at a time while max_len allows (and slot pairs fit in 16
    // bits); extend_two leaves the first of them with counts only.
    const bool pairs_fit = text_.symbols.size() < 255;
    bool paired = false;
    for (;;) {
        if (levels_[static_cast<std::size_t>(cur_len) - 1].size() == 0) break;
        if (miner_.max_len != 0 && cur_len > miner_.max_len) break;
        workers_.check();
        const bool two = pairs_fit && (miner_.max_len == 0 || cur_len < miner_.max_len);
        std::size_t built = 1;
        if (two)
            built = extend_two(cur_len);
        else
            extend(cur_len);
        paired = paired || two;
        // Once the next level is built, a level shorter than min_len is no
        // longer needed, unless the level above keeps only counts and is
        // listed: its positions are found from this level's.
        const int64_t done = cur_len - 1;
        Level& level = levels_[static_cast<std::size_t>(done)];
        const bool above_needs = two && cur_len >= miner_.min_len;
        const int64_t first_listed = std::max<int64_t>(miner_.min_len, 1);
        if (done < miner_.min_len && !above_needs)
            level.release_occurrences();
        else if (!paired && static_cast<std::size_t>(done - first_listed) % kPositionsEvery != 0)
            // Built a level at a time, most listed levels keep only their
            // counts: the positions of the few patterns kept are found
            // again from an ancestor's.
            level.release_positions();
        // A counts-only level that is never listed is not needed at all.
        if (built == 2 && cur_len < miner_.min_len) levels_[static_cast<std::size_t>(cur_len)].release_occurrences();
        cur_len += static_cast<int32_t>(built);
    }
    std::vector<Scratch>().swap(scratch_);
}

// Builds the level of patterns of length n from the level of length n - 1:
// each pattern p there is extended by the last symbol of every pattern q
// whose prefix is p without its first symbol, in the order of q.
//
// The text is cut into ranges of whole words, one per thread, holding about
// equal work (work_of: the level's listed occurrences and its runs). Each
// thread classifies the occurrences in its range by the symbol that follows
// them and counts them and their words per candidate; no word spans two ranges, so the counts of
// the ranges add up. Which candidates pass, and where each range's
// occurrences of a candidate go (after those of the ranges before it, so
// that they stay ascending), is then settled once, and each thread copies
// its occurrences into place.
void Search::extend(int32_t n) {
    const Level& below = levels_[static_cast<std::size_t>(n) - 1];
    const Candidates cand = candidates(n);
    const std::size_t slots = cand.size();
    const std::size_t parts = slots == 0 ? 1 : workers_.parts(work_of(below), kLevelGrain, 1);
    const std::vector<std::size_t> cut = cuts(below, parts);
    const std::vector<std::size_t> off = offsets(below, cut);
    if (scratch_.size() < parts) scratch_.resize(parts);
    workers_.run(parts,
                 [&](std::size_t j, unsigned) { sort_range(n, cand, off.data(), cut.data(), parts, j, scratch_[j]); });

    Level next;
    std::size_t total = 0;
    for (std::size_t j = 0; j < parts; ++j) scratch_[j].dest.assign(scratch_[j].records.size(), SIZE_MAX);
    merge_keys(
        scratch_, parts, [](const Scratch& sc) -> const std::vector<Scratch::Record>& { return sc.records; },
        [&](std::size_t c, const std::vector<std::size_t>& hit) {
            std::size_t words = 0, p = 0;
            for (std::size_t j = 0; j < parts; ++j) {
                if (hit[j] == SIZE_MAX) continue;
                words += scratch_[j].records[hit[j]].words;
                p = scratch_[j].records[hit[j]].parent;
            }
            if (!passes(words)) return;
            if (!add_run_set(next, hit, parts)) {
                for (std::size_t j = 0; j < parts; ++j) {
                    if (hit[j] == SIZE_MAX) continue;
                    scratch_[j].dest[hit[j]] = total;
                    total += scratch_[j].records[hit[j]].count;
                }
            }
            const std::size_t q = cand.first[p] + (c - cand.base[p]);
            next.parent.push_back(static_cast<int32_t>(p));
            next.suffix.push_back(static_cast<int32_t>(q));
            next.last.push_back(below.last[q]);
            next.occ.push_back(total);
        });
    next.at.resize(total);
    if (total != 0) workers_.run(parts, [&](std::size_t j, unsigned) { copy_range(next, scratch_[j]); });

    set_children(levels_[static_cast<std::size_t>(n) - 1], next);
    levels_.push_back(std::move(next));
}

std::size_t Search::listed_in(const Level& below, std::size_t p, const std::size_t* off, const std::size_t* cut,
                              std::size_t parts, std::size_t j, std::size_t per_run) const {
    if (const RunSet* set = below.run_set(p)) {
        const auto [first, end] = runs_in(*set, cut, j);
        return per_run * static_cast<std::size_t>(end - first);
    }
    return off[p * (parts + 1) + j + 1] - off[p * (parts + 1) + j];
}

// off[p * (parts + 1) + j]: the first occurrence of entry p of `below` in
// text range j (and past its last for j = parts), cut as `cut` says.
std::vector<std::size_t> Search::offsets(const Level& below, const std::vector<std::size_t>& cut) const {
    const std::size_t parts = cut.size() - 1;
    std::vector<std::size_t> off(below.size() * (parts + 1));
    for (std::size_t p = 0; p < below.size(); ++p) {
        std::size_t* o = off.data() + p * (parts + 1);
        const uint32_t *run = below.at.data() + below.occ[p], *run_end = below.at.data() + below.occ[p + 1];
        o[0] = below.occ[p];
        for (std::size_t j = 1; j < parts; ++j)
            o[j] = static_cast<std::size_t>(std::lower_bound(run, run_end, cut[j]) - below.at.data());
        o[parts] = below.occ[p + 1];
    }
    return off;
}

// Entry i of `done` gets the entries [children[i], children[i + 1]) of the
// level built from it.
void set_children(Level& done, const Level& next) {
    done.children.assign(done.size() + 1, 0);
    for (int32_t parent : next.parent) ++done.children[static_cast<std::size_t>(parent) + 1];
    for (std::size_t i = 1; i < done.children.size(); ++i) done.children[i] += done.children[i - 1];
}

// The candidates of the level of length n: for each pattern p of the level
// below, the patterns q there whose prefix is p without its first symbol
// (all of them for single symbols).
Candidates Search::candidates(int32_t n) const {
    const Level& below = levels_[static_cast<std::size_t>(n) - 1];
    const Level* below2 = n >= 3 ? &levels_[static_cast<std::size_t>(n) - 2] : nullptr;
    Candidates cand;
    cand.first.resize(below.size());
    cand.base.assign(below.size() + 1, 0);
    for (std::size_t p = 0; p < below.size(); ++p) {
        std::size_t first = 0, end = below.size();
        if (below2) {
            const auto s = static_cast<std::size_t>(below.suffix[p]);
            first = below2->children[s];
            end = below2->children[s + 1];
        }
        cand.first[p] = first;
        cand.base[p + 1] = cand.base[p] + (end - first);
    }
    return cand;
}

// Global positions at word starts that cut the text into `parts` ranges
// with about equal work (parts + 1 values, from 0 to past the text), from
// the quantiles of a sample of the level's listed occurrences and of the
// starts of its runs.
std::vector<std::size_t> Search::cuts(const Level& below, std::size_t parts) const {
    std::vector<std::size_t> cut(parts + 1, 0);
    cut[parts] = text_.ids.size();
    if (parts == 1) return cut;
    // Listed occurrences and runs, each in proportion to its work.
    const std::size_t m = below.at.size(), work = work_of(below);
    const std::size_t from_at = m * 1024 / work, from_runs = 1024 - from_at;
    std::vector<uint32_t> sample;
    sample.reserve(1024);
    for (std::size_t i = 0; i < from_at; ++i) sample.push_back(below.at[i * m / from_at]);
    for (const RunSet& set : below.run_sets) {
        const std::size_t share = from_runs * 2 * set.runs.size() / work;
        for (std::size_t i = 0; i < share; ++i) sample.push_back(set.runs[i * set.runs.size() / share].start);
    }
    if (sample.empty()) return cut;  // every range but the last empty
    const std::size_t samples = sample.size();
    auto from = sample.begin();
    for (std::size_t j = 1; j < parts; ++j) {
        const auto nth = sample.begin() + static_cast<std::ptrdiff_t>(j * samples / parts);
        std::nth_element(from, nth, sample.end());
        from = nth;
        cut[j] = std::max(cut[j - 1], text_.start[text_.word(*nth)]);
    }
    return cut;
}

// Sorts range j's occurrences of the level by candidate into sc's pieces,
// counting occurrences and words per candidate.
void Search::sort_range(int32_t n, const Candidates& cand, const std::size_t* off, const std::size_t* cut,
                        std::size_t parts, std::size_t j, Scratch& sc) const {
    const Level& below = levels_[static_cast<std::size_t>(n) - 1];
    const std::size_t alphabet = text_.symbols.size();
    sc.slot_of.assign(alphabet + 1, kNoSlot);
    sc.lane.resize(kLanes * alphabet);
    sc.pieces.clear();
    sc.records.clear();
    sc.runs_used = 0;
    // The occurrences of entry p listed in the range, or, for a symbol
    // repeated, its runs there (each gives each candidate one at most).
    const auto listed = [&](std::size_t p) { return listed_in(below, p, off, cut, parts, j, 1); };
    // A pattern's candidates fill whole chunks but their last in each lane,
    // and only a candidate that occurs in a lane begins one there.
    std::size_t need = 0;
    for (std::size_t p = 0; p < below.size(); ++p) {
        const std::size_t occurrences = listed(p);
        const std::size_t count = cand.base[p + 1] - cand.base[p];
        if (count != 0 && occurrences != 0)
            need += occurrences + std::min(kLanes * count, occurrences) * chunk_size(occurrences, count);
    }
    sc.size_pool(need);
    // The symbol after an occurrence of a pattern of n - 1 symbols.
    const uint16_t* ids = text_.ids.data() + (n - 1);
    for (std::size_t p = 0; p < below.size(); ++p) {
        if (p % 64 == 0) workers_.check();
        const std::size_t count = cand.base[p + 1] - cand.base[p];
        if (count == 0) continue;
        if (const RunSet* set = below.run_set(p)) {
            const auto [first, end] = runs_in(*set, cut, j);
            if (first != end) sort_repeat(n, cand, p, first, end, sc);
            continue;
        }
        const std::size_t* o = off + p * (parts + 1);
        const std::size_t occurrences = o[j + 1] - o[j];
        if (occurrences == 0) continue;
        for (std::size_t k = 0; k < count; ++k) sc.slot_of[below.last[cand.first[p] + k]] = static_cast<uint16_t>(k);
        sc.chunk = chunk_size(occurrences, count);
        sort_run(below.at.data() + o[j], occurrences, ids, sc);
        const uint32_t* base = sc.pool.data();
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t c = cand.base[p] + k;
            sc.slot_of[below.last[cand.first[p] + k]] = kNoSlot;
            std::size_t total = 0, words = 0;
            for (std::size_t l = 0; l < kLanes; ++l) {
                Scratch::Lane& lane = sc.lane[l * alphabet + k];
                words += lane.words;
                // A word whose occurrences the lane before ended with and
                // this one began with was counted by both.
                if (l > 0 && lane.words != 0 &&
                    text_.word_end(base[lane.chunks.front()]) == sc.lane[(l - 1) * alphabet + k].end_of_word)
                    --words;
                total += sc.take(lane);
            }
            if (total != 0) sc.records.push_back({c, p, total, words, sc.pieces.size()});
        }
    }
}

// Sorts the m occurrences at `at` of one pattern by the symbol that follows
// each (at most the separator that ends its word, which has no slot) into
// their slots' chunks, counting words per slot. The run is read as kLanes
// consecutive parts side by side, each with chunks of its own, so that
// the updates of one slot's state do not wait on each other. Occurrences
// are ascending, so an occurrence starts a new word for its slot exactly
// when it lies past the end of the previous one's word.
void Search::sort_run(const uint32_t* at, std::size_t m, const uint16_t* ids, Scratch& sc) const {
    const uint16_t* slot_of = sc.slot_of.data();
    const std::size_t alphabet = text_.symbols.size();
    for (Scratch::Lane& lane : sc.lane) {
        lane.words = lane.end_of_word = 0;
        lane.write = lane.limit = nullptr;
    }
    const auto step = [&](uint32_t gp, Scratch::Lane* lanes) {
        const uint16_t k = slot_of[ids[gp]];
        if (k == kNoSlot) return;
        Scratch::Lane& lane = lanes[k];
        sc.put(lane, gp);
        // An occurrence before the end of the previous one's word is in
        // that word: the end is the same.
        const auto end = static_cast<uint32_t>(text_.word_end(gp));
        lane.words += gp >= lane.end_of_word;
        lane.end_of_word = end;
    };
    static_assert(kLanes == 2, "two lanes");
    const std::size_t half = m / 2;
    Scratch::Lane *first = sc.lane.data(), *second = first + alphabet;
    for (std::size_t t = 0; t < half; ++t) {
#if defined(__GNUC__) || defined(__clang__)
        // The symbols after successive occurrences are far apart.
        if (t + 16 < half) {
            __builtin_prefetch(ids + at[t + 16]);
            __builtin_prefetch(ids + at[half + t + 16]);
        }
#endif
        step(at[t], first);
        step(at[half + t], second);
    }
    if (m % 2 != 0) step(at[m - 1], second);
}

// Copies range j's occurrences of the passing candidates to their places in
// the next level: sc.dest holds, per record, the place of the range's first
// occurrence of its candidate (SIZE_MAX for those that failed).
void Search::copy_range(Level& next, const Scratch& sc) const {
    uint32_t* out = next.at.data();
    const uint32_t* pool = sc.pool.data();
    std::size_t piece = 0;
    for (std::size_t r = 0; r < sc.records.size(); ++r) {
        if (r % 1024 == 0) workers_.check();
        const std::size_t end = sc.records[r].piece_end;
        if (sc.dest[r] != SIZE_MAX) {
            uint32_t* to = out + sc.dest[r];
            for (; piece < end; ++piece) {
                const Scratch::Piece& part = sc.pieces[piece];
                to = std::copy(pool + part.offset, pool + part.offset + part.length, to);
            }
        }
        piece = end;
    }
}

void Search::positions_of(std::size_t k, std::size_t i, std::vector<uint32_t>& out) const {
    const Level& level = levels_[k];
    out.clear();
    out.reserve(level.count(i));
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
    const auto add = [&](uint32_t gp) {
        // In text order: a separator ends the comparison before the end of
        // the text.
        std::size_t s = rest.size();
        while (s > 0 && ids[gp + k - s] == rest[s - 1]) --s;
        if (s == 0) out.push_back(gp);
    };
    if (const RunSet* set = kept.run_set(a)) {
        for (const Run& r : set->runs)
            for (uint32_t gp = r.start; gp + j <= r.start + r.length; ++gp) add(gp);
        return;
    }
    for (std::size_t t = kept.occ[a]; t < kept.occ[a + 1]; ++t) add(kept.at[t]);
}

}  // namespace qor::detail
