// Rows of numbers read from plain text (CSV, TSV, whitespace-separated), at
// the speed of the number parsing: the common case of qor.load, whose
// Python reader takes everything this one declines.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/parallel.hpp"

namespace qor {

// Every row's values one after another, and the end of each row among them.
struct TextRows {
    std::vector<double> values;
    std::vector<int64_t> ends;
};

// The rows of `text`, one per line; a line ends at \n, \r\n or a lone \r.
// Cells are separated by `delimiter`, or by runs of whitespace without one.
// A line of nothing but whitespace and delimiters is no row. With a
// `label_column`, that cell of each row (counted from the row's end when
// negative) is dropped first. Empty cells at the end of a row are dropped,
// other empty cells are NaN, and every other cell is read as Python's
// float() reads it: surrounding whitespace, a sign, a decimal number or
// nan, inf, infinity in any case.
//
// With a delimiter, a cell may be quoted ("1.5", "label, with a comma"):
// the quotes go, and what they hold is the cell.
//
// Returns nothing where a row needs more care than this: any other quote
// (with a delimiter: "a""b", "a"b, a quote inside a cell, a quoted cell
// that goes on to the next line), a cell longer than `longest` characters
// (where that is not 0), a cell that is not such a number (underscores,
// hexadecimal, text), a value beyond the range of a double, a row without
// the label column. The caller then reads the text its own, slower way,
// which also says what is wrong. So does a NUL or any byte beyond ASCII.
std::optional<TextRows> read_text_rows(std::string_view text, std::optional<char> delimiter,
                                       std::optional<int64_t> label_column, std::size_t longest = 0);
// The same, its lines shared out among the threads of `workers`.
std::optional<TextRows> read_text_rows(std::string_view text, std::optional<char> delimiter,
                                       std::optional<int64_t> label_column, std::size_t longest, Workers& workers);

}  // namespace qor
