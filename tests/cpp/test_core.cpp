// Tests of the C++ core: discretisation, the pattern miner (also against a
// brute-force model on random words), the motif record, its statistics and
// the ranking.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "motifs/statistics.hpp"
#include "patterns/pattern_miner.hpp"
#include "pipeline/miner.hpp"
#include "pipeline/ranking.hpp"
#include "sax/sax.hpp"

using namespace qor;

namespace {

int passed = 0, failed = 0;
// The thread team of the calls that do not test a team of their own.
Workers team;
const double NaN = std::numeric_limits<double>::quiet_NaN();

void check(bool ok, const char* what, int line) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAILED line %d: %s\n", line, what);
    }
}
#define CHECK(cond) check((cond), #cond, __LINE__)

// True when f throws E whose message is exactly `message`.
template <typename E>
bool throws(const std::function<void()>& f, const std::string& message) {
    try {
        f();
    } catch (const E& e) {
        return message.empty() || e.what() == message;
    } catch (...) {
    }
    return false;
}

bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }
bool same(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same(a[i], b[i])) return false;
    return true;
}

Pattern P(const std::string& s) { return Pattern(s.begin(), s.end()); }
std::vector<Word> words_of(const std::vector<std::string>& ws) {
    std::vector<Word> out;
    for (const auto& w : ws) out.emplace_back(w.begin(), w.end());
    return out;
}
std::string text(const Pattern& p) { return std::string(p.begin(), p.end()); }

std::vector<std::string> keys(const PatternMiner& m) {
    std::vector<std::string> out;
    for (const auto& e : m.frequent) out.push_back(text(e.first));
    return out;
}

std::map<int32_t, std::vector<int32_t>> positions(const Motif& m) {
    std::map<int32_t, std::vector<int32_t>> out;
    for (std::size_t r = 0; r < m.indexes.size(); ++r)
        out[m.indexes.series[r]].assign(m.indexes.begin_of(r), m.indexes.end_of(r));
    return out;
}

void test_znormalize() {
    std::vector<Series> ts = {{1.0, 2.0, 3.0}, {1.0, 1.0, 1.0}, {5.0}, {}, {0.1, 0.1, 0.1}, {1.0, NaN}};
    znormalize(ts, team);
    CHECK(same(ts[0], {-1.224744871391589, 0.0, 1.224744871391589}));
    CHECK(same(ts[1], {NaN, NaN, NaN}));
    CHECK(same(ts[2], {NaN}));
    CHECK(ts[3].empty());
    CHECK(same(ts[4], {-1.0, -1.0, -1.0}));
    CHECK(same(ts[5], {NaN, NaN}));
}

void test_sax() {
    CHECK(sax({{-1.0, -1.0, 0.0, 0.0, 1.0, 1.0}}, 2, 3, team) == words_of({"abc"}));
    CHECK(sax({{0.6, 0.6, 0.6}}, 2, 3, team) == words_of({"cb"}));
    CHECK(sax({{0.0}}, 1, 2, team) == words_of({"a"}));
    CHECK(sax({{0.43}}, 1, 3, team) == words_of({"b"}));
    CHECK(sax({{5.0, NaN, 5.0, 5.0}}, 2, 4, team) == words_of({"ad"}));
    CHECK(sax({{-9.0, 9.0}}, 1, 0, team) == words_of({"aa"}));
    CHECK(sax({{-9.0, 9.0}}, 1, 1, team) == words_of({"aa"}));
    CHECK(sax({{-9.0, 9.0}}, 1, 10, team) == words_of({"aj"}));
    CHECK(sax({{3.0, 3.0}}, 10, 4, team) == words_of({"c"}));  // 6 / 10 = 0.6
    CHECK(sax({{}, {1.0}}, 3, 4, team) == words_of({"", "c"}));
    CHECK(sax({}, 0, 4, team).empty());
    CHECK(sax({{10.0, 10.0}}, 1, 4, team) == words_of({"dd"}));
    CHECK(sax({{1.0}}, -2, 4, team) == words_of({""}));
    CHECK(throws<std::length_error>([] { sax({{}}, 0, 4, team); }, "vector too long"));
    CHECK(throws<std::length_error>([] { sax({{1.0, 2.0}}, -2, 4, team); }, "vector too long"));
    CHECK(throws<std::invalid_argument>([] { sax({}, 2, 11, team); }, "alphabet must be between 0 and 10, got 11"));
    CHECK(throws<std::invalid_argument>([] { sax({}, 2, -1, team); }, "alphabet must be between 0 and 10, got -1"));
    for (int32_t a = 0; a <= 10; ++a) {
        const std::vector<double> row = breakpoints(a);
        CHECK(row.size() == static_cast<std::size_t>(a < 2 ? 0 : a - 1));
        CHECK(std::is_sorted(row.begin(), row.end()) && (a != 6 || row[2] == 0.0));
    }
    CHECK(breakpoints(10).back() == 1.28);
}

void test_pattern_miner_search() {
    PatternMiner m(1.0);
    CHECK(m.min_len == 3 && m.max_len == 0 && m.max_overlap == 0.9 && m.cur_len == 2 && m.levels.size() == 2);
    m.mine(words_of({"aaaa"}), team);
    CHECK(m.cur_len == 6 && m.levels.size() == 6 && m.levels[5].empty());
    CHECK(m.levels[1] == std::vector<Pattern>{P("a")} && m.levels[4] == std::vector<Pattern>{P("aaaa")});
    CHECK(keys(m) == std::vector<std::string>{"aaaa"});
    CHECK((positions(m.frequent.at(P("aaaa"))) == std::map<int32_t, std::vector<int32_t>>{{0, {0}}}));

    PatternMiner all(1.0, 1, 0, 1.0);
    all.mine(words_of({"aaaa"}), team);
    CHECK((positions(all.frequent.at(P("aa"))) == std::map<int32_t, std::vector<int32_t>>{{0, {0, 1, 2}}}));

    PatternMiner two(0.5, 1, 2, 1.0);
    two.mine(words_of({"abcab", "bcabc"}), team);
    CHECK(two.min_count == 1.0);
    CHECK((two.levels[2] == std::vector<Pattern>{P("ab"), P("bc"), P("ca")}));
    CHECK(two.cur_len == 3);

    PatternMiner prefix(1.0, 1, 0, 1.0);
    prefix.mine(words_of({"abcd", "abce"}), team);
    CHECK((keys(prefix) == std::vector<std::string>{"a", "ab", "abc", "b", "bc", "c"}));
    CHECK(prefix.levels.size() == 5 && prefix.levels[4].empty());

    // Symbols of 128 and above sort before letters.
    PatternMiner high(1.0, 1, 0, 1.0);
    high.mine({Word{'a', static_cast<char>(0xE9)}}, team);
    CHECK(keys(high) == (std::vector<std::string>{"\xE9", "a", "a\xE9"}));

    // Zero or NaN thresholds still end, with every occurring pattern.
    for (double minsup : {0.0, -1.0, NaN}) {
        PatternMiner z(minsup, 1, 0, 1.0);
        z.mine(words_of({"ab", ""}), team);
        CHECK((keys(z) == std::vector<std::string>{"a", "ab", "b"}));
    }
    // A second call starts clean.
    PatternMiner again(1.0, 1, 0, 1.0);
    again.mine(words_of({"abab"}), team);
    again.mine(words_of({"ba"}), team);
    CHECK((keys(again) == std::vector<std::string>{"a", "b", "ba"}));
    CHECK((positions(again.frequent.at(P("a"))) == std::map<int32_t, std::vector<int32_t>>{{0, {1}}}));
}

void test_overlap_filter() {
    CHECK(PatternMiner::lcs_length(P("abxcd"), P("abcd")) == 4);
    CHECK(PatternMiner::lcs_length(P("abc"), P("ca")) == 1);
    CHECK(PatternMiner::lcs_length(P(""), P("a")) == 0);
    // Long patterns (several 64-symbol words) against the textbook table.
    std::mt19937 rng(7);
    bool all_equal = true;
    for (int round = 0; round < 300; ++round) {
        Pattern a(rng() % 200), b(rng() % 200);
        const int alphabet = 1 + static_cast<int>(rng() % 4);
        for (auto& c : a) c = static_cast<char>('a' + rng() % alphabet);
        for (auto& c : b) c = static_cast<char>(rng() % 2 ? 'a' + rng() % alphabet : 0xF0);
        std::vector<std::vector<int32_t>> t(a.size() + 1, std::vector<int32_t>(b.size() + 1, 0));
        for (std::size_t i = 1; i <= a.size(); ++i)
            for (std::size_t j = 1; j <= b.size(); ++j)
                t[i][j] = a[i - 1] == b[j - 1] ? t[i - 1][j - 1] + 1 : std::max(t[i - 1][j], t[i][j - 1]);
        all_equal = all_equal && PatternMiner::lcs_length(a, b) == t[a.size()][b.size()] &&
                    PatternMiner::lcs_length(b, a) == t[a.size()][b.size()];
    }
    CHECK(all_equal);

    PatternMiner a(0.5);
    a.mine(words_of({"abcd", "abxcd"}), team);
    CHECK(keys(a) == std::vector<std::string>{"abxcd"});

    PatternMiner b(1.0, 2, 3, 0.5);
    b.mine(words_of({"abcab", "abcab"}), team);
    CHECK((keys(b) == std::vector<std::string>{"abc", "ca"}));

    PatternMiner c(1.0, 3, 0, 0.5);
    c.mine(words_of({"abcxabd", "abcyabd"}), team);
    CHECK(keys(c) == std::vector<std::string>{"abc"});

    PatternMiner d(1.0, 3, 0, 1.0);
    d.mine(words_of({"aaaa"}), team);
    CHECK((keys(d) == std::vector<std::string>{"aaa", "aaaa"}));

    PatternMiner e(1.0, 1, 0, -0.5);
    e.mine(words_of({"abc"}), team);
    CHECK(keys(e) == std::vector<std::string>{"abc"});

    PatternMiner f(1.0, 3, 2);
    f.mine(words_of({"abc"}), team);
    CHECK(f.frequent.empty() && f.levels[2].size() == 2);
}

// Brute-force model of the miner: every substring, support by counting the
// words that contain it, then the filters exactly as described.
std::vector<std::pair<std::string, std::map<int32_t, std::vector<int32_t>>>> model(
    const std::vector<std::string>& words, double minsup, int32_t min_len, int32_t max_len, double max_overlap) {
    auto less = [](const std::string& x, const std::string& y) {
        return PatternLess()(P(x), P(y));
    };
    std::map<std::string, std::map<int32_t, std::vector<int32_t>>, decltype(less)> found(less);
    const double min_count = static_cast<double>(words.size()) * minsup;
    const std::size_t limit = max_len == 0 ? SIZE_MAX : (max_len < 1 ? 1 : static_cast<std::size_t>(max_len));
    for (std::size_t g = 0; g < words.size(); ++g)
        for (std::size_t s = 0; s < words[g].size(); ++s)
            for (std::size_t n = 1; n <= std::min(limit, words[g].size() - s); ++n)
                found[words[g].substr(s, n)][static_cast<int32_t>(g)].push_back(static_cast<int32_t>(s));
    std::vector<std::string> listed;
    for (std::size_t len = 64; len >= 1; --len)
        for (const auto& [p, occ] : found)
            if (p.size() == len && !(min_count > static_cast<double>(occ.size())) &&
                static_cast<int64_t>(len) >= min_len)
                listed.push_back(p);
    std::vector<std::string> removed;
    auto is_removed = [&](const std::string& x) {
        for (const auto& r : removed)
            if (r == x) return true;
        return false;
    };
    for (const auto& p : listed) {
        if (is_removed(p)) continue;
        for (const auto& r : listed) {
            if (r.size() > p.size() || r == p || is_removed(r)) continue;
            std::vector<std::vector<int32_t>> t(p.size() + 1, std::vector<int32_t>(r.size() + 1, 0));
            for (std::size_t i = 1; i <= p.size(); ++i)
                for (std::size_t j = 1; j <= r.size(); ++j)
                    t[i][j] = p[i - 1] == r[j - 1] ? t[i - 1][j - 1] + 1 : std::max(t[i - 1][j], t[i][j - 1]);
            if (static_cast<double>(t[p.size()][r.size()]) / static_cast<double>(r.size()) > max_overlap)
                removed.push_back(r);
        }
    }
    std::vector<std::pair<std::string, std::map<int32_t, std::vector<int32_t>>>> out;
    for (const auto& [p, occ] : found)
        if (std::find(listed.begin(), listed.end(), p) != listed.end() && !is_removed(p)) out.emplace_back(p, occ);
    return out;
}

void test_pattern_miner_random() {
    std::mt19937 rng(12345);
    const std::vector<double> minsups = {0.0, -0.5, NaN, 0.3, 0.5, 1.0, 1.2};
    const std::vector<double> overlaps = {-0.1, 0.0, 0.5, 0.9, 1.0, NaN};
    const std::string symbols = std::string("abcd") + static_cast<char>(0xE9) + static_cast<char>(0x80);
    int mismatches = 0;
    for (int round = 0; round < 600; ++round) {
        const std::size_t alphabet = 1 + rng() % (round % 5 == 0 ? 6 : 3);
        std::vector<std::string> words(rng() % 7);
        for (auto& w : words) {
            w.resize(rng() % 11);
            for (auto& c : w) c = symbols[rng() % alphabet];
        }
        const double minsup = minsups[rng() % minsups.size()];
        const int32_t min_len = static_cast<int32_t>(rng() % 6) - 1;
        const int32_t max_len = static_cast<int32_t>(rng() % 5) - 1;
        const double max_overlap = overlaps[rng() % overlaps.size()];
        PatternMiner m(minsup, min_len, max_len, max_overlap);
        std::vector<Word> ws;
        for (const auto& w : words) ws.emplace_back(w.begin(), w.end());
        // Every other round on a team that splits even these small inputs
        // (and walks the overlap filter in blocks of three patterns).
        Workers split(3, true);
        if (round % 2)
            m.mine(ws, split);
        else
            m.mine(ws, team);
        const auto expected = model(words, minsup, min_len, max_len, max_overlap);
        bool ok = expected.size() == m.frequent.size();
        std::size_t i = 0;
        for (const auto& [p, motif] : m.frequent) {
            if (!ok) break;
            ok = text(p) == expected[i].first && text(motif.pattern) == text(p) &&
                 positions(motif) == expected[i].second && motif.length == 0 && motif.naed == 0.0;
            ++i;
        }
        if (!ok && ++mismatches <= 3) std::printf("  random miner mismatch in round %d\n", round);
    }
    CHECK(mismatches == 0);
}

Motif motif_with(const std::string& pattern, int32_t seglen, std::map<int32_t, std::vector<int32_t>> occ) {
    Motif m(P(pattern));
    for (const auto& [s, ps] : occ)
        for (int32_t p : ps) m.indexes.add(s, p);
    m.seglen = seglen;
    m.length = motif_length(seglen, pattern.size());
    m.representative.assign(static_cast<std::size_t>(m.length), 0.0);
    return m;
}

void test_motif_record() {
    Motif m = motif_with("abc", 2, {{0, {1, 2}}, {3, {0}}});
    m.naed = 0.25;
    m.average_occurrences = SharedValues(Values{1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 10.0, 11.0, 12.0});
    Motif copy(m);
    CHECK(copy.average_occurrences.to_vector() == m.average_occurrences.to_vector());
    CHECK(text(copy.pattern) == "abc" && positions(copy) == positions(m) && copy.representative.size() == 6);
    Motif moved(std::move(copy));
    CHECK(copy.pattern.empty() && copy.indexes.empty() && copy.representative.empty() &&
          copy.average_occurrences.empty());
    CHECK(moved.naed == 0.25 && moved.length == 6 && positions(moved) == positions(m));
    copy = std::move(moved);
    CHECK(moved.pattern.empty() && text(copy.pattern) == "abc");
    Motif& alias = copy;
    copy = std::move(alias);
    CHECK(text(copy.pattern) == "abc" && positions(copy) == positions(m));
    copy.indexes.add(7, 1);  // a moved-from or reused record stays usable
    CHECK(copy.indexes.size() == 3);
}

void test_statistics() {
    // Series of 10 samples, seglen 4: the window at symbol 1 is samples 4..9
    // followed by two NaN values.
    Series s10 = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    Motif w = motif_with("ab", 4, {{0, {1}}});
    CHECK(same(w.extract_occurrence(s10, 1), {4, 5, 6, 7, 8, 9, NaN, NaN}));

    // Windows [1, 2, NaN] and [3, NaN, NaN] average to [2, 2, NaN].
    Motif avg = motif_with("abc", 1, {{0, {0, 3}}});
    avg.compute_average_occurrences({{1.0, 2.0, NaN, 3.0}});
    CHECK(same(avg.average_occurrences.to_vector(), {2.0, 2.0, NaN}));

    // One window is its own mean, except that -0.0 (added to +0.0) becomes
    // +0.0; the samples past the end are NaN.
    Motif one = motif_with("abc", 2, {{0, {1}}});
    one.compute_average_occurrences({{7.0, 7.0, -0.0, NaN, 5.0}});
    const std::vector<double> row = one.average_occurrences.to_vector();
    CHECK(same(row, {0.0, NaN, 5.0, NaN, NaN, NaN}) && !std::signbit(row[0]));

    // Averages [2, NaN] and [4, 6] give [3, 6], each added in two halves.
    Motif rep = motif_with("ab", 1, {{0, {0}}, {1, {0}}});
    rep.average_occurrences = SharedValues(Values{2.0, NaN, 4.0, 6.0});
    rep.compute_representative();
    CHECK(same(rep.representative, {3.0, 6.0}));

    // Best distances 1.0 and 3.0 with length 4 give naed 0.5.
    Motif best = motif_with("ab", 2, {{0, {0}}, {1, {0}}});
    best.compute_best_matches({{1.0, 0.0, 0.0, 0.0}, {0.0, 3.0, 0.0, 0.0}});
    CHECK(best.naed == 0.5 && best.best_matches == (std::vector<int32_t>{0, 0}));

    // Equal distances: the earlier recorded position wins; with seglen 4 the
    // match is reported in samples.
    Motif tie = motif_with("a", 4, {{0, {5, 7}}});
    Series flat(40, 1.0);
    tie.compute_best_matches({flat});
    CHECK(tie.best_matches == std::vector<int32_t>{20});

    // No window closer than 1000000: fallback distance, position 0.
    Motif far = motif_with("a", 1, {{0, {1}}});
    far.compute_best_matches({{0.0, 2e6}});
    CHECK(far.naed == 1000000.0 && far.best_matches == std::vector<int32_t>{0});

    // A window that is all NaN has distance 0 and wins.
    Motif nan = motif_with("a", 2, {{0, {0, 1}}});
    nan.representative = {5.0, 5.0};
    nan.compute_best_matches({{1.0, 1.0, NaN, NaN}});
    CHECK(nan.naed == 0.0 && nan.best_matches == std::vector<int32_t>{2});

    // No occurrences at all: naed is 0 / 0.
    Motif none = motif_with("a", 1, {});
    none.compute_average_occurrences({});
    none.compute_representative();
    none.compute_best_matches({});
    CHECK(std::isnan(none.naed) && none.best_matches.empty() && same(none.representative, {0.0}));

    CHECK(motif_length(3, 4) == 12);
    CHECK(throws<std::invalid_argument>([] { motif_length(1 << 30, 2); }, ""));
}

void test_ranking() {
    std::vector<Motif> ms;
    const std::vector<std::pair<std::string, double>> cases = {
        {"a", 0.3}, {"b", NaN}, {"c", 0.1}, {"d", 0.2}, {"e", 0.1}, {"f", NaN}};
    for (const auto& [p, naed] : cases) {
        ms.emplace_back(P(p));
        ms.back().naed = naed;
    }
    rank_motifs(ms);
    std::string order;
    for (const auto& m : ms) order += text(m.pattern);
    CHECK(order == "cedabf");
    CHECK(top_motifs(ms, 0).size() == 6 && top_motifs(ms, 2).size() == 2 && top_motifs(ms, 9).size() == 6);
    CHECK(text(top_motifs(ms, 1)[0].pattern) == "c");
    CHECK(throws<std::length_error>([&] { top_motifs(ms, -1); }, "vector too long"));
    std::vector<Motif> empty;
    rank_motifs(empty);
    CHECK(top_motifs(empty, 0).empty() && top_motifs(empty, 3).empty());
}

void test_miner() {
    Miner m(0.5, 2, 3, 1, 0, 0.9, 1);
    std::vector<Series> ts = {{1, 2, 3, 4, 5, 6, 7}, {7, 6, 5, 4, 3, 2, 1}, {1, 1, 1, 1}};
    const auto top = m.mine(ts, team);
    CHECK(top.size() == 1 && !m.motifs.empty());
    CHECK(same(ts[2], {NaN, NaN, NaN, NaN}));  // normalised in place
    for (const Motif& x : m.motifs) {
        CHECK(x.length == 2 * static_cast<int32_t>(x.pattern.size()));
        CHECK(x.average_occurrences.size() == x.indexes.size() * static_cast<std::size_t>(x.length));
        CHECK(x.best_matches.size() == x.indexes.size());
    }
    // A second call on other, shorter series holds only its own motifs.
    std::vector<Series> shorter = {{1, 2}};
    Miner fresh(0.5, 2, 3, 1, 0, 0.9, 1);
    std::vector<Series> copy = shorter;
    m.mine(shorter, team);
    fresh.mine(copy, team);
    CHECK(m.motifs.size() == fresh.motifs.size());
    Miner bad(0.5, 2, 3, 3, 0, 0.9, -1);
    std::vector<Series> again = {{1, 2, 3, 4, 5, 6, 7}, {1, 2, 3, 4, 5, 6, 7}};
    CHECK(throws<std::length_error>([&] { bad.mine(again, team); }, "vector too long"));
    CHECK(!bad.motifs.empty());
    Miner wide(0.5, 2, 11);
    std::vector<Series> none;
    CHECK(throws<std::invalid_argument>([&] { wide.mine(none, team); }, "alphabet must be between 0 and 10, got 11"));
}

bool same_motif(const Motif& a, const Motif& b) {
    const std::vector<double> ra = a.average_occurrences.to_vector(), rb = b.average_occurrences.to_vector();
    return a.pattern == b.pattern && a.length == b.length && positions(a) == positions(b) && same(ra, rb) &&
           same(a.representative, b.representative) && a.best_matches == b.best_matches && same(a.naed, b.naed);
}

void test_workers() {
    Workers team(3);
    std::vector<int> hits(50, 0);
    std::atomic<bool> known_thread{true};
    team.run(hits.size(), [&](std::size_t part, unsigned thread) {
        if (thread >= team.size()) known_thread = false;
        ++hits[part];
    });
    CHECK(known_thread && std::all_of(hits.begin(), hits.end(), [](int h) { return h == 1; }));
    CHECK(throws<std::runtime_error>([&] {
        team.run(20, [](std::size_t part, unsigned) {
            if (part == 5) throw std::runtime_error("part 5");
        });
    }, "part 5"));
    std::size_t sum = 0;
    team.run(1, [&](std::size_t, unsigned) { sum = 7; });  // usable after a failure
    CHECK(sum == 7);
    // The exception of the lowest failing part wins, as in a plain loop.
    CHECK(throws<std::runtime_error>([&] {
        team.run(40, [](std::size_t part, unsigned) {
            if (part == 3 || part == 30) throw std::runtime_error("part " + std::to_string(part));
        });
    }, "part 3"));

    // Helpers started in later, larger runs join only the rounds after
    // their start: run() returns only once every part has finished.
    Workers big(8);
    std::atomic<int> running{0};
    bool settled = true;
    for (int round = 0; round < 200; ++round) {
        const std::size_t parts = round % 2 ? 64 : 2 + round % 7;
        std::vector<std::atomic<int>> ran(parts);
        big.run(parts, [&](std::size_t part, unsigned) {
            ++running;
            ++ran[part];
            --running;
        });
        settled = settled && running == 0;
        for (auto& r : ran) settled = settled && r == 1;
    }
    CHECK(settled);

    CHECK(Workers(1).parts(1u << 30, 1) == 1 && Workers(2).parts(10, 100) == 1);
    CHECK(Workers(2).parts(1000, 100) == 8 && Workers(2, true).parts(0, 100) == 8);
    const std::vector<std::size_t> before = {0, 5, 5, 6, 20, 21, 30};
    const std::vector<std::size_t> bounds = split_by_weight(before.data(), 6, 3);
    CHECK(bounds.size() == 4 && bounds.front() == 0 && bounds.back() == 6);
    CHECK(std::is_sorted(bounds.begin(), bounds.end()));
    CHECK(split_by_weight(before.data(), 0, 4) == std::vector<std::size_t>(5, 0));
}

// The whole pipeline gives identical results, to the last bit and in the same
// order, on one thread and split into many small parts on several threads.
void test_parallel_pipeline() {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> step;
    for (int round = 0; round < 25; ++round) {
        const std::size_t n = 1 + rng() % 60;
        std::vector<Series> ts(n);
        for (Series& s : ts) {
            s.resize(rng() % 400);
            double x = 0.0;
            for (double& v : s) v = (rng() % 50 == 0) ? NaN : (x += step(rng));
        }
        const int32_t seglen = 1 + static_cast<int32_t>(rng() % 6);
        const int32_t alphabet = 2 + static_cast<int32_t>(rng() % 5);
        const double minsup = 0.05 + 0.3 * static_cast<double>(rng() % 100) / 100.0;
        const double overlaps[] = {0.5, 0.9, 1.0, 1.0};
        Miner one(minsup, seglen, alphabet, 1 + static_cast<int32_t>(rng() % 3), 0, overlaps[rng() % 4]);
        Miner many = one;
        std::vector<Series> a = ts, b = ts;
        Workers serial(1), split(3, true);
        znormalize(a, serial);
        znormalize(b, split);
        one.collect_and_rank(a, serial);
        many.collect_and_rank(b, split);
        bool equal = one.motifs.size() == many.motifs.size();
        for (std::size_t i = 0; equal && i < one.motifs.size(); ++i) equal = same_motif(one.motifs[i], many.motifs[i]);
        CHECK(equal);
        CHECK(sax(a, seglen, alphabet, serial) == sax(b, seglen, alphabet, split));
    }
}

}  // namespace

int main() {
    test_znormalize();
    test_sax();
    test_pattern_miner_search();
    test_overlap_filter();
    test_pattern_miner_random();
    test_motif_record();
    test_statistics();
    test_ranking();
    test_miner();
    test_workers();
    test_parallel_pipeline();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
