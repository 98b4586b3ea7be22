// The motif record and its statistics, through the per-motif methods and
// through score_motifs, the path the Miner runs.
#include <doctest/doctest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>

#include "helpers.hpp"
#include "motifs/kernels.hpp"
#include "motifs/repeated.hpp"
#include "motifs/statistics.hpp"
#include "motifs/wide.hpp"
#include "motifs/window_batch.hpp"
#include "patterns/pattern_miner.hpp"
#include "sax/sax.hpp"

using namespace qor;
using namespace qor::test;

TEST_CASE("record: copies share the averages; moves leave an empty, usable record") {
    Motif m = motif_with("abc", 2, {{0, {1, 2}}, {3, {0}}});
    m.naed = 0.25;
    const std::vector<double> table = {1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 10.0, 11.0, 12.0};
    m.average_occurrences = AverageRows(SharedValues(Values(table.begin(), table.end())));
    Motif copy(m);
    CHECK(copy.average_rows() == table);
    CHECK(copy.average_occurrences.table().data() == m.average_occurrences.table().data());
    CHECK((text(copy.pattern) == "abc" && positions(copy) == positions(m) && copy.representative.size() == 6));
    Motif moved(std::move(copy));
    CHECK((copy.pattern.empty() && copy.indexes.empty() && copy.representative.empty() &&
           copy.average_occurrences.empty()));
    CHECK((moved.naed == 0.25 && moved.length == 6 && positions(moved) == positions(m)));
    copy = std::move(moved);
    CHECK((moved.pattern.empty() && text(copy.pattern) == "abc"));
    Motif& alias = copy;
    copy = std::move(alias);
    CHECK((text(copy.pattern) == "abc" && positions(copy) == positions(m)));
    copy.indexes.add(7, 1);  // a moved-from or reused record stays usable
    CHECK(copy.indexes.size() == 3);
}

TEST_CASE("extract_occurrence: a window past the end of its series is padded with NaN") {
    // Series of 10 samples, seglen 4: the window at symbol 1 is samples 4..9
    // followed by two NaN values.
    const Series s10 = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    const Motif w = motif_with("ab", 4, {{0, {1}}});
    CHECK(same(w.extract_occurrence(s10, 1), {4, 5, 6, 7, 8, 9, NaN, NaN}));
}

// score_motifs keeps no average rows: they are computed from the collection
// when they are read.
void read_rows_from(std::vector<Motif>& motifs, const Collection& ts) {
    const auto shared = std::make_shared<const Collection>(ts);
    for (Motif& m : motifs) {
        CHECK(!m.has_average_rows());
        m.average_occurrences = AverageRows(shared);
    }
}

// Each case runs twice: through compute_average_occurrences,
// compute_representative and compute_best_matches on each motif, and
// through score_motifs on all the cases' motifs at once (on one thread and
// split into parts); both must give the expected values.
struct Case {
    const char* what;
    std::string pattern;
    int32_t seglen;
    Positions occ;
    std::vector<double> averages, representative;
    std::vector<int32_t> best_matches;
    double naed;
};

TEST_CASE("statistics: per motif and in a batch, the same expected values") {
    const std::vector<Series> ts = {{1.0, 2.0, NaN, 3.0}, {2.0, NaN},      {4.0, 6.0}, {1, 0, 0, 0},
                                    {0, 3, 0, 0},         Series(40, 1.0), {0.0, 2e6}, {7.0, 7.0, -0.0, NaN, 5.0}};
    const double root = std::sqrt(2.5);
    const Case cases[] = {
        // Windows [1, 2, NaN] and [3, NaN, NaN] average to [2, 2, NaN];
        // both are at distance 1 from it, and the first recorded wins.
        {"two windows", "abc", 1, {{0, {0, 3}}}, {2.0, 2.0, NaN}, {2.0, 2.0, NaN}, {0}, 1.0 / 3.0},
        // Averages [2, NaN] and [4, 6] give [3, 6], each added in two
        // halves; distances 1 and 1 over 2 series x 2 samples.
        {"two series", "ab", 1, {{1, {0}}, {2, {0}}}, {2.0, NaN, 4.0, 6.0}, {3.0, 6.0}, {0, 0}, 0.5},
        // Representative [0.5, 1.5, 0, 0]: both distances are sqrt(2.5).
        {"two halves", "ab", 2, {{3, {0}}, {4, {0}}}, {1, 0, 0, 0, 0, 3, 0, 0}, {0.5, 1.5, 0, 0}, {0, 0}, root / 4.0},
        // Equal windows: the earlier position wins, reported in samples.
        {"tie", "a", 4, {{5, {5, 7}}}, {1, 1, 1, 1}, {1, 1, 1, 1}, {20}, 0.0},
        // One window is its own mean, except that -0.0 becomes +0.0; the
        // samples past the end are NaN, and NaN samples add nothing.
        {"one window", "abc", 2, {{7, {1}}}, {0.0, NaN, 5.0, NaN, NaN, NaN}, {0.0, NaN, 5.0, NaN, NaN, NaN}, {2}, 0.0},
    };
    std::vector<Motif> batch, serial;
    for (const Case& c : cases) {
        CAPTURE(c.what);
        Motif m = motif_with(c.pattern, c.seglen, c.occ);
        batch.push_back(m);
        m.compute_average_occurrences(ts);
        m.compute_representative();
        m.compute_best_matches(ts);
        const std::vector<double> averages = m.average_rows();
        CHECK(same(averages, c.averages));
        CHECK(same(m.representative, c.representative));
        CHECK(m.best_matches == c.best_matches);
        CHECK(m.naed == c.naed);
        if (c.averages[0] == 0.0) CHECK(!std::signbit(averages[0]));
        serial.push_back(std::move(m));
    }
    std::vector<Motif> split = batch;
    Workers one(1), parts(3, true);
    score_motifs(batch, ts, one);
    score_motifs(split, ts, parts);
    read_rows_from(batch, ts);
    read_rows_from(split, ts);
    for (std::size_t i = 0; i < serial.size(); ++i) {
        CAPTURE(cases[i].what);
        CHECK(same_motif(batch[i], serial[i]));
        CHECK(same_motif(split[i], serial[i]));
    }
}

TEST_CASE("compute_representative: from averages set by hand") {
    Motif rep = motif_with("ab", 1, {{0, {0}}, {1, {0}}});
    rep.average_occurrences = AverageRows(SharedValues(Values{2.0, NaN, 4.0, 6.0}));
    rep.compute_representative();
    CHECK(same(rep.representative, {3.0, 6.0}));
}

TEST_CASE("compute_best_matches: fallback distance, NaN windows, the distance to the representative held") {
    // Best distances 1 and 3 to a representative of zeros, length 4: naed 0.5.
    Motif best = motif_with("ab", 2, {{0, {0}}, {1, {0}}});
    best.compute_best_matches({{1.0, 0.0, 0.0, 0.0}, {0.0, 3.0, 0.0, 0.0}});
    CHECK(best.naed == 0.5);
    CHECK(best.best_matches == std::vector<int32_t>{0, 0});

    // No window closer than 1000000: fallback distance, position 0.
    Motif far = motif_with("a", 1, {{0, {1}}});
    far.compute_best_matches({{0.0, 2e6}});
    CHECK(far.naed == 1000000.0);
    CHECK(far.best_matches == std::vector<int32_t>{0});

    // A window that is all NaN has distance 0 and wins.
    Motif nan = motif_with("a", 2, {{0, {0, 1}}});
    nan.representative = {5.0, 5.0};
    nan.compute_best_matches({{1.0, 1.0, NaN, NaN}});
    CHECK(nan.naed == 0.0);
    CHECK(nan.best_matches == std::vector<int32_t>{2});
}

TEST_CASE("statistics of a motif without occurrences: naed is 0 / 0, the representative unchanged") {
    Workers team;
    Motif none = motif_with("a", 1, {});
    std::vector<Motif> batch = {none};
    none.compute_average_occurrences({});
    none.compute_representative();
    none.compute_best_matches({});
    CHECK(std::isnan(none.naed));
    CHECK(none.best_matches.empty());
    CHECK(same(none.representative, {0.0}));
    score_motifs(batch, {}, team);
    read_rows_from(batch, {});
    CHECK(same_motif(batch[0], none));
}

TEST_CASE("motif_length and prepare_motifs") {
    CHECK(motif_length(3, 4) == 12);
    CHECK_THROWS_AS(motif_length(1 << 30, 2), std::invalid_argument);
    std::vector<Motif> ms;
    ms.emplace_back(P("ab"));
    ms.emplace_back(P("abc"));
    prepare_motifs(ms, 3);
    CHECK((ms[0].seglen == 3 && ms[0].length == 6 && ms[0].representative == std::vector<double>(6, 0.0)));
    CHECK((ms[1].seglen == 3 && ms[1].length == 9 && ms[1].representative == std::vector<double>(9, 0.0)));
    // A length that does not fit, 4 x 600000000 samples, fails before any
    // motif changes, also those whose lengths fit.
    ms.emplace_back(Pattern(4, 'a'));
    CHECK_THROWS_AS(prepare_motifs(ms, 600000000), std::invalid_argument);
    CHECK((ms[0].seglen == 3 && ms[0].length == 6));
}

// The statistics of a motif made row by row from the kernels, the way a
// caller that holds the series in parts puts them together; the averages
// are kept as a stored table.
Motif by_rows(const Motif& scored, const Collection& ts) {
    Motif m = motif_with(text(scored.pattern), scored.seglen, positions(scored));
    const std::size_t len = m.representative.size(), rows = m.indexes.size();
    Values table(rows * len);
    std::vector<double> scratch(len);
    detail::RepresentativeSums sums(len);
    for (std::size_t r = 0; r < rows; ++r) {
        const auto s = static_cast<std::size_t>(m.indexes.series[r]);
        const int32_t* first = m.indexes.begin_of(r);
        detail::average_row(ts.row(s), ts.length(s), first, static_cast<std::size_t>(m.indexes.end_of(r) - first),
                            m.seglen, m.length, table.data() + r * len, scratch.data());
        sums.add(table.data() + r * len);
    }
    sums.finish(rows, m.representative.data());
    m.average_occurrences = AverageRows(SharedValues(std::move(table)));
    double naed = 0.0;
    for (std::size_t r = 0; r < rows; ++r) {
        const auto s = static_cast<std::size_t>(m.indexes.series[r]);
        const int32_t* first = m.indexes.begin_of(r);
        const detail::BestMatch best =
            detail::best_match(ts.row(s), ts.length(s), first, static_cast<std::size_t>(m.indexes.end_of(r) - first),
                               m.seglen, m.length, m.representative.data());
        naed = naed + best.distance;
        m.best_matches.push_back(best.position * m.seglen);
    }
    m.naed = detail::finish_naed(naed, rows, m.length);
    return m;
}

TEST_CASE("score_motifs equals the per-motif methods on mined random collections") {
    std::mt19937_64 rng(3);
    Workers one(1), parts(3, true);
    for (int round = 0; round < 20; ++round) {
        CAPTURE(round);
        // Every fourth round, many short series: a motif then has more
        // single-window rows in a row than are added to its sums at once.
        const bool many = round % 4 == 0;
        const std::vector<Series> ts = random_walks(rng, many ? 300 : 30, many ? 60 : 300, 40);
        const int32_t seglen = 1 + static_cast<int32_t>(rng() % 5);
        PatternMiner miner(0.2, 2, 0, 0.9);
        miner.mine(sax(ts, seglen, 4, one), one);
        std::vector<Motif> each;
        for (auto& entry : miner.frequent) each.push_back(entry.second);
        prepare_motifs(each, seglen);
        std::vector<Motif> batch = each, split = each;
        for (Motif& m : each) {
            m.compute_average_occurrences(ts);
            m.compute_representative();
            m.compute_best_matches(ts);
        }
        score_motifs(batch, ts, one);
        score_motifs(split, ts, parts);
        read_rows_from(batch, ts);
        read_rows_from(split, ts);
        for (std::size_t i = 0; i < each.size(); ++i) {
            REQUIRE(same_motif(batch[i], each[i]));
            REQUIRE(same_motif(split[i], each[i]));
            REQUIRE(same_motif(by_rows(each[i], ts), each[i]));
        }
    }
}

TEST_CASE("the 256-bit loops give the bits of the others and of plain sums, NaN samples and tails included") {
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> value(-3.0, 3.0);
    const double inf = std::numeric_limits<double>::infinity();
    for (int round = 0; round < 600; ++round) {
        CAPTURE(round);
        // No NaN at all (the vector loops' unmasked sums stand), a rare one
        // (they are done again without it), or many; infinities in some.
        const unsigned nan_every = round % 3 == 0 ? 0 : round % 3 == 1 ? 300 : 9;
        const bool infinities = round % 5 == 0;
        Series s(20 + rng() % 400);
        for (double& x : s) {
            x = nan_every && rng() % nan_every == 0 ? NaN : value(rng);
            if (infinities && rng() % 97 == 0) x = rng() % 2 ? inf : -inf;
        }
        const int32_t seglen = 1 + static_cast<int32_t>(rng() % 4);
        const int32_t length = 1 + static_cast<int32_t>(rng() % 80);
        const std::size_t symbols =
            (s.size() + static_cast<std::size_t>(seglen) - 1) / static_cast<std::size_t>(seglen);
        std::vector<int32_t> positions(1 + rng() % 40);
        for (int32_t& p : positions) p = static_cast<int32_t>(rng() % symbols);
        std::vector<double> rep(static_cast<std::size_t>(length)), other(rep.size());
        for (std::size_t i = 0; i < rep.size(); ++i) {
            rep[i] = nan_every && rng() % 50 == 0 ? NaN : value(rng);
            other[i] = value(rng);
        }

        // Plain sums, in window order and in offset order.
        std::vector<double> mean(rep.size()), dist(positions.size());
        for (std::size_t i = 0; i < rep.size(); ++i) {
            double sum = 0.0, count = 0.0;
            for (const int32_t p : positions) {
                const std::size_t at = static_cast<std::size_t>(p * seglen) + i;
                if (at < s.size() && s[at] == s[at]) {
                    sum += s[at];
                    count += 1.0;
                }
            }
            mean[i] = count > 0.0 ? sum / count : NaN;
        }
        detail::WindowBatch batch;
        for (std::size_t w = 0; w < positions.size(); ++w) {
            const std::size_t first = static_cast<std::size_t>(positions[w] * seglen);
            const std::size_t count = std::min(rep.size(), s.size() - first);
            const double* r = w % 3 == 2 ? other.data() : rep.data();  // mixed representatives
            double sum = 0.0;
            for (std::size_t i = 0; i < count; ++i)
                if (s[first + i] == s[first + i]) sum += (s[first + i] - r[i]) * (s[first + i] - r[i]);
            dist[w] = std::sqrt(sum);
            batch.add(s.data() + first, count, r);
        }

        // The whole windows added to sums one after the other, and together.
        std::vector<const double*> whole;
        for (const int32_t p : positions)
            if (static_cast<std::size_t>(p * seglen) + rep.size() <= s.size())
                whole.push_back(s.data() + static_cast<std::size_t>(p * seglen));
        std::vector<double> sum(rep.size(), 0.0), count(rep.size(), 0.0);
        for (const double* x : whole) detail::add_real(sum.data(), count.data(), x, rep.size());
        std::vector<double> sum_wide(rep.size(), 0.0), count_wide(rep.size(), 0.0);
        if (detail::wide_vectors()) {
            detail::add_windows_wide(sum_wide.data(), count_wide.data(), whole.data(), whole.size(), rep.size());
            CHECK(same(sum_wide, sum));
            CHECK(same(count_wide, count));
        }

        for (const bool wide : {true, false}) {
            CAPTURE(wide);
            detail::use_wide_vectors(wide);
            std::vector<double> row(rep.size()), scratch(rep.size());
            detail::average_row(s.data(), s.size(), positions.data(), positions.size(), seglen, length, row.data(),
                                scratch.data());
            CHECK(same(row, mean));
            batch.compute();
            CHECK(same(batch.dist, dist));
        }
        detail::use_wide_vectors(true);
    }
}

namespace {

double added_plainly(double acc, double v, std::size_t times) {
    for (std::size_t t = 0; t < times; ++t) acc = v + acc;
    return acc;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

TEST_CASE("add_repeated gives the bits of adding one value again and again") {
    std::mt19937_64 rng(7);
    const double inf = std::numeric_limits<double>::infinity();
    const double tiny = std::numeric_limits<double>::denorm_min();
    const double big = std::numeric_limits<double>::max();
    // Values that tie on the grid of their sums (a multiple of a power of two
    // plus exactly half of it), subnormal, near overflow, of either sign, or
    // not finite, from zero and from other starts.
    std::vector<double> values = {1.0,
                                  0.1,
                                  -0.1,
                                  1.5,
                                  3.0 / 7,
                                  0.75,
                                  std::ldexp(1.0, -53),
                                  tiny,
                                  3 * tiny,
                                  -tiny,
                                  big / 4,
                                  -big / 8,
                                  inf,
                                  -inf,
                                  NaN,
                                  0.0,
                                  -0.0,
                                  1e-300,
                                  2.5e-308,
                                  1 + std::ldexp(1.0, -52)};
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-60, 60);
    for (int i = 0; i < 60; ++i) values.push_back(std::ldexp(unit(rng), exponent(rng)));
    for (int i = 0; i < 30; ++i) {
        // k + 1/2 grid steps of a sum around 2^e: ties all the way.
        const double k = static_cast<double>(rng() % 64);
        values.push_back(std::ldexp(k + 0.5, exponent(rng)) * (i % 2 ? -1.0 : 1.0));
    }
    const std::vector<double> starts = {0.0, -0.0, 1.0, -3.0, 1e6, tiny, 0.3};
    const std::vector<std::size_t> counts = {0, 1, 2, 3, 5, 1000, 1023, 1024, 4097, 65536, 100003};
    for (const double v : values)
        for (const double start : starts)
            for (const std::size_t times : counts) {
                const double want = added_plainly(start, v, times);
                const double got = detail::add_repeated(start, v, times);
                INFO("v = " << v << ", start = " << start << ", times = " << times);
                CHECK(same_bits(got, want));
            }
    // Through finish_sums' entry point, whichever loop it takes.
    for (const std::size_t times : {std::size_t{7}, std::size_t{5000}}) {
        std::vector<double> acc(values.size(), 0.25), plain = acc;
        detail::add_times(acc.data(), values.data(), values.size(), times);
        for (std::size_t i = 0; i < values.size(); ++i) plain[i] = added_plainly(plain[i], values[i], times);
        for (std::size_t i = 0; i < values.size(); ++i) CHECK(same_bits(acc[i], plain[i]));
    }
}
