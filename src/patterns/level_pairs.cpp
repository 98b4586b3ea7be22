// The level-wise search two levels at a time.
#include <algorithm>
#include <cstdint>

#include "patterns/level_search.hpp"

namespace qor::detail {

// Builds the levels of length n and n + 1 from the level of length n - 1,
// reading each occurrence once: the two symbols after it name a candidate
// x of length n (p extended by the first) and a candidate y of length n + 1
// (x extended by the second). A pattern passes when its words reach
// min_count, so y, whose words are at most those of x and of its suffix,
// is kept exactly when the level-wise join would have made it and it
// passed: x and its suffix pass whenever y does. Level n keeps only its
// counts (its positions are those of its parents that the last symbol
// follows); level n + 1 gets its occurrences. Returns the number of levels
// added: 1 when level n comes out empty.
std::size_t Search::extend_two(int32_t n) {
    const Level& below = levels_[static_cast<std::size_t>(n) - 1];
    const Candidates cand = candidates(n);
    const std::size_t slots = cand.size();
    const std::size_t parts = slots == 0 ? 1 : workers_.parts(work_of(below), kLevelGrain, 1);
    const std::vector<std::size_t> cut = cuts(below, parts);
    const std::vector<std::size_t> off = offsets(below, cut);
    if (scratch_.size() < parts) scratch_.resize(parts);
    workers_.run(parts, [&](std::size_t j, unsigned) {
        sort_range_pairs(n, cand, off.data(), cut.data(), parts, j, scratch_[j]);
    });

    // Level n: its counts only. mid_key[i] is the x-candidate of its entry i.
    Level mid;
    std::vector<std::size_t> mid_key;
    std::size_t total = 0;
    merge_keys(
        scratch_, parts, [](const Scratch& sc) -> const std::vector<Scratch::FirstRecord>& { return sc.firsts; },
        [&](std::size_t c, const std::vector<std::size_t>& hit) {
            std::size_t words = 0, count = 0, p = 0;
            for (std::size_t j = 0; j < parts; ++j) {
                if (hit[j] == SIZE_MAX) continue;
                const Scratch::FirstRecord& r = scratch_[j].firsts[hit[j]];
                words += r.words;
                count += r.count;
                p = r.parent;
            }
            if (!passes(words)) return;
            const std::size_t q = cand.first[p] + (c - cand.base[p]);
            mid_key.push_back(c);
            total += count;
            mid.parent.push_back(static_cast<int32_t>(p));
            mid.suffix.push_back(static_cast<int32_t>(q));
            mid.last.push_back(below.last[q]);
            mid.occ.push_back(total);
        });
    mid.positions_released = true;
    set_children(levels_[static_cast<std::size_t>(n) - 1], mid);
    if (mid.size() == 0) {
        levels_.push_back(std::move(mid));
        return 1;
    }
    // The entry of level n that x-candidate c became, or -1.
    const auto index_of = [&mid_key](std::size_t c) -> int32_t {
        const auto at = std::lower_bound(mid_key.begin(), mid_key.end(), c);
        return at != mid_key.end() && *at == c ? static_cast<int32_t>(at - mid_key.begin()) : -1;
    };

    // Level n + 1, with its occurrences.
    Level next;
    total = 0;
    for (std::size_t j = 0; j < parts; ++j) scratch_[j].dest.assign(scratch_[j].records.size(), SIZE_MAX);
    merge_keys(
        scratch_, parts, [](const Scratch& sc) -> const std::vector<Scratch::Record>& { return sc.records; },
        [&](std::size_t key, const std::vector<std::size_t>& hit) {
            const std::size_t c = key / kPairKeys, k = key % kPairKeys;
            std::size_t words = 0, p = 0;
            for (std::size_t j = 0; j < parts; ++j) {
                if (hit[j] == SIZE_MAX) continue;
                words += scratch_[j].records[hit[j]].words;
                p = scratch_[j].records[hit[j]].parent;
            }
            const int32_t x = index_of(c);
            if (x < 0 || !passes(words)) return;
            // Its suffix, the pattern q that x ends with extended by the
            // same symbol, has at least as many words, so passes too.
            const std::size_t q = cand.first[p] + (c - cand.base[p]);
            const int32_t suffix = index_of(cand.base[q] + k);
            if (suffix < 0) return;
            if (!add_run_set(next, hit, parts)) {
                for (std::size_t j = 0; j < parts; ++j) {
                    if (hit[j] == SIZE_MAX) continue;
                    scratch_[j].dest[hit[j]] = total;
                    total += scratch_[j].records[hit[j]].count;
                }
            }
            next.parent.push_back(x);
            next.suffix.push_back(suffix);
            next.last.push_back(mid.last[static_cast<std::size_t>(suffix)]);
            next.occ.push_back(total);
        });
    next.at.resize(total);
    if (total != 0) workers_.run(parts, [&](std::size_t j, unsigned) { copy_range(next, scratch_[j]); });
    set_children(mid, next);
    levels_.push_back(std::move(mid));
    levels_.push_back(std::move(next));
    return 2;
}

// Range j's share of extend_two: its occurrences of each pattern p sorted
// by candidate y into sc's pieces, with occurrences and words counted per
// y (records) and per x-candidate (firsts), for those that occur.
void Search::sort_range_pairs(int32_t n, const Candidates& cand, const std::size_t* off, const std::size_t* cut,
                              std::size_t parts, std::size_t j, Scratch& sc) const {
    const Level& below = levels_[static_cast<std::size_t>(n) - 1];
    const std::size_t alphabet = text_.symbols.size(), width = alphabet + 1;
    sc.slot_of.assign(width, kNoSlot);
    sc.pair_of.assign(alphabet * width, kNoSlot);
    sc.pair_first.resize(alphabet + 1);
    sc.first.resize(alphabet);
    sc.lane.resize(alphabet * alphabet);
    sc.pieces.clear();
    sc.records.clear();
    sc.firsts.clear();
    sc.runs_used = 0;
    // The y-candidates of x-candidate (p, k) are those of the pattern it
    // ends with.
    const auto pairs_of = [&cand](std::size_t p) {
        std::size_t local = 0;
        for (std::size_t q = cand.first[p]; q < cand.first[p] + (cand.base[p + 1] - cand.base[p]); ++q)
            local += cand.base[q + 1] - cand.base[q];
        return local;
    };
    // Each y fills whole chunks but its last, and only a y that occurs
    // begins one.
    // For a symbol repeated, each of its runs gives two occurrences to be
    // sorted at most (see sort_repeat_pairs).
    const auto listed = [&](std::size_t p) { return listed_in(below, p, off, cut, parts, j, 2); };
    std::size_t need = 0;
    for (std::size_t p = 0; p < below.size(); ++p) {
        const std::size_t occurrences = listed(p);
        if (occurrences == 0 || cand.base[p + 1] == cand.base[p]) continue;
        const std::size_t local = pairs_of(p);
        need += occurrences + std::min(local, occurrences) * chunk_size(occurrences, local);
    }
    sc.size_pool(need);
    // The symbol after an occurrence of a pattern of n - 1 symbols, and
    // the one after that.
    const uint16_t* ids = text_.ids.data() + (n - 1);
    for (std::size_t p = 0; p < below.size(); ++p) {
        if (p % 64 == 0) workers_.check();
        const std::size_t count = cand.base[p + 1] - cand.base[p];
        const std::size_t occurrences = listed(p);
        if (count == 0 || occurrences == 0) continue;
        const RunSet* set = below.run_set(p);
        // Slots: k for x = (p, k), and for y = (x, k2) the local number
        // pair_first[k] + k2, by the next symbol.
        sc.pair_first[0] = 0;
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t q = cand.first[p] + k;
            const std::size_t count2 = cand.base[q + 1] - cand.base[q];
            sc.slot_of[below.last[q]] = static_cast<uint16_t>(k);
            sc.first[k] = Scratch::First{};
            for (std::size_t k2 = 0; k2 < count2; ++k2)
                sc.pair_of[k * width + below.last[cand.first[q] + k2]] = static_cast<uint16_t>(sc.pair_first[k] + k2);
            sc.pair_first[k + 1] = sc.pair_first[k] + count2;
        }
        const std::size_t local = sc.pair_first[count];
        for (std::size_t y = 0; y < local; ++y) {
            Scratch::Lane& lane = sc.lane[y];
            lane.words = lane.end_of_word = 0;
            lane.write = lane.limit = nullptr;
        }
        sc.chunk = chunk_size(occurrences, local);
        // For the symbol a repeated: the runs kept by a repeated n + 1
        // times, and its slots.
        Scratch::RunCount repeated;
        uint16_t repeated_x = kNoSlot, repeated_y = kNoSlot;
        if (set) {
            const auto [first_run, end_run] = runs_in(*set, cut, j);
            repeated = sort_repeat_pairs(n, p, first_run, end_run, sc);
            repeated_x = sc.slot_of[below.last[p]];
            if (repeated_x != kNoSlot) repeated_y = sc.pair_of[repeated_x * width + below.last[p]];
        }
        const uint32_t* at = below.at.data() + off[p * (parts + 1) + j];
        const uint16_t* slot_of = sc.slot_of.data();
        const uint16_t* pair_of = sc.pair_of.data();
        Scratch::First* first = sc.first.data();
        Scratch::Lane* lanes = sc.lane.data();
        for (std::size_t t = 0; t < (set ? 0 : occurrences); ++t) {
            const uint32_t gp = at[t];
#if defined(__GNUC__) || defined(__clang__)
            if (t + 16 < occurrences) __builtin_prefetch(ids + at[t + 16]);
#endif
            const uint16_t k = slot_of[ids[gp]];
            if (k == kNoSlot) continue;
            // An occurrence before the end of the previous one's word is in
            // that word: the end is the same.
            const auto end = static_cast<uint32_t>(text_.word_end(gp));
            Scratch::First& x = first[k];
            ++x.count;
            x.words += gp >= x.end_of_word;
            x.end_of_word = end;
            // Not past the text: the symbol after x is at most its word's
            // separator.
            const uint16_t y = pair_of[k * width + ids[gp + 1]];
            if (y == kNoSlot) continue;
            Scratch::Lane& lane = lanes[y];
            sc.put(lane, gp);
            lane.words += gp >= lane.end_of_word;
            lane.end_of_word = end;
        }
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t q = cand.first[p] + k, c = cand.base[p] + k;
            sc.slot_of[below.last[q]] = kNoSlot;
            for (std::size_t k2 = 0; k2 < cand.base[q + 1] - cand.base[q]; ++k2) {
                sc.pair_of[k * width + below.last[cand.first[q] + k2]] = kNoSlot;
                const std::size_t y = sc.pair_first[k] + k2;
                if (y == repeated_y && repeated.count != 0) {
                    sc.records.push_back(
                        {c * kPairKeys + k2, p, repeated.count, repeated.words, sc.pieces.size(), repeated.list});
                    continue;
                }
                Scratch::Lane& lane = sc.lane[y];
                if (lane.chunks.empty()) continue;
                const uint32_t words = lane.words;
                const std::size_t total = sc.take(lane);
                sc.records.push_back({c * kPairKeys + k2, p, total, words, sc.pieces.size()});
            }
            if (sc.first[k].count != 0) sc.firsts.push_back({c, p, sc.first[k].count, sc.first[k].words});
        }
    }
}

}  // namespace qor::detail
