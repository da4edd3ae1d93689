#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "Bounded.h"
#include "core/AtomicSpinLock.h"
#include "core/Execution.h"
#include "core/ExecutionLock.h"
#include "core/ZelkorLog.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"

using namespace std::chrono_literals;
using Zelkor::AtomicSpinLock;
using Zelkor::Execution;
using Zelkor::ExecutionLock;
using ZelkorTest::CompletesWithin;
using ZelkorTest::WaitUntil;

TEST(AtomicSpinLock, ExcludesOtherThreads) {
    AtomicSpinLock lock;
    {
        std::lock_guard<AtomicSpinLock> held(lock);
        EXPECT_FALSE(lock.try_lock());
    }
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();

    long counter = 0;
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                std::scoped_lock<AtomicSpinLock> held(lock);
                ++counter;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, long{kThreads} * kRounds);
}

// An unlock without a lock must leave no credit behind: a later reader would otherwise
// hold the lock at a count of zero and let a writer in beside it.
TEST(Execution, ReadersShareTheLockAndAWriterWaitsForTheLast) {
    ZelkorTest::LogCapture log;
    ZelkorLog::TheLog().SetLevel(6);
    Execution execution(true);
    execution.ReadUnlock();
    EXPECT_TRUE(log.Contains("Execution Wrong number of readers: -1"));
    execution.ReadLock();
    CompletesWithin([&] { execution.ReadLock(); }, "second reader");
    EXPECT_TRUE(log.Contains("Execution Read-only lock applied. Number of readers: 1"));
    EXPECT_TRUE(log.Contains("Execution Read-only lock applied. Number of readers: 2"));
    execution.ReadUnlock();

    std::atomic<bool> requested{false};
    std::atomic<bool> acquired{false};
    std::thread writer([&] {
        requested = true;
        execution.WriteLock();
        acquired = true;
        execution.WriteUnlock();
    });
    ASSERT_TRUE(WaitUntil([&] { return requested.load(); }));
    EXPECT_FALSE(WaitUntil([&] { return acquired.load(); }, 50ms));
    execution.ReadUnlock();
    EXPECT_TRUE(WaitUntil([&] { return acquired.load(); }));
    writer.join();
}

// Whatever the access, the scoped lock releases exactly what it took: no second reader
// from a repeated Lock, no writer waiting on itself, no unlock of a lock never taken.
TEST(ExecutionLock, OnlyTheWriteLockSetsTheFlagAndEachReleasesWhatItTook) {
    ZelkorTest::LogCapture log;
    ZelkorLog::TheLog().SetLevel(6);
    for (int access : {int{Execution::read}, int{Execution::write}, 7}) {
        SCOPED_TRACE(access);
        Execution execution(false);
        EXPECT_FALSE(execution.set(true));
        CompletesWithin(
            [&] {
                ExecutionLock lock(static_cast<Execution::access>(access), execution);
                EXPECT_EQ(execution.set(true), access == Execution::write);
                lock.Lock();
                lock.Unlock();
                lock.Unlock();
                lock.Lock();
            },
            "lock and unlock twice");
        EXPECT_EQ(static_cast<bool>(execution), access == Execution::write);
        // Everything taken was released: a writer gets in at once, and only then may set.
        CompletesWithin(
            [&] {
                execution.WriteLock();
                execution.WriteUnlock();
            },
            "writer after the scoped lock");
        EXPECT_FALSE(execution.set(false));
    }
    EXPECT_FALSE(log.Contains("Wrong number of readers"));
}
