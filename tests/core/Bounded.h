#pragma once
// Runs a call that a fault could leave hanging (a join, a wait) with a deadline. A hung
// call cannot be cancelled, so on a miss the process ends at once: the test fails
// promptly instead of hanging until the runner's time-out.

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#include "support/RunUntil.h"

namespace ZelkorTest {

inline void CompletesWithin(std::function<void()> work, const char* what) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread([work = std::move(work), done] {
        work();
        *done = true;
    }).detach();
    if (!WaitUntil([&] { return done->load(); })) {
        std::fprintf(stderr, "Did not complete in time: %s\n", what);
        std::_Exit(2);
    }
}

}  // namespace ZelkorTest
