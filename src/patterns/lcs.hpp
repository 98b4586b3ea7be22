// The longest common subsequence of two patterns, the measure of the overlap
// filter.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qor::detail {

// Length of the longest common subsequence with one fixed pattern, by the
// bit-parallel recurrence (Allison-Dix, Hyyro): bit j of the state stands
// for position j of the fixed pattern, 64 positions a word.
class LcsWith {
public:
    explicit LcsWith(std::size_t alphabet) : masks_(alphabet) {}

    void set(const uint8_t* p, std::size_t m) {
        for (uint8_t c : used_) std::fill(masks_[c].begin(), masks_[c].end(), 0);
        used_.clear();
        m_ = m;
        words_ = (m + 63) / 64;
        for (std::size_t j = 0; j < m; ++j) {
            std::vector<uint64_t>& mask = masks_[p[j]];
            if (mask.size() < words_) mask.resize(words_, 0);
            if (std::none_of(mask.begin(), mask.end(), [](uint64_t w) { return w != 0; })) used_.push_back(p[j]);
            mask[j / 64] |= uint64_t{1} << (j % 64);
        }
        state_.resize(words_);
    }

    int32_t with(const uint8_t* r, std::size_t n) {
        std::fill(state_.begin(), state_.end(), ~uint64_t{0});
        for (std::size_t i = 0; i < n; ++i) {
            const std::vector<uint64_t>& mask = masks_[r[i]];
            uint64_t carry = 0;
            for (std::size_t w = 0; w < words_ && w < mask.size(); ++w) {
                const uint64_t v = state_[w], u = v & mask[w];
                const uint64_t x = v + u, y = x + carry;
                carry = static_cast<uint64_t>(x < v) | static_cast<uint64_t>(y < x);
                state_[w] = y | (v & ~u);
            }
            // Words past the end of this symbol's mask have u = 0: only a
            // carry can change them.
            for (std::size_t w = mask.size(); carry && w < words_; ++w) {
                const uint64_t y = state_[w] + carry;
                carry = static_cast<uint64_t>(y < state_[w]);
                state_[w] = y | state_[w];
            }
        }
        std::size_t zeros = 0;
        for (std::size_t w = 0; w < words_; ++w) {
            const std::size_t bits = std::min<std::size_t>(64, m_ - 64 * w);
            const uint64_t low = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
            zeros += bits - popcount(state_[w] & low);
        }
        return static_cast<int32_t>(zeros);
    }

private:
    static std::size_t popcount(uint64_t x) {
        std::size_t n = 0;
        for (; x; x &= x - 1) ++n;
        return n;
    }

    std::vector<std::vector<uint64_t>> masks_;
    std::vector<uint8_t> used_;
    std::vector<uint64_t> state_;
    std::size_t m_ = 0, words_ = 0;
};

}  // namespace qor::detail
