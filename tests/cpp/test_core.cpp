// The shared core's reader of plain text.
#include <doctest/doctest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/text_rows.hpp"
#include "helpers.hpp"

using namespace qor;
using namespace qor::test;
using namespace std::string_literals;

namespace {

const double Inf = std::numeric_limits<double>::infinity();

// The rows read, each as its own vector; nothing where the reader declines.
std::optional<std::vector<std::vector<double>>> rows_of(const std::string& text, std::optional<char> delimiter = ',',
                                                        std::optional<int64_t> label = std::nullopt,
                                                        std::size_t longest = 0) {
    const std::optional<TextRows> read = read_text_rows(text, delimiter, label, longest);
    if (!read) return std::nullopt;
    std::vector<std::vector<double>> out;
    int64_t from = 0;
    for (const int64_t end : read->ends) {
        out.emplace_back(read->values.begin() + from, read->values.begin() + end);
        from = end;
    }
    return out;
}

bool same_rows(const std::optional<std::vector<std::vector<double>>>& got,
               const std::vector<std::vector<double>>& want) {
    if (!got || got->size() != want.size()) return false;
    for (std::size_t i = 0; i < want.size(); ++i)
        if (!same((*got)[i], want[i])) return false;
    return true;
}

}  // namespace

TEST_CASE("text rows: line ends, blank lines, padding, empty cells and the forms of a number") {
    CHECK(same_rows(rows_of("1,2,3\r\n4,5\r6\n\n , ,\n7,,8,,\n"), {{1, 2, 3}, {4, 5}, {6}, {7, NaN, 8}}));
    CHECK(same_rows(rows_of(" +.5e1 ,-0,1.,NaN,-inf,INFINITY,\x0c"
                            "2\x1f"),
                    {{5, -0.0, 1, NaN, -Inf, Inf, 2}}));
    CHECK(same_rows(rows_of("1 2\t 3\n\n  \n4\x0b"
                            "5",
                            std::nullopt),
                    {{1, 2, 3}, {4, 5}}));
    CHECK(same_rows(rows_of(""), {}));
    CHECK(same_rows(rows_of("\"a, b\",\" 1 \",\"\"\n\"2\"", ',', 0), {{1}, {}}));
    const auto nan_sign = read_text_rows("-nan,nan,", ',', std::nullopt);
    REQUIRE(nan_sign);
    CHECK(std::signbit(nan_sign->values[0]));
    CHECK(!std::signbit(nan_sign->values[1]));
}

TEST_CASE("text rows: the label column, from the start or the end, and the padding around it") {
    CHECK(same_rows(rows_of("A,1,2\nB,3\n", ',', 0), {{1, 2}, {3}}));
    CHECK(same_rows(rows_of("1,2,A\n3,,B\n4,,5,,\n", ',', -1), {{1, 2}, {3}, {4, NaN, 5}}));
    CHECK(same_rows(rows_of("A,,,\n", ',', 0), {{}}));
    CHECK(!rows_of("1,2\n3\n", ',', 1));  // the second row has no column 1
    CHECK(!rows_of("1\n", ',', std::numeric_limits<int64_t>::min()));
    CHECK(!rows_of("1\n", ',', std::numeric_limits<int64_t>::max()));
}

TEST_CASE("text rows: what the reader leaves to its caller") {
    for (const std::string& text :
         {"\"1\"2"s, "1,\"2"s, "\"a\"\"b\""s, "1\"\","s, "1_0"s, "0x10"s, "1e400"s, "-1e-400"s, "+-1"s, "--1"s, "."s,
          "1e"s, "e5"s, "1.2.3"s, "nan(1)"s, "infinit"s, "abc"s, "1\xc3\xa9"s, "1\0 2"s}) {
        CAPTURE(text);
        CHECK(!rows_of(text));
    }
    CHECK(!rows_of("1,22\n", ',', std::nullopt, 1));
    CHECK(!rows_of("1\n    \n", ',', std::nullopt, 3));  // a long cell, though a blank one
    CHECK(same_rows(rows_of("1,22\n", ',', std::nullopt, 2), {{1, 22}}));
    CHECK(!rows_of("\"1\" 2", std::nullopt));  // without a delimiter, a quote is text
}

TEST_CASE("text rows: random texts stay inside their buffer, the rows add up, and threads read them alike") {
    std::mt19937_64 rng(5);
    const std::string bytes = "0123456789.,;eE+-nafi \t\r\n\x0b\"x";
    const std::optional<char> delimiters[] = {',', ';', ' ', std::nullopt};
    const std::optional<int64_t> labels[] = {std::nullopt, 0, 1, -1, -3, std::numeric_limits<int64_t>::min()};
    Workers team(3, true);  // eager: texts of any size in three parts
    for (int round = 0; round < 20000; ++round) {
        std::vector<char> buffer(rng() % 40);  // exactly the text: a read past it is caught by ASan
        for (char& c : buffer) c = bytes[rng() % bytes.size()];
        const std::string_view text(buffer.data(), buffer.size());
        const std::optional<char> delimiter = delimiters[rng() % 4];
        const std::optional<int64_t> label = labels[rng() % 6];
        const std::size_t longest = rng() % 3;
        const auto read = read_text_rows(text, delimiter, label, longest);
        // Shared out among threads, from every line start: the same rows.
        const auto shared = read_text_rows(text, delimiter, label, longest, team);
        REQUIRE(shared.has_value() == read.has_value());
        if (!read) continue;
        CHECK(same(shared->values, read->values));
        CHECK(shared->ends == read->ends);
        int64_t from = 0;
        for (const int64_t end : read->ends) {
            CHECK(end >= from);
            from = end;
        }
        CHECK(static_cast<std::size_t>(from) == read->values.size());
    }
}
