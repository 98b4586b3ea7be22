// The pipeline: ranking, selection, Miner::mine, and identical results on
// one thread and split into many parts.
#include <doctest/doctest.h>

#include <memory>
#include <random>
#include <stdexcept>

#include "helpers.hpp"
#include "pipeline/miner.hpp"
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

TEST_CASE("Miner::mine: a negative k fails after ranking; a bad alphabet fails first") {
    Workers team;
    Miner bad(0.5, 2, 3, 3, 0, 0.9, -1);
    std::vector<Series> again = {{1, 2, 3, 4, 5, 6, 7}, {1, 2, 3, 4, 5, 6, 7}};
    CHECK_THROWS_WITH_AS(bad.mine(again, team), "vector too long", std::length_error);
    CHECK(!bad.motifs.empty());
    Miner wide(0.5, 2, 11);
    std::vector<Series> none;
    CHECK_THROWS_WITH_AS(wide.mine(none, team), "alphabet must be between 0 and 10, got 11", std::invalid_argument);
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
