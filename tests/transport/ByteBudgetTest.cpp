// The node-wide byte bound: who is counted, who goes when it is passed, and what comes back.

#include <gtest/gtest.h>

#include "transport/ByteBudget.h"

namespace ZelkorTest {
namespace {

using Zelkor::ByteBudget;

constexpr std::size_t kib = 1024;

// A share whose evictions are counted, as its connection's closes would be.
struct Holder {
    explicit Holder(ByteBudget& budget) : share(budget) { share.OnEvicted([this] { ++evicted; }); }
    ByteBudget::Share share;
    int evicted = 0;
};

// Every reading is a second after the one before: shares progress in the order of calls.
struct SteppingClock {
    explicit SteppingClock(ByteBudget& budget) {
        budget.SetClock([this] { return now += std::chrono::seconds(1); });
    }
    ByteBudget::Clock::time_point now{};
};

// Shares under 64 KiB are not counted and never taken: a large share that does not fit
// beside them fails itself, and they still grow while the limit is spent.
TEST(ByteBudget, SmallSharesAreNeitherCountedNorTaken) {
    ByteBudget budget(200 * kib);
    Holder a(budget), b(budget), large(budget);
    ASSERT_TRUE(a.share.Resize(60 * kib, 0));
    ASSERT_TRUE(b.share.Resize(60 * kib, 0));
    EXPECT_TRUE(large.share.Resize(200 * kib, 0));
    EXPECT_FALSE(large.share.Resize(201 * kib, 0));
    EXPECT_TRUE(a.share.Resize(63 * kib, 0));
    EXPECT_EQ(a.evicted + b.evicted + large.evicted, 0);
    EXPECT_EQ(budget.Used(), 323 * kib);
}

// Past the limit the share that progressed longest ago goes, once, and holds nothing from
// then on; the next goes too when one is not enough. The grower fails, changing nothing,
// when the shares older than it would not make room. Shrinking takes nothing, even past a
// lowered limit.
TEST(ByteBudget, GrowthPastTheLimitTakesTheStalestOtherOrFailsTheGrower) {
    ByteBudget budget(200 * kib);
    SteppingClock clock(budget);
    Holder first(budget), second(budget), third(budget), fourth(budget), grower(budget);
    ASSERT_TRUE(first.share.Resize(120 * kib, 0));
    ASSERT_TRUE(second.share.Resize(70 * kib, 0));
    ASSERT_TRUE(grower.share.Resize(90 * kib, 0));
    EXPECT_EQ(first.evicted, 1);
    EXPECT_EQ(budget.Used(), 160 * kib);
    EXPECT_FALSE(first.share.Resize(100 * kib, 0));
    EXPECT_TRUE(third.share.Resize(100 * kib, 0));  // the largest, yet second goes
    EXPECT_EQ(second.evicted, 1);
    EXPECT_FALSE(grower.share.Resize(210 * kib, 0));
    EXPECT_EQ(grower.share.Bytes(), 90 * kib);

    budget.SetLimit(50 * kib);
    EXPECT_TRUE(grower.share.Resize(80 * kib, 0));
    EXPECT_FALSE(fourth.share.Resize(65 * kib, 0));  // past the limit even alone: nobody goes
    EXPECT_EQ(third.evicted + grower.evicted, 0);
    budget.SetLimit(100 * kib);
    EXPECT_TRUE(fourth.share.Resize(65 * kib, 0));  // both older ones go
    EXPECT_EQ(third.evicted + grower.evicted, 2);
    EXPECT_EQ(budget.Used(), 65 * kib);
}

// Size does not choose: the stale share goes though smaller than the grower and another.
// A grower that progressed before every other fails, and growing is no progress.
TEST(ByteBudget, ProgressNotSizeChoosesWhoGoes) {
    ByteBudget budget(300 * kib);
    SteppingClock clock(budget);
    Holder stale(budget), busy(budget), grower(budget);
    ASSERT_TRUE(stale.share.Resize(80 * kib, 0));
    ASSERT_TRUE(busy.share.Resize(150 * kib, 0));
    ASSERT_TRUE(grower.share.Resize(100 * kib, 0));
    EXPECT_EQ(stale.evicted, 1);

    busy.share.Progressed();
    EXPECT_FALSE(grower.share.Resize(160 * kib, 0));
    grower.share.Progressed();
    ASSERT_TRUE(busy.share.Resize(155 * kib, 0));
    EXPECT_TRUE(grower.share.Resize(160 * kib, 0));
    EXPECT_EQ(busy.evicted, 1);
    EXPECT_EQ(grower.evicted, 0);
    EXPECT_EQ(budget.Used(), 160 * kib);
}

// An evicted owner may call the budget from its notice; released or gone shares give
// their bytes back; the limit never counts below the grower's floor.
TEST(ByteBudget, BytesComeBackAndTheFloorHolds) {
    ByteBudget budget(100 * kib);
    ByteBudget::Share victim(budget), grower(budget);
    std::size_t usedWhenTold = 0;
    victim.OnEvicted([&] {
        victim.Release();
        usedWhenTold = budget.Used();
    });
    ASSERT_TRUE(victim.Resize(150 * kib, 160 * kib));
    ASSERT_TRUE(grower.Resize(70 * kib, 0));
    EXPECT_EQ(usedWhenTold, 70 * kib);
    {
        ByteBudget::Share gone(budget);
        ASSERT_TRUE(gone.Resize(20 * kib, 0));
    }
    EXPECT_EQ(budget.Used(), 70 * kib);
    grower.Release();
    EXPECT_EQ(budget.Used(), 0u);
}

}  // namespace
}  // namespace ZelkorTest
