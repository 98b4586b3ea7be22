#include "patterns/pattern_miner.hpp"

#include <cstddef>
#include <utility>

#include "patterns/lcs.hpp"
#include "patterns/level_search.hpp"
#include "patterns/overlap_filter.hpp"

namespace qor {

namespace {

using detail::Level;
using detail::Listing;
using detail::Search;

// Length filter: lists the patterns of min_len symbols or more, longest
// first, each length in ascending pattern order.
Listing list_patterns(const Search& search, int32_t cur_len, int32_t min_len, Workers& workers) {
    Listing list;
    for (int64_t k = cur_len - 1; k >= 1; --k) {
        if (k < min_len) continue;
        workers.check();
        const std::size_t len = static_cast<std::size_t>(k);
        const Level& level = search.level(len);
        for (std::size_t i = 0; i < level.size(); ++i) {
            list.entry.emplace_back(len, i);
            list.ids.resize(list.ids.size() + len);
            search.ids_of(len, i, list.ids.data() + list.ids.size() - len);
            list.start.push_back(list.ids.size());
        }
    }
    return list;
}

Motif motif_of(const Search& search, std::size_t k, std::size_t index, std::vector<uint32_t>& at) {
    Motif motif(search.pattern_of(k, index));
    search.positions_of(k, index, at);
    motif.indexes.positions.reserve(at.size());
    for (const uint32_t gp : at) {
        const auto [word, position] = search.locate(gp);
        motif.indexes.add(word, position);
    }
    return motif;
}

// The listed patterns not removed, as motifs in list order, made in
// parallel parts of about equal numbers of occurrences.
std::vector<std::vector<Motif>> kept_motifs(const Search& search, const Listing& list, const std::vector<char>& removed,
                                            Workers& workers) {
    std::vector<std::size_t> kept, before{0};
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (removed[i]) continue;
        const auto [k, index] = list.entry[i];
        kept.push_back(i);
        before.push_back(before.back() + search.level(k).count(index));
    }
    const std::size_t parts = workers.parts(before.back(), detail::kOccurrenceGrain);
    const std::vector<std::size_t> bounds = split_by_weight(before.data(), kept.size(), parts);
    std::vector<std::vector<Motif>> built(parts);
    workers.run(parts, [&](std::size_t part, unsigned) {
        built[part].reserve(bounds[part + 1] - bounds[part]);
        std::vector<uint32_t> at;
        for (std::size_t j = bounds[part]; j < bounds[part + 1]; ++j) {
            if (j % 64 == 0) workers.check();
            const auto [k, index] = list.entry[kept[j]];
            built[part].push_back(motif_of(search, k, index, at));
        }
    });
    return built;
}

}  // namespace

int32_t PatternMiner::lcs_length(const Pattern& a, const Pattern& b) {
    detail::LcsWith lcs(256);
    lcs.set(reinterpret_cast<const uint8_t*>(a.data()), a.size());
    return lcs.with(reinterpret_cast<const uint8_t*>(b.data()), b.size());
}

void PatternMiner::mine(const WordsView& words, Workers& workers) {
    frequent.clear();
    levels.assign(2, {});
    cur_len = 2;
    min_count = static_cast<double>(words.size()) * minsup;

    Search search(*this, words, workers);
    search.run(cur_len);

    levels.assign(search.level_count(), {});
    for (std::size_t k = 1; k < search.level_count(); ++k) {
        workers.check();
        const std::size_t count = search.level(k).size();
        levels[k].reserve(count);
        for (std::size_t i = 0; i < count; ++i) levels[k].push_back(search.pattern_of(k, i));
    }

    const Listing list = list_patterns(search, cur_len, min_len, workers);
    const std::vector<char> removed = detail::overlap_losers(list, search.alphabet(), max_overlap, workers);
    std::size_t made = 0;
    for (std::vector<Motif>& part : kept_motifs(search, list, removed, workers)) {
        for (Motif& motif : part) {
            if (++made % 64 == 0) workers.check();
            Pattern key = motif.pattern;
            frequent.emplace(std::move(key), std::move(motif));
        }
    }
}

}  // namespace qor
