#include <gtest/gtest.h>

#include <functional>

#include "MemoryBound.h"

namespace ZelkorSoak {
namespace {

constexpr long kMb = 1024;

// A node sampled every 2 s of a load of `seconds`, its RSS at each second as `curve` says.
void sampled(MemoryBound& bound, const std::string& node, double seconds, const std::function<long(double)>& curve,
             pid_t pid = 100) {
    for (double second = 0; second <= seconds; second += 2) {
        bound.Add(node, pid, second, curve(second));
    }
}

// Warm-up from 38 to 44 MB over the first 30 s, then level within a few hundred kB.
long warmedUp(double second) {
    if (second < 30) {
        return 38 * kMb + static_cast<long>(second / 30 * 6 * kMb);
    }
    return 44 * kMb + (static_cast<long>(second) % 7) * 50;
}

TEST(MemoryBound, ALevelNodePassesThroughTheWarmUpAndALongLineInFlight) {
    MemoryBound bound;
    sampled(bound, "dev1", 300, [](double second) {
        // A long line read and answered: 15 MB more for two samples near the end.
        return second >= 270 && second < 274 ? warmedUp(second) + 15 * kMb : warmedUp(second);
    });
    const auto verdicts = bound.Judge({"dev1"}, 300);
    ASSERT_EQ(verdicts.size(), 1u);
    EXPECT_TRUE(verdicts[0].judged);
    EXPECT_FALSE(verdicts[0].Exceeded());
    EXPECT_NEAR(verdicts[0].afterWarmUpKb, 44 * kMb, 400);
    EXPECT_NEAR(verdicts[0].RiseKb(), 0, 400);
}

TEST(MemoryBound, ARiseThatStaysFailsBeyondFourMegabytesOrTenPercent) {
    MemoryBound bound;
    // A step of 5 MB at 200 s that stays: past 4 MB on a 30 MB node...
    sampled(bound, "router", 300, [](double second) { return 30 * kMb + (second >= 200 ? 5 * kMb : 0); });
    // ...but within 10 % of a 60 MB one.
    sampled(bound, "dev2-tls", 300, [](double second) { return 60 * kMb + (second >= 200 ? 5 * kMb : 0); });
    // A creep of 0.6 MB a minute shows over ten minutes, not yet over five.
    const auto creep = [](double second) { return warmedUp(second) + static_cast<long>(second * 0.6 * kMb / 60); };
    sampled(bound, "dev1", 600, creep);
    MemoryBound shorter;
    sampled(shorter, "dev1", 300, creep);
    const auto verdicts = bound.Judge({"router", "dev2-tls"}, 300);
    EXPECT_TRUE(verdicts[0].Exceeded());
    EXPECT_EQ(verdicts[0].allowedKb, 4 * kMb);
    EXPECT_FALSE(verdicts[1].Exceeded());
    EXPECT_EQ(verdicts[1].allowedKb, 6 * kMb);
    EXPECT_TRUE(bound.Judge({"dev1"}, 600)[0].Exceeded());
    const auto fiveMinutes = shorter.Judge({"dev1"}, 300)[0];
    EXPECT_TRUE(fiveMinutes.judged);
    EXPECT_FALSE(fiveMinutes.Exceeded());
}

TEST(MemoryBound, NoVerdictOnAShortLoadOrANodeStartedAgain) {
    MemoryBound bound;
    sampled(bound, "dev1", 140, warmedUp);
    EXPECT_FALSE(bound.Judge({"dev1"}, 140)[0].judged);

    MemoryBound restarted;
    sampled(restarted, "dev1", 100, warmedUp, 100);
    for (double second = 102; second <= 300; second += 2) {
        restarted.Add("dev1", 200, second, 20 * kMb);
    }
    const auto verdict = restarted.Judge({"dev1", "router"}, 300);
    EXPECT_FALSE(verdict[0].judged);
    EXPECT_FALSE(verdict[0].Exceeded());
    EXPECT_FALSE(verdict[1].judged);
}

}  // namespace
}  // namespace ZelkorSoak
