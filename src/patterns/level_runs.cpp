// The search's patterns that are one symbol repeated, which keep their
// occurrences as runs of that symbol (RunSet): the first level, made from
// the text's runs, and the extension of such a pattern from its runs.
#include <algorithm>
#include <cstdint>
#include <utility>

#include "patterns/level_search.hpp"

namespace qor::detail {

// Positions of a word read before the runs that end there are listed.
constexpr std::size_t kRunBlock = 4096;

// The level of single symbols, a symbol being the symbol repeated once: the
// runs of each symbol counted in one pass over the text, then listed, with
// the occurrences and words of each symbol, in a second. Both run on
// consecutive ranges of words in parallel, each part into arrays of its
// own (slices of shared ones would share cache lines); a symbol's runs are
// those of each range after those of the ranges before, so they stay
// ascending.
void Search::scan_symbols() {
    const std::size_t ids = text_.symbols.size();
    const std::size_t words = text_.start.size() - 1;
    const std::size_t parts = workers_.parts(text_.ids.size(), kOccurrenceGrain);
    const std::vector<std::size_t> bounds = split_by_weight(text_.start.data(), words, parts);
    const uint16_t* text = text_.ids.data();
    // dest[part * ids + c]: where the part's first run of c goes.
    std::vector<std::size_t> dest(parts * ids, 0);
    workers_.run(parts, [&](std::size_t part, unsigned) {
        std::vector<std::size_t> runs(ids, 0);
        for (std::size_t g = bounds[part]; g < bounds[part + 1]; ++g) {
            if (g % 4096 == 0) workers_.check();
            uint16_t before = text_.separator;
            // The word without its separator; no branch on the symbols.
            for (std::size_t gp = text_.start[g]; gp + 1 < text_.start[g + 1]; ++gp) {
                const uint16_t c = text[gp];
                runs[c] += c != before;
                before = c;
            }
        }
        std::copy(runs.begin(), runs.begin() + static_cast<std::ptrdiff_t>(ids),
                  dest.begin() + static_cast<std::ptrdiff_t>(part * ids));
    });
    std::vector<Runs> lists(ids);
    for (std::size_t c = 0; c < ids; ++c) {
        std::size_t total = 0;
        for (std::size_t part = 0; part < parts; ++part) total += std::exchange(dest[part * ids + c], total);
        lists[c].resize(total);
    }
    // The runs that end in each block of a word are listed in text order
    // first, with no branch on the symbols, then each is put in its
    // symbol's list (a run's symbol
    // differs from the one before, so these updates do not wait on each
    // other).
    std::vector<std::size_t> count(parts * ids), support(parts * ids);
    workers_.run(parts, [&](std::size_t part, unsigned) {
        std::vector<std::size_t> d(dest.begin() + static_cast<std::ptrdiff_t>(part * ids),
                                   dest.begin() + static_cast<std::ptrdiff_t>((part + 1) * ids));
        std::vector<std::size_t> n(ids, 0), w(ids, 0), last_word(ids, SIZE_MAX);
        Runs ended(kRunBlock);
        for (std::size_t g = bounds[part]; g < bounds[part + 1]; ++g) {
            if (g % 4096 == 0) workers_.check();
            const std::size_t end = text_.start[g + 1] - 1;
            std::size_t from = text_.start[g];
            // The separator ends the word's last run. Block by block: the
            // runs that end in the block, the slot after the last of them
            // written over and over until the next one ends; a run that
            // goes on past the block is taken up by the next.
            for (std::size_t block = from + 1; block <= end; block += kRunBlock) {
                const std::size_t stop = std::min(end, block + kRunBlock - 1);
                std::size_t k = 0;
                for (std::size_t gp = block; gp <= stop; ++gp) {
                    const bool ends = text[gp] != text[gp - 1];
                    ended[k] = {static_cast<uint32_t>(from), static_cast<uint32_t>(gp - from)};
                    k += ends;
                    from = ends ? gp : from;
                }
                for (std::size_t i = 0; i < k; ++i) {
                    const Run r = ended[i];
                    const uint16_t c = text[r.start];
                    lists[c][d[c]++] = r;
                    n[c] += r.length;
                    w[c] += last_word[c] != g;
                    last_word[c] = g;
                }
            }
        }
        std::copy(n.begin(), n.end(), count.begin() + static_cast<std::ptrdiff_t>(part * ids));
        std::copy(w.begin(), w.end(), support.begin() + static_cast<std::ptrdiff_t>(part * ids));
    });
    Level& level = levels_[1];
    for (std::size_t c = 0; c < ids; ++c) {
        std::size_t words_with = 0, occurrences = 0;
        for (std::size_t part = 0; part < parts; ++part) {
            words_with += support[part * ids + c];
            occurrences += count[part * ids + c];
        }
        if (!passes(words_with)) continue;
        level.run_sets.push_back({level.size(), occurrences, std::move(lists[c])});
        level.parent.push_back(-1);
        level.suffix.push_back(-1);
        level.last.push_back(static_cast<uint16_t>(c));
        level.occ.push_back(0);
    }
}

// Where the records of `hit` (one key, the parts' records) are of a symbol
// repeated: gives the next entry of `next` their runs, in range order, and
// returns true.
bool Search::add_run_set(Level& next, const std::vector<std::size_t>& hit, std::size_t parts) {
    RunSet set{next.size(), 0, {}};
    std::size_t runs = 0;
    for (std::size_t j = 0; j < parts; ++j) {
        if (hit[j] == SIZE_MAX) continue;
        const Scratch::Record& r = scratch_[j].records[hit[j]];
        if (r.runs == SIZE_MAX) return false;
        set.count += r.count;
        runs += scratch_[j].run_lists[r.runs].size();
    }
    set.runs.reserve(runs);
    for (std::size_t j = 0; j < parts; ++j) {
        if (hit[j] == SIZE_MAX) continue;
        const Runs& r = scratch_[j].run_lists[scratch_[j].records[hit[j]].runs];
        set.runs.insert(set.runs.end(), r.begin(), r.end());
    }
    next.run_sets.push_back(std::move(set));
    return true;
}

// The runs of `set` in text range j: those from cut[j] to cut[j + 1].
std::pair<const Run*, const Run*> Search::runs_in(const RunSet& set, const std::size_t* cut, std::size_t j) const {
    const auto before = [](const Run& r, std::size_t gp) { return r.start < gp; };
    const Run* first = std::lower_bound(set.runs.data(), set.runs.data() + set.runs.size(), cut[j], before);
    const Run* end = std::lower_bound(first, set.runs.data() + set.runs.size(), cut[j + 1], before);
    return {first, end};
}

// sort_range for entry p of the level below, the symbol a repeated n - 1
// times, from its runs [first, end) in the range: the candidate a repeated
// n times keeps the runs at least n long, and every other candidate, p
// extended by b, occurs at the last start of each run that b follows.
void Search::sort_repeat(int32_t n, const Candidates& cand, std::size_t p, const Run* first, const Run* end,
                         Scratch& sc) const {
    const Level& below = levels_[static_cast<std::size_t>(n) - 1];
    const std::size_t count = cand.base[p + 1] - cand.base[p];
    const uint16_t a = below.last[p];
    const auto len = static_cast<std::size_t>(n);
    for (std::size_t k = 0; k < count; ++k) sc.slot_of[below.last[cand.first[p] + k]] = static_cast<uint16_t>(k);
    for (Scratch::Lane& lane : sc.lane) {
        lane.words = lane.end_of_word = 0;
        lane.write = lane.limit = nullptr;
    }
    sc.chunk = chunk_size(static_cast<std::size_t>(end - first), count);
    const std::size_t list = sc.runs_used;
    Runs& longer = sc.open_runs();
    Scratch::RunCount repeated;
    const uint16_t* ids = text_.ids.data();
    const uint16_t* slot_of = sc.slot_of.data();
    for (const Run* r = first; r != end; ++r) {
        const std::size_t start = r->start, length = r->length;
        if (length >= len) {
            repeated.count += length - len + 1;
            repeated.words += start >= repeated.end_of_word;
            repeated.end_of_word = text_.word_end(r->start);
            longer.push_back(*r);
        }
        // A run is maximal: the symbol after it is not a (at most the
        // separator, which has no slot).
        const uint16_t k = slot_of[ids[start + length]];
        if (k == kNoSlot) continue;
        const auto gp = static_cast<uint32_t>(start + length - (len - 1));
        Scratch::Lane& lane = sc.lane[k];
        sc.put(lane, gp);
        lane.words += gp >= lane.end_of_word;
        lane.end_of_word = static_cast<uint32_t>(text_.word_end(gp));
    }
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t c = cand.base[p] + k;
        const uint16_t symbol = below.last[cand.first[p] + k];
        sc.slot_of[symbol] = kNoSlot;
        if (symbol == a) {
            if (repeated.count != 0)
                sc.records.push_back({c, p, repeated.count, repeated.words, sc.pieces.size(), list});
            continue;
        }
        Scratch::Lane& lane = sc.lane[k];
        const std::size_t words = lane.words;
        const std::size_t total = sc.take(lane);
        if (total != 0) sc.records.push_back({c, p, total, words, sc.pieces.size()});
    }
}

// sort_range_pairs for entry p of the level below, the symbol a repeated
// n - 1 times, from its runs [first, end) in the range, with the slots of
// p's candidates set: x = a repeated n times occurs length - n + 1 times in
// each run at least n long, y = a repeated n + 1 times keeps the runs
// longer than that (returned: counts and runs, not sorted), and the others
// occur at the last start of x or p in a run, by the symbols after it.
Scratch::RunCount Search::sort_repeat_pairs(int32_t n, std::size_t p, const Run* first, const Run* end,
                                            Scratch& sc) const {
    const Level& below = levels_[static_cast<std::size_t>(n) - 1];
    const std::size_t width = text_.symbols.size() + 1;
    const uint16_t a = below.last[p];
    const auto len = static_cast<std::size_t>(n);
    const uint16_t xa = sc.slot_of[a];
    const uint16_t ya = xa == kNoSlot ? kNoSlot : sc.pair_of[xa * width + a];
    Scratch::RunCount repeated;
    repeated.list = sc.runs_used;
    Runs& longer = sc.open_runs();
    const uint16_t* ids = text_.ids.data();
    const auto put = [&sc](Scratch::Lane& lane, uint32_t gp, uint32_t end_of_word) {
        sc.put(lane, gp);
        lane.words += gp >= lane.end_of_word;
        lane.end_of_word = end_of_word;
    };
    const auto count = [](auto& c, std::size_t occurrences, std::size_t gp, std::size_t end_of_word) {
        c.count += occurrences;
        c.words += gp >= c.end_of_word;
        c.end_of_word = static_cast<decltype(c.end_of_word)>(end_of_word);
    };
    for (const Run* r = first; r != end; ++r) {
        const std::size_t start = r->start, length = r->length;
        const auto word_end = static_cast<uint32_t>(text_.word_end(r->start));
        // A run is maximal: the symbol after it is not a (at most the
        // separator, which has no slot).
        const uint16_t after = ids[start + length];
        if (length >= len && xa != kNoSlot) {
            count(sc.first[xa], length - len + 1, start, word_end);
            if (length > len && ya != kNoSlot) {
                count(repeated, length - len, start, word_end);
                longer.push_back(*r);
            }
            // The last start of x, followed by `after`.
            const uint16_t y = sc.pair_of[xa * width + after];
            if (y != kNoSlot) put(sc.lane[y], static_cast<uint32_t>(start + length - len), word_end);
        }
        // The last start of p, followed by `after` and the symbol after it.
        const uint16_t k = sc.slot_of[after];
        if (k == kNoSlot) continue;
        const auto gp = static_cast<uint32_t>(start + length - (len - 1));
        count(sc.first[k], 1, gp, word_end);
        const uint16_t y = sc.pair_of[k * width + ids[start + length + 1]];
        if (y != kNoSlot) put(sc.lane[y], gp, word_end);
    }
    return repeated;
}

}  // namespace qor::detail
