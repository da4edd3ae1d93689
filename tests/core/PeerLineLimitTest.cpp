// The rate of lines a peer can cause at will, by message code, on the limit's own clock:
// a burst passes, then one line a period; the lines left out are counted and handed back
// once their code passes again or could, each count once; codes do not share a rate, nor
// do codes beyond the table take another's.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/PeerLineLimit.h"

namespace {

using Zelkor::PeerLineLimit;
using Told = std::vector<std::pair<std::string, std::uint64_t>>;

const PeerLineLimit::Clock::time_point kStart{std::chrono::hours(1)};

// How many of `count` lines of `code` pass at `now`.
unsigned Passed(PeerLineLimit& limit, const std::string& code, unsigned count,
                PeerLineLimit::Clock::time_point now) {
    unsigned passed = 0;
    for (unsigned line = 0; line < count; ++line) {
        passed += limit.Admit(code, now) ? 1 : 0;
    }
    return passed;
}

Told TakeLeftOut(PeerLineLimit& limit, PeerLineLimit::Clock::time_point now) {
    Told told;
    limit.TakeLeftOut(now, [&](std::string_view code, std::uint64_t count) { told.emplace_back(code, count); });
    return told;
}

}  // namespace

TEST(PeerLineLimit, CodeOfReadsTheMessageCode) {
    EXPECT_EQ(PeerLineLimit::CodeOf("ZK20CEW authenticate refused"), "ZK20CEW");
    EXPECT_EQ(PeerLineLimit::CodeOf("ZK66C0 HasHandle called"), "ZK66C0");
    EXPECT_EQ(PeerLineLimit::CodeOf("ZK7233E"), "ZK7233E");
    EXPECT_EQ(PeerLineLimit::CodeOf("ZK72G3E text"), "");
    EXPECT_EQ(PeerLineLimit::CodeOf("ZK72"), "");
    EXPECT_EQ(PeerLineLimit::CodeOf("no code"), "");
}

TEST(PeerLineLimit, ABurstPassesThenOneLineAPeriodWithTheCountLeftOut) {
    PeerLineLimit limit;
    const auto period = PeerLineLimit::kPeriod;
    EXPECT_EQ(Passed(limit, "ZK20CEW", 1000, kStart), PeerLineLimit::kBurst);
    // Another code keeps its own burst.
    EXPECT_EQ(Passed(limit, "ZK7233E", 5, kStart), 5u);
    EXPECT_TRUE(TakeLeftOut(limit, kStart + period / 2).empty());

    // Still flooding: one line a period, each bringing the count before it.
    EXPECT_EQ(Passed(limit, "ZK20CEW", 10, kStart + period), 1u);
    EXPECT_EQ(TakeLeftOut(limit, kStart + period), (Told{{"ZK20CEW", 1000 - PeerLineLimit::kBurst + 9}}));
    EXPECT_TRUE(TakeLeftOut(limit, kStart + period).empty());
    EXPECT_EQ(Passed(limit, "ZK20CEW", 10, kStart + period + period / 2), 0u);
    EXPECT_EQ(Passed(limit, "ZK20CEW", 10, kStart + 2 * period), 1u);
    EXPECT_EQ(TakeLeftOut(limit, kStart + 2 * period), (Told{{"ZK20CEW", 19}}));

    // The flood stops: the count comes once the code could pass, without a line of it.
    EXPECT_EQ(Passed(limit, "ZK20CEW", 3, kStart + 2 * period), 0u);
    EXPECT_TRUE(TakeLeftOut(limit, kStart + 2 * period + period / 2).empty());
    EXPECT_EQ(TakeLeftOut(limit, kStart + 3 * period), (Told{{"ZK20CEW", 3}}));

    // Quiet for the whole burst's time, the burst is whole again.
    const auto later = kStart + 3 * period + PeerLineLimit::kBurst * period;
    EXPECT_EQ(Passed(limit, "ZK20CEW", 1000, later), PeerLineLimit::kBurst);
}

// When no later line will come, every count is handed back at once, due or not, and the
// rate is kept.
TEST(PeerLineLimit, EveryCountLeftOutIsHandedBackWhenNoLaterLineWillCome) {
    PeerLineLimit limit;
    EXPECT_FALSE(limit.LeftOutWaiting());
    EXPECT_EQ(Passed(limit, "ZK20CEW", PeerLineLimit::kBurst + 7, kStart), PeerLineLimit::kBurst);
    EXPECT_EQ(Passed(limit, "ZK7233E", PeerLineLimit::kBurst + 2, kStart), PeerLineLimit::kBurst);
    EXPECT_TRUE(limit.LeftOutWaiting());
    EXPECT_TRUE(TakeLeftOut(limit, kStart).empty());
    Told told;
    limit.TakeEveryLeftOut([&](std::string_view code, std::uint64_t count) { told.emplace_back(code, count); });
    EXPECT_EQ(told, (Told{{"ZK20CEW", 7}, {"ZK7233E", 2}}));
    EXPECT_FALSE(limit.LeftOutWaiting());
    EXPECT_TRUE(TakeLeftOut(limit, kStart + PeerLineLimit::kPeriod).empty());
    EXPECT_EQ(Passed(limit, "ZK20CEW", 1, kStart), 0u);
}

TEST(PeerLineLimit, CodesBeyondTheTableShareOneRate) {
    PeerLineLimit limit;
    for (std::size_t code = 0; code < PeerLineLimit::kCodes; ++code) {
        const std::string name = "ZK" + std::to_string(1000 + code) + "W";
        ASSERT_EQ(Passed(limit, name, PeerLineLimit::kBurst + 1, kStart), PeerLineLimit::kBurst) << name;
    }
    EXPECT_EQ(Passed(limit, "ZKAAA1W", PeerLineLimit::kBurst, kStart) +
                  Passed(limit, "ZKAAA2W", PeerLineLimit::kBurst, kStart),
              PeerLineLimit::kBurst);
    const Told told = TakeLeftOut(limit, kStart + PeerLineLimit::kPeriod);
    ASSERT_EQ(told.size(), PeerLineLimit::kCodes + 1);
    EXPECT_EQ(told.front(), (std::pair<std::string, std::uint64_t>{"ZK1000W", 1}));
    EXPECT_EQ(told.back(), (std::pair<std::string, std::uint64_t>{"", PeerLineLimit::kBurst}));
}
