// A read-only table of doubles that copies share.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "core/collection.hpp"

namespace qor {

// A table of doubles that is written once, when it is built, and only read
// afterwards; copies share the values instead of duplicating them.
class SharedValues {
public:
    SharedValues() = default;
    explicit SharedValues(Values&& values) : values_(std::make_shared<const Values>(std::move(values))) {}

    bool empty() const { return size() == 0; }
    std::size_t size() const { return values_ ? values_->size() : 0; }
    const double* data() const { return values_ ? values_->data() : nullptr; }
    std::vector<double> to_vector() const {
        return values_ ? std::vector<double>(values_->begin(), values_->end()) : std::vector<double>();
    }

private:
    std::shared_ptr<const Values> values_;
};

}  // namespace qor
