// The types that every layer shares: a series of samples, a word of symbols
// made from it, a pattern of symbols found in words, and the order of
// patterns.
#pragma once

#include <vector>

namespace qor {

using Series = std::vector<double>;
using Word = std::vector<char>;
using Pattern = std::vector<char>;

// Symbols compare as signed 8-bit values whatever the signedness of char.
inline int symbol_value(char c) { return static_cast<signed char>(c); }

// Symbol by symbol, as signed 8-bit values; a proper prefix comes first.
struct PatternLess {
    bool operator()(const Pattern& a, const Pattern& b) const;
};

}  // namespace qor
