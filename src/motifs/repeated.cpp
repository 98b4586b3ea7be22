#include "motifs/repeated.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "motifs/wide.hpp"

namespace qor::detail {

namespace {

constexpr uint64_t kSignBit = uint64_t{1} << 63;
constexpr uint64_t kFraction = (uint64_t{1} << 52) - 1;
constexpr uint64_t kExponent = uint64_t{0x7FF} << 52;

uint64_t bits_of(double x) {
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

double from_bits(uint64_t b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// Below this many additions the plain loops are quicker.
constexpr std::size_t kRepeatedShortcut = 1024;

}  // namespace

// Adding v again and again to acc moves acc along the grid of doubles of its
// binade (the values of one sign and exponent, spaced u apart). While the
// sum stays in that binade, each step rounds acc + v to the grid: as acc is
// on the grid, the step adds v rounded to a multiple of u, the same every
// time, except for a tie (v exactly halfway between two multiples of u),
// which rounds to the even neighbour and so depends on acc. A value that a
// step inside the binade produced is even after a tie, and from an even
// value the tie goes the same way every time: so two steps in a row that
// start and end in one binade fix the step for the rest of it, and all the
// steps up to its end are taken at once, in the bits (a double's bits count
// up along the grid). Steps that cross into the next binade, and values
// that are not finite, go one at a time, and a step that changes nothing
// ends the loop (each step depends on acc alone). About three steps per
// binade crossed: some log2(times) binades in all.
double add_repeated(double acc, double v, std::size_t times) {
    const uint64_t vb = bits_of(v);
    const bool finite = (vb & kExponent) != kExponent;
    int in_binade = 0;  // steps in a row that started and ended in one binade
    while (times > 0) {
        const double next = v + acc;
        --times;
        const uint64_t a = bits_of(acc), b = bits_of(next);
        if (a == b) return acc;
        const bool same = finite && (a & (kSignBit | kExponent)) == (b & (kSignBit | kExponent)) &&
                          (a & kExponent) != kExponent && (a & kSignBit) == (vb & kSignBit);
        acc = next;
        if (!same) {
            in_binade = 0;
            continue;
        }
        if (++in_binade < 2) continue;
        // b - a grid steps each time, while the fraction field has room.
        const uint64_t step = b - a;
        const uint64_t room = (kFraction - (b & kFraction)) / step;
        const uint64_t jump = std::min<uint64_t>(room, times);
        acc = from_bits(b + jump * step);
        times -= static_cast<std::size_t>(jump);
    }
    return acc;
}

void add_times(double* acc, const double* v, std::size_t n, std::size_t times) {
    if (times >= kRepeatedShortcut) {
        for (std::size_t i = 0; i < n; ++i) acc[i] = add_repeated(acc[i], v[i], times);
        return;
    }
    if (wide_vectors()) {
        add_times_wide(acc, v, n, times);
        return;
    }
    double* __restrict out = acc;
    for (std::size_t r = 0; r < times; ++r)
        for (std::size_t i = 0; i < n; ++i) out[i] = v[i] + out[i];
}

}  // namespace qor::detail
