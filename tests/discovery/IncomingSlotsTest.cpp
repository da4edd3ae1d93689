// Which admitted connection gives its slot to a newcomer at the incoming limit.

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "discovery/IncomingSlots.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
using Zelkor::NoSlot;
using Zelkor::SlotHolder;

const auto kA = boost::asio::ip::make_address("10.0.0.1");
const auto kB = boost::asio::ip::make_address("10.0.0.2");
const auto kC = boost::asio::ip::make_address("10.0.0.3");
const auto kStart = std::chrono::steady_clock::time_point{} + 1h;

SlotHolder Holder(const boost::asio::ip::address& source, int heardSecond, bool worthKeeping = false) {
    return {source, kStart + std::chrono::seconds(heardSecond), worthKeeping};
}

TEST(IncomingSlots, TheSourceHoldingMostGivesUpItsQuietestConnectionWorthLeast) {
    // A's quietest is worth keeping: the quietest of the rest goes first.
    const std::vector<SlotHolder> holders = {Holder(kA, 1, true), Holder(kA, 5), Holder(kB, 0), Holder(kA, 3)};
    EXPECT_EQ(Zelkor::FairShareSlot(holders, kC), 3u);
    EXPECT_EQ(Zelkor::FairShareSlot(holders, kB), 3u);
    // A newcomer of the largest source, or one that would then hold as many, takes none.
    EXPECT_EQ(Zelkor::FairShareSlot(holders, kA), NoSlot);
    EXPECT_EQ(Zelkor::FairShareSlot({Holder(kA, 1), Holder(kA, 2), Holder(kB, 0)}, kB), NoSlot);
    // Sources holding one each keep them from a newcomer of another.
    EXPECT_EQ(Zelkor::FairShareSlot({Holder(kA, 1), Holder(kB, 0)}, kC), NoSlot);
    // When every connection of the largest is worth keeping, one still goes; among sources
    // holding as many, the quietest connection of any.
    EXPECT_EQ(Zelkor::FairShareSlot({Holder(kA, 4, true), Holder(kA, 2, true)}, kC), 1u);
    EXPECT_EQ(Zelkor::FairShareSlot({Holder(kA, 4), Holder(kB, 2), Holder(kA, 3), Holder(kB, 6)}, kC), 1u);
}

TEST(IncomingSlots, SilenceFreesOnlyASlotWorthNothing) {
    const std::vector<SlotHolder> holders = {Holder(kA, 1, true), Holder(kB, 4), Holder(kA, 2), Holder(kC, 9)};
    EXPECT_EQ(Zelkor::SilentSlot(holders, kStart + 5s), 2u);
    EXPECT_EQ(Zelkor::SilentSlot(holders, kStart + 2s), NoSlot);
    EXPECT_EQ(Zelkor::SilentSlot({Holder(kA, 1, true)}, kStart + 5s), NoSlot);
}

}  // namespace
}  // namespace ZelkorTest
