// The thread team and the split of work into parts.
#include <doctest/doctest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/parallel.hpp"

using namespace qor;

TEST_CASE("Workers::run: every part once, on a known thread; the lowest failing part's exception") {
    Workers team(3);
    std::vector<int> hits(50, 0);
    std::atomic<bool> known_thread{true};
    team.run(hits.size(), [&](std::size_t part, unsigned thread) {
        if (thread >= team.size()) known_thread = false;
        ++hits[part];
    });
    CHECK(known_thread);
    CHECK(std::all_of(hits.begin(), hits.end(), [](int h) { return h == 1; }));
    CHECK_THROWS_WITH_AS(team.run(20,
                                  [](std::size_t part, unsigned) {
                                      if (part == 5) throw std::runtime_error("part 5");
                                  }),
                         "part 5", std::runtime_error);
    std::size_t sum = 0;
    team.run(1, [&](std::size_t, unsigned) { sum = 7; });  // usable after a failure
    CHECK(sum == 7);
    // The exception of the lowest failing part wins, as in a plain loop.
    CHECK_THROWS_WITH_AS(team.run(40,
                                  [](std::size_t part, unsigned) {
                                      if (part == 3 || part == 30)
                                          throw std::runtime_error("part " + std::to_string(part));
                                  }),
                         "part 3", std::runtime_error);
}

TEST_CASE("Workers::run: helpers started in later, larger runs join only the rounds after their start") {
    // run() returns only once every part has finished.
    Workers big(8);
    std::atomic<int> running{0};
    bool settled = true;
    for (int round = 0; round < 200; ++round) {
        const std::size_t parts = round % 2 ? 64 : 2 + round % 7;
        std::vector<std::atomic<int>> ran(parts);
        big.run(parts, [&](std::size_t part, unsigned) {
            ++running;
            ++ran[part];
            --running;
        });
        settled = settled && running == 0;
        for (auto& r : ran) settled = settled && r == 1;
    }
    CHECK(settled);
}

TEST_CASE("Workers::parts and split_by_weight") {
    CHECK(Workers(1).parts(1u << 30, 1) == 1);
    CHECK(Workers(2).parts(10, 100) == 1);
    CHECK(Workers(2).parts(1000, 100) == 8);
    CHECK(Workers(2, true).parts(0, 100) == 8);
    const std::vector<std::size_t> before = {0, 5, 5, 6, 20, 21, 30};
    const std::vector<std::size_t> bounds = split_by_weight(before.data(), 6, 3);
    CHECK(bounds.size() == 4);
    CHECK(bounds.front() == 0);
    CHECK(bounds.back() == 6);
    CHECK(std::is_sorted(bounds.begin(), bounds.end()));
    CHECK(split_by_weight(before.data(), 0, 4) == std::vector<std::size_t>(5, 0));
}

TEST_CASE("Workers: a stop request ends run() with Stopped, on one thread and on several") {
    for (unsigned threads : {1u, 3u}) {
        CAPTURE(threads);
        Workers team(threads);
        team.request_stop();
        std::atomic<int> ran{0};
        CHECK_THROWS_AS(team.run(10, [&](std::size_t, unsigned) { ++ran; }), Stopped);
        CHECK(ran == 0);
    }
    // Parts that would run forever end at their next check once the poll,
    // called on this thread only, asks to stop.
    for (unsigned threads : {1u, 3u}) {
        CAPTURE(threads);
        Workers team(threads);
        const std::thread::id caller = std::this_thread::get_id();
        int polls = 0;
        bool on_caller = true;
        team.set_poll([&] {
            on_caller = on_caller && std::this_thread::get_id() == caller;
            return ++polls == 3;
        });
        CHECK_THROWS_AS(team.run(6,
                                 [&](std::size_t, unsigned) {
                                     for (;;) team.check();
                                 }),
                        Stopped);
        CHECK(polls == 3);
        CHECK(on_caller);
    }
}
