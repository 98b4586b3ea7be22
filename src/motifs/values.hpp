// Tables of doubles for the motif statistics: buffers that are not zeroed
// before they are written, and a read-only table that copies share.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace qor {

// std::allocator, except that resize() leaves new elements of trivial types
// uninitialised: for buffers that are written in full right after.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using Values = std::vector<double, UninitializedAllocator<double>>;

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
