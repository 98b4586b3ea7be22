// Discretisation: z-normalisation, breakpoints and SAX words.
#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

#include "core/wide.hpp"
#include "helpers.hpp"
#include "sax/blanked.hpp"
#include "sax/sax.hpp"

using namespace qor;
using namespace qor::test;

TEST_CASE("znormalize: population deviation; constant and NaN series become NaN; empty stays empty") {
    Collection ts = {{1.0, 2.0, 3.0}, {1.0, 1.0, 1.0}, {5.0}, {}, {0.1, 0.1, 0.1}, {1.0, NaN}};
    Workers team;
    znormalize(ts, team);
    CHECK(same(ts.to_series(0), {-1.224744871391589, 0.0, 1.224744871391589}));
    CHECK(same(ts.to_series(1), {NaN, NaN, NaN}));
    CHECK(same(ts.to_series(2), {NaN}));
    CHECK(ts.length(3) == 0);
    CHECK(same(ts.to_series(4), {-1.0, -1.0, -1.0}));
    CHECK(same(ts.to_series(5), {NaN, NaN}));
}

TEST_CASE("znormalize: every row has the bits of the plain formula, on the 256-bit loops and off") {
    std::mt19937_64 rng(23);
    std::normal_distribution<double> value(-4.0, 5.0);
    const double inf = std::numeric_limits<double>::infinity();
    Workers one(1), split(3, true);
    for (int round = 0; round < 200; ++round) {
        CAPTURE(round);
        // Groups of rows of mixed lengths (some below four samples), NaN,
        // infinities, huge values and constant rows.
        std::vector<Series> rows(rng() % 40);
        for (Series& row : rows) {
            row.resize(rng() % 4 == 0 ? rng() % 5 : rng() % 90);
            for (double& x : row) {
                x = value(rng);
                if (rng() % 200 == 0) x = NaN;
                if (round % 4 == 1 && rng() % 150 == 0) x = rng() % 2 ? inf : -inf;
                if (round % 4 == 2) x *= 1e300;
            }
            if (rng() % 10 == 0) std::fill(row.begin(), row.end(), 0.25);
        }
        std::vector<Series> expected = rows;
        for (Series& row : expected) {
            const double n = static_cast<double>(row.size());
            double sum = 0.0, sq = 0.0;
            for (double x : row) sum += x;
            const double mean = sum / n;
            for (double x : row) sq += (x - mean) * (x - mean);
            const double sd = std::sqrt(sq / n);
            for (double& x : row) x = (x - mean) / sd;
        }
        for (const bool wide : {true, false}) {
            CAPTURE(wide);
            detail::use_wide_vectors(wide);
            for (Workers* team : {&one, &split}) {
                Collection ts(rows);
                znormalize(ts, *team);
                for (std::size_t i = 0; i < rows.size(); ++i) CHECK(same(ts.to_series(i), expected[i]));
            }
        }
        detail::use_wide_vectors(true);
    }
}

TEST_CASE("znormalize from a source block gives the bits of a copy normalised in place") {
    std::mt19937_64 rng(5);
    std::normal_distribution<double> value(3.0, 2.0);
    Workers one(1), split(3, true);
    for (int round = 0; round < 40; ++round) {
        CAPTURE(round);
        std::vector<Series> rows(rng() % 30);
        for (Series& row : rows) {
            row.resize(rng() % 50);
            for (double& x : row) x = rng() % 20 == 0 ? NaN : value(rng);
            if (rng() % 8 == 0) std::fill(row.begin(), row.end(), 1.5);  // constant
        }
        const Collection source(rows);
        Collection in_place(rows), read(rows);
        znormalize(in_place, one);
        for (Workers* team : {&one, &split}) {
            std::fill(read.row(0), read.row(0) + read.samples(), 99.0);
            znormalize(read, source.row(0), *team);
            for (std::size_t i = 0; i < rows.size(); ++i) CHECK(same(read.to_series(i), in_place.to_series(i)));
        }
    }
}

TEST_CASE("znormalize_and_sax: the values and words of znormalize then sax, long rows in blocks included") {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> value(-1.0, 3.0);
    Workers one(1), split(3, true);
    for (int round = 0; round < 60; ++round) {
        CAPTURE(round);
        std::vector<Series> rows(rng() % 12);
        for (Series& row : rows) {
            // Some rows span several blocks of letters, in whole segments or not.
            row.resize(rng() % 4 == 0 ? 2000 + rng() % 7000 : rng() % 60);
            for (double& x : row) x = rng() % 50 == 0 ? NaN : value(rng);
            if (rng() % 10 == 0) std::fill(row.begin(), row.end(), -2.0);
        }
        const int32_t seglen = rng() % 5 == 0 ? 2040 + static_cast<int32_t>(rng() % 20) : 1 + rng() % 9;
        const int32_t alphabet = static_cast<int32_t>(rng() % 11);
        CAPTURE(seglen);
        CAPTURE(alphabet);
        const Collection source(rows);
        Collection apart(rows);
        znormalize(apart, one);
        const std::vector<Word> expected = sax(apart, seglen, alphabet, one);
        for (Workers* team : {&one, &split}) {
            Collection read(rows), in_place(rows);
            std::fill(read.row(0), read.row(0) + read.samples(), 99.0);
            std::vector<RowScale> scales(rows.size(), RowScale{NaN, NaN});
            CHECK(znormalize_and_sax(read, source.row(0), seglen, alphabet, *team, scales.data()) == expected);
            CHECK(znormalize_and_sax(in_place, seglen, alphabet, *team) == expected);
            // The words alone: the same words and scales, the rows left as they are.
            Collection shape(rows);
            std::fill(shape.row(0), shape.row(0) + shape.samples(), 99.0);
            std::vector<RowScale> alone(rows.size(), RowScale{NaN, NaN});
            CHECK(znormalize_and_sax(shape, source.row(0), seglen, alphabet, *team, alone.data(), false) == expected);
            CHECK(std::all_of(shape.row(0), shape.row(0) + shape.samples(), [](double x) { return x == 99.0; }));
            for (std::size_t i = 0; i < rows.size(); ++i)
                CHECK((same(alone[i].mean, scales[i].mean) && same(alone[i].sd, scales[i].sd)));
            // The scales recorded give the same values again, read from the
            // source or in place, all rows at once or a range at a time.
            Collection again(rows), ranged(rows);
            std::fill(again.row(0), again.row(0) + again.samples(), 99.0);
            znormalize(again, source.row(0), scales.data(), *team);
            const std::size_t half = rows.size() / 2;
            znormalize(ranged, ranged.row(0), scales.data(), half, rows.size(), ranged.row(half));
            znormalize(ranged, ranged.row(0), scales.data(), 0, half, ranged.row(0));
            for (std::size_t i = 0; i < rows.size(); ++i) {
                CHECK(same(read.to_series(i), apart.to_series(i)));
                CHECK(same(in_place.to_series(i), apart.to_series(i)));
                CHECK(same(again.to_series(i), apart.to_series(i)));
                CHECK(same(ranged.to_series(i), apart.to_series(i)));
            }
        }
    }
}

TEST_CASE("znormalize_and_sax: the errors of sax, before any sample is written; no words for a negative seglen") {
    Workers team;
    Collection ts = {{1.0, 2.0}, {}};
    CHECK_THROWS_WITH_AS(znormalize_and_sax(ts, 0, 4, team), "vector too long", std::length_error);
    CHECK_THROWS_WITH_AS(znormalize_and_sax(ts, -2, 4, team), "vector too long", std::length_error);
    CHECK_THROWS_WITH_AS(znormalize_and_sax(ts, 2, 11, team), "alphabet must be between 0 and 10, got 11",
                         std::invalid_argument);
    CHECK(same(ts.to_series(0), {1.0, 2.0}));
    Collection short_rows = {{1.0}, {}};
    CHECK(znormalize_and_sax(short_rows, -2, 4, team) == words_of({"", ""}));
    CHECK(same(short_rows.to_series(0), {NaN}));
}

TEST_CASE("sax: words of series") {
    struct Case {
        std::vector<Series> ts;
        int32_t seglen, alphabet;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {{{-1.0, -1.0, 0.0, 0.0, 1.0, 1.0}}, 2, 3, {"abc"}},
        {{{0.6, 0.6, 0.6}}, 2, 3, {"cb"}},  // the last segment is divided by seglen too
        {{{0.0}}, 1, 2, {"a"}},
        {{{0.43}}, 1, 3, {"b"}},  // a mean equal to a breakpoint is not above it
        {{{5.0, NaN, 5.0, 5.0}}, 2, 4, {"ad"}},
        {{{-9.0, 9.0}}, 1, 0, {"aa"}},
        {{{-9.0, 9.0}}, 1, 1, {"aa"}},
        {{{-9.0, 9.0}}, 1, 10, {"aj"}},
        {{{3.0, 3.0}}, 10, 4, {"c"}},  // 6 / 10 = 0.6
        {{{}, {1.0}}, 3, 4, {"", "c"}},
        {{}, 0, 4, {}},
        {{{10.0, 10.0}}, 1, 4, {"dd"}},
        {{{1.0}}, -2, 4, {""}},
    };
    Workers team;
    for (const Case& c : cases) {
        CAPTURE(c.seglen);
        CAPTURE(c.alphabet);
        CHECK(sax(c.ts, c.seglen, c.alphabet, team) == words_of(c.words));
    }
}

TEST_CASE("sax: each letter counts the breakpoints strictly below its segment's mean, NaN below none") {
    std::mt19937_64 rng(17);
    std::normal_distribution<double> value(0.0, 1.2);
    Workers team;
    for (int32_t alphabet = 0; alphabet <= 10; ++alphabet) {
        const std::vector<double> bp = breakpoints(alphabet);
        for (const int32_t seglen : {1, 2, 3, 7}) {
            CAPTURE(alphabet);
            CAPTURE(seglen);
            Series row(41 * static_cast<std::size_t>(seglen) + 2);
            for (double& x : row) {
                const auto pick = rng() % 10;
                // Samples equal to a breakpoint (a mean on it when seglen is 1)
                x = pick == 0 && !bp.empty() ? bp[rng() % bp.size()] : pick == 1 ? NaN : value(rng);
            }
            std::string expected;
            for (std::size_t begin = 0; begin < row.size(); begin += static_cast<std::size_t>(seglen)) {
                double sum = 0.0;
                for (std::size_t j = begin; j < std::min(row.size(), begin + static_cast<std::size_t>(seglen)); ++j)
                    sum += row[j];
                const double mean = sum / seglen;
                expected +=
                    static_cast<char>('a' + std::count_if(bp.begin(), bp.end(), [&](double b) { return mean > b; }));
            }
            CHECK(sax({row}, seglen, alphabet, team) == words_of({expected}));
        }
    }
}

TEST_CASE("sax: a segment count that is not representable or negative, and a bad alphabet, throw") {
    Workers team;
    CHECK_THROWS_WITH_AS(sax({{}}, 0, 4, team), "vector too long", std::length_error);
    CHECK_THROWS_WITH_AS(sax({{1.0, 2.0}}, -2, 4, team), "vector too long", std::length_error);
    CHECK_THROWS_WITH_AS(sax({}, 2, 11, team), "alphabet must be between 0 and 10, got 11", std::invalid_argument);
    CHECK_THROWS_WITH_AS(sax({}, 2, -1, team), "alphabet must be between 0 and 10, got -1", std::invalid_argument);
}

TEST_CASE("breakpoints: a - 1 ascending values for each alphabet") {
    for (int32_t a = 0; a <= 10; ++a) {
        CAPTURE(a);
        const std::vector<double> row = breakpoints(a);
        CHECK(row.size() == static_cast<std::size_t>(a < 2 ? 0 : a - 1));
        CHECK(std::is_sorted(row.begin(), row.end()));
        if (a == 6) CHECK(row[2] == 0.0);
    }
    CHECK(breakpoints(10).back() == 1.28);
}

TEST_CASE("collection: rows in one block, built row by row; large blocks reused only when they fit") {
    Collection c = {{1.0, 2.0}, {}, {3.0}};
    c.begin_row();
    c.push(4.0);
    c.push(5.0);
    c.end_row();
    c.add_row(std::vector<double>{6.0}.data(), 1);
    REQUIRE(c.size() == 5);
    CHECK((c.length(0) == 2 && c.length(1) == 0 && c.length(2) == 1 && c.length(3) == 2 && c.length(4) == 1));
    CHECK((c.row(1) == c.row(2) && c.row(3) == c.row(0) + 3));
    CHECK((c.to_series(3) == Series{4.0, 5.0} && c.to_series(4) == Series{6.0}));
    Collection moved = std::move(c);
    CHECK((c.empty() && c.samples() == 0 && moved.samples() == 6));
    // Blocks above the reuse size, of growing, shrinking and growing sizes,
    // each written in full and read back (a block handed out too small
    // would be overrun).
    const std::size_t base = kReusedBlock / sizeof(double);
    for (const std::size_t n : {base + 10, base + 5, base + 20, 2 * base + 1, base, base + 20}) {
        Collection big;
        big.assign_rows(2, n / 2);
        double* x = big.row(0);
        for (std::size_t i = 0; i < big.samples(); ++i) x[i] = static_cast<double>(i);
        CHECK(x[big.samples() - 1] == static_cast<double>(big.samples() - 1));
    }
}

TEST_CASE("count_blanked: the rows whose sum, added in order, is not finite, in batches of any size") {
    std::mt19937_64 rng(31);
    const double values[] = {1.0, -2.5, 1e308, -1e308, 0.0, NaN, std::numeric_limits<double>::infinity()};
    for (int round = 0; round < 300; ++round) {
        std::vector<std::vector<double>> rows(rng() % 20);
        std::vector<const double*> starts;
        std::vector<std::size_t> sizes;
        std::size_t want = 0;
        for (auto& row : rows) {
            row.resize(rng() % 9);
            double sum = 0.0;
            for (double& x : row) sum += x = values[rng() % (rng() % 4 == 0 ? 7 : 5)];
            want += !std::isfinite(sum);
            starts.push_back(row.data());
            sizes.push_back(row.size());
        }
        CHECK(count_blanked(starts.data(), sizes.data(), rows.size()) == want);
    }
}
