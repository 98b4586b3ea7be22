#include "patterns/text.hpp"

#include <algorithm>
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
    ids.resize(total);
    if (stride == 0) word_of.resize(total);
    start.resize(words.size() + 1);
    uint16_t* out = ids.data();
    std::size_t at = 0;
    for (std::size_t g = 0; g < words.size(); ++g) {
        start[g] = at;
        const Word& w = words[g];
        for (std::size_t i = 0; i < w.size(); ++i) out[at + i] = rank[static_cast<uint8_t>(w[i])];
        out[at + w.size()] = separator;
        if (stride == 0)
            std::fill(word_of.begin() + static_cast<std::ptrdiff_t>(at),
                      word_of.begin() + static_cast<std::ptrdiff_t>(at + w.size() + 1), static_cast<uint32_t>(g));
        at += w.size() + 1;
    }
    start[words.size()] = at;
}

}  // namespace qor::detail
