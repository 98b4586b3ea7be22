#include "motifs/motif.hpp"

#include <algorithm>
#include <cstddef>

#include "motifs/kernels.hpp"

namespace qor {

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
    o.average_occurrences = SharedValues();
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
        o.average_occurrences = SharedValues();
        o.representative.clear();
        o.best_matches.clear();
    }
    return *this;
}

std::vector<double> Motif::extract_occurrence(const Series& series, int32_t p) const {
    const std::size_t len = detail::window_length(length);
    std::vector<double> window;
    window.reserve(len);
    const detail::Span span = detail::window_span(series.size(), p, seglen, length);
    window.insert(window.end(), series.begin() + static_cast<std::ptrdiff_t>(span.first),
                  series.begin() + static_cast<std::ptrdiff_t>(span.first + span.count));
    window.resize(len, detail::kNaN);
    return window;
}

}  // namespace qor
