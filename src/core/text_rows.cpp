#include "core/text_rows.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <limits>
#include <system_error>

namespace qor {
namespace {

// Python's whitespace among the ASCII characters: what str.strip() and
// str.split() remove, and float() allows around a number.
bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f'); }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

struct Cell {
    const char* begin;
    const char* end;
};

Cell stripped(Cell c) {
    while (c.begin < c.end && is_space(*c.begin)) ++c.begin;
    while (c.end > c.begin && is_space(c.end[-1])) --c.end;
    return c;
}

bool blank(Cell c) {
    const Cell s = stripped(c);
    return s.begin == s.end;
}

// Whether [b, e) spells `word` (lower-case letters) in any case.
bool spells(const char* b, const char* e, std::string_view word) {
    if (static_cast<std::size_t>(e - b) != word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if ((b[i] | 0x20) != word[i]) return false;
    return true;
}

// A cell as float() reads it (blank: NaN); false where this reader declines.
bool read_number(Cell cell, double& out) {
    const Cell c = stripped(cell);
    const char* p = c.begin;
    const char* const e = c.end;
    if (p == e) {
        out = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    double value = 0.0;
    if (p < e && (is_digit(*p) || *p == '.')) {
        // from_chars reads the decimal numbers that float() reads, but for
        // underscores, which it stops at, and is correctly rounded as float()
        // is. Out of range (overflow, or underflow to zero) is left to the
        // caller, which knows float()'s ways.
        const auto [end, error] = std::from_chars(p, e, value, std::chars_format::general);
        if (error != std::errc() || end != e) return false;
    } else if (spells(p, e, "nan")) {
        value = std::numeric_limits<double>::quiet_NaN();
    } else if (spells(p, e, "inf") || spells(p, e, "infinity")) {
        value = std::numeric_limits<double>::infinity();
    } else {
        return false;
    }
    out = negative ? -value : value;
    return true;
}

// The cells of the line [p, e), split at the delimiter: false where a
// quote makes that more than splitting (see split).
bool split_quoted(const char* p, const char* e, char delimiter, std::vector<Cell>& cells) {
    for (;;) {
        if (p < e && *p == '"') {
            // A quoted cell: what the quotes hold, delimiters too, when the
            // closing quote ends the cell (not "a""b", nor "a"b).
            const auto* close = static_cast<const char*>(std::memchr(p + 1, '"', static_cast<std::size_t>(e - p - 1)));
            if (!close || (close + 1 < e && close[1] != delimiter)) return false;
            cells.push_back({p + 1, close});
            if (close + 1 == e) return true;
            p = close + 2;
            continue;
        }
        const auto* d = static_cast<const char*>(std::memchr(p, delimiter, static_cast<std::size_t>(e - p)));
        const char* end = d ? d : e;
        if (std::memchr(p, '"', static_cast<std::size_t>(end - p))) return false;  // a quote inside a cell
        cells.push_back({p, end});
        if (!d) return true;
        p = d + 1;
    }
}

// The cells of the line [p, e); false where the reader declines the line.
// With a delimiter, a cell that starts with a quote is the text up to the
// next quote, which must end the cell, as Python's csv module reads it;
// any other quote is declined. Without one, cells are runs of anything but
// whitespace, quotes included.
bool split(const char* p, const char* e, std::optional<char> delimiter, std::vector<Cell>& cells) {
    cells.clear();
    if (delimiter) {
        if (std::memchr(p, '"', static_cast<std::size_t>(e - p))) return split_quoted(p, e, *delimiter, cells);
        for (;;) {
            const auto* d = static_cast<const char*>(std::memchr(p, *delimiter, static_cast<std::size_t>(e - p)));
            cells.push_back({p, d ? d : e});
            if (!d) return true;
            p = d + 1;
        }
    }
    for (;;) {
        while (p < e && is_space(*p)) ++p;
        if (p == e) return true;
        const char* start = p;
        while (p < e && !is_space(*p)) ++p;
        cells.push_back({start, p});
    }
}

// The end of the line that starts at p (before its \n, \r\n or \r).
const char* line_end(const char* p, const char* e) {
    if (p == e) return e;  // memchr takes no null pointer, not even for nothing
    const auto* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(e - p)));
    const char* stop = nl ? nl : e;
    const auto* cr = static_cast<const char*>(std::memchr(p, '\r', static_cast<std::size_t>(stop - p)));
    return cr ? cr : stop;
}

// Whether the text holds neither NUL nor any byte beyond ASCII.
bool plain_ascii(std::string_view text) {
    if (text.find('\0') != std::string_view::npos) return false;
    uint64_t any = 0;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        uint64_t word = 0;
        std::memcpy(&word, text.data() + i, 8);
        any |= word;
    }
    for (; i < text.size(); ++i) any |= static_cast<unsigned char>(text[i]);
    return (any & 0x8080808080808080u) == 0;
}

// Cells of a row per part worth handing to another thread: a row as long as
// a series of a million samples on one line is read by all of them.
constexpr std::size_t kCellGrain = std::size_t{1} << 15;

// read_text_rows, the numbers of a long row read by the threads of
// `workers` where given.
std::optional<TextRows> read_rows(std::string_view text, std::optional<char> delimiter,
                                  std::optional<int64_t> label_column, std::size_t longest, Workers* workers) {
    if (!plain_ascii(text)) return std::nullopt;
    TextRows rows;
    // Room for numbers of 7 characters and a delimiter, to begin with.
    rows.values.reserve(text.size() / 8);
    std::vector<Cell> cells;
    const char* p = text.data();
    const char* const e = p + text.size();
    while (p < e) {
        const char* end = line_end(p, e);
        if (!split(p, end, delimiter, cells)) return std::nullopt;
        p = end == e ? e : end + (*end == '\r' && end + 1 < e && end[1] == '\n' ? 2 : 1);
        if (longest > 0 && std::any_of(cells.begin(), cells.end(), [longest](Cell c) {
                return static_cast<std::size_t>(c.end - c.begin) > longest;
            }))
            return std::nullopt;
        if (std::all_of(cells.begin(), cells.end(), blank)) continue;  // no row
        const auto n = static_cast<int64_t>(cells.size());
        int64_t label = n;  // past the last cell: none dropped
        if (label_column) {
            label = *label_column >= 0 ? *label_column : n + *label_column;
            if (label < 0 || label >= n) return std::nullopt;
        }
        // Empty cells at the end pad the row, the label aside.
        int64_t last = n;
        while (last > 0 && (last - 1 == label || blank(cells[static_cast<std::size_t>(last - 1)]))) --last;
        // Cell i's value goes to out[i], or out[i - 1] past the label.
        const std::size_t first = rows.values.size();
        rows.values.resize(first + static_cast<std::size_t>(last - (label < last ? 1 : 0)));
        double* const out = rows.values.data() + first;
        const auto read = [&](int64_t from, int64_t to) {
            for (int64_t i = from; i < to; ++i) {
                if (i == label) continue;
                if (!read_number(cells[static_cast<std::size_t>(i)], out[i - (i > label ? 1 : 0)])) return false;
            }
            return true;
        };
        const std::size_t parts = workers ? workers->parts(static_cast<std::size_t>(last), kCellGrain, 1) : 1;
        if (parts <= 1) {
            if (!read(0, last)) return std::nullopt;
        } else {
            std::vector<char> ok(parts, 0);
            const auto cells_in = static_cast<std::size_t>(last);
            workers->run(parts, [&](std::size_t j, unsigned) {
                ok[j] =
                    read(static_cast<int64_t>(j * cells_in / parts), static_cast<int64_t>((j + 1) * cells_in / parts));
            });
            if (std::find(ok.begin(), ok.end(), 0) != ok.end()) return std::nullopt;
        }
        rows.ends.push_back(static_cast<int64_t>(rows.values.size()));
    }
    return rows;
}

}  // namespace

std::optional<TextRows> read_text_rows(std::string_view text, std::optional<char> delimiter,
                                       std::optional<int64_t> label_column, std::size_t longest) {
    return read_rows(text, delimiter, label_column, longest, nullptr);
}

std::optional<TextRows> read_text_rows(std::string_view text, std::optional<char> delimiter,
                                       std::optional<int64_t> label_column, std::size_t longest, Workers& workers) {
    // Parts of a MiB or more, one per thread, each from a line's start: a
    // \r\n cut in two makes an empty line, which is no row.
    const std::size_t n = workers.parts(text.size(), std::size_t{1} << 20, 1);
    if (n <= 1) return read_rows(text, delimiter, label_column, longest, &workers);
    std::vector<std::size_t> cut(n + 1, text.size());
    cut[0] = 0;
    const char* const e = text.data() + text.size();
    for (std::size_t k = 1; k < n; ++k) {
        // Past the first \r or \n from there (by memchr: find_first_of
        // tests the text a character at a time).
        const char* end = line_end(text.data() + std::max(cut[k - 1], k * (text.size() / n)), e);
        cut[k] = end == e ? text.size() : static_cast<std::size_t>(end - text.data()) + 1;
    }
    // A line that holds the whole text: its cells are shared out instead.
    if (cut[1] == text.size()) return read_rows(text, delimiter, label_column, longest, &workers);
    std::vector<std::optional<TextRows>> parts(n);
    workers.run(n, [&](std::size_t k, unsigned) {
        parts[k] = read_text_rows(text.substr(cut[k], cut[k + 1] - cut[k]), delimiter, label_column, longest);
    });
    TextRows rows;
    std::size_t values = 0, ends = 0;
    for (const auto& part : parts) {
        if (!part) return std::nullopt;
        values += part->values.size();
        ends += part->ends.size();
    }
    rows.values.reserve(values);
    rows.ends.reserve(ends);
    for (const auto& part : parts) {
        const auto before = static_cast<int64_t>(rows.values.size());
        rows.values.insert(rows.values.end(), part->values.begin(), part->values.end());
        for (const int64_t end : part->ends) rows.ends.push_back(before + end);
    }
    return rows;
}

}  // namespace qor
