// Which devices a full list may give up for a newcomer: a device answering round after
// round stays, also once a flood pushed it out between two answers; made-up devices sent
// in turns, every other round, never become devices that stay.

#include <gtest/gtest.h>

#include <string>

#include "discovery/DeviceHearings.h"

namespace {

std::string First(const Zelkor::DeviceHearings& hearings) {
    return hearings.FirstNewcomer([](const std::string&) { return true; });
}

TEST(DeviceHearings, OnlyDevicesHeardInRoundsInARowStay) {
    Zelkor::DeviceHearings hearings;
    hearings.Heard("fake", 1);
    hearings.Heard("real", 1);
    EXPECT_EQ(First(hearings), "fake");
    // Both given up for newcomers; the fake comes back a round late, the real one in time.
    hearings.GiveUp("fake");
    hearings.GiveUp("real");
    hearings.Heard("real", 2);
    hearings.Heard("fake", 3);
    EXPECT_EQ(First(hearings), "fake");
    hearings.GiveUp("fake");
    EXPECT_EQ(First(hearings), "");
    // Listed all along: heard twice in one round, then a round skipped, is no proof either.
    hearings.Heard("other", 4);
    hearings.Heard("other", 4);
    hearings.Heard("other", 6);
    EXPECT_EQ(First(hearings), "other");
    hearings.Heard("other", 7);
    EXPECT_EQ(First(hearings), "");
}

}  // namespace
