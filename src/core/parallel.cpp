#include "core/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>

#if defined(__linux__)
#include <sched.h>
#endif

namespace qor {

unsigned thread_count() {
    if (const char* text = std::getenv("QOR_NUM_THREADS")) {
        char* end = nullptr;
        const long n = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && n > 0) return static_cast<unsigned>(std::min<long>(n, kMaxThreads));
    }
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

void prepare_exceptions() {
    try {
        throw Stopped();
    } catch (const Stopped&) {
    }
}

struct Workers::State {
    std::mutex mutex;
    std::condition_variable wake, done;
    const std::function<void(std::size_t, unsigned)>* task = nullptr;
    std::size_t parts = 0;
    std::atomic<std::size_t> next{0};
    // Written under the mutex; read without it while spinning.
    std::atomic<unsigned> busy{0};
    std::atomic<unsigned long long> round{0};
    bool stop = false;
    std::exception_ptr error;    // thrown by the lowest failing part,
    std::size_t error_part = 0;  // which is that part
};

Workers::Workers(unsigned threads, bool eager)
    : threads_(std::max(1u, threads)), eager_(eager), state_(std::make_unique<State>()) {}

Workers::~Workers() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->stop = true;
    }
    state_->wake.notify_all();
    for (std::thread& t : helpers_) t.join();
}

std::size_t Workers::parts(std::size_t work, std::size_t grain, std::size_t per_thread) const {
    if (threads_ == 1) return 1;
    const std::size_t most = static_cast<std::size_t>(threads_) * std::max<std::size_t>(per_thread, 1);
    if (eager_) return most;
    return std::max<std::size_t>(1, std::min(most, work / std::max<std::size_t>(grain, 1)));
}

void Workers::poll_when_due() {
    if (std::chrono::steady_clock::now() - last_poll_ < poll_interval) return;
    poll_now();
    if (stop_requested()) throw Stopped();
}

void Workers::poll_now() {
    last_poll_ = std::chrono::steady_clock::now();
    if (poll_ && !stop_requested() && poll_()) request_stop();
}

// Waits up to kSpin for `ready` without sleeping: the calls of one
// computation follow each other closely, and a sleeping thread takes tens
// of microseconds to wake (more in a virtual machine).
template <typename Ready>
void spin_until(Ready ready) {
    constexpr std::chrono::microseconds kSpin{50};
    const auto until = std::chrono::steady_clock::now() + kSpin;
    for (unsigned i = 1;; ++i) {
        if (ready()) return;
        if (i % 64 == 0 && std::chrono::steady_clock::now() > until) return;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}

void Workers::work(unsigned thread) {
    State& s = *state_;
    for (;;) {
        const std::size_t part = s.next.fetch_add(1);
        if (part >= s.parts) return;
        try {
            check();
            (*s.task)(part, thread);
        } catch (...) {
            // Parts are claimed in order, so every lower part has started
            // and finishes: the error reported is the one the lowest
            // failing part throws, as in a loop over the parts.
            std::lock_guard<std::mutex> lock(s.mutex);
            if (!s.error || part < s.error_part) {
                s.error = std::current_exception();
                s.error_part = part;
            }
            s.next = s.parts;
        }
    }
}

void Workers::serve(unsigned thread, unsigned long long seen) {
    prepare_exceptions();
    State& s = *state_;
    for (;;) {
        spin_until([&] { return s.round.load(std::memory_order_acquire) != seen; });
        {
            std::unique_lock<std::mutex> lock(s.mutex);
            s.wake.wait(lock, [&] { return s.stop || s.round != seen; });
            if (s.stop) return;
            seen = s.round;
        }
        work(thread);
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            if (--s.busy == 0) s.done.notify_one();
        }
    }
}

void Workers::run(std::size_t n, const std::function<void(std::size_t, unsigned)>& task) {
    if (n == 0) return;
    if (threads_ == 1 || n == 1) {
        for (std::size_t part = 0; part < n; ++part) {
            check();
            task(part, 0);
        }
        return;
    }
    State& s = *state_;
    // Helpers beyond the number of parts would only wait.
    const unsigned wanted = static_cast<unsigned>(std::min<std::size_t>(threads_, n)) - 1;
    while (helpers_.size() < wanted) {
        // A new helper waits for the round after the current one. If the
        // system refuses another thread, the ones there are do the work.
        const unsigned id = static_cast<unsigned>(helpers_.size()) + 1;
        try {
            helpers_.emplace_back([this, id, seen = s.round.load()] { serve(id, seen); });
        } catch (const std::exception&) {  // no thread, or no memory for one
            break;
        }
    }
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.task = &task;
        s.parts = n;
        s.next = 0;
        s.error = nullptr;
        s.busy = static_cast<unsigned>(helpers_.size());
        ++s.round;
    }
    s.wake.notify_all();
    work(0);
    spin_until([&] { return s.busy.load(std::memory_order_acquire) == 0; });
    std::exception_ptr error;
    {
        std::unique_lock<std::mutex> lock(s.mutex);
        const auto finished = [&] { return s.busy == 0; };
        // Waits in slices, polling in between, when there is a poll.
        while (!s.done.wait_for(lock, poll_ ? poll_interval : std::chrono::hours(1), finished)) {
            lock.unlock();
            poll_now();
            lock.lock();
        }
        s.task = nullptr;
        error = s.error;
        s.error = nullptr;
    }
    if (error) std::rethrow_exception(error);
}

std::vector<std::size_t> split_by_weight(const std::size_t* cumulative, std::size_t n, std::size_t parts) {
    parts = std::max<std::size_t>(parts, 1);
    std::vector<std::size_t> bounds(parts + 1, n);
    bounds[0] = 0;
    const std::size_t base = cumulative[0];
    const std::size_t total = cumulative[n] - base;
    for (std::size_t k = 1; k < parts; ++k) {
        // First item whose weight before it reaches k / parts of the total.
        const std::size_t target = base + static_cast<std::size_t>(static_cast<double>(total) * static_cast<double>(k) /
                                                                   static_cast<double>(parts));
        const std::size_t* at = std::lower_bound(cumulative, cumulative + n, target);
        bounds[k] = std::max(bounds[k - 1], static_cast<std::size_t>(at - cumulative));
    }
    return bounds;
}

}  // namespace qor
