#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>

#include "core/ConcurrentTask.h"
#include "core/Execution.h"
#include "core/TimingHandler.h"
#include "core/ZelkorLog.h"
#include "core/ZelkorLoggable.h"

// This program replaces the global allocator, so it holds these tests alone.
// Counts the allocations made on the counting thread; every other call passes straight
// through to the C allocator.
namespace {
thread_local bool counting = false;
thread_local std::size_t allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
    if (counting) {
        ++allocations;
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

template <class F>
std::size_t AllocationsOf(F&& work) {
    allocations = 0;
    counting = true;
    work();
    counting = false;
    return allocations;
}

}  // namespace

// A line above the logger's level must cost nothing; these texts (long enough to need the
// heap) were once built before the level was looked at.
TEST(QuietLog, LinesAboveTheLevelBuildNoText) {
    using namespace std::chrono_literals;
    ZelkorLog::TheLog().SetLevel(5);
    Zelkor::ConcurrentTask task([] {}, nullptr);
    Zelkor::Execution execution(true);
    Zelkor::TimingHandler timers;
    ASSERT_NE(timers.RunAfter(1h, [] {}), 0);
    EXPECT_EQ(AllocationsOf([&] {
                  task.Abort();
                  task.Wait();
                  execution.ReadLock();
                  execution.ReadUnlock();
                  timers.AbortAndDumping();
              }),
              0u);
}

// A peer's line left out by its code's rate, or above the level, builds no text: a flood
// of refused requests costs the logger's mutex and nothing else, its parts given joined
// (a callable among them not called) or apart.
TEST(QuietLog, PeerLinesLeftOutBuildNoText) {
    ZelkorLog::TheLog().SetLevel(3);
    ZelkorLog::TheLog().SetWriteConsole(false);
    ZelkorLog::TheLog().SetWriteFile(false);
    const ZelkorLoggable peer("TCPS");
    const std::string remote = "a peer's address, long enough to need the heap";
    bool built = false;
    const auto from = [&] {
        built = true;
        return remote;
    };
    const auto flood = [&] {
        peer.PeerError("ZK7233E Invalid message from", remote);
        peer.PeerError(ZelkorLoggable::Join("ZK7267E Line exceeds the length limit, closing conn: ", remote),
                       std::size_t{16} << 20);
        peer.PeerWarning(ZelkorLoggable::Join(
            "ZK20CEW authenticate refused unchecked while failed proofs are over the node's bound, from ", from));
        peer.PeerDetail("ZK78C1I Datagram reply to no request of this node dropped",
                        ZelkorLoggable::Join(remote, " from ", remote));
    };
    for (unsigned line = 0; line < 100; ++line) {
        flood();
    }
    ASSERT_TRUE(built);
    built = false;
    EXPECT_EQ(AllocationsOf(flood), 0u);
    EXPECT_FALSE(built);
}

// The discovery timer asks each tick for the counts due: nothing waiting, it costs nothing.
TEST(QuietLog, AskingForCountsWhenNoneWaitsCostsNothing) {
    ZelkorLog log;
    EXPECT_EQ(AllocationsOf([&] {
                  log.WriteDueLeftOut();
                  log.WriteLeftOut();
              }),
              0u);
}
