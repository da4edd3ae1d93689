#pragma once
// Waiting on conditions with a deadline, never on fixed sleeps. The default deadlines are
// ceilings for a loaded machine, not expected times.

#include <chrono>
#include <functional>
#include <thread>

#include <boost/asio/io_context.hpp>

namespace ZelkorTest {

// Runs the event loop in short slices until `done()` holds or the deadline passes.
// Returns whether the condition held.
inline bool RunUntil(boost::asio::io_context& io, const std::function<bool()>& done,
                     std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        if (io.stopped()) {
            io.restart();
        }
        io.run_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Polls a condition set by other threads until it holds or the deadline passes.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace ZelkorTest
