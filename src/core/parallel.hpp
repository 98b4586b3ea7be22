// A small team of threads that lives for one call: loops over independent
// parts run on all of them, and the caller's results stay in part order, so
// they never depend on the number of threads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace qor {

// The most threads a team has.
constexpr unsigned kMaxThreads = 256;

// Threads to use: QOR_NUM_THREADS when it holds a positive integer (at most
// kMaxThreads), otherwise the number of CPUs this process may run on.
unsigned thread_count();

// Throws and catches one exception, so that the C++ runtime's per-thread
// exception storage (allocated on first use where the runtime is loaded at
// run time, and fatal to the process when that allocation fails) exists
// before the thread's work can run out of memory.
void prepare_exceptions();

// Thrown by Workers::check once the call is asked to stop.
struct Stopped : std::exception {
    const char* what() const noexcept override { return "computation stopped"; }
};

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

    // Stopping part way. `poll` runs on the thread that made the team, at
    // most about once per poll_interval: from check() and between parts
    // while that thread computes, and in slices while it waits for the
    // helpers. When it returns true, every thread stops at its next check
    // and the call throws Stopped. The poll must not throw.
    static constexpr std::chrono::milliseconds poll_interval{20};
    void set_poll(std::function<bool()> poll) { poll_ = std::move(poll); }
    void request_stop() { stop_.store(true, std::memory_order_relaxed); }
    bool stop_requested() const { return stop_.load(std::memory_order_relaxed); }

    // Throws Stopped when a stop was requested. Long loops call it every
    // microsecond or so of work: on helpers it reads one flag, on the
    // calling thread it also reads the clock, to poll when it is time.
    void check() {
        if (stop_requested()) throw Stopped();
        if (poll_ && std::this_thread::get_id() == owner_) poll_when_due();
    }

private:
    struct State;
    void serve(unsigned thread, unsigned long long seen);
    void work(unsigned thread);
    void poll_when_due();
    void poll_now();

    unsigned threads_;
    bool eager_;
    std::atomic<bool> stop_{false};
    std::function<bool()> poll_;
    std::thread::id owner_ = std::this_thread::get_id();
    std::chrono::steady_clock::time_point last_poll_ = std::chrono::steady_clock::now();
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
