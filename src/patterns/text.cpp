#include "patterns/text.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>

namespace qor::detail {

namespace {

// Letters per part worth handing to another thread.
constexpr std::size_t kLetterGrain = std::size_t{1} << 16;

}  // namespace

Text::Text(const WordsView& words, Workers& workers) {
    // before[g]: the position of word g, separators included.
    std::vector<std::size_t> before(words.size() + 1, 0);
    for (std::size_t g = 0; g < words.size(); ++g) before[g + 1] = before[g] + words.length(g) + 1;
    const std::size_t total = before.back();
    // Positions, global ones included, are 32-bit signed values.
    if (total > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
        throw std::length_error("vector too long");
    const std::size_t parts = workers.parts(total, kLetterGrain);
    const std::vector<std::size_t> bounds = split_by_weight(before.data(), words.size(), parts);
    std::vector<std::array<bool, 256>> seen_in(parts);
    workers.run(parts, [&](std::size_t part, unsigned) {
        std::array<bool, 256>& seen = seen_in[part];
        seen.fill(false);
        for (std::size_t g = bounds[part]; g < bounds[part + 1]; ++g) {
            const char* w = words.data(g);
            for (std::size_t i = 0, n = words.length(g); i < n; ++i) seen[static_cast<uint8_t>(w[i])] = true;
        }
    });
    bool seen[256] = {};
    for (const std::array<bool, 256>& part : seen_in)
        for (std::size_t byte = 0; byte < 256; ++byte) seen[byte] = seen[byte] || part[byte];
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
    stride = words.empty() ? 0 : words.length(0) + 1;
    for (std::size_t g = 0; g < words.size() && stride != 0; ++g)
        if (words.length(g) + 1 != stride) stride = 0;
    if (stride < 2) stride = 0;  // empty words: no pattern to count
#if defined(__SIZEOF_INT128__)
    if (stride != 0) reciprocal = ~uint64_t{0} / stride + 1;
#else
    stride = 0;
#endif
    ids.resize(total);
    if (stride == 0) word_of.resize(total);
    start = before;
    workers.run(parts, [&](std::size_t part, unsigned) {
        uint16_t* out = ids.data();
        for (std::size_t g = bounds[part]; g < bounds[part + 1]; ++g) {
            const char* w = words.data(g);
            const std::size_t n = words.length(g), at = before[g];
            for (std::size_t i = 0; i < n; ++i) out[at + i] = rank[static_cast<uint8_t>(w[i])];
            out[at + n] = separator;
            if (stride == 0)
                std::fill(word_of.begin() + static_cast<std::ptrdiff_t>(at),
                          word_of.begin() + static_cast<std::ptrdiff_t>(at + n + 1), static_cast<uint32_t>(g));
        }
    });
}

}  // namespace qor::detail
