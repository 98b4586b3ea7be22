#include "patterns/text.hpp"

#include <limits>
#include <stdexcept>

namespace qor::detail {

Text::Text(const std::vector<Word>& words) {
    bool seen[256] = {};
    std::size_t total = 0;
    for (const Word& w : words) {
        total += w.size() + 1;
        for (char c : w) seen[static_cast<uint8_t>(c)] = true;
    }
    // Positions, global ones included, are 32-bit signed values.
    if (total > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
        throw std::length_error("vector too long");
    // Dense ids in signed 8-bit order of the symbols, so that id order is
    // pattern order on every platform.
    uint16_t rank[256] = {};
    for (int v = -128; v < 128; ++v) {
        const uint8_t byte = static_cast<uint8_t>(static_cast<signed char>(v));
        if (seen[byte]) {
            rank[byte] = static_cast<uint16_t>(symbols.size());
            symbols.push_back(static_cast<char>(byte));
        }
    }
    separator = static_cast<uint16_t>(symbols.size());
    ids.reserve(total);
    word_of.reserve(total);
    start.reserve(words.size() + 1);
    for (std::size_t g = 0; g < words.size(); ++g) {
        start.push_back(ids.size());
        for (char c : words[g]) ids.push_back(rank[static_cast<uint8_t>(c)]);
        ids.push_back(separator);
        word_of.resize(ids.size(), static_cast<uint32_t>(g));
    }
    start.push_back(ids.size());
    stride = start.size() > 1 ? start[1] : 0;
    for (std::size_t g = 1; g + 1 < start.size() && stride != 0; ++g)
        if (start[g + 1] - start[g] != stride) stride = 0;
    if (stride < 2) stride = 0;  // empty words: no pattern to count
    if (stride != 0) reciprocal = ~uint64_t{0} / stride + 1;
}

}  // namespace qor::detail
