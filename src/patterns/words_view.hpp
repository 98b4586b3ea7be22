// The words that the pattern search reads, however they are held.
#pragma once

#include <cstddef>
#include <vector>

#include "core/types.hpp"

namespace qor {

// Words as the search reads them: a list of separately held words, or one
// block of letters where word g is letters[ends[g - 1] .. ends[g]) (from 0
// for g = 0). Refers to the words; they must outlive it.
class WordsView {
public:
    WordsView(const std::vector<Word>& words)  // NOLINT: converts on purpose
        : words_(&words), count_(words.size()) {}
    WordsView(const char* letters, const std::size_t* ends, std::size_t count)
        : letters_(letters), ends_(ends), count_(count) {}

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const char* data(std::size_t g) const {
        return words_ ? (*words_)[g].data() : letters_ + (g == 0 ? 0 : ends_[g - 1]);
    }
    std::size_t length(std::size_t g) const {
        return words_ ? (*words_)[g].size() : ends_[g] - (g == 0 ? 0 : ends_[g - 1]);
    }

private:
    const std::vector<Word>* words_ = nullptr;
    const char* letters_ = nullptr;
    const std::size_t* ends_ = nullptr;
    std::size_t count_;
};

}  // namespace qor
