// A small team of threads that lives for one call: loops over independent
// parts run on all of them, and the caller's results stay in part order, so
// they never depend on the number of threads.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace qor {

// Threads to use: QOR_NUM_THREADS when it holds a positive integer,
// otherwise the number of CPUs this process may run on.
unsigned thread_count();

class Workers {
public:
    // `threads` counts the calling thread; helpers start at the first run
    // that has more than one part. With `eager`, parts() splits any amount
    // of work (for tests of the parallel paths on small inputs).
    explicit Workers(unsigned threads = thread_count(), bool eager = false);
    ~Workers();
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    unsigned size() const { return threads_; }
    bool eager() const { return eager_; }

    // Number of parts worth making of `work` units when a part should hold
    // at least `grain` of them: 1 on one thread or for little work, at most
    // `per_thread` parts per thread.
    std::size_t parts(std::size_t work, std::size_t grain, std::size_t per_thread = 4) const;

    // Calls task(part, thread) once for every part < n, spread over the
    // threads (thread < size() tells which one runs it, for per-thread
    // scratch), and returns when all have finished. If tasks throw, the
    // parts not yet started are skipped and the exception of the lowest
    // failing part is rethrown.
    void run(std::size_t n, const std::function<void(std::size_t, unsigned)>& task);

private:
    struct State;
    void serve(unsigned thread, unsigned long long seen);
    void work(unsigned thread);

    unsigned threads_;
    bool eager_;
    std::unique_ptr<State> state_;
    std::vector<std::thread> helpers_;
};

// Splits [0, n) into `parts` consecutive ranges of about equal weight, where
// cumulative[i] is the total weight of items before i (n + 1 entries,
// ascending). Returns the parts + 1 boundaries.
std::vector<std::size_t> split_by_weight(const std::size_t* cumulative, std::size_t n, std::size_t parts);

// Samples per part worth handing to another thread, for the loops over
// series samples and over motif window samples alike.
constexpr std::size_t kSampleGrain = std::size_t{1} << 16;

}  // namespace qor
