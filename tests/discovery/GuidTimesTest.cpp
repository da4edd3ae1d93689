// A time table that reuses the entries it erased: a reused entry carries its new GUID and
// time only, and a pair already there is not doubled.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "discovery/GuidTimes.h"

namespace {

// "guid@time" of every pair up to `cutoff`, oldest first; the walk keeps them all.
std::vector<std::string> Walked(Zelkor::GuidTimes& times, std::int64_t cutoff) {
    std::vector<std::string> out;
    times.Walk(cutoff, [&](const std::string& guid, std::int64_t time, const std::int64_t*) {
        out.push_back(guid + "@" + std::to_string(time));
        return Zelkor::GuidTimes::Step::Keep;
    });
    return out;
}

TEST(GuidTimes, ErasedEntriesComeBackUnderTheirNewGuid) {
    Zelkor::GuidTimes times;
    const std::string longGuid = "9d1c6f0e-3b52-4c1a-8e07-4a6b2f1d9c30";
    times.Set(longGuid, 1);
    times.Erase(longGuid);
    times.Set("b", 2);
    EXPECT_EQ(times.Find(longGuid), nullptr);
    ASSERT_NE(times.Find("b"), nullptr);
    EXPECT_EQ(*times.Find("b"), 2);
    EXPECT_EQ(Walked(times, 10), (std::vector<std::string>{"b@2"}));

    // A later time keeps the earlier pair for the walk; the erase takes the latest only.
    times.Set("b", 3);
    times.Erase("b");
    EXPECT_EQ(Walked(times, 10), (std::vector<std::string>{"b@2"}));
    // Set again at the time of the pair left: one pair, and the next Set still adds its own.
    times.Set("b", 2);
    EXPECT_EQ(times.Pairs(), 1u);
    times.Set(longGuid, 4);
    EXPECT_EQ(Walked(times, 10), (std::vector<std::string>{"b@2", longGuid + "@4"}));
    EXPECT_EQ(times.Size(), 2u);
}

}  // namespace
