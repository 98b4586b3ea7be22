#include "motif.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qor {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kNoMatch = 1000000.0;

// Sample range [first, last) of series of n samples that the window at
// symbol position p covers; the rest of the window is NaN padding.
struct Span {
    std::size_t first;
    std::size_t count;
};

inline Span window_span(std::size_t n, int32_t p, int32_t seglen, int32_t length) {
    const int64_t start = static_cast<int64_t>(p) * seglen;
    const int64_t end = start + length;
    const int64_t last = std::min<int64_t>(end, static_cast<int64_t>(n));
    if (start < 0 || last <= start) return {0, 0};
    return {static_cast<std::size_t>(start), static_cast<std::size_t>(last - start)};
}

}  // namespace

bool PatternLess::operator()(const Pattern& a, const Pattern& b) const {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const int x = symbol_value(a[i]), y = symbol_value(b[i]);
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

void Occurrences::add(int32_t s, int32_t position) {
    if (series.empty() || series.back() != s) {
        series.push_back(s);
        offsets.push_back(offsets.back());
    }
    positions.push_back(position);
    ++offsets.back();
}

void Occurrences::clear() {
    series.clear();
    offsets.assign(1, 0);
    positions.clear();
}

Motif::Motif(Motif&& o) noexcept
    : pattern(std::move(o.pattern)),
      seglen(o.seglen),
      length(o.length),
      indexes(std::move(o.indexes)),
      average_occurrences(std::move(o.average_occurrences)),
      representative(std::move(o.representative)),
      best_matches(std::move(o.best_matches)),
      naed(o.naed) {
    o.pattern.clear();
    o.indexes.clear();
    o.average_occurrences.clear();
    o.representative.clear();
    o.best_matches.clear();
}

Motif& Motif::operator=(Motif&& o) noexcept {
    if (this != &o) {
        pattern = std::move(o.pattern);
        seglen = o.seglen;
        length = o.length;
        indexes = std::move(o.indexes);
        average_occurrences = std::move(o.average_occurrences);
        representative = std::move(o.representative);
        best_matches = std::move(o.best_matches);
        naed = o.naed;
        o.pattern.clear();
        o.indexes.clear();
        o.average_occurrences.clear();
        o.representative.clear();
        o.best_matches.clear();
    }
    return *this;
}

std::vector<double> Motif::extract_occurrence(const Series& series, int32_t p) const {
    std::vector<double> window;
    window.reserve(static_cast<std::size_t>(std::max(length, 0)));
    const Span span = window_span(series.size(), p, seglen, length);
    window.insert(window.end(), series.begin() + static_cast<std::ptrdiff_t>(span.first),
                  series.begin() + static_cast<std::ptrdiff_t>(span.first + span.count));
    window.resize(static_cast<std::size_t>(std::max(length, 0)), kNaN);
    return window;
}

void Motif::compute_average_occurrences(const std::vector<Series>& ts) {
    const std::size_t len = static_cast<std::size_t>(std::max(length, 0));
    average_occurrences.assign(indexes.size() * len, 0.0);
    std::vector<uint32_t> counts(len);
    for (std::size_t r = 0; r < indexes.size(); ++r) {
        const Series& s = ts[static_cast<std::size_t>(indexes.series[r])];
        double* sums = average_occurrences.data() + r * len;
        std::fill(counts.begin(), counts.end(), 0u);
        // Windows in recorded order: each offset's sum gets its terms in
        // window order, as if the windows were averaged column by column.
        for (const int32_t* p = indexes.begin_of(r); p != indexes.end_of(r); ++p) {
            const Span span = window_span(s.size(), *p, seglen, length);
            const double* x = s.data() + span.first;
            for (std::size_t i = 0; i < span.count; ++i) {
                if (!std::isnan(x[i])) {
                    sums[i] += x[i];
                    ++counts[i];
                }
            }
        }
        for (std::size_t i = 0; i < len; ++i)
            sums[i] = counts[i] > 0 ? sums[i] / static_cast<double>(counts[i]) : kNaN;
    }
}

void Motif::compute_representative() {
    const std::size_t rows = indexes.size();
    if (rows == 0 || average_occurrences.empty()) return;
    const std::size_t len = representative.size();
    const double n = static_cast<double>(rows);
    for (std::size_t i = 0; i < len; ++i) {
        double sum = 0.0;
        uint32_t count = 0;
        for (std::size_t r = 0; r < rows; ++r) {
            const double v = average_occurrences[r * len + i];
            if (!std::isnan(v)) {
                sum += v;
                ++count;
            }
        }
        const double part = (count > 0 ? sum / static_cast<double>(count) : kNaN) / n;
        // One equal part per series, added one after another.
        double acc = representative[i];
        for (std::size_t r = 0; r < rows; ++r) acc = part + acc;
        representative[i] = acc;
    }
}

void Motif::compute_best_matches(const std::vector<Series>& ts) {
    best_matches.assign(indexes.size(), 0);
    const double* rep = representative.data();
    for (std::size_t r = 0; r < indexes.size(); ++r) {
        const Series& s = ts[static_cast<std::size_t>(indexes.series[r])];
        int32_t best_position = 0;
        double best_distance = kNoMatch;
        for (const int32_t* p = indexes.begin_of(r); p != indexes.end_of(r); ++p) {
            const Span span = window_span(s.size(), *p, seglen, length);
            const double* x = s.data() + span.first;
            double sum = 0.0;
            for (std::size_t i = 0; i < span.count; ++i) {
                if (!std::isnan(x[i])) {
                    const double d = x[i] - rep[i];
                    sum += d * d;
                }
            }
            const double distance = std::sqrt(sum);
            if (distance < best_distance) {
                best_distance = distance;
                best_position = *p;
            }
        }
        naed = naed + best_distance;
        best_matches[r] = best_position * seglen;
    }
    naed = naed / (static_cast<double>(indexes.size()) * static_cast<double>(length));
}

}  // namespace qor
