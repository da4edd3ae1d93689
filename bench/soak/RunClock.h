#pragma once
// Seconds since the run began, on the steady clock: the one time every part of the run
// reads, and the time written in front of each event line kept.

#include <chrono>
#include <cstdio>
#include <string>

namespace ZelkorSoak {

class RunClock {
public:
    double Now() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - _start).count();
    }

private:
    std::chrono::steady_clock::time_point _start = std::chrono::steady_clock::now();
};

// A time of the run as the findings write it, to the millisecond: "12.345 s".
inline std::string Stamp(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", seconds);
    return text;
}

}  // namespace ZelkorSoak
