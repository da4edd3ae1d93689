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
const auto kD = boost::asio::ip::make_address("10.0.0.4");
const auto kStart = std::chrono::steady_clock::time_point{} + 1h;

enum class Holds { Nothing, Subscription, Transfer, Proof };

SlotHolder Holder(const boost::asio::ip::address& source, int heardSecond, Holds holds = Holds::Nothing) {
    SlotHolder holder{source, kStart + std::chrono::seconds(heardSecond)};
    holder.kept = holds == Holds::Proof;
    holder.engaged = holds == Holds::Subscription || holds == Holds::Transfer;
    return holder;
}

TEST(IncomingSlots, TheSourceHoldingMostGivesUpItsQuietestConnectionWorthLeast) {
    // A holds three of four: its subscription keeps nothing, and the quietest of the rest
    // goes first.
    const std::vector<SlotHolder> holders = {Holder(kA, 1, Holds::Subscription), Holder(kA, 5), Holder(kB, 0),
                                             Holder(kA, 3)};
    EXPECT_EQ(Zelkor::FairShareSlot(holders, kC, 4), 3u);
    EXPECT_EQ(Zelkor::FairShareSlot(holders, kB, 4), 3u);
    // A newcomer of the largest source, or one that would then hold as many, takes none.
    EXPECT_EQ(Zelkor::FairShareSlot(holders, kA, 4), NoSlot);
    EXPECT_EQ(Zelkor::FairShareSlot({Holder(kA, 1), Holder(kA, 2), Holder(kB, 0)}, kB, 3), NoSlot);
    // Sources holding one each keep them from a newcomer of another.
    EXPECT_EQ(Zelkor::FairShareSlot({Holder(kA, 1), Holder(kB, 0)}, kC, 2), NoSlot);
    // A source subscribed on every slot still gives one up; among sources holding as many,
    // the quietest connection of any.
    const std::vector<SlotHolder> subscribed = {Holder(kA, 4, Holds::Subscription), Holder(kA, 2, Holds::Subscription)};
    EXPECT_EQ(Zelkor::FairShareSlot(subscribed, kC, 2), 1u);
    EXPECT_EQ(Zelkor::FairShareSlot({Holder(kA, 4), Holder(kB, 2), Holder(kA, 3), Holder(kB, 6)}, kC, 4), 1u);
}

// Two controllers of one host, proven, subscribed or fetching a file, beside two silent
// strangers, at a limit of four: a third stranger takes no controller's slot, by share or
// for silence.
TEST(IncomingSlots, AProofAndTransfersAndSubscriptionsUpToHalfTheSlotsKeepTheirConnection) {
    for (const Holds holds : {Holds::Subscription, Holds::Transfer, Holds::Proof}) {
        const std::vector<SlotHolder> holders = {Holder(kA, 1, holds), Holder(kA, 2, holds), Holder(kB, 3),
                                                 Holder(kC, 4)};
        EXPECT_EQ(Zelkor::FairShareSlot(holders, kD, 4), NoSlot);
        EXPECT_EQ(Zelkor::SilentSlot(holders, kStart + 10s), 2u);
    }
    // A proof keeps its slot however many its source holds.
    const std::vector<SlotHolder> proven = {Holder(kA, 1, Holds::Proof), Holder(kA, 2, Holds::Proof),
                                            Holder(kA, 3, Holds::Proof), Holder(kB, 4)};
    EXPECT_EQ(Zelkor::FairShareSlot(proven, kC, 4), NoSlot);
    EXPECT_EQ(Zelkor::SilentSlot(proven, kStart + 10s), 3u);
    // The largest source that may give one up gives it.
    const std::vector<SlotHolder> mixed = {Holder(kA, 1, Holds::Proof), Holder(kA, 2, Holds::Proof),
                                           Holder(kA, 3, Holds::Proof), Holder(kB, 5), Holder(kB, 4), Holder(kC, 0)};
    EXPECT_EQ(Zelkor::FairShareSlot(mixed, kD, 6), 4u);
    EXPECT_EQ(Zelkor::FairShareSlot(mixed, kC, 6), NoSlot);

    // Subscribed beyond half the slots, a source gives one up, and keeps the rest once at
    // half; with five slots, half is two.
    std::vector<SlotHolder> beyond = {Holder(kA, 1, Holds::Subscription), Holder(kA, 2, Holds::Subscription),
                                      Holder(kA, 3, Holds::Subscription), Holder(kB, 4)};
    EXPECT_EQ(Zelkor::FairShareSlot(beyond, kC, 4), 0u);
    beyond[0] = Holder(kC, 5);
    EXPECT_EQ(Zelkor::FairShareSlot(beyond, kD, 4), NoSlot);
    beyond.push_back(Holder(kA, 6, Holds::Subscription));
    EXPECT_EQ(Zelkor::FairShareSlot(beyond, kD, 5), 1u);
    const std::vector<SlotHolder> half = {Holder(kA, 1, Holds::Subscription), Holder(kA, 2, Holds::Subscription),
                                          Holder(kB, 4), Holder(kB, 3), Holder(kC, 0)};
    EXPECT_EQ(Zelkor::FairShareSlot(half, kD, 5), 3u);
}

// One source trickling a transfer on every slot keeps only half of them: newcomers from
// two other sources each take its quietest, and the next finds the rest kept.
TEST(IncomingSlots, TransfersKeepASourceNoMoreThanHalfTheSlots) {
    std::vector<SlotHolder> holders = {Holder(kA, 3, Holds::Transfer), Holder(kA, 1, Holds::Transfer),
                                       Holder(kA, 4, Holds::Transfer), Holder(kA, 2, Holds::Transfer)};
    ASSERT_EQ(Zelkor::FairShareSlot(holders, kB, 4), 1u);
    holders[1] = Holder(kB, 5);
    ASSERT_EQ(Zelkor::FairShareSlot(holders, kC, 4), 3u);
    holders[3] = Holder(kC, 6);
    EXPECT_EQ(Zelkor::FairShareSlot(holders, kD, 4), NoSlot);
    EXPECT_EQ(Zelkor::SilentSlot(holders, kStart + 10s), 1u);
    // Subscriptions and transfers of one source count together.
    holders[1] = Holder(kA, 5, Holds::Subscription);
    EXPECT_EQ(Zelkor::FairShareSlot(holders, kD, 4), 0u);
}

TEST(IncomingSlots, SilenceFreesOnlyASlotHoldingNothing) {
    const std::vector<SlotHolder> holders = {Holder(kA, 1, Holds::Proof), Holder(kB, 4), Holder(kA, 2),
                                             Holder(kC, 9)};
    EXPECT_EQ(Zelkor::SilentSlot(holders, kStart + 5s), 2u);
    EXPECT_EQ(Zelkor::SilentSlot(holders, kStart + 2s), NoSlot);
    EXPECT_EQ(Zelkor::SilentSlot({Holder(kA, 1, Holds::Proof)}, kStart + 5s), NoSlot);
    // Not even a subscription beyond half the slots.
    EXPECT_EQ(Zelkor::SilentSlot({Holder(kA, 1, Holds::Subscription), Holder(kA, 2, Holds::Subscription)},
                                 kStart + 5s),
              NoSlot);
}

}  // namespace
}  // namespace ZelkorTest
