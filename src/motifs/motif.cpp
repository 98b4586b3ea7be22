#include "motifs/motif.hpp"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>

#include "motifs/kernels.hpp"
#include "motifs/statistics.hpp"

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
    o.average_occurrences = AverageRows();
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
        o.average_occurrences = AverageRows();
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

void Motif::average_row(std::size_t r, double* row, double* scratch) const {
    const std::size_t len = detail::window_length(length);
    if (const Collection* ts = average_occurrences.collection()) {
        const auto s = static_cast<std::size_t>(indexes.series[r]);
        const int32_t* first = indexes.begin_of(r);
        detail::average_row(ts->row(s), ts->length(s), first, static_cast<std::size_t>(indexes.end_of(r) - first),
                            seglen, length, row, scratch);
        return;
    }
    if (average_occurrences.source()) {
        const std::vector<double> rows = average_rows();
        std::copy(rows.begin() + static_cast<std::ptrdiff_t>(r * len),
                  rows.begin() + static_cast<std::ptrdiff_t>((r + 1) * len), row);
        return;
    }
    const double* stored = average_occurrences.table().data() + r * len;
    std::copy(stored, stored + len, row);
}

std::vector<double> Motif::average_rows() const {
    if (!has_average_rows()) return {};
    const std::size_t len = detail::window_length(length);
    if (const RowSource* source = average_occurrences.source()) {
        std::vector<double> rows = source->rows(*this);
        if (rows.size() != indexes.size() * len)
            throw std::length_error("average rows: expected " + std::to_string(indexes.size() * len) + " values, got " +
                                    std::to_string(rows.size()));
        return rows;
    }
    std::vector<double> rows(indexes.size() * len), scratch(len);
    for (std::size_t r = 0; r < indexes.size(); ++r) average_row(r, rows.data() + r * len, scratch.data());
    return rows;
}

}  // namespace qor
