// Times the core's phases of Miner::mine without Python:
//   core_phases SERIES LENGTH MINSUP SEGLEN ALPHABET [RUNS [FILE [MAX_LEN]]]
// prints the minimum over RUNS (default 7) of each phase in milliseconds, and
// the minor page faults of each phase in the last run.
// The series are random walks, or SERIES x LENGTH float64 values read from
// FILE (row-major, native byte order; numpy's `array.tofile(FILE)`).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

#include <sys/resource.h>

#include "motifs/statistics.hpp"
#include "patterns/pattern_miner.hpp"
#include "pipeline/ranking.hpp"
#include "sax/sax.hpp"

using namespace qor;
using Clock = std::chrono::steady_clock;

// Minor page faults of the process so far: memory taken fresh from the kernel.
static long faults() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s SERIES LENGTH MINSUP SEGLEN ALPHABET [RUNS]\n", argv[0]);
        return 2;
    }
    const auto series = static_cast<std::size_t>(std::atol(argv[1]));
    const auto length = static_cast<std::size_t>(std::atol(argv[2]));
    const double minsup = std::atof(argv[3]);
    const auto seglen = static_cast<int32_t>(std::atoi(argv[4]));
    const auto alphabet = static_cast<int32_t>(std::atoi(argv[5]));
    const int runs = argc > 6 ? std::atoi(argv[6]) : 7;
    const char* file = argc > 7 ? argv[7] : nullptr;
    const auto max_len = static_cast<int32_t>(argc > 8 ? std::atoi(argv[8]) : 0);

    std::mt19937_64 rng(1);
    std::normal_distribution<double> step;
    Collection walks;
    walks.assign_rows(series, length);
    if (file) {
        std::FILE* f = std::fopen(file, "rb");
        bool ok = f != nullptr;
        for (std::size_t i = 0; i < series; ++i)
            ok = ok && std::fread(walks.row(i), sizeof(double), length, f) == length;
        if (f) std::fclose(f);
        if (!ok) {
            std::fprintf(stderr, "cannot read %zu x %zu doubles from %s\n", series, length, file);
            return 1;
        }
    } else {
        for (std::size_t i = 0; i < series; ++i) {
            double x = 0.0;
            for (std::size_t j = 0; j < length; ++j) walks.row(i)[j] = x += step(rng);
        }
    }

    const char* names[] = {"znormalize", "sax", "pattern search", "statistics", "rank+select", "both in one pass"};
    double best[6] = {1e300, 1e300, 1e300, 1e300, 1e300, 1e300};
    long faulted[6] = {0, 0, 0, 0, 0, 0};  // in the last run
    bool same_words = true;
    std::size_t motifs = 0;
    for (int run = 0; run < runs; ++run) {
        Collection ts = walks;
        // One team for all the phases, as in Miner::mine.
        Workers workers;
        Clock::time_point t[6];
        long f[7];
        f[0] = faults();
        t[0] = Clock::now();
        znormalize(ts, workers);
        t[1] = Clock::now();
        f[1] = faults();
        const std::vector<Word> words = sax(ts, seglen, alphabet, workers);
        t[2] = Clock::now();
        f[2] = faults();
        PatternMiner miner(minsup, 3, max_len);
        miner.mine(words, workers);
        std::vector<Motif> found;
        for (auto& entry : miner.frequent) found.push_back(std::move(entry.second));
        t[3] = Clock::now();
        f[3] = faults();
        prepare_motifs(found, seglen);
        score_motifs(found, ts, workers);
        t[4] = Clock::now();
        f[4] = faults();
        rank_motifs(found);
        const std::vector<Motif> top = top_motifs(found, 0);
        t[5] = Clock::now();
        f[5] = faults();
        motifs = top.size();
        for (int i = 0; i < 5; ++i) {
            best[i] = std::min(best[i], std::chrono::duration<double, std::milli>(t[i + 1] - t[i]).count());
            faulted[i] = f[i + 1] - f[i];
        }
        // Normalisation and words in one pass (Miner::mine's way), on a
        // fresh copy.
        Collection again = walks;
        const long before = faults();
        const Clock::time_point start = Clock::now();
        const std::vector<Word> fused = znormalize_and_sax(again, seglen, alphabet, workers);
        best[5] = std::min(best[5], std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        faulted[5] = faults() - before;
        same_words = same_words && fused == words;
    }
    std::printf(
        "%zu x %zu, minsup %g, seglen %d, alphabet %d: %zu motifs; minimum of %d runs (ms), page faults of the "
        "last:\n",
        series, length, minsup, seglen, alphabet, motifs, runs);
    for (int i = 0; i < 6; ++i) std::printf("  %-16s %8.2f %8ld\n", names[i], best[i], faulted[i]);
    if (!same_words) {
        std::fprintf(stderr, "the words of the one-pass normalisation differ\n");
        return 1;
    }
}
