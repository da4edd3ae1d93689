// The waits of addresses whose authentication failed, on a clock the test moves.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "discovery/AuthenticationWaits.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
using Zelkor::AuthenticationWaits;
using boost::asio::ip::make_address;

struct ManualClock {
    std::chrono::steady_clock::time_point now{};
    AuthenticationWaits::Clock Clock() {
        return [this] { return now; };
    }
};

TEST(AuthenticationWaits, EachFailureDoublesTheWaitUpToAMinuteAndASuccessClearsIt) {
    ManualClock clock;
    AuthenticationWaits waits(clock.Clock());
    const auto guesser = make_address("10.77.0.2");
    const auto neighbour = make_address("10.77.0.3");
    EXPECT_FALSE(waits.Waiting(guesser));
    const std::chrono::seconds expected[] = {1s, 2s, 4s, 8s, 16s, 32s, 60s, 60s};
    for (const auto wait : expected) {
        waits.Failed(guesser);
        EXPECT_EQ(waits.Remaining(guesser), wait);
        clock.now += wait - 1ms;
        EXPECT_TRUE(waits.Waiting(guesser)) << wait.count();
        clock.now += 1ms;
        EXPECT_FALSE(waits.Waiting(guesser)) << wait.count();
    }
    EXPECT_FALSE(waits.Waiting(neighbour));
    // Ten minutes quiet after the wait ended: the next failure waits the first wait.
    waits.Failed(guesser);
    clock.now += 60s + AuthenticationWaits::Forgotten;
    waits.Failed(guesser);
    EXPECT_EQ(waits.Remaining(guesser), 1s);

    waits.Failed(guesser);
    waits.Succeeded(guesser);
    EXPECT_FALSE(waits.Waiting(guesser));
    EXPECT_EQ(waits.Size(), 0u);
    waits.Failed(guesser);
    EXPECT_EQ(waits.Remaining(guesser), 1s);

    // An IPv6 host waits as its /64: a new address of it starts nothing afresh.
    waits.Failed(make_address("fd00:77::2"));
    EXPECT_EQ(waits.Remaining(make_address("fd00:77::3:2")), 1s);
    EXPECT_FALSE(waits.Waiting(make_address("fd00:77:0:1::2")));
}

TEST(AuthenticationWaits, HoldsAtMostItsCapacityTheLeastRecentlyFailedLeavingFirst) {
    ManualClock clock;
    AuthenticationWaits waits(clock.Clock());
    EXPECT_EQ(waits.Capacity(), 1024u);
    const auto address = [](unsigned n) {
        return boost::asio::ip::address_v4(0x0a000000u + n);
    };
    for (unsigned n = 0; n < 1024; ++n) {
        waits.Failed(address(n));
    }
    // The first fails again: now the second failed longest ago.
    waits.Failed(address(0));
    waits.Failed(address(1024));
    EXPECT_EQ(waits.Size(), 1024u);
    EXPECT_TRUE(waits.Waiting(address(0)));
    EXPECT_FALSE(waits.Waiting(address(1)));
    EXPECT_TRUE(waits.Waiting(address(2)) && waits.Waiting(address(1024)));
    EXPECT_EQ(waits.Remaining(address(0)), 2s);
}

}  // namespace
}  // namespace ZelkorTest
