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
    stride = words.empty() ? 0 : words[0].size() + 1;
    for (const Word& w : words)
        if (w.size() + 1 != stride) stride = 0;
    if (stride < 2) stride = 0;  // empty words: no pattern to count
#if defined(__SIZEOF_INT128__)
    if (stride != 0) reciprocal = ~uint64_t{0} / stride + 1;
#else
    stride = 0;
#endif
    ids.reserve(total);
    if (stride == 0) word_of.reserve(total);
    start.reserve(words.size() + 1);
    for (std::size_t g = 0; g < words.size(); ++g) {
        start.push_back(ids.size());
        for (char c : words[g]) ids.push_back(rank[static_cast<uint8_t>(c)]);
        ids.push_back(separator);
        if (stride == 0) word_of.resize(ids.size(), static_cast<uint32_t>(g));
    }
    start.push_back(ids.size());
}

}  // namespace qor::detail
