#pragma once
// A small, fast, non-cryptographic pseudo-random generator with a clock-based seed, and
// the current UTC time broken down into fields.
//
// Ownership: plain values. Threads: one generator is used by one thread at a time.

#include <cstdint>

namespace Zelkor {

// Broken-down UTC time; dayOfWeek is not filled and stays 0.
struct systemtime {
    std::uint16_t year = 0;
    std::uint16_t month = 0;  // 1 to 12
    std::uint16_t dayOfWeek = 0;
    std::uint16_t day = 0;  // of the month
    std::uint16_t hour = 0;
    std::uint16_t minute = 0;
    std::uint16_t second = 0;
    std::uint16_t milliseconds = 0;
};

// Combines a congruential generator, a shift register and a carry chain. A new
// generator is all zero; call Init() to seed it before drawing numbers.
class Random {
public:
    // Seeds from the time of day, the processor clock and the milliseconds.
    void Init();
    std::uint32_t Rand();
    // A number from low up to but excluding high; low (without drawing) when high is
    // not above low.
    unsigned int RandInRange(unsigned int low, unsigned int high);

    // Fills `time` (when not null) with the current UTC date and time and returns the
    // milliseconds within the second.
    static std::uint16_t GetSystemTime(systemtime* time);

private:
    // Last mixes of Init and Rand; kept for the record, never read.
    std::uint32_t _work1 = 0;
    std::uint32_t _work2 = 0;
    std::uint32_t _x = 0;  // congruential
    std::uint32_t _y = 0;  // shift register
    std::uint32_t _z = 0;  // carry chain
    std::uint32_t _w = 0;
    std::uint32_t _c = 0;  // carry
};

}  // namespace Zelkor
