// The pipeline: ranking, selection, Miner::mine, and identical results on
// one thread and split into many parts.
#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "helpers.hpp"
#include "pipeline/miner.hpp"
#include "pipeline/partitioned.hpp"
#include "pipeline/ranking.hpp"
#include "sax/sax.hpp"

using namespace qor;
using namespace qor::test;

TEST_CASE("ranking: ascending naed, stable, NaN last; top_motifs copies the first k") {
    std::vector<Motif> ms;
    const std::vector<std::pair<std::string, double>> cases = {{"a", 0.3}, {"b", NaN}, {"c", 0.1},
                                                               {"d", 0.2}, {"e", 0.1}, {"f", NaN}};
    for (const auto& [p, naed] : cases) {
        ms.emplace_back(P(p));
        ms.back().naed = naed;
    }
    rank_motifs(ms);
    std::string order;
    for (const auto& m : ms) order += text(m.pattern);
    CHECK(order == "cedabf");
    CHECK(top_motifs(ms, 0).size() == 6);
    CHECK(top_motifs(ms, 2).size() == 2);
    CHECK(top_motifs(ms, 9).size() == 6);
    CHECK(text(top_motifs(ms, 1)[0].pattern) == "c");
    CHECK_THROWS_WITH_AS(top_motifs(ms, -1), "vector too long", std::length_error);
    std::vector<Motif> empty;
    rank_motifs(empty);
    CHECK(top_motifs(empty, 0).empty());
    CHECK(top_motifs(empty, 3).empty());
}

TEST_CASE("relative_naeds: naed over the spread of the representative's real samples; inf without spread") {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::tuple<double, std::vector<double>, double>> cases = {
        {0.5, {1.0, -1.0}, 0.5},
        {0.5, {1.0, NaN, -1.0}, 0.5},
        {0.5, {2.0, 2.0, 2.0}, inf},
        {0.5, {NaN, NaN}, inf},
        {0.5, {}, inf},
        {NaN, {1.0, -1.0}, inf},
        {0.3, {0.0, 1.0, 2.0, 3.0}, 0.3 / std::sqrt(1.25)},
    };
    std::vector<Motif> ms;
    for (const auto& [naed, rep, expected] : cases) {
        ms.emplace_back(P("a"));
        ms.back().naed = naed;
        ms.back().representative = rep;
    }
    std::vector<const Motif*> all;
    for (const Motif& m : ms) all.push_back(&m);
    const std::vector<double> got = relative_naeds(all);
    REQUIRE(got.size() == cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) CHECK(got[i] == std::get<2>(cases[i]));
}

TEST_CASE("Miner::mine: motifs share the normalised collection, the whole collection kept, the first k returned") {
    Workers team;
    Miner m(0.5, 2, 3, 1, 0, 0.9, 1);
    Collection ts = {{1, 2, 3, 4, 5, 6, 7}, {7, 6, 5, 4, 3, 2, 1}, {1, 1, 1, 1}};
    const double* block = ts.row(0);
    const auto top = m.mine(std::move(ts), team);
    CHECK(top.size() == 1);
    CHECK(!m.motifs.empty());
    const Collection* normalised = top[0].average_occurrences.collection();
    REQUIRE(normalised != nullptr);
    CHECK(normalised->row(0) == block);  // taken over, not copied
    CHECK(same(normalised->to_series(2), {NaN, NaN, NaN, NaN}));
    for (const Motif& x : m.motifs) {
        CHECK(x.length == 2 * static_cast<int32_t>(x.pattern.size()));
        CHECK(x.average_occurrences.collection() == normalised);
        CHECK(x.average_rows().size() == x.indexes.size() * static_cast<std::size_t>(x.length));
        CHECK(x.best_matches.size() == x.indexes.size());
    }
    // A second call on other, shorter series holds only its own motifs.
    std::vector<Series> shorter = {{1, 2}};
    Miner fresh(0.5, 2, 3, 1, 0, 0.9, 1);
    std::vector<Series> copy = shorter;
    m.mine(shorter, team);
    fresh.mine(copy, team);
    CHECK(m.motifs.size() == fresh.motifs.size());
}

TEST_CASE("Miner::mine: a negative k fails after ranking; a bad alphabet fails first; a bad seglen empties") {
    Workers team;
    Miner bad(0.5, 2, 3, 3, 0, 0.9, -1);
    std::vector<Series> again = {{1, 2, 3, 4, 5, 6, 7}, {1, 2, 3, 4, 5, 6, 7}};
    CHECK_THROWS_WITH_AS(bad.mine(again, team), "vector too long", std::length_error);
    CHECK(!bad.motifs.empty());
    Miner wide(0.5, 2, 11);
    std::vector<Series> none;
    CHECK_THROWS_WITH_AS(wide.mine(none, team), "alphabet must be between 0 and 10, got 11", std::invalid_argument);
    // Motifs of an earlier call: kept by an alphabet error, gone after a
    // segment count error.
    Miner held(0.5, 2, 3, 1);
    held.mine(again, team);
    REQUIRE(!held.motifs.empty());
    held.alphabet = 11;
    CHECK_THROWS_AS(held.mine(again, team), std::invalid_argument);
    CHECK(!held.motifs.empty());
    held.alphabet = 3;
    held.seglen = -4;
    CHECK_THROWS_WITH_AS(held.mine(again, team), "vector too long", std::length_error);
    CHECK(held.motifs.empty());
    // Words that are not those of the series are refused.
    held.seglen = 2;
    CHECK_THROWS_AS(held.mine_normalised(again, {Word(4), Word(3)}, team), std::invalid_argument);
    CHECK_THROWS_AS(held.mine_normalised(again, {Word(4)}, team), std::invalid_argument);
}

// The whole pipeline gives identical results, to the last bit and in the same
// order, on one thread and split into many small parts on several threads.
TEST_CASE("the pipeline on one thread and split into parts: the same results") {
    std::mt19937_64 rng(7);
    Workers serial(1), split(3, true);
    for (int round = 0; round < 25; ++round) {
        CAPTURE(round);
        const std::vector<Series> ts = random_walks(rng, 60, 400, 50);
        const int32_t seglen = 1 + static_cast<int32_t>(rng() % 6);
        const int32_t alphabet = 2 + static_cast<int32_t>(rng() % 5);
        const double minsup = 0.05 + 0.3 * static_cast<double>(rng() % 100) / 100.0;
        const double overlaps[] = {0.5, 0.9, 1.0, 1.0};
        Miner one(minsup, seglen, alphabet, 1 + static_cast<int32_t>(rng() % 3), 0, overlaps[rng() % 4]);
        Miner many = one;
        auto a = std::make_shared<Collection>(ts), b = std::make_shared<Collection>(ts);
        znormalize(*a, serial);
        znormalize(*b, split);
        one.collect_and_rank(a, serial);
        many.collect_and_rank(b, split);
        REQUIRE(one.motifs.size() == many.motifs.size());
        for (std::size_t i = 0; i < one.motifs.size(); ++i) REQUIRE(same_motif(one.motifs[i], many.motifs[i]));
        CHECK(sax(*a, seglen, alphabet, serial) == sax(*b, seglen, alphabet, split));
    }
}

TEST_CASE("Miner::mine stops part way, with Stopped, once the poll asks to") {
    // Every pattern of one random series is frequent at minsup 0: a search
    // that takes far longer than one poll interval.
    std::mt19937_64 rng(11);
    std::normal_distribution<double> sample;
    std::vector<Series> ts(1, Series(700));
    for (double& x : ts[0]) x = sample(rng);
    for (unsigned threads : {1u, 3u}) {
        CAPTURE(threads);
        Workers team(threads);
        int polls = 0;
        team.set_poll([&] { return ++polls == 1; });
        Miner miner(0.0, 1, 10);
        std::vector<Series> copy = ts;
        CHECK_THROWS_AS(miner.mine(copy, team), Stopped);
        CHECK(polls == 1);
    }
}

namespace {

// The rows of a motif of the whole collection, computed partition by
// partition as qor's scale-out does when they are read.
class PartitionRows : public RowSource {
public:
    PartitionRows(const std::vector<Collection>& parts, const std::vector<int32_t>& firsts)
        : parts_(parts), firsts_(firsts) {}
    std::vector<double> rows(const Motif& m) const override {
        std::vector<double> out;
        for (std::size_t p = 0; p < parts_.size(); ++p) {
            const int32_t last = firsts_[p] + static_cast<int32_t>(parts_[p].size());
            const PartOccurrences occ = occurrences_in({&m}, firsts_[p], last);
            std::vector<double> rows(occ.row_values());
            average_rows(parts_[p], occ, rows.data());
            out.insert(out.end(), rows.begin(), rows.end());
        }
        return out;
    }

private:
    const std::vector<Collection>& parts_;
    const std::vector<int32_t>& firsts_;
};

}  // namespace

TEST_CASE("partitioned mining: the motifs of Miner::mine, to the last bit, from partitions in any split") {
    std::mt19937_64 rng(11);
    Workers team(2, true);
    for (int round = 0; round < 20; ++round) {
        CAPTURE(round);
        const std::vector<Series> ts = random_walks(rng, 50, 300, 40);
        const int32_t seglen = 1 + static_cast<int32_t>(rng() % 5), alphabet = 2 + static_cast<int32_t>(rng() % 5);
        const double minsup = 0.1 + 0.4 * static_cast<double>(rng() % 100) / 100.0;
        Miner one(minsup, seglen, alphabet, 2, 0, 0.9, 0);
        one.mine(Collection(ts), team);

        // Partitions of random sizes, some empty, normalised on their own.
        std::vector<Collection> parts;
        std::vector<int32_t> firsts;
        for (std::size_t at = 0; at <= ts.size();) {
            const std::size_t n = std::min<std::size_t>(rng() % 12, ts.size() - at);
            firsts.push_back(static_cast<int32_t>(at));
            parts.emplace_back(std::vector<Series>(ts.begin() + static_cast<std::ptrdiff_t>(at),
                                                   ts.begin() + static_cast<std::ptrdiff_t>(at + n)));
            znormalize(parts.back(), team);
            at += n;
            if (at == ts.size()) break;
        }
        PartitionedMiner plan(minsup, seglen, alphabet, 2, 0, 0.9, 0);
        for (const Collection& part : parts) plan.add_words(sax(part, seglen, alphabet, team));
        plan.search(team);
        const std::vector<int64_t> offset = plan.sum_offsets();
        std::vector<double> sum(static_cast<std::size_t>(offset.back()), 0.0), count(sum.size(), 0.0);
        for (std::size_t p = 0; p < parts.size(); ++p) {
            const int32_t last = firsts[p] + static_cast<int32_t>(parts[p].size());
            add_average_rows(parts[p], plan.occurrences(firsts[p], last), offset, sum.size(), sum.data(), count.data());
        }
        plan.finish_representatives(sum.data(), count.data());
        const std::vector<double> reps = plan.representative_values();
        for (std::size_t p = 0; p < parts.size(); ++p) {
            const int32_t last = firsts[p] + static_cast<int32_t>(parts[p].size());
            const PartOccurrences occ = plan.occurrences(firsts[p], last);
            std::vector<int64_t> at(occ.runs());
            for (std::size_t k = 0; k < occ.runs(); ++k) at[k] = offset[static_cast<std::size_t>(occ.run_motif[k])];
            std::vector<double> distance(occ.size());
            std::vector<int32_t> start(occ.size());
            best_matches(parts[p], occ, at.data(), reps.data(), distance.data(), start.data());
            plan.add_best_matches(occ, distance.data(), start.data());
        }
        const std::vector<Motif> got = plan.finish(std::make_shared<PartitionRows>(parts, firsts));
        REQUIRE(got.size() == one.motifs.size());
        for (std::size_t i = 0; i < got.size(); ++i) REQUIRE(same_motif(got[i], one.motifs[i]));
    }
}

TEST_CASE("partitioned mining: sums refuse offsets that do not fit and entries of no motif") {
    Workers team(1);
    Collection ts = {{1, 2, 3, 2, 1, 2, 3}, {3, 2, 1, 2, 3, 2, 1}};
    znormalize(ts, team);
    PartitionedMiner plan(0.5, 1, 3, 2, 0, 0.9, 0);
    CHECK_THROWS_AS(plan.sum_offsets(), std::logic_error);
    plan.add_words(sax(ts, 1, 3, team));
    REQUIRE(plan.search(team) > 0);
    const std::vector<int64_t> offset = plan.sum_offsets();
    std::vector<double> sum(static_cast<std::size_t>(offset.back())), count(sum.size());
    const PartOccurrences occ = plan.occurrences(0, 2);
    CHECK_THROWS_AS(add_average_rows(ts, occ, offset, sum.size() + 1, sum.data(), count.data()), std::invalid_argument);
    const std::vector<int64_t> short_offsets(offset.begin(), offset.end() - 1);
    CHECK_THROWS_AS(add_average_rows(ts, occ, short_offsets, static_cast<std::size_t>(short_offsets.back()), sum.data(),
                                     count.data()),
                    std::invalid_argument);
    PartOccurrences stray = occ;
    stray.run_motif.back() = static_cast<int32_t>(offset.size());
    CHECK_THROWS_AS(add_average_rows(ts, stray, offset, sum.size(), sum.data(), count.data()), std::invalid_argument);
    CHECK_THROWS_AS(plan.representative_values(), std::logic_error);
}

TEST_CASE("partitioned statistics: series written on demand, range by range, into a buffer of the caller's") {
    // Several ranges of series (the statistics ask for about 65,536 samples
    // at a time), NaN samples and short series among them.
    std::mt19937_64 rng(5);
    Workers one(1);
    for (int round = 0; round < 4; ++round) {
        CAPTURE(round);
        std::vector<Series> walks;
        // Long series: a range of series holds one or two, and a motif's
        // rows in one are few.
        if (round % 2 == 1) walks = random_walks(rng, 1, 24000, 1u << 30);
        while (round % 2 == 1 && walks.size() < 16) walks.push_back(random_walks(rng, 1, 24000, 1u << 30)[0]);
        while (walks.size() < 700 && round % 2 == 0) {
            const std::vector<Series> more = random_walks(rng, 200, 400, 1u << 30);
            walks.insert(walks.end(), more.begin(), more.end());
            walks.push_back(Series(1 + rng() % 100, 3.0));  // normalised to NaN
        }
        walks[1][0] = NaN;
        const Collection raw(walks);
        Collection normalised(walks);
        std::vector<RowScale> scales(raw.size(), RowScale{NaN, NaN});
        const std::vector<Word> words = znormalize_and_sax(normalised, 4, 5, one, scales.data());
        PartitionedMiner plan(0.2, 4, 5, 3, 0, 0.9, 0);
        plan.add_words(words);
        plan.search(one);
        const auto n = static_cast<int32_t>(raw.size());
        const PartOccurrences occ = plan.occurrences(0, n);
        REQUIRE(occ.size() > 0);
        REQUIRE(occ.row_values() > 10000);

        // The statistics read only what prepare returns: the collection they
        // are given holds NaN, and each range's buffer is poisoned once the
        // next one is asked for.
        Collection shape(walks);
        std::fill(shape.row(0), shape.row(0) + shape.samples(), NaN);
        std::vector<std::pair<std::size_t, std::size_t>> asked;
        std::vector<double> buffer;
        const PrepareSeries prepare = [&](std::size_t first, std::size_t last) -> const double* {
            asked.emplace_back(first, last);
            std::fill(buffer.begin(), buffer.end(), NaN);
            buffer.resize(std::max(buffer.size(), raw.start(last) - raw.start(first)));
            znormalize(raw, raw.row(0), scales.data(), first, last, buffer.data());
            return buffer.data();
        };
        const auto ranges_ascend = [&asked] {
            for (std::size_t i = 0; i < asked.size(); ++i)
                if (asked[i].first >= asked[i].second || (i > 0 && asked[i].first < asked[i - 1].second)) return false;
            return asked.size() > 1;
        };

        const std::vector<int64_t> offset = plan.sum_offsets();
        std::vector<double> sum(static_cast<std::size_t>(offset.back()), 0.0), count(sum.size(), 0.0);
        std::vector<double> sum_on_demand = sum, count_on_demand = count;
        add_average_rows(normalised, occ, offset, sum.size(), sum.data(), count.data());
        add_average_rows(shape, occ, offset, sum.size(), sum_on_demand.data(), count_on_demand.data(), &prepare);
        CHECK(ranges_ascend());
        CHECK(same(sum, sum_on_demand));
        CHECK(same(count, count_on_demand));

        std::vector<double> rows(occ.row_values()), rows_on_demand(rows.size());
        average_rows(normalised, occ, rows.data());
        asked.clear();
        average_rows(shape, occ, rows_on_demand.data(), &prepare);
        CHECK(ranges_ascend());
        CHECK(same(rows, rows_on_demand));

        plan.finish_representatives(sum.data(), count.data());
        const std::vector<double> reps = plan.representative_values();
        std::vector<int64_t> at(occ.runs());
        for (std::size_t k = 0; k < occ.runs(); ++k) at[k] = offset[static_cast<std::size_t>(occ.run_motif[k])];
        std::vector<double> distance(occ.size()), distance_on_demand(occ.size());
        std::vector<int32_t> start(occ.size()), start_on_demand(occ.size());
        best_matches(normalised, occ, at.data(), reps.data(), distance.data(), start.data());
        asked.clear();
        best_matches(shape, occ, at.data(), reps.data(), distance_on_demand.data(), start_on_demand.data(), &prepare);
        CHECK(ranges_ascend());
        CHECK(same(distance, distance_on_demand));
        CHECK(start == start_on_demand);
    }
}
