#include <gtest/gtest.h>

#include <ctime>
#include <set>

#include "core/Random.h"

using Zelkor::Random;

TEST(Random, EmptyRangesReturnLowWithoutDrawing) {
    Random random;
    random.Init();
    Random twin = random;
    EXPECT_EQ(random.RandInRange(5, 5), 5u);
    EXPECT_EQ(random.RandInRange(7, 3), 7u);
    EXPECT_EQ(random.Rand(), twin.Rand());
}

TEST(Random, RangeIsLowPlusDrawModuloWidth) {
    Random random;
    random.Init();
    Random twin = random;
    const struct {
        unsigned int low;
        unsigned int high;
    } ranges[] = {{0, 1}, {0, 2}, {10, 17}, {100, 0xffffffffu}, {0, 0xffffffffu}};
    for (const auto& r : ranges) {
        for (int i = 0; i < 200; ++i) {
            const unsigned int value = random.RandInRange(r.low, r.high);
            EXPECT_EQ(value, r.low + twin.Rand() % (r.high - r.low));
            EXPECT_GE(value, r.low);
            EXPECT_LT(value, r.high);
        }
    }
}

TEST(Random, UnseededGeneratorRunsTheCongruentialSequence) {
    // All other words stay zero, so the output is the 69069 congruential sequence from 0.
    Random random;
    EXPECT_EQ(random.Rand(), 1u);
    EXPECT_EQ(random.Rand(), 69070u);
    EXPECT_EQ(random.Rand(), 475628535u);
}

TEST(Random, SeededGeneratorDoesNotRepeatQuickly) {
    Random random;
    random.Init();
    std::set<std::uint32_t> seen;
    for (int i = 0; i < 10000; ++i) {
        seen.insert(random.Rand());
    }
    EXPECT_GT(seen.size(), 9990u);
    // The low bytes (used as nonce bytes) take every value.
    std::set<std::uint32_t> lowBytes;
    for (int i = 0; i < 10000; ++i) {
        lowBytes.insert(random.Rand() & 0xff);
    }
    EXPECT_EQ(lowBytes.size(), 256u);
}

TEST(Random, SystemTimeIsCurrentUtc) {
    Zelkor::systemtime time;
    time.dayOfWeek = 9;
    std::time_t before = std::time(nullptr);
    const auto millis = Random::GetSystemTime(&time);
    std::time_t after = std::time(nullptr);

    EXPECT_EQ(millis, time.milliseconds);
    EXPECT_LT(millis, 1000u);
    EXPECT_EQ(time.dayOfWeek, 0u);
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
