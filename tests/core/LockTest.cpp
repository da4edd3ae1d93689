#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

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
    execution.ReadUnlock();

    std::atomic<bool> acquired{false};
    std::thread writer([&] {
        execution.WriteLock();
        acquired = true;
        execution.WriteUnlock();
    });
    EXPECT_FALSE(WaitUntil([&] { return acquired.load(); }, 50ms));
    execution.ReadUnlock();
    writer.join();
    EXPECT_TRUE(acquired);
}

// A repeated Lock once took a second reader, or left a writer waiting on itself; the
// scoped lock now releases exactly what it took, and an unknown access takes nothing.
TEST(ExecutionLock, ReleasesExactlyWhatItTook) {
    for (int access : {int{Execution::read}, int{Execution::write}, 7}) {
        SCOPED_TRACE(access);
        Execution execution(false);
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
        // Everything taken was released: a writer gets in at once.
        CompletesWithin(
            [&] {
                execution.WriteLock();
                execution.WriteUnlock();
            },
            "writer after the scoped lock");
    }
}
