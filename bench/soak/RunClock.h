#pragma once
// Seconds since the run began, on the steady clock: the one time every part of the run
// reads, and the time written in front of each event line kept.

#include <chrono>

namespace ZelkorSoak {

class RunClock {
public:
    double Now() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - _start).count();
    }

private:
    std::chrono::steady_clock::time_point _start = std::chrono::steady_clock::now();
};

}  // namespace ZelkorSoak
