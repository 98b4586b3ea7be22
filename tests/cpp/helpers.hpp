// What the C++ tests share: NaN-aware comparison, patterns and words from
// strings, occurrences as maps, and motifs made by hand.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/types.hpp"
#include "motifs/motif.hpp"
#include "motifs/statistics.hpp"
#include "patterns/pattern_miner.hpp"

namespace qor::test {

inline const double NaN = std::numeric_limits<double>::quiet_NaN();

// Equal, where NaN equals NaN.
// The same value to the last bit (+0.0 and -0.0 differ), any NaN matching any
// NaN: the engine promises its values' bits, not those of a NaN's sign.
inline bool same(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || (a == b && std::signbit(a) == std::signbit(b));
}
inline bool same(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same(a[i], b[i])) return false;
    return true;
}

inline Pattern P(const std::string& s) { return Pattern(s.begin(), s.end()); }
inline std::string text(const Pattern& p) { return std::string(p.begin(), p.end()); }
inline std::vector<Word> words_of(const std::vector<std::string>& ws) {
    std::vector<Word> out;
    for (const auto& w : ws) out.emplace_back(w.begin(), w.end());
    return out;
}

// The keys of `frequent`, in map order.
inline std::vector<std::string> keys(const PatternMiner& m) {
    std::vector<std::string> out;
    for (const auto& e : m.frequent) out.push_back(text(e.first));
    return out;
}

using Positions = std::map<int32_t, std::vector<int32_t>>;

inline Positions positions(const Motif& m) {
    Positions out;
    for (std::size_t r = 0; r < m.indexes.size(); ++r)
        out[m.indexes.series[r]].assign(m.indexes.begin_of(r), m.indexes.end_of(r));
    return out;
}

// A motif of `pattern` occurring at `occ`, prepared for the statistics.
inline Motif motif_with(const std::string& pattern, int32_t seglen, const Positions& occ) {
    Motif m(P(pattern));
    for (const auto& [s, ps] : occ)
        for (int32_t p : ps) m.indexes.add(s, p);
    m.seglen = seglen;
    m.length = motif_length(seglen, pattern.size());
    m.representative.assign(static_cast<std::size_t>(m.length), 0.0);
    return m;
}

// Between 1 and max_series random walks of fewer than max_length samples
// each, where about one sample in nan_one_in is NaN.
inline std::vector<Series> random_walks(std::mt19937_64& rng, std::size_t max_series, std::size_t max_length,
                                        unsigned nan_one_in) {
    std::normal_distribution<double> step;
    std::vector<Series> ts(1 + rng() % max_series);
    for (Series& s : ts) {
        s.resize(rng() % max_length);
        double x = 0.0;
        for (double& v : s) v = (rng() % nan_one_in == 0) ? NaN : (x += step(rng));
    }
    return ts;
}

// Every field equal, to the last bit.
inline bool same_motif(const Motif& a, const Motif& b) {
    const std::vector<double> ra = a.average_rows(), rb = b.average_rows();
    return a.pattern == b.pattern && a.seglen == b.seglen && a.length == b.length && positions(a) == positions(b) &&
           same(ra, rb) && same(a.representative, b.representative) && a.best_matches == b.best_matches &&
           same(a.naed, b.naed);
}

}  // namespace qor::test
