// The node-wide byte bound: who is counted, who goes when it is passed, and what comes back.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

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

// Every reading is a second after the one before: shares start in the order of calls.
struct SteppingClock {
    explicit SteppingClock(ByteBudget& budget) {
        budget.SetClock([this] { return now += std::chrono::seconds(1); });
    }
    ByteBudget::Clock::time_point now{};
};

// Time moves only when the test moves it.
struct ManualClock {
    explicit ManualClock(ByteBudget& budget) {
        budget.SetClock([this] { return now; });
    }
    void Advance(std::chrono::milliseconds by) { now += by; }
    ByteBudget::Clock::time_point now{std::chrono::seconds(100)};
};

boost::asio::ip::address from(const char* address) { return boost::asio::ip::make_address(address); }

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

// Size does not choose: a stalled share goes though smaller than the grower and another
// that moves. A grower takes no room from one that progressed as lately as it did, and
// growing is no progress; once it moves again, it takes the room of a share that moved
// before it.
TEST(ByteBudget, ProgressNotSizeChoosesWhoGoes) {
    ByteBudget budget(300 * kib);
    ManualClock clock(budget);
    Holder stale(budget), busy(budget), grower(budget);
    ASSERT_TRUE(stale.share.Resize(80 * kib, 0));
    ASSERT_TRUE(busy.share.Resize(150 * kib, 0));
    clock.Advance(ByteBudget::StaleAfter + std::chrono::milliseconds(1));
    busy.share.Moved(64 * kib);
    ASSERT_TRUE(grower.share.Resize(100 * kib, 0));
    EXPECT_EQ(stale.evicted, 1);

    EXPECT_FALSE(grower.share.Resize(160 * kib, 0));
    clock.Advance(std::chrono::milliseconds(500));
    grower.share.Moved(64 * kib);
    ASSERT_TRUE(busy.share.Resize(155 * kib, 0));
    EXPECT_TRUE(grower.share.Resize(160 * kib, 0));
    EXPECT_EQ(busy.evicted, 1);
    EXPECT_EQ(grower.evicted, 0);
    EXPECT_EQ(budget.Used(), 160 * kib);
}

// One address's connections burst their lines, then send a byte every 10 ms each: that
// is no progress, and they stall. A line from another address that keeps coming takes
// their room; the address's next burst takes the room of its own stalled lines, and a
// stalled line's growth fails itself: neither takes the moving line's room.
TEST(ByteBudget, ATrickleIsNoProgress) {
    ByteBudget budget(1000 * kib);
    ManualClock clock(budget);
    std::vector<std::unique_ptr<Holder>> trickles;
    std::vector<std::size_t> held;
    const auto burst = [&] {
        trickles.push_back(std::make_unique<Holder>(budget));
        ByteBudget::Share& share = trickles.back()->share;
        share.SetSource(from("10.0.0.9"), false);
        EXPECT_TRUE(share.Resize(4 * kib, 0, 4 * kib));
        held.push_back(300 * kib);
        return share.Resize(held.back(), 0, 296 * kib);
    };
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(burst());
    }
    Holder honest(budget);
    honest.share.SetSource(from("10.0.0.7"), false);
    std::size_t line = 0;
    for (int step = 1; step <= 500; ++step) {
        clock.Advance(std::chrono::milliseconds(10));
        for (std::size_t i = 0; i < trickles.size(); ++i) {
            trickles[i]->share.Resize(++held[i], 0, 1);
        }
        if (step > 400 && step % 5 == 0 && line < 300 * kib) {
            line += 30 * kib;
            ASSERT_TRUE(honest.share.Resize(line, 0, 30 * kib)) << step;
        }
    }
    ASSERT_EQ(line, 300 * kib);
    const auto evicted = [&] {
        int count = 0;
        for (const auto& trickle : trickles) {
            count += trickle->evicted;
        }
        return count;
    };
    EXPECT_EQ(evicted(), 1);
    ASSERT_TRUE(burst());
    EXPECT_EQ(evicted(), 2);
    for (std::size_t i = 0; i < 3; ++i) {
        if (trickles[i]->evicted == 0) {
            EXPECT_FALSE(trickles[i]->share.Resize(held[i] + 150 * kib, 0, 1));
        }
    }
    EXPECT_EQ(evicted(), 2);
    EXPECT_EQ(honest.evicted, 0);
}

// A share progresses when its peer moves a thirty-second of what it holds (64 KiB at
// least) within a second: 64 KiB a second does not keep 3,200 KiB moving, 125 KiB a
// second does.
TEST(ByteBudget, ProgressNeedsAPaceOnWhatIsHeld) {
    ByteBudget budget(7000 * kib);
    ManualClock clock(budget);
    Holder slow(budget), paced(budget), newcomer(budget);
    ASSERT_TRUE(slow.share.Resize(3200 * kib, 0));
    ASSERT_TRUE(paced.share.Resize(3200 * kib, 0));
    for (int step = 1; step <= 20; ++step) {
        clock.Advance(std::chrono::milliseconds(200));
        paced.share.Moved(25 * kib);
        if (step % 5 == 0) {
            slow.share.Moved(64 * kib);
        }
    }
    newcomer.share.SetSource(from("10.0.0.5"), false);
    ASSERT_TRUE(newcomer.share.Resize(1024 * kib, 0));
    EXPECT_EQ(slow.evicted, 1);
    EXPECT_EQ(paced.evicted, 0);
}

// Among stalled shares, the address holding most loses first, though another holds the
// largest share and stalled longer; an IPv6 address counts as its /64.
TEST(ByteBudget, TheSourceHoldingMostLosesFirst) {
    ByteBudget budget(400 * kib);
    ManualClock clock(budget);
    Holder a1(budget), a2(budget), b(budget), grower(budget);
    b.share.SetSource(from("10.0.0.2"), false);
    ASSERT_TRUE(b.share.Resize(150 * kib, 0));
    clock.Advance(std::chrono::milliseconds(1000));
    a1.share.SetSource(from("fd00::1:1"), false);
    a2.share.SetSource(from("fd00::1:2"), false);
    ASSERT_TRUE(a1.share.Resize(100 * kib, 0));
    ASSERT_TRUE(a2.share.Resize(100 * kib, 0));
    clock.Advance(std::chrono::milliseconds(4000));
    grower.share.SetSource(from("10.0.0.3"), false);
    ASSERT_TRUE(grower.share.Resize(100 * kib, 0));
    EXPECT_EQ(a1.evicted + a2.evicted, 1);
    EXPECT_EQ(b.evicted, 0);
}

// Lines that come in at a pace go by the groups: a line takes the room of an address
// holding more, though that one's lines moved after it; that address's next burst takes
// neither the smaller one's room nor fails for want of it but for want of its own.
TEST(ByteBudget, ALineAtAPaceTakesTheRoomOfTheAddressHoldingMore) {
    ByteBudget budget(500 * kib);
    ManualClock clock(budget);
    Holder x1(budget), x2(budget), honest(budget);
    honest.share.SetSource(from("10.0.0.7"), false);
    ASSERT_TRUE(honest.share.Resize(100 * kib, 0, 100 * kib));
    clock.Advance(std::chrono::milliseconds(50));
    honest.share.Moved(64 * kib);
    clock.Advance(std::chrono::milliseconds(50));
    for (Holder* x : {&x1, &x2}) {
        x->share.SetSource(from("10.0.0.9"), false);
        ASSERT_TRUE(x->share.Resize(150 * kib, 0, 150 * kib));
    }
    clock.Advance(std::chrono::milliseconds(10));
    ASSERT_TRUE(honest.share.Resize(250 * kib, 0, 10 * kib));
    EXPECT_EQ(x1.evicted + x2.evicted, 1);
    Holder& left = x1.evicted ? x2 : x1;
    EXPECT_FALSE(left.share.Resize(300 * kib, 0, 150 * kib));
    EXPECT_EQ(honest.evicted, 0);
}

// A connection that carries several requesters is no one source's hoard: it is not added
// to its address's, and among stalled shares it goes after every source's, though it
// holds most.
TEST(ByteBudget, ASharedConnectionIsNoSourcesHoard) {
    ByteBudget budget(600 * kib);
    ManualClock clock(budget);
    Holder router(budget), neighbour(budget), single(budget), grower(budget);
    router.share.SetSource(from("10.0.0.1"), true);
    ASSERT_TRUE(router.share.Resize(300 * kib, 0));
    neighbour.share.SetSource(from("10.0.0.1"), false);
    ASSERT_TRUE(neighbour.share.Resize(80 * kib, 0));
    single.share.SetSource(from("10.0.0.2"), false);
    ASSERT_TRUE(single.share.Resize(100 * kib, 0));
    clock.Advance(std::chrono::milliseconds(4000));
    grower.share.SetSource(from("10.0.0.3"), false);
    ASSERT_TRUE(grower.share.Resize(150 * kib, 0));
    EXPECT_EQ(single.evicted, 1);
    EXPECT_EQ(neighbour.evicted + router.evicted, 0);
    ASSERT_TRUE(grower.share.Resize(250 * kib, 0));
    EXPECT_EQ(neighbour.evicted, 1);
    EXPECT_EQ(router.evicted, 0);
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
