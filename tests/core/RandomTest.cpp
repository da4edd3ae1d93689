#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <set>
#include <utility>

#include "core/Random.h"

using Zelkor::Random;

TEST(Random, RangeIsLowPlusDrawModuloWidth) {
    Random random;
    random.Init();
    Random twin = random;
    const std::pair<unsigned int, unsigned int> ranges[] = {
        {0, 1}, {0, 2}, {10, 17}, {100, 0xffffffffu}, {0, 0xffffffffu}};
    for (const auto& [low, high] : ranges) {
        for (int i = 0; i < 200; ++i) {
            EXPECT_EQ(random.RandInRange(low, high), low + twin.Rand() % (high - low));
        }
    }
    // An empty range gives its low end without drawing.
    EXPECT_EQ(random.RandInRange(5, 5), 5u);
    EXPECT_EQ(random.RandInRange(7, 3), 7u);
    EXPECT_EQ(random.Rand(), twin.Rand());
}

TEST(Random, SeededGeneratorDoesNotRepeatQuickly) {
    Random random;
    random.Init();
    std::set<std::uint32_t> seen;
    std::set<std::uint32_t> lowBytes;
    for (int i = 0; i < 10000; ++i) {
        const std::uint32_t value = random.Rand();
        seen.insert(value);
        lowBytes.insert(value & 0xff);
    }
    EXPECT_GT(seen.size(), 9990u);
    // The low bytes (used as nonce bytes) take every value.
    EXPECT_EQ(lowBytes.size(), 256u);
}

TEST(Random, SystemTimeIsCurrentUtc) {
    // The clock the code reads: std::time may lag it by a tick across a second boundary.
    const auto now = [] { return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()); };
    Zelkor::systemtime time;
    const std::time_t before = now();
    const auto millis = Random::GetSystemTime(&time);
    const std::time_t after = now();

    EXPECT_EQ(millis, time.milliseconds);
    EXPECT_LT(millis, 1000u);
    std::tm parts{};
    parts.tm_year = time.year - 1900;
    parts.tm_mon = time.month - 1;
    parts.tm_mday = time.day;
    parts.tm_hour = time.hour;
    parts.tm_min = time.minute;
    parts.tm_sec = time.second;
    const std::time_t filled = timegm(&parts);
    EXPECT_GE(filled, before);
    EXPECT_LE(filled, after);

    EXPECT_LT(Random::GetSystemTime(nullptr), 1000u);
}
