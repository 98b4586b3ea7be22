// Pattern search: the level-wise search, the length and overlap filters,
// the longest common subsequence, and the whole miner against a brute-force
// model on random words.
#include <doctest/doctest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>

#include "helpers.hpp"
#include "patterns/pattern_miner.hpp"

using namespace qor;
using namespace qor::test;

TEST_CASE("search: levels, occurrences and the search state") {
    Workers team;
    PatternMiner m(1.0);
    CHECK((m.min_len == 3 && m.max_len == 0 && m.max_overlap == 0.9 && m.cur_len == 2 && m.levels.size() == 2));
    m.mine(words_of({"aaaa"}), team);
    CHECK((m.cur_len == 6 && m.levels.size() == 6 && m.levels[5].empty()));
    CHECK(m.levels[1] == std::vector<Pattern>{P("a")});
    CHECK(m.levels[4] == std::vector<Pattern>{P("aaaa")});
    CHECK(keys(m) == std::vector<std::string>{"aaaa"});
    CHECK(positions(m.frequent.at(P("aaaa"))) == Positions{{0, {0}}});

    PatternMiner all(1.0, 1, 0, 1.0);
    all.mine(words_of({"aaaa"}), team);
    CHECK(positions(all.frequent.at(P("aa"))) == Positions{{0, {0, 1, 2}}});

    PatternMiner two(0.5, 1, 2, 1.0);
    two.mine(words_of({"abcab", "bcabc"}), team);
    CHECK(two.min_count == 1.0);
    CHECK(two.levels[2] == std::vector<Pattern>{P("ab"), P("bc"), P("ca")});
    CHECK(two.cur_len == 3);

    PatternMiner prefix(1.0, 1, 0, 1.0);
    prefix.mine(words_of({"abcd", "abce"}), team);
    CHECK(keys(prefix) == std::vector<std::string>{"a", "ab", "abc", "b", "bc", "c"});
    CHECK((prefix.levels.size() == 5 && prefix.levels[4].empty()));
}

TEST_CASE("search: symbols of 128 and above sort before letters") {
    Workers team;
    PatternMiner high(1.0, 1, 0, 1.0);
    high.mine(std::vector<Word>{Word{'a', static_cast<char>(0xE9)}}, team);
    CHECK(keys(high) == std::vector<std::string>{"\xE9", "a", "a\xE9"});
}

TEST_CASE("search: zero, negative or NaN thresholds still end, with every occurring pattern") {
    Workers team;
    for (double minsup : {0.0, -1.0, NaN}) {
        CAPTURE(minsup);
        PatternMiner z(minsup, 1, 0, 1.0);
        z.mine(words_of({"ab", ""}), team);
        CHECK(keys(z) == std::vector<std::string>{"a", "ab", "b"});
    }
}

TEST_CASE("search: a second call starts clean") {
    Workers team;
    PatternMiner again(1.0, 1, 0, 1.0);
    again.mine(words_of({"abab"}), team);
    again.mine(words_of({"ba"}), team);
    CHECK(keys(again) == std::vector<std::string>{"a", "b", "ba"});
    CHECK(positions(again.frequent.at(P("a"))) == Positions{{0, {1}}});
}

// The textbook table of the longest common subsequence.
int32_t lcs_table(const Pattern& a, const Pattern& b) {
    std::vector<std::vector<int32_t>> t(a.size() + 1, std::vector<int32_t>(b.size() + 1, 0));
    for (std::size_t i = 1; i <= a.size(); ++i)
        for (std::size_t j = 1; j <= b.size(); ++j)
            t[i][j] = a[i - 1] == b[j - 1] ? t[i - 1][j - 1] + 1 : std::max(t[i - 1][j], t[i][j - 1]);
    return t[a.size()][b.size()];
}

TEST_CASE("lcs_length: small cases, and long patterns (several 64-symbol words) against the table") {
    CHECK(PatternMiner::lcs_length(P("abxcd"), P("abcd")) == 4);
    CHECK(PatternMiner::lcs_length(P("abc"), P("ca")) == 1);
    CHECK(PatternMiner::lcs_length(P(""), P("a")) == 0);
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        Pattern a(rng() % 200), b(rng() % 200);
        const int alphabet = 1 + static_cast<int>(rng() % 4);
        for (auto& c : a) c = static_cast<char>('a' + rng() % alphabet);
        for (auto& c : b) c = static_cast<char>(rng() % 2 ? 'a' + rng() % alphabet : 0xF0);
        CAPTURE(round);
        const int32_t expected = lcs_table(a, b);
        REQUIRE(PatternMiner::lcs_length(a, b) == expected);
        REQUIRE(PatternMiner::lcs_length(b, a) == expected);
    }
}

TEST_CASE("length and overlap filters") {
    struct Case {
        double minsup;
        int32_t min_len, max_len;
        double max_overlap;
        std::vector<std::string> words, kept;
    };
    const Case cases[] = {
        {0.5, 3, 0, 0.9, {"abcd", "abxcd"}, {"abxcd"}},
        {1.0, 2, 3, 0.5, {"abcab", "abcab"}, {"abc", "ca"}},
        {1.0, 3, 0, 0.5, {"abcxabd", "abcyabd"}, {"abc"}},
        {1.0, 3, 0, 1.0, {"aaaa"}, {"aaa", "aaaa"}},  // an overlap of 1 is not above 1
        {1.0, 1, 0, -0.5, {"abc"}, {"abc"}},          // a negative limit leaves the first listed
        {1.0, 3, 2, 0.9, {"abc"}, {}},                // max_len below min_len lists nothing
    };
    Workers team;
    for (const Case& c : cases) {
        CAPTURE(c.words[0]);
        PatternMiner m(c.minsup, c.min_len, c.max_len, c.max_overlap);
        m.mine(words_of(c.words), team);
        CHECK(keys(m) == c.kept);
    }
    PatternMiner f(1.0, 3, 2);
    f.mine(words_of({"abc"}), team);
    CHECK(f.levels[2].size() == 2);
}

// Brute-force model of the miner: every substring, support by counting the
// words that contain it, then the filters exactly as described.
std::vector<std::pair<std::string, Positions>> model(const std::vector<std::string>& words, double minsup,
                                                     int32_t min_len, int32_t max_len, double max_overlap) {
    auto less = [](const std::string& x, const std::string& y) { return PatternLess()(P(x), P(y)); };
    std::map<std::string, Positions, decltype(less)> found(less);
    const double min_count = static_cast<double>(words.size()) * minsup;
    const std::size_t limit = max_len == 0 ? SIZE_MAX : (max_len < 1 ? 1 : static_cast<std::size_t>(max_len));
    for (std::size_t g = 0; g < words.size(); ++g)
        for (std::size_t s = 0; s < words[g].size(); ++s)
            for (std::size_t n = 1; n <= std::min(limit, words[g].size() - s); ++n)
                found[words[g].substr(s, n)][static_cast<int32_t>(g)].push_back(static_cast<int32_t>(s));
    std::vector<std::string> listed;
    std::size_t longest = 0;
    for (const auto& entry : found) longest = std::max(longest, entry.first.size());
    for (std::size_t len = longest; len >= 1; --len)
        for (const auto& [p, occ] : found)
            if (p.size() == len && !(min_count > static_cast<double>(occ.size())) &&
                static_cast<int64_t>(len) >= min_len)
                listed.push_back(p);
    std::vector<std::string> removed;
    auto is_removed = [&](const std::string& x) {
        return std::find(removed.begin(), removed.end(), x) != removed.end();
    };
    for (const auto& p : listed) {
        if (is_removed(p)) continue;
        for (const auto& r : listed) {
            if (r.size() > p.size() || r == p || is_removed(r)) continue;
            if (static_cast<double>(lcs_table(P(p), P(r))) / static_cast<double>(r.size()) > max_overlap)
                removed.push_back(r);
        }
    }
    std::vector<std::pair<std::string, Positions>> out;
    for (const auto& [p, occ] : found)
        if (std::find(listed.begin(), listed.end(), p) != listed.end() && !is_removed(p)) out.emplace_back(p, occ);
    return out;
}

TEST_CASE("the miner agrees with the brute-force model on random words, on one thread and split") {
    std::mt19937 rng(12345);
    const std::vector<double> minsups = {0.0, -0.5, NaN, 0.3, 0.5, 1.0, 1.2};
    const std::vector<double> overlaps = {-0.1, 0.0, 0.5, 0.9, 1.0, NaN};
    const std::string symbols = std::string("abcd") + static_cast<char>(0xE9) + static_cast<char>(0x80);
    // More than 16 symbols: the overlap filter's bound then counts by pairs.
    const std::string many = "abcdefghijklmnopqrstu";
    Workers serial(1);
    // A team that splits even these small inputs (and walks the overlap
    // filter in blocks of three patterns).
    Workers split(3, true);
    int mismatches = 0;
    for (int round = 0; round < 600; ++round) {
        const bool wide = round % 7 == 0;
        const std::string& from = wide ? many : symbols;
        const std::size_t alphabet = wide ? 17 + rng() % 4 : 1 + rng() % (round % 5 == 0 ? 6 : 3);
        std::vector<std::string> words(rng() % 7);
        // Words of one length on every third round: word ends and places
        // are then computed rather than looked up.
        const std::size_t common = round % 3 == 0 ? rng() % 11 : SIZE_MAX;
        for (auto& w : words) {
            w.resize(common != SIZE_MAX ? common : rng() % 11);
            for (auto& c : w) c = from[rng() % alphabet];
        }
        const double minsup = minsups[rng() % minsups.size()];
        const int32_t min_len = static_cast<int32_t>(rng() % 6) - 1;
        const int32_t max_len = static_cast<int32_t>(rng() % 5) - 1;
        const double max_overlap = overlaps[rng() % overlaps.size()];
        PatternMiner m(minsup, min_len, max_len, max_overlap);
        std::vector<Word> ws;
        for (const auto& w : words) ws.emplace_back(w.begin(), w.end());
        m.mine(ws, round % 2 ? split : serial);
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

// The miner kept exactly the model's patterns, with the model's places.
void check_kept(const PatternMiner& m, const std::vector<std::pair<std::string, Positions>>& expected) {
    REQUIRE(m.frequent.size() == expected.size());
    std::size_t i = 0;
    for (const auto& [p, motif] : m.frequent) {
        CHECK(text(p) == expected[i].first);
        CHECK(positions(motif) == expected[i].second);
        ++i;
    }
}

TEST_CASE("the miner agrees with the model on long words: patterns with hundreds of places in a word") {
    std::mt19937 rng(777);
    Workers serial(1);
    Workers split(3, true);
    for (int round = 0; round < 16; ++round) {
        std::vector<std::string> words(2 + rng() % 4);
        const std::size_t alphabet = 2 + rng() % 2;
        for (auto& w : words) {
            w.resize(300 + rng() % 600);
            for (auto& c : w) c = static_cast<char>('a' + rng() % alphabet);
        }
        const double minsup = round % 2 ? 1.0 : 0.5;
        // Every pattern that passes is kept, with all its places.
        const auto expected = model(words, minsup, 1, 6, 1.0);
        std::vector<Word> ws;
        for (const auto& w : words) ws.emplace_back(w.begin(), w.end());
        for (Workers* team : {&serial, &split}) {
            CAPTURE(round);
            CAPTURE(team->size());
            PatternMiner m(minsup, 1, 6, 1.0);
            m.mine(ws, *team);
            check_kept(m, expected);
        }
    }
}

TEST_CASE("the miner agrees with the model on words over all 256 symbols (levels built one at a time)") {
    std::mt19937 rng(256);
    std::string all(256, ' ');
    for (int c = 0; c < 256; ++c) all[static_cast<std::size_t>(c)] = static_cast<char>(c);
    std::string other = all;
    std::shuffle(other.begin(), other.end(), rng);
    const std::vector<std::string> words = {all + all.substr(0, 40), all, other};
    std::vector<Word> ws;
    for (const auto& w : words) ws.emplace_back(w.begin(), w.end());
    const auto expected = model(words, 0.5, 1, 4, 1.0);
    Workers serial(1), split(3, true);
    for (Workers* team : {&serial, &split}) {
        PatternMiner m(0.5, 1, 4, 1.0);
        m.mine(ws, *team);
        check_kept(m, expected);
    }
}

TEST_CASE("the miner agrees with the model on words made of long runs of one symbol") {
    std::mt19937 rng(4242);
    Workers serial(1);
    Workers split(3, true);
    std::string all(256, ' ');
    for (int c = 0; c < 256; ++c) all[static_cast<std::size_t>(c)] = static_cast<char>(c);
    for (int round = 0; round < 24; ++round) {
        // Over 254 symbols the levels are built one at a time, else two.
        const bool one_at_a_time = round % 4 == 3;
        const std::size_t alphabet = one_at_a_time ? 256 : 1 + rng() % 3;
        std::vector<std::string> words(1 + rng() % 5 + (one_at_a_time ? 1 : 0));
        for (auto& w : words) {
            const std::size_t runs = rng() % 6;  // none: an empty word
            for (std::size_t r = 0; r < runs; ++r)
                w.append(1 + rng() % 12, all[(one_at_a_time ? 0 : 'a') + rng() % std::min<std::size_t>(alphabet, 4)]);
        }
        // The word of every symbol: its own patterns occur in one word only
        // and so fail.
        if (one_at_a_time) words.push_back(all);
        const double minsup = round % 3 == 0 && !one_at_a_time ? 0.3 : 0.6;
        const int32_t min_len = 1 + static_cast<int32_t>(rng() % 4);
        // 0: no limit; odd and even limits end on either level of a pair.
        const int32_t max_len = round % 2 ? 0 : 3 + static_cast<int32_t>(rng() % 6);
        const double max_overlap = round % 5 == 0 ? 0.9 : 1.0;
        const auto expected = model(words, minsup, min_len, max_len, max_overlap);
        std::vector<Word> ws;
        for (const auto& w : words) ws.emplace_back(w.begin(), w.end());
        for (Workers* team : {&serial, &split}) {
            CAPTURE(round);
            CAPTURE(team->size());
            PatternMiner m(minsup, min_len, max_len, max_overlap);
            m.mine(ws, *team);
            check_kept(m, expected);
        }
    }
}

TEST_CASE("the miner agrees with the model on words of thousands of symbols in runs of up to thousands") {
    std::mt19937 rng(99);
    Workers serial(1), split(3, true);
    for (int round = 0; round < 4; ++round) {
        std::vector<std::string> words(2 + rng() % 2);
        for (auto& w : words)
            while (w.size() < 9000) w.append(1 + rng() % (round % 2 ? 3000 : 3), static_cast<char>('a' + rng() % 2));
        const auto expected = model(words, 0.5, 1, 3, 1.0);
        std::vector<Word> ws;
        for (const auto& w : words) ws.emplace_back(w.begin(), w.end());
        for (Workers* team : {&serial, &split}) {
            CAPTURE(round);
            PatternMiner m(0.5, 1, 3, 1.0);
            m.mine(ws, *team);
            check_kept(m, expected);
        }
    }
}
