#include "core/wide.hpp"

#include <atomic>

namespace qor::detail {

namespace {
std::atomic<bool> wide_on{true};
}

void use_wide_vectors(bool on) { wide_on.store(on, std::memory_order_relaxed); }

#if QOR_WIDE
bool wide_vectors() {
    static const bool supported = __builtin_cpu_supports("avx");
    return supported && wide_on.load(std::memory_order_relaxed);
}
#else
bool wide_vectors() { return false; }
#endif

}  // namespace qor::detail
