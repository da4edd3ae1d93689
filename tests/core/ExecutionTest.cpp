#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "Bounded.h"
#include "core/Execution.h"
#include "core/ExecutionLock.h"
#include "core/ZelkorLog.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"

using namespace std::chrono_literals;
using Zelkor::Execution;
using Zelkor::ExecutionLock;
using ZelkorTest::CompletesWithin;
using ZelkorTest::WaitUntil;

namespace {

// With one read lock held, a writer on another thread must wait until it is released.
void ExpectWriterWaitsForReader(Execution& execution) {
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

}  // namespace

TEST(Execution, SetNeedsTheWriteLock) {
    Execution execution(false);
    EXPECT_FALSE(execution.set(true));
    EXPECT_FALSE(execution);
    {
        ExecutionLock lock(Execution::read, execution);
        EXPECT_FALSE(execution.set(true));
    }
    {
        ExecutionLock lock(Execution::write, execution);
        EXPECT_TRUE(execution.set(true));
        EXPECT_TRUE(execution);
    }
    EXPECT_FALSE(execution.set(false));
    EXPECT_TRUE(execution);
}

TEST(Execution, ReadersShareTheLock) {
    ZelkorTest::LogCapture log;
    ZelkorLog::TheLog().SetLevel(6);
    Execution execution(true);
    execution.ReadLock();
    CompletesWithin([&] { execution.ReadLock(); }, "second reader");
    EXPECT_TRUE(log.Contains("Execution Read-only lock applied. Number of readers: 1"));
    EXPECT_TRUE(log.Contains("Execution Read-only lock applied. Number of readers: 2"));
    execution.ReadUnlock();
    ExpectWriterWaitsForReader(execution);
}

TEST(Execution, UnmatchedReadUnlockLeavesNoCredit) {
    ZelkorTest::LogCapture log;
    ZelkorLog::TheLog().SetLevel(6);
    Execution execution(true);
    execution.ReadUnlock();
    EXPECT_TRUE(log.Contains("Execution Wrong number of readers: -1"));
    execution.ReadLock();
    EXPECT_TRUE(log.Contains("Read-only lock applied. Number of readers: 1"));
    ExpectWriterWaitsForReader(execution);
}

TEST(ExecutionLock, ReleasesWhatItTookOnce) {
    for (auto access : {Execution::read, Execution::write}) {
        SCOPED_TRACE(access);
        Execution execution(false);
        CompletesWithin(
            [&] {
                ExecutionLock lock(access, execution);
                lock.Lock();  // already held: no second reader, no writer waiting on itself
                lock.Unlock();
                lock.Unlock();
                lock.Lock();
            },
            "lock and unlock twice");
        // Everything taken was released: a writer gets in at once.
        CompletesWithin(
            [&] {
                execution.WriteLock();
                execution.WriteUnlock();
            },
            "writer after the scoped lock");
    }
}

TEST(ExecutionLock, OtherAccessTakesAndReleasesNothing) {
    ZelkorTest::LogCapture log;
    ZelkorLog::TheLog().SetLevel(6);
    Execution execution(false);
    execution.ReadLock();
    {
        ExecutionLock lock(static_cast<Execution::access>(7), execution);
        EXPECT_FALSE(execution.set(true));
    }
    execution.ReadUnlock();
    EXPECT_TRUE(log.Contains("Read-only lock released. Number of readers: 0"));
    EXPECT_FALSE(log.Contains("Wrong number of readers"));
}
