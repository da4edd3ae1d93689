// Which devices a full list may give up for a newcomer: a device answering round after
// round stays, also once a flood pushed it out between two answers; made-up devices sent
// in turns, every other round, never become devices that stay; and a sender holding more
// of the list than a newcomer's gives up its own, also those that answered round after
// round.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include <boost/asio/ip/address.hpp>

#include "discovery/DeviceHearings.h"

namespace {

std::string First(const Zelkor::DeviceHearings& hearings) {
    return hearings.ToGiveUp(Zelkor::DeviceSender(), [](const std::string&) { return true; });
}

Zelkor::DeviceSender Sender(const char* address) {
    return Zelkor::DeviceSender::From(boost::asio::ip::make_address(address));
}

// What a newcomer of `sender` takes the place of, passing over the devices in use.
std::string For(const Zelkor::DeviceHearings& hearings, const Zelkor::DeviceSender& sender,
                const std::set<std::string>& inUse = {}) {
    return hearings.ToGiveUp(sender, [&](const std::string& guid) { return inUse.count(guid) == 0; });
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

TEST(DeviceHearings, AFullListIsSharedBetweenSenders) {
    Zelkor::DeviceHearings hearings;
    const auto flood = Sender("10.0.0.9");
    const auto real = Sender("10.0.0.2");
    // The same made-up devices every round: all of them answered round after round.
    for (std::uint64_t round = 1; round <= 2; ++round) {
        for (const char* guid : {"f1", "f2", "f3", "f4"}) {
            hearings.Heard(guid, round, flood);
        }
    }
    hearings.Heard("f1", 3, flood);
    EXPECT_EQ(For(hearings, flood), "");
    // A sender holding none takes the place of the flood's least recently heard.
    EXPECT_EQ(For(hearings, real), "f2");
    EXPECT_EQ(For(hearings, real, {"f2", "f3", "f4"}), "f1");
    hearings.GiveUp("f2");
    hearings.Heard("real", 3, real);
    // The flood's newcomers take its own devices heard once, never the real device's place.
    EXPECT_EQ(For(hearings, flood), "");
    hearings.Heard("f5", 3, flood);
    EXPECT_EQ(For(hearings, flood), "f5");
    // An IPv6 sender is its /64.
    const auto first = Zelkor::DeviceSender::From(boost::asio::ip::make_address("fd00:1::1"));
    EXPECT_EQ(first, Zelkor::DeviceSender::From(boost::asio::ip::make_address("fd00:1::ffff:2")));
    EXPECT_NE(first, Zelkor::DeviceSender::From(boost::asio::ip::make_address("fd00:2::1")));

    // Holding one fewer than another, a sender takes only a device of it heard once: an
    // exchange that turns the shares round gives up no device that answered in time.
    Zelkor::DeviceHearings shared;
    const auto a = Sender("10.0.1.1");
    const auto b = Sender("10.0.1.2");
    for (std::uint64_t round = 1; round <= 2; ++round) {
        shared.Heard("a1", round, a);
        shared.Heard("a2", round, a);
        shared.Heard("b1", round, b);
    }
    EXPECT_EQ(For(shared, b), "");
    shared.Heard("a3", 2, a);
    EXPECT_EQ(For(shared, b), "a3");
    EXPECT_EQ(For(shared, b, {"a3"}), "a1");
    // A device that moved counts against the sender it is heard from now.
    shared.Heard("a1", 3, b);
    EXPECT_EQ(For(shared, b), "");
    shared.Erase("a3");
    EXPECT_EQ(For(shared, a), "");
    EXPECT_EQ(For(shared, Sender("10.0.1.3")), "b1");
}

}  // namespace
