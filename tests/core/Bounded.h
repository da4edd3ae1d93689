#pragma once
// Runs a call that a fault could leave hanging (a join, a wait) with a deadline. A hung
// call cannot be cancelled, so on a miss the process ends at once: the test fails
// promptly instead of hanging until the runner's time-out.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#include "support/RunUntil.h"

namespace ZelkorTest {

// Ends the process unless `done()` holds before the deadline.
inline void RequireWithin(const std::function<bool()>& done, const char* what,
                          std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    if (!WaitUntil(done, deadline)) {
        std::fprintf(stderr, "Did not complete in time: %s\n", what);
        std::fflush(stderr);
        std::_Exit(2);
    }
}

// Runs `work` on a thread of its own; ends the process unless it returns before the deadline.
inline void CompletesWithin(std::function<void()> work, const char* what,
                            std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread([work = std::move(work), done] {
        work();
        *done = true;
    }).detach();
    RequireWithin([&] { return done->load(); }, what, deadline);
}

}  // namespace ZelkorTest
